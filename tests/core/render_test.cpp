#include "boolmat/render.hpp"

#include <gtest/gtest.h>

#include "boolmat_testing.hpp"

namespace boolmat {
namespace {

using testing::ok;

std::string text(const BitMatrix& m) {
    std::string s;
    render(m, s);
    return s;
}

std::string row_text(const BitMatrix& m, std::uint64_t i) {
    std::string s;
    render_row(m, i, s);
    return s;
}

std::string repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

TEST(Render, WorkedExamples) {
    BitMatrix m = ok(BitMatrix::zeros(2, 10));
    ASSERT_TRUE(m.set(0, 0, true));
    ASSERT_TRUE(m.set(1, 8, true));
    ASSERT_TRUE(m.set(1, 9, true));
    EXPECT_EQ(text(m), "2x10 (3 bits a 1)\n10000000_00\n00000000_11");

    EXPECT_EQ(text(ok(BitMatrix::ones(1, 1))), "1x1 (1 bits a 1)\n1");

    const std::string g = "00000000";
    EXPECT_EQ(row_text(ok(BitMatrix::zeros(1, 128)), 0),
              repeat(g + "_", 7) + g + "|" + repeat(g + "_", 7) + g);
    EXPECT_EQ(row_text(ok(BitMatrix::zeros(1, 130)), 0),
              repeat(g + "_", 7) + g + " ... " + "000000_" + repeat(g + "_", 6) + g + "|00");

    const std::string expected25 =
        "25x3 (0 bits a 1)\n" + repeat("000\n", 10) + "... (5 lignes omises) ...\n" + repeat("000\n", 9) + "000";
    EXPECT_EQ(text(ok(BitMatrix::zeros(25, 3))), expected25);
}

TEST(Render, RowLimits) {
    // 20 rows all shown; 21 rows omit one, "1 lignes" in the plural.
    BitMatrix m20 = ok(BitMatrix::zeros(20, 2));
    for (std::uint64_t i = 0; i < 20; ++i) ASSERT_TRUE(m20.set(i, i % 2, true));
    std::string expected = "20x2 (20 bits a 1)\n";
    for (int i = 0; i < 20; ++i) expected += (i % 2 == 0 ? "10" : "01") + std::string(i < 19 ? "\n" : "");
    EXPECT_EQ(text(m20), expected);

    BitMatrix m21 = ok(BitMatrix::zeros(21, 5));
    for (std::uint64_t i = 0; i < 21; ++i) ASSERT_TRUE(m21.set(i, i % 5, true));
    expected = "21x5 (21 bits a 1)\n";
    const char* rows[5] = {"10000", "01000", "00100", "00010", "00001"};
    for (int i = 0; i < 10; ++i) expected += std::string(rows[i % 5]) + "\n";
    expected += "... (1 lignes omises) ...\n";
    for (int i = 11; i < 21; ++i) expected += std::string(rows[i % 5]) + (i < 20 ? "\n" : "");
    EXPECT_EQ(text(m21), expected);
}

TEST(Render, ColumnLimitsAndSeparators) {
    struct Case {
        std::uint64_t cols;
        std::string row;
    };
    const std::string g = "00000000", head = repeat(g + "_", 7) + g;
    const Case cases[] = {
        {1, "0"},
        {8, g},
        {9, g + "_0"},
        {64, head},  // no "|" before column 64 exists
        {65, head + "|0"},
        {128, head + "|" + head},
        // 129: columns 65..128, "|" before 128.
        {129, head + " ... " + "0000000_" + repeat(g + "_", 6) + g + "|0"},
        // cols - 64 = 136 is a multiple of 8: still no separator after " ... ".
        {200, head + " ... " + repeat(g + "_", 6) + g + "|" + g},
        // cols - 64 = 128 is a multiple of 64: no "|" after " ... " either.
        {192, head + " ... " + head},
    };
    for (const Case& c : cases) EXPECT_EQ(row_text(ok(BitMatrix::zeros(1, c.cols)), 0), c.row) << c.cols;
}

TEST(Render, DigitsFollowTheElementsAcrossTheEllipsis) {
    BitMatrix m = ok(BitMatrix::zeros(1, 129));
    for (const std::uint64_t j : {0, 9, 63, 64, 65, 127, 128}) ASSERT_TRUE(m.set(0, j, true));
    // Column 64 is hidden; 65 is the first digit after " ... ".
    EXPECT_EQ(row_text(m, 0), "10000000_01000000_" + repeat("00000000_", 5) + "00000001 ... " + "1000000_" +
                                   repeat("00000000_", 6) + "00000001|1");
}

TEST(Render, HeaderCountsTheWholeMatrix) {
    const BitMatrix m = ok(BitMatrix::ones(30, 300));
    const std::string s = text(m);
    EXPECT_EQ(s.substr(0, s.find('\n')), "30x300 (9000 bits a 1)");
    // 1 header + 10 rows + omission line + 10 rows, no final line feed.
    EXPECT_EQ(std::count(s.begin(), s.end(), '\n'), 21);
    EXPECT_NE(s.back(), '\n');
}

TEST(Render, AppendsToTheSink) {
    std::string s = "avant:";
    render(ok(BitMatrix::ones(1, 1)), s);
    EXPECT_EQ(s, "avant:1x1 (1 bits a 1)\n1");
}

}  // namespace
}  // namespace boolmat
