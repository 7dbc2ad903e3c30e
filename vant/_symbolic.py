"""The algebra of formulas: sums of terms, each a coefficient times a
product of factors.

A factor is a column (`Var`), a categorical lookup (`Table`), a sum kept
whole (`Group`), one over a sum (`Inverse`), a named function of a sum
(`Func`), a sum to a fixed power (`Power`) or a bell (`Bell`).  Forms are normalised as they are built (equal
products merged, exact zeros dropped), so that equal formulas get equal
text.  The element catalogue builds each element's form from these pieces.
"""

from __future__ import annotations

import functools
from dataclasses import dataclass

from ._categories import category_key


@dataclass(frozen=True)
class Var:
    name: str


@dataclass(frozen=True)
class Table:
    """A categorical lookup: value per category and for the unseen."""
    column: str
    entries: tuple  # ((key, value), ...)
    default: float

    def scaled(self, k: float) -> Table:
        return Table(self.column, tuple((key, v * k) for key, v in self.entries), self.default * k)

    def plus(self, other: Table) -> Table:
        mine = {category_key(key): (key, v) for key, v in self.entries}
        theirs = {category_key(key): (key, v) for key, v in other.entries}
        merged = []
        for h in list(mine) + [h for h in theirs if h not in mine]:
            key = (mine.get(h) or theirs[h])[0]
            a = mine[h][1] if h in mine else self.default
            b = theirs[h][1] if h in theirs else other.default
            merged.append((key, a + b))
        return Table(self.column, tuple(merged), self.default + other.default)

    @functools.cached_property
    def _signature(self) -> str:
        # Worked out once per table: a table of a million categories is
        # compared many times while a formula is normalised.
        return repr((self.column, tuple((repr(k), v.hex()) for k, v in self.entries), self.default.hex()))

    def signature(self) -> str:
        return self._signature


@dataclass(frozen=True)
class Group:
    """A sum that stays a factor of a product: (x + 0.5)."""
    lin: Lin


@dataclass(frozen=True)
class Inverse:
    lin: Lin


@dataclass(frozen=True)
class Func:
    """A named function of a sum (exp, log, sqrt, tanh, sigmoid, ...)."""
    name: str
    lin: Lin


@dataclass(frozen=True)
class Power:
    """A sum to a power other than 1: (x + 0.5)**1.5."""
    lin: Lin
    exponent: float


@dataclass(frozen=True)
class Bell:
    """exp(-k1*(a1)**2 - k2*(a2)**2 ...): a Gaussian element."""
    parts: tuple  # ((k, Lin), ...)


@dataclass(frozen=True)
class Lin:
    """const + sum(coef * product(factors))."""
    const: float = 0.0
    terms: tuple = ()  # ((coef, (factor, ...)), ...)

    def is_const(self) -> bool:
        return not self.terms


_FACTOR_ORDER = {Var: 0, Power: 1, Table: 2, Group: 3, Func: 4, Bell: 5, Inverse: 6}


def _factor_sort_key(factor) -> tuple:
    return (_FACTOR_ORDER[type(factor)], signature(factor))


def signature(obj) -> str:
    """Exact text of a factor or sum, used to recognise equal ones."""
    if isinstance(obj, Var):
        return obj.name
    if isinstance(obj, Table):
        return "T" + obj.signature()
    if isinstance(obj, Group):
        return "G(" + signature(obj.lin) + ")"
    if isinstance(obj, Inverse):
        return "I(" + signature(obj.lin) + ")"
    if isinstance(obj, Func):
        return obj.name + "(" + signature(obj.lin) + ")"
    if isinstance(obj, Power):
        return "P(" + signature(obj.lin) + ")" + obj.exponent.hex()
    if isinstance(obj, Bell):
        return "B(" + ";".join(k.hex() + ":" + signature(lin) for k, lin in obj.parts) + ")"
    if isinstance(obj, Lin):
        return obj.const.hex() + "".join(
            f"+{coef.hex()}*" + "*".join(signature(f) for f in factors) for coef, factors in obj.terms)
    raise TypeError(type(obj))


def make(const: float, terms) -> Lin:
    """Normalise: merge equal products, drop exact zeros."""
    merged: dict[str, list] = {}
    for coef, factors in terms:
        if coef == 0.0:
            continue
        factors = tuple(sorted(factors, key=_factor_sort_key))
        key = "|".join(signature(f) for f in factors)
        if key in merged:
            merged[key][0] += coef
        else:
            merged[key] = [coef, factors]
    return Lin(float(const), tuple((c, f) for c, f in merged.values() if c != 0.0))


