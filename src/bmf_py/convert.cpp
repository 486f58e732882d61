#include "bmf_py/convert.hpp"

#include <algorithm>
#include <cstring>

#include "bmf_py/instance.hpp"
#include "bmf_py/pyref.hpp"

namespace bmf_py {

namespace {

// NumPy is never imported for this test: its Boolean scalar is recognised by
// the module and name of its type.
bool is_numpy_bool_scalar(PyObject* o) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(o));
    PyRef module(PyObject_GetAttrString(type, "__module__"));
    PyRef name(PyObject_GetAttrString(type, "__name__"));
    if (!module || !name) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(module.get()) && PyUnicode_Check(name.get()) &&
           PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
           (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
            PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
}

}  // namespace

Result<std::uint64_t> to_u64(PyObject* o) {
    PyRef index(PyNumber_Index(o));
    if (!index) return pending();
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return pending();
    return static_cast<std::uint64_t>(v);
}

Result<std::int64_t> to_i64(PyObject* o) {
    PyRef index(PyNumber_Index(o));
    if (!index) return pending();
    const long long v = PyLong_AsLongLong(index.get());
    if (v == -1 && PyErr_Occurred()) return pending();
    return static_cast<std::int64_t>(v);
}

Result<bool> to_bool(PyObject* o) {
    if (o == Py_True) return true;
    if (o == Py_False) return false;
    if (!is_numpy_bool_scalar(o)) return std::unexpected(cannot_convert(o, "PyBool"));
    PyRef method(PyObject_GetAttrString(o, "__bool__"));
    if (!method) {
        PyErr_Clear();
        return fail(ErrorKind::Type, "object of type '{}' does not define a '__bool__' conversion", type_qualname(o));
    }
    PyRef result(PyObject_CallNoArgs(method.get()));
    if (!result) return pending();
    if (result.get() == Py_True) return true;
    if (result.get() == Py_False) return false;
    return std::unexpected(cannot_convert(result.get(), "PyBool"));
}

Result<std::string> to_text(PyObject* o) {
    if (!PyUnicode_Check(o)) return std::unexpected(cannot_convert(o, "PyString"));
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(o, &n);
    if (s == nullptr) return pending();
    return std::string(s, static_cast<std::size_t>(n));
}

std::size_t size_hint(PyObject* o) {
    const Py_ssize_t n = PySequence_Size(o);
    if (n < 0) {
        PyErr_Clear();
        return 0;
    }
    return std::min(static_cast<std::size_t>(n), kMaxReserve);
}

Result<PyObject*> from_u64(std::uint64_t v) {
    PyObject* r = PyLong_FromUnsignedLongLong(v);
    if (r == nullptr) return pending();
    return r;
}

PyObject* from_bool(bool v) {
    PyObject* r = v ? Py_True : Py_False;
    Py_INCREF(r);
    return r;
}

}  // namespace bmf_py
