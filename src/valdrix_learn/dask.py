"""``ao_bmf`` over a Dask cluster, bit for bit the single-machine result.

X lives on the workers twice, packed: as column blocks with every row (the H
step solves each column of X against W) and as transposed row blocks with
every column (the W step solves each row against H). Each iteration sends W,
then H, which are small (m x r and r x n bits); every block solves its
columns with one ``BoolLs`` and returns its part of the factor and its error.
The client only ever holds W, H and those sums. The start, the stopping rule
and the ties are those of :func:`valdrix_learn.alternate`, which drives the
iterations here too.

Every task is pure and every block is rebuilt from the task graph, so a
worker that dies mid-run costs only its recomputation: the result is the
same.

Needs ``dask[distributed]``: ``pip install "Valdrix[dask]"``.
"""
from __future__ import annotations

import math
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import Any, SupportsIndex, cast

try:
    import dask.array as da
    from dask.delayed import delayed
    from distributed import Client, get_client
except ImportError as e:
    raise ImportError(
        f'valdrix_learn.dask a besoin de Dask ({e.name} manque) : pip install "Valdrix[dask]"'
    ) from e

import numpy as np
from numpy.typing import NDArray

from Valdrix import BitMatrix, BoolLs

from ._alternate import Step, check_arguments, iterate, start_columns
from ._input import _bits, _check_shape, _refuse, to_bitmatrix

__all__ = ["DistributedMatrix", "DaskBmfResult", "ao_bmf"]

# Blocks per layout and worker: enough for the scheduler to even out blocks
# that solve at different speeds, few enough that each task's BoolLs table
# (2^r counters) is built a handful of times per step.
BLOCKS_PER_WORKER = 4


@dataclass(frozen=True)
class DaskBmfResult:
    """X ~ ``w @ h`` with ``error`` differing elements, after ``iterations``
    iterations: what ``Valdrix.ao_bmf`` returns for the same arguments."""

    w: BitMatrix
    h: BitMatrix
    error: int
    iterations: int

    def reconstruct(self) -> BitMatrix:
        return self.w @ self.h


def ao_bmf(
    x: object,
    r: SupportsIndex,
    *,
    method: str = "zeta",
    max_iter: SupportsIndex = 50,
    seed: SupportsIndex = 0,
    client: Client | None = None,
) -> DaskBmfResult:
    """``Valdrix.ao_bmf(x, r, method=method, max_iter=max_iter, seed=seed)``
    computed on a Dask cluster.

    ``x`` is a ``dask.array.Array`` of bool or of 0/1 numbers, in any
    chunking; a BitMatrix or any in-memory 0/1 matrix is cut into blocks here
    and sent. ``client`` defaults to the current ``dask.distributed`` client.
    The arguments are checked before any factorisation work is sent, with
    ``ao_bmf``'s messages.
    """
    checked = check_arguments(r, method, max_iter, seed)
    last = None
    for last in DistributedMatrix(x, client=client).alternate(method, *checked):
        pass
    assert last is not None  # the alternation yields at least once
    return DaskBmfResult(last.w, last.h, last.error, last.iteration)


