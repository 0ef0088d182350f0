"""Driving a ByteTracker over a whole detection table: the one place that
calls the extension."""

from __future__ import annotations

import bisect
import sys
import time
from collections.abc import Iterable, Iterator
from dataclasses import dataclass
from typing import Any, TextIO

import numpy as np

from .motio import MotTable
from .scores import ScoreScale

__all__ = ["CONFIG_FIELDS", "TrackRun", "make_config", "track_table", "Progress"]

# Every TrackerConfig constructor argument: name, type, default, help.
CONFIG_FIELDS: tuple[tuple[str, type, Any, str], ...] = (
    ("high_score_thresh", float, 0.5, "detections scoring at least this are matched first"),
    ("low_score_thresh", float, 0.1, "detections scoring below this are ignored; those in between recover tracks"),
    ("match_iou_thresh", float, 0.3, "overlap threshold of the first and third association stages"),
    ("recovery_iou_thresh", float, 0.5, "overlap threshold of the low-score recovery stage"),
    ("new_track_thresh", float, 0.6, "minimum score of an unmatched detection to start a track"),
    ("n_init", int, 3, "hits before a new track is confirmed and reported"),
    ("max_age", int, 30, "frames a confirmed track may go unmatched before it is deleted"),
    ("use_mahalanobis_gating", bool, True, "forbid pairs beyond the Kalman chi-square gate"),
    ("class_aware", bool, True, "forbid pairs of different classes"),
    ("w_iou", float, 1.0, "weight of the overlap cost term"),
    ("w_app", float, 0.0, "weight of the appearance cost term (needs embeddings; unused here)"),
    ("w_unc", float, 0.0, "weight of the motion-uncertainty cost term"),
    ("use_giou", bool, False, "use 1 - GIoU instead of 1 - IoU as overlap cost"),
    ("appearance_ema_alpha", float, 0.9, "weight of a track's previous embedding in its moving average"),
    ("kf_noise_scale", float, 1.0, "factor on both Kalman noise weights"),
    ("w_ocm", float, 0.0, "OC-SORT momentum weight (not available: only 0)"),
    ("ocm_delta_t", int, 3, "OC-SORT momentum frame gap (must be >= 1)"),
    ("use_oru", bool, False, "OC-SORT re-update (not available: only off)"),
    ("use_gmc", bool, False, "global motion compensation (not available: only off)"),
    ("use_lapjv", bool, False, "assign with the Jonker-Volgenant solver"),
)


def make_config(options: dict[str, Any]) -> Any:
    """A loomfeather_cpp.TrackerConfig; raises ValueError or TypeError when the
    extension refuses the values."""
    import loomfeather_cpp as lf

    return lf.TrackerConfig(**options)


class Progress:
    """A one-line progress bar on a text stream, redrawn at most ten times a
    second; does nothing when disabled. :meth:`close` ends the line (once), so
    that whatever is printed next starts on a line of its own."""

    def __init__(
        self, total: int, enabled: bool, stream: TextIO | None = None, label: str = "tracking", unit: str = "frames"
    ) -> None:
        self.total, self.enabled, self.label, self.unit = max(total, 1), enabled, label, unit
        self.stream = stream if stream is not None else sys.stderr
        self.done = 0
        self.note = ""  # shown after the count, e.g. "2 failed"
        self._last = 0.0
        self._open = False  # a drawn line not yet ended

    def _draw(self) -> None:
        filled = int(30 * min(self.done, self.total) / self.total)
        note = f", {self.note}" if self.note else ""
        self.stream.write(f"\r{self.label} [{'#' * filled}{'.' * (30 - filled)}] {self.done}/{self.total} {self.unit}{note}")
        self.stream.flush()
        self._open = True

    def advance(self, n: int = 1) -> None:
        self.done += n
        now = time.monotonic()
        if self.enabled and (now - self._last >= 0.1 or self.done >= self.total):
            self._last = now
            self._draw()

    def message(self, text: str) -> None:
        """A line of its own on the stream, above the bar."""
        if self._open:
            self.stream.write("\r\033[K")
        self.stream.write(text + "\n")
        if self._open:
            self._draw()
        else:
            self.stream.flush()

    def close(self) -> None:
        if self._open:
            self._open = False
            self.stream.write("\n")
            self.stream.flush()


