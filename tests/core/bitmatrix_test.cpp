#include "boolmat/bitmatrix.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "boolmat/ops.hpp"

#include "boolmat_testing.hpp"

namespace boolmat {
namespace {

using testing::ok;
using testing::panics_with;
using testing::words_of;

struct BadSize {
    std::uint64_t rows, cols;
    const char* message;
};

class BitMatrixBadSize : public ::testing::TestWithParam<BadSize> {};

TEST_P(BitMatrixBadSize, ZerosAndOnesRefuseWithTheSameMessage) {
    const BadSize& c = GetParam();
    EXPECT_TRUE(panics_with(BitMatrix::zeros(c.rows, c.cols), c.message));
    EXPECT_TRUE(panics_with(BitMatrix::ones(c.rows, c.cols), c.message));
    EXPECT_TRUE(panics_with(checked_word_count(c.rows, c.cols), c.message));
}

INSTANTIATE_TEST_SUITE_P(
    Checks, BitMatrixBadSize,
    ::testing::Values(BadSize{0, 0, "cols égale à 0"},  // columns are tested before rows
                      BadSize{5, 0, "cols égale à 0"}, BadSize{0, 5, "rows égale à 0"},
                      BadSize{std::uint64_t{1} << 62, 256, "capacity overflow"},  // word count overflows
                      BadSize{std::uint64_t{1} << 61, 1, "capacity overflow"},    // byte size overflows
                      BadSize{std::uint64_t{1} << 60, 64, "capacity overflow"},   // exactly 2^63 bytes
                      BadSize{~std::uint64_t{0}, ~std::uint64_t{0}, "capacity overflow"}));

TEST(BitMatrix, LargestRepresentableSizePassesTheChecks) {
    // 2^63 - 8 bytes is the limit itself; it is refused only by the allocator.
    EXPECT_EQ(ok(checked_word_count((std::uint64_t{1} << 60) - 1, 64)), (std::uint64_t{1} << 60) - 1);
    EXPECT_EQ(ok(checked_word_count(3, 70)), 6u);
}

struct Layout {
    std::uint64_t rows, cols, stride;
    std::vector<Word> ones_words;
};

class BitMatrixLayout : public ::testing::TestWithParam<Layout> {};

TEST_P(BitMatrixLayout, OnesClearsTheTailOfEveryRow) {
    const Layout& c = GetParam();
    const BitMatrix z = ok(BitMatrix::zeros(c.rows, c.cols));
    EXPECT_EQ(z.stride(), c.stride);
    EXPECT_EQ(words_of(z), std::vector<Word>(c.ones_words.size(), 0));
    const BitMatrix o = ok(BitMatrix::ones(c.rows, c.cols));
    EXPECT_EQ(o.rows(), c.rows);
    EXPECT_EQ(o.cols(), c.cols);
    EXPECT_EQ(o.stride(), c.stride);
    EXPECT_EQ(words_of(o), c.ones_words);
    EXPECT_EQ(o.count_ones(), c.rows * c.cols);
}

constexpr Word kAll = ~Word{0};
INSTANTIATE_TEST_SUITE_P(Shapes, BitMatrixLayout,
                         ::testing::Values(Layout{1, 1, 1, {1}}, Layout{2, 70, 2, {kAll, 0x3F, kAll, 0x3F}},
                                           Layout{3, 64, 1, {kAll, kAll, kAll}},
                                           Layout{2, 65, 2, {kAll, 1, kAll, 1}},
                                           Layout{1, 130, 3, {kAll, kAll, 0x3}},
                                           Layout{2, 63, 1, {kAll >> 1, kAll >> 1}}));

TEST(BitMatrix, GetAndSetCheckTheRowBeforeTheColumn) {
    BitMatrix m = ok(BitMatrix::zeros(3, 70));
    EXPECT_TRUE(panics_with(m.get(3, 80), "index 3 hors limites (rows = 3)"));
    EXPECT_TRUE(panics_with(m.get(0, 70), "index 70 hors limites (cols = 70)"));
    EXPECT_TRUE(panics_with(m.set(3, 80, true), "index 3 hors limites (rows = 3)"));
    EXPECT_TRUE(panics_with(m.set(2, 70, true), "index 70 hors limites (cols = 70)"));
    // A refused write leaves the storage alone, including the tail bit that
    // column 70 would have named.
    EXPECT_EQ(words_of(m), std::vector<Word>(6, 0));
    EXPECT_EQ(m.count_ones(), 0u);
}

TEST(BitMatrix, SetTouchesOnlyItsBit) {
    BitMatrix m = ok(BitMatrix::zeros(3, 70));
    ASSERT_TRUE(m.set(0, 69, true));
    EXPECT_EQ(words_of(m), (std::vector<Word>{0, Word{1} << 5, 0, 0, 0, 0}));
    EXPECT_TRUE(ok(m.get(0, 69)));
    EXPECT_FALSE(ok(m.get(1, 69)));
    ASSERT_TRUE(m.set(2, 0, true));
    ASSERT_TRUE(m.set(0, 69, false));
    EXPECT_EQ(words_of(m), (std::vector<Word>{0, 0, 0, 0, 1, 0}));
    ASSERT_TRUE(m.set(2, 0, true));  // setting a set bit is idempotent
    EXPECT_EQ(m.count_ones(), 1u);
}

TEST(BitMatrix, RowViewAndItsCheck) {
    BitMatrix m = ok(BitMatrix::zeros(3, 70));
    ASSERT_TRUE(m.set(1, 64, true));
    const auto row = ok(m.row(1));
    ASSERT_EQ(row.size(), 2u);
    EXPECT_EQ(row[0], 0u);
    EXPECT_EQ(row[1], 1u);
    EXPECT_TRUE(panics_with(m.row(3), "index 3 hors limites (rows = 3)"));
}

TEST(BitMatrix, SetRowMasksTheTailAndChecksRowFirst) {
    BitMatrix m = ok(BitMatrix::zeros(3, 70));
    const std::vector<Word> full{kAll, kAll};
    ASSERT_TRUE(m.set_row(0, full));
    EXPECT_EQ(words_of(m), (std::vector<Word>{kAll, 0x3F, 0, 0, 0, 0}));
    EXPECT_EQ(m.count_ones(), 70u);
    const std::vector<Word> one{kAll};
    EXPECT_TRUE(panics_with(m.set_row(1, one), "1 mots pour un stride de 2"));
    EXPECT_TRUE(panics_with(m.set_row(3, one), "ligne 3 hors limites (rows = 3)"));
    EXPECT_TRUE(panics_with(m.set_row(1, std::vector<Word>(3, kAll)), "3 mots pour un stride de 2"));
    EXPECT_EQ(words_of(m), (std::vector<Word>{kAll, 0x3F, 0, 0, 0, 0}));  // refusals wrote nothing
}

TEST(BitMatrix, CloneIsIndependent) {
    BitMatrix m = ok(BitMatrix::ones(4, 65));
    BitMatrix c = ok(m.clone());
    EXPECT_EQ(words_of(c), words_of(m));
    EXPECT_EQ(c.rows(), 4u);
    EXPECT_EQ(c.cols(), 65u);
    ASSERT_TRUE(c.set(3, 64, false));
    EXPECT_TRUE(ok(m.get(3, 64)));
    EXPECT_EQ(m.count_ones(), 4u * 65u);
    EXPECT_EQ(c.count_ones(), 4u * 65u - 1);
}

// Words lent by another owner are read in place, copied before any write,
// and handed back exactly once, whoever lets go of them.
TEST(BitMatrix, BorrowedWordsAreCopiedBeforeAWriteAndReturnedOnce) {
    static int returned = 0;
    const Lender lender{[](void*) noexcept { ++returned; }, nullptr};
    std::vector<Word> lent = {0b1011, 0, 0, ~Word{0}};
    const std::vector<Word> before = lent;
    BitMatrix other = ok(BitMatrix::ones(2, 128));
    using Write = Status (*)(BitMatrix&, const BitMatrix&);
    const Write writes[] = {
        [](BitMatrix& m, const BitMatrix&) { return m.set(1, 0, true); },
        [](BitMatrix& m, const BitMatrix& o) { return m.set_row(0, o.words().first(2)); },
        [](BitMatrix& m, const BitMatrix& o) { return xor_assign(m, o); },
    };
    for (const Write write : writes) {
        returned = 0;
        BitMatrix m = ok(BitMatrix::over_words(Buffer<Word>::borrow(lent.data(), lent.size(), lender), 2, 128));
        EXPECT_TRUE(m.words_borrowed());
        EXPECT_EQ(m.words().data(), lent.data());
        ASSERT_TRUE(write(m, other).has_value());
        EXPECT_FALSE(m.words_borrowed());
        EXPECT_EQ(returned, 1);
        EXPECT_EQ(lent, before);
        BitMatrix moved = std::move(m);
        moved = ok(BitMatrix::zeros(1, 1));
        EXPECT_EQ(returned, 1);
    }
    // A borrower that never writes hands the words back when it goes.
    returned = 0;
    {
        BitMatrix m = ok(BitMatrix::over_words(Buffer<Word>::borrow(lent.data(), lent.size(), lender), 2, 128));
        EXPECT_EQ(m.count_ones(), 3u + 64u);
    }
    EXPECT_EQ(returned, 1);
    // Bits past the last column, or a word count that is not the shape's,
    // refuse the words (and hand them back).
    returned = 0;
    EXPECT_FALSE(BitMatrix::over_words(Buffer<Word>::borrow(lent.data(), lent.size(), lender), 2, 100).has_value());
    EXPECT_FALSE(BitMatrix::over_words(Buffer<Word>::borrow(lent.data(), lent.size(), lender), 1, 128).has_value());
    EXPECT_EQ(returned, 2);
}

// An owned block lent out keeps its address; the matrix becomes a borrower.
TEST(BitMatrix, LendingWordsKeepsThemInPlace) {
    BitMatrix m = ok(BitMatrix::ones(3, 70));
    const Word* where = m.words().data();
    Buffer<Word> block = m.lend_words({[](void*) noexcept {}, nullptr});
    EXPECT_EQ(block.data(), where);
    EXPECT_EQ(m.words().data(), where);
    EXPECT_TRUE(m.words_borrowed());
    ASSERT_TRUE(m.set(0, 0, false).has_value());
    EXPECT_NE(m.words().data(), where);
    EXPECT_EQ(block[0], ~Word{0});
}

TEST(BitMatrix, CountOnesMatchesElementCount) {
    std::mt19937_64 rng(11);
    for (const std::uint64_t cols : testing::kEdgeWidths) {
        for (const double density : {0.0, 0.03, 0.5, 1.0}) {
            const BitMatrix m = testing::random_matrix(rng, 7, cols, density);
            std::uint64_t expected = 0;
            for (std::uint64_t i = 0; i < m.rows(); ++i) {
                for (std::uint64_t j = 0; j < cols; ++j) expected += ok(m.get(i, j)) ? 1 : 0;
            }
            EXPECT_EQ(m.count_ones(), expected) << "cols " << cols << " density " << density;
        }
    }
}

}  // namespace
}  // namespace boolmat
