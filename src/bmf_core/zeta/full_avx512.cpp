// The AVX-512 zeta solve of one target: the passes of full_avx2.cpp, in the
// same order and over the same table, with each round taking two vectors
// per register (lanes_avx512.hpp). The rows of a target come in as in the
// AVX2 set (target_avx2.hpp), compiled here: one 32-byte vector per row.
//
// One pass differs: with several chunks, the round above the blocks of a
// chunk writes into a scratch chunk that stays in the second-level cache,
// not into the table, so that the table (or the base) is only read there.
// Tables beyond the second-level cache are bound by that traffic more than
// by the width of the registers. bench/notes/zeta.md has the figures.
#include <immintrin.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <limits>
#include <utility>

#include "bmf_core/zeta/kernels.hpp"
#include "boolmat/target.hpp"

VALDRIX_AVX512_BEGIN
// GCC 12 warns that the unset pass-through operand of the unmasked 512-bit
// minima and extracts may be used: it is not (the mask is all ones).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include "bmf_core/zeta/lane_switch.hpp"
#include "bmf_core/zeta/lanes_avx2.hpp"
#include "bmf_core/zeta/lanes_avx512.hpp"
#include "bmf_core/zeta/target_avx2.hpp"

namespace bmf_core::avx512 {
namespace {

using any_set::with_lane_type;

// The scratch of transform_minimum for a table of 2^vb vectors: a block and
// a chunk.
std::size_t scratch_bytes(unsigned vb) noexcept {
    return 32 * ((std::size_t{1} << std::min(vb, kBlockBits)) + padded(std::size_t{1} << std::min(vb, kChunkBits)));
}

// The rounds of one block of 2^block_bits vectors, from `in` into the
// scratch block, as in full_avx2.cpp. A table of one vector has no rounds.
template <class T, bool Keep>
std::int64_t transform_block(const V* in, V* scratch, unsigned block_bits) noexcept {
    if (block_bits == 0) {
        const V v = _mm256_load_si256(in);
        _mm256_store_si256(scratch, v);
        return avx2::Ops<T>::hmin(v);
    }
    Min least{Wide<T>::splat(std::numeric_limits<T>::max())};
    Store store;
    constexpr std::size_t bvec = std::size_t{1} << kBlockBits;
    if (block_bits == kBlockBits) {
        static_assert(kBlockBits == 8);
        round<T, 4>(in, scratch, bvec, Bit<0>{}, store);
        if constexpr (Keep) {
            round<T, 4>(scratch, scratch, bvec, Bit<4>{}, store);
        } else {
            round<T, 4>(scratch, scratch, bvec, Bit<4>{}, least);
        }
        return hmin<T>(least.least);
    }
    const std::size_t nvec = std::size_t{1} << block_bits;
    if constexpr (Keep) {
        rounds<T>(in, scratch, nvec, 0, block_bits, store);
    } else {
        rounds<T>(in, scratch, nvec, 0, block_bits, least);
    }
    return hmin<T>(least.least);
}

// The largest index of an entry equal to `best` among the vectors [0, n) of
// `at`, searched from the top; none: n << lane bits.
template <class T>
std::size_t last_equal(const V* at, std::size_t n, std::int64_t best) noexcept {
    using Ops = avx2::Ops<T>;
    const V want = Ops::splat(best);
    std::size_t t = n;
    while (t >= 4) {
        const V any = _mm256_or_si256(_mm256_or_si256(Ops::eq(at[t - 1], want), Ops::eq(at[t - 2], want)),
                                      _mm256_or_si256(Ops::eq(at[t - 3], want), Ops::eq(at[t - 4], want)));
        if (!_mm256_testz_si256(any, any)) break;
        t -= 4;
    }
    while (t-- > 0) {
        const auto mask = static_cast<unsigned>(_mm256_movemask_epi8(Ops::eq(at[t], want)));
        if (mask != 0) {
            const unsigned lane = (31u - static_cast<unsigned>(std::countl_zero(mask))) / sizeof(T);
            return (t << Ops::kLaneBits) + lane;
        }
    }
    return n << Ops::kLaneBits;
}

// Avx2Plan::chunks_then_top, as top_minimum and chunks_then_top of
// full_avx2.cpp.
constexpr std::size_t kRunVec = std::size_t{1} << kBlockBits;
constexpr std::size_t kRuns = std::size_t{1} << (kChunkBits - kBlockBits);

template <class T, unsigned K>
std::pair<std::int64_t, std::size_t> top_minimum(V* table) noexcept {
    constexpr unsigned G = 1u << K;
    constexpr std::size_t nvec = std::size_t{1} << (kChunkBits + K);
    constexpr std::size_t pstep = padded(std::size_t{1} << kChunkBits);
    std::int64_t run_min[kRuns];
    std::int64_t best = std::numeric_limits<std::int64_t>::max();
    for (std::size_t k = 0; k < kRuns; ++k) {
        V* at = table + padded(k * kRunVec);
        Min least{Wide<T>::splat(std::numeric_limits<T>::max())};
        round<T, K>(at, at, nvec, Slice<kChunkBits, kRunVec>{}, least);
        run_min[k] = hmin<T>(least.least);
        best = run_min[k] < best ? run_min[k] : best;
    }
    std::size_t found = 0;
    for (std::size_t k = 0; k < kRuns; ++k) {
        if (run_min[k] != best) continue;
        V* at = table + padded(k * kRunVec);
        Store store;
        round<T, K>(at, at, nvec, Slice<kChunkBits, kRunVec>{}, store);
        for (unsigned j = G; j-- > 0;) {
            const std::size_t in_run = last_equal<T>(at + j * pstep, kRunVec, best);
            if (in_run < (kRunVec << avx2::Ops<T>::kLaneBits)) {
                const std::size_t index = ((((std::size_t{j} << kChunkBits) + k * kRunVec)) << avx2::Ops<T>::kLaneBits) + in_run;
                found = index > found ? index : found;
                break;
            }
        }
    }
    return {best, found};
}

template <class T>
std::pair<std::int64_t, std::size_t> chunks_then_top(const V* src, V* table, unsigned hb) noexcept {
    constexpr std::size_t cvec = std::size_t{1} << kChunkBits;
    constexpr std::size_t bvec = std::size_t{1} << kBlockBits;
    Store store;
    for (std::size_t chunk = 0; chunk < (std::size_t{1} << hb); ++chunk) {
        V* to = table + padded(chunk * cvec);
        round<T, kChunkBits - kBlockBits>(src + padded(chunk * cvec), to, cvec, Bit<kBlockBits>{}, store);
        for (std::size_t k = 0; k < cvec / bvec; ++k) {
            V* block = to + padded(k * bvec);
            round<T, 4>(block, block, bvec, Bit<0>{}, store);
            round<T, 4>(block, block, bvec, Bit<4>{}, store);
        }
    }
    switch (hb) {
        case 1: return top_minimum<T, 1>(table);
        case 2: return top_minimum<T, 2>(table);
        case 3: return top_minimum<T, 3>(table);
        default: return top_minimum<T, 4>(table);
    }
}

// The rounds of a table of 2^vb vectors from src into table (src may be
// table), as transform_minimum of full_avx2.cpp: those of the bits above a
// chunk left out when `top_done`; kept: a scratch block followed by a
// scratch chunk (scratch_bytes).
template <class T>
std::pair<std::int64_t, std::size_t> transform_minimum(const V* src, V* table, V* kept, unsigned vb, bool top_done,
                                                       const Interrupt& stop) noexcept {
    constexpr unsigned lb = avx2::Ops<T>::kLaneBits;
    const unsigned kb = vb < kBlockBits ? vb : kBlockBits;
    const std::size_t nvec = std::size_t{1} << vb;
    const std::size_t bvec = std::size_t{1} << kb;
    const unsigned cb = vb < kChunkBits ? vb : kChunkBits;  // bits of a chunk
    const unsigned hb = vb - cb;                            // bits above a chunk
    const unsigned mb = cb - kb;                            // bits above a block in a chunk
    const std::size_t cvec = std::size_t{1} << cb;
    Store store;
    if (hb > 0 && !top_done) {
        // Each round passes over the whole table: a poll after each. The
        // first has constant strides.
        const unsigned n = (hb + 3) / 4;
        const unsigned first = (hb + n - 1) / n;
        round<T>(first, src, table, nvec, Bit<kChunkBits>{}, store);
        for (unsigned b = cb + first, bits = hb - first;;) {
            if (stop.poll(4 * nvec)) return {0, 0};
            if (bits == 0) break;
            const unsigned k = (bits + (bits + 3) / 4 - 1) / ((bits + 3) / 4);
            round<T>(k, table, table, nvec, AnyBit{b}, store);
            b += k;
            bits -= k;
        }
        src = table;
    }

    // With several chunks, each chunk's round above its blocks goes into
    // the chunk scratch, which stays in the second-level cache, rather than
    // into the table: the table's lines are then only read. The chunk that
    // holds the minimum is done again at the end unless it was the last.
    V* chunk_scratch = kept + bvec;
    const std::size_t chunks = std::size_t{1} << hb;
    const auto chunk_input = [&](std::size_t chunk) -> const V* {
        const V* from = src + padded(chunk * cvec);
        if (mb == 0) return from;
        V* to = hb > 0 ? chunk_scratch : table;
        if (mb == 4) {
            round<T, 4>(from, to, cvec, Bit<kBlockBits>{}, store);
        } else {
            rounds<T>(from, to, cvec, kBlockBits, mb, store);
        }
        return to;
    };
    std::int64_t best = std::numeric_limits<std::int64_t>::max();
    std::size_t best_chunk = 0, best_k = 0;
    constexpr std::uint64_t chunk_work = std::uint64_t{4} << kChunkBits;
    for (std::size_t chunk = 0; chunk < chunks; ++chunk) {
        if (hb > 0 && stop.poll(chunk_work)) return {0, 0};
        const V* from = chunk_input(chunk);
        for (std::size_t k = 0; k < (std::size_t{1} << mb); ++k) {
            const std::int64_t bm = transform_block<T, false>(from + padded(k * bvec), kept, kb);
            // A later block holds larger entry indices: on a tie it wins.
            if (bm <= best) {
                best = bm;
                best_chunk = chunk;
                best_k = k;
            }
        }
    }
    const V* best_from = mb > 0 && hb > 0 && best_chunk + 1 < chunks ? chunk_input(best_chunk)
                         : mb > 0                                 ? (hb > 0 ? chunk_scratch : table)
                                                                  : src + padded(best_chunk * cvec);
    best_from += padded(best_k * bvec);
    const std::size_t best_block = (best_chunk << mb) + best_k;
    transform_block<T, true>(best_from, kept, kb);
    const std::size_t in_block = last_equal<T>(kept, bvec, best);
    return {best, ((best_block * bvec) << lb) + in_block};
}

// The AVX-512 rounds, for avx2::solve_lanes.
struct Rounds {
    template <class T>
    static std::pair<std::int64_t, std::size_t> chunks_then_top(const V* src, V* table, unsigned hb) noexcept {
        static_assert(kBlockBits == 8 && kChunkBits == 12);
        return avx512::chunks_then_top<T>(src, table, hb);
    }
    template <class T>
    static std::pair<std::int64_t, std::size_t> minimum(const V* src, V* table, const ZetaBuffers& buf, unsigned vb,
                                                        bool top_done, const Interrupt& stop) noexcept {
        return transform_minimum<T>(src, table, buf.scratch.as<V>(), vb, top_done, stop);
    }
};

}  // namespace

Status complete_plan(ZetaPlan& plan, ZetaBuffers& buf, const BoolLs& s) {
    TRY_VOID(avx2::complete_plan(plan, buf, s));
    return buf.scratch.reserve(scratch_bytes(plan.vec_bits));
}

TableMinimum table_minimum(LaneWidth lanes, unsigned vec_bits, const ZetaBuffers& buf, void* table,
                           const Interrupt& stop) noexcept {
    V* t = static_cast<V*>(table);
    return with_lane_type(lanes, [&]<class T>() {
        const auto [best, index] = transform_minimum<T>(t, t, buf.scratch.as<V>(), vec_bits, false, stop);
        return TableMinimum{best, index};
    });
}

ColumnAnswer solve_one(const ZetaPlan& plan, ZetaBuffers& buf, const BoolLs& s, std::span<const Word> x,
                       std::span<const Word> unobserved, const Interrupt& stop) noexcept {
    return with_lane_type(plan.lanes,
                          [&]<class T>() { return avx2::solve_lanes<T, Rounds>(plan, buf, s, x, unobserved, stop); });
}

}  // namespace bmf_core::avx512
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
VALDRIX_TARGET_END
