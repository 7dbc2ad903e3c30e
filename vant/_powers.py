"""The product of powers of the inputs that the target follows most closely.

Laws of physics are mostly products of powers of their quantities,
q1*q2/(e*r**2), n*T/V, sqrt(L/g), often times one factor more: (T2 - T1),
1/(1 - v/c), log(V2/V1).  On logarithms such a product is a sum, which one
least-squares regression finds, where the sampler takes many rounds to put
four or five factors together (and meanwhile blends of bells fit the box).
The exponents, rounded to halves, give a program to start from; the term
regressions (see `vant._terms`) add the factor it misses.

The regression runs on (a head of) the refit rows, in the native module's
own arithmetic, so the program is the same on every machine and thread.
"""

from __future__ import annotations

import numpy as np

from . import _linalg
from ._data import TrainingData
from ._elements import NUMERIC_INPUT
from ._program import Node, canonical, is_redundant, to_lists

# The regression runs on at most this many of the refit rows.
POWER_ROWS = 2000
# More inputs than this are not regressed on (a table of many columns is not
# a law of a few quantities).
MAX_POWER_INPUTS = 32
# Exponents are rounded to multiples of STEP; smaller ones than SMALLEST are
# dropped, larger ones than LARGEST are taken as LARGEST.
STEP = 0.5
SMALLEST = 0.25
LARGEST = 3.0


def power_law_programs(data: TrainingData, target: str, types, max_elements: int, excluded=frozenset()
                       ) -> list[tuple[tuple[list[str], list[str]], dict[int, dict]]]:
    """The programs of the product of powers of the inputs closest to the
    target (least squares on the logarithms), its exponents rounded to
    halves and, where that differs, to whole numbers; none where the target
    or no input keeps one sign, or the types to spell it are missing.  A
    product too large for `max_elements` loses its weakest factors.

    Each comes with the starting parameters of its inputs ({element index:
    parameters}, as `vant._training.initial_params` takes them): every
    input as given, over its largest magnitude.  A random start would put
    the pole of a reciprocal inside the box, and the training then rarely
    finds its way to the law it starts next to."""
    if data.task != "regression" or "multiply:2" not in types:
        return []
    rows = data.fit.head(POWER_ROWS)
    values = rows.y * data.target_unit + data.target_offset
    names = [name for name, kind in data.inputs.items()
             if kind == NUMERIC_INPUT and name not in excluded and _one_sign(rows.x[name])]
    if not names or len(names) > MAX_POWER_INPUTS or rows.n < len(names) + 3 or not _one_sign(values):
        return []
    logs = np.column_stack([_centred(np.log(np.abs(np.asarray(rows.x[name], dtype=np.float64)))) for name in names])
    solved = _linalg.normal_equations(logs, _centred(np.log(np.abs(values))), np.ones(rows.n))
    if solved is None:
        return []
    gradient, gram = solved
    exponents = _linalg.damped_solve(gram, gradient, 1e-9)
    if exponents is None or not np.all(np.isfinite(exponents)):
        return []
    # How much each factor moves the target: the weakest go first when the
    # product is too large.
    strength = {name: abs(float(a)) * float(np.std(logs[:, i])) for i, (name, a) in enumerate(zip(names, exponents))}
    programs: dict[str, tuple[tuple[list[str], list[str]], dict[int, dict]]] = {}
    for step in (STEP, 1.0):
        powers = {name: _rounded(float(a), step) for name, a in zip(names, exponents)}
        program = _program(data.output_type, target, powers, strength, types, max_elements)
        if program is not None:
            programs.setdefault(repr(program), (program, _plain_inputs(data, *program)))
    return list(programs.values())


def _plain_inputs(data: TrainingData, dnames, fnames) -> dict[int, dict]:
    """The parameters that make each numeric input register read x over its
    largest magnitude, or under the reciprocal over its smallest: a
    reciprocal clamps small operands, and squares clamp large ones, so the
    factors start where neither does, in the box and well beyond it."""
    starts = {}
    under = fnames.index("inverse:1") if "inverse:1" in fnames else len(fnames)
    for i, (dname, fname) in enumerate(zip(dnames, fnames)):
        if fname == NUMERIC_INPUT:
            scale, offset = data.input_scales[dname]
            magnitudes = np.abs(np.asarray(data.fit.x[dname], dtype=np.float64))
            unit = float(np.min(magnitudes) if i > under else np.max(magnitudes))
            # the register reads (x - offset) * scale * w + bias
            starts[i] = {"scale": scale, "scale_offset": offset, "w": 1.0 / (scale * unit),
                         "bias": offset / unit, "detect_scale": 0}
    return starts


def _one_sign(values) -> bool:
    values = np.asarray(values, dtype=np.float64)
    return bool(np.all(values > 0.0) or np.all(values < 0.0))


def _centred(values: np.ndarray) -> np.ndarray:
    return values - float(np.mean(values))


def _rounded(exponent: float, step: float) -> float:
    """The exponent to the nearest multiple of `step`, within LARGEST; 0
    (the input dropped) for one smaller than SMALLEST."""
    if abs(exponent) < SMALLEST:
        return 0.0
    return float(np.clip(round(exponent / step) * step, -LARGEST, LARGEST))


def _program(output_type: str, target: str, powers: dict[str, float], strength: dict[str, float], types,
             max_elements: int) -> tuple[list[str], list[str]] | None:
    kept = sorted((name for name in powers if powers[name] != 0.0), key=lambda name: -strength[name])
    while kept:
        body = _product_of_powers({name: powers[name] for name in kept}, types)
        if body is None:
            return None
        tree = canonical(Node(output_type, target, [body]))
        if tree.size() <= max_elements:
            return None if is_redundant(tree) else to_lists(tree)
        kept.pop()
    return None


def _product_of_powers(powers: dict[str, float], types) -> Node | None:
    """x**a * y**b / (z**c ...) as elements: one reciprocal over the
    product of the factors of negative exponents."""
    over = [_power(name, a, types) for name, a in powers.items() if a > 0.0]
    under = [_power(name, -a, types) for name, a in powers.items() if a < 0.0]
    if None in over or None in under:
        return None
    if under:
        if "inverse:1" not in types:
            return None
        over.append(Node("inverse:1", "", [_product(under)]))
    return _product(over)


def _product(factors: list[Node]) -> Node:
    product = factors[0]
    for factor in factors[1:]:
        product = Node("multiply:2", "", [product, factor])
    return product


def _power(name: str, exponent: float, types) -> Node | None:
    """x**exponent for a positive multiple of a half up to LARGEST: a root
    times a whole power, the whole power as a product of squares and x."""
    whole, half = int(exponent), exponent - int(exponent) > 0.0
    factors = [Node("squared:1", "", [Node(NUMERIC_INPUT, name)]) for _ in range(whole // 2)]
    if whole % 2:
        factors.append(Node(NUMERIC_INPUT, name))
    if half:
        factors.append(Node("sqrt:1", "", [Node(NUMERIC_INPUT, name)]))
    if any(f.ftype not in (NUMERIC_INPUT, *types) for f in factors):
        return None
    return _product(factors)
