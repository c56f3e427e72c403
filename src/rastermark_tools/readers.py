"""Readers: scan paths from machine files, as float64 x and y in path order.

One function per format.  Each returns `Layer`s: x, y and any extra columns as
NumPy arrays of one length, in path order.  Units: powder-bed path files and
G-code give millimetres (G-code in inches is converted) and, where the speeds
are known, a time column `t` in seconds; tables (CSV/TSV, NumPy, Parquet,
HDF5) give their values as stored.  A file that cannot be read raises
`InputError` naming the file, the line or row, and what was expected.
"""

from __future__ import annotations

import math
import re
import zipfile
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

from ._extras import require


class InputError(ValueError):
    """An input file that cannot be read; the text names the file and the place."""


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


# -- densifying vectors into samples ------------------------------------------


@dataclass
class _Segment:
    x0: float
    y0: float
    x1: float
    y1: float
    laser_on: bool
    speed: float  # mm/s; nan where unknown
    vector: int  # the source row or move of the file
    pause: float = 0.0  # seconds spent before the segment (a dwell or jump time)


def _densify(segments: list[_Segment], step: float | None, rate: float | None, laser_off: bool):
    """Samples every kept segment at `step` mm or at `rate` Hz (from its
    speed); a segment's samples end on its end point, and its start point is
    added where the path was broken before it.  Returns x, y and the columns
    t (where every speed is known), laser_on and vector."""
    if (step is None) == (rate is None):
        raise ValueError("give exactly one of step (mm) and rate (Hz)")
    if step is not None and not step > 0:
        raise ValueError(f"step must be positive, got {step}")
    if rate is not None and not rate > 0:
        raise ValueError(f"rate must be positive, got {rate}")
    xs, ys, ts, on, vec = [], [], [], [], []
    clock = 0.0
    timed = True
    joined, end = False, (math.nan, math.nan)
    for s in segments:
        length = math.hypot(s.x1 - s.x0, s.y1 - s.y0)
        duration = length / s.speed if s.speed > 0 else math.nan
        start_time = clock + s.pause
        clock = start_time + (duration if not math.isnan(duration) else 0.0)
        if math.isnan(duration) and length > 0:
            timed = False
        if not (s.laser_on or laser_off):
            joined = False
            continue
        if joined and (s.x0, s.y0) != end:
            joined = False  # the position was set without a move (G92)
        if rate is not None:
            if math.isnan(duration):
                raise InputError(f"move {s.vector}: sampling at a rate needs its speed, which the file does not give")
            steps = max(1, math.ceil(duration * rate - 1e-9))
        else:
            steps = max(1, math.ceil(length / step - 1e-9))
        f = np.arange(0 if not joined else 1, steps + 1) / steps
        xs.append(s.x0 + f * (s.x1 - s.x0))
        ys.append(s.y0 + f * (s.y1 - s.y0))
        ts.append(start_time + f * (0.0 if math.isnan(duration) else duration))
        on.append(np.full(len(f), 1 if s.laser_on else 0, np.int8))
        vec.append(np.full(len(f), s.vector, np.int64))
        joined, end = True, (s.x1, s.y1)
    if not xs:
        empty = np.zeros(0)
        return empty, empty.copy(), {"laser_on": np.zeros(0, np.int8), "vector": np.zeros(0, np.int64)}
    columns = {"laser_on": np.concatenate(on), "vector": np.concatenate(vec)}
    if timed:
        columns["t"] = np.concatenate(ts)
    return np.concatenate(xs), np.concatenate(ys), columns


def _read_text(path: Path) -> list[str]:
    try:
        data = Path(path).read_bytes()
    except OSError as e:
        raise InputError(f"{path}: cannot read: {e.strerror or e}") from None
    if not data.strip():
        raise InputError(f"{path}: empty file")
    if b"\0" in data[:4096]:
        raise InputError(f"{path}:1: expected text, found binary data")
    return data.decode("utf-8", errors="replace").splitlines()


# -- powder-bed path files ------------------------------------------------------

SCAN_PATH_HEADER = ("Mode", "X(mm)", "Y(mm)", "Z(mm)", "Pmod", "tParam")


