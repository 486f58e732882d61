"""The module frame: initialisation, class objects, argument binding and
conversion, failure mapping, internal faults and the borrow counters."""

import importlib.metadata
import inspect
import subprocess
import sys
import textwrap
import weakref

import numpy
import pytest

import Valdrix
from Valdrix import BitMatrix

INIT_ORDER = ["BitMatrix", "BoolLs", "BmfResult", "ao_bmf", "ao_bmf_masked", "boolls", "boolls_masked", "methods",
              "SearchResult", "factorize", "boolls_search", "__version__"]
CLASSES = ["BitMatrix", "BoolLs", "BmfResult", "SearchResult"]
FUNCTIONS = ["ao_bmf", "ao_bmf_masked", "boolls", "boolls_masked", "methods", "factorize", "boolls_search"]

def panic_exception():
    try:
        BitMatrix.zeros(2**61, 1)
    except BaseException as e:  # noqa: BLE001 - the class is what we are after
        return type(e)
    raise AssertionError("BitMatrix.zeros(2**61, 1) did not fail")


def run_python(code):
    """Runs code in a fresh interpreter; returns its stdout lines."""
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0, done.stderr
    return done.stdout.splitlines()


# ---------------------------------------------------------------- module


def test_version():
    assert Valdrix.__version__ == "0.1.1"
    assert type(Valdrix.__version__) is str
    # Written once, in pyproject.toml: the module's and the package's are one.
    assert Valdrix.__version__ == importlib.metadata.version("Valdrix")


def test_module_doc_is_empty_and_name():
    assert Valdrix.__name__ == "Valdrix"
    assert Valdrix.__doc__ == ""


def test_all_lists_registered_names_in_init_order():
    present = [name for name in INIT_ORDER if hasattr(Valdrix, name)]
    assert Valdrix.__all__ == present
    assert Valdrix.__all__[0] == "BitMatrix"
    assert Valdrix.__all__[-1] == "__version__"
    assert type(Valdrix.__all__) is list


@pytest.mark.skipif(
    not all(hasattr(Valdrix, n) for n in INIT_ORDER), reason="not every registered item exists yet"
)
def test_all_is_complete_once_everything_exists():
    assert Valdrix.__all__ == INIT_ORDER


def test_star_import_exports_exactly_all():
    names = {}
    exec("from Valdrix import *", names)
    assert sorted(k for k in names if k != "__builtins__") == sorted(Valdrix.__all__)


def test_import_does_not_import_numpy():
    # Building matrices and refusing a non-Boolean fill must not pull NumPy in
    # either: its Boolean scalar is recognised without importing it.
    out = run_python(
        """
        import sys
        import Valdrix
        print("numpy" in sys.modules)
        m = Valdrix.BitMatrix(2, 3, True)
        m[1, 2] = False
        try:
            Valdrix.BitMatrix(2, 2, fill=1)
        except TypeError:
            pass
        print("numpy" in sys.modules)
        """
    )
    assert out == ["False", "False"]


def test_second_initialisation_fails_and_first_module_keeps_working():
    out = run_python(
        """
        import importlib.machinery, importlib.util, sys
        import Valdrix
        first = Valdrix
        del sys.modules["Valdrix"]
        loader = importlib.machinery.ExtensionFileLoader("Valdrix", first.__file__)
        spec = importlib.util.spec_from_loader("Valdrix", loader)
        try:
            importlib.util.module_from_spec(spec)
        except ImportError as e:
            print("ImportError", bool(str(e)))
        else:
            print("loaded twice")
        try:
            import Valdrix
        except ImportError:
            print("ImportError again")
        print(repr(first.BitMatrix(2, 2, True)))
        """
    )
    assert out == ["ImportError True", "ImportError again", "<BitMatrix 2x2, 4 bits a 1>"]


# ---------------------------------------------------------------- classes


def present_classes():
    return [getattr(Valdrix, n) for n in CLASSES if hasattr(Valdrix, n)]


