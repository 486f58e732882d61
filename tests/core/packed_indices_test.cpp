// The packed byte form and the coordinate form of a matrix, against
// element-by-element expectations; these run on every processor the core is
// built for, emulated ones included.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "boolmat/indices.hpp"
#include "boolmat/packed.hpp"
#include "boolmat_testing.hpp"

namespace boolmat {
namespace {

using testing::ok;
using testing::random_words;
using testing::words_of;

// Equal shape and words, tail bits included.
bool same(const BitMatrix& a, const BitMatrix& b) {
    return a.rows() == b.rows() && a.cols() == b.cols() && words_of(a) == words_of(b);
}

TEST(Packed, RoundTripsThroughAnyLayoutAndDropsPadding) {
    for (std::uint64_t cols : {1, 7, 8, 9, 63, 64, 65, 130}) {
        std::mt19937_64 rng(cols);
        const BitMatrix m = random_words(rng, 5, cols);
        const std::uint64_t width = packed_width(cols);
        std::vector<std::uint8_t> bytes(5 * width);
        ASSERT_TRUE(bitmatrix_to_packed(m, bytes.data()).has_value());
        for (std::uint64_t i = 0; i < 5; ++i) {
            for (std::uint64_t j = 0; j < cols; ++j) {
                ASSERT_EQ((bytes[i * width + j / 8] >> (j % 8)) & 1, m.get_unchecked(i, j)) << cols;
            }
        }
        const ByteGrid dense{bytes.data(), 5, width, static_cast<std::int64_t>(width), 1};
        EXPECT_TRUE(same(ok(bitmatrix_from_packed(dense, cols)), m));
        // Reversed rows and a column step of 3 with every padding bit set.
        std::vector<std::uint8_t> spread(5 * width * 3, 0xFF);
        for (std::uint64_t i = 0; i < 5; ++i) {
            for (std::uint64_t b = 0; b < width; ++b) {
                std::uint8_t v = bytes[i * width + b];
                if (b + 1 == width && cols % 8 != 0) v |= static_cast<std::uint8_t>(0xFF << (cols % 8));
                spread[(4 - i) * width * 3 + b * 3] = v;
            }
        }
        const auto row_step = -static_cast<std::int64_t>(width * 3);
        const BitMatrix back = ok(bitmatrix_from_packed({spread.data() + 4 * width * 3, 5, width, row_step, 3}, cols));
        EXPECT_TRUE(same(back, m)) << cols;
    }
}

template <class T>
IndexVector vector_of(const std::vector<T>& v, IndexType type) {
    return {v.data(), v.size(), sizeof(T), type};
}

TEST(Indices, EveryIndexTypeBuildsTheSameMatrixAndNonzeroInvertsIt) {
    std::mt19937_64 rng(3);
    const BitMatrix m = random_words(rng, 9, 130);
    std::vector<std::int64_t> r(m.count_ones()), c(m.count_ones());
    ASSERT_TRUE(bitmatrix_nonzero(m, r.data(), c.data()).has_value());
    for (std::size_t k = 1; k < r.size(); ++k) ASSERT_LT(r[k - 1] * 130 + c[k - 1], r[k] * 130 + c[k]);
    const std::vector<std::uint8_t> r8(r.begin(), r.end());
    const std::vector<std::int16_t> c16(c.begin(), c.end());
    const std::vector<std::uint32_t> r32(r.begin(), r.end());
    const std::vector<std::uint64_t> c64(c.begin(), c.end());
    const auto from = [](IndexVector rows, IndexVector cols) { return ok(bitmatrix_from_indices(9, 130, rows, cols)); };
    EXPECT_TRUE(same(from(vector_of(r, IndexType::I64), vector_of(c, IndexType::I64)), m));
    EXPECT_TRUE(same(from(vector_of(r8, IndexType::U8), vector_of(c16, IndexType::I16)), m));
    EXPECT_TRUE(same(from(vector_of(r32, IndexType::U32), vector_of(c64, IndexType::U64)), m));
}

TEST(Indices, TheFirstPairOutsideIsNamedWithItsStoredValues) {
    // Past the blocks the indices are read in, so the position is counted across them.
    std::vector<std::uint64_t> r(3000, 1), c(3000, 2);
    r[2500] = ~std::uint64_t{0};
    std::vector<std::int8_t> c8(3000, 2);
    c8[2999] = -1;
    const auto bad = bitmatrix_from_indices(2, 3, vector_of(r, IndexType::U64), vector_of(c8, IndexType::I8));
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().kind, ErrorKind::Index);
    EXPECT_EQ(bad.error().message(),
              "from_indices : la paire numero 2500 (18446744073709551615, 2) est hors limites pour une matrice 2x3");
}

}  // namespace
}  // namespace boolmat
