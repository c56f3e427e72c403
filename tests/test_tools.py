"""The toolkit around annotate_scanlines: readers on every real file and on
broken copies, G-code modal state, the per-scanline table against a slow
per-line computation, and the command line end to end."""

import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("pyarrow")

import rastermark  # noqa: E402
from rastermark_tools import (  # noqa: E402
    InputError,
    read_csv,
    read_gcode,
    read_hdf5,
    read_layers,
    read_numpy,
    read_parquet,
    read_scan_path,
    scanline_table,
)

from support import REALDATA, SHIPPED, broken, cli, needs_h5py, needs_realdata, vertices  # noqa: E402


def hatch_count(layer):
    return len(np.unique(layer.columns["vector"][layer.columns["laser_on"] == 1]))


# -- readers on the real files ------------------------------------------------------

# Laser-on vectors per layer, as the data's sources state.
PEREGRINE_HATCHES = {"0000050.txt": 166, "0000051.txt": 166, "0000052.txt": 164, "0000053.txt": 166,
                     "0000054.txt": 161}


@pytest.mark.parametrize("name, hatches", PEREGRINE_HATCHES.items())
def test_shipped_powder_bed_layers(name, hatches):
    layer = read_scan_path(SHIPPED / name, step=0.01)
    assert hatch_count(layer) == hatches
    assert layer.x.dtype == np.float64 and len(layer.x) == len(layer.y) == len(layer.columns["t"])
    assert np.all(np.diff(layer.columns["t"]) >= 0)
    # Laser-on samples are 0.01 mm apart or less along each hatch.
    vector = layer.columns["vector"]
    steps = np.hypot(np.diff(layer.x), np.diff(layer.y))[vector[1:] == vector[:-1]]
    assert steps.max() <= 0.01 + 1e-9
    # At a rate, the samples follow the speed: 750 mm/s at 100 kHz is 7.5 um.
    timed = read_scan_path(SHIPPED / name, step=None, rate=100_000)
    dt = np.diff(timed.columns["t"])[(timed.columns["laser_on"] == 1)[1:]]
    assert np.median(dt) == pytest.approx(1e-5, rel=0.01)
    with_off = read_scan_path(SHIPPED / name, laser_off=True)
    assert len(with_off) > len(layer) and set(np.unique(with_off.columns["laser_on"])) == {0, 1}


@needs_realdata
def test_shipped_layers_are_the_shared_ones():
    for name in PEREGRINE_HATCHES:
        assert (SHIPPED / name).read_bytes() == (REALDATA / "pbf_peregrine_P5" / name).read_bytes()


@needs_realdata
@pytest.mark.parametrize(
    "name, layers, printing, moves",
    [
        # printing moves, as the sources count them, and the XY moves up to the last printing one
        # that start from a known place (not the first move of the file, nor the one after a G28)
        ("fdm_prusaslicer_15x150_45deg.gcode", 5, 2822, 2872),
        ("fdm_cura_UM2_45_platte_klein.gcode", 20, 6799, 13496),
        ("laser_lightburn_scanfill_jodon.gcode", 1, 8228, 20606),
    ],
)
def test_real_gcode(name, layers, printing, moves):
    read = read_gcode(REALDATA / name)
    assert len(read) == layers
    assert sum(hatch_count(layer) for layer in read) == printing
    everything = read_gcode(REALDATA / name, laser_off=True)
    assert sum(len(np.unique(layer.columns["vector"])) for layer in everything) == moves


@needs_realdata
def test_real_ded_table():
    layer = read_csv(REALDATA / "ded_pelican_in718_positions.csv", "x_mm", "y_mm")
    assert len(layer) == 8001
    assert set(layer.columns) == {"t_s", "z_mm", "meltpool_on"}
    split = read_layers(REALDATA / "ded_pelican_in718_positions.csv", "x_mm", "y_mm", layer_column="z_mm")
    assert sum(len(part) for part in split) == 8001
    assert np.array_equal(np.concatenate([part.x for part in split]), layer.x)


# -- tables in every format give the same samples ------------------------------------


