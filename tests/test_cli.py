"""python -m vant on CSV files, and vant.__version__."""

import re
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest

import vant
from vant._cli import main

pandas = pytest.importorskip("pandas")


@pytest.fixture(scope="module")
def table(tmp_path_factory):
    rng = np.random.default_rng(0)
    n = 200
    x, z = rng.uniform(-2, 2, n), rng.uniform(-1, 1, n)
    frame = pandas.DataFrame({"x": x, "z": z, "shop": rng.choice(["a", "b"], n),
                              "y": 3 * np.exp(-x ** 2) + z + rng.normal(0, 0.05, n),
                              "label": np.where(x * z > 0.1, "yes", "no")})
    path = tmp_path_factory.mktemp("cli") / "data.csv"
    frame.to_csv(path, index=False)
    return path


@pytest.mark.parametrize("kind, target, metric", [("regression", "y", "r2"), ("classification", "label", "accuracy")])
def test_prints_the_front_and_writes_models_and_plot(table, tmp_path, capsys, kind, target, metric):
    pytest.importorskip("matplotlib")
    output, plot = tmp_path / "models.json", tmp_path / "front.png"
    status = main([str(table), "--target", target, "--kind", kind, "--time-limit", "5", "--rounds", "1",
                   "--population", "8",
                   "--seed", "1", "--output", str(output), "--plot", str(plot)])
    printed = capsys.readouterr().out
    assert status == 0
    header, *rows = printed.split("\n\n")[0].splitlines()
    assert header.split() == ["size", "loss", metric, "expression"]
    assert sum(row.startswith("*") for row in rows) == 1
    loaded = vant.load(output)
    assert loaded.n_features_in_ == 4 and len(loaded.pareto_front_) == len(rows)
    assert plot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize("arguments, message", [
    (["missing.csv", "--target", "y"], "no such file"),
    (["{table}", "--target", "nope"], "no column 'nope'"),
    (["{table}", "--target", "shop"], "must be numeric"),
    (["{table}", "--target", "y", "--output", "/no/such/folder/m.json"], "no such folder"),
    (["{bad}", "--target", "y"], "cannot read"),
    (["{table}", "--target", "y", "--operators", "sin,nope"], "nope"),
    (["{table}", "--target", "y", "--scheduler", "tcp://127.0.0.1:9", "--time-limit", "1"], "Dask"),
    (["{folder}", "--target", "y"], "is a folder, not a data file"),
    (["{stray}", "--target", "y"], "column 'x' holds 1 value that is not a number (e.g. 'n/a?') among numbers"),
    (["{table}", "--target", "y", "--output", "{bad}/m.json"], "--output: no such folder"),
])
def test_bad_input_is_one_line_and_status_2(table, tmp_path, capsys, arguments, message):
    bad = tmp_path / "bad.parquet"
    bad.write_bytes(b"not parquet")
    stray = tmp_path / "stray.csv"
    frame = pandas.read_csv(table).astype({"x": object})
    frame.loc[7, "x"] = "n/a?"
    frame.to_csv(stray, index=False)
    arguments = [a.format(table=table, bad=bad, folder=tmp_path, stray=stray) for a in arguments]
    assert main(arguments + ["--rounds", "1"]) == 2
    error = capsys.readouterr().err
    assert error.count("\n") == 1 and message in error and "Traceback" not in error


def test_help_explains_every_option_and_module_runs():
    result = subprocess.run([sys.executable, "-m", "vant", "--help"], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0
    for option in ("--target", "--kind", "--time-limit", "--seed", "--output", "--plot", "--rounds", "--population",
                   "--max-elements", "--operators", "--n-jobs", "--scheduler", "--verbose", "--version"):
        assert option in result.stdout
    assert subprocess.run([sys.executable, "-m", "vant", "x.csv"], capture_output=True, timeout=60).returncode == 2


def test_a_reader_that_stops_early_ends_quietly(table):
    """`python -m vant data.csv | head -1`: no BrokenPipeError traceback."""
    command = [sys.executable, "-m", "vant", str(table), "--target", "y", "--rounds", "1", "--population", "4",
               "--seed", "1"]
    with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE) as process:
        process.stdout.close()   # the reader is gone before the first line
        error = process.stderr.read().decode()
        assert process.wait(120) == 141 and error == ""


def test_version_comes_from_the_package():
    root = Path(__file__).resolve().parent.parent
    version = re.search(r'^version = "(.+)"', (root / "pyproject.toml").read_text(), re.MULTILINE).group(1)
    assert vant.__version__ == version
    # what an installed build reports (written from the build's own version)
    assert re.search(r"^\s*version: '(.+)'", (root / "meson.build").read_text(), re.MULTILINE).group(1) == version


def test_reads_parquet(table, tmp_path, capsys):
    pytest.importorskip("pyarrow", exc_type=ImportError)  # present but built for another numpy: absent
    path = tmp_path / "data.parquet"
    pandas.read_csv(table).to_parquet(path)
    assert main([str(path), "--target", "y", "--rounds", "1", "--population", "4", "--seed", "2"]) == 0
    assert "expression" in capsys.readouterr().out


def test_renamed_columns_get_a_legend(tmp_path, capsys):
    rng = np.random.default_rng(1)
    speed = rng.uniform(0, 2, 100)
    path = tmp_path / "data.csv"
    pandas.DataFrame({"speed (m/s)": speed, "y": 3 * speed + 1}).to_csv(path, index=False)
    assert main([str(path), "--target", "y", "--rounds", "1", "--population", "4", "--seed", "0"]) == 0
    printed = capsys.readouterr().out
    assert "speed__m_s_" in printed and "columns renamed in the formulas:\n  speed__m_s_ = speed (m/s)\n" in printed


def test_ctrl_c_keeps_what_was_found_says_so_in_one_line_and_exits_130(tmp_path):
    rng = np.random.default_rng(2)
    table = tmp_path / "noise.csv"
    pandas.DataFrame({"x": rng.uniform(-1, 1, 300), "y": rng.normal(size=300)}).to_csv(table, index=False)
    output = tmp_path / "models.json"
    command = [sys.executable, "-m", "vant", str(table), "--target", "y", "--rounds", "100000", "--seed", "0",
               "--output", str(output), "--verbose"]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    err = []
    reader = threading.Thread(target=lambda: err.extend(iter(lambda: process.stderr.read(1), b"")), daemon=True)
    reader.start()
    try:
        deadline = time.monotonic() + 60
        while b"loss" not in b"".join(err) and time.monotonic() < deadline:  # a round is done
            time.sleep(0.05)
        process.send_signal(signal.SIGINT)
        out = process.stdout.read().decode()
        process.wait(timeout=60)
        reader.join(timeout=10)
    finally:
        process.kill()
    lines = b"".join(err).decode().replace("\r", "\n").splitlines()
    assert process.returncode == 130, lines
    assert lines[-1] == f"python -m vant: interrupted: the front above holds the formulas found until then " \
                        f"and written to {output}"
    assert not any("Warning" in line or ".py" in line for line in lines)
    assert "expression" in out and vant.load(output).best_model_ is not None
