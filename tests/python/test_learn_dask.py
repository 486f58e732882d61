"""valdrix_learn.dask against Valdrix.ao_bmf on a real LocalCluster of two
worker processes: bit-identical results for any chunking, input kind and
method, the same refusals before any work, and a run that survives a worker
killed in its middle; BMF's strong starts on a Dask array, from sampled
rows, no worse than their start and the same on any cluster."""
from __future__ import annotations

import os
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

pytest.importorskip("distributed")
pytest.importorskip("sklearn")

import dask.array as da  # noqa: E402
from distributed import Client, LocalCluster  # noqa: E402

import Valdrix  # noqa: E402
from Valdrix import BitMatrix  # noqa: E402
from valdrix_learn import BMF  # noqa: E402
import valdrix_learn.dask as dask_module  # noqa: E402
from valdrix_learn.dask import DistributedMatrix, ao_bmf  # noqa: E402

pytestmark = pytest.mark.no_sanitizer  # worker processes would not inherit the preloaded runtimes


@pytest.fixture(scope="module")
def client():
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with Client(cluster) as c:
            yield c


def same(got, want) -> bool:
    return (got.w, got.h, got.error, got.iterations) == (want.w, want.h, want.error, want.iterations)


CASES = [
    # shape, chunks, r, method, seed, density, missing share
    ((50, 37), (7, 5), 3, "zeta", 3, 0.3, 0.0),  # ragged last chunks both ways
    ((50, 37), (7, 5), 3, "zeta", 3, 0.3, 0.3),
    ((120, 90), (120, 90), 5, "greedy-ls", 1, 0.4, 0.0),  # a single chunk
    ((64, 65), (64, 20), 4, "naive", 0, 0.2, 0.0),
    ((64, 65), (64, 20), 4, "greedy", 0, 0.2, 0.5),
    ((1, 40), (1, 9), 2, "greedy", 2, 0.5, 0.0),  # one row
    ((70, 1), (8, 1), 1, "zeta", 5, 0.5, 0.0),  # one column
    ((200, 150), (33, 47), 12, "zeta", 7, 0.1, 0.0),
    ((200, 150), (33, 47), 12, "zeta", 7, 0.1, 0.1),
]


@pytest.mark.parametrize("shape, chunks, r, method, seed, density, missing", CASES)
def test_bit_identical_to_ao_bmf(client, shape, chunks, r, method, seed, density, missing):
    rng = np.random.default_rng(seed)
    a = rng.random(shape) < density
    if missing:
        # Ones under the blanks too: they must count for nothing.
        observed = rng.random(shape) >= missing
        want = Valdrix.ao_bmf_masked(BitMatrix.from_numpy(a), BitMatrix.from_numpy(observed), r, method=method,
                                     seed=seed)
        gaps = np.where(observed, a, np.nan)
        inputs = (da.from_array(gaps, chunks=chunks),
                  da.ma.masked_array(da.from_array(a, chunks=chunks), mask=~observed),  # bool chunks, masked
                  np.ma.masked_array(a, mask=~observed))
    else:
        want = Valdrix.ao_bmf(BitMatrix.from_numpy(a), r, method=method, seed=seed)
        inputs = (da.from_array(a, chunks=chunks), da.from_array(a.astype(np.float32), chunks=chunks),
                  BitMatrix.from_numpy(a), a.astype(np.int64))
    for x in inputs:
        assert same(ao_bmf(x, r, method=method, seed=seed, client=client), want), type(x)


@pytest.fixture(scope="module", params=[False, True], ids=["observed", "missing"])
def diagonal(client, request):
    """A diagonal X, some of its columns zero, laid out once over blocks of
    both layouts: its first iteration gives back the start (see test_learn).
    With missing cells, some of its ones among them."""
    rng = np.random.default_rng(8)
    a = np.diag(rng.random(90) < 0.7)
    observed = rng.random(a.shape) >= 0.3 if request.param else None
    x = a if observed is None else np.where(observed, a, np.nan)
    return a, observed, DistributedMatrix(da.from_array(x, chunks=(17, 13)), client=client)


