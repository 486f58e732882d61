"""List and NumPy conversions: from_list / to_list, from_numpy / to_numpy,
the refusals with their messages, every array layout against a pure-Python
model, and the NumPy array interface fetched at first use."""

import subprocess
import sys
import textwrap

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from Valdrix import BitMatrix

WIDTHS = [1, 7, 31, 32, 33, 63, 64, 65, 70, 127, 128, 129, 200]
PANIC_PREFIX = "Failed to access NumPy array API capsule"


def elements(m):
    """The matrix through element access only, as 0/1 ints."""
    return [[int(m[i, j]) for j in range(m.cols)] for i in range(m.rows)]


def random_model(rows, cols, seed):
    rng = np.random.default_rng(seed)
    return (rng.random((rows, cols)) < 0.5).astype(int).tolist()


def run_python(code):
    """Runs code in a fresh interpreter (NumPy's table is fetched once per
    process) and returns its stdout lines."""
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout.splitlines()


class Index:
    """An integer-like object that is not an int."""

    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class IntSub(int):
    pass


class OnlyGetItem:
    """A sequence with __getitem__ and __len__ only (old iteration protocol)."""

    def __init__(self, items, length=None):
        self.items = items
        self.length = len(items) if length is None else length

    def __len__(self):
        if isinstance(self.length, Exception):
            raise self.length
        return self.length

    def __getitem__(self, i):
        return self.items[i]


class FailingSequence(OnlyGetItem):
    def __getitem__(self, i):
        if i == 1:
            raise KeyError("boom")
        return self.items[i]


# ---------------------------------------------------------------- from_list: accepted


@pytest.mark.parametrize(
    "data, model",
    [
        ([[1, 0, 1], [0, 1, 1]], [[1, 0, 1], [0, 1, 1]]),
        ([[True, False]], [[1, 0]]),
        (((0, 1), [1, 0]), [[0, 1], [1, 0]]),
        ([bytes([0, 1])], [[0, 1]]),
        ([bytearray([1, 1, 0])], [[1, 1, 0]]),
        ([range(2), range(1, -1, -1)], [[0, 1], [1, 0]]),
        (np.array([[1, 0], [0, 1]]), [[1, 0], [0, 1]]),
        ([np.array([0, 1], dtype=np.uint8), np.array([1, 1], dtype=np.int64)], [[0, 1], [1, 1]]),
        ([[np.int64(1), np.uint8(0), np.int8(1)]], [[1, 0, 1]]),
        ([[Index(1), Index(0), IntSub(1), IntSub(0)]], [[1, 0, 1, 0]]),
        ([[int("1"), 10**30 - 10**30 + 1]], [[1, 1]]),
        (OnlyGetItem([OnlyGetItem([1, 0]), (0, 1)]), [[1, 0], [0, 1]]),
        (OnlyGetItem([[1, 1]], length=10**15), [[1, 1]]),  # a lying __len__ is only a hint
        (OnlyGetItem([[0, 1]], length=ValueError("no len")), [[0, 1]]),
        ([[1] * 64 + [0], [0] * 64 + [1]], [[1] * 64 + [0], [0] * 64 + [1]]),
    ],
    ids=[
        "lists", "bools", "tuple_and_list", "bytes", "bytearray", "ranges", "numpy_2d_int", "numpy_rows",
        "numpy_scalars", "index_and_int_subclass", "big_int_arithmetic", "getitem_protocol", "lying_len",
        "failing_len", "word_boundary",
    ],
)
def test_from_list_accepts_integer_sequences(data, model):
    before = repr(data)
    m = BitMatrix.from_list(data)
    assert m.shape == (len(model), len(model[0]))
    assert elements(m) == model
    assert m.to_list() == model
    assert repr(data) == before


def test_from_list_keyword_and_documented_example():
    m = BitMatrix.from_list(data=[[1, 0, 1], [0, 1, 1]])
    assert m.shape == (2, 3)
    assert repr(m) == "<BitMatrix 2x3, 4 bits a 1>"
    assert elements(BitMatrix.from_list([[True, False]])) == elements(BitMatrix.from_list([[1, 0]]))


