"""Numeric evaluation of trained programs and their rendering as formulas.

`evaluate` computes what a `_kestor.Model` built from the same lists and
parameters outputs, element by element with numpy, in the same operation
order.  `Model.predict` is the exact path, bit-identical to training's
forward pass; numpy evaluation follows it within 16 units in the last place
(numpy's vectorised exp and log differ from the C library's in the last bit
on CPUs with AVX-512, and the arithmetic after them can grow that a little).  `render` turns a trained
program into a formula with the fitted constants folded in, such as
``2.01*exp(-0.98*x) + 0.5``; a categorical input becomes a lookup such as
``cat(color)`` whose table is returned beside the text.

The formula shows each function without the clamps the elements apply far
outside their useful range (exp above 6, log below 0.0001, ...), so it equals
the model wherever no clamp is active.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from ._basealgo._programcollection import ARITY, INPUT_TYPES, operand_indices, subtree_end

# Clamp thresholds and values of the elements (the module's published constants).
EXP_MAX = 6.0
EXP_MAX_VALUE = 403.4287934927351
LOG_MIN = 0.0001
LOG_MIN_VALUE = -9.210340371976182
DIVISOR_ABSMIN = 0.05
SQRT_MIN = 0.01
SQUARED_MAX = 20.0
CAT_MAX = 400.0


# ---------------------------------------------------------------------------
# Element functions, exactly as the elements compute them


def _exp(x):
    return np.where(x > EXP_MAX, EXP_MAX_VALUE, np.exp(np.minimum(x, EXP_MAX)))


def _log(x):
    return np.where(x < LOG_MIN, LOG_MIN_VALUE, np.log(np.maximum(x, LOG_MIN)))


def _inverse(x):
    small = np.abs(x) < DIVISOR_ABSMIN
    safe = np.where(small, 1.0, x)
    return np.where(small, np.copysign(1.0 / DIVISOR_ABSMIN, x), 1.0 / safe)


def _sqrt(x):
    return np.where(x <= SQRT_MIN, 0.1, np.sqrt(np.maximum(x, SQRT_MIN)))


def _squared(x):
    return np.where(np.abs(x) > SQUARED_MAX, SQUARED_MAX * SQUARED_MAX, x * x)


def _load_tanhf():
    """The C library's single-precision tanh, which the element calls.

    numpy's own float32 tanh differs from it in the last bit for many
    arguments; without the C library the formula is off by that much.
    """
    try:
        library = ctypes.CDLL(ctypes.util.find_library("m") or "libm.so.6")
        function = library.tanhf
    except (OSError, AttributeError):
        return None
    function.restype = ctypes.c_float
    function.argtypes = [ctypes.c_float]
    return function


_TANHF = _load_tanhf()


def _tanh(x, exact: bool = True):
    # The element works in single precision; numpy's float32 tanh is off by a
    # unit in the last place now and then, which only exact evaluation minds.
    x32 = np.asarray(x, dtype=np.float64).astype(np.float32)
    if _TANHF is None or not exact:
        return np.tanh(x32).astype(np.float64)
    distinct, inverse = np.unique(x32, return_inverse=True)
    values = np.fromiter(map(_TANHF, distinct.tolist()), dtype=np.float32, count=len(distinct))
    return values[inverse].reshape(x32.shape).astype(np.float64)


def _gaussian(x, y=None):
    s = x * x
    s = s + s
    if y is not None:
        t = y * y
        t = t + t
        s = s + t
    return np.exp(-s)


UNARY = {
    "exp:1": _exp, "log:1": _log, "inverse:1": _inverse, "sqrt:1": _sqrt,
    "squared:1": _squared, "tanh:1": _tanh, "gaussian:1": _gaussian,
}


class EncodedColumn:
    """A categorical column as codes into its distinct values (told apart by
    hash, as the element does); lookups then cost one pass over the values."""

    def __init__(self, column):
        values = column.tolist() if isinstance(column, np.ndarray) else list(column)
        code_of: dict[int, int] = {}
        keys = []
        codes = np.empty(len(values), dtype=np.intp)
        for i, v in enumerate(values):
            h = hash(v)
            code = code_of.get(h)
            if code is None:
                code = code_of[h] = len(keys)
                keys.append(v)
            codes[i] = code
        self.keys = keys
        self.codes = codes

    def __len__(self) -> int:
        return len(self.codes)

    def take(self, indices) -> EncodedColumn:
        taken = object.__new__(EncodedColumn)
        taken.keys = self.keys
        taken.codes = self.codes[indices]
        return taken

    def lookup(self, by_hash: Mapping[int, float], default: float) -> np.ndarray:
        per_key = np.array([by_hash.get(hash(k), default) for k in self.keys] + [default], dtype=np.float64)
        return per_key[self.codes]


def category_lookup(categories, bias: float, column) -> np.ndarray:
    """Output of a categorical input element for every value of `column`.

    Categories are told apart by their hash, as the element does; a value
    the element never saw contributes the weight 0.
    """
    by_hash = {}
    for key, weight in categories:
        weight = float(weight)
        by_hash[hash(key)] = CAT_MAX if weight > CAT_MAX else weight + bias
    if not isinstance(column, EncodedColumn):
        column = EncodedColumn(column)
    return column.lookup(by_hash, 0.0 + bias)


def _numeric(column) -> np.ndarray:
    return np.asarray(column).astype(np.float64, copy=False)


def evaluate_elements(dnames: Sequence[str], fnames: Sequence[str], params: Sequence[Mapping],
                      data: Mapping[str, Any], exact: bool = True) -> list[np.ndarray]:
    """Forward value of every element for every sample, in element order.

    exact=False allows a last-bit difference in tanh, for speed.
    """
    count = len(fnames)
    values: list[np.ndarray | None] = [None] * count
    with np.errstate(over="ignore", invalid="ignore", divide="ignore"):
        for i in range(count - 1, -1, -1):
            values[i] = _element_value(i, dnames, fnames, params, data, values, exact)
    return values  # type: ignore[return-value]


def evaluate(dnames, fnames, params, data) -> np.ndarray:
    """The model's output (element 0) for every sample of `data`."""
    return evaluate_elements(dnames, fnames, params, data)[0]