@settings(max_examples=12, deadline=None)
@given(st.integers(1, 12), st.integers(0, 2**64 - 1))
def test_the_start_is_the_cores_for_any_seed(diagonal, r, seed):
    a, observed, x = diagonal
    ones = np.diag(a) if observed is None else np.diag(a & observed)
    chosen = Valdrix._start_columns(np.flatnonzero(ones).tolist(), r, seed)
    [first] = x.alternate("zeta", r, 1, seed)
    assert first.w == BitMatrix.from_indices(len(a), r, chosen, range(len(chosen)))
    if observed is None:
        ref = Valdrix.ao_bmf(BitMatrix.from_numpy(a), r, max_iter=1, seed=seed)
    else:
        ref = Valdrix.ao_bmf_masked(BitMatrix.from_numpy(a), BitMatrix.from_numpy(observed), r, max_iter=1, seed=seed)
    assert (first.w, first.h, first.error) == (ref.w, ref.h, ref.error)


def test_bad_input_is_refused_before_any_work(client):
    def transitions():
        """The scheduler's count of task transitions, once earlier tests' releases have settled."""
        count = lambda dask_scheduler: dask_scheduler.transition_counter  # noqa: E731
        last, now = -1, client.run_on_scheduler(count)
        while now != last:
            time.sleep(0.3)
            last, now = now, client.run_on_scheduler(count)
        return now

    x = da.from_array(np.zeros((6, 4), bool), chunks=3)
    before = transitions()
    for call, message in [
        (lambda: ao_bmf(x, 0), "r doit valoir au moins 1"),
        (lambda: ao_bmf(x, 27), "rang 27 trop grand : le tableau interne ferait 2^27 entrees"),
        (lambda: ao_bmf(x, 2, method="fast"), None),
        (lambda: ao_bmf(x, 2, max_iter=0), "max_iter doit valoir au moins 1"),
        (lambda: ao_bmf(da.zeros(5, chunks=2), 2), "2 dimensions"),
    ]:
        with pytest.raises(ValueError) as info:
            call()
        if message is None:  # the module's own message for an unknown method
            with pytest.raises(ValueError) as direct:
                Valdrix.ao_bmf(BitMatrix(2, 2), 1, method="fast")
            message = str(direct.value)
        assert message in str(info.value)
    assert transitions() == before
    # The first bad value in row-major order, though a later block holds an
    # earlier column; a missing cell before both is not one.
    bad = np.zeros((6, 4))
    bad[4, 0], bad[2, 3], bad[0, 0] = 3, 2, np.nan
    with pytest.raises(ValueError, match=r"2\.0 en ligne 2, colonne 3"):
        ao_bmf(da.from_array(bad, chunks=3), 2, client=client)


@pytest.mark.parametrize("when", ["timer", "after_a_step_is_done"])
def test_a_worker_killed_mid_run_does_not_change_the_result(client, monkeypatch, when):
    rng = np.random.default_rng(5)
    w, h = rng.random((600, 8)) < 0.3, rng.random((8, 200)) < 0.3
    a = (w.astype(int) @ h.astype(int) > 0) ^ (rng.random((600, 200)) < 0.05)  # 9 iterations
    want = Valdrix.ao_bmf(BitMatrix.from_numpy(a), 8)
    pids = client.run(os.getpid)
    victim = next(iter(pids.values()))
    steps = DistributedMatrix(da.from_array(a, chunks=(100, 50)), client=client).alternate("zeta", 8, 50, 0)
    first = next(steps)
    if when == "timer":
        # The worker dies with half the blocks of both layouts, between two
        # iterations or during the next one's solves.
        threading.Timer(0.01, os.kill, (victim, signal.SIGKILL)).start()
    else:
        # It dies once a step's tasks are done and before their results are
        # fetched: they must be computed again, not waited for.
        real_wait, calls = dask_module.wait, []

        def wait_then_kill(*args, **kwargs):
            real_wait(*args, **kwargs)
            calls.append(1)
            if len(calls) == 2:
                os.kill(victim, signal.SIGKILL)
                while len(client.scheduler_info()["workers"]) == 2:
                    time.sleep(0.01)

        monkeypatch.setattr(dask_module, "wait", wait_then_kill)
    def stuck(*_):
        raise AssertionError("the run did not end")

    signal.signal(signal.SIGALRM, stuck)
    signal.alarm(120)
    try:
        *_, last = steps
    finally:
        signal.alarm(0)
    assert first.iteration == 1 and last.iteration == want.iterations > 2
    assert (last.w, last.h, last.error) == (want.w, want.h, want.error)
    client.wait_for_workers(2, timeout=60)
    assert set(client.run(os.getpid).values()) != set(pids.values())


