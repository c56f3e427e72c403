"""Readers: scan paths from machine files, as float64 x and y in path order.

One function per format.  Each returns `Layer`s: x, y and any extra columns as
NumPy arrays of one length, in path order.  Units: powder-bed path files and
G-code give millimetres (G-code in inches is converted) and, where the speeds
are known, a time column `t` in seconds; tables (CSV/TSV, NumPy, Parquet,
HDF5) give their values as stored.  A file that cannot be read raises
`InputError` naming the file, the line or row, and what was expected.
"""

from __future__ import annotations

import io
import math
import zipfile
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

from . import _native
from ._extras import require
from .gcode import MAX_COORDINATE_MM, gcode_moves
from .sampling import MAX_SAMPLES_PER_MOVE, InputError, Segment, Segments, densify, file_bytes
from .slices import read_slice_geometry, slice_segments


@dataclass
class Layer:
    """One layer of a scan path: samples in path order."""

    x: np.ndarray
    y: np.ndarray
    columns: dict[str, np.ndarray] = field(default_factory=dict)
    source: str = ""
    index: int = 0
    units: str = "mm"

    def __len__(self) -> int:
        return len(self.x)


def _read_bytes(path: Path) -> bytes:
    """A text file's bytes: refused where it is empty or binary."""
    data = file_bytes(path)
    if b"\0" in data[:4096]:
        raise InputError(f"{path}:1: expected text, found binary data")
    return data


def _read_text(path: Path) -> list[str]:
    return _read_bytes(path).decode("utf-8", errors="replace").splitlines()


# -- powder-bed path files ------------------------------------------------------

SCAN_PATH_HEADER = ("Mode", "X(mm)", "Y(mm)", "Z(mm)", "Pmod", "tParam")


def read_scan_path(path, step: float | None = 0.01, rate: float | None = None, laser_off: bool = False,
                   max_samples: int = MAX_SAMPLES_PER_MOVE) -> Layer:
    """A powder-bed path file: tab-separated rows `Mode X Y Z Pmod tParam`
    (mm).  Mode 1 jumps to the point (tParam: time in s), Mode 0 draws a
    line from the previous point at tParam m/s with power fraction Pmod (laser
    on where Pmod > 0).  Lines are densified every `step` mm, or at `rate` Hz
    from their speeds; laser-off lines are sampled only with `laser_off`.
    Every value must be a finite number.  Columns: t (s), z (mm), laser_on,
    vector (the row, 1 = first data row)."""
    data = _read_bytes(Path(path))
    segments = _scan_path_segments_fast(data)
    if segments is None:
        # Anything unusual (a blank or broken row, an odd line break, a value
        # out of range) takes the row-by-row reading, which names the place.
        segments = _scan_path_segments(data.decode("utf-8", errors="replace").splitlines(), path)
    x, y, columns = densify(segments, step, rate, laser_off, str(path), max_samples)
    return Layer(x, y, columns, source=str(path))


# Line breaks other than \n and \r\n, which str.splitlines() honours and a table parser does not.
_ODD_LINE_BREAKS = (b"\x0b", b"\x0c", b"\x1c", b"\x1d", b"\x1e", b"\xc2\x85", b"\xe2\x80\xa8", b"\xe2\x80\xa9")


def _odd_line_breaks(data: bytes) -> bool:
    return any(b in data for b in _ODD_LINE_BREAKS) or data.count(b"\r") != data.count(b"\r\n")


def _scan_path_segments_fast(data: bytes) -> Segments | None:
    """The segments of a well-formed path file read as one table (NumPy's
    parser rounds as float() does), the same as `_scan_path_segments` gives;
    None where the file is not plainly well formed."""
    head, _, body = data.partition(b"\n")
    if tuple(head.decode("utf-8", errors="replace").split()) != SCAN_PATH_HEADER or _odd_line_breaks(data):
        return None
    try:
        rows = np.loadtxt(io.BytesIO(body), dtype=np.float64, comments=None, ndmin=2)
    except ValueError:
        return None
    lines = body.count(b"\n") + (0 if body.endswith(b"\n") or not body else 1)
    if rows.shape != (lines, 6) or lines == 0:
        return None  # blank rows (which shift the row numbers) or no rows
    if not (np.isfinite(rows).all() and (np.abs(rows) <= MAX_COORDINATE_MM).all()):
        return None
    mode = rows[:, 0]
    if not ((mode == 0) | (mode == 1)).all() or mode[0] != 1:
        return None
    drawn = np.flatnonzero(mode == 0)
    # The pause before each line: the jump times since the line before it,
    # added one after the other from 0.0 as the row-by-row reading adds them.
    previous = np.concatenate([[-1], drawn[:-1]])
    run = drawn - previous - 1
    pause = np.zeros(len(drawn))
    single = run == 1
    pause[single] = 0.0 + rows[drawn[single] - 1, 5]
    for k in np.flatnonzero(run > 1):
        total = 0.0
        for t_param in rows[previous[k] + 1:drawn[k], 5].tolist():
            total += t_param
        pause[k] = total
    z = rows[drawn, 3]
    return Segments(rows[drawn - 1, 1].copy(), rows[drawn - 1, 2].copy(), rows[drawn, 1].copy(), rows[drawn, 2].copy(),
                    rows[drawn, 4] > 0, rows[drawn, 5] * 1000.0, (drawn + 1).astype(np.int64), pause, z.copy(),
                    z.copy())