@pytest.fixture
def table_files(tmp_path):
    pa = pytest.importorskip("pyarrow")
    h5py = pytest.importorskip("h5py")
    import pyarrow.csv as pa_csv
    import pyarrow.parquet as pq

    rng = np.random.default_rng(3)
    x, y, power = rng.normal(size=50), rng.normal(size=50), rng.integers(0, 400, 50)
    np.savez(tmp_path / "a.npz", x=x, y=y, power=power)
    np.save(tmp_path / "a.npy", np.stack([x, y], axis=1))
    table = pa.table({"x": x, "y": y, "power": power})
    pa_csv.write_csv(table, tmp_path / "a.csv")
    pa_csv.write_csv(table, tmp_path / "a.tsv", pa_csv.WriteOptions(delimiter="\t"))
    pq.write_table(table, tmp_path / "a.parquet")
    with h5py.File(tmp_path / "a.h5", "w") as f:
        f["scan/x"], f["scan/y"], f["scan/power"] = x, y, power
    return tmp_path, x, y, power


def test_every_table_format_reads_the_same_samples(table_files):
    folder, x, y, power = table_files
    readers = [read_numpy(folder / "a.npz"), read_numpy(folder / "a.npy"), read_csv(folder / "a.csv"),
               read_csv(folder / "a.tsv"), read_parquet(folder / "a.parquet"),
               read_hdf5(folder / "a.h5", "/scan/x", "/scan/y"), read_csv(folder / "a.csv", 0, "1")]
    for layer in readers:
        np.testing.assert_array_equal(layer.x, x)
        np.testing.assert_array_equal(layer.y, y)
    for layer in readers[:1] + readers[2:6]:
        np.testing.assert_array_equal(layer.columns["power"], power)


# -- broken inputs ------------------------------------------------------------------


GOOD_PATH = (SHIPPED / "0000050.txt").read_bytes() if SHIPPED.is_dir() else b""


@pytest.mark.parametrize(
    "name, content, message",
    [
        ("empty.txt", b"", "empty.txt: empty file"),
        ("junk.txt", bytes(range(256)) * 4, "junk.txt:1: expected text, found binary data"),
        ("header.txt", b"a\tb\n1\t2\n", "header.txt:1: expected the header 'Mode X(mm) Y(mm) Z(mm) Pmod tParam'"),
        ("number.txt", GOOD_PATH.replace(b"207.418", b"207.4x8", 1), "number.txt:3: column X(mm): expected a number, got '207.4x8'"),
        ("short.txt", GOOD_PATH[:200].rsplit(b"\t", 1)[0], "short.txt:7: expected 6 columns"),
        ("mode.txt", GOOD_PATH.replace(b"\n0\t207.418", b"\n7\t207.418", 1), "mode.txt:3: column Mode: expected 0 or 1, got 7"),
        ("empty.csv", b"", "empty.csv: empty file"),
        ("header_only.csv", b"x,y\n", "header_only.csv: no rows after the header"),
        ("missing.csv", b"a,y\n1,2\n", "missing.csv: no column 'x' (the file has: a, y)"),
        ("bad.csv", b"x,y\n1,2\n3,4\n5,oops\n", "bad.csv: row 3: column 'y': expected a number, got 'oops'"),
        ("gap.csv", b"x,y\n1,2\n3,\n", "gap.csv: row 2: column 'y': expected a number, got an empty value"),
        ("ragged.csv", b"x,y\n1,2\n3,4,5\n", "ragged.csv: CSV parse error: Expected 2 columns, got 3"),
        ("junk.parquet", b"PAR1 not really", "junk.parquet: not a readable Parquet file"),
        ("junk.npz", b"PK\x03\x04junk", "junk.npz: not a readable NumPy file"),
        pytest.param("junk.h5", b"\x89HDF junk", "junk.h5: not a readable HDF5 file", marks=needs_h5py),
        ("layer.dat", b"1 2\n", "layer.dat: unknown kind of file '.dat'"),
        ("empty.gcode", b"", "empty.gcode: empty file"),
        ("travel.gcode", b"G0 X1 Y1\nG0 X2 Y2\n", "travel.gcode: no printing moves"),
        ("number.gcode", b"G1 X1 Y1 E1\nG1 X2.5.1 Y2 E2\n", "number.gcode:2: expected words of a letter and a number, could not read '.1'"),
        ("spline.gcode", b"G1 X1 Y1 E1\nG5 X3 Y3 I1 J1 P1 Q1\n", "spline.gcode:2: G5 (spline moves) is not supported"),
        ("plane.gcode", b"G18\nG1 X1 Y1 E1\n", "plane.gcode:1: G18 (arcs outside the XY plane) is not supported"),
        ("arc.gcode", b"G1 X1 Y1 E1\nG2 X3 Y1 E2\n", "arc.gcode:2: arc without I/J or R"),
        ("radius.gcode", b"G1 X0 Y0 E1\nG2 X10 Y0 R1 E2\n", "radius.gcode:2: arc radius R1 cannot join points 10 mm apart"),
    ],
)
def test_broken_inputs_name_the_file_and_place(tmp_path, name, content, message):
    path = broken(tmp_path, name, content)
    with pytest.raises(InputError) as raised:
        read_layers(path)
    assert str(raised.value).startswith(f"{path.parent}/{message}"), str(raised.value)


