"""ProgramCollection: sampling well-formed programs and learning from scores."""

import collections

import numpy as np
import pytest

import _kestor
from vant._basealgo._programcollection import ProgramCollection
from vant._elements import ARITY, INPUT_TYPES, OUTPUT_TYPES
from vant._program import check_program, program_key, simplifications, to_lists, to_tree

INPUTS = {"x": "in-linear:0", "z": "in-linear:0", "c": "in-cat:0"}


def prog(*elements):
    """A program from its elements in prefix order, written "type name"."""
    dnames, fnames = [], []
    for element in elements:
        fname, _, dname = element.partition(" ")
        dnames.append(dname)
        fnames.append(fname)
    return dnames, fnames


def leaves(dnames, fnames):
    return [(d, f) for d, f in zip(dnames, fnames) if ARITY[f] == 0]


@pytest.mark.parametrize("output_type", OUTPUT_TYPES)
@pytest.mark.parametrize("max_elements", [2, 3, 7, 12, 32])
def test_generated_programs_are_well_formed(output_type, max_elements):
    programs = ProgramCollection().generate_programs(200, "y", output_type, INPUTS, 4, max_elements)
    assert programs
    keys = set()
    for dnames, fnames in programs:
        check_program(dnames, fnames)
        assert len(fnames) <= max_elements
        assert fnames[0] == output_type and dnames[0] == "y"
        assert all(f not in OUTPUT_TYPES for f in fnames[1:])
        for dname, fname in leaves(dnames, fnames):
            assert INPUTS[dname] == fname
        assert all(d == "" for d, f in zip(dnames, fnames) if f not in INPUT_TYPES + OUTPUT_TYPES)
        keys.add(program_key(dnames, fnames))
    assert len(keys) == len(programs), "one function, one program"


@pytest.mark.parametrize("types", [("multiply:2", "sin:1", "pow:1"), ("divide:2", "abs:1", "linear:1"), ()])
def test_programs_hold_only_the_types_asked_for(types):
    collection = ProgramCollection()
    default = ProgramCollection().generate_programs(40, "y", "out-linear:1", INPUTS, 3)
    seen = collections.Counter()
    for batch in range(3):
        programs = collection.generate_programs(60, "y", "out-linear:1", INPUTS, batch, 12, [], types)
        seen.update(f for _dnames, fnames in programs for f in fnames[1:] if ARITY[f])
        collection.update(programs, [float(len(f)) for _d, f in programs])
    assert set(seen) == set(types)
    assert ProgramCollection().generate_programs(40, "y", "out-linear:1", INPUTS, 3) == default


def test_programs_build_and_train_as_models():
    rng = np.random.default_rng(0)
    data = {"x": rng.normal(size=50), "z": rng.normal(size=50), "c": rng.choice(np.array(["a", "b"]), 50)}
    programs = ProgramCollection().generate_programs(60, "y", "out-linear:1", INPUTS, 1, 32)
    for dnames, fnames in programs:
        model = _kestor.Model(dnames, fnames, [{}] * len(fnames), 0, "squared_error")
        loss, params = model._fit(data, rng.normal(size=50))
        assert np.isfinite(loss) and len(params) == len(fnames)


def test_same_seed_same_programs_and_history_matters():
    def run(seed):
        collection = ProgramCollection()
        first = collection.generate_programs(30, "y", "out-linear:1", INPUTS, seed)
        collection.update(first, list(range(len(first))))
        return first, collection.generate_programs(30, "y", "out-linear:1", INPUTS, seed)

    assert run(3) == run(3)
    assert run(3) != run(4)
    first, second = run(3)
    assert not {program_key(*p) for p in first} & {program_key(*p) for p in second}


def test_scored_programs_are_not_generated_again_until_exhausted():
    collection = ProgramCollection()
    inputs = {"x": "in-linear:0", "z": "in-linear:0"}
    first = collection.generate_programs(10, "y", "out-linear:1", inputs, 0, 2)
    assert sorted(d[1] for d, _f in first) == ["x", "z"]
    collection.update(first, [1.0, 2.0])
    assert collection.generate_programs(10, "y", "out-linear:1", inputs, 0, 2) == []


