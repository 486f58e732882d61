// NumPy arrays seen through the array interface fetched at first use. Only
// the few fields of the array struct that the module reads are declared.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

#include "bmf_py/failure_py.hpp"
#include "bmf_py/pyref.hpp"
#include "boolmat/indices.hpp"

namespace bmf_py {

// A 1-D or 2-D NumPy array of one-byte elements as a strided byte view,
// valid while the caller holds the array and the interpreter lock. For 1-D
// arrays rows is 1, cols the length and col_stride the stride.
struct ByteArrayView {
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
Result<ByteArrayView> as_bool_array(PyObject* o, int ndim);

// The same for a 2-D uint8 array, with messages of its own that say what
// `what` (the caller and argument, e.g. "from_packed : a") must be.
Result<ByteArrayView> as_uint8_matrix(PyObject* o, const char* what);

// The bytes of an object that exports a contiguous buffer (bytes,
// bytearray, memoryview, PickleBuffer, arrays...), read in place. `holder`
// keeps the export open: the bytes are valid while it lives and the caller
// holds the interpreter lock.
struct BufferBytes {
    PyRef holder;
    const std::uint8_t* data;
    std::uint64_t size;
};

// Through numpy.frombuffer, the one reader of any buffer that the stable ABI
// of 3.10 offers. None when o exports no contiguous buffer.
Result<std::optional<BufferBytes>> as_buffer_bytes(PyObject* o);

// A 1-D ndarray of a native integer type, read in place. None when o is not
// an ndarray or holds other values, which the caller reads as a sequence; a
// ValueError when it is an ndarray of another dimension count.
Result<std::optional<boolmat::IndexVector>> as_index_vector(PyObject* o, const char* what);

}  // namespace bmf_py
