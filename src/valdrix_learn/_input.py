"""Any 0/1 matrix a user may hold, as a BitMatrix, with its missing cells.

Accepted: a BitMatrix; a NumPy array (or anything ``numpy.asarray`` takes) of
bool, or of integers or floats that are all 0 or 1; a NumPy masked array of
such values; a SciPy sparse matrix or array whose entries are 0 or 1; a
pandas DataFrame of such columns. A cell is missing when it is masked, NaN,
None or ``pd.NA`` (:func:`read_cells`; :func:`to_bitmatrix` refuses it). A
sparse matrix has none: an absent entry is 0. Anything else raises ValueError
naming the problem and the first offending position, in row-major order.
"""
from __future__ import annotations

import numbers
import sys
from dataclasses import dataclass
from typing import Any, NoReturn

import numpy as np
from numpy.typing import NDArray
from scipy import sparse  # type: ignore[import-untyped, unused-ignore]

from Valdrix import BitMatrix

__all__ = ["Cells", "EmptyMatrixError", "check_shape", "read_cells", "read_values", "refuse_value", "to_bitmatrix"]


class EmptyMatrixError(ValueError):
    """A matrix without rows or without columns; ``shape`` says which."""

    def __init__(self, name: str, shape: tuple[int, int]) -> None:
        super().__init__(f"{name} est vide ({shape[0]} x {shape[1]}) : il faut au moins une ligne et une colonne")
        self.shape = shape


@dataclass(frozen=True)
class Cells:
    """A 0/1 matrix read with its missing cells: ``bits`` holds 0 where a
    cell is missing, ``observed`` a 1 where it is not, or is None when no
    cell is missing (the unmasked solvers then run, as for any 0/1 matrix)."""

    bits: BitMatrix
    observed: BitMatrix | None

    @property
    def observed_count(self) -> int:
        return self.bits.rows * self.bits.cols if self.observed is None else self.observed.count_ones()


def read_cells(data: object, name: str = "X") -> Cells:
    """``data`` as bits and observed cells; a BitMatrix or Cells is taken as it is, not copied."""
    return _read_matrix(data, name, True)


def to_bitmatrix(data: object, name: str = "X") -> BitMatrix:
    """``data`` as a BitMatrix, every cell 0 or 1: a missing cell is refused
    as any other value; a BitMatrix is returned as it is, not copied."""
    return _read_matrix(data, name, False).bits


def _read_matrix(data: object, name: str, allow_missing: bool) -> Cells:
    if isinstance(data, Cells) and allow_missing:
        return data
    if isinstance(data, BitMatrix):
        return Cells(data, None)
    if sparse.issparse(data):
        return Cells(_from_sparse(data, name), None)
    pandas = sys.modules.get("pandas")  # a DataFrame can only exist once pandas is imported
    if pandas is not None and isinstance(data, pandas.DataFrame):
        return _from_frame(data, name, allow_missing)
    try:
        a = data if np.ma.isMaskedArray(data) else np.asarray(data)
    except (ValueError, TypeError) as e:  # ragged nested sequences and the like
        raise ValueError(f"{name} n'est pas une matrice : {e}") from None
    check_shape(a.shape, name)
    ones, missing, bad = read_values(a, allow_missing)
    if bad is not None:
        i, j = np.unravel_index(bad, a.shape)
        refuse_value(name, a[i, j], int(i), f"colonne {int(j)}")
    return _cells(ones, missing)


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


_ZERO, _ONE, _MISSING, _BAD = 0, 1, 2, 3


def _code(v: object) -> int:
    if isinstance(v, (numbers.Real, np.bool_)):
        return _ONE if v == 1 else _ZERO if v == 0 else _MISSING if v != v else _BAD  # only NaN differs from itself
    pandas = sys.modules.get("pandas")
    return _MISSING if v is None or (pandas is not None and v is pandas.NA) else _BAD


