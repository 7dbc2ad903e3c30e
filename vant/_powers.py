"""The product of powers of the inputs that the target follows most closely,
perhaps times one factor of two inputs.

Laws of physics are mostly products of powers of their quantities,
q1*q2/(e*r**2), n*T/V, sqrt(L/g), often times one factor more: a
difference (T2 - T1), a sum of squares under a root, 1/(c - v), an
exponential of a ratio exp(-t/tau).  On logarithms such a law is a sum,
which a least-squares regression finds at once (the factor's power too),
where the sampler takes many rounds to put four or five pieces together
(and meanwhile blends of bells fit the box).  The exponents, rounded to
halves, give a program to start from, and its inputs start as given: the
law itself, or close to it, for the training to polish.

The regressions run on (a head of) the refit rows, in the native module's
own arithmetic, so the programs are the same on every machine and thread.
"""

from __future__ import annotations

import itertools
from collections.abc import Callable, Iterator
from dataclasses import dataclass

import numpy as np

from . import _linalg
from ._data import TrainingData
from ._elements import EXP_MAX, INVERSE_MAX, NUMERIC_INPUT, SQUARED_MAX
from ._program import Node, canonical, is_redundant, to_lists

# The regressions run on at most this many of the refit rows.
POWER_ROWS = 2000
# A table of more inputs (of no 0) than this is not regressed on: it is not
# a law of a few quantities, and the native regressions take at most 15
# columns, one of them the factor's.  Factors are formed among the first
# PAIRED_INPUTS, and sums of three squares among the first TRIPLED_INPUTS.
MAX_POWER_INPUTS = 14
PAIRED_INPUTS = 10
TRIPLED_INPUTS = 8
# Squares and the reciprocal start where neither clamps as far as this
# factor beyond the rows' magnitudes (see `_Leaves`), a little further
# than the simplification keeps them (the training moves the gains).
HEADROOM = 3.0
# The share of the rows whose target must not be 0.
NONZERO_SHARE = 0.9
# Exponents are rounded to multiples of STEP; smaller ones than SMALLEST are
# dropped, larger ones than LARGEST are taken as LARGEST (a factor's power
# as FACTOR_LARGEST).
STEP = 0.5
SMALLEST = 0.25
LARGEST = 5.0
FACTOR_LARGEST = 2.0
# An exponential of an input is a factor only where the input stays below
# this, half the operand beyond which the exponential clamps.
EXP_REACH = 0.5 * EXP_MAX
# Programs with a factor offered, best first; a factor must leave at most
# this share of what the powers alone leave unexplained.  Two factors are
# tried among the best PAIRED_FACTORS, and must leave at most this share of
# what the best one leaves.
FACTORS_OFFERED = 3
FACTOR_GAIN = 0.5
PAIRED_FACTORS = 16
PAIRS_OFFERED = 2
# Each of the PAIRED_LEADERS best factors is also tried with every other
# one: the denominator of a ratio of sums may explain little alone, as
# m1 + m2 in (m1*r1 + m2*r2)/(m1 + m2) (whose numerator grown factors such
# as r1 + m2*r2/m1 may outrank).
PAIRED_LEADERS = 3
# What a factor leaves unexplained below this share of what the powers
# alone leave is rounding; up to EXACT_PAIRS pairs that leave no more are
# offered.
EXACT_SHARE = 1e-9
EXACT_PAIRS = 4
# The most columns a native regression takes.
REGRESSED_COLUMNS = 15
# Exponentials of monomials (exponents -1, 0 and 1) of the inputs, as
# exp(-m*g*x/(kb*T)): at most MONOMIALS of them, those of fewest inputs first.
MONOMIALS = 1000
# The EXTENDED best factors of each kind that can grow (see `_Factor.grow`)
# give the factors grown from them, GROWN_ROUNDS times over: the regressions
# cannot try every sum of three squared differences or every exp(u) - 1, but
# the best of their parts point at them.
EXTENDED = 3
GROWN_ROUNDS = 5

Program = tuple[list[str], list[str]]
# (program, starting parameters of its inputs by element index)
Offer = tuple[Program, dict[int, dict]]


@dataclass(frozen=True)
class _Factor:
    """A factor of two or three inputs.  `column`: the logarithm of its
    magnitude on the rows (its power is fitted), or, for an exponential,
    its exponent (the exponent's coefficient is fitted).  `build(c, leaf,
    unit)` makes its elements, its input registers by `leaf(name, gain)`
    (reading gain * x): an exponential's for the coefficient c, another's
    reading the factor over `unit`.  `grow()`, where given, yields the
    factors grown from this one where it explains much.  A `numerous`
    one (of a family of thousands) is paired only among the best."""
    values: np.ndarray
    column: np.ndarray
    exponential: bool
    build: Callable[[float, _Leaves, float], Node]
    grow: Callable[[], Iterator[_Factor]] | None = None
    numerous: bool = False