def _element_value(i, dnames, fnames, params, data, values, exact=True):
    fname = fnames[i]
    p = params[i] or {}
    if ARITY[fname] == 0:
        if dnames[i] not in data:
            raise KeyError(f"missing data column {dnames[i]!r}")
        column = data[dnames[i]]
        if fname == "in-cat:0":
            return category_lookup(p.get("categories", []), float(p.get("bias", 0.0)), column)
        x = _numeric(column)
        return ((x - float(p.get("scale_offset", 0.0))) * float(p.get("scale", 1.0))) * float(p.get("w", 0.0)) \
            + float(p.get("bias", 0.0))
    ops = operand_indices(fnames, i)
    a = values[ops[0]]
    if fname == "out-linear:1":
        return ((a * float(p.get("w", 0.0))) + float(p.get("bias", 0.0))) * float(p.get("scale", 1.0)) \
            + float(p.get("scale_offset", 0.0))
    if fname == "out-lr:1":
        z = a * float(p.get("w", 0.0)) + float(p.get("bias", 0.0))
        return 1.0 / (1.0 + np.exp(-z))
    if fname == "linear:1":
        return a * float(p.get("w", 0.0)) + float(p.get("bias", 0.0))
    if fname == "add:2":
        return a + values[ops[1]]
    if fname == "multiply:2":
        return a * values[ops[1]]
    if fname == "gaussian:2":
        return _gaussian(a, values[ops[1]])
    if fname == "tanh:1":
        return _tanh(a, exact)
    return UNARY[fname](a)


# ---------------------------------------------------------------------------
# Derivatives with respect to the parameters (forward mode)


def _derivative(fname: str, x, value):
    """Derivative of a clamped unary function (0 where the clamp holds)."""
    if fname == "exp:1":
        return np.where(x > EXP_MAX, 0.0, value)
    if fname == "log:1":
        return np.where(x < LOG_MIN, 0.0, 1.0 / np.maximum(x, LOG_MIN))
    if fname == "inverse:1":
        return np.where(np.abs(x) < DIVISOR_ABSMIN, 0.0, -value * value)
    if fname == "sqrt:1":
        return np.where(x <= SQRT_MIN, 0.0, 0.5 / value)
    if fname == "squared:1":
        return np.where(np.abs(x) > SQUARED_MAX, 0.0, x + x)
    if fname == "tanh:1":
        return 1.0 - value * value
    if fname == "gaussian:1":
        return -4.0 * x * value
    raise ValueError(fname)


