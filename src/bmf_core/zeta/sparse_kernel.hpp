// The sparse zeta solve of one target (sparse.hpp), written once in the
// vector-extension lanes of vec_lanes.hpp and built by each set in its own
// file, which supplies how bits are extracted and deposited
// (Bits::extract, Bits::deposit) and its table_minimum: inside the AVX2
// region the same vector code becomes AVX2 instructions, and pext and pdep
// single instructions.
//
// The table of 2^|U| entries has the layout of the full one (layout.hpp)
// and, as there, the in-vector stages are done on the rows: each row adds
// its delta to the lanes of its vector that stand for supersets of its
// compressed pattern, so only the stages across vectors are left, in the
// cache-blocked rounds of the full solve. The last round takes the minimum.
//
// Include inside the set's region, with <algorithm>, <bit>, <cstring>,
// <limits>, <optional> and the zeta headers included before the region.
#pragma once

#include "bmf_core/zeta/lane_switch.hpp"
#include "bmf_core/zeta/vec_lanes.hpp"

namespace bmf_core::any_set {
namespace {

// The set's table_minimum (kernels.hpp).
using TableMinimumFn = TableMinimum (*)(LaneWidth lanes, unsigned vec_bits, const ZetaBuffers& buf, void* table,
                                        const Interrupt& stop) noexcept;

// One 1 bit at a time (sparse.hpp), for sets without pext and pdep.
struct BitByBit {
    static std::uint64_t extract(std::uint64_t x, std::uint64_t mask) noexcept { return extract_bits(x, mask); }
    static std::uint64_t deposit(std::uint64_t x, std::uint64_t mask) noexcept { return deposit_bits(x, mask); }
};

template <class T>
struct SparseLanes {
    static constexpr unsigned kBits = static_cast<unsigned>(std::countr_zero(kLanes<T>));
    static constexpr unsigned kLow = kLanes<T> - 1;
    // of[q]: all ones in the lanes whose in-vector index holds the bits of q.
    struct Table {
        alignas(32) T of[kLanes<T>][kLanes<T>];
    };
    static constexpr Table kSupersets = [] {
        Table t{};
        for (unsigned q = 0; q < kLanes<T>; ++q) {
            for (unsigned l = 0; l < kLanes<T>; ++l) t.of[q][l] = static_cast<T>((l & q) == q ? -1 : 0);
        }
        return t;
    }();

