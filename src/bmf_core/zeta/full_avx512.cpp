// The AVX-512 zeta solve of one target: the driver of transform.hpp over two
// 32-byte vectors per register (lanes_avx512.hpp). The rows of a target come
// in as in the AVX2 set (target_avx2.hpp), compiled here: a row touches one
// 32-byte vector, so wider registers gain nothing there.
#include <immintrin.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <limits>
#include <utility>

#include "bmf_core/zeta/kernels.hpp"
#include "boolmat/target.hpp"

VALDRIX_AVX512_BEGIN
// GCC 12 warns that the unset pass-through operand of the unmasked 512-bit
// minima and extracts may be used: it is not (the mask is all ones).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include "bmf_core/zeta/lane_switch.hpp"
#include "bmf_core/zeta/lanes_avx2.hpp"
#include "bmf_core/zeta/lanes_avx512.hpp"
#include "bmf_core/zeta/rounds.hpp"
#include "bmf_core/zeta/target_avx2.hpp"
#include "bmf_core/zeta/transform.hpp"

namespace bmf_core::avx512 {

TableMinimum table_minimum(LaneWidth lanes, unsigned vec_bits, const ZetaBuffers& buf, void* table,
                           const Interrupt& stop) noexcept {
    return simd::table_minimum<Lanes>(lanes, vec_bits, buf, table, stop);
}

ColumnAnswer solve_one(const ZetaPlan& plan, ZetaBuffers& buf, const BoolLs& s, std::span<const Word> x,
                       std::span<const Word> unobserved, const Interrupt& stop) noexcept {
    return simd::solve_one<Lanes>(plan, buf, s, x, unobserved, stop);
}

}  // namespace bmf_core::avx512
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
VALDRIX_TARGET_END
