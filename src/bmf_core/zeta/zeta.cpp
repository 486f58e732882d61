#include "bmf_core/zeta/zeta.hpp"

#include <bit>

#include "bmf_core/zeta/kernels.hpp"

namespace bmf_core {

Status ZetaWork::prepare(const BoolLs& s, std::uint64_t targets) {
    solver_ = &s;
    return make_zeta_plan(plan_, buf_, s, targets, switches_);
}

ColumnAnswer ZetaWork::solve(std::span<const Word> x, const Interrupt& stop) { return solve_masked(x, {}, stop); }

ColumnAnswer ZetaWork::solve_masked(std::span<const Word> x, std::span<const Word> unobserved,
                                    const Interrupt& stop) {
    if (plan_.strategy == ZetaStrategy::SmallTable) {
        return solve_zeta_scalar(*solver_, x, unobserved, buf_.table<std::int64_t>());
    }
    const ZetaKernels& k = *plan_.kernels;
    // The kernels count the unobserved rows as 0-rows in the error.
    std::uint64_t absent = 0;
    for (const Word w : unobserved) absent += static_cast<std::uint64_t>(std::popcount(w));
    auto observed_only = [absent](ColumnAnswer a) { return ColumnAnswer{a.h, a.error - absent}; };
    if (plan_.sparse.on) {
        if (const auto a = k.solve_sparse(plan_, buf_, *solver_, x, unobserved, stop)) return observed_only(*a);
    }
    if (plan_.strategy == ZetaStrategy::Base && !buf_.base_ready) {
        k.fill_base(plan_, buf_, *solver_, stop);
        // Left unready, so that the next target fills it again.
        if (stop.stopped()) return {0, 0};
        buf_.base_ready = true;
    }
    return observed_only(k.solve_one(plan_, buf_, *solver_, x, unobserved, stop));
}

void ZetaWork::solve_batch(const BitMatrix& x, std::uint64_t first, ColumnAnswer* out) {
    plan_.kernels->solve_batch(plan_, buf_, *solver_, x, nullptr, first, out);
}

void ZetaWork::solve_batch_masked(const BitMatrix& x, const BitMatrix& observed, std::uint64_t first,
                                  ColumnAnswer* out) {
    plan_.kernels->solve_batch(plan_, buf_, *solver_, x, &observed, first, out);
}

}  // namespace bmf_core
