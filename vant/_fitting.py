"""Fitting parameters in closed form or by damped Newton steps, where the
sample-by-sample training of the native model is slow to settle.

`refit_root` solves the output register's weight and bias for what its
operand computes; `polish` settles every weight and bias of a program by
Levenberg-Marquardt steps on the training loss.  Both see the loss through
the same terms: for regression, squared error on the output; for
classification, cross-entropy on the output before its logistic function.
"""

from __future__ import annotations

import math

import numpy as np

from ._data import Split, TrainingData
from ._elements import CATALOGUE
from ._evaluate import evaluate_elements, link_and_jacobian


def _loss_terms(regression: bool, z, y, sw):
    """(residual, curvature) of the loss at the link values z: the gradient
    and the Gauss-Newton curvature per sample."""
    if regression:
        return sw * (z - y), sw
    p = 0.5 * (1.0 + np.tanh(0.5 * z))
    return sw * (p - y), sw * p * (1.0 - p)


def _cross_entropy(z, y, sw) -> float:
    return float(np.sum(sw * (np.logaddexp(0.0, z) - y * z)))


def _sample_weights(rows: Split) -> np.ndarray:
    return np.ones(rows.n) if rows.weights is None else rows.weights


# ---------------------------------------------------------------------------
# The output register in closed form


def refit_root(data: TrainingData, dnames, fnames, params) -> None:
    """Solve the output register's weight and bias for the current operand
    (in place).

    The register is linear in them (before its logistic function), so the
    best values on the training data come from least squares (or a few
    Newton steps of logistic regression) instead of noisy sample steps.
    """
    train = data.train
    a = evaluate_elements(dnames, fnames, params, train.encoded, exact=False)[1]
    if not np.all(np.isfinite(a)):
        return
    sw = _sample_weights(train)
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
    """Newton's method with step halving on the cross-entropy of w*a + b."""
    total = float(np.sum(sw))
    if total <= 0.0:
        return None
    ridge = 1e-4 * total

    def objective(w, b):
        return _cross_entropy(a * w + b, y, sw) + 0.5 * ridge * w * w

    current = objective(w, b)
    for _ in range(iterations):
        r, h = _loss_terms(False, a * w + b, y, sw)
        g = np.array([float(np.sum(r * a)) + ridge * w, float(np.sum(r))])
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


def polish(data: TrainingData, dnames, fnames, params, iterations: int = 30) -> list[dict]:
    """Minimise the training loss over every weight and bias.

    Training one sample at a time leaves the parameters jittering around the
    optimum; Gauss-Newton steps with a damping term settle them, so that
    programs are compared by what their structure can do.  The model is
    linearised in its output before the logistic function, for which the
    steps are those of Newton's method on the cross-entropy.
    """
    rows = data.polish
    slots = tunable_slots(fnames, params)
    theta = read_slots(params, slots)
    sw = _sample_weights(rows)
    y = rows.y
    regression = fnames[0] == "out-linear:1"
    # Separable classes would send the weights to infinity; a slight pull
    # toward zero keeps them finite without changing a fit that is not.
    ridge = 0.0 if regression else 1e-4 * float(np.sum(sw))

    def link(theta, with_jacobian=False):
        written = write_slots(params, slots, theta)
        z, jacobian = link_and_jacobian(dnames, fnames, written, rows.encoded, slots if with_jacobian else [])
        return (z, jacobian) if with_jacobian else z

    def loss(z, theta):
        with np.errstate(over="ignore", invalid="ignore"):
            if regression:
                value = float(np.sum(sw * (z - y) ** 2))
            else:
                value = _cross_entropy(z, y, sw) + 0.5 * ridge * float(theta @ theta)
        return value if math.isfinite(value) else math.inf

    z, jacobian = link(theta, True)
    current = loss(z, theta)
    if not math.isfinite(current):
        return params
    damping = 1e-3
    for _ in range(iterations):
        if not np.all(np.isfinite(jacobian)):
            break
        residual, curvature = _loss_terms(regression, z, y, sw)
        gradient = jacobian.T @ residual
        if ridge:
            gradient = gradient + ridge * theta
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
    return write_slots(params, slots, theta)