def test_every_block_stays_on_one_worker(client):
    # Tasks that Dask may move to an idle worker take a copy of their block
    # along: over a run, one worker came to hold a whole layout.
    rng = np.random.default_rng(6)
    w, h = rng.random((4000, 12)) < 0.1, rng.random((12, 1000)) < 0.1
    a = (w.astype(int) @ h.astype(int) > 0) ^ (rng.random((4000, 1000)) < 0.05)
    x = DistributedMatrix(da.from_array(a, chunks=(500, 1000)), client=client)
    *_, last = x.alternate("zeta", 12, 8, 0)
    assert last.iteration > 4
    for layout in (x.columns, x.rows_t):
        holders = list(client.who_has(layout).values())
        assert all(len(h) == 1 for h in holders), holders
        assert len({h[0] for h in holders}) == 2, holders


@pytest.mark.parametrize("missing", [0.0, 0.2])
def test_bmf_fits_a_dask_array_on_the_cluster(client, missing):
    rng = np.random.default_rng(4)
    a = rng.random((80, 30)) < 0.3
    if missing:
        a = np.where(rng.random(a.shape) >= missing, a, np.nan)
    # With solver="alternate", the distributed fit is ao_bmf's alternation.
    local = BMF(4, n_init=2, random_state=1, solver="alternate").fit(a)
    with client.as_current():
        remote = BMF(4, n_init=2, random_state=1, solver="alternate").fit(da.from_array(a, chunks=(25, 30)))
    assert np.array_equal(remote.components_, local.components_)
    assert (remote.reconstruction_err_, remote.n_iter_) == (local.reconstruction_err_, local.n_iter_)
    assert np.array_equal(remote.transform(a), local.transform(a))


def noisy_planted(seed, shape=(400, 60), r=6, density=0.25, noise=0.03):
    rng = np.random.default_rng(seed)
    w, h = rng.random((shape[0], r)) < density, rng.random((r, shape[1])) < density
    return (w.astype(int) @ h.astype(int) > 0) ^ (rng.random(shape) < noise)


def observed_error(a, observed, w, h):
    wrong = (w.astype(int) @ h.astype(int) > 0) ^ a.astype(bool)
    return int((wrong if observed is None else wrong & observed).sum())


def test_sample_rows_are_bounded_and_drawn_from_the_seed(monkeypatch):
    assert dask_module.sample_rows((1000, 4000), 5, 9) == list(range(1000))  # 4 million cells: all of them
    monkeypatch.setattr(dask_module, "SAMPLE_CELLS", 600)
    rows = dask_module.sample_rows((1000, 40), 5, 9)
    assert len(rows) == 15 and rows == sorted(set(rows)) and 0 <= rows[0] and rows[-1] < 1000
    assert rows == dask_module.sample_rows((1000, 40), 5, 9) != dask_module.sample_rows((1000, 40), 5, 10)
    assert len(dask_module.sample_rows((1000, 4000), 5, 9)) == 5  # wider than the cap: one row per pattern


@pytest.mark.parametrize("missing", [0.0, 0.3])
def test_rows_come_from_the_blocks_with_their_observed_cells(client, missing):
    rng = np.random.default_rng(11)
    a = rng.random((50, 37)) < 0.4
    observed = rng.random(a.shape) >= missing
    x = DistributedMatrix(da.from_array(np.where(observed, a, np.nan) if missing else a, chunks=(7, 5)),
                          client=client)
    for rows in ([0], [49], [3, 4, 5, 20, 33, 48], list(range(50))):
        got = x.rows(rows)
        assert got.bits == BitMatrix.from_numpy(a[rows] & observed[rows])
        assert got.observed == (BitMatrix.from_numpy(observed[rows]) if missing else None)


