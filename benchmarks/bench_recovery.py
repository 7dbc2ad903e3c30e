"""Does a search recover the law behind the data, or only a close fit?

Every law is sampled on a training box; each system gets the same training
rows, the same budget (seconds) and the same number of threads.  A model is
then scored on fresh rows from the training box (held-out R²) and on rows
from a wider box around it: only a model that is the law, not an
approximation that happens to fit the box, keeps its R² out there.

R² is measured against the noiseless law, so the noisy variants are judged
by whether the noise was seen through.  A model "holds" when its R² on the
wider box is at least 0.999.  Size is the number of nodes of the model as a
sympy expression (every symbol, number, operation and function call counts
one; a lookup table of a categorical input counts as one call).

Peers: pyoperon and gplearn, run when installed (they are benchmark-only
dependencies: ``pip install pyoperon gplearn sympy`` into the venv).
Categorical columns reach them one-hot encoded.  gplearn has no time limit
of its own; it is grown a generation at a time until the budget is spent.

Laws marked periodic need the sin/cos element types and run only when vant
offers them.

    python benchmarks/bench_recovery.py --budget 5 --laws parallel,hypot
    nice python benchmarks/bench_recovery.py --budget 30 --threads 2 --seeds 1,2 --json out.json
"""

from __future__ import annotations

import argparse
import json
import math
import statistics
import sys
import time
import warnings
from dataclasses import dataclass, field

import numpy as np

TARGET = "target"
N_TRAIN = 1000
N_TEST = 2000
HOLDS = 0.999
EXACT = 0.9999


@dataclass
class Law:
    name: str
    formula: object                   # numpy function of the columns
    box: dict                         # variable -> (low, high) of the training box
    wide: dict                        # variable -> (low, high) of the wider box
    noise: float = 0.0                # noise sd as a share of the target's sd
    categories: dict = field(default_factory=dict)   # categorical column -> {category: value}
    periodic: bool = False

    def sample(self, rng, n, wide=False):
        ranges = self.wide if wide else self.box
        data = {v: rng.uniform(lo, hi, n) for v, (lo, hi) in ranges.items()}
        for column, table in self.categories.items():
            data[column] = rng.choice(sorted(table), n)
        return data, self.formula(data)


def _cat(table, column):
    return lambda d: np.array([table[c] for c in d[column]])


_GAIN = {"a": 1.0, "b": 2.5, "c": -1.5}
_SHIFT = {"lo": 0.5, "mid": 2.0, "hi": 3.5}

