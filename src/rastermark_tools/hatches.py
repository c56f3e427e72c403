"""`label_hatches`: a second labeller beside `annotate_scanlines`, for the
lines the laser drew wherever they lie in the path.

The rule of `annotate_scanlines` finds lines where the path reverses in y.
`label_hatches` instead finds the straight pieces drawn at marking speed
along the layer's hatch directions that have a parallel neighbour one hatch
spacing away, so that it keeps the first and last hatch of every stripe or
island, sloped hatch ends and hatches in any direction, and leaves jumps and
contours out.  Every scale it uses comes from the data; it assumes straight
hatches, a fixed sampling rate unless `t` is given, and jumps faster than
marks unless `laser_on` is given.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from . import _native


@dataclass(frozen=True)
class HatchInfo:
    """What `label_hatches` derived from the layer (lengths in the units of x
    and y; steps per sampling interval)."""

    sampling_interval: float  # median time between distinct samples (1 without t)
    grid: float  # the position quantum, 0 where none shows
    noise: float  # standard deviation of the position noise
    deviation: float  # farthest a sample may lie from its line
    mark_step: float  # the slowest steady marking step
    rest_step: float  # slower is resting
    jump_step: float  # faster is jumping
    window: int  # samples on each side of the straightness test
    hatch_spacing: float  # nan where no two hatches lie side by side
    directions_deg: tuple[float, ...]  # the hatch directions, 0 to 180 degrees from +x
    pieces: int  # straight pieces at marking speed
    hatches: int  # of which labelled as hatches
    repeats: int  # samples that repeat the one before exactly


def _float_array(values, name: str) -> np.ndarray:
    array = np.asarray(values)
    if array.ndim != 1:
        raise ValueError(f"label_hatches: {name} must be 1-D, got {array.ndim} dimension(s)")
    if array.dtype.kind not in "biuf":
        raise TypeError(f"label_hatches: {name} must hold numbers, got dtype {array.dtype}")
    return array


def label_hatches(x, y, *, t=None, laser_on=None, return_info: bool = False):
    """One int32 id per sample: 1, 2, ... along the path for the samples of
    each hatch, -1 for samples on no hatch.  A sample that repeats the one
    before it exactly, or rests at a hatch's end, takes the id of the sample
    before it; NaN and infinite positions, and samples where `laser_on` is
    0, are never labelled and break lines.

    x, y: positions in any unit, float32 or float64 (others become float64).
    t: time stamps (increasing), for uneven sampling.
    laser_on: the laser signal (nonzero on), which tells jumps at marking
    speed from marks.
    return_info: also return a `HatchInfo` of the scales found.

    Raises ValueError for a layer it cannot judge (too few marking samples
    to find a mark step) and for mismatched inputs."""
    x = _float_array(x, "x")
    y = _float_array(y, "y")
    n = len(x)
    if len(y) != n:
        raise ValueError(f"label_hatches: x and y must have one length, got {n} and {len(y)}")
    dtype = np.float32 if x.dtype == np.float32 and y.dtype == np.float32 else np.float64
    x = np.ascontiguousarray(x, dtype=dtype)
    y = np.ascontiguousarray(y, dtype=dtype)
    times = None
    if t is not None:
        times = np.ascontiguousarray(_float_array(t, "t"), dtype=np.float64)
        if len(times) != n:
            raise ValueError(f"label_hatches: t has {len(times)} values for {n} samples")
    on = None
    if laser_on is not None:
        on_values = _float_array(laser_on, "laser_on")
        if len(on_values) != n:
            raise ValueError(f"label_hatches: laser_on has {len(on_values)} values for {n} samples")
        # NaN counts as off: it is no signal that the laser drew.
        on = np.ascontiguousarray((on_values != 0) & ~np.isnan(on_values) if on_values.dtype.kind == "f"
                                  else on_values != 0, dtype=np.uint8)
    ids = np.empty(n, dtype=np.int32)  # every entry is written
    info = None
    if n:
        error, scales = _native.label_hatches(x, y, times, on, ids)
        if error is not None:
            raise ValueError(f"label_hatches: {error}")
        scales["directions_deg"] = tuple(scales["directions_deg"])
        info = HatchInfo(**scales)
    if not return_info:
        return ids
    if info is None:
        info = HatchInfo(sampling_interval=1.0, grid=0.0, noise=0.0, deviation=0.0, mark_step=0.0, rest_step=0.0,
                         jump_step=0.0, window=0, hatch_spacing=float("nan"), directions_deg=(), pieces=0, hatches=0,
                         repeats=0)
    return ids, info
