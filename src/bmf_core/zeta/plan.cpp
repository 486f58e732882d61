// The plan of a solver's targets. Everything here runs once per solver (or
// per call), so it is baseline code; the per-target work is in the kernels
// of each set (kernels.hpp), and what only one set plans is in its
// complete_plan.
#include "bmf_core/zeta/plan.hpp"

#include <algorithm>
#include <bit>

#include "bmf_core/zeta/kernels.hpp"
#include "bmf_core/zeta/sparse.hpp"
#include "boolmat/kernels.hpp"

namespace bmf_core {

namespace {

// Above this, a base table for 32-bit lanes costs more memory than it saves
// time; 16-bit lanes always use one (half the counts' size).
constexpr std::size_t kMaxBase32Bytes = std::size_t{16} << 20;

// A full table beyond the second-level cache costs about three times as
// much per entry.
constexpr std::size_t kCachedTableBytes = std::size_t{4} << 20;
constexpr double kUncachedFactor = 3;

// Finding the distinct patterns of W costs about this much per row.
constexpr double kDistinctRowCost = 5.0;

const SparseCosts& sparse_costs(const ZetaPlan& plan) noexcept {
    return plan.kernels->sparse_costs[static_cast<unsigned>(plan.lanes)];
}

// The distinct patterns of W, their counts and two zero counters each into
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
    TRY_VOID(buf.distinct.reserve(4 * most * sizeof(std::uint32_t)));
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
        patterns[3 * n + d] = 0;
    }
    p.sparse.distinct = n;
    return {};
}

// Plans the sparse way: whether it can pay, up to how many touched columns,
// and its buffers. Leaves it off when it cannot.
Status plan_sparse(ZetaPlan& p, ZetaBuffers& buf, const BoolLs& s, bool many, SparseMode mode) {
    SparsePlan& sp = p.sparse;
    sp.mode = mode;
    // Above 2^32 - 1 rows a distinct pattern's count may not fit 32 bits.
    if (mode == SparseMode::Never || s.m() > 0xFFFFFFFFull) return {};
    const SparseCosts& c = sparse_costs(p);
    sp.full_cost = c.entry * static_cast<double>(std::uint64_t{1} << p.r) *
                   (p.table_bytes > kCachedTableBytes ? kUncachedFactor : 1);
    // A single target pays for finding the distinct patterns alone.
    if (mode == SparseMode::Auto && !many && kDistinctRowCost * static_cast<double>(s.m()) >= sp.full_cost / 2) {
        return {};
    }
    TRY_VOID(find_distinct(p, buf, s));
    unsigned max_bits = p.r;
    if (mode == SparseMode::Auto) {
        max_bits = 0;
        while (max_bits < p.r && sparse_cost(p, max_bits + 1, 0) < sp.full_cost) ++max_bits;
        if (sparse_cost(p, 0, 0) >= sp.full_cost) return {};
    }
    sp.max_bits = max_bits;
    const unsigned lb = lane_bits(p.lanes);
    const unsigned table_bits = max_bits > lb ? max_bits : lb;
    TRY_VOID(buf.sparse_table.reserve(32 * padded(std::size_t{1} << (table_bits - lb))));
    if (table_bits - lb > kChunkBits) {
        TRY_VOID(buf.sparse_entries.reserve(sparse_entries_bytes(sp.distinct, table_bits - lb - kChunkBits)));
    }
    sp.on = true;
    return {};
}

