// Boolean matrix factorisation by alternating optimisation: X (m x n) is
// approximated by W (m x r) o H (r x n), solving H for fixed W, then W for
// fixed H, while the total error strictly falls.
#pragma once

#include <cstdint>
#include <span>

#include "boolmat/buffer.hpp"

#include "bmf_core/boolls.hpp"
#include "bmf_core/method.hpp"

namespace bmf_core {

struct BmfResult {
    BitMatrix w;  // m x r
    BitMatrix h;  // r x n
    std::uint64_t error;
    std::uint64_t iterations;
};

// The defaults of ao_bmf: every entry point that runs the alternation reads
// them from here.
inline constexpr Method kDefaultMethod = Method::Zeta;
inline constexpr std::uint64_t kDefaultMaxIter = 50;
inline constexpr std::uint64_t kDefaultSeed = 0;

// Moves the starting columns to the front of `candidates` (the non-zero
// columns of X, increasing): a partial Fisher-Yates shuffle, exactly
// min(size, r) draws of Lcg64(seed). Returns how many were chosen.
std::uint64_t shuffle_start_columns(std::span<std::uint64_t> candidates, std::uint64_t r,
                                    std::uint64_t seed) noexcept;

// The columns of X (as rows of its transpose xt) that start as the columns
// of W: up to r distinct non-zero ones, drawn with Lcg64(seed).
struct InitialColumns {
    boolmat::Buffer<std::uint64_t> candidates;  // the non-zero columns, the chosen ones first
    std::uint64_t count;                        // how many were chosen: min(nz, r)
    std::span<const std::uint64_t> chosen() const noexcept { return candidates.span().first(count); }
};
Result<InitialColumns> choose_initial_columns(const BitMatrix& xt, std::uint64_t r, std::uint64_t seed);

// The rule that ends the alternation, after iteration `iterations` (counted
// from 1) whose W step left `total` wrong cells: an iteration that does not
// strictly lower the best error ends it and is not kept; one that does is
// kept, and the alternation goes on while fewer than max_iter ran.
struct IterationVerdict {
    bool improved;
    bool go_on;
};
constexpr IterationVerdict judge_iteration(std::uint64_t total, std::uint64_t best_error, std::uint64_t iterations,
                                           std::uint64_t max_iter) noexcept {
    const bool improved = total < best_error;
    return {improved, improved && iterations < max_iter};
}

class SolveWork;

// Polls `stop` inside every step's loop over columns or rows; stopped, it
// returns boolmat::stopped() and nothing of the iterations done.
Result<BmfResult> ao_bmf(const BitMatrix& x, std::uint64_t r, Method method, std::uint64_t max_iter,
                         std::uint64_t seed, const Interrupt& stop = {});
// The same with the caller's working memory for the column solves.
Result<BmfResult> ao_bmf(const BitMatrix& x, std::uint64_t r, Method method, std::uint64_t max_iter,
                         std::uint64_t seed, SolveWork& work, const Interrupt& stop = {});

// ao_bmf counting the observed cells only (`observed`: x's shape, a 1 bit
// marks an observed cell): the error is the number of wrong observed cells,
// and the start is ao_bmf's own on x with its unobserved cells read as 0.
Result<BmfResult> ao_bmf_masked(const BitMatrix& x, const BitMatrix& observed, std::uint64_t r, Method method,
                                std::uint64_t max_iter, std::uint64_t seed, const Interrupt& stop = {});
Result<BmfResult> ao_bmf_masked(const BitMatrix& x, const BitMatrix& observed, std::uint64_t r, Method method,
                                std::uint64_t max_iter, std::uint64_t seed, SolveWork& work,
                                const Interrupt& stop = {});

}  // namespace bmf_core