@pytest.mark.parametrize("cls", present_classes(), ids=lambda c: c.__name__)
def test_class_identity(cls):
    assert cls.__module__ == "Valdrix"
    assert cls.__qualname__ == cls.__name__
    assert cls.__name__ in CLASSES
    assert cls.__bases__ == (object,)


@pytest.mark.parametrize("cls", present_classes(), ids=lambda c: c.__name__)
def test_class_is_not_a_base_type(cls):
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def test_instances_have_no_dict_and_no_weakrefs():
    m = BitMatrix(1, 1)
    with pytest.raises(TypeError):
        weakref.ref(m)
    with pytest.raises(AttributeError):
        m.x = 1
    with pytest.raises(AttributeError):
        m.__dict__  # noqa: B018
    assert not hasattr(m, "__weakref__")


def test_registered_functions_belong_to_the_module():
    for name in FUNCTIONS:
        if hasattr(Valdrix, name):
            assert getattr(Valdrix, name).__module__ == "Valdrix", name


# Parameter names, and for each whether it has a default, of every callable;
# the callables that exist are checked.
SIGNATURES = {
    "BitMatrix": ["rows", "cols", "fill="],
    "BitMatrix.zeros": ["rows", "cols"],
    "BitMatrix.ones": ["rows", "cols"],
    "BitMatrix.from_list": ["data"],
    "BitMatrix.from_numpy": ["a"],
    "BitMatrix.copy": ["$self"],
    "BitMatrix.to_list": ["$self"],
    "BitMatrix.to_numpy": ["$self"],
    "BitMatrix.count_ones": ["$self"],
    "BitMatrix.transpose": ["$self"],
    "BitMatrix.row_count_ones": ["$self", "i"],
    "BitMatrix.hamming": ["$self", "other"],
    "BitMatrix.count_andnot": ["$self", "other"],
    "BoolLs": ["w"],
    "BoolLs.solve": ["$self", "x", "method=", "seed="],
    "BoolLs.solve_all": ["$self", "x", "method=", "seed="],
    "BoolLs.solve_masked": ["$self", "x", "mask", "method=", "seed="],
    "BoolLs.solve_all_masked": ["$self", "x", "mask", "method=", "seed="],
    "BmfResult.reconstruct": ["$self"],
    "boolls": ["w", "x", "method=", "seed="],
    "ao_bmf": ["x", "r", "method=", "max_iter=", "seed="],
    "boolls_masked": ["w", "x", "mask", "method=", "seed="],
    "ao_bmf_masked": ["x", "mask", "r", "method=", "max_iter=", "seed="],
    "methods": [],
    "factorize": ["x", "r", "mask=", "seed=", "effort=", "threads=", "progress="],
}


def lookup(path):
    obj = Valdrix
    for part in path.split("."):
        obj = getattr(obj, part, None)
        if obj is None:
            return None
    return obj


def test_basic_callables_have_exact_text_signatures():
    assert BitMatrix.__text_signature__ == "(rows, cols, fill=False)"
    assert BitMatrix.zeros.__text_signature__ == "(rows, cols)"
    assert BitMatrix.ones.__text_signature__ == "(rows, cols)"
    assert BitMatrix.copy.__text_signature__ == "($self)"
    # The docstring is the signature alone.
    for f in (BitMatrix.zeros, BitMatrix.ones, BitMatrix.copy):
        assert not f.__doc__


@pytest.mark.parametrize("path", [p for p in SIGNATURES if lookup(p) is not None])
def test_text_signatures_of_existing_callables(path):
    obj = lookup(path)
    text = obj.__text_signature__
    assert text is not None, f"{path} has no text signature"
    params = list(inspect.signature(obj).parameters.values())
    got = []
    if text.startswith("($self"):
        got.append("$self")
        if not isinstance(obj, type):
            params = params[1:] if params and params[0].name == "self" else params
    for p in params:
        assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD, (path, p)
        got.append(p.name + ("=" if p.default is not inspect.Parameter.empty else ""))
    assert got == SIGNATURES[path]


