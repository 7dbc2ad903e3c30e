"""Fitting parameters in closed form or by damped Newton steps, where the
sample-by-sample training of the native model is slow to settle.

`refit_root` solves the output register's weight and bias for what its
operand computes; `polish` settles every weight and bias of a program.
Both take the same damped Newton (Levenberg-Marquardt) steps on the same
loss: for regression, squared error on the output; for classification,
cross-entropy on the output before its logistic function.  Values come
from the native model, and so does the polish's Jacobian where every
element can derive its value (numpy evaluation otherwise).
"""

from __future__ import annotations

import math

import numpy as np

from . import _linalg
from ._data import Split, TrainingData
from ._elements import CATALOGUE, new_model
from ._refusal import ModelRefusal, refusals
from ._evaluate import link_and_jacobian


# Sample weights of None stand for weights of 1 throughout: the same
# numbers (a weight of 1.0 changes no product) without the products.

def _loss_terms(regression: bool, z, y, sw, ones):
    """(residual, curvature) of the loss at the link values z: the gradient
    and the Gauss-Newton curvature per sample (`ones`: a 1 per sample)."""
    if regression:
        return (z - y, ones) if sw is None else (sw * (z - y), sw)
    p = 0.5 * (1.0 + np.tanh(0.5 * z))
    if sw is None:
        return p - y, p * (1.0 - p)
    return sw * (p - y), sw * p * (1.0 - p)


def _weighted(values, sw):
    return values if sw is None else sw * values


def _cross_entropy(z, y, sw) -> float:
    return float(np.sum(_weighted(np.logaddexp(0.0, z) - y * z, sw)))


def _sample_weights(rows: Split) -> np.ndarray:
    return np.ones(rows.n) if rows.weights is None else rows.weights


# ---------------------------------------------------------------------------
# The output register in closed form

# An output register that passes its operand through unchanged.
_IDENTITY_ROOT = {"scale": 1.0, "scale_offset": 0.0, "w": 1.0, "bias": 0.0, "detect_scale": 0}


def operand_values(dnames, fnames, params, columns) -> np.ndarray:
    """What the root's operand computes on the columns, by the model itself
    (see `root_operand`); ValueError where the model refuses the values."""
    # (the model reads the parameter dictionaries, and keeps none of them)
    subtree = new_model(dnames, ["out-linear:1", *fnames[1:]], [_IDENTITY_ROOT, *params[1:]], 0, "squared_error")
    return subtree.predict(columns)


def root_operand(rows: Split, dnames, fnames, params) -> np.ndarray | None:
    """What the output register's operand computes on `rows`, by the native
    model itself (under an output register that passes it through), so that
    the refit works on what the model will compute; None when the model
    refuses the values."""
    try:
        with refusals():
            return operand_values(dnames, fnames, params, rows.x)
    except ModelRefusal:
        return None


def root_link(fnames, params, operand: np.ndarray) -> np.ndarray:
    """The output before the root's final function, from its operand's
    values, in the register's own operation order (for a linear output, the
    prediction itself, to the bit)."""
    root = CATALOGUE[fnames[0]]
    return (root.link or root.value)(params[0], [operand])


def refit_root(data: TrainingData, dnames, fnames, params, rows: Split | None = None) -> None:
    """Solve the output register's weight and bias for the current operand
    (in place), on `rows` (by default the data's rows for refits).

    The register is linear in them (before its logistic function), so the
    best values on the training data come from least squares (or Newton
    steps on the cross-entropy) instead of noisy sample steps.
    """
    rows = data.fit if rows is None else rows
    a = root_operand(rows, dnames, fnames, params)
    if a is None:
        return
    root = params[0]
    if fnames[0] == "out-linear:1":
        # the line through (a, (y - scale_offset) / scale), in `vant._linalg`
        # without the interpreter lock; None where a is not finite
        solved = _linalg.line_fit(a, rows.y, rows.weights, float(root["scale_offset"]), float(root["scale"]))
    elif np.all(np.isfinite(a)):
        solved = _logistic_fit(a, rows.y, _sample_weights(rows), float(root["w"]), float(root["bias"]))
    else:
        return
    if solved is not None:
        root["w"], root["bias"] = solved


