// The AVX2 zeta solve of one target. The table of 2^r entries is held in signed
// lanes as narrow as m allows (16 lanes of 16 bits per vector when m < 2^15),
// and transformed in rounds of up to four bits, each round loading a group
// of 2^k vectors, doing its k butterfly stages in registers and storing once.
// The stages of the bits inside one vector (shifts, the costliest part) are
// linear too, so they are done once on the negated counts when the base is
// made, and each set row of a target then adds 2 to all the lanes of its
// vector that stand for supersets of its pattern: one vector add per row.
//
// Order of the passes, which is free since the stages commute, chosen so
// that each level of the cache sees as few passes as possible:
// - with one to four bits above a 128 KiB chunk (up to 2^20 entries in
//   16-bit lanes) and a base that the top bits are not spread in
//   (ZetaPlan::chunks_then_top), every chunk is done in full from the base
//   and written to the table, then those bits in one round that only takes
//   minima, one per run of a block's width across the chunks; the runs
//   holding the overall minimum are done again with their values kept, to
//   find its largest index. Per column with m = 2000: r = 17, 18.4 -> 16.8
//   us; r = 18, 35.9 -> 33.3. Without a base it bought nothing (r = 17, 18
//   within the noise, r = 20 223 -> 221 us without it), so single columns
//   take the order below;
// - otherwise the bits above a chunk first, over the whole table, then:
// - per chunk (which then stays in the second-level cache), the four bits
//   above an 8 KiB block, in one round;
// - per block, in increasing order, its eight bits in two rounds, into a
//   scratch block in the first-level cache. The last round only keeps a
//   running minimum and stores nothing (a quarter of the stores of a
//   transform at r = 16), so the minimum costs no pass of its own. The
//   block holding the overall minimum is done once more at the end, with
//   its values kept, to find the largest index with that value (the
//   smallest mask); that beat keeping the best block so far in a second
//   scratch block (5.9 -> 5.6 us per column at r = 16, 91 -> 86 at r = 20).
// Every round has constant strides, so the sixteen vectors of a group need
// no registers for their addresses, and the table has a spare cache line
// after every block, so that strides of whole blocks do not map a group onto
// one set of the first-level cache.
// Tried and dropped: strided copies of tiles (latency-bound, much slower
// than streaming rounds); making each chunk as a sum of table chunks instead
// of the rounds above it (reads the third-level cache more); not storing
// the vector a butterfly group leaves unchanged (half-written lines cost
// more than the store).
//
// With many columns per call, the negated counts live in a private base
// table. A target with fewer rows to add than the table has vectors is added
// into the base and read from there by the first round; the base keeps it
// until the next target, and only the rows where the two differ are moved
// (half the rows of adding each target and taking it out again, for dense
// targets). Otherwise the base is copied and the fewer of the target's set
// and clear rows are added to the copy. A row is added by a 32-bit code
// holding its vector's offset and its in-vector bits (5.5 -> 5.15 us per
// column at r = 16, against gathering its pattern and finding the vector).
// Patterns carried by many rows are counted by popcount over a mask
// of their rows, since adding them one by one is a chain of dependent
// updates of one vector.
#include <immintrin.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <limits>
#include <utility>

#include "bmf_core/zeta.hpp"
#include "bmf_core/zeta_plan.hpp"
#include "boolmat/target.hpp"

VALDRIX_AVX2_BEGIN
#include "bmf_core/zeta_lanes_avx2.hpp"

