"""numpy evaluation of programs, and the Jacobian the polish works with.

`evaluate` computes what a `_kestor.Model` built from the same lists and
parameters outputs, element by element, in the same operation order, as
the element catalogue describes each element.  `Model.predict` is the
exact path, bit-identical to training's forward pass; numpy evaluation
follows it within 16 units in the last place of the largest output
magnitude (numpy's vectorised exp and log differ from the C library's in the
last bit on CPUs with AVX-512, and the arithmetic after them can grow that a
little).
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np

from ._elements import CATALOGUE
from ._program import operand_indices


def _arguments(i, dnames, fnames, data, values) -> list:
    """The operand values of element i, or for an input register its column."""
    ops = operand_indices(fnames, i)
    if ops:
        return [values[j] for j in ops]
    if dnames[i] not in data:
        raise KeyError(f"missing data column {dnames[i]!r}")
    return [data[dnames[i]]]


def evaluate_elements(dnames: Sequence[str], fnames: Sequence[str], params: Sequence[Mapping],
                      data: Mapping[str, Any], exact: bool = True) -> list[np.ndarray]:
    """Forward value of every element for every sample, in element order.

    exact=False allows a last-bit difference in tanh, for speed.
    """
    count = len(fnames)
    values: list[np.ndarray | None] = [None] * count
    with np.errstate(over="ignore", invalid="ignore", divide="ignore"):
        for i in range(count - 1, -1, -1):
            args = _arguments(i, dnames, fnames, data, values)
            values[i] = CATALOGUE[fnames[i]].value(params[i] or {}, args, exact)
    return values  # type: ignore[return-value]


def clamp_active(dnames, fnames, params, data: Mapping[str, Any]) -> bool:
    """Whether any element replaces its function by a constant for some
    sample of `data`: there the model is not the formula it prints."""
    values = evaluate_elements(dnames, fnames, params, data, exact=False)
    with np.errstate(invalid="ignore"):
        return any(bool(np.any(CATALOGUE[fname].clamped(_arguments(i, dnames, fnames, data, values))))
                   for i, fname in enumerate(fnames) if CATALOGUE[fname].clamped is not None)


def evaluate(dnames, fnames, params, data) -> np.ndarray:
    """The model's output (element 0) for every sample of `data`."""
    return evaluate_elements(dnames, fnames, params, data)[0]


def _column(derivative) -> Any:
    """A per-sample derivative as a column that scales rows of a gradient."""
    return derivative[:, None] if np.ndim(derivative) else derivative


def link_and_jacobian(dnames, fnames, params, data, slots, exact=False):
    """The output before the root's final function (the prediction itself
    for a linear output) and its derivatives with respect to the parameters
    named by `slots`: (element, name) or (element, "categories", k).
    Unless `exact`, tanh may differ from the element's in the last bit.

    Returns (values, jacobian) with jacobian of shape (samples, len(slots)).
    """
    count = len(fnames)
    column_of = {slot: j for j, slot in enumerate(slots)}
    own_slots: dict[int, list] = {}
    for slot in slots:
        own_slots.setdefault(slot[0], []).append(slot[1] if len(slot) == 2 else slot[1:])
    values: list = [None] * count
    grads: list = [None] * count
    with np.errstate(over="ignore", invalid="ignore", divide="ignore"):
        for i in range(count - 1, -1, -1):
            element = CATALOGUE[fnames[i]]
            p = params[i] or {}
            args = _arguments(i, dnames, fnames, data, values)
            value = (element.link or element.value)(p, args, exact)
            ops = operand_indices(fnames, i)
            if ops:
                slopes = element.operand_derivatives(p, args, value)
                d = grads[ops[0]] * _column(slopes[0])
                for j, slope in zip(ops[1:], slopes[1:]):
                    d = d + grads[j] * _column(slope)
            else:
                d = np.zeros((len(value), len(slots)))
            keys = own_slots.get(i, [])
            if keys:
                for key, partial in element.partials(p, args, value, keys).items():
                    column = column_of[(i, key) if isinstance(key, str) else (i, *key)]
                    if ops:
                        d[:, column] += partial
                    else:
                        d[:, column] = partial
            values[i], grads[i] = value, d
    return values[0], grads[0]
