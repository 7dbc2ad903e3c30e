"""The product of powers of the inputs that a search starts from."""

import numpy as np
import pytest

from vant._data import prepare
from vant._elements import DEFAULT_OPERATORS, EXP_MAX
from vant._evaluate import clamp_active, evaluate_elements
from vant._powers import EXP_REACH, power_law_programs
from vant._training import initial_params


def _offered(law, ranges, types=DEFAULT_OPERATORS, max_elements=12, noise=0.0):
    rng = np.random.default_rng(3)
    data = {name: rng.uniform(low, high, 800) for name, (low, high) in ranges.items()}
    data["y"] = law(**data) * (1.0 + noise * rng.normal(size=800))
    prepared = prepare(data, "y", "regression", rng, None, None, (), 0.25, None)
    return [program for program, _starts in power_law_programs(prepared, "y", types, max_elements)]


def _shape(program):
    """The program's elements, inputs by name, types without arity."""
    return " ".join(d or f.split(":")[0] for d, f in zip(program[0][1:], program[1][1:]))


@pytest.mark.parametrize("law, ranges, shape", [
    (lambda q1, q2, e, r: q1 * q2 / (e * r**2), dict(q1=(1, 5), q2=(1, 5), e=(1, 5), r=(1, 5)),
     "multiply inverse multiply e squared r multiply q1 q2"),
    (lambda L, g: 6.283 * np.sqrt(L / g), dict(L=(0.5, 2), g=(5, 15)), "multiply inverse sqrt g sqrt L"),
    # negative throughout, and an input that does not matter
    (lambda a, b, c: -3 * a**1.5 * b, dict(a=(1, 3), b=(0.5, 2), c=(1, 2)), "multiply b multiply a sqrt a"),
])
def test_a_product_of_powers_is_read_off_the_logarithms(law, ranges, shape):
    assert _shape(_offered(law, ranges, noise=0.01)[0]) == shape


@pytest.mark.parametrize("law, ranges, shape", [
    (lambda m, w, v, x: m * (w**2 + v**2) * x**2, dict(m=(1, 3), w=(1, 3), v=(1, 3), x=(1, 3)),
     "multiply add squared v squared w multiply m squared x"),
    (lambda n, t, tau: n * np.exp(-t / tau), dict(n=(1, 5), t=(0.1, 5), tau=(1, 5)),
     "multiply exp multiply t inverse tau n"),
    (lambda k, a, b, d: k * (b - a) / d, dict(k=(1, 5), a=(1, 5), b=(1, 5), d=(1, 5)),
     "multiply inverse d multiply add a b k"),
    (lambda m, a, b, c: m * np.sqrt(a**2 + b**2 + c**2), dict(m=(1, 5), a=(1, 5), b=(1, 5), c=(1, 5)),
     "multiply m sqrt add add squared a squared b squared c"),
    (lambda m, v: m / np.sqrt(1 - v**2), dict(m=(1, 5), v=(0, 0.8)), "multiply m inverse sqrt multiply v v"),
    (lambda n, t, v, w: n * t * np.log(v / w), dict(n=(1, 5), t=(1, 5), v=(1, 5), w=(1, 5)),
     "multiply log multiply v inverse w multiply n t"),
    (lambda m, q, h: m * q**4 / h**2, dict(m=(1, 5), q=(1, 5), h=(1, 5)),
     "multiply inverse squared h multiply m squared squared q"),
    (lambda a, b, c, d: np.hypot(a - b, c - d), dict(a=(0, 2), b=(0, 2), c=(0, 2), d=(0, 2)),
     "sqrt add squared add a b squared add c d"),
    (lambda m, v, c: m / np.sqrt(1 - v**2 / c**2), dict(m=(1, 5), v=(1, 2), c=(3, 10)),
     "multiply m inverse sqrt linear squared multiply v inverse c"),
    (lambda x: x**3 / (np.exp(x) - 1), dict(x=(0.5, 3)), "multiply inverse linear exp x multiply x squared x"),
    (lambda u, v: (u + v) / (1 + u * v), dict(u=(-0.5, 0.5), v=(-0.5, 0.5)),   # a ratio of two factors
     "multiply add u v inverse linear multiply u v"),
])
def test_a_product_of_powers_times_a_factor_of_inputs_is_offered(law, ranges, shape):
    assert shape in [_shape(program) for program in _offered(law, ranges)]


@pytest.mark.parametrize("law, ranges, shape", [
    # a ratio of sums whose denominator explains little alone
    (lambda m1, m2, r1, r2: (m1 * r1 + m2 * r2) / (m1 + m2), dict(m1=(1, 5), m2=(1, 5), r1=(1, 5), r2=(1, 5)),
     "multiply add multiply m1 r1 multiply m2 r2 inverse add m1 m2"),
    (lambda x, u, c, t: (x - u * t) / np.sqrt(1 - u**2 / c**2), dict(x=(5, 10), u=(1, 2), c=(3, 20), t=(1, 2)),
     "multiply add x multiply t u inverse sqrt linear squared multiply u inverse c"),
])
def test_two_factors_of_a_law_of_four_quantities_are_offered(law, ranges, shape):
    assert shape in [_shape(program) for program in _offered(law, ranges, max_elements=16)]


