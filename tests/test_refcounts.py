"""Models release everything they hold.

Building, training, reading and destroying models many times must return the
reference counts of the bound arrays, category keys and parameter values to
where they were, and must not grow the memory in use.
"""

import ctypes
import gc
import os
import sys
import tracemalloc

import numpy as np
import pytest

import _kestor
from _models import MODELS

READABLE = ["?", "b", "B", "h", "i", "l", "f", "d"]
N = 40


def build(kind, params=None, loss="squared_error"):
    dnames, fnames = MODELS[kind]
    return _kestor.Model(list(dnames), list(fnames), params or [{} for _ in fnames], 0, loss)


def columns(code, n=N):
    """Fresh arrays (new objects, so their counts are ours alone)."""
    rng = np.random.default_rng(3)
    ints = rng.integers(0, 2, n) if code == "?" else rng.integers(-20, 20, n)
    return {
        "x": ints.astype(code),
        "x2": ints[::-1].astype(code),
        "c": ints.astype(code),
    }, (np.arange(n) % 2).astype(code), np.ones(n, dtype=code)


def counts(objects):
    return [sys.getrefcount(o) for o in objects]


def exercise(model, xarray, y, weights):
    model._fit(xarray, y, weights)
    model.params
    model.activation(0)
    model.predict(xarray)
    model._fit(xarray, y)


@pytest.mark.parametrize("code", READABLE)
@pytest.mark.parametrize("kind", sorted(MODELS))
def test_bound_arrays_return_to_their_counts(kind, code):
    xarray, y, weights = columns(code)
    arrays = [*xarray.values(), y, weights]
    before = counts(arrays)
    for _ in range(10):
        model = build(kind)
        exercise(model, xarray, y, weights)
        del model
    assert counts(arrays) == before


@pytest.mark.parametrize("kind", sorted(MODELS))
def test_a_model_holds_one_reference_per_binding_and_drops_it_on_rebinding(kind):
    xarray, y, weights = columns("d")
    first = [xarray["x"], y, weights]
    before = counts(first)
    model = build(kind)
    model._fit(xarray, y, weights)
    held = [c - b for c, b in zip(counts(first), before)]
    assert held == [1, 1, 1]  # the x register, and the root for y and the weights
    other_x, other_y, _ = columns("d")
    model._fit(other_x, other_y)
    assert counts(first) == before  # rebinding released the first arrays
    # predict reads its columns for the call only.
    third, _, _ = columns("d")
    third_before = counts(third.values())
    model.predict(third)
    assert counts(third.values()) == third_before


class Key:
    """A category key whose count we can follow."""

    def __init__(self, value):
        self.value = value

    def __hash__(self):
        return hash(self.value)

    def __eq__(self, other):
        return isinstance(other, Key) and other.value == self.value


class Number:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value

    def __index__(self):
        return int(self.value)


def category_keys():
    """Keys of many kinds, all created now so that none is immortal or shared."""
    return [Key(i) for i in range(8)] + ["".join(["k", str(i)]) for i in range(4)] + [
        (1, "t".upper()), float(7.25), np.float64(-3.5), 10**30 + 1, frozenset({"f" * 3})]


def object_column(values):
    column = np.empty(len(values), dtype=object)
    for i, value in enumerate(values):
        column[i] = value
    return column


def test_category_keys_and_restored_values_return_to_their_counts():
    keys = category_keys()
    weights = [float(i) + 0.5 for i in range(len(keys))]
    restored = [(k, w) for k, w in zip(keys[::2], weights[::2])]
    bias = Number(0.25)
    column = object_column(keys + keys[:3])
    unseen = object_column(category_keys() + category_keys()[:3])  # equal values, different objects
    x = np.linspace(-1.0, 1.0, len(column))
    y = np.linspace(0.0, 2.0, len(column))
    tracked = keys + weights + [bias, column, unseen, x, y] + [pair for pair in restored]
    before = counts(tracked)
    for _ in range(10):
        for kind in ("mixed", "unary"):
            dnames, fnames = MODELS[kind]
            params = [{} for _ in fnames]
            params[fnames.index("in-cat:0")] = {"categories": list(restored), "bias": bias}
            model = _kestor.Model(list(dnames), list(fnames), params, 0, "squared_error")
            xarray = {"x": x, "x2": x, "c": column}
            exercise(model, xarray, y, None)
            model.predict({"x": x, "x2": x, "c": unseen})
            state = model.params[fnames.index("in-cat:0")]["categories"]
            assert len(state) == len(keys)
            del state, model, params, xarray
    assert counts(tracked) == before


def test_a_category_holds_one_reference_to_its_key_whatever_its_sample_count():
    keys = category_keys()
    column = object_column(keys * 5)
    # Keys with equal hashes share one entry, which keeps the first of them.
    first_of_hash = {}
    for k in keys:
        first_of_hash.setdefault(hash(k), id(k))
    expected = [int(first_of_hash[hash(k)] == id(k)) for k in keys]
    before = counts(keys)
    model = _kestor.Model(["y", "c"], ["out-linear:1", "in-cat:0"], [{}, {}], 0, "squared_error")
    for _ in range(3):
        model._fit({"c": column}, np.linspace(0.0, 1.0, len(column)))
    model.predict({"c": column})
    model.params
    assert [c - b for c, b in zip(counts(keys), before)] == expected
    del model
    assert counts(keys) == before