@pytest.mark.parametrize("missing", [0.0, 0.2])
def test_the_first_iteration_is_no_worse_than_the_strong_start(client, monkeypatch, missing):
    # Exact steps from W solved against the sample's H: H solved against
    # that W can only do better, whichever rows the sample missed.
    monkeypatch.setattr(dask_module, "SAMPLE_CELLS", 1500)  # 25 of the 400 rows
    a = noisy_planted(1)
    observed = np.random.default_rng(2).random(a.shape) >= missing if missing else None
    x = DistributedMatrix(da.from_array(a if observed is None else np.where(observed, a, np.nan), chunks=(90, 60)),
                          client=client)
    assert len(dask_module.sample_rows(x.shape, 6, 5)) == 25
    h = x.strong_start(6, 5, 8, 1)
    # The best W for that H, row by row, and its error counted directly.
    solver = Valdrix.BoolLs(h.transpose())
    xt = BitMatrix.from_numpy(a.T if observed is None else (a & observed).T)
    w = (solver.solve_all(xt, "zeta") if observed is None
         else solver.solve_all_masked(xt, BitMatrix.from_numpy(observed.T), "zeta"))[0].transpose()
    start = observed_error(a, observed, w.to_numpy(), h.to_numpy())
    steps = list(x.alternate_from(h, "zeta", 50))
    assert steps[0].error <= start
    assert all(later.error <= earlier.error for earlier, later in zip(steps, steps[1:]))
    last = steps[-1]
    assert last.error == observed_error(a, observed, last.w.to_numpy(), last.h.to_numpy())
    with pytest.raises(ValueError, match="H de depart"):
        next(x.alternate_from(BitMatrix(6, 59), "zeta", 50))


def test_the_search_starts_beat_the_plain_start(client):
    a = noisy_planted(1)  # ao_bmf's columns end far from the planted factors here
    x = da.from_array(a, chunks=(100, 30))
    with client.as_current():
        plain = BMF(6, solver="alternate").fit(x)
        strong = BMF(6)
        w = strong.fit_transform(x)
    assert strong.reconstruction_err_ * 2 < plain.reconstruction_err_
    assert strong.reconstruction_err_ == observed_error(a, None, w, strong.components_)
    assert list(strong.restart_errors_) == [strong.reconstruction_err_] and strong.n_iter_ >= 1


def test_the_search_starts_do_not_depend_on_workers_threads_or_chunks(client, monkeypatch):
    monkeypatch.setattr(dask_module, "SAMPLE_CELLS", 1000)  # 20 of the 300 rows
    rng = np.random.default_rng(0)
    a = rng.random((300, 50)) < 0.3  # unstructured: the runs end apart
    gaps = np.where(rng.random(a.shape) >= 0.15, a, np.nan)
    fitted = []
    with client.as_current():
        fitted.append(BMF(5, n_init=3, effort=4, random_state=2, n_jobs=1).fit(da.from_array(gaps, chunks=(70, 50))))
    with LocalCluster(n_workers=1, threads_per_worker=2, processes=False, dashboard_address=":0",
                      worker_dashboard_address=None) as one, Client(one) as single, single.as_current():
        fitted.append(BMF(5, n_init=3, effort=4, random_state=2, n_jobs=2).fit(da.from_array(gaps, chunks=(300, 13))))
    two, one = fitted
    assert np.array_equal(two.components_, one.components_)
    assert (two.reconstruction_err_, two.n_iter_) == (one.reconstruction_err_, one.n_iter_)
    assert list(two.restart_errors_) == list(one.restart_errors_) and len(set(two.restart_errors_)) > 1
    observed = ~np.isnan(gaps)
    assert two.reconstruction_err_ == observed_error(a, observed, two.transform(gaps), two.components_)


@pytest.mark.parametrize("tqdm", [True, False])
def test_progress_shows_the_starts_then_the_iterations(client, capsys, monkeypatch, tqdm):
    if not tqdm:
        monkeypatch.setitem(sys.modules, "tqdm", None)
        monkeypatch.setitem(sys.modules, "tqdm.auto", None)
    a = noisy_planted(1)
    with client.as_current():
        model = BMF(6, n_init=2, effort=4, verbose=1).fit(da.from_array(a, chunks=(100, 30)))
    out, err = capsys.readouterr()
    if tqdm:
        assert out == "" and "BMF: 100%" in err and "depart : chaine 4/4" in err
        return
    assert err == ""
    lines = out.splitlines()
    for k in (1, 2):  # every run: its search's chains, then its iterations
        starts = [i for i, line in enumerate(lines) if line.startswith(f"BMF essai {k}/2, depart : chaine ")]
        iterations = [i for i, line in enumerate(lines) if line.startswith(f"BMF essai {k}/2, iteration ")]
        assert starts and "chaine 4/4, erreur sur l'echantillon " in lines[starts[-1]]
        assert iterations and max(starts) < min(iterations)
    assert f"iteration {model.n_iter_} : erreur {model.reconstruction_err_}" in out


def test_without_dask_the_import_says_what_to_install():
    code = "import sys; sys.modules['distributed'] = None\nimport valdrix_learn.dask"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.returncode != 0 and 'pip install "Valdrix[dask]"' in done.stderr
