"""The single pass skips quiet blocks (stretches where every sample is its
own run and the path keeps its direction) with a vector test built for
several instruction sets; RASTERMARK_SIMD caps the set it may use ("off"
leaves every sample to the per-sample machine).  At every level the labels
must be those of the per-sample machine, bit for bit, serial and chunked."""


import numpy as np
import pytest

from support import ROOT, hatched_layer, recorded_layer, run_python

LEVELS = ["baseline", "avx2", "avx512"]


def with_events(n, seed, dtype):
    """A slanted serpentine raster with events sprinkled over it: repeats,
    NaN, infinities, -0.0, subnormal and sub-tolerance steps, huge jumps,
    one-sample reversals; float32 rounding where dtype is float32."""
    rng = np.random.default_rng(seed)
    line = 97
    k = np.arange(n)
    along = np.where((k // line) % 2 == 0, k % line, line - 1 - k % line).astype(np.float64)
    x = (k // line) * 2.0 + along * 0.013 + 0.25
    y = along * 0.5 + 0.001 * (k % 3)
    eps = np.finfo(dtype).eps
    kinds = [
        ("x", lambda v, p: v[p - 1]),
        ("y", lambda v, p: v[p - 1]),
        ("x", lambda v, p: np.nan),
        ("y", lambda v, p: np.inf),
        ("y", lambda v, p: -np.inf),
        ("y", lambda v, p: -0.0),
        ("x", lambda v, p: v[p - 1] + 0.5 * eps),
        ("x", lambda v, p: v[p - 1] + 5e-324),
        ("x", lambda v, p: 1e300 if dtype == np.float64 else 1e38),
        ("y", lambda v, p: v[p - 1] - 2 * (v[p - 1] - v[p - 2])),
    ]
    for p in rng.integers(2, n, n // 200):
        axis, value = kinds[rng.integers(len(kinds))]
        target = x if axis == "x" else y
        target[p] = value(target, p)
    return x.astype(dtype), y.astype(dtype)


def real_layers():
    from rastermark_tools.readers import read_scan_path

    for path in sorted((ROOT / "data" / "pbf_peregrine_P5").glob("*.txt")):
        layer = read_scan_path(path, step=0.005)
        yield path.stem, layer.x, layer.y


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    folder = tmp_path_factory.mktemp("fast_path")
    arrays = {}
    for dtype in (np.float64, np.float32):
        name = np.dtype(dtype).name
        for angle in (0.0, 67.0, 90.0):
            arrays[f"hatched {angle} {name}"] = hatched_layer(300_000, angle, 3, dtype)
        for seed in range(3):
            arrays[f"events {seed} {name}"] = with_events(200_000, seed, dtype)
        # On a grid with copies: x-pairs at 85 degrees, longer x-runs at 89.
        for angle in (85.0, 89.0, 23.0):
            arrays[f"recorded {angle} {name}"] = recorded_layer(300_000, angle, 4, dtype)
        # Both collapse steps chunked with three workers.
        arrays[f"hatched large {name}"] = hatched_layer(1_100_000, 67.0, 5, dtype)
        arrays[f"recorded large {name}"] = recorded_layer(1_100_000, 85.0, 6, dtype)
    for stem, x, y in real_layers():
        arrays[f"real {stem}"] = (x, y)
    flat = {}
    for i, (x, y) in enumerate(arrays.values()):
        flat[f"x{i}"], flat[f"y{i}"] = x, y
    np.savez(folder / "inputs.npz", **flat)
    return folder, list(arrays)


def labels_at(level, workers, folder):
    out = folder / f"labels-{level}-{workers}.npz"
    if not out.exists():
        code = f"""
            import numpy as np, rastermark
            data = np.load({str(folder / 'inputs.npz')!r})
            count = len(data.files) // 2
            np.savez({str(out)!r}, *[rastermark.annotate_scanlines(data[f"x{{i}}"], data[f"y{{i}}"])
                                     for i in range(count)])
        """
        result = run_python(code, env={"RASTERMARK_SIMD": level, "RASTERMARK_NUM_THREADS": str(workers)}, timeout=600)
        assert result.returncode == 0, result.stderr
    with np.load(out) as saved:
        return [saved[f"arr_{i}"] for i in range(len(saved.files))]


@pytest.mark.parametrize("workers", [1, 3])
@pytest.mark.parametrize("level", LEVELS)
def test_every_level_labels_as_the_per_sample_machine(level, workers, inputs):
    folder, names = inputs
    reference = labels_at("off", workers, folder)
    got = labels_at(level, workers, folder)
    for name, expected, labels in zip(names, reference, got):
        np.testing.assert_array_equal(labels, expected, err_msg=name)
    # The inputs are not trivial: most have scanlines.
    assert sum(int(r.max(initial=0)) > 0 for r in reference) >= len(names) - 2


@pytest.mark.parametrize("setting", ["AVX2", "neon", "", "avx512 "])
def test_an_unknown_instruction_set_setting_is_refused_at_import(setting):
    out = run_python("import rastermark", env={"RASTERMARK_SIMD": setting})
    assert out.returncode != 0
    assert f"ImportError: RASTERMARK_SIMD is '{setting}'; expected one of off baseline avx2 avx512" in out.stderr
    # The command line says so in one line, without a traceback.
    out = run_python("import sys; from rastermark_tools.cli import main; sys.exit(main(['--version']))",
                     env={"RASTERMARK_SIMD": setting})
    assert out.returncode == 1 and "Traceback" not in out.stderr, out.stderr
    assert out.stderr.strip() == f"rastermark: RASTERMARK_SIMD is '{setting}'; expected one of off baseline avx2 avx512"


def test_the_chosen_instruction_set_is_shown(tmp_path):
    out = run_python("from rastermark_tools import _native; print(_native.simd_target())",
                     env={"RASTERMARK_SIMD": "baseline"})
    assert out.stdout.strip() == "baseline", out.stderr
    out = run_python("from rastermark_tools.cli import main; main(['--version'])")
    assert "block scans: " in out.stdout, out.stderr
