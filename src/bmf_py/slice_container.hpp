// NumPy arrays over bytes the module allocated: an internal holder object,
// of the class PySliceContainer, owns the bytes and is the array's base, so
// the bytes are freed when the last view of them goes. Or, read-only, over
// bytes another object owns, which is then the base.
#pragma once

#include <Python.h>

#include <cstdint>

#include "bmf_py/failure_py.hpp"
#include "boolmat/buffer.hpp"

namespace bmf_py {

// The element type and shape of an array to hand out: (length,) or
// (rows, cols).
struct ArrayLayout {
    int type_num;  // a built-in NumPy type number
    std::uint64_t item_size;
    int nd;  // 1 or 2
    std::uint64_t dims[2];

    static ArrayLayout vector(int type_num, std::uint64_t item_size, std::uint64_t length) {
        return {type_num, item_size, 1, {length, 0}};
    }
    static ArrayLayout matrix(int type_num, std::uint64_t item_size, std::uint64_t rows, std::uint64_t cols) {
        return {type_num, item_size, 2, {rows, cols}};
    }
};

// A new C-contiguous, writable NumPy array whose data are `bytes`, taken
// over without a copy. On failure the bytes are freed.
Result<PyObject*> array_over(boolmat::Buffer<std::uint8_t> bytes, const ArrayLayout& layout);

// The same for a bool array of shape (rows, cols), one byte per element.
Result<PyObject*> bool_array_over(boolmat::Buffer<std::uint8_t> bytes, std::uint64_t rows, std::uint64_t cols);

// A read-only, one-dimensional uint8 array over `size` bytes at `data`,
// which `owner` holds: the array keeps a reference to owner as its base, so
// the bytes stay while the array or any export of it lives.
Result<PyObject*> read_only_array_over(const void* data, std::uint64_t size, PyObject* owner);

}  // namespace bmf_py