def _scan_path_segments(lines: list[str], path) -> list[Segment]:
    """The segments of a path file, row by row, refusing the first row that
    is not right with its line."""
    header = tuple(lines[0].split())
    if header != SCAN_PATH_HEADER:
        raise InputError(f"{path}:1: expected the header '{' '.join(SCAN_PATH_HEADER)}', got '{lines[0][:80]}'")
    segments: list[Segment] = []
    position: tuple[float, float] | None = None
    pause = 0.0
    for number, text in enumerate(lines[1:], start=2):
        if not text.strip():
            continue
        fields = text.split()
        if len(fields) != 6:
            raise InputError(f"{path}:{number}: expected 6 columns ({' '.join(SCAN_PATH_HEADER)}), got {len(fields)}")
        values = []
        for name, value in zip(SCAN_PATH_HEADER, fields):
            try:
                parsed = float(value)
            except ValueError:
                raise InputError(f"{path}:{number}: column {name}: expected a number, got '{value[:40]}'") from None
            if not math.isfinite(parsed) or abs(parsed) > MAX_COORDINATE_MM:
                raise InputError(f"{path}:{number}: column {name}: expected a finite number of at most "
                                 f"{MAX_COORDINATE_MM:g}, got '{value[:40]}'")
            values.append(parsed)
        mode, x, y, z, power, t_param = values
        if mode == 1:
            pause += t_param
            position = (x, y)
        elif mode == 0:
            if position is None:
                raise InputError(f"{path}:{number}: a line (Mode 0) before any position (Mode 1)")
            segments.append(Segment(position[0], position[1], x, y, power > 0, t_param * 1000.0, number - 1, pause, z, z))
            pause = 0.0
            position = (x, y)
        else:
            raise InputError(f"{path}:{number}: column Mode: expected 0 or 1, got {fields[0]}")
    if position is None:
        raise InputError(f"{path}: no path rows after the header")
    return segments


# -- G-code -------------------------------------------------------------------


def _typical_spacing(s: Segments) -> float:
    """The median distance between neighbouring printing moves that run side
    by side (the line pitch of a raster, the width of an infill): from each
    printing piece to the middle of the next one, where that is nearly
    parallel to it; nan where no such pair exists."""
    printing = np.flatnonzero(s.laser_on)
    a, b = printing[:-1], printing[1:]
    ax, ay = s.x1[a] - s.x0[a], s.y1[a] - s.y0[a]
    bx, by = s.x1[b] - s.x0[b], s.y1[b] - s.y0[b]
    la, lb = np.hypot(ax, ay), np.hypot(bx, by)
    parallel = (la > 0) & (lb > 0) & (np.abs(ax * bx + ay * by) >= 0.98 * la * lb)
    mx, my = (s.x0[b] + s.x1[b]) / 2 - s.x0[a], (s.y0[b] + s.y1[b]) / 2 - s.y0[a]
    with np.errstate(divide="ignore", invalid="ignore"):
        gaps = np.abs(ax * my - ay * mx) / la
    gaps = gaps[parallel & (gaps > 0)]
    return float(np.median(gaps)) if len(gaps) else math.nan


def gcode_step(segments: Segments, default: float = 0.1) -> float:
    """The sampling step a G-code file needs: `default` mm, but no coarser
    than a fifth of the typical spacing of its neighbouring printing moves
    (so that a 0.1 mm raster is sampled every 0.02 mm), and no finer than
    0.001 mm."""
    spacing = _typical_spacing(segments)
    if math.isnan(spacing):
        return default
    return min(default, max(spacing / 5, 0.001))


