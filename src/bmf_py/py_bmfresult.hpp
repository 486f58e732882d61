// The Python BmfResult instance: one core factorisation result and its
// borrow counter; and the factorisation functions of the module.
#pragma once

#include "bmf_core/ao_bmf.hpp"
#include "bmf_py/instance.hpp"
#include "bmf_py/state.hpp"

namespace bmf_py {

template <>
struct ClassOf<bmf_core::BmfResult> {
    static constexpr const char* name = "BmfResult";
    static PyTypeObject* type() noexcept { return state().bmfresult_type; }
};

using PyBmfResult = Instance<bmf_core::BmfResult>;

// New references, in the order the module adds them.
Result<PyObject*> make_bmfresult_class();  // also stored in the module state
Result<PyObject*> make_ao_bmf_function();
Result<PyObject*> make_ao_bmf_masked_function();

}  // namespace bmf_py
