// Operators, counts, comparison, hashing, transpose and the text form of
// BitMatrix.
#include <Python.h>

#include "bmf_py/classes.hpp"

namespace bmf_py {

std::span<const PyMethodDef> bitmatrix_algebra_methods() { return {}; }
std::span<const PyType_Slot> bitmatrix_algebra_slots() { return {}; }

}  // namespace bmf_py
