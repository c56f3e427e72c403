"""Annotates every real scan path in the shared data folder.

For each file: the samples, the scanlines found and the share of samples
labelled, as read and with x and y swapped (the labeller looks for
reversals in y, so a raster of lines along x shows its lines only when
turned), the time taken, and a picture of its first layer.  Reads the files
in place; prints a message and stops cleanly where the folder is absent.
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import numpy as np

import rastermark

sys.path.insert(0, str(Path(__file__).resolve().parent))
from layers import REALDATA, realdata_sets  # noqa: E402


def annotate_all(layers):
    """Labels of every layer, the number of scanlines, labelled share, seconds."""
    labels, lines, labelled, samples = [], 0, 0, 0
    start = time.perf_counter()
    for x, y in layers:
        ids = rastermark.annotate_scanlines(np.ascontiguousarray(x), np.ascontiguousarray(y))
        labels.append(ids)
        lines += len(np.unique(ids[ids > 0]))
        labelled += int(np.count_nonzero(ids > 0))
        samples += len(ids)
    return labels, lines, labelled / max(samples, 1), time.perf_counter() - start


def summarise():
    """One summary row per file."""
    rows = []
    for name, layers in realdata_sets():
        labels, lines, share, seconds = annotate_all(layers)
        _, lines_t, share_t, _ = annotate_all([(y, x) for x, y in layers])
        rows.append({"name": name, "layers": layers, "labels": labels, "samples": sum(len(x) for x, _ in layers),
                     "scanlines": lines, "share": share, "scanlines turned": lines_t, "share turned": share_t,
                     "seconds": seconds})
    return rows


def plot(row, path: Path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    (x, y), ids = row["layers"][0], row["labels"][0]
    fig, ax = plt.subplots(figsize=(7, 6), dpi=100)
    none = ids < 0
    ax.scatter(x[none], y[none], s=0.3, c="0.75", linewidths=0)
    ax.scatter(x[~none], y[~none], s=0.3, c=plt.get_cmap("tab20")((ids[~none] * 7) % 20), linewidths=0)
    ax.set_aspect("equal")
    ax.set_title(f"{row['name']} (first layer) coloured by scanline_id", fontsize=9)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=Path("build/realdata"), help="folder for the pictures")
    parser.add_argument("--no-plot", action="store_true")
    args = parser.parse_args(argv)
    rows = summarise()
    if not rows:
        print(f"no real data: {REALDATA} is absent, nothing to do")
        return []
    print(f"{'file':42s} {'layers':>6s} {'samples':>9s} {'scanlines':>9s} {'labelled':>8s}"
          f" {'turned':>7s} {'labelled':>8s} {'ms':>7s}")
    for r in rows:
        print(f"{r['name']:42s} {len(r['layers']):6d} {r['samples']:9,d} {r['scanlines']:9d} {r['share']:8.1%}"
              f" {r['scanlines turned']:7d} {r['share turned']:8.1%} {r['seconds'] * 1e3:7.1f}")
    if not args.no_plot:
        args.out.mkdir(parents=True, exist_ok=True)
        for r in rows:
            plot(r, args.out / (Path(r["name"]).name.replace(".", "_") + ".png"))
        print(f"pictures: {args.out}/")
    return rows


if __name__ == "__main__":
    main()
