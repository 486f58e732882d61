// Releases the interpreter lock for the lifetime of the guard. Only pure core
// work may run inside: no Python object may be touched.
#pragma once

#include <Python.h>

namespace bmf_py {

class GilRelease {
public:
    GilRelease() noexcept : saved_(PyEval_SaveThread()) {}
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;
    ~GilRelease() { PyEval_RestoreThread(saved_); }

private:
    PyThreadState* saved_;
};

// Runs f without the interpreter lock and returns its result.
template <class F>
auto without_gil(F&& f) {
    GilRelease released;
    return f();
}

}  // namespace bmf_py
