"""G-code: the moves of slicer, CNC and laser files, layer by layer.

The interpreter follows RS-274 (NIST) modal groups and the conventions of the
firmwares that slicers and laser post-processors write for:

- motion (group 1): G0 travel, G1 lines, G2/G3 arcs in the XY plane (I/J or
  R), G80 cancels the mode (axis words that follow move nothing);
- units G20/G21, distances G90/G91, extrusion M82/M83;
- non-modal (group 0): G4 dwells, G10 L20 and G92 set the position without a
  move, G10 L2 and G53 leave the work position unknown, G28/G30 travel home
  (a place the file does not state, so the position is unknown after them);
- laser: M3/M4 enable the laser (with S, its power), M5 disables it; S on any
  other line sets the power too (a stand-alone `S1000` line), except on G4
  where S is a dwell in seconds.  A G1-G3 move prints where it extrudes (E
  grows, or is positive with relative extrusion) or where the laser is
  enabled with power above zero; G0 never prints.

Line numbers (`N10`) are read and ignored; a block-delete mark (`/`) in front
of a line and a checksum (`*71`) after it are dropped.

The position is unknown at the start of a file and after G28/G30/G53/G10 L2:
a move from an unknown place is not drawn (absolute coordinates set the
place; relative moves count from 0).  Numbers are plain decimals: exponents
(`X1e-05`) are refused, since G-code has none and firmwares read them
differently.  Every coordinate, offset and radius must be finite and within
`MAX_COORDINATE_MM` of zero.
"""

from __future__ import annotations

import math
import re
from dataclasses import dataclass, field

from .sampling import InputError, Segment

MAX_COORDINATE_MM = 1e6

_NUMBER = r"[-+]?(?:\d+\.?\d*|\.\d+)"
_WORD = re.compile(rf"([A-Za-z])\s*({_NUMBER})")
_COMMENT = re.compile(r"\([^)]*\)|;.*")
_QUOTED = re.compile(r'"[^"]*"')
_CHECKSUM = re.compile(r"\*\d+$")
# A number followed by an exponent: 1e-05, 2E+3, 1e5 (a capital E followed by
# digits is the extrusion word of compact G-code: X1E5 is X1 and E5).
_EXPONENT = re.compile(r"(?:\d|\.)(?:[eE][-+]\d|e\d)")
# Commands that move the tool in ways this reader does not model.
_UNSUPPORTED_MOTION = {"G5": "spline moves", "G5.1": "spline moves", "G18": "arcs outside the XY plane",
                       "G19": "arcs outside the XY plane", "G2.1": "helical arcs"}
# Firmware commands whose arguments are free text.
_TEXT_COMMANDS = {"M23", "M28", "M30", "M32", "M117", "M118", "M928"}
_MOTION = ("G0", "G1", "G2", "G3")


def _code(letter: str, number: str) -> str:
    value = float(number)
    if not math.isfinite(value) or abs(value) > 1e6:
        return f"{letter}{number}"
    return f"{letter}{int(value)}" if value == int(value) else f"{letter}{value:g}"


@dataclass
class ModalState:
    """What the lines so far have set, in the file's units converted to mm."""

    absolute_xy: bool = True
    absolute_e: bool = True
    scale: float = 1.0  # to mm
    x: float = 0.0
    y: float = 0.0
    z: float = 0.0
    e: float = 0.0
    known: dict[str, bool] = field(default_factory=lambda: {"X": False, "Y": False, "Z": True})
    feed: float = math.nan  # mm/s
    power: float = 0.0
    laser_enabled: bool = True
    motion: str | None = None
    pause: float = 0.0  # s of dwell before the next move


@dataclass
class Line:
    """One line's words: codes (G/M) in order, and the other letters' values."""

    number: int
    where: str
    codes: list[str]
    words: dict[str, float]
    leftover: str  # what is not a word (a firmware command's text argument)


