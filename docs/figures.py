"""Draws the figure of docs/how-it-works.md: a small zig-zag with a jump,
its collapsed points, the turning points of both sides, the threshold and
which turns were accepted.  The intermediate steps come from the slow
reference model in tests/reference.py; the labels from rastermark itself.

    python docs/figures.py            # writes docs/how-it-works.png
"""

from pathlib import Path
import sys

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests"))

import rastermark  # noqa: E402
import reference  # noqa: E402
from conftest import zigzag  # noqa: E402


def accepted_turns(turns, t):
    """Which records of the turning-point list the label pass accepts."""
    T = np.float64
    flags = [False] * len(turns)
    for X in range(1, len(turns)):
        R = turns[X]
        if R["d_same"] > t or 0.5 * R["d_same"] > R["d_line"]:
            continue

        def leg(q, r):
            return (r["x"] - q["x"], r["y"] - q["y"])

        v = leg(turns[X - 1], R)
        back = X >= 2 and reference._reversal(leg(turns[X - 2], turns[X - 1]), v, T)
        ahead = X + 1 < len(turns) and reference._reversal(v, leg(R, turns[X + 1]), T)
        flags[X] = back or ahead
    return flags


def main():
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    x, y = zigzag(10, shift_after=5, shift=8.0)
    ids = rastermark.annotate_scanlines(x, y)
    points = reference.collapse(x, y)
    turns = reference.turning_points(points, np.float64)
    t = reference.threshold(turns, np.float64)
    accepted = accepted_turns(turns, t)

    fig, ax = plt.subplots(figsize=(10, 4.6), dpi=110)
    ax.plot(x, y, color="0.85", lw=1, zorder=1)
    palette = plt.get_cmap("tab10")
    colours = [palette(i % 10) if i > 0 else (0.6, 0.6, 0.6, 1) for i in ids]
    ax.scatter(x, y, c=colours, s=18, zorder=2, label="samples, coloured by scanline_id (grey: -1)")
    px = [p[0] for p in points]
    py = [p[1] for p in points]
    ax.plot(px, py, "k--", lw=0.8, zorder=3)
    ax.scatter(px, py, marker="s", facecolors="none", edgecolors="k", s=60, zorder=3, label="collapsed points")
    for turn, ok in zip(turns, accepted):
        falls = turn["y"] > 2  # a turn at the top: the path falls after it
        ax.scatter(turn["x"], turn["y"], marker="v" if falls else "^", s=150, zorder=4,
                   color="tab:green" if ok else "tab:red")
        ax.annotate(f"d_same {float(turn['d_same']):.0f}\nd_line {float(turn['d_line']):.1f}",
                    (turn["x"], turn["y"]), textcoords="offset points", xytext=(0, 12 if falls else -28),
                    ha="center", fontsize=6)
    ax.scatter([], [], marker="v", color="tab:green", label="turning point, accepted")
    ax.scatter([], [], marker="^", color="tab:red", label="turning point, rejected")
    ax.set_title(f"threshold t = 100 x median d_line = {float(t):.1f}.  Around the jump, one turn's legs do not "
                 "reverse and the next has d_same > 2 d_line: both are rejected", fontsize=9)
    ax.set_xlabel("x")
    ax.set_ylabel("y")
    ax.set_ylim(-4, 8.5)
    ax.legend(fontsize=7, loc="upper left", ncol=2)
    fig.tight_layout()
    out = ROOT / "docs" / "how-it-works.png"
    fig.savefig(out)
    print(out)


if __name__ == "__main__":
    main()
