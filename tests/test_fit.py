"""Training driver, parameter and activation access, and the numeric registers
under it, checked to the bit against the pure-Python reference."""

import gc
import math
import re
from collections import OrderedDict

import numpy as np
import pytest

import _kestor
import _reference as ref
from _reference import DataFault, bits, params_bits

Model = _kestor.Model

NO_DETECT = {"detect_scale": 0}


def assert_same_call(model, reference, x, y, weights=None):
    """One _fit on both; same result, or the same error and the same state."""
    args = (y,) if weights is None else (y, weights)
    try:
        expected = reference.fit(x, y, weights)
    except (ValueError, DataFault) as exc:
        with pytest.raises(ValueError) as info:
            model._fit({"x": x}, *args)
        assert str(info.value) == str(exc)
        assert params_bits(model.params) == params_bits(reference.params)
        return None
    mean, params = model._fit({"x": x}, *args)
    assert bits(mean) == bits(expected[0])
    assert params_bits(params) == params_bits(expected[1])
    assert params_bits(model.params) == params_bits(params)
    return mean


def assert_next_call_matches(model, reference, n=3, seed=0):
    """A follow-up call pins the sample counter, the moments and the parameters."""
    rng = np.random.default_rng(seed)
    x = rng.normal(size=n)
    y = rng.normal(size=n)
    assert_same_call(model, reference, x, y)


# ---------------------------------------------------------------------------
# The reference's update rule against the worked values.

def test_reference_adam_step_first_step():
    p, m, v = ref.adam_step(0.0, 0.0, 0.0, 1.0, 1.0, 1)
    assert (p, m, v) == (-0.9999999000000099, 0.09999999999999998, 0.0010000000000000009)


@pytest.mark.parametrize("t,move", [(29, 0.5612), (30, 0.5438), (1999, 2.9405), (2000, 3.1623), (10**6, 3.1623)])
def test_reference_adam_step_regimes(t, move):
    p, _, _ = ref.adam_step(0.0, 0.0, 0.0, 1.0, 1.0, t)
    assert round(-p, 4) == move


def test_reference_adam_step_without_correction():
    p, _, _ = ref.adam_step(0.0, 0.0, 0.0, 1.0, 1.0, 2000)
    assert p == -(0.09999999999999998 / (math.sqrt(0.0010000000000000009) + 1e-7))


# ---------------------------------------------------------------------------
# Hand-computed single sample.

def test_single_sample_by_hand():
    root = {"scale": 2.0, "scale_offset": 1.0, "w": 0.5, "bias": 0.1, "detect_scale": 0}
    leaf = {"scale": 0.25, "scale_offset": 1.0, "w": 0.8, "bias": -0.2, "detect_scale": 0}
    model = Model(["y", "x"], ["out-linear:1", "in-linear:0"], [root, leaf], 0, "squared_error")
    mean, params = model._fit({"x": np.array([3.0])}, np.array([2.0]))

    a1 = ((3.0 - 1.0) * 0.25) * 0.8 + -0.2  # 0.2
    pred = ((a1 * 0.5) + 0.1) * 2.0 + 1.0  # 1.4
    d32 = np.float32(pred - 2.0)
    assert mean == float(d32 * d32)
    assert model.activation(0)[0] == pred and model.activation(1)[0] == a1

    g = ((pred - 2.0) + (pred - 2.0)) / 2.0
    lr_out, lr_in = 0.003 * 2.0, 0.001 * 2.0

    def first_step(p, grad, lr):  # fresh moments at t = 1: the corrections cancel the gains
        m = 0.09999999999999998 * grad
        v = (0.0010000000000000009 * grad) * grad
        return p - ((m / (1.0 - 0.9)) / (math.sqrt(v / (1.0 - 0.999)) + 1e-7)) * lr

    grad1 = 0.5 * g + 0.0
    assert params[0]["w"] == first_step(0.5, a1 * g, lr_out)
    assert params[0]["bias"] == first_step(0.1, g, lr_out)
    assert params[1]["w"] == first_step(0.8, (3.0 * 0.25) * grad1, lr_in)
    assert params[1]["bias"] == first_step(-0.2, grad1, lr_in)
    assert [params[0]["scale"], params[0]["scale_offset"], params[1]["scale"], params[1]["scale_offset"]] == [2.0, 1.0, 0.25, 1.0]


