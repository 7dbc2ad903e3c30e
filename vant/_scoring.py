"""How a trained program is judged: its held-out metrics, and a score that
weighs the loss against the program's size."""

from __future__ import annotations

import functools
import math
from dataclasses import dataclass

import numpy as np

from ._data import Split
from ._elements import new_model
from ._refusal import refusals


def weighted_mean(values: np.ndarray, weights: np.ndarray | None) -> float:
    if weights is None:
        # np.mean's own sum and division, without its layers of Python
        return float(np.add.reduce(values)) / len(values) if len(values) else math.nan
    return float(np.sum(values * weights) / np.sum(weights))


def spread(y: np.ndarray, weights) -> float:
    """The (weighted) variance of the targets."""
    return weighted_mean((y - weighted_mean(y, weights)) ** 2, weights)


def row_losses(task: str, y: np.ndarray, predicted: np.ndarray) -> np.ndarray:
    """The loss of every row: the squared error, or the cross-entropy of
    the probabilities (kept off 0 and 1)."""
    if task == "regression":
        return (y - predicted) ** 2
    p = np.clip(predicted, 1e-12, 1.0 - 1e-12)
    return -(y * np.log(p) + (1.0 - y) * np.log1p(-p))


def metrics(task: str, y: np.ndarray, predicted: np.ndarray, weights, variance: float | None = None) -> dict[str, float]:
    """The held-out figures; "loss" is the one the score is built on.
    variance: `spread(y, weights)`, when known already."""
    if task == "regression":
        mse = weighted_mean(row_losses(task, y, predicted), weights)
        variance = spread(y, weights) if variance is None else variance
        r2 = 1.0 - mse / variance if variance > 0.0 else float("nan")
        return {"loss": mse, "mse": mse, "r2": r2}
    bce = weighted_mean(row_losses(task, y, predicted), weights)
    accuracy = weighted_mean(((predicted >= 0.5) == (y >= 0.5)).astype(np.float64), weights)
    return {"loss": bce, "binary_cross_entropy": bce, "accuracy": accuracy}


def information_criterion(task: str, loss: float, size: int, n: int, penalty: float, floor: float = 1e-300) -> float:
    """An information criterion of a held-out loss; lower is better.

    Regression weighs the loss against the size by the Bayesian criterion
    (log(n) per element), which of the candidates picks the law behind the
    data as the rows grow.  Classification weighs it by Akaike's (2 per
    element): a class boundary is seldom a law, and Akaike's criterion picks
    the model that predicts best, where the Bayesian one, on the few
    hundred rows a classifier is often given, keeps a boundary of two
    inputs that a few more elements would make clearly better.

    floor: the smallest squared error that counts; below it differences are
    rounding, which must not outweigh the size of a formula.
    """
    if not math.isfinite(loss):
        return math.inf
    if task == "regression":
        return n * math.log(max(loss, floor)) + penalty * size * math.log(max(n, 2))
    return 2.0 * n * loss + penalty * size * 2.0


@dataclass(frozen=True)
class Scorer:
    """Scores programs on the held-out rows."""
    task: str
    loss_name: str
    valid: Split
    penalty: float
    error_floor: float

    def __call__(self, dnames, fnames, params) -> tuple[float, dict]:
        """(score, metrics) of a program with the given parameters."""
        model = new_model(dnames, fnames, params, 0, self.loss_name)
        with refusals():
            predicted = model.predict(self.valid.x)
        figures = metrics(self.task, self.valid.y, predicted, self.valid.weights, self._variance)
        score = information_criterion(self.task, figures["loss"], len(fnames), self.valid.n, self.penalty,
                                      self.error_floor)
        return score, figures

    @functools.cached_property
    def _variance(self) -> float | None:
        return spread(self.valid.y, self.valid.weights) if self.task == "regression" else None
