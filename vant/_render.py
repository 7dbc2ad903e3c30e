"""Trained programs as formulas.

`symbolic` builds a program's formula from the element catalogue's forms,
with the fitted constants folded in; `render` writes it as text, such as
``2.01*exp(-0.98*x) + 0.5``.  A categorical input becomes a lookup such as
``cat(color)`` whose table is returned beside the text.

A column whose name is not a plain identifier of its own (a keyword, a
name with spaces, a number, a name like `exp` or `cat` that the formula
uses for a function) is written as a safe identifier, listed in the
`legend` beside the text.

The formula shows each function without the clamps the elements apply far
outside their useful range (exp above 6, log below 0.0001, ...), so it equals
the model wherever no clamp is active.
"""

from __future__ import annotations

import keyword
import re
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from . import _symbolic as sym
from ._categories import category_key, encoded
from ._elements import CATALOGUE, FORMULA_FUNCTIONS, INPUT_TYPES, numeric
from ._program import operand_indices, subtree_end


def symbolic(dnames: Sequence[str], fnames: Sequence[str], params: Sequence[Mapping[str, Any]]) -> sym.Lin:
    """Symbolic form of a trained program (the root's sigmoid kept as a Func)."""
    count = len(fnames)
    subtree_end(fnames, 0)  # refuses an incomplete program before anything is built
    forms: list[Any] = [None] * count
    for i in range(count - 1, -1, -1):
        args = [forms[j] for j in operand_indices(fnames, i)]
        forms[i] = CATALOGUE[fnames[i]].form(params[i] or {}, args, dnames[i])
    root = forms[0]
    counts: dict[str, int] = {}
    sym.count_tables(root, counts)
    return sym.fold_tables(root, counts)


@dataclass
class CategoryTable:
    """The lookup behind one ``cat(...)`` call of a formula.

    A found model lists its tables in `FoundModel.tables`; calling a table
    on a column of categories gives the value of every row.

    Attributes
    ----------
    call : str
        How the formula writes the lookup, e.g. ``"cat(color)"``.
    function : str
        The function name in the formula, e.g. ``"cat"`` or ``"cat2"``.
    column : str
        The categorical column it looks up.
    values : dict
        The fitted value of every category seen in training.
    default : float
        The value of a category never seen.

    Examples
    --------
    >>> import numpy as np
    >>> from vant import CategoryTable
    >>> table = CategoryTable("cat(color)", "cat", "color", {"red": 1.0, "blue": 0.5}, default=-0.25)
    >>> print(table)
    cat(color) = {'red': 1, 'blue': 0.5}, otherwise -0.25
    >>> table(np.array(["blue", "green"], dtype=object))
    array([ 0.5 , -0.25])
    """
    call: str
    function: str
    column: str
    values: dict[Any, float] = field(default_factory=dict)
    default: float = 0.0

    def __call__(self, column: Any) -> np.ndarray:
        """The value of every row of `column` (a sequence or an array of
        categories)."""
        values = {category_key(k): v for k, v in self.values.items()}
        return encoded(column).lookup(values, self.default)

    def __str__(self) -> str:
        items = ", ".join(f"{k!r}: {_number(v, 4)}" for k, v in self.values.items())
        return f"{self.call} = {{{items}}}, otherwise {_number(self.default, 4)}"


@dataclass
class Rendered:
    text: str
    tables: list[CategoryTable]
    legend: dict[str, str] = field(default_factory=dict)  # identifier -> column, for renamed columns


# Names the formula text gives functions; a column cannot take them.
_FUNCTION_NAME = re.compile(r"cat\d*\Z")


def _plain(name: str) -> bool:
    return name.isidentifier() and not keyword.iskeyword(name) and name not in FORMULA_FUNCTIONS \
        and not _FUNCTION_NAME.match(name)


def identifiers(columns: Sequence[str]) -> dict[str, str]:
    """The name each column takes in formulas: its own where that is a plain
    identifier, else a safe one made from it, distinct from every other."""
    names = {column: column for column in columns if _plain(column)}
    taken = set(names)
    for column in columns:
        if column in names:
            continue
        base = re.sub(r"\W", "_", column)
        if not base.isidentifier() or not _plain(base):
            base = "x_" + base
        identifier, n = base, 1
        while identifier in taken or not _plain(identifier):
            n += 1
            identifier = f"{base}_{n}"
        names[column] = identifier
        taken.add(identifier)
    return names