def test_parameter_values_are_not_kept():
    values = [Number(0.5), Number(2.0), float("0.125"), np.float64(1.5), np.int64(3), 10**20 + 7]
    before = counts(values)
    for _ in range(20):
        params = [
            {"scale": values[0], "scale_offset": values[2], "w": values[3], "bias": values[5],
             "detect_scale": values[4]},
            {"w": values[1], "bias": values[0]},
            {"scale": values[3], "w": values[2], "detect_scale": values[1]},
        ]
        model = _kestor.Model(["y", "", "x"], ["out-linear:1", "linear:1", "in-linear:0"], params, 0, "squared_error")
        model.params
        del model, params
    assert counts(values) == before


class FloatRaises:
    def __float__(self):
        raise ZeroDivisionError("refused")


def test_failed_constructions_release_what_they_had_taken():
    keys = category_keys()
    pairs = [(k, float(i)) for i, k in enumerate(keys)]
    refuser = FloatRaises()
    cat_types = ["out-linear:1", "add:2", "in-cat:0", "in-cat:0"]
    failures = [
        # the second register's categories break after some were restored
        [{}, {}, {"categories": pairs}, {"categories": pairs[:3] + [("too", "short", "long")]}],
        # a bias that refuses conversion after the categories were restored
        [{}, {}, {"categories": pairs}, {"categories": pairs, "bias": refuser}],
    ]
    tracked = keys + pairs + [refuser]
    before = counts(tracked)
    for _ in range(10):
        for params in failures:
            with pytest.raises(RuntimeError):
                _kestor.Model(["y", "", "c", "c"], cat_types, params, 0, "squared_error")
        with pytest.raises(ValueError, match="speficied"):
            _kestor.Model(["y", "", "c", "c"], cat_types, [{}, {}, {"categories": pairs}, {}], 0, "no_such_loss")
        model = _kestor.Model(["y", "", "c", "c"], cat_types, [{}, {}, {"categories": pairs}, {}], 0, "squared_error")
        with pytest.raises(RuntimeError):  # a failed re-initialisation empties the model
            model.__init__(["y", "", "c", "c"], cat_types, failures[1], 0, "squared_error")
        assert model.params == []
        del model
    assert counts(tracked) == before


