// The packed byte form of a matrix: each row is packed_width(cols) bytes,
// and bit k of byte b is column 8b + k, least significant bit first. It is
// the layout of NumPy's packbits(a, axis=1, bitorder="little"), and the one
// pickles carry.
#pragma once

#include <cstdint>

#include "boolmat/bitmatrix.hpp"
#include "boolmat/pack_bytes.hpp"

namespace boolmat {

constexpr std::uint64_t packed_width(std::uint64_t cols) noexcept { return cols / 8 + (cols % 8 != 0); }

// Fills rows * packed_width(cols) bytes at dst, row after row, polling
// `stop` between rows; stopped, dst is incomplete.
Status bitmatrix_to_packed(const BitMatrix& m, std::uint8_t* dst, const Interrupt& stop = {});

// A rows x cols matrix from a grid of packed_width(cols) bytes per row, laid
// out with any strides. Bits of the last byte past cols are padding: they
// are dropped, so the result keeps the tail invariant whatever they hold.
// Polls `stop` between rows.
Result<BitMatrix> bitmatrix_from_packed(const ByteGrid& g, std::uint64_t cols, const Interrupt& stop = {});

}  // namespace boolmat
