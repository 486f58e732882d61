"""valdrix_learn: alternate step by step against ao_bmf, the inputs BMF takes
and refuses, its restarts, feature names, exact encoding and progress, and
scikit-learn's own checks."""
from __future__ import annotations

import inspect
import itertools
import pickle
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
import sklearn
from hypothesis import given, settings
from hypothesis import strategies as st
from scipy import sparse
from sklearn.utils import check_random_state
from sklearn.utils.estimator_checks import parametrize_with_checks

from Valdrix import BitMatrix, BoolLs, _judge_iteration, _start_columns, ao_bmf, ao_bmf_masked, factorize, methods
from valdrix_learn import BMF, alternate, read_matrix

A = [1, 1, 1, 1, 0, 0, 0, 0]  # two overlapping column sets: restarts end at 0 or at 14
B = [0, 0, 0, 1, 1, 1, 1, 0]
AB = [p | q for p, q in zip(A, B)]
TWO_SETS = np.array([A, B, AB, A, AB, B])


def planted(rows: int, cols: int, r: int, seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    w, h = rng.random((rows, r)) < 0.3, rng.random((r, cols)) < 0.3
    return ((w.astype(int) @ h.astype(int)) > 0) ^ (rng.random((rows, cols)) < 0.02)


def ao_bmf_of(a: np.ndarray, observed: np.ndarray | None, r: int, **kwargs):
    """The module's factorisation of a, over its observed cells if given.
    Any bit under an unobserved cell must count for nothing: neither in the
    start, nor in the error."""
    if observed is None:
        return ao_bmf(BitMatrix.from_numpy(a), r, **kwargs)
    return ao_bmf_masked(BitMatrix.from_numpy(a), BitMatrix.from_numpy(observed), r, **kwargs)


def fit_of(solver: str, a: np.ndarray, observed: np.ndarray | None, r: int, seed: int):
    """What BMF(r, solver=solver) fits from a run with this seed: (H, error, n_iter_)."""
    if solver == "alternate":
        ref = ao_bmf_of(a, observed, r, seed=seed)
    else:
        mask = None if observed is None else BitMatrix.from_numpy(observed)
        ref = factorize(BitMatrix.from_numpy(a), r, mask, seed)
    return ref.h.to_numpy(), ref.error, ref.iterations


# ---------------------------------------------------------------- alternate


@settings(max_examples=150, deadline=None)
@given(st.integers(1, 70), st.integers(1, 70), st.sampled_from([0.0, 0.1, 0.5, 1.0]), st.integers(0, 2**32),
       st.integers(1, 8), st.sampled_from(methods()), st.integers(1, 6), st.integers(0, 2**64 - 1),
       st.sampled_from([0.0, 0.0, 0.1, 0.6]))
def test_each_step_is_ao_bmf_stopped_there(m, n, density, data_seed, r, method, max_iter, seed, missing):
    rng = np.random.default_rng(data_seed)
    a = rng.random((m, n)) < density
    observed = rng.random((m, n)) >= missing if missing else None
    x = BitMatrix.from_numpy(a) if observed is None else np.where(observed, a, np.nan)
    steps = list(alternate(x, r, method=method, max_iter=max_iter, seed=seed))
    for k, step in enumerate(steps, 1):
        ref = ao_bmf_of(a, observed, r, method=method, max_iter=k, seed=seed)
        assert (step.iteration, step.error, step.w, step.h) == (k, ref.error, ref.w, ref.h)
    assert steps[-1].iteration == ao_bmf_of(a, observed, r, method=method, max_iter=max_iter, seed=seed).iterations


@settings(max_examples=150, deadline=None)
@given(st.lists(st.booleans(), min_size=1, max_size=90), st.integers(1, 10), st.integers(0, 2**64 - 1),
       st.sampled_from([None, 0.3]))
def test_every_driver_starts_from_the_cores_columns(diagonal, r, seed, missing):
    # On a diagonal X the first iteration gives back the start, whatever its
    # columns: ao_bmf's W after one iteration shows the core's choice. With
    # missing cells, the start is taken among the columns with an observed 1.
    a, n = np.diag(diagonal), len(diagonal)
    observed = None if missing is None else np.random.default_rng(seed % 2**32).random((n, n)) >= missing
    x = BitMatrix.from_numpy(a) if observed is None else np.ma.masked_array(a, mask=~observed)
    candidates = diagonal if observed is None else np.diag(a & observed)
    chosen = _start_columns(np.flatnonzero(candidates).tolist(), r, seed)
    start = BitMatrix.from_indices(n, r, chosen, range(len(chosen)))
    ref = ao_bmf_of(a, observed, r, max_iter=1, seed=seed)
    [first] = alternate(x, r, max_iter=1, seed=seed)
    assert ref.w == start
    assert (first.w, first.h, first.error) == (ref.w, ref.h, ref.error)


@pytest.mark.parametrize("call, error, message", [
    (lambda: _start_columns([3, 1], 2, 0), ValueError, "nonzero doit etre strictement croissant : 1 apres 3"),
    (lambda: _start_columns([1, 1], 2, 0), ValueError, "nonzero doit etre strictement croissant : 1 apres 1"),
    (lambda: _start_columns("12", 2, 0), TypeError, "argument 'nonzero': 'str' object cannot be converted"),
    (lambda: _start_columns([0, 1.5], 2, 0), TypeError, "argument 'nonzero': "),
    (lambda: _start_columns([0, -1], 2, 0), OverflowError, ""),
    (lambda: _start_columns([0], 1, 2**64), OverflowError, ""),
    (lambda: _start_columns([0], r=1), TypeError, "_start_columns() missing 1 required positional argument: 'seed'"),
    (lambda: _judge_iteration(3, 4, 0, 5), ValueError, "iteration doit valoir au moins 1"),
    (lambda: _judge_iteration(3, 4, 1, 0), ValueError, "max_iter doit valoir au moins 1"),
    (lambda: _judge_iteration(3, 4.0, 1, 5), TypeError, "argument 'best_error': "),
])
def test_the_cores_start_and_stopping_rule_check_their_arguments(call, error, message):
    with pytest.raises(error) as e:
        call()
    assert str(e.value).startswith(message)


def test_every_entry_point_offers_ao_bmfs_defaults():
    defaults = {k: p.default for k, p in inspect.signature(ao_bmf).parameters.items() if p.default is not p.empty}
    entry_points = [alternate, BMF]
    try:
        import valdrix_learn.dask
    except ImportError:
        pass
    else:
        entry_points.append(valdrix_learn.dask.ao_bmf)
    for f in entry_points:
        params = inspect.signature(f).parameters
        assert {k: params[k].default for k in defaults if k in params} == {k: v for k, v in defaults.items()
                                                                         if k in params}, f
    assert BMF(2).get_params()["max_iter"] == defaults["max_iter"]


def test_changes_by_the_caller_between_steps_change_nothing():
    x_np = planted(300, 40, 5, seed=4)
    x = BitMatrix.from_numpy(x_np)
    steps = []
    for step in alternate(x, 5, seed=1):
        steps.append((step.w.copy(), step.h.copy(), step.error))
        step.w[0, 0] = not step.w[0, 0]  # the caller's copies, and the caller's x
        step.h[0, 0] = not step.h[0, 0]
        x &= BitMatrix(300, 40)  # in place: all zero
    ref = ao_bmf(BitMatrix.from_numpy(x_np), 5, seed=1)
    assert len(steps) > 2 and steps[-1] == (ref.w, ref.h, ref.error)


@pytest.mark.parametrize("kwargs", [
    {"r": 0}, {"r": 27}, {"r": 2, "max_iter": 0}, {"r": 0, "method": "foo"}, {"r": 27, "max_iter": 0},
])
def test_bad_arguments_fail_at_the_call_as_in_ao_bmf(kwargs):
    x = BitMatrix.ones(3, 3)
    with pytest.raises(ValueError) as expected:
        ao_bmf(x, **kwargs)
    with pytest.raises(ValueError) as got:
        alternate(x, **kwargs)  # not deferred to the first step
    assert str(got.value) == str(expected.value)


# ---------------------------------------------------------------- inputs


def test_every_input_form_gives_the_same_fit(monkeypatch):
    x = planted(40, 12, 3, seed=1)
    frame = pd.DataFrame(x.astype(np.int64), columns=[f"c{j}" for j in range(12)])
    frame["c3"] = frame["c3"].astype("Int64")
    frame["c4"] = frame["c4"].astype(bool)
    coo = sparse.coo_matrix(x.astype(float))
    # 0.5 stored twice is 1, and a stored 0 stays 0, as in the dense matrix.
    rows, cols = np.nonzero(x)
    halves = sparse.coo_array((np.full(2 * len(rows), 0.5), (np.tile(rows, 2), np.tile(cols, 2))), shape=x.shape)
    zeros = sparse.csr_array((np.r_[coo.data, 0.0, 0.0], (np.r_[coo.row, 0, 39], np.r_[coo.col, 11, 0])),
                             shape=x.shape)
    for cls in (sparse.csr_matrix, sparse.csc_matrix, sparse.coo_matrix, sparse.csr_array, sparse.csc_array,
                sparse.coo_array):
        monkeypatch.setattr(cls, "toarray", lambda *a, **k: pytest.fail("sparse input densified"))
    strided = np.asfortranarray(np.repeat(x, 2, axis=1))[:, ::2]
    forms = [BitMatrix.from_numpy(x), x.astype(np.uint8), x.astype(np.float32), strided, x.tolist(), frame,
             coo, coo.tocsr(), sparse.csc_array(coo), halves, zeros]
    reference = BMF(3, n_init=2).fit(x)
    for form in forms:
        model = BMF(3, n_init=2).fit(form)
        assert np.array_equal(model.components_, reference.components_), type(form)
        assert model.reconstruction_err_ == reference.reconstruction_err_


@pytest.mark.parametrize("solver", ["search", "alternate"])
def test_every_form_of_missing_cells_fits_over_the_observed_ones(solver):
    a = planted(40, 12, 3, seed=2)
    observed = np.random.default_rng(2).random(a.shape) >= 0.25
    gaps = np.where(observed, a, np.nan)
    frame = pd.DataFrame(gaps, columns=[f"c{j}" for j in range(12)])
    frame["c3"] = frame["c3"].astype("Int64")  # pd.NA
    frame["c4"] = frame["c4"].astype("boolean")
    frame["c5"] = frame["c5"].astype(object).where(observed[:, 5], None)
    forms = [gaps, gaps.astype(np.float32), gaps.tolist(), frame, np.ma.masked_invalid(gaps),
             np.ma.masked_array(np.where(observed, a, 7), mask=~observed)]  # anything under the mask
    seed = int(BMF(3, solver=solver).fit(gaps).restart_seeds_[0])
    h, error, iterations = fit_of(solver, a, observed, 3, seed)  # a's ones under the blanks must not count
    for form in forms:
        model = BMF(3, solver=solver).fit(form)
        assert np.array_equal(model.components_, h), type(form)
        assert (model.reconstruction_err_, model.n_iter_) == (error, iterations)
    w = BMF(3, solver=solver).fit_transform(gaps)
    assert error == (((w.astype(int) @ h.astype(int) > 0) != a) & observed).sum()


@pytest.mark.parametrize("data, message", [
    (np.array([[0, 1, 1], [1, 0, 2]]), "2 en ligne 1, colonne 2"),
    (np.array([[np.nan, 1.0], [1.0, np.inf]]), "inf en ligne 1, colonne 1"),  # NaN is missing, inf is not
    (np.ma.masked_array([[5, 0], [1, 2]], mask=[[1, 0], [0, 0]]), "2 en ligne 1, colonne 1"),
    (pd.DataFrame({"a": pd.array([1, None, 1], dtype="Int64"), "b": [None, "x", 1]}), "'x' en ligne 1, colonne 'b'"),
    # A sparse matrix has no missing cells: its absent entries are 0.
    (sparse.csr_matrix(np.array([[0, np.nan], [1, 0]])), "creuse : une case absente y vaut 0"),
    (np.array([[0, 1], [1, "x"]], dtype=object), "'x' en ligne 1, colonne 1"),
    (pd.DataFrame({"a": [1, 0, 1], "b": ["x", "0", "1"], "c": [0, 5, 1]}), "'x' en ligne 0, colonne 'b'"),
    (pd.DataFrame({"a": [1, 0, 1], "b": [0, 1, 1], "c": [0, 5, 1]}), "5 en ligne 1, colonne 'c'"),
    (pd.DataFrame(np.array([[0, 1], [1, 5]]), columns=[50, 51]), "5 en ligne 1, colonne 51"),
    # Stored by columns, the first offending entry in row-major order is not the first stored.
    (sparse.csc_matrix(np.array([[0, 0, 3], [2, 0, 0]])), "3 en ligne 0, colonne 2"),
    (sparse.coo_matrix(([1, 1], ([0, 0], [1, 1])), shape=(2, 2)), "2 en ligne 0, colonne 1"),  # 1 + 1
    (np.array([0, 1, 1]), "2 dimensions, pas un tableau a 1"),
    (np.zeros((2, 2, 2)), "2 dimensions, pas un tableau a 3"),
])
def test_refused_input_names_the_first_offending_position(data, message):
    with pytest.raises(ValueError, match="X ") as e:
        BMF(2).fit(data)
    assert message in str(e.value)


def test_empty_input_in_scikit_learns_words():
    for shape, what in (((0, 3), "0 sample"), ((4, 0), "0 feature"), ((0, 0), "0 sample")):
        with pytest.raises(ValueError, match=what):
            BMF(1).fit(np.zeros(shape, dtype=bool))
    with pytest.raises(ValueError, match="est vide"):
        alternate(np.zeros((4, 0)), 1)


@pytest.mark.parametrize("params", [{"n_components": 0}, {"n_components": 1025}, {"n_components": 2.0},
                                    {"n_components": 27, "solver": "alternate"},
                                    {"max_iter": 0}, {"n_init": 0}, {"n_jobs": 0}, {"method": "fast"},
                                    {"solver": "fast"}, {"effort": 0}, {"effort": 2**32 + 1}])
def test_bad_parameters_fail_in_fit(params):
    model = BMF(2).set_params(**params)  # never in the constructor: clone must work
    with pytest.raises(ValueError, match=f"{next(iter(params))}|methode inconnue"):
        model.fit(TWO_SETS)


# ---------------------------------------------------------------- BMF


def test_lowest_error_wins_the_earliest_on_ties_whatever_the_threads():
    fits = [BMF(2, solver="alternate", n_init=8, random_state=5, n_jobs=jobs).fit(TWO_SETS) for jobs in (1, 2, 3)]
    model = fits[0]
    runs = [ao_bmf(BitMatrix.from_numpy(TWO_SETS.astype(bool)), 2, seed=int(s)) for s in model.restart_seeds_]
    errors = [run.error for run in runs]
    assert list(model.restart_errors_) == errors
    best = [k for k, e in enumerate(errors) if e == min(errors)]
    # Meaningful only if a worse start comes first and the best ones differ.
    assert best[0] > 0 and len({runs[k].h for k in best}) > 1
    assert np.array_equal(model.components_, runs[best[0]].h.to_numpy())
    assert (model.reconstruction_err_, model.n_iter_) == (runs[best[0]].error, runs[best[0]].iterations)
    for other in fits[1:] + [pickle.loads(pickle.dumps(model))]:
        assert np.array_equal(other.components_, model.components_)
        assert np.array_equal(other.restart_errors_, model.restart_errors_)


def test_searches_draw_the_restarts_seeds_and_the_best_wins_whatever_the_threads():
    x = planted(120, 30, 6, seed=7)
    fits = [BMF(6, n_init=3, effort=2, random_state=3, n_jobs=jobs).fit(x) for jobs in (1, 2)]
    seeds = check_random_state(3).randint(np.iinfo(np.uint64).max, size=3, dtype=np.uint64)
    runs = [factorize(BitMatrix.from_numpy(x), 6, None, int(s), 2) for s in seeds]
    best = min(runs, key=lambda run: run.error)
    for model in fits:
        assert np.array_equal(model.restart_seeds_, seeds)
        assert list(model.restart_errors_) == [run.error for run in runs]
        assert np.array_equal(model.components_, best.h.to_numpy()) and model.n_iter_ == best.iterations


def test_a_restart_that_fails_stops_the_fit_on_every_thread(monkeypatch):
    import valdrix_learn._bmf as bmf

    advanced = []

    def failing(x, r, *, method, max_iter, seed):
        for step in alternate(x, r, method=method, max_iter=max_iter, seed=seed):
            advanced.append(seed)
            if len(advanced) == 3:
                raise KeyboardInterrupt
            yield step

    monkeypatch.setattr(bmf, "alternate", failing)
    with pytest.raises(KeyboardInterrupt):
        BMF(3, solver="alternate", n_init=6, max_iter=50, n_jobs=2).fit(TWO_SETS)
    # One iteration more at most, that of the other thread: no run goes on.
    assert len(advanced) <= 4


@pytest.mark.parametrize("missing", [0.0, 0.4])
def test_transform_is_exact_against_brute_force(missing):
    rng = np.random.default_rng(3)
    x, new = rng.random((40, 10)) < 0.5, rng.random((40, 10)) < 0.5
    observed = rng.random(new.shape) >= missing
    if missing:
        observed[0] = False  # a row with nothing observed: no pattern, no error
    given = np.where(observed, new, np.nan) if missing else new
    model = BMF(5, method="greedy", solver="alternate").fit(x)  # the fit's method must not leak into transform
    w = model.transform(given)
    subsets = np.array(list(itertools.product([False, True], repeat=5)))
    covers = (subsets.astype(int) @ model.components_.astype(int)) > 0  # every OR of patterns
    wrong = ((covers[None, :, :] != new[:, None, :]) & observed[:, None, :]).sum(axis=2)
    best = wrong.min(axis=1)
    assert w.dtype == bool and w.shape == (40, 5)
    assert np.array_equal(((model.inverse_transform(w) != new) & observed).sum(axis=1), best)
    assert model.score(given) == -best.sum() / observed.sum()
    assert not (missing and w[0].any())
    solver = BoolLs(BitMatrix.from_numpy(model.components_).transpose())
    # Meaningful only where the greedy encoding falls short.
    greedy = solver.solve_all_masked(BitMatrix.from_numpy(new).transpose(), BitMatrix.from_numpy(observed).transpose(),
                                     "greedy")
    assert greedy[1] > best.sum()
    assert np.array_equal(BMF(4).fit_transform(given), BMF(4).fit(given).transform(given))
    with pytest.raises(ValueError, match="aucune case observee"):
        model.score(np.full((2, 10), np.nan))
    # Beyond 26 patterns the rows are searched, not looked up in a table.
    wide = BMF(40, effort=2).fit(np.where(observed, new, np.nan) if missing else new)
    w40 = wide.transform(given)
    assert w40.shape == (40, 40)
    assert wide.score(given) == -((wide.inverse_transform(w40) != new) & observed).sum() / observed.sum()
    assert np.array_equal(wide.fit_transform(given), w40)
    with pytest.raises(ValueError, match="W ne doit contenir que des 0 et des 1 : nan en ligne 0, colonne 1"):
        model.inverse_transform(np.array([[1.0, np.nan, 0, 0, 0]]))  # W has no missing cells


def test_feature_names_are_kept_and_checked():
    frame = pd.DataFrame(TWO_SETS, columns=list("abcdefgh"))
    model = pickle.loads(pickle.dumps(BMF(2).fit(frame)))
    assert list(model.feature_names_in_) == list("abcdefgh")
    assert list(model.get_feature_names_out()) == ["bmf0", "bmf1"]
    out = model.set_output(transform="pandas").transform(frame)
    assert list(out.columns) == ["bmf0", "bmf1"] and out.index.equals(frame.index)
    with pytest.raises(ValueError, match="feature names should match"):
        model.transform(frame[list("hgfedcba")])
    with pytest.warns(UserWarning, match="does not have valid feature names"):
        model.set_output(transform="default").transform(TWO_SETS)


@pytest.mark.parametrize("solver", ["search", "alternate"])
@pytest.mark.parametrize("tqdm", [True, False])
def test_progress_only_when_verbose(capsys, monkeypatch, tqdm, solver):
    if not tqdm:
        monkeypatch.setitem(sys.modules, "tqdm", None)  # import tqdm now raises ImportError
        monkeypatch.setitem(sys.modules, "tqdm.auto", None)
    x = planted(300, 40, 5, seed=4)
    BMF(5, solver=solver, n_init=2, n_jobs=2).fit(x)
    assert capsys.readouterr() == ("", "")
    model = BMF(5, solver=solver, n_init=2, n_jobs=2, verbose=1).fit(x)
    out, err = capsys.readouterr()
    if tqdm:
        assert out == "" and "BMF: 100%" in err and any(f"erreur {e}" in err for e in model.restart_errors_)
        assert ("chaine" in err) == (solver == "search")
    elif solver == "alternate":
        iterations = sum(ao_bmf(BitMatrix.from_numpy(x), 5, seed=int(s)).iterations for s in model.restart_seeds_)
        assert err == "" and len(out.splitlines()) == iterations
        assert f"iteration {model.n_iter_} : erreur {model.reconstruction_err_}" in out
    else:  # each search ends on its every chain done and its error
        assert err == ""
        for k, e in enumerate(model.restart_errors_):
            assert f"BMF essai {k + 1}/2, chaine {model.effort}/{model.effort} : erreur {e}\n" in out


def test_the_bar_ends_on_the_restart_the_fit_keeps(capsys):
    pytest.importorskip("tqdm")
    model = BMF(2, solver="alternate", n_init=4, random_state=5, n_jobs=2, verbose=1).fit(TWO_SETS)
    errors = list(model.restart_errors_)
    best = errors.index(min(errors))
    assert errors[-1] != errors[best]  # meaningful only if the last start is not the best
    final = capsys.readouterr().err.rstrip().split("\r")[-1]
    assert final.startswith("BMF: 100%") and final.endswith(f"meilleur essai {best + 1}/4, erreur {errors[best]}]")


def test_restarts_example_reports_the_gain_over_the_first_run():
    example = Path(__file__).parents[2] / "examples" / "bmf_restarts.py"
    result = subprocess.run([sys.executable, str(example)], capture_output=True, text=True, check=False)
    assert result.returncode == 0, result.stderr
    fields = dict(re.findall(r"^([a-z0-9 ]+):\s+(.*)$", result.stdout, re.MULTILINE))
    single = int(fields["one run"].split()[1])
    errors = [int(e) for e in re.findall(r"\d+", fields["4 restarts"].split(" in ")[0])]
    assert len(errors) == 4 and errors[0] == single  # same random_state: the single run is the first restart
    assert int(fields["gain"].split()[0]) == single - min(errors)


def test_import_without_scikit_learn_says_what_to_install():
    code = "import sys; sys.modules['sklearn'] = None; import valdrix_learn"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=False)
    assert 'ImportError: valdrix_learn a besoin de scikit-learn' in result.stderr
    assert 'pip install "Valdrix[learn]"' in result.stderr


