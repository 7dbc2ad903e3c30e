"""Small symbolic models trained one sample at a time."""

from typing import Any

import numpy as np
import numpy.typing as npt
from typing_extensions import disjoint_base

SQRT_MIN: float
DIVISOR_ABSMIN: float
LOG_MIN: float
CAT_MAX: float
EXP_MAX: float
SQUARED_MAX: float

# One dictionary per element, keyed by the names of its type's parameters:
# floats, the integer "detect_scale", and for "in-cat:0" the list
# "categories" of (category, weight) pairs; categories are told apart as
# dict keys are (1, 1.0 and True are one, -1 and -2 are two).
_ParamDict = dict[str, Any]

def srand(seed: int, /) -> None:
    """Seed the generator that categorical inputs draw their first weight from."""

@disjoint_base
class Model:
    """An expression tree of at most 32 elements in prefix order."""

    def __init__(
        self,
        dnames: list[str],
        fnames: list[str],
        params: list[dict[str, Any]],
        sample_count: int,
        loss: str,
    ) -> None: ...
    def _fit(
        self,
        xarray: dict[str, npt.NDArray[Any]],
        yarray: npt.NDArray[Any] | None,
        sample_weights: npt.NDArray[Any] | None = None,
    ) -> tuple[float, list[_ParamDict]]:
        """Train on every sample in order; returns (mean loss, parameters).

        Numeric sample weights must all be finite and not negative
        (ValueError naming the first bad position, nothing trained).
        """
    def predict(self, xarray: dict[str, npt.NDArray[Any]]) -> npt.NDArray[np.float64]:
        """The root's value for every sample (probabilities for "out-lr:1"); changes nothing."""
    def _jacobian(
        self, xarray: dict[str, npt.NDArray[Any]], slots: list[tuple[int, str]], /
    ) -> npt.NDArray[np.float64] | None:
        """d link / d parameter for every sample: one column per slot of
        (element index, "w" or "bias"); the link is the root's value before
        its final function.  None when an element's type cannot derive its
        value; changes nothing."""
    def activation(self, i: int, /) -> npt.NDArray[np.float64]:
        """The last forward value of element i, as a live one-entry view."""
    @property
    def params(self) -> list[_ParamDict]:
        """The learned parameters of every element."""

@disjoint_base
class KCell:
    """Forwards to a new vant._basealgo._programcollection.ProgramCollection."""

    def __init__(self, *args: object, **kwargs: object) -> None: ...
    def generate_programs(self, *args: Any) -> list[tuple[list[str], list[str]]]: ...
    def update(self, *args: Any) -> Any: ...
    def update_priors(self, *args: Any) -> Any: ...
    def decay(self, *args: Any) -> Any: ...
