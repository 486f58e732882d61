#include "bmf_core/alternation.hpp"

#include "bmf_core/solve.hpp"
#include "boolmat/ops.hpp"
#include "boolmat/popcount.hpp"
#include "boolmat/product.hpp"
#include "boolmat/transpose.hpp"

namespace bmf_core {

Result<OwnedCells> own_cells(const BitMatrix& x, const BitMatrix* observed, const Interrupt& stop) {
    if (observed == nullptr) {
        TRY(BitMatrix own, x.clone());
        TRY(BitMatrix xt, boolmat::transpose(x, stop));
        return OwnedCells{std::move(own), std::move(xt), {}, {}, {}, {}};
    }
    TRY_VOID(check_mask_shape(*observed, x));
    TRY(BitMatrix seen, boolmat::and_(x, *observed));
    TRY(BitMatrix seen_t, boolmat::transpose(seen, stop));
    TRY(BitMatrix mask, observed->clone());
    TRY(BitMatrix mask_t, boolmat::transpose(*observed, stop));
    TRY(MaskedColumns paired, pair_columns(seen, mask));
    TRY(MaskedColumns paired_t, pair_columns(seen_t, mask_t));
    return OwnedCells{std::move(seen),      std::move(seen_t), std::move(mask), std::move(mask_t),
                      std::move(paired), std::move(paired_t)};
}

Result<BitMatrix> initial_w(const BitMatrix& xt, std::uint64_t r, std::uint64_t seed, const Interrupt& stop) {
    TRY(BitMatrix wt, BitMatrix::zeros(r, xt.cols()));
    TRY(const InitialColumns initial, choose_initial_columns(xt, r, seed));
    const std::span<const std::uint64_t> chosen = initial.chosen();
    for (std::uint64_t k = 0; k < chosen.size(); ++k) {
        TRY(auto src, xt.row(chosen[k]));
        TRY_VOID(wt.set_row(k, src));
    }
    return boolmat::transpose(wt, stop);
}

Result<std::uint64_t> fit_error(const Cells& c, const BitMatrix& w, const BitMatrix& h, const Interrupt& stop) {
    TRY(BitMatrix wrong, boolmat::boolean_product(w, h, stop));
    TRY_VOID(boolmat::xor_assign(wrong, c.x));
    if (c.observed != nullptr) TRY_VOID(boolmat::and_assign(wrong, *c.observed));
    return wrong.count_ones();
}

namespace {

// The solves of every row of `targets` (whose transpose is `columns`, or
// under a mask `paired`), with or without the mask.
Result<std::uint64_t> solve_step(const BoolLs& solver, const BitMatrix& targets, const BitMatrix& columns,
                                 const BitMatrix* observed, const MaskedColumns* paired, Method method,
                                 SolveWork& work, BitMatrix& masks, const Interrupt& stop) {
    // Every solve gets seed 0.
    if (observed == nullptr) return solve_rows(solver, targets, method, 0, work, masks, &columns, stop);
    return solve_rows_masked(solver, targets, *observed, method, 0, work, masks, paired, stop);
}

}  // namespace

Result<BmfResult> alternate(const Cells& c, BitMatrix w, std::uint64_t r, Method method, std::uint64_t max_iter,
                            SolveWork& work, const Interrupt& stop) {
    const BitMatrix& x = c.x;
    const BitMatrix& xt = c.xt;
    TRY(BitMatrix ht, BitMatrix::zeros(x.cols(), r));  // H^T; H starts all zero
    TRY(BitMatrix best_w, w.clone());
    TRY(BitMatrix best_h, BitMatrix::zeros(r, x.cols()));
    // With H zero every 1 cell (observed, under a mask) is wrong.
    std::uint64_t best_error = x.count_ones();
    std::uint64_t iterations = 0;

    // One solver at a time: each is built from the table of the one before,
    // after that one is released. The working memory of the column solves
    // lives across all iterations.
    TRY(BoolLs solver, BoolLs::build(w, stop));
    for (;;) {
        if (iterations > 0) {
            TRY(solver, BoolLs::build(w, std::move(solver), stop));
        }
        // H-step: every column of X against W.
        TRY(const std::uint64_t h_error,
            solve_step(solver, xt, x, c.observed_t, c.paired, method, work, ht, stop));
        (void)h_error;  // only the W-step's error counts
        // W-step: every row of X against H^T.
        TRY(solver, BoolLs::build(ht, std::move(solver), stop));
        TRY(const std::uint64_t total, solve_step(solver, x, xt, c.observed, c.paired_t, method, work, w, stop));
        ++iterations;
        const IterationVerdict verdict = judge_iteration(total, best_error, iterations, max_iter);
        if (!verdict.improved) break;
        TRY(best_w, w.clone());
        TRY(best_h, boolmat::transpose(ht, stop));
        best_error = total;
        if (!verdict.go_on) break;
    }
    return BmfResult{std::move(best_w), std::move(best_h), best_error, iterations};
}

}  // namespace bmf_core