# ---------------------------------------------------------------- binding

BINDING_ERRORS = [
    (lambda: BitMatrix.zeros(1, 2, 3), "BitMatrix.zeros() takes 2 positional arguments but 3 were given"),
    (lambda: BitMatrix.ones(1, 2, 3, 4), "BitMatrix.ones() takes 2 positional arguments but 4 were given"),
    (lambda: BitMatrix(1, 2, True, 4), "BitMatrix.__new__() takes from 2 to 3 positional arguments but 4 were given"),
    # Too many positionals is reported before any keyword is looked at.
    (lambda: BitMatrix.zeros(1, 2, 3, size=1), "BitMatrix.zeros() takes 2 positional arguments but 3 were given"),
    (lambda: BitMatrix.zeros(2, rows=2), "BitMatrix.zeros() got multiple values for argument 'rows'"),
    (lambda: BitMatrix(2, 2, False, fill=True), "BitMatrix.__new__() got multiple values for argument 'fill'"),
    (lambda: BitMatrix.zeros(2, 2, size=3), "BitMatrix.zeros() got an unexpected keyword argument 'size'"),
    (lambda: BitMatrix(2, 2, Fill=True), "BitMatrix.__new__() got an unexpected keyword argument 'Fill'"),
    # The first offending keyword in call order is reported.
    (lambda: BitMatrix.zeros(2, size=3, rows=1), "BitMatrix.zeros() got an unexpected keyword argument 'size'"),
    (lambda: BitMatrix.zeros(2, rows=1, size=3), "BitMatrix.zeros() got multiple values for argument 'rows'"),
    (lambda: BitMatrix.zeros(rows=2), "BitMatrix.zeros() missing 1 required positional argument: 'cols'"),
    (lambda: BitMatrix.zeros(cols=2), "BitMatrix.zeros() missing 1 required positional argument: 'rows'"),
    (lambda: BitMatrix.ones(), "BitMatrix.ones() missing 2 required positional arguments: 'rows' and 'cols'"),
    (lambda: BitMatrix(), "BitMatrix.__new__() missing 2 required positional arguments: 'rows' and 'cols'"),
    (lambda: BitMatrix(fill=True), "BitMatrix.__new__() missing 2 required positional arguments: 'rows' and 'cols'"),
    # Binding comes before conversion: the bad value of rows is never looked at.
    (lambda: BitMatrix("x"), "BitMatrix.__new__() missing 1 required positional argument: 'cols'"),
]


@pytest.mark.parametrize("call, message", BINDING_ERRORS)
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert str(info.value) == message


@pytest.mark.skipif(not hasattr(Valdrix, "ao_bmf"), reason="ao_bmf is not registered yet")
def test_missing_two_names_in_a_module_function():
    with pytest.raises(TypeError, match=r"^ao_bmf\(\) missing 2 required positional arguments: 'x' and 'r'$"):
        Valdrix.ao_bmf()


def test_keywords_bind_like_positionals():
    for m in (BitMatrix(cols=70, rows=3), BitMatrix(3, cols=70), BitMatrix.zeros(cols=70, rows=3)):
        assert m.shape == (3, 70)
    assert repr(BitMatrix(fill=True, cols=2, rows=2)) == "<BitMatrix 2x2, 4 bits a 1>"


def test_no_parameter_method_refuses_arguments():
    with pytest.raises(TypeError):
        BitMatrix(1, 1).copy(1)
    with pytest.raises(TypeError):
        BitMatrix(1, 1).copy(x=1)


# ---------------------------------------------------------------- conversion


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class IntSub(int):
    pass


