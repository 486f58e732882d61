// The search's step in the AVX2 set, whose counts are popcnt instructions.
#include <algorithm>
#include <cstdint>

#include "bmf_core/search_step.hpp"
#include "boolmat/target.hpp"

#if VALDRIX_X86
VALDRIX_AVX2_BEGIN
#include "bmf_core/search_step_kernel.hpp"

namespace bmf_core::avx2 {

StepAnswer improve_one(const StepTarget& t, StepScratch& s) noexcept { return any_set::improve_one(t, s); }

}  // namespace bmf_core::avx2
VALDRIX_TARGET_END
#endif
