"""Does a search recover the law behind the data, or only a close fit?

Every law is sampled on a training box; each system gets the same training
rows, the same budget (seconds) and the same number of threads.  A model is
then scored on fresh rows from the training box (held-out R²) and on rows
from a wider box around it: only a model that is the law, not an
approximation that happens to fit the box, keeps its R² out there.

R² is measured against the noiseless law, so the noisy variants are judged
by whether the noise was seen through.  A model "holds" when its R² on the
wider box is at least 0.999.  It is a "symbolic solution" by SRBench's
criterion when sympy finds the model minus the law, or the model over the
law, a constant: the model as the system prints it, with nothing rounded
by the benchmark, within --sympy-seconds per model (a model sympy cannot
settle in time is not a solution).  sympy is told the law's domain: every
input is real, and positive where both boxes are; where it finds no
constant at first, it tries again with each float as the rational it is
exactly and tanh written with exponentials.  Size is the number of nodes of the model
as a sympy expression (every symbol, number, operation and function call
counts one; a lookup table of a categorical input counts as one call).

The laws are classic benchmark formulas and laws of the Feynman lectures
(named by their place there, I.9.18 and so on) of 4 to 9 inputs, sampled on
the ranges of the Feynman database; the wider boxes keep to where the law
is defined (speeds below c, denominators away from 0).

Two rows of real data, on a fixed 25% held-out split (scikit-learn's
train_test_split, random_state 31): the diabetes data (R²) and the
breast-cancer data (accuracy), beside scikit-learn's LinearRegression and
a standardised LogisticRegression on the same split.

Peers: pyoperon and gplearn, run when installed (benchmark-only
dependencies: ``pip install pyoperon gplearn sympy``, or the extra vant[bench]), each
configured as its documentation recommends: pyoperon with the settings of
its README example (objectives R² and length, minimum description length
for the final model, Levenberg-Marquardt fitting of constants with
``optimizer_iterations`` 10 rather than the default 0, which switches it
off); gplearn with the settings of its documentation's introductory example
(population 5000, parsimony 0.01, ...), grown a generation at a time until
the budget is spent, as it has no time limit of its own.  pyoperon has no
classifier: on the breast-cancer data it regresses the labels and its
prediction is thresholded at 0.5.  Categorical columns reach the peers
one-hot encoded.

Laws marked periodic need the sin/cos element types, and every system gets
sin and cos on them only.

    python benchmarks/bench_recovery.py --budget 5 --laws parallel,hypot --systems vant
    python benchmarks/bench_recovery.py --budget 10 --laws I.18.4,diabetes --seeds 1
    nice python benchmarks/bench_recovery.py --budget 30 --threads 2 --seeds 1,2 --json out.json
    nice python benchmarks/bench_recovery.py --budget 30 --systems pyoperon,gplearn --json out.json --resume
"""

from __future__ import annotations

import argparse
import contextlib
import functools
import json
import math
import signal
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
REAL_SPLIT_SEED = 31


@functools.cache
def _sympy():
    import sympy
    return sympy


@dataclass
class Law:
    name: str
    text: str | None                  # the law in sympy's notation (None: `formula` alone)
    box: dict                         # variable -> (low, high) of the training box
    wide: dict                        # variable -> (low, high) of the wider box
    noise: float = 0.0                # noise sd as a share of the target's sd
    categories: dict = field(default_factory=dict)   # categorical column -> {category: value}
    periodic: bool = False
    formula: object = None            # numpy function of the columns, where `text` cannot say it

    def __post_init__(self):
        if self.formula is None:
            self.formula = _numpy_function(self.text, tuple(self.box))

    def expression(self):
        """The law as a sympy expression of the columns, numbers as floats
        (so that 1.5*x in a model meets 3*x/2 in the law)."""
        sympy = _sympy()
        return sympy.sympify(self.text, locals=_symbols(self.box)).evalf()

    def sample(self, rng, n, wide=False):
        ranges = self.wide if wide else self.box
        data = {v: rng.uniform(lo, hi, n) for v, (lo, hi) in ranges.items()}
        for column, table in self.categories.items():
            data[column] = rng.choice(sorted(table), n)
        return data, self.formula(data)


def _symbols(names) -> dict:
    sympy = _sympy()
    return {name: sympy.Symbol(name) for name in names}


