"""Every callable and slot of the module, called with arbitrary argument
types, values, shapes and keyword mixes: only the documented exceptions come
out, nothing crashes, a failed call leaves its operands unchanged, and no
call keeps a borrow after it returns."""

from __future__ import annotations

import json
import operator
import os

import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

import Valdrix
from Valdrix import BitMatrix
from surface_pool import (
    OUTCOMES,
    PLAUSIBLE,
    anything,
    as_index,
    attempt,
    borrows_released,
    dangerous_size,
    heavy_rank,
    matrices,
    results,
    snapshot,
    solvers,
    value_for,
)

# Examples per test; the sanitized run is several times slower per call.
SANITIZED = os.environ.get("VALDRIX_SANITIZED") == "1"
EXAMPLES = int(os.environ.get("VALDRIX_FUZZ_EXAMPLES", "400" if SANITIZED else "1500"))
# Index(True) is one of the hostile arguments: the interpreter itself warns
# when __index__ returns a bool.
pytestmark = pytest.mark.filterwarnings("ignore:__index__ returned non-int:DeprecationWarning")

FUZZ = settings(
    max_examples=EXAMPLES,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much],
)

# (label, how to get the callable from a receiver, parameter names, how many
# of them are required). A
# receiver of None means a class-level or module-level callable.
CALLABLES = [
    ("BitMatrix", lambda _: BitMatrix, ["rows", "cols", "fill"], 2),
    ("BitMatrix.zeros", lambda _: BitMatrix.zeros, ["rows", "cols"], 2),
    ("BitMatrix.ones", lambda _: BitMatrix.ones, ["rows", "cols"], 2),
    ("BitMatrix.from_list", lambda _: BitMatrix.from_list, ["data"], 1),
    ("BitMatrix.from_numpy", lambda _: BitMatrix.from_numpy, ["a"], 1),
    ("m.to_list", lambda m: m.to_list, [], 0),
    ("m.to_numpy", lambda m: m.to_numpy, [], 0),
    ("m.copy", lambda m: m.copy, [], 0),
    ("m.__copy__", lambda m: m.__copy__, [], 0),
    ("m.__deepcopy__", lambda m: m.__deepcopy__, ["memo"], 1),
    ("m.__reduce__", lambda m: m.__reduce__, [], 0),
    ("m.__reduce_ex__", lambda m: m.__reduce_ex__, ["protocol"], 1),
    ("Valdrix._rebuild_bitmatrix", lambda _: Valdrix._rebuild_bitmatrix, ["rows", "cols", "data"], 3),
    ("Valdrix._start_columns", lambda _: Valdrix._start_columns, ["nonzero", "r", "seed"], 3),
    ("Valdrix._judge_iteration", lambda _: Valdrix._judge_iteration, ["total", "best_error", "iteration", "max_iter"], 4),
    ("m.__array__", lambda m: m.__array__, ["dtype", "copy"], 0),
    ("m.to_packed", lambda m: m.to_packed, [], 0),
    ("BitMatrix.from_packed", lambda _: BitMatrix.from_packed, ["a", "cols"], 2),
    ("m.nonzero", lambda m: m.nonzero, [], 0),
    ("BitMatrix.from_indices", lambda _: BitMatrix.from_indices, ["rows", "cols", "row_indices", "col_indices"], 4),
    ("m.count_ones", lambda m: m.count_ones, [], 0),
    ("m.row_count_ones", lambda m: m.row_count_ones, ["i"], 1),
    ("m.hamming", lambda m: m.hamming, ["other"], 1),
    ("m.count_andnot", lambda m: m.count_andnot, ["other"], 1),
    ("m.transpose", lambda m: m.transpose, [], 0),
    ("BoolLs", lambda _: Valdrix.BoolLs, ["w"], 1),
    ("s.solve", lambda s: s.solve, ["x", "method", "seed"], 1),
    ("s.solve_all", lambda s: s.solve_all, ["x", "method", "seed"], 1),
    ("boolls", lambda _: Valdrix.boolls, ["w", "x", "method", "seed"], 2),
    ("methods", lambda _: Valdrix.methods, [], 0),
    ("ao_bmf", lambda _: Valdrix.ao_bmf, ["x", "r", "method", "max_iter", "seed"], 2),
    ("BmfResult", lambda _: Valdrix.BmfResult, [], 0),
    ("factorize", lambda _: Valdrix.factorize, ["x", "r", "mask", "seed", "effort", "threads", "progress"], 2),
    ("SearchResult", lambda _: Valdrix.SearchResult, [], 0),
    ("res.reconstruct", lambda res: res.reconstruct, [], 0),
]
RECEIVERS = {"m": matrices(), "s": solvers(), "res": results()}

