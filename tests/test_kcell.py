"""KCell forwards four methods to a ProgramCollection of the host package."""

import gc
import types

import pytest

import _kestor
from conftest import PROGRAMCOLLECTION_MODULE, install_host_modules

KCell = _kestor.KCell
METHODS = ["generate_programs", "update", "update_priors", "decay"]


def test_text_form(programcollection):
    cell = KCell()
    assert str(cell) == repr(cell) == "_kestor.KCell"


def test_subclass_keeps_the_text_form(programcollection):
    class Cell(KCell):
        pass

    cell = Cell()
    assert str(cell) == repr(cell) == "_kestor.KCell"
    assert len(programcollection.instances) == 1
    del cell
    gc.collect()


def test_construction_arguments_are_ignored(programcollection):
    cell = KCell(1, key=2)
    assert str(cell) == "_kestor.KCell"
    assert programcollection.instances[0].init_args == ((), {})
    cell.decay()
    assert programcollection.instances[0].calls == [("decay", ())]


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("args", [(), (1,), ("a", None, [3])])
def test_methods_forward_arguments_and_return_the_same_object(programcollection, method, args):
    cell = KCell()
    collection = programcollection.instances[0]
    sentinel = object()
    collection.results[method] = sentinel
    assert getattr(cell, method)(*args) is sentinel
    assert collection.calls == [(method, args)]


def test_arguments_are_passed_unchanged(programcollection):
    cell = KCell()
    a, b = [1], {"k": 2}
    cell.update(a, b)
    name, args = programcollection.instances[0].calls[0]
    assert name == "update" and args[0] is a and args[1] is b


@pytest.mark.parametrize("method", METHODS)
def test_keyword_arguments_are_refused_before_the_collection(programcollection, method):
    cell = KCell()
    with pytest.raises(TypeError):
        getattr(cell, method)(n=5)
    assert programcollection.instances[0].calls == []


@pytest.mark.parametrize("method", METHODS)
def test_exceptions_from_the_collection_propagate_unchanged(programcollection, method):
    error = LookupError("from the collection")

    def fail(*args):
        raise error

    cell = KCell()
    setattr(programcollection.instances[0], method, fail)
    with pytest.raises(LookupError) as info:
        getattr(cell, method)(1)
    assert info.value is error


def test_missing_method_raises_attribute_error(programcollection):
    class Partial:
        def update(self, *args):
            return "updated"

    programcollection.module.ProgramCollection = Partial
    cell = KCell()
    assert cell.update() == "updated"
    with pytest.raises(AttributeError):
        cell.decay()


def test_each_cell_has_its_own_collection(programcollection):
    first, second = KCell(), KCell()
    assert len(programcollection.instances) == 2
    first.decay()
    second.update(1)
    assert programcollection.instances[0].calls == [("decay", ())]
    assert programcollection.instances[1].calls == [("update", (1,))]


def test_collection_is_released_with_the_cell(programcollection):
    import weakref

    cell = KCell()
    ref = weakref.ref(programcollection.instances.pop())
    del cell
    gc.collect()
    assert ref() is None


def test_import_failure_propagates(monkeypatch):
    install_host_modules(monkeypatch, None)
    with pytest.raises(ImportError):
        KCell()


def test_missing_class_propagates(monkeypatch):
    install_host_modules(monkeypatch, types.ModuleType(PROGRAMCOLLECTION_MODULE))
    with pytest.raises(AttributeError):
        KCell()


def test_constructor_error_propagates(programcollection):
    class Failing:
        def __init__(self):
            raise KeyError("no programs")

    programcollection.module.ProgramCollection = Failing
    with pytest.raises(KeyError, match="no programs"):
        KCell()


def test_constructor_is_called_without_arguments(programcollection):
    KCell("ignored", 2, x=3)
    assert programcollection.instances[0].init_args == ((), {})


@pytest.mark.parametrize("method", METHODS)
def test_cell_without_collection_raises(method):
    cell = KCell.__new__(KCell)
    assert str(cell) == "_kestor.KCell"
    with pytest.raises(Exception):
        getattr(cell, method)()


def test_subclass_that_skips_init_raises(programcollection):
    class Lazy(KCell):
        def __init__(self):
            pass

    with pytest.raises(Exception):
        Lazy().update()
    assert programcollection.instances == []


def test_failed_init_leaves_a_cell_that_raises(programcollection):
    cell = KCell()
    programcollection.module.ProgramCollection = None  # not callable
    with pytest.raises(TypeError):
        cell.__init__()
    with pytest.raises(Exception):
        cell.decay()
