"""The training loop runs the built-in element types inlined and any other
type through its forward and reverse slots.  Copies of the built-in
descriptors, registered under other names, keep the same slots but are not
inlined: models built from them must train to the same bits."""

import os

import pytest

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))

# Registering descriptors changes process-wide state: a fresh interpreter.
CHILD = f"""
import ctypes, sys
sys.path.insert(0, {TESTS_DIR!r})
import numpy as np
import _kestor
from _native import InteractionType, load_library

lib = load_library()
KEEP = []

def through_slots(name):
    kind, arity = name.split(":")
    copy = InteractionType.from_buffer_copy(lib.kestor_find_interactiontype(name.encode()).contents)
    copy.name = (kind + "-slots:" + arity).encode()
    KEEP.append(copy)
    assert lib.kestor_add_interactiontype(ctypes.byref(copy)) == 0
    return copy.name.decode()

BUILTIN = ["add:2", "multiply:2", "exp:1", "gaussian:1", "gaussian:2", "tanh:1", "log:1", "sqrt:1", "squared:1",
           "inverse:1", "linear:1", "in-linear:0", "out-linear:1", "out-lr:1"]
SLOTS = {{name: through_slots(name) for name in BUILTIN}}

rng = np.random.default_rng(7)
N = 300
COLUMNS = {{
    "x": rng.uniform(-2, 2, N),
    "z": rng.uniform(-2, 2, 2 * N)[::2],             # strided
    "f": rng.uniform(-2, 2, N).astype(np.float32),   # read through the type table
    "i": rng.integers(-3, 4, N),
    "c": rng.integers(0, 5, N),
}}
TARGETS = {{"regression": np.sin(COLUMNS["x"]) + 0.3 * COLUMNS["z"], "classes": (COLUMNS["x"] > 0).astype(float)}}
WEIGHTS = rng.uniform(0, 2, N)

MODELS = [
    # every built-in type, with binary elements whose operands differ in depth both ways
    (["y", "", "", "", "x", "", "z", "", "", "f", "", "", "", "i", "x"],
     ["out-linear:1", "add:2", "gaussian:2", "tanh:1", "in-linear:0", "log:1", "in-linear:0", "add:2", "sqrt:1",
      "in-linear:0", "squared:1", "linear:1", "multiply:2", "in-linear:0", "in-linear:0"]),
    (["y", "", "", "", "z", "", "", "x", "", "", "f"],
     ["out-lr:1", "multiply:2", "add:2", "exp:1", "in-linear:0", "inverse:1", "gaussian:1", "in-linear:0",
      "linear:1", "linear:1", "in-linear:0"]),
    # a categorical input stays on its slots among inlined elements
    (["y", "", "c", "", "x"], ["out-linear:1", "add:2", "in-cat:0", "exp:1", "in-linear:0"]),
]
# Float64 columns only: the forward is free to take either operand first.
FLOAT64_ONLY = (["y", "", "", "x", "", "z", "", "", "x", "", "z"],
                ["out-linear:1", "add:2", "multiply:2", "in-linear:0", "exp:1", "in-linear:0", "gaussian:2", "log:1",
                 "in-linear:0", "squared:1", "in-linear:0"])
MODELS.append(FLOAT64_ONLY)

def fit(dnames, fnames, loss, start, weights, slots, columns=COLUMNS, inputs={{}}):
    names = [SLOTS.get(f, f) if slots else f for f in fnames]
    params = [dict(inputs) if f == "in-linear:0" else {{}} for f in fnames]
    _kestor.srand(1)  # the categorical input's first weights
    model = _kestor.Model(dnames, names, params, start, loss)
    y = TARGETS["classes" if loss == "binary_cross_entropy" else "regression"]
    used = {{d: columns[d] for d in dnames[1:] if d}}
    results = []
    for _ in range(2):  # the second call continues from the moments of the first
        try:
            mean, params = model._fit(used, y, weights)
            results.append((np.float64(mean).tobytes(), repr(params)))
        except ValueError as e:
            results.append((str(e), repr(model.params)))
    activations = [model.activation(i).tobytes() for i in range(len(names))]
    return results, activations
"""


@pytest.mark.parametrize("loss", ["squared_error", "absolute_error", "binary_cross_entropy"])
def test_inlined_types_train_like_their_slots(isolated, loss):
    out = isolated(CHILD + f"""
for dnames, fnames in MODELS:
    for start in (-N + 10, 1000 - N, 5000):  # the three regimes of the update rule
        for weights in (None, WEIGHTS):
            inlined = fit(dnames, fnames, {loss!r}, start, weights, False)
            slots = fit(dnames, fnames, {loss!r}, start, weights, True)
            assert inlined == slots, (fnames, start, weights is None)
print("ok")
""")
    assert out.strip() == "ok"


# A failing sample leaves the same error, parameters and activations: the
# elements run in the same order whether inlined or through their slots.
@pytest.mark.parametrize("model", ["mixed columns", "float64 columns"])
def test_failing_sample_leaves_the_same_model(isolated, model):
    out = isolated(CHILD + f"""
dnames, fnames = MODELS[0] if {model!r} == "mixed columns" else FLOAT64_ONLY
for bad in sorted(set(dnames) & {{"x", "z", "f"}}):
    columns = dict(COLUMNS)
    columns[bad] = columns[bad].copy()
    columns[bad][157] = np.nan
    fixed_scale = {{"detect_scale": 0, "scale": 0.5, "scale_offset": 0.0}}  # binding would refuse the NaN
    inlined = fit(dnames, fnames, "squared_error", 0, None, False, columns, fixed_scale)
    slots = fit(dnames, fnames, "squared_error", 0, None, True, columns, fixed_scale)
    assert inlined[0] == slots[0], bad
    assert inlined[0][0][0] == "Data contains nan or infinite values", inlined[0][0]
    assert inlined[1] == slots[1], bad
print("ok")
""")
    assert out.strip() == "ok"