def read_scan_path(path, step: float | None = 0.01, rate: float | None = None, laser_off: bool = False) -> Layer:
    """A powder-bed path file: tab-separated rows `Mode X Y Z Pmod tParam`
    (mm).  Mode 1 jumps to the point (tParam: time in s), Mode 0 draws a
    line from the previous point at tParam m/s with power fraction Pmod (laser
    on where Pmod > 0).  Lines are densified every `step` mm, or at `rate` Hz
    from their speeds; laser-off lines are sampled only with `laser_off`.
    Columns: t (s), laser_on, vector (the row, 1 = first data row)."""
    lines = _read_text(Path(path))
    header = tuple(lines[0].split())
    if header != SCAN_PATH_HEADER:
        raise InputError(f"{path}:1: expected the header '{' '.join(SCAN_PATH_HEADER)}', got '{lines[0][:80]}'")
    segments: list[_Segment] = []
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
                values.append(float(value))
            except ValueError:
                raise InputError(f"{path}:{number}: column {name}: expected a number, got '{value[:40]}'") from None
        mode, x, y, _, power, t_param = values
        if mode == 1:
            pause += t_param
            position = (x, y)
        elif mode == 0:
            if position is None:
                raise InputError(f"{path}:{number}: a line (Mode 0) before any position (Mode 1)")
            segments.append(_Segment(position[0], position[1], x, y, power > 0, t_param * 1000.0, number - 1, pause))
            pause = 0.0
            position = (x, y)
        else:
            raise InputError(f"{path}:{number}: column Mode: expected 0 or 1, got {fields[0]}")
    if position is None:
        raise InputError(f"{path}: no path rows after the header")
    x, y, columns = _densify(segments, step, rate, laser_off)
    return Layer(x, y, columns, source=str(path))


# -- G-code -------------------------------------------------------------------

_WORD = re.compile(r"([A-Za-z])\s*([-+]?(?:\d+\.?\d*|\.\d+))")
_COMMENT = re.compile(r"\([^)]*\)|;.*")
# Commands that move the tool in ways this reader does not model.
_UNSUPPORTED_MOTION = {"G5": "spline moves", "G5.1": "spline moves", "G18": "arcs outside the XY plane",
                       "G19": "arcs outside the XY plane", "G2.1": "helical arcs"}
_TEXT_COMMANDS = {"M23", "M28", "M30", "M32", "M117", "M118", "M928"}


def _code(letter: str, number: str) -> str:
    value = float(number)
    return f"{letter}{int(value)}" if value == int(value) else f"{letter}{value:g}"


def _arc_points(x0, y0, x1, y1, words, clockwise, where, chord):
    """Vertices along a G2 (clockwise) or G3 arc in the XY plane, end included."""
    if "I" in words or "J" in words:
        cx, cy = x0 + words.get("I", 0.0), y0 + words.get("J", 0.0)
        radius = math.hypot(x0 - cx, y0 - cy)
    elif "R" in words:
        radius = words["R"]
        d = math.hypot(x1 - x0, y1 - y0)
        if d == 0 or abs(radius) < d / 2 - 1e-9:
            raise InputError(f"{where}: arc radius R{radius:g} cannot join points {d:g} mm apart")
        h = math.sqrt(max(radius * radius - d * d / 4, 0.0))
        side = (1 if not clockwise else -1) * (1 if radius > 0 else -1)
        cx = (x0 + x1) / 2 + side * h * -(y1 - y0) / d
        cy = (y0 + y1) / 2 + side * h * (x1 - x0) / d
        radius = abs(radius)
    else:
        raise InputError(f"{where}: arc without I/J or R")
    a0 = math.atan2(y0 - cy, x0 - cx)
    a1 = math.atan2(y1 - cy, x1 - cx)
    sweep = a1 - a0
    if clockwise and sweep >= 0:
        sweep -= 2 * math.pi
    elif not clockwise and sweep <= 0:
        sweep += 2 * math.pi
    pieces = max(4, math.ceil(abs(sweep) * radius / chord))
    angles = a0 + sweep * np.arange(1, pieces + 1) / pieces
    px, py = cx + radius * np.cos(angles), cy + radius * np.sin(angles)
    px[-1], py[-1] = x1, y1
    return list(zip(px.tolist(), py.tolist()))


