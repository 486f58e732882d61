#include "bmf_core/zeta/zeta.hpp"

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "bmf_core/greedy.hpp"
#include "bmf_core/naive.hpp"
#include "bmf_core/solve.hpp"
#include "bmf_core/testing.hpp"
#include "bmf_core/zeta/kernels.hpp"
#include "bmf_core/zeta/sparse.hpp"
#include "boolmat/target.hpp"
#include "boolmat_testing.hpp"
#include "solver_fixtures.hpp"

namespace bmf_core {
namespace {

constexpr LaneWidth kLanes[] = {LaneWidth::Bits16, LaneWidth::Bits32, LaneWidth::Bits64};
// The full transform alone, the sparse way for every target, and the cost
// model's choice.
constexpr SparseMode kSparseModes[] = {SparseMode::Never, SparseMode::Always, SparseMode::Auto};

// Prepares work for targets solved one at a time (many: several of them,
// so with a base where the lanes allow), whatever the plan would choose for
// batches, with the lane width and the sparse way forced.
Status prepare_one_at_a_time(ZetaWork& work, const BoolLs& s, bool many, std::optional<LaneWidth> lanes = {},
                             SparseMode sparse = SparseMode::Auto) {
    return testing::prepare_zeta(work, s, many ? 2 : 1, {.batch = false, .lanes = lanes, .sparse = sparse});
}

// Runs `body` once for each kernel set this processor runs, with that set
// active: the plan, and so the kernels, follow the active set.
template <class F>
void for_each_set(F&& body) {
    for (const boolmat::Kernels* k : boolmat::testing::runnable_kernel_sets()) {
        boolmat::testing::UsingKernels guard(*k);
        SCOPED_TRACE("kernel set " + boolmat::testing::set_name(*k));
        body();
    }
}

// A target under a mask as the kernels take it: its observed 1 bits, and
// the rows that do not count.
struct MaskedTarget {
    BitVec ones;
    BitVec unobserved;
};

MaskedTarget split(const BitVec& x, const BitVec& observed) {
    MaskedTarget t{BitVec::zeros(x.len()).value(), BitVec::zeros(x.len()).value()};
    for (std::uint64_t i = 0; i < x.len(); ++i) {
        EXPECT_TRUE(t.ones.set(i, x.get(i).value() && observed.get(i).value()).has_value());
        EXPECT_TRUE(t.unobserved.set(i, !observed.get(i).value()).has_value());
    }
    return t;
}

// The share of unobserved rows of target k of a table: none, some, most,
// all, and an all-ones mask given as such.
constexpr double kUnobserved[] = {0.0, 0.1, 0.3, 0.6, 1.0};

// Solves the targets with every runnable set, lane width, base mode and
// sparse mode, `passes` times over (a target taken out of the base must
// leave it as it was), and expects the given answers. With `unobserved`,
// each target is solved under its mask, the odd ones after the unmasked
// solve of the one before (so that the base goes between all the kinds).
void expect_every_work(const BoolLs& s, const std::vector<std::span<const Word>>& xs,
                       const std::vector<ColumnAnswer>& want, int passes, const std::string& what,
                       const std::vector<std::span<const Word>>& unobserved = {}) {
    for_each_set([&] {
        for (LaneWidth lanes : kLanes) {
            for (bool many : {false, true}) {
                for (SparseMode sparse : kSparseModes) {
                    ZetaWork work;
                    ASSERT_TRUE(prepare_one_at_a_time(work, s, many, lanes, sparse).has_value());
                    for (int pass = 0; pass < passes; ++pass) {
                        for (std::size_t k = 0; k < xs.size(); ++k) {
                            if (!unobserved.empty() && k % 2 == 1) (void)work.solve(xs[k - 1]);
                            const ColumnAnswer got =
                                unobserved.empty() ? work.solve(xs[k]) : work.solve_masked(xs[k], unobserved[k]);
                            EXPECT_EQ(got, want[k])
                                << what << " lanes " << static_cast<int>(lanes) << " many " << many << " sparse "
                                << static_cast<int>(sparse) << " target " << k;
                        }
                    }
                }
            }
        }
    });
}

// W whose columns are a mix of random, empty and repeated ones: many masks
// then share an error, so the tie rule is exercised, not just the minimum.
BitMatrix tie_prone(std::uint64_t m, std::uint64_t r, std::mt19937_64& gen) {
    BitMatrix w = fixtures::random_matrix(m, r, 0.15, gen);
    for (std::uint64_t j = 0; j < r; j += 3) {
        for (std::uint64_t i = 0; i < m; ++i) w.set_unchecked(i, j, j % 2 == 0 ? false : w.get_unchecked(i, 1));
    }
    return w;
}

// Sparse data: each row of W takes one or two of a few planted columns or
// none, and a target is the rows of a few of those columns with some rows
// dropped and a little noise, so it touches few columns of W and many
// masks share its error.
BitMatrix planted_sparse(std::uint64_t m, std::uint64_t r, std::mt19937_64& gen) {
    BitMatrix w = BitMatrix::zeros(m, r).value();
    for (std::uint64_t i = 0; i < m; ++i) {
        const std::uint64_t draws = gen() % 3;
        for (std::uint64_t k = 0; k < draws; ++k) w.set_unchecked(i, gen() % r, true);
    }
    return w;
}

BitVec sparse_target(const BitMatrix& w, std::uint64_t columns, double noise, std::mt19937_64& gen) {
    std::uint64_t h = 0;
    for (std::uint64_t k = 0; k < columns; ++k) h |= std::uint64_t{1} << (gen() % w.cols());
    BitVec x = fixtures::random_bits(w.rows(), noise, gen);
    for (std::uint64_t i = 0; i < w.rows(); ++i) {
        if ((w.row_ptr(i)[0] & h) != 0 && gen() % 4 != 0) EXPECT_TRUE(x.set(i, true).has_value());
    }
    return x;
}

// The kernel, in every lane width, both ways of holding the counts and
// every sparse mode, returns exactly the pair of the scalar algorithm: on
// random W with sparse, dense and mixed targets, on W prone to ties, and on
// sparse planted data; the sparse reference agrees too.
class ZetaMatchesScalar : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(ZetaMatchesScalar, RandomTieProneAndSparseTargets) {
    const std::uint64_t r = GetParam();
    std::mt19937_64 gen(1000 + r);
    // Above rank 20 only the sparse data, once: the full transforms of
    // every set, lane width and mode would take most of the suite's time.
    for (int shape = r > 20 ? 2 : 0; shape < 3; ++shape) {
        const std::uint64_t m = shape == 0 ? 70 + 13 * r : shape == 1 ? 1 + r % 5 : 150 + 7 * r;
        const BitMatrix w = shape == 0   ? fixtures::random_matrix(m, r, 0.2, gen)
                            : shape == 1 ? tie_prone(m + 40, r, gen)
                                         : planted_sparse(m, r, gen);
        const BoolLs s = BoolLs::build(w).value();
        std::vector<BitVec> targets;
        for (double d : {0.0, 0.02, 0.1, 0.5, 0.9}) targets.push_back(fixtures::random_bits(s.m(), d, gen));
        for (std::uint64_t columns : {1u, 2u, 4u}) targets.push_back(sparse_target(w, columns, 0.01 * (columns - 1), gen));
        std::vector<std::span<const Word>> xs;
        std::vector<ColumnAnswer> want;
        for (const BitVec& x : targets) {
            xs.push_back(x.words());
            want.push_back(solve_zeta_scalar(s, x.words()));
            EXPECT_EQ(solve_zeta_sparse_scalar(s, x.words()), want.back()) << "r " << r << " shape " << shape;
        }
        const std::string what = "r " + std::to_string(r) + " shape " + std::to_string(shape);
        expect_every_work(s, xs, want, r > 20 ? 1 : 2, what);

        // The same targets under masks: the scalar algorithm with the
        // unobserved rows is the search over the observed rows.
        std::vector<MaskedTarget> masked;
        for (std::size_t k = 0; k < targets.size(); ++k) {
            const BitVec observed = fixtures::random_bits(s.m(), 1 - kUnobserved[k % 5], gen);
            masked.push_back(split(targets[k], observed));
            if (r <= 8) {
                const auto [h, e] = fixtures::best_over_observed(w, targets[k], observed);
                EXPECT_EQ(solve_zeta_scalar(s, masked.back().ones.words(), masked.back().unobserved.words()),
                          (ColumnAnswer{h, e}))
                    << what << " target " << k;
            }
        }
        std::vector<std::span<const Word>> ones, unobserved;
        std::vector<ColumnAnswer> want_masked;
        for (const MaskedTarget& t : masked) {
            ones.push_back(t.ones.words());
            unobserved.push_back(t.unobserved.words());
            want_masked.push_back(solve_zeta_scalar(s, t.ones.words(), t.unobserved.words()));
        }
        expect_every_work(s, ones, want_masked, 1, what + " masked", unobserved);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryRankTo22, ZetaMatchesScalar, ::testing::Range<std::uint64_t>(1, 23));

// The generic extraction and deposit are inverse over the mask.
TEST(ZetaSparse, ExtractAndDepositBits) {
    std::mt19937_64 gen(5);
    for (int k = 0; k < 2000; ++k) {
        const std::uint64_t mask = gen() & gen() & gen(), x = gen();
        const std::uint64_t low = mask == ~std::uint64_t{0} ? mask : (std::uint64_t{1} << std::popcount(mask)) - 1;
        EXPECT_EQ(deposit_bits(extract_bits(x, mask), mask), x & mask);
        EXPECT_EQ(extract_bits(deposit_bits(x, mask), mask), x & low);
    }
    EXPECT_EQ(extract_bits(0b101100, 0b111010), 0b1010u);
    EXPECT_EQ(deposit_bits(0b0110, 0b111010), 0b011000u);
}

// The sparse way leaves out of U the columns in no pattern with more set
// rows than clear ones. Here every pattern has two or four rows, and a
// target sets none, half (a column that gains nothing: a tie) or one more
// than half (a gain) of each pattern's rows; some patterns hold two
// columns, so a column can be kept by one pattern and not by another. The
// answers, ties included, are those of the scalar algorithm.
TEST(ZetaSparse, ColumnsOfNoMajorityPattern) {
    std::mt19937_64 gen(77);
    for (std::uint64_t r : {5u, 9u, 13u}) {
        std::vector<std::uint64_t> patterns;
        for (std::uint64_t j = 0; j < r; ++j) patterns.push_back(std::uint64_t{1} << j);
        for (std::uint64_t j = 0; j + 1 < r; j += 2) patterns.push_back(std::uint64_t{3} << j);
        std::vector<std::uint64_t> rows;
        for (const std::uint64_t p : patterns) rows.insert(rows.end(), gen() % 2 == 0 ? 2 : 4, p);
        rows.insert(rows.end(), 3, 0);
        BitMatrix w = BitMatrix::zeros(rows.size(), r).value();
        for (std::size_t i = 0; i < rows.size(); ++i) w.row_ptr(i)[0] = rows[i];
        const BoolLs s = BoolLs::build(w).value();
        std::vector<BitVec> targets;
        for (int t = 0; t < 12; ++t) {
            BitVec x = BitVec::zeros(rows.size()).value();
            for (std::size_t i = 0; i < rows.size();) {
                std::size_t n = 1;
                while (i + n < rows.size() && rows[i + n] == rows[i]) ++n;
                const std::uint64_t pick = gen() % 4;
                const std::size_t set = pick == 0 ? 0 : pick == 3 ? n / 2 + 1 : n / 2;
                for (std::size_t k = 0; k < set; ++k) EXPECT_TRUE(x.set(i + k, true).has_value());
                i += n;
            }
            targets.push_back(std::move(x));
        }
        std::vector<std::span<const Word>> xs;
        std::vector<ColumnAnswer> want;
        for (const BitVec& x : targets) {
            xs.push_back(x.words());
            want.push_back(solve_zeta_scalar(s, x.words()));
        }
        expect_every_work(s, xs, want, 2, "r " + std::to_string(r));
    }
}

// A sparse table of several chunks is made a chunk at a time unless its
// entries would be added to more chunks than the table has vectors: here
// thousands of distinct patterns lie in the lowest chunk (their top columns
// rare), so every lane width goes the whole-table way with the entries
// already listed, while the dense rows' targets of ZetaMatchesScalar above
// rank 16 go chunk by chunk. Both give the scalar pair.
TEST(ZetaSparse, ManyEntriesBelowTheTopBits) {
    std::mt19937_64 gen(17);
    constexpr std::uint64_t m = 6000, r = 17;
    BitMatrix w = fixtures::random_matrix(m, r, 0.5, gen);
    for (std::uint64_t i = 0; i < m; ++i) {
        for (std::uint64_t j = 13; j < r; ++j) w.set_unchecked(i, j, gen() % 20 == 0);
    }
    const BoolLs s = BoolLs::build(w).value();
    std::vector<BitVec> targets;
    for (double d : {0.5, 0.2}) targets.push_back(fixtures::random_bits(m, d, gen));
    std::vector<std::span<const Word>> xs;
    std::vector<ColumnAnswer> want;
    for (const BitVec& x : targets) {
        xs.push_back(x.words());
        want.push_back(solve_zeta_scalar(s, x.words()));
        EXPECT_EQ(solve_zeta_sparse_scalar(s, x.words()), want.back());
    }
    expect_every_work(s, xs, want, 1, "many entries");
}

// On sparse data the cost model keeps the sparse way for targets of few
// columns only; a single target never pays for finding W's distinct
// patterns when W has many rows.
TEST(ZetaSparse, CostModelPlan) {
    std::mt19937_64 gen(8);
    const BoolLs s = BoolLs::build(planted_sparse(2000, 20, gen)).value();
    for_each_set([&] {
        ZetaWork work;
        ASSERT_TRUE(work.prepare(s, 100).has_value());
        const SparsePlan& sparse = work.plan().sparse;
        EXPECT_TRUE(sparse.on);
        EXPECT_GT(sparse.max_bits, 8u);
        EXPECT_LT(sparse.max_bits, 20u);
        EXPECT_LE(sparse.distinct, 211u);  // none, one or two of 20 columns
        EXPECT_GT(sparse_cost(work.plan(), 20, 1000), sparse.full_cost);
        EXPECT_LT(sparse_cost(work.plan(), 6, 100), sparse.full_cost / 100);
        ASSERT_TRUE(testing::prepare_zeta(work, s, 100, {.sparse = SparseMode::Never}).has_value());
        EXPECT_FALSE(work.plan().sparse.on);
    });
    const BoolLs tall = BoolLs::build(planted_sparse(200000, 16, gen)).value();
    ZetaWork work;
    ASSERT_TRUE(work.prepare(tall, 1).has_value());
    EXPECT_FALSE(work.plan().sparse.on);
}

// The base carries each target's rows into the next solve, and only the
// rows where consecutive targets differ are moved; heavy patterns come and
// go with the density of the target, and dense targets of small tables go
// through a copy of the base instead; from r = 19 (18 in 32-bit lanes) the
// rows are spread over the supersets of their top bits. A long mixed
// sequence, repeated targets included, must give the scalar answer at every
// step.
TEST(ZetaKernel, LongSequencesOfTargetsThroughOneBase) {
    for_each_set([] {
        std::mt19937_64 gen(77);
        for (const std::uint64_t r : {6, 10, 13, 16, 19}) {
            // Sparse rows of W, so that the sparse targets below go the
            // sparse way between full ones, which then fill the base late.
            const BoolLs s = BoolLs::build(r % 2 == 0 ? fixtures::random_matrix(300, r, 0.2, gen)
                                                      : planted_sparse(300, r, gen))
                                 .value();
            for (LaneWidth lanes : {LaneWidth::Bits16, LaneWidth::Bits32}) {
                ZetaWork work;
                ASSERT_TRUE(prepare_one_at_a_time(work, s, true, lanes).has_value());
                BitVec last = fixtures::random_bits(s.m(), 0.5, gen);
                for (int step = 0; step < 60; ++step) {
                    const double d = std::array{0.0, 0.02, 0.3, 0.5, 0.7, 0.98, 1.0}[gen() % 7];
                    // Every fifth target repeats the one before.
                    BitVec x = step % 5 == 4 ? std::move(last) : fixtures::random_bits(s.m(), d, gen);
                    ASSERT_EQ(work.solve(x.words()), solve_zeta_scalar(s, x.words()))
                        << "r " << r << " lanes " << static_cast<int>(lanes) << " step " << step;
                    // Every third one is solved under a mask as well, in
                    // between, with the base holding the target before;
                    // every sixth under two masks in turn, the base then
                    // holding the unobserved rows of the first.
                    for (int k = 0; k < (step % 6 == 0 ? 2 : step % 3 == 0 ? 1 : 0); ++k) {
                        const MaskedTarget t = split(x, fixtures::random_bits(s.m(), k == 0 ? 0.8 : 0.6, gen));
                        ASSERT_EQ(work.solve_masked(t.ones.words(), t.unobserved.words()),
                                  solve_zeta_scalar(s, t.ones.words(), t.unobserved.words()))
                            << "masked r " << r << " lanes " << static_cast<int>(lanes) << " step " << step
                            << " mask " << k;
                    }
                    last = std::move(x);
                }
            }
        }
    });
}

TEST(ZetaKernel, LargestRankOnce) {
    std::mt19937_64 gen(26);
    const BoolLs s = BoolLs::build(fixtures::random_matrix(3000, 26, 0.1, gen)).value();
    const BitVec x = fixtures::random_bits(3000, 0.4, gen);
    const ColumnAnswer want = solve_zeta_scalar(s, x.words());
    // Sparse data at this rank: a target of few columns goes the sparse
    // way, and gives the full transform's pair.
    const BitMatrix planted = planted_sparse(3000, 26, gen);
    const BoolLs sparse = BoolLs::build(planted).value();
    const BitVec few = sparse_target(planted, 3, 0.001, gen);
    const ColumnAnswer want_few = solve_zeta_sparse_scalar(sparse, few.words());
    for_each_set([&] {
        ZetaWork work;
        ASSERT_TRUE(work.prepare(s, 2).has_value());
        EXPECT_EQ(work.solve(x.words()), want);
        for (SparseMode mode : kSparseModes) {
            ASSERT_TRUE(testing::prepare_zeta(work, sparse, 2, {.sparse = mode}).has_value());
            EXPECT_EQ(work.solve(few.words()), want_few) << static_cast<int>(mode);
        }
    });
}

// The example of W rows 10, 01, 11 with x = 001: masks 0, 1, 2 tie at
// error 1, so the smallest one wins.
TEST(ZetaKernel, TieGoesToTheSmallestMask) {
    const BoolLs s = BoolLs::build(fixtures::rows_of({"10", "01", "11"})).value();
    const BitVec x = fixtures::bits_of("001");
    EXPECT_EQ(solve_zeta_scalar(s, x.words()), (ColumnAnswer{0, 1}));
    for_each_set([&] {
        for (LaneWidth lanes : kLanes) {
            ZetaWork work;
            ASSERT_TRUE(prepare_one_at_a_time(work, s, false, lanes).has_value());
            EXPECT_EQ(work.solve(x.words()), (ColumnAnswer{0, 1}));
        }
    });
}

// All-zero W at a rank of several blocks: every mask has the same error, so
// the answer must be mask 0, found in the last block of the table.
TEST(ZetaKernel, AllMasksTiedAcrossBlocks) {
    const BoolLs s = BoolLs::build(BitMatrix::zeros(50, 18).value()).value();
    std::mt19937_64 gen(2);
    const BitVec x = fixtures::random_bits(50, 0.5, gen);
    for_each_set([&] {
        for (LaneWidth lanes : kLanes) {
            ZetaWork work;
            ASSERT_TRUE(prepare_one_at_a_time(work, s, true, lanes).has_value());
            EXPECT_EQ(work.solve(x.words()), (ColumnAnswer{0, x.count_ones()}));
        }
    });
}

// Each column of W owns rows of its own, and x is the union of the rows of
// a chosen subset: that subset is the only exact answer. The entry of its
// complement lies in the first, a middle or the last block of the table, so
// the block done again at the end must be the one that held the minimum,
// whether later blocks come close to it or not; solving twice shows that
// the base is left as it was.
TEST(ZetaKernel, UniqueAnswerInAnyBlock) {
    for (std::uint64_t r : {13u, 16u, 18u, 20u}) {
        const std::uint64_t m = 3 * r;
        BitMatrix w = BitMatrix::zeros(m, r).value();
        for (std::uint64_t i = 0; i < m; ++i) w.set_unchecked(i, i % r, true);
        const BoolLs s = BoolLs::build(w).value();
        const std::uint64_t all = (std::uint64_t{1} << r) - 1;
        for (std::uint64_t h : {all, all ^ 0x5, all >> 1, std::uint64_t{0x1}, (all >> 2) ^ 0x300}) {
            BitVec x = BitVec::zeros(m).value();
            for (std::uint64_t i = 0; i < m; ++i) {
                if ((h >> (i % r)) & 1) ASSERT_TRUE(x.set(i, true).has_value());
            }
            expect_every_work(s, {x.words()}, {ColumnAnswer{h, 0}}, 2,
                              "r " + std::to_string(r) + " h " + std::to_string(h));
        }
    }
}

// Two identical columns a and b of W, each with rows of its own besides the
// other columns: a target made of the rows of a and of a few other columns
// has two exact answers, with a or with b, and the smaller mask must win.
// The bit pairs put the two tied entries in different chunks, runs across
// the chunks, blocks and lanes, so the highest chunk must win over the
// highest position inside a chunk.
TEST(ZetaKernel, TwoExactAnswersFarApart) {
    struct Pair {
        std::uint64_t r, a, b;
    };
    for (const Pair& p : {Pair{20, 17, 13}, Pair{20, 13, 17}, Pair{20, 19, 5}, Pair{20, 2, 18}, Pair{18, 16, 15},
                          Pair{17, 16, 0}, Pair{20, 12, 11}}) {
        const std::uint64_t m = 2 * p.r;
        BitMatrix w = BitMatrix::zeros(m, p.r).value();
        for (std::uint64_t i = 0; i < m; ++i) {
            const std::uint64_t j = i % p.r == p.b ? p.a : i % p.r;
            w.set_unchecked(i, j, true);
            if (j == p.a) w.set_unchecked(i, p.b, true);
        }
        const BoolLs s = BoolLs::build(w).value();
        const std::uint64_t others = 0x9 & ~((std::uint64_t{1} << p.a) | (std::uint64_t{1} << p.b));
        BitVec x = BitVec::zeros(m).value();
        for (std::uint64_t i = 0; i < m; ++i) {
            const std::uint64_t j = i % p.r;
            if (j == p.a || j == p.b || ((others >> j) & 1)) ASSERT_TRUE(x.set(i, true).has_value());
        }
        const ColumnAnswer want = solve_zeta_scalar(s, x.words());
        ASSERT_EQ(want, (ColumnAnswer{others | (std::uint64_t{1} << std::min(p.a, p.b)), 0}));
        expect_every_work(s, {x.words()}, {want}, 1,
                          "r " + std::to_string(p.r) + " a " + std::to_string(p.a) + " b " + std::to_string(p.b));
    }
}

// 16-bit lanes are exact only below 2^15 rows; above, the kernel moves to
// 32-bit lanes on its own, and refuses a forced narrower width.
TEST(ZetaKernel, LaneWidthFollowsTheRowCount) {
    EXPECT_EQ(lane_width_for(32767), LaneWidth::Bits16);
    EXPECT_EQ(lane_width_for(32768), LaneWidth::Bits32);
    EXPECT_EQ(lane_width_for((std::uint64_t{1} << 31) - 1), LaneWidth::Bits32);
    EXPECT_EQ(lane_width_for(std::uint64_t{1} << 31), LaneWidth::Bits64);

    std::mt19937_64 gen(15);
    // Identical rows: one pattern is counted 40000 times, beyond 16 bits.
    BitMatrix w = BitMatrix::zeros(40000, 6).value();
    for (std::uint64_t i = 0; i < 40000; ++i) w.set_unchecked(i, i % 7 == 0 ? 1 : 0, true);
    const BoolLs s = BoolLs::build(w).value();
    ZetaWork narrow;
    EXPECT_FALSE(prepare_one_at_a_time(narrow, s, true, LaneWidth::Bits16).has_value());
    for (double d : {0.2, 0.7}) {
        const BitVec x = fixtures::random_bits(40000, d, gen);
        const ColumnAnswer want = solve_zeta_scalar(s, x.words());
        for_each_set([&] {
            ZetaWork work;
            ASSERT_TRUE(work.prepare(s, 2).has_value());
            EXPECT_EQ(work.solve(x.words()), want);
        });
    }
}

// The exhaustive methods agree on every input, with or without a mask.
TEST(ZetaKernel, NaiveAgrees) {
    std::mt19937_64 gen(77);
    for (std::uint64_t r = 1; r <= 9; ++r) {
        const BoolLs s = BoolLs::build(r % 2 ? fixtures::random_matrix(90, r, 0.25, gen) : tie_prone(90, r, gen)).value();
        std::vector<BitVec> targets;
        for (int t = 0; t < 10; ++t) targets.push_back(fixtures::random_bits(90, 0.1 * t, gen));
        for_each_set([&] {
            ZetaWork work;
            ASSERT_TRUE(prepare_one_at_a_time(work, s, true).has_value());
            for (const BitVec& x : targets) {
                const ColumnAnswer z = work.solve(x.words());
                EXPECT_EQ(solve_naive(s, x.words()), z) << "r " << r;
                EXPECT_EQ(cover_error(s, x.words(), z.h), z.error);
                // Under a mask as well.
                const BitVec observed = fixtures::random_bits(90, 0.6, gen);
                const MaskedTarget t = split(x, observed);
                const ColumnAnswer zm = work.solve_masked(t.ones.words(), t.unobserved.words());
                EXPECT_EQ(solve_naive_masked(s, x.words(), observed.words()), zm) << "r " << r;
                EXPECT_EQ(cover_error_masked(s, t.ones.words(), observed.words(), zm.h), zm.error);
            }
        });
    }
}

// Sixteen targets at a time: every column of X, whatever its batch, its
// position in a word and its content (repeated, empty, all ones), gets the
// pair of the scalar algorithm; under a mask too (none, some or every cell
// of a column unobserved, a repeated column under another mask).
class ZetaBatchMatchesScalar : public ::testing::TestWithParam<std::uint64_t> {};

BitMatrix batch_targets(std::uint64_t m, std::uint64_t n, std::mt19937_64& gen) {
    BitMatrix x = fixtures::random_matrix(m, n, 0.5, gen);
    for (std::uint64_t i = 0; i < m; ++i) {
        if (n > 3) x.set_unchecked(i, 3, i % 3 == 0 ? x.get_unchecked(i, 0) : (i % 11 == 0));  // sparse
        if (n > 5) x.set_unchecked(i, 5, false);                                             // empty
        if (n > 16) x.set_unchecked(i, 16, true);                                            // all ones
        if (n > 17) x.set_unchecked(i, 17, x.get_unchecked(i, 1));                           // a repeat
        if (n > 65) x.set_unchecked(i, n - 1, x.get_unchecked(i, 1));                        // across batches
    }
    return x;
}

TEST_P(ZetaBatchMatchesScalar, EveryColumnOfEveryBatch) {
    const std::uint64_t r = GetParam();
    std::mt19937_64 gen(2000 + r);
    for (int shape = 0; shape < 2; ++shape) {
        const std::uint64_t m = shape == 0 ? 90 + 11 * r : 3 + r % 4;
        const BitMatrix w = shape == 0 ? fixtures::random_matrix(m, r, 0.2, gen) : tie_prone(m + 60, r, gen);
        const BoolLs s = BoolLs::build(w).value();
        ASSERT_TRUE(batch_suits(s));
        for (std::uint64_t n : {1u, 15u, 16u, 17u, 70u}) {
            const BitMatrix x = batch_targets(s.m(), n, gen);
            BitMatrix observed = fixtures::random_matrix(s.m(), n, 1 - kUnobserved[n % 5], gen);
            for (std::uint64_t i = 0; i < s.m(); ++i) {
                if (n > 2) observed.set_unchecked(i, 2, false);                // nothing observed
                if (n > 6) observed.set_unchecked(i, 6, true);                 // everything
                if (n > 17) observed.set_unchecked(i, 17, gen() % 2 == 0);     // a repeat, another mask
            }
            auto column = [&](const BitMatrix& from, std::uint64_t k) {
                BitVec col = BitVec::zeros(s.m()).value();
                for (std::uint64_t i = 0; k < n && i < s.m(); ++i) EXPECT_TRUE(col.set(i, from.get_unchecked(i, k)).has_value());
                return col;
            };
            std::vector<ColumnAnswer> want, want_masked;
            for (std::uint64_t k = 0; k < (n + 15) / 16 * 16; ++k) {
                // Lanes past the last column answer an empty target.
                want.push_back(solve_zeta_scalar(s, column(x, k).words()));
                const MaskedTarget t = split(column(x, k), column(observed, k));
                want_masked.push_back(solve_zeta_scalar(s, t.ones.words(), t.unobserved.words()));
            }
            const MaskedColumns paired = pair_columns(x, observed).value();
            for_each_set([&] {
                ZetaWork work;
                ASSERT_TRUE(work.prepare(s, ZetaWork::kBatch).has_value());
                ASSERT_TRUE(work.batched());
                for (std::uint64_t first = 0; first < n; first += ZetaWork::kBatch) {
                    ColumnAnswer got[ZetaWork::kBatch], got_masked[ZetaWork::kBatch], got_paired[ZetaWork::kBatch];
                    work.solve_batch(x, first, got);
                    work.solve_batch_masked(x, observed, first, got_masked);
                    work.solve_batch_masked(paired, first, got_paired);
                    for (std::uint64_t k = 0; k < std::min<std::uint64_t>(ZetaWork::kBatch, n - first); ++k) {
                        EXPECT_EQ(got[k], want[first + k])
                            << "r " << r << " m " << s.m() << " n " << n << " column " << first + k;
                        EXPECT_EQ(got_masked[k], want_masked[first + k])
                            << "masked r " << r << " m " << s.m() << " n " << n << " column " << first + k;
                        EXPECT_EQ(got_paired[k], want_masked[first + k]) << "paired column " << first + k;
                    }
                    for (std::uint64_t k = n - first; k < ZetaWork::kBatch; ++k) EXPECT_EQ(got[k], want[first + k]);
                }
                // A whole call, which pairs each word of columns once for
                // its batches.
                const SolveAllResult all = solve_all_masked(s, x, observed, Method::Zeta, 0).value();
                std::uint64_t total = 0;
                for (std::uint64_t k = 0; k < n; ++k) {
                    std::uint64_t h = 0;
                    for (std::uint64_t j = 0; j < r; ++j) h |= std::uint64_t{all.h.get_unchecked(j, k)} << j;
                    EXPECT_EQ(h, want_masked[k].h) << "call r " << r << " n " << n << " column " << k;
                    total += want_masked[k].error;
                }
                EXPECT_EQ(all.error, total) << "call r " << r << " n " << n;
            });
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EveryBatchedRank, ZetaBatchMatchesScalar,
                         ::testing::Range<std::uint64_t>(1, kMaxBatchRank + 1));

// Many rows on few patterns: the counts and the lane sums reach the top of
// the 16-bit range without leaving it.
TEST(ZetaBatch, LargestRowCountOfTheNarrowLanes) {
    std::mt19937_64 gen(31);
    const std::uint64_t m = (std::uint64_t{1} << 15) - 1;
    BitMatrix w = BitMatrix::zeros(m, 3).value();
    for (std::uint64_t i = 0; i < m; ++i) w.set_unchecked(i, 1, i % 5 != 0);
    const BoolLs s = BoolLs::build(w).value();
    BitMatrix x = fixtures::random_matrix(m, 16, 0.5, gen);
    for (std::uint64_t i = 0; i < m; ++i) {
        x.set_unchecked(i, 0, true);
        x.set_unchecked(i, 1, false);
        x.set_unchecked(i, 2, i % 5 != 0);
    }
    std::vector<ColumnAnswer> want;
    for (std::uint64_t k = 0; k < 16; ++k) {
        BitVec col = BitVec::zeros(m).value();
        for (std::uint64_t i = 0; i < m; ++i) ASSERT_TRUE(col.set(i, x.get_unchecked(i, k)).has_value());
        want.push_back(solve_zeta_scalar(s, col.words()));
    }
    EXPECT_EQ(want[2], (ColumnAnswer{2, 0}));
    for_each_set([&] {
        ZetaWork work;
        ASSERT_TRUE(work.prepare(s, ZetaWork::kBatch).has_value());
        ASSERT_TRUE(work.batched());
        ColumnAnswer got[ZetaWork::kBatch];
        work.solve_batch(x, 0, got);
        for (std::uint64_t k = 0; k < 16; ++k) EXPECT_EQ(got[k], want[k]) << "column " << k;
    });
}

// Each set plans for its own kernels; the GFNI set runs the AVX2 ones, and
// the AVX-512 set has its own rounds over the AVX2 plan. The fields that
// only the AVX2 row code reads are left out of the generic plan. The
// strategy follows the number of targets and the size of the table.
TEST(ZetaKernel, ThePlanFollowsTheActiveSet) {
    std::mt19937_64 gen(9);
    const BoolLs s = BoolLs::build(fixtures::random_matrix(2000, 20, 0.2, gen)).value();
    const BoolLs small = BoolLs::build(fixtures::random_matrix(50, 5, 0.3, gen)).value();
    const BoolLs tiny = BoolLs::build(fixtures::random_matrix(50, 3, 0.3, gen)).value();
    EXPECT_EQ(zeta_kernels_for(boolmat::Isa::Gfni), zeta_kernels_for(boolmat::Isa::Avx2));
#if VALDRIX_X86
    const ZetaKernels* wide = zeta_kernels_for(boolmat::Isa::Avx512);
    ASSERT_NE(wide, nullptr);
    EXPECT_EQ(wide->isa, boolmat::Isa::Avx512);
    EXPECT_NE(wide->solve_one, zeta_kernels_for(boolmat::Isa::Avx2)->solve_one);
    EXPECT_NE(wide->solve_sparse, zeta_kernels_for(boolmat::Isa::Avx2)->solve_sparse);
#endif
    for_each_set([&] {
        const boolmat::Isa active = boolmat::active_isa();
        const boolmat::Isa want = active == boolmat::Isa::Gfni ? boolmat::Isa::Avx2 : active;
        ZetaWork work;
        ASSERT_TRUE(work.prepare(s, 100).has_value());
        EXPECT_EQ(work.plan().kernels->isa, want);
        EXPECT_EQ(work.plan().strategy, ZetaStrategy::Base);
        if (want == boolmat::Isa::Generic) {
            EXPECT_EQ(work.plan().avx2.top_bits, 0u);
            EXPECT_EQ(work.plan().avx2.heavy, 0u);
        } else {
            EXPECT_EQ(work.plan().avx2.top_bits, 4u);  // 2^16 vectors, few rows: spread
        }
        const std::pair<std::uint64_t, ZetaStrategy> small_plans[] = {
            {1, ZetaStrategy::OneTarget}, {kMinBatchTargets - 1, ZetaStrategy::Base}, {kMinBatchTargets, ZetaStrategy::Batch}};
        for (const auto& [targets, strategy] : small_plans) {
            ASSERT_TRUE(work.prepare(small, targets).has_value());
            EXPECT_EQ(work.plan().kernels->isa, want);
            EXPECT_EQ(work.plan().strategy, strategy) << targets << " targets";
        }
        ASSERT_TRUE(work.prepare(tiny, 1).has_value());
        EXPECT_EQ(work.plan().strategy, ZetaStrategy::SmallTable);
    });
}

// Batches are only for narrow lanes and small tables: the plan solves the
// targets of other solvers one at a time, and a batch forced on them is
// refused.
TEST(ZetaBatch, RefusedWhereTheLanesOrTheTableDoNotSuit) {
    std::mt19937_64 gen(4);
    const BoolLs wide = BoolLs::build(fixtures::random_matrix(std::uint64_t{1} << 15, 4, 0.3, gen)).value();
    const BoolLs large = BoolLs::build(fixtures::random_matrix(40, kMaxBatchRank + 1, 0.3, gen)).value();
    for (const BoolLs* s : {&wide, &large}) {
        EXPECT_FALSE(batch_suits(*s));
        ZetaWork work;
        ASSERT_TRUE(work.prepare(*s, 100).has_value());
        EXPECT_FALSE(work.batched());
        EXPECT_EQ(testing::prepare_zeta(work, *s, 100, {.batch = true}).error().kind, boolmat::ErrorKind::Panic);
    }
}

}  // namespace
}  // namespace bmf_core
