"""The module object: constants, srand, documentation strings."""

import math
import struct

import numpy as np
import pytest

import _kestor

CONSTANTS = [
    ("SQRT_MIN", "3F847AE147AE147B"),
    ("DIVISOR_ABSMIN", "3FA999999999999A"),
    ("LOG_MIN", "3F1A36E2EB1C432D"),
    ("CAT_MAX", "4079000000000000"),
    ("EXP_MAX", "4018000000000000"),
    ("SQUARED_MAX", "4034000000000000"),
]


@pytest.mark.parametrize("name,bits", CONSTANTS)
def test_constants_to_the_bit(name, bits):
    value = getattr(_kestor, name)
    assert type(value) is float
    assert struct.pack(">d", value).hex().upper() == bits


def test_module_attributes_in_order():
    names = [n for n in vars(_kestor) if not n.startswith("__")]
    assert names == ["srand", "KCell", "Model"] + [n for n, _ in CONSTANTS]


def test_documentation_strings():
    assert _kestor.__doc__ == "Kestor C Extension"
    assert _kestor.srand.__doc__ == "Seed the randum number generator"
    assert _kestor.Model.__doc__ == "Kestor Model"
    assert _kestor.KCell.__doc__ == "Kestor KCell"
    assert _kestor.Model._fit.__doc__ == "fit or train the model with a single sample"
    assert _kestor.Model.activation.__doc__ == "Get the activation of an element"
    assert _kestor.Model.params.__doc__ == "Get the learned parameters of the entire model"


def test_type_names():
    assert _kestor.Model.__module__ == "_kestor" and _kestor.Model.__name__ == "Model"
    assert _kestor.KCell.__module__ == "_kestor" and _kestor.KCell.__name__ == "KCell"


def _exp_of(operand, monkeypatch=None):
    """Activation of an exp:1 element whose operand is exactly `operand`."""
    leaf = {"detect_scale": 0, "scale": 1.0, "scale_offset": 0.0, "w": 1.0, "bias": 0.0}
    model = _kestor.Model(["y", "", "x"], ["out-linear:1", "exp:1", "in-linear:0"], [{}, {}, leaf], 0, "squared_error")
    model._fit({"x": np.array([operand])}, np.array([0.0, 1.0]))
    return model.activation(1)[0]


def test_rebinding_a_constant_changes_no_computation(monkeypatch):
    assert _exp_of(7.0) == math.exp(6.0)
    monkeypatch.setattr(_kestor, "EXP_MAX", 100.0)
    assert _exp_of(7.0) == math.exp(6.0)


@pytest.mark.parametrize("seed", [0, 5, -1, 2**32 + 5, 2**63 - 1, -(2**63), True])
def test_srand_accepts_integers(seed):
    assert _kestor.srand(seed) is None


class _Index:
    def __index__(self):
        return 7


def test_srand_accepts_an_index_object():
    assert _kestor.srand(_Index()) is None


@pytest.mark.parametrize("seed,error", [(1.5, TypeError), ("1", TypeError), (None, TypeError),
                                         (2**64, OverflowError), (2**63, OverflowError), (-(2**63) - 1, OverflowError)])
def test_srand_rejects_what_does_not_convert(seed, error):
    with pytest.raises(error):
        _kestor.srand(seed)


def _initial_category_weights(count):
    """Initial weights that `count` new in-cat:0 elements give their first category."""
    weights = []
    for _ in range(count):
        model = _kestor.Model(["y", "c"], ["out-linear:1", "in-cat:0"], [{}, {}], 0, "squared_error")
        # Binding the column gives the category its initial weight; the 2-D
        # expected values then stop the call before any training.
        with pytest.raises(ValueError, match="y must be 1 dimensional"):
            model._fit({"c": np.array(["a"], dtype=object)}, np.zeros((1, 1)))
        weights.append(model.params[1]["categories"][0][1])
    return weights


@pytest.mark.parametrize("seed,same_as", [(2**32 + 5, 5), (-1, 2**32 - 1), (-(2**32) + 3, 3)])
def test_srand_seeds_with_the_low_32_bits(seed, same_as):
    _kestor.srand(same_as)
    expected = _initial_category_weights(4)
    _kestor.srand(seed)
    assert _initial_category_weights(4) == expected
