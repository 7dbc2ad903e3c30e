"""The program search: sample programs, train them, score them, learn.

Each round asks a `_kestor.KCell` (which forwards to `ProgramCollection`)
for new candidate programs, trains every candidate with `Model._fit` over
several passes of the training data on all cores, scores it on held-out
data (the loss plus a penalty for size, as an information criterion),
trains the best ones further, and feeds the scores back to the cell so that
later rounds favour the structures and inputs that did well.
"""

from __future__ import annotations

import math
import os
import time
from collections.abc import Mapping
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from typing import Any

import numpy as np

import _kestor

from ._basealgo._programcollection import (
    DEFAULT_MAX_ELEMENTS, MAX_ELEMENTS, check_program, operand_indices, program_key, simplifications,
    subtree_end,
)
from ._expression import EncodedColumn, evaluate_elements, link_and_jacobian, namespace, render

KINDS = {
    "regression": ("out-linear:1", "squared_error"),
    "classification": ("out-lr:1", "binary_cross_entropy"),
}
NUMERIC = "in-linear:0"
CATEGORICAL = "in-cat:0"

# Parents whose operand must stay positive to be useful: their leaves start
# with a positive bias.
_POSITIVE_DOMAIN = frozenset(("log:1", "sqrt:1", "inverse:1"))

# Learned preferences drift back toward the starting ones by this share a round,
# so that an early favourite cannot shut the others out for good.
_DECAY_PER_ROUND = 0.05


# ---------------------------------------------------------------------------
# Data


def _columns_of(data) -> dict[str, np.ndarray]:
    """One-dimensional arrays by column name from a mapping or a DataFrame."""
    if hasattr(data, "columns") and hasattr(data, "to_numpy") and not isinstance(data, Mapping):
        return {str(name): _series_values(data[name]) for name in data.columns}
    if not isinstance(data, Mapping):
        raise TypeError("data must map column names to one-dimensional arrays (or be a pandas DataFrame)")
    columns = {}
    for name, values in data.items():
        if not isinstance(name, str) or not name:
            raise ValueError(f"column names must be non-empty strings, not {name!r}")
        columns[name] = _series_values(values)
    return columns


def _series_values(values) -> np.ndarray:
    if hasattr(values, "to_numpy") and not isinstance(values, np.ndarray):
        dtype = getattr(values, "dtype", None)
        if dtype is not None and getattr(dtype, "name", "") == "category":
            return values.to_numpy(dtype=object)
        values = values.to_numpy()
    array = np.asarray(values)
    if array.ndim != 1:
        raise ValueError("every column must be one-dimensional")
    return array


def _column_kind(name: str, values: np.ndarray, categorical: set[str]) -> str:
    if name in categorical or values.dtype.kind in "OUS":
        return CATEGORICAL
    if values.dtype.kind in "biuf":
        return NUMERIC
    raise ValueError(f"column {name!r} has dtype {values.dtype}, which is neither numeric nor categorical")


def prepare_inputs(columns: Mapping[str, np.ndarray], kinds: Mapping[str, str]) -> dict[str, np.ndarray]:
    """The arrays a Model reads: float64 for numeric inputs, objects for categories."""
    prepared = {}
    n = None
    for name, kind in kinds.items():
        if name not in columns:
            raise KeyError(f"missing data column {name!r}")
        values = _series_values(columns[name])
        if kind == NUMERIC:
            if values.dtype.kind not in "biuf":
                raise ValueError(f"column {name!r} must be numeric, not {values.dtype}")
            values = np.ascontiguousarray(values, dtype=np.float64)
            if not np.all(np.isfinite(values)):
                raise ValueError(f"column {name!r} contains NaN or infinite values")
        else:
            values = values.astype(object) if values.dtype.kind != "O" else values
            _check_hashable(name, values)
        if n is not None and len(values) != n:
            raise ValueError("all columns must have the same length")
        n = len(values)
        prepared[name] = values
    return prepared


def _check_hashable(name: str, values: np.ndarray) -> None:
    try:
        for v in values.tolist():
            hash(v)
    except TypeError as error:
        raise ValueError(f"column {name!r} holds a value that cannot be a category: {error}") from None


@dataclass
class _Split:
    """Training and held-out parts of the prepared data."""
    x: dict[str, np.ndarray]
    encoded: dict[str, Any]  # like x, categorical columns encoded for numpy evaluation
    y: np.ndarray
    weights: np.ndarray | None

    @property
    def n(self) -> int:
        return len(self.y)


def _subset(x, y, weights, indices) -> _Split:
    part = {name: np.ascontiguousarray(values[indices]) for name, values in x.items()}
    encoded = {name: EncodedColumn(values) if values.dtype.kind == "O" else values for name, values in part.items()}
    return _Split(part, encoded, np.ascontiguousarray(y[indices]),
                  None if weights is None else np.ascontiguousarray(weights[indices]))


