"""`FoundModel`: a trained program as `search` returns it."""

from __future__ import annotations

import math
import numbers
import os
import warnings
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np

import _kestor

from ._categories import category_key
from ._data import columns_of, is_frame, prepare_inputs
from ._elements import CATEGORICAL_INPUT, INPUT_TYPES, TASKS, check_params, new_model
from ._fitting import operand_values, root_link
from ._program import check_program
from ._refusal import refusals
from ._render import CategoryTable, evaluate_formula, render

# The largest sample count the native model stores (a signed 32-bit integer).
_MAX_SAMPLE_COUNT = 2**31 - 1


@dataclass
class FoundModel:
    """A trained program found by `search`.

    `search` and the estimators make these; `from_params` and `vant.load`
    rebuild them.  Every argument is checked: a program the native module
    would refuse is refused here, with a ValueError or a TypeError.

    Parameters
    ----------
    dnames : list of str
        The data name of every element in prefix order: the target at the
        root, a column at each input, "" for the others.
    fnames : list of str
        The element type of every element, such as ``"out-linear:1"``,
        ``"add:2"``, ``"in-linear:0"``.
    params : list of dict
        One parameter dictionary per element; with `dnames` and `fnames`
        they rebuild the `_kestor.Model` (see `model` and `from_params`).
    kind : {"regression", "classification"}
        What the program predicts: a value, or the probability of the
        second class.
    sample_count : int
        The samples the program was trained on.
    loss : float
        The held-out loss (mean squared error, or binary cross-entropy).
    score : float
        The held-out score by which the search ranked it (the loss with a
        penalty for size).
    metrics : dict
        Held-out figures ("r2" or "accuracy", among others);
        "clamp_active", whether some element clamps its operand on the
        training rows (the printed formula then differs from the model
        there); "rounds", how many rounds the search ran; and "stopped",
        why it ended ("exact", "noise", "time", "rounds" or "interrupted").
    classes : tuple or None
        A classification's two classes, in order (the second is the one
        whose probability the program gives).
    expression : str
        The formula with the fitted constants folded in, to 4 significant
        digits (worked out from the program when not given).
    tables : list of CategoryTable
        The lookups behind the ``cat(...)`` calls of `expression`.
    legend : dict
        Identifier -> column, for the columns whose names the formula cannot
        use as they are (not identifiers, keywords, function names).
    columns : tuple of str or None
        The input columns of the search, in their order (None when not
        known): the columns of a 2-D array given to `predict`.

    Attributes
    ----------
    size : int
        The number of elements of the program.
    target : str
        The name of the predicted column.
    inputs : dict
        Input column name -> its register type.

    Examples
    --------
    >>> import numpy as np
    >>> from vant import FoundModel
    >>> register = {"scale": 1.0, "scale_offset": 0.0, "w": 1.0, "bias": 0.0, "detect_scale": 0}
    >>> model = FoundModel.from_params(["y", "x"], ["out-linear:1", "in-linear:0"],
    ...                                [dict(register, w=2.0, bias=1.0), register])
    >>> print(model)
    y = 2*x + 1
    >>> model.predict({"x": np.array([0.0, 1.0])})
    array([1., 3.])
    """
    dnames: list[str]
    fnames: list[str]
    params: list[dict[str, Any]]
    kind: str = "regression"
    sample_count: int = 0
    loss: float = math.nan
    score: float = math.nan
    metrics: dict[str, Any] = field(default_factory=dict)
    classes: tuple[Any, ...] | None = None
    expression: str = ""
    tables: list[CategoryTable] = field(default_factory=list)
    legend: dict[str, str] = field(default_factory=dict)
    columns: tuple[str, ...] | None = None

    def __post_init__(self) -> None:
        check_program(self.dnames, self.fnames)
        if self.kind not in TASKS:
            raise ValueError(f"kind must be one of {sorted(TASKS)}, not {self.kind!r}")
        if self.fnames[0] != TASKS[self.kind][0]:
            raise ValueError(f"a {self.kind} model has the root {TASKS[self.kind][0]!r}")
        if len(self.params) != len(self.fnames):
            raise ValueError("one parameter dictionary per element is needed")
        for i, (fname, params) in enumerate(zip(self.fnames, self.params)):
            check_params(i, fname, params)
        _check_sample_count(self.sample_count)
        _check_classes(self.kind, self.classes)
        self.columns = _checked_columns(self.columns, self.inputs)
        if not self.expression:
            rendered = render(self.dnames, self.fnames, self.params)
            self.expression, self.tables, self.legend = rendered.text, rendered.tables, rendered.legend

    @classmethod
    def from_params(cls, dnames: Sequence[str], fnames: Sequence[str], params: Sequence[Mapping[str, Any]],
                    kind: str = "regression", sample_count: int = 0,
                    classes: Sequence[Any] | None = None, columns: Sequence[str] | None = None) -> FoundModel:
        """Rebuild a found model from its plain lists (as `to_dict` writes them).

        Parameters
        ----------
        dnames, fnames : sequence of str
            The data names and element types, in prefix order.
        params : sequence of dict
            One parameter dictionary per element.
        kind : {"regression", "classification"}
            What the program predicts.
        sample_count : int
            The samples the program was trained on.
        classes : sequence or None
            A classification's two classes.
        columns : sequence of str or None
            The input columns in their order, for `predict` on 2-D arrays.

        Returns
        -------
        FoundModel
            The model, its formula worked out from the parameters.

        Raises
        ------
        ValueError, TypeError
            When the program or its parameters are not a valid model.
        """
        if not isinstance(params, (list, tuple)):
            raise TypeError(f"params must be a list of dicts, not {type(params).__name__}")
        copied: list[Any] = [dict(p) if isinstance(p, dict) else p for p in params]   # the others are refused
        return cls(list(dnames), list(fnames), copied, kind, sample_count,
                   classes=None if classes is None else tuple(classes),
                   columns=None if columns is None else _column_names(columns))

    def to_dict(self) -> dict[str, Any]:
        """The plain data that `from_params(**d)` takes back.

        Returns
        -------
        dict
            ``dnames``, ``fnames``, ``params``, ``kind``, ``sample_count``,
            ``classes`` and ``columns``, as lists, dicts and numbers.
        """
        return {"dnames": list(self.dnames), "fnames": list(self.fnames),
                "params": [dict(p) for p in self.params], "kind": self.kind,
                "sample_count": self.sample_count,
                "classes": None if self.classes is None else list(self.classes),
                "columns": None if self.columns is None else list(self.columns)}

    @property
    def size(self) -> int:
        """The number of elements of the program."""
        return len(self.fnames)

    @property
    def target(self) -> str:
        """The name of the predicted column."""
        return self.dnames[0]

    @property
    def inputs(self) -> dict[str, str]:
        """Input column name -> register type."""
        return {d: f for d, f in zip(self.dnames, self.fnames) if f in INPUT_TYPES}

    def model(self) -> _kestor.Model:
        """A new `_kestor.Model` built from the parameters."""
        model: _kestor.Model = new_model(self.dnames, self.fnames, [dict(p) for p in self.params],
                                         int(self.sample_count), TASKS[self.kind][1])
        return model

    def predict(self, data: Any) -> np.ndarray:
        """Predict every row of `data`.

        Parameters
        ----------
        data : mapping, DataFrame or 2-D array
            The input columns by name (one-dimensional arrays), or a 2-D
            array whose columns are `columns` in order (as the estimator
            that found the model takes it).

        Returns
        -------
        numpy.ndarray
            For regression the predicted values; for classification the
            probability of the second class in `classes`.

        Raises
        ------
        ValueError, TypeError, KeyError
            When an input column is missing or cannot be read.
        """
        x = self._inputs_of(data)
        self._warn_of_unseen_category_types(x)
        model = self.model()
        with refusals():   # values its arithmetic overflows on
            predicted: np.ndarray = model.predict(x)
        return predicted

    def decision_function(self, data: Any) -> np.ndarray:
        """The log-odds of the second class in `classes` (classification only).

        Parameters
        ----------
        data : mapping, DataFrame or 2-D array
            The input columns, as for `predict`.

        Returns
        -------
        numpy.ndarray
            For every row the value before the logistic function, computed
            as the model computes it (finite where the probability rounds
            to 0 or 1).

        Raises
        ------
        ValueError
            For a regression model.
        """
        if self.kind != "classification":
            raise ValueError("decision_function is for classification models; predict gives a regression's values")
        x = self._inputs_of(data)
        self._warn_of_unseen_category_types(x)
        operand = operand_values(self.dnames, self.fnames, self.params, x)
        with np.errstate(over="ignore", invalid="ignore"):
            z: np.ndarray = root_link(self.fnames, self.params, operand)
        return z

    def _inputs_of(self, data: Any) -> dict[str, np.ndarray]:
        """The model's input columns from `data`, as the model reads them."""
        if isinstance(data, Mapping) or is_frame(data) and all(isinstance(n, str) for n in data.columns):
            return prepare_inputs(columns_of(data), self.inputs)
        if is_frame(data):  # names that are not strings: its columns by position, as the estimators read it
            return prepare_inputs(dict(zip(self._positional(data.shape[1]), (data.iloc[:, j] for j in range(
                data.shape[1])))), self.inputs)
        if not isinstance(data, (np.ndarray, list, tuple)):
            raise TypeError("data must be a mapping of columns, a pandas DataFrame or a 2-D array, "
                            f"not {type(data).__name__}")
        array = np.asarray(data)
        if array.ndim != 2:
            raise ValueError(f"data as an array must be 2-D (a row per sample, a column per input), "
                             f"not {array.ndim}-D")
        return prepare_inputs({name: array[:, j] for j, name in enumerate(self._positional(array.shape[1]))},
                              self.inputs)

    def _positional(self, count: int) -> tuple[str, ...]:
        """The names of `count` columns given by position."""
        if self.columns is None:
            raise ValueError("this model does not know the order of its columns (it was built from its "
                             "parameters alone): pass a mapping of columns by name")
        if count != len(self.columns):
            raise ValueError(f"data has {count} columns, but the model's are the "
                             f"{len(self.columns)} columns {list(self.columns)}")
        return self.columns

    def save(self, path: str | os.PathLike[str]) -> None:
        """Write the model to a JSON file (`to_json`).

        Parameters
        ----------
        path : str or path-like
            The file to write; `vant.load` reads it back.
        """
        from ._saving import save
        save(self, path)

    def predict_class(self, data: Any) -> np.ndarray:
        """The more probable class of every row (classification only).

        Parameters
        ----------
        data : mapping, DataFrame or 2-D array
            The input columns, as for `predict`.

        Returns
        -------
        numpy.ndarray
            One of `classes` per row (0 or 1 without classes).

        Raises
        ------
        ValueError
            For a regression model.
        """
        if self.kind != "classification":
            raise ValueError("predict_class is for classification models")
        classes = self.classes if self.classes is not None else (0, 1)
        positive = self.predict(data) >= 0.5
        return np.where(positive, np.asarray(classes[1], dtype=object), np.asarray(classes[0], dtype=object))

    def formula(self, digits: int | None = None) -> str:
        """The formula as text.

        Parameters
        ----------
        digits : int or None
            Significant digits of the constants; None writes every constant
            exactly.

        Returns
        -------
        str
            The formula, such as ``"2*x + 1"``.
        """
        return render(self.dnames, self.fnames, self.params, digits).text

    def evaluate_formula(self, data: Any, digits: int | None = None) -> np.ndarray:
        """What the text of `formula(digits)` computes, with numpy.

        The program's formula is evaluated as it reads, its constants
        rounded as written, and never as text.  The formula has no clamps,
        so it equals `predict` only where no element clamps its operand.

        Parameters
        ----------
        data : mapping, DataFrame or 2-D array
            The input columns, as for `predict`.
        digits : int or None
            Significant digits of the constants, as for `formula`.

        Returns
        -------
        numpy.ndarray
            The formula's value for every row.
        """
        columns = self._inputs_of(data)
        n = len(next(iter(columns.values())))
        return evaluate_formula(self.dnames, self.fnames, self.params, columns, n, digits)

    def sympy(self) -> Any:
        """The formula as a sympy expression.

        A categorical input is a Piecewise over its categories (the last
        value for unseen ones): substitute `FoundModel.category(key)` for
        its symbol to pick one.  Like `expression` it has no clamps, so it
        equals `predict` where no element clamps its operand.

        Returns
        -------
        sympy.Expr
            The formula.

        Raises
        ------
        ImportError
            Without sympy (``pip install 'vant[sympy]'``).
        """
        from ._sympy import to_sympy
        return to_sympy(self.dnames, self.fnames, self.params)

    @staticmethod
    def category(key: Any) -> Any:
        """The sympy value of a category in `sympy`'s conditions.

        Parameters
        ----------
        key : object
            A category, as the training data held it.

        Returns
        -------
        sympy.Basic
            The number for numbers, else an atom of its text.
        """
        from ._sympy import _sympy, category_value
        return category_value(_sympy(), key)

    def latex(self, digits: int | None = 4) -> str:
        """The formula as LaTeX (through sympy).

        Parameters
        ----------
        digits : int or None
            Significant digits of the constants; None keeps them all.

        Returns
        -------
        str
            The LaTeX of `sympy`.
        """
        from ._sympy import to_latex
        return to_latex(self.dnames, self.fnames, self.params, digits)

    def to_json(self) -> str:
        """The model as JSON text, with its loss and metrics.

        Returns
        -------
        str
            JSON that `vant.load_json` reads back to a model of
            bit-identical predictions.

        Raises
        ------
        TypeError
            When a parameter holds a value JSON cannot keep (a category of
            another type than str, int, float, bool, None, bytes or tuples
            of them).
        """
        from ._saving import model_to_json
        return model_to_json(self)

    def _warn_of_unseen_category_types(self, x: Mapping[str, np.ndarray]) -> None:
        """Warn once when categorical columns hold values of a type the model
        never saw in training (ints where it learned strings, say): such
        values all get the default, which is seldom what was meant."""
        known: dict[str, dict[Any, str]] = {}
        for dname, fname, params in zip(self.dnames, self.fnames, self.params):
            if fname == CATEGORICAL_INPUT:
                known.setdefault(dname, {}).update((category_key(k), _type_family(k)) for k, _w in params["categories"])
        notes = []
        for column, categories in known.items():
            families = set(categories.values())
            unseen = sum(1 for v in x[column].tolist()
                         if category_key(v) not in categories and _type_family(v) not in families)
            if unseen and families:
                notes.append(f"column {column!r}: {unseen} value{'s' if unseen > 1 else ''} of a type it never saw "
                             f"(it knows {', '.join(sorted(families))})")
        if notes:
            warnings.warn("the model gives these the default of an unseen category: " + "; ".join(notes),
                          UserWarning, stacklevel=3)

    def _repr_latex_(self) -> str | None:
        """The formula in a notebook (None without sympy: the text then)."""
        from ._display import model_latex
        return model_latex(self)

    def __str__(self) -> str:
        lines = [f"{self.target} = {self.expression}"]
        lines += [f"  where {identifier} is the column {column!r}" for identifier, column in self.legend.items()]
        lines += [f"  where {table}" for table in self.tables]
        return "\n".join(lines)

    def __repr__(self) -> str:
        return f"FoundModel(expression={self.expression!r}, loss={self.loss:.6g}, size={self.size})"


