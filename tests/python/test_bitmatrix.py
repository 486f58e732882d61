"""BitMatrix basics: construction, shape, element access, len, repr, copy, size
in memory and the refused iteration, checked against a list-of-lists model."""

import collections
import sys

import numpy
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from Valdrix import BitMatrix

# Widths around the 64-bit word boundaries, where the packing can go wrong.
WIDTHS = [1, 2, 63, 64, 65, 70, 127, 128, 129, 200]


def elements(m):
    return [[m[i, j] for j in range(m.cols)] for i in range(m.rows)]


def assert_matches(m, model):
    rows, cols = len(model), len(model[0])
    assert m.shape == (rows, cols)
    assert elements(m) == model
    ones = sum(map(sum, model))
    assert repr(m) == f"<BitMatrix {rows}x{cols}, {ones} bits a 1>"


# ---------------------------------------------------------------- construction


@pytest.mark.parametrize("cols", WIDTHS)
@pytest.mark.parametrize("rows", [1, 3])
@pytest.mark.parametrize(
    "make, value",
    [
        (lambda r, c: BitMatrix(r, c), False),
        (lambda r, c: BitMatrix(r, c, False), False),
        (lambda r, c: BitMatrix(r, c, True), True),
        (lambda r, c: BitMatrix(r, c, fill=True), True),
        (lambda r, c: BitMatrix(r, c, numpy.True_), True),
        (BitMatrix.zeros, False),
        (BitMatrix.ones, True),
    ],
    ids=["default", "false", "true", "fill_kw", "numpy_true", "zeros", "ones"],
)
def test_construction_fills_every_element(make, value, rows, cols):
    m = make(rows, cols)
    assert type(m) is BitMatrix
    assert_matches(m, [[value] * cols for _ in range(rows)])


def test_documented_examples():
    m = BitMatrix(3, 70)
    assert m.shape == (3, 70)
    assert len(m) == 3
    assert repr(m) == "<BitMatrix 3x70, 0 bits a 1>"
    assert repr(BitMatrix(3, 70, True)) == "<BitMatrix 3x70, 210 bits a 1>"
    assert repr(BitMatrix.ones(2, 3)) == "<BitMatrix 2x3, 6 bits a 1>"
    assert elements(BitMatrix(3, 70, fill=True)) == elements(BitMatrix.ones(3, 70))


@pytest.mark.parametrize("make", [BitMatrix, BitMatrix.zeros, BitMatrix.ones], ids=["new", "zeros", "ones"])
@pytest.mark.parametrize("rows, cols", [(0, 5), (5, 0), (0, 0), (0, 2**64 - 1), (2**64 - 1, 0)])
def test_zero_dimension_is_refused(make, rows, cols):
    with pytest.raises(ValueError) as info:
        make(rows, cols)
    assert str(info.value) == f"dimensions invalides {rows}x{cols} : rows et cols doivent valoir au moins 1"


def test_conversions_come_before_the_dimension_check():
    with pytest.raises(TypeError, match=r"^argument 'fill': 'int' object cannot be converted to 'PyBool'$"):
        BitMatrix(0, 5, fill=1)
    with pytest.raises(OverflowError):
        BitMatrix(0, -1)


# ---------------------------------------------------------------- properties


def test_shape_rows_cols_are_ints():
    m = BitMatrix(4, 130)
    assert m.shape == (4, 130) and type(m.shape) is tuple
    assert all(type(x) is int for x in (*m.shape, m.rows, m.cols))
    assert (m.rows, m.cols) == m.shape


@pytest.mark.parametrize("name", ["shape", "rows", "cols"])
def test_properties_are_read_only(name):
    m = BitMatrix(2, 3)
    with pytest.raises(AttributeError):
        setattr(m, name, 4)
    with pytest.raises(AttributeError):
        delattr(m, name)
    assert m.shape == (2, 3)


def test_len_and_truth():
    for rows in (1, 2, 65):
        m = BitMatrix(rows, 3)
        assert len(m) == rows
        assert bool(m) is True


# ---------------------------------------------------------------- subscription


def test_documented_element_access():
    m = BitMatrix(2, 3)
    assert m[1, 2] is False
    m[1, 2] = True
    assert m[1, 2] is True
    assert repr(m) == "<BitMatrix 2x3, 1 bits a 1>"
    m[0, 0] = numpy.True_
    assert m[0, 0] is True
    m[0, 0] = numpy.False_
    assert m[0, 0] is False


def test_index_forms():
    m = BitMatrix(2, 3)
    m[1, 0] = True
    assert m[True, False] is True  # a bool is an integer
    assert m[numpy.int64(1), numpy.uint8(0)] is True
    Pair = collections.namedtuple("Pair", "i j")
    assert m[Pair(1, 0)] is True
    m[Pair(0, 2)] = True
    assert m[0, 2] is True
    assert m[(1, 0)] is True