@pytest.mark.parametrize("law, ranges, shape", [
    # the exponential of a monomial, its tail 0 on some rows in single precision
    (lambda n, m, x, k, T: n * np.exp(-m * x / (k * T)), dict(n=(1, 5), m=(1, 5), x=(1, 5), k=(1, 5), T=(1, 5)),
     "multiply exp multiply inverse multiply T k multiply m x n"),
    # Planck's denominator, grown from that exponential
    (lambda h, w, k, T: h * w / np.expm1(h * w / (k * T)), dict(h=(1, 5), w=(1, 5), k=(1, 5), T=(1, 5)),
     "multiply inverse linear exp multiply inverse multiply T k multiply h w multiply h w"),
    # three squared differences, grown from two
    (lambda m, a, b, c, d, e, f: m / ((a - b)**2 + (c - d)**2 + (e - f)**2),
     dict(m=(1, 2), a=(3, 4), b=(1, 2), c=(3, 4), d=(1, 2), e=(3, 4), f=(1, 2)),
     "multiply m inverse add add squared add a b squared add c d squared add e f"),
    # x + y*z grown into a sum whose second term has four inputs
    (lambda m, H, a, M, e, c: m * (H + a * M / (e * c**2)), {name: (1, 3) for name in "m H a M e c".split()},
     "multiply inverse multiply e squared c multiply add M multiply inverse a multiply e multiply H squared c multiply a m"),
    (lambda p, r: p / r**5, dict(p=(1, 3), r=(1, 3)), "multiply p inverse multiply r squared squared r"),
])
def test_factors_grown_from_the_best_and_high_powers_are_offered(law, ranges, shape):
    assert shape in [_shape(program) for program in _offered(law, ranges, max_elements=32)]


@pytest.mark.parametrize("law, ranges, types", [
    (lambda a, b: np.maximum(a - 3, 0), dict(a=(1, 5), b=(1, 5)), DEFAULT_OPERATORS),   # a target that is 0
    (lambda a, b: a / b, dict(a=(1, 5), b=(1, 5)), ("multiply:2", "add:2")),           # no reciprocal to spell it
    (lambda **x: x["x0"] * x["x1"], {f"x{i}": (1, 5) for i in range(15)}, DEFAULT_OPERATORS),  # a wide table
])
def test_nothing_is_offered_where_no_product_of_powers_can_be_read(law, ranges, types):
    assert _offered(law, ranges, types) == []


def test_a_product_too_large_loses_its_weakest_factors():
    law = lambda a, b, c, d: a**2 * b**2 * c**2 * d**0.5      # noqa: E731
    (program,) = _offered(law, dict(a=(1, 5), b=(1, 5), c=(1, 5), d=(1, 1.2)), max_elements=9)
    assert _shape(program) == "multiply multiply squared b squared c squared a"


@pytest.mark.parametrize("ranges", [
    dict(h=(1, 2), w=(1, 2), k=(1, 2), T=(1, 2)),   # h*w/(k*T) up to 4: exp(u) would clamp just beyond
    dict(h=(1, 5), w=(1, 5), k=(1, 5), T=(1, 5)),   # up to 25: the rows show what the clamp costs
])
def test_an_exponential_of_a_monomial_starts_below_its_clamp_or_past_it_on_the_rows(ranges):
    rng = np.random.default_rng(3)
    data = {name: rng.uniform(low, high, 800) for name, (low, high) in ranges.items()}
    data["y"] = data["h"] * data["w"] / np.expm1(data["h"] * data["w"] / (data["k"] * data["T"]))
    prepared = prepare(data, "y", "regression", rng, None, None, (), 0.25, None)
    largest = []
    for (dnames, fnames), starts in power_law_programs(prepared, "y", DEFAULT_OPERATORS, 16):
        values = evaluate_elements(dnames, fnames, initial_params(prepared, dnames, fnames, rng, starts), data)
        largest += [float(np.max(values[i + 1])) for i, fname in enumerate(fnames) if fname == "exp:1"]
    assert largest and not any(EXP_REACH < value <= EXP_MAX for value in largest)


def test_an_exponential_that_would_clamp_just_beyond_the_rows_is_no_factor():
    rng = np.random.default_rng(3)
    x = rng.uniform(0.5, 5, 800)
    prepared = prepare({"x": x, "y": x**3 / (np.exp(x) - 1)}, "y", "regression", rng, None, None, (), 0.25, None)
    exponents = [starts[i + 1]["w"] for (_dnames, fnames), starts in
                 power_law_programs(prepared, "y", DEFAULT_OPERATORS, 12) for i, f in enumerate(fnames) if f == "exp:1"]
    assert exponents and all(w < 0.0 for w in exponents)   # exp(-x) only: exp(x) clamps beyond x = 6


def test_a_high_power_starts_unclamped_well_beyond_the_rows():
    """r**5 under the reciprocal: read over its smallest magnitude, r**4
    would clamp in its square from r = 4.5 on, within twice the rows'."""
    rng = np.random.default_rng(3)
    data = {"p": rng.uniform(1, 3, 800), "e": rng.uniform(1, 3, 800), "r": rng.uniform(1, 3, 800)}
    data["y"] = data["p"] / (data["e"] * data["r"] ** 5)
    prepared = prepare(data, "y", "regression", rng, None, None, (), 0.25, None)
    (dnames, fnames), starts = power_law_programs(prepared, "y", DEFAULT_OPERATORS, 16)[0]
    params = initial_params(prepared, dnames, fnames, rng, starts)
    for factor in (2.0, 0.5):
        wide = {name: values * factor for name, values in data.items()}
        assert not clamp_active(dnames, fnames, params, wide)
