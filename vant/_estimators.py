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
import threading
import time
import warnings
import os
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

from . import _data, _front, _params, _saving
from ._params import DEFAULT_MAX_CATEGORIES
from ._found import FoundModel
from ._progress import SearchState
from ._search import search

try:
    from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin
    from sklearn.exceptions import DataConversionWarning, NotFittedError
except ImportError:  # scikit-learn is an optional dependency
    from ._sklearn_fallback import (
        BaseEstimator, ClassifierMixin, DataConversionWarning, NotFittedError, RegressorMixin,
    )

if TYPE_CHECKING:
    from typing_extensions import Self

# The time limit a class of a one-vs-rest fit gets at least, in seconds.
_LEAST_TIME = 1e-3

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


def _is_sparse(X: Any) -> bool:
    return type(X).__module__.startswith("scipy.sparse")


def _categorical_dtype(dtype: Any) -> bool:
    return getattr(dtype, "name", "") == "category" or getattr(dtype, "kind", "O") in "OSU"


def _frame_columns(X: Any, categorical_names: set[str] | None = None
                   ) -> tuple[list[Any] | None, dict[str, np.ndarray], set[str]]:
    """(raw names, columns by name, categorical names) of a DataFrame.

    Names are used as they are when they are all strings; otherwise the
    columns are x0, x1, ... as for an array (scikit-learn sets
    feature_names_in_ only for string names).  For a fit, `categorical_names`
    holds the columns named as categorical: any other column of text that mostly
    holds numbers is refused (a stray "n/a" in a numeric column).
    """
    raw = list(X.columns)
    named = all(isinstance(name, str) for name in raw)
    names = [str(n) for n in raw] if named else [f"x{i}" for i in range(len(raw))]
    if len(set(names)) != len(names):
        raise ValueError("X has duplicate column names")
    columns, categorical = {}, set()
    for position, name in enumerate(names):
        series = X.iloc[:, position]
        _data.check_dtype(name, series.dtype)
        if _categorical_dtype(series.dtype):
            columns[name] = series.to_numpy(dtype=object)
            categorical.add(name)
            if categorical_names is not None and name not in categorical_names \
                    and getattr(series.dtype, "name", "") != "category":
                _data.check_stray_text(name, columns[name], _is_missing)
        else:
            try:
                columns[name] = series.to_numpy(dtype=np.float64, na_value=np.nan)
            except (TypeError, ValueError) as error:
                raise ValueError(f"column {name!r} of X is neither numeric nor categorical: {error}") from None
    return raw if named else None, columns, categorical


def _array_columns(X: Any) -> dict[str, np.ndarray]:
    if _is_sparse(X):
        raise TypeError("sparse X is not supported: pass a dense array (X.toarray())")
    array = np.asarray(X)
    if np.iscomplexobj(array):
        raise ValueError("Complex data not supported: give the real and imaginary parts as columns of their own")
    _data.check_dtype("X", array.dtype)
    if array.ndim != 2:
        raise ValueError(f"Expected a 2D array X, got {array.ndim}D instead. Reshape your data either "
                         "using array.reshape(-1, 1) if it has a single feature or array.reshape(1, -1) "
                         "if it is a single sample.")
    if array.dtype.kind not in "biufO":
        array = array.astype(object)
    # Object columns become numbers or categories once the kinds are known.
    return {f"x{i}": np.ascontiguousarray(array[:, i]) for i in range(array.shape[1])}


def _is_missing(value: object) -> bool:
    return value is None or (isinstance(value, float) and math.isnan(value)) or type(value).__name__ == "NAType"


def _categories(values: np.ndarray) -> np.ndarray:
    """A categorical column as objects, its missing entries (None, NaN,
    pandas.NA) all None: NaN objects would each hash differently and never
    match a category."""
    values = values.astype(object)  # a copy: the caller's data stays as it is
    missing = [i for i, v in enumerate(values.tolist()) if _is_missing(v)]
    values[missing] = None
    return values


def _check_finite(columns: dict[str, np.ndarray], categorical: frozenset[str] | set[str]) -> None:
    for name, values in columns.items():
        if name not in categorical and not np.all(np.isfinite(values)):
            kind = "NaN" if np.any(np.isnan(values)) else "infinity"
            raise ValueError(f"Input X contains {kind} (column {name!r})")


def _target_values(y: Any, n: int) -> np.ndarray:
    if y is None:
        raise ValueError("this estimator requires y to be passed, but the target y is None")
    if _is_sparse(y):
        raise TypeError("sparse y is not supported")
    values = y.to_numpy(dtype=object) if getattr(getattr(y, "dtype", None), "name", "") == "category" \
        else np.asarray(y)
    if values.dtype.kind in "US" and not hasattr(y, "dtype"):
        _check_one_label_type(y)
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