    // Adds delta at compressed pattern c: to the lanes of its supersets.
    static void add(Vec<T>* table, std::uint64_t c, const Vec<T>& delta) noexcept {
        Vec<T> lanes;
        std::memcpy(&lanes, kSupersets.of[c & kLow], sizeof lanes);
        table[padded(c >> kBits)] += lanes & delta;
    }
};

// The minimum of a table of 2^(kChunkBits + hb) vectors made a chunk at a
// time from its n entries (more bits above a chunk than none), or none
// when that costs more than making the table whole. A chunk holds the sum
// of the entries whose bits above the chunk are a subset of its own: that
// is the table after the rounds of those bits, so each chunk is cleared,
// takes those entries and is transformed alone, in the second-level cache,
// and the table is never made. It pays while the entries' adds, one per
// chunk that is a superset of an entry's bits, are fewer than the table's
// vectors: then it saves the clearing of the whole table and the rounds of
// the bits above a chunk, both passes through the third-level cache.
// Chunks come in increasing order, so on a tie a later one holds the
// larger index. Stopped, it means nothing.
template <class T>
std::optional<TableMinimum> chunked_minimum(const ZetaPlan& plan, ZetaBuffers& buf, unsigned hb,
                                            const SparseEntry* entries, std::size_t n, const Interrupt& stop,
                                            TableMinimumFn minimum) noexcept {
    using Lanes = SparseLanes<T>;
    const unsigned shift = Lanes::kBits + kChunkBits;
    const std::size_t chunks = std::size_t{1} << hb;
    SparseEntry* sorted = buf.sparse_entries.as<SparseEntry>() + (plan.sparse.distinct + 1);
    auto* start = reinterpret_cast<std::uint32_t*>(sorted + (plan.sparse.distinct + 1));
    std::fill(start, start + chunks + 1, 0u);
    for (std::size_t k = 0; k < n; ++k) ++start[(entries[k].pattern >> shift) + 1];
    std::uint64_t adds = 0;
    for (std::size_t t = 0; t < chunks; ++t) {
        adds += std::uint64_t{start[t + 1]} << (hb - static_cast<unsigned>(std::popcount(t)));
    }
    if (adds > (std::uint64_t{1} << (hb + kChunkBits))) return std::nullopt;
    // Counting sort: start[t] is where the entries of t begin, then, after
    // the scatter, where they end, and is moved back.
    for (std::size_t t = 0; t < chunks; ++t) start[t + 1] += start[t];
    for (std::size_t k = 0; k < n; ++k) sorted[start[entries[k].pattern >> shift]++] = entries[k];
    for (std::size_t t = chunks; t > 0; --t) start[t] = start[t - 1];
    start[0] = 0;

    Vec<T>* chunk = buf.sparse_table.as<Vec<T>>();
    constexpr std::size_t stored = padded(std::size_t{1} << kChunkBits);
    const std::uint64_t low = (std::uint64_t{1} << shift) - 1;
    TableMinimum best{std::numeric_limits<std::int64_t>::max(), 0};
    for (std::size_t t = 0; t < chunks; ++t) {
        if (stop.poll(4 * stored)) return best;
        for (std::size_t v = 0; v < stored; ++v) chunk[v] = Vec<T>{};
        for (std::size_t sub = t;; sub = (sub - 1) & t) {
            for (std::uint32_t k = start[sub]; k < start[sub + 1]; ++k) {
                Lanes::add(chunk, sorted[k].pattern & low, Vec<T>{} + static_cast<T>(sorted[k].delta));
            }
            if (sub == 0) break;
        }
        const TableMinimum in_chunk = minimum(plan.lanes, kChunkBits, buf, chunk, stop);
        if (in_chunk.value <= best.value) best = {in_chunk.value, (t << shift) + in_chunk.index};
    }
    return best;
}

template <class T, class Bits, bool Masked>
std::optional<ColumnAnswer> solve_sparse_lanes(const ZetaPlan& plan, ZetaBuffers& buf, const BoolLs& s,
                                               std::span<const Word> x, std::span<const Word> unobserved,
                                               const Interrupt& stop, TableMinimumFn minimum) noexcept {
    using Lanes = SparseLanes<T>;
    const std::uint64_t m = s.m();
    const std::uint32_t d_count = plan.sparse.distinct;
    const std::uint32_t* patterns = buf.distinct.as<std::uint32_t>();
    const std::uint32_t* counts = patterns + d_count;
    std::uint32_t* one_counts = buf.distinct.as<std::uint32_t>() + 2 * d_count;
    std::uint32_t* unobserved_counts = one_counts + d_count;
    const std::uint64_t* rows = buf.sparse_rows.as<std::uint64_t>();
    const Word* nonempty = buf.sparse_rows.as<Word>() + m;
    // The 1-rows counted by distinct pattern: a row then costs an
    // increment, and the table gets one add per distinct pattern. Rows of
    // the empty pattern, often the most common one, touch nothing: they are
    // only counted, by popcount.
    std::uint64_t touched = 0, ones = 0, listed = 0;
    for (std::size_t k = 0; k < x.size(); ++k) {
        ones += static_cast<std::uint64_t>(std::popcount(x[k]));
        for (Word w = x[k] & nonempty[k]; w != 0; w &= w - 1) {
            const std::uint64_t row = rows[k * 64 + static_cast<unsigned>(std::countr_zero(w))];
            touched |= row >> 32;
            ++one_counts[static_cast<std::uint32_t>(row)];
            ++listed;
        }
        // A dense target touches every column within a few rows: it leaves
        // as soon as it touches more than any sparse solve is worth, and
        // clears the counters it raised.
        if (static_cast<unsigned>(std::popcount(touched)) > plan.sparse.max_bits) {
            for (std::size_t j = 0; j <= k; ++j) {
                for (Word w = x[j] & nonempty[j]; w != 0; w &= w - 1) {
                    one_counts[static_cast<std::uint32_t>(rows[j * 64 + static_cast<unsigned>(std::countr_zero(w))])] = 0;
                }
            }
            return std::nullopt;
        }
    }
    // Under a mask the unobserved rows are counted by distinct pattern the
    // same way; they touch no column (their -1 is only cancelled).
    std::uint64_t absent = 0, absent_listed = 0;
    for (std::size_t k = 0; Masked && k < unobserved.size(); ++k) {
        absent += static_cast<std::uint64_t>(std::popcount(unobserved[k]));
        for (Word w = unobserved[k] & nonempty[k]; w != 0; w &= w - 1) {
            ++unobserved_counts[static_cast<std::uint32_t>(rows[k * 64 + static_cast<unsigned>(std::countr_zero(w))])];
            ++absent_listed;
        }
    }
    auto clear_counts = [&] {
        for (std::uint32_t d = 0; d < d_count; ++d) one_counts[d] = 0;
        if constexpr (Masked) {
            for (std::uint32_t d = 0; d < d_count; ++d) unobserved_counts[d] = 0;
        }
    };
    // A pattern's entry: 2 per 1-row, 1 per unobserved row, -1 per row.
    auto delta_of = [&](std::uint32_t d) {
        const std::int64_t ones_delta = 2 * std::int64_t{one_counts[d]} - std::int64_t{counts[d]};
        if constexpr (Masked) return ones_delta + std::int64_t{unobserved_counts[d]};
        return ones_delta;
    };
    // Only the columns of patterns with more (observed) 1-rows than 0-rows
    // can be in the smallest best mask (sparse.hpp); the others are left
    // out of U, which makes them outside every mask tried. Below a vector's
    // lanes the table would be no smaller.
    if (std::popcount(touched) > static_cast<int>(Lanes::kBits)) {
        std::uint64_t useful = 0;
        for (std::uint32_t d = 0; d < d_count; ++d) {
            const std::uint64_t more_ones = delta_of(d) > 0 ? ~std::uint64_t{0} : 0;
            useful |= patterns[d] & more_ones;
        }
        touched = useful;
    }
    const unsigned u = static_cast<unsigned>(std::popcount(touched));
    if (plan.sparse.mode == SparseMode::Auto && sparse_cost(plan, u, ones + absent) >= plan.sparse.full_cost) {
        clear_counts();
        return std::nullopt;
    }

    // Fewer bits than a vector has lanes: the bits above u are touched by no
    // row, so an entry with some of them 1 equals the one with them 0, and
    // the largest index holding the minimum has them all 1, which leaves
    // them 0 in the mask.
    const unsigned bits = u > Lanes::kBits ? u : Lanes::kBits;
    const unsigned vb = bits - Lanes::kBits;
    Vec<T>* table = buf.sparse_table.as<Vec<T>>();
    // Each distinct pattern adds its delta at its compressed pattern; those
    // that miss U all compress to 0. The 1-rows and unobserved rows of the
    // empty pattern were not counted by pattern.
    std::int64_t missed = 2 * static_cast<std::int64_t>(ones - listed) + static_cast<std::int64_t>(absent - absent_listed);
    const auto entries = [&](auto&& take) {
        for (std::uint32_t d = 0; d < d_count; ++d) {
            const std::int64_t delta = delta_of(d);
            one_counts[d] = 0;
            if constexpr (Masked) unobserved_counts[d] = 0;
            const std::uint64_t p = patterns[d] & touched;
            if (p == 0) {
                missed += delta;
            } else {
                take(Bits::extract(p, touched), delta);
            }
        }
        take(0, missed);
    };
    std::optional<TableMinimum> least;
    SparseEntry* listed_entries = buf.sparse_entries.as<SparseEntry>();
    std::size_t n_entries = 0;
    if (vb > kChunkBits) {
        entries([&](std::uint64_t c, std::int64_t delta) { listed_entries[n_entries++] = {c, delta}; });
        least = chunked_minimum<T>(plan, buf, vb - kChunkBits, listed_entries, n_entries, stop, minimum);
        if (stop.stopped()) return ColumnAnswer{0, 0};
    }
    if (!least) {
        // Cleared a chunk at a time with a poll before each: a fresh table
        // of the largest ranks is faulted in here.
        const std::size_t stored = padded(std::size_t{1} << vb);
        constexpr std::size_t kStep = padded(std::size_t{1} << kChunkBits);
        for (std::size_t t0 = 0; t0 < stored; t0 += kStep) {
            if (stop.poll(4 * kStep)) {
                clear_counts();
                return ColumnAnswer{0, 0};
            }
            const std::size_t end = std::min(stored, t0 + kStep);
            for (std::size_t t = t0; t < end; ++t) table[t] = Vec<T>{};
        }
        const auto add = [&](std::uint64_t c, std::int64_t delta) { Lanes::add(table, c, Vec<T>{} + static_cast<T>(delta)); };
        if (vb > kChunkBits) {
            for (std::size_t k = 0; k < n_entries; ++k) add(listed_entries[k].pattern, listed_entries[k].delta);
        } else {
            entries(add);
        }
        least = minimum(plan.lanes, vb, buf, table, stop);
    }
    const std::uint64_t k = ~least->index & ((std::uint64_t{1} << u) - 1);
    return ColumnAnswer{Bits::deposit(k, touched), (m - ones) + static_cast<std::uint64_t>(least->value)};
}

template <class Bits>
std::optional<ColumnAnswer> solve_sparse_with(const ZetaPlan& plan, ZetaBuffers& buf, const BoolLs& s,
                                              std::span<const Word> x, std::span<const Word> unobserved,
                                              const Interrupt& stop, TableMinimumFn minimum) noexcept {
    return with_lane_type(plan.lanes, [&]<class T>() {
        if (unobserved.empty()) return solve_sparse_lanes<T, Bits, false>(plan, buf, s, x, unobserved, stop, minimum);
        return solve_sparse_lanes<T, Bits, true>(plan, buf, s, x, unobserved, stop, minimum);
    });
}

}  // namespace
}  // namespace bmf_core::any_set
