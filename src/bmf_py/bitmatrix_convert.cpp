// Conversions of BitMatrix to and from Python lists and NumPy arrays.
#include <Python.h>

#include "bmf_py/classes.hpp"

namespace bmf_py {

std::span<const PyMethodDef> bitmatrix_conversion_methods() { return {}; }

}  // namespace bmf_py
