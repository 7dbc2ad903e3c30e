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


def test_a_found_model_saves_alone_and_predicts_from_what_its_estimator_takes(tmp_path):
    X, y = frame()
    fitted = vant.SymbolicRegressor(rounds=1, population=6, random_state=0).fit(X[["a", "b"]], y)
    fitted.best_model_.save(tmp_path / "formula.json")
    model = vant.load(tmp_path / "formula.json")
    assert type(model) is vant.FoundModel and model.columns == ("a", "b")
    expected = fitted.predict(X[["a", "b"]])
    unnamed = X[["a", "b"]].set_axis([0, 1], axis=1)  # an estimator reads such columns by position
    for given in (X, unnamed, X[["a", "b"]].to_numpy(), {"a": X["a"].to_numpy(), "b": X["b"].to_numpy()}):
        np.testing.assert_array_equal(model.predict(given), expected)
    with pytest.raises(ValueError, match=r"3 columns, but the model's are the 2 columns \['a', 'b'\]"):
        model.predict(X.to_numpy())
    document = json.loads(model.to_json())
    document["model"]["columns"] = ["a"]
    with pytest.raises(ValueError, match=r"lacks the model's inputs \['b'\]"):
        vant.load_json(json.dumps(document))
    del document["model"]["columns"]  # as files written before models kept their columns
    assert vant.load_json(json.dumps(document)).columns is None
    # built from its parameters alone, a model does not know which column is which
    with pytest.raises(ValueError, match="order of its columns"):
        vant.FoundModel.from_params(model.dnames, model.fnames, model.params).predict(X[["a", "b"]].to_numpy())


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


@pytest.fixture(scope="module")
def saved_classifier():
    """A fitted three-class classifier as the document its file holds."""
    rng = np.random.default_rng(5)
    X = rng.normal(size=(120, 2))
    y = np.array([3, 10, 20])[(X[:, 0] > 0).astype(int) + (X[:, 1] > 0.5)]
    model = vant.SymbolicClassifier(rounds=1, population=4, refine=0, top=2, random_state=0).fit(X, y)
    return json.loads(model.to_json()), X


def _set(document, path, value):
    *parents, last = path
    for key in parents:
        document = document[key]
    document[last] = value(document[last]) if callable(value) else value


SEARCH = ("fitted", "searches", 0)


@pytest.mark.parametrize("path, value, message", [
    (("type",), "SymbolicRegressor", r"searches\[0\]\.models\[0\] is a classification model, in the file of a "
                                     "regression estimator"),
    (SEARCH + ("chosen",), -1, r"searches\[0\]\.chosen must be the index of one of its \d+ models, not -1"),
    (SEARCH + ("chosen",), True, r"searches\[0\]\.chosen must be the index"),
    (SEARCH + ("front",), lambda front: front[:1] * 4, r"searches\[0\]\.front lists a model more than once"),
    (SEARCH + ("front",), lambda front: [99], r"searches\[0\]\.front\[0\] must be the index"),
    (("fitted", "classes", "dtype"), "<M8[ns]", "classes.dtype must be a dtype of numbers, text or objects"),
    (("fitted", "classes", "dtype"), "no such dtype", "classes.dtype is not a numpy dtype"),
    (("fitted", "classes", "values"), [3, 10], "searches must be a list of 1 search"),
    (("fitted", "classes", "values"), [3, 3, 10], "lists a class more than once"),
    (("fitted", "n_features_in"), 1_000_000_000, "n_features_in must be a count of columns"),
    (("fitted", "n_features_in"), 1, r"reads the column 'x1', which is not one of the estimator's"),
    (("fitted", "categorical_inputs"), ["x0"], "reads the column 'x0' as in-linear:0, but categorical_inputs lists"),
    (("fitted", "categorical_inputs"), ["x7"], "categorical_inputs names 'x7', which is not a column"),
    (("fitted", "feature_names_in"), ["a", "a"], "feature_names_in must name n_features_in=2 distinct columns"),
    (("type",), ["SymbolicClassifier"], "'type' must be the name of a class, not a list"),
    (("type",), "S" * 2_000_000, r"it holds a 'SSSS.*characters\), a type vant does not know$"),
    (SEARCH + ("models", 0, "sample_count"), 1e400, r"models\[0\]\.sample_count must be an integer"),
    (SEARCH + ("models", 0, "params", 0, "w"), 10**400, r"models\[0\]: element 0 \(out-lr:1\): parameter 'w' is an "
                                                          "integer of 401 digits"),
    (SEARCH + ("models", 0, "loss"), {"$float": [1]}, r"unknown float \[1\]"),
    (("params",), lambda params: dict(params, no_such=1), "params: 'no_such' is not a parameter"),
])
def test_a_file_that_contradicts_itself_names_the_field(saved_classifier, path, value, message):
    document = json.loads(json.dumps(saved_classifier[0]))
    _set(document, path, value)
    with pytest.raises(ValueError, match="^not a vant model file: .*" + message) as caught:
        vant.load_json(json.dumps(document))
    assert len(str(caught.value)) < 400


@pytest.mark.parametrize("text, message", [
    (MODEL % ('["y", "x"]', "[" * 3000 + "]" * 3000), "nested too deeply"),
    ("[" * 100_000 + "]" * 100_000, "nested too deeply"),
    (b"\x89PNG\r\n\x1a\n\x00\xff\xfe", "not UTF-8 text"),
    ('{"vant": 1, "type": "FoundModel", "model": {"dnames": ' + "1" * 5000 + "}}", "digits"),
])
def test_a_damaged_file_gets_one_clear_error(text, message):
    with pytest.raises(ValueError, match="^not a vant model file: .*" + message):
        vant.load_json(text)


def test_a_file_without_newer_parameters_loads_with_their_defaults(saved_classifier):
    document, X = saved_classifier
    older = json.loads(json.dumps(document))
    del older["params"]["max_categories"]
    loaded, again = vant.load_json(json.dumps(older)), vant.load_json(json.dumps(document))
    assert loaded.max_categories == vant.SymbolicClassifier().max_categories
    np.testing.assert_array_equal(loaded.predict_proba(X), again.predict_proba(X))
    assert json.loads(again.to_json()) == document
