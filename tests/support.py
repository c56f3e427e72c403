"""Helpers shared by the toolkit's tests: where the real data lives, files
written for a test, and the command line run as a user runs it."""

import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
SHIPPED = ROOT / "data" / "pbf_peregrine_P5"
REALDATA = Path(os.environ.get("RASTERMARK_REALDATA", ROOT.parent / "shared" / "realdata"))
needs_realdata = pytest.mark.skipif(not REALDATA.is_dir(), reason="shared real data folder absent")
# h5py is the one extra without wheels for every interpreter (none for 3.15 yet).
HAVE_H5PY = importlib.util.find_spec("h5py") is not None
needs_h5py = pytest.mark.skipif(not HAVE_H5PY, reason="h5py is not installed (no wheel for this interpreter)")


def broken(tmp_path, name, content: bytes):
    """A file of the given bytes in tmp_path (named for what it holds)."""
    path = tmp_path / name
    path.write_bytes(content)
    return path


def vertices(layer):
    """The end points of the moves of a layer densified with one sample per move."""
    return [(round(float(a), 6), round(float(b), 6)) for a, b in zip(layer.x, layer.y)]


def cli(*args, timeout=300):
    return subprocess.run([sys.executable, "-m", "rastermark_tools", *map(str, args)], capture_output=True,
                          text=True, timeout=timeout)
