// Conversions of BitMatrix to and from Python lists and NumPy arrays.
#include <Python.h>

#include <algorithm>
#include <limits>
#include <new>
#include <stdexcept>
#include <vector>

#include "bmf_py/classes.hpp"
#include "bmf_py/frame.hpp"
#include "bmf_py/numpy_api.hpp"
#include "bmf_py/numpy_array.hpp"
#include "bmf_py/py_bitmatrix.hpp"
#include "bmf_py/pyref.hpp"
#include "bmf_py/slice_container.hpp"
#include "boolmat/pack_bytes.hpp"

namespace bmf_py {

namespace {

constexpr std::uint64_t kNoColumn = std::numeric_limits<std::uint64_t>::max();

// What from_list keeps of each row while it converts. Validation runs only
// after the whole input is converted, and needs no more than the length of
// each row and its first value that is neither 0 nor 1.
struct RowInfo {
    std::uint64_t length = 0;
    std::uint64_t bad_col = kNoColumn;
    std::int64_t bad_value = 0;
};

struct ListData {
    std::vector<std::uint8_t> bits;  // one byte per value, rows end to end: 1 for 1, 0 otherwise
    std::vector<RowInfo> rows;
};

// The interpreter's cached 0 and 1: elements that are these objects (or
// True and False) need no conversion call. Anything else, 0 and 1 included,
// takes the general __index__ path, which gives the same values.
struct SmallInts {
    PyRef zero{PyLong_FromLong(0)};
    PyRef one{PyLong_FromLong(1)};
};

Status check_sequence(PyObject* o) {
    if (PyUnicode_Check(o)) return fail(ErrorKind::Type, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(o)) return std::unexpected(cannot_convert(o, "Sequence"));
    return {};
}

class ListReader {
public:
    ListReader(const SmallInts& ints, const boolmat::Interrupt& stop) noexcept
        : zero_(ints.zero.get()), one_(ints.one.get()), stop_(stop) {}

    Result<ListData> read(PyObject* data) {
        TRY_VOID(check_sequence(data));
        out_.rows.reserve(size_hint(data));
        PyRef it(PyObject_GetIter(data));
        if (!it) return pending();
        while (PyObject* raw = PyIter_Next(it.get())) {
            PyRef row(raw);
            TRY_VOID(read_row(row.get()));
            // Reading plain ints runs no Python code, so no handler would
            // run before the whole list is read.
            TRY_VOID(stop_.check(out_.rows.back().length + 1));
            if (out_.rows.size() == 1 && out_.rows[0].length != 0) {
                out_.bits.reserve(std::min(out_.rows.capacity(), kMaxReserve / out_.rows[0].length + 1) *
                                  out_.rows[0].length);
            }
        }
        if (PyErr_Occurred()) return pending();
        return std::move(out_);
    }

private:
    // Room for `extra` more values, keeping the geometric growth that many
    // small reservations one after the other would otherwise defeat.
    void reserve_more(std::size_t extra) {
        const std::size_t need = out_.bits.size() + extra;
        if (need > out_.bits.capacity()) out_.bits.reserve(std::max(need, 2 * out_.bits.capacity()));
    }

    Status read_row(PyObject* row) {
        TRY_VOID(check_sequence(row));
        RowInfo& info = out_.rows.emplace_back();
        // Exact lists and tuples are read by position, as their iterators
        // would read them: a list that changes length while its elements
        // convert is followed to its current end.
        if (PyList_CheckExact(row)) {
            for (Py_ssize_t k = 0; k < PyList_Size(row); ++k) TRY_VOID(take(PyList_GetItem(row, k), info));
        } else if (PyTuple_CheckExact(row)) {
            const Py_ssize_t n = PyTuple_Size(row);
            for (Py_ssize_t k = 0; k < n; ++k) TRY_VOID(take(PyTuple_GetItem(row, k), info));
        } else {
            reserve_more(size_hint(row));
            PyRef it(PyObject_GetIter(row));
            if (!it) return pending();
            while (PyObject* raw = PyIter_Next(it.get())) {
                PyRef item(raw);
                TRY_VOID(take(item.get(), info));
            }
            if (PyErr_Occurred()) return pending();
        }
        return {};
    }

