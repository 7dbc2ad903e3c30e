"""The data a search works on: columns checked, typed and split.

`prepare` turns the user's table into plain arrays: float64 for numeric
inputs, objects for categorical ones, the target as numbers (0 and 1 for
the two classes of a classification), the weights, a random split into
training and held-out rows, and what the elements start from (the input
scales, the categories seen, the target's scale).
"""

from __future__ import annotations

import concurrent.futures
import math
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, replace
from typing import Any

import numpy as np

from . import _linalg
from ._categories import EncodedColumn
from ._elements import CATEGORICAL_INPUT, NUMERIC_INPUT, TASKS

# At most this many rows for the polish, the output register's refits and the
# scores that compare candidates (the front is validated on every held-out row).
POLISH_ROWS = 2000
FIT_ROWS = 5000
SCREEN_ROWS = 5000
# The longest training stream built from shuffled passes over a small table:
# windows longer than it wrap around (see `_training.train`), so a large
# `train_samples` costs no memory in proportion to itself.
STREAM_ROWS = 1_000_000


def is_frame(data: object) -> bool:
    """Whether `data` is a pandas DataFrame (or reads like one), told apart
    without importing pandas."""
    return hasattr(data, "columns") and hasattr(data, "iloc") and not isinstance(data, Mapping)


def columns_of(data) -> dict[str, np.ndarray]:
    """One-dimensional arrays by column name from a mapping or a DataFrame."""
    if is_frame(data):
        names = [str(name) for name in data.columns]
        repeated = sorted({name for name in names if names.count(name) > 1})
        if repeated:
            raise ValueError(f"the data has more than one column named {repeated[0]!r}")
        for j, name in enumerate(names):
            check_dtype(name, data.iloc[:, j].dtype)   # before numpy reads a date with a time zone as an object
        return {name: series_values(data.iloc[:, j]) for j, name in enumerate(names)}
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


def is_number(value) -> bool:
    if isinstance(value, (bool, np.bool_)):
        return False
    if isinstance(value, (int, float, np.integer, np.floating)):
        return True
    if isinstance(value, str):
        try:
            float(value)
        except ValueError:
            return False
        return True
    return False


def _not_numbers(name: str, values: np.ndarray) -> str | None:
    """None when every value of the column is a number; else what is wrong."""
    values = values.tolist()
    strays = [v for v in values if not is_number(v) or isinstance(v, str)]
    if not strays:
        return None
    others = [v for v in strays if not is_number(v)]
    if not others:
        return f"column {name!r} holds numbers written as text (e.g. {strays[0]!r}); convert them to numbers"
    if len(others) == len(values):
        return f"column {name!r} holds text, not numbers (e.g. {others[0]!r})"
    count = f"{len(others)} values that are" if len(others) > 1 else "1 value that is"
    return f"column {name!r} holds {count} not a number (e.g. {others[0]!r}) among numbers"


def check_stray_text(name: str, values: np.ndarray, missing) -> None:
    """Refuse a column of text that mostly holds numbers but not only (a
    stray "n/a?" in a numeric column of a CSV file): read as categories,
    every number would be a category of its own.  Entries for which
    `missing(value)` holds are left out of the count."""
    present = [v for v in values.tolist() if not missing(v)]
    numbers = sum(map(is_number, present))
    if numbers < len(present) and numbers > len(present) / 2:
        problem = _not_numbers(name, np.array(present, dtype=object))
        raise ValueError(f"{problem}; or name it as categorical to read it as categories")


def check_dtype(name: str, dtype) -> None:
    """Refuse a column whose values are neither numbers nor categories:
    read as numbers, a complex column would lose its imaginary part and a
    date its meaning (nanoseconds since 1970)."""
    kind = getattr(dtype, "kind", "")
    if kind not in "cMm":
        return
    if kind == "c":
        raise ValueError(f"column {name!r} holds complex numbers, which a formula cannot read: give their "
                         "real and imaginary parts as two columns")
    if kind == "M":
        raise ValueError(f"column {name!r} holds dates or times: convert them to numbers first, e.g. days since "
                         f"the first: (column - column.min()) / numpy.timedelta64(1, 'D')")
    if kind == "m":
        raise ValueError(f"column {name!r} holds time spans: convert them to numbers first, e.g. seconds: "
                         "column / numpy.timedelta64(1, 's')")


