"""The native G-code interpreter and sampler against their references: the
Python interpreter (rastermark_tools.gcode) on real files and on random
programs of every command the dialect knows, the per-segment sampling loop
on random segments, calls from many threads, and calls with bad buffers."""

import random
import shutil
import subprocess
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from rastermark_tools import InputError, _native, read_gcode
from rastermark_tools.sampling import Segment, densify
from support import REALDATA, broken, densify_reference, needs_realdata

REAL_GCODE = ["fdm_prusaslicer_15x150_45deg.gcode", "fdm_cura_UM2_45_platte_klein.gcode",
              "laser_lightburn_scanfill_jodon.gcode"]


def assert_same_layers(native, python):
    assert len(native) == len(python)
    for a, b in zip(native, python):
        assert a.index == b.index and len(a) == len(b)
        assert set(a.columns) == set(b.columns)
        # Arc centres and radii go through math.hypot in Python and hypot in C, which may differ in the last bit.
        np.testing.assert_allclose(a.x, b.x, rtol=0, atol=1e-9)
        np.testing.assert_allclose(a.y, b.y, rtol=0, atol=1e-9)
        for name in a.columns:
            np.testing.assert_allclose(a.columns[name], b.columns[name], rtol=1e-12, atol=1e-9, equal_nan=True)


def read_both(path, **options):
    results = []
    for engine in ("native", "python"):
        try:
            results.append(read_gcode(path, engine=engine, **options))
        except InputError as e:
            results.append(str(e))
    return results


@needs_realdata
@pytest.mark.parametrize("name", REAL_GCODE)
def test_real_files_read_alike(name):
    for options in ({}, {"laser_off": True, "step": 0.5}):
        native, python = read_both(REALDATA / name, **options)
        assert_same_layers(native, python)


def number(rng):
    kind = rng.random()
    if kind < 0.4:
        return str(rng.randint(-50, 50))
    if kind < 0.8:
        return f"{rng.uniform(-50, 50):.{rng.randint(1, 4)}f}"
    return rng.choice(["0", "-0", ".5", "-.25", "1.", "+3", "007.50", "123456789012345678.25", "0.0000001"])


def random_line(rng):
    axes = "".join(f" {a}{number(rng)}" for a in "XYZ" if rng.random() < 0.6)
    choices = [
        lambda: f"G{rng.choice(['0', '1', '00', '01'])}{axes}" + (f" E{number(rng)}" if rng.random() < 0.5 else "")
        + (f" F{rng.randint(1, 9000)}" if rng.random() < 0.3 else "") + (f" S{rng.randint(0, 500)}" if
                                                                          rng.random() < 0.3 else ""),
        lambda: f"G{rng.choice([2, 3])} X{number(rng)} Y{number(rng)} I{number(rng)} J{number(rng)} E1",
        lambda: f"G{rng.choice([2, 3])} X{number(rng)} Y{number(rng)} R{rng.choice(['-', ''])}{rng.randint(1, 80)} S9",
        lambda: rng.choice(["G90", "G91", "G20", "G21", "M82", "M83", "M5", "G80", "G28", "G30", "M3", "M4 S200",
                            "M3 S0", "G21 G90", "S1000", "S0", "F1200", "M107", "M104 S215", "G4 P200", "G4 S1",
                            "G17", "T0", "%", "", "   ", "; comment", "(note) G1 X1", "M117 Printing 1e5 X",
                            'M862.3 P "MK3"', "G1X1Y2E3", "g1 x2 y3 s100", "N10 G1 X1 Y1*71", "/G1 X3 S50", "*5"]),
        lambda: f"G92{axes}" + (" E0" if rng.random() < 0.5 else ""),
        lambda: f"G10 L{rng.choice([2, 20])} P1{axes}",
        lambda: f"G53 G0{axes}",
        lambda: f"G28{axes}",
        lambda: f"{axes.strip()}" + (f" E{number(rng)}" if rng.random() < 0.5 else ""),
        lambda: rng.choice(["G1 X1e-05", "G1 X2E+3", "G1 X1 ?", "G1 X1 Y", "G5 X1", "G18", "G2 X1 Y1",
                            "G1 X" + "9" * 30, "G2 X0 Y0 R1", "G1 X1 (unclosed"]),
    ]
    weights = [30, 4, 4, 14, 3, 2, 2, 2, 12, 1]
    return rng.choices(choices, weights)[0]()


@pytest.mark.parametrize("seed", range(40))
def test_random_programs_read_alike(tmp_path, seed):
    rng = random.Random(seed)
    lines = ["G0 X0 Y0 Z0.2"] + [random_line(rng) for _ in range(rng.randint(5, 120))]
    path = broken(tmp_path, "r.gcode", "\r\n".join(lines).encode() if seed % 5 == 0 else "\n".join(lines).encode())
    for options in ({"step": 0.7}, {"step": 2.0, "laser_off": True}):
        native, python = read_both(path, **options)
        if isinstance(python, str) or isinstance(native, str):
            assert native == python
        else:
            assert_same_layers(native, python)


def random_segments(rng, n):
    segments = []
    x, y = 0.0, 0.0
    for k in range(n):
        if rng.random() < 0.2:  # a position set without a move
            x, y = rng.uniform(-5, 5), rng.uniform(-5, 5)
        nx, ny = (x, y) if rng.random() < 0.05 else (x + rng.uniform(-3, 3), y + rng.uniform(-3, 3))
        speed = rng.choice([float("nan"), 0.0, rng.uniform(1, 100)]) if rng.random() < 0.2 else rng.uniform(1, 100)
        z = rng.choice([float("nan"), 0.1]) if rng.random() < 0.02 else 0.1
        segments.append(Segment(x, y, nx, ny, rng.random() < 0.7, speed, k + 1, rng.choice([0.0, 0.01]), z, z + 0.01))
        x, y = nx, ny
    return segments


