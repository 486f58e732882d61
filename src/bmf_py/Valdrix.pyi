"""Packed Boolean matrices, exact Boolean least squares and Boolean matrix
factorisation.

Every parameter of every function and method may be passed by position or by
keyword. Sizes, indices, ranks, iteration counts and seeds are unsigned 64-bit
integers: any ``int`` (``bool`` included) or object with ``__index__``; a
negative value raises ``OverflowError``. Error messages are in French.

Internal faults (a broken invariant, a size that cannot be represented,
NumPy's array interface missing) raise ``PanicException``, a class derived
directly from ``BaseException``; it is not an attribute of this module, so
``except Exception`` does not catch it.
"""

from collections.abc import Callable, Sequence
from pickle import PickleBuffer
from typing import Any, ClassVar, Final, NoReturn, SupportsIndex, final

import numpy as np
from numpy.typing import DTypeLike, NDArray

__all__ = [
    "BitMatrix",
    "BoolLs",
    "BmfResult",
    "ao_bmf",
    "ao_bmf_masked",
    "boolls",
    "boolls_masked",
    "methods",
    "SearchResult",
    "factorize",
    "boolls_search",
    "__version__",
]

__version__: Final[str]
"""The package version, ``"0.1.1"``."""

@final
class BitMatrix:
    """A dense Boolean matrix of at least 1 x 1, stored 64 elements per word.

    Rows are stored one after another, each in ceil(cols / 64) words. The
    shape never changes; elements change only through ``m[i, j] = value`` and
    the in-place operators ``&=``, ``|=`` and ``^=``. Every method that
    returns a matrix returns a new, independent one. The class cannot be
    subclassed, and instances take no extra attributes or weak references.
    """

    def __new__(cls, rows: SupportsIndex, cols: SupportsIndex, fill: bool | np.bool_ = False) -> BitMatrix:
        """A ``rows`` x ``cols`` matrix whose elements all equal ``fill``.

        ``fill`` must be ``True``, ``False`` or a NumPy Boolean scalar; ``1``
        and ``None`` raise ``TypeError``. A zero size raises ``ValueError``.
        """

    @staticmethod
    def zeros(rows: SupportsIndex, cols: SupportsIndex) -> BitMatrix:
        """A ``rows`` x ``cols`` matrix of ``False``; a zero size raises ``ValueError``."""

    @staticmethod
    def ones(rows: SupportsIndex, cols: SupportsIndex) -> BitMatrix:
        """A ``rows`` x ``cols`` matrix of ``True``; a zero size raises ``ValueError``."""

    @staticmethod
    def from_list(data: Sequence[Sequence[SupportsIndex]]) -> BitMatrix:
        """A matrix built from a sequence of rows of the integers 0 and 1.

        ``data[i][j]`` becomes element (i, j). Rows may be lists, tuples,
        ranges or ``bytes``; ``True`` and ``False`` count as 1 and 0. Raises
        ``ValueError`` for no rows, empty rows, rows of unequal length or a
        value other than 0 and 1, and ``TypeError`` for a ``str``, a
        non-sequence or a non-integer element.
        """

    @staticmethod
    def from_numpy(a: NDArray[np.bool_]) -> BitMatrix:
        """A matrix built from a two-dimensional NumPy array of dtype ``bool``.

        Any strides are read as they are (transposed, sliced and reversed
        views included). Arrays of another dtype (integer 0/1 arrays too) or
        another number of dimensions raise ``TypeError``; an axis of length 0
        raises ``ValueError``. The array is only read.
        """

    def to_list(self) -> list[list[int]]:
        """The elements as a new list of ``rows`` lists of ``cols`` ints, each 0 or 1."""

    def to_numpy(self) -> NDArray[np.bool_]:
        """The elements as a new C-contiguous, writable NumPy ``bool`` array of shape ``(rows, cols)``.

        The array is a copy: writing to it does not change the matrix.
        """

    def __array__(self, dtype: DTypeLike | None = None, copy: bool | None = None) -> NDArray[Any]:
        """NumPy's array protocol: ``np.asarray(m)`` is ``m.to_numpy()``.

        With a ``dtype`` the values are converted to it (``np.asarray(m,
        dtype=np.uint8)`` gives 0 and 1). The values are always copied, so
        ``copy=False`` raises ``ValueError``.
        """

    __array_ufunc__: ClassVar[None]
    """``None``, NumPy's way for a class to decline its ufuncs and operators.

    NumPy then never turns a matrix into an array on its own: ``m & array``,
    ``np.float64(2) - m`` and ``np.sum(m)`` raise ``TypeError``, and
    ``m == np.int32(0)`` compares by identity, as with any other object that
    is not a ``BitMatrix``. Functions that convert their arguments first
    (``np.asarray(m)``, ``np.count_nonzero(m)``) still take a matrix.
    """

    def to_packed(self) -> NDArray[np.uint8]:
        """The elements packed 8 per byte, as a new C-contiguous ``uint8`` array of shape ``(rows, ceil(cols / 8))``.

        Bit k of byte b in a row is column 8b + k, least significant bit
        first: the array equals ``np.packbits(m.to_numpy(), axis=1,
        bitorder="little")``, at an eighth of its memory.
        """

    @staticmethod
    def from_packed(a: NDArray[np.uint8], cols: SupportsIndex) -> BitMatrix:
        """The inverse of ``to_packed``: a matrix of ``cols`` columns from a two-dimensional ``uint8`` array.

        ``a`` must have ceil(cols / 8) columns; any strides are read as they
        are. Bits of the last byte past ``cols`` are padding and are dropped.
        Another dtype or a non-array raises ``TypeError``; another number of
        dimensions, another width or a zero size raises ``ValueError``.
        """

    def nonzero(self) -> tuple[NDArray[np.int64], NDArray[np.int64]]:
        """The row and column indices of the ``True`` elements, as two new ``int64`` arrays in row-major order.

        Equal to ``np.nonzero(m.to_numpy())``. With ``from_indices`` it is the
        way to and from SciPy's sparse matrices without a dense array.
        """

    @staticmethod
    def from_indices(
        rows: SupportsIndex,
        cols: SupportsIndex,
        row_indices: NDArray[np.integer[Any]] | Sequence[SupportsIndex],
        col_indices: NDArray[np.integer[Any]] | Sequence[SupportsIndex],
    ) -> BitMatrix:
        """A ``rows`` x ``cols`` matrix that is ``True`` at ``(row_indices[k], col_indices[k])`` for every k.

        The indices are one-dimensional integer arrays of any integer dtype
        and layout, or sequences of integers, of equal length; a pair may
        repeat. A pair outside the matrix, negative indices included, raises
        ``IndexError`` naming it, before any matrix is built; unequal lengths
        or an array of another number of dimensions raise ``ValueError``.
        """

    @property
    def shape(self) -> tuple[int, int]:
        """``(rows, cols)``."""

    @property
    def rows(self) -> int:
        """The number of rows (at least 1)."""

    @property
    def cols(self) -> int:
        """The number of columns (at least 1)."""

    def __getitem__(self, idx: tuple[SupportsIndex, SupportsIndex], /) -> bool:
        """``m[i, j]``: element (i, j).

        Indices never count from the end: a negative one raises
        ``OverflowError``, one past the shape ``IndexError``, anything but a
        pair of integers ``TypeError`` (or ``ValueError`` for a tuple of
        another length).
        """

    def __setitem__(self, idx: tuple[SupportsIndex, SupportsIndex], value: bool | np.bool_, /) -> None:
        """``m[i, j] = value``: set element (i, j) to ``True`` or ``False``.

        ``value`` must be a ``bool`` or a NumPy Boolean scalar (``1`` raises
        ``TypeError``). Indices are checked as for reading. Raises
        ``RuntimeError`` while another thread's solve or factorisation is
        reading the matrix.
        """

    def __delitem__(self, idx: tuple[SupportsIndex, SupportsIndex], /) -> NoReturn:
        """``del m[i, j]`` always raises ``NotImplementedError``: elements cannot be removed."""

    def __len__(self) -> int:
        """The number of rows, so every matrix is true in a Boolean context."""

    def copy(self) -> BitMatrix:
        """A new matrix equal to this one; later changes to either leave the other alone."""

    def __copy__(self) -> BitMatrix:
        """``copy.copy(m)``: the same as ``m.copy()``."""

    def __deepcopy__(self, memo: dict[int, object], /) -> BitMatrix:
        """``copy.deepcopy(m)``: the same as ``m.copy()``; a matrix refers to no other object."""

    def __reduce__(self) -> tuple[object, tuple[int, int, bytes]]:
        """The shape and the ``to_packed`` bytes, as pickles up to protocol 4 carry them.

        A pickle whose bytes do not fit its shape raises ``ValueError`` when loaded.
        """

    def __reduce_ex__(self, protocol: SupportsIndex, /) -> tuple[object, tuple[int, int, bytes | PickleBuffer]]:
        """Pickling: ``__reduce__`` below protocol 5; from 5 on, the same bytes in a ``PickleBuffer``.

        The buffer is read-only. Where a row's packed bytes fill whole 64-bit
        words (``cols`` a multiple of 64, or up to 7 short of one) it is the
        matrix's own memory, so a ``buffer_callback`` receives it without a
        copy and an in-band pickle writes the bytes once; either way loading
        makes a matrix that owns a copy. The buffers given to ``pickle.loads``
        may be any contiguous bytes-like objects of the right length.
        """

    def __sizeof__(self) -> int:
        """The bytes the object holds: its own and those of its words (``sys.getsizeof``)."""

    def __and__(self, other: BitMatrix, /) -> BitMatrix:
        """``a & b``: element-wise AND as a new matrix; different shapes raise ``ValueError``."""

    def __or__(self, other: BitMatrix, /) -> BitMatrix:
        """``a | b``: element-wise OR as a new matrix; different shapes raise ``ValueError``."""

    def __xor__(self, other: BitMatrix, /) -> BitMatrix:
        """``a ^ b``: element-wise XOR as a new matrix; different shapes raise ``ValueError``."""

    def __sub__(self, other: BitMatrix, /) -> BitMatrix:
        """``a - b``: ``True`` where a is ``True`` and b is ``False``, as a new matrix.

        Different shapes raise ``ValueError``.
        """

    def __matmul__(self, other: BitMatrix, /) -> BitMatrix:
        """``a @ b``: the Boolean product (OR of ANDs), a new ``a.rows`` x ``b.cols`` matrix.

        ``a.cols != b.rows`` raises ``ValueError``.
        """

    def __invert__(self) -> BitMatrix:
        """``~a``: every element negated, as a new matrix."""

    def __iand__(self, other: BitMatrix, /) -> BitMatrix:
        """``a &= b``: AND b into a in place; different shapes raise ``ValueError`` and leave a unchanged.

        When a cannot be modified in place (``a &= a``, or a matrix that a
        running solve is reading) the statement falls back to ``a & b`` and
        rebinds the name to the new matrix.
        """

    def __ior__(self, other: BitMatrix, /) -> BitMatrix:
        """``a |= b``: OR b into a in place; different shapes raise ``ValueError`` and leave a unchanged.

        Falls back to ``a | b`` (a new matrix) as ``&=`` does.
        """

    def __ixor__(self, other: BitMatrix, /) -> BitMatrix:
        """``a ^= b``: XOR b into a in place; different shapes raise ``ValueError`` and leave a unchanged.

        Falls back to ``a ^ b`` (a new matrix) as ``&=`` does, so ``m ^= m``
        binds m to a new all-``False`` matrix.
        """

    def __eq__(self, other: object, /) -> bool:
        """``True`` for a matrix of the same shape and elements; ``False`` for anything else."""

    def __ne__(self, other: object, /) -> bool:
        """The negation of ``==``."""

    def __hash__(self) -> int:
        """A hash of the shape and elements; equal matrices hash equal.

        The hash follows the contents, so a matrix must not be modified while
        it is a dictionary key or a set member.
        """

    def count_ones(self) -> int:
        """The number of ``True`` elements."""

    def row_count_ones(self, i: SupportsIndex) -> int:
        """The number of ``True`` elements in row ``i``; ``i >= rows`` raises ``IndexError``."""

    def hamming(self, other: BitMatrix) -> int:
        """The number of positions where this matrix and ``other`` differ.

        Different shapes raise ``ValueError``; a non-matrix raises ``TypeError``.
        """

    def count_andnot(self, other: BitMatrix) -> int:
        """The number of positions that are ``True`` here and ``False`` in ``other``.

        Different shapes raise ``ValueError``; a non-matrix raises ``TypeError``.
        """

    def transpose(self) -> BitMatrix:
        """A new ``cols`` x ``rows`` matrix, the transpose of this one."""

    def __str__(self) -> str:
        """A header ``"{rows}x{cols} ({n} bits a 1)"`` then one line of 0s and 1s per row.

        Columns are grouped by 8 with ``_`` and by 64 with ``|``. Beyond 20
        rows only the first and last 10 are shown, beyond 128 columns only the
        first and last 64.
        """

    def __repr__(self) -> str:
        """``"<BitMatrix {rows}x{cols}, {n} bits a 1>"``, n being the number of ``True`` elements."""

