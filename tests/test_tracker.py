"""ByteTracker: configuration refusals, the lifecycle and thresholds on small
scenes, reproducers, the whole cycle bit for bit against the composed model,
and threads. (Refused frames and stream properties: tests/test_fuzz.py.)"""
import math
import threading
import time

import numpy as np
import pytest

import loomfeather_cpp as lf
from models import ComposedTracker, scene

BOX = [100.0, 100.0, 150.0, 200.0]


def run(tracker, boxes, scores, **kw):
    return tracker.update(np.asarray(boxes, dtype=float).reshape(-1, 4), np.asarray(scores, dtype=float), **kw)


def states(tracker):
    return [a.tolist() for a in tracker.track_states()]


def moving(frame, start=BOX, dx=2.0):
    return [start[0] + dx * frame, start[1], start[2] + dx * frame, start[3]]


# --- configuration -----------------------------------------------------------

SCORE, OVERFLOW = "require 0 <= low_score_thresh <= high_score_thresh <= 1", "cost weights and IoU thresholds overflow the association cost"
OCSORT = "OC-SORT (use_oru / w_ocm) is not ported in Phase 1; leave use_oru False and w_ocm 0.0"
GMC = "use_gmc is not ported in Phase 1 (global motion compensation stays in the NumPy reference); leave it False"
NEG, FINITE = "cost weights must be non-negative", " must be finite"


@pytest.mark.parametrize("kw, msg", [  # the first failed check is the one named; None: accepted
    (dict(low_score_thresh=0.6), SCORE), (dict(low_score_thresh=-0.1), SCORE), (dict(high_score_thresh=1.5), SCORE),
    (dict(high_score_thresh=math.nan), SCORE), (dict(n_init=0, max_age=0), "n_init must be >= 1"),
    (dict(max_age=0), "max_age must be >= 1"), (dict(w_ocm=-1.0), NEG), (dict(w_app=-0.1), NEG),
    (dict(ocm_delta_t=0), "ocm_delta_t must be >= 1"), (dict(use_gmc=True, use_oru=True), GMC),
    (dict(w_ocm=0.5), OCSORT), (dict(use_oru=True), OCSORT), (dict(w_iou=math.nan), "w_iou" + FINITE),
    (dict(match_iou_thresh=math.inf), "match_iou_thresh" + FINITE),
    (dict(appearance_ema_alpha=math.nan), "appearance_ema_alpha" + FINITE),
    (dict(new_track_thresh=math.nan), "new_track_thresh must not be NaN"),
    (dict(kf_noise_scale=math.inf), "kf_noise_scale" + FINITE), (dict(kf_noise_scale=0.0), "kf_noise_scale must be non-zero"),
    (dict(w_iou=1e308), OVERFLOW), (dict(w_app=1e308), OVERFLOW),
    (dict(low_score_thresh=1.0, high_score_thresh=1.0), None),
    (dict(appearance_ema_alpha=5.0, kf_noise_scale=-1.0, new_track_thresh=2.0), None),
    (dict(new_track_thresh=math.inf, match_iou_thresh=1.5, w_iou=1e17), None),
])
def test_config_refusals_in_order(kw, msg):
    if msg is None:
        lf.TrackerConfig(**kw)
        return
    with pytest.raises(ValueError) as e:
        lf.TrackerConfig(**kw)
    assert str(e.value) == msg


# --- frames and lifecycle (refused frames: tests/test_fuzz.py) ----------------------


def test_empty_frame_and_a_zero_size_box():
    t = lf.ByteTracker()
    out = t.update(np.zeros((0, 4)), np.zeros(0), return_indices=True)  # a keyword only
    assert [(a.dtype, a.shape) for a in out] == [(np.int64, (0,)), (np.float64, (0, 4)), (np.float64, (0,)),
                                                 (np.int64, (0,)), (np.int64, (0,))]
    with pytest.raises(TypeError):
        t.update(np.zeros((0, 4)), np.zeros(0), None, None, True)
    # A zero-size box is accepted but cannot start a track.
    t.update([[0, 0, 1, 1], [0, 0, 0, 0], [5, 5, 6, 6]], [[0.9], [0.8], [0.7]], class_ids=[1.9, -1.9, 0],
             features=np.zeros((3, 0)))
    assert t.frame_index == 1 and states(t)[0] == [1, 2]


def test_birth_confirmation_and_reporting():
    t = lf.ByteTracker()
    assert run(t, [BOX], [0.9])[0].size == 0
    assert states(t) == [[1], [0], [1], [1], [0]]
    assert run(t, [BOX], [0.9])[0].size == 0
    ids, xyxy, sc, cls = run(t, [BOX], [0.9])
    assert ids.tolist() == [1] and cls.tolist() == [-1] and sc.tolist() == [0.9]
    np.testing.assert_allclose(xyxy[0], BOX, atol=1e-6)
    assert states(t) == [[1], [1], [3], [3], [0]]