# The checks feed random reals, which BMF refuses: those are listed with
# their reasons in its tags and must fail (xfail_strict); the others pass.
if tuple(map(int, sklearn.__version__.split(".")[:2])) >= (1, 6):
    sklearn_checks = parametrize_with_checks([BMF(2)], expected_failed_checks=lambda e: e._more_tags()["_xfail_checks"])
else:  # older versions read the reasons from the tags themselves
    sklearn_checks = parametrize_with_checks([BMF(2)])


@sklearn_checks
def test_scikit_learn_checks(estimator, check):
    check(estimator)



# ---------------------------------------------------------------- read_matrix

DATA = next((p / "shared" / "data" / "bmf" for p in Path(__file__).resolve().parents
             if (p / "shared" / "data" / "bmf").is_dir()), None)


@pytest.mark.parametrize("missing", [0.0, 0.3])
@pytest.mark.parametrize("shape", [(1, 4), (37, 70), (6, 3)])
def test_read_matrix_gives_back_what_was_written(tmp_path, shape, missing):
    rng = np.random.default_rng(shape[0] + int(10 * missing))
    a = rng.random(shape) < 0.4
    cells = np.where(rng.random(shape) >= missing, a, np.nan)
    text = np.where(np.isnan(cells), "", np.where(cells == 1, "1", "0")).astype(object)
    padded = rng.random(shape) < 0.3
    text[padded] = " " + text[padded] + "\t"  # spaces around a field, or a blank of spaces
    lines = [",".join(row) for row in text]
    lines.insert(1, "  ")  # a blank line is no row
    (tmp_path / "x.csv").write_text("\r\n".join(lines))
    got = read_matrix(tmp_path / "x.csv")
    assert got.dtype == (np.float64 if np.isnan(cells).any() else bool) and got.shape == shape
    assert np.array_equal(got, cells, equal_nan=True)
    # FIMI under another name: an all-zero row is an empty line; the width is the last 1 bit's, or n_columns.
    (tmp_path / "x.txt").write_text("".join(" ".join(map(str, np.flatnonzero(row))) + "\n" for row in a))
    width = int(np.flatnonzero(a.any(axis=0)).max(initial=-1)) + 1
    assert np.array_equal(read_matrix(str(tmp_path / "x.txt"), format="fimi"), a[:, :width])
    wide = read_matrix(tmp_path / "x.txt", format="fimi", n_columns=shape[1] + 2)
    assert wide.dtype == bool and np.array_equal(wide, np.c_[a, np.zeros((shape[0], 2), bool)])


