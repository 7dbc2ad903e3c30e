"""Where a search's tasks run: threads, processes on this machine, any
`concurrent.futures.Executor`, or a Dask cluster.

Every backend does the same five things: it shares the problem with its
workers once (`share`), submits tasks with a handle to it (`submit`),
hands back a task's result (`result`), cancels those a time limit leaves
unstarted (`cancel`) and says when its workers have gone (`check`).
`run_tasks` drives one batch of tasks through any of them and hands back
the results in the order the tasks were given, so that what a search does
with them never depends on which worker finished first.
"""

from __future__ import annotations

import itertools
import multiprocessing
import queue
import shutil
import tempfile
import threading
from collections.abc import Callable, Sequence
from typing import Any
from concurrent.futures import CancelledError, Executor, ProcessPoolExecutor, ThreadPoolExecutor
from concurrent.futures.process import BrokenProcessPool

from . import _params, _tasks

# How often a wait for results looks at the clock and at the cluster, when
# no result calls for a look sooner.  Each look takes the interpreter lock,
# which the workers need between their native calls: results are looked at
# in bulk, when the last of a batch is in or one calls for further jobs, or
# at this pace, which bounds how late a time limit is noticed.
_LOOK_SECONDS = 0.02

DASK_MISSING = "a Dask cluster needs the dask extra: pip install 'vant[dask]' (dask[distributed])"


class ClusterLost(ConnectionError):
    """The workers of a search went away (a Dask scheduler that closed or
    lost its connection, or a cluster left without workers)."""


class Resubmit(Exception):
    """A task was lost with the workers that held its inputs; the backend
    has shared the problem again, and the task is to be sent again."""


def is_scheduler_address(executor) -> bool:
    return isinstance(executor, str) and "://" in executor


def is_dask_client(executor) -> bool:
    """A dask.distributed Client, or the executor view of one
    (`Client.get_executor()`), recognised without importing dask."""
    module = type(executor).__module__ or ""
    return module.split(".")[0] == "distributed" and (
        type(executor).__name__ == "Client" or hasattr(executor, "_client"))


def open_backend(executor, n_jobs, workers: int, deadline: float | None):
    """The backend for search's `executor` argument; `workers` is the size
    of a pool the search makes itself (from `n_jobs`), `deadline` the
    time.monotonic() of its time limit."""
    named = _params.executor(executor) if isinstance(executor, str) else None
    if n_jobs is not None and not _params.own_pool(executor):
        raise ValueError("n_jobs sets the size of the search's own pool; an executor passed in brings its own "
                         "workers: give one or the other")
    if executor is None or named == "threads":
        return LocalBackend(ThreadPoolExecutor(max_workers=workers), owned=True)
    if named == "processes":
        return LocalBackend(ProcessPoolExecutor(max_workers=workers, mp_context=_process_context()), owned=True)
    if is_scheduler_address(executor) or is_dask_client(executor):
        try:
            from ._dask import DaskBackend
        except ImportError as error:
            raise ImportError(DASK_MISSING) from error
        return DaskBackend.open(executor, deadline)
    if isinstance(executor, Executor):
        return LocalBackend(executor, owned=False)
    raise TypeError("executor must be None, 'threads', 'processes', a concurrent.futures.Executor, a "
                    "dask.distributed.Client or a Dask scheduler address such as 'tcp://host:8786', "
                    f"not {executor!r}")


def _process_context():
    """Workers started fresh, not forked: the search's process may run other
    threads (a Dask client, the caller's own), which a fork copies mid-step."""
    methods = multiprocessing.get_all_start_methods()
    return multiprocessing.get_context("forkserver" if "forkserver" in methods else "spawn")


