// The byte and lane exchanges of the x86-64 block transposes: AVX2 code that
// the avx2 and gfni kernels both use.
//
// Include it only inside a VALDRIX_AVX2_BEGIN or VALDRIX_GFNI_BEGIN region,
// after <immintrin.h> and <cstddef>: each kernel file then compiles its own
// copy for its own set, with internal linkage, so that no file built for
// another set (or for the baseline) can link to it.
#pragma once

namespace boolmat {
namespace {

// The 8 x 16 byte transpose inside each 128-bit lane of the vectors r[0],
// r[Step], ..., r[7 Step], in three unpack stages (bytes, 16-bit units,
// 32-bit units): with r[Step i] holding row i, afterwards byte k of
// r[Step p] (in each lane) is byte 2p + k / 8 of row k % 8, that is r[Step p]
// holds the 64-bit columns 2p and 2p + 1.
template <std::size_t Step>
inline void byte_net(__m256i* r) noexcept {
    const __m256i l01 = _mm256_unpacklo_epi8(r[0 * Step], r[1 * Step]);
    const __m256i h01 = _mm256_unpackhi_epi8(r[0 * Step], r[1 * Step]);
    const __m256i l23 = _mm256_unpacklo_epi8(r[2 * Step], r[3 * Step]);
    const __m256i h23 = _mm256_unpackhi_epi8(r[2 * Step], r[3 * Step]);
    const __m256i l45 = _mm256_unpacklo_epi8(r[4 * Step], r[5 * Step]);
    const __m256i h45 = _mm256_unpackhi_epi8(r[4 * Step], r[5 * Step]);
    const __m256i l67 = _mm256_unpacklo_epi8(r[6 * Step], r[7 * Step]);
    const __m256i h67 = _mm256_unpackhi_epi8(r[6 * Step], r[7 * Step]);
    const __m256i a0 = _mm256_unpacklo_epi16(l01, l23), a1 = _mm256_unpackhi_epi16(l01, l23);
    const __m256i a2 = _mm256_unpacklo_epi16(h01, h23), a3 = _mm256_unpackhi_epi16(h01, h23);
    const __m256i b0 = _mm256_unpacklo_epi16(l45, l67), b1 = _mm256_unpackhi_epi16(l45, l67);
    const __m256i b2 = _mm256_unpacklo_epi16(h45, h67), b3 = _mm256_unpackhi_epi16(h45, h67);
    r[0 * Step] = _mm256_unpacklo_epi32(a0, b0);
    r[1 * Step] = _mm256_unpackhi_epi32(a0, b0);
    r[2 * Step] = _mm256_unpacklo_epi32(a1, b1);
    r[3 * Step] = _mm256_unpackhi_epi32(a1, b1);
    r[4 * Step] = _mm256_unpacklo_epi32(a2, b2);
    r[5 * Step] = _mm256_unpackhi_epi32(a2, b2);
    r[6 * Step] = _mm256_unpacklo_epi32(a3, b3);
    r[7 * Step] = _mm256_unpackhi_epi32(a3, b3);
}

// The 4 x 4 transpose of 64-bit lanes: rows p0..p3 in, columns out (out[c]
// holds lane c of p0, p1, p2, p3).
inline void lane_transpose(__m256i p0, __m256i p1, __m256i p2, __m256i p3, __m256i out[4]) noexcept {
    const __m256i t0 = _mm256_unpacklo_epi64(p0, p1);
    const __m256i t1 = _mm256_unpackhi_epi64(p0, p1);
    const __m256i t2 = _mm256_unpacklo_epi64(p2, p3);
    const __m256i t3 = _mm256_unpackhi_epi64(p2, p3);
    out[0] = _mm256_permute2x128_si256(t0, t2, 0x20);
    out[1] = _mm256_permute2x128_si256(t1, t3, 0x20);
    out[2] = _mm256_permute2x128_si256(t0, t2, 0x31);
    out[3] = _mm256_permute2x128_si256(t1, t3, 0x31);
}

}  // namespace
}  // namespace boolmat
