"""A slow, independent model of the scanline labelling, written for tests.

Every arithmetic step is done on NumPy scalars of the input's element type,
so float32 inputs are rounded to float32 after each operation, exactly as the
native code must do.  Nothing here is fast; it is meant to be obviously right.
"""

from __future__ import annotations

import math

import numpy as np


def _same(a, b, eps) -> bool:
    return bool(abs(a - b) < eps)


def _collapse(items, eps, T):
    """items: list of (compared, averaged, first_sample, last_sample).

    Returns a list of (anchor, mean, start, end) runs, each compared with its
    first member.
    """
    runs = []
    anchor, total, count, start = items[0][0], items[0][1], 1, items[0][2]
    last_end = items[0][3]
    for comp, avg, first, last in items[1:]:
        if _same(comp, anchor, eps):
            total = total + avg
            count += 1
        else:
            runs.append((anchor, total / T(count), start, last_end))
            anchor, total, count, start = comp, avg, 1, first
        last_end = last
    runs.append((anchor, total / T(count), start, last_end))
    return runs


def chunk_plan(length: int, workers: int):
    c = length // workers + (1 if length % workers else 0)
    return [(s, min(s + c, length)) for s in range(0, length, c)]


def _stitch(chunks, eps, T):
    out = []
    for chunk in chunks:
        for anchor, mean, start, end in chunk:
            if out and _same(anchor, out[-1][0], eps):
                l_anchor, l_mean, l_start, l_end = out[-1]
                sp = float(end - start + 1)
                sl = float(l_end - l_start + 1)
                merged = T((float(mean) * sp + float(l_mean) * sl) / (sp + sl))
                out[-1] = (l_anchor, merged, l_start, end)
            else:
                out.append((anchor, mean, start, end))
    return out


def _collapse_step(items, eps, T, workers, threshold):
    if workers >= 2 and len(items) >= threshold:
        chunks = [_collapse(items[s:e], eps, T) for s, e in chunk_plan(len(items), workers)]
        return _stitch(chunks, eps, T)
    return _collapse(items, eps, T)


X_CHUNK_THRESHOLD = 500000  # samples
Y_CHUNK_THRESHOLD = 250000  # points


def collapse(x, y, workers: int = 1, x_threshold=X_CHUNK_THRESHOLD, y_threshold=Y_CHUNK_THRESHOLD):
    """Both collapse steps; returns points as (x, y, start, end) tuples.  The
    thresholds are the smallest step inputs that are split into chunks."""
    T = x.dtype.type
    eps = T(np.finfo(x.dtype).eps)
    n = len(x)
    if n == 0:
        return []
    xs, ys = list(x), list(y)
    x_runs = _collapse_step([(xs[i], ys[i], i, i) for i in range(n)], eps, T, workers, x_threshold)
    # x runs carry (x, mean y); y runs are compared on y and average x.
    items = [(my, ax, s, e) for ax, my, s, e in x_runs]
    y_runs = _collapse_step(items, eps, T, workers, y_threshold)
    return [(mx, ay, s, e) for ay, mx, s, e in y_runs]


def _signum(v):
    if math.isnan(v):
        return None  # differs from everything, itself included
    return -1 if np.signbit(v) else 1


def _direction(a, b, carried, eps):
    if _same(a[0], b[0], eps) or _same(a[1], b[1], eps):
        return carried
    dy = b[1] - a[1]
    dx = b[0] - a[0]
    return dy / dx if b[0] > a[0] else -dy / dx


def turning_points(points, T):
    """Records as dicts with index, d_same, d_line, x, y, start, end."""
    eps = T(np.finfo(T).eps)
    m = len(points)
    if m < 2:
        return []
    p0 = points[0]
    seed = dict(index=0, d_same=T(0), d_line=T(0), x=p0[0], y=p0[1], start=p0[2], end=p0[3])
    set_a, set_b = [dict(seed)], [dict(seed)]
    prev = _direction(points[0], points[1], T(1.0), eps)
    for l in range(2, m):
        a, b = points[l - 1], points[l]
        new = _direction(a, b, prev, eps)
        sn, sp = _signum(new), _signum(prev)
        if sn is None or sp is None or sn != sp:
            A, B = set_a[-1], set_b[-1]
            if _same(B["x"], A["x"], eps):
                d = a[0] - B["x"]
                d_line = d * d
            else:
                s = (B["y"] - A["y"]) / (B["x"] - A["x"])
                c = A["y"] - A["x"] * s
                off = (a[0] * s - a[1]) + c
                d_line = (off * off) / (s * s + T(1))
            target = set_a if new < 0 else set_b
            L = target[-1]
            dy = L["y"] - a[1]
            dx = L["x"] - a[0]
            d_same = dy * dy + dx * dx
            target.append(dict(index=l - 1, d_same=d_same, d_line=d_line, x=a[0], y=a[1], start=a[2], end=a[3]))
        prev = new
    result = set_a[2:] + set_b[1:]
    result.sort(key=lambda r: r["index"])
    return result


def threshold(turns, T):
    if not turns:
        return T(1)
    values = sorted(r["d_line"] for r in turns if r["d_line"] > T(1e-8))
    if not values:
        return T(1)
    scaled = T(100) * values[len(values) // 2]
    return scaled if scaled > T(1) else T(1)


def _reversal(u, v, T):
    dot = u[0] * v[0] + u[1] * v[1]
    if not dot < 0:
        return False
    return bool(dot * dot > ((u[0] * u[0] + u[1] * u[1]) * (v[0] * v[0] + v[1] * v[1])) * T(0.75))


def labels(n, turns, t, T):
    out = [-1] * n
    k = len(turns)
    if k < 2:
        return out
    cursor, current, is_open = 0, 1, False

    def leg(q, r):
        return (r["x"] - q["x"], r["y"] - q["y"])

    for X in range(1, k):
        R = turns[X]
        accepted = False
        if not (R["d_same"] > t) and not (T(0.5) * R["d_same"] > R["d_line"]):
            v = leg(turns[X - 1], R)
            back = X >= 2 and _reversal(leg(turns[X - 2], turns[X - 1]), v, T)
            ahead = X + 1 < k and _reversal(v, leg(R, turns[X + 1]), T)
            accepted = back or ahead
        if accepted:
            mid = R["start"] + (R["end"] - R["start"]) // 2
            frm = cursor if is_open else turns[X - 1]["end"] + 1
            for i in range(frm, min(mid, n - 1) + 1):
                out[i] = current
            cursor, current, is_open = mid + 1, current + 1, True
        elif is_open:
            for i in range(cursor, min(R["start"], n)):
                out[i] = current
            current, is_open = current + 1, False
    return out


def annotate(x, y, workers: int = 1, **thresholds):
    """The whole labelling for equal-length contiguous float arrays."""
    x = np.asarray(x)
    y = np.asarray(y)
    T = x.dtype.type
    with np.errstate(all="ignore"):
        points = collapse(x, y, workers, **thresholds)
        turns = turning_points(points, T)
        t = threshold(turns, T)
        return np.array(labels(len(x), turns, t, T), dtype=np.int32)
