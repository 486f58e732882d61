#include "bmf_py/numpy_array.hpp"

#include "bmf_py/instance.hpp"
#include "bmf_py/numpy_api.hpp"
#include "bmf_py/pyref.hpp"

namespace bmf_py {

Result<BoolArrayView> as_bool_array(PyObject* o, int ndim) {
    if (ndim != 1 && ndim != 2) return boolmat::panic("as_bool_array : {} dimensions demandées", ndim);
    TRY(const numpy::Api np, numpy::api());
    if (!PyObject_TypeCheck(o, np.array_type())) return std::unexpected(cannot_convert(o, "PyArray<T, D>"));
    const auto* a = reinterpret_cast<const numpy::ArrayFields*>(o);
    if (a->nd != ndim) return std::unexpected(cannot_convert(o, "PyArray<T, D>"));
    PyRef bool_descr(np.descr_from_type(numpy::kBoolType));
    if (!bool_descr) return pending();
    if (!np.equiv_types(a->descr, bool_descr.get())) return std::unexpected(cannot_convert(o, "PyArray<T, D>"));

    const auto* data = reinterpret_cast<const std::uint8_t*>(a->data);
    if (ndim == 1) {
        return BoolArrayView{data, 1, static_cast<std::uint64_t>(a->dimensions[0]), 0,
                             static_cast<std::int64_t>(a->strides[0])};
    }
    return BoolArrayView{data, static_cast<std::uint64_t>(a->dimensions[0]),
                         static_cast<std::uint64_t>(a->dimensions[1]), static_cast<std::int64_t>(a->strides[0]),
                         static_cast<std::int64_t>(a->strides[1])};
}

}  // namespace bmf_py
