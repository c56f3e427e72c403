"""Scan paths to annotate: a synthetic powder-bed-fusion layer, and the real
layers in the project's shared data folder (read in place, never copied)."""

from __future__ import annotations

import os
import re
from pathlib import Path

import numpy as np

REALDATA = Path(os.environ.get("RASTERMARK_REALDATA", Path(__file__).resolve().parents[2] / "shared" / "realdata"))


def synthetic_layer(seed: int = 7, sample_rate_hz: float = 100_000.0):
    """A layer of square islands, each hatched serpentine at its own angle.

    Positions are sampled at a fixed rate along hatches (laser on) and jumps
    (laser off, faster), quantised to 1 um like a galvo's encoder, with a
    little jitter on the hatches and a short dwell where the mirrors reverse.  Returns x, y
    (float64, mm) and the true hatch number of every sample (-1 on jumps).
    """
    rng = np.random.default_rng(seed)
    hatch_speed, jump_speed = 900.0, 4000.0  # mm/s
    hatch_spacing, island = 0.09, 5.0  # mm
    jitter = 0.0005  # mm, on laser-on samples
    xs, ys, truth, still_mask = [], [], [], []
    position = np.array([0.0, 0.0])
    hatch_id = 0

    def travel(end, speed, label):
        nonlocal position
        length = float(np.hypot(*(end - position)))
        steps = max(1, int(round(length / speed * sample_rate_hz)))
        t = np.arange(1, steps + 1) / steps
        xs.append(position[0] + t * (end[0] - position[0]))
        ys.append(position[1] + t * (end[1] - position[1]))
        truth.append(np.full(steps, label))
        still_mask.append(np.zeros(steps, bool))
        position = np.array(end, dtype=float)

    def dwell(samples, label):
        xs.append(np.full(samples, position[0]))
        ys.append(np.full(samples, position[1]))
        truth.append(np.full(samples, label))
        still_mask.append(np.ones(samples, bool))

    for row in range(3):
        for col in range(4):
            centre = np.array([col * 6.0 + 3.0, row * 6.0 + 3.0])
            angle = np.deg2rad(rng.choice([67.0, 90.0, 113.0, 79.0]))
            along = np.array([np.cos(angle), np.sin(angle)])
            across = np.array([-along[1], along[0]])
            lines = int(island / hatch_spacing)
            for k in range(lines):
                offset = (k - lines / 2) * hatch_spacing
                half = island / 2 * (0.85 + 0.15 * rng.random())
                a = centre + offset * across - half * along
                b = centre + offset * across + half * along
                if k % 2:
                    a, b = b, a
                travel(a, jump_speed if k == 0 else hatch_speed * 2, -1)
                dwell(int(rng.integers(2, 6)), -1)
                hatch_id += 1
                travel(b, hatch_speed, hatch_id)
                dwell(int(rng.integers(2, 6)), -1)
    # Jitter where the laser is on, then the encoder grid; dwell samples
    # repeat one position exactly.
    labels = np.concatenate(truth)
    x = np.concatenate(xs) + np.where(labels > 0, rng.normal(0, jitter, len(labels)), 0.0)
    y = np.concatenate(ys) + np.where(labels > 0, rng.normal(0, jitter, len(labels)), 0.0)
    still = np.concatenate(still_mask)
    x, y = np.round(x * 1000) / 1000, np.round(y * 1000) / 1000
    for coord in (x, y):
        idx = np.flatnonzero(still)
        coord[idx] = coord[idx - 1]
    return x, y, labels


STEP_MM = 0.009  # 900 mm/s sampled at 100 kHz
HATCH_MM = 0.09
ENCODER_MM = 0.001
OVERSHOOT_MM = 0.05


