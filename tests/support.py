"""Helpers shared by the tests: layers and their labels, Python run in a
fresh process, where the real data lives, files written for a test, and the
command line run as a user runs it."""

import importlib.util
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
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


# -- layers and their labels ----------------------------------------------------


def hatched_layer(n, angle_deg, seed=0, dtype=np.float64):
    """The islands layer of examples/layers.py, which the examples and the
    benchmarks also draw their synthetic layers from."""
    sys.path.insert(0, str(ROOT / "examples"))
    try:
        from layers import hatched_layer as make
    finally:
        sys.path.remove(str(ROOT / "examples"))
    return make(n, angle_deg, seed, dtype)


def recorded_layer(n, angle_deg, seed=0, dtype=np.float64):
    """The hatched layer as an encoder and a fast controller report it:
    positions on a 1 um grid (hatches steeper than one grid step per sample
    repeat x once or more while y moves on), and runs of one to nine copies
    of a sample here and there."""
    rng = np.random.default_rng(seed)
    x, y = hatched_layer(n, angle_deg, seed, np.float64)
    x, y = np.round(x * 1000.0) / 1000.0, np.round(y * 1000.0) / 1000.0
    copies = np.where(rng.random(len(x)) < 0.2, rng.integers(2, 10, len(x)), 1)
    index = np.repeat(np.arange(len(x)), copies)[:n]
    return x[index].astype(dtype), y[index].astype(dtype)


FLOAT_TYPES = [np.float64, np.float32]


def zigzag(lines: int, shift_after: int | None = None, shift: float = 50.0):
    """The vertical zig-zag of the worked examples: line k at x = k with five
    samples (rising on even lines, falling on odd ones) and one transition
    sample between lines; everything after line `shift_after` moves by
    `shift` in x."""
    xs, ys = [], []
    for k in range(lines):
        dx = shift if shift_after is not None and k > shift_after else 0.0
        values = [0, 1, 2, 3, 4] if k % 2 == 0 else [4, 3, 2, 1, 0]
        xs += [k + dx] * 5
        ys += values
        if k < lines - 1:
            tdx = shift if shift_after is not None and k >= shift_after else 0.0
            xs.append(k + 0.5 + tdx)
            ys.append(5 if k % 2 == 0 else -1)
    return np.array(xs, dtype=np.float64), np.array(ys, dtype=np.float64)


def expected_labels(n, stretches):
    """Labels from {id: (first, last)} with -1 elsewhere."""
    out = np.full(n, -1, dtype=np.int32)
    for ident, (first, last) in stretches.items():
        out[first : last + 1] = ident
    return out


def long_zigzag(lines: int, per_line: int, dtype=np.float64):
    """Vertical zig-zag: line k at x = k with `per_line` samples rising on
    even and falling on odd lines, one transition sample after each line but
    the last (at y = per_line after a rising line, -1 after a falling one)."""
    ramp = np.arange(per_line, dtype=dtype)
    block = per_line + 1
    n = lines * block - 1
    x = np.empty(n, dtype=dtype)
    y = np.empty(n, dtype=dtype)
    for parity in (0, 1):
        ks = np.arange(parity, lines, 2)
        starts = ks * block
        idx = (starts[:, None] + np.arange(per_line)[None, :]).ravel()
        x[idx] = np.repeat(ks.astype(dtype), per_line)
        y[idx] = np.tile(ramp if parity == 0 else ramp[::-1], len(ks))
        trans = starts + per_line
        keep = trans < n
        x[trans[keep]] = ks[keep] + dtype(0.5)
        y[trans[keep]] = per_line if parity == 0 else -1
    return x, y


def long_zigzag_labels(lines: int, per_line: int):
    """Its labels (per_line >= 3): line j + 1 and the transition after it get id j, for
    j = 1 .. lines - 3; the first two lines and the last one stay -1."""
    block = per_line + 1
    n = lines * block - 1
    ids = np.full(n, -1, dtype=np.int32)
    j = np.arange(1, lines - 2)
    body = ((j + 1) * block)[:, None] + np.arange(block)[None, :]
    ids[body.ravel()] = np.repeat(j, block).astype(np.int32)
    return ids


