// Conversions between one byte per element and packed words. A byte is true
// when it is non-zero: that is how NumPy reads its own bool arrays, so a bool
// view of arbitrary bytes keeps the elements NumPy shows. Bytes written back
// are always 0 or 1. The byte kernels come in one set per namespace
// (kernels.hpp picks one); the *_scalar twins are the references the tests
// compare every set with.
#pragma once

#include <cstdint>

#include "boolmat/bitmatrix.hpp"
#include "boolmat/interrupt.hpp"
#include "boolmat/kernels.hpp"
#include "boolmat/words.hpp"

namespace boolmat {

// Every set has these entry points:
// - pack_bytes packs the n bytes at src into words_for(n) words at dst: bit
//   k is 1 when src[k] != 0. Bits of the last word past n are 0.
// - pack_bytes_reversed does the same for bytes laid out backwards: byte k
//   is first[-k] (a row read with a column stride of -1, as a reversed NumPy
//   view gives).
// - unpack_bits writes n bytes at dst: 1 where bit k of the words at src is
//   1, else 0.
#define VALDRIX_PACK_KERNELS                                                            \
    void pack_bytes(const std::uint8_t* src, std::uint64_t n, Word* dst) noexcept;      \
    void pack_bytes_reversed(const std::uint8_t* first, std::uint64_t n, Word* dst) noexcept; \
    void unpack_bits(const Word* src, std::uint64_t n, std::uint8_t* dst) noexcept;

namespace generic {
VALDRIX_PACK_KERNELS
}
namespace avx2 {
VALDRIX_PACK_KERNELS
}
#undef VALDRIX_PACK_KERNELS

void pack_bytes_scalar(const std::uint8_t* src, std::uint64_t n, Word* dst) noexcept;
void unpack_bits_scalar(const Word* src, std::uint64_t n, std::uint8_t* dst) noexcept;

// The active set's.
inline void pack_bytes(const std::uint8_t* src, std::uint64_t n, Word* dst) noexcept {
    kernels().pack_bytes(src, n, dst);
}
inline void pack_bytes_reversed(const std::uint8_t* first, std::uint64_t n, Word* dst) noexcept {
    kernels().pack_bytes_reversed(first, n, dst);
}
inline void unpack_bits(const Word* src, std::uint64_t n, std::uint8_t* dst) noexcept {
    kernels().unpack_bits(src, n, dst);
}

// A rows x cols grid of bytes: element (i, j) is the byte at
// origin + i * row_stride + j * col_stride (strides in bytes, any sign).
struct ByteGrid {
    const std::uint8_t* origin;
    std::uint64_t rows;
    std::uint64_t cols;
    std::int64_t row_stride;
    std::int64_t col_stride;
};

// A new matrix holding the grid (rows and cols at least 1). Contiguous rows
// go through pack_bytes; other layouts are read through their strides, in
// 64 x 64 tiles so that neither orientation walks memory a byte per line.
// Polls `stop` between rows (or rows of tiles).
Result<BitMatrix> bitmatrix_from_bytes(const ByteGrid& g, const Interrupt& stop = {});
// The reference: one element at a time, any layout.
Result<BitMatrix> bitmatrix_from_bytes_scalar(const ByteGrid& g);

// Fills rows * cols bytes at dst in row-major order from m, polling `stop`
// between rows; stopped, dst is incomplete.
Status bitmatrix_to_bytes(const BitMatrix& m, std::uint8_t* dst, const Interrupt& stop = {});

}  // namespace boolmat
