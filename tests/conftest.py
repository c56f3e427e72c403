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
