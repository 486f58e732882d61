"""Progress of a fit over its restarts and their iterations.

With verbose=0 nothing is created and nothing is printed. Otherwise one tqdm
bar (when tqdm is installed) of n_init x max_iter iterations, a restart that
stops early filling its remaining share; without tqdm, one line per iteration
on standard output. Restarts report from whichever thread runs them.
"""
from __future__ import annotations

import importlib
import threading
from typing import Any, Protocol

from ._alternate import Step

__all__ = ["Progress", "progress"]


class Progress(Protocol):
    def step(self, restart: int, step: Step) -> None:
        """Iteration ``step.iteration`` of restart ``restart`` (from 0) is done."""

    def done(self, restart: int, step: Step) -> None:
        """Restart ``restart`` ended on ``step``."""

    def close(self) -> None: ...


class _Silent:
    def step(self, restart: int, step: Step) -> None:
        pass

    def done(self, restart: int, step: Step) -> None:
        pass

    def close(self) -> None:
        pass


class _Lines:
    def __init__(self, n_init: int) -> None:
        self._n_init = n_init
        self._lock = threading.Lock()

    def step(self, restart: int, step: Step) -> None:
        with self._lock:
            print(f"BMF essai {restart + 1}/{self._n_init}, iteration {step.iteration} : erreur {step.error}",
                  flush=True)

    def done(self, restart: int, step: Step) -> None:
        pass

    def close(self) -> None:
        pass


class _Bar:
    """While the restarts run, the latest iteration's restart and error;
    once all have ended, the restart the fit keeps (the lowest error, the
    earliest of equals) and its error."""

    def __init__(self, tqdm: Any, n_init: int, max_iter: int) -> None:
        self._max_iter = max_iter
        self._n_init = n_init
        self._lock = threading.Lock()
        self._ended: dict[int, int] = {}  # final error by restart
        self._bar = tqdm(total=n_init * max_iter, desc="BMF", unit="it")

    def step(self, restart: int, step: Step) -> None:
        with self._lock:
            self._bar.set_postfix_str(f"essai {restart + 1}/{self._n_init}, erreur {step.error}", refresh=False)
            self._bar.update(1)

    def done(self, restart: int, step: Step) -> None:
        with self._lock:
            self._ended[restart] = step.error
            if len(self._ended) == self._n_init:
                best = min(self._ended, key=lambda k: (self._ended[k], k))
                self._bar.set_postfix_str(f"meilleur essai {best + 1}/{self._n_init}, erreur {self._ended[best]}",
                                          refresh=False)
            self._bar.update(self._max_iter - step.iteration)

    def close(self) -> None:
        self._bar.close()


def progress(verbose: int, n_init: int, max_iter: int) -> Progress:
    if not verbose:
        return _Silent()
    try:
        tqdm = importlib.import_module("tqdm.auto").tqdm  # optional: plain lines without it
    except ImportError:
        return _Lines(n_init)
    return _Bar(tqdm, n_init, max_iter)
