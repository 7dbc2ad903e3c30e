"""Loss functions, observed through training a model with a fixed prediction.

The root below predicts exactly its scale_offset P for the first sample (its
operand and weight are 0.0 and it detects no scale), so the mean loss of a
one-sample call is loss(E, P) itself; later samples are checked against the
bit-exact reference, which also pins the derivatives through the updates.
"""

import math

import numpy as np
import pytest

import _kestor
import _reference as ref
from _reference import LinearPairReference, bits, params_bits

FIXED_LEAF = {"detect_scale": 0, "scale": 1.0, "scale_offset": 0.0, "w": 0.0, "bias": 0.0}


def fixed_root(prediction):
    return {"w": 0.0, "bias": 0.0, "scale": 1.0, "scale_offset": prediction, "detect_scale": 0}


def fixed_model(prediction, loss, sample_count=0):
    return _kestor.Model(["y", "x"], ["out-linear:1", "in-linear:0"], [fixed_root(prediction), FIXED_LEAF], sample_count, loss)


def loss_through_training(loss, expected, prediction):
    mean, _ = fixed_model(prediction, loss)._fit({"x": np.zeros(1)}, np.array([expected]))
    return mean


NAN = float("nan")
INF = float("inf")

KNOWN = [
    ("absolute_error", 2.0, 2.0, 0.0),
    ("absolute_error", 1.0, 3.0, 2.0),
    ("absolute_error", 3.0, 1.0, 2.0),
    ("absolute_error", 1.0, NAN, NAN),
    ("squared_error", 0.0, 0.1, 0.010000000707805157),
    ("squared_error", 0.0, 1e20, INF),
    ("squared_error", 0.0, -1e20, INF),
    ("squared_error", 2.0, 5.0, 9.0),
    ("squared_error", 0.0, 1e-30, 0.0),  # the float32 square underflows
    ("binary_cross_entropy", 1.0, 0.0, 16.11809539794922),
    ("binary_cross_entropy", 0.0, 1.0, 16.11809539794922),
    ("binary_cross_entropy", 1.0, -5.0, 16.11809539794922),
    ("binary_cross_entropy", 0.0, 7.0, 16.11809539794922),
    ("binary_cross_entropy", 1.0, 0.5, 0.6931471824645996),
    ("binary_cross_entropy", 0.0, 0.5, 0.6931471824645996),
    ("binary_cross_entropy", 1.0, NAN, NAN),
]


@pytest.mark.parametrize("loss,expected,prediction,value", KNOWN)
def test_known_loss_values(loss, expected, prediction, value):
    assert bits(loss_through_training(loss, expected, prediction)) == bits(value)


@pytest.mark.parametrize("loss,expected,prediction,value", KNOWN)
def test_reference_losses_agree_with_the_known_values(loss, expected, prediction, value):
    assert bits(ref.LOSSES[loss][0](expected, prediction)) == bits(value)


@pytest.mark.parametrize(
    "derivative,expected,prediction,value",
    [
        (ref.absolute_error_derivative, 2.0, 2.0, -1.0),
        (ref.absolute_error_derivative, 1.0, 3.0, 1.0),
        (ref.absolute_error_derivative, 3.0, 1.0, -1.0),
        (ref.absolute_error_derivative, NAN, 1.0, 1.0),
        (ref.absolute_error_derivative, 1.0, NAN, 1.0),
        (ref.squared_error_derivative, 0.0, 0.1, 0.2),
        (ref.squared_error_derivative, 0.0, 1e20, 2e20),
        (ref.binary_cross_entropy_derivative, 0.0, 0.3, 0.3),
        (ref.binary_cross_entropy_derivative, -0.0, 0.3, 0.3),
        (ref.binary_cross_entropy_derivative, 1.0, 0.3, 0.3 - 1.0),
        (ref.binary_cross_entropy_derivative, 0.5, 0.3, 0.3 - 1.0),
        (ref.binary_cross_entropy_derivative, NAN, 0.3, 0.3 - 1.0),
    ],
)
def test_reference_derivatives_agree_with_the_known_values(derivative, expected, prediction, value):
    assert bits(derivative(expected, prediction)) == bits(value)


def test_squared_error_rounds_the_difference_to_single_precision():
    # (1/3 - 0)^2 in double differs from the square of the float32 difference
    value = loss_through_training("squared_error", 0.0, 1.0 / 3.0)
    assert value == float(np.float32(1.0 / 3.0) * np.float32(1.0 / 3.0))
    assert value != (1.0 / 3.0) ** 2


def test_binary_cross_entropy_uses_single_precision_logarithms():
    value = loss_through_training("binary_cross_entropy", 0.25, 0.3)
    assert value == (-0.25) * ref.logf(0.3) - 0.75 * ref.logf(0.7)
    assert value != (-0.25) * math.log(0.3) - 0.75 * math.log(0.7)


def test_binary_cross_entropy_clamps_only_the_logarithms():
    # A prediction above 1 scores like the upper clamp, but its derivative is
    # taken from the unclamped prediction.
    assert loss_through_training("binary_cross_entropy", 1.0, 2.0) == loss_through_training("binary_cross_entropy", 1.0, 0.9999999)


SEQUENCES = [
    [0.0],
    [2.0],
    [2.0, 2.0, 2.0],
    [0.0, 1.0, 1.0, 0.0],
    [0.5, 0.25, 1.0],
    [3.0, -1.0, 0.0, 10.0],
    [1e20, -1e20],
]


@pytest.mark.parametrize("loss", ["absolute_error", "squared_error", "binary_cross_entropy"])
@pytest.mark.parametrize("prediction", [0.0, 0.3, 0.5, 1.0, 2.0, -3.0, 1e-9, 0.99999999, NAN])
@pytest.mark.parametrize("expected", SEQUENCES, ids=[str(i) for i in range(len(SEQUENCES))])
def test_losses_and_derivatives_match_the_reference(loss, prediction, expected):
    root, leaf = fixed_root(prediction), dict(FIXED_LEAF)
    model = _kestor.Model(["y", "x"], ["out-linear:1", "in-linear:0"], [root, leaf], 0, loss)
    reference = LinearPairReference(root, leaf, 0, loss)
    x = np.zeros(len(expected))
    y = np.array(expected)
    for _ in range(2):  # a second call starts from trained moments
        mean, params = model._fit({"x": x}, y)
        ref_mean, ref_params = reference.fit(x, y)
        assert bits(mean) == bits(ref_mean)
        assert params_bits(params) == params_bits(ref_params)