def power_law_programs(data: TrainingData, target: str, types, max_elements: int, excluded=frozenset()
                       ) -> list[Offer]:
    """The programs of the product of powers of the inputs closest to the
    target (least squares on the logarithms), its exponents rounded to
    halves and, where that differs, to whole numbers, and of the best such
    products times a factor of one, two or three inputs; none where the
    target is 0 on more than a tenth of the rows, every input is 0
    somewhere, or the types to spell them are missing.  A product too large
    for `max_elements` loses its weakest powers.

    Each comes with the starting parameters of its inputs ({element index:
    parameters}, as `vant._training.initial_params` takes them): the inputs
    as given, scaled (see `_Leaves`).  A random start would put the pole of
    a reciprocal inside the box, and the training then rarely finds its way
    to the law it starts next to."""
    if data.task != "regression" or "multiply:2" not in types:
        return []
    rows = data.fit.head(POWER_ROWS)
    values = rows.y * data.target_unit + data.target_offset
    # Rows whose target is 0 (as an exponential's tail rounds to) say
    # nothing of its logarithm; most must be left.
    nonzero = values != 0.0
    if np.mean(nonzero) < NONZERO_SHARE:
        return []
    values = values[nonzero]
    columns = {name: np.asarray(rows.x[name], dtype=np.float64)[nonzero] for name, kind in data.inputs.items()
               if kind == NUMERIC_INPUT and name not in excluded}
    names = [name for name, x in columns.items() if np.all(x != 0.0)]
    if not names or len(names) > MAX_POWER_INPUTS or len(values) < len(names) + 4:
        return []
    logs = [_centred(np.log(np.abs(columns[name]))) for name in names]
    target_logs = _centred(np.log(np.abs(values)))
    factors = list(_factors(columns, names, types))
    left = _linalg.unexplained(target_logs, [logs, *([*logs, _centred(f.column)] for f in factors)]).tolist()
    # Several factors (and pairs) may explain the target to rounding, x*y +
    # z*w and x + z*w/y alike: these rank as equals, in the order made, so
    # that the plainer, made first, comes first on every machine.
    exact = EXACT_SHARE * left[0]
    _grown(factors, left, logs, target_logs, exact)
    ranked = sorted((max(unexplained, exact), i) for i, unexplained in enumerate(left[1:]))
    chosen: list[tuple[_Factor, ...]] = [(), *((factors[i],) for unexplained, i in ranked[:FACTORS_OFFERED]
                                               if unexplained < FACTOR_GAIN * left[0])]
    chosen += _pair_of_factors(logs, target_logs, factors, [i for _unexplained, i in ranked],
                               ranked[0][0] if ranked else left[0], exact)
    offers: dict[str, Offer] = {}
    for factors_chosen in chosen:
        coefficients = _least_squares([*logs, *(_centred(f.column) for f in factors_chosen)], target_logs)
        if coefficients is None:
            continue
        for step in (STEP, 1.0) if not factors_chosen else (STEP,):
            offer = _offer(data, target, names, columns, coefficients, factors_chosen, step, types, max_elements)
            if offer is not None:
                offers.setdefault(repr(offer[0]), offer)
    return list(offers.values())


def _grown(factors: list[_Factor], left: list[float], logs: list[np.ndarray], target_logs: np.ndarray,
           exact: float) -> None:
    """Adds to `factors` (and what each leaves unexplained to `left`, after
    what the powers alone leave) those grown from the EXTENDED best that
    can grow (at most `exact` counting as equal), GROWN_ROUNDS times over."""
    grown_from: set[int] = set()
    seen: set[bytes] = set()   # a factor grows from several (x + y*z*w from x + y*z and x + y*w)
    for _round in range(GROWN_ROUNDS):
        # Each kind of growth (the function it is) has its own EXTENDED best.
        kinds: dict[str, list[tuple[float, int]]] = {}
        for i, f in enumerate(factors):
            if f.grow is not None and i not in grown_from:
                kinds.setdefault(f.grow.__qualname__, []).append((max(left[i + 1], exact), i))
        growing = [best for kind in sorted(kinds) for best in sorted(kinds[kind])[:EXTENDED]]
        new = []
        for _unexplained, i in growing:
            grown_from.add(i)
            for grown in factors[i].grow():
                if grown.values.tobytes() not in seen:
                    seen.add(grown.values.tobytes())
                    new.append(grown)
        if not new:
            return
        left += _linalg.unexplained(target_logs, [[*logs, _centred(f.column)] for f in new]).tolist()
        factors += new


