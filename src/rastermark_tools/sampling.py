"""Vectors to samples: the straight pieces that path files, G-code and slice
files describe, sampled by distance or by time."""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

# A move sampled into more points than this is refused (a typo such as a
# coordinate of 10^6 mm would otherwise ask for tens of gigabytes); readers
# take `max_samples` to lift it.
MAX_SAMPLES_PER_MOVE = 10_000_000


class InputError(ValueError):
    """An input file that cannot be read; the text names the file and the place."""



@dataclass
class Segment:
    """One straight piece of a scan path, in mm."""

    x0: float
    y0: float
    x1: float
    y1: float
    laser_on: bool
    speed: float  # mm/s; nan where unknown
    vector: int  # the source row or move of the file
    pause: float = 0.0  # seconds spent before the segment (a dwell or jump time)
    z0: float = math.nan
    z1: float = math.nan


def densify(segments: list[Segment], step: float | None, rate: float | None, laser_off: bool, source="",
            max_samples: int = MAX_SAMPLES_PER_MOVE):
    """Samples every kept segment at `step` mm or at `rate` Hz (from its
    speed); a segment's samples end on its end point, and its start point is
    added where the path was broken before it.  Returns x, y and the columns
    t (where every speed is known), z (where every height is known),
    laser_on and vector.  A segment that would need more than `max_samples`
    samples is refused with `source` and its vector (the line or row)."""
    if (step is None) == (rate is None):
        raise ValueError("give exactly one of step (mm) and rate (Hz)")
    if step is not None and not step > 0:
        raise ValueError(f"step must be positive, got {step}")
    if rate is not None and not rate > 0:
        raise ValueError(f"rate must be positive, got {rate}")
    xs, ys, zs, ts, on, vec = [], [], [], [], [], []
    clock = 0.0
    timed = True
    joined, end = False, (math.nan, math.nan)
    for s in segments:
        length = math.hypot(s.x1 - s.x0, s.y1 - s.y0)
        duration = length / s.speed if s.speed > 0 else math.nan
        start_time = clock + s.pause
        clock = start_time + (duration if not math.isnan(duration) else 0.0)
        if math.isnan(duration) and length > 0:
            timed = False
        if not (s.laser_on or laser_off):
            joined = False
            continue
        if joined and (s.x0, s.y0) != end:
            joined = False  # the position was set without a move (G92)
        if rate is not None:
            if math.isnan(duration):
                raise InputError(f"{source}:{s.vector}: sampling at a rate needs the move's speed, which the file "
                                 "does not give")
            wanted = duration * rate
        else:
            wanted = length / step
        if not wanted <= max_samples:
            raise InputError(f"{source}:{s.vector}: a move of {length:g} mm would take {wanted:.3g} samples, more "
                             f"than the limit of {max_samples:,} (raise it with --max-samples, or sample coarser)")
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
        empty = np.zeros(0)
        return empty, empty.copy(), {"laser_on": np.zeros(0, np.int8), "vector": np.zeros(0, np.int64)}
    columns = {"laser_on": np.concatenate(on), "vector": np.concatenate(vec)}
    if timed:
        columns["t"] = np.concatenate(ts)
    z = np.concatenate(zs)
    if not np.isnan(z).any():
        columns["z"] = z
    return np.concatenate(xs), np.concatenate(ys), columns
