"""Annotates a whole build, layer by layer, on one machine or on a Dask cluster.

    python examples/whole_build.py --mode threads            # best on free-threaded Python
    python examples/whole_build.py --mode processes          # on the regular interpreter
    python examples/whole_build.py --mode dask [--scheduler tcp://host:8786] [--parquet build.parquet]

The build is synthetic (hatched islands, the hatch angle turning by 67 degrees
from layer to layer, as real builds do); replace `build_layer` with a reader
of your own machine's files.  In every mode each worker makes (reads) and
annotates its own layers, so only layer numbers and labels travel.  Each mode prints the layers per second it
reached.  With --parquet the labelled samples are written with the columns
layer, sample_index, x, y, scanline_id.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import os
import sys
import time
from pathlib import Path

import numpy as np

import rastermark

sys.path.insert(0, str(Path(__file__).resolve().parent))
from layers import hatched_layer  # noqa: E402


def build_layer(index: int, samples: int):
    """Layer `index` of the synthetic build: x, y (float64, mm)."""
    return hatched_layer(samples, angle_deg=(90.0 + 67.0 * index) % 180.0, seed=index)


def annotate_layer(index: int, samples: int):
    """Makes and annotates one layer; returns its index and labels (used by
    the process and Dask modes, where only the layer number travels)."""
    x, y = build_layer(index, samples)
    return index, rastermark.annotate_scanlines(x, y)


def progress(iterable, total, desc):
    try:
        from tqdm import tqdm
    except ImportError:
        return iterable
    return tqdm(iterable, total=total, desc=desc, unit="layer", file=sys.stderr)


def in_pool(executor, count: int, samples: int, desc: str):
    """Runs annotate_layer for every layer on `executor`, in any order, and
    returns the labels in layer order."""
    results = [None] * count
    with executor:
        futures = [executor.submit(annotate_layer, i, samples) for i in range(count)]
        for future in progress(concurrent.futures.as_completed(futures), count, desc):
            index, labels = future.result()
            results[index] = labels
    return results


def with_threads(count: int, samples: int, workers: int):
    """Each thread makes and annotates its own layers: on free-threaded
    Python the calls run in parallel, on the regular interpreter the
    annotation runs one call at a time."""
    return in_pool(concurrent.futures.ThreadPoolExecutor(workers), count, samples, "threads")


def with_processes(count: int, samples: int, workers: int):
    """Each worker process makes and annotates its own layers."""
    return in_pool(concurrent.futures.ProcessPoolExecutor(workers), count, samples, "processes")


def with_dask(client, count: int, samples: int):
    """The same job on a Dask cluster: one task per layer, gathered per layer."""
    from dask.distributed import as_completed

    futures = client.map(annotate_layer, range(count), samples=samples, pure=False)
    results = [None] * count
    for future in progress(as_completed(futures), count, "dask"):
        index, labels = future.result()
        results[index] = labels
    return results


def write_parquet(path: Path, count: int, samples: int, results):
    """One row per sample: layer, sample_index, x, y, scanline_id."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    with pq.ParquetWriter(path, pa.schema([("layer", pa.int32()), ("sample_index", pa.int64()),
                                           ("x", pa.float64()), ("y", pa.float64()),
                                           ("scanline_id", pa.int32())])) as writer:
        for index in range(count):
            x, y = build_layer(index, samples)
            writer.write_table(pa.table({
                "layer": pa.array(np.full(len(x), index, np.int32)),
                "sample_index": pa.array(np.arange(len(x), dtype=np.int64)),
                "x": pa.array(x), "y": pa.array(y), "scanline_id": pa.array(results[index]),
            }))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mode", choices=["threads", "processes", "dask"], default="threads")
    parser.add_argument("--layers", type=int, default=200)
    parser.add_argument("--samples", type=int, default=100_000)
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--scheduler", help="address of a running Dask scheduler (default: a local cluster)")
    parser.add_argument("--parquet", type=Path, help="write the labelled samples here")
    args = parser.parse_args(argv)

    if args.mode == "threads":
        start = time.perf_counter()
        results = with_threads(args.layers, args.samples, args.workers)
    elif args.mode == "processes":
        start = time.perf_counter()
        results = with_processes(args.layers, args.samples, args.workers)
    else:
        from dask.distributed import Client, LocalCluster

        cluster = None if args.scheduler else LocalCluster(n_workers=args.workers, threads_per_worker=1,
                                                           processes=True, dashboard_address=None)
        with Client(args.scheduler or cluster) as client:
            start = time.perf_counter()
            results = with_dask(client, args.layers, args.samples)
        if cluster is not None:
            cluster.close()
    seconds = time.perf_counter() - start
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"{args.mode}: {args.layers} layers x {args.samples:,} samples in {seconds:.2f} s = "
          f"{args.layers / seconds:.1f} layers/s ({args.workers} workers, GIL {'on' if gil else 'off'}), "
          f"{sum(int(r.max(initial=0) > 0) for r in results)} layers with scanlines")
    if args.parquet:
        write_parquet(args.parquet, args.layers, args.samples, results)
        print(f"parquet: {args.parquet}")
    return results


if __name__ == "__main__":
    main()
