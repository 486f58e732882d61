"""``ao_bmf`` over a Dask cluster, bit for bit the single-machine result.

X lives on the workers twice, packed: as column blocks with every row (the H
step solves each column of X against W) and as transposed row blocks with
every column (the W step solves each row against H). Every block solves its
columns with one ``BoolLs`` and returns its part of the factor and its error;
a step reads its factor in those parts, where the step before left them. The
client only ever holds W, H and the error sums. The start, the stopping rule
and the ties are those of :func:`valdrix_learn.alternate`, which drives the
iterations here too.

``BMF`` with its default ``solver="search"`` starts each run from a
strong start instead (:meth:`DistributedMatrix.strong_start`): a bounded
sample of rows, drawn from the run's seed, is gathered to the client and
``Valdrix.factorize`` searches it; its patterns H, solved against every row
on the workers for W, start the same distributed alternation, with exact
solves. The sample is at most ``SAMPLE_CELLS`` cells (all of X when X is
that small), so the result depends on the seed and the effort, not on the
workers or threads. A search over the whole distributed matrix is not done.

With missing cells (NaN, or masked in masked chunks), every block also
holds its observed cells, the solves count those only, and the result is
``Valdrix.ao_bmf_masked``'s.

Every task is pure and every block is rebuilt from the task graph, so a
worker that dies mid-run costs only its recomputation: the result is the
same.

Needs ``dask[distributed]``: ``pip install "Valdrix[dask]"``.
"""
from __future__ import annotations

import bisect
import math
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any, SupportsIndex, cast

try:
    import dask.array as da
    from dask.delayed import delayed
    from dask.sizeof import sizeof
    from distributed import Client, get_client, wait
    from distributed import TimeoutError as DaskTimeoutError
except ImportError as e:
    raise ImportError(
        f'valdrix_learn.dask a besoin de Dask ({e.name} manque) : pip install "Valdrix[dask]"'
    ) from e

import numpy as np
from numpy.typing import NDArray

from Valdrix import BitMatrix, BoolLs, _start_columns, factorize

from ._alternate import (
    DEFAULT_MAX_ITER, DEFAULT_METHOD, DEFAULT_SEED, MAX_RANK, Step, check_arguments, iterate, solve_all,
)
from ._input import Cells, check_shape, read_cells, read_values, refuse_value

__all__ = ["DistributedMatrix", "DaskBmfResult", "ao_bmf", "sample_rows"]

# The most cells of the rows a strong start gathers to the client: the
# search's working set, some megabytes, whatever the size of X.
SAMPLE_CELLS = 1 << 22

# Blocks per layout and worker: the blocks of a lost worker are rebuilt
# across the others, a few at a time; each solving task builds its own
# BoolLs, cheap next to its solves.
BLOCKS_PER_WORKER = 4


