"""Both labellers scored against ground truth, one row per variant:

    python benchmarks/groundtruth/score_table.py build/groundtruth/held_out [--real]

reads the traces `make_traces.py` wrote (x, y, truth, kind, laser_on), labels
each with `annotate_scanlines` (the rule) and `label_hatches`, and prints
the figures of `rastermark_tools.score` summed over the traces of each
variant.  `--real` adds the real layers: the path files in data/ and the
slice files of the shared real data, sampled every 0.01 mm while marking and
every 0.04 mm while jumping, their truth the vectors they state.
"""

from __future__ import annotations

import argparse
import dataclasses
import json
import sys
from collections import defaultdict
from pathlib import Path

import numpy as np

import rastermark
from rastermark_tools import label_hatches
from rastermark_tools.readers import _read_text, _scan_path_segments
from rastermark_tools.sampling import Segments, densify
from rastermark_tools.score import KIND_HATCH, KIND_JUMP, KIND_STEP_OVER, Score, score_labels
from rastermark_tools.slices import read_slice_geometry, slice_segments

ROOT = Path(__file__).resolve().parents[2]
MARK_STEP_MM, JUMP_STEP_MM = 0.01, 0.04
# A laser-off move this short between two marks is a step-over (neutral).
STEP_OVER_MM = 0.3


def sampled(segments: Segments, kinds=None):
    """Marks every MARK_STEP_MM, jumps every JUMP_STEP_MM; truth, kind, laser_on."""
    s = dataclasses.replace(segments, speed=np.where(segments.laser_on, MARK_STEP_MM, JUMP_STEP_MM),
                            pause=np.zeros(len(segments)))
    x, y, columns = densify(s, None, 1.0, True)
    on = columns["laser_on"]
    vector = columns["vector"]
    if kinds is None:
        kind = np.where(on == 1, KIND_HATCH, KIND_JUMP).astype(np.int8)
    else:
        table = np.array([kinds[k] for k in range(len(kinds))], dtype=np.int8)
        kind = table[np.where(on == 1, vector, 0)]
    length = np.hypot(s.x1 - s.x0, s.y1 - s.y0)
    short_jumps = set(s.vector[(~s.laser_on) & (length <= STEP_OVER_MM)].tolist())
    if short_jumps and kinds is None:
        kind[(on == 0) & np.isin(vector, list(short_jumps))] = KIND_STEP_OVER
    truth = np.where(on == 1, vector, 0)
    # A move's samples end on its end point, so the last sample of a jump is
    # the first point of the mark after it: it belongs to that mark.
    start = np.flatnonzero((on[:-1] == 0) & (on[1:] == 1))
    truth[start], kind[start], on[start] = truth[start + 1], kind[start + 1], 1
    return x, y, truth, kind, on


def real_traces():
    for path in sorted((ROOT / "data" / "pbf_peregrine_P5").glob("*.txt")):
        segments = Segments.of(_scan_path_segments(_read_text(path), path))
        yield f"real: {path.name}", "real PBF layers (path files)", sampled(segments)
    for path in sorted((ROOT.parent / "shared" / "realdata" / "cli").glob("*.cli")):
        for index, layer in enumerate(read_slice_geometry(path)):
            segment_list, kinds = slice_segments(layer)
            if not segment_list:
                continue
            yield f"real: {path.name}:{index}", "real slice files (.cli)", sampled(Segments.of(segment_list), kinds)


def synthetic_traces(folder: Path):
    for path in sorted(folder.glob("*.npz")):
        with np.load(path) as d:
            settings = json.loads(str(d["settings"]))
            yield path.stem, settings["variant"], (d["x"], d["y"], d["truth"], d["kind"], d["laser_on"])


def label_all(name, group, trace, totals, with_laser, failures):
    x, y, truth, kind, on = trace
    rule = rastermark.annotate_scanlines(np.ascontiguousarray(x, np.float64), np.ascontiguousarray(y, np.float64))
    runs = [("rule", rule)]
    try:
        runs.append(("hatches", label_hatches(x, y)))
        if with_laser:
            runs.append(("hatches + laser_on", label_hatches(x, y, laser_on=on)))
    except ValueError as e:
        failures.append(f"{name}: {e}")
    for labeller, ids in runs:
        score = score_labels(ids, truth, on, kind)
        key = (group, labeller)
        totals[key] = totals[key] + score if key in totals else score


def share(value: float, digits: int = 1) -> str:
    return "-" if np.isnan(value) else f"{100 * value:.{digits}f}%"


def table(totals: dict[tuple[str, str], Score]) -> str:
    head = ("| variant | labeller | hatches | 1:1 (>= 10 samples) | 1:1 | complete | purity | merges | "
            "long-jump samples labelled | contour samples labelled |")
    lines = [head, "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for (group, labeller), s in totals.items():
        lines.append(f"| {group} | {labeller} | {s.hatches} | {share(s.long_one_to_one_share, 2)} | "
                     f"{share(s.one_to_one_share)} | {share(s.complete_share)} | {share(s.purity, 2)} | {s.merges} | "
                     f"{share(s.long_jump_labelled_share, 2)} | {share(s.contour_labelled_share, 2)} |")
    return "\n".join(lines)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folders", nargs="*", type=Path, help="folders of .npz traces")
    parser.add_argument("--real", action="store_true", help="score the real layers too")
    parser.add_argument("--by-trace", action="store_true", help="a line per trace for label_hatches")
    args = parser.parse_args()
    totals: dict[tuple[str, str], Score] = {}
    failures: list[str] = []
    for folder in args.folders:
        for name, group, trace in synthetic_traces(folder):
            before = {k: v for k, v in totals.items()}
            label_all(name, group, trace, totals, group == "jumps_at_mark_speed", failures)
            if args.by_trace:
                key = (group, "hatches")
                s = totals[key] if key not in before else Score(*(a - b for a, b in zip(
                    totals[key].__dict__.values(), before[key].__dict__.values())))
                print(f"{name:70} {share(s.one_to_one_share):>7} {share(s.complete_share):>7} "
                      f"{share(s.purity, 2):>8} m{s.merges} jump {share(s.long_jump_labelled_share, 2):>6} "
                      f"contour {share(s.contour_labelled_share, 2):>6}", file=sys.stderr)
    if args.real:
        for name, group, trace in real_traces():
            label_all(name, group, trace, totals, False, failures)
    order = sorted(totals, key=lambda k: (k[0].startswith("real"), k[0], k[1] != "rule", k[1]))
    print(table({k: totals[k] for k in order}))
    for failure in failures:
        print(f"not judged: {failure}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
