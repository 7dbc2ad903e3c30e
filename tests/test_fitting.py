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


def test_polish_fits_a_learned_exponent_with_the_weights():
    columns = {"x": DATA["x"]}
    data = training_data(columns, 2.0 * (0.5 * DATA["x"] + 1.5) ** 1.7 + 0.1)
    start = [{"scale": 1.0, "scale_offset": 0.0, "w": 1.5, "bias": 0.0}, {"exponent": 1.3},
             {"scale": 1.0, "scale_offset": 0.0, "w": 0.4, "bias": 1.2}]
    polished = data.params_in_data_units(polish(data, ["y", "", "x"], ["out-linear:1", "pow:1", "in-linear:0"], start))
    assert polished[1]["exponent"] == pytest.approx(1.7, abs=1e-6)


def test_fixed_order_sums_and_solves():
    from vant import _linalg

    rng = np.random.default_rng(2)
    jacobian, weights, residual = rng.normal(size=(700, 6)), rng.random(700), rng.normal(size=700)
    gradient, hessian = _linalg.normal_equations(jacobian, residual, weights)
    assert np.array_equal(hessian, hessian.T)
    np.testing.assert_allclose(hessian, jacobian.T @ (jacobian * weights[:, None]), rtol=1e-12, atol=1e-10)
    np.testing.assert_allclose(gradient, jacobian.T @ residual, rtol=1e-12, atol=1e-12)
    # The order of the rows is the order of the sums: not the number of threads.
    again = _linalg.normal_equations(jacobian, residual, weights)
    assert np.array_equal(again[0], gradient) and np.array_equal(again[1], hessian)
    assert _linalg.normal_equations(np.where(jacobian > 3.0, np.inf, jacobian), residual, weights) is None
    rhs = rng.normal(size=6)
    kept = hessian.copy()
    diagonal = np.diag(hessian)
    floor = 1e-12 * diagonal.max()
    damped = hessian + np.diag(0.5 * np.maximum(diagonal, floor) + floor)
    np.testing.assert_allclose(_linalg.damped_solve(hessian, rhs, 0.5), np.linalg.solve(damped, rhs), rtol=1e-10)
    assert np.array_equal(hessian, kept)   # the caller's matrix is left alone
    assert _linalg.damped_solve(np.full((2, 2), np.nan), np.ones(2), 0.5) is None


@pytest.mark.parametrize("call, message", [
    (lambda L: L.normal_equations(np.ones((3, 2)), np.ones(2), np.ones(3)), "residual must have one entry per row"),
    (lambda L: L.normal_equations(np.ones(3), np.ones(3), np.ones(3)), "jacobian must be a 2-dimensional"),
    (lambda L: L.normal_equations(np.ones((3, 2)), np.ones(3), np.ones(2)), "curvature must have one entry"),
    (lambda L: L.damped_solve(np.ones((3, 3)), np.ones(2), 0.1), "square"),
    (lambda L: L.damped_solve(np.ones((2, 2)), "ab", 0.1), "gradient must be a 1-dimensional"),
])
def test_fixed_order_sums_refuse_bad_shapes(call, message):
    from vant import _linalg

    with pytest.raises(ValueError, match=message):
        call(_linalg)


# Programs that hold every element type the native model can derive, with
# weights that drive some rows of each function into its clamp.
NATIVE_PROGRAMS = [
    (["y", "", "", "x", "z", "", "x"],
     ["out-linear:1", "add:2", "multiply:2", "in-linear:0", "in-linear:0", "exp:1", "in-linear:0"], 4.0),
    (["y", "", "x", "", "", "z"], ["out-lr:1", "gaussian:2", "in-linear:0", "tanh:1", "log:1", "in-linear:0"], 1.0),
    (["y", "", "", "x", "", "", "z"],
     ["out-linear:1", "multiply:2", "sqrt:1", "in-linear:0", "inverse:1", "squared:1", "in-linear:0"], 30.0),
    (["y", "", "", "x"], ["out-linear:1", "linear:1", "gaussian:1", "in-linear:0"], 1.0),
    (["y", "", "", "x", "", "z"], ["out-linear:1", "divide:2", "sin:1", "in-linear:0", "cos:1", "in-linear:0"], 3.0),
    (["y", "", "", "x", "", "", "z", "x"],
     ["out-linear:1", "multiply:2", "abs:1", "in-linear:0", "pow:1", "divide:2", "in-linear:0", "in-linear:0"], 0.04),
]


def native_program_params(fnames, w):
    own = {"out-linear:1": ROOT, "in-linear:0": {**leaf("x")[1], "w": w}, "out-lr:1": {"w": 1.1, "bias": 0.2},
           "linear:1": {"w": 0.8, "bias": 0.4}, "pow:1": {"exponent": 1.7}}
    return [dict(own.get(f, {})) for f in fnames]


def test_native_jacobian_covers_the_native_types():
    covered = {f for _d, fnames, _w in NATIVE_PROGRAMS for f in fnames}
    assert covered == set(CATALOGUE) - {"in-cat:0"}


@pytest.mark.parametrize("dnames, fnames, w", NATIVE_PROGRAMS)
def test_native_jacobian_matches_numpy(dnames, fnames, w):
    params = native_program_params(fnames, w)
    slots = tunable_slots(fnames, params)
    model = new_model(dnames, fnames, params, 0, "squared_error")
    native = model._jacobian(DATA, slots)
    assert native.shape == (60, len(slots))
    # numpy's vectorised exp and tanh may differ from the C library's in the last bit
    np.testing.assert_allclose(native, link_and_jacobian(dnames, fnames, params, DATA, slots, exact=True)[1],
                               rtol=1e-12, atol=1e-12)
    assert model.params == params   # nothing changed


