"""Scan paths whose true hatch is known for every sample: PySLM hatches part
outlines with the strategies real machines use (meander, stripes, islands,
basic islands; with and without contours), and the path is sampled as a
galvo encoder reports it, with the variants recorded data shows.

    python benchmarks/groundtruth/make_traces.py --out build/groundtruth

makes its own environment with PySLM (build/groundtruth-venv; PySLM's
clipping library is built from source there) and writes one .npz per trace:
x, y (mm, float64), truth (the vector each sample lies on: hatches and
contours numbered from 1, jumps 0), kind (0 long jump, 1 hatch, 2 contour,
3 rest, 4 step-over between neighbouring hatches), laser_on, and the
trace's settings.  `--set small` writes the few small traces the tests
read to tests/data/groundtruth.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
VENV = ROOT / "build" / "groundtruth-venv"

KIND_JUMP, KIND_HATCH, KIND_CONTOUR, KIND_REST, KIND_STEP_OVER = 0, 1, 2, 3, 4
RATE_HZ = 100_000.0
JUMP_SPEED = 4000.0
STRATEGIES = ("meander", "stripes", "islands", "basic_islands")
VARIANTS = ("clean", "rests", "noise_0.5um", "rests_noise_0.5um", "noise_2um", "oversampled", "jumps_at_mark_speed",
            "grid_0.1um")
# Shapes tuned on, and shapes kept aside for scoring.
TUNING_SHAPES = ("square", "disc", "l_shape")
HELD_OUT_SHAPES = ("ring", "star", "plate_with_holes")
# Shapes for a last score, looked at by nobody while the labeller was made.
FRESH_SHAPES = ("hexagon", "frame", "crescent")


def ensure_environment() -> None:
    """Re-runs this script in its own environment with PySLM, making it first."""
    try:
        import pyslm  # noqa: F401
        return
    except ImportError:
        pass
    python = VENV / ("Scripts/python.exe" if os.name == "nt" else "bin/python")
    if not python.exists():
        subprocess.run([sys.executable, "-m", "venv", str(VENV)], check=True)
        # The clipping library has no wheel; its build runs `python` from PATH
        # to write type stubs, which must be this environment's interpreter.
        # (A pyenv shim ahead of it on PATH picks by PYENV_VERSION.)
        env = dict(os.environ, PYENV_VERSION=".".join(map(str, sys.version_info[:3])))
        shim = Path(tempfile.mkdtemp())
        (shim / "python").symlink_to(python)
        env["PATH"] = f"{shim}{os.pathsep}{env.get('PATH', '')}"
        try:
            subprocess.run([str(python), "-m", "pip", "install", "-q", "--only-binary=numpy,scipy,shapely,matplotlib",
                            "pythonslm==0.6.1", "pyclipr==0.1.8"], check=True, env=env)
        except subprocess.CalledProcessError:
            shutil.rmtree(VENV, ignore_errors=True)
            raise
        finally:
            shutil.rmtree(shim, ignore_errors=True)
    os.execv(str(python), [str(python), *sys.argv])


def polygon(points):
    import numpy as np

    p = np.asarray(points, float)
    return np.vstack([p, p[:1]])


def circle(cx, cy, r, n=96, clockwise=False):
    import numpy as np

    a = np.linspace(0, 2 * np.pi, n, endpoint=False)
    if clockwise:
        a = a[::-1]
    return polygon(np.column_stack([cx + r * np.cos(a), cy + r * np.sin(a)]))


def shape(name: str):
    """A part outline (closed polygons, holes clockwise), about 6 mm across."""
    import numpy as np

    if name == "square":
        return [polygon([[0, 0], [6, 0], [6, 6], [0, 6]])]
    if name == "small_square":
        return [polygon([[0, 0], [2, 0], [2, 2], [0, 2]])]
    if name == "disc":
        return [circle(3, 3, 3)]
    if name == "l_shape":
        return [polygon([[0, 0], [6, 0], [6, 2.5], [2.5, 2.5], [2.5, 6], [0, 6]])]
    if name == "ring":
        return [circle(3, 3, 3.2), circle(3, 3, 1.4, clockwise=True)]
    if name == "star":
        a = np.linspace(0, 2 * np.pi, 10, endpoint=False) + 0.3
        r = np.where(np.arange(10) % 2 == 0, 3.3, 1.5)
        return [polygon(np.column_stack([3 + r * np.cos(a), 3 + r * np.sin(a)]))]
    if name == "hexagon":
        a = np.linspace(0, 2 * np.pi, 6, endpoint=False) + 0.2
        return [polygon(np.column_stack([3 + 3.2 * np.cos(a), 3 + 3.2 * np.sin(a)]))]
    if name == "frame":
        return [polygon([[0, 0], [6.5, 0], [6.5, 5.5], [0, 5.5]]),
                polygon([[1.6, 1.4], [1.6, 4.1], [4.9, 4.1], [4.9, 1.4]])]
    if name == "crescent":
        outer = circle(3, 3, 3.1)
        a = np.linspace(-1.2, 1.2, 40)
        inner = np.column_stack([4.2 + 2.4 * np.cos(a), 3 + 2.4 * np.sin(a)])
        arc = np.column_stack([3 + 3.1 * np.cos(np.linspace(0.9, 2 * np.pi - 0.9, 80)),
                               3 + 3.1 * np.sin(np.linspace(0.9, 2 * np.pi - 0.9, 80))])
        return [polygon(np.vstack([arc, inner[::-1]]))] if outer is not None else []
    if name == "plate_with_holes":
        return [polygon([[0, 0], [7, 0], [7, 4.5], [0, 4.5]]), circle(2, 2.2, 0.9, clockwise=True),
                circle(5, 2.2, 0.6, 48, clockwise=True)]
    raise ValueError(name)


def hatch_layer(outline, strategy: str, contours: bool, angle: float, distance: float):
    """The layer's vectors in scan order: (points, kind) with points an (n, 2) polyline."""
    from pyslm import hatching

    hatcher = {"meander": hatching.Hatcher, "stripes": hatching.StripeHatcher, "islands": hatching.IslandHatcher,
               "basic_islands": hatching.BasicIslandHatcher}[strategy]()
    hatcher.hatchAngle = angle
    hatcher.hatchDistance = distance
    hatcher.numOuterContours = 1 if contours else 0
    hatcher.numInnerContours = 1 if contours else 0
    hatcher.hatchSortMethod = hatching.AlternateSort()
    if strategy == "stripes":
        hatcher.stripeWidth = 2.5
    if strategy in ("islands", "basic_islands"):
        hatcher.islandWidth = 2.0
    layer = hatcher.hatch(outline)
    vectors = []
    for geometry in layer.geometry:
        coords = geometry.coords
        if type(geometry).__name__ == "HatchGeometry":
            vectors += [(coords[k:k + 2], KIND_HATCH) for k in range(0, len(coords) - 1, 2)]
        else:
            vectors.append((coords, KIND_CONTOUR))
    return vectors


