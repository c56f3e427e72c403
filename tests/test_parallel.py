"""The worker pool and the parallel collapse seen from Python: pool size from
the environment, agreement with the reference model, threads and processes."""

import multiprocessing
import os
import subprocess
import sys
import sysconfig
import textwrap

import numpy as np
import pytest

import rastermark
import reference
from support import check_from_threads
from support import annotate_in_subprocess, large_raster, run_python

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


# -- pool size -------------------------------------------------------------------

POOL_SIZE_PROBE = """
    import os, numpy as np, rastermark
    before = len(os.listdir("/proc/self/task"))
    rastermark.annotate_scanlines(np.zeros(3), np.zeros(3))
    print(len(os.listdir("/proc/self/task")) - before)
"""


def pool_size(env):
    clean = {k: v for k, v in os.environ.items() if not k.startswith("RASTERMARK_")}
    clean.update(env)
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(POOL_SIZE_PROBE)], capture_output=True,
                         text=True, env=clean, timeout=120)
    assert out.returncode == 0, out.stderr
    return int(out.stdout)


@pytest.fixture(scope="module")
def default_size():
    return pool_size({})


@pytest.mark.parametrize(
    "env, want",
    [
        ({"RASTERMARK_NUM_THREADS": "3"}, 3),
        ({"RASTERMARK_NUM_THREADS": "0003"}, 3),
        ({"RASTERMARK_NUM_THREADS": "256"}, 255),
        ({"RASTERMARK_NUM_THREADS": "99999999999999999999"}, 255),
        ({"RASTERMARK_THREADS": "5"}, 5),
        ({"RASTERMARK_NUM_THREADS": "abc", "RASTERMARK_THREADS": "5"}, 5),
        ({"RASTERMARK_NUM_THREADS": "0", "RASTERMARK_THREADS": "5"}, "default"),
        ({"RASTERMARK_NUM_THREADS": "2", "RASTERMARK_THREADS": "5"}, 2),
    ]
    + [({"RASTERMARK_NUM_THREADS": bad}, "default") for bad in ["", "0", "-1", "abc", " 4", "4 ", "+4", "1e3"]],
    ids=repr,
)
def test_pool_size_from_environment(env, want, default_size):
    assert pool_size(env) == (default_size if want == "default" else want)


def test_default_pool_size_follows_affinity(default_size):
    assert 1 <= default_size <= min(255, len(os.sched_getaffinity(0)))


# -- parallel results ----------------------------------------------------------


@pytest.mark.parametrize("workers", [1, 2, 3, 7])
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_parallel_path_matches_reference(workers, dtype, tmp_path):
    # 600000 samples in about 300000 x-runs: both collapse steps cross their
    # thresholds, and seams fall inside runs of both kinds.
    x, y = large_raster(600000, seed=workers, dtype=dtype)
    got = annotate_in_subprocess(workers, x, y, tmp_path)
    np.testing.assert_array_equal(got, reference.annotate(x, y, workers=workers))


@pytest.mark.parametrize("n", [499999, 500000])
def test_switch_point_with_the_pools_own_size(n):
    x, y = large_raster(n, seed=n)
    workers = 2  # what the reference assumes; the subprocess pins the pool to it
    code = f"""
        import sys, numpy as np, rastermark
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        from support import large_raster
        import reference
        x, y = large_raster({n}, seed={n})
        assert (rastermark.annotate_scanlines(x, y) == reference.annotate(x, y, workers={workers})).all()
        print("ok")
    """
    out = run_python(code, env={"RASTERMARK_NUM_THREADS": str(workers)}, timeout=300)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ok"


# -- threads -------------------------------------------------------------------


def test_concurrent_calls_agree_with_single_threaded_results():
    inputs = [large_raster(n, seed=n) for n in (10, 5000, 120000, 520000)]
    inputs += [(x.astype(np.float32), y.astype(np.float32)) for x, y in inputs[1:3]]
    want = [rastermark.annotate_scanlines(x, y) for x, y in inputs]
    rounds = 6
    orders = [np.random.default_rng(s).permutation(len(inputs) * rounds) % len(inputs) for s in range(8)]
    failures = check_from_threads(inputs, want, lambda s, call: int(orders[s][call]), 8, len(orders[0]), 300)
    assert failures == []


def test_first_calls_racing_on_fresh_process():
    code = """
        import threading, numpy as np, rastermark
        x = np.repeat(np.arange(300000.0), 2); y = np.tile([0.0, 1.0, 2.0, 1.0], 150000)
        barrier = threading.Barrier(4); results = []
        def call():
            barrier.wait(timeout=60)
            results.append(rastermark.annotate_scanlines(x, y))
        ts = [threading.Thread(target=call) for _ in range(4)]
        [t.start() for t in ts]; [t.join(timeout=120) for t in ts]
        assert len(results) == 4 and all((r == results[0]).all() for r in results)
        print("ok")
    """
    out = run_python(code, timeout=180)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ok"


@pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded interpreter")
def test_gil_stays_disabled():
    out = run_python("""
        import sys, numpy as np, rastermark
        rastermark.annotate_scanlines(np.zeros(600000), np.zeros(600000))
        print(sys._is_gil_enabled())
    """, env={"PYTHON_GIL": "0"})
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "False"
    # Without the override too: the module declares that it needs no GIL.
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    plain = subprocess.run([sys.executable, "-c", "import sys, rastermark; print(sys._is_gil_enabled())"],
                           capture_output=True, text=True, env=env, timeout=60)
    assert plain.stdout.strip() == "False", plain.stderr


# -- processes -----------------------------------------------------------------


def _child_annotate(args):
    x, y = args
    return rastermark.annotate_scanlines(x, y)


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
@pytest.mark.parametrize("method", ["fork", "spawn", "forkserver"])
def test_children_after_the_pool_exists(method):
    x, y = large_raster(600000, seed=11)
    want = rastermark.annotate_scanlines(x, y)  # creates the pool in this process
    ctx = multiprocessing.get_context(method)
    with ctx.Pool(2) as pool:
        results = pool.map_async(_child_annotate, [(x, y)] * 2).get(timeout=300)
    for got in results:
        np.testing.assert_array_equal(got, want)