def check_from_threads(inputs, want, choose, threads_n, calls, timeout, label=None):
    """Starts `threads_n` threads together; thread s calls `label`
    (annotate_scanlines by default) on inputs[choose(s, call)] `calls` times
    and compares with want.  Returns the indices of wrong results; fails if
    a thread does not finish."""
    import threading

    import rastermark

    label = label or rastermark.annotate_scanlines

    barrier = threading.Barrier(threads_n)
    failures = []

    def work(seed):
        barrier.wait(timeout=60)
        for call in range(calls):
            i = choose(seed, call)
            if not np.array_equal(label(*inputs[i]), want[i]):
                failures.append(i)

    threads = [threading.Thread(target=work, args=(s,)) for s in range(threads_n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=timeout)
    assert not any(t.is_alive() for t in threads), "a call hung"
    return failures


def large_raster(n, seed, dtype=np.float64):
    """Integer-valued path with dwell pairs: about n/2 x-runs and many y-runs."""
    rng = np.random.default_rng(seed)
    x = np.repeat(rng.integers(0, 40, n // 2 + 1), 2)[:n].astype(dtype)
    y = rng.integers(0, 6, n).astype(dtype)
    return x, y


# -- Python in a fresh process ---------------------------------------------------


def run_python(code, env=None, timeout=120):
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=full_env,
        timeout=timeout,
    )


def annotate_in_subprocess(workers, x, y, tmp_path, call="rastermark.annotate_scanlines"):
    """`call(x, y)` (a dotted name) in a fresh process with `workers` threads."""
    np.save(tmp_path / "x.npy", x)
    np.save(tmp_path / "y.npy", y)
    module = call.rsplit(".", 1)[0]
    code = f"""
        import numpy as np, {module}
        x = np.load({str(tmp_path / 'x.npy')!r}); y = np.load({str(tmp_path / 'y.npy')!r})
        np.save({str(tmp_path / 'out.npy')!r}, {call}(x, y))
    """
    out = run_python(code, env={"RASTERMARK_NUM_THREADS": str(workers)})
    assert out.returncode == 0, out.stderr
    return np.load(tmp_path / "out.npy")


# -- scans with known hatches -----------------------------------------------------

GROUNDTRUTH = ROOT / "tests" / "data" / "groundtruth"


def groundtruth_traces():
    """The small PySLM traces kept with the tests: name -> (x, y, truth, kind, laser_on)."""
    out = {}
    for path in sorted(GROUNDTRUTH.glob("*.npz")):
        with np.load(path) as d:
            out[path.stem] = tuple(d[k] for k in ("x", "y", "truth", "kind", "laser_on"))
    return out


def scan(moves, mark_step=0.01, jump_step=0.04, rests=0):
    """Samples a scan drawn move by move.  `moves` is a list of (points,
    what): a polyline and "hatch", "contour" or "jump".  Marks are sampled
    every mark_step from their first point to their last, jumps every
    jump_step strictly between; `rests` copies of a hatch's last point
    follow it.  Returns x, y and the ids a labeller of hatches should give:
    hatches 1, 2, ... in order (their rests too), -1 elsewhere."""
    xs, ys, ids = [], [], []
    number = 0
    for points, what in moves:
        points = np.asarray(points, float)
        if what == "hatch":
            number += 1
        for i in range(len(points) - 1):
            a, b = points[i], points[i + 1]
            length = float(np.hypot(*(b - a)))
            step = jump_step if what == "jump" else mark_step
            count = max(1, int(round(length / step)))
            k = np.arange(1, count) if what == "jump" else np.arange(0 if i == 0 else 1, count + 1)
            xs.append(a[0] + (b[0] - a[0]) * k / count)
            ys.append(a[1] + (b[1] - a[1]) * k / count)
            ids.append(np.full(len(k), number if what == "hatch" else -1))
        if what == "hatch" and rests:
            xs.append(np.full(rests, points[-1][0]))
            ys.append(np.full(rests, points[-1][1]))
            ids.append(np.full(rests, number))
    return np.concatenate(xs), np.concatenate(ys), np.concatenate(ids).astype(np.int32)


def meander(lines, length=1.0, spacing=0.1, origin=(0.0, 0.0), across=(0.0, 1.0), along=(1.0, 0.0)):
    """Moves of a meander: `lines` hatches of `length` along `along`, one
    `spacing` apart across, joined by step-overs (jumps)."""
    o, u, v = np.asarray(origin, float), np.asarray(along, float), np.asarray(across, float)
    moves = []
    for k in range(lines):
        a = o + k * spacing * v + (0 if k % 2 == 0 else length) * u
        b = o + k * spacing * v + (length if k % 2 == 0 else 0) * u
        if k:
            moves.append(([moves[-1][0][-1], a], "jump"))
        moves.append(([a, b], "hatch"))
    return moves


def joined(*blocks):
    """Blocks of moves one after the other, with a jump between them."""
    moves = []
    for block in blocks:
        if moves:
            moves.append(([moves[-1][0][-1], block[0][0][0]], "jump"))
        moves += block
    return moves
