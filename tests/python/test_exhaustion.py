"""Absurd sizes: a size that cannot be represented is the "capacity overflow"
PanicException, memory that cannot be had is MemoryError, and either way the
interpreter goes on. Sizes beyond any machine are asked for in this process
(the allocator refuses them before touching a page); real exhaustion is made
in a child interpreter whose address space is capped a little above what it
already uses, so nothing here takes more than a few hundred MiB."""

from __future__ import annotations

import subprocess
import sys
import textwrap

import pytest

from Valdrix import BitMatrix

# ---------------------------------------------------------------- in this process

# Every way of making a matrix of a given size.
MAKERS = pytest.mark.parametrize(
    "make",
    [BitMatrix, BitMatrix.zeros, BitMatrix.ones, lambda r, c: BitMatrix(r, c, True)],
    ids=["new", "zeros", "ones", "new_filled"],
)


@MAKERS
@pytest.mark.parametrize(
    "rows, cols",
    [
        (2**62, 256),  # word count beyond 64 bits
        (2**64 - 1, 2**64 - 1),
        (2**61, 1),  # byte size beyond 2^63 - 8
    ],
)
def test_unrepresentable_sizes_are_capacity_overflow(make, rows, cols):
    with pytest.raises(BaseException) as info:
        make(rows, cols)
    assert type(info.value).__name__ == "PanicException"
    assert not isinstance(info.value, Exception)
    assert str(info.value) == "capacity overflow"
    assert make(2, 3).shape == (2, 3)  # and the interpreter goes on


@MAKERS
@pytest.mark.parametrize(
    "rows, cols",
    [
        (2**40, 64),  # 8 TiB
        (1, 2**64 - 1),  # 2 EiB in one row
        (2**33, 2**20),  # 2^47 words
        (2**60 // 3, 64),  # just under the representable limit
    ],
)
def test_sizes_beyond_any_memory_are_memory_error(make, rows, cols):
    with pytest.raises(MemoryError):
        make(rows, cols)
    m = make(3, 70)
    assert m.shape == (3, 70)


# ---------------------------------------------------------------- in a capped child

CHILD = """
import resource, sys
import numpy as np
from Valdrix import *

def address_space():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

_, hard = resource.getrlimit(resource.RLIMIT_AS)

def attempt(call, headroom):
    # Only the soft limit moves, so it can be lifted again for the next try.
    resource.setrlimit(resource.RLIMIT_AS, (address_space() + headroom, hard))
    try:
        call()
        outcome = "ok"
    except MemoryError:
        outcome = "MemoryError"
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
    print(outcome, flush=True)

{setup}
for headroom in {headrooms}:
    attempt(lambda: {call}, headroom << 20)
print("alive", BitMatrix.ones(3, 70).count_ones(), flush=True)
"""


def run_capped(setup, call, headrooms):
    code = CHILD.format(setup=textwrap.dedent(setup), call=call, headrooms=list(headrooms))
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    return done.returncode, done.stdout.split("\n"), done.stderr


# (id, setup run before the cap, call under the cap, headrooms in MiB)
BIG = "big = BitMatrix.zeros(2**24, 64)  # 128 MiB, never touched\n"
CAPPED = [
    ("zeros_1GiB", "", "BitMatrix.zeros(2**27, 64)", [16, 128, 512]),
    ("ones_1GiB", "", "BitMatrix.ones(2**27, 64)", [16, 128, 512]),
    ("new_filled_1GiB", "", "BitMatrix(2**27, 64, True)", [16, 128, 512]),
    ("invert", BIG, "~big", [16, 64]),
    ("copy", BIG, "big.copy()", [16, 64]),
    ("and", BIG, "big & big", [16, 64]),
    ("xor", BIG, "big ^ big", [16, 64]),
    ("sub", BIG, "big - big", [16, 64]),
    ("transpose", BIG, "big.transpose()", [16, 64]),
    ("product", BIG, "big @ BitMatrix.zeros(64, 2**20)", [16, 64]),
    ("to_numpy", BIG, "big.to_numpy()", [16, 256]),
    ("to_list", "big = BitMatrix.zeros(2**16, 2**10)\n", "big.to_list()", [16, 64, 256]),
    ("from_numpy", "a = np.zeros((2**15, 2**15), dtype=bool)\n", "BitMatrix.from_numpy(a)", [16, 64]),
    ("from_list", "rows = [[0, 1] * 2**9] * 2**14\n", "BitMatrix.from_list(rows)", [1, 4, 16]),
    ("boolls_rank_26", "w = BitMatrix.zeros(1000, 26)\n", "BoolLs(w)", [16, 128]),
    ("boolls_fn_rank_26", "w = BitMatrix.zeros(1000, 26)\nx = np.zeros(1000, dtype=bool)\n", "boolls(w, x)",
     [16, 128]),  # fmt: skip
    ("ao_bmf_rank_26", "x = BitMatrix.ones(50, 40)\n", "ao_bmf(x, 26)", [16, 128]),
    ("ao_bmf_rank_26_huge_x", "x = BitMatrix.zeros(2**21, 64)  # 16 MiB\n", "ao_bmf(x, 26)", [16, 128]),
    ("boolls_huge_w", "w = BitMatrix.zeros(2**23, 26)  # 64 MiB\n", "BoolLs(w)", [16, 64, 256]),
]

# Many distinct target columns: the working memory sized by the targets
# (initial column candidates, target record, row errors) runs out somewhere
# in this range of caps, before or after the matrices do.
SWEEP = [0, 1, 2, 4, 8, 16, 24, 32, 48, 64, 96, 128, 160]
MANY = "x = BitMatrix.from_numpy(np.random.default_rng(1).integers(0, 2, (20, 2**20), dtype=np.uint8) == 1)\n"
CAPPED += [
    ("ao_bmf_many_columns", MANY, "ao_bmf(x, 2)", SWEEP),
    ("solve_all_many_columns", MANY + "s = BoolLs(BitMatrix.ones(20, 2))\n", "s.solve_all(x)", SWEEP),
]


@pytest.mark.no_sanitizer  # the sanitizers reserve terabytes of address space
@pytest.mark.parametrize(
    "setup, call, headrooms",
    [c[1:] for c in CAPPED],
    ids=[c[0] for c in CAPPED],
)
def test_exhaustion_is_memory_error_and_the_interpreter_lives_on(setup, call, headrooms):
    code, lines, err = run_capped(setup, call, headrooms)
    assert code == 0, f"child ended with {code}: {err[-800:]}"
    outcomes = lines[: len(headrooms)]
    assert set(outcomes) <= {"ok", "MemoryError"}, (outcomes, err[-800:])
    assert outcomes[0] == "MemoryError", outcomes  # the smallest cap does bite
    assert lines[len(headrooms)] == "alive 210"
