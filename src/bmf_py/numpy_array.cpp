#include "bmf_py/numpy_array.hpp"

#include <array>
#include <string>

#include "bmf_py/convert.hpp"
#include "bmf_py/instance.hpp"
#include "bmf_py/numpy_api.hpp"
#include "bmf_py/pyref.hpp"

namespace bmf_py {

namespace {

// The array behind o, or null when o is not an ndarray.
Result<const numpy::ArrayFields*> ndarray(PyObject* o) {
    TRY(const numpy::Api np, numpy::api());
    if (!PyObject_TypeCheck(o, np.array_type())) return nullptr;
    return reinterpret_cast<const numpy::ArrayFields*>(o);
}

Result<bool> has_type(const numpy::ArrayFields* a, int type_num) {
    TRY(const numpy::Api np, numpy::api());
    PyRef descr(np.descr_from_type(type_num));
    if (!descr) return pending();
    return np.equiv_types(a->descr, descr.get());
}

ByteArrayView view_of(const numpy::ArrayFields* a) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(a->data);
    if (a->nd == 1) {
        return {data, 1, static_cast<std::uint64_t>(a->dimensions[0]), 0, static_cast<std::int64_t>(a->strides[0])};
    }
    return {data, static_cast<std::uint64_t>(a->dimensions[0]), static_cast<std::uint64_t>(a->dimensions[1]),
            static_cast<std::int64_t>(a->strides[0]), static_cast<std::int64_t>(a->strides[1])};
}

Result<std::string> dtype_text(const numpy::ArrayFields* a) {
    PyRef text(PyObject_Str(a->descr));
    if (!text) return pending();
    return to_text(text.get());
}

// Integer types whose numbers NumPy has kept since 1.x: byte, ubyte, short,
// ushort, int, uint, long, ulong, longlong, ulonglong.
struct IntegerType {
    int type_num;
    std::size_t size;
    bool is_signed;
};
constexpr std::array<IntegerType, 10> kIntegerTypes = {{
    {1, 1, true}, {2, 1, false}, {3, 2, true}, {4, 2, false}, {5, sizeof(int), true}, {6, sizeof(int), false},
    {7, sizeof(long), true}, {8, sizeof(long), false}, {9, sizeof(long long), true}, {10, sizeof(long long), false},
}};

boolmat::IndexType index_type(const IntegerType& t) {
    using boolmat::IndexType;
    switch (t.size) {
        case 1: return t.is_signed ? IndexType::I8 : IndexType::U8;
        case 2: return t.is_signed ? IndexType::I16 : IndexType::U16;
        case 4: return t.is_signed ? IndexType::I32 : IndexType::U32;
        default: return t.is_signed ? IndexType::I64 : IndexType::U64;
    }
}

}  // namespace

Result<ByteArrayView> as_bool_array(PyObject* o, int ndim) {
    if (ndim != 1 && ndim != 2) return boolmat::panic("as_bool_array : {} dimensions demandees", ndim);
    TRY(const numpy::ArrayFields* a, ndarray(o));
    if (a == nullptr || a->nd != ndim) return std::unexpected(cannot_convert(o, "PyArray<T, D>"));
    TRY(const bool is_bool, has_type(a, numpy::kBoolType));
    if (!is_bool) return std::unexpected(cannot_convert(o, "PyArray<T, D>"));
    return view_of(a);
}

Result<ByteArrayView> as_uint8_matrix(PyObject* o, const char* what) {
    TRY(const numpy::ArrayFields* a, ndarray(o));
    if (a == nullptr) {
        return fail(ErrorKind::Type, "{} doit etre un tableau NumPy uint8 a 2 dimensions, pas un objet '{}'", what,
                    type_qualname(o));
    }
    if (a->nd != 2) return fail(ErrorKind::Value, "{} doit avoir 2 dimensions, il en a {}", what, a->nd);
    TRY(const bool is_uint8, has_type(a, numpy::kUInt8Type));
    if (!is_uint8) {
        TRY(const std::string dtype, dtype_text(a));
        return fail(ErrorKind::Type, "{} doit etre de type uint8, pas {}", what, dtype);
    }
    return view_of(a);
}

Result<std::optional<BufferBytes>> as_buffer_bytes(PyObject* o) {
    TRY(const numpy::Api np, numpy::api());
    PyRef numpy_module(PyImport_ImportModule("numpy"));
    if (!numpy_module) return pending();
    PyRef dtype(np.descr_from_type(numpy::kUInt8Type));
    if (!dtype) return pending();
    PyRef array(PyObject_CallMethod(numpy_module.get(), "frombuffer", "OO", o, dtype.get()));
    if (!array) {
        // What frombuffer says of an object without a usable buffer.
        if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError) ||
            PyErr_ExceptionMatches(PyExc_BufferError)) {
            PyErr_Clear();
            return std::nullopt;
        }
        return pending();
    }
    TRY(const numpy::ArrayFields* a, ndarray(array.get()));
    if (a == nullptr || a->nd != 1) return boolmat::panic("numpy.frombuffer n'a pas rendu un tableau a 1 dimension");
    const auto* data = reinterpret_cast<const std::uint8_t*>(a->data);
    const auto size = static_cast<std::uint64_t>(a->dimensions[0]);
    return BufferBytes{std::move(array), data, size};
}

Result<std::optional<boolmat::IndexVector>> as_index_vector(PyObject* o, const char* what) {
    TRY(const numpy::ArrayFields* a, ndarray(o));
    if (a == nullptr) return std::nullopt;
    if (a->nd != 1) return fail(ErrorKind::Value, "{} doit avoir 1 dimension, il en a {}", what, a->nd);
    for (const IntegerType& t : kIntegerTypes) {
        TRY(const bool match, has_type(a, t.type_num));
        if (match) {
            return boolmat::IndexVector{a->data, static_cast<std::uint64_t>(a->dimensions[0]),
                                        static_cast<std::int64_t>(a->strides[0]), index_type(t)};
        }
    }
    return std::nullopt;
}

}  // namespace bmf_py