class DistributedMatrix:
    """A 0/1 matrix laid out on a Dask cluster for factorisation: built once,
    it serves any number of runs (restarts with other seeds or ranks)."""

    def __init__(self, x: object, *, client: Client | None = None) -> None:
        # Dask's calls are untyped: the client is used as Any.
        self.client: Any = cast(Any, client if client is not None else get_client())
        workers = list(self.client.scheduler_info()["workers"])
        if not workers:
            raise RuntimeError("le client Dask n'a aucun worker")
        if isinstance(x, da.Array):
            _check_shape(x.shape, "x")
            if math.isnan(x.shape[0]) or math.isnan(x.shape[1]):
                raise ValueError("x doit avoir une forme connue : appeler x.compute_chunk_sizes() d'abord")
            _check_values(self.client, x)
        else:
            x = to_bitmatrix(x, "x")
        self.shape: tuple[int, int] = (int(x.shape[0]), int(x.shape[1]))
        rows, cols = self.shape
        pieces = BLOCKS_PER_WORKER * len(workers)
        self.row_edges = _edges(rows, pieces)
        self.col_edges = _edges(cols, pieces)
        if isinstance(x, da.Array):
            columns = _blocks_of_array(x, {0: -1, 1: _sizes(self.col_edges)}, _column_block)
            rows_t = _blocks_of_array(x, {0: _sizes(self.row_edges), 1: -1}, _row_block_transposed)
        else:
            columns = [delayed(b) for b in _column_blocks(x, self.col_edges)]
            rows_t = [delayed(b) for b in _row_blocks_transposed(x, self.row_edges)]
        # Round robin, so that no worker holds a whole layout while there are
        # others; a block whose worker is gone is rebuilt elsewhere.
        self.columns: list[Any] = [  # futures of BitMatrix blocks
            self.client.compute(b, workers=[workers[k % len(workers)]], allow_other_workers=True)
            for k, b in enumerate(columns)
        ]
        self.rows_t: list[Any] = [
            self.client.compute(b, workers=[workers[k % len(workers)]], allow_other_workers=True)
            for k, b in enumerate(rows_t)
        ]
        summaries = self.client.gather([self.client.submit(_column_summary, b) for b in self.columns])
        self.ones = sum(ones for ones, _ in summaries)
        self.nonzero_columns = [int(c0 + j) for c0, (_, nz) in zip(self.col_edges, summaries) for j in nz]

    def alternate(self, method: str, r: int, max_iter: int, seed: int) -> Iterator[Step]:
        """:func:`valdrix_learn.alternate` on this matrix, with arguments
        already checked (``check_arguments``)."""
        yield from iterate(self._start(r, seed), self.ones, self.shape[1], max_iter,
                           lambda w: self._h_step(w, method), lambda h: self._w_step(h, method))

    def _start(self, r: int, seed: int) -> BitMatrix:
        """W whose column k is column chosen[k] of X: each column block
        contributes the chosen columns it holds."""
        chosen = start_columns(self.nonzero_columns, r, seed)
        parts = []
        for k, c0 in enumerate(self.col_edges[:-1]):
            picks = [(i, c - c0) for i, c in enumerate(chosen) if c0 <= c < self.col_edges[k + 1]]
            if picks:
                parts.append(self.client.submit(_pick_columns, self.columns[k], r, picks, pure=False))
        w = BitMatrix.zeros(self.shape[0], r)
        for part in self.client.gather(parts):
            w |= part
        return w

    def _h_step(self, w: BitMatrix, method: str) -> BitMatrix:
        w_shared = self.client.submit(_same, w, pure=False)
        parts = self.client.gather([self.client.submit(_solve_columns, w_shared, b, method, pure=False)
                                    for b in self.columns])
        return _stack([ht for ht, _ in parts], w.cols).transpose()

    def _w_step(self, h: BitMatrix, method: str) -> tuple[BitMatrix, int]:
        ht_shared = self.client.submit(_same, h.transpose(), pure=False)
        parts = self.client.gather([self.client.submit(_solve_columns, ht_shared, b, method, pure=False)
                                    for b in self.rows_t])
        return _stack([w for w, _ in parts], h.rows), sum(error for _, error in parts)


# ---------------------------------------------------------------- tasks (pure, run on the workers)


def _same(m: BitMatrix) -> BitMatrix:
    return m


def _solve_columns(w: BitMatrix, x: BitMatrix, method: str) -> tuple[BitMatrix, int]:
    """Every column of x against w, seed 0 as in ``ao_bmf``: the masks as
    rows (x.cols x w.cols) and the summed error."""
    h, error = BoolLs(w).solve_all(x, method)
    return h.transpose(), error


