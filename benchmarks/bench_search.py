"""How the search scales with the rows and the workers.

  share    the share of search time spent inside native calls: building
           native models and their `_fit`, `predict`, `_jacobian` and
           `params`, and the fits' sums and solves in `vant._linalg` (4,000
           rows, one thread; --repeat runs, the first in a fresh process)
  rate     candidates trained per second at 4,000 and 1,000,000 rows, with 1
           and 2 threads and processes (taking turns; the fastest of --repeat
           runs each), over the whole search and over its rounds alone
           (without preparing the data and validating the front)
  million  1,000,000 rows x 5 columns, y = 3*exp(-x0**2) + 0.5*x1*x2 + noise,
           time_limit=30: held-out R2 of the best model on fresh rows, and the
           peak memory the search adds, against the size of the data

The machine may be shared: every figure comes with the load average, and
the settings a ratio compares take turns.

Run:  nice python benchmarks/bench_search.py [share|rate|million ...]
"""

import argparse
import inspect
import os
import resource
import threading
import time

import _kestor
import numpy as np

import vant
from vant import _fitting, _found, _linalg, _scoring, _search, _stopping, _tasks, _terms, _training
from vant._elements import import_modules


def law(rng, rows, columns=5):
    """The data, built one column at a time (no temporary the size of the table)."""
    data = {f"x{i}": rng.normal(size=rows) for i in range(columns)}
    y = np.exp(-(data["x0"] ** 2))
    y *= 3.0
    y += 0.5 * data["x1"] * data["x2"]
    y += rng.normal(0.0, 0.05, rows)
    data["y"] = y
    return data


def load() -> str:
    return "load average {:.2f} {:.2f} {:.2f}".format(*os.getloadavg())


class NativeClock:
    """Counts the processor time spent in native calls: building every model
    the search builds and its `_fit`, `predict`, `_jacobian` and `params`
    (by handing out timed stand-ins for the models), and the fits' sums and
    solves in `vant._linalg`.  Processor time, not wall time, so that other
    work on the machine does not blur the share."""

    def __init__(self):
        self._spent = []   # one entry per call: appending is atomic, and cheaper than a lock
        self._patched = []

    @property
    def seconds(self) -> float:
        return sum(self._spent)

    def timed(self, method, *args, _clock=time.thread_time):
        started = _clock()
        try:
            return method(*args)
        finally:
            self._spent.append(_clock() - started)

    def __enter__(self):
        clock = self

        class Timed:
            def __init__(self, model):
                self._model = model

            def __getattr__(self, name):
                return getattr(self._model, name)

            def _fit(self, *args):
                return clock.timed(self._model._fit, *args)

            def predict(self, *args):
                return clock.timed(self._model.predict, *args)

            def _jacobian(self, *args):
                return clock.timed(self._model._jacobian, *args)

            @property
            def params(self):
                return clock.timed(getattr, self._model, "params")

        def new_model(dnames, fnames, params, sample_count, loss):
            # `vant._elements.new_model`, with the native constructor timed
            import_modules(fnames)
            return Timed(clock.timed(_kestor.Model, list(dnames), list(fnames), params, sample_count, loss))

        for module in (_training, _fitting, _scoring, _terms, _stopping, _found):
            self._patch(module, "new_model", new_model)
        for name in ("normal_equations", "damped_solve", "unexplained", "line_fit"):
            self._patch(_linalg, name, lambda *a, _original=getattr(_linalg, name): clock.timed(_original, *a))
        return self

    def _patch(self, owner, name, replacement):
        self._patched.append((owner, name, getattr(owner, name)))
        setattr(owner, name, replacement)

    def __exit__(self, *exc):
        for owner, name, original in reversed(self._patched):
            setattr(owner, name, original)


class CandidateCounter:
    """Counts the candidates the search trains (new programs and retrainings)
    in this process: worker processes count for themselves, but train the
    same candidates as threads do for the same seed and arguments."""

    def __enter__(self):
        self.count = 0
        self._lock = threading.Lock()
        self._original = _training.new_candidate

        def counted(*args, **kwargs):
            with self._lock:
                self.count += 1
            return self._original(*args, **kwargs)

        _tasks.new_candidate = _training.new_candidate = counted
        return self

    def __exit__(self, *exc):
        _tasks.new_candidate = _training.new_candidate = self._original


