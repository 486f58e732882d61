#include "bmf_core/zeta/zeta.hpp"

#include "bmf_core/zeta/kernels.hpp"

namespace bmf_core {

Status ZetaWork::prepare(const BoolLs& s, std::uint64_t targets) {
    solver_ = &s;
    return make_zeta_plan(plan_, buf_, s, targets, switches_);
}

ColumnAnswer ZetaWork::solve(std::span<const Word> x, const Interrupt& stop) {
    if (plan_.strategy == ZetaStrategy::SmallTable) return solve_zeta_scalar(*solver_, x, {}, buf_.table<std::int64_t>());
    const ZetaKernels& k = *plan_.kernels;
    if (plan_.sparse.on) {
        if (const auto a = k.solve_sparse(plan_, buf_, *solver_, x, stop)) return *a;
    }
    if (plan_.strategy == ZetaStrategy::Base && !buf_.base_ready) {
        k.fill_base(plan_, buf_, *solver_, stop);
        // Left unready, so that the next target fills it again.
        if (stop.stopped()) return {0, 0};
        buf_.base_ready = true;
    }
    return k.solve_one(plan_, buf_, *solver_, x, stop);
}

ColumnAnswer ZetaWork::solve_masked(std::span<const Word> x, std::span<const Word> unobserved, const Interrupt&) {
    return solve_zeta_scalar(*solver_, x, unobserved);
}

void ZetaWork::solve_batch(const BitMatrix& x, std::uint64_t first, ColumnAnswer* out) {
    plan_.kernels->solve_batch(plan_, buf_, *solver_, x, first, out);
}

}  // namespace bmf_core
