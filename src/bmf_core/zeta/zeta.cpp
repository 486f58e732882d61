#include "bmf_core/zeta/zeta.hpp"

#include <bit>

#include "bmf_core/zeta/kernels.hpp"
#include "boolmat/words.hpp"

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
    plan_.kernels->solve_batch(plan_, buf_, *solver_, {&x}, first, out);
}

void ZetaWork::solve_batch_masked(const BitMatrix& x, const BitMatrix& observed, std::uint64_t first,
                                  ColumnAnswer* out) {
    plan_.kernels->solve_batch(plan_, buf_, *solver_, {&x, &observed}, first, out);
}

void ZetaWork::solve_batch_masked(const MaskedColumns& x, std::uint64_t first, ColumnAnswer* out) {
    plan_.kernels->solve_batch(plan_, buf_, *solver_, {.x = &x.words, .paired = true}, first, out);
}

Result<MaskedColumns> pair_columns(const BitMatrix& x, const BitMatrix& observed) {
    const std::uint64_t stride = x.stride();
    TRY(BitMatrix words, BitMatrix::uninit(x.rows(), 128 * stride));
    for (std::uint64_t i = 0; i < x.rows(); ++i) {
        const Word* t = x.row_ptr(i);
        const Word* o = observed.row_ptr(i);
        Word* to = words.row_ptr(i);
        for (std::uint64_t k = 0; k < stride; ++k) {
            to[2 * k] = t[k] & o[k];
            // Past the last column nothing is unobserved.
            to[2 * k + 1] = (t[k] | ~o[k]) & (k + 1 == stride ? boolmat::tail_mask(x.cols()) : ~Word{0});
        }
    }
    return MaskedColumns{std::move(words), x.cols()};
}

}  // namespace bmf_core
