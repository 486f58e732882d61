"""Arguments for robustness tests of the whole Python surface: hostile and
ordinary values of every kind, the callables and slots they are fed to, and
the check that only the documented exceptions come out."""

from __future__ import annotations

import collections
import math
import operator

import numpy as np
from hypothesis import strategies as st

import Valdrix
from Valdrix import BitMatrix

# What the module may raise. PanicException (an internal fault) only for a
# size that cannot be represented.
ALLOWED = (TypeError, ValueError, IndexError, OverflowError, NotImplementedError, RuntimeError, MemoryError)

OUTCOMES: collections.Counter[str] = collections.Counter()


class Unexpected(AssertionError):
    pass


def is_capacity_panic(exc: BaseException) -> bool:
    return type(exc).__name__ == "PanicException" and str(exc) == "capacity overflow"


def attempt(label: str, fn, *args, **kwargs):
    """Calls fn; returns (True, result) or (False, exception) for an allowed
    exception; anything else fails the test with the call that caused it."""
    try:
        result = fn(*args, **kwargs)
    except ALLOWED as exc:
        OUTCOMES[type(exc).__name__] += 1
        return False, exc
    except BaseException as exc:  # noqa: BLE001 - the point is to see everything
        if is_capacity_panic(exc):
            OUTCOMES["PanicException"] += 1
            return False, exc
        raise Unexpected(f"{label}: args={args!r:.300} kwargs={kwargs!r:.300} raised {type(exc).__name__}: {exc}") from exc
    OUTCOMES["ok"] += 1
    return True, result


# ---------------------------------------------------------------- hostile objects


class Index:
    """An integer through __index__ only."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Index({self.value!r})"


class BadIndex:
    def __index__(self):
        raise ValueError("__index__ refuse")


class NotIntIndex:
    def __index__(self):
        return "3"


def fake_numpy_bool(body):
    """A class that passes for NumPy's Boolean scalar by module and name."""
    return type("bool_", (), {"__module__": "numpy", **body})()


class LyingSequence:
    """A sequence whose length is a lie; iteration gives the real rows."""

    def __init__(self, rows, length):
        self.rows, self.length = rows, length

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        return self.rows[i]

    def __iter__(self):
        return iter(self.rows)


class FailingSequence:
    """A sequence whose iteration raises after the first row."""

    def __len__(self):
        return 3

    def __getitem__(self, i):
        if i == 0:
            return [1, 0]
        raise ValueError("lecture impossible")


class BrokenLen(FailingSequence):
    def __len__(self):
        raise ValueError("pas de longueur")


class ArraySubclass(np.ndarray):
    pass


SPECIAL_INTS = [
    0, 1, 2, 3, 7, 8, 26, 27, 63, 64, 65, 128, 2**31, 2**32, 2**40, 2**41, 2**60, 2**61, 2**62,
    2**63 - 1, 2**63, 2**64 - 1, 2**64, 2**100, -1, -2, -(2**63), -(2**63) - 1, -(2**64),
]  # fmt: skip

ints = st.one_of(st.sampled_from(SPECIAL_INTS), st.integers(-3, 70), st.booleans())
sizes = st.one_of(
    st.integers(0, 70),
    st.sampled_from([0, 1, 63, 64, 65, 128, 129]),
    st.sampled_from([2**32, 2**40, 2**41, 2**58, 2**60, 2**61, 2**62, 2**63, 2**64 - 1]),
)
floats = st.sampled_from([0.0, 1.0, 2.5, -1.0, math.nan, math.inf, -math.inf, 1e300])
METHOD_TEXTS = [
    "zeta", "naive", "greedy", "greedy-ls", "ZETA", " zeta\n", "\u2003Greedy-LS\u00a0", "greedy_ls", "", "\x00",
    "zéta", "zeta\x00", "\ud800", "z" * 300,
]  # fmt: skip
texts = st.one_of(st.sampled_from(METHOD_TEXTS), st.text(max_size=8))
numpy_scalars = st.sampled_from(
    [np.True_, np.False_, np.int64(3), np.int64(-1), np.uint64(2**64 - 1), np.float64(1.0), np.uint8(1),
     np.array(True), np.array([True])]
)  # fmt: skip
odd_objects = st.sampled_from(
    [
        BadIndex(), NotIntIndex(), Index(2), Index(-1), Index(2**64), Index(True),
        fake_numpy_bool({"__bool__": lambda self: True}),
        fake_numpy_bool({"__bool__": lambda self: (_ for _ in ()).throw(ValueError("bool refuse"))}),
        fake_numpy_bool({}),
        object(), type, Valdrix, print, slice(0, 1), Ellipsis, NotImplemented, b"\x00\x01", bytearray(b"\x01"),
        {0: 1}, {1, 0}, (i for i in range(2)), range(3), range(2**62, 2**62 + 2), complex(1, 1), 1j,
        LyingSequence([[1, 0], [0, 1]], 10**12), LyingSequence([[1, 0]], 0), FailingSequence(), BrokenLen(),
    ]
)  # fmt: skip


