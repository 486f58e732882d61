#include "bmf_core/zeta/kernels.hpp"

#include "boolmat/target.hpp"

namespace bmf_core {

namespace {

// The sparse costs were measured per set (bench/notes/zeta.md): the AVX2
// rounds are about four times as fast per entry, and its rows cheaper.
constexpr ZetaKernels kGeneric{
    .isa = boolmat::Isa::Generic,
    .sparse_costs = {{0.5, 2.0, 3.0, 400}, {1.0, 2.0, 3.0, 400}, {2.0, 2.0, 3.0, 400}},
    .complete_plan = generic::complete_plan,
    .fill_base = generic::fill_base,
    .solve_one = generic::solve_one,
    .solve_sparse = generic::solve_sparse,
    .solve_batch = generic::solve_batch,
};

#if VALDRIX_X86
constexpr ZetaKernels kAvx2{
    .isa = boolmat::Isa::Avx2,
    .sparse_costs = {{0.12, 0.8, 1.0, 200}, {0.26, 0.8, 1.0, 200}, {0.52, 0.8, 1.0, 200}},
    .complete_plan = avx2::complete_plan,
    .fill_base = avx2::fill_base,
    .solve_one = avx2::solve_one,
    .solve_sparse = avx2::solve_sparse,
    .solve_batch = avx2::solve_batch,
};

// The AVX-512 set keeps the AVX2 costs: its rows are the AVX2 ones, and its
// rounds are the same driver over wider registers, bound as those are by
// the traffic between the caches.
constexpr ZetaKernels kAvx512{
    .isa = boolmat::Isa::Avx512,
    .sparse_costs = {{0.12, 0.8, 1.0, 200}, {0.26, 0.8, 1.0, 200}, {0.52, 0.8, 1.0, 200}},
    .complete_plan = avx2::complete_plan,
    .fill_base = avx2::fill_base,
    .solve_one = avx512::solve_one,
    .solve_sparse = avx512::solve_sparse,
    .solve_batch = avx2::solve_batch,
};
#endif

}  // namespace

const ZetaKernels* zeta_kernels_for(boolmat::Isa isa) noexcept {
    switch (isa) {
        case boolmat::Isa::Generic: return &kGeneric;
#if VALDRIX_X86
        case boolmat::Isa::Avx2:
        case boolmat::Isa::Gfni: return &kAvx2;
        case boolmat::Isa::Avx512: return &kAvx512;
#else
        default: return nullptr;
#endif
    }
    return nullptr;
}

}  // namespace bmf_core
