"""Tasks (candidates trained, improved or validated) per second by a
search on threads, on a process pool, and on a local Dask cluster of 1 and
2 worker processes; the time to ship the data to the workers, and the
bytes each task carries (threads share the data in memory: their tasks
carry the program, seed and lent parameters alone).

Every setting runs the same search (same seed, rounds and population) and
must find the same models; the figures include starting the process pool
(not the Dask cluster, which a user keeps running).  The settings take
turns `--repeat` times and each keeps its best time, so that a machine
shared with other work slows them alike.

Figures on two quiet cores (best of 3; Dask sends jobs in batches of a few
per worker thread), 2 rounds of 16:
  4,000 rows: threads 0.45 s (120 tasks/s), process pool 0.59 s (92/s),
    Dask 1 worker 0.95 s (57/s), 2 workers 0.77 s (70/s); 158 bytes a task
    on threads (the data shared in memory), 227 to 251 on processes and
    Dask; the data (0.2 MB) reach 2 workers in 0.013 s.
  1,000,000 rows: threads 0.66 s (121/s), process pool 0.87 s (92/s), Dask
    1 worker 1.43 s (56/s), 2 workers 1.08 s (74/s); 289 to 383 bytes a
    task (more than on 4,000 rows only because the front's validation on
    every held-out row adds tasks that carry a whole candidate); the data
    (32 MB) reach 2 workers in 0.091 s.

Run:  python benchmarks/bench_distributed.py [--rows 4000 1000000] [--rounds 2] [--population 16] [--repeat 3]
"""

import argparse
import pickle
import time

import numpy as np

import vant
from vant import _executors, _search, _tasks
from vant._data import prepare
from vant._scoring import Scorer


def bell_data(n, seed=0):
    rng = np.random.default_rng(seed)
    x, z, u = rng.uniform(-2, 2, n), rng.uniform(-1, 1, n), rng.uniform(-1, 1, n)
    return {"x": x, "z": z, "u": u, "y": 3 * np.exp(-x ** 2) + 0.5 * z + rng.normal(0, 0.05, n)}


class Tally:
    """Counts the candidates a search trains and the bytes its tasks carry,
    by wrapping the search's task runner."""

    def __init__(self):
        self.tasks = self.task_bytes = 0
        self._run_tasks = _executors.run_tasks

    def __enter__(self):
        def counted(backend, function, jobs, *rest):
            handle = None if isinstance(backend.handle, _tasks.Problem) else backend.handle   # threads share memory
            for job in jobs:
                self.task_bytes += len(pickle.dumps((function, handle, *job)))
            results = self._run_tasks(backend, function, jobs, *rest)
            self.tasks += sum(result is not None for result in results)
            return results
        _search.run_tasks = counted
        return self

    def __exit__(self, *exc):
        _search.run_tasks = self._run_tasks


def timed_search(data, executor, args):
    with Tally() as tally:
        started = time.perf_counter()
        models = vant.search(data, "y", seed=1, rounds=args.rounds, population=args.population,
                             executor=executor, **({"n_jobs": 2} if isinstance(executor, str) else {}))
        seconds = time.perf_counter() - started
    return models, seconds, tally


def shipping(client, data):
    """Seconds to scatter the prepared problem to every worker, and its size."""
    prepared = prepare(data, "y", "regression", np.random.default_rng(0), None, None, (), 0.25)
    scorer = Scorer("regression", prepared.loss_name, prepared.valid, 1.0, prepared.error_floor)
    problem = _tasks.Problem(prepared, scorer, _tasks.installed_version())
    started = time.perf_counter()
    future = client.scatter(problem, broadcast=True, hash=False)
    seconds = time.perf_counter() - started
    client.cancel([future])
    return seconds, len(pickle.dumps(problem, protocol=pickle.HIGHEST_PROTOCOL))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, nargs="+", default=[4000, 1_000_000])
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--population", type=int, default=16)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    from distributed import Client, LocalCluster

    clusters = {}
    for workers in (1, 2):
        cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                               dashboard_address="127.0.0.1:0", worker_dashboard_address="127.0.0.1:0")
        clusters[workers] = (cluster, Client(cluster))
        # Workers import vant on their first task; a cluster kept running has done so.
        vant.search(bell_data(200), "y", seed=0, rounds=1, population=2, executor=clusters[workers][1])
    try:
        for rows in args.rows:
            data = bell_data(rows)
            print(f"== {rows} rows, {args.rounds} rounds of {args.population} programs")
            reference = None
            settings = [("threads (2)", "threads"), ("processes (2)", "processes"),
                        ("dask, 1 worker", clusters[1][1]), ("dask, 2 workers", clusters[2][1])]
            best = {}
            for _ in range(args.repeat):
                for label, executor in settings:
                    models, seconds, tally = timed_search(data, executor, args)
                    found = [(m.formula(), m.params) for m in models]
                    if reference is not None and found != reference:
                        print(f"{label}: DIFFERENT MODELS")
                    reference = reference or found
                    if label not in best or seconds < best[label][0]:
                        best[label] = (seconds, tally)
            for label, (seconds, tally) in best.items():
                print(f"{label:16s} {seconds:7.2f} s  {tally.tasks / seconds:7.1f} tasks/s  "
                      f"{tally.task_bytes / max(1, tally.tasks):6.0f} bytes/task")
            seconds, size = shipping(clusters[2][1], data)
            print(f"shipping the data to 2 workers: {seconds:.3f} s for {size / 1e6:.1f} MB")
    finally:
        for cluster, client in clusters.values():
            client.close()
            cluster.close()


if __name__ == "__main__":
    main()
