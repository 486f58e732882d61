// The frame's process-wide state: the module slot, the class objects made at
// initialisation and the PanicException class. Filled once, never emptied.
#pragma once

#include <Python.h>

namespace bmf_py {

struct ModuleState {
    PyObject* module = nullptr;
    PyTypeObject* bitmatrix_type = nullptr;
    PyTypeObject* boolls_type = nullptr;
    PyTypeObject* bmfresult_type = nullptr;
    PyTypeObject* searchresult_type = nullptr;
    PyObject* panic_exception = nullptr;
    PyObject* rebuild_bitmatrix = nullptr;            // what BitMatrix pickles call
    void** numpy_api = nullptr;                       // NumPy's array interface table, fetched at first use
    PyTypeObject* slice_container_type = nullptr;     // holder of to_numpy buffers, made at first use
};

ModuleState& state() noexcept;

}  // namespace bmf_py
