"""What a search tells while it runs (bar, lines, callback), and Ctrl-C."""

import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import vant


def data(n=300, seed=0):
    rng = np.random.default_rng(seed)
    x, z = rng.uniform(-1, 1, n), rng.uniform(-1, 1, n)
    return {"x": x, "z": z, "y": np.exp(x) * z + rng.normal(0, 0.05, n)}


def test_callback_sees_every_round_and_the_front_and_silence_at_verbose_0(capsys):
    states = []
    result = vant.search(data(), "y", seed=1, rounds=3, population=6, callback=states.append)
    assert [s.round for s in states] == [0, 1, 2] and all(s.rounds == 3 for s in states)
    assert [s.stopped for s in states] == [None, None, "rounds"] and result.stopped == "rounds"
    assert [s.tried for s in states] == sorted(s.tried for s in states)
    last = states[-1]
    losses = [loss for _size, loss, _expression in last.front]
    assert losses == sorted(losses, reverse=True) and last.best_loss in losses
    assert capsys.readouterr() == ("", "")
    # search returns the front too: the best of each size by held-out loss
    sizes = [m.size for m in result.front]
    assert sizes == sorted(set(sizes)) and not result.interrupted
    for model in result:
        assert model.loss >= next(f.loss for f in result.front if f.size == model.size)


@pytest.mark.parametrize("verbose, tqdm_installed, where, lines", [
    (1, True, "err", "best loss"), (2, True, "out", "front:"), (1, False, "out", "round 1:"),
])
def test_verbose(monkeypatch, capsys, verbose, tqdm_installed, where, lines):
    if tqdm_installed:
        pytest.importorskip("tqdm")
    else:
        monkeypatch.setitem(sys.modules, "tqdm", None)
        monkeypatch.setitem(sys.modules, "tqdm.auto", None)
    vant.search(data(), "y", seed=1, rounds=2, population=4, verbose=verbose)
    captured = capsys.readouterr()
    assert lines in getattr(captured, where)


def test_progress_reads_as_the_result_and_ends_full_with_the_reason(capsys):
    pytest.importorskip("tqdm")
    scaled = dict(data(), y=1000.0 * data()["y"] + 50.0)  # far from the scale the search compares on
    states = []
    result = vant.search(scaled, "y", seed=1, rounds=2, population=6, verbose=2, callback=states.append)
    last = states[-1]
    assert [s.stopped for s in states] == [None, "rounds"] and result[0].metrics["stopped"] == "rounds"
    assert 0.2 < last.best_loss / result[0].loss < 5.0
    assert all(0.2 < loss / model.loss < 5.0 for (size, loss, _e), model in zip(last.front, result.front)
               if size == model.size)
    constants = [abs(float(c)) for c in re.findall(r"\d+\.?\d*(?:e[-+]?\d+)?", last.best_expression)]
    assert max(constants) > 20.0  # the formula on the data's scale, as the result writes it
    captured = capsys.readouterr()
    bar = captured.err.replace("\r", "\n").strip().splitlines()[-1]
    assert "100%" in bar and "round 2/2, best loss" in bar and bar.endswith("stopped: all rounds run")
    assert "[," not in captured.err and last.best_expression in captured.out


INTERRUPT = """
    import os, signal, sys, threading, time, warnings
    import numpy as np, vant
    from vant import SymbolicClassifier  # imported before any timer runs
    rng = np.random.default_rng(0)
    X = rng.uniform(-1, 1, (2000, 3))
    y = np.exp(X[:, 0]) * X[:, 1] + X[:, 2]
    data = {"a": X[:, 0], "b": X[:, 1], "c": X[:, 2], "y": y}
    sent, seen = [], []

    def interrupt(after, times=1):
        sent.append(time.monotonic() + after)
        for k in range(times):
            threading.Timer(after + 0.25 * k, os.kill, (os.getpid(), signal.SIGINT)).start()

    def after_the_first_round(state):  # Ctrl-C while the second round trains
        seen.append(state.stopped)
        if state.round == 0 and not sent:
            interrupt(0.2)

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        models = vant.search(data, "y", seed=1, rounds=10_000, population=8, n_jobs=2,
                             callback=after_the_first_round)
    print("search", round(time.monotonic() - sent.pop(), 1), len(models) > 0, models.interrupted,
          "interrupted" in str(caught[-1].message), models[0].metrics["stopped"], threading.active_count(),
          seen[-1])

    labels = np.digitize(y, [-0.5, 0.5])
    with warnings.catch_warnings(record=True):
        warnings.simplefilter("always")
        fitted = SymbolicClassifier(rounds=10_000, population=8, n_jobs=2, random_state=0,
                                    callback=after_the_first_round)
        fitted.fit(X, labels)
    print("fit", round(time.monotonic() - sent.pop(), 1), len(fitted.best_models_), fitted.score(X, labels) > 0.5,
          threading.active_count())

    # Candidates of 20 million samples: a second Ctrl-C (of several, as a
    # user would press it) comes while the first waits for them.
    interrupt(0.5, times=8)
    try:
        vant.search(data, "y", seed=1, rounds=10_000, train_samples=20_000_000, n_jobs=2)
        print("second: not aborted")
    except KeyboardInterrupt:
        signal.signal(signal.SIGINT, signal.SIG_IGN)  # the rest of the user's presses
        print("second: aborted", flush=True)
        os._exit(0)  # without waiting for the long candidates to finish
"""


def test_ctrl_c_returns_what_was_found_and_a_second_aborts():
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(INTERRUPT)], capture_output=True, text=True,
                            timeout=180)
    assert result.returncode == 0, result.stderr
    search, fit, second = result.stdout.splitlines()
    name, seconds, *rest = search.split()
    assert float(seconds) < 3.0 and rest == ["True", "True", "True", "interrupted", "1", "interrupted"], search  # slack for load, sanitizers
    name, seconds, *rest = fit.split()
    assert float(seconds) < 3.0 and rest == ["3", "True", "1"], fit
    assert second == "second: aborted"
