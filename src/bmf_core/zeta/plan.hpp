// The plan of the zeta solve of one solver's targets, decided once per
// solver in one place (make_zeta_plan), and the working memory its kernels
// share. The kernels read the plan and the buffers and keep nothing of their
// own; what the base holds between targets lives in the buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "bmf_core/aligned.hpp"
#include "bmf_core/boolls.hpp"
#include "bmf_core/zeta/layout.hpp"

namespace bmf_core {

struct ZetaKernels;

// How the targets of one solver are solved.
enum class ZetaStrategy : std::uint8_t {
    // Fewer entries than one vector holds: the scalar algorithm, in a table
    // of 64-bit entries.
    SmallTable,
    // A single target: its table is made from the counts.
    OneTarget,
    // Many targets, one at a time: the negated counts, with the in-vector
    // stages done, are kept in a base table after the table, and each
    // target is brought in from there.
    Base,
    // Sixteen targets at a time, one per 16-bit lane of an interleaved
    // table of 16 entries per pattern.
    Batch,
};

// Targets per batch, and the solvers batches suit: their table has 16
// entries per pattern, so the rank must be small, and the lanes are 16 bits,
// so m < 2^15.
inline constexpr std::uint64_t kZetaBatch = 16;
inline constexpr std::uint64_t kMaxBatchRank = 15;
bool batch_suits(const BoolLs& s) noexcept;
// From this many targets a batch beats one target at a time (the batch
// table is worked through whole even for a single target).
inline constexpr std::uint64_t kMinBatchTargets = 4;

// Which targets go the sparse way (sparse.hpp): those the cost model sends
// there, none, or every one. Production plans always take Auto; the others
// are test switches (ZetaTestSwitches), with which the tests compare both
// ways on the same targets.
enum class SparseMode : std::uint8_t { Auto, Never, Always };

// What only the tests and fuzzers force, through bmf_core/testing.hpp:
// production code leaves every field as it is here, and the plan chooses.
struct ZetaTestSwitches {
    // Batched or one at a time (a batch needs batch_suits()).
    std::optional<bool> batch;
    // A lane width at least as wide as m needs.
    std::optional<LaneWidth> lanes;
    SparseMode sparse = SparseMode::Auto;
};

// The sparse way (sparse.hpp), planned for targets solved one at a time.
struct SparsePlan {
    // Targets may be solved over the subsets of the columns they touch
    // (m < 2^32: the counts of the distinct patterns are 32-bit).
    bool on = false;
    SparseMode mode = SparseMode::Auto;
    // The distinct patterns of W, and the estimated cost of a target the
    // full way, in the units of sparse_cost().
    std::uint32_t distinct = 0;
    double full_cost = 0;
    // No target touching more columns than this is worth the sparse way.
    unsigned max_bits = 0;
};

// What only the AVX2 kernels plan and read (their complete_plan).
struct Avx2Plan {
    // 1-rows are listed by 32-bit index and added by their codes (m < 2^32).
    bool listed = false;
    // With a base, one to four bits above a chunk: those bits are done in
    // the base once, and each row is added to every superset of its top
    // bits (0: not spread).
    unsigned top_bits = 0;
    // With a base, one to four bits above a chunk and no spread: the chunks
    // are done in full, then those bits in one round that only takes minima.
    bool chunks_then_top = false;
    // The patterns carried by the most rows. Adding such rows one by one
    // makes a chain of dependent updates of one vector, so their 1-rows are
    // counted with popcounts over a mask of their rows instead.
    static constexpr unsigned kMaxHeavy = 8;
    unsigned heavy = 0;
    std::uint64_t heavy_patterns[kMaxHeavy] = {};
    std::uint64_t heavy_counts[kMaxHeavy] = {};
};

struct ZetaPlan {
    // The kernels of the active set (kernels.hpp).
    const ZetaKernels* kernels = nullptr;
    ZetaStrategy strategy = ZetaStrategy::OneTarget;
    LaneWidth lanes = LaneWidth::Bits16;
    unsigned r = 0;
    std::uint64_t m = 0;
    unsigned lane_bits = 4;
    // The table: 2^vec_bits vectors, padded, of table_bytes.
    unsigned vec_bits = 0;
    std::size_t table_bytes = 0;
    SparsePlan sparse;
    Avx2Plan avx2;
};

// The working memory of one solver at a time, reused across targets and
// across solvers.
struct ZetaBuffers {
    // The table being transformed, then, with a base, the base (at
    // table_bytes). One block rather than two: two large blocks freed
    // together make the allocator hand their pages back, and the next call
    // would fault them all in again.
    AlignedBytes tables;
    // A block for the last rounds of the SIMD sets, and with a base a chunk
    // (chunk_scratch_bytes).
    AlignedBytes scratch;
    // The row codes (row_code(); for a batch, row_code(p, 0, 0)).
    AlignedBytes codes;
    AlignedBytes rows;  // the rows of the current target, as indices
    // heavy masks of m bits, then the masks of the other rows (AVX2).
    AlignedBytes heavy_masks;
    // What the base holds beyond the counts (AVX2): the 1-rows of the
    // target last moved in among the light rows of the first base_counted
    // heavy patterns, and those patterns' counts base_heavy. After its
    // words, room for the rows to take out and to put in; then, when
    // base_unobserved, the unobserved rows held likewise (once each), and
    // room for the rows whose amount drops or rises by 1.
    AlignedBytes held;
    unsigned base_counted = 0;
    bool base_unobserved = false;
    std::int64_t base_heavy[Avx2Plan::kMaxHeavy] = {};
    AlignedBytes batch_counts;  // the negated pattern counts, 16-bit
    // One word of the targets of a batched call paired with the same word
    // of their mask, per row (ZetaWork::pair_word), m pairs.
    AlignedBytes paired_word;
    // The base is filled for the first target solved the full way, so that
    // a solver whose targets all go the sparse way never touches it; a fill
    // that was stopped leaves it unready.
    bool base_ready = false;
    // The sparse way: the distinct patterns of W (32-bit), their counts,
    // and two counters each (1-rows, unobserved rows), zero between targets; each row's distinct
    // pattern; the table of the subsets of the columns a target touches.
    AlignedBytes distinct;
    AlignedBytes sparse_rows;
    AlignedBytes sparse_table;
    // For tables of several chunks: a target's entries (compressed
    // pattern, delta) sorted by the bits above a chunk, and where each
    // value of those bits starts (sparse_kernel.hpp).
    AlignedBytes sparse_entries;

    template <class T>
    T* table() const noexcept {
        return tables.as<T>();
    }
    template <class T>
    T* base(const ZetaPlan& plan) const noexcept {
        return reinterpret_cast<T*>(tables.as<char>() + plan.table_bytes);
    }
};

// Plans the solve of `targets` targets of s with the kernels of the active
// set, and readies the buffers: batched or one at a time, the strategy, the
// lane width, whether the sparse way may pay, and the set's own fields.
// Every choice of path is made here.
Status make_zeta_plan(ZetaPlan& plan, ZetaBuffers& buf, const BoolLs& s, std::uint64_t targets,
                      const ZetaTestSwitches& switches);

}  // namespace bmf_core
