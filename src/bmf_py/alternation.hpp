// Private module functions through which the Python drivers of the
// alternation (valdrix_learn's step-by-step run and its Dask run) take the
// start and the stopping rule from the core, so they cannot drift from
// ao_bmf. Outside __all__.
#pragma once

#include <Python.h>

#include "bmf_py/failure_py.hpp"

namespace bmf_py {

// New references to the built functions _start_columns and _judge_iteration.
Result<PyObject*> make_start_columns_function();
Result<PyObject*> make_judge_iteration_function();

}  // namespace bmf_py
