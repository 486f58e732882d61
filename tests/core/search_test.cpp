#include "bmf_core/search.hpp"

#include <gtest/gtest.h>

#include <bitset>
#include <random>

#include "bmf_core/alternation.hpp"
#include "bmf_core/search_starts.hpp"
#include "bmf_core/search_step.hpp"
#include "boolmat_testing.hpp"
#include "solver_fixtures.hpp"

namespace bmf_core {
namespace {

using fixtures::random_matrix;

// The error over its observed cells of target t's answer, the components j
// with taken(j).
template <class Taken>
std::uint64_t error_of(const BitMatrix& basis, const BitMatrix& targets, const BitMatrix& observed, std::uint64_t t,
                       Taken taken) {
    std::uint64_t err = 0;
    for (std::uint64_t k = 0; k < targets.cols(); ++k) {
        if (!observed.get_unchecked(t, k)) continue;
        bool covered = false;
        for (std::uint64_t j = 0; j < basis.rows(); ++j) covered |= taken(j) && basis.get_unchecked(j, k);
        err += covered != targets.get_unchecked(t, k);
    }
    return err;
}

std::uint64_t answer_error(const BitMatrix& basis, const BitMatrix& targets, const BitMatrix& observed,
                           std::uint64_t t, std::uint64_t mask) {
    return error_of(basis, targets, observed, t, [&](std::uint64_t j) { return ((mask >> j) & 1) != 0; });
}

TEST(ImproveRows, BestOverObservedCellsOnEverySetAndNeverWorseThanHeld) {
    std::mt19937_64 gen(7);
    for (const std::uint64_t len : {5u, 70u, 150u}) {
        for (const std::uint64_t r : {1u, 4u, 9u}) {
            for (const double unobserved : {0.0, 0.3, 0.6}) {
                const BitMatrix basis = random_matrix(r, len, 0.3, gen);
                const BitMatrix observed = random_matrix(12, len, 1.0 - unobserved, gen);
                BitMatrix targets = random_matrix(12, len, 0.4, gen);
                for (std::uint64_t t = 0; t < 12; ++t)
                    for (std::uint64_t k = 0; k < len; ++k)
                        if (!observed.get_unchecked(t, k)) targets.set_unchecked(t, k, false);
                const BitMatrix held = random_matrix(12, r, 0.5, gen);
                // Components 0, 3, 6 redrawn after the first step, which the
                // second is told, with the first one's exact answers.
                BitMatrix redrawn = basis.clone().value();
                std::vector<Word> changed(1);
                for (std::uint64_t j = 0; j < r; j += 3) {
                    changed[0] |= Word{1} << j;
                    for (std::uint64_t k = 0; k < len; ++k) redrawn.set_unchecked(j, k, gen() % 3 == 0);
                }
                std::vector<std::uint64_t> answers;
                for (const boolmat::Kernels* set : boolmat::testing::runnable_kernel_sets()) {
                    BitMatrix masks = held.clone().value();
                    const StepCount count =
                        improve_rows_in(set->isa, basis, targets, &observed, masks, kStepNodeBudget).value();
                    EXPECT_EQ(count.exact, 12u);
                    std::uint64_t total = 0;
                    for (std::uint64_t t = 0; t < 12; ++t) {
                        std::uint64_t best = ~std::uint64_t{0};
                        for (std::uint64_t s = 0; s < (std::uint64_t{1} << r); ++s)
                            best = std::min(best, answer_error(basis, targets, observed, t, s));
                        const std::uint64_t mask = masks.row_ptr(t)[0];
                        EXPECT_EQ(answer_error(basis, targets, observed, t, mask), best) << len << " " << r << " " << t;
                        total += best;
                        answers.push_back(mask);
                    }
                    EXPECT_EQ(count.error, total);
                    std::vector<std::uint8_t> exact(12, 1);
                    const StepHistory history{changed.data(), exact.data()};
                    const StepCount again = improve_rows_in(set->isa, redrawn, targets, &observed, masks,
                                                            kStepNodeBudget, {}, &history)
                                                .value();
                    std::uint64_t again_total = 0;
                    for (std::uint64_t t = 0; t < 12; ++t) {
                        std::uint64_t best = ~std::uint64_t{0};
                        for (std::uint64_t s = 0; s < (std::uint64_t{1} << r); ++s)
                            best = std::min(best, answer_error(redrawn, targets, observed, t, s));
                        EXPECT_EQ(answer_error(redrawn, targets, observed, t, masks.row_ptr(t)[0]), best)
                            << len << " " << r;
                        EXPECT_EQ(exact[t], 1);
                        again_total += best;
                        answers.push_back(masks.row_ptr(t)[0]);
                    }
                    EXPECT_EQ(again.error, again_total);
                    // With a budget of one node the held answer is kept unless the
                    // taken components alone beat it.
                    BitMatrix few = held.clone().value();
                    const StepCount capped = improve_rows_in(set->isa, basis, targets, &observed, few, 1).value();
                    std::uint64_t capped_total = 0;
                    for (std::uint64_t t = 0; t < 12; ++t) {
                        const std::uint64_t e = answer_error(basis, targets, observed, t, few.row_ptr(t)[0]);
                        EXPECT_LE(e, answer_error(basis, targets, observed, t, held.row_ptr(t)[0]));
                        capped_total += e;
                    }
                    EXPECT_EQ(capped.error, capped_total);
                    EXPECT_EQ(capped.exact + capped.inexact, 12u);
                }
                // Every set gives the same answers.
                const std::size_t per_set = answers.size() / boolmat::testing::runnable_kernel_sets().size();
                for (std::size_t i = per_set; i < answers.size(); ++i) EXPECT_EQ(answers[i], answers[i % per_set]);
            }
        }
    }
}

// Past 64 components the answers span words; a target's best is a subset of
// U, the components that cover one of its 1 cells. Here U is mostly the last
// twelve, dense enough that the search must weigh them.
TEST(ImproveRows, BestOverUsefulComponentsAtHighRank) {
    std::mt19937_64 gen(9);
    for (const std::uint64_t r : {30u, 70u, 100u}) {
        BitMatrix basis = random_matrix(r, 90, 0.001, gen);
        for (std::uint64_t j = r - 12; j < r; ++j)
            for (std::uint64_t k = 0; k < 90; ++k) basis.set_unchecked(j, k, gen() % 4 == 0);
        const BitMatrix observed = random_matrix(10, 90, 0.7, gen);
        BitMatrix targets = random_matrix(10, 90, 0.3, gen);
        for (std::uint64_t t = 0; t < 10; ++t)
            for (std::uint64_t k = 0; k < 90; ++k)
                if (!observed.get_unchecked(t, k)) targets.set_unchecked(t, k, false);
        const BitMatrix held = random_matrix(10, r, 0.2, gen);
        for (const boolmat::Kernels* set : boolmat::testing::runnable_kernel_sets()) {
            BitMatrix masks = held.clone().value();
            const StepCount count =
                improve_rows_in(set->isa, basis, targets, &observed, masks, std::uint64_t{1} << 22).value();
            EXPECT_EQ(count.exact, 10u);
            std::uint64_t total = 0;
            for (std::uint64_t t = 0; t < 10; ++t) {
                // The cells each useful component covers, then every subset of them.
                std::vector<std::bitset<90>> useful;
                std::bitset<90> ones, seen;
                for (std::uint64_t k = 0; k < 90; ++k) {
                    ones[k] = targets.get_unchecked(t, k);
                    seen[k] = observed.get_unchecked(t, k);
                }
                for (std::uint64_t j = 0; j < r; ++j) {
                    std::bitset<90> cells;
                    for (std::uint64_t k = 0; k < 90; ++k) cells[k] = basis.get_unchecked(j, k);
                    if ((cells & ones).any()) useful.push_back(cells);
                }
                ASSERT_LE(useful.size(), 16u);
                std::uint64_t best = ~std::uint64_t{0};
                for (std::uint64_t sub = 0; sub < (std::uint64_t{1} << useful.size()); ++sub) {
                    std::bitset<90> covered;
                    for (std::uint64_t u = 0; u < useful.size(); ++u)
                        if ((sub >> u) & 1) covered |= useful[u];
                    best = std::min(best, static_cast<std::uint64_t>(((covered ^ ones) & seen).count()));
                }
                const std::uint64_t got =
                    error_of(basis, targets, observed, t, [&](std::uint64_t j) { return masks.get_unchecked(t, j); });
                EXPECT_EQ(got, best) << r << " " << t;
                total += got;
                for (std::uint64_t j = r; j < masks.stride() * 64; ++j) EXPECT_EQ((masks.row_ptr(t)[j / 64] >> (j % 64)) & 1, 0u);
            }
            EXPECT_EQ(count.error, total);
        }
    }
}

struct Fit {
    BitMatrix x, observed;
};

Fit random_fit(std::uint64_t m, std::uint64_t n, double unobserved, std::mt19937_64& gen) {
    BitMatrix x = random_matrix(m, n, 0.35, gen);
    const BitMatrix observed = random_matrix(m, n, 1.0 - unobserved, gen);
    return {std::move(x), observed.clone().value()};
}

TEST(Factorize, ReportedErrorIsTheFitsAndNoThreadCountChangesIt) {
    std::mt19937_64 gen(11);
    for (const auto [unobserved, r] : {std::pair{0.0, 5u}, {0.25, 5u}, {0.25, 40u}}) {
        const Fit f = random_fit(40 + r, 30 + r, unobserved, gen);
        const BitMatrix* mask = unobserved > 0 ? &f.observed : nullptr;
        SearchOptions options;
        options.r = r;
        options.effort = 5;
        options.seed = 3;
        options.threads = 1;
        const SearchResult one = factorize(f.x, mask, options).value();
        const OwnedCells cells = own_cells(f.x, mask).value();
        EXPECT_EQ(fit_error(cells.view(), one.w, one.h).value(), one.error);
        EXPECT_EQ(one.account.starts, 5u);
        for (const std::uint64_t threads : {2u, 3u, 8u}) {
            options.threads = threads;
            const SearchResult many = factorize(f.x, mask, options).value();
            EXPECT_EQ(many.error, one.error);
            EXPECT_TRUE(fixtures::same_words(many.w, one.w));
            EXPECT_TRUE(fixtures::same_words(many.h, one.h));
            EXPECT_EQ(many.account.iterations, one.account.iterations);
        }
        // Never above a start it polished: the first two are the cover and
        // the association candidates.
        const Factors cover = cover_start(cells.view(), r).value();
        const Factors assoc = association_start(cells.view(), r, 0.7).value();
        EXPECT_LE(one.error, fit_error(cells.view(), cover.w, cover.h).value());
        EXPECT_LE(one.error, fit_error(cells.view(), assoc.w, assoc.h).value());
    }
}

// The least error of any W (m x r), H (r x n), over every pair.
std::uint64_t brute_force_best(const BitMatrix& x, std::uint64_t r) {
    const std::uint64_t m = x.rows(), n = x.cols();
    std::uint64_t best = ~std::uint64_t{0};
    for (std::uint64_t hw = 0; hw < (std::uint64_t{1} << (r * n)); ++hw) {
        // With H fixed, each row's best W row is independent of the others.
        std::uint64_t total = 0;
        for (std::uint64_t i = 0; i < m; ++i) {
            std::uint64_t row_best = ~std::uint64_t{0};
            for (std::uint64_t wi = 0; wi < (std::uint64_t{1} << r); ++wi) {
                std::uint64_t e = 0;
                for (std::uint64_t k = 0; k < n; ++k) {
                    bool covered = false;
                    for (std::uint64_t j = 0; j < r; ++j) covered |= ((wi >> j) & 1) && ((hw >> (j * n + k)) & 1);
                    e += covered != x.get_unchecked(i, k);
                }
                row_best = std::min(row_best, e);
            }
            total += row_best;
        }
        best = std::min(best, total);
    }
    return best;
}

TEST(Factorize, FindsTheOptimumOfSmallCases) {
    std::mt19937_64 gen(5);
    for (int c = 0; c < 4; ++c) {
        const BitMatrix x = random_matrix(7, 6, 0.5, gen);
        SearchOptions options;
        options.r = 2;
        EXPECT_EQ(factorize(x, nullptr, options).value().error, brute_force_best(x, 2)) << c;
    }
}

TEST(Factorize, RefusesBadArguments) {
    const BitMatrix x = BitMatrix::zeros(4, 5).value();
    SearchOptions options;
    options.r = 0;
    EXPECT_FALSE(factorize(x, nullptr, options).has_value());
    options.r = kMaxSearchRank + 1;
    EXPECT_FALSE(factorize(x, nullptr, options).has_value());
    options.r = 2;
    options.effort = 0;
    EXPECT_FALSE(factorize(x, nullptr, options).has_value());
    options.effort = 1;
    const BitMatrix wrong = BitMatrix::ones(5, 4).value();
    EXPECT_FALSE(factorize(x, &wrong, options).has_value());
    const SearchResult zero = factorize(x, nullptr, options).value();
    EXPECT_EQ(zero.error, 0u);
    EXPECT_EQ(zero.w.rows(), 4u);
    EXPECT_EQ(zero.h.cols(), 5u);
}

}  // namespace
}  // namespace bmf_core
