"""What reading blanks as missing rather than as 0 does to a fit, on public
0/1 data sets with blanks.

    python bench/cases_masks.py

For each data set and rank below: the observed-cell error |M & (X xor W o H)|
of the best of 20 seeds (0 to 19) of ao_bmf_masked (M = the observed cells)
and of ao_bmf with blanks read as 0 (its factors' error recounted over the
observed cells), beside the best published error of published.json, which
counts the same cells; then the mean over the 20 seeds of each, and on how
many seeds the masked fit is the lower of the two (both start from the same
columns for a seed). The exit status is 1 unless the masked best is lower on
every row. Under run.py the same table is the notes of one case, which also
times one fit of each kind on breast at k = 23, both held to the same number
of iterations (the "NumPy" column is ao_bmf on the blanks read as 0).

The data are read where they lie, never copied here: $VALDRIX_BMF_DATA, else
shared/data/bmf in the first folder above the project root that has it (the
project's ../shared/data/bmf, or its main copy's for a worktree). Without
them nothing runs, and a line says so.
"""
from __future__ import annotations

import json
import os
import sys
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from run import Case
from Valdrix import BitMatrix, ao_bmf, ao_bmf_masked
from valdrix_learn import read_matrix

ROOT = Path(__file__).resolve().parents[1]
SEEDS = range(20)
RUNS = [("breast.csv", 23), ("tumor.csv", 11), ("tumor.csv", 22), ("soybean.csv", 25)]


def data_folder() -> Path | None:
    if "VALDRIX_BMF_DATA" in os.environ:
        folder = Path(os.environ["VALDRIX_BMF_DATA"])
        return folder if folder.is_dir() else None
    return next((p / "shared" / "data" / "bmf" for p in ROOT.parents if (p / "shared" / "data" / "bmf").is_dir()),
                None)


def read_cells(path: Path) -> tuple[BitMatrix, BitMatrix]:
    """X (blanks read as 0) and its observed cells, from a CSV or FIMI file."""
    a = read_matrix(path)
    return BitMatrix.from_numpy(a == 1), BitMatrix.from_numpy(a == a)  # a blank, NaN, differs from itself


@dataclass
class Row:
    name: str
    k: int
    shape: tuple[int, int]
    missing: int
    masked: list[int]  # the error of every seed
    blanks_as_0: list[int]
    published: tuple[int, str]  # (error, method)


def best(errors: list[int]) -> tuple[int, int]:
    """The lowest error and its seed, the smallest on ties."""
    return min((e, s) for s, e in zip(SEEDS, errors))


def effect_rows(folder: Path) -> list[Row]:
    published = json.loads((folder / "published.json").read_text())["rows"]
    rows = []
    for name, k in RUNS:
        x, observed = read_cells(folder / name)
        masked = [ao_bmf_masked(x, observed, k, seed=s).error for s in SEEDS]
        zeros = []
        for s in SEEDS:
            fit = ao_bmf(x, k, seed=s)
            zeros.append(((x ^ (fit.w @ fit.h)) & observed).count_ones())
        [entry] = [p for p in published if p["file"] == name and p["k"] == k]
        method, error = min(entry["errors"].items(), key=lambda item: item[1])
        rows.append(Row(name, k, x.shape, x.rows * x.cols - observed.count_ones(), masked, zeros, (error, method)))
    return rows


def table(rows: list[Row]) -> list[str]:
    lines = [f"{'data':12} {'k':>3} {'shape':>8} {'missing':>7} {'masked (seed)':>14} {'blanks=0 (seed)':>16} "
             f"{'published best':<20} {'mean masked':>12} {'mean blanks=0':>14} {'masked lower':>13}"]
    for r in rows:
        (m, ms), (z, zs) = best(r.masked), best(r.blanks_as_0)
        wins = sum(a < b for a, b in zip(r.masked, r.blanks_as_0))
        lines.append(f"{r.name:12} {r.k:3} {r.shape[0]:4}x{r.shape[1]:<3} {r.missing:7} {m:9} ({ms:2}) {z:11} ({zs:2}) "
                     f"{r.published[0]:8} {r.published[1]:<11} {sum(r.masked) / len(SEEDS):12.1f} "
                     f"{sum(r.blanks_as_0) / len(SEEDS):14.1f} {wins:7}/{len(SEEDS)} seeds")
    lines.append("errors: wrong observed cells; seeds 0-19, max_iter=50, method zeta")
    return lines


def masked_lower(rows: list[Row]) -> bool:
    return all(best(r.masked)[0] < best(r.blanks_as_0)[0] for r in rows)


def _cases() -> list[Case]:
    folder = data_folder()
    if folder is None:
        print("cases_masks: no shared/data/bmf above the project root nor $VALDRIX_BMF_DATA: effect case skipped")
        return []
    notes: list[str] = []

    def setup() -> dict[str, object]:
        rows = effect_rows(folder)
        notes.extend(table(rows))
        x, observed = read_cells(folder / "breast.csv")
        seed = best(rows[0].masked)[1]
        iterations = min(ao_bmf_masked(x, observed, 23, seed=seed).iterations, ao_bmf(x, 23, seed=seed).iterations)
        notes.append(f"timed: breast k=23, seed {seed}, max_iter={iterations} on both sides")
        return {"x": x, "observed": observed, "seed": seed, "max_iter": iterations, "rows": rows}

    return [Case(
        name="ao_bmf_masked breast k=23, effect table",
        target="none: masked error below blanks=0 on every row",
        setup=setup,
        valdrix=lambda s: ao_bmf_masked(s["x"], s["observed"], 23, max_iter=s["max_iter"], seed=s["seed"]),
        numpy=lambda s: ao_bmf(s["x"], 23, max_iter=s["max_iter"], seed=s["seed"]),
        check=lambda s, v, n: masked_lower(s["rows"]),
        repeat=7,
        notes=notes,
    )]


def main() -> int:
    folder = data_folder()
    if folder is None:
        print("no shared/data/bmf above the project root nor $VALDRIX_BMF_DATA: nothing to run")
        return 0
    rows = effect_rows(folder)
    print("\n".join(table(rows)))
    lower = masked_lower(rows)
    print("masked fit lower on every row:", "yes" if lower else "NO")
    return 0 if lower else 1


CASES = _cases() if __name__ != "__main__" else []

if __name__ == "__main__":
    sys.exit(main())
