"""Fail when a valgrind memcheck log reports a definite leak or an invalid
access whose stack passes through the _kestor extension.

The interpreter itself keeps some blocks until exit, so leaks are judged by
where they were allocated, not counted.

Usage: python tools/valgrind_leaks.py valgrind.log
"""

import pathlib
import re
import sys

# Frames name the shared object when there is no debug information, and the
# source file when there is.
SOURCES = {p.name for p in (pathlib.Path(__file__).parent.parent / "kestor_ext" / "src").rglob("*.cpp")}


def ours(frame):
    return "_kestor" in frame or any(f"({name}:" in frame for name in SOURCES)


def counts(head, frames):
    """A report of ours, except what module import keeps for the life of the
    process (numpy's modules, interned names), which valgrind on 3.13 calls
    lost at exit."""
    if not any(ours(frame) for frame in frames):
        return False
    if "definitely lost" in head:
        return not any("PyInit__kestor" in frame for frame in frames)
    return head.startswith(("Invalid ", "Conditional jump", "Use of uninitialised", "Mismatched free"))

RECORD = re.compile(r"^==\d+==\s+(\S.*)$")


def records(lines):
    """Yield each valgrind message as (headline, frames)."""
    head, frames = None, []
    for line in lines:
        m = RECORD.match(line.rstrip("\n"))
        if not m:
            continue
        text = m.group(1)
        if text.startswith(("at 0x", "by 0x")):
            frames.append(text)
            continue
        if head is not None:
            yield head, frames
        head, frames = text, []
    if head is not None:
        yield head, frames


def main(path):
    with open(path, errors="replace") as log:
        found = [(h, f) for h, f in records(log) if counts(h, f)]
    for head, frames in found:
        print(head)
        for frame in frames:
            print("   ", frame)
    print(f"{len(found)} valgrind reports involve _kestor")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
