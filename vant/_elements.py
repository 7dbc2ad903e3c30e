"""The catalogue of element types: everything `vant` knows about each type
of element, in one record per type.

A record says how the type's element computes its value (with numpy, in the
native element's operation order and with its clamps), its derivatives with
respect to its operands and its own parameters, its symbolic form, its
starting parameters and which of them the polish tunes, how much the
program sampler wants it at first, and which native module provides it.
Evaluation, the Jacobian, rendering, initialisation, the polish and the
sampler read the records; adding an element type is adding a record (and
its native source file).
"""

from __future__ import annotations

import ctypes
import ctypes.util
import functools
import importlib
import math
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, NamedTuple

import numpy as np

import _kestor

from . import _symbolic as sym
from ._categories import EncodedColumn, category_key, encoded
from ._registry import arity, element_value, parameter_names
from ._waves import start_frequency, start_phase

# Clamp thresholds, as the native module publishes them, and the values the
# elements clamp to, as the elements compute them inside their clamps.
SQRT_MIN = float(_kestor.SQRT_MIN)
DIVISOR_ABSMIN = float(_kestor.DIVISOR_ABSMIN)
LOG_MIN = float(_kestor.LOG_MIN)
CAT_MAX = float(_kestor.CAT_MAX)
EXP_MAX = float(_kestor.EXP_MAX)
SQUARED_MAX = float(_kestor.SQUARED_MAX)
EXP_MAX_VALUE = element_value("exp:1", 2.0 * EXP_MAX)
LOG_MIN_VALUE = element_value("log:1", 0.0)
SQRT_MIN_VALUE = element_value("sqrt:1", 0.0)
INVERSE_MAX = element_value("inverse:1", 0.0)
SQUARED_MAX_VALUE = element_value("squared:1", 2.0 * SQUARED_MAX)

OUTPUT, INPUT, INTERACTION = "output", "input", "interaction"

# A new "pow:1" element starts with one of these exponents (1 passes its
# operand through; the others are the powers laws use most).
POW_START_EXPONENTS = (1.0, 2.0, 0.5, -1.0, -2.0)


# ---------------------------------------------------------------------------
# Functions shared by several records


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


def single_tanh(x, exact: bool = True):
    """tanh as the element computes it, in single precision.  numpy's float32
    tanh is off by a unit in the last place now and then, which only exact
    evaluation minds."""
    x32 = np.asarray(x, dtype=np.float64).astype(np.float32)
    if _TANHF is None or not exact:
        return np.tanh(x32).astype(np.float64)
    distinct, inverse = np.unique(x32, return_inverse=True)
    values = np.fromiter(map(_TANHF, distinct.tolist()), dtype=np.float32, count=len(distinct))
    return values[inverse].reshape(x32.shape).astype(np.float64)


def gaussian(x, y=None):
    s = x * x
    s = s + s
    if y is not None:
        t = y * y
        t = t + t
        s = s + t
    return np.exp(-s)


def sigmoid(z):
    with np.errstate(over="ignore"):
        return 1.0 / (1.0 + np.exp(-np.asarray(z, dtype=np.float64)))


def numeric(column) -> np.ndarray:
    return np.asarray(column).astype(np.float64, copy=False)


def category_outputs(params: Mapping) -> list[tuple]:
    """The categorical element's output for each category it lists: weight
    plus bias, or CAT_MAX for a weight above it."""
    bias = float(params.get("bias", 0.0))
    outputs = []
    for key, weight in params.get("categories", []):
        weight = float(weight)
        outputs.append((key, CAT_MAX if weight > CAT_MAX else weight + bias))
    return outputs


def category_lookup(params: Mapping, column) -> np.ndarray:
    """Output of a categorical input element for every value of `column`; a
    value the element never saw contributes the bias alone."""
    outputs = {category_key(key): value for key, value in category_outputs(params)}
    return encoded(column).lookup(outputs, 0.0 + float(params.get("bias", 0.0)))


# ---------------------------------------------------------------------------
# The record


class Start(NamedTuple):
    """What an element's starting parameters may depend on."""
    rng: np.random.Generator
    dname: str
    under_positive: bool      # its parent wants a positive operand
    data: Any                 # the prepared data: input_scales, categories, target_scale
    under_wave: bool = False  # its parent is periodic: its weight is a frequency


