"""label_hatches: constructed scans with exact ids, the kept PySLM traces
against their truth, invariance of the lines under moves of the layer,
workers and threads, and inputs it must refuse or survive."""

import math

import numpy as np
import pytest

from rastermark_tools import HatchInfo, label_hatches
from rastermark_tools.score import score_labels
from support import (SHIPPED, annotate_in_subprocess, check_from_threads, cli, groundtruth_traces, joined, meander,
                     scan)


def same_lines(a, b):
    """Both labellings split the samples into the same lines (ids may differ)."""
    assert np.array_equal(a < 0, b < 0)
    pairs = np.unique(np.stack([a[a > 0], b[b > 0]]), axis=1)
    assert len(np.unique(pairs[0])) == len(np.unique(pairs[1])) == pairs.shape[1]


def islands():
    """Two square islands of hatches at right angles, scanned one after the
    other, with a long jump between."""
    first = meander(12, length=1.0, spacing=0.1)
    second = meander(12, length=1.0, spacing=0.1, origin=(2.5, 0.0), across=(1.0, 0.0), along=(0.0, 1.0))
    return joined(first, second)


def contour_around(moves):
    square = [(-0.1, -0.1), (1.1, -0.1), (1.1, 1.3), (-0.1, 1.3), (-0.1, -0.1)]
    circle = [(0.5 + 0.9 * math.cos(a), 0.55 + 0.9 * math.sin(a)) for a in np.linspace(0, 2 * math.pi, 60)]
    return joined([(square, "contour")], [(circle, "contour")], moves)


@pytest.mark.parametrize("moves, rests", [
    (meander(15), 0),
    (meander(15), 3),
    (islands(), 0),
    (contour_around(meander(12)), 0),
    (contour_around(islands()), 4),
], ids=["meander", "meander with rests", "islands", "contours around a meander", "contours around islands, rests"])
def test_constructed_scans_get_exact_ids(moves, rests):
    x, y, want = scan(moves, rests=rests)
    ids, info = label_hatches(x, y, return_info=True)
    assert np.array_equal(ids, want), np.flatnonzero(ids != want)[:10]
    assert info.mark_step == pytest.approx(0.01, rel=0.05)
    assert info.hatch_spacing == pytest.approx(0.1, rel=0.05)


def test_a_hatch_across_a_hole_is_two_hatches():
    left = meander(8, length=0.4)
    right = meander(8, length=0.4, origin=(0.8, 0.0))
    x, y, want = scan(joined(left, right))
    assert np.array_equal(label_hatches(x, y), want)


def test_noise_and_exact_repeats_keep_the_hatches():
    x, y, want = scan(islands())
    rng = np.random.default_rng(3)
    noisy_x = x + rng.normal(0, 0.0005, len(x))
    noisy_y = y + rng.normal(0, 0.0005, len(y))
    ids = label_hatches(noisy_x, noisy_y)
    score = score_labels(ids, want, kind=np.where(want > 0, 1, 0))
    assert score.complete == score.hatches and score.purity == 1.0
    # Exact repeats take the id of the sample before them.
    copies = 1 + (rng.random(len(x)) < 0.3)
    repeated = label_hatches(np.repeat(x, copies), np.repeat(y, copies))
    first_of_each = np.concatenate([[0], np.cumsum(copies)[:-1]])
    assert np.array_equal(repeated[first_of_each], label_hatches(x, y))
    assert np.array_equal(repeated, np.repeat(repeated[first_of_each], copies))


def test_kept_traces_against_their_truth():
    for name, (x, y, truth, kind, on) in groundtruth_traces().items():
        ids = label_hatches(x, y)
        score = score_labels(ids, truth, on, kind)
        assert score.merges == 0, name
        if "mark_speed" in name:
            assert score.complete_share >= 0.85 and score.purity >= 0.9, name
            score = score_labels(label_hatches(x, y, laser_on=on), truth, on, kind)
            assert score.long_jump_labelled == 0, name
        assert score.complete_share >= 0.9 and score.purity >= 0.99, (name, score)


@pytest.mark.parametrize("change", ["translate", "rotate", "unit", "float32"])
def test_lines_do_not_change_when_the_layer_moves(change):
    x, y, _ = scan(contour_around(islands()), rests=2)
    x, y = x + 20.0, y + 30.0
    before = label_hatches(x, y)
    if change == "translate":
        after = label_hatches(x - 123.25, y + 7.5)
    elif change == "rotate":
        for angle in (0.3, 1.0, 2.2, 4.0):
            c, s = math.cos(angle), math.sin(angle)
            same_lines(before, label_hatches(c * x - s * y, s * x + c * y))
        return
    elif change == "unit":
        after = label_hatches(x * 1000.0, y * 1000.0)
    else:
        after = label_hatches(x.astype(np.float32), y.astype(np.float32))
    same_lines(before, after)


def test_ids_are_the_same_for_every_worker_count(tmp_path):
    x, y, _ = scan(joined(*[islands() for _ in range(20)]), mark_step=0.0025, jump_step=0.01)
    x = np.tile(x, 6) + np.repeat(np.arange(6) * 40.0, len(x))
    y = np.tile(y, 6)
    assert len(x) > 1_100_000
    # Exact repeats (gathered block by block), and then a few breaks too.
    copies = 1 + (np.random.default_rng(5).random(len(x)) < 0.2)
    repeated = np.repeat(x, copies), np.repeat(y, copies)
    broken = repeated[0].copy(), repeated[1]
    broken[0][::100_003] = np.nan
    for layer in ((x, y), repeated, broken):
        one = annotate_in_subprocess(1, *layer, tmp_path, call="rastermark_tools.label_hatches")
        two = annotate_in_subprocess(2, *layer, tmp_path, call="rastermark_tools.label_hatches")
        assert np.array_equal(one, two)
        assert np.count_nonzero(one > 0) > 0.9 * len(one)


