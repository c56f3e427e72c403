"""Labelling results: worked examples and differential checks against the
slow reference model."""

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import rastermark
import reference
from support import expected_labels, zigzag


def annotate(x, y, ftype):
    return rastermark.annotate_scanlines(np.asarray(x, dtype=ftype), np.asarray(y, dtype=ftype))


def test_six_line_zigzag(ftype):
    x, y = zigzag(6)
    assert len(x) == 35
    want = expected_labels(35, {1: (12, 17), 2: (18, 23), 3: (24, 29)})
    np.testing.assert_array_equal(annotate(x, y, ftype), want)


def test_zigzag_with_a_jump(ftype):
    x, y = zigzag(10, shift_after=5)
    assert len(x) == 59
    want = expected_labels(
        59, {1: (12, 17), 2: (18, 23), 3: (24, 29), 4: (30, 34), 5: (42, 47), 6: (48, 53)}
    )
    np.testing.assert_array_equal(annotate(x, y, ftype), want)


@pytest.mark.parametrize(
    "x, y",
    [
        ([3.0], [4.0]),  # one sample
        ([1.0] * 7, [2.0] * 7),  # everything collapses to one point
        ([0, 1, 2, 3, 4], [0, 1, 2, 3, 4]),  # only rising: no turns
        ([0, 1, 2], [5, 0, 5]),  # one turning point
        ([0, 0, 1, 1], [0, 0, 0, 0]),
    ],
)
def test_paths_without_scanlines(x, y, ftype):
    np.testing.assert_array_equal(annotate(x, y, ftype), np.full(len(x), -1, np.int32))


# -- random raster paths -----------------------------------------------------

SPECIALS = [np.nan, np.inf, -np.inf, -0.0, 0.0, 5e-324, 1e308, -1e308, 3.4e38]


@st.composite
def raster_paths(draw, max_lines=40):
    """Zig-zag rasters with noise, dwell repeats, jumps between regions and
    special values sprinkled in."""
    lines = draw(st.integers(0, max_lines))
    per_line = draw(st.integers(1, 12))
    pitch = draw(st.sampled_from([1.0, 0.1, 1e-3, 7.0, 1e6]))
    length = draw(st.sampled_from([1.0, 10.0, 0.01, 1e5]))
    noise = draw(st.sampled_from([0.0, 1e-17, 1e-9, 1e-4]))
    repeat = draw(st.integers(1, 3))
    seed = draw(st.integers(0, 2**32 - 1))
    rng = np.random.default_rng(seed)
    xs, ys = [], []
    offset = 0.0
    for k in range(lines):
        if rng.random() < 0.1:
            offset += rng.choice([-1, 1]) * rng.uniform(5, 100) * pitch
        ramp = np.linspace(0.0, length, per_line)
        if k % 2:
            ramp = ramp[::-1]
        for v in ramp:
            for _ in range(int(rng.integers(1, repeat + 1))):
                xs.append(k * pitch + offset + rng.normal(0, noise) if noise else k * pitch + offset)
                ys.append(v + (rng.normal(0, noise) if noise else 0.0))
    x = np.array(xs, dtype=np.float64)
    y = np.array(ys, dtype=np.float64)
    n_special = draw(st.integers(0, 3)) if len(x) else 0
    for _ in range(n_special):
        where = draw(st.integers(0, len(x) - 1))
        target = x if draw(st.booleans()) else y
        target[where] = draw(st.sampled_from(SPECIALS))
    return x, y


@st.composite
def near_ties(draw):
    """Coordinates within a few ulps of each other around a few centres, where
    the anchor rule and float32 rounding decide the grouping."""
    n = draw(st.integers(0, 300))
    dtype = draw(st.sampled_from([np.float64, np.float32]))
    centres = draw(st.lists(st.sampled_from([0.0, 1.0, -1.0, 0.5, 1e-7, 3.0, 1024.0]), min_size=1, max_size=4))
    seed = draw(st.integers(0, 2**32 - 1))
    rng = np.random.default_rng(seed)
    eps = float(np.finfo(dtype).eps)
    cx = np.array(centres)[rng.integers(0, len(centres), n)]
    cy = np.array(centres)[rng.integers(0, len(centres), n)] * 3
    x = (cx + rng.integers(-3, 4, n) * eps * 0.5).astype(dtype)
    y = (cy + rng.integers(-3, 4, n) * eps * 0.5 + np.cumsum(rng.choice([-1.0, 1.0], n)) * rng.choice([0, 1])).astype(dtype)
    return x, y


def check_against_reference(x, y):
    got = rastermark.annotate_scanlines(x, y)
    want = reference.annotate(x, y)
    assert got.dtype == np.int32
    np.testing.assert_array_equal(got, want)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(path=raster_paths(), as_float32=st.booleans())
def test_raster_paths_match_reference(path, as_float32):
    x, y = path
    if as_float32:
        with np.errstate(over="ignore"):
            x, y = x.astype(np.float32), y.astype(np.float32)
    check_against_reference(x, y)


@settings(max_examples=150, deadline=None)
@given(path=near_ties())
def test_near_ties_match_reference(path):
    check_against_reference(*path)


@settings(max_examples=200, deadline=None)
@given(
    data=st.lists(
        st.tuples(
            st.floats(allow_nan=True, allow_infinity=True, width=32),
            st.floats(allow_nan=True, allow_infinity=True, width=32),
        ),
        max_size=60,
    ),
    dtype=st.sampled_from([np.float64, np.float32]),
)
def test_arbitrary_floats_match_reference(data, dtype):
    x = np.array([p[0] for p in data], dtype=dtype)
    y = np.array([p[1] for p in data], dtype=dtype)
    check_against_reference(x, y)


@pytest.mark.parametrize("seed", range(3))
def test_long_noisy_raster_matches_reference(seed, ftype):
    # A few thousand samples with many scanlines, random dwell and jitter.
    rng = np.random.default_rng(seed)
    xs, ys = [], []
    for k in range(120):
        ramp = np.linspace(0, 20, 25)[:: 1 if k % 2 == 0 else -1]
        reps = rng.integers(1, 3, len(ramp))
        xs.append(np.repeat(k * 0.2 + rng.normal(0, 1e-3, len(ramp)), reps))
        ys.append(np.repeat(ramp + rng.normal(0, 1e-3, len(ramp)), reps))
    x = np.concatenate(xs).astype(ftype)
    y = np.concatenate(ys).astype(ftype)
    got = rastermark.annotate_scanlines(x, y)
    np.testing.assert_array_equal(got, reference.annotate(x, y))
    assert got.max() > 50
