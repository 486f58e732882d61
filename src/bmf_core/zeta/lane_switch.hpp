// The one switch from a lane width to its lane type, for every kernel set.
// Include it inside the set's instruction-set region (after <cstdint> and
// layout.hpp), so that it is compiled with the set's kernels and the
// kernel it calls folds into it.
#pragma once

namespace bmf_core::any_set {
namespace {

// f.template operator()<T>() with T the signed lane type of `lanes`.
template <class F>
inline decltype(auto) with_lane_type(LaneWidth lanes, F&& f) {
    switch (lanes) {
        case LaneWidth::Bits16: return f.template operator()<std::int16_t>();
        case LaneWidth::Bits32: return f.template operator()<std::int32_t>();
        case LaneWidth::Bits64: break;
    }
    return f.template operator()<std::int64_t>();
}

}  // namespace
}  // namespace bmf_core::any_set
