"""The package version: from the source tree's pyproject.toml when vant runs
from a checkout (the installed metadata may be an older build's), else as
the build wrote it beside the installed package (else from its metadata)."""

from __future__ import annotations

import re
from pathlib import Path

UNKNOWN = "0+unknown"


def version() -> str:
    pyproject = Path(__file__).resolve().parent.parent / "pyproject.toml"
    try:
        text = pyproject.read_text(encoding="utf-8")
    except OSError:
        text = ""
    if re.search(r'^name\s*=\s*"vant"\s*$', text, re.MULTILINE):
        found = re.search(r'^version\s*=\s*"([^"]+)"\s*$', text, re.MULTILINE)
        if found:
            return found.group(1)
    try:
        from ._built import VERSION   # an installed build
        return VERSION
    except ImportError:
        pass
    from importlib import metadata
    try:
        return metadata.version("vant")
    except metadata.PackageNotFoundError:
        return UNKNOWN