@final
class BoolLs:
    """An exact Boolean least-squares solver for a fixed W of m x r (r from 1 to 26).

    For a target x of m Booleans it finds the subset of W's columns whose OR
    is nearest to x in Hamming distance. Building it costs a table of 2^r
    counters, so build it once and solve many targets. It keeps no reference
    to W, never changes after construction, and may be used by several
    threads at once.

    ``method`` is one of :func:`methods` (case and surrounding spaces are
    ignored): ``"naive"`` and ``"zeta"`` search exhaustively and agree,
    ``"greedy"`` adds one column at a time, ``"greedy-ls"`` follows the greedy
    pass with a local search driven by ``seed`` (the only method that uses
    it). An unknown name raises ``ValueError``.
    """

    def __new__(cls, w: BitMatrix) -> BoolLs:
        """A solver for ``w``; more than 26 columns raises ``ValueError``."""

    @property
    def m(self) -> int:
        """The number of rows of W, the length every target must have."""

    @property
    def r(self) -> int:
        """The number of columns of W, the rank."""

    def solve(self, x: NDArray[np.bool_], method: str = "zeta", seed: SupportsIndex = 0) -> tuple[int, int]:
        """Solve one target: ``(h, error)``.

        ``x`` is a one-dimensional NumPy ``bool`` array of length m (any
        strides). Bit j of the mask ``h`` is set when column j of W is
        chosen; ``error`` is the Hamming distance between x and the OR of the
        chosen columns. The interpreter lock is released while solving.
        """

    def solve_all(self, x: BitMatrix, method: str = "zeta", seed: SupportsIndex = 0) -> tuple[BitMatrix, int]:
        """Solve every column of ``x`` (m rows): ``(H, error)``.

        Column k of the r-row matrix H is the mask found for column k of x
        (bit j in row j); ``error`` is the sum of the column errors, which is
        ``x.hamming(w @ H)``. The interpreter lock is released while solving.
        """

    def solve_masked(
        self, x: NDArray[np.bool_], mask: NDArray[np.bool_], method: str = "zeta", seed: SupportsIndex = 0
    ) -> tuple[int, int]:
        """:meth:`solve` counting only the rows where ``mask`` is ``True``.

        ``mask``, a one-dimensional NumPy ``bool`` array of x's length, marks
        the observed rows; ``error`` is the number of wrong observed rows.
        The exact methods find the smallest best h over the observed rows; a
        target with no observed row gives ``(0, 0)``, a full mask what
        :meth:`solve` gives. Another length raises ``ValueError``.
        """

    def solve_all_masked(
        self, x: BitMatrix, mask: BitMatrix | NDArray[np.bool_], method: str = "zeta", seed: SupportsIndex = 0
    ) -> tuple[BitMatrix, int]:
        """:meth:`solve_all` counting only the cells where ``mask`` is set.

        ``mask``, a BitMatrix or a two-dimensional NumPy ``bool`` array of
        x's shape, marks the observed cells; ``error`` is the number of wrong
        observed cells, ``(mask & (x ^ (w @ H))).count_ones()``. Another
        shape raises ``ValueError``. A BitMatrix mask cannot be modified
        while the call runs.
        """

    def __repr__(self) -> str:
        """``"<BoolLs m={m} r={r}>"``."""

