"""The checks of the arguments a search is given, in one place.

`search`, the estimators and the command line all check their arguments
here, so that a bad value gets the same message wherever it is given, and
before any data is read or any program trained.  The checks of the data
themselves are in `vant._data`.
"""

from __future__ import annotations

import math
import numbers
import os
from typing import TypeVar

import numpy as np

T = TypeVar("T")

from ._program import MAX_ELEMENTS

# New programs per round beyond this are not a search but the enumeration
# of every small program many times over, and their generation alone would
# take minutes a round.
MAX_POPULATION = 100_000

# A categorical input with more distinct values than this is most likely an
# identifier (a row number, a name): every value would be a weight of its
# own, learned from a row or two.
DEFAULT_MAX_CATEGORIES = 10_000

# The names of the executors a search makes itself.
OWN_EXECUTORS = ("threads", "processes")


def number(argument: str, value: object) -> float:
    """A finite real number given as `argument`."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{argument} must be a number, not {type(value).__name__}")
    value = float(value)
    if math.isnan(value):
        raise ValueError(f"{argument} must be a number, not NaN")
    if math.isinf(value):
        raise ValueError(f"{argument} must be finite, not {value}")
    return value


def integer(argument: str, value: object, low: int, high: int | None = None) -> int:
    """An integer between `low` and `high` (inclusive) given as `argument`."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{argument} must be an integer, not {type(value).__name__}")
    value = int(value)
    if value < low or (high is not None and value > high):
        bounds = f"between {low} and {high}" if high is not None else f"at least {low}"
        raise ValueError(f"{argument} must be {bounds}, not {quoted(value)}")
    return value


def quoted(value: object) -> str:
    """A value quoted in a message, cut short: a 400-digit number or a
    megabyte of text is not worth repeating in full."""
    text = repr(value)
    return text if len(text) <= 60 else f"{text[:40]}... ({len(text)} characters)"


def time_limit(value: object) -> float | None:
    """None, or a positive number of seconds."""
    if value is None:
        return None
    value = number("time_limit", value)
    if not value > 0.0:
        raise ValueError(f"time_limit must be None or a positive number of seconds, not {value}")
    return value


def max_elements(value: object) -> int | None:
    """An int from 2 to MAX_ELEMENTS, or None (sized to the table)."""
    return None if value is None else integer("max_elements", value, 2, MAX_ELEMENTS)


def population(value: object) -> int:
    return integer("population", value, 1, MAX_POPULATION)


def max_categories(value: object) -> int:
    return integer("max_categories", value, 2)


def seed(value: object, argument: str = "seed") -> int | np.random.Generator | None:
    """A search's seed: None, a non-negative integer, or a numpy Generator
    (whose state the search then advances)."""
    if value is None or isinstance(value, np.random.Generator):
        return value
    return integer(argument, value, 0)


def integer_seed(random_state: object) -> int | None:
    """An integer seed from scikit-learn's random_state: None, an int, a
    RandomState or a Generator (one number is drawn from either)."""
    if isinstance(random_state, np.random.RandomState):
        return int(random_state.randint(np.iinfo(np.int32).max))
    if isinstance(random_state, np.random.Generator):
        return int(random_state.integers(2**63))
    if random_state is None:
        return None
    try:
        return integer("random_state", random_state, 0)
    except TypeError:
        raise ValueError("random_state must be None, an int, a RandomState or a Generator, "
                         f"not {quoted(random_state)}") from None


def workers(n_jobs: object, default: int | None) -> int:
    """Threads or processes from n_jobs: a positive count, or by
    scikit-learn's convention -1 for every core, -2 for all but one, and so
    on.  None means `default` (None: every core).  The estimators follow
    scikit-learn, for which None is 1; `search` uses the machine by default."""
    cores = os.cpu_count() or 1
    if n_jobs is None:
        return cores if default is None else default
    if isinstance(n_jobs, (bool, np.bool_)) or not isinstance(n_jobs, numbers.Integral) or n_jobs == 0:
        raise ValueError(f"n_jobs must be None, a positive number of threads, or -1 for all cores (-2 all but "
                         f"one, ...), not {quoted(n_jobs)}")
    n_jobs = int(n_jobs)
    return n_jobs if n_jobs > 0 else max(1, cores + 1 + n_jobs)


def own_pool(executor: object) -> bool:
    """Whether the search makes its pool itself (and n_jobs sizes it)."""
    return executor is None or (isinstance(executor, str) and executor in OWN_EXECUTORS)


def executor(value: T) -> T:
    """Refuse an executor named by a string that names none; objects are
    checked when the search opens them (see `vant._executors`)."""
    if isinstance(value, str) and value not in OWN_EXECUTORS and "://" not in value:
        raise ValueError("executor must be 'threads', 'processes' or the address of a Dask scheduler such as "
                         f"'tcp://host:8786', not {quoted(value)}")
    return value


def model_selection(rule: object, max_elements_value: int | None) -> str | int:
    """'best', 'accuracy', or an index into a front, which holds at most one
    model per size from 2 to max_elements (MAX_ELEMENTS where None)."""
    if rule in ("best", "accuracy") and isinstance(rule, str):
        return rule
    if not isinstance(rule, numbers.Integral) or isinstance(rule, (bool, np.bool_)):
        raise ValueError(f"model_selection must be 'best', 'accuracy' or an index into the front, "
                         f"not {quoted(rule)}")
    if max_elements_value is None:
        max_elements_value = MAX_ELEMENTS
    longest, rule = max_elements_value - 1, int(rule)
    if not -longest <= rule < longest:
        raise ValueError(f"model_selection={quoted(rule)} is outside the front, which holds at most "
                         f"{longest} models (one per size up to max_elements={max_elements_value})")
    return rule


def verbose(value: object) -> int:
    if value not in (0, 1, 2, False, True) or not isinstance(value, (numbers.Integral, np.bool_)):
        raise ValueError(f"verbose must be 0, 1 or 2, not {quoted(value)}")
    return int(value)


def callback(value: T) -> T:
    if value is not None and not callable(value):
        raise ValueError(f"callback must be None or callable, not {quoted(value)}")
    return value
