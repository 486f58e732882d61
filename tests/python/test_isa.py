"""The kernel set: chosen once at import from the processor or VALDRIX_ISA,
refused with a clear ImportError when it cannot run, and invisible in every
result."""

import os
import platform
import subprocess
import sys
import textwrap

import pytest

import Valdrix

SETS = ["generic", "avx2", "gfni", "avx512"]
AVX512 = ["AVX512F", "AVX512BW", "AVX512VL", "AVX512VBMI", "AVX512VPOPCNTDQ"]
NEEDS = {"generic": [], "avx2": ["AVX2", "BMI1", "BMI2", "POPCNT"], "gfni": ["AVX2", "BMI1", "BMI2", "POPCNT", "GFNI"],
         "avx512": ["AVX2", "BMI1", "BMI2", "POPCNT", "GFNI"] + AVX512}
CPUINFO_FLAG = {"AVX2": "avx2", "BMI1": "bmi1", "BMI2": "bmi2", "POPCNT": "popcnt", "GFNI": "gfni",
                "AVX512F": "avx512f", "AVX512BW": "avx512bw", "AVX512VL": "avx512vl", "AVX512VBMI": "avx512vbmi",
                "AVX512VPOPCNTDQ": "avx512_vpopcntdq"}
OS_STATE = "état AVX-512 du système"


def cpu_flags():
    """The processor's feature flags as the kernel reports them: an oracle
    independent of the module's own detection."""
    if platform.machine().lower() not in ("x86_64", "amd64"):
        return None
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("flags"):
                return set(line.split(":", 1)[1].split())
    return set()


def missing(name):
    flags = cpu_flags()
    if flags is None:
        return NEEDS[name]
    return [f for f in NEEDS[name] if CPUINFO_FLAG[f] not in flags]


def refusals(name):
    """The lists of missing features a refusal of `name` may give. Linux
    hides AVX-512 from /proc/cpuinfo when it does not save the AVX-512
    registers, while CPUID, which the module reads, still lists it: the
    module then names the system's state instead."""
    names = missing(name)
    forms = [names]
    if name == "avx512" and all(f in names for f in AVX512):
        forms.append([f for f in names if f not in AVX512] + [OS_STATE])
    return forms


RUNNABLE = [s for s in SETS if not missing(s)]


def import_with(value, code="import Valdrix; print(Valdrix._isa)"):
    env = dict(os.environ)
    if value is None:
        env.pop("VALDRIX_ISA", None)
    else:
        env["VALDRIX_ISA"] = value
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=300, env=env)


def test_active_set_is_private_and_as_forced():
    assert Valdrix._isa in SETS
    assert "_isa" not in Valdrix.__all__
    forced = os.environ.get("VALDRIX_ISA", "")
    if forced not in ("", "auto"):
        assert Valdrix._isa == forced
    # Set by the emulated runs, which know the processor model they ask for.
    if os.environ.get("VALDRIX_EXPECT_ISA"):
        assert Valdrix._isa == os.environ["VALDRIX_EXPECT_ISA"]


@pytest.mark.skipif(cpu_flags() is None, reason="the processor's flags are read from /proc/cpuinfo on x86-64")
@pytest.mark.parametrize("value", [None, "", "auto"])
def test_automatic_choice_is_the_best_set_the_processor_runs(value):
    done = import_with(value)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == RUNNABLE[-1]


@pytest.mark.parametrize("name", SETS)
def test_forcing_a_set(name):
    done = import_with(name)
    if not missing(name):
        assert done.returncode == 0, done.stderr
        assert done.stdout.strip() == name
    else:
        assert done.returncode != 0
        last = done.stderr.strip().splitlines()[-1]
        if cpu_flags() is None:
            assert last == f"ImportError: VALDRIX_ISA={name} : ce jeu de noyaux n'existe que sur x86-64"
        else:
            assert last in [f"ImportError: VALDRIX_ISA={name} : ce processeur n'a pas : {', '.join(names)}"
                            for names in refusals(name)]


@pytest.mark.parametrize("value", ["AVX2", "sse4", " avx2", "avx2 ", "generic,avx2", "gfni2", "avx512f", "AVX512"])
def test_unknown_names_are_refused_with_the_valid_ones(value):
    done = import_with(value)
    assert done.returncode != 0
    assert done.stderr.strip().splitlines()[-1] == (
        f"ImportError: VALDRIX_ISA={value} inconnu ; valeurs possibles : auto, generic, avx2, gfni, avx512")


# One digest of every dispatched family: element-wise operations and their
# streamed sizes, counts, equality, transpose (superblocks and border),
# product (both row strategies), byte packing both ways, zeta (single and
# batched) and a factorisation.
DIGEST = """
import hashlib, numpy as np, Valdrix
from Valdrix import BitMatrix, BoolLs, ao_bmf
rng = np.random.default_rng(7)
out = hashlib.sha256()
def put(*values):
    for v in values:
        out.update(repr(v.to_numpy().tobytes() if isinstance(v, BitMatrix) else v).encode())
for rows, cols, p in [(1, 1, .5), (3, 70, .5), (300, 517, .3), (700, 2100, .5), (2048, 1024, .02)]:
    a = BitMatrix.from_numpy(rng.random((rows, cols)) < p)
    b = BitMatrix.from_numpy(rng.random((rows, cols)) < p)
    put(a & b, a | b, a ^ b, a - b, ~a, a.count_ones(), a.hamming(b), a.count_andnot(b), a == b)
    put(a.transpose(), a.to_numpy()[:, ::-1].tobytes(), BitMatrix.from_numpy(a.to_numpy().T))
    put(a @ BitMatrix.from_numpy(rng.random((cols, 90)) < p))
for m, r, n in [(500, 6, 40), (3000, 12, 33), (2000, 17, 3)]:
    w = BitMatrix.from_numpy(rng.random((m, r)) < .3)
    x = BitMatrix.from_numpy(rng.random((m, n)) < .4)
    put(*BoolLs(w).solve_all(x))
res = ao_bmf(BitMatrix.from_numpy(rng.random((400, 120)) < .3), 8, seed=3)
put(res.w, res.h, res.error, res.iterations)
print(out.hexdigest())
"""


@pytest.mark.skipif(len(RUNNABLE) < 2, reason="only one kernel set runs here")
def test_every_set_gives_the_same_results():
    digests = {}
    for name in RUNNABLE:
        done = import_with(name, DIGEST)
        assert done.returncode == 0, done.stderr
        digests[name] = done.stdout.strip()
    assert len(set(digests.values())) == 1, digests
