"""Pickles, packed bytes and coordinates.

A pickle round trip is compared with copy(), the least a transfer can cost,
and with protocol 5, in band and out of band, against NumPy's round trip of
the same packed bytes as a uint8 array (to_packed(), which is
np.packbits(a, axis=1, bitorder="little"));
to_packed / from_packed with NumPy's packbits / unpackbits on the same data
(bitorder='little', along rows); from_indices with the dense way from a SciPy
sparse matrix (toarray, then from_numpy), and nonzero with np.nonzero on the
bool array it stands for.
"""
from __future__ import annotations

import pickle

import numpy as np

from Valdrix import BitMatrix
from run import Case

N = 8192
SPARSE_SHAPE = (100_000, 10_000)
SPARSE_DENSITY = 0.001


def _dense_state():
    a = np.random.default_rng(1).random((N, N)) < 0.5
    m = BitMatrix.from_numpy(a)
    return {"a": a, "m": m, "packed": m.to_packed()}


def _sparse_state():
    import scipy.sparse

    rows, cols = SPARSE_SHAPE
    rng = np.random.default_rng(2)
    k = int(rows * cols * SPARSE_DENSITY)
    s = scipy.sparse.coo_array(
        (np.ones(k, bool), (rng.integers(0, rows, k), rng.integers(0, cols, k))), shape=SPARSE_SHAPE
    ).tocsr()
    nz = s.nonzero()
    m = BitMatrix.from_indices(rows, cols, *nz)
    return {"s": s, "nz": nz, "m": m, "a": m.to_numpy()}


def _pickle_round_trip(m: BitMatrix) -> BitMatrix:
    return pickle.loads(pickle.dumps(m))


def _round_trip_5(x):
    return pickle.loads(pickle.dumps(x, protocol=5))


def _round_trip_out_of_band(x):
    buffers = []
    stream = pickle.dumps(x, protocol=5, buffer_callback=buffers.append)
    return pickle.loads(stream, buffers=buffers)


_PICKLE_5_TRIPS = [
    ("in band", _round_trip_5,
     ["both write the bytes once into the pickle and read them once into the unpickler's bytes;",
      "the loaded matrix reads its words there, as the array reads its bytearray"]),
    ("out of band", _round_trip_out_of_band,
     ["neither copies: the loaded matrix reads the original's words, which both copy before a",
      "write, as the loaded array is a view of the original array's memory"]),
]  # fmt: skip


def _same_coordinates(got, want) -> bool:
    return all(np.array_equal(g, w) for g, w in zip(got, want))


CASES = [
    Case(
        name=f"pickle dumps+loads {N}x{N} vs copy()",
        target="ratio <= 3 (baseline: BitMatrix.copy)",
        setup=_dense_state,
        valdrix=lambda s: _pickle_round_trip(s["m"]),
        numpy=lambda s: s["m"].copy(),
        check=lambda s, v, n: v == s["m"] and n == s["m"],
        repeat=9,
    ),
    *[
        Case(
            name=f"pickle 5 {how} {N}x{N} vs uint8 array",
            target="ratio <= 1.1 (the packed bytes as a NumPy array)",
            setup=_dense_state,
            valdrix=lambda s, trip=trip: trip(s["m"]),
            numpy=lambda s, trip=trip: trip(s["packed"]),
            check=lambda s, v, n: v == s["m"] and np.array_equal(n, s["packed"]),
            repeat=9,
            notes=notes,
        )
        for how, trip, notes in _PICKLE_5_TRIPS
    ],
    Case(
        name=f"to_packed {N}x{N} vs packbits",
        target="ratio <= 1.2",
        setup=_dense_state,
        valdrix=lambda s: s["m"].to_packed(),
        numpy=lambda s: np.packbits(s["a"], axis=1, bitorder="little"),
        check=lambda s, v, n: np.array_equal(v, n),
        repeat=9,
    ),
    Case(
        name=f"from_packed {N}x{N} vs unpackbits",
        target="ratio <= 1.2",
        setup=_dense_state,
        valdrix=lambda s: BitMatrix.from_packed(s["packed"], N),
        numpy=lambda s: np.unpackbits(s["packed"], axis=1, bitorder="little"),
        check=lambda s, v, n: v == s["m"] and np.array_equal(n.view(bool), s["a"]),
        repeat=9,
    ),
    Case(
        name="from_indices 100000x10000 d=0.001 vs dense",
        target="ratio <= 0.1 (from_numpy(s.toarray()))",
        setup=_sparse_state,
        valdrix=lambda s: BitMatrix.from_indices(*s["s"].shape, *s["nz"]),
        numpy=lambda s: BitMatrix.from_numpy(s["s"].toarray()),
        check=lambda s, v, n: v == n == s["m"],
        repeat=5,
        notes=["the indices come from s.nonzero() beforehand (for a CSR matrix it takes about 8 ms more);",
               "the floor is writing a fresh 125 MB result once: np.ones of that many bytes takes about as long"],
    ),
    Case(
        name="nonzero 100000x10000 d=0.001 vs np.nonzero",
        target="ratio <= 1 (np.nonzero of the bool array)",
        setup=_sparse_state,
        valdrix=lambda s: s["m"].nonzero(),
        numpy=lambda s: np.nonzero(s["a"]),
        check=lambda s, v, n: _same_coordinates(v, n),
        repeat=5,
    ),
]
