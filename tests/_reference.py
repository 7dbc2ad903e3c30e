"""Bit-exact pure-Python models of the arithmetic the extension performs.

Python floats are IEEE doubles and Python never fuses a multiply and an add,
so writing the operations in the same order as the extension gives the same
bits.  The 32-bit steps of the losses use numpy float32 scalars and the C
library's own single-precision logarithm (numpy's vectorised float32 log is
not guaranteed to round like the libm function the extension calls).
"""

import ctypes
import ctypes.util
import math
import struct

import numpy as np

DBL_MAX = 1.7976931348623157e308
INT32_MAX = 2**31 - 1

_libm = ctypes.CDLL(ctypes.util.find_library("m") or "libm.so.6")
_libm.logf.argtypes = [ctypes.c_float]
_libm.logf.restype = ctypes.c_float


def f32(x):
    """Round a double to the nearest float32 (inf when out of range)."""
    with np.errstate(all="ignore"):
        return np.float32(x)


def logf(x):
    """Single-precision natural logarithm of a double rounded to float32, widened."""
    return float(_libm.logf(float(f32(x))))


def bits(x):
    """Exact identity of a double for comparisons (keeps -0.0 apart from 0.0)."""
    if isinstance(x, float) and math.isnan(x):
        return "nan"
    if isinstance(x, float):
        return struct.pack("<d", x).hex()
    return x


def params_bits(params):
    """Parameter list with every float replaced by its bit pattern, key order kept."""
    return [[(k, bits(v)) for k, v in entry.items()] for entry in params]


def fdiv(a, b):
    """IEEE division (Python raises on a zero divisor, C does not)."""
    if b == 0.0:
        with np.errstate(all="ignore"):
            return float(np.float64(a) / np.float64(b))
    return a / b


# ---------------------------------------------------------------------------
# Losses: expected value first, prediction second.

def absolute_error(e, p):
    return abs(e - p)


def absolute_error_derivative(e, p):
    return -1.0 if e >= p else 1.0


def squared_error(e, p):
    d = f32(p - e)
    with np.errstate(all="ignore"):
        return float(d * d)  # float32 product


def squared_error_derivative(e, p):
    return (p - e) + (p - e)


def binary_cross_entropy(e, p):
    q = p
    if p < 1e-7:
        q = 1e-7
    elif p > 0.9999999:
        q = 0.9999999
    a = logf(q)
    b = logf(1.0 - q)
    return (-e) * a - (1 - e) * b


def binary_cross_entropy_derivative(e, p):
    return p if e == 0.0 else p - 1.0


LOSSES = {
    "absolute_error": (absolute_error, absolute_error_derivative),
    "squared_error": (squared_error, squared_error_derivative),
    "binary_cross_entropy": (binary_cross_entropy, binary_cross_entropy_derivative),
}


# ---------------------------------------------------------------------------
# Update rule.

