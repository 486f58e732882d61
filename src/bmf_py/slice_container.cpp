#include "bmf_py/slice_container.hpp"

#include <new>
#include <utility>

#include "bmf_py/numpy_api.hpp"
#include "bmf_py/pyref.hpp"
#include "bmf_py/state.hpp"

namespace bmf_py {

namespace {

struct SliceContainer {
    PyObject_HEAD
    boolmat::Buffer<std::uint8_t> bytes;
};

void slice_container_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<SliceContainer*>(self)->bytes.~Buffer();
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

// The class is made at the first array handed out, not at import, and lives
// for the process. It belongs to no module: like the interpreter's own types
// it reports "builtins", which a dotted name gives without the deprecation
// warning that a bare name draws. Python cannot instantiate it.
Result<PyTypeObject*> slice_container_type() {
    ModuleState& s = state();
    if (s.slice_container_type == nullptr) {
        static PyType_Slot slots[] = {
            {Py_tp_dealloc, reinterpret_cast<void*>(slice_container_dealloc)},
            {0, nullptr},
        };
        static PyType_Spec spec = {"builtins.PySliceContainer", static_cast<int>(sizeof(SliceContainer)), 0,
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
        PyObject* type = PyType_FromSpec(&spec);
        if (type == nullptr) return pending();
        s.slice_container_type = reinterpret_cast<PyTypeObject*>(type);
    }
    return s.slice_container_type;
}

Result<PyRef> make_holder(boolmat::Buffer<std::uint8_t> bytes) {
    TRY(PyTypeObject* type, slice_container_type());
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* obj = alloc(type, 0);
    if (obj == nullptr) return pending();
    new (&reinterpret_cast<SliceContainer*>(obj)->bytes) boolmat::Buffer<std::uint8_t>(std::move(bytes));
    return PyRef(obj);
}

void release_python_owner(void* owner) noexcept {
    const PyGILState_STATE gil = PyGILState_Ensure();
    Py_DECREF(static_cast<PyObject*>(owner));
    PyGILState_Release(gil);
}

}  // namespace

boolmat::Lender python_lender(PyObject* owner) noexcept {
    Py_INCREF(owner);
    return {release_python_owner, owner};
}

PyObject* python_owner(const boolmat::Lender& lender) noexcept {
    return lender.release == release_python_owner ? static_cast<PyObject*>(lender.owner) : nullptr;
}

Result<PyRef> hand_words_to_holder(boolmat::BitMatrix& m) {
    if (m.words_borrowed()) return boolmat::panic("les mots de la matrice sont deja pretes");
    TRY(PyRef holder, make_holder({}));
    boolmat::Buffer<boolmat::Word> block = m.lend_words(python_lender(holder.get()));
    reinterpret_cast<SliceContainer*>(holder.get())->bytes = std::move(block).into_bytes();
    return holder;
}

Result<PyObject*> array_over(boolmat::Buffer<std::uint8_t> bytes, const ArrayLayout& layout) {
    TRY(const numpy::Api np, numpy::api());
    Py_ssize_t dims[2] = {};
    Py_ssize_t strides[2] = {};
    std::uint64_t step = layout.item_size;
    for (int d = layout.nd - 1; d >= 0; --d) {
        if (layout.dims[d] > static_cast<std::uint64_t>(PY_SSIZE_T_MAX) ||
            step > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
            return boolmat::panic("capacity overflow");
        }
        dims[d] = static_cast<Py_ssize_t>(layout.dims[d]);
        strides[d] = static_cast<Py_ssize_t>(step);
        step *= layout.dims[d];
    }
    void* data = bytes.data();
    TRY(PyRef holder, make_holder(std::move(bytes)));
    PyObject* descr = np.descr_from_type(layout.type_num);
    if (descr == nullptr) return pending();
    PyRef array(np.new_from_descr(np.array_type(), descr, layout.nd, dims, strides, data, numpy::kArrayWriteable,
                                  nullptr));
    if (!array) return pending();
    if (np.set_base_object(array.get(), holder.release()) < 0) return pending();
    return array.release();
}

Result<PyObject*> read_only_array_over(const void* data, std::uint64_t size, PyObject* owner) {
    TRY(const numpy::Api np, numpy::api());
    if (size > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) return boolmat::panic("capacity overflow");
    const Py_ssize_t dims[1] = {static_cast<Py_ssize_t>(size)};
    const Py_ssize_t strides[1] = {1};
    PyObject* descr = np.descr_from_type(numpy::kUInt8Type);
    if (descr == nullptr) return pending();
    // Flags 0: not writeable. NumPy never writes through the pointer then.
    PyRef array(np.new_from_descr(np.array_type(), descr, 1, dims, strides, const_cast<void*>(data), 0, nullptr));
    if (!array) return pending();
    Py_INCREF(owner);
    if (np.set_base_object(array.get(), owner) < 0) return pending();
    return array.release();
}

Result<PyObject*> bool_array_over(boolmat::Buffer<std::uint8_t> bytes, std::uint64_t rows, std::uint64_t cols) {
    return array_over(std::move(bytes), ArrayLayout::matrix(numpy::kBoolType, 1, rows, cols));
}

}  // namespace bmf_py
