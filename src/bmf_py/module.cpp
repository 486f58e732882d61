// Module initialisation: once per process, the kernel set is chosen, then
// the classes, functions and version are added in a fixed order, each
// listed in __all__; then the private attributes, outside __all__.
#include <Python.h>

#include "boolmat/kernels.hpp"

#include "bmf_py/alternation.hpp"
#include "bmf_py/classes.hpp"
#include "bmf_py/failure_py.hpp"
#include "bmf_py/py_bmfresult.hpp"
#include "bmf_py/py_boolls.hpp"
#include "bmf_py/py_searchresult.hpp"
#include "bmf_py/pyref.hpp"
#include "bmf_py/state.hpp"

namespace bmf_py {

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "Valdrix",  // m_name
    "",         // m_doc
    0,          // m_size
    nullptr,    // m_methods
    nullptr, nullptr, nullptr, nullptr,
};

// Appends name to __all__ (made on the first call), then sets the attribute.
Status add(PyObject* module, const char* name, Result<PyObject*> made) {
    if (!made) return std::unexpected(std::move(made).error());
    PyRef value(*made);
    PyRef all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        PyErr_Clear();
        all = PyRef(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return pending();
    }
    PyRef text(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) < 0) return pending();
    if (PyObject_SetAttrString(module, name, value.get()) < 0) return pending();
    return {};
}

// Sets the attribute without listing it in __all__.
Status add_private(PyObject* module, const char* name, Result<PyObject*> made) {
    if (!made) return std::unexpected(std::move(made).error());
    const PyRef value(*made);
    if (PyObject_SetAttrString(module, name, value.get()) < 0) return pending();
    return {};
}

// The build passes the version of the package metadata, its one source.
#ifndef VALDRIX_VERSION
#error "VALDRIX_VERSION must be defined by the build"
#endif

Result<PyObject*> text(std::string_view s) {
    PyObject* v = PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
    if (v == nullptr) return pending();
    return v;
}

Status populate(PyObject* m) {
    TRY_VOID(add(m, "BitMatrix", make_bitmatrix_class()));
    TRY_VOID(add(m, "BoolLs", make_boolls_class()));
    TRY_VOID(add(m, "BmfResult", make_bmfresult_class()));
    TRY_VOID(add(m, "ao_bmf", make_ao_bmf_function()));
    TRY_VOID(add(m, "ao_bmf_masked", make_ao_bmf_masked_function()));
    TRY_VOID(add(m, "boolls", make_boolls_function()));
    TRY_VOID(add(m, "boolls_masked", make_boolls_masked_function()));
    TRY_VOID(add(m, "methods", make_methods_function()));
    TRY_VOID(add(m, "SearchResult", make_searchresult_class()));
    TRY_VOID(add(m, "factorize", make_factorize_function()));
    TRY_VOID(add(m, "boolls_search", make_boolls_search_function()));
    TRY_VOID(add(m, "__version__", text(VALDRIX_VERSION)));
    // Reached by pickles through the module, so it lives there.
    TRY_VOID(add_private(m, "_rebuild_bitmatrix", make_rebuild_function()));
    // Read by tests and benchmarks.
    TRY_VOID(add_private(m, "_isa", text(boolmat::isa_name(boolmat::active_isa()))));
    // The start and the stopping rule of ao_bmf, for valdrix_learn's drivers.
    TRY_VOID(add_private(m, "_start_columns", make_start_columns_function()));
    TRY_VOID(add_private(m, "_judge_iteration", make_judge_iteration_function()));
    return {};
}

}  // namespace

PyObject* create_module() {
    ModuleState& s = state();
    if (s.module != nullptr) {
        PyErr_SetString(PyExc_ImportError, "Valdrix ne peut etre initialise qu'une fois par processus");
        return nullptr;
    }
    // Before anything computes: a set the processor cannot run, or an unknown
    // VALDRIX_ISA, stops the import here.
    if (const auto isa = boolmat::use_kernels_from_environment(); !isa) {
        raise(isa.error());
        return nullptr;
    }
    PyRef m(PyModule_Create2(&module_def, PYTHON_ABI_VERSION));
    if (!m) return nullptr;
    if (Status st = populate(m.get()); !st) {
        raise(st.error());
        return nullptr;
    }
    s.module = m.get();
    Py_INCREF(s.module);  // the slot's own reference, kept for the process
    return m.release();
}

}  // namespace bmf_py

extern "C" PyMODINIT_FUNC PyInit_Valdrix(void) { return bmf_py::create_module(); }
