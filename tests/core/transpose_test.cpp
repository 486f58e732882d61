#include "boolmat/transpose.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "boolmat/ops.hpp"
#include "boolmat/target.hpp"
#include "boolmat/transpose_kernels.hpp"
#include "boolmat_testing.hpp"

#if VALDRIX_X86
#include <immintrin.h>
#endif

namespace boolmat {
namespace {

using testing::set_param_name;

using testing::ok;
using testing::random_matrix;
using testing::random_words;
using testing::words_of;

// The whole-matrix tests run once per kernel set this processor runs, with
// that set active.
class Transpose : public ::testing::TestWithParam<const Kernels*> {
protected:
    testing::UsingKernels active{*GetParam()};
};
INSTANTIATE_TEST_SUITE_P(Sets, Transpose, ::testing::ValuesIn(testing::runnable_kernel_sets()), set_param_name);

#if VALDRIX_X86
// The x86-64 sets share a driver and differ in their block kernels, tested
// for each of those sets this processor runs (none on one without AVX2).
struct BlockSet {
    std::string name;
    const TransposeBlocks* k;
};

void PrintTo(const BlockSet& s, std::ostream* os) { *os << s.name; }

std::vector<BlockSet> block_sets() {
    std::vector<BlockSet> sets;
    for (const Kernels* k : testing::runnable_kernel_sets()) {
        if (const TransposeBlocks* blocks = transpose_blocks(k->isa)) sets.push_back({testing::set_name(*k), blocks});
    }
    return sets;
}

class TransposeKernel : public ::testing::TestWithParam<BlockSet> {
protected:
    const TransposeBlocks& k = *GetParam().k;
};
INSTANTIATE_TEST_SUITE_P(Sets, TransposeKernel, ::testing::ValuesIn(block_sets()),
                         [](const ::testing::TestParamInfo<BlockSet>& info) { return info.param.name; });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(TransposeKernel);

TEST_P(TransposeKernel, BlockMatchesTheSixStageReference) {
    std::mt19937_64 rng(41);
    for (int trial = 0; trial < 200; ++trial) {
        const std::size_t ss = 1 + rng() % 5, ds = 1 + rng() % 5;
        std::vector<Word> src(64 * ss), dst(64 * ds, 0x5A5A), ref(64);
        for (Word& w : src) w = trial % 4 == 0 ? rng() & rng() & rng() : rng();
        for (std::size_t k = 0; k < 64; ++k) ref[k] = src[k * ss];
        transpose_block_scalar(ref.data());
        k.block(src.data(), ss, dst.data(), ds);
        for (std::size_t k = 0; k < 64; ++k) ASSERT_EQ(dst[k * ds], ref[k]) << "trial " << trial << " word " << k;
        // Only the 64 words of the block are written.
        for (std::size_t k = 0; k < dst.size(); ++k) {
            if (k % ds != 0) {
                ASSERT_EQ(dst[k], 0x5A5Au);
            }
        }
    }
}

TEST_P(TransposeKernel, EverySingleBitLandsInPlace) {
    for (unsigned r = 0; r < 64; ++r) {
        for (unsigned c = 0; c < 64; ++c) {
            Word in[64] = {}, out[64];
            in[r] = Word{1} << c;
            k.block(in, 1, out, 1);
            for (unsigned k = 0; k < 64; ++k) ASSERT_EQ(out[k], k == c ? Word{1} << r : 0) << r << "," << c;
        }
    }
}

TEST_P(TransposeKernel, SuperblockMatchesSixteenReferenceBlocks) {
    std::mt19937_64 rng(43);
    for (int trial = 0; trial < 20; ++trial) {
        const std::size_t ss = 4 + rng() % 3, ds = 4 + rng() % 3;
        std::vector<Word> src(256 * ss), dst(256 * ds, 0x5A5A);
        for (Word& w : src) w = trial % 2 == 0 ? rng() & rng() & rng() : rng();
        k.superblock(src.data(), ss, dst.data(), ds);
        for (std::size_t r = 0; r < 4; ++r) {
            for (std::size_t c = 0; c < 4; ++c) {
                Word block[64];
                for (std::size_t k = 0; k < 64; ++k) block[k] = src[(64 * r + k) * ss + c];
                transpose_block_scalar(block);
                for (std::size_t k = 0; k < 64; ++k) {
                    ASSERT_EQ(dst[(64 * c + k) * ds + r], block[k]) << "block " << r << "," << c << " word " << k;
                }
            }
        }
        for (std::size_t j = 0; j < 256; ++j) {
            for (std::size_t k = 4; k < ds; ++k) ASSERT_EQ(dst[j * ds + k], 0x5A5Au);
        }
    }
}

// The pair kernel writes, for each half of its 8-word rows, exactly what the
// single superblock kernel writes, and nothing past the 4 words of a row.
TEST_P(TransposeKernel, PairMatchesTwoSuperblocks) {
    std::mt19937_64 rng(44);
    for (int trial = 0; trial < 20; ++trial) {
        const std::size_t ss = 8 + rng() % 3, ds = 4 + rng() % 3;
        std::vector<Word> src(256 * ss);
        for (Word& w : src) w = trial % 2 == 0 ? rng() & rng() & rng() : rng();
        std::vector<Word> want0(256 * ds, 0x5A5A), want1(256 * ds, 0x5A5A), got0 = want0, got1 = want1;
        k.superblock(src.data(), ss, want0.data(), ds);
        k.superblock(src.data() + 4, ss, want1.data(), ds);
        k.pair(src.data(), ss, got0.data(), got1.data(), ds);
        ASSERT_EQ(got0, want0) << "trial " << trial;
        ASSERT_EQ(got1, want1) << "trial " << trial;
    }
}
#endif

#if VALDRIX_X86
// The unit steps of the x86-64 sets (512 rows of W words), step by step as
// their driver runs them: each unit read in one step and written in the
// next.
struct UnitSet {
    std::string name;
    std::size_t words;  // W
    void (*step)(const UnitStep&) noexcept;
};

void PrintTo(const UnitSet& s, std::ostream* os) { *os << s.name; }

std::vector<UnitSet> unit_sets() {
    const CpuFeatures cpu = detect_cpu();
    std::vector<UnitSet> sets;
    if (isa_runs_on(Isa::Avx2, cpu)) sets.push_back({"avx2", 4, avx2::transpose_unit_step});
    if (isa_runs_on(Isa::Gfni, cpu)) sets.push_back({"gfni", 4, gfni::transpose_unit_step});
    if (isa_runs_on(Isa::Avx512, cpu)) sets.push_back({"avx512", 8, avx512::transpose_unit_step});
    return sets;
}

class TransposeUnit : public ::testing::TestWithParam<UnitSet> {
protected:
    const std::size_t w = GetParam().words;
    const unsigned all = (1u << GetParam().words) - 1;  // every word of a unit's row
    // 64-byte aligned scratch for the two units in flight.
    std::vector<Word> scratch = std::vector<Word>(2 * 512 * 8 + 8);
    Word* buffer(unsigned k) {
        const auto at = reinterpret_cast<std::uintptr_t>(scratch.data());
        return scratch.data() + (64 - at % 64) % 64 / sizeof(Word) + k * 512 * w;
    }

