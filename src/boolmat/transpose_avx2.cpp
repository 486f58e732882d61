// 64 x 64 bit block transpose with AVX2 only. Stages 4, 2, 1 (and 8 in the
// single block) of the six-stage reference run between whole vectors, each
// holding rows of four blocks side by side: three shifts, xors and a mask
// per pair of vectors, the same bits moved as in the reference. The byte
// and word moves that are left are unpacks and permutes (the superblock's
// plan is described above its kernel).
// Timings and the variants tried: bench/notes/transpose.md.
#include <immintrin.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "boolmat/target.hpp"
#include "boolmat/transpose.hpp"
#include "boolmat/transpose_kernels.hpp"

VALDRIX_AVX2_BEGIN
#include "boolmat/transpose_bytes_avx2.hpp"
#include "boolmat/transpose_units.hpp"
#include "boolmat/transpose_units_256.hpp"

namespace boolmat::avx2 {
namespace {

// Stage j of the six-stage reference between rows a and b = a + j: bits
// j..2j-1 of each 2j-bit group of a trade places with bits 0..j-1 of b.
template <int J>
inline void swap_stage(__m256i& a, __m256i& b, __m256i mask) {
    const __m256i t = _mm256_and_si256(_mm256_xor_si256(_mm256_srli_epi64(a, J), b), mask);
    b = _mm256_xor_si256(b, t);
    a = _mm256_xor_si256(a, _mm256_slli_epi64(t, J));
}

// Stages 4, 2, 1 between the 8 rows x[0..7]: each byte of x[k] then holds
// bit k of the 8 bytes in the same place in x[0..7].
inline void bit_stages(__m256i x[8]) {
    const __m256i m4 = _mm256_set1_epi8(0x0F), m2 = _mm256_set1_epi8(0x33), m1 = _mm256_set1_epi8(0x55);
    for (int k = 0; k < 4; ++k) swap_stage<4>(x[k], x[k + 4], m4);
    for (int k : {0, 1, 4, 5}) swap_stage<2>(x[k], x[k + 2], m2);
    for (int k : {0, 2, 4, 6}) swap_stage<1>(x[k], x[k + 1], m1);
}

// Two words from anywhere into one vector, and back. Built from loads and
// stores of halves: assembling the vector from general registers goes
// through the stack, where the wide reload waits for the narrow stores.
inline __m128i load_pair(const Word* a, const Word* b) {
    const __m128d lo = _mm_castsi128_pd(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(a)));
    return _mm_castpd_si128(_mm_loadh_pd(lo, reinterpret_cast<const double*>(b)));
}

inline void store_pair(__m128i v, Word* a, Word* b) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(a), v);
    _mm_storeh_pd(reinterpret_cast<double*>(b), _mm_castsi128_pd(v));
}

}  // namespace

// The superblock: bit (R, C) of the 256 x 256 square, R = row, C = column
// (C7 C6: the word of the row, C5..C3 its byte, C2..C0 the bit), must move
// to row C, word R7 R6, byte R5..R3, bit R2..R0. Three passes through a
// buffer of 256 vectors:
//   1. rows in groups of 8 (R2..R0 varying): stages 4, 2, 1 of the
//      reference swap R2..R0 with C2..C0, so vector 8g + c holds bit c of
//      every byte of group g's rows;
//   2. for each c and block row: an 8 x 8 byte exchange between the groups
//      of the block row by unpacks of bytes, 16 and 32-bit units (three
//      shuffles per vector), which swaps R5..R3 with C5..C3 but leaves C3 in
//      the 64-bit half of each 128-bit lane;
//   3. a 4 x 4 exchange of 64-bit lanes (an unpack and a 128-bit permute
//      per vector) puts the block rows in the words and C7, C3 back in the
//      row number.
namespace {

using Square = __m256i[256];

// The driver walks each band of superblocks downwards, so the rows kAhead
// below those being read are read next (at the foot of a band: rows past
// the matrix or of the next band, harmless as a prefetch never faults).
// Only the last line of each row's segment is fetched: with the allocator's
// 16-byte alignment a segment straddles two lines, and the first one was
// read with the band to its left.
constexpr std::size_t kAhead = 32;

inline void prefetch_row_end(const Word* src, std::size_t ss, std::size_t row, std::size_t bytes) {
    const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(src) + row * ss * sizeof(Word) + bytes - 1;
    _mm_prefetch(reinterpret_cast<const char*>(at), _MM_HINT_T0);
}

// Pass 1 for group g: 8 rows of 4 words read at src, stride ss.
inline void group_bits(const Word* src, std::size_t ss, std::size_t g, Square& buf) {
    __m256i x[8];
    for (std::size_t i = 0; i < 8; ++i) {
        x[i] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + (8 * g + i) * ss));
    }
    bit_stages(x);
    for (std::size_t c = 0; c < 8; ++c) buf[8 * g + c] = x[c];
}

