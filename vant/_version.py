"""The package version: from the source tree's pyproject.toml when vant runs
from a checkout (the installed metadata may be an older build's), else as
the build wrote it beside the installed package (else from its metadata)."""

from __future__ import annotations

import os
import re

UNKNOWN = "0+unknown"


def version() -> str:
    # (os.path rather than pathlib, whose import alone costs more than this)
    pyproject = os.path.join(os.path.dirname(os.path.dirname(os.path.realpath(__file__))), "pyproject.toml")
    try:
        with open(pyproject, encoding="utf-8") as file:
            text = file.read()
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