def rate_factor(count_before):
    """Learning-rate multiplier of one training call; negative counters use 2.0."""
    if count_before < 0:
        return 2.0
    return 2.0 / (count_before // 10000 + 1)


def advance_count(count, n):
    """The sample counter after a call of n samples, saturating at 2**31-1."""
    return min(count + n, INT32_MAX)


def adam_step(p, m, v, g, lr, t):
    """One update; returns the new (p, m, v).  t <= 0 corrects as t = 1."""
    m = 0.9 * m + 0.09999999999999998 * g
    v = 0.999 * v + (0.0010000000000000009 * g) * g
    if t < 1:
        t = 1
    if t < 30:
        m_hat = m / (1.0 - math.pow(0.9, float(t)))
        v_hat = v / (1.0 - math.pow(0.999, float(t)))
    elif t < 2000:
        m_hat = m
        v_hat = v / (1.0 - math.pow(0.999, float(t)))
    else:
        m_hat = m
        v_hat = v
    p = p - fdiv(m_hat, math.sqrt(v_hat) + 1e-7) * lr
    return p, m, v


# ---------------------------------------------------------------------------
# Typed sample reads.

SUPPORTED_TYPE_NUMS = {0, 1, 2, 3, 5, 7, 11, 12}


class DataFault(Exception):
    """A per-sample failure: status -1 (not finite) or -2 (unsupported)."""

    MESSAGES = {-1: "Data contains nan or infinite values", -2: "Data contains unsupported dtypes"}

    def __init__(self, status):
        super().__init__(self.MESSAGES[status])
        self.status = status


def readable(array):
    return array.dtype.num in SUPPORTED_TYPE_NUMS and array.dtype.isnative


def read_value(array, k):
    if not readable(array):
        raise DataFault(-2)
    x = float(int(array[k])) if array.dtype.num == 0 else float(array[k])
    if not abs(x) <= DBL_MAX:
        raise DataFault(-1)
    return x


def read_weight(array, k):
    if not readable(array):
        return 0.0
    return float(int(array[k])) if array.dtype.num == 0 else float(array[k])


# ---------------------------------------------------------------------------
# Reference of the two-element model out-linear:1 over in-linear:0.

DEFAULT_LINEAR = {"scale": 1.0, "scale_offset": 0.0, "w": 0.0, "bias": 0.0, "detect_scale": 1}


class _LinearState:
    def __init__(self, given):
        values = dict(DEFAULT_LINEAR)
        for key in DEFAULT_LINEAR:
            if key in given:
                value = given[key]
                values[key] = int(value) if key == "detect_scale" else float(value)
        self.scale = values["scale"]
        self.scale_offset = values["scale_offset"]
        self.w = values["w"]
        self.bias = values["bias"]
        self.detect_scale = values["detect_scale"]
        self.w_m = self.w_v = self.bias_m = self.bias_v = 0.0

    def params(self):
        return {
            "scale": self.scale,
            "scale_offset": self.scale_offset,
            "w": self.w,
            "bias": self.bias,
            "detect_scale": self.detect_scale,
        }

    def update(self, g_w, g_bias, lr, t):
        self.w, self.w_m, self.w_v = adam_step(self.w, self.w_m, self.w_v, g_w, lr, t)
        self.bias, self.bias_m, self.bias_v = adam_step(self.bias, self.bias_m, self.bias_v, g_bias, lr, t)


def _extremes(array):
    return float(np.max(array)), float(np.min(array))


def _finite(x):
    return abs(x) <= DBL_MAX


class LinearPairReference:
    """Trains like Model(["y", "x"], ["out-linear:1", "in-linear:0"], [root, leaf], count, loss)."""

    def __init__(self, root, leaf, sample_count, loss, xname="x", yname="y"):
        self.root = _LinearState(root)
        self.leaf = _LinearState(leaf)
        self.sample_count = sample_count
        self.loss_fn, self.loss_derivative = LOSSES[loss]
        self.xname, self.yname = xname, yname
        self.activation = [None, None]

    @property
    def params(self):
        return [self.root.params(), self.leaf.params()]

    def _bind_input(self, x):
        leaf = self.leaf
        if not leaf.detect_scale:
            return
        hi, lo = _extremes(x)
        if not (_finite(hi) and _finite(lo)):
            raise ValueError(f"Input data for '{self.xname}' contains nan or infinite values")
        if hi > lo:
            leaf.scale = 2.0 / (hi - lo)
            leaf.scale_offset = hi - 1.0 / leaf.scale
        else:
            leaf.scale = 1.0
        leaf.detect_scale = 0

    def _bind_expected(self, y):
        root = self.root
        if not root.detect_scale:
            return
        hi, lo = _extremes(y)
        if not (_finite(hi) and _finite(lo)):
            raise ValueError(f"Expected data for '{self.yname}' contains nan or infinite values")
        if hi > lo:
            root.scale_offset = 0.0
            root.detect_scale = 0
            root.scale = 0.5 * (hi - lo)
        else:
            root.scale = 1.0

    def fit(self, x, y, weights=None):
        """Returns (mean loss, params) or raises what _fit raises, leaving the same state."""
        n = len(x)
        self._bind_input(x)
        self._bind_expected(y)
        t_before = self.sample_count
        self.sample_count = advance_count(t_before, n)
        rf = rate_factor(t_before)
        t = self.sample_count
        losses = []
        root, leaf = self.root, self.leaf
        for k in range(n):
            # forward, last element first
            xv = read_value(x, k)
            a1 = ((xv - leaf.scale_offset) * leaf.scale) * leaf.w + leaf.bias
            self.activation[1] = a1
            pred = ((a1 * root.w) + root.bias) * root.scale + root.scale_offset
            self.activation[0] = pred
            yv = read_value(y, k)
            loss = self.loss_fn(yv, pred)
            if weights is not None:
                loss = loss * read_weight(weights, k)
            losses.append(loss)
            # reverse, root first
            d = self.loss_derivative(yv, pred)
            if weights is not None:
                d = d * read_weight(weights, k)
            g = fdiv(d, root.scale)
            grad1 = root.w * g + 0.0
            root.update(a1 * g, g, 0.003 * rf, t)
            leaf.update((xv * leaf.scale) * grad1, grad1, 0.001 * rf, t)
        if n == 0:
            raise ValueError("Error computing mean")
        total = 0.0
        for loss in losses:
            total += loss
        return total / n, self.params