# ---------------------------------------------------------------------------
# Scoring


def _weighted_mean(values: np.ndarray, weights: np.ndarray | None) -> float:
    if weights is None:
        return float(np.mean(values))
    return float(np.sum(values * weights) / np.sum(weights))


def _losses(kind: str, y: np.ndarray, predicted: np.ndarray, weights) -> dict[str, float]:
    if kind == "regression":
        mse = _weighted_mean((y - predicted) ** 2, weights)
        mean = _weighted_mean(y, weights)
        variance = _weighted_mean((y - mean) ** 2, weights)
        r2 = 1.0 - mse / variance if variance > 0.0 else float("nan")
        return {"loss": mse, "mse": mse, "r2": r2}
    p = np.clip(predicted, 1e-12, 1.0 - 1e-12)
    bce = _weighted_mean(-(y * np.log(p) + (1.0 - y) * np.log1p(-p)), weights)
    accuracy = _weighted_mean(((predicted >= 0.5) == (y >= 0.5)).astype(np.float64), weights)
    return {"loss": bce, "binary_cross_entropy": bce, "accuracy": accuracy}


def _score(kind: str, loss: float, size: int, n: int, penalty: float, floor: float = 1e-300) -> float:
    """Bayesian information criterion of a held-out loss; lower is better.

    floor: the smallest squared error that counts; below it differences are
    rounding, which must not outweigh the size of a formula.
    """
    if not math.isfinite(loss):
        return math.inf
    if kind == "regression":
        fit = n * math.log(max(loss, floor))
    else:
        fit = 2.0 * n * loss
    return fit + penalty * size * math.log(max(n, 2))


# ---------------------------------------------------------------------------
# Found models


@dataclass
class FoundModel:
    """A trained program found by `search`.

    expression: the formula with the fitted constants folded in, 4
      significant digits; `formula(None)` writes every constant exactly.
    loss: held-out loss (mean squared error, or binary cross-entropy).
    size: number of elements of the program.
    params: one parameter dictionary per element; with `dnames` and `fnames`
      they rebuild the `_kestor.Model` (see `model()` and `from_params`).
    metrics: held-out figures ("r2" or "accuracy", among others).
    tables: the lookup tables behind the ``cat(...)`` calls of `expression`.
    """
    dnames: list[str]
    fnames: list[str]
    params: list[dict]
    kind: str = "regression"
    sample_count: int = 0
    loss: float = math.nan
    score: float = math.nan
    metrics: dict = field(default_factory=dict)
    classes: tuple | None = None
    expression: str = ""
    tables: list = field(default_factory=list)

    def __post_init__(self) -> None:
        check_program(self.dnames, self.fnames)
        if self.kind not in KINDS:
            raise ValueError(f"kind must be one of {sorted(KINDS)}, not {self.kind!r}")
        if self.fnames[0] != KINDS[self.kind][0]:
            raise ValueError(f"a {self.kind} model has the root {KINDS[self.kind][0]!r}")
        if len(self.params) != len(self.fnames):
            raise ValueError("one parameter dictionary per element is needed")
        if not self.expression:
            rendered = render(self.dnames, self.fnames, self.params)
            self.expression, self.tables = rendered.text, rendered.tables

    @classmethod
    def from_params(cls, dnames, fnames, params, kind="regression", sample_count=0, classes=None) -> FoundModel:
        """Rebuild a found model from its plain lists (as `to_dict` writes them)."""
        return cls(list(dnames), list(fnames), [dict(p) for p in params], kind, int(sample_count),
                   classes=None if classes is None else tuple(classes))

    def to_dict(self) -> dict:
        """The plain data that `from_params(**d)` takes back."""
        return {"dnames": list(self.dnames), "fnames": list(self.fnames),
                "params": [dict(p) for p in self.params], "kind": self.kind,
                "sample_count": self.sample_count,
                "classes": None if self.classes is None else list(self.classes)}

    @property
    def size(self) -> int:
        return len(self.fnames)

    @property
    def target(self) -> str:
        return self.dnames[0]

    @property
    def inputs(self) -> dict[str, str]:
        """Input column name -> register type."""
        return {d: f for d, f in zip(self.dnames, self.fnames) if f in (NUMERIC, CATEGORICAL)}

    def model(self) -> _kestor.Model:
        """A new `_kestor.Model` built from the parameters."""
        return _kestor.Model(list(self.dnames), list(self.fnames), [dict(p) for p in self.params],
                             int(self.sample_count), KINDS[self.kind][1])

    def predict(self, data) -> np.ndarray:
        """Predictions for every row of `data` (a mapping of columns or a
        DataFrame): values for regression, for classification the probability
        of the second class in `classes`."""
        x = prepare_inputs(_columns_of(data), self.inputs)
        return self.model().predict(x)

    def predict_class(self, data) -> np.ndarray:
        """Classification only: the more probable class of every row."""
        if self.kind != "classification":
            raise ValueError("predict_class is for classification models")
        classes = self.classes if self.classes is not None else (0, 1)
        positive = self.predict(data) >= 0.5
        return np.where(positive, np.asarray(classes[1], dtype=object), np.asarray(classes[0], dtype=object))

    def formula(self, digits: int | None = None) -> str:
        """The expression with `digits` significant digits (None: exact)."""
        return render(self.dnames, self.fnames, self.params, digits).text

    def evaluate_formula(self, data, digits: int | None = None) -> np.ndarray:
        """Evaluate the text of `formula(digits)` with numpy (for checking it).

        The text has no clamps, so it equals `predict` only where no element
        clamps its operand.  Only inputs whose names are Python identifiers
        can be evaluated.
        """
        rendered = render(self.dnames, self.fnames, self.params, digits)
        columns = prepare_inputs(_columns_of(data), self.inputs)
        with np.errstate(all="ignore"):
            value = eval(rendered.text, {}, namespace(rendered.tables, columns, self.inputs))
        n = len(next(iter(columns.values())))
        return np.broadcast_to(np.asarray(value, dtype=np.float64), (n,)).copy()

    def __str__(self) -> str:
        lines = [f"{self.target} = {self.expression}"]
        lines += [f"  where {table}" for table in self.tables]
        return "\n".join(lines)

    def __repr__(self) -> str:
        return f"FoundModel(expression={self.expression!r}, loss={self.loss:.6g}, size={self.size})"