@final
class BmfResult:
    """The result of :func:`ao_bmf` or :func:`ao_bmf_masked`: X (m x n) is approximated by ``w @ h``.

    Instances are made only by those functions and never change.
    """

    def __new__(cls, *args: object, **kwargs: object) -> NoReturn:
        """Always raises ``TypeError``: results come only from :func:`ao_bmf`."""

    @property
    def w(self) -> BitMatrix:
        """The left factor, m x r: a new copy on every read."""

    @property
    def h(self) -> BitMatrix:
        """The right factor, r x n: a new copy on every read."""

    @property
    def error(self) -> int:
        """The number of positions where X and ``w @ h`` differ (observed positions only for
        :func:`ao_bmf_masked`)."""

    @property
    def iterations(self) -> int:
        """The number of alternating iterations run."""

    def reconstruct(self) -> BitMatrix:
        """``w @ h`` as a new m x n matrix; its ``hamming`` distance to X is ``error``."""

    def __repr__(self) -> str:
        """``"<BmfResult error={error} iterations={iterations} rank={r}>"``."""

def ao_bmf(
    x: BitMatrix,
    r: SupportsIndex,
    method: str = "zeta",
    max_iter: SupportsIndex = 50,
    seed: SupportsIndex = 0,
) -> BmfResult:
    """Factorise ``x`` (m x n) as the Boolean product of w (m x r) and h (r x n).

    Starts w from up to r of x's non-zero columns, picked with ``seed`` (any
    left over stay zero), then alternately solves h for fixed w and w for
    fixed h by Boolean least squares with ``method``, until the error stops
    falling or ``max_iter`` iterations have run, and returns the best pair.
    That is a local optimum: another seed may do better. The same arguments
    always give the same result. ``r`` must be 1 to 26 and ``max_iter`` at
    least 1, and ``method`` must name a method (``ValueError`` otherwise). The
    interpreter lock is released while it runs; x cannot be modified meanwhile.
    """