@pytest.mark.parametrize("cols", WIDTHS)
def test_from_list_every_width_against_element_access(cols):
    model = random_model(5, cols, cols)
    assert elements(BitMatrix.from_list(model)) == model


# ---------------------------------------------------------------- from_list: refused

STR_MSG = "argument 'data': Can't extract `str` to `Vec`"


def seq_msg(name):
    return f"argument 'data': '{name}' object cannot be converted to 'Sequence'"


def gen():
    yield [1]


@pytest.mark.parametrize(
    "data, exc, message",
    [
        ("01", TypeError, STR_MSG),
        (["01"], TypeError, STR_MSG),
        ([[1, 0], "10"], TypeError, STR_MSG),
        ([0, 1], TypeError, seq_msg("int")),
        ([[0, 1], None], TypeError, seq_msg("NoneType")),
        ({1: 2}, TypeError, seq_msg("dict")),
        ({(1,)}, TypeError, seq_msg("set")),
        (gen(), TypeError, seq_msg("generator")),
        (5, TypeError, seq_msg("int")),
        (None, TypeError, seq_msg("NoneType")),
        ([[0.0, 1.0]], TypeError, "argument 'data': 'float' object cannot be interpreted as an integer"),
        ([[1, None]], TypeError, "argument 'data': 'NoneType' object cannot be interpreted as an integer"),
        ([[np.True_]], TypeError, None),
        ([[2**63]], OverflowError, None),
        ([[-(2**63) - 1]], OverflowError, None),
        ([], ValueError, "from_list : aucune ligne fournie"),
        ((), ValueError, "from_list : aucune ligne fournie"),
        ([[]], ValueError, "from_list : les lignes sont vides"),
        ([[], [1]], ValueError, "from_list : les lignes sont vides"),
        ([[1, 0], [1]], ValueError, "from_list : la ligne 1 a 1 elements, la ligne 0 en a 2"),
        ([[1], [0], [1, 1, 1]], ValueError, "from_list : la ligne 2 a 3 elements, la ligne 0 en a 1"),
        ([[0, 2]], ValueError, "from_list : valeur 2 en (0, 1) ; seuls 0 et 1 sont admis"),
        ([[0, -1]], ValueError, "from_list : valeur -1 en (0, 1) ; seuls 0 et 1 sont admis"),
        ([[0, 1], [1, 5, 7]], ValueError, "from_list : la ligne 1 a 3 elements, la ligne 0 en a 2"),
        ([[0, 1], [1, 1], [0, 1, 7]], ValueError, "from_list : la ligne 2 a 3 elements, la ligne 0 en a 2"),
        ([[0, 1], [3, 1], [0, 9]], ValueError, "from_list : valeur 3 en (1, 0) ; seuls 0 et 1 sont admis"),
        ([[2**63 - 1]], ValueError, f"from_list : valeur {2**63 - 1} en (0, 0) ; seuls 0 et 1 sont admis"),
        ([[-(2**63)]], ValueError, f"from_list : valeur {-(2**63)} en (0, 0) ; seuls 0 et 1 sont admis"),
        # The row-by-row order: a bad value of row 0 before a wrong length of row 1 ...
        ([[0, 2], [1]], ValueError, "from_list : valeur 2 en (0, 1) ; seuls 0 et 1 sont admis"),
        # ... and a wrong length of row 1 before a bad value of row 2.
        ([[0, 1], [1], [5, 5]], ValueError, "from_list : la ligne 1 a 1 elements, la ligne 0 en a 2"),
        # The whole input is converted before anything is validated.
        ([[2], [0.5]], TypeError, "argument 'data': 'float' object cannot be interpreted as an integer"),
        ([[0, 1], [1], "ab"], TypeError, STR_MSG),
        ([[5], [2**64]], OverflowError, None),
        (FailingSequence([[1], [1]]), KeyError, None),
        ([FailingSequence([1, 1])], KeyError, None),
    ],
)
def test_from_list_refusals(data, exc, message):
    before = repr(data)
    with pytest.raises(exc) as info:
        BitMatrix.from_list(data)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message
    if exc is OverflowError:
        assert not str(info.value).startswith("argument")
    assert repr(data) == before


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: BitMatrix.from_list(), "BitMatrix.from_list() missing 1 required positional argument: 'data'"),
        (lambda: BitMatrix.from_list([[1]], [[1]]), "BitMatrix.from_list() takes 1 positional arguments but 2 were given"),
        (lambda: BitMatrix.from_list(rows=[[1]]), "BitMatrix.from_list() got an unexpected keyword argument 'rows'"),
        (lambda: BitMatrix.from_numpy(), "BitMatrix.from_numpy() missing 1 required positional argument: 'a'"),
        (lambda: BitMatrix.from_numpy(x=1), "BitMatrix.from_numpy() got an unexpected keyword argument 'x'"),
    ],
)
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_from_list_follows_a_row_that_shrinks_while_it_converts():
    row = []

    class Shrinking:
        def __index__(self):
            row.clear()  # drops the list's reference to this very object
            return 1

    row.extend([Shrinking(), 1, 1])
    assert BitMatrix.from_list([row]).to_list() == [[1]]