# ---------------------------------------------------------------------------
# Candidates


@dataclass
class _Candidate:
    key: str
    dnames: list[str]
    fnames: list[str]
    params: list[dict] | None = None  # best parameters found (output register refitted)
    losses: dict = field(default_factory=dict)
    score: float = math.inf
    refinements: int = 0
    samples: int = 0              # training samples behind `params`


@dataclass
class _Setup:
    kind: str
    output_type: str
    loss_name: str
    kinds: dict[str, str]
    train: _Split
    valid: _Split
    input_scales: dict[str, tuple[float, float]]
    target_scale: float
    categories: dict[str, list]
    penalty: float
    polish: _Split | None = None  # the training rows the polish works on
    error_floor: float = 1e-300   # squared errors below this count as exact


def _scale_of(values: np.ndarray) -> tuple[float, float]:
    """The numeric input register's own scale detection (min..max to -1..1)."""
    high, low = float(np.max(values)), float(np.min(values))
    if high > low:
        scale = 2.0 / (high - low)
        return scale, high - 1.0 / scale
    return 1.0, 0.0


def _inherited(dnames, fnames, parents) -> dict[int, dict]:
    """Trained parameters for the parts of a program that are subtrees of a
    parent: {element index: parameters}.

    A new program is often a trained one with a term added or a piece
    changed; starting the shared pieces where the parent ended saves the
    training from finding them again.  Subtrees are tried largest first, and
    the parent that lends the most elements is used.
    """
    best: dict[int, dict] = {}
    for parent_dnames, parent_fnames, parent_params in parents:
        pieces = sorted(range(1, len(parent_fnames)),
                        key=lambda i: i - subtree_end(parent_fnames, i))  # largest first
        lent: dict[int, dict] = {}
        for start in pieces:
            end = subtree_end(parent_fnames, start)
            if end - start < 2 and lent:
                break
            piece_f, piece_d = list(parent_fnames[start:end]), list(parent_dnames[start:end])
            for at in range(1, len(fnames) - len(piece_f) + 1):
                taken = any(j in lent for j in range(at, at + len(piece_f)))
                if not taken and list(fnames[at:at + len(piece_f)]) == piece_f \
                        and list(dnames[at:at + len(piece_d)]) == piece_d:
                    lent.update({at + k: dict(parent_params[start + k]) for k in range(len(piece_f))})
                    break
        if len(lent) > len(best):
            best = lent
    return best


