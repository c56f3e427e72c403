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


def write_cli(path, layers, form="ascii", units=0.01, dimension=None, announced=None):
    """A CLI slice file: `layers` is a list of (z, vectors), each vector
    ("hatches", [[xs, ys, xe, ye], ...]) or ("polyline", [[x, y], ...]) in
    units; `form` is "ascii", "short" (16-bit binary; signed where a
    `dimension` coordinate is negative) or "long" (32-bit binary).  Returns
    the path."""
    import struct

    header = ["$$HEADERSTART", "$$ASCII" if form == "ascii" else "$$BINARY", f"$$UNITS/{units:f}", "$$VERSION/200"]
    if dimension is not None:
        header.append("$$DIMENSION/" + ",".join(f"{v:f}" for v in dimension))
    header.append(f"$$LAYERS/{len(layers) if announced is None else announced:06d}")
    header.append("$$HEADEREND")
    if form == "ascii":
        body = ["$$GEOMETRYSTART"]
        for z, vectors in layers:
            body.append(f"$$LAYER/{z}")
            for kind, items in vectors:
                flat = ",".join(f"{v}" for item in items for v in item)
                if kind == "polyline":
                    body.append(f"$$POLYLINE/1,2,{len(items)},{flat}")
                else:
                    body.append(f"$$HATCHES/1,{len(items)},{flat}")
        body.append("$$GEOMETRYEND")
        data = ("\n".join(header + body) + "\n").encode()
    else:
        signed = dimension is not None and min(dimension) < 0
        coordinate = "f" if form == "long" else ("h" if signed else "H")
        count = "i" if form == "long" else "H"
        chunks = ["\n".join(header).encode()]
        for z, vectors in layers:
            chunks.append(struct.pack("<Hf", 127, z) if form == "long" else struct.pack("<HH", 128, int(z)))
            for kind, items in vectors:
                flat = [v for item in items for v in item]
                if kind == "polyline":
                    chunks.append(struct.pack(f"<H3{count}", 130 if form == "long" else 129, 1, 2, len(items)))
                else:
                    chunks.append(struct.pack(f"<H2{count}", 132 if form == "long" else 131, 1, len(items)))
                chunks.append(struct.pack(f"<{len(flat)}{coordinate}", *flat))
        data = b"".join(chunks)
    path.write_bytes(data)
    return path


def densify_reference(segments, step, rate, laser_off, max_samples=10_000_000):
    """The sampling of rastermark_tools.sampling.densify, segment by segment:
    x, y and the columns t, z, laser_on, vector (or None for a refused move)."""
    import math

    import numpy as np

    xs, ys, zs, ts, on, vec = [], [], [], [], [], []
    clock, timed = 0.0, True
    joined, end = False, (math.nan, math.nan)
    for s in segments:
        length = float(np.hypot(s.x1 - s.x0, s.y1 - s.y0))
        duration = length / s.speed if s.speed > 0 else math.nan
        start_time = clock + s.pause
        clock = start_time + (duration if not math.isnan(duration) else 0.0)
        if math.isnan(duration) and length > 0:
            timed = False
        if not (s.laser_on or laser_off):
            joined = False
            continue
        if joined and (s.x0, s.y0) != end:
            joined = False
        wanted = duration * rate if rate is not None else length / step
        if not wanted <= max_samples:
            return None
        steps = max(1, math.ceil(wanted - 1e-9))
        f = np.arange(0 if not joined else 1, steps + 1) / steps
        xs.append(s.x0 + f * (s.x1 - s.x0))
        ys.append(s.y0 + f * (s.y1 - s.y0))
        zs.append(s.z0 + f * (s.z1 - s.z0))
        ts.append(start_time + f * (0.0 if math.isnan(duration) else duration))
        on.append(np.full(len(f), 1 if s.laser_on else 0, np.int8))
        vec.append(np.full(len(f), s.vector, np.int64))
        joined, end = True, (s.x1, s.y1)
    if not xs:
        return np.zeros(0), np.zeros(0), {"laser_on": np.zeros(0, np.int8), "vector": np.zeros(0, np.int64)}
    columns = {"laser_on": np.concatenate(on), "vector": np.concatenate(vec)}
    if timed:
        columns["t"] = np.concatenate(ts)
    z = np.concatenate(zs)
    if not np.isnan(z).any():
        columns["z"] = z
    return np.concatenate(xs), np.concatenate(ys), columns
