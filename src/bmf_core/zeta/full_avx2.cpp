// The AVX2 zeta solve of one target. The table of 2^r entries is held in
// signed lanes as narrow as m allows (16 lanes of 16 bits per vector when
// m < 2^15), and transformed in rounds of up to four bits, each round
// loading a group of 2^k vectors, doing its k butterfly stages in registers
// and storing once. The stages of the bits inside one vector (shifts, the
// costliest part) are linear too, so they are done once on the negated
// counts when the base is made, and each 1-row of a target then adds 2 to
// all the lanes of its vector that stand for supersets of its pattern: one
// vector add per row.
//
// The stages commute, so the order of the passes is free; it is chosen so
// that each level of the cache sees as few passes as possible:
// - with one to four bits above a 128 KiB chunk (up to 2^20 entries in
//   16-bit lanes) and a base that the top bits are not spread in
//   (Avx2Plan::chunks_then_top), every chunk is done in full from the base
//   and written to the table, then those bits in one round that only takes
//   minima, one per run of a block's width across the chunks; the runs
//   holding the overall minimum are done again with their values kept, to
//   find its largest index. Without a base this order gains nothing, so
//   single targets take the order below;
// - otherwise the bits above a chunk first, over the whole table, then:
// - per chunk (which then stays in the second-level cache), the four bits
//   above an 8 KiB block, in one round;
// - per block, in increasing order, its eight bits in two rounds, into a
//   scratch block in the first-level cache. The last round only keeps a
//   running minimum and stores nothing, so the minimum costs no pass of its
//   own. The block holding the overall minimum is done once more at the
//   end, with its values kept, to find the largest index with that value
//   (the smallest mask): cheaper than keeping the best block so far in a
//   second scratch block.
// Every round has constant strides, so the sixteen vectors of a group need
// no registers for their addresses, and the table has a spare cache line
// after every block (layout.hpp).
//
// How a target's rows come into the table is in target_avx2.hpp.
// bench/notes/zeta.md has the figures behind these choices, and what was
// tried and dropped.
#include <immintrin.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <limits>
#include <utility>

#include "bmf_core/zeta/kernels.hpp"
#include "boolmat/target.hpp"

VALDRIX_AVX2_BEGIN
#include "bmf_core/zeta/lane_switch.hpp"
#include "bmf_core/zeta/lanes_avx2.hpp"

#include "bmf_core/zeta/target_avx2.hpp"

