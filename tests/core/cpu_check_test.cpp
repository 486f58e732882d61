// The import-time processor check: which features are reported missing, how
// the list reads, and that a short buffer never overflows.
#include "bmf_py/cpu_check.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace bmf_py {
namespace {

constexpr CpuFeatures kAll{true, true, true, true, true};
constexpr CpuFeatures kNone{false, false, false, false, false};

struct MissingCase {
    const char* label;
    CpuFeatures features;
    int count;
    const char* text;
};

class MissingFeatures : public ::testing::TestWithParam<MissingCase> {};

TEST_P(MissingFeatures, CountsAndNamesInFixedOrder) {
    const MissingCase& c = GetParam();
    char out[64];
    std::memset(out, 'x', sizeof out);
    EXPECT_EQ(missing_features(c.features, out, sizeof out), c.count);
    EXPECT_STREQ(out, c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Simulated, MissingFeatures,
    ::testing::Values(MissingCase{"none", kAll, 0, ""},
                      MissingCase{"avx2", {false, true, true, true, true}, 1, "AVX2"},
                      MissingCase{"bmi1", {true, false, true, true, true}, 1, "BMI1"},
                      MissingCase{"bmi2", {true, true, false, true, true}, 1, "BMI2"},
                      MissingCase{"popcnt", {true, true, true, false, true}, 1, "POPCNT"},
                      MissingCase{"gfni", {true, true, true, true, false}, 1, "GFNI"},
                      MissingCase{"avx2_gfni", {false, true, true, true, false}, 2, "AVX2, GFNI"},
                      MissingCase{"bmi_pair", {true, false, false, true, true}, 2, "BMI1, BMI2"},
                      MissingCase{"all", kNone, 5, "AVX2, BMI1, BMI2, POPCNT, GFNI"}),
    [](const ::testing::TestParamInfo<MissingCase>& info) { return std::string(info.param.label); });

// Every buffer size from 0 up: the text is the longest prefix that fits with
// its terminator, nothing past out_size is written, and the count is exact.
TEST(MissingFeaturesBuffer, TruncatesSafelyAtEverySize) {
    const std::string full = "AVX2, BMI1, BMI2, POPCNT, GFNI";
    for (std::size_t size = 0; size <= full.size() + 2; ++size) {
        char buf[48];
        std::memset(buf, '#', sizeof buf);
        EXPECT_EQ(missing_features(kNone, buf, size), 5) << "size " << size;
        for (std::size_t k = size; k < sizeof buf; ++k) {
            ASSERT_EQ(buf[k], '#') << "byte " << k << " written with size " << size;
        }
        if (size == 0) continue;
        const std::size_t len = std::min(size - 1, full.size());
        EXPECT_EQ(std::string(buf), full.substr(0, len)) << "size " << size;
    }
}

TEST(MissingFeaturesBuffer, NullBufferOfSizeZeroIsAccepted) {
    EXPECT_EQ(missing_features(kNone, nullptr, 0), 5);
    EXPECT_EQ(missing_features(kAll, nullptr, 0), 0);
}

// The build machine and CI run the module's vectorised kernels, so the
// detection must find everything there.
TEST(DetectCpu, ThisMachineHasEveryRequiredFeature) {
    const CpuFeatures f = detect_cpu();
    EXPECT_TRUE(f.avx2);
    EXPECT_TRUE(f.bmi1);
    EXPECT_TRUE(f.bmi2);
    EXPECT_TRUE(f.popcnt);
    EXPECT_TRUE(f.gfni);
    char out[64];
    EXPECT_EQ(missing_features(f, out, sizeof out), 0) << out;
}

}  // namespace
}  // namespace bmf_py