def _initial_params(setup: _Setup, dnames, fnames, rng: np.random.Generator,
                    inherited: dict[int, dict] | None = None) -> list[dict]:
    params: list[dict] = [{} for _ in fnames]
    parent_of = {}
    for i in range(len(fnames)):
        for j in operand_indices(fnames, i):
            parent_of[j] = fnames[i]
    for i, (dname, fname) in enumerate(zip(dnames, fnames)):
        if fname == NUMERIC:
            scale, offset = setup.input_scales[dname]
            w = rng.uniform(0.6, 1.4) * rng.choice((-1.0, 1.0))
            if parent_of.get(i) in _POSITIVE_DOMAIN:
                w, bias = abs(w), 1.5 * abs(w)
            else:
                bias = rng.uniform(-0.3, 0.3)
            params[i] = {"scale": scale, "scale_offset": offset, "w": w, "bias": bias, "detect_scale": 0}
        elif fname == CATEGORICAL:
            bias = 1.5 if parent_of.get(i) in _POSITIVE_DOMAIN else 1.0
            params[i] = {"categories": [(key, 0.0) for key in setup.categories[dname]], "bias": bias}
        elif fname == "linear:1":
            params[i] = {"w": rng.uniform(0.8, 1.2), "bias": 0.0}
        elif fname == "out-linear:1":
            params[i] = {"scale": setup.target_scale, "scale_offset": 0.0, "w": 1.0, "bias": 0.0, "detect_scale": 0}
        elif fname == "out-lr:1":
            params[i] = {"w": 1.0, "bias": 0.0}
    for i, lent in (inherited or {}).items():
        params[i] = dict(lent)
    _refit_output(setup, dnames, fnames, params)
    return params


def _refit_output(setup: _Setup, dnames, fnames, params) -> None:
    """Solve the output register's weight and bias for the current operand.

    The register is linear in them (before its logistic function), so the
    best values on the training data come from least squares (or a few
    Newton steps of logistic regression) instead of noisy sample steps.
    """
    train = setup.train
    a = evaluate_elements(dnames, fnames, params, train.encoded, exact=False)[1]
    if not np.all(np.isfinite(a)):
        return
    sw = np.ones(train.n) if train.weights is None else train.weights
    root = params[0]
    if fnames[0] == "out-linear:1":
        t = (train.y - root["scale_offset"]) / root["scale"]
        solved = _weighted_least_squares(a, t, sw)
    else:
        solved = _logistic_fit(a, train.y, sw, float(root["w"]), float(root["bias"]))
    if solved is not None:
        root["w"], root["bias"] = solved


def _weighted_least_squares(a, t, sw):
    total = float(np.sum(sw))
    if total <= 0.0:
        return None
    mean_a = float(np.sum(sw * a)) / total
    mean_t = float(np.sum(sw * t)) / total
    da = a - mean_a
    variance = float(np.sum(sw * da * da))
    if variance <= 1e-12 * total * max(1.0, mean_a * mean_a):
        return 0.0, mean_t
    w = float(np.sum(sw * da * (t - mean_t))) / variance
    b = mean_t - w * mean_a
    return (w, b) if math.isfinite(w) and math.isfinite(b) else None


def _logistic_fit(a, y, sw, w, b, iterations=12):
    total = float(np.sum(sw))
    if total <= 0.0:
        return None
    ridge = 1e-4 * total

    def objective(w, b):
        z = a * w + b
        return float(np.sum(sw * (np.logaddexp(0.0, z) - y * z))) + 0.5 * ridge * w * w

    current = objective(w, b)
    for _ in range(iterations):
        z = a * w + b
        p = 0.5 * (1.0 + np.tanh(0.5 * z))
        r = sw * (p - y)
        g = np.array([float(np.sum(r * a)) + ridge * w, float(np.sum(r))])
        h = sw * p * (1.0 - p)
        hessian = np.array([[float(np.sum(h * a * a)) + ridge, float(np.sum(h * a))],
                            [float(np.sum(h * a)), float(np.sum(h)) + 1e-9 * total]])
        try:
            step = np.linalg.solve(hessian, g)
        except np.linalg.LinAlgError:
            return None
        factor = 1.0
        while factor > 1e-4:
            nw, nb = w - factor * step[0], b - factor * step[1]
            value = objective(nw, nb)
            if value <= current:
                break
            factor *= 0.5
        else:
            break
        improvement = current - value
        w, b, current = nw, nb, value
        if improvement < 1e-10 * total:
            break
    return (w, b) if math.isfinite(w) and math.isfinite(b) else None


def _train(setup: _Setup, model, samples: int, rng: np.random.Generator) -> int:
    """Run `samples` training samples through `_fit`, in shuffled passes.

    Each call covers at most 10000 samples, so the learning rate follows
    its schedule (it is fixed within one call).
    """
    train = setup.train
    chunk = min(train.n, 10000)
    done = 0
    while done < samples:
        order = rng.permutation(train.n)
        for start in range(0, train.n, chunk):
            if done >= samples:
                break
            take = order[start:start + min(chunk, samples - done)]
            x = {name: values[take] for name, values in train.x.items()}
            weights = None if train.weights is None else train.weights[take]
            model._fit(x, train.y[take], weights)
            done += len(take)
    return done


def _in_data_order(setup: _Setup, dnames, fnames, params) -> list[dict]:
    """Copies of the parameter dictionaries with every category list in the
    order the categories first appear in the training rows.

    The model lists them in the order of their hashes, which for strings
    changes from one interpreter to the next; a fixed order keeps the
    arithmetic that follows, and so the search, repeatable.
    """
    copies = [dict(p) for p in params]
    for i, fname in enumerate(fnames):
        if fname == CATEGORICAL:
            weights = {hash(key): (key, weight) for key, weight in copies[i]["categories"]}
            ordered = [weights.pop(hash(key)) for key in setup.categories[dnames[i]] if hash(key) in weights]
            copies[i]["categories"] = ordered + list(weights.values())
    return copies