@pytest.mark.parametrize("seed", range(20))
def test_sampling_matches_the_segment_loop(seed):
    rng = random.Random(seed)
    segments = random_segments(rng, rng.randint(0, 60))
    for step, rate, laser_off in ((0.3, None, False), (0.05, None, True), (None, 500.0, True)):
        want = densify_reference(segments, step, rate, laser_off)
        try:
            got = densify(segments, step, rate, laser_off)
        except InputError:
            assert rate is not None  # a segment without a speed cannot be sampled at a rate
            continue
        assert want is not None
        np.testing.assert_array_equal(got[0], want[0])
        np.testing.assert_array_equal(got[1], want[1])
        assert set(got[2]) == set(want[2])
        for name in want[2]:
            np.testing.assert_array_equal(got[2][name], want[2][name])


@needs_realdata
def test_many_threads_read_alike():
    data = (REALDATA / REAL_GCODE[1]).read_bytes()
    want = _native.interpret_gcode(data, 0.1)
    with ThreadPoolExecutor(8) as pool:
        for got in pool.map(lambda _: _native.interpret_gcode(data, 0.1), range(32)):
            assert got == want


@pytest.mark.parametrize(
    "call",
    [
        lambda: _native.interpret_gcode(b"G1 X1", 0.0),
        lambda: _native.interpret_gcode(b"G1 X1"),
        lambda: _native.interpret_gcode(np.zeros(3), 0.1),
        lambda: _native.interpret_gcode("text", 0.1),
        lambda: _native.fill_samples(*([np.zeros(2)] * 19)),
        lambda: _native.fill_samples(*([np.zeros(1)] * 8), np.zeros(1, np.uint8), np.zeros(1, np.int64),
                                     np.array([5]), np.array([1]), np.zeros(1, np.uint8),
                                     *([np.zeros(2)] * 4), np.zeros(2, np.int8), np.zeros(2, np.int64)),
        lambda: _native.fill_samples(*([np.zeros(1)] * 8), np.zeros(1, np.uint8), np.zeros(1, np.int64),
                                     np.array([0]), np.array([1]), np.zeros(1, np.uint8),
                                     *([np.zeros(1)] * 4), np.zeros(1, np.int8), np.zeros(1, np.int64)),
        lambda: _native.fill_samples(*([np.zeros(1)] * 8), np.zeros(1, np.uint8), np.zeros(1, np.int64),
                                     np.array([0]), np.array([1]), np.zeros(1, np.uint8),
                                     *([np.zeros(2)[::2]] * 4), np.zeros(2, np.int8), np.zeros(2, np.int64)),
    ],
)
def test_bad_calls_raise_instead_of_writing_out_of_bounds(call):
    with pytest.raises((TypeError, ValueError, BufferError)):
        call()


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm is not installed")
def test_only_the_init_entry_is_exported():
    out = subprocess.run(["nm", "-D", "--defined-only", _native.__file__], capture_output=True, text=True, check=True)
    assert [line.split()[-1] for line in out.stdout.splitlines() if line.strip()] == ["PyInit__native"]


# -- path files: the table parse against the row-by-row reading ----------------------------


def random_path_file(rng, rows, line_break="\n", blank=False):
    lines = ["Mode\tX(mm)\tY(mm)\tZ(mm)\tPmod\ttParam"]
    for k in range(rows):
        mode = 1 if k == 0 or rng.random() < 0.3 else 0
        values = [mode, rng.uniform(-100, 100), rng.uniform(-100, 100), 0.04, rng.choice([0, 0.5, 1]),
                  rng.uniform(0, 2) if mode == 0 else rng.choice([0.0, 1e-4, 0.3])]
        lines.append("\t".join(f"{v:.{rng.randint(1, 17)}g}" if isinstance(v, float) else str(v) for v in values))
        if blank and rng.random() < 0.1:
            lines.append("   ")
    return line_break.join(lines) + line_break


@pytest.mark.parametrize("seed", range(12))
def test_path_files_read_as_row_by_row(tmp_path, seed):
    from rastermark_tools import read_scan_path, readers

    rng = random.Random(seed)
    text = random_path_file(rng, rng.randint(1, 300), "\r\n" if seed % 3 == 0 else "\n", blank=seed % 4 == 1)
    path = broken(tmp_path, "p.txt", text.encode())
    fast = readers._scan_path_segments_fast(path.read_bytes())
    assert (fast is None) == (seed % 4 == 1)  # blank rows shift the row numbers: row by row
    rows = readers._scan_path_segments(text.splitlines(), path)
    for laser_off in (False, True):
        got = read_scan_path(path, step=0.5, laser_off=laser_off)
        want = densify_reference(rows, 0.5, None, laser_off)
        np.testing.assert_array_equal(got.x, want[0])
        np.testing.assert_array_equal(got.y, want[1])
        for name in want[2]:
            np.testing.assert_array_equal(got.columns[name], want[2][name])


def test_shipped_path_files_take_the_table_parse():
    from rastermark_tools import readers
    from support import SHIPPED

    for path in sorted(SHIPPED.glob("*.txt")):
        assert readers._scan_path_segments_fast(path.read_bytes()) is not None
