#include "bmf_core/ao_bmf.hpp"

#include "bmf_core/alternation.hpp"
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

Status check_arguments(std::uint64_t r, std::uint64_t max_iter) {
    if (r == 0) return boolmat::panic("r doit valoir au moins 1");
    TRY_VOID(check_rank(r));
    if (max_iter == 0) return boolmat::panic("max_iter doit valoir au moins 1");
    return {};
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
    TRY(BitMatrix w, initial_w(xt, r, seed, stop));
    return alternate({x, xt}, std::move(w), r, method, max_iter, work, stop);
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
    TRY(BitMatrix w, initial_w(seen_t, r, seed, stop));
    return alternate({seen, seen_t, &observed, &observed_t, &paired, &paired_t}, std::move(w), r, method, max_iter,
                     work, stop);
}

}  // namespace bmf_core
