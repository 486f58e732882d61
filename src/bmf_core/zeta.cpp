// The vectorised zeta solve. The table of 2^r entries is held in signed
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
//   16-bit lanes), every chunk is done in full and written back, then those
//   bits in one round that only takes minima, one per run of a block's width
//   across the chunks; the runs holding the overall minimum are done again
//   with their values kept, to find its largest index. The table is then
//   written back to the third-level cache once per column rather than twice
//   (88 -> 86 us per column at r = 20);
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
#include <limits>
#include <utility>

#include "bmf_core/zeta.hpp"
#include "bmf_core/zeta_lanes.hpp"

namespace bmf_core {

namespace {

using namespace zeta_lanes;

// 2^8 vectors of 32 bytes: 8 KiB, a block. Two blocks (the one being done
// and the one holding the best entry so far) stay in the first-level cache,
// and a block is done in two rounds of four bits.
constexpr unsigned kBlockBits = 8;
// 2^12 vectors: 128 KiB, a chunk, which stays in the second-level cache
// while the four bits above its blocks are done, in one round.
constexpr unsigned kChunkBits = 12;
// The table is laid out with one spare cache line after every block, so
// that the vectors of a round whose stride is a multiple of a block do not
// all fall into one set of the first-level cache (a stride that is a
// multiple of 4 KiB would make the sixteen vectors of a four-bit round
// evict each other). With it, every round up to bit 16 can take four bits,
// and its strides are constants.
constexpr std::size_t padded(std::size_t t) noexcept { return t + 2 * (t >> kBlockBits); }
// Above this, a private base table for 32-bit lanes costs more memory than
// it saves time; 16-bit lanes always use one (half the counts' size).
constexpr std::size_t kMaxBase32Bytes = std::size_t{16} << 20;
// Expected rows of one pattern in a target from which they are worth a
// popcount over that pattern's mask rather than a chain of single adds.
constexpr std::uint64_t kMinChain = 8;
// Set rows are listed as 32-bit indices.
constexpr std::uint64_t kMaxListedRows = 0xFFFFFFFFull;

template <class T>
constexpr unsigned lane_bits() noexcept {
    return Ops<T>::kLaneBits;
}

unsigned lane_bits(LaneWidth w) noexcept {
    switch (w) {
        case LaneWidth::Bits16: return 4;
        case LaneWidth::Bits32: return 3;
        case LaneWidth::Bits64: return 2;
    }
    return 2;
}

std::size_t lane_bytes(LaneWidth w) noexcept {
    switch (w) {
        case LaneWidth::Bits16: return 2;
        case LaneWidth::Bits32: return 4;
        case LaneWidth::Bits64: return 8;
    }
    return 8;
}

// One group of a round: 2^K vectors `pstep` apart, butterflied in
// registers, then either stored back or folded into the running minimum by
// a tree, so the minimum waits on one operation per group rather than one
// per vector.
template <class T, unsigned K, bool Track>
inline void group(const V* src, V* dst, std::size_t pstep, V& lo_min) noexcept {
    constexpr unsigned G = 1u << K;
    V v[G];
#pragma GCC unroll 16
    for (unsigned j = 0; j < G; ++j) v[j] = _mm256_load_si256(src + j * pstep);
    cross<T, K>(v);
    if constexpr (!Track) {
#pragma GCC unroll 16
        for (unsigned j = 0; j < G; ++j) _mm256_store_si256(dst + j * pstep, v[j]);
    } else {
#pragma GCC unroll 8
        for (unsigned half = G / 2; half > 0; half /= 2) {
#pragma GCC unroll 8
            for (unsigned j = 0; j < half; ++j) v[j] = Ops<T>::min(v[j], v[j + half]);
        }
        lo_min = Ops<T>::min(lo_min, v[0]);
    }
}

// One round: the stages of vector-index bits [b, b + K) over nvec vectors,
// from `in` to `out` (possibly the same). Track: every result is folded
// into vmin.
template <class T, unsigned K, bool Track>
void round(const V* in, V* out, std::size_t nvec, unsigned b, V& vmin) noexcept {
    const std::size_t step = std::size_t{1} << b;
    // Below a block the table has no padding (it is then at most one block);
    // from a block up, a stride of `step` positions is padded(step) vectors.
    const std::size_t run = step < (std::size_t{1} << kBlockBits) ? step : std::size_t{1} << kBlockBits;
    const std::size_t pstep = padded(step);
    V lo_min = vmin;
    for (std::size_t hi = 0; hi < nvec; hi += step << K) {
        for (std::size_t lo0 = 0; lo0 < step; lo0 += run) {
            const V* src = in + padded(hi + lo0);
            V* dst = out + padded(hi + lo0);
            for (std::size_t lo = 0; lo < run; ++lo) group<T, K, Track>(src + lo, dst + lo, pstep, lo_min);
        }
    }
    vmin = lo_min;
}

using RoundFn = void (*)(const V*, V*, std::size_t, unsigned, V&) noexcept;

template <class T>
RoundFn pick(unsigned k, bool track) noexcept {
    switch (k) {
        case 0: return track ? &round<T, 0, true> : &round<T, 0, false>;
        case 1: return track ? &round<T, 1, true> : &round<T, 1, false>;
        case 2: return track ? &round<T, 2, true> : &round<T, 2, false>;
        default: return track ? &round<T, 3, true> : &round<T, 3, false>;
    }
}

// Splits `bits` consecutive bits into rounds of at most three, as evenly as
// possible; zero bits still make one round (a copy that tracks the minimum).
struct Rounds {
    unsigned count = 0;
    unsigned size[8] = {};
};

Rounds split(unsigned bits) noexcept {
    Rounds r;
    r.count = bits == 0 ? 1 : (bits + 2) / 3;
    for (unsigned i = 0; i < r.count; ++i) r.size[i] = bits / r.count + (i < bits % r.count ? 1 : 0);
    return r;
}

// A round whose lowest bit B is a constant.
template <class T, unsigned K, unsigned B, bool Track>
void fixed_round(const V* in, V* out, std::size_t nvec, V& vmin) noexcept {
    constexpr std::size_t step = std::size_t{1} << B;
    constexpr std::size_t run = B < kBlockBits ? step : std::size_t{1} << kBlockBits;
    constexpr std::size_t pstep = B < kBlockBits ? step : padded(step);
    V lo_min = vmin;
    for (std::size_t hi = 0; hi < nvec; hi += step << K) {
        for (std::size_t lo0 = 0; lo0 < step; lo0 += run) {
            // Inside one block (B < kBlockBits) positions are contiguous.
            const std::size_t at = B < kBlockBits ? hi + lo0 : padded(hi + lo0);
            const V* src = in + at;
            V* dst = out + at;
            for (std::size_t lo = 0; lo < run; ++lo) group<T, K, Track>(src + lo, dst + lo, pstep, lo_min);
        }
    }
    vmin = lo_min;
}

// Bits [B, B + bits) of a padded table, bits <= 4, in one round.
template <class T, unsigned B>
void one_round(const V* in, V* out, std::size_t nvec, unsigned bits) noexcept {
    V unused = Ops<T>::splat(0);
    switch (bits) {
        case 1: fixed_round<T, 1, B, false>(in, out, nvec, unused); break;
        case 2: fixed_round<T, 2, B, false>(in, out, nvec, unused); break;
        case 3: fixed_round<T, 3, B, false>(in, out, nvec, unused); break;
        default: fixed_round<T, 4, B, false>(in, out, nvec, unused); break;
    }
}

// Keep: the final values are stored into the scratch block (for the search
// of the best index); otherwise only the minimum is taken, and the last
// round stores nothing.
template <class T, bool Keep>
V block_pass(const V* in, V* scratch, unsigned block_bits, const Rounds& rounds) noexcept {
    V vmin = Ops<T>::splat(std::numeric_limits<T>::max());
    if (block_bits == kBlockBits) {
        static_assert(kBlockBits == 8);
        fixed_round<T, 4, 0, false>(in, scratch, std::size_t{1} << kBlockBits, vmin);
        fixed_round<T, 4, 4, !Keep>(scratch, scratch, std::size_t{1} << kBlockBits, vmin);
        return vmin;
    }
    const std::size_t nvec = std::size_t{1} << block_bits;
    unsigned b = 0;
    for (unsigned i = 0; i < rounds.count; ++i) {
        pick<T>(rounds.size[i], !Keep && i + 1 == rounds.count)(i == 0 ? in : scratch, scratch, nvec, b, vmin);
        b += rounds.size[i];
    }
    return vmin;
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

// Spread rows (ZetaWork::top_bits_): the base has the top bits of its
// vector index (those above a chunk, one to four) transformed, so a row adds
// to the vector of each superset of its top bits. For each count of top
// bits and each value t of them, the offsets in vectors of those supersets
// from the row's vector with its top bits cleared.
struct TopSpread {
    std::uint8_t count[5][16];
    std::uint16_t offset[5][16][16];
};

constexpr TopSpread make_top_spread() noexcept {
    TopSpread s{};
    constexpr std::size_t chunk = padded(std::size_t{1} << kChunkBits);
    for (unsigned bits = 1; bits <= 4; ++bits) {
        const unsigned full = (1u << bits) - 1;
        for (unsigned t = 0; t <= full; ++t) {
            unsigned n = 0;
            for (unsigned u = t;; u = (u + 1) | t) {
                s.offset[bits][t][n++] = static_cast<std::uint16_t>(u * chunk);
                if (u == full) break;
            }
            s.count[bits][t] = static_cast<std::uint8_t>(n);
        }
    }
    return s;
}

inline constexpr TopSpread kTopSpread = make_top_spread();

// A row's place in the table as one 32-bit code: the byte offset of its
// vector (a multiple of 32) plus the in-vector bits of its pattern, which
// pick the superset lanes. Adding a row is then a load of its code, two
// masks and the add, with no shifts to find the vector. Spread over
// top_bits > 0: the offset is that of the vector with its top bits cleared
// (below 2^18), and the top bits go to bits 24 and up.
inline std::uint32_t row_code(std::uint64_t p, unsigned lb, unsigned top_bits) noexcept {
    const std::uint64_t v = p >> lb;
    const std::uint64_t low = p & ((1u << lb) - 1);
    if (top_bits == 0) return static_cast<std::uint32_t>(32 * padded(v) + low);
    const std::uint64_t rest = v & ((std::uint64_t{1} << kChunkBits) - 1);
    return static_cast<std::uint32_t>(32 * padded(rest) + low + ((v >> kChunkBits) << 24));
}

// Adds d at the place of a row code.
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

// Adds `amount` to the lanes of pattern p's supersets (the in-vector stages
// are done on the counts once, so they are done on each row here too).
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

// Tables of one to four bits above a chunk (2^(kChunkBits + 1) to
// 2^(kChunkBits + 4) vectors): each chunk is done in full from `src` into
// the table, then the round over the bits above the chunks, which streams
// the whole table from the third-level cache, only takes minima, one per run
// of a block's width across the chunks. Returns the smallest entry and the
// largest entry index holding it.
constexpr std::size_t kRunVec = std::size_t{1} << kBlockBits;
constexpr std::size_t kRuns = std::size_t{1} << (kChunkBits - kBlockBits);

template <class T, unsigned K, bool Keep>
V top_run(V* table, std::size_t lo0) noexcept {
    constexpr std::size_t pstep = padded(std::size_t{1} << kChunkBits);
    V* at = table + padded(lo0);
    V vmin = Ops<T>::splat(std::numeric_limits<T>::max());
    for (std::size_t lo = 0; lo < kRunVec; ++lo) group<T, K, !Keep>(at + lo, at + lo, pstep, vmin);
    return vmin;
}

template <class T, unsigned K>
std::pair<std::int64_t, std::size_t> top_min(V* table) noexcept {
    constexpr unsigned G = 1u << K;
    constexpr std::size_t pstep = padded(std::size_t{1} << kChunkBits);
    std::int64_t run_min[kRuns];
    std::int64_t best = std::numeric_limits<std::int64_t>::max();
    for (std::size_t k = 0; k < kRuns; ++k) {
        run_min[k] = Ops<T>::hmin(top_run<T, K, false>(table, k * kRunVec));
        best = run_min[k] < best ? run_min[k] : best;
    }
    // Every run holding the minimum is done again in place with its values
    // kept; the largest index is in the highest chunk, then the highest
    // vector, that holds it, so the runs are compared by their finds.
    const V want = Ops<T>::splat(best);
    std::size_t found = 0;
    for (std::size_t k = 0; k < kRuns; ++k) {
        if (run_min[k] != best) continue;
        top_run<T, K, true>(table, k * kRunVec);
        const V* at = table + padded(k * kRunVec);
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
    for (std::size_t chunk = 0; chunk < (std::size_t{1} << hb); ++chunk) {
        V* to = table + padded(chunk * cvec);
        one_round<T, kBlockBits>(src + padded(chunk * cvec), to, cvec, kChunkBits - kBlockBits);
        V unused = Ops<T>::splat(0);
        for (std::size_t k = 0; k < cvec / bvec; ++k) {
            V* block = to + padded(k * bvec);
            fixed_round<T, 4, 0, false>(block, block, bvec, unused);
            fixed_round<T, 4, 4, false>(block, block, bvec, unused);
        }
    }
    switch (hb) {
        case 1: return top_min<T, 1>(table);
        case 2: return top_min<T, 2>(table);
        case 3: return top_min<T, 3>(table);
        default: return top_min<T, 4>(table);
    }
}

}  // namespace

LaneWidth lane_width_for(std::uint64_t m) noexcept {
    if (m < (std::uint64_t{1} << 15)) return LaneWidth::Bits16;
    if (m < (std::uint64_t{1} << 31)) return LaneWidth::Bits32;
    return LaneWidth::Bits64;
}

template <class T>
void ZetaWork::fill_negated_counts(T* out) const {
    const BoolLs& s = *solver_;
    const std::uint32_t* counts = s.pattern_counts().data();
    const std::size_t n = std::size_t{1} << s.r();
    constexpr std::size_t kLanes = 32 / sizeof(T);
    V* dst = reinterpret_cast<V*>(out);
    for (std::size_t i = 0; i < n; i += kLanes) {
        _mm256_store_si256(dst + padded(i / kLanes), Ops<T>::intra(Ops<T>::negated(counts + i)));
    }
    if constexpr (sizeof(T) == 8) {
        for (const CountCarry& c : s.count_carries()) {
            bump<T>(dst, c.pattern, Ops<T>::splat(-static_cast<std::int64_t>(c.high << 32)));
        }
    }
}

// Runs once per solve_all, so its cost is per call: for one column at r = 16
// it took a third of the call through a pattern_count() per row and a
// search of the heavy list per row. The counts are read directly when no
// counter wrapped, and the masks are made eight rows per compare.
void ZetaWork::find_heavy_patterns(const BoolLs& s) {
    const std::uint64_t m = s.m();
    const std::size_t words = boolmat::words_for(m);
    const std::uint32_t* pat = patterns_.as<std::uint32_t>();
    const std::uint32_t* counts = s.pattern_counts().data();
    const bool narrow = s.count_carries().empty();
    // A pattern is worth a mask when its rows form a chain long enough to
    // stall, and when a popcount over the mask costs less than its rows.
    const std::uint64_t threshold = std::max<std::uint64_t>(16, words);
    const auto consider = [&](std::uint64_t i) {
        const std::uint32_t p = pat[i];
        const std::uint64_t c = narrow ? counts[p] : s.pattern_count(p);
        if (c < threshold) return;
        unsigned k = 0;
        while (k < heavy_ && heavy_patterns_[k] != p) ++k;
        if (k < heavy_) return;
        // Keep the kMaxHeavy largest, by insertion into a sorted list.
        if (heavy_ == kMaxHeavy && c <= heavy_counts_[kMaxHeavy - 1]) return;
        unsigned at = heavy_ < kMaxHeavy ? heavy_++ : kMaxHeavy - 1;
        while (at > 0 && heavy_counts_[at - 1] < c) {
            heavy_patterns_[at] = heavy_patterns_[at - 1];
            heavy_counts_[at] = heavy_counts_[at - 1];
            --at;
        }
        heavy_patterns_[at] = p;
        heavy_counts_[at] = c;
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
    // Masks 0 to heavy_ - 1 hold the rows of each heavy pattern; then mask
    // heavy_ + j holds the rows of every pattern but the first j heavy ones,
    // so a target can count any leading run of them with popcounts and list
    // the rest.
    Word* masks = heavy_masks_.as<Word>();
    for (unsigned k = 0; k < heavy_; ++k) {
        Word* mask = masks + k * words;
        const __m256i want = _mm256_set1_epi32(static_cast<int>(heavy_patterns_[k]));
        for (std::size_t w = 0; w < words; ++w) {
            const std::uint64_t i0 = 64 * w, n = std::min<std::uint64_t>(64, m - i0);
            Word bits = 0;
            std::uint64_t i = 0;
            for (; i + 8 <= n; i += 8) {
                const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pat + i0 + i));
                const auto eq = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(v, want))));
                bits |= Word{eq} << i;
            }
            for (; i < n; ++i) bits |= Word{pat[i0 + i] == heavy_patterns_[k]} << i;
            mask[w] = bits;
        }
    }
    Word* rest = masks + heavy_ * words;
    for (std::size_t w = 0; w < words; ++w) rest[w] = w + 1 == words ? boolmat::tail_mask(m) : ~Word{0};
    for (unsigned j = 1; j <= heavy_; ++j) {
        for (std::size_t w = 0; w < words; ++w) rest[j * words + w] = rest[(j - 1) * words + w] & ~masks[(j - 1) * words + w];
    }
}