def _check_one_label_type(labels: Any) -> None:
    """Refuse a list of labels of several types, which numpy would turn into
    text ([0, "b"] into ["0", "b"]) and predict would then return as text."""
    types = {"str" if isinstance(label, str) else "bytes" if isinstance(label, bytes) else type(label).__name__
             for label in labels}
    if len(types) > 1:
        raise ValueError(f"y mixes labels of the types {', '.join(sorted(types))}: use labels of one type")


def _class_seed(seed: int | None, index: int) -> int | None:
    """The seed of one class's search in a one-vs-rest fit."""
    if seed is None:
        return None
    return int(np.random.SeedSequence(seed, spawn_key=(index,)).generate_state(1, np.uint64)[0])


# ---------------------------------------------------------------------------
# The shared estimator


@dataclass(frozen=True)
class _Fitted:
    """Everything a fit finds, built aside and put in place in one step at
    its end: until then the estimator answers with what the last fit found,
    and a `predict` reads one fit's state, never half of two."""
    n_features_in: int
    feature_names_in: np.ndarray | None
    categorical_inputs: frozenset[str]
    found: list[list[FoundModel]]    # the models of each search (one search per formula)
    fronts: list[list[FoundModel]]
    chosen: list[FoundModel]
    classes: np.ndarray | None = None

    def columns(self, X: Any, estimator_name: str) -> dict[str, np.ndarray]:
        """X as columns by name, checked against what the fit saw."""
        raw_names, columns, _categorical = _split_columns(X)
        columns = self._match_names(raw_names, columns, estimator_name)
        if len(columns) != self.n_features_in:
            raise ValueError(f"X has {len(columns)} features, but {estimator_name} is expecting "
                             f"{self.n_features_in} features as input.")
        return _typed(columns, self.categorical_inputs)

    def _match_names(self, raw_names: list[Any] | None, columns: dict[str, np.ndarray],
                     estimator_name: str) -> dict[str, np.ndarray]:
        fitted = self.feature_names_in
        if fitted is None:
            if raw_names is not None:
                warnings.warn(f"X has feature names, but {estimator_name} was fitted without feature names",
                              UserWarning, stacklevel=5)
                return dict(zip((f"x{i}" for i in range(len(columns))), columns.values()))
            return columns
        if raw_names is None:
            warnings.warn(f"X does not have valid feature names, but {estimator_name} was fitted with "
                          "feature names", UserWarning, stacklevel=5)
            return dict(zip((str(n) for n in fitted), columns.values()))
        if list(raw_names) != list(fitted):
            raise ValueError("The feature names should match those that were passed during fit.\n"
                             f"Fitted with: {list(fitted)}\nGiven: {list(raw_names)}")
        return columns


def _split_columns(X: Any, named: set[str] | None = None) -> tuple[list[Any] | None, dict[str, np.ndarray], set[str]]:
    """(string column names or None, columns by name, categorical names) of
    X; `named`: see `_frame_columns`."""
    if _data.is_frame(X):
        return _frame_columns(X, named)
    return None, _array_columns(X), set()


def _typed(columns: dict[str, np.ndarray], categorical: frozenset[str] | set[str]) -> dict[str, np.ndarray]:
    """Categorical columns as objects (missing entries None), the others as
    finite float64."""
    typed = {}
    for name, values in columns.items():
        if name in categorical:
            typed[name] = _categories(values)
            continue
        try:
            typed[name] = np.ascontiguousarray(values, dtype=np.float64)
        except (TypeError, ValueError) as error:
            raise type(error)(f"column {name!r} of X holds a value that is not a number ({error}): name the "
                              "column in categorical to read it as categories") from None
    _check_finite(typed, categorical)
    return typed


# The estimators being fitted now (by id): a second fit of one of them
# while the first runs is refused rather than left to interleave.
_fitting: set[int] = set()
_fitting_lock = threading.Lock()


