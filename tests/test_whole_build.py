"""Whole builds: thread pool, process pool and a Dask cluster give the same
labels as calling layer by layer, and the Parquet output holds them."""

import importlib.util
import sys
import sysconfig
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))

import whole_build  # noqa: E402

LAYERS, SAMPLES = 6, 20_000


@pytest.fixture(scope="module")
def expected():
    return [whole_build.annotate_layer(i, SAMPLES)[1] for i in range(LAYERS)]


def check(results, expected):
    assert len(results) == len(expected)
    for got, want in zip(results, expected):
        np.testing.assert_array_equal(got, want)
    assert all(r.max() > 0 for r in results)


def test_thread_pool(expected):
    check(whole_build.with_threads(LAYERS, SAMPLES, 4), expected)


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
@pytest.mark.skipif(bool(sysconfig.get_config_var("Py_GIL_DISABLED")), reason="threads serve there")
def test_process_pool(expected):
    check(whole_build.with_processes(LAYERS, SAMPLES, 2), expected)


@pytest.mark.skipif(importlib.util.find_spec("distributed") is None or importlib.util.find_spec("pyarrow") is None,
                    reason="dask.distributed and pyarrow are not installed")
def test_dask_cluster_and_parquet(expected, tmp_path):
    import pyarrow.parquet as pq
    from dask.distributed import Client, LocalCluster

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with Client(cluster) as client:
            results = whole_build.with_dask(client, LAYERS, SAMPLES)
    check(results, expected)
    path = tmp_path / "build.parquet"
    whole_build.write_parquet(path, LAYERS, SAMPLES, results)
    table = pq.read_table(path)
    assert table.column_names == ["layer", "sample_index", "x", "y", "scanline_id"]
    assert table.num_rows == LAYERS * SAMPLES
    layer3 = table.filter(table["layer"].to_numpy() == 3)
    np.testing.assert_array_equal(layer3["scanline_id"].to_numpy(), expected[3])
    np.testing.assert_array_equal(layer3["sample_index"].to_numpy(), np.arange(SAMPLES))
