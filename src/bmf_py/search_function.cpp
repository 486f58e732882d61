// The module function factorize. The search runs without the interpreter
// lock while x and a BitMatrix mask stay borrowed shared; the calling thread
// takes the lock back to report progress to the caller's function and, on
// the main thread, to run signal handlers. Either one raising stops the
// search, and nothing of it is returned.
#include <Python.h>

#include "bmf_py/doc_defaults.hpp"
#include "bmf_py/frame.hpp"
#include "bmf_py/mask_arg.hpp"
#include "bmf_py/module_function.hpp"
#include "bmf_py/py_boolls.hpp"
#include "bmf_py/py_searchresult.hpp"

namespace bmf_py {

namespace {

constexpr char kFactorizeDoc[] =
    "factorize(x, r, mask=None, seed=0, effort=32, threads=0, progress=None)\n--\n\n"
    "Search for a good factorisation of x (m x n) as the Boolean product of w (m x r) and h (r x n).\n"
    "\n"
    "Where ao_bmf polishes one start to its first local optimum, the search builds\n"
    "strong starts (greedy concept covers, association candidates, ao_bmf's own\n"
    "columns and random ones), polishes each by alternation, then perturbs the\n"
    "results and polishes them again while that lowers the error, in rounds that\n"
    "give the better half of the chains twice the work of the round before. Each\n"
    "step solves every row or column exactly unless its search meets a node budget\n"
    "(counted in the account), and never raises the error. The result\n"
    "depends on the arguments only: the same for any number of threads, and the\n"
    "same on every call with the same seed and effort.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "x : BitMatrix\n"
    "    The matrix to factorise. It cannot be modified while the search runs.\n"
    "r : int\n"
    "    The rank, 1 to 1024.\n"
    "mask : BitMatrix or 2-D bool array of x's shape, optional\n"
    "    The observed cells: only they count, in every step and in the error, and\n"
    "    the values of x elsewhere are never read. None: every cell is observed.\n"
    "seed : int, default 0\n"
    "    Where the random choices of the search come from.\n"
    "effort : int, default 32\n"
    "    The number of chains, each one start and its perturbations, at least 1.\n"
    "    It counts work, not time: the time grows in proportion.\n"
    "threads : int, default 0\n"
    "    The threads that run the chains; 0: one per processor. The result does\n"
    "    not depend on it.\n"
    "progress : callable, optional\n"
    "    Called as ``progress(done, total, best_error)`` as chains finish, the\n"
    "    last time with ``done == total``, on the calling thread with the\n"
    "    interpreter lock held: ``done`` of ``total`` chains will not run again\n"
    "    and ``best_error`` is the lowest error so far. If it raises, the search\n"
    "    stops and its exception propagates.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "SearchResult\n"
    "    ``w``, ``h`` and ``error``, the number of observed cells where x and\n"
    "    ``w @ h`` differ, with an account of the search: ``starts``,\n"
    "    ``best_start``, ``iterations``, ``moves``, ``moves_kept``,\n"
    "    ``exact_solves`` and ``inexact_solves``.\n"
    "\n"
    "Raises\n"
    "------\n"
    "ValueError\n"
    "    If r is not 1 to 1024, effort is not 1 to 2^32, or the mask's shape is not\n"
    "    x's.\n"
    "TypeError\n"
    "    If an argument has the wrong type.\n"
    "\n"
    "The interpreter lock is released while the search runs; Ctrl-C stops it.";

constexpr bmf_core::SearchOptions kDefaults{};
// The search keeps a slot per chain from the start, and 2^32 chains of a
// millisecond each would run for weeks: a larger effort is a mistake, and
// one near 2^64 could not even be counted in memory.
constexpr std::uint64_t kMaxEffort = std::uint64_t{1} << 32;
static_assert(shows_number(kFactorizeDoc, "seed=", kDefaults.seed) &&
              shows_number(kFactorizeDoc, "effort=", kDefaults.effort) &&
              shows_number(kFactorizeDoc, "threads=", kDefaults.threads));

// Hands each report to the caller's function, with the lock held; a
// function that raised stops the search.
struct Reporter {
    InterruptibleRelease* released;
    PyObject* callable;
    std::uint64_t done = 0;  // as last reported

