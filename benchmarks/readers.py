"""Benchmark of the toolkit's readers: G-code and path files read and
sampled, against a plain NumPy parse of the same bytes, and the picture of a
large layer.

    python benchmarks/readers.py [--realdata FOLDER] [--repeat 5]

Files: the real G-code files of the shared folder, a 10 MB slicer file made
of the real one's layers stacked, and a path file of 100 000 rows made of a
shipped layer's rows.  For each: MB/s of the native reader (parse and sample,
default step), of the Python reference interpreter, of the native parse
alone, and of a plain regex-and-NumPy pull of every number (a floor that
keeps no modal state), and the samples written per second; the peak memory the read allocates (tracemalloc, which
sees NumPy's arrays) against the bytes of the sampled arrays; and the time
to draw 10^7 samples.  Medians, interleaved; nothing here is a test.
"""

from __future__ import annotations

import argparse
import os
import platform
import re
import statistics
import sys
import tempfile
import time
import tracemalloc
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
# Every number of a file: what a parse that keeps no state at all must read.
NUMBER = re.compile(rb"[-+]?\d*\.?\d+")


def stacked_gcode(source: Path, target_bytes: int) -> bytes:
    """The source file's lines repeated with their Z raised each round, so
    that every copy prints layers of its own."""
    text = source.read_text()
    rounds, out, size = 0, [], 0
    while size < target_bytes:
        lift = rounds * 100.0
        copy = re.sub(r"Z([-+]?\d*\.?\d+)", lambda m: f"Z{float(m.group(1)) + lift:.3f}", text)
        out.append(copy)
        size += len(copy)
        rounds += 1
    return "".join(out).encode()


def stacked_path_file(source: Path, rows: int) -> bytes:
    lines = source.read_text().splitlines()
    body = lines[1:]
    repeated = (body * (rows // len(body) + 1))[:rows]
    return ("\n".join([lines[0]] + repeated) + "\n").encode()


def timed(function, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def peak_memory(function):
    tracemalloc.start()
    result = function()
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return result, peak


def sampled_bytes(layers):
    return sum(layer.x.nbytes + layer.y.nbytes + sum(v.nbytes for v in layer.columns.values()) for layer in layers)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--realdata", type=Path, default=ROOT.parent / "shared" / "realdata")
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    from rastermark_tools import _native, read_gcode, read_scan_path
    from rastermark_tools.cli import LayerResult, plot_layer
    from rastermark_tools.readers import Layer

    print(f"{platform.processor() or platform.machine()}, {os.cpu_count()} CPUs, Python {sys.version.split()[0]}, "
          f"NumPy {np.__version__}")
    folder = Path(tempfile.mkdtemp(prefix="rastermark-readers-"))
    files: list[tuple[str, Path]] = []
    for name in ("fdm_prusaslicer_15x150_45deg.gcode", "fdm_cura_UM2_45_platte_klein.gcode",
                 "laser_lightburn_scanfill_jodon.gcode"):
        if (args.realdata / name).is_file():
            files.append((name, args.realdata / name))
    cura = args.realdata / "fdm_cura_UM2_45_platte_klein.gcode"
    if cura.is_file():
        big = folder / "cura_stacked_10MB.gcode"
        big.write_bytes(stacked_gcode(cura, 10 * 10**6))
        files.append(("Cura layers stacked to 10 MB", big))
    path_file = folder / "path_100k_rows.txt"
    path_file.write_bytes(stacked_path_file(ROOT / "data" / "pbf_peregrine_P5" / "0000050.txt", 100_000))
    files.append(("path file, 100 000 rows", path_file))

    print(f"\n{'file':<38} {'MB':>6} {'samples':>11} {'native MB/s':>11} {'python MB/s':>11} {'parse MB/s':>10} "
          f"{'regex MB/s':>10} {'Msamples/s':>10} {'peak/arrays':>11}")
    for label, path in files:
        data = path.read_bytes()
        megabytes = len(data) / 1e6
        is_gcode = path.suffix == ".gcode"
        native = (lambda: read_gcode(path)) if is_gcode else (lambda: [read_scan_path(path)])
        layers, peak = peak_memory(native)
        t_native = timed(native, args.repeat)
        t_python = timed(lambda: read_gcode(path, engine="python"), max(1, args.repeat // 2)) if is_gcode else None
        t_parse = timed(lambda: _native.interpret_gcode(data, 0.1), args.repeat) if is_gcode else None
        t_regex = timed(lambda: np.array(re.findall(NUMBER, data), dtype=np.float64), args.repeat)
        samples = sum(len(layer) for layer in layers)
        print(f"{label[:38]:<38} {megabytes:>6.2f} {samples:>11,} {megabytes / t_native:>11.1f} "
              f"{(megabytes / t_python) if t_python else float('nan'):>11.1f} "
              f"{(megabytes / t_parse) if t_parse else float('nan'):>10.1f} {megabytes / t_regex:>10.1f} "
              f"{samples / t_native / 1e6:>10.1f} {peak / sampled_bytes(layers):>11.2f}")

    n = 10**7
    rng = np.random.default_rng(1)
    x, y = rng.random(n) * 100, rng.random(n) * 80
    ids = (np.arange(n) // 1000).astype(np.int32)
    picture = folder / "large.png"
    t_plot = timed(lambda: plot_layer(LayerResult(Layer(x, y), ids, "xy"), picture, "10^7 samples"), 3)
    print(f"\nplot of 10^7 samples: {t_plot:.2f} s")


if __name__ == "__main__":
    main()
