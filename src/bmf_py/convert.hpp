// Converters from Python arguments to core values. Each returns a failure
// value; the caller (Args) names the argument in TypeErrors.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>

#include "bmf_py/failure_py.hpp"

namespace bmf_py {

// int (bool included) or any object with __index__, 0 to 2^64 - 1.
Result<std::uint64_t> to_u64(PyObject* o);
// The same, -2^63 to 2^63 - 1.
Result<std::int64_t> to_i64(PyObject* o);
// True/False, or NumPy's Boolean scalar through its __bool__.
Result<bool> to_bool(PyObject* o);
// A str, as UTF-8.
Result<std::string> to_text(PyObject* o);

// A capacity hint for a sequence that never fails. A __len__ may claim
// anything, so what is reserved on its word is bounded by kMaxReserve;
// growth past that is amortised as usual.
inline constexpr std::size_t kMaxReserve = std::size_t{1} << 20;
std::size_t size_hint(PyObject* o);

Result<PyObject*> from_u64(std::uint64_t v);
PyObject* from_bool(bool v);

}  // namespace bmf_py
