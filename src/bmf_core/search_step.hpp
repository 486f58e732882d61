// One step of the search's alternation: every target row against a fixed
// set of components, each answer improved from the one it holds. A target's
// components are pruned first (those that cover none of its uncovered 1
// cells are left out, those that cover none of its observed 0 cells are
// taken), then the rest are searched depth first with a bound. The answer
// never gets worse than the one held, and is exact whenever the search ends
// within its node budget.
#pragma once

#include <cstdint>

#include "bmf_core/boolls.hpp"
#include "boolmat/isa.hpp"

namespace bmf_core {

struct StepCount {
    std::uint64_t error = 0;    // the summed errors of the answers
    std::uint64_t work = 0;     // words read, about: a count of the step's work, for budgets
    std::uint64_t exact = 0;    // targets whose search ended: their answer is a best one
    std::uint64_t inexact = 0;  // targets whose search hit the node budget
};

inline constexpr std::uint64_t kStepNodeBudget = std::uint64_t{1} << 12;

// The most components a step takes.
inline constexpr std::uint64_t kMaxStepRank = std::uint64_t{1} << 16;

// One target of a step, for the kernels: its 1 cells and observed cells
// (null: all) as `words` words, the components as rows of `basis`, and the
// answer it holds (words_for(r) words), overwritten when it changes.
struct StepTarget {
    const Word* ones;
    const Word* observed;
    std::uint64_t words;
    std::uint64_t cols;  // the cells of a target: the bits of its words that count
    const Word* basis;
    std::uint64_t basis_stride;
    std::uint64_t r;
    Word* answer;
    std::uint64_t node_budget;
    // Null, or the components changed since the answer held was found a
    // best one (words_for(r) bits): if it takes none of them, only answers
    // that take one can beat it.
    const Word* changed = nullptr;
};
struct StepAnswer {
    std::uint64_t error;
    bool exact;
    std::uint64_t nodes;  // of the depth-first search
    std::uint64_t reads;  // words its cuts read beyond its nodes' own
};
// Working memory of one target's search: r + 1 rows of `words` words for
// cov and reach, `words` for zeros and settled, words_for(r) for taken, r
// for open, ids, keys, chosen and best.
struct StepScratch {
    Word* zeros;
    Word* settled;
    Word* cov;
    Word* reach;
    Word* taken;
    const Word** open;
    std::uint64_t* ids;
    std::uint64_t* keys;
    std::uint64_t* chosen;  // the components taken on the path, as a stack
    std::uint64_t* best;    // those of the best answer found
};

namespace generic {
StepAnswer improve_one(const StepTarget& t, StepScratch& s) noexcept;
}
namespace avx2 {
StepAnswer improve_one(const StepTarget& t, StepScratch& s) noexcept;
}

// What a step knows from the previous step on the same targets: the
// components changed since (words_for(r) bits), and which of its answers
// were exact (one byte per target), overwritten with this step's.
struct StepHistory {
    const Word* changed;
    std::uint8_t* exact;
};

// `basis`: r x L, component j's cells in row j. `targets`: T x L, the 1 cells
// (observed ones only); `observed`: null (every cell observed) or T x L.
// `masks`: T x r, row t the components of target t's answer, read as the
// start and overwritten with the answer.
Result<StepCount> improve_rows(const BitMatrix& basis, const BitMatrix& targets, const BitMatrix* observed,
                               BitMatrix& masks, std::uint64_t node_budget = kStepNodeBudget,
                               const Interrupt& stop = {}, const StepHistory* history = nullptr);
// The same in the kernel set `isa` rather than the active one.
Result<StepCount> improve_rows_in(boolmat::Isa isa, const BitMatrix& basis, const BitMatrix& targets,
                                  const BitMatrix* observed, BitMatrix& masks, std::uint64_t node_budget,
                                  const Interrupt& stop = {}, const StepHistory* history = nullptr);

}  // namespace bmf_core
