"""Layers and worst cases for the benchmark, generated vectorised so that
even 5 x 10^7 samples take a few seconds."""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))
from layers import hatched_layer as pbf_layer  # noqa: E402


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


def turn_every_30(n, dtype=np.float64, seed=3):
    """Short lines: y reverses every 30 samples, x advances slowly, both
    with a little noise that never reverses a line."""
    rng = np.random.default_rng(seed)
    k = np.arange(n)
    phase = k % 60
    y = np.where(phase < 30, phase, 60 - phase) * 0.1 + rng.normal(0, 0.005, n)
    x = k * 0.002 + rng.normal(0, 1e-4, n)
    return x.astype(dtype), y.astype(dtype)


def noisy_with_dwell(n, dtype=np.float64, seed=4):
    """The rotated layer with 2 um of position noise and 30% of the samples
    repeating the one before (a controller that samples faster than it
    moves)."""
    x, y = pbf_layer(n, 67.0, seed, np.float64)
    rng = np.random.default_rng(seed)
    x = x + rng.normal(0, 0.002, n)
    y = y + rng.normal(0, 0.002, n)
    keep = np.maximum.accumulate(np.where(rng.random(n) < 0.3, 0, np.arange(n)))
    return x[keep].astype(dtype), y[keep].astype(dtype)


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
    "a turn every 30 samples": turn_every_30,
    "noisy with 30% dwell": noisy_with_dwell,
    "NaN-heavy": nan_heavy,
}
