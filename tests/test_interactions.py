"""Interactions: add, multiply, gaussian, the clamped unary functions, linear.

Two levels:
- the element operations called directly through the registry (ctypes), on a
  real model whose operand activations and gradients are set by hand, which
  shows every value and every gradient contribution to the last bit;
- whole models trained through ``_fit`` and read back through ``activation``,
  ``params`` and ``predict``, checked against a Python rendering of the
  update rule.
"""

import ctypes
import ctypes.util
import math

import numpy as np
import pytest

import _kestor
from _native import InteractionType, ModelRecord, address, load_library
from _reference import adam_step, rate_factor

NAN = math.nan
INF = math.inf

LIB = load_library()

LIBM = ctypes.CDLL(ctypes.util.find_library("m"))
LIBM.tanhf.restype = ctypes.c_float
LIBM.tanhf.argtypes = [ctypes.c_float]


def descriptor(name):
    found = LIB.kestor_find_interactiontype(name.encode())
    assert found, name
    return found.contents


def same(a, b):
    """Bit-for-bit equality of results, treating every NaN alike."""
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)


def float32(x):
    return float(np.float32(x))


# ---------------------------------------------------------------------------
# Python rendering of the registers around an element.

LR = 0.001 * 2.0  # base rate times the rate factor of a model with fewer than 10000 samples


def root(w=1.0):
    return {"scale": 1.0, "scale_offset": 0.0, "w": w, "bias": 0.0, "detect_scale": 0}


def fixed_input(bias):
    # With w = 0 and the raw value -0.0 the activation is exactly `bias`
    # (-0.0 * 0.0 + bias keeps even a negative zero).
    return {"scale": 1.0, "scale_offset": 0.0, "w": 0.0, "bias": bias, "detect_scale": 0}


COLUMN = np.array([-0.0])


class Direct:
    """A built model whose element operations are driven by hand."""

    def __init__(self, type_name):
        arity = int(type_name[-1])
        leaves = ["in-linear:0"] * arity
        self.model = _kestor.Model(
            ["y", ""] + ["x"] * arity,
            ["out-linear:1", type_name] + leaves,
            [root(), {}] + [fixed_input(0.0)] * arity,
            0,
            "squared_error",
        )
        self.record = ModelRecord.from_address(id(self.model))
        assert self.record.count == 2 + arity  # layout guard
        self.type = self.record.type[1].contents
        assert self.type.name == type_name.encode()
        self.operands = [2, 3][:arity]

    def run(self, operands, g, preset=0.25, n=1):
        """Forward then reverse of element 1; returns (value, contributions)."""
        r = self.record
        for i, x in zip(self.operands, operands):
            r.activation[i] = x
            r.gradient[i] = preset
        r.gradient[1] = g
        assert self.type.forward(id(self.model), 1, n) == 0
        assert self.type.reverse(id(self.model), 1, n) == 0
        return r.activation[1], [r.gradient[i] for i in self.operands]


# ---------------------------------------------------------------------------
# Element operations, value and reverse contribution to the last bit.

below = lambda x: math.nextafter(x, -INF)  # noqa: E731
above = lambda x: math.nextafter(x, INF)  # noqa: E731

E6 = 403.4287934927351
LOG_MIN = -9.210340371976182

