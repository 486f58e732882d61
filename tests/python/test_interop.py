"""BitMatrix where other Python data goes: pickles and copies, NumPy's array
protocol, the packed byte form of np.packbits(bitorder="little") and
coordinates of the ones, each checked against NumPy on the same values."""

import copy
import pickle
from concurrent.futures import ProcessPoolExecutor

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import Valdrix
from Valdrix import BitMatrix

# One row, one column, and widths on both sides of byte and word boundaries.
SHAPES = [(1, 1), (1, 200), (200, 1), (3, 7), (4, 8), (5, 9), (2, 63), (2, 64), (2, 65), (6, 127), (3, 129)]


def random_bits(shape, seed, density=0.5):
    return np.random.default_rng(seed).random(shape) < density


def rebuilt(rows, cols, data):
    """What loading a pickle carrying these fields gives."""
    reduced = (Valdrix._rebuild_bitmatrix, (rows, cols, data))
    return pickle.loads(pickle.dumps(_Reduced(reduced)))


class _Reduced:
    def __init__(self, reduced):
        self.reduced = reduced

    def __reduce__(self):
        return self.reduced


@pytest.mark.parametrize("shape", SHAPES)
def test_pickle_copy_and_packed_round_trips_are_exact(shape):
    a = random_bits(shape, sum(shape))
    m = BitMatrix.from_numpy(a)
    for protocol in range(2, pickle.HIGHEST_PROTOCOL + 1):
        back = pickle.loads(pickle.dumps(m, protocol=protocol))
        assert type(back) is BitMatrix and back == m and back.count_ones() == a.sum()
    # Out of band: the buffer handed over is read-only (it may be the words
    # themselves, and the loaded matrix may read them in place). A write to
    # either side, by item or in place, leaves the other and the buffer as
    # they were.
    buffers = []
    stream = pickle.dumps(m, protocol=5, buffer_callback=buffers.append)
    assert len(buffers) == 1 and buffers[0].raw().readonly
    packed = m.to_packed().tobytes()
    assert bytes(buffers[0].raw()) == packed
    in_band = pickle.dumps(m, protocol=5)
    back, back_in_band = pickle.loads(stream, buffers=buffers), pickle.loads(in_band)
    assert back == back_in_band == m
    back[0, 0] = not back[0, 0]
    back_in_band ^= BitMatrix.ones(*shape)
    assert m[0, 0] == a[0, 0] and bytes(buffers[0].raw()) == packed
    m[shape[0] - 1, 0] = not m[shape[0] - 1, 0]
    m |= BitMatrix.ones(*shape)
    for again in (pickle.loads(stream, buffers=buffers), pickle.loads(in_band)):
        assert np.array_equal(np.asarray(again), a)
    assert bytes(buffers[0].raw()) == packed and back_in_band == ~BitMatrix.from_numpy(a)
    m = BitMatrix.from_numpy(a)
    for dup in (copy.copy(m), copy.deepcopy(m), copy.deepcopy([m, m])[0]):
        assert dup == m and dup is not m
        dup[0, 0] = not dup[0, 0]
        assert m[0, 0] == a[0, 0]  # independent of the original
    packed = m.to_packed()
    assert packed.dtype == np.uint8 and packed.flags.c_contiguous
    np.testing.assert_array_equal(packed, np.packbits(a, axis=1, bitorder="little"))
    assert BitMatrix.from_packed(packed, shape[1]) == m
    np.testing.assert_array_equal(np.asarray(m), a)
    rows, cols = m.nonzero()
    assert rows.dtype == cols.dtype == np.int64
    for got, want in zip((rows, cols), np.nonzero(a)):
        np.testing.assert_array_equal(got, want)
    assert BitMatrix.from_indices(*shape, rows, cols) == m


def test_pickles_are_packed_bytes_with_little_overhead():
    m = BitMatrix.from_numpy(random_bits((300, 1001), 1))
    for protocol in range(3, pickle.HIGHEST_PROTOCOL + 1):
        assert len(pickle.dumps(m, protocol=protocol)) <= m.to_packed().nbytes + 200


def test_damaged_pickles_are_refused_and_padding_is_dropped():
    good = BitMatrix.from_numpy(random_bits((3, 10), 2))
    data = good.to_packed().tobytes()
    bad = [
        ((3, 10, data[:-1]), "5 octets pour une matrice 3x10, 6 attendus"),
        ((3, 10, data + b"\0"), "7 octets"),
        ((-3, 10, data), "dimension -3"),
        ((3, 0, b""), "dimension 0"),
        ((2**62, 2**62, data), "dimensions 4611686018427387904x4611686018427387904 impossibles"),
        ((3, 10, list(data)), "donnees 'list' au lieu d'octets contigus"),
        ((3, 10, bytearray(data[1:])), "5 octets pour une matrice 3x10, 6 attendus"),
    ]
    for fields, message in bad:
        with pytest.raises(ValueError, match=message):
            rebuilt(*fields)
    # The buffers given to an out-of-band load are checked alike.
    buffers = []
    stream = pickle.dumps(good, protocol=5, buffer_callback=buffers.append)
    for buffer, message in [
        (data[:-1], "5 octets pour une matrice 3x10, 6 attendus"),
        (np.zeros(2, np.uint32), "8 octets pour une matrice 3x10, 6 attendus"),
        (memoryview(data * 2)[::2], "donnees 'memoryview' au lieu d'octets contigus"),
    ]:
        with pytest.raises(ValueError, match=message):
            pickle.loads(stream, buffers=[buffer])
    assert pickle.loads(stream, buffers=[bytearray(data)]) == good
    # Every padding bit set: the columns past 10 must not appear.
    padded = bytes(b | 0xFC if k % 2 else b for k, b in enumerate(data))
    m = rebuilt(3, 10, padded)
    assert m == good and m.count_ones() == good.count_ones() and ~~m == good


