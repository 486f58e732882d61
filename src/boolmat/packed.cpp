#include "boolmat/packed.hpp"

#include <bit>
#include <cstring>

namespace boolmat {

namespace {

// A word's bytes in packed order are its bytes in memory on a little-endian
// machine; elsewhere they are taken apart and put together by shifts.
constexpr bool kLittleEndian = std::endian::native == std::endian::little;

void row_to_packed(const Word* src, std::uint64_t n, std::uint8_t* dst) noexcept {
    if constexpr (kLittleEndian) {
        std::memcpy(dst, src, n);
    } else {
        for (std::uint64_t b = 0; b < n; ++b) dst[b] = static_cast<std::uint8_t>(src[b / 8] >> (8 * (b % 8)));
    }
}

// Reads n bytes spaced `step` apart into the row's words; the bytes of the
// last word past n are zero.
void row_from_packed(const std::uint8_t* src, std::uint64_t n, std::int64_t step, Word* dst,
                     std::uint64_t stride) noexcept {
    dst[stride - 1] = 0;
    if (kLittleEndian && step == 1) {
        std::memcpy(dst, src, n);
        return;
    }
    for (std::uint64_t w = 0; w < stride; ++w) {
        const std::uint64_t first = w * 8;
        const std::uint64_t count = n - first < 8 ? n - first : 8;
        Word acc = 0;
        for (std::uint64_t k = 0; k < count; ++k) {
            acc |= Word{src[static_cast<std::int64_t>(first + k) * step]} << (8 * k);
        }
        dst[w] = acc;
    }
}

}  // namespace

Status bitmatrix_to_packed(const BitMatrix& m, std::uint8_t* dst, const Interrupt& stop) {
    const std::uint64_t n = packed_width(m.cols());
    for (std::uint64_t i = 0; i < m.rows(); ++i) {
        TRY_VOID(stop.check(m.stride()));
        row_to_packed(m.row_ptr(i), n, dst + i * n);
    }
    return {};
}

Result<BitMatrix> bitmatrix_from_packed(const ByteGrid& g, std::uint64_t cols, const Interrupt& stop) {
    if (g.cols != packed_width(cols)) {
        return panic("bitmatrix_from_packed : {} octets par ligne pour {} colonnes", g.cols, cols);
    }
    TRY(BitMatrix m, BitMatrix::uninit(g.rows, cols));
    const std::uint64_t stride = m.stride();
    const Word tail = tail_mask(cols);
    for (std::uint64_t i = 0; i < g.rows; ++i) {
        TRY_VOID(stop.check(stride));
        Word* dst = m.row_ptr(i);
        row_from_packed(g.origin + static_cast<std::int64_t>(i) * g.row_stride, g.cols, g.col_stride, dst, stride);
        dst[stride - 1] &= tail;
    }
    return m;
}

}  // namespace boolmat
