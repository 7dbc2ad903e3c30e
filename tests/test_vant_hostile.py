"""Careless and hostile input to vant's public functions: a clear error that
names what is wrong, or a right result; never data run as code."""

import ast
import math
import threading
import warnings
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import vant
from vant import FoundModel
from vant._evaluate import evaluate

NUM = {"scale": 1.0, "scale_offset": 0.0, "w": 1.0, "bias": 0.0, "detect_scale": 0}
RNG = np.random.default_rng(12)
N = 60
X = RNG.uniform(-1, 1, N)
C = RNG.choice(np.array(["a", "b"], dtype=object), N)


def data(**changes):
    columns = {"x": X.copy(), "c": C.copy(), "y": 2 * X + (C == "a") + RNG.normal(0, 0.01, N)}
    columns.update(changes)
    return columns


def stray(values, at, value):
    values = values.astype(object)
    values[at] = value
    return values


WORKS = None
SEARCH_CASES = [
    (dict(inputs="xx"), TypeError, "inputs"),
    (dict(inputs=[]), ValueError, "inputs is empty"),
    (dict(categorical="c"), TypeError, "categorical"),
    (dict(categorical=["nope"]), KeyError, "nope"),
    (dict(priors={"nope": 1.0}), KeyError, "nope"),
    (dict(complexity_penalty=float("nan")), ValueError, "complexity_penalty"),
    (dict(train_samples=0), ValueError, "train_samples"),
    (dict(validation_fraction=0.99), ValueError, "validation_fraction"),
    (dict(time_limit=float("nan")), ValueError, "time_limit"),
    (dict(time_limit=-1.0), ValueError, "time_limit"),
    (dict(time_limit="5"), TypeError, "time_limit"),
    (dict(seed=1.5), TypeError, "seed"),
    (dict(seed="abc"), TypeError, "seed"),
    (dict(n_jobs=0), ValueError, "n_jobs"),
    (dict(n_jobs=-1), WORKS, None),
    (dict(executor=42), TypeError, "executor must be None, 'threads'"),
    (dict(executor="fibres"), ValueError, "executor must be 'threads'.*not 'fibres'"),
    (dict(executor=ThreadPoolExecutor(1), n_jobs=2), ValueError, "n_jobs .* give one or the other"),
    (dict(target=np.zeros(N)), TypeError, "target must be the name"),
    (dict(data=data(x=stray(X, 3, "n/a"))), ValueError, "'n/a'.*categorical=\\['x'\\]"),
    (dict(data=data(x=np.array([str(v) for v in X], dtype=object))), ValueError, "written as text"),
    (dict(data=data(x=stray(X, 3, "n/a")), categorical=["x"]), WORKS, None),
    (dict(data=data(y=data()["y"] * 1e140)), WORKS, None),
    (dict(data=data(y=data()["y"] * 1e200)), ValueError, "target 'y' holds values as large as .*divide it"),
    (dict(data=data(x=X * 0.5e308)), ValueError, "column 'x' holds values as large as"),
    (dict(data=data(x=X * 1e-310)), ValueError, "column 'x' varies by only"),
    (dict(data=data(x=X + 1j)), ValueError, "column 'x' holds complex numbers"),
    (dict(data=data(x=np.arange(N).astype("datetime64[s]"))), ValueError, "column 'x' holds dates or times"),
    (dict(data=data(y=stray((X > 0).astype(float), 5, None)), kind="classification"), ValueError,
     "missing value.*row 5"),
]


@pytest.mark.filterwarnings("ignore:the model gives these the default")  # the held-out "n/a"
@pytest.mark.parametrize("change, error, message", SEARCH_CASES)
def test_search_arguments(change, error, message):
    arguments = dict(data=data(), target="y", seed=1, rounds=1, population=2, top=2)
    arguments.update(change)
    if error is WORKS:
        columns = arguments.pop("data")
        models = vant.search(columns, arguments.pop("target"), **arguments)
        assert models and all(math.isfinite(m.metrics["r2"]) for m in models)
        assert np.all(np.isfinite(models[0].predict(columns)))
        return
    with pytest.raises(error, match=message):
        vant.search(arguments.pop("data"), arguments.pop("target"), **arguments)


def test_duplicate_frame_columns_are_named():
    pandas = pytest.importorskip("pandas")
    frame = pandas.DataFrame(np.column_stack([X, X, X]), columns=["x", "x", "y"])
    with pytest.raises(ValueError, match="more than one column named 'x'"):
        vant.search(frame, "y", rounds=1, population=2)


