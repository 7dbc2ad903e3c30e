"""The Pareto front of an estimator, its model_selection rule and its plot."""

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


def test_plot_writes_a_png(fitted, tmp_path):
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    model, _X = fitted
    ax = model.plot_pareto_front()
    assert ax.get_xlabel().startswith("size") and "chosen" in [t.get_text() for t in ax.get_legend().get_texts()]
    ax.figure.savefig(tmp_path / "front.png")
    plt.close(ax.figure)
    assert (tmp_path / "front.png").read_bytes()[:4] == b"\x89PNG"
