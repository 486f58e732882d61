// The starts of the search: factor pairs built from X's structure, each then
// polished by alternation.
#pragma once

#include <cstdint>

#include "bmf_core/alternation.hpp"

namespace bmf_core {

struct Factors {
    BitMatrix w;  // m x r
    BitMatrix h;  // r x n
};

// A cover from below: r times, the concept (rows A, columns B, every cell of
// A x B a 1 or unobserved) that covers the most 1 cells still uncovered,
// grown one column at a time while that gains. Components left when every 1
// is covered stay zero.
Result<Factors> cover_start(const Cells& c, std::uint64_t r, const Interrupt& stop = {});

// Association candidates: column j's candidate holds the columns k with
// |1-rows of j and k| >= tau * |1-rows of j|; r times the candidate and the
// rows using it that gain the most (newly covered 1 cells less newly
// covered 0 cells) join the factors.
Result<Factors> association_start(const Cells& c, std::uint64_t r, double tau, const Interrupt& stop = {});

// H whose rows are r distinct non-zero rows of X drawn with `seed`.
Result<BitMatrix> random_rows_h(const Cells& c, std::uint64_t r, std::uint64_t seed, const Interrupt& stop = {});

}  // namespace bmf_core
