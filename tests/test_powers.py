"""The product of powers of the inputs that a search starts from."""

import numpy as np
import pytest

from vant._data import prepare
from vant._elements import DEFAULT_OPERATORS
from vant._powers import power_law_programs


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


@pytest.mark.parametrize("law, ranges, types", [
    (lambda a, b: a - b, dict(a=(1, 5), b=(1, 5)), DEFAULT_OPERATORS),           # a target of both signs
    (lambda a, b: a * b, dict(a=(-1, 1), b=(-1, 1)), DEFAULT_OPERATORS),         # no input of one sign
    (lambda a, b: a / b, dict(a=(1, 5), b=(1, 5)), ("multiply:2", "add:2")),    # no reciprocal to spell it
])
def test_nothing_is_offered_where_no_product_of_powers_can_be_read(law, ranges, types):
    assert _offered(law, ranges, types) == []


def test_a_product_too_large_loses_its_weakest_factors():
    law = lambda a, b, c, d: a**2 * b**2 * c**2 * d**0.5      # noqa: E731
    (program,) = _offered(law, dict(a=(1, 5), b=(1, 5), c=(1, 5), d=(1, 1.2)), max_elements=9)
    assert _shape(program) == "multiply multiply squared b squared c squared a"
