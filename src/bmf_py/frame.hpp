// The shape of every entry point: run the body, which binds, borrows,
// converts and computes, with all guards scoped inside it; then either return
// its new reference or raise its failure, after the guards are released.
#pragma once

#include <Python.h>

#include <new>

#include "bmf_py/args.hpp"
#include "bmf_py/failure_py.hpp"
#include "bmf_py/gil.hpp"
#include "bmf_py/instance.hpp"

namespace bmf_py {

// The core reports its failures as values; the standard containers it uses
// for small bookkeeping can still throw when memory runs out. No exception
// may cross into the interpreter, so the boundary turns one into the
// failure it stands for.
template <class R, class F>
R guarded(F&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return boolmat::out_of_memory();
    } catch (...) {
        return boolmat::panic("exception inattendue dans le noyau");
    }
}

template <class F>
PyObject* run(F&& body) {
    Result<PyObject*> r = guarded<Result<PyObject*>>(body);
    if (!r) {
        raise(r.error());
        return nullptr;
    }
    return *r;
}

// For slots that return an int status (0 or -1).
template <class F>
int run_status(F&& body) {
    Status r = guarded<Status>(body);
    if (!r) {
        raise(r.error());
        return -1;
    }
    return 0;
}

// Functions and methods with parameters: bind first, then the body.
template <class F>
PyObject* run(const Signature& sig, PyObject* args, PyObject* kwargs, F&& body) {
    return run([&]() -> Result<PyObject*> {
        TRY(Args a, Args::bind(sig, args, kwargs));
        return body(a);
    });
}

// Any function of a method table as the table stores it (keywords-taking
// ones included).
template <class F>
PyCFunction as_cfunction(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

inline PyObject* not_implemented() {
    Py_INCREF(Py_NotImplemented);
    return Py_NotImplemented;
}

}  // namespace bmf_py