Status plan_batch(ZetaPlan& p, ZetaBuffers& buf, const BoolLs& s) {
    if (!batch_suits(s)) return boolmat::panic("pas de lot de colonnes pour m = {}, r = {}", s.m(), s.r());
    p.strategy = ZetaStrategy::Batch;
    p.lane_bits = 0;  // a vector per pattern
    p.vec_bits = p.r;
    p.table_bytes = 32 * padded(std::size_t{1} << p.r);
    // The negated counts as 16-bit values to broadcast into the batch table;
    // every count is below 2^15 here.
    const std::size_t entries = std::size_t{1} << p.r;
    TRY_VOID(buf.batch_counts.reserve(entries * sizeof(std::int16_t)));
    std::int16_t* neg = buf.batch_counts.as<std::int16_t>();
    const std::uint32_t* counts = s.pattern_counts().data();
    for (std::size_t i = 0; i < entries; ++i) neg[i] = static_cast<std::int16_t>(-static_cast<std::int32_t>(counts[i]));
    TRY_VOID(buf.codes.reserve(s.m() * sizeof(std::uint32_t)));
    std::uint32_t* codes = buf.codes.as<std::uint32_t>();
    for (std::uint64_t i = 0; i < s.m(); ++i) codes[i] = row_code(s.row_patterns()[i], 0, 0);
    TRY_VOID(buf.paired_word.reserve(2 * s.m() * sizeof(Word)));
    // A single-target table of an earlier solver is not kept alongside.
    if (buf.tables.capacity() > p.table_bytes) buf.tables.release();
    return buf.tables.reserve(p.table_bytes);
}

}  // namespace

bool batch_suits(const BoolLs& s) noexcept { return s.m() < (std::uint64_t{1} << 15) && s.r() <= kMaxBatchRank; }

double sparse_cost(const ZetaPlan& plan, unsigned u, std::uint64_t ones) noexcept {
    const SparseCosts& c = sparse_costs(plan);
    const unsigned lb = lane_bits(plan.lanes);
    const unsigned bits = u > lb ? u : lb;
    return c.fixed + c.one * static_cast<double>(ones) + c.distinct * static_cast<double>(plan.sparse.distinct) +
           c.entry * static_cast<double>(std::uint64_t{1} << bits);
}

LaneWidth lane_width_for(std::uint64_t m) noexcept {
    if (m < (std::uint64_t{1} << 15)) return LaneWidth::Bits16;
    if (m < (std::uint64_t{1} << 31)) return LaneWidth::Bits32;
    return LaneWidth::Bits64;
}

Status make_zeta_plan(ZetaPlan& p, ZetaBuffers& buf, const BoolLs& s, std::uint64_t targets,
                      const ZetaTestSwitches& switches) {
    p = ZetaPlan{};
    p.kernels = zeta_kernels_for(boolmat::active_isa());
    p.r = static_cast<unsigned>(s.r());
    p.m = s.m();
    if (switches.batch.value_or(targets >= kMinBatchTargets && batch_suits(s))) return plan_batch(p, buf, s);

    const LaneWidth lanes = switches.lanes.value_or(lane_width_for(s.m()));
    // Narrower lanes than m needs would overflow; only the tests choose the
    // width, and only wider.
    if (lane_bytes(lanes) < lane_bytes(lane_width_for(s.m()))) {
        return boolmat::panic("des voies de {} octets ne suffisent pas pour {} lignes", lane_bytes(lanes), s.m());
    }
    p.lanes = lanes;
    p.lane_bits = lane_bits(lanes);
    if (p.r < p.lane_bits) {
        p.strategy = ZetaStrategy::SmallTable;
        p.table_bytes = sizeof(std::int64_t) << p.r;
        return buf.tables.reserve(p.table_bytes);
    }
    p.vec_bits = p.r - p.lane_bits;
    p.table_bytes = 32 * padded(std::size_t{1} << p.vec_bits);
    const bool many = targets > 1;
    TRY_VOID(plan_sparse(p, buf, s, many, switches.sparse));
    const bool base =
        many && (lanes == LaneWidth::Bits16 || (lanes == LaneWidth::Bits32 && p.table_bytes <= kMaxBase32Bytes));
    p.strategy = base ? ZetaStrategy::Base : ZetaStrategy::OneTarget;
    TRY_VOID(p.kernels->complete_plan(p, buf, s));
    if (!base) {
        // Do not keep a base-sized block from an earlier solver: at the
        // largest rank that would be a third table.
        if (buf.tables.capacity() > p.table_bytes) buf.tables.release();
        return buf.tables.reserve(p.table_bytes);
    }
    // Filled by the first target solved the full way.
    buf.base_ready = false;
    return buf.tables.reserve(2 * p.table_bytes);
}

}  // namespace bmf_core