def _pair_of_factors(logs: list[np.ndarray], target_logs: np.ndarray, factors: list[_Factor], ranked: list[int],
                     alone: float, exact: float) -> list[tuple[_Factor, ...]]:
    """The PAIRS_OFFERED pairs of factors that explain the most together,
    of those that leave at most FACTOR_GAIN of what the best one leaves
    alone: a ratio of sums, as in (u + v)/(1 + u*v).  The pairs tried are
    those of the PAIRED_FACTORS best factors alone, and those of each of
    the PAIRED_LEADERS best with any other not `numerous`.  Those that
    leave at most `exact` rank as equals, in the order of the factors, and
    up to EXACT_PAIRS of them are offered: one may spell the law in fewer
    elements than another."""
    if len(logs) + 2 > REGRESSED_COLUMNS or len(ranked) < 2:
        return []
    pairs = set(itertools.combinations(sorted(ranked[:PAIRED_FACTORS]), 2))
    pairs |= {(min(i, j), max(i, j)) for i in ranked[:PAIRED_LEADERS] for j in ranked
              if j != i and not factors[j].numerous}
    tried = sorted(pairs)
    left = _linalg.unexplained(target_logs, [[*logs, _centred(factors[i].column), _centred(factors[j].column)]
                                             for i, j in tried])
    order = np.argsort(np.maximum(left, exact), kind="stable")
    count = max(PAIRS_OFFERED, min(EXACT_PAIRS, int(np.count_nonzero(np.asarray(left) <= exact))))
    return [(factors[tried[k][0]], factors[tried[k][1]]) for k in order[:count] if left[k] < FACTOR_GAIN * alone]


def _least_squares(basis: list[np.ndarray], values: np.ndarray) -> np.ndarray | None:
    solved = _linalg.normal_equations(np.column_stack(basis), values, np.ones(len(values)))
    if solved is None:
        return None
    gradient, gram = solved
    coefficients = _linalg.damped_solve(gram, gradient, 1e-9)
    return coefficients if coefficients is not None and np.all(np.isfinite(coefficients)) else None


def _factors(columns: dict[str, np.ndarray], names: list[str], types) -> Iterator[_Factor]:
    """The factors tried, where the types to spell them are there and they
    are 0 nowhere: 1 + x, 1 - x, 1 - x**2 and exp(+-x) +- 1, x + y and x - y, x**2 + y**2
    and x**2 - y**2, exp(c*x*y) and exp(c*x/y), log(x/y), 1 +- x/y,
    1 +- (x/y)**2 and 1 +- x*y, x**2 + y**2 + z**2, (x - y)**2 + (z - w)**2,
    x*y +- z*w, x +- y*z and exp(c*u) of monomials u (the last three
    growing, see `_grown`)."""
    paired = list(columns)[:PAIRED_INPUTS]
    sums, squares = "add:2" in types, "add:2" in types and "squared:1" in types
    with np.errstate(all="ignore"):
        for a in paired:
            yield from _with_one(columns[a], a, types)
        for i, a in enumerate(paired):
            x = columns[a]
            for b in paired[i + 1:]:
                y = columns[b]
                for sign in (1.0, -1.0) if sums else ():
                    yield from _two_terms(columns, (a,), (b,), sign)
                    if squares:
                        yield from _logged(x * x + sign * y * y, lambda c, leaf, unit, a=a, b=b, sign=sign:
                                           _sum_of_squares(leaf, unit, [(a, 1.0), (b, sign)]))
                if "exp:1" in types:
                    yield from _exponentials(columns, names, a, b, types)
                if "log:1" in types and "inverse:1" in types and b in names:
                    yield from _log_ratio(columns, a, b)
                if "linear:1" in types and "inverse:1" in types:
                    yield from _one_and_ratio(columns, names, a, b, types)
                if "linear:1" in types:
                    for sign in (1.0, -1.0):
                        yield from _logged(1.0 + sign * x * y, lambda c, leaf, unit, a=a, b=b, sign=sign: leaf.linear(
                            Node("multiply:2", "", [leaf(a), leaf(b)]), sign / unit, 1.0 / unit))
        if squares:
            yield from _squared_differences(columns, paired)
            tripled = paired[:TRIPLED_INPUTS]
            for i, a in enumerate(tripled):
                for j, b in enumerate(tripled[i + 1:], start=i + 1):
                    for d in tripled[j + 1:]:
                        yield from _logged(columns[a] ** 2 + columns[b] ** 2 + columns[d] ** 2,
                                           lambda c, leaf, unit, a=a, b=b, d=d:
                                           _sum_of_squares(leaf, unit, [(a, 1.0), (b, 1.0), (d, 1.0)]))
        if sums:
            yield from _sums_of_products(columns, paired[:TRIPLED_INPUTS])
            yield from _input_and_product(columns, paired[:TRIPLED_INPUTS], names[:PAIRED_INPUTS], types)
        if "exp:1" in types and "inverse:1" in types and "linear:1" in types:
            yield from _exponential_monomials(columns, names[:PAIRED_INPUTS], types)