def read_gcode(path, step: float | None = 0.1, rate: float | None = None, laser_off: bool = False) -> list[Layer]:
    """G-code (G0/G1 lines, G2/G3 arcs by I/J or R, G90/G91, M82/M83, G20/G21,
    G92), one layer per Z height of its printing moves, in mm.  A move prints
    where it extrudes (E grows, or is positive with relative extrusion) or
    where it is a G1/G2/G3 with laser power S above zero while the laser is
    enabled (M3/M4 on, M5 off).  Moves are densified every `step` mm, or at
    `rate` Hz from the feed rate F; travel (laser off) is sampled only with
    `laser_off`, and belongs to the layer of the next printing move.
    Columns: t (s, where every move has a feed rate), laser_on, vector (the
    file's line number)."""
    lines = _read_text(Path(path))
    absolute_xy, absolute_e = True, True
    scale = 1.0  # to mm
    pos = {"X": 0.0, "Y": 0.0, "Z": 0.0, "E": 0.0}
    feed = math.nan  # mm/s
    power, laser_enabled = 0.0, True
    motion = None
    chord = step if step else 0.1
    layers: dict[float, list[_Segment]] = {}
    pending: list[_Segment] = []
    for number, raw in enumerate(lines, start=1):
        where = f"{path}:{number}"
        text = _COMMENT.sub("", raw).strip()
        if not text or text.startswith("%"):
            continue
        first = _WORD.match(text)
        if first and _code(first.group(1).upper(), first.group(2)) in _TEXT_COMMANDS:
            continue
        words, codes, leftover = {}, [], _WORD.sub("", text).strip()
        for letter, value in _WORD.findall(text):
            letter = letter.upper()
            if letter in "GM":
                codes.append(_code(letter, value))
            else:
                words[letter] = float(value)
        moving = [c for c in codes if c in ("G0", "G1", "G2", "G3")]
        for c in codes:
            if c in _UNSUPPORTED_MOTION:
                raise InputError(f"{where}: {c} ({_UNSUPPORTED_MOTION[c]}) is not supported")
        if leftover and (moving or (motion and any(a in words for a in "XYZ"))):
            raise InputError(f"{where}: expected words of a letter and a number, could not read '{leftover[:40]}'")
        for c in codes:
            if c == "G20":
                scale = 25.4
            elif c == "G21":
                scale = 1.0
            elif c == "G90":
                absolute_xy = absolute_e = True
            elif c == "G91":
                absolute_xy = absolute_e = False
            elif c == "M82":
                absolute_e = True
            elif c == "M83":
                absolute_e = False
            elif c in ("M3", "M4"):
                laser_enabled = True
                power = words.get("S", power)
            elif c == "M5":
                laser_enabled = False
        if "G92" in codes:
            for axis in "XYZE":
                if axis in words:
                    pos[axis] = words[axis] * (scale if axis != "E" else 1.0)
            continue
        if moving:
            motion = moving[-1]
        elif not (motion and any(a in words for a in "XYZE")) or any(c.startswith("M") for c in codes):
            continue
        if "F" in words:
            feed = words["F"] * scale / 60.0
        if "S" in words:
            power = words["S"]
        start = (pos["X"], pos["Y"])
        for axis in "XYZ":
            if axis in words:
                value = words[axis] * scale
                pos[axis] = value if absolute_xy else pos[axis] + value
        extrudes = False
        if "E" in words:
            e = words["E"]
            extrudes = e > pos["E"] if absolute_e else e > 0
            pos["E"] = e if absolute_e else pos["E"] + e
        prints = extrudes or (motion != "G0" and laser_enabled and power > 0)
        end = (pos["X"], pos["Y"])
        if motion in ("G2", "G3"):
            if not any(k in words for k in "IJR"):
                raise InputError(f"{where}: arc without I/J or R")
            arc_words = {k: words[k] * scale for k in "IJR" if k in words}
            vertices = _arc_points(*start, *end, arc_words, motion == "G2", where, chord)
        elif end != start:
            vertices = [end]
        else:
            continue
        speed = feed if motion != "G0" or not math.isnan(feed) else math.nan
        corner = start
        pieces = []
        for vx, vy in vertices:
            pieces.append(_Segment(corner[0], corner[1], vx, vy, prints, speed, number))
            corner = (vx, vy)
        if prints:
            layer = layers.setdefault(round(pos["Z"], 6), [])
            layer.extend(pending)
            layer.extend(pieces)
            pending = []
        else:
            pending.extend(pieces)
    result = []
    for index, segments in enumerate(layers.values()):
        x, y, columns = _densify(segments, step, rate, laser_off)
        result.append(Layer(x, y, columns, source=str(path), index=index))
    if not result:
        raise InputError(f"{path}: no printing moves (no extrusion and no laser power)")
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
        table = pa_csv.read_csv(path, parse_options=pa_csv.ParseOptions(delimiter=delimiter))
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
        group = handle[str(x)].parent
        for name, node in group.items():
            if isinstance(node, h5py.Dataset) and node.ndim == 1:
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
                layer_column: str | None = None) -> list[Layer]:
    """Every layer of one file, by its suffix: `.txt` powder-bed path file,
    G-code (`.gcode`, `.nc`, ...), `.csv`/`.tsv`, `.npz`/`.npy`, `.parquet`,
    `.h5`/`.hdf5`.  `step` (mm) defaults to 0.01 for path files and 0.1 for
    G-code; tables are read as they are, split into layers by
    `layer_column` where given."""
    path = Path(path)
    suffix = path.suffix.lower()
    if suffix == ".txt":
        return [read_scan_path(path, step=step if step or rate else 0.01, rate=rate, laser_off=laser_off)]
    if suffix in GCODE_SUFFIXES:
        return read_gcode(path, step=step if step or rate else 0.1, rate=rate, laser_off=laser_off)
    if suffix in (".csv", ".tsv"):
        layer = read_csv(path, x, y)
    elif suffix in (".npz", ".npy"):
        layer = read_numpy(path, x, y)
    elif suffix in (".parquet", ".pq"):
        layer = read_parquet(path, x, y)
    elif suffix in (".h5", ".hdf5"):
        layer = read_hdf5(path, x, y)
    else:
        raise InputError(f"{path}: unknown kind of file '{suffix}' (expected .txt, .gcode, .nc, .csv, .tsv, "
                         ".npz, .npy, .parquet, .h5 or .hdf5)")
    return _split_layers(layer, layer_column) if layer_column else [layer]