def _bitmatrix_bytes(m: BitMatrix) -> int:
    # What Dask weighs when it places tasks and counts transfers; without it
    # a block would count as an object header.
    return int(m.rows) * ((int(m.cols) + 63) // 64) * 8


cast(Any, sizeof).register(BitMatrix)(_bitmatrix_bytes)


# Seconds between the checks that the workers a step waits for are alive.
_LIVENESS_PERIOD = 1.0


@dataclass(frozen=True)
class DaskBmfResult:
    """X ~ ``w @ h`` with ``error`` differing observed elements, after
    ``iterations`` iterations: what ``Valdrix.ao_bmf`` (``ao_bmf_masked``
    with missing cells) returns for the same arguments."""

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
    method: str = DEFAULT_METHOD,
    max_iter: SupportsIndex = DEFAULT_MAX_ITER,
    seed: SupportsIndex = DEFAULT_SEED,
    client: Client | None = None,
) -> DaskBmfResult:
    """``Valdrix.ao_bmf(x, r, method=method, max_iter=max_iter, seed=seed)``
    computed on a Dask cluster.

    ``x`` is a ``dask.array.Array`` of bool or of 0/1 numbers, in any
    chunking; a BitMatrix or any in-memory 0/1 matrix is cut into blocks here
    and sent. Missing cells (NaN, masked) make it
    ``Valdrix.ao_bmf_masked(x, observed, r, ...)``. ``client`` defaults to
    the current ``dask.distributed`` client. The arguments are checked
    before any factorisation work is sent, with ``ao_bmf``'s messages.
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
            check_shape(x.shape, "x")
            if math.isnan(x.shape[0]) or math.isnan(x.shape[1]):
                raise ValueError("x doit avoir une forme connue : appeler x.compute_chunk_sizes() d'abord")
            masked, shape = _check_values(self.client, x), x.shape
        else:
            x = read_cells(x, "x")
            masked, shape = x.observed is not None, x.bits.shape
        self.shape: tuple[int, int] = (int(shape[0]), int(shape[1]))
        self.masked = masked
        rows, cols = self.shape
        pieces = BLOCKS_PER_WORKER * len(workers)
        self.row_edges = _edges(rows, pieces)
        self.col_edges = _edges(cols, pieces)
        # Round robin, so that no worker holds a whole layout while there are
        # others; a block whose worker is gone is rebuilt elsewhere.
        if isinstance(x, da.Array):
            self.columns: list[Any] = self._assembled(  # futures of Blocks
                _piece_grids(x, [(0, rows, a, b) for a, b in zip(self.col_edges, self.col_edges[1:])], masked), False,
                workers)
            self.rows_t: list[Any] = self._assembled(
                _piece_grids(x, [(a, b, 0, cols) for a, b in zip(self.row_edges, self.row_edges[1:])], masked), True,
                workers)
        else:
            self.columns = [self.client.compute(delayed(b), workers=[workers[k % len(workers)]], allow_other_workers=True)
                            for k, b in enumerate(_blocks(x, _column_blocks, self.col_edges))]
            self.rows_t = [self.client.compute(delayed(b), workers=[workers[k % len(workers)]], allow_other_workers=True)
                           for k, b in enumerate(_blocks(x, _row_blocks_transposed, self.row_edges))]
        # The worker that holds each block, once it holds it; forgotten when a
        # worker is lost.
        self._homes: dict[str, str] = {}
        found = self._on_holders({k: (b, _column_summary, (b,)) for k, b in enumerate(self.columns)})
        summaries = [found[k] for k in range(len(self.columns))]
        self.ones = sum(ones for ones, _ in summaries)
        self.nonzero_columns = [int(c0 + j) for c0, (_, nz) in zip(self.col_edges, summaries) for j in nz]

    def _assembled(self, grids: list[list[list[Any]]], transposed: bool, workers: list[str]) -> list[Any]:
        """The blocks whose pieces are `grids`: the pieces are packed where
        their chunks lie, so only packed bits travel to a block's worker.
        (Placing the blocks' graphs whole would pull the chunks there.)"""
        pieces = iter(self.client.compute([p for grid in grids for row in grid for p in row]))
        return [self.client.submit(_assemble, [[next(pieces) for _ in row] for row in grid], transposed, pure=False,
                                   workers=[workers[k % len(workers)]], allow_other_workers=True)
                for k, grid in enumerate(grids)]

    def alternate(self, method: str, r: int, max_iter: int, seed: int) -> Iterator[Step]:
        """:func:`valdrix_learn.alternate` on this matrix, with arguments
        already checked (``check_arguments``)."""
        run = _Run(self, method)
        try:
            yield from iterate(self._start(r, seed), self.ones, self.shape[1], max_iter, run.h_step, run.w_step)
        finally:
            run.drop_ahead()

    def alternate_from(self, h: BitMatrix, method: str, max_iter: int) -> Iterator[Step]:
        """The same alternation from a start given as H (r x n): W for every
        row against `h` (one W step) is where it starts. With an exact
        method, no step is worse than `h` with that W."""
        if h.cols != self.shape[1] or not 1 <= h.rows <= MAX_RANK:
            raise ValueError(f"H de depart {h.rows} x {h.cols} : il faut de 1 a {MAX_RANK} lignes "
                             f"et {self.shape[1]} colonnes")
        run = _Run(self, method)
        try:
            w, _ = run.w_step(h)
            yield from iterate(w, self.ones, self.shape[1], max_iter, run.h_step, run.w_step)
        finally:
            run.drop_ahead()

    def strong_start(self, r: int, seed: int, effort: int, threads: int,
                     progress: Callable[[int, int, int], None] | None = None) -> BitMatrix:
        """H (r x n) of ``Valdrix.factorize`` on the rows :func:`sample_rows`
        draws from `seed`, gathered to the client with their observed cells:
        the search runs where it fits, and its patterns start the
        distributed alternation over every row (:meth:`alternate_from`).
        The same for any number of workers and `threads`."""
        sample = self.rows(sample_rows(self.shape, r, seed))
        return factorize(sample.bits, r, sample.observed, seed, effort, threads, progress).h

    def rows(self, indices: Sequence[int]) -> Cells:
        """X's rows at the sorted `indices`, from the row blocks that hold
        them, with their observed cells when X has missing ones."""
        calls = {}
        for k, (a, b) in enumerate(zip(self.row_edges, self.row_edges[1:])):
            lo, hi = bisect.bisect_left(indices, a), bisect.bisect_left(indices, b)
            if lo < hi:
                calls[k] = (self.rows_t[k], _pick_rows, (self.rows_t[k], [i - a for i in indices[lo:hi]]))
        found = self._on_holders(calls)
        parts = [_split(found[k]) for k in sorted(found)]
        cols = self.shape[1]
        if not parts:
            return Cells(BitMatrix.zeros(0, cols), BitMatrix.zeros(0, cols) if self.masked else None)
        bits = _stack([p for p, _ in parts], cols)
        if not self.masked:
            return Cells(bits, None)
        return Cells(bits, _stack([cast(BitMatrix, o) for _, o in parts], cols))

    def _start(self, r: int, seed: int) -> BitMatrix:
        """W whose column k is column chosen[k] of X: each column block
        contributes the chosen columns it holds."""
        chosen = _start_columns(self.nonzero_columns, r, seed)
        calls = {}
        for k, c0 in enumerate(self.col_edges[:-1]):
            picks = [(i, c - c0) for i, c in enumerate(chosen) if c0 <= c < self.col_edges[k + 1]]
            if picks:
                calls[k] = (self.columns[k], _pick_columns, (self.columns[k], r, picks))
        w = BitMatrix.zeros(self.shape[0], r)
        for part in self._on_holders(calls).values():
            w |= part
        return w

    def _on_holders(self, calls: dict[int, Call]) -> dict[int, Any]:
        """fn(*args) for every (block, fn, args), run on the worker that holds
        the block."""
        return self._collect(self._submit(calls), lambda: calls)[0]

    def _submit(self, calls: dict[int, Call], relies_on: frozenset[str] = frozenset()) -> _Submitted:
        """The tasks fn(*args), each bound to the worker that holds its block.
        Were the tasks free to move, Dask would copy blocks to idle workers,
        and over the iterations one worker would come to hold a whole layout.
        A block whose worker died has no holder until Dask has rebuilt it; its
        task goes wherever that happens. `relies_on`: the workers whose
        results the args are."""
        unknown = [block for block, _, _ in calls.values() if block.key not in self._homes]
        if unknown:
            self._homes.update((key, min(held)) for key, held in self.client.who_has(unknown).items() if held)
        tasks, homes = {}, set(relies_on)
        for k, (block, fn, args) in calls.items():
            home = self._homes.get(block.key)
            placed = {} if home is None else {"workers": [home], "allow_other_workers": False}
            tasks[k] = self.client.submit(fn, *args, pure=False, **placed)
            if home is not None:
                homes.add(home)
        return _Submitted(tasks, frozenset(homes))

    def _collect(self, submitted: _Submitted, calls: Callable[[], dict[int, Call]]) -> tuple[dict[int, Any], bool]:
        """The results of the submitted tasks, and whether they came. If a
        worker they rely on was lost, the step's tasks are submitted again
        from `calls()`, wherever their blocks are now."""
        results = self._results_while_homes_live(submitted)
        intact = results is not None
        while results is None:
            self._homes.clear()  # the lost worker's blocks are being rebuilt elsewhere
            results = self._results_while_homes_live(self._submit(calls()))
        return results, intact

    def _results_while_homes_live(self, submitted: _Submitted) -> dict[int, Any] | None:
        """The results of the tasks, or None once a worker they rely on is
        gone: a task bound to it, or a result lost with it and computed again
        there, would wait for it forever."""
        futures = list(submitted.tasks.values())
        patience = _LIVENESS_PERIOD  # for the transfer, which may take long while the workers live
        while True:
            try:
                with self.client.as_current():
                    cast(Any, wait)(futures, timeout=_LIVENESS_PERIOD)
            except DaskTimeoutError:
                if self._lost(submitted):
                    return None
                continue
            try:
                values = self.client.sync(lambda: self.client.gather(futures, asynchronous=True),
                                          callback_timeout=patience)
                return dict(zip(submitted.tasks, values))
            except DaskTimeoutError:
                if self._lost(submitted):
                    return None
                patience *= 2

    def _lost(self, submitted: _Submitted) -> bool:
        """Whether a worker the tasks rely on is gone; if so they are cancelled."""
        if submitted.homes <= set(self.client.scheduler_info()["workers"]):
            return False
        self.client.cancel(list(submitted.tasks.values()))
        return True


# A task on a block: (the block's future, fn, args).
Call = tuple[Any, Callable[..., Any], tuple[Any, ...]]

# A block of X, read with missing cells as 0, and its observed cells when
# some are missing.
Block = BitMatrix | tuple[BitMatrix, BitMatrix]


def _split(block: Block) -> tuple[BitMatrix, BitMatrix | None]:
    return block if isinstance(block, tuple) else (block, None)


@dataclass(frozen=True)
class _Submitted:
    """The tasks of one step, by block, and the workers they rely on: their
    own and those whose results they read."""

    tasks: dict[int, Any]
    homes: frozenset[str]


class _Run:
    """The two steps of one alternation on a DistributedMatrix.

    A step's tasks read its factor where the previous step left it, in parts
    on the workers, rather than from the client: W's parts feed the H step,
    and the W step is submitted as soon as the H step is, so the workers go
    from one to the other while the client gathers H. Whether an H step
    follows the W step, only the error tells the client; it is submitted
    then, and nothing is computed that may be thrown away.
    """

    def __init__(self, x: DistributedMatrix, method: str) -> None:
        self.x, self.method = x, method
        # The last W the client got, and the step whose parts make it (None
        # once parts were lost).
        self.placed: tuple[BitMatrix, _Submitted] | None = None
        # The W step submitted behind the H step, and the H it solves against.
        self.ahead: tuple[BitMatrix, _Submitted] | None = None

    def h_step(self, w: BitMatrix) -> BitMatrix:
        placed, self.placed = self.placed, None
        if placed is not None and placed[0] is w:
            submitted = self._behind(placed[1], self.x.columns)
        else:
            submitted = self.x._submit(self._from_client(w, self.x.columns))
        behind = self._behind(submitted, self.x.rows_t)
        parts, intact = self._collect(submitted, w, self.x.columns)
        h = _stack([ht for ht, _ in parts], w.cols).transpose()
        if intact:
            self.ahead = (h, behind)
        else:  # it would read lost parts
            self.x.client.cancel(list(behind.tasks.values()))
        return h

    def w_step(self, h: BitMatrix) -> tuple[BitMatrix, int]:
        ahead, self.ahead = self.ahead, None
        ht = h.transpose()
        if ahead is not None and ahead[0] is h:
            submitted = ahead[1]
        else:
            submitted = self.x._submit(self._from_client(ht, self.x.rows_t))
        parts, intact = self._collect(submitted, ht, self.x.rows_t)
        w = _stack([wp for wp, _ in parts], h.rows)
        self.placed = (w, submitted) if intact else None
        return w, sum(error for _, error in parts)

    def drop_ahead(self) -> None:
        if self.ahead is not None:
            self.x.client.cancel(list(self.ahead[1].tasks.values()))
        self.ahead = self.placed = None

    def _behind(self, before: _Submitted, blocks: list[Any]) -> _Submitted:
        """The step on `blocks` against the factor that the parts of `before`
        make, read where they lie."""
        parts = [before.tasks[k] for k in range(len(before.tasks))]
        return self.x._submit({k: (b, _solve_stacked, (parts, b, self.method)) for k, b in enumerate(blocks)},
                              before.homes)

    def _from_client(self, factor: BitMatrix, blocks: list[Any]) -> dict[int, Call]:
        shared = self.x.client.submit(_same, factor, pure=False)
        return {k: (b, _solve_columns, (shared, b, self.method)) for k, b in enumerate(blocks)}

    def _collect(self, submitted: _Submitted, factor: BitMatrix, blocks: list[Any]
                 ) -> tuple[list[tuple[BitMatrix, int]], bool]:
        """The step's parts in block order, and whether they are still on the
        workers: parts lost with a worker are solved again from the client's
        `factor`, and the next step then starts from the client too."""
        results, intact = self.x._collect(submitted, lambda: self._from_client(factor, blocks))
        return [results[k] for k in range(len(blocks))], intact


# ---------------------------------------------------------------- tasks (pure, run on the workers)


def _same(m: BitMatrix) -> BitMatrix:
    return m


def _solve_columns(w: BitMatrix, x: Block, method: str) -> tuple[BitMatrix, int]:
    """Every column of x against w, seed 0 as in ``ao_bmf``: the masks as
    rows (x.cols x w.cols) and the summed error over the observed cells."""
    h, error = solve_all(BoolLs(w), *_split(x), method)
    return h.transpose(), error


def _solve_stacked(parts: list[tuple[BitMatrix, int]], x: Block, method: str) -> tuple[BitMatrix, int]:
    """_solve_columns against the rows of the previous step's parts."""
    return _solve_columns(_stack([p for p, _ in parts], parts[0][0].cols), x, method)


def _column_summary(block: Block) -> tuple[int, list[int]]:
    """The observed ones of a column block and its columns that have one."""
    x = _split(block)[0]
    any_set = (BitMatrix.ones(1, x.rows) @ x).to_numpy()[0]
    return x.count_ones(), np.flatnonzero(any_set).tolist()


def _pick_rows(block: Block, local: list[int]) -> Block:
    """The rows of X at `local` within a transposed row block, as rows."""
    def pick(bt: BitMatrix) -> BitMatrix:
        return BitMatrix.from_packed(bt.transpose().to_packed()[local], bt.rows)

    bits, observed = _split(block)
    return pick(bits) if observed is None else (pick(bits), pick(observed))


def _pick_columns(block: Block, r: int, picks: Sequence[tuple[int, int]]) -> BitMatrix:
    """An m x r matrix whose column k is column j of x for every (k, j),
    its missing cells read as 0."""
    x = _split(block)[0]
    pick = BitMatrix.from_indices(x.cols, r, [j for _, j in picks], [k for k, _ in picks])
    return x @ pick


def _piece(a: NDArray[Any], rows: slice, cols: slice, masked: bool) -> Block:
    # Values were checked before the layout was built.
    ones, missing, _ = read_values(a[rows, cols])
    bits = BitMatrix.from_numpy(ones)
    if not masked:
        return bits
    return bits, BitMatrix.ones(*ones.shape) if missing is None else BitMatrix.from_numpy(~missing)


def _assemble(grid: list[list[Block]], transposed: bool) -> Block:
    """The block whose pieces are `grid` (rows of pieces, left to right), or
    its transpose."""
    if isinstance(grid[0][0], tuple):
        bits, observed = ([[cast(tuple[BitMatrix, BitMatrix], p)[k] for p in row] for row in grid] for k in (0, 1))
        return _assemble_bits(bits, transposed), _assemble_bits(observed, transposed)
    return _assemble_bits(cast(list[list[BitMatrix]], grid), transposed)


def _assemble_bits(grid: list[list[BitMatrix]], transposed: bool) -> BitMatrix:
    strips = [_stack([p.transpose() for p in row], row[0].rows).transpose() if len(row) > 1 else row[0]
              for row in grid]
    block = strips[0] if len(strips) == 1 else _stack(strips, strips[0].cols)
    return block.transpose() if transposed else block


def _first_bad(a: NDArray[Any], row0: int, col0: int) -> tuple[tuple[int, int, Any] | None, bool]:
    """The first element of the block that is neither 0, 1 nor missing, in
    row-major order, at its position in X; and whether any is missing."""
    _, missing, bad = read_values(a)
    if bad is None:
        return None, missing is not None
    i, j = np.unravel_index(bad, a.shape)
    return (row0 + int(i), col0 + int(j), a[i, j]), missing is not None


# ---------------------------------------------------------------- layout helpers (client side)


def sample_rows(shape: tuple[int, int], r: int, seed: int) -> list[int]:
    """The rows a strong start searches, sorted: every row when X has at
    most SAMPLE_CELLS cells, else as many rows as fit in them (at least r,
    so that every pattern may have one) drawn without replacement from
    `seed`. They depend on the shape and the seed only."""
    rows, cols = shape
    take = min(rows, max(r, SAMPLE_CELLS // max(cols, 1)))
    if take == rows:
        return list(range(rows))
    drawn = np.random.default_rng(seed).choice(rows, take, replace=False)
    return sorted(int(i) for i in drawn)


def _check_values(client: Any, x: Any) -> bool:
    """0/1 or missing values only, or the ValueError of the first other one
    in row-major order, as for any other input; whether any is missing.
    Bool arrays without masks need no pass."""
    masked = isinstance(x._meta, np.ma.MaskedArray)
    if x.dtype == np.bool_ and not masked:
        return False
    if x.dtype.kind not in "biuf":
        raise ValueError(f"x doit contenir des nombres 0 et 1, pas des valeurs de type {x.dtype}")
    row0, col0 = _chunk_edges(x)
    blocks = x.to_delayed()
    found = client.gather(client.compute([delayed(_first_bad)(blocks[i, j], row0[i], col0[j])
                                          for i in range(blocks.shape[0]) for j in range(blocks.shape[1])]))
    bad = [f for f, _ in found if f is not None]
    if bad:
        row, col, value = min(bad, key=lambda f: (f[0], f[1]))
        refuse_value("x", value, row, f"colonne {col}")
    return any(missing for _, missing in found)


def _edges(n: int, pieces: int) -> list[int]:
    """Block boundaries: about n / pieces each, at least one element."""
    count = max(1, min(n, pieces))
    return [n * k // count for k in range(count + 1)]


def _piece_grids(x: Any, regions: list[tuple[int, int, int, int]], masked: bool) -> list[list[list[Any]]]:
    """For every region X[r0:r1, c0:c1], its parts in each chunk it meets,
    as rows of pieces, each a Block made where its chunk lies."""
    row_edges, col_edges = _chunk_edges(x)
    chunks = x.to_delayed()
    return [[[delayed(_piece, pure=True)(chunks[i, j], _within(row_edges[i], r0, r1, row_edges[i + 1]),
                                         _within(col_edges[j], c0, c1, col_edges[j + 1]), masked)
              for j in _overlapping(col_edges, c0, c1)]
             for i in _overlapping(row_edges, r0, r1)]
            for r0, r1, c0, c1 in regions]


def _chunk_edges(x: Any) -> tuple[list[int], list[int]]:
    """Where the chunks of x start along each axis, and where the last ends."""
    return [int(e) for e in np.cumsum((0,) + x.chunks[0])], [int(e) for e in np.cumsum((0,) + x.chunks[1])]


def _overlapping(edges: list[int], a: int, b: int) -> range:
    """The chunks between `edges` that meet [a, b)."""
    return range(bisect.bisect_right(edges, a) - 1, bisect.bisect_left(edges, b))


def _within(start: int, a: int, b: int, stop: int) -> slice:
    """[a, b) within the chunk [start, stop), from its start."""
    return slice(max(a, start) - start, min(b, stop) - start)


def _blocks(x: Cells, cut: Callable[[BitMatrix, list[int]], list[BitMatrix]], edges: list[int]) -> list[Block]:
    """The blocks `cut` makes of read cells, with their observed cells if any is missing."""
    bits = cut(x.bits, edges)
    if x.observed is None:
        return list[Block](bits)
    return list(zip(bits, cut(x.observed, edges)))


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
