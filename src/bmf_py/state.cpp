#include "bmf_py/state.hpp"

namespace bmf_py {

ModuleState& state() noexcept {
    constinit static ModuleState s{};
    return s;
}

}  // namespace bmf_py
