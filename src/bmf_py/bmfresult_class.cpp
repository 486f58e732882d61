// The BmfResult class and the module functions ao_bmf and ao_bmf_masked. The
// factorisation runs without the interpreter lock while x and a BitMatrix
// mask stay borrowed shared, and stops on the main thread for a signal whose
// handler raises; results are read-only and hand out copies of their factors.
#include <Python.h>

#include <string_view>

#include "bmf_core/method.hpp"
#include "bmf_py/doc_defaults.hpp"
#include "bmf_py/frame.hpp"
#include "bmf_py/mask_arg.hpp"
#include "bmf_py/module_function.hpp"
#include "bmf_py/py_bitmatrix.hpp"
#include "bmf_py/py_bmfresult.hpp"
#include "bmf_py/py_boolls.hpp"
#include "bmf_py/result_access.hpp"
#include "boolmat/product.hpp"

namespace bmf_py {

namespace {

using bmf_core::BmfResult;

void* fn(auto* f) { return reinterpret_cast<void*>(f); }

// Results come only from ao_bmf; without this slot the class would inherit
// object's constructor and make a result with no factors in it.
PyObject* bmfresult_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined for BmfResult");
    return nullptr;
}

PyObject* reconstruct(PyObject* self, PyObject*) {
    return run([&]() -> Result<PyObject*> {
        TRY(auto me, borrow_shared<BmfResult>(self));
        const SignalCheck signals;
        TRY(BitMatrix product, boolmat::boolean_product(me->w, me->h, signals.interrupt()));
        return wrap(std::move(product));
    });
}

PyObject* bmfresult_repr(PyObject* self) {
    return run([&]() -> Result<PyObject*> {
        TRY(auto me, borrow_shared<BmfResult>(self));
        PyObject* s = PyUnicode_FromFormat("<BmfResult error=%llu iterations=%llu rank=%llu>",
                                           static_cast<unsigned long long>(me->error),
                                           static_cast<unsigned long long>(me->iterations),
                                           static_cast<unsigned long long>(me->w.cols()));
        if (s == nullptr) return pending();
        return s;
    });
}

// ao_bmf's text signature is fixed word for word; the defaults it and
// ao_bmf_masked show must be the core's, which the bindings below take.
constexpr char kAoBmfDoc[] = "ao_bmf(x, r, method=\"zeta\", max_iter=50, seed=0)\n--\n\n";
constexpr char kAoBmfMaskedDoc[] =
    "ao_bmf_masked(x, mask, r, method=\"zeta\", max_iter=50, seed=0)\n--\n\n"
    "Like ao_bmf, counting only the cells where mask (a BitMatrix or a 2-D bool array of x's\n"
    "shape) is set: every solve and the error see the observed cells alone, and the start is\n"
    "ao_bmf's on x with its unobserved cells read as 0.";

// A view over a string literal: the C string text_or takes ends right after it.
constexpr std::string_view kDefaultMethodName = bmf_core::kMethodNames[std::size_t(bmf_core::kDefaultMethod)];
static_assert(kDefaultMethodName.data()[kDefaultMethodName.size()] == '\0');

constexpr bool shows_core_defaults(std::string_view doc) {
    const std::string_view method = shown(doc, "method=");
    return method.size() == kDefaultMethodName.size() + 2 &&
           method.substr(1, kDefaultMethodName.size()) == kDefaultMethodName && method.starts_with('"') &&
           method.ends_with('"') && shows_number(doc, "max_iter=", bmf_core::kDefaultMaxIter) &&
           shows_number(doc, "seed=", bmf_core::kDefaultSeed);
}
static_assert(shows_core_defaults(kAoBmfDoc) && shows_core_defaults(kAoBmfMaskedDoc));

// The checks and the run shared by ao_bmf and ao_bmf_masked once the
// arguments are converted; `mask` is null for none.
Result<PyObject*> factorise(const BitMatrix& x, MaskMatrix* mask, std::uint64_t r, const std::string& method_text,
                            std::uint64_t max_iter, std::uint64_t seed) {
    TRY(const bmf_core::Method method, bmf_core::parse_method_or_fail(method_text));
    if (r == 0) return fail(ErrorKind::Value, "r doit valoir au moins 1");
    TRY_VOID(check_user_rank(r));
    if (max_iter == 0) return fail(ErrorKind::Value, "max_iter doit valoir au moins 1");
    const BitMatrix* observed = nullptr;
    if (mask != nullptr) {
        TRY(observed, mask->bits_for(x.rows(), x.cols()));
    }
    TRY(BmfResult result, without_gil_interruptible([&](const boolmat::Interrupt& stop) {
            return observed == nullptr ? bmf_core::ao_bmf(x, r, method, max_iter, seed, stop)
                                       : bmf_core::ao_bmf_masked(x, *observed, r, method, max_iter, seed, stop);
        }));
    return wrap(std::move(result));
}

PyObject* ao_bmf(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr Signature sig{"ao_bmf()", {"x", "r", "method", "max_iter", "seed"}, 5, 2};
    return run(sig, args, kwargs, [&](Args& a) -> Result<PyObject*> {
        TRY(auto x, a.instance<BitMatrix>(0));
        TRY(const std::uint64_t r, a.u64(1));
        TRY(const std::string method, a.text_or(2, kDefaultMethodName.data()));
        TRY(const std::uint64_t max_iter, a.u64_or(3, bmf_core::kDefaultMaxIter));
        TRY(const std::uint64_t seed, a.u64_or(4, bmf_core::kDefaultSeed));
        return factorise(*x, nullptr, r, method, max_iter, seed);
    });
}

PyObject* ao_bmf_masked(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr Signature sig{"ao_bmf_masked()", {"x", "mask", "r", "method", "max_iter", "seed"}, 6, 3};
    return run(sig, args, kwargs, [&](Args& a) -> Result<PyObject*> {
        TRY(auto x, a.instance<BitMatrix>(0));
        TRY(MaskMatrix mask, a.named(1, MaskMatrix::convert(a.raw(1))));
        TRY(const std::uint64_t r, a.u64(2));
        TRY(const std::string method, a.text_or(3, kDefaultMethodName.data()));
        TRY(const std::uint64_t max_iter, a.u64_or(4, bmf_core::kDefaultMaxIter));
        TRY(const std::uint64_t seed, a.u64_or(5, bmf_core::kDefaultSeed));
        return factorise(*x, &mask, r, method, max_iter, seed);
    });
}

PyType_Slot* class_slots() {
    static PyMethodDef method_table[] = {
        {"reconstruct", reconstruct, METH_NOARGS, "reconstruct($self)\n--\n\n"},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyGetSetDef getset[] = {
        {"w", get_factor<BmfResult, &BmfResult::w>, nullptr, nullptr, nullptr},
        {"h", get_factor<BmfResult, &BmfResult::h>, nullptr, nullptr, nullptr},
        {"error", get_count<BmfResult, &BmfResult::error>, nullptr, nullptr, nullptr},
        {"iterations", get_count<BmfResult, &BmfResult::iterations>, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_new, fn(bmfresult_new)},
        {Py_tp_dealloc, fn(dealloc_instance<BmfResult>)},
        {Py_tp_repr, fn(bmfresult_repr)},
        {Py_tp_getset, getset},
        {Py_tp_methods, method_table},
        {0, nullptr},
    };
    return slots;
}

}  // namespace

Result<PyObject*> make_bmfresult_class() {
    PyType_Spec spec{"Valdrix.BmfResult", static_cast<int>(sizeof(PyBmfResult)), 0, Py_TPFLAGS_DEFAULT,
                     class_slots()};
    PyObject* type = PyType_FromSpec(&spec);
    if (type == nullptr) return pending();
    state().bmfresult_type = reinterpret_cast<PyTypeObject*>(type);
    Py_INCREF(type);  // the state's reference, kept for the process
    return type;
}

Result<PyObject*> make_ao_bmf_function() {
    static PyMethodDef def = {"ao_bmf", as_cfunction(ao_bmf), METH_VARARGS | METH_KEYWORDS,
                              kAoBmfDoc};
    return module_function(&def);
}

Result<PyObject*> make_ao_bmf_masked_function() {
    static PyMethodDef def = {"ao_bmf_masked", as_cfunction(ao_bmf_masked), METH_VARARGS | METH_KEYWORDS,
                              kAoBmfMaskedDoc};
    return module_function(&def);
}

}  // namespace bmf_py
