"""scikit-learn estimators over `search`: `SymbolicRegressor` and `SymbolicClassifier`.

They follow scikit-learn's conventions (parameters stored by `__init__`,
validated by `fit`, fitted attributes ending in ``_``), so they work in
`Pipeline`, `GridSearchCV`, `cross_val_score` and `clone`.  scikit-learn
itself is optional: without it the estimators still fit, predict and score,
and keep `get_params`/`set_params`.
"""

from __future__ import annotations

import inspect
import math
import numbers
import os
import time
import warnings

import numpy as np

from . import _front, _saving
from ._search import search

try:
    from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin
    from sklearn.exceptions import DataConversionWarning, NotFittedError
except ImportError:  # scikit-learn is an optional dependency
    from ._sklearn_fallback import (  # type: ignore[assignment]
        BaseEstimator, ClassifierMixin, DataConversionWarning, NotFittedError, RegressorMixin,
    )

# The time limit a class of a one-vs-rest fit gets at least, in seconds.
_LEAST_TIME = 1e-3

# A search needs this many rows: a quarter (at least 5) is held out for scoring.
MIN_SAMPLES = 20

# Arguments of `search` that `fit` sets itself rather than passing a parameter
# of the same name through.
_SET_BY_FIT = frozenset(("kind", "seed", "sample_weights", "inputs", "n_jobs", "verbose", "time_limit"))


def search_parameters() -> list[str]:
    """The keyword arguments of `search` that the estimators pass through
    unchanged from parameters of the same name."""
    return [name for name, p in inspect.signature(search).parameters.items()
            if p.kind is inspect.Parameter.KEYWORD_ONLY and name not in _SET_BY_FIT]


# ---------------------------------------------------------------------------
# Input intake: X as a DataFrame or a 2-D array, y as a 1-D array


def _is_dataframe(X) -> bool:
    return hasattr(X, "columns") and hasattr(X, "dtypes") and hasattr(X, "iloc")


def _is_sparse(X) -> bool:
    return type(X).__module__.startswith("scipy.sparse")


def _categorical_dtype(dtype) -> bool:
    return getattr(dtype, "name", "") == "category" or getattr(dtype, "kind", "O") in "OSU"


def _frame_columns(X) -> tuple[list, dict[str, np.ndarray], set[str]]:
    """(raw names, columns by name, categorical names) of a DataFrame.

    Names are used as they are when they are all strings; otherwise the
    columns are x0, x1, ... as for an array (scikit-learn sets
    feature_names_in_ only for string names).
    """
    raw = list(X.columns)
    named = all(isinstance(name, str) for name in raw)
    names = [str(n) for n in raw] if named else [f"x{i}" for i in range(len(raw))]
    if len(set(names)) != len(names):
        raise ValueError("X has duplicate column names")
    columns, categorical = {}, set()
    for position, name in enumerate(names):
        series = X.iloc[:, position]
        if _categorical_dtype(series.dtype):
            columns[name] = series.to_numpy(dtype=object)
            categorical.add(name)
        else:
            try:
                columns[name] = series.to_numpy(dtype=np.float64, na_value=np.nan)
            except (TypeError, ValueError) as error:
                raise ValueError(f"column {name!r} of X is neither numeric nor categorical: {error}") from None
    return raw if named else None, columns, categorical


def _array_columns(X) -> dict[str, np.ndarray]:
    if _is_sparse(X):
        raise TypeError("sparse X is not supported: pass a dense array (X.toarray())")
    array = np.asarray(X)
    if np.iscomplexobj(array):
        raise ValueError("Complex data not supported")
    if array.ndim != 2:
        raise ValueError(f"Expected a 2D array X, got {array.ndim}D instead. Reshape your data either "
                         "using array.reshape(-1, 1) if it has a single feature or array.reshape(1, -1) "
                         "if it is a single sample.")
    if array.dtype.kind not in "biufO":
        array = array.astype(object)
    # Object columns become numbers or categories once the kinds are known.
    return {f"x{i}": np.ascontiguousarray(array[:, i]) for i in range(array.shape[1])}