# -- G-code modal state -----------------------------------------------------------


@pytest.mark.parametrize(
    "program, want",
    [
        # absolute, then relative moves; extrusion decides printing
        ("G90\nG0 X1 Y1\nG1 X2 Y1 E1\nG91\nG1 X1 Y2 E1\nG1 X-3 E1\n", [(1, 1), (2, 1), (3, 3), (0, 3)]),
        # inches
        ("G20\nG0 X1 Y0\nG1 X2 E1\n", [(25.4, 0), (50.8, 0)]),
        # absolute extrusion: E that does not grow is travel (M82), relative E > 0 prints (M83)
        ("G0 X0 Y0\nM82\nG1 X1 Y0 E1\nG1 X2 E1\nG1 X3 E2\n", [(0, 0), (1, 0), (2, 0), (3, 0)]),
        ("G0 X0 Y0\nM83\nG1 X1 Y0 E1\nG1 X2 E-1\nG1 X3 E0.5\n", [(0, 0), (1, 0), (2, 0), (3, 0)]),
        # G92 resets the position without a move; modal G1 without the word
        ("G0 X0 Y0\nG1 X5 Y5 E1\nG92 X0 Y0\nX1 Y0 E2\n", [(0, 0), (5, 5), (0, 0), (1, 0)]),
        # laser power: S on G1, M5 off, M3 on again
        ("M3 S100\nG0 X1 Y0\nG1 X2 Y0\nM5\nG1 X3 Y0\nM3 S50\nG1 X4 Y0\n", [(1, 0), (2, 0), (3, 0), (4, 0)]),
        # (travel after the last printing move is left out)
        ("G0 X0 Y0\nG1 X1 Y0 S0\nG1 X2 Y0 S200\nG1 X3 Y0 S0\n", [(0, 0), (1, 0), (2, 0)]),
    ],
)
def test_gcode_positions(tmp_path, program, want):
    path = broken(tmp_path, "p.gcode", program.encode())
    (layer,) = read_gcode(path, step=1000.0, laser_off=True)
    assert vertices(layer)[-len(want):] == [(float(a), float(b)) for a, b in want]


def test_gcode_laser_on_and_layers(tmp_path):
    program = "G0 X0 Y0\nG1 Z0.2\nG1 X1 Y0 E1\nG0 X1 Y1\nG1 X2 Y1 E2\nG1 Z0.4\nG0 X5 Y5\nG1 X6 Y5 E3\n"
    path = broken(tmp_path, "l.gcode", program.encode())
    first, second = read_gcode(path, step=1000.0)
    assert vertices(first) == [(0, 0), (1, 0), (1, 1), (2, 1)]
    assert first.columns["laser_on"].tolist() == [1, 1, 1, 1]
    assert vertices(second) == [(5, 5), (6, 5)]
    (first, second) = read_gcode(path, step=1000.0, laser_off=True)
    assert first.columns["laser_on"].tolist() == [1, 1, 0, 1]
    assert vertices(second) == [(2, 1), (5, 5), (6, 5)]  # the travel leads into the layer it belongs to


