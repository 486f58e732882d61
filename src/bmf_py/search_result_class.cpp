// The SearchResult class: what factorize found and an account of the work
// that found it. Results are read-only and hand out copies of their factors.
#include <Python.h>

#include "bmf_py/frame.hpp"
#include "bmf_py/py_searchresult.hpp"
#include "bmf_py/result_access.hpp"

namespace bmf_py {

namespace {

using bmf_core::SearchResult;

void* fn(auto* f) { return reinterpret_cast<void*>(f); }

// Results come only from factorize; without this slot the class would
// inherit object's constructor and make a result with no factors in it.
PyObject* searchresult_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined for SearchResult");
    return nullptr;
}

PyObject* get_best_start(PyObject* self, void*) {
    return run([&]() -> Result<PyObject*> {
        TRY(auto me, borrow_shared<SearchResult>(self));
        PyObject* s = PyUnicode_FromString(bmf_core::start_kind_name(me->account.best_start));
        if (s == nullptr) return pending();
        return s;
    });
}

PyObject* searchresult_repr(PyObject* self) {
    return run([&]() -> Result<PyObject*> {
        TRY(auto me, borrow_shared<SearchResult>(self));
        PyObject* s = PyUnicode_FromFormat(
            "<SearchResult error=%llu rank=%llu starts=%llu best_start=%s iterations=%llu>",
            static_cast<unsigned long long>(me->error), static_cast<unsigned long long>(me->w.cols()),
            static_cast<unsigned long long>(me->account.starts), bmf_core::start_kind_name(me->account.best_start),
            static_cast<unsigned long long>(me->account.iterations));
        if (s == nullptr) return pending();
        return s;
    });
}

constexpr auto starts = [](const SearchResult& s) { return s.account.starts; };
constexpr auto iterations = [](const SearchResult& s) { return s.account.iterations; };
constexpr auto moves = [](const SearchResult& s) { return s.account.moves; };
constexpr auto moves_kept = [](const SearchResult& s) { return s.account.moves_kept; };
constexpr auto exact_solves = [](const SearchResult& s) { return s.account.exact_solves; };
constexpr auto inexact_solves = [](const SearchResult& s) { return s.account.inexact_solves; };

PyType_Slot* class_slots() {
    static PyGetSetDef getset[] = {
        {"w", get_factor<SearchResult, &SearchResult::w>, nullptr, nullptr, nullptr},
        {"h", get_factor<SearchResult, &SearchResult::h>, nullptr, nullptr, nullptr},
        {"error", get_count<SearchResult, &SearchResult::error>, nullptr, nullptr, nullptr},
        {"starts", get_count<SearchResult, starts>, nullptr, nullptr, nullptr},
        {"best_start", get_best_start, nullptr, nullptr, nullptr},
        {"iterations", get_count<SearchResult, iterations>, nullptr, nullptr, nullptr},
        {"moves", get_count<SearchResult, moves>, nullptr, nullptr, nullptr},
        {"moves_kept", get_count<SearchResult, moves_kept>, nullptr, nullptr, nullptr},
        {"exact_solves", get_count<SearchResult, exact_solves>, nullptr, nullptr, nullptr},
        {"inexact_solves", get_count<SearchResult, inexact_solves>, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_new, fn(searchresult_new)},
        {Py_tp_dealloc, fn(dealloc_instance<SearchResult>)},
        {Py_tp_repr, fn(searchresult_repr)},
        {Py_tp_getset, getset},
        {0, nullptr},
    };
    return slots;
}

}  // namespace

Result<PyObject*> make_searchresult_class() {
    PyType_Spec spec{"Valdrix.SearchResult", static_cast<int>(sizeof(PySearchResult)), 0, Py_TPFLAGS_DEFAULT,
                     class_slots()};
    PyObject* type = PyType_FromSpec(&spec);
    if (type == nullptr) return pending();
    state().searchresult_type = reinterpret_cast<PyTypeObject*>(type);
    Py_INCREF(type);  // the state's reference, kept for the process
    return type;
}

}  // namespace bmf_py
