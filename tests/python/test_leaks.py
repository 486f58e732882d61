"""Every callable and slot, on its success path and on each kind of failure,
run 10^5 times: resident memory grows by less than 1 MiB, and the reference
counts of the arguments and of the module's long-lived objects (classes,
True/False/None, small integers, the method names, the exception types) are
the same afterwards."""

from __future__ import annotations

import copy
import gc
import pickle
import os
import resource
import sys

import numpy as np
import pytest

import Valdrix
from Valdrix import (
    BitMatrix, BmfResult, BoolLs, SearchResult, ao_bmf, ao_bmf_masked, boolls, boolls_masked, boolls_search, factorize,
    methods,
)

pytestmark = [pytest.mark.slow, pytest.mark.no_sanitizer]

N = int(os.environ.get("VALDRIX_LEAK_CALLS", "100000"))
WARMUP = 2_000
MAX_GROWTH = 1 << 20
PAGE = resource.getpagesize()


def resident_bytes() -> int:
    # Through os.read: the interpreter's file objects move None's reference
    # count themselves, which would blur the count checks.
    fd = os.open("/proc/self/statm", os.O_RDONLY)
    try:
        return int(os.read(fd, 256).split()[1]) * PAGE
    finally:
        os.close(fd)


class Panic:
    """Stands for PanicException, which the module does not export."""


def panic_type():
    try:
        BitMatrix.zeros(2**62, 256)
    except BaseException as exc:  # noqa: BLE001
        return type(exc)
    raise AssertionError("capacity overflow did not fail")


# ---------------------------------------------------------------- fixtures of the cases

m = BitMatrix.from_list([[1, 0, 1], [0, 1, 1]])
other = BitMatrix.from_list([[0, 1, 1], [1, 1, 0]])
tall = BitMatrix.zeros(3, 2)
arr = np.array([[True, False, True], [False, True, True]])
arr_u8 = arr.astype(np.uint8)
arr_empty = np.zeros((0, 3), dtype=bool)
rows_list = [[1, 0, 1], [0, 1, 1]]
w = BitMatrix.from_list([[1, 0, 0], [0, 1, 0], [1, 1, 0], [0, 0, 1], [1, 0, 1]])
w27 = BitMatrix.zeros(2, 27)
solver = BoolLs(w)
x1 = np.array([True, False, True, False, True])
x1_rev = x1[::-1]
x1_short = x1[:4]
X = BitMatrix.from_list([[1, 0, 1, 1], [0, 1, 0, 1], [1, 1, 0, 0], [0, 0, 1, 1], [1, 0, 0, 1]])
X4 = BitMatrix.zeros(4, 4)
F = BitMatrix.from_list([[1, 1, 0, 0, 1, 0], [0, 1, 1, 0, 0, 1], [1, 0, 1, 1, 0, 0], [0, 0, 1, 1, 1, 1]])
F_mask = ~BitMatrix.from_list([[1, 0, 0, 0, 0, 0], [0, 0, 0, 1, 0, 0], [0, 0, 0, 0, 0, 0], [0, 1, 0, 0, 0, 1]])
X_mask = X.to_numpy() | np.eye(5, 4, dtype=bool)
res = ao_bmf(F, 2)
found = factorize(F, 2, effort=1, threads=1)
reports = []


def report(done, total, best_error):
    reports.append(best_error)
    del reports[:]


def refuse_report(done, total, best_error):
    raise ValueError("arret")
scratch = BitMatrix.ones(2, 3)
packed = m.to_packed()
nz = m.nonzero()


class FailingRows:
    def __len__(self):
        return 2

    def __getitem__(self, i):
        if i == 0:
            return [1, 0]
        raise ValueError("lecture impossible")


failing_rows = FailingRows()


wide = BitMatrix.ones(2, 64)  # its words are its packed bytes: pickled as a view of them


def out_of_band_round_trip(x):
    buffers = []
    stream = pickle.dumps(x, protocol=5, buffer_callback=buffers.append)
    return pickle.loads(stream, buffers=buffers)