def ao_bmf_masked(
    x: BitMatrix,
    mask: BitMatrix | NDArray[np.bool_],
    r: SupportsIndex,
    method: str = "zeta",
    max_iter: SupportsIndex = 50,
    seed: SupportsIndex = 0,
) -> BmfResult:
    """:func:`ao_bmf` counting only the cells where ``mask`` is set.

    ``mask``, a BitMatrix or a two-dimensional NumPy ``bool`` array of x's
    shape, marks the observed cells: every solve and the result's ``error``
    count those alone, so ``error`` is ``(mask & (x ^ (w @ h))).count_ones()``.
    The start is ao_bmf's on x with its unobserved cells read as 0; the values
    of x there are never read. A full mask gives what :func:`ao_bmf` gives.
    Another shape raises ``ValueError``.
    """

def boolls(w: BitMatrix, x: NDArray[np.bool_], method: str = "zeta", seed: SupportsIndex = 0) -> tuple[int, int]:
    """One-shot ``BoolLs(w).solve(x, method, seed)``: ``(h, error)``.

    Builds the solver's table on every call; use :class:`BoolLs` to solve
    many targets against one W.
    """

def boolls_masked(
    w: BitMatrix, x: NDArray[np.bool_], mask: NDArray[np.bool_], method: str = "zeta", seed: SupportsIndex = 0
) -> tuple[int, int]:
    """One-shot ``BoolLs(w).solve_masked(x, mask, method, seed)``: ``(h, error)``."""

