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

// The same counting the observed cells only: `observed` has x's shape, a 1
// bit marks an observed cell, and an error is a wrong observed cell. The
// exact methods answer as the exhaustive search over the observed rows;
// a target with no observed cell gets the empty mask.
Result<ColumnAnswer> solve_masked(const BoolLs& s, const BitVec& x, const BitVec& observed, Method method,
                                  std::uint64_t seed, const Interrupt& stop = {});
Result<SolveAllResult> solve_all_masked(const BoolLs& s, const BitMatrix& x, const BitMatrix& observed,
                                        Method method, std::uint64_t seed, const Interrupt& stop = {});

// The shape check of every masked entry point: `observed` must have x's shape.
Status check_mask_shape(const BitMatrix& observed, const BitMatrix& x);

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

// solve_rows counting the observed cells only: `observed` has the shape
// of `targets`; `columns`, when the caller has it, is the transposes of
// both paired (pair_columns(), zeta/zeta.hpp). Two rows are the same
// target only when their masks are equal too.
Result<std::uint64_t> solve_rows_masked(const BoolLs& s, const BitMatrix& targets, const BitMatrix& observed,
                                        Method method, std::uint64_t seed, SolveWork& work, BitMatrix& masks,
                                        const MaskedColumns* columns = nullptr, const Interrupt& stop = {});

// One target given as its m-bit words (tail bits clear), no checks, with
// `work` prepared for s and method, not batched. Stopped (stop.stopped()),
// the answer means nothing.
ColumnAnswer solve_words(const BoolLs& s, std::span<const Word> x, Method method, std::uint64_t seed,
                         SolveWork& work, const Interrupt& stop = {});

// The same under a mask, as three m-bit word spans: the target's observed
// bits, the observed rows, and the unobserved ones (tail bits clear).
ColumnAnswer solve_words_masked(const BoolLs& s, std::span<const Word> x, std::span<const Word> observed,
                                std::span<const Word> unobserved, Method method, std::uint64_t seed,
                                SolveWork& work, const Interrupt& stop = {});

}  // namespace bmf_core
