// The boundary where failure values become Python exceptions.
#pragma once

#include <Python.h>

#include "boolmat/failure.hpp"

namespace bmf_py {

using boolmat::ErrorKind;
using boolmat::fail;
using boolmat::Failure;
using boolmat::Result;
using boolmat::Status;

// The interpreter's error indicator is set; the failure only says so.
inline std::unexpected<Failure> pending() { return fail(ErrorKind::Pending, ""); }

// Sets the interpreter's error indicator from f.
void raise(const Failure& f);

// PanicException, made on first use: derived directly from BaseException.
PyObject* panic_exception_type();

// The __qualname__ of o's type, as the conversion messages name it.
std::string type_qualname(PyObject* o);

// "argument 'name': ..." around a TypeError of a conversion; other kinds pass.
Failure name_argument(const char* name, Failure f);

}  // namespace bmf_py