def _column_summary(x: BitMatrix) -> tuple[int, list[int]]:
    """The ones of a column block and its non-zero columns."""
    any_set = (BitMatrix.ones(1, x.rows) @ x).to_numpy()[0]
    return x.count_ones(), np.flatnonzero(any_set).tolist()


def _pick_columns(x: BitMatrix, r: int, picks: Sequence[tuple[int, int]]) -> BitMatrix:
    """An m x r matrix whose column k is column j of x for every (k, j)."""
    pick = BitMatrix.from_indices(x.cols, r, [j for _, j in picks], [k for k, _ in picks])
    return x @ pick


def _column_block(a: NDArray[Any]) -> BitMatrix:
    return BitMatrix.from_numpy(_as_bits(a))


def _row_block_transposed(a: NDArray[Any]) -> BitMatrix:
    return BitMatrix.from_numpy(_as_bits(a).T)


def _as_bits(a: NDArray[Any]) -> NDArray[np.bool_]:
    # Values were checked before the layout was built.
    return _bits(a)[0]


def _first_bad(a: NDArray[Any], row0: int, col0: int) -> tuple[int, int, Any] | None:
    """The first element of the block that is not 0 or 1, in row-major order,
    at its position in X."""
    bad = _bits(a)[1]
    if bad is None:
        return None
    i, j = np.unravel_index(bad, a.shape)
    return row0 + int(i), col0 + int(j), a[i, j]


# ---------------------------------------------------------------- layout helpers (client side)


def _check_values(client: Any, x: Any) -> None:
    """0/1 values only, or the ValueError of the first other one in row-major
    order, as for any other input; bool arrays need no pass."""
    if x.dtype == np.bool_:
        return
    if x.dtype.kind not in "iuf":
        raise ValueError(f"x doit contenir des nombres 0 et 1, pas des valeurs de type {x.dtype}")
    row0 = np.cumsum((0,) + x.chunks[0])
    col0 = np.cumsum((0,) + x.chunks[1])
    blocks = x.to_delayed()
    found = client.gather(client.compute([delayed(_first_bad)(blocks[i, j], int(row0[i]), int(col0[j]))
                                          for i in range(blocks.shape[0]) for j in range(blocks.shape[1])]))
    bad = [f for f in found if f is not None]
    if bad:
        row, col, value = min(bad, key=lambda f: (f[0], f[1]))
        _refuse("x", value, row, f"colonne {col}")


def _edges(n: int, pieces: int) -> list[int]:
    """Block boundaries: about n / pieces each, at least one element."""
    count = max(1, min(n, pieces))
    return [n * k // count for k in range(count + 1)]


def _sizes(edges: list[int]) -> tuple[int, ...]:
    return tuple(b - a for a, b in zip(edges, edges[1:]))


def _blocks_of_array(x: Any, chunks: dict[int, Any], pack: Any) -> list[Any]:
    """The blocks of x rechunked to `chunks`, each packed by `pack` where it lies."""
    return [delayed(pack)(b) for b in x.rechunk(chunks).to_delayed().ravel()]


def _column_blocks(x: BitMatrix, edges: list[int]) -> list[BitMatrix]:
    """x[:, a:b] for every block, through the rows of x^T: no dense copy."""
    xt = x.transpose().to_packed()
    return [BitMatrix.from_packed(xt[a:b], x.rows).transpose() for a, b in zip(edges, edges[1:])]


def _row_blocks_transposed(x: BitMatrix, edges: list[int]) -> list[BitMatrix]:
    packed = x.to_packed()
    return [BitMatrix.from_packed(packed[a:b], x.cols).transpose() for a, b in zip(edges, edges[1:])]


def _stack(parts: list[BitMatrix], cols: int) -> BitMatrix:
    """The rows of every part, in order."""
    return BitMatrix.from_packed(np.concatenate([p.to_packed() for p in parts]), cols)
