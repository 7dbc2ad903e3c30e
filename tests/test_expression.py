"""Evaluation and rendering of trained programs against Model.predict."""

import math

import numpy as np
import pytest

import _kestor
from vant import FoundModel
from vant._elements import new_model
from vant._evaluate import evaluate
from vant._render import render

from _ulp import assert_close_to_native, assert_within_ulp

RNG = np.random.default_rng(20)
N = 400
DATA = {
    "x": RNG.uniform(-2.0, 2.0, N),
    "z": RNG.uniform(-1.0, 1.0, N),
    "c": RNG.choice(np.array(["red", "green", "blue", "new"], dtype=object), N),
}
KINDS = {"x": "in-linear:0", "z": "in-linear:0", "c": "in-cat:0"}


def numeric(w, bias, scale=0.5, offset=0.1):
    return {"scale": scale, "scale_offset": offset, "w": w, "bias": bias, "detect_scale": 0}


def categorical(bias=0.3, **weights):
    return {"categories": list(weights.items()) or [("red", 0.7), ("green", -0.4), ("blue", 1.1)], "bias": bias}


ROOT = {"scale": 1.7, "scale_offset": 0.2, "w": 1.3, "bias": -0.4, "detect_scale": 0}
LOGISTIC = {"w": 1.9, "bias": -0.3}

# (fnames, dnames, params): every interaction type, in ranges where no clamp acts.
PROGRAMS = [
    (["out-linear:1", "in-linear:0"], ["y", "x"], [ROOT, numeric(0.8, 0.1)]),
    (["out-linear:1", "exp:1", "in-linear:0"], ["y", "", "x"], [ROOT, {}, numeric(-0.9, 0.2)]),
    (["out-linear:1", "log:1", "in-linear:0"], ["y", "", "x"], [ROOT, {}, numeric(0.4, 1.3)]),
    (["out-linear:1", "inverse:1", "in-linear:0"], ["y", "", "x"], [ROOT, {}, numeric(0.5, 1.2)]),
    (["out-linear:1", "sqrt:1", "in-linear:0"], ["y", "", "x"], [ROOT, {}, numeric(-0.6, 1.5)]),
    (["out-linear:1", "squared:1", "in-linear:0"], ["y", "", "x"], [ROOT, {}, numeric(1.4, -0.3)]),
    (["out-linear:1", "tanh:1", "in-linear:0"], ["y", "", "x"], [ROOT, {}, numeric(2.1, 0.4)]),
    (["out-linear:1", "gaussian:1", "in-linear:0"], ["y", "", "x"], [ROOT, {}, numeric(1.2, 0.1)]),
    (["out-linear:1", "gaussian:2", "in-linear:0", "in-linear:0"], ["y", "", "x", "z"],
     [ROOT, {}, numeric(1.2, 0.1), numeric(-0.7, 0.3)]),
    (["out-linear:1", "add:2", "in-linear:0", "linear:1", "in-linear:0"], ["y", "", "x", "", "z"],
     [ROOT, {}, numeric(0.6, 0.0), {"w": -1.7, "bias": 0.25}, numeric(1.1, 0.2)]),
    (["out-linear:1", "multiply:2", "in-linear:0", "in-linear:0"], ["y", "", "x", "z"],
     [ROOT, {}, numeric(0.6, 0.4), numeric(1.1, -0.2)]),
    (["out-linear:1", "add:2", "in-cat:0", "in-linear:0"], ["y", "", "c", "x"],
     [ROOT, {}, categorical(), numeric(0.8, 0)]),
    (["out-linear:1", "multiply:2", "in-cat:0", "exp:1", "in-linear:0"], ["y", "", "c", "", "z"],
     [ROOT, {}, categorical(), {}, numeric(0.8, 0)]),
    (["out-linear:1", "add:2", "in-cat:0", "in-cat:0"], ["y", "", "c", "c"],
     [ROOT, {}, categorical(), categorical(-0.2, red=0.5, blue=2.0)]),
    (["out-lr:1", "multiply:2", "in-linear:0", "in-linear:0"], ["y", "", "x", "z"],
     [LOGISTIC, {}, numeric(2.0, 0.1), numeric(1.5, -0.1)]),
    (["out-linear:1", "add:2", "multiply:2", "inverse:1", "in-linear:0", "tanh:1", "in-linear:0", "squared:1",
      "in-cat:0"], ["y", "", "", "", "x", "", "z", "", "c"],
     [ROOT, {}, {}, {}, numeric(0.5, 1.3), {}, numeric(1.5, 0.0), {}, categorical()]),
    # The types of vant._operators; cos with a phase past a quarter turn is written as a sine.
    (["out-linear:1", "add:2", "sin:1", "in-linear:0", "cos:1", "in-linear:0"], ["y", "", "", "x", "", "z"],
     [ROOT, {}, {}, numeric(1.4, 0.3), {}, numeric(-1.1, 2.0)]),
    (["out-linear:1", "divide:2", "abs:1", "in-linear:0", "in-linear:0"], ["y", "", "", "x", "z"],
     [ROOT, {}, {}, numeric(1.2, -0.2), numeric(1.0, 1.5)]),
    (["out-linear:1", "multiply:2", "pow:1", "in-linear:0", "in-cat:0"], ["y", "", "", "x", "c"],
     [ROOT, {}, {"exponent": 1.7}, numeric(0.5, 1.5), categorical()]),
]


