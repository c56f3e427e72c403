import os
import sys

import numpy as np
import pytest

sys.path.insert(0, os.path.dirname(__file__))

FLOAT_TYPES = [np.float64, np.float32]


def zigzag(lines: int, shift_after: int | None = None, shift: float = 50.0):
    """The vertical zig-zag of the worked examples: line k at x = k with five
    samples (rising on even lines, falling on odd ones) and one transition
    sample between lines; everything after line `shift_after` moves by
    `shift` in x."""
    xs, ys = [], []
    for k in range(lines):
        dx = shift if shift_after is not None and k > shift_after else 0.0
        values = [0, 1, 2, 3, 4] if k % 2 == 0 else [4, 3, 2, 1, 0]
        xs += [k + dx] * 5
        ys += values
        if k < lines - 1:
            tdx = shift if shift_after is not None and k >= shift_after else 0.0
            xs.append(k + 0.5 + tdx)
            ys.append(5 if k % 2 == 0 else -1)
    return np.array(xs, dtype=np.float64), np.array(ys, dtype=np.float64)


def expected_labels(n, stretches):
    """Labels from {id: (first, last)} with -1 elsewhere."""
    out = np.full(n, -1, dtype=np.int32)
    for ident, (first, last) in stretches.items():
        out[first : last + 1] = ident
    return out


@pytest.fixture(params=FLOAT_TYPES, ids=lambda t: t.__name__)
def ftype(request):
    return request.param


def long_zigzag(lines: int, per_line: int, dtype=np.float64):
    """Vertical zig-zag: line k at x = k with `per_line` samples rising on
    even and falling on odd lines, one transition sample after each line but
    the last (at y = per_line after a rising line, -1 after a falling one)."""
    ramp = np.arange(per_line, dtype=dtype)
    block = per_line + 1
    n = lines * block - 1
    x = np.empty(n, dtype=dtype)
    y = np.empty(n, dtype=dtype)
    for parity in (0, 1):
        ks = np.arange(parity, lines, 2)
        starts = ks * block
        idx = (starts[:, None] + np.arange(per_line)[None, :]).ravel()
        x[idx] = np.repeat(ks.astype(dtype), per_line)
        y[idx] = np.tile(ramp if parity == 0 else ramp[::-1], len(ks))
        trans = starts + per_line
        keep = trans < n
        x[trans[keep]] = ks[keep] + dtype(0.5)
        y[trans[keep]] = per_line if parity == 0 else -1
    return x, y


def long_zigzag_labels(lines: int, per_line: int):
    """Its labels (per_line >= 3): line j + 1 and the transition after it get id j, for
    j = 1 .. lines - 3; the first two lines and the last one stay -1."""
    block = per_line + 1
    n = lines * block - 1
    ids = np.full(n, -1, dtype=np.int32)
    j = np.arange(1, lines - 2)
    body = ((j + 1) * block)[:, None] + np.arange(block)[None, :]
    ids[body.ravel()] = np.repeat(j, block).astype(np.int32)
    return ids


def check_from_threads(inputs, want, choose, threads_n, calls, timeout):
    """Starts `threads_n` threads together; thread s calls annotate_scanlines
    on inputs[choose(s, call)] `calls` times and compares with want.  Returns
    the indices of wrong results; fails if a thread does not finish."""
    import threading

    import rastermark

    barrier = threading.Barrier(threads_n)
    failures = []

    def work(seed):
        barrier.wait(timeout=60)
        for call in range(calls):
            i = choose(seed, call)
            if not np.array_equal(rastermark.annotate_scanlines(*inputs[i]), want[i]):
                failures.append(i)

    threads = [threading.Thread(target=work, args=(s,)) for s in range(threads_n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=timeout)
    assert not any(t.is_alive() for t in threads), "a call hung"
    return failures