# Methods fetched from the class and called with any first argument: the
# interpreter's descriptor check must refuse a receiver of the wrong type.
UNBOUND = [
    (cls, name)
    for cls, names in [
        ("BitMatrix", ["to_list", "to_numpy", "copy", "count_ones", "row_count_ones", "hamming", "count_andnot",
                       "transpose", "__copy__", "__deepcopy__", "__reduce__", "__reduce_ex__", "__sizeof__", "__array__",
                       "to_packed", "nonzero"]),  # fmt: skip
        ("BoolLs", ["solve", "solve_all"]),
        ("BmfResult", ["reconstruct"]),
    ]
    for name in names
]


def check_call(label, fn, args, kwargs, watched):
    before = [snapshot(o) for o in watched]
    ok, _ = attempt(label, fn, *args, **kwargs)
    if not ok:
        assert [snapshot(o) for o in watched] == before, f"{label} failed but changed an operand"
    for o in watched:
        assert borrows_released(o), f"{label} left a borrow on {o!r}"


def too_costly(label, bound):
    """Sizes that would take gigabytes, and ranks with slow tables."""
    if label in ("BitMatrix", "BitMatrix.zeros", "BitMatrix.ones", "BitMatrix.from_indices"):
        return dangerous_size(bound.get("rows"), bound.get("cols"))
    if label == "ao_bmf":
        return heavy_rank(bound.get("r"))
    if label == "factorize":
        return heavy_rank(bound.get("r")) or (as_index(bound.get("effort", 1)) or 0) > 8
    return False


@FUZZ
@given(st.data())
def test_every_callable_with_arbitrary_arguments(data):
    label, get, params, required = data.draw(st.sampled_from(CALLABLES), label="callable")
    prefix = label.split(".")[0]
    receiver = data.draw(RECEIVERS[prefix], label="receiver") if prefix in RECEIVERS else None
    fn = get(receiver)

    if data.draw(st.sampled_from([True, True, True, False]), label="well formed"):
        # Every required parameter once and some optional ones: a positional
        # prefix, the rest by keyword in any order, mostly plausible values.
        n_pos = data.draw(st.integers(0, len(params)), label="positional count")
        args = [data.draw(value_for(p, 8, label), label=p) for p in params[:n_pos]]
        rest = data.draw(st.permutations(params[n_pos:]), label="keyword order")
        keys = [p for p in rest if params.index(p) < required or data.draw(st.sampled_from([True, True, False]))]
        kwargs = {k: data.draw(value_for(k, 8, label), label=k) for k in keys}
    else:
        # Anything: one argument too many, keywords repeating a positional
        # one or naming no parameter.
        n_pos = data.draw(st.integers(0, len(params) + 1), label="positional count")
        args = [data.draw(value_for(params[k], 3, label) if k < len(params) else anything(), label=f"arg{k}")
                for k in range(n_pos)]  # fmt: skip
        names = params + ["bogus", "self", "Rows"]
        keys = data.draw(st.lists(st.sampled_from(names), unique=True, max_size=len(params) + 1), label="keywords")
        kwargs = {k: data.draw(value_for(k, 3, label), label=k) for k in keys}

    bound = dict(zip(params, args))
    bound.update({k: v for k, v in kwargs.items() if k not in bound})
    if too_costly(label, bound):
        OUTCOMES["skipped (size)"] += 1
        return
    watched = [receiver, *args, *kwargs.values()]
    check_call(label, fn, args, kwargs, watched)


@FUZZ
@given(st.sampled_from(UNBOUND), anything(), st.lists(anything(), max_size=3))
def test_unbound_methods_check_their_receiver(entry, self_arg, args):
    cls_name, name = entry
    # A text dtype goes to NumPy's own parser, which raises what it likes
    # (SyntaxError for "01"); the other test draws the dtypes that mean something.
    assume(not (name == "__array__" and args and isinstance(args[0], str)))
    fn = vars(getattr(Valdrix, cls_name))[name]
    check_call(f"{cls_name}.{name}", fn, [self_arg, *args], {}, [self_arg, *args])