def test_threads_share_it():
    inputs = [scan(meander(10 + k))[:2] for k in range(4)]
    want = [label_hatches(*xy) for xy in inputs]
    assert check_from_threads(inputs, want, lambda s, c: (s + c) % 4, 4, 20, 120, label=label_hatches) == []


def test_breaks_and_the_laser_signal():
    x, y, want = scan(meander(10))
    x[55] = np.nan
    y[250] = np.inf
    ids = label_hatches(x, y)
    assert ids[55] == -1 and ids[250] == -1
    assert ids[54] != ids[56] or ids[54] == -1  # a NaN breaks the line it lies on
    off = np.ones(len(x), np.uint8)
    off[300:320] = 0
    ids = label_hatches(x, y, laser_on=off)
    assert np.all(ids[300:320] == -1)
    # A float signal: NaN is no signal that the laser drew.
    signal = off.astype(float)
    signal[0] = np.nan
    assert label_hatches(x, y, laser_on=signal)[0] == -1


def test_time_stamps_for_uneven_sampling():
    x, y, want = scan(islands())
    t = np.arange(len(x), dtype=float) * 1e-5
    assert np.array_equal(label_hatches(x, y, t=t), want)
    # Dropping every third sample leaves the same lines once t says so.
    keep = np.arange(len(x)) % 3 != 2
    assert np.array_equal(label_hatches(x[keep], y[keep], t=t[keep]) > 0, want[keep] > 0)


def test_float32_far_from_the_origin_still_moves():
    # Steps of about ten ulps: the rounding of float32 is not taken for noise.
    x, y, want = scan(meander(12))
    ids, info = label_hatches((x + 1e4).astype(np.float32), (y + 1e4).astype(np.float32), return_info=True)
    assert info.mark_step == pytest.approx(0.01, rel=0.1)
    assert info.hatches == 12


def test_info_and_empty_input():
    ids, info = label_hatches(np.zeros(0), np.zeros(0), return_info=True)
    assert ids.dtype == np.int32 and len(ids) == 0 and isinstance(info, HatchInfo)
    x, y, _ = scan(islands())
    _, info = label_hatches(x, y, return_info=True)
    assert sorted(round(d) % 180 for d in info.directions_deg) == [0, 90]
    assert info.hatches == 24 and info.window >= 2


@pytest.mark.parametrize("call, message", [
    (lambda: label_hatches(np.zeros(5), np.zeros(4)), "one length"),
    (lambda: label_hatches(np.zeros((2, 2)), np.zeros((2, 2))), "1-D"),
    (lambda: label_hatches(np.array(["a"]), np.array(["b"])), "numbers"),
    (lambda: label_hatches(np.arange(50.0), np.zeros(50), t=np.zeros(50)), "t must increase"),
    (lambda: label_hatches(np.arange(50.0), np.zeros(50), t=np.full(50, np.nan)), "not finite"),
    (lambda: label_hatches(np.arange(50.0), np.zeros(50), laser_on=np.ones(3)), "laser_on has 3"),
    (lambda: label_hatches(np.zeros(50), np.zeros(50)), "too few marking samples"),
    (lambda: label_hatches(np.full(50, np.nan), np.zeros(50)), "no usable samples"),
    (lambda: label_hatches(np.arange(50.0), np.zeros(50), laser_on=np.zeros(50)), "the laser is off"),
])
def test_inputs_it_cannot_judge_are_refused_clearly(call, message):
    with pytest.raises((ValueError, TypeError), match=message):
        call()


def test_adversarial_inputs_never_crash():
    rng = np.random.default_rng(7)
    specials = np.array([np.nan, np.inf, -np.inf, 0.0, -0.0, 5e-324, 1e308, -1e308, 1.0])
    for trial in range(200):
        n = int(rng.integers(0, 400))
        x = rng.choice(specials, n) if trial % 3 == 0 else np.cumsum(rng.normal(0, 1, n))
        y = rng.choice(specials, n) if trial % 5 == 0 else np.round(rng.normal(0, 1, n), int(rng.integers(0, 3)))
        try:
            ids = label_hatches(x, y)
        except ValueError as e:
            assert "label_hatches:" in str(e)
            continue
        assert ids.dtype == np.int32 and len(ids) == n
        assert np.all(ids[~(np.isfinite(x) & np.isfinite(y))] == -1)


def test_command_line_method_hatches(tmp_path):
    layer = SHIPPED / "0000050.txt"
    out = cli("score", "--method", "hatches", str(layer))
    assert out.returncode == 0, out.stderr
    row = next(line for line in out.stdout.splitlines() if line.startswith("0000050.txt"))
    assert "100.0%" in row  # every vector of the real layer complete
    labels = tmp_path / "labels.npz"
    out = cli("label", "--method", "hatches", str(layer), "-o", str(labels))
    assert out.returncode == 0, out.stderr
    with np.load(labels) as d:
        assert d["scanline_id"].max() > 100
    # A layer it cannot judge stays unlabelled, with the reason, and the run goes on.
    still = tmp_path / "still.npz"
    np.savez(still, x=np.ones(50), y=np.full(50, 2.0))
    out = cli("label", "--method", "hatches", str(still), str(layer), "-o", str(tmp_path / "both.npz"))
    assert out.returncode == 0, out.stderr
    assert "still.npz: layer 0: left unlabelled: label_hatches: too few marking samples" in out.stderr
