// The Python BoolLs instance: one core least-squares solver and its borrow
// counter; and the least-squares functions of the module.
#pragma once

#include "bmf_core/boolls.hpp"
#include "bmf_py/instance.hpp"
#include "bmf_py/state.hpp"

namespace bmf_py {

template <>
struct ClassOf<bmf_core::BoolLs> {
    static constexpr const char* name = "BoolLs";
    static PyTypeObject* type() noexcept { return state().boolls_type; }
};

using PyBoolLs = Instance<bmf_core::BoolLs>;

// The user-facing rank check, made before any table is built.
inline Status check_user_rank(std::uint64_t r) {
    if (r > bmf_core::kMaxRank) {
        return fail(ErrorKind::Value, "rang {} trop grand : le tableau interne ferait 2^{} entrees", r, r);
    }
    return {};
}

// New references, in the order the module adds them.
Result<PyObject*> make_boolls_class();      // also stored in the module state
Result<PyObject*> make_boolls_function();
Result<PyObject*> make_boolls_masked_function();
Result<PyObject*> make_methods_function();

}  // namespace bmf_py