def test_result_shape(make_pair):
    model, _ = make_pair()
    result = model._fit({"x": np.arange(4.0)}, np.arange(4.0))
    assert type(result) is tuple and len(result) == 2
    assert type(result[0]) is float and type(result[1]) is list


# ---------------------------------------------------------------------------
# Update schedule: step number and rate factor.

COUNTS = [0, 1, 27, 28, 29, 30, 1998, 1999, 2000, 5000, 9998, 9999, 10000, 19999, 20000, 29999, 30000,
          90000, 99999, 10**6, -1, -2, -5, -9999, -10000, -20000, -(2**31), 2**31 - 4, 2**31 - 2, 2**31 - 1]


@pytest.mark.parametrize("count", COUNTS)
@pytest.mark.parametrize("n", [1, 3])
def test_update_schedule(make_pair, count, n):
    model, reference = make_pair(root={"w": 0.3, "bias": 0.1}, leaf={"w": -0.4, "bias": 0.2}, sample_count=count)
    rng = np.random.default_rng(count % 1000 + n)
    assert_same_call(model, reference, rng.normal(size=n), rng.normal(size=n))
    assert_next_call_matches(model, reference)


def test_negative_counters_train_like_zero(make_pair):
    baseline, _ = make_pair(sample_count=0)
    x, y = np.array([0.5]), np.array([2.0])  # one sample: step 1 for the baseline
    expected = params_bits(baseline._fit({"x": x}, y)[1])
    for count in (-1, -2, -20000, -(2**31)):
        model, _ = make_pair(sample_count=count)
        assert params_bits(model._fit({"x": x}, y)[1]) == expected, count


def test_rate_factor_changes_across_the_10000_border(make_pair):
    model, reference = make_pair(sample_count=9998)
    rng = np.random.default_rng(5)
    for n in (1, 5, 1, 1):  # counters 9998, 9999, 10004, 10005
        assert_same_call(model, reference, rng.normal(size=n), rng.normal(size=n))


def test_first_10000_samples_use_rate_two_then_one(make_pair):
    model, reference = make_pair()
    rng = np.random.default_rng(7)
    for n in (9999, 1, 1):
        assert_same_call(model, reference, rng.normal(size=n), rng.normal(size=n))


def test_counter_saturates(make_pair):
    model, reference = make_pair(sample_count=2**31 - 2)
    rng = np.random.default_rng(11)
    assert_same_call(model, reference, rng.normal(size=3), rng.normal(size=3))
    assert reference.sample_count == 2**31 - 1
    # a wrapped counter would be negative: rate 2.0 and full bias correction
    assert_same_call(model, reference, rng.normal(size=2), rng.normal(size=2))


# ---------------------------------------------------------------------------
# Scale detection.

def test_detects_input_and_expected_scales(make_pair):
    model, reference = make_pair()
    assert_same_call(model, reference, np.arange(11.0), np.arange(11.0)[::-1].copy())
    params = model.params
    assert (params[1]["scale"], params[1]["scale_offset"], params[1]["detect_scale"]) == (0.2, 5.0, 0)
    assert (params[0]["scale"], params[0]["scale_offset"], params[0]["detect_scale"]) == (5.0, 0.0, 0)


def test_boolean_column_scale(make_pair):
    model, reference = make_pair()
    assert_same_call(model, reference, np.array([False, True, True]), np.array([1.0, 2.0, 3.0]))
    assert (model.params[1]["scale"], model.params[1]["scale_offset"]) == (2.0, 0.5)


def test_constant_input_column_keeps_its_offset_and_stops_detecting(make_pair):
    model, reference = make_pair(leaf={"scale_offset": 0.75, "scale": 3.0})
    assert_same_call(model, reference, np.full(4, 3.0), np.arange(4.0))
    assert (model.params[1]["scale"], model.params[1]["scale_offset"], model.params[1]["detect_scale"]) == (1.0, 0.75, 0)
    assert_same_call(model, reference, np.arange(5.0) * 10, np.arange(5.0))
    assert model.params[1]["scale"] == 1.0