def _is_missing(value) -> bool:
    return value is None or (isinstance(value, float) and math.isnan(value)) or type(value).__name__ == "NAType"


def _categories(values: np.ndarray) -> np.ndarray:
    """A categorical column as objects, its missing entries (None, NaN,
    pandas.NA) all None: NaN objects would each hash differently and never
    match a category."""
    values = values.astype(object)  # a copy: the caller's data stays as it is
    missing = [i for i, v in enumerate(values.tolist()) if _is_missing(v)]
    values[missing] = None
    return values


def _check_finite(columns: dict[str, np.ndarray], categorical: set[str]) -> None:
    for name, values in columns.items():
        if name not in categorical and not np.all(np.isfinite(values)):
            kind = "NaN" if np.any(np.isnan(values)) else "infinity"
            raise ValueError(f"Input X contains {kind} (column {name!r})")


def _target_values(y, n: int) -> np.ndarray:
    if y is None:
        raise ValueError("this estimator requires y to be passed, but the target y is None")
    if _is_sparse(y):
        raise TypeError("sparse y is not supported")
    values = y.to_numpy(dtype=object) if getattr(getattr(y, "dtype", None), "name", "") == "category" \
        else np.asarray(y)
    if values.ndim == 2 and values.shape[1] == 1:
        warnings.warn("A column-vector y was passed when a 1d array was expected; it is raveled.",
                      DataConversionWarning, stacklevel=4)
        values = values.ravel()
    if values.ndim != 1:
        raise ValueError(f"y should be a 1d array, got an array of shape {values.shape} instead.")
    if len(values) != n:
        raise ValueError(f"X and y have inconsistent numbers of samples: {n} and {len(values)}")
    if values.dtype.kind == "f" and not np.all(np.isfinite(values)):
        raise ValueError("Input y contains NaN or infinity")
    return values


def _sample_weights(sample_weight, n: int) -> np.ndarray | None:
    if sample_weight is None:
        return None
    weights = np.asarray(sample_weight, dtype=np.float64)
    if weights.ndim == 0:
        weights = np.full(n, float(weights))
    if weights.shape != (n,):
        raise ValueError(f"sample_weight has shape {weights.shape}, expected ({n},)")
    if not np.all(np.isfinite(weights)) or np.any(weights < 0.0):
        raise ValueError("sample_weight must be finite and non-negative")
    if not np.any(weights > 0.0):
        raise ValueError("sample_weight is zero everywhere")
    return weights


# ---------------------------------------------------------------------------
# Conventions: random_state, n_jobs


def _seed_of(random_state) -> int | None:
    """An integer seed for `search` from scikit-learn's random_state
    (None, an int, a RandomState or a Generator)."""
    if random_state is None:
        return None
    if isinstance(random_state, numbers.Integral) and not isinstance(random_state, bool):
        if random_state < 0:
            raise ValueError(f"random_state must be non-negative, not {random_state}")
        return int(random_state)
    if isinstance(random_state, np.random.RandomState):
        return int(random_state.randint(np.iinfo(np.int32).max))
    if isinstance(random_state, np.random.Generator):
        return int(random_state.integers(2**63))
    raise ValueError(f"random_state must be None, an int, a RandomState or a Generator, not {random_state!r}")


def _threads(n_jobs) -> int:
    """scikit-learn's n_jobs: None is 1, -1 all cores, -2 all but one, ..."""
    if n_jobs is None:
        return 1
    if not isinstance(n_jobs, numbers.Integral) or isinstance(n_jobs, bool) or n_jobs == 0:
        raise ValueError(f"n_jobs must be None or a non-zero int, not {n_jobs!r}")
    cores = os.cpu_count() or 1
    return int(n_jobs) if n_jobs > 0 else max(1, cores + 1 + int(n_jobs))


