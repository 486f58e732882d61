// NumPy arrays over bytes the module allocated: an internal holder object,
// of the class PySliceContainer, owns the bytes and is the array's base, so
// the bytes are freed when the last view of them goes.
#pragma once

#include <Python.h>

#include <cstdint>

#include "bmf_py/failure_py.hpp"
#include "boolmat/buffer.hpp"

namespace bmf_py {

// A new C-contiguous, writable NumPy bool array of shape (rows, cols) whose
// data are `bytes` (rows * cols of them, row-major), taken over without a
// copy. On failure the bytes are freed.
Result<PyObject*> bool_array_over(boolmat::Buffer<std::uint8_t> bytes, std::uint64_t rows, std::uint64_t cols);

}  // namespace bmf_py