def test_constant_expected_values_keep_detecting(make_pair):
    model, reference = make_pair(root={"scale": 4.0, "scale_offset": 2.0})
    assert_same_call(model, reference, np.arange(3.0), np.full(3, 7.0))
    assert (model.params[0]["scale"], model.params[0]["scale_offset"], model.params[0]["detect_scale"]) == (1.0, 2.0, 1)
    assert_same_call(model, reference, np.arange(3.0), np.array([0.0, 4.0, 2.0]))
    assert (model.params[0]["scale"], model.params[0]["scale_offset"], model.params[0]["detect_scale"]) == (2.0, 0.0, 0)


def test_detection_resets_a_supplied_expected_offset(make_pair):
    model, reference = make_pair(root={"scale_offset": 3.0})
    assert_same_call(model, reference, np.arange(3.0), np.array([1.0, 5.0, 2.0]))
    assert model.params[0]["scale_offset"] == 0.0


def test_redetection_when_requested_again(make_pair):
    model, _ = make_pair()
    model._fit({"x": np.arange(11.0)}, np.arange(11.0))
    params = model.params
    params[1]["detect_scale"] = 1
    rebuilt = Model(["y", "x"], ["out-linear:1", "in-linear:0"], params, 0, "squared_error")
    rebuilt._fit({"x": np.arange(5.0)}, np.arange(5.0))
    assert (rebuilt.params[1]["scale"], rebuilt.params[1]["scale_offset"]) == (0.5, 2.0)


@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
def test_non_finite_input_column_at_first_binding(make_pair, bad):
    model, reference = make_pair(sample_count=5)
    x = np.array([1.0, bad, 2.0])
    assert_same_call(model, reference, x, np.arange(3.0))
    assert model.params[1]["detect_scale"] == 1 and model.params[1]["scale"] == 1.0
    assert_next_call_matches(model, reference)  # counter unchanged, nothing trained


@pytest.mark.parametrize("bad", [np.nan, np.inf])
def test_non_finite_expected_values_at_first_binding(make_pair, bad):
    model, reference = make_pair()
    assert_same_call(model, reference, np.arange(3.0), np.array([0.0, bad, 1.0]))
    assert model.params[0]["detect_scale"] == 1
    assert model.params[1]["detect_scale"] == 0  # the input was bound first
    assert_next_call_matches(model, reference)


def test_input_scale_message_names_the_column():
    model = Model(["target", "height"], ["out-linear:1", "in-linear:0"], [{}, {}], 0, "squared_error")
    with pytest.raises(ValueError, match=r"^Input data for 'height' contains nan or infinite values$"):
        model._fit({"height": np.array([np.nan, 1.0])}, np.arange(2.0))
    with pytest.raises(ValueError, match=r"^Expected data for 'target' contains nan or infinite values$"):
        model._fit({"height": np.array([0.0, 1.0])}, np.array([np.nan, 1.0]))


# ---------------------------------------------------------------------------
# Typed reads.

SUPPORTED = [np.bool_, np.int8, np.uint8, np.int16, np.int32, np.int64, np.float32, np.float64]


def values_for(dtype, n=6):
    if dtype is np.bool_:
        return np.array([True, False, True, True, False, True][:n])
    if dtype is np.uint8:
        return np.array([3, 250, 7, 0, 128, 1][:n], dtype=dtype)
    if np.issubdtype(dtype, np.integer):
        return np.array([3, -100, 7, 0, 127, -1][:n], dtype=dtype)
    return np.array([0.1, -2.5, 3.75, 1e-3, 7.0, -0.3][:n], dtype=dtype)


@pytest.mark.parametrize("dtype", SUPPORTED, ids=lambda d: np.dtype(d).name)
@pytest.mark.parametrize("where", ["x", "y", "weights"])
@pytest.mark.parametrize("detect", [0, 1])
def test_supported_dtypes(make_pair, dtype, where, detect):
    model, reference = make_pair(root={"detect_scale": detect, "w": 0.5}, leaf={"detect_scale": detect, "w": 0.25})
    x, y, w = np.linspace(-1.0, 2.0, 6), np.linspace(3.0, 0.5, 6), None
    if where == "x":
        x = values_for(dtype)
    elif where == "y":
        y = values_for(dtype)
    else:
        w = np.abs(values_for(dtype))  # weights must not be negative
    assert_same_call(model, reference, x, y, w)


