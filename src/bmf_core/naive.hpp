// The exhaustive method `naive`: every mask tried, its error counted row by
// row.
#pragma once

#include <span>

#include "bmf_core/boolls.hpp"

namespace bmf_core {

// Polls `stop` per mask; stopped, the answer means nothing.
ColumnAnswer solve_naive(const BoolLs& s, std::span<const Word> x, const Interrupt& stop = {});
// The same counting the observed rows only (`observed`, m bits); x's
// unobserved bits do not matter.
ColumnAnswer solve_naive_masked(const BoolLs& s, std::span<const Word> x, std::span<const Word> observed,
                                const Interrupt& stop = {});

}  // namespace bmf_core
