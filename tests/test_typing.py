"""The installed type information, checked with mypy --strict."""

import importlib.util
import subprocess
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).parent / "typing"

pytestmark = pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")


def mypy(path):
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", str(path)],
                          capture_output=True, text=True, timeout=600, cwd=HERE)


def test_typed_use_passes_strict_checking():
    out = mypy(HERE / "uses_rastermark.py")
    assert out.returncode == 0, out.stdout + out.stderr


def test_passing_a_list_is_rejected():
    out = mypy(HERE / "misuses_rastermark.py")
    assert out.returncode == 1, out.stdout + out.stderr
    assert "annotate_scanlines" in out.stdout and "arg-type" in out.stdout