def _evaluate(setup: _Setup, dnames, fnames, params) -> tuple[float, dict]:
    """Held-out score and losses of a program with the given parameters."""
    predicted = _kestor.Model(list(dnames), list(fnames), params, 0, setup.loss_name).predict(setup.valid.x)
    losses = _losses(setup.kind, setup.valid.y, predicted, setup.valid.weights)
    return _score(setup.kind, losses["loss"], len(fnames), setup.valid.n, setup.penalty, setup.error_floor), losses


def _offer(setup: _Setup, candidate: _Candidate, params, samples: int) -> None:
    """Keep `params` (trained on `samples` samples) if they score best so far."""
    score, losses = _evaluate(setup, candidate.dnames, candidate.fnames, params)
    if candidate.params is None or score <= candidate.score:
        candidate.params, candidate.losses, candidate.score = params, losses, score
        candidate.samples = samples


def _trained_params(setup: _Setup, dnames, fnames, model) -> list[dict]:
    """A trained model's parameters with the output register refitted."""
    params = _in_data_order(setup, dnames, fnames, model.params)
    _refit_output(setup, dnames, fnames, params)
    return params


# ---------------------------------------------------------------------------
# Polishing: Levenberg-Marquardt over the continuous parameters


def _slots(fnames, params, max_slots: int = 48) -> list[tuple]:
    """The parameters the polish adjusts: (element, name) or (element, "categories", k)."""
    slots: list[tuple] = []
    for i, fname in enumerate(fnames):
        if fname in ("in-linear:0", "linear:1", "out-linear:1", "out-lr:1"):
            slots += [(i, "w"), (i, "bias")]
        elif fname == CATEGORICAL:
            slots.append((i, "bias"))
    for i, fname in enumerate(fnames):
        if fname == CATEGORICAL and len(slots) + len(params[i]["categories"]) <= max_slots:
            slots += [(i, "categories", k) for k in range(len(params[i]["categories"]))]
    return slots


def _read_slots(params, slots) -> np.ndarray:
    values = []
    for slot in slots:
        if len(slot) == 2:
            values.append(float(params[slot[0]][slot[1]]))
        else:
            values.append(float(params[slot[0]]["categories"][slot[2]][1]))
    return np.array(values, dtype=np.float64)


def _write_slots(params, slots, theta) -> list[dict]:
    written = [dict(p) for p in params]
    for element in written:
        if "categories" in element:
            element["categories"] = list(element["categories"])
    for slot, value in zip(slots, theta.tolist()):
        if len(slot) == 2:
            written[slot[0]][slot[1]] = value
        else:
            categories = written[slot[0]]["categories"]
            categories[slot[2]] = (categories[slot[2]][0], value)
    return written


def _polish(setup: _Setup, dnames, fnames, params, iterations: int = 30) -> list[dict]:
    """Minimise the training loss over every weight and bias.

    Training one sample at a time leaves the parameters jittering around the
    optimum; Gauss-Newton steps with a damping term settle them, so that
    programs are compared by what their structure can do.  The model is
    linearised in its output before the logistic function, for which the
    steps are those of Newton's method on the cross-entropy.
    """
    rows = setup.polish if setup.polish is not None else setup.train
    slots = _slots(fnames, params)
    theta = _read_slots(params, slots)
    sw = np.ones(rows.n) if rows.weights is None else rows.weights
    y = rows.y
    regression = fnames[0] == "out-linear:1"
    # Separable classes would send the weights to infinity; a slight pull
    # toward zero keeps them finite without changing a fit that is not.
    ridge = 0.0 if regression else 1e-4 * float(np.sum(sw))

    def link(theta, with_jacobian=False):
        written = _write_slots(params, slots, theta)
        z, jacobian = link_and_jacobian(dnames, fnames, written, rows.encoded, slots if with_jacobian else [])
        return (z, jacobian) if with_jacobian else z

    def loss(z, theta):
        with np.errstate(over="ignore", invalid="ignore"):
            if regression:
                value = float(np.sum(sw * (z - y) ** 2))
            else:
                value = float(np.sum(sw * (np.logaddexp(0.0, z) - y * z))) + 0.5 * ridge * float(theta @ theta)
        return value if math.isfinite(value) else math.inf

    z, jacobian = link(theta, True)
    current = loss(z, theta)
    if not math.isfinite(current):
        return params
    damping = 1e-3
    for _ in range(iterations):
        if not np.all(np.isfinite(jacobian)):
            break
        if regression:
            curvature = sw
            gradient = jacobian.T @ (sw * (z - y))
        else:
            p = 0.5 * (1.0 + np.tanh(0.5 * z))
            curvature = sw * p * (1.0 - p)
            gradient = jacobian.T @ (sw * (p - y)) + ridge * theta
        hessian = jacobian.T @ (jacobian * curvature[:, None]) + ridge * np.eye(len(theta))
        diagonal = np.diag(hessian).copy()
        floor = 1e-12 * max(float(np.max(diagonal)), 1e-300)
        accepted = False
        for _attempt in range(8):
            system = hessian + np.diag(damping * np.maximum(diagonal, floor) + floor)
            try:
                step = -np.linalg.solve(system, gradient)
            except np.linalg.LinAlgError:
                damping *= 10.0
                continue
            candidate = theta + step
            z_new = link(candidate)
            value = loss(z_new, candidate)
            if value < current:
                accepted = True
                break
            damping *= 10.0
        if not accepted:
            break
        gain = current - value
        theta = candidate
        z, jacobian = link(theta, True)
        current = value
        damping = max(damping / 5.0, 1e-9)
        if gain <= 1e-9 * current:
            break
    return _write_slots(params, slots, theta)