ALL_DTYPES = [bool, bool, bool, np.uint8, np.int8, np.int64, np.float64, object, "U1"]


@st.composite
def bool_arrays(draw, ndim=None, lengths=None, dtypes=ALL_DTYPES):
    """NumPy arrays of many dtypes, dimensions and layouts (at most a few
    thousand elements)."""
    nd = draw(st.integers(0, 3)) if ndim is None else ndim
    if lengths is not None:
        shape = tuple(draw(lengths) for _ in range(nd))
    else:
        shape = tuple(draw(st.integers(0, 40 if nd < 3 else 8)) for _ in range(nd))
    dtype = draw(st.sampled_from(dtypes))
    seed = draw(st.integers(0, 2**32 - 1))
    rng = np.random.default_rng(seed)
    raw = rng.integers(0, 256, size=shape, dtype=np.uint8)
    if dtype is bool and draw(st.booleans()):
        a = raw.view(bool)  # bytes other than 0 and 1 under a bool dtype
    else:
        a = (raw & 1).astype(dtype)
    layout = draw(st.sampled_from(["plain", "reversed", "step", "transposed", "fortran", "readonly", "sub",
                                   "broadcast", "padded"]))  # fmt: skip
    if nd == 0:
        return a
    if layout == "reversed":
        a = a[::-1, ...] if draw(st.booleans()) else a[..., ::-1]
    elif layout == "step":
        a = np.concatenate([a, a], axis=0)[::2] if shape[0] else a
    elif layout == "transposed":
        a = a.T
    elif layout == "fortran":
        a = np.asfortranarray(a)
    elif layout == "readonly":
        a = a.copy()
        a.setflags(write=False)
    elif layout == "sub":
        a = a.view(ArraySubclass)
    elif layout == "broadcast" and shape[0]:
        a = np.broadcast_to(a[:1], a.shape)
    elif layout == "padded":
        wide = np.zeros(shape[:-1] + (shape[-1] * 3,), dtype=a.dtype)
        wide[..., ::3] = a
        a = wide[..., ::3]
    return a


SHAPES = [(1, 1), (1, 64), (2, 3), (3, 2), (3, 70), (5, 3), (4, 6), (65, 1), (2, 129), (6, 8), (3, 27)]


@st.composite
def matrices(draw, shape=None):
    rows, cols = draw(st.sampled_from(SHAPES)) if shape is None else shape
    seed = draw(st.integers(0, 2**32 - 1))
    density = draw(st.sampled_from([0.0, 0.3, 0.7, 1.0]))
    bits = np.random.default_rng(seed).random((rows, cols)) < density
    return BitMatrix.from_numpy(bits)


@st.composite
def solvers(draw):
    return Valdrix.BoolLs(draw(matrices(shape=draw(st.sampled_from([(5, 3), (4, 1), (6, 8), (2, 3)])))))


@st.composite
def results(draw):
    x = draw(matrices(shape=draw(st.sampled_from([(4, 6), (3, 2), (2, 3)]))))
    return Valdrix.ao_bmf(x, draw(st.integers(1, 4)), seed=draw(st.integers(0, 5)))


def nested_lists():
    cell = st.one_of(st.sampled_from([0, 1, True, False, 2, -1, 2**63, -(2**63) - 1, 1.0, None, "1", Index(1)]),
                     st.integers(0, 1))  # fmt: skip
    row = st.one_of(st.lists(cell, max_size=6), st.tuples(cell, cell), st.just("01"), st.just(b"\x00\x01"), cell)
    return st.one_of(st.lists(row, max_size=5), st.tuples(row, row), st.just([]), st.just([[]]), st.just("01"))


def anything():
    """Every kind of argument."""
    return st.one_of(
        ints,
        floats,
        texts,
        st.none(),
        numpy_scalars,
        odd_objects,
        nested_lists(),
        bool_arrays(),
        matrices(),
        solvers(),
        results(),
        st.just(BitMatrix),
    )


def print_nothing(done, total, best_error, extra):
    """A progress function of the wrong arity: its TypeError stops the search."""


def refuse(done, total, best_error):
    raise ValueError("arret demande")


