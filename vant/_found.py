"""`FoundModel`: a trained program as `search` returns it."""

from __future__ import annotations

import math
import numbers
import warnings
from dataclasses import dataclass, field

import numpy as np

import _kestor

from ._categories import category_key
from ._data import columns_of, prepare_inputs
from ._elements import CATEGORICAL_INPUT, INPUT_TYPES, TASKS, check_params, new_model
from ._program import check_program
from ._render import evaluate_formula, render

# The largest sample count the native model stores (a signed 32-bit integer).
_MAX_SAMPLE_COUNT = 2**31 - 1


@dataclass
class FoundModel:
    """A trained program found by `search`.

    expression: the formula with the fitted constants folded in, 4
      significant digits; `formula(None)` writes every constant exactly.
    loss: held-out loss (mean squared error, or binary cross-entropy).
    size: number of elements of the program.
    params: one parameter dictionary per element; with `dnames` and `fnames`
      they rebuild the `_kestor.Model` (see `model()` and `from_params`).
    metrics: held-out figures ("r2" or "accuracy", among others), and
      "clamp_active": whether some element clamps its operand on the
      training rows (then the printed formula differs from the model
      there), and "rounds": how many rounds the search ran.
    tables: the lookup tables behind the ``cat(...)`` calls of `expression`.
    legend: identifier -> column, for the columns whose names the formula
      cannot use as they are (not identifiers, keywords, function names).
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
    legend: dict = field(default_factory=dict)

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
        if not self.expression:
            rendered = render(self.dnames, self.fnames, self.params)
            self.expression, self.tables, self.legend = rendered.text, rendered.tables, rendered.legend

    @classmethod
    def from_params(cls, dnames, fnames, params, kind="regression", sample_count=0, classes=None) -> FoundModel:
        """Rebuild a found model from its plain lists (as `to_dict` writes them)."""
        if not isinstance(params, (list, tuple)):
            raise TypeError(f"params must be a list of dicts, not {type(params).__name__}")
        params = [dict(p) if isinstance(p, dict) else p for p in params]
        return cls(list(dnames), list(fnames), params, kind, sample_count,
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
        return {d: f for d, f in zip(self.dnames, self.fnames) if f in INPUT_TYPES}

    def model(self) -> _kestor.Model:
        """A new `_kestor.Model` built from the parameters."""
        return new_model(self.dnames, self.fnames, [dict(p) for p in self.params], int(self.sample_count),
                         TASKS[self.kind][1])

    def predict(self, data) -> np.ndarray:
        """Predictions for every row of `data` (a mapping of columns or a
        DataFrame): values for regression, for classification the probability
        of the second class in `classes`."""
        x = prepare_inputs(columns_of(data), self.inputs)
        self._warn_of_unseen_category_types(x)
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
        """What the text of `formula(digits)` computes, with numpy (for
        checking it): the program's formula is evaluated as it reads, its
        constants rounded as written, and never as text.

        The formula has no clamps, so it equals `predict` only where no
        element clamps its operand.
        """
        columns = prepare_inputs(columns_of(data), self.inputs)
        n = len(next(iter(columns.values())))
        return evaluate_formula(self.dnames, self.fnames, self.params, columns, n, digits)

    def sympy(self):
        """The formula as a sympy expression (sympy is an optional
        dependency).  A categorical input is a Piecewise over its categories
        (the last value for unseen ones): substitute
        `FoundModel.category(key)` for its symbol to pick one.  Like
        `expression` it has no clamps, so it equals `predict` where no element
        clamps its operand."""
        from ._sympy import to_sympy
        return to_sympy(self.dnames, self.fnames, self.params)

    @staticmethod
    def category(key):
        """The sympy value of a category key in `sympy()`'s conditions: the
        number for numbers, else an atom of its text."""
        from ._sympy import _sympy, category_value
        return category_value(_sympy(), key)

    def latex(self, digits: int | None = 4) -> str:
        """The LaTeX of `sympy()`, constants to `digits` significant digits
        (None: all of them)."""
        from ._sympy import to_latex
        return to_latex(self.dnames, self.fnames, self.params, digits)

    def to_json(self) -> str:
        """The model as JSON text, with its loss and metrics; `vant.load_json`
        reads it back to bit-identical predictions."""
        from ._saving import model_to_json
        return model_to_json(self)

    def _warn_of_unseen_category_types(self, x) -> None:
        """Warn once when categorical columns hold values of a type the model
        never saw in training (ints where it learned strings, say): such
        values all get the default, which is seldom what was meant."""
        known: dict[str, dict] = {}
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

    def __str__(self) -> str:
        lines = [f"{self.target} = {self.expression}"]
        lines += [f"  where {identifier} is the column {column!r}" for identifier, column in self.legend.items()]
        lines += [f"  where {table}" for table in self.tables]
        return "\n".join(lines)

    def __repr__(self) -> str:
        return f"FoundModel(expression={self.expression!r}, loss={self.loss:.6g}, size={self.size})"


def _type_family(value) -> str:
    """Numbers of any type (bools too: True is 1) are one family; other
    values go by their type."""
    if isinstance(value, (numbers.Number, np.bool_)):
        return "numbers"
    return type(value).__name__


def _check_sample_count(sample_count) -> None:
    if isinstance(sample_count, (bool, np.bool_)) or not isinstance(sample_count, (int, np.integer)):
        raise TypeError(f"sample_count must be an integer, not {type(sample_count).__name__}")
    if not 0 <= sample_count <= _MAX_SAMPLE_COUNT:
        raise ValueError(f"sample_count must lie between 0 and {_MAX_SAMPLE_COUNT}, not {sample_count}")


def _check_classes(kind: str, classes) -> None:
    if classes is None:
        return
    if kind != "classification":
        raise ValueError(f"a {kind} model has no classes, but classes={classes!r} were given")
    if len(classes) != 2 or classes[0] == classes[1]:
        raise ValueError(f"a classification model has two distinct classes, not {list(classes)!r}")
