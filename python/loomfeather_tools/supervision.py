"""A drop-in for supervision's ``ByteTrack`` (``sv.ByteTrack``, shipped by
supervision up to the 0.30 releases and removed in 0.31), running
loomfeather_cpp's ``ByteTracker``.

    from loomfeather_tools.supervision import ByteTrack

    tracker = ByteTrack(lost_track_buffer=30, frame_rate=25)
    tracked = tracker.update_with_detections(detections)  # sv.Detections in and out

Works with the ``Detections`` of any supervision release, the newest included;
supervision itself is never imported here. See README.md for how each
parameter maps onto ``TrackerConfig`` and what behaves differently.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from ._adapter import DetectionsTracker, check_buffer_parameters

if TYPE_CHECKING:
    from supervision import Detections

__all__ = ["ByteTrack", "config_options", "lost_frames"]

# Fixed in supervision's ByteTrack, not parameters there.
_LOW_SCORE = 0.1
_NEW_TRACK_MARGIN = 0.1
_RECOVERY_IOU = 0.5


def lost_frames(lost_track_buffer: int, frame_rate: float) -> int:
    """Consecutive missed frames after which supervision's ByteTrack still
    recovers a lost track (measured on 0.26.1): int(frame_rate / 30 *
    lost_track_buffer) + 1, and never fewer than 2."""
    return max(int(frame_rate / 30.0 * lost_track_buffer), 1) + 1


def config_options(
    track_activation_threshold: float = 0.25,
    lost_track_buffer: int = 30,
    minimum_matching_threshold: float = 0.8,
    frame_rate: float = 30,
    minimum_consecutive_frames: int = 1,
) -> dict[str, Any]:
    """``TrackerConfig`` keyword arguments closest to supervision's ByteTrack
    with these parameters."""
    check_buffer_parameters(frame_rate, lost_track_buffer, minimum_consecutive_frames)
    return {
        "high_score_thresh": track_activation_threshold,
        "low_score_thresh": min(_LOW_SCORE, track_activation_threshold),
        "new_track_thresh": track_activation_threshold + _NEW_TRACK_MARGIN,
        "match_iou_thresh": 1.0 - minimum_matching_threshold,
        "recovery_iou_thresh": _RECOVERY_IOU,
        # supervision (0.26 to 0.29) reports a track from its
        # (minimum_consecutive_frames + 1)-th detection in a row; n_init counts
        # detections the same way. (0.30 reports from detection max(2, m).)
        "n_init": minimum_consecutive_frames + 1,
        "max_age": lost_frames(lost_track_buffer, frame_rate),
        # supervision neither gates by motion nor separates classes.
        "use_mahalanobis_gating": False,
        "class_aware": False,
    }


class ByteTrack(DetectionsTracker):
    """supervision's ``ByteTrack`` interface on loomfeather_cpp's tracker.

    The five parameters are supervision's, with its defaults. ``box``:
    ``"detection"`` (default, as supervision does) returns each track with the
    box of the detection it was matched to; ``"track"`` with the Kalman
    filter's corrected box (float64). Further keywords are
    ``loomfeather_cpp.TrackerConfig`` fields and override the values derived
    from supervision's parameters (``config`` shows the result).
    """

    def __init__(
        self,
        track_activation_threshold: float = 0.25,
        lost_track_buffer: int = 30,
        minimum_matching_threshold: float = 0.8,
        frame_rate: float = 30,
        minimum_consecutive_frames: int = 1,
        *,
        box: str = "detection",
        **config: Any,
    ) -> None:
        options = config_options(
            track_activation_threshold, lost_track_buffer, minimum_matching_threshold, frame_rate, minimum_consecutive_frames
        )
        super().__init__(options, config, box)

    def update_with_detections(self, detections: Detections) -> Detections:
        """Advance one frame. Returns the tracks reported in this frame as the
        rows of ``detections`` they were matched to, with every field (mask,
        confidence, class_id, data, ...) and ``tracker_id`` set, in input
        order. Without ``confidence`` every detection counts as
        confident (supervision's own ByteTrack fails there)."""
        return self._update(detections)