def input_type(name: str, values: np.ndarray, categorical: set[str]) -> str:
    """The input register a column is read by.  A column of text or objects
    that mostly holds numbers is refused unless named as categorical: a
    stray "n/a", or numbers stored as text, would otherwise make every
    number a category of its own."""
    if name in categorical:
        return CATEGORICAL_INPUT
    check_dtype(name, values.dtype)
    if values.dtype.kind in "OUS":
        problem = _not_numbers(name, values)
        if problem is None:
            return NUMERIC_INPUT
        if sum(map(is_number, values.tolist())) > len(values) / 2:
            raise ValueError(f"{problem}, or pass categorical=[{name!r}] to read it as categories")
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
            if values.dtype.kind in "OUS":
                problem = _not_numbers(name, values)
                if problem is not None:
                    raise ValueError(f"{problem}; the model reads it as numbers")
                values = values.astype(np.float64)
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

    def rows(self, indices, workers: int = 1) -> Split:
        """The rows at `indices`, gathered on up to `workers` threads."""
        arrays = [*self.x.values(), self.y] + ([] if self.weights is None else [self.weights])
        gathered = _gathered(arrays, indices, workers)
        x = dict(zip(self.x, gathered))
        return _split(x, gathered[len(x)], None if self.weights is None else gathered[-1])

    def head(self, count: int) -> Split:
        """The first `count` rows, sharing the arrays.  The rows of a split
        are in random order, so its head is a random subsample of it."""
        if count >= self.n:
            return self
        x = {name: values[:count] for name, values in self.x.items()}
        return _split(x, self.y[:count], None if self.weights is None else self.weights[:count])


# Below this many rows, gathering on several threads costs more than it saves.
PARALLEL_GATHER_ROWS = 100_000


def _gathered(arrays: list[np.ndarray], indices, workers: int) -> list[np.ndarray]:
    """Each array's values at `indices`, contiguous.  A gather at random
    indices of a large table waits on memory, and numpy lets go of the
    interpreter lock while it gathers: the search's workers gather the
    columns side by side."""
    def gather(values):
        return np.ascontiguousarray(values[indices])

    if workers <= 1 or len(arrays) < 2 or len(indices) < PARALLEL_GATHER_ROWS:
        return [gather(values) for values in arrays]
    with concurrent.futures.ThreadPoolExecutor(min(workers, len(arrays))) as pool:
        return list(pool.map(gather, arrays))


def _split(x, y, weights) -> Split:
    encoded = {name: EncodedColumn(values) if values.dtype.kind == "O" else values for name, values in x.items()}
    return Split(x, encoded, np.ascontiguousarray(y), None if weights is None else np.ascontiguousarray(weights))


