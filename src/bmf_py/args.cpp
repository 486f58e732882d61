#include "bmf_py/args.hpp"

namespace bmf_py {

namespace {

const char* was_were(std::size_t k) { return k == 1 ? "was" : "were"; }

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string quoted_list(const Signature& sig, const std::array<bool, kMaxParams>& missing) {
    std::size_t total = 0;
    for (std::size_t i = 0; i < sig.count; ++i) total += missing[i];
    std::string out;
    std::size_t seen = 0;
    for (std::size_t i = 0; i < sig.count; ++i) {
        if (!missing[i]) continue;
        if (seen > 0) {
            if (total == 2) {
                out += " and ";
            } else if (seen + 1 == total) {
                out += ", and ";
            } else {
                out += ", ";
            }
        }
        out += '\'';
        out += sig.params[i];
        out += '\'';
        ++seen;
    }
    return out;
}

}  // namespace

Result<Args> Args::bind(const Signature& sig, PyObject* args, PyObject* kwargs) {
    Args out(sig);
    const Py_ssize_t k = args != nullptr ? PyTuple_Size(args) : 0;
    if (k < 0) return pending();
    const std::size_t npos = static_cast<std::size_t>(k);
    if (npos > sig.count) {
        if (sig.required == sig.count) {
            return fail(ErrorKind::Type, "{} takes {} positional arguments but {} {} given", sig.callable, sig.count,
                        npos, was_were(npos));
        }
        return fail(ErrorKind::Type, "{} takes from {} to {} positional arguments but {} {} given", sig.callable,
                    sig.required, sig.count, npos, was_were(npos));
    }
    for (std::size_t i = 0; i < npos; ++i) out.slots_[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));

    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            std::size_t hit = sig.count;
            for (std::size_t i = 0; i < sig.count; ++i) {
                if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0) {
                    hit = i;
                    break;
                }
            }
            if (PyErr_Occurred()) return pending();
            if (hit == sig.count) {
                Py_ssize_t n = 0;
                const char* s = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &n) : nullptr;
                if (s == nullptr) PyErr_Clear();
                return fail(ErrorKind::Type, "{} got an unexpected keyword argument '{}'", sig.callable,
                            s != nullptr ? std::string(s, static_cast<std::size_t>(n)) : type_qualname(key));
            }
            if (out.slots_[hit] != nullptr) {
                return fail(ErrorKind::Type, "{} got multiple values for argument '{}'", sig.callable,
                            sig.params[hit]);
            }
            out.slots_[hit] = value;
        }
    }

    std::array<bool, kMaxParams> missing{};
    std::size_t nmissing = 0;
    for (std::size_t i = 0; i < sig.required; ++i) {
        if (out.slots_[i] == nullptr) {
            missing[i] = true;
            ++nmissing;
        }
    }
    if (nmissing != 0) {
        return fail(ErrorKind::Type, "{} missing {} required {} {}: {}", sig.callable, nmissing, "positional",
                    nmissing == 1 ? "argument" : "arguments", quoted_list(sig, missing));
    }
    return out;
}

}  // namespace bmf_py
