// The BitMatrix class: construction, shape, element access, len, repr and
// copy; the class object is assembled here from the parts contributed by the
// algebra and conversion files.
#include <Python.h>

#include <vector>

#include "bmf_py/classes.hpp"
#include "bmf_py/frame.hpp"
#include "bmf_py/py_bitmatrix.hpp"
#include "bmf_py/pyref.hpp"

namespace bmf_py {

namespace {

Result<BitMatrix> build(std::uint64_t rows, std::uint64_t cols, bool fill) {
    TRY_VOID(check_dimensions(rows, cols));
    return fill ? BitMatrix::ones(rows, cols) : BitMatrix::zeros(rows, cols);
}

PyObject* bitmatrix_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr Signature sig{"BitMatrix.__new__()", {"rows", "cols", "fill"}, 3, 2};
    return run(sig, args, kwargs, [&](Args& a) -> Result<PyObject*> {
        TRY(const std::uint64_t rows, a.u64(0));
        TRY(const std::uint64_t cols, a.u64(1));
        TRY(const bool fill, a.boolean_or(2, false));
        TRY(BitMatrix m, build(rows, cols, fill));
        return wrap_in(type, std::move(m));
    });
}

PyObject* bitmatrix_zeros(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr Signature sig{"BitMatrix.zeros()", {"rows", "cols"}, 2, 2};
    return run(sig, args, kwargs, [&](Args& a) -> Result<PyObject*> {
        TRY(const std::uint64_t rows, a.u64(0));
        TRY(const std::uint64_t cols, a.u64(1));
        TRY(BitMatrix m, build(rows, cols, false));
        return wrap(std::move(m));
    });
}

PyObject* bitmatrix_ones(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr Signature sig{"BitMatrix.ones()", {"rows", "cols"}, 2, 2};
    return run(sig, args, kwargs, [&](Args& a) -> Result<PyObject*> {
        TRY(const std::uint64_t rows, a.u64(0));
        TRY(const std::uint64_t cols, a.u64(1));
        TRY(BitMatrix m, build(rows, cols, true));
        return wrap(std::move(m));
    });
}

PyObject* bitmatrix_copy(PyObject* self, PyObject*) {
    return run([&]() -> Result<PyObject*> {
        TRY(auto me, borrow_shared<BitMatrix>(self));
        TRY(BitMatrix copy, me->clone());
        return wrap(std::move(copy));
    });
}

// copy.copy and copy.deepcopy: a matrix holds no references, so both are
// the plain copy.
PyObject* bitmatrix_deepcopy(PyObject* self, PyObject*) { return bitmatrix_copy(self, nullptr); }

// What the object keeps in memory: itself and the words it owns. Neither
// changes after construction, so this needs no borrow and cannot fail.
PyObject* bitmatrix_sizeof(PyObject* self, PyObject*) {
    const BitMatrix& m = as_instance<BitMatrix>(self)->value;
    return run([&]() -> Result<PyObject*> { return from_u64(sizeof(PyBitMatrix) + m.words().size_bytes()); });
}

PyObject* get_shape(PyObject* self, void*) {
    return run([&]() -> Result<PyObject*> {
        TRY(auto me, borrow_shared<BitMatrix>(self));
        PyObject* t = Py_BuildValue("(KK)", static_cast<unsigned long long>(me->rows()),
                                    static_cast<unsigned long long>(me->cols()));
        if (t == nullptr) return pending();
        return t;
    });
}

PyObject* get_rows(PyObject* self, void*) {
    return run([&]() -> Result<PyObject*> {
        TRY(auto me, borrow_shared<BitMatrix>(self));
        return from_u64(me->rows());
    });
}

PyObject* get_cols(PyObject* self, void*) {
    return run([&]() -> Result<PyObject*> {
        TRY(auto me, borrow_shared<BitMatrix>(self));
        return from_u64(me->cols());
    });
}

struct Index2 {
    std::uint64_t i;
    std::uint64_t j;
};

// The subscript m[i, j]: a tuple of exactly two unsigned integers, named "idx".
Result<Index2> convert_index(PyObject* key) {
    auto named = [](Failure f) { return std::unexpected(name_argument("idx", std::move(f))); };
    if (!PyTuple_Check(key)) return named(cannot_convert(key, "PyTuple"));
    const Py_ssize_t n = PyTuple_Size(key);
    if (n != 2) {
        return fail(ErrorKind::Value, "expected tuple of length {}, but got tuple of length {}", std::uint64_t{2},
                    static_cast<std::uint64_t>(n));
    }
    auto i = to_u64(PyTuple_GetItem(key, 0));
    if (!i) return named(std::move(i).error());
    auto j = to_u64(PyTuple_GetItem(key, 1));
    if (!j) return named(std::move(j).error());
    return Index2{*i, *j};
}

Status check_index(const BitMatrix& m, Index2 ix) {
    if (ix.i >= m.rows() || ix.j >= m.cols()) {
        return fail(ErrorKind::Index, "indice ({}, {}) hors limites pour une matrice {}x{}", ix.i, ix.j, m.rows(),
                    m.cols());
    }
    return {};
}

PyObject* bitmatrix_getitem(PyObject* self, PyObject* key) {
    return run([&]() -> Result<PyObject*> {
        TRY(auto me, borrow_shared<BitMatrix>(self));
        TRY(const Index2 ix, convert_index(key));
        TRY_VOID(check_index(*me, ix));
        return from_bool(me->get_unchecked(ix.i, ix.j));
    });
}

int bitmatrix_setitem(PyObject* self, PyObject* key, PyObject* value) {
    return run_status([&]() -> Status {
        if (value == nullptr) return fail(ErrorKind::Unsupported, "can't delete item");
        TRY(auto me, borrow_exclusive<BitMatrix>(self));
        TRY(const Index2 ix, convert_index(key));
        auto v = to_bool(value);
        if (!v) return std::unexpected(name_argument("value", std::move(v).error()));
        TRY_VOID(check_index(*me, ix));
        TRY_VOID(me->own_words());
        me->set_unchecked(ix.i, ix.j, *v);
        return {};
    });
}

// The integer-index sequence slots only forward to the subscript slots, so
// iteration reaches them with an int key and fails there.
PyObject* bitmatrix_sq_item(PyObject* self, Py_ssize_t i) {
    PyRef key(PyLong_FromSsize_t(i));
    if (!key) return nullptr;
    return PyObject_GetItem(self, key.get());
}

int bitmatrix_sq_ass_item(PyObject* self, Py_ssize_t i, PyObject* value) {
    PyRef key(PyLong_FromSsize_t(i));
    if (!key) return -1;
    return value == nullptr ? PyObject_DelItem(self, key.get()) : PyObject_SetItem(self, key.get(), value);
}

Py_ssize_t bitmatrix_len(PyObject* self) {
    Py_ssize_t out = -1;
    const int status = run_status([&]() -> Status {
        TRY(auto me, borrow_shared<BitMatrix>(self));
        if (me->rows() > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) return fail(ErrorKind::Overflow, "");
        out = static_cast<Py_ssize_t>(me->rows());
        return {};
    });
    return status < 0 ? -1 : out;
}

PyObject* bitmatrix_repr(PyObject* self) {
    return run([&]() -> Result<PyObject*> {
        TRY(auto me, borrow_shared<BitMatrix>(self));
        PyObject* s = PyUnicode_FromFormat("<BitMatrix %llux%llu, %llu bits a 1>",
                                           static_cast<unsigned long long>(me->rows()),
                                           static_cast<unsigned long long>(me->cols()),
                                           static_cast<unsigned long long>(me->count_ones()));
        if (s == nullptr) return pending();
        return s;
    });
}

// Function pointers cast to the slot and method types are not constant
// expressions, so these tables are function-local statics: built on first
// use, after the import-time processor check, never by a static initialiser.
std::span<const PyMethodDef> basic_methods() {
    static const PyMethodDef table[] = {
        {"zeros", as_cfunction(bitmatrix_zeros),
         METH_VARARGS | METH_KEYWORDS | METH_STATIC, "zeros(rows, cols)\n--\n\n"},
        {"ones", as_cfunction(bitmatrix_ones),
         METH_VARARGS | METH_KEYWORDS | METH_STATIC, "ones(rows, cols)\n--\n\n"},
        {"copy", bitmatrix_copy, METH_NOARGS, "copy($self)\n--\n\n"},
        {"__copy__", bitmatrix_copy, METH_NOARGS, "__copy__($self)\n--\n\n"},
        {"__deepcopy__", bitmatrix_deepcopy, METH_O, "__deepcopy__($self, memo, /)\n--\n\n"},
        {"__sizeof__", bitmatrix_sizeof, METH_NOARGS, "__sizeof__($self)\n--\n\n"},
    };
    return table;
}

PyGetSetDef getset[] = {
    {"shape", get_shape, nullptr, nullptr, nullptr},
    {"rows", get_rows, nullptr, nullptr, nullptr},
    {"cols", get_cols, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

void* fn(auto* f) { return reinterpret_cast<void*>(f); }

std::span<const PyType_Slot> basic_slots() {
    static const PyType_Slot table[] = {
        {Py_tp_new, fn(bitmatrix_new)},
        {Py_tp_dealloc, fn(dealloc_instance<BitMatrix>)},
        {Py_tp_repr, fn(bitmatrix_repr)},
        {Py_tp_getset, getset},
        {Py_mp_subscript, fn(bitmatrix_getitem)},
        {Py_mp_ass_subscript, fn(bitmatrix_setitem)},
        {Py_mp_length, fn(bitmatrix_len)},
        {Py_sq_item, fn(bitmatrix_sq_item)},
        {Py_sq_ass_item, fn(bitmatrix_sq_ass_item)},
        {Py_tp_doc, const_cast<char*>("BitMatrix(rows, cols, fill=False)\n--\n\n")},
    };
    return table;
}

}  // namespace

std::span<const PyMethodDef> bitmatrix_basic_methods() { return basic_methods(); }
std::span<const PyType_Slot> bitmatrix_basic_slots() { return basic_slots(); }

Result<PyObject*> make_bitmatrix_class() {
    // The method table and slot list must outlive the class, which lives as
    // long as the process.
    static std::vector<PyMethodDef> methods;
    static std::vector<PyType_Slot> slots;
    methods.clear();
    slots.clear();
    for (auto part : {bitmatrix_basic_methods(), bitmatrix_algebra_methods(), bitmatrix_conversion_methods(),
                      bitmatrix_packed_methods(), bitmatrix_sparse_methods()}) {
        methods.insert(methods.end(), part.begin(), part.end());
    }
    methods.push_back({nullptr, nullptr, 0, nullptr});
    for (auto part : {bitmatrix_basic_slots(), bitmatrix_algebra_slots()}) slots.insert(slots.end(), part.begin(), part.end());
    slots.push_back({Py_tp_methods, methods.data()});
    slots.push_back({0, nullptr});

    PyType_Spec spec{"Valdrix.BitMatrix", static_cast<int>(sizeof(PyBitMatrix)), 0, Py_TPFLAGS_DEFAULT, slots.data()};
    PyObject* type = PyType_FromSpec(&spec);
    if (type == nullptr) return pending();
    // NumPy's documented opt-out of its operators and ufuncs: with it,
    // `m & array`, `np.float64(2) - m` or `m != np.int32(0)` no longer turn
    // the matrix into an array through __array__; they refuse the operand as
    // the slots do for any other non-matrix, or compare by identity.
    if (PyObject_SetAttrString(type, "__array_ufunc__", Py_None) < 0) {
        Py_DECREF(type);
        return pending();
    }
    state().bitmatrix_type = reinterpret_cast<PyTypeObject*>(type);
    Py_INCREF(type);  // the state's reference, kept for the process
    return type;
}

}  // namespace bmf_py
