"""The speed of `label_hatches` next to `annotate_scanlines` on a layer
grown to n samples, each as a ratio to the memory floor `x.sum(); y.sum();
np.full(n, -1, np.int32)` measured in the same process, interleaved,
medians of --repeat runs.  Two layers: `pyslm`, ground truth of small parts
(PySLM traces side by side, or the small traces of the tests where none
were made; about 100 samples per hatch), and `real`, the five path-file
layers in data/ sampled every 0.01 mm while marking and every 0.04 mm while
jumping (about 1,000 samples per hatch).  Worker counts come from
RASTERMARK_NUM_THREADS, read when the pool starts: run it once per setting.

    RASTERMARK_NUM_THREADS=1 python benchmarks/hatches.py --n 10000000

Also prints the extra memory of one call: the growth of the peak resident
size (Linux: /proc/self/status) of a child process that loads the layer and
labels it once, less the 4 bytes per sample of the ids it returns.
Nothing here is a test."""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import time
from pathlib import Path

import numpy as np

import rastermark
from rastermark_tools import label_hatches

ROOT = Path(__file__).resolve().parents[1]


def grown_layer(n: int, dtype, variant: str = "rests_noise_0.5um") -> tuple[np.ndarray, np.ndarray]:
    """One layer of many parts: the ground-truth traces of one variant (one
    hatch angle: the first trace's), copies side by side on a 10 mm grid
    until there are n samples."""
    folder = ROOT / "build" / "groundtruth" / "held_out"
    traces = sorted(folder.glob(f"*-{variant}.npz")) or sorted((ROOT / "tests" / "data" / "groundtruth").glob("*.npz"))
    angle = traces[0].name.split("-")[3]
    traces = [t for t in traces if t.name.split("-")[3] == angle] or traces[:1]
    xs, ys, total, part = [], [], 0, 0
    while total < n:
        with np.load(traces[part % len(traces)]) as d:
            x, y = d["x"], d["y"]
        xs.append(x + 10.0 * (part % 100))
        ys.append(y + 10.0 * (part // 100))
        total += len(x)
        part += 1
    return np.concatenate(xs)[:n].astype(dtype), np.concatenate(ys)[:n].astype(dtype)


def real_layer(n: int, dtype) -> tuple[np.ndarray, np.ndarray]:
    """The path-file layers of data/, sampled as the ground-truth scorer
    does, side by side on a 300 mm grid until there are n samples."""
    sys.path.insert(0, str(ROOT / "benchmarks" / "groundtruth"))
    from score_table import real_traces

    layers = [trace[:2] for _, group, trace in real_traces() if group.startswith("real PBF")]
    xs, ys, total, part = [], [], 0, 0
    while total < n:
        x, y = layers[part % len(layers)]
        xs.append(x + 300.0 * (part % 10))
        ys.append(y + 300.0 * (part // 10))
        total += len(x)
        part += 1
    return np.concatenate(xs)[:n].astype(dtype), np.concatenate(ys)[:n].astype(dtype)


def status_kib(field: str) -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    raise RuntimeError(f"no {field} in /proc/self/status")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=10_000_000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--layer", choices=("pyslm", "real"), default="pyslm")
    parser.add_argument("--memory", metavar="PREFIX", help="(internal) one call on PREFIX.x.npy, PREFIX.y.npy, then "
                                                             "the peak RSS growth per sample")
    args = parser.parse_args()
    if args.memory:
        # Arrays loaded whole (no temporaries), then the growth of the peak
        # resident size over one call, less the 4-byte ids it returns.
        x, y = np.load(args.memory + ".x.npy"), np.load(args.memory + ".y.npy")
        label_hatches(x[:100_000], y[:100_000])
        Path("/proc/self/clear_refs").write_text("5")  # the peak starts again from here (Linux)
        before = status_kib("VmRSS")
        label_hatches(x, y)
        print((status_kib("VmHWM") - before) * 1024 / len(x) - 4.0)
        return 0
    threads = os.environ.get("RASTERMARK_NUM_THREADS", "all")
    print(f"{args.layer} layer, n = {args.n:,}, workers: {threads}; time over the floor's, medians of {args.repeat}")
    print("| dtype | floor (ms) | annotate_scanlines | label_hatches | peak extra memory of label_hatches |")
    print("|---|---:|---:|---:|---:|")
    for dtype in (np.float64, np.float32):
        x, y = grown_layer(args.n, dtype) if args.layer == "pyslm" else real_layer(args.n, dtype)
        x64, y64 = (x, y) if dtype == np.float64 else (x.astype(np.float64), y.astype(np.float64))
        label_hatches(x, y)
        floor, rule, hatches = [], [], []
        for _ in range(args.repeat):
            start = time.perf_counter()
            x.sum(), y.sum(), np.full(args.n, -1, np.int32)
            floor.append(time.perf_counter() - start)
            start = time.perf_counter()
            rastermark.annotate_scanlines(x64, y64)
            rule.append(time.perf_counter() - start)
            start = time.perf_counter()
            label_hatches(x, y)
            hatches.append(time.perf_counter() - start)
        import subprocess
        import tempfile

        with tempfile.TemporaryDirectory() as folder:
            prefix = str(Path(folder) / "layer")
            np.save(prefix + ".x.npy", x)
            np.save(prefix + ".y.npy", y)
            out = subprocess.run([sys.executable, __file__, "--memory", prefix], capture_output=True, text=True,
                                 check=True).stdout.split()
        f = statistics.median(floor)
        print(f"| {np.dtype(dtype).name} | {1000 * f:.1f} | {statistics.median(rule) / f:.2f}x | "
              f"{statistics.median(hatches) / f:.2f}x | {float(out[0]):.1f} bytes/sample |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