def _squared_differences(columns: dict[str, np.ndarray], inputs: list[str]) -> Iterator[_Factor]:
    """(a - b)**2 + (c - d)**2 for two pairs of four of the inputs, as in a
    distance sqrt((x1 - x2)**2 + (y1 - y2)**2); each grows by a third
    pair of the other inputs, as in 1/((x2 - x1)**2 + (y2 - y1)**2 + (z2 - z1)**2)."""
    for a, b, c, d in _two_pairs(inputs):
        yield from _differences_squared(columns, inputs, ((a, b), (c, d)))


def _differences_squared(columns: dict[str, np.ndarray], inputs: list[str], pairs: tuple[tuple[str, str], ...]
                         ) -> Iterator[_Factor]:
    """The sum of the squared differences of the pairs, growing by a pair
    of the `inputs` it leaves (none: grown already, it grows no further)."""
    def grow() -> Iterator[_Factor]:
        used = {name for pair in pairs for name in pair}
        others = [name for name in inputs if name not in used]
        for i, a in enumerate(others):
            for b in others[i + 1:]:
                yield from _differences_squared(columns, [], (*pairs, (a, b)))

    if not inputs:
        pairs = tuple(sorted(pairs))   # grown from different pairs, the same factor
    values = sum((columns[a] - columns[b]) ** 2 for a, b in pairs)
    for factor in _logged(values, lambda _c, leaf, unit: _sum([
            Node("squared:1", "", [_difference(leaf, unit, a, b)]) for a, b in pairs])):
        yield _Factor(factor.values, factor.column, False, factor.build, grow if inputs else None)


def _sums_of_products(columns: dict[str, np.ndarray], inputs: list[str]) -> Iterator[_Factor]:
    """a*b + c*d and a*b - c*d for two pairs of four of the inputs, as in
    (m1*r1 + m2*r2)/(m1 + m2)."""
    for a, b, c, d in _two_pairs(inputs):
        for sign in (1.0, -1.0):
            yield from _two_terms(columns, (a, b), (c, d), sign)


def _input_and_product(columns: dict[str, np.ndarray], inputs: list[str], nonzero: list[str], types
                       ) -> Iterator[_Factor]:
    """a + b*c and a - b*c for three different inputs, as in the
    displacement x - u*t; the product grows by one input more of those 0
    nowhere, times or over it, as in H + alpha*M/(epsilon*c**2)."""
    for a in inputs:
        others = [name for name in inputs if name != a]
        for i, b in enumerate(others):
            for c in others[i + 1:]:
                for sign in (1.0, -1.0):
                    yield from _grown_terms(columns, nonzero, types, a, ((b, 1), (c, 1)), sign)


def _grown_terms(columns: dict[str, np.ndarray], inputs: list[str], types, a: str,
                 monomial: tuple[tuple[str, int], ...], sign: float) -> Iterator[_Factor]:
    """a + sign * monomial ((input, exponent) ...); the first such of a
    product of two inputs is written as `_two_terms` writes it."""
    def grow() -> Iterator[_Factor]:
        powers = dict(monomial)
        for name in inputs:
            for step in (1, -1) if name != a else ():
                exponent = powers.get(name, 0) + step
                if abs(exponent) <= 2 and exponent != 0 and (abs(exponent) < 2 or "squared:1" in types):
                    grown = tuple(sorted({**powers, name: exponent}.items()))
                    yield from _grown_terms(columns, inputs, types, a, grown, sign)

    if len(monomial) == 2 and all(e == 1 for _name, e in monomial):
        made = _two_terms(columns, (a,), tuple(name for name, _e in monomial), sign)
    else:
        values = columns[a] + sign * _monomial_values(columns, monomial)
        made = _logged(values, lambda _c, leaf, unit: Node("add:2", "", [
            leaf(a, 1.0 / unit), _monomial(leaf, sign / unit, monomial, columns, types)]))
    for factor in made:
        yield _Factor(factor.values, factor.column, False, factor.build, grow if "inverse:1" in types else None)


def _two_terms(columns: dict[str, np.ndarray], first: tuple[str, ...], second: tuple[str, ...], sign: float
               ) -> Iterator[_Factor]:
    """first + sign * second, each a product of one or two inputs (x + y,
    x - y*z, x*y + z*w); a term's registers read their inputs over the
    unit's root of the term's degree, the last of `second` with the sign."""
    def product(values: list[np.ndarray]) -> np.ndarray:
        return values[0] if len(values) == 1 else values[0] * values[1]

    def term(leaf: _Leaves, unit: float, names: tuple[str, ...], last_sign: float) -> Node:
        gain = 1.0 / unit if len(names) == 1 else 1.0 / np.sqrt(unit)
        return _product([leaf(name, gain) for name in names[:-1]] + [leaf(names[-1], last_sign * gain)])

    values = product([columns[name] for name in first]) + sign * product([columns[name] for name in second])
    yield from _logged(values, lambda _c, leaf, unit: Node("add:2", "", [term(leaf, unit, first, 1.0),
                                                                          term(leaf, unit, second, sign)]))