class _SymbolicEstimator(BaseEstimator):
    """What the regressor and the classifier share: parameters, intake, search."""

    _kind = "regression"

    def __init__(self, *, time_limit: float | None = None, rounds: int | None = None, population: int = 32,
                 max_elements: int | None = None, operators: str | Sequence[str] | None = None,
                 categorical: str | Sequence[str] = (), max_categories: int = DEFAULT_MAX_CATEGORIES,
                 priors: Mapping[str, float] | None = None, validation_fraction: float = 0.25,
                 train_samples: int | None = None, refine: int = 4, complexity_penalty: float = 1.0, top: int = 10,
                 model_selection: str | int = "best", random_state: Any = None, n_jobs: int | None = None,
                 executor: Any = None, verbose: int | bool = 0,
                 callback: Callable[[SearchState], object] | None = None) -> None:
        self.time_limit = time_limit
        self.rounds = rounds
        self.population = population
        self.max_elements = max_elements
        self.operators = operators
        self.categorical = categorical
        self.max_categories = max_categories
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

    # -- the fitted state ------------------------------------------------

    def _fitted(self) -> _Fitted:
        state: _Fitted | None = self.__dict__.get("_state")
        if state is None:
            raise NotFittedError(f"This {type(self).__name__} instance is not fitted yet. Call 'fit' with "
                                 "appropriate arguments before using this estimator.")
        return state

    def _check_fitted(self) -> None:
        self._fitted()

    def __sklearn_is_fitted__(self) -> bool:
        return self.__dict__.get("_state") is not None

    @property
    def n_features_in_(self) -> int:
        """The number of columns of the X that `fit` saw."""
        return self._fitted().n_features_in

    @property
    def feature_names_in_(self) -> np.ndarray:
        """The column names of the X that `fit` saw, when they were all strings."""
        names = self._fitted().feature_names_in
        if names is None:
            raise AttributeError(f"{type(self).__name__} was fitted on X without string column names")
        return names

    @property
    def _categorical_inputs(self) -> frozenset[str]:
        return self._fitted().categorical_inputs

    @property
    def _found(self) -> list[list[FoundModel]]:
        return self._fitted().found

    @property
    def _fronts(self) -> list[list[FoundModel]]:
        return self._fitted().fronts

    @property
    def _chosen(self) -> list[FoundModel]:
        return self._fitted().chosen

    @property
    def models_(self) -> list[Any]:
        """The search's models, best first, then the other models of its front
        (a list per class for more than two classes)."""
        found = self._fitted().found
        return found[0] if len(found) == 1 else found

    @property
    def pareto_front_(self) -> Any:
        """The front: a pandas DataFrame (a list of dicts without pandas) with a
        row per size, and per class for more than two classes."""
        state = self._fitted()
        return _front.as_table(state.fronts, state.chosen, self._formula_labels(state))

    def _install(self, state: _Fitted) -> None:
        """Put a fit's state in place (one assignment: see `_Fitted`)."""
        self._state = state

    def _formula_labels(self, state: _Fitted | None = None) -> np.ndarray | None:
        return None

    # -- intake ----------------------------------------------------------

    def _intake(self, X: Any) -> tuple[dict[str, np.ndarray], list[Any] | None, frozenset[str]]:
        """X as columns by name for a fit, its string column names (or
        None) and its categorical columns."""
        named = [self.categorical] if isinstance(self.categorical, str) else list(self.categorical or ())
        raw_names, columns, categorical = _split_columns(X, set(named))
        if not columns:
            raise ValueError(f"Found array with 0 feature(s) (shape=({len(X)}, 0)) while a minimum "
                             "of 1 is required.")
        chosen = frozenset(categorical) | frozenset(self._named_categorical(columns))
        return _typed(columns, chosen), raw_names, chosen

    def _columns(self, X: Any) -> dict[str, np.ndarray]:
        """X as columns by name for a prediction, checked against the fit."""
        return self._fitted().columns(X, type(self).__name__)

    def _named_categorical(self, columns: Mapping[str, np.ndarray]) -> set[str]:
        names = [self.categorical] if isinstance(self.categorical, str) else list(self.categorical or ())
        unknown = [name for name in names if name not in columns]
        if unknown:
            raise ValueError(f"categorical names columns that X does not have: {unknown}")
        return set(names)

    @staticmethod
    def _target_name(columns: Mapping[str, np.ndarray], y: Any) -> str:
        """y's own name (a pandas Series's) in formulas, else "y"."""
        name = getattr(y, "name", None)
        if not isinstance(name, str) or not name:
            name = "y"
        while name in columns:
            name += "_"
        return name

    # -- search ----------------------------------------------------------

    def _check_parameters(self) -> None:
        """The parameters that decide how the fit runs, before any data are
        read; `search` checks the others it is passed before it starts."""
        _params.model_selection(self.model_selection, _params.max_elements(self.max_elements))
        _params.time_limit(self.time_limit)
        _params.population(self.population)
        _params.verbose(self.verbose)
        _params.callback(self.callback)
        _params.workers(self.n_jobs, default=1)
        _params.executor(self.executor)

    def _search(self, columns: dict[str, np.ndarray], categorical: frozenset[str], target: np.ndarray, kind: str,
                seed: int | None, weights: np.ndarray | None, time_limit: float | None, name: str,
                rounds: int | None = None) -> tuple[list[FoundModel], bool]:
        """Run one search on the columns plus the target: its models, best
        first, then the front's models that are not among them."""
        data = dict(columns)
        data[name] = target
        passed = {key: value for key, value in self.get_params(deep=False).items() if key in search_parameters()}
        passed["categorical"] = sorted(categorical)
        if rounds is not None:
            passed["rounds"] = rounds
        # n_jobs sizes the search's own pool; an executor passed in has its own workers.
        n_jobs = _params.workers(self.n_jobs, default=1) if _params.own_pool(self.executor) else None
        result = search(data, name, kind=kind, seed=seed, sample_weights=weights, inputs=list(columns),
                        n_jobs=n_jobs, verbose=self.verbose, time_limit=time_limit, **passed)
        listed = {id(model) for model in result}
        models = list(result) + sorted((m for m in result.front if id(m) not in listed), key=lambda m: m.score)
        return models, result.interrupted

    def _fit(self, X: Any, y: Any, sample_weight: Any,
             run: Callable[..., tuple[list[list[FoundModel]], np.ndarray | None]]) -> None:
        """Check the parameters and the data, let `run(columns, categorical,
        target, weights)` search (it returns the models found by each search
        and the classes), and
        put the new state in place in one step.  A fit that fails leaves the
        estimator unfitted; a second fit of this estimator while one runs is
        refused."""
        with _fitting_lock:
            if id(self) in _fitting:
                raise RuntimeError(f"this {type(self).__name__} is being fitted in another thread: fit a clone of "
                                   "it (sklearn.base.clone) to fit two at once")
            _fitting.add(id(self))
        try:
            try:
                self._check_parameters()
                columns, raw_names, categorical = self._intake(X)
                n = len(next(iter(columns.values())))
                target = _target_values(y, n)
                weights = _data.sample_weights(sample_weight, n, "sample_weight")
                found, classes = run(columns, categorical, target, weights)
            except BaseException:
                self.__dict__.pop("_state", None)  # not the old fit with new parameters, nor half of each
                raise
            self._install(self._state_of(found, len(columns), raw_names, categorical, classes))
        finally:
            with _fitting_lock:
                _fitting.discard(id(self))

    def _state_of(self, found: list[list[FoundModel]], n_features: int, raw_names: list[Any] | None,
                  categorical: frozenset[str], classes: np.ndarray | None = None) -> _Fitted:
        """The fitted state of the models of each search: the fronts, and the
        model that model_selection picks from each."""
        fronts = [_front.pareto_front(models) for models in found]
        chosen = [front[_front.select(front, self._rule_for(front))] for front in fronts]
        names = None if raw_names is None else np.asarray(raw_names, dtype=object)
        return _Fitted(n_features, names, frozenset(categorical), found, fronts, chosen, classes)

    def _rule_for(self, front: list[FoundModel]) -> str | int:
        """model_selection for a front: an index beyond a front shorter than
        it could be (it was checked against the longest before the search)
        picks the model at that end, with a warning, rather than losing the
        search."""
        rule = self.model_selection
        if isinstance(rule, str) or -len(front) <= rule < len(front):
            return rule
        end = len(front) - 1 if rule >= 0 else 0
        warnings.warn(f"model_selection={rule} is outside the front, which has {len(front)} models: the model at "
                      f"{end} (size {front[end].size}) predicts", UserWarning, stacklevel=4)
        return end

    def _front_cells(self) -> tuple[list[str], list[list[str]]]:
        """The fronts as text cells (see `_front.front_cells`)."""
        state = self._fitted()
        metric = "r2" if self._kind == "regression" else "accuracy"
        return _front.front_cells(state.fronts, state.chosen, self._formula_labels(state), metric)

    # -- notebooks -------------------------------------------------------

    def _repr_html_inner(self) -> str:
        """scikit-learn's view of the estimator, and once fitted its chosen
        formula and front."""
        return self._with_fitted_html(super()._repr_html_inner())

    def _repr_mimebundle_(self, **kwargs: Any) -> dict[str, str]:
        output: dict[str, str] = super()._repr_mimebundle_(**kwargs)
        if "text/html" in output:
            output["text/html"] = self._with_fitted_html(output["text/html"])
        return output

    def _with_fitted_html(self, view: str) -> str:
        """scikit-learn's `view`, and once fitted the chosen formula and the
        front, inside its body when it has one."""
        if not self.__sklearn_is_fitted__():
            return view
        from ._display import fitted_html
        end = view.rfind("</body>")
        end = len(view) if end < 0 else end
        return view[:end] + fitted_html(self) + view[end:]

    @staticmethod
    def _check_sample_count(n: int, n_features: int) -> None:
        _data.check_row_count(n, f"X has {n} sample(s) and {n_features} feature(s) (shape=({n}, {n_features}))")

    def plot_pareto_front(self, ax: Any = None) -> Any:
        """Draw the held-out loss of the front's models against their size.

        Parameters
        ----------
        ax : matplotlib.axes.Axes or None
            Where to draw; None draws on a new figure.

        Returns
        -------
        matplotlib.axes.Axes
            The axes, the chosen model ringed.

        Raises
        ------
        ImportError
            Without matplotlib (``pip install 'vant[plot]'``).
        """
        state = self._fitted()
        from ._plot import plot_fronts
        return plot_fronts(state.fronts, state.chosen, self._formula_labels(state), ax)

    # -- saving ----------------------------------------------------------

    def to_json(self) -> str:
        """The estimator as JSON text.

        Returns
        -------
        str
            The parameters and, if fitted, every model, the fronts and the
            choice; `vant.load_json` reads it back to the same predictions.
        """
        return _saving.estimator_to_json(self)

    def save(self, path: str | os.PathLike[str]) -> None:
        """Write `to_json` to a file, which `vant.load` reads back.

        Parameters
        ----------
        path : str or os.PathLike
            The file to write.
        """
        _saving.save(self, path)

    def _record(self) -> dict[str, Any]:
        params = {}
        for name, value in self.get_params(deep=False).items():
            try:
                params[name] = _saving.encode(value)
            except TypeError:
                warnings.warn(f"the parameter {name}={value!r} cannot be saved; the file has None instead",
                              UserWarning, stacklevel=3)
                params[name] = None
        record = {"params": params}
        state = self.__dict__.get("_state")
        if state is not None:
            record["fitted"] = self._fitted_record(state)
        return record

    def _fitted_record(self, state: _Fitted) -> dict[str, Any]:
        searches = []
        for models, front, chosen in zip(state.found, state.fronts, state.chosen):
            position = {id(model): i for i, model in enumerate(models)}
            searches.append({"models": [_saving.model_record(m) for m in models],
                             "front": [position[id(m)] for m in front], "chosen": position[id(chosen)]})
        names = state.feature_names_in
        return {"n_features_in": state.n_features_in,
                "feature_names_in": None if names is None else [str(n) for n in names],
                "categorical_inputs": sorted(state.categorical_inputs), "searches": searches}

    @classmethod
    def _from_record(cls, document: dict[str, Any]) -> Self:
        params = _saving.read_params(document, cls)
        estimator = cls(**params)
        fitted = document.get("fitted")
        if fitted is not None:
            estimator._install(_Fitted(**_saving.read_fitted(fitted, cls._kind)))
        return estimator

