"""How closely numpy evaluation must follow the native model.

The native elements call the C library's `exp` and `log`.  numpy computes
float64 `exp` and `log` with its own vectorised code on CPUs with AVX-512,
and that code differs from the C library in the last bit for a few per cent
of arguments.  So numpy evaluation is held to a bound in units in the last
place (ulp), never to equality; only native results and the C library,
called directly, are compared bit for bit.
"""

import numpy as np

# One ulp per transcendental call, grown by the arithmetic after it (an
# affine output register can cancel a few leading bits).
NUMPY_MAX_ULP = 16


def assert_close_to_native(actual, native, maxulp: int = NUMPY_MAX_ULP, err_msg: str = "") -> None:
    actual = np.asarray(actual, dtype=np.float64)
    native = np.asarray(native, dtype=np.float64)
    try:
        np.testing.assert_array_max_ulp(actual, native, maxulp=maxulp)
    except AssertionError as error:
        raise AssertionError(f"{err_msg}: {error}" if err_msg else str(error)) from None
