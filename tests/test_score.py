"""Scores against known vectors: worked cases, a slow per-hatch reference on
random labels, and the score command on a slice file."""

import numpy as np
import pytest

from rastermark_tools.score import score_labels
from support import cli, write_cli


def slow_score(ids, truth, laser_on, kind):
    """The definitions of the score module, hatch by hatch and id by id."""
    hatch = (laser_on == 1) & (kind == 1)
    hatches = sorted(set(truth[hatch].tolist()))
    complete = one = 0
    best_ids = []
    for h in hatches:
        members = ids[hatch & (truth == h)]
        counts = {i: int(np.sum(members == i)) for i in set(members.tolist()) if i > 0}
        if not counts:
            continue
        best = min(counts, key=lambda i: (-counts[i], i))
        if counts[best] >= 0.9 * len(members):
            complete += 1
            best_ids.append(best)
            one += np.sum(ids == best) <= 1.2 * len(members)
    labelled = ids > 0
    pure = 0
    for i in set(ids[labelled].tolist()):
        own = truth[hatch & (ids == i)]
        if len(own) == 0:
            continue
        values, counts = np.unique(own, return_counts=True)
        major = values[np.argmax(counts)]
        pure += int(np.sum(own == major))
    merges = sum(1 for i in set(best_ids) if best_ids.count(i) > 1)
    return len(hatches), complete, one, merges, int(labelled.sum()), pure


def test_worked_cases():
    truth = np.array([1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2])
    on = (truth > 0).astype(np.int8)
    perfect = np.where(truth > 0, truth + 10, -1)
    s = score_labels(perfect, truth, on)
    assert (s.hatches, s.complete, s.one_to_one, s.merges, s.purity, s.off_labelled_share) == (2, 2, 2, 0, 1.0, 0.0)
    merged = np.where(truth >= 0, 7, -1)  # one id over both hatches and the jump between them
    s = score_labels(merged, truth, on)
    assert (s.complete, s.one_to_one, s.merges, s.off_labelled_share) == (2, 0, 1, 1.0)
    assert s.purity == pytest.approx(10 / 22)
    split = perfect.copy()
    split[:5] = 5  # hatch 1 halved between two ids
    s = score_labels(split, truth, on)
    assert (s.complete, s.one_to_one, s.purity) == (1, 1, 1.0)
    assert np.isnan(score_labels(np.full(3, -1), np.array([1, 1, 1])).purity)


@pytest.mark.parametrize("seed", range(6))
def test_matches_a_slow_reference(seed):
    rng = np.random.default_rng(seed)
    n = 3000
    truth = np.repeat(np.arange(60), 50)
    laser_on = (rng.random(n) > 0.1).astype(np.int8)
    kind = np.where(rng.random(n) > 0.05, 1, 2).astype(np.int8)
    # labels that mostly follow the truth, with merges, splits and stray ids
    ids = truth // rng.integers(1, 3) + 1
    ids[rng.random(n) < 0.05] = -1
    stray = rng.random(n) < 0.03
    ids[stray] = rng.integers(1, 80, size=np.count_nonzero(stray))
    s = score_labels(ids, truth, laser_on, kind)
    assert (s.hatches, s.complete, s.one_to_one, s.merges, s.labelled, s.pure) == slow_score(ids, truth, laser_on,
                                                                                                 kind)


def test_score_command_on_a_slice_file(tmp_path):
    pytest.importorskip("pyarrow")  # the table it writes
    hatches = [[10, 10 * k, 990, 10 * k] if k % 2 else [990, 10 * k, 10, 10 * k] for k in range(1, 30)]
    path = write_cli(tmp_path / "raster.cli", [(0, [("hatches", hatches)]), (5, [("hatches", hatches)])])
    out = cli("score", path, "--laser-off", "-o", tmp_path / "score.csv", "-q")
    assert out.returncode == 0, out.stderr
    assert "raster.cli" in out.stdout and "all" in out.stdout
    import pyarrow.csv as pa_csv

    table = pa_csv.read_csv(tmp_path / "score.csv")
    assert table.column("layer").to_pylist() == [0, 1]
    assert table.column("hatches").to_pylist() == [29, 29]
    # the rule loses the first and last lines of a block and nothing else here
    assert all(0.8 < c <= 1 for c in table.column("complete").to_pylist())
    # label_hatches keeps every line, and leaves the jumps out (the rule takes most of them in)
    out = cli("score", path, "--laser-off", "--method", "hatches", "-o", tmp_path / "hatches.csv", "-q")
    assert out.returncode == 0, out.stderr
    table = pa_csv.read_csv(tmp_path / "hatches.csv")
    assert table.column("one_to_one").to_pylist() == [1.0, 1.0]
    assert table.column("long_jump_labelled").to_pylist() == [0.0, 0.0]
    assert cli("score", path, "--truth", "nope", "-q").returncode == 1