# (type, operand, incoming gradient, value, contribution to the operand)
UNARY = [
    ("exp:1", 7.0, 1.0, E6, E6),
    ("exp:1", above(6.0), 2.0, E6, 2.0 * E6),
    ("exp:1", 6.0, 1.0, E6, E6),
    ("exp:1", 0.0, 2.0, 1.0, 2.0),
    ("exp:1", -1.0, 3.0, math.exp(-1.0), 3.0 * math.exp(-1.0)),
    ("exp:1", INF, 1.0, E6, E6),
    ("exp:1", -INF, 1.0, 0.0, 0.0),
    ("log:1", 0.0, 1.0, LOG_MIN, 10000.0),
    ("log:1", -5.0, 1.0, LOG_MIN, 10000.0),
    ("log:1", below(0.0001), 2.0, LOG_MIN, 2.0 / 0.0001),
    ("log:1", 0.0001, 1.0, LOG_MIN, 1.0 / 0.0001),
    ("log:1", 1.0, 1.0, 0.0, 1.0),
    ("log:1", 3.0, -2.0, math.log(3.0), -2.0 / 3.0),
    ("log:1", -INF, 1.0, LOG_MIN, 10000.0),
    ("log:1", INF, 1.0, INF, 0.0),
    ("inverse:1", 0.01, 1.0, 20.0, -10.0),
    ("inverse:1", 0.01, 0.0, 20.0, -10.0),
    ("inverse:1", 0.01, -7.0, 20.0, -10.0),
    ("inverse:1", -0.01, 5.0, -20.0, 10.0),
    ("inverse:1", 0.0, 0.0, 20.0, -10.0),
    ("inverse:1", -0.0, 0.0, -20.0, 10.0),
    ("inverse:1", below(0.05), 1.0, 20.0, -10.0),
    ("inverse:1", 0.05, 1.0, 20.0, -399.99999999999994),
    ("inverse:1", -0.05, 1.0, -20.0, -399.99999999999994),
    ("inverse:1", 2.0, 1.0, 0.5, -0.25),
    ("inverse:1", -4.0, 2.0, -0.25, -0.125),
    ("inverse:1", INF, 1.0, 0.0, -0.0),
    ("inverse:1", -INF, 1.0, -0.0, -0.0),
    ("sqrt:1", 0.0, 1.0, 0.1, 5.0),
    ("sqrt:1", 0.01, 1.0, 0.1, 5.0),
    ("sqrt:1", -4.0, 1.0, 0.1, 5.0),
    ("sqrt:1", above(0.01), 1.0, math.sqrt(above(0.01)), 1.0 / (2 * math.sqrt(above(0.01)))),
    ("sqrt:1", 4.0, 1.0, 2.0, 0.25),
    ("sqrt:1", -INF, 1.0, 0.1, 5.0),
    ("sqrt:1", INF, 1.0, INF, 0.0),
    ("squared:1", 21.0, 1.0, 400.0, 42.0),
    ("squared:1", above(20.0), 1.0, 400.0, 2 * above(20.0)),
    ("squared:1", 20.0, 1.0, 400.0, 40.0),
    ("squared:1", -20.0, 1.0, 400.0, -40.0),
    ("squared:1", -3.0, 1.0, 9.0, -6.0),
    ("squared:1", -1e6, 0.5, 400.0, -1e6),
    ("squared:1", INF, 1.0, 400.0, INF),
    ("tanh:1", 0.5, 1.0, 0.46211716532707214, 0.7864477255100715),
    ("tanh:1", 0.5 + 1e-12, 1.0, 0.46211716532707214, 0.7864477255100715),
    ("tanh:1", INF, 1.0, 1.0, 0.0),
    ("tanh:1", -INF, 2.0, -1.0, 0.0),
    ("gaussian:1", 0.0, 1.0, 1.0, 0.0),
    ("gaussian:1", 1.0, 1.0, 0.1353352832366127, -0.5413411329464508),
    ("gaussian:1", -1.0, 1.0, 0.1353352832366127, 0.5413411329464508),
    ("gaussian:1", 0.5, 1.0, 0.6065306597126334, -4 * 0.6065306597126334 * 0.5),
    ("gaussian:1", 30.0, 1.0, 0.0, 0.0),
]
UNARY += [(name, NAN, 1.0, NAN, NAN) for name in
          ["exp:1", "log:1", "inverse:1", "sqrt:1", "squared:1", "tanh:1", "gaussian:1"]]


