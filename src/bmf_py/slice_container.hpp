// NumPy arrays over bytes the module allocated: an internal holder object,
// of the class PySliceContainer, owns the bytes and is the array's base, so
// the bytes are freed when the last view of them goes. Or, read-only, over
// bytes another object owns, which is then the base. And the other way: a
// matrix over words that a Python object owns.
#pragma once

#include <Python.h>

#include <cstdint>

#include "bmf_py/failure_py.hpp"
#include "bmf_py/pyref.hpp"
#include "boolmat/bitmatrix.hpp"
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

// Lends the memory of `owner` to a core buffer, which holds a reference to
// owner until it lets go, from any thread (the release takes the
// interpreter lock).
boolmat::Lender python_lender(PyObject* owner) noexcept;
// The object a lender made by python_lender lends from; nullptr for any
// other lender.
PyObject* python_owner(const boolmat::Lender& lender) noexcept;

// Moves the words of a matrix that owns them into a new holder, which then
// lends them back to the matrix. Views of the holder keep the bits as they
// are: a later write to the matrix copies its words first.
Result<PyRef> hand_words_to_holder(boolmat::BitMatrix& m);

}  // namespace bmf_py
