#include "bmf_core/greedy.hpp"

#include <gtest/gtest.h>

#include "bmf_core/solve.hpp"
#include "solver_fixtures.hpp"

namespace bmf_core {
namespace {

using fixtures::bits_of;
using fixtures::rows_of;

ColumnAnswer greedy(const BoolLs& s, const BitVec& x) { return solve(s, x, Method::Greedy, 0).value(); }
ColumnAnswer greedy_ls(const BoolLs& s, const BitVec& x, std::uint64_t seed) {
    return solve(s, x, Method::GreedyLs, seed).value();
}

TEST(FlipLimit, ByRank) {
    const std::pair<std::uint64_t, unsigned> table[] = {{1, 1},  {2, 2},  {3, 2},  {4, 2},  {5, 3},  {8, 3},
                                                        {9, 4},  {16, 4}, {17, 5}, {26, 5}, {33, 6}, {64, 6}};
    for (auto [r, k] : table) EXPECT_EQ(flip_limit(r), k) << "r " << r;
}

// Seed 0, r = 5: the first move flips columns 2 and 4; if it does not
// improve, the k = 3 move draws 2, 1, 0; if it does, the nested call's
// first move takes the draws 2 and 1.
TEST(DrawFlip, SeedZeroRankFive) {
    Lcg64 not_improving(0);
    EXPECT_EQ(draw_flip(not_improving, 5, 2), 20u);
    EXPECT_EQ(draw_flip(not_improving, 5, 3), 7u);
    Lcg64 improving(0);
    EXPECT_EQ(draw_flip(improving, 5, 2), 20u);
    EXPECT_EQ(draw_flip(improving, 5, 2), 6u);
}

TEST(DrawFlip, RepeatsCostADraw) {
    Lcg64 g(0), h(0);
    const std::uint64_t flip = draw_flip(g, 2, 2);  // r = 2: both columns, whatever the draws
    EXPECT_EQ(flip, 3u);
    std::uint64_t draws = 0, seen = 0;
    while (std::popcount(seen) < 2) {
        seen |= std::uint64_t{1} << h.gen_index(2);
        ++draws;
    }
    EXPECT_EQ(g.state(), h.state());
    EXPECT_GE(draws, 2u);
}

TEST(Greedy, SmallExamples) {
    const BoolLs s = BoolLs::build(rows_of({"10", "01", "11"})).value();
    EXPECT_EQ(greedy(s, bits_of("101")), (ColumnAnswer{1, 0}));
    EXPECT_EQ(greedy(s, bits_of("001")), (ColumnAnswer{0, 1}));  // no single column helps
    EXPECT_EQ(greedy(s, bits_of("111")), (ColumnAnswer{3, 0}));  // column 0 first (tie), then 1
    EXPECT_EQ(greedy(s, bits_of("011")), (ColumnAnswer{2, 0}));
}

// Rows 11, 01, 10 and x = 011: nothing single helps, but flipping both
// columns does, and with r = 2 every move flips both.
TEST(GreedyLs, EscapesWhereGreedyStops) {
    const BoolLs s = BoolLs::build(rows_of({"11", "01", "10"})).value();
    const BitVec x = bits_of("011");
    EXPECT_EQ(greedy(s, x), (ColumnAnswer{0, 2}));
    for (std::uint64_t seed : {0ull, 1ull, 2ull, 99ull, ~0ull}) EXPECT_EQ(greedy_ls(s, x, seed), (ColumnAnswer{3, 1}));
    EXPECT_EQ(solve(s, x, Method::Zeta, 0).value(), (ColumnAnswer{3, 1}));
    EXPECT_EQ(solve(s, x, Method::Naive, 0).value(), (ColumnAnswer{3, 1}));
}

TEST(Greedy, TargetEqualToColumnsTakesTheLowestAlone) {
    const BoolLs s = BoolLs::build(rows_of({"0110", "0110", "1001", "0000", "0111"})).value();
    // Columns 1 and 2 are both 11001 (rows 0, 1, 4).
    EXPECT_EQ(greedy(s, bits_of("11001")), (ColumnAnswer{2, 0}));
}

// The steps as they are stated: the cover as a bit vector, each candidate a
// copy of it with one column ORed in, errors by Hamming distance (over the
// observed rows, under a mask); the local search rebuilds the candidate's
// cover from nothing. The solver must agree with it draw for draw.
struct Model {
    const BoolLs& s;
    const BitVec& x;
    const BitVec* observed = nullptr;