def _weighted_mean(values: Any, weights: np.ndarray | None) -> float:
    return float(np.average(values, weights=weights))


class SymbolicRegressor(RegressorMixin, _SymbolicEstimator):
    """Finds a formula that predicts y from the columns of X.

    A scikit-learn regressor over `vant.search`: the parameters are stored
    by ``__init__`` and checked by `fit`, so the estimator works in
    ``Pipeline``, ``GridSearchCV``, ``cross_val_score`` and ``clone``.
    Ctrl-C during `fit` stops the search within about a second and keeps
    what was found, with a warning; a second Ctrl-C aborts.

    Parameters
    ----------
    time_limit : float or None
        Seconds the search may take; None: `rounds` end it.
    rounds : int or None
        The most rounds of the search (see `vant.search`).
    population : int
        New programs trained per round.
    max_elements : int or None
        The largest formula, 2 to 32 elements; None: 12, or four per
        input column where that is more (at most 32).
    operators : list of str, str or None
        The operations formulas may use: None for the default set, "all",
        or a list such as ``["default", "sin", "cos"]``.
    categorical : sequence of str
        Columns of X to treat as categories even when numeric (a
        DataFrame's object, string and category columns always are).
    max_categories : int
        The most distinct values a categorical input may have; a column
        with more is refused as most likely an identifier.
    priors : mapping of str to float or None
        Input name -> preference weight (0 excludes the input).
    validation_fraction : float
        The share of the rows held out for scoring.
    train_samples : int or None
        Samples each candidate is trained on.
    refine : int
        How many of the best programs are refined each round.
    complexity_penalty : float
        Multiplies the size penalty of the search's score.
    top : int
        How many models the search keeps besides its front.
    model_selection : {"best", "accuracy"} or int
        Which model of the front predicts: "best" (the lowest penalised
        held-out score, the search's own ranking: the loss weighed against
        the size), "accuracy" (the lowest held-out loss, the largest model
        of the front), or an int indexing `pareto_front_` (0 is the
        smallest; negative counts from the end).
    random_state : int, numpy.random.RandomState, numpy.random.Generator or None
        An int makes the fit repeatable (with `rounds` rather than a
        `time_limit`).
    n_jobs : int or None
        Training threads; None is 1, -1 all cores, -2 all but one.
    executor : str, Executor, dask.distributed.Client or None
        Where candidates train, as for `vant.search`: None or "threads",
        "processes" (`n_jobs` of them), a concurrent.futures.Executor, a
        dask.distributed.Client, or a Dask scheduler's address
        ("tcp://host:8786", which also saves with the estimator).  The
        fitted models are the same on each.
    verbose : int
        0 prints nothing; 1 shows a progress bar (tqdm) with the best loss
        and size; 2 adds a line per round with the front.
    callback : callable or None
        Called after every round of the search with a `vant.SearchState`.

    Attributes
    ----------
    best_model_ : FoundModel
        The chosen model, which `predict` uses.
    pareto_front_ : pandas.DataFrame or list of dict
        The front, a row per size: ``size``, ``loss``, ``r2``, ``chosen``
        and ``expression`` (a list of dicts without pandas).
    models_ : list of FoundModel
        The search's models, best first, then the other models of its
        front.
    n_features_in_ : int
        The number of columns of X.
    feature_names_in_ : numpy.ndarray
        X's column names, when they are all strings.

    See Also
    --------
    SymbolicClassifier : the same for class labels.
    search : the search underneath, on a mapping of columns.

    Notes
    -----
    X is a pandas DataFrame (its column names are used; object, string and
    category columns are categorical inputs, their missing entries one
    category) or a 2-D numeric array (columns x0, x1, ...).

    Examples
    --------
    >>> import numpy as np
    >>> from vant import SymbolicRegressor
    >>> X = np.random.default_rng(0).uniform(-2, 2, (500, 2))
    >>> y = 3 * X[:, 0] - X[:, 1]
    >>> model = SymbolicRegressor(rounds=3, population=8, random_state=0).fit(X, y)
    >>> print(model.best_model_)                    # doctest: +SKIP
    y = 3*x0 - x1
    >>> round(model.score(X, y), 6)
    1.0
    """

    _kind = "regression"

    def fit(self, X: Any, y: Any, sample_weight: Any = None) -> Self:
        """Search for formulas on X and y.

        Parameters
        ----------
        X : pandas.DataFrame or array of shape (n_samples, n_features)
            The inputs.
        y : array of shape (n_samples,)
            The target, numbers.
        sample_weight : array of shape (n_samples,) or None
            Non-negative weights of the rows.

        Returns
        -------
        SymbolicRegressor
            The fitted estimator.

        Raises
        ------
        ValueError
            For a parameter out of its range, or X and y that cannot be
            searched (too few rows, NaN or infinite inputs, a y that is not
            numeric).
        """
        def run(columns: dict[str, np.ndarray], categorical: frozenset[str], target: np.ndarray,
                weights: np.ndarray | None) -> tuple[list[list[FoundModel]], None]:
            _data.check_dtype("y", target.dtype)
            if target.dtype.kind not in "biuf":
                try:
                    target = target.astype(np.float64)
                except (TypeError, ValueError):
                    raise ValueError(f"y must be numeric for a regressor, not {target.dtype} "
                                     "(SymbolicClassifier takes class labels)") from None
            self._check_sample_count(len(target), len(columns))
            models, _interrupted = self._search(columns, categorical, np.asarray(target, dtype=np.float64),
                                                "regression", _params.integer_seed(self.random_state), weights,
                                                self.time_limit, self._target_name(columns, y))
            return [models], None

        self._fit(X, y, sample_weight, run)
        return self

    @property
    def best_model_(self) -> FoundModel:
        """The chosen model, which `predict` uses."""
        return self._fitted().chosen[0]

    def predict(self, X: Any) -> np.ndarray:
        """The chosen formula's value for every row of X.

        Parameters
        ----------
        X : pandas.DataFrame or array of shape (n_samples, n_features)
            The inputs, with the columns `fit` saw.

        Returns
        -------
        numpy.ndarray of shape (n_samples,)
            The predictions.
        """
        state = self._fitted()
        return state.chosen[0].predict(state.columns(X, type(self).__name__))

    def score(self, X: Any, y: Any, sample_weight: Any = None) -> float:
        """R² of the predictions (weighted by sample_weight).

        Parameters
        ----------
        X : pandas.DataFrame or array of shape (n_samples, n_features)
            The inputs, with the columns `fit` saw.
        y : array of shape (n_samples,)
            The true values.
        sample_weight : array of shape (n_samples,) or None
            Weights of the rows.

        Returns
        -------
        float
            The coefficient of determination, 1 at best.
        """
        predicted = self.predict(X)
        truth = np.asarray(y, dtype=np.float64).ravel()
        weights = _data.sample_weights(sample_weight, len(truth), "sample_weight")
        mean = _weighted_mean(truth, weights)
        total = _weighted_mean((truth - mean) ** 2, weights)
        residual = _weighted_mean((truth - predicted) ** 2, weights)
        if total == 0.0:
            return 1.0 if residual == 0.0 else 0.0
        return 1.0 - residual / total