def hatched_layer(n: int, angle_deg: float, seed: int = 0, dtype=np.float64):
    """Square islands hatched serpentine at `angle_deg`: an exact dwell and a
    short overshooting turnaround at every reversal, a sampled jump between
    islands, positions on a 1 um encoder grid.  Exactly n samples."""
    rng = np.random.default_rng(seed)
    per_line, lines, dwell, turn, jump = 500, 50, 3, 6, 40
    island_samples = lines * (per_line + dwell + turn) + jump
    islands = -(-n // island_samples)
    side = int(np.ceil(np.sqrt(islands)))
    a = np.deg2rad(angle_deg)
    along = np.array([np.cos(a), np.sin(a)])
    across = np.array([-along[1], along[0]])

    t = np.arange(per_line) * STEP_MM - per_line * STEP_MM / 2
    k = np.arange(lines)
    direction = np.where(k % 2 == 0, 1.0, -1.0)
    # (lines, per_line) positions relative to an island's centre
    s = direction[:, None] * t[None, :]
    off = (k - lines / 2) * HATCH_MM
    lx = s * along[0] + off[:, None] * across[0]
    ly = s * along[1] + off[:, None] * across[1]
    # An exact dwell at the end of each line, then a short turnaround that
    # overshoots the line's end on its way to the next line's start.
    f = (np.arange(1, turn + 1) / (turn + 1))[None, :]
    end_x, end_y = lx[:, -1:], ly[:, -1:]
    next_x = np.concatenate([lx[1:, :1], lx[-1:, -1:]])
    next_y = np.concatenate([ly[1:, :1], ly[-1:, -1:]])
    bulge = np.sin(np.pi * f) * OVERSHOOT_MM * direction[:, None]
    tx = end_x + f * (next_x - end_x) + bulge * along[0]
    ty = end_y + f * (next_y - end_y) + bulge * along[1]
    lx = np.concatenate([lx, np.repeat(end_x, dwell, axis=1), tx], axis=1).ravel()
    ly = np.concatenate([ly, np.repeat(end_y, dwell, axis=1), ty], axis=1).ravel()

    centres = np.stack(np.meshgrid(np.arange(side), np.arange(side)), -1).reshape(-1, 2)[:islands] * 6.0
    centres = centres + rng.uniform(-0.5, 0.5, centres.shape)
    xs, ys = [], []
    for i, c in enumerate(centres):
        xs.append(lx + c[0])
        ys.append(ly + c[1])
        nxt = centres[(i + 1) % len(centres)]
        f = np.arange(1, jump + 1) / jump
        xs.append(c[0] + lx[-1] + f * (nxt[0] + lx[0] - c[0] - lx[-1]))
        ys.append(c[1] + ly[-1] + f * (nxt[1] + ly[0] - c[1] - ly[-1]))
    x = np.round(np.concatenate(xs)[:n] / ENCODER_MM) * ENCODER_MM
    y = np.round(np.concatenate(ys)[:n] / ENCODER_MM) * ENCODER_MM
    return x.astype(dtype), y.astype(dtype)


def peregrine_layer(path: Path, step_mm: float = 0.01):
    """A real L-PBF layer (Peregrine path format), densified at a fixed step
    along every segment.  Returns x, y and the hatch number of each sample
    (-1 on laser-off connectors)."""
    rows = np.loadtxt(path, skiprows=1)
    mode, px, py, power = rows[:, 0], rows[:, 1], rows[:, 2], rows[:, 4]
    xs, ys, truth = [np.array([px[0]])], [np.array([py[0]])], [np.array([-1])]
    hatch = 0
    for i in range(1, len(rows)):
        if mode[i] != 0:
            continue
        length = float(np.hypot(px[i] - px[i - 1], py[i] - py[i - 1]))
        steps = max(1, int(np.ceil(length / step_mm)))
        t = np.arange(1, steps + 1) / steps
        xs.append(px[i - 1] + t * (px[i] - px[i - 1]))
        ys.append(py[i - 1] + t * (py[i] - py[i - 1]))
        if power[i] > 0:
            hatch += 1
            truth.append(np.full(steps, hatch))
        else:
            truth.append(np.full(steps, -1))
    return np.concatenate(xs), np.concatenate(ys), np.concatenate(truth)


def peregrine_files():
    folder = REALDATA / "pbf_peregrine_P5"
    return sorted(folder.glob("*.txt")) if folder.is_dir() else []


def densify(segments, step_mm: float):
    """Samples each (x0, y0, x1, y1) segment at a fixed step, its end point
    included; returns x and y."""
    xs, ys = [], []
    for x0, y0, x1, y1 in segments:
        length = float(np.hypot(x1 - x0, y1 - y0))
        steps = max(1, int(np.ceil(length / step_mm)))
        t = np.arange(1, steps + 1) / steps
        xs.append(x0 + t * (x1 - x0))
        ys.append(y0 + t * (y1 - y0))
    if not xs:
        return np.zeros(0), np.zeros(0)
    return np.concatenate(xs), np.concatenate(ys)


GCODE_WORD = re.compile(r"([A-Z])\s*([-+]?(?:\d+\.?\d*|\.\d+))")


def gcode_layers(path: Path, step_mm: float = 0.1, scan_moves: bool = False):
    """Printing moves of a G-code file, one (x, y) sample array pair per
    layer (the moves printed at one Z, in file order).  A move prints when it
    extrudes (E grows, or is positive in relative-E files) or when it is a G1
    with laser power S above zero; travel moves are left out.  With
    `scan_moves` every G1 move counts, as in laser raster files whose G1
    moves at zero power (overscan, row changes) are part of the scan.
    Handles absolute and relative positioning (G90/G91) and absolute or
    relative extrusion (M82/M83)."""
    relative_xy = False
    relative_e = False
    pos = {"X": 0.0, "Y": 0.0, "Z": 0.0, "E": 0.0}
    power = 0.0
    layers: dict[float, list[tuple[float, float, float, float]]] = {}
    for raw in Path(path).read_text(errors="replace").splitlines():
        line = raw.split(";", 1)[0].strip().upper()
        if not line:
            continue
        words = GCODE_WORD.findall(line)
        codes = {f"{letter}{int(float(number))}" for letter, number in words if letter in "GM"}
        params = {letter: float(number) for letter, number in words if letter in "XYZES"}
        if "G90" in codes:
            relative_xy = False
        if "G91" in codes:
            relative_xy = True
        if "M82" in codes:
            relative_e = False
        if "M83" in codes:
            relative_e = True
        if "G92" in codes:
            pos["E"] = params.get("E", pos["E"])
            continue
        if "S" in params:
            power = params["S"]
        if not codes & {"G0", "G1"}:
            continue
        start = (pos["X"], pos["Y"])
        for axis in "XYZ":
            if axis in params:
                pos[axis] = pos[axis] + params[axis] if relative_xy else params[axis]
        extrudes = False
        if "E" in params:
            extrudes = params["E"] > 0 if relative_e else params["E"] > pos["E"]
            pos["E"] = pos["E"] + params["E"] if relative_e else params["E"]
        prints = extrudes or ("G1" in codes and (power > 0 or scan_moves))
        if prints and (pos["X"], pos["Y"]) != start:
            layers.setdefault(round(pos["Z"], 4), []).append((start[0], start[1], pos["X"], pos["Y"]))
    return [densify(segments, step_mm) for segments in layers.values()]


def ded_layers(path: Path):
    """The recorded DED positions, one (x, y) pair per layer (rows grouped by
    z rounded to 0.1 mm), in the file's own sampling."""
    table = np.loadtxt(path, delimiter=",", skiprows=1)
    x, y, z = table[:, 1], table[:, 2], np.round(table[:, 3], 1)
    layers = []
    for level in np.unique(z):
        rows = z == level
        if rows.sum() > 100:
            layers.append((x[rows], y[rows]))
    return layers


def realdata_sets():
    """Every scan path in the shared data folder as (name, list of layers);
    empty where the folder is absent."""
    if not REALDATA.is_dir():
        return []
    sets = []
    for path in peregrine_files():
        x, y, _ = peregrine_layer(path)
        sets.append((f"pbf_peregrine_P5/{path.name}", [(x, y)]))
    ded = REALDATA / "ded_pelican_in718_positions.csv"
    if ded.is_file():
        sets.append((ded.name, ded_layers(ded)))
    for name, step, scan in [("fdm_prusaslicer_15x150_45deg.gcode", 0.1, False),
                             ("fdm_cura_UM2_45_platte_klein.gcode", 0.1, False),
                             ("laser_lightburn_scanfill_jodon.gcode", 0.05, True)]:
        path = REALDATA / name
        if path.is_file():
            sets.append((name, gcode_layers(path, step, scan)))
    return sets
