"""The interaction-type registry and the native symbols, through ctypes."""

import ctypes
import os
import shutil
import subprocess

import pytest

import _kestor
from _native import InteractionType, address, load_library

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))


# PyDLL keeps the interpreter lock during calls, which PyModel_Len and the
# addtomodule functions need.
lib = load_library(ctypes.PyDLL)
lib.PyModel_Len.argtypes = [ctypes.py_object]
lib.PyModel_Len.restype = ctypes.c_ssize_t
# These return the module they were given, a borrowed reference: read it as
# an address (a py_object result would be taken as a new reference).
lib.model_addtomodule.argtypes = [ctypes.py_object]
lib.model_addtomodule.restype = ctypes.c_void_p
lib.kcell_addtomodule.argtypes = [ctypes.py_object]
lib.kcell_addtomodule.restype = ctypes.c_void_p


def find(name):
    return lib.kestor_find_interactiontype(name.encode() if isinstance(name, str) else name)


def attribute_names(descriptor):
    if not descriptor.attributes:
        return None
    names = []
    i = 0
    while descriptor.attributes[i] is not None:
        names.append(descriptor.attributes[i].decode())
        i += 1
    return names


STATE_SLOTS = {"attributes", "setattr", "getattr", "allocate", "deallocate"}
OUTPUT_SLOTS = {"set_expectedarray", "create_outputarray", "get_outputarray"}
OPTIONAL_SLOTS = STATE_SLOTS | {"set_inputarray"} | OUTPUT_SLOTS
LINEAR_ATTRIBUTES = ["scale", "scale_offset", "w", "bias", "detect_scale"]

# name: (filled optional slots, attribute names)
REGISTERED = {
    "add:2": (set(), None),
    "in-cat:0": (STATE_SLOTS | {"set_inputarray"}, ["categories", "bias"]),
    "exp:1": (set(), None),
    "gaussian:1": (set(), None),
    "gaussian:2": (set(), None),
    "inverse:1": (set(), None),
    "linear:1": (STATE_SLOTS, ["w", "bias"]),
    "log:1": (set(), None),
    "multiply:2": (set(), None),
    "in-linear:0": (STATE_SLOTS | {"set_inputarray"}, LINEAR_ATTRIBUTES),
    "out-linear:1": (STATE_SLOTS | OUTPUT_SLOTS, LINEAR_ATTRIBUTES),
    "out-lr:1": (STATE_SLOTS | OUTPUT_SLOTS, ["w", "bias"]),
    "sqrt:1": (set(), None),
    "squared:1": (set(), None),
    "tanh:1": (set(), None),
}

HEAD_TO_TAIL = [
    "tanh:1", "squared:1", "sqrt:1", "out-lr:1", "out-linear:1", "in-linear:0", "multiply:2", "log:1",
    "linear:1", "inverse:1", "gaussian:2", "gaussian:1", "exp:1", "in-cat:0", "add:2",
]


@pytest.mark.parametrize("name", sorted(REGISTERED))
def test_each_registered_type_is_found_with_its_slots(name):
    found = find(name)
    assert found, name
    d = found.contents
    assert d.name.decode() == name
    assert d.arity == int(name[-1])
    assert d.forward and d.reverse
    filled, attributes = REGISTERED[name]
    assert {slot for slot in OPTIONAL_SLOTS if getattr(d, slot)} == filled
    assert attribute_names(d) == attributes


def test_the_catalogue_describes_every_type_as_the_registry_does():
    from vant._elements import CATALOGUE

    for name, record in CATALOGUE.items():
        names = record.param_names  # imports the module that registers the type
        descriptor = find(name).contents
        assert (record.arity, names) == (descriptor.arity, tuple(attribute_names(descriptor) or ())), name


def test_registry_list_runs_newest_first_and_ends():
    descriptor = find("tanh:1")
    names = []
    while descriptor:
        names.append(descriptor.contents.name.decode())
        descriptor = descriptor.contents.next
    assert names == HEAD_TO_TAIL


@pytest.mark.parametrize("name", ["add", "add:1", "Add:2", "ADD:2", "", "add:2 ", " add:2", "add:", "gaussian", "out-linear"])
def test_lookup_is_exact(name):
    assert not find(name)


def test_gaussian_descriptors_share_their_operations():
    g1 = find("gaussian:1").contents
    g2 = find("gaussian:2").contents
    assert (g1.name, g1.arity) == (b"gaussian:1", 1)
    assert (g2.name, g2.arity) == (b"gaussian:2", 2)
    assert address(g1.forward) == address(g2.forward)
    assert address(g1.reverse) == address(g2.reverse)


def test_exported_gaussian_descriptors_are_the_registered_ones():
    for symbol, name in (("g1", "gaussian:1"), ("g2", "gaussian:2")):
        exported = InteractionType.in_dll(lib, symbol)
        assert exported.name.decode() == name
        assert ctypes.addressof(exported) == ctypes.addressof(find(name).contents)


