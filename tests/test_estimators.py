"""SymbolicRegressor and SymbolicClassifier as scikit-learn estimators."""

import pickle
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import vant
from vant._estimators import search_parameters

sklearn = pytest.importorskip("sklearn")
from sklearn.base import clone  # noqa: E402
from sklearn.utils.estimator_checks import check_estimator  # noqa: E402

# Budgets small enough for the suite; the regressor needs a few more
# candidates to find the one informative column of scikit-learn's data.
FAST = dict(rounds=1, population=4, refine=0, train_samples=500, top=1, random_state=0)
FAST_REGRESSOR = dict(FAST, population=16)

# Checks that fit on 10 to 16 rows: a search needs 20 (a quarter, at least
# 5, is held out for scoring); our own tests cover what they check
# (NaN/inf, weights as lists and Series, feature counts after fitting).
SMALL_DATA = "fits on fewer rows than a search needs"
TOO_FEW_ROWS = {name: SMALL_DATA for name in (
    "check_n_features_in_after_fitting", "check_sample_weights_pandas_series",
    "check_sample_weights_not_an_array", "check_sample_weights_shape", "check_sample_weights_not_overwritten",
    "check_estimators_nan_inf", "check_regressors_no_decision_function", "check_classifier_data_not_an_array",
)}
# Fitting with zero weights is not fitting without those rows: the rows go
# into the random split between training and held-out rows either way, so
# the search sees other data.
EXPECTED_FAILURES = dict(TOO_FEW_ROWS, check_sample_weight_equivalence_on_dense_data=(
    "rows of weight 0 still take part in the random training/held-out split"))


@pytest.mark.parametrize("estimator", [vant.SymbolicRegressor(**FAST_REGRESSOR), vant.SymbolicClassifier(**FAST)],
                         ids=lambda e: type(e).__name__)
def test_passes_scikit_learns_estimator_checks(estimator):
    expected = {name: reason for name, reason in EXPECTED_FAILURES.items()
                if name != "check_classifier_data_not_an_array" or hasattr(estimator, "predict_proba")}
    check_estimator(estimator, expected_failed_checks=expected, on_skip=None)


def frame_data(n=300, seed=0):
    pandas = pytest.importorskip("pandas")
    rng = np.random.default_rng(seed)
    colour = rng.choice(np.array(["red", "green", "blue"]), n).astype(object)
    colour[::17] = None  # missing entries are one more category
    frame = pandas.DataFrame({"speed": rng.uniform(0, 2, n), "colour": pandas.Categorical(colour)})
    effect = frame["colour"].map({"red": 1.0, "green": -1.0, "blue": 0.5}).astype(float).fillna(2.0)
    return frame, 2.0 * frame["speed"] + effect.to_numpy() + rng.normal(0, 0.01, n)


def test_dataframes_give_names_and_categorical_inputs():
    X, y = frame_data()
    model = vant.SymbolicRegressor(rounds=2, population=8, random_state=1).fit(X, y)
    assert list(model.feature_names_in_) == ["speed", "colour"] and model.n_features_in_ == 2
    assert model.best_model_.inputs == {"speed": "in-linear:0", "colour": "in-cat:0"}
    assert model.score(X, y) > 0.99
    with pytest.warns(UserWarning, match="feature names"):
        np.testing.assert_array_equal(model.predict(X.to_numpy(dtype=object)), model.predict(X))
    with pytest.raises(ValueError, match="feature names should match"):
        model.predict(X[["colour", "speed"]])


def blobs(n=300, classes=3, seed=0):
    rng = np.random.default_rng(seed)
    centres = np.array([[0.0, 2.0], [2.0, -1.0], [-2.0, -1.0]])[:classes]
    label = rng.integers(classes, size=n)
    return centres[label] + rng.normal(0, 0.6, (n, 2)), np.array(["ant", "bee", "cow"])[label]


def test_multi_class_is_one_vs_rest_with_normalised_probabilities():
    X, y = blobs()
    model = vant.SymbolicClassifier(rounds=1, population=8, random_state=2).fit(X, y)
    assert list(model.classes_) == ["ant", "bee", "cow"] and len(model.best_models_) == 3
    with pytest.raises(AttributeError, match="best_models_"):
        model.best_model_
    p = model.predict_proba(X)
    np.testing.assert_allclose(p.sum(axis=1), 1.0)
    raw = np.column_stack([m.predict({"x0": X[:, 0], "x1": X[:, 1]}) for m in model.best_models_])
    np.testing.assert_allclose(p, raw / raw.sum(axis=1, keepdims=True))
    assert list(model.predict(X)) == list(model.classes_[p.argmax(axis=1)])
    assert model.score(X, y) > 0.9
    z = model.decision_function(X)  # one-vs-rest log-odds, a column per class
    assert z.shape == (len(X), 3) and list(model.classes_[z.argmax(axis=1)]) == list(model.predict(X))
    np.testing.assert_allclose(1.0 / (1.0 + np.exp(-z)), raw, rtol=1e-12)


