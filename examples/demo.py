"""Factorise a 0/1 matrix with Valdrix and draw what the factors found.

    python examples/demo.py                        # scikit-learn's handwritten digits
    python examples/demo.py my.npy --rank 8        # your own matrix: .npy, or text/CSV of 0 and 1

With no file, every 8 x 8 digit image becomes a row of 64 bits (pixel > 7) and
ao_bmf looks for `rank` basis patterns whose ORs rebuild the digits: x ~ w @ h,
where row i of w says which patterns (rows of h) make up digit i.
"""
from __future__ import annotations

import argparse
import time
import warnings
from pathlib import Path

import matplotlib

matplotlib.use("Agg")  # draw to a file, no display needed
import matplotlib.pyplot as plt
import numpy as np

from Valdrix import BitMatrix, ao_bmf


def whole_number(low: int, high: int):
    def parse(text: str) -> int:
        if not text.isdigit() or not low <= int(text) <= high:
            raise argparse.ArgumentTypeError(f"expected a whole number from {low} to {high}, not {text!r}")
        return int(text)

    return parse


def load_matrix(path: Path) -> np.ndarray:
    """Reads a 0/1 matrix; raises ValueError with a message for the user."""
    try:
        if path.suffix == ".npy":
            a = np.load(path, allow_pickle=False)
        else:
            with warnings.catch_warnings():  # an empty file is reported below, not warned about
                warnings.simplefilter("ignore")
                a = np.loadtxt(path, delimiter="," if "," in path.read_text() else None, ndmin=2)
    except (OSError, ValueError, UnicodeDecodeError) as e:
        raise ValueError(f"cannot read {path}: {e}") from None
    if a.ndim != 2:
        raise ValueError(f"{path} holds a {a.ndim}-D array; a matrix (2-D) is needed")
    if a.size == 0:
        raise ValueError(f"{path} holds an empty {a.shape[0]} x {a.shape[1]} matrix")
    if a.dtype.kind not in "biuf":
        raise ValueError(f"{path} holds {a.dtype} values; only 0 and 1 are allowed")
    bad = np.argwhere((a != 0) & (a != 1))
    if len(bad):
        i, j = bad[0]
        raise ValueError(f"{path}: value {a[i, j]} at row {i + 1}, column {j + 1}; only 0 and 1 are allowed")
    return a.astype(bool)


def draw_digits(x: BitMatrix, approx: BitMatrix, h: BitMatrix, labels: np.ndarray, title: str, out: Path) -> None:
    shown = [int(np.argmax(labels == d)) for d in range(10)]  # the first image of each digit
    x_np, approx_np, h_np = x.to_numpy(), approx.to_numpy(), h.to_numpy()
    pattern_rows = -(-h.rows // 10)
    size = (10, 2.4 + 1.2 * pattern_rows)
    fig, axes = plt.subplots(2 + pattern_rows, 10, figsize=size, squeeze=False, layout="constrained")
    for ax in axes.flat:
        ax.set_axis_off()
    for col, i in enumerate(shown):
        axes[0, col].imshow(x_np[i].reshape(8, 8), cmap="gray_r")
        axes[0, col].set_title(f"digit {labels[i]}", fontsize=8)
        axes[1, col].imshow(approx_np[i].reshape(8, 8), cmap="gray_r")
        axes[1, col].set_title("w @ h", fontsize=8)
    for k in range(h.rows):
        ax = axes[2 + k // 10, k % 10]
        ax.imshow(h_np[k].reshape(8, 8), cmap="Blues")
        ax.set_title(f"pattern h[{k}]", fontsize=8)
    fig.suptitle(title)
    fig.savefig(out, format="png", dpi=100)


def draw_matrix(x: BitMatrix, approx: BitMatrix, title: str, out: Path) -> None:
    panels = [("x", x, "gray_r"), ("w @ h", approx, "gray_r"), ("x ^ (w @ h): the errors", x ^ approx, "Reds")]
    fig, axes = plt.subplots(1, 3, figsize=(12, 4.5), layout="constrained")
    for ax, (name, m, colours) in zip(axes, panels):
        ax.imshow(m.to_numpy(), cmap=colours, aspect="auto", interpolation="nearest")
        ax.set_title(name)
    fig.suptitle(title)
    fig.savefig(out, format="png", dpi=100)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("file", nargs="?", type=Path, help="a 0/1 matrix (.npy, or text/CSV); default: the digits")
    parser.add_argument("-r", "--rank", type=whole_number(1, 26), help="1 to 26 (default 16 for the digits, else 4)")
    parser.add_argument("--seed", type=whole_number(0, 2**64 - 1), default=0, help="picks the starting columns")
    parser.add_argument("--out", type=Path, help="the PNG file or folder (default examples/out/NAME.png)")
    args = parser.parse_args()

    if args.file is None:
        from sklearn.datasets import load_digits  # bundled with scikit-learn, no download

        digits = load_digits()
        name, data, labels, r = "digits", digits.data > 7, digits.target, args.rank or 16
    else:
        try:
            name, data, labels, r = args.file.stem, load_matrix(args.file), None, args.rank or 4
        except ValueError as e:
            parser.error(str(e))  # prints the usage and the message, exits with status 2

    x = BitMatrix.from_numpy(data)
    start = time.perf_counter()
    result = ao_bmf(x, r, seed=args.seed)
    seconds = time.perf_counter() - start
    approx = result.w @ result.h  # the same matrix as result.reconstruct()
    assert x.hamming(approx) == result.error

    ones = x.count_ones()
    relative = result.error / ones if ones else 0.0
    print(f"data:           {name}, {x.rows} x {x.cols}, {ones} ones")
    print(f"rank:           {r}")
    print(f"error:          {result.error} of {x.rows * x.cols} bits differ")
    print(f"relative error: {relative:.3f} (error / ones in x)")
    print(f"iterations:     {result.iterations}")
    print(f"time:           {seconds:.3f} s")

    out = args.out or Path(__file__).parent / "out" / f"{name}.png"
    out = out / f"{name}.png" if out.is_dir() else out
    title = f"{name}: {x.rows} x {x.cols}, rank {r}, error {result.error} (relative {relative:.3f})"
    try:
        out.parent.mkdir(parents=True, exist_ok=True)
        if labels is not None:
            draw_digits(x, approx, result.h, labels, title, out)
        else:
            draw_matrix(x, approx, title, out)
    except OSError as e:
        parser.error(f"cannot write {out}: {e}")
    print(f"PNG:            {out}")


if __name__ == "__main__":
    main()
