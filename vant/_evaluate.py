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

import functools
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
    return clamped_count(dnames, fnames, params, data) > 0


def clamped_count(dnames, fnames, params, data: Mapping[str, Any]) -> int:
    """How many (sample, element) pairs of `data` clamp (see `clamp_active`)."""
    values = evaluate_elements(dnames, fnames, params, data, exact=False)
    with np.errstate(invalid="ignore"):
        return sum(int(np.count_nonzero(CATALOGUE[fname].clamped(params[i] or {},
                                                                 _arguments(i, dnames, fnames, data, values))))
                   for i, fname in enumerate(fnames) if CATALOGUE[fname].clamped is not None)


def evaluate(dnames, fnames, params, data) -> np.ndarray:
    """The model's output (element 0) for every sample of `data`."""
    return evaluate_elements(dnames, fnames, params, data)[0]


@functools.lru_cache(maxsize=4096)
def _operands(fnames: tuple) -> tuple:
    """The operand indices of every element (a program's shape, worked out
    once rather than at every evaluation)."""
    return tuple(tuple(operand_indices(fnames, i)) for i in range(len(fnames)))


def link_and_jacobian(dnames, fnames, params, data, slots, exact=False):
    """The output before the root's final function (the prediction itself
    for a linear output) and its derivatives with respect to the parameters
    named by `slots`: (element, name) or (element, "categories", k).
    Unless `exact`, tanh may differ from the element's in the last bit.

    Returns (values, jacobian) with jacobian of shape (samples, len(slots)).
    The derivatives are taken in reverse (one pass down the tree with the
    values, one back up with d output / d element), so an evaluation costs
    a few passes over the rows per element, whatever the number of slots.
    """
    count = len(fnames)
    operands = _operands(tuple(fnames))
    own_slots: dict[int, list] = {}
    for column, slot in enumerate(slots):
        own_slots.setdefault(slot[0], []).append((slot[1] if len(slot) == 2 else slot[1:], column))
    values: list = [None] * count
    arguments: list = [None] * count
    with np.errstate(over="ignore", invalid="ignore", divide="ignore"):
        for i in range(count - 1, -1, -1):
            element = CATALOGUE[fnames[i]]
            if operands[i]:
                args = [values[j] for j in operands[i]]
            else:
                args = _arguments(i, dnames, fnames, data, values)
            arguments[i] = args
            values[i] = (element.link or element.value)(params[i] or {}, args, exact)
        n = len(values[0])
        jacobian = np.zeros((n, len(slots)))
        adjoints: list = [None] * count
        adjoints[0] = 1.0
        for i in range(count):  # prefix order: every parent before its operands
            element, p, adjoint = CATALOGUE[fnames[i]], params[i] or {}, adjoints[i]
            mine = own_slots.get(i)
            if mine:
                partials = element.partials(p, arguments[i], values[i], [key for key, _ in mine])
                for key, column in mine:
                    jacobian[:, column] = adjoint * partials[key]
            if operands[i]:
                slopes = element.operand_derivatives(p, arguments[i], values[i])
                for j, slope in zip(operands[i], slopes):
                    adjoints[j] = adjoint * slope
    return values[0], jacobian
