"""ao_bmf, ao_bmf_masked and BmfResult: checks and their order, the result
object, the specified examples, agreement with a pure-Python model, and
threads."""
import threading

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import bmf_model
from Valdrix import BitMatrix, BmfResult, ao_bmf, ao_bmf_masked

RANK_27 = "rang 27 trop grand : le tableau interne ferait 2^27 entrees"


def random_matrix(rng, rows, cols, density=0.3):
    return BitMatrix.from_numpy(rng.random((rows, cols)) < density)


# ---------------------------------------------------------------- checks


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"r": 0}, "r doit valoir au moins 1"),
        ({"r": 27}, RANK_27),
        ({"r": 30}, "rang 30 trop grand : le tableau interne ferait 2^30 entrees"),
        ({"r": 2, "max_iter": 0}, "max_iter doit valoir au moins 1"),
        ({"r": 0, "max_iter": 0}, "r doit valoir au moins 1"),
        ({"r": 27, "max_iter": 0}, RANK_27),
        ({"r": 0, "method": "foo"}, "methode inconnue : 'foo'. Valeurs acceptees : naive, zeta, greedy, greedy-ls"),
        ({"r": 27, "max_iter": 0, "method": " Foo "},
         "methode inconnue : ' Foo '. Valeurs acceptees : naive, zeta, greedy, greedy-ls"),
    ],
)
@pytest.mark.parametrize("mask", [None, BitMatrix.ones(3, 3), np.ones((3, 4), bool)], ids=["ao_bmf", "full", "wide"])
def test_value_checks_in_order(kwargs, message, mask):
    # The mask's shape is checked after every other value.
    with pytest.raises(ValueError) as e:
        ao_bmf(BitMatrix.ones(3, 3), **kwargs) if mask is None else ao_bmf_masked(BitMatrix.ones(3, 3), mask, **kwargs)
    assert str(e.value) == message


def test_mask_shape_must_be_x_shape():
    for mask in (BitMatrix.ones(3, 4), np.ones((4, 3), bool), np.ones((3, 0), bool)):
        rows, cols = mask.shape
        with pytest.raises(ValueError, match=rf"^mask est {rows} x {cols}, x est 3 x 3$"):
            ao_bmf_masked(BitMatrix.ones(3, 3), mask, 2)


@pytest.mark.parametrize(
    "call, kind, message",
    [
        (lambda: ao_bmf(), TypeError, "ao_bmf() missing 2 required positional arguments: 'x' and 'r'"),
        (lambda: ao_bmf(BitMatrix(2, 2)), TypeError, "ao_bmf() missing 1 required positional argument: 'r'"),
        (lambda: ao_bmf([[1]], 1), TypeError, "argument 'x': 'list' object cannot be converted to 'BitMatrix'"),
        (lambda: ao_bmf(BitMatrix(2, 2), 1, "zeta", 5, 0, 1), TypeError,
         "ao_bmf() takes from 2 to 5 positional arguments but 6 were given"),
        (lambda: ao_bmf(BitMatrix(2, 2), 1, metod="zeta"), TypeError,
         "ao_bmf() got an unexpected keyword argument 'metod'"),
        (lambda: ao_bmf_masked(BitMatrix(2, 2), BitMatrix(2, 2)), TypeError,
         "ao_bmf_masked() missing 1 required positional argument: 'r'"),
        (lambda: ao_bmf_masked(BitMatrix(2, 2), 1, 1, "zeta", 5, 0, 1), TypeError,
         "ao_bmf_masked() takes from 3 to 6 positional arguments but 7 were given"),
        (lambda: ao_bmf_masked(BitMatrix(2, 2), None, 1), TypeError,
         "argument 'mask': 'NoneType' object cannot be converted to 'BitMatrix | PyArray<T, D>'"),
        (lambda: ao_bmf_masked(BitMatrix(2, 2), np.ones((2, 2), int), 1), TypeError,
         "argument 'mask': 'ndarray' object cannot be converted to 'BitMatrix | PyArray<T, D>'"),
        (lambda: ao_bmf_masked(np.ones((2, 2), bool), BitMatrix(2, 2), 1), TypeError,
         "argument 'x': 'ndarray' object cannot be converted to 'BitMatrix'"),
        (lambda: BmfResult(), TypeError, "No constructor defined for BmfResult"),
        (lambda: BmfResult(1, x=2), TypeError, "No constructor defined for BmfResult"),
    ],
)
def test_binding_and_construction_errors(call, kind, message):
    with pytest.raises(kind) as e:
        call()
    assert str(e.value) == message


