"""Failures inside a call: exhausted memory and worker threads that cannot
start end the call with an exception and leave the interpreter healthy."""

import os

import pytest

from support import run_python

pytestmark = pytest.mark.skipif(
    os.environ.get("RASTERMARK_SANITIZED") == "1",
    reason="address-space limits do not mix with the sanitizer's shadow memory",
)

# Sets an address-space limit a little above what the process maps now, so
# that the call's own intermediate lists cannot be allocated.
LIMIT = """
    import resource
    def limit_address_space(headroom_mb):
        with open("/proc/self/statm") as f:
            mapped = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (mapped + headroom_mb * 2**20, resource.RLIM_INFINITY))
"""


# Eight workers on two cores: some threads first run a task only after the
# limit is set, which once aborted the process in the C library (a worker's
# first allocation, and its thread-local data, came too late).
@pytest.mark.parametrize("threads", ["1", "2", "8"], ids=["serial", "parallel", "parallel-8"])
def test_exhausted_memory_raises_memory_error(threads):
    code = LIMIT + """
    import numpy as np, rastermark
    small = np.array([0.0, 1, 0, 1, 0, 1]), np.array([0.0, 5, 0, 5, 0, 5])
    want = rastermark.annotate_scanlines(*small)          # creates the pool
    n = 80_000_000
    x = np.arange(n, dtype=np.float64); y = np.zeros(n)  # every sample its own run
    limit_address_space(256)  # far less than the 320 MB of labels
    for _ in range(10):
        try:
            rastermark.annotate_scanlines(x, y)
        except MemoryError:
            print("MemoryError")
    assert (rastermark.annotate_scanlines(*small) == want).all()
    print("healthy")
    """
    out = run_python(code, env={"RASTERMARK_NUM_THREADS": threads}, timeout=300)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["MemoryError"] * 10 + ["healthy"]


def test_threads_that_cannot_start_raise_panic_and_are_retried():
    code = LIMIT + """
    import resource, numpy as np, rastermark
    x = np.array([0.0, 1, 0, 1]); y = np.array([0.0, 5, 0, 5])
    limit_address_space(16)   # far too little for 255 thread stacks
    try:
        rastermark.annotate_scanlines(x, y)
    except Exception:
        raise SystemExit("a PanicException must not be caught as Exception")
    except BaseException as e:
        print(type(e).__name__, "|", e)
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    print(rastermark.annotate_scanlines(x, y).tolist())
    """
    out = run_python(code, env={"RASTERMARK_NUM_THREADS": "255"}, timeout=300)
    assert out.returncode == 0, out.stderr
    first, second = out.stdout.splitlines()
    assert first.startswith("PanicException | could not start the worker threads"), first
    assert second == "[-1, -1, -1, -1]"
    assert "internal fault" in out.stderr


@pytest.mark.parametrize("dtype", ["float32", "float64"])
def test_result_that_cannot_be_created_raises_memory_error(dtype):
    # NumPy cannot allocate the result array (200 MB under a 150 MiB
    # headroom): that is exhausted memory too, never an internal fault.
    code = LIMIT + f"""
    import numpy as np, rastermark
    small = np.array([0.0, 1, 0, 1, 0, 1], "{dtype}"), np.array([0.0, 5, 0, 5, 0, 5], "{dtype}")
    want = rastermark.annotate_scanlines(*small)
    n = 50_000_000
    x = np.zeros(n, "{dtype}"); y = np.zeros(n, "{dtype}")   # one run, no turning points
    limit_address_space(150)
    try:
        rastermark.annotate_scanlines(x, y)
    except MemoryError:
        print("MemoryError")
    except BaseException as e:
        print("wrong:", type(e).__name__, e)
    assert (rastermark.annotate_scanlines(*small) == want).all()
    print("healthy")
    """
    out = run_python(code, env={"RASTERMARK_NUM_THREADS": "1"}, timeout=300)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["MemoryError", "healthy"], out.stdout + out.stderr