# A candidate whose training or scoring fails this way is scored as a failure
# instead of ending the search.
_TRAINING_FAILURES = (ValueError, RuntimeError, OverflowError, FloatingPointError, np.linalg.LinAlgError)


def _new_candidate(setup: _Setup, program, seed: int, samples: int, starts: int = 2,
                   inherited: dict[int, dict] | None = None) -> _Candidate:
    """Train a program from `starts` starting points, sharing the samples
    between them, and keep the best: a single start ends now and then with
    a branch switched off for good.  The first start takes the `inherited`
    parameters, if any; the others are random."""
    dnames, fnames = program
    rng = np.random.default_rng(seed)
    candidate = _Candidate(program_key(dnames, fnames), list(dnames), list(fnames))
    for start in range(starts):
        try:
            params = _initial_params(setup, dnames, fnames, rng, inherited if start == 0 else None)
            model = _kestor.Model(list(dnames), list(fnames), params, 0, setup.loss_name)
            trained = _train(setup, model, max(1, samples // starts), rng)
            _offer(setup, candidate, _trained_params(setup, dnames, fnames, model), trained)
        except _TRAINING_FAILURES:
            continue
    return candidate


def _refine(setup: _Setup, candidate: _Candidate, seed: int, samples: int) -> _Candidate:
    """Polish the candidate's parameters, and train it once more from a new
    start, polished too (a first training can end in a poor local optimum)."""
    if candidate.params is not None:
        try:
            polished = _polish(setup, candidate.dnames, candidate.fnames, candidate.params)
            _offer(setup, candidate, polished, candidate.samples)
            restart = _new_candidate(setup, (candidate.dnames, candidate.fnames), seed, samples, starts=1)
            if restart.params is not None:
                polished = _polish(setup, restart.dnames, restart.fnames, restart.params)
                _offer(setup, candidate, polished, restart.samples)
        except _TRAINING_FAILURES:
            pass
    candidate.refinements += 1
    return candidate


# ---------------------------------------------------------------------------
# The search


def search(data, target, *, kind="regression", seed=None, time_limit=None, rounds=None,
           population=32, max_elements=DEFAULT_MAX_ELEMENTS, sample_weights=None, inputs=None,
           categorical=(), priors=None, validation_fraction=0.25, train_samples=None,
           refine=4, complexity_penalty=1.0, top=10, n_jobs=None, verbose=False) -> list[FoundModel]:
    """Search for formulas that predict `target` from the other columns.

    data: mapping of column name to one-dimensional numpy array, or a pandas
      DataFrame.
    target: name of the column to predict.
    kind: "regression" (numeric target, squared error) or "classification"
      (two classes, cross-entropy; predictions are probabilities of the
      second class in sorted order).
    seed: makes the search repeatable: the same seed, data and arguments give
      the same models, whatever the thread timing (a `time_limit` that ends the
      search early can change how many rounds run).
    time_limit: seconds; no new round starts after it has passed.
    rounds: number of rounds (default 20 without a time limit, else as many
      as fit in it).
    population: new programs trained per round.
    max_elements: largest program (2 to 32 elements).
    sample_weights: column name or array of non-negative weights.
    inputs: columns to use (default: all but the target and weights).
    categorical: columns to treat as categories even when numeric; columns of
      strings or objects are always categorical.
    priors: mapping of input name to preference weight (0 excludes it).
    validation_fraction: share of the rows held out for scoring.
    train_samples: samples each candidate is trained on (default about 20
      passes over the training rows, 20000 to 60000 samples).
    refine: how many of the best programs not refined yet are refined each
      round (their parameters polished, and a second training from a new start).
    complexity_penalty: multiplies the size penalty of the score.
    top: how many models to return at most.
    n_jobs: training threads (default: all cores).

    Returns the found models, best (lowest held-out score) first.
    """
    started = time.monotonic()
    if kind not in KINDS:
        raise ValueError(f"kind must be 'regression' or 'classification', not {kind!r}")
    max_elements = int(max_elements)
    if not 2 <= max_elements <= MAX_ELEMENTS:
        raise ValueError(f"max_elements must lie between 2 and {MAX_ELEMENTS}")
    if not 0.0 < validation_fraction < 1.0:
        raise ValueError("validation_fraction must lie strictly between 0 and 1")
    if rounds is None:
        rounds = 20 if time_limit is None else 1_000_000
    if int(population) < 1 or int(rounds) < 1 or int(top) < 1 or int(refine) < 0:
        raise ValueError("population, rounds and top must be at least 1, refine at least 0")

    rng = np.random.default_rng(seed)
    setup, classes = _prepare(data, target, kind, rng, sample_weights, inputs, set(categorical),
                              validation_fraction, float(complexity_penalty))
    if train_samples is None:
        train_samples = int(min(60_000, max(20_000, 20 * setup.train.n)))
    _kestor.srand(int(rng.integers(2**31)))
    cell = _kestor.KCell()
    if priors:
        cell.update_priors(dict(priors))

    found: dict[str, _Candidate] = {}
    run = _Run(setup, cell, rng, found, int(population), max_elements, int(train_samples), int(refine))
    with ThreadPoolExecutor(max_workers=n_jobs or os.cpu_count() or 1) as pool:
        for round_number in range(int(rounds)):
            if time_limit is not None and round_number > 0 and time.monotonic() - started >= time_limit:
                break
            if not run.round(pool, round_number, target):
                break
            if verbose:
                _report(round_number, found)
        # Every model handed out has had the same care.
        run.refine(pool, _ranked(found)[:int(top)])
    return [_found_model(setup, c, classes) for c in _ranked(found)[:int(top)]]


def _ranked(found: dict[str, _Candidate]) -> list[_Candidate]:
    """Scored candidates, best first (ties in the order they were found)."""
    return sorted((c for c in found.values() if c.params is not None and math.isfinite(c.score)),
                  key=lambda c: c.score)


@dataclass
class _Run:
    """What one search carries from round to round."""
    setup: _Setup
    cell: Any
    rng: np.random.Generator
    found: dict[str, _Candidate]
    population: int
    max_elements: int
    train_samples: int
    refine_count: int

    def round(self, pool: ThreadPoolExecutor, number: int, target: str) -> bool:
        """Train new programs, learn from their scores, refine the best.
        False when there was nothing left to try."""
        leaders = _ranked(self.found)[:6]
        parents = [(c.dnames, c.fnames) for c in leaders]
        wanted = self.population * 2 if number == 0 else self.population
        programs = self.cell.generate_programs(wanted, target, self.setup.output_type, self.setup.kinds,
                                               int(self.rng.integers(2**63)), self.max_elements, parents)
        programs += self._simpler_than(leaders[:1], {program_key(*p) for p in programs})
        seeds = [int(s) for s in self.rng.integers(2**63, size=len(programs))]
        lenders = [(c.dnames, c.fnames, c.params) for c in leaders]
        jobs = [(program, seed, _inherited(program[0], program[1], lenders)) for program, seed in zip(programs, seeds)]
        candidates = list(pool.map(
            lambda job: _new_candidate(self.setup, job[0], job[1], self.train_samples, 2, job[2]), jobs))
        if programs:
            self.cell.update(programs, [c.score for c in candidates])
        self.cell.decay(_DECAY_PER_ROUND)
        for candidate in candidates:
            if candidate.key not in self.found or candidate.score < self.found[candidate.key].score:
                self.found[candidate.key] = candidate
        best = [c for c in _ranked(self.found) if c.refinements == 0][:self.refine_count]
        self.refine(pool, best)
        return bool(programs or best)

    def _simpler_than(self, leaders: list[_Candidate], planned: set[str]) -> list:
        """The leaders with one branch cut away, unless tried already: a
        formula found by growing often carries a piece it no longer needs."""
        programs = []
        for leader in leaders:
            for program in simplifications(leader.dnames, leader.fnames):
                key = program_key(*program)
                if key not in self.found and key not in planned:
                    planned.add(key)
                    programs.append(program)
        return programs

    def refine(self, pool: ThreadPoolExecutor, candidates: list[_Candidate]) -> None:
        candidates = [c for c in candidates if c.refinements == 0]
        seeds = [int(s) for s in self.rng.integers(2**63, size=len(candidates))]
        list(pool.map(lambda job: _refine(self.setup, job[0], job[1], self.train_samples),
                      zip(candidates, seeds)))


def _report(round_number: int, found: dict[str, _Candidate]) -> None:
    ranked = _ranked(found)
    if not ranked:
        print(f"round {round_number}: no model yet")
        return
    leader = ranked[0]
    print(f"round {round_number}: {len(found)} programs tried, best score {leader.score:.6g}, "
          f"held-out loss {leader.losses['loss']:.6g}: {render(leader.dnames, leader.fnames, leader.params).text}")


def _prepare(data, target, kind, rng, sample_weights, inputs, categorical, validation_fraction, penalty):
    """Check and split the data; returns the search's setup and the classes."""
    columns = _columns_of(data)
    if not isinstance(target, str) or target not in columns:
        raise KeyError(f"target column {target!r} is not in the data")
    n = len(columns[target])
    if any(len(values) != n for values in columns.values()):
        raise ValueError("all columns must have the same length")
    if n < 20:
        raise ValueError("a search needs at least 20 rows")
    weights = _weights(columns, sample_weights, n)
    y, classes = _target(kind, columns[target], target)

    if inputs is None:
        excluded = (target, sample_weights if isinstance(sample_weights, str) else None)
        inputs = [name for name in columns if name not in excluded]
    kinds = {}
    for name in inputs:
        if name not in columns:
            raise KeyError(f"input column {name!r} is not in the data")
        if name == target:
            raise ValueError("the target cannot be an input")
        kinds[name] = _column_kind(name, columns[name], categorical)
    x = prepare_inputs(columns, kinds)

    order = rng.permutation(n)
    n_valid = max(5, int(round(n * validation_fraction)))
    train = _subset(x, y, weights, order[n_valid:])
    valid = _subset(x, y, weights, order[:n_valid])
    if weights is not None and not (np.sum(train.weights) > 0.0 and np.sum(valid.weights) > 0.0):
        raise ValueError("the training or the held-out rows all have weight 0; give more rows weight")

    # Constant columns carry nothing a formula could use.
    kinds = {name: k for name, k in kinds.items() if k == CATEGORICAL or np.ptp(train.x[name]) > 0.0}
    if not kinds:
        raise ValueError("no input column varies: nothing to build a formula from")
    if kind == "regression" and not np.ptp(train.y) > 0.0:
        raise ValueError("the target is constant on the training rows")

    output_type, loss_name = KINDS[kind]
    setup = _Setup(
        kind=kind, output_type=output_type, loss_name=loss_name, kinds=kinds, train=train, valid=valid,
        input_scales={name: _scale_of(train.x[name]) for name, k in kinds.items() if k == NUMERIC},
        target_scale=max(0.5 * float(np.ptp(train.y)), 0.0) or 1.0,
        categories={name: list(dict.fromkeys(train.x[name].tolist())) for name, k in kinds.items()
                    if k == CATEGORICAL},
        penalty=penalty,
        polish=_subset(train.x, train.y, train.weights, np.arange(min(train.n, 2000))),
        error_floor=max(1e-12 * float(np.var(train.y)), 1e-300),
    )
    return setup, classes


def _found_model(setup: _Setup, candidate: _Candidate, classes) -> FoundModel:
    assert candidate.params is not None
    return FoundModel(
        candidate.dnames, candidate.fnames, candidate.params, setup.kind,
        sample_count=candidate.samples, loss=candidate.losses["loss"], score=candidate.score,
        metrics=dict(candidate.losses), classes=classes)


def _weights(columns, sample_weights, n):
    if sample_weights is None:
        return None
    if isinstance(sample_weights, str):
        if sample_weights not in columns:
            raise KeyError(f"weights column {sample_weights!r} is not in the data")
        sample_weights = columns[sample_weights]
    weights = np.asarray(_series_values(sample_weights), dtype=np.float64)
    if weights.shape != (n,):
        raise ValueError("sample_weights must have one value per row")
    if not np.all(np.isfinite(weights)) or np.any(weights < 0.0) or not np.any(weights > 0.0):
        raise ValueError("sample_weights must be finite, non-negative and not all zero")
    return np.ascontiguousarray(weights)


def _target(kind, values, name):
    if kind == "regression":
        if values.dtype.kind not in "biuf":
            raise ValueError(f"a regression target must be numeric, not {values.dtype}")
        y = np.asarray(values, dtype=np.float64)
        if not np.all(np.isfinite(y)):
            raise ValueError(f"target {name!r} contains NaN or infinite values")
        return np.ascontiguousarray(y), None
    distinct = list(dict.fromkeys(values.tolist()))
    if len(distinct) != 2:
        raise ValueError(f"a classification target needs exactly two classes, {name!r} has {len(distinct)}")
    try:
        distinct.sort()
    except TypeError:
        pass
    positive = distinct[1]
    y = np.fromiter((v == positive for v in values.tolist()), dtype=np.float64, count=len(values))
    return y, tuple(distinct)