def test_int64_values_are_read_as_64_bit_integers(make_pair):
    x = np.array([2**53 + 1, -(2**40), 5], dtype=np.int64)
    assert x.dtype.num == 7
    model, reference = make_pair(leaf=NO_DETECT)
    assert_same_call(model, reference, x, np.arange(3.0))
    assert model.activation(1)[0] == reference.activation[1]


def strided_cases():
    base = np.arange(30.0) * 0.5 - 4.0
    unaligned = np.frombuffer(b"\0" + np.linspace(-1, 1, 8).tobytes(), dtype=np.float64, offset=1)
    return {
        "step2": base[::2],
        "step3-offset": base[1::3],
        "reversed": base[::-1],
        "reversed-step": base[-1::-4],
        "column-of-2d": np.arange(24.0).reshape(8, 3)[:, 1],
        "int16-strided": (np.arange(40, dtype=np.int16) - 20)[::5],
        "float32-reversed": np.linspace(-3, 3, 9, dtype=np.float32)[::-1],
        "unaligned": unaligned,
    }


@pytest.mark.parametrize("case", list(strided_cases()))
@pytest.mark.parametrize("where", ["x", "y", "weights"])
def test_strided_and_reversed_arrays(make_pair, case, where):
    array = strided_cases()[case]
    n = len(array)
    model, reference = make_pair(root={"w": 0.5}, leaf={"w": 0.25})
    x, y, w = np.linspace(-1.0, 2.0, n), np.linspace(3.0, 0.5, n), None
    if where == "x":
        x = array
    elif where == "y":
        y = array
    else:
        w = np.abs(array)
    assert_same_call(model, reference, x, y, w)
    if where == "x":
        assert model.activation(1)[0] == reference.activation[1]


UNSUPPORTED = {
    "uint16": np.array([1, 2, 3], dtype=np.uint16),
    "uint32": np.array([1, 2, 3], dtype=np.uint32),
    "uint64": np.array([1, 2, 3], dtype=np.uint64),
    "float16": np.array([1, 2, 3], dtype=np.float16),
    "complex": np.array([1, 2, 3], dtype=np.complex128),
    "object": np.array([1.0, 2.0, 3.0], dtype=object),
    "byteswapped": np.array([1, 2, 3], dtype=">f8"),
    "byteswapped-int": np.array([1, 2, 3], dtype=">i4"),
    "longlong": np.array([1, 2, 3], dtype=np.longlong),
    "longdouble": np.array([1, 2, 3], dtype=np.longdouble),
}


@pytest.mark.parametrize("case", list(UNSUPPORTED))
@pytest.mark.parametrize("where", ["x", "y"])
def test_unsupported_dtypes(make_pair, case, where):
    array = UNSUPPORTED[case]
    if case == "longlong" and array.dtype.num == 7:
        pytest.skip("long long is the 64-bit long here")
    model, reference = make_pair(root=NO_DETECT, leaf=NO_DETECT, sample_count=40)
    x, y = np.arange(3.0), np.arange(3.0)
    if where == "x":
        x = array
    else:
        y = array
    with pytest.raises(ValueError) as info:
        model._fit({"x": x}, y)
    assert str(info.value) == "Data contains unsupported dtypes"
    with pytest.raises(DataFault):
        reference.fit(x, y)
    assert params_bits(model.params) == params_bits(reference.params)
    assert_next_call_matches(model, reference)  # the counter grew by n


@pytest.mark.parametrize("case", ["float16", "byteswapped"])
def test_unsupported_input_dtype_after_scale_detection(make_pair, case):
    model, reference = make_pair()
    assert_same_call(model, reference, UNSUPPORTED[case], np.arange(3.0))
    assert model.params[1]["detect_scale"] == 0


# ---------------------------------------------------------------------------
# Failures part-way through the samples.

@pytest.mark.parametrize("k", [0, 1, 4])
@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
def test_non_finite_input_at_sample_k(make_pair, k, bad):
    model, reference = make_pair(root={"w": 0.5}, leaf={"detect_scale": 0, "w": 0.25}, sample_count=20)
    x = np.linspace(-1.0, 1.0, 5)
    x[k] = bad
    y = np.linspace(0.0, 2.0, 5)
    assert_same_call(model, reference, x, y)  # samples before k trained, the error raised
    assert reference.sample_count == 25
    assert_next_call_matches(model, reference)


