// Operators, counts, comparison, hashing, transpose and the text form of
// BitMatrix: each borrows its operands, checks shapes with a message naming
// the operator or method, and calls one core operation.
#include <Python.h>

#include <string>

#include "bmf_py/classes.hpp"
#include "bmf_py/frame.hpp"
#include "bmf_py/py_bitmatrix.hpp"
#include "boolmat/hash.hpp"
#include "boolmat/ops.hpp"
#include "boolmat/product.hpp"
#include "boolmat/render.hpp"
#include "boolmat/transpose.hpp"

namespace bmf_py {

namespace {

Status check_same_shape(const char* op, const BitMatrix& a, const BitMatrix& b) {
    if (!boolmat::same_shape(a, b)) {
        return fail(ErrorKind::Value, "{} : dimensions incompatibles {}x{} et {}x{}", op, a.rows(), a.cols(),
                    b.rows(), b.cols());
    }
    return {};
}

// Binary and in-place slots answer NotImplemented when an operand is not a
// BitMatrix or cannot be borrowed; the conversion error is discarded so the
// interpreter can try the other operand or fall back to the plain operator.
template <class Guard>
bool operand_unusable(const Result<Guard>& r) {
    if (r) return false;
    if (r.error().kind == ErrorKind::Pending) PyErr_Clear();
    return true;
}

using BinaryCore = Result<BitMatrix> (*)(const BitMatrix&, const BitMatrix&);
using InPlaceCore = Status (*)(BitMatrix&, const BitMatrix&);

template <BinaryCore op, const char* text>
PyObject* binary_slot(PyObject* a, PyObject* b) {
    auto left = borrow_shared<BitMatrix>(a);
    if (operand_unusable(left)) return not_implemented();
    auto right = borrow_shared<BitMatrix>(b);
    if (operand_unusable(right)) return not_implemented();
    return run([&]() -> Result<PyObject*> {
        TRY_VOID(check_same_shape(text, **left, **right));
        TRY(BitMatrix out, op(**left, **right));
        return wrap(std::move(out));
    });
}

template <InPlaceCore op, const char* text>
PyObject* inplace_slot(PyObject* a, PyObject* b) {
    auto left = borrow_exclusive<BitMatrix>(a);
    if (operand_unusable(left)) return not_implemented();
    auto right = borrow_shared<BitMatrix>(b);
    if (operand_unusable(right)) return not_implemented();
    return run([&]() -> Result<PyObject*> {
        TRY_VOID(check_same_shape(text, **left, **right));
        TRY_VOID(op(**left, **right));
        Py_INCREF(a);
        return a;
    });
}

constexpr char kAnd[] = "&";
constexpr char kOr[] = "|";
constexpr char kXor[] = "^";
constexpr char kSub[] = "-";
constexpr char kIAnd[] = "&=";
constexpr char kIOr[] = "|=";
constexpr char kIXor[] = "^=";

PyObject* matmul_slot(PyObject* a, PyObject* b) {
    auto left = borrow_shared<BitMatrix>(a);
    if (operand_unusable(left)) return not_implemented();
    auto right = borrow_shared<BitMatrix>(b);
    if (operand_unusable(right)) return not_implemented();
    return run([&]() -> Result<PyObject*> {
        const BitMatrix& x = **left;
        const BitMatrix& y = **right;
        if (x.cols() != y.rows()) {
            return fail(ErrorKind::Value, "@ : dimensions incompatibles {}x{} et {}x{}", x.rows(), x.cols(),
                        y.rows(), y.cols());
        }
        const SignalCheck signals;
        TRY(BitMatrix out, boolmat::boolean_product(x, y, signals.interrupt()));
        return wrap(std::move(out));
    });
}

PyObject* invert_slot(PyObject* a) {
    return run([&]() -> Result<PyObject*> {
        TRY(auto me, borrow_shared<BitMatrix>(a));
        TRY(BitMatrix out, boolmat::complement(*me));
        return wrap(std::move(out));
    });
}

PyObject* equal(PyObject* a, PyObject* b) {
    auto left = borrow_shared<BitMatrix>(a);
    if (operand_unusable(left)) return not_implemented();
    auto right = borrow_shared<BitMatrix>(b);
    if (operand_unusable(right)) return not_implemented();
    return from_bool(boolmat::equals(**left, **right));
}

PyObject* richcompare_slot(PyObject* a, PyObject* b, int op) {
    switch (op) {
        case Py_EQ:
            return equal(a, b);
        case Py_NE: {
            // Through the full protocol, so a reflected __eq__ of b is honoured.
            PyObject* eq = PyObject_RichCompare(a, b, Py_EQ);
            if (eq == nullptr) return nullptr;
            const int truth = PyObject_IsTrue(eq);
            Py_DECREF(eq);
            if (truth < 0) return nullptr;
            return from_bool(truth == 0);
        }
        case Py_LT:
        case Py_LE:
        case Py_GT:
        case Py_GE:
            return not_implemented();
        default:
            return run([&]() -> Result<PyObject*> { return boolmat::panic("invalid compareop"); });
    }
}

Py_hash_t hash_slot(PyObject* a) {
    Py_hash_t out = -1;
    const int status = run_status([&]() -> Status {
        TRY(auto me, borrow_shared<BitMatrix>(a));
        const std::uint64_t u = boolmat::hash_matrix(*me);
        out = u >= 0xFFFFFFFFFFFFFFFEull ? Py_hash_t{-2} : static_cast<Py_hash_t>(static_cast<std::int64_t>(u));
        return {};
    });
    return status < 0 ? -1 : out;
}

PyObject* str_slot(PyObject* a) {
    return run([&]() -> Result<PyObject*> {
        TRY(auto me, borrow_shared<BitMatrix>(a));
        std::string text;
        boolmat::render(*me, text);
        PyObject* s = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
        if (s == nullptr) return pending();
        return s;
    });
}

PyObject* count_ones(PyObject* self, PyObject*) {
    return run([&]() -> Result<PyObject*> {
        TRY(auto me, borrow_shared<BitMatrix>(self));
        return from_u64(me->count_ones());
    });
}

PyObject* row_count_ones(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr Signature sig{"BitMatrix.row_count_ones()", {"i"}, 1, 1};
    return run(sig, args, kwargs, [&](Args& a) -> Result<PyObject*> {
        TRY(auto me, borrow_shared<BitMatrix>(self));
        TRY(const std::uint64_t i, a.u64(0));
        if (i >= me->rows()) return fail(ErrorKind::Index, "ligne {} hors limites (rows = {})", i, me->rows());
        TRY(const std::uint64_t n, boolmat::row_count_ones(*me, i));
        return from_u64(n);
    });
}

using CountCore = Result<std::uint64_t> (*)(const BitMatrix&, const BitMatrix&);

template <CountCore count, const char* name, const Signature& sig>
PyObject* count_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    return run(sig, args, kwargs, [&](Args& a) -> Result<PyObject*> {
        TRY(auto me, borrow_shared<BitMatrix>(self));
        TRY(auto other, a.instance<BitMatrix>(0));
        TRY_VOID(check_same_shape(name, *me, *other));
        TRY(const std::uint64_t n, count(*me, *other));
        return from_u64(n);
    });
}

constexpr char kHamming[] = "hamming";
constexpr char kCountAndnot[] = "count_andnot";
constexpr Signature kHammingSig{"BitMatrix.hamming()", {"other"}, 1, 1};
constexpr Signature kCountAndnotSig{"BitMatrix.count_andnot()", {"other"}, 1, 1};

PyObject* transpose(PyObject* self, PyObject*) {
    return run([&]() -> Result<PyObject*> {
        TRY(auto me, borrow_shared<BitMatrix>(self));
        const SignalCheck signals;
        TRY(BitMatrix t, boolmat::transpose(*me, signals.interrupt()));
        return wrap(std::move(t));
    });
}

void* fn(auto* f) { return reinterpret_cast<void*>(f); }

}  // namespace

