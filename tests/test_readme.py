"""The README's code runs and prints what the README shows.

The Python blocks run in order in one namespace, the `$ python -m vant ...`
lines in the same process, in a scratch folder (see
tools/readme_outputs.py, which also rewrites the shown outputs with
`--update` after a change to the search)."""

import importlib.util
import re
import sys
from pathlib import Path

import pytest

TOOL = Path(__file__).resolve().parent.parent / "tools" / "readme_outputs.py"
_spec = importlib.util.spec_from_file_location("readme_outputs", TOOL)
readme_outputs = sys.modules.setdefault("readme_outputs", importlib.util.module_from_spec(_spec))
_spec.loader.exec_module(readme_outputs)


def test_every_block_runs_and_prints_what_the_readme_shows(tmp_path):
    pytest.importorskip("sklearn")
    pytest.importorskip("pandas")
    items = readme_outputs.examples(readme_outputs.README.read_text(encoding="utf-8"))
    assert any(item.kind == "console" for item in items)
    # A time limit makes a search's result depend on the machine's speed.
    timed = [item.code for item in items if item.shown and re.search(r"time[_-]limit", item.code)]
    assert not timed, f"examples showing output must end by rounds, not time: {timed}"
    printed = readme_outputs.run(items, str(tmp_path))
    drifted = readme_outputs.drifted(items, printed)
    if drifted and readme_outputs.recorded_fingerprint() != readme_outputs.fingerprint():
        pytest.skip("numpy's or the C library's exp, log or tanh give other bits here than where the README's "
                    "outputs were made, so a search may take another path")
    assert not drifted, ("the README shows other outputs than its code prints (after a change to the search, "
                         "run tools/readme_outputs.py --update and review the result):\n\n" + "\n\n".join(drifted))


SAMPLE = """\
Text.

```python
print(1)
```

```text
old
```

```python
x = 2
```

```console
$ python -m vant a.csv --target y
old line
old line 2
$ python -m vant b.csv --target y
```
"""


def test_update_replaces_exactly_the_shown_outputs():
    items = readme_outputs.examples(SAMPLE)
    assert [(item.kind, item.shown) for item in items] == [
        ("python", "old\n"), ("python", None), ("console", "old line\nold line 2\n"), ("console", "")]
    text = readme_outputs.updated(SAMPLE, items, ["1\n", "", "first\n\n", "second\n"])
    assert [item.shown for item in readme_outputs.examples(text)] == ["1\n", None, "first\n", "second\n"]
    assert text.startswith("Text.\n\n```python\nprint(1)\n```\n\n```text\n1\n```\n") and text.endswith("second\n```\n")