def _columns(dnames: Sequence[str], fnames: Sequence[str]) -> list[str]:
    return list(dict.fromkeys(d for d, f in zip(dnames, fnames) if f in INPUT_TYPES))


def _atomic(text: str) -> bool:
    """A name, or one bracketed group, called or not: x, (x + 1), sin(x)."""
    if text.replace("_", "").isalnum():
        return True
    opening = text.find("(")
    if opening < 0 or not text.endswith(")") or not (opening == 0 or text[:opening].isidentifier()):
        return False
    depth = 0
    for i, char in enumerate(text[opening:], opening):
        depth += {"(": 1, ")": -1}.get(char, 0)
        if depth == 0:
            return i == len(text) - 1
    return False


def _number(v: float, digits: int | None) -> str:
    if digits is None:
        return repr(float(v))
    text = f"{v:.{digits}g}"
    return "0" if text == "-0" else text


class _Writer:
    def __init__(self, digits: int | None, names: Mapping[str, str]):
        self.digits = digits
        self.names = names
        self.tables: dict[str, CategoryTable] = {}
        self.per_column: dict[str, int] = {}

    def num(self, v: float) -> str:
        return _number(v, self.digits)

    def table(self, t: sym.Table) -> str:
        signature = t.signature()
        if signature not in self.tables:
            n = self.per_column.get(t.column, 0) + 1
            self.per_column[t.column] = n
            function = "cat" if n == 1 else f"cat{n}"
            self.tables[signature] = CategoryTable(f"{function}({self.names[t.column]})", function, t.column,
                                                   {k: v for k, v in t.entries}, t.default)
        return self.tables[signature].call

    def factor(self, f: Any) -> str:
        if isinstance(f, sym.Var):
            return self.names[f.name]
        if isinstance(f, sym.Table):
            return self.table(f)
        if isinstance(f, sym.Group):
            inner = self.lin(f.lin)
            return inner if inner.isidentifier() else "(" + inner + ")"
        if isinstance(f, sym.Func):
            return f"{f.name}({self.lin(f.lin)})"
        if isinstance(f, sym.Power):
            base = self.factor(sym.as_factor(f.lin))
            return f"{base if _atomic(base) else f'({base})'}**{self._exponent(f.exponent)}"
        if isinstance(f, sym.Bell):
            inner = " ".join(self._bell_part(i, k, m) for i, (k, m) in enumerate(f.parts))
            return f"exp({inner})"
        if isinstance(f, sym.Inverse):
            # Outside a product's denominator, parenthesised to stay one factor.
            return f"(1/{self._denominator(self.factor(sym.as_factor(f.lin)))})"
        raise TypeError(type(f))

    def _exponent(self, e: float) -> str:
        text = self.num(e)
        return text if e >= 0.0 else f"({text})"

    @staticmethod
    def _denominator(text: str) -> str:
        return text if _atomic(text) else f"({text})"

    def _bell_part(self, i: int, k: float, m: sym.Lin) -> str:
        base = self.factor(sym.as_factor(m))
        base = base if _atomic(base) else f"({base})"
        number = self.num(k)
        text = f"{base}**2" if number == "1" and (self.digits is not None or k == 1.0) else f"{number}*{base}**2"
        return ("-" if i == 0 else "- ") + text

    def term(self, coef: float, factors: tuple[Any, ...]) -> tuple[bool, str]:
        """(negative, text without sign) of coef*factors."""
        negative = coef < 0.0
        magnitude = -coef if negative else coef
        numerator: list[str] = []
        denominator: list[str] = []
        i = 0
        while i < len(factors):
            f = factors[i]
            power = 1
            while i + power < len(factors) and sym.signature(factors[i + power]) == sym.signature(f):
                power += 1
            if isinstance(f, sym.Inverse):
                target, text = denominator, self.factor(sym.as_factor(f.lin))
            else:
                target, text = numerator, self.factor(f)
            if power > 1 and isinstance(f, sym.Power):
                text = f"({text})"  # ** groups to the right
            target.append(text if power == 1 else f"{text}**{power}")
            i += power
        number = self.num(magnitude)
        unit = magnitude == 1.0 or (self.digits is not None and number == "1")
        show_number = not unit or not numerator
        parts = ([number] if show_number else []) + numerator
        text = "*".join(parts)
        for d in denominator:
            text += "/" + self._denominator(d)
        return negative, text

    def lin(self, lin: sym.Lin) -> str:
        # Terms with a function first, then products of columns and lookups,
        # then the constant, as formulas are written: 2*sin(1.5*x) + 0.3*z + 1.
        terms = sorted(lin.terms, key=lambda t: all(isinstance(f, (sym.Var, sym.Table)) for f in t[1]))
        pieces: list[tuple[bool, str]] = [self.term(coef, factors) for coef, factors in terms]
        c = lin.const
        if (c != 0.0 and not _negligible(lin, self.digits)) or not pieces:
            if self.num(abs(c)) != "0" or not pieces:
                pieces.append((c < 0.0, self.num(abs(c))))
        text = ""
        for n, (negative, piece) in enumerate(pieces):
            if n == 0:
                text = ("-" if negative else "") + piece
            else:
                text += (" - " if negative else " + ") + piece
        return text


