"""The two labellers side by side on one layer whose hatches are known: the
rule of `annotate_scanlines` (lines where the path reverses in y) and
`label_hatches` (straight marks along the hatch directions), each sample
coloured by its id, samples on no line grey, and the samples of every hatch
a labeller missed (no id holds 90% of it) in red.

    python examples/hatches.py TRACE.npz -o picture.png

TRACE is a ground-truth trace (x, y, truth, kind, laser_on: see
benchmarks/groundtruth/make_traces.py); tests/data/groundtruth holds a few.
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

import numpy as np

import rastermark
from rastermark_tools import label_hatches
from rastermark_tools.cli import rasterise
from rastermark_tools.score import COMPLETE_SHARE, KIND_HATCH, score_labels


def missed(ids, truth, hatch) -> np.ndarray:
    """Samples of hatches that no single id holds COMPLETE_SHARE of."""
    out = np.zeros(len(ids), bool)
    for number in np.unique(truth[hatch]):
        members = hatch & (truth == number)
        values, counts = np.unique(ids[members], return_counts=True)
        best = counts[values > 0].max() if np.any(values > 0) else 0
        if best < COMPLETE_SHARE * np.count_nonzero(members):
            out |= members
    return out


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("trace", type=Path)
    parser.add_argument("-o", "--output", type=Path, required=True)
    args = parser.parse_args()
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    with np.load(args.trace) as d:
        x, y, truth, kind, on = (d[k] for k in ("x", "y", "truth", "kind", "laser_on"))
    hatch = (kind == KIND_HATCH) & (on == 1)
    labellings = [("annotate_scanlines (the rule)", rastermark.annotate_scanlines(x, y)),
                  ("label_hatches", label_hatches(x, y))]
    palette = np.vstack([[1, 1, 1, 0], [0.8, 0.8, 0.8, 1], plt.get_cmap("tab20")(np.arange(20)), [0.85, 0, 0, 1]])
    fig, axes = plt.subplots(1, 2, figsize=(12, 6.2), dpi=100)
    for ax, (name, ids) in zip(axes, labellings):
        shown = ids.copy()
        lost = missed(ids, truth, hatch)
        image, extent = rasterise(x, y, shown, width=560, height=560)
        # Misses drawn over the rest, in the last colour of the palette.
        lost_image, _ = rasterise(np.concatenate([x, x[lost]]), np.concatenate([y, y[lost]]),
                                  np.concatenate([np.zeros(len(x), np.int32), np.ones(np.count_nonzero(lost), np.int32)]),
                                  width=560, height=560)
        image = np.where(lost_image >= 2, len(palette) - 1, image) if np.any(lost) else image
        ax.imshow(palette[image], extent=extent, origin="lower", interpolation="nearest")
        s = score_labels(ids, truth, on, kind)
        ax.set_title(f"{name}\n{s.complete} of {s.hatches} hatches complete, {s.one_to_one} 1:1, "
                     f"purity {s.purity:.2%}", fontsize=10)
        ax.set_aspect("equal")
        ax.set_xticks([])
        ax.set_yticks([])
    axes[0].plot([], [], "s", color=palette[-1], label="samples of a missed hatch")
    axes[0].plot([], [], "s", color=palette[1], label="no line (-1)")
    axes[0].legend(loc="lower left", fontsize=8)
    fig.suptitle(args.trace.stem, fontsize=10)
    fig.tight_layout()
    args.output.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(args.output)
    print(f"{args.output}: " + "; ".join(f"{name}: {score_labels(ids, truth, on, kind).complete} complete"
                                          for name, ids in labellings))
    return 0


if __name__ == "__main__":
    sys.exit(main())