def ids(program):
    return "-".join(f.split(":")[0] for f in program[0][1:])


def model_of(fnames, dnames, params):
    loss = "binary_cross_entropy" if fnames[0] == "out-lr:1" else "squared_error"
    return new_model(dnames, fnames, [dict(p) for p in params], 0, loss)


@pytest.mark.parametrize("program", PROGRAMS, ids=ids)
def test_numpy_evaluation_follows_predict(program):
    fnames, dnames, params = program
    expected = model_of(fnames, dnames, params).predict(DATA)
    assert_close_to_native(evaluate(dnames, fnames, params, DATA), expected)


@pytest.mark.parametrize("program", PROGRAMS, ids=ids)
def test_exact_formula_evaluated_with_numpy_equals_predict(program):
    fnames, dnames, params = program
    kind = "classification" if fnames[0] == "out-lr:1" else "regression"
    found = FoundModel(dnames, fnames, [dict(p) for p in params], kind)
    expected = model_of(fnames, dnames, params).predict(DATA)
    got = found.evaluate_formula(DATA)
    np.testing.assert_allclose(got, expected, rtol=1e-9, atol=1e-9 * np.max(np.abs(expected)))
    # The readable form rounds the constants, but stays close.
    rough = found.evaluate_formula(DATA, 4)
    np.testing.assert_allclose(rough, expected, rtol=0.02, atol=0.02 * np.max(np.abs(expected)))


@pytest.mark.parametrize("function, own", [
    ("exp:1", {}), ("log:1", {}), ("inverse:1", {}), ("sqrt:1", {}), ("squared:1", {}), ("tanh:1", {}),
    ("gaussian:1", {}), ("abs:1", {}), ("pow:1", {"exponent": -2.0}), ("pow:1", {"exponent": 3.0}),
    ("divide:2", {}),
])
def test_clamped_functions_match_predict_past_their_clamps(function, own):
    x = np.array([-3000.0, -25.0, -0.03, -0.0, 0.0, 0.004, 0.01, 0.03, 5.0, 7.0, 25.0, 1e300])
    root = {"scale": 1.0, "scale_offset": 0.0, "w": 1.0, "bias": 0.0, "detect_scale": 0}
    dnames, fnames, params = ["y", "", "x"], ["out-linear:1", function, "in-linear:0"], [root, own]
    if function == "divide:2":  # 1/x through the divisor's clamp
        dnames, fnames = ["y", "", "x", "x"], fnames + ["in-linear:0"]
        params.append(numeric(0.0, 1.0, 1.0, 0.0))
    params.append(numeric(1.0, 0.0, 1.0, 0.0))
    expected = model_of(fnames, dnames, params).predict({"x": x})
    assert_close_to_native(evaluate(dnames, fnames, params, {"x": x}), expected, err_msg=function)


# Arguments where numpy's AVX-512 exp and log round the other way from the
# C library; the rest are spread over the elements' working ranges.
LAST_BIT_CASES = {
    "exp": [float.fromhex("0x1.33bc0fd903316p+2"), float.fromhex("-0x1.2612b99ec51a2p+2")],
    "log": [float.fromhex("0x1.7e472301702e1p+2")],
}