Status ZetaWork::prepare(const BoolLs& s, bool many, LaneWidth lanes) {
    // Narrower lanes than m needs would overflow; only the tests choose the
    // width, and only wider.
    const LaneWidth needed = lane_width_for(s.m());
    if (lane_bytes(lanes) < lane_bytes(needed)) {
        return boolmat::panic("des voies de {} octets ne suffisent pas pour {} lignes", lane_bytes(lanes), s.m());
    }
    solver_ = &s;
    lanes_ = lanes;
    const unsigned r = static_cast<unsigned>(s.r());
    const unsigned lb = lane_bits(lanes);
    if (r < lb) {
        // Fewer entries than one vector holds: the plain algorithm.
        base_mode_ = false;
        table_bytes_ = sizeof(std::int64_t) << r;
        return tables_.reserve(table_bytes_);
    }
    const std::size_t bytes = 32 * padded(std::size_t{1} << (r - lb));
    const unsigned vb = r - lb;
    const unsigned kb = vb < kBlockBits ? vb : kBlockBits;
    base_mode_ = many && (lanes == LaneWidth::Bits16 || (lanes == LaneWidth::Bits32 && bytes <= kMaxBase32Bytes));
    TRY_VOID(scratch_.reserve(std::size_t{32} << kb));
    heavy_ = 0;
    top_bits_ = 0;
    if (s.m() <= kMaxListedRows) {
        TRY_VOID(rows_.reserve((s.m() + 8 + 63) / 64 * 64 * sizeof(std::uint32_t)));
        // r <= 26: a pattern fits 32 bits, and the narrower copy halves what
        // the adds of target rows read.
        TRY_VOID(patterns_.reserve(s.m() * sizeof(std::uint32_t)));
        std::uint32_t* p32 = patterns_.as<std::uint32_t>();
        for (std::uint64_t i = 0; i < s.m(); ++i) p32[i] = static_cast<std::uint32_t>(s.row_patterns()[i]);
        TRY_VOID(heavy_masks_.reserve((2 * kMaxHeavy + 1) * boolmat::words_for(s.m()) * sizeof(Word)));
        find_heavy_patterns(s);
        top_bits_ = base_mode_ ? spread_top_bits(s, r - lb, lb) : 0;
        // From here on the rows are added by their codes.
        for (std::uint64_t i = 0; i < s.m(); ++i) p32[i] = row_code(p32[i], lb, top_bits_);
    }
    table_bytes_ = bytes;
    if (!base_mode_) {
        // Do not keep a base-sized block from an earlier solver: at the
        // largest rank that would be a third table.
        if (tables_.capacity() > bytes) tables_.release();
        return tables_.reserve(bytes);
    }
    TRY_VOID(tables_.reserve(2 * bytes));
    // The base starts as the counts alone.
    const std::size_t words = boolmat::words_for(s.m());
    TRY_VOID(held_.reserve(3 * words * sizeof(Word)));
    std::fill(held_.as<Word>(), held_.as<Word>() + words, Word{0});
    base_counted_ = 0;
    switch (lanes) {
        case LaneWidth::Bits16: fill_base<std::int16_t>(); break;
        case LaneWidth::Bits32: fill_base<std::int32_t>(); break;
        case LaneWidth::Bits64: fill_base<std::int64_t>(); break;
    }
    return {};
}

