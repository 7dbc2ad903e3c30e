"""vant: small symbolic models trained by the _kestor extension.

`SymbolicRegressor` and `SymbolicClassifier` are scikit-learn estimators
that search for a formula predicting y from the columns of X::

    from sklearn.datasets import load_diabetes
    from vant import SymbolicRegressor
    X, y = load_diabetes(return_X_y=True, as_frame=True)
    model = SymbolicRegressor(time_limit=10, random_state=0).fit(X, y)
    print(model.best_model_.expression)

`search` is the search itself, on a mapping of columns; it returns the
found models as `FoundModel` objects, best first::

    import numpy as np, vant
    x = np.random.default_rng(0).uniform(-2, 2, 2000)
    models = vant.search({"x": x, "y": 3 * np.exp(-x**2)}, "y", seed=1)
    print(models[0].expression)        # 3*exp(-x**2)
    models[0].predict({"x": np.array([0.0, 1.0])})    # array([3., 1.10363832])
"""

from typing import TYPE_CHECKING

from ._basealgo import ProgramCollection
from ._found import FoundModel
from ._progress import SearchState
from ._render import CategoryTable
from ._search import search

if TYPE_CHECKING:  # for type checkers and the API reference; at run time see __getattr__
    from ._estimators import SymbolicClassifier, SymbolicRegressor
    from ._saving import load, load_json

# Imported on first use: the estimators bring in scikit-learn when it is
# installed, and `import vant` stays quick without it.
_LAZY = {
    "SymbolicRegressor": "._estimators",
    "SymbolicClassifier": "._estimators",
    "load": "._saving",
    "load_json": "._saving",
}

__all__ = ["search", "FoundModel", "SearchState", "SymbolicRegressor", "SymbolicClassifier", "load", "load_json",
           "CategoryTable", "ProgramCollection"]


def __getattr__(name: str) -> object:
    if name == "__version__":
        from ._version import version
        globals()[name] = version()
        return globals()[name]
    if name in _LAZY:
        import importlib
        value = getattr(importlib.import_module(_LAZY[name], __name__), name)
        globals()[name] = value
        return value
    raise AttributeError(f"module 'vant' has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_LAZY) | {"__version__"})