@dataclass(frozen=True)
class FormulaFunction:
    """A function a formula names: its numpy form (without the element's
    clamps) and its sympy form (sympy imported only when asked for)."""
    name: str
    numpy: Callable
    sympy: Callable  # (sympy module, argument) -> expression


@dataclass(frozen=True)
class ElementType:
    """One type of element.

    value(p, args, exact): its output for every sample; args are the operand
      values, or for an input register its data column.  Unless `exact`, a
      last-bit difference from the element is allowed, for speed.
    link: for an output register whose loss works before a final function
      (the logistic), the output before it; the Jacobian is of the link.
    operand_derivatives(p, args, value): d value / d operand, per operand
      (arrays or scalars; 0 where a clamp holds).
    partials(p, args, value, keys): d value / d own parameter for the
      parameter keys asked for ("w", "bias", ("categories", k)).
    form(p, args, dname): the symbolic form (`_symbolic.Lin`); args are the
      operands' forms.
    start(s): the starting parameters (a `Start`).
    tunable: the scalar parameters the polish adjusts; table_slots(p): the
      per-category ones it adds when there is room.
    module: the native module that adds the type to `_kestor`'s registry;
      it is imported when a model first needs the type.
    """
    name: str
    role: str
    defaults: Mapping = field(default_factory=dict)
    value: Callable = None  # type: ignore[assignment]
    link: Callable | None = None
    operand_derivatives: Callable | None = None
    partials: Callable | None = None
    form: Callable = None  # type: ignore[assignment]
    start: Callable | None = None
    tunable: tuple = ()
    table_slots: Callable | None = None
    preference: float = 0.0     # the sampler's starting preference for it as a child
    commutative: bool = False   # operands may be swapped
    associative: bool = False   # chains of it may be regrouped (sums, products)
    positive_operand: bool = False  # useful only on a positive operand: its leaves start positive
    periodic: bool = False          # a wave: an input right under it starts at one of several frequencies
    reduces_to: str | None = None   # the one-operand type of the same family
    functions: tuple = ()           # FormulaFunctions its form names
    clamped: Callable | None = None  # (p, args) -> where the element replaces its function by a constant
    cancels: frozenset = frozenset()  # operand types it undoes or leaves unchanged (a longer spelling)
    module: str = "_kestor"         # the native module that registers it

    @property
    def arity(self) -> int:
        """The number of operands, as the native type's descriptor states it."""
        return arity(self.name, self.module)

    @property
    def param_names(self) -> tuple[str, ...]:
        """The parameters, as the native type's descriptor lists them."""
        return parameter_names(self.name, self.module)

    def param(self, p: Mapping, name: str) -> float:
        return float(p.get(name, self.defaults[name]))


# ---------------------------------------------------------------------------
# Registers


_REGISTER_DEFAULTS = {"scale": 1.0, "scale_offset": 0.0, "w": 0.0, "bias": 0.0, "detect_scale": 0}
_WEIGHT_DEFAULTS = {"w": 0.0, "bias": 0.0}


def _out_linear_value(p, args, exact=True):
    (a,) = args
    return ((a * float(p.get("w", 0.0))) + float(p.get("bias", 0.0))) * float(p.get("scale", 1.0)) \
        + float(p.get("scale_offset", 0.0))


def _out_linear_form(p, args, dname):
    w, scale = float(p.get("w", 0.0)), float(p.get("scale", 1.0))
    return sym.affine(args[0], w * scale, float(p.get("bias", 0.0)) * scale + float(p.get("scale_offset", 0.0)))


def _out_linear_partials(p, args, value, keys):
    scale = float(p.get("scale", 1.0))
    found = {"w": args[0] * scale, "bias": scale}
    return {key: found[key] for key in keys}


def _out_linear_start(s: Start):
    return {"scale": s.data.target_scale, "scale_offset": 0.0, "w": 1.0, "bias": 0.0, "detect_scale": 0}


def _affine_value(p, args, exact=True):
    (a,) = args
    return a * float(p.get("w", 0.0)) + float(p.get("bias", 0.0))


def _affine_slope(p, args, value):
    return [float(p.get("w", 0.0))]


def _affine_partials(p, args, value, keys):
    found = {"w": args[0], "bias": 1.0}
    return {key: found[key] for key in keys}