@pytest.mark.parametrize("k", [0, 2, 4])
def test_non_finite_expected_value_at_sample_k(make_pair, k):
    model, reference = make_pair(root={"detect_scale": 0, "w": 0.5}, leaf={"w": 0.25})
    y = np.linspace(0.0, 2.0, 5)
    y[k] = np.nan
    assert_same_call(model, reference, np.linspace(-1.0, 1.0, 5), y)
    # the prediction for the failing sample was already written
    assert model.activation(0)[0] == reference.activation[0]
    assert_next_call_matches(model, reference)


# ---------------------------------------------------------------------------
# Sample weights.

def test_weights_none_is_unweighted(make_pair):
    model, _ = make_pair()
    other, _ = make_pair()
    x, y = np.arange(4.0), np.array([1.0, 0.0, 3.0, 2.0])
    keyword, _ = make_pair()
    expected = other._fit({"x": x}, y)
    assert model._fit({"x": x}, y, None) == expected
    assert keyword._fit(xarray={"x": x}, yarray=y, sample_weights=None) == expected


@pytest.mark.parametrize(
    "weights",
    [np.zeros(4), np.array([1.0, 0.0, 2.0, 0.5]), np.array([1, 0, 3, 1], dtype=np.int32),
     np.ones(10), np.array([1.0, 2.0, 3.0, 4.0], dtype=np.float16), np.array([1.0, -0.0, 2.0, 1.0]),
     np.array([1.0, np.nan, -np.inf, -1.0], dtype=np.float16), np.array([1.0, np.nan, -1.0, 1.0], dtype=">f8")],
    ids=["zeros", "mixed", "int32", "longer", "float16", "negative-zero", "unsupported-nan", "swapped-nan"],
)
def test_sample_weights(make_pair, weights):
    model, reference = make_pair(root={"w": 0.5}, leaf={"w": -0.25}, sample_count=3)
    x, y = np.array([1.0, -2.0, 0.5, 3.0]), np.array([2.0, 0.0, 1.0, -1.0])
    assert_same_call(model, reference, x, y, weights)
    assert_same_call(model, reference, x, y, weights)


@pytest.mark.parametrize("weights, bad", [
    (np.array([1.0, 1.0, np.nan, 1.0]), "[2] is nan"),
    (np.array([np.inf, 1.0, 1.0, 1.0]), "[0] is inf"),
    (np.array([1.0, 1.0, 1.0, -np.inf]), "[3] is -inf"),
    (np.array([1.0, 2.0, 1.0, -0.5], dtype=np.float32), "[3] is -0.5"),
    (np.array([1, -3, 1, -1], dtype=np.int64), "[1] is -3.0"),
    (np.array([1, 1, 1, -1], dtype=np.int8), "[3] is -1.0"),
    (np.array([1.0, 1.0, 1.0, 1.0, 1.0, np.nan]), "[5] is nan"),  # past the samples of X
    (np.array([1.0, 9.0, -2.0, 9.0, 1.0, 9.0, 1.0])[::2], "[1] is -2.0"),
], ids=["nan", "inf", "-inf", "negative-float32", "negative-int64", "negative-int8", "past-n", "strided"])
def test_bad_weight_values_are_refused_before_binding(make_pair, weights, bad):
    model, reference = make_pair(sample_count=5)  # scales still to detect: binding would change them
    with pytest.raises(ValueError, match=r"^sample_weights must be finite and not negative: sample_weights"
                       + re.escape(bad) + "$"):
        model._fit({"x": np.arange(4.0)}, np.arange(4.0), weights)
    assert params_bits(model.params) == params_bits(reference.params)
    assert_next_call_matches(model, reference)


def test_zero_and_unsupported_weights_score_zero(make_pair):
    for weights in (np.zeros(3), np.ones(3, dtype=np.float16), np.ones(3, dtype=">f8")):
        model, _ = make_pair()
        mean, _ = model._fit({"x": np.arange(3.0)}, np.array([5.0, -1.0, 2.0]), weights)
        assert mean == 0.0


