"""Vectors to samples: the straight pieces that path files, G-code and slice
files describe, sampled by distance or by time."""

from __future__ import annotations

import math
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from . import _native

# A move sampled into more points than this is refused (a typo such as a
# coordinate of 10^6 mm would otherwise ask for tens of gigabytes); readers
# take `max_samples` to lift it.
MAX_SAMPLES_PER_MOVE = 10_000_000


class InputError(ValueError):
    """An input file that cannot be read; the text names the file and the place."""



def file_bytes(path) -> bytes:
    """A file's bytes, refused with its name where it cannot be read or is
    empty (blank)."""
    try:
        data = Path(path).read_bytes()
    except OSError as e:
        raise InputError(f"{path}: cannot read: {e.strerror or e}") from None
    if not data.strip():
        raise InputError(f"{path}: empty file")
    return data


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


@dataclass
class Segments:
    """Segments as columns (one entry per segment), as `densify` takes them."""

    x0: np.ndarray
    y0: np.ndarray
    x1: np.ndarray
    y1: np.ndarray
    laser_on: np.ndarray  # bool
    speed: np.ndarray
    vector: np.ndarray  # int64
    pause: np.ndarray
    z0: np.ndarray
    z1: np.ndarray

    @classmethod
    def of(cls, segments: list[Segment]) -> Segments:
        columns = list(zip(*[(s.x0, s.y0, s.x1, s.y1, s.laser_on, s.speed, s.vector, s.pause, s.z0, s.z1)
                             for s in segments])) or [()] * 10
        types = [np.float64] * 4 + [bool, np.float64, np.int64, np.float64, np.float64, np.float64]
        return cls(*(np.array(c, dtype=t) for c, t in zip(columns, types)))

    def __len__(self) -> int:
        return len(self.x0)

    def take(self, where) -> Segments:
        return Segments(*(getattr(self, name)[where] for name in self.__dataclass_fields__))


def densify(segments: Segments | list[Segment], step: float | None, rate: float | None, laser_off: bool, source="",
            max_samples: int = MAX_SAMPLES_PER_MOVE):
    """Samples every kept segment at `step` mm or at `rate` Hz (from its
    speed); a segment's samples end on its end point, and its start point is
    added where the path was broken before it (by a segment left out, or a
    position set without a move).  Returns x, y and the columns t (where
    every speed is known), z (where every height is known), laser_on and
    vector.  A segment that would need more than `max_samples` samples is
    refused with `source` and its vector (the line or row).  Laser-off
    segments are kept only with `laser_off`, but count for the time."""
    if (step is None) == (rate is None):
        raise ValueError("give exactly one of step (mm) and rate (Hz)")
    if step is not None and not step > 0:
        raise ValueError(f"step must be positive, got {step}")
    if rate is not None and not rate > 0:
        raise ValueError(f"rate must be positive, got {rate}")
    s = segments if isinstance(segments, Segments) else Segments.of(segments)
    dx, dy = s.x1 - s.x0, s.y1 - s.y0
    length = np.hypot(dx, dy)
    with np.errstate(divide="ignore", invalid="ignore"):
        duration = np.where(s.speed > 0, length / np.where(s.speed > 0, s.speed, 1.0), np.nan)
    untimed = np.isnan(duration)
    timed = not np.any(untimed & (length > 0))
    # The clock runs over every segment, kept or not: pause, then the move,
    # added one after the other (a running sum over both, interleaved).
    steps_of_clock = np.empty(2 * len(s))
    steps_of_clock[0::2] = s.pause
    steps_of_clock[1::2] = np.where(untimed, 0.0, duration)
    start_time = np.ascontiguousarray(np.cumsum(steps_of_clock)[0::2])
    kept = s.laser_on | laser_off
    joined = np.zeros(len(s), bool)
    joined[1:] = kept[:-1] & (s.x0[1:] == s.x1[:-1]) & (s.y0[1:] == s.y1[:-1])
    index = np.flatnonzero(kept)
    if rate is not None:
        missing = index[untimed[index]]
        if len(missing):
            raise InputError(f"{source}:{s.vector[missing[0]]}: sampling at a rate needs the move's speed, which the "
                             "file does not give")
        wanted = duration[index] * rate
    else:
        wanted = length[index] / step
    too_many = np.flatnonzero(~(wanted <= max_samples))
    if len(too_many):
        k = index[too_many[0]]
        raise InputError(f"{source}:{s.vector[k]}: a move of {length[k]:g} mm would take {wanted[too_many[0]]:.3g} "
                         f"samples, more than the limit of {max_samples:,} (raise it with --max-samples, or sample "
                         "coarser)")
    steps = np.maximum(1, np.ceil(wanted - 1e-9)).astype(np.int64)
    kept_joined = joined[index]
    total = int(steps.sum() + np.count_nonzero(~kept_joined))
    if total == 0:
        return np.zeros(0), np.zeros(0), {"laser_on": np.zeros(0, np.int8), "vector": np.zeros(0, np.int64)}
    with_z = not (np.isnan(s.z0[index]).any() or np.isnan(s.z1[index]).any())
    x, y = np.empty(total), np.empty(total)
    z = np.empty(total) if with_z else None
    t = np.empty(total) if timed else None
    laser_on, vector = np.empty(total, np.int8), np.empty(total, np.int64)
    if total:
        _native.fill_samples(*(np.ascontiguousarray(a, dtype=np.float64) for a in (s.x0, s.y0, s.x1, s.y1, s.z0, s.z1)),
                             start_time, duration, np.ascontiguousarray(s.laser_on, dtype=np.uint8),
                             np.ascontiguousarray(s.vector, dtype=np.int64), index.astype(np.int64), steps,
                             kept_joined.astype(np.uint8), x, y, z, t, laser_on, vector)
    columns = {"laser_on": laser_on, "vector": vector}
    if t is not None:
        columns["t"] = t
    if z is not None:
        columns["z"] = z
    return x, y, columns
