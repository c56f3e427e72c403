"""Scan paths to annotate: a synthetic powder-bed-fusion layer, and the real
layers in the project's shared data folder (read in place, never copied)."""

from __future__ import annotations

import os
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