def link_and_jacobian(dnames, fnames, params, data, slots, exact=False):
    """The output before the logistic function (the prediction itself for a
    linear output) and its derivatives with respect to the parameters
    named by `slots`: (element, name) or (element, "categories", k).
    Unless `exact`, tanh may differ from the element's in the last bit.

    Returns (values, jacobian) with jacobian of shape (samples, len(slots)).
    """
    count = len(fnames)
    column_of = {slot: j for j, slot in enumerate(slots)}
    values: list = [None] * count
    grads: list = [None] * count
    n = None
    with np.errstate(over="ignore", invalid="ignore", divide="ignore"):
        for i in range(count - 1, -1, -1):
            fname = fnames[i]
            p = params[i] or {}
            if ARITY[fname] == 0:
                v = _element_value(i, dnames, fnames, params, data, values, exact)
                n = len(v)
                d = np.zeros((n, len(slots)))
                if fname == "in-linear:0":
                    offset, scale = float(p.get("scale_offset", 0.0)), float(p.get("scale", 1.0))
                    normal = (_numeric(data[dnames[i]]) - offset) * scale
                    if (i, "w") in column_of:
                        d[:, column_of[(i, "w")]] = normal
                    if (i, "bias") in column_of:
                        d[:, column_of[(i, "bias")]] = 1.0
                else:
                    _category_derivatives(i, p, data[dnames[i]], column_of, d)
                values[i], grads[i] = v, d
                continue
            ops = operand_indices(fnames, i)
            a, da = values[ops[0]], grads[ops[0]]
            w = float(p.get("w", 0.0))
            if fname in ("linear:1", "out-linear:1", "out-lr:1"):
                scale = float(p.get("scale", 1.0)) if fname == "out-linear:1" else 1.0
                if fname == "out-linear:1":
                    v = ((a * w) + float(p.get("bias", 0.0))) * scale + float(p.get("scale_offset", 0.0))
                else:
                    v = a * w + float(p.get("bias", 0.0))
                d = da * (w * scale)
                if (i, "w") in column_of:
                    d[:, column_of[(i, "w")]] += a * scale
                if (i, "bias") in column_of:
                    d[:, column_of[(i, "bias")]] += scale
            elif fname == "add:2":
                v = a + values[ops[1]]
                d = da + grads[ops[1]]
            elif fname == "multiply:2":
                b = values[ops[1]]
                v = a * b
                d = da * b[:, None] + grads[ops[1]] * a[:, None]
            elif fname == "gaussian:2":
                b = values[ops[1]]
                v = _gaussian(a, b)
                d = da * (-4.0 * a * v)[:, None] + grads[ops[1]] * (-4.0 * b * v)[:, None]
            else:
                v = _tanh(a, exact) if fname == "tanh:1" else UNARY[fname](a)
                d = da * _derivative(fname, a, v)[:, None]
            values[i], grads[i] = v, d
    return values[0], grads[0]


def _category_derivatives(i, p, column, column_of, d):
    if not isinstance(column, EncodedColumn):
        column = EncodedColumn(column)
    categories = p.get("categories", [])
    capped_hashes = {hash(key) for key, weight in categories if float(weight) > CAT_MAX}
    code_of = {hash(key): code for code, key in enumerate(column.keys)}
    capped = np.zeros(len(column.keys) + 1, dtype=bool)
    for h in capped_hashes:
        if h in code_of:
            capped[code_of[h]] = True
    live = ~capped[column.codes]
    if (i, "bias") in column_of:
        d[:, column_of[(i, "bias")]] = live
    for k, (key, _weight) in enumerate(categories):
        j = column_of.get((i, "categories", k))
        code = code_of.get(hash(key))
        if j is not None and code is not None:
            d[:, j] = (column.codes == code) & live


# ---------------------------------------------------------------------------
# Symbolic form: sums of terms, each a coefficient times a product of factors


