"""Models and threads.

Training releases the interpreter lock, so other threads run meanwhile and
can reach a model that is training.  Using it then (training, reading,
predicting, re-initialising) raises RuntimeError and leaves the training
undisturbed; different models train in parallel exactly as they would one
after the other.
"""

import gc
import re
import struct
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import _kestor

LONG = 3_000_000  # samples: a training call of some tenths of a second
TIMEOUT = 60.0  # seconds any one wait may take before the test gives up

DNAMES = ["y", "", "", "x", "", "x2", "", "x"]
FNAMES = ["out-linear:1", "add:2", "multiply:2", "in-linear:0", "tanh:1", "in-linear:0", "gaussian:1", "in-linear:0"]
BUSY = r"(?i)train"  # the refusal says that the model is training


def build(params=None):
    return _kestor.Model(list(DNAMES), list(FNAMES), params or [{"w": 0.5} for _ in FNAMES], 0, "squared_error")


def long_data(n=LONG):
    x = np.linspace(-1.0, 1.0, n)
    x2 = np.cos(7.0 * x)
    return {"x": x, "x2": x2}, x * x2 + 0.5


SMALL_X, SMALL_Y = long_data(50)


def bits(value):
    return struct.pack("<d", value).hex()


def fingerprint(result):
    """A training result with every float as its bit pattern."""
    loss, params = result
    return bits(loss), [{k: bits(v) if isinstance(v, float) else v for k, v in p.items()} for p in params]


class Trainer(threading.Thread):
    """Runs one call on a model in a thread and keeps its outcome."""

    def __init__(self, call):
        super().__init__(daemon=True)
        self.call = call
        self.result = None
        self.error = None
        self.started_call = threading.Event()

    def run(self):
        self.started_call.set()
        try:
            self.result = self.call()
        except BaseException as exc:  # noqa: BLE001 - handed to the test
            self.error = exc

    def finish(self):
        self.join(TIMEOUT)
        assert not self.is_alive(), "the call did not finish"
        if self.error is not None:
            raise self.error
        return self.result


def is_busy(model):
    try:
        model.params
    except RuntimeError:
        return True
    return False


def wait_until_busy(model, thread):
    """True once the model refuses a read while the thread's call runs."""
    thread.started_call.wait(TIMEOUT)
    deadline = time.monotonic() + TIMEOUT
    while thread.is_alive() and time.monotonic() < deadline:
        if is_busy(model):
            return True
    return False


OPERATIONS = {
    "params": lambda m: m.params,
    "activation": lambda m: m.activation(0),
    "_fit": lambda m: m._fit(SMALL_X, SMALL_Y),
    "predict": lambda m: m.predict(SMALL_X),
    "__init__": lambda m: m.__init__(["y", "x"], ["out-lr:1", "in-linear:0"], [{}, {}], 0, "squared_error"),
    "str": lambda m: str(m),
}


def catch_busy(make, operation, attempts=5):
    """Runs operation on a model while a call of make() keeps it busy in another thread.

    make() returns a fresh model and the call to run on it.  Returns the
    model, the operation's exception (None when it succeeded) and the call's
    result.  The operation counts as made during the call when it was
    refused, or when the model refused reads both before and after it: the
    call is one span of business, so it covered the operation.  Other
    attempts are thrown away with their model.
    """
    for _ in range(attempts):
        model, call = make()
        thread = Trainer(call)
        thread.start()
        if not wait_until_busy(model, thread):
            thread.finish()
            continue
        try:
            operation(model)
            outcome = None
        except RuntimeError as exc:
            outcome = exc
        still_busy = is_busy(model)
        result = thread.finish()
        if still_busy or outcome is not None:
            return model, outcome, result
    pytest.fail("never caught the model in the middle of the call")


def assert_refused(outcome):
    assert isinstance(outcome, RuntimeError), outcome
    assert re.search(BUSY, str(outcome)), outcome


@pytest.mark.parametrize("name", sorted(OPERATIONS))
def test_using_a_training_model_raises_and_leaves_the_training_undisturbed(name):
    xarray, y = long_data()

    def make():
        model = build()
        return model, lambda: model._fit(xarray, y)

    model, outcome, result = catch_busy(make, OPERATIONS[name])
    if name == "str":
        assert outcome is None  # the text form reads nothing that training changes
    else:
        assert_refused(outcome)
    twin = build()
    assert fingerprint(result) == fingerprint(twin._fit(xarray, y))
    assert fingerprint((0.0, model.params)) == fingerprint((0.0, twin.params))
    OPERATIONS[name](model)  # once the call has returned, the operation works


