"""Formulas as sympy expressions, written from the same symbolic form as
their text (`_render.symbolic`), with each function's sympy form taken from
the element catalogue.

A numeric input is a Symbol named as in the text (see the legend for
renamed columns).  A categorical input is a Symbol of its column too, and
each lookup of it a Piecewise over the categories: ``Piecewise((1.5,
Eq(colour, red)), (-0.5, Eq(colour, green)), (0.2, True))``, the last value
for categories the model never saw.  Categories that are numbers compare as
numbers; any other is a `Category` atom of its text (the string itself, or
repr of a tuple, None, ...), which sympy can tell equal or not, so
``expression.subs(colour, FoundModel.category("red"))`` selects one.

Like the text, the expression has no clamps: it equals the model wherever
no element clamps its operand.
"""

from __future__ import annotations

import numbers
from collections.abc import Mapping, Sequence
from typing import Any

from . import _symbolic as sym
from ._elements import FORMULA_FUNCTIONS
from ._render import _columns, _negligible, identifiers, symbolic


def _sympy() -> Any:
    try:
        import sympy
    except ImportError:
        raise ImportError("this needs sympy: pip install 'vant[sympy]'") from None
    return sympy


_CATEGORY = None
_LATEX_SPECIAL = {c: "\\" + c for c in "&%$#_{}"}
_LATEX_SPECIAL.update({"~": r"\textasciitilde{}", "^": r"\textasciicircum{}", "\\": r"\textbackslash{}"})


def category_class(sympy):
    """The sympy atom for category keys that are not numbers (made once,
    when sympy is first asked for): a Str whose equality with another is
    decided, so that a Piecewise over categories evaluates."""
    global _CATEGORY
    if _CATEGORY is None:
        from sympy.core import relational
        from sympy.core.symbol import Str

        class Category(Str):
            """A category of a categorical input, by its text."""

            def _latex(self, printer):
                return _text_latex(self.name)

        relational._eval_is_eq.register(Category, Category)(lambda a, b: a.name == b.name)
        # A text category is never a number; beside a symbol it is undecided
        # (sympy tries the operands both ways round).
        relational._eval_is_eq.register(Category, sympy.Expr)(lambda a, b: None if b.free_symbols else False)
        _CATEGORY = Category
    return _CATEGORY


def category_value(sympy: Any, key: Any) -> Any:
    """How a category key appears in the conditions of a Piecewise."""
    if isinstance(key, numbers.Number):  # True is the category 1, as in the model
        return sympy.sympify(int(key) if isinstance(key, bool) else key)
    return category_class(sympy)(key if isinstance(key, str) else repr(key))


class _Writer:
    """digits: None keeps every constant; a number leaves out the constants
    the text leaves out as rounding beside much larger terms."""

    def __init__(self, sympy, names: Mapping[str, str], digits: int | None = None):
        self.sp = sympy
        self.digits = digits
        self.symbols = {column: sympy.Symbol(name) for column, name in names.items()}

    def num(self, v: float):
        return self.sp.Float(v)

    def lin(self, lin: sym.Lin):
        terms = [self.term(coef, factors) for coef, factors in lin.terms]
        if (lin.const != 0.0 and not _negligible(lin, self.digits)) or not terms:
            terms.append(self.num(lin.const))
        return self.sp.Add(*terms)

    def term(self, coef: float, factors: tuple):
        parts = [self.factor(f) for f in factors]
        return self.sp.Mul(*parts) if coef == 1.0 and parts else self.sp.Mul(self.num(coef), *parts)

    def factor(self, f):
        sp = self.sp
        if isinstance(f, sym.Var):
            return self.symbols[f.name]
        if isinstance(f, sym.Table):
            column = self.symbols[f.column]
            pieces = [(self.num(v), sp.Eq(column, category_value(sp, key))) for key, v in f.entries]
            return sp.Piecewise(*pieces, (self.num(f.default), True))
        if isinstance(f, sym.Group):
            return self.lin(f.lin)
        if isinstance(f, sym.Inverse):
            return 1 / self.lin(f.lin)
        if isinstance(f, sym.Func):
            return FORMULA_FUNCTIONS[f.name].sympy(sp, self.lin(f.lin))
        if isinstance(f, sym.Power):
            return self.lin(f.lin) ** self.num(f.exponent)
        if isinstance(f, sym.Bell):
            return sp.exp(-sp.Add(*(self.num(k) * self.lin(m) ** 2 for k, m in f.parts)))
        raise TypeError(type(f))


def to_sympy(dnames: Sequence[str], fnames: Sequence[str], params: Sequence[Mapping], digits: int | None = None):
    """The program's formula as a sympy expression (see _Writer for digits)."""
    writer = _Writer(_sympy(), identifiers(_columns(dnames, fnames)), digits)
    return writer.lin(symbolic(dnames, fnames, params))


def to_latex(dnames: Sequence[str], fnames: Sequence[str], params: Sequence[Mapping],
             digits: int | None = 4) -> str:
    sympy = _sympy()
    expression = to_sympy(dnames, fnames, params, digits)
    if digits is not None:
        expression = expression.xreplace({f: _rounded(sympy, f, digits) for f in expression.atoms(sympy.Float)})
    # A column renamed for the text reads under its own name.
    renamed = {sympy.Symbol(name): _text_latex(column)
               for column, name in identifiers(_columns(dnames, fnames)).items() if name != column}
    return sympy.latex(expression, symbol_names=renamed)


def name_latex(name: str) -> str:
    """A column's name in LaTeX: as sympy writes a symbol of it (s5 reads
    s_{5}) when it is an identifier, else as text."""
    if name.isidentifier():
        return _sympy().latex(_sympy().Symbol(name))
    return _text_latex(name)


def _text_latex(text: str) -> str:
    return r"\text{" + "".join(_LATEX_SPECIAL.get(c, c) for c in text) + "}"


def _rounded(sympy, value, digits: int):
    """The constant to `digits` digits as the text writes it: one that rounds
    to a whole number is that integer, so 0.99996*x reads x and 2.0003 reads 2."""
    rounded = float(f"{float(value):.{digits}g}")
    if rounded.is_integer() and abs(rounded) < 10.0 ** digits:
        return sympy.Integer(int(rounded))
    return sympy.Float(rounded, digits)