def _parse(text: str, number: int, where: str) -> Line | None:
    text = _COMMENT.sub("", text).strip()
    # What a host adds to the lines it sends (and some files keep): a block
    # delete mark in front (executed: the switch is off) and a checksum after.
    text = _CHECKSUM.sub("", text.removeprefix("/")).strip()
    if not text or text.startswith("%"):
        return None
    first = _WORD.match(text)
    if first and _code(first.group(1).upper(), first.group(2)) in _TEXT_COMMANDS:
        return None
    plain = _QUOTED.sub("", text)
    exponent = _EXPONENT.search(plain)
    if exponent:
        shown = plain[max(0, exponent.start() - 8):exponent.end() + 4]
        raise InputError(f"{where}: a number with an exponent ('{shown}'): G-code numbers are plain decimals")
    codes, words = [], {}
    for letter, value in _WORD.findall(text):
        letter = letter.upper()
        if letter in "GM":
            codes.append(_code(letter, value))
            continue
        number_value = float(value)
        if not math.isfinite(number_value) or abs(number_value) > MAX_COORDINATE_MM:
            raise InputError(f"{where}: {letter}{value[:40]} is out of range (at most {MAX_COORDINATE_MM:g} "
                             "from zero)")
        words[letter] = number_value
    leftover = _WORD.sub("", text).strip()
    for c in codes:
        if c in _UNSUPPORTED_MOTION:
            raise InputError(f"{where}: {c} ({_UNSUPPORTED_MOTION[c]}) is not supported")
    return Line(number, where, codes, words, leftover)


def _set_modes(state: ModalState, line: Line) -> None:
    codes, words = line.codes, line.words
    for c in codes:
        if c == "G20":
            state.scale = 25.4
        elif c == "G21":
            state.scale = 1.0
        elif c == "G90":
            state.absolute_xy = state.absolute_e = True
        elif c == "G91":
            state.absolute_xy = state.absolute_e = False
        elif c == "M82":
            state.absolute_e = True
        elif c == "M83":
            state.absolute_e = False
        elif c in ("M3", "M4"):
            state.laser_enabled = True
        elif c == "M5":
            state.laser_enabled = False
    # S and F belong to the motion and laser state, unless the line is a
    # command of its own that takes them (G4 S seconds, M104 S temperature,
    # M106 S fan speed, ...).
    own = "G4" in codes or any(c.startswith("M") and c not in ("M3", "M4", "M5") for c in codes)
    if "S" in words and not own:
        state.power = words["S"]
    if "F" in words and not own:
        state.feed = words["F"] * state.scale / 60.0


def _non_modal(state: ModalState, line: Line) -> bool:
    """Applies a group-0 command; True where the line is done with."""
    codes, words = line.codes, line.words
    if "G4" in codes:
        seconds = words.get("P", 0.0) / 1000.0 if "P" in words else words.get("S", 0.0)
        state.pause += max(seconds, 0.0)
        return True
    if "G92" in codes or ("G10" in codes and words.get("L") == 20):
        for axis in "XYZ":
            if axis in words:
                setattr(state, axis.lower(), words[axis] * state.scale)
                state.known[axis] = True
        if "E" in words:
            state.e = words["E"]
        return True
    if "G10" in codes:
        if words.get("L") == 2:  # a new origin: the work position changes by an unknown amount
            for axis in "XY":
                if axis in words:
                    state.known[axis] = False
        return True
    if any(c in codes for c in ("G28", "G30", "G53")):
        named = [a for a in "XYZ" if a in words] or (["X", "Y", "Z"] if "G53" not in codes else [])
        for axis in named:
            state.known[axis] = False
        return True
    if "G80" in codes:
        state.motion = None
        return True
    return False


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
    wanted = math.ceil(abs(sweep) * radius / chord)
    if not wanted <= 1e8:
        raise InputError(f"{where}: an arc of radius {radius:g} mm would take more than 10^8 pieces")
    pieces = max(4, wanted)
    angles = [a0 + sweep * k / pieces for k in range(1, pieces + 1)]
    points = [(cx + radius * math.cos(a), cy + radius * math.sin(a)) for a in angles]
    points[-1] = (x1, y1)
    return points


@dataclass
class Move:
    """One drawn move, as straight pieces (an arc has several)."""

    pieces: list[Segment]
    prints: bool
    z_start: float
    z_end: float


