// What each Python class and function file contributes to the module, in the
// order the module adds them.
#pragma once

#include <Python.h>

#include <span>

#include "bmf_py/failure_py.hpp"

namespace bmf_py {

// New reference to the BitMatrix class, also stored in the module state.
Result<PyObject*> make_bitmatrix_class();

// Parts of the BitMatrix class that live in their own files.
std::span<const PyMethodDef> bitmatrix_basic_methods();       // bitmatrix_class.cpp
std::span<const PyType_Slot> bitmatrix_basic_slots();
std::span<const PyMethodDef> bitmatrix_algebra_methods();     // bitmatrix_algebra.cpp
std::span<const PyType_Slot> bitmatrix_algebra_slots();
std::span<const PyMethodDef> bitmatrix_conversion_methods();  // bitmatrix_convert.cpp
std::span<const PyMethodDef> bitmatrix_packed_methods();      // bitmatrix_packed.cpp
std::span<const PyMethodDef> bitmatrix_sparse_methods();      // bitmatrix_sparse.cpp

// New reference to the module function that pickles call to rebuild a
// BitMatrix, also stored in the module state.
Result<PyObject*> make_rebuild_function();

}  // namespace bmf_py