def test_mean_is_not_divided_by_the_weights(make_pair):
    # root predicts its scale_offset; absolute errors 1, 2 and 6 with weight 1 stay so
    model, reference = make_pair(root={"detect_scale": 0, "scale_offset": 0.0}, leaf=NO_DETECT, loss="absolute_error")
    y = np.array([1.0, 2.0, 6.0])
    mean = assert_same_call(model, reference, np.zeros(3), y, np.full(3, 2.0))
    assert mean == pytest.approx(6.0, abs=0.1)


@pytest.mark.parametrize(
    "weights",
    [np.ones(2), np.ones(0), np.ones((4, 1)), [1.0, 1.0, 1.0, 1.0], 1.0, np.float64(1.0), np.array(1.0), "w"],
    ids=["short", "empty", "2-d", "list", "float", "numpy-scalar", "0-d", "str"],
)
def test_unusable_weights_are_refused_before_training(make_pair, weights):
    model, reference = make_pair(root=NO_DETECT, leaf=NO_DETECT, sample_count=7)
    with pytest.raises(ValueError):
        model._fit({"x": np.arange(4.0)}, np.arange(4.0), weights)
    assert params_bits(model.params) == params_bits(reference.params)
    assert_next_call_matches(model, reference)


# ---------------------------------------------------------------------------
# Expected values.

@pytest.mark.parametrize("ylen", [0, 1, 3])
def test_short_expected_values_are_refused_before_training(make_pair, ylen):
    model, reference = make_pair(root=NO_DETECT, leaf=NO_DETECT, sample_count=12)
    with pytest.raises(ValueError):
        model._fit({"x": np.arange(4.0)}, np.arange(float(ylen)))
    assert params_bits(model.params) == params_bits(reference.params)
    assert_next_call_matches(model, reference)


def test_longer_expected_values_are_accepted(make_pair):
    model, reference = make_pair()
    assert_same_call(model, reference, np.arange(3.0), np.array([4.0, 1.0, 2.0, 9.0, -3.0]))


def test_yarray_none_is_refused_before_binding(make_pair):
    model, reference = make_pair(sample_count=3)
    before = params_bits(model.params)
    with pytest.raises(ValueError):
        model._fit({"x": np.arange(4.0)}, None)
    assert params_bits(model.params) == before  # not even the input scale was detected
    assert_next_call_matches(model, reference)


def test_empty_arrays_fail_computing_the_mean(make_pair):
    model, reference = make_pair(root=NO_DETECT, leaf=NO_DETECT, sample_count=9)
    with pytest.raises(ValueError) as info:
        model._fit({"x": np.zeros(0)}, np.zeros(0))
    assert str(info.value) == "Error computing mean"
    assert_next_call_matches(model, reference)  # counter grew by 0


def test_empty_arrays_with_scale_detection_fail_on_binding(make_pair):
    model, _ = make_pair()
    with pytest.raises(ValueError):
        model._fit({"x": np.zeros(0)}, np.zeros(0))


# ---------------------------------------------------------------------------
# Argument checks, in the driver's order.

def two_input_model():
    return Model(["y", "", "a", "b"], ["out-linear:1", "add:2", "in-linear:0", "in-linear:0"], [{}] * 4, 0, "squared_error")


