#include "bmf_core/ao_bmf.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "bmf_core/testing.hpp"
#include "boolmat/ops.hpp"
#include "boolmat/transpose.hpp"
#include "boolmat_testing.hpp"
#include "solver_fixtures.hpp"

namespace bmf_core {
namespace {

using fixtures::rows_of;

constexpr Method kAllMethods[] = {Method::Naive, Method::Zeta, Method::Greedy, Method::GreedyLs};

struct Choice {
    std::uint64_t n, r, seed;
    std::vector<std::uint64_t> want;
};

class InitialChoice : public ::testing::TestWithParam<Choice> {};

TEST_P(InitialChoice, PartialShuffleOfNonZeroColumns) {
    const Choice& c = GetParam();
    const BitMatrix xt = BitMatrix::ones(c.n, 5).value();  // every column of X non-zero
    const InitialColumns initial = choose_initial_columns(xt, c.r, c.seed).value();
    EXPECT_EQ(std::vector<std::uint64_t>(initial.chosen().begin(), initial.chosen().end()), c.want);
}

INSTANTIATE_TEST_SUITE_P(Examples, InitialChoice,
                         ::testing::Values(Choice{3, 2, 0, {2, 1}}, Choice{3, 3, 0, {2, 1, 0}},
                                           Choice{5, 3, 1, {4, 2, 1}}, Choice{10, 4, 0, {7, 4, 3, 5}},
                                           Choice{2, 5, 0, {1, 0}}));

TEST(InitialChoiceZeros, ZeroColumnsAreNeverChosen) {
    BitMatrix xt = BitMatrix::zeros(6, 3).value();
    for (std::uint64_t j : {1u, 4u}) xt.set_unchecked(j, 2, true);
    for (std::uint64_t seed = 0; seed < 20; ++seed) {
        const InitialColumns initial = choose_initial_columns(xt, 4, seed).value();
        std::vector<std::uint64_t> chosen(initial.chosen().begin(), initial.chosen().end());
        std::ranges::sort(chosen);
        EXPECT_EQ(chosen, (std::vector<std::uint64_t>{1, 4}));
    }
    EXPECT_EQ(choose_initial_columns(BitMatrix::zeros(6, 3).value(), 4, 0).value().count, 0u);
}

TEST(AoBmf, AllZeroMatrix) {
    for (Method method : kAllMethods) {
        const BmfResult r = ao_bmf(BitMatrix::zeros(3, 4).value(), 2, method, 50, 0).value();
        EXPECT_TRUE(fixtures::same_words(r.w, BitMatrix::zeros(3, 2).value()));
        EXPECT_TRUE(fixtures::same_words(r.h, BitMatrix::zeros(2, 4).value()));
        EXPECT_EQ(r.error, 0u);
        EXPECT_EQ(r.iterations, 1u);
    }
}

TEST(AoBmf, SingleColumnRankOne) {
    const BitMatrix x = rows_of({"1", "0", "1", "1"});
    for (Method method : kAllMethods) {
        const BmfResult r = ao_bmf(x, 1, method, 50, 3).value();
        EXPECT_TRUE(fixtures::same_words(r.w, x));
        EXPECT_TRUE(fixtures::same_words(r.h, rows_of({"1"})));
        EXPECT_EQ(r.error, 0u);
        EXPECT_EQ(r.iterations, 2u);
        const BmfResult once = ao_bmf(x, 1, method, 1, 3).value();
        EXPECT_TRUE(fixtures::same_words(once.w, x));
        EXPECT_EQ(once.error, 0u);
        EXPECT_EQ(once.iterations, 1u);
    }
}

TEST(AoBmf, AllOnesRankTwo) {
    for (std::uint64_t seed : {0ull, 5ull, 123ull}) {
        const BmfResult r = ao_bmf(BitMatrix::ones(7, 9).value(), 2, Method::Zeta, 50, seed).value();
        BitMatrix w = BitMatrix::zeros(7, 2).value();
        for (std::uint64_t i = 0; i < 7; ++i) w.set_unchecked(i, 0, true);
        BitMatrix h = BitMatrix::zeros(2, 9).value();
        for (std::uint64_t l = 0; l < 9; ++l) h.set_unchecked(0, l, true);
        EXPECT_TRUE(fixtures::same_words(r.w, w));
        EXPECT_TRUE(fixtures::same_words(r.h, h));
        EXPECT_EQ(r.error, 0u);
        EXPECT_EQ(r.iterations, 2u);
    }
}

// More rank than non-zero columns: W keeps r columns, the extra ones zero.
TEST(AoBmf, RankBeyondTheData) {
    const BitMatrix x = rows_of({"100", "000"});
    const BmfResult r = ao_bmf(x, 5, Method::Zeta, 1, 0).value();
    EXPECT_EQ(r.w.rows(), 2u);
    EXPECT_EQ(r.w.cols(), 5u);
    EXPECT_EQ(r.h.rows(), 5u);
    EXPECT_EQ(r.h.cols(), 3u);
    EXPECT_EQ(r.error, 0u);
}

// The wrong cells of W o H among those `observed` marks.
std::uint64_t observed_distance(const BitMatrix& x, const BitMatrix& observed, const BmfResult& a) {
    const BitMatrix y = fixtures::product_of(a.w, a.h);
    std::uint64_t d = 0;
    for (std::uint64_t i = 0; i < x.rows(); ++i) {
        for (std::uint64_t j = 0; j < x.cols(); ++j) {
            d += observed.get_unchecked(i, j) && x.get_unchecked(i, j) != y.get_unchecked(i, j);
        }
    }
    return d;
}

void expect_same(const BmfResult& a, const BmfResult& b) {
    EXPECT_TRUE(fixtures::same_words(a.w, b.w));
    EXPECT_TRUE(fixtures::same_words(a.h, b.h));
    EXPECT_EQ(a.error, b.error);
    EXPECT_EQ(a.iterations, b.iterations);
}

// Properties on random data: the error is the true distance of the pair
// (over the observed cells, under a mask), never above count_ones(X),
// iterations within bounds, and the run repeats. An all-ones mask changes
// nothing, and under a mask the unobserved cells' values do not matter.
TEST(AoBmf, ErrorIsTheDistanceOfTheReturnedPair) {
    std::mt19937_64 gen(31);
    for (Method method : kAllMethods) {
        for (std::uint64_t r : {1u, 3u, 6u}) {
            const BitMatrix x = fixtures::random_matrix(40, 33, 0.3, gen);
            const BmfResult a = ao_bmf(x, r, method, 50, 17).value();
            EXPECT_EQ(fixtures::distance(x, fixtures::product_of(a.w, a.h)), a.error);
            EXPECT_LE(a.error, x.count_ones());
            EXPECT_GE(a.iterations, 1u);
            EXPECT_LE(a.iterations, 50u);
            expect_same(ao_bmf(x, r, method, 50, 17).value(), a);
            expect_same(ao_bmf_masked(x, BitMatrix::ones(40, 33).value(), r, method, 50, 17).value(), a);
            for (double unobserved : {0.1, 0.6}) {
                const BitMatrix observed = fixtures::random_matrix(40, 33, 1 - unobserved, gen);
                const BmfResult m = ao_bmf_masked(x, observed, r, method, 50, 17).value();
                EXPECT_EQ(observed_distance(x, observed, m), m.error) << method_name(method) << " r " << r;
                EXPECT_LE(m.error, boolmat::and_(x, observed).value().count_ones());
                expect_same(ao_bmf_masked(boolmat::and_(x, observed).value(), observed, r, method, 50, 17).value(), m);
            }
        }
    }
}

// A planted factorisation is found exactly and confirmed by one more
// iteration; max_iter caps the count.
TEST(AoBmf, PlantedAndCapped) {
    std::mt19937_64 gen(8);
    const BitMatrix w = fixtures::random_matrix(60, 3, 0.3, gen);
    const BitMatrix h = fixtures::random_matrix(3, 50, 0.3, gen);
    const BitMatrix x = fixtures::product_of(w, h);
    std::uint64_t best = ~std::uint64_t{0};
    for (std::uint64_t seed = 0; seed < 10; ++seed) {
        const BmfResult r = ao_bmf(x, 3, Method::Zeta, 50, seed).value();
        best = std::min(best, r.error);
        if (r.error == 0) EXPECT_GE(r.iterations, 2u);
        const BmfResult capped = ao_bmf(x, 3, Method::Zeta, 1, seed).value();
        EXPECT_EQ(capped.iterations, 1u);
    }
    EXPECT_EQ(best, 0u);
}

TEST(AoBmf, Preconditions) {
    const BitMatrix x = BitMatrix::ones(2, 2).value();
    EXPECT_EQ(ao_bmf(x, 0, Method::Zeta, 5, 0).error().message(), "r doit valoir au moins 1");
    EXPECT_EQ(ao_bmf(x, 27, Method::Zeta, 5, 0).error().message(), "Sécurité pour ne pas surcharger la mémoire");
    EXPECT_EQ(ao_bmf(x, 2, Method::Zeta, 0, 0).error().kind, boolmat::ErrorKind::Panic);
    EXPECT_EQ(ao_bmf_masked(x, BitMatrix::ones(2, 3).value(), 1, Method::Zeta, 5, 0).error().message(),
              "mask est 2 x 3, x est 2 x 2");
    EXPECT_EQ(ao_bmf_masked(x, x, 0, Method::Zeta, 5, 0).error().message(), "r doit valoir au moins 1");
}

// The sparse way changes no factorisation: on sparse planted data, with
// the sparse way for every zeta solve or for those the cost model picks,
// W, H, the error and the iterations are those of the full transform, with
// a mask or without.
TEST(AoBmf, SparseWayGivesTheSameFactorisation) {
    std::mt19937_64 gen(16);
    for (std::uint64_t r : {16u, 20u}) {
        const BitMatrix w = fixtures::random_matrix(220, r, 0.06, gen);
        const BitMatrix h = fixtures::random_matrix(r, 130, 0.1, gen);
        BitMatrix x = fixtures::product_of(w, h);
        for (std::uint64_t i = 0; i < x.rows(); ++i) {
            for (std::uint64_t j = 0; j < x.cols(); ++j) {
                if (gen() % 200 == 0) x.set_unchecked(i, j, !x.get_unchecked(i, j));
            }
        }
        const BitMatrix observed = fixtures::random_matrix(x.rows(), x.cols(), 0.85, gen);
        for (const boolmat::Kernels* k : boolmat::testing::runnable_kernel_sets()) {
            boolmat::testing::UsingKernels guard(*k);
            for (const bool masked : {false, true}) {
                auto run = [&](SparseMode mode) {
                    return masked ? testing::ao_bmf_masked_with_sparse(x, observed, r, Method::Zeta, 3, r, mode).value()
                                  : testing::ao_bmf_with_sparse(x, r, Method::Zeta, 3, r, mode).value();
                };
                const BmfResult full = run(SparseMode::Never);
                if (masked) EXPECT_EQ(observed_distance(x, observed, full), full.error);
                for (SparseMode mode : {SparseMode::Always, SparseMode::Auto}) {
                    // Auto is what production runs.
                    const BmfResult got = mode != SparseMode::Auto ? run(mode)
                                          : masked ? ao_bmf_masked(x, observed, r, Method::Zeta, 3, r).value()
                                                   : ao_bmf(x, r, Method::Zeta, 3, r).value();
                    SCOPED_TRACE(::testing::Message() << r << " " << static_cast<int>(mode) << " masked " << masked);
                    expect_same(got, full);
                }
            }
        }
    }
}

}  // namespace
}  // namespace bmf_core
