#include "boolmat/pack_bytes.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <random>
#include <vector>

#include "boolmat_testing.hpp"

namespace boolmat {
namespace {

using testing::set_param_name;

// Every test of these suites runs once per kernel set this processor runs,
// with that set active: the kernel tests call its entry points, the others
// go through the matrix conversions.
class PackBytes : public ::testing::TestWithParam<const Kernels*> {
protected:
    const Kernels& k = *GetParam();
    testing::UsingKernels active{k};
};
INSTANTIATE_TEST_SUITE_P(Sets, PackBytes, ::testing::ValuesIn(testing::runnable_kernel_sets()), set_param_name);

class UnpackBits : public PackBytes {};
INSTANTIATE_TEST_SUITE_P(Sets, UnpackBits, ::testing::ValuesIn(testing::runnable_kernel_sets()), set_param_name);
class BitmatrixFromBytes : public PackBytes {};
INSTANTIATE_TEST_SUITE_P(Sets, BitmatrixFromBytes, ::testing::ValuesIn(testing::runnable_kernel_sets()),
                         set_param_name);
class BitmatrixToBytes : public PackBytes {};
INSTANTIATE_TEST_SUITE_P(Sets, BitmatrixToBytes, ::testing::ValuesIn(testing::runnable_kernel_sets()),
                         set_param_name);

constexpr std::uint64_t kWidths[] = {1, 2, 7, 8, 31, 32, 33, 63, 64, 65, 127, 128, 129, 200, 255, 256, 1000};
constexpr Word kGuard = 0xA5A5A5A5A5A5A5A5ull;

// Bytes that are mostly 0, with the true ones spread over all byte values so
// that "non-zero" and "equal to 1" disagree.
std::vector<std::uint8_t> random_bytes(std::mt19937_64& rng, std::size_t n) {
    std::vector<std::uint8_t> v(n);
    for (auto& b : v) {
        const auto r = rng();
        b = (r & 1) ? static_cast<std::uint8_t>(1 + (r >> 8) % 255) : 0;
    }
    return v;
}

// The source starts at every offset within a vector, as a row of a NumPy
// array may.
TEST_P(PackBytes, MatchesScalarAndLeavesTailAndNextWordAlone) {
    std::mt19937_64 rng(7);
    for (std::uint64_t n : kWidths) {
        for (int rep = 0; rep < 32; ++rep) {
            const std::size_t off = static_cast<std::size_t>(rep);
            const auto store = random_bytes(rng, n + off);
            const std::uint8_t* bytes = store.data() + off;
            std::vector<Word> fast(words_for(n) + 1, kGuard), slow(words_for(n) + 1, kGuard);
            k.pack_bytes(bytes, n, fast.data());
            pack_bytes_scalar(bytes, n, slow.data());
            ASSERT_EQ(fast, slow) << "n = " << n << " offset " << off;
            EXPECT_EQ(fast.back(), kGuard) << "wrote past the last word, n = " << n;
            EXPECT_EQ(fast[words_for(n) - 1] & ~tail_mask(n), 0u) << "tail bits set, n = " << n;
        }
    }
}

TEST_P(PackBytes, ReversedMatchesScalarOnTheMirroredBytes) {
    std::mt19937_64 rng(13);
    for (std::uint64_t n : kWidths) {
        for (int rep = 0; rep < 20; ++rep) {
            const auto bytes = random_bytes(rng, n);
            std::vector<std::uint8_t> mirrored(bytes.rbegin(), bytes.rend());
            std::vector<Word> fast(words_for(n) + 1, kGuard), slow(words_for(n) + 1, kGuard);
            k.pack_bytes_reversed(bytes.data() + n - 1, n, fast.data());
            pack_bytes_scalar(mirrored.data(), n, slow.data());
            ASSERT_EQ(fast, slow) << "n = " << n;
        }
    }
}

TEST_P(PackBytes, EveryNonZeroByteValueIsTrue) {
    std::vector<std::uint8_t> bytes(256);
    for (unsigned v = 0; v < 256; ++v) bytes[v] = static_cast<std::uint8_t>(v);
    Word w[4];
    k.pack_bytes(bytes.data(), 256, w);
    EXPECT_EQ(w[0], ~Word{1});
    EXPECT_EQ(w[1], ~Word{0});
    EXPECT_EQ(w[2], ~Word{0});
    EXPECT_EQ(w[3], ~Word{0});
    // Read backwards from the last byte: value v is bit 255 - v.
    k.pack_bytes_reversed(bytes.data() + 255, 256, w);
    EXPECT_EQ(w[0], ~Word{0});
    EXPECT_EQ(w[3], ~(Word{1} << 63));
}

TEST_P(UnpackBits, MatchesScalarWritesZeroOrOneAndStopsAtN) {
    std::mt19937_64 rng(11);
    for (std::uint64_t n : kWidths) {
        for (int rep = 0; rep < 20; ++rep) {
            std::vector<Word> words(words_for(n));
            for (auto& w : words) w = rng();  // tail bits set too: they must not leak into the bytes
            std::vector<std::uint8_t> fast(n + 70, 0xEE), slow(n + 70, 0xEE);
            k.unpack_bits(words.data(), n, fast.data());
            unpack_bits_scalar(words.data(), n, slow.data());
            ASSERT_EQ(fast, slow) << "n = " << n;
            EXPECT_TRUE(std::all_of(fast.begin(), fast.begin() + static_cast<long>(n), [](auto b) { return b <= 1; }));
            EXPECT_TRUE(std::all_of(fast.begin() + static_cast<long>(n), fast.end(), [](auto b) { return b == 0xEE; }))
                << "wrote past n, n = " << n;
        }
    }
}

TEST_P(PackBytes, RoundTripThroughUnpack) {
    std::mt19937_64 rng(3);
    for (std::uint64_t n : kWidths) {
        const auto bytes = random_bytes(rng, n);
        std::vector<Word> words(words_for(n));
        k.pack_bytes(bytes.data(), n, words.data());
        std::vector<std::uint8_t> back(n);
        k.unpack_bits(words.data(), n, back.data());
        for (std::uint64_t k = 0; k < n; ++k) ASSERT_EQ(back[k], bytes[k] != 0 ? 1 : 0) << k;
    }
}

// A grid over a padded backing store, laid out by the element (i, j) ->
// offset function a NumPy view would give.
struct Layout {
    const char* name;
    std::int64_t (*row_stride)(std::uint64_t rows, std::uint64_t cols);
    std::int64_t (*col_stride)(std::uint64_t rows, std::uint64_t cols);
};

ByteGrid make_grid(const std::vector<std::uint8_t>& store, std::uint64_t rows, std::uint64_t cols, std::int64_t rs,
                   std::int64_t cs) {
    // Place the origin so that every element stays inside the store.
    std::int64_t lo = 0;
    if (rs < 0) lo += rs * static_cast<std::int64_t>(rows - 1);
    if (cs < 0) lo += cs * static_cast<std::int64_t>(cols - 1);
    return ByteGrid{store.data() - lo, rows, cols, rs, cs};
}

TEST_P(BitmatrixFromBytes, EveryLayoutMatchesTheElementwiseReference) {
    const Layout layouts[] = {
        {"c-order", [](auto, auto c) { return static_cast<std::int64_t>(c); }, [](auto, auto) { return std::int64_t{1}; }},
        {"padded rows", [](auto, auto c) { return static_cast<std::int64_t>(c + 13); },
         [](auto, auto) { return std::int64_t{1}; }},
        {"reversed rows", [](auto, auto c) { return -static_cast<std::int64_t>(c); },
         [](auto, auto) { return std::int64_t{1}; }},
        {"transposed", [](auto, auto) { return std::int64_t{1}; }, [](auto r, auto) { return static_cast<std::int64_t>(r); }},
        {"transposed, reversed columns", [](auto, auto) { return std::int64_t{1}; },
         [](auto r, auto) { return -static_cast<std::int64_t>(r); }},
        {"reversed columns", [](auto, auto c) { return static_cast<std::int64_t>(c); },
         [](auto, auto) { return std::int64_t{-1}; }},
        {"both reversed", [](auto, auto c) { return -static_cast<std::int64_t>(c); },
         [](auto, auto) { return std::int64_t{-1}; }},
        {"every second column", [](auto, auto c) { return static_cast<std::int64_t>(2 * c); },
         [](auto, auto) { return std::int64_t{2}; }},
        {"transposed with steps", [](auto, auto) { return std::int64_t{3}; },
         [](auto r, auto) { return static_cast<std::int64_t>(3 * r + 1); }},
        {"transposed with steps, reversed", [](auto, auto) { return std::int64_t{-2}; },
         [](auto r, auto) { return -static_cast<std::int64_t>(2 * r + 5); }},
        {"broadcast row", [](auto, auto) { return std::int64_t{0}; }, [](auto, auto) { return std::int64_t{1}; }},
        {"broadcast column", [](auto, auto) { return std::int64_t{1}; }, [](auto, auto) { return std::int64_t{0}; }},
    };
    const std::pair<std::uint64_t, std::uint64_t> shapes[] = {{1, 1},  {1, 65},  {65, 1},   {3, 70},
                                                              {64, 64}, {63, 129}, {130, 200}, {7, 64}};
    std::mt19937_64 rng(5);
    for (const auto& layout : layouts) {
        for (auto [rows, cols] : shapes) {
            const std::int64_t rs = layout.row_stride(rows, cols), cs = layout.col_stride(rows, cols);
            const std::uint64_t span = static_cast<std::uint64_t>(std::abs(rs)) * (rows - 1) +
                                       static_cast<std::uint64_t>(std::abs(cs)) * (cols - 1) + 1;
            const auto store = random_bytes(rng, span);
            const ByteGrid g = make_grid(store, rows, cols, rs, cs);
            auto fast = bitmatrix_from_bytes(g);
            auto slow = bitmatrix_from_bytes_scalar(g);
            ASSERT_TRUE(fast && slow);
            ASSERT_EQ(fast->rows(), rows);
            ASSERT_EQ(fast->cols(), cols);
            EXPECT_TRUE(std::ranges::equal(fast->words(), slow->words()))
                << layout.name << " " << rows << "x" << cols;
        }
    }
}

TEST(BitmatrixFromBytesScalar, ReadsNonZeroBytesAsTrue) {
    const std::uint8_t bytes[] = {0, 1, 2, 0, 255, 0x80};
    auto m = bitmatrix_from_bytes_scalar(ByteGrid{bytes, 2, 3, 3, 1});
    ASSERT_TRUE(m);
    EXPECT_EQ(m->words()[0], 0b110u);
    EXPECT_EQ(m->words()[1], 0b110u);
}

TEST_P(BitmatrixToBytes, RowMajorZeroOrOneFromEveryElement) {
    std::mt19937_64 rng(9);
    for (auto [rows, cols] : {std::pair<std::uint64_t, std::uint64_t>{1, 1}, {3, 70}, {65, 64}, {2, 200}}) {
        auto m = BitMatrix::zeros(rows, cols);
        ASSERT_TRUE(m);
        for (std::uint64_t i = 0; i < rows; ++i)
            for (std::uint64_t j = 0; j < cols; ++j) m->set_unchecked(i, j, rng() & 1);
        std::vector<std::uint8_t> out(rows * cols + 8, 0xEE);
        ASSERT_TRUE(bitmatrix_to_bytes(*m, out.data()).has_value());
        for (std::uint64_t i = 0; i < rows; ++i)
            for (std::uint64_t j = 0; j < cols; ++j) ASSERT_EQ(out[i * cols + j], m->get_unchecked(i, j) ? 1 : 0);
        EXPECT_EQ(out[rows * cols], 0xEE);
    }
}

}  // namespace
}  // namespace boolmat
