"""A model's refusal of its data, told apart from a fault.

The native model raises ValueError both for values it cannot compute with
(a training that diverged to infinities, an input that overflows) and for
calls that are wrong (an unknown type name, lists of unequal length).  A
search counts the first kind as a failed start and goes on; the second is a
fault and must surface.  `refusals` turns the first kind into
`ModelRefusal`, and only that is caught.
"""

from __future__ import annotations

import contextlib
from collections.abc import Iterator

# The beginnings of the native messages that the data, not the call, cause.
_CAUSED_BY_DATA = (
    "Data contains nan or infinite values",
    "Input data for ",
    "Expected data for ",
)


class ModelRefusal(ValueError):
    """A model refused the values it was given: a training or a prediction
    ran into NaN or infinite values (the data's own, or the model's
    arithmetic overflowing on them)."""


@contextlib.contextmanager
def refusals() -> Iterator[None]:
    """Re-raise, as ModelRefusal, the native ValueErrors that the data cause;
    every other error passes through as it is."""
    try:
        yield
    except ModelRefusal:
        raise
    except ValueError as error:
        if str(error).startswith(_CAUSED_BY_DATA):
            raise ModelRefusal(str(error)) from error
        raise
