"""Model construction: argument checks, messages, parameters, text form."""

import gc

import numpy as np
import pytest

import _kestor
from _reference import params_bits

Model = _kestor.Model

LINEAR_DEFAULTS = {"scale": 1.0, "scale_offset": 0.0, "w": 0.0, "bias": 0.0, "detect_scale": 1}
LR_DEFAULTS = {"w": 0.0, "bias": 0.0}


def pair(root=None, leaf=None, count=0, loss="squared_error"):
    return Model(["y", "x"], ["out-linear:1", "in-linear:0"], [root or {}, leaf or {}], count, loss)


def test_empty_model():
    model = Model([], [], [], 7, "absolute_error")
    assert str(model) == "_kestor.Model (0 elementstate)"
    assert repr(model) == "_kestor.Model (0 elementstate)"
    assert model.params == []


@pytest.mark.parametrize("n", [1, 2, 5, 32])
def test_text_form_counts_elements(n):
    model = Model(["x"] * n, ["in-linear:0"] * n, [{}] * n, 0, "squared_error")
    assert str(model) == repr(model) == f"_kestor.Model ({n} elementstate)"


def test_model_has_no_length():
    with pytest.raises(TypeError):
        len(pair())


def test_params_is_read_only():
    model = pair()
    with pytest.raises(AttributeError):
        model.params = []


@pytest.mark.parametrize(
    "fnames,expected",
    [
        (["out-linear:1", "in-linear:0"], [LINEAR_DEFAULTS, LINEAR_DEFAULTS]),
        (["out-lr:1", "in-linear:0"], [LR_DEFAULTS, LINEAR_DEFAULTS]),
        (["out-linear:1", "exp:1", "in-linear:0"], [LINEAR_DEFAULTS, {}, LINEAR_DEFAULTS]),
    ],
)
def test_default_parameters_and_key_order(fnames, expected):
    params = Model(["y"] + [""] * (len(fnames) - 1), fnames, [{}] * len(fnames), 0, "squared_error").params
    assert params_bits(params) == params_bits(expected)
    assert [type(v) for v in params[0].values()] == [type(v) for v in expected[0].values()]


def test_supplied_parameters_are_applied_and_others_kept():
    model = pair(root={"w": 2, "bias": -0.5, "unknown": "ignored", "W": 9.0}, leaf={"scale_offset": 3.25, "detect_scale": 0})
    assert model.params == [
        {"scale": 1.0, "scale_offset": 0.0, "w": 2.0, "bias": -0.5, "detect_scale": 1},
        {"scale": 1.0, "scale_offset": 3.25, "w": 0.0, "bias": 0.0, "detect_scale": 0},
    ]
    assert type(model.params[0]["w"]) is float


@pytest.mark.parametrize("value,stored", [(2.7, 2), (0.5, 0), (True, 1), (-3, -3), (2**32 + 1, 1), (np.int8(4), 4)])
def test_detect_scale_is_stored_as_a_32_bit_integer(value, stored):
    params = pair(root={"detect_scale": value}, leaf={"detect_scale": value}).params
    assert params[0]["detect_scale"] == stored and type(params[0]["detect_scale"]) is int
    assert params[1]["detect_scale"] == stored


def test_boolean_is_a_number_for_logistic_weights():
    model = Model(["y", "x"], ["out-lr:1", "in-linear:0"], [{"w": True, "bias": np.float32(0.25)}, {}], 0, "binary_cross_entropy")
    assert model.params[0] == {"w": 1.0, "bias": 0.25}


def test_none_in_place_of_a_dictionary_sets_nothing():
    assert pair(root=None, leaf=None).params == Model(["y", "x"], ["out-linear:1", "in-linear:0"], [None, 5], 0, "squared_error").params


@pytest.mark.parametrize(
    "fnames,params,type_name",
    [
        (["out-linear:1", "in-linear:0"], [{"w": "abc"}, {}], "out-linear:1"),
        (["out-linear:1", "in-linear:0"], [{"bias": None}, {}], "out-linear:1"),
        (["out-linear:1", "in-linear:0"], [{"scale": 1 + 2j}, {}], "out-linear:1"),
        (["out-linear:1", "in-linear:0"], [{"detect_scale": float("nan")}, {}], "out-linear:1"),
        (["out-linear:1", "in-linear:0"], [{"detect_scale": float("inf")}, {}], "out-linear:1"),
        (["out-linear:1", "in-linear:0"], [{}, {"w": [1.0]}], "in-linear:0"),
        (["out-lr:1", "in-linear:0"], [{"w": "1"}, {}], "out-lr:1"),
    ],
)
def test_rejected_parameter_value_names_the_type(fnames, params, type_name):
    with pytest.raises(RuntimeError) as info:
        Model(["y", "x"], fnames, params, 0, "squared_error")
    assert str(info.value) == f"Internal error setting attribute for {type_name}"


