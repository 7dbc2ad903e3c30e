"""Run the README's code blocks and check (or rewrite) the outputs it shows.

A Python block's output is the ```text block right after it; a console
block holds `$ python -m vant ...` lines, each followed by what it prints.
The Python blocks run in order in one namespace, and the commands in the
same process, all in a scratch folder.

    python tools/readme_outputs.py           # report the blocks whose output drifted
    python tools/readme_outputs.py --update  # rewrite the shown outputs

A search is the same for a seed on any number of threads, but numpy's exp,
log and tanh (and the C library's logf and tanhf) can differ in the last
bit from one CPU or build to another, and a search can then take another
path.  So the outputs are shown together with a fingerprint of those
functions (`FINGERPRINT_FILE`): where the fingerprint differs the outputs
are not expected to match.
"""

from __future__ import annotations

import contextlib
import ctypes
import ctypes.util
import hashlib
import io
import json
import os
import re
import shlex
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
FINGERPRINT_FILE = ROOT / "tests" / "readme_outputs.json"

FENCE = re.compile(r"^```(\w*)\n(.*?)^```\n", re.MULTILINE | re.DOTALL)


@dataclass
class Shown:
    """Code that runs and the text the README shows as its output (None:
    no output shown), with where that text sits in the README."""
    kind: str                 # "python" or "console"
    code: str
    shown: str | None
    span: tuple[int, int] | None = None


def examples(text: str) -> list[Shown]:
    """The README's runnable code in order, each with its shown output."""
    fences = list(FENCE.finditer(text))
    found = []
    for i, fence in enumerate(fences):
        kind, body = fence.group(1), fence.group(2)
        if kind == "python":
            following = fences[i + 1] if i + 1 < len(fences) else None
            if following and following.group(1) == "text" and not text[fence.end():following.start()].strip():
                found.append(Shown("python", body, following.group(2), following.span(2)))
            else:
                found.append(Shown("python", body, None))
        elif kind == "console":
            found.extend(_commands(body, fence.start(2)))
    return found


def _commands(body: str, offset: int) -> list[Shown]:
    """Each `$ ` line of a console block, with the lines after it."""
    commands = []
    position = 0
    for line in body.splitlines(keepends=True):
        if line.startswith("$ "):
            commands.append(Shown("console", line[2:].strip(), "", (offset + position + len(line),) * 2))
        elif commands:
            start, _end = commands[-1].span
            commands[-1].shown += line
            commands[-1].span = (start, offset + position + len(line))
        position += len(line)
    return commands


def normalised(output: str) -> str:
    """Output as compared: trailing spaces and blank lines dropped."""
    return "\n".join(line.rstrip() for line in output.rstrip().splitlines())


def run(items: list[Shown], folder: str) -> list[str]:
    """What each item prints, run in `folder`."""
    from vant._cli import main

    namespace: dict = {"__name__": "__readme__"}
    printed = []
    previous = os.getcwd()
    os.chdir(folder)
    try:
        for number, item in enumerate(items):
            out = io.StringIO()
            with contextlib.redirect_stdout(out):
                if item.kind == "python":
                    exec(compile(item.code, f"README block {number}", "exec"), namespace)
                else:
                    command = shlex.split(item.code)
                    if command[:3] != ["python", "-m", "vant"]:
                        raise ValueError(f"not a vant command: {item.code}")
                    status = main(command[3:])
                    if status != 0:
                        raise RuntimeError(f"{item.code} exited with status {status}")
            printed.append(out.getvalue())
    finally:
        os.chdir(previous)
    return printed


def fingerprint() -> str:
    """A digest of the bits that numpy's and the C library's transcendental
    functions give on a fixed set of arguments."""
    import numpy as np

    digest = hashlib.sha256()
    x = np.random.default_rng(0).uniform(-20.0, 20.0, 4096)
    positive = np.abs(x) + 1e-3
    for values in (np.exp(x), np.log(positive), np.log1p(positive), np.tanh(x), np.sin(x), np.cos(x),
                   np.tanh(x.astype(np.float32)), np.exp(x.astype(np.float32))):
        digest.update(values.tobytes())
    libm = ctypes.CDLL(ctypes.util.find_library("m"))
    for name, argument in (("expf", x), ("logf", positive), ("tanhf", x)):
        function = getattr(libm, name)
        function.restype, function.argtypes = ctypes.c_float, [ctypes.c_float]
        digest.update(np.array([function(float(v)) for v in argument[:512]], dtype=np.float32).tobytes())
    return digest.hexdigest()[:16]


def recorded_fingerprint() -> str | None:
    try:
        return json.loads(FINGERPRINT_FILE.read_text(encoding="utf-8"))["fingerprint"]
    except (OSError, ValueError, KeyError):
        return None


def updated(text: str, items: list[Shown], printed: list[str]) -> str:
    """The README with every shown output replaced by what was printed."""
    for item, output in sorted(zip(items, printed), key=lambda pair: -(pair[0].span or (0, 0))[0]):
        if item.shown is None:
            continue
        start, end = item.span
        shown = normalised(output)
        text = text[:start] + (shown + "\n" if shown else "") + text[end:]
    return text


def drifted(items: list[Shown], printed: list[str]) -> list[str]:
    """A description of each shown output that differs from what was printed."""
    reports = []
    for item, output in zip(items, printed):
        if item.shown is not None and normalised(item.shown) != normalised(output):
            first = item.code.strip().splitlines()[0]
            reports.append(f"block starting {first!r}\n  README shows:\n{_indented(item.shown)}\n"
                           f"  it prints:\n{_indented(output)}")
    return reports


def _indented(text: str) -> str:
    return "\n".join("    " + line for line in normalised(text).splitlines())


def main(argv: list[str]) -> int:
    update = "--update" in argv
    text = README.read_text(encoding="utf-8")
    items = examples(text)
    with tempfile.TemporaryDirectory() as folder:
        printed = run(items, folder)
    if update:
        README.write_text(updated(text, items, printed), encoding="utf-8")
        FINGERPRINT_FILE.write_text(json.dumps({"fingerprint": fingerprint()}, indent=1) + "\n", encoding="utf-8")
        print(f"{README.name}: {sum(item.shown is not None for item in items)} shown outputs written")
        return 0
    reports = drifted(items, printed)
    for report in reports:
        print(report, end="\n\n")
    if reports and recorded_fingerprint() != fingerprint():
        print("(numpy's or the C library's exp, log and tanh give other bits here than where the outputs "
              "were made)")
    return 1 if reports else 0


if __name__ == "__main__":
    sys.path.insert(0, str(ROOT))  # vant from this tree, as the tests import it (the extension installed)
    sys.exit(main(sys.argv[1:]))
