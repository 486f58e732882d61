// Releases the interpreter lock for the lifetime of the guard. Only pure core
// work may run inside: no Python object may be touched.
#pragma once

#include <Python.h>

#include "boolmat/interrupt.hpp"

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

// Whether the calling thread, which holds the lock, is the interpreter's
// main thread: the only one whose signal handlers run.
bool on_main_thread();

// Releases the lock like GilRelease and makes the Interrupt that the core
// polls. On the main thread it takes the lock back about every 50 ms of
// work and runs the handlers of pending signals: a handler that raises
// (KeyboardInterrupt for Ctrl-C) stops the computation, its exception left
// pending for the frame to raise. On any other thread it never takes the
// lock to poll, and stops only after a call back into Python (with_lock)
// failed.
class InterruptibleRelease {
public:
    InterruptibleRelease() noexcept : InterruptibleRelease(false) {}
    // `calls_back`: the work will call with_lock, so its polls must see a
    // failed call back on every thread.
    explicit InterruptibleRelease(bool calls_back) noexcept;
    InterruptibleRelease(const InterruptibleRelease&) = delete;
    InterruptibleRelease& operator=(const InterruptibleRelease&) = delete;
    ~InterruptibleRelease() { PyEval_RestoreThread(saved_); }

    const boolmat::Interrupt& interrupt() const noexcept { return interrupt_; }

    // Runs f() with the lock held, on the releasing thread only. f returns
    // false with its exception set to stop the work at its next poll; once
    // stopped, f is no longer called.
    template <class F>
    void with_lock(F&& f) noexcept {
        if (raised_) return;
        PyEval_RestoreThread(saved_);
        raised_ = !f();
        saved_ = PyEval_SaveThread();
    }

    // Whether an exception is pending for the frame to raise: a signal
    // handler's or a call back's. Then whatever the work returned is dropped.
    bool raised() const noexcept { return raised_; }

private:
    static bool signal_raised(void* self) noexcept;

    bool main_;
    bool raised_ = false;
    PyThreadState* saved_;
    boolmat::Interrupt interrupt_;
};

// Runs f(interrupt) without the interpreter lock and returns its result; a
// call the signal check stopped returns boolmat::stopped().
template <class F>
auto without_gil_interruptible(F&& f) {
    InterruptibleRelease released;
    return f(released.interrupt());
}

// The same check for work that keeps the lock: on the main thread, the
// handlers of pending signals run about every 50 ms of work.
class SignalCheck {
public:
    SignalCheck() noexcept : interrupt_(on_main_thread() ? signal_raised : nullptr, nullptr) {}
    SignalCheck(const SignalCheck&) = delete;
    SignalCheck& operator=(const SignalCheck&) = delete;

    const boolmat::Interrupt& interrupt() const noexcept { return interrupt_; }

private:
    static bool signal_raised(void*) noexcept { return PyErr_CheckSignals() != 0; }

    boolmat::Interrupt interrupt_;
};

}  // namespace bmf_py
