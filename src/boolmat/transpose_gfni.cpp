// 64 x 64 bit block transpose with GFNI. The block is an 8 x 8 grid of
// 8 x 8-bit tiles, tile (g, c) being byte c of rows 8g..8g+7. Three steps:
//   1. byte transpose inside every group of 8 rows, so that each tile sits in
//      one 64-bit lane (its rows in reverse byte order);
//   2. gf2p8affineqb with the tile as the matrix and the bytes 1, 2, 4, ...,
//      128 as the vector transposes all four tiles of a vector at once (the
//      instruction reads matrix rows from the top byte down, hence the
//      reversed order of step 1);
//   3. a 4 x 4 exchange of 64-bit lanes gathers the tiles of each output
//      group, and the byte transpose of step 1 spreads them back into rows.
// Every step is a fixed shuffle of whole bytes or lanes, so the words written
// are those of the six-stage reference.
//
// The single-block kernel gathers its 64 words one by one and scatters its
// results likewise, which costs as much as the transposing itself. The
// superblock kernel (4 x 4 blocks) moves whole 32-byte rows instead and runs
// the byte transposes on all four blocks of a row at once, at less than half
// the single block's cost per word (figures: bench/notes/transpose.md).
#include <immintrin.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "boolmat/target.hpp"
#include "boolmat/transpose_kernels.hpp"

VALDRIX_GFNI_BEGIN
#include "boolmat/transpose_bytes_avx2.hpp"
#include "boolmat/transpose_units.hpp"
#include "boolmat/transpose_units_256.hpp"

namespace boolmat::gfni {
namespace {

// In: a = [x0 x1 | x2 x3], b = [y0 y1 | y2 y3] (64-bit lanes, "|" the
// 128-bit boundary). Out: lo holds the 64-bit columns 0..3, hi the columns
// 4..7 of the byte matrix whose rows are x0 y0 x1 y1 x2 y2 x3 y3: byte r of
// column c is byte c of row r.
inline void byte_transpose(__m256i a, __m256i b, __m256i& lo, __m256i& hi) {
    const __m256i t0 = _mm256_unpacklo_epi8(a, b);
    const __m256i t1 = _mm256_unpackhi_epi8(a, b);
    const __m256i u0 = _mm256_unpacklo_epi16(t0, t1);
    const __m256i u1 = _mm256_unpackhi_epi16(t0, t1);
    constexpr int kOrder = _MM_SHUFFLE(3, 1, 2, 0);
    lo = _mm256_shuffle_epi32(_mm256_permute4x64_epi64(u0, kOrder), kOrder);
    hi = _mm256_shuffle_epi32(_mm256_permute4x64_epi64(u1, kOrder), kOrder);
}

inline __m256i gather4(const Word* src, std::size_t s, std::size_t k0, std::size_t k1, std::size_t k2,
                       std::size_t k3) {
    return _mm256_set_epi64x(static_cast<long long>(src[k3 * s]), static_cast<long long>(src[k2 * s]),
                             static_cast<long long>(src[k1 * s]), static_cast<long long>(src[k0 * s]));
}

inline void scatter4(Word* dst, std::size_t s, std::size_t k0, __m256i v) {
    const __m128i lo = _mm256_castsi256_si128(v);
    const __m128i hi = _mm256_extracti128_si256(v, 1);
    dst[k0 * s] = static_cast<Word>(_mm_cvtsi128_si64(lo));
    dst[(k0 + 1) * s] = static_cast<Word>(_mm_extract_epi64(lo, 1));
    dst[(k0 + 2) * s] = static_cast<Word>(_mm_cvtsi128_si64(hi));
    dst[(k0 + 3) * s] = static_cast<Word>(_mm_extract_epi64(hi, 1));
}

inline __m256i load2(const __m256i* lo_src, const __m256i* hi_src, int lane) {
    const auto* lo = reinterpret_cast<const __m128i*>(lo_src) + lane;
    const auto* hi = reinterpret_cast<const __m128i*>(hi_src) + lane;
    return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_load_si128(lo)), _mm_load_si128(hi), 1);
}

// tiles[g][p]: the transposed tiles (g, 2p), (g, 2p+1) | (g, 16+2p),
// (g, 17+2p), byte j of tile (g, e) being byte g of output row 8e + j. Row i
// of a superblock is 32 bytes, byte column e (0..31) being bits 8e..8e+7;
// tile (g, e) is byte column e of rows 8g..8g+7.
using Tiles = __m256i[32][8];

// The tiles of row group g.
inline void load_group(const Word* src, std::size_t ss, std::size_t g, Tiles& tiles) {
    const __m256i unit = _mm256_set1_epi64x(0x8040201008040201ll);
    __m256i r[8];
    // Rows in reverse order: gf2p8affineqb reads the matrix rows from the
    // top byte down.
    for (std::size_t i = 0; i < 8; ++i) {
        r[i] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + (8 * g + 7 - i) * ss));
    }
    byte_net<1>(r);
    for (std::size_t p = 0; p < 8; ++p) tiles[g][p] = _mm256_gf2p8affine_epi64_epi8(unit, r[p], 0);
}