@pytest.mark.parametrize("name", ["_fit", "predict", "__init__", "params", "activation"])
def test_using_a_predicting_model_raises_and_changes_nothing(name):
    xarray, _ = long_data()

    def make():
        model = build()
        model._fit(SMALL_X, SMALL_Y)
        return model, lambda: model.predict(xarray)

    model, outcome, predicted = catch_busy(make, OPERATIONS[name])
    assert_refused(outcome)
    twin, _ = make()
    assert fingerprint((0.0, model.params)) == fingerprint((0.0, twin.params))
    assert predicted.shape == (LONG,)
    assert np.array_equal(predicted, twin.predict(xarray))


def test_training_keeps_its_arrays_alive_when_the_caller_drops_them():
    # Scales given, so binding scans no column and only the sample loop lets
    # this thread in.
    params = [{"w": 0.5, "detect_scale": 0, "scale": 1.5} for _ in FNAMES]
    xarray, y = long_data()
    expected = build(params)._fit(xarray, y)
    model = build(params)
    thread = Trainer(lambda: model._fit(xarray, y))
    thread.start()
    assert wait_until_busy(model, thread)
    xarray.clear()  # the caller's dictionary and arrays go away meanwhile
    del y
    gc.collect()
    assert fingerprint(thread.finish()) == fingerprint(expected)


# ---------------------------------------------------------------------------
# Python code run by the module while it holds a model lets other threads in.


def probe_all(model):
    """Names of the operations the model refuses as busy."""
    refused = []
    for name, operation in OPERATIONS.items():
        try:
            operation(model)
        except RuntimeError:
            refused.append(name)
        except ValueError:
            pass  # the probe's data does not fit this model
    return refused


def probe_while_paused(model, call, reached, probed):
    """Runs call in a thread, probes the model while the call is paused inside
    Python code (it sets reached, then waits for probed), and returns the
    operations refused."""
    thread = Trainer(call)
    thread.start()
    assert reached.wait(TIMEOUT)
    refused = probe_all(model)
    probed.set()
    thread.finish()
    return refused


def test_a_model_binding_a_categorical_column_refuses_other_threads():
    reached, probed = threading.Event(), threading.Event()

    class SlowKey:
        def __hash__(self):
            if not reached.is_set():
                reached.set()
                probed.wait(TIMEOUT)  # releases the lock: the main thread probes now
            return 5

    column = np.empty(4, dtype=object)
    column[:] = [SlowKey() for _ in range(4)]
    model = _kestor.Model(["y", "c"], ["out-linear:1", "in-cat:0"], [{}, {}], 0, "squared_error")
    refused = probe_while_paused(model, lambda: model._fit({"c": column}, np.arange(4.0)), reached, probed)
    assert refused == ["params", "activation", "_fit", "predict", "__init__"]
    assert probe_all(model) == []


def test_a_model_being_constructed_refuses_other_threads():
    reached, probed = threading.Event(), threading.Event()

    class SlowNumber:
        def __float__(self):
            reached.set()
            probed.wait(TIMEOUT)
            return 0.75

    model = _kestor.Model.__new__(_kestor.Model)
    refused = probe_while_paused(
        model,
        lambda: model.__init__(["y", "x"], ["out-linear:1", "in-linear:0"], [{"w": SlowNumber()}, {}], 0,
                               "squared_error"),
        reached,
        probed,
    )
    assert refused == ["params", "activation", "_fit", "predict", "__init__"]
    assert model.params[0]["w"] == 0.75


# ---------------------------------------------------------------------------
# Different models at the same time.


def model_kinds():
    """Builders of models of several kinds with their data, each twice alike."""
    n = LONG // 3
    x = np.linspace(-2.0, 2.0, n)
    x2 = np.sin(3.0 * x)
    c = (np.arange(n) % 11).astype(np.int64)
    labels = (x2 > 0).astype(np.float64)

    def regression():
        return build(), {"x": x, "x2": x2}, x * x2 + 0.5

    def logistic():
        model = _kestor.Model(["y", "", "x"], ["out-lr:1", "linear:1", "in-linear:0"], [{}, {"w": 1.0}, {"w": 0.3}], 0,
                              "binary_cross_entropy")
        return model, {"x": x}, labels

    def categorical(seed):
        def make():
            _kestor.srand(seed)  # the categories' first initial weight comes from rand()
            model = _kestor.Model(["y", "", "c", "x"], ["out-linear:1", "multiply:2", "in-cat:0", "in-linear:0"],
                                  [{"w": 1.0}, {}, {"bias": 0.1}, {"w": 0.2}], 12345, "absolute_error")
            return model, {"c": c, "x": x}, x2
        return make

    return [regression, logistic, categorical(3), categorical(4)]


