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
#include <immintrin.h>

#include "boolmat/transpose_kernels.hpp"

namespace boolmat {
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

// Rows p0..p3 of 64-bit lanes in, columns out.
inline void lane_transpose(__m256i p0, __m256i p1, __m256i p2, __m256i p3, __m256i out[4]) {
    const __m256i t0 = _mm256_unpacklo_epi64(p0, p1);
    const __m256i t1 = _mm256_unpackhi_epi64(p0, p1);
    const __m256i t2 = _mm256_unpacklo_epi64(p2, p3);
    const __m256i t3 = _mm256_unpackhi_epi64(p2, p3);
    out[0] = _mm256_permute2x128_si256(t0, t2, 0x20);
    out[1] = _mm256_permute2x128_si256(t1, t3, 0x20);
    out[2] = _mm256_permute2x128_si256(t0, t2, 0x31);
    out[3] = _mm256_permute2x128_si256(t1, t3, 0x31);
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

}  // namespace

void transpose_block_gfni(const Word* src, std::size_t ss, Word* dst, std::size_t ds) noexcept {
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

}  // namespace boolmat
