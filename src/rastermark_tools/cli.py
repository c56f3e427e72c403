"""The `rastermark` command line: labels, per-scanline tables and pictures
from machine files, for one layer or a whole build."""

from __future__ import annotations

import argparse
import multiprocessing
import os
import sys
import sysconfig
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor, as_completed
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

from ._extras import MissingDependency, require
from .readers import InputError, Layer, read_layers
from .sampling import MAX_SAMPLES_PER_MOVE
from .hatches import label_hatches
from .score import Score, score_labels
from .table import annotate_layer, scanline_table

LABEL_SUFFIXES = (".parquet", ".csv", ".npz")
# The columns `label` writes for every sample; an input column of one of these
# names comes along as input_<name>.
LABEL_COLUMNS = ("layer", "sample_index", "x", "y", "scanline_id", "source")
# Names scanline_table takes itself; signals of these names come as input_<name>.
TABLE_ARGUMENTS = ("x", "y", "ids", "t")
TABLE_SUFFIXES = (".parquet", ".csv")


@dataclass
class Options:
    x: str = "x"
    y: str = "y"
    step: float | None = None
    rate: float | None = None
    laser_off: bool = False
    layer_column: str | None = None
    orient: str = "auto"
    tables: bool = False
    max_samples: int = MAX_SAMPLES_PER_MOVE
    truth: str | None = None
    method: str = "rule"


METHODS = ("rule", "hatches")


@dataclass
class LayerResult:
    layer: Layer
    ids: np.ndarray
    orient: str
    table: dict[str, np.ndarray] | None = None
    score: Score | None = None
    note: str | None = None  # why a layer was left unlabelled


def strictly_increasing(values) -> bool:
    values = np.asarray(values, dtype=np.float64)
    return bool(np.all(np.isfinite(values)) and np.all(np.diff(values) > 0))


def label_by(layer: Layer, options: Options) -> tuple[np.ndarray, str, str | None]:
    """Labels, the orientation used ("-" for hatches) and a note where the
    layer could not be judged (its samples then stay -1)."""
    if options.method == "rule":
        ids, orient = annotate_layer(layer.x, layer.y, options.orient)
        return ids, orient, None
    t = layer.columns.get("t")
    try:
        ids = label_hatches(layer.x, layer.y, t=t if t is not None and strictly_increasing(t) else None,
                            laser_on=layer.columns.get("laser_on"))
    except ValueError as e:
        return np.full(len(layer.x), -1, np.int32), "-", str(e)
    return ids, "-", None


@dataclass
class FileResult:
    path: str
    layers: list[LayerResult] = field(default_factory=list)
    error: str | None = None


def renamed(names, reserved) -> dict[str, str]:
    """A new name for each of `names` that is one of `reserved`: input_<name>
    (or input_input_<name>, ...), clear of `reserved` and of every other name."""
    taken = set(reserved) | set(names)
    out = {}
    for name in names:
        new = name
        if name in reserved:
            while new in taken:
                new = f"input_{new}"
            taken.add(new)
        out[name] = new
    return out


def process_layer(layer: Layer, options: Options) -> LayerResult:
    ids, orient, note = label_by(layer, options)
    table = None
    if options.tables:
        kept = [k for k in layer.columns if k not in ("t", "vector", options.layer_column)]
        names = renamed(kept, TABLE_ARGUMENTS)
        signals = {names[k]: layer.columns[k] for k in kept}
        table = scanline_table(layer.x, layer.y, ids, t=layer.columns.get("t"), **signals)
    score = None
    if options.truth is not None:
        if options.truth not in layer.columns:
            raise InputError(f"{layer.source}: no column '{options.truth}' to score against (the layer has: "
                             f"{', '.join(layer.columns) or 'no extra columns'})")
        score = score_labels(ids, layer.columns[options.truth], layer.columns.get("laser_on"),
                             layer.columns.get("kind"))
    return LayerResult(layer, ids, orient, table, score, note)


