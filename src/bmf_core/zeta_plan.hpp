// The seam of the zeta solve: the plan that ZetaWork::prepare decides once
// per solver, the work buffers, the table layout every set shares, and the
// stateless kernels of each set. The kernels read the plan and the buffers
// and keep nothing of their own; what the base holds between columns lives
// in the buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "bmf_core/aligned.hpp"
#include "bmf_core/boolls.hpp"
#include "boolmat/isa.hpp"

namespace bmf_core {

// Width of the signed integers the table is transformed in. Every partial
// sum lies in [-m, m], so 16 bits are exact for m < 2^15 and 32 bits for
// m < 2^31; beyond that only 64 bits are.
enum class LaneWidth : std::uint8_t { Bits16, Bits32, Bits64 };

LaneWidth lane_width_for(std::uint64_t m) noexcept;

constexpr std::size_t lane_bytes(LaneWidth w) noexcept {
    return w == LaneWidth::Bits16 ? 2 : w == LaneWidth::Bits32 ? 4 : 8;
}

// The table is an array of 32-byte vectors, 2^lane_bits entries each (the
// entries of one vector differ in their lowest lane_bits index bits).
constexpr unsigned lane_bits(LaneWidth w) noexcept {
    return w == LaneWidth::Bits16 ? 4 : w == LaneWidth::Bits32 ? 3 : 2;
}

// 2^8 vectors: 8 KiB, a block, done in the first-level cache.
inline constexpr unsigned kBlockBits = 8;
// 2^12 vectors: 128 KiB, a chunk, which stays in the second-level cache
// while the bits above its blocks are done.
inline constexpr unsigned kChunkBits = 12;

// The table has one spare cache line after every block, so that the
// vectors of a round whose stride is a multiple of a block do not all fall
// into one set of the first-level cache (a stride that is a multiple of
// 4 KiB would make the sixteen vectors of a four-bit round evict each
// other). With it every round up to bit 16 can take four bits. Below a
// block there is no padding.
constexpr std::size_t padded(std::size_t t) noexcept { return t + 2 * (t >> kBlockBits); }

// A row's place in the table as one 32-bit code: the byte offset of its
// vector (a multiple of 32) plus the in-vector bits of its pattern, which
// pick the lanes of its supersets. Spread over top_bits > 0 (ZetaPlan): the
// offset is that of the vector with its top bits cleared (below 2^18), and
// the top bits go to bits 24 and up.
constexpr std::uint32_t row_code(std::uint64_t p, unsigned lb, unsigned top_bits) noexcept {
    const std::uint64_t v = p >> lb;
    const std::uint64_t low = p & ((std::uint64_t{1} << lb) - 1);
    if (top_bits == 0) return static_cast<std::uint32_t>(32 * padded(v) + low);
    const std::uint64_t rest = v & ((std::uint64_t{1} << kChunkBits) - 1);
    return static_cast<std::uint32_t>(32 * padded(rest) + low + ((v >> kChunkBits) << 24));
}

// Spread rows: for each count of top bits (1 to 4) and each value t of
// them, the supersets of t, as offsets in vectors from the vector with the
// top bits cleared.
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

// Internal linkage, so that position-independent code reads it directly.
constexpr TopSpread kTopSpread = make_top_spread();

// Which targets are solved over the subsets of the columns they touch
// (zeta_sparse.hpp): those the cost model sends there, none, or every one
// (the tests, which compare both ways on the same targets).
enum class SparseMode : std::uint8_t { Auto, Never, Always };

// How the columns of one solver are solved, decided by ZetaWork::prepare
// (or prepare_batch) from r, m and the active kernel set.
struct ZetaPlan {
    // The set whose kernels run: Avx2 or Generic (the GFNI set runs the
    // AVX2 zeta kernels: it has nothing of its own to add here).
    boolmat::Isa set = boolmat::Isa::Generic;
    LaneWidth lanes = LaneWidth::Bits16;
    unsigned r = 0;
    std::uint64_t m = 0;
    unsigned lane_bits = 4;
    // Fewer entries than one vector holds: the plain algorithm.
    bool plain = false;
    // Sixteen targets at a time (prepare_batch).
    bool batch = false;
    // The table: 2^vec_bits vectors, padded, of table_bytes.
    unsigned vec_bits = 0;
    std::size_t table_bytes = 0;
    // Many columns: the negated counts, with the in-vector stages done,
    // are kept in a base table after the table, and each target is brought
    // in from there.
    bool base = false;
    // Base with one to four bits above a chunk (AVX2): those bits are done
    // in the base once, and each row is added to every superset of its top
    // bits (0: not spread).
    unsigned top_bits = 0;
    // A base, one to four bits above a chunk and no spread (AVX2): the
    // chunks are done in full, then those bits in one round that only takes
    // minima.
    bool chunks_then_top = false;
    // Rows are listed by 32-bit index and added by their codes (m < 2^32).
    bool listed = false;
    // The patterns carried by the most rows (AVX2). Adding such rows one by
    // one makes a chain of dependent updates of one vector, so their set
    // rows are counted with popcounts over a mask of their rows instead.
    static constexpr unsigned kMaxHeavy = 8;
    unsigned heavy = 0;
    std::uint64_t heavy_patterns[kMaxHeavy] = {};
    std::uint64_t heavy_counts[kMaxHeavy] = {};
    // Targets may be solved over the subsets of the columns they touch
    // (m < 2^32: the counts of the distinct patterns are 32-bit).
    bool sparse = false;
    SparseMode sparse_mode = SparseMode::Auto;
    // The distinct patterns of W, and the estimated cost of a column the
    // full way, in the units of sparse_cost().
    std::uint32_t distinct = 0;
    double full_cost = 0;
    // No target touching more columns than this is worth the sparse way.
    unsigned sparse_max_bits = 0;
};

// The working memory of one solver at a time, reused across columns and
// across solvers.
struct ZetaBuffers {
    // The table being transformed, then, in base mode, the base (at
    // table_bytes). One block rather than two: two large blocks freed
    // together make the allocator hand their pages back, and the next call
    // would fault them all in again.
    AlignedBytes tables;
    AlignedBytes scratch;  // one block, for the last rounds
    // The row codes (row_code(); for a batch, row_code(p, 0, 0)).
    AlignedBytes codes;
    AlignedBytes rows;  // the rows of the current target, as indices
    // heavy masks of m bits, then the masks of the other rows (AVX2).
    AlignedBytes heavy_masks;
    // What the base holds beyond the counts (AVX2): the set rows of the
    // target last moved in among the light rows of the first base_counted
    // heavy patterns, and those patterns' counts base_heavy. After its
    // words, room for the rows to take out and to put in.
    AlignedBytes held;
    unsigned base_counted = 0;
    std::int64_t base_heavy[ZetaPlan::kMaxHeavy] = {};
    AlignedBytes batch_counts;  // the negated pattern counts, 16-bit
    // The base is filled for the first target solved the full way, so that
    // a solver whose targets all go the sparse way never touches it.
    bool base_ready = false;
    // The sparse way: the distinct patterns of W (32-bit), their counts,
    // and a counter each, zero between targets; each row's distinct
    // pattern; the table of the subsets of the columns a target touches.
    AlignedBytes distinct;
    AlignedBytes sparse_rows;
    AlignedBytes sparse_table;