def test_rejected_value_replaces_the_setattr_error_even_when_it_raised():
    class Exploding(float):
        def __float__(self):
            raise ZeroDivisionError("boom")

    with pytest.raises(RuntimeError, match="^Internal error setting attribute for out-linear:1$"):
        pair(root={"w": Exploding(1.0)})


@pytest.mark.parametrize("count", [0, -1, -(2**31), 2**31 - 1])
def test_sample_count_range(count):
    pair(count=count)


@pytest.mark.parametrize("count", [2**31, -(2**31) - 1])
def test_sample_count_out_of_range(count):
    with pytest.raises(OverflowError):
        pair(count=count)


def test_keywords_are_accepted():
    model = Model(loss="absolute_error", sample_count=3, params=[{}], fnames=["in-linear:0"], dnames=["x"])
    assert str(model) == "_kestor.Model (1 elementstate)"


class ListSub(list):
    pass


def test_list_subclasses_are_accepted():
    model = Model(ListSub(["y", "x"]), ListSub(["out-linear:1", "in-linear:0"]), ListSub([{}, {}]), 0, "squared_error")
    assert len(model.params) == 2


@pytest.mark.parametrize(
    "args",
    [
        (("y", "x"), ["out-linear:1", "in-linear:0"], [{}, {}], 0, "squared_error"),
        (["y", "x"], ("out-linear:1", "in-linear:0"), [{}, {}], 0, "squared_error"),
        (["y", "x"], ["out-linear:1", "in-linear:0"], ({}, {}), 0, "squared_error"),
        (["y", "x"], ["out-linear:1", "in-linear:0"], [{}, {}], 1.0, "squared_error"),
        (["y", "x"], ["out-linear:1", "in-linear:0"], [{}, {}], "0", "squared_error"),
        (["y", "x"], ["out-linear:1", "in-linear:0"], [{}, {}], 0, b"squared_error"),
        (["y", "x"], ["out-linear:1", "in-linear:0"], [{}, {}], 0, None),
        (["y", "x"], ["out-linear:1", "in-linear:0"], [{}, {}], 0),
        (),
    ],
)
def test_argument_types_are_checked_by_the_parser(args):
    with pytest.raises(TypeError):
        Model(*args)


@pytest.mark.parametrize(
    "dnames,fnames,params,message",
    [
        (["y", "x"], ["out-linear:1"], [{}, {}], "dnames and fnames have different lengths"),
        (["y"], ["out-linear:1", "in-linear:0"], [{}], "dnames and fnames have different lengths"),
        (["y"], ["out-linear:1", "in-linear:0"], [], "dnames and fnames have different lengths"),
        (["y", "x"], ["out-linear:1", "in-linear:0"], [{}], "dnames and params have different lengths"),
        (["y", "x"], ["out-linear:1", "in-linear:0"], [{}, {}, {}], "dnames and params have different lengths"),
        (["y", 1], ["out-linear:1", "in-linear:0"], [{}, {}], "dnames must be strings"),
        (["y", b"x"], ["out-linear:1", "in-linear:0"], [{}, {}], "dnames must be strings"),
        (["y", "\ud800"], ["out-linear:1", "in-linear:0"], [{}, {}], "dnames must be strings"),
        (["y", "x"], ["out-linear:1", None], [{}, {}], "fnames must be strings"),
        (["y", "x"], ["out-linear:1", "\udc80"], [{}, {}], "fnames must be strings"),
        (["y", "x"], ["out-linear:1", "in-linear"], [{}, {}], "No such interaction type: 'in-linear'"),
        (["y", "x"], ["Out-Linear:1", "in-linear:0"], [{}, {}], "No such interaction type: 'Out-Linear:1'"),
        (["y", "x"], ["out-linear:1", ""], [{}, {}], "No such interaction type: ''"),
        # names are checked per element, so element 0's type error comes before element 1's name
        (["y", 1], ["nope:1", "in-linear:0"], [{}, {}], "No such interaction type: 'nope:1'"),
    ],
)
def test_construction_messages(dnames, fnames, params, message):
    with pytest.raises(ValueError) as info:
        Model(dnames, fnames, params, 0, "squared_error")
    assert str(info.value) == message


@pytest.mark.parametrize("loss", ["Squared_error", "squared_error ", "squared", "", "mean_squared_error"])
def test_unknown_loss(loss):
    with pytest.raises(ValueError) as info:
        pair(loss=loss)
    assert str(info.value) == "Invalid loss function speficied"