@dataclass(frozen=True)
class Var:
    name: str


@dataclass(frozen=True)
class Table:
    """A categorical lookup: value per category (by hash) and for the unseen."""
    column: str
    entries: tuple  # ((key, value), ...)
    default: float

    def scaled(self, k: float) -> Table:
        return Table(self.column, tuple((key, v * k) for key, v in self.entries), self.default * k)

    def plus(self, other: Table) -> Table:
        mine = {hash(key): (key, v) for key, v in self.entries}
        theirs = {hash(key): (key, v) for key, v in other.entries}
        merged = []
        for h in list(mine) + [h for h in theirs if h not in mine]:
            key = (mine.get(h) or theirs[h])[0]
            a = mine[h][1] if h in mine else self.default
            b = theirs[h][1] if h in theirs else other.default
            merged.append((key, a + b))
        return Table(self.column, tuple(merged), self.default + other.default)

    def signature(self) -> str:
        return repr((self.column, tuple((repr(k), v.hex()) for k, v in self.entries), self.default.hex()))


@dataclass(frozen=True)
class Group:
    """A sum that stays a factor of a product: (x + 0.5)."""
    lin: Lin


@dataclass(frozen=True)
class Inverse:
    lin: Lin


@dataclass(frozen=True)
class Func:
    """exp, log, sqrt, tanh or sigmoid of a sum."""
    name: str
    lin: Lin


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


_FACTOR_ORDER = {Var: 0, Table: 1, Group: 2, Func: 3, Bell: 4, Inverse: 5}


def _factor_sort_key(factor) -> tuple:
    return (_FACTOR_ORDER[type(factor)], _signature(factor))


def _signature(obj) -> str:
    """Exact text of a factor or sum, used to recognise equal ones."""
    if isinstance(obj, Var):
        return obj.name
    if isinstance(obj, Table):
        return "T" + obj.signature()
    if isinstance(obj, Group):
        return "G(" + _signature(obj.lin) + ")"
    if isinstance(obj, Inverse):
        return "I(" + _signature(obj.lin) + ")"
    if isinstance(obj, Func):
        return obj.name + "(" + _signature(obj.lin) + ")"
    if isinstance(obj, Bell):
        return "B(" + ";".join(k.hex() + ":" + _signature(lin) for k, lin in obj.parts) + ")"
    if isinstance(obj, Lin):
        return obj.const.hex() + "".join(
            f"+{coef.hex()}*" + "*".join(_signature(f) for f in factors) for coef, factors in obj.terms)
    raise TypeError(type(obj))


def _make(const: float, terms) -> Lin:
    """Normalise: merge equal products, drop exact zeros."""
    merged: dict[str, list] = {}
    for coef, factors in terms:
        if coef == 0.0:
            continue
        factors = tuple(sorted(factors, key=_factor_sort_key))
        key = "|".join(_signature(f) for f in factors)
        if key in merged:
            merged[key][0] += coef
        else:
            merged[key] = [coef, factors]
    return Lin(float(const), tuple((c, f) for c, f in merged.values() if c != 0.0))


def _scale(lin: Lin, k: float) -> Lin:
    return _make(lin.const * k, [(coef * k, factors) for coef, factors in lin.terms])


def _affine(lin: Lin, k: float, c: float) -> Lin:
    return _make(lin.const * k + c, [(coef * k, factors) for coef, factors in lin.terms])


def _add(a: Lin, b: Lin) -> Lin:
    return _make(a.const + b.const, list(a.terms) + list(b.terms))


def _monic(lin: Lin) -> tuple[float, Lin]:
    """(k, m) with lin = k*m and the first term of m having coefficient 1."""
    k = lin.terms[0][0]
    return k, _scale(lin, 1.0 / k) if k != 1.0 else lin


def _single(lin: Lin):
    """The factor when the sum is exactly 1*factor, else None."""
    if lin.const == 0.0 and len(lin.terms) == 1 and lin.terms[0][0] == 1.0 and len(lin.terms[0][1]) == 1:
        return lin.terms[0][1][0]
    return None


def _as_factor(lin: Lin):
    single = _single(lin)
    return single if single is not None else Group(lin)