@pytest.mark.parametrize("name, low, high", [("exp", -5.0, 5.0), ("log", 0.001, 10.0)])
def test_numpy_exp_and_log_stay_within_a_unit_of_the_c_library(name, low, high):
    from vant._elements import CATALOGUE
    x = np.concatenate([LAST_BIT_CASES[name], np.random.default_rng(3).uniform(low, high, 5000)])
    numpy_value = CATALOGUE[f"{name}:1"].value({}, [x])
    c_library = np.array([getattr(math, name)(v) for v in x])
    assert_within_ulp(numpy_value, c_library, maxulp=1)


def test_category_weights_cap_and_unseen_categories():
    params = [{"scale": 1.0, "scale_offset": 0.0, "w": 1.0, "bias": 0.0, "detect_scale": 0},
              {"categories": [("a", 401.0), ("b", 400.0), ("c", -1000.0), (1, 2.0)], "bias": 1.0}]
    column = np.array(["a", "b", "c", "zzz", 1.0, True], dtype=object)
    model = _kestor.Model(["y", "k"], ["out-linear:1", "in-cat:0"], params, 0, "squared_error")
    expected = np.array([400.0, 401.0, -999.0, 1.0, 3.0, 3.0])
    np.testing.assert_array_equal(model.predict({"k": column}), expected)
    np.testing.assert_array_equal(evaluate(["y", "k"], ["out-linear:1", "in-cat:0"], params, {"k": column}), expected)
    rendered = render(["y", "k"], ["out-linear:1", "in-cat:0"], params)
    assert rendered.text == "cat(k)"
    (table,) = rendered.tables
    assert table.values == {"a": 400.0, "b": 401.0, "c": -999.0, 1: 3.0} and table.default == 1.0


@pytest.mark.parametrize("fnames, dnames, params, text", [
    # y = ((exp(-0.98*x) * 2.01) + 0.5) * 1 + 0
    (["out-linear:1", "exp:1", "in-linear:0"], ["y", "", "x"],
     [{"scale": 1.0, "scale_offset": 0.0, "w": 2.01, "bias": 0.5}, {}, numeric(-0.98, 0.0, 1.0, 0.0)],
     "2.01*exp(-0.98*x) + 0.5"),
    # The constant inside exp folds into the factor in front: e**0.5 = 1.649.
    (["out-linear:1", "exp:1", "in-linear:0"], ["y", "", "x"],
     [{"scale": 2.0, "scale_offset": 1.0, "w": 1.0, "bias": 0.0}, {}, numeric(1.0, 0.5, 1.0, 0.0)],
     "3.297*exp(x) + 1"),
    # exp(-2*(w*x + b)**2) with w = 0.5**0.5: a bell of width 1 centred at 1.
    (["out-linear:1", "gaussian:1", "in-linear:0"], ["y", "", "x"],
     [{"scale": 1.0, "scale_offset": 0.0, "w": 3.0, "bias": 0.0}, {}, numeric(0.5 ** 0.5, -(0.5 ** 0.5), 1.0, 0.0)],
     "3*exp(-(x - 1)**2)"),
    (["out-lr:1", "multiply:2", "in-linear:0", "in-linear:0"], ["y", "", "x", "z"],
     [{"w": 2.0, "bias": -1.0}, {}, numeric(1.0, 0.0, 1.0, 0.0), numeric(1.0, 0.5, 1.0, 0.0)],
     "sigmoid(2*x*(z + 0.5) - 1)"),
    (["out-linear:1", "inverse:1", "in-linear:0"], ["y", "", "x"],
     [{"scale": 1.0, "scale_offset": 0.0, "w": 1.0, "bias": 0.0}, {}, numeric(2.0, 1.0, 1.0, 0.0)],
     "0.5/(x + 0.5)"),
    (["out-linear:1", "add:2", "in-linear:0", "in-linear:0"], ["y", "", "x", "x"],
     [{"scale": 1.0, "scale_offset": 0.0, "w": 1.0, "bias": 0.0}, {}, numeric(1.0, 0.25, 1.0, 0.0),
      numeric(-3.0, 0.25, 1.0, 0.0)],
     "-2*x + 0.5"),
    # One spelling of a wave: -2*cos(1.5*x + pi/2) = 2*sin(1.5*x), written before the linear term.
    (["out-linear:1", "add:2", "cos:1", "in-linear:0", "in-linear:0"], ["y", "", "", "x", "z"],
     [{"scale": 1.0, "scale_offset": 0.0, "w": -2.0, "bias": 0.0}, {}, {}, numeric(1.5, math.pi / 2, 1.0, 0.0),
      numeric(-0.15, 0.0, 1.0, 0.0)],
     "2*sin(1.5*x) + 0.3*z"),
    (["out-linear:1", "pow:1", "in-linear:0"], ["y", "", "x"],
     [{"scale": 1.0, "scale_offset": 0.0, "w": 1.0, "bias": 0.0}, {"exponent": -1.5}, numeric(-4.0, 1.0, 1.0, 0.0)],
     "0.125*(-x + 0.25)**(-1.5)"),
    (["out-linear:1", "pow:1", "pow:1", "in-linear:0"], ["y", "", "", "x"],
     [{"scale": 1.0, "scale_offset": 0.0, "w": 1.0, "bias": 0.0}, {"exponent": 2.0}, {"exponent": 0.5},
      numeric(1.0, 1.0, 1.0, 0.0)],
     "((x + 1)**0.5)**2"),
    (["out-linear:1", "divide:2", "in-linear:0", "abs:1", "in-linear:0"], ["y", "", "x", "", "z"],
     [{"scale": 1.0, "scale_offset": 0.0, "w": 1.0, "bias": 0.0}, {}, numeric(2.0, 0.0, 1.0, 0.0), {},
      numeric(-2.0, 1.0, 1.0, 0.0)],
     "x/abs(z - 0.5)"),
])
def test_readable_formulas(fnames, dnames, params, text):
    assert render(dnames, fnames, params).text == text