@pytest.mark.parametrize("name, text, kwargs, message", [
    ("x.csv", "0,1\n1,2\n", {}, "x.csv ne doit contenir que des 0, des 1 et des cases vides : '2' en ligne 2, colonne 2"),
    ("x.csv", "0,1\n\n1, 1 0\n", {}, "'1 0' en ligne 3, colonne 2"),  # spaces only around a field
    ("x.csv", "11,0", {}, "'11' en ligne 1, colonne 1"),
    ("x.csv", "0,1\n0,1,1\n", {}, "x.csv n'est pas rectangulaire : colonne 3 en trop en ligne 2 (3 colonnes, 2 en"),
    ("x.csv", "\n0,1,1\n0,,\n0,1\n", {}, "colonne 3 manquante en ligne 4 (2 colonnes, 3 en ligne 2)"),
    ("x.csv", "0,1,1\n0,1\n0,x,1\n", {}, "colonne 3 manquante en ligne 2"),  # whichever comes first
    ("x.csv", "1\n0\n\n1\n\n", {}, "x.csv n'a qu'une colonne : sa ligne 3, vide, serait une case manquante"),
    ("x.fimi", "0 2\n-1\n", {}, "x.fimi ne doit contenir que des indices de colonne entiers d'au moins 0 : '-1' en "
                                  "ligne 2"),
    ("x.fimi", "\n\n0 1.5 3", {}, "'1.5' en ligne 3"),
    ("x.fimi", "\n" + "9" * 30, {}, f"'{'9' * 30}' en ligne 2"),
    ("x.csv", "3 4\n\n5 1\n", {"format": "fimi", "n_columns": 5}, "un 1 en colonne 5, en ligne 3, au-dela des "
                                                                    "n_columns=5"),
    ("x.fimi", "1", {"n_columns": -1}, "n_columns doit etre un entier d'au moins 0, pas -1"),
    ("x.csv", "1", {"n_columns": 3}, "n_columns ne vaut que pour le format fimi"),
    ("x.csv", "1", {"format": "tsv"}, "format inconnu : 'tsv'"),
])
def test_read_matrix_names_the_line_and_column_of_bad_input(tmp_path, name, text, kwargs, message):
    (tmp_path / name).write_text(text)
    with pytest.raises(ValueError) as e:
        read_matrix(tmp_path / name, **kwargs)
    assert message in str(e.value)


@pytest.mark.skipif(DATA is None, reason="no shared/data/bmf above the project root: the public data sets are absent")
@pytest.mark.parametrize("name, shape, ones, missing", [("breast.csv", (699, 90), 6516, 160),
                                                        ("mushroom.fimi", (8124, 119), 186852, 0)])
def test_read_matrix_reads_the_public_data_sets(name, shape, ones, missing):
    x = read_matrix(DATA / name)
    assert x.shape == shape and np.nansum(x) == ones and np.isnan(x).sum() == missing
    assert x.dtype == (np.float64 if missing else bool)
