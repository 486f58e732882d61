// The AVX-512 set's transpose: matrices of 512 rows or more in 512 x 512
// units (transpose_units.hpp), the others by the x86-64 driver with the
// GFNI block kernels.
//
// Bit (R, C) of a unit, R = G g i (3 bits each: block row, group of 8 rows,
// row in the group) and C = w c b (word, byte, bit), goes to row C of the
// result, byte G g, bit i. A row of 8 words is one vector; two passes
// through a 32 KiB scratch:
//   1. rows in groups of 8 (i varying), two groups at a time (G1 = 0, 1):
//      stages 4, 2, 1 of the six-stage reference swap i with b (vector b
//      then holds bit b of every byte of the group's rows, bit i from row
//      i), then a 2-source qword permute swaps G1 with w1 (the 128-bit
//      lane's low bit): vector w1 of a pair holds lanes (w2, G1);
//   2. for each w2, w1, b: sixteen vectors (G0 g varying), each assembled
//      from two 32-byte halves (G2 = 0, 1, the half w2 of each), which swaps
//      w2 with G2; an in-lane 16 x 16 byte transpose (four unpack stages)
//      swaps w0 c with G0 g. Each result is a whole line of a row of t.
// Every vector instruction here moves whole bits, bytes or lanes, so the
// words are those of the reference.
//
// A step reads one unit (pass 1) while it writes the one before (pass 2)
// and prefetches the one after, a slice of each at a time: the reads of a,
// the writes of t and the shuffles then overlap instead of following one
// another. Figures and variants tried: bench/notes/transpose.md.
#include <immintrin.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "boolmat/target.hpp"
#include "boolmat/transpose.hpp"
#include "boolmat/transpose_kernels.hpp"

VALDRIX_AVX512_BEGIN
// GCC 12 warns that the unset pass-through operand of the unmasked 512-bit
// shifts, unpacks and broadcasts may be used: it is not (the mask is all
// ones).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include "boolmat/transpose_units.hpp"

