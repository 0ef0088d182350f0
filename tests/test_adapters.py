"""The drop-in trackers for supervision's ``ByteTrack`` and the ``trackers``
package's ``ByteTrackTracker``, run side by side with the real ones where they
are installed. ``make test`` runs this file twice: with supervision 0.26.1 and
trackers 2.6 (.venv), and with the newest supervision, which has no ByteTrack
of its own (.venv-newest)."""

from __future__ import annotations

import subprocess
import sys
import warnings

import numpy as np
import pytest

sv = pytest.importorskip("supervision", reason="supervision is not installed (pip install 'loomfeather_cpp[test]')")

import loomfeather_cpp as lf  # noqa: E402
from loomfeather_tools.scene import SceneParams, make_scene  # noqa: E402
from loomfeather_tools.supervision import ByteTrack, lost_frames as sv_lost_frames  # noqa: E402
from loomfeather_tools.trackers import ByteTrackTracker, lost_frames as tr_lost_frames  # noqa: E402

try:
    import trackers
except ImportError:
    trackers = None

with warnings.catch_warnings():
    warnings.simplefilter("ignore")  # 0.28-0.30 warn that it is deprecated
    SV_BYTETRACK = getattr(sv, "ByteTrack", None)


def _maker(kind: str, real: bool = False):
    """tracker parameters -> a new tracker's per-frame update: ours, or the real
    one (a skip naming what is missing)."""
    if kind == "supervision":
        if real and SV_BYTETRACK is None:
            pytest.skip(f"supervision {sv.__version__} has no ByteTrack (removed in 0.31)")
        cls, method = (SV_BYTETRACK if real else ByteTrack), "update_with_detections"
    else:
        if real and trackers is None:
            pytest.skip("trackers is not installed")
        cls, method = (trackers.ByteTrackTracker if real else ByteTrackTracker), "update"

    def make(**kw):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # supervision 0.28-0.30 warn that ByteTrack is deprecated
            return getattr(cls(**kw), method)

    return make


KINDS = ["supervision", "trackers"]
BOX = [[100.0, 100.0, 140.0, 200.0]]


def _dets(xyxy, conf=0.9, cls=None, **extra) -> sv.Detections:
    xyxy = np.asarray(xyxy, dtype=float).reshape(-1, 4)
    c = None if conf is None else np.broadcast_to(np.asarray(conf, dtype=float), len(xyxy)).copy()
    return sv.Detections(xyxy=xyxy, confidence=c, class_id=None if cls is None else np.asarray(cls), **extra)


def _reported(out: sv.Detections) -> list[int]:
    return [int(i) for i in out.tracker_id if i >= 0]  # trackers also returns -1 rows


def _side_by_side(kind, frames, **kw) -> list[list[list[int]]]:
    """The ids reported in each frame: by ours, then by the real tracker."""
    return [[_reported(o) for o in map(make(**kw), frames)] for make in (_maker(kind), _maker(kind, real=True))]


def _scene_frames(seed, frames=60, people=8, **params):
    scene = make_scene(SceneParams(num_objects=people, num_frames=frames, seed=seed, **params))
    return [(xyxy, scores) for _, xyxy, scores in scene.frames()]


def test_importing_the_tools_imports_neither_library():
    tools = "loomfeather_tools.supervision, loomfeather_tools.trackers, loomfeather_tools.cli, loomfeather_tools.render"
    code = f"import sys, {tools}\nprint(sorted(m for m in ('supervision', 'trackers', 'PIL', 'matplotlib') if m in sys.modules))"
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "[]"


# ---------------------------------------------------------------- rows and fields


@pytest.mark.parametrize("box", ["detection", "track"])
@pytest.mark.parametrize("kind", KINDS)
def test_rows_carry_every_field_and_agree_with_the_core(kind, box):
    tracker = ByteTrack(box=box) if kind == "supervision" else ByteTrackTracker(box=box)
    core = lf.ByteTracker(tracker.config)
    rng = np.random.default_rng(3)
    rows_seen = 0
    for xyxy, scores in _scene_frames(seed=3):
        n = len(xyxy)
        classes = rng.integers(0, 3, n)
        masks = np.arange(64).reshape(1, 8, 8) == rng.integers(0, 64, n)[:, None, None]  # one pixel each
        d = _dets(xyxy.astype(np.float32), scores, classes, mask=masks,
                  data={"row": np.arange(n), "name": [f"det{i}" for i in range(n)]})
        out = tracker.update_with_detections(d) if kind == "supervision" else tracker.update(d)
        ids, boxes, _, _, rows = core.update(d.xyxy, d.confidence, class_ids=d.class_id, return_indices=True)
        order = np.argsort(rows)
        r = rows[order]
        assert np.array_equal(out.tracker_id, ids[order]) and np.array_equal(out.data["row"], r)
        want_boxes = boxes[order] if box == "track" else d.xyxy[r]
        assert np.array_equal(out.xyxy, want_boxes) and out.xyxy.dtype == want_boxes.dtype
        assert np.array_equal(out.mask, d.mask[r])
        assert np.array_equal(out.confidence, d.confidence[r]) and np.array_equal(out.class_id, classes[r])
        assert list(out.data["name"]) == [f"det{i}" for i in r]
        assert d.tracker_id is None  # the input is left alone
        rows_seen += len(out)
    assert rows_seen > 200


@pytest.mark.parametrize("kind", KINDS)
def test_empty_frames_and_detections_without_confidence_or_class(kind):
    update = _maker(kind)()
    empties = [sv.Detections.empty(), sv.Detections(xyxy=np.zeros((0, 4)))]
    seen = []
    for frame in range(12):
        d = empties[frame % 2] if 4 <= frame < 7 else _dets(BOX, conf=None)
        out = update(d)
        assert out.tracker_id.shape == (len(out),)
        if len(d):
            assert out.confidence is None and out.class_id is None
        seen.append(_reported(out))
    assert seen == [[]] + [[1]] * 3 + [[]] * 3 + [[1]] * 5  # the track outlived the three empty frames


