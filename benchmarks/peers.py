"""Tracking quality beside the usual Python ByteTrack packages: the shared
splits' combined HOTA, MOTA and IDF1 of loomfeather_cpp's presets (the
default configuration among them), supervision's ``ByteTrack`` (0.26.1) and
the ``trackers`` package's ``ByteTrackTracker`` (2.6.1), each at its
defaults, on the same detections, written with two decimals and evaluated by
the same native evaluator in one run.

    .venv/bin/python -m pip install -r requirements-bench.txt
    .venv/bin/python benchmarks/peers.py          (prints the Markdown section)

Scores go in as the files give them. MOT15-train-ACF's detector scores are
not probabilities (about -1 to 150): every tracker gets them divided by the
sequence's highest score (what ``--score-scale auto`` does), so they end at 1
and the negative ones stay below every threshold; a preset with a score
normalisation of its own (``unbounded``) uses its own on every split
instead. A preset is marked where it was tuned on the split it is scored on
(held-out figures: benchmarks/presets.md). No tracker is told the frame
rate (all three default to counting frames as at 30 frames/s). The other two
packages are run as black boxes through their public API: each frame's
detections in as ``supervision.Detections``, the returned boxes with a track
identifier (>= 0) out.
"""

from __future__ import annotations

import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import importlib.metadata as md  # noqa: E402
import time  # noqa: E402
import warnings  # noqa: E402
from collections.abc import Callable  # noqa: E402

import numpy as np  # noqa: E402

from loomfeather_tools.fixedpoint import format_mot_rows  # noqa: E402
from loomfeather_tools.motio import read_detections, read_ground_truth  # noqa: E402
from loomfeather_tools.presets import PRESETS, Preset  # noqa: E402
from loomfeather_tools.sequences import resolve_inputs  # noqa: E402
from loomfeather_tools.summary import combine, evaluate_run  # noqa: E402
from loomfeather_tools.track import track_table  # noqa: E402
from shared_data import motchallenge_dir  # noqa: E402

SPLITS = [("MOT15-train", False), ("MOT15-train-ACF", True), ("MOT17-halfval", False)]
Frames = list[tuple[np.ndarray, np.ndarray]]  # per frame 1..length: xyxy, scores
Rows = tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]  # frames, ids, ltwh, scores



def ours(preset: Preset) -> Callable[..., Rows]:
    def run(dets, length: int, scale: float) -> Rows:  # type: ignore[no-untyped-def]
        rule = preset.score_scale if not preset.score_scale.is_identity else scale
        r = track_table(dets, range(1, length + 1), preset.config, score_scale=rule).results
        return r.frames, r.ids, r.ltwh, r.scores

    return run


def label(name: str) -> str:
    return f"loomfeather_cpp, preset {name}" + (" (defaults)" if name == "default" else "")


def _black_box(make: Callable[[], object], step: Callable[[object, object], object]) -> Callable[..., Rows]:
    def run(dets, length: int, scale: float) -> Rows:  # type: ignore[no-untyped-def]
        import supervision as sv

        tracker = make()
        xyxy, scores = dets.xyxy, dets.scores / scale
        slices = dets.frame_slices()
        out_f, out_i, out_b, out_s = [], [], [], []
        for frame in range(1, length + 1):
            s = slices.get(frame, slice(0, 0))
            d = sv.Detections(xyxy=xyxy[s], confidence=scores[s], class_id=np.zeros(s.stop - s.start, dtype=int))
            got = step(tracker, d)
            ids = got.tracker_id if got.tracker_id is not None else np.full(len(got), -1)
            keep = ids >= 0
            if keep.any():
                out_f.append(np.full(int(keep.sum()), frame))
                out_i.append(ids[keep] + 1)  # identifiers from 1
                out_b.append(np.asarray(got.xyxy, dtype=np.float64)[keep])
                conf = got.confidence if got.confidence is not None else np.ones(len(got))
                out_s.append(np.asarray(conf, dtype=np.float64)[keep] * scale)
        if not out_f:
            return np.zeros(0, np.int64), np.zeros(0, np.int64), np.zeros((0, 4)), np.zeros(0)
        b = np.concatenate(out_b)
        return np.concatenate(out_f), np.concatenate(out_i), np.c_[b[:, :2], b[:, 2:] - b[:, :2]], np.concatenate(out_s)

    return run


def trackers_under_test() -> dict[str, Callable[..., Rows]]:
    found: dict[str, Callable[..., Rows]] = {label(name): ours(p) for name, p in PRESETS.items()}
    try:
        import supervision as sv

        if hasattr(sv, "ByteTrack"):
            found[f"supervision {md.version('supervision')} ByteTrack"] = _black_box(sv.ByteTrack, lambda t, d: t.update_with_detections(d))
    except ImportError:
        pass
    try:
        import trackers

        found[f"trackers {md.version('trackers')} ByteTrackTracker"] = _black_box(trackers.ByteTrackTracker, lambda t, d: t.update(d))
    except ImportError:
        pass
    return found


def measure() -> tuple[list[str], dict[tuple[str, str], tuple[dict, float]]]:
    """(tracker names, {(split, tracker): (combined metrics, tracking seconds)})."""
    data = motchallenge_dir()
    if data is None:
        raise SystemExit("shared/data/motchallenge not found")
    runners = trackers_under_test()
    table: dict[tuple[str, str], tuple[dict, float]] = {}
    for split, rescale in SPLITS:
        seqs = resolve_inputs([data / split])
        loaded = []
        for seq in seqs:
            dets = read_detections(seq.det, seqinfo=seq.seqinfo)
            gt = read_ground_truth(seq.gt, seqinfo=seq.seqinfo)
            scale = float(dets.scores.max()) if rescale else 1.0
            loaded.append((seq, dets, gt, scale))
        for name, run in runners.items():
            evaluations, spent = [], 0.0
            for seq, dets, gt, scale in loaded:
                start = time.perf_counter()
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    frames, ids, ltwh, scores = run(dets, seq.length, scale)
                spent += time.perf_counter() - start
                order = np.lexsort((ids, frames))
                _, written = format_mot_rows(frames[order], ids[order], ltwh[order], scores[order])
                evaluations.append(evaluate_run(gt, frames[order], ids[order], written, seq.length))
            table[(split, name)] = (combine(evaluations), spent)
    return list(runners), table


def section() -> str:
    names, table = measure()
    lines = [
        "## Tracking quality beside the Python ByteTrack packages",
        "",
        "Combined over each shared split (loomfeather_cpp's presets, the others at their defaults, same detections, "
        "results written with two decimals and scored by the same native evaluator, in one run; MOT15-train-ACF "
        "scores divided by each sequence's highest, except for a preset with its own score normalisation). "
        "*tuned*: the preset was selected on this split (held-out figures in benchmarks/presets.md). Tracking time: "
        "the trackers' own loops over every frame, evaluation not included.",
        "",
        "| split | tracker | HOTA | MOTA | IDF1 | IDSW | tracking |",
        "|---|---|---|---|---|---|---|",
    ]
    tuned = {label(name): p.tuned_on for name, p in PRESETS.items()}
    for split, _ in SPLITS:
        for name in names:
            m, spent = table[(split, name)]
            mark = " *tuned*" if split in tuned.get(name, ()) else ""
            lines.append(
                f"| {split} | {name}{mark} | {100 * m['HOTA']:.1f} | {100 * m['MOTA']:.1f} | {100 * m['IDF1']:.1f} | {m['IDSW']} | {spent:.2f} s |"
            )
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    print(section())
