"""Benchmark of rastermark against the memory floor and a NumPy peer.

    python benchmarks/run.py [--quick] [--out build/bench]

For each worker setting (one worker, every worker) a fresh process times, in
interleaved repetitions, the memory floor (read both inputs once, write one
fresh int32 array), the NumPy-vectorised peer and rastermark, and reports
medians.  Then fresh processes measure peak extra memory per call, a small
C++ program times the core's stages, and a plot of time per sample against
n is written.  Nothing here is a test: numbers vary with the machine.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))

from workloads import WORKLOADS  # noqa: E402

LAYERS = ["axis-parallel layer", "rotated 67 deg layer"]
WORST = [name for name in WORKLOADS if name not in LAYERS]


def cases(quick: bool):
    sizes = [10**5, 10**6] if quick else [10**5, 10**6, 10**7, 5 * 10**7]
    worst_n = 10**6 if quick else 10**7
    for dtype in ("float64", "float32"):
        for name in LAYERS:
            for n in sizes:
                yield name, dtype, n
        for name in WORST:
            yield name, dtype, worst_n


def floor(x, y):
    x.sum()
    y.sum()
    return np.full(len(x), -1, np.int32)


def time_cases(quick: bool):
    """Runs in the child process: interleaved repetitions, medians in seconds."""
    import numpy_peer
    import rastermark

    results = []
    for name, dtype, n in cases(quick):
        x, y = WORKLOADS[name](n, np.dtype(dtype).type)
        contenders = {"floor": floor, "rastermark": rastermark.annotate_scanlines}
        if n <= 10**7 and name in LAYERS:
            contenders["numpy peer"] = numpy_peer.annotate
        repeats = 7 if n <= 10**6 else (5 if n <= 10**7 else 3)
        times = {k: [] for k in contenders}
        for _ in range(repeats):
            for key, fn in contenders.items():
                start = time.perf_counter()
                fn(x, y)
                times[key].append(time.perf_counter() - start)
        labels = rastermark.annotate_scanlines(x, y)
        row = {"workload": name, "dtype": dtype, "n": n, "scanlines": int(labels.max(initial=0))}
        row.update({k: float(np.median(v)) for k, v in times.items()})
        if "numpy peer" in contenders:
            row["peer agreement"] = float(np.mean(numpy_peer.annotate(x, y) == labels))
        results.append(row)
        print(f"  {name}, {dtype}, n={n:,}: done", file=sys.stderr, flush=True)
    return results


def peak_memory(folder: str, name: str, n: int):
    """Runs in a fresh child process: peak RSS growth of one call, per
    sample.  The inputs are loaded from files, so that making them leaves no
    high-water mark above what they occupy."""
    import rastermark

    x = np.load(Path(folder) / "x.npy")
    y = np.load(Path(folder) / "y.npy")
    rastermark.annotate_scanlines(x[:1000], y[:1000])  # pool and NumPy API ready

    def rss(field):
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field):
                    return int(line.split()[1]) * 1024
        return 0

    before = max(rss("VmRSS:"), rss("VmHWM:"))
    labels = rastermark.annotate_scanlines(x, y)
    peak = rss("VmHWM:") - before
    del labels
    # No growth over repeated calls.
    rastermark.annotate_scanlines(x, y)
    settled = rss("VmRSS:")
    for _ in range(100 if n <= 10**6 else 10):
        rastermark.annotate_scanlines(x, y)
    growth = rss("VmRSS:") - settled
    return {"workload": name, "n": n, "peak extra bytes per sample": peak / n, "growth bytes": growth}


def child(args):
    if args.child == "time":
        print(json.dumps(time_cases(args.quick)))
    else:
        folder, name, n = args.child.split("|")
        print(json.dumps(peak_memory(folder, name, int(n))))


def run_child(mode: str, quick: bool, env_extra=None):
    env = dict(os.environ, **(env_extra or {}))
    cmd = [sys.executable, str(Path(__file__).resolve()), "--child", mode] + (["--quick"] if quick else [])
    out = subprocess.run(cmd, env=env, stdout=subprocess.PIPE, text=True, check=True)
    return json.loads(out.stdout)


def stage_times(out_dir: Path, quick: bool):
    # Built by the project's CMake, with the project's compiler flags.
    import cmake

    cmake_bin = os.path.join(cmake.CMAKE_BIN_DIR, "cmake")
    build = ROOT / "build" / "bench"
    subprocess.run([cmake_bin, "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                    "-DRASTERMARK_BUILD_BENCHMARKS=ON"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run([cmake_bin, "--build", str(build), "--target", "stage_times"], check=True,
                   stdout=subprocess.DEVNULL)
    exe = build / "stage_times"
    n = 10**6 if quick else 10**7
    report = {}
    for name in ["rotated 67 deg layer", "jittery (many turns)"]:
        x, y = WORKLOADS[name](n, np.float64)
        x.tofile(out_dir / "x.bin")
        y.tofile(out_dir / "y.bin")
        text = subprocess.run([str(exe), str(out_dir / "x.bin"), str(out_dir / "y.bin"), "float64", "1", "5"],
                              env=dict(os.environ, RASTERMARK_NUM_THREADS="1"), capture_output=True, text=True,
                              check=True).stdout
        report[name] = text
    for f in ("x.bin", "y.bin"):
        (out_dir / f).unlink()
    return report


def plot(rows, path: Path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(7, 4.5), dpi=110)
    for (setting, name, dtype), group in group_rows(rows).items():
        ns = [r["n"] for r in group]
        ax.plot(ns, [r["rastermark"] / r["n"] * 1e9 for r in group], marker="o",
                label=f"{name}, {dtype}, {setting}")
    ax.set_xscale("log")
    ax.set_xlabel("samples per call")
    ax.set_ylabel("ns per sample")
    ax.set_title("rastermark: time per sample against input size")
    ax.legend(fontsize=7)
    ax.grid(True, alpha=0.3)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def group_rows(rows):
    groups = {}
    for r in rows:
        if r["workload"] in LAYERS:
            groups.setdefault((r["setting"], r["workload"], r["dtype"]), []).append(r)
    return groups


def machine():
    cpu = "unknown CPU"
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    flags = set()
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("flags"):
                flags = set(line.split(":", 1)[1].split())
                break
    except OSError:
        pass
    widest = next((name for name in ("avx512bw", "avx2", "sse2") if name in flags), "baseline")
    return (f"{cpu} ({widest}), {os.cpu_count()} logical CPUs, Python {platform.python_version()}, "
            f"NumPy {np.__version__}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small sizes only")
    parser.add_argument("--out", type=Path, default=ROOT / "build" / "bench")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        return child(args)

    args.out.mkdir(parents=True, exist_ok=True)
    print(f"machine: {machine()}")
    every = str(os.cpu_count() or 1)
    rows = []
    settings = (
        ("1 worker", {"RASTERMARK_NUM_THREADS": "1"}),
        (f"{every} workers", {"RASTERMARK_NUM_THREADS": every}),
        # The same pass without its quiet-block fast path, for comparison.
        ("1 worker, per sample", {"RASTERMARK_NUM_THREADS": "1", "RASTERMARK_SIMD": "off"}),
    )
    for setting, env in settings:
        print(f"timing with {setting} ...", flush=True)
        for row in run_child("time", args.quick, env):
            row["setting"] = setting
            rows.append(row)

    print("\n| workload | dtype | n | workers | rastermark ms | x floor | NumPy peer x | M samples/s |")
    print("|---|---|---:|---|---:|---:|---:|---:|")
    for r in rows:
        peer = f"{r['numpy peer'] / r['rastermark']:.1f}" if "numpy peer" in r else ""
        print(f"| {r['workload']} | {r['dtype']} | {r['n']:,} | {r['setting']} | {r['rastermark'] * 1e3:.1f} "
              f"| {r['rastermark'] / r['floor']:.1f} | {peer} | {r['n'] / r['rastermark'] / 1e6:.0f} |")

    print("\nscaling (ns per sample, rastermark):")
    for (setting, name, dtype), group in group_rows(rows).items():
        per = [r["rastermark"] / r["n"] * 1e9 for r in group]
        print(f"  {name}, {dtype}, {setting}: " + ", ".join(f"{p:.2f}" for p in per)
              + f"  (max/min {max(per) / min(per):.2f})")

    print("\npeak extra memory of one float64 call (fresh process per size):")
    sizes = [10**5, 10**6] if args.quick else [10**5, 10**6, 10**7, 5 * 10**7]
    memory = []
    for name in LAYERS:
        for n in sizes:
            x, y = WORKLOADS[name](n, np.float64)
            np.save(args.out / "x.npy", x)
            np.save(args.out / "y.npy", y)
            del x, y
            m = run_child(f"{args.out}|{name}|{n}", False)
            memory.append(m)
            print(f"  {name}, n={n:,}: {m['peak extra bytes per sample']:.1f} bytes/sample, "
                  f"RSS growth over repeated calls {m['growth bytes'] / 2**20:.1f} MiB")

    for f in ("x.npy", "y.npy"):
        (args.out / f).unlink(missing_ok=True)

    print("\nstage times (one worker, float64):")
    stages = stage_times(args.out, args.quick)
    for name, text in stages.items():
        print(f"  {name}:")
        print("    " + text.strip().replace("\n", "\n    "))

    plot(rows, args.out / "scaling.png")
    (args.out / "results.json").write_text(json.dumps({"machine": machine(), "timings": rows, "memory": memory,
                                                        "stages": stages}, indent=1))
    print(f"\nplot: {args.out / 'scaling.png'}; raw numbers: {args.out / 'results.json'}")


if __name__ == "__main__":
    main()
