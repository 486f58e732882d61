"""examples/demo.py as a user runs it: the digits by default, a user's own 0/1
file, and a clear message with exit status 2 (never a traceback) for a bad file."""
from __future__ import annotations

import importlib.util
import re
import subprocess
import sys
from pathlib import Path
from types import ModuleType

import numpy as np
import pytest

EXAMPLES = Path(__file__).parents[2] / "examples"
PNG_MAGIC = b"\x89PNG\r\n\x1a\n"


def demo(*args: str | Path, cwd: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, str(EXAMPLES / "demo.py"), *map(str, args)],
        cwd=cwd, capture_output=True, text=True, timeout=600, check=False,
    )


def report(stdout: str) -> dict[str, str]:
    return dict(re.findall(r"^([a-zA-Z ]+):\s+(.*)$", stdout, re.MULTILINE))


def test_digits_by_default(tmp_path: Path) -> None:
    out = EXAMPLES / "out" / "digits.png"
    result = demo(cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    fields = report(result.stdout)
    assert fields["data"].startswith("digits, 1797 x 64")
    assert fields["rank"] == "16"
    error = int(fields["error"].split()[0])
    ones = int(fields["data"].split(", ")[2].split()[0])
    assert 0 < error < ones  # a rank-16 fit of the digits is neither exact nor useless
    assert float(fields["relative error"].split()[0]) == pytest.approx(error / ones, abs=1e-3)
    assert int(fields["iterations"]) >= 1
    assert fields["PNG"] == str(out) and out.read_bytes().startswith(PNG_MAGIC)


@pytest.mark.parametrize("suffix", [".npy", ".csv", ".txt"])
def test_a_users_file_is_factorised(tmp_path: Path, suffix: str) -> None:
    rng = np.random.default_rng(5)
    data = (rng.random((30, 12)) < 0.3).astype(np.uint8)
    path = tmp_path / f"mine{suffix}"
    if suffix == ".npy":
        np.save(path, data.astype(bool))
    else:
        np.savetxt(path, data, fmt="%d", delimiter="," if suffix == ".csv" else " ")
    png = tmp_path / "pictures" / "mine.png"
    result = demo(path, "--rank", "3", "--seed", "9", "--out", png, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    fields = report(result.stdout)
    assert fields["data"] == f"mine, 30 x 12, {int(data.sum())} ones"
    assert fields["rank"] == "3"
    assert fields["PNG"] == str(png) and png.read_bytes().startswith(PNG_MAGIC)


def bad_files(tmp: Path) -> list[tuple[Path, str]]:
    cases = {
        "missing.npy": None,
        "three.npy": np.zeros((2, 2, 2), dtype=bool),
        "vector.npy": np.ones(4, dtype=bool),
        "empty.npy": np.zeros((0, 3), dtype=bool),
        "twos.npy": np.array([[0, 1], [2, 0]]),
        "nan.npy": np.array([[0.0, np.nan]]),
        "words.npy": np.array([["a", "b"]]),
        "objects.npy": np.array([[0, 1]], dtype=object),
        "empty.txt": "",
        "letters.csv": "0,1\n1,x\n",
        "ragged.txt": "0 1 1\n1 0\n",
        "halves.txt": "0 0.5\n1 1\n",
        "binary.txt": b"\xff\xfe\x00\x01",
    }
    made = []
    for name, content in cases.items():
        path = tmp / name
        if isinstance(content, np.ndarray):
            np.save(path, content, allow_pickle=True)
        elif isinstance(content, str):
            path.write_text(content)
        elif isinstance(content, bytes):
            path.write_bytes(content)
        made.append(path)
    expected = [
        "No such file", "3-D array", "1-D array", "empty 0 x 3", "value 2 at row 2, column 1", "value nan at row 1, column 2",
        "<U1 values", "cannot read", "empty", "cannot read", "cannot read", "value 0.5 at row 1, column 2",
        "cannot read",
    ]
    return list(zip(made, expected))


@pytest.fixture(scope="module")
def demo_module() -> ModuleType:
    spec = importlib.util.spec_from_file_location("demo", EXAMPLES / "demo.py")
    assert spec and spec.loader
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_bad_files_are_refused_with_a_message(tmp_path: Path, demo_module: ModuleType) -> None:
    for path, expected in bad_files(tmp_path):
        with pytest.raises(ValueError) as refused:
            demo_module.load_matrix(path)
        assert expected in str(refused.value) and path.name in str(refused.value), path.name


@pytest.mark.parametrize("name", ["missing.npy", "twos.npy", "letters.csv"])
def test_a_bad_file_ends_with_status_2_and_no_traceback(tmp_path: Path, name: str) -> None:
    path, expected = next((p, e) for p, e in bad_files(tmp_path) if p.name == name)
    result = demo(path, cwd=tmp_path)
    assert result.returncode == 2 and result.stdout == ""
    assert "Traceback" not in result.stderr
    assert "demo.py: error: " in result.stderr and expected in result.stderr


@pytest.mark.parametrize("args", [["--rank", "0"], ["--rank", "27"], ["--rank", "x"], ["--seed", "-1"]])
def test_bad_options_are_refused(tmp_path: Path, args: list[str]) -> None:
    result = demo(*args, cwd=tmp_path)
    assert result.returncode == 2 and "Traceback" not in result.stderr
    assert "expected a whole number from" in result.stderr


def test_the_tour_runs(tmp_path: Path) -> None:
    result = subprocess.run(
        [sys.executable, str(EXAMPLES / "tour.py")], cwd=tmp_path, capture_output=True, text=True, timeout=120,
        check=False,
    )
    assert result.returncode == 0, result.stderr
    assert "<BitMatrix" in result.stdout


@pytest.mark.parametrize("out,written", [("folder", "folder/small.png"), ("picture", "picture"), ("a/b.png", "a/b.png")])
def test_out_names_a_file_or_an_existing_folder(tmp_path: Path, out: str, written: str) -> None:
    (tmp_path / "folder").mkdir()
    np.save(tmp_path / "small.npy", np.eye(4, dtype=bool))
    result = demo(tmp_path / "small.npy", "--out", tmp_path / out, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert report(result.stdout)["PNG"] == str(tmp_path / written)
    assert (tmp_path / written).read_bytes().startswith(PNG_MAGIC)


def test_an_unwritable_picture_is_reported(tmp_path: Path) -> None:
    np.save(tmp_path / "small.npy", np.eye(4, dtype=bool))
    (tmp_path / "blocker").write_text("a file, not a folder")
    result = demo(tmp_path / "small.npy", "--out", tmp_path / "blocker" / "x.png", cwd=tmp_path)
    assert result.returncode == 2 and "Traceback" not in result.stderr
    assert "cannot write" in result.stderr
