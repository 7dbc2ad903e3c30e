"""Saving found models and fitted estimators as JSON and loading them back."""

import json

import numpy as np
import pytest

import vant
from vant import _saving


def keyed_data(n=240, seed=0):
    """A categorical column whose keys are numpy ints, a tuple and None."""
    rng = np.random.default_rng(seed)
    keys = [np.int64(7), np.int64(-1), (1, "a"), None]
    codes = rng.integers(len(keys), size=n)
    column = np.empty(n, dtype=object)
    column[:] = [keys[c] for c in codes]
    x = rng.uniform(-1, 1, n)
    return {"x": x, "kind": column, "y": np.array([0.5, -1.0, 2.0, 0.0])[codes] + x + rng.normal(0, 0.01, n)}


def test_a_found_model_round_trips_bit_for_bit():
    data = keyed_data()
    found = vant.search(data, "y", seed=1, rounds=2, population=8, top=3)
    for model in found:
        text = _saving.model_to_json(model)
        json.loads(text)  # plain JSON: no NaN or Infinity literals
        loaded = vant.load_json(text)
        np.testing.assert_array_equal(loaded.predict(data), model.predict(data))
        assert (loaded.params, loaded.loss, loaded.score, loaded.metrics, loaded.expression) == \
            (model.params, model.loss, model.score, model.metrics, model.expression)


@pytest.mark.parametrize("value", [
    1.5, float("nan"), float("-inf"), (1, ("a", None)), b"\x00k", {"$tuple": [1]}, {"w": [1, (2.0,)]}, np.int32(3),
])
def test_values_json_lacks_keep_their_type(value):
    again = _saving.decode(json.loads(json.dumps(_saving.encode(value), allow_nan=False)))
    if isinstance(value, float) and value != value:
        assert again != again
    else:
        assert again == value and type(again) is type(value if not isinstance(value, np.integer) else 3)


def test_keys_that_cannot_be_saved_get_a_clear_error():
    with pytest.raises(TypeError, match="frozenset"):
        _saving.encode({"categories": [(frozenset({1}), 0.5)]})


def frame():
    pandas = pytest.importorskip("pandas")
    rng = np.random.default_rng(3)
    n = 300
    X = pandas.DataFrame({"a": rng.uniform(-1, 1, n), "b": rng.uniform(-1, 1, n),
                          "shop": pandas.Categorical(rng.choice(["north", "south", "east"], n))})
    return X, X["a"] * 2 - X["b"] + (X["shop"] == "east") + rng.normal(0, 0.05, n)


def test_a_fitted_regressor_round_trips_with_its_front(tmp_path):
    X, y = frame()
    model = vant.SymbolicRegressor(rounds=2, population=8, random_state=4, priors={"a": 1.0}).fit(X, y)
    model.save(tmp_path / "model.json")
    loaded = vant.load(tmp_path / "model.json")
    assert type(loaded) is vant.SymbolicRegressor and loaded.get_params() == model.get_params()
    np.testing.assert_array_equal(loaded.predict(X), model.predict(X))
    assert list(loaded.feature_names_in_) == ["a", "b", "shop"]
    columns = ["size", "loss", "mse", "r2", "expression", "chosen"]
    assert loaded.pareto_front_[columns].equals(model.pareto_front_[columns])
    assert [m.metrics for m in loaded.models_] == [m.metrics for m in model.models_]


def test_a_fitted_classifier_round_trips(tmp_path):
    rng = np.random.default_rng(5)
    X = rng.normal(size=(300, 2))
    y = np.array([3, 10, 20])[(X[:, 0] > 0).astype(int) + (X[:, 1] > 0.5)]
    model = vant.SymbolicClassifier(rounds=1, population=6, random_state=0).fit(X, y)
    loaded = vant.load_json(model.to_json())
    np.testing.assert_array_equal(loaded.predict_proba(X), model.predict_proba(X))
    assert loaded.classes_.dtype == model.classes_.dtype and list(loaded.classes_) == [3, 10, 20]
    unfitted = vant.load_json(vant.SymbolicClassifier(population=5).to_json())
    assert unfitted.population == 5 and not hasattr(unfitted, "classes_")


MODEL = ('{"vant": 1, "type": "FoundModel", "model": {"dnames": %s, "fnames": ["out-linear:1", "in-linear:0"], '
         '"params": %s, "kind": "regression", "sample_count": 0, "loss": 1, "score": 1, "metrics": {}, '
         '"classes": null}}')


@pytest.mark.parametrize("text, message", [
    ('{"vant": 99, "type": "FoundModel"}', "newer vant"),
    ('{"vant": 1, "type": "os.system"}', "does not know"),
    ('{"vant": 1, "type": "FoundModel", "model": {"kind": "regression"}}', "no '"),
    ('{"vant": 1, "type": "SymbolicRegressor", "params": {}, "fitted": {}}', "fitted has no 'n_features_in'"),
    ('[1, 2]', "not a vant model file"),
    (MODEL % ('["y", "x"]', '{"$code": "x"}'), "unknown value tag"),
    (MODEL % ("5", "[]"), r"model\.dnames must be a list of strings"),
    ("not json", "not a vant model file"),
])
def test_foreign_or_newer_files_are_refused(text, message):
    with pytest.raises(ValueError, match=message):
        vant.load_json(text)