def methods() -> list[str]:
    """A new list of the method names: ``["naive", "zeta", "greedy", "greedy-ls"]``."""

@final
class SearchResult:
    """The result of :func:`factorize`: X (m x n) is approximated by ``w @ h``, with an
    account of the search that found them.

    Instances are made only by :func:`factorize` and never change.
    """

    def __new__(cls, *args: object, **kwargs: object) -> NoReturn:
        """Always raises ``TypeError``: results come only from :func:`factorize`."""

    @property
    def w(self) -> BitMatrix:
        """The left factor, m x r: a new copy on every read."""

    @property
    def h(self) -> BitMatrix:
        """The right factor, r x n: a new copy on every read."""

    @property
    def error(self) -> int:
        """The number of observed positions where X and ``w @ h`` differ."""

    @property
    def starts(self) -> int:
        """The number of starts polished."""

    @property
    def best_start(self) -> str:
        """How the start the result came from was built: ``"cover"``, ``"association"``,
        ``"columns"`` (ao_bmf's) or ``"random"``."""

    @property
    def iterations(self) -> int:
        """The alternating iterations run over all starts and perturbations."""

    @property
    def moves(self) -> int:
        """The perturbations tried."""

    @property
    def moves_kept(self) -> int:
        """The perturbations that lowered the error of their chain."""

    @property
    def exact_solves(self) -> int:
        """The row and column solves of the steps whose answer is a best one."""

    @property
    def inexact_solves(self) -> int:
        """The solves whose search met its node budget first: their answer is the
        best found, never worse than the one it replaced."""

    def __repr__(self) -> str:
        """``"<SearchResult error={error} rank={r} starts={starts} best_start={best_start} iterations={iterations}>"``."""