@pytest.mark.parametrize(
    "rows",
    [3, True, IntSub(3), Index(3), numpy.int64(3), numpy.uint64(3), numpy.int8(3)],
    ids=repr,
)
def test_unsigned_accepts_int_and_index(rows):
    m = BitMatrix.zeros(rows, 4)
    assert m.shape == (int(rows), 4)
    assert type(m.rows) is int


@pytest.mark.parametrize("value", [-1, -(2**70), 2**64, 2**80, numpy.int64(-1), Index(-5), Index(2**64)], ids=repr)
@pytest.mark.parametrize("position", ["rows", "cols"])
def test_out_of_range_integer_is_interpreters_overflow_unprefixed(value, position):
    args = {"rows": 2, "cols": 2, position: value}
    with pytest.raises(OverflowError) as info:
        BitMatrix.zeros(**args)
    assert type(info.value) is OverflowError
    assert "argument" not in str(info.value)
    assert info.value.__cause__ is None


def test_largest_unsigned_reaches_the_size_check():
    with pytest.raises(BaseException) as info:
        BitMatrix.zeros(2**64 - 1, 2**64 - 1)
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value) == "capacity overflow"


@pytest.mark.parametrize(
    "value, type_name",
    [(2.5, "float"), (None, "NoneType"), ("3", "str"), ([3], "list"), (1j, "complex"), (slice(1), "slice")],
)
def test_non_integer_size_is_named(value, type_name):
    with pytest.raises(TypeError) as info:
        BitMatrix.zeros(2, value)
    assert str(info.value) == f"argument 'cols': '{type_name}' object cannot be interpreted as an integer"


def test_first_bad_parameter_in_declared_order_is_reported():
    with pytest.raises(TypeError, match=r"^argument 'rows': "):
        BitMatrix(2.5, None, fill=1)
    with pytest.raises(TypeError, match=r"^argument 'cols': "):
        BitMatrix(2, None, fill=1)
    with pytest.raises(TypeError, match=r"^argument 'fill': "):
        BitMatrix(0, 0, fill=1)


class RaisesFromIndex:
    """__index__ raising exc, chained from cause when one is given."""

    def __init__(self, exc, cause=None):
        self.exc, self.cause = exc, cause

    def __index__(self):
        if self.cause is None:
            raise self.exc
        raise self.exc from self.cause


def test_wrapped_type_error_keeps_the_cause_of_the_replaced_error():
    root = KeyError("root")
    inner = TypeError("inner failure")
    with pytest.raises(TypeError) as info:
        BitMatrix.zeros(RaisesFromIndex(inner, root), 1)
    err = info.value
    assert str(err) == "argument 'rows': inner failure"
    assert err is not inner
    assert err.__cause__ is root


def test_wrapped_type_error_without_cause_has_none():
    with pytest.raises(TypeError) as info:
        BitMatrix.zeros(1, RaisesFromIndex(TypeError("plain")))
    assert str(info.value) == "argument 'cols': plain"
    assert info.value.__cause__ is None


@pytest.mark.parametrize("exc", [ValueError("bad value"), OverflowError("too big"), KeyError("k"), ZeroDivisionError()])
def test_other_errors_from_index_pass_through_unchanged(exc):
    with pytest.raises(type(exc)) as info:
        BitMatrix.zeros(RaisesFromIndex(exc), 1)
    assert info.value is exc


def test_index_returning_non_int_is_named():
    with pytest.raises(TypeError) as info:
        BitMatrix.zeros(Index("3"), 1)
    assert str(info.value).startswith("argument 'rows': ")
    assert "__index__" in str(info.value)


class FakeNumpyBool:
    """Looks like NumPy's Boolean scalar to the converter (module and name)."""

    def __init__(self, result):
        self.result = result

    def __bool__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


FakeNumpyBool.__module__ = "numpy"
FakeNumpyBool.__name__ = FakeNumpyBool.__qualname__ = "bool_"

BareNumpyBool = type("bool", (), {"__module__": "numpy"})