# Plausible values for each parameter name, so that calls also get past the
# conversions and into the checks and the work behind them.
PLAUSIBLE = {
    "rows": sizes,
    "cols": sizes,
    "fill": st.sampled_from([True, False, np.True_, np.False_]),
    "data": nested_lists(),
    "a": st.one_of(bool_arrays(ndim=2, lengths=st.integers(1, 70), dtypes=[bool]), bool_arrays(ndim=2)),
    "other": matrices(),
    "i": st.integers(0, 70),
    "w": matrices(),
    "x": st.one_of(bool_arrays(ndim=1, lengths=st.integers(1, 8), dtypes=[bool]), bool_arrays(ndim=1), matrices()),
    "method": st.sampled_from(METHOD_TEXTS),
    "seed": ints,
    "r": st.one_of(st.integers(0, 8), st.sampled_from([27, 64, 2**64 - 1, -1])),
    "max_iter": st.one_of(st.integers(0, 3), st.sampled_from([2**64 - 1, 2**64, -1])),
    "row_indices": st.one_of(st.lists(st.integers(-2, 80), max_size=8), bool_arrays(ndim=1, dtypes=[np.int64])),
    "col_indices": st.one_of(st.lists(st.integers(-2, 80), max_size=8), bool_arrays(ndim=1, dtypes=[np.uint8])),
    "dtype": st.sampled_from([None, bool, np.uint8, "f4", "U1", object, "nope"]),
    "copy": st.sampled_from([None, True, False, np.False_]),
    "memo": st.just({}),
}


def value_for(name, plausible_share=3, label=None):
    """A plausible value for the parameter (of this callable, where its
    parameters differ) plausible_share times out of plausible_share + 1,
    anything otherwise."""
    plausible = PLAUSIBLE_FOR.get((label, name), PLAUSIBLE.get(name))
    if plausible is None:
        return anything()
    if name == "dtype":
        return plausible  # read by NumPy itself, whose parser raises what it likes (SyntaxError for "01")
    pick = st.sampled_from([True] * plausible_share + [False])
    return pick.flatmap(lambda p: plausible if p else anything())


TARGET = bool_arrays(ndim=1, lengths=st.integers(1, 8), dtypes=[bool])
PLAUSIBLE_FOR = {
    ("s.solve", "x"): st.one_of(TARGET, TARGET, bool_arrays(ndim=1)),
    ("boolls", "x"): st.one_of(TARGET, TARGET, bool_arrays(ndim=1)),
    ("s.solve_all", "x"): matrices(),
    ("ao_bmf", "x"): matrices(),
    ("factorize", "x"): matrices(),
    ("factorize", "mask"): st.one_of(st.none(), matrices(), bool_arrays(ndim=2, dtypes=[bool])),
    ("factorize", "effort"): st.one_of(st.integers(0, 3), st.sampled_from([2**64 - 1, -1])),
    ("factorize", "threads"): st.one_of(st.integers(0, 3), st.sampled_from([2**64 - 1, -1])),
    ("factorize", "progress"): st.sampled_from([None, lambda done, total, best: None, print_nothing, refuse, 3]),
    ("BitMatrix.from_packed", "a"): st.one_of(bool_arrays(ndim=2, dtypes=[np.uint8]), bool_arrays(ndim=2)),
    ("m.__reduce_ex__", "protocol"): st.integers(-1, 6),
    ("Valdrix._rebuild_bitmatrix", "data"): st.one_of(
        st.binary(max_size=40), st.binary(max_size=40).map(bytearray), st.binary(max_size=40).map(memoryview)
    ),
    ("Valdrix._start_columns", "nonzero"): st.one_of(st.lists(st.integers(0, 80), unique=True, max_size=12).map(sorted),
                                                     st.lists(st.integers(-2, 80), max_size=8)),
    ("Valdrix._judge_iteration", "total"): ints,
    ("Valdrix._judge_iteration", "best_error"): ints,
    ("Valdrix._judge_iteration", "iteration"): ints,
}


# ---------------------------------------------------------------- safety bounds

# A size is run only if its storage is small (really allocated) or so large
# that no allocator can hand it out (refused before any page is touched);
# sizes in between would take real gigabytes of a shared machine.
SMALL_BYTES = 1 << 20
UNGRANTABLE_BYTES = 1 << 41


def as_index(v):
    try:
        return operator.index(v)
    except Exception:  # noqa: BLE001 - anything that is not an integer
        return None


def dangerous_size(rows, cols) -> bool:
    r, c = as_index(rows), as_index(cols)
    if r is None or c is None or r <= 0 or c <= 0 or r >= 2**64 or c >= 2**64:
        return False
    nbytes = r * ((c + 63) // 64) * 8
    return SMALL_BYTES < nbytes < UNGRANTABLE_BYTES


def heavy_rank(r) -> bool:
    """Ranks whose 2^r tables are slow to build in a fuzz loop; rank 26 has
    its own test."""
    v = as_index(r)
    return v is not None and 9 <= v <= 26


# ---------------------------------------------------------------- state checks


def snapshot(obj):
    """The full value of a BitMatrix, for checking that a failed call left it alone."""
    if isinstance(obj, BitMatrix):
        return obj.shape, obj.to_numpy().tobytes()
    return None


def borrows_released(obj) -> bool:
    """A BitMatrix can be borrowed exclusively again once every call on it
    has returned."""
    if not isinstance(obj, BitMatrix):
        return True
    value = obj[0, 0]
    obj[0, 0] = value
    return obj[0, 0] == value