def _logistic_fit(a, y, sw, w, b, iterations=12):
    """Weight and bias of a logistic regression on the one feature a."""
    columns = np.column_stack([a, np.ones_like(a)])

    def link(theta, with_jacobian=False, z=None):
        z = a * theta[0] + theta[1] if z is None else z
        return (z, columns) if with_jacobian else z

    theta = damped_newton(np.array([w, b]), link, y, sw, _ridge(False, sw), False, iterations)
    w, b = theta.tolist()
    return (w, b) if math.isfinite(w) and math.isfinite(b) else None


# ---------------------------------------------------------------------------
# Polish: Levenberg-Marquardt over the continuous parameters


def tunable_slots(fnames, params, max_slots: int = 48) -> list[tuple]:
    """The parameters the polish adjusts: (element, name) or (element,
    "categories", k); per-category weights only while there is room."""
    slots: list[tuple] = []
    for i, fname in enumerate(fnames):
        slots += [(i, name) for name in CATALOGUE[fname].tunable]
    for i, fname in enumerate(fnames):
        table_slots = CATALOGUE[fname].table_slots
        if table_slots is not None:
            extra = table_slots(params[i])
            if len(slots) + len(extra) <= max_slots:
                slots += [(i, *key) for key in extra]
    return slots


def read_slots(params, slots) -> np.ndarray:
    values = []
    for slot in slots:
        if len(slot) == 2:
            values.append(float(params[slot[0]][slot[1]]))
        else:
            values.append(float(params[slot[0]]["categories"][slot[2]][1]))
    return np.array(values, dtype=np.float64)


def write_slots(params, slots, theta) -> list[dict]:
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


def polish(data: TrainingData, dnames, fnames, params, iterations: int = 30, fixed=frozenset()) -> list[dict]:
    """Minimise the training loss over every weight and bias (but the
    (element, name) slots in `fixed`).

    Training one sample at a time leaves the parameters jittering around the
    optimum; Gauss-Newton steps with a damping term settle them, so that
    programs are compared by what their structure can do.  The model is
    linearised in its output before the logistic function, for which the
    steps are those of Newton's method on the cross-entropy.
    """
    rows = data.polish
    slots = [slot for slot in tunable_slots(fnames, params) if slot not in fixed]
    theta = read_slots(params, slots)
    sw = rows.weights
    y = rows.y
    regression = fnames[0] == "out-linear:1"
    ridge = _ridge(regression, _sample_weights(rows))

    def link(theta, with_jacobian=False, z=None):
        # Values and derivatives from the native model (z, when given, are
        # the values at theta, known already).
        written = write_slots(params, slots, theta)
        model = new_model(dnames, fnames, written, 0, data.loss_name)
        if z is None:
            z = link_values(model, rows, dnames, fnames, written)
        if not with_jacobian:
            return z
        return z, jacobian(model, rows, dnames, fnames, written, slots)

    theta = damped_newton(theta, link, y, sw, ridge, regression, iterations)
    return write_slots(params, slots, theta)


def link_values(model, rows: Split, dnames, fnames, params) -> np.ndarray:
    """The output before the root's final function on `rows` (see
    `root_link`), by `model`, the native model of the program; NaN where it
    refuses the rows' values.  A linear output has no final function: its
    prediction is the link, to the bit."""
    if CATALOGUE[fnames[0]].link is None:
        try:
            with refusals():
                return model.predict(rows.x)
        except ModelRefusal:
            return np.full(rows.n, np.nan)
    operand = root_operand(rows, dnames, fnames, params)
    if operand is None:
        return np.full(rows.n, np.nan)
    with np.errstate(over="ignore", invalid="ignore"):
        return root_link(fnames, params, operand)


