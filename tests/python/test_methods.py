"""Method names: the list, and how solve, solve_all, boolls, ao_bmf and their
masked forms read the method argument."""
import numpy as np
import pytest

from Valdrix import BitMatrix, BoolLs, ao_bmf, ao_bmf_masked, boolls, boolls_masked, methods

ACCEPTED = "naive, zeta, greedy, greedy-ls"

W = BitMatrix.from_list([[1, 0], [0, 1], [1, 1]])
X = np.array([True, True, True])


def test_methods_lists_the_four_names_in_a_new_list():
    first, second = methods(), methods()
    assert first == ["naive", "zeta", "greedy", "greedy-ls"]
    assert first == second and first is not second
    first.append("x")
    assert methods() == ["naive", "zeta", "greedy", "greedy-ls"]
    assert methods.__text_signature__ == "()"
    assert methods.__module__ == "Valdrix"
    with pytest.raises(TypeError):
        methods(1)


@pytest.mark.parametrize(
    "text, canonical",
    [
        ("ZETA", "zeta"), ("Zeta", "zeta"), ("Greedy-LS", "greedy-ls"), ("NAIVE", "naive"),
        ("  zeta  ", "zeta"), ("\t\n greedy \r\n", "greedy"), ("\u00a0naive\u0085", "naive"),
        ("\u3000greedy-ls\u2029", "greedy-ls"), ("\u1680\u2000\u200azeta\u202f\u205f", "zeta"),
    ],
)
def test_names_ignore_case_and_surrounding_white_space(text, canonical):
    solver = BoolLs(W)
    assert solver.solve(X, text, 3) == solver.solve(X, canonical, 3)
    assert solver.solve_masked(X, X, text, 3) == solver.solve(X, canonical, 3)


@pytest.mark.parametrize(
    "text",
    ["", "   ", "gree dy", "greedy_ls", "greedyls", "greedy-", "na\u00efve", "\u200bzeta", "zeta\u00a0x", "foo"],
)
@pytest.mark.parametrize(
    "call",
    [
        lambda m: BoolLs(W).solve(X, m),
        lambda m: BoolLs(W).solve_all(W, m),
        lambda m: boolls(W, X, m),
        lambda m: ao_bmf(W, 2, m),
        lambda m: BoolLs(W).solve_masked(X, X, m),
        lambda m: BoolLs(W).solve_all_masked(W, W, m),
        lambda m: boolls_masked(W, X, X, m),
        lambda m: ao_bmf_masked(W, W, 2, m),
    ],
    ids=["solve", "solve_all", "boolls", "ao_bmf", "solve_masked", "solve_all_masked", "boolls_masked", "ao_bmf_masked"],
)
def test_unknown_names_report_the_text_as_given(text, call):
    with pytest.raises(ValueError) as e:
        call(text)
    assert str(e.value) == f"methode inconnue : '{text}'. Valeurs acceptees : {ACCEPTED}"


def test_method_must_be_a_str():
    with pytest.raises(TypeError, match=r"^argument 'method': 'int' object cannot be converted to 'PyString'$"):
        BoolLs(W).solve(X, 1)
    with pytest.raises(TypeError, match=r"^argument 'method': 'NoneType' object"):
        ao_bmf(W, 1, method=None)
