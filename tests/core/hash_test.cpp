#include "boolmat/hash.hpp"

#include <gtest/gtest.h>

#include "boolmat_testing.hpp"

namespace boolmat {
namespace {

using testing::ok;
using testing::random_words;

// SipHash-1-3 with a zero key of the bytes (37 i + 11) mod 256, i < n, as
// computed by an independent implementation (CPython's bytes hash with hash
// randomisation off).
struct Vector {
    std::size_t n;
    std::uint64_t hash;
};
constexpr Vector kVectors[] = {
    {1, 0x26144E6CFF3AC45CULL},   {2, 0x52BD41DE9D38AAF7ULL},   {3, 0xA4FA623F1C3D8F91ULL},
    {4, 0x33BCE358C2BAA9B2ULL},   {5, 0x3E7C050F956DE4D6ULL},   {6, 0x10B0654A400278B1ULL},
    {7, 0xDF736FC88C20792AULL},   {8, 0x13C8DF4EC019B503ULL},   {9, 0xDFB5EB7CC3223B49ULL},
    {10, 0x20ADED9861E58FF1ULL},  {11, 0x60C42A6C0DFE371AULL},  {12, 0xE15D7193B9E32B33ULL},
    {13, 0x4DF179531373EFF2ULL},  {14, 0x10A40DEC9C0ADF99ULL},  {15, 0xBEBA3CF576457485ULL},
    {16, 0x610125500B21B982ULL},  {17, 0xFA02BDCF2AB24BA9ULL},  {23, 0x531D14B303E627FDULL},
    {24, 0xEAE603E6E35F8680ULL},  {25, 0x99E2F9307356E9C3ULL},  {63, 0x539A364B1819300AULL},
    {64, 0x1E7822224874B116ULL},  {255, 0xE9994BA11C354C79ULL}, {256, 0xA51F9C2D153E1670ULL},
    {257, 0xE28725FAC08D1531ULL},
};

TEST(Hash, SipHash13KnownValues) {
    for (const Vector& v : kVectors) {
        std::vector<std::uint8_t> bytes(v.n);
        for (std::size_t i = 0; i < v.n; ++i) bytes[i] = static_cast<std::uint8_t>((37 * i + 11) & 0xFF);
        EXPECT_EQ(siphash13(bytes), v.hash) << "length " << v.n;
    }
}

TEST(Hash, InputLayoutOfOneByOne) {
    const Buffer<std::uint8_t> in = ok(hash_input(ok(BitMatrix::zeros(1, 1))));
    std::vector<std::uint8_t> expected(40, 0);
    expected[0] = expected[16] = expected[24] = expected[32] = 1;  // count, rows, cols, stride; word 0
    EXPECT_EQ(std::vector<std::uint8_t>(in.begin(), in.end()), expected);

    BitMatrix m = ok(BitMatrix::zeros(2, 70));
    ASSERT_TRUE(m.set(1, 65, true));
    const Buffer<std::uint8_t> in2 = ok(hash_input(m));
    ASSERT_EQ(in2.size(), 8u * (4 + 4));
    EXPECT_EQ(in2[0], 4);       // word count
    EXPECT_EQ(in2[8 * 4], 2);   // word 3 = bit 1
    EXPECT_EQ(in2[8 * 5], 2);   // rows
    EXPECT_EQ(in2[8 * 6], 70);  // cols
    EXPECT_EQ(in2[8 * 7], 2);   // stride
}

struct Known {
    std::uint64_t rows, cols;
    bool ones;
    std::uint64_t hash;
};

class HashKnown : public ::testing::TestWithParam<Known> {};

TEST_P(HashKnown, MatrixHash) {
    const Known& k = GetParam();
    const BitMatrix m = ok(k.ones ? BitMatrix::ones(k.rows, k.cols) : BitMatrix::zeros(k.rows, k.cols));
    EXPECT_EQ(hash_matrix(m), k.hash);
    const Buffer<std::uint8_t> in = ok(hash_input(m));
    EXPECT_EQ(siphash13(in.span()), k.hash);
}

INSTANTIATE_TEST_SUITE_P(
    Values, HashKnown,
    ::testing::Values(Known{1, 1, false, 0xE697F0C4DD72C95FULL}, Known{1, 1, true, 0x8BE1E528E6FCF5B3ULL},
                      // The shape is part of the input: same (zero) words, different hashes.
                      Known{2, 3, false, static_cast<std::uint64_t>(std::int64_t{8422845130048438188})},
                      Known{3, 2, false, static_cast<std::uint64_t>(std::int64_t{-1998662631119035848})}));

TEST(Hash, StreamedHashMatchesTheReferenceOverTheInput) {
    std::mt19937_64 rng(31);
    // Sizes around 32 words exercise every value of the length byte.
    for (std::uint64_t rows = 1; rows <= 40; ++rows) {
        for (const std::uint64_t cols : {1, 64, 65, 200}) {
            const BitMatrix m = random_words(rng, rows, cols);
            const Buffer<std::uint8_t> in = ok(hash_input(m));
            ASSERT_EQ(hash_matrix(m), siphash13(in.span())) << rows << "x" << cols;
        }
    }
}

TEST(Hash, EqualMatricesHashEqualAndOneBitChangesIt) {
    std::mt19937_64 rng(32);
    const BitMatrix a = random_words(rng, 7, 130);
    BitMatrix b = ok(a.clone());
    EXPECT_EQ(hash_matrix(a), hash_matrix(b));
    ASSERT_TRUE(b.set(6, 129, !ok(b.get(6, 129))));
    EXPECT_NE(hash_matrix(a), hash_matrix(b));
}

}  // namespace
}  // namespace boolmat