def written_after_pickling(x):
    """Both sides of an out-of-band round trip written: each copies the words
    it read in place, and lets go of their holder."""
    original = x.copy()
    back = out_of_band_round_trip(original)
    back[0, 0] = False
    original |= back
    return back, original


def inplace_and():
    t = scratch
    t &= m  # noqa: F841 - the slot's work is the point


def inplace_self():
    t = m
    t |= t  # refused in place: falls back to t | t and rebinds t


def setitem_ok():
    m[0, 1] = False


def setitem_bad():
    m[0, 0] = 1


def delitem():
    del m[0, 0]


def cmp_lt():
    return m < other


# (id, call, expected exception or None, objects whose counts must not move)
CASES = [
    ("new", lambda: BitMatrix(2, 3, True), None, []),
    ("new_zero_dim", lambda: BitMatrix(0, 3), ValueError, []),
    ("new_fill_int", lambda: BitMatrix(2, 2, fill=1), TypeError, []),
    ("zeros", lambda: BitMatrix.zeros(3, 70), None, []),
    ("zeros_float", lambda: BitMatrix.zeros(2.5, 3), TypeError, []),
    ("zeros_negative", lambda: BitMatrix.zeros(-1, 3), OverflowError, []),
    ("zeros_capacity", lambda: BitMatrix.zeros(2**62, 256), Panic, []),
    ("ones_no_memory", lambda: BitMatrix.ones(2**40, 64), MemoryError, []),
    ("zeros_too_many_args", lambda: BitMatrix.zeros(1, 2, 3), TypeError, []),
    ("zeros_duplicate_kw", lambda: BitMatrix.zeros(2, rows=2), TypeError, []),
    ("zeros_unknown_kw", lambda: BitMatrix.zeros(2, 2, size=3), TypeError, []),
    ("ao_bmf_missing", lambda: ao_bmf(), TypeError, []),
    ("from_list", lambda: BitMatrix.from_list(rows_list), None, [rows_list, *rows_list]),
    ("from_list_value", lambda: BitMatrix.from_list([[0, 2]]), ValueError, []),
    ("from_list_ragged", lambda: BitMatrix.from_list([[1, 0], [1]]), ValueError, []),
    ("from_list_str", lambda: BitMatrix.from_list("01"), TypeError, []),
    ("from_list_float", lambda: BitMatrix.from_list([[0.0, 1.0]]), TypeError, []),
    ("from_list_iteration", lambda: BitMatrix.from_list(failing_rows), ValueError, [failing_rows]),
    ("from_numpy", lambda: BitMatrix.from_numpy(arr), None, [arr]),
    ("from_numpy_transposed", lambda: BitMatrix.from_numpy(arr.T), None, [arr]),
    ("from_numpy_dtype", lambda: BitMatrix.from_numpy(arr_u8), TypeError, [arr_u8]),
    ("from_numpy_empty", lambda: BitMatrix.from_numpy(arr_empty), ValueError, [arr_empty]),
    ("to_list", lambda: m.to_list(), None, [m]),
    ("to_numpy", lambda: m.to_numpy(), None, [m]),
    ("copy", lambda: m.copy(), None, [m]),
    ("copy_module", lambda: (copy.copy(m), copy.deepcopy(m)), None, [m]),
    ("pickle", lambda: pickle.loads(pickle.dumps(m)), None, [m]),
    ("pickle5", lambda: pickle.loads(pickle.dumps(wide, protocol=5)), None, [wide]),
    ("pickle5_out_of_band", lambda: out_of_band_round_trip(wide), None, [wide]),
    ("pickle5_written", lambda: written_after_pickling(wide), None, [wide]),
    ("rebuild_short", lambda: Valdrix._rebuild_bitmatrix(2, 3, b"\x05"), ValueError, []),
    ("rebuild_buffer_short", lambda: Valdrix._rebuild_bitmatrix(2, 3, memoryview(b"\x05")), ValueError, []),
    ("sizeof", lambda: m.__sizeof__(), None, [m]),
    ("array", lambda: (np.asarray(m), np.asarray(m, dtype=np.uint8)), None, [m]),
    ("array_no_copy", lambda: np.asarray(m, copy=False), ValueError, [m]),
    ("to_packed", lambda: m.to_packed(), None, [m]),
    ("from_packed", lambda: BitMatrix.from_packed(packed, 3), None, [packed]),
    ("from_packed_width", lambda: BitMatrix.from_packed(packed, 9), ValueError, [packed]),
    ("nonzero", lambda: m.nonzero(), None, [m]),
    ("from_indices", lambda: BitMatrix.from_indices(2, 3, *nz), None, [*nz]),
    ("from_indices_list", lambda: BitMatrix.from_indices(2, 3, [0, 1], [2, 2]), None, []),
    ("from_indices_range", lambda: BitMatrix.from_indices(2, 3, [0, 2], [2, 2]), IndexError, []),
    ("shape", lambda: m.shape, None, [m]),
    ("count_ones", lambda: m.count_ones(), None, [m]),
    ("row_count_ones", lambda: m.row_count_ones(1), None, [m]),
    ("row_count_ones_index", lambda: m.row_count_ones(5), IndexError, [m]),
    ("hamming", lambda: m.hamming(other), None, [m, other]),
    ("hamming_shape", lambda: m.hamming(tall), ValueError, [m, tall]),
    ("hamming_type", lambda: m.hamming(5), TypeError, [m]),
    ("count_andnot", lambda: m.count_andnot(other), None, [m, other]),
    ("transpose", lambda: m.transpose(), None, [m]),
    ("getitem", lambda: m[1, 2], None, [m]),
    ("getitem_index", lambda: m[5, 0], IndexError, [m]),
    ("getitem_not_tuple", lambda: m[0], TypeError, [m]),
    ("getitem_length", lambda: m[0, 0, 0], ValueError, [m]),
    ("getitem_negative", lambda: m[-1, 0], OverflowError, [m]),
    ("setitem", setitem_ok, None, [m]),
    ("setitem_int", setitem_bad, TypeError, [m]),
    ("delitem", delitem, NotImplementedError, [m]),
    ("iterate", lambda: list(m), TypeError, [m]),
    ("len", lambda: len(m), None, [m]),
    ("repr", lambda: repr(m), None, [m]),
    ("str", lambda: str(m), None, [m]),
    ("hash", lambda: hash(m), None, [m]),
    ("eq", lambda: m == other, None, [m, other]),
    ("ne_other_type", lambda: m != 5, None, [m]),
    ("lt", cmp_lt, TypeError, [m, other]),
    ("and", lambda: m & other, None, [m, other]),
    ("or", lambda: m | other, None, [m, other]),
    ("xor", lambda: m ^ other, None, [m, other]),
    ("sub", lambda: m - other, None, [m, other]),
    ("invert", lambda: ~m, None, [m]),
    ("matmul", lambda: m @ tall, None, [m, tall]),
    ("and_shape", lambda: m & tall, ValueError, [m, tall]),
    ("and_int", lambda: m & 1, TypeError, [m]),
    ("matmul_shape", lambda: m @ other, ValueError, [m, other]),
    ("iand", inplace_and, None, [scratch, m]),
    ("ior_self_fallback", inplace_self, None, [m]),
    ("boolls_new", lambda: BoolLs(w), None, [w]),
    ("boolls_rank", lambda: BoolLs(w27), ValueError, [w27]),
    ("boolls_attrs", lambda: (solver.m, solver.r, repr(solver)), None, [solver]),
    ("solve", lambda: solver.solve(x1), None, [solver, x1]),
    ("solve_reversed", lambda: solver.solve(x1_rev, "naive", 3), None, [solver, x1_rev]),
    ("solve_greedy_ls", lambda: solver.solve(x1, method="greedy-ls", seed=7), None, [solver, x1]),
    ("solve_method", lambda: solver.solve(x1, "foo"), ValueError, [solver, x1]),
    ("solve_length", lambda: solver.solve(x1_short), ValueError, [solver, x1_short]),
    ("solve_list", lambda: solver.solve([True] * 5), TypeError, [solver]),
    ("solve_seed", lambda: solver.solve(x1, seed=-1), OverflowError, [solver, x1]),
    ("solve_all", lambda: solver.solve_all(X), None, [solver, X]),
    ("solve_all_rows", lambda: solver.solve_all(X4), ValueError, [solver, X4]),
    ("boolls", lambda: boolls(w, x1), None, [w, x1]),
    ("solve_masked", lambda: solver.solve_masked(x1, x1_rev, "greedy-ls", 2), None, [solver, x1, x1_rev]),
    ("solve_masked_length", lambda: solver.solve_masked(x1, x1_short), ValueError, [solver, x1, x1_short]),
    ("solve_all_masked", lambda: solver.solve_all_masked(X, X), None, [solver, X]),
    ("solve_all_masked_array", lambda: solver.solve_all_masked(X, X_mask), None, [solver, X, X_mask]),
    ("solve_all_masked_shape", lambda: solver.solve_all_masked(X, X_mask[:, :3]), ValueError, [solver, X, X_mask]),
    ("solve_all_masked_type", lambda: solver.solve_all_masked(X, arr_u8), TypeError, [solver, X, arr_u8]),
    ("boolls_masked", lambda: boolls_masked(w, x1, x1), None, [w, x1]),
    ("boolls_rank", lambda: boolls(w27, x1, "foo"), ValueError, [w27, x1]),
    ("methods", lambda: methods(), None, []),
    ("ao_bmf", lambda: ao_bmf(F, 2, seed=3), None, [F]),
    ("ao_bmf_r0", lambda: ao_bmf(F, 0), ValueError, [F]),
    ("ao_bmf_rank", lambda: ao_bmf(F, 27), ValueError, [F]),
    ("ao_bmf_max_iter", lambda: ao_bmf(F, 2, max_iter=0), ValueError, [F]),
    ("ao_bmf_method", lambda: ao_bmf(F, 2, method="foo"), ValueError, [F]),
    ("ao_bmf_type", lambda: ao_bmf(arr, 2), TypeError, [arr]),
    ("ao_bmf_masked", lambda: ao_bmf_masked(F, F_mask, 2, seed=3), None, [F, F_mask]),
    ("ao_bmf_masked_shape", lambda: ao_bmf_masked(F, arr, 2), ValueError, [F, arr]),
    ("start_columns", lambda: Valdrix._start_columns([1, 4, 9], 2, 5), None, []),
    ("start_columns_order", lambda: Valdrix._start_columns([4, 1], 2, 5), ValueError, []),
    ("judge_iteration", lambda: Valdrix._judge_iteration(3, 4, 1, 50), None, []),
    ("judge_iteration_type", lambda: Valdrix._judge_iteration(3, None, 1, 50), TypeError, []),
    ("factorize", lambda: factorize(F, 2, effort=1, threads=1), None, [F]),
    ("factorize_masked", lambda: factorize(F, 2, F_mask, 3, 1, 1, report), None, [F, F_mask, report]),
    ("factorize_progress_raises", lambda: factorize(F, 2, effort=1, progress=refuse_report), ValueError,
     [F, refuse_report]),
    ("factorize_effort", lambda: factorize(F, 2, effort=0), ValueError, [F]),
    ("factorize_progress_type", lambda: factorize(F, 2, progress=3), TypeError, [F]),
    ("factorize_mask_shape", lambda: factorize(F, 2, arr), ValueError, [F, arr]),
    ("boolls_search", lambda: boolls_search(F, F, F_mask), None, [F, F_mask]),
    ("boolls_search_rows", lambda: boolls_search(F, F.transpose()), ValueError, [F]),
    ("searchresult_new", lambda: SearchResult(), TypeError, []),
    ("searchresult_attrs", lambda: (found.w, found.h, found.error, found.starts, found.best_start, found.iterations,
                                    found.moves, found.moves_kept, repr(found)), None, [found]),
    ("bmfresult_new", lambda: BmfResult(), TypeError, []),
    ("bmfresult_attrs", lambda: (res.w, res.h, res.error, res.iterations, repr(res)), None, [res]),
    ("reconstruct", lambda: res.reconstruct(), None, [res]),
]

