// The module's entry point. Compiled for the baseline x86-64: it refuses to
// load on a processor that lacks the instruction sets the rest of the module
// is built for, instead of letting the first vector instruction kill the
// interpreter.
#include <Python.h>

#include "bmf_py/cpu_check.hpp"

namespace bmf_py {
PyObject* create_module();  // module.cpp, compiled with the full instruction sets
}

extern "C" PyMODINIT_FUNC PyInit_Valdrix(void) {
    char missing[64];
    if (bmf_py::missing_features(bmf_py::detect_cpu(), missing, sizeof missing) != 0) {
        PyErr_Format(PyExc_ImportError,
                     "Valdrix exige un processeur x86-64 avec AVX2, BMI1, BMI2, POPCNT et GFNI ; "
                     "ce processeur n'a pas : %s",
                     missing);
        return nullptr;
    }
    return bmf_py::create_module();
}