@pytest.mark.parametrize("spellings", [
    [prog("out-linear:1 y", "add:2", "in-linear:0 x", "in-linear:0 z"),
     prog("out-linear:1 y", "add:2", "in-linear:0 z", "in-linear:0 x")],
    [prog("out-linear:1 y", "multiply:2", "multiply:2", "in-linear:0 x", "in-linear:0 z", "in-cat:0 c"),
     prog("out-linear:1 y", "multiply:2", "in-cat:0 c", "multiply:2", "in-linear:0 z", "in-linear:0 x")],
])
def test_sums_and_products_in_any_order_or_nesting_share_a_key(spellings):
    assert len({program_key(*p) for p in spellings}) == 1


def test_different_functions_have_different_keys():
    a = prog("out-linear:1 y", "add:2", "in-linear:0 x", "in-linear:0 z")
    b = prog("out-linear:1 y", "multiply:2", "in-linear:0 x", "in-linear:0 z")
    c = prog("out-linear:1 y", "add:2", "multiply:2", "in-linear:0 x", "in-linear:0 z", "in-linear:0 x")
    d = prog("out-linear:1 y", "add:2", "multiply:2", "in-linear:0 x", "in-linear:0 x", "in-linear:0 z")
    assert len({program_key(*p) for p in (a, b, c, d)}) == 4


def test_tree_round_trip_and_malformed_programs():
    program = prog("out-lr:1 y", "add:2", "gaussian:2", "in-linear:0 x", "in-linear:0 z", "in-cat:0 c")
    assert to_lists(to_tree(*program)) == (list(program[0]), list(program[1]))
    for dnames, fnames in [
        (["y", ""], ["out-linear:1", "add:2"]),                                    # missing operands
        (["y", "x", "z"], ["out-linear:1", "in-linear:0", "in-linear:0"]),         # element after the end
        (["y", "", "x"], ["out-linear:1", "out-linear:1", "in-linear:0"]),         # second output register
        (["y", "", ""], ["out-linear:1", "exp:1", "in-linear:0"]),                 # leaf without a column
        (["y"] + [""] * 31 + ["x"], ["out-linear:1"] + ["exp:1"] * 31 + ["in-linear:0"]),  # 33 elements
    ]:
        with pytest.raises(ValueError):
            check_program(dnames, fnames)


def choice_counts(programs, parent):
    counts = collections.Counter()
    for dnames, fnames in programs:
        tree = to_tree(dnames, fnames)
        for node, up, _depth in tree.walk():
            if up is not None and up.ftype == parent:
                counts[node.ftype] += 1
    return counts


def test_update_moves_sampling_toward_the_best_and_decay_moves_it_back():
    collection = ProgramCollection()
    start = collection.preferences()
    programs = collection.generate_programs(200, "y", "out-linear:1", INPUTS, 1)
    # Score programs with an exp element directly under the root best.
    losses = [0.0 if f[1] == "exp:1" else 1.0 for _d, f in programs]
    before = choice_counts(collection.generate_programs(300, "y", "out-linear:1", INPUTS, 9), "out-linear:1")
    for _ in range(3):
        assert collection.update(programs, losses, 0.5) >= 1
    after = choice_counts(collection.generate_programs(300, "y", "out-linear:1", INPUTS, 9), "out-linear:1")
    assert after["exp:1"] > 2 * before["exp:1"]
    learned = collection.preferences()["structure"]["out-linear:1"]["exp:1"]
    assert learned > start["structure"]["out-linear:1"]["exp:1"]
    collection.decay(1.0)
    assert collection.preferences()["structure"] == start["structure"]
    assert collection.preferences()["inputs"] == pytest.approx({"x": 1 / 3, "z": 1 / 3, "c": 1 / 3})


def test_update_learns_inputs_and_ignores_failures():
    collection = ProgramCollection()
    programs = collection.generate_programs(100, "y", "out-linear:1", INPUTS, 2)
    uses_c = ["c" in d for d, _f in programs]
    losses = [0.0 if u else float("nan") for u in uses_c]
    collection.update(programs, losses, 1.0)
    inputs = collection.preferences()["inputs"]
    assert inputs["c"] > inputs["x"] and inputs["c"] > inputs["z"]
    assert collection.update(programs[:3], [float("inf")] * 3) == 0


