"""Benchmark on recorded-looking positions: quantised hatches at several
angles, rest samples at hatch ends, oversampled controllers, noise and dense
turns, each as a ratio to the memory floor measured in the same process.

    python benchmarks/recorded.py [--quick] [--repeat 5]

Three fresh processes, one per setting: one worker, every worker, and one
worker with the vectorised fast path off (RASTERMARK_SIMD=off).  Each times,
interleaved, the floor (x.sum(); y.sum(); np.full(n, -1, np.int32)) and
annotate_scanlines on every workload and dtype, and reports medians; the
table gives rastermark's time over the floor's.  Nothing here is a test.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from workloads import jittery, noisy_with_dwell, pbf_layer, turn_every_30  # noqa: E402


def rests_at_hatch_ends(x, y, seed=5):
    """Every exact repeat run (the layer's dwell at each hatch end) made 3 to
    10 samples long; cut back to the original length."""
    rng = np.random.default_rng(seed)
    n = len(x)
    repeat = np.concatenate([[False], (x[1:] == x[:-1]) & (y[1:] == y[:-1])])
    copies = np.ones(n, np.int64)
    starts = np.flatnonzero(repeat & ~np.concatenate([[False], repeat[:-1]]))
    copies[starts] = rng.integers(1, 8, len(starts))  # 3 + 0..7 more samples of rest
    index = np.repeat(np.arange(n), copies)[:n]
    return x[index], y[index]


def oversampled(x, y, seed=6):
    """A controller sampling at 1.5 times its update rate: a third of the
    samples repeat the one before."""
    rng = np.random.default_rng(seed)
    n = len(x)
    keep = np.maximum.accumulate(np.where(rng.random(n) < 1 / 3, 0, np.arange(n)))
    return x[keep], y[keep]


def workloads():
    out = {}
    for angle in (0, 23, 45, 67, 85, 89, 90):
        out[f"1 um grid, hatches at {angle} deg"] = lambda n, dt, a=angle: pbf_layer(n, float(a), 0, dt)
    out["1 um grid at 67 deg, 3-10 rest samples at hatch ends"] = (
        lambda n, dt: tuple(v.astype(dt) for v in rests_at_hatch_ends(*pbf_layer(n, 67.0, 0, np.float64))))
    out["1 um grid at 67 deg, oversampled (1/3 repeats)"] = (
        lambda n, dt: tuple(v.astype(dt) for v in oversampled(*pbf_layer(n, 67.0, 0, np.float64))))
    out["noisy (2 um) with 30% dwell"] = noisy_with_dwell
    out["a turn every 30 samples"] = turn_every_30
    out["jittery (a turn every 1.5 samples)"] = jittery
    return out


def child(n, repeat):
    import rastermark

    results = {}
    for name, make in workloads().items():
        for dtype in (np.float64, np.float32):
            x, y = make(n, dtype)
            floor, ours = [], []
            for _ in range(repeat):
                start = time.perf_counter()
                x.sum()
                y.sum()
                np.full(n, -1, np.int32)
                floor.append(time.perf_counter() - start)
                start = time.perf_counter()
                rastermark.annotate_scanlines(x, y)
                ours.append(time.perf_counter() - start)
            results[f"{name}|{np.dtype(dtype).name}"] = [statistics.median(floor), statistics.median(ours)]
    print(json.dumps(results))


SETTINGS = {
    "1 worker": {"RASTERMARK_NUM_THREADS": "1"},
    "all workers": {},
    "off, 1 worker": {"RASTERMARK_NUM_THREADS": "1", "RASTERMARK_SIMD": "off"},
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="10^6 samples instead of 10^7")
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    n = 10**6 if args.quick else 10**7
    if args.child:
        return child(n, args.repeat)
    print(f"{platform.processor() or platform.machine()}, {os.cpu_count()} CPUs, Python {sys.version.split()[0]}, "
          f"NumPy {np.__version__}, n = {n:,}; rastermark's time over the floor's, medians of {args.repeat}")
    columns = {}
    for setting, extra in SETTINGS.items():
        env = {k: v for k, v in os.environ.items() if k not in ("RASTERMARK_NUM_THREADS", "RASTERMARK_SIMD")}
        env.update(extra)
        out = subprocess.run([sys.executable, __file__, "--child", "--repeat", str(args.repeat)]
                             + (["--quick"] if args.quick else []), env=env, capture_output=True, text=True,
                             check=True)
        columns[setting] = json.loads(out.stdout.splitlines()[-1])
    names = list(workloads())
    print(f"\n| workload | {' | '.join(SETTINGS)} |\n|---|" + "---:|" * len(SETTINGS))
    for name in names:
        cells = []
        for setting in SETTINGS:
            ratios = [columns[setting][f"{name}|{dt}"] for dt in ("float64", "float32")]
            cells.append(" / ".join(f"{ours / floor:.2f}x" for floor, ours in ratios))
        print(f"| {name} (float64 / float32) | {' | '.join(cells)} |")


if __name__ == "__main__":
    main()