@pytest.mark.parametrize("program", PROGRAMS[11:], ids=ids)
def test_found_model_round_trips_through_plain_dictionaries(program):
    fnames, dnames, params = program
    kind = "classification" if fnames[0] == "out-lr:1" else "regression"
    found = FoundModel(dnames, fnames, [dict(p) for p in params], kind, sample_count=1234)
    again = FoundModel.from_params(**found.to_dict())
    assert again.formula() == found.formula() and again.expression == found.expression
    np.testing.assert_array_equal(again.predict(DATA), found.predict(DATA))
    rebuilt = _kestor.Model(list(dnames), list(fnames), again.model().params, 1234, "squared_error")
    np.testing.assert_array_equal(rebuilt.predict(DATA), found.predict(DATA))


@pytest.mark.parametrize("args, message", [
    ((["y", "x"], ["out-lr:1", "in-linear:0"], [{}, {}], "regression"), "root"),
    ((["y", "x"], ["out-linear:1", "in-linear:0"], [{}], "regression"), "parameter dictionary"),
    ((["y", "x"], ["out-linear:1", "in-linear:0"], [{}, {}], "ranking"), "kind"),
    ((["y", ""], ["out-linear:1", "exp:1"], [{}, {}], "regression"), "complete"),
])
def test_found_model_refuses_inconsistent_lists(args, message):
    with pytest.raises(ValueError, match=message):
        FoundModel(*args)


def test_predict_checks_its_data():
    found = FoundModel(["y", "x"], ["out-linear:1", "in-linear:0"], [ROOT, numeric(1.0, 0.0)])
    with pytest.raises(KeyError, match="x"):
        found.predict({"z": np.zeros(3)})
    with pytest.raises(ValueError, match="NaN"):
        found.predict({"x": np.array([0.0, np.nan])})
    # Integer and boolean columns are read as numbers.
    np.testing.assert_array_equal(found.predict({"x": np.array([0, 1])}),
                                  found.predict({"x": np.array([0.0, 1.0])}))


def test_rounded_text_leaves_out_constants_lost_in_rounding():
    fnames, dnames = ["out-linear:1", "gaussian:1", "in-linear:0"], ["y", "", "x"]
    params = [{"scale": 1.0, "scale_offset": 3e-17, "w": 3.0, "bias": 0.0}, {},
              numeric(0.5 ** 0.5, 1e-17, 1.0, 0.0)]
    assert render(dnames, fnames, params).text == "3*exp(-x**2)"
    exact = render(dnames, fnames, params, None).text
    assert "e-17" in exact and exact.startswith("3.0*exp(")