def test_failed_training_calls_leave_no_reference_behind():
    x = np.linspace(-1.0, 1.0, N)
    nan_late = x.copy()
    nan_late[N // 2] = np.nan
    unsupported = np.arange(N, dtype=np.uint16)
    short_y = np.zeros(N - 1)
    y = np.linspace(0.0, 1.0, N)
    y_nan = y.copy()
    y_nan[-1] = np.nan
    two_d = np.zeros((2, N))
    keys = category_keys()
    column = object_column((keys * 3)[:N])
    bad_calls = [
        ({"x": nan_late, "x2": x, "c": column}, y),
        ({"x": unsupported, "x2": x, "c": column}, y),
        ({"x": x, "x2": x, "c": column}, short_y),
        ({"x": x, "x2": x, "c": column}, y_nan),
        ({"x": x, "x2": two_d, "c": column}, y),
        ({"x": x, "x2": x, "c": column[: N - 1]}, y),
        ({"x": x, "x2": x}, y),
    ]
    tracked = [x, nan_late, unsupported, short_y, y, y_nan, two_d, column] + keys
    before = counts(tracked)
    for _ in range(5):
        model = build("mixed")
        model._fit({"x": x, "x2": x, "c": column}, y)  # scales detected: later NaNs reach the samples
        for xarray, expected in bad_calls:
            with pytest.raises(ValueError):
                model._fit(xarray, expected)
            with pytest.raises(ValueError):
                model.predict({**xarray, "x": nan_late})
        model._fit({"x": x, "x2": x, "c": column}, y)
        del model, xarray, expected
    assert counts(tracked) == before


def test_activation_view_keeps_its_model_alive():
    key = Key("only in the model")
    model = _kestor.Model(["y", "c"], ["out-linear:1", "in-cat:0"], [{}, {"categories": [(key, 1.0)]}], 0,
                          "squared_error")
    model._fit({"c": object_column([key, key])}, np.array([0.0, 1.0]))
    key_count = sys.getrefcount(key)
    model_count = sys.getrefcount(model)
    views = [model.activation(0), model.activation(1)]
    assert sys.getrefcount(model) == model_count + 2
    value = float(views[1][0])
    del model
    assert float(views[1][0]) == value  # still the model's storage, still alive
    assert sys.getrefcount(key) == key_count
    del views
    assert sys.getrefcount(key) == key_count - 1  # the model went with its last view


def test_result_of_fit_is_owned_by_the_caller_alone():
    xarray, y, weights = columns("d")
    model = build("mixed")
    result = model._fit(xarray, y, weights)
    params = result[1]
    assert sys.getrefcount(result) == 2
    assert sys.getrefcount(params) == 3  # the tuple, the local name and the call's argument
    predicted = model.predict(xarray)
    assert sys.getrefcount(predicted) == 2 and predicted.base is None


def test_reinitialisation_releases_the_first_model():
    keys = category_keys()
    xarray, y, weights = columns("d")
    tracked = keys + [xarray["x"], y, weights]
    before = counts(tracked)
    model = build("mixed", [{}, {}, {}, {}, {"categories": [(k, 1.0) for k in keys]}, {}, {}])
    model._fit(xarray, y, weights)
    model.__init__(["y", "z"], ["out-lr:1", "in-linear:0"], [{}, {}], 0, "binary_cross_entropy")
    assert counts(tracked) == before


def test_finaliser_reinitialising_the_model_leaks_nothing():
    """Releasing the old elements runs finalisers of category keys; one that
    re-initialises the same model must not leave elements unreleased."""
    inner_key = Key("inner")
    inner_count = sys.getrefcount(inner_key)
    holder = {}

    class Reinitialises(Key):
        def __del__(self):
            model = holder.pop("model", None)
            if model is not None:
                try:
                    model.__init__(["y", "c"], ["out-linear:1", "in-cat:0"],
                                   [{}, {"categories": [(inner_key, 1.0)]}], 0, "squared_error")
                except RuntimeError:
                    pass  # refusing the nested call is a sound answer too

    model = _kestor.Model(["y", "c"], ["out-linear:1", "in-cat:0"],
                          [{}, {"categories": [(Reinitialises("outer"), 1.0)]}], 0, "squared_error")
    holder["model"] = model
    model.__init__(["y", "x"], ["out-linear:1", "in-linear:0"], [{}, {}], 0, "squared_error")
    assert [list(p) for p in model.params] == [["scale", "scale_offset", "w", "bias", "detect_scale"]] * 2
    del model
    gc.collect()
    assert sys.getrefcount(inner_key) == inner_count


# ---------------------------------------------------------------------------
# Memory in use.


def memory_cycle(data):
    xarray, y, weights, column, keys = data
    for kind in sorted(MODELS):
        model = build(kind)
        exercise(model, xarray, y, weights)
        del model
    params = [{}, {}, {}, {}, {"categories": [(k, 0.5) for k in keys]}, {}, {}]
    model = build("mixed", params)
    model._fit({**xarray, "c": column}, y)
    model.params
    try:
        model._fit({**xarray, "x": xarray["x"].astype(np.uint16)}, y)
    except ValueError:
        pass
    try:
        build("mixed", [{}, {}, {}, {}, {"categories": [(k, 0.5) for k in keys] + [()]}, {}, {}])
    except RuntimeError:
        pass
    del model


def memory_data():
    xarray, y, weights = columns("d", n=64)
    keys = category_keys()
    return xarray, y, weights, object_column((keys * 8)[:64]), keys


def least_growth(measure, data, warmup=20, windows=5, rounds=100):
    """The smallest growth of memory in use over several windows of rounds.

    A leak grows every window; caches of numpy and the interpreter (numpy's
    maximum, reached from C, keeps some small strings for a while) fill up
    in bursts and leave windows without growth.
    """
    for _ in range(warmup):
        memory_cycle(data)
    grown = []
    for _ in range(windows):
        gc.collect()
        start = measure()
        for _ in range(rounds):
            memory_cycle(data)
        gc.collect()
        grown.append(measure() - start)
    return min(grown)


# With the interpreter's small-object allocator off (as in sanitizer runs),
# those caches keep filling for thousands of rounds and every Python object
# lands on the C heap; the leak checker of such a run takes over then.
needs_pymalloc = pytest.mark.skipif(os.environ.get("PYTHONMALLOC", "").startswith("malloc"),
                                    reason="memory in use is only steady with the small-object allocator")


@needs_pymalloc
def test_traced_memory_stays_flat():
    data = memory_data()
    tracemalloc.start()
    try:
        grown = least_growth(lambda: tracemalloc.get_traced_memory()[0], data)
    finally:
        tracemalloc.stop()
    # One float leaked per round adds about 2.4 KB to every window.
    assert grown < 1536, f"traced memory grew by at least {grown} bytes per window"


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def _malloc_in_use():
    libc = ctypes.CDLL(None)
    if not hasattr(libc, "mallinfo2"):
        return None
    libc.mallinfo2.restype = _MallInfo2
    return lambda: libc.mallinfo2().uordblks


@needs_pymalloc
@pytest.mark.skipif(_malloc_in_use() is None, reason="needs glibc's mallinfo2")
def test_native_heap_stays_flat():
    # Element states, data names and category entries come from the C heap,
    # which tracemalloc does not see.
    grown = least_growth(_malloc_in_use(), memory_data())
    # One 16-byte block leaked per round adds about 3 KB to every window.
    assert grown < 1536, f"C heap in use grew by at least {grown} bytes per window"