@pytest.mark.parametrize("name,x,g,value,contribution", UNARY)
@pytest.mark.parametrize("preset", [0.0, 0.25])
def test_unary_value_and_contribution(name, x, g, value, contribution, preset):
    got_value, [got_gradient] = Direct(name).run([x], g, preset=preset)
    assert same(got_value, value)
    assert same(got_gradient, preset + contribution)


@pytest.mark.parametrize("x", [0.1, -3.0, 1e-3, 20.0, 1.0 / 3.0, 1e-30])
def test_tanh_is_single_precision(x):
    value, [gradient] = Direct("tanh:1").run([x], 1.0, preset=0.0)
    expected = float(LIBM.tanhf(x))
    assert value == expected == float32(value)
    assert gradient == (1.0 - expected * expected) * 1.0


# (type, operands, incoming gradient, value, contributions)
BINARY = [
    ("add:2", (2.5, -1.0), 3.0, 1.5, (3.0, 3.0)),
    ("add:2", (INF, -INF), 1.0, NAN, (1.0, 1.0)),
    ("multiply:2", (2.0, 5.0), 1.0, 10.0, (5.0, 2.0)),
    ("multiply:2", (0.0, 4.0), 1.0, 0.0, (4.0, 0.0)),
    ("multiply:2", (3.0, -0.5), -2.0, -1.5, (1.0, -6.0)),
    ("multiply:2", (NAN, 1.0), 1.0, NAN, (1.0, NAN)),
    ("gaussian:2", (1.0, 1.0), 1.0, 0.01831563888873418, (-4 * 0.01831563888873418, -4 * 0.01831563888873418)),
    ("gaussian:2", (0.0, 1.0), 1.0, 0.1353352832366127, (0.0, -0.5413411329464508)),
    ("gaussian:2", (0.5, 0.0), 2.0, 0.6065306597126334, (-8 * 0.6065306597126334 * 0.5, 0.0)),
    ("gaussian:2", (30.0, 0.0), 1.0, 0.0, (0.0, 0.0)),
    ("gaussian:2", (0.0, NAN), 1.0, NAN, (NAN, NAN)),
]


@pytest.mark.parametrize("name,operands,g,value,contributions", BINARY)
@pytest.mark.parametrize("preset", [0.0, 0.25])
def test_binary_value_and_contributions(name, operands, g, value, contributions, preset):
    got_value, got_gradients = Direct(name).run(list(operands), g, preset=preset)
    assert same(got_value, value)
    for got, c in zip(got_gradients, contributions):
        assert same(got, preset + c)


DOUBLE_PUSH = -2 * math.exp(-1.0)  # gaussian:2 at x = y = 0.5, g = 1: u = 0.5 * c, doubled


@pytest.mark.parametrize(
    "name,x,g,expected",
    [
        ("add:2", 1.5, 2.0, (0.25 + 2.0) + 2.0),
        ("multiply:2", 3.0, 2.0, (0.25 + 2.0 * 3.0) + 3.0 * 2.0),
        ("gaussian:2", 0.5, 1.0, (0.25 + DOUBLE_PUSH) + DOUBLE_PUSH),
    ],
)
def test_binary_with_both_operands_in_one_slot_accumulates_both(name, x, g, expected):
    element = Direct(name)
    element.record.second_operand[1] = 2  # the first operand used twice
    value, [first, _] = element.run([x, 99.0], g)
    assert first == expected
    assert value == {"add:2": x + x, "multiply:2": x * x, "gaussian:2": math.exp(-4 * x * x)}[name]


ALL_TYPES = ["add:2", "multiply:2", "gaussian:1", "gaussian:2", "exp:1", "log:1",
             "inverse:1", "sqrt:1", "squared:1", "tanh:1"]


