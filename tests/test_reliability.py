"""Adversarial inputs, stress from many threads, inputs changed under a call,
memcheck, and a very large input."""

import os
import re
import shutil
import struct
import subprocess
import sys
import sysconfig
import textwrap

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import rastermark
import reference
from support import check_from_threads, long_zigzag, long_zigzag_labels
from support import large_raster


def f64_from_bits(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def f32_from_bits(bits):
    return struct.unpack("<f", struct.pack("<I", bits))[0]


EPS64 = float(np.finfo(np.float64).eps)
EPS32 = float(np.finfo(np.float32).eps)


def nasty_values(dtype):
    """Special floats: NaNs with payloads and either sign, infinities, signed
    zeros, subnormals, the largest finite values, values one epsilon apart,
    and float32 values whose float64 arithmetic would round differently."""
    if dtype == np.float64:
        nan_payloads = st.integers(1, 2**51 - 1).map(lambda p: f64_from_bits(0x7FF8000000000000 | p))
        neg_nan = st.just(f64_from_bits(0xFFF8000000000001))
        tiny = st.sampled_from([5e-324, -5e-324, 2.2250738585072014e-308, 1e-310])
        big = st.sampled_from([1.7976931348623157e308, -1.7976931348623157e308, 1e200, 1.3e154])
        near = st.sampled_from([1.0, 1.0 + EPS64, 1.0 - EPS64 / 2, EPS64, EPS64 / 2, 0.75 * EPS64, 1.5 * EPS64])
        raw = st.integers(0, 2**64 - 1).map(f64_from_bits)
    else:
        nan_payloads = st.integers(1, 2**22 - 1).map(lambda p: f32_from_bits(0x7FC00000 | p))
        neg_nan = st.just(f32_from_bits(0xFFC00001))
        tiny = st.sampled_from([1e-45, -1e-45, 1.1754944e-38, 1e-40])
        big = st.sampled_from([3.4028235e38, -3.4028235e38, 1e30, 1.8446744e19])
        near = st.sampled_from([1.0, 1.0 + EPS32, 1.0 - EPS32 / 2, EPS32, EPS32 / 2, 0.75 * EPS32, 1.5 * EPS32,
                                16777217.0, 0.1, 0.3, 1 / 3])
        raw = st.integers(0, 2**32 - 1).map(f32_from_bits)
    common = st.sampled_from([np.nan, np.inf, -np.inf, 0.0, -0.0, 1.0, -1.0, 2.0, 5.0])
    return st.one_of(nan_payloads, neg_nan, tiny, big, near, raw, common,
                     st.integers(-20, 20).map(float))


@st.composite
def adversarial_paths(draw):
    dtype = draw(st.sampled_from([np.float64, np.float32]))
    values = nasty_values(dtype)
    n = draw(st.integers(0, 80))
    # Mix specials into a plausible zig-zag so that turns and labels happen.
    base_x = np.repeat(np.arange(n // 4 + 1, dtype=np.float64), 4)[:n]
    base_y = np.tile([0.0, 3.0, 6.0, 3.0], n // 4 + 1)[:n]
    x = base_x.astype(dtype)
    y = base_y.astype(dtype)
    for _ in range(draw(st.integers(0, max(1, n // 3)))):
        if n == 0:
            break
        i = draw(st.integers(0, n - 1))
        with np.errstate(over="ignore"):
            if draw(st.booleans()):
                x[i] = dtype(draw(values))
            else:
                y[i] = dtype(draw(values))
    return x, y


@settings(max_examples=400, deadline=None)
@given(path=adversarial_paths())
def test_adversarial_floats_match_reference(path):
    x, y = path
    got = rastermark.annotate_scanlines(x, y)
    np.testing.assert_array_equal(got, reference.annotate(x, y))


# -- many threads ----------------------------------------------------------------


def test_many_threads_many_calls():
    sizes = [0, 1, 7, 300, 5000, 60000, 250001, 500000, 600000]
    inputs = []
    for i, n in enumerate(sizes):
        x, y = large_raster(n, seed=i) if n else (np.zeros(0), np.zeros(0))
        inputs.append((x, y))
        inputs.append((x.astype(np.float32), y.astype(np.float32)))
    want = [rastermark.annotate_scanlines(x, y) for x, y in inputs]
    small = [i for i, (x, _) in enumerate(inputs) if len(x) < 100000]
    large = [i for i, (x, _) in enumerate(inputs) if len(x) >= 100000]
    rngs = [np.random.default_rng(s) for s in range(8)]

    def choose(seed, call):
        # One call in ten crosses the parallel thresholds.
        return int(rngs[seed].choice(large if call % 10 == seed % 10 else small))

    assert check_from_threads(inputs, want, choose, 8, 200, 600) == []


def test_inputs_overwritten_during_calls_never_crash():
    code = """
        import threading, numpy as np, rastermark
        n = 600000
        x = np.repeat(np.arange(n // 2, dtype=np.float64), 2); y = np.tile([0.0, 1.0, 2.0, 1.0], n // 4)
        stop = threading.Event()
        def scribble():
            rng = np.random.default_rng(0)
            while not stop.is_set():
                i = rng.integers(0, n, 1000)
                x[i] = rng.choice([np.nan, np.inf, -0.0, 1e308, 3.0], 1000)
                y[i] = rng.normal(size=1000)
        t = threading.Thread(target=scribble); t.start()
        try:
            for _ in range(40):
                out = rastermark.annotate_scanlines(x, y)
                assert out.shape == (n,) and out.dtype == np.int32
                assert ((out == -1) | (out >= 1)).all()
        finally:
            stop.set(); t.join(timeout=60)
        print("ok")
    """
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                         timeout=600)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ok"


# -- memcheck ----------------------------------------------------------------------


@pytest.mark.skipif(shutil.which("valgrind") is None, reason="valgrind is not installed")
@pytest.mark.skipif(os.environ.get("RASTERMARK_SANITIZED") == "1", reason="not under another sanitizer")
def test_memcheck_finds_no_errors_or_leaks_in_the_extension(tmp_path):
    code = """
        import numpy as np, rastermark
        x = np.repeat(np.arange(40.0), 3); y = np.tile([0.0, 2.0, 4.0, 2.0, 0.0, 1.0], 20)
        for dtype in (np.float64, np.float32):
            rastermark.annotate_scanlines(x.astype(dtype), y.astype(dtype))
        for bad in ((x, y[:-1]), (x[::2], y[::2]), (x, None)):
            try:
                rastermark.annotate_scanlines(*bad)
            except (TypeError, ValueError):
                pass
        from rastermark_tools import _native
        for program in (b"G0 X0 Y0\\nG1 X5 Y1 E1\\nG2 X10 Y0 I2.5 J-1 E2\\nG28\\nG1 X3 Y3\\n", b"G0 X0 Y0\\nG1 X1e-5\\n"):
            _native.interpret_gcode(program, 0.1)
        seg = [np.zeros(2), np.zeros(2), np.ones(2), np.ones(2), np.zeros(2), np.zeros(2), np.zeros(2), np.ones(2)]
        out = [np.empty(5) for _ in range(4)] + [np.empty(5, np.int8), np.empty(5, np.int64)]
        _native.fill_samples(*seg, np.ones(2, np.uint8), np.arange(2), np.arange(2), np.array([2, 2]),
                             np.array([0, 1], np.uint8), *out)
    """
    log = tmp_path / "memcheck.log"
    env = dict(os.environ)
    if not sysconfig.get_config_var("Py_GIL_DISABLED"):
        env["PYTHONMALLOC"] = "malloc"  # the free-threaded build only runs on its own allocator
    out = subprocess.run(
        ["valgrind", "--tool=memcheck", "--leak-check=full", "--show-leak-kinds=definite",
         "--num-callers=40", f"--log-file={log}", sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True, text=True, env=env, timeout=900,
    )
    assert out.returncode == 0, out.stderr
    report = log.read_text()
    # Only reports whose stacks pass through the extension count; the
    # interpreter and NumPy keep memory until exit by design.
    text = "\n".join(re.sub(r"^==\d+== ?", "", line) for line in report.splitlines())
    # A frame of the extension: its symbols or its shared object (the project's folder may itself be named
    # rastermark, and then every path in the report holds the name).
    ours_frame = re.compile(r"rastermark::|rastermark\.cpython-|_native\.cpython-")
    records = [r for r in text.split("\n\n") if ours_frame.search(r)]
    ours = [r for r in records if "Invalid" in r or "uninitialised" in r or "definitely lost" in r]
    assert ours == [], "\n\n".join(ours)
    assert "ERROR SUMMARY" in text


# -- a very large input ----------------------------------------------------------------


def available_memory_bytes():
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) * 1024
    return 0


@pytest.mark.skipif(available_memory_bytes() < 12 * 2**30, reason="needs about 12 GiB of free memory")
@pytest.mark.skipif(os.environ.get("RASTERMARK_SANITIZED") == "1", reason="too large for a sanitized run")
def test_two_hundred_million_float32_samples():
    lines, per_line = 200_000, 999  # 2 * 10^8 - 1 samples
    x, y = long_zigzag(lines, per_line, np.float32)
    assert len(x) == 2 * 10**8 - 1
    got = rastermark.annotate_scanlines(x, y)
    del x, y
    want = long_zigzag_labels(lines, per_line)
    assert np.array_equal(got, want)
