"""Native records of the extension, as laid out in kestor.h, for ctypes tests."""

import ctypes

import _kestor

# forward and reverse: (model, index, sample count) -> status
STEP = ctypes.CFUNCTYPE(ctypes.c_int32, ctypes.c_void_p, ctypes.c_int32, ctypes.c_int32)


class InteractionType(ctypes.Structure):
    pass


InteractionType._fields_ = [
    ("name", ctypes.c_char_p),
    ("arity", ctypes.c_int32),
    ("forward", STEP),
    ("reverse", STEP),
    ("attributes", ctypes.POINTER(ctypes.c_char_p)),
    ("setattr", ctypes.c_void_p),
    ("getattr", ctypes.c_void_p),
    ("allocate", ctypes.c_void_p),
    ("deallocate", ctypes.c_void_p),
    ("set_inputarray", ctypes.c_void_p),
    ("set_expectedarray", ctypes.c_void_p),
    ("create_outputarray", ctypes.c_void_p),
    ("get_outputarray", ctypes.c_void_p),
    ("next", ctypes.POINTER(InteractionType)),
]


class ModelRecord(ctypes.Structure):
    _fields_ = [
        ("ob_refcnt", ctypes.c_ssize_t),
        ("ob_type", ctypes.c_void_p),
        ("thread_state", ctypes.c_void_p),
        ("sample_count", ctypes.c_int32),
        ("count", ctypes.c_int32),
        ("state", ctypes.c_void_p * 32),
        ("type", ctypes.POINTER(InteractionType) * 32),
        ("batch_length", ctypes.c_int32),
        ("activation", ctypes.c_double * 32),
        ("gradient", ctypes.c_double * 32),
        ("name", ctypes.c_void_p * 32),
        ("second_operand", ctypes.c_int32 * 32),
        ("loss_fn", ctypes.c_void_p),
        ("loss_derivative", ctypes.c_void_p),
        ("rate_factor", ctypes.c_double),
    ]


def load_library(loader=ctypes.CDLL):
    """The library already loaded by the import (so its live registry), with
    the registry functions typed.

    ctypes.CDLL releases the interpreter lock during calls; pass ctypes.PyDLL
    to keep it when calling functions that use the Python API.
    """
    lib = loader(_kestor.__file__)
    lib.kestor_find_interactiontype.argtypes = [ctypes.c_char_p]
    lib.kestor_find_interactiontype.restype = ctypes.POINTER(InteractionType)
    lib.kestor_add_interactiontype.argtypes = [ctypes.POINTER(InteractionType)]
    lib.kestor_add_interactiontype.restype = ctypes.c_int
    return lib


def address(fn):
    """The address a function pointer or callback holds (comparable, unlike
    the ctypes objects, which each read of a slot creates anew)."""
    return ctypes.cast(fn, ctypes.c_void_p).value
