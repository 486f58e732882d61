#include "boolmat/bitvec.hpp"

#include <gtest/gtest.h>

#include "boolmat_testing.hpp"

namespace boolmat {
namespace {

using testing::ok;
using testing::panics_with;

std::vector<Word> words_of(const BitVec& v) { return {v.words().begin(), v.words().end()}; }

TEST(BitVec, EmptySizesAreRefused) {
    EXPECT_TRUE(panics_with(BitVec::zeros(0), "n égale à 0"));
    EXPECT_TRUE(panics_with(BitVec::from_bools({}), "n égale à 0"));
    EXPECT_TRUE(panics_with(BitVec::from_words({}, 0), "n égale à 0"));
    const std::vector<Word> two{1, 2};
    EXPECT_TRUE(panics_with(BitVec::from_words(two, 0), "n égale à 0"));  // n is tested before the word count
}

TEST(BitVec, FromWordsChecksTheWordCount) {
    const std::vector<Word> two{1, 2};
    EXPECT_TRUE(panics_with(BitVec::from_words(two, 64), "2 mots fournis pour 64 bits"));
    EXPECT_TRUE(panics_with(BitVec::from_words(two, 129), "2 mots fournis pour 129 bits"));
    const std::vector<Word> one{1};
    EXPECT_TRUE(panics_with(BitVec::from_words(one, 65), "1 mots fournis pour 65 bits"));
}

struct FromWords {
    std::vector<Word> in;
    std::uint64_t n;
    std::vector<Word> kept;
};

class BitVecFromWords : public ::testing::TestWithParam<FromWords> {};

TEST_P(BitVecFromWords, ClearsTheTail) {
    const FromWords& c = GetParam();
    const BitVec v = ok(BitVec::from_words(c.in, c.n));
    EXPECT_EQ(v.len(), c.n);
    EXPECT_EQ(words_of(v), c.kept);
}

INSTANTIATE_TEST_SUITE_P(Cases, BitVecFromWords,
                         ::testing::Values(FromWords{{0xFF}, 4, {0x0F}}, FromWords{{~Word{0}}, 64, {~Word{0}}},
                                           FromWords{{~Word{0}, ~Word{0}}, 65, {~Word{0}, 1}},
                                           FromWords{{0x8000000000000001}, 1, {1}}));

TEST(BitVec, FromBoolsTreatsAnyNonZeroByteAsOne) {
    const std::vector<std::uint8_t> bytes{1, 0, 2};
    const BitVec v = ok(BitVec::from_bools(bytes));
    EXPECT_EQ(v.len(), 3u);
    EXPECT_EQ(words_of(v), std::vector<Word>{0x5});
    std::vector<std::uint8_t> many(130, 0);
    many[0] = many[64] = many[129] = 0xFF;
    const BitVec w = ok(BitVec::from_bools(many));
    EXPECT_EQ(words_of(w), (std::vector<Word>{1, 1, 2}));
    EXPECT_EQ(w.count_ones(), 3u);
}

TEST(BitVec, GetSetAndTheStoredWordLimit) {
    BitVec v = ok(BitVec::zeros(70));
    ASSERT_EQ(v.words().size(), 2u);
    ASSERT_TRUE(v.set(69, true));
    EXPECT_TRUE(ok(v.get(69)));
    EXPECT_FALSE(ok(v.get(68)));
    EXPECT_EQ(words_of(v), (std::vector<Word>{0, Word{1} << 5}));
    ASSERT_TRUE(v.set(69, false));
    EXPECT_EQ(v.count_ones(), 0u);
    // Past the stored words: refused, nothing written.
    EXPECT_FALSE(v.get(128));
    EXPECT_EQ(v.get(128).error().kind, ErrorKind::Panic);
    EXPECT_FALSE(v.set(128, true));
    EXPECT_EQ(words_of(v), (std::vector<Word>{0, 0}));
}

TEST(BitVec, TailBitsAreNeitherReadNorWritten) {
    // Bits 70..127 exist in storage but hold no element: writing one would
    // break the tail invariant and every count after it.
    BitVec v = ok(BitVec::zeros(70));
    EXPECT_FALSE(v.set(70, true));
    EXPECT_FALSE(v.set(127, true));
    EXPECT_FALSE(v.get(70));
    EXPECT_EQ(v.count_ones(), 0u);
    EXPECT_EQ(words_of(v), (std::vector<Word>{0, 0}));
}

TEST(BitVec, OrAndHammingRequireEqualLengths) {
    BitVec a = ok(BitVec::from_words(std::vector<Word>{0b1100, 0x1}, 70));
    const BitVec b = ok(BitVec::from_words(std::vector<Word>{0b1010, 0x2}, 70));
    const BitVec c = ok(BitVec::zeros(71));
    EXPECT_EQ(ok(a.hamming(b)), 4u);
    EXPECT_EQ(ok(a.hamming(a)), 0u);
    ASSERT_TRUE(a.or_assign(b));
    EXPECT_EQ(words_of(a), (std::vector<Word>{0b1110, 0x3}));
    const auto refused_or = a.or_assign(c);
    ASSERT_FALSE(refused_or);
    EXPECT_EQ(refused_or.error().kind, ErrorKind::Panic);
    EXPECT_EQ(refused_or.error().message(), "longueurs differentes : 70 et 71 bits");
    EXPECT_EQ(words_of(a), (std::vector<Word>{0b1110, 0x3}));  // unchanged
    const auto refused_hamming = a.hamming(c);
    ASSERT_FALSE(refused_hamming);
    EXPECT_EQ(refused_hamming.error().kind, ErrorKind::Panic);
}

TEST(BitVec, CloneIsIndependent) {
    BitVec a = ok(BitVec::zeros(5));
    BitVec b = ok(a.clone());
    ASSERT_TRUE(b.set(4, true));
    EXPECT_EQ(a.count_ones(), 0u);
    EXPECT_EQ(b.count_ones(), 1u);
    EXPECT_EQ(b.len(), 5u);
}

}  // namespace
}  // namespace boolmat
