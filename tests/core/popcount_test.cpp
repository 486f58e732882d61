#include "boolmat/popcount.hpp"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "boolmat_testing.hpp"

namespace boolmat {
namespace {

// Every test runs once per kernel set this processor runs, on its entry
// points.
class Popcount : public ::testing::TestWithParam<const Kernels*> {
protected:
    const Kernels& k = *GetParam();
};
INSTANTIATE_TEST_SUITE_P(Sets, Popcount, ::testing::ValuesIn(testing::runnable_kernel_sets()),
                         [](const auto& info) { return testing::set_name(*info.param); });

std::vector<Word> random_words(std::mt19937_64& rng, std::size_t n, int density_shift) {
    std::vector<Word> v(n);
    for (Word& w : v) {
        w = rng();
        for (int s = 0; s < density_shift; ++s) w &= rng();  // sparser with every AND
    }
    return v;
}

TEST_P(Popcount, VectorKernelsMatchScalarOnEveryLength) {
    std::mt19937_64 rng(21);
    std::vector<std::size_t> lengths;
    for (std::size_t n = 0; n <= 300; ++n) lengths.push_back(n);
    for (const std::size_t n : {1023, 1024, 1025, 10007}) lengths.push_back(n);
    for (const std::size_t n : lengths) {
        for (const int shift : {0, 3}) {
            const auto a = random_words(rng, n, shift), b = random_words(rng, n, shift);
            ASSERT_EQ(k.popcount_words(a), popcount_words_scalar(a)) << n;
            ASSERT_EQ(k.popcount_xor(a, b), popcount_xor_scalar(a, b)) << n;
            ASSERT_EQ(k.popcount_andnot(a, b), popcount_andnot_scalar(a, b)) << n;
        }
    }
}

TEST_P(Popcount, AllOnesCountsEveryBit) {
    // Saturated inputs drive every carry of the adder tree.
    for (const std::size_t n : {63, 64, 65, 128, 100003}) {
        const std::vector<Word> ones(n, ~Word{0}), zeros(n, 0);
        EXPECT_EQ(k.popcount_words(ones), 64 * n);
        EXPECT_EQ(k.popcount_xor(ones, zeros), 64 * n);
        EXPECT_EQ(k.popcount_andnot(ones, zeros), 64 * n);
        EXPECT_EQ(k.popcount_andnot(zeros, ones), 0u);
        EXPECT_EQ(k.popcount_xor(ones, ones), 0u);
    }
}

TEST_P(Popcount, TwoOperandCountsUseTheShorterLength) {
    std::mt19937_64 rng(22);
    const auto a = random_words(rng, 200, 0), b = random_words(rng, 131, 0);
    const std::span<const Word> a_short(a.data(), 131);
    EXPECT_EQ(k.popcount_xor(a, b), popcount_xor_scalar(a_short, b));
    EXPECT_EQ(k.popcount_xor(b, a), popcount_xor_scalar(a_short, b));
    EXPECT_EQ(k.popcount_andnot(a, b), popcount_andnot_scalar(a_short, b));
    EXPECT_EQ(k.popcount_andnot(b, a), popcount_andnot_scalar(b, a_short));
}

}  // namespace
}  // namespace boolmat