def factorize(
    x: BitMatrix,
    r: SupportsIndex,
    mask: BitMatrix | NDArray[np.bool_] | None = None,
    seed: SupportsIndex = 0,
    effort: SupportsIndex = 32,
    threads: SupportsIndex = 0,
    progress: Callable[[int, int, int], object] | None = None,
) -> SearchResult:
    """Search for a good factorisation of ``x`` (m x n) as ``w @ h``, w m x r and h r x n.

    Strong starts (greedy concept covers, association candidates, ao_bmf's
    columns, random ones) are each polished by alternation, then perturbed
    and polished again while that lowers the error, in rounds that give the
    better half of the chains twice the work of the round before. Each step solves every
    row or column exactly unless its search meets a node budget (counted in
    ``exact_solves`` and ``inexact_solves``), and never raises the error. ``effort`` (1 to
    2^32) counts the chains run, each a start and its perturbations: work,
    not time. ``threads`` (0: one per processor) never changes the result,
    which depends on the arguments only. ``mask``, as for
    :func:`ao_bmf_masked`, marks the observed cells; None observes all.
    ``progress(done, total, best_error)`` is called as chains finish (will
    not run again), the last time with ``done == total``, on the calling thread; if it raises, the
    search stops and the exception propagates. ``r`` must be 1 to 1024 (``ValueError`` otherwise). The
    interpreter lock is released while it runs; x cannot be modified meanwhile.
    """

def boolls_search(
    w: BitMatrix, x: BitMatrix, mask: BitMatrix | NDArray[np.bool_] | None = None
) -> tuple[BitMatrix, int, int]:
    """Boolean least squares for every column of ``x`` (m x n) against ``w`` (m x r), at any rank:
    ``(h, error, inexact)``.

    Column j of h is the subset of w's columns whose OR is nearest to column j
    of x over its observed cells (``mask``, as for :func:`ao_bmf_masked`; None
    observes all). Where :class:`BoolLs` builds a table of 2^r entries (r up to
    26), this searches the subsets depth first with pruning and bounds, so its
    memory grows with r; r is at most 65536. An answer is a best one unless its
    search meets a budget of 65536 nodes: ``inexact`` counts those columns. The
    interpreter lock is released while it runs.
    """

def _start_columns(nonzero: Sequence[SupportsIndex], r: SupportsIndex, seed: SupportsIndex) -> list[int]:
    """The columns of X that ``ao_bmf`` starts W from, in W's column order:
    min(len(nonzero), r) of ``nonzero`` (X's non-zero columns, increasing),
    drawn with ``seed``. Private: for valdrix_learn's drivers of the alternation."""

def _judge_iteration(
    total: SupportsIndex, best_error: SupportsIndex, iteration: SupportsIndex, max_iter: SupportsIndex
) -> tuple[bool, bool]:
    """``(improved, go_on)`` after iteration ``iteration`` (from 1) of ``ao_bmf``
    whose W step left ``total`` wrong elements: whether it is kept, and whether
    the alternation goes on. Private: for valdrix_learn's drivers of the alternation."""
