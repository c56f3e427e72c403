"""The worker-count seams at the label level.  Inputs are split into chunks
from 500000 samples (collapse_x) and from 250000 collapse_x points
(collapse_y) when the pool has two or more workers, and the chunked rules can
change the labels.  Each layer below puts a structure on the first seam of
its worker count that the chunked rules label differently, by tens of
thousands of samples, so that a threshold off by one either way shows."""

import functools

import numpy as np
import pytest

import reference
from support import annotate_in_subprocess

PER_LINE = 1025  # tops at y = 1024, whose sums over a dwell stay exact in float32


def slanted_raster(lines, lead_in):
    """Lines k = 0.. along x = k + y/1000, rising on even and falling on odd k,
    PER_LINE samples each, joined by flat tops and bottoms (two points of one
    y); line 0 starts `lead_in` samples lower.  Every sample is its own x-run."""
    up = np.arange(PER_LINE, dtype=np.float64)
    ys = [np.arange(-lead_in, PER_LINE, dtype=np.float64)] + [up if k % 2 == 0 else up[::-1] for k in range(1, lines)]
    xs = [k + y / 1000 for k, y in enumerate(ys)]
    return np.concatenate(xs), np.concatenate(ys)


def raster_with_top_at(index, total):
    """A slanted raster of at least `total` samples whose sample `index` is
    the last one of a rising line (the first point of a flat top)."""
    k = (index - (PER_LINE - 1)) // PER_LINE // 2 * 2
    lead = index - (k * PER_LINE + PER_LINE - 1)
    x, y = slanted_raster((total + lead) // PER_LINE + 2, lead)
    assert y[index] == PER_LINE - 1
    return x, y


def y_seam_layer(points, seam, dtype, dwell=200000, gap=30.0):
    """`points` collapse_x points from fewer than 500000 samples.  The flat top
    at points seam-1 and seam is stretched `gap` along x, and its second point
    is a dwell of `dwell` samples.  Serially the top's x is the plain mean of
    its two points, chunked it is weighted by their sample spans: the turn is
    accepted in one case and rejected in the other."""
    x, y = raster_with_top_at(seam - 1, points)
    top = seam - 1
    x[top + 1] = x[top] + gap
    x = np.concatenate([x[: top + 1], np.full(dwell, x[top + 1]), x[top + 2 :]])
    y = np.concatenate([y[: top + 1], np.full(dwell, y[top + 1]), y[top + 2 :]])
    n = points + dwell - 1
    return x[:n].astype(dtype), y[:n].astype(dtype)


def x_seam_layer(samples, seam, dtype, dwell=100000, drop=50.0):
    """`samples` samples.  The top of a rising line is sample seam-1, at x = 0;
    then one sample 0.75 eps along x and `drop` lower, then a dwell at 1.5 eps
    at the top's height.  Serially the first two share one x-run and the
    dwell is another; chunked, the run restarts at the seam and compares with
    0.75 eps, and the stitch joins all three into one point."""
    eps = np.finfo(dtype).eps
    x, y = raster_with_top_at(seam - 1, samples)
    top = seam - 1
    x = (x - x[top]).astype(dtype)
    y = y.astype(dtype)
    gadget_x = np.array([dtype(0.75) * eps] + [dtype(1.5) * eps] * dwell, dtype=dtype)
    gadget_y = np.array([y[top] - dtype(drop)] + [y[top]] * dwell, dtype=dtype)
    x = np.concatenate([x[: top + 1], gadget_x, x[top + 1 :]])[:samples]
    y = np.concatenate([y[: top + 1], gadget_y, y[top + 1 :]])[:samples]
    return x, y


CASES = {
    # name: (builder, size, first chunk of `workers`)
    "collapse_y at 250000 points": (y_seam_layer, 250000),
    "collapse_y at 249999 points": (y_seam_layer, 249999),
    "collapse_x at 500000 samples": (x_seam_layer, 500000),
    "collapse_x at 499999 samples": (x_seam_layer, 499999),
}


@functools.cache
def seam_case(name, dtype, workers):
    builder, size = CASES[name]
    seam_workers = max(workers, 2)  # one worker has no seam; use the two-worker layer
    seam = -(-size // seam_workers)
    x, y = builder(size, seam, dtype)
    return x, y, reference.annotate(x, y, workers=workers)


@pytest.mark.parametrize("workers", [1, 2, 3, 7])
@pytest.mark.parametrize("dtype", [np.float64, np.float32], ids=["float64", "float32"])
@pytest.mark.parametrize("name", list(CASES))
def test_labels_at_the_chunk_thresholds(name, dtype, workers, tmp_path):
    x, y, want = seam_case(name, dtype, workers)
    got = annotate_in_subprocess(workers, x, y, tmp_path)
    np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize("name", ["collapse_y at 250000 points", "collapse_x at 500000 samples"])
def test_the_seam_layers_tell_chunked_from_serial(name):
    # Guards the cases above: at the threshold, chunking the step must change
    # many labels, or an off-by-one threshold would pass unnoticed.
    x, y, chunked = seam_case(name, np.float64, 2)
    step_serial = {"x_threshold": 500001} if "collapse_x" in name else {"y_threshold": 250001}
    serial = reference.annotate(x, y, workers=2, **step_serial)
    assert np.count_nonzero(serial != chunked) > 10000