    template <class T>
    T* table() const noexcept {
        return tables.as<T>();
    }
    template <class T>
    T* base(const ZetaPlan& plan) const noexcept {
        return reinterpret_cast<T*>(tables.as<char>() + plan.table_bytes);
    }
};

// The smallest entry of a transformed table and the largest index holding
// it.
struct TableMinimum {
    std::int64_t value;
    std::uint64_t index;
};

// Sixteen targets per batch, one per 16-bit lane.
inline constexpr std::uint64_t kZetaBatch = 16;

// The kernels of each set. fill_base: the base as the negated counts (with
// the top bits done when spread); solve: one target (m bits, tail clear)
// of a plan that is neither plain nor batch, polling `stop` between the
// rounds above a chunk and between chunks (stopped, the answer means
// nothing); solve_batch: the targets that
// are columns first to first + 15 of x, columns past the last reading as
// empty ones; table_minimum: the stages across the vectors of a table of
// 2^vec_bits vectors in the layout above, whose in-vector stages are done,
// in place (with buf.scratch room for one block, AVX2), and its minimum,
// polling `stop` as solve does.
#define VALDRIX_ZETA_KERNELS                                                                                   \
    void fill_base(const ZetaPlan& plan, ZetaBuffers& buf, const BoolLs& s) noexcept;                          \
    ColumnAnswer solve(const ZetaPlan& plan, ZetaBuffers& buf, const BoolLs& s, std::span<const Word> x,       \
                       const Interrupt& stop) noexcept;                                                       \
    void solve_batch(const ZetaPlan& plan, const ZetaBuffers& buf, const BoolLs& s, const BitMatrix& x,        \
                     std::uint64_t first, ColumnAnswer* out) noexcept;                                 \
    TableMinimum table_minimum(LaneWidth lanes, unsigned vec_bits, const ZetaBuffers& buf, void* table,        \
                               const Interrupt& stop) noexcept;

namespace generic {
VALDRIX_ZETA_KERNELS
}

namespace avx2 {
VALDRIX_ZETA_KERNELS
// Fills plan.heavy* and buf.heavy_masks from buf.codes still holding the
// plain 32-bit patterns.
void find_heavy_patterns(ZetaPlan& plan, ZetaBuffers& buf, const BoolLs& s) noexcept;
}  // namespace avx2
#undef VALDRIX_ZETA_KERNELS

}  // namespace bmf_core