def test_priors_exclude_and_favour_inputs():
    collection = ProgramCollection()
    collection.update_priors({"z": 0.0, "c": 5.0})
    programs = collection.generate_programs(200, "y", "out-linear:1", INPUTS, 5)
    used = collections.Counter(d for dnames, fnames in programs for d, f in leaves(dnames, fnames))
    assert used["z"] == 0
    assert used["c"] > used["x"]
    collection.update_priors({"x": 0.0, "c": 0.0})
    with pytest.raises(ValueError, match="positive prior"):
        collection.generate_programs(5, "y", "out-linear:1", INPUTS, 5)


@pytest.mark.parametrize("call, error", [
    (lambda c: c.generate_programs(-1, "y", "out-linear:1", INPUTS), ValueError),
    (lambda c: c.generate_programs(1, "y", "in-linear:0", INPUTS), ValueError),
    (lambda c: c.generate_programs(1, "", "out-linear:1", INPUTS), ValueError),
    (lambda c: c.generate_programs(1, "y", "out-linear:1", {"x": "add:2"}), ValueError),
    (lambda c: c.generate_programs(1, "y", "out-linear:1", INPUTS, 0, 33), ValueError),
    (lambda c: c.generate_programs(1, "y", "out-linear:1", INPUTS, 0, 12, (), ["add:2", "sine:1"]), ValueError),
    (lambda c: c.generate_programs(1, "y", "out-linear:1", INPUTS, 0, 12, (), "sin:1"), TypeError),
    (lambda c: c.update([(["y", "x"], ["out-linear:1", "in-linear:0"])], []), ValueError),
    (lambda c: c.update([], [], 1.5), ValueError),
    (lambda c: c.update_priors({"x": -1.0}), ValueError),
    (lambda c: c.update_priors({"x": float("inf")}), ValueError),
    (lambda c: c.update_priors([("x", 1.0)]), TypeError),
    (lambda c: c.decay(-0.1), ValueError),
])
def test_bad_arguments_are_refused(call, error):
    with pytest.raises(error):
        call(ProgramCollection())


def test_variations_of_parents_stay_valid_and_new():
    collection = ProgramCollection()
    parent = (["y", "", "x", "z"], ["out-lr:1", "multiply:2", "in-linear:0", "in-linear:0"])
    collection.update([parent], [0.0])
    programs = collection.generate_programs(100, "y", "out-lr:1", INPUTS, 8, 10, [parent])
    assert len(programs) == 100
    keys = {program_key(*p) for p in programs}
    assert program_key(*parent) not in keys
    for dnames, fnames in programs:
        check_program(dnames, fnames)
        assert len(fnames) <= 10
    # Some are built around the parent: they keep its product of x and z.
    assert sum("multiply:2(in-linear:0[x],in-linear:0[z])" in k for k in keys) >= 10
    with pytest.raises(ValueError):
        collection.generate_programs(5, "y", "out-linear:1", INPUTS, 8, 10, [parent])


def test_kcell_forwards_to_a_real_collection():
    cell = _kestor.KCell()
    programs = cell.generate_programs(20, "y", "out-linear:1", INPUTS, 6)
    assert programs == ProgramCollection().generate_programs(20, "y", "out-linear:1", INPUTS, 6)
    assert cell.update(programs, [1.0] * len(programs)) >= 1
    assert cell.update_priors({"x": 2.0}) is None
    assert cell.decay(0.5) is None
    assert not {program_key(*p) for p in programs} & {
        program_key(*p) for p in cell.generate_programs(20, "y", "out-linear:1", INPUTS, 6)}


