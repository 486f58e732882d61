// The attributes of the read-only result classes: a factor is handed out as
// a new copy on every read, so no caller can change a result; counts are ints.
#pragma once

#include <Python.h>

#include <functional>

#include "bmf_py/convert.hpp"
#include "bmf_py/frame.hpp"
#include "bmf_py/py_bitmatrix.hpp"

namespace bmf_py {

template <class T, BitMatrix T::*Factor>
PyObject* get_factor(PyObject* self, void*) {
    return run([&]() -> Result<PyObject*> {
        TRY(auto me, borrow_shared<T>(self));
        TRY(BitMatrix copy, ((*me).*Factor).clone());
        return wrap(std::move(copy));
    });
}

// `Read`: a member pointer or a function of the result, giving a count.
template <class T, auto Read>
PyObject* get_count(PyObject* self, void*) {
    return run([&]() -> Result<PyObject*> {
        TRY(auto me, borrow_shared<T>(self));
        return from_u64(std::invoke(Read, *me));
    });
}

}  // namespace bmf_py