LAWS = [
    Law("nguyen1", lambda d: d["x"] ** 3 + d["x"] ** 2 + d["x"], {"x": (-1, 1)}, {"x": (-2, 2)}),
    Law("nguyen7", lambda d: np.log(d["x"] + 1) + np.log(d["x"] ** 2 + 1), {"x": (0, 2)}, {"x": (0, 4)}),
    Law("nguyen12", lambda d: d["x"] ** 4 - d["x"] ** 3 + 0.5 * d["y"] ** 2 - d["y"],
        {"x": (-1, 1), "y": (-1, 1)}, {"x": (-2, 2), "y": (-2, 2)}),
    Law("keijzer14", lambda d: 8 / (2 + d["x"] ** 2 + d["y"] ** 2),
        {"x": (-3, 3), "y": (-3, 3)}, {"x": (-6, 6), "y": (-6, 6)}),
    Law("kepler", lambda d: d["a"] ** 1.5, {"a": (0.5, 3)}, {"a": (0.2, 6)}),
    Law("coulomb", lambda d: d["q1"] * d["q2"] / (4 * np.pi * d["e"] * d["r"] ** 2),
        {"q1": (1, 5), "q2": (1, 5), "e": (1, 5), "r": (1, 5)},
        {"q1": (0.5, 10), "q2": (0.5, 10), "e": (0.5, 10), "r": (0.5, 10)}),
    Law("normal", lambda d: np.exp(-d["t"] ** 2 / 2) / np.sqrt(2 * np.pi), {"t": (-3, 3)}, {"t": (-5, 5)}),
    Law("parallel", lambda d: 1 / (1 / d["a"] + 1 / d["b"]), {"a": (1, 5), "b": (1, 5)},
        {"a": (0.5, 10), "b": (0.5, 10)}),
    Law("hypot", lambda d: np.sqrt(d["a"] ** 2 + d["b"] ** 2), {"a": (-3, 3), "b": (-3, 3)},
        {"a": (-6, 6), "b": (-6, 6)}),
    Law("power", lambda d: d["x"] ** d["y"], {"x": (1, 3), "y": (0.5, 2)}, {"x": (0.5, 5), "y": (0, 3)}),
    Law("pendulum", lambda d: 2 * np.pi * np.sqrt(d["L"] / d["g"]), {"L": (0.5, 2), "g": (5, 15)},
        {"L": (0.2, 4), "g": (2, 25)}),
    Law("kinetic", lambda d: 0.5 * d["m"] * d["v"] ** 2, {"m": (1, 5), "v": (-3, 3)},
        {"m": (0.5, 10), "v": (-6, 6)}),
    Law("relmass", lambda d: d["m"] / np.sqrt(1 - d["v"] ** 2), {"m": (1, 5), "v": (0, 0.8)},
        {"m": (0.5, 10), "v": (0, 0.95)}),
    Law("gas", lambda d: 8.314 * d["n"] * d["T"] / d["V"], {"n": (1, 3), "T": (200, 400), "V": (1, 5)},
        {"n": (0.5, 6), "T": (100, 600), "V": (0.5, 10)}),
    Law("decay", lambda d: d["N0"] * np.exp(-d["t"] / d["tau"]),
        {"N0": (1, 5), "t": (0, 5), "tau": (1, 5)}, {"N0": (0.5, 10), "t": (0, 10), "tau": (0.5, 10)}),
    Law("veladd", lambda d: (d["u"] + d["v"]) / (1 + d["u"] * d["v"]), {"u": (-0.5, 0.5), "v": (-0.5, 0.5)},
        {"u": (-0.9, 0.9), "v": (-0.9, 0.9)}),
    Law("logistic", lambda d: 1 / (1 + np.exp(-d["x"])), {"x": (-4, 4)}, {"x": (-8, 8)}),
    Law("planck", lambda d: d["x"] ** 3 / (np.exp(d["x"]) - 1), {"x": (0.5, 5)}, {"x": (0.2, 10)}),
    Law("distance", lambda d: np.sqrt((d["x1"] - d["x2"]) ** 2 + (d["y1"] - d["y2"]) ** 2),
        {"x1": (0, 2), "x2": (0, 2), "y1": (0, 2), "y2": (0, 2)},
        {"x1": (-2, 4), "x2": (-2, 4), "y1": (-2, 4), "y2": (-2, 4)}),
    Law("coulomb_noisy", lambda d: d["q1"] * d["q2"] / (4 * np.pi * d["e"] * d["r"] ** 2),
        {"q1": (1, 5), "q2": (1, 5), "e": (1, 5), "r": (1, 5)},
        {"q1": (0.5, 10), "q2": (0.5, 10), "e": (0.5, 10), "r": (0.5, 10)}, noise=0.01),
    Law("parallel_noisy", lambda d: 1 / (1 / d["a"] + 1 / d["b"]), {"a": (1, 5), "b": (1, 5)},
        {"a": (0.5, 10), "b": (0.5, 10)}, noise=0.01),
    Law("cat_gain", lambda d: _cat(_GAIN, "c")(d) * d["x"] ** 2, {"x": (-2, 2)}, {"x": (-4, 4)},
        categories={"c": _GAIN}),
    Law("cat_shift", lambda d: 1 / (_cat(_SHIFT, "c")(d) + d["x"]), {"x": (0, 2)}, {"x": (0, 5)},
        categories={"c": _SHIFT}),
    Law("nguyen5", lambda d: np.sin(d["x"] ** 2) * np.cos(d["x"]) - 1, {"x": (-1, 1)}, {"x": (-2, 2)},
        periodic=True),
    Law("nguyen10", lambda d: 2 * np.sin(d["x"]) * np.cos(d["y"]), {"x": (0, 1), "y": (0, 1)},
        {"x": (-1, 2), "y": (-1, 2)}, periodic=True),
    Law("damped", lambda d: np.exp(-d["t"] / 2) * np.cos(3 * d["t"]), {"t": (0, 4)}, {"t": (0, 8)},
        periodic=True),
]


# ---------------------------------------------------------------------------
# Systems: fit(train columns, target, budget, threads, seed) -> (predict, sympy expression)


def _sympy():
    import sympy
    return sympy


def size_of(expression) -> int:
    sympy = _sympy()
    return sum(1 for _ in sympy.preorder_traversal(expression))