    void step(UnitStep s) { GetParam().step(s); }

    // Reads `in` then writes it (the step after), as one unit.
    void run(UnitStep in, UnitStep out) {
        in.fill = buffer(0);
        step(in);
        out.drain = buffer(0);
        out.fill = buffer(1);
        step(out);
    }

    // Word k of row j of the unit read from rows of `src` (stride ss) with
    // rows [first, last) and the words of `mask` present, zeros elsewhere.
    static Word expected(const std::vector<Word>& src, std::size_t ss, std::size_t first, std::size_t last,
                         unsigned mask, std::size_t j, std::size_t k) {
        Word block[64];
        for (std::size_t i = 0; i < 64; ++i) {
            const std::size_t row = 64 * k + i;
            const bool present = row >= first && row < last && (mask >> (j / 64) & 1) != 0;
            block[i] = present ? src[row * ss + j / 64] : 0;
        }
        transpose_block_scalar(block);
        return block[j % 64];
    }
};
INSTANTIATE_TEST_SUITE_P(Sets, TransposeUnit, ::testing::ValuesIn(unit_sets()),
                         [](const ::testing::TestParamInfo<UnitSet>& info) { return info.param.name; });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(TransposeUnit);

TEST_P(TransposeUnit, WholeUnitsMatchTheReferenceBlocksInPipeline) {
    std::mt19937_64 rng(46);
    for (int trial = 0; trial < 6; ++trial) {
        const std::size_t ss = w + rng() % 5, ds = 8 + rng() % 5;
        std::vector<Word> a0(512 * ss), a1(512 * ss);
        for (Word& x : a0) x = trial % 2 == 0 ? rng() & rng() : rng();
        for (Word& x : a1) x = rng();
        std::vector<Word> t0(64 * w * ds, 0x5A5A), t1(64 * w * ds, 0x5A5A);
        // Three steps: read a0; write t0 while reading a1; write t1.
        step({.src = a0.data(), .ss = ss, .load_mask = all, .fill = buffer(0)});
        step({.src = a1.data(), .ss = ss, .load_mask = all, .fill = buffer(1), .drain = buffer(0), .dst = t0.data(),
              .ds = ds, .end = 64 * w, .next = a0.data()});
        step({.fill = buffer(0), .drain = buffer(1), .dst = t1.data(), .ds = ds, .end = 64 * w});
        for (std::size_t j = 0; j < 64 * w; ++j) {
            for (std::size_t k = 0; k < ds; ++k) {
                ASSERT_EQ(t0[j * ds + k], k < 8 ? expected(a0, ss, 0, 512, all, j, k) : 0x5A5A)
                    << "trial " << trial << " row " << j << " word " << k;
                ASSERT_EQ(t1[j * ds + k], k < 8 ? expected(a1, ss, 0, 512, all, j, k) : 0x5A5A)
                    << "trial " << trial << " row " << j << " word " << k;
            }
        }
    }
}

// A unit reaching past the matrix reads zeros for the rows and words a
// lacks, and writes only the rows and words t has: nothing else is touched.
TEST_P(TransposeUnit, EdgesReadZerosAndWriteOnlyTheirWords) {
    std::mt19937_64 rng(47);
    struct Edge {
        std::size_t first, last;
        unsigned load_mask;
        std::size_t begin, end;
        unsigned store_mask;
    };
    const std::size_t rows = 64 * w;
    for (const Edge& e : {Edge{0, 300, all, 0, rows, 0x3F}, Edge{128, 512, 0x03, 0, 130, 0xFF},
                          Edge{1, 511, all & ~1u, 64, rows, 0xFC}, Edge{0, 0, all, 200, 201, 0x81},
                          Edge{0, 512, all >> 1, 0, rows, 0xFF}}) {
        const std::size_t ss = w + 1, ds = 10;
        std::vector<Word> a(512 * ss), t(rows * ds, 0x5A5A);
        for (Word& x : a) x = rng();
        run({.src = a.data(), .ss = ss, .first = e.first, .last = e.last, .load_mask = e.load_mask},
            {.dst = t.data(), .ds = ds, .begin = e.begin, .end = e.end, .store_mask = e.store_mask});
        for (std::size_t j = 0; j < rows; ++j) {
            for (std::size_t k = 0; k < ds; ++k) {
                const bool written = j >= e.begin && j < e.end && k < 8 && (e.store_mask >> k & 1) != 0;
                const Word want = written ? expected(a, ss, e.first, e.last, e.load_mask, j, k) : 0x5A5A;
                ASSERT_EQ(t[j * ds + k], want) << "rows " << e.first << ".." << e.last << " row " << j << " word " << k;
            }
        }
    }
}

TEST_P(TransposeUnit, StreamedRowsMatchStoredOnes) {
    std::mt19937_64 rng(48);
    const std::size_t ss = w, ds = 16;
    std::vector<Word> a(512 * ss), stored(64 * w * ds, 1), streamed(64 * w * ds + 8, 1);
    for (Word& x : a) x = rng();
    const auto at = reinterpret_cast<std::uintptr_t>(streamed.data());
    Word* line = streamed.data() + (64 - at % 64) % 64 / sizeof(Word);
    run({.src = a.data(), .ss = ss, .load_mask = all}, {.dst = stored.data(), .ds = ds, .end = 200});
    run({.src = a.data(), .ss = ss, .load_mask = all}, {.dst = line, .ds = ds, .end = 200, .stream = true});
    _mm_sfence();
    EXPECT_TRUE(std::equal(stored.begin(), stored.end(), line));
}
#endif

using ShapeParam = std::tuple<std::pair<std::uint64_t, std::uint64_t>, const Kernels*>;
class TransposeShapes : public ::testing::TestWithParam<ShapeParam> {};

std::string shape_param_name(const ::testing::TestParamInfo<ShapeParam>& info) {
    const auto& shape = std::get<0>(info.param);
    return std::to_string(shape.first) + "x" + std::to_string(shape.second) + "_" +
           testing::set_name(*std::get<1>(info.param));
}

TEST_P(TransposeShapes, MatchesReferenceAndElements) {
    const auto [rows, cols] = std::get<0>(GetParam());
    const testing::UsingKernels active(*std::get<1>(GetParam()));
    std::mt19937_64 rng(rows * 1000 + cols);
    for (const double density : {0.02, 0.5}) {
        const BitMatrix a = random_matrix(rng, rows, cols, density);
        const BitMatrix t = ok(transpose(a));
        ASSERT_EQ(t.rows(), cols);
        ASSERT_EQ(t.cols(), rows);
        EXPECT_EQ(words_of(t), words_of(ok(transpose_scalar(a))));
        for (std::uint64_t i = 0; i < rows; ++i) {
            for (std::uint64_t j = 0; j < cols; ++j) ASSERT_EQ(t.get_unchecked(j, i), a.get_unchecked(i, j));
        }
        EXPECT_EQ(t.count_ones(), a.count_ones());
        EXPECT_TRUE(equals(ok(transpose(t)), a));
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, TransposeShapes,
                         ::testing::Combine(::testing::Values(std::pair{1, 1}, std::pair{1, 200}, std::pair{200, 1},
                                                              std::pair{63, 65}, std::pair{64, 64}, std::pair{65, 65},
                                                              std::pair{130, 200}, std::pair{128, 129},
                                                              std::pair{127, 64}, std::pair{3, 70}, std::pair{513, 70},
                                                              std::pair{70, 600}, std::pair{640, 577}),
                                            ::testing::ValuesIn(testing::runnable_kernel_sets())),
                         shape_param_name);

TEST_P(Transpose, LargeRandomMatchesReference) {
    std::mt19937_64 rng(42);
    // Superblocks in odd numbers of bands and runs, with ragged borders on
    // either side or none at all; runs cut short at 32 superblock rows (8960
    // rows: a full run and a short one in every band, each written out while
    // the next is transposed); results large enough to be streamed, with an
    // even stride (4460 rows) or an odd one (4100, not streamed), and 8192
    // rows in whole runs;
    // single rows and columns and the tall-thin shapes of a factorisation,
    // which have no superblocks at all; a single superblock row streamed,
    // its runs shorter than a line. For the units of 512 rows: a streamed
    // result whose rows are whole lines, with units reaching past both ends
    // of t's rows and past the last word of a's (4096 x 4160); large
    // results whose rows are too short to stream from their first line,
    // with units reaching past both ends of a's rows (2048 x 8192) or past
    // its last row (1000 x 20000); a result too small to stream, with units
    // past the last row and word (600 x 700).
    for (const auto& [rows, cols] :
         {std::pair{1100, 1300}, std::pair{1300, 1100}, std::pair{512, 768}, std::pair{2048, 256},
          std::pair{257, 2049}, std::pair{4352, 300}, std::pair{4460, 3900}, std::pair{4100, 4200},
          std::pair{8192, 520}, std::pair{8960, 1100}, std::pair{1, 70000}, std::pair{70000, 1}, std::pair{1000000, 26},
          std::pair{26, 1000000}, std::pair{300, 70000}, std::pair{2048, 8192}, std::pair{4096, 4160},
          std::pair{1000, 20000}, std::pair{600, 700}}) {
        const BitMatrix a = random_words(rng, rows, cols);
        EXPECT_EQ(words_of(ok(transpose(a))), words_of(ok(transpose_scalar(a)))) << rows << "x" << cols;
    }
}

// Rows of whole lines (a stride of 8 words) start the superblocks (and the
// units) at the first line boundary, the words before it going to the
// border: every place of a's first word within a line, with borders on
// both sides or on one, and a result large enough to be streamed, whose
// odd stride puts its rows at every place of a line too, or whose rows are
// whole lines (4096 x 4096).
TEST_P(Transpose, EveryStartWithinALine) {
    std::mt19937_64 rng(45);
    const Lender lender{[](void*) noexcept {}, nullptr};
    for (const auto& [rows, cols] :
         {std::pair{600, 1000}, std::pair{520, 512}, std::pair{4500, 4096}, std::pair{4096, 4096}}) {
        const std::uint64_t stride = words_for(cols);
        std::vector<Word> lent(rows * stride + 8);
        for (std::size_t offset = 0; offset < 8; ++offset) {
            for (std::size_t k = 0; k < rows * stride; ++k) {
                lent[offset + k] = rng() & valid_bits(cols, k % stride, stride);
            }
            const BitMatrix a =
                ok(BitMatrix::over_words(Buffer<Word>::borrow(lent.data() + offset, rows * stride, lender), rows, cols));
            ASSERT_EQ(words_of(ok(transpose(a))), words_of(ok(transpose_scalar(a))))
                << rows << "x" << cols << " from word " << offset;
        }
    }
}

TEST_P(Transpose, OnesKeepTheirZeroTails) {
    for (const std::uint64_t rows : {1, 3, 63, 64, 65, 70}) {
        for (const std::uint64_t cols : testing::kEdgeWidths) {
            const BitMatrix t = ok(transpose(ok(BitMatrix::ones(rows, cols))));
            ASSERT_EQ(words_of(t), words_of(ok(BitMatrix::ones(cols, rows)))) << rows << "x" << cols;
        }
    }
}

TEST_P(Transpose, RowVectorBecomesOneWordPerRow) {
    BitMatrix a = ok(BitMatrix::zeros(1, 200));
    for (const std::uint64_t j : {0, 63, 64, 130, 199}) ASSERT_TRUE(a.set(0, j, true));
    const BitMatrix t = ok(transpose(a));
    EXPECT_EQ(t.stride(), 1u);
    ASSERT_EQ(t.words().size(), 200u);
    for (std::uint64_t j = 0; j < 200; ++j) {
        const bool set = j == 0 || j == 63 || j == 64 || j == 130 || j == 199;
        EXPECT_EQ(t.words()[j], set ? 1u : 0u) << j;
    }
}

TEST_P(Transpose, SingleElementLandsInItsWord) {
    BitMatrix a = ok(BitMatrix::zeros(3, 70));
    ASSERT_TRUE(a.set(2, 69, true));
    const BitMatrix t = ok(transpose(a));
    std::vector<Word> expected(70, 0);
    expected[69] = 0x4;
    EXPECT_EQ(words_of(t), expected);
}

}  // namespace
}  // namespace boolmat
