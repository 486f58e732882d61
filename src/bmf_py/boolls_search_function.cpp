// The module function boolls_search: Boolean least squares for every column
// of x at any rank, by the search's pruned step instead of BoolLs' table. It
// runs without the interpreter lock while w, x and a BitMatrix mask stay
// borrowed shared.
#include <Python.h>

#include "bmf_core/search_solve.hpp"
#include "bmf_py/frame.hpp"
#include "bmf_py/gil.hpp"
#include "bmf_py/mask_arg.hpp"
#include "bmf_py/module_function.hpp"
#include "bmf_py/py_bitmatrix.hpp"
#include "bmf_py/py_searchresult.hpp"

namespace bmf_py {

namespace {

constexpr char kBoollsSearchDoc[] =
    "boolls_search(w, x, mask=None)\n--\n\n"
    "Boolean least squares for every column of x (m x n) against w (m x r), at any rank.\n"
    "\n"
    "Each column j of x gets the subset of w's columns whose OR is nearest to it in\n"
    "Hamming distance (over its observed cells): column j of h. Where BoolLs builds a\n"
    "table of 2^r entries, and so stops at r = 26, this searches the subsets depth\n"
    "first, leaving out the columns of w that cannot help and bounding the rest, so\n"
    "its memory grows with r, not 2^r. An answer is a best one unless its search\n"
    "meets a budget of 65536 nodes; such columns are counted, and their answer is the\n"
    "best the search found.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "w : BitMatrix\n"
    "    The m x r matrix whose columns are combined; r is at most 65536.\n"
    "x : BitMatrix\n"
    "    The m x n targets, one per column.\n"
    "mask : BitMatrix or 2-D bool array of x's shape, optional\n"
    "    The observed cells: only they count, and the values of x elsewhere are\n"
    "    never read. None: every cell is observed.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "tuple\n"
    "    ``(h, error, inexact)``: h (r x n), the number of observed cells where x\n"
    "    and ``w @ h`` differ, and the number of columns whose search met its\n"
    "    budget (0: every answer is a best one).\n"
    "\n"
    "Raises\n"
    "------\n"
    "ValueError\n"
    "    If x's rows are not w's, or the mask's shape is not x's.\n"
    "TypeError\n"
    "    If an argument has the wrong type.\n"
    "\n"
    "The interpreter lock is released while it runs; Ctrl-C stops it.";

PyObject* boolls_search(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr Signature sig{"boolls_search()", {"w", "x", "mask"}, 3, 2};
    return run(sig, args, kwargs, [&](Args& a) -> Result<PyObject*> {
        TRY(auto w, a.instance<BitMatrix>(0));
        TRY(auto x, a.instance<BitMatrix>(1));
        std::optional<MaskMatrix> mask;
        if (a.given(2) && a.raw(2) != Py_None) {
            TRY(MaskMatrix m, a.named(2, MaskMatrix::convert(a.raw(2))));
            mask.emplace(std::move(m));
        }
        if (x->rows() != w->rows()) return fail(ErrorKind::Value, "X a {} lignes, W en a {}", x->rows(), w->rows());
        if (w->cols() > bmf_core::kMaxStepRank) {
            return fail(ErrorKind::Value, "W a {} colonnes : au plus {}", w->cols(), bmf_core::kMaxStepRank);
        }
        const BitMatrix* observed = nullptr;
        if (mask) {
            TRY(observed, mask->bits_for(x->rows(), x->cols()));
        }
        TRY(bmf_core::SearchSolve solved, without_gil_interruptible([&](const boolmat::Interrupt& stop) {
                return bmf_core::solve_all_search(*w, *x, observed, stop);
            }));
        TRY(PyObject* h, wrap(std::move(solved.h)));
        PyRef h_ref(h);
        TRY(PyObject* error, from_u64(solved.error));
        PyRef error_ref(error);
        TRY(PyObject* inexact, from_u64(solved.inexact));
        PyRef inexact_ref(inexact);
        PyObject* t = PyTuple_New(3);
        if (t == nullptr) return pending();
        PyTuple_SetItem(t, 0, h_ref.release());
        PyTuple_SetItem(t, 1, error_ref.release());
        PyTuple_SetItem(t, 2, inexact_ref.release());
        return t;
    });
}

}  // namespace

Result<PyObject*> make_boolls_search_function() {
    static PyMethodDef def = {"boolls_search", as_cfunction(boolls_search), METH_VARARGS | METH_KEYWORDS,
                              kBoollsSearchDoc};
    return module_function(&def);
}

}  // namespace bmf_py
