"""MOTChallenge metrics (HOTA, CLEAR, Identity) of tracker output against ground
truth, computed by the extension with the official evaluation code's rules and
numbers, per sequence and combined over sequences.

Array-level: the caller reads the files (the numbers as written in them) and
hands over columns. Boxes are left, top, width, height; frames are 1-based.

Ground-truth formats (``fmt``):

* ``"2015"`` (``frame, id, left, top, width, height, conf, x, y, z``):
  no classes; the last three columns are world coordinates. Rows whose
  ``conf`` is 0 are ignored, as the official code does (pass that column as
  ``gt_flags``; without it every row is scored).
* ``"2017"`` (also MOT16, MOT20: ``frame, id, left, top, width, height,
  flag, class, visibility``): rows with flag 0 are ignored, class 1 is scored,
  tracker boxes matched (IoU >= 0.5) to a row of class 2, 7, 8 or 12 (flag 0
  or not) are removed first, rows of the other classes (3-6, 9-11, 13) are
  ignored; any other class is refused, as the official code refuses it.
  Visibility plays no part.

Metrics are keyed by the official names; ratios are fractions (MOTP is the
mean IoU of the CLEAR matches), counts are ints.
"""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import dataclass
from typing import Any, Literal

import numpy as np
from numpy.typing import ArrayLike

__all__ = ["METRIC_NAMES", "SequenceEvaluation", "evaluate_sequence", "combine"]

METRIC_NAMES = (
    "HOTA", "DetA", "AssA", "LocA", "DetRe", "DetPr", "AssRe", "AssPr",
    "MOTA", "MOTP", "IDF1", "IDP", "IDR", "IDSW", "FP", "FN", "MT", "PT", "ML", "Frag",
)  # fmt: skip


@dataclass(frozen=True)
class SequenceEvaluation:
    """One sequence's metrics, and the counts that :func:`combine` adds up
    (plain dict of ints, floats and NumPy arrays: picklable, so it can come
    back from a worker process)."""

    metrics: dict[str, float | int]
    counts: dict[str, Any]


def _column(values: ArrayLike | None) -> np.ndarray | None:
    # int64 and float64 columns go as they are (the extension reads int64 in
    # place and checks float64 values are whole); anything else as float64.
    if values is None:
        return None
    a = np.asarray(values)
    if a.dtype != np.int64 and a.dtype != np.float64:
        a = a.astype(np.float64)
    return a.reshape(-1)


def _boxes(values: ArrayLike) -> np.ndarray:
    a = np.asarray(values, dtype=np.float64)
    return a.reshape(0, 4) if a.size == 0 else a


def evaluate_sequence(
    gt_frames: ArrayLike,
    gt_ids: ArrayLike,
    gt_ltwh: ArrayLike,
    trk_frames: ArrayLike,
    trk_ids: ArrayLike,
    trk_ltwh: ArrayLike,
    *,
    num_frames: int,
    fmt: Literal["2015", "2017"],
    gt_flags: ArrayLike | None = None,
    gt_classes: ArrayLike | None = None,
    full_matrices: bool = False,
) -> SequenceEvaluation:
    """Evaluate one sequence of ``num_frames`` frames.

    Rows may come in any frame order; within a frame, their order is the
    file's (it decides ties, as in the official code). ``gt_flags`` (the
    seventh column) and ``gt_classes`` (the eighth) are required with
    ``fmt="2017"``; with ``"2015"``, ``gt_flags`` is optional and
    ``gt_classes`` is refused. Raises ValueError on a frame outside ``1..num_frames``, a
    non-integer frame or id, a non-finite box, an id repeated within a frame,
    or an unknown class.

    A frame's matchings are normally solved from its overlapping boxes
    alone, and on the frame's full matrix only when a tie (or a near-tie)
    could decide them; ``counts["full_matrix_frames"]`` tells how many frames
    took the full solve, per matching (``"distractors"``, ``"hota"``,
    ``"clear"``). ``full_matrices=True`` computes every frame over its full
    matrices, as the official code does: slower, the same numbers."""
    import loomfeather_cpp as lf

    counts, metrics = lf.evaluate_sequence(
        _column(gt_frames), _column(gt_ids), _boxes(gt_ltwh),
        _column(trk_frames), _column(trk_ids), _boxes(trk_ltwh),
        num_frames, fmt, _column(gt_flags), _column(gt_classes), full_matrices,
    )  # fmt: skip
    return SequenceEvaluation(metrics=metrics, counts=counts)


def combine(evaluations: Iterable[SequenceEvaluation]) -> dict[str, float | int]:
    """Metrics of the sequences taken together, equal to the official
    "COMBINED_SEQ" row: counts summed, association and localisation accuracy
    weighted by each sequence's HOTA true positives."""
    import loomfeather_cpp as lf

    return lf.combine_evaluations([e.counts for e in evaluations])
