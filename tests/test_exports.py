"""FoundModel.sympy() and .latex(): the formula's value is predict's where no
element clamps its operand."""

import math
import sys

import numpy as np
import pytest

import vant
from vant import FoundModel

sympy = pytest.importorskip("sympy")


def fresh(rng, n):
    x, z = rng.uniform(0, 2, n), rng.uniform(-1, 1, n)
    colour = rng.choice(np.array(["red", "green", "blue"]), n)
    return {"x": x, "z": z, "colour": colour,
            "y": np.where(colour == "red", 1.5, -0.5) * x + np.exp(z) + rng.normal(0, 0.01, n)}


@pytest.fixture(scope="module")
def found():
    return vant.search(fresh(np.random.default_rng(3), 400), "y", seed=1, rounds=3, population=8, top=5)


def row(symbols, data, i):
    """Row i of the data as substitutions for the expression's symbols."""
    return {symbol: FoundModel.category(data[name][i]) if name == "colour" else data[name][i]
            for name, symbol in symbols.items()}


def test_sympy_value_is_predict_with_categories_as_piecewise(found):
    data = {k: v[:30] for k, v in fresh(np.random.default_rng(4), 30).items()}
    for model in found:
        expression = model.sympy()
        symbols = {s.name: s for s in expression.free_symbols}
        assert set(symbols) <= {"x", "z", "colour"}
        if "colour" in model.inputs:
            assert expression.has(sympy.Piecewise)
            assert "cases" in model.latex()
        values = [float(expression.subs(row(symbols, data, i))) for i in range(30)]
        # tanh works in single precision in the model, in double in sympy
        np.testing.assert_allclose(values, model.predict(data), rtol=1e-6, atol=1e-9)


def test_numeric_formula_lambdifies(found):
    rng = np.random.default_rng(5)
    x = rng.uniform(-1, 1, 200)
    model = vant.search({"x": x, "y": 2 * np.sin(3 * x) + x ** 2}, "y", seed=2, rounds=2, population=8)[0]
    function = sympy.lambdify([sympy.Symbol("x")], model.sympy(), "math")
    np.testing.assert_allclose([function(v) for v in x], model.predict({"x": x}), rtol=1e-6, atol=1e-9)


@pytest.mark.parametrize("key, same, other", [
    ("red", "red", "blue"), (7, 7.0, 8), ((1, "a"), (1, "a"), (1, "b")), (None, None, "None "), (True, 1, 2),
    ("7", "7", 7),
])
def test_category_keys_compare_in_conditions(key, same, other):
    colour = sympy.Symbol("colour")
    lookup = sympy.Piecewise((1.0, sympy.Eq(colour, FoundModel.category(key))), (0.0, True))
    assert lookup.subs(colour, FoundModel.category(same)) == 1.0
    assert lookup.subs(colour, FoundModel.category(other)) == 0.0


def test_without_sympy_the_error_says_what_to_install(found, monkeypatch):
    monkeypatch.setitem(sys.modules, "sympy", None)
    with pytest.raises(ImportError, match=r"vant\[sympy\]"):
        found[0].sympy()


def test_latex_rounds_as_the_text_does():
    root = {"w": 1.0, "bias": 0.0, "scale": 1.0, "scale_offset": 0.0, "detect_scale": 0}
    leaf = {"w": 2.0000001, "bias": 1e-20, "scale": 1.0, "scale_offset": 0.0, "detect_scale": 0}
    model = FoundModel.from_params(["y", "x"], ["out-linear:1", "in-linear:0"], [root, leaf])
    assert model.expression == "2*x" and model.latex() == "2 x"
    assert model.sympy().free_symbols == {sympy.Symbol("x")} and "e-20" in str(model.sympy())


def _register(w, bias=0.0):
    return {"scale": 1.0, "scale_offset": 0.0, "w": w, "bias": bias, "detect_scale": 0}


@pytest.mark.parametrize("fnames, params, text", [
    # a power element, and the power that exp(w*log(u) + c) is
    (["out-linear:1", "pow:1", "in-linear:0"], [_register(2.0), {"exponent": 1.5}, _register(1.0, 1.0)],
     "2*(x + 1)**1.5"),
    (["out-linear:1", "exp:1", "linear:1", "log:1", "in-linear:0"],
     [_register(1.0), {}, {"w": 1.5, "bias": math.log(2.0)}, {}, _register(0.5)], "0.7071*x**1.5"),
])
def test_powers_export_as_powers(fnames, params, text):
    model = FoundModel(["y"] + [""] * (len(fnames) - 2) + ["x"], fnames, params)
    x = np.linspace(0.5, 3.0, 6)
    assert model.expression == text
    values = sympy.lambdify(sympy.Symbol("x"), model.sympy())(x)
    np.testing.assert_allclose(values, model.predict({"x": x}), rtol=1e-12)
    assert model.latex().count("^") == 1