// Pass 3 for bit c and columns C6 C5 C4 = p: the four block rows' vectors
// 8(8h + p) + c to output rows 128 C7 + 16 p + 8 C3 + c.
inline void lane_exchange(const Square& buf, std::size_t p, std::size_t c, Word* dst, std::size_t ds) {
    const __m256i* v = buf + 8 * p + c;
    __m256i out[4];
    lane_transpose(v[0], v[64], v[128], v[192], out);
    Word* row = dst + (16 * p + c) * ds;
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(row), out[0]);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(row + 8 * ds), out[1]);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(row + 128 * ds), out[2]);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(row + 136 * ds), out[3]);
}

inline void finish(Square& buf, Word* dst, std::size_t ds) {
    // Pass 2 for bit c of block row h: in, vector 8(8h + e) + c for e =
    // R5..R3; out in their places, vector 8(8h + p) + c holding columns
    // C6 C5 C4 = p, byte R5..R3 of its 64-bit halves, C3 selecting the half.
    for (std::size_t h = 0; h < 4; ++h) {
        for (std::size_t c = 0; c < 8; ++c) byte_net<8>(buf + 64 * h + c);
    }
    for (std::size_t p = 0; p < 8; ++p) {
        for (std::size_t c = 0; c < 8; ++c) lane_exchange(buf, p, c, dst, ds);
    }
}

}  // namespace

void transpose_superblock(const Word* src, std::size_t ss, Word* dst, std::size_t ds) noexcept {
    alignas(32) Square buf;
    for (std::size_t g = 0; g < 32; ++g) {
        for (std::size_t i = 0; i < 8; ++i) prefetch_row_end(src, ss, 8 * g + i + kAhead, 32);
        group_bits(src, ss, g, buf);
    }
    finish(buf, dst, ds);
}

// Each row of the pair read once, both halves while its line is in the
// first-level cache (see the driver).
void transpose_superblock_pair(const Word* src, std::size_t ss, Word* dst0, Word* dst1, std::size_t ds) noexcept {
    alignas(32) Square b0, b1;
    for (std::size_t g = 0; g < 32; ++g) {
        for (std::size_t i = 0; i < 8; ++i) prefetch_row_end(src, ss, 8 * g + i + kAhead, 64);
        group_bits(src, ss, g, b0);
        group_bits(src + 4, ss, g, b1);
    }
    finish(b0, dst0, ds);
    finish(b1, dst1, ds);
}

// The single block holds rows q, q + 16, q + 32, q + 48 in the words of
// vector q (R5 R4 the word, R3..R0 the vector). Stages 4, 2, 1 and 8 of the
// reference between vectors swap R3..R0 with C3..C0; within each vector, a
// permutation of 32-bit units then a byte shuffle swap the word with bits
// C5 C4 (byte bits 2 and 1). Vector q then holds output rows q, q + 16, q +
// 32, q + 48 likewise.
void transpose_block(const Word* src, std::size_t ss, Word* dst, std::size_t ds) noexcept {
    __m256i x[16];
    for (std::size_t q = 0; q < 16; ++q) {
        x[q] = _mm256_inserti128_si256(_mm256_castsi128_si256(load_pair(src + q * ss, src + (q + 16) * ss)),
                                       load_pair(src + (q + 32) * ss, src + (q + 48) * ss), 1);
    }
    bit_stages(x);
    bit_stages(x + 8);
    const __m256i m8 = _mm256_set1_epi16(0x00FF);
    for (std::size_t q = 0; q < 8; ++q) swap_stage<8>(x[q], x[q + 8], m8);
    // 32-bit unit (W1 W0 B2) goes to (B2 W0 W1)...
    const __m256i units = _mm256_setr_epi32(0, 4, 2, 6, 1, 5, 3, 7);
    // ...then byte (w, b) of each 128-bit lane, w = W0 the 64-bit half and b
    // = (B1 B0 ...) its byte, swaps W0 with B1.
    const __m256i bytes = _mm256_setr_epi8(0, 1, 8, 9, 4, 5, 12, 13, 2, 3, 10, 11, 6, 7, 14, 15,  //
                                           0, 1, 8, 9, 4, 5, 12, 13, 2, 3, 10, 11, 6, 7, 14, 15);
    for (std::size_t q = 0; q < 16; ++q) {
        const __m256i y = _mm256_shuffle_epi8(_mm256_permutevar8x32_epi32(x[q], units), bytes);
        store_pair(_mm256_castsi256_si128(y), dst + q * ds, dst + (q + 16) * ds);
        store_pair(_mm256_extracti128_si256(y, 1), dst + (q + 32) * ds, dst + (q + 48) * ds);
    }
}

void transpose_unit_step(const UnitStep& step) noexcept { unit_step_256<false>(step); }

Result<BitMatrix> transpose(const BitMatrix& a, const Interrupt& stop) {
    return transpose_in_units<4>(a, transpose_unit_step, kTransposeBlocks, stop);
}

}  // namespace boolmat::avx2
VALDRIX_TARGET_END