@dataclass
class TrainingData:
    """Everything a search needs from the data, and nothing of the search.

    A regression target is standardised: the search works on
    (y - target_offset) / target_unit, which keeps its arithmetic in range
    whatever the target's scale, and the found models' output registers
    scale back (see `params_in_data_units`).
    """
    task: str                      # "regression" or "classification"
    inputs: dict[str, str]         # input column -> register type
    train: Split                   # all the training rows
    valid: Split                   # all the held-out rows: the front's final validation
    polish: Split                  # the training rows the polish works on
    input_scales: dict[str, tuple[float, float]]
    target_scale: float            # the output register's starting scale
    categories: dict[str, list]    # categorical input -> categories in order of appearance
    classes: tuple | None
    error_floor: float             # squared errors below this count as exact
    target_offset: float = 0.0
    target_unit: float = 1.0
    fit: Split | None = None       # the training rows the output register is solved on
    screen: Split | None = None    # the held-out rows candidates are compared on
    stream: Split | None = None    # the rows training passes run through (see `streamed`)
    constant: float | None = None  # the value of a regression target that never varies (no search then)

    def __post_init__(self) -> None:
        # A few thousand rows fix a formula's constants as well as a million:
        # beyond that, refits and scores work on a head of the rows, so that a
        # round costs the same whatever the size of the table.
        if self.fit is None:
            self.fit = self.train.head(FIT_ROWS)
        if self.screen is None:
            self.screen = self.valid.head(SCREEN_ROWS)

    def streamed(self, samples: int, rng: np.random.Generator) -> TrainingData:
        """The data with a `stream` from which every training window of up
        to `samples` samples is a slice (no copies while training)."""
        return replace(self, stream=training_stream(self.train, samples, rng))

    @property
    def output_type(self) -> str:
        return TASKS[self.task][0]

    @property
    def loss_name(self) -> str:
        return TASKS[self.task][1]

    def params_in_data_units(self, params: list[dict]) -> list[dict]:
        """Parameters of a program trained on the standardised target, for
        the target as given: its output register scales back."""
        if self.task != "regression":
            return params
        root = dict(params[0])
        root["scale"] = root["scale"] * self.target_unit
        root["scale_offset"] = root["scale_offset"] * self.target_unit + self.target_offset
        return [root, *params[1:]]

    def metrics_in_data_units(self, metrics: dict) -> dict:
        if self.task != "regression":
            return metrics
        squared = self.target_unit * self.target_unit
        return dict(metrics, loss=metrics["loss"] * squared, mse=metrics["mse"] * squared)


def training_stream(train: Split, samples: int, rng: np.random.Generator) -> Split:
    """Rows to train on, in an order that a window of `samples` consecutive
    rows anywhere in it is a fair sample: the training rows themselves when
    there are that many (they are in random order already), else enough
    shuffled passes over them one after the other (at most STREAM_ROWS rows
    of them)."""
    if train.n >= samples:
        return train
    passes = -(-min(samples, STREAM_ROWS) // train.n) + 1
    order = np.concatenate([rng.permutation(train.n) for _ in range(passes)])
    return Split(_GatheredColumns(train.x, order), {}, train.y[order],
                 None if train.weights is None else train.weights[order])


class _GatheredColumns(Mapping):
    """Columns in the order of `order`, each gathered the first time a
    candidate reads it: the memory a stream takes follows the columns that
    programs read, not the width of the table (a hundred thousand columns
    of a few rows each would otherwise be copied a thousand times over).
    Two threads that gather one column at once both store the same values."""

    def __init__(self, columns: Mapping[str, np.ndarray], order: np.ndarray):
        self._columns = columns
        self._order = order
        self._gathered: dict[str, np.ndarray] = {}

    def __getitem__(self, name: str) -> np.ndarray:
        values = self._gathered.get(name)
        if values is None:
            values = self._gathered[name] = self._columns[name][self._order]
        return values

    def __iter__(self):
        return iter(self._columns)

    def __len__(self) -> int:
        return len(self._columns)


def scale_of(values: np.ndarray) -> tuple[float, float]:
    """The numeric input register's scale for a column (its range onto
    -1..1), computed by the register's own code: the search needs the
    scales before any model trains."""
    return _linalg.input_scale(values)


# A search holds out a quarter of the rows (at least 5) and trains on the
# rest: fewer rows than this leave nothing to learn from or to judge by.
MIN_ROWS = 20


def check_row_count(n: int, described: str | None = None) -> None:
    """Refuse fewer than MIN_ROWS rows; `described` says what the data were
    (the shape of X, say) in the message."""
    if n < MIN_ROWS:
        raise ValueError(f"{described or f'the data have {n} rows'}: a search needs at least {MIN_ROWS} rows")


def sample_weights(weights, n: int, argument: str = "sample_weights") -> np.ndarray | None:
    """Weights, one per row, finite, non-negative and not all zero (a single
    number weighs every row alike); None for None."""
    if weights is None:
        return None
    if hasattr(weights, "to_numpy") and not isinstance(weights, np.ndarray):
        weights = weights.to_numpy()
    try:
        values = np.asarray(weights, dtype=np.float64)
    except (TypeError, ValueError):
        raise ValueError(f"{argument} must be numbers, one per row") from None
    if values.ndim == 0:
        values = np.full(n, float(values))
    if values.shape != (n,):
        raise ValueError(f"{argument} has shape {values.shape}: it needs one value per row, ({n},)")
    if not np.all(np.isfinite(values)) or np.any(values < 0.0):
        raise ValueError(f"{argument} must be finite and non-negative")
    if not np.any(values > 0.0):
        raise ValueError(f"{argument} is zero everywhere")
    return np.ascontiguousarray(values)


def _names(argument: str, value) -> list:
    """A list of column names given as `argument`."""
    if isinstance(value, str) or not isinstance(value, Iterable):
        raise TypeError(f"{argument} must be a list of column names, not {type(value).__name__}"
                        + (f" (did you mean [{value!r}]?)" if isinstance(value, str) else ""))
    names = list(dict.fromkeys(value))
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"{argument} must name columns by strings, not {name!r}")
    return names


