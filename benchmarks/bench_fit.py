"""Model._fit against a hand-written training loop, per model and regime of
the update rule, plus the overhead of short calls.  Long calls are timed in
the calling thread's CPU time, so that other processes on the machine
disturb the ratio less; short calls in wall time.

The yardstick (benchmarks/yardstick.cpp) trains three fixed trees with every
element inlined and the update rule specialised to the regime of the call.
It is compiled here into two temporary shared libraries, checked bit for
bit against _fit on the same data, and only then timed: "hand" hands the
values between elements in registers, "record" reads every one back from
memory.  _fit writes every value to its model record too, but hands each
to the next operation in a register, so it can beat "record".  _fit/hand
is the ratio the training loop is held to.

The step number t of the update rule is the sample counter after the call
(the counter before it plus n).  A long call reaches the t < 30 and
30 <= t < 2000 regimes only when the model starts from a negative counter,
which the constructor accepts: starting at T - n makes t equal T.

The types of vant._operators are timed against built-in types of about the
same cost, which they should train within 1.2 times the time of.

Run:  python benchmarks/bench_fit.py [--samples N] [--repeat R] [--throughput]
"""

import argparse
import ctypes
import os
import shutil
import subprocess
import tempfile
import time

import numpy as np

import _kestor

HERE = os.path.dirname(os.path.abspath(__file__))
REGIMES = [("t<30", 10), ("30<=t<2000", 1000), ("t>=2000", None)]


def fixed(w, bias=0.0):
    return {"w": w, "bias": bias, "scale": 1.0, "scale_offset": 0.0, "detect_scale": 0}


# (label, yardstick function, dnames, fnames, params, columns in the yardstick's order, loss)
YARDSTICK_TREES = [
    ("out-linear(in-linear), 2", "yardstick_pair",
     ["y", "x"], ["out-linear:1", "in-linear:0"], [fixed(1.0), fixed(0.5)], ["x"], "squared_error"),
    ("out-linear(add(multiply, exp(linear))), 8", "yardstick_eight",
     ["y", "", "", "x", "y2", "", "", "z"],
     ["out-linear:1", "add:2", "multiply:2", "in-linear:0", "in-linear:0", "exp:1", "linear:1", "in-linear:0"],
     [fixed(1.0), {}, {}, fixed(0.8), fixed(-0.6), {}, {"w": 0.5, "bias": 0.1}, fixed(0.7)],
     ["x", "y2", "z"], "squared_error"),
    ("out-lr(gaussian:2/tanh/log/sqrt/squared), 15", "yardstick_fifteen",
     ["y", "", "", "", "x", "", "y2", "", "", "z", "", "", "", "x", "y2"],
     ["out-lr:1", "add:2", "gaussian:2", "tanh:1", "in-linear:0", "log:1", "in-linear:0", "add:2", "sqrt:1",
      "in-linear:0", "squared:1", "linear:1", "add:2", "in-linear:0", "in-linear:0"],
     [{"w": 1.0, "bias": -0.5}, {}, {}, {}, fixed(0.9), {}, fixed(1.1, 0.2), {}, {}, fixed(0.8, 0.3), {}, {"w": 0.5},
      {}, fixed(0.4), fixed(-0.3)],
     ["x", "y2", "z"], "binary_cross_entropy"),
]


def build_yardstick(directory, through_record=False):
    compiler = os.environ.get("CXX") or shutil.which("g++") or "c++"
    library = os.path.join(directory, "yardstick_record.so" if through_record else "yardstick.so")
    subprocess.run([compiler, "-std=c++17", "-O2", "-ffp-contract=off", "-fno-fast-math", "-shared", "-fPIC",
                    *(["-DTHROUGH_RECORD"] if through_record else []),
                    "-o", library, os.path.join(HERE, "yardstick.cpp")], check=True)
    lib = ctypes.CDLL(library)
    for _, function, *_rest in YARDSTICK_TREES:
        fn = getattr(lib, function)
        fn.argtypes = [ctypes.c_int64, ctypes.POINTER(ctypes.c_void_p), ctypes.c_void_p, ctypes.c_void_p,
                       ctypes.c_int32, ctypes.c_void_p]
        fn.restype = ctypes.c_double
    return lib