def process_file(path: str, options: Options) -> FileResult:
    """Reads, labels and (for tables) measures every layer of one file; a
    failure is returned as its message, so that the other files go on."""
    try:
        layers = read_layers(path, options.x, options.y, options.step, options.rate, options.laser_off,
                             options.layer_column, options.max_samples)
        return FileResult(path, [process_layer(layer, options) for layer in layers])
    except (InputError, MissingDependency) as e:
        return FileResult(path, error=str(e))
    except (ValueError, OSError) as e:
        return FileResult(path, error=f"{path}: {e}")
    except MemoryError:
        return FileResult(path, error=f"{path}: not enough memory for its samples (sample it coarser: --step)")


def free_threaded() -> bool:
    return bool(sysconfig.get_config_var("Py_GIL_DISABLED")) and not getattr(sys, "_is_gil_enabled", lambda: True)()


def progress(total: int, quiet: bool, unit: str):
    """A tqdm bar on standard error for runs of more than one item."""
    if quiet or total < 2:
        return None
    try:
        tqdm = require("tqdm", "the progress bar").tqdm
    except MissingDependency:
        return None
    return tqdm(total=total, unit=unit, file=sys.stderr)


def run_files(paths: list[str], options: Options, workers: int, scheduler: str | None, quiet: bool):
    """FileResults in the order of `paths`: on a Dask cluster, on processes or
    threads (threads where Python runs without the GIL), or here."""
    bar = progress(len(paths), quiet, "file")
    results: dict[str, FileResult] = {}

    def done(result: FileResult):
        results[result.path] = result
        if bar is not None:
            bar.update(1)

    try:
        if scheduler:
            distributed = require("dask.distributed", "--scheduler")
            with distributed.Client(scheduler) as client:
                futures = client.map(process_file, paths, options=options, pure=False)
                for future in distributed.as_completed(futures):
                    done(future.result())
        elif workers > 1 and len(paths) > 1:
            if free_threaded():
                executor_made = ThreadPoolExecutor(max_workers=workers)
            else:
                # Not fork: this process may already run threads (the progress
                # bar's monitor), and a forked child would inherit their locks.
                method = "forkserver" if "forkserver" in multiprocessing.get_all_start_methods() else "spawn"
                executor_made = ProcessPoolExecutor(max_workers=workers, mp_context=multiprocessing.get_context(method))
            with executor_made as executor:
                for future in as_completed([executor.submit(process_file, p, options) for p in paths]):
                    done(future.result())
        else:
            for p in paths:
                done(process_file(p, options))
    finally:
        if bar is not None:
            bar.close()
    return [results[p] for p in paths]


@dataclass
class Category:
    """A column of few distinct texts: a code per row into `names`."""

    codes: np.ndarray  # int32
    names: list[str]

    def __len__(self) -> int:
        return len(self.codes)


def write_atomically(path: Path, columns: dict[str, np.ndarray | Category]) -> None:
    """Writes a table by the suffix of `path` to a temporary file beside it,
    then renames it, so that a failed run leaves no partial file.  A
    `Category` column is a dictionary column in Parquet, its texts in CSV,
    and in .npz its codes with the texts in <name>_names."""
    path.parent.mkdir(parents=True, exist_ok=True)
    temporary = path.with_name(f".{path.name}.{os.getpid()}.tmp")
    try:
        suffix = path.suffix.lower()
        if suffix == ".npz":
            arrays: dict[str, np.ndarray] = {}
            for name, values in columns.items():
                if isinstance(values, Category):
                    arrays[name] = values.codes
                    arrays[f"{name}_names"] = np.array(values.names, dtype=str)
                else:
                    arrays[name] = values
            with open(temporary, "wb") as f:
                np.savez(f, **arrays)
        else:
            import_name = "pyarrow.parquet" if suffix == ".parquet" else "pyarrow.csv"
            writer = require(import_name, f"writing {suffix}")
            import pyarrow as pa

            table = pa.table({name: pa.DictionaryArray.from_arrays(pa.array(v.codes), pa.array(v.names, pa.string()))
                              if isinstance(v, Category) else v for name, v in columns.items()})
            if suffix == ".parquet":
                writer.write_table(table, temporary)
            else:
                writer.write_csv(table, temporary)
        os.replace(temporary, path)
    finally:
        temporary.unlink(missing_ok=True)