@pytest.mark.parametrize("kind", KINDS)
def test_class_ids_travel_but_do_not_separate_tracks_unless_asked(kind):
    frames = [_dets(BOX, cls=[2])] * 4 + [_dets(BOX, cls=[5])] * 3
    got = [(_reported(o), o.class_id.tolist()) for o in map(_maker(kind)(), frames)]
    assert got[3] == ([1], [2]) and got[4] == ([1], [5])  # same track, the detection's class
    assert [_reported(o) for o in map(_maker(kind)(class_aware=True), frames)][4:] == [[], [2], [2]]  # a new track for class 5
    ids = [_reported(o) for o in map(_maker(kind, real=True)(), frames)]
    assert ids[3] == ids[4]  # the real one does not separate classes either


# ---------------------------------------------------------------- timing against the real ones


@pytest.mark.parametrize(("frame_rate", "buffer", "consecutive"),
                         [(30, 30, 1), (25, 30, 2), (29.97, 30, 3), (10, 10, 1), (7, 10, 2), (60, 1, 1), (25, 1, 2)])
@pytest.mark.parametrize("kind", KINDS)
def test_reporting_and_loss_timing_match_the_real_tracker(kind, frame_rate, buffer, consecutive):
    """One box after an empty first frame: the frames in which it is reported,
    and whether it keeps its identity across gaps around the lost-track
    buffer, must be the real tracker's."""
    lost = (sv_lost_frames if kind == "supervision" else tr_lost_frames)(buffer, frame_rate)
    kw = {"frame_rate": frame_rate, "lost_track_buffer": buffer, "minimum_consecutive_frames": consecutive}
    for gap in (lost, lost + 1):
        frames = [sv.Detections.empty()] + [_dets(BOX)] * 5 + [sv.Detections.empty()] * gap + [_dets(BOX)] * 4
        patterns = [([bool(i) for i in ids], ids[5] == ids[-1]) for ids in _side_by_side(kind, frames, **kw)]
        assert patterns[0] == patterns[1], f"gap {gap}"
        assert patterns[0][1] == (gap == lost)


@pytest.mark.parametrize("score", [0.05, 0.15, 0.3, 0.34, 0.36, 0.5, 0.55, 0.65, 0.69, 0.71, 0.9])
@pytest.mark.parametrize("kind", KINDS)
def test_score_thresholds_match_the_real_tracker(kind, score):
    """Whether a detection of this score starts a track, and whether it
    continues a confirmed one, as in the real tracker (scores exactly on a
    threshold left out: there the comparisons differ, see README)."""
    frames = [sv.Detections.empty()] + [_dets(BOX, score)] * 3 + [_dets(BOX, 0.9)] * 3 + [_dets(BOX, score), _dets(BOX, 0.9)]
    found = [[bool(i) for i in ids] + [ids[6] == ids[7]] for ids in _side_by_side(kind, frames)]
    assert found[0] == found[1]


@pytest.mark.parametrize("seed", [0, 1, 2])
@pytest.mark.parametrize("kind", KINDS)
def test_clean_scene_side_by_side(kind, seed):
    """People walking, no misses or false detections, after an empty first
    frame. trackers and ours report the same rows with the same identities (up
    to their numbering); supervision reports a subset of our rows (its score
    fusion drops some occluded ones) and never joins what we keep apart."""
    frames = [(np.zeros((0, 4)), np.zeros(0))] + _scene_frames(seed, 200, 6, miss_rate=0.0, false_positives=0.0, box_noise=0.005)
    found = []
    for make in (_maker(kind), _maker(kind, real=True)):
        update, rows = make(), {}
        for f, (xyxy, scores) in enumerate(frames):
            out = update(_dets(xyxy, scores, data={"row": np.arange(len(xyxy))}))
            if len(out):
                rows.update({(f, int(r)): int(i) for r, i in zip(out.data["row"], out.tracker_id) if i >= 0})
        found.append(rows)
    ours, theirs = found
    assert len(theirs) > 1000 and theirs.keys() <= ours.keys()
    pairs = {(tid, ours[key]) for key, tid in theirs.items()}  # (their id, our id) on the same row
    assert len(pairs) == len(set(theirs.values()))  # each of their ids is one of ours
    if kind == "trackers":
        assert ours.keys() == theirs.keys() and len(set(ours.values())) == len(pairs)


# ---------------------------------------------------------------- options and refusals


def test_options_and_refusals():
    assert ByteTrackTracker(lost_track_buffer=0).config.max_age == 1  # at least one frame
    with pytest.raises(TypeError, match="'max_ages'"):
        ByteTrack(max_ages=5)
    with pytest.raises(ValueError, match="box must be"):
        ByteTrackTracker(box="filter")
    with pytest.raises(ValueError, match="state_estimator_class XCYCSRStateEstimator"):
        ByteTrackTracker(state_estimator_class=type("XCYCSRStateEstimator", (), {}))
    with pytest.raises(ValueError, match="timestamp"):
        ByteTrackTracker().update(sv.Detections.empty(), timestamp=1.0)
    with pytest.raises(ValueError, match="frame_rate must be positive"):
        ByteTrack(frame_rate=0)
    t, box = ByteTrack(), _dets(BOX)
    for _ in range(3):
        t.update_with_detections(box)
    t.reset()  # forgets its tracks and restarts the numbering
    assert [_reported(t.update_with_detections(box)) for _ in range(2)] == [[], [1]]