class LocalBackend:
    """A `concurrent.futures` executor on this machine.  A thread pool shares
    the problem in memory; any other executor's workers load it from a file
    in a private temporary directory, once per process."""

    def __init__(self, executor: Executor, owned: bool):
        self.executor = executor
        self.owned = owned
        self.in_memory = isinstance(executor, ThreadPoolExecutor)
        self._directory: str | None = None
        self.handle = None

    def share(self, problem: _tasks.Problem) -> None:
        if self.in_memory:
            self.handle = problem
            return
        self._directory = tempfile.mkdtemp(prefix="vant-search-")
        self.handle = _tasks.write_problem(problem, self._directory)

    def submit(self, function, *args):
        return self.executor.submit(function, self.handle, *args)

    @staticmethod
    def result(future):
        try:
            return future.result()
        except BrokenProcessPool as error:
            raise RuntimeError(
                "a worker process of the search died before it could train (see its error above); a script "
                "that searches on processes must do so under `if __name__ == \"__main__\":`, since every "
                "worker process imports the script") from error

    @staticmethod
    def cancel(futures) -> list:
        """Cancel what has not started; what runs already is waited for."""
        return [future for future in futures if not future.cancel()]

    def check(self) -> None:
        pass

    @staticmethod
    def batch_size(jobs: int) -> int:
        return 1

    def close(self) -> None:
        if self.owned:
            self.executor.shutdown(wait=True, cancel_futures=True)
        if isinstance(self.handle, _tasks.FileHandle):
            _tasks.forget(self.handle)
        if self._directory is not None:
            shutil.rmtree(self._directory, ignore_errors=True)


def run_tasks(backend, function: Callable, jobs: Sequence[tuple], past_deadline: Callable[[], bool],
              on_result: Callable[[Any], None], costs: Sequence[float] | None = None,
              more: Callable[[], tuple[list, list]] | None = None) -> list:
    """Run function(handle, *job) for every job; the results in the order
    of `jobs`, None for the jobs a deadline left unfinished.  `on_result` is
    handed each result as it arrives.

    `costs`, a guess of each job's duration, has the longest sent first:
    the short ones then fill the gaps at the end, and the workers finish
    the batch together rather than one waiting on another's long last job.

    `more`, when given, is called once the jobs are on their way and returns
    further (jobs, costs) for the same batch, whose results follow those of
    `jobs`: work the caller prepares while the first jobs run.

    A backend whose every task costs a round trip to a scheduler sends the
    jobs in batches (`batch_size`), a few per worker thread, so that short
    trainings are not outweighed by their dispatch; there `more` is asked
    before anything is sent.
    """
    jobs = list(jobs)
    costs = [0.0] * len(jobs) if costs is None else list(costs)
    size = backend.batch_size(len(jobs))
    if more is not None and size > 1:
        extra, extra_costs = more()
        jobs, costs, more = jobs + list(extra), costs + list(extra_costs), None
        size = backend.batch_size(len(jobs))
    order = _longest_first(costs)
    if size <= 1:
        def more_in_order():
            extra, extra_costs = more()
            extra_order = _longest_first(extra_costs)
            order.extend(len(jobs) + i for i in extra_order)
            jobs.extend(extra)
            return [extra[i] for i in extra_order]

        sent = _run_each(backend, function, [jobs[i] for i in order], past_deadline, on_result,
                         more_in_order if more is not None else None)
    else:
        sent_jobs = [jobs[i] for i in order]
        batches = [sent_jobs[start:start + size] for start in range(0, len(sent_jobs), size)]
        batch_results = _run_each(backend, _tasks.run_batch, [(function, batch) for batch in batches],
                                  past_deadline, lambda arrived: [on_result(result) for result in arrived])
        sent = [result for batch, arrived in zip(batches, batch_results)
                for result in (arrived if arrived is not None else [None] * len(batch))]
    return _in_job_order(order, sent)