CAT_MODEL = FoundModel.from_params(["y", "", "k", "x"], ["out-linear:1", "add:2", "in-cat:0", "in-linear:0"],
                                   [NUM, {}, {"categories": [("a", 1.0), ("b", -1.0)], "bias": 0.0}, NUM])


@pytest.mark.parametrize("columns, error, message", [
    ({"k": np.array(["a", "b"], dtype=object), "x": np.array([0.5, 1.0])}, WORKS, None),
    ({"k": np.array(["a", "b"], dtype=object), "x": np.array([0.5, 1.0], dtype=object)}, WORKS, None),
    ({"k": np.array(["a", "b"], dtype=object)}, KeyError, "x"),
    ({"k": np.array(["a", "b"], dtype=object), "x": np.array([0.5, np.nan])}, ValueError, "NaN"),
    ({"k": np.array(["a", "b"], dtype=object), "x": np.array([0.5, "n/a"], dtype=object)}, ValueError,
     "not a number"),
    ({"k": np.array([1, 2]), "x": np.zeros(2)}, UserWarning, "'k': 2 values of a type it never saw"),
])
def test_predict_inputs(columns, error, message):
    if error is UserWarning:
        with pytest.warns(UserWarning, match=message):
            np.testing.assert_array_equal(CAT_MODEL.predict(columns), [0.0, 0.0])
        return
    if error is WORKS:
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            np.testing.assert_array_equal(CAT_MODEL.predict(columns), [1.5, 0.0])
        return
    with pytest.raises(error, match=message):
        CAT_MODEL.predict(columns)


LINEAR = (["y", "x"], ["out-linear:1", "in-linear:0"])


@pytest.mark.parametrize("params, extra, error, message", [
    ([NUM, {k: v for k, v in NUM.items() if k != "w"}], {}, ValueError, r"element 1 \(in-linear:0\).*'w' is missing"),
    ([NUM, {**{k: v for k, v in NUM.items() if k != "w"}, "W": 1.0}], {}, ValueError, "unknown parameter 'W'"),
    ([NUM, [1.0, 2.0]], {}, TypeError, r"element 1 .*must be a dict"),
    ([NUM, {**NUM, "w": "2.0"}], {}, TypeError, "'w' must be a number"),
    ([NUM, {**NUM, "bias": float("inf")}], {}, ValueError, "'bias' must be finite"),
    ([NUM, {**NUM, "detect_scale": 2}], {}, ValueError, "'detect_scale' must be 0 or 1"),
    ([NUM, NUM], {"sample_count": 2**40}, ValueError, "sample_count"),
    ([NUM, NUM], {"classes": ["a", "b"]}, ValueError, "no classes"),
    ([{"w": 1.0, "bias": 0.0}, NUM], {"kind": "classification", "classes": ["a", "b", "c"]}, ValueError,
     "two distinct classes"),
    ([{"w": 1.0, "bias": 0.0}, NUM], {"kind": "classification", "classes": ["a", "b"]}, WORKS, None),
    ([NUM, NUM], {"sample_count": 2**31 - 1}, WORKS, None),
])
def test_from_params_checks_every_dictionary(params, extra, error, message):
    dnames, fnames = LINEAR
    fnames = ["out-lr:1" if extra.get("kind") == "classification" else fnames[0], fnames[1]]
    if error is WORKS:
        found = FoundModel.from_params(dnames, fnames, params, **extra)
        again = FoundModel.from_params(**found.to_dict())
        assert again.to_dict() == found.to_dict()
        return
    with pytest.raises(error, match=message):
        FoundModel.from_params(dnames, fnames, params, **extra)


def test_categories_with_equal_hashes_stay_apart():
    params = [NUM, {"categories": [(-1, 10.0), (-2, -10.0)], "bias": 0.0}]
    column = {"k": np.array([-1, -2, 1, True, 1.0], dtype=object)}
    expected = [10.0, -10.0, 0.0, 0.0, 0.0]
    np.testing.assert_array_equal(evaluate(["y", "k"], ["out-linear:1", "in-cat:0"], params, column), expected)
    found = FoundModel.from_params(["y", "k"], ["out-linear:1", "in-cat:0"], params)
    np.testing.assert_array_equal(found.evaluate_formula(column), expected)
    np.testing.assert_array_equal(found.predict(column), expected)


HOSTILE_NAMES = ["__import__('builtins').setattr(__import__('builtins'), 'PWNED', 1)", "exp", "cat", "sigmoid",
                 "1", "2", "my col", "class", "x_1", "x 1"]