def _move(state: ModalState, line: Line, chord: float) -> Move | None:
    """Applies a motion line to the state; the move, where it draws one."""
    words = line.words
    if state.motion is None or not any(a in words for a in "XYZE"):
        return None
    start = (state.x, state.y, state.z)
    start_known = state.known["X"] and state.known["Y"]
    for axis in "XYZ":
        if axis not in words:
            continue
        value = words[axis] * state.scale
        if state.absolute_xy:
            setattr(state, axis.lower(), value)
        else:
            # Relative moves from an unknown place count from 0.
            base = getattr(state, axis.lower()) if state.known[axis] else 0.0
            setattr(state, axis.lower(), base + value)
        state.known[axis] = True
    extrudes = False
    if "E" in words:
        e = words["E"]
        extrudes = e > state.e if state.absolute_e else e > 0
        state.e = e if state.absolute_e else state.e + e
    for axis in "XY":
        if abs(getattr(state, axis.lower())) > MAX_COORDINATE_MM:
            raise InputError(f"{line.where}: the move leaves the range of {MAX_COORDINATE_MM:g} mm from zero")
    motion = state.motion
    prints = extrudes or (motion != "G0" and state.laser_enabled and state.power > 0)
    end = (state.x, state.y)
    if not start_known and state.absolute_xy:
        return None  # from an unknown place: the move sets the position and draws nothing
    if motion in ("G2", "G3"):
        if not any(k in words for k in "IJR"):
            raise InputError(f"{line.where}: arc without I/J or R")
        arc_words = {k: words[k] * state.scale for k in "IJR" if k in words}
        vertices = _arc_points(start[0], start[1], *end, arc_words, motion == "G2", line.where, chord)
    elif end != start[:2]:
        vertices = [end]
    else:
        return None
    speed = state.feed if motion != "G0" or not math.isnan(state.feed) else math.nan
    pieces = []
    corner = start[:2]
    count = len(vertices)
    for k, (vx, vy) in enumerate(vertices):
        z0 = start[2] + (state.z - start[2]) * k / count
        z1 = start[2] + (state.z - start[2]) * (k + 1) / count
        pieces.append(Segment(corner[0], corner[1], vx, vy, prints, speed, line.number,
                              state.pause if k == 0 else 0.0, z0, z1))
        corner = (vx, vy)
    state.pause = 0.0
    return Move(pieces, prints, start[2], state.z)


def gcode_moves(lines: list[str], path, chord: float) -> list[tuple[Move, int]]:
    """Every drawn move of a file with the layer it belongs to (0, 1, ...).
    A layer is a stretch of printing at one height: a printing move starts a
    new layer where it starts at another height than the printing move before
    it ended (a spiral or helix that climbs while it prints stays one layer).
    Travel belongs to the layer of the next printing move; travel after the
    last one forms no layer of its own unless nothing prints at all."""
    state = ModalState()
    out: list[tuple[Move, int]] = []
    pending: list[Move] = []
    layer_heights: dict[float, int] = {}
    layer = -1
    last_z: float | None = None
    for number, raw in enumerate(lines, start=1):
        line = _parse(raw, number, f"{path}:{number}")
        if line is None:
            continue
        _set_modes(state, line)
        if _non_modal(state, line):
            continue
        moving = [c for c in line.codes if c in _MOTION]
        if line.leftover and (moving or (state.motion and any(a in line.words for a in "XYZ"))):
            raise InputError(f"{line.where}: expected words of a letter and a number, could not read "
                             f"'{line.leftover[:40]}'")
        if moving:
            state.motion = moving[-1]
        if any(c.startswith("M") for c in line.codes):
            continue
        move = _move(state, line, chord)
        if move is None:
            continue
        if not move.prints:
            pending.append(move)
            continue
        climbing = last_z is not None and move.z_start == last_z and move.z_end != move.z_start
        if not climbing and (last_z is None or move.z_start != last_z or layer < 0):
            height = round(move.z_start, 6)
            if height not in layer_heights:
                layer_heights[height] = len(layer_heights)
            layer = layer_heights[height]
        out.extend((m, layer) for m in pending)
        out.append((move, layer))
        pending = []
        last_z = move.z_end
    if layer < 0:
        out.extend((m, 0) for m in pending)
    return out