def test_loss_is_checked_after_the_elements():
    with pytest.raises(ValueError, match="^No such interaction type: 'bad:1'$"):
        Model(["y", "x"], ["bad:1", "in-linear:0"], [{}, {}], 0, "bad loss")


def test_loss_is_checked_before_parameters():
    with pytest.raises(ValueError, match="^Invalid loss function speficied$"):
        pair(root={"w": "not a number"}, loss="bad loss")


@pytest.mark.parametrize("loss", ["absolute_error", "squared_error", "binary_cross_entropy"])
def test_valid_losses(loss):
    pair(loss=loss)


@pytest.mark.parametrize("n", [33, 40, 1000])
def test_more_than_32_elements_is_refused(n):
    with pytest.raises(ValueError) as info:
        Model(["x"] * n, ["in-linear:0"] * n, [{}] * n, 0, "squared_error")
    assert str(n) in str(info.value) and "32" in str(info.value)


def test_failed_constructions_are_destroyed_safely():
    for _ in range(3):
        with pytest.raises(ValueError):
            Model(["y", "x", "z"], ["out-linear:1", "in-linear:0", "nope:0"], [{}, {}, {}], 0, "squared_error")
        with pytest.raises(RuntimeError):
            pair(leaf={"w": "x"})
    gc.collect()


def test_uninitialised_model_is_empty():
    model = Model.__new__(Model)
    assert str(model) == "_kestor.Model (0 elementstate)"
    assert model.params == []
    with pytest.raises(IndexError):
        model.activation(0)


# ---------------------------------------------------------------------------
# Calling the initialiser again.

def _fit_result(model):
    x = np.array([0.0, 3.0, 1.0, 2.5])
    loss, params = model._fit({"x": x, "z": x[::-1].copy()}, np.array([1.0, 0.0, 2.0, 4.0]))
    return loss, params_bits(params)


def test_reinitialising_gives_a_fresh_model():
    args = (["y", "", "z"], ["out-linear:1", "exp:1", "in-linear:0"], [{"w": 0.5}, {}, {"bias": 0.1}], 17, "absolute_error")
    model = Model(["y", "a", "x", "x"], ["out-linear:1", "add:2", "in-linear:0", "in-linear:0"],
                  [{"w": 3.0}, {}, {"w": 1.0}, {"w": 2.0}], 5000, "squared_error")
    _fit_result(model)  # trained state (moments, counter, bound arrays) must not survive
    model.__init__(*args)
    fresh = Model(*args)
    assert str(model) == str(fresh) == "_kestor.Model (3 elementstate)"
    assert params_bits(model.params) == params_bits(fresh.params)
    assert _fit_result(model) == _fit_result(fresh)
    assert params_bits(model.params) == params_bits(fresh.params)


def test_reinitialising_with_an_empty_data_name_forgets_the_old_one():
    model = pair()
    model.__init__(["y", ""], ["out-linear:1", "in-linear:0"], [{}, {}], 0, "squared_error")
    with pytest.raises(ValueError):
        model._fit({"x": np.arange(3.0), "": np.arange(3.0)}, np.arange(3.0))


def test_reinitialising_to_fewer_elements():
    model = Model(["y", "a", "x", "x"], ["out-linear:1", "add:2", "in-linear:0", "in-linear:0"], [{}] * 4, 0, "squared_error")
    model.__init__([], [], [], 0, "squared_error")
    assert str(model) == "_kestor.Model (0 elementstate)"
    assert model.params == []


def test_failed_reinitialisation_leaves_a_safe_object():
    model = pair(root={"w": 1.5})
    with pytest.raises(ValueError):
        model.__init__(["y", "x"], ["out-linear:1", "nope:0"], [{}, {}], 0, "squared_error")
    str(model)
    model.params
    del model
    gc.collect()


@pytest.mark.parametrize("column", [[0.5, -1.25, 3.0, 2.0], [7.0, 7.0], [-3e5, -2e5, -1e-3], [1e-300, 2e-300]])
def test_search_scales_inputs_as_the_register_detects_them(column):
    from vant._data import scale_of

    values = np.array(column)
    model = _kestor.Model(["y", "x"], ["out-linear:1", "in-linear:0"], [{"detect_scale": 0}, {}], 0, "squared_error")
    model._fit({"x": values}, np.zeros_like(values))
    leaf = model.params[1]
    assert scale_of(values) == (leaf["scale"], leaf["scale_offset"])


@pytest.mark.parametrize("column", [[], [1.0, np.nan], [np.inf, 0.0]])
def test_search_scale_refuses_what_the_register_refuses(column):
    from vant import _linalg

    with pytest.raises(ValueError, match="values"):
        _linalg.input_scale(np.array(column))