namespace bmf_core::avx2 {
namespace {

// The rounds of one block of 2^block_bits vectors, from `in` into the
// scratch block. Keep: the final values are stored (for the search of the
// best index); otherwise only the minimum is taken, and the last round
// stores nothing.
template <class T, bool Keep>
V transform_block(const V* in, V* scratch, unsigned block_bits) noexcept {
    Min least{Ops<T>::splat(std::numeric_limits<T>::max())};
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
        return least.least;
    }
    const std::size_t nvec = std::size_t{1} << block_bits;
    if constexpr (Keep) {
        rounds<T>(in, scratch, nvec, 0, block_bits, store);
    } else {
        rounds<T>(in, scratch, nvec, 0, block_bits, least);
    }
    return least.least;
}

// Tables of one to four bits above a chunk (Avx2Plan::chunks_then_top):
// each chunk is done in full from `src` into the table, then the round over
// the bits above the chunks, which streams the whole table from the
// third-level cache, only takes minima, one per run of a block's width
// across the chunks. Returns the smallest entry and the largest entry index
// holding it.
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
        Min least{Ops<T>::splat(std::numeric_limits<T>::max())};
        round<T, K>(at, at, nvec, Slice<kChunkBits, kRunVec>{}, least);
        run_min[k] = Ops<T>::hmin(least.least);
        best = run_min[k] < best ? run_min[k] : best;
    }
    // Every run holding the minimum is done again in place with its values
    // kept; the largest index is in the highest chunk, then the highest
    // vector, that holds it, so the runs are compared by their finds.
    const V want = Ops<T>::splat(best);
    std::size_t found = 0;
    for (std::size_t k = 0; k < kRuns; ++k) {
        if (run_min[k] != best) continue;
        V* at = table + padded(k * kRunVec);
        Store store;
        round<T, K>(at, at, nvec, Slice<kChunkBits, kRunVec>{}, store);
        for (unsigned j = G; j-- > 0;) {
            bool hit = false;
            for (std::size_t lo = kRunVec; lo-- > 0;) {
                const unsigned mask = static_cast<unsigned>(_mm256_movemask_epi8(Ops<T>::eq(at[lo + j * pstep], want)));
                if (mask != 0) {
                    const std::size_t lane = (31u - static_cast<unsigned>(std::countl_zero(mask))) / sizeof(T);
                    const std::size_t vec = (std::size_t{j} << kChunkBits) + k * kRunVec + lo;
                    const std::size_t index = (vec << Ops<T>::kLaneBits) + lane;
                    found = index > found ? index : found;
                    hit = true;
                    break;
                }
            }
            if (hit) break;
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

// The rounds of a table of 2^vb vectors (in-vector stages done) from src
// into table (src may be table), those of the bits above a chunk left out
// when `top_done`; kept: a scratch block. Returns the smallest entry and
// the largest entry index holding it.
template <class T>
std::pair<std::int64_t, std::size_t> transform_minimum(const V* src, V* table, V* kept, unsigned vb,
                                                       bool top_done, const Interrupt& stop) noexcept {
    constexpr unsigned lb = Ops<T>::kLaneBits;
    const unsigned kb = vb < kBlockBits ? vb : kBlockBits;
    const std::size_t nvec = std::size_t{1} << vb;
    const std::size_t bvec = std::size_t{1} << kb;
    const unsigned cb = vb < kChunkBits ? vb : kChunkBits;  // bits of a chunk
    const unsigned hb = vb - cb;                            // bits above a chunk
    const unsigned mb = cb - kb;                            // bits above a block in a chunk
    const std::size_t cvec = std::size_t{1} << cb;
    Store store;
    if (hb > 0 && !top_done) {
        // The first four bits above a chunk in one round with constant
        // strides; any further ones (ranks above 20 with 16-bit lanes) in
        // rounds of three, the strides of which are then too large for four.
        // Each round passes over the whole table: a poll after each, the
        // further bits split as rounds() splits them.
        const unsigned first = hb < 4 ? hb : 4;
        round<T>(first, src, table, nvec, Bit<kChunkBits>{}, store);
        for (unsigned b = kChunkBits + first, bits = hb - first;; ) {
            if (stop.poll(4 * nvec)) return {0, 0};
            if (bits == 0) break;
            const unsigned n = (bits + 2) / 3;
            const unsigned k = (bits + n - 1) / n;
            rounds<T>(table, table, nvec, b, k, store);
            b += k;
            bits -= k;
        }
        src = table;
    }

    // The last round of each block only takes its minimum; the block that
    // holds the overall one is done again at the end, with its values kept.
    // Its input is still there: blocks are done into the scratch, and the
    // input of every block (the table or, without rounds above a block, the
    // base with the target in) is left as it was until then.
    std::int64_t best = std::numeric_limits<std::int64_t>::max();
    std::size_t best_block = 0;
    const V* best_from = src;
    constexpr std::uint64_t chunk_work = std::uint64_t{4} << kChunkBits;
    for (std::size_t chunk = 0; chunk < (std::size_t{1} << hb); ++chunk) {
        if (hb > 0 && stop.poll(chunk_work)) return {0, 0};
        const V* from = src + padded(chunk * cvec);
        if (mb > 0) {
            round<T>(mb, from, table + padded(chunk * cvec), cvec, Bit<kBlockBits>{}, store);
            from = table + padded(chunk * cvec);
        }
        for (std::size_t k = 0; k < (std::size_t{1} << mb); ++k) {
            const std::int64_t bm = Ops<T>::hmin(transform_block<T, false>(from + padded(k * bvec), kept, kb));
            // A later block holds larger entry indices: on a tie it wins.
            if (bm <= best) {
                best = bm;
                best_block = (chunk << mb) + k;
                best_from = from + padded(k * bvec);
            }
        }
    }
    transform_block<T, true>(best_from, kept, kb);

    // The largest index in the block holding the minimum, four vectors at a
    // time from the top.
    const V want = Ops<T>::splat(best);
    std::size_t index = 0;
    auto hit = [&](std::size_t t) { return static_cast<unsigned>(_mm256_movemask_epi8(Ops<T>::eq(kept[t], want))); };
    std::size_t t = bvec;
    while (t >= 4) {
        const V any = _mm256_or_si256(_mm256_or_si256(Ops<T>::eq(kept[t - 1], want), Ops<T>::eq(kept[t - 2], want)),
                                      _mm256_or_si256(Ops<T>::eq(kept[t - 3], want), Ops<T>::eq(kept[t - 4], want)));
        if (!_mm256_testz_si256(any, any)) break;
        t -= 4;
    }
    while (t-- > 0) {
        if (const unsigned mask = hit(t); mask != 0) {
            const unsigned lane = (31u - static_cast<unsigned>(std::countl_zero(mask))) / sizeof(T);
            index = ((best_block * bvec + t) << lb) + lane;
            break;
        }
    }
    return {best, index};
}

// The AVX2 rounds, for solve_lanes.
struct Rounds {
    template <class T>
    static std::pair<std::int64_t, std::size_t> chunks_then_top(const V* src, V* table, unsigned hb) noexcept {
        static_assert(kBlockBits == 8 && kChunkBits == 12);
        return avx2::chunks_then_top<T>(src, table, hb);
    }
    template <class T>
    static std::pair<std::int64_t, std::size_t> minimum(const V* src, V* table, const ZetaBuffers& buf, unsigned vb,
                                                        bool top_done, const Interrupt& stop) noexcept {
        return transform_minimum<T>(src, table, buf.scratch.as<V>(), vb, top_done, stop);
    }
};

}  // namespace

TableMinimum table_minimum(LaneWidth lanes, unsigned vec_bits, const ZetaBuffers& buf, void* table,
                           const Interrupt& stop) noexcept {
    V* t = static_cast<V*>(table);
    return with_lane_type(lanes, [&]<class T>() {
        const auto [best, index] = transform_minimum<T>(t, t, buf.scratch.as<V>(), vec_bits, false, stop);
        return TableMinimum{best, index};
    });
}

void fill_base(const ZetaPlan& plan, ZetaBuffers& buf, const BoolLs& s, const Interrupt& stop) noexcept {
    with_lane_type(plan.lanes, [&]<class T>() { fill_base_lanes<T>(plan, buf, s, stop); });
}

ColumnAnswer solve_one(const ZetaPlan& plan, ZetaBuffers& buf, const BoolLs& s, std::span<const Word> x,
                       std::span<const Word> unobserved, const Interrupt& stop) noexcept {
    return with_lane_type(plan.lanes, [&]<class T>() { return solve_lanes<T, Rounds>(plan, buf, s, x, unobserved, stop); });
}

}  // namespace bmf_core::avx2
VALDRIX_TARGET_END