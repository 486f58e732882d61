// Switches for the tests and fuzzers only: they force what production code
// leaves to the plan of the zeta solve (batched or one at a time, the lane
// width, which targets go the sparse way), so that every path can be
// compared with the others on the same targets. Production code does not
// include this header.
#pragma once

#include <cstdint>

#include "bmf_core/ao_bmf.hpp"
#include "bmf_core/zeta/zeta.hpp"

namespace bmf_core::testing {

// Every later prepare() of work follows `switches`.
void set_zeta_switches(ZetaWork& work, const ZetaTestSwitches& switches);

// set_zeta_switches, then work.prepare(s, targets).
Status prepare_zeta(ZetaWork& work, const BoolLs& s, std::uint64_t targets, const ZetaTestSwitches& switches);

// ao_bmf with the sparse way of every zeta solve forced; every mode gives
// the same result.
Result<BmfResult> ao_bmf_with_sparse(const BitMatrix& x, std::uint64_t r, Method method, std::uint64_t max_iter,
                                     std::uint64_t seed, SparseMode sparse, const Interrupt& stop = {});

// The same for ao_bmf_masked.
Result<BmfResult> ao_bmf_masked_with_sparse(const BitMatrix& x, const BitMatrix& observed, std::uint64_t r,
                                            Method method, std::uint64_t max_iter, std::uint64_t seed,
                                            SparseMode sparse, const Interrupt& stop = {});

}  // namespace bmf_core::testing