def test_binary_probability_is_of_the_second_class():
    X, y = blobs(classes=2)
    model = vant.SymbolicClassifier(rounds=1, population=8, random_state=3).fit(X, y)
    p = model.predict_proba(X)
    np.testing.assert_array_equal(p[:, 1], model.best_model_.predict({"x0": X[:, 0], "x1": X[:, 1]}))
    assert model.best_model_.classes == ("ant", "bee")
    z = model.decision_function(X)
    assert z.shape == (len(X),)
    np.testing.assert_allclose(1.0 / (1.0 + np.exp(-z)), p[:, 1], rtol=1e-12)
    with pytest.raises(ValueError, match="classification"):
        vant.SymbolicRegressor(rounds=1, population=4, random_state=0).fit(X, X[:, 0]).best_model_.decision_function(X)


def test_clone_pipeline_grid_search_and_pickle():
    from sklearn.model_selection import GridSearchCV
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import StandardScaler

    X, y = blobs(classes=2)
    target = X[:, 0] * X[:, 1]
    grid = GridSearchCV(make_pipeline(StandardScaler(), vant.SymbolicRegressor(**FAST)),
                        {"symbolicregressor__max_elements": [4, 8]}, cv=2).fit(X, target)
    fitted = grid.best_estimator_
    again = pickle.loads(pickle.dumps(fitted))
    np.testing.assert_array_equal(again.predict(X), fitted.predict(X))
    fresh = clone(fitted[-1])
    assert not hasattr(fresh, "best_model_") and fresh.get_params() == fitted[-1].get_params()


def test_every_search_argument_is_a_parameter_with_the_same_default():
    import inspect
    defaults = {name: p.default for name, p in inspect.signature(vant.search).parameters.items()}
    for estimator in (vant.SymbolicRegressor(), vant.SymbolicClassifier()):
        params = estimator.get_params()
        for name in search_parameters():
            assert params[name] == (tuple(defaults[name]) if name == "categorical" else defaults[name]), name


def test_random_state_repeats_the_fit_whatever_n_jobs():
    X, y = blobs(classes=2)
    target = np.sin(X[:, 0]) + X[:, 1]
    fits = [vant.SymbolicRegressor(**dict(FAST, n_jobs=n_jobs)).fit(X, target) for n_jobs in (1, -1)]
    assert fits[0].best_model_.params == fits[1].best_model_.params


@pytest.mark.parametrize("parameter, value, message", [
    ("n_jobs", 0, "n_jobs"), ("n_jobs", 1.5, "n_jobs"), ("random_state", -1, "random_state"),
    ("random_state", "seed", "random_state"), ("model_selection", "fastest", "model_selection"),
    ("model_selection", 99, "outside the front"), ("time_limit", -1, "time_limit"), ("verbose", 3, "verbose"),
    ("categorical", ["nope"], "categorical"),
])
def test_bad_parameters_are_named_by_fit(parameter, value, message):
    X, y = blobs(classes=2)
    estimator = vant.SymbolicClassifier(**FAST).set_params(**{parameter: value})  # accepted until fit
    with pytest.raises(ValueError, match=message):
        estimator.fit(X, y)


@pytest.mark.parametrize("make_input, message", [
    (lambda X, y: (X[:, :1].ravel(), y), "Reshape"),
    (lambda X, y: (np.where(X == X[3, 1], np.nan, X), y), "NaN"),
    (lambda X, y: (X[:12], y[:12]), "at least 20"),
    (lambda X, y: (X, y[:-1]), "inconsistent"),
    (lambda X, y: (X, np.full(len(y), "ant")), "two classes"),
    (lambda X, y: (X, X[:, 0]), "continuous"),
])
def test_bad_data_gets_a_clear_error(make_input, message):
    X, y = make_input(*blobs(classes=2))
    with pytest.raises(ValueError, match=message):
        vant.SymbolicClassifier(**FAST).fit(X, y)


def test_predict_checks_the_columns_it_is_given():
    X, y = blobs(classes=2)
    model = vant.SymbolicClassifier(**FAST).fit(X, y)
    with pytest.raises(ValueError, match="3 features"):
        model.predict(np.column_stack([X, X[:, 0]]))
    with pytest.raises(ValueError, match="infinity"):
        model.predict(np.where(X == X[0, 0], np.inf, X))


def run(code):
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                            timeout=120, cwd="/")
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_import_vant_leaves_optional_libraries_unimported():
    out = run("""
        import sys, vant
        print(sorted(m for m in ("sklearn", "pandas", "sympy", "matplotlib", "tqdm") if m in sys.modules))
    """)
    assert out.strip() == "[]"


def test_estimators_work_without_scikit_learn():
    out = run("""
        import sys
        sys.modules["sklearn"] = None  # import sklearn now raises ImportError
        import numpy as np, vant
        x = np.linspace(-1, 1, 100)[:, None]
        model = vant.SymbolicRegressor(rounds=1, population=4, random_state=0).set_params(max_elements=5)
        print(model.fit(x, 2 * x[:, 0] + 1).score(x, 2 * x[:, 0] + 1) > 0.99, model.get_params()["max_elements"])
        print(repr(model))
    """)
    assert out.splitlines()[:2] == ["True 5",
                                    "SymbolicRegressor(max_elements=5, population=4, random_state=0, rounds=1)"]


def test_a_refit_that_fails_leaves_the_estimator_unfitted():
    X, y = blobs(classes=2)
    model = vant.SymbolicClassifier(**FAST).fit(X, y)
    with pytest.raises(ValueError, match="two classes"):
        model.fit(X, np.full(len(y), "ant"))
    with pytest.raises(sklearn.exceptions.NotFittedError):
        model.predict(X)
