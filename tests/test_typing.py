"""The modules of the public API type-check in mypy's strict mode (as
configured in pyproject.toml), checked in the suite so that a change that
breaks it fails here and not only in CI's `make typecheck`."""

import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


def test_the_public_api_type_checks_strictly():
    pytest.importorskip("mypy")
    result = subprocess.run([sys.executable, "-m", "mypy"], cwd=ROOT, capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