def flat_params(fnames, params):
    """The yardstick's parameter layout, in prefix order."""
    out = []
    for fname, p in zip(fnames, params):
        if fname in ("in-linear:0", "out-linear:1"):
            out += [p["scale"], p["scale_offset"], p["w"], p["bias"]]
        elif fname in ("linear:1", "out-lr:1"):
            out += [p["w"], p["bias"]]
    return np.array(out, dtype=np.float64)


def data(n, rng):
    columns = {"x": rng.uniform(-1, 1, n), "y2": rng.uniform(-1, 1, n), "z": rng.uniform(-1, 1, n),
               "c": rng.integers(0, 50, n).astype(np.int64)}
    regression = columns["x"] * columns["y2"] + np.exp(0.5 * columns["z"])
    classes = (columns["x"] * columns["y2"] > 0).astype(np.float64)
    return columns, regression, classes


class HandLoop:
    def __init__(self, fn, order, columns, y, start_params):
        self.fn, self.y, self.start = fn, y, start_params
        self.columns = [columns[name] for name in order]
        self.pointers = (ctypes.c_void_p * len(order))(*[c.ctypes.data for c in self.columns])
        self.losses = np.empty(len(y))

    def __call__(self, sample_count):
        params = self.start.copy()
        mean = self.fn(len(self.y), self.pointers, self.y.ctypes.data, params.ctypes.data, sample_count,
                       self.losses.ctypes.data)
        return mean, params


def same_bits(mean, params, other_mean, other_params):
    return np.float64(mean).tobytes() == np.float64(other_mean).tobytes() and params.tobytes() == other_params.tobytes()


def yardstick(n, repeat, rng):
    columns, regression, classes = data(n, rng)
    print(f"_fit against the hand-written loop: n = {n} samples per call, best of {repeat}, ns per sample")
    print("  hand: values handed between elements in registers; record: every one read back from memory")
    print(f"{'model':46s} {'regime':11s} {'_fit':>7s} {'hand':>7s} {'record':>7s} {'_fit/hand':>10s} "
          f"{'_fit/record':>12s}")
    with tempfile.TemporaryDirectory() as directory:
        libraries = (build_yardstick(directory), build_yardstick(directory, through_record=True))
        for label, function, dnames, fnames, params, order, loss in YARDSTICK_TREES:
            y = classes if loss == "binary_cross_entropy" else regression
            used = {d: columns[d] for d in dnames[1:] if d}
            initial = flat_params(fnames, _kestor.Model(dnames, fnames, [dict(p) for p in params], 0, loss).params)
            loops = [HandLoop(getattr(lib, function), order, columns, y, initial) for lib in libraries]
            for regime, t_after in REGIMES:
                start = 0 if t_after is None else t_after - n

                def fit():
                    model = _kestor.Model(dnames, fnames, [dict(p) for p in params], start, loss)
                    t0 = time.thread_time()
                    result = model._fit(used, y)
                    return time.thread_time() - t0, result

                _, (mean, trained) = fit()
                for loop in loops:
                    if not same_bits(mean, flat_params(fnames, trained), *loop(start)):
                        raise SystemExit(f"{label} {regime}: the hand-written loop and _fit disagree")
                if not np.isfinite(mean):
                    raise SystemExit(f"{label} {regime}: training diverged (mean loss {mean})")
                best = [float("inf")] * 3
                for _ in range(repeat):  # interleaved, so all three see the same machine load
                    best[0] = min(best[0], fit()[0])
                    for i, loop in enumerate(loops, 1):
                        t0 = time.thread_time()
                        loop(start)
                        best[i] = min(best[i], time.thread_time() - t0)
                fit_ns, hand_ns, record_ns = (b * 1e9 / n for b in best)
                print(f"{label:46s} {regime:11s} {fit_ns:7.1f} {hand_ns:7.1f} {record_ns:7.1f} "
                      f"{fit_ns / hand_ns:10.2f} {fit_ns / record_ns:12.2f}")


