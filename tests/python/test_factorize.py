"""factorize, SearchResult and boolls_search: checks and their order, the
reported error against a recomputed one under masks, independence from the
thread count, progress reports and a progress function that raises."""
import threading

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from Valdrix import BitMatrix, BoolLs, SearchResult, ao_bmf, boolls_search, factorize

X = BitMatrix.from_numpy(np.random.default_rng(5).random((40, 30)) < 0.3)
KINDS = {"cover", "association", "columns", "random"}


def outcome(res):
    return res.w, res.h, res.error, res.starts, res.best_start, res.iterations, res.moves, res.moves_kept


@pytest.mark.parametrize(
    "call, kind, message",
    [
        (lambda: factorize(X, 0), ValueError, "r doit valoir au moins 1"),
        (lambda: factorize(X, 1025), ValueError, "rang 1025 trop grand : au plus 1024 composantes"),
        (lambda: factorize(X, 2, effort=0), ValueError, "effort doit valoir au moins 1"),
        (lambda: factorize(X, 2, effort=2**64 - 1), ValueError,
         "effort 18446744073709551615 trop grand : au plus 2^32 chaines"),
        # The rank first, then the effort, then the mask's shape.
        (lambda: factorize(X, 0, BitMatrix(2, 2), effort=0), ValueError, "r doit valoir au moins 1"),
        (lambda: factorize(X, 2, BitMatrix(2, 2), effort=0), ValueError, "effort doit valoir au moins 1"),
        (lambda: factorize(X, 2, np.ones((30, 40), bool)), ValueError, "mask est 30 x 40, x est 40 x 30"),
        (lambda: factorize(X, 2, threads=-1), OverflowError, "can't convert negative int to unsigned"),
        (lambda: factorize(), TypeError, "factorize() missing 2 required positional arguments: 'x' and 'r'"),
        (lambda: factorize(X.to_numpy(), 2), TypeError,
         "argument 'x': 'ndarray' object cannot be converted to 'BitMatrix'"),
        (lambda: factorize(X, 2, [[True]]), TypeError,
         "argument 'mask': 'list' object cannot be converted to 'BitMatrix | PyArray<T, D>'"),
        (lambda: factorize(X, 2, progress=3), TypeError,
         "argument 'progress': 'int' object cannot be converted to 'Callable'"),
        (lambda: factorize(X, 2, None, 0, 1, 0, None, 8), TypeError,
         "factorize() takes from 2 to 7 positional arguments but 8 were given"),
        (lambda: SearchResult(), TypeError, "No constructor defined for SearchResult"),
        (lambda: boolls_search(X, X.transpose()), ValueError, "X a 30 lignes, W en a 40"),
        (lambda: boolls_search(X, X, np.ones((30, 40), bool)), ValueError, "mask est 30 x 40, x est 40 x 30"),
        (lambda: boolls_search(X, X.to_numpy()), TypeError,
         "argument 'x': 'ndarray' object cannot be converted to 'BitMatrix'"),
    ],
)
def test_checks(call, kind, message):
    with pytest.raises(kind) as e:
        call()
    assert type(e.value) is kind and str(e.value) == message


@st.composite
def problems(draw):
    rows, cols = draw(st.integers(1, 24)), draw(st.integers(1, 70))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    x = rng.random((rows, cols)) < draw(st.sampled_from([0.0, 0.2, 0.5, 1.0]))
    form = draw(st.sampled_from(["none", "bits", "array"]))
    seen = rng.random((rows, cols)) < draw(st.sampled_from([0.0, 0.5, 0.9, 1.0]))
    mask = None if form == "none" else BitMatrix.from_numpy(seen) if form == "bits" else seen
    return x, mask, draw(st.integers(1, 5)), draw(st.integers(0, 2**64 - 1)), draw(st.integers(1, 3))


@settings(max_examples=60, deadline=None)
@given(problems())
def test_error_is_the_observed_cells_wrong_and_any_thread_count_agrees(problem):
    x, mask, r, seed, effort = problem
    bits = BitMatrix.from_numpy(x)
    res = factorize(bits, r, mask, seed, effort, threads=1)
    w, h = res.w, res.h
    assert w.shape == (x.shape[0], r) and h.shape == (r, x.shape[1])
    observed = np.ones(x.shape, bool) if mask is None else np.asarray(mask)
    wrong = x ^ (w @ h).to_numpy()
    assert res.error == int((wrong & observed).sum())
    assert res.starts >= 1 and res.best_start in KINDS and res.moves_kept <= res.moves
    again = factorize(x=bits, r=r, mask=mask, seed=seed, effort=effort, threads=2)
    assert outcome(again) == outcome(res) == outcome(factorize(bits, r, mask, seed, effort, threads=1))
    assert bits == BitMatrix.from_numpy(x)


@settings(max_examples=40, deadline=None)
@given(problems(), st.integers(1, 70))
def test_boolls_search_is_exact_where_it_says_so_at_any_rank(problem, r):
    x, mask, _, seed, _ = problem
    rng = np.random.default_rng(seed % 2**32)
    w = BitMatrix.from_numpy(rng.random((x.shape[0], r)) < rng.choice([0.05, 0.2, 0.5]))
    bits = BitMatrix.from_numpy(x)
    h, error, inexact = boolls_search(w, bits, mask)
    assert h.shape == (r, x.shape[1])
    observed = np.ones(x.shape, bool) if mask is None else np.asarray(mask)
    assert error == int(((x ^ (w @ h).to_numpy()) & observed).sum())
    if r <= 12:
        solver = BoolLs(w)
        best = solver.solve_all(bits)[1] if mask is None else solver.solve_all_masked(bits, mask)[1]
        assert inexact == 0 and error == best


def test_the_result_object():
    res = factorize(X, 3, effort=4)
    assert repr(res) == (f"<SearchResult error={res.error} rank=3 starts={res.starts} "
                         f"best_start={res.best_start} iterations={res.iterations}>")
    assert res.w is not res.w and res.w == res.w  # a new copy on every read
    with pytest.raises(AttributeError):
        res.error = 0
    # From 3 chains on, ao_bmf's own start for the seed is among the search's.
    assert res.error <= ao_bmf(X, 3).error


@pytest.mark.parametrize("threads", [1, 2])
def test_progress_counts_the_chains_up_to_the_total(threads):
    seen = []
    res = factorize(X, 3, effort=6, threads=threads,
                    progress=lambda *report: seen.append((threading.get_ident(), *report)))
    assert {ident for ident, *_ in seen} == {threading.get_ident()}
    done = [d for _, d, _, _ in seen]
    assert done == sorted(set(done)) and done[0] >= 1 and seen[-1][1:] == (6, 6, res.error)
    best = [b for *_, b in seen]
    assert best == sorted(best, reverse=True)


@pytest.mark.parametrize("on_main_thread", [True, False], ids=["main", "other"])
def test_a_progress_function_that_raises_stops_the_search(on_main_thread):
    calls = []

    def refuse(done, total, best_error):
        calls.append(done)
        raise LookupError("assez")

    caught = []

    def call():
        try:
            factorize(X, 3, effort=50, threads=1, progress=refuse)
        except LookupError as e:
            caught.append(e)

    if on_main_thread:
        call()
    else:
        worker = threading.Thread(target=call)
        worker.start()
        worker.join()
    assert str(caught[0]) == "assez" and len(calls) == 1  # never called again
    X[0, 0] = X[0, 0]  # the borrow of x was released
