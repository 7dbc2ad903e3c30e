"""The element types of vant._operators: sin, cos, divide, pow and abs.

Each operation is driven directly through the registry on a real model (as in
test_interactions) and compared bit for bit with a Python rendering that
calls the same C library functions through ctypes; the reverse pass is also
compared with finite differences of the forward.
"""

import ctypes
import ctypes.util
import math
import shutil
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _kestor
import vant._operators as operators  # registers the types
from _native import ModelRecord, load_library
from _reference import adam_step
from test_registry import HEAD_TO_TAIL, TESTS_DIR

NAN, INF, DBL_MAX = math.nan, math.inf, sys.float_info.max
LIB = load_library()

LIBM = ctypes.CDLL(ctypes.util.find_library("m"))
for _f in ("sin", "cos", "log"):
    getattr(LIBM, _f).argtypes, getattr(LIBM, _f).restype = [ctypes.c_double], ctypes.c_double
LIBM.pow.argtypes, LIBM.pow.restype = [ctypes.c_double, ctypes.c_double], ctypes.c_double

below = lambda x: math.nextafter(x, -INF)  # noqa: E731
above = lambda x: math.nextafter(x, INF)  # noqa: E731


def same(a, b):
    """Bit-for-bit equality, treating every NaN alike."""
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)


# ---------------------------------------------------------------------------
# Python rendering: value(operands, exponent) and
# reverse(operands, exponent, value, g) -> (operand contributions, exponent gradient).

def held_divisor(y):
    return math.copysign(0.05, y) if abs(y) < 0.05 else y


def held_base(x):
    return 0.01 if x < 0.01 else x


def divide_value(x, y):
    q = x / held_divisor(y)
    return math.copysign(DBL_MAX, q) if abs(q) > DBL_MAX else q


def pow_value(x, e):
    b = held_base(x)
    return b if math.isnan(b) else min(LIBM.pow(b, e), 1e6)


def pow_reverse(x, e, a, g):
    b = held_base(x)
    return [g * ((e * a) / b)], (a * LIBM.log(b)) * g


def abs_contribution(x, g):
    return g if x > 0.0 else (-g if x < 0.0 else 0.0 * x)


REFERENCE = {
    "sin:1": (lambda o, e: LIBM.sin(o[0]), lambda o, e, a, g: ([g * LIBM.cos(o[0])], None)),
    "cos:1": (lambda o, e: LIBM.cos(o[0]), lambda o, e, a, g: ([(-g) * LIBM.sin(o[0])], None)),
    "abs:1": (lambda o, e: abs(o[0]), lambda o, e, a, g: ([abs_contribution(o[0], g)], None)),
    "divide:2": (
        lambda o, e: divide_value(*o),
        lambda o, e, a, g: ([g / held_divisor(o[1]), (-(g / held_divisor(o[1]))) * a], None),
    ),
    "pow:1": (lambda o, e: pow_value(o[0], e), lambda o, e, a, g: pow_reverse(o[0], e, a, g)),
}


class Direct:
    """Element 1 of out-linear(element(inputs...)), driven by hand."""

    def __init__(self, type_name, exponent=None):
        arity = int(type_name[-1])
        params = {} if exponent is None else {"exponent": exponent}
        self.model = _kestor.Model(
            ["y", ""] + ["x"] * arity,
            ["out-linear:1", type_name] + ["in-linear:0"] * arity,
            [{}, params] + [{}] * arity,
            0,
            "squared_error",
        )
        self.record = ModelRecord.from_address(id(self.model))
        self.type = self.record.type[1].contents
        self.operands = [2, 3][:arity]

    def value(self, operands):
        for i, x in zip(self.operands, operands):
            self.record.activation[i] = x
        assert self.type.forward(id(self.model), 1, 1) == 0
        return self.record.activation[1]

    def run(self, operands, g, preset=0.25):
        """Forward then reverse; returns (value, operand gradients, exponent moments)."""
        value = self.value(operands)
        for i in self.operands:
            self.record.gradient[i] = preset
        self.record.gradient[1] = g
        assert self.type.reverse(id(self.model), 1, 1) == 0
        moments = None
        if self.record.state[1]:  # pow:1's record: exponent, its first and second moment
            moments = tuple((ctypes.c_double * 3).from_address(self.record.state[1])[1:])
        return value, [self.record.gradient[i] for i in self.operands], moments