def _out_lr_value(p, args, exact=True):
    z = _affine_value(p, args)
    return 1.0 / (1.0 + np.exp(-z))


def _in_linear_normal(p, column):
    return (numeric(column) - float(p.get("scale_offset", 0.0))) * float(p.get("scale", 1.0))


def _in_linear_value(p, args, exact=True):
    return _in_linear_normal(p, args[0]) * float(p.get("w", 0.0)) + float(p.get("bias", 0.0))


def _in_linear_partials(p, args, value, keys):
    found = {"w": lambda: _in_linear_normal(p, args[0]), "bias": lambda: 1.0}
    return {key: found[key]() for key in keys}


def _in_linear_form(p, args, dname):
    k = float(p.get("scale", 1.0)) * float(p.get("w", 0.0))
    return sym.make(float(p.get("bias", 0.0)) - float(p.get("scale_offset", 0.0)) * k, [(k, (sym.Var(dname),))])


def uniform(rng: np.random.Generator, low: float, high: float) -> float:
    """rng.uniform(low, high), to the bit: numpy draws low + (high - low)
    times a standard uniform number.  Without uniform's handling of array
    arguments, a third of the time: every element of every candidate draws
    its start."""
    return low + (high - low) * rng.random()


def _in_linear_start(s: Start):
    scale, offset = s.data.input_scales[s.dname]
    if s.under_wave:
        w = start_frequency(s.rng, s.data, s.dname) * (1.0 if s.rng.random() < 0.5 else -1.0)
        return {"scale": scale, "scale_offset": offset, "w": w, "bias": start_phase(s.rng), "detect_scale": 0}
    w = uniform(s.rng, 0.6, 1.4) * (1.0 if s.rng.random() < 0.5 else -1.0)
    if s.under_positive:
        w, bias = abs(w), 1.5 * abs(w)
    else:
        bias = uniform(s.rng, -0.3, 0.3)
    return {"scale": scale, "scale_offset": offset, "w": w, "bias": bias, "detect_scale": 0}


def _in_cat_value(p, args, exact=True):
    return category_lookup(p, args[0])


def _in_cat_partials(p, args, value, keys):
    """The bias counts for every row whose category is not capped; a
    category's weight for its own rows, unless capped."""
    column: EncodedColumn = encoded(args[0])
    categories = p.get("categories", [])
    capped = np.zeros(len(column.keys) + 1, dtype=bool)
    for key, weight in categories:
        code = column.code_of.get(category_key(key))
        if float(weight) > CAT_MAX and code is not None:
            capped[code] = True
    live = ~capped[column.codes]
    found = {}
    for key in keys:
        if key == "bias":
            found[key] = live
        else:
            code = column.code_of.get(category_key(categories[key[1]][0]))
            found[key] = (column.codes == code) & live if code is not None else 0.0
    return found


def _in_cat_form(p, args, dname):
    bias = float(p.get("bias", 0.0))
    return sym.term(1.0, sym.Table(dname, tuple(category_outputs(p)), 0.0 + bias))


def _in_cat_start(s: Start):
    bias = 1.5 if s.under_positive else 1.0
    return {"categories": [(key, 0.0) for key in s.data.categories[s.dname]], "bias": bias}


# ---------------------------------------------------------------------------
# Interactions


def _constant(record: ElementType, *operands: float) -> float:
    """The element's value for constant operands."""
    with np.errstate(over="ignore", invalid="ignore", divide="ignore"):
        return float(record.value({}, [np.float64(v) for v in operands]))


def _unary(function):
    return lambda p, args, exact=True: function(args[0])


def _exp(x):
    return np.where(x > EXP_MAX, EXP_MAX_VALUE, np.exp(np.minimum(x, EXP_MAX)))


def _log(x):
    return np.where(x < LOG_MIN, LOG_MIN_VALUE, np.log(np.maximum(x, LOG_MIN)))


def _inverse(x):
    small = np.abs(x) < DIVISOR_ABSMIN
    safe = np.where(small, 1.0, x)
    return np.where(small, np.copysign(INVERSE_MAX, x), 1.0 / safe)


def _sqrt(x):
    return np.where(x <= SQRT_MIN, SQRT_MIN_VALUE, np.sqrt(np.maximum(x, SQRT_MIN)))


