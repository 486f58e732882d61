// The plan of a solver's columns and the dispatch to the kernels of the
// active set. Everything here runs once per solver (or per batch call), so
// it is portable code; the per-column work is in zeta_<set>.cpp.
#include "bmf_core/zeta.hpp"

#include <algorithm>
#include <bit>

#include "bmf_core/zeta_sparse.hpp"
#include "boolmat/kernels.hpp"
#include "boolmat/target.hpp"

namespace bmf_core {

namespace {

// Above this, a base table for 32-bit lanes costs more memory than it saves
// time; 16-bit lanes always use one (half the counts' size).
constexpr std::size_t kMaxBase32Bytes = std::size_t{16} << 20;
// Set rows are listed as 32-bit indices.
constexpr std::uint64_t kMaxListedRows = 0xFFFFFFFFull;
// Spreading the top bits needs at least this many vector bits: tables that
// fit the second-level cache (up to 2^14 vectors) gain too little from the
// round saved.
constexpr unsigned kMinSpreadBits = 15;

// The zeta kernels of a set: the GFNI set has no zeta kernels of its own.
boolmat::Isa zeta_set(boolmat::Isa isa) noexcept {
#if VALDRIX_X86
    if (isa == boolmat::Isa::Avx2 || isa == boolmat::Isa::Gfni) return boolmat::Isa::Avx2;
#endif
    (void)isa;
    return boolmat::Isa::Generic;
}

// With one to four bits above a chunk, a column costs a round over the
// whole table for those bits, which streams it from the third-level cache
// once more, and the stores of the round before it. Done once in the base,
// they cost instead an add for every superset of each moved row's top bits.
// A column moves about half the rows when its target is dense, at most all
// of them, so that sum over all rows bounds its cost. Measured with m = 2000
// and W of density 0.2, per column, r = 17: 11.4 -> 12.5 us, 18: 22.6 ->
// 24.0, 19: 50.6 -> 45.6, 20: 93.6 -> 84.7.
unsigned spread_top_bits(const ZetaPlan& plan, const std::uint32_t* patterns) noexcept {
    const unsigned vb = plan.vec_bits;
    if (vb < kMinSpreadBits || vb <= kChunkBits || vb > kChunkBits + 4) return 0;
    const unsigned hb = vb - kChunkBits;
    std::uint64_t adds = 0;
    for (std::uint64_t i = 0; i < plan.m; ++i) adds += kTopSpread.count[hb][patterns[i] >> (plan.lane_bits + kChunkBits)];
    return adds <= (std::uint64_t{1} << vb) ? hb : 0;
}

// The cost model of the sparse way against the full transform, per set and
// lane width, in nanoseconds as measured on a 2-core AMD EPYC (Zen 4) with
// m = 2000 and 20000; only the ratios matter. entry: per entry of a table,
// the same in both ways (the sparse way runs the set's own rounds); one: per
// set row; distinct: per distinct pattern of W; fixed: per sparse target.
struct SparseCosts {
    double entry;
    double one;
    double distinct;
    double fixed;
};

SparseCosts sparse_costs(const ZetaPlan& plan) noexcept {
    const bool avx2 = plan.set == boolmat::Isa::Avx2;
    switch (plan.lanes) {
        case LaneWidth::Bits16: return avx2 ? SparseCosts{0.12, 0.8, 1.0, 200} : SparseCosts{0.5, 2.0, 3.0, 400};
        case LaneWidth::Bits32: return avx2 ? SparseCosts{0.26, 0.8, 1.0, 200} : SparseCosts{1.0, 2.0, 3.0, 400};
        case LaneWidth::Bits64: return avx2 ? SparseCosts{0.52, 0.8, 1.0, 200} : SparseCosts{2.0, 2.0, 3.0, 400};
    }
    return {};
}

// A full table beyond the second-level cache costs about three times as
// much per entry (16-bit lanes, AVX2: 0.12 ns at r = 20, 0.37 at r = 22).
constexpr std::size_t kCachedTableBytes = std::size_t{4} << 20;
constexpr double kUncachedFactor = 3;

// Finding the distinct patterns of W costs about this much per row.
constexpr double kDistinctRowCost = 5.0;

// The distinct patterns of W, their counts and a zero counter each into
// buf.distinct; each row's pattern and distinct pattern, then the mask of
// the rows whose pattern is not empty, into buf.sparse_rows (sparse_row());
// through a hash table of the patterns at half load in buf.sparse_table.
Status find_distinct(ZetaPlan& p, ZetaBuffers& buf, const BoolLs& s) {
    const std::uint64_t m = s.m();
    const unsigned slot_bits = static_cast<unsigned>(std::bit_width(2 * m - 1));
    const std::size_t slots = std::size_t{1} << slot_bits;
    TRY_VOID(buf.sparse_table.reserve(slots * sizeof(std::uint32_t)));
    const std::size_t words = boolmat::words_for(m);
    TRY_VOID(buf.sparse_rows.reserve(m * sizeof(std::uint64_t) + words * sizeof(Word)));
    const std::uint64_t most = std::min<std::uint64_t>(m, std::uint64_t{1} << p.r);
    TRY_VOID(buf.distinct.reserve(3 * most * sizeof(std::uint32_t)));
    // A slot holds its distinct pattern's number + 1, 0 when empty.
    std::uint32_t* slot = buf.sparse_table.as<std::uint32_t>();
    std::fill(slot, slot + slots, 0u);
    std::uint32_t* patterns = buf.distinct.as<std::uint32_t>();
    std::uint64_t* row_info = buf.sparse_rows.as<std::uint64_t>();
    Word* nonempty = buf.sparse_rows.as<Word>() + m;
    std::fill(nonempty, nonempty + words, Word{0});
    std::uint32_t n = 0;
    const std::uint64_t* rows = s.row_patterns().data();
    for (std::uint64_t i = 0; i < m; ++i) {
        const std::uint64_t pattern = rows[i];
        std::size_t k = static_cast<std::size_t>((pattern * 0x9E3779B97F4A7C15ull) >> (64 - slot_bits));
        while (slot[k] != 0 && patterns[slot[k] - 1] != pattern) k = (k + 1) & (slots - 1);
        if (slot[k] == 0) {
            patterns[n++] = static_cast<std::uint32_t>(pattern);
            slot[k] = n;
        }
        row_info[i] = sparse_row(pattern, slot[k] - 1);
        nonempty[i / 64] |= Word{pattern != 0} << (i % 64);
    }
    // m < 2^32: no counter wrapped.
    const std::uint32_t* counts = s.pattern_counts().data();
    for (std::uint32_t d = 0; d < n; ++d) {
        patterns[n + d] = counts[patterns[d]];
        patterns[2 * n + d] = 0;
    }
    p.distinct = n;
    return {};
}

// Plans the sparse way: whether it can pay, up to how many touched columns,
// and its buffers. Leaves plan.sparse clear when it cannot.
Status prepare_sparse(ZetaPlan& p, ZetaBuffers& buf, const BoolLs& s, bool many, SparseMode mode) {
    p.sparse_mode = mode;
    // Above 2^32 - 1 rows a distinct pattern's count may not fit 32 bits.
    if (mode == SparseMode::Never || s.m() > 0xFFFFFFFFull) return {};
    const SparseCosts c = sparse_costs(p);
    p.full_cost = c.entry * static_cast<double>(std::uint64_t{1} << p.r) *
                  (p.table_bytes > kCachedTableBytes ? kUncachedFactor : 1);
    // A single target pays for finding the distinct patterns alone.
    if (mode == SparseMode::Auto && !many && kDistinctRowCost * static_cast<double>(s.m()) >= p.full_cost / 2) return {};
    TRY_VOID(find_distinct(p, buf, s));
    unsigned max_bits = p.r;
    if (mode == SparseMode::Auto) {
        max_bits = 0;
        while (max_bits < p.r && sparse_cost(p, max_bits + 1, 0) < p.full_cost) ++max_bits;
        if (sparse_cost(p, 0, 0) >= p.full_cost) return {};
    }
    p.sparse_max_bits = max_bits;
    const unsigned lb = lane_bits(p.lanes);
    const unsigned table_bits = max_bits > lb ? max_bits : lb;
    TRY_VOID(buf.sparse_table.reserve(32 * padded(std::size_t{1} << (table_bits - lb))));
    p.sparse = true;
    return {};
}

}  // namespace

double sparse_cost(const ZetaPlan& plan, unsigned u, std::uint64_t ones) noexcept {
    const SparseCosts c = sparse_costs(plan);
    const unsigned lb = lane_bits(plan.lanes);
    const unsigned bits = u > lb ? u : lb;
    return c.fixed + c.one * static_cast<double>(ones) + c.distinct * static_cast<double>(plan.distinct) +
           c.entry * static_cast<double>(std::uint64_t{1} << bits);
}

LaneWidth lane_width_for(std::uint64_t m) noexcept {
    if (m < (std::uint64_t{1} << 15)) return LaneWidth::Bits16;
    if (m < (std::uint64_t{1} << 31)) return LaneWidth::Bits32;
    return LaneWidth::Bits64;
}

Status ZetaWork::prepare(const BoolLs& s, bool many, LaneWidth lanes, SparseMode sparse) {
    // Narrower lanes than m needs would overflow; only the tests choose the
    // width, and only wider.
    if (lane_bytes(lanes) < lane_bytes(lane_width_for(s.m()))) {
        return boolmat::panic("des voies de {} octets ne suffisent pas pour {} lignes", lane_bytes(lanes), s.m());
    }
    solver_ = &s;
    ZetaPlan& p = plan_;
    p = ZetaPlan{};
    p.set = zeta_set(boolmat::active_isa());
    p.lanes = lanes;
    p.r = static_cast<unsigned>(s.r());
    p.m = s.m();
    p.lane_bits = lane_bits(lanes);
    if (p.r < p.lane_bits) {
        p.plain = true;
        p.table_bytes = sizeof(std::int64_t) << p.r;
        return buf_.tables.reserve(p.table_bytes);
    }
    p.vec_bits = p.r - p.lane_bits;
    p.table_bytes = 32 * padded(std::size_t{1} << p.vec_bits);
    TRY_VOID(prepare_sparse(p, buf_, s, many, sparse));
    p.base = many && (lanes == LaneWidth::Bits16 || (lanes == LaneWidth::Bits32 && p.table_bytes <= kMaxBase32Bytes));
    const bool avx2 = p.set == boolmat::Isa::Avx2;
    if (avx2) {
        TRY_VOID(buf_.scratch.reserve(std::size_t{32} << std::min(p.vec_bits, kBlockBits)));
        p.listed = s.m() <= kMaxListedRows;
    }
    if (p.listed) {
        TRY_VOID(buf_.rows.reserve((s.m() + 8 + 63) / 64 * 64 * sizeof(std::uint32_t)));
        // r <= 26: a pattern fits 32 bits, and the narrower copy halves what
        // the adds of target rows read.
        TRY_VOID(buf_.codes.reserve(s.m() * sizeof(std::uint32_t)));
        std::uint32_t* codes = buf_.codes.as<std::uint32_t>();
        for (std::uint64_t i = 0; i < s.m(); ++i) codes[i] = static_cast<std::uint32_t>(s.row_patterns()[i]);
        TRY_VOID(buf_.heavy_masks.reserve((2 * ZetaPlan::kMaxHeavy + 1) * boolmat::words_for(s.m()) * sizeof(Word)));
#if VALDRIX_X86
        avx2::find_heavy_patterns(p, buf_, s);
#endif
        p.top_bits = p.base ? spread_top_bits(p, codes) : 0;
        // From here on the rows are added by their codes.
        for (std::uint64_t i = 0; i < s.m(); ++i) codes[i] = row_code(codes[i], p.lane_bits, p.top_bits);
    }
    const unsigned above_chunk = p.vec_bits > kChunkBits ? p.vec_bits - kChunkBits : 0;
    p.chunks_then_top = avx2 && p.base && above_chunk >= 1 && above_chunk <= 4 && p.top_bits == 0;
    if (!p.base) {
        // Do not keep a base-sized block from an earlier solver: at the
        // largest rank that would be a third table.
        if (buf_.tables.capacity() > p.table_bytes) buf_.tables.release();
        return buf_.tables.reserve(p.table_bytes);
    }
    TRY_VOID(buf_.tables.reserve(2 * p.table_bytes));
    TRY_VOID(buf_.held.reserve(3 * boolmat::words_for(s.m()) * sizeof(Word)));
    // Filled by the first target solved the full way.
    buf_.base_ready = false;
    return {};
}

ColumnAnswer ZetaWork::solve(std::span<const Word> x, const Interrupt& stop) {
    if (plan_.plain) return solve_zeta_plain(*solver_, x, buf_.table<std::int64_t>());
    const bool avx2 = VALDRIX_X86 && plan_.set == boolmat::Isa::Avx2;
    if (plan_.sparse) {
#if VALDRIX_X86
        if (avx2) {
            if (const auto a = avx2::solve_sparse(plan_, buf_, *solver_, x, stop)) return *a;
        }
#endif
        if (!avx2) {
            if (const auto a = generic::solve_sparse(plan_, buf_, *solver_, x, stop)) return *a;
        }
    }
    if (plan_.base && !buf_.base_ready) {
#if VALDRIX_X86
        if (avx2) avx2::fill_base(plan_, buf_, *solver_);
#endif
        if (!avx2) generic::fill_base(plan_, buf_, *solver_);
        buf_.base_ready = true;
    }
#if VALDRIX_X86
    if (avx2) return avx2::solve(plan_, buf_, *solver_, x, stop);
#endif
    return generic::solve(plan_, buf_, *solver_, x, stop);
}

bool ZetaWork::batch_suits(const BoolLs& s) noexcept {
    return s.m() < (std::uint64_t{1} << 15) && s.r() <= kMaxBatchRank;
}

Status ZetaWork::prepare_batch(const BoolLs& s) {
    if (!batch_suits(s)) return boolmat::panic("pas de lot de colonnes pour m = {}, r = {}", s.m(), s.r());
    solver_ = &s;
    ZetaPlan& p = plan_;
    p = ZetaPlan{};
    p.set = zeta_set(boolmat::active_isa());
    p.batch = true;
    p.r = static_cast<unsigned>(s.r());
    p.m = s.m();
    p.lane_bits = 0;  // a vector per pattern
    p.vec_bits = p.r;
    p.table_bytes = 32 * padded(std::size_t{1} << p.r);
    // The negated counts as 16-bit values to broadcast into the batch table;
    // every count is below 2^15 here.
    const std::size_t entries = std::size_t{1} << p.r;
    TRY_VOID(buf_.batch_counts.reserve(entries * sizeof(std::int16_t)));
    std::int16_t* neg = buf_.batch_counts.as<std::int16_t>();
    const std::uint32_t* counts = s.pattern_counts().data();
    for (std::size_t i = 0; i < entries; ++i) neg[i] = static_cast<std::int16_t>(-static_cast<std::int32_t>(counts[i]));
    TRY_VOID(buf_.codes.reserve(s.m() * sizeof(std::uint32_t)));
    std::uint32_t* codes = buf_.codes.as<std::uint32_t>();
    for (std::uint64_t i = 0; i < s.m(); ++i) codes[i] = row_code(s.row_patterns()[i], 0, 0);
    // A single-target table of an earlier solver is not kept alongside.
    if (buf_.tables.capacity() > p.table_bytes) buf_.tables.release();
    return buf_.tables.reserve(p.table_bytes);
}

void ZetaWork::solve_batch(const BitMatrix& x, std::uint64_t first, ColumnAnswer* out) {
#if VALDRIX_X86
    if (plan_.set == boolmat::Isa::Avx2) return avx2::solve_batch(plan_, buf_, *solver_, x, first, out);
#endif
    generic::solve_batch(plan_, buf_, *solver_, x, first, out);
}

}  // namespace bmf_core
