// The two row strategies of the Boolean product, one set per namespace
// (kernels.hpp picks one). Both OR into the output row exactly the rows of b
// selected by the 1 bits of the row of a, so they write identical words;
// product.cpp picks one per row by cost.
#pragma once

#include <cstdint>
#include <span>

#include "boolmat/bitmatrix.hpp"
#include "boolmat/kernels.hpp"

namespace boolmat {

// The four Russians tables: byte groups (tables) per pass, and the words of
// one table of 256 entries of 8 words (two vectors of columns), plus one
// spare entry so that the same entry of successive tables maps to
// different places of the first-level cache. Every set uses this layout.
inline constexpr std::uint64_t kFourRussiansGroups = 16;
inline constexpr std::uint64_t kFourRussiansEntryWords = 8;
inline constexpr std::uint64_t kFourRussiansTableWords = 256 * kFourRussiansEntryWords + kFourRussiansEntryWords;

// Words of working memory for or_rows_four_russians, 64-byte aligned for
// speed (any alignment gives the same result).
constexpr std::uint64_t four_russians_table_words() noexcept {
    return kFourRussiansGroups * kFourRussiansTableWords;
}

// Every set has these entry points:
// - or_row_sparse, the row-sparse step for row i of a: every 1 bit j ORs row
//   j of b into row i of out (a.rows() x b.stride() words).
// - or_rows_four_russians, the four Russians step for the listed rows of a:
//   the rows of b are taken eight at a time, the 256 ORs of each group are
//   tabulated (per slice of columns, so the tables stay in L2), and every
//   listed row ORs one table entry per byte of a. It polls `stop` between
//   passes of tables; stopped, out is incomplete.
#define VALDRIX_PRODUCT_KERNELS                                                                       \
    void or_row_sparse(const BitMatrix& a, const BitMatrix& b, Word* out, std::uint64_t i) noexcept; \
    void or_rows_four_russians(const BitMatrix& a, const BitMatrix& b, Word* out,                    \
                               std::span<const std::uint64_t> rows, Word* tables,                    \
                               const Interrupt& stop) noexcept;

namespace generic {
VALDRIX_PRODUCT_KERNELS
}
namespace avx2 {
VALDRIX_PRODUCT_KERNELS
}
#undef VALDRIX_PRODUCT_KERNELS

// The active set's.
inline void or_row_sparse(const BitMatrix& a, const BitMatrix& b, Word* out, std::uint64_t i) noexcept {
    kernels().or_row_sparse(a, b, out, i);
}
inline void or_rows_four_russians(const BitMatrix& a, const BitMatrix& b, Word* out,
                                  std::span<const std::uint64_t> rows, Word* tables, const Interrupt& stop) noexcept {
    kernels().or_rows_four_russians(a, b, out, rows, tables, stop);
}

}  // namespace boolmat