@pytest.mark.parametrize("max_age", [1, 30])
def test_confirmed_track_kept_until_max_age(max_age):
    t = lf.ByteTracker(lf.TrackerConfig(max_age=max_age))
    for f in range(3):
        run(t, [BOX], [0.9])
    for miss in range(1, max_age + 1):
        assert run(t, [], [])[0].size == 0
        assert states(t)[4] == [miss]
    run(t, [], [])
    assert states(t)[0] == []


# --- association -------------------------------------------------------------------


def test_low_scores_recover_but_never_start_tracks():
    t = lf.ByteTracker()
    for f in range(3):
        run(t, [moving(f)], [0.9])
    ids, _, sc, _ = run(t, [moving(3)], [0.3])   # stage 2 keeps track 1 going
    assert ids.tolist() == [1] and sc.tolist() == [0.3]
    assert run(t, [moving(4)], [0.1])[0].tolist() == [1]  # exactly low_score_thresh still counts
    run(t, [[500, 500, 540, 600]], [0.3])         # low score far away: no birth
    run(t, [[500, 500, 540, 600]], [0.55])        # high but below new_track_thresh
    assert states(t)[0] == [1]
    run(t, [[500, 500, 540, 600]], [0.05])        # below low_score_thresh: ignored
    assert states(t)[0] == [1]


@pytest.mark.parametrize("kw", [{}, dict(use_giou=True), dict(w_unc=0.5)])  # the overlap-only pass, the general one
def test_overlap_exactly_at_the_threshold_still_matches(kw):
    # A still box: the track's predicted box is exactly BOX, so the overlap is exactly the threshold.
    moved = [110.0, 100.0, 160.0, 200.0]
    at = lf.iou_matrix(BOX, moved)[0, 0]
    for thresh, matched in ((at, True), (np.nextafter(at, 1.0), False)):
        t = lf.ByteTracker(lf.TrackerConfig(match_iou_thresh=thresh, use_mahalanobis_gating=False, **kw))
        for _ in range(3):
            run(t, [BOX], [0.9])
        assert (run(t, [moved], [0.9])[0].tolist() == [1]) == matched


@pytest.mark.parametrize("kw, det_class, matched", [
    ({}, 3, False), ({}, -1, True), ({}, 2, True), (dict(class_aware=False), 3, True), (dict(w_iou=1e17), 3, False)])
def test_class_veto(kw, det_class, matched):
    t = lf.ByteTracker(lf.TrackerConfig(**kw))
    for f in range(3):
        run(t, [BOX], [0.9], class_ids=[2])
    ids, _, _, cls = run(t, [BOX], [0.9], class_ids=[det_class])
    assert (ids.tolist() == [1]) == matched
    if matched:
        assert cls.tolist() == [det_class]


def test_appearance_breaks_overlap_ambiguity():
    # Two tracks swap positions in one frame; only appearance can tell them apart.
    a, b = [0, 0, 10, 20], [4, 0, 14, 20]
    fa, fb = [1.0, 0.0], [0.0, 1.0]

    def track(w_app, feats):
        t = lf.ByteTracker(lf.TrackerConfig(w_app=w_app, match_iou_thresh=0.1))
        for _ in range(3):
            run(t, [a, b], [0.9, 0.9], features=feats([fa, fb]))
        ids, xyxy, _, _ = run(t, [b, a], [0.9, 0.9], features=feats([fa, fb]))
        assert ids.tolist() == [1, 2]
        return "swapped" if xyxy[0, 0] > xyxy[1, 0] else "kept"   # track 1 pulled towards x=4?

    assert track(1.0, np.array) == "swapped"      # identities follow the embeddings
    assert track(0.0, np.array) == "kept"         # identities follow the boxes
    assert track(1.0, lambda f: None) == "kept"   # no embeddings: the term is left out


# --- failures and mended faults ---------------------------------------------------------


