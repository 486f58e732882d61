// The zeta solve of one target around the rounds of rounds.hpp, written once
// for every register width and instantiated by each set in its own region
// (full_avx2.cpp, full_avx512.cpp) with its lanes type. The table of 2^r
// entries is held in signed lanes as narrow as m allows (16 lanes of 16
// bits per 32-byte vector when m < 2^15), and transformed in rounds of up
// to four bits, each round loading a group of registers, doing its
// butterfly stages in registers and storing once. The stages of the bits
// inside one vector (shifts, the costliest part) are linear too, so they
// are done once on the negated counts when the base is made, and each
// 1-row of a target then adds 2 to all the lanes of its vector that stand
// for supersets of its pattern: one vector add per row (target_avx2.hpp).
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
// - per chunk, the four bits above an 8 KiB block, in one round. With
//   several chunks it goes into a scratch chunk, which
//   stays in the second-level cache, so that the table (or the base) is
//   only read there and none of its lines is written back. The plan
//   makes room for it only where a call has a base: a fresh scratch chunk
//   faulted in costs a single target more than it saves;
// - per block, in increasing order, its eight bits in two rounds, into a
//   scratch block in the first-level cache. The last round only keeps a
//   running minimum and stores nothing, so the minimum costs no pass of its
//   own. The block holding the overall minimum is done once more at the
//   end, with its values kept, to find the largest index with that value
//   (the smallest mask): cheaper than keeping the best block so far in a
//   second scratch block.
// Every round has constant strides where it can, so the vectors of a group
// need no registers for their addresses, and the table has a spare cache
// line after every block (layout.hpp). bench/notes/zeta.md has the figures
// behind these choices, and what was tried and dropped.
//
// Include it inside the set's region after rounds.hpp and target_avx2.hpp.
#pragma once

