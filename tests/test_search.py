"""vant.search on data from known formulas, with small budgets.

Figures measured on two cores (search time with the budgets below, and the
held-out figure on fresh data); each setting passed for every one of 12 to
16 data seeds tried:
  3*exp(-x**2) + 0.5*z, noise sd 0.05, distractor u: about 1.2 s, R2 0.998
    (the noise allows no more); it finds the generating formula, e.g.
    2.998*exp(-1.009*(x - 0.0009855)**2) + 0.4984*z + 0.004524.
  class boundary 12*(x*z - 0.1), labels drawn from the logistic: about 1.3 s,
    accuracy within 0.2 points of the generating rule, e.g.
    sigmoid(11.98*(x - 0.02305)*(z + 0.01755) - 1.198).
  1.5*x*z - 0.8*u**2, 2% noise: about 2.5 s, R2 0.9996.
  category effect + 2*x with weights: about 0.4 s, R2 0.9975 (noise bound).
With the default budget (20 rounds of 32 programs) on 3000 rows, the first
case takes about 6 s and the second about 8 s.
"""

import math
import time

import numpy as np
import pytest

import vant
from vant import FoundModel
from vant import _data
from vant._basealgo import _programcollection


def r2(y, predicted):
    return 1.0 - np.mean((y - predicted) ** 2) / np.var(y)


def bell_data(rng, n):
    x, z, u = rng.uniform(-2, 2, n), rng.uniform(-1, 1, n), rng.uniform(-1, 1, n)
    return {"x": x, "z": z, "u": u, "y": 3 * np.exp(-x ** 2) + 0.5 * z + rng.normal(0, 0.05, n)}


def test_finds_a_bell_plus_a_linear_term():
    rng = np.random.default_rng(1)
    models = vant.search(bell_data(rng, 1500), "y", seed=1, rounds=6, population=24)
    best = models[0]
    fresh = bell_data(rng, 5000)
    assert r2(fresh["y"], best.predict(fresh)) >= 0.99
    assert best.size <= 7
    assert "x" in best.expression and "z" in best.expression
    assert best.metrics["r2"] >= 0.99 and best.loss == best.metrics["mse"]
    scores = [m.score for m in models]
    assert scores == sorted(scores)


def boundary_data(rng, n):
    x, z, u = rng.uniform(-1, 1, n), rng.uniform(-1, 1, n), rng.uniform(-1, 1, n)
    logit = 12 * (x * z - 0.1)
    label = np.where(rng.random(n) < 1 / (1 + np.exp(-logit)), "yes", "no")
    return {"x": x, "z": z, "u": u, "label": label}, logit > 0


def test_finds_a_class_boundary_through_a_product():
    rng = np.random.default_rng(2)
    data, _rule = boundary_data(rng, 2000)
    models = vant.search(data, "label", kind="classification", seed=2, rounds=4, population=24)
    best = models[0]
    assert best.classes == ("no", "yes") and best.expression.startswith("sigmoid(")
    fresh, rule = boundary_data(rng, 20000)
    truth = fresh["label"] == "yes"
    probability = best.predict(fresh)
    assert np.all((probability >= 0) & (probability <= 1))
    assert np.mean((probability >= 0.5) == truth) >= np.mean(rule == truth) - 0.02
    assert list(best.predict_class({k: v[:4] for k, v in fresh.items()})) == \
        ["yes" if p >= 0.5 else "no" for p in probability[:4]]


def test_finds_a_sum_of_a_product_and_a_square_of_three_inputs():
    rng = np.random.default_rng(0)

    def make(n):
        x, z, u = (rng.uniform(-1, 1, n) for _ in range(3))
        y = 1.5 * x * z - 0.8 * u ** 2
        return {"x": x, "z": z, "u": u, "y": y + rng.normal(0, 0.02 * np.std(y), n)}

    models = vant.search(make(1500), "y", seed=0, rounds=10)
    fresh = make(5000)
    assert r2(fresh["y"], models[0].predict(fresh)) >= 0.99


def category_data(rng, n):
    x = rng.uniform(0, 3, n)
    colour = rng.choice(np.array(["red", "green", "blue"]), n)
    effect = {"red": 1.0, "green": -0.5, "blue": 2.0}
    y = np.array([effect[c] for c in colour]) + 2 * x + rng.normal(0, 0.1, n)
    return {"x": x, "colour": colour, "y": y, "w": np.where(colour == "blue", 3.0, 1.0)}