@pytest.mark.parametrize("name", ALL_TYPES)
@pytest.mark.parametrize("n", [0, -1])
def test_no_samples_changes_nothing(name, n):
    element = Direct(name)
    element.record.activation[1] = 123.0
    # inverse's clamp push ignores g: an operand inside it shows a stray push.
    value, gradients = element.run([0.01] * len(element.operands), 1.0, preset=0.25, n=n)
    assert value == 123.0
    assert gradients == [0.25] * len(element.operands)


@pytest.mark.parametrize("name", ALL_TYPES)
def test_more_than_one_sample_acts_as_one(name):
    operands = [0.75, -0.5][: int(name[-1])]
    assert Direct(name).run(operands, 1.5, n=2) == Direct(name).run(operands, 1.5, n=1)


def test_gaussian_descriptors_are_exported_and_share_operations():
    g1 = InteractionType.in_dll(LIB, "g1")
    g2 = InteractionType.in_dll(LIB, "g2")
    assert ctypes.addressof(g1) == ctypes.addressof(descriptor("gaussian:1"))
    assert ctypes.addressof(g2) == ctypes.addressof(descriptor("gaussian:2"))
    assert (g1.name, g1.arity, g2.name, g2.arity) == (b"gaussian:1", 1, b"gaussian:2", 2)
    assert address(g1.forward) == address(g2.forward)
    assert address(g1.reverse) == address(g2.reverse)


def test_gaussian1_ignores_the_second_operand_slot():
    element = Direct("gaussian:1")
    r = element.record
    r.second_operand[1] = 3
    r.activation[3], r.gradient[3] = 5.0, 0.5
    value, _ = element.run([1.0], 1.0)
    assert value == 0.1353352832366127
    assert (r.activation[3], r.gradient[3]) == (5.0, 0.5)


# ---------------------------------------------------------------------------
# Whole models: the element between an out-linear root and fixed input
# registers, trained one sample.  The root (w = W, absolute error against a far
# lower target) sends exactly W to the element; each input register's bias
# then takes one update step from the element's contribution.  One step of the
# update rule nearly normalises its gradient, so these checks see mostly the
# sign, zero and NaN of a contribution; the exact values are checked above.

FAR_BELOW = np.array([-1e300])


def trained(name, xs, w_root=1.0):
    arity = int(name[-1])
    model = _kestor.Model(
        ["y", ""] + [f"x{k}" for k in range(arity)],
        ["out-linear:1", name] + ["in-linear:0"] * arity,
        [root(w_root), {}] + [fixed_input(x) for x in xs],
        0,
        "absolute_error",
    )
    columns = {f"x{k}": COLUMN for k in range(arity)}
    predicted = model.predict(columns)
    _, params = model._fit(columns, FAR_BELOW)
    return model, params, predicted


def expected_bias(x, contribution):
    return adam_step(x, 0.0, 0.0, 0.0 + contribution, LR, 1)[0]


@pytest.mark.parametrize(
    "name,x,w_root,value,contribution",
    [
        ("exp:1", 7.0, 1.0, E6, E6),
        ("exp:1", 7.0, 0.0, E6, 0.0),
        ("log:1", 0.0, 1.0, LOG_MIN, 10000.0),
        ("inverse:1", -0.0, 0.0, -20.0, 10.0),
        ("inverse:1", 0.0, 0.0, 20.0, -10.0),
        ("sqrt:1", 0.01, 3.0, 0.1, 15.0),
        ("squared:1", -21.0, 1.0, 400.0, -42.0),
        ("tanh:1", 0.5, 1.0, 0.46211716532707214, 0.7864477255100715),
        ("exp:1", NAN, 1.0, NAN, NAN),
        ("inverse:1", NAN, 0.0, NAN, NAN),
    ],
)
def test_unary_in_a_trained_model(name, x, w_root, value, contribution):
    model, params, predicted = trained(name, [x], w_root)
    assert same(model.activation(1)[0], value)
    assert same(model.activation(0)[0], (value * w_root + 0.0) * 1.0 + 0.0)
    assert same(predicted[0], model.activation(0)[0])
    assert same(params[2]["bias"], expected_bias(x, contribution))
    assert params[1] == {}


