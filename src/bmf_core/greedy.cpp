#include "bmf_core/greedy.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "boolmat/popcount.hpp"

namespace bmf_core {

unsigned flip_limit(std::uint64_t r) noexcept {
    // ceil(log2 r) is the bit length of r - 1.
    const unsigned ceil_log2 = static_cast<unsigned>(std::bit_width(r - 1));
    const std::uint64_t k = ceil_log2 > 2 ? ceil_log2 : 2;
    return static_cast<unsigned>(k < r ? k : r);
}

Status GreedyScratch::prepare(std::uint64_t words) {
    if (cover_.size() < 2 * words) {
        TRY(cover_, boolmat::Buffer<Word>::uninit(2 * words));
    }
    words_ = words;
    return {};
}

namespace {

// Which rows an error counts: every one, or the observed ones. A column's
// word is read through it, so that a cover holds only rows that count and
// its Hamming distance to the target (unobserved bits clear) is the error.
struct AllRows {
    Word operator()(Word col, std::size_t) const noexcept { return col; }
};
struct ObservedRows {
    const Word* observed;
    Word operator()(Word col, std::size_t k) const noexcept { return col & observed[k]; }
};

// The counts go through the kernel set: this file is built for the baseline
// processor, where a popcount of each word would be a library call.
template <class Rows>
std::uint64_t cover_error_of(const BoolLs& s, std::span<const Word> x, std::uint64_t h, Rows rows) noexcept {
    const std::span<const BitVec> cols = s.columns();
    constexpr std::size_t kBlock = 64;
    Word c[kBlock];
    std::uint64_t e = 0;
    for (std::size_t k0 = 0; k0 < x.size(); k0 += kBlock) {
        const std::size_t n = std::min(kBlock, x.size() - k0);
        std::fill_n(c, n, Word{0});
        for (std::uint64_t bits = h; bits != 0; bits &= bits - 1) {
            const Word* col = cols[static_cast<std::size_t>(std::countr_zero(bits))].words().data() + k0;
            for (std::size_t k = 0; k < n; ++k) c[k] |= rows(col[k], k0 + k);
        }
        e += boolmat::popcount_xor({c, n}, x.subspan(k0, n));
    }
    return e;
}

template <class Rows>
ColumnAnswer greedy_of(const BoolLs& s, std::span<const Word> x, GreedyScratch& scratch, Rows rows) {
    const std::span<const BitVec> cols = s.columns();
    const std::size_t words = x.size();
    Word* cover = scratch.cover();
    Word* trial = scratch.trial();
    std::memset(cover, 0, words * sizeof(Word));
    std::uint64_t h = 0;
    std::uint64_t error = boolmat::popcount_words(x);
    for (;;) {
        // Each candidate adds one column to the cover at the start of the
        // pass; only a strictly smaller error replaces the best, so the
        // lowest column wins ties and a column that changes nothing is
        // never added.
        std::uint64_t best_error = error;
        std::uint64_t best_j = s.r();
        for (std::uint64_t j = 0; j < s.r(); ++j) {
            if ((h >> j) & 1) continue;
            const Word* col = cols[j].words().data();
            for (std::size_t k = 0; k < words; ++k) trial[k] = cover[k] | rows(col[k], k);
            const std::uint64_t e = boolmat::popcount_xor({trial, words}, x);
            if (e < best_error) {
                best_error = e;
                best_j = j;
            }
        }
        if (best_j == s.r()) return {h, error};
        const Word* col = cols[best_j].words().data();
        for (std::size_t k = 0; k < words; ++k) cover[k] |= rows(col[k], k);
        h |= std::uint64_t{1} << best_j;
        error = best_error;
    }
}

template <class Rows>
ColumnAnswer local_search_of(const BoolLs& s, std::span<const Word> x, ColumnAnswer start, std::uint64_t budget,
                             unsigned kmax, Lcg64& rng, Rows rows) {
    if (budget == 0 || kmax < 2) return start;
    ColumnAnswer cur = start;
    for (std::uint64_t sweep = 0; sweep < budget; ++sweep) {
        for (unsigned k = 2; k <= kmax; ++k) {
            const std::uint64_t candidate = cur.h ^ draw_flip(rng, s.r(), k);
            const std::uint64_t e = cover_error_of(s, x, candidate, rows);
            // Every accepted move lowers the error strictly, so the nesting
            // ends; the nested call continues the same draws.
            if (e < cur.error) cur = local_search_of(s, x, {candidate, e}, budget - 1, kmax, rng, rows);
        }
    }
    return cur;
}

template <class Rows>
ColumnAnswer greedy_ls_of(const BoolLs& s, std::span<const Word> x, std::uint64_t seed, GreedyScratch& scratch,
                          Rows rows) {
    const ColumnAnswer g = greedy_of(s, x, scratch, rows);
    Lcg64 rng(seed);
    return local_search_of(s, x, g, s.r(), flip_limit(s.r()), rng, rows);
}

}  // namespace

std::uint64_t cover_error(const BoolLs& s, std::span<const Word> x, std::uint64_t h) noexcept {
    return cover_error_of(s, x, h, AllRows{});
}

std::uint64_t cover_error_masked(const BoolLs& s, std::span<const Word> x, std::span<const Word> observed,
                                 std::uint64_t h) noexcept {
    return cover_error_of(s, x, h, ObservedRows{observed.data()});
}

ColumnAnswer solve_greedy(const BoolLs& s, std::span<const Word> x, GreedyScratch& scratch) {
    return greedy_of(s, x, scratch, AllRows{});
}

ColumnAnswer solve_greedy_masked(const BoolLs& s, std::span<const Word> x, std::span<const Word> observed,
                                 GreedyScratch& scratch) {
    return greedy_of(s, x, scratch, ObservedRows{observed.data()});
}

std::uint64_t draw_flip(Lcg64& rng, std::uint64_t r, unsigned k) noexcept {
    std::uint64_t flip = 0;
    while (static_cast<unsigned>(std::popcount(flip)) < k) flip |= std::uint64_t{1} << rng.gen_index(r);
    return flip;
}

ColumnAnswer local_search(const BoolLs& s, std::span<const Word> x, ColumnAnswer start, std::uint64_t budget,
                          unsigned kmax, Lcg64& rng) {
    return local_search_of(s, x, start, budget, kmax, rng, AllRows{});
}

ColumnAnswer solve_greedy_ls(const BoolLs& s, std::span<const Word> x, std::uint64_t seed, GreedyScratch& scratch) {
    return greedy_ls_of(s, x, seed, scratch, AllRows{});
}

ColumnAnswer solve_greedy_ls_masked(const BoolLs& s, std::span<const Word> x, std::span<const Word> observed,
                                    std::uint64_t seed, GreedyScratch& scratch) {
    return greedy_ls_of(s, x, seed, scratch, ObservedRows{observed.data()});
}

}  // namespace bmf_core
