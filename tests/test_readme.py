"""Every code block of the README runs: the Python blocks in order in one
namespace, and the `$ python -m vant ...` lines of the console blocks, in a
scratch folder.  Budgets are cut (a second, one round, fewer candidates) to
keep the suite quick: the blocks are run for what they call, not for the
formulas their outputs show."""

import re
import shlex
from pathlib import Path

import pytest

from vant._cli import main

README = Path(__file__).resolve().parent.parent / "README.md"
BLOCK = re.compile(r"^```(python|console)\n(.*?)^```", re.MULTILINE | re.DOTALL)


def quick(code: str) -> str:
    code = re.sub(r"time_limit=[0-9.]+", "time_limit=1, rounds=1, population=6", code)
    code = re.sub(r"rounds=[0-9]+\)", "rounds=1, population=6)", code)
    return re.sub(r"--time-limit [0-9.]+", "--time-limit 1 --rounds 1 --population 6", code)


def test_every_block_runs(tmp_path, monkeypatch):
    pytest.importorskip("sklearn")
    pytest.importorskip("pandas")
    monkeypatch.chdir(tmp_path)
    blocks = BLOCK.findall(README.read_text(encoding="utf-8"))
    assert [kind for kind, _code in blocks].count("console") >= 1
    namespace: dict = {"__name__": "__readme__"}
    for number, (kind, code) in enumerate(blocks):
        if kind == "python":
            exec(compile(quick(code), f"README block {number}", "exec"), namespace)
            continue
        for line in code.splitlines():
            if line.startswith("$ "):
                command = shlex.split(quick(line[2:]))
                assert command[:3] == ["python", "-m", "vant"], line
                # In this process: test_cli runs `python -m vant` itself.
                assert main(command[3:]) == 0, line
