"""Threads solving and factorising with shared BitMatrix and BoolLs objects
while other threads read those objects and try to modify them: the borrow
rules hold (an element assignment to a borrowed matrix raises RuntimeError
"Already borrowed", an in-place operator falls back to the plain one and
rebinds only the local name), no thread sees a half-written matrix, and every
result equals the one computed sequentially."""

from __future__ import annotations

import copy
import os
import pickle
import sys
import threading

import numpy as np
import pytest

from Valdrix import BitMatrix, BoolLs, SearchResult, ao_bmf, boolls, factorize

SANITIZED = os.environ.get("VALDRIX_SANITIZED") == "1"
# Rounds per thread; the sanitized run is several times slower per call.
ROUNDS = int(os.environ.get("VALDRIX_STRESS_ROUNDS", "40" if SANITIZED else "200"))
SOLVERS, READERS, WRITERS = 4, 2, 2
METHODS = ["naive", "zeta", "greedy", "greedy-ls"]


@pytest.fixture(autouse=True)
def fast_switching():
    """Thread switches every 50 microseconds instead of 5 ms, so that the
    threads interleave at many more points of each call."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(5e-5)
    yield
    sys.setswitchinterval(old)


def random_matrix(rng, rows, cols, density):
    return BitMatrix.from_numpy(rng.random((rows, cols)) < density)


def run_threads(targets):
    """Starts every (function, args) at once behind a barrier; returns the
    exceptions the threads raised."""
    barrier = threading.Barrier(len(targets))
    errors = []

    def wrap(fn, args):
        try:
            barrier.wait()
            fn(*args)
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    threads = [threading.Thread(target=wrap, args=t) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return errors


def same_value_assignment(m, i, j, tally):
    """m[i, j] = m[i, j]: either it goes through (no solve holds m) or it is
    refused because one does; the value stays the same either way."""
    try:
        m[i, j] = m[i, j]
        tally["assigned"] += 1
    except RuntimeError as exc:
        assert str(exc) == "Already borrowed"
        tally["refused"] += 1


def identity_inplace(m, identity, op, tally):
    """An in-place operator whose operand changes nothing: done in place on m,
    or refused in place (m borrowed) and done by the plain operator into a
    new object bound to the local name only."""
    local = m
    local = op(local, identity)
    if local is m:
        tally["in place"] += 1
    else:
        tally["fallback"] += 1
        assert local == m


def iand(a, b):
    a &= b
    return a


def ior(a, b):
    a |= b
    return a


def ixor(a, b):
    a ^= b
    return a


def test_shared_objects_under_concurrent_solving_reading_and_writing():
    rng = np.random.default_rng(20240607)
    w = random_matrix(rng, 150, 9, 0.3)
    solver = BoolLs(w)
    x_all = random_matrix(rng, 150, 30, 0.4)
    targets = [rng.random(150) < 0.4 for _ in range(8)]
    targets[1] = targets[1][::-1].copy()[::-1]  # a reversed view of a copy
    f = random_matrix(rng, 60, 50, 0.35)
    ones_x, zeros_x = BitMatrix.ones(*x_all.shape), BitMatrix.zeros(*x_all.shape)
    ones_f, zeros_f = BitMatrix.ones(*f.shape), BitMatrix.zeros(*f.shape)

    # Everything computed once, sequentially, before any thread starts.
    tasks = []
    for k, method in enumerate(METHODS):
        tasks.append((lambda m=method: solver.solve_all(x_all, m, 5), solver.solve_all(x_all, method, 5)))
        for t, x in enumerate(targets):
            tasks.append((lambda x=x, m=method, s=t: solver.solve(x, m, s), solver.solve(x, method, t)))
            tasks.append((lambda x=x, m=method: boolls(w, x, m, 1), boolls(w, x, method, 1)))
        for r in (1, 4, 7):
            tasks.append((lambda r=r, m=method, k=k: ao_bmf(f, r, m, 20, k), ao_bmf(f, r, method, 20, k)))
        tasks.append((lambda k=k: factorize(f, 3, seed=k, effort=2, threads=2), factorize(f, 3, seed=k, effort=2)))
    expected_x = (x_all.to_list(), hash(x_all))
    expected_f = (f.to_list(), hash(f))
    expected_w = w.to_list()

    def same_result(got, want):
        if isinstance(want, tuple) and isinstance(want[0], BitMatrix):
            return got[0] == want[0] and got[1] == want[1]
        if isinstance(want, SearchResult):
            return (got.w, got.h, got.error, got.iterations) == (want.w, want.h, want.error, want.iterations)
        if hasattr(want, "reconstruct"):
            return (got.w, got.h, got.error, got.iterations) == (want.w, want.h, want.error, want.iterations)
        return got == want

    mismatches = []
    tally = {"assigned": 0, "refused": 0, "in place": 0, "fallback": 0, "solves": 0, "reads": 0}
    lock = threading.Lock()

    def count(key, n=1):
        with lock:
            tally[key] += n

    def solve_loop(seed):
        order = np.random.default_rng(seed).permutation(len(tasks))
        for r in range(ROUNDS):
            call, want = tasks[order[r % len(order)]]
            got = call()
            if not same_result(got, want):
                mismatches.append((r, want, got))
            count("solves")

    def read_loop(seed):
        pick = np.random.default_rng(seed)
        for _ in range(ROUNDS * 10):
            i, j = int(pick.integers(150)), int(pick.integers(30))
            assert x_all[i, j] == bool(expected_x[0][i][j])
            assert hash(x_all) == expected_x[1]
            assert hash(f) == expected_f[1]
            assert solver.m == 150 and solver.r == 9
            assert w.to_list() == expected_w
            assert x_all.count_ones() == sum(map(sum, expected_x[0]))
            count("reads")
        assert f.to_list() == expected_f[0]

    def write_loop(seed):
        pick = np.random.default_rng(seed)
        local = dict.fromkeys(["assigned", "refused", "in place", "fallback"], 0)
        for _ in range(ROUNDS * 10):
            same_value_assignment(x_all, int(pick.integers(150)), int(pick.integers(30)), local)
            same_value_assignment(f, int(pick.integers(60)), int(pick.integers(50)), local)
            same_value_assignment(w, int(pick.integers(150)), int(pick.integers(9)), local)
            identity_inplace(x_all, ones_x, iand, local)
            identity_inplace(x_all, zeros_x, ixor, local)
            identity_inplace(f, zeros_f, ior, local)
            identity_inplace(f, ones_f, iand, local)
        for key, value in local.items():
            count(key, value)

    errors = run_threads(
        [(solve_loop, (s,)) for s in range(SOLVERS)]
        + [(read_loop, (100 + s,)) for s in range(READERS)]
        + [(write_loop, (200 + s,)) for s in range(WRITERS)]
    )
    assert not errors, errors
    assert not mismatches, mismatches[:3]
    assert tally["solves"] == SOLVERS * ROUNDS and tally["reads"] == READERS * ROUNDS * 10
    assert tally["assigned"] + tally["refused"] == WRITERS * ROUNDS * 10 * 3
    assert tally["in place"] + tally["fallback"] == WRITERS * ROUNDS * 10 * 4
    # The shared objects are as they were, and no borrow is left behind.
    assert (x_all.to_list(), hash(x_all)) == expected_x
    assert (f.to_list(), hash(f)) == expected_f
    assert w.to_list() == expected_w
    for m in (x_all, f, w):
        probe = m
        probe &= BitMatrix.ones(*m.shape)
        assert probe is m
        m[0, 0] = m[0, 0]




def test_a_running_solve_refuses_writes_to_its_operands():
    """While one thread's solve holds the matrices, another thread's element
    assignment is refused and its in-place operator falls back to a new
    object, but pickling and copying still read them; once the solve
    returns, both writes work in place again."""
    rng = np.random.default_rng(7)
    w = random_matrix(rng, 1000, 20, 0.2)
    solver = BoolLs(w)
    x = random_matrix(rng, 1000, 60, 0.3)
    expected = solver.solve_all(x)
    before = (x.to_list(), w.to_list())
    seen = {"refused": 0, "fallback": 0}
    results = []

    for _ in range(5):  # a solve that ends before this thread looks is run again
        worker = threading.Thread(target=lambda: results.append(solver.solve_all(x)))
        worker.start()
        while worker.is_alive():
            try:
                x[3, 4] = x[3, 4]
            except RuntimeError as exc:
                assert str(exc) == "Already borrowed"
                seen["refused"] += 1
                # Held by the solve, it can still be read out whole.
                assert pickle.loads(pickle.dumps(x)) == x and copy.deepcopy(x) == x
            local = x
            local |= BitMatrix.zeros(*x.shape)
            if local is not x:
                seen["fallback"] += 1
                assert local == x
        worker.join()
        if seen["refused"] and seen["fallback"]:
            break
    assert seen["refused"] > 0 and seen["fallback"] > 0, seen
    assert all(h == expected[0] and e == expected[1] for h, e in results)
    assert (x.to_list(), w.to_list()) == before
    local = x
    local |= BitMatrix.zeros(*x.shape)
    assert local is x
    x[3, 4] = x[3, 4]


def test_no_thread_sees_a_half_flipped_matrix():
    """One thread complements a matrix in place over and over while others
    read it and factorise it: every read and every factorisation sees the
    matrix entirely before or entirely after a flip."""
    rng = np.random.default_rng(11)
    a = rng.random((40, 70)) < 0.4
    t = BitMatrix.from_numpy(a)
    ones = BitMatrix.ones(*t.shape)
    states = [a.tolist(), (~a).tolist()]
    hashes = {hash(BitMatrix.from_list(rows)) for rows in states}
    factors = []
    for rows in states:
        res = ao_bmf(BitMatrix.from_list(rows), 3, seed=1)
        factors.append((res.w, res.h, res.error, res.iterations))
    flips = {"in place": 0, "fallback": 0}
    bad = []

    def flipper():
        # Goes on until at least one flip was done in place (certain once the
        # factorisations are over), so the readers did see the matrix change.
        while flips["in place"] + flips["fallback"] < ROUNDS * 20 or not flips["in place"]:
            local = t
            local ^= ones
            flips["in place" if local is t else "fallback"] += 1

    def reader():
        for _ in range(ROUNDS * 20):
            if t.to_list() not in states or hash(t) not in hashes:
                bad.append("read")

    def factoriser():
        for _ in range(ROUNDS):
            res = ao_bmf(t, 3, seed=1)
            if (res.w, res.h, res.error, res.iterations) not in factors:
                bad.append("factorisation")
            # Reading holds the lock with t not borrowed, so that flips land
            # between the factorisations as well as during them.
            for _ in range(10):
                if t.to_list() not in states:
                    bad.append("read")

    errors = run_threads([(flipper, ()), (reader, ()), (factoriser, ())])
    assert not errors, errors
    assert not bad, bad[:5]
    assert flips["in place"] + flips["fallback"] >= ROUNDS * 20
    assert t.to_list() in states