def _two_pairs(inputs: list[str]) -> Iterator[tuple[str, str, str, str]]:
    """(a, b, c, d): every two pairs of four different inputs, once."""
    pairs = [(a, b) for i, a in enumerate(inputs) for b in inputs[i + 1:]]
    for k, (a, b) in enumerate(pairs):
        for c, d in pairs[k + 1:]:
            if len({a, b, c, d}) == 4:
                yield a, b, c, d


def _difference(leaf, unit: float, a: str, b: str) -> Node:
    """a - b over the square root of `unit` (its square is over `unit`)."""
    gain = 1.0 / np.sqrt(unit)
    return Node("add:2", "", [leaf(a, gain), leaf(b, -gain)])


def _with_one(x: np.ndarray, a: str, types) -> Iterator[_Factor]:
    """1 + x and 1 - x (an input register of its own), exp(+-x) +- 1 (a
    linear element over an exponential) and 1 - x**2 (the product of two):
    laws hold ones where units cancel, as in m/sqrt(1 - v**2) and
    x**3/(exp(x) - 1)."""
    for sign in (1.0, -1.0):
        yield from _logged(1.0 + sign * x, lambda c, leaf, unit, a=a, sign=sign: leaf(a, sign / unit, 1.0 / unit))
    if "linear:1" in types and "exp:1" in types:
        # exp(x) - 1 and exp(x) + 1, and of -x: the denominators of Planck's
        # and Fermi's laws
        for sign, one in itertools.product((1.0, -1.0), (-1.0, 1.0)):
            yield from _exponential_plus(sign * x, 1.0, one, lambda leaf, a=a, sign=sign: leaf(a, sign))
    if "multiply:2" in types:
        yield from _logged(1.0 - x * x, lambda c, leaf, unit, a=a: Node("multiply:2", "", [
            leaf(a, 1.0 / np.sqrt(unit), 1.0 / np.sqrt(unit)), leaf(a, -1.0 / np.sqrt(unit), 1.0 / np.sqrt(unit))]))


def _exponentials(columns: dict[str, np.ndarray], names: list[str], a: str, b: str, types) -> Iterator[_Factor]:
    """exp(c*a*b), and exp(c*a/b) and exp(c*b/a) where the divisor is 0
    nowhere; the registers read the divisor over its smallest magnitude
    (the reciprocal clamps small operands), the other input makes up."""
    x, y = columns[a], columns[b]
    yield _Factor(x * y, x * y, True, lambda c, leaf, unit, a=a, b=b:
                  Node("exp:1", "", [Node("multiply:2", "", [leaf(a, c), leaf(b)])]))
    if "inverse:1" not in types:
        return
    for top, bottom in ((a, b), (b, a)):
        if bottom in names:
            least = float(np.min(np.abs(columns[bottom])))
            ratio = columns[top] / columns[bottom]
            yield _Factor(ratio, ratio, True, lambda c, leaf, unit, top=top, bottom=bottom, least=least: Node(
                "exp:1", "", [Node("multiply:2", "", [leaf(top, c / least),
                                                       Node("inverse:1", "", [leaf(bottom, 1.0 / least)])])]))


def _exponential_monomials(columns: dict[str, np.ndarray], inputs: list[str], types) -> Iterator[_Factor]:
    """exp(c*u) for monomials u of the inputs (exponents -1, 0 and 1;
    those of two inputs, one over, are `_exponentials`), at most MONOMIALS,
    those of fewest inputs first.  Each grows, where u keeps its sign, into
    1 - exp(-|u|) and 1 + exp(-|u|), and exp(|u|) - 1 and exp(|u|) + 1
    where the exponential clamps nowhere near the rows or on them already
    (see `_exponential_and_one`): the denominators of Planck's and Fermi's
    laws, hbar*omega/(exp(hbar*omega/(kb*T)) - 1)."""
    count = 0
    for degree in range(1, len(inputs) + 1):
        for chosen in itertools.combinations(inputs, degree):
            for exponents in itertools.product((1, -1), repeat=degree):
                if degree == 2 and max(exponents) > 0:
                    continue
                if count == MONOMIALS:
                    return
                count += 1
                monomial = tuple(zip(chosen, exponents))
                u = _monomial_values(columns, monomial)
                if not np.all(np.isfinite(u)):
                    continue
                yield _Factor(u, u, True, lambda c, leaf, unit, monomial=monomial: Node("exp:1", "", [
                    _monomial(leaf, c, monomial, columns, types)]),
                    lambda u=u, monomial=monomial: _exponential_and_one(columns, monomial, u, types), numerous=True)