def test_exported_type_objects_are_the_module_types():
    assert ctypes.addressof(ctypes.c_char.in_dll(lib, "PyModel_Type")) == id(_kestor.Model)
    assert ctypes.addressof(ctypes.c_char.in_dll(lib, "PyKCell_Type")) == id(_kestor.KCell)


@pytest.mark.parametrize(
    "fnames",
    [[], ["in-linear:0"], ["out-linear:1", "in-linear:0"], ["out-linear:1", "add:2", "in-linear:0", "in-linear:0"]],
)
def test_model_len_reports_the_element_count(fnames):
    model = _kestor.Model(["x"] * len(fnames), fnames, [{}] * len(fnames), 0, "squared_error")
    assert lib.PyModel_Len(model) == len(fnames)


def test_addtomodule_functions_publish_the_types():
    import types

    module = types.ModuleType("probe")
    assert lib.model_addtomodule(module) == id(module)
    assert lib.kcell_addtomodule(module) == id(module)
    assert module.Model is _kestor.Model
    assert module.KCell is _kestor.KCell


EXPORTED = {
    "PyInit__kestor",
    "kestor_add_interactiontype",
    "kestor_find_interactiontype",
    "PyModel_Type",
    "PyModel_Len",
    "model_addtomodule",
    "PyKCell_Type",
    "kcell_addtomodule",
    "category_hashmap_get",
    "category_hashmap_clear",
    "category_hashmap_iterate",
    "g1",
    "g2",
}


def test_exported_symbols_resolve():
    for symbol in EXPORTED:
        assert hasattr(lib, symbol), symbol


@pytest.mark.parametrize(
    "symbol",
    ["adam_step", "update_schedule", "absolute_error", "squared_error_derivative", "binary_cross_entropy",
     "init_add", "init_register_cat", "init_tanh", "interaction_types", "py_srand", "PyModel_init",
     "PyModel_method_fit", "PyKCell_init", "PyKCell_update", "_Z14absolute_errordd", "_Z8init_addv"],
)
def test_internal_symbols_are_not_resolvable(symbol):
    assert not hasattr(lib, symbol)


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
def test_dynamic_symbol_table_holds_exactly_the_published_names():
    out = subprocess.run(
        ["nm", "-D", "--defined-only", _kestor.__file__], capture_output=True, text=True, check=True
    ).stdout
    names = {line.split()[-1] for line in out.splitlines() if line.strip()}
    # linker and sanitizer bookkeeping use reserved names
    names = {n for n in names if not n.startswith("__") and n not in {"_init", "_fini", "_edata", "_end"}}
    assert names == EXPORTED


# ---------------------------------------------------------------------------
# Adding descriptors changes process-wide state (and hiding "exp:1" would
# disturb other tests), so these run in a fresh interpreter.

CHILD_PRELUDE = f"""
import ctypes, gc, sys
sys.path.insert(0, {TESTS_DIR!r})
import numpy as np
import _kestor
from _native import STEP, InteractionType, address
from test_registry import lib, find, attribute_names

GetattrFn = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.c_void_p, ctypes.c_int32, ctypes.c_char_p)
AllocateFn = ctypes.PYFUNCTYPE(ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int32)
DeallocateFn = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int32, ctypes.c_void_p)

KEEP = []  # descriptors, names and callbacks must outlive every lookup

def keep(*objs):
    KEEP.extend(objs)
    return objs[0]

def attributes(*names):
    arr = (ctypes.c_char_p * (len(names) + 1))(*[n.encode() for n in names], None)
    keep(arr)
    return ctypes.cast(arr, ctypes.POINTER(ctypes.c_char_p))

def register(name, arity, **slots):
    d = keep(InteractionType())
    d.name = keep(ctypes.c_char_p(name.encode())).value
    d.arity = arity
    for slot, value in slots.items():
        setattr(d, slot, value)
    assert lib.kestor_add_interactiontype(ctypes.byref(d)) == 0
    return d
"""


def test_added_descriptor_hides_the_builtin_for_later_models(isolated):
    out = isolated(CHILD_PRELUDE + """
old = find("exp:1").contents
marker = GetattrFn(lambda model, index, name: 42.0)
keep(marker)

def build():
    return _kestor.Model(["y", "", "x"], ["out-linear:1", "exp:1", "in-linear:0"], [{}, {}, {}], 0, "squared_error")

before = build()
new = register("exp:1", 1, forward=old.forward, reverse=old.reverse,
               attributes=attributes("marker"), getattr=address(marker))
assert ctypes.addressof(find("exp:1").contents) == ctypes.addressof(new)
after = build()
assert before.params[1] == {}, before.params
assert after.params[1] == {"marker": 42.0}, after.params
del before, after
gc.collect()
print("ok")
""")
    assert out.strip() == "ok"