def test_hostile_column_names_never_run_and_are_written_unambiguously():
    import builtins
    names = HOSTILE_NAMES
    rng = np.random.default_rng(3)
    columns = {name: rng.uniform(0.5, 1.5, 8) for name in names}
    dnames, fnames, params = ["y", ""], ["out-linear:1", "add:2"], [NUM, {}]
    for j, name in enumerate(names[:-1]):  # a chain of sums over every column
        rest = len(names) - 2 - j
        dnames += [name] + ([""] if rest else [])
        fnames += ["in-linear:0"] + (["add:2"] if rest else [])
        params += [{**NUM, "w": float(j + 1)}] + ([{}] if rest else [])
    dnames.append(names[-1])
    fnames.append("in-linear:0")
    params.append({**NUM, "w": 0.5})
    found = FoundModel.from_params(dnames, fnames, params)
    np.testing.assert_allclose(found.evaluate_formula(columns), found.predict(columns), rtol=1e-12)
    assert not hasattr(builtins, "PWNED")
    text = found.formula()
    used = {node.id for node in ast.walk(ast.parse(text)) if isinstance(node, ast.Name)}
    identifiers = {identifier for identifier, _column in found.legend.items()} | {
        name for name in names if name not in found.legend.values()}
    assert used == identifiers and len(identifiers) == len(names)
    assert set(found.legend.values()) == {names[0], "exp", "cat", "sigmoid", "1", "2", "my col", "class", "x 1"}


# ---------------------------------------------------------------------------
# Estimators: labels, columns, parameters and what a fit leaves behind

FIT = dict(rounds=1, population=4, refine=0, top=2, random_state=0)
XS = RNG.uniform(-1, 1, (60, 2))


def frame(**columns):
    pandas = pytest.importorskip("pandas")
    return pandas.DataFrame({"a": XS[:, 0], "b": XS[:, 1], **columns})


@pytest.mark.parametrize("make, estimator, error, message", [
    (lambda: (XS, [0, "b"] * 30), "SymbolicClassifier", ValueError, "mixes labels of the types int, str: use labels "
                                                                      "of one type"),
    (lambda: (frame(c=XS[:, 0] + 1j), XS[:, 0]), "SymbolicRegressor", ValueError, "column 'c' holds complex"),
    (lambda: (XS + 1j, XS[:, 0]), "SymbolicRegressor", ValueError, "Complex data"),
    (lambda: (XS, XS[:, 0] + 1j), "SymbolicRegressor", ValueError, "column 'y' holds complex"),
    (lambda: (frame(when=np.arange(60).astype("datetime64[D]")), XS[:, 0]), "SymbolicRegressor", ValueError,
     r"column 'when' holds dates or times: convert them to numbers first"),
    (lambda: (frame(span=np.arange(60).astype("timedelta64[s]")), XS[:, 0]), "SymbolicRegressor", ValueError,
     "column 'span' holds time spans"),
    (lambda: (frame(c=np.array([str(v) for v in XS[:59, 0]] + ["n/a?"], dtype=object)), XS[:, 0]),
     "SymbolicRegressor", ValueError, r"column 'c' holds 1 value that is not a number \(e.g. 'n/a\?'\) among numbers"),
    (lambda: (XS, XS[:, 0] * 1e300), "SymbolicRegressor", ValueError, "target 'y' holds values as large as"),
    (lambda: (XS, XS[:, 0]), dict(executor="nonsense"), ValueError, "executor must be 'threads', 'processes'"),
    (lambda: (XS, XS[:, 0]), dict(population=10**7), ValueError, "population must be between 1 and 100000"),
    (lambda: (XS, XS[:, 0]), dict(model_selection=11, max_elements=12), ValueError, "holds at most 11 models"),
    (lambda: (frame(id=np.array([f"row{i}" for i in range(60)], dtype=object)), XS[:, 0]),
     dict(max_categories=40), ValueError, "column 'id' has 60 distinct values, more than max_categories=40: it may "
                                          "be an identifier"),
])
def test_estimators_refuse_what_they_would_misread(make, estimator, error, message):
    X, y = make()
    parameters = dict(FIT, **estimator) if isinstance(estimator, dict) else FIT
    kind = vant.SymbolicRegressor if isinstance(estimator, dict) else getattr(vant, estimator)
    with pytest.raises(error, match=message):
        kind(**parameters).fit(X, y)


