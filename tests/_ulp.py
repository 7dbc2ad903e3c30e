"""How closely numpy evaluation must follow the native model.

The native elements call the C library's `exp` and `log`.  numpy computes
float64 `exp` and `log` with its own vectorised code on CPUs with AVX-512,
and that code differs from the C library in the last bit for a few per cent
of arguments.  So numpy evaluation is held to a bound in units in the last
place (ulp), never to equality; only native results and the C library,
called directly, are compared bit for bit.

A last-bit difference inside a program can land on an output that
cancellation has made small (an output register's offset taking away most
of a value near 1), where it is many ulp of that output but one ulp of the
values that were added.  So a whole program is held to ulp of the largest
output magnitude, and a single function to ulp of each value.
"""

import numpy as np

# One ulp per transcendental call, grown by the arithmetic after it.
NUMPY_MAX_ULP = 16


def assert_within_ulp(actual, expected, maxulp: int) -> None:
    """Every value within `maxulp` ulp of its own expected value."""
    np.testing.assert_array_max_ulp(np.asarray(actual, dtype=np.float64),
                                    np.asarray(expected, dtype=np.float64), maxulp=maxulp)


def assert_close_to_native(actual, native, maxulp: int = NUMPY_MAX_ULP, err_msg: str = "") -> None:
    """Every value within `maxulp` ulp of the largest native output magnitude."""
    actual = np.asarray(actual, dtype=np.float64)
    native = np.asarray(native, dtype=np.float64)
    assert actual.shape == native.shape, err_msg
    finite = np.isfinite(native)
    np.testing.assert_array_equal(np.isfinite(actual), finite, err_msg=err_msg)
    np.testing.assert_array_equal(actual[~finite], native[~finite], err_msg=err_msg)
    if not finite.any():
        return
    scale = np.spacing(np.max(np.abs(native[finite])))
    worst = float(np.max(np.abs(actual[finite] - native[finite]))) / scale
    assert worst <= maxulp, f"{err_msg}: {worst:.3g} ulp of the largest output, more than {maxulp}"