def label_columns(results: list[FileResult]) -> dict[str, np.ndarray | Category]:
    """Rows of every sample: layer (numbered within its file), sample_index,
    x, y, scanline_id, the source file (a `Category`) and every extra column
    (absent values as NaN; one with the name of a column before it as
    input_<name>)."""
    parts = [(r.layer.index, r) for fr in results for r in fr.layers]
    extra = sorted({name for _, r in parts for name in r.layer.columns})
    out: dict[str, list[np.ndarray]] = {k: [] for k in LABEL_COLUMNS}
    names = renamed(extra, LABEL_COLUMNS)
    out.update({names[name]: [] for name in extra})
    sources: dict[str, int] = {}
    for number, r in parts:
        n = len(r.layer)
        out["layer"].append(np.full(n, number, np.int32))
        out["sample_index"].append(np.arange(n, dtype=np.int64))
        out["x"].append(r.layer.x)
        out["y"].append(r.layer.y)
        out["scanline_id"].append(r.ids)
        code = sources.setdefault(Path(r.layer.source).name, len(sources))
        out["source"].append(np.full(n, code, np.int32))
        for name in extra:
            values = r.layer.columns.get(name)
            out[names[name]].append(values if values is not None else np.full(n, np.nan))
    columns: dict[str, np.ndarray | Category] = {}
    for name, pieces in out.items():
        joined = np.concatenate(pieces) if pieces else np.zeros(0, np.int32 if name == "source" else np.float64)
        columns[name] = Category(joined.astype(np.int32), list(sources)) if name == "source" else joined
    return columns


def table_columns(results: list[FileResult]) -> dict[str, np.ndarray]:
    """The per-scanline tables of every layer, one after another, with the
    layer number (within its file) and source file in front."""
    tables = [r for fr in results for r in fr.layers]
    names: list[str] = []
    for r in tables:
        names += [k for k in r.table if k not in names]
    out: dict[str, list[np.ndarray]] = {"layer": [], "source": []}
    out.update({k: [] for k in names})
    for r in tables:
        rows = len(r.table["scanline_id"])
        out["layer"].append(np.full(rows, r.layer.index, np.int32))
        out["source"].append(np.full(rows, Path(r.layer.source).name))
        for k in names:
            out[k].append(r.table.get(k, np.full(rows, np.nan)))
    return {k: (np.concatenate(v) if v else np.zeros(0)) for k, v in out.items()}


def score_columns(results: list[FileResult]) -> dict[str, np.ndarray]:
    """One row per layer: its file, layer number and score."""
    rows = [(Path(fr.path).name, r.layer.index, r.score) for fr in results for r in fr.layers if r.score]
    return {
        "source": np.array([s for s, _, _ in rows], dtype=str),
        "layer": np.array([n for _, n, _ in rows], dtype=np.int32),
        "hatches": np.array([sc.hatches for _, _, sc in rows], dtype=np.int64),
        "complete": np.array([sc.complete_share for _, _, sc in rows]),
        "one_to_one": np.array([sc.one_to_one_share for _, _, sc in rows]),
        "merges": np.array([sc.merges for _, _, sc in rows], dtype=np.int64),
        "purity": np.array([sc.purity for _, _, sc in rows]),
        "laser_off_labelled": np.array([sc.off_labelled_share for _, _, sc in rows]),
        "one_to_one_long": np.array([sc.long_one_to_one_share for _, _, sc in rows]),
        "long_jump_labelled": np.array([sc.long_jump_labelled_share for _, _, sc in rows]),
        "contour_labelled": np.array([sc.contour_labelled_share for _, _, sc in rows]),
    }