def test_nan_box_fails_after_advancing_and_tracker_recovers():
    # With the overlap weight at 0 every cost is 0 but the NaN box's: the
    # solver's finiteness check at every frame size.
    for k, others in enumerate((1, 3, 14, 15, 16, 17, 40)):
        t = lf.ByteTracker(lf.TrackerConfig(w_iou=float(k == 0), match_iou_thresh=0.0, use_mahalanobis_gating=False))
        boxes = np.array([[10.0 * j, 0.0, 10.0 * j + 8.0, 20.0] for j in range(others)])
        t.update(boxes, np.full(others, 0.9))
        with pytest.raises(ValueError, match="^cost matrix must be finite; gate before assignment$"):
            t.update(np.vstack([boxes, [[np.nan, 0.0, 5.0, 20.0]]]), np.full(others + 1, 0.9))
        assert t.frame_index == 1 and states(t)[4] == [1] * others  # advanced; the tracks are there
        t.update(boxes, np.full(others, 0.9))


# Reproducers: a measurement or state that overflows or is not finite neither
# starts nor corrects a track. Each row: configuration, each frame's boxes (and
# embeddings), the identifiers reported in each frame and the tracks left at
# the end (and, with n_init 1, what the composed model says).
LOOSE = dict(match_iou_thresh=0.0, recovery_iou_thresh=0.0, use_mahalanobis_gating=False)
FLIP = [[[-1e300, 1e300]], [[1e300, -1e300]]]


@pytest.mark.parametrize("kw, frames, feats, reported, left", [
    ({}, [[[0, 5, 10, 5]]] + [[BOX]] * 3, None, [[], [], [], [1]], [1]),  # zero height
    ({}, [[[math.nan, 0, 1, 1]]] + [[BOX]] * 3, None, [[], [], [], [1]], [1]),
    ({}, [[[-1e308, 0, 1e308, 1]]] + [[BOX]] * 3, None, [[], [], [], [1]], [1]),  # the width overflows
    (LOOSE, [[BOX]] * 3 + [[[0, 100, 1e302, 100]], [BOX]], None, [[], [], [1], [], [1]], [1]),  # and the aspect
    # aspect and height finite, their product (the width) not: the track ends, the last box starts track 2
    (dict(n_init=1, **LOOSE), [[[0, 0, 1e112, 1e118]], [[0, 0, 1e278, 1e54]], [BOX]], None, [[], [], []], [2]),
    (dict(appearance_ema_alpha=5.0, w_app=1.0), [[BOX]] * 7, FLIP * 3 + [[[1.0, 1.0]]],  # the embedding overflows
     [[], [], [1], [1], [1], [1], [1]], [1]),
])
def test_unusable_values_start_and_correct_nothing(kw, frames, feats, reported, left):
    t, model = lf.ByteTracker(lf.TrackerConfig(**kw)), ComposedTracker(**kw)
    for k, boxes in enumerate(frames):
        f = None if feats is None else np.array(feats[k], dtype=float)
        assert run(t, boxes, [0.9], features=f)[0].tolist() == reported[k], k
        if kw.get("n_init") == 1:
            assert list(model.update(np.array(boxes, float), [0.9], np.array([-1]), f)[0]) == reported[k]
    assert states(t)[0] == left and (kw.get("n_init") != 1 or [tr["id"] for tr in model.tracks] == left)


APPEARANCE = dict(w_app=0.7, appearance_ema_alpha=0.8, n_init=2, max_age=5)


@pytest.mark.parametrize("kw, dim, shuffle", [
    ({}, 0, False), ({}, 0, True), (dict(use_giou=True, w_unc=0.5, class_aware=False), 0, False),
    (APPEARANCE, 8, False), (APPEARANCE, 8, True), (dict(use_lapjv=True, use_mahalanobis_gating=False), 0, False)])
def test_cycle_matches_composed_building_blocks_bit_for_bit(kw, dim, shuffle):
    fast, slow = lf.ByteTracker(lf.TrackerConfig(**kw)), ComposedTracker(**kw)
    plain = lf.ByteTracker(lf.TrackerConfig(**kw))  # the same frames, without return_indices
    rng = np.random.default_rng(5)
    total = 0
    for boxes, scores, classes, feats in scene(11, 250, dim):
        if shuffle:
            order = rng.permutation(len(scores))
            boxes, scores, classes, feats = boxes[order], scores[order], classes[order], feats[order]
        feats = feats if dim else None
        ids, xyxy, sc, cls, det = fast.update(boxes, scores, class_ids=classes, features=feats, return_indices=True)
        e_ids, e_xyxy, e_sc, e_cls, e_det = slow.update(boxes, scores, classes, feats)
        assert ids.tolist() == e_ids and cls.tolist() == list(e_cls) and sc.tolist() == list(e_sc)
        assert xyxy.tobytes() == np.ascontiguousarray(e_xyxy).tobytes()
        # The detection whose measurement corrected each reported track in this frame.
        assert det.dtype == np.int64 and det.tolist() == e_det
        without = plain.update(boxes, scores, class_ids=classes, features=feats)
        assert len(without) == 4 and all(a.tobytes() == b.tobytes() for a, b in zip(without, (ids, xyxy, sc, cls)))
        total += len(ids)
    assert fast.track_states()[0].tolist() == [t["id"] for t in slow.tracks] and total > 500
    assert min(slow.reported_by_stage) > 0, slow.reported_by_stage  # rows matched in each of the three stages


