#include "boolmat/ops.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "boolmat/ops_kernels.hpp"
#include "boolmat_testing.hpp"

namespace boolmat {
namespace {

using testing::set_param_name;

using testing::ok;
using testing::panics_with;
using testing::random_matrix;
using testing::random_words;
using testing::words_of;

constexpr WordOp kOps[] = {WordOp::And, WordOp::Or, WordOp::Xor, WordOp::AndNot};

// Every test below runs once per kernel set this processor runs, with that
// set active: the kernel tests call its table entries, the others go
// through the operations of ops.hpp.
class OpsKernels : public ::testing::TestWithParam<const Kernels*> {
protected:
    const Kernels& k = *GetParam();
    testing::UsingKernels active{k};
};
INSTANTIATE_TEST_SUITE_P(Sets, OpsKernels, ::testing::ValuesIn(testing::runnable_kernel_sets()), set_param_name);

class Ops : public OpsKernels {};
INSTANTIATE_TEST_SUITE_P(Sets, Ops, ::testing::ValuesIn(testing::runnable_kernel_sets()), set_param_name);

TEST_P(OpsKernels, CombineMatchesScalarIncludingInPlace) {
    std::mt19937_64 rng(1);
    for (std::size_t n = 0; n <= 80; ++n) {
        std::vector<Word> a(n), b(n);
        for (Word& w : a) w = rng();
        for (Word& w : b) w = rng();
        for (const WordOp op : kOps) {
            std::vector<Word> fast(n, 0xDEAD), slow(n, 0xBEEF);
            k.combine_words(op, fast.data(), a.data(), b.data(), n);
            combine_words_scalar(op, slow.data(), a.data(), b.data(), n);
            ASSERT_EQ(fast, slow) << "n " << n << " op " << int(op);
            std::vector<Word> in_place = a;
            k.combine_words(op, in_place.data(), in_place.data(), b.data(), n);
            ASSERT_EQ(in_place, slow) << "in place, n " << n << " op " << int(op);
        }
    }
}

// A streamed kernel starts its vector stores at the first boundary of its
// vector width in dst (32 or 64 bytes), so every start offset within a
// 64-byte line is tried, with guard words on
// both sides; the cached form too, whose vector loops may not reach dst's
// end.
TEST_P(OpsKernels, CombineMatchesScalarAtEveryAlignment) {
    std::mt19937_64 rng(4);
    constexpr Word kGuard = 0xA5A5A5A5A5A5A5A5ull;
    for (const std::size_t n : {0, 1, 2, 3, 4, 5, 15, 16, 17, 19, 33, 64, 67, 1000}) {
        std::vector<Word> a(n), b(n);
        for (Word& w : a) w = rng();
        for (Word& w : b) w = rng();
        for (const WordOp op : kOps) {
            std::vector<Word> want(n);
            combine_words_scalar(op, want.data(), a.data(), b.data(), n);
            for (const bool streamed : {false, true}) {
                const auto kernel = streamed ? k.combine_words_streamed : k.combine_words;
                for (std::size_t off = 0; off < 8; ++off) {
                    std::vector<Word> got(n + 9, kGuard);
                    kernel(op, got.data() + off, a.data(), b.data(), n);
                    ASSERT_TRUE(std::equal(want.begin(), want.end(), got.begin() + off))
                        << "n " << n << " off " << off << " streamed " << streamed;
                    ASSERT_TRUE(std::all_of(got.begin(), got.begin() + off, [](Word w) { return w == kGuard; }));
                    ASSERT_TRUE(std::all_of(got.begin() + off + n, got.end(), [](Word w) { return w == kGuard; }));
                }
            }
        }
    }
}

TEST_P(OpsKernels, ComplementMatchesScalar) {
    std::mt19937_64 rng(2);
    for (const std::uint64_t rows : {1, 2, 3, 5, 17, 300}) {
        for (const std::uint64_t stride : {1, 2, 3, 4, 5, 9, 600}) {
            for (const Word tail : {~Word{0}, Word{1}, Word{0x3F}}) {
                std::vector<Word> src(rows * stride);
                for (Word& w : src) w = rng();
                std::vector<Word> fast(src.size()), slow(src.size());
                k.complement_words(fast.data(), src.data(), rows, stride, tail);
                complement_words_scalar(slow.data(), src.data(), rows, stride, tail);
                ASSERT_EQ(fast, slow) << rows << "x" << stride;
                k.complement_words(src.data(), src.data(), rows, stride, tail);
                ASSERT_EQ(src, slow) << "in place " << rows << "x" << stride;
            }
        }
    }
}

TEST_P(OpsKernels, EqualityFindsADifferenceInAnyWord) {
    std::mt19937_64 rng(3);
    for (std::size_t n = 0; n <= 70; ++n) {
        std::vector<Word> a(n);
        for (Word& w : a) w = rng();
        std::vector<Word> b = a;
        ASSERT_TRUE(k.words_equal(a.data(), b.data(), n));
        ASSERT_TRUE(words_equal_scalar(a.data(), b.data(), n));
        for (std::size_t w = 0; w < n; ++w) {
            b[w] ^= Word{1} << (rng() % 64);
            ASSERT_FALSE(k.words_equal(a.data(), b.data(), n)) << "n " << n << " word " << w;
            ASSERT_FALSE(words_equal_scalar(a.data(), b.data(), n));
            b[w] = a[w];
        }
    }
}

// Element-wise model of every two-operand form, on random shapes.
TEST_P(Ops, BinaryFormsMatchTheElementModel) {
    std::mt19937_64 rng(4);
    for (const std::uint64_t cols : testing::kEdgeWidths) {
        for (const std::uint64_t rows : {1, 3, 8}) {
            const BitMatrix a = random_matrix(rng, rows, cols, 0.5);
            const BitMatrix b = random_matrix(rng, rows, cols, 0.3);
            const BitMatrix r_and = ok(and_(a, b)), r_or = ok(or_(a, b)), r_xor = ok(xor_(a, b)),
                            r_andnot = ok(andnot(a, b)), r_not = ok(complement(a));
            std::uint64_t diff = 0, only_a = 0;
            for (std::uint64_t i = 0; i < rows; ++i) {
                for (std::uint64_t j = 0; j < cols; ++j) {
                    const bool x = a.get_unchecked(i, j), y = b.get_unchecked(i, j);
                    ASSERT_EQ(r_and.get_unchecked(i, j), x && y);
                    ASSERT_EQ(r_or.get_unchecked(i, j), x || y);
                    ASSERT_EQ(r_xor.get_unchecked(i, j), x != y);
                    ASSERT_EQ(r_andnot.get_unchecked(i, j), x && !y);
                    ASSERT_EQ(r_not.get_unchecked(i, j), !x);
                    diff += x != y;
                    only_a += x && !y;
                }
            }
            EXPECT_EQ(ok(hamming(a, b)), diff);
            EXPECT_EQ(ok(count_andnot(a, b)), only_a);
            // Results must keep the tail invariant for whole-word counts.
            EXPECT_EQ(r_not.count_ones(), rows * cols - a.count_ones());
            // The in-place forms write the same words as the new-matrix forms.
            const std::pair<Status (*)(BitMatrix&, const BitMatrix&), const BitMatrix*> in_place[] = {
                {and_assign, &r_and}, {or_assign, &r_or}, {xor_assign, &r_xor}, {andnot_assign, &r_andnot}};
            for (const auto& [op, expected] : in_place) {
                BitMatrix t = ok(a.clone());
                ASSERT_TRUE(op(t, b));
                EXPECT_EQ(words_of(t), words_of(*expected));
            }
        }
    }
}

// From kStreamWords words on, the new-matrix forms write through the
// streamed kernel.
TEST_P(Ops, LargeResultsMatchTheWordReference) {
    std::mt19937_64 rng(10);
    const std::uint64_t rows = 64, cols = kStreamWords + 5;
    const BitMatrix a = random_words(rng, rows, cols), b = random_words(rng, rows, cols);
    ASSERT_GE(a.words().size(), kStreamWords);
    const std::pair<Result<BitMatrix> (*)(const BitMatrix&, const BitMatrix&), WordOp> forms[] = {
        {and_, WordOp::And}, {or_, WordOp::Or}, {xor_, WordOp::Xor}, {andnot, WordOp::AndNot}};
    for (const auto& [form, op] : forms) {
        std::vector<Word> want(a.words().size());
        combine_words_scalar(op, want.data(), a.words().data(), b.words().data(), want.size());
        EXPECT_EQ(words_of(ok(form(a, b))), want) << "op " << int(op);
    }
    EXPECT_EQ(ok(complement(a)).count_ones(), rows * cols - a.count_ones());
}

TEST_P(Ops, ComplementOfZerosIsOnesWordForWord) {
    for (const std::uint64_t cols : {1, 63, 64, 65, 70, 128}) {
        for (const std::uint64_t rows : {1, 2, 5}) {
            const BitMatrix z = ok(BitMatrix::zeros(rows, cols));
            const BitMatrix n = ok(complement(z));
            EXPECT_EQ(words_of(n), words_of(ok(BitMatrix::ones(rows, cols)))) << rows << "x" << cols;
            EXPECT_TRUE(equals(ok(complement(n)), z));
        }
    }
}

TEST_P(Ops, AlgebraicIdentities) {
    std::mt19937_64 rng(5);
    for (const std::uint64_t cols : {1, 64, 65, 200, 1000}) {
        const BitMatrix a = random_words(rng, 9, cols);
        const BitMatrix b = random_words(rng, 9, cols);
        EXPECT_EQ(ok(hamming(a, a)), 0u);
        EXPECT_EQ(ok(count_andnot(a, a)), 0u);
        EXPECT_EQ(ok(count_andnot(a, b)) + ok(count_andnot(b, a)), ok(hamming(a, b)));
        EXPECT_TRUE(equals(ok(andnot(a, b)), ok(and_(a, ok(complement(b))))));
        BitMatrix x = ok(xor_(a, b));
        ASSERT_TRUE(xor_assign(x, b));
        EXPECT_TRUE(equals(x, a));
        const BitMatrix z = ok(BitMatrix::zeros(9, cols)), o = ok(BitMatrix::ones(9, cols));
        EXPECT_EQ(ok(hamming(z, o)), 9 * cols);
        EXPECT_EQ(ok(count_andnot(o, a)), 9 * cols - a.count_ones());
    }
}

TEST_P(Ops, NewFormsLeaveTheirOperandsAlone) {
    std::mt19937_64 rng(6);
    const BitMatrix a = random_words(rng, 4, 130), b = random_words(rng, 4, 130);
    const auto wa = words_of(a), wb = words_of(b);
    (void)ok(and_(a, b));
    (void)ok(or_(a, b));
    (void)ok(xor_(a, b));
    (void)ok(andnot(a, b));
    (void)ok(complement(a));
    EXPECT_EQ(words_of(a), wa);
    EXPECT_EQ(words_of(b), wb);
}

TEST_P(Ops, ShapesMustMatchNotJustWordCounts) {
    // 2x3 and 3x2 both hold two words.
    BitMatrix a = ok(BitMatrix::ones(2, 3));
    const BitMatrix d = ok(BitMatrix::ones(3, 2));
    const char* msg = "les deux matrices sont de dimensions différentes";
    EXPECT_TRUE(panics_with(and_assign(a, d), msg));
    EXPECT_TRUE(panics_with(or_assign(a, d), msg));
    EXPECT_TRUE(panics_with(xor_assign(a, d), msg));
    EXPECT_TRUE(panics_with(andnot_assign(a, d), msg));
    EXPECT_TRUE(panics_with(and_(a, d), msg));
    EXPECT_TRUE(panics_with(or_(a, d), msg));
    EXPECT_TRUE(panics_with(xor_(a, d), msg));
    EXPECT_TRUE(panics_with(andnot(a, d), msg));
    EXPECT_TRUE(panics_with(hamming(a, d), msg));
    EXPECT_TRUE(panics_with(count_andnot(a, d), msg));
    EXPECT_EQ(words_of(a), (std::vector<Word>{7, 7}));  // target unchanged
    EXPECT_FALSE(equals(a, d));
    EXPECT_FALSE(same_shape(a, d));
    // Same word count and stride, different column count.
    const BitMatrix e = ok(BitMatrix::ones(2, 4));
    EXPECT_TRUE(panics_with(hamming(a, e), msg));
    EXPECT_FALSE(equals(a, ok(BitMatrix::zeros(2, 64))));
}

TEST_P(Ops, EqualsComparesShapeAndElements) {
    std::mt19937_64 rng(7);
    const BitMatrix a = random_words(rng, 5, 200);
    BitMatrix b = ok(a.clone());
    EXPECT_TRUE(equals(a, b));
    EXPECT_TRUE(equals(a, a));
    ASSERT_TRUE(b.set(4, 199, !ok(b.get(4, 199))));
    EXPECT_FALSE(equals(a, b));
    EXPECT_FALSE(equals(ok(BitMatrix::zeros(1, 64)), ok(BitMatrix::zeros(64, 1))));
}

TEST_P(Ops, RowCountOnes) {
    const BitMatrix o = ok(BitMatrix::ones(5, 70));
    EXPECT_EQ(ok(row_count_ones(o, 4)), 70u);
    EXPECT_EQ(ok(row_count_ones(o, 0)), 70u);
    EXPECT_EQ(ok(row_count_ones(ok(BitMatrix::zeros(5, 70)), 2)), 0u);
    EXPECT_TRUE(panics_with(row_count_ones(o, 5), "index 5 hors limites (rows = 5)"));
    std::mt19937_64 rng(8);
    const BitMatrix m = random_words(rng, 3, 1000);
    std::uint64_t total = 0;
    for (std::uint64_t i = 0; i < 3; ++i) total += ok(row_count_ones(m, i));
    EXPECT_EQ(total, m.count_ones());
}

}  // namespace
}  // namespace boolmat