def _split(lin: Lin) -> tuple[float, tuple]:
    """(k, factors) with lin = k*product(factors); a sum becomes one monic group."""
    if lin.const == 0.0 and len(lin.terms) == 1:
        return lin.terms[0]
    k, m = _monic(lin)
    return k, (_as_factor(m),)


def _multiply(a: Lin, b: Lin) -> Lin:
    if a.is_const():
        return _scale(b, a.const)
    if b.is_const():
        return _scale(a, b.const)
    ka, fa = _split(a)
    kb, fb = _split(b)
    return _make(0.0, [(ka * kb, fa + fb)])


def _constant_of(fname: str, *args: float) -> float:
    with np.errstate(over="ignore", invalid="ignore", divide="ignore"):
        if fname == "gaussian:2":
            return float(_gaussian(np.float64(args[0]), np.float64(args[1])))
        return float(UNARY[fname](np.asarray(args[0], dtype=np.float64)))


def _bell_part(lin: Lin) -> tuple[float, Lin]:
    """2*lin**2 written as k*m**2 with a monic m."""
    s, m = _monic(lin)
    return 2.0 * s * s, m


def _apply(fname: str, args: list[Lin]) -> Lin:
    """Symbolic value of an interaction applied to its operands."""
    a = args[0]
    if fname == "add:2":
        return _add(a, args[1])
    if fname == "multiply:2":
        return _multiply(a, args[1])
    if fname in ("gaussian:1", "gaussian:2"):
        if all(arg.is_const() for arg in args):
            return Lin(_constant_of(fname, *(arg.const for arg in args)))
        parts = tuple(_bell_part(arg) for arg in args if not arg.is_const())
        # A constant operand contributes a constant factor exp(-2c**2).
        factor = 1.0
        for arg in args:
            if arg.is_const():
                factor *= _constant_of("gaussian:1", arg.const)
        return _make(0.0, [(factor, (Bell(parts),))])
    if a.is_const():
        return Lin(_constant_of(fname, a.const))
    if fname == "exp:1" and abs(a.const) < 700.0:
        # exp(b*x + c) = e**c * exp(b*x)
        return _make(0.0, [(math.exp(a.const), (Func("exp", Lin(0.0, a.terms)),))])
    if fname == "squared:1":
        k, m = _monic(a)
        f = _as_factor(m)
        return _make(0.0, [(k * k, (f, f))])
    if fname == "inverse:1":
        k, m = _monic(a)
        return _make(0.0, [(1.0 / k, (Inverse(m),))])
    if fname == "sqrt:1":
        k, m = _monic(a)
        if k < 0.0:
            k, m = -k, _scale(m, -1.0)
        return _make(0.0, [(math.sqrt(k), (Func("sqrt", m),))])
    if fname in ("exp:1", "log:1", "tanh:1"):
        return _make(0.0, [(1.0, (Func(fname.split(":")[0], a),))])
    raise ValueError(f"cannot render interaction {fname!r}")


def symbolic(dnames: Sequence[str], fnames: Sequence[str], params: Sequence[Mapping]) -> Lin:
    """Symbolic form of a trained program (the root's sigmoid kept as a Func)."""
    count = len(fnames)
    subtree_end(fnames, 0)  # refuses an incomplete program before anything is built
    forms: list[Any] = [None] * count
    for i in range(count - 1, -1, -1):
        fname = fnames[i]
        p = params[i] or {}
        w = float(p.get("w", 0.0))
        bias = float(p.get("bias", 0.0))
        if fname == "in-linear:0":
            scale = float(p.get("scale", 1.0))
            offset = float(p.get("scale_offset", 0.0))
            k = scale * w
            forms[i] = _make(bias - offset * k, [(k, (Var(dnames[i]),))])
        elif fname == "in-cat:0":
            entries = []
            for key, weight in p.get("categories", []):
                weight = float(weight)
                entries.append((key, CAT_MAX if weight > CAT_MAX else weight + bias))
            forms[i] = _make(0.0, [(1.0, (Table(dnames[i], tuple(entries), 0.0 + bias),))])
        else:
            args = [forms[j] for j in operand_indices(fnames, i)]
            if fname == "out-linear:1":
                scale = float(p.get("scale", 1.0))
                forms[i] = _affine(args[0], w * scale, bias * scale + float(p.get("scale_offset", 0.0)))
            elif fname == "out-lr:1":
                forms[i] = _make(0.0, [(1.0, (Func("sigmoid", _affine(args[0], w, bias)),))])
            elif fname == "linear:1":
                forms[i] = _affine(args[0], w, bias)
            else:
                forms[i] = _apply(fname, args)
    root = forms[0]
    counts: dict[str, int] = {}
    _count_tables(root, counts)
    return _fold_tables(root, counts)  # type: ignore[arg-type]


