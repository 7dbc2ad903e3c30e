"""The term a program misses: what explains its errors.

A formula that is partly right, such as 3*exp(-x0**2) for
3*exp(-x0**2) + 0.5*x1*x2, is a term away from the law, but the sampler
rarely proposes that term: among the hundreds of one-edit variants of a
program, the one that adds a product of two inputs is one of many, and it
takes two edits.  The program's errors point at it: regressed on the
candidate terms (an input, a product or square of inputs, a bell of an
input, the program times an input or over a positive one or its square),
the errors are explained by the
missing one and by little else.  Each term is judged by the information
criterion of that regression, so a larger term must explain more.

The regressions run on (a head of) the refit rows with the candidate's parameters: the
same numbers whatever the thread that trained the candidate.
"""

from __future__ import annotations

import math

import numpy as np

from . import _linalg
from ._data import TrainingData
from ._elements import NUMERIC_INPUT, new_model
from ._fitting import root_operand
from ._program import is_redundant, to_tree

# The regressions run on at most this many of the refit rows: enough to tell
# a missing term from noise, and cheap beside the training.
TERM_ROWS = 2000
# Terms proposed for each program extended, and functions wrapped around it.
TERMS_PER_PROGRAM = 2
WRAPS_PER_PROGRAM = 1
# Above this many numeric inputs, products are formed among the first ones
# only (the number of pairs grows with the square).
PAIRED_INPUTS = 16


class TermColumns:
    """The rows the term regressions run on (a head of the refit rows), and
    the columns worked out from them alone: each input standardised, its
    square, bell and reciprocals, and the products of two.  They are the same
    for every program of a search, which extends several a round, so each is
    worked out once, when first asked for."""

    def __init__(self, data: TrainingData):
        self.rows = data.fit.head(TERM_ROWS)
        self._columns: dict[tuple, np.ndarray | None] = {}

    def _column(self, key: tuple, make) -> np.ndarray | None:
        if key not in self._columns:
            self._columns[key] = make()
        return self._columns[key]

    def z(self, name: str) -> np.ndarray:
        """The input standardised."""
        return self._column(("z", name), lambda: _standardised(self.rows.x[name]))

    def squared(self, name: str) -> np.ndarray:
        return self._column(("squared", name), lambda: self.z(name) ** 2)

    def bell(self, name: str) -> np.ndarray:
        return self._column(("bell", name), lambda: np.exp(-self.z(name) ** 2))

    def reciprocal(self, name: str, power: int = 1) -> np.ndarray | None:
        """1/x (or 1/x**2) when the input's values are all positive, as
        given; None otherwise."""
        def make():
            values = self.rows.x[name]
            if not np.min(values) > 0.0:
                return None
            reciprocal = 1.0 / np.asarray(values, dtype=np.float64)
            return reciprocal if power == 1 else reciprocal ** power
        return self._column(("reciprocal", name, power), make)

    def reciprocal_of_sum(self, first: str, second: str) -> np.ndarray | None:
        """1/(x + y), or 1/(x - y) where that difference keeps one sign
        (as given), when no value is 0; None otherwise."""
        def make():
            x, y = (np.asarray(self.rows.x[name], dtype=np.float64) for name in (first, second))
            for combined in (x + y, x - y):
                if np.min(combined) > 0.0 or np.max(combined) < 0.0:
                    return 1.0 / combined
            return None
        return self._column(("reciprocal_of_sum", first, second), make)

    def product(self, first: str, second: str) -> np.ndarray:
        return self._column(("product", first, second), lambda: self.z(first) * self.z(second))


def missing_terms(data: TrainingData, dnames, fnames, params, types, max_elements: int, excluded=frozenset(),
                  count: int = TERMS_PER_PROGRAM, columns: TermColumns | None = None
                  ) -> list[tuple[list[str], list[str]]]:
    """Up to `count` programs: the given one with the terms that explain
    most of its errors on the refit rows added to it (or multiplied with
    it), best first; none that explains too little to pay for its size.
    Terms are built from the numeric inputs not `excluded`.  `columns`: the
    search's TermColumns of `data`, made anew when not given."""
    names = [name for name, kind in data.inputs.items() if kind == NUMERIC_INPUT and name not in excluded]
    spare = max_elements - len(fnames)
    if not names or spare < 2 or "add:2" not in types:
        return []
    columns = TermColumns(data) if columns is None else columns
    predicted = new_model(dnames, fnames, params, 0, data.loss_name).predict(columns.rows.x)
    errors = columns.rows.y - predicted
    if not np.all(np.isfinite(errors)):
        return []
    n = len(errors)
    penalty = math.log(max(n, 2))
    baseline = n * math.log(max(float(np.var(errors)), 1e-300))
    centred = predicted - float(np.mean(predicted))
    terms = list(_terms(names, columns, centred, types, spare))
    left = _linalg.unexplained(errors, [basis for _term, basis, _elements in terms]).tolist()
    ranked = []
    for (term, _basis, elements), unexplained in zip(terms, left):
        criterion = n * math.log(max(unexplained, 1e-300)) + elements * penalty
        if criterion < baseline - penalty:
            ranked.append((criterion, term))
    ranked.sort(key=lambda item: item[0])
    programs = []
    for _criterion, (combiner, term_dnames, term_fnames) in ranked:
        program = ([dnames[0], "", *dnames[1:], *term_dnames], [fnames[0], combiner, *fnames[1:], *term_fnames])
        if not is_redundant(to_tree(*program)):
            programs.append(program)
            if len(programs) == count:
                break
    return programs