namespace bmf_core::avx2 {
namespace {

// Expected rows of one pattern in a target from which they are worth a
// popcount over that pattern's mask rather than a chain of single adds.
constexpr std::uint64_t kMinChain = 8;

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

// For each byte value, the positions of its set bits, one per byte.
constexpr std::array<std::uint64_t, 256> kBitPositions = [] {
    std::array<std::uint64_t, 256> t{};
    for (unsigned b = 0; b < 256; ++b) {
        unsigned n = 0;
        for (unsigned i = 0; i < 8; ++i) {
            if ((b >> i) & 1) t[b] |= std::uint64_t{i} << (8 * n++);
        }
    }
    return t;
}();

// The indices of the set bits of x (of its clear bits when Clear) among the
// rows of `keep`, without a branch per bit: each byte stores all eight
// candidate indices and advances by its popcount. `out` needs room for 8
// entries past the count. Sparse: most words are expected empty and are
// skipped (a branch that dense targets would mispredict).
template <bool Clear, bool Sparse>
std::size_t list_rows(std::span<const Word> x, std::uint64_t m, const Word* keep, std::uint32_t* out) noexcept {
    std::size_t n = 0;
    for (std::size_t k = 0; k < x.size(); ++k) {
        Word w = x[k];
        if constexpr (Clear) w = ~w & (k + 1 == x.size() ? boolmat::tail_mask(m) : ~Word{0});
        w &= keep[k];
        if constexpr (Sparse) {
            if (w == 0) continue;
        }
        for (unsigned j = 0; j < 8; ++j) {
            const unsigned b = static_cast<unsigned>(w >> (8 * j)) & 0xFF;
            const __m256i pos = _mm256_cvtepu8_epi32(_mm_cvtsi64_si128(static_cast<long long>(kBitPositions[b])));
            const __m256i idx = _mm256_add_epi32(pos, _mm256_set1_epi32(static_cast<int>(k * 64 + 8 * j)));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + n), idx);
            n += static_cast<std::size_t>(std::popcount(b));
        }
    }
    return n;
}

std::uint64_t count_and(std::span<const Word> x, const Word* mask) noexcept {
    std::uint64_t c = 0;
    for (std::size_t k = 0; k < x.size(); ++k) c += static_cast<std::uint64_t>(std::popcount(x[k] & mask[k]));
    return c;
}

// The table is kept with its in-vector stages already done (they are linear,
// so they can be done on the counts once, and on each target row here): a
// row of pattern p adds 2 to every entry of its vector whose in-vector index
// holds the low bits of p, that is one vector add of supersets()[p & low].
template <class T>
struct Supersets {
    static constexpr unsigned kLanes = 32 / sizeof(T);
    alignas(32) T lanes[kLanes][kLanes];
};

template <class T>
constexpr Supersets<T> make_supersets() noexcept {
    Supersets<T> s{};
    for (unsigned q = 0; q < Supersets<T>::kLanes; ++q) {
        for (unsigned l = 0; l < Supersets<T>::kLanes; ++l) s.lanes[q][l] = static_cast<T>((l & q) == q ? -1 : 0);
    }
    return s;
}

template <class T>
inline constexpr Supersets<T> kSupersets = make_supersets<T>();

// Adds d at the place of a row code; spread over top_bits, at every
// superset of its top bits.
template <class T>
inline void add_at(V* table, std::uint32_t code, V d, unsigned top_bits) noexcept {
    if (top_bits == 0) {
        V* e = reinterpret_cast<V*>(reinterpret_cast<char*>(table) + (code & ~std::uint32_t{31}));
        *e = Ops<T>::add(*e, d);
        return;
    }
    V* at = reinterpret_cast<V*>(reinterpret_cast<char*>(table) + (code & 0x00FFFFE0u));
    const unsigned t = code >> 24;
    const std::uint16_t* off = kTopSpread.offset[top_bits][t];
    for (unsigned j = 0; j < kTopSpread.count[top_bits][t]; ++j) at[off[j]] = Ops<T>::add(at[off[j]], d);
}

// Adds `amount` to the lanes of pattern p's supersets.
template <class T>
inline void bump(V* table, std::uint64_t p, V amount, unsigned top_bits = 0) noexcept {
    constexpr unsigned lb = Ops<T>::kLaneBits;
    const V lanes = _mm256_load_si256(reinterpret_cast<const V*>(kSupersets<T>.lanes[p & ((1u << lb) - 1)]));
    add_at<T>(table, row_code(p, lb, top_bits), _mm256_and_si256(lanes, amount), top_bits);
}