def test_numpy_array_protocol():
    a = random_bits((5, 70), 3)
    m = BitMatrix.from_numpy(a)
    for got in (np.asarray(m), np.array(m), np.array(m, copy=True)):
        assert got.dtype == np.bool_ and got.shape == (5, 70)
        np.testing.assert_array_equal(got, a)
    for dtype in (np.uint8, np.float32, np.int64):
        got = np.asarray(m, dtype=dtype)
        assert got.dtype == dtype
        np.testing.assert_array_equal(got, a.astype(dtype))
    with pytest.raises(ValueError, match="copy=False est impossible"):
        np.asarray(m, copy=False)
    # Functions that convert their arguments first take a matrix; ufuncs
    # refuse it (__array_ufunc__ is None), as NumPy's operators do.
    assert np.count_nonzero(m) == a.sum() and np.array_equal(m, a) and np.where(m, 1, 0).sum() == a.sum()
    with pytest.raises(TypeError, match="__array_ufunc__=None"):
        np.sum(m)


def test_from_packed_reads_any_layout_and_refuses_what_it_cannot_read():
    a = random_bits((40, 37), 4)
    packed = np.packbits(a, axis=1, bitorder="little")
    assert BitMatrix.from_packed(np.asfortranarray(packed), 37) == BitMatrix.from_numpy(a)
    assert BitMatrix.from_packed(packed[::-2], 37) == BitMatrix.from_numpy(a[::-2])
    assert BitMatrix.from_packed(packed[:, ::-1].copy()[:, ::-1], 37) == BitMatrix.from_numpy(a)
    # Padding bits past column 37 are dropped, not refused; 33..37 need the same 5 bytes.
    assert BitMatrix.from_packed(packed | np.array([0, 0, 0, 0, 0xE0], np.uint8), 37) == BitMatrix.from_numpy(a)
    assert BitMatrix.from_packed(packed, 33) == BitMatrix.from_numpy(a[:, :33])
    for args, exc, message in [
        ((packed.astype(np.int8), 37), TypeError, "doit etre de type uint8, pas int8"),
        ((packed.tolist(), 37), TypeError, "tableau NumPy uint8 a 2 dimensions, pas un objet 'list'"),
        ((packed[0], 37), ValueError, "doit avoir 2 dimensions, il en a 1"),
        ((packed, 41), ValueError, "a a 5 colonnes ; cols=41 en demande 6"),
        ((packed, 0), ValueError, "dimensions invalides 40x0"),
        ((packed[:0], 37), ValueError, "dimensions invalides 0x37"),
    ]:
        with pytest.raises(exc, match=message):
            BitMatrix.from_packed(*args)


def test_from_indices_takes_any_integer_input_and_checks_every_pair():
    rows = np.array([0, 4, 4, 2, 0, 4])
    cols = np.array([69, 0, 0, 64, 69, 1])
    want = np.zeros((5, 70), bool)
    want[rows, cols] = True  # repeats set the same bit
    for r, c in [(rows, cols), (rows.tolist(), cols.tolist()), (rows.astype(np.uint8), cols.astype(np.int16)),
                 (rows.astype(">i4"), tuple(cols)), (rows[::-1], cols[::-1]), (rows.astype(np.uint64), cols)]:  # fmt: skip
        np.testing.assert_array_equal(BitMatrix.from_indices(5, 70, r, c).to_numpy(), want)
    assert BitMatrix.from_indices(2, 3, [], []) == BitMatrix.zeros(2, 3)
    for args, exc, message in [
        ((5, 70, [0, 5], [1, 1]), IndexError, r"paire numero 1 \(5, 1\) est hors limites pour une matrice 5x70"),
        ((5, 70, [0, 1, 0], [1, 70, -1]), IndexError, r"paire numero 1 \(1, 70\)"),
        ((5, 70, [0, -1], [1, 2]), IndexError, r"paire numero 1 \(-1, 2\)"),
        ((5, 70, np.array([2**64 - 1], np.uint64), [0]), IndexError, r"\(18446744073709551615, 0\)"),
        ((5, 70, [0, 1], [1]), ValueError, "2 indices de lignes pour 1 indices de colonnes"),
        ((5, 70, np.zeros((1, 1), int), [0]), ValueError, "row_indices doit avoir 1 dimension, il en a 2"),
        ((5, 70, [0.0], [0]), TypeError, "row_indices"),
        ((5, 70, [0], "0"), TypeError, "col_indices"),
        ((0, 70, [], []), ValueError, "dimensions invalides 0x70"),
    ]:
        with pytest.raises(exc, match=message):
            BitMatrix.from_indices(*args)


@settings(max_examples=60, deadline=None)
@given(st.integers(1, 70), st.integers(1, 150), st.floats(0, 1), st.integers(0, 2**32 - 1))
def test_sparse_and_packed_forms_match_numpy(rows, cols, density, seed):
    a = random_bits((rows, cols), seed, density)
    m = BitMatrix.from_numpy(a)
    assert BitMatrix.from_packed(np.packbits(a, axis=1, bitorder="little"), cols) == m
    got = m.nonzero()
    for g, w in zip(got, np.nonzero(a)):
        np.testing.assert_array_equal(g, w)
    assert BitMatrix.from_indices(rows, cols, *got) == m


def _flip(m):
    return ~m


def test_matrices_cross_process_boundaries():
    ms = [BitMatrix.from_numpy(random_bits(shape, k)) for k, shape in enumerate(SHAPES)]
    with ProcessPoolExecutor(max_workers=2) as pool:
        assert list(pool.map(_flip, ms)) == [~m for m in ms]
