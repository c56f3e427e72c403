"""Labels scored against known vectors: how many of the lines the machine
drew a labeller recovers, and how clean its lines are.

A *hatch* is a group of samples with one truth value (the `vector` column
of path files, slice files and G-code) that the laser drew (`laser_on`,
where given) and that is a hatch (`kind`, where given: contours are not).
For each hatch, its *best id* is the id (> 0) that holds most of its
samples.  A hatch is

- *complete* where its best id holds at least 90% of its samples;
- recovered *1:1* where it is complete and its best id holds at most 1.2
  times as many samples as the hatch has.

*Purity* is the share of labelled samples (id > 0) that belong to the hatch
that holds most of their id's hatch samples; a labelled sample of no hatch
(a jump, a contour) is impure, while rest samples and short step-overs
between neighbouring hatches (`kind` 3 and 4) are neutral: they count
neither way.  A *merge* is an id that is the best id of two or more
complete hatches.  Long jumps (laser off, `kind` 0 where kinds are given)
and contours (`kind` 2) are counted with how many of their samples carry
an id.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

COMPLETE_SHARE = 0.9
ONE_TO_ONE_SIZE = 1.2
# Hatches of at least this many samples are counted apart (`one_to_one_long`).
LONG_HATCH_SAMPLES = 10
KIND_JUMP, KIND_HATCH, KIND_CONTOUR, KIND_REST, KIND_STEP_OVER = 0, 1, 2, 3, 4


def _share(part: int, whole: int) -> float:
    """part / whole, nan where there is no whole."""
    return part / whole if whole else float("nan")


@dataclass
class Score:
    hatches: int
    complete: int
    one_to_one: int
    merges: int
    labelled: int
    pure: int
    off_samples: int  # laser-off samples (jumps, travel)
    off_labelled: int
    long_hatches: int = 0  # hatches of LONG_HATCH_SAMPLES samples or more
    long_one_to_one: int = 0
    long_jump_samples: int = 0  # laser off and not a step-over
    long_jump_labelled: int = 0
    contour_samples: int = 0
    contour_labelled: int = 0

    @property
    def complete_share(self) -> float:
        return _share(self.complete, self.hatches)

    @property
    def one_to_one_share(self) -> float:
        return _share(self.one_to_one, self.hatches)

    @property
    def long_one_to_one_share(self) -> float:
        return _share(self.long_one_to_one, self.long_hatches)

    @property
    def long_jump_labelled_share(self) -> float:
        return _share(self.long_jump_labelled, self.long_jump_samples)

    @property
    def contour_labelled_share(self) -> float:
        return _share(self.contour_labelled, self.contour_samples)

    @property
    def purity(self) -> float:
        return _share(self.pure, self.labelled)

    @property
    def off_labelled_share(self) -> float:
        return _share(self.off_labelled, self.off_samples)

    def __add__(self, other: Score) -> Score:
        return Score(*(a + b for a, b in zip(self.__dict__.values(), other.__dict__.values())))


def _pair_counts(first: np.ndarray, second: np.ndarray):
    """Distinct (first, second) pairs and how often each occurs."""
    pairs, counts = np.unique(np.stack([first, second]), axis=1, return_counts=True)
    return pairs[0], pairs[1], counts


def _best_per(keys: np.ndarray, values: np.ndarray, counts: np.ndarray):
    """For each distinct key, the value with the largest count (the smallest
    such value on a tie) and that count."""
    order = np.lexsort((values, -counts, keys))
    keys, values, counts = keys[order], values[order], counts[order]
    first = np.flatnonzero(np.concatenate([[True], keys[1:] != keys[:-1]])) if len(keys) else np.zeros(0, int)
    return keys[first], values[first], counts[first]


def score_labels(ids, truth, laser_on=None, kind=None, hatch_kind: int = 1) -> Score:
    """Scores `ids` (one per sample, -1 or 0 for none) against `truth` (one
    vector number per sample); `laser_on` and `kind` narrow the hatches as
    the module describes (`kind == hatch_kind`)."""
    ids = np.asarray(ids).astype(np.int64, copy=False)
    truth = np.asarray(truth).astype(np.int64, copy=False)
    if ids.shape != truth.shape or ids.ndim != 1:
        raise ValueError(f"ids and truth must be 1-D of one length, got {ids.shape} and {truth.shape}")
    hatch = np.ones(len(ids), bool)
    off = np.zeros(len(ids), bool)
    neutral = np.zeros(len(ids), bool)
    contour = np.zeros(len(ids), bool)
    if laser_on is not None:
        off = np.asarray(laser_on) == 0
        hatch &= ~off
    long_jump = off
    if kind is not None:
        kind = np.asarray(kind)
        hatch &= kind == hatch_kind
        neutral = (kind == KIND_REST) | (kind == KIND_STEP_OVER)
        contour = kind == KIND_CONTOUR
        long_jump = off & ~neutral
    labelled = (ids > 0) & ~neutral
    hatch_ids, hatch_sizes = np.unique(truth[hatch], return_counts=True)
    id_values, id_sizes = np.unique(ids[labelled], return_counts=True)

    both = hatch & labelled
    pair_truth, pair_id, pair_count = _pair_counts(truth[both], ids[both])
    # Each hatch's best id, and each id's majority hatch.
    best_truth, best_id, best_count = _best_per(pair_truth, pair_id, pair_count)
    major_id, major_truth, _ = _best_per(pair_id, pair_truth, pair_count)

    size_of_hatch = dict(zip(hatch_ids.tolist(), hatch_sizes.tolist()))
    size_of_id = dict(zip(id_values.tolist(), id_sizes.tolist()))
    complete = one_to_one = long_one_to_one = 0
    best_of_complete: list[int] = []
    for t, i, c in zip(best_truth.tolist(), best_id.tolist(), best_count.tolist()):
        size = size_of_hatch[t]
        if c >= COMPLETE_SHARE * size:
            complete += 1
            best_of_complete.append(i)
            if size_of_id[i] <= ONE_TO_ONE_SIZE * size:
                one_to_one += 1
                long_one_to_one += size >= LONG_HATCH_SAMPLES
    _, per_id = np.unique(np.array(best_of_complete, np.int64), return_counts=True)
    merges = int(np.count_nonzero(per_id > 1))

    majority = dict(zip(major_id.tolist(), major_truth.tolist()))
    lookup_ids = np.array(list(majority), np.int64)
    lookup_truth = np.array(list(majority.values()), np.int64)
    order = np.argsort(lookup_ids)
    lookup_ids, lookup_truth = lookup_ids[order], lookup_truth[order]
    where = np.searchsorted(lookup_ids, ids[both])
    pure = int(np.count_nonzero(lookup_truth[where] == truth[both])) if len(where) else 0
    return Score(hatches=len(hatch_ids), complete=complete, one_to_one=one_to_one, merges=merges,
                 labelled=int(np.count_nonzero(labelled)), pure=pure, off_samples=int(np.count_nonzero(off)),
                 off_labelled=int(np.count_nonzero(off & labelled)),
                 long_hatches=int(np.count_nonzero(hatch_sizes >= LONG_HATCH_SAMPLES)), long_one_to_one=long_one_to_one,
                 long_jump_samples=int(np.count_nonzero(long_jump)),
                 long_jump_labelled=int(np.count_nonzero(long_jump & (ids > 0))),
                 contour_samples=int(np.count_nonzero(contour)), contour_labelled=int(np.count_nonzero(contour & (ids > 0))))
