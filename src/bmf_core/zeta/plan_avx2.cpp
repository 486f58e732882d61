// The AVX2 set's part of the plan (Avx2Plan): rows listed by index and added
// by their codes, the heavy patterns, the spread of the top bits and the
// chunks-then-top order. It runs once per solver; only the search of the
// heavy patterns is vector code.
#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <cstdint>

#include "bmf_core/zeta/kernels.hpp"
#include "boolmat/target.hpp"

VALDRIX_AVX2_BEGIN
namespace bmf_core::avx2 {
namespace {

// Fills plan.avx2.heavy* and buf.heavy_masks from buf.codes still holding
// the 32-bit patterns. It runs once per call, so its cost counts against a
// single target: the counts are read directly when no counter wrapped, and
// the masks are made eight rows per compare.
void find_heavy_patterns(ZetaPlan& plan, ZetaBuffers& buf, const BoolLs& s) noexcept {
    const std::uint64_t m = s.m();
    const std::size_t words = boolmat::words_for(m);
    const std::uint32_t* pat = buf.codes.as<std::uint32_t>();
    const std::uint32_t* counts = s.pattern_counts().data();
    const bool narrow = s.count_carries().empty();
    // A pattern is worth a mask when its rows form a chain long enough to
    // stall, and when a popcount over the mask costs less than its rows.
    const std::uint64_t threshold = std::max<std::uint64_t>(16, words);
    constexpr unsigned kMax = Avx2Plan::kMaxHeavy;
    unsigned& heavy = plan.avx2.heavy;
    heavy = 0;
    const auto consider = [&](std::uint64_t i) {
        const std::uint32_t p = pat[i];
        const std::uint64_t c = narrow ? counts[p] : s.pattern_count(p);
        if (c < threshold) return;
        unsigned k = 0;
        while (k < heavy && plan.avx2.heavy_patterns[k] != p) ++k;
        if (k < heavy) return;
        // Keep the kMax largest, by insertion into a sorted list.
        if (heavy == kMax && c <= plan.avx2.heavy_counts[kMax - 1]) return;
        unsigned at = heavy < kMax ? heavy++ : kMax - 1;
        while (at > 0 && plan.avx2.heavy_counts[at - 1] < c) {
            plan.avx2.heavy_patterns[at] = plan.avx2.heavy_patterns[at - 1];
            plan.avx2.heavy_counts[at] = plan.avx2.heavy_counts[at - 1];
            --at;
        }
        plan.avx2.heavy_patterns[at] = p;
        plan.avx2.heavy_counts[at] = c;
    };
    std::uint64_t i = 0;
    if (narrow) {
        // Eight counts per gather; only rows whose pattern reaches the
        // threshold go on to the list. The counts are unsigned, so both
        // sides of the compare have their sign bits flipped.
        const __m256i flip = _mm256_set1_epi32(INT32_MIN);
        const __m256i below = _mm256_xor_si256(_mm256_set1_epi32(static_cast<int>(threshold - 1)), flip);
        for (; i + 8 <= m; i += 8) {
            const __m256i p = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pat + i));
            const __m256i c = _mm256_i32gather_epi32(reinterpret_cast<const int*>(counts), p, 4);
            const __m256i over = _mm256_cmpgt_epi32(_mm256_xor_si256(c, flip), below);
            for (auto bits = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(over))); bits != 0;
                 bits &= bits - 1) {
                consider(i + static_cast<unsigned>(std::countr_zero(bits)));
            }
        }
    }
    for (; i < m; ++i) consider(i);
    // Masks 0 to heavy - 1 hold the rows of each heavy pattern; then mask
    // heavy + j holds the rows of every pattern but the first j heavy ones,
    // so a target can count any leading run of them with popcounts and list
    // the rest.
    Word* masks = buf.heavy_masks.as<Word>();
    for (unsigned k = 0; k < heavy; ++k) {
        Word* mask = masks + k * words;
        const __m256i want = _mm256_set1_epi32(static_cast<int>(plan.avx2.heavy_patterns[k]));
        for (std::size_t w = 0; w < words; ++w) {
            const std::uint64_t i0 = 64 * w, n = std::min<std::uint64_t>(64, m - i0);
            Word bits = 0;
            std::uint64_t j = 0;
            for (; j + 8 <= n; j += 8) {
                const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pat + i0 + j));
                const auto eq = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(v, want))));
                bits |= Word{eq} << j;
            }
            for (; j < n; ++j) bits |= Word{pat[i0 + j] == plan.avx2.heavy_patterns[k]} << j;
            mask[w] = bits;
        }
    }
    Word* rest = masks + heavy * words;
    for (std::size_t w = 0; w < words; ++w) rest[w] = w + 1 == words ? boolmat::tail_mask(m) : ~Word{0};
    for (unsigned j = 1; j <= heavy; ++j) {
        for (std::size_t w = 0; w < words; ++w) rest[j * words + w] = rest[(j - 1) * words + w] & ~masks[(j - 1) * words + w];
    }
}

}  // namespace
}  // namespace bmf_core::avx2
VALDRIX_TARGET_END

