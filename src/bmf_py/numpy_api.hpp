// NumPy's C array interface, reached through the pointer table NumPy
// publishes in the capsule `_ARRAY_API`. No NumPy header is used: the few
// table entries and array fields the module needs are declared here, at the
// positions NumPy has kept fixed since its 1.x ABI.
#pragma once

#include <Python.h>

#include "bmf_py/failure_py.hpp"

namespace bmf_py::numpy {

inline constexpr int kBoolType = 0;           // NPY_BOOL
inline constexpr int kUInt8Type = 2;          // NPY_UBYTE
// NPY_LONG where C's long has 64 bits, else NPY_LONGLONG.
inline constexpr int kInt64Type = sizeof(long) == 8 ? 7 : 9;
inline constexpr int kArrayWriteable = 0x400;  // NPY_ARRAY_WRITEABLE

// The leading fields of NumPy's array object.
struct ArrayFields {
    PyObject_HEAD
    char* data;
    int nd;
    Py_ssize_t* dimensions;
    Py_ssize_t* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
};

// Typed access to the entries of the table.
class Api {
public:
    explicit Api(void** table) noexcept : t_(table) {}

    PyTypeObject* array_type() const noexcept;
    // New reference to the descriptor of a built-in type number, or null.
    PyObject* descr_from_type(int type_num) const noexcept;
    bool equiv_types(PyObject* descr_a, PyObject* descr_b) const noexcept;
    // Steals descr, whatever the outcome.
    PyObject* new_from_descr(PyTypeObject* subtype, PyObject* descr, int nd, const Py_ssize_t* dims,
                             const Py_ssize_t* strides, void* data, int flags, PyObject* obj) const noexcept;
    // Steals base, whatever the outcome; -1 with an error set on failure.
    int set_base_object(PyObject* array, PyObject* base) const noexcept;

private:
    void** t_;
};

// The interface, fetched from NumPy at the first call and kept for the
// process. Any step that fails is the internal fault "Failed to access NumPy
// array API capsule: ..." and nothing is kept, so a later call tries again.
Result<Api> api();

}  // namespace bmf_py::numpy
