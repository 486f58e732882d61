#include "bmf_core/ao_bmf.hpp"

#include "bmf_core/lcg64.hpp"
#include "bmf_core/solve.hpp"
#include "boolmat/ops.hpp"
#include "boolmat/transpose.hpp"

namespace bmf_core {

std::uint64_t shuffle_start_columns(std::span<std::uint64_t> candidates, std::uint64_t r,
                                    std::uint64_t seed) noexcept {
    const std::uint64_t nz = candidates.size();
    const std::uint64_t take = nz < r ? nz : r;
    Lcg64 rng(seed);
    for (std::uint64_t k = 0; k < take; ++k) {
        const std::uint64_t t = k + rng.gen_index(nz - k);
        std::swap(candidates[k], candidates[t]);
    }
    return take;
}

Result<InitialColumns> choose_initial_columns(const BitMatrix& xt, std::uint64_t r, std::uint64_t seed) {
    TRY(auto candidates, boolmat::Buffer<std::uint64_t>::uninit(xt.rows()));
    std::uint64_t nz = 0;
    const std::uint64_t stride = xt.stride();
    for (std::uint64_t j = 0; j < xt.rows(); ++j) {
        const Word* row = xt.row_ptr(j);
        for (std::uint64_t k = 0; k < stride; ++k) {
            if (row[k] != 0) {
                candidates[nz++] = j;
                break;
            }
        }
    }
    const std::uint64_t take = shuffle_start_columns(candidates.span().first(nz), r, seed);
    return InitialColumns{std::move(candidates), take};
}

namespace {

// W (m x r) whose column k is column chosen[k] of X; the others stay zero.
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

Status check_arguments(std::uint64_t r, std::uint64_t max_iter) {
    if (r == 0) return boolmat::panic("r doit valoir au moins 1");
    TRY_VOID(check_rank(r));
    if (max_iter == 0) return boolmat::panic("max_iter doit valoir au moins 1");
    return {};
}

// The cells the alternation fits: X and its transpose, and under a mask the
// same for the mask (X then holding its observed cells only), with each
// orientation paired with its mask for the batched solves.
struct Cells {
    const BitMatrix& x;
    const BitMatrix& xt;
    const BitMatrix* observed = nullptr;
    const BitMatrix* observed_t = nullptr;
    const MaskedColumns* paired = nullptr;
    const MaskedColumns* paired_t = nullptr;
};

// The solves of every row of `targets` (whose transpose is `columns`, or
// under a mask `paired`), with or without the mask.
Result<std::uint64_t> solve_step(const BoolLs& solver, const BitMatrix& targets, const BitMatrix& columns,
                                 const BitMatrix* observed, const MaskedColumns* paired, Method method,
                                 SolveWork& work, BitMatrix& masks, const Interrupt& stop) {
    // Every solve gets seed 0.
    if (observed == nullptr) return solve_rows(solver, targets, method, 0, work, masks, &columns, stop);
    return solve_rows_masked(solver, targets, *observed, method, 0, work, masks, paired, stop);
}

Result<BmfResult> alternate(const Cells& c, std::uint64_t r, Method method, std::uint64_t max_iter,
                            std::uint64_t seed, SolveWork& work, const Interrupt& stop) {
    const BitMatrix& x = c.x;
    const BitMatrix& xt = c.xt;
    TRY(BitMatrix w, initial_w(xt, r, seed, stop));
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

}  // namespace

Result<BmfResult> ao_bmf(const BitMatrix& x, std::uint64_t r, Method method, std::uint64_t max_iter,
                         std::uint64_t seed, const Interrupt& stop) {
    SolveWork work;
    return ao_bmf(x, r, method, max_iter, seed, work, stop);
}

Result<BmfResult> ao_bmf(const BitMatrix& x, std::uint64_t r, Method method, std::uint64_t max_iter,
                         std::uint64_t seed, SolveWork& work, const Interrupt& stop) {
    TRY_VOID(check_arguments(r, max_iter));
    TRY(const BitMatrix xt, boolmat::transpose(x, stop));
    return alternate({x, xt}, r, method, max_iter, seed, work, stop);
}

Result<BmfResult> ao_bmf_masked(const BitMatrix& x, const BitMatrix& observed, std::uint64_t r, Method method,
                                std::uint64_t max_iter, std::uint64_t seed, const Interrupt& stop) {
    SolveWork work;
    return ao_bmf_masked(x, observed, r, method, max_iter, seed, work, stop);
}

Result<BmfResult> ao_bmf_masked(const BitMatrix& x, const BitMatrix& observed, std::uint64_t r, Method method,
                                std::uint64_t max_iter, std::uint64_t seed, SolveWork& work,
                                const Interrupt& stop) {
    TRY_VOID(check_mask_shape(observed, x));
    TRY_VOID(check_arguments(r, max_iter));
    TRY(const BitMatrix seen, boolmat::and_(x, observed));
    TRY(const BitMatrix seen_t, boolmat::transpose(seen, stop));
    TRY(const BitMatrix observed_t, boolmat::transpose(observed, stop));
    TRY(const MaskedColumns paired, pair_columns(seen, observed));
    TRY(const MaskedColumns paired_t, pair_columns(seen_t, observed_t));
    return alternate({seen, seen_t, &observed, &observed_t, &paired, &paired_t}, r, method, max_iter, seed, work,
                     stop);
}

}  // namespace bmf_core
