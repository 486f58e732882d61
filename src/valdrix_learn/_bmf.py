"""BMF: Boolean matrix factorisation as a scikit-learn transformer."""
from __future__ import annotations

import inspect
import numbers
import sys
import threading
from collections import deque
from collections.abc import Iterator
from typing import Any

import numpy as np
from numpy.typing import NDArray
from sklearn.base import (  # type: ignore[import-untyped, unused-ignore]
    BaseEstimator,
    ClassNamePrefixFeaturesOutMixin,
    TransformerMixin,
)
from sklearn.utils import check_random_state  # type: ignore[import-untyped, unused-ignore]
from sklearn.utils import validation  # type: ignore[import-untyped, unused-ignore]
from joblib import effective_n_jobs  # type: ignore[import-untyped, unused-ignore]

from Valdrix import BitMatrix, BoolLs, SearchResult, boolls_search, factorize

from ._alternate import DEFAULT_MAX_ITER, DEFAULT_METHOD, MAX_RANK, Step, alternate, check_method, solve_all
from ._input import Cells, EmptyMatrixError, read_cells, to_bitmatrix
from ._progress import Progress, SearchProgress, progress, search_progress

__all__ = ["BMF"]

SOLVERS = ("search", "alternate")
# factorize's largest rank.
SEARCH_MAX_RANK = 1024
# factorize's default, as its signature shows it.
DEFAULT_EFFORT: int = inspect.signature(factorize).parameters["effort"].default
MAX_EFFORT = 1 << 32
# The alternation after a strong start solves as exactly as the search does.
EXACT_METHOD = "zeta"

# The common scikit-learn checks that fit on data other than 0/1, which BMF
# refuses by design (ValueError), each with the data it gets. They are
# expected to fail; every other check passes.
_REFUSED = " : BMF n'accepte que 0 et 1"
NON_BINARY_CHECKS: dict[str, str] = {
    **dict.fromkeys(
        (
            "check_dict_unchanged",
            "check_dont_overwrite_parameters",
            "check_estimators_fit_returns_self",
            "check_estimators_overwrite_params",
            "check_estimators_pickle",
            "check_f_contiguous_array_estimator",
            "check_fit2d_1feature",
            "check_fit2d_1sample",
            "check_fit2d_predict1d",
            "check_fit_score_takes_y",
            "check_methods_sample_order_invariance",
            "check_methods_subset_invariance",
            "check_n_features_in_after_fitting",
            "check_pipeline_consistency",
            "check_readonly_memmap_input",
            "check_transformer_data_not_an_array",
            "check_transformer_general",
        ),
        "reels tires au hasard" + _REFUSED,
    ),
    **dict.fromkeys(
        ("check_fit_check_is_fitted", "check_fit_idempotent", "check_n_features_in"),
        "reels tires autour de 100" + _REFUSED,
    ),
    **dict.fromkeys(
        ("check_positive_only_tag_during_fit", "check_transformer_n_iter"), "mesures des iris" + _REFUSED
    ),
    **dict.fromkeys(
        ("check_estimator_sparse_array", "check_estimator_sparse_matrix", "check_estimator_sparse_tag"),
        "matrice creuse de reels : BMF lit le creux, mais de 0 et 1 seulement",
    ),
    "check_complex_data": "complexes : refuses comme toute valeur autre que 0 et 1, pas avec le message attendu",
    "check_dtype_object": "tableau d'objets reels" + _REFUSED,
    "check_estimators_dtypes": "reels de 0 a 3 et leurs parties entieres" + _REFUSED,
}


def _count(name: str, value: object, low: int, high: int | None = None) -> int:
    """An integer parameter in [low, high], else ValueError."""
    if isinstance(value, numbers.Integral) and low <= int(value) and (high is None or int(value) <= high):
        return int(value)
    span = f"de {low} a {high}" if high is not None else f"d'au moins {low}"
    raise ValueError(f"{name} doit etre un entier {span}, pas {value!r}")


