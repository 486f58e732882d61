// Boolean matrix factorisation by alternating optimisation: X (m x n) is
// approximated by W (m x r) o H (r x n), solving H for fixed W, then W for
// fixed H, while the total error strictly falls.
#pragma once

#include <cstdint>
#include <span>

#include "boolmat/buffer.hpp"

#include "bmf_core/boolls.hpp"
#include "bmf_core/method.hpp"
#include "bmf_core/zeta_plan.hpp"

namespace bmf_core {

struct BmfResult {
    BitMatrix w;  // m x r
    BitMatrix h;  // r x n
    std::uint64_t error;
    std::uint64_t iterations;
};

// The columns of X (as rows of its transpose xt) that start as the columns
// of W: up to r distinct non-zero ones, drawn with Lcg64(seed).
struct InitialColumns {
    boolmat::Buffer<std::uint64_t> candidates;  // the non-zero columns, the chosen ones first
    std::uint64_t count;                        // how many were chosen: min(nz, r)
    std::span<const std::uint64_t> chosen() const noexcept { return candidates.span().first(count); }
};
Result<InitialColumns> choose_initial_columns(const BitMatrix& xt, std::uint64_t r, std::uint64_t seed);

// `sparse`: which zeta solves go the sparse way; every choice gives the
// same result (the tests compare them). Polls `stop` inside every step's
// loop over columns or rows; stopped, it returns boolmat::stopped() and
// nothing of the iterations done.
Result<BmfResult> ao_bmf(const BitMatrix& x, std::uint64_t r, Method method, std::uint64_t max_iter,
                         std::uint64_t seed, SparseMode sparse = SparseMode::Auto, const Interrupt& stop = {});

}  // namespace bmf_core
