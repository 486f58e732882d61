// The sparse zeta solve in the AVX-512 set: the vector-extension lanes and
// pext and pdep as in the AVX2 set (sparse_avx2.cpp), the table's rounds
// those of full_avx512.cpp.
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

namespace bmf_core::avx512 {
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

}  // namespace bmf_core::avx512
VALDRIX_TARGET_END
