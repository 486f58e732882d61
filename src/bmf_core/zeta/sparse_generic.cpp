// The sparse zeta solve in the generic set: bits are extracted and deposited
// one 1 bit at a time (sparse.hpp).
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>

#include "bmf_core/zeta/kernels.hpp"
#include "bmf_core/zeta/sparse.hpp"
#include "bmf_core/zeta/sparse_kernel.hpp"

namespace bmf_core::generic {

std::optional<ColumnAnswer> solve_sparse(const ZetaPlan& plan, ZetaBuffers& buf, const BoolLs& s,
                                         std::span<const Word> x, std::span<const Word> unobserved,
                                         const Interrupt& stop) noexcept {
    return any_set::solve_sparse_with<any_set::BitByBit>(plan, buf, s, x, unobserved, stop, table_minimum);
}

}  // namespace bmf_core::generic