// Function-pointer casts are not constant expressions, so the tables are
// function-local statics: built on first use, after the import-time
// processor check, never by a static initialiser.
std::span<const PyMethodDef> bitmatrix_algebra_methods() {
    static const PyMethodDef table[] = {
    {"count_ones", count_ones, METH_NOARGS, "count_ones($self)\n--\n\n"},
    {"row_count_ones", as_cfunction(row_count_ones), METH_VARARGS | METH_KEYWORDS, "row_count_ones($self, i)\n--\n\n"},
    {"hamming", as_cfunction(count_method<boolmat::hamming, kHamming, kHammingSig>), METH_VARARGS | METH_KEYWORDS,
     "hamming($self, other)\n--\n\n"},
    {"count_andnot", as_cfunction(count_method<boolmat::count_andnot, kCountAndnot, kCountAndnotSig>),
     METH_VARARGS | METH_KEYWORDS, "count_andnot($self, other)\n--\n\n"},
    {"transpose", transpose, METH_NOARGS, "transpose($self)\n--\n\n"},
    };
    return table;
}

std::span<const PyType_Slot> bitmatrix_algebra_slots() {
    static const PyType_Slot table[] = {
    {Py_nb_and, fn(binary_slot<boolmat::and_, kAnd>)},
    {Py_nb_or, fn(binary_slot<boolmat::or_, kOr>)},
    {Py_nb_xor, fn(binary_slot<boolmat::xor_, kXor>)},
    {Py_nb_subtract, fn(binary_slot<boolmat::andnot, kSub>)},
    {Py_nb_invert, fn(invert_slot)},
    {Py_nb_matrix_multiply, fn(matmul_slot)},
    {Py_nb_inplace_and, fn(inplace_slot<boolmat::and_assign, kIAnd>)},
    {Py_nb_inplace_or, fn(inplace_slot<boolmat::or_assign, kIOr>)},
    {Py_nb_inplace_xor, fn(inplace_slot<boolmat::xor_assign, kIXor>)},
    {Py_tp_richcompare, fn(richcompare_slot)},
    {Py_tp_hash, fn(hash_slot)},
    {Py_tp_str, fn(str_slot)},
    };
    return table;
}

}  // namespace bmf_py