def _squared(x):
    return np.where(np.abs(x) > SQUARED_MAX, SQUARED_MAX_VALUE, x * x)


def _function_form(name: str, rewrite=None):
    """The form of a one-operand function: constant for a constant operand,
    else `rewrite(operand)` or name(operand)."""
    def form(p, args, dname):
        (a,) = args
        if a.is_const():
            return sym.Lin(_constant(CATALOGUE[name], a.const))
        if rewrite is not None:
            return rewrite(a)
        return sym.term(1.0, sym.Func(name.split(":")[0], a))
    return form


def _exp_form(a):
    power = _power_of_log(a)
    if power is not None:
        return power
    if abs(a.const) < 700.0:
        # exp(b*x + c) = e**c * exp(b*x)
        return sym.term(math.exp(a.const), sym.Func("exp", sym.Lin(0.0, a.terms)))
    return sym.term(1.0, sym.Func("exp", a))


def _power_of_log(a):
    """exp(w*log(u) + c) as e**c * u**w, the power it is where the
    logarithm is not clamped (u above its floor); None for other operands."""
    if len(a.terms) != 1 or abs(a.const) >= 700.0:
        return None
    w, factors = a.terms[0]
    if len(factors) != 1 or not isinstance(factors[0], sym.Func) or factors[0].name != "log":
        return None
    k, m = sym.monic(factors[0].lin)
    if k <= 0.0 or m.is_const():
        return None
    coefficient = math.exp(a.const) * k ** w
    return sym.scale(m, coefficient) if w == 1.0 else sym.term(coefficient, sym.Power(m, w))


def _squared_form(a):
    k, m = sym.monic(a)
    f = sym.as_factor(m)
    return sym.make(0.0, [(k * k, (f, f))])


def _inverse_form(a):
    k, m = sym.monic(a)
    return sym.term(1.0 / k, sym.Inverse(m))


def _sqrt_form(a):
    k, m = sym.monic(a)
    if k < 0.0:
        k, m = -k, sym.scale(m, -1.0)
    return sym.term(math.sqrt(k), sym.Func("sqrt", m))


def _gaussian_form(p, args, dname):
    if all(arg.is_const() for arg in args):
        return sym.Lin(_constant(CATALOGUE[f"gaussian:{len(args)}"], *(arg.const for arg in args)))
    return sym.bell(args, lambda c: _constant(CATALOGUE["gaussian:1"], c))


def _gaussian_derivatives(p, args, value):
    return [-4.0 * a * value for a in args]


def _sp(name):
    return lambda sp, x: getattr(sp, name)(x)