namespace bmf_core::avx2 {
namespace {

// 1-rows are listed as 32-bit indices.
constexpr std::uint64_t kMaxListedRows = 0xFFFFFFFFull;
// Spreading the top bits needs at least this many vector bits: tables that
// fit the second-level cache (up to 2^14 vectors) gain too little from the
// round saved.
constexpr unsigned kMinSpreadBits = 15;

// With one to four bits above a chunk, a target costs a round over the
// whole table for those bits, which streams it from the third-level cache
// once more, and the stores of the round before it. Done once in the base,
// they cost instead an add for every superset of each moved row's top bits.
// A target moves about half the rows when it is dense, at most all of
// them, so that sum over all rows bounds its cost: the bits are spread when
// it is no more than the table's vectors.
unsigned spread_top_bits(const ZetaPlan& plan, const std::uint32_t* patterns) noexcept {
    const unsigned vb = plan.vec_bits;
    if (vb < kMinSpreadBits || vb <= kChunkBits || vb > kChunkBits + 4) return 0;
    const unsigned hb = vb - kChunkBits;
    std::uint64_t adds = 0;
    for (std::uint64_t i = 0; i < plan.m; ++i) adds += kTopSpread.count[hb][patterns[i] >> (plan.lane_bits + kChunkBits)];
    return adds <= (std::uint64_t{1} << vb) ? hb : 0;
}

}  // namespace

Status complete_plan(ZetaPlan& p, ZetaBuffers& buf, const BoolLs& s) {
    Avx2Plan& a = p.avx2;
    const bool base = p.strategy == ZetaStrategy::Base;
    // A scratch chunk for many targets only: a single target would fault a
    // fresh one in for less than it saves (transform.hpp).
    TRY_VOID(buf.scratch.reserve(chunk_scratch_bytes(p.vec_bits, base)));
    a.listed = s.m() <= kMaxListedRows;
    if (a.listed) {
        TRY_VOID(buf.rows.reserve((s.m() + 8 + 63) / 64 * 64 * sizeof(std::uint32_t)));
        // r <= 26: a pattern fits 32 bits, and the narrower copy halves what
        // the adds of target rows read.
        TRY_VOID(buf.codes.reserve(s.m() * sizeof(std::uint32_t)));
        std::uint32_t* codes = buf.codes.as<std::uint32_t>();
        for (std::uint64_t i = 0; i < s.m(); ++i) codes[i] = static_cast<std::uint32_t>(s.row_patterns()[i]);
        TRY_VOID(buf.heavy_masks.reserve((2 * Avx2Plan::kMaxHeavy + 1) * boolmat::words_for(s.m()) * sizeof(Word)));
        find_heavy_patterns(p, buf, s);
        a.top_bits = base ? spread_top_bits(p, codes) : 0;
        // From here on the rows are added by their codes.
        for (std::uint64_t i = 0; i < s.m(); ++i) codes[i] = row_code(codes[i], p.lane_bits, a.top_bits);
    }
    const unsigned above_chunk = p.vec_bits > kChunkBits ? p.vec_bits - kChunkBits : 0;
    a.chunks_then_top = base && above_chunk >= 1 && above_chunk <= 4 && a.top_bits == 0;
    if (!base) return {};
    return buf.held.reserve(6 * boolmat::words_for(s.m()) * sizeof(Word));
}

}  // namespace bmf_core::avx2
