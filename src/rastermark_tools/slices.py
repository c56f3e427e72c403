"""Powder-bed slice files in the Common Layer Interface format (`.cli`).

A file is an ASCII header (`$$HEADERSTART` ... `$$HEADEREND`, with
`$$ASCII` or `$$BINARY`, `$$UNITS/mm per unit`, and optionally `$$LAYERS/n`
and `$$DIMENSION/x0,y0,z0,x1,y1,z1`), then the geometry, layer by layer in
build order: in ASCII, `$$LAYER/z`, `$$POLYLINE/id,dir,n,x1,y1,...,xn,yn`
and `$$HATCHES/id,n,xs1,ys1,xe1,ye1,...` between `$$GEOMETRYSTART` and
`$$GEOMETRYEND` (a command's parameters may run over several lines); in
binary, little-endian commands of a 16-bit number and their parameters:

| command | name | parameters |
|---|---|---|
| 127 | layer, long | z: 32-bit float |
| 128 | layer, short | z: 16-bit |
| 129 | polyline, short | id, dir, n: 16-bit; n points of two 16-bit coordinates |
| 130 | polyline, long | id, dir, n: 32-bit integers; n points of two 32-bit floats |
| 131 | hatches, short | id, n: 16-bit; n hatches of four 16-bit coordinates |
| 132 | hatches, long | id, n: 32-bit integers; n hatches of four 32-bit floats |

Short coordinates are unsigned 16-bit numbers, except in files whose
`$$DIMENSION` has a negative coordinate, which only signed numbers can
reach: there they are read as signed (as the processors that write such
files mean them).  Every value is multiplied by `$$UNITS` to give mm.

Each hatch is one vector from its start to its end point; a polyline is one
vector along its points.  The scan order is the order in the file, and the
laser is off between vectors (jumps, sampled only with `laser_off`).
"""

from __future__ import annotations

import math
import re
import struct
from dataclasses import dataclass, field

import numpy as np

from .sampling import InputError, Segment, file_bytes

# The `kind` column: what each sample draws.
KIND_JUMP, KIND_HATCH, KIND_CONTOUR = 0, 1, 2

_BINARY_LAYOUT = {
    127: ("layer", "<f", 0),
    128: ("layer", "<H", 0),
    129: ("polyline", "<HHH", 2),
    130: ("polyline", "<iii", 2),
    131: ("hatches", "<HH", 4),
    132: ("hatches", "<ii", 4),
}
# Geometry commands of the ASCII form that carry parameters this reader does
# not use (per-vector process settings of later versions of the format).
_ASCII_IGNORED = {"POWER", "SPEED", "FOCUS", "LASERINDEX", "LABEL"}
_NUMBER = re.compile(r"^[-+]?(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?$")


@dataclass
class SliceLayer:
    """One layer's vectors in file order: each an array of points (mm) and a kind."""

    z: float
    vectors: list[tuple[np.ndarray, int]] = field(default_factory=list)


@dataclass
class Header:
    binary: bool
    units: float
    layers: int | None
    signed_short: bool
    end: int  # byte offset where the geometry starts


def _header(data: bytes, path) -> Header:
    if not data.startswith(b"$$HEADERSTART"):
        raise InputError(f"{path}: not a CLI file: it does not start with $$HEADERSTART")
    end = data.find(b"$$HEADEREND")
    if end < 0:
        raise InputError(f"{path}: the header has no $$HEADEREND")
    text = data[:end].decode("ascii", errors="replace")
    binary = ascii_form = False
    units, layers, signed_short = None, None, False
    for number, line in enumerate(text.splitlines(), start=1):
        line = line.strip()
        if line == "$$BINARY":
            binary = True
        elif line == "$$ASCII":
            ascii_form = True
        elif line.startswith("$$UNITS/"):
            units = _float(line[8:], path, f"line {number}", "$$UNITS")
            if not units > 0:
                raise InputError(f"{path}:{number}: $$UNITS must be positive, got {line[8:]}")
        elif line.startswith("$$LAYERS/"):
            layers = int(_float(line[9:], path, f"line {number}", "$$LAYERS"))
        elif line.startswith("$$DIMENSION/"):
            values = [_float(v, path, f"line {number}", "$$DIMENSION") for v in line[12:].split(",")]
            signed_short = any(v < 0 for v in values)
    if binary == ascii_form:
        raise InputError(f"{path}: the header must say exactly one of $$ASCII and $$BINARY")
    if units is None:
        raise InputError(f"{path}: the header has no $$UNITS")
    return Header(binary, units, layers, signed_short, end + len(b"$$HEADEREND"))


def _float(text: str, path, where: str, name: str) -> float:
    text = text.strip()
    if not _NUMBER.match(text):
        raise InputError(f"{path}: {where}: {name}: expected a number, got '{text[:40]}'")
    value = float(text)
    if not math.isfinite(value):
        raise InputError(f"{path}: {where}: {name}: expected a finite number, got '{text[:40]}'")
    return value


def _vectors_from(kind: str, count: int, coordinates: np.ndarray, where: str, path) -> list[tuple[np.ndarray, int]]:
    if kind == "polyline":
        if count < 2:
            return []  # a single point draws nothing
        return [(coordinates.reshape(count, 2), KIND_CONTOUR)]
    hatches = coordinates.reshape(count, 2, 2)
    return [(hatch, KIND_HATCH) for hatch in hatches]


