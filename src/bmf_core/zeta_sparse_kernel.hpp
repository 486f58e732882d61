// The sparse zeta solve of one target (zeta_sparse.hpp), written once in the
// portable lanes and built by each set in its own file, which supplies how
// bits are extracted and deposited (Bits::extract, Bits::deposit): inside
// the AVX2 region the same vector code becomes AVX2 instructions and pext
// and pdep are single instructions.
//
// The table of 2^|U| entries has the layout of the full one (zeta_plan.hpp)
// and, as there, the in-vector stages are done on the rows: each row adds
// its delta to the lanes of its vector that stand for supersets of its
// compressed pattern, so only the stages across vectors are left, in the
// cache-blocked rounds of the full solve. The last round takes the minimum.
//
// Include inside the set's region, after zeta_lanes_generic.hpp, with
// <bit>, <cstring>, <limits> and <optional> included before the region.
#pragma once

namespace bmf_core::generic {
namespace {

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

template <class T, class Bits>
std::optional<ColumnAnswer> solve_sparse_lanes(const ZetaPlan& plan, ZetaBuffers& buf, const BoolLs& s,
                                               std::span<const Word> x) noexcept {
    using Lanes = SparseLanes<T>;
    const std::uint64_t m = s.m();
    const std::uint64_t* pat = s.row_patterns().data();
    std::uint32_t* set_rows = buf.sparse_rows.as<std::uint32_t>();
    std::uint64_t touched = 0, ones = 0;
    for (std::size_t k = 0; k < x.size(); ++k) {
        for (Word w = x[k]; w != 0; w &= w - 1) {
            const std::uint64_t p = pat[k * 64 + static_cast<unsigned>(std::countr_zero(w))];
            touched |= p;
            set_rows[ones++] = static_cast<std::uint32_t>(p);
        }
        // A dense target touches every column within a few rows: it leaves
        // as soon as it touches more than any sparse solve is worth.
        if (static_cast<unsigned>(std::popcount(touched)) > plan.sparse_max_bits) return std::nullopt;
    }
    const unsigned u = static_cast<unsigned>(std::popcount(touched));
    if (plan.sparse_mode == SparseMode::Auto && sparse_cost(plan, u, ones) >= plan.full_cost) return std::nullopt;

    // Fewer bits than a vector has lanes: the bits above u are touched by no
    // row, so an entry with them set equals the one without, and the
    // largest index holding the minimum has them all set, which leaves them
    // clear in the mask.
    const unsigned bits = u > Lanes::kBits ? u : Lanes::kBits;
    const std::size_t nvec = std::size_t{1} << (bits - Lanes::kBits);
    Vec<T>* table = buf.sparse_table.as<Vec<T>>();
    const std::size_t stored = padded(nvec);
    for (std::size_t t = 0; t < stored; ++t) table[t] = Vec<T>{};

    // -1 for every row of W, by its distinct pattern: the rows whose
    // pattern misses U all compress to 0. Then +2 for each set row.
    const std::uint32_t* patterns = buf.distinct.as<std::uint32_t>();
    const std::uint32_t* counts = patterns + plan.distinct;
    std::uint64_t missed = m;
    for (std::uint32_t d = 0; d < plan.distinct; ++d) {
        const std::uint64_t p = patterns[d] & touched;
        if (p == 0) continue;
        missed -= counts[d];
        Lanes::add(table, Bits::extract(p, touched), Vec<T>{} - static_cast<T>(counts[d]));
    }
    Lanes::add(table, 0, Vec<T>{} - static_cast<T>(missed));
    const Vec<T> two = Vec<T>{} + T{2};
    for (std::uint64_t i = 0; i < ones; ++i) Lanes::add(table, Bits::extract(set_rows[i], touched), two);

    // Each block's own bits, then those above a block (a round does not
    // cross the padding after a block); the last round takes the minimum.
    const unsigned vb = bits - Lanes::kBits;
    StoreMin<T> least{Vec<T>{} + std::numeric_limits<T>::max()};
    if (vb <= kBlockBits) {
        rounds<T>(table, nvec, 0, vb, least);
    } else {
        Store store;
        constexpr std::size_t bvec = std::size_t{1} << kBlockBits;
        for (std::size_t b = 0; b < nvec; b += bvec) rounds<T>(table + padded(b), bvec, 0, kBlockBits, store);
        rounds<T>(table, nvec, kBlockBits, vb - kBlockBits, least);
    }
    const T best = hmin<T>(least.least);

    // The largest index holding the minimum.
    std::uint64_t top = 0;
    for (std::size_t v = nvec; v-- > 0;) {
        Vec<T> hit;
        equal_lanes<T>(table[padded(v)], Vec<T>{} + best, hit);
        std::size_t lane = kLanes<T>;
        while (lane-- > 0 && hit[lane] == 0) {
        }
        if (lane < kLanes<T>) {
            top = (static_cast<std::uint64_t>(v) << Lanes::kBits) + lane;
            break;
        }
    }
    const std::uint64_t k = ~top & ((std::uint64_t{1} << u) - 1);
    return ColumnAnswer{Bits::deposit(k, touched), (m - ones) + static_cast<std::uint64_t>(static_cast<std::int64_t>(best))};
}

template <class Bits>
std::optional<ColumnAnswer> solve_sparse_with(const ZetaPlan& plan, ZetaBuffers& buf, const BoolLs& s,
                                              std::span<const Word> x) noexcept {
    switch (plan.lanes) {
        case LaneWidth::Bits16: return solve_sparse_lanes<std::int16_t, Bits>(plan, buf, s, x);
        case LaneWidth::Bits32: return solve_sparse_lanes<std::int32_t, Bits>(plan, buf, s, x);
        case LaneWidth::Bits64: return solve_sparse_lanes<std::int64_t, Bits>(plan, buf, s, x);
    }
    return std::nullopt;
}

}  // namespace
}  // namespace bmf_core::generic