    Status take(PyObject* item, RowInfo& info) {
        std::int64_t v;
        if (item == zero_ || item == Py_False) {
            v = 0;
        } else if (item == one_ || item == Py_True) {
            v = 1;
        } else {
            // The list holds the only other reference; __index__ may drop it.
            PyRef held = PyRef::borrowed(item);
            TRY(v, to_i64(held.get()));
        }
        if ((v & ~std::int64_t{1}) != 0 && info.bad_col == kNoColumn) {
            info.bad_col = info.length;
            info.bad_value = v;
        }
        out_.bits.push_back(v == 1);
        ++info.length;
        return {};
    }

    PyObject* zero_;
    PyObject* one_;
    const boolmat::Interrupt& stop_;
    ListData out_;
};

// The byte and row tables grow with the input; running out of memory there
// is reported like any other allocation failure.
Result<ListData> read_list(const SmallInts& ints, PyObject* data) {
    try {
        const SignalCheck signals;
        return ListReader(ints, signals.interrupt()).read(data);
    } catch (const std::bad_alloc&) {
        return boolmat::out_of_memory();
    } catch (const std::length_error&) {
        return boolmat::out_of_memory();
    }
}

// Row by row: the length of a row, then its values.
Result<std::uint64_t> validate_list(const ListData& d) {
    if (d.rows.empty()) return fail(ErrorKind::Value, "from_list : aucune ligne fournie");
    const std::uint64_t width = d.rows[0].length;
    if (width == 0) return fail(ErrorKind::Value, "from_list : les lignes sont vides");
    for (std::uint64_t r = 0; r < d.rows.size(); ++r) {
        const RowInfo& row = d.rows[r];
        if (row.length != width) {
            return fail(ErrorKind::Value, "from_list : la ligne {} a {} elements, la ligne 0 en a {}", r, row.length,
                        width);
        }
        if (row.bad_col != kNoColumn) {
            return fail(ErrorKind::Value, "from_list : valeur {} en ({}, {}) ; seuls 0 et 1 sont admis", row.bad_value,
                        r, row.bad_col);
        }
    }
    return width;
}

Result<BitMatrix> matrix_from_list(PyObject* data, const Args& a) {
    const SmallInts ints;
    if (!ints.zero || !ints.one) return pending();
    TRY(const ListData d, a.named(0, read_list(ints, data)));
    TRY(const std::uint64_t width, validate_list(d));
    return boolmat::bitmatrix_from_bytes({d.bits.data(), d.rows.size(), width, static_cast<std::int64_t>(width), 1});
}

PyObject* bitmatrix_from_list(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr Signature sig{"BitMatrix.from_list()", {"data"}, 1, 1};
    return run(sig, args, kwargs, [&](Args& a) -> Result<PyObject*> {
        TRY(BitMatrix m, matrix_from_list(a.raw(0), a));
        return wrap(std::move(m));
    });
}

Result<PyObject*> list_of_rows(const BitMatrix& m) {
    if (m.cols() > static_cast<std::uint64_t>(PY_SSIZE_T_MAX) || m.rows() > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
        return boolmat::out_of_memory();
    }
    const SmallInts ints;
    if (!ints.zero || !ints.one) return pending();
    TRY(auto bytes, boolmat::Buffer<std::uint8_t>::uninit(m.cols()));
    PyRef out(PyList_New(static_cast<Py_ssize_t>(m.rows())));
    if (!out) return pending();
    const SignalCheck signals;
    for (std::uint64_t i = 0; i < m.rows(); ++i) {
        TRY_VOID(signals.interrupt().check(m.cols() + 1));
        boolmat::unpack_bits(m.row_ptr(i), m.cols(), bytes.data());
        PyRef row(PyList_New(static_cast<Py_ssize_t>(m.cols())));
        if (!row) return pending();
        for (std::uint64_t j = 0; j < m.cols(); ++j) {
            PyObject* v = bytes[j] != 0 ? ints.one.get() : ints.zero.get();
            Py_INCREF(v);
            PyList_SetItem(row.get(), static_cast<Py_ssize_t>(j), v);
        }
        PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), row.release());
    }
    return out.release();
}