def _class_seed(seed: int | None, index: int) -> int | None:
    """The seed of one class's search in a one-vs-rest fit."""
    if seed is None:
        return None
    return int(np.random.SeedSequence(seed, spawn_key=(index,)).generate_state(1, np.uint64)[0])


# ---------------------------------------------------------------------------
# The shared estimator


class _SymbolicEstimator(BaseEstimator):
    """What the regressor and the classifier share: parameters, intake, search."""

    _kind = "regression"

    def __init__(self, *, time_limit=None, rounds=None, population=32, max_elements=12, operators=None,
                 categorical=(), priors=None, validation_fraction=0.25, train_samples=None, refine=4,
                 complexity_penalty=1.0, top=10, model_selection="best", random_state=None, n_jobs=None,
                 executor=None, verbose=0, callback=None):
        self.time_limit = time_limit
        self.rounds = rounds
        self.population = population
        self.max_elements = max_elements
        self.operators = operators
        self.categorical = categorical
        self.priors = priors
        self.validation_fraction = validation_fraction
        self.train_samples = train_samples
        self.refine = refine
        self.complexity_penalty = complexity_penalty
        self.top = top
        self.model_selection = model_selection
        self.random_state = random_state
        self.n_jobs = n_jobs
        self.executor = executor
        self.verbose = verbose
        self.callback = callback

    # -- intake ----------------------------------------------------------

    def _columns(self, X, reset: bool) -> dict[str, np.ndarray]:
        """X as columns by name, checked against what fit saw unless `reset`."""
        if _is_dataframe(X):
            raw_names, columns, categorical = _frame_columns(X)
        else:
            raw_names, columns, categorical = None, _array_columns(X), set()
        n_features = len(columns)
        if reset:
            if n_features == 0:
                raise ValueError(f"Found array with 0 feature(s) (shape=({len(X)}, 0)) while a minimum "
                                 "of 1 is required.")
            self.n_features_in_ = n_features
            if raw_names is not None:
                self.feature_names_in_ = np.asarray(raw_names, dtype=object)
            elif hasattr(self, "feature_names_in_"):
                del self.feature_names_in_
            self._categorical_inputs = frozenset(categorical) | frozenset(self._named_categorical(columns))
        else:
            self._check_fitted()
            columns = self._match_fitted_names(raw_names, columns)
            if n_features != self.n_features_in_:
                raise ValueError(f"X has {n_features} features, but {type(self).__name__} is expecting "
                                 f"{self.n_features_in_} features as input.")
        columns = {name: self._as_kind(name, values) for name, values in columns.items()}
        _check_finite(columns, self._categorical_inputs)
        return columns

    def _named_categorical(self, columns) -> set[str]:
        names = [self.categorical] if isinstance(self.categorical, str) else list(self.categorical or ())
        unknown = [name for name in names if name not in columns]
        if unknown:
            raise ValueError(f"categorical names columns that X does not have: {unknown}")
        return set(names)

    def _match_fitted_names(self, raw_names, columns):
        fitted = getattr(self, "feature_names_in_", None)
        if fitted is None:
            if raw_names is not None:
                warnings.warn(f"X has feature names, but {type(self).__name__} was fitted without feature names",
                              UserWarning, stacklevel=4)
                return dict(zip((f"x{i}" for i in range(len(columns))), columns.values()))
            return columns
        if raw_names is None:
            warnings.warn(f"X does not have valid feature names, but {type(self).__name__} was fitted with "
                          "feature names", UserWarning, stacklevel=4)
            return dict(zip((str(n) for n in fitted), columns.values()))
        if list(raw_names) != list(fitted):
            raise ValueError("The feature names should match those that were passed during fit.\n"
                             f"Fitted with: {list(fitted)}\nGiven: {list(raw_names)}")
        return columns

    def _as_kind(self, name, values):
        if name in self._categorical_inputs:
            return _categories(values)
        # A value that is no number raises here, naming it.
        return np.ascontiguousarray(values, dtype=np.float64)

    def _check_fitted(self) -> None:
        # The fronts are set last: a fit that failed half way leaves none.
        if not hasattr(self, "_fronts"):
            raise NotFittedError(f"This {type(self).__name__} instance is not fitted yet. Call 'fit' with "
                                 "appropriate arguments before using this estimator.")

    @staticmethod
    def _target_name(columns, y) -> str:
        """y's own name (a pandas Series's) in formulas, else "y"."""
        name = getattr(y, "name", None)
        if not isinstance(name, str) or not name or name in columns:
            name = "y"
        while name in columns:
            name += "_"
        return name

    # -- search ----------------------------------------------------------

    def _check_parameters(self) -> None:
        if not (self.model_selection in ("best", "accuracy")
                or isinstance(self.model_selection, numbers.Integral) and not isinstance(self.model_selection, bool)):
            raise ValueError(f"model_selection must be 'best', 'accuracy' or an index into the front, "
                             f"not {self.model_selection!r}")
        if self.time_limit is not None and not (isinstance(self.time_limit, numbers.Real)
                                                and self.time_limit > 0):
            raise ValueError(f"time_limit must be None or a positive number of seconds, not {self.time_limit!r}")
        if self.verbose not in (0, 1, 2, False, True):
            raise ValueError(f"verbose must be 0, 1 or 2, not {self.verbose!r}")
        if self.callback is not None and not callable(self.callback):
            raise ValueError(f"callback must be None or callable, not {self.callback!r}")

    def _search(self, columns, target, kind, seed, weights, time_limit, name, rounds=None):
        """Run one search on the columns plus the target: its models, best
        first, then the front's models that are not among them."""
        data = dict(columns)
        data[name] = target
        passed = {key: value for key, value in self.get_params(deep=False).items() if key in search_parameters()}
        passed["categorical"] = sorted(self._categorical_inputs)
        if rounds is not None:
            passed["rounds"] = rounds
        # n_jobs sizes the search's own pool; an executor passed in has its own workers.
        own_pool = self.executor is None or (isinstance(self.executor, str) and "://" not in self.executor)
        result = search(data, name, kind=kind, seed=seed, sample_weights=weights, inputs=list(columns),
                        n_jobs=_threads(self.n_jobs) if own_pool else None, verbose=self.verbose,
                        time_limit=time_limit, **passed)
        listed = {id(model) for model in result}
        models = list(result) + sorted((m for m in result.front if id(m) not in listed), key=lambda m: m.score)
        return models, result.interrupted

    def _finish(self, found: list[list], fronts=None, chosen=None) -> None:
        """Set the fitted attributes from the models of each search (one
        search per formula): the fronts, and the model that model_selection
        picks from each unless `chosen` (as loaded) says."""
        self._found = found
        self._fronts = fronts if fronts is not None else [_front.pareto_front(models) for models in found]
        if chosen is None:
            chosen = [front[_front.select(front, self.model_selection)] for front in self._fronts]
        self._chosen = list(chosen)
        self.pareto_front_ = _front.as_table(self._fronts, self._chosen, self._formula_labels())
        self.models_ = found[0] if len(found) == 1 else found

    def _formula_labels(self):
        return None

    def plot_pareto_front(self, ax=None):
        """Draw the held-out loss of the front's models against their size
        with matplotlib, the chosen model ringed; returns the Axes (a new
        figure's unless `ax` is given)."""
        self._check_fitted()
        from ._plot import plot_fronts
        return plot_fronts(self._fronts, self._chosen, self._formula_labels(), ax)

    # -- saving ----------------------------------------------------------

    def to_json(self) -> str:
        """The estimator, with its fitted models if fitted, as JSON text
        (`vant.load_json` reads it back)."""
        return _saving.estimator_to_json(self)

    def save(self, path) -> None:
        """Write `to_json()` to the file `path`; `vant.load(path)` reads it back."""
        _saving.save(self, path)

    def _record(self) -> dict:
        params = {}
        for name, value in self.get_params(deep=False).items():
            try:
                params[name] = _saving.encode(value)
            except TypeError:
                warnings.warn(f"the parameter {name}={value!r} cannot be saved; the file has None instead",
                              UserWarning, stacklevel=3)
                params[name] = None
        record = {"params": params}
        if hasattr(self, "_fronts"):
            record["fitted"] = self._fitted_record()
        return record

    def _fitted_record(self) -> dict:
        names = getattr(self, "feature_names_in_", None)
        searches = []
        for models, front, chosen in zip(self._found, self._fronts, self._chosen):
            position = {id(model): i for i, model in enumerate(models)}
            searches.append({"models": [_saving.model_record(m) for m in models],
                             "front": [position[id(m)] for m in front], "chosen": position[id(chosen)]})
        return {"n_features_in": self.n_features_in_,
                "feature_names_in": None if names is None else [str(n) for n in names],
                "categorical_inputs": sorted(self._categorical_inputs), "searches": searches}

    @classmethod
    def _from_record(cls, document: dict):
        try:
            estimator = cls(**{name: _saving.decode(value) for name, value in document["params"].items()})
            fitted = document.get("fitted")
            if fitted is not None:
                estimator._restore(fitted)
        except (KeyError, TypeError, IndexError) as error:
            raise ValueError(f"the saved {cls.__name__} is incomplete or damaged ({error!r})") from None
        return estimator

    def _restore(self, fitted: dict) -> None:
        self.n_features_in_ = int(fitted["n_features_in"])
        if fitted["feature_names_in"] is not None:
            self.feature_names_in_ = np.asarray(fitted["feature_names_in"], dtype=object)
        self._categorical_inputs = frozenset(fitted["categorical_inputs"])
        found, fronts, chosen = [], [], []
        for search_record in fitted["searches"]:
            models = [_saving.model_from_record(m) for m in search_record["models"]]
            found.append(models)
            fronts.append([models[i] for i in search_record["front"]])
            chosen.append(models[search_record["chosen"]])
        self._finish(found, fronts, chosen)

    def _validated(self, X, y, sample_weight):
        if hasattr(self, "_fronts"):
            del self._fronts  # a refit that fails leaves the estimator unfitted, not half of each
        self._check_parameters()
        columns = self._columns(X, reset=True)
        n = len(next(iter(columns.values())))
        return columns, _target_values(y, n), _sample_weights(sample_weight, n), n

    @staticmethod
    def _check_sample_count(n: int, n_features: int) -> None:
        if n < MIN_SAMPLES:
            raise ValueError(f"X has {n} sample(s) and {n_features} feature(s) (shape=({n}, {n_features})): "
                             f"a search needs at least {MIN_SAMPLES} samples")