@pytest.mark.parametrize(
    "model_factory,xarray,yarray,error,message",
    [
        ("pair", [np.arange(3.0)], np.arange(3.0), ValueError, "First argument of fit must be a dictionary of numpy arrays"),
        ("pair", None, np.arange(3.0), ValueError, "First argument of fit must be a dictionary of numpy arrays"),
        ("pair", {}, np.arange(3.0), ValueError, "Missing data array for x in X"),
        ("pair", {"X": np.arange(3.0)}, np.arange(3.0), ValueError, "Missing data array for x in X"),
        ("pair", {"x": [0.0, 1.0, 2.0]}, np.arange(3.0), ValueError, "Element x in X is not a numpy array"),
        ("pair", {"x": np.float64(1.0)}, np.arange(3.0), ValueError, "Element x in X is not a numpy array"),
        ("pair", {"x": np.zeros((3, 1))}, np.arange(3.0), ValueError, "Element x in X is not 1-dimensional"),
        ("pair", {"x": np.array(1.0)}, np.arange(3.0), ValueError, "Element x in X is not 1-dimensional"),
        ("pair", {"x": [0.0]}, np.zeros((3, 3)), ValueError, "Element x in X is not a numpy array"),
        ("pair", {"x": np.arange(3.0)}, [0.0, 1.0, 2.0], ValueError, "yarray must be a numpy array"),
        ("pair", {"x": np.arange(3.0)}, np.zeros((3, 1)), ValueError, "y must be 1 dimensional"),
        ("pair", {"x": np.arange(3.0)}, np.array(1.0), ValueError, "y must be 1 dimensional"),
        ("two", {"a": np.arange(5.0), "b": np.arange(4.0)}, np.arange(5.0), ValueError, "Uneven X feature lengths 5 != 4"),
        ("two", {"a": np.arange(4.0), "b": np.arange(5.0)}, np.arange(5.0), ValueError, "Uneven X feature lengths 4 != 5"),
        ("two", {"b": np.zeros((2, 2))}, np.arange(5.0), ValueError, "Missing data array for a in X"),
        ("two", {"a": np.arange(3.0), "b": [1.0]}, [1.0], ValueError, "Element b in X is not a numpy array"),
        ("leaf", {"x": np.arange(3.0)}, np.arange(3.0), RuntimeError, "Model not correctly initalized. Output 'x' misses needed entrypoints"),
    ],
)
def test_fit_messages(make_pair, model_factory, xarray, yarray, error, message):
    model = {
        "pair": lambda: make_pair()[0],
        "two": two_input_model,
        "leaf": lambda: Model(["x"], ["in-linear:0"], [{}], 0, "squared_error"),
    }[model_factory]()
    with pytest.raises(error) as info:
        model._fit(xarray, yarray)
    assert str(info.value) == message


def test_fit_argument_parsing(make_pair):
    model, _ = make_pair()
    with pytest.raises(TypeError):
        model._fit({"x": np.arange(3.0)})
    with pytest.raises(TypeError):
        model._fit({"x": np.arange(3.0)}, np.arange(3.0), None, None)
    with pytest.raises(TypeError):
        model._fit({"x": np.arange(3.0)}, np.arange(3.0), weights=None)
    mean, _ = model._fit(yarray=np.arange(3.0), xarray={"x": np.arange(3.0)})
    assert math.isfinite(mean)


class Columns(dict):
    pass


class Array(np.ndarray):
    pass


def test_dictionary_and_array_subclasses_are_accepted(make_pair):
    model, reference = make_pair()
    x = np.arange(4.0).view(Array)
    y = np.array([2.0, 0.0, 1.0, 3.0]).view(Array)
    mean, params = model._fit(Columns(x=x, unused=np.zeros(9)), y)
    assert (bits(mean), params_bits(params)) == (bits(reference.fit(np.asarray(x), np.asarray(y))[0]), params_bits(reference.params))
    model._fit(OrderedDict(x=np.arange(4.0)), np.arange(4.0))


def test_inputs_shared_by_two_registers():
    model = Model(["y", "", "x", "x"], ["out-linear:1", "add:2", "in-linear:0", "in-linear:0"], [{}] * 4, 0, "squared_error")
    mean, params = model._fit({"x": np.arange(4.0)}, np.arange(4.0))
    assert params[2]["scale"] == params[3]["scale"] == 2.0 / 3.0


# ---------------------------------------------------------------------------
# Models that cannot be trained are refused before anything is bound.

MALFORMED = [
    ([], []),
    (["y"], ["out-linear:1"]),
    (["y", "x", "x"], ["out-linear:1", "in-linear:0", "in-linear:0"]),
    (["", "x"], ["add:2", "in-linear:0"]),
    (["", "", "x"], ["add:2", "add:2", "in-linear:0"]),
    (["y", "y", "x"], ["out-linear:1", "out-linear:1", "in-linear:0"]),
    (["y", "", "x", "y", "x"], ["out-linear:1", "add:2", "in-linear:0", "out-lr:1", "in-linear:0"]),
    (["y", "", "x", "x"], ["out-lr:1", "add:2", "in-linear:0", "out-linear:1"]),
    (["y", ""], ["out-linear:1", "exp:1"]),
]