def score_report(results: list[FileResult]) -> str:
    """The scores as a text table, a line per layer (at most 20 per file) and
    a total per file."""
    head = f"{'file':<40} {'layer':>5} {'hatches':>8} {'complete':>9} {'1:1':>7} {'merges':>6} {'purity':>7} " \
           f"{'off lab.':>8} {'contour lab.':>12}"
    lines = [head]

    def share(value, width, digits):
        return f"{'-':>{width}}" if np.isnan(value) else f"{value:>{width}.{digits}%}"

    def row(name, layer, sc):
        return (f"{name[:40]:<40} {layer:>5} {sc.hatches:>8} {share(sc.complete_share, 9, 1)} "
                f"{share(sc.one_to_one_share, 7, 1)} {sc.merges:>6} {share(sc.purity, 7, 2)} "
                f"{share(sc.off_labelled_share, 8, 1)} {share(sc.contour_labelled_share, 12, 1)}")

    for fr in results:
        scored = [r for r in fr.layers if r.score]
        name = Path(fr.path).name
        for r in scored[:20]:
            lines.append(row(name, str(r.layer.index), r.score))
        if len(scored) > 20:
            lines.append(f"{name[:40]:<40} ({len(scored) - 20} more layers)")
        if len(scored) > 1:
            total = scored[0].score
            for r in scored[1:]:
                total = total + r.score
            lines.append(row(name, "all", total))
    return "\n".join(lines)


def summary(results: list[FileResult]) -> str:
    layers = [r for fr in results for r in fr.layers]
    samples = sum(len(r.ids) for r in layers)
    labelled = sum(int(np.count_nonzero(r.ids > 0)) for r in layers)
    lines = sum(len(np.unique(r.ids[r.ids > 0])) for r in layers)
    share = labelled / samples if samples else 0.0
    return f"{len(results)} file(s), {len(layers)} layer(s), {samples:,} samples, {lines:,} scanlines, {share:.1%} labelled"


def rasterise(x, y, ids, width: int, height: int):
    """A picture of the samples at most width x height pixels of equal size:
    per pixel 0 (no sample), 1 (only samples of no scanline) or 2 + a colour
    of the last scanline drawn there, neighbouring ids 7 colours apart so that
    adjacent lines stand out; and its extent (left, right, bottom, top).
    Linear in the samples, so that a layer of 10^7 draws in about a second."""
    finite = np.isfinite(x) & np.isfinite(y)
    if not finite.all():
        if not finite.any():
            return np.zeros((1, 1), np.int32), (0.0, 1.0, 0.0, 1.0)
        x, y, ids = x[finite], y[finite], ids[finite]
    x0, x1 = float(x.min()), float(x.max())
    y0, y1 = float(y.min()), float(y.max())
    span = max(x1 - x0, y1 - y0, 1e-12)
    pixel = max((x1 - x0) / width, (y1 - y0) / height, span * 1e-9)
    columns = int((x1 - x0) / pixel) + 1
    rows = int((y1 - y0) / pixel) + 1
    image = np.zeros(rows * columns, np.int32)
    where = ((y - y0) / pixel).astype(np.int64)
    where *= columns
    where += ((x - x0) / pixel).astype(np.int64)
    none = ids <= 0
    image[where[none]] = 1
    image[where[~none]] = 2 + (ids[~none].astype(np.int64) * 7) % 20
    return image.reshape(rows, columns), (x0, x0 + columns * pixel, y0, y0 + rows * pixel)


def plot_layer(result: LayerResult, picture: Path, title: str) -> None:
    matplotlib = require("matplotlib", "rastermark plot")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    x, y, ids = result.layer.x, result.layer.y, result.ids
    labelled = ids > 0
    lines = len(np.unique(ids[labelled]))
    share = float(np.mean(labelled)) if len(ids) else 0.0
    fig, ax = plt.subplots(figsize=(8, 7), dpi=110)
    palette = np.vstack([[1.0, 1.0, 1.0, 0.0], [0.75, 0.75, 0.75, 1.0], plt.get_cmap("tab20")(np.arange(20))])
    image, extent = rasterise(x, y, ids, width=800, height=640)
    ax.imshow(palette[image], extent=extent, origin="lower", interpolation="nearest")
    ax.plot([], [], "s", color="0.75", label="no scanline (-1)")
    ax.set_aspect("equal")
    ax.set_xlabel(f"x ({result.layer.units})")
    ax.set_ylabel(f"y ({result.layer.units})")
    ax.set_title(f"{title}\n{lines} scanlines found, {share:.1%} of {len(ids):,} samples labelled", fontsize=10)
    ax.legend(loc="upper right", fontsize=8)
    fig.tight_layout()
    picture.parent.mkdir(parents=True, exist_ok=True)
    temporary = picture.with_name(f".{picture.name}.{os.getpid()}.tmp.png")
    try:
        fig.savefig(temporary)
        os.replace(temporary, picture)
    finally:
        plt.close(fig)
        temporary.unlink(missing_ok=True)


