"""valdrix_learn.dask.ao_bmf on two single-threaded worker processes against
one (the "NumPy" column is that one-worker run), on the planted matrix
20000 x 2000 at r = 20, three iterations, layout included. Both clusters are
LocalClusters of this machine, so the ratio needs two free cores. The check
also measures what moves per iteration and each worker's peak memory, printed
as notes.

A second case fits BMF on a dask array of chess_krvskp.csv at k = 20 (read
where it lies, skipped without shared/data/bmf) from the search's strong
starts against ao_bmf's start ("NumPy" column), on two workers; its check is
that the strong start's error is no higher, and a note gives both errors, the
best published one, and the strong start's from a sample of an eighth of the
rows.
"""
from __future__ import annotations

import json
import pickle
import time
from typing import Any

import numpy as np

from cases_masks import data_folder, read_cells
from cases_solver import planted
from run import Case
from Valdrix import BitMatrix, ao_bmf

ROWS, COLS, RANK, ITERATIONS = 20000, 2000, 20, 3
NOTES: list[str] = []


def _sent_between_workers(dask_worker) -> int:  # type: ignore[no-untyped-def]
    # What the worker fetched from the others; its outgoing count would also
    # hold what the client gathers.
    return sum(int(t["total"]) for t in dask_worker.transfer_incoming_log)


def setup():
    import dask.array as da
    from distributed import Client, LocalCluster

    a = planted(ROWS, COLS, RANK, seed=7)
    clients, inputs = {}, {}
    for n in (1, 2):
        cluster = LocalCluster(n_workers=n, threads_per_worker=1, processes=True, dashboard_address=None)
        clients[n] = Client(cluster, set_as_default=False)
        clients[n].run(lambda: __import__("valdrix_learn.dask"))  # what every task's unpickling imports anyway
        settled = sorted(clients[n].run(_resident_kib).values())
        # The input already on the workers, in row chunks, as data loaded by Dask would be.
        inputs[n] = clients[n].persist(da.from_array(a, chunks=(2500, COLS)))
    return {"x": inputs, "bits": BitMatrix.from_numpy(a), "clients": clients, "settled": settled}


def factorise(workers: int):
    from valdrix_learn.dask import ao_bmf as dask_ao_bmf

    return lambda s: dask_ao_bmf(s["x"][workers], RANK, max_iter=ITERATIONS, client=s["clients"][workers])


def _status_kib(field: str) -> int:
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field + ":"))


def _resident_kib() -> int:
    return _status_kib("VmRSS")


def _peak_kib() -> int:
    # VmHWM, not ru_maxrss: a worker is started from a fork of a larger
    # process, and ru_maxrss keeps that process's peak across the exec.
    return _status_kib("VmHWM")


def check(s, two, one) -> bool:
    from distributed import wait
    from valdrix_learn.dask import DistributedMatrix

    want = ao_bmf(s["bits"], RANK, max_iter=ITERATIONS)
    same = all((r.w, r.h, r.error, r.iterations) == (want.w, want.h, want.error, want.iterations) for r in (two, one))
    client = s["clients"][2]
    start = sum(client.run(_sent_between_workers).values())
    layout = DistributedMatrix(s["x"][2], client=client)
    with client.as_current():
        wait(layout.columns + layout.rows_t)  # the last blocks may still be arriving
    before = sum(client.run(_sent_between_workers).values())
    for _ in layout.alternate("zeta", RANK, ITERATIONS, 0):
        pass
    between = (sum(client.run(_sent_between_workers).values()) - before) / ITERATIONS
    w, ht = len(pickle.dumps(want.w)), len(pickle.dumps(want.h.transpose()))
    x_packed = ROWS * ((COLS + 7) // 8)
    NOTES.append(f"layout: {(before - start) / 2**20:.1f} MiB between workers")
    NOTES.append(f"per iteration: the client gathers W ({w / 1024:.0f} KiB) and H ({ht / 1024:.0f} KiB) in parts; "
                 f"the workers fetch {between / 1024:.0f} KiB from each other, the parts of each factor that the "
                 f"next step reads included (in Dask's count of resident bytes)")
    peaks = sorted(client.run(_peak_kib).values())
    NOTES.append(f"worker peak resident memory: {', '.join(f'{p / 1024:.0f} MiB' for p in peaks)} "
                 f"(before any task: {', '.join(f'{p / 1024:.0f} MiB' for p in s['settled'])}, interpreter and imports); "
                 f"X packed is {x_packed / 2**20:.1f} MiB, {ROWS * COLS / 2**20:.0f} MiB as bool")
    return same


START_FILE, START_RANK = "chess_krvskp.csv", 20
START_NOTES: list[str] = []


def _starts_setup() -> dict[str, Any]:
    import dask.array as da
    from distributed import Client, LocalCluster

    folder = data_folder()
    assert folder is not None
    x, observed = read_cells(folder / START_FILE)
    a = x.to_numpy().astype(np.float32)
    a[~observed.to_numpy()] = np.nan
    cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None)
    client = Client(cluster, set_as_default=False)
    published = json.loads((folder / "published.json").read_text())["rows"]
    [entry] = [p for p in published if p["file"] == START_FILE and p["k"] == START_RANK]
    return {"x": client.persist(da.from_array(a, chunks=(800, a.shape[1]))), "client": client,
            "best": min(entry["errors"].values())}


def _fit_dask(solver: str) -> Any:
    from valdrix_learn import BMF

    def fit(s: dict[str, Any]) -> Any:
        with s["client"].as_current():
            return BMF(START_RANK, solver=solver).fit(s["x"])

    return fit


def _starts_check(s: dict[str, Any], strong: Any, plain: Any) -> bool:
    import valdrix_learn.dask as dask_module

    rows, cols = s["x"].shape
    cap, dask_module.SAMPLE_CELLS = dask_module.SAMPLE_CELLS, rows * cols // 8
    try:
        t0 = time.perf_counter()
        sampled = _fit_dask("search")(s)
        seconds = time.perf_counter() - t0
    finally:
        dask_module.SAMPLE_CELLS = cap
    START_NOTES.append(f"{START_FILE} k={START_RANK}: strong start {strong.reconstruction_err_} "
                       f"({strong.n_iter_} iterations), ao_bmf's start {plain.reconstruction_err_} "
                       f"({plain.n_iter_}), best published {s['best']}; from {rows // 8} sampled rows "
                       f"{sampled.reconstruction_err_} in {seconds:.2f} s")
    return bool(strong.reconstruction_err_ <= plain.reconstruction_err_)


def _starts_cases() -> list[Case]:
    if data_folder() is None:
        print("cases_dask: no shared/data/bmf above the project root nor $VALDRIX_BMF_DATA: starts case skipped")
        return []
    return [Case(
        name=f"dask BMF chess k={START_RANK}: strong vs plain start",
        target="error <= ao_bmf start's (time: see ratio)",
        setup=_starts_setup,
        valdrix=_fit_dask("search"),
        numpy=_fit_dask("alternate"),
        check=_starts_check,
        repeat=3,
        notes=START_NOTES,
    )]


CASES = [
    Case(
        name=f"dask ao_bmf {ROWS}x{COLS} r={RANK}, 2 workers vs 1",
        target="ratio <= 0.625 (>= 1.6x faster)",
        setup=setup,
        valdrix=factorise(2),
        numpy=factorise(1),
        check=check,
        repeat=3,
        notes=NOTES,
    ),
] + _starts_cases()
