// Python instances of the module's classes: the object header, one core
// value owned by the object, and an atomic borrow counter (0 free, n > 0
// shared borrows, -1 one exclusive borrow).
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <new>
#include <utility>

#include "bmf_py/failure_py.hpp"

namespace bmf_py {

template <class T>
struct Instance {
    PyObject_HEAD
    std::atomic<std::int64_t> borrow;
    T value;
};

// Specialised per wrapped core type: its class object and class name.
template <class T>
struct ClassOf;

template <class T>
Instance<T>* as_instance(PyObject* o) noexcept {
    return reinterpret_cast<Instance<T>*>(o);
}

template <class T>
bool is_instance(PyObject* o) noexcept {
    PyTypeObject* type = ClassOf<T>::type();
    return type != nullptr && PyObject_TypeCheck(o, type);
}

// A new object of `type` that takes over `value`.
template <class T>
Result<PyObject*> wrap_in(PyTypeObject* type, T&& value) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* obj = alloc(type, 0);
    if (obj == nullptr) return pending();
    Instance<T>* inst = as_instance<T>(obj);
    new (&inst->borrow) std::atomic<std::int64_t>(0);
    new (&inst->value) T(std::move(value));
    return obj;
}

template <class T>
Result<PyObject*> wrap(T&& value) {
    return wrap_in<T>(ClassOf<T>::type(), std::move(value));
}

// tp_dealloc of every class.
template <class T>
void dealloc_instance(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    as_instance<T>(self)->value.~T();
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

// RAII shared (reading) borrow; also holds a reference to the object.
template <class T>
class Shared {
public:
    explicit Shared(Instance<T>* p) noexcept : p_(p) {}
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;
    Shared(Shared&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Shared& operator=(Shared&&) = delete;
    ~Shared() {
        if (p_ != nullptr) {
            p_->borrow.fetch_sub(1, std::memory_order_release);
            Py_DECREF(reinterpret_cast<PyObject*>(p_));
        }
    }
    const T& operator*() const noexcept { return p_->value; }
    const T* operator->() const noexcept { return &p_->value; }
    PyObject* object() const noexcept { return reinterpret_cast<PyObject*>(p_); }

private:
    Instance<T>* p_;
};

// RAII exclusive (writing) borrow.
template <class T>
class Exclusive {
public:
    explicit Exclusive(Instance<T>* p) noexcept : p_(p) {}
    Exclusive(const Exclusive&) = delete;
    Exclusive& operator=(const Exclusive&) = delete;
    Exclusive(Exclusive&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Exclusive& operator=(Exclusive&&) = delete;
    ~Exclusive() {
        if (p_ != nullptr) {
            p_->borrow.store(0, std::memory_order_release);
            Py_DECREF(reinterpret_cast<PyObject*>(p_));
        }
    }
    T& operator*() const noexcept { return p_->value; }
    T* operator->() const noexcept { return &p_->value; }
    PyObject* object() const noexcept { return reinterpret_cast<PyObject*>(p_); }

private:
    Instance<T>* p_;
};

inline Failure cannot_convert(PyObject* o, const char* target) {
    return boolmat::make_failure(ErrorKind::Type, "'{}' object cannot be converted to '{}'", type_qualname(o),
                                 target);
}

template <class T>
Result<Shared<T>> borrow_shared(PyObject* o) {
    if (!is_instance<T>(o)) return std::unexpected(cannot_convert(o, ClassOf<T>::name));
    Instance<T>* inst = as_instance<T>(o);
    std::int64_t c = inst->borrow.load(std::memory_order_acquire);
    do {
        if (c == -1) return fail(ErrorKind::Borrowed, "Already mutably borrowed");
    } while (!inst->borrow.compare_exchange_weak(c, c + 1, std::memory_order_acq_rel, std::memory_order_acquire));
    Py_INCREF(o);
    return Shared<T>(inst);
}

template <class T>
Result<Exclusive<T>> borrow_exclusive(PyObject* o) {
    if (!is_instance<T>(o)) return std::unexpected(cannot_convert(o, ClassOf<T>::name));
    Instance<T>* inst = as_instance<T>(o);
    std::int64_t expected = 0;
    if (!inst->borrow.compare_exchange_strong(expected, -1, std::memory_order_acq_rel, std::memory_order_acquire)) {
        return fail(ErrorKind::Borrowed, "Already borrowed");
    }
    Py_INCREF(o);
    return Exclusive<T>(inst);
}

}  // namespace bmf_py