def share(args):
    data = law(np.random.default_rng(0), 4000)
    total_cpu = total_native = 0.0
    for run in range(args.repeat):
        with NativeClock() as clock:
            started, cpu = time.perf_counter(), time.process_time()
            vant.search(data, "y", seed=1, rounds=args.rounds, n_jobs=1)
            wall, cpu = time.perf_counter() - started, time.process_time() - cpu
        total_cpu, total_native = total_cpu + cpu, total_native + clock.seconds
        print(f"share: 4,000 rows, {args.rounds} rounds, 1 thread, run {run + 1}: {wall:.2f} s wall, {cpu:.2f} s "
              f"processor, {clock.seconds:.2f} s of it native = {100 * clock.seconds / cpu:.1f}%  ({load()})",
              flush=True)
    print(f"share: over the {args.repeat} runs {100 * total_native / total_cpu:.1f}% of the processor time native")


def _workers():
    yield "threads", 1, {"n_jobs": 1}
    yield "threads", 2, {"n_jobs": 2}
    if "executor" in inspect.signature(vant.search).parameters:
        yield "processes", 1, {"n_jobs": 1, "executor": "processes"}
        yield "processes", 2, {"n_jobs": 2, "executor": "processes"}


class RoundClock:
    """The wall time the search spends in its rounds (training, scoring and
    improving candidates), apart from preparing the data before them and
    validating the front on every held-out row after them."""

    def __enter__(self):
        self.seconds = 0.0
        self._original = _search._Run.round
        clock = self

        def timed(run, *args):
            started = time.perf_counter()
            try:
                return clock._original(run, *args)
            finally:
                clock.seconds += time.perf_counter() - started

        _search._Run.round = timed
        return self

    def __exit__(self, *exc):
        _search._Run.round = self._original


def rate(args):
    for rows in (4000, 1_000_000):
        data = law(np.random.default_rng(0), rows)
        settings = list(_workers())
        walls = {(kind, count): [] for kind, count, _options in settings}
        rounds = {(kind, count): [] for kind, count, _options in settings}
        trained = 0   # counted on threads; worker processes train the same candidates
        # The settings take turns, so that a stretch of other work on the
        # machine slows them alike; each keeps its fastest run.
        for _ in range(args.repeat):
            for kind, count, options in settings:
                with CandidateCounter() as counter, RoundClock() as clock:
                    started = time.perf_counter()
                    vant.search(data, "y", seed=1, rounds=args.rounds, **options)
                    walls[kind, count].append(time.perf_counter() - started)
                rounds[kind, count].append(clock.seconds)
                if kind == "threads":
                    trained = counter.count
        rates, in_rounds = {}, {}
        for kind, count, _options in settings:
            wall = min(walls[kind, count])
            rates[kind, count], in_rounds[kind, count] = trained / wall, min(rounds[kind, count])
            print(f"rate: {rows:>9,} rows, {count} {kind}: {trained} candidates in {wall:.2f} s = "
                  f"{rates[kind, count]:.1f}/s; {in_rounds[kind, count]:.2f} s of it in the rounds  ({load()})",
                  flush=True)
        for kind in ("threads", "processes"):
            if (kind, 2) in rates:
                print(f"rate: {rows:>9,} rows, 2 {kind} / 1: {rates[kind, 2] / rates[kind, 1]:.2f}x "
                      f"(in the rounds {in_rounds[kind, 1] / in_rounds[kind, 2]:.2f}x)")


def million(args):
    rng = np.random.default_rng(16)
    data = law(rng, 1_000_000)
    size = sum(values.nbytes for values in data.values())
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    started = time.perf_counter()
    models = vant.search(data, "y", seed=16, time_limit=30)
    wall = time.perf_counter() - started
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024 - before
    fresh = law(rng, 200_000)
    predicted = models[0].predict(fresh)
    r2 = 1.0 - np.mean((fresh["y"] - predicted) ** 2) / np.var(fresh["y"])
    print(f"million: {wall:.1f} s, held-out R2 {r2:.5f}: {models[0].expression}")
    print(f"million: data {size / 2**20:.0f} MiB, peak added by the search {peak / 2**20:.0f} MiB "
          f"= {peak / size:.2f}x  ({load()})")


BENCHMARKS = {"share": share, "rate": rate, "million": million}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("which", nargs="*", choices=[*BENCHMARKS, []], default=list(BENCHMARKS))
    parser.add_argument("--rounds", type=int, default=6, help="rounds of the share and rate searches")
    parser.add_argument("--repeat", type=int, default=5,
                        help="share: runs, summed; rate: runs of each search, of which the fastest counts (the "
                             "others met other work on the machine)")
    args = parser.parse_args()
    for name in args.which:
        BENCHMARKS[name](args)


if __name__ == "__main__":
    main()
