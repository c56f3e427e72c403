"""Machine files read right or refused clearly: input columns that share a
name with an output column, an output that would replace an input, G-code
modal groups and firmware conventions, numbers out of range, and the
command line's defaults."""

import os

import numpy as np
import pytest

pytest.importorskip("pyarrow")

from rastermark_tools import InputError, read_csv, read_gcode, read_layers, read_scan_path  # noqa: E402
from support import REALDATA, broken, cli, needs_h5py, needs_realdata, vertices  # noqa: E402

# -- input columns named like output columns -------------------------------------------


def read_table(path):
    if path.suffix == ".npz":
        return dict(np.load(path))
    import pyarrow.csv as pa_csv
    import pyarrow.parquet as pq

    table = pq.read_table(path) if path.suffix == ".parquet" else pa_csv.read_csv(path)
    return {name: table.column(name).to_numpy(zero_copy_only=False) for name in table.column_names}


@pytest.fixture
def log_with_output_names(tmp_path):
    """A CSV log whose columns include layer, sample_index and scanline_id."""
    rows = ["x,y,layer,sample_index,scanline_id"]
    for k in range(40):
        rows.append(f"{k % 2},{k // 2},{k // 20},{k},{7}")
    return broken(tmp_path, "log.csv", ("\n".join(rows) + "\n").encode())


