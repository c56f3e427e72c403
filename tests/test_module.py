"""The module's Python face: attributes, argument binding, dispatch, errors
and the result array."""

import inspect
import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

import rastermark
from support import run_python

TYPE_ERROR = "x and y must both be 1D numpy arrays of float64 or float32 type"
DOC = (
    "Annotate in-memory scanline data from 1D x and y coordinate arrays.\n\n"
    "Args:\n"
    "    x (ndarray): 1D numpy array of x-coordinates (float32 or float64).\n"
    "    y (ndarray): 1D numpy array of y-coordinates (float32 or float64).\n\n"
    "Returns:\n"
    "    ndarray: 1D numpy array of scanline_id assignments (int32)."
)


# -- module contract ---------------------------------------------------------


def test_module_attributes():
    assert rastermark.__name__ == "rastermark"
    assert rastermark.__doc__ == "A library for processing and annotating raster scanlines in powder bed fusion data."
    assert rastermark.__all__ == ["annotate_scanlines"]
    assert rastermark.__file__.endswith(".so")
    public = {name for name in dir(rastermark) if not name.startswith("__")}
    assert public == {"annotate_scanlines"}


def test_function_metadata():
    f = rastermark.annotate_scanlines
    assert f.__module__ == "rastermark"
    assert f.__self__ is rastermark
    assert f.__name__ == "annotate_scanlines"
    assert f.__text_signature__ == "(x, y)"
    assert f.__doc__ == DOC
    assert len(("annotate_scanlines(x, y)\n--\n\n" + DOC).encode()) == 319
    params = list(inspect.signature(f).parameters.values())
    assert [p.name for p in params] == ["x", "y"]
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty for p in params)


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm is not installed")
def test_only_the_init_entry_is_exported():
    out = subprocess.run(["nm", "-D", "--defined-only", rastermark.__file__], capture_output=True, text=True, check=True)
    symbols = [line.split()[-1] for line in out.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit_rastermark"]


# -- argument binding --------------------------------------------------------

A = np.arange(4, dtype=np.float64)
B = np.arange(4, dtype=np.float64)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((A, B, A), {}, "annotate_scanlines() takes 2 positional arguments but 3 were given"),
        ((A, B, A, A), {"x": A}, "annotate_scanlines() takes 2 positional arguments but 4 were given"),
        ((A, B), {"x": A}, "annotate_scanlines() got multiple values for argument 'x'"),
        ((A,), {"x": B}, "annotate_scanlines() got multiple values for argument 'x'"),
        ((A, B), {"y": A}, "annotate_scanlines() got multiple values for argument 'y'"),
        ((A, B), {"z": A}, "annotate_scanlines() got an unexpected keyword argument 'z'"),
        ((), {"x": A, "y": B, "zz": 1}, "annotate_scanlines() got an unexpected keyword argument 'zz'"),
        ((A,), {}, "annotate_scanlines() missing 1 required positional argument: 'y'"),
        ((), {"y": B}, "annotate_scanlines() missing 1 required positional argument: 'x'"),
        ((), {}, "annotate_scanlines() missing 2 required positional arguments: 'x' and 'y'"),
        ((None, None, None), {}, "annotate_scanlines() takes 2 positional arguments but 3 were given"),
        (("a",), {}, "annotate_scanlines() missing 1 required positional argument: 'y'"),
    ],
)
def test_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        rastermark.annotate_scanlines(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("call", [
    lambda f: f(A, B), lambda f: f(x=A, y=B), lambda f: f(A, y=B), lambda f: f(y=B, x=A),
])
def test_keyword_forms_agree(call):
    np.testing.assert_array_equal(call(rastermark.annotate_scanlines), np.full(4, -1, np.int32))


# -- dispatch ----------------------------------------------------------------

GOOD64 = np.linspace(0, 1, 5)
REJECTED = {
    "list": [0.0, 1.0, 2.0, 3.0, 4.0],
    "tuple": (0.0, 1.0, 2.0, 3.0, 4.0),
    "None": None,
    "numpy scalar": np.float64(1.0),
    "0-d": np.array(1.0),
    "int64": np.arange(5),
    "float16": np.arange(5, dtype=np.float16),
    "longdouble": np.arange(5, dtype=np.longdouble),
    "complex": np.arange(5, dtype=np.complex128),
    "big-endian": np.arange(5, dtype=">f8"),
    "2-D": np.zeros((5, 1)),
    "float32 with float64": np.arange(5, dtype=np.float32),
    "object": np.array([1.0] * 5, dtype=object),
}


@pytest.mark.parametrize("name", sorted(REJECTED))
@pytest.mark.parametrize("position", ["x", "y"])
def test_rejected_arguments(name, position):
    bad = REJECTED[name]
    args = (bad, GOOD64) if position == "x" else (GOOD64, bad)
    with pytest.raises(TypeError) as info:
        rastermark.annotate_scanlines(*args)
    assert str(info.value) == TYPE_ERROR


def test_type_error_wins_over_length_error():
    with pytest.raises(TypeError, match="must both be"):
        rastermark.annotate_scanlines(np.zeros(5), np.zeros(4, np.float32))


class Tagged(np.ndarray):
    pass


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize(
    "make",
    [
        lambda a: a,
        lambda a: np.ma.masked_array(a, mask=np.arange(len(a)) % 2 == 0),
        lambda a: a.view(Tagged),
        lambda a: np.frombuffer(a.tobytes(), dtype=a.dtype),  # read-only
        lambda a: a.astype(a.dtype.newbyteorder("=")),
    ],
    ids=["plain", "masked", "subclass", "readonly", "native-order"],
)
def test_accepted_oddities(make, dtype):
    from support import zigzag

    x, y = zigzag(6)
    x, y = x.astype(dtype), y.astype(dtype)
    want = rastermark.annotate_scanlines(x, y)
    got = rastermark.annotate_scanlines(make(x), make(y))
    assert type(got) is np.ndarray
    np.testing.assert_array_equal(got, want)
    assert (want > 0).any()


def test_same_array_twice_and_unchanged_inputs():
    a = np.array([0.0, 1.0, 0.0, 1.0, 0.0, 1.0])
    before = a.copy()
    out = rastermark.annotate_scanlines(a, a)
    np.testing.assert_array_equal(a, before)
    assert out.shape == (6,)


def test_misaligned_data_is_read_correctly():
    from support import zigzag

    x, y = zigzag(6)
    for dtype in (np.float64, np.float32):
        want = rastermark.annotate_scanlines(x.astype(dtype), y.astype(dtype))
        for offset in (1, 3):
            buf_x = bytearray(offset) + x.astype(dtype).tobytes()
            buf_y = bytearray(offset) + y.astype(dtype).tobytes()
            mx = np.frombuffer(buf_x, dtype=dtype, offset=offset)
            my = np.frombuffer(buf_y, dtype=dtype, offset=offset)
            assert not mx.flags.aligned
            np.testing.assert_array_equal(rastermark.annotate_scanlines(mx, my), want)


# -- driver checks -------------------------------------------------------------


@pytest.mark.parametrize(
    "x, y, message",
    [
        (np.zeros(5), np.zeros(4), "Input x and y length mismatch: 5 vs 4"),
        (np.zeros(4), np.zeros(5), "Input x and y length mismatch: 4 vs 5"),
        (np.zeros(0), np.zeros(1), "Input x and y length mismatch: 0 vs 1"),
        (np.zeros(10)[::2], np.zeros(4)[::2], "Input x and y length mismatch: 5 vs 2"),
        (np.zeros(4)[::-1], np.zeros(4), "x array must be contiguous"),
        (np.zeros(8)[::2], np.zeros(4), "x array must be contiguous"),
        (np.zeros(8)[::2], np.zeros(8)[::2], "x array must be contiguous"),
        (np.zeros(4), np.zeros(8)[::2], "y array must be contiguous"),
        (np.zeros(4, np.float32), np.zeros(4, np.float32)[::-1], "y array must be contiguous"),
        (np.broadcast_to(np.float64(1), (3,)), np.zeros(3), "x array must be contiguous"),
    ],
)
def test_driver_errors(x, y, message):
    with pytest.raises(ValueError) as info:
        rastermark.annotate_scanlines(x, y)
    assert str(info.value) == message
    assert info.value.args == (message,)


def test_packed_record_fields_are_refused():
    # The float64 field of a packed record has a 12-byte stride: reading it as
    # contiguous would read the wrong memory.
    rec = np.zeros(5, dtype=np.dtype([("x", "<f8"), ("pad", "<i4")]))
    assert rec["x"].strides == (12,)
    for args, name in [((rec["x"], np.zeros(5)), "x"), ((np.zeros(5), rec["x"]), "y")]:
        with pytest.raises(ValueError, match=f"^{name} array must be contiguous$"):
            rastermark.annotate_scanlines(*args)
    one = rec["x"][:1]
    assert rastermark.annotate_scanlines(one, one).tolist() == [-1]


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_empty_and_single_inputs(dtype):
    for x in (np.zeros(0, dtype), np.zeros(6, dtype)[::3][:0], np.zeros(4, dtype)[::-1][:0]):
        out = rastermark.annotate_scanlines(x, x)
        assert out.shape == (0,) and out.dtype == np.int32 and out.strides == (0,)
    single = np.arange(10, dtype=dtype)[3:4]
    strided = np.arange(10, dtype=dtype)[::-7][:1]
    assert rastermark.annotate_scanlines(single, strided).tolist() == [-1]


def test_result_array_properties():
    from support import zigzag

    x, y = zigzag(6)
    out = rastermark.annotate_scanlines(x, y)
    assert type(out) is np.ndarray and out.dtype == np.dtype(np.int32) and out.ndim == 1
    assert out.flags.owndata and out.flags.writeable and out.flags.c_contiguous
    assert out.base is None and out.strides == (4,)
    again = rastermark.annotate_scanlines(x, y)
    out[:] = 99
    np.testing.assert_array_equal(rastermark.annotate_scanlines(x, y), again)


# -- references and memory ---------------------------------------------------


def test_no_reference_or_memory_growth():
    import resource

    from support import zigzag

    x, y = zigzag(6)
    x32, y32 = x.astype(np.float32), y.astype(np.float32)
    calls = [
        lambda: rastermark.annotate_scanlines(x, y),
        lambda: rastermark.annotate_scanlines(x32, y=y32),
        lambda: rastermark.annotate_scanlines(x, y32),
        lambda: rastermark.annotate_scanlines(x, y[:-1]),
        lambda: rastermark.annotate_scanlines(x[::2], y[::2]),
        lambda: rastermark.annotate_scanlines(x, y, x),
        lambda: rastermark.annotate_scanlines(x, z=y),
        lambda: rastermark.annotate_scanlines(x[:0], y[:0]),
    ]

    def exercise(times):
        for _ in range(times):
            for call in calls:
                try:
                    call()
                except (TypeError, ValueError):
                    pass

    exercise(200)
    counts = [sys.getrefcount(a) for a in (x, y, x32, y32)]
    rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    exercise(5000)
    assert [sys.getrefcount(a) for a in (x, y, x32, y32)] == counts
    # ru_maxrss is in KiB; 40000 calls leaking even 100 bytes each would show.
    # (A sanitizer's quarantine holds freed memory back, so RSS says nothing there.)
    if os.environ.get("RASTERMARK_SANITIZED") != "1":
        assert resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - rss < 4096


# -- NumPy access --------------------------------------------------------------


def test_import_without_numpy_and_panic_on_call():
    code = """
        import sys
        class HideNumpy:
            def find_spec(self, name, path=None, target=None):
                if name == "numpy" or name.startswith("numpy."):
                    raise ModuleNotFoundError("No module named 'numpy'", name=name)
        sys.meta_path.insert(0, HideNumpy())
        import rastermark
        assert "numpy" not in sys.modules
        assert rastermark.__all__ == ["annotate_scanlines"]
        for attempt in range(2):
            try:
                rastermark.annotate_scanlines([1.0], [2.0])
            except Exception:
                raise SystemExit("caught by except Exception")
            except BaseException as e:
                assert type(e).__name__ == "PanicException", type(e)
                assert type(e).__bases__ == (BaseException,)
                assert str(e).startswith("Failed to access NumPy array API capsule: "), str(e)
                assert "numpy" in str(e)
                print("panic:", e)
        # argument errors come before any NumPy access
        try:
            rastermark.annotate_scanlines(1, 2, 3)
        except TypeError as e:
            print("type error:", e)
    """
    out = run_python(code)
    assert out.returncode == 0, out.stderr
    assert out.stdout.count("panic: Failed to access NumPy array API capsule") == 2
    assert "takes 2 positional arguments" in out.stdout
    assert "internal fault" in out.stderr


def test_numpy_is_not_imported_at_import_time():
    out = run_python("import sys, rastermark; print('numpy' in sys.modules)")
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "False"


def test_numpy_1_path_through_numpy_core():
    # NumPy 1.x has no build for this interpreter: stand-in modules report
    # major version 1 and hand over the real capsule from numpy.core.multiarray.
    code = """
        import sys, types
        import numpy as real
        from numpy._core import multiarray as real_multiarray
        capsule = real_multiarray._ARRAY_API
        saved = {k: v for k, v in sys.modules.items() if k == "numpy" or k.startswith("numpy.")}
        for k in saved:
            del sys.modules[k]
        fake = types.ModuleType("numpy"); fake.__version__ = "1.26.4"; fake.__path__ = []
        lib = types.ModuleType("numpy.lib")
        class NumpyVersion:
            def __init__(self, v):
                assert v == "1.26.4"
                self.major = 1
        lib.NumpyVersion = NumpyVersion
        core = types.ModuleType("numpy.core"); core.__path__ = []
        multiarray = types.ModuleType("numpy.core.multiarray"); multiarray._ARRAY_API = capsule
        touched = []
        class Watch(types.ModuleType):
            def __getattr__(self, name):
                touched.append(name); raise AttributeError(name)
        sys.modules.update({"numpy": fake, "numpy.lib": lib, "numpy.core": core,
                            "numpy.core.multiarray": multiarray, "numpy._core": Watch("numpy._core")})
        import rastermark
        out = rastermark.annotate_scanlines(real.zeros(3), real.ones(3))
        sys.modules.update(saved)
        print(out.tolist(), type(out).__module__, "numpy._core" in sys.modules and not touched)
    """
    out = run_python(code)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["[-1,", "-1,", "-1]", "numpy", "True"]


@pytest.mark.parametrize(
    "setup, message",
    [
        ("NumpyVersion = lambda v: type('V', (), {'major': 300})()", "unexpected NumPy major version"),
        ("NumpyVersion = lambda v: 1/0", "ZeroDivisionError: division by zero"),
    ],
)
def test_numpy_version_failures_retry(setup, message):
    code = f"""
        import sys, types
        import numpy, numpy.lib
        real_version = numpy.lib.NumpyVersion
        import rastermark
        exec({setup!r}, numpy.lib.__dict__)
        for _ in range(2):
            try:
                rastermark.annotate_scanlines(numpy.zeros(2), numpy.zeros(2))
            except BaseException as e:
                print(type(e).__name__, str(e))
        numpy.lib.NumpyVersion = real_version
        print(rastermark.annotate_scanlines(numpy.zeros(2), numpy.zeros(2)).tolist())
    """
    out = run_python(code)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert len(lines) == 3
    for line in lines[:2]:
        assert line.startswith("PanicException Failed to access NumPy array API capsule: ")
        assert message in line
    assert lines[2] == "[-1, -1]"
