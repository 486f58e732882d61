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

// A Boolean row can only fill up: once every cell of some output words is
// 1, no further row of b changes them, so both steps stop ORing into words
// that are saturated. The row-sparse step ORs a number of rows of b that
// its caller chooses without testing (without even counting them: a whole
// word of a at a time), then tests its slice whenever kSaturationCheck
// rows or more were ORed since the last test. A test costs about what one
// OR of the same words does; kNeverCheck never tests.
inline constexpr std::uint64_t kSaturationCheck = 8;
inline constexpr std::uint64_t kNeverCheck = ~std::uint64_t{0};

// The words of `arow` (of `words`) whose rows of b are ORed before the first
// test: all of them for kNeverCheck, else up to the word holding the 1 bit
// past `check_from`.
std::uint64_t words_before_check(const Word* arow, std::uint64_t words, std::uint64_t check_from) noexcept;

// Every set has these entry points:
// - or_row_sparse, the row-sparse step for row i of a: every 1 bit j ORs row
//   j of b into row i of out (a.rows() x b.stride() words), in ascending
//   order of j, each slice of columns until it is saturated, tested first
//   once more than `check_from` 1 bits are done (at a word boundary).
// - or_rows_four_russians, the four Russians step for the listed rows of a:
//   the rows of b are taken eight at a time, the 256 ORs of each group are
//   tabulated (per slice of columns, so the tables stay in L2), and every
//   listed row ORs one table entry per byte of a. After each pass of tables
//   the rows whose slice is saturated leave the passes of that slice, whose
//   tables stop being built once every row has; `live` (room for
//   rows.size() entries, overwritten) holds the rows left. It polls `stop`
//   between passes of tables; stopped, out is incomplete.
#define VALDRIX_PRODUCT_KERNELS                                                                         \
    void or_row_sparse(const BitMatrix& a, const BitMatrix& b, Word* out, std::uint64_t i,              \
                       std::uint64_t check_from) noexcept;                                              \
    void or_rows_four_russians(const BitMatrix& a, const BitMatrix& b, Word* out,                      \
                               std::span<const std::uint64_t> rows, Word* tables, std::uint64_t* live, \
                               const Interrupt& stop) noexcept;

namespace generic {
VALDRIX_PRODUCT_KERNELS
}
namespace avx2 {
VALDRIX_PRODUCT_KERNELS
}
#undef VALDRIX_PRODUCT_KERNELS

// The active set's.
inline void or_row_sparse(const BitMatrix& a, const BitMatrix& b, Word* out, std::uint64_t i,
                          std::uint64_t check_from) noexcept {
    kernels().or_row_sparse(a, b, out, i, check_from);
}
inline void or_rows_four_russians(const BitMatrix& a, const BitMatrix& b, Word* out,
                                  std::span<const std::uint64_t> rows, Word* tables, std::uint64_t* live,
                                  const Interrupt& stop) noexcept {
    kernels().or_rows_four_russians(a, b, out, rows, tables, live, stop);
}

}  // namespace boolmat
