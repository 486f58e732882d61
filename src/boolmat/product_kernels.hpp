// The two row strategies of the Boolean product. Both OR into the output row
// exactly the rows of b selected by the 1 bits of the row of a, so they
// write identical words; or_rows_kernel picks one per row by cost.
#pragma once

#include <cstdint>
#include <span>

#include "boolmat/bitmatrix.hpp"

namespace boolmat {

// Row-sparse step for row i of a: every 1 bit j ORs row j of b into row i of
// out (a.rows() x b.stride() words).
void or_row_sparse(const BitMatrix& a, const BitMatrix& b, Word* out, std::uint64_t i) noexcept;

// Four Russians step for the listed rows of a: the rows of b are taken eight
// at a time, the 256 ORs of each group are tabulated (per slice of columns,
// so the tables stay in L2), and every listed row ORs one table entry per
// byte of a. tables must hold four_russians_table_words() words, 64-byte
// aligned for speed (any alignment gives the same result).
// Byte groups (tables) per pass of the four Russians step.
inline constexpr std::uint64_t kFourRussiansGroups = 16;

void or_rows_four_russians(const BitMatrix& a, const BitMatrix& b, Word* out, std::span<const std::uint64_t> rows,
                           Word* tables) noexcept;
std::uint64_t four_russians_table_words() noexcept;

}  // namespace boolmat