PyObject* bitmatrix_to_list(PyObject* self, PyObject*) {
    return run([&]() -> Result<PyObject*> {
        TRY(auto me, borrow_shared<BitMatrix>(self));
        return list_of_rows(*me);
    });
}

PyObject* bitmatrix_from_numpy(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr Signature sig{"BitMatrix.from_numpy()", {"a"}, 1, 1};
    return run(sig, args, kwargs, [&](Args& a) -> Result<PyObject*> {
        TRY(const ByteArrayView v, a.named(0, as_bool_array(a.raw(0), 2)));
        TRY_VOID(check_dimensions(v.rows, v.cols));
        const SignalCheck signals;
        TRY(BitMatrix m, boolmat::bitmatrix_from_bytes({v.data, v.rows, v.cols, v.row_stride, v.col_stride},
                                                        signals.interrupt()));
        return wrap(std::move(m));
    });
}

Result<PyObject*> bool_array_of(const BitMatrix& m) {
    TRY_VOID(numpy::api());
    std::uint64_t size = 0;
    if (__builtin_mul_overflow(m.rows(), m.cols(), &size)) return boolmat::out_of_memory();
    TRY(auto bytes, boolmat::Buffer<std::uint8_t>::uninit(size));
    const SignalCheck signals;
    TRY_VOID(boolmat::bitmatrix_to_bytes(m, bytes.data(), signals.interrupt()));
    return bool_array_over(std::move(bytes), m.rows(), m.cols());
}

PyObject* bitmatrix_to_numpy(PyObject* self, PyObject*) {
    return run([&]() -> Result<PyObject*> {
        TRY(auto me, borrow_shared<BitMatrix>(self));
        return bool_array_of(*me);
    });
}

// NumPy's array protocol: np.asarray(m) and np.array(m, dtype=...) see the
// values. The bits are never shared with NumPy, so copy=False cannot be
// honoured and says so, as NumPy 2 asks.
PyObject* bitmatrix_array(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr Signature sig{"BitMatrix.__array__()", {"dtype", "copy"}, 2, 0};
    return run(sig, args, kwargs, [&](Args& a) -> Result<PyObject*> {
        if (a.given(1) && a.raw(1) != Py_None) {
            const int copy = PyObject_IsTrue(a.raw(1));
            if (copy < 0) return pending();
            if (copy == 0) {
                return fail(ErrorKind::Value, "__array__ : copy=False est impossible, les valeurs d'une BitMatrix "
                                              "sont toujours copiees");
            }
        }
        TRY(auto me, borrow_shared<BitMatrix>(self));
        TRY(PyObject* made, bool_array_of(*me));
        PyRef array(made);
        if (!a.given(0) || a.raw(0) == Py_None) return array.release();
        PyRef astype(PyObject_GetAttrString(array.get(), "astype"));
        PyRef positional(PyTuple_Pack(1, a.raw(0)));
        PyRef keywords(Py_BuildValue("{s:O}", "copy", Py_False));
        if (!astype || !positional || !keywords) return pending();
        PyObject* converted = PyObject_Call(astype.get(), positional.get(), keywords.get());
        if (converted == nullptr) return pending();
        return converted;
    });
}

}  // namespace

std::span<const PyMethodDef> bitmatrix_conversion_methods() {
    // Built on first use, never by a static initialiser (see bitmatrix_class.cpp).
    static const PyMethodDef table[] = {
        {"from_list", as_cfunction(bitmatrix_from_list), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
         "from_list(data)\n--\n\n"},
        {"to_list", bitmatrix_to_list, METH_NOARGS, "to_list($self)\n--\n\n"},
        {"from_numpy", as_cfunction(bitmatrix_from_numpy), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
         "from_numpy(a)\n--\n\n"},
        {"to_numpy", bitmatrix_to_numpy, METH_NOARGS, "to_numpy($self)\n--\n\n"},
        {"__array__", as_cfunction(bitmatrix_array), METH_VARARGS | METH_KEYWORDS,
         "__array__($self, dtype=None, copy=None)\n--\n\n"},
    };
    return table;
}

}  // namespace bmf_py