def test_integer_arguments_out_of_range():
    x = BitMatrix.ones(2, 2)
    for kwargs in ({"r": -1}, {"r": 1, "seed": -1}, {"r": 1, "max_iter": 2**64}):
        with pytest.raises(OverflowError):
            ao_bmf(x, **kwargs)
    assert ao_bmf(x, np.int64(1), seed=2**64 - 1, max_iter=np.uint8(3)).error == 0


def test_surface():
    assert ao_bmf.__text_signature__ == '(x, r, method="zeta", max_iter=50, seed=0)'
    assert ao_bmf.__module__ == "Valdrix"
    assert ao_bmf_masked.__text_signature__ == '(x, mask, r, method="zeta", max_iter=50, seed=0)'
    assert ao_bmf_masked.__module__ == "Valdrix" and "mask" in ao_bmf_masked.__doc__
    assert BmfResult.__module__ == "Valdrix" and BmfResult.__qualname__ == "BmfResult"
    assert BmfResult.reconstruct.__text_signature__ == "($self)"
    result = ao_bmf(BitMatrix.ones(2, 2), 1)
    for name in ("w", "h", "error", "iterations"):
        with pytest.raises(AttributeError):
            setattr(result, name, 1)


# ---------------------------------------------------------------- examples


def test_all_zero_matrix():
    for method in ("naive", "zeta", "greedy", "greedy-ls"):
        result = ao_bmf(BitMatrix.zeros(3, 4), 2, method)
        assert (result.error, result.iterations) == (0, 1)
        assert result.w == BitMatrix.zeros(3, 2)
        assert result.h == BitMatrix.zeros(2, 4)
        assert repr(result) == "<BmfResult error=0 iterations=1 rank=2>"


def test_shapes_follow_the_rank():
    rng = np.random.default_rng(1)
    x = random_matrix(rng, 4, 6, 0.5)
    result = ao_bmf(x, 3)
    assert result.w.shape == (4, 3) and result.h.shape == (3, 6)
    assert repr(result).endswith("rank=3>")
    big = ao_bmf(x, 26, max_iter=2)  # more rank than rows or columns
    assert big.w.shape == (4, 26) and big.h.shape == (26, 6)


def test_single_column_rank_one():
    x = BitMatrix.from_list([[1], [0], [1], [1]])
    for method in ("naive", "zeta", "greedy", "greedy-ls"):
        result = ao_bmf(x, 1, method, seed=9)
        assert (result.w, result.h.to_list(), result.error, result.iterations) == (x, [[1]], 0, 2)
        once = ao_bmf(x, 1, method, max_iter=1)
        assert (once.w, once.error, once.iterations) == (x, 0, 1)


@pytest.mark.parametrize("seed", [0, 7, 2**64 - 1])
def test_all_ones_rank_two(seed):
    result = ao_bmf(BitMatrix.ones(6, 5), 2, seed=seed)
    assert result.w.to_list() == [[1, 0]] * 6
    assert result.h.to_list() == [[1] * 5, [0] * 5]
    assert (result.error, result.iterations) == (0, 2)


def test_factors_are_fresh_copies():
    rng = np.random.default_rng(2)
    x = random_matrix(rng, 20, 15)
    result = ao_bmf(x, 3)
    w1, w2 = result.w, result.w
    assert w1 == w2 and w1 is not w2
    w1[0, 0] = not w1[0, 0]
    assert result.w == w2
    h, before = result.h, result.h
    h ^= h
    assert h.count_ones() == 0 and result.h == before
    assert x.hamming(result.reconstruct()) == result.error
    assert result.reconstruct() == result.w @ result.h
    assert result.reconstruct().shape == x.shape


def outcome(result):
    return result.w, result.h, result.error, result.iterations