# (type, operands, exponent, incoming gradient): the clamps, both sides of
# each threshold, signed zeros, extremes and non-finite operands.
CASES = [
    *[("sin:1", [x], None, 1.5) for x in (0.0, -0.0, 1.0, -2.5, 1e6, 1e300, INF, NAN)],
    *[("cos:1", [x], None, -2.0) for x in (0.0, -0.0, 1.0, -2.5, 1e6, 1e300, -INF, NAN)],
    *[("abs:1", [x], None, 3.0) for x in (2.0, -3.5, 0.0, -0.0, DBL_MAX, -INF, NAN)],
    *[("divide:2", [x, y], None, 2.0) for x, y in [
        (1.0, 2.0), (-3.0, 0.25), (3.0, 0.05), (3.0, -0.05), (3.0, below(0.05)), (3.0, 0.01), (3.0, -0.01),
        (3.0, 0.0), (3.0, -0.0), (0.0, 0.0), (DBL_MAX, 0.01), (-DBL_MAX, 0.5), (1.0, INF), (NAN, 1.0), (1.0, NAN),
    ]],
    *[("pow:1", [x], e, 0.5) for x, e in [
        (2.0, 1.5), (4.0, 0.5), (3.0, -2.0), (2.0, 0.0), (0.01, 1.5), (above(0.01), 1.5), (below(0.01), 1.5),
        (0.0, 2.0), (-3.0, 2.0), (-3.0, -2.0), (0.001, -3.0), (10.0, 6.0), (10.0, 7.0), (1e300, 2.0),
        (0.5, 2000.0), (NAN, 0.0), (INF, 1.0),
    ]],
]


@pytest.mark.parametrize("name,operands,exponent,g", CASES)
def test_value_and_reverse_match_the_formula(name, operands, exponent, g):
    value_of, reverse_of = REFERENCE[name]
    value, gradients, moments = Direct(name, exponent).run(operands, g)
    assert same(value, value_of(operands, exponent))
    contributions, g_exponent = reverse_of(operands, exponent, value, g)
    for got, c in zip(gradients, contributions):
        assert same(got, 0.25 + c)
    if g_exponent is not None:  # the moments after the first update-rule step
        expected = adam_step(exponent, 0.0, 0.0, g_exponent, 1.0, 1)[1:]
        assert all(map(same, moments, expected))


# The promised clamp values themselves, independent of the rendering above.
@pytest.mark.parametrize(
    "name,operands,exponent,value",
    [
        ("divide:2", [3.0, 0.01], None, 60.0),
        ("divide:2", [3.0, -0.0], None, -60.0),
        ("divide:2", [3.0, 0.05], None, 60.0),
        ("divide:2", [DBL_MAX, 0.01], None, DBL_MAX),
        ("pow:1", [-3.0], 2.0, 0.0001),
        ("pow:1", [0.0], -1.0, 100.0),
        ("pow:1", [10.0], 7.0, 1e6),
        ("pow:1", [4.0], 0.5, 2.0),
        ("abs:1", [-0.0], None, 0.0),
        ("sin:1", [INF], None, NAN),
    ],
)
def test_clamp_values(name, operands, exponent, value):
    assert same(Direct(name, exponent).value(operands), value)


finite = st.floats(allow_nan=False, allow_infinity=False)


@settings(max_examples=200, deadline=None)
@given(name=st.sampled_from(sorted(REFERENCE)), x=finite, y=finite, exponent=st.floats(-60.0, 60.0))
def test_finite_operands_give_finite_values(name, x, y, exponent):
    assert math.isfinite(Direct(name, exponent if name == "pow:1" else None).value([x, y]))