def _gcode_pieces(path, chord: float, engine: str) -> tuple[Segments, np.ndarray]:
    """The drawn pieces of a G-code file and the layer of each."""
    if engine == "python":
        moves = gcode_moves(_read_text(Path(path)), path, chord)
        pieces = [(piece, layer) for move, layer in moves for piece in move.pieces]
        return Segments.of([p for p, _ in pieces]), np.array([n for _, n in pieces], dtype=np.int64)
    if engine != "native":
        raise ValueError(f"engine must be 'native' or 'python', got {engine!r}")
    data = _read_bytes(Path(path))
    line, message, columns = _native.interpret_gcode(data, chord)
    if line:
        raise InputError(f"{path}:{line}: {message}")

    def column(name, dtype):
        return np.frombuffer(columns[name], dtype=dtype)

    f8 = np.float64
    segments = Segments(column("x0", f8), column("y0", f8), column("x1", f8), column("y1", f8),
                        column("prints", np.uint8).astype(bool), column("speed", f8), column("line", np.int64),
                        column("pause", f8), column("z0", f8), column("z1", f8))
    return segments, column("layer", np.int64)


def read_gcode(path, step: float | None = None, rate: float | None = None, laser_off: bool = False,
               max_samples: int = MAX_SAMPLES_PER_MOVE, engine: str = "native") -> list[Layer]:
    """G-code, one layer per height of its printing moves, in mm (the dialect
    the `gcode` module describes).  Moves are densified every `step` mm (by
    default 0.1, or a fifth of the typical spacing of neighbouring printing
    moves where that is finer), or at `rate` Hz from the feed rate F; travel
    (laser off) is sampled only with `laser_off`, and belongs to the layer of
    the next printing move.  Columns: t (s, where every move has a feed
    rate), z (mm), laser_on, vector (the file's line number).  `engine`
    "python" reads with the `gcode` module instead of the native
    interpreter (the same result, slower)."""
    chord = min(step, 0.1) if step else 0.1
    segments, layer_of = _gcode_pieces(path, chord, engine)
    if not segments.laser_on.any() and not (laser_off and len(segments)):
        raise InputError(f"{path}: no printing moves (no extrusion and no laser power); --laser-off reads its travel")
    if step is None and rate is None:
        step = gcode_step(segments)
    # One stable sort groups the pieces by layer, in file order within each
    # (a mask per layer would read every piece once per layer).
    order = np.argsort(layer_of, kind="stable")
    layers, starts = np.unique(layer_of[order], return_index=True)
    ends = np.append(starts[1:], len(order))
    result = []
    for index, start, end in zip(layers, starts, ends):
        x, y, columns = densify(segments.take(order[start:end]), step, rate, laser_off, str(path), max_samples)
        result.append(Layer(x, y, columns, source=str(path), index=int(index)))
    return result


# -- slice files ----------------------------------------------------------------


def read_slices(path, step: float | None = 0.01, rate: float | None = None, laser_off: bool = False,
                max_samples: int = MAX_SAMPLES_PER_MOVE) -> list[Layer]:
    """A CLI slice file (`.cli`, ASCII or binary; see the `slices` module), one
    layer per `$$LAYER`: its hatches and polylines in file order, sampled
    every `step` mm (the file gives no speeds, so `rate` cannot be used);
    jumps between vectors are sampled only with `laser_off`.  Columns: z
    (mm), laser_on, vector (1, 2, ... in the layer's order; jumps 0) and kind
    (`KIND_HATCH` 1, `KIND_CONTOUR` 2, jumps `KIND_JUMP` 0): every sample
    knows the vector it was drawn on."""
    if rate is not None:
        raise InputError(f"{path}: slice files give no speeds: sample them by distance (--step), not by rate")
    result = []
    for index, slice_layer in enumerate(read_slice_geometry(path)):
        segments, kinds = slice_segments(slice_layer)
        x, y, columns = densify(segments, step, None, laser_off, str(path), max_samples)
        table = np.array([kinds[k] for k in range(len(kinds))], dtype=np.int8)
        columns["kind"] = table[columns["vector"]]
        if "z" not in columns:
            columns["z"] = np.full(len(x), slice_layer.z)
        result.append(Layer(x, y, columns, source=str(path), index=index))
    return result


# -- tables -------------------------------------------------------------------


def _pick(names: list[str], wanted, path, kind="column") -> str:
    """The column named `wanted`, or numbered `wanted` (0-based) where no
    column has that name."""
    key = str(wanted)
    if key in names:
        return key
    if key.lstrip("-").isdigit():
        i = int(key)
        if -len(names) <= i < len(names):
            return names[i]
    raise InputError(f"{path}: no {kind} '{key}' (the file has: {', '.join(names[:20])})")


