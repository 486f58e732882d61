"""Conversions between BitMatrix and NumPy arrays or Python lists.

from_numpy / to_numpy pack and unpack one byte per element, which is what
np.packbits / np.unpackbits (bitorder='little', along rows) do on the same
data; from_list is compared with NumPy's own list-of-lists conversion.
"""
from __future__ import annotations

import numpy as np

from Valdrix import BitMatrix
from run import Case

N_ARRAY = 4096
N_LIST = 1000


def _bools(n: int, seed: int) -> np.ndarray:
    return np.random.default_rng(seed).random((n, n)) < 0.5


def _array_state():
    a = _bools(N_ARRAY, 1)
    return {"a": a, "m": BitMatrix.from_numpy(a), "packed": np.packbits(a, axis=1, bitorder="little")}


def _list_state():
    a = _bools(N_LIST, 2)
    return {"a": a, "data": a.astype(np.int64).tolist(), "m": BitMatrix.from_numpy(a)}


CASES = [
    Case(
        name=f"from_numpy {N_ARRAY}x{N_ARRAY} vs packbits",
        target="ratio <= 1.5",
        setup=_array_state,
        valdrix=lambda s: BitMatrix.from_numpy(s["a"]),
        numpy=lambda s: np.packbits(s["a"], axis=1, bitorder="little"),
        check=lambda s, v, n: np.array_equal(v.to_numpy(), s["a"]) and np.array_equal(n, s["packed"]),
        repeat=15,
    ),
    Case(
        name=f"to_numpy {N_ARRAY}x{N_ARRAY} vs unpackbits",
        target="ratio <= 1.5",
        setup=_array_state,
        valdrix=lambda s: s["m"].to_numpy(),
        numpy=lambda s: np.unpackbits(s["packed"], axis=1, bitorder="little"),
        check=lambda s, v, n: np.array_equal(v, s["a"]) and np.array_equal(n.astype(bool), s["a"]),
        repeat=15,
    ),
    Case(
        name=f"from_list {N_LIST}x{N_LIST} vs np.array(bool)",
        target="ratio <= 1.2",
        setup=_list_state,
        valdrix=lambda s: BitMatrix.from_list(s["data"]),
        numpy=lambda s: np.array(s["data"], dtype=bool),
        check=lambda s, v, n: np.array_equal(v.to_numpy(), s["a"]) and np.array_equal(n, s["a"]),
    ),
    Case(
        name=f"to_list {N_LIST}x{N_LIST} vs ndarray.tolist",
        target="ratio <= 1.2",
        setup=_list_state,
        valdrix=lambda s: s["m"].to_list(),
        numpy=lambda s: s["a"].astype(np.uint8).tolist(),
        check=lambda s, v, n: v == s["data"] and n == s["data"],
    ),
]
