// The AVX-512 set's transpose: the bulk of a large matrix in 512 x 512
// units, the border (and matrices too small for a unit) by the x86-64
// driver with the GFNI block kernels.
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
// Memory: the units run in a pipeline, one being read (pass 1) while the
// one before is written (pass 2) and the one after is prefetched, a slice
// of each per step: the reads of a, the writes of t and the shuffles then
// overlap instead of following one another. Figures and variants tried:
// bench/notes/transpose.md.
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
    const bool edge = s.first != 0 || s.last != 512 || s.load_mask != 0xFF;
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

namespace {

// The units of a matrix: unit (k, b) holds rows 64 (v0 + 8k) .. + 511 of a
// (k from -1 when v0 > 0) and its words w0 + 8b .. + 7 (b from -1 when w0 >
// 0), and writes the same words of t's rows (v0 + 8k .. + 7) and rows 64
// (w0 + 8b) .. + 511. v0 and w0 put the units' lines of t and a on line
// boundaries. Units that reach past the matrix, or start before it, read
// zeros for the rows and words a lacks and write only t's own words.
class Units {
public:
    Units(const BitMatrix& a, BitMatrix& t, std::uint64_t v0, std::uint64_t w0, bool stream, Word* scratch)
        : a_(a.words().data()),
          t_(t.words_mut().data()),
          as_(a.stride()),
          ts_(t.stride()),
          rows_(a.rows()),
          cols_(a.cols()),
          v0_(v0),
          w0_(w0),
          stream_(stream),
          k_min_(v0 > 0 ? -1 : 0),
          b_min_(w0 > 0 ? -1 : 0),
          unit_rows_(std::uint64_t((std::int64_t(ts_) - std::int64_t(v0) + 7) / 8 - k_min_)),
          bands_(std::uint64_t((std::int64_t(as_) - std::int64_t(w0) + 7) / 8 - b_min_)) {
        work_[0] = scratch;
        work_[1] = scratch + kUnitScratchWords;
    }

    std::uint64_t count() const { return unit_rows_ * bands_; }

    // Step u of the pipeline: reads unit u (if any), writes unit u - 1 (if
    // any).
    void step(std::uint64_t u) const {
        UnitStep s{.ss = as_, .fill = work_[u % 2], .ds = ts_};
        if (u < count()) {
            const std::int64_t r = row(u), w = word(u);
            s.src = at(a_, r, as_, w);
            s.first = std::uint64_t(std::clamp<std::int64_t>(-r, 0, 512));
            s.last = std::uint64_t(std::clamp<std::int64_t>(std::int64_t(rows_) - r, 0, 512));
            s.load_mask = words_within(w, as_);
            if (u + 1 < count() && row(u + 1) >= 0 && std::uint64_t(row(u + 1)) + 512 <= rows_) {
                s.next = at(a_, row(u + 1), as_, word(u + 1));
            }
        }
        if (u > 0) {
            const std::int64_t v = t_word(u - 1), c = 64 * word(u - 1);
            s.drain = work_[(u - 1) % 2];
            s.dst = at(t_, c, ts_, v);
            s.begin = std::uint64_t(std::clamp<std::int64_t>(-c, 0, 512));
            s.end = std::uint64_t(std::clamp<std::int64_t>(std::int64_t(cols_) - c, 0, 512));
            s.store_mask = words_within(v, ts_);
            s.stream = stream_ && s.store_mask == 0xFF;
        }
        transpose_unit_step(s);
    }

private:
    std::int64_t t_word(std::uint64_t u) const { return std::int64_t(v0_) + 8 * (k_min_ + std::int64_t(u / bands_)); }
    std::int64_t row(std::uint64_t u) const { return 64 * t_word(u); }
    std::int64_t word(std::uint64_t u) const { return std::int64_t(w0_) + 8 * (b_min_ + std::int64_t(u % bands_)); }

    // The words k < n of a unit's row (n clamped to 0..8).
    static unsigned below(std::int64_t n) { return n <= 0 ? 0u : n >= 8 ? 0xFFu : (1u << n) - 1; }
    // The words k of a unit's row whose w + k lies in [0, stride).
    static unsigned words_within(std::int64_t w, std::uint64_t stride) {
        return below(std::int64_t(stride) - w) & ~below(-w);
    }

    // Word w of row r of the words at p (stride s), which may lie outside
    // them: computed as an address, never read there.
    template <class W>
    static W* at(W* p, std::int64_t r, std::uint64_t s, std::int64_t w) {
        const std::int64_t offset = (r * std::int64_t(s) + w) * std::int64_t(sizeof(Word));
        return reinterpret_cast<W*>(reinterpret_cast<std::uintptr_t>(p) + std::uintptr_t(offset));
    }

    const Word* a_;
    Word* t_;
    std::uint64_t as_, ts_, rows_, cols_, v0_, w0_;
    bool stream_;
    std::int64_t k_min_, b_min_;
    std::uint64_t unit_rows_, bands_;
    Word* work_[2];
};

}  // namespace

Result<BitMatrix> transpose(const BitMatrix& a, const Interrupt& stop) {
    TRY(BitMatrix t, BitMatrix::uninit(a.cols(), a.rows()));
    const std::uint64_t ts = t.stride();
    // Large results are written with non-temporal stores, a whole line at a
    // time: t's rows must then be whole lines, and the units start at the
    // first line of each (row block v0). A matrix with fewer than 512 rows
    // or 8 words per row, or a large one whose rows of t are not whole
    // lines, goes through the driver of the other sets.
    const bool stream = t.words().size() >= kStreamWords;
    const bool whole_lines = ts % (kLine / sizeof(Word)) == 0;
    if (a.rows() < 512 || a.stride() < 8 || (stream && !whole_lines)) {
        TRY_VOID(avx2::transpose_into(a, t, gfni::kTransposeBlocks, stop));
        return t;
    }
    const auto to_line = [](const Word* p) {
        return (kLine - reinterpret_cast<std::uintptr_t>(p) % kLine) % kLine / sizeof(Word);
    };
    // The same for a's rows when they are whole lines: each row's 64 bytes
    // then come from one line, not from parts of two.
    const std::uint64_t v0 = stream ? to_line(t.words().data()) : 0;
    const std::uint64_t w0 = a.stride() % (kLine / sizeof(Word)) == 0 ? to_line(a.words().data()) : 0;
    // Two units in flight: 64 KiB.
    TRY(Buffer<Word> scratch, Buffer<Word>::uninit(2 * kUnitScratchWords + kLine / sizeof(Word)));
    const Units units(a, t, v0, w0, stream, scratch.data() + to_line(scratch.data()));
    // Units in row order: each one reads the lines next to those of the one
    // before, in rows that it has just read.
    for (std::uint64_t u = 0; u <= units.count(); ++u) {
        if (stop.poll(8 * 512)) {
            _mm_sfence();
            return stopped();
        }
        units.step(u);
    }
    // Order the streamed lines before anything else the caller stores or
    // publishes.
    _mm_sfence();
    return t;
}

}  // namespace boolmat::avx512
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
VALDRIX_TARGET_END