def test_categories_and_sample_weights():
    rng = np.random.default_rng(3)
    models = vant.search(category_data(rng, 1500), "y", seed=3, rounds=3, population=16, sample_weights="w")
    best = models[0]
    assert "w" not in best.inputs
    fresh = category_data(rng, 3000)
    assert r2(fresh["y"], best.predict(fresh)) >= 0.99
    # Unseen categories are predicted too (with the weight 0).
    unseen = best.predict({"x": np.array([1.0]), "colour": np.array(["purple"])})
    assert np.isfinite(unseen).all()
    assert "cat(colour)" in best.expression and best.tables


def test_weights_change_what_is_fitted():
    rng = np.random.default_rng(4)
    n = 600
    x = rng.uniform(-1, 1, n)
    group = rng.random(n) < 0.5
    y = np.where(group, 2 * x, -2 * x)  # two incompatible lines; weights pick one
    heavy = np.where(group, 1.0, 1e-3)
    model = vant.search({"x": x, "y": y}, "y", seed=4, rounds=2, population=8, sample_weights=heavy)[0]
    prediction = model.predict({"x": np.array([-1.0, 1.0])})
    np.testing.assert_allclose(prediction, [-2.0, 2.0], atol=0.1)


def small_data():
    rng = np.random.default_rng(5)
    n = 300
    x, z = rng.uniform(-1, 1, n), rng.uniform(-1, 1, n)
    c = rng.choice(np.array(["p", "q", "r"]), n)
    return {"x": x, "z": z, "c": c, "y": np.exp(x) + z * (c == "p") + rng.normal(0, 0.05, n)}


def test_same_seed_same_models_whatever_the_threads():
    data = small_data()
    runs = [vant.search(data, "y", seed=7, rounds=2, population=8, n_jobs=jobs) for jobs in (1, 2, 2)]
    formulas = [[m.formula() for m in run] for run in runs]
    assert formulas[0] == formulas[1] == formulas[2]
    assert [m.params for m in runs[0]] == [m.params for m in runs[1]]
    other = vant.search(data, "y", seed=8, rounds=2, population=8)
    assert [m.formula() for m in other] != formulas[0]


def test_improving_in_pieces_matches_improving_in_one_go(monkeypatch):
    """The search polishes and retrains a candidate as separate tasks and
    puts them together; that must be what improving it in one go gives
    (seed 6 has candidates whose first retrainings disagree)."""
    from vant import _search, _tasks, _training

    in_pieces, compared = _search._Run.improve, []

    def both_ways(run, candidates):
        state = run.rng.bit_generator.state
        copies = [_training.Candidate(**_tasks.plain(c)) for c in candidates if not c.improved]
        seeds = run.rng.integers(2**63, size=len(copies))
        in_one_go = [_training.improve(run.data, run.scorer, c, int(s), run.train_samples)
                     for c, s in zip(copies, seeds)]
        run.rng.bit_generator.state = state
        in_pieces(run, candidates)
        compared.extend((_tasks.plain(c), _tasks.plain(run.found[c.key])) for c in in_one_go)

    monkeypatch.setattr(_search._Run, "improve", both_ways)
    vant.search(small_data(), "y", seed=6, rounds=3, population=8, n_jobs=2)
    assert len(compared) > 8
    for one_go, pieces in compared:
        assert one_go == pieces


def prepared(data, found):
    return {name: data[name].astype(float) if kind == "in-linear:0" else data[name].astype(object)
            for name, kind in found.inputs.items()}


def test_found_models_round_trip_through_their_parameters():
    data = small_data()
    for found in vant.search(data, "y", seed=9, rounds=2, population=8, top=4):
        again = FoundModel.from_params(**found.to_dict())
        np.testing.assert_array_equal(again.predict(data), found.predict(data))
        rebuilt = found.model()
        np.testing.assert_array_equal(rebuilt.predict(prepared(data, found)), found.predict(data))
        assert found.expression in str(found) and found.expression in repr(found)
        assert found.size == len(found.params) and math.isfinite(found.loss)


