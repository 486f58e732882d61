// BitMatrix in its packed byte form: to_packed / from_packed, and pickling,
// which carries the same bytes.
#include <Python.h>

#include "bmf_py/classes.hpp"
#include "bmf_py/frame.hpp"
#include "bmf_py/module_function.hpp"
#include "bmf_py/numpy_api.hpp"
#include "bmf_py/numpy_array.hpp"
#include "bmf_py/py_bitmatrix.hpp"
#include "bmf_py/pyref.hpp"
#include "bmf_py/slice_container.hpp"
#include "boolmat/packed.hpp"

namespace bmf_py {

namespace {

using boolmat::packed_width;

// rows * packed_width(cols), or nothing when it does not fit 64 bits.
std::optional<std::uint64_t> packed_size(std::uint64_t rows, std::uint64_t cols) {
    std::uint64_t size = 0;
    if (__builtin_mul_overflow(rows, packed_width(cols), &size)) return std::nullopt;
    return size;
}

PyObject* bitmatrix_to_packed(PyObject* self, PyObject*) {
    return run([&]() -> Result<PyObject*> {
        TRY(auto me, borrow_shared<BitMatrix>(self));
        TRY_VOID(numpy::api());
        TRY(auto bytes, boolmat::Buffer<std::uint8_t>::uninit(me->rows() * packed_width(me->cols())));
        const SignalCheck signals;
        TRY_VOID(boolmat::bitmatrix_to_packed(*me, bytes.data(), signals.interrupt()));
        return array_over(std::move(bytes),
                          ArrayLayout::matrix(numpy::kUInt8Type, 1, me->rows(), packed_width(me->cols())));
    });
}

PyObject* bitmatrix_from_packed(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr Signature sig{"BitMatrix.from_packed()", {"a", "cols"}, 2, 2};
    return run(sig, args, kwargs, [&](Args& a) -> Result<PyObject*> {
        TRY(const ByteArrayView v, as_uint8_matrix(a.raw(0), "from_packed : a"));
        TRY(const std::uint64_t cols, a.u64(1));
        TRY_VOID(check_dimensions(v.rows, cols));
        if (v.cols != packed_width(cols)) {
            return fail(ErrorKind::Value,
                        "from_packed : a a {} colonnes ; cols={} en demande {} (un octet pour 8 colonnes)", v.cols,
                        cols, packed_width(cols));
        }
        const SignalCheck signals;
        TRY(BitMatrix m, boolmat::bitmatrix_from_packed({v.data, v.rows, v.cols, v.row_stride, v.col_stride}, cols,
                                                         signals.interrupt()));
        return wrap(std::move(m));
    });
}

// A pickle is (rebuild, (rows, cols, packed bytes)).
PyObject* bitmatrix_reduce(PyObject* self, PyObject*) {
    return run([&]() -> Result<PyObject*> {
        TRY(auto me, borrow_shared<BitMatrix>(self));
        const std::uint64_t size = me->rows() * packed_width(me->cols());
        if (size > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) return boolmat::out_of_memory();
        PyRef bytes(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
        if (!bytes) return pending();
        const SignalCheck signals;
        TRY_VOID(boolmat::bitmatrix_to_packed(*me, reinterpret_cast<std::uint8_t*>(PyBytes_AsString(bytes.get())),
                                              signals.interrupt()));
        PyObject* out = Py_BuildValue("(O(KKO))", state().rebuild_bitmatrix,
                                      static_cast<unsigned long long>(me->rows()),
                                      static_cast<unsigned long long>(me->cols()), bytes.get());
        if (out == nullptr) return pending();
        return out;
    });
}

// Whatever a pickle stream holds is checked before it becomes a matrix: a
// stream that was cut, spliced or edited gives a ValueError, never a matrix
// with bits outside its shape.
Result<std::uint64_t> pickled_dimension(PyObject* o) {
    TRY(const std::int64_t v, to_i64(o));
    if (v < 1) return fail(ErrorKind::Value, "pickle de BitMatrix invalide : dimension {}", v);
    return static_cast<std::uint64_t>(v);
}

PyObject* rebuild_bitmatrix(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr Signature sig{"_rebuild_bitmatrix()", {"rows", "cols", "data"}, 3, 3};
    return run(sig, args, kwargs, [&](Args& a) -> Result<PyObject*> {
        TRY(const std::uint64_t rows, pickled_dimension(a.raw(0)));
        TRY(const std::uint64_t cols, pickled_dimension(a.raw(1)));
        PyObject* data = a.raw(2);
        if (!PyBytes_Check(data)) {
            return fail(ErrorKind::Value, "pickle de BitMatrix invalide : données '{}' au lieu de bytes",
                        type_qualname(data));
        }
        const auto length = static_cast<std::uint64_t>(PyBytes_Size(data));
        const std::optional<std::uint64_t> expected = packed_size(rows, cols);
        if (!expected) {
            return fail(ErrorKind::Value, "pickle de BitMatrix invalide : dimensions {}x{} impossibles", rows, cols);
        }
        if (length != *expected) {
            return fail(ErrorKind::Value,
                        "pickle de BitMatrix invalide : {} octets pour une matrice {}x{}, {} attendus", length, rows,
                        cols, *expected);
        }
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(PyBytes_AsString(data));
        const std::uint64_t width = packed_width(cols);
        const SignalCheck signals;
        TRY(BitMatrix m, boolmat::bitmatrix_from_packed({bytes, rows, width, static_cast<std::int64_t>(width), 1},
                                                         cols, signals.interrupt()));
        return wrap(std::move(m));
    });
}

}  // namespace

std::span<const PyMethodDef> bitmatrix_packed_methods() {
    // Built on first use, never by a static initialiser (see bitmatrix_class.cpp).
    static const PyMethodDef table[] = {
        {"to_packed", bitmatrix_to_packed, METH_NOARGS, "to_packed($self)\n--\n\n"},
        {"from_packed", as_cfunction(bitmatrix_from_packed), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
         "from_packed(a, cols)\n--\n\n"},
        {"__reduce__", bitmatrix_reduce, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    };
    return table;
}

Result<PyObject*> make_rebuild_function() {
    static PyMethodDef def = {"_rebuild_bitmatrix", as_cfunction(rebuild_bitmatrix), METH_VARARGS | METH_KEYWORDS,
                              "_rebuild_bitmatrix(rows, cols, data)\n--\n\n"};
    TRY(PyObject* f, module_function(&def));
    state().rebuild_bitmatrix = f;
    Py_INCREF(f);  // the state's reference, kept for the process
    return f;
}

}  // namespace bmf_py
