"""Operators, counts, comparison, hashing, transpose and text form of BitMatrix."""
import operator
import struct

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from Valdrix import BitMatrix


def from_array(arr: np.ndarray) -> BitMatrix:
    m = BitMatrix(arr.shape[0], arr.shape[1])
    for i, j in zip(*np.nonzero(arr)):
        m[int(i), int(j)] = True
    return m


def to_array(m: BitMatrix) -> np.ndarray:
    return np.array([[m[i, j] for j in range(m.cols)] for i in range(m.rows)], dtype=bool)


@st.composite
def pairs(draw, max_rows=6, max_cols=140):
    rows = draw(st.integers(1, max_rows))
    cols = draw(st.sampled_from([1, 2, 3, 8, 9, 63, 64, 65, 70, 128, 129, max_cols]))
    seed = draw(st.integers(0, 2**32 - 1))
    rng = np.random.default_rng(seed)
    density = draw(st.sampled_from([0.0, 0.1, 0.5, 0.9, 1.0]))
    a = rng.random((rows, cols)) < density
    b = rng.random((rows, cols)) < 0.5
    return a, b


BINARY = [
    ("&", operator.and_, np.logical_and),
    ("|", operator.or_, np.logical_or),
    ("^", operator.xor, np.logical_xor),
    ("-", operator.sub, lambda x, y: x & ~y),
]
INPLACE = [
    ("&=", operator.iand, np.logical_and),
    ("|=", operator.ior, np.logical_or),
    ("^=", operator.ixor, np.logical_xor),
]


@settings(max_examples=40, deadline=None)
@given(pairs())
def test_elementwise_operators_match_model(ab):
    a, b = ab
    ma, mb = from_array(a), from_array(b)
    for _, op, model in BINARY:
        out = op(ma, mb)
        assert out is not ma and out is not mb
        assert np.array_equal(to_array(out), model(a, b))
    assert np.array_equal(to_array(~ma), ~a)
    assert np.array_equal(to_array(ma), a) and np.array_equal(to_array(mb), b)  # operands untouched
    assert ma.count_ones() == a.sum()
    assert ma.hamming(mb) == (a != b).sum()
    assert ma.count_andnot(mb) == (a & ~b).sum()
    assert [ma.row_count_ones(i) for i in range(a.shape[0])] == list(a.sum(axis=1))
    assert (~ma).count_ones() == a.size - a.sum()


@settings(max_examples=30, deadline=None)
@given(pairs())
def test_inplace_operators_modify_left_operand_only(ab):
    a, b = ab
    for _, op, model in INPLACE:
        ma, mb = from_array(a), from_array(b)
        alias = ma
        ma = op(ma, mb)
        assert ma is alias
        assert np.array_equal(to_array(ma), model(a, b))
        assert np.array_equal(to_array(mb), b)


@pytest.mark.parametrize("shape", [(1024, 16384), (4099, 4163)])
def test_elementwise_operators_on_results_past_the_cache(shape):
    # 2^18 words and more: the new-matrix forms write these past the cache.
    rng = np.random.default_rng(shape[1])
    a, b = rng.random(shape) < 0.5, rng.random(shape) < 0.3
    ma, mb = BitMatrix.from_numpy(a), BitMatrix.from_numpy(b)
    for _, op, model in BINARY:
        assert np.array_equal(op(ma, mb).to_numpy(), model(a, b))
    assert np.array_equal((~ma).to_numpy(), ~a)


@pytest.mark.parametrize("text,op,_", BINARY + INPLACE)
def test_shape_mismatch_names_the_operator_and_changes_nothing(text, op, _):
    a = BitMatrix.ones(2, 3)
    d = BitMatrix.zeros(3, 2)
    with pytest.raises(ValueError) as e:
        op(a, d)
    assert str(e.value) == f"{text} : dimensions incompatibles 2x3 et 3x2"
    assert a == BitMatrix.ones(2, 3) and d == BitMatrix.zeros(3, 2)