def _numpy_function(text: str, names: tuple):
    sympy = _sympy()
    function = sympy.lambdify([sympy.Symbol(n) for n in names], sympy.sympify(text, locals=_symbols(names)), "numpy")
    return lambda d: np.asarray(function(*(d[n] for n in names)), dtype=np.float64)


def _boxes(names: str, low: float, high: float) -> dict:
    return {name: (low, high) for name in names.split()}


def _cat(table, column):
    return lambda d: np.array([table[c] for c in d[column]])


_GAIN = {"a": 1.0, "b": 2.5, "c": -1.5}
_SHIFT = {"lo": 0.5, "mid": 2.0, "hi": 3.5}

LAWS = [
    Law("nguyen1", "x**3 + x**2 + x", {"x": (-1, 1)}, {"x": (-2, 2)}),
    Law("nguyen7", "log(x + 1) + log(x**2 + 1)", {"x": (0, 2)}, {"x": (0, 4)}),
    Law("nguyen12", "x**4 - x**3 + y**2/2 - y", _boxes("x y", -1, 1), _boxes("x y", -2, 2)),
    Law("keijzer14", "8/(2 + x**2 + y**2)", _boxes("x y", -3, 3), _boxes("x y", -6, 6)),
    Law("kepler", "a**(3/2)", {"a": (0.5, 3)}, {"a": (0.2, 6)}),
    Law("coulomb", "q1*q2/(4*pi*e*r**2)", _boxes("q1 q2 e r", 1, 5), _boxes("q1 q2 e r", 0.5, 10)),
    Law("normal", "exp(-t**2/2)/sqrt(2*pi)", {"t": (-3, 3)}, {"t": (-5, 5)}),
    Law("parallel", "1/(1/a + 1/b)", _boxes("a b", 1, 5), _boxes("a b", 0.5, 10)),
    Law("hypot", "sqrt(a**2 + b**2)", _boxes("a b", -3, 3), _boxes("a b", -6, 6)),
    Law("power", "x**y", {"x": (1, 3), "y": (0.5, 2)}, {"x": (0.5, 5), "y": (0, 3)}),
    Law("pendulum", "2*pi*sqrt(L/g)", {"L": (0.5, 2), "g": (5, 15)}, {"L": (0.2, 4), "g": (2, 25)}),
    Law("kinetic", "m*v**2/2", {"m": (1, 5), "v": (-3, 3)}, {"m": (0.5, 10), "v": (-6, 6)}),
    Law("relmass", "m/sqrt(1 - v**2)", {"m": (1, 5), "v": (0, 0.8)}, {"m": (0.5, 10), "v": (0, 0.95)}),
    Law("gas", "8.314*n*T/V", {"n": (1, 3), "T": (200, 400), "V": (1, 5)},
        {"n": (0.5, 6), "T": (100, 600), "V": (0.5, 10)}),
    Law("decay", "N0*exp(-t/tau)", {"N0": (1, 5), "t": (0, 5), "tau": (1, 5)},
        {"N0": (0.5, 10), "t": (0, 10), "tau": (0.5, 10)}),
    Law("veladd", "(u + v)/(1 + u*v)", _boxes("u v", -0.5, 0.5), _boxes("u v", -0.9, 0.9)),
    Law("logistic", "1/(1 + exp(-x))", {"x": (-4, 4)}, {"x": (-8, 8)}),
    Law("planck", "x**3/(exp(x) - 1)", {"x": (0.5, 5)}, {"x": (0.2, 10)}),
    Law("distance", "sqrt((x1 - x2)**2 + (y1 - y2)**2)", _boxes("x1 x2 y1 y2", 0, 2), _boxes("x1 x2 y1 y2", -2, 4)),
    Law("coulomb_noisy", "q1*q2/(4*pi*e*r**2)", _boxes("q1 q2 e r", 1, 5), _boxes("q1 q2 e r", 0.5, 10),
        noise=0.01),
    Law("parallel_noisy", "1/(1/a + 1/b)", _boxes("a b", 1, 5), _boxes("a b", 0.5, 10), noise=0.01),
    Law("cat_gain", None, {"x": (-2, 2)}, {"x": (-4, 4)}, categories={"c": _GAIN},
        formula=lambda d: _cat(_GAIN, "c")(d) * d["x"] ** 2),
    Law("cat_shift", None, {"x": (0, 2)}, {"x": (0, 5)}, categories={"c": _SHIFT},
        formula=lambda d: 1 / (_cat(_SHIFT, "c")(d) + d["x"])),
    Law("nguyen5", "sin(x**2)*cos(x) - 1", {"x": (-1, 1)}, {"x": (-2, 2)}, periodic=True),
    Law("nguyen10", "2*sin(x)*cos(y)", _boxes("x y", 0, 1), _boxes("x y", -1, 2), periodic=True),
    Law("damped", "exp(-t/2)*cos(3*t)", {"t": (0, 4)}, {"t": (0, 8)}, periodic=True),
    # The Feynman lectures, 4 to 9 inputs.
    Law("I.9.18", "G*m1*m2/((x2 - x1)**2 + (y2 - y1)**2 + (z2 - z1)**2)",
        {**_boxes("G m1 m2", 1, 2), **_boxes("x1 y1 z1", 3, 4), **_boxes("x2 y2 z2", 1, 2)},
        {**_boxes("G m1 m2", 0.5, 4), **_boxes("x1 y1 z1", 3, 5), **_boxes("x2 y2 z2", 0, 2)}),
    Law("I.10.7", "m0/sqrt(1 - v**2/c**2)", {"m0": (1, 5), "v": (1, 2), "c": (3, 10)},
        {"m0": (0.5, 10), "v": (0.5, 2.5), "c": (3, 15)}),
    Law("I.11.19", "x1*y1 + x2*y2 + x3*y3", _boxes("x1 x2 x3 y1 y2 y3", 1, 5), _boxes("x1 x2 x3 y1 y2 y3", 0.5, 10)),
    Law("I.13.12", "G*m1*m2*(1/r2 - 1/r1)", _boxes("G m1 m2 r1 r2", 1, 5), _boxes("G m1 m2 r1 r2", 0.5, 10)),
    Law("I.15.3x", "(x - u*t)/sqrt(1 - u**2/c**2)", {"x": (5, 10), "u": (1, 2), "c": (3, 20), "t": (1, 2)},
        {"x": (2, 20), "u": (0.5, 2.5), "c": (3, 30), "t": (0.5, 4)}),
    Law("I.18.4", "(m1*r1 + m2*r2)/(m1 + m2)", _boxes("m1 m2 r1 r2", 1, 5), _boxes("m1 m2 r1 r2", 0.5, 10)),
    Law("I.24.6", "m*(omega**2 + omega0**2)*x**2/4", _boxes("m omega omega0 x", 1, 3),
        _boxes("m omega omega0 x", 0.5, 6)),
    Law("I.32.17", "epsilon*c*Ef**2*8*pi*r**2/3*omega**4/(omega**2 - omega0**2)**2/2",
        {**_boxes("epsilon c Ef r omega", 1, 2), "omega0": (3, 5)},
        {**_boxes("epsilon c Ef r", 0.5, 4), "omega": (0.5, 2.5), "omega0": (3, 6)}),
    Law("I.40.1", "n0*exp(-m*g*x/(kb*T))", _boxes("n0 m g x kb T", 1, 5), _boxes("n0 m g x kb T", 0.5, 10)),
    Law("I.44.4", "n*kb*T*log(V2/V1)", _boxes("n kb T V1 V2", 1, 5), _boxes("n kb T V1 V2", 0.5, 10)),
    Law("II.2.42", "kappa*(T2 - T1)*A/d", _boxes("kappa T1 T2 A d", 1, 5), _boxes("kappa T1 T2 A d", 0.5, 10)),
    Law("II.6.15a", "p/(4*pi*epsilon)*3*z/r**5*sqrt(x**2 + y**2)", _boxes("p epsilon r x y z", 1, 3),
        _boxes("p epsilon r x y z", 0.5, 6)),
    Law("II.11.3", "q*Ef/(m*(omega0**2 - omega**2))", {**_boxes("q Ef m", 1, 3), "omega0": (3, 5), "omega": (1, 2)},
        {**_boxes("q Ef m", 0.5, 6), "omega0": (3, 7), "omega": (0.5, 2.5)}),
    Law("II.11.27", "n*alpha/(1 - n*alpha/3)*epsilon*Ef", {**_boxes("n alpha", 0, 1), **_boxes("epsilon Ef", 1, 2)},
        {**_boxes("n alpha", 0, 1.3), **_boxes("epsilon Ef", 0.5, 4)}),
    Law("II.21.32", "q/(4*pi*epsilon*r*(1 - v/c))", {**_boxes("q epsilon r v", 1, 2), "c": (3, 10)},
        {**_boxes("q epsilon r", 0.5, 4), "v": (0.5, 2.5), "c": (3, 15)}),
    Law("II.35.18", "n0/(exp(mu*B/(kb*T)) + exp(-mu*B/(kb*T)))", _boxes("n0 mu B kb T", 1, 5),
        _boxes("n0 mu B kb T", 0.7, 7)),
    Law("II.36.38", "mu*H/(kb*T) + mu*alpha*M/(epsilon*c**2*kb*T)", _boxes("mu H kb T alpha epsilon c M", 1, 3),
        _boxes("mu H kb T alpha epsilon c M", 0.5, 6)),
    Law("III.4.33", "hbar*omega/(exp(hbar*omega/(kb*T)) - 1)", _boxes("hbar omega kb T", 1, 5),
        _boxes("hbar omega kb T", 0.5, 10)),
    Law("III.10.19", "mu*sqrt(Bx**2 + By**2 + Bz**2)", _boxes("mu Bx By Bz", 1, 5), _boxes("mu Bx By Bz", 0.5, 10)),
]

