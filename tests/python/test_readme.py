"""Every ```python example of the README runs, each in a fresh namespace, so
the documentation cannot drift from the module."""
from __future__ import annotations

import re
from pathlib import Path

import pytest

README = Path(__file__).parents[2] / "README.md"
FENCE = re.compile(r"^```python\n(.*?)^```$", re.DOTALL | re.MULTILINE)


def examples() -> list[tuple[str, int, str]]:
    text = README.read_text()
    found = []
    for match in FENCE.finditer(text):
        line = text.count("\n", 0, match.start(1)) + 1
        heading = re.findall(r"^#+ (.*)$", text[: match.start()], re.MULTILINE)[-1]
        found.append((heading, line, match.group(1)))
    return found


def test_the_readme_has_the_examples_it_promises() -> None:
    headings = {heading for heading, _, _ in examples()}
    assert len(examples()) >= 6
    assert {"Operators and counts", "NumPy and list conversion", "Saving, sharing and sparse data", "Errors"} <= headings
    assert any("BoolLs" in h for h in headings) and any("ao_bmf" in h for h in headings)
    assert "make demo\nmake test\n" in README.read_text()


@pytest.mark.parametrize(
    "line,code",
    [pytest.param(line, code, id=f"line {line}: {heading}") for heading, line, code in examples()],
)
def test_readme_example_runs(line: int, code: str) -> None:
    # Compiled under the README's name and line numbers, so a failure points at the example.
    compiled = compile("\n" * (line - 1) + code, str(README), "exec")
    exec(compiled, {"__name__": "readme_example"})