def _weighted_mean(values, weights) -> float:
    return float(np.average(values, weights=weights))


class SymbolicRegressor(RegressorMixin, _SymbolicEstimator):
    """Finds a formula that predicts y from the columns of X.

    Parameters are those of `vant.search` under the same names
    (``time_limit``, ``rounds``, ``population``, ``max_elements``,
    ``operators`` (e.g. "all", or ["default", "sin", "cos"]),
    ``categorical``, ``priors``, ``validation_fraction``,
    ``train_samples``, ``refine``, ``complexity_penalty``, ``top``), plus:

    model_selection: which model of the front predicts: "best" (the lowest
      penalised held-out score, the search's own ranking: the loss weighed
      against the size), "accuracy" (the lowest held-out loss, the largest
      model of the front), or an int indexing `pareto_front_` (0 is the
      smallest; negative counts from the end).
    random_state: None, an int, a RandomState or a Generator; an int makes
      the fit repeatable (with ``rounds`` rather than a ``time_limit``).
    n_jobs: training threads; None is 1, -1 all cores, -2 all but one.
    executor: where candidates train, as for `vant.search`: None or
      "threads", "processes" (``n_jobs`` of them), a
      concurrent.futures.Executor, a dask.distributed.Client, or a Dask
      scheduler's address ("tcp://host:8786", which also saves with the
      estimator).  The fitted models are the same on each.
    verbose: 0 prints nothing; 1 shows a progress bar (tqdm) with the best
      loss and size; 2 adds a line per round with the front.
    callback: called after every round of the search with a
      `vant.SearchState`.

    Ctrl-C during `fit` stops the search within about a second and keeps
    what was found, with a warning; a second Ctrl-C aborts.

    X is a pandas DataFrame (its column names are used; object, string and
    category columns are categorical inputs, their missing entries one
    category) or a 2-D numeric array (columns x0, x1, ...).

    Fitted attributes: ``best_model_`` (a `FoundModel`), ``pareto_front_``,
    ``models_`` (the search's models, best first, then the other models of
    its front),
    ``n_features_in_`` and, for string column names, ``feature_names_in_``.

    >>> from vant import SymbolicRegressor
    >>> model = SymbolicRegressor(time_limit=10, random_state=0).fit(X, y)  # doctest: +SKIP
    >>> model.best_model_.expression                                        # doctest: +SKIP
    """

    _kind = "regression"

    def fit(self, X, y, sample_weight=None):
        """Search for formulas on X and y; returns self."""
        columns, target, weights, n = self._validated(X, y, sample_weight)
        if target.dtype.kind not in "biuf":
            try:
                target = target.astype(np.float64)
            except (TypeError, ValueError):
                raise ValueError(f"y must be numeric for a regressor, not {target.dtype} "
                                 "(SymbolicClassifier takes class labels)") from None
        self._check_sample_count(n, len(columns))
        models, _interrupted = self._search(columns, np.asarray(target, dtype=np.float64), "regression",
                                            _seed_of(self.random_state), weights, self.time_limit,
                                            self._target_name(columns, y))
        self._finish([models])
        return self

    def _finish(self, found, fronts=None, chosen=None) -> None:
        super()._finish(found, fronts, chosen)
        self.best_model_ = self._chosen[0]

    def predict(self, X) -> np.ndarray:
        """The chosen formula's value for every row of X."""
        columns = self._columns(X, reset=False)
        return self.best_model_.predict(columns)

    def score(self, X, y, sample_weight=None) -> float:
        """R² of the predictions (weighted by sample_weight)."""
        predicted = self.predict(X)
        truth = np.asarray(y, dtype=np.float64).ravel()
        weights = _sample_weights(sample_weight, len(truth))
        mean = _weighted_mean(truth, weights)
        total = _weighted_mean((truth - mean) ** 2, weights)
        residual = _weighted_mean((truth - predicted) ** 2, weights)
        if total == 0.0:
            return 1.0 if residual == 0.0 else 0.0
        return 1.0 - residual / total


