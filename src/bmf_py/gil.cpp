#include "bmf_py/gil.hpp"

#include <pthread.h>

#include "bmf_py/pyref.hpp"

namespace bmf_py {

namespace {

// The main thread's identifier, found once with the lock held. A child
// process forgets it: there the thread that forked is the main thread, and
// the threading module says so once the interpreter has caught up.
unsigned long main_ident = 0;
bool main_known = false;

void forget_main_thread() noexcept { main_known = false; }

}  // namespace

bool on_main_thread() {
    if (!main_known) {
        static const bool registered = pthread_atfork(nullptr, nullptr, forget_main_thread) == 0;
        (void)registered;
        PyRef threading(PyImport_ImportModule("threading"));
        PyRef thread(threading ? PyObject_CallMethod(threading.get(), "main_thread", nullptr) : nullptr);
        PyRef ident(thread ? PyObject_GetAttrString(thread.get(), "ident") : nullptr);
        const unsigned long value = ident ? PyLong_AsUnsignedLong(ident.get()) : 0;
        // Without an answer the call is simply not interruptible.
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        main_ident = value;
        main_known = true;
    }
    return PyThread_get_thread_ident() == main_ident;
}

InterruptibleRelease::InterruptibleRelease(bool calls_back) noexcept
    : main_(on_main_thread()), saved_(nullptr), interrupt_(main_ || calls_back ? signal_raised : nullptr, this) {
    saved_ = PyEval_SaveThread();
}

bool InterruptibleRelease::signal_raised(void* self) noexcept {
    auto* me = static_cast<InterruptibleRelease*>(self);
    if (me->raised_) return true;
    if (!me->main_) return false;
    PyEval_RestoreThread(me->saved_);
    // The handlers run here, on the main thread; one that raises leaves its
    // exception set, and the stopped call returns it.
    me->raised_ = PyErr_CheckSignals() != 0;
    me->saved_ = PyEval_SaveThread();
    return me->raised_;
}

}  // namespace bmf_py
