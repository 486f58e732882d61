"""valdrix_learn.dask.ao_bmf on two single-threaded worker processes against
one (the "NumPy" column is that one-worker run), on the planted matrix
20000 x 2000 at r = 20, three iterations, layout included. Both clusters are
LocalClusters of this machine, so the ratio needs two free cores. The check
also measures what moves per iteration and each worker's peak memory, printed
as notes.
"""
from __future__ import annotations

import pickle

import numpy as np

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
]
