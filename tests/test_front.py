"""The Pareto front of an estimator, its model_selection rule and its plot."""

import re
import sys

import numpy as np
import pytest

import vant
from vant import _front


@pytest.fixture(scope="module")
def fitted():
    rng = np.random.default_rng(6)
    X = rng.uniform(-1, 1, (400, 3))
    y = np.exp(X[:, 0]) * X[:, 1] + 0.3 * X[:, 2] ** 2 + rng.normal(0, 0.01, 400)
    return vant.SymbolicRegressor(rounds=3, population=12, top=20, random_state=0).fit(X, y), X


def test_the_front_falls_with_size_and_covers_every_smaller_best(fitted):
    model, _X = fitted
    front = model._fronts[0]
    sizes, losses = [m.size for m in front], [m.loss for m in front]
    assert sizes == sorted(set(sizes)) and all(a > b for a, b in zip(losses, losses[1:]))
    for other in model.models_:  # nothing found beats a front model of its size or smaller
        assert not any(f.size >= other.size and other.loss < f.loss for f in front)
    pytest.importorskip("pandas")
    table = model.pareto_front_
    assert list(table["size"]) == sizes and table["chosen"].sum() == 1
    assert table.loc[table["chosen"], "model"].item() is model.best_model_


@pytest.mark.parametrize("kind, sizes", [("classification", [2, 4]), ("regression", [2, 4, 6, 8])])
def test_a_classifier_front_ends_where_the_classes_are_separated(kind, sizes):
    from types import SimpleNamespace

    # Size 4 separates the classes; 6 and 8 only steepen its boundary.
    losses = {2: 2e-3, 4: 4e-5, 6: 4e-6, 8: 1e-6}
    models = [SimpleNamespace(size=size, loss=loss, kind=kind) for size, loss in losses.items()]
    assert [m.size for m in _front.pareto_front(models)] == sizes


@pytest.mark.parametrize("rule, pick", [
    ("best", lambda front: min(front, key=lambda m: m.score)), ("accuracy", lambda front: front[-1]),
    (0, lambda front: front[0]), (-1, lambda front: front[-1]),
])
def test_model_selection(fitted, rule, pick):
    model, X = fitted
    front = model._fronts[0]
    assert front[_front.select(front, rule)] is pick(front)
    chosen = vant.SymbolicRegressor(**dict(model.get_params(), model_selection=rule))
    chosen._install(chosen._state_of([model.models_], 3, None, frozenset()))  # the same search, another rule
    np.testing.assert_array_equal(chosen.best_model_.predict({f"x{i}": X[:, i] for i in range(3)}),
                                  pick(front).predict({f"x{i}": X[:, i] for i in range(3)}))


def test_records_without_pandas(fitted, monkeypatch):
    model, _X = fitted
    monkeypatch.setitem(sys.modules, "pandas", None)
    rows = _front.as_table(model._fronts, model._chosen)
    assert isinstance(rows, list) and {"size", "loss", "r2", "expression", "chosen", "model"} <= set(rows[0])


def three_classes():
    rng = np.random.default_rng(1)
    X = rng.normal(size=(300, 2))
    y = (X[:, 0] > 0).astype(int) + (X[:, 1] > 0.5)
    return vant.SymbolicClassifier(rounds=1, population=6, refine=0, random_state=0).fit(X, y)


@pytest.mark.parametrize("make", [lambda fitted: fitted[0], lambda fitted: three_classes()],
                         ids=["regression", "three classes"])
def test_the_plot_saves_whole_with_the_chosen_formulas_below_it(fitted, make, tmp_path):
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    estimator = make(fitted)
    ax = estimator.plot_pareto_front()
    figure = ax.figure
    figure.savefig(tmp_path / "front.png")  # a plain savefig: the layout has to fit the figure
    assert (tmp_path / "front.png").read_bytes()[:4] == b"\x89PNG"
    losses = [model.loss for front in estimator._fronts for model in front]
    assert ax.get_yscale() == ("log" if max(losses) > 10 * min(losses) else "linear")  # decades apart: log
    renderer = figure.canvas.get_renderer()
    legend = ax.get_legend()
    entries = [text.get_text() for text in legend.get_texts()]
    assert len(entries) == len(estimator._chosen)
    assert all(model.expression[:30] in entry for model, entry in zip(estimator._chosen, entries))
    for artist in (ax.yaxis.label, ax.xaxis.label, ax.title, legend):
        box = artist.get_window_extent(renderer)
        assert figure.bbox.x0 <= box.x0 and box.x1 <= figure.bbox.x1 and figure.bbox.y0 <= box.y0 \
            and box.y1 <= figure.bbox.y1, artist
    # below the plot, so that it covers none of the points
    assert legend.get_window_extent(renderer).y1 <= ax.get_window_extent(renderer).y0
    plt.close(figure)


def test_notebook_views():
    pytest.importorskip("sympy")
    register = {"scale": 1.0, "scale_offset": 0.0, "w": 1.0, "bias": 0.0, "detect_scale": 0}
    renamed = vant.FoundModel.from_params(["mass (kg)", "speed (m/s)"], ["out-linear:1", "in-linear:0"],
                                          [dict(register, w=2.0, bias=1.0), register], columns=["speed (m/s)"])
    assert renamed._repr_latex_() == r"$\displaystyle \text{mass (kg)} = 2 \text{speed (m/s)} + 1$"
    # a category key that is markup shows as text in the fitted estimator's view
    model = vant.FoundModel.from_params(
        ["y", "", "k", "x"], ["out-linear:1", "add:2", "in-cat:0", "in-linear:0"],
        [register, {}, {"categories": [("<img src=x>", 1.0), ("b", -1.0)], "bias": 0.0}, register])
    model.loss = 1.0
    estimator = vant.SymbolicRegressor()
    unfitted = estimator._repr_mimebundle_().get("text/html", "")
    estimator._install(estimator._state_of([[model]], 2, None, frozenset({"k"})))
    view = estimator._repr_mimebundle_()["text/html"]
    assert view.startswith(unfitted[:200]) and "vant-fitted" in view and "vant-fitted" not in unfitted
    assert "&lt;img src=x&gt;" in view and "<img src=x>" not in view
    assert html_text(view).count("x + cat(k)") == 2  # the chosen formula, and the front's one row


def html_text(view: str) -> str:
    return re.sub(r"<[^>]+>", " ", view)