REAL = ("diabetes", "cancer")


# ---------------------------------------------------------------------------
# Systems: fit(train columns, target, budget, threads, seed) -> (predict, sympy expression)


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


def _vant_sympy(text: str, columns):
    """vant's printed formula as sympy reads it."""
    sympy = _sympy()
    names = {**_symbols(columns), "cat": sympy.Function("cat"), "sigmoid": sympy.Function("sigmoid"),
             "tanh": sympy.tanh, "exp": sympy.exp, "log": sympy.log, "sqrt": sympy.sqrt,
             "sin": sympy.sin, "cos": sympy.cos, "abs": sympy.Abs}
    for k in range(2, 6):
        names[f"cat{k}"] = sympy.Function(f"cat{k}")
    return sympy.sympify(text, locals=names)


def fit_vant(data, law, budget, threads, seed):
    import vant
    columns = dict(data)
    # Like the peers, vant gets sin and cos on the periodic laws only.
    operators = ["default", "sin", "cos"] if law.periodic else None
    model = vant.search(columns, TARGET, seed=seed, time_limit=budget, n_jobs=threads, top=1,
                        operators=operators)[0]
    return model.predict, _vant_sympy(model.expression, columns), model


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


def _pyoperon(budget, threads, seed, periodic=False):
    """pyoperon's regressor with the settings of its README example, its
    constants fitted (optimizer_iterations > 0), and the budget as its time
    limit."""
    from pyoperon.sklearn import SymbolicRegressor
    symbols = "add,sub,mul,div,constant,variable,exp,log,sqrt,square,tanh" + (",sin,cos" if periodic else "")
    return SymbolicRegressor(
        allowed_symbols=symbols, brood_size=10, comparison_factor=0, crossover_internal_probability=0.9,
        crossover_probability=1.0, epsilon=1e-05, female_selector="tournament", male_selector="tournament",
        generations=10**9, initialization_max_depth=5, initialization_max_length=10, initialization_method="btc",
        irregularity_bias=0.0, optimizer="lm", optimizer_iterations=10, max_depth=10, max_evaluations=10**12,
        max_length=50, max_selection_pressure=100, model_selection_criterion="minimum_description_length",
        mutation_probability=0.25, objectives=["r2", "length"], offspring_generator="basic", pool_size=1000,
        population_size=1000, reinserter="keep-best", tournament_size=3, uncertainty=[1],
        add_model_intercept_term=True, add_model_scale_term=True,
        n_threads=threads, max_time=max(1, int(budget)), random_state=seed)