METHOD_NAMES = methods()
SINGLETONS = [
    Valdrix, BitMatrix, BoolLs, BmfResult, ao_bmf, ao_bmf_masked, boolls, boolls_masked, methods, SearchResult,
    factorize, boolls_search, True, False, None,
    NotImplemented,
    0, 1, 2, 3, 5, *METHOD_NAMES, TypeError, ValueError, IndexError, OverflowError, RuntimeError,
    NotImplementedError, MemoryError,
]  # fmt: skip


def run(fn, exc, n):
    if exc is None:
        for _ in range(n):
            fn()
    else:
        for _ in range(n):
            try:
                fn()
            except exc:
                pass


def control_for(exc):
    if exc is None:
        return lambda: None

    def raising():
        raise exc("x")

    return raising


# The interpreter's cache of type attribute lookups holds None in each slot
# it has not used yet, and drops that reference when the slot first takes a
# name. A name made anew at each lookup (PyObject_GetAttrString) lands in a
# slot chosen by its address, so before 3.12, where None is not immortal,
# its count falls by one now and then, at no fixed call. So the cache is
# reset, every slot holding None again, just before the counts are read,
# and no attribute is looked up between the two.
_reset_lookup_cache = getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache


def snapshot(objs):
    rss = resident_bytes()
    gc.collect()
    count = sys.getrefcount
    _reset_lookup_cache()
    return rss, [count(o) for o in objs]


