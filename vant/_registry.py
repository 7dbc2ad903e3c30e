"""What the native side defines of each element type, read from it rather
than written again here.

The arity and parameter names come from `_kestor`'s registry, through the
lookup the library exports (`kestor_find_interactiontype`): the descriptor
of a type states them.  A type of another native module (`vant._operators`) is in the
registry once that module is imported, which reading it does.  The values
the elements clamp to come from the elements themselves: a model of the one
element between identity registers predicts, to the bit, the element's value
at an operand inside its clamp.
"""

from __future__ import annotations

import ctypes
import functools
import importlib

import numpy as np

import _kestor


class _Descriptor(ctypes.Structure):
    """The leading fields of the registry's InteractionType records."""
    _fields_ = [
        ("name", ctypes.c_char_p),
        ("arity", ctypes.c_int32),
        ("forward", ctypes.c_void_p),
        ("reverse", ctypes.c_void_p),
        ("attributes", ctypes.POINTER(ctypes.c_char_p)),
    ]


@functools.cache
def _lookup():
    """kestor_find_interactiontype of the loaded `_kestor` library."""
    find = ctypes.PyDLL(_kestor.__file__).kestor_find_interactiontype
    find.argtypes = [ctypes.c_char_p]
    find.restype = ctypes.POINTER(_Descriptor)
    return find


def _descriptor(fname: str, module: str) -> _Descriptor:
    """The registry's descriptor of a type, after importing `module`, which
    registers the type."""
    importlib.import_module(module)
    found = _lookup()(fname.encode())
    if not found:
        raise LookupError(f"{fname!r} is not in _kestor's registry after importing {module}")
    return found.contents


@functools.cache
def arity(fname: str, module: str = "_kestor") -> int:
    """The number of operands of a type, as its descriptor states it."""
    return int(_descriptor(fname, module).arity)


@functools.cache
def parameter_names(fname: str, module: str = "_kestor") -> tuple[str, ...]:
    """The names of a type's parameters, in the order its descriptor lists
    them."""
    names: list[str] = []
    listed = _descriptor(fname, module).attributes
    while listed and listed[len(names)] is not None:
        names.append(listed[len(names)].decode())
    return tuple(names)


_IDENTITY = {"scale": 1.0, "scale_offset": 0.0, "w": 1.0, "bias": 0.0, "detect_scale": 0}


def element_value(fname: str, operand: float) -> float:
    """The value of a one-operand `_kestor` element without parameters at
    `operand`: the identity input and output registers around it leave it
    unchanged ((x - 0) * 1 * 1 + 0)."""
    model = _kestor.Model(["y", "", "x"], ["out-linear:1", fname, "in-linear:0"],
                          [dict(_IDENTITY), {}, dict(_IDENTITY)], 0, "squared_error")
    return float(model.predict({"x": np.array([operand])})[0])
