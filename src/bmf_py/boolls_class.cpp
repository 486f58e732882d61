// The BoolLs class, and the module functions boolls, boolls_masked and
// methods. Solving releases the interpreter lock; the solver and any
// BitMatrix operand or mask stay borrowed shared meanwhile, and a NumPy
// target or mask is copied into bits before.
// On the main thread a solve stops for a signal whose handler raises.
#include <Python.h>

#include <optional>

#include "bmf_core/method.hpp"
#include "bmf_core/solve.hpp"
#include "bmf_py/frame.hpp"
#include "bmf_py/mask_arg.hpp"
#include "bmf_py/module_function.hpp"
#include "bmf_py/numpy_array.hpp"
#include "bmf_py/py_bitmatrix.hpp"
#include "bmf_py/py_boolls.hpp"
#include "boolmat/pack_bytes.hpp"

namespace bmf_py {

namespace {

using bmf_core::BoolLs;
using boolmat::BitVec;
using bmf_core::ColumnAnswer;
using bmf_core::Method;

void* fn(auto* f) { return reinterpret_cast<void*>(f); }

Result<Method> parse(const std::string& text) { return bmf_core::parse_method_or_fail(text); }

// The elements of a 1-D bool array in index order, whatever its strides;
// any non-zero byte is true. Read while the lock is held.
Result<BitVec> bits_of(const ByteArrayView& v) {
    TRY(BitVec bits, BitVec::zeros(v.cols));
    boolmat::Word* out = bits.words_mut().data();
    if (v.col_stride == 1) {
        boolmat::pack_bytes(v.data, v.cols, out);
    } else if (v.col_stride == -1) {
        boolmat::pack_bytes_reversed(v.data, v.cols, out);
    } else {
        const std::uint8_t* p = v.data;
        for (std::uint64_t i = 0; i < v.cols; ++i, p += v.col_stride) {
            out[i / 64] |= boolmat::Word{*p != 0} << (i % 64);
        }
    }
    return bits;
}

Status check_length(const ByteArrayView& v, std::uint64_t m) {
    if (v.cols != m) return fail(ErrorKind::Value, "x a {} elements, W a {} lignes", v.cols, m);
    return {};
}

Result<PyObject*> answer_tuple(const ColumnAnswer& a) {
    PyObject* t = Py_BuildValue("(KK)", static_cast<unsigned long long>(a.h),
                                static_cast<unsigned long long>(a.error));
    if (t == nullptr) return pending();
    return t;
}

// Steps shared by solve, boolls and their masked forms once the arguments
// are converted: the method name, the lengths, the copies of x and of the
// mask (null for none), and the solve without the lock.
Result<PyObject*> solve_one(const BoolLs& solver, const ByteArrayView& x, const ByteArrayView* mask,
                            const std::string& method_text, std::uint64_t seed) {
    TRY(const Method method, parse(method_text));
    TRY_VOID(check_length(x, solver.m()));
    std::optional<BitVec> observed;
    if (mask != nullptr) {
        TRY_VOID(check_mask_length(mask->cols, x.cols));
        TRY(BitVec m, bits_of(*mask));
        observed.emplace(std::move(m));
    }
    TRY(const BitVec bits, bits_of(x));
    TRY(const ColumnAnswer a, without_gil_interruptible([&](const boolmat::Interrupt& stop) {
            return observed ? bmf_core::solve_masked(solver, bits, *observed, method, seed, stop)
                            : bmf_core::solve(solver, bits, method, seed, stop);
        }));
    return answer_tuple(a);
}

// boolls and boolls_masked: a solver for w, built with the lock held, then
// solve_one.
Result<PyObject*> solve_once(const BitMatrix& w, const ByteArrayView& x, const ByteArrayView* mask,
                             const std::string& method_text, std::uint64_t seed) {
    TRY_VOID(check_user_rank(w.cols()));
    const SignalCheck signals;
    TRY(const BoolLs solver, BoolLs::build(w, signals.interrupt()));
    return solve_one(solver, x, mask, method_text, seed);
}

// Steps shared by solve_all and solve_all_masked once the arguments are
// converted; `mask` is null for none.
Result<PyObject*> solve_columns(const BoolLs& solver, const BitMatrix& x, MaskMatrix* mask,
                                const std::string& method_text, std::uint64_t seed) {
    TRY(const Method method, parse(method_text));
    if (x.rows() != solver.m()) return fail(ErrorKind::Value, "X a {} lignes, W en a {}", x.rows(), solver.m());
    const BitMatrix* observed = nullptr;
    if (mask != nullptr) {
        TRY(observed, mask->bits_for(x.rows(), x.cols()));
    }
    TRY(bmf_core::SolveAllResult solved, without_gil_interruptible([&](const boolmat::Interrupt& stop) {
            return observed == nullptr ? bmf_core::solve_all(solver, x, method, seed, stop)
                                       : bmf_core::solve_all_masked(solver, x, *observed, method, seed, stop);
        }));
    TRY(PyObject* h, wrap(std::move(solved.h)));
    PyRef h_ref(h);
    TRY(PyObject* error, from_u64(solved.error));
    PyRef error_ref(error);
    PyObject* t = PyTuple_New(2);
    if (t == nullptr) return pending();
    PyTuple_SetItem(t, 0, h_ref.release());
    PyTuple_SetItem(t, 1, error_ref.release());
    return t;
}

PyObject* boolls_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr Signature sig{"BoolLs.__new__()", {"w"}, 1, 1};
    return run(sig, args, kwargs, [&](Args& a) -> Result<PyObject*> {
        TRY(auto w, a.instance<BitMatrix>(0));
        TRY_VOID(check_user_rank(w->cols()));
        const SignalCheck signals;
        TRY(BoolLs solver, BoolLs::build(*w, signals.interrupt()));
        return wrap_in(type, std::move(solver));
    });
}

PyObject* get_m(PyObject* self, void*) {
    return run([&]() -> Result<PyObject*> {
        TRY(auto me, borrow_shared<BoolLs>(self));
        return from_u64(me->m());
    });
}

PyObject* get_r(PyObject* self, void*) {
    return run([&]() -> Result<PyObject*> {
        TRY(auto me, borrow_shared<BoolLs>(self));
        return from_u64(me->r());
    });
}

PyObject* boolls_repr(PyObject* self) {
    return run([&]() -> Result<PyObject*> {
        TRY(auto me, borrow_shared<BoolLs>(self));
        PyObject* s = PyUnicode_FromFormat("<BoolLs m=%llu r=%llu>", static_cast<unsigned long long>(me->m()),
                                           static_cast<unsigned long long>(me->r()));
        if (s == nullptr) return pending();
        return s;
    });
}

// solve($self, x, method="zeta", seed=0)
PyObject* solve(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr Signature sig{"BoolLs.solve()", {"x", "method", "seed"}, 3, 1};
    return run(sig, args, kwargs, [&](Args& a) -> Result<PyObject*> {
        TRY(auto me, borrow_shared<BoolLs>(self));
        TRY(const ByteArrayView x, a.named(0, as_bool_array(a.raw(0), 1)));
        TRY(const std::string method, a.text_or(1, "zeta"));
        TRY(const std::uint64_t seed, a.u64_or(2, 0));
        return solve_one(*me, x, nullptr, method, seed);
    });
}

// solve_masked($self, x, mask, method="zeta", seed=0)
PyObject* solve_masked(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr Signature sig{"BoolLs.solve_masked()", {"x", "mask", "method", "seed"}, 4, 2};
    return run(sig, args, kwargs, [&](Args& a) -> Result<PyObject*> {
        TRY(auto me, borrow_shared<BoolLs>(self));
        TRY(const ByteArrayView x, a.named(0, as_bool_array(a.raw(0), 1)));
        TRY(const ByteArrayView mask, a.named(1, as_bool_array(a.raw(1), 1)));
        TRY(const std::string method, a.text_or(2, "zeta"));
        TRY(const std::uint64_t seed, a.u64_or(3, 0));
        return solve_one(*me, x, &mask, method, seed);
    });
}

// solve_all($self, x, method="zeta", seed=0)
PyObject* solve_all(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr Signature sig{"BoolLs.solve_all()", {"x", "method", "seed"}, 3, 1};
    return run(sig, args, kwargs, [&](Args& a) -> Result<PyObject*> {
        TRY(auto me, borrow_shared<BoolLs>(self));
        TRY(auto x, a.instance<BitMatrix>(0));
        TRY(const std::string method, a.text_or(1, "zeta"));
        TRY(const std::uint64_t seed, a.u64_or(2, 0));
        return solve_columns(*me, *x, nullptr, method, seed);
    });
}

// solve_all_masked($self, x, mask, method="zeta", seed=0)
PyObject* solve_all_masked(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr Signature sig{"BoolLs.solve_all_masked()", {"x", "mask", "method", "seed"}, 4, 2};
    return run(sig, args, kwargs, [&](Args& a) -> Result<PyObject*> {
        TRY(auto me, borrow_shared<BoolLs>(self));
        TRY(auto x, a.instance<BitMatrix>(0));
        TRY(MaskMatrix mask, a.named(1, MaskMatrix::convert(a.raw(1))));
        TRY(const std::string method, a.text_or(2, "zeta"));
        TRY(const std::uint64_t seed, a.u64_or(3, 0));
        return solve_columns(*me, *x, &mask, method, seed);
    });
}

// boolls(w, x, method="zeta", seed=0)
PyObject* boolls(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr Signature sig{"boolls()", {"w", "x", "method", "seed"}, 4, 2};
    return run(sig, args, kwargs, [&](Args& a) -> Result<PyObject*> {
        TRY(auto w, a.instance<BitMatrix>(0));
        TRY(const ByteArrayView x, a.named(1, as_bool_array(a.raw(1), 1)));
        TRY(const std::string method, a.text_or(2, "zeta"));
        TRY(const std::uint64_t seed, a.u64_or(3, 0));
        return solve_once(*w, x, nullptr, method, seed);
    });
}

// boolls_masked(w, x, mask, method="zeta", seed=0)
PyObject* boolls_masked(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr Signature sig{"boolls_masked()", {"w", "x", "mask", "method", "seed"}, 5, 3};
    return run(sig, args, kwargs, [&](Args& a) -> Result<PyObject*> {
        TRY(auto w, a.instance<BitMatrix>(0));
        TRY(const ByteArrayView x, a.named(1, as_bool_array(a.raw(1), 1)));
        TRY(const ByteArrayView mask, a.named(2, as_bool_array(a.raw(2), 1)));
        TRY(const std::string method, a.text_or(3, "zeta"));
        TRY(const std::uint64_t seed, a.u64_or(4, 0));
        return solve_once(*w, x, &mask, method, seed);
    });
}

PyObject* methods(PyObject*, PyObject*) {
    return run([&]() -> Result<PyObject*> {
        PyRef list(PyList_New(0));
        if (!list) return pending();
        for (std::string_view name : bmf_core::kMethodNames) {
            PyRef s(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
            if (!s || PyList_Append(list.get(), s.get()) < 0) return pending();
        }
        return list.release();
    });
}

// Function pointers cannot appear in constant expressions, so the tables are
// function-local statics, built on first use after the processor check.
PyType_Slot* class_slots() {
    static PyMethodDef method_table[] = {
        {"solve", as_cfunction(solve), METH_VARARGS | METH_KEYWORDS, "solve($self, x, method=\"zeta\", seed=0)\n--\n\n"},
        {"solve_all", as_cfunction(solve_all), METH_VARARGS | METH_KEYWORDS,
         "solve_all($self, x, method=\"zeta\", seed=0)\n--\n\n"},
        {"solve_masked", as_cfunction(solve_masked), METH_VARARGS | METH_KEYWORDS,
         "solve_masked($self, x, mask, method=\"zeta\", seed=0)\n--\n\n"
         "Like solve, counting only the rows where mask (a 1-D bool array of x's length) is True:\n"
         "(h, error) with error the number of wrong observed rows. A target with no observed row\n"
         "gives (0, 0)."},
        {"solve_all_masked", as_cfunction(solve_all_masked), METH_VARARGS | METH_KEYWORDS,
         "solve_all_masked($self, x, mask, method=\"zeta\", seed=0)\n--\n\n"
         "Like solve_all, counting only the cells where mask (a BitMatrix or a 2-D bool array of\n"
         "x's shape) is set: (H, error) with error the number of wrong observed cells."},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyGetSetDef getset[] = {
        {"m", get_m, nullptr, nullptr, nullptr},
        {"r", get_r, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_new, fn(boolls_new)},
        {Py_tp_dealloc, fn(dealloc_instance<BoolLs>)},
        {Py_tp_repr, fn(boolls_repr)},
        {Py_tp_getset, getset},
        {Py_tp_methods, method_table},
        {Py_tp_doc, const_cast<char*>("BoolLs(w)\n--\n\n")},
        {0, nullptr},
    };
    return slots;
}

}  // namespace

Result<PyObject*> make_boolls_class() {
    PyType_Spec spec{"Valdrix.BoolLs", static_cast<int>(sizeof(PyBoolLs)), 0, Py_TPFLAGS_DEFAULT, class_slots()};
    PyObject* type = PyType_FromSpec(&spec);
    if (type == nullptr) return pending();
    state().boolls_type = reinterpret_cast<PyTypeObject*>(type);
    Py_INCREF(type);  // the state's reference, kept for the process
    return type;
}

Result<PyObject*> make_boolls_function() {
    static PyMethodDef def = {"boolls", as_cfunction(boolls), METH_VARARGS | METH_KEYWORDS,
                              "boolls(w, x, method=\"zeta\", seed=0)\n--\n\n"};
    return module_function(&def);
}

Result<PyObject*> make_boolls_masked_function() {
    static PyMethodDef def = {"boolls_masked", as_cfunction(boolls_masked), METH_VARARGS | METH_KEYWORDS,
                              "boolls_masked(w, x, mask, method=\"zeta\", seed=0)\n--\n\n"
                              "One-shot BoolLs(w).solve_masked(x, mask, method, seed): (h, error), counting\n"
                              "only the rows where mask (a 1-D bool array of x's length) is True."};
    return module_function(&def);
}

Result<PyObject*> make_methods_function() {
    static PyMethodDef def = {"methods", methods, METH_NOARGS, "methods()\n--\n\n"};
    return module_function(&def);
}

}  // namespace bmf_py