OOR = "indice ({}, {}) hors limites pour une matrice 2x3"

# (subscript, exception, exact message or None for the interpreter's own)
BAD_SUBSCRIPTS = [
    ((2, 0), IndexError, OOR.format(2, 0)),
    ((0, 3), IndexError, OOR.format(0, 3)),
    ((5, 7), IndexError, OOR.format(5, 7)),
    ((2**64 - 1, 0), IndexError, OOR.format(2**64 - 1, 0)),
    ((0, 2**64 - 1), IndexError, OOR.format(0, 2**64 - 1)),
    (0, TypeError, "argument 'idx': 'int' object cannot be converted to 'PyTuple'"),
    (True, TypeError, "argument 'idx': 'bool' object cannot be converted to 'PyTuple'"),
    ([0, 0], TypeError, "argument 'idx': 'list' object cannot be converted to 'PyTuple'"),
    (None, TypeError, "argument 'idx': 'NoneType' object cannot be converted to 'PyTuple'"),
    (slice(0, 1), TypeError, "argument 'idx': 'slice' object cannot be converted to 'PyTuple'"),
    (..., TypeError, "argument 'idx': 'ellipsis' object cannot be converted to 'PyTuple'"),
    ((), ValueError, "expected tuple of length 2, but got tuple of length 0"),
    ((0,), ValueError, "expected tuple of length 2, but got tuple of length 1"),
    ((0, 0, 0), ValueError, "expected tuple of length 2, but got tuple of length 3"),
    ((None, None, None), ValueError, "expected tuple of length 2, but got tuple of length 3"),
    ((slice(0, 1), 0), TypeError, "argument 'idx': 'slice' object cannot be interpreted as an integer"),
    ((0, None), TypeError, "argument 'idx': 'NoneType' object cannot be interpreted as an integer"),
    ((0.0, 0), TypeError, "argument 'idx': 'float' object cannot be interpreted as an integer"),
    ((0, "1"), TypeError, "argument 'idx': 'str' object cannot be interpreted as an integer"),
    ((-1, 0), OverflowError, None),
    ((0, -1), OverflowError, None),
    ((2**64, 0), OverflowError, None),
    ((numpy.int64(-1), 0), OverflowError, None),
    # Item 0 is converted before item 1.
    ((-1, None), OverflowError, None),
    ((None, -1), TypeError, "argument 'idx': 'NoneType' object cannot be interpreted as an integer"),
    # Conversion comes before the bounds check.
    ((9, None), TypeError, "argument 'idx': 'NoneType' object cannot be interpreted as an integer"),
]


def check_error(info, exc, message):
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message
    else:
        assert "argument" not in str(info.value)


@pytest.mark.parametrize("key, exc, message", BAD_SUBSCRIPTS, ids=repr)
def test_bad_subscript_on_read(key, exc, message):
    m = BitMatrix(2, 3)
    with pytest.raises(exc) as info:
        m[key]
    check_error(info, exc, message)


@pytest.mark.parametrize("key, exc, message", BAD_SUBSCRIPTS, ids=repr)
def test_bad_subscript_on_write_leaves_matrix_unchanged(key, exc, message):
    m = BitMatrix(2, 3)
    m[0, 1] = m[1, 2] = True
    before = elements(m)
    with pytest.raises(exc) as info:
        m[key] = True
    check_error(info, exc, message)
    assert elements(m) == before


@pytest.mark.parametrize(
    "value, message",
    [
        (1, "argument 'value': 'int' object cannot be converted to 'PyBool'"),
        (0, "argument 'value': 'int' object cannot be converted to 'PyBool'"),
        (None, "argument 'value': 'NoneType' object cannot be converted to 'PyBool'"),
        (1.0, "argument 'value': 'float' object cannot be converted to 'PyBool'"),
        (numpy.uint8(1), "argument 'value': 'uint8' object cannot be converted to 'PyBool'"),
        ("", "argument 'value': 'str' object cannot be converted to 'PyBool'"),
    ],
    ids=repr,
)
def test_bad_value_leaves_matrix_unchanged(value, message):
    m = BitMatrix(2, 3)
    m[1, 1] = True
    with pytest.raises(TypeError) as info:
        m[1, 1] = value
    assert str(info.value) == message
    assert elements(m) == [[False] * 3, [False, True, False]]


def test_index_is_checked_before_value_and_bounds_after():
    m = BitMatrix(2, 3)
    with pytest.raises(TypeError, match=r"^argument 'idx': "):
        m[None, 0] = 1
    with pytest.raises(ValueError):
        m[0, 0, 0] = 1
    # A bad value is reported even when the index is out of range.
    with pytest.raises(TypeError, match=r"^argument 'value': "):
        m[5, 5] = 1
    with pytest.raises(IndexError, match=r"^indice \(5, 5\) hors limites pour une matrice 2x3$"):
        m[5, 5] = True
    assert repr(m) == "<BitMatrix 2x3, 0 bits a 1>"


