"""The alternating optimisation of ``Valdrix.ao_bmf``, one iteration at a time.

Every step is the module's own: the same start and the same stopping rule,
both taken from the module itself, the same solves (each a
``BoolLs(...).solve_all(...)``, run without the interpreter lock) and the same
ties, so the last state is ``ao_bmf``'s result bit for bit. With missing
cells, the solves are ``solve_all_masked`` and the result is
``ao_bmf_masked``'s.
"""
from __future__ import annotations

import inspect
import operator
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import SupportsIndex

import numpy as np

from Valdrix import BitMatrix, BoolLs, _judge_iteration, _start_columns, ao_bmf

from ._input import Cells, read_cells

__all__ = [
    "DEFAULT_MAX_ITER", "DEFAULT_METHOD", "DEFAULT_SEED", "MAX_RANK", "Step", "alternate", "check_arguments",
    "check_method", "iterate", "solve_all",
]

MAX_RANK = 26  # the solver's table has 2^r counters

# ao_bmf's defaults, as its signature shows them: every entry point here
# that stands for ao_bmf offers the same.
_AO_BMF = inspect.signature(ao_bmf).parameters
DEFAULT_METHOD: str = _AO_BMF["method"].default
DEFAULT_MAX_ITER: int = _AO_BMF["max_iter"].default
DEFAULT_SEED: int = _AO_BMF["seed"].default

_U64_MAX = (1 << 64) - 1


@dataclass(frozen=True)
class Step:
    """The best factorisation after ``iteration`` iterations: X ~ ``w @ h``.

    ``w`` (m x r) and ``h`` (r x n) belong to the caller; ``error`` is the
    number of observed positions where X and ``w @ h`` differ.
    """

    iteration: int
    error: int
    w: BitMatrix
    h: BitMatrix


def _unsigned(name: str, value: SupportsIndex) -> int:
    v = operator.index(value)
    if not 0 <= v <= _U64_MAX:
        raise OverflowError(f"{name} doit etre un entier de 0 a 2^64 - 1, pas {v}")
    return v


def check_method(method: str) -> None:
    """The module's own check, so that the names and the message stay its own."""
    one = BitMatrix(1, 1)
    BoolLs(one).solve_all(one, method)


def check_rank(r: int) -> None:
    if r == 0:
        raise ValueError("r doit valoir au moins 1")
    if r > MAX_RANK:
        raise ValueError(f"rang {r} trop grand : le tableau interne ferait 2^{r} entrees")


def _start(x: BitMatrix, xt: BitMatrix, r: int, seed: int) -> BitMatrix:
    """W whose column k is column chosen[k] of X, the others zero: the
    transpose of (one bit per row) @ X^T, which copies the chosen rows of X^T."""
    any_set = (BitMatrix.ones(1, x.rows) @ x).to_numpy()[0]
    chosen = _start_columns(np.flatnonzero(any_set).tolist(), r, seed)
    pick = BitMatrix.from_indices(r, x.cols, range(len(chosen)), chosen)
    return (pick @ xt).transpose()


def alternate(
    x: object,
    r: SupportsIndex,
    *,
    method: str = DEFAULT_METHOD,
    max_iter: SupportsIndex = DEFAULT_MAX_ITER,
    seed: SupportsIndex = DEFAULT_SEED,
) -> Iterator[Step]:
    """Run ``ao_bmf(x, r, method=method, max_iter=max_iter, seed=seed)`` one
    iteration at a time, yielding a :class:`Step` after each.

    Each step holds the best pair so far, exactly what ``ao_bmf`` would return
    had it stopped there: errors never rise, and the iteration that does not
    improve (the last one) yields the previous pair again with its own number.
    Leaving the loop stops the work. ``x`` is any 0/1 matrix that
    :class:`BMF` accepts; with missing cells (NaN, None, ``pd.NA``, masked)
    it runs ``ao_bmf_masked`` with the observed cells as the mask. The
    arguments are checked here, before the first step, in ``ao_bmf``'s order
    and with its messages.
    """
    cells = read_cells(x, "x")
    if cells.bits is x:
        cells = Cells(cells.bits.copy(), None)  # the caller may change theirs between steps
    return _steps(cells, method, *check_arguments(r, method, max_iter, seed))


def check_arguments(r: SupportsIndex, method: str, max_iter: SupportsIndex, seed: SupportsIndex) -> tuple[int, int, int]:
    """``ao_bmf``'s checks of everything but x, in its order and with its
    messages; the rank, the iteration bound and the seed as ints."""
    rank, iterations, start = _unsigned("r", r), _unsigned("max_iter", max_iter), _unsigned("seed", seed)
    check_method(method)
    check_rank(rank)
    if iterations == 0:
        raise ValueError("max_iter doit valoir au moins 1")
    return rank, iterations, start


def _steps(cells: Cells, method: str, r: int, max_iter: int, seed: int) -> Iterator[Step]:
    # Missing cells read as 0 in x: the start and the error of an all-zero H
    # are those of x & observed, as in ao_bmf_masked.
    x, observed = cells.bits, cells.observed
    xt = x.transpose()
    observed_t = None if observed is None else observed.transpose()

    def h_step(w: BitMatrix) -> BitMatrix:
        return solve_all(BoolLs(w), x, observed, method)[0]

    def w_step(h: BitMatrix) -> tuple[BitMatrix, int]:
        wt, total = solve_all(BoolLs(h.transpose()), xt, observed_t, method)
        return wt.transpose(), total

    yield from iterate(_start(x, xt, r, seed), x.count_ones(), x.cols, max_iter, h_step, w_step)


def solve_all(solver: BoolLs, x: BitMatrix, observed: BitMatrix | None, method: str) -> tuple[BitMatrix, int]:
    """Every column of x, counting only its observed cells (all of them when
    ``observed`` is None), with seed 0 as in ``ao_bmf``."""
    if observed is None:
        return solver.solve_all(x, method)
    return solver.solve_all_masked(x, observed, method)


def iterate(
    w: BitMatrix,
    ones: int,
    cols: int,
    max_iter: int,
    h_step: Callable[[BitMatrix], BitMatrix],
    w_step: Callable[[BitMatrix], tuple[BitMatrix, int]],
) -> Iterator[Step]:
    """The alternation from the start ``w``, whoever solves its two steps:
    ``h_step(w)`` is H for fixed W (every column of X), ``w_step(h)`` is W for
    fixed H (every row) with the error of ``W @ h``. Only the second error
    counts; an all-zero H, of error ``ones``, is where the search starts.
    Whether an iteration is kept, and whether another follows, is
    ``ao_bmf``'s own rule."""
    best_w, best_h, best_error = w, BitMatrix.zeros(w.cols, cols), ones
    iteration = 0
    go_on = True
    while go_on:
        h = h_step(w)
        w, total = w_step(h)
        iteration += 1
        improved, go_on = _judge_iteration(total, best_error, iteration, max_iter)
        if improved:
            best_w, best_h, best_error = w, h, total
        yield Step(iteration, best_error, best_w.copy(), best_h.copy())
