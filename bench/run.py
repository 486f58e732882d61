"""Valdrix benchmarks against a NumPy baseline measured in the same run.

    python bench/run.py [-k SUBSTRING] [--repeat N]

Each case times Valdrix and a NumPy baseline doing the same work, interleaved
(V, N, V, N, ...), and prints both medians and their ratio (Valdrix / NumPy).
Every timed call follows an untimed call of the same side, so that it finds
the caches and the heap as its own side leaves them in a loop, not as the
other side does: otherwise a side pays for the other's debris, such as the
heap top that glibc returns to the system after NumPy frees its temporaries
and that the next fresh result must fault in again page by page.
Case modules are the files bench/cases_*.py; each exposes CASES, a list of
Case objects. Timings on shared machines drift, so only the ratio of one run
means anything.
"""
from __future__ import annotations

import argparse
import importlib.util
import pathlib
import platform
import statistics
import sys
import time
from dataclasses import dataclass, field
from typing import Any, Callable

import numpy

import Valdrix


@dataclass
class Case:
    name: str
    target: str  # the goal, as printed, e.g. "ratio <= 1.0"
    setup: Callable[[], Any]  # returns the state passed to both callables
    valdrix: Callable[[Any], Any]
    numpy: Callable[[Any], Any]
    check: Callable[[Any, Any, Any], bool] | None = None  # (state, v_result, n_result)
    repeat: int = 7
    per: int = 1  # divide both medians by this (e.g. per column)
    unit: str = "s"
    notes: list[str] = field(default_factory=list)


def load_cases() -> list[Case]:
    here = pathlib.Path(__file__).parent
    cases: list[Case] = []
    for path in sorted(here.glob("cases_*.py")):
        spec = importlib.util.spec_from_file_location(path.stem, path)
        assert spec and spec.loader
        module = importlib.util.module_from_spec(spec)
        sys.modules[path.stem] = module
        spec.loader.exec_module(module)
        cases.extend(module.CASES)
    return cases


def time_once(fn: Callable[[Any], Any], state: Any) -> tuple[float, Any]:
    t0 = time.perf_counter()
    out = fn(state)
    return time.perf_counter() - t0, out


def run_case(case: Case, repeat: int | None) -> tuple[float, float, bool | None]:
    state = case.setup()
    # One warm-up of each side, which also provides the results to check.
    _, v_out = time_once(case.valdrix, state)
    _, n_out = time_once(case.numpy, state)
    ok = case.check(state, v_out, n_out) if case.check else None
    del v_out, n_out
    vt: list[float] = []
    nt: list[float] = []
    for _ in range(repeat or case.repeat):
        case.valdrix(state)
        vt.append(time_once(case.valdrix, state)[0])
        case.numpy(state)
        nt.append(time_once(case.numpy, state)[0])
    return statistics.median(vt) / case.per, statistics.median(nt) / case.per, ok


def fmt(t: float) -> str:
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if t >= scale:
            return f"{t / scale:8.3f} {unit}"
    return f"{t / 1e-9:8.3f} ns"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("-k", dest="filter", default="", help="run only cases whose name contains this")
    parser.add_argument("--repeat", type=int, default=None, help="timed runs per side (default: per case)")
    args = parser.parse_args()
    cases = [c for c in load_cases() if args.filter in c.name]
    # The kernel set decides the speed of every case (VALDRIX_ISA forces one).
    print(f"Valdrix {Valdrix.__version__}, kernel set {Valdrix._isa}; NumPy {numpy.__version__}; "
          f"CPython {platform.python_version()}; {platform.machine()}")
    print(f"{'case':44} {'Valdrix':>12} {'NumPy':>12} {'ratio':>9} {'same':>5}  target")
    failed_checks = 0
    for case in cases:
        v, n, ok = run_case(case, args.repeat)
        same = "-" if ok is None else ("yes" if ok else "NO")
        failed_checks += ok is False
        print(f"{case.name:44} {fmt(v):>12} {fmt(n):>12} {v / n:9.4f} {same:>5}  {case.target}", flush=True)
        for note in case.notes:
            print(f"    {note}")
    return 1 if failed_checks else 0


if __name__ == "__main__":
    sys.exit(main())