template <class T>
void ZetaWork::fill_base() {
    fill_negated_counts(base<T>());
    if (top_bits_ != 0) {
        const std::size_t nvec = std::size_t{1} << (solver_->r() - lane_bits<T>());
        one_round<T, kChunkBits>(base<V>(), base<V>(), nvec, top_bits_);
    }
}

// With one to four bits above a chunk, a column costs a round over the
// whole table for those bits, which streams it from the third-level cache
// once more, and the stores of the round before it. Done once in the base,
// they cost instead an add for every superset of each moved row's top bits.
// A column moves about half the rows when its target is dense, at most all
// of them, so that sum over all rows bounds its cost. Tables that fit the
// second-level cache (up to 2^14 vectors) gain too little from the round
// saved: measured with m = 2000 and W of density 0.2, per column,
// r = 17: 11.4 -> 12.5 us, 18: 22.6 -> 24.0, 19: 50.6 -> 45.6, 20: 93.6 ->
// 84.7.
unsigned ZetaWork::spread_top_bits(const BoolLs& s, unsigned vb, unsigned lb) const {
    constexpr unsigned kMinSpreadBits = 15;
    if (vb < kMinSpreadBits || vb <= kChunkBits || vb > kChunkBits + 4) return 0;
    const unsigned hb = vb - kChunkBits;
    const std::uint32_t* pat = patterns_.as<std::uint32_t>();
    std::uint64_t adds = 0;
    for (std::uint64_t i = 0; i < s.m(); ++i) adds += kTopSpread.count[hb][pat[i] >> (lb + kChunkBits)];
    return adds <= (std::uint64_t{1} << vb) ? hb : 0;
}