@pytest.mark.parametrize("column", [
    lambda x: np.round(x * 10).astype(np.int64), lambda x: x.astype(np.float32),
    lambda x: np.repeat(x, 2)[::2],   # a strided view
])
def test_native_jacobian_reads_columns_as_predict_does(column):
    # The derivative by a weight re-reads the sample from the column: every
    # column type the model predicts from gives the float64 column's numbers.
    dnames, fnames, w = NATIVE_PROGRAMS[0]
    params = native_program_params(fnames, w)
    model = new_model(dnames, fnames, params, 0, "squared_error")
    slots = tunable_slots(fnames, params)
    typed = {name: column(values) for name, values in DATA.items() if name != "c"}
    as_float = {name: np.asarray(values, dtype=np.float64) for name, values in typed.items()}
    assert np.array_equal(model._jacobian(typed, slots), model._jacobian(as_float, slots))


def test_native_jacobian_declines_types_it_cannot_derive():
    dnames, fnames, params = program_around("in-cat:0")
    model = new_model(dnames, fnames, params, 0, "squared_error")
    assert model._jacobian(DATA, [(0, "w")]) is None


@pytest.mark.parametrize("slots, error, message", [
    ([(1, "bias"), (1, "bias")], ValueError, "listed twice"),
    ([(2, "w")], ValueError, "has no weight or bias w"),
    ([(1, "scale")], ValueError, "has no weight or bias scale"),
    ([(9, "w")], ValueError, "out of range"),
    ([(1, "categories", 0)], TypeError, "slot 0 must be"),
    ("w", TypeError, "slot 0 must be"),
])
def test_native_jacobian_refuses_bad_slots(slots, error, message):
    dnames, fnames, w = NATIVE_PROGRAMS[3]
    model = new_model(dnames, fnames, native_program_params(fnames, w), 0, "squared_error")
    with pytest.raises(error, match=message):
        model._jacobian(DATA, slots)


@pytest.mark.parametrize("evaluate", [lambda model, x: model.predict(x),
                                      lambda model, x: model._jacobian(x, [(0, "w")])])
def test_evaluation_refuses_values_the_model_refuses_and_leaves_the_model_alone(evaluate):
    # Both work on a copy of the model's record: neither a failing call nor
    # a good one changes what the model shows of its last trained sample.
    dnames, fnames, w = NATIVE_PROGRAMS[3]
    model = new_model(dnames, fnames, native_program_params(fnames, w), 0, "squared_error")
    model._fit({name: values[:3] for name, values in DATA.items()}, np.array([0.1, 0.2, 0.3]), None)
    before = [model.activation(i).copy() for i in range(len(fnames))], model.params
    with pytest.raises(ValueError):
        evaluate(model, {"x": np.array([0.0, np.nan])})
    evaluate(model, DATA)
    assert [model.activation(i).tolist() for i in range(len(fnames))] == [a.tolist() for a in before[0]]
    assert model.params == before[1]


@pytest.mark.parametrize("count", range(7))
def test_regressions_of_every_basis_size(count):
    # small bases take a loop compiled for their size, larger ones the general loop
    from vant import _linalg

    rng = np.random.default_rng(count)
    columns, values = rng.normal(size=(count, 300)), rng.normal(size=300)
    design = np.column_stack([np.ones(300), *columns])
    residual = values - design @ np.linalg.lstsq(design, values, rcond=None)[0]
    left = _linalg.unexplained(values, [list(columns), list(columns)])
    np.testing.assert_allclose(left, [np.mean(residual ** 2)] * 2, rtol=1e-12)
    assert left[0] == left[1]


def test_fixed_order_regressions():
    from vant import _linalg

    rng = np.random.default_rng(3)
    columns, values = rng.normal(size=(2, 500)), rng.normal(size=500)
    design = np.column_stack([np.ones(500), *columns])
    residual = values - design @ np.linalg.lstsq(design, values, rcond=None)[0]
    bad = columns[0].copy()
    bad[7] = np.inf
    left = _linalg.unexplained(values, [list(columns), [], [bad], [np.ones(500)]])
    np.testing.assert_allclose(left, [np.mean(residual ** 2)] + [np.var(values)] * 3, rtol=1e-12)
    a, t, weights = columns[0], 3.0 * columns[0] + 0.5 + 0.1 * values, rng.random(500)
    np.testing.assert_allclose(_linalg.line_fit(a, t, weights), np.polyfit(a, t, 1, w=np.sqrt(weights)), rtol=1e-10)
    assert _linalg.line_fit(np.full(500, 2.0), t, None) == (0.0, pytest.approx(np.mean(t)))
    assert _linalg.line_fit(a, t, np.zeros(500)) is None
    assert _linalg.line_fit(np.where(a > 2.0, np.nan, a), t, None) is None
    np.testing.assert_allclose(_linalg.line_fit(a, 2.0 * t + 1.0, None, 1.0, 2.0), _linalg.line_fit(a, t, None),
                               rtol=1e-12)
    with pytest.raises(ValueError, match="one entry per entry of values"):
        _linalg.unexplained(values, [[columns[0][:3]]])
