// The unit step of the 256-bit sets (UnitStep, W = 4): 512 rows of 4 words
// of a become 256 rows of 8 words of t. AVX2 code that the avx2 and gfni
// kernels both use, with Gfni choosing how pass 1 swaps a row's bits with
// its bytes' bits.
//
// Bit (R, C) of a unit, R = G g i (3 bits each: block row, group of 8 rows,
// row in the group) and C = w c b (2-bit word, byte, bit), goes to row C of
// the result, byte G g, bit i. A row of 4 words is one vector. Two passes
// through a 16 KiB scratch:
//   1. rows in groups of 8 (i varying). Gfni: an 8 x 16 byte transpose in
//      each 128-bit lane (byte_net) puts i in the byte of each 64-bit lane
//      and gf2p8affineqb swaps it with the bit b; vector (w0 c2 c1) then
//      holds lane w1, its 64-bit half c0, byte b, bit i. Otherwise stages
//      4, 2, 1 of the six-stage reference swap i with b: vector b then holds
//      lane w1, half w0, byte c, bit i;
//   2. for each w1 and pass-1 vector, and each G2: sixteen vectors (G0 g
//      varying), each assembled from two 16-byte halves (G1 = 0, 1, the
//      half w1 of each), which swaps w1 with G1; an in-lane 16 x 16 byte
//      transpose (four unpack stages) swaps the halves' bits with G0 g. The
//      16 rows' two halves (G2) go out together, whole lines.
// Every step moves whole bits, bytes or lanes, so the words are those of the
// reference. Figures: bench/notes/transpose.md.
//
// Include it only inside a VALDRIX_AVX2_BEGIN or VALDRIX_GFNI_BEGIN region,
// after transpose_bytes_avx2.hpp: each kernel file compiles its own copy.
#pragma once

