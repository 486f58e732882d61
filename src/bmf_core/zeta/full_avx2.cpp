// The AVX2 zeta solve of one target: the driver of transform.hpp over one
// 32-byte vector per register (lanes_avx2.hpp), and the base filled as
// target_avx2.hpp fills it.
#include <immintrin.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <limits>
#include <utility>

#include "bmf_core/zeta/kernels.hpp"
#include "boolmat/target.hpp"

VALDRIX_AVX2_BEGIN
#include "bmf_core/zeta/lane_switch.hpp"
#include "bmf_core/zeta/lanes_avx2.hpp"
#include "bmf_core/zeta/rounds.hpp"
#include "bmf_core/zeta/target_avx2.hpp"
#include "bmf_core/zeta/transform.hpp"

namespace bmf_core::avx2 {

TableMinimum table_minimum(LaneWidth lanes, unsigned vec_bits, const ZetaBuffers& buf, void* table,
                           const Interrupt& stop) noexcept {
    return simd::table_minimum<Lanes>(lanes, vec_bits, buf, table, stop);
}

void fill_base(const ZetaPlan& plan, ZetaBuffers& buf, const BoolLs& s, const Interrupt& stop) noexcept {
    with_lane_type(plan.lanes, [&]<class T>() { fill_base_lanes<T>(plan, buf, s, stop); });
}

ColumnAnswer solve_one(const ZetaPlan& plan, ZetaBuffers& buf, const BoolLs& s, std::span<const Word> x,
                       std::span<const Word> unobserved, const Interrupt& stop) noexcept {
    return simd::solve_one<Lanes>(plan, buf, s, x, unobserved, stop);
}

}  // namespace bmf_core::avx2
VALDRIX_TARGET_END