ColumnAnswer ZetaWork::solve(std::span<const Word> x) {
    if (solver_->r() < lane_bits(lanes_)) return solve_zeta_plain(*solver_, x, table<std::int64_t>());
    switch (lanes_) {
        case LaneWidth::Bits16: return solve_lanes<std::int16_t>(x);
        case LaneWidth::Bits32: return solve_lanes<std::int32_t>(x);
        case LaneWidth::Bits64: return solve_lanes<std::int64_t>(x);
    }
    return {0, 0};
}

// Makes the base hold the negated counts plus twice the set rows of x (none
// for an empty x), from what it held for the target before: heavy patterns
// by their counts, the other rows by the rows where the two targets differ.
// Consecutive targets share about half their set rows when they are dense,
// so this moves half the rows that adding each target and taking it out
// again would.
template <class T>
void ZetaWork::move_base(std::span<const Word> x, unsigned counted) {
    const BoolLs& s = *solver_;
    const std::size_t words = boolmat::words_for(s.m());
    V* base = this->base<V>();
    const Word* masks = heavy_masks_.as<Word>();
    for (unsigned k = 0; k < base_counted_; ++k) {
        bump<T>(base, heavy_patterns_[k], Ops<T>::splat(-base_heavy_[k]), top_bits_);
    }
    for (unsigned k = 0; k < counted; ++k) {
        base_heavy_[k] = 2 * static_cast<std::int64_t>(count_and(x, masks + k * words));
        bump<T>(base, heavy_patterns_[k], Ops<T>::splat(base_heavy_[k]), top_bits_);
    }
    const Word* was_light = masks + (heavy_ + base_counted_) * words;
    const Word* light = masks + (heavy_ + counted) * words;
    Word* held = held_.as<Word>();
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
    base_counted_ = counted;
    const Word* all = masks + heavy_ * words;
    std::uint32_t* rows = rows_.as<std::uint32_t>();
    const std::uint32_t* codes = patterns_.as<std::uint32_t>();
    const auto move = [&](const Word* bits, std::uint64_t count, int delta) {
        const std::span<const Word> b(bits, words);
        const std::size_t n = count < 4 * words ? list_rows<false, true>(b, s.m(), all, rows)
                                                : list_rows<false, false>(b, s.m(), all, rows);
        add_rows<T>(base, codes, rows, n, delta, top_bits_);
    };
    move(out, n_out, -2);
    move(in, n_in, 2);
}

