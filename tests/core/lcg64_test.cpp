#include "bmf_core/lcg64.hpp"

#include <gtest/gtest.h>

#include <array>

namespace bmf_core {
namespace {

struct Vector {
    std::uint64_t seed;
    std::array<std::uint32_t, 3> outputs;
};

class Lcg64Vectors : public ::testing::TestWithParam<Vector> {};

TEST_P(Lcg64Vectors, FirstThreeOutputs) {
    Lcg64 g(GetParam().seed);
    for (std::uint32_t want : GetParam().outputs) EXPECT_EQ(g.next_u31(), want);
}

INSTANTIATE_TEST_SUITE_P(Seeds, Lcg64Vectors,
                         ::testing::Values(Vector{0, {167951807u, 218396424u, 1299921937u}},
                                           Vector{1, {908834774u, 1093944153u, 1392341196u}},
                                           Vector{42, {1220265334u, 484179026u, 886563538u}}));

TEST(Lcg64, StatesOfSeedZero) {
    Lcg64 g(0);
    EXPECT_EQ(g.state(), 0u);
    g.next_u31();
    EXPECT_EQ(g.state(), 0x14057B7EF767814Full);
    g.next_u31();
    EXPECT_EQ(g.state(), 0x1A08EE1184BA6D32ull);
    g.next_u31();
    EXPECT_EQ(g.state(), 0x9AF678222E728119ull);
}

TEST(Lcg64, LargestSeedIsKeptAsIs) {
    Lcg64 g(~std::uint64_t{0});
    EXPECT_EQ(g.state(), ~std::uint64_t{0});
    g.next_u31();
    EXPECT_EQ(g.state(), ~std::uint64_t{0} * Lcg64::kMultiplier + Lcg64::kIncrement);
}

TEST(Lcg64, GenIndexReducesAndAlwaysAdvances) {
    Lcg64 g(0);
    EXPECT_EQ(g.gen_index(5), 167951807u % 5);
    EXPECT_EQ(g.gen_index(4), 218396424u % 4);
    Lcg64 one(0);
    EXPECT_EQ(one.gen_index(1), 0u);
    EXPECT_EQ(one.next_u31(), 218396424u);  // the draw for n = 1 still used a step
    // Above 2^31 every output is returned unchanged.
    Lcg64 big(0);
    EXPECT_EQ(big.gen_index(std::uint64_t{1} << 40), 167951807u);
    Lcg64 exact(0);
    EXPECT_EQ(exact.gen_index(167951807u), 0u);
    Lcg64 above(0);
    EXPECT_EQ(above.gen_index(167951808u), 167951807u);
}

TEST(Lcg64, CopyContinuesTheSequence) {
    Lcg64 g(7);
    for (int i = 0; i < 10; ++i) g.next_u31();
    Lcg64 copy = g;
    for (int i = 0; i < 100; ++i) EXPECT_EQ(copy.gen_index(97), g.gen_index(97));
}

}  // namespace
}  // namespace bmf_core
