"""Element-wise operators, counts, transpose, product and text form."""
import ctypes
import ctypes.util

import numpy as np

from run import Case
from Valdrix import BitMatrix

N = 8192


def random_pair(n=N, density=0.5, seed=1):
    rng = np.random.default_rng(seed)
    a = rng.random((n, n), dtype=np.float32) < density
    b = rng.random((n, n), dtype=np.float32) < density
    return a, b


def packed(a):
    return np.packbits(a, axis=1, bitorder="little").view(np.uint64)


def setup_pair():
    a, b = random_pair()
    return {
        "ma": BitMatrix.from_numpy(a), "mb": BitMatrix.from_numpy(b),
        "wa": packed(a), "wb": packed(b),
    }


def same_matrix(state, v, n):
    return np.array_equal(packed(v.to_numpy()), n)


_pair = {}


def pair():
    if not _pair:
        _pair.update(setup_pair())
    return _pair


BINARY = [
    ("&", lambda s: s["ma"] & s["mb"], lambda s: np.bitwise_and(s["wa"], s["wb"])),
    ("|", lambda s: s["ma"] | s["mb"], lambda s: np.bitwise_or(s["wa"], s["wb"])),
    ("^", lambda s: s["ma"] ^ s["mb"], lambda s: np.bitwise_xor(s["wa"], s["wb"])),
    ("-", lambda s: s["ma"] - s["mb"], lambda s: np.bitwise_and(s["wa"], np.invert(s["wb"]))),
    ("~", lambda s: ~s["ma"], lambda s: np.invert(s["wa"])),
]


def _inplace_v(op):
    def f(s):
        m = s["ma"]
        if op == "&=":
            m &= s["mb"]
        elif op == "|=":
            m |= s["mb"]
        else:
            m ^= s["mb"]
        return m
    return f


def _inplace_n(ufunc):
    return lambda s: ufunc(s["wa"], s["wb"], out=s["wa"])


INPLACE = [("&=", np.bitwise_and), ("|=", np.bitwise_or), ("^=", np.bitwise_xor)]

# "-" is a fused a & ~b in Valdrix, two ufuncs in NumPy: the comparison with
# the numpy pair is the honest one (no single NumPy ufunc does it).
CASES = [
    Case(f"{name} 8192x8192", "ratio <= 1.0 (NumPy ufunc on packed uint64)", pair, v, n, check=same_matrix)
    for name, v, n in BINARY
]
CASES += [
    Case(f"{op} 8192x8192", "ratio <= 1.0 (NumPy ufunc with out=)", pair, _inplace_v(op), _inplace_n(u))
    for op, u in INPLACE
]
CASES += [
    Case("count_ones 8192x8192", "ratio <= 0.5 (np.bitwise_count(...).sum())", pair,
         lambda s: s["ma"].count_ones(), lambda s: int(np.bitwise_count(s["wa"]).sum()),
         check=lambda s, v, n: v == n),
    Case("hamming 8192x8192", "ratio <= 0.5 (np.bitwise_count(a ^ b).sum())", pair,
         lambda s: s["ma"].hamming(s["mb"]), lambda s: int(np.bitwise_count(s["wa"] ^ s["wb"]).sum()),
         check=lambda s, v, n: v == n),
    Case("count_andnot 8192x8192", "ratio <= 0.5 (np.bitwise_count(a & ~b).sum())", pair,
         lambda s: s["ma"].count_andnot(s["mb"]), lambda s: int(np.bitwise_count(s["wa"] & ~s["wb"]).sum()),
         check=lambda s, v, n: v == n),
]


# The same counts and an in-place form on 1024 x 1024 (128 KiB an operand),
# which stays in the second-level cache between calls: what the kernels do
# when memory does not bound them. Each side loops IN_CACHE_CALLS times, so
# that a call's Python overhead is measured alike on both sides.
IN_CACHE_CALLS = 100


def small_pair():
    a, b = random_pair(1024, seed=2)
    return {"ma": BitMatrix.from_numpy(a), "mb": BitMatrix.from_numpy(b), "wa": packed(a), "wb": packed(b)}


