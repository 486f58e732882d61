"""Any 0/1 matrix a user may hold, as a BitMatrix.

Accepted: a BitMatrix; a NumPy array (or anything ``numpy.asarray`` takes) of
bool, or of integers or floats that are all 0 or 1; a SciPy sparse matrix or
array whose entries are 0 or 1; a pandas DataFrame of such columns. Anything
else raises ValueError naming the problem and the first offending position,
in row-major order.
"""
from __future__ import annotations

import numbers
import sys
from typing import Any, NoReturn

import numpy as np
from numpy.typing import NDArray
from scipy import sparse  # type: ignore[import-untyped, unused-ignore]

from Valdrix import BitMatrix

__all__ = ["EmptyMatrixError", "check_shape", "read_bits", "refuse_value", "to_bitmatrix"]


class EmptyMatrixError(ValueError):
    """A matrix without rows or without columns; ``shape`` says which."""

    def __init__(self, name: str, shape: tuple[int, int]) -> None:
        super().__init__(f"{name} est vide ({shape[0]} x {shape[1]}) : il faut au moins une ligne et une colonne")
        self.shape = shape


def to_bitmatrix(data: object, name: str = "X") -> BitMatrix:
    """``data`` as a BitMatrix; a BitMatrix is returned as it is, not copied."""
    if isinstance(data, BitMatrix):
        return data
    if sparse.issparse(data):
        return _from_sparse(data, name)
    pandas = sys.modules.get("pandas")  # a DataFrame can only exist once pandas is imported
    if pandas is not None and isinstance(data, pandas.DataFrame):
        return _from_frame(data, name)
    try:
        a = np.asarray(data)
    except (ValueError, TypeError) as e:  # ragged nested sequences and the like
        raise ValueError(f"{name} n'est pas une matrice : {e}") from None
    check_shape(a.shape, name)
    bits, bad = read_bits(a)
    if bad is not None:
        i, j = np.unravel_index(bad, a.shape)
        refuse_value(name, a[i, j], int(i), f"colonne {int(j)}")
    return BitMatrix.from_numpy(bits)


def check_shape(shape: tuple[int, ...], name: str) -> None:
    """A matrix: two dimensions, neither of them empty."""
    if len(shape) != 2:
        raise ValueError(f"{name} doit etre une matrice a 2 dimensions, pas un tableau a {len(shape)} dimension(s)")
    if shape[0] == 0 or shape[1] == 0:
        raise EmptyMatrixError(name, (shape[0], shape[1]))


def refuse_value(name: str, value: object, row: int, column: str) -> NoReturn:
    """The ValueError of the first element that is not 0 or 1."""
    raise ValueError(f"{name} ne doit contenir que des 0 et des 1 : {_shown(value)!r} en ligne {row}, {column}")


def _shown(value: object) -> object:
    """NumPy scalars as the Python values they hold: 2.5, nan, 50, not np.float64(2.5)."""
    return value.item() if isinstance(value, np.generic) else value


def _is_bit(v: object) -> bool:
    return isinstance(v, (numbers.Real, np.bool_)) and (v == 0 or v == 1)


def read_bits(a: NDArray[Any]) -> tuple[NDArray[np.bool_], int | None]:
    """The elements of ``a`` as bool, and the flat (C-order) index of the
    first one that is not 0 or 1, or None."""
    if a.dtype == np.bool_:
        return a, None
    if a.dtype.kind in "iuf":
        ones = a == 1
        bad = ~(ones | (a == 0))  # NaN is neither
    else:  # strings, objects, complex, dates: element by element
        ok = np.frompyfunc(_is_bit, 1, 1)(a).astype(bool)
        ones = np.zeros(a.shape, dtype=bool)
        ones[ok] = a[ok] == 1
        bad = ~ok
    first = int(np.argmax(bad))  # argmax reads in C order and stops at the first True
    return ones, (first if bad.size and bad.flat[first] else None)


def _from_frame(frame: Any, name: str) -> BitMatrix:
    rows, cols = frame.shape
    check_shape((rows, cols), name)
    out = np.empty((rows, cols), dtype=bool, order="F")
    first: tuple[int, int] | None = None
    for j in range(cols):
        bits, bad = read_bits(np.asarray(frame.iloc[:, j].to_numpy()))
        if bad is not None and (first is None or bad < first[0]):
            first = (bad, j)
        out[:, j] = bits
    if first is not None:
        i, j = first
        refuse_value(name, frame.iloc[i, j], i, f"colonne {_shown(frame.columns[j])!r}")
    return BitMatrix.from_numpy(out)


def _from_sparse(s: Any, name: str) -> BitMatrix:
    """In O(nnz + rows + cols): no dense intermediate."""
    check_shape(s.shape, name)
    rows, cols = s.shape
    if s.format not in ("csr", "csc"):
        s = s.tocsr()  # a new matrix
    elif not s.has_canonical_format:
        s = s.copy()  # the caller's matrix stays as it is
    if not s.has_canonical_format:
        s.sum_duplicates()  # a value stored twice is the sum of both, as in the dense matrix
    outer = np.repeat(np.arange(s.shape[0] if s.format == "csr" else s.shape[1]), np.diff(s.indptr))
    r, c = (outer, s.indices) if s.format == "csr" else (s.indices, outer)
    data = s.data
    if data.dtype.kind in "biuf":
        bad = np.flatnonzero((data != 0) & (data != 1))
    else:
        bad = np.flatnonzero(~np.frompyfunc(_is_bit, 1, 1)(data).astype(bool))
    if bad.size:
        k = bad[np.lexsort((c[bad], r[bad]))[0]]
        refuse_value(name, data[k], int(r[k]), f"colonne {int(c[k])}")
    keep = data != 0  # stored zeros stay zeros
    return BitMatrix.from_indices(rows, cols, r[keep], c[keep])