@pytest.mark.parametrize("fn, expected, watched", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_no_growth_over_many_calls(fn, expected, watched):
    exc = panic_type() if expected is Panic else expected
    if exc is None:
        fn()
    else:
        with pytest.raises(exc):
            fn()
    tracked = [*watched, *SINGLETONS, exc]
    run(fn, exc, WARMUP)
    # The counts are compared with those of a control loop of the same shape
    # whose call does nothing of the module's, so that the loop and the
    # snapshots themselves cancel out.
    control = control_for(exc)
    run(control, exc, WARMUP)
    snap0 = snapshot(tracked)
    run(control, exc, N)
    snap1 = snapshot(tracked)
    run(fn, exc, N)
    snap2 = snapshot(tracked)

    growth = snap2[0] - snap1[0]
    moved = [
        (repr(o)[:60], c1 - c0, c2 - c1)
        for o, c0, c1, c2 in zip(tracked, snap0[1], snap1[1], snap2[1])
        if c2 - c1 != c1 - c0
    ]
    assert growth < MAX_GROWTH, f"resident memory grew by {growth} bytes over {N} calls"
    assert not moved, f"reference counts moved (object, change in the control, change in the calls): {moved}"


def test_every_public_callable_is_covered():
    """The table above reaches every public name, so a new callable cannot be
    added without a leak case."""
    names = " ".join(c[0] for c in CASES)
    for public in ["new", "zeros", "ones", "from_list", "from_numpy", "to_list", "to_numpy", "copy", "count_ones",
                   "row_count_ones", "hamming", "count_andnot", "transpose", "copy_module", "pickle", "rebuild", "array", "to_packed",
                   "from_packed", "nonzero", "from_indices", "getitem", "setitem", "delitem",
                   "len", "repr", "str", "hash", "eq", "and", "or", "xor", "sub", "invert", "matmul", "iand",
                   "boolls_new", "solve", "solve_all", "boolls", "methods", "ao_bmf", "bmfresult", "reconstruct",
                   "solve_masked", "solve_all_masked", "boolls_masked", "ao_bmf_masked", "factorize", "searchresult", "boolls_search"]:  # fmt: skip
        assert public in names, public
    assert sorted(Valdrix.__all__) == sorted(["BitMatrix", "BoolLs", "BmfResult", "ao_bmf", "ao_bmf_masked", "boolls",
                                              "boolls_masked", "methods", "SearchResult", "factorize",
                                              "boolls_search", "__version__"])  # fmt: skip

