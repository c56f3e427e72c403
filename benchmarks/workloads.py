"""Layers and worst cases for the benchmark, generated vectorised so that
even 5 x 10^7 samples take a few seconds."""

from __future__ import annotations

import numpy as np

STEP_MM = 0.009  # 900 mm/s sampled at 100 kHz
HATCH_MM = 0.09
ENCODER_MM = 0.001
OVERSHOOT_MM = 0.05


def pbf_layer(n: int, angle_deg: float, seed: int = 0, dtype=np.float64):
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


def every_sample_its_own_run(n, dtype=np.float64):
    x = np.arange(n, dtype=np.float64)
    y = np.sin(x * 0.01) * 100
    return x.astype(dtype), y.astype(dtype)


def all_on_one_x(n, dtype=np.float64):
    return np.full(n, 3.0, dtype=dtype), np.arange(n, dtype=np.float64).astype(dtype)


def jittery(n, dtype=np.float64, seed=1):
    rng = np.random.default_rng(seed)
    x = np.arange(n) * 0.001 + rng.normal(0, 1e-4, n)
    y = rng.normal(0, 1.0, n)
    return x.astype(dtype), y.astype(dtype)


def nan_heavy(n, dtype=np.float64, seed=2):
    x, y = pbf_layer(n, 67.0, seed, np.float64)
    rng = np.random.default_rng(seed)
    x[rng.random(n) < 0.3] = np.nan
    y[rng.random(n) < 0.1] = np.nan
    return x.astype(dtype), y.astype(dtype)


WORKLOADS = {
    "axis-parallel layer": lambda n, dt: pbf_layer(n, 90.0, 0, dt),
    "rotated 67 deg layer": lambda n, dt: pbf_layer(n, 67.0, 0, dt),
    "every sample its own run": every_sample_its_own_run,
    "all samples on one x": all_on_one_x,
    "jittery (many turns)": jittery,
    "NaN-heavy": nan_heavy,
}
