"""Throughput of Model._fit: samples per second and nanoseconds per
element-sample on long columns, for several model sizes and each regime of
the update rule, plus the overhead of short calls.

The step number t of the update rule is the sample counter after the call
(the counter before it plus n).  A long call therefore reaches the t < 30 and
30 <= t < 2000 regimes only when the model starts from a negative counter,
which the constructor accepts: starting at T - n makes t equal T.

Run:  python benchmarks/bench_fit.py [--samples N] [--repeat R]
"""

import argparse
import time

import numpy as np

import _kestor

ROOT = {"w": 1.0, "bias": 0.0}
INPUT = {"w": 1.0, "bias": 0.0}


def models():
    """(label, dnames, fnames, params, columns needed)."""
    yield ("2: out-linear(in-linear)",
           ["y", "x"], ["out-linear:1", "in-linear:0"], [ROOT, INPUT])
    yield ("4: out-lin(add(x, z))",
           ["y", "", "x", "z"], ["out-linear:1", "add:2", "in-linear:0", "in-linear:0"], [ROOT, {}, INPUT, INPUT])
    yield ("7: exp/multiply/add",
           ["y", "", "", "", "x", "z", "x"],
           ["out-linear:1", "add:2", "multiply:2", "exp:1", "in-linear:0", "in-linear:0", "in-linear:0"],
           [ROOT, {}, {}, {}, INPUT, INPUT, INPUT])
    yield ("7: linear/tanh/gaussian",
           ["y", "", "", "", "x", "", "z"],
           ["out-linear:1", "add:2", "linear:1", "tanh:1", "in-linear:0", "gaussian:1", "in-linear:0"],
           [ROOT, {}, {"w": 1.0}, {}, INPUT, {}, INPUT])
    yield ("4: out-lr(multiply)",
           ["y", "", "x", "z"], ["out-lr:1", "multiply:2", "in-linear:0", "in-linear:0"], [ROOT, {}, INPUT, INPUT])
    yield ("4: categorical + numeric",
           ["y", "", "c", "x"], ["out-linear:1", "add:2", "in-cat:0", "in-linear:0"], [ROOT, {}, {}, INPUT])


REGIMES = [("t<30", 10), ("30<=t<2000", 1000), ("t>=2000", None)]


def data(n, rng):
    return {
        "x": rng.uniform(-1, 1, n),
        "z": rng.uniform(-1, 1, n),
        "c": rng.integers(0, 50, n).astype(np.int64),
    }


def time_fit(dnames, fnames, params, columns, y, start, repeat):
    best = float("inf")
    for _ in range(repeat):
        loss = "binary_cross_entropy" if fnames[0] == "out-lr:1" else "squared_error"
        model = _kestor.Model(dnames, fnames, [dict(p) for p in params], start, loss)
        used = {d: columns[d] for d in dnames[1:] if d}
        t0 = time.perf_counter()
        model._fit(used, y)
        best = min(best, time.perf_counter() - t0)
    return best


def long_calls(n, repeat, rng):
    columns = data(n, rng)
    y = (columns["x"] * columns["z"] > 0).astype(np.float64)
    print(f"Long calls: n = {n} samples per _fit, best of {repeat}")
    print(f"{'model':28s} {'regime':12s} {'samples/s':>12s} {'ns/elem-sample':>15s}")
    for label, dnames, fnames, params in models():
        for regime, t_after in REGIMES:
            start = 0 if t_after is None else t_after - n
            seconds = time_fit(dnames, fnames, params, columns, y, start, repeat)
            rate = n / seconds
            ns = seconds * 1e9 / (n * len(fnames))
            print(f"{label:28s} {regime:12s} {rate:12.0f} {ns:15.2f}")


def short_calls(repeat_calls, rng):
    print(f"\nShort calls: mean over {repeat_calls} calls on one model")
    print(f"{'model':28s} {'n':>4s} {'us/call':>10s}")
    for label, dnames, fnames, params in list(models())[:2]:
        for n in (1, 32):
            columns = data(n, rng)
            used = {d: columns[d] for d in dnames[1:] if d}
            y = rng.uniform(-1, 1, n)
            model = _kestor.Model(dnames, fnames, [dict(p) for p in params], 0, "squared_error")
            model._fit(used, y)
            t0 = time.perf_counter()
            for _ in range(repeat_calls):
                model._fit(used, y)
            us = (time.perf_counter() - t0) * 1e6 / repeat_calls
            print(f"{label:28s} {n:4d} {us:10.2f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--samples", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--calls", type=int, default=20000)
    args = parser.parse_args()
    rng = np.random.default_rng(1)
    long_calls(args.samples, args.repeat, rng)
    short_calls(args.calls, rng)


if __name__ == "__main__":
    main()
