"""The last step of a search: trained programs with debris, simplified.

The programs are built from parameters as searches returned them (with
their debris), so each case runs in milliseconds."""

import math

import numpy as np
import pytest

import vant
from vant import FoundModel
from vant._data import prepare
from vant._scoring import Scorer
from vant._simplify import simple_values, simplified
from vant._training import Candidate

IN, OUT = "in-linear:0", "out-linear:1"


def register(w, bias=0.0):
    """An input register computing w*x + bias."""
    return {"scale": 1.0, "scale_offset": 0.0, "w": w, "bias": bias, "detect_scale": 0}


def simplify(data, target, dnames, fnames, params):
    """The model simplified against `data` (in data units), as FoundModel."""
    prepared = prepare(data, target, "regression", np.random.default_rng(0), None, None, (), 0.25)
    scorer = Scorer("regression", prepared.loss_name, prepared.valid, 1.0, prepared.error_floor)
    root = dict(params[0], scale=params[0]["scale"] / prepared.target_unit,
                scale_offset=(params[0]["scale_offset"] - prepared.target_offset) / prepared.target_unit)
    candidate = Candidate("", list(dnames), list(fnames), [root, *params[1:]], {}, 0.0, True)
    result = simplified(prepared, scorer, candidate)
    return FoundModel(result.dnames, result.fnames, prepared.params_in_data_units(result.params))


rng = np.random.default_rng(1)
x, z, u, v = (rng.uniform(-3, 3, 400) for _ in range(4))
q1, q2, r, e = (rng.uniform(1, 5, 400) for _ in range(4))
positive = rng.uniform(0.1, 4, 400)
noise = rng.normal(0.0, 0.05, 400)

CASES = {
    "negligible factor (command line)": (
        {"x": x, "z": z, "y": 2 * np.sin(1.5 * x) + 0.3 * z},
        ["y", "", "", "x", "", "z", "x"], [OUT, "add:2", "sin:1", IN, "multiply:2", IN, IN],
        [register(2.0, 0.3744), {}, {}, register(1.5), {}, register(0.5, -0.624),
         register(1.147e-16, 1.147e-16 * 2.616e15)],
        "2*sin(1.5*x) + 0.3*z"),
    "debris shifts (Coulomb)": (
        {"q1": q1, "q2": q2, "r": r, "e": e, "F": q1 * q2 / (4 * np.pi * e * r**2)},
        ["F", "", "", "", "", "q1", "q2", "r", "e", "r"],
        [OUT, "divide:2", "divide:2", "divide:2", "multiply:2", IN, IN, IN, IN, IN],
        [register(0.07958), {}, {}, {}, {}, register(1.0, 2.39e-10), register(1.0, 2.808e-10),
         register(1.0, -5.896e-05), register(1.0, 5.184e-11), register(1.0, 5.896e-05)],
        "0.07958*q1*q2/e/(r**2)"),
    "near-identity ratio (square root)": (
        {"x": positive, "y": np.sqrt(positive)},
        ["y", "", "", "x", "", "x", "x", "", "x"],
        [OUT, "divide:2", "divide:2", IN, "divide:2", IN, IN, "sqrt:1", IN],
        [register(0.9998, 0.0008563), {}, {}, register(1.0, 0.001253), {}, register(1.0, 0.6914),
         register(1.0, 0.6903), {}, register(1.0, 0.002564)],
        "sqrt(x)"),
    "nearly constant logarithm (sin(2x))": (
        {"x": x, "y": np.sin(2 * x)},
        ["y", "", "", "", "", "x", "x"], [OUT, "sin:1", "add:2", "linear:1", "log:1", IN, IN],
        [register(1.0), {}, {}, {"w": -1.0, "bias": 0.0}, {}, register(8.199e-06, 1.249), register(2.0, 0.2224)],
        "sin(2*x)"),
    "noisy data (Pipeline)": (
        {"x0": x, "x1": z, "y": 3 * np.exp(-x**2) + 0.5 * z + noise},
        ["y", "", "", "x0", "", "x1", "x0"], [OUT, "add:2", "gaussian:1", IN, "multiply:2", IN, IN],
        [register(3.0, 0.5 * 0.1736), {}, {}, register(math.sqrt(0.5)), {},
         register(0.5 / 3 / 537.8, -0.5 / 3 / 537.8 * 0.1736), register(1.0, 537.8)],
        "3*exp(-x0**2) + 0.5*x1"),
    "noisy weights of a family of equal fits (parallel resistors)": (
        {"a": q1, "b": q2, "y": q1 * q2 / (q1 + q2) + 0.01 * noise},
        ["y", "", "", "", "a", "b", "", "a", "b"],
        [OUT, "multiply:2", "inverse:1", "add:2", IN, IN, "multiply:2", IN, IN],
        [register(1.001 * 0.54824), {}, {}, {}, register(0.54824), register(0.54938), {}, register(1.0),
         register(1.0)],
        "a*b/(a + b)"),
    "a constant shown over a slope (parallel resistors)": (
        {"a": q1, "b": q2, "y": q1 * q2 / (q1 + q2) + 0.1 * noise},
        ["y", "", "a", "", "", "", "a", "", "b"],
        [OUT, "multiply:2", IN, "inverse:1", "linear:1", "multiply:2", IN, "inverse:1", IN],
        [register(0.9981 * 0.8137), {}, register(1.0), {}, {"w": 0.8137, "bias": 0.8137 * 0.9955}, {},
         register(1.0), {}, register(1.0)],
        "a/(a/b + 1)"),
    "one of a family of equal fits (polynomial)": (
        {"x": x, "y": x**3 + x**2 + x},
        ["y", "", "x", "", "", "x", "x"], [OUT, "multiply:2", IN, "linear:1", "multiply:2", IN, IN],
        [register(1.0), {}, register(1.0), {"w": 1.0, "bias": 0.8125}, {}, register(1.0, 0.25),
         register(1.0, 0.75)],
        "x*(x*(x + 1) + 1)"),
    "shifts that cancel only together (centre of mass)": (
        {"m1": q1, "m2": q2, "r1": r, "r2": e, "y": (q1 * r + q2 * e) / (q1 + q2)},
        ["y", "", "", "", "m1", "r1", "", "m2", "r2", "", "", "m1", "m2"],
        [OUT, "multiply:2", "add:2", "multiply:2", IN, IN, "multiply:2", IN, IN, "inverse:1", "add:2", IN, IN],
        [register(1.0, 2.996), {}, {}, {}, register(0.5), register(1.0, -2.996), {}, register(0.5),
         register(1.0, -2.996), {}, {}, register(0.5), register(0.5)],
        "(m1*r1 + m2*r2)/(m1 + m2)"),
}