// The superset vectors times delta, one per value of the in-vector bits.
template <class T>
struct RowDeltas {
    static constexpr unsigned kLow = (1u << Ops<T>::kLaneBits) - 1;
    V d[kLow + 1];
    explicit RowDeltas(int delta) noexcept {
        const V amount = Ops<T>::splat(delta);
        for (unsigned q = 0; q <= kLow; ++q) {
            d[q] = _mm256_and_si256(_mm256_load_si256(reinterpret_cast<const V*>(kSupersets<T>.lanes[q])), amount);
        }
    }
};

// Adds the rows listed in `rows` by index.
template <class T>
void add_rows(V* table, const std::uint32_t* codes, const std::uint32_t* rows, std::size_t n, int delta,
              unsigned top_bits) noexcept {
    const RowDeltas<T> d(delta);
    for (std::size_t k = 0; k < n; ++k) {
        const std::uint32_t c = codes[rows[k]];
        add_at<T>(table, c, d.d[c & RowDeltas<T>::kLow], top_bits);
    }
}

// The same straight from the bits, for targets too long for 32-bit indices.
template <class T>
void add_bits(V* table, const std::uint64_t* pat, std::span<const Word> x, int delta) noexcept {
    const V amount = Ops<T>::splat(delta);
    for (std::size_t k = 0; k < x.size(); ++k) {
        for (Word w = x[k]; w != 0; w &= w - 1) bump<T>(table, pat[k * 64 + static_cast<unsigned>(std::countr_zero(w))], amount);
    }
}

// Tables of one to four bits above a chunk (ZetaPlan::chunks_then_top):
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

// The negated counts with the in-vector stages done, polling `stop` per
// chunk of vectors (a fresh table of the largest ranks is faulted in here).
template <class T>
void fill_negated_counts(const BoolLs& s, T* out, const Interrupt& stop) noexcept {
    const std::uint32_t* counts = s.pattern_counts().data();
    const std::size_t n = std::size_t{1} << s.r();
    constexpr std::size_t kLanes = 32 / sizeof(T);
    constexpr std::size_t kStep = kLanes << kChunkBits;
    V* dst = reinterpret_cast<V*>(out);
    for (std::size_t i0 = 0; i0 < n; i0 += kStep) {
        if (stop.poll(kStep / 2)) return;
        const std::size_t end = std::min(n, i0 + kStep);
        for (std::size_t i = i0; i < end; i += kLanes) {
            _mm256_store_si256(dst + padded(i / kLanes), Ops<T>::intra(Ops<T>::negated(counts + i)));
        }
    }
    if constexpr (sizeof(T) == 8) {
        for (const CountCarry& c : s.count_carries()) {
            bump<T>(dst, c.pattern, Ops<T>::splat(-static_cast<std::int64_t>(c.high << 32)));
        }
    }
}

template <class T>
void fill_base_lanes(const ZetaPlan& plan, ZetaBuffers& buf, const BoolLs& s) noexcept {
    V* base = buf.base<V>(plan);
    fill_negated_counts(s, reinterpret_cast<T*>(base), Interrupt{});
    if (plan.top_bits != 0) {
        Store store;
        round<T>(plan.top_bits, base, base, std::size_t{1} << plan.vec_bits, Bit<kChunkBits>{}, store);
    }
    std::fill(buf.held.as<Word>(), buf.held.as<Word>() + boolmat::words_for(s.m()), Word{0});
    buf.base_counted = 0;
}

