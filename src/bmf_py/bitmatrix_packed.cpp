// BitMatrix in its packed byte form: to_packed / from_packed, and pickling,
// which carries the same bytes.
#include <Python.h>

#include <bit>

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

// The packed bytes as a new bytes object.
Result<PyObject*> packed_bytes_of(const BitMatrix& m) {
    const std::uint64_t size = m.rows() * packed_width(m.cols());
    if (size > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) return boolmat::out_of_memory();
    PyRef bytes(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!bytes) return pending();
    const SignalCheck signals;
    TRY_VOID(boolmat::bitmatrix_to_packed(m, reinterpret_cast<std::uint8_t*>(PyBytes_AsString(bytes.get())),
                                          signals.interrupt()));
    return bytes.release();
}

// Where the words are the packed bytes themselves: little-endian words, and
// rows whose packed width fills their last word (cols a multiple of 64, or
// at most 7 short of one).
bool words_are_packed(const BitMatrix& m) {
    return std::endian::native == std::endian::little &&
           packed_width(m.cols()) == m.stride() * sizeof(boolmat::Word);
}

Result<PyObject*> pickle_buffer_of(PyObject* exporter) {
    // Reached through the pickle module: PickleBuffer has no C entry in the
    // stable ABI.
    PyRef pickle(PyImport_ImportModule("pickle"));
    if (!pickle) return pending();
    PyRef type(PyObject_GetAttrString(pickle.get(), "PickleBuffer"));
    if (!type) return pending();
    PyObject* buffer = PyObject_CallFunctionObjArgs(type.get(), exporter, nullptr);
    if (buffer == nullptr) return pending();
    return buffer;
}

// What a pickle carries as the packed bytes. Up to protocol 4, a bytes
// object made for it, which the pickler copies once more. From protocol 5, a
// read-only PickleBuffer: over the words where they are the packed bytes, so
// that the pickler writes them once in band and a buffer_callback receives
// them without any copy; else over the packed bytes, made once. The words
// are exported through a NumPy array, the one exporter of a buffer over
// foreign memory that the stable ABI of 3.10 offers; without NumPy the bytes
// are made instead. The array's base owns the words: a holder they are moved
// into at the first export, or whatever the matrix borrows them from. Either
// way a later write to the matrix copies its words first, so an export (and
// a matrix loaded over it) keeps the bits it was made with.
Result<PyObject*> pickled_data(const Shared<BitMatrix>& me, std::int64_t protocol) {
    if (protocol < 5) return packed_bytes_of(*me);
    PyObject* made = nullptr;
    if (words_are_packed(*me) && numpy::api()) {
        PyRef owner;
        if (me->words_borrowed()) {
            PyObject* lender = python_owner(me->words_lender());
            if (lender == nullptr) return boolmat::panic("mots pretes par un proprietaire inconnu");
            owner = PyRef::borrowed(lender);
        } else {
            // Moving the block leaves the bits and their address as they
            // are, so the shared borrow's other readers are unaffected.
            TRY(owner, hand_words_to_holder(as_instance<BitMatrix>(me.object())->value));
        }
        const std::span<const boolmat::Word> words = me->words();
        TRY(made, read_only_array_over(words.data(), words.size_bytes(), owner.get()));
    } else {
        TRY(made, packed_bytes_of(*me));
    }
    const PyRef exporter(made);
    return pickle_buffer_of(exporter.get());
}

// A pickle is (rebuild, (rows, cols, data)).
Result<PyObject*> reduce(PyObject* self, std::int64_t protocol) {
    TRY(auto me, borrow_shared<BitMatrix>(self));
    TRY(PyObject* made, pickled_data(me, protocol));
    const PyRef data(made);
    PyObject* out = Py_BuildValue("(O(KKO))", state().rebuild_bitmatrix, static_cast<unsigned long long>(me->rows()),
                                  static_cast<unsigned long long>(me->cols()), data.get());
    if (out == nullptr) return pending();
    return out;
}

PyObject* bitmatrix_reduce(PyObject* self, PyObject*) {
    return run([&] { return reduce(self, 4); });
}

PyObject* bitmatrix_reduce_ex(PyObject* self, PyObject* protocol_arg) {
    return run([&]() -> Result<PyObject*> {
        auto protocol = to_i64(protocol_arg);
        if (!protocol) return std::unexpected(name_argument("protocol", std::move(protocol).error()));
        return reduce(self, *protocol);
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

// The packed bytes of a pickle: a bytes object (up to protocol 4, and in
// band with protocol 5) or, out of band, whatever buffer the loader was
// handed. Read in place.
Result<BufferBytes> pickled_bytes(PyObject* data) {
    if (PyBytes_Check(data)) {
        return BufferBytes{PyRef::borrowed(data), reinterpret_cast<const std::uint8_t*>(PyBytes_AsString(data)),
                           static_cast<std::uint64_t>(PyBytes_Size(data))};
    }
    TRY(std::optional<BufferBytes> view, as_buffer_bytes(data));
    if (!view) {
        return fail(ErrorKind::Value, "pickle de BitMatrix invalide : donnees '{}' au lieu d'octets contigus",
                    type_qualname(data));
    }
    return std::move(*view);
}

// Where the packed bytes can be the matrix's words as they are: whole words
// per row, no tail bits (which a later write by the bytes' owner could set),
// and a word-aligned start. The matrix then borrows them from their holder
// instead of copying them; its first write copies them.
bool bytes_are_words(const BufferBytes& data, std::uint64_t cols) {
    return std::endian::native == std::endian::little && cols % boolmat::kWordBits == 0 &&
           reinterpret_cast<std::uintptr_t>(data.data) % alignof(boolmat::Word) == 0;
}

PyObject* rebuild_bitmatrix(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr Signature sig{"_rebuild_bitmatrix()", {"rows", "cols", "data"}, 3, 3};
    return run(sig, args, kwargs, [&](Args& a) -> Result<PyObject*> {
        TRY(const std::uint64_t rows, pickled_dimension(a.raw(0)));
        TRY(const std::uint64_t cols, pickled_dimension(a.raw(1)));
        TRY(const BufferBytes data, pickled_bytes(a.raw(2)));
        const std::optional<std::uint64_t> expected = packed_size(rows, cols);
        if (!expected) {
            return fail(ErrorKind::Value, "pickle de BitMatrix invalide : dimensions {}x{} impossibles", rows, cols);
        }
        if (data.size != *expected) {
            return fail(ErrorKind::Value,
                        "pickle de BitMatrix invalide : {} octets pour une matrice {}x{}, {} attendus", data.size,
                        rows, cols, *expected);
        }
        if (bytes_are_words(data, cols)) {
            auto words = boolmat::Buffer<boolmat::Word>::borrow(reinterpret_cast<const boolmat::Word*>(data.data),
                                                                 data.size / sizeof(boolmat::Word),
                                                                 python_lender(data.holder.get()));
            TRY(BitMatrix m, BitMatrix::over_words(std::move(words), rows, cols));
            return wrap(std::move(m));
        }
        const std::uint64_t width = packed_width(cols);
        const SignalCheck signals;
        TRY(BitMatrix m, boolmat::bitmatrix_from_packed({data.data, rows, width, static_cast<std::int64_t>(width), 1},
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
        {"__reduce_ex__", bitmatrix_reduce_ex, METH_O, "__reduce_ex__($self, protocol, /)\n--\n\n"},
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
