// The generic zeta solve of one target, in the table layout of the AVX2
// kernels (layout.hpp) and with their idea of the in-vector stages: they are
// done on the counts once (in the base, or when the table is filled), and a
// target row adds its delta to the lanes of its pattern's supersets, one
// vector add per row. The rounds are cache-blocked the same way (bits above
// a chunk over the whole table, per chunk the bits above a block, per block
// its own bits), in place, at most three bits per round; the last round of
// each block takes the block's minimum, and the block that holds the
// overall one is then searched from the top, so the largest index wins.
// Left to the AVX2 set, whose plan alone has them (Avx2Plan): moving
// targets in and out of the base, heavy patterns, spread top bits, and the
// chunks-then-top order.
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>

#include "bmf_core/zeta/kernels.hpp"
#include "bmf_core/zeta/lane_switch.hpp"
#include "bmf_core/zeta/vec_lanes.hpp"

namespace bmf_core::generic {
namespace {

using namespace any_set;

template <class T>
inline constexpr unsigned kLaneBits = static_cast<unsigned>(std::countr_zero(kLanes<T>));

// d[q]: delta in the lanes whose in-vector index holds the bits of q (the
// supersets of q), 0 in the others.
template <class T>
struct RowDeltas {
    Vec<T> d[kLanes<T>];
    explicit RowDeltas(T delta) noexcept {
        for (unsigned q = 0; q < kLanes<T>; ++q) {
            for (unsigned l = 0; l < kLanes<T>; ++l) d[q][l] = (l & q) == q ? delta : T{0};
        }
    }
};

// Adds delta to the superset lanes of every 1-row of x (0-row, when Zeros).
template <class T, bool Zeros>
void add_rows(Vec<T>* table, const BoolLs& s, std::span<const Word> x, T delta) noexcept {
    const RowDeltas<T> d(delta);
    constexpr unsigned lb = kLaneBits<T>;
    const std::uint64_t* pat = s.row_patterns().data();
    for (std::size_t k = 0; k < x.size(); ++k) {
        Word w = x[k];
        if constexpr (Zeros) w = ~w & (k + 1 == x.size() ? boolmat::tail_mask(s.m()) : ~Word{0});
        for (; w != 0; w &= w - 1) {
            const std::uint64_t p = pat[k * 64 + static_cast<unsigned>(std::countr_zero(w))];
            table[padded(p >> lb)] += d.d[p & (kLanes<T> - 1)];
        }
    }
}

// The negated counts with the in-vector stages done. The counts of one
// vector and their subset sums are at most m, which the lanes hold, so the
// lanes are summed in 64-bit words, a word's lanes at once: nothing carries
// from one lane into the next. The stages of the bits inside a word shift
// the word; the others add words. The words go to the table as they are,
// never through lane stores read back as words (each would be a failed
// store forwarding, which dominated a target).
template <class T>
void fill_negated_counts(const BoolLs& s, Vec<T>* out, const Interrupt& stop) noexcept {
    constexpr unsigned L = kLanes<T>;
    constexpr unsigned kBits = 8 * sizeof(T);
    constexpr unsigned kPerWord = 64 / kBits;
    constexpr std::uint64_t kLane = ~std::uint64_t{0} >> (64 - kBits);
    // The top bit of every lane.
    constexpr std::uint64_t kHigh = [] {
        std::uint64_t h = 0;
        for (unsigned p = 0; p < kPerWord; ++p) h |= (kLane ^ (kLane >> 1)) << (kBits * p);
        return h;
    }();
    const std::uint32_t* counts = s.pattern_counts().data();
    const std::size_t nvec = (std::size_t{1} << s.r()) / L;
    // Polled per chunk of vectors: a fresh table of the largest ranks is
    // faulted in here.
    constexpr std::size_t kStep = std::size_t{1} << kChunkBits;
    for (std::size_t i0 = 0; i0 < nvec; i0 += kStep) {
        if (stop.poll(4 * kStep)) return;
        const std::size_t end = std::min(nvec, i0 + kStep);
        for (std::size_t i = i0; i < end; ++i) {
            const std::uint32_t* c = counts + i * L;
            std::uint64_t w[4];
            for (unsigned k = 0; k < 4; ++k) {
                w[k] = 0;
                for (unsigned p = 0; p < kPerWord; ++p) w[k] |= std::uint64_t{c[k * kPerWord + p]} << (kBits * p);
            }
            for (unsigned q = 0; (1u << q) < kPerWord; ++q) {
                std::uint64_t upper = 0;  // the lanes whose index has bit q
                for (unsigned p = 0; p < kPerWord; ++p) {
                    if ((p >> q) & 1) upper |= kLane << (kBits * p);
                }
                for (unsigned k = 0; k < 4; ++k) w[k] += (w[k] << (kBits << q)) & upper;
            }
            w[1] += w[0];
            w[3] += w[2];
            w[2] += w[0];
            w[3] += w[1];
            // Lane-wise 0 - x for 0 <= x < 2^(kBits - 1), borrowing nothing.
            char* to = reinterpret_cast<char*>(out + padded(i));
            for (unsigned k = 0; k < 4; ++k) {
                const std::uint64_t negated = (kHigh - w[k]) ^ kHigh;
                std::memcpy(to + 8 * k, &negated, 8);
            }
        }
    }
    if constexpr (sizeof(T) == 8) {
        // Counts of 2^32 rows and more: the part beyond the 32-bit counter.
        for (const CountCarry& c : s.count_carries()) {
            out[padded(c.pattern >> kLaneBits<T>)] +=
                RowDeltas<T>(-static_cast<T>(c.high << 32)).d[c.pattern & (L - 1)];
        }
    }
}

// The stages across the vectors of a table of 2^vb vectors, in place, and
// its minimum with the largest index holding it.
template <class T>
TableMinimum transform_minimum(Vec<T>* table, unsigned vb, const Interrupt& stop) noexcept {
    constexpr unsigned lb = kLaneBits<T>;
    const std::size_t nvec = std::size_t{1} << vb;
    const unsigned kb = vb < kBlockBits ? vb : kBlockBits;   // bits of a block
    const unsigned cb = vb < kChunkBits ? vb : kChunkBits;   // bits of a chunk
    const unsigned hb = vb - cb;                             // bits above a chunk
    const unsigned mb = cb - kb;                             // bits above a block in a chunk
    Store store;
    // The rounds above a chunk pass over the whole table each: split as
    // rounds() splits them, with a poll after each.
    for (unsigned b = kChunkBits, bits = hb; bits > 0;) {
        const unsigned n = (bits + kMaxRoundBits - 1) / kMaxRoundBits;
        const unsigned k = (bits + n - 1) / n;
        rounds<T>(table, nvec, b, k, store);
        if (stop.poll(4 * nvec)) return {0, 0};
        b += k;
        bits -= k;
    }
    T best = std::numeric_limits<T>::max();
    std::size_t best_block = 0;
    constexpr std::uint64_t chunk_work = std::uint64_t{4} << kChunkBits;
    for (std::size_t chunk = 0; chunk < (std::size_t{1} << hb); ++chunk) {
        if (hb > 0 && stop.poll(chunk_work)) return {0, 0};
        Vec<T>* c = table + padded(chunk << cb);
        if (mb > 0) rounds<T>(c, std::size_t{1} << cb, kBlockBits, mb, store);
        for (std::size_t k = 0; k < (std::size_t{1} << mb); ++k) {
            StoreMin<T> least{Vec<T>{} + std::numeric_limits<T>::max()};
            rounds<T>(c + padded(k << kb), std::size_t{1} << kb, 0, kb, least);
            const T bm = hmin<T>(least.least);
            // A later block holds larger entry indices: on a tie it wins.
            if (bm <= best) {
                best = bm;
                best_block = (chunk << mb) + k;
            }
        }
    }

    // The largest index in the block holding the minimum.
    const Vec<T>* block = table + padded(best_block << kb);
    std::size_t index = 0;
    for (std::size_t t = std::size_t{1} << kb; t-- > 0;) {
        Vec<T> hit;
        equal_lanes<T>(block[t], Vec<T>{} + best, hit);
        std::size_t lane = kLanes<T>;
        while (lane-- > 0 && hit[lane] == 0) {
        }
        if (lane < kLanes<T>) {
            index = (((best_block << kb) + t) << lb) + lane;
            break;
        }
    }
    return {static_cast<std::int64_t>(best), static_cast<std::uint64_t>(index)};
}

template <class T>
ColumnAnswer solve_lanes(const ZetaPlan& plan, ZetaBuffers& buf, const BoolLs& s, std::span<const Word> x,
                         std::span<const Word> unobserved, const Interrupt& stop) noexcept {
    const unsigned vb = plan.vec_bits;
    const std::size_t nvec = std::size_t{1} << vb;
    Vec<T>* table = buf.table<Vec<T>>();

    std::uint64_t ones = 0;
    for (const Word v : x) ones += static_cast<std::uint64_t>(std::popcount(v));
    const std::uint64_t zeros = s.m() - ones;
    if (plan.strategy != ZetaStrategy::Base) {
        fill_negated_counts<T>(s, table, stop);
        if (stop.stopped()) return {0, 0};
        add_rows<T, false>(table, s, x, 2);
    } else {
        // The base copied, negated when the 0-rows are fewer (-count +
        // 2 ones = count - 2 zeros), and the fewer side added.
        const Vec<T>* base = buf.base<Vec<T>>(plan);
        const std::size_t stored = padded(nvec);
        if (ones <= zeros) {
            for (std::size_t t = 0; t < stored; ++t) table[t] = base[t];
            add_rows<T, false>(table, s, x, 2);
        } else {
            for (std::size_t t = 0; t < stored; ++t) table[t] = -base[t];
            add_rows<T, true>(table, s, x, -2);
        }
    }
    // An unobserved row's -1 cancelled.
    if (!unobserved.empty()) add_rows<T, false>(table, s, unobserved, 1);

    const TableMinimum least = transform_minimum<T>(table, vb, stop);
    const std::uint64_t all = (std::uint64_t{1} << plan.r) - 1;
    return {~least.index & all, zeros + static_cast<std::uint64_t>(least.value)};
}

}  // namespace

Status complete_plan(ZetaPlan&, ZetaBuffers&, const BoolLs&) {
    // The generic kernels read no fields of their own.
    return {};
}

TableMinimum table_minimum(LaneWidth lanes, unsigned vec_bits, const ZetaBuffers&, void* table,
                           const Interrupt& stop) noexcept {
    return with_lane_type(lanes, [&]<class T>() { return transform_minimum<T>(static_cast<Vec<T>*>(table), vec_bits, stop); });
}

void fill_base(const ZetaPlan& plan, ZetaBuffers& buf, const BoolLs& s, const Interrupt& stop) noexcept {
    with_lane_type(plan.lanes, [&]<class T>() { fill_negated_counts<T>(s, buf.base<Vec<T>>(plan), stop); });
}

ColumnAnswer solve_one(const ZetaPlan& plan, ZetaBuffers& buf, const BoolLs& s, std::span<const Word> x,
                       std::span<const Word> unobserved, const Interrupt& stop) noexcept {
    return with_lane_type(plan.lanes, [&]<class T>() { return solve_lanes<T>(plan, buf, s, x, unobserved, stop); });
}

}  // namespace bmf_core::generic