namespace bmf_core::simd {
namespace {

// The rounds of one block of 2^block_bits vectors, from `in` into the
// scratch block; returns its smallest entry. Keep: the final values are
// stored (for the search of the best index); otherwise only the minimum is
// taken, and the last round stores nothing. A block of one vector has no
// rounds.
template <class L, class T, bool Keep>
std::int64_t transform_block(const V* in, V* scratch, unsigned block_bits) noexcept {
    using W = typename L::template Of<T>;
    if (block_bits == 0) {
        const V v = _mm256_load_si256(in);
        _mm256_store_si256(scratch, v);
        return avx2::Ops<T>::hmin(v);
    }
    auto least = Min<L>::template start<T>();
    Store store;
    constexpr std::size_t bvec = std::size_t{1} << kBlockBits;
    if (block_bits == kBlockBits) {
        static_assert(kBlockBits == 8);
        round<L, T, 4>(in, scratch, bvec, Bit<0>{}, store);
        if constexpr (Keep) {
            round<L, T, 4>(scratch, scratch, bvec, Bit<4>{}, store);
        } else {
            round<L, T, 4>(scratch, scratch, bvec, Bit<4>{}, least);
        }
        return W::hmin(least.least);
    }
    const std::size_t nvec = std::size_t{1} << block_bits;
    if constexpr (Keep) {
        rounds<L, T>(in, scratch, nvec, 0, block_bits, store);
    } else {
        rounds<L, T>(in, scratch, nvec, 0, block_bits, least);
    }
    return W::hmin(least.least);
}

// The largest index of an entry equal to `best` among the vectors [0, n) of
// `at`, searched from the top, four vectors at a time; none: n << lane bits.
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

// Tables of one to four bits above a chunk (Avx2Plan::chunks_then_top):
// each chunk is done in full from `src` into the table, then the round over
// the bits above the chunks, which streams the whole table from the
// third-level cache, only takes minima, one per run of a block's width
// across the chunks. Returns the smallest entry and the largest entry index
// holding it.
constexpr std::size_t kRunVec = std::size_t{1} << kBlockBits;
constexpr std::size_t kRuns = std::size_t{1} << (kChunkBits - kBlockBits);

template <class L, class T, unsigned K>
std::pair<std::int64_t, std::size_t> top_minimum(V* table) noexcept {
    constexpr unsigned lb = avx2::Ops<T>::kLaneBits;
    constexpr unsigned G = 1u << K;
    constexpr std::size_t nvec = std::size_t{1} << (kChunkBits + K);
    constexpr std::size_t pstep = padded(std::size_t{1} << kChunkBits);
    std::int64_t run_min[kRuns];
    std::int64_t best = std::numeric_limits<std::int64_t>::max();
    for (std::size_t k = 0; k < kRuns; ++k) {
        V* at = table + padded(k * kRunVec);
        auto least = Min<L>::template start<T>();
        round<L, T, K>(at, at, nvec, Slice<kChunkBits, kRunVec>{}, least);
        run_min[k] = L::template Of<T>::hmin(least.least);
        best = run_min[k] < best ? run_min[k] : best;
    }
    // Every run holding the minimum is done again in place with its values
    // kept; the largest index is in the highest chunk, then the highest
    // vector, that holds it, so the runs are compared by their finds.
    std::size_t found = 0;
    for (std::size_t k = 0; k < kRuns; ++k) {
        if (run_min[k] != best) continue;
        V* at = table + padded(k * kRunVec);
        Store store;
        round<L, T, K>(at, at, nvec, Slice<kChunkBits, kRunVec>{}, store);
        for (unsigned j = G; j-- > 0;) {
            const std::size_t in_run = last_equal<T>(at + j * pstep, kRunVec, best);
            if (in_run < (kRunVec << lb)) {
                const std::size_t index = (((std::size_t{j} << kChunkBits) + k * kRunVec) << lb) + in_run;
                found = index > found ? index : found;
                break;
            }
        }
    }
    return {best, found};
}

template <class L, class T>
std::pair<std::int64_t, std::size_t> chunks_then_top(const V* src, V* table, unsigned hb) noexcept {
    static_assert(kBlockBits == 8 && kChunkBits == 12);
    constexpr std::size_t cvec = std::size_t{1} << kChunkBits;
    constexpr std::size_t bvec = std::size_t{1} << kBlockBits;
    Store store;
    for (std::size_t chunk = 0; chunk < (std::size_t{1} << hb); ++chunk) {
        V* to = table + padded(chunk * cvec);
        round<L, T, kChunkBits - kBlockBits>(src + padded(chunk * cvec), to, cvec, Bit<kBlockBits>{}, store);
        for (std::size_t k = 0; k < cvec / bvec; ++k) {
            V* block = to + padded(k * bvec);
            round<L, T, 4>(block, block, bvec, Bit<0>{}, store);
            round<L, T, 4>(block, block, bvec, Bit<4>{}, store);
        }
    }
    switch (hb) {
        case 1: return top_minimum<L, T, 1>(table);
        case 2: return top_minimum<L, T, 2>(table);
        case 3: return top_minimum<L, T, 3>(table);
        default: return top_minimum<L, T, 4>(table);
    }
}

// The rounds of a table of 2^vb vectors (in-vector stages done) from src
// into table (src may be table), those of the bits above a chunk left out
// when `top_done`; kept: the scratch, of `kept_bytes` (chunk_scratch_bytes).
// Returns the smallest entry and the largest entry index holding it;
// stopped, nothing that means anything.
template <class L, class T>
std::pair<std::int64_t, std::size_t> transform_minimum(const V* src, V* table, V* kept, std::size_t kept_bytes,
                                                       unsigned vb, bool top_done, const Interrupt& stop) noexcept {
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
        // The first round has constant strides and takes up to four bits;
        // the others, with run-time strides, as evenly as their limit
        // allows. Each passes over the whole table: a poll after each.
        const unsigned first = hb < 4 ? hb : 4;
        round<L, T>(first, src, table, nvec, Bit<kChunkBits>{}, store);
        constexpr unsigned kMax = L::kMaxAnyBits;
        for (unsigned b = cb + first, bits = hb - first;;) {
            if (stop.poll(4 * nvec)) return {0, 0};
            if (bits == 0) break;
            const unsigned n = (bits + kMax - 1) / kMax;
            const unsigned k = (bits + n - 1) / n;
            round<L, T>(k, table, table, nvec, AnyBit{b}, store);
            b += k;
            bits -= k;
        }
        src = table;
    }

