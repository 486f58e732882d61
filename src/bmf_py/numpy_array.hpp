// NumPy arrays seen through the array interface fetched at first use. Only
// the few fields of the array struct that the module reads are declared.
#pragma once

#include <Python.h>

#include <cstdint>

#include "bmf_py/failure_py.hpp"

namespace bmf_py {

// A NumPy bool array (1-D or 2-D) as a strided byte view, valid while the
// caller holds the array and the interpreter lock. For 1-D arrays rows is 1,
// cols the length and col_stride the stride.
struct BoolArrayView {
    const std::uint8_t* data;
    std::uint64_t rows;
    std::uint64_t cols;
    std::int64_t row_stride;  // bytes, may be negative
    std::int64_t col_stride;  // bytes, may be negative
};

// Fetches the NumPy array interface if needed ("Failed to access NumPy array
// API capsule..." internal fault), then checks that o is an ndarray (or
// subclass) with ndim dimensions and a dtype equivalent to bool. Otherwise
// fails with TypeError "'{}' object cannot be converted to 'PyArray<T, D>'"
// (not yet named: the caller names the argument).
Result<BoolArrayView> as_bool_array(PyObject* o, int ndim);

}  // namespace bmf_py