def _exponential_and_one(columns: dict[str, np.ndarray], monomial: tuple[tuple[str, int], ...], u: np.ndarray,
                         types) -> Iterator[_Factor]:
    """1 -+ exp(-|u|), and exp(|u|) -+ 1 where allowed (see
    `_exponential_monomials`), for a monomial u of one sign on the rows."""
    sign = 1.0 if np.all(u > 0.0) else -1.0 if np.all(u < 0.0) else 0.0
    if sign == 0.0:
        return
    v = sign * u
    with np.errstate(all="ignore"):
        for one in (-1.0, 1.0):
            yield from _exponential_plus(-v, one, 1.0, lambda leaf: _monomial(leaf, -sign, monomial, columns, types))
            yield from _exponential_plus(v, 1.0, one, lambda leaf: _monomial(leaf, sign, monomial, columns, types),
                                         clamped_on_rows=True)


def _exponential_plus(exponent: np.ndarray, w: float, bias: float, operand: Callable[[_Leaves], Node],
                      clamped_on_rows: bool = False) -> Iterator[_Factor]:
    """w*exp(e) + bias, a linear element over the exponential of `operand`
    (`exponent` its values on the rows): only where the exponent stays well
    below where the exponential clamps, so that the law holds beyond the
    rows too, or, if `clamped_on_rows`, where it passes the clamp on the
    rows already (their fit shows what the clamp costs)."""
    largest = float(np.max(exponent))
    if largest <= EXP_REACH or (clamped_on_rows and largest > EXP_MAX):
        yield from _logged(w * np.exp(exponent) + bias, lambda c, leaf, unit: leaf.linear(
            Node("exp:1", "", [operand(leaf)]), w / unit, bias / unit))


def _monomial_values(columns: dict[str, np.ndarray], monomial: tuple[tuple[str, int], ...]) -> np.ndarray:
    values = np.ones_like(columns[monomial[0][0]])
    with np.errstate(all="ignore"):
        for name, exponent in monomial:
            values = values * columns[name] ** exponent
    return values


def _monomial(leaf, gain: float, monomial: tuple[tuple[str, int], ...], columns: dict[str, np.ndarray], types
              ) -> Node:
    """gain * the product of the inputs to their (whole) exponents as
    elements, those of negative exponents under one reciprocal.  The
    registers read their input over its largest magnitude above the
    reciprocal and over its smallest under it (where neither the square
    nor the reciprocal clamps); the first input to the power 1 above makes
    up the gain, or else a linear element over the product."""
    scales = {name: float(np.max(np.abs(columns[name])) if e > 0 else np.min(np.abs(columns[name])))
              for name, e in monomial}
    made_up = float(gain * np.prod([scales[name] ** e for name, e in monomial]))
    takes_gain = next((name for name, e in monomial if e == 1), None)

    def power(name: str, exponent: int) -> Node:
        def make(_power: float = 1.0) -> Node:
            return leaf(name, (made_up if name == takes_gain else 1.0) / scales[name])
        node = _power_of(make, float(abs(exponent)), types)
        assert node is not None
        return node

    over = [power(name, e) for name, e in monomial if e > 0]
    under = [power(name, e) for name, e in monomial if e < 0]
    if under:
        over.append(Node("inverse:1", "", [_product(under)]))
    product = _product(over)
    return product if takes_gain is not None else leaf.linear(product, made_up, 0.0)


def _one_and_ratio(columns: dict[str, np.ndarray], names: list[str], a: str, b: str, types) -> Iterator[_Factor]:
    """1 + x/y, 1 - x/y, 1 + (x/y)**2 and 1 - (x/y)**2 (a linear element
    over the ratio or its square), as in q/(r*(1 - v/c)) and
    m0/sqrt(1 - v**2/c**2); the ratio's registers read their inputs over
    the divisor's smallest magnitude (the reciprocal clamps small operands)."""
    for top, bottom in ((a, b), (b, a)):
        if bottom not in names:
            continue
        least = float(np.min(np.abs(columns[bottom])))
        ratio = columns[top] / columns[bottom]

        def ratio_of(leaf: _Leaves, top: str = top, bottom: str = bottom, least: float = least) -> Node:
            return Node("multiply:2", "", [leaf(top, 1.0 / least), Node("inverse:1", "", [leaf(bottom, 1.0 / least)])])

        for sign in (1.0, -1.0):
            yield from _logged(1.0 + sign * ratio, lambda c, leaf, unit, sign=sign, ratio_of=ratio_of:
                               leaf.linear(ratio_of(leaf), sign / unit, 1.0 / unit))
            if "squared:1" in types:
                yield from _logged(1.0 + sign * ratio * ratio, lambda c, leaf, unit, sign=sign, ratio_of=ratio_of:
                                   leaf.linear(Node("squared:1", "", [ratio_of(leaf)]), sign / unit, 1.0 / unit))