def test_each_formula_is_returned_once():
    from vant._search import _distinct

    data = small_data()
    found = vant.search(data, "y", seed=9, rounds=2, population=8, top=6)
    texts = [model.expression for model in found]
    assert len(set(texts)) == len(texts)
    # A program and its simplification can print alike: the first is kept.
    twin = FoundModel.from_params(**found[0].to_dict())
    assert _distinct([found[0], twin, *found[1:]]) == list(found)


def test_time_limit_ends_the_search():
    started = time.monotonic()
    models = vant.search(small_data(), "y", seed=1, time_limit=0.5, population=8)
    assert models and time.monotonic() - started < 10.0
    assert models[0].metrics["stopped"] in ("time", "exact")


def test_the_search_drives_its_collection_through_kcell(monkeypatch):
    seen = []
    original = _programcollection.ProgramCollection.update

    def recording_update(self, programs, losses, *rest):
        seen.append(len(programs))
        return original(self, programs, losses, *rest)

    monkeypatch.setattr(_programcollection.ProgramCollection, "update", recording_update)
    vant.search(small_data(), "y", seed=1, rounds=2, population=6)
    # the second round adds the leaders' simplifications and missing terms
    assert len(seen) == 2 and seen[0] == 12 and seen[1] >= 6


def test_priors_exclude_inputs():
    data = small_data()
    models = vant.search(data, "y", seed=2, rounds=2, population=8, priors={"c": 0.0, "z": 0.0})
    assert all(set(m.inputs) == {"x"} for m in models)


def test_pandas_frames_are_accepted():
    pandas = pytest.importorskip("pandas")
    frame = pandas.DataFrame(small_data())
    frame["c"] = frame["c"].astype("category")
    models = vant.search(frame, "y", seed=3, rounds=1, population=6)
    np.testing.assert_array_equal(models[0].predict(frame), models[0].predict(small_data()))


@pytest.mark.parametrize("change, error, message", [
    (dict(kind="ranking"), ValueError, "kind"),
    (dict(target="nope"), KeyError, "nope"),
    (dict(target="c", kind="classification"), ValueError, "two classes"),
    (dict(target="c"), ValueError, "numeric"),
    (dict(sample_weights=-np.ones(300)), ValueError, "non-negative"),
    (dict(sample_weights=np.ones(5)), ValueError, "one value per row"),
    (dict(inputs=["x", "missing"]), KeyError, "missing"),
    (dict(max_elements=40), ValueError, "max_elements"),
    (dict(validation_fraction=1.0), ValueError, "validation_fraction"),
    (dict(operators=["sin", "sine"]), ValueError, "unknown operator 'sine'; the operators are add, .*, abs"),
    (dict(operators=["in-linear"]), ValueError, "unknown operator 'in-linear'"),
    (dict(operators=[math.sin]), TypeError, "operator names"),
    (dict(operators=5), TypeError, "operators must be"),
])
def test_bad_arguments(change, error, message):
    arguments = dict(target="y", rounds=1, population=2)
    arguments.update(change)
    target = arguments.pop("target")
    with pytest.raises(error, match=message):
        vant.search(small_data(), target, **arguments)


@pytest.mark.parametrize("data, message", [
    ({"x": np.array([0.0, np.nan] * 20), "y": np.arange(40.0)}, "NaN"),
    ({"x": np.arange(10.0), "y": np.arange(10.0)}, "at least 20"),
    ({"x": np.ones(40), "y": np.arange(40.0)}, "no input"),
    ({"x": np.arange(40.0), "y": np.arange(39.0)}, "same length"),
    ({"x": np.zeros((40, 2)), "y": np.arange(40.0)}, "one-dimensional"),
])
def test_bad_data(data, message):
    with pytest.raises(ValueError, match=message):
        vant.search(data, "y", rounds=1, population=2)


def test_a_law_found_early_ends_the_search_early():
    rng = np.random.default_rng(3)
    x, z = rng.uniform(-1, 1, 400), rng.uniform(-1, 1, 400)
    found = vant.search({"x": x, "z": z, "y": 3 * x * z}, "y", seed=3, rounds=40, population=16, n_jobs=1)[0]
    assert found.metrics["r2"] == pytest.approx(1.0, abs=1e-12)
    assert found.metrics["rounds"] < 10 and found.metrics["stopped"] == "exact"
    assert found.metrics["clamp_active"] is False