def fit_pyoperon(data, law, budget, threads, seed):
    sympy = _sympy()
    x, names = _matrix(data, law)
    regressor = _pyoperon(budget, threads, seed, law.periodic)
    regressor.fit(x, data[TARGET])
    text = regressor.get_model_string(regressor.model_, 6, names)
    expression = sympy.sympify(text, locals=_symbols(names))
    return (lambda d: regressor.predict(_matrix(d, law)[0])), expression, None


# gplearn's introductory example (its documentation's recommended start).
_GPLEARN_SETTINGS = dict(population_size=5000, stopping_criteria=0.01, p_crossover=0.7, p_subtree_mutation=0.1,
                         p_hoist_mutation=0.05, p_point_mutation=0.1, max_samples=0.9, parsimony_coefficient=0.01)


def _grown(estimator, x, y, budget):
    """gplearn fitted a generation at a time (warm start) while the next
    generation is likely to end within the budget."""
    started, generations = time.monotonic(), 1
    while True:
        estimator.set_params(generations=generations)
        estimator.fit(x, y)
        spent = time.monotonic() - started
        if spent * (generations + 1) / generations > budget or estimator._program.raw_fitness_ <= \
                estimator.stopping_criteria:
            return estimator
        generations += 1


def fit_gplearn(data, law, budget, threads, seed):
    from gplearn.genetic import SymbolicRegressor
    sympy = _sympy()
    functions = ["add", "sub", "mul", "div", "sqrt", "log", "neg", "inv"]
    if law.periodic:
        functions += ["sin", "cos"]
    x, names = _matrix(data, law)
    regressor = _grown(SymbolicRegressor(generations=1, warm_start=True, n_jobs=threads, function_set=functions,
                                         random_state=seed, **_GPLEARN_SETTINGS), x, data[TARGET], budget)
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
# Real data: (held-out figure, seconds, model text) of a system on a fixed split


