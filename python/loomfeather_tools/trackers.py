"""A drop-in for the ``trackers`` package's ``ByteTrackTracker`` (2.6),
running loomfeather_cpp's ``ByteTracker``.

    from loomfeather_tools.trackers import ByteTrackTracker

    tracker = ByteTrackTracker(lost_track_buffer=30, frame_rate=25.0)
    tracked = tracker.update(detections)  # supervision Detections in and out

Neither ``trackers`` nor supervision is imported here. See README.md for how
each parameter maps onto ``TrackerConfig`` and what behaves differently.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any

from ._adapter import DetectionsTracker, check_buffer_parameters

if TYPE_CHECKING:
    from supervision import Detections

__all__ = ["ByteTrackTracker", "config_options", "lost_frames"]


def lost_frames(lost_track_buffer: int, frame_rate: float) -> int:
    """Consecutive missed frames after which ``trackers``' ByteTrackTracker
    still recovers a lost track (measured on 2.6.1): lost_track_buffer *
    frame_rate / 30 rounded up. Our tracker keeps a track for at least one
    missed frame, so 0 becomes 1."""
    return max(math.ceil(lost_track_buffer * frame_rate / 30.0), 1)


def config_options(
    lost_track_buffer: int = 30,
    frame_rate: float = 30.0,
    track_activation_threshold: float = 0.7,
    minimum_consecutive_frames: int = 2,
    minimum_iou_threshold: float = 0.1,
    high_conf_det_threshold: float = 0.6,
) -> dict[str, Any]:
    """``TrackerConfig`` keyword arguments closest to ``trackers``'
    ByteTrackTracker with these parameters."""
    check_buffer_parameters(frame_rate, lost_track_buffer, minimum_consecutive_frames)
    return {
        "high_score_thresh": high_conf_det_threshold,
        "low_score_thresh": 0.0,  # trackers recovers tracks with any score
        "new_track_thresh": track_activation_threshold,
        "match_iou_thresh": minimum_iou_threshold,
        "recovery_iou_thresh": minimum_iou_threshold,
        # Both report a track from detection max(2, n) in a row.
        "n_init": minimum_consecutive_frames,
        "max_age": lost_frames(lost_track_buffer, frame_rate),
        # trackers neither gates by motion nor separates classes.
        "use_mahalanobis_gating": False,
        "class_aware": False,
    }


def _type_name(obj: object) -> str:
    return obj.__name__ if isinstance(obj, type) else type(obj).__name__


class ByteTrackTracker(DetectionsTracker):
    """``trackers.ByteTrackTracker``'s interface on loomfeather_cpp's tracker.

    The parameters are those of ``trackers`` 2.6, with its defaults.
    ``state_estimator_class`` and ``iou`` accept only their defaults (the
    tracker's filter works on centre, aspect and height, and overlaps are
    plain IoU; ``use_giou=True`` is the nearest to GIoU). ``box``,
    ``"detection"`` (default, as ``trackers`` does) or ``"track"``, chooses the
    detection's or the Kalman filter's box (float64). Further keywords are
    ``loomfeather_cpp.TrackerConfig`` fields and override the derived values.
    """

    def __init__(
        self,
        lost_track_buffer: int = 30,
        frame_rate: float = 30.0,
        track_activation_threshold: float = 0.7,
        minimum_consecutive_frames: int = 2,
        minimum_iou_threshold: float = 0.1,
        high_conf_det_threshold: float = 0.6,
        state_estimator_class: type | None = None,
        iou: object | None = None,
        *,
        box: str = "detection",
        **config: Any,
    ) -> None:
        if state_estimator_class is not None and _type_name(state_estimator_class) != "XYXYStateEstimator":
            raise ValueError(
                f"state_estimator_class {_type_name(state_estimator_class)} is not available: "
                "loomfeather_cpp's Kalman filter is fixed; leave it out"
            )
        if iou is not None and _type_name(iou) != "IoU":
            raise ValueError(f"iou {_type_name(iou)} is not available: only plain IoU (use_giou=True for GIoU costs)")
        options = config_options(
            lost_track_buffer,
            frame_rate,
            track_activation_threshold,
            minimum_consecutive_frames,
            minimum_iou_threshold,
            high_conf_det_threshold,
        )
        super().__init__(options, config, box)

    def update(self, detections: Detections, frame: object | None = None, timestamp: float | None = None) -> Detections:
        """Advance one frame. Returns the tracks reported in this frame as the
        rows of ``detections`` they were matched to, with every field and
        ``tracker_id`` set, in input order (``trackers`` also returns the
        unreported detections, with ``tracker_id`` -1, in an order of its own).
        ``frame`` is ignored; ``timestamp`` is refused: every call advances
        exactly one frame."""
        if timestamp is not None:
            raise ValueError("timestamp is not supported: every update advances exactly one frame")
        return self._update(detections)
