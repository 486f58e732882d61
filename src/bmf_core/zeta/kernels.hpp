// The seam between the kernel sets of the zeta solve, built like boolmat's
// (boolmat/kernels.hpp): one constant table of entry points per set, looked
// up by the set. A plan holds the table of the set that was active when it
// was made, and every call goes through it; inside a set, a kernel may
// assume that set's features without checking again.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "bmf_core/zeta/plan.hpp"
#include "boolmat/isa.hpp"

namespace bmf_core {

// The smallest entry of a transformed table and the largest index holding
// it.
struct TableMinimum {
    std::int64_t value;
    std::uint64_t index;
};

// The cost model of the sparse way against the full transform, in
// nanoseconds; only the ratios matter. entry: per entry of a table, the same
// in both ways (the sparse way runs the set's own rounds); one: per 1-row;
// distinct: per distinct pattern of W; fixed: per sparse target.
struct SparseCosts {
    double entry;
    double one;
    double distinct;
    double fixed;
};

// The rows of a batch's sixteen targets: from row 0's word, every `stride`
// words, bits shift to shift + 15 of each. Paired (MaskedColumns, zeta.hpp):
// each word followed by its partner, the targets' 1 bits or unobserved
// cells, and the targets counted over their observed cells only.
struct BatchRows {
    const Word* words;
    std::size_t stride;
    unsigned shift;
    bool paired = false;
};

struct ZetaKernels {
    // The set whose kernels these are: Generic, Avx2 or Avx512 (the GFNI
    // set has no zeta kernels of its own and runs the AVX2 ones).
    boolmat::Isa isa;
    // The sparse way's costs on this set, by LaneWidth.
    SparseCosts sparse_costs[3];
    // Completes a plan of strategy OneTarget or Base with the set's own
    // fields and buffers.
    Status (*complete_plan)(ZetaPlan& plan, ZetaBuffers& buf, const BoolLs& s);
    // The base as the negated counts (with the top bits done when spread),
    // polling `stop` per chunk; stopped, the base means nothing.
    void (*fill_base)(const ZetaPlan& plan, ZetaBuffers& buf, const BoolLs& s, const Interrupt& stop) noexcept;
    // One target (m bits, tail clear) of a plan of strategy OneTarget or
    // Base (with its base filled), polling `stop` between the rounds above
    // a chunk and between chunks; stopped, the answer means nothing.
    // Under a mask, x holds the observed 1-rows and `unobserved` (else
    // empty) the rows that do not count, each adding 1 at its pattern; the
    // error returned then still counts them, as if they were 0-rows, and
    // the caller takes them off.
    ColumnAnswer (*solve_one)(const ZetaPlan& plan, ZetaBuffers& buf, const BoolLs& s, std::span<const Word> x,
                              std::span<const Word> unobserved, const Interrupt& stop) noexcept;
    // The same the sparse way, for a plan whose sparse way is on: the
    // answer, or none when the cost model sends the target the full way
    // (never in SparseMode::Always). Its table polls `stop` as solve_one's.
    // Under a mask as solve_one.
    std::optional<ColumnAnswer> (*solve_sparse)(const ZetaPlan& plan, ZetaBuffers& buf, const BoolLs& s,
                                                std::span<const Word> x, std::span<const Word> unobserved,
                                                const Interrupt& stop) noexcept;
    // The sixteen targets of `rows`, for a plan of strategy Batch.
    void (*solve_batch)(const ZetaPlan& plan, const ZetaBuffers& buf, const BoolLs& s, const BatchRows& rows,
                        ColumnAnswer* out) noexcept;
};

// The table of a set, or null when this build has none (the x86-64 sets off
// x86-64). The GFNI set's is the AVX2 set's.
const ZetaKernels* zeta_kernels_for(boolmat::Isa isa) noexcept;

// The entry points of each set, and table_minimum, which the sparse way of
// the same set calls directly: the stages across the vectors of a table of
// 2^vec_bits vectors in the layout of layout.hpp, whose in-vector stages are
// done, in place (with buf.scratch room for one block, AVX2), and its
// minimum, polling `stop` as solve_one does.
#define VALDRIX_ZETA_KERNELS                                                                                    \
    Status complete_plan(ZetaPlan& plan, ZetaBuffers& buf, const BoolLs& s);                                    \
    void fill_base(const ZetaPlan& plan, ZetaBuffers& buf, const BoolLs& s, const Interrupt& stop) noexcept;    \
    ColumnAnswer solve_one(const ZetaPlan& plan, ZetaBuffers& buf, const BoolLs& s, std::span<const Word> x,    \
                           std::span<const Word> unobserved, const Interrupt& stop) noexcept;                   \
    std::optional<ColumnAnswer> solve_sparse(const ZetaPlan& plan, ZetaBuffers& buf, const BoolLs& s,           \
                                             std::span<const Word> x, std::span<const Word> unobserved,         \
                                             const Interrupt& stop) noexcept;                                   \
    void solve_batch(const ZetaPlan& plan, const ZetaBuffers& buf, const BoolLs& s, const BatchRows& rows,      \
                     ColumnAnswer* out) noexcept;                                                               \
    TableMinimum table_minimum(LaneWidth lanes, unsigned vec_bits, const ZetaBuffers& buf, void* table,         \
                               const Interrupt& stop) noexcept;

namespace generic {
VALDRIX_ZETA_KERNELS
}
namespace avx2 {
VALDRIX_ZETA_KERNELS
}
#undef VALDRIX_ZETA_KERNELS

// The AVX-512 set has its own rounds; it plans, fills the base, brings rows
// in and solves batches as the AVX2 set does.
namespace avx512 {
ColumnAnswer solve_one(const ZetaPlan& plan, ZetaBuffers& buf, const BoolLs& s, std::span<const Word> x,
                       std::span<const Word> unobserved, const Interrupt& stop) noexcept;
std::optional<ColumnAnswer> solve_sparse(const ZetaPlan& plan, ZetaBuffers& buf, const BoolLs& s,
                                         std::span<const Word> x, std::span<const Word> unobserved,
                                         const Interrupt& stop) noexcept;
TableMinimum table_minimum(LaneWidth lanes, unsigned vec_bits, const ZetaBuffers& buf, void* table,
                           const Interrupt& stop) noexcept;
}  // namespace avx512

}  // namespace bmf_core