def sample_path(vectors, mark_speed, jump_speed, rests, noise, grid, repeats, distance, rng):
    """Samples the layer at RATE_HZ: marks at mark_speed, jumps between vectors
    at jump_speed (step-overs shorter than 3 hatch distances between hatches
    are kind 4), `rests` samples of dwell at both ends of every hatch,
    Gaussian `noise` (mm), positions on a `grid` (mm), and a share `repeats`
    of samples that repeat the one before exactly."""
    import numpy as np

    rows = []  # x0, y0, x1, y1, duration, kind, truth, laser_on
    here = None
    last_kind = None
    for number, (points, kind) in enumerate(vectors, start=1):
        start = points[0]
        if here is not None and not np.array_equal(here, start):
            length = float(np.hypot(*(start - here)))
            step_over = kind == KIND_HATCH and last_kind == KIND_HATCH and length <= 3 * distance
            rows.append((*here, *start, length / jump_speed, KIND_STEP_OVER if step_over else KIND_JUMP, 0, 0))
        if kind == KIND_HATCH and rests:
            rows.append((*start, *start, rests / RATE_HZ, KIND_REST, number, 1))
        for a, b in zip(points[:-1], points[1:]):
            rows.append((*a, *b, float(np.hypot(*(b - a))) / mark_speed, kind, number, 1))
        if kind == KIND_HATCH and rests:
            rows.append((*points[-1], *points[-1], rests / RATE_HZ, KIND_REST, number, 1))
        here = points[-1]
        last_kind = kind
    table = np.array(rows, float)
    x0, y0, x1, y1, duration = table[:, :5].T
    end = np.cumsum(duration)
    begin = end - duration
    times = rng.uniform(0, 1 / RATE_HZ) + np.arange(int(end[-1] * RATE_HZ)) / RATE_HZ
    which = np.minimum(np.searchsorted(end, times, side="right"), len(table) - 1)
    with np.errstate(invalid="ignore", divide="ignore"):
        frac = np.where(duration[which] > 0, (times - begin[which]) / duration[which], 0.0)
    frac = np.clip(frac, 0.0, 1.0)
    x = x0[which] + frac * (x1[which] - x0[which])
    y = y0[which] + frac * (y1[which] - y0[which])
    if noise:
        x = x + rng.normal(0, noise, len(x))
        y = y + rng.normal(0, noise, len(y))
    x = np.round(x / grid) * grid
    y = np.round(y / grid) * grid
    kind = table[which, 5].astype(np.int8)
    truth = table[which, 6].astype(np.int32)
    laser_on = table[which, 7].astype(np.int8)
    if repeats:
        copies = 1 + (rng.random(len(x)) < repeats)
        x, y, kind, truth, laser_on = (np.repeat(a, copies) for a in (x, y, kind, truth, laser_on))
    return x, y, truth, kind, laser_on