def _log_ratio(columns: dict[str, np.ndarray], a: str, b: str) -> Iterator[_Factor]:
    """log(a/b), where the ratio is positive throughout, as in
    n*kb*T*log(V2/V1); both registers read their input over the divisor's
    smallest magnitude (the reciprocal clamps small operands)."""
    with np.errstate(all="ignore"):
        ratio = columns[a] / columns[b]
    if np.all(ratio > 0.0) and np.all(np.isfinite(ratio)):
        least = float(np.min(np.abs(columns[b])))
        yield from _logged(np.log(ratio), lambda c, leaf, unit, a=a, b=b, least=least: Node("log:1", "", [
            Node("multiply:2", "", [leaf(a, 1.0 / least), Node("inverse:1", "", [leaf(b, 1.0 / least)])])]))


def _logged(values: np.ndarray, build) -> Iterator[_Factor]:
    if np.all(values != 0.0) and np.all(np.isfinite(values)):
        yield _Factor(values, np.log(np.abs(values)), False, build)


def _sum_of_squares(leaf, unit: float, signed: list[tuple[str, float]]) -> Node:
    """The sum of the squares of the inputs over `unit`, a negative one as
    the product of two registers of opposite signs (a square is never
    negative)."""
    gain = 1.0 / np.sqrt(unit)
    terms = [Node("squared:1", "", [leaf(name, gain)]) if sign > 0.0
             else Node("multiply:2", "", [leaf(name, gain), leaf(name, -gain)]) for name, sign in signed]
    return _sum(terms)


class _Leaves:
    """Makes the input registers of a program and remembers how each should
    start: reading x times a gain, in data units.  A power over the
    reciprocal reads x over its largest magnitude, one under it over its
    smallest: a reciprocal clamps small operands and a square large ones,
    so the factors start where neither does, in the box and well beyond."""

    def __init__(self, data: TrainingData, columns: dict[str, np.ndarray]):
        self.data, self.columns = data, columns
        self.gains: dict[int, tuple[float, float]] = {}
        self.linears: dict[int, dict[str, float]] = {}
        self.under = False   # whether the powers made now go under the reciprocal
        self.powers_under: list[tuple[Node, float, float]] = []   # (register, power, smallest magnitude)

    def unit(self, values: np.ndarray) -> float:
        magnitudes = np.abs(values)
        return float(np.min(magnitudes) if self.under else np.max(magnitudes))

    def power(self, name: str, power: float = 1.0) -> Node:
        """An input register of the input to be raised to `power`; under
        squares, it reads x over what keeps the outermost square's operand
        within SQUARED_MAX at HEADROOM times the largest magnitude."""
        magnitudes = np.abs(self.columns[name])
        gain = 1.0 / self.unit(magnitudes)
        if power >= 2.0:
            gain = min(gain, SQUARED_MAX ** (2.0 / power) / (HEADROOM * float(np.max(magnitudes))))
        node = self(name, gain)
        if self.under:
            self.powers_under.append((node, power, float(np.min(magnitudes))))
        return node

    def make_room_under(self) -> None:
        """Raises the gain of a register of the power 1 under the reciprocal
        until the product of the powers there keeps the reciprocal's operand
        above where it clamps at the smallest magnitudes over HEADROOM (the
        squares' gains may have lowered it)."""
        least = 1.0
        for node, power, smallest in self.powers_under:
            least *= (self.gains[id(node)][0] * smallest / HEADROOM) ** power
        wanted = HEADROOM / INVERSE_MAX
        plain = next((node for node, power, _smallest in self.powers_under if power == 1.0), None)
        if plain is not None and 0.0 < least < wanted:
            gain, shift = self.gains[id(plain)]
            self.gains[id(plain)] = (gain * wanted / least, shift)

    def __call__(self, name: str, gain: float = 1.0, shift: float = 0.0) -> Node:
        """An input register reading gain * x + shift."""
        node = Node(NUMERIC_INPUT, name)
        self.gains[id(node)] = (gain, shift)
        return node

    def linear(self, operand: Node, w: float, bias: float) -> Node:
        """A linear element over the operand, reading w * operand + bias."""
        node = Node("linear:1", "", [operand])
        self.linears[id(node)] = {"w": w, "bias": bias}
        return node

    def starts(self, tree: Node) -> dict[int, dict]:
        """{element index: parameters} of the tree's input registers and
        linear elements."""
        starts = {}
        for i, (node, _parent, _depth) in enumerate(tree.walk()):
            if id(node) in self.linears:
                starts[i] = dict(self.linears[id(node)])
            if id(node) in self.gains:
                scale, offset = self.data.input_scales[node.dname]
                gain, shift = self.gains[id(node)]
                # the register reads (x - offset) * scale * w + bias
                starts[i] = {"scale": scale, "scale_offset": offset, "w": gain / scale,
                             "bias": gain * offset + shift, "detect_scale": 0}
        return starts