@pytest.mark.parametrize("dnames,fnames", MALFORMED, ids=[",".join(f) or "empty" for _, f in MALFORMED])
def test_untrainable_models_are_refused_before_binding(dnames, fnames):
    model = Model(dnames, fnames, [{}] * len(fnames), 4, "squared_error")
    before = params_bits(model.params)
    with pytest.raises(ValueError):
        model._fit({"x": np.arange(5.0), "y": np.arange(5.0)}, np.arange(5.0))
    assert params_bits(model.params) == before
    assert str(model) == f"_kestor.Model ({len(fnames)} elementstate)"


def test_input_register_without_data_name():
    model = Model(["y", ""], ["out-linear:1", "in-linear:0"], [{}, {}], 0, "squared_error")
    with pytest.raises(ValueError):
        model._fit({"": np.arange(3.0), "x": np.arange(3.0)}, np.arange(3.0))


# ---------------------------------------------------------------------------
# Parameter list and activation view.

def test_params_snapshot_is_independent(make_pair):
    model, _ = make_pair()
    snapshot = model.params
    snapshot[0]["w"] = 99.0
    model._fit({"x": np.arange(3.0)}, np.arange(3.0))
    assert model.params[0]["w"] != 99.0 and snapshot[0]["w"] == 99.0
    assert model.params is not model.params


def test_trained_params_rebuild_the_same_predictions(make_pair):
    model, _ = make_pair()
    x, y = np.arange(5.0), np.array([1.0, 3.0, 2.0, 5.0, 4.0])
    _, params = model._fit({"x": x}, y)
    rebuilt = Model(["y", "x"], ["out-linear:1", "in-linear:0"], params, 5, "squared_error")
    assert params_bits(rebuilt.params) == params_bits(params)
    assert params[0]["detect_scale"] == params[1]["detect_scale"] == 0


def test_activation_before_training_is_empty(make_pair):
    model, _ = make_pair()
    view = model.activation(0)
    assert view.dtype == np.float64 and view.shape == (0,)


def test_activation_after_training_is_live_and_writeable(make_pair):
    model, reference = make_pair(root={"w": 0.5}, leaf={"w": 2.0})
    assert_same_call(model, reference, np.array([1.0, -1.0, 3.0]), np.array([0.0, 2.0, 1.0]))
    root, leaf = model.activation(0), model.activation(1)
    assert root.dtype == np.float64 and root.shape == (1,) and root.flags.c_contiguous and root.flags.writeable
    assert root.flags.aligned
    assert (root[0], leaf[0]) == (reference.activation[0], reference.activation[1])
    leaf[0] = 5.0
    assert model.activation(1)[0] == 5.0
    assert model.activation(0)[0] == reference.activation[0]
    assert_same_call(model, reference, np.array([0.5]), np.array([0.25]))
    assert leaf[0] == reference.activation[1]  # the earlier view shows the new forward value


def test_activation_view_keeps_the_model_alive(make_pair):
    model, reference = make_pair()
    assert_same_call(model, reference, np.arange(3.0), np.array([1.0, 0.0, 2.0]))
    view = model.activation(0)
    del model
    gc.collect()
    assert view[0] == reference.activation[0]
    view[0] = 1.0
    assert view[0] == 1.0


@pytest.mark.parametrize("index", [-1, 2, 31, 32, 33, -(2**31), 2**31 - 1, 2**32])
def test_activation_index_out_of_range(make_pair, index):
    model, _ = make_pair()
    model._fit({"x": np.arange(3.0)}, np.arange(3.0))
    with pytest.raises(IndexError):
        model.activation(index)


@pytest.mark.parametrize("index,error", [("1", TypeError), (1.5, TypeError), (None, TypeError), (2**64, OverflowError)])
def test_activation_index_must_be_an_integer(make_pair, index, error):
    model, _ = make_pair()
    with pytest.raises(error):
        model.activation(index)


def test_activation_takes_one_argument(make_pair):
    model, _ = make_pair()
    with pytest.raises(TypeError):
        model.activation()
    with pytest.raises(TypeError):
        model.activation(0, 1)
