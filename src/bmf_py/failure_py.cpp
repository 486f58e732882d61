#include "bmf_py/failure_py.hpp"

#include "bmf_py/state.hpp"
#include "bmf_py/pyref.hpp"

namespace bmf_py {

namespace {

// The Python exception of each kind: the one place that maps them. Pending
// and Stopped have none of their own (the exception is already set), and
// Memory is raised by PyErr_NoMemory.
PyObject* exception_type(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::Panic: return panic_exception_type();
        case ErrorKind::Memory: return PyExc_MemoryError;
        case ErrorKind::Environment: return PyExc_ImportError;  // only the import checks the environment
        case ErrorKind::Type: return PyExc_TypeError;
        case ErrorKind::Value: return PyExc_ValueError;
        case ErrorKind::Index: return PyExc_IndexError;
        case ErrorKind::Overflow: return PyExc_OverflowError;
        case ErrorKind::Unsupported: return PyExc_NotImplementedError;
        case ErrorKind::Borrowed: return PyExc_RuntimeError;
        case ErrorKind::Stopped:
        case ErrorKind::Pending: break;
    }
    return nullptr;
}

}  // namespace

PyObject* panic_exception_type() {
    ModuleState& s = state();
    if (s.panic_exception == nullptr) {
        s.panic_exception = PyErr_NewExceptionWithDoc(
            "Valdrix.PanicException",
            "Faute interne de Valdrix : une precondition du noyau a ete violee ou une taille ne peut etre "
            "representee.",
            PyExc_BaseException, nullptr);
    }
    return s.panic_exception;
}

void raise(const Failure& f) {
    // A call is stopped only by its signal check (gil.hpp), which leaves
    // the exception of the signal's handler pending.
    if (f.kind == ErrorKind::Pending || f.kind == ErrorKind::Stopped) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        }
        return;
    }
    if (f.kind == ErrorKind::Memory) {
        PyErr_NoMemory();
        return;
    }
    PyObject* type = exception_type(f.kind);
    if (type == nullptr) return;  // making PanicException failed; its error is set
    if (f.tmpl.empty()) {
        PyErr_SetNone(type);
        return;
    }
    const std::string msg = f.message();
    PyRef text(PyUnicode_FromStringAndSize(msg.data(), static_cast<Py_ssize_t>(msg.size())));
    if (!text) return;
    PyErr_SetObject(type, text.get());
}

std::string type_qualname(PyObject* o) {
    PyRef name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__qualname__"));
    if (name && PyUnicode_Check(name.get())) {
        Py_ssize_t n = 0;
        if (const char* s = PyUnicode_AsUTF8AndSize(name.get(), &n)) return std::string(s, static_cast<std::size_t>(n));
    }
    PyErr_Clear();
    return "?";
}

Failure name_argument(const char* name, Failure f) {
    if (f.kind == ErrorKind::Type) {
        return boolmat::make_failure(ErrorKind::Type, "argument '{}': {}", name, f.message());
    }
    if (f.kind != ErrorKind::Pending || !PyErr_ExceptionMatches(PyExc_TypeError)) return f;

    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyRef old_type(type), old_value(value), old_tb(tb);
    PyRef old_text(old_value ? PyObject_Str(old_value.get()) : nullptr);
    if (!old_text) return f;
    PyRef new_text(PyUnicode_FromFormat("argument '%s': %U", name, old_text.get()));
    if (!new_text) return f;
    PyRef replacement(PyObject_CallFunctionObjArgs(PyExc_TypeError, new_text.get(), nullptr));
    if (!replacement) return f;
    if (PyObject* cause = PyException_GetCause(old_value.get())) {
        PyException_SetCause(replacement.get(), cause);  // steals the new reference
    }
    PyErr_SetObject(PyExc_TypeError, replacement.get());
    return f;
}

}  // namespace bmf_py