def _terms(names, columns: TermColumns, centred, types, spare):
    """(how to add the term, its regression columns, elements it adds)."""
    leaf = NUMERIC_INPUT
    for name in names:
        z = columns.z(name)
        yield ("add:2", [name], [leaf]), [z], 2
        if "squared:1" in types and spare >= 3:
            yield ("add:2", ["", name], ["squared:1", leaf]), [columns.squared(name), z], 3
        if "gaussian:1" in types and spare >= 3:
            yield ("add:2", ["", name], ["gaussian:1", leaf]), [columns.bell(name)], 3
        if "multiply:2" in types:
            yield ("multiply:2", [name], [leaf]), [centred * z, z, centred], 2
            reciprocal = columns.reciprocal(name) if "inverse:1" in types and spare >= 3 else None
            if reciprocal is not None:
                # a ratio: the program over an input, or over its square
                yield ("multiply:2", ["", name], ["inverse:1", leaf]), [centred * reciprocal, reciprocal, centred], 3
                if "squared:1" in types and spare >= 4:
                    square = columns.reciprocal(name, 2)
                    yield (("multiply:2", ["", "", name], ["inverse:1", "squared:1", leaf]),
                           [centred * square, square, centred], 4)
    if "multiply:2" in types and spare >= 4:
        paired = names[:PAIRED_INPUTS]
        for i, first in enumerate(paired):
            for second in paired[i + 1:]:
                yield (("add:2", ["", first, second], ["multiply:2", leaf, leaf]),
                       [columns.product(first, second), columns.z(first), columns.z(second)], 4)
                yield from _times_two_inputs(columns, centred, first, second, types, spare)


def _times_two_inputs(columns: TermColumns, centred, first: str, second: str, types, spare: int):
    """The program times a sum or difference of two inputs, or over one
    (laws of physics are full of ratios of sums and products of
    differences: (m1*r1 + m2*r2)/(m1 + m2), kappa*(T2 - T1)*A/d)."""
    leaf = NUMERIC_INPUT
    z, w = columns.z(first), columns.z(second)
    yield (("multiply:2", ["", first, second], ["add:2", leaf, leaf]), [centred * z, centred * w, z, w, centred], 4)
    reciprocal = columns.reciprocal_of_sum(first, second) if "inverse:1" in types and spare >= 5 else None
    if reciprocal is not None:
        yield (("multiply:2", ["", "", first, second], ["inverse:1", "add:2", leaf, leaf]),
               [centred * reciprocal, reciprocal, centred], 5)


def _standardised(values: np.ndarray) -> np.ndarray:
    values = np.asarray(values, dtype=np.float64)
    deviation = float(np.std(values))
    return (values - float(np.mean(values))) / deviation if deviation > 0.0 else values * 0.0


def wrapped(data: TrainingData, dnames, fnames, params, types, max_elements: int,
            count: int = WRAPS_PER_PROGRAM, columns: TermColumns | None = None) -> list[tuple[list[str], list[str]]]:
    """Up to `count` programs: the given one with its body (all below the
    output register) inside a function, for the functions under which the
    body predicts the target best, as judged on the refit rows: a sum of
    squares wants a root, a sum of reciprocals a reciprocal, y*log(x) an
    exponential.  None that predicts worse than the body itself.  `columns`:
    as for `missing_terms`."""
    if len(fnames) < 2 or len(fnames) >= max_elements or data.task != "regression":
        return []
    rows = (TermColumns(data) if columns is None else columns).rows
    body = root_operand(rows, dnames, fnames, params)
    if body is None or not np.all(np.isfinite(body)) or not np.std(body) > 0.0:
        return []
    n = len(body)
    wrappings = [(name, values) for name, values in _wrappings(body)
                 if name in types and np.all(np.isfinite(values)) and np.std(values) > 0.0]
    left = _linalg.unexplained(rows.y, [[body], *([values] for _name, values in wrappings)]).tolist()
    baseline = n * math.log(max(left[0], 1e-300))
    best: dict[str, float] = {}
    for (name, _values), unexplained in zip(wrappings, left[1:]):
        criterion = n * math.log(max(unexplained, 1e-300))
        if criterion < min(best.get(name, math.inf), baseline - math.log(max(n, 2))):
            best[name] = criterion
    programs = [([dnames[0], "", *dnames[1:]], [fnames[0], name, *fnames[1:]])
                for name in sorted(best, key=best.__getitem__)]
    return [program for program in programs if not is_redundant(to_tree(*program))][:count]


def _wrappings(body: np.ndarray):
    """(function, its values over the body) for the functions whose
    domain holds the body's values; those whose shape depends on the
    body's scale see it standardised."""
    low, high = float(np.min(body)), float(np.max(body))
    z = (body - float(np.mean(body))) / float(np.std(body))
    with np.errstate(all="ignore"):
        if low > 0.0 or high < 0.0:
            yield "inverse:1", 1.0 / body
        if low > 0.0:
            yield "sqrt:1", np.sqrt(body)
            yield "log:1", np.log(body)
        yield "squared:1", body * body
        for rate in (-2.0, -1.0, -0.5, 0.5, 1.0, 2.0):
            yield "exp:1", np.exp(rate * z)
        yield "tanh:1", np.tanh(z)
        yield "gaussian:1", np.exp(-z * z)