@pytest.mark.parametrize("method", ["hamming", "count_andnot"])
def test_count_methods_check_shape_and_type(method):
    a, b = BitMatrix.zeros(2, 3), BitMatrix.zeros(3, 2)
    with pytest.raises(ValueError, match=f"^{method} : dimensions incompatibles 2x3 et 3x2$"):
        getattr(a, method)(b)
    with pytest.raises(TypeError) as e:
        getattr(a, method)(5)
    assert str(e.value) == "argument 'other': 'int' object cannot be converted to 'BitMatrix'"
    with pytest.raises(TypeError, match=rf"^BitMatrix.{method}\(\) missing 1 required positional argument: 'other'$"):
        getattr(a, method)()
    assert getattr(a, method)(other=a) == 0


def test_small_algebra_identities():
    a, b = BitMatrix.zeros(2, 3), BitMatrix.ones(2, 3)
    assert (a | b) == b and (a & b) == a and (a ^ b) == b and (b - b) == a
    assert ~a == b and ~b == a and a != b


def _inplace(op, target, operand):
    op(target, operand)


# NumPy operands included: NumPy's own operators must not take the matrix
# through __array__, whichever side it is on.
@pytest.mark.parametrize("expr", [
    lambda m: m & 1, lambda m: 1 & m, lambda m: m - None, lambda m: m @ 2, lambda m: m | "x",
    lambda m: m < m, lambda m: m >= m,
    lambda m: m - np.float64(2.0), lambda m: np.float64(2.0) - m, lambda m: m ^ np.True_, lambda m: np.int32(1) | m,
    lambda m: m & np.ones((2, 2), bool), lambda m: np.ones((2, 2), bool) & m, lambda m: m @ np.ones((2, 2), bool),
    lambda m: np.ones((2, 2), bool) @ m, lambda m: m < np.ones((2, 2), bool), lambda m: np.zeros(2) >= m,
    lambda m: _inplace(operator.iand, m, np.ones((2, 2), bool)), lambda m: _inplace(operator.ixor, m, np.int8(1)),
    lambda m: _inplace(operator.ior, np.zeros((2, 2), bool), m), lambda m: _inplace(operator.isub, np.ones(2), m),
    lambda m: np.logical_and(m, m),
])
def test_foreign_operands_fall_to_the_interpreters_type_error(expr):
    m = BitMatrix.ones(2, 2)
    with pytest.raises(TypeError):
        expr(m)
    assert m == BitMatrix.ones(2, 2)


def test_equality_protocol():
    m = BitMatrix.zeros(1, 1)
    assert (m == [[0]]) is False and (m != 5) is True and (m == m) is True
    # NumPy operands compare by identity too, on either side, not element-wise.
    for other in (np.int32(0), np.False_, np.zeros((1, 1), bool)):
        assert (m == other) is False and (other == m) is False
        assert (m != other) is True and (other != m) is True
    assert np.array_equal(np.asarray(m), np.zeros((1, 1), bool))
    assert BitMatrix.zeros(2, 3) != BitMatrix.zeros(3, 2)
    assert BitMatrix.zeros(2, 3) == BitMatrix(2, 3, False)

    class AlwaysEqual:
        def __eq__(self, other):
            return True

    assert (m != AlwaysEqual()) is False  # the reflected __eq__ is honoured

    class BadTruth:
        def __eq__(self, other):
            return self

        def __bool__(self):
            raise ZeroDivisionError

    with pytest.raises(ZeroDivisionError):
        m != BadTruth()


def test_inplace_fallback_rebinds_when_operand_is_the_receiver():
    for op, expected_ones in ((operator.iand, 4), (operator.ior, 4), (operator.ixor, 0)):
        m = BitMatrix.ones(2, 2)
        old = m
        m = op(m, m)
        assert m is not old
        assert old == BitMatrix.ones(2, 2)
        assert m.count_ones() == expected_ones


def test_sub_and_matmul_assign_rebind():
    a, b = BitMatrix.ones(2, 2), BitMatrix.zeros(2, 2)
    x = a
    a -= b
    assert a is not x and a == x
    a @= b
    assert a is not x and a == BitMatrix.zeros(2, 2)