def _check_names(argument: str, names, columns, inputs) -> None:
    for name in names:
        if name not in columns:
            raise KeyError(f"{argument} names column {name!r}, which is not in the data")
        if name not in inputs:
            raise ValueError(f"{argument} names column {name!r}, which is not an input")


def prepare(data, target, task, rng, weights, inputs, categorical, validation_fraction,
            priors=None, workers: int = 1, max_categories: int | None = None) -> TrainingData:
    """Check, type and split the data (`priors` only checked: the columns it
    names must be inputs), gathering the rows of the splits on up to
    `workers` threads."""
    columns = columns_of(data)
    if not isinstance(target, str):
        raise TypeError(f"target must be the name of a column, not a {type(target).__name__}")
    if target not in columns:
        raise KeyError(f"target column {target!r} is not in the data")
    n = len(columns[target])
    if any(len(values) != n for values in columns.values()):
        raise ValueError("all columns must have the same length")
    check_row_count(n)
    weights = _weights(columns, weights, n)
    y, classes = _target(task, columns[target], target)

    if inputs is None:
        excluded = (target, weights if isinstance(weights, str) else None)
        inputs = [name for name in columns if name not in excluded]
    else:
        inputs = _names("inputs", inputs)
        if not inputs:
            raise ValueError("inputs is empty: name at least one input column")
    for name in inputs:
        if name not in columns:
            raise KeyError(f"input column {name!r} is not in the data")
        if name == target:
            raise ValueError("the target cannot be an input")
    categorical = _names("categorical", categorical)
    _check_names("categorical", categorical, columns, inputs)
    if priors is not None:
        if not isinstance(priors, Mapping):
            raise TypeError(f"priors must map input names to weights, not {type(priors).__name__}")
        _check_names("priors", list(priors), columns, inputs)
    input_types = {name: input_type(name, columns[name], set(categorical)) for name in inputs}
    x = prepare_inputs(columns, input_types)
    for name, register in input_types.items():
        if register == CATEGORICAL_INPUT:
            check_category_count(name, x[name], max_categories)
        else:
            check_magnitude(f"column {name!r}", x[name])

    order = rng.permutation(n)
    n_valid = max(5, int(round(n * validation_fraction)))
    if n - n_valid < 10:
        raise ValueError(f"validation_fraction={validation_fraction} leaves {n - n_valid} of {n} rows for "
                         "training; at least 10 are needed")
    whole = Split(x, {}, y, weights)
    train, valid = whole.rows(order[n_valid:], workers), whole.rows(order[:n_valid], workers)
    constant = None
    if task == "regression":
        check_magnitude(f"target {target!r}", y, squared=True)
        high, low = float(np.max(train.y)), float(np.min(train.y))
        if not high > low:
            if np.ptp(y) > 0.0:
                raise ValueError(f"target {target!r} is constant on the training rows, all but "
                                 f"{np.count_nonzero(y != high)} of {n}: give more rows that differ")
            constant = high
            offset, unit = high, 1.0
        else:
            offset, unit = 0.5 * high + 0.5 * low, 0.5 * high - 0.5 * low
        train.y, valid.y = (train.y - offset) / unit, (valid.y - offset) / unit
    else:
        offset, unit = 0.0, 1.0
    if weights is not None and not (np.sum(train.weights) > 0.0 and np.sum(valid.weights) > 0.0):
        raise ValueError("the training or the held-out rows all have weight 0; give more rows weight")

    # Constant columns carry nothing a formula could use (a constant target
    # needs none: its model is the constant).
    varying = {name: register for name, register in input_types.items()
               if register == CATEGORICAL_INPUT or np.ptp(train.x[name]) > 0.0}
    if not varying and constant is None:
        raise ValueError("no input column varies: nothing to build a formula from")
    input_types = varying or input_types

    return TrainingData(
        task=task, inputs=input_types, train=train, valid=valid,
        polish=train.head(POLISH_ROWS),
        input_scales={name: scale_of(train.x[name]) for name, register in input_types.items()
                      if register == NUMERIC_INPUT},
        target_scale=1.0,
        categories={name: list(dict.fromkeys(train.x[name].tolist())) for name, register in input_types.items()
                    if register == CATEGORICAL_INPUT},
        classes=classes,
        error_floor=max(1e-12 * float(np.var(train.y)), 1e-300),
        target_offset=offset, target_unit=unit, constant=constant,
    )