# Smooth points away from every clamp: the reverse is the derivative.
@pytest.mark.parametrize(
    "name,operands,exponent",
    [("sin:1", [0.7], None), ("cos:1", [-1.9], None), ("abs:1", [-0.6], None), ("abs:1", [2.5], None),
     ("divide:2", [1.3, -0.4], None), ("divide:2", [-2.0, 3.5], None), ("pow:1", [1.7], 1.5),
     ("pow:1", [0.3], -2.0)],
)
def test_reverse_matches_finite_differences(name, operands, exponent):
    h = 1e-6
    _, gradients, moments = Direct(name, exponent).run(operands, 1.0, preset=0.0)
    for k, got in enumerate(gradients):
        up, down = list(operands), list(operands)
        up[k] += h
        down[k] -= h
        slope = (Direct(name, exponent).value(up) - Direct(name, exponent).value(down)) / (2 * h)
        assert got == pytest.approx(slope, rel=1e-6)
    if exponent is not None:
        slope = (Direct(name, exponent + h).value(operands) - Direct(name, exponent - h).value(operands)) / (2 * h)
        assert moments[0] / 0.09999999999999998 == pytest.approx(slope, rel=1e-6)


# ---------------------------------------------------------------------------
# Whole models.

IDENTITY = {"scale": 1.0, "scale_offset": 0.0, "w": 1.0, "bias": 0.0, "detect_scale": 0}


@pytest.mark.parametrize("name", sorted(REFERENCE))
def test_prediction_matches_the_formula(name):
    arity = int(name[-1])
    points = [case[1] for case in CASES if case[0] == name and all(map(math.isfinite, case[1]))]
    exponent = 1.5 if name == "pow:1" else None
    model = _kestor.Model(
        ["y", ""] + [f"x{k}" for k in range(arity)],
        ["out-linear:1", name] + ["in-linear:0"] * arity,
        [IDENTITY, {} if exponent is None else {"exponent": exponent}] + [IDENTITY] * arity,
        0,
        "squared_error",
    )
    columns = {f"x{k}": np.array([p[k] for p in points]) for k in range(arity)}
    predicted = model.predict(columns)
    value_of = REFERENCE[name][0]
    for got, operands in zip(predicted, points):
        inputs = [((x - 0.0) * 1.0) * 1.0 + 0.0 for x in operands]
        assert same(got, (value_of(inputs, exponent) * 1.0 + 0.0) * 1.0 + 0.0)


def test_learned_exponent_follows_the_update_rule():
    # out-linear(w = W) sends exactly W down when the target lies far below.
    w_root, x, exponent = 1e-7, 2.0, 1.5  # a tiny gradient, so one step shows its size
    model = _kestor.Model(
        ["y", "", "x"], ["out-linear:1", "pow:1", "in-linear:0"],
        [dict(IDENTITY, w=w_root), {"exponent": exponent}, dict(IDENTITY, w=0.0, bias=x)], 0, "absolute_error",
    )
    _, params = model._fit({"x": np.array([0.0])}, np.array([-1e300]))
    a = LIBM.pow(x, exponent)
    assert model.activation(1)[0] == a
    g_exponent = (a * LIBM.log(x)) * w_root
    assert params[1] == {"exponent": adam_step(exponent, 0.0, 0.0, g_exponent, 0.002, 1)[0]}


def test_model_with_the_new_types_trains_and_predicts():
    rng = np.random.default_rng(3)
    x, z = rng.uniform(-2, 2, 400), rng.uniform(0.5, 2.0, 400)
    y = np.sin(x) / z + z**1.5 + 0.5 * np.cos(x)
    # sin(x)/|z| + (z^exponent + cos(x)), every register starting as the identity
    fnames = ["out-linear:1", "add:2", "divide:2", "sin:1", "in-linear:0", "abs:1", "in-linear:0",
              "add:2", "pow:1", "in-linear:0", "cos:1", "in-linear:0"]
    dnames = ["y", "", "", "", "x", "", "z", "", "", "z", "", "x"]
    leaf = {"w": 1.0, "detect_scale": 0}
    params = [{}, {}, {}, {}, leaf, {}, leaf, {}, {"exponent": 1.0}, leaf, {}, leaf]
    model = _kestor.Model(dnames, fnames, params, 0, "squared_error")
    losses = [model._fit({"x": x, "z": z}, y)[0] for _ in range(6)]
    assert losses[-1] < 0.02 * losses[0]
    assert model.params[8]["exponent"] == pytest.approx(1.5, abs=0.1)
    predicted = model.predict({"x": x, "z": z})
    assert np.mean((predicted - y) ** 2) < 0.01
    model._fit({"x": x[:1], "z": z[:1]}, y[:1])  # its forward runs on the parameters predict used
    assert predicted[0] == model.activation(0)[0]