def test_from_list_iteration_error_is_not_swallowed():
    class Broken:
        def __len__(self):
            return 2

        def __getitem__(self, i):
            raise RuntimeError("row iteration failed")

    with pytest.raises(RuntimeError, match="row iteration failed"):
        BitMatrix.from_list([[1, 0], Broken()])


# ---------------------------------------------------------------- to_list


@pytest.mark.parametrize("cols", WIDTHS)
@pytest.mark.parametrize("rows", [1, 3])
def test_to_list_gives_new_lists_of_ints(rows, cols):
    model = random_model(rows, cols, rows * 1000 + cols)
    m = BitMatrix.from_list(model)
    out = m.to_list()
    assert out == model
    assert type(out) is list and all(type(r) is list for r in out)
    assert all(type(v) is int and v in (0, 1) for r in out for v in r)
    again = m.to_list()
    assert again == out and again is not out and again[0] is not out[0]
    out[0][0] ^= 1  # the list is the caller's: the matrix does not see it
    assert m.to_list() == model


@settings(max_examples=60, deadline=None)
@given(st.integers(1, 5).flatmap(lambda r: st.integers(1, 140).flatmap(
    lambda c: st.lists(st.lists(st.integers(0, 1), min_size=c, max_size=c), min_size=r, max_size=r))))
def test_list_and_numpy_round_trips(model):
    m = BitMatrix.from_list(model)
    assert m.to_list() == model
    a = m.to_numpy()
    assert a.tolist() == [[bool(v) for v in row] for row in model]
    assert BitMatrix.from_numpy(a).to_list() == model


# ---------------------------------------------------------------- from_numpy


def byte_grid(rows, cols, seed):
    """Bytes of every value, about half of them zero, so that 'non-zero' and
    'equal to 1' disagree."""
    rng = np.random.default_rng(seed)
    values = rng.integers(1, 256, size=(rows, cols), dtype=np.uint8)
    return np.where(rng.random((rows, cols)) < 0.5, values, 0).astype(np.uint8)


def model_of(raw):
    """Pure-Python reading of a uint8 view: an element is 1 when its byte is not 0."""
    return [[1 if byte != 0 else 0 for byte in row] for row in raw.tolist()]