@functools.cache
def real_split(name: str):
    from sklearn.datasets import load_breast_cancer, load_diabetes
    from sklearn.model_selection import train_test_split
    load = load_diabetes if name == "diabetes" else load_breast_cancer
    x, y = load(return_X_y=True, as_frame=True)
    x.columns = [c.replace(" ", "_") for c in x.columns]
    return train_test_split(x, y, test_size=0.25, random_state=REAL_SPLIT_SEED)


def _figure(name: str, y, predicted) -> float:
    from sklearn.metrics import accuracy_score, r2_score
    return float(r2_score(y, predicted) if name == "diabetes" else accuracy_score(y, predicted))


def run_real(name: str, system: str, budget: float, threads: int, seed: int) -> dict:
    x_train, x_test, y_train, y_test = real_split(name)
    started = time.monotonic()
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        predicted, text = REAL_SYSTEMS[system](name, x_train, y_train, x_test, budget, threads, seed)
    return {"law": name, "system": system, "seed": seed, "seconds": round(time.monotonic() - started, 2),
            "figure": _figure(name, y_test, predicted), "expression": text}


def real_vant(name, x_train, y_train, x_test, budget, threads, seed):
    from vant import SymbolicClassifier, SymbolicRegressor
    estimator = SymbolicRegressor if name == "diabetes" else SymbolicClassifier
    model = estimator(time_limit=budget, n_jobs=threads, random_state=seed).fit(x_train, y_train)
    return model.predict(x_test), f"[{model.best_model_.metrics.get('stopped')}] {model.best_model_.expression}"


def real_pyoperon(name, x_train, y_train, x_test, budget, threads, seed):
    # pyoperon's least-squares step refuses read-only arrays, and pandas
    # hands out a frame's values as a read-only view: a copy for it.
    def matrix(frame):
        return np.array(frame, dtype=np.float64)

    regressor = _pyoperon(budget, threads, seed).fit(matrix(x_train), np.array(y_train, dtype=np.float64))
    predicted = regressor.predict(matrix(x_test))
    text = regressor.get_model_string(regressor.model_, 4, list(x_train.columns))
    return (predicted if name == "diabetes" else (predicted > 0.5).astype(int)), text


def real_gplearn(name, x_train, y_train, x_test, budget, threads, seed):
    from gplearn.genetic import SymbolicClassifier, SymbolicRegressor
    if name == "diabetes":
        estimator = SymbolicRegressor(generations=1, warm_start=True, n_jobs=threads, random_state=seed,
                                      **_GPLEARN_SETTINGS)
    else:   # the settings of its classifier's example
        estimator = SymbolicClassifier(generations=1, warm_start=True, n_jobs=threads, random_state=seed,
                                       parsimony_coefficient=0.01)
    fitted = _grown(estimator, x_train.to_numpy(), y_train.to_numpy(), budget)
    return fitted.predict(x_test.to_numpy()), str(fitted._program)


