"""CLI slice files: the real ones, every form of one geometry read alike,
and truncated or inconsistent files refused with their byte or line."""

import re

import numpy as np
import pytest

from rastermark_tools import InputError, read_layers, read_slices
from rastermark_tools.slices import KIND_CONTOUR, KIND_HATCH, KIND_JUMP
from support import REALDATA, needs_realdata, write_cli


def vectors_of(layer, kind):
    return np.unique(layer.columns["vector"][layer.columns["kind"] == kind])


@needs_realdata
def test_real_slice_files():
    path = REALDATA / "cli" / "frustum_ascii.cli"
    frustum = read_layers(path)
    assert len(frustum) == 100
    # each layer's hatch count as its $$HATCHES command announces it (24 to 39: the frustum narrows)
    announced = [int(m) for m in re.findall(r"\$\$HATCHES/\d+,(\d+)", path.read_text())]
    assert [len(vectors_of(layer, KIND_HATCH)) for layer in frustum] == announced
    for layer in frustum:
        assert len(vectors_of(layer, KIND_CONTOUR)) == 1
        assert layer.columns["laser_on"].all()
        # the $$DIMENSION box of the header, in mm
        assert 0 <= layer.x.min() + 1e-6 and layer.x.max() <= 19.920006 + 1e-6
    assert [layer.columns["z"][0] for layer in frustum[:2]] == pytest.approx([0.1, 0.2])
    cylinder = read_slices(REALDATA / "cli" / "cylinder_binary.cli", step=0.05, laser_off=True)
    assert len(cylinder) == 8
    for layer in cylinder:
        # the $$DIMENSION box, to the file's unit of 0.01 mm
        assert -4.9387 - 0.01 <= layer.x.min() and layer.x.max() <= 4.9407 + 0.01
        assert -15.9386 - 0.01 <= layer.y.min() and layer.y.max() <= -6.0588 + 0.01
        jumps = layer.columns["kind"] == KIND_JUMP
        assert np.array_equal(jumps, layer.columns["laser_on"] == 0)


GEOMETRY = [
    (10, [("polyline", [[0, 0], [400, 0], [400, 300], [0, 300], [0, 0]]),
          ("hatches", [[10, 10, 390, 10], [390, 20, 10, 20], [10, 30, 390, 30]])]),
    (20, [("hatches", [[10, 10, 10, 290], [20, 290, 20, 10]]), ("polyline", [[5, 5], [395, 5]])]),
]


@pytest.mark.parametrize("form", ["ascii", "short", "long"])
@pytest.mark.parametrize("laser_off", [False, True])
def test_every_form_reads_the_same_vectors(tmp_path, form, laser_off):
    path = write_cli(tmp_path / f"g-{form}.cli", GEOMETRY, form, units=0.01)
    layers = read_slices(path, step=0.5, laser_off=laser_off)
    reference = read_slices(write_cli(tmp_path / "ref.cli", GEOMETRY, "ascii", units=0.01), step=0.5,
                            laser_off=laser_off)
    assert len(layers) == 2
    for got, want in zip(layers, reference):
        np.testing.assert_allclose(got.x, want.x, atol=1e-9)
        np.testing.assert_array_equal(got.columns["vector"], want.columns["vector"])
        np.testing.assert_array_equal(got.columns["kind"], want.columns["kind"])
    first = layers[0]
    assert vectors_of(first, KIND_CONTOUR).tolist() == [1] and vectors_of(first, KIND_HATCH).tolist() == [2, 3, 4]
    # from (3.9, 0.2) to (0.1, 0.2) mm, every 0.5 mm; where the jump to it is sampled, the
    # hatch's start point is the jump's last sample
    hatch = first.columns["vector"] == 3
    assert (first.x[hatch][0], first.x[hatch][-1]) == pytest.approx((3.425 if laser_off else 3.9, 0.1))
    assert np.allclose(first.y[hatch], 0.2) and np.count_nonzero(hatch) == (8 if laser_off else 9)
    assert first.columns["z"][0] == pytest.approx(0.1)


def test_short_coordinates_are_signed_where_the_box_is_negative(tmp_path):
    geometry = [(0, [("hatches", [[-300, -200, 300, -200]])])]
    path = write_cli(tmp_path / "s.cli", geometry, "short", units=0.01, dimension=[-3, -2, 0, 3, 2, 0])
    (layer,) = read_slices(path, step=1.0)
    assert (layer.x[0], layer.x[-1], layer.y[0]) == pytest.approx((-3.0, 3.0, -2.0))


def edited(path, form, change, **options):
    """GEOMETRY written in `form`, then its bytes passed through `change`."""
    write_cli(path, GEOMETRY, form, **options)
    path.write_bytes(change(path.read_bytes()))
    return path


def replaced(old, new):
    return lambda data: data.replace(old, new)


@pytest.mark.parametrize(
    "form, change, options, message",
    [
        ("short", lambda d: d[:-3], {}, r"byte \d+: truncated: command 129 announces 2 points \(8 bytes\), 5 left"),
        ("long", lambda d: d[:-1], {}, r"byte \d+: truncated"),
        ("long", lambda d: d + b"\x07\x00", {}, r"byte \d+: unknown binary command 7"),
        ("ascii", lambda d: d[:-len(b"$$GEOMETRYEND\n")], {}, r"no \$\$GEOMETRYEND"),
        ("ascii", replaced(b"HATCHES/1,3", b"HATCHES/1,4"), {},
         r"c.cli:\d+: \$\$HATCHES announces 4 hatches \(18 numbers\), but has 14 numbers"),
        ("ascii", lambda d: d, {"announced": 3}, r"announces 3 layers \(\$\$LAYERS\), the file has 2"),
        ("ascii", replaced(b"$$UNITS/0.010000\n", b""), {}, r"no \$\$UNITS"),
        ("ascii", replaced(b"$$LAYER/10\n", b""), {}, r"\$\$POLYLINE before the first \$\$LAYER"),
        ("ascii", replaced(b"390,20", b"390,2x0"), {}, "expected a number, got '2x0'"),
        ("ascii", lambda d: d[:d.index(b"$$HEADEREND")], {}, r"no \$\$HEADEREND"),
        ("ascii", lambda d: b"solid cube\n", {}, r"does not start with \$\$HEADERSTART"),
    ],
)
def test_broken_slice_files_name_the_place(tmp_path, form, change, options, message):
    path = edited(tmp_path / "c.cli", form, change, **options)
    with pytest.raises(InputError, match=message):
        read_slices(path)