@pytest.mark.parametrize("unobserved", [None, 0.0, 0.1, 0.6])
@pytest.mark.parametrize("method", ["naive", "zeta", "greedy", "greedy-ls"])
def test_repeatable_and_error_is_the_distance(method, unobserved):
    rng = np.random.default_rng(6)
    x = random_matrix(rng, 30, 25, 0.35)
    if unobserved is None:
        mask = BitMatrix.ones(30, 25)
        run = lambda **kw: ao_bmf(x, 4, method, **kw)  # noqa: E731
    else:
        mask = BitMatrix.from_numpy(rng.random((30, 25)) >= unobserved)
        run = lambda **kw: ao_bmf_masked(x, mask, 4, method, **kw)  # noqa: E731
    a, b = run(seed=11), run(seed=11)
    assert outcome(a) == outcome(b)
    assert a.error == (mask & (x ^ (a.w @ a.h))).count_ones() <= (mask & x).count_ones()
    assert 1 <= a.iterations <= 50
    assert run(max_iter=1, seed=11).iterations == 1
    if unobserved == 0.0:  # a full mask is no mask, bit for bit
        assert outcome(a) == outcome(ao_bmf(x, 4, method, seed=11))
        assert outcome(ao_bmf_masked(x, mask.to_numpy(), 4, method, seed=11)) == outcome(a)
    if unobserved:  # what is not observed is not read
        assert outcome(ao_bmf_masked(x & mask, mask, 4, method, seed=11)) == outcome(a)
        assert outcome(ao_bmf_masked(x | ~mask, mask, 4, method, seed=11)) == outcome(a)


def test_planted_factorisation_is_found():
    rng = np.random.default_rng(8)
    w = random_matrix(rng, 80, 3, 0.3)
    h = random_matrix(rng, 3, 60, 0.3)
    x = w @ h
    results = [ao_bmf(x, 3, seed=s) for s in range(8)]
    assert min(r.error for r in results) == 0
    for r in results:
        if r.error == 0:
            assert r.iterations >= 2 and r.reconstruct() == x


@settings(max_examples=60, deadline=None)
@given(st.integers(1, 6), st.integers(1, 6), st.integers(1, 3), st.sampled_from(["zeta", "naive", "greedy", "greedy-ls"]),
       st.integers(1, 4), st.integers(0, 2**64 - 1), st.data())
def test_matches_the_model(m, n, r, method, max_iter, seed, data):
    cells = st.lists(st.lists(st.integers(0, 1), min_size=n, max_size=n), min_size=m, max_size=m)
    rows, observed = data.draw(cells), data.draw(cells)
    result = ao_bmf(BitMatrix.from_list(rows), r, method, max_iter, seed)
    w, h, error, iterations = bmf_model.ao_bmf(rows, r, method, max_iter, seed)
    assert (result.w.to_list(), result.h.to_list(), result.error, result.iterations) == (w, h, error, iterations)
    masked = ao_bmf_masked(BitMatrix.from_list(rows), BitMatrix.from_list(observed), r, method, max_iter, seed)
    w, h, error, iterations = bmf_model.ao_bmf(rows, r, method, max_iter, seed, observed)
    assert (masked.w.to_list(), masked.h.to_list(), masked.error, masked.iterations) == (w, h, error, iterations)


# ---------------------------------------------------------------- threads and borrows


def test_two_threads_factorise_different_matrices():
    rng = np.random.default_rng(13)
    xs = [random_matrix(rng, 300, 200, 0.2) for _ in range(2)]
    want = [ao_bmf(x, 8, seed=3) for x in xs]
    got = [None, None]

    def work(k):
        got[k] = ao_bmf(xs[k], 8, seed=3)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for a, b in zip(got, want):
        assert (a.w, a.h, a.error, a.iterations) == (b.w, b.h, b.error, b.iterations)


def test_x_cannot_change_while_ao_bmf_runs():
    rng = np.random.default_rng(4)
    x = random_matrix(rng, 1500, 1500, 0.3)
    done = threading.Event()

    def work():
        ao_bmf(x, 16, max_iter=3)
        done.set()

    worker = threading.Thread(target=work)
    worker.start()
    refused = False
    while not done.is_set():
        try:
            x[0, 0] = x[0, 0]
        except RuntimeError as e:
            assert str(e) == "Already borrowed"
            refused = True
            break
    assert x.count_ones() > 0  # reading is still allowed
    worker.join()
    assert refused
    x[0, 0] = True