@pytest.mark.parametrize("inputs, rows, budget, stopped", [
    (2, 1000, 60, "noise"),   # neighbours close: the noise test decides (in about 2 s)
    (10, 100, 3, "time"),     # neighbours far apart: it cannot, and the budget is used
])
def test_noise_ends_a_search_only_where_the_test_can_tell(inputs, rows, budget, stopped):
    rng = np.random.default_rng(7)
    data = {f"x{i}": rng.uniform(-1, 1, rows) for i in range(inputs)}
    data["y"] = 2 * data["x0"] - data["x1"] + rng.normal(0, 0.3, rows)
    started = time.monotonic()
    result = vant.search(data, "y", seed=2, time_limit=budget, population=6, n_jobs=2)
    assert result.stopped == result[0].metrics["stopped"] == stopped
    assert (time.monotonic() - started >= budget) is (stopped == "time")


@pytest.mark.parametrize("low, clamped", [(0.5, False), (-0.5, True)])
def test_clamps_active_on_the_rows_are_reported(low, clamped):
    from vant._evaluate import clamp_active
    x = np.linspace(low, 2.0, 50)
    dnames, fnames = ["y", "", "x"], ["out-linear:1", "sqrt:1", "in-linear:0"]
    params = [{"w": 1.0}, {}, {"scale": 1.0, "scale_offset": 0.0, "w": 1.0, "bias": 0.0, "detect_scale": 0}]
    assert clamp_active(dnames, fnames, params, {"x": x}) is clamped


def test_a_table_beyond_the_subsamples_still_yields_the_law(monkeypatch):
    # Heads far smaller than the table, so that screening, refits, the
    # polish and training windows all work on parts of it, and the front is
    # validated on every held-out row.
    monkeypatch.setattr(_data, "FIT_ROWS", 800)
    monkeypatch.setattr(_data, "SCREEN_ROWS", 300)
    monkeypatch.setattr(_data, "POLISH_ROWS", 500)
    monkeypatch.setattr(_data, "PARALLEL_GATHER_ROWS", 1000)   # the splits gathered on both threads
    rng = np.random.default_rng(11)
    data = bell_data(rng, 6000)
    runs = [vant.search(data, "y", seed=11, rounds=5, population=16, train_samples=4000, n_jobs=jobs)
            for jobs in (1, 2)]
    assert [m.formula() for m in runs[0]] == [m.formula() for m in runs[1]]
    best = runs[0][0]
    fresh = bell_data(rng, 5000)
    assert r2(fresh["y"], best.predict(fresh)) >= 0.99
    # The figures handed out are those of all 1500 held-out rows, not of the
    # 300 screened: the scores differ as a criterion over 1500 rows says
    # (the target's unit cancels in the difference).
    first, last = runs[0][0], runs[0][-1]
    n = 1500
    for model in [first, *runs[0].front]:   # the front validated in the same batch
        assert model.score - last.score == pytest.approx(
            n * math.log(model.loss / last.loss) + (model.size - last.size) * math.log(n), rel=1e-6, abs=1e-6)
    assert [m.score for m in runs[0]] == sorted(m.score for m in runs[0])


def wave_data(rng, n, low=-3.0, high=3.0):
    x, z = rng.uniform(low, high, n), rng.uniform(low, high, n)
    return {"x": x, "z": z, "y": 2 * np.sin(1.5 * x) + 0.3 * z}


def test_every_operator_on_a_periodic_law():
    # About 6 s on two cores; "2*cos(1.5*x - 1.571)" would be the same law, written once.
    rng = np.random.default_rng(2)
    best = vant.search(wave_data(rng, 1000), "y", operators="all", seed=2, n_jobs=2)[0]
    assert best.expression == "2*sin(1.5*x) + 0.3*z"
    wide = wave_data(rng, 2000, -6.0, 6.0)
    assert r2(wide["y"], best.predict(wide)) >= 0.9999


@pytest.mark.parametrize("operators, law, expected", [
    (["sin"], lambda d: np.sin(2 * d["x"]), "sin(2*x)"),
    (["sin"], lambda d: np.sin(5 * d["x"]), "sin(5*x)"),
    # sums are there without naming add: z is kept
    (["sin", "cos"], lambda d: 2 * np.sin(1.5 * d["x"]) + 0.3 * d["z"], "2*sin(1.5*x) + 0.3*z"),
])
def test_a_wave_finds_its_frequency_from_a_few_operators(operators, law, expected):
    data = wave_data(np.random.default_rng(4), 500)
    data["y"] = law(data)
    found = vant.search(data, "y", operators=operators, seed=1, rounds=12, population=16, n_jobs=2)[0]
    assert found.expression == expected and found.metrics["stopped"] == "exact"


