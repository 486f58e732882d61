#include "bmf_py/numpy_api.hpp"

#include <cstdio>
#include <string>

#include "bmf_py/pyref.hpp"
#include "bmf_py/state.hpp"

namespace bmf_py::numpy {

namespace {

// Positions in the table.
constexpr int kSlotAbiVersion = 0;
constexpr int kSlotArrayType = 2;
constexpr int kSlotDescrFromType = 45;
constexpr int kSlotNewFromDescr = 94;
constexpr int kSlotEquivTypes = 182;
constexpr int kSlotSetBaseObject = 282;

template <class F>
F entry(void** t, int slot) noexcept {
    return reinterpret_cast<F>(t[slot]);
}

// "Type: message" of the pending Python error, which is cleared.
std::string take_error_text() {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyRef t(type), v(value), b(tb);
    std::string out;
    if (t) {
        PyRef name(PyObject_GetAttrString(t.get(), "__name__"));
        if (name && PyUnicode_Check(name.get())) {
            if (const char* s = PyUnicode_AsUTF8AndSize(name.get(), nullptr)) out = s;
        }
    }
    if (v) {
        PyRef text(PyObject_Str(v.get()));
        const char* s = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
        if (s != nullptr && *s != '\0') {
            out += out.empty() ? "" : ": ";
            out += s;
        }
    }
    PyErr_Clear();
    return out.empty() ? "erreur inconnue" : out;
}

std::unexpected<Failure> capsule_fault(const char* step) {
    return boolmat::panic("Failed to access NumPy array API capsule: {} ({})", step, take_error_text());
}

// numpy.lib.NumpyVersion(numpy.__version__).major
Result<long> numpy_major_version() {
    PyRef numpy(PyImport_ImportModule("numpy"));
    if (!numpy) return capsule_fault("import de numpy impossible");
    PyRef version(PyObject_GetAttrString(numpy.get(), "__version__"));
    if (!version) return capsule_fault("numpy.__version__ introuvable");
    PyRef lib(PyImport_ImportModule("numpy.lib"));
    if (!lib) return capsule_fault("import de numpy.lib impossible");
    PyRef parsed(PyObject_CallMethod(lib.get(), "NumpyVersion", "O", version.get()));
    if (!parsed) return capsule_fault("version de numpy illisible");
    PyRef major(PyObject_GetAttrString(parsed.get(), "major"));
    if (!major) return capsule_fault("version majeure de numpy introuvable");
    const long m = PyLong_AsLong(major.get());
    if (m == -1 && PyErr_Occurred()) return capsule_fault("version majeure de numpy illisible");
    return m;
}

Result<void**> fetch_table() {
    TRY(const long major, numpy_major_version());
    const char* module_name = major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
    PyRef module(PyImport_ImportModule(module_name));
    if (!module) return capsule_fault(major >= 2 ? "import de numpy._core.multiarray impossible"
                                                 : "import de numpy.core.multiarray impossible");
    PyRef capsule(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
    if (!capsule) return capsule_fault("_ARRAY_API introuvable");
    const char* name = PyCapsule_GetName(capsule.get());
    if (name == nullptr && PyErr_Occurred()) return capsule_fault("_ARRAY_API n'est pas une capsule");
    void* table = PyCapsule_GetPointer(capsule.get(), name);
    if (table == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "pointeur nul");
        return capsule_fault("capsule _ARRAY_API vide");
    }
    // The entry positions above hold for the 1.x and 2.x ABIs only.
    void** t = static_cast<void**>(table);
    const unsigned abi = entry<unsigned (*)()>(t, kSlotAbiVersion)();
    if (abi >> 24 != 1 && abi >> 24 != 2) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%08x", abi);
        return boolmat::panic("Failed to access NumPy array API capsule: version d'ABI {} non prise en charge",
                     std::string(hex));
    }
    return t;
}

}  // namespace

PyTypeObject* Api::array_type() const noexcept { return static_cast<PyTypeObject*>(t_[kSlotArrayType]); }

PyObject* Api::descr_from_type(int type_num) const noexcept {
    return entry<PyObject* (*)(int)>(t_, kSlotDescrFromType)(type_num);
}

bool Api::equiv_types(PyObject* descr_a, PyObject* descr_b) const noexcept {
    return entry<unsigned char (*)(PyObject*, PyObject*)>(t_, kSlotEquivTypes)(descr_a, descr_b) != 0;
}

PyObject* Api::new_from_descr(PyTypeObject* subtype, PyObject* descr, int nd, const Py_ssize_t* dims,
                              const Py_ssize_t* strides, void* data, int flags, PyObject* obj) const noexcept {
    using Fn = PyObject* (*)(PyTypeObject*, PyObject*, int, const Py_ssize_t*, const Py_ssize_t*, void*, int,
                             PyObject*);
    return entry<Fn>(t_, kSlotNewFromDescr)(subtype, descr, nd, dims, strides, data, flags, obj);
}

int Api::set_base_object(PyObject* array, PyObject* base) const noexcept {
    return entry<int (*)(PyObject*, PyObject*)>(t_, kSlotSetBaseObject)(array, base);
}

Result<Api> api() {
    ModuleState& s = state();
    if (s.numpy_api == nullptr) {
        TRY(void** t, fetch_table());
        s.numpy_api = t;
    }
    return Api(s.numpy_api);
}

}  // namespace bmf_py::numpy
