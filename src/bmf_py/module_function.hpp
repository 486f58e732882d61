// Module-level functions are built function objects whose __module__ is
// "Valdrix"; their method definitions must outlive them (process lifetime).
#pragma once

#include <Python.h>

#include "bmf_py/failure_py.hpp"
#include "bmf_py/pyref.hpp"

namespace bmf_py {

inline Result<PyObject*> module_function(PyMethodDef* def) {
    PyRef module_name(PyUnicode_FromString("Valdrix"));
    if (!module_name) return pending();
    PyObject* f = PyCFunction_NewEx(def, nullptr, module_name.get());
    if (f == nullptr) return pending();
    return f;
}

}  // namespace bmf_py