def test_simplifications_cut_one_branch_each():
    program = prog("out-linear:1 y", "add:2", "exp:1", "in-linear:0 x", "gaussian:2", "in-linear:0 z", "in-linear:0 u")
    keys = {program_key(*p) for p in simplifications(*program)}
    expected = [
        prog("out-linear:1 y", "add:2", "in-linear:0 x", "gaussian:2", "in-linear:0 z", "in-linear:0 u"),
        prog("out-linear:1 y", "exp:1", "in-linear:0 x"),
        prog("out-linear:1 y", "gaussian:2", "in-linear:0 z", "in-linear:0 u"),
        prog("out-linear:1 y", "add:2", "exp:1", "in-linear:0 x", "in-linear:0 z"),
        prog("out-linear:1 y", "add:2", "exp:1", "in-linear:0 x", "in-linear:0 u"),
        prog("out-linear:1 y", "add:2", "exp:1", "in-linear:0 x", "gaussian:1", "in-linear:0 z"),
        prog("out-linear:1 y", "add:2", "exp:1", "in-linear:0 x", "gaussian:1", "in-linear:0 u"),
    ]
    assert keys == {program_key(*p) for p in expected}
    for dnames, fnames in simplifications(*program):
        check_program(dnames, fnames)


# Laws that a search of the old sampler never proposed, each with a program
# one edit away from it: sqrt(a**2 + b), 1/(1/a + b), w*log(x), a/b.
HARD_LAWS = {
    "hypot": (["sqrt:1", "add:2", "squared:1", "a", "b"], ["sqrt:1", "add:2", "squared:1", "a", "squared:1", "b"]),
    "parallel": (["inverse:1", "add:2", "inverse:1", "a", "b"],
                 ["inverse:1", "add:2", "inverse:1", "a", "inverse:1", "b"]),
    "power": (["multiply:2", "b", "log:1", "a"], ["exp:1", "multiply:2", "b", "log:1", "a"]),
    "root of a ratio": (["multiply:2", "a", "inverse:1", "b"], ["sqrt:1", "multiply:2", "a", "inverse:1", "b"]),
}


def law(*elements):
    return prog("out-linear:1 y", *(f"in-linear:0 {e}" if ":" not in e else e for e in elements))


@pytest.mark.parametrize("name", HARD_LAWS)
@pytest.mark.parametrize("seed", range(3))
def test_a_scored_program_one_edit_from_a_law_leads_to_it(name, seed):
    near, exact = (law(*elements) for elements in HARD_LAWS[name])
    collection = ProgramCollection()
    collection.update([near], [1.0])
    inputs = {"a": "in-linear:0", "b": "in-linear:0"}
    for batch in range(6):
        programs = collection.generate_programs(50, "y", "out-linear:1", inputs, seed * 10 + batch)
        if program_key(*exact) in {program_key(*p) for p in programs}:
            return
        collection.update(programs, [2.0] * len(programs))  # all worse than the near miss
    pytest.fail(f"{name}: not proposed in 300 programs")


def test_every_small_program_comes_first():
    inputs = {"a": "in-linear:0", "b": "in-linear:0"}
    collection = ProgramCollection()
    drawn = []
    for batch in range(8):
        programs = collection.generate_programs(50, "y", "out-linear:1", inputs, batch)
        collection.update(programs, [1.0] * len(programs))
        drawn += programs
    keys = {program_key(*p) for p in drawn}
    small = [p for p in ProgramCollection().generate_programs(100, "y", "out-linear:1", inputs, 0, 3)]
    assert len(small) == 16 and all(program_key(*p) in keys for p in small)
    assert program_key(*law("multiply:2", "a", "squared:1", "b")) in keys


@pytest.mark.parametrize("p", [[1.0], [0.25, 0.25, 0.2, 0.1, 0.1, 0.1], [0.0, 0.7, 0.0, 0.3],
                               list(np.random.default_rng(0).dirichlet(np.ones(40)))])
def test_draw_draws_what_rng_choice_draws(p):
    from vant._basealgo._programcollection import draw

    ours, numpys = np.random.default_rng(11), np.random.default_rng(11)
    weights = [3.0 * share for share in p]   # draw takes weights in proportion
    assert [draw(ours, weights) for _ in range(500)] == [int(numpys.choice(len(p), p=p)) for _ in range(500)]
    assert ours.random() == numpys.random()   # and leaves the generator where choice does


@pytest.mark.parametrize("low, high", [(0.6, 1.4), (-0.3, 0.3), (0.8, 1.2), (-1e-300, 7.5)])
def test_starts_draw_what_rng_uniform_draws(low, high):
    from vant._elements import uniform

    ours, numpys = np.random.default_rng(12), np.random.default_rng(12)
    assert [uniform(ours, low, high) for _ in range(500)] == [numpys.uniform(low, high) for _ in range(500)]
