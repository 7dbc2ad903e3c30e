"""Run an installed vant from outside its source tree: a short search, a
model saved and loaded, the extra operators, and the command line.

Run by `make test-wheel` with the interpreter of a fresh environment that
has only the wheel (and pandas, for the command) installed.
"""

import os
import subprocess
import sys
from pathlib import Path

import numpy as np

import vant


def check_installed() -> None:
    here = Path(vant.__file__).resolve()
    assert "site-packages" in here.parts, f"vant imported from {here}, not from the installed wheel"
    assert vant.__version__, "no version"
    loaded = sorted(name for name in ("sklearn", "sympy", "matplotlib", "tqdm", "pandas", "dask")
                    if name in sys.modules)
    assert not loaded, f"import vant imported {loaded}"


def check_search() -> None:
    rng = np.random.default_rng(0)
    x = rng.uniform(-2, 2, 500)
    data = {"x": x, "y": 2 * np.sin(x) + 1}
    models = vant.search(data, "y", operators="all", seed=1, rounds=2, population=8)
    again = vant.load_json(models[0].to_json())
    assert np.array_equal(again.predict(data), models[0].predict(data)), "a loaded model predicts otherwise"
    print("search:", models[0])


def check_command() -> None:
    rng = np.random.default_rng(1)
    x = rng.uniform(-2, 2, 300)
    lines = ["x,y"] + [f"{a!r},{3 * a - 1!r}" for a in x.tolist()]
    Path("data.csv").write_text("\n".join(lines) + "\n", encoding="utf-8")
    command = Path(sys.executable).with_name("vant")
    for argv in ([str(command)], [sys.executable, "-m", "vant"]):
        result = subprocess.run(argv + ["data.csv", "--target", "y", "--rounds", "2", "--seed", "0",
                                        "--output", "models.json"],
                                capture_output=True, text=True, timeout=300)
        assert result.returncode == 0, f"{argv} failed ({result.returncode}):\n{result.stdout}\n{result.stderr}"
        assert "expression" in result.stdout and os.path.isfile("models.json"), result.stdout
    print("command:", result.stdout.splitlines()[1])


if __name__ == "__main__":
    check_installed()
    check_search()
    check_command()
    print("the installed wheel works")