def _vant_operator_types() -> set:
    try:
        from vant import _elements
    except ImportError:
        return set()
    names = getattr(_elements, "ELEMENTS", None) or getattr(_elements, "CATALOGUE", None) or {}
    return {getattr(e, "name", e) for e in names}


def periodic_available() -> bool:
    return {"sin:1", "cos:1"} <= _vant_operator_types()


def fit_vant(data, law, budget, threads, seed):
    import vant
    sympy = _sympy()
    columns = dict(data)
    # Like the peers, vant gets sin and cos on the periodic laws only.
    operators = ["default", "sin", "cos"] if law.periodic else None
    model = vant.search(columns, TARGET, seed=seed, time_limit=budget, n_jobs=threads, top=1,
                        operators=operators)[0]
    symbols = {name: sympy.Symbol(name) for name in columns}
    names = {**symbols, "cat": sympy.Function("cat"), "sigmoid": sympy.Function("sigmoid"),
             "tanh": sympy.tanh, "exp": sympy.exp, "log": sympy.log, "sqrt": sympy.sqrt,
             "sin": sympy.sin, "cos": sympy.cos, "abs": sympy.Abs}
    for k in range(2, 6):
        names[f"cat{k}"] = sympy.Function(f"cat{k}")
    expression = sympy.sympify(model.expression, locals=names)
    return model.predict, expression, model


def _matrix(data, law):
    """Numeric design matrix with categories one-hot, and the column names."""
    names, columns = [], []
    for name, values in data.items():
        if name == TARGET:
            continue
        if name in law.categories:
            for category in sorted(law.categories[name]):
                names.append(f"{name}_{category}")
                columns.append((values == category).astype(np.float64))
        else:
            names.append(name)
            columns.append(np.asarray(values, dtype=np.float64))
    return np.column_stack(columns), names


def fit_pyoperon(data, law, budget, threads, seed):
    from pyoperon.sklearn import SymbolicRegressor
    sympy = _sympy()
    symbols = "add,sub,mul,div,constant,variable,exp,log,sqrt,square,tanh"
    if law.periodic:
        symbols += ",sin,cos"
    x, names = _matrix(data, law)
    regressor = SymbolicRegressor(allowed_symbols=symbols, max_time=int(budget), n_threads=threads,
                                  random_state=seed, generations=10**9, max_evaluations=10**12)
    regressor.fit(x, data[TARGET])
    text = regressor.get_model_string(regressor.model_, 6, names)
    expression = sympy.sympify(text, locals={n: sympy.Symbol(n) for n in names})
    return (lambda d: regressor.predict(_matrix(d, law)[0])), expression, None


def fit_gplearn(data, law, budget, threads, seed):
    from gplearn.genetic import SymbolicRegressor
    sympy = _sympy()
    functions = ["add", "sub", "mul", "div", "sqrt", "log", "neg", "inv"]
    if law.periodic:
        functions += ["sin", "cos"]
    x, names = _matrix(data, law)
    regressor = SymbolicRegressor(population_size=1000, generations=1, warm_start=True, n_jobs=threads,
                                  function_set=functions, random_state=seed, parsimony_coefficient=0.001)
    started, generations = time.monotonic(), 1
    while True:
        regressor.set_params(generations=generations)
        regressor.fit(x, data[TARGET])
        spent = time.monotonic() - started
        if spent * (generations + 1) / generations > budget:
            break
        generations += 1
    x_symbols = {f"X{i}": sympy.Symbol(n) for i, n in enumerate(names)}
    protected = {
        "add": lambda a, b: a + b, "sub": lambda a, b: a - b, "mul": lambda a, b: a * b,
        "div": lambda a, b: a / b, "sqrt": lambda a: sympy.sqrt(sympy.Abs(a)),
        "log": lambda a: sympy.log(sympy.Abs(a)), "neg": lambda a: -a, "inv": lambda a: 1 / a,
        "sin": sympy.sin, "cos": sympy.cos,
    }
    expression = sympy.sympify(str(regressor._program), locals={**x_symbols, **protected})
    return (lambda d: regressor.predict(_matrix(d, law)[0])), expression, None


SYSTEMS = {"vant": fit_vant, "pyoperon": fit_pyoperon, "gplearn": fit_gplearn}
PEER_MODULES = {"pyoperon": "pyoperon", "gplearn": "gplearn"}


def available(system: str) -> bool:
    module = PEER_MODULES.get(system)
    if module is None:
        return True
    try:
        __import__(module)
        return True
    except ImportError:
        return False