def _ascii_geometry(data: bytes, header: Header, path) -> list[SliceLayer]:
    text = data[header.end:].decode("ascii", errors="replace")
    first_line = data[:header.end].count(b"\n") + 1
    # Each command with its parameters, which may run over several lines.
    commands: list[tuple[int, str]] = []
    for offset, line in enumerate(text.splitlines()):
        stripped = line.strip()
        if not stripped:
            continue
        if stripped.startswith("$$"):
            commands.append((first_line + offset, stripped[2:]))
        elif commands:
            number, previous = commands[-1]
            commands[-1] = (number, previous + stripped)
        else:
            raise InputError(f"{path}:{first_line + offset}: expected a $$ command, got '{stripped[:40]}'")
    layers: list[SliceLayer] = []
    ended = False
    for number, command in commands:
        name, _, arguments = command.partition("/")
        name = name.upper()
        if name in ("GEOMETRYSTART", "HEADEREND"):
            continue
        if name == "GEOMETRYEND":
            ended = True
            break
        if name == "LAYER":
            layers.append(SliceLayer(_float(arguments, path, f"line {number}", "$$LAYER") * header.units))
            continue
        if name in _ASCII_IGNORED:
            continue
        if name not in ("POLYLINE", "HATCHES"):
            raise InputError(f"{path}:{number}: unknown command $${name}")
        if not layers:
            raise InputError(f"{path}:{number}: $${name} before the first $$LAYER")
        values = [v for v in arguments.split(",") if v.strip()]
        head = 3 if name == "POLYLINE" else 2
        if len(values) < head:
            raise InputError(f"{path}:{number}: $${name} needs at least {head} numbers, got {len(values)}")
        count = int(_float(values[head - 1], path, f"line {number}", f"$${name} count"))
        per = 2 if name == "POLYLINE" else 4
        if count < 0 or len(values) != head + per * count:
            raise InputError(f"{path}:{number}: $${name} announces {count} {'points' if per == 2 else 'hatches'} "
                             f"({head + per * count} numbers), but has {len(values)} numbers")
        try:
            coordinates = np.array(values[head:], dtype=np.float64) * header.units
        except ValueError:
            bad = next(v for v in values[head:] if not _NUMBER.match(v.strip()))
            raise InputError(f"{path}:{number}: $${name}: expected a number, got '{bad.strip()[:40]}'") from None
        if not np.isfinite(coordinates).all():
            raise InputError(f"{path}:{number}: $${name}: coordinates must be finite")
        layers[-1].vectors += _vectors_from(name.lower(), count, coordinates, f"line {number}", path)
    if not ended:
        raise InputError(f"{path}: truncated: the geometry has no $$GEOMETRYEND")
    return layers


def _binary_geometry(data: bytes, header: Header, path) -> list[SliceLayer]:
    layers: list[SliceLayer] = []
    at = header.end
    size = len(data)
    while at < size:
        start = at
        if size - at < 2:
            raise InputError(f"{path}: byte {start}: truncated: one byte left where a command starts")
        (command,) = struct.unpack_from("<H", data, at)
        at += 2
        if command not in _BINARY_LAYOUT:
            raise InputError(f"{path}: byte {start}: unknown binary command {command}")
        kind, head_format, per = _BINARY_LAYOUT[command]
        head_size = struct.calcsize(head_format)
        if size - at < head_size:
            raise InputError(f"{path}: byte {start}: truncated: command {command} needs {head_size} more bytes, "
                             f"{size - at} left")
        head = struct.unpack_from(head_format, data, at)
        at += head_size
        if kind == "layer":
            layers.append(SliceLayer(float(head[0]) * header.units))
            continue
        if not layers:
            raise InputError(f"{path}: byte {start}: {kind} before the first layer")
        count = head[-1]
        if count < 0:
            raise InputError(f"{path}: byte {start}: command {command} announces {count} items")
        long_form = command in (130, 132)
        item = "<f4" if long_form else ("<i2" if header.signed_short else "<u2")
        needed = count * per * (4 if long_form else 2)
        if size - at < needed:
            raise InputError(f"{path}: byte {start}: truncated: command {command} announces {count} "
                             f"{'points' if per == 2 else 'hatches'} ({needed} bytes), {size - at} left")
        coordinates = np.frombuffer(data, dtype=item, count=count * per, offset=at).astype(np.float64) * header.units
        at += needed
        if not np.isfinite(coordinates).all():
            raise InputError(f"{path}: byte {start}: command {command}: coordinates must be finite")
        layers[-1].vectors += _vectors_from(kind, count, coordinates, f"byte {start}", path)
    return layers


def read_slice_geometry(path) -> list[SliceLayer]:
    """Every layer of a CLI file with its vectors, in mm, in file order."""
    data = file_bytes(path)
    header = _header(data, path)
    layers = (_binary_geometry if header.binary else _ascii_geometry)(data, header, path)
    if header.layers is not None and header.layers != len(layers):
        raise InputError(f"{path}: the header announces {header.layers} layers ($$LAYERS), the file has {len(layers)}")
    if not layers:
        raise InputError(f"{path}: no layers")
    return layers


def slice_segments(layer: SliceLayer) -> tuple[list[Segment], dict[int, int]]:
    """The layer's vectors as segments in scan order (jumps between them laser
    off), numbered from 1 (`vector`; jumps 0), with each number's kind."""
    segments: list[Segment] = []
    kinds = {0: KIND_JUMP}
    here = None
    for number, (points, kind) in enumerate(layer.vectors, start=1):
        kinds[number] = kind
        x, y = points[:, 0].tolist(), points[:, 1].tolist()
        if here is not None and here != (x[0], y[0]):
            segments.append(Segment(here[0], here[1], x[0], y[0], False, math.nan, 0, 0.0, layer.z, layer.z))
        for k in range(len(x) - 1):
            segments.append(Segment(x[k], y[k], x[k + 1], y[k + 1], True, math.nan, number, 0.0, layer.z, layer.z))
        here = (x[-1], y[-1])
    return segments, kinds