def throughput_models():
    root, leaf = {"w": 1.0, "bias": 0.0}, {"w": 1.0, "bias": 0.0}
    yield ("4: out-lin(add(x, z))",
           ["y", "", "x", "z"], ["out-linear:1", "add:2", "in-linear:0", "in-linear:0"], [root, {}, leaf, leaf])
    yield ("7: linear/tanh/gaussian",
           ["y", "", "", "", "x", "", "z"],
           ["out-linear:1", "add:2", "linear:1", "tanh:1", "in-linear:0", "gaussian:1", "in-linear:0"],
           [root, {}, {"w": 1.0}, {}, leaf, {}, leaf])
    yield ("4: categorical + numeric",
           ["y", "", "c", "x"], ["out-linear:1", "add:2", "in-cat:0", "in-linear:0"], [root, {}, {}, leaf])


def throughput(n, repeat, rng):
    columns, regression, _ = data(n, rng)
    print(f"\nThroughput: n = {n} samples per _fit, best of {repeat}")
    print(f"{'model':28s} {'regime':12s} {'samples/s':>12s} {'ns/elem-sample':>15s}")
    for label, dnames, fnames, params in throughput_models():
        used = {d: columns[d] for d in dnames[1:] if d}
        for regime, t_after in REGIMES:
            start = 0 if t_after is None else t_after - n
            best = float("inf")
            for _ in range(repeat):
                model = _kestor.Model(dnames, fnames, [dict(p) for p in params], start, "squared_error")
                t0 = time.thread_time()
                model._fit(used, regression)
                best = min(best, time.thread_time() - t0)
            print(f"{label:28s} {regime:12s} {n / best:12.0f} {best * 1e9 / (n * len(fnames)):15.2f}")


# The types of vant._operators against built-in types of about the same cost,
# in one-element models (the element between an input and the output).
EXTRA_PAIRS = [("abs:1", "squared:1"), ("divide:2", "multiply:2"), ("pow:1", "linear:1")]


def extra_types(n, repeat, rng):
    import vant._operators  # noqa: F401  (registers the types)

    columns, regression, _ = data(n, rng)
    used = {"x": columns["x"], "z": columns["z"] + 2.0}
    leaf = fixed(1.0)

    def model(fname):
        binary = fname.endswith(":2")
        fnames = ["out-linear:1", fname, "in-linear:0"] + (["in-linear:0"] if binary else [])
        dnames = ["y", "", "x"] + (["z"] if binary else [])
        params = [fixed(1.0), {}, leaf, leaf][:len(fnames)]
        return _kestor.Model(dnames, fnames, [dict(p) for p in params], 0, "squared_error")

    print(f"\nvant._operators against built-in types: n = {n} samples per _fit, best of {repeat}, interleaved")
    print(f"{'type':10s} {'M samples/s':>12s} {'built-in':10s} {'M samples/s':>12s} {'ratio':>6s}")
    for extra, builtin in EXTRA_PAIRS:
        best = {extra: float("inf"), builtin: float("inf")}
        for _ in range(repeat):
            for fname in best:
                m = model(fname)
                t0 = time.thread_time()
                m._fit(used, regression)
                best[fname] = min(best[fname], time.thread_time() - t0)
        print(f"{extra:10s} {n / best[extra] / 1e6:12.1f} {builtin:10s} {n / best[builtin] / 1e6:12.1f} "
              f"{best[extra] / best[builtin]:6.2f}")


def short_calls(repeat_calls, rng):
    print(f"\nShort calls: mean over {repeat_calls} calls on one model")
    print(f"{'model':46s} {'n':>4s} {'us/call':>10s}")
    for label, _, dnames, fnames, params, _, loss in YARDSTICK_TREES[:2]:
        for n in (1, 32):
            columns, y, _ = data(n, rng)
            used = {d: columns[d] for d in dnames[1:] if d}
            model = _kestor.Model(dnames, fnames, [dict(p) for p in params], 0, loss)
            model._fit(used, y)
            t0 = time.perf_counter()
            for _ in range(repeat_calls):
                model._fit(used, y)
            us = (time.perf_counter() - t0) * 1e6 / repeat_calls
            print(f"{label:46s} {n:4d} {us:10.2f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--samples", type=int, default=300_000)
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--calls", type=int, default=20000)
    parser.add_argument("--throughput", action="store_true", help="also time more models per regime")
    args = parser.parse_args()
    rng = np.random.default_rng(1)
    yardstick(args.samples, args.repeat, rng)
    if args.throughput:
        throughput(args.samples, args.repeat, rng)
    extra_types(args.samples, args.repeat, rng)
    short_calls(args.calls, rng)


if __name__ == "__main__":
    main()
