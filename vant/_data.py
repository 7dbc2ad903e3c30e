"""The data a search works on: columns checked, typed and split.

`prepare` turns the user's table into plain arrays: float64 for numeric
inputs, objects for categorical ones, the target as numbers (0 and 1 for
the two classes of a classification), the weights, a random split into
training and held-out rows, and what the elements start from (the input
scales, the categories seen, the target's scale).
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np

from ._categories import EncodedColumn
from ._elements import CATEGORICAL_INPUT, NUMERIC_INPUT, TASKS


def columns_of(data) -> dict[str, np.ndarray]:
    """One-dimensional arrays by column name from a mapping or a DataFrame."""
    if hasattr(data, "columns") and hasattr(data, "to_numpy") and not isinstance(data, Mapping):
        return {str(name): series_values(data[name]) for name in data.columns}
    if not isinstance(data, Mapping):
        raise TypeError("data must map column names to one-dimensional arrays (or be a pandas DataFrame)")
    columns = {}
    for name, values in data.items():
        if not isinstance(name, str) or not name:
            raise ValueError(f"column names must be non-empty strings, not {name!r}")
        columns[name] = series_values(values)
    return columns


def series_values(values) -> np.ndarray:
    if hasattr(values, "to_numpy") and not isinstance(values, np.ndarray):
        dtype = getattr(values, "dtype", None)
        if dtype is not None and getattr(dtype, "name", "") == "category":
            return values.to_numpy(dtype=object)
        values = values.to_numpy()
    array = np.asarray(values)
    if array.ndim != 1:
        raise ValueError("every column must be one-dimensional")
    return array


def input_type(name: str, values: np.ndarray, categorical: set[str]) -> str:
    """The input register a column is read by."""
    if name in categorical or values.dtype.kind in "OUS":
        return CATEGORICAL_INPUT
    if values.dtype.kind in "biuf":
        return NUMERIC_INPUT
    raise ValueError(f"column {name!r} has dtype {values.dtype}, which is neither numeric nor categorical")


def prepare_inputs(columns: Mapping[str, np.ndarray], input_types: Mapping[str, str]) -> dict[str, np.ndarray]:
    """The arrays a Model reads: float64 for numeric inputs, objects for categories."""
    prepared = {}
    n = None
    for name, register in input_types.items():
        if name not in columns:
            raise KeyError(f"missing data column {name!r}")
        values = series_values(columns[name])
        if register == NUMERIC_INPUT:
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
class Split:
    """Some of the rows: inputs as a Model reads them, the same with every
    categorical column encoded for numpy evaluation, targets and weights."""
    x: dict[str, np.ndarray]
    encoded: dict[str, Any]
    y: np.ndarray
    weights: np.ndarray | None

    @property
    def n(self) -> int:
        return len(self.y)

    def rows(self, indices) -> Split:
        x = {name: np.ascontiguousarray(values[indices]) for name, values in self.x.items()}
        return _split(x, self.y[indices], None if self.weights is None else self.weights[indices])


def _split(x, y, weights) -> Split:
    encoded = {name: EncodedColumn(values) if values.dtype.kind == "O" else values for name, values in x.items()}
    return Split(x, encoded, np.ascontiguousarray(y), None if weights is None else np.ascontiguousarray(weights))


@dataclass
class TrainingData:
    """Everything a search needs from the data, and nothing of the search."""
    task: str                      # "regression" or "classification"
    inputs: dict[str, str]         # input column -> register type
    train: Split
    valid: Split
    polish: Split                  # the training rows the polish works on
    input_scales: dict[str, tuple[float, float]]
    target_scale: float
    categories: dict[str, list]    # categorical input -> categories in order of appearance
    classes: tuple | None
    error_floor: float             # squared errors below this count as exact

    @property
    def output_type(self) -> str:
        return TASKS[self.task][0]

    @property
    def loss_name(self) -> str:
        return TASKS[self.task][1]


def scale_of(values: np.ndarray) -> tuple[float, float]:
    """The numeric input register's own scale detection (min..max to -1..1)."""
    high, low = float(np.max(values)), float(np.min(values))
    if high > low:
        scale = 2.0 / (high - low)
        return scale, high - 1.0 / scale
    return 1.0, 0.0


def prepare(data, target, task, rng, sample_weights, inputs, categorical, validation_fraction) -> TrainingData:
    """Check, type and split the data."""
    columns = columns_of(data)
    if not isinstance(target, str) or target not in columns:
        raise KeyError(f"target column {target!r} is not in the data")
    n = len(columns[target])
    if any(len(values) != n for values in columns.values()):
        raise ValueError("all columns must have the same length")
    if n < 20:
        raise ValueError("a search needs at least 20 rows")
    weights = _weights(columns, sample_weights, n)
    y, classes = _target(task, columns[target], target)

    if inputs is None:
        excluded = (target, sample_weights if isinstance(sample_weights, str) else None)
        inputs = [name for name in columns if name not in excluded]
    input_types = {}
    for name in inputs:
        if name not in columns:
            raise KeyError(f"input column {name!r} is not in the data")
        if name == target:
            raise ValueError("the target cannot be an input")
        input_types[name] = input_type(name, columns[name], categorical)
    x = prepare_inputs(columns, input_types)

    order = rng.permutation(n)
    n_valid = max(5, int(round(n * validation_fraction)))
    whole = Split(x, {}, y, weights)
    train, valid = whole.rows(order[n_valid:]), whole.rows(order[:n_valid])
    if weights is not None and not (np.sum(train.weights) > 0.0 and np.sum(valid.weights) > 0.0):
        raise ValueError("the training or the held-out rows all have weight 0; give more rows weight")

    # Constant columns carry nothing a formula could use.
    input_types = {name: register for name, register in input_types.items()
                   if register == CATEGORICAL_INPUT or np.ptp(train.x[name]) > 0.0}
    if not input_types:
        raise ValueError("no input column varies: nothing to build a formula from")
    if task == "regression" and not np.ptp(train.y) > 0.0:
        raise ValueError("the target is constant on the training rows")

    return TrainingData(
        task=task, inputs=input_types, train=train, valid=valid,
        polish=train.rows(np.arange(min(train.n, 2000))),
        input_scales={name: scale_of(train.x[name]) for name, register in input_types.items()
                      if register == NUMERIC_INPUT},
        target_scale=max(0.5 * float(np.ptp(train.y)), 0.0) or 1.0,
        categories={name: list(dict.fromkeys(train.x[name].tolist())) for name, register in input_types.items()
                    if register == CATEGORICAL_INPUT},
        classes=classes,
        error_floor=max(1e-12 * float(np.var(train.y)), 1e-300),
    )


def _weights(columns, sample_weights, n):
    if sample_weights is None:
        return None
    if isinstance(sample_weights, str):
        if sample_weights not in columns:
            raise KeyError(f"weights column {sample_weights!r} is not in the data")
        sample_weights = columns[sample_weights]
    weights = np.asarray(series_values(sample_weights), dtype=np.float64)
    if weights.shape != (n,):
        raise ValueError("sample_weights must have one value per row")
    if not np.all(np.isfinite(weights)) or np.any(weights < 0.0) or not np.any(weights > 0.0):
        raise ValueError("sample_weights must be finite, non-negative and not all zero")
    return np.ascontiguousarray(weights)


def _target(task, values, name):
    if task == "regression":
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

