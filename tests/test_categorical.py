"""The categorical input register ("in-cat:0") trained through Model._fit."""

import math
import sys

import numpy as np
import pytest

import _kestor

CYCLE = [float(np.float32(v)) for v in (
    -0.01, 0.01, 0.0, -0.005, 0.02, 0.04, 0.015, 0.035, -0.045, 0.005,
    -0.05, -0.03, -0.04, -0.035, 0.025, -0.025, 0.045, -0.02, -0.015, 0.03)]


def make_model(categories=None, bias=0.0, root_w=1.0, sample_count=0):
    cat = {"bias": bias}
    if categories is not None:
        cat["categories"] = categories
    root = {"w": root_w, "bias": 0.0, "scale": 1.0, "scale_offset": 0.0, "detect_scale": 0}
    return _kestor.Model(["y", "c"], ["out-linear:1", "in-cat:0"], [root, cat], sample_count, "squared_error")


def fit(model, column, y=None):
    column = np.asarray(column) if not isinstance(column, np.ndarray) else column
    if y is None:
        y = np.zeros(len(column))
    return model._fit({"c": column}, np.asarray(y, dtype=float))


def categories(model):
    return model.params[1]["categories"]


def object_column(values):
    column = np.empty(len(values), dtype=object)
    for i, value in enumerate(values):
        column[i] = value
    return column


def initial_weights(column):
    """Weights new categories receive: a root weight of 0 sends no gradient."""
    model = make_model(root_w=0.0)
    fit(model, column)
    return dict(categories(model))


def test_same_seed_same_start_and_cycle_order():
    keys = list(range(21))
    _kestor.srand(7)
    first = initial_weights(np.array(keys))
    _kestor.srand(7)
    second = initial_weights(np.array(keys))
    assert first == second
    start = CYCLE.index(first[0])
    assert [first[k] for k in range(20)] == [CYCLE[(start + k) % 20] for k in range(20)]
    assert first[20] == first[0]


def test_repeated_category_does_not_advance_cycle():
    w = initial_weights(np.array([5, 5, 5, 6]))
    start = CYCLE.index(w[5])
    assert w[6] == CYCLE[(start + 1) % 20]


def test_categories_listed_in_bucket_order():
    # 0 and 719 share bucket 0, where the newer entry comes first.
    w = initial_weights(np.array([9, 719, 2, 0]))
    assert list(w) == [0, 719, 2, 9]


def test_equal_keys_are_one_category_and_equal_hashes_are_not():
    column = np.array([1, 1.0, True, -1, -2], dtype=object)
    cats = categories_after_fit(column)
    # -1 and -2 share bucket 147, the newer first; 1.0 and True found 1.
    assert [k for k, _ in cats] == [1, -2, -1]
    assert type(cats[0][0]) is int


def test_codes_minus_one_and_minus_two_keep_their_own_weights():
    model = make_model([(-1, 10.0), (-2, -10.0)], root_w=1.0)
    assert categories(model) == [(-2, -10.0), (-1, 10.0)]
    root = model.params[0]
    out = model.predict({"c": np.array([-1, -2])})
    assert out.tolist() == [(w * root["w"] + root["bias"]) * root["scale"] + root["scale_offset"] for w in (10.0, -10.0)]


def test_raising_comparison_fails_the_binding_with_its_exception():
    class Refusing:
        def __hash__(self):
            return 5

        def __eq__(self, other):
            raise LookupError("no comparison")

    model = make_model(root_w=0.0)
    first = Refusing()
    with pytest.raises(LookupError, match="no comparison"):
        fit(model, object_column([first, first, Refusing()]))
    assert [k for k, _ in categories(model)] == [first]


def categories_after_fit(column):
    model = make_model(root_w=0.0)
    fit(model, column)
    return categories(model)


@pytest.mark.parametrize("column, expected", [
    (np.array(["b", "a", "b"]), {"a", "b"}),
    (object_column([("t", 1), None, 2.5, ("t", 1)]), {("t", 1), None, 2.5}),
    (np.array([3, 7, 3, 9, 3], dtype=">i4")[::2], {3}),
    (np.array([True, False, True]), {True, False}),
    (np.array([0.5, -1.5, 0.5], dtype=np.float32), {0.5, -1.5}),
])
def test_any_column_type_is_categorised(column, expected):
    model = make_model(root_w=0.0)
    loss, params = fit(model, column)
    keys = [k for k, _ in params[1]["categories"]]
    assert len(keys) == len(expected) and set(keys) == expected
    assert np.isfinite(loss)


@pytest.mark.parametrize("weight, bias, activation", [
    (400.5, 1.0, 400.0),
    (400.0, 1.0, 401.0),
    (-1000.0, 0.0, -1000.0),
])
def test_weight_cap(weight, bias, activation):
    model = make_model([("a", weight)], bias=bias)
    fit(model, np.array(["a"]), [0.0])
    assert model.activation(1)[0] == activation
    # The capped sample still trains its weight: gradient = 2 * prediction.
    assert dict(categories(model))["a"] == weight - (2.0 * activation) * (0.001 * 2.0)


