// Element-wise Boolean algebra and counts over whole matrices: one pass over
// the packed words, no per-element work. Two-operand operations require equal
// shapes (not merely equal word counts).
#pragma once

#include <cstdint>

#include "boolmat/bitmatrix.hpp"

namespace boolmat {

Status and_assign(BitMatrix& a, const BitMatrix& b);
Status or_assign(BitMatrix& a, const BitMatrix& b);
Status xor_assign(BitMatrix& a, const BitMatrix& b);
Status andnot_assign(BitMatrix& a, const BitMatrix& b);

Result<BitMatrix> and_(const BitMatrix& a, const BitMatrix& b);
Result<BitMatrix> or_(const BitMatrix& a, const BitMatrix& b);
Result<BitMatrix> xor_(const BitMatrix& a, const BitMatrix& b);
Result<BitMatrix> andnot(const BitMatrix& a, const BitMatrix& b);
Result<BitMatrix> complement(const BitMatrix& a);

Result<std::uint64_t> row_count_ones(const BitMatrix& a, std::uint64_t i);
Result<std::uint64_t> hamming(const BitMatrix& a, const BitMatrix& b);
Result<std::uint64_t> count_andnot(const BitMatrix& a, const BitMatrix& b);
bool equals(const BitMatrix& a, const BitMatrix& b) noexcept;

bool same_shape(const BitMatrix& a, const BitMatrix& b) noexcept;

}  // namespace boolmat
