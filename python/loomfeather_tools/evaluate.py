"""CLEAR-MOT and identity metrics of a results table against ground truth, with
motmetrics (an optional dependency: ``pip install loomfeather_cpp[tools]``)."""

from __future__ import annotations

import warnings
from collections.abc import Iterable
from typing import Any

import numpy as np
from numpy.typing import NDArray

from .motio import GroundTruth, MotTable

__all__ = ["METRICS", "evaluate", "render"]

# motmetrics name -> heading of the printed table.
METRICS = {
    "idf1": "IDF1",
    "mota": "MOTA",
    "motp": "MOTP",
    "precision": "Prcn",
    "recall": "Rcll",
    "num_switches": "IDs",
    "mostly_tracked": "MT",
    "partially_tracked": "PT",
    "mostly_lost": "ML",
    "num_false_positives": "FP",
    "num_misses": "FN",
    "num_unique_objects": "GT",
}
_RATES = {"idf1", "mota", "precision", "recall"}
_FRACTIONS = _RATES | {"motp"}  # motp: mean 1 - IoU of the matched pairs


def _iou_distance(gt: NDArray[np.float64], hyp: NDArray[np.float64], max_dist: float = 0.5) -> NDArray[np.float64]:
    """1 - IoU of ltwh boxes, NaN (no pairing) past ``max_dist``: MOTChallenge's
    matching criterion. motmetrics' own ``iou_matrix`` calls ``np.asfarray``,
    which NumPy 2 removed, so only its ``boxiou`` kernel is used."""
    import motmetrics as mm  # type: ignore[import-untyped]

    if gt.size == 0 or hyp.size == 0:
        return np.empty((len(gt), len(hyp)))
    dist = 1.0 - mm.distances.boxiou(gt[:, None], hyp[None, :])
    return np.where(dist > max_dist, np.nan, dist)


def evaluate(gt: MotTable | GroundTruth, results: MotTable, frames: Iterable[int] | None = None) -> dict[str, Any]:
    """Metrics over ``frames`` (default: every frame of either table), as a
    dict keyed by the motmetrics names of :data:`METRICS`; rates are fractions.
    Ground truth read from a file counts its :meth:`GroundTruth.counted` rows."""
    import motmetrics as mm

    if isinstance(gt, GroundTruth):
        gt = gt.counted()
    if frames is None:
        frames = range(1, max(gt.max_frame, results.max_frame) + 1)
    gs, rs = gt.frame_slices(), results.frame_slices()
    if isinstance(frames, range) and frames.step == 1:
        # Frames with neither ground truth nor results add nothing to these
        # metrics: a long gap costs nothing.
        frames = [f for f in sorted(gs.keys() | rs.keys()) if f in frames]
    empty = slice(0, 0)
    acc = mm.MOTAccumulator(auto_id=False)
    with warnings.catch_warnings():
        # motmetrics runs on pandas and NumPy APIs that warn about their future.
        warnings.simplefilter("ignore", DeprecationWarning)
        warnings.simplefilter("ignore", FutureWarning)
        for f in frames:
            g, r = gs.get(f, empty), rs.get(f, empty)
            acc.update(gt.ids[g].tolist(), results.ids[r].tolist(), _iou_distance(gt.ltwh[g], results.ltwh[r]), frameid=f)
        mh = mm.metrics.create()
        summary = mh.compute(acc, metrics=list(METRICS), name="all")
    row = summary.loc["all"]
    return {k: float(row[k]) if k in _FRACTIONS else int(row[k]) for k in METRICS}


def render(metrics: dict[str, Any], name: str) -> str:
    """A two-line table: headings, then values (rates in percent)."""
    cells = []
    for key, head in METRICS.items():
        v = metrics[key]
        text = f"{100.0 * v:.1f}%" if key in _RATES else (f"{v:.3f}" if key == "motp" else str(v))
        cells.append((head, text))
    width = max(len(name), 8)
    top = " " * width + "".join(f" {h:>{max(len(h), len(t))}}" for h, t in cells)
    bottom = f"{name:<{width}}" + "".join(f" {t:>{max(len(h), len(t))}}" for h, t in cells)
    return top + "\n" + bottom