def _calls(f):
    def run(s):
        for _ in range(IN_CACHE_CALLS - 1):
            f(s)
        return f(s)
    return run


def _xor_in_place_v(s):
    s["ma"] ^= s["mb"]


def _xor_in_place_n(s):
    np.bitwise_xor(s["wa"], s["wb"], out=s["wa"])


CASES += [
    Case("count_ones 1024x1024 in cache", "ratio <= 0.5 (avx512: <= 0.15)", small_pair,
         _calls(lambda s: s["ma"].count_ones()), _calls(lambda s: int(np.bitwise_count(s["wa"]).sum())),
         check=lambda s, v, n: v == n, repeat=15, per=IN_CACHE_CALLS),
    Case("hamming 1024x1024 in cache", "ratio <= 0.5 (avx512: <= 0.15)", small_pair,
         _calls(lambda s: s["ma"].hamming(s["mb"])),
         _calls(lambda s: int(np.bitwise_count(s["wa"] ^ s["wb"]).sum())),
         check=lambda s, v, n: v == n, repeat=15, per=IN_CACHE_CALLS),
    Case("count_andnot 1024x1024 in cache", "ratio <= 0.5 (avx512: <= 0.15)", small_pair,
         _calls(lambda s: s["ma"].count_andnot(s["mb"])),
         _calls(lambda s: int(np.bitwise_count(s["wa"] & ~s["wb"]).sum())),
         check=lambda s, v, n: v == n, repeat=15, per=IN_CACHE_CALLS),
    Case("^= 1024x1024 in cache", "ratio <= 1.0 (NumPy ufunc with out=)", small_pair,
         _calls(_xor_in_place_v), _calls(_xor_in_place_n), repeat=15, per=IN_CACHE_CALLS),
]


def transpose_setup(rows, cols):
    # The baseline copies the packed bytes: rows of these widths are not
    # whole 64-bit words.
    def setup():
        a = np.random.default_rng(4).random((rows, cols), dtype=np.float32) < 0.5
        return {"ma": BitMatrix.from_numpy(a), "wa": np.packbits(a, axis=1, bitorder="little")}
    return setup


CASES += [
    Case("transpose 8192x8192 vs word copy", "ratio <= 2 (gfni, avx512), <= 2.5 (avx2); NumPy copy of the words",
         pair, lambda s: s["ma"].transpose(), lambda s: s["wa"].copy()),
] + [
    Case(f"transpose {rows}x{cols} vs word copy", "no set slower than the set below it (NumPy copy of the words)",
         transpose_setup(rows, cols), lambda s: s["ma"].transpose(), lambda s: s["wa"].copy())
    for rows, cols in ((1024, 1024), (10000, 10000), (1000, 50000))
] + [
    Case("transpose 8192x8192 vs unpack.T.pack", "ratio <= 0.02 (>= 50x faster)", pair,
         lambda s: s["ma"].transpose(),
         lambda s: np.ascontiguousarray(np.packbits(
             np.unpackbits(s["wa"].view(np.uint8), axis=1, bitorder="little").T,
             axis=1, bitorder="little")).view(np.uint64),
         check=lambda s, v, n: np.array_equal(packed(v.to_numpy()), n), repeat=3),
]


def setup_product():
    rng = np.random.default_rng(3)
    a = rng.random((2048, 2048)) < 0.5
    b = rng.random((2048, 2048)) < 0.5
    return {"ma": BitMatrix.from_numpy(a), "mb": BitMatrix.from_numpy(b),
            "fa": a.astype(np.float32), "fb": b.astype(np.float32)}


CASES += [
    Case("@ 2048x2048 density 0.5", "ratio <= 0.05 (>= 20x faster than float32 matmul > 0)", setup_product,
         lambda s: s["ma"] @ s["mb"], lambda s: (s["fa"] @ s["fb"]) > 0,
         check=lambda s, v, n: np.array_equal(v.to_numpy(), n), repeat=5),
]


def setup_huge():
    m = BitMatrix.ones(100_000, 100_000)
    return {"m": m, "w": np.ones(100_000 * 1563, dtype=np.uint64)}