@pytest.mark.parametrize(
    "arc, centre, clockwise",
    [("G2 X10 Y0 I5 J0", (5, 0), True), ("G3 X10 Y0 I5 J0", (5, 0), False),
     ("G2 X10 Y0 R5", (5, 0), True), ("G3 X0 Y0 I5 J0", (5, 0), False)],
)
def test_gcode_arcs(tmp_path, arc, centre, clockwise):
    path = broken(tmp_path, "a.gcode", f"G1 X0 Y0 F600\n{arc} E1\n".encode())
    (layer,) = read_gcode(path, step=0.05)
    radius = np.hypot(layer.x - centre[0], layer.y - centre[1])
    np.testing.assert_allclose(radius, 5.0, atol=1e-3)
    assert (layer.x[-1], layer.y[-1]) == pytest.approx((10.0, 0.0) if "X10" in arc else (0.0, 0.0))
    # clockwise from (0, 0) about (5, 0) goes up first (y > 0), counter-clockwise goes down
    assert (layer.y[len(layer.y) // 4] > 0) == clockwise
    # F600 mm/min is 10 mm/s: a half circle of 5 mm takes pi / 2 s
    full = "X0 Y0" in arc
    assert layer.columns["t"][-1] == pytest.approx((2 if full else 1) * np.pi * 5 / 10, rel=1e-3)


# -- the per-scanline table -----------------------------------------------------------


def slow_table(x, y, ids, t, power):
    rows = []
    for ident in sorted(set(ids[ids > 0].tolist())):
        where = np.flatnonzero(ids == ident)
        a, b = where.min(), where.max()
        ax, ay, bx, by = x[a], y[a], x[b], y[b]
        chord = np.hypot(bx - ax, by - ay)
        far = 0.0
        for i in where:
            if chord > 0:
                d = abs((x[i] - ax) * (by - ay) - (y[i] - ay) * (bx - ax)) / chord
            else:
                d = np.hypot(x[i] - ax, y[i] - ay)
            far = max(far, d)
        rows.append(dict(scanline_id=ident, first_sample=a, last_sample=b, samples=len(where), length=chord,
                         direction_deg=np.degrees(np.arctan2(by - ay, bx - ax)) % 360, straightness=far,
                         duration=t[b] - t[a], mean_power=np.mean(power[where])))
    return rows


@pytest.mark.parametrize("seed", range(6))
def test_table_matches_a_slow_computation(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(0, 400))
    x, y = np.cumsum(rng.normal(size=n)), np.cumsum(rng.normal(size=n))
    t, power = np.sort(rng.uniform(0, 10, n)), rng.uniform(0, 400, n)
    # Arbitrary labelling, ids not in path order and not contiguous.
    ids = rng.integers(-1, 12, n).astype(np.int32)
    ids[ids == 0] = -1
    table = scanline_table(x, y, ids, t=t, power=power)
    want = slow_table(x, y, ids, t, power)
    assert len(table["scanline_id"]) == len(want)
    for k, row in enumerate(want):
        for key, value in row.items():
            got = table[key if key != "mean_power" else "mean_power"][k]
            assert got == pytest.approx(value, rel=1e-9, abs=1e-9), (key, k)
    assert np.all(table["angle_deg"] == table["direction_deg"] % 180)


def test_table_singles_out_a_line_that_swallowed_a_jump():
    x = np.concatenate([np.zeros(10), np.full(10, 5.0)])
    y = np.concatenate([np.arange(10.0), np.arange(10.0)])
    ids = np.array([1] * 10 + [2] * 5 + [3] * 5, np.int32)
    ids[9] = 2  # the jump's far end joins line 2
    table = scanline_table(x, y, ids)
    assert table["straightness"][0] == 0
    assert table["straightness"][1] > 1


# -- the command line ----------------------------------------------------------------


def test_console_script_installed():
    script = Path(sys.executable).parent / "rastermark"
    out = subprocess.run([str(script), "--help"], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0 and "label" in out.stdout and "lines" in out.stdout and "plot" in out.stdout


@pytest.mark.parametrize("suffix", [".parquet", ".csv", ".npz"])
def test_label_round_trip_keeps_every_row(tmp_path, table_files, suffix):
    folder, x, y, power = table_files
    out = cli("label", folder / "a.npz", "-o", tmp_path / f"out{suffix}", "-q")
    assert out.returncode == 0, out.stderr
    if suffix == ".npz":
        got = dict(np.load(tmp_path / "out.npz"))
    elif suffix == ".csv":
        import pyarrow.csv as pa_csv

        got = {k: v.to_numpy() for k, v in zip(*[pa_csv.read_csv(tmp_path / "out.csv").column_names,
                                                   pa_csv.read_csv(tmp_path / "out.csv").columns])}
    else:
        import pyarrow.parquet as pq

        got = {k: v.to_numpy() for k, v in zip(pq.read_table(tmp_path / "out.parquet").column_names,
                                                pq.read_table(tmp_path / "out.parquet").columns)}
    np.testing.assert_array_equal(got["x"], x)
    np.testing.assert_array_equal(got["y"], y)
    np.testing.assert_array_equal(got["power"], power)
    np.testing.assert_array_equal(got["sample_index"], np.arange(len(x)))
    np.testing.assert_array_equal(got["scanline_id"], rastermark.annotate_scanlines(x, y))


def test_lines_and_plot_on_every_real_file(tmp_path):
    inputs = sorted(SHIPPED.glob("*.txt"))
    extra = []
    if REALDATA.is_dir():
        extra = [REALDATA / n for n in ("fdm_prusaslicer_15x150_45deg.gcode", "fdm_cura_UM2_45_platte_klein.gcode")]
    out = cli("lines", *inputs, *extra, "-o", tmp_path / "lines.parquet", "--workers", "2", "-q")
    assert out.returncode == 0, out.stderr
    import pyarrow.compute as pc
    import pyarrow.parquet as pq

    table = pq.read_table(tmp_path / "lines.parquet")
    for column in ["layer", "scanline_id", "first_sample", "last_sample", "samples", "length", "angle_deg",
                   "straightness"]:
        assert column in table.column_names
    # layers are numbered within their file
    layers = {(s, n) for s, n in zip(table.column("source").to_pylist(), table.column("layer").to_pylist())}
    assert len(layers) == 5 + (25 if extra else 0)
    assert max(n for _, n in layers) == (19 if extra else 0)
    first = table.filter(pc.equal(table.column("source"), inputs[0].name))
    assert 100 < first.num_rows < 170  # layer 50 has 166 hatches
    out = cli("plot", inputs[0], "-o", tmp_path / "layer.png")
    assert out.returncode == 0, out.stderr
    assert (tmp_path / "layer.png").read_bytes()[:4] == b"\x89PNG"
    assert "scanlines" in out.stdout


@needs_realdata
def test_orient_auto_turns_a_raster_along_x(tmp_path):
    out = cli("label", REALDATA / "laser_lightburn_scanfill_jodon.gcode", "--laser-off", "--orient", "auto",
              "-o", tmp_path / "l.npz")
    assert out.returncode == 0, out.stderr
    assert "orientation yx" in out.stderr
    ids = np.load(tmp_path / "l.npz")["scanline_id"]
    assert len(np.unique(ids[ids > 0])) > 1000


def test_failed_input_writes_nothing_and_exits_1(tmp_path):
    good = SHIPPED / "0000050.txt"
    bad = broken(tmp_path, "bad.csv", b"x,y\n1,2\n3,oops\n")
    target = tmp_path / "out.parquet"
    out = cli("label", good, bad, "-o", target)
    assert out.returncode == 1
    assert f"{bad}: row 2: column 'y'" in out.stderr and "1 of 2 input(s) failed" in out.stderr
    assert not target.exists() and list(tmp_path.iterdir()) == [bad]
    target.write_bytes(b"kept")
    assert cli("label", bad, "-o", target).returncode == 1
    assert target.read_bytes() == b"kept"


@pytest.mark.parametrize(
    "args",
    [["label"], ["label", "in.txt"], ["label", "in.txt", "-o", "out.txt"], ["plot", "a.txt", "b.txt", "-o", "p.png"],
     ["lines", "in.txt", "-o", "t.npz"], ["label", "in.txt", "-o", "o.csv", "--workers", "0"],
     ["label", "in.txt", "-o", "o.csv", "--swap-axes", "--orient", "auto"], ["frobnicate"]],
)
def test_bad_arguments_exit_2(args, tmp_path):
    out = cli(*args)
    assert out.returncode == 2, out.stderr
    assert "usage: rastermark" in out.stderr


def test_whole_build_on_a_dask_cluster_matches_the_serial_run(tmp_path):
    distributed = pytest.importorskip("dask.distributed")
    inputs = sorted(SHIPPED.glob("*.txt"))
    assert cli("label", *inputs, "-o", tmp_path / "serial.npz", "-q").returncode == 0
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        out = cli("label", *inputs, "-o", tmp_path / "dask.npz", "--scheduler", cluster.scheduler_address, "-q")
    assert out.returncode == 0, out.stderr
    serial, on_dask = np.load(tmp_path / "serial.npz"), np.load(tmp_path / "dask.npz")
    for key in ("layer", "sample_index", "x", "y", "scanline_id"):
        np.testing.assert_array_equal(serial[key], on_dask[key])
