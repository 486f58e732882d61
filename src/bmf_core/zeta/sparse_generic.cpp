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
namespace {

struct GenericOps {
    static std::uint64_t extract(std::uint64_t x, std::uint64_t mask) noexcept { return extract_bits(x, mask); }
    static TableMinimum minimum(LaneWidth lanes, unsigned vec_bits, const ZetaBuffers& buf, void* table,
                                const Interrupt& stop) noexcept {
        return table_minimum(lanes, vec_bits, buf, table, stop);
    }
    static std::uint64_t deposit(std::uint64_t x, std::uint64_t mask) noexcept { return deposit_bits(x, mask); }
};

}  // namespace

std::optional<ColumnAnswer> solve_sparse(const ZetaPlan& plan, ZetaBuffers& buf, const BoolLs& s,
                                         std::span<const Word> x, const Interrupt& stop) noexcept {
    return any_set::solve_sparse_with<GenericOps>(plan, buf, s, x, stop);
}

}  // namespace bmf_core::generic