// The 256 output rows from the tiles.
inline void store_rows(const Tiles& tiles, Word* dst, std::size_t ds) {
    for (int lane = 0; lane < 2; ++lane) {
        for (std::size_t p = 0; p < 8; ++p) {
            // Output groups e = 16 lane + 2p (from the low 64-bit halves) and
            // e + 1 (high halves). Interleaving the tiles of rows g and g + 8
            // byte by byte lets byte_net produce whole output rows: byte k of
            // row j comes from tile (k, e), or (16 + k, e) in the high lane.
            __m256i lo[8], hi[8];
            for (std::size_t a = 0; a < 8; ++a) {
                const __m256i y = load2(&tiles[a][p], &tiles[16 + a][p], lane);
                const __m256i z = load2(&tiles[8 + a][p], &tiles[24 + a][p], lane);
                lo[a] = _mm256_unpacklo_epi8(y, z);
                hi[a] = _mm256_unpackhi_epi8(y, z);
            }
            byte_net<1>(lo);
            byte_net<1>(hi);
            const std::size_t e = 16 * lane + 2 * p;
            for (std::size_t j = 0; j < 8; ++j) {
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + (8 * e + j) * ds), lo[j]);
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + (8 * e + 8 + j) * ds), hi[j]);
            }
        }
    }
}
}  // namespace

void transpose_superblock(const Word* src, std::size_t ss, Word* dst, std::size_t ds) noexcept {
    alignas(32) Tiles tiles;
    for (std::size_t g = 0; g < 32; ++g) load_group(src, ss, g, tiles);
    store_rows(tiles, dst, ds);
}

// Reading each row of the pair once, the second half while its line is still
// in the first-level cache, rather than superblock by superblock: with rows
// a power of two apart, a superblock's 256 lines map to the same few places
// of the cache and are gone before the neighbouring superblock reads their
// other half.
void transpose_superblock_pair(const Word* src, std::size_t ss, Word* dst0, Word* dst1, std::size_t ds) noexcept {
    alignas(32) Tiles t0, t1;
    for (std::size_t g = 0; g < 32; ++g) {
        load_group(src, ss, g, t0);
        load_group(src + 4, ss, g, t1);
    }
    store_rows(t0, dst0, ds);
    store_rows(t1, dst1, ds);
}

void transpose_block(const Word* src, std::size_t ss, Word* dst, std::size_t ds) noexcept {
    const __m256i unit = _mm256_set1_epi64x(0x8040201008040201ll);
    // tiles[g][h]: the tiles (g, 4h..4h+3) of row group g, transposed.
    __m256i tiles[8][2];
    for (std::size_t g = 0; g < 8; ++g) {
        const std::size_t r = 8 * g;
        // Rows interleaved as 7 6 5 4 3 2 1 0 by byte_transpose.
        const __m256i a = gather4(src, ss, r + 7, r + 5, r + 3, r + 1);
        const __m256i b = gather4(src, ss, r + 6, r + 4, r + 2, r + 0);
        __m256i lo, hi;
        byte_transpose(a, b, lo, hi);
        tiles[g][0] = _mm256_gf2p8affine_epi64_epi8(unit, lo, 0);
        tiles[g][1] = _mm256_gf2p8affine_epi64_epi8(unit, hi, 0);
    }
    for (std::size_t h = 0; h < 2; ++h) {
        // even[c] = [tile(0,c) tile(2,c) | tile(4,c) tile(6,c)], odd[c] the
        // odd groups, for c = 4h..4h+3: rows interleaved as 0 1 2 ... 7.
        __m256i even[4], odd[4];
        lane_transpose(tiles[0][h], tiles[2][h], tiles[4][h], tiles[6][h], even);
        lane_transpose(tiles[1][h], tiles[3][h], tiles[5][h], tiles[7][h], odd);
        for (std::size_t c = 0; c < 4; ++c) {
            __m256i lo, hi;
            byte_transpose(even[c], odd[c], lo, hi);
            const std::size_t k = 8 * (4 * h + c);
            scatter4(dst, ds, k, lo);
            scatter4(dst, ds, k + 4, hi);
        }
    }
}

void transpose_unit_step(const UnitStep& step) noexcept { unit_step_256<true>(step); }

Result<BitMatrix> transpose(const BitMatrix& a, const Interrupt& stop) {
    return transpose_in_units<4>(a, transpose_unit_step, kTransposeBlocks, stop);
}

}  // namespace boolmat::gfni
VALDRIX_TARGET_END