LAYOUTS = {
    "c_order": lambda x: x,
    "fortran": lambda x: np.asfortranarray(x),
    "transposed": lambda x: x.T,
    "rows_reversed": lambda x: x[::-1, :],
    "cols_reversed": lambda x: x[:, ::-1],
    "both_reversed": lambda x: x[::-1, ::-1],
    "transposed_reversed": lambda x: x.T[::-1, ::-1],
    "row_steps": lambda x: x[::3, :],
    "col_steps": lambda x: x[:, ::2],
    "negative_steps": lambda x: x[::-2, ::-3],
    "transposed_steps": lambda x: x[::2, ::3].T,
    "inner_slice": lambda x: x[1:-1, 5:-3],
    "broadcast_row": lambda x: np.broadcast_to(x[0], x.shape),
}


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("shape", [(1, 1), (3, 70), (64, 64), (70, 130), (130, 9), (200, 200)])
def test_from_numpy_reads_every_layout_through_its_strides(layout, shape):
    raw = byte_grid(*shape, seed=shape[0] * 7 + shape[1])
    raw_view = LAYOUTS[layout](raw)
    if 0 in raw_view.shape:
        pytest.skip("layout leaves nothing of so small a grid")
    a = LAYOUTS[layout](raw.view(bool))
    assert a.shape == raw_view.shape
    before = raw.copy()
    m = BitMatrix.from_numpy(a)
    assert m.shape == a.shape
    assert elements(m) == model_of(raw_view)
    # NumPy itself reads those bytes the same way.
    assert m.to_list() == a.astype(np.uint8).tolist()
    np.testing.assert_array_equal(raw, before)  # the array is only read


def test_from_numpy_sets_every_non_zero_byte():
    raw = np.array([[0, 1, 2, 255], [128, 0, 3, 0]], dtype=np.uint8)
    a = raw.view(bool)
    assert a.tolist() == [[False, True, True, True], [True, False, True, False]]
    m = BitMatrix.from_numpy(a)
    assert elements(m) == [[0, 1, 1, 1], [1, 0, 1, 0]]
    assert repr(m) == "<BitMatrix 2x4, 5 bits a 1>"
    # A whole 64-byte run of non-zero, non-one bytes.
    wide = np.full((2, 130), 7, dtype=np.uint8).view(bool)
    assert BitMatrix.from_numpy(wide).to_list() == [[1] * 130] * 2


def test_from_numpy_documented_examples():
    x = np.array([[True, False], [False, True]])
    m = BitMatrix.from_numpy(x)
    assert m.shape == (2, 2)
    assert repr(m) == "<BitMatrix 2x2, 2 bits a 1>"
    y = np.array([[True, False, False], [True, True, False]])
    assert elements(BitMatrix.from_numpy(y.T)) == [[1, 1], [0, 1], [0, 0]]
    assert elements(BitMatrix.from_numpy(y[:, ::-1])) == [[0, 0, 1], [0, 1, 1]]


@pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")  # np.matrix
def test_from_numpy_accepts_subclasses_read_only_and_keyword():
    class Sub(np.ndarray):
        pass

    base = np.array([[True, False, True]])
    ro = base.copy()
    ro.flags.writeable = False
    for a in (base.view(Sub), ro, np.asmatrix(base)):
        assert BitMatrix.from_numpy(a).to_list() == [[1, 0, 1]]
    assert BitMatrix.from_numpy(a=base).to_list() == [[1, 0, 1]]


ARRAY_MSG = "argument 'a': '{}' object cannot be converted to 'PyArray<T, D>'"


@pytest.mark.parametrize(
    "a, exc, message",
    [
        (np.zeros((2, 2), dtype=np.uint8), TypeError, ARRAY_MSG.format("ndarray")),
        (np.ones((2, 2), dtype=np.int64), TypeError, ARRAY_MSG.format("ndarray")),
        (np.ones((2, 2), dtype=np.float64), TypeError, ARRAY_MSG.format("ndarray")),
        (np.ones((2, 2), dtype=object), TypeError, ARRAY_MSG.format("ndarray")),
        (np.zeros((2, 2), dtype=[("b", "?")]), TypeError, ARRAY_MSG.format("ndarray")),
        (np.zeros(4, dtype=bool), TypeError, ARRAY_MSG.format("ndarray")),
        (np.zeros((2, 2, 2), dtype=bool), TypeError, ARRAY_MSG.format("ndarray")),
        (np.array(True), TypeError, ARRAY_MSG.format("ndarray")),
        (np.True_, TypeError, ARRAY_MSG.format("bool")),
        ([[True]], TypeError, ARRAY_MSG.format("list")),
        (None, TypeError, ARRAY_MSG.format("NoneType")),
        (BitMatrix(1, 1), TypeError, ARRAY_MSG.format("BitMatrix")),
        (np.zeros((0, 3), dtype=bool), ValueError, "dimensions invalides 0x3 : rows et cols doivent valoir au moins 1"),
        (np.zeros((3, 0), dtype=bool), ValueError, "dimensions invalides 3x0 : rows et cols doivent valoir au moins 1"),
        (np.zeros((0, 0), dtype=bool), ValueError, "dimensions invalides 0x0 : rows et cols doivent valoir au moins 1"),
    ],
)
def test_from_numpy_refusals(a, exc, message):
    with pytest.raises(exc) as info:
        BitMatrix.from_numpy(a)
    assert type(info.value) is exc
    assert str(info.value) == message