def render(dnames: Sequence[str], fnames: Sequence[str], params: Sequence[Mapping[str, Any]],
           digits: int | None = 4) -> Rendered:
    """Formula of a trained program.

    digits: significant digits of the constants (a constant added to terms
    whose coefficients are 1e12 times larger is left out); None writes every
    constant exactly (as Python writes floats).
    """
    names = identifiers(_columns(dnames, fnames))
    writer = _Writer(digits, names)
    text = writer.lin(symbolic(dnames, fnames, params))
    legend = {identifier: column for column, identifier in names.items() if identifier != column}
    return Rendered(text, list(writer.tables.values()), legend)


def _negligible(lin: sym.Lin, digits: int | None) -> bool:
    """Rounded text leaves out a constant that is rounding beside the terms."""
    return digits is not None and bool(lin.terms) and \
        abs(lin.const) < 1e-12 * max(abs(coef) for coef, _factors in lin.terms)


class _Evaluator:
    """The value of a formula as its text reads, constants rounded as
    written, computed from the form itself (never from the text)."""

    def __init__(self, digits: int | None, columns: Mapping[str, Any], n: int):
        self.digits = digits
        self.columns = columns
        self.n = n

    def num(self, v: float) -> float:
        return v if self.digits is None else float(_number(v, self.digits))

    def lin(self, lin: sym.Lin) -> np.ndarray:
        total = np.zeros(self.n)
        for coef, factors in lin.terms:
            value = np.full(self.n, self.num(coef))
            for f in factors:
                value = value * self.factor(f)
            total = total + value
        if not _negligible(lin, self.digits):
            total = total + self.num(lin.const)
        return total

    def factor(self, f: Any) -> np.ndarray:
        if isinstance(f, sym.Var):
            return numeric(self.columns[f.name])
        if isinstance(f, sym.Table):
            values = {category_key(k): v for k, v in f.entries}
            return encoded(self.columns[f.column]).lookup(values, f.default)
        if isinstance(f, sym.Group):
            return self.lin(f.lin)
        if isinstance(f, sym.Inverse):
            return 1.0 / self.lin(f.lin)
        if isinstance(f, sym.Func):
            return np.asarray(FORMULA_FUNCTIONS[f.name].numpy(self.lin(f.lin)))
        if isinstance(f, sym.Power):
            return self.lin(f.lin) ** self.num(f.exponent)
        if isinstance(f, sym.Bell):
            exponent = np.zeros(self.n)
            for k, m in f.parts:
                exponent = exponent - self.num(k) * self.lin(m) ** 2
            return np.exp(exponent)
        raise TypeError(type(f))


def evaluate_formula(dnames: Sequence[str], fnames: Sequence[str], params: Sequence[Mapping[str, Any]],
                     columns: Mapping[str, Any], n: int, digits: int | None = None) -> np.ndarray:
    """What the text of `render(..., digits)` computes for the rows of
    `columns` (prepared input columns of n rows)."""
    with np.errstate(all="ignore"):
        return _Evaluator(digits, columns, n).lin(symbolic(dnames, fnames, params))