# ---------------------------------------------------------------------------


def r2(truth, predicted) -> float:
    predicted = np.asarray(predicted, dtype=np.float64)
    if predicted.shape != truth.shape or not np.all(np.isfinite(predicted)):
        return -math.inf
    return float(1.0 - np.mean((truth - predicted) ** 2) / np.var(truth))


def run_one(law: Law, system: str, budget: float, threads: int, seed: int) -> dict:
    rng = np.random.default_rng([seed, sum(map(ord, law.name))])
    train, truth = law.sample(rng, N_TRAIN)
    train[TARGET] = truth + rng.normal(0.0, law.noise * np.std(truth), N_TRAIN) if law.noise else truth
    test, test_truth = law.sample(rng, N_TEST)
    wide, wide_truth = law.sample(rng, N_TEST, wide=True)
    started = time.monotonic()
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        predict, expression, model = SYSTEMS[system](train, law, budget, threads, seed)
        seconds = time.monotonic() - started
        row = {"law": law.name, "system": system, "seed": seed, "seconds": round(seconds, 2),
               "r2_test": r2(test_truth, predict(test)), "r2_wide": r2(wide_truth, predict(wide)),
               "size": size_of(expression), "expression": str(expression)}
    if model is not None:
        row["rounds"] = model.metrics.get("rounds")
        row["clamped"] = model.metrics.get("clamp_active")
    return row


def summary(rows: list[dict], systems: list[str]) -> str:
    lines = [f"{'':28}" + "".join(f"{s:>12}" for s in systems)]
    by = {s: [r for r in rows if r["system"] == s] for s in systems}

    def line(label, value):
        lines.append(f"{label:28}" + "".join(f"{value(by[s]):>12}" for s in systems))

    line(f"R2 >= {EXACT} held out", lambda rs: f"{sum(r['r2_test'] >= EXACT for r in rs)}/{len(rs)}")
    line("holds on wider box", lambda rs: f"{sum(r['r2_wide'] >= HOLDS for r in rs)}/{len(rs)}")
    line("median size", lambda rs: f"{statistics.median(r['size'] for r in rs):.0f}" if rs else "-")
    line("median seconds", lambda rs: f"{statistics.median(r['seconds'] for r in rs):.1f}" if rs else "-")
    return "\n".join(lines)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--budget", type=float, default=30.0, help="seconds per system and law")
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--seeds", default="1", help="comma-separated seeds")
    parser.add_argument("--laws", default="", help="comma-separated law names (default: all)")
    parser.add_argument("--systems", default="vant,pyoperon,gplearn")
    parser.add_argument("--json", default="", help="write every row to this file")
    args = parser.parse_args(argv)

    wanted = [name for name in args.laws.split(",") if name]
    unknown = set(wanted) - {law.name for law in LAWS}
    if unknown:
        parser.error(f"unknown laws: {', '.join(sorted(unknown))}")
    laws = [law for law in LAWS if not wanted or law.name in wanted]
    if not periodic_available():
        skipped = [law.name for law in laws if law.periodic]
        laws = [law for law in laws if not law.periodic]
        if skipped:
            print(f"skipped (need sin/cos in vant): {', '.join(skipped)}")
    systems = []
    for system in args.systems.split(","):
        if system not in SYSTEMS:
            parser.error(f"unknown system {system!r}")
        if available(system):
            systems.append(system)
        else:
            print(f"skipped {system}: not installed")
    seeds = [int(s) for s in args.seeds.split(",")]

    print(f"budget {args.budget:g} s, {args.threads} threads, seeds {seeds}, {len(laws)} laws")
    print(f"{'law':16}{'system':10}{'seed':>5}{'R2 test':>12}{'R2 wide':>12}{'size':>6}{'sec':>7}  model")
    rows = []
    for law in laws:
        for seed in seeds:
            for system in systems:
                row = run_one(law, system, args.budget, args.threads, seed)
                rows.append(row)
                text = row["expression"] if len(row["expression"]) < 70 else row["expression"][:67] + "..."
                print(f"{law.name:16}{system:10}{seed:>5}{row['r2_test']:>12.7f}{row['r2_wide']:>12.5f}"
                      f"{row['size']:>6}{row['seconds']:>7.1f}  {text}", flush=True)
                if args.json:
                    with open(args.json, "w") as f:
                        json.dump(rows, f, indent=1)
    print()
    print(summary(rows, systems))
    return 0


if __name__ == "__main__":
    sys.exit(main())