def test_a_constant_target_gets_the_constant_model_and_says_so():
    pytest.importorskip("pandas")   # the front as a DataFrame
    model = vant.SymbolicRegressor(**FIT).fit(XS, np.full(60, 2.5))
    assert model.best_model_.expression == "2.5" and model.score(XS, np.full(60, 2.5)) == 1.0
    np.testing.assert_array_equal(model.predict(XS[:3]), [2.5] * 3)
    assert model.best_model_.metrics["constant_target"] and len(model.models_) == 1
    front = model.pareto_front_
    assert list(front["constant_target"]) == [True] and list(front["expression"]) == ["2.5"]


def test_an_index_beyond_a_short_front_picks_its_end_rather_than_losing_the_search():
    with pytest.warns(UserWarning, match="model_selection=10 is outside the front, which has"):
        model = vant.SymbolicRegressor(**dict(FIT, model_selection=10)).fit(XS, np.exp(XS[:, 0]))
    assert model.best_model_ is model._fronts[0][-1]


def test_a_refit_keeps_answering_and_a_second_fit_at_once_is_refused():
    pytest.importorskip("pandas")   # the front as a DataFrame
    target = np.sin(2 * XS[:, 0])
    model = vant.SymbolicRegressor(**FIT).fit(XS, target)
    before = model.predict(XS)
    started, release = threading.Event(), threading.Event()

    def hold(_state):
        started.set()
        release.wait(30)

    model.set_params(callback=hold, rounds=2, random_state=1)
    refit = threading.Thread(target=model.fit, args=(XS, 2 * target))
    refit.start()
    try:
        assert started.wait(30)
        np.testing.assert_array_equal(model.predict(XS), before)   # the old fit answers until the new is in place
        with pytest.raises(RuntimeError, match="being fitted in another thread"):
            model.fit(XS, target)
    finally:
        release.set()
        refit.join(60)
    assert not np.array_equal(model.predict(XS), before)
    assert model.best_model_ is model.pareto_front_.loc[model.pareto_front_["chosen"], "model"].item()


# ---------------------------------------------------------------------------
# Sizes that exhaust the machine, and faults that must not pass as refusals


def test_a_stream_gathers_only_the_columns_read():
    from vant._data import training_stream

    prepared = vant._data.prepare({**{f"x{i}": RNG.uniform(-1, 1, 25) for i in range(300)}, "y": np.arange(25.0)},
                                  "y", "regression", np.random.default_rng(0), None, None, (), 0.25)
    stream = training_stream(prepared.train, 20_000, np.random.default_rng(1))
    assert stream.n > 20_000 and not stream.x._gathered
    column = stream.x["x7"]
    assert list(stream.x._gathered) == ["x7"] and len(column) == stream.n
    assert set(column) == set(prepared.train.x["x7"])


def test_a_fault_in_training_surfaces_and_only_refusals_fail_a_start():
    from vant._refusal import ModelRefusal
    from vant._scoring import Scorer
    from vant._training import new_candidate

    prepared = vant._data.prepare(data(), "y", "regression", np.random.default_rng(0), None, ["x"], (), 0.25)
    scorer = Scorer("regression", "squared_error", prepared.valid, 1.0, prepared.error_floor)
    with pytest.raises(ValueError, match="output register .* below the root"):   # a fault of the generator
        new_candidate(prepared, scorer, (["y", "y", "x"], ["out-linear:1", "out-linear:1", "in-linear:0"]), 1, 100)
    program = (["y", "x"], ["out-linear:1", "in-linear:0"])
    params = new_candidate(prepared, scorer, program, 1, 100).params
    assert params is not None
    prepared.valid.x["x"][0] = np.inf    # what a diverged model computes: the native model refuses it
    with pytest.raises(ModelRefusal, match="nan or infinite"):
        scorer(*program, params)
    assert new_candidate(prepared, scorer, program, 1, 100).params is None   # every start failed, quietly


def test_a_wide_table_draws_the_programs_a_narrow_sampler_would(monkeypatch):
    import vant._basealgo._programcollection as collection

    inputs = {f"x{i}": "in-linear:0" for i in range(collection.WIDE + 1)}

    def rounds():
        cell, drawn, parents = vant.ProgramCollection(), [], ()
        for seed in range(2):
            programs = cell.generate_programs(16, "y", "out-linear:1", inputs, seed=seed, parents=parents)
            cell.update(programs, list(np.linspace(0.0, 1.0, len(programs))))
            drawn.append(programs)
            parents = programs[:4]
        return drawn

    wide = rounds()
    monkeypatch.setattr(collection, "WIDE", len(inputs) + 1)
    assert rounds() == wide
