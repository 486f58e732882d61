"""Typed use of the whole Valdrix surface.

test_stubs.py checks this file with ``mypy --strict`` against the shipped
stubs and also runs it against the built module, so every line here must be
both well typed and true. The lines marked ``# type: ignore[...]`` are misuses
that the stubs must refuse: under ``--strict`` an ignore that is not needed is
itself an error, so a stub that became too permissive fails the check.
"""

from __future__ import annotations

import copy
import pickle

import numpy as np
from numpy.typing import NDArray

import Valdrix
from Valdrix import (
    BitMatrix, BmfResult, BoolLs, SearchResult, ao_bmf, ao_bmf_masked, boolls, boolls_masked, factorize, methods,
)


def expect_failure(kind: type[BaseException], action: object) -> None:
    assert callable(action)
    try:
        action()
    except kind:
        return
    raise AssertionError(f"expected {kind.__name__}")


def construction() -> BitMatrix:
    a = BitMatrix(2, 3)
    b = BitMatrix(rows=2, cols=3, fill=True)
    c = BitMatrix(2, 3, np.True_)
    assert a == BitMatrix.zeros(2, 3) and b == BitMatrix.ones(cols=3, rows=2) and b == c
    assert BitMatrix.zeros(np.int64(2), 3).shape == (2, 3)
    shape: tuple[int, int] = a.shape
    rows: int = a.rows
    cols: int = a.cols
    assert shape == (rows, cols) == (2, 3) and len(a) == 2
    a[0, 1] = True
    a[1, 2] = np.True_
    first: bool = a[0, 1]
    assert first and not a[0, 0]
    copy = a.copy()
    copy[0, 1] = False
    assert a[0, 1]
    expect_failure(NotImplementedError, lambda: a.__delitem__((0, 1)))
    return a


def algebra(a: BitMatrix) -> None:
    b = BitMatrix.ones(2, 3)
    for result in (a & b, a | b, a ^ b, a - b, ~a):
        assert isinstance(result, BitMatrix) and result.shape == (2, 3)
    product: BitMatrix = a @ b.transpose()
    assert product.shape == (2, 2)
    same = a
    a &= b
    a |= b
    a ^= b
    assert a is same and a.count_ones() == 0
    equal: bool = a == BitMatrix.zeros(2, 3)
    different: bool = a != b
    assert equal and different and not (a == 5)  # noqa: SIM201
    key: int = hash(b)
    assert key == hash(b.copy())
    counts: list[int] = [b.count_ones(), b.row_count_ones(1), b.row_count_ones(i=0)]
    assert counts == [6, 3, 3]
    assert a.hamming(b) == 6 and b.count_andnot(other=a) == 6
    text: str = str(b)
    assert text.splitlines()[0] == "2x3 (6 bits a 1)" and repr(b) == "<BitMatrix 2x3, 6 bits a 1>"


def conversions() -> BitMatrix:
    m = BitMatrix.from_list([[1, 0, 1], [0, 1, 1]])
    assert BitMatrix.from_list(data=((True, False), range(2), bytes([1, 1]))).count_ones() == 4
    rows: list[list[int]] = m.to_list()
    assert rows == [[1, 0, 1], [0, 1, 1]]
    array: NDArray[np.bool_] = m.to_numpy()
    assert array.dtype == np.bool_ and array.shape == (2, 3)
    assert BitMatrix.from_numpy(array) == m and BitMatrix.from_numpy(a=array.T) == m.transpose()
    packed: NDArray[np.uint8] = m.to_packed()
    assert BitMatrix.from_packed(packed, 3) == m == BitMatrix.from_packed(a=packed, cols=m.cols)
    i, j = m.nonzero()
    assert BitMatrix.from_indices(2, 3, i, j) == m == BitMatrix.from_indices(2, 3, [0, 0, 1, 1], (0, 2, 1, 2))
    assert (np.asarray(m) == array).all() and np.asarray(m, dtype=np.uint8).sum() == 4
    assert pickle.loads(pickle.dumps(m)) == copy.copy(m) == copy.deepcopy(m) == m
    return m