def real_linear(name, x_train, y_train, x_test, budget, threads, seed):
    from sklearn.linear_model import LinearRegression, LogisticRegression
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import StandardScaler
    model = LinearRegression() if name == "diabetes" else make_pipeline(StandardScaler(), LogisticRegression())
    return model.fit(x_train, y_train).predict(x_test), type(model).__name__


REAL_SYSTEMS = {"vant": real_vant, "pyoperon": real_pyoperon, "gplearn": real_gplearn, "linear": real_linear}


# ---------------------------------------------------------------------------


def r2(truth, predicted) -> float:
    predicted = np.asarray(predicted, dtype=np.float64)
    if predicted.shape != truth.shape or not np.all(np.isfinite(predicted)):
        return -math.inf
    return float(1.0 - np.mean((truth - predicted) ** 2) / np.var(truth))


class _OutOfTime(Exception):
    pass


@contextlib.contextmanager
def _time_limit(seconds: float):
    def expire(signum, frame):
        raise _OutOfTime()
    previous = signal.signal(signal.SIGALRM, expire)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def _on_domain(expression, law: Law):
    """The expression with its inputs as real symbols, and positive where
    both of the law's boxes are: sympy then knows, for every system alike,
    that sqrt(L)*sqrt(1/g) is sqrt(L/g) and exp(y*log(x)) is x**y there."""
    sympy = _sympy()
    positive = {v for v in law.box if min(law.box[v][0], law.wide[v][0]) >= 0}
    return expression.xreplace({s: sympy.Symbol(s.name, positive=True) if s.name in positive
                                else sympy.Symbol(s.name, real=True) for s in expression.free_symbols})


def symbolic_solution(model, law: Law, seconds: float) -> bool | None:
    """SRBench's criterion: sympy finds model - law or model / law (not 0)
    constant, within `seconds`; None where the law has no sympy form."""
    if law.text is None:
        return None
    sympy = _sympy()
    truth = _on_domain(law.expression(), law)
    model = _on_domain(model, law)
    def exact(expression):
        # Each float as the rational it is exactly (0.5 is 1/2, nothing is
        # rounded), and tanh as exponentials, which is all that tells
        # 0.5*tanh(0.5*x) + 0.5 from 1/(1 + exp(-x)).
        rational = sympy.nsimplify(expression, rational=True, rational_conversion="exact")
        return rational.rewrite(sympy.tanh, sympy.exp)

    try:
        with _time_limit(seconds):
            return _settles(sympy, model, truth) or _settles(sympy, exact(model), exact(truth))
    except (_OutOfTime, RecursionError, TypeError, ValueError, ZeroDivisionError):
        return False


def _settles(sympy, model, truth) -> bool:
    if not sympy.simplify(model - truth).free_symbols:
        return True
    ratio = sympy.simplify(model / truth)
    return not ratio.free_symbols and ratio != 0


def run_one(law: Law, system: str, budget: float, threads: int, seed: int, sympy_seconds: float) -> dict:
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
               "size": size_of(expression), "expression": str(expression),
               "symbolic": symbolic_solution(expression, law, sympy_seconds)}
    if model is not None:
        row["rounds"] = model.metrics.get("rounds")
        row["stopped"] = model.metrics.get("stopped")
        row["clamped"] = model.metrics.get("clamp_active")
    return row


def summary(rows: list[dict], systems: list[str]) -> str:
    laws = [r for r in rows if r["law"] not in REAL]
    lines = [f"{'':28}" + "".join(f"{s:>12}" for s in systems)]
    by = {s: [r for r in laws if r["system"] == s] for s in systems}

    def line(label, value):
        lines.append(f"{label:28}" + "".join(f"{value(by[s]):>12}" for s in systems))

    def judged(rs):
        return [r for r in rs if r["symbolic"] is not None]

    line(f"R2 >= {EXACT} held out", lambda rs: f"{sum(r['r2_test'] >= EXACT for r in rs)}/{len(rs)}")
    line("holds on wider box", lambda rs: f"{sum(r['r2_wide'] >= HOLDS for r in rs)}/{len(rs)}")
    line("symbolic solution", lambda rs: f"{sum(bool(r['symbolic']) for r in judged(rs))}/{len(judged(rs))}")
    line("median size", lambda rs: f"{statistics.median(r['size'] for r in rs):.0f}" if rs else "-")
    line("median seconds", lambda rs: f"{statistics.median(r['seconds'] for r in rs):.1f}" if rs else "-")
    for name, label in (("diabetes", "diabetes R2"), ("cancer", "breast cancer accuracy")):
        real = [r for r in rows if r["law"] == name]
        if real:
            shown = [*systems, "linear"]
            figures = {s: [r["figure"] for r in real if r["system"] == s] for s in shown}
            lines.append(f"{label + ' (mean)':28}" + "".join(
                f"{statistics.mean(figures[s]):>12.3f}" if figures[s] else f"{'-':>12}" for s in shown)
                + "   (last column: linear baseline)")
    return "\n".join(lines)


