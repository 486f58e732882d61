"""0/1 matrices from text files: CSV with blank (missing) cells, and FIMI
lists of the columns of each row's ones."""
from __future__ import annotations

import codecs
import itertools
import os
from pathlib import Path
from typing import Any, Literal, NoReturn

import numpy as np
from numpy.typing import NDArray

from ._bmf import _count

__all__ = ["read_matrix"]

_NEWLINE, _COMMA, _ZERO, _ONE = b"\n"[0], b","[0], b"0"[0], b"1"[0]
_SPACES = np.frombuffer(b" \t\r\v\f", np.uint8)  # around a field, or a whole blank line
_FIMI_BYTES = np.frombuffer(b"0123456789 \t\r\v\f\n", np.uint8)


def read_matrix(path: str | os.PathLike[str], *, format: Literal["csv", "fimi"] | None = None,
                n_columns: int | None = None) -> NDArray[Any]:
    """Read a 0/1 matrix from a CSV or FIMI file.

    Parameters
    ----------
    path : str or path-like
        The file. Its format follows its suffix: ``.fimi`` is FIMI, any
        other name is CSV.
    format : {"csv", "fimi"} or None, default=None
        The format, whatever the suffix.
    n_columns : int or None, default=None
        FIMI only: the number of columns, when the last ones may have no 1
        bit. None: the largest index plus one.

    Returns
    -------
    ndarray of shape (n_rows, n_columns)
        bool, or float64 with NaN on the missing cells when a CSV file has
        blank fields: ``BMF``, ``alternate`` and ``valdrix_learn.dask`` then
        count the observed cells only.

    Raises
    ------
    ValueError
        For a field other than ``0``, ``1`` or blank, a CSV row of another
        length than the first, a FIMI index that is not an integer of 0 or
        more, or not below ``n_columns``. The message names the line and
        the column, both counted from 1 as in an editor.

    Notes
    -----
    CSV: one row per line, fields separated by commas, each ``1``, ``0`` or
    blank for a missing cell; spaces around a field and blank lines are
    ignored, except in a file of one column, where a blank line would also
    be a missing cell: one before its last row is refused. FIMI: one row per
    line, the 0-based indices of the columns of its ones separated by
    spaces; an empty line is a row of zeros.

    Examples
    --------
    >>> X = read_matrix("breast.csv")  # doctest: +SKIP
    >>> BMF(23).fit(X).reconstruction_err_  # doctest: +SKIP
    """
    path = Path(path)
    if format is None:
        format = "fimi" if path.suffix.lower() == ".fimi" else "csv"
    if format not in ("csv", "fimi"):
        raise ValueError(f"format inconnu : {format!r} (il faut 'csv' ou 'fimi')")
    if format == "csv":
        if n_columns is not None:
            raise ValueError("n_columns ne vaut que pour le format fimi : un CSV a la largeur de ses lignes")
        return _read_csv(path.read_bytes().removeprefix(codecs.BOM_UTF8), path.name)
    width = None if n_columns is None else _count("n_columns", n_columns, 0)
    return _read_fimi(path.read_bytes(), path.name, width)


