"""The numerics the search adds to the native training: the Jacobian of
every element type in the catalogue, and the polish."""

import numpy as np
import pytest

from vant._data import prepare
from vant._elements import CATALOGUE, INPUT, OUTPUT, new_model
from vant._evaluate import link_and_jacobian
from vant._fitting import polish, read_slots, tunable_slots, write_slots
from vant._render import render

RNG = np.random.default_rng(5)
DATA = {"x": RNG.uniform(-2.0, 2.0, 60), "z": RNG.uniform(-1.0, 1.0, 60),
        "c": RNG.choice(np.array(["red", "green", "blue"], dtype=object), 60)}
ROOT = {"scale": 1.3, "scale_offset": 0.2, "w": 0.8, "bias": -0.1, "detect_scale": 0}


def leaf(name, positive=False):
    if name == "c":
        return "in-cat:0", {"categories": [("red", 0.4), ("green", -0.3), ("blue", 0.9)], "bias": 1.2}
    return "in-linear:0", {"scale": 1.0, "scale_offset": 0.0, "w": 0.9 if name == "x" else -0.7,
                           "bias": 2.5 if positive else 0.3, "detect_scale": 0}


def program_around(name):
    """A small program that holds one element of type `name`, with operands
    in the range where no clamp acts."""
    element = CATALOGUE[name]
    if element.role == OUTPUT:
        root = ROOT if name == "out-linear:1" else {"w": 1.1, "bias": 0.2}
        (f, p) = leaf("x")
        return ["y", "x"], [name, f], [root, p]
    if element.role == INPUT:
        column = "c" if name == "in-cat:0" else "x"
        return ["y", column], ["out-linear:1", name], [ROOT, leaf(column)[1]]
    own = {"w": 0.8, "bias": 0.4} if "w" in element.param_names else {key: 1.3 for key in element.param_names}
    dnames, fnames, params = ["y", ""], ["out-linear:1", name], [ROOT, own]
    for column in ["x", "c", "z"][:element.arity]:
        f, p = leaf(column, element.positive_operand)
        dnames.append(column)
        fnames.append(f)
        params.append(p)
    return dnames, fnames, params


def predict(dnames, fnames, params):
    loss = "binary_cross_entropy" if fnames[0] == "out-lr:1" else "squared_error"
    return new_model(list(dnames), list(fnames), [dict(p) for p in params], 0, loss).predict(DATA)


@pytest.mark.parametrize("name", list(CATALOGUE))
def test_jacobian_matches_finite_differences_of_the_native_model(name):
    dnames, fnames, params = program_around(name)
    slots = tunable_slots(fnames, params)
    theta = read_slots(params, slots)
    link, jacobian = link_and_jacobian(dnames, fnames, params, DATA, slots, exact=True)
    output = predict(dnames, fnames, params)
    # The root's final function, if any, is outside the Jacobian: chain it in.
    slope = output * (1.0 - output) if fnames[0] == "out-lr:1" else np.ones_like(output)
    h = 1e-4
    for j, slot in enumerate(slots):
        step = np.zeros_like(theta)
        step[j] = h
        up = predict(dnames, fnames, write_slots(params, slots, theta + step))
        down = predict(dnames, fnames, write_slots(params, slots, theta - step))
        numeric = (up - down) / (2 * h)
        # tanh works in single precision, which limits the differences.
        tolerance = 2e-3 if name == "tanh:1" else 1e-6
        np.testing.assert_allclose(slope * jacobian[:, j], numeric, rtol=tolerance, atol=tolerance,
                                   err_msg=f"{name}: {slot}")


def training_data(columns, y):
    return prepare({**columns, "y": y}, "y", "regression", np.random.default_rng(0), None, None, set(), 0.25)


@pytest.mark.parametrize("dnames, fnames, params, y, formula", [
    (["y", "", "x"], ["out-linear:1", "exp:1", "in-linear:0"],
     [{"scale": 1.0, "scale_offset": 0.0, "w": 1.0, "bias": 0.0}, {},
      {"scale": 1.0, "scale_offset": 0.0, "w": -0.3, "bias": 0.2}],
     lambda d: 2.5 * np.exp(-0.8 * d["x"]) + 0.3, "2.5*exp(-0.8*x) + 0.3"),
    (["y", "", "c", "x"], ["out-linear:1", "add:2", "in-cat:0", "in-linear:0"],
     [{"scale": 1.0, "scale_offset": 0.0, "w": 1.0, "bias": 0.0}, {},
      {"categories": [("red", 0.0), ("green", 0.0), ("blue", 0.0)], "bias": 0.0},
      {"scale": 1.0, "scale_offset": 0.0, "w": 1.0, "bias": 0.0}],
     lambda d: np.select([d["c"] == "red", d["c"] == "green"], [1.0, -0.5], 2.0) + 2 * d["x"], "2*x + cat(c)"),
])
def test_polish_recovers_known_constants(dnames, fnames, params, y, formula):
    columns = {"x": DATA["x"], "c": DATA["c"]}
    data = training_data(columns, y(columns))
    polished = data.params_in_data_units(polish(data, dnames, fnames, params))
    rendered = render(dnames, fnames, polished)
    assert rendered.text == formula
    if rendered.tables:
        table = rendered.tables[0]
        assert {k: round(v, 9) for k, v in table.values.items()} == {"red": 1.0, "green": -0.5, "blue": 2.0}


def test_fixed_order_sums_and_solves():
    from vant import _linalg

    rng = np.random.default_rng(2)
    jacobian, weights = rng.normal(size=(700, 6)), rng.random(700)
    gram = _linalg.weighted_gram(jacobian, weights)
    assert np.array_equal(gram, gram.T)
    np.testing.assert_allclose(gram, jacobian.T @ (jacobian * weights[:, None]), rtol=1e-12, atol=1e-10)
    np.testing.assert_allclose(_linalg.transposed_product(jacobian, weights), jacobian.T @ weights, rtol=1e-12)
    system, rhs = gram + np.eye(6), rng.normal(size=6)
    kept = system.copy()
    np.testing.assert_allclose(_linalg.solve(system, rhs), np.linalg.solve(system, rhs), rtol=1e-10)
    assert np.array_equal(system, kept)   # the caller's matrix is left alone
    assert _linalg.solve([[0.0, 1.0], [0.0, 2.0]], [1.0, 1.0]) is None
    assert _linalg.solve([[np.nan]], [1.0]) is None
    # The order of the rows is the order of the sums: not the number of threads.
    assert np.array_equal(_linalg.weighted_gram(jacobian, weights), gram)


@pytest.mark.parametrize("call, message", [
    (lambda L: L.weighted_gram(np.ones((3, 2)), np.ones(2)), "one entry per row"),
    (lambda L: L.transposed_product(np.ones(3), np.ones(3)), "jacobian must be a 2-dimensional"),
    (lambda L: L.solve(np.ones((2, 3)), np.ones(2)), "square"),
    (lambda L: L.solve(np.ones((2, 2)), "ab"), "rhs must be a 1-dimensional"),
])
def test_fixed_order_sums_refuse_bad_shapes(call, message):
    from vant import _linalg

    with pytest.raises(ValueError, match=message):
        call(_linalg)