def _children(obj) -> list[Lin]:
    if isinstance(obj, (Group, Inverse, Func)):
        return [obj.lin]
    if isinstance(obj, Bell):
        return [lin for _k, lin in obj.parts]
    return []


def _count_tables(lin: Lin, counts: dict[str, int]) -> None:
    for _coef, factors in lin.terms:
        for f in factors:
            if isinstance(f, Table):
                counts[f.signature()] = counts.get(f.signature(), 0) + 1
            for inner in _children(f):
                _count_tables(inner, counts)


def _fold_factor(f, counts):
    if isinstance(f, Group):
        return Group(_fold_tables(f.lin, counts))
    if isinstance(f, Inverse):
        return Inverse(_fold_tables(f.lin, counts))
    if isinstance(f, Func):
        return Func(f.name, _fold_tables(f.lin, counts))
    if isinstance(f, Bell):
        return Bell(tuple((k, _fold_tables(lin, counts)) for k, lin in f.parts))
    return f


def _fold_tables(lin: Lin, counts: dict[str, int]) -> Lin:
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


# ---------------------------------------------------------------------------
# Text


@dataclass
class CategoryTable:
    """The lookup behind one ``cat(...)`` call of a formula."""
    call: str          # how the formula writes it, e.g. "cat(color)"
    function: str      # the function name in the formula, e.g. "cat" or "cat2"
    column: str
    values: dict = field(default_factory=dict)   # category -> value
    default: float = 0.0                         # value of a category never seen

    def __call__(self, column) -> np.ndarray:
        if isinstance(column, CategoryColumn):
            column = column.values
        by_hash = {hash(k): v for k, v in self.values.items()}
        if not isinstance(column, EncodedColumn):
            column = EncodedColumn(column)
        return column.lookup(by_hash, self.default)

    def __str__(self) -> str:
        items = ", ".join(f"{k!r}: {_number(v, 4)}" for k, v in self.values.items())
        return f"{self.call} = {{{items}}}, otherwise {_number(self.default, 4)}"


class CategoryColumn:
    """A categorical column handed to a formula's lookup functions."""

    def __init__(self, name: str, values):
        self.name = name
        self.values = values


@dataclass
class Rendered:
    text: str
    tables: list[CategoryTable]


def _number(v: float, digits: int | None) -> str:
    if digits is None:
        return repr(float(v))
    text = f"{v:.{digits}g}"
    return "0" if text == "-0" else text