class SymbolicClassifier(ClassifierMixin, _SymbolicEstimator):
    """Finds formulas for the probability of each class of y given X.

    Two classes get one formula, the probability of the second class in
    sorted order (`classes_[1]`), through the logistic output register.
    More classes are fitted one-vs-rest: each class gets its own formula for
    "this class against all others", and `predict_proba` divides the
    per-class probabilities by their sum.  A ``time_limit`` covers the whole
    fit and is shared among the classes.

    Parameters are those of `SymbolicRegressor`.  Fitted attributes:
    ``classes_``, ``best_models_`` (one `FoundModel` per formula, in the
    order of ``classes_`` for more than two classes), ``best_model_`` (the
    formula of a two-class fit), ``pareto_front_``, ``models_``,
    ``n_features_in_`` and ``feature_names_in_``.
    """

    _kind = "classification"

    def fit(self, X, y, sample_weight=None):
        """Search for formulas on X and y; returns self."""
        columns, labels, weights, n = self._validated(X, y, sample_weight)
        classes, codes = self._classes(labels, weights)
        self._check_sample_count(n, len(columns))
        seed = _seed_of(self.random_state)
        started = time.monotonic()
        # Binary: one formula for the second class; otherwise one per class.
        targets = [classes[codes]] if len(classes) == 2 else [codes == k for k in range(len(classes))]
        found, interrupted = [], False
        for k, target in enumerate(targets):
            remaining, rounds = None, None
            if interrupted:
                # Ctrl-C ended an earlier class's search: the classes left
                # get their first candidates only, so that the fit is usable.
                remaining, rounds = _LEAST_TIME, 1
            elif self.time_limit is not None:
                # The classes left share what is left; a class whose share is
                # spent still trains its first candidates.
                left = self.time_limit - (time.monotonic() - started)
                remaining = max(left / (len(targets) - k), _LEAST_TIME)
            models, stopped = self._search(columns, target, "classification",
                                           seed if len(targets) == 1 else _class_seed(seed, k), weights,
                                           remaining, self._target_name(columns, y), rounds)
            found.append(models)
            interrupted = interrupted or stopped
        self.classes_ = classes
        self._finish(found)
        return self

    def _finish(self, found, fronts=None, chosen=None) -> None:
        super()._finish(found, fronts, chosen)
        self.best_models_ = tuple(self._chosen)

    def _formula_labels(self):
        return None if len(self.classes_) == 2 else self.classes_

    def _fitted_record(self) -> dict:
        record = super()._fitted_record()
        record["classes"] = {"values": _saving.encode(list(self.classes_)), "dtype": self.classes_.dtype.str}
        return record

    def _restore(self, fitted: dict) -> None:
        classes = fitted["classes"]
        values = _saving.decode(classes["values"])
        if classes["dtype"] == "|O":
            self.classes_ = np.empty(len(values), dtype=object)
            self.classes_[:] = values
        else:
            self.classes_ = np.asarray(values, dtype=np.dtype(classes["dtype"]))
        super()._restore(fitted)

    @staticmethod
    def _classes(labels, weights):
        if labels.dtype.kind == "f" and np.any(labels != np.round(labels)):
            raise ValueError("Unknown label type: continuous. A classifier needs class labels, not "
                             "continuous values: use SymbolicRegressor")
        try:
            classes, codes = np.unique(labels, return_inverse=True)
        except TypeError:
            raise ValueError("the class labels of y cannot be sorted: use labels of one type") from None
        if len(classes) < 2:
            raise ValueError(f"a classifier needs at least two classes in y; it has {len(classes)} class")
        if weights is not None:
            weighted = np.bincount(codes, weights=weights, minlength=len(classes)) > 0.0
            if weighted.sum() < 2:
                raise ValueError("a classifier needs at least two classes with positive sample_weight")
        return classes, codes.ravel()

    @property
    def best_model_(self):
        models = self.best_models_
        if len(models) != 1:
            raise AttributeError("a fit with more than two classes has one model per class: see best_models_")
        return models[0]

    def predict_proba(self, X) -> np.ndarray:
        """Probability of each class (columns in the order of classes_)."""
        columns = self._columns(X, reset=False)
        p = [model.predict(columns) for model in self.best_models_]
        if len(p) == 1:
            return np.column_stack([1.0 - p[0], p[0]])
        stacked = np.column_stack(p)
        total = stacked.sum(axis=1, keepdims=True)
        # Where every one-vs-rest probability underflows, no class is preferred.
        uniform = total[:, 0] <= 0.0
        stacked[uniform] = 1.0
        total[uniform] = len(p)
        return stacked / total

    def predict(self, X) -> np.ndarray:
        """The most probable class of every row."""
        probabilities = self.predict_proba(X)
        return self.classes_[np.argmax(probabilities, axis=1)]

    def score(self, X, y, sample_weight=None) -> float:
        """Accuracy of the predictions (weighted by sample_weight)."""
        predicted = self.predict(X)
        truth = np.asarray(y).ravel()
        return _weighted_mean(predicted == truth, _sample_weights(sample_weight, len(truth)))


# The classes a file may name, by the name it gives.
ESTIMATORS = {cls.__name__: cls for cls in (SymbolicRegressor, SymbolicClassifier)}
