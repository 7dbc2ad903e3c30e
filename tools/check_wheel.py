"""Check that a built wheel holds everything an installed vant needs: every
module of the source tree, the compiled extensions, the type information
and the version file; and none of the source tree's stand-ins.

    python tools/check_wheel.py dist/vant-*.whl
"""

import fnmatch
import sys
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
# The source tree's stand-ins for the compiled modules, and the template of
# the version file: the build replaces them.
NOT_INSTALLED = {"vant/_operators.py", "vant/_linalg.py", "vant/_built.py.in"}
BUILT = ["_kestor.cpython-*.so", "_kestor.pyi", "_kestor-stubs/__init__.pyi", "vant/py.typed", "vant/_built.py",
         "vant/_operators.cpython-*.so", "vant/_operators.pyi", "vant/_linalg.cpython-*.so"]


def missing_and_extra(names: list[str]) -> tuple[list[str], list[str]]:
    sources = {path.relative_to(ROOT).as_posix() for path in (ROOT / "vant").rglob("*")
               if path.is_file() and "__pycache__" not in path.parts}
    wanted = sorted(sources - NOT_INSTALLED)
    missing = [name for name in wanted if name not in names]
    missing += [pattern for pattern in BUILT if not fnmatch.filter(names, pattern)]
    extra = sorted(set(names) & NOT_INSTALLED)
    return missing, extra


def main(path: str) -> int:
    with zipfile.ZipFile(path) as wheel:
        names = wheel.namelist()
        entry_points = next((wheel.read(n).decode() for n in names if n.endswith(".dist-info/entry_points.txt")), "")
    missing, extra = missing_and_extra(names)
    if "vant = vant._cli:entry_point" not in entry_points:
        missing.append("the 'vant' command in entry_points.txt")
    for name in missing:
        print(f"{path}: missing {name}", file=sys.stderr)
    for name in extra:
        print(f"{path}: holds the source tree's stand-in {name}", file=sys.stderr)
    if missing or extra:
        return 1
    print(f"{path}: {len(names)} files, nothing missing")
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1]))