@dataclass(frozen=True)
class TrackRun:
    results: MotTable  # frames in order, ids ascending within a frame
    frames: int  # frames the tracker went through
    detections: int  # detections handed to it
    update_seconds: float  # time spent inside ByteTracker.update only
    updates: int = -1  # ByteTracker.update calls (frames skipped while it held no track are not counted)

    @property
    def tracks(self) -> int:
        return int(np.unique(self.results.ids).size)

    @property
    def fps(self) -> float:
        """Tracker updates per second of ByteTracker.update; NaN when nothing was timed."""
        n = self.updates if self.updates >= 0 else self.frames
        return n / self.update_seconds if self.update_seconds > 0 else float("nan")


def track_table(
    detections: MotTable,
    frames: Iterable[int],
    config: Any,
    score_scale: ScoreScale | float | str = 1.0,
    progress: Progress | None = None,
) -> TrackRun:
    """Run one tracker over ``frames`` in order. Frames without detections
    still advance it (with an empty (0, 4) frame). Scores are normalised for
    the tracker by ``score_scale`` (a :class:`~.scores.ScoreScale` or its
    text: a divisor, ``"auto"``, ``"rank"``), fitted to the whole table's
    scores; reported scores are mapped back to the table's scale.

    A frame without detections that comes while the tracker holds no track at
    all is skipped: such an update changes nothing but the tracker's frame
    counter, which no output depends on. With ``frames`` a ``range`` of step 1,
    a run of such frames is jumped over at once, so a gap of a billion frames
    costs at most ``max_age`` + 1 updates."""
    import loomfeather_cpp as lf

    tracker = lf.ByteTracker(config)
    xyxy = detections.xyxy
    scale = ScoreScale.parse(score_scale).fit(detections.scores)
    scores = scale.normalise(detections.scores)
    slices = detections.frame_slices()
    contiguous = isinstance(frames, range) and frames.step == 1
    present = sorted(slices) if contiguous else []
    no_boxes, no_scores = np.zeros((0, 4)), np.zeros(0)
    out_frames, out_ids, out_boxes, out_scores = [], [], [], []
    n_frames = n_dets = n_updates = 0
    spent = 0.0
    empty = True  # the tracker holds no track
    it: Iterator[int] = iter(frames)
    try:
        while (frame := next(it, None)) is not None:
            s = slices.get(frame)
            if s is None and empty:
                skipped = 1
                if isinstance(frames, range) and contiguous:
                    k = bisect.bisect_right(present, frame)
                    resume = min(present[k], frames.stop) if k < len(present) else frames.stop
                    skipped = resume - frame
                    it = iter(range(resume, frames.stop))
                n_frames += skipped
                if progress is not None:
                    progress.advance(skipped)
                continue
            boxes, sc = (xyxy[s], scores[s]) if s is not None else (no_boxes, no_scores)
            start = time.perf_counter()
            ids, tboxes, tscores, _ = tracker.update(boxes, sc)
            spent += time.perf_counter() - start
            n_frames += 1
            n_updates += 1
            n_dets += len(sc)
            if len(ids):
                out_frames.append(np.full(len(ids), frame, dtype=np.int64))
                out_ids.append(ids)
                out_boxes.append(tboxes)
                out_scores.append(tscores)
                empty = False
            else:
                empty = len(tracker.track_states()[0]) == 0
            if progress is not None:
                progress.advance()
    finally:
        if progress is not None:
            progress.close()
    if out_frames:
        b = np.concatenate(out_boxes)
        ltwh = np.c_[b[:, :2], b[:, 2:] - b[:, :2]]
        results = MotTable.build(np.concatenate(out_frames), np.concatenate(out_ids), ltwh, scale.restore(np.concatenate(out_scores)))
    else:
        results = MotTable.build(np.zeros(0), np.zeros(0), np.zeros((0, 4)), np.zeros(0))
    return TrackRun(results=results, frames=n_frames, detections=n_dets, update_seconds=spent, updates=n_updates)
