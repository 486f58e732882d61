// The sparse zeta solve in portable code: bits are extracted and deposited
// one set bit at a time (zeta_sparse.hpp).
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>

#include "bmf_core/zeta.hpp"
#include "bmf_core/zeta_lanes_generic.hpp"
#include "bmf_core/zeta_sparse.hpp"
#include "bmf_core/zeta_sparse_kernel.hpp"

namespace bmf_core::generic {
namespace {

struct PortableSet {
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
    return solve_sparse_with<PortableSet>(plan, buf, s, x, stop);
}

}  // namespace bmf_core::generic