def least_squares() -> None:
    w = BitMatrix.from_list([[1, 0], [0, 1], [1, 1]])
    names: list[str] = methods()
    assert names == ["naive", "zeta", "greedy", "greedy-ls"]
    solver = BoolLs(w)
    m: int = solver.m
    r: int = solver.r
    assert (m, r) == (3, 2) and repr(solver) == "<BoolLs m=3 r=2>"
    x = np.array([True, False, True])
    mask, error = solver.solve(x)
    assert (mask, error) == (1, 0)
    assert solver.solve(x=x, method="greedy-ls", seed=7) == boolls(w, x, method="naive", seed=0)
    targets = BitMatrix.from_list([[1, 0], [0, 0], [1, 1]])
    h, total = solver.solve_all(targets, "zeta", 0)
    assert h.shape == (2, 2) and total == targets.hamming(w @ h)
    assert BoolLs(w=w).solve_all(x=targets, method="greedy", seed=3)[1] >= total
    seen = np.array([True, True, False])
    assert solver.solve_masked(x, seen) == boolls_masked(w=w, x=x, mask=seen, method="zeta", seed=0) == (1, 0)
    by_bits: tuple[BitMatrix, int] = solver.solve_all_masked(targets, BitMatrix.ones(3, 2))
    by_array = solver.solve_all_masked(x=targets, mask=np.ones((3, 2), bool), method="naive", seed=1)
    assert by_bits == by_array == (h, total)


def factorisation(x: BitMatrix) -> BmfResult:
    result = ao_bmf(x, 2)
    again = ao_bmf(x=x, r=2, method="zeta", max_iter=50, seed=0)
    assert repr(result) == repr(again)
    w: BitMatrix = result.w
    h: BitMatrix = result.h
    error: int = result.error
    iterations: int = result.iterations
    assert w.shape == (2, 2) and h.shape == (2, 3) and iterations >= 1
    assert x.hamming(result.reconstruct()) == error == x.hamming(w @ h)
    masked = ao_bmf_masked(x=x, mask=~BitMatrix.zeros(2, 3), r=2, method="zeta", max_iter=50, seed=0)
    assert repr(masked) == repr(ao_bmf_masked(x, np.ones((2, 3), bool), 2)) == repr(result)
    return result


def search(x: BitMatrix) -> SearchResult:
    seen: list[tuple[int, int, int]] = []
    result = factorize(x, 2)
    again = factorize(x=x, r=2, mask=np.ones((2, 3), bool), seed=0, effort=2, threads=1,
                      progress=lambda done, total, best: seen.append((done, total, best)))
    assert seen[-1] == (2, 2, again.error)
    w: BitMatrix = result.w
    h: BitMatrix = result.h
    counts: list[int] = [result.error, result.starts, result.iterations, result.moves, result.moves_kept]
    start: str = result.best_start
    assert x.hamming(w @ h) == counts[0] and start in ("cover", "association", "columns", "random")
    return result


def misuse(m: BitMatrix) -> None:
    # Each call raises at run time and is refused by the type checker.
    expect_failure(TypeError, lambda: m & 1)  # type: ignore[operator]
    expect_failure(TypeError, lambda: 1 & m)  # type: ignore[operator]
    expect_failure(TypeError, lambda: m[0])  # type: ignore[index]
    expect_failure(TypeError, lambda: BitMatrix(2, 2, fill=1))  # type: ignore[arg-type]
    expect_failure(TypeError, lambda: BitMatrix.from_list("01"))  # type: ignore[arg-type]
    expect_failure(TypeError, lambda: m.hamming([[1]]))  # type: ignore[arg-type]
    expect_failure(TypeError, lambda: boolls(m, [True, False]))  # type: ignore[arg-type]
    expect_failure(TypeError, lambda: ao_bmf(m))  # type: ignore[call-arg]
    expect_failure(TypeError, lambda: ao_bmf_masked(m, [[True]], 1))  # type: ignore[arg-type]
    expect_failure(TypeError, lambda: m < m)  # type: ignore[operator]
    expect_failure(TypeError, lambda: BitMatrix.from_indices(2, 3, [0.5], [1]))  # type: ignore[list-item]
    expect_failure(TypeError, BmfResult)
    expect_failure(TypeError, SearchResult)
    expect_failure(TypeError, lambda: factorize(m, 1, progress=3))  # type: ignore[arg-type]
    expect_failure(AttributeError, lambda: setattr(m, "rows", 4))


def main() -> None:
    assert Valdrix.__version__ == "0.1.1"
    m = construction()
    algebra(m)
    x = conversions()
    least_squares()
    factorisation(x)
    search(x)
    misuse(x)


if __name__ == "__main__":
    main()