# ---------------------------------------------------------------- to_numpy


@pytest.mark.parametrize("cols", WIDTHS)
@pytest.mark.parametrize("rows", [1, 2, 65])
def test_to_numpy_array_form_and_values(rows, cols):
    model = random_model(rows, cols, rows * 31 + cols)
    m = BitMatrix.from_list(model)
    a = m.to_numpy()
    assert type(a) is np.ndarray
    assert a.dtype == np.dtype(bool)
    assert a.shape == (rows, cols)
    assert a.strides == (cols, 1)
    assert a.flags.c_contiguous and a.flags.writeable and a.flags.aligned
    assert not a.flags.owndata
    assert type(a.base).__qualname__ == "PySliceContainer"
    assert type(a.base).__module__ == "builtins"
    assert a.view(np.uint8).max() <= 1  # bytes are exactly 0 or 1
    assert a.astype(int).tolist() == model


def test_to_numpy_is_a_copy_both_ways():
    m = BitMatrix.from_list([[1, 0], [0, 1]])
    a = m.to_numpy()
    b = m.to_numpy()
    a[0, 1] = True
    assert elements(m) == [[1, 0], [0, 1]]
    assert b.tolist() == [[True, False], [False, True]]
    assert a.base is not b.base
    m[1, 0] = True
    assert a.tolist() == [[True, True], [False, True]]
    assert BitMatrix.from_numpy(b).to_list() == [[1, 0], [0, 1]]


def test_to_numpy_buffer_outlives_the_matrix_and_views():
    m = BitMatrix.from_list(random_model(40, 100, 3))
    expected = m.to_list()
    a = m.to_numpy()
    view = a[::2, 10:]
    del m, a
    import gc

    gc.collect()
    assert view.astype(int).tolist() == [row[10:] for row in expected[::2]]


def test_holder_class_cannot_be_instantiated():
    holder = BitMatrix(1, 1).to_numpy().base
    with pytest.raises(TypeError):
        type(holder)()


# ---------------------------------------------------------------- NumPy array interface


def test_import_does_not_import_numpy_and_lists_do_not_need_it():
    out = run_python(
        """
        import sys
        import Valdrix
        print("numpy" in sys.modules)
        m = Valdrix.BitMatrix.from_list([[1, 0], [0, 1]])
        print(m.to_list(), "numpy" in sys.modules)
        print(m.to_numpy().tolist(), "numpy" in sys.modules)
        """
    )
    assert out == ["False", "[[1, 0], [0, 1]] False", "[[True, False], [False, True]] True"]


def test_numpy_missing_is_an_internal_fault_that_is_not_cached():
    out = run_python(
        f"""
        import sys
        sys.modules["numpy"] = None  # "import numpy" now fails
        from Valdrix import BitMatrix
        m = BitMatrix.from_list([[1, 0]])
        for call in (m.to_numpy, lambda: BitMatrix.from_numpy([[True]])):
            try:
                call()
            except Exception:
                print("caught as Exception")
            except BaseException as e:
                print(type(e).__name__, type(e).__bases__[0].__name__, str(e).startswith({PANIC_PREFIX!r}))
        print(m.to_list())  # the matrix is untouched and free again
        del sys.modules["numpy"]
        print(m.to_numpy().tolist())
        """
    )
    assert out == [
        "PanicException BaseException True",
        "PanicException BaseException True",
        "[[1, 0]]",
        "[[True, False]]",
    ]