def check_category_count(name: str, values: np.ndarray, limit: int | None) -> None:
    """Refuse a categorical column with more distinct values than `limit`:
    it is most likely an identifier, and a model with a weight per value
    would be slow to build and to predict with, and learn nothing."""
    if limit is None or len(values) <= limit:
        return
    count = len(dict.fromkeys(values.tolist()))
    if count > limit:
        raise ValueError(f"column {name!r} has {count} distinct values, more than max_categories={limit}: it may "
                         "be an identifier (a name or a number per row), from which a formula learns nothing; "
                         "leave it out of the inputs, or raise max_categories to read it as categories")


# The largest magnitude the search works with: the squares of the
# differences of such values (errors, ranges) stay finite.
LARGEST_MAGNITUDE = 1e150


def check_magnitude(what: str, values: np.ndarray, squared: bool = False) -> None:
    """Refuse numbers whose range overflows double precision (or, when
    `squared`, whose squared errors would): an input register maps the range
    to -1..1, and a loss squares the target's errors."""
    if not len(values):
        return
    high, low = float(values.max()), float(values.min())
    limit = LARGEST_MAGNITUDE if squared else 0.25 * np.finfo(np.float64).max
    if max(abs(high), abs(low)) > limit:
        raise ValueError(f"{what} holds values as large as {max(abs(high), abs(low)):.3g}, beyond what the "
                         f"search computes with (magnitudes up to {limit:.3g}): divide it by a power of ten")
    if high > low and not math.isfinite(2.0 / (high - low)):
        raise ValueError(f"{what} varies by only {high - low:.3g}, too little to scale: multiply it by a power of "
                         "ten")


def _weights(columns, weights, n):
    if isinstance(weights, str):
        if weights not in columns:
            raise KeyError(f"weights column {weights!r} is not in the data")
        weights = columns[weights]
    return sample_weights(weights, n)


def _target(task, values, name):
    if task == "regression":
        if values.dtype.kind not in "biuf":
            raise ValueError(f"a regression target must be numeric, not {values.dtype}")
        y = np.asarray(values, dtype=np.float64)
        if not np.all(np.isfinite(y)):
            raise ValueError(f"target {name!r} contains NaN or infinite values")
        return np.ascontiguousarray(y), None
    listed = values.tolist()
    missing = [i for i, v in enumerate(listed) if v is None or (isinstance(v, float) and math.isnan(v))]
    if missing:
        raise ValueError(f"target {name!r} has {len(missing)} missing value{'s' if len(missing) > 1 else ''} "
                         f"(None or NaN; the first at row {missing[0]}): every row needs one of the two classes")
    distinct = list(dict.fromkeys(listed))
    if len(distinct) != 2:
        raise ValueError(f"a classification target needs exactly two classes, {name!r} has {len(distinct)}")
    try:
        distinct.sort()
    except TypeError:
        pass
    positive = distinct[1]
    y = np.fromiter((v == positive for v in values.tolist()), dtype=np.float64, count=len(values))
    return y, tuple(distinct)