@pytest.mark.parametrize("key", [(0, 0), (9, 9), 0, "x", (0, 0, 0), (-1, 0), None])
def test_delete_is_always_refused_first(key):
    m = BitMatrix(2, 3, True)
    with pytest.raises(NotImplementedError) as info:
        del m[key]
    assert str(info.value) == "can't delete item"
    assert repr(m) == "<BitMatrix 2x3, 6 bits a 1>"


# ---------------------------------------------------------------- copy


@pytest.mark.parametrize("cols", [3, 64, 130])
def test_copy_is_equal_and_independent(cols):
    m = BitMatrix(3, cols)
    m[0, 0] = m[2, cols - 1] = True
    c = m.copy()
    assert type(c) is BitMatrix and c is not m
    assert c.shape == m.shape and elements(c) == elements(m)
    c[1, 1] = True
    m[0, 0] = False
    assert m[1, 1] is False
    assert c[0, 0] is True
    assert repr(m) == f"<BitMatrix 3x{cols}, 1 bits a 1>"
    assert repr(c) == f"<BitMatrix 3x{cols}, 3 bits a 1>"


@pytest.mark.parametrize("rows, cols", [(1, 1), (1, 64), (1, 65), (3, 130), (1000, 1000)])
def test_sizeof_counts_the_words_the_matrix_owns(rows, cols):
    words = rows * -(-cols // 64)
    base = sys.getsizeof(BitMatrix(1, 1)) - 8
    m = BitMatrix(rows, cols)
    assert m.__sizeof__() == sys.getsizeof(m) == base + 8 * words
    assert base >= object.__sizeof__(m)


# ---------------------------------------------------------------- iteration

NOT_A_TUPLE = "argument 'idx': 'int' object cannot be converted to 'PyTuple'"


def iterate_with_for(m):
    for _ in m:
        pass


@pytest.mark.parametrize(
    "use",
    [list, tuple, iterate_with_for, lambda m: True in m, lambda m: next(iter(m)), lambda m: sorted(m),
     lambda m: [*m]],
    ids=["list", "tuple", "for", "in", "next", "sorted", "unpack"],
)
def test_iteration_fails_on_first_item(use):
    m = BitMatrix(2, 2, True)
    with pytest.raises(TypeError) as info:
        use(m)
    assert str(info.value) == NOT_A_TUPLE


def test_iter_itself_succeeds():
    # The sequence slots make the interpreter hand out an iterator; only
    # fetching from it fails.
    it = iter(BitMatrix(2, 2))
    assert iter(it) is it
    with pytest.raises(TypeError, match="^argument 'idx': "):
        next(it)


def test_integer_key_assignment_and_delete():
    m = BitMatrix(2, 2)
    with pytest.raises(TypeError, match="^argument 'idx': 'int' object cannot be converted to 'PyTuple'$"):
        m[0] = True
    with pytest.raises(NotImplementedError, match="^can't delete item$"):
        del m[0]
    assert repr(m) == "<BitMatrix 2x2, 0 bits a 1>"


# ---------------------------------------------------------------- model


@st.composite
def scripts(draw):
    rows = draw(st.integers(1, 5))
    cols = draw(st.sampled_from(WIDTHS) | st.integers(1, 140))
    fill = draw(st.booleans())
    # Indices reach one past the end (and far beyond) to exercise IndexError.
    idx_i = st.integers(0, rows) | st.just(2**64 - 1)
    idx_j = st.integers(0, cols) | st.just(2**64 - 1)
    op = st.one_of(
        st.tuples(st.just("set"), idx_i, idx_j, st.booleans()),
        st.tuples(st.just("get"), idx_i, idx_j, st.none()),
        st.tuples(st.just("copy"), st.none(), st.none(), st.none()),
    )
    return rows, cols, fill, draw(st.lists(op, max_size=40))


@settings(max_examples=150, deadline=None)
@given(scripts())
def test_random_get_set_against_model(script):
    rows, cols, fill, ops = script
    m = BitMatrix(rows, cols, fill)
    model = [[fill] * cols for _ in range(rows)]
    snapshots = []
    for op, i, j, v in ops:
        if op == "copy":
            snapshots.append((m.copy(), [r[:] for r in model]))
            continue
        inside = i < rows and j < cols
        if op == "set":
            if inside:
                m[i, j] = v
                model[i][j] = v
            else:
                with pytest.raises(IndexError) as info:
                    m[i, j] = v
                assert str(info.value) == f"indice ({i}, {j}) hors limites pour une matrice {rows}x{cols}"
        elif inside:
            assert m[i, j] is model[i][j]
        else:
            with pytest.raises(IndexError):
                m[i, j]
    assert_matches(m, model)
    assert len(m) == rows
    for copy, frozen in snapshots:
        assert_matches(copy, frozen)