@pytest.mark.parametrize(
    "fill, expected",
    [(True, True), (False, False), (numpy.True_, True), (numpy.False_, False),
     (numpy.bool_(1), True), (numpy.array([True, False])[1], False), (FakeNumpyBool(True), True)],
    ids=repr,
)
def test_boolean_accepts_bool_and_numpy_bool(fill, expected):
    m = BitMatrix(2, 2, fill)
    assert m[1, 1] is expected
    assert BitMatrix(2, 2, fill=fill)[0, 0] is expected


@pytest.mark.parametrize(
    "fill, type_name",
    [(1, "int"), (0, "int"), (None, "NoneType"), (1.0, "float"), ("True", "str"), (numpy.int64(1), "int64"),
     (numpy.array(True), "ndarray"), (IntSub(1), "IntSub")],
    ids=repr,
)
def test_boolean_refuses_everything_else(fill, type_name):
    with pytest.raises(TypeError) as info:
        BitMatrix(2, 2, fill=fill)
    assert str(info.value) == f"argument 'fill': '{type_name}' object cannot be converted to 'PyBool'"


def test_numpy_like_bool_without_dunder_bool():
    with pytest.raises(TypeError) as info:
        BitMatrix(2, 2, BareNumpyBool())
    assert str(info.value) == "argument 'fill': object of type 'bool' does not define a '__bool__' conversion"


def test_numpy_like_bool_whose_dunder_bool_is_not_a_bool():
    with pytest.raises(TypeError) as info:
        BitMatrix(2, 2, FakeNumpyBool(1))
    assert str(info.value) == "argument 'fill': 'int' object cannot be converted to 'PyBool'"


def test_numpy_like_bool_whose_dunder_bool_raises():
    exc = ValueError("no truth")
    with pytest.raises(ValueError) as info:
        BitMatrix(2, 2, FakeNumpyBool(exc))
    assert info.value is exc


# ---------------------------------------------------------------- faults


def test_panic_exception_class():
    cls = panic_exception()
    assert cls.__name__ == "PanicException"
    assert cls.__module__ == "Valdrix"
    assert cls.__bases__ == (BaseException,)
    assert not issubclass(cls, Exception)
    # Made once: every fault raises the same class.
    assert panic_exception() is cls


def test_panic_is_not_caught_by_except_exception():
    caught_by = None
    try:
        try:
            BitMatrix.zeros(2**61, 1)
        except Exception:  # noqa: BLE001 - must not catch it
            caught_by = "Exception"
    except BaseException as e:  # noqa: BLE001
        caught_by = "BaseException"
        assert e.args == ("capacity overflow",)
    assert caught_by == "BaseException"


@pytest.mark.parametrize(
    "make, rows, cols",
    [
        (BitMatrix.zeros, 2**61, 1),
        (BitMatrix.ones, 2**61, 1),
        (BitMatrix, 2**60, 64),
        (BitMatrix.zeros, 2**40, 2**40),
        (BitMatrix.ones, 2**63, 2**63),
        (BitMatrix.zeros, 2**64 - 1, 65),
        # Representable but far beyond any address space.
        (BitMatrix.zeros, 2**50, 1),
        (BitMatrix.ones, 2**50, 1),
        (BitMatrix, 2**60 - 1, 1),
        (BitMatrix.zeros, 1, 2**64 - 1),
    ],
)
def test_absurd_sizes_fail_cleanly(make, rows, cols):
    with pytest.raises(BaseException) as info:
        make(rows, cols)
    err = info.value
    if isinstance(err, MemoryError):
        return
    assert type(err).__name__ == "PanicException"
    assert str(err) == "capacity overflow"


def test_word_count_limit_is_the_capacity_boundary():
    # 2^60 words is the first count whose byte size cannot be represented.
    with pytest.raises(BaseException, match="^capacity overflow$"):
        BitMatrix.zeros(2**60, 1)
    with pytest.raises(MemoryError):
        BitMatrix.zeros(2**60 - 1, 1)