def test_destruction_releases_exactly_the_allocated_states(isolated):
    out = isolated(CHILD_PRELUDE + """
events = []
allocate = AllocateFn(lambda model, index: events.append(("allocate", index)) or 0x1000 + index)
deallocate = DeallocateFn(lambda model, index, state: events.append(("deallocate", index, state)))
keep(allocate, deallocate)
register("probe:0", 0, forward=find("in-linear:0").contents.forward, reverse=find("in-linear:0").contents.reverse,
         allocate=address(allocate), deallocate=address(deallocate))
register("stateless:0", 0, forward=find("in-linear:0").contents.forward, reverse=find("in-linear:0").contents.reverse,
         deallocate=address(deallocate))

try:
    _kestor.Model(["a", "b", "c", "d"], ["probe:0", "probe:0", "nosuch:1", "probe:0"], [{}] * 4, 0, "squared_error")
except ValueError as e:
    assert str(e) == "No such interaction type: 'nosuch:1'", str(e)
else:
    raise AssertionError("construction succeeded")
gc.collect()
assert events == [("allocate", 0), ("allocate", 1), ("deallocate", 0, 0x1000), ("deallocate", 1, 0x1001)], events

events.clear()
m = _kestor.Model(["a"], ["stateless:0"], [{}], 0, "squared_error")
del m
gc.collect()
assert events == [], events
print("ok")
""")
    assert out.strip() == "ok"


def test_arity0_type_without_set_inputarray_is_refused_by_fit(isolated):
    out = isolated(CHILD_PRELUDE + """
leaf = find("in-linear:0").contents
register("bare:0", 0, forward=leaf.forward, reverse=leaf.reverse)
m = _kestor.Model(["y", "x"], ["out-linear:1", "bare:0"], [{}, {}], 0, "squared_error")
try:
    m._fit({"x": np.zeros(2)}, np.arange(2.0))
except RuntimeError as e:
    assert str(e) == "Model not correctly initalized. Interaction 1 misses set_input entrypoint", str(e)
else:
    raise AssertionError("fit succeeded")
print("ok")
""")
    assert out.strip() == "ok"


def test_unexpected_forward_status_is_reported(isolated):
    out = isolated(CHILD_PRELUDE + """
failing = STEP(lambda model, index, n: -7)
passing = STEP(lambda model, index, n: 0)
keep(failing, passing)
register("odd:1", 1, forward=failing, reverse=passing)
m = _kestor.Model(["y", "", "x"], ["out-linear:1", "odd:1", "in-linear:0"], [{}, {}, {}], 0, "squared_error")
try:
    m._fit({"x": np.arange(3.0)}, np.arange(3.0))
except ValueError as e:
    assert str(e) == "Unknown value error calling model.", str(e)
else:
    raise AssertionError("fit succeeded")
print("ok")
""")
    assert out.strip() == "ok"


@pytest.mark.parametrize("builtin, fnames, dnames, params", [
    ("exp:1", ["out-linear:1", "exp:1", "in-linear:0"], ["y", "", "x"], [{}, {}, {}]),
    ("multiply:2", ["out-linear:1", "multiply:2", "in-linear:0", "in-linear:0"], ["y", "", "x", "z"], [{}] * 4),
    ("linear:1", ["out-linear:1", "linear:1", "in-cat:0"], ["y", "", "c"],
     [{}, {"w": -1.5, "bias": 0.25}, {"categories": [("a", 2.0), ("b", -1.0)]}]),
])
def test_type_added_without_prediction_predicts_through_its_forward(isolated, builtin, fnames, dnames, params):
    out = isolated(CHILD_PRELUDE + f"""
old = find({builtin!r}).contents
copy = register("copy-" + {builtin!r}, old.arity, **{{slot: getattr(old, slot) for slot, _ in old._fields_
                                                       if slot not in ("name", "arity", "next")}})
fnames, dnames, params = {fnames!r}, {dnames!r}, {params!r}
twin = [("copy-" + f if f == {builtin!r} else f) for f in fnames]
X = {{"x": np.linspace(-2, 2, 9), "z": np.linspace(3, -1, 9), "c": np.array(list("abab?abab"))}}
y = np.linspace(0, 1, 9)
models = [_kestor.srand(1) or _kestor.Model(dnames, f, [dict(p) for p in params], 0, "squared_error")
          for f in (fnames, twin)]
for m in models:
    m._fit(X, y)
before = [(m.params, m.activation(1).tobytes()) for m in models]
a, b = (m.predict(X) for m in models)
assert a.tobytes() == b.tobytes(), (a, b)
assert [(m.params, m.activation(1).tobytes()) for m in models] == before
del models, m  # before the descriptors they point at
gc.collect()
print("ok")
""")
    assert out.strip() == "ok"