def _version_text() -> str:
    from importlib import metadata

    from . import _native

    try:
        version = metadata.version("rastermark")
    except metadata.PackageNotFoundError:
        version = "unknown"
    return f"rastermark {version} (block scans: {_native.simd_target()})"


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="rastermark", description=__doc__.splitlines()[0])
    parser.add_argument("--version", action="version", version=_version_text(),
                        help="the version, and the instruction set the labelling uses here")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def common(sub, many=True, output_required=True):
        sub.add_argument("inputs", nargs="+" if many else 1, metavar="IN",
                         help="path files (.txt), G-code (.gcode, .nc), slice files (.cli), .csv, .tsv, .npz, .npy, "
                              ".parquet, .h5")
        sub.add_argument("-o", "--output", required=output_required, type=Path, metavar="OUT")
        sub.add_argument("--x", default="x", help="column (name or 0-based number) or HDF5 dataset of x")
        sub.add_argument("--y", default="y", help="column (name or 0-based number) or HDF5 dataset of y")
        sub.add_argument("--layer-column", help="split a table into layers where this column changes")
        spacing = sub.add_mutually_exclusive_group()
        spacing.add_argument("--step", type=float, metavar="MM",
                             help="sample vectors of path files and G-code every MM (default 0.01 for path files; "
                                  "for G-code 0.1, or a fifth of the spacing of neighbouring moves if finer)")
        spacing.add_argument("--rate", type=float, metavar="HZ", help="sample vectors at HZ from their speeds")
        sub.add_argument("--laser-off", action="store_true", help="sample laser-off moves too")
        sub.add_argument("--max-samples", type=int, default=MAX_SAMPLES_PER_MOVE, metavar="N",
                         help=f"refuse a move that needs more than N samples (default {MAX_SAMPLES_PER_MOVE:,})")
        orient = sub.add_mutually_exclusive_group()
        orient.add_argument("--swap-axes", action="store_true", help="label (y, x): for rasters of lines along x")
        orient.add_argument("--orient", choices=["xy", "yx", "auto"], default="auto",
                            help="auto (default): per layer, try both and keep the one that labels more samples")
        sub.add_argument("--method", choices=METHODS, default="rule",
                         help="rule (default): annotate_scanlines, lines where the path reverses; hatches: "
                              "label_hatches, straight marks along the hatch directions wherever they lie")
        sub.add_argument("--workers", type=int, default=1, metavar="N",
                         help="files at once (threads on free-threaded Python, processes otherwise)")
        sub.add_argument("--scheduler", metavar="ADDRESS", help="run on this Dask scheduler")
        sub.add_argument("-q", "--quiet", action="store_true", help="no progress bar or summary")

    common(commands.add_parser("label", help="write every sample with its scanline_id"))
    common(commands.add_parser("lines", help="write one row per scanline"))
    score = commands.add_parser("score", help="compare the scanlines with the vectors the file states, per layer")
    common(score, output_required=False)
    score.add_argument("--truth", default="vector", metavar="COLUMN",
                       help="the column of known vectors (default: vector, which path, slice and G-code files give)")
    plot = commands.add_parser("plot", help="draw one layer coloured by scanline_id")
    common(plot, many=False)
    plot.add_argument("--layer", type=int, default=0, help="which layer of the file (default 0)")
    return parser


