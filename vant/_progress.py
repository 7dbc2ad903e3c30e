"""What a search tells while it runs: a progress bar (tqdm, an optional
dependency), a line per round, and a callback with the state of the search."""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any


@dataclass
class SearchState:
    """The state of a search after a round, as `callback` receives it.

    Attributes
    ----------
    round : int
        The round just finished (0 first).
    rounds : int or None
        How many rounds may run (None when only the time limit ends the
        search).
    elapsed : float
        Seconds since the search started.
    time_limit : float or None
        The search's time limit in seconds, if any.
    tried : int
        Programs trained so far.
    best_loss : float
        The held-out loss of the leader (the best model by score), in the
        data's units as the result reports it.
    best_size : int
        The leader's size, in elements.
    best_expression : str
        The leader's formula, as the result prints it.
    front : list of (int, float, str)
        (size, held-out loss, expression) of the best model of each size
        that no smaller one beats, smallest first.
    stopped : str or None
        None while the search goes on; in the state of its last round, why
        it ends: "exact", "noise", "time", "rounds" or "interrupted" (see
        `search`).

    Examples
    --------
    >>> import numpy as np, vant
    >>> x = np.linspace(-1, 1, 200)
    >>> states = []
    >>> _ = vant.search({"x": x, "y": 2 * x}, "y", seed=0, rounds=1, population=4, callback=states.append)
    >>> states[0].round
    0
    """
    round: int
    rounds: int | None
    elapsed: float
    time_limit: float | None
    tried: int
    best_loss: float = math.nan
    best_size: int = 0
    best_expression: str = ""
    front: list[tuple[int, float, str]] = field(default_factory=list)
    stopped: str | None = None


def _verbosity(verbose: object) -> int:
    if verbose is None or verbose is False:
        return 0
    if verbose is True:
        return 1
    if isinstance(verbose, int) and 0 <= verbose <= 2:
        return verbose
    raise ValueError(f"verbose must be 0, 1 or 2, not {verbose!r}")


# Why a search ended, as the bar and the lines say it.
STOP_REASONS = {"exact": "the formula is exact", "noise": "only noise is left", "time": "out of time",
                "rounds": "all rounds run", "interrupted": "interrupted"}


class Progress:
    """verbose 0: silent; 1: a progress bar over the time limit (or the
    rounds) with the best loss and size, or without tqdm a line per round;
    2: the bar and a line per round with the front."""

    def __init__(self, verbose: object, time_limit: float | None, rounds: int | None,
                 callback: Callable[[SearchState], object] | None = None):
        self.level = _verbosity(verbose)
        if callback is not None and not callable(callback):
            raise TypeError(f"callback must be callable, not {type(callback).__name__}")
        self.callback = callback
        self.time_limit = time_limit
        self.rounds = rounds
        self.bar: Any = None
        if self.level >= 1:
            try:
                from tqdm.auto import tqdm
            except ImportError:
                tqdm = None
            if tqdm is not None:
                by_time = time_limit is not None
                # tqdm puts ", " before the postfix: it follows the counts.
                counts = "{n:.1f}/{total:.1f} s" if by_time else "round {n_fmt}/{total_fmt}"
                self.bar = tqdm(total=time_limit if by_time else rounds, desc="search", leave=True,
                                bar_format="{desc}: {percentage:3.0f}%|{bar}| " + counts + "{postfix}")

    @property
    def wanted(self) -> bool:
        """Whether `round` needs a state at all."""
        return self.level > 0 or self.callback is not None

    def round(self, state: SearchState) -> None:
        if self.bar is not None:
            self.bar.n = min(state.elapsed, self.time_limit) if self.time_limit is not None else state.round + 1
            postfix = f"best loss {state.best_loss:.4g}, size {state.best_size}"
            if state.stopped:
                # Ended: the bar is full at the time or round reached.
                self.bar.total = self.bar.n
                postfix += f"; stopped: {STOP_REASONS.get(state.stopped, state.stopped)}"
            self.bar.set_postfix_str(postfix, refresh=False)
            self.bar.refresh()
        if self.level >= 2 or (self.level == 1 and self.bar is None):
            self._write(_line(state, with_front=self.level >= 2))
        if self.callback is not None:
            self.callback(state)

    def _write(self, line: str) -> None:
        if self.bar is not None:
            self.bar.write(line)
        else:
            print(line, flush=True)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
            self.bar = None


def _line(state: SearchState, with_front: bool) -> str:
    text = (f"round {state.round}: {state.tried} programs tried in {state.elapsed:.1f} s, "
            f"best loss {state.best_loss:.6g} at size {state.best_size}: {state.best_expression}")
    if state.stopped:
        text += f"\n  stopped: {STOP_REASONS.get(state.stopped, state.stopped)}"
    if with_front and state.front:
        text += "\n  front: " + ", ".join(f"{size}: {loss:.4g}" for size, loss, _e in state.front)
    return text