def _print_row(row: dict) -> None:
    text = row["expression"] if len(row["expression"]) < 70 else row["expression"][:67] + "..."
    if "figure" in row:
        print(f"{row['law']:16}{row['system']:10}{row['seed']:>5}{row['figure']:>12.4f}{'':12}{'':6}"
              f"{row['seconds']:>7.1f}  {text}", flush=True)
        return
    mark = {True: "sym", False: "", None: "n/a"}[row["symbolic"]]
    print(f"{row['law']:16}{row['system']:10}{row['seed']:>5}{row['r2_test']:>12.7f}{row['r2_wide']:>12.5f}"
          f"{row['size']:>6}{row['seconds']:>7.1f}{mark:>5}  {text}", flush=True)


def _earlier_rows(path: str, budget: float, threads: int) -> list[dict]:
    """The rows of an earlier run with the same budget and threads, from
    its --json file (none when there is no file yet)."""
    try:
        with open(path) as f:
            rows = json.load(f)
    except FileNotFoundError:
        return []
    other = [row for row in rows if (row.get("budget"), row.get("threads")) != (budget, threads)]
    if other:
        sys.exit(f"{path} holds rows of another budget or thread count; give another --json file")
    return rows


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--budget", type=float, default=30.0, help="seconds per system and law")
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--seeds", default="1,2", help="comma-separated seeds")
    parser.add_argument("--laws", default="",
                        help="comma-separated law names, 'diabetes' and 'cancer' for the real data "
                             "(default: every law and both)")
    parser.add_argument("--systems", default="vant,pyoperon,gplearn")
    parser.add_argument("--sympy-seconds", type=float, default=10.0,
                        help="time sympy gets to settle whether a model is a symbolic solution")
    parser.add_argument("--json", default="", help="write every row to this file")
    parser.add_argument("--resume", action="store_true",
                        help="keep the rows already in the --json file and run only the others (a long run "
                             "can then be made in parts, and a peer's rows, which do not change with vant, kept)")
    args = parser.parse_args(argv)

    wanted = [name for name in args.laws.split(",") if name]
    unknown = set(wanted) - {law.name for law in LAWS} - set(REAL)
    if unknown:
        parser.error(f"unknown laws: {', '.join(sorted(unknown))}")
    laws = [law for law in LAWS if not wanted or law.name in wanted]
    real = [name for name in REAL if not wanted or name in wanted]
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

    print(f"budget {args.budget:g} s, {args.threads} threads, seeds {seeds}, {len(laws)} laws"
          + (f" and {', '.join(real)}" if real else ""))
    print(f"{'law':16}{'system':10}{'seed':>5}{'R2 test':>12}{'R2 wide':>12}{'size':>6}{'sec':>7}{'':>5}  model")
    if args.resume and not args.json:
        parser.error("--resume needs --json")
    rows = _earlier_rows(args.json, args.budget, args.threads) if args.resume else []
    done = {(row["law"], row["system"], row["seed"]) for row in rows}

    def keep(row):
        row.update(budget=args.budget, threads=args.threads)
        rows.append(row)
        _print_row(row)
        if args.json:
            with open(args.json, "w") as f:
                json.dump(rows, f, indent=1)

    for row in rows:
        _print_row(row)
    for law in laws:
        for seed in seeds:
            for system in systems:
                if (law.name, system, seed) not in done:
                    keep(run_one(law, system, args.budget, args.threads, seed, args.sympy_seconds))
    for name in real:
        if (name, "linear", 0) not in done:
            keep(run_real(name, "linear", args.budget, args.threads, 0))
        for seed in seeds:
            for system in systems:
                if (name, system, seed) not in done:
                    keep(run_real(name, system, args.budget, args.threads, seed))
    print()
    print(summary(rows, systems))
    return 0


if __name__ == "__main__":
    sys.exit(main())
