"""Progress of a fit over its restarts and their iterations, or over its
searches and their chains.

With verbose=0 nothing is created and nothing is printed. Otherwise one tqdm
bar (when tqdm is installed) of n_init x max_iter iterations, a restart that
stops early filling its remaining share; without tqdm, one line per iteration
on standard output. Restarts report from whichever thread runs them; the
search of a strong start (a Dask array's) reports its chains on the bar's
text, or in lines, without counting them. A
search reports its chains from the fitting thread: the bar counts
n_init x effort chains, the lines say how many of a search's chains are done.
"""
from __future__ import annotations

import importlib
import threading
from typing import Any, Protocol

from ._alternate import Step

__all__ = ["Progress", "SearchProgress", "progress", "search_progress"]


class Progress(Protocol):
    def step(self, restart: int, step: Step) -> None:
        """Iteration ``step.iteration`` of restart ``restart`` (from 0) is done."""

    def done(self, restart: int, step: Step) -> None:
        """Restart ``restart`` ended on ``step``."""

    def starting(self, restart: int, done: int, total: int, sample_error: int) -> None:
        """``done`` of the ``total`` chains that search the start of restart
        ``restart`` on a sample of the rows have ended, the lowest error on
        that sample ``sample_error``."""

    def close(self) -> None: ...


class _Silent:
    def step(self, restart: int, step: Step) -> None:
        pass

    def done(self, restart: int, step: Step) -> None:
        pass

    def starting(self, restart: int, done: int, total: int, sample_error: int) -> None:
        pass

    def close(self) -> None:
        pass


def _starting(n_init: int, restart: int, done: int, total: int, sample_error: int) -> str:
    return f"essai {restart + 1}/{n_init}, depart : chaine {done}/{total}, erreur sur l'echantillon {sample_error}"


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

    def starting(self, restart: int, done: int, total: int, sample_error: int) -> None:
        print(f"BMF {_starting(self._n_init, restart, done, total, sample_error)}", flush=True)

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

    def starting(self, restart: int, done: int, total: int, sample_error: int) -> None:
        # The bar counts iterations over X; the start's chains only show.
        with self._lock:
            self._bar.set_postfix_str(_starting(self._n_init, restart, done, total, sample_error))

    def close(self) -> None:
        self._bar.close()


def _tqdm() -> Any:
    """tqdm's bar class, or None: it is optional, and lines stand in for it."""
    try:
        return importlib.import_module("tqdm.auto").tqdm
    except ImportError:
        return None


def progress(verbose: int, n_init: int, max_iter: int) -> Progress:
    if not verbose:
        return _Silent()
    tqdm = _tqdm()
    return _Lines(n_init) if tqdm is None else _Bar(tqdm, n_init, max_iter)


class SearchProgress(Protocol):
    def chains(self, search: int, done: int, total: int, best_error: int) -> None:
        """``done`` of the ``total`` chains of search ``search`` (from 0) have
        ended, the lowest error so far ``best_error``."""

    def ended(self, search: int, error: int) -> None:
        """Search ``search`` ended with ``error``."""

    def close(self) -> None: ...


class _SilentSearch:
    def chains(self, search: int, done: int, total: int, best_error: int) -> None:
        pass

    def ended(self, search: int, error: int) -> None:
        pass

    def close(self) -> None:
        pass


class _SearchLines:
    def __init__(self, n_init: int) -> None:
        self._n_init = n_init

    def chains(self, search: int, done: int, total: int, best_error: int) -> None:
        print(f"BMF essai {search + 1}/{self._n_init}, chaine {done}/{total} : erreur {best_error}", flush=True)

    def ended(self, search: int, error: int) -> None:
        pass

    def close(self) -> None:
        pass


class _SearchBar:
    """While the searches run, the current one and its lowest error; once
    all have ended, the one the fit keeps (the lowest error, the earliest of
    equals) and its error."""

    def __init__(self, tqdm: Any, n_init: int, effort: int) -> None:
        self._n_init = n_init
        self._ended: list[int] = []  # final error by search, in order
        self._shown = 0  # chains of the current search on the bar
        self._bar = tqdm(total=n_init * effort, desc="BMF", unit="chaine")

    def chains(self, search: int, done: int, total: int, best_error: int) -> None:
        self._bar.set_postfix_str(f"essai {search + 1}/{self._n_init}, erreur {best_error}", refresh=False)
        self._bar.update(done - self._shown)
        self._shown = done

    def ended(self, search: int, error: int) -> None:
        self._ended.append(error)
        self._shown = 0
        if len(self._ended) == self._n_init:
            best = self._ended.index(min(self._ended))
            self._bar.set_postfix_str(f"meilleur essai {best + 1}/{self._n_init}, erreur {self._ended[best]}",
                                      refresh=False)

    def close(self) -> None:
        self._bar.close()


def search_progress(verbose: int, n_init: int, effort: int) -> SearchProgress:
    if not verbose:
        return _SilentSearch()
    tqdm = _tqdm()
    return _SearchLines(n_init) if tqdm is None else _SearchBar(tqdm, n_init, effort)
