// The sparse zeta solve in the AVX2 set: the vector-extension lanes compiled
// for AVX2, with BMI2's pext and pdep (sparse.hpp).
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

VALDRIX_AVX2_BEGIN
#include "bmf_core/zeta/sparse_kernel.hpp"

namespace bmf_core::avx2 {
namespace {

struct Bmi2Bits {
    static std::uint64_t extract(std::uint64_t x, std::uint64_t mask) noexcept { return _pext_u64(x, mask); }
    static std::uint64_t deposit(std::uint64_t x, std::uint64_t mask) noexcept { return _pdep_u64(x, mask); }
};

}  // namespace

std::optional<ColumnAnswer> solve_sparse(const ZetaPlan& plan, ZetaBuffers& buf, const BoolLs& s,
                                         std::span<const Word> x, std::span<const Word> unobserved,
                                         const Interrupt& stop) noexcept {
    return any_set::solve_sparse_with<Bmi2Bits>(plan, buf, s, x, unobserved, stop, table_minimum);
}

}  // namespace bmf_core::avx2
VALDRIX_TARGET_END