# ---------------------------------------------------------------- borrowing
# Without a computation that releases the interpreter lock, a borrow can be
# observed from Python code that the frame runs while it holds one: an
# __index__ or __bool__ called during the conversion of a subscript or value.


class Reenter:
    """__index__ / __bool__ that run `action` first, then return value."""

    def __init__(self, action, value=0):
        self.action, self.value = action, value

    def __index__(self):
        self.action()
        return self.value


def write(m):
    def act():
        m[0, 1] = True
    return act


def read(m):
    def act():
        m[0, 1]  # noqa: B018
    return act


class ReenterBool(FakeNumpyBool):
    def __init__(self, action):
        super().__init__(True)
        self.action = action

    def __bool__(self):
        self.action()
        return True


ReenterBool.__module__ = "numpy"
ReenterBool.__name__ = ReenterBool.__qualname__ = "bool_"


def test_write_while_shared_borrowed_is_already_borrowed():
    m = BitMatrix(2, 2)
    with pytest.raises(RuntimeError) as info:
        m[Reenter(write(m)), 0]
    assert type(info.value) is RuntimeError
    assert str(info.value) == "Already borrowed"
    assert m[0, 1] is False


@pytest.mark.parametrize("where", ["index i", "index j", "value"])
def test_read_while_exclusively_borrowed_is_already_mutably_borrowed(where):
    m = BitMatrix(2, 2)
    i, j, v = 0, 0, True
    if where == "index i":
        i = Reenter(read(m))
    elif where == "index j":
        j = Reenter(read(m))
    else:
        v = ReenterBool(read(m))
    with pytest.raises(RuntimeError) as info:
        m[i, j] = v
    assert str(info.value) == "Already mutably borrowed"
    assert repr(m) == "<BitMatrix 2x2, 0 bits a 1>"


@pytest.mark.parametrize("where", ["index", "value"])
def test_write_while_exclusively_borrowed_is_already_borrowed(where):
    m = BitMatrix(2, 2)
    i, v = 0, True
    if where == "index":
        i = Reenter(write(m))
    else:
        v = ReenterBool(write(m))
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        m[i, 0] = v
    assert repr(m) == "<BitMatrix 2x2, 0 bits a 1>"


def test_shared_borrows_nest():
    m = BitMatrix(2, 2)
    m[0, 1] = True
    # Reading inside a read: two shared borrows at once.
    assert m[Reenter(lambda: m.copy()[0, 1] and repr(m), value=0), 1] is True
    assert m[Reenter(read(m), value=1), Reenter(read(m), value=1)] is False


def failing_operations(m):
    yield lambda: m[5, 5]
    yield lambda: m[0]
    yield lambda: m[0, 0, 0]
    yield lambda: m[-1, 0]
    yield lambda: m[Reenter(write(m)), 0]

    def set_bad_value():
        m[0, 0] = 1

    def set_out_of_range():
        m[9, 0] = True

    def set_bad_index():
        m[None, 0] = True

    def set_reentrant():
        m[Reenter(read(m)), 0] = True

    def delete():
        del m[0, 0]

    yield set_bad_value
    yield set_out_of_range
    yield set_bad_index
    yield set_reentrant
    yield delete


def test_every_borrow_is_released_after_failures():
    m = BitMatrix(2, 2)
    for op in failing_operations(m):
        with pytest.raises(Exception):  # noqa: B017 - each has its own test
            op()
        # An exclusive borrow succeeds only when the counter is back to free.
        m[1, 1] = True
        m[1, 1] = False
    assert repr(m) == "<BitMatrix 2x2, 0 bits a 1>"


def test_borrows_released_after_success():
    m = BitMatrix(3, 3)
    for _ in range(100):
        m.copy()
        repr(m)
        len(m)
        m.shape, m.rows, m.cols  # noqa: B018
        m[2, 2]  # noqa: B018
    m[2, 2] = True
    assert m[2, 2] is True
