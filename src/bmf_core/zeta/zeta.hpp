// Exhaustive search through a subset-sum (zeta) transform of the pattern
// table. For a target x, entry S of the transformed table is
//   (1-rows whose pattern is a subset of S) - (0-rows likewise),
// so the error of mask h is (m - ones(x)) + a[~h], and the best mask is the
// complement of the smallest entry, the largest S winning ties (which is the
// smallest h, as the increasing scan of the scalar algorithm picks).
// Under a mask only the observed rows count: x is then the observed 1-rows,
// and an unobserved row adds 1 to its entry, cancelling its -1, so that the
// same transform gives (observed 0-rows) + a[~h].
#pragma once

#include <cstdint>
#include <span>

#include "bmf_core/boolls.hpp"
#include "bmf_core/zeta/plan.hpp"

namespace bmf_core {

// Targets as the columns of an m x n matrix under a mask, as the batched
// solve reads them: each word of a row of the targets' observed 1 bits
// beside the same word of their 1 bits or unobserved cells, so that the
// two are read from one cache line.
struct MaskedColumns {
    BitMatrix words;  // m x (128 * words per row of the targets)
    std::uint64_t cols;
};
Result<MaskedColumns> pair_columns(const BitMatrix& x, const BitMatrix& observed);

class ZetaWork;
namespace testing {
void set_zeta_switches(ZetaWork& work, const ZetaTestSwitches& switches);
}

// The working memory of the zeta solve for one solver at a time, reused
// across targets and across solvers. prepare() plans the solver's targets
// for the active kernel set (plan.hpp); the solves run that set's kernels.
class ZetaWork {
public:
    // Makes the work ready for `targets` targets of s: in batches of
    // kBatch (batched()) or one at a time. With several targets one at a
    // time, a private copy of the negated counts pays for itself (the
    // targets are then moved in and out of it, instead of the whole table
    // being copied per target).
    Status prepare(const BoolLs& s, std::uint64_t targets);
    bool batched() const noexcept { return plan_.strategy == ZetaStrategy::Batch; }

    // The answer for one target of the prepared solver (m bits, tail clear),
    // when not batched. Large tables poll `stop` between their chunks;
    // stopped, the answer means nothing.
    ColumnAnswer solve(std::span<const Word> x, const Interrupt& stop = {});
    // The same counting the observed rows only: x with its unobserved bits
    // clear, `unobserved` the rows that do not count (m bits, tail clear).
    ColumnAnswer solve_masked(std::span<const Word> x, std::span<const Word> unobserved,
                              const Interrupt& stop = {});

    // When batched: the answers for the targets that are columns first to
    // first + 15 of x (m rows; first a multiple of 16). Columns past the
    // last one of x read as empty targets.
    static constexpr std::uint64_t kBatch = kZetaBatch;
    void solve_batch(const BitMatrix& x, std::uint64_t first, ColumnAnswer* out);
    // The same counting the cells `observed` (x's shape) marks only, or the
    // observed cells of targets paired with their mask (pair_columns: for
    // matrices solved many times, whose two halves are then read from one
    // cache line).
    void solve_batch_masked(const BitMatrix& x, const BitMatrix& observed, std::uint64_t first, ColumnAnswer* out);
    void solve_batch_masked(const MaskedColumns& x, std::uint64_t first, ColumnAnswer* out);
    // The first of these in two steps, for a call that solves every batch:
    // pair_word() pairs word `word` of x's rows (columns 64 word to 64 word +
    // 63) with the same word of the mask's into the work, once for its four
    // batches, and solve_paired_batch() solves those of its columns from
    // first (0, 16, 32 or 48) to first + 15.
    void pair_word(const BitMatrix& x, const BitMatrix& observed, std::uint64_t word) noexcept;
    void solve_paired_batch(std::uint64_t first, ColumnAnswer* out);

    const ZetaPlan& plan() const noexcept { return plan_; }

private:
    friend void testing::set_zeta_switches(ZetaWork& work, const ZetaTestSwitches& switches);

    const BoolLs* solver_ = nullptr;
    ZetaPlan plan_;
    ZetaBuffers buf_;
    ZetaTestSwitches switches_;
};

// The scalar algorithm, in 64-bit arithmetic: the reference the kernels are
// compared with. Allocates its table per call. With a mask, x is the target
// with its unobserved bits clear and `unobserved` the rows that do not
// count (m bits, tail clear, disjoint from x): each adds 1 to its pattern's
// entry, which cancels its -1, and the error counts the observed rows only.
ColumnAnswer solve_zeta_scalar(const BoolLs& s, std::span<const Word> x, std::span<const Word> unobserved = {});
// The same in a caller's table of 2^r entries: the solve of tables smaller
// than one vector.
ColumnAnswer solve_zeta_scalar(const BoolLs& s, std::span<const Word> x, std::span<const Word> unobserved,
                               std::int64_t* table) noexcept;

}  // namespace bmf_core