    std::uint64_t distance(const BitVec& cover) const {
        std::uint64_t d = 0;
        for (std::uint64_t i = 0; i < s.m(); ++i) {
            d += (observed == nullptr || observed->get(i).value()) && cover.get(i).value() != x.get(i).value();
        }
        return d;
    }

    std::uint64_t error_of(std::uint64_t h) const {
        BitVec cover = BitVec::zeros(s.m()).value();
        for (std::uint64_t j = 0; j < s.r(); ++j) {
            if ((h >> j) & 1) EXPECT_TRUE(cover.or_assign(s.columns()[j]).has_value());
        }
        return distance(cover);
    }

    ColumnAnswer greedy() const {
        BitVec cover = BitVec::zeros(s.m()).value();
        std::uint64_t h = 0, error = distance(cover);
        for (;;) {
            std::uint64_t best_h = h, best_e = error;
            BitVec best_cover = cover.clone().value();
            for (std::uint64_t j = 0; j < s.r(); ++j) {
                if ((h >> j) & 1) continue;
                BitVec cand = cover.clone().value();
                EXPECT_TRUE(cand.or_assign(s.columns()[j]).has_value());
                const std::uint64_t e = distance(cand);
                if (e < best_e) {
                    best_h = h | (std::uint64_t{1} << j);
                    best_e = e;
                    best_cover = std::move(cand);
                }
            }
            if (best_h == h) return {h, error};
            h = best_h;
            error = best_e;
            cover = std::move(best_cover);
        }
    }

    ColumnAnswer search(std::uint64_t h, std::uint64_t error, std::uint64_t d, unsigned kmax, Lcg64& rng) const {
        if (d == 0 || kmax < 2) return {h, error};
        for (std::uint64_t sweep = 0; sweep < d; ++sweep) {
            for (unsigned k = 2; k <= kmax; ++k) {
                std::uint64_t mask = 0;
                while (static_cast<unsigned>(std::popcount(mask)) < k) mask |= std::uint64_t{1} << rng.gen_index(s.r());
                const std::uint64_t cand = h ^ mask;
                const std::uint64_t e = error_of(cand);
                if (e < error) {
                    const ColumnAnswer nested = search(cand, e, d - 1, kmax, rng);
                    h = nested.h;
                    error = nested.error;
                }
            }
        }
        return {h, error};
    }
};

TEST(GreedyLs, FollowsTheStatedStepsOnRandomInputs) {
    std::mt19937_64 gen(4242);
    for (std::uint64_t r : {1u, 2u, 3u, 5u, 8u, 9u, 13u, 17u}) {
        const BitMatrix w = fixtures::random_matrix(100, r, 0.2, gen);
        const BoolLs s = BoolLs::build(w).value();
        for (int t = 0; t < 6; ++t) {
            const BitVec x = fixtures::random_bits(100, 0.15 * (t + 1), gen);
            // No mask, and masks leaving 0%, 10% and 60% of the rows
            // unobserved.
            for (const double unobserved : {-1.0, 0.0, 0.1, 0.6}) {
                const BitVec observed = fixtures::random_bits(100, 1 - unobserved, gen);
                const bool masked = unobserved >= 0;
                const Model model{s, x, masked ? &observed : nullptr};
                const ColumnAnswer g = model.greedy();
                EXPECT_EQ(masked ? solve_masked(s, x, observed, Method::Greedy, 0).value() : greedy(s, x), g)
                    << "r " << r << " unobserved " << unobserved;
                for (std::uint64_t seed : {0ull, 7ull}) {
                    Lcg64 rng(seed);
                    const ColumnAnswer want = model.search(g.h, g.error, r, flip_limit(r), rng);
                    const ColumnAnswer got =
                        masked ? solve_masked(s, x, observed, Method::GreedyLs, seed).value() : greedy_ls(s, x, seed);
                    EXPECT_EQ(got, want) << "r " << r << " seed " << seed << " unobserved " << unobserved;
                    EXPECT_LE(got.error, g.error);
                    EXPECT_EQ(model.error_of(got.h), got.error);
                }
            }
        }
    }
}

TEST(GreedyLs, RankOneIsGreedy) {
    std::mt19937_64 gen(1);
    const BoolLs s = BoolLs::build(fixtures::random_matrix(64, 1, 0.5, gen)).value();
    for (int t = 0; t < 10; ++t) {
        const BitVec x = fixtures::random_bits(64, 0.5, gen);
        EXPECT_EQ(greedy_ls(s, x, t), greedy(s, x));
    }
}

}  // namespace
}  // namespace bmf_core
