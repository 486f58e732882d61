#include "boolmat/product.hpp"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "boolmat/ops.hpp"
#include "boolmat/product_kernels.hpp"
#include "boolmat_testing.hpp"

namespace boolmat {
namespace {

using testing::set_param_name;

using testing::ok;
using testing::panics_with;
using testing::random_matrix;
using testing::words_of;

BitMatrix identity(std::uint64_t n) {
    BitMatrix m = ok(BitMatrix::zeros(n, n));
    for (std::uint64_t i = 0; i < n; ++i) m.set_unchecked(i, i, true);
    return m;
}

// Rows alternate between very sparse and very dense, so one product goes
// through both strategies.
BitMatrix mixed_matrix(std::mt19937_64& rng, std::uint64_t rows, std::uint64_t cols) {
    BitMatrix m = ok(BitMatrix::zeros(rows, cols));
    std::bernoulli_distribution sparse(0.02), dense(0.8);
    for (std::uint64_t i = 0; i < rows; ++i) {
        for (std::uint64_t j = 0; j < cols; ++j) m.set_unchecked(i, j, i % 3 == 0 ? dense(rng) : sparse(rng));
    }
    return m;
}

std::vector<Word> scalar_product(const BitMatrix& a, const BitMatrix& b) {
    std::vector<Word> out(a.rows() * b.stride(), 0);
    or_rows_kernel_scalar(a, b, out);
    return out;
}

// Every test below runs once per kernel set this processor runs, with that
// set active: the kernel tests call its row steps, the others go through
// boolean_product.
class ProductKernels : public ::testing::TestWithParam<const Kernels*> {
protected:
    const Kernels& ks = *GetParam();
    testing::UsingKernels active{ks};
};
INSTANTIATE_TEST_SUITE_P(Sets, ProductKernels, ::testing::ValuesIn(testing::runnable_kernel_sets()),
                         set_param_name);

class Product : public ProductKernels {};
INSTANTIATE_TEST_SUITE_P(Sets, Product, ::testing::ValuesIn(testing::runnable_kernel_sets()), set_param_name);

struct Shape {
    std::uint64_t m, k, n;
};

void PrintTo(const Shape& s, std::ostream* os) { *os << s.m << "x" << s.k << " by " << s.k << "x" << s.n; }

class ProductShapes : public ::testing::TestWithParam<std::tuple<Shape, const Kernels*>> {};

TEST_P(ProductShapes, KernelsAgreeWithTheReference) {
    const auto [m, k, n] = std::get<0>(GetParam());
    const Kernels& ks = *std::get<1>(GetParam());
    testing::UsingKernels active(ks);
    std::mt19937_64 rng(m * 7919 + k * 31 + n);
    for (const double density : {0.0, 0.01, 0.1, 0.5, 0.95, -1.0}) {
        const BitMatrix a = density < 0 ? mixed_matrix(rng, m, k) : random_matrix(rng, m, k, density);
        const BitMatrix b = random_matrix(rng, k, n, 0.3);
        const std::vector<Word> expected = scalar_product(a, b);
        EXPECT_EQ(words_of(ok(boolean_product(a, b))), expected) << "density " << density;

        // Both strategies on every row, whatever the cost model picks; the
        // row-sparse one testing for full slices from the start, later, or
        // never.
        for (const std::uint64_t check_from : {std::uint64_t{0}, std::uint64_t{5}, kNeverCheck}) {
            std::vector<Word> sparse(expected.size(), 0);
            for (std::uint64_t i = 0; i < m; ++i) ks.or_row_sparse(a, b, sparse.data(), i, check_from);
            EXPECT_EQ(sparse, expected) << "sparse from " << check_from << ", density " << density;
        }
        std::vector<Word> tables_out(expected.size(), 0);
        std::vector<std::uint64_t> all(m);
        for (std::uint64_t i = 0; i < m; ++i) all[i] = i;
        std::vector<Word> tables(four_russians_table_words());
        std::vector<std::uint64_t> live(m);
        ks.or_rows_four_russians(a, b, tables_out.data(), all, tables.data(), live.data(), {});
        EXPECT_EQ(tables_out, expected) << "four Russians, density " << density;
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, ProductShapes,
                         ::testing::Combine(::testing::Values(Shape{1, 1, 1}, Shape{1, 1, 200}, Shape{5, 63, 64},
                                                              Shape{7, 64, 65}, Shape{9, 65, 63}, Shape{3, 127, 128},
                                                              Shape{11, 128, 129}, Shape{13, 129, 200},
                                                              Shape{17, 200, 1}, Shape{33, 70, 700},
                                                              Shape{40, 9, 300}, Shape{65, 300, 130},
                                                              Shape{130, 130, 1100}, Shape{50, 40, 2500},
                                                              Shape{21, 150, 400}, Shape{6, 1030, 64}),
                                            ::testing::ValuesIn(testing::runnable_kernel_sets())),
                         [](const auto& info) {
                             return std::to_string(info.index) + "_" + testing::set_name(*std::get<1>(info.param));
                         });

// The kernels OR into the output: words already set stay set. Rows of b of
// every width from 1 to 17 words reach every slice and tail of the steps.
TEST_P(ProductKernels, OrIntoANonZeroOutput) {
    std::mt19937_64 rng(51);
    for (std::uint64_t width = 1; width <= 17; ++width) {
        const std::uint64_t cols = 64 * width - 3 * (width % 2);
        const BitMatrix a = random_matrix(rng, 20, 100, 0.5), b = random_matrix(rng, 100, cols, 0.05);
        std::vector<Word> start(20 * b.stride());
        for (std::size_t k = 0; k < start.size(); ++k) {
            start[k] = (k % b.stride() == b.stride() - 1) ? 0 : rng() & rng();
        }
        std::vector<Word> expected = start, sparse = start, tables_out = start, dispatched = start;
        or_rows_kernel_scalar(a, b, expected);
        for (std::uint64_t i = 0; i < 20; ++i) ks.or_row_sparse(a, b, sparse.data(), i, 0);
        std::vector<std::uint64_t> all(20);
        for (std::uint64_t i = 0; i < 20; ++i) all[i] = i;
        std::vector<Word> tables(four_russians_table_words());
        std::vector<std::uint64_t> live(20);
        ks.or_rows_four_russians(a, b, tables_out.data(), all, tables.data(), live.data(), {});
        or_rows_kernel(a, b, dispatched);
        EXPECT_EQ(sparse, expected) << "cols " << cols;
        EXPECT_EQ(tables_out, expected) << "cols " << cols;
        EXPECT_EQ(dispatched, expected) << "cols " << cols;
    }
}

// Rows that fill up after different numbers of rows of b, or never: the
// steps stop ORing into full slices, and must give what ORing everything
// gives. b has sparse rows first, then dense ones, one row of ones late and
// a last row of zeros; a has rows of zeros, of ones, rows whose 1 bits all
// lie late (past the first passes of tables), a row that selects only the
// row of ones, and random rows. The output starts with words ORed in
// beforehand, a row already full, and bits past the last column, which the
// steps set while they test and must give back.
TEST_P(ProductKernels, RowsFillingUpAtDifferentPointsMatchTheReference) {
    std::mt19937_64 rng(57);
    const std::uint64_t k = 300, m = 24;
    for (const std::uint64_t words : {1, 2, 3, 5, 8, 9, 16, 17, 33, 40}) {
        const std::uint64_t cols = 64 * words - (words % 3 == 0 ? 0 : 7 * (words % 5) + 1);
        BitMatrix b = ok(BitMatrix::zeros(k, cols));
        std::bernoulli_distribution sparse_bit(0.03), dense_bit(0.6);
        for (std::uint64_t j = 0; j + 1 < k; ++j) {
            for (std::uint64_t c = 0; c < cols; ++c) {
                b.set_unchecked(j, c, j == 250 || (j < 100 ? sparse_bit(rng) : dense_bit(rng)));
            }
        }
        BitMatrix a = ok(BitMatrix::zeros(m, k));
        for (std::uint64_t i = 0; i < m; ++i) {
            for (std::uint64_t j = 0; j < k; ++j) {
                bool bit = false;
                switch (i % 6) {
                    case 0: bit = i == 0 ? false : (rng() % 2 == 0); break;
                    case 1: bit = true; break;
                    case 2: bit = j >= k - 40 && rng() % 3 != 0; break;
                    case 3: bit = j == 250; break;
                    case 4: bit = j < 100 && rng() % 2 == 0; break;
                    default: bit = rng() % 10 == 0; break;
                }
                a.set_unchecked(i, j, bit);
            }
        }
        const std::uint64_t bs = b.stride();
        std::vector<Word> start(m * bs, 0);
        for (std::uint64_t i = 0; i < m; ++i) {
            Word* row = start.data() + i * bs;
            if (i % 4 == 1) row[rng() % bs] |= rng() & rng();
            if (i == 7) std::fill_n(row, bs, ~Word{0});  // full, and bits past the last column
            if (i % 5 == 2) row[bs - 1] |= ~tail_mask(cols);
        }
        std::vector<Word> expected = start;
        or_rows_kernel_scalar(a, b, expected);

        for (const std::uint64_t check_from : {std::uint64_t{0}, std::uint64_t{2}, std::uint64_t{9}, kNeverCheck}) {
            std::vector<Word> sparse = start;
            for (std::uint64_t i = 0; i < m; ++i) ks.or_row_sparse(a, b, sparse.data(), i, check_from);
            EXPECT_EQ(sparse, expected) << "cols " << cols << ", sparse from " << check_from;
        }
        // Every row, then every other row listed backwards: the others are
        // left alone.
        std::vector<std::uint64_t> all(m), odd;
        for (std::uint64_t i = 0; i < m; ++i) all[i] = i;
        for (std::uint64_t i = m; i-- > 0;) {
            if (i % 2 == 1) odd.push_back(i);
        }
        std::vector<Word> tables(four_russians_table_words());
        std::vector<std::uint64_t> live(m, 12345);
        std::vector<Word> tables_out = start;
        ks.or_rows_four_russians(a, b, tables_out.data(), all, tables.data(), live.data(), {});
        EXPECT_EQ(tables_out, expected) << "cols " << cols << ", four Russians";
        std::vector<Word> odd_out = start, odd_expected = start;
        ks.or_rows_four_russians(a, b, odd_out.data(), odd, tables.data(), live.data(), {});
        for (const std::uint64_t i : odd) {
            std::copy_n(expected.begin() + static_cast<std::ptrdiff_t>(i * bs), bs,
                        odd_expected.begin() + static_cast<std::ptrdiff_t>(i * bs));
        }
        EXPECT_EQ(odd_out, odd_expected) << "cols " << cols << ", four Russians on odd rows";

        std::vector<Word> dispatched = start;
        or_rows_kernel(a, b, dispatched);
        EXPECT_EQ(dispatched, expected) << "cols " << cols << ", dispatched";
    }
}

TEST_P(Product, LargeDenseAndMixedMatchTheReference) {
    std::mt19937_64 rng(52);
    for (const double density : {0.5, -1.0}) {
        const BitMatrix a = density < 0 ? mixed_matrix(rng, 300, 517) : random_matrix(rng, 300, 517, density);
        const BitMatrix b = random_matrix(rng, 517, 1000, 0.1);
        EXPECT_EQ(words_of(ok(boolean_product(a, b))), scalar_product(a, b));
    }
}

TEST_P(Product, ZeroOperandsGiveZeros) {
    std::mt19937_64 rng(53);
    const BitMatrix b = random_matrix(rng, 70, 90, 0.5);
    EXPECT_TRUE(equals(ok(boolean_product(ok(BitMatrix::zeros(4, 70)), b)), ok(BitMatrix::zeros(4, 90))));
    const BitMatrix a = random_matrix(rng, 6, 70, 0.5);
    EXPECT_TRUE(equals(ok(boolean_product(a, ok(BitMatrix::zeros(70, 33)))), ok(BitMatrix::zeros(6, 33))));
}

TEST_P(Product, IdentityIsNeutralOnBothSides) {
    std::mt19937_64 rng(54);
    for (const std::uint64_t n : {1, 63, 64, 65, 130}) {
        const BitMatrix b = random_matrix(rng, n, 77, 0.5);
        EXPECT_TRUE(equals(ok(boolean_product(identity(n), b)), b)) << n;
        const BitMatrix a = random_matrix(rng, 45, n, 0.5);
        EXPECT_TRUE(equals(ok(boolean_product(a, identity(n))), a)) << n;
    }
}

TEST_P(Product, OnesTimesOnesIsOnesWordForWord) {
    for (const auto& [r, k, c] : {std::tuple{3, 70, 70}, std::tuple{1, 1, 1}, std::tuple{65, 129, 200},
                                  std::tuple{300, 300, 130}}) {
        const BitMatrix p = ok(boolean_product(ok(BitMatrix::ones(r, k)), ok(BitMatrix::ones(k, c))));
        EXPECT_EQ(words_of(p), words_of(ok(BitMatrix::ones(r, c))));
    }
}

TEST_P(Product, HighColumnSelectsItsRow) {
    // Column 69 of a is bit 5 of the second word of its row.
    BitMatrix a = ok(BitMatrix::zeros(2, 70));
    ASSERT_TRUE(a.set(1, 69, true));
    BitMatrix b = ok(BitMatrix::zeros(70, 5));
    ASSERT_TRUE(b.set(69, 3, true));
    ASSERT_TRUE(b.set(68, 0, true));
    const BitMatrix p = ok(boolean_product(a, b));
    EXPECT_EQ(words_of(p), (std::vector<Word>{0, 0x8}));
}

TEST_P(Product, OneByOneOneCopiesTheRow) {
    std::mt19937_64 rng(55);
    const BitMatrix b = random_matrix(rng, 1, 333, 0.5);
    EXPECT_TRUE(equals(ok(boolean_product(ok(BitMatrix::ones(1, 1)), b)), b));
}

TEST_P(Product, SquareTimesItself) {
    std::mt19937_64 rng(56);
    const BitMatrix a = random_matrix(rng, 150, 150, 0.05);
    EXPECT_EQ(words_of(ok(boolean_product(a, a))), scalar_product(a, a));
}

TEST_P(Product, IncompatibleShapesAreRefused) {
    const BitMatrix a = ok(BitMatrix::ones(2, 3));
    EXPECT_TRUE(panics_with(boolean_product(a, a), "dimensions incompatibles : A est 2x3, B est 2x3"));
    EXPECT_TRUE(panics_with(boolean_product(a, ok(BitMatrix::ones(4, 5))),
                            "dimensions incompatibles : A est 2x3, B est 4x5"));
}

}  // namespace
}  // namespace boolmat