def run_with_follow_ups(backend, function: Callable, jobs: Sequence[tuple], past_deadline: Callable[[], bool],
                        on_result: Callable[[Any], None], costs: Sequence[float],
                        follow_up: Callable[[int, Any], list]) -> tuple[list, dict]:
    """run_tasks for `jobs`, plus the jobs that their results call for:
    `follow_up(index, result)` is handed the result of each of `jobs` as it
    arrives and returns (key, job, cost) triples, sent at once, so that the
    workers need not wait for the whole batch before they start on them.
    Returns the results of `jobs` in order, and those of the further jobs
    by their keys (None where a deadline left one unfinished).  A backend
    that sends batches of jobs runs the further ones after the first.
    """
    if backend.batch_size(len(jobs)) > 1:
        results = run_tasks(backend, function, jobs, past_deadline, on_result, costs)
        further = [triple for index, result in enumerate(results) if result is not None
                   for triple in follow_up(index, result)]
        done = run_tasks(backend, function, [job for _key, job, _cost in further], past_deadline, on_result,
                         [cost for _key, _job, cost in further])
        return results, {key: result for (key, _job, _cost), result in zip(further, done)}
    jobs = list(jobs)
    order = _longest_first(costs)
    keys: list = []   # of the further jobs, in the order they are sent

    def after(position: int, result) -> list:
        if position >= len(jobs):
            return []
        further = sorted(follow_up(order[position], result), key=lambda triple: -triple[2])
        keys.extend(key for key, _job, _cost in further)   # in the order they are sent
        return [job for _key, job, _cost in further]

    sent = _run_each(backend, function, [jobs[i] for i in order], past_deadline, on_result, after=after)
    return _in_job_order(order, sent), dict(zip(keys, sent[len(jobs):]))


def _longest_first(costs: Sequence[float]) -> list[int]:
    """Indices of the jobs, longest first (in their own order at equal cost)."""
    return sorted(range(len(costs)), key=lambda i: -costs[i])


def _in_job_order(order: list[int], sent: list) -> list:
    """The results of the jobs sent in `order` (their indices), in the
    order of the jobs."""
    results: list = [None] * len(order)
    for position, index in enumerate(order):
        results[index] = sent[position]
    return results


def _run_each(backend, function: Callable, jobs: Sequence[tuple], past_deadline: Callable[[], bool],
              on_result: Callable[[Any], None], more: Callable[[], list] | None = None,
              after: Callable[[int, Any], list] | None = None) -> list:
    """run_tasks with one task per job, and those `more` returns once the
    jobs are sent and `after(index, result)` as each result arrives; the
    results in the order the jobs were sent.

    The results are taken as described at _LOOK_SECONDS, and
    `past_deadline` is asked at every look: once it says yes, unstarted
    tasks are cancelled.  Tasks running on this machine then finish and
    count; those on a cluster are dropped, so that a slow or vanished
    worker cannot hold the search past its time limit.
    """
    arrived: queue.SimpleQueue = queue.SimpleQueue()
    look = threading.Event()          # set when the results call for a look
    landed = itertools.count(1)       # results in so far (a count that threads may share)
    jobs = list(jobs)
    futures: list = [None] * len(jobs)
    results: list = [None] * len(jobs)
    waiting = set(range(len(jobs)))

    def finished(index: int, done) -> None:
        # Runs in the thread that finished the task.
        arrived.put((index, done))
        if next(landed) >= len(jobs) or after is not None:
            look.set()

    def send(index: int) -> None:
        future = futures[index] = backend.submit(function, *jobs[index])
        future.add_done_callback(lambda done: finished(index, done))

    def take(index: int, future) -> None:
        if future is not futures[index]:   # one sent again since
            return
        try:
            results[index] = backend.result(future)
        except Resubmit:
            send(index)
        else:
            waiting.discard(index)
            on_result(results[index])
            if after is not None:
                send_more(after(index, results[index]))

    def send_more(extra: list) -> None:
        jobs.extend(extra)
        futures.extend([None] * len(extra))
        results.extend([None] * len(extra))
        for index in range(len(jobs) - len(extra), len(jobs)):
            waiting.add(index)
            send(index)

    try:
        for index in range(len(jobs)):
            send(index)
        if more is not None:
            send_more(more())
        while waiting:
            called = look.wait(_LOOK_SECONDS)
            look.clear()
            took = False
            while True:
                try:
                    index, future = arrived.get_nowait()
                except queue.Empty:
                    break
                take(index, future)
                took = True
            if waiting and past_deadline():
                for future in backend.cancel([futures[i] for i in sorted(waiting)]):
                    try:
                        index = futures.index(future)
                        results[index] = backend.result(future)
                        on_result(results[index])
                    except CancelledError:
                        pass
                return results
            if not (called or took):
                backend.check()
        return results
    finally:
        backend.cancel([futures[i] for i in waiting if futures[i] is not None and not futures[i].done()])