@pytest.mark.parametrize("suffix", [".npz", ".csv", ".parquet"])
@pytest.mark.parametrize("split", [False, True])
def test_input_columns_named_like_output_columns_come_along_renamed(tmp_path, log_with_output_names, suffix, split):
    out = tmp_path / f"out{suffix}"
    args = ["--layer-column", "layer"] if split else []
    result = cli("label", log_with_output_names, "-o", out, "-q", *args)
    assert result.returncode == 0, result.stderr
    got = read_table(out)
    assert {len(v) for name, v in got.items() if name != "source_names"} == {40}
    np.testing.assert_array_equal(got["input_layer"], np.arange(40) // 20)
    np.testing.assert_array_equal(got["input_sample_index"], np.arange(40))
    np.testing.assert_array_equal(got["input_scanline_id"], np.full(40, 7))
    np.testing.assert_array_equal(got["layer"], np.arange(40) // 20 if split else np.zeros(40))
    # A label output read back in and labelled again keeps its first labels (under a
    # name clear of the input_scanline_id it already has).
    again = tmp_path / f"again{suffix}"
    result = cli("label", out, "-o", again, "-q")
    assert result.returncode == 0, result.stderr
    second = read_table(again)
    np.testing.assert_array_equal(second["input_input_scanline_id"], got["scanline_id"])
    np.testing.assert_array_equal(second["input_scanline_id"], got["input_scanline_id"])
    np.testing.assert_array_equal(second["scanline_id"], got["scanline_id"])


@needs_h5py
def test_hdf5_by_dataset_path_gives_x_and_y_once(tmp_path):
    import h5py

    with h5py.File(tmp_path / "scan.h5", "w") as f:
        f["scan/x"] = np.repeat(np.arange(6.0), 5)
        f["scan/y"] = np.tile(np.arange(5.0), 6)
        f["scan/power"] = np.full(30, 200.0)
    layer = read_layers(tmp_path / "scan.h5", "/scan/x", "/scan/y")[0]
    assert set(layer.columns) == {"power"}
    for command, out in (("lines", "t.csv"), ("label", "l.parquet")):
        result = cli(command, tmp_path / "scan.h5", "--x", "/scan/x", "--y", "/scan/y", "-o", tmp_path / out, "-q")
        assert result.returncode == 0, result.stderr


def test_output_that_is_an_input_is_refused(tmp_path, log_with_output_names):
    before = log_with_output_names.read_bytes()
    result = cli("label", log_with_output_names, "-o", log_with_output_names)
    assert result.returncode == 2 and "would be replaced" in result.stderr
    assert log_with_output_names.read_bytes() == before


# -- G-code: modal groups and firmware conventions ------------------------------------


@pytest.mark.parametrize(
    "program, want, on",
    [
        # a stand-alone S line switches the power of the moves after it (travel after the
        # last printing move is left out)
        ("G0 X0 Y0\nG1 X1 F600\nS1000\nG1 X2\nS0\nG1 X3\n", [(0, 0), (1, 0), (2, 0)], [0, 0, 1]),
        # S on M104 (temperature) and G4 (dwell seconds) is no laser power
        ("G0 X0 Y0\nM104 S215\nG1 X1\nG4 S2\nG1 X2\n", [(0, 0), (1, 0), (2, 0)], None),
        # G28 goes home, a place the file does not state: no cut to the origin, the path breaks
        ("G0 X5 Y5\nM3 S100\nG1 X6\nG28 X0 Y0\nG1 X7 Y5\nG1 X8\n", [(5, 5), (6, 5), (7, 5), (8, 5)], [1, 1, 1, 1]),
        ("G0 X5 Y5\nM3 S100\nG1 X6\nG30\nG1 X7 Y5\nG1 X8\n", [(5, 5), (6, 5), (7, 5), (8, 5)], [1, 1, 1, 1]),
        # G53 moves in machine coordinates: unknown here; G10 L20 sets the position without a move
        ("G0 X5 Y5\nM3 S100\nG1 X6\nG53 G0 X0 Y0\nG1 X7 Y5\nG1 X8\n", [(5, 5), (6, 5), (7, 5), (8, 5)], [1, 1, 1, 1]),
        ("G0 X0 Y0\nM3 S100\nG1 X1\nG10 L20 P1 X0 Y0\nG1 X1\n", [(0, 0), (1, 0), (0, 0), (1, 0)], [1, 1, 1, 1]),
        # G80 cancels the motion mode: the axis words after it move nothing
        ("G0 X0 Y0\nM3 S100\nG1 X1\nG80 X20\nX30\nG1 X2\n", [(0, 0), (1, 0), (2, 0)], [1, 1, 1]),
        # the first move starts from an unknown place and only sets the position
        ("M3 S100\nG1 X10 Y10\nG1 X11\n", [(10, 10), (11, 10)], [1, 1]),
        # compact words: X1E5 is X1 and E5
        ("G0X0Y0\nG1X1E5\n", [(0, 0), (1, 0)], [1, 1]),
        # line numbers and checksums as hosts send them, and a block-delete mark
        ("N1 G0 X0 Y0*33\nN2 G1 X1 E1*40\n/G1 X2 E2\n", [(0, 0), (1, 0), (2, 0)], [1, 1, 1]),
    ],
)
def test_gcode_modal_state(tmp_path, program, want, on):
    path = broken(tmp_path, "p.gcode", program.encode())
    layers = read_gcode(path, step=1000.0, laser_off=True)
    got = [v for layer in layers for v in vertices(layer)]
    assert got == [(float(a), float(b)) for a, b in want]
    if on is not None:
        assert np.concatenate([layer.columns["laser_on"] for layer in layers]).tolist() == on


def test_gcode_spiral_is_one_layer_and_z_comes_along(tmp_path):
    lines = ["G0 X0 Y0 Z0.2", "G1 X10 E1 F600"]
    for k in range(1, 200):  # a vase climbing while it prints
        lines.append(f"G1 X{10 * (k % 2)} Y{k % 3} Z{0.2 + k * 0.001:.3f} E{k + 1}")
    (layer,) = read_gcode(broken(tmp_path, "vase.gcode", "\n".join(lines).encode()), step=0.5)
    assert layer.columns["z"][0] == 0.2 and layer.columns["z"][-1] == pytest.approx(0.399)
    assert np.all(np.diff(layer.columns["z"]) >= 0)


def test_gcode_travel_only_file_reads_with_laser_off(tmp_path):
    path = broken(tmp_path, "travel.gcode", b"G0 X0 Y0\nG0 X5 Y0\nG0 X5 Y5\n")
    with pytest.raises(InputError, match="no printing moves.*--laser-off"):
        read_gcode(path)
    (layer,) = read_gcode(path, step=1.0, laser_off=True)
    assert len(layer) == 11 and not layer.columns["laser_on"].any()


@pytest.mark.parametrize(
    "program, message",
    [
        (b"G0 X0 Y0\nG1 X1e-05 Y0 S100\n", "e.gcode:2: a number with an exponent"),
        (b"G0 X0 Y0\nG1 X2E+3 S100\n", "e.gcode:2: a number with an exponent"),
        (b"G0 X0 Y0\nG1 X" + b"9" * 400 + b" S100\n", "e.gcode:2: X999"),
        (b"G0 X0 Y0\nG1 X2000000 S100\n", "e.gcode:2: X2000000 is out of range"),
        (b"G20\nG0 X0 Y0\nG1 X900000 S100\n", "e.gcode:3: the move leaves the range"),
        (b"G0 X0 Y0\nG1 X900000 Y900000 S100\n", "e.gcode:2: a move of 1.27279e+06 mm would take"),
    ],
)
def test_gcode_numbers_out_of_range_name_the_line(tmp_path, program, message):
    with pytest.raises(InputError) as raised:
        read_gcode(broken(tmp_path, "e.gcode", program), step=0.1)
    assert message in str(raised.value)


def test_an_arc_of_too_many_pieces_is_refused(tmp_path):
    path = broken(tmp_path, "arc.gcode", b"G0 X0 Y0\nG2 X0 Y0 I100000 J0 S100\n")
    for engine in ("native", "python"):
        with pytest.raises(InputError, match=r"arc.gcode:2: an arc of radius 100000 mm would take more than 10\^8"):
            read_gcode(path, step=1e-4, engine=engine)


def test_move_sample_limit_is_named_and_can_be_lifted(tmp_path):
    path = broken(tmp_path, "long.gcode", b"G0 X0 Y0\nG1 X1000 S100\n")
    with pytest.raises(InputError, match=r"long.gcode:2: .*more than the limit of 5,000.*--max-samples"):
        read_gcode(path, step=0.1, max_samples=5000)
    assert len(read_gcode(path, step=0.1, max_samples=20000)[0]) == 10001
    result = cli("label", path, "-o", tmp_path / "o.npz", "--step", "0.1", "--max-samples", "5000")
    assert result.returncode == 1 and "long.gcode:2:" in result.stderr and "Traceback" not in result.stderr


# -- path files and tables ---------------------------------------------------------------

PATH_HEADER = b"Mode\tX(mm)\tY(mm)\tZ(mm)\tPmod\ttParam\n"


@pytest.mark.parametrize("bad", [b"nan", b"inf", b"-inf", b"1" * 400])
def test_path_file_non_finite_value_names_the_line(tmp_path, bad):
    body = PATH_HEADER + b"1\t0\t0\t0.02\t0\t0.001\n0\t" + bad + b"\t1\t0.02\t1\t1.0\n"
    with pytest.raises(InputError, match=r"p.txt:3: column X\(mm\): expected a finite number"):
        read_scan_path(broken(tmp_path, "p.txt", body))


def test_path_file_gives_z(tmp_path):
    body = PATH_HEADER + b"1\t0\t0\t0.04\t0\t0.001\n0\t1\t0\t0.04\t1\t1.0\n"
    layer = read_scan_path(broken(tmp_path, "p.txt", body), step=0.5)
    assert layer.columns["z"].tolist() == [0.04, 0.04, 0.04]


def test_csv_nan_and_inf_cells_are_numbers_and_empty_cells_are_refused(tmp_path):
    layer = read_csv(broken(tmp_path, "n.csv", b"x,y\n1,nan\n2,NaN\n3,inf\n4,-inf\n"))
    assert np.isnan(layer.y[:2]).all() and layer.y[2:].tolist() == [np.inf, -np.inf]
    with pytest.raises(InputError, match="row 2: column 'y': expected a number, got an empty value"):
        read_csv(broken(tmp_path, "e.csv", b"x,y\n1,2\n3,\n"))


# -- the command line's defaults -----------------------------------------------------------


@pytest.mark.parametrize("args", [["--step", "0"], ["--step", "-1"], ["--rate", "0"], ["--max-samples", "0"]])
def test_non_positive_sampling_is_a_bad_argument(tmp_path, args):
    result = cli("label", "in.txt", "-o", tmp_path / "o.csv", *args)
    assert result.returncode == 2 and "must be" in result.stderr


@needs_realdata
def test_engraving_is_labelled_by_default_and_says_how(tmp_path):
    result = cli("label", REALDATA / "laser_lightburn_scanfill_jodon.gcode", "--laser-off", "-o", tmp_path / "l.npz")
    assert result.returncode == 0, result.stderr
    ids = np.load(tmp_path / "l.npz")["scanline_id"]
    assert np.mean(ids > 0) >= 0.8
    # one line for the file, saying which orientation was chosen
    assert result.stderr.count("orientation yx") == 1


@needs_realdata
def test_plot_reports_the_layer_it_draws(tmp_path):
    path = REALDATA / "fdm_prusaslicer_15x150_45deg.gcode"
    result = cli("plot", path, "--layer", "2", "-o", tmp_path / "p.png")
    assert result.returncode == 0, result.stderr
    samples = len(read_gcode(path)[2])
    assert f"1 layer(s), {samples:,} samples" in result.stdout


@needs_realdata
def test_process_workers_do_not_fork_a_threaded_process(tmp_path):
    files = [REALDATA / "fdm_prusaslicer_15x150_45deg.gcode", REALDATA / "fdm_cura_UM2_45_platte_klein.gcode"]
    result = cli("lines", *files, "--workers", "2", "-o", tmp_path / "t.csv")
    assert result.returncode == 0, result.stderr
    assert "fork()" not in result.stderr


def test_source_is_a_dictionary_column(tmp_path, log_with_output_names):
    other = broken(tmp_path, "other.csv", b"x,y\n0,0\n1,1\n")
    for suffix in (".parquet", ".npz"):
        out = tmp_path / f"two{suffix}"
        assert cli("label", log_with_output_names, other, "-o", out, "-q").returncode == 0
        if suffix == ".npz":
            got = np.load(out)
            names = got["source_names"][got["source"]]
        else:
            import pyarrow as pa
            import pyarrow.parquet as pq

            column = pq.read_table(out).column("source")
            assert pa.types.is_dictionary(column.type)
            names = np.array(column.to_pylist())
        assert names.tolist() == ["log.csv"] * 40 + ["other.csv"] * 2


def test_rasterised_picture_marks_lines_and_skips_non_finite_samples():
    from rastermark_tools.cli import rasterise

    x = np.array([0.0, 1.0, 2.0, np.nan, 2.0])
    y = np.array([0.0, 0.0, 1.0, 5.0, np.inf])
    ids = np.array([-1, 3, 3, 4, 4], np.int32)
    image, extent = rasterise(x, y, ids, width=2, height=2)
    assert extent[0] == 0.0 and extent[2] == 0.0 and extent[1] >= 2.0 and extent[3] >= 1.0
    colour = 2 + (3 * 7) % 20
    assert image.shape == (2, 3)  # pixels of 1 x 1 over the 2 x 1 extent
    assert image[0, 0] == 1 and image[0, 1] == colour and image[1, 2] == colour and image[1, 0] == 0
    assert rasterise(np.array([np.nan]), np.array([1.0]), np.array([1], np.int32), 4, 4)[0].shape == (1, 1)


@pytest.mark.skipif(os.environ.get("RASTERMARK_SANITIZED") == "1", reason="an address-space limit and ASan do not mix")
def test_running_out_of_memory_is_a_message(tmp_path):
    import subprocess
    import sys

    path = broken(tmp_path, "big.gcode", b"G0 X0 Y0\n" + b"".join(b"G1 X%d Y%d S9\n" % (k % 2 * 900, k) for k in range(400)))
    code = ("import resource, sys; resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30));"
            "from rastermark_tools.cli import main; sys.exit(main(sys.argv[1:]))")
    out = subprocess.run([sys.executable, "-c", code, "label", str(path), "--step", "0.0005", "-o",
                          str(tmp_path / "o.npz")], capture_output=True, text=True, timeout=300)
    assert out.returncode == 1 and "not enough memory" in out.stderr and "Traceback" not in out.stderr, out.stderr