def _column_names(columns: Sequence[str]) -> tuple[str, ...]:
    if isinstance(columns, str):
        raise TypeError("columns must be a list of column names, not str")
    return tuple(columns)


def _checked_columns(columns: object, inputs: Mapping[str, str]) -> tuple[str, ...] | None:
    """`columns` as a tuple, once it is known to name every input once."""
    if columns is None:
        return None
    if isinstance(columns, str) or not isinstance(columns, (list, tuple)):
        raise TypeError(f"columns must be a list of column names, not {type(columns).__name__}")
    if not all(isinstance(name, str) and name for name in columns):
        raise ValueError(f"columns must be non-empty strings: {list(columns)!r}")
    if len(set(columns)) != len(columns):
        raise ValueError(f"columns names a column more than once: {list(columns)!r}")
    missing = [name for name in inputs if name not in columns]
    if missing:
        raise ValueError(f"columns lacks the model's inputs {missing}")
    return tuple(columns)


def _type_family(value: object) -> str:
    """Numbers of any type (bools too: True is 1) are one family; other
    values go by their type."""
    if isinstance(value, (numbers.Number, np.bool_)):
        return "numbers"
    return type(value).__name__


def _check_sample_count(sample_count: object) -> None:
    if isinstance(sample_count, (bool, np.bool_)) or not isinstance(sample_count, (int, np.integer)):
        raise TypeError(f"sample_count must be an integer, not {type(sample_count).__name__}")
    if not 0 <= sample_count <= _MAX_SAMPLE_COUNT:
        raise ValueError(f"sample_count must lie between 0 and {_MAX_SAMPLE_COUNT}, not {sample_count}")


def _check_classes(kind: str, classes: Sequence[Any] | None) -> None:
    if classes is None:
        return
    if kind != "classification":
        raise ValueError(f"a {kind} model has no classes, but classes={classes!r} were given")
    if len(classes) != 2 or classes[0] == classes[1]:
        raise ValueError(f"a classification model has two distinct classes, not {list(classes)!r}")