class SymbolicClassifier(ClassifierMixin, _SymbolicEstimator):
    """Finds formulas for the probability of each class of y given X.

    Two classes get one formula, the probability of the second class in
    sorted order (``classes_[1]``), through the logistic output register.
    More classes are fitted one-vs-rest: each class gets its own formula for
    "this class against all others", and `predict_proba` divides the
    per-class probabilities by their sum.  A ``time_limit`` covers the whole
    fit and is shared among the classes.

    The parameters are those of `SymbolicRegressor`.

    Attributes
    ----------
    classes_ : numpy.ndarray
        The class labels, sorted.
    best_models_ : tuple of FoundModel
        One model per formula, in the order of ``classes_`` for more than
        two classes.
    best_model_ : FoundModel
        The formula of a two-class fit.
    pareto_front_ : pandas.DataFrame or list of dict
        The fronts, a row per class and size (``class`` for more than two
        classes), with ``accuracy`` in place of ``r2``.
    models_ : list
        The search's models (a list per class for more than two classes).
    n_features_in_ : int
        The number of columns of X.
    feature_names_in_ : numpy.ndarray
        X's column names, when they are all strings.

    See Also
    --------
    SymbolicRegressor : the parameters, and the same for numeric targets.

    Examples
    --------
    >>> import numpy as np
    >>> from vant import SymbolicClassifier
    >>> X = np.random.default_rng(0).uniform(-2, 2, (500, 2))
    >>> classifier = SymbolicClassifier(rounds=2, population=8, random_state=0).fit(X, X[:, 0] > 0.5)
    >>> classifier.classes_
    array([False,  True])
    >>> classifier.predict(np.array([[1.5, 0.0], [-1.5, 0.0]]))
    array([ True, False])
    """

    _kind = "classification"

    def fit(self, X: Any, y: Any, sample_weight: Any = None) -> Self:
        """Search for formulas on X and y.

        Parameters
        ----------
        X : pandas.DataFrame or array of shape (n_samples, n_features)
            The inputs.
        y : array of shape (n_samples,)
            The class labels (at least two classes).
        sample_weight : array of shape (n_samples,) or None
            Non-negative weights of the rows.

        Returns
        -------
        SymbolicClassifier
            The fitted estimator.

        Raises
        ------
        ValueError
            For a parameter out of its range, or X and y that cannot be
            searched (too few rows, NaN or infinite inputs, fewer than two
            classes, continuous values).
        """
        def run(columns: dict[str, np.ndarray], categorical: frozenset[str], labels: np.ndarray,
                weights: np.ndarray | None) -> tuple[list[list[FoundModel]], np.ndarray]:
            classes, codes = self._classes(labels, weights)
            self._check_sample_count(len(labels), len(columns))
            seed = _params.integer_seed(self.random_state)
            started = time.monotonic()
            # Binary: one formula for the second class; otherwise one per class.
            targets = [classes[codes]] if len(classes) == 2 else [codes == k for k in range(len(classes))]
            found: list[list[FoundModel]] = []
            interrupted = False
            for k, target in enumerate(targets):
                remaining: float | None = None
                rounds: int | None = None
                if interrupted:
                    # Ctrl-C ended an earlier class's search: the classes left
                    # get their first candidates only, so that the fit is usable.
                    remaining, rounds = _LEAST_TIME, 1
                elif self.time_limit is not None:
                    # The classes left share what is left; a class whose share is
                    # spent still trains its first candidates.
                    left = self.time_limit - (time.monotonic() - started)
                    remaining = max(left / (len(targets) - k), _LEAST_TIME)
                models, stopped = self._search(columns, categorical, target, "classification",
                                               seed if len(targets) == 1 else _class_seed(seed, k), weights,
                                               remaining, self._target_name(columns, y), rounds)
                found.append(models)
                interrupted = interrupted or stopped
            return found, classes

        self._fit(X, y, sample_weight, run)
        return self

    @property
    def classes_(self) -> np.ndarray:
        """The class labels, sorted."""
        return self._classes_of(self._fitted())

    @staticmethod
    def _classes_of(state: _Fitted) -> np.ndarray:
        assert state.classes is not None   # a classifier's fit sets them
        return state.classes

    @property
    def best_models_(self) -> tuple[FoundModel, ...]:
        """One model per formula, in the order of ``classes_`` for more than two classes."""
        return tuple(self._fitted().chosen)

    def _formula_labels(self, state: _Fitted | None = None) -> np.ndarray | None:
        classes = self._classes_of(state or self._fitted())
        return None if len(classes) == 2 else classes

    def _fitted_record(self, state: _Fitted) -> dict[str, Any]:
        record = super()._fitted_record(state)
        classes = self._classes_of(state)
        record["classes"] = {"values": _saving.encode(list(classes)), "dtype": classes.dtype.str}
        return record

    @staticmethod
    def _classes(labels: np.ndarray, weights: np.ndarray | None) -> tuple[np.ndarray, np.ndarray]:
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
    def best_model_(self) -> FoundModel:
        """The formula of a two-class fit (AttributeError for more classes)."""
        models = self.best_models_
        if len(models) != 1:
            raise AttributeError("a fit with more than two classes has one model per class: see best_models_")
        return models[0]

    def predict_proba(self, X: Any) -> np.ndarray:
        """The probability of each class for every row of X.

        Parameters
        ----------
        X : pandas.DataFrame or array of shape (n_samples, n_features)
            The inputs, with the columns `fit` saw.

        Returns
        -------
        numpy.ndarray of shape (n_samples, n_classes)
            Probabilities, columns in the order of ``classes_``.
        """
        return self._probabilities(self._fitted(), X)

    def _probabilities(self, state: _Fitted, X: Any) -> np.ndarray:
        columns = state.columns(X, type(self).__name__)
        p = [model.predict(columns) for model in state.chosen]
        if len(p) == 1:
            return np.column_stack([1.0 - p[0], p[0]])
        stacked = np.column_stack(p)
        total = stacked.sum(axis=1, keepdims=True)
        # Where every one-vs-rest probability underflows, no class is preferred.
        uniform = total[:, 0] <= 0.0
        stacked[uniform] = 1.0
        total[uniform] = len(p)
        probabilities: np.ndarray = stacked / total
        return probabilities

    def decision_function(self, X: Any) -> np.ndarray:
        """The log-odds of the chosen formulas for every row of X.

        Parameters
        ----------
        X : pandas.DataFrame or array of shape (n_samples, n_features)
            The inputs, with the columns `fit` saw.

        Returns
        -------
        numpy.ndarray
            For two classes the log-odds of ``classes_[1]``, shape
            (n_samples,); for more, those of each class against the rest,
            one column per class in the order of ``classes_``, shape
            (n_samples, n_classes).  They rank as `predict_proba` does.
        """
        state = self._fitted()
        columns = state.columns(X, type(self).__name__)
        z = [model.decision_function(columns) for model in state.chosen]
        return z[0] if len(z) == 1 else np.column_stack(z)

    def predict(self, X: Any) -> np.ndarray:
        """The most probable class of every row of X.

        Parameters
        ----------
        X : pandas.DataFrame or array of shape (n_samples, n_features)
            The inputs, with the columns `fit` saw.

        Returns
        -------
        numpy.ndarray of shape (n_samples,)
            Labels from ``classes_``.
        """
        state = self._fitted()   # the classes of the fit that gave the probabilities
        return self._classes_of(state)[np.argmax(self._probabilities(state, X), axis=1)]

    def score(self, X: Any, y: Any, sample_weight: Any = None) -> float:
        """Accuracy of the predictions (weighted by sample_weight).

        Parameters
        ----------
        X : pandas.DataFrame or array of shape (n_samples, n_features)
            The inputs, with the columns `fit` saw.
        y : array of shape (n_samples,)
            The true labels.
        sample_weight : array of shape (n_samples,) or None
            Weights of the rows.

        Returns
        -------
        float
            The share of rows predicted right.
        """
        predicted = self.predict(X)
        truth = np.asarray(y).ravel()
        return _weighted_mean(predicted == truth, _data.sample_weights(sample_weight, len(truth), "sample_weight"))


# The classes a file may name, by the name it gives.
ESTIMATORS = {cls.__name__: cls for cls in (SymbolicRegressor, SymbolicClassifier)}