template <class T>
ColumnAnswer ZetaWork::solve_lanes(std::span<const Word> x) {
    const BoolLs& s = *solver_;
    const unsigned r = static_cast<unsigned>(s.r());
    constexpr unsigned lb = lane_bits<T>();
    const unsigned vb = r - lb;
    const unsigned kb = vb < kBlockBits ? vb : kBlockBits;
    const std::size_t nvec = std::size_t{1} << vb;
    const std::size_t bvec = std::size_t{1} << kb;
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
    const bool listed = s.m() <= kMaxListedRows;
    std::uint32_t* rows = rows_.as<std::uint32_t>();
    const std::uint32_t* codes = patterns_.as<std::uint32_t>();
    // A heavy pattern is counted by popcount only when the target is dense
    // enough to put a chain of rows on it; the heavy patterns are sorted by
    // count, so those counted are a leading run of them.
    const Word* masks = heavy_masks_.as<Word>();
    unsigned counted = 0;
    const std::uint64_t fewer = ones < zeros ? ones : zeros;
    while (counted < heavy_ && heavy_counts_[counted] * fewer >= s.m() * kMinChain) ++counted;
    const Word* light = masks + (heavy_ + counted) * x.size();
    V* target_table = table<V>();
    // Adds `sign` times twice the set rows (clear: the clear rows) of x.
    auto add_target = [&](V* into, int sign, bool clear) {
        for (unsigned k = 0; k < counted; ++k) {
            std::uint64_t c = count_and(x, masks + k * x.size());
            if (clear) c = heavy_counts_[k] - c;
            bump<T>(into, heavy_patterns_[k], Ops<T>::splat(sign * 2 * static_cast<std::int64_t>(c)), top_bits_);
        }
        const bool sparse = fewer < 4 * x.size();
        const std::size_t n = clear ? (sparse ? list_rows<true, true>(x, s.m(), light, rows)
                                              : list_rows<true, false>(x, s.m(), light, rows))
                                    : (sparse ? list_rows<false, true>(x, s.m(), light, rows)
                                              : list_rows<false, false>(x, s.m(), light, rows));
        add_rows<T>(into, codes, rows, n, 2 * sign, top_bits_);
    };
    if (!base_mode_) {
        fill_negated_counts(reinterpret_cast<T*>(target_table));
        if (listed) {
            add_target(target_table, 1, false);
        } else {
            add_bits<T>(target_table, pat, x, 2);
        }
    } else if (nvec <= (ones < zeros ? ones : zeros)) {
        move_base<T>({}, 0);  // the base as the counts alone
        const V* base = this->base<V>();
        V* dst = table<V>();
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
        target_table = base<V>();
        move_base<T>(x, counted);
    }

    V* table = this->table<V>();
    const V* src = target_table;
    const unsigned cb = vb < kChunkBits ? vb : kChunkBits;  // bits of a chunk
    const unsigned hb = vb - cb;                            // bits above a chunk
    const unsigned mb = cb - kb;                            // bits above a block in a chunk
    const std::size_t cvec = std::size_t{1} << cb;
    if (hb > 0 && hb <= 4 && top_bits_ == 0) {
        static_assert(kBlockBits == 8 && kChunkBits == 12);
        const auto [best, set] = chunks_then_top<T>(src, table, hb);
        const std::uint64_t all = (std::uint64_t{1} << r) - 1;
        return {~static_cast<std::uint64_t>(set) & all, (s.m() - ones) + static_cast<std::uint64_t>(best)};
    }
    if (hb > 0 && top_bits_ == 0) {
        // The first four bits above a chunk in one round with constant
        // strides; any further ones (ranks above 20 with 16-bit lanes) in
        // rounds of three, the strides of which are then too large for four.
        const unsigned first = hb < 4 ? hb : 4;
        one_round<T, kChunkBits>(src, table, nvec, first);
        const Rounds rest = split(hb - first);
        unsigned b = kChunkBits + first;
        V unused = Ops<T>::splat(0);
        for (unsigned i = 0; first < hb && i < rest.count; ++i) {
            pick<T>(rest.size[i], false)(table, table, nvec, b, unused);
            b += rest.size[i];
        }
        src = table;
    }

    const Rounds low = split(kb);
    // The last round of each block only takes its minimum; the block that
    // holds the overall one is done again at the end, with its values kept.
    // Its input is still there: blocks are done into the scratch, and the
    // input of every block (the table or, without rounds above a block, the
    // base with the target in) is left as it was until then.
    V* kept = scratch_.as<V>();
    std::int64_t best = std::numeric_limits<std::int64_t>::max();
    std::size_t best_block = 0;
    const V* best_from = src;
    for (std::size_t chunk = 0; chunk < (std::size_t{1} << hb); ++chunk) {
        const V* from = src + padded(chunk * cvec);
        if (mb > 0) {
            one_round<T, kBlockBits>(from, table + padded(chunk * cvec), cvec, mb);
            from = table + padded(chunk * cvec);
        }
        for (std::size_t k = 0; k < (std::size_t{1} << mb); ++k) {
            const std::int64_t bm = Ops<T>::hmin(block_pass<T, false>(from + padded(k * bvec), kept, kb, low));
            // A later block holds larger entry indices: on a tie it wins.
            if (bm <= best) {
                best = bm;
                best_block = (chunk << mb) + k;
                best_from = from + padded(k * bvec);
            }
        }
    }
    block_pass<T, true>(best_from, kept, kb, low);

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
    const std::uint64_t all = (std::uint64_t{1} << r) - 1;
    return {~static_cast<std::uint64_t>(set) & all, (s.m() - ones) + static_cast<std::uint64_t>(best)};
}

}  // namespace bmf_core