// Makes the base hold the negated counts plus twice the set rows of x (none
// for an empty x), from what it held for the target before: heavy patterns
// by their counts, the other rows by the rows where the two targets differ.
// Consecutive targets share about half their set rows when they are dense,
// so this moves half the rows that adding each target and taking it out
// again would.
template <class T>
void move_base(const ZetaPlan& plan, ZetaBuffers& buf, const BoolLs& s, std::span<const Word> x,
               unsigned counted) noexcept {
    const std::size_t words = boolmat::words_for(s.m());
    V* base = buf.base<V>(plan);
    const Word* masks = buf.heavy_masks.as<Word>();
    for (unsigned k = 0; k < buf.base_counted; ++k) {
        bump<T>(base, plan.heavy_patterns[k], Ops<T>::splat(-buf.base_heavy[k]), plan.top_bits);
    }
    for (unsigned k = 0; k < counted; ++k) {
        buf.base_heavy[k] = 2 * static_cast<std::int64_t>(count_and(x, masks + k * words));
        bump<T>(base, plan.heavy_patterns[k], Ops<T>::splat(buf.base_heavy[k]), plan.top_bits);
    }
    const Word* was_light = masks + (plan.heavy + buf.base_counted) * words;
    const Word* light = masks + (plan.heavy + counted) * words;
    Word* held = buf.held.as<Word>();
    Word* out = held + words;
    Word* in = out + words;
    std::uint64_t n_out = 0, n_in = 0;
    for (std::size_t w = 0; w < words; ++w) {
        const Word before = held[w] & was_light[w];
        const Word now = x.empty() ? 0 : x[w] & light[w];
        out[w] = before & ~now;
        in[w] = now & ~before;
        n_out += static_cast<std::uint64_t>(std::popcount(out[w]));
        n_in += static_cast<std::uint64_t>(std::popcount(in[w]));
        held[w] = x.empty() ? 0 : x[w];
    }
    buf.base_counted = counted;
    const Word* all = masks + plan.heavy * words;
    std::uint32_t* rows = buf.rows.as<std::uint32_t>();
    const std::uint32_t* codes = buf.codes.as<std::uint32_t>();
    const auto move = [&](const Word* bits, std::uint64_t count, int delta) {
        const std::span<const Word> b(bits, words);
        const std::size_t n = count < 4 * words ? list_rows<false, true>(b, s.m(), all, rows)
                                                : list_rows<false, false>(b, s.m(), all, rows);
        add_rows<T>(base, codes, rows, n, delta, plan.top_bits);
    };
    move(out, n_out, -2);
    move(in, n_in, 2);
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
    std::size_t set = 0;
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
            set = ((best_block * bvec + t) << lb) + lane;
            break;
        }
    }
    return {best, set};
}

