// Greedy forward selection and its randomised local search, on the columns
// of W as bit vectors.
#pragma once

#include <cstdint>
#include <span>

#include "bmf_core/boolls.hpp"
#include "bmf_core/lcg64.hpp"

namespace bmf_core {

// The largest number of columns one local-search move flips.
unsigned flip_limit(std::uint64_t r) noexcept;

// Cover of the current greedy mask and of a candidate, reused across
// columns.
class GreedyScratch {
public:
    Status prepare(std::uint64_t words);
    Word* cover() noexcept { return cover_.data(); }
    Word* trial() noexcept { return cover_.data() + words_; }

private:
    boolmat::Buffer<Word> cover_;
    std::uint64_t words_ = 0;
};

ColumnAnswer solve_greedy(const BoolLs& s, std::span<const Word> x, GreedyScratch& scratch);
ColumnAnswer solve_greedy_ls(const BoolLs& s, std::span<const Word> x, std::uint64_t seed, GreedyScratch& scratch);

// The same counting the observed rows only: x is the target with its
// unobserved bits clear, `observed` the mask of the observed rows (m bits,
// tail clear). Every error evaluated is over the observed rows.
ColumnAnswer solve_greedy_masked(const BoolLs& s, std::span<const Word> x, std::span<const Word> observed,
                                 GreedyScratch& scratch);
ColumnAnswer solve_greedy_ls_masked(const BoolLs& s, std::span<const Word> x, std::span<const Word> observed,
                                    std::uint64_t seed, GreedyScratch& scratch);

// A random choice of k distinct columns of r: one gen_index(r) per draw, a
// repeated column costing a draw and adding nothing.
std::uint64_t draw_flip(Lcg64& rng, std::uint64_t r, unsigned k) noexcept;

// Improves (h, error), whose error is the true error of h; draws from rng.
ColumnAnswer local_search(const BoolLs& s, std::span<const Word> x, ColumnAnswer start, std::uint64_t budget,
                          unsigned kmax, Lcg64& rng);

// Error of mask h for x: the Hamming distance between x and the OR of the
// selected columns.
std::uint64_t cover_error(const BoolLs& s, std::span<const Word> x, std::uint64_t h) noexcept;
// The same over the observed rows, x with its unobserved bits clear.
std::uint64_t cover_error_masked(const BoolLs& s, std::span<const Word> x, std::span<const Word> observed,
                                 std::uint64_t h) noexcept;

}  // namespace bmf_core
