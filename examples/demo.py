"""Annotate a powder-bed-fusion layer and show the result.

Builds a synthetic layer of a few hundred thousand laser positions (twelve
hatched islands with jumps, dwell and jitter), labels every sample with its
scanline, prints a summary and writes a picture of the layer coloured by
scanline id.  Real layers from the shared data folder follow when present.
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import numpy as np

import rastermark

sys.path.insert(0, str(Path(__file__).resolve().parent))
from layers import peregrine_files, peregrine_layer, synthetic_layer  # noqa: E402


def summarise(name, labels, truth, seconds):
    ids = np.unique(labels[labels > 0])
    labelled = float(np.mean(labels > 0))
    on_hatch = truth > 0
    print(f"{name}: {len(labels):,} samples, {len(ids):,} scanlines found "
          f"({len(np.unique(truth[on_hatch])):,} hatches drawn), {labelled:.1%} of samples labelled, "
          f"{seconds * 1e3:.1f} ms")


def timed(x, y):
    start = time.perf_counter()
    labels = rastermark.annotate_scanlines(x, y)
    return labels, time.perf_counter() - start


def plot(x, y, labels, path, title):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(9, 7), dpi=110)
    none = labels < 0
    ax.scatter(x[none], y[none], s=0.2, c="0.75", linewidths=0, label="no scanline (-1)")
    # Neighbouring ids get far-apart colours so adjacent lines stand out.
    palette = plt.get_cmap("tab20")
    colours = palette((labels[~none] * 7) % 20)
    ax.scatter(x[~none], y[~none], s=0.2, c=colours, linewidths=0)
    ax.set_aspect("equal")
    ax.set_xlabel("x (mm)")
    ax.set_ylabel("y (mm)")
    ax.set_title(title)
    ax.legend(loc="upper right", markerscale=20, fontsize=8)
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path)
    plt.close(fig)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=Path("build/demo"), help="folder for the pictures")
    parser.add_argument("--no-plot", action="store_true", help="skip the pictures")
    parser.add_argument("--save-layer", type=Path, metavar="NPZ",
                        help="also write the synthetic layer (x, y, true_hatch) for the command line")
    args = parser.parse_args(argv)

    x, y, truth = synthetic_layer()
    if args.save_layer:
        args.save_layer.parent.mkdir(parents=True, exist_ok=True)
        np.savez(args.save_layer, x=x, y=y, true_hatch=truth)
    labels, seconds = timed(x, y)
    labels32, seconds32 = timed(x.astype(np.float32), y.astype(np.float32))
    summarise("synthetic layer, float64", labels, truth, seconds)
    summarise("synthetic layer, float32", labels32, truth, seconds32)
    if not args.no_plot:
        picture = args.out / "synthetic-layer.png"
        plot(x, y, labels, picture, "Synthetic layer coloured by scanline_id")
        print(f"picture: {picture}")

    files = peregrine_files()
    if not files:
        print("real layers: shared data folder not found, skipped")
    for path in files:
        x, y, truth = peregrine_layer(path)
        labels, seconds = timed(x, y)
        summarise(f"real L-PBF layer {path.name}", labels, truth, seconds)
        if not args.no_plot and path == files[0]:
            picture = args.out / f"peregrine-{path.stem}.png"
            plot(x, y, labels, picture, f"Real L-PBF layer {path.stem} coloured by scanline_id")
            print(f"picture: {picture}")


if __name__ == "__main__":
    main()
