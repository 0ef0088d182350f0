"""What the drop-in trackers of :mod:`loomfeather_tools.supervision` and
:mod:`loomfeather_tools.trackers` share: a ``ByteTracker`` fed from a
``Detections`` object, answering with the input rows the reported tracks were
matched to.

Nothing here imports supervision: a ``Detections`` object is only read
(``xyxy``, ``confidence``, ``class_id``, ``len``) and indexed with an integer
array, which carries every per-detection field (mask, data, ...) along.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import TYPE_CHECKING, Any, TypeVar

import numpy as np

from .track import CONFIG_FIELDS

if TYPE_CHECKING:
    import loomfeather_cpp

__all__ = ["BOX_SOURCES", "DetectionsTracker"]

BOX_SOURCES = ("detection", "track")
_FIELD_NAMES = frozenset(name for name, *_ in CONFIG_FIELDS)

D = TypeVar("D")


def check_buffer_parameters(frame_rate: float, lost_track_buffer: int, minimum_consecutive_frames: int) -> None:
    """The checks both libraries' lost-track and confirmation parameters share."""
    if not frame_rate > 0:
        raise ValueError(f"frame_rate must be positive, got {frame_rate!r}")
    if lost_track_buffer < 0:
        raise ValueError(f"lost_track_buffer must be >= 0, got {lost_track_buffer!r}")
    if minimum_consecutive_frames < 1:
        raise ValueError(f"minimum_consecutive_frames must be >= 1, got {minimum_consecutive_frames!r}")


class DetectionsTracker:
    """A ``loomfeather_cpp.ByteTracker`` that takes and returns ``Detections``.

    ``options`` are the ``TrackerConfig`` values derived from another library's
    parameters; ``overrides`` (``TrackerConfig`` field names) replace them.
    """

    def __init__(self, options: Mapping[str, Any], overrides: Mapping[str, Any], box: str) -> None:
        import loomfeather_cpp as lf

        unknown = sorted(set(overrides) - _FIELD_NAMES)
        if unknown:
            raise TypeError(
                f"{type(self).__name__}() got unexpected keyword argument(s) {', '.join(map(repr, unknown))}; "
                "extra keywords must be loomfeather_cpp.TrackerConfig fields"
            )
        if box not in BOX_SOURCES:
            raise ValueError(f"box must be 'detection' or 'track', got {box!r}")
        self._config = lf.TrackerConfig(**{**options, **overrides})
        self._tracker = lf.ByteTracker(self._config)
        self._box = box

    @property
    def config(self) -> loomfeather_cpp.TrackerConfig:
        """The ``TrackerConfig`` in use: a ``ByteTracker`` built from it and fed
        the same arrays reports the same tracks."""
        return self._config

    @property
    def box(self) -> str:
        """Which box the reported rows carry: the detection's or the track's."""
        return self._box

    def reset(self) -> None:
        """Forget every track; identifiers start again from 1."""
        self._tracker.reset()

    def _update(self, detections: D) -> D:
        """One frame: the reported tracks as rows of ``detections`` (every field
        of the matched detection), in input order."""
        xyxy = np.asarray(detections.xyxy)  # type: ignore[attr-defined]
        n = len(xyxy)
        confidence = detections.confidence  # type: ignore[attr-defined]
        # Without confidences every detection counts as fully confident.
        scores = np.ones(n) if confidence is None else confidence
        ids, boxes, _, _, rows = self._tracker.update(
            xyxy,
            scores,
            class_ids=detections.class_id,  # type: ignore[attr-defined]
            return_indices=True,
        )
        order = np.argsort(rows, kind="stable")  # input order, as supervision keeps it
        out = detections[rows[order]]  # type: ignore[index]
        if self._box == "track":
            out.xyxy = boxes[order]  # float64, as the filter holds them
        out.tracker_id = ids[order]
        return out