# --- threads ------------------------------------------------------------------------


def _frames(seed, count, dx):
    """A scene moved right by dx, beside a crowd of 100 still objects (long
    updates, so that two threads' updates would overlap), and one object far
    from both with its own jitter, whose filtered box then depends on every
    frame applied before, in their order."""
    rng = np.random.default_rng(seed)
    crowd = np.array([[dx + 3000 + 60.0 * i, 60.0 * j, dx + 3040 + 60.0 * i, 60.0 * j + 50] for i in range(10) for j in range(10)])
    out = []
    for boxes, scores, classes, _ in scene(seed, count):
        shared = [20000.0, 500.0, 20040.0, 600.0] + rng.normal(0, 2.0, 4)
        boxes = np.vstack([boxes + [dx, 0, dx, 0], crowd + rng.normal(0, 1.0, crowd.shape), shared])
        out.append((boxes, np.r_[scores, np.full(len(crowd) + 1, 0.9)], np.r_[classes, np.ones(len(crowd) + 1)].astype(np.int64)))
    return out


def _same(a, b):
    return len(a) == len(b) and all(np.asarray(x).tobytes() == np.asarray(y).tobytes() for x, y in zip(a, b))


def _serial_order(model, streams, results, pos=None):
    """An order of applying the streams' frames (each stream's in its own order)
    under which the step-by-step model gives every recorded result; None if none does."""
    pos = pos or [0] * len(streams)
    if all(p == len(s) for p, s in zip(pos, streams)):
        return []
    for k, (p, stream) in enumerate(zip(pos, streams)):
        if p == len(stream):
            continue
        trial = model.clone()
        boxes, scores, classes = stream[p]
        ids, xyxy, sc, cls, _ = trial.update(boxes, scores, classes, None)
        if _same((ids, np.asarray(xyxy).reshape(-1, 4), sc, cls), results[k][p]):
            rest = _serial_order(trial, streams, results, pos[:k] + [p + 1] + pos[k + 1:])
            if rest is not None:
                return [k] + rest
    return None


def test_two_threads_on_one_tracker_are_serialised():
    # Two streams in disjoint parts of the image, fed to one tracker at once; a
    # third thread reads its state meanwhile. Every result must be the one a
    # serial application of the frames, in some interleaving, gives.
    streams = [_frames(21, 120, 0.0), _frames(22, 120, 10000.0)]
    tracker = lf.ByteTracker()
    results = [[], []]
    start = threading.Barrier(3)
    done = threading.Event()
    seen = []

    def feed(k):
        start.wait()
        for boxes, scores, classes in streams[k]:
            out = tracker.update(boxes, scores, class_ids=classes)
            results[k].append((out[0], out[1], out[2], out[3]))
            time.sleep(0.0002 * k)  # the other thread's turn now and then, so that the frames interleave

    def read():
        start.wait()
        while not done.is_set():
            ids, st, hits, age, tsu = tracker.track_states()
            seen.append((tracker.frame_index, bool(np.all(np.diff(ids) > 0)), bool(np.isin(st, [0, 1]).all())))

    threads = [threading.Thread(target=feed, args=(k,)) for k in (0, 1)]
    reader = threading.Thread(target=read)
    for t in threads + [reader]:
        t.start()
    for t in threads:
        t.join()
    done.set()
    reader.join()
    assert tracker.frame_index == 239
    assert all(asc and ok for _, asc, ok in seen) and len(seen) > 0
    order = _serial_order(ComposedTracker(), streams, results)
    assert order is not None and len(order) == 240


# --- the interpreter lock (working memory after a spike: benchmarks/memory.py) -------


def test_update_lets_other_threads_run(runs_without_the_lock):
    side = 60   # 3,600 tentative tracks against 3,600 detections
    grid = np.array([[100.0 * i, 200.0 * j, 100.0 * i + 40.0, 200.0 * j + 120.0]
                     for i in range(side) for j in range(side)])
    moved = grid + np.random.default_rng(0).normal(0, 30, grid.shape)
    moved[:, 2:] = np.maximum(moved[:, 2:], moved[:, :2])
    t = lf.ByteTracker()
    t.update(grid, np.full(len(grid), 0.9))
    assert runs_without_the_lock(lambda: t.update(moved, np.full(len(grid), 0.9)))
