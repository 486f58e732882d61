// _start_columns(nonzero, r, seed): the columns ao_bmf starts W from.
// _judge_iteration(total, best_error, iteration, max_iter): whether the
// iteration is kept and whether the alternation goes on.
#include "bmf_py/alternation.hpp"

#include <vector>

#include "bmf_core/ao_bmf.hpp"
#include "bmf_py/frame.hpp"
#include "bmf_py/module_function.hpp"
#include "bmf_py/pyref.hpp"

namespace bmf_py {

namespace {

// The non-zero columns of X in increasing order, as the core lists them
// before the shuffle; any other order would give another start than
// ao_bmf's for the same matrix.
Result<std::vector<std::uint64_t>> increasing_columns(PyObject* o) {
    if (PyUnicode_Check(o) || !PySequence_Check(o)) return std::unexpected(cannot_convert(o, "Sequence"));
    std::vector<std::uint64_t> out;
    out.reserve(size_hint(o));
    PyRef it(PyObject_GetIter(o));
    if (!it) return pending();
    while (PyObject* raw = PyIter_Next(it.get())) {
        PyRef item(raw);
        TRY(const std::uint64_t v, to_u64(item.get()));
        if (!out.empty() && v <= out.back()) {
            return fail(ErrorKind::Value, "nonzero doit etre strictement croissant : {} apres {}", v, out.back());
        }
        out.push_back(v);
    }
    if (PyErr_Occurred()) return pending();
    return out;
}

PyObject* start_columns(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr Signature sig{"_start_columns()", {"nonzero", "r", "seed"}, 3, 3};
    return run(sig, args, kwargs, [&](Args& a) -> Result<PyObject*> {
        TRY(std::vector<std::uint64_t> columns, a.named(0, increasing_columns(a.raw(0))));
        TRY(const std::uint64_t r, a.u64(1));
        TRY(const std::uint64_t seed, a.u64(2));
        const std::uint64_t take = bmf_core::shuffle_start_columns(columns, r, seed);
        PyRef out(PyList_New(static_cast<Py_ssize_t>(take)));
        if (!out) return pending();
        for (std::uint64_t k = 0; k < take; ++k) {
            TRY(PyObject* column, from_u64(columns[k]));
            PyList_SetItem(out.get(), static_cast<Py_ssize_t>(k), column);  // steals column
        }
        return out.release();
    });
}

PyObject* judge_iteration(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr Signature sig{"_judge_iteration()", {"total", "best_error", "iteration", "max_iter"}, 4, 4};
    return run(sig, args, kwargs, [&](Args& a) -> Result<PyObject*> {
        TRY(const std::uint64_t total, a.u64(0));
        TRY(const std::uint64_t best_error, a.u64(1));
        TRY(const std::uint64_t iteration, a.u64(2));
        TRY(const std::uint64_t max_iter, a.u64(3));
        if (iteration == 0) return fail(ErrorKind::Value, "iteration doit valoir au moins 1");
        if (max_iter == 0) return fail(ErrorKind::Value, "max_iter doit valoir au moins 1");
        const bmf_core::IterationVerdict verdict = bmf_core::judge_iteration(total, best_error, iteration, max_iter);
        PyObject* out = PyTuple_Pack(2, verdict.improved ? Py_True : Py_False, verdict.go_on ? Py_True : Py_False);
        if (out == nullptr) return pending();
        return out;
    });
}

}  // namespace

Result<PyObject*> make_start_columns_function() {
    static PyMethodDef def = {"_start_columns", as_cfunction(start_columns), METH_VARARGS | METH_KEYWORDS,
                              "_start_columns(nonzero, r, seed)\n--\n\n"};
    return module_function(&def);
}

Result<PyObject*> make_judge_iteration_function() {
    static PyMethodDef def = {"_judge_iteration", as_cfunction(judge_iteration), METH_VARARGS | METH_KEYWORDS,
                              "_judge_iteration(total, best_error, iteration, max_iter)\n--\n\n"};
    return module_function(&def);
}

}  // namespace bmf_py