@pytest.mark.parametrize("sample_count, rate_factor", [(0, 2.0), (9999, 2.0), (10000, 1.0), (20000, 2.0 / 3)])
def test_category_weight_plain_gradient_step(sample_count, rate_factor):
    model = make_model([("a", 0.0), ("b", 0.25)], sample_count=sample_count)
    fit(model, np.array(["a"]), [-0.75])  # gradient 2 * (0 - (-0.75)) = 1.5
    w = dict(categories(model))
    assert w["a"] == 0.0 - 1.5 * (0.001 * rate_factor)
    assert w["b"] == 0.25
    assert model.params[1]["bias"] != 0.0  # the bias trains as well


def test_weights_accumulate_over_samples():
    model = make_model([("a", 0.0)])
    fit(model, np.array(["a", "a"]), [-0.5, -0.5])
    lr = 0.001 * 2.0
    first = 0.0 - (2.0 * 0.5) * lr
    prediction = model.activation(1)[0]
    assert prediction == first + _bias_after_one_step(model)
    # The second gradient comes from the root's prediction (its own bias moved).
    root_prediction = model.activation(0)[0]
    assert dict(categories(model))["a"] == first - (2.0 * (root_prediction + 0.5)) * lr


def _bias_after_one_step(model):
    # Bias after the first sample: the Adam step at t=2 (the count after the
    # call) with gradient 1.0 from fresh moments.
    m = 0.09999999999999998
    v = 0.0010000000000000009
    m_hat = m / (1.0 - math.pow(0.9, 2))
    v_hat = v / (1.0 - math.pow(0.999, 2))
    return 0.0 - (m_hat / (math.sqrt(v_hat) + 1e-7)) * 0.002


def test_restored_categories_reproduce_weights():
    trained = make_model(root_w=1.0)
    fit(trained, np.array(["a", "b", "c", "a"]), [1.0, 2.0, 3.0, 1.0])
    params = trained.params[1]
    copy = make_model(params["categories"], bias=params["bias"])
    restored = copy.params[1]
    assert restored["bias"] == params["bias"]
    # Keys sharing a bucket come back in reverse order; the weights are equal.
    assert dict(restored["categories"]) == dict(params["categories"])
    assert len(restored["categories"]) == 3


def test_restore_same_key_twice_keeps_later_weight():
    model = make_model([("a", 1.0), ("b", 2.0), ("a", 3.0)])
    assert sorted(categories(model)) == [("a", 3.0), ("b", 2.0)]


@pytest.mark.parametrize("state", [
    ("not", "a list"),
    [("a", 1.0), ("b",)],
    [("a", 1.0), "abc"],
    [("a", 1.0), ("b", "not a float")],
    [("a", 1.0), ([], 1.0)],
])
def test_bad_categories_state_fails_construction(state):
    with pytest.raises(RuntimeError, match=r"^Internal error setting attribute for in-cat:0$"):
        make_model(state)


def test_failed_restore_releases_every_reference():
    key, weight = object(), 1.5
    before = sys.getrefcount(key), sys.getrefcount(weight)
    for _ in range(3):
        with pytest.raises(RuntimeError):
            make_model([(key, weight), (key, "bad")])
        with pytest.raises(RuntimeError):
            make_model([(key, weight), [key]])
    assert (sys.getrefcount(key), sys.getrefcount(weight)) == before


def test_model_release_drops_category_keys():
    key = ("some", "category")
    before = sys.getrefcount(key)
    model = make_model()
    fit(model, object_column([key, key]))
    assert sys.getrefcount(key) == before + 1
    del model
    assert sys.getrefcount(key) == before


def test_unhashable_category_fails_fit_and_model_stays_usable():
    model = make_model([("a", 0.5)], root_w=0.0)
    with pytest.raises(TypeError, match="unhashable"):
        fit(model, object_column(["a", [1, 2], "b"]))
    loss, params = fit(model, object_column(["a", "c"]))
    w = dict(params[1]["categories"])
    assert w["a"] == 0.5 and "c" in w
    assert np.isfinite(loss)


def test_predict_matches_training_forward_and_leaves_map_alone():
    model = make_model([("a", 1.0), ("b", 500.0)], bias=0.5)
    fit(model, np.array(["a", "b", "a"]), [0.0, 1.0, 2.0])
    before = model.params[1]
    column = object_column(["a", "b", "unseen", 7])
    out = model.predict({"c": column})
    root = model.params[0]
    w = dict(before["categories"])
    activations = [w["a"] + before["bias"], 400.0, 0.0 + before["bias"], 0.0 + before["bias"]]
    expected = [((a * root["w"]) + root["bias"]) * root["scale"] + root["scale_offset"] for a in activations]
    assert out.tolist() == expected
    assert model.params[1] == before
    # The last trained sample's activation agrees with what predict computes for it.
    fit(model, np.array(["a"]), [2.0])
    assert model.activation(1)[0] == activations[0]


def test_predict_unhashable_category_fails_cleanly():
    model = make_model([("a", 1.0)])
    with pytest.raises(TypeError, match="unhashable"):
        model.predict({"c": object_column(["a", {}])})
    assert model.predict({"c": np.array(["a"])}).tolist() == [1.0]
    assert categories(model) == [("a", 1.0)]