    // The round above a chunk's blocks, into the chunk scratch or into the
    // table; returns where the chunk's blocks are then read. Without
    // rounds above a block, the chunk itself.
    const bool scratch_chunk = hb > 0 && kept_bytes >= chunk_scratch_bytes(vb, true);
    V* chunk_scratch = kept + bvec;
    const std::size_t chunks = std::size_t{1} << hb;
    const auto chunk_input = [&](std::size_t chunk) -> const V* {
        const V* from = src + padded(chunk * cvec);
        if (mb == 0) return from;
        V* to = scratch_chunk ? chunk_scratch : table + padded(chunk * cvec);
        round<L, T>(mb, from, to, cvec, Bit<kBlockBits>{}, store);
        return to;
    };
    // The last round of each block only takes its minimum; the block that
    // holds the overall one is done again at the end, with its values kept.
    // Its input is still there: blocks are done into the scratch block, and
    // the input of every block is left as it was until then, but for a
    // scratch chunk, which holds the last chunk only: the best one is made
    // again unless it was the last.
    std::int64_t best = std::numeric_limits<std::int64_t>::max();
    std::size_t best_chunk = 0, best_k = 0;
    const V* best_input = nullptr;
    constexpr std::uint64_t chunk_work = std::uint64_t{4} << kChunkBits;
    for (std::size_t chunk = 0; chunk < chunks; ++chunk) {
        if (hb > 0 && stop.poll(chunk_work)) return {0, 0};
        const V* from = chunk_input(chunk);
        for (std::size_t k = 0; k < (std::size_t{1} << mb); ++k) {
            const std::int64_t bm = transform_block<L, T, false>(from + padded(k * bvec), kept, kb);
            // A later block holds larger entry indices: on a tie it wins.
            if (bm <= best) {
                best = bm;
                best_chunk = chunk;
                best_k = k;
                best_input = from;
            }
        }
    }
    if (scratch_chunk && mb > 0 && best_chunk + 1 < chunks) best_input = chunk_input(best_chunk);
    const std::size_t best_block = (best_chunk << mb) + best_k;
    transform_block<L, T, true>(best_input + padded(best_k * bvec), kept, kb);
    const std::size_t in_block = last_equal<T>(kept, bvec, best);
    return {best, ((best_block * bvec) << lb) + in_block};
}

// The rounds of a set, for avx2::solve_lanes.
template <class L>
struct Rounds {
    template <class T>
    static std::pair<std::int64_t, std::size_t> chunks_then_top(const V* src, V* table, unsigned hb) noexcept {
        return simd::chunks_then_top<L, T>(src, table, hb);
    }
    template <class T>
    static std::pair<std::int64_t, std::size_t> minimum(const V* src, V* table, const ZetaBuffers& buf, unsigned vb,
                                                        bool top_done, const Interrupt& stop) noexcept {
        return transform_minimum<L, T>(src, table, buf.scratch.as<V>(), buf.scratch.capacity(), vb, top_done, stop);
    }
};

// The set's table_minimum and solve_one (kernels.hpp) with its lanes type.
template <class L>
TableMinimum table_minimum(LaneWidth lanes, unsigned vec_bits, const ZetaBuffers& buf, void* table,
                           const Interrupt& stop) noexcept {
    V* t = static_cast<V*>(table);
    return any_set::with_lane_type(lanes, [&]<class T>() {
        const auto [best, index] =
            transform_minimum<L, T>(t, t, buf.scratch.as<V>(), buf.scratch.capacity(), vec_bits, false, stop);
        return TableMinimum{best, index};
    });
}

template <class L>
ColumnAnswer solve_one(const ZetaPlan& plan, ZetaBuffers& buf, const BoolLs& s, std::span<const Word> x,
                       std::span<const Word> unobserved, const Interrupt& stop) noexcept {
    return any_set::with_lane_type(plan.lanes, [&]<class T>() {
        return avx2::solve_lanes<T, Rounds<L>>(plan, buf, s, x, unobserved, stop);
    });
}

}  // namespace
}  // namespace bmf_core::simd
