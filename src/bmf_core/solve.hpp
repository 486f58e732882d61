// Solving with a built solver (boolls.hpp) by any method: one target, the
// rows of a matrix, or every column of one. The working memory of a
// sequence of solves is a SolveWork; whether the targets go one at a time
// or in batches is the zeta plan's choice (zeta/plan.hpp).
#pragma once

#include <cstdint>
#include <span>

#include "bmf_core/boolls.hpp"
#include "bmf_core/method.hpp"
#include "bmf_core/solve_work.hpp"

namespace bmf_core {

struct SolveAllResult {
    BitMatrix h;  // r x n
    std::uint64_t error;
};

// A call that `stop` stops returns boolmat::stopped(); the solver and x
// are only read, so they are as they were.
Result<ColumnAnswer> solve(const BoolLs& s, const BitVec& x, Method method, std::uint64_t seed,
                           const Interrupt& stop = {});
Result<SolveAllResult> solve_all(const BoolLs& s, const BitMatrix& x, Method method, std::uint64_t seed,
                                 const Interrupt& stop = {});

// Solves each row of `targets` (m bits each) and stores its mask as the
// single word of the same row of `masks` (targets.rows() x r). Returns the
// summed error. `work` is reused across calls and solvers. `columns`, when
// the caller has it: the same targets as the columns of an m x n matrix,
// which the batched zeta solve reads; without it, that solve makes its own
// transpose of `targets`. Stopped, `masks` holds the answers of the rows
// done so far.
Result<std::uint64_t> solve_rows(const BoolLs& s, const BitMatrix& targets, Method method, std::uint64_t seed,
                                 SolveWork& work, BitMatrix& masks, const BitMatrix* columns = nullptr,
                                 const Interrupt& stop = {});

// One target given as its m-bit words (tail bits clear), no checks, with
// `work` prepared for s and method, not batched. Stopped (stop.stopped()),
// the answer means nothing.
ColumnAnswer solve_words(const BoolLs& s, std::span<const Word> x, Method method, std::uint64_t seed,
                         SolveWork& work, const Interrupt& stop = {});

}  // namespace bmf_core