def _as_float(values, path, name, row_offset=0) -> np.ndarray:
    """A column as float64, naming the first row that is not a number."""
    try:
        out = np.asarray(values, dtype=np.float64)
        if out.ndim == 1:
            return out
    except (TypeError, ValueError):
        pass
    for row, value in enumerate(values):
        try:
            float(value)
        except (TypeError, ValueError):
            shown = "an empty value" if value is None or value == "" else f"'{str(value)[:40]}'"
            raise InputError(f"{path}: row {row + row_offset}: column '{name}': expected a number, got {shown}") from None
    raise InputError(f"{path}: column '{name}' is not one-dimensional")


def _layer_from_columns(path, names, get, x, y, row_offset, units) -> Layer:
    x_name, y_name = _pick(names, x, path), _pick(names, y, path)
    columns = {}
    xs = _as_float(get(x_name), path, x_name, row_offset)
    ys = _as_float(get(y_name), path, y_name, row_offset)
    for name in names:
        if name in (x_name, y_name):
            continue
        values = np.asarray(get(name))
        if values.ndim == 1 and len(values) == len(xs) and values.dtype.kind in "biuf":
            columns[name] = values
    return Layer(xs, ys, columns, source=str(path), units=units)


def _arrow_layer(path, table, x, y) -> Layer:
    names = table.column_names

    def get(name):
        column = table.column(name)
        if column.null_count:
            import pyarrow.compute as pc

            row = int(pc.index(pc.is_null(column), True).as_py())
            raise InputError(f"{path}: row {row + 1}: column '{name}': expected a number, got an empty value")
        try:
            return column.to_numpy(zero_copy_only=False)
        except Exception:
            return column.to_pylist()

    return _layer_from_columns(path, names, get, x, y, 1, "as stored")


def read_csv(path, x="x", y="y", delimiter: str | None = None) -> Layer:
    """CSV or TSV (by suffix, or `delimiter`) with a header row; `x` and `y`
    name columns, or number them from 0.  Numeric columns of the same length
    come along as extra columns.  Rows count from 1 after the header."""
    pa_csv = require("pyarrow.csv", "reading CSV")
    import pyarrow as pa

    path = Path(path)
    if delimiter is None:
        delimiter = "\t" if path.suffix.lower() == ".tsv" else ","
    try:
        if path.stat().st_size == 0:
            raise InputError(f"{path}: empty file")
        # Only an empty cell is missing: nan and inf are numbers (the labeller
        # takes them), not the absent values pyarrow reads them as by default.
        table = pa_csv.read_csv(path, parse_options=pa_csv.ParseOptions(delimiter=delimiter),
                                convert_options=pa_csv.ConvertOptions(null_values=[""]))
    except OSError as e:
        raise InputError(f"{path}: cannot read: {e.strerror or e}") from None
    except pa.ArrowInvalid as e:
        message = str(e)
        if "Empty CSV file" in message:
            raise InputError(f"{path}: empty file") from None
        raise InputError(f"{path}: {message.splitlines()[0]}") from None
    if table.num_rows == 0:
        raise InputError(f"{path}: no rows after the header")
    return _arrow_layer(path, table, x, y)


def read_parquet(path, x="x", y="y") -> Layer:
    """A Parquet table; columns as for `read_csv`."""
    pq = require("pyarrow.parquet", "reading Parquet")
    import pyarrow as pa

    try:
        table = pq.read_table(path)
    except (OSError, pa.ArrowInvalid) as e:
        raise InputError(f"{path}: not a readable Parquet file: {str(e).splitlines()[0]}") from None
    return _arrow_layer(path, table, x, y)


def read_numpy(path, x="x", y="y") -> Layer:
    """`.npz` with arrays named `x` and `y` (other 1-D arrays of their length
    come along), or `.npy` holding a structured array with those fields or a
    2-D array whose columns `x` and `y` number (default 0 and 1)."""
    path = Path(path)
    try:
        data = np.load(path, allow_pickle=False)
    except (OSError, ValueError, EOFError, zipfile.BadZipFile) as e:
        raise InputError(f"{path}: not a readable NumPy file: {str(e).splitlines()[0] if str(e) else type(e).__name__}") from None
    if isinstance(data, np.lib.npyio.NpzFile):
        with data:
            arrays = {name: data[name] for name in data.files}
        names = list(arrays)
        return _layer_from_columns(path, names, arrays.__getitem__, x, y, 0, "as stored")
    if data.dtype.names:
        names = list(data.dtype.names)
        return _layer_from_columns(path, names, data.__getitem__, x, y, 0, "as stored")
    if data.ndim != 2:
        raise InputError(f"{path}: expected a structured array or a 2-D array of columns, got shape {data.shape}")
    names = [str(i) for i in range(data.shape[1])]
    x = 0 if x == "x" else x
    y = 1 if y == "y" else y
    return _layer_from_columns(path, names, lambda name: data[:, int(name)], x, y, 0, "as stored")