@pytest.mark.parametrize("case", CASES)
def test_debris_comes_out_in_the_plain_form(case):
    data, dnames, fnames, params, plain = CASES[case]
    target = dnames[0]
    before = FoundModel(dnames, fnames, params)
    after = simplify(data, target, dnames, fnames, params)
    assert after.expression == plain
    assert after.size < before.size or case.startswith(("debris", "one of a family", "noisy weights", "shifts", "a constant"))
    # One model: what it predicts is what its formula says.
    np.testing.assert_allclose(after.predict(data), after.evaluate_formula(data), rtol=1e-12, atol=1e-12)
    scale = np.std(data[target])
    assert np.sqrt(np.mean((after.predict(data) - data[target]) ** 2)) <= max(1.1 * np.std(noise), 1e-9) * scale \
        or case.startswith("noisy")


@pytest.mark.parametrize("data, dnames, fnames, params", [
    # a term of 0.05 under noise of 0.01, and a shift the square needs
    ({"x": x, "z": z, "y": x + 0.05 * z + 0.01 * noise / 0.05},
     ["y", "", "x", "z"], [OUT, "add:2", IN, IN], [register(1.0), {}, register(1.0), register(0.05)]),
    ({"x": x, "y": (x + 0.5) ** 2},
     ["y", "", "x"], [OUT, "squared:1", IN], [register(1.0), {}, register(1.0, 0.5)]),
], ids=["small term", "needed shift"])
def test_what_the_data_needs_stays(data, dnames, fnames, params):
    before = FoundModel(dnames, fnames, params)
    after = simplify(data, "y", dnames, fnames, params)
    assert after.fnames == before.fnames
    np.testing.assert_allclose(after.predict(data), before.predict(data), rtol=1e-3, atol=1e-3)


def test_the_model_stays_the_formula_beyond_the_rows():
    """The weights of e and r stay away from 1: at 1, a square would clamp
    for r beyond 4.5 and the reciprocal for e*r**4 below 0.05, both within
    twice the rows' range."""
    data = {"p": q1, "e": e, "r": r / 2 + 0.5, "y": q1 / (e * (r / 2 + 0.5) ** 4)}
    dnames = ["y", "", "p", "", "", "e", "", "", "r"]
    fnames = [OUT, "multiply:2", IN, "inverse:1", "multiply:2", IN, "squared:1", "squared:1", IN]
    params = [register(50 * 0.5**4), {}, register(1.0), {}, {}, register(50.0), {}, {}, register(0.5)]
    after = simplify(data, "y", dnames, fnames, params)
    assert after.expression == "p/(e*(r**2)**2)"
    wide = {"p": q1, "e": e / 2, "r": np.linspace(0.5, 6.0, 400)}
    np.testing.assert_allclose(after.predict(wide), after.evaluate_formula(wide), rtol=1e-6)


@pytest.mark.parametrize("value, first", [
    (0.30006, 0.3), (-1.4999, -1.5), (2.00001, 2.0), (1.5709, math.pi / 2),
    (1 / (4 * math.pi) + 1e-9, 1 / (4 * math.pi)), (0.15003, 0.15), (537.83, 538.0),
    (0.25, None), (537.8, 538.0), (1 / (4 * math.pi), None), (0.0, None), (0.123456, None),
])
def test_simple_values(value, first):
    found = simple_values(value)
    assert (found[0][0] if found else None) == first
    assert all(abs(c - value) <= 0.01 * abs(value) for c, _plain in found)


def test_the_search_hands_out_simplified_models_that_stay_one_model():
    # The leader of this search once carried "+ 0.0006322" inside its sine.
    rng = np.random.default_rng(0)
    x, z = rng.uniform(-3, 3, 1000), rng.uniform(-3, 3, 1000)
    data = {"x": x, "z": z, "y": 2 * np.sin(1.5 * x) + 0.3 * z}
    models = vant.search(data, "y", operators=["default", "sin"], seed=1, rounds=4, n_jobs=2)
    assert models[0].expression == "2*sin(1.5*x) + 0.3*z"
    for model in models.front:
        again = vant.load_json(model.to_json())
        np.testing.assert_array_equal(again.predict(data), model.predict(data))
        if not model.metrics["clamp_active"]:
            np.testing.assert_allclose(model.evaluate_formula(data), model.predict(data), rtol=1e-9, atol=1e-9)