template <class T>
ColumnAnswer solve_lanes(const ZetaPlan& plan, ZetaBuffers& buf, const BoolLs& s, std::span<const Word> x,
                         const Interrupt& stop) noexcept {
    const unsigned r = plan.r;
    const unsigned vb = plan.vec_bits;
    const std::size_t nvec = std::size_t{1} << vb;
    const std::uint64_t* pat = s.row_patterns().data();

    std::uint64_t ones = 0;
    for (const Word v : x) ones += static_cast<std::uint64_t>(std::popcount(v));
    const std::uint64_t zeros = s.m() - ones;
    // Three ways to bring the target in, by cost:
    // - no base: the table is made from the counts, then the set rows added;
    // - base, table no larger than the rows to add: copy the base (negated
    //   when the clear rows are fewer: -count + 2 set = count - 2 clear) and
    //   add the fewer side;
    // - base, larger table: the base keeps the set rows of the target
    //   before, and only the rows where the two targets differ are moved
    //   (move_base).
    std::uint32_t* rows = buf.rows.as<std::uint32_t>();
    const std::uint32_t* codes = buf.codes.as<std::uint32_t>();
    // A heavy pattern is counted by popcount only when the target is dense
    // enough to put a chain of rows on it; the heavy patterns are sorted by
    // count, so those counted are a leading run of them.
    const Word* masks = buf.heavy_masks.as<Word>();
    unsigned counted = 0;
    const std::uint64_t fewer = ones < zeros ? ones : zeros;
    while (counted < plan.heavy && plan.heavy_counts[counted] * fewer >= s.m() * kMinChain) ++counted;
    const Word* light = masks + (plan.heavy + counted) * x.size();
    V* target_table = buf.table<V>();
    // Adds `sign` times twice the set rows (clear: the clear rows) of x.
    auto add_target = [&](V* into, int sign, bool clear) {
        for (unsigned k = 0; k < counted; ++k) {
            std::uint64_t c = count_and(x, masks + k * x.size());
            if (clear) c = plan.heavy_counts[k] - c;
            bump<T>(into, plan.heavy_patterns[k], Ops<T>::splat(sign * 2 * static_cast<std::int64_t>(c)), plan.top_bits);
        }
        const bool sparse = fewer < 4 * x.size();
        const std::size_t n = clear ? (sparse ? list_rows<true, true>(x, s.m(), light, rows)
                                              : list_rows<true, false>(x, s.m(), light, rows))
                                    : (sparse ? list_rows<false, true>(x, s.m(), light, rows)
                                              : list_rows<false, false>(x, s.m(), light, rows));
        add_rows<T>(into, codes, rows, n, 2 * sign, plan.top_bits);
    };
    if (!plan.base) {
        fill_negated_counts(s, reinterpret_cast<T*>(target_table), stop);
        if (stop.stopped()) return {0, 0};
        if (plan.listed) {
            add_target(target_table, 1, false);
        } else {
            add_bits<T>(target_table, pat, x, 2);
        }
    } else if (nvec <= fewer) {
        move_base<T>(plan, buf, s, {}, 0);  // the base as the counts alone
        const V* base = buf.base<V>(plan);
        V* dst = buf.table<V>();
        const std::size_t stored = padded(nvec);
        if (ones <= zeros) {
            for (std::size_t t = 0; t < stored; ++t) _mm256_store_si256(dst + t, _mm256_load_si256(base + t));
            add_target(target_table, 1, false);
        } else {
            const V zero = _mm256_setzero_si256();
            for (std::size_t t = 0; t < stored; ++t) {
                _mm256_store_si256(dst + t, Ops<T>::sub(zero, _mm256_load_si256(base + t)));
            }
            add_target(target_table, -1, true);
        }
    } else {
        target_table = buf.base<V>(plan);
        move_base<T>(plan, buf, s, x, counted);
    }

    V* table = buf.table<V>();
    const std::uint64_t all = (std::uint64_t{1} << r) - 1;
    if (plan.chunks_then_top) {
        static_assert(kBlockBits == 8 && kChunkBits == 12);
        const auto [best, set] = chunks_then_top<T>(target_table, table, vb - kChunkBits);
        return {~static_cast<std::uint64_t>(set) & all, (s.m() - ones) + static_cast<std::uint64_t>(best)};
    }
    const auto [best, set] =
        transform_minimum<T>(target_table, table, buf.scratch.as<V>(), vb, plan.top_bits != 0, stop);
    return {~static_cast<std::uint64_t>(set) & all, (s.m() - ones) + static_cast<std::uint64_t>(best)};
}

template <class T>
TableMinimum table_minimum_lanes(unsigned vec_bits, const ZetaBuffers& buf, void* table, const Interrupt& stop) noexcept {
    V* t = static_cast<V*>(table);
    const auto [best, set] = transform_minimum<T>(t, t, buf.scratch.as<V>(), vec_bits, false, stop);
    return {best, set};
}

}  // namespace

TableMinimum table_minimum(LaneWidth lanes, unsigned vec_bits, const ZetaBuffers& buf, void* table,
                           const Interrupt& stop) noexcept {
    switch (lanes) {
        case LaneWidth::Bits16: return table_minimum_lanes<std::int16_t>(vec_bits, buf, table, stop);
        case LaneWidth::Bits32: return table_minimum_lanes<std::int32_t>(vec_bits, buf, table, stop);
        case LaneWidth::Bits64: return table_minimum_lanes<std::int64_t>(vec_bits, buf, table, stop);
    }
    return {0, 0};
}