# ---------------------------------------------------------------------------
# Registration.

def test_arities_are_read_from_the_registry_only_when_a_type_is_used(isolated):
    out = isolated("""
import sys, vant
from vant._elements import ARITY
print(ARITY["add:2"], ARITY["in-linear:0"], "vant._operators" in sys.modules)
print(ARITY["divide:2"], ARITY["pow:1"], "vant._operators" in sys.modules)
""")
    assert out.split() == ["2", "0", "False", "2", "1", "True"]


def test_import_registers_once_and_kestor_alone_keeps_its_registry(isolated):
    # A probe descriptor added by hand sees the whole list behind it.
    out = isolated(f"""
import ctypes, importlib, sys
sys.path.insert(0, {TESTS_DIR!r})
import _kestor, vant
from _native import InteractionType, load_library
lib = load_library()
probes = []

def whole_list():
    probe = InteractionType(name=b"probe:1", arity=1)
    probes.append(probe)
    lib.kestor_add_interactiontype(ctypes.byref(probe))
    names, d = [], probe.next
    while d and len(names) < 100:
        names.append(d.contents.name.decode())
        d = d.contents.next
    return names

print(whole_list())
import vant._operators
print(whole_list())
del sys.modules["vant._operators"]
importlib.import_module("vant._operators")
print(whole_list())
""")
    alone, first, again = (eval(line) for line in out.splitlines())
    assert alone == HEAD_TO_TAIL
    assert first == ["abs:1", "pow:1", "divide:2", "cos:1", "sin:1", "probe:1"] + HEAD_TO_TAIL
    assert again == ["probe:1"] + first


def test_inlined_steps_train_as_the_slots_do(isolated):
    # Each type against a copy of its descriptor under another name, which
    # _kestor does not know and so trains through the copied slots.
    out = isolated(f"""
import ctypes, sys
sys.path.insert(0, {TESTS_DIR!r})
import numpy as np
import _kestor, vant._operators
from _native import InteractionType, load_library
lib = load_library()
copies = []
rng = np.random.default_rng(8)
x, z = rng.uniform(-3, 3, 300), rng.uniform(-0.3, 2, 300)
leaf = {{"w": 0.9, "bias": 0.1, "scale": 1.0, "scale_offset": 0.0, "detect_scale": 0}}

def trained(fname, params):
    binary = fname.endswith(":2")
    fnames = ["out-lr:1", fname, "in-linear:0"] + (["in-linear:0"] if binary else [])
    dnames = ["y", "", "x"] + (["z"] if binary else [])
    model = _kestor.Model(dnames, fnames, [{{}}, dict(params), leaf, leaf][:len(fnames)], 100, "binary_cross_entropy")
    return model._fit({{"x": x, "z": z}}, (x * z > 0.5).astype(float))

for name, params in (("sin:1", {{}}), ("cos:1", {{}}), ("abs:1", {{}}), ("divide:2", {{}}),
                     ("pow:1", {{"exponent": 1.5}})):
    copy = InteractionType.from_buffer_copy(lib.kestor_find_interactiontype(name.encode()).contents)
    copy.name = b"slots-" + name.encode()
    copies.append(copy)
    lib.kestor_add_interactiontype(ctypes.byref(copy))
    print(repr(trained(name, params)) == repr(trained("slots-" + name, params)))
""")
    assert out.split() == ["True"] * 5


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
def test_module_exports_its_init_and_inlined_types_and_links_no_registry():
    def symbols(*flags):
        out = subprocess.run(["nm", "-D", *flags, operators.__file__], capture_output=True, text=True, check=True)
        return {line.split()[-1] for line in out.stdout.splitlines() if line.strip()}

    defined = {n for n in symbols("--defined-only") if not n.startswith("__") and n not in {"_init", "_fini"}}
    assert defined == {"PyInit__operators", "kestor_inlined_types"}
    assert not {n for n in symbols("-u") if n.startswith("kestor")}