_RECORDS = [
    ElementType(
        "out-linear:1", OUTPUT, _REGISTER_DEFAULTS,
        value=_out_linear_value,
        operand_derivatives=lambda p, args, v: [float(p.get("w", 0.0)) * float(p.get("scale", 1.0))],
        partials=_out_linear_partials, form=_out_linear_form, start=_out_linear_start, tunable=("w", "bias")),
    ElementType(
        "out-lr:1", OUTPUT, _WEIGHT_DEFAULTS,
        value=_out_lr_value, link=_affine_value, operand_derivatives=_affine_slope, partials=_affine_partials,
        form=lambda p, args, dname: sym.term(1.0, sym.Func("sigmoid", _affine_form(p, args, dname))),
        start=lambda s: {"w": 1.0, "bias": 0.0}, tunable=("w", "bias"),
        functions=(FormulaFunction("sigmoid", sigmoid, lambda sp, x: 1 / (1 + sp.exp(-x))),)),
    ElementType(
        "in-linear:0", INPUT, _REGISTER_DEFAULTS,
        value=_in_linear_value, partials=_in_linear_partials, form=_in_linear_form, start=_in_linear_start,
        tunable=("w", "bias")),
    ElementType(
        "in-cat:0", INPUT, {"bias": 0.0},
        value=_in_cat_value, partials=_in_cat_partials, form=_in_cat_form, start=_in_cat_start,
        tunable=("bias",),
        table_slots=lambda p: [("categories", k) for k in range(len(p["categories"]))]),
    ElementType(
        "add:2", INTERACTION, value=lambda p, args, exact=True: args[0] + args[1],
        operand_derivatives=lambda p, args, v: [1.0, 1.0],
        form=lambda p, args, dname: sym.add(*args), preference=1.0, commutative=True, associative=True),
    ElementType(
        "multiply:2", INTERACTION, value=lambda p, args, exact=True: args[0] * args[1],
        operand_derivatives=lambda p, args, v: [args[1], args[0]],
        form=lambda p, args, dname: sym.multiply(*args), preference=1.2, commutative=True, associative=True),
    ElementType(
        "gaussian:1", INTERACTION, value=lambda p, args, exact=True: gaussian(args[0]),
        operand_derivatives=_gaussian_derivatives, form=_gaussian_form, preference=0.35,
        cancels=frozenset({"abs:1"})),
    ElementType(
        "gaussian:2", INTERACTION, value=lambda p, args, exact=True: gaussian(args[0], args[1]),
        operand_derivatives=_gaussian_derivatives, form=_gaussian_form, preference=0.1, commutative=True,
        reduces_to="gaussian:1", cancels=frozenset({"abs:1"})),
    ElementType(
        "exp:1", INTERACTION, value=_unary(_exp),
        operand_derivatives=lambda p, args, v: [np.where(args[0] > EXP_MAX, 0.0, v)],
        clamped=lambda p, args: args[0] > EXP_MAX,
        form=_function_form("exp:1", _exp_form), preference=0.5, cancels=frozenset({"log:1"}),
        functions=(FormulaFunction("exp", np.exp, _sp("exp")),)),
    ElementType(
        "log:1", INTERACTION, value=_unary(_log),
        operand_derivatives=lambda p, args, v: [np.where(args[0] < LOG_MIN, 0.0, 1.0 / np.maximum(args[0], LOG_MIN))],
        clamped=lambda p, args: args[0] < LOG_MIN,
        form=_function_form("log:1"), preference=0.4, positive_operand=True, cancels=frozenset({"exp:1"}),
        functions=(FormulaFunction("log", np.log, _sp("log")),)),
    ElementType(
        "inverse:1", INTERACTION, value=_unary(_inverse),
        operand_derivatives=lambda p, args, v: [np.where(np.abs(args[0]) < DIVISOR_ABSMIN, 0.0, -v * v)],
        clamped=lambda p, args: np.abs(args[0]) < DIVISOR_ABSMIN,
        form=_function_form("inverse:1", _inverse_form), preference=0.7, positive_operand=True,
        cancels=frozenset({"inverse:1"})),
    ElementType(
        "sqrt:1", INTERACTION, value=_unary(_sqrt),
        operand_derivatives=lambda p, args, v: [np.where(args[0] <= SQRT_MIN, 0.0, 0.5 / v)],
        clamped=lambda p, args: args[0] <= SQRT_MIN,
        form=_function_form("sqrt:1", _sqrt_form), preference=0.5, positive_operand=True,
        functions=(FormulaFunction("sqrt", np.sqrt, _sp("sqrt")),)),
    ElementType(
        "squared:1", INTERACTION, value=_unary(_squared),
        operand_derivatives=lambda p, args, v: [np.where(np.abs(args[0]) > SQUARED_MAX, 0.0, args[0] + args[0])],
        clamped=lambda p, args: np.abs(args[0]) > SQUARED_MAX,
        form=_function_form("squared:1", _squared_form), preference=0.6, cancels=frozenset({"sqrt:1", "abs:1"})),
    ElementType(
        "tanh:1", INTERACTION, value=lambda p, args, exact=True: single_tanh(args[0], exact),
        operand_derivatives=lambda p, args, v: [1.0 - v * v],
        form=_function_form("tanh:1"), preference=0.15,
        functions=(FormulaFunction("tanh", single_tanh, _sp("tanh")),)),
    ElementType(
        "linear:1", INTERACTION, _WEIGHT_DEFAULTS,
        value=_affine_value, operand_derivatives=_affine_slope, partials=_affine_partials,
        form=lambda p, args, dname: _affine_form(p, args, dname),
        start=lambda s: {"w": uniform(s.rng, 0.8, 1.2), "bias": 0.0}, tunable=("w", "bias"), preference=0.35),
]


def _affine_form(p, args, dname):
    return sym.affine(args[0], float(p.get("w", 0.0)), float(p.get("bias", 0.0)))


# ---------------------------------------------------------------------------
# Interactions of vant._operators, imported only when a program uses them