def _read_csv(data: bytes, name: str) -> NDArray[Any]:
    # Byte-wise on the whole file, so the cost is a few passes of NumPy per
    # byte, whatever the shape: once the spaces are out, a field is the byte
    # before each comma or newline, or that separator itself when blank.
    text = np.frombuffer(data, np.uint8)
    spaces = np.isin(text, _SPACES)
    if spaces.any():
        text = text[~spaces]
    if not text.size or text[-1] != _NEWLINE:
        text = np.append(text, np.uint8(_NEWLINE))
    newline = text == _NEWLINE
    after_newline = np.empty_like(newline)
    after_newline[0], after_newline[1:] = True, newline[:-1]
    lines = np.flatnonzero(~after_newline[newline]) + 1  # the file's line of each row
    blank_line = newline & after_newline
    if blank_line.any():
        text, newline = text[~blank_line], newline[~blank_line]
    if not text.size:
        return np.zeros((0, 0), bool)
    comma = text == _COMMA
    separator = newline | comma
    # A byte that is not a separator must be 0 or 1, and follow a separator.
    wrong = ~separator & ((text | 1) != _ONE)
    wrong[1:] |= ~separator[1:] & ~separator[:-1]
    before = np.empty_like(text)
    before[0], before[1:] = _NEWLINE, text[:-1]
    fields = before[separator]
    row_ends = np.flatnonzero(newline)
    widths = np.add.reduceat(comma.view(np.uint8), np.r_[0, row_ends[:-1] + 1], dtype=np.int64) + 1
    ragged = np.flatnonzero(widths != widths[0])
    if wrong.any():
        at = int(np.argmax(wrong))
        ends_before = np.flatnonzero(text[:at] == _NEWLINE)
        row = len(ends_before)
        if not ragged.size or row <= ragged[0]:
            start = int(ends_before[-1]) + 1 if row else 0
            column = int(np.count_nonzero(text[start:at] == _COMMA)) + 1
            shown = _line(data, lines[row]).split(b",")[column - 1].strip()
            raise ValueError(f"{name} ne doit contenir que des 0, des 1 et des cases vides : "
                             f"{shown.decode(errors='replace')!r} en ligne {lines[row]}, colonne {column}")
    if ragged.size:
        row, width, first = int(ragged[0]), int(widths[ragged[0]]), int(widths[0])
        where = f"colonne {min(width, first) + 1} {'manquante' if width < first else 'en trop'}"
        raise ValueError(f"{name} n'est pas rectangulaire : {where} en ligne {lines[row]} "
                         f"({width} colonnes, {first} en ligne {lines[0]})")
    if widths[0] == 1 and lines[-1] > len(lines):
        # There a blank line is also how a missing cell is written.
        line = int(np.argmax(lines != np.arange(1, len(lines) + 1))) + 1
        raise ValueError(f"{name} n'a qu'une colonne : sa ligne {line}, vide, serait une case manquante ou rien ; "
                         f"il faut l'ecrire avec au moins deux colonnes")
    cells = fields.reshape(len(row_ends), int(widths[0]))
    ones: NDArray[np.bool_] = cells == _ONE
    blank = (cells == _NEWLINE) | (cells == _COMMA)
    if not blank.any():
        return ones
    out: NDArray[np.float64] = ones.astype(np.float64)
    out[blank] = np.nan
    return out


def _read_fimi(data: bytes, name: str, n_columns: int | None) -> NDArray[np.bool_]:
    text = np.frombuffer(data, np.uint8)
    wrong = ~np.isin(text, _FIMI_BYTES)
    if wrong.any():  # a sign, a point, a letter: not an index
        at = int(np.argmax(wrong))
        line = int(np.count_nonzero(text[:at] == _NEWLINE)) + 1
        _refuse_index(name, _token_at(data, at).decode(errors="replace"), line)
    rows = data.split(b"\n")
    if rows[-1] == b"":  # the last row's newline ends it, and a file without rows has none
        rows.pop()
    tokens = [row.split() for row in rows]
    counts = np.fromiter(map(len, tokens), np.int64, len(tokens))
    flat = np.array(list(itertools.chain.from_iterable(tokens)), dtype=bytes)
    try:
        columns = flat.astype(np.int64)
    except OverflowError:  # more than 18 digits
        k = next(k for k, t in enumerate(flat) if int(t) > np.iinfo(np.int64).max)
        _refuse_index(name, flat[k].decode(), int(np.searchsorted(np.cumsum(counts), k, "right")) + 1)
    row_of = np.repeat(np.arange(len(tokens)), counts)
    width = int(columns.max()) + 1 if columns.size else 0
    if n_columns is not None:
        if width > n_columns:
            k = int(np.argmax(columns >= n_columns))
            raise ValueError(f"{name} a un 1 en colonne {columns[k]}, en ligne {row_of[k] + 1}, "
                             f"au-dela des n_columns={n_columns} colonnes")
        width = n_columns
    out = np.zeros((len(tokens), width), bool)
    out[row_of, columns] = True
    return out


def _line(data: bytes, number: int) -> bytes:
    """Line ``number`` of the file, counted from 1."""
    return data.split(b"\n", number)[number - 1]


def _token_at(data: bytes, at: int) -> bytes:
    """The run of non-space bytes around byte ``at``."""
    start, end = at, at + 1
    while start and not data[start - 1:start].isspace():
        start -= 1
    while end < len(data) and not data[end:end + 1].isspace():
        end += 1
    return data[start:end]


def _refuse_index(name: str, token: str, line: int) -> NoReturn:
    raise ValueError(f"{name} ne doit contenir que des indices de colonne entiers d'au moins 0 : "
                     f"{token!r} en ligne {line}")