def main(argv: list[str] | None = None) -> int:
    try:
        import rastermark  # noqa: F401  (refuses a bad RASTERMARK_SIMD at import)
    except ImportError as e:
        print(f"rastermark: {e}", file=sys.stderr)
        return 1
    parser = build_parser()
    args = parser.parse_args(argv)
    suffixes = {"label": LABEL_SUFFIXES, "lines": TABLE_SUFFIXES, "plot": (".png",), "score": TABLE_SUFFIXES}[
        args.command]
    if args.output is not None and args.output.suffix.lower() not in suffixes:
        parser.error(f"{args.command}: OUT must end in {', '.join(suffixes)}, got '{args.output.name}'")
    if args.workers < 1:
        parser.error("--workers must be 1 or more")
    for name in ("step", "rate"):
        value = getattr(args, name)
        if value is not None and not (value > 0 and np.isfinite(value)):
            parser.error(f"--{name} must be a positive number, got {value:g}")
    if args.max_samples < 1:
        parser.error("--max-samples must be 1 or more")
    if args.output is not None and args.output.exists():
        for given in args.inputs:
            if Path(given).exists() and os.path.samefile(given, args.output):
                parser.error(f"OUT {args.output} is the input {given}: it would be replaced")
    options = Options(x=args.x, y=args.y, step=args.step, rate=args.rate, laser_off=args.laser_off,
                      layer_column=args.layer_column, orient="yx" if args.swap_axes else args.orient,
                      tables=args.command == "lines", max_samples=args.max_samples,
                      truth=args.truth if args.command == "score" else None, method=args.method)
    inputs = [str(p) for p in args.inputs]
    try:
        results = run_files(inputs, options, args.workers, args.scheduler, args.quiet)
    except MissingDependency as e:
        print(f"rastermark: {e}", file=sys.stderr)
        return 1
    failures = [r for r in results if r.error]
    if failures:
        for r in failures:
            print(f"rastermark: {r.error}", file=sys.stderr)
        unwritten = f"; {args.output} not written" if args.output is not None else ""
        print(f"rastermark: {len(failures)} of {len(results)} input(s) failed{unwritten}", file=sys.stderr)
        return 1
    for fr in results:
        for r in fr.layers:
            if r.note:
                print(f"rastermark: {fr.path}: layer {r.layer.index}: left unlabelled: {r.note}", file=sys.stderr)
    if options.orient == "auto" and options.method == "rule" and not args.quiet:
        for fr in results:
            turned = sum(r.orient == "yx" for r in fr.layers)
            if turned:
                print(f"{fr.path}: orientation yx (x and y swapped: lines run along x) in {turned} of "
                      f"{len(fr.layers)} layer(s); --orient xy keeps them as given", file=sys.stderr)
    try:
        if args.command == "plot":
            layers = results[0].layers
            if not 0 <= args.layer < len(layers):
                print(f"rastermark: {inputs[0]} has {len(layers)} layer(s); no layer {args.layer}", file=sys.stderr)
                return 1
            title = Path(inputs[0]).name + (f", layer {args.layer}" if len(layers) > 1 else "")
            if options.method != "rule":
                title += f" (--method {options.method})"
            plot_layer(layers[args.layer], args.output, title)
            shown = [FileResult(inputs[0], [layers[args.layer]])]
        elif args.command == "score":
            print(score_report(results))
            if args.output is not None:
                write_atomically(args.output, score_columns(results))
        else:
            columns = label_columns(results) if args.command == "label" else table_columns(results)
            write_atomically(args.output, columns)
    except MissingDependency as e:
        print(f"rastermark: {e}", file=sys.stderr)
        return 1
    except OSError as e:
        print(f"rastermark: cannot write {args.output}: {e.strerror or e}", file=sys.stderr)
        return 1
    if not args.quiet and args.output is not None:
        reported = shown if args.command == "plot" else results
        print(f"{args.output}: {summary(reported)}")
        if options.method == "rule" and not args.laser_off and not any(
                np.any(r.ids > 0) for fr in reported for r in fr.layers):
            print("rastermark: no scanlines found: lines are found where the path reverses; where the laser is "
                  "off between lines (engravings, rasters with overscan), --laser-off samples those moves too",
                  file=sys.stderr)
    return 0
