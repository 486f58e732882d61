// The sparse zeta solve in the AVX-512 set: the vector-extension lanes and
// pext and pdep as in the AVX2 set (sparse_avx2.cpp), the table's rounds
// those of the AVX-512 instance of transform.hpp.
#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>

#include "bmf_core/zeta/kernels.hpp"
#include "bmf_core/zeta/sparse.hpp"
#include "boolmat/target.hpp"

VALDRIX_AVX512_BEGIN
#include "bmf_core/zeta/sparse_kernel.hpp"
#include "bmf_core/zeta/sparse_bmi2.hpp"

namespace bmf_core::avx512 {

std::optional<ColumnAnswer> solve_sparse(const ZetaPlan& plan, ZetaBuffers& buf, const BoolLs& s,
                                         std::span<const Word> x, std::span<const Word> unobserved,
                                         const Interrupt& stop) noexcept {
    return any_set::solve_sparse_with<any_set::Bmi2Bits>(plan, buf, s, x, unobserved, stop, table_minimum);
}

}  // namespace bmf_core::avx512
VALDRIX_TARGET_END
