// Boolean least squares at any rank: every column of X against W's columns
// by the search's step (search_step.hpp) from the empty answer, with no
// table of 2^r entries. Each answer is a best one unless its search meets
// the node budget; such answers are counted.
#pragma once

#include <cstdint>

#include "bmf_core/search_step.hpp"

namespace bmf_core {

// A one-off solve can afford a larger budget than each step of the search.
inline constexpr std::uint64_t kSolveNodeBudget = std::uint64_t{1} << 16;

struct SearchSolve {
    BitMatrix h;             // r x n
    std::uint64_t error;     // wrong cells (observed ones, under a mask)
    std::uint64_t inexact;   // columns whose search met the budget
};

// w: m x r, x: m x n, `observed`: null or x's shape. r is at most kMaxStepRank.
Result<SearchSolve> solve_all_search(const BitMatrix& w, const BitMatrix& x, const BitMatrix* observed,
                                     const Interrupt& stop = {});

}  // namespace bmf_core
