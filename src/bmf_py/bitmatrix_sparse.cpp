// BitMatrix as coordinates: nonzero() and BitMatrix.from_indices().
#include <Python.h>

#include <vector>

#include "bmf_py/classes.hpp"
#include "bmf_py/frame.hpp"
#include "bmf_py/numpy_api.hpp"
#include "bmf_py/numpy_array.hpp"
#include "bmf_py/py_bitmatrix.hpp"
#include "bmf_py/pyref.hpp"
#include "bmf_py/slice_container.hpp"
#include "boolmat/indices.hpp"

namespace bmf_py {

namespace {

using boolmat::IndexVector;

PyObject* bitmatrix_nonzero(PyObject* self, PyObject*) {
    return run([&]() -> Result<PyObject*> {
        TRY(auto me, borrow_shared<BitMatrix>(self));
        TRY_VOID(numpy::api());
        const std::uint64_t n = me->count_ones();
        // NumPy allocates for itself when given no data, so an empty result
        // still gets a block of its own.
        const std::uint64_t bytes = (n == 0 ? 1 : n) * sizeof(std::int64_t);
        TRY(auto rows, boolmat::Buffer<std::uint8_t>::uninit(bytes));
        TRY(auto cols, boolmat::Buffer<std::uint8_t>::uninit(bytes));
        const SignalCheck signals;
        TRY_VOID(boolmat::bitmatrix_nonzero(*me, reinterpret_cast<std::int64_t*>(rows.data()),
                                            reinterpret_cast<std::int64_t*>(cols.data()), signals.interrupt()));
        const ArrayLayout layout = ArrayLayout::vector(numpy::kInt64Type, sizeof(std::int64_t), n);
        TRY(PyObject* row_array, array_over(std::move(rows), layout));
        PyRef row_ref(row_array);
        TRY(PyObject* col_array, array_over(std::move(cols), layout));
        PyRef col_ref(col_array);
        PyObject* out = PyTuple_Pack(2, row_ref.get(), col_ref.get());
        if (out == nullptr) return pending();
        return out;
    });
}

// Indices from anything else than an integer ndarray: any sequence of
// integers (objects with __index__), converted once.
struct ConvertedIndices {
    std::vector<std::int64_t> values;
    IndexVector view() const {
        return {values.data(), values.size(), sizeof(std::int64_t), boolmat::IndexType::I64};
    }
};

Result<ConvertedIndices> convert_sequence(PyObject* o) {
    if (PyUnicode_Check(o) || !PySequence_Check(o)) return std::unexpected(cannot_convert(o, "Sequence"));
    ConvertedIndices out;
    out.values.reserve(size_hint(o));
    PyRef it(PyObject_GetIter(o));
    if (!it) return pending();
    while (PyObject* raw = PyIter_Next(it.get())) {
        PyRef item(raw);
        TRY(const std::int64_t v, to_i64(item.get()));
        out.values.push_back(v);
    }
    if (PyErr_Occurred()) return pending();
    return out;
}

// An index argument: read in place when it is an integer ndarray, else
// converted into `storage`.
Result<IndexVector> index_argument(const Args& a, std::size_t i, const char* what, ConvertedIndices& storage) {
    TRY(const std::optional<IndexVector> in_place, as_index_vector(a.raw(i), what));
    if (in_place) return *in_place;
    TRY(storage, a.named(i, convert_sequence(a.raw(i))));
    return storage.view();
}

PyObject* bitmatrix_from_indices(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr Signature sig{"BitMatrix.from_indices()", {"rows", "cols", "row_indices", "col_indices"}, 4, 4};
    return run(sig, args, kwargs, [&](Args& a) -> Result<PyObject*> {
        TRY(const std::uint64_t rows, a.u64(0));
        TRY(const std::uint64_t cols, a.u64(1));
        TRY_VOID(check_dimensions(rows, cols));
        ConvertedIndices row_storage;
        ConvertedIndices col_storage;
        TRY(const IndexVector ri, index_argument(a, 2, "from_indices : row_indices", row_storage));
        TRY(const IndexVector ci, index_argument(a, 3, "from_indices : col_indices", col_storage));
        if (ri.size != ci.size) {
            return fail(ErrorKind::Value, "from_indices : {} indices de lignes pour {} indices de colonnes", ri.size,
                        ci.size);
        }
        const SignalCheck signals;
        TRY(BitMatrix m, boolmat::bitmatrix_from_indices(rows, cols, ri, ci, signals.interrupt()));
        return wrap(std::move(m));
    });
}

}  // namespace

std::span<const PyMethodDef> bitmatrix_sparse_methods() {
    // Built on first use, never by a static initialiser (see bitmatrix_class.cpp).
    static const PyMethodDef table[] = {
        {"nonzero", bitmatrix_nonzero, METH_NOARGS, "nonzero($self)\n--\n\n"},
        {"from_indices", as_cfunction(bitmatrix_from_indices), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
         "from_indices(rows, cols, row_indices, col_indices)\n--\n\n"},
    };
    return table;
}

}  // namespace bmf_py