def variant_settings(variant: str) -> dict:
    base = {"rests": 0, "noise_um": 0.0, "grid_um": 1.0, "repeats": 0.0, "jump_speed": JUMP_SPEED}
    if "rests" in variant:
        base["rests"] = 3
    if "noise_0.5um" in variant:
        base["noise_um"] = 0.5
    if variant == "noise_2um":
        base["noise_um"] = 2.0
    if variant == "oversampled":
        base["repeats"] = 1 / 3
    if variant == "grid_0.1um":
        base["grid_um"] = 0.1
    return base


def make_set(which: str, out: Path) -> None:
    import numpy as np

    out.mkdir(parents=True, exist_ok=True)
    if which == "small":
        plans = [("small_square", s, c, a, 0.1, v) for s, c, a, v in
                 [("meander", True, 30.0, "clean"), ("islands", False, 67.0, "rests_noise_0.5um"),
                  ("stripes", True, 0.0, "noise_2um"), ("basic_islands", True, 120.0, "jumps_at_mark_speed")]]
        plans.append(("small_square", "meander", False, 15.0, 0.1, "oversampled"))
    else:
        shapes = {"tuning": TUNING_SHAPES, "held_out": HELD_OUT_SHAPES, "fresh": FRESH_SHAPES}[which]
        distances = {"tuning": (0.08, 0.1), "held_out": (0.07, 0.09, 0.12), "fresh": (0.075, 0.085, 0.11)}[which]
        plans = []
        counter = 0
        for shape_name in shapes:
            for strategy in STRATEGIES:
                for contours in (False, True):
                    angle = (67.0 * counter + {"tuning": 0.0, "held_out": 11.0, "fresh": 29.0}[which]) % 360.0
                    distance = distances[counter % len(distances)]
                    counter += 1
                    plans += [(shape_name, strategy, contours, angle, distance, v) for v in VARIANTS]
    for number, (shape_name, strategy, contours, angle, distance, variant) in enumerate(plans):
        name = f"{shape_name}-{strategy}-{'contours' if contours else 'bare'}-{angle:g}deg-{variant}"
        rng = np.random.default_rng([number, len(which)])
        settings = variant_settings(variant)
        mark_speed = float(rng.uniform(800, 1200))
        jump_speed = mark_speed if variant == "jumps_at_mark_speed" else settings["jump_speed"]
        vectors = hatch_layer(shape(shape_name), strategy, contours, angle, distance)
        x, y, truth, kind, laser_on = sample_path(vectors, mark_speed, jump_speed, settings["rests"],
                                                  settings["noise_um"] / 1000, settings["grid_um"] / 1000,
                                                  settings["repeats"], distance, rng)
        meta = {"shape": shape_name, "strategy": strategy, "contours": contours, "angle_deg": angle,
                "hatch_distance_mm": distance, "variant": variant, "mark_speed": mark_speed,
                "jump_speed": jump_speed, "rate_hz": RATE_HZ, **settings}
        np.savez_compressed(out / f"{name}.npz", x=x, y=y, truth=truth, kind=kind, laser_on=laser_on,
                            settings=json.dumps(meta))
    print(f"{len(plans)} traces in {out}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=ROOT / "build" / "groundtruth")
    parser.add_argument("--set", choices=["small", "tuning", "held_out", "fresh", "all"], default="all")
    args = parser.parse_args()
    ensure_environment()
    if args.set == "small":
        make_set("small", ROOT / "tests" / "data" / "groundtruth")
        return
    for which in ["tuning", "held_out", "fresh"] if args.set == "all" else [args.set]:
        make_set(which, args.out / which)


if __name__ == "__main__":
    main()