void fill_base(const ZetaPlan& plan, ZetaBuffers& buf, const BoolLs& s) noexcept {
    switch (plan.lanes) {
        case LaneWidth::Bits16: fill_base_lanes<std::int16_t>(plan, buf, s); break;
        case LaneWidth::Bits32: fill_base_lanes<std::int32_t>(plan, buf, s); break;
        case LaneWidth::Bits64: fill_base_lanes<std::int64_t>(plan, buf, s); break;
    }
}

ColumnAnswer solve(const ZetaPlan& plan, ZetaBuffers& buf, const BoolLs& s, std::span<const Word> x,
                   const Interrupt& stop) noexcept {
    switch (plan.lanes) {
        case LaneWidth::Bits16: return solve_lanes<std::int16_t>(plan, buf, s, x, stop);
        case LaneWidth::Bits32: return solve_lanes<std::int32_t>(plan, buf, s, x, stop);
        case LaneWidth::Bits64: return solve_lanes<std::int64_t>(plan, buf, s, x, stop);
    }
    return {0, 0};
}

// Runs once per solve_all, so its cost is per call: for one column at r = 16
// it took a third of the call through a pattern_count() per row and a
// search of the heavy list per row. The counts are read directly when no
// counter wrapped, and the masks are made eight rows per compare.
void find_heavy_patterns(ZetaPlan& plan, ZetaBuffers& buf, const BoolLs& s) noexcept {
    const std::uint64_t m = s.m();
    const std::size_t words = boolmat::words_for(m);
    const std::uint32_t* pat = buf.codes.as<std::uint32_t>();
    const std::uint32_t* counts = s.pattern_counts().data();
    const bool narrow = s.count_carries().empty();
    // A pattern is worth a mask when its rows form a chain long enough to
    // stall, and when a popcount over the mask costs less than its rows.
    const std::uint64_t threshold = std::max<std::uint64_t>(16, words);
    constexpr unsigned kMax = ZetaPlan::kMaxHeavy;
    unsigned& heavy = plan.heavy;
    heavy = 0;
    const auto consider = [&](std::uint64_t i) {
        const std::uint32_t p = pat[i];
        const std::uint64_t c = narrow ? counts[p] : s.pattern_count(p);
        if (c < threshold) return;
        unsigned k = 0;
        while (k < heavy && plan.heavy_patterns[k] != p) ++k;
        if (k < heavy) return;
        // Keep the kMax largest, by insertion into a sorted list.
        if (heavy == kMax && c <= plan.heavy_counts[kMax - 1]) return;
        unsigned at = heavy < kMax ? heavy++ : kMax - 1;
        while (at > 0 && plan.heavy_counts[at - 1] < c) {
            plan.heavy_patterns[at] = plan.heavy_patterns[at - 1];
            plan.heavy_counts[at] = plan.heavy_counts[at - 1];
            --at;
        }
        plan.heavy_patterns[at] = p;
        plan.heavy_counts[at] = c;
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
        const __m256i want = _mm256_set1_epi32(static_cast<int>(plan.heavy_patterns[k]));
        for (std::size_t w = 0; w < words; ++w) {
            const std::uint64_t i0 = 64 * w, n = std::min<std::uint64_t>(64, m - i0);
            Word bits = 0;
            std::uint64_t j = 0;
            for (; j + 8 <= n; j += 8) {
                const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pat + i0 + j));
                const auto eq = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(v, want))));
                bits |= Word{eq} << j;
            }
            for (; j < n; ++j) bits |= Word{pat[i0 + j] == plan.heavy_patterns[k]} << j;
            mask[w] = bits;
        }
    }
    Word* rest = masks + heavy * words;
    for (std::size_t w = 0; w < words; ++w) rest[w] = w + 1 == words ? boolmat::tail_mask(m) : ~Word{0};
    for (unsigned j = 1; j <= heavy; ++j) {
        for (std::size_t w = 0; w < words; ++w) rest[j * words + w] = rest[(j - 1) * words + w] & ~masks[(j - 1) * words + w];
    }
}

}  // namespace bmf_core::avx2
VALDRIX_TARGET_END
