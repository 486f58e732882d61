// Exhaustive search through a subset-sum (zeta) transform of the pattern
// table. For a target x, entry S of the transformed table is
//   (set rows whose pattern is a subset of S) - (clear rows likewise),
// so the error of mask h is (m - ones(x)) + a[~h], and the best mask is the
// complement of the smallest entry, the largest S winning ties (which is the
// smallest h, as the increasing scan of the plain algorithm picks).
#pragma once

#include <cstdint>
#include <span>

#include "bmf_core/boolls.hpp"
#include "bmf_core/zeta_plan.hpp"

namespace bmf_core {

// The working memory of the zeta solve for one solver at a time, reused
// across columns and across solvers. prepare() plans the solver's columns
// for the active kernel set (zeta_plan.hpp); solve() runs that set's
// kernels.
class ZetaWork {
public:
    // Makes the work ready for columns of s. `many`: several columns will
    // follow, so a private copy of the negated counts pays for itself (the
    // targets are then moved in and out of it, instead of the whole table
    // being copied per column).
    Status prepare(const BoolLs& s, bool many) { return prepare(s, many, lane_width_for(s.m())); }
    // The same with the lane width forced (it must be exact for s.m()) and,
    // for the tests, which targets go the sparse way (zeta_sparse.hpp).
    Status prepare(const BoolLs& s, bool many, LaneWidth lanes, SparseMode sparse = SparseMode::Auto);

    // The answer for one target of the prepared solver (m bits, tail clear).
    // Large tables poll `stop` between their chunks; stopped, the answer
    // means nothing.
    ColumnAnswer solve(std::span<const Word> x, const Interrupt& stop = {});

    // Sixteen targets at once, for solvers of small rank and fewer than 2^15
    // rows: their table then has 16 entries per pattern.
    static constexpr std::uint64_t kBatch = kZetaBatch;
    static constexpr std::uint64_t kMaxBatchRank = 15;
    static bool batch_suits(const BoolLs& s) noexcept;
    Status prepare_batch(const BoolLs& s);
    // The answers for the targets that are columns first to first + 15 of
    // x (m rows; first a multiple of 16). Columns past the last one of x
    // read as empty targets.
    void solve_batch(const BitMatrix& x, std::uint64_t first, ColumnAnswer* out);

    const ZetaPlan& plan() const noexcept { return plan_; }

private:
    const BoolLs* solver_ = nullptr;
    ZetaPlan plan_;
    ZetaBuffers buf_;
};

// The plain algorithm, in 64-bit arithmetic: the reference the kernels are
// compared with. Allocates its table per call.
ColumnAnswer solve_zeta_scalar(const BoolLs& s, std::span<const Word> x);
// The same in a caller's table of 2^r entries.
ColumnAnswer solve_zeta_plain(const BoolLs& s, std::span<const Word> x, std::int64_t* a) noexcept;

}  // namespace bmf_core