def _sklearn_check(name: str, estimator: BaseEstimator, X: object, reset: bool) -> None:
    """scikit-learn's ``_check_feature_names`` or ``_check_n_features``: functions
    of sklearn.utils.validation since 1.6, methods of BaseEstimator before."""
    check = getattr(validation, name, None)
    if check is not None:
        check(estimator, X, reset=reset)
    else:
        getattr(estimator, name)(X, reset=reset)


class BMF(ClassNamePrefixFeaturesOutMixin, TransformerMixin, BaseEstimator):  # type: ignore[misc]
    """Boolean matrix factorisation: X (n_samples x n_features) ~ W o H.

    H holds ``n_components`` binary patterns over the features; row i of W
    says which patterns make up sample i, and X is approximated by their OR.
    By default the factors come from ``Valdrix.factorize``, a search over
    strong starts and perturbations; ``solver="alternate"`` runs
    ``Valdrix.ao_bmf`` (:func:`alternate`) instead, as earlier versions did,
    and repeats their fits. Either runs ``n_init`` times; the run of lowest
    Hamming error is kept.

    Parameters
    ----------
    n_components : int
        The rank r: 1 to 1024 with ``"search"``, 1 to 26 with ``"alternate"``
        and for a Dask array.
    solver : {"search", "alternate"}, default="search"
        ``"search"``: ``Valdrix.factorize``, whose solves are exact (it reads
        neither ``method`` nor ``max_iter``, but on a Dask array). ``"alternate"``: the
        alternating optimisation of ``Valdrix.ao_bmf``, which stops at the
        first local optimum of its start. A Dask array is fitted by the
        distributed alternation of :mod:`valdrix_learn.dask`, on the
        cluster of the current client: with ``"alternate"`` from
        ``ao_bmf``'s start, as ``ao_bmf`` would; with ``"search"`` from a
        strong start, the patterns ``factorize`` finds on a sample of at
        most 2^22 cells of X's rows (all of them when X is that small),
        drawn from the run's seed, then with exact solves (``"zeta"``,
        whatever ``method``) for at most ``max_iter`` iterations. The search itself is not
        distributed.
    effort : int, default=32
        The chains each search runs (``factorize``'s ``effort``), 1 to 2^32:
        work, not time, so a fit is repeatable. Read by ``"search"`` only.
    method : str, default="zeta"
        The least-squares method of ``"alternate"``, one of
        ``Valdrix.methods()``. ``"zeta"`` is exact; the greedy ones are faster
        and may be worse.
    max_iter : int, default=50
        The most alternating iterations per start of ``"alternate"``, and
        of the distributed alternation after a strong start on a Dask array.
    n_init : int, default=1
        The number of runs. Each draws its seed from ``random_state``; the
        lowest error wins, the earliest run on ties, so a fit with an
        integer ``random_state`` is reproducible whatever ``n_jobs``.
    random_state : int, RandomState instance or None, default=0
        Where the seeds of the runs come from.
    n_jobs : int or None, default=None
        Threads (-1: all processors): those of each search (None: one per
        processor, as its result never depends on them), or those running
        the starts of ``"alternate"`` (None: 1). The solves release the
        interpreter lock, so threads run them in parallel.
    verbose : int, default=0
        0 prints nothing; 1 or more shows progress with the current error
        (a tqdm bar when tqdm is installed, else lines): over the searches
        and their chains, or over the starts and their iterations. On a
        Dask array, over the iterations, the search of a strong start
        showing its chains and its error on the sample.

    Attributes
    ----------
    components_ : ndarray of bool, shape (n_components, n_features)
        The patterns H.
    reconstruction_err_ : int
        The Hamming error of the fitted ``W o H`` against the training data,
        over its observed cells.
    n_iter_ : int
        Iterations run by the winning run (all its chains' for a search;
        the distributed alternation's on a Dask array).
    n_features_in_ : int
        Features seen by ``fit``.
    feature_names_in_ : ndarray of str, shape (n_features_in_,)
        The column names, when ``fit`` was given a DataFrame with string names.
    restart_seeds_ : ndarray of uint64, shape (n_init,)
        The seed of each run: ``factorize`` (``alternate`` or ``ao_bmf``)
        with that seed repeats it.
    restart_errors_ : ndarray of int64, shape (n_init,)
        The final error of each run.

    Input may be a ``Valdrix.BitMatrix``, a NumPy array of bool or of numbers
    that are all 0 or 1, a SciPy sparse matrix or array of 0/1 entries, or a
    pandas DataFrame of 0/1 columns; anything else raises ValueError naming
    the first offending position. Cells may be missing: NaN, None or
    ``pd.NA``, or masked in a NumPy masked array. The fit, ``transform``,
    ``score`` and ``reconstruction_err_`` then count the observed cells only
    (the observed cells are the mask of ``factorize`` or ``ao_bmf_masked``). A
    sparse matrix has no missing cells: an absent entry is 0.
    """

    # Read by scikit-learn before 1.6, whose checks would build BMF() without it.
    _required_parameters = ["n_components"]

    components_: NDArray[np.bool_]
    reconstruction_err_: int
    n_iter_: int
    n_features_in_: int
    feature_names_in_: NDArray[np.object_]
    restart_seeds_: NDArray[np.uint64]
    restart_errors_: NDArray[np.int64]

    def __init__(
        self,
        n_components: int,
        *,
        solver: str = "search",
        effort: int = DEFAULT_EFFORT,
        method: str = DEFAULT_METHOD,
        max_iter: int = DEFAULT_MAX_ITER,
        n_init: int = 1,
        random_state: int | np.random.RandomState | None = 0,
        n_jobs: int | None = None,
        verbose: int = 0,
    ) -> None:
        self.n_components = n_components
        self.solver = solver
        self.effort = effort
        self.method = method
        self.max_iter = max_iter
        self.n_init = n_init
        self.random_state = random_state
        self.n_jobs = n_jobs
        self.verbose = verbose

    # ------------------------------------------------------------ fitting

    def fit(self, X: object, y: object = None) -> BMF:
        """Learn the patterns of X; ``y`` is ignored."""
        self._fit(X)
        return self

    def fit_transform(self, X: object, y: object = None, **fit_params: object) -> NDArray[np.bool_]:
        """Learn the patterns of X and return its fitted W (n_samples x n_components)."""
        return self._fit(X)

    def _fit(self, X: object) -> NDArray[np.bool_]:
        # The search has no table of 2^r entries; the alternation and the
        # distributed steps solve with BoolLs.
        wide = self.solver == "search" and not _is_dask_array(X)
        r = _count("n_components", self.n_components, 1, SEARCH_MAX_RANK if wide else MAX_RANK)
        if self.solver not in SOLVERS:
            raise ValueError(f"solver doit valoir 'search' ou 'alternate', pas {self.solver!r}")
        effort = _count("effort", self.effort, 1, MAX_EFFORT)
        check_method(self.method)
        max_iter = _count("max_iter", self.max_iter, 1)
        n_init = _count("n_init", self.n_init, 1)
        if self.n_jobs is not None and (not isinstance(self.n_jobs, numbers.Integral) or self.n_jobs == 0):
            raise ValueError(f"n_jobs doit etre None ou un entier non nul, pas {self.n_jobs!r}")
        _count("verbose", self.verbose, 0)
        seeds = check_random_state(self.random_state).randint(
            np.iinfo(np.uint64).max, size=n_init, dtype=np.uint64
        )
        x = None
        threads = 0 if self.n_jobs is None else effective_n_jobs(self.n_jobs)  # for a search; 0: one per processor
        if _is_dask_array(X):
            runs = self._fit_dask(X, r, max_iter, seeds, effort, threads)
        else:
            x = self._check_input(X, reset=True)
            if self.solver == "search":
                runs = _searches(x, r, seeds, effort, threads,
                                 search_progress(self.verbose, n_init, effort))
            else:
                runs = self._alternations(X, x, r, max_iter, seeds)
        best = runs[min(range(n_init), key=lambda k: runs[k].error)]  # min keeps the earliest of equals

        self.components_ = best.h.to_numpy()
        self.reconstruction_err_ = best.error
        self.n_iter_ = best.iteration
        self.restart_seeds_ = seeds
        self.restart_errors_ = np.array([run.error for run in runs], dtype=np.int64)
        if x is not None and self.solver == "search":
            # The search's W is as near as transform's, row by row, but may
            # break ties otherwise: fit_transform gives transform's.
            return self._encode(x)[0].to_numpy()
        return best.w.to_numpy()

    def _fit_dask(self, X: object, r: int, max_iter: int, seeds: NDArray[np.uint64], effort: int,
                  threads: int) -> list[Step]:
        """On the cluster of the current client: X is laid out there once,
        and the restarts take turns using all its workers."""
        from .dask import DistributedMatrix

        _sklearn_check("_check_feature_names", self, X, reset=True)
        _sklearn_check("_check_n_features", self, X, reset=True)
        report = progress(self.verbose, len(seeds), max_iter)
        try:
            dx = DistributedMatrix(X)
            runs = []
            for k, seed in enumerate(seeds):
                if self.solver == "search":
                    def chains(done: int, total: int, best: int, k: int = k) -> None:
                        report.starting(k, done, total, best)

                    h = dx.strong_start(r, int(seed), effort, threads, chains)
                    # Exact steps: none can be worse than the start itself.
                    steps = dx.alternate_from(h, EXACT_METHOD, max_iter)
                else:
                    steps = dx.alternate(self.method, r, max_iter, int(seed))
                runs.append(_restart(steps, k, report))
            return runs
        finally:
            report.close()

    def _alternations(self, X: object, x: Cells, r: int, max_iter: int, seeds: NDArray[np.uint64]) -> list[Step]:
        if x.bits is X:  # alternate copies a caller's BitMatrix, not read cells
            x = Cells(x.bits.copy(), None)
        report = progress(self.verbose, len(seeds), max_iter)
        try:
            starts = [alternate(x, r, method=self.method, max_iter=max_iter, seed=int(seed)) for seed in seeds]
            return _interleaved(starts, min(effective_n_jobs(self.n_jobs), len(seeds)), report)
        finally:
            report.close()

    def _check_input(self, X: object, reset: bool) -> Cells:
        if not reset:  # names before values: a wrong column is the clearer error
            _sklearn_check("_check_feature_names", self, X, reset=False)
        try:
            x = read_cells(X)
        except EmptyMatrixError as e:  # in scikit-learn's words, which tools and users know
            rows, cols = e.shape
            what = f"{rows} sample(s)" if rows == 0 else f"{cols} feature(s)"
            raise ValueError(
                f"Found array with {what} (shape={e.shape}) while a minimum of 1 is required by {type(self).__name__}."
            ) from None
        if reset:
            _sklearn_check("_check_feature_names", self, X, reset=True)
        _sklearn_check("_check_n_features", self, x.bits, reset=reset)
        return x

    # ------------------------------------------------------------ using the patterns

    def _encode(self, x: Cells) -> tuple[BitMatrix, int]:
        """The nearest subset of patterns for every row of x over its observed
        cells, and the summed error."""
        ht = BitMatrix.from_numpy(np.asarray(self.components_, dtype=bool)).transpose()
        observed_t = None if x.observed is None else x.observed.transpose()
        if ht.cols <= MAX_RANK:
            wt, error = solve_all(BoolLs(ht), x.bits.transpose(), observed_t, "zeta")
        else:
            wt, error, _ = boolls_search(ht, x.bits.transpose(), observed_t)
        return wt.transpose(), error

    def transform(self, X: object) -> NDArray[np.bool_]:
        """W for new rows: each row gets the subset of patterns nearest to it
        in Hamming distance over its observed cells, as a bool array
        (n_samples x n_components). Exact up to 26 patterns; beyond, each row's
        search has a budget (``Valdrix.boolls_search``) that rows with many
        overlapping patterns may meet, and then gets the best subset found."""
        validation.check_is_fitted(self)
        return self._encode(self._check_input(X, reset=False))[0].to_numpy()

    def inverse_transform(self, W: object) -> NDArray[np.bool_]:
        """The Boolean product ``W o H`` as a bool array (n_samples x n_features)."""
        validation.check_is_fitted(self)
        w = to_bitmatrix(W, "W")
        if w.cols != self.components_.shape[0]:
            raise ValueError(f"W a {w.cols} colonnes ; il en faut {self.components_.shape[0]}, une par pattern")
        result: NDArray[np.bool_] = (w @ BitMatrix.from_numpy(np.asarray(self.components_, dtype=bool))).to_numpy()
        return result

    def score(self, X: object, y: object = None) -> float:
        """Minus the share of the observed elements of X that
        ``inverse_transform(transform(X))`` gets wrong."""
        validation.check_is_fitted(self)
        x = self._check_input(X, reset=False)
        observed = x.observed_count
        if observed == 0:
            raise ValueError("X n'a aucune case observee : le score n'y est pas defini")
        return -self._encode(x)[1] / observed

    @property
    def _n_features_out(self) -> int:
        """The names of ``get_feature_names_out``: bmf0, bmf1, ..."""
        return int(self.components_.shape[0])

    # ------------------------------------------------------------ scikit-learn tags

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()
        tags.input_tags.sparse = True
        tags.input_tags.allow_nan = True
        tags.transformer_tags.preserves_dtype = []  # W is bool whatever X was
        return tags

    def _more_tags(self) -> dict[str, object]:  # scikit-learn before 1.6
        return {"X_types": ["2darray", "sparse"], "preserves_dtype": [], "allow_nan": True,
                "_xfail_checks": dict(NON_BINARY_CHECKS)}