namespace boolmat {
namespace {

constexpr unsigned reverse4_256(unsigned x) {
    return ((x & 1) << 3) | ((x & 2) << 1) | ((x & 4) >> 1) | ((x & 8) >> 3);
}

// Stage j of the reference between rows a and b = a + j.
template <int J>
inline void swap_stage_256(__m256i& a, __m256i& b, __m256i mask) {
    const __m256i t = _mm256_and_si256(_mm256_xor_si256(_mm256_srli_epi64(a, J), b), mask);
    b = _mm256_xor_si256(b, t);
    a = _mm256_xor_si256(a, _mm256_slli_epi64(t, J));
}

// All ones in the 64-bit lanes of the set bits of a 4-bit mask.
inline __m256i lanes_of(unsigned mask) {
    const __m256i bits = _mm256_setr_epi64x(1, 2, 4, 8);
    return _mm256_cmpeq_epi64(_mm256_and_si256(_mm256_set1_epi64x(mask), bits), bits);
}

// Row i of the unit, zeros where a has no words (Edge: a unit reaching past
// the matrix).
template <bool Edge>
inline __m256i load_row_256(const UnitStep& s, std::size_t i) {
    const Word* p = s.src + i * s.ss;
    if constexpr (Edge) {
        if (i < s.first || i >= s.last) return _mm256_setzero_si256();
        if ((s.load_mask & 0xF) != 0xF) {
            return _mm256_maskload_epi64(reinterpret_cast<const long long*>(p), lanes_of(s.load_mask & 0xF));
        }
    }
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// Pass 1 for group q (0..63): scratch entry (32 bytes) of vector p is
// ((p * 2 + G2) * 16 + reverse4(G0 g)) * 2 + G1, so that pass 2 finds the
// halves it pairs side by side and its 16 vectors in the order its byte
// transpose wants them.
template <bool Gfni, bool Edge>
inline void read_group_256(const UnitStep& s, __m256i* scratch, unsigned q) {
    __m256i x[8];
    if constexpr (Gfni) {
        // Rows in reverse order: gf2p8affineqb reads the matrix rows from
        // the top byte down.
        for (unsigned i = 0; i < 8; ++i) x[i] = load_row_256<Edge>(s, 8 * q + 7 - i);
        byte_net<1>(x);
        const __m256i unit = _mm256_set1_epi64x(0x8040201008040201ll);
        for (unsigned p = 0; p < 8; ++p) x[p] = _mm256_gf2p8affine_epi64_epi8(unit, x[p], 0);
    } else {
        for (unsigned i = 0; i < 8; ++i) x[i] = load_row_256<Edge>(s, 8 * q + i);
        const __m256i m4 = _mm256_set1_epi8(0x0F), m2 = _mm256_set1_epi8(0x33), m1 = _mm256_set1_epi8(0x55);
        for (int k = 0; k < 4; ++k) swap_stage_256<4>(x[k], x[k + 4], m4);
        for (int k : {0, 1, 4, 5}) swap_stage_256<2>(x[k], x[k + 2], m2);
        for (int k : {0, 2, 4, 6}) swap_stage_256<1>(x[k], x[k + 1], m1);
    }
    const unsigned g2 = q >> 5, g1 = (q >> 4) & 1, low = q & 15;
    for (unsigned p = 0; p < 8; ++p) {
        _mm256_store_si256(scratch + ((p * 2 + g2) * 16 + reverse4_256(low)) * 2 + g1, x[p]);
    }
}

// Pass 2 for o = w1 p (0..15): 16 rows of t, both of their halves.
template <bool Gfni>
inline void write_rows_256(const __m256i* scratch, const UnitStep& s, unsigned o) {
    const unsigned w1 = o >> 3, p = o & 7;
    __m256i out[2][16];
    for (unsigned g2 = 0; g2 < 2; ++g2) {
        const auto* halves = reinterpret_cast<const __m128i*>(scratch + (p * 2 + g2) * 32) + w1;
        __m256i r[16], n[16];
        for (unsigned j = 0; j < 16; ++j) {
            // Broadcasts and a blend rather than an insert: the blend issues
            // on any vector port, the insert only on the shuffle one.
            const __m256i h0 = _mm256_broadcastsi128_si256(_mm_load_si128(halves + 4 * j));
            const __m256i h1 = _mm256_broadcastsi128_si256(_mm_load_si128(halves + 4 * j + 2));
            r[j] = _mm256_blend_epi32(h0, h1, 0xF0);
        }
        for (unsigned k = 0; k < 8; ++k) {
            n[2 * k] = _mm256_unpacklo_epi8(r[k], r[k + 8]);
            n[2 * k + 1] = _mm256_unpackhi_epi8(r[k], r[k + 8]);
        }
        for (unsigned k = 0; k < 8; ++k) {
            r[2 * k] = _mm256_unpacklo_epi16(n[k], n[k + 8]);
            r[2 * k + 1] = _mm256_unpackhi_epi16(n[k], n[k + 8]);
        }
        for (unsigned k = 0; k < 8; ++k) {
            n[2 * k] = _mm256_unpacklo_epi32(r[k], r[k + 8]);
            n[2 * k + 1] = _mm256_unpackhi_epi32(r[k], r[k + 8]);
        }
        for (unsigned k = 0; k < 8; ++k) {
            out[g2][2 * k] = _mm256_unpacklo_epi64(n[k], n[k + 8]);
            out[g2][2 * k + 1] = _mm256_unpackhi_epi64(n[k], n[k + 8]);
        }
    }
    const __m256i lo_mask = lanes_of(s.store_mask & 0xF), hi_mask = lanes_of(s.store_mask >> 4);
    for (unsigned m = 0; m < 16; ++m) {
        // Gfni: p = w0 c2 c1 and m = c0 b; otherwise p = b and m = w0 c.
        const std::size_t row = Gfni ? 128 * w1 + 64 * (p >> 2) + 8 * (2 * (p & 3) + (m >> 3)) + (m & 7)
                                     : 128 * w1 + 64 * (m >> 3) + 8 * (m & 7) + p;
        if (row < s.begin || row >= s.end) continue;
        Word* to = s.dst + row * s.ds;
        if (s.store_mask != 0xFF) {
            _mm256_maskstore_epi64(reinterpret_cast<long long*>(to), lo_mask, out[0][m]);
            _mm256_maskstore_epi64(reinterpret_cast<long long*>(to + 4), hi_mask, out[1][m]);
        } else if (s.stream) {
            _mm256_stream_si256(reinterpret_cast<__m256i*>(to), out[0][m]);
            _mm256_stream_si256(reinterpret_cast<__m256i*>(to + 4), out[1][m]);
        } else {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(to), out[0][m]);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + 4), out[1][m]);
        }
    }
}

template <bool Gfni>
inline void unit_step_256(const UnitStep& s) {
    auto* fill = reinterpret_cast<__m256i*>(s.fill);
    const auto* drain = reinterpret_cast<const __m256i*>(s.drain);
    const bool edge = s.first != 0 || s.last != 512 || (s.load_mask & 0xF) != 0xF;
    for (unsigned k = 0; k < 16; ++k) {
        if (s.src != nullptr) {
            for (unsigned q = 4 * k; q < 4 * k + 4; ++q) {
                if (edge) {
                    read_group_256<Gfni, true>(s, fill, q);
                } else {
                    read_group_256<Gfni, false>(s, fill, q);
                }
            }
        }
        if (s.dst != nullptr) write_rows_256<Gfni>(drain, s, k);
        if (s.next != nullptr) {
            // Into the second-level cache: the first-level one holds the
            // scratch buffers.
            for (unsigned i = 32 * k; i < 32 * k + 32; ++i) {
                _mm_prefetch(reinterpret_cast<const char*>(s.next + i * s.ss), _MM_HINT_T1);
            }
        }
    }
}

}  // namespace
}  // namespace boolmat
