// The perturbation of the search: one component of W o H replaced by a
// rank-1 fit of what the others leave wrong.
#pragma once

#include <cstdint>

#include "bmf_core/lcg64.hpp"
#include "bmf_core/search_starts.hpp"

namespace bmf_core {

// Row `j` of H becomes the columns of a rank-1 fit of the cells no other
// component covers (a 1 there gains, an observed 0 costs), grown from one
// such row of X drawn with `rng`, and column j of W its rows. Leaves the
// factors as they are when every 1 cell is covered by the others.
Status replace_component(const Cells& c, Factors& f, std::uint64_t j, Lcg64& rng, const Interrupt& stop = {});

}  // namespace bmf_core
