// The search's step in the generic set.
#include <algorithm>
#include <cstdint>

#include "bmf_core/search_step.hpp"
#include "bmf_core/search_step_kernel.hpp"

namespace bmf_core::generic {

StepAnswer improve_one(const StepTarget& t, StepScratch& s) noexcept { return any_set::improve_one(t, s); }

}  // namespace bmf_core::generic