def term(coef: float, factor) -> Lin:
    """coef * factor."""
    return make(0.0, [(coef, (factor,))])


def scale(lin: Lin, k: float) -> Lin:
    return make(lin.const * k, [(coef * k, factors) for coef, factors in lin.terms])


def affine(lin: Lin, k: float, c: float) -> Lin:
    return make(lin.const * k + c, [(coef * k, factors) for coef, factors in lin.terms])


def add(a: Lin, b: Lin) -> Lin:
    return make(a.const + b.const, list(a.terms) + list(b.terms))


def monic(lin: Lin) -> tuple[float, Lin]:
    """(k, m) with lin = k*m and the first term of m having coefficient 1."""
    k = lin.terms[0][0]
    return k, scale(lin, 1.0 / k) if k != 1.0 else lin


def _single(lin: Lin):
    """The factor when the sum is exactly 1*factor, else None."""
    if lin.const == 0.0 and len(lin.terms) == 1 and lin.terms[0][0] == 1.0 and len(lin.terms[0][1]) == 1:
        return lin.terms[0][1][0]
    return None


def as_factor(lin: Lin):
    single = _single(lin)
    return single if single is not None else Group(lin)


def _split(lin: Lin) -> tuple[float, tuple]:
    """(k, factors) with lin = k*product(factors); a sum becomes one monic group."""
    if lin.const == 0.0 and len(lin.terms) == 1:
        return lin.terms[0]
    k, m = monic(lin)
    return k, (as_factor(m),)


def multiply(a: Lin, b: Lin) -> Lin:
    if a.is_const():
        return scale(b, a.const)
    if b.is_const():
        return scale(a, b.const)
    ka, fa = _split(a)
    kb, fb = _split(b)
    return make(0.0, [(ka * kb, fa + fb)])


def bell(args: list[Lin], constant_factor) -> Lin:
    """exp(-2*a1**2 - 2*a2**2 ...) of the sums `args`; a constant operand c
    contributes the factor `constant_factor(c)`."""
    parts = []
    for arg in args:
        if not arg.is_const():
            s, m = monic(arg)
            parts.append((2.0 * s * s, m))
    factor = 1.0
    for arg in args:
        if arg.is_const():
            factor *= constant_factor(arg.const)
    return make(0.0, [(factor, (Bell(tuple(parts)),))])


def children(obj) -> list[Lin]:
    if isinstance(obj, (Group, Inverse, Func, Power)):
        return [obj.lin]
    if isinstance(obj, Bell):
        return [lin for _k, lin in obj.parts]
    return []


def count_tables(lin: Lin, counts: dict[str, int]) -> None:
    for _coef, factors in lin.terms:
        for f in factors:
            if isinstance(f, Table):
                counts[f.signature()] = counts.get(f.signature(), 0) + 1
            for inner in children(f):
                count_tables(inner, counts)


def _fold_factor(f, counts):
    if isinstance(f, Group):
        return Group(fold_tables(f.lin, counts))
    if isinstance(f, Inverse):
        return Inverse(fold_tables(f.lin, counts))
    if isinstance(f, Func):
        return Func(f.name, fold_tables(f.lin, counts))
    if isinstance(f, Power):
        return Power(fold_tables(f.lin, counts), f.exponent)
    if isinstance(f, Bell):
        return Bell(tuple((k, fold_tables(lin, counts)) for k, lin in f.parts))
    return f


def fold_tables(lin: Lin, counts: dict[str, int]) -> Lin:
    """Let a lookup that occurs once absorb its coefficient, and add up such
    lookups of one column within a sum, so that the table shows what the
    category contributes."""
    terms = []
    folded: dict[str, Table] = {}
    for coef, factors in lin.terms:
        factors = tuple(_fold_factor(f, counts) for f in factors)
        once = [j for j, f in enumerate(factors) if isinstance(f, Table) and counts.get(f.signature()) == 1]
        if len(once) == 1:
            j = once[0]
            table = factors[j].scaled(coef)
            if len(factors) == 1:
                column = table.column
                folded[column] = folded[column].plus(table) if column in folded else table
                continue
            coef, factors = 1.0, factors[:j] + (table,) + factors[j + 1:]
        terms.append((coef, factors))
    const = lin.const
    if len(folded) == 1 and const != 0.0:
        # With one lookup in the sum, the intercept goes into its table too.
        (column, table), = folded.items()
        folded[column] = Table(table.column, tuple((k, v + const) for k, v in table.entries), table.default + const)
        const = 0.0
    terms.extend((1.0, (table,)) for table in folded.values())
    return Lin(const, tuple(terms))
