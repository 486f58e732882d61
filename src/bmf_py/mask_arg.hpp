// The `mask` argument of the masked entry points: which cells of the targets
// were observed. A 1-D mask is a bool array, as the x it goes with; a 2-D
// mask is a BitMatrix, borrowed shared for the call, or a 2-D bool array,
// copied into bits. Shapes are checked against the targets before any copy.
#pragma once

#include <Python.h>

#include <optional>

#include "bmf_py/failure_py.hpp"
#include "bmf_py/instance.hpp"
#include "bmf_py/numpy_array.hpp"
#include "bmf_py/py_bitmatrix.hpp"

namespace bmf_py {

// A 1-D mask of `length` elements for an x of `x_length`.
Status check_mask_length(std::uint64_t length, std::uint64_t x_length);

class MaskMatrix {
public:
    // A TypeError not yet named when o is neither a BitMatrix nor a 2-D bool
    // array. Nothing is copied yet.
    static Result<MaskMatrix> convert(PyObject* o);

    // The bits, once the shape is checked against the targets' (rows x cols).
    // The array is read here, with the interpreter lock held; the result
    // lives as long as this object.
    Result<const BitMatrix*> bits_for(std::uint64_t rows, std::uint64_t cols);

private:
    MaskMatrix() = default;

    std::optional<Shared<BitMatrix>> borrowed_;
    ByteArrayView array_{};
    std::optional<BitMatrix> copied_;
};

}  // namespace bmf_py