def _searches(x: Cells, r: int, seeds: NDArray[np.uint64], effort: int, threads: int,
              report: SearchProgress) -> list[Step]:
    """One ``factorize`` per seed, one after the other, each on `threads`
    threads; as Steps, ``iteration`` counting all of a search's iterations."""
    runs = []
    try:
        for k, seed in enumerate(seeds):
            def chains(done: int, total: int, best: int, k: int = k) -> None:
                report.chains(k, done, total, best)

            found: SearchResult = factorize(x.bits, r, x.observed, int(seed), effort, threads, chains)
            report.ended(k, found.error)
            runs.append(Step(found.iterations, found.error, found.w, found.h))
    finally:
        report.close()
    return runs


def _is_dask_array(X: object) -> bool:
    dask_array = sys.modules.get("dask.array")  # only once Dask is imported can X be one
    return dask_array is not None and isinstance(X, dask_array.Array)


def _interleaved(runs: list[Iterator[Step]], threads: int, report: Progress) -> list[Step]:
    """The last step of every run, the runs advanced one iteration at a time
    on `threads` threads (the calling one among them). Restarts cost
    unequally, by their seeds as well as their iteration counts; a thread
    that ends an iteration takes the run that has waited longest, so every
    thread keeps working until fewer runs remain than threads."""
    if threads <= 1:
        return [_restart(run, k, report) for k, run in enumerate(runs)]
    last: list[Step | None] = [None] * len(runs)
    waiting = deque(range(len(runs)))
    failures: list[BaseException] = []
    lock = threading.Lock()

    def work() -> None:
        while True:
            with lock:
                if failures or not waiting:  # the runs left are all in other threads' hands
                    return
                k = waiting.popleft()
            try:
                step = next(runs[k], None)
            except BaseException as e:  # KeyboardInterrupt too: the other threads stop after their iteration
                with lock:
                    failures.append(e)
                return
            if step is None:
                report.done(k, _ended(last[k]))
                continue
            last[k] = step
            report.step(k, step)
            with lock:
                waiting.append(k)

    helpers = [threading.Thread(target=work) for _ in range(threads - 1)]
    for t in helpers:
        t.start()
    try:
        work()
    finally:
        for t in helpers:
            t.join()
    if failures:
        raise failures[0]
    return [_ended(step) for step in last]


def _ended(step: Step | None) -> Step:
    if step is None:  # alternate yields at least once
        raise RuntimeError("alternate n'a rien produit")
    return step


def _restart(steps: Iterator[Step], k: int, report: Progress) -> Step:
    last = None
    for last in steps:
        report.step(k, last)
    ended = _ended(last)
    report.done(k, ended)
    return ended
