"""`FoundModel`: a trained program as `search` returns it."""

from __future__ import annotations

import math
from dataclasses import dataclass, field

import numpy as np

import _kestor

from ._data import columns_of, prepare_inputs
from ._elements import INPUT_TYPES, TASKS, new_model
from ._program import check_program
from ._render import namespace, render


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
        if self.kind not in TASKS:
            raise ValueError(f"kind must be one of {sorted(TASKS)}, not {self.kind!r}")
        if self.fnames[0] != TASKS[self.kind][0]:
            raise ValueError(f"a {self.kind} model has the root {TASKS[self.kind][0]!r}")
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
        columns = prepare_inputs(columns_of(data), self.inputs)
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