CASES += [
    Case("str() 100000x100000", "bounded: about one count pass (NumPy: popcount of the words)", setup_huge,
         lambda s: str(s["m"]), lambda s: int(np.bitwise_count(s["w"]).sum()),
         check=lambda s, v, n: len(v.split("\n")) == 22 and max(map(len, v.split("\n"))) <= 148, repeat=3),
]


# M4RI's GF(2) product (mzd_mul, XOR for OR) as a time baseline: a fast
# four-Russians product of the same shapes written by others. Its result is
# not ours, so each case checks Valdrix against NumPy instead. The matrices
# are filled through mzd_t's row pointers; its layout (64 bytes, `rows` last)
# is that of Debian's libm4ri-dev.


class _Mzd(ctypes.Structure):
    _fields_ = [("nrows", ctypes.c_int), ("ncols", ctypes.c_int), ("width", ctypes.c_int),
                ("rowstride", ctypes.c_int), ("offset_vector", ctypes.c_int), ("row_offset", ctypes.c_int),
                ("flags", ctypes.c_uint8), ("blockrows_log", ctypes.c_uint8), ("padding", ctypes.c_uint8 * 14),
                ("high_bitmask", ctypes.c_uint64), ("blocks", ctypes.c_void_p),
                ("rows", ctypes.POINTER(ctypes.POINTER(ctypes.c_uint64)))]


def _load_m4ri():
    name = ctypes.util.find_library("m4ri")
    if name is None:
        return None
    try:
        lib = ctypes.CDLL(name)
    except OSError:
        return None
    lib.mzd_init.restype = ctypes.POINTER(_Mzd)
    lib.mzd_init.argtypes = [ctypes.c_int, ctypes.c_int]
    lib.mzd_free.argtypes = [ctypes.POINTER(_Mzd)]
    lib.mzd_mul.restype = ctypes.POINTER(_Mzd)
    lib.mzd_mul.argtypes = [ctypes.POINTER(_Mzd)] * 3 + [ctypes.c_int]
    return lib


_m4ri = _load_m4ri()


class _M4riMatrix:
    """An mzd_t owned by Python, freed with the object."""

    def __init__(self, words):
        rows, stride = words.shape
        self.m = _m4ri.mzd_init(rows, stride * 64)
        words = np.ascontiguousarray(words)
        for i in range(rows):
            ctypes.memmove(self.m.contents.rows[i], words[i].ctypes.data, stride * 8)

    def __del__(self):
        _m4ri.mzd_free(self.m)


def setup_product_m4ri(density, n=4096):
    def setup():
        rng = np.random.default_rng(5)
        a = rng.random((n, n), dtype=np.float32) < density
        b = rng.random((n, n), dtype=np.float32) < density
        return {"ma": BitMatrix.from_numpy(a), "mb": BitMatrix.from_numpy(b), "a": a, "b": b,
                "za": _M4riMatrix(packed(a)), "zb": _M4riMatrix(packed(b)),
                "zc": _M4riMatrix(np.zeros((n, n // 64), dtype=np.uint64))}
    return setup


def m4ri_product(s):
    _m4ri.mzd_mul(s["zc"].m, s["za"].m, s["zb"].m, 0)
    return None


def same_as_numpy_product(s, v, _):
    expected = (s["a"].astype(np.float32) @ s["b"].astype(np.float32)) > 0
    return np.array_equal(v.to_numpy(), expected)


if _m4ri is None:
    print("cases_algebra: libm4ri not found (Debian: libm4ri-dev): the products against M4RI are skipped")
else:
    CASES += [
        Case(f"@ 4096x4096 density {d} vs M4RI", target, setup_product_m4ri(d),
             lambda s: s["ma"] @ s["mb"], m4ri_product, check=same_as_numpy_product, repeat=5,
             notes=["baseline: M4RI mzd_mul (GF(2), XOR for OR) on the same bits, C preallocated"])
        for d, target in ((0.5, "ratio <= 0.1"), (0.05, "ratio <= 0.3"), (0.01, "no worse than before (0.13)"))
    ]
