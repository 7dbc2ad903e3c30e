"""What a worker runs: the two tasks of a search, and how a task finds the
data it works on.

A task is a top-level function that any executor can ship by name: a
program (or a candidate) and a seed in, plain dictionaries out.  The
training data travel once per search and per worker, not with every task:
a task carries a handle to them instead.  The handle is the `Problem`
itself where the worker shares the search's memory (threads, or a Dask
worker, which hands the task the copy scattered to it), or a `FileHandle`
naming a file that worker processes on the same machine load once.

A `_kestor.Model` never crosses a process boundary: a task builds its
models from parameter dictionaries and returns dictionaries.
"""

from __future__ import annotations

import functools
import os
import pickle
import threading
from dataclasses import dataclass, fields, replace

from ._data import TrainingData
from ._scoring import Scorer
from ._simplify import simplified
from ._training import REFUSED_BY_MODEL, Candidate, new_candidate, polished, restarted


@functools.cache
def installed_version() -> str:
    """`vant.__version__` of this process, read once."""
    from ._version import version
    return version()


@dataclass(frozen=True)
class Problem:
    """Everything a task needs besides its program and seed."""
    data: TrainingData
    scorer: Scorer
    version: str   # the vant that prepared the data; workers must run the same


@dataclass(frozen=True)
class FileHandle:
    """The problem as a pickle file that processes on this machine load
    once and keep until a later search replaces it."""
    token: str
    path: str


_loaded: dict[str, Problem] = {}
_loading = threading.Lock()


def _load(handle: FileHandle) -> Problem:
    with _loading:
        problem = _loaded.get(handle.token)
        if problem is None:
            try:
                with open(handle.path, "rb") as file:
                    problem = pickle.load(file)
            except FileNotFoundError:
                raise RuntimeError(
                    f"the search's data file {handle.path} is not on this worker's machine (or the search is "
                    "over): an executor other than threads, processes or a Dask client must run on the machine "
                    "that runs the search") from None
            _loaded.clear()   # one search's data at a time
            _loaded[handle.token] = problem
        return problem


def forget(handle: FileHandle) -> None:
    """Drop the problem from this process's memory, if it was loaded here."""
    with _loading:
        _loaded.pop(handle.token, None)


def write_problem(problem: Problem, directory: str) -> FileHandle:
    path = os.path.join(directory, "problem.pickle")
    with open(path, "wb") as file:
        pickle.dump(problem, file, protocol=pickle.HIGHEST_PROTOCOL)
    return FileHandle(os.path.basename(directory), path)


def _problem(handle) -> Problem:
    problem = _load(handle) if isinstance(handle, FileHandle) else handle
    if problem.version != installed_version():
        raise RuntimeError(f"this worker runs vant {installed_version()}, the search vant {problem.version}: "
                           "every worker needs the same version of vant")
    return problem


# (dataclasses.fields costs more than the copy)
_CANDIDATE_FIELDS = tuple(f.name for f in fields(Candidate))


def plain(candidate: Candidate) -> dict:
    """A candidate as the dictionary a task returns."""
    return {name: getattr(candidate, name) for name in _CANDIDATE_FIELDS}


def train_program(handle, program, seed: int, samples: int, lent: dict[int, dict]) -> dict:
    """Train a new program (dnames, fnames) from its seed; see `new_candidate`."""
    problem = _problem(handle)
    return plain(new_candidate(problem.data, problem.scorer, program, seed, samples, 2, lent))


def validate_candidate(handle, candidate: dict) -> dict | None:
    """The candidate scored on every held-out row (None when the model
    refuses them)."""
    problem = _problem(handle)
    scorer = replace(problem.scorer, valid=problem.data.valid)
    try:
        score, metrics = scorer(candidate["dnames"], candidate["fnames"], candidate["params"])
    except REFUSED_BY_MODEL:
        return None
    return dict(candidate, score=score, metrics=metrics)


def simplify_candidate(handle, candidate: dict) -> dict:
    """The candidate in its plainest form (see `vant._simplify`), scored on
    every held-out row."""
    problem = _problem(handle)
    scorer = replace(problem.scorer, valid=problem.data.valid)
    return plain(simplified(problem.data, scorer, Candidate(**candidate)))


def run_batch(handle, function, jobs) -> list[dict]:
    """Several tasks of one kind as one: function(handle, *job) for each job."""
    return [function(handle, *job) for job in jobs]


def improve_part(handle, candidate: dict, seed: int | None, samples: int) -> dict:
    """One piece of improving a trained candidate (given as `plain` returns
    it): with no seed, its parameters polished; with a seed, its program
    trained anew from that seed and polished (see `vant._training.improve`)."""
    problem = _problem(handle)
    if seed is None:
        return plain(polished(problem.data, problem.scorer, Candidate(**candidate)))
    program = (candidate["dnames"], candidate["fnames"])
    return plain(restarted(problem.data, problem.scorer, program, seed, samples))
