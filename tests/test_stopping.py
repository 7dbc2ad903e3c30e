"""When a search is done, and what a leader that is not done misses."""

import numpy as np
import pytest

from vant._data import _split, prepare
from vant._elements import DEFAULT_OPERATORS
from vant._program import program_key
from vant._scoring import Scorer
from vant._stopping import is_noise, positions, unexplained_share
from vant._terms import TermColumns, missing_terms, wrapped
from vant._training import new_candidate


def columns(rng, n=2000):
    return {f"x{i}": rng.normal(size=n) for i in range(3)}


@pytest.mark.parametrize("missed, noise", [
    (lambda x, c: 0.0, True),                           # the law: errors are noise
    (lambda x, c: 0.5 * x["x1"] * x["x2"], False),      # a product no single input shows
    (lambda x, c: 0.3 * np.sin(3 * x["x0"]), False),
    (lambda x, c: 0.2 * (c == "b"), False),             # a category's shift
    (lambda x, c: 0.005 * x["x0"], True),               # too small to tell from the noise
])
def test_errors_are_noise_only_when_no_input_explains_them(missed, noise):
    rng = np.random.default_rng(5)
    x = columns(rng)
    c = rng.choice(np.array(["a", "b", "c"], dtype=object), 2000)
    rows = _split({**x, "c": c}, np.zeros(2000), None)
    errors = missed(x, c) + rng.normal(0.0, 0.05, 2000)
    assert is_noise(unexplained_share(positions(rows), errors), 2000) is noise


def test_exact_errors_are_noise():
    rng = np.random.default_rng(1)
    points = rng.normal(size=(50, 2))
    assert unexplained_share(points, np.zeros(50)) == 1.0


def test_a_leader_missing_a_product_is_offered_it():
    rng = np.random.default_rng(2)
    data = columns(rng, 3000)
    data["y"] = 3 * np.exp(-data["x0"] ** 2) + 0.5 * data["x1"] * data["x2"] + rng.normal(0, 0.05, 3000)
    prepared = prepare(data, "y", "regression", rng, None, None, (), 0.25, None)
    scorer = Scorer("regression", prepared.loss_name, prepared.screen, 1.0, prepared.error_floor)
    program = (["y", "", "x0"], ["out-linear:1", "gaussian:1", "in-linear:0"])
    leader = new_candidate(prepared, scorer, program, 1, 20000)
    law = (["y", "", "", "x0", "", "x1", "x2"],
           ["out-linear:1", "add:2", "gaussian:1", "in-linear:0", "multiply:2", "in-linear:0", "in-linear:0"])
    def offered(max_elements=12, excluded=frozenset()):
        return missing_terms(prepared, leader.dnames, leader.fnames, leader.params, DEFAULT_OPERATORS,
                             max_elements, excluded)

    assert program_key(*offered()[0]) == program_key(*law)
    # the columns a search keeps from one program to the next offer the same
    shared = TermColumns(prepared)
    for _ in range(2):
        assert missing_terms(prepared, leader.dnames, leader.fnames, leader.params, DEFAULT_OPERATORS, 12,
                             columns=shared) == offered()
    assert all("x2" not in dnames for dnames, _fnames in offered(excluded={"x2"}))
    assert offered(max_elements=4) == []


@pytest.mark.parametrize("law, inner, wrapper", [
    (lambda a, b: np.sqrt(a ** 2 + b ** 2), "squared:1", "sqrt:1"),
    (lambda a, b: 1 / (1 / a + 1 / b), "inverse:1", "inverse:1"),
])
def test_a_body_is_offered_inside_the_function_it_asks_for(law, inner, wrapper):
    rng = np.random.default_rng(4)
    data = {"a": rng.uniform(1, 5, 2000), "b": rng.uniform(1, 5, 2000)}
    data["y"] = law(data["a"], data["b"])
    prepared = prepare(data, "y", "regression", rng, None, None, (), 0.25, None)
    scorer = Scorer("regression", prepared.loss_name, prepared.screen, 1.0, prepared.error_floor)
    body = (["y", "", "", "a", "", "b"], ["out-linear:1", "add:2", inner, "in-linear:0", inner, "in-linear:0"])
    leader = new_candidate(prepared, scorer, body, 1, 20000)
    offered = wrapped(prepared, leader.dnames, leader.fnames, leader.params, DEFAULT_OPERATORS, 12, count=3)
    assert (["y", "", *body[0][1:]], ["out-linear:1", wrapper, *body[1][1:]]) in offered
    assert wrapped(prepared, leader.dnames, leader.fnames, leader.params, DEFAULT_OPERATORS, 6) == []


def test_a_product_is_offered_over_a_sum_of_its_inputs():
    rng = np.random.default_rng(6)
    data = {"a": rng.uniform(1, 5, 2000), "b": rng.uniform(1, 5, 2000)}
    data["y"] = data["a"] * data["b"] / (data["a"] + data["b"])
    prepared = prepare(data, "y", "regression", rng, None, None, (), 0.25, None)
    scorer = Scorer("regression", prepared.loss_name, prepared.screen, 1.0, prepared.error_floor)
    product = (["y", "", "a", "b"], ["out-linear:1", "multiply:2", "in-linear:0", "in-linear:0"])
    leader = new_candidate(prepared, scorer, product, 1, 20000)
    law = (["y", "", *product[0][1:], "", "", "a", "b"],
           ["out-linear:1", "multiply:2", *product[1][1:], "inverse:1", "add:2", "in-linear:0", "in-linear:0"])
    offered = missing_terms(prepared, leader.dnames, leader.fnames, leader.params, DEFAULT_OPERATORS, 12)
    assert program_key(*law) in [program_key(*program) for program in offered]