def _offer(data: TrainingData, target: str, names: list[str], columns: dict[str, np.ndarray],
           coefficients: np.ndarray, factors: tuple[_Factor, ...], step: float, types, max_elements: int
           ) -> Offer | None:
    """The program of the rounded powers (and the factors), with its starts;
    the weakest powers dropped until it fits, None if it never does."""
    powers = {name: _rounded(float(a), step if np.all(columns[name] > 0.0) or np.all(columns[name] < 0.0) else 1.0)
              for name, a in zip(names, coefficients)}
    factor_powers = [(factor, float(a) if factor.exponential else
                      float(np.clip(_rounded(float(a), STEP), -FACTOR_LARGEST, FACTOR_LARGEST)))
                     for factor, a in zip(factors, coefficients[len(names):])]
    if any(power == 0.0 for _factor, power in factor_powers):
        return None
    # How much each power moves the target: the weakest go first.
    strength = {name: abs(float(a)) * float(np.std(np.log(np.abs(columns[name]))))
                for name, a in zip(names, coefficients)}
    kept = sorted((name for name in powers if powers[name] != 0.0), key=lambda name: -strength[name])
    while kept or factors:
        leaves = _Leaves(data, columns)
        body = _product_of_powers({name: powers[name] for name in kept}, factor_powers, types, leaves)
        if body is None:
            return None
        tree = canonical(Node(data.output_type, target, [body]))
        if tree.size() <= max_elements:
            return None if is_redundant(tree) else (to_lists(tree), leaves.starts(tree))
        if not kept:
            return None
        kept.pop()
    return None


def _centred(values: np.ndarray) -> np.ndarray:
    return values - float(np.mean(values))


def _rounded(exponent: float, step: float) -> float:
    """The exponent to the nearest multiple of `step`, within LARGEST; 0
    (the input dropped) for one smaller than SMALLEST."""
    if abs(exponent) < SMALLEST:
        return 0.0
    return float(np.clip(round(exponent / step) * step, -LARGEST, LARGEST))


def _product_of_powers(powers: dict[str, float], factor_powers: list[tuple[_Factor, float]], types,
                       leaves: _Leaves) -> Node | None:
    """x**a * y**b * f / (z**c * g ...) as elements: one reciprocal over the
    product of the factors of negative powers."""
    def elements_of(factor: _Factor, power: float) -> Node | None:
        def build(_power: float = 1.0) -> Node:
            return factor.build(power, leaves, leaves.unit(factor.values))
        return build() if factor.exponential else _power_of(build, abs(power), types)

    over: list[Node | None] = [_power_of(lambda p, name=name: leaves.power(name, p), a, types)
                               for name, a in powers.items() if a > 0.0]
    over += [elements_of(factor, power) for factor, power in factor_powers if factor.exponential or power > 0.0]
    leaves.under = True
    under = [_power_of(lambda p, name=name: leaves.power(name, p), -a, types) for name, a in powers.items() if a < 0.0]
    leaves.make_room_under()
    under += [elements_of(factor, power) for factor, power in factor_powers if not factor.exponential and power < 0.0]
    if None in over or None in under or not over + under or (under and "inverse:1" not in types):
        return None
    factors = [node for node in over if node is not None]
    if under:
        factors.append(Node("inverse:1", "", [_product([node for node in under if node is not None])]))
    return _product(factors)


def _product(factors: list[Node]) -> Node:
    return _chain("multiply:2", factors)


def _sum(terms: list[Node]) -> Node:
    return _chain("add:2", terms)


def _chain(ftype: str, operands: list[Node]) -> Node:
    """The operands combined by the two-operand type, left to right."""
    chained = operands[0]
    for operand in operands[1:]:
        chained = Node(ftype, "", [chained, operand])
    return chained


def _power_of(make: Callable[[float], Node], exponent: float, types) -> Node | None:
    """base**exponent for a positive multiple of a half, `make(power)`
    making the base anew for each use, to be raised to `power` (4, 2, 1 or
    1/2): a root times a whole power, the whole power as a product of
    squares and the base.  None where the types to spell it are missing."""
    whole, half = int(exponent), exponent - int(exponent) > 0.0
    if (whole >= 2 and "squared:1" not in types) or (half and "sqrt:1" not in types):
        return None
    factors = [Node("squared:1", "", [Node("squared:1", "", [make(4.0)])])] if whole >= 4 else []
    factors += [Node("squared:1", "", [make(2.0)]) for _ in range(whole % 4 // 2)]
    if whole % 2:
        factors.append(make(1.0))
    if half:
        factors.append(Node("sqrt:1", "", [make(0.5)]))
    return _product(factors)