OPERATORS_MODULE = "vant._operators"
DBL_MAX = float(np.finfo(np.float64).max)


@functools.cache
def _pow_limits() -> tuple[float, float]:
    """(POW_BASE_MIN, POW_VALUE_MAX) as the operator module publishes them."""
    module = importlib.import_module(OPERATORS_MODULE)
    return float(module.POW_BASE_MIN), float(module.POW_VALUE_MAX)


def _held_divisor(y):
    return np.where(np.abs(y) < DIVISOR_ABSMIN, np.copysign(DIVISOR_ABSMIN, y), y)


def _divide_value(p, args, exact=True):
    q = args[0] / _held_divisor(args[1])
    return np.where(np.abs(q) > DBL_MAX, np.copysign(DBL_MAX, q), q)


def _divide_derivatives(p, args, q):
    """1/d and -q/d with d the held divisor; 0 where a clamp holds."""
    d = _held_divisor(args[1])
    held = np.abs(q) >= DBL_MAX
    return [np.where(held, 0.0, 1.0 / d), np.where(held | (np.abs(args[1]) < DIVISOR_ABSMIN), 0.0, -q / d)]


def _divide_form(p, args, dname):
    a, b = args
    if b.is_const():
        return sym.scale(a, _constant(CATALOGUE["divide:2"], 1.0, b.const)) if not a.is_const() else \
            sym.Lin(_constant(CATALOGUE["divide:2"], a.const, b.const))
    return sym.multiply(a, _inverse_form(b))


def _exponent(p) -> float:
    return float(p.get("exponent", 1.0))


def _pow_raw(p, x):
    """(held base, its power before the value's clamp)."""
    base_min, _value_max = _pow_limits()
    b = np.maximum(x, base_min)
    return b, b ** _exponent(p)


def _pow_value(p, args, exact=True):
    return np.minimum(_pow_raw(p, args[0])[1], _pow_limits()[1])


def _pow_derivatives(p, args, value):
    b, raw = _pow_raw(p, args[0])
    held = (args[0] < _pow_limits()[0]) | (raw > _pow_limits()[1])
    return [np.where(held, 0.0, _exponent(p) * value / b)]


def _pow_partials(p, args, value, keys):
    b, raw = _pow_raw(p, args[0])
    return {key: np.where(raw > _pow_limits()[1], 0.0, value * np.log(b)) for key in keys}


def _pow_clamped(p, args):
    b, raw = _pow_raw(p, args[0])
    return (args[0] < _pow_limits()[0]) | (raw > _pow_limits()[1])


def _pow_form(p, args, dname):
    (a,) = args
    e = _exponent(p)
    if a.is_const():
        return sym.Lin(float(_pow_value(p, [np.float64(a.const)])))
    if e == 1.0:
        return a
    k, m = sym.monic(a)
    if k < 0.0:
        k, m = -k, sym.scale(m, -1.0)
    return sym.term(k ** e, sym.Power(m, e))


def _wave_form(quarter_turns: int):
    """The form of sin (quarter_turns 0) or cos (1) as one spelling of the
    wave: sin(a + q*pi/2) is written as sin or cos of an argument whose
    constant lies within a quarter turn of 0 and whose first coefficient is
    positive, so that -2*cos(1.5*x + 1.571) reads 2*sin(1.5*x)."""
    def rewrite(a):
        turns = round(a.const / (0.5 * math.pi))
        m = sym.Lin(a.const - turns * (0.5 * math.pi), a.terms)
        q = (turns + quarter_turns) % 4          # sin(m + q*pi/2)
        sign = -1.0 if q >= 2 else 1.0
        name = "cos" if q % 2 else "sin"
        if m.terms[0][0] < 0.0:                  # sin is odd, cos even
            m = sym.scale(m, -1.0)
            sign = sign if name == "cos" else -sign
        return sym.term(sign, sym.Func(name, m))
    return rewrite


def _abs_form(a):
    k, m = sym.monic(a)
    return sym.term(abs(k), sym.Func("abs", m))


