#include "bmf_core/search_step.hpp"

#include <vector>

#include "boolmat/kernels.hpp"
#include "boolmat/target.hpp"

namespace bmf_core {

namespace {

// A target's fixed cost, in the units of StepCount::work.
constexpr std::uint64_t kTargetWork = 32;

using ImproveOne = StepAnswer (*)(const StepTarget&, StepScratch&) noexcept;

ImproveOne improve_one_for(boolmat::Isa isa) noexcept {
#if VALDRIX_X86
    if (isa != boolmat::Isa::Generic) return avx2::improve_one;
#else
    (void)isa;
#endif
    return generic::improve_one;
}

}  // namespace

Result<StepCount> improve_rows(const BitMatrix& basis, const BitMatrix& targets, const BitMatrix* observed,
                               BitMatrix& masks, std::uint64_t node_budget, const Interrupt& stop,
                               const StepHistory* history) {
    return improve_rows_in(boolmat::active_isa(), basis, targets, observed, masks, node_budget, stop, history);
}

Result<StepCount> improve_rows_in(boolmat::Isa isa, const BitMatrix& basis, const BitMatrix& targets,
                                  const BitMatrix* observed, BitMatrix& masks, std::uint64_t node_budget,
                                  const Interrupt& stop, const StepHistory* history) {
    const std::uint64_t r = basis.rows(), words = targets.stride();
    if (r > kMaxStepRank) return boolmat::panic("trop de composantes pour un pas de la recherche");
    TRY_VOID(masks.own_words());
    std::vector<Word> zeros(words), settled(words), cov((r + 1) * words), reach((r + 1) * words);
    std::vector<Word> taken(boolmat::words_for(r));
    std::vector<const Word*> open(r);
    std::vector<std::uint64_t> ids(r), chosen(r), best(r);
    std::vector<std::uint64_t> keys(r);
    StepScratch scratch{zeros.data(), settled.data(), cov.data(), reach.data(), taken.data(),
                        open.data(),  ids.data(),     keys.data(), chosen.data(), best.data()};
    const ImproveOne improve_one = improve_one_for(isa);
    StepCount total;
    std::uint64_t last_work = 0;
    for (std::uint64_t t = 0; t < targets.rows(); ++t) {
        // A target's search may visit thousands of nodes: count what the last one did.
        TRY_VOID(stop.check(last_work));
        const StepTarget target{targets.row_ptr(t),
                                observed == nullptr ? nullptr : observed->row_ptr(t),
                                words,
                                targets.cols(),
                                basis.words().data(),
                                basis.stride(),
                                r,
                                masks.row_ptr(t),
                                node_budget,
                                history != nullptr && history->exact[t] != 0 ? history->changed : nullptr};
        const StepAnswer a = improve_one(target, scratch);
        if (history != nullptr) history->exact[t] = a.exact;
        total.error += a.error;
        // Each component is read a few times per target, each node reads its words twice.
        last_work = kTargetWork + 4 * r * words + a.nodes * (2 * words + 4) + a.reads;
        total.work += last_work;
        ++(a.exact ? total.exact : total.inexact);
    }
    return total;
}

}  // namespace bmf_core
