#include "bmf_core/testing.hpp"

#include "bmf_core/solve_work.hpp"

namespace bmf_core::testing {

void set_zeta_switches(ZetaWork& work, const ZetaTestSwitches& switches) { work.switches_ = switches; }

Status prepare_zeta(ZetaWork& work, const BoolLs& s, std::uint64_t targets, const ZetaTestSwitches& switches) {
    set_zeta_switches(work, switches);
    return work.prepare(s, targets);
}

Result<BmfResult> ao_bmf_with_sparse(const BitMatrix& x, std::uint64_t r, Method method, std::uint64_t max_iter,
                                     std::uint64_t seed, SparseMode sparse, const Interrupt& stop) {
    SolveWork work;
    set_zeta_switches(work.zeta, {.sparse = sparse});
    return ao_bmf(x, r, method, max_iter, seed, work, stop);
}

Result<BmfResult> ao_bmf_masked_with_sparse(const BitMatrix& x, const BitMatrix& observed, std::uint64_t r,
                                            Method method, std::uint64_t max_iter, std::uint64_t seed,
                                            SparseMode sparse, const Interrupt& stop) {
    SolveWork work;
    set_zeta_switches(work.zeta, {.sparse = sparse});
    return ao_bmf_masked(x, observed, r, method, max_iter, seed, work, stop);
}

}  // namespace bmf_core::testing
