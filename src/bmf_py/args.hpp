// Argument binding: a fixed parameter list, positional-or-keyword, with the
// first `required` parameters mandatory. Binding fills one slot per
// parameter and allocates nothing when no keywords are given.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <string>

#include "bmf_py/convert.hpp"
#include "bmf_py/failure_py.hpp"
#include "bmf_py/instance.hpp"

namespace bmf_py {

inline constexpr std::size_t kMaxParams = 7;

struct Signature {
    const char* callable;  // as messages name it: "BitMatrix.zeros()", "ao_bmf()"
    std::array<const char*, kMaxParams> params;
    std::size_t count;
    std::size_t required;
};

class Args {
public:
    static Result<Args> bind(const Signature& sig, PyObject* args, PyObject* kwargs);

    bool given(std::size_t i) const noexcept { return slots_[i] != nullptr; }
    PyObject* raw(std::size_t i) const noexcept { return slots_[i]; }
    const char* name(std::size_t i) const noexcept { return sig_->params[i]; }

    Result<std::uint64_t> u64(std::size_t i) const { return named(i, to_u64(slots_[i])); }
    Result<std::uint64_t> u64_or(std::size_t i, std::uint64_t dflt) const {
        return given(i) ? u64(i) : Result<std::uint64_t>(dflt);
    }
    Result<bool> boolean_or(std::size_t i, bool dflt) const {
        return given(i) ? named(i, to_bool(slots_[i])) : Result<bool>(dflt);
    }
    Result<std::string> text_or(std::size_t i, const char* dflt) const {
        return given(i) ? named(i, to_text(slots_[i])) : Result<std::string>(std::string(dflt));
    }
    // An instance of a module class, borrowed shared for the guard's lifetime.
    template <class T>
    Result<Shared<T>> instance(std::size_t i) const {
        return named(i, borrow_shared<T>(slots_[i]));
    }
    // Names parameter i in the TypeError of any other conversion.
    template <class V>
    Result<V> named(std::size_t i, Result<V> r) const {
        if (r) return r;
        return std::unexpected(name_argument(sig_->params[i], std::move(r).error()));
    }

private:
    explicit Args(const Signature& sig) noexcept : sig_(&sig) {}

    const Signature* sig_;
    std::array<PyObject*, kMaxParams> slots_{};  // borrowed references
};

}  // namespace bmf_py
