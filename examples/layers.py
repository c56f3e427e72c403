"""Scan paths to annotate: a synthetic powder-bed-fusion layer, and the real
layers in the project's shared data folder (read in place, never copied)."""

from __future__ import annotations

import os
from pathlib import Path

import numpy as np

from rastermark_tools import read_gcode, read_scan_path, read_slices

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
    """A real L-PBF layer (powder-bed path format), densified at a fixed step
    along every line, laser-off connectors included.  Returns x, y and the
    hatch number of each sample (1 for the first laser-on line, -1 on
    laser-off connectors)."""
    layer = read_scan_path(path, step=step_mm, laser_off=True)
    on = layer.columns["laser_on"] == 1
    vector = layer.columns["vector"]
    hatches = np.unique(vector[on])
    truth = np.where(on, np.searchsorted(hatches, vector) + 1, -1)
    return layer.x, layer.y, truth


def peregrine_files():
    folder = REALDATA / "pbf_peregrine_P5"
    return sorted(folder.glob("*.txt")) if folder.is_dir() else []


def gcode_layers(path: Path, step_mm: float = 0.1, scan_moves: bool = False):
    """Printing moves of a G-code file, one (x, y) sample array pair per
    layer; with `scan_moves` the laser-off moves too (overscan and row
    changes of laser raster files)."""
    return [(layer.x, layer.y) for layer in read_gcode(path, step=step_mm, laser_off=scan_moves)]


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
    for path in sorted((REALDATA / "cli").glob("*.cli")):
        sets.append((f"cli/{path.name}", [(layer.x, layer.y) for layer in read_slices(path)]))
    return sets