_RECORDS += [
    ElementType(
        "sin:1", INTERACTION, value=_unary(np.sin), operand_derivatives=lambda p, args, v: [np.cos(args[0])],
        form=_function_form("sin:1", _wave_form(0)), preference=0.5, periodic=True, module=OPERATORS_MODULE,
        functions=(FormulaFunction("sin", np.sin, _sp("sin")),)),
    ElementType(
        "cos:1", INTERACTION, value=_unary(np.cos), operand_derivatives=lambda p, args, v: [-np.sin(args[0])],
        form=_function_form("cos:1", _wave_form(1)), preference=0.4, periodic=True, module=OPERATORS_MODULE,
        cancels=frozenset({"abs:1"}),
        functions=(FormulaFunction("cos", np.cos, _sp("cos")),)),
    ElementType(
        "divide:2", INTERACTION, value=_divide_value, operand_derivatives=_divide_derivatives,
        clamped=lambda p, args: np.abs(args[1]) < DIVISOR_ABSMIN,
        form=_divide_form, preference=0.6, positive_operand=True, module=OPERATORS_MODULE),
    ElementType(
        "pow:1", INTERACTION, {"exponent": 1.0},
        value=_pow_value, operand_derivatives=_pow_derivatives, partials=_pow_partials, clamped=_pow_clamped,
        form=_pow_form, start=lambda s: {"exponent": float(s.rng.choice(POW_START_EXPONENTS))},
        tunable=("exponent",), preference=0.4, positive_operand=True, module=OPERATORS_MODULE),
    ElementType(
        "abs:1", INTERACTION, value=_unary(np.abs), operand_derivatives=lambda p, args, v: [np.sign(args[0])],
        form=_function_form("abs:1", _abs_form), preference=0.2, module=OPERATORS_MODULE,
        cancels=frozenset({"abs:1", "squared:1", "sqrt:1", "exp:1", "gaussian:1", "gaussian:2", "pow:1"}),
        functions=(FormulaFunction("abs", np.abs, _sp("Abs")),)),
]

CATALOGUE: dict[str, ElementType] = {record.name: record for record in _RECORDS}

OUTPUT_TYPES = tuple(name for name, record in CATALOGUE.items() if record.role == OUTPUT)
INPUT_TYPES = tuple(name for name, record in CATALOGUE.items() if record.role == INPUT)
INTERACTION_TYPES = tuple(name for name, record in CATALOGUE.items() if record.role == INTERACTION)


class _Arities(dict):
    """The arity of each catalogued type, read from its descriptor the first
    time it is asked for: reading it imports the module that registers the
    type, which `import vant` must not do for the extra types."""

    def __missing__(self, name: str) -> int:
        if name not in CATALOGUE:
            raise KeyError(name)
        self[name] = found = CATALOGUE[name].arity
        return found

    def __contains__(self, name: object) -> bool:
        return name in CATALOGUE


ARITY = _Arities()
# The interaction types a search builds from unless asked for others: those
# of `_kestor` itself.
DEFAULT_OPERATORS = tuple(name for name in INTERACTION_TYPES if CATALOGUE[name].module == "_kestor")
# Sums and products, which every list of operators holds (as arithmetic is
# there in every symbolic regression): the names given are functions beyond them.
ALWAYS_OPERATORS = ("add:2", "multiply:2")

NUMERIC_INPUT, CATEGORICAL_INPUT = "in-linear:0", "in-cat:0"
# The root for each task, and the loss it trains with.
TASKS = {
    "regression": ("out-linear:1", "squared_error"),
    "classification": ("out-lr:1", "binary_cross_entropy"),
}

FORMULA_FUNCTIONS = {f.name: f for record in CATALOGUE.values() for f in record.functions}


def record(fname: str) -> ElementType:
    try:
        return CATALOGUE[fname]
    except KeyError:
        raise ValueError(f"unknown element type {fname!r}") from None


def _short(name: str) -> str:
    return name.rsplit(":", 1)[0]


