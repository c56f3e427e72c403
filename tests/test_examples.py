"""The examples on synthetic and real scan paths: they run, and their labels
make sense (ids along the path, one hatch per scanline where the truth is
known)."""

import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
sys.path.insert(0, str(EXAMPLES))

import rastermark  # noqa: E402
from layers import REALDATA, peregrine_files, peregrine_layer, synthetic_layer  # noqa: E402


def ids_run_along_the_path(ids):
    """Labelled samples form one stretch per id, ids increasing."""
    labelled = ids[ids > 0]
    if len(labelled) == 0:
        return True
    if np.any(np.diff(labelled) < 0):
        return False
    # Each id occupies one contiguous stretch of sample indices.
    positions = np.flatnonzero(ids > 0)
    for ident in np.unique(labelled):
        where = positions[labelled == ident]
        if where[-1] - where[0] + 1 != len(where):
            return False
    return True


def hatch_purity(ids, truth):
    """Share of scanlines whose laser-on samples lie on a single hatch."""
    pure = total = 0
    for ident in np.unique(ids[ids > 0]):
        hatches = truth[(ids == ident) & (truth > 0)]
        if len(hatches) == 0:
            continue
        total += 1
        pure += np.bincount(hatches).max() >= 0.9 * len(hatches)
    return pure / max(total, 1)


def test_synthetic_layer_labels_its_hatches():
    x, y, truth = synthetic_layer()
    ids = rastermark.annotate_scanlines(x, y)
    assert ids_run_along_the_path(ids)
    assert len(np.unique(ids[ids > 0])) > 0.8 * truth.max()
    assert hatch_purity(ids, truth) > 0.95


def test_demo_runs():
    out = subprocess.run([sys.executable, str(EXAMPLES / "demo.py"), "--no-plot"], capture_output=True, text=True,
                         timeout=600)
    assert out.returncode == 0, out.stderr
    assert "synthetic layer, float64" in out.stdout and "scanlines found" in out.stdout


needs_realdata = pytest.mark.skipif(not REALDATA.is_dir(), reason=f"real data folder {REALDATA} is absent")


@needs_realdata
@pytest.mark.parametrize("path", peregrine_files(), ids=lambda p: p.name)
def test_real_pbf_layers_label_single_hatches(path):
    x, y, truth = peregrine_layer(path)
    ids = rastermark.annotate_scanlines(x, y)
    assert ids_run_along_the_path(ids)
    assert len(np.unique(ids[ids > 0])) > 0.6 * truth.max()
    assert hatch_purity(ids, truth) > 0.95


@pytest.fixture(scope="module")
def realdata_rows():
    import realdata

    return realdata.summarise()


@needs_realdata
def test_every_real_file_is_annotated(realdata_rows, capsys):
    names = {row["name"] for row in realdata_rows}
    assert {"ded_pelican_in718_positions.csv", "fdm_prusaslicer_15x150_45deg.gcode",
            "fdm_cura_UM2_45_platte_klein.gcode", "laser_lightburn_scanfill_jodon.gcode"} <= names
    for row in realdata_rows:
        # Every file holds a raster: one of the two orientations finds it.
        assert max(row["scanlines"], row["scanlines turned"]) > 0, row["name"]
        assert row["seconds"] > 0
        for ids in row["labels"]:
            assert ids.dtype == np.int32 and ids_run_along_the_path(ids), row["name"]
        with capsys.disabled():
            print(f"\n  {row['name']}: {row['samples']:,} samples, {row['scanlines']} scanlines "
                  f"({row['scanlines turned']} turned), {row['seconds'] * 1e3:.1f} ms", end="")