@pytest.mark.parametrize(
    "breakage",
    [
        "fake = types.ModuleType('numpy'); fake.__version__ = '2.0.0'; sys.modules['numpy'] = fake",
        "import numpy; numpy.lib.NumpyVersion = lambda v: (_ for _ in ()).throw(ValueError('bad version'))",
        "import numpy; numpy.lib.NumpyVersion = lambda v: types.SimpleNamespace(major='two')",
        "import numpy._core.multiarray as ma; del ma._ARRAY_API",
        "import numpy._core.multiarray as ma; ma._ARRAY_API = 42",
    ],
    ids=["no_lib", "version_raises", "major_not_int", "no_capsule", "not_a_capsule"],
)
def test_broken_numpy_is_an_internal_fault(breakage):
    out = run_python(
        f"""
        import sys, types
        {breakage}
        from Valdrix import BitMatrix
        try:
            BitMatrix(2, 2).to_numpy()
        except BaseException as e:
            print(type(e).__name__)
            print(str(e).startswith({PANIC_PREFIX!r}), len(str(e)) > len({PANIC_PREFIX!r}))
        """
    )
    assert out == ["PanicException", "True True"]


@pytest.mark.parametrize("major, module", [(1, "numpy.core.multiarray"), (2, "numpy._core.multiarray")])
def test_array_interface_module_follows_numpy_major_version(major, module):
    out = run_python(
        f"""
        import builtins, types, warnings
        import numpy
        warnings.simplefilter("ignore")  # numpy.core is a deprecated alias on NumPy 2
        numpy.lib.NumpyVersion = lambda v: types.SimpleNamespace(major={major})
        imported = []
        real_import = builtins.__import__
        def spy(name, *args, **kwargs):
            imported.append(name)
            return real_import(name, *args, **kwargs)
        builtins.__import__ = spy
        from Valdrix import BitMatrix
        a = BitMatrix.from_list([[1, 0, 1]]).to_numpy()
        builtins.__import__ = real_import
        print(a.tolist())
        print(sorted({{n for n in imported if n.endswith("multiarray")}}))
        print(BitMatrix.from_numpy(a).to_list())
        """
    )
    assert out == ["[[True, False, True]]", f"[{module!r}]", "[[1, 0, 1]]"]


def test_array_interface_is_kept_for_the_process():
    out = run_python(
        """
        import sys, numpy
        from Valdrix import BitMatrix
        BitMatrix(1, 1).to_numpy()
        sys.modules["numpy"] = None  # no second import is attempted
        print(BitMatrix.from_numpy(BitMatrix.ones(2, 3).to_numpy()).to_list())
        """
    )
    assert out == ["[[1, 1, 1], [1, 1, 1]]"]


def test_methods_signatures_and_static_forms():
    assert BitMatrix.from_list.__text_signature__ == "(data)"
    assert BitMatrix.from_numpy.__text_signature__ == "(a)"
    assert BitMatrix.to_list.__text_signature__ == "($self)"
    assert BitMatrix.to_numpy.__text_signature__ == "($self)"
    m = BitMatrix(1, 2)
    assert m.from_list([[1, 1]]).to_list() == [[1, 1]]  # static, reachable from an instance too
    with pytest.raises(TypeError):
        m.to_list(1)


def test_conversions_keep_reference_counts_balanced():
    one, zero = Index(1), Index(0)
    row = [one, zero]
    data = [row, (zero, one)]
    bad = [[one, 0.5]]
    a = np.array([[True, False]])
    counts = lambda: [sys.getrefcount(o) for o in (one, zero, row, a)]  # noqa: E731
    before = counts()
    for _ in range(50):
        m = BitMatrix.from_list(data)
        with pytest.raises(TypeError):
            BitMatrix.from_list(bad)
        BitMatrix.from_numpy(a)
        out = m.to_numpy()
        assert sys.getrefcount(out) == 2  # only this name and the call's argument
        assert sys.getrefcount(m) == 2
    assert counts() == before