@pytest.mark.parametrize(
    "name,xs,value,contributions",
    [
        ("add:2", (2.5, -1.0), 1.5, (2.0, 2.0)),
        ("multiply:2", (2.0, 5.0), 10.0, (10.0, 4.0)),
        ("gaussian:2", (0.0, 1.0), 0.1353352832366127, (0.0, -2 * 0.5413411329464508)),
    ],
)
def test_binary_in_a_trained_model(name, xs, value, contributions):
    model, params, predicted = trained(name, list(xs), w_root=2.0)
    assert model.activation(1)[0] == value
    assert predicted[0] == model.activation(0)[0] == value * 2.0
    for k, (x, c) in enumerate(zip(xs, contributions)):
        assert params[2 + k]["bias"] == expected_bias(x, c)


def test_binary_second_operand_is_the_right_subtree():
    # multiply(exp(x0), x1): the second operand is element 4, after exp's subtree.
    model = _kestor.Model(
        ["y", "", "", "x0", "x1"],
        ["out-linear:1", "multiply:2", "exp:1", "in-linear:0", "in-linear:0"],
        [root(), {}, {}, fixed_input(0.0), fixed_input(3.0)],
        0,
        "absolute_error",
    )
    _, params = model._fit({"x0": COLUMN, "x1": COLUMN}, FAR_BELOW)
    assert [model.activation(i)[0] for i in (1, 2, 3, 4)] == [3.0, 1.0, 0.0, 3.0]
    assert params[3]["bias"] == expected_bias(0.0, 3.0 * 1.0)  # through exp: g·a
    assert params[4]["bias"] == expected_bias(3.0, 1.0)


# ---------------------------------------------------------------------------
# linear:1


def linear_chain(lin, inp, out_w=0.5, out_bias=0.1):
    return _kestor.Model(
        ["y", "", "x"],
        ["out-linear:1", "linear:1", "in-linear:0"],
        [
            {"scale": 1.0, "scale_offset": 0.0, "w": out_w, "bias": out_bias, "detect_scale": 0},
            lin,
            {"scale": inp[0], "scale_offset": inp[1], "w": inp[2], "bias": inp[3], "detect_scale": 0},
        ],
        0,
        "squared_error",
    )


class LinearChainReference:
    """out-linear(linear(in-linear(x))) trained with squared error."""

    def __init__(self, lin_w, lin_bias, inp, out_w=0.5, out_bias=0.1):
        self.out = [out_w, 0.0, 0.0, out_bias, 0.0, 0.0]
        self.lin = [lin_w, 0.0, 0.0, lin_bias, 0.0, 0.0]
        self.scale, self.offset = inp[0], inp[1]
        self.inp = [inp[2], 0.0, 0.0, inp[3], 0.0, 0.0]
        self.sample_count = 0

    @staticmethod
    def step(params, g_w, g_bias, lr, t):
        params[0:3] = adam_step(*params[0:3], g_w, lr, t)
        params[3:6] = adam_step(*params[3:6], g_bias, lr, t)

    def fit(self, xs, ys):
        rate = rate_factor(self.sample_count)
        self.sample_count += len(xs)
        t = self.sample_count
        for x, y in zip(xs, ys):
            a2 = ((x - self.offset) * self.scale) * self.inp[0] + self.inp[3]
            a1 = a2 * self.lin[0] + self.lin[3]
            p = ((a1 * self.out[0]) + self.out[3]) * 1.0 + 0.0
            g0 = ((p - y) + (p - y)) / 1.0
            g1 = self.out[0] * g0 + 0.0
            self.step(self.out, a1 * g0, g0, 0.003 * rate, t)
            g2 = 0.0 + g1 * self.lin[0]
            self.step(self.lin, a2 * g1, g1, 0.001 * rate, t)
            self.step(self.inp, (x * self.scale) * g2, g2, 0.001 * rate, t)
        return a1

    def params(self):
        return {"w": self.lin[0], "bias": self.lin[3]}