class _Writer:
    def __init__(self, digits: int | None):
        self.digits = digits
        self.tables: dict[str, CategoryTable] = {}
        self.per_column: dict[str, int] = {}

    def num(self, v: float) -> str:
        return _number(v, self.digits)

    def table(self, t: Table) -> str:
        sig = t.signature()
        if sig not in self.tables:
            n = self.per_column.get(t.column, 0) + 1
            self.per_column[t.column] = n
            function = "cat" if n == 1 else f"cat{n}"
            self.tables[sig] = CategoryTable(f"{function}({t.column})", function, t.column,
                                             {k: v for k, v in t.entries}, t.default)
        return self.tables[sig].call

    def factor(self, f) -> str:
        if isinstance(f, Var):
            return f.name
        if isinstance(f, Table):
            return self.table(f)
        if isinstance(f, Group):
            inner = self.lin(f.lin)
            return inner if inner.isidentifier() else "(" + inner + ")"
        if isinstance(f, Func):
            return f"{f.name}({self.lin(f.lin)})"
        if isinstance(f, Bell):
            inner = " ".join(self._bell_part(i, k, m) for i, (k, m) in enumerate(f.parts))
            return f"exp({inner})"
        if isinstance(f, Inverse):
            # Outside a product's denominator, parenthesised to stay one factor.
            return f"(1/{self._denominator(self.factor(_as_factor(f.lin)))})"
        raise TypeError(type(f))

    @staticmethod
    def _denominator(text: str) -> str:
        atomic = text.startswith("(") and text.endswith(")") or text.replace("_", "").isalnum()
        return text if atomic else f"({text})"

    def _bell_part(self, i: int, k: float, m: Lin) -> str:
        base = self.factor(_as_factor(m))
        number = self.num(k)
        text = f"{base}**2" if number == "1" and (self.digits is not None or k == 1.0) else f"{number}*{base}**2"
        return ("-" if i == 0 else "- ") + text

    def term(self, coef: float, factors: tuple) -> tuple[bool, str]:
        """(negative, text without sign) of coef*factors."""
        negative = coef < 0.0
        magnitude = -coef if negative else coef
        numerator: list[str] = []
        denominator: list[str] = []
        i = 0
        while i < len(factors):
            f = factors[i]
            power = 1
            while i + power < len(factors) and _signature(factors[i + power]) == _signature(f):
                power += 1
            if isinstance(f, Inverse):
                target, text = denominator, self.factor(_as_factor(f.lin))
            else:
                target, text = numerator, self.factor(f)
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

    def lin(self, lin: Lin) -> str:
        pieces: list[tuple[bool, str]] = [self.term(coef, factors) for coef, factors in lin.terms]
        c = lin.const
        # Rounded text leaves out a constant that is rounding beside the terms.
        negligible = self.digits is not None and pieces and \
            abs(c) < 1e-12 * max(abs(coef) for coef, _factors in lin.terms)
        if (c != 0.0 and not negligible) or not pieces:
            if self.num(abs(c)) != "0" or not pieces:
                pieces.append((c < 0.0, self.num(abs(c))))
        text = ""
        for n, (negative, piece) in enumerate(pieces):
            if n == 0:
                text = ("-" if negative else "") + piece
            else:
                text += (" - " if negative else " + ") + piece
        return text


def render(dnames: Sequence[str], fnames: Sequence[str], params: Sequence[Mapping],
           digits: int | None = 4) -> Rendered:
    """Formula of a trained program.

    digits: significant digits of the constants (a constant added to terms
    whose coefficients are 1e12 times larger is left out); None writes every
    constant exactly (as Python writes floats), so that evaluating the text
    with `namespace` reproduces the model to rounding.
    """
    writer = _Writer(digits)
    text = writer.lin(symbolic(dnames, fnames, params))
    return Rendered(text, list(writer.tables.values()))


def _single_tanh(x):
    """tanh as the element computes it, in single precision."""
    return _tanh(np.asarray(x, dtype=np.float64))


def _sigmoid(z):
    with np.errstate(over="ignore"):
        return 1.0 / (1.0 + np.exp(-np.asarray(z, dtype=np.float64)))


def namespace(tables: Sequence[CategoryTable], data: Mapping[str, object], kinds: Mapping[str, str]) -> dict:
    """Names a formula uses, for evaluating its text with `eval`.

    kinds: register type of each input column ("in-linear:0" or "in-cat:0").
    """
    names: dict[str, object] = {
        "exp": np.exp, "log": np.log, "sqrt": np.sqrt, "tanh": _single_tanh, "sigmoid": _sigmoid,
    }
    for name, kind in kinds.items():
        if name not in data:
            continue
        if kind in INPUT_TYPES[1:]:
            names[name] = CategoryColumn(name, data[name])
        else:
            names[name] = _numeric(data[name])
    by_function: dict[str, dict[str, CategoryTable]] = {}
    for table in tables:
        by_function.setdefault(table.function, {})[table.column] = table

    def dispatcher(group: dict[str, CategoryTable]):
        def lookup(column: CategoryColumn):
            return group[column.name](column)
        return lookup

    for function, group in by_function.items():
        names[function] = dispatcher(group)
    return names


__all__ = [
    "evaluate", "evaluate_elements", "link_and_jacobian", "render", "namespace", "symbolic", "category_lookup",
    "CategoryTable", "CategoryColumn", "EncodedColumn", "Rendered",
]