def siphash13(data: bytes) -> int:
    mask = (1 << 64) - 1

    def rotl(x, b):
        return ((x << b) | (x >> (64 - b))) & mask

    v = [0x736F6D6570736575, 0x646F72616E646F6D, 0x6C7967656E657261, 0x7465646279746573]

    def rnd():
        v[0] = (v[0] + v[1]) & mask; v[1] = rotl(v[1], 13); v[1] ^= v[0]; v[0] = rotl(v[0], 32)
        v[2] = (v[2] + v[3]) & mask; v[3] = rotl(v[3], 16); v[3] ^= v[2]
        v[0] = (v[0] + v[3]) & mask; v[3] = rotl(v[3], 21); v[3] ^= v[0]
        v[2] = (v[2] + v[1]) & mask; v[1] = rotl(v[1], 17); v[1] ^= v[2]; v[2] = rotl(v[2], 32)

    full = len(data) // 8 * 8
    for k in range(0, full, 8):
        m = int.from_bytes(data[k:k + 8], "little")
        v[3] ^= m; rnd(); v[0] ^= m
    last = int.from_bytes(data[full:], "little") | ((len(data) & 0xFF) << 56)
    v[3] ^= last; rnd(); v[0] ^= last
    v[2] ^= 0xFF
    rnd(); rnd(); rnd()
    return v[0] ^ v[1] ^ v[2] ^ v[3]


def python_hash(m: BitMatrix) -> int:
    a = to_array(m)
    stride = (m.cols + 63) // 64
    words = []
    for row in a:
        padded = np.zeros(stride * 64, dtype=bool)
        padded[: m.cols] = row
        words += [int(sum(1 << b for b in range(64) if padded[w * 64 + b])) for w in range(stride)]
    data = struct.pack(f"<{len(words) + 4}Q", len(words), *words, m.rows, m.cols, stride)
    u = siphash13(data)
    return -2 if u >= 0xFFFFFFFFFFFFFFFE else (u - (1 << 64) if u >= 1 << 63 else u)


@pytest.mark.parametrize("m,expected", [
    (BitMatrix.zeros(1, 1), -1830729995183273633),
    (BitMatrix.ones(1, 1), -8367154668840880717),
    (BitMatrix.zeros(2, 3), 8422845130048438188),
    (BitMatrix.zeros(3, 2), -1998662631119035848),
])
def test_hash_reference_values(m, expected):
    assert hash(m) == expected == python_hash(m)
    assert hash(m.copy()) == hash(m)


@settings(max_examples=25, deadline=None)
@given(pairs(max_rows=4, max_cols=200))
def test_hash_matches_siphash_model(ab):
    m = from_array(ab[0])
    assert hash(m) == python_hash(m)


