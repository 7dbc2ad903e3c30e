"""The documentation's examples run: the docstring examples of the public
modules, and the code blocks of every page (with their budgets cut, as for
the README); and the cluster commands the documentation gives keep every
server, dashboards included, on the address they are told."""

import doctest
import importlib
import inspect
import os
import re
import shlex
import subprocess
import sys
import time
from pathlib import Path

import pytest

from vant._cli import main

DOCS = Path(__file__).resolve().parent.parent / "docs"
BLOCK = re.compile(r"^```(python|console|sh)\n(.*?)^```", re.MULTILINE | re.DOTALL)
PUBLIC_MODULES = ["vant", "vant._search", "vant._found", "vant._progress", "vant._render", "vant._estimators",
                  "vant._saving", "vant._basealgo._programcollection"]


@pytest.mark.parametrize("name", PUBLIC_MODULES)
def test_docstring_examples(name):
    flags = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE
    result = doctest.testmod(importlib.import_module(name), optionflags=flags, report=True)
    assert result.failed == 0


def public_callables():
    """(name, function) of every callable `vant` exports and of their public
    methods and properties, those inherited from scikit-learn aside."""
    import vant
    for name in vant.__all__:
        obj = getattr(vant, name)
        yield name, obj
        if not inspect.isclass(obj):
            continue
        for base in obj.__mro__:
            if not base.__module__.startswith("vant"):
                continue
            for attr, member in vars(base).items():
                # methods and properties; a dataclass field's default is data
                if not attr.startswith("_") and (callable(member) or isinstance(member, (property, classmethod))):
                    member = getattr(member, "__func__", member)
                    yield f"{name}.{attr}", getattr(member, "fget", member)


def test_every_public_callable_is_documented_with_numpydoc_sections():
    undocumented = []
    for name, function in public_callables():
        doc = inspect.getdoc(function) or ""
        takes = inspect.isfunction(function) and [p for p in inspect.signature(function).parameters
                                                  if p not in ("self", "cls")]
        if not doc or (takes and "Parameters\n----------" not in doc):
            undocumented.append(name)
    assert not undocumented


def quick(code: str) -> str:
    code = re.sub(r"rounds=[0-9]+", "rounds=1, population=6", code)
    return re.sub(r"--rounds [0-9]+", "--rounds 1 --population 6", code)


def blocks(page: Path, kinds=("python", "console")) -> list[tuple[str, str]]:
    return [(kind, code) for kind, code in BLOCK.findall(page.read_text(encoding="utf-8")) if kind in kinds]


@pytest.mark.parametrize("page", sorted(p.name for p in DOCS.glob("*.md")))
def test_page_examples_run(page, tmp_path, monkeypatch):
    pytest.importorskip("sklearn")
    pytest.importorskip("pandas")
    monkeypatch.chdir(tmp_path)
    namespace: dict = {"__name__": "__docs__"}   # a block's `if __name__ == "__main__":` part is left out
    for number, (kind, code) in enumerate(blocks(DOCS / page)):
        if kind == "python":
            exec(compile(quick(code), f"{page} block {number}", "exec"), namespace)
            continue
        for line in code.splitlines():
            if line.startswith("$ "):
                command = shlex.split(quick(line[2:]))
                assert command[:3] == ["python", "-m", "vant"], line
                assert main(command[3:]) == 0, line


def test_the_site_builds_strictly(tmp_path):
    """A broken reference, a docstring parameter the signature lacks or a
    page left out of the navigation fails the build (as `make docs`)."""
    pytest.importorskip("mkdocs")
    pytest.importorskip("mkdocstrings")
    mkdocs = Path(sys.executable).with_name("mkdocs")
    result = subprocess.run([str(mkdocs), "build", "--strict", "--site-dir", str(tmp_path / "site")],
                            cwd=DOCS.parent, capture_output=True, text=True, timeout=300,
                            env={**os.environ, "NO_MKDOCS_2_WARNING": "1"})
    assert result.returncode == 0, result.stderr[-3000:]


def listening(pid: int) -> set[str]:
    """The addresses a process and its children listen on."""
    import psutil
    process = psutil.Process(pid)
    found = set()
    for each in [process] + process.children(recursive=True):
        try:
            connections = each.net_connections(kind="inet")
        except psutil.NoSuchProcess:
            continue
        found |= {c.laddr.ip for c in connections if c.status == psutil.CONN_LISTEN}
    return found


def test_the_loopback_cluster_commands_listen_on_the_loopback_only(tmp_path):
    pytest.importorskip("distributed")
    from distributed import Client
    (loopback,) = [code for _kind, code in blocks(DOCS / "clusters.md", ("sh",)) if "tcp://127.0.0.1:8786" in code]
    scheduler, worker = (line for line in loopback.splitlines() if line.startswith("dask "))
    # Free ports, one worker process.
    scheduler = scheduler.replace("--port 8786", "--port 0").replace("127.0.0.1:8787", "127.0.0.1:0")
    scheduler += f" --scheduler-file {tmp_path / 'scheduler.json'}"
    dask = str(Path(sys.executable).with_name("dask"))
    started = []
    try:
        started.append(subprocess.Popen([dask] + shlex.split(scheduler)[1:], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL))
        client = Client(scheduler_file=str(tmp_path / "scheduler.json"), timeout=60)
        address = client.scheduler.address
        worker = worker.replace("tcp://127.0.0.1:8786", address).replace("--nworkers -1", "--nworkers 1")
        started.append(subprocess.Popen([dask] + shlex.split(worker)[1:], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL))
        client.wait_for_workers(1, timeout=60)
        # The worker's dashboard starts with it; give its sockets a moment.
        time.sleep(0.5)
        addresses = set().union(*(listening(p.pid) for p in started))
        client.close()
    finally:
        for process in reversed(started):   # the workers first, while their scheduler still answers
            process.terminate()
            try:
                process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                process.kill()
    assert addresses == {"127.0.0.1"}