BINARY = [operator.and_, operator.or_, operator.xor, operator.sub, operator.matmul, operator.add, operator.mul,
          operator.truediv, operator.mod, operator.lshift, operator.pow, divmod]  # fmt: skip
INPLACE = [operator.iand, operator.ior, operator.ixor, operator.isub, operator.imatmul, operator.iadd]
COMPARE = [operator.eq, operator.ne, operator.lt, operator.le, operator.gt, operator.ge]
UNARY = [operator.invert, operator.neg, operator.pos, abs, hash, str, repr, len, bool, iter, list, int, float,
         operator.index, sorted, set]  # fmt: skip


@FUZZ
@given(st.sampled_from(BINARY + INPLACE + COMPARE), st.data())
def test_operators_between_anything(op, data):
    m = data.draw(matrices(), label="matrix")
    kind = data.draw(st.sampled_from(["same shape", "transposed shape", "same object", "any matrix", "anything"]))
    if kind == "same shape":
        other = data.draw(matrices(shape=m.shape))
    elif kind == "transposed shape":
        other = data.draw(matrices(shape=m.shape[::-1]))
    elif kind == "same object":
        other = m  # m & m, m |= m: shared and exclusive borrows of one object
    elif kind == "any matrix":
        other = data.draw(matrices())
    else:
        other = data.draw(anything())
    left, right = (other, m) if kind == "anything" and data.draw(st.booleans()) else (m, other)
    check_call(op.__name__, op, [left, right], {}, [left, right])


@FUZZ
@given(st.sampled_from(UNARY), st.one_of(matrices(), solvers(), results()))
def test_unary_slots_and_builtins(op, obj):
    check_call(getattr(op, "__name__", repr(op)), op, [obj], {}, [obj])


def key():
    pair = st.tuples(PLAUSIBLE["i"], PLAUSIBLE["i"])
    return st.one_of(pair, pair, anything(), st.tuples(anything(), anything()), st.tuples(*[PLAUSIBLE["i"]] * 3),
                     st.just(()), st.tuples(st.just(slice(0, 1)), st.just(0)))  # fmt: skip


@FUZZ
@given(matrices(), key(), st.one_of(PLAUSIBLE["fill"], anything()), st.sampled_from(["get", "set", "del", "in"]))
def test_subscription(m, k, value, action):
    if action == "get":
        check_call("m[k]", operator.getitem, [m, k], {}, [m])
    elif action == "set":
        check_call("m[k] = v", operator.setitem, [m, k, value], {}, [m, value])
    elif action == "del":
        check_call("del m[k]", operator.delitem, [m, k], {}, [m])
    else:
        check_call("k in m", operator.contains, [m, k], {}, [m])


ATTRIBUTES = {
    "m": ["shape", "rows", "cols"],
    "s": ["m", "r"],
    "res": ["w", "h", "error", "iterations"],
}


@FUZZ
@given(st.data())
def test_attributes_read_and_refuse_writes(data):
    prefix = data.draw(st.sampled_from(sorted(ATTRIBUTES)))
    obj = data.draw(RECEIVERS[prefix])
    name = data.draw(st.sampled_from(ATTRIBUTES[prefix] + ["x", "__dict__", "value"]))
    before = snapshot(obj)
    try:
        getattr(obj, name)
    except AttributeError:
        assert name not in ATTRIBUTES[prefix]
    with pytest.raises((AttributeError, TypeError)):
        setattr(obj, name, data.draw(anything()))
    with pytest.raises((AttributeError, TypeError)):
        delattr(obj, name)
    assert snapshot(obj) == before


def test_record_outcomes():
    """Writes the tally of this run where VALDRIX_FUZZ_REPORT points (for the
    robustness figures of docs/development.md); runs last in this file."""
    total = sum(v for k, v in OUTCOMES.items() if not k.startswith("skipped"))
    if total == 0:
        pytest.skip("no fuzz test ran in this session")
    assert OUTCOMES["ok"] > 0  # some calls got through every check
    path = os.environ.get("VALDRIX_FUZZ_REPORT")
    if path:
        with open(path, "w") as f:
            json.dump({"calls": total, "outcomes": dict(OUTCOMES)}, f, indent=1, sort_keys=True)