def test_matrix_product():
    assert BitMatrix.ones(2, 3) @ BitMatrix.ones(3, 4) == BitMatrix.ones(2, 4)
    with pytest.raises(ValueError, match=r"^@ : dimensions incompatibles 2x3 et 2x3$"):
        BitMatrix.ones(2, 3) @ BitMatrix.ones(2, 3)
    rng = np.random.default_rng(7)
    for (r, k, c) in [(1, 1, 1), (3, 70, 5), (65, 64, 130), (20, 200, 3)]:
        for density in (0.02, 0.5, 0.97):
            a = rng.random((r, k)) < density
            b = rng.random((k, c)) < 0.3
            expected = (a.astype(np.int64) @ b.astype(np.int64)) > 0
            assert np.array_equal(to_array(from_array(a) @ from_array(b)), expected)
    sq = from_array(rng.random((40, 40)) < 0.1)
    expected = (to_array(sq).astype(int) @ to_array(sq).astype(int)) > 0
    assert np.array_equal(to_array(sq @ sq), expected)
    # Products whose rows fill up after a few rows of b, late, or never:
    # rows of zeros in a, b sparse in its first rows and dense after.
    for (r, k, c) in [(200, 300, 1000), (300, 700, 67), (130, 2000, 130)]:
        a = rng.random((r, k)) < 0.6
        a[::7] = False
        a[3::7, : k // 2] = False
        b = rng.random((k, c)) < np.where(np.arange(k) < k // 3, 0.01, 0.5)[:, None]
        expected = (a.astype(np.int64) @ b.astype(np.int64)) > 0
        p = from_array(a) @ from_array(b)
        assert np.array_equal(to_array(p), expected) and p.count_ones() == expected.sum()


@pytest.mark.parametrize("shape", [(1, 1), (1, 200), (200, 1), (63, 65), (64, 64), (65, 65), (130, 200)])
def test_transpose(shape):
    a = np.random.default_rng(sum(shape)).random(shape) < 0.4
    m = from_array(a)
    t = m.transpose()
    assert t.shape == (shape[1], shape[0])
    assert np.array_equal(to_array(t), a.T)
    assert t.transpose() == m
    assert BitMatrix.ones(*shape).transpose() == BitMatrix.ones(shape[1], shape[0])


def test_row_count_ones_bounds():
    m = BitMatrix.ones(5, 70)
    assert m.row_count_ones(4) == 70 and BitMatrix.ones(3, 70).count_ones() == 210
    with pytest.raises(IndexError, match=r"^ligne 5 hors limites \(rows = 5\)$"):
        m.row_count_ones(5)
    with pytest.raises(OverflowError):
        m.row_count_ones(-1)


def render_model(a: np.ndarray) -> str:
    rows, cols = a.shape

    def row_text(r):
        def part(js, first_plain):
            out = []
            for n, j in enumerate(js):
                if not (n == 0 and first_plain):
                    out.append("|" if j % 64 == 0 and j else "_" if j % 8 == 0 and j else "")
                out.append("1" if r[j] else "0")
            return "".join(out)

        if cols <= 128:
            return part(range(cols), True)
        return part(range(64), True) + " ... " + part(range(cols - 64, cols), True)

    lines = [row_text(a[i]) for i in range(rows)]
    if rows > 20:
        lines = lines[:10] + [f"... ({rows - 20} lignes omises) ..."] + lines[-10:]
    return f"{rows}x{cols} ({int(a.sum())} bits a 1)\n" + "\n".join(lines)


def test_text_form_examples():
    m = BitMatrix(2, 10)
    m[0, 0] = m[1, 8] = m[1, 9] = True
    assert str(m) == "2x10 (3 bits a 1)\n10000000_00\n00000000_11"
    assert str(BitMatrix.ones(1, 1)) == "1x1 (1 bits a 1)\n1"
    row128 = str(BitMatrix(1, 128)).split("\n")[1]
    assert row128 == "_".join(["00000000"] * 8) + "|" + "_".join(["00000000"] * 8)
    row130 = str(BitMatrix(1, 130)).split("\n")[1]
    assert row130 == "00000000_" * 7 + "00000000" + " ... " + "000000_" + "00000000_" * 6 + "00000000|00"
    assert str(BitMatrix(25, 3)) == "25x3 (0 bits a 1)\n" + "000\n" * 10 + "... (5 lignes omises) ...\n" + "\n".join(["000"] * 10)
    assert "... (1 lignes omises) ..." in str(BitMatrix(21, 1))
    assert str(BitMatrix(1, 9)).endswith("\n00000000_0")


@pytest.mark.parametrize("shape", [(20, 128), (21, 129), (3, 136), (2, 200), (30, 64), (1, 192)])
def test_text_form_matches_model(shape):
    a = np.random.default_rng(shape[0] * 1000 + shape[1]).random(shape) < 0.5
    assert str(from_array(a)) == render_model(a)


def test_text_form_of_a_huge_matrix_is_bounded():
    m = BitMatrix(100_000, 100_000)
    lines = str(m).split("\n")
    assert len(lines) == 22 and max(len(l) for l in lines) <= 148