def test_linear_forward_and_predict():
    model = linear_chain({"w": 1.5, "bias": -0.25}, (1.0, 0.0, 1.0, 0.0))
    x = np.array([2.0, -4.0])
    expected = [((v * 1.5 - 0.25) * 0.5 + 0.1) for v in x]
    assert list(model.predict({"x": x})) == expected


def test_linear_learns_with_the_update_rule():
    inp = (0.5, 1.0, 0.8, -0.2)
    model = linear_chain({"w": 0.3, "bias": 0.05}, inp)
    reference = LinearChainReference(0.3, 0.05, inp)
    rng = np.random.default_rng(7)
    for _ in range(3):
        xs = rng.normal(size=4)
        ys = 2.0 * xs + 1.0
        _, params = model._fit({"x": xs}, ys)
        a1 = reference.fit(xs, ys)
        assert params[1] == reference.params()
        assert model.activation(1)[0] == a1


def test_new_linear_passes_zero_gradient_but_learns_its_weight():
    inp = (1.0, 0.0, 1.0, 0.5)  # operand activation 2.5 for x = 2
    model = linear_chain({}, inp)
    xs, ys = np.array([2.0]), np.array([3.0])
    _, params = model._fit({"x": xs}, ys)
    assert model.activation(1)[0] == 0.0
    # Only the root and the linear element moved: the input register saw g = 0.
    assert (params[2]["w"], params[2]["bias"]) == (1.0, 0.5)
    g1 = 0.5 * (((0.0 * 0.5 + 0.1) - 3.0) * 2)
    assert params[1]["w"] == adam_step(0.0, 0.0, 0.0, 2.5 * g1, LR, 1)[0]
    assert params[1]["bias"] == adam_step(0.0, 0.0, 0.0, g1, LR, 1)[0]


def test_linear_reverse_without_samples_still_steps():
    inp = (1.0, 0.0, 1.0, 0.0)
    model = linear_chain({"w": 0.3, "bias": 0.05}, inp)
    reference = LinearChainReference(0.3, 0.05, inp)
    xs, ys = np.array([1.5]), np.array([0.0])
    model._fit({"x": xs}, ys)
    reference.fit(xs, ys)
    record = ModelRecord.from_address(id(model))
    record.gradient[1], record.gradient[2] = 7.0, 0.25
    assert descriptor("linear:1").reverse(id(model), 1, 0) == 0
    assert record.gradient[2] == 0.25
    lin = reference.lin
    reference.step(lin, 0.0, 0.0, LR, 1)
    assert model.params[1] == reference.params()
    assert model.params[1]["w"] != 0.3


@pytest.mark.parametrize(
    "given,expected",
    [
        ({"w": True, "bias": 2}, {"w": 1.0, "bias": 2.0}),
        ({"bias": np.float32(0.5)}, {"w": 0.0, "bias": 0.5}),
        ({"w": 1.0, "W": 5.0, "bias ": 5.0}, {"w": 1.0, "bias": 0.0}),
        ({}, {"w": 0.0, "bias": 0.0}),
    ],
)
def test_linear_parameters(given, expected):
    params = linear_chain(given, (1.0, 0.0, 1.0, 0.0)).params[1]
    assert params == expected
    assert list(params) == ["w", "bias"]
    assert all(type(v) is float for v in params.values())


@pytest.mark.parametrize("value", ["1.0", None, [1.0], 1e400j])
def test_linear_rejects_non_numbers(value):
    with pytest.raises(RuntimeError, match=r"^Internal error setting attribute for linear:1$"):
        linear_chain({"w": value}, (1.0, 0.0, 1.0, 0.0))
