"""Labels for a layer, and one row of numbers per scanline."""

from __future__ import annotations

import numpy as np

ORIENTATIONS = ("xy", "yx", "auto")


def annotate_layer(x, y, orient: str = "xy") -> tuple[np.ndarray, str]:
    """`annotate_scanlines` on float64 copies of x and y when needed.  Lines
    are found where the path reverses in y; `orient="yx"` passes (y, x), for
    rasters of lines along x, and `"auto"` tries both and keeps the one that
    labels more samples (x, y on a tie).  Returns the labels and the
    orientation used."""
    # Imported here, not with the toolkit: its import refuses a bad
    # RASTERMARK_SIMD, which the command line reports in one line.
    import rastermark

    if orient not in ORIENTATIONS:
        raise ValueError(f"orient must be one of {', '.join(ORIENTATIONS)}, got {orient!r}")
    x = np.ascontiguousarray(x, dtype=np.float64)
    y = np.ascontiguousarray(y, dtype=np.float64)
    if orient == "xy":
        return rastermark.annotate_scanlines(x, y), "xy"
    turned = rastermark.annotate_scanlines(y, x)
    if orient == "yx":
        return turned, "yx"
    plain = rastermark.annotate_scanlines(x, y)
    if np.count_nonzero(turned > 0) > np.count_nonzero(plain > 0):
        return turned, "yx"
    return plain, "xy"


def scanline_table(x, y, ids, t=None, **signals) -> dict[str, np.ndarray]:
    """One row per scanline id (ascending), as a dict of NumPy arrays of one
    length, ready for `pandas.DataFrame(table)` or `pyarrow.table(table)`:

    - scanline_id, first_sample, last_sample, samples (count);
    - x_start, y_start, x_end, y_end: the line's first and last sample;
    - length: the chord from first to last sample, in the units of x and y;
    - angle_deg: the chord's orientation, 0 to 180 degrees from +x;
    - direction_deg: the direction of travel, 0 to 360 degrees from +x;
    - straightness: the largest distance of a sample of the line from its
      chord (a line that swallowed a jump stands out);
    - duration: t at the last sample minus t at the first (with `t`);
    - mean_<name>: the mean of each extra signal over the line's samples.
    """
    x = np.asarray(x, dtype=np.float64)
    y = np.asarray(y, dtype=np.float64)
    ids = np.asarray(ids)
    n = len(ids)
    if len(x) != n or len(y) != n:
        raise ValueError(f"x, y and ids must have one length, got {len(x)}, {len(y)} and {n}")
    extra = {"t": t} if t is not None else {}
    extra.update(signals)
    for name, values in extra.items():
        if values is not None and len(values) != n:
            raise ValueError(f"{name} has {len(values)} values for {n} samples")
    labelled = np.flatnonzero(ids > 0)
    order = labelled[np.argsort(ids[labelled], kind="stable")]
    sorted_ids = ids[order]
    if len(order):
        starts = np.flatnonzero(np.concatenate([[True], sorted_ids[1:] != sorted_ids[:-1]]))
        # The samples of one id are contiguous in path order (the labeller
        # assigns stretches), so these are its ends; min and max keep that
        # true for any labelling.
        first = np.minimum.reduceat(order, starts)
        last = np.maximum.reduceat(order, starts)
    else:
        starts = first = last = np.zeros(0, np.intp)
    x0, y0, x1, y1 = x[first], y[first], x[last], y[last]
    dx, dy = x1 - x0, y1 - y0
    length = np.hypot(dx, dy)
    direction = np.degrees(np.arctan2(dy, dx)) % 360.0
    table: dict[str, np.ndarray] = {
        "scanline_id": sorted_ids[starts].astype(np.int32),
        "first_sample": first.astype(np.int64),
        "last_sample": last.astype(np.int64),
        "samples": np.diff(np.concatenate([starts, [len(order)]])).astype(np.int64),
        "x_start": x0,
        "y_start": y0,
        "x_end": x1,
        "y_end": y1,
        "length": length,
        "angle_deg": direction % 180.0,
        "direction_deg": direction,
    }
    # Distance of every labelled sample from its line's chord (from its first
    # sample where the chord has no length).
    group = np.repeat(np.arange(len(starts)), table["samples"])
    px, py = x[order] - x0[group], y[order] - y0[group]
    chord = length[group]
    with np.errstate(invalid="ignore", divide="ignore"):
        distance = np.where(chord > 0, np.abs(px * dy[group] - py * dx[group]) / chord, np.hypot(px, py))
    table["straightness"] = np.maximum.reduceat(distance, starts) if len(order) else np.zeros(0)
    if t is not None:
        t = np.asarray(t, dtype=np.float64)
        table["duration"] = t[last] - t[first]
    for name, values in signals.items():
        values = np.asarray(values, dtype=np.float64)[order]
        sums = np.add.reduceat(values, starts) if len(order) else np.zeros(0)
        table[f"mean_{name}"] = sums / np.maximum(table["samples"], 1)
    return table