# The parameters Model._jacobian derives by (a category's weight goes
# through numpy).
NATIVE_SLOTS = ("w", "bias", "exponent")


def jacobian(model, rows: Split, dnames, fnames, params, slots) -> np.ndarray:
    """d link / d parameter for every row and slot (see `link_and_jacobian`):
    by `model`, the native model of the program, where every element can
    derive its value and the slots are parameters it derives by, else by
    numpy.
    Not finite where the model refuses the rows' values."""
    if all(len(slot) == 2 and slot[1] in NATIVE_SLOTS for slot in slots):
        try:
            with refusals():
                found = model._jacobian(rows.x, slots)
        except ModelRefusal:
            return np.full((rows.n, len(slots)), np.nan)
        if found is not None:
            return found
    return link_and_jacobian(dnames, fnames, params, rows.encoded, slots)[1]


def _ridge(regression: bool, sw) -> float:
    """Separable classes would send the weights to infinity; a slight pull
    toward zero keeps them finite without changing a fit that is not."""
    return 0.0 if regression else 1e-4 * float(np.sum(sw))


# See `damped_newton`.
CREEP = 1e-3
CREEP_STEPS = 4


# Sums over the rows and the damped systems go through vant._linalg, in one
# fixed order, not through BLAS and LAPACK: those split their work among as
# many threads as the process allows (one in a Dask worker, all cores
# elsewhere), and the order of their sums then changes the last bits.  The
# same seed must give the same model on one core or many, in a thread, a
# process or on a cluster.

def damped_newton(theta, link, y, sw, ridge: float, regression: bool, iterations: int) -> np.ndarray:
    """Levenberg-Marquardt steps on the loss of the link values (sample
    weights sw, or None for 1 each).

    link(theta, with_jacobian, z) gives the link values (and their Jacobian;
    z, when given, are the link values at theta, known already);
    for regression the loss is the weighted squared error, for
    classification the weighted cross-entropy plus ridge/2 * |theta|**2,
    for which the steps are Newton's.
    """
    ones = np.ones(len(y))

    def loss(z, theta):
        with np.errstate(over="ignore", invalid="ignore"):
            if regression:
                value = float(np.sum(_weighted((z - y) ** 2, sw)))
            else:
                value = _cross_entropy(z, y, sw) + 0.5 * ridge * float(np.sum(theta * theta))
        return value if math.isfinite(value) else math.inf

    z, jacobian = link(theta, True)
    current = loss(z, theta)
    if not math.isfinite(current):
        return theta
    damping = 1e-3
    creeping = 0
    for _ in range(iterations):
        residual, curvature = _loss_terms(regression, z, y, sw, ones)
        equations = _linalg.normal_equations(jacobian, residual, curvature)
        if equations is None:   # a derivative that is not finite
            break
        gradient, hessian = equations
        if ridge:
            gradient = gradient + ridge * theta
            hessian = hessian + ridge * np.eye(len(theta))
        accepted = False
        for _attempt in range(8):
            # the system damped by `damping` times its diagonal (and a floor)
            solution = _linalg.damped_solve(hessian, gradient, damping)
            if solution is None:
                damping *= 10.0
                continue
            candidate = theta - solution
            trial = link(candidate)
            value = loss(trial, candidate)
            if value < current:
                accepted = True
                break
            damping *= 10.0
        if not accepted:
            break
        gain = current - value
        theta = candidate
        z, jacobian = link(theta, True, trial)
        current = value
        damping = max(damping / 5.0, 1e-9)
        # Steps that gain less than this creep along a flat valley; what they
        # would still gain changes no comparison between programs.
        if gain <= 1e-6 * current:
            break
        # Nor do a few steps in a row that each gain less than CREEP of the
        # loss: an exact law converges in steps that gain far more, a blend
        # that misses the law creeps on for as many steps as it is allowed.
        creeping = creeping + 1 if gain <= CREEP * current else 0
        if creeping == CREEP_STEPS:
            break
    return theta