def test_a_model_with_an_operator_type_predicts_in_a_fresh_process(isolated):
    numeric = {"scale": 1.0, "scale_offset": 0.0, "detect_scale": 0}
    model = FoundModel.from_params(
        ["y", "", "", "x", "", "x"], ["out-linear:1", "add:2", "pow:1", "in-linear:0", "sin:1", "in-linear:0"],
        [{**numeric, "w": 2.0, "bias": 0.5}, {}, {"exponent": 1.5}, {**numeric, "w": 1.0, "bias": 0.0}, {},
         {**numeric, "w": 3.0, "bias": 0.2}])
    x = np.linspace(0.5, 2.0, 7)
    out = isolated(f"""
        import sys
        import numpy as np, vant
        assert "vant._operators" not in sys.modules
        model = vant.FoundModel.from_params(**{model.to_dict()!r})
        print(model.expression)
        print(model.predict({{"x": np.array({x.tolist()!r})}}).tolist())
    """)
    expression, predicted = out.splitlines()
    assert expression == model.expression == "2*x**1.5 + 2*sin(3*x + 0.2) + 0.5"
    assert eval(predicted) == model.predict({"x": x}).tolist()


def test_a_stalled_bell_shaped_leader_turns_the_sampler_to_structure(monkeypatch):
    asked = []
    original = _programcollection.ProgramCollection.generate_programs

    def recording(self, *args):
        asked.append(args[7])   # the types programs may hold
        return original(self, *args)

    monkeypatch.setattr(_programcollection.ProgramCollection, "generate_programs", recording)
    vant.search(bell_data(np.random.default_rng(0), 600), "y", seed=1, rounds=8, population=8, n_jobs=1)
    with_bells = ["gaussian:1" in types for types in asked]
    assert with_bells[0] and not all(with_bells)


@pytest.mark.parametrize("law, ranges, expected", [
    (lambda d: d["n"] * np.exp(-d["t"] / d["tau"]), dict(n=(1, 5), t=(0, 5), tau=(1, 5)), "n*exp(-t/tau)"),
    (lambda d: d["q"] * d["p"] / (4 * np.pi * d["e"] * d["r"] ** 2), dict(q=(1, 5), p=(1, 5), e=(1, 5), r=(1, 5)),
     "0.07958*p*q/(e*r**2)"),
    (lambda d: d["m"] * np.sqrt(d["a"] ** 2 + d["b"] ** 2 + d["c"] ** 2), dict(m=(1, 5), a=(1, 5), b=(1, 5), c=(1, 5)),
     "m*sqrt(a**2 + b**2 + c**2)"),
    # the exponential of a monomial of five inputs, 0 in single precision on some rows
    (lambda d: d["n"] * np.exp(-d["m"] * d["g"] * d["x"] / (d["k"] * d["T"])),
     {name: (1, 5) for name in ("n", "m", "g", "x", "k", "T")}, "n*exp(-g*m*x/(T*k))"),
])
def test_laws_of_powers_and_a_factor_are_found_in_a_few_rounds(law, ranges, expected):
    rng = np.random.default_rng(5)
    data = {name: rng.uniform(low, high, 500) for name, (low, high) in ranges.items()}
    data["y"] = law(data)
    found = vant.search(data, "y", seed=2, rounds=4, population=8, n_jobs=1)[0]
    assert found.expression == expected and found.metrics["stopped"] == "exact"


@pytest.mark.parametrize("max_elements, found_law", [(None, True), (12, False)])
def test_the_default_size_leaves_room_for_a_law_of_every_input(max_elements, found_law):
    # seven quantities: 15 elements, beyond the 12 of a small table
    rng = np.random.default_rng(5)
    data = {name: rng.uniform(1, 5, 500) for name in "abcdefg"}
    data["y"] = data["a"] * data["b"] * data["c"] * data["d"] / (data["e"] * data["f"] * data["g"])
    found = vant.search(data, "y", seed=2, rounds=2, population=8, n_jobs=1, max_elements=max_elements)[0]
    assert (found.expression == "a*b*c*d/(e*f*g)") == found_law
    assert found.size <= (max_elements or 28)
