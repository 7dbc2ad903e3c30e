"""vant: small symbolic models trained by the _kestor extension.

`search` looks for formulas that predict a column from the others and
returns them as `FoundModel` objects, best first::

    import numpy as np, vant
    x = np.random.default_rng(0).uniform(-2, 2, 2000)
    models = vant.search({"x": x, "y": 3 * np.exp(-x**2)}, "y", seed=1)
    print(models[0].expression)        # 3*exp(-x**2)
    models[0].predict({"x": np.array([0.0, 1.0])})    # array([3., 1.10363832])
"""

from ._basealgo import ProgramCollection
from ._found import FoundModel
from ._render import CategoryTable
from ._search import search

__all__ = ["search", "FoundModel", "CategoryTable", "ProgramCollection"]