    static bool report(void* self, const bmf_core::SearchReport& r) noexcept {
        auto* me = static_cast<Reporter*>(self);
        me->done = r.done;
        me->released->with_lock([&] {
            PyObject* out = PyObject_CallFunction(me->callable, "KKK", static_cast<unsigned long long>(r.done),
                                                  static_cast<unsigned long long>(r.total),
                                                  static_cast<unsigned long long>(r.best_error));
            Py_XDECREF(out);
            return out != nullptr;
        });
        return me->released->raised();
    }
};

Result<bmf_core::SearchResult> search(const BitMatrix& x, const BitMatrix* observed,
                                      const bmf_core::SearchOptions& options, PyObject* progress) {
    InterruptibleRelease released(progress != nullptr);
    Reporter reporter{&released, progress};
    const bmf_core::SearchProgress reports =
        progress != nullptr ? bmf_core::SearchProgress{Reporter::report, &reporter} : bmf_core::SearchProgress{};
    Result<bmf_core::SearchResult> found = bmf_core::factorize(x, observed, options, released.interrupt(), reports);
    // The caller is promised a last report with every chain done, which the
    // search may end without when the last chains end while it reports.
    if (found && progress != nullptr && reporter.done < options.effort) {
        Reporter::report(&reporter, {options.effort, options.effort, found->error});
    }
    // A report after the last chain may have raised: the search ended, but
    // the exception is the call's outcome.
    if (released.raised()) return boolmat::stopped();
    return found;
}

PyObject* factorize(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr Signature sig{
        "factorize()", {"x", "r", "mask", "seed", "effort", "threads", "progress"}, 7, 2};
    return run(sig, args, kwargs, [&](Args& a) -> Result<PyObject*> {
        TRY(auto x, a.instance<BitMatrix>(0));
        TRY(const std::uint64_t r, a.u64(1));
        std::optional<MaskMatrix> mask;
        if (a.given(2) && a.raw(2) != Py_None) {
            TRY(MaskMatrix m, a.named(2, MaskMatrix::convert(a.raw(2))));
            mask.emplace(std::move(m));
        }
        bmf_core::SearchOptions options{.r = r};
        TRY(options.seed, a.u64_or(3, kDefaults.seed));
        TRY(options.effort, a.u64_or(4, kDefaults.effort));
        TRY(options.threads, a.u64_or(5, kDefaults.threads));
        PyObject* progress = a.given(6) && a.raw(6) != Py_None ? a.raw(6) : nullptr;
        if (progress != nullptr && !PyCallable_Check(progress)) {
            return std::unexpected(name_argument("progress", cannot_convert(progress, "Callable")));
        }
        if (r == 0) return fail(ErrorKind::Value, "r doit valoir au moins 1");
        if (r > bmf_core::kMaxSearchRank) {
            return fail(ErrorKind::Value, "rang {} trop grand : au plus {} composantes", r, bmf_core::kMaxSearchRank);
        }
        if (options.effort == 0) return fail(ErrorKind::Value, "effort doit valoir au moins 1");
        if (options.effort > kMaxEffort) {
            return fail(ErrorKind::Value, "effort {} trop grand : au plus 2^32 chaines", options.effort);
        }
        const BitMatrix* observed = nullptr;
        if (mask) {
            TRY(observed, mask->bits_for(x->rows(), x->cols()));
        }
        TRY(bmf_core::SearchResult found, search(*x, observed, options, progress));
        return wrap(std::move(found));
    });
}

}  // namespace

Result<PyObject*> make_factorize_function() {
    static PyMethodDef def = {"factorize", as_cfunction(factorize), METH_VARARGS | METH_KEYWORDS, kFactorizeDoc};
    return module_function(&def);
}

}  // namespace bmf_py