def test_models_trained_in_parallel_match_models_trained_one_after_the_other():
    overlapped = False
    for attempt in range(3):
        kinds = model_kinds()
        parallel = [make() for make in kinds]
        sequential = [make() for make in kinds]
        start = threading.Barrier(len(parallel))

        def train(model, xarray, y):
            start.wait(TIMEOUT)
            return [model._fit(xarray, y), model._fit(xarray, y)]

        threads = [Trainer(lambda m=m, x=x, y=y: train(m, x, y)) for m, x, y in parallel]
        for thread in threads:
            thread.start()
        while any(t.is_alive() for t in threads):
            overlapped = overlapped or all(is_busy(m) for m, _, _ in parallel[:2])
        got = [[fingerprint(r) for r in t.finish()] for t in threads]
        expected = [[fingerprint(m._fit(x, y)), fingerprint(m._fit(x, y))] for m, x, y in sequential]
        assert got == expected
        if overlapped:
            break
    assert overlapped, "the two trainings never ran at the same time"


def test_hammering_a_training_model_from_several_threads():
    xarray, y = long_data(LONG // 2)
    model = build()
    stop = threading.Event()
    outcomes = []

    def hammer(seed):
        rng = np.random.default_rng(seed)
        names = sorted(OPERATIONS)
        while not stop.is_set():
            name = names[int(rng.integers(len(names)))]
            try:
                OPERATIONS[name](model)
                outcomes.append((name, "ok"))
            except RuntimeError:
                outcomes.append((name, "busy"))

    trainer = Trainer(lambda: model._fit(xarray, y))
    trainer.start()
    assert wait_until_busy(model, trainer)
    hammers = [Trainer(lambda s=s: hammer(s)) for s in range(3)]
    for h in hammers:
        h.start()
    try:
        loss, params = trainer.finish()
    finally:
        stop.set()
        for h in hammers:
            h.finish()
    assert len(params) == len(FNAMES)
    assert {outcome for _, outcome in outcomes} <= {"ok", "busy"}
    refused = {name for name, outcome in outcomes if outcome == "busy"}
    assert refused and "str" not in refused
    model.__init__(list(DNAMES), list(FNAMES), [{} for _ in FNAMES], 0, "squared_error")
    model._fit(SMALL_X, SMALL_Y)


# ---------------------------------------------------------------------------
# Interpreter exit while a daemon thread is inside a call.

EXIT_WHILE_BUSY = """
import os, sys, threading, time
import numpy as np
import _kestor

x = np.linspace(-1.0, 1.0, 1_000_000)
model = _kestor.Model(["y", "", "x"], ["out-linear:1", "tanh:1", "in-linear:0"], [{}, {}, {}], 0, "squared_error")


class SlowFlush:
    # The interpreter flushes standard output once before it starts to
    # finalize and once after; during the second no other thread may take the
    # lock any more, so the daemon thread's call ends right then.
    flushes = 0

    def write(self, text):
        return len(text)

    def flush(self, sleep=time.sleep):
        SlowFlush.flushes += 1
        if SlowFlush.flushes == 2:
            sleep(1.0)


def run():
    if sys.argv[1] == "_fit":
        model._fit({"x": x}, x * 2.0)
    else:
        model.predict({"x": x})


threading.Thread(target=run, daemon=True).start()
while True:
    try:
        model.params
    except RuntimeError:
        break
sys.stdout = SlowFlush()
"""


@pytest.mark.parametrize("call", ["_fit", "predict"])
def test_interpreter_exit_while_a_daemon_thread_is_inside_a_call(call, tmp_path):
    # The thread is stopped where it would take the lock back; nothing on its
    # way out may touch Python objects then.
    script = tmp_path / "exit_while_busy.py"
    script.write_text(EXIT_WHILE_BUSY)
    proc = subprocess.run([sys.executable, str(script), call], capture_output=True, text=True, timeout=120, cwd="/")
    assert proc.returncode == 0, proc.stderr[-2000:]