def read_hdf5(path, x="x", y="y") -> Layer:
    """HDF5 datasets by path (`x="/scan/x"`); the other 1-D datasets of the
    group holding `x`, of the same length, come along."""
    h5py = require("h5py", "reading HDF5")
    try:
        handle = h5py.File(path, "r")
    except OSError as e:
        raise InputError(f"{path}: not a readable HDF5 file: {e}") from None
    with handle:
        datasets = {}
        for wanted in (x, y):
            node = handle.get(str(wanted))
            if not isinstance(node, h5py.Dataset):
                raise InputError(f"{path}: no dataset '{wanted}'")
            datasets[str(wanted)] = node[()]
        chosen = {handle[str(x)].name, handle[str(y)].name}
        group = handle[str(x)].parent
        for name, node in group.items():
            if isinstance(node, h5py.Dataset) and node.ndim == 1 and node.name not in chosen:
                datasets.setdefault(node.name.rsplit("/", 1)[-1], node[()])
    names = list(datasets)
    layer = _layer_from_columns(path, names, datasets.__getitem__, str(x), str(y), 0, "as stored")
    return layer


# -- any file -------------------------------------------------------------------

TABLE_SUFFIXES = {".csv", ".tsv", ".npz", ".npy", ".parquet", ".pq", ".h5", ".hdf5"}
GCODE_SUFFIXES = {".gcode", ".nc", ".ngc", ".gco", ".g"}


def _split_layers(layer: Layer, column: str) -> list[Layer]:
    """Consecutive rows of one value of `column` form a layer; order kept."""
    if column not in layer.columns:
        raise InputError(f"{layer.source}: no column '{column}' to split layers by")
    key = layer.columns[column]
    cuts = np.flatnonzero(key[1:] != key[:-1]) + 1
    bounds = np.concatenate([[0], cuts, [len(key)]])
    return [Layer(layer.x[a:b], layer.y[a:b], {k: v[a:b] for k, v in layer.columns.items()}, layer.source, i,
                  layer.units) for i, (a, b) in enumerate(zip(bounds[:-1], bounds[1:]))]


def read_layers(path, x="x", y="y", step: float | None = None, rate: float | None = None, laser_off: bool = False,
                layer_column: str | None = None, max_samples: int = MAX_SAMPLES_PER_MOVE) -> list[Layer]:
    """Every layer of one file, by its suffix: `.txt` powder-bed path file,
    G-code (`.gcode`, `.nc`, ...), `.cli` slice file, `.csv`/`.tsv`, `.npz`/`.npy`, `.parquet`,
    `.h5`/`.hdf5`.  `step` (mm) defaults to 0.01 for path and slice files and, for
    G-code, to 0.1 or a fifth of the spacing of its neighbouring printing
    moves where that is finer; tables are read as they are, split into layers by
    `layer_column` where given."""
    path = Path(path)
    suffix = path.suffix.lower()
    if suffix == ".txt":
        return [read_scan_path(path, step=0.01 if step is None and rate is None else step, rate=rate,
                               laser_off=laser_off, max_samples=max_samples)]
    if suffix in GCODE_SUFFIXES:
        return read_gcode(path, step=step, rate=rate, laser_off=laser_off, max_samples=max_samples)
    if suffix == ".cli":
        return read_slices(path, step=0.01 if step is None else step, rate=rate, laser_off=laser_off,
                           max_samples=max_samples)
    if suffix in (".csv", ".tsv"):
        layer = read_csv(path, x, y)
    elif suffix in (".npz", ".npy"):
        layer = read_numpy(path, x, y)
    elif suffix in (".parquet", ".pq"):
        layer = read_parquet(path, x, y)
    elif suffix in (".h5", ".hdf5"):
        layer = read_hdf5(path, x, y)
    else:
        raise InputError(f"{path}: unknown kind of file '{suffix}' (expected .txt, .gcode, .nc, .cli, .csv, .tsv, "
                         ".npz, .npy, .parquet, .h5 or .hdf5)")
    return _split_layers(layer, layer_column) if layer_column else [layer]
