import subprocess
import sys
import textwrap
import types

import pytest

import _kestor
from _reference import LinearPairReference

PROGRAMCOLLECTION_MODULE = "vant._basealgo._programcollection"

@pytest.fixture
def kestor():
    return _kestor


def linear_pair(root=None, leaf=None, sample_count=0, loss="squared_error"):
    """The model out-linear:1 over in-linear:0 and its pure-Python twin."""
    root = dict(root or {})
    leaf = dict(leaf or {})
    model = _kestor.Model(["y", "x"], ["out-linear:1", "in-linear:0"], [dict(root), dict(leaf)], sample_count, loss)
    return model, LinearPairReference(root, leaf, sample_count, loss)


@pytest.fixture
def make_pair():
    return linear_pair


def run_isolated(code, timeout=60):
    """Runs code in a fresh interpreter (for changes to process-wide state such
    as the interaction registry) and returns its standard output."""
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        cwd="/",
    )
    assert proc.returncode == 0, f"child failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr}"
    return proc.stdout


class _CollectionLog:
    def __init__(self):
        self.instances = []


def install_host_modules(monkeypatch, leaf):
    """Puts `leaf` where KCell imports ProgramCollection from, under stand-in
    parent packages: importing a dotted name also imports its top-level
    package, and the real host package must not be involved."""
    parts = PROGRAMCOLLECTION_MODULE.split(".")
    for depth in range(1, len(parts)):
        name = ".".join(parts[:depth])
        package = types.ModuleType(name)
        package.__path__ = []
        monkeypatch.setitem(sys.modules, name, package)
    monkeypatch.setitem(sys.modules, PROGRAMCOLLECTION_MODULE, leaf)


@pytest.fixture
def programcollection(monkeypatch):
    """Installs a recording ProgramCollection where KCell imports it from."""
    log = _CollectionLog()

    class ProgramCollection:
        def __init__(self, *args, **kwargs):
            self.init_args = (args, kwargs)
            self.calls = []
            self.results = {}
            log.instances.append(self)

        def _record(self, name, args):
            self.calls.append((name, args))
            return self.results.get(name, object())

        def generate_programs(self, *args):
            return self._record("generate_programs", args)

        def update(self, *args):
            return self._record("update", args)

        def update_priors(self, *args):
            return self._record("update_priors", args)

        def decay(self, *args):
            return self._record("decay", args)

    module = types.ModuleType(PROGRAMCOLLECTION_MODULE)
    module.ProgramCollection = ProgramCollection
    install_host_modules(monkeypatch, module)
    log.module = module
    log.cls = ProgramCollection
    return log


@pytest.fixture
def isolated():
    return run_isolated
