#include "bmf_core/boolls.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "bmf_core/greedy.hpp"
#include "bmf_core/solve.hpp"
#include "boolmat/transpose.hpp"
#include "solver_fixtures.hpp"

namespace bmf_core {
namespace {

using fixtures::bits_of;
using fixtures::rows_of;

constexpr Method kAllMethods[] = {Method::Naive, Method::Zeta, Method::Greedy, Method::GreedyLs};

TEST(BoolLsBuild, PatternsCountsAndColumns) {
    const BoolLs s = BoolLs::build(rows_of({"101", "101", "101", "101", "101"})).value();
    EXPECT_EQ(s.m(), 5u);
    EXPECT_EQ(s.r(), 3u);
    ASSERT_EQ(s.pattern_counts().size(), 8u);
    for (std::uint64_t p = 0; p < 8; ++p) EXPECT_EQ(s.pattern_counts()[p], p == 5 ? 5u : 0u);
    for (std::uint64_t pat : s.row_patterns()) EXPECT_EQ(pat, 5u);
    ASSERT_EQ(s.columns().size(), 3u);
    EXPECT_EQ(s.columns()[0].words()[0], 0x1Fu);
    EXPECT_EQ(s.columns()[1].words()[0], 0u);
    EXPECT_EQ(s.columns()[2].words()[0], 0x1Fu);
}

TEST(BoolLsBuild, SingleZeroEntry) {
    const BoolLs s = BoolLs::build(rows_of({"0"})).value();
    EXPECT_EQ(s.row_patterns()[0], 0u);
    ASSERT_EQ(s.pattern_counts().size(), 2u);
    EXPECT_EQ(s.pattern_counts()[0], 1u);
    EXPECT_EQ(s.pattern_counts()[1], 0u);
    EXPECT_EQ(s.columns()[0].len(), 1u);
    EXPECT_EQ(s.columns()[0].words()[0], 0u);
}

TEST(BoolLsBuild, LongColumnsKeepTheirTailClear) {
    std::mt19937_64 gen(3);
    BitMatrix w = BitMatrix::ones(130, 4).value();
    const BoolLs s = BoolLs::build(w).value();
    for (const BitVec& c : s.columns()) {
        ASSERT_EQ(c.words().size(), 3u);
        EXPECT_EQ(c.words()[2], 0x3u);
        EXPECT_EQ(c.count_ones(), 130u);
    }
    EXPECT_EQ(s.pattern_counts()[15], 130u);
}

TEST(BoolLsBuild, RankLimits) {
    EXPECT_TRUE(BoolLs::build(BitMatrix::zeros(1, 26).value()).has_value());
    auto too_big = BoolLs::build(BitMatrix::zeros(1, 27).value());
    ASSERT_FALSE(too_big.has_value());
    EXPECT_EQ(too_big.error().kind, boolmat::ErrorKind::Panic);
    EXPECT_EQ(too_big.error().message(), "Sécurité pour ne pas surcharger la mémoire");
    EXPECT_EQ(BoolLs::build(BitMatrix::zeros(1, 64).value()).error().message(),
              "Sécurité pour ne pas surcharger la mémoire");
    EXPECT_EQ(BoolLs::build(BitMatrix::zeros(1, 65).value()).error().message(),
              "Interdit d'avoir un rang supérieur à la taille d'un mot");
}

TEST(BoolLsBuild, LaterChangesToWDoNotReachTheSolver) {
    BitMatrix w = rows_of({"10", "01", "11"});
    const BoolLs s = BoolLs::build(w).value();
    const ColumnAnswer before = solve(s, bits_of("101"), Method::Zeta, 0).value();
    ASSERT_TRUE(w.set(0, 1, true).has_value());
    w = BitMatrix::zeros(1, 1).value();
    EXPECT_EQ(solve(s, bits_of("101"), Method::Zeta, 0).value(), before);
}

TEST(BoolLsBuild, RecycledTableGivesTheSameSolver) {
    std::mt19937_64 gen(11);
    const BitMatrix w1 = fixtures::random_matrix(300, 9, 0.3, gen);
    const BitMatrix w2 = fixtures::random_matrix(200, 9, 0.5, gen);
    const BitMatrix w3 = fixtures::random_matrix(100, 5, 0.5, gen);
    BoolLs s = BoolLs::build(w1).value();
    s = BoolLs::build(w2, std::move(s)).value();  // same size: table reused and cleared
    const BoolLs fresh = BoolLs::build(w2).value();
    EXPECT_TRUE(std::ranges::equal(s.pattern_counts(), fresh.pattern_counts()));
    EXPECT_TRUE(std::ranges::equal(s.row_patterns(), fresh.row_patterns()));
    s = BoolLs::build(w3, std::move(s)).value();  // other size
    const BoolLs fresh3 = BoolLs::build(w3).value();
    EXPECT_TRUE(std::ranges::equal(s.pattern_counts(), fresh3.pattern_counts()));
    EXPECT_EQ(s.m(), 100u);
    EXPECT_EQ(s.r(), 5u);
}

// A counter that wraps hands its overflow to the carry list, so counts stay
// exact for a W of any height. Narrow counters reach the wrap here.
TEST(PatternCounts, WrapsAreCarried) {
    std::vector<std::uint64_t> patterns;
    for (int i = 0; i < 600; ++i) patterns.push_back(3);
    for (int i = 0; i < 256; ++i) patterns.push_back(1);
    for (int i = 0; i < 255; ++i) patterns.push_back(0);
    std::uint8_t counts[4] = {};
    std::vector<CountCarry> carries;
    count_patterns<std::uint8_t>(patterns, counts, carries);
    auto total = [&](std::uint64_t p) {
        std::uint64_t c = counts[p];
        for (const CountCarry& k : carries) c += k.pattern == p ? k.high << 8 : 0;
        return c;
    };
    EXPECT_EQ(total(3), 600u);
    EXPECT_EQ(total(1), 256u);
    EXPECT_EQ(total(0), 255u);
    EXPECT_EQ(total(2), 0u);
    EXPECT_EQ(carries.size(), 2u);
}

// W of rows 10, 01, 11: row_patterns [1, 2, 3], pattern_counts [0, 1, 1, 1].
struct Example {
    const char* x;
    Method method;
    ColumnAnswer want;
};

class SmallExample : public ::testing::TestWithParam<Example> {};

TEST_P(SmallExample, Answer) {
    const BoolLs s = BoolLs::build(rows_of({"10", "01", "11"})).value();
    for (std::uint64_t seed : {0ull, 1ull, 12345ull}) {
        EXPECT_EQ(solve(s, bits_of(GetParam().x), GetParam().method, seed).value(), GetParam().want)
            << GetParam().x << " method " << method_name(GetParam().method);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, SmallExample,
    ::testing::Values(Example{"101", Method::Naive, {1, 0}}, Example{"101", Method::Zeta, {1, 0}},
                      Example{"101", Method::Greedy, {1, 0}}, Example{"101", Method::GreedyLs, {1, 0}},
                      Example{"001", Method::Naive, {0, 1}}, Example{"001", Method::Zeta, {0, 1}},
                      Example{"001", Method::Greedy, {0, 1}}, Example{"111", Method::Naive, {3, 0}},
                      Example{"111", Method::Zeta, {3, 0}}, Example{"111", Method::Greedy, {3, 0}},
                      Example{"000", Method::Naive, {0, 0}}, Example{"000", Method::Zeta, {0, 0}},
                      Example{"000", Method::Greedy, {0, 0}}, Example{"000", Method::GreedyLs, {0, 0}}));

TEST(BoolLsSolve, WrongLengthIsAnInternalFault) {
    const BoolLs s = BoolLs::build(rows_of({"10", "01", "11"})).value();
    auto r = solve(s, bits_of("1010"), Method::Zeta, 0);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, boolmat::ErrorKind::Panic);
    EXPECT_EQ(r.error().message(), "x a 4 bits, W a 3 lignes");
    auto all = solve_all(s, BitMatrix::zeros(4, 2).value(), Method::Zeta, 0);
    ASSERT_FALSE(all.has_value());
    EXPECT_EQ(all.error().message(), "X a 4 lignes, W en a 3");
}

TEST(BoolLsSolveMasked, WrongMaskShapeIsAnInternalFault) {
    const BoolLs s = BoolLs::build(rows_of({"10", "01", "11"})).value();
    auto one = solve_masked(s, bits_of("101"), bits_of("11"), Method::Zeta, 0);
    ASSERT_FALSE(one.has_value());
    EXPECT_EQ(one.error().kind, boolmat::ErrorKind::Panic);
    EXPECT_EQ(one.error().message(), "mask a 2 bits, x en a 3");
    auto all = solve_all_masked(s, BitMatrix::zeros(3, 2).value(), BitMatrix::zeros(3, 1).value(), Method::Zeta, 0);
    ASSERT_FALSE(all.has_value());
    EXPECT_EQ(all.error().message(), "mask est 3 x 1, x est 3 x 2");
}

// Under a mask the exact methods give the search over the observed rows,
// the others the true observed error of the mask they chose, a target with
// nothing observed the empty mask, and an all-ones mask today's answer.
TEST(BoolLsSolveMasked, AnswersCountTheObservedRows) {
    std::mt19937_64 gen(41);
    for (std::uint64_t r : {1u, 3u, 6u, 9u}) {
        for (double density : {0.05, 0.3, 0.6}) {
            const BitMatrix w = fixtures::random_matrix(70, r, density, gen);
            const BoolLs s = BoolLs::build(w).value();
            for (double unobserved : {0.0, 0.2, 0.6, 1.0}) {
                const BitVec x = fixtures::random_bits(70, 0.4, gen);
                const BitVec observed = fixtures::random_bits(70, 1 - unobserved, gen);
                const auto [want_h, want_e] = fixtures::best_over_observed(w, x, observed);
                const BitVec all = fixtures::random_bits(70, 1.0, gen);
                for (Method method : kAllMethods) {
                    const ColumnAnswer got = solve_masked(s, x, observed, method, 3).value();
                    EXPECT_EQ(solve_masked(s, x, all, method, 3).value(), solve(s, x, method, 3).value());
                    EXPECT_EQ(got.error, fixtures::observed_error(w, x, observed, got.h));
                    if (method == Method::Naive || method == Method::Zeta || unobserved == 1.0) {
                        EXPECT_EQ(got, (ColumnAnswer{want_h, want_e}))
                            << "r " << r << " density " << density << " unobserved " << unobserved << " "
                            << method_name(method);
                    }
                }
            }
        }
    }
}

TEST(BoolLsSolveAll, ExampleMatrix) {
    const BoolLs s = BoolLs::build(rows_of({"10", "01", "11"})).value();
    // Columns 101, 001, 111.
    const BitMatrix x = rows_of({"101", "001", "111"});
    for (Method method : {Method::Naive, Method::Zeta}) {
        const SolveAllResult r = solve_all(s, x, method, 0).value();
        EXPECT_TRUE(fixtures::same_words(r.h, rows_of({"101", "001"})));
        EXPECT_EQ(r.error, 1u);
    }
}

// Every column of H and the total match the one-column solves, with
// repeated and empty columns among the targets; with a mask as well, under
// which a repeated column with another mask is another target.
TEST(BoolLsSolveAll, ColumnsMatchSingleSolves) {
    std::mt19937_64 gen(5);
    auto column = [](const BitMatrix& m, std::uint64_t k) {
        BitVec col = BitVec::zeros(m.rows()).value();
        for (std::uint64_t i = 0; i < m.rows(); ++i) EXPECT_TRUE(col.set(i, m.get_unchecked(i, k)).has_value());
        return col;
    };
    for (std::uint64_t r : {1u, 3u, 7u, 10u}) {
        const BitMatrix w = fixtures::random_matrix(150, r, 0.3, gen);
        BitMatrix x = fixtures::random_matrix(150, 40, 0.4, gen);
        BitMatrix observed = fixtures::random_matrix(150, 40, 0.7, gen);
        for (std::uint64_t i = 0; i < 150; ++i) {
            x.set_unchecked(i, 7, x.get_unchecked(i, 3));    // a repeat
            x.set_unchecked(i, 20, x.get_unchecked(i, 3));   // another
            x.set_unchecked(i, 11, false);                    // an empty column
            observed.set_unchecked(i, 7, observed.get_unchecked(i, 3));  // under the same mask
            observed.set_unchecked(i, 30, false);                        // nothing observed
        }
        const BoolLs s = BoolLs::build(w).value();
        for (const bool masked : {false, true}) {
            for (Method method : kAllMethods) {
                const SolveAllResult all = masked ? solve_all_masked(s, x, observed, method, 9).value()
                                                  : solve_all(s, x, method, 9).value();
                ASSERT_EQ(all.h.rows(), r);
                ASSERT_EQ(all.h.cols(), 40u);
                std::uint64_t total = 0;
                for (std::uint64_t k = 0; k < 40; ++k) {
                    const ColumnAnswer one = masked ? solve_masked(s, column(x, k), column(observed, k), method, 9).value()
                                                    : solve(s, column(x, k), method, 9).value();
                    std::uint64_t h = 0;
                    for (std::uint64_t j = 0; j < r; ++j) h |= std::uint64_t{all.h.get_unchecked(j, k)} << j;
                    EXPECT_EQ(h, one.h) << "column " << k << " method " << method_name(method) << " masked " << masked;
                    total += one.error;
                }
                EXPECT_EQ(all.error, total) << method_name(method) << " masked " << masked;
            }
        }
    }
}

TEST(BoolLsSolve, SeedOnlyMattersForGreedyLs) {
    std::mt19937_64 gen(8);
    const BitMatrix w = fixtures::random_matrix(80, 8, 0.3, gen);
    const BoolLs s = BoolLs::build(w).value();
    for (int trial = 0; trial < 20; ++trial) {
        const BitVec x = fixtures::random_bits(80, 0.5, gen);
        for (Method method : {Method::Naive, Method::Zeta, Method::Greedy}) {
            EXPECT_EQ(solve(s, x, method, 0).value(), solve(s, x, method, 999).value());
        }
    }
}

// The rows of a target matrix solved in batches give each row its own
// answer, at every rank the batches serve and just above; under a mask as
// well, where a repeated row counts as the same target only with the same
// mask (its unobserved bits aside).
TEST(BoolLsSolveRows, ZetaRowsMatchSingleSolves) {
    std::mt19937_64 gen(12);
    SolveWork work;
    auto row = [](const BitMatrix& m, std::uint64_t k) {
        return BitVec::from_words(std::span<const Word>(m.row_ptr(k), m.stride()), m.cols()).value();
    };
    for (std::uint64_t r : {2u, 9u, 15u, 16u}) {
        const BoolLs s = BoolLs::build(fixtures::random_matrix(120, r, 0.25, gen)).value();
        for (std::uint64_t n : {3u, 4u, 37u}) {
            BitMatrix targets = fixtures::random_matrix(n, 120, 0.45, gen);
            BitMatrix observed = fixtures::random_matrix(n, 120, 0.7, gen);
            for (std::uint64_t i = 0; i < 120; ++i) {
                // Row 1 repeats row 0 under another mask, row 2 under the
                // same one with other unobserved bits.
                targets.set_unchecked(1, i, targets.get_unchecked(0, i));
                targets.set_unchecked(2, i, observed.get_unchecked(0, i) ? targets.get_unchecked(0, i) : i % 2 == 0);
                observed.set_unchecked(2, i, observed.get_unchecked(0, i));
            }
            const BitMatrix columns = boolmat::transpose(targets).value();
            const BitMatrix observed_columns = boolmat::transpose(observed).value();
            for (const bool masked : {false, true}) {
                BitMatrix masks = BitMatrix::zeros(n, r).value();
                const std::uint64_t total =
                    masked ? solve_rows_masked(s, targets, observed, Method::Zeta, 0, work, masks).value()
                           : solve_rows(s, targets, Method::Zeta, 0, work, masks).value();
                // The same targets handed over as columns as well.
                BitMatrix again = BitMatrix::zeros(n, r).value();
                EXPECT_EQ(masked ? solve_rows_masked(s, targets, observed, Method::Zeta, 0, work, again, &columns,
                                                     &observed_columns)
                                       .value()
                                 : solve_rows(s, targets, Method::Zeta, 0, work, again, &columns).value(),
                          total);
                EXPECT_TRUE(fixtures::same_words(again, masks));
                std::uint64_t want_total = 0;
                for (std::uint64_t k = 0; k < n; ++k) {
                    const ColumnAnswer want = masked ? solve_masked(s, row(targets, k), row(observed, k), Method::Naive, 0).value()
                                                     : solve(s, row(targets, k), Method::Naive, 0).value();
                    EXPECT_EQ(masks.row_ptr(k)[0], want.h) << "r " << r << " n " << n << " row " << k << " masked " << masked;
                    want_total += want.error;
                }
                EXPECT_EQ(total, want_total) << "r " << r << " n " << n << " masked " << masked;
            }
        }
    }
}

// The record of repeated targets, under a mask: a row equal to an earlier
// one on its observed cells, under the same mask, is that row; under
// another mask it is a target of its own.
TEST(SolveWorkRecord, RepeatsUnderMasks) {
    const BitMatrix targets = rows_of({"1100", "1100", "1101", "1101", "1100"});
    const BitMatrix observed = rows_of({"1110", "0111", "1110", "1111", "1110"});
    SolveWork work;
    ASSERT_TRUE(work.reset_record(5).has_value());
    EXPECT_EQ(work.find_or_record(targets, observed, 0), 0u);
    EXPECT_EQ(work.find_or_record(targets, observed, 1), 1u);  // another mask
    EXPECT_EQ(work.find_or_record(targets, observed, 2), 0u);  // differs where unobserved
    EXPECT_EQ(work.find_or_record(targets, observed, 3), 3u);
    EXPECT_EQ(work.find_or_record(targets, observed, 4), 0u);
}

}  // namespace
}  // namespace bmf_core
