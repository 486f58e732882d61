"""The shipped type stubs: installed where type checkers look, accepted by
mypy --strict on a typed use of the whole API, and true to the built module;
and valdrix_learn, installed as its sources with py.typed, passing mypy --strict."""
from __future__ import annotations

import ast
import inspect
import os
import subprocess
import sys
from pathlib import Path

import pytest

import Valdrix

HERE = Path(__file__).parent
SOURCE_STUB = HERE.parents[1] / "src" / "bmf_py" / "Valdrix.pyi"
SAMPLE = HERE / "stub_usage_sample.py"
SITE = Path(Valdrix.__file__).parent
LEARN_SOURCE = HERE.parents[1] / "src" / "valdrix_learn"


def stub_tree() -> ast.Module:
    return ast.parse(SOURCE_STUB.read_text(), str(SOURCE_STUB))


def stub_members() -> dict[str, ast.AST]:
    """Every name the stub declares, dotted: 'ao_bmf', 'BitMatrix.hamming', ..."""
    out: dict[str, ast.AST] = {}
    for node in stub_tree().body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            out[node.name] = node
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            out[node.target.id] = node
        if isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    out[f"{node.name}.{item.name}"] = item
    return out


def runtime_object(dotted: str) -> object:
    """The module attribute or the class's own member (not one inherited from object or type)."""
    obj: object = Valdrix
    for part in dotted.split("."):
        obj = vars(obj)[part] if isinstance(obj, type) else getattr(obj, part)
    return obj


def run(*args: str, cwd: Path, env: dict[str, str] | None = None) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, *args], cwd=cwd, env=env, capture_output=True, text=True, timeout=600, check=False
    )


@pytest.mark.parametrize(
    "installed",
    ["Valdrix.pyi", "Valdrix-stubs/__init__.pyi", "py.typed"],
)
def test_stub_files_are_installed_beside_the_module(installed: str) -> None:
    path = SITE / installed
    assert path.is_file(), f"{path} missing: run make install"
    source = SOURCE_STUB if installed.endswith(".pyi") else SOURCE_STUB.with_name("py.typed")
    assert path.read_bytes() == source.read_bytes(), f"{path} is stale: run make install"


def test_typed_sample_passes_mypy_strict(tmp_path: Path) -> None:
    # From an empty folder, so mypy must find the stubs where a user's mypy would.
    result = run("-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), str(SAMPLE), cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Success: no issues found" in result.stdout


def test_mypy_uses_the_stubs_to_refuse_misuse(tmp_path: Path) -> None:
    bad = tmp_path / "bad.py"
    bad.write_text(
        "from Valdrix import BitMatrix, ao_bmf\n"
        "m = BitMatrix(2, 2)\n"
        "m.hamming(m, m)\n"
        "ao_bmf(m, 2, metod='zeta')\n"
        "n: str = m.count_ones()\n"
    )
    result = run("-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), str(bad), cwd=tmp_path)
    assert result.returncode == 1
    for line, code in ((3, "call-arg"), (4, "call-arg"), (5, "assignment")):
        assert f"bad.py:{line}: error:" in result.stdout and f"[{code}]" in result.stdout, result.stdout


# The interpreter gives every binary slot a reflected wrapper as well. They
# answer NotImplemented to any left operand that is not a BitMatrix, and are
# never reached when both operands are, so the stubs leave them out: that way
# `1 & m` is a type error, as it is an error at run time.
REFLECTED_SLOTS = ["__rand__", "__ror__", "__rxor__", "__rsub__", "__rmatmul__"]


def test_stubtest_finds_no_mismatch(tmp_path: Path) -> None:
    allowlist = tmp_path / "allowlist.txt"
    allowlist.write_text("".join(f"Valdrix.BitMatrix.{name}\n" for name in REFLECTED_SLOTS))
    env = {**os.environ, "MYPYPATH": str(SOURCE_STUB.parent)}
    result = run("-m", "mypy.stubtest", "Valdrix", "--allowlist", str(allowlist), cwd=tmp_path, env=env)
    assert result.returncode == 0, result.stdout + result.stderr


def test_every_declared_member_exists_at_run_time() -> None:
    for dotted in stub_members():
        runtime_object(dotted)  # raises KeyError or AttributeError for a stub-only name


def parameters_of_stub(node: ast.FunctionDef) -> list[tuple[str, object]]:
    args = node.args
    params = args.posonlyargs + args.args
    defaults: list[object] = [inspect.Parameter.empty] * (len(params) - len(args.defaults))
    defaults += [ast.literal_eval(d) for d in args.defaults]
    return [(p.arg, d) for p, d in zip(params, defaults) if p.arg not in ("self", "cls")]


def callables_with_text_signatures() -> list[tuple[str, object]]:
    found = []
    # The public names, and the private ones the stub declares for valdrix_learn.
    private = [name for name in stub_members() if name.startswith("_") and not name.startswith("__")]
    for name in Valdrix.__all__ + private:
        obj = getattr(Valdrix, name)
        if getattr(obj, "__text_signature__", None):
            found.append((name, obj))
        if isinstance(obj, type):
            for attr in vars(obj):
                value = getattr(obj, attr)
                if not attr.startswith("__") and getattr(value, "__text_signature__", None):
                    found.append((f"{name}.{attr}", value))
    return found


def test_every_runtime_signature_matches_the_stub() -> None:
    # Constructors are checked here too: their runtime __new__ takes *args, so
    # stubtest can compare them only through the class's text signature.
    members = stub_members()
    checked = []
    for dotted, obj in callables_with_text_signatures():
        params = inspect.signature(obj).parameters.values()  # type: ignore[arg-type]
        params = [p for p in params if p.name != "self"]
        assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in params), dotted
        runtime = [(p.name, p.default) for p in params]
        node = members[f"{dotted}.__new__" if isinstance(obj, type) else dotted]
        assert isinstance(node, ast.FunctionDef)
        assert parameters_of_stub(node) == runtime, dotted
        checked.append(dotted)
    # Every stub function that is not a slot or a property has a runtime text signature.
    expected = {
        name.removesuffix(".__new__")
        for name, node in members.items()
        if isinstance(node, ast.FunctionDef)
        and (not name.split(".")[-1].startswith("__") or name in ("BitMatrix.__new__", "BoolLs.__new__"))
        and not any(isinstance(d, ast.Name) and d.id == "property" for d in node.decorator_list)
    }
    assert set(checked) == expected


def test_stub_declares_exactly_the_public_module_attributes() -> None:
    declared = {name for name in stub_members() if "." not in name}
    public = {name for name in dir(Valdrix) if not name.startswith("_")} | {"__version__"}
    assert public <= declared
    assert "PanicException" not in public and "PanicException" not in declared


def test_typed_sample_runs_against_the_module() -> None:
    sys.path.insert(0, str(HERE))
    try:
        import stub_usage_sample
    finally:
        sys.path.remove(str(HERE))
    stub_usage_sample.main()


def test_learn_package_is_installed_as_its_sources() -> None:
    import valdrix_learn

    installed = Path(valdrix_learn.__file__).parent
    sources = [p for p in LEARN_SOURCE.iterdir() if p.is_file()]
    assert "py.typed" in {p.name for p in sources}
    for source in sources:
        path = installed / source.name
        assert path.is_file() and path.read_bytes() == source.read_bytes(), f"{path} is stale: run make install"


def test_learn_package_passes_mypy_strict(tmp_path: Path) -> None:
    # Checked where users import it from: mypy reads an installed package only through its py.typed.
    result = run("-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), "-p", "valdrix_learn", cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Success: no issues found" in result.stdout
