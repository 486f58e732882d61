// The Python SearchResult instance: one result of the search for a good
// factorisation and its borrow counter; and the module functions factorize
// and boolls_search.
#pragma once

#include "bmf_core/search.hpp"
#include "bmf_py/instance.hpp"
#include "bmf_py/state.hpp"

namespace bmf_py {

template <>
struct ClassOf<bmf_core::SearchResult> {
    static constexpr const char* name = "SearchResult";
    static PyTypeObject* type() noexcept { return state().searchresult_type; }
};

using PySearchResult = Instance<bmf_core::SearchResult>;

// New references, in the order the module adds them.
Result<PyObject*> make_searchresult_class();  // also stored in the module state
Result<PyObject*> make_factorize_function();
Result<PyObject*> make_boolls_search_function();

}  // namespace bmf_py