def operator_types(operators) -> tuple[str, ...]:
    """The interaction types that `operators` names, in catalogue order.

    operators: None or "default" (the types of `_kestor` itself), "all", or
    a list of names, each an element type ("sin:1"), its name without the
    arity ("sin", which names every arity: "gaussian" is gaussian:1 and
    gaussian:2), "default" or "all".  Add and multiply are always among them.
    """
    if operators is None:
        return DEFAULT_OPERATORS
    names = [operators] if isinstance(operators, str) else operators
    try:
        names = list(names)
    except TypeError:
        raise TypeError(f"operators must be a list of operator names, \"default\" or \"all\", "
                        f"not {type(operators).__name__}") from None
    chosen = set(ALWAYS_OPERATORS)
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"operators must hold operator names (strings), not {type(name).__name__}")
        if name == "default":
            chosen.update(DEFAULT_OPERATORS)
        elif name == "all":
            chosen.update(INTERACTION_TYPES)
        else:
            found = [t for t in INTERACTION_TYPES if name in (t, _short(t))]
            if not found:
                valid = ", ".join(dict.fromkeys(_short(t) for t in INTERACTION_TYPES))
                raise ValueError(f"unknown operator {name!r}; the operators are {valid} "
                                 f"(or \"default\" for {', '.join(dict.fromkeys(map(_short, DEFAULT_OPERATORS)))}, "
                                 f"and \"all\")")
            chosen.update(found)
    return tuple(t for t in INTERACTION_TYPES if t in chosen)


# Element types whose native module has been imported (every model of a
# search asks again).
_REGISTERED = {name for name, record in CATALOGUE.items() if record.module == "_kestor"}


def import_modules(fnames: Sequence[str]) -> None:
    """Import the native modules that add these element types to
    `_kestor`'s registry (names the catalogue does not know are left to
    the model to refuse)."""
    if _REGISTERED.issuperset(fnames):
        return
    known = [f for f in fnames if f in CATALOGUE]
    for module in sorted({CATALOGUE[f].module for f in known} - {"_kestor"}):
        importlib.import_module(module)
    _REGISTERED.update(known)


def new_model(dnames: Sequence[str], fnames: Sequence[str], params, sample_count: int, loss: str):
    """A `_kestor.Model`, after importing the native modules that register
    the program's element types."""
    import_modules(fnames)
    return _kestor.Model(list(dnames), list(fnames), params, sample_count, loss)


# ---------------------------------------------------------------------------
# Checking stored parameters


_REAL = (int, float, np.integer, np.floating)


def _real(where: str, name: str, value) -> None:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, _REAL):
        raise TypeError(f"{where}: parameter {name!r} must be a number, not {type(value).__name__}")
    try:
        finite = math.isfinite(float(value))
    except OverflowError:  # an integer beyond the largest float
        raise ValueError(f"{where}: parameter {name!r} is an integer of {len(str(abs(int(value))))} digits, "
                         "beyond the largest float") from None
    if not finite:
        raise ValueError(f"{where}: parameter {name!r} must be finite, not {value!r}")


def _flag(where: str, name: str, value) -> None:
    if not isinstance(value, (bool, int, np.integer, np.bool_)) or value not in (0, 1):
        raise ValueError(f"{where}: parameter {name!r} must be 0 or 1, not {value!r}")


def _categories(where: str, name: str, value) -> None:
    if not isinstance(value, (list, tuple)):
        raise TypeError(f"{where}: parameter {name!r} must be a list of (category, weight) pairs")
    seen = set()
    for item in value:
        if not isinstance(item, (list, tuple)) or len(item) != 2:
            raise ValueError(f"{where}: parameter {name!r} holds {item!r}, not a (category, weight) pair")
        key, weight = item
        try:
            filed = category_key(key) in seen
        except TypeError:
            raise TypeError(f"{where}: category {key!r} cannot be a category (it is not hashable)") from None
        if filed:
            raise ValueError(f"{where}: category {key!r} is listed twice")
        seen.add(category_key(key))
        _real(where, f"weight of category {key!r}", weight)


_PARAMETER_CHECKS = {"categories": _categories, "detect_scale": _flag}


def check_params(index: int, fname: str, params) -> None:
    """Refuse a parameter dictionary that the element would misread: not a
    dict, a key it does not have or lacks (the element would silently use
    its default), a value of the wrong type or not finite."""
    where = f"element {index} ({fname})"
    if not isinstance(params, Mapping):
        raise TypeError(f"{where}: parameters must be a dict, not {type(params).__name__}")
    names = CATALOGUE[fname].param_names
    for key in params:
        if key not in names:
            expected = ", ".join(map(repr, names)) or "none"
            raise ValueError(f"{where}: unknown parameter {key!r} (its parameters: {expected})")
    for name in names:
        if name not in params:
            raise ValueError(f"{where}: parameter {name!r} is missing")
        _PARAMETER_CHECKS.get(name, _real)(where, name, params[name])
