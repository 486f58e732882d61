"""Ctrl-C during long calls: the call stops soon after the signal with the
handler's exception, leaves its arguments as they were and can be made
again; a handler that does not raise lets it finish; other threads are
never stopped."""

import os
import signal
import threading
import time

import numpy as np
import pytest

from Valdrix import BitMatrix, BoolLs, ao_bmf, factorize

# Generous: the calls notice a signal within about 50 ms of work.
LATENCY = 0.5
DELAY = 0.3


def planted(m, n, r, seed):
    rng = np.random.default_rng(seed)
    w = rng.random((m, r)) < 0.1
    h = rng.random((r, n)) < 0.1
    x = (w.astype(np.uint8) @ h.astype(np.uint8)) > 0
    return BitMatrix.from_numpy(x ^ (rng.random((m, n)) < 0.05))


def random_bits(m, n, density, seed):
    return BitMatrix.from_numpy(np.random.default_rng(seed).random((m, n)) < density)


@pytest.fixture(scope="module")
def long_calls():
    """Calls that run for seconds uninterrupted, with the matrices they read
    and a quick call on the same objects whose result is known beforehand."""
    x = planted(3000, 800, 22, seed=1)  # ao_bmf r=22: several seconds
    solver = BoolLs(random_bits(2000, 22, 0.2, seed=2))
    targets = random_bits(2000, 4000, 0.5, seed=3)  # about 1 ms per column
    bytes_ = np.random.default_rng(4).integers(0, 256, (16384, 2048), dtype=np.uint8)
    square = BitMatrix.from_packed(bytes_, 16384)
    # A column of zeros in every word: no row of square @ holey ever fills
    # up, so the product cannot stop early.
    holey_bytes = bytes_.copy()
    holey_bytes[:, ::8] &= 0xFE
    holey = BitMatrix.from_packed(holey_bytes, 16384)
    small = planted(300, 80, 6, seed=5)
    first_columns = BitMatrix.from_numpy(targets.to_numpy()[:, :16])

    def quick_ao():
        r = ao_bmf(small, 6)
        return r.w, r.h, r.error, r.iterations

    def quick_search():
        r = factorize(small, 6, effort=2)
        return r.w, r.h, r.error, r.iterations

    return {
        "ao_bmf": (lambda: ao_bmf(x, 22), [x], quick_ao),
        "factorize": (lambda: factorize(x, 22, effort=64), [x], quick_search),
        "solve_all": (lambda: solver.solve_all(targets), [targets], lambda: solver.solve_all(first_columns)),
        # The product keeps the lock.
        "product": (lambda: square @ holey, [square, holey],
                    lambda: (square @ BitMatrix.ones(16384, 3)).count_ones() + holey.count_ones()),
    }


def send_sigint_after(delay, sent):
    def fire():
        sent.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)

    timer = threading.Timer(delay, fire)
    timer.start()
    return timer


class AlarmAsCtrlC:
    """For calls that keep the interpreter lock, which a timer thread would
    wait for: the kernel's interval timer sends SIGALRM, handled as Ctrl-C."""

    def __init__(self, delay, sent):
        self.previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
        sent.append(time.monotonic() + delay)
        signal.setitimer(signal.ITIMER_REAL, delay)

    def cancel(self):
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, self.previous)


@pytest.mark.parametrize("name", ["ao_bmf", "factorize", "solve_all", "product"])
def test_ctrl_c_stops_the_call_and_leaves_its_inputs(long_calls, name):
    call, inputs, quick = long_calls[name]
    before = [m.copy() for m in inputs]
    expected = quick()
    sent = []
    timer = AlarmAsCtrlC(DELAY, sent) if name == "product" else send_sigint_after(DELAY, sent)
    try:
        call()
    except KeyboardInterrupt:
        caught = time.monotonic()
    else:
        pytest.fail("the call ran to its end")
    finally:
        timer.cancel()
    assert caught - sent[0] < LATENCY
    assert all(m == b for m, b in zip(inputs, before))
    # The borrows were released: the inputs can be written and read again.
    for m in inputs:
        m[0, 0] = m[0, 0]
    assert quick() == expected


def test_a_handler_that_does_not_raise_lets_the_call_finish():
    solver = BoolLs(random_bits(2000, 22, 0.2, seed=6))
    targets = random_bits(2000, 600, 0.5, seed=7)  # about 0.6 s
    expected = solver.solve_all(targets)
    handled = []
    previous = signal.signal(signal.SIGINT, lambda *_: handled.append(time.monotonic()))
    try:
        timer = send_sigint_after(0.05, [])
        start = time.monotonic()
        got = solver.solve_all(targets)
        end = time.monotonic()
        timer.join()
    finally:
        signal.signal(signal.SIGINT, previous)
    assert got == expected
    # Once, during the call: not held back until it returned.
    assert len(handled) == 1
    assert start < handled[0] < end


def test_other_threads_are_never_stopped():
    # The signal's KeyboardInterrupt goes to the main thread, waiting here;
    # the same solve on another thread runs to its end.
    solver = BoolLs(random_bits(2000, 22, 0.2, seed=8))
    targets = random_bits(2000, 600, 0.5, seed=9)
    expected = solver.solve_all(targets)
    result = []

    def work():
        result.append(solver.solve_all(targets))
        result.append(time.monotonic())

    worker = threading.Thread(target=work)
    sent = []
    worker.start()
    timer = send_sigint_after(0.05, sent)
    # Waiting in sleep, not join: a join that KeyboardInterrupt breaks into
    # marks the thread finished on some Python versions.
    with pytest.raises(KeyboardInterrupt):
        while len(result) < 2:
            time.sleep(0.01)
    while len(result) < 2 and worker.is_alive():
        time.sleep(0.01)
    worker.join()
    timer.join()
    assert result[0] == expected
    assert sent[0] < result[1]  # the signal came while the worker solved