namespace boolmat::avx512 {
namespace {

constexpr std::uintptr_t kLine = 64;

// Stage j of the reference between rows a and b = a + j: bits j..2j-1 of
// each 2j-bit group of a trade places with bits 0..j-1 of b. `low` has the
// low j bits of each group set.
template <int J>
inline void swap_stage(__m512i& a, __m512i& b, __m512i low) {
    const __m512i a_high = _mm512_srli_epi64(a, J);
    const __m512i b_low = _mm512_slli_epi64(b, J);
    constexpr int kSelect = 0xCA;  // first operand ? second : third, bit by bit
    b = _mm512_ternarylogic_epi64(low, a_high, b, kSelect);
    a = _mm512_ternarylogic_epi64(low, a, b_low, kSelect);
}

inline void bit_stages(__m512i x[8]) {
    const __m512i m4 = _mm512_set1_epi8(0x0F), m2 = _mm512_set1_epi8(0x33), m1 = _mm512_set1_epi8(0x55);
    for (int k = 0; k < 4; ++k) swap_stage<4>(x[k], x[k + 4], m4);
    for (int k : {0, 1, 4, 5}) swap_stage<2>(x[k], x[k + 2], m2);
    for (int k : {0, 2, 4, 6}) swap_stage<1>(x[k], x[k + 1], m1);
}

constexpr unsigned reverse4(unsigned x) {
    return ((x & 1) << 3) | ((x & 2) << 1) | ((x & 4) >> 1) | ((x & 8) >> 3);
}

// Scratch entry (64 bytes) of pass 1's vector for w1, b, from the group pair
// p = G2 G0 g: pass 2 reads, for each w2 w1 b, the 16 pairs of G0 g (in the
// order its byte transpose wants them) and both values of G2 side by side.
inline std::size_t entry(unsigned w1, unsigned b, unsigned p) {
    return ((w1 * 8 + b) * 16 + reverse4(p & 15)) * 2 + (p >> 4);
}

// Row i of the unit, zeros where a has no words (Edge: a unit reaching
// past the matrix).
template <bool Edge>
inline __m512i load_row(const UnitStep& s, std::size_t i) {
    if constexpr (Edge) {
        if (i < s.first || i >= s.last) return _mm512_setzero_si512();
        return _mm512_maskz_loadu_epi64(static_cast<__mmask8>(s.load_mask), s.src + i * s.ss);
    }
    return _mm512_loadu_si512(s.src + i * s.ss);
}

// Pass 1 for the group pair p (0..31): rows 8q + i of the unit for q = (G2
// G1 G0 g) with G1 = 0 and 1.
template <bool Edge>
inline void read_pair(const UnitStep& s, __m512i* scratch, unsigned p) {
    const unsigned q0 = ((p & 16) << 1) | (p & 15), q1 = q0 | 16;
    __m512i x[8], y[8];
#pragma GCC unroll 8
    for (unsigned i = 0; i < 8; ++i) {
        x[i] = load_row<Edge>(s, 8 * q0 + i);
        y[i] = load_row<Edge>(s, 8 * q1 + i);
    }
    bit_stages(x);
    bit_stages(y);
    // Lanes (w2 w1) of x (G1 = 0) and y (G1 = 1) -> vector w1, lanes (w2 G1).
    const __m512i even = _mm512_setr_epi64(0, 1, 8, 9, 4, 5, 12, 13);
    const __m512i odd = _mm512_setr_epi64(2, 3, 10, 11, 6, 7, 14, 15);
#pragma GCC unroll 8
    for (unsigned b = 0; b < 8; ++b) {
        _mm512_store_si512(scratch + entry(0, b, p), _mm512_permutex2var_epi64(x[b], even, y[b]));
        _mm512_store_si512(scratch + entry(1, b, p), _mm512_permutex2var_epi64(x[b], odd, y[b]));
    }
}

// Pass 2 for o = w2 w1 b (0..31): the 16 result rows w c b for w = (w2 w1
// w0), w0 and c varying.
inline void write_rows(const __m512i* scratch, const UnitStep& s, unsigned o) {
    const unsigned w2 = o >> 4, w1 = (o >> 3) & 1, b = o & 7;
    const auto* halves = reinterpret_cast<const __m256i*>(scratch + entry(w1, b, 0)) + w2;
    __m512i r[16], n[16];
#pragma GCC unroll 16
    for (unsigned j = 0; j < 16; ++j) {
        // Broadcasts and a blend rather than an insert: the blend can issue
        // on either vector port, the insert only on the shuffle one.
        const __m512i g0 = _mm512_broadcast_i64x4(_mm256_load_si256(halves + 4 * j));
        const __m512i g1 = _mm512_broadcast_i64x4(_mm256_load_si256(halves + 4 * j + 2));
        r[j] = _mm512_mask_blend_epi64(0xF0, g0, g1);
    }
    // Byte j of vector k (in each lane) -> byte k of vector j, the bytes
    // coming out in the bit-reversed order that entry() compensates.
#pragma GCC unroll 8
    for (unsigned k = 0; k < 8; ++k) {
        n[2 * k] = _mm512_unpacklo_epi8(r[k], r[k + 8]);
        n[2 * k + 1] = _mm512_unpackhi_epi8(r[k], r[k + 8]);
    }
#pragma GCC unroll 8
    for (unsigned k = 0; k < 8; ++k) {
        r[2 * k] = _mm512_unpacklo_epi16(n[k], n[k + 8]);
        r[2 * k + 1] = _mm512_unpackhi_epi16(n[k], n[k + 8]);
    }
#pragma GCC unroll 8
    for (unsigned k = 0; k < 8; ++k) {
        n[2 * k] = _mm512_unpacklo_epi32(r[k], r[k + 8]);
        n[2 * k + 1] = _mm512_unpackhi_epi32(r[k], r[k + 8]);
    }
#pragma GCC unroll 8
    for (unsigned k = 0; k < 8; ++k) {
        r[2 * k] = _mm512_unpacklo_epi64(n[k], n[k + 8]);
        r[2 * k + 1] = _mm512_unpackhi_epi64(n[k], n[k + 8]);
    }
#pragma GCC unroll 16
    for (unsigned m = 0; m < 16; ++m) {
        // m = w0 c
        const std::size_t row = (4 * w2 + 2 * w1 + (m >> 3)) * 64 + (m & 7) * 8 + b;
        if (row < s.begin || row >= s.end) continue;
        Word* to = s.dst + row * s.ds;
        if (s.store_mask != 0xFF) {
            _mm512_mask_storeu_epi64(to, static_cast<__mmask8>(s.store_mask), r[m]);
        } else if (s.stream) {
            _mm512_stream_si512(reinterpret_cast<__m512i*>(to), r[m]);
        } else {
            _mm512_storeu_si512(to, r[m]);
        }
    }
}

}  // namespace

void transpose_unit_step(const UnitStep& s) noexcept {
    auto* fill = reinterpret_cast<__m512i*>(s.fill);
    const auto* drain = reinterpret_cast<const __m512i*>(s.drain);
    const bool edge = s.first != 0 || s.last != 512 || s.load_mask != 0xFF;  // 8 words
    for (unsigned k = 0; k < 32; ++k) {
        if (s.src != nullptr) {
            if (edge) {
                read_pair<true>(s, fill, k);
            } else {
                read_pair<false>(s, fill, k);
            }
        }
        if (s.dst != nullptr) write_rows(drain, s, k);
        if (s.next != nullptr) {
            // Into the second-level cache: the first-level one holds the
            // scratch buffers.
            for (unsigned i = 16 * k; i < 16 * k + 16; ++i) {
                _mm_prefetch(reinterpret_cast<const char*>(s.next + i * s.ss), _MM_HINT_T1);
            }
        }
    }
}

Result<BitMatrix> transpose(const BitMatrix& a, const Interrupt& stop) {
    return transpose_in_units<8>(a, transpose_unit_step, gfni::kTransposeBlocks, stop);
}

}  // namespace boolmat::avx512
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
VALDRIX_TARGET_END