def _read(a: NDArray[Any], masked: NDArray[np.bool_] | None = None, allow_missing: bool = True
          ) -> tuple[NDArray[np.bool_], NDArray[np.bool_] | None, int | None]:
    """The elements of ``a`` as bool (0 where missing); where they are
    missing (NaN, None, pd.NA, or set in ``masked``), or None if nowhere; and
    the flat (C-order) index of the first element that is neither 0 nor 1
    nor, if ``allow_missing``, missing, or None."""
    missing: NDArray[np.bool_] | None = None
    if a.dtype == np.bool_:
        ones, bad = a, None
    elif a.dtype.kind in "iu":
        ones = a == 1
        bad = ~(ones | (a == 0))
    elif a.dtype.kind == "f":
        ones = a == 1
        missing = np.isnan(a)
        bad = ~(ones | (a == 0) | missing)
    else:  # objects, strings, complex, dates: element by element
        codes = np.frompyfunc(_code, 1, 1)(a).astype(np.uint8)
        ones, missing, bad = codes == _ONE, codes == _MISSING, codes == _BAD
    if masked is not None:
        ones = ones & ~masked
        missing = masked if missing is None else missing | masked
        bad = None if bad is None else bad & ~masked
    if missing is not None and not missing.any():
        missing = None
    if missing is not None and not allow_missing:
        bad, missing = (missing if bad is None else bad | missing), None
    first = None
    if bad is not None and bad.size:
        k = int(np.argmax(bad))  # argmax reads in C order and stops at the first True
        first = k if bad.flat[k] else None
    return ones, missing, first


def read_values(a: NDArray[Any], allow_missing: bool = True
                ) -> tuple[NDArray[np.bool_], NDArray[np.bool_] | None, int | None]:
    """:func:`_read` of an array, or of a masked array's data and mask."""
    if np.ma.isMaskedArray(a):
        return _read(np.asarray(np.ma.getdata(a)), np.ma.getmaskarray(a), allow_missing)
    return _read(np.asarray(a), None, allow_missing)


def _cells(ones: NDArray[np.bool_], missing: NDArray[np.bool_] | None) -> Cells:
    return Cells(BitMatrix.from_numpy(ones), None if missing is None else BitMatrix.from_numpy(~missing))


def _from_frame(frame: Any, name: str, allow_missing: bool) -> Cells:
    rows, cols = frame.shape
    check_shape((rows, cols), name)
    out = np.empty((rows, cols), dtype=bool, order="F")
    missing: NDArray[np.bool_] | None = None
    first: tuple[int, int] | None = None
    for j in range(cols):
        bits, gaps, bad = _read(np.asarray(frame.iloc[:, j].to_numpy()), allow_missing=allow_missing)
        if bad is not None and (first is None or bad < first[0]):
            first = (bad, j)
        out[:, j] = bits
        if gaps is not None:
            if missing is None:
                missing = np.zeros((rows, cols), dtype=bool, order="F")
            missing[:, j] = gaps
    if first is not None:
        i, j = first
        refuse_value(name, frame.iloc[i, j], i, f"colonne {_shown(frame.columns[j])!r}")
    return _cells(out, missing)


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
        bad = np.flatnonzero(np.frompyfunc(_code, 1, 1)(data).astype(np.uint8) > _ONE)
    if bad.size:
        k = bad[np.lexsort((c[bad], r[bad]))[0]]
        if _code(data[k]) == _MISSING:
            # An absent entry is 0, so a stored one cannot say "unknown".
            raise ValueError(f"{name} est creuse : une case absente y vaut 0 et une case manquante n'y a pas de sens "
                             f"({_shown(data[k])!r} en ligne {int(r[k])}, colonne {int(c[k])}) ; "
                             f"donner une matrice dense pour des cases manquantes")
        refuse_value(name, data[k], int(r[k]), f"colonne {int(c[k])}")
    keep = data != 0  # stored zeros stay zeros
    return BitMatrix.from_indices(rows, cols, r[keep], c[keep])
