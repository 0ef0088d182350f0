import math

import numpy as np
import pytest

import loomfeather_cpp as lf

BOX = [100.0, 100.0, 150.0, 200.0]


def run(tracker, boxes, scores, **kw):
    return tracker.update(np.asarray(boxes, dtype=float).reshape(-1, 4), np.asarray(scores, dtype=float), **kw)


def states(tracker):
    return [a.tolist() for a in tracker.track_states()]


def moving(frame, start=BOX, dx=2.0):
    return [start[0] + dx * frame, start[1], start[2] + dx * frame, start[3]]


# --- configuration -----------------------------------------------------------


def test_config_defaults_and_read_only():
    c = lf.TrackerConfig()
    assert (c.high_score_thresh, c.low_score_thresh, c.match_iou_thresh, c.recovery_iou_thresh,
            c.new_track_thresh, c.n_init, c.max_age, c.kf_noise_scale) == (0.5, 0.1, 0.3, 0.5, 0.6, 3, 30, 1.0)
    with pytest.raises(AttributeError):
        c.max_age = 5
    with pytest.raises(AttributeError):
        c.w_iou
    with pytest.raises(TypeError):
        lf.TrackerConfig(n_init=2.0)
    assert lf.TrackerConfig(w_iou=1).n_init == 3


SCORE_MSG = "require 0 <= low_score_thresh <= high_score_thresh <= 1"
OCSORT_MSG = "OC-SORT (use_oru / w_ocm) is not ported in Phase 1; leave use_oru False and w_ocm 0.0"
GMC_MSG = ("use_gmc is not ported in Phase 1 (global motion compensation stays in the NumPy reference); "
           "leave it False")
OVERFLOW_MSG = "cost weights and IoU thresholds overflow the association cost"


@pytest.mark.parametrize("kw, msg", [
    (dict(low_score_thresh=0.6), SCORE_MSG),
    (dict(low_score_thresh=-0.1), SCORE_MSG),
    (dict(high_score_thresh=1.5), SCORE_MSG),
    (dict(high_score_thresh=math.nan), SCORE_MSG),
    (dict(n_init=0, max_age=0), "n_init must be >= 1"),
    (dict(max_age=0), "max_age must be >= 1"),
    (dict(w_ocm=-1.0), "cost weights must be non-negative"),
    (dict(w_app=-0.1), "cost weights must be non-negative"),
    (dict(ocm_delta_t=0), "ocm_delta_t must be >= 1"),
    (dict(use_gmc=True, use_oru=True), GMC_MSG),
    (dict(w_ocm=0.5), OCSORT_MSG),
    (dict(use_oru=True), OCSORT_MSG),
    (dict(w_iou=math.nan), "w_iou must be finite"),
    (dict(match_iou_thresh=math.inf), "match_iou_thresh must be finite"),
    (dict(appearance_ema_alpha=math.nan), "appearance_ema_alpha must be finite"),
    (dict(new_track_thresh=math.nan), "new_track_thresh must not be NaN"),
    (dict(kf_noise_scale=math.inf), "kf_noise_scale must be finite"),
    (dict(kf_noise_scale=0.0), "kf_noise_scale must be non-zero"),
    (dict(w_iou=1e308), OVERFLOW_MSG),
    (dict(w_app=1e308), OVERFLOW_MSG),
])
def test_config_refusals_in_order(kw, msg):
    with pytest.raises(ValueError) as e:
        lf.TrackerConfig(**kw)
    assert str(e.value) == msg


def test_config_unusual_values_accepted():
    lf.TrackerConfig(low_score_thresh=1.0, high_score_thresh=1.0)
    lf.TrackerConfig(appearance_ema_alpha=5.0, kf_noise_scale=-1.0, new_track_thresh=2.0)
    lf.TrackerConfig(new_track_thresh=math.inf, match_iou_thresh=1.5, w_iou=1e17)


# --- frame validation ----------------------------------------------------------


@pytest.mark.parametrize("args, kw, exc, msg", [
    (([0, 0, 1, 1], [0.9]), {}, ValueError, "update: boxes must be (N, 4)"),
    ((np.zeros(0), []), {}, ValueError, "update: boxes must be (N, 4)"),
    (([[0, 0, 1, 1]] * 2, [0.9] * 3), {}, ValueError, "update: scores must have one entry per box"),
    (([[0, 0, 1, 1]] * 2, [0.9] * 2), dict(class_ids=[1]), ValueError,
     "update: class_ids must have one entry per box"),
    (([[0, 0, 1, 1]] * 2, [0.9] * 2), dict(class_ids=[1, math.nan]), ValueError,
     "update: class_ids must be finite and fit in int32"),
    (([[0, 0, 1, 1]] * 2, [0.9] * 2), dict(class_ids=[1, 2.0**31]), ValueError,
     "update: class_ids must be finite and fit in int32"),
    (([[0, 0, 1, 1]] * 2, [0.9] * 2), dict(features=np.ones(2)), ValueError, "update: features must be (N, d)"),
    (([[0, 0, 1, 1]] * 2, [0.9] * 2), dict(features=[[1.0], [math.inf]]), ValueError,
     "update: features must be finite"),
    (([[0, 0, 1, 1], [5, 0, 4, 1], [0, 5, 1, 4]], [0.9] * 3), {}, ValueError, "degenerate box (x2<x1 or y2<y1)"),
    (([[0, 0, 1, 1]], [0.9]), dict(class_ids=["a"]), ValueError, None),  # NumPy's own error
])
def test_refused_frames_change_nothing(args, kw, exc, msg):
    t = lf.ByteTracker()
    for f in range(3):
        run(t, [moving(f)], [0.9])
    before = (t.frame_index, states(t))
    with pytest.raises(exc) as e:
        t.update(*[np.asarray(a, dtype=float) for a in args], **kw)
    if msg is not None:
        assert str(e.value) == msg
    assert (t.frame_index, states(t)) == before


def test_accepted_shapes_and_empty_frame():
    t = lf.ByteTracker()
    assert t.frame_index == -1 and all(a.dtype == np.int64 and a.shape == (0,) for a in t.track_states())
    ids, xyxy, sc, cls = t.update(np.zeros((0, 4)), np.zeros(0))
    assert (ids.shape, xyxy.shape, sc.shape, cls.shape) == ((0,), (0, 4), (0,), (0,))
    assert (ids.dtype, xyxy.dtype, sc.dtype, cls.dtype) == (np.int64, np.float64, np.float64, np.int64)
    assert t.frame_index == 0
    # A zero-size box is accepted but cannot start a track.
    t.update([[0, 0, 1, 1], [0, 0, 0, 0], [5, 5, 6, 6]], [[0.9], [0.8], [0.7]], class_ids=[1.9, -1.9, 0],
             features=np.zeros((3, 0)))
    assert t.frame_index == 1 and states(t)[0] == [1, 2]


# --- lifecycle -------------------------------------------------------------------


def test_birth_confirmation_and_reporting():
    t = lf.ByteTracker()
    assert run(t, [BOX], [0.9])[0].size == 0
    assert states(t) == [[1], [0], [1], [1], [0]]
    assert run(t, [BOX], [0.9])[0].size == 0
    ids, xyxy, sc, cls = run(t, [BOX], [0.9])
    assert ids.tolist() == [1] and cls.tolist() == [-1] and sc.tolist() == [0.9]
    np.testing.assert_allclose(xyxy[0], BOX, atol=1e-6)
    assert states(t) == [[1], [1], [3], [3], [0]]


def test_tentative_deleted_on_miss_and_ids_never_reused():
    t = lf.ByteTracker()
    run(t, [BOX], [0.9])
    run(t, [], [])
    assert states(t)[0] == []
    run(t, [BOX], [0.9])
    assert states(t)[0] == [2]
    t.reset()
    assert t.frame_index == -1 and states(t)[0] == []
    run(t, [BOX], [0.9])
    assert states(t)[0] == [1]


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


def test_report_order_includes_track_confirmed_this_frame():
    a, b = [0, 0, 10, 10], [100, 100, 110, 110]
    t = lf.ByteTracker()
    run(t, [b], [0.9])           # id 1 (b)
    run(t, [b, a], [0.9, 0.9])   # id 2 (a) born
    ids = run(t, [a, b], [0.9, 0.9])[0]  # 1 confirmed now; 2 still tentative
    assert ids.tolist() == [1]
    ids = run(t, [a, b], [0.9, 0.9])[0]
    assert ids.tolist() == [1, 2]


# --- association -------------------------------------------------------------------


def test_low_scores_recover_but_never_start_tracks():
    t = lf.ByteTracker()
    for f in range(3):
        run(t, [moving(f)], [0.9])
    ids, _, sc, _ = run(t, [moving(3)], [0.3])   # stage 2 keeps track 1 going
    assert ids.tolist() == [1] and sc.tolist() == [0.3]
    run(t, [[500, 500, 540, 600]], [0.3])         # low score far away: no birth
    run(t, [[500, 500, 540, 600]], [0.55])        # high but below new_track_thresh
    assert states(t)[0] == [1]
    run(t, [[500, 500, 540, 600]], [0.05])        # below low_score_thresh: ignored
    assert states(t)[0] == [1]


def test_low_score_detection_never_matches_tentative_track():
    t = lf.ByteTracker()
    run(t, [BOX], [0.9])
    run(t, [BOX], [0.3])
    assert states(t)[0] == []


@pytest.mark.parametrize("class_aware, det_class, matched", [
    (True, 3, False), (True, -1, True), (True, 2, True), (False, 3, True)])
def test_class_veto(class_aware, det_class, matched):
    t = lf.ByteTracker(lf.TrackerConfig(class_aware=class_aware))
    for f in range(3):
        run(t, [BOX], [0.9], class_ids=[2])
    ids, _, _, cls = run(t, [BOX], [0.9], class_ids=[det_class])
    assert (ids.tolist() == [1]) == matched
    if matched:
        assert cls.tolist() == [det_class]


def test_class_veto_holds_with_huge_weight():
    t = lf.ByteTracker(lf.TrackerConfig(w_iou=1e17))
    for f in range(3):
        run(t, [BOX], [0.9], class_ids=[2])
    assert run(t, [BOX], [0.9], class_ids=[3])[0].size == 0


def predicted_tentative_state(z):
    kf = lf.KalmanBoxTracker()
    return kf, kf.predict(*kf.initiate(z))


def test_mahalanobis_gate_decides_stage3_matches():
    # With an overlap threshold of 0 only the chi-square gate can separate pairs.
    cfg = lf.TrackerConfig(match_iou_thresh=0.0)
    z = lf.xyxy_to_xyah(np.array(BOX))
    kf, (mean, cov) = predicted_tentative_state(z)
    seen = set()
    for dx in np.linspace(0.0, 60.0, 121):
        box = [BOX[0] + dx, BOX[1], BOX[2] + dx, BOX[3]]
        d2 = kf.gating_distance(mean, cov, lf.xyxy_to_xyah(np.array(box)))[0]
        t = lf.ByteTracker(cfg)
        run(t, [BOX], [0.9])
        run(t, [box], [0.9])
        matched = states(t)[0] == [1]
        assert matched == (d2 <= 9.4877), (dx, d2)
        seen.add(matched)
    assert seen == {True, False}


def test_giou_and_lapjv_options_track_a_simple_scene():
    for cfg in (lf.TrackerConfig(use_giou=True), lf.TrackerConfig(use_lapjv=True)):
        t = lf.ByteTracker(cfg)
        a, b = [0, 0, 10, 20], [50, 0, 60, 20]
        for f in range(5):
            ids = run(t, [moving(f, a, 1.0), moving(f, b, -1.0)], [0.9, 0.8])[0]
        assert ids.tolist() == [1, 2]


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
    t = lf.ByteTracker()
    for f in range(3):
        run(t, [BOX], [0.9])
    with pytest.raises(ValueError, match="cost matrix must be finite; gate before assignment"):
        run(t, [[math.nan, 100, 150, 200]], [0.9])
    assert t.frame_index == 3 and states(t)[4] == [1]
    assert run(t, [BOX], [0.9])[0].tolist() == [1]


@pytest.mark.parametrize("box", [[0, 5, 10, 5], [math.nan, 0, 1, 1], [-1e308, 0, 1e308, 1]])
def test_unusable_detection_starts_nothing(box):
    t = lf.ByteTracker()
    run(t, [box], [0.9])
    assert states(t)[0] == []
    for f in range(3):
        run(t, [BOX], [0.9])
    assert states(t)[1] == [1]


def test_overflowing_aspect_corrects_no_track():
    t = lf.ByteTracker(lf.TrackerConfig(match_iou_thresh=0.0, use_mahalanobis_gating=False))
    for f in range(3):
        run(t, [BOX], [0.9])
    run(t, [[0, 100, 1e302, 100]], [0.9])   # zero height: the aspect overflows
    assert states(t)[4] == [1]
    assert run(t, [BOX], [0.9])[0].tolist() == [1]


def test_embedding_overflow_restarts_feature():
    t = lf.ByteTracker(lf.TrackerConfig(appearance_ema_alpha=5.0, w_app=1.0))
    for f in range(6):
        run(t, [BOX], [0.9], features=[[1e300, -1e300]] if f % 2 else [[-1e300, 1e300]])
    assert states(t)[1] == [1]
    assert run(t, [BOX], [0.9], features=[[1.0, 1.0]])[0].tolist() == [1]


# --- a long scene ---------------------------------------------------------------


def scene(seed, frames, dim=0):
    """Objects entering, crossing and leaving, detections dropped and noisy, false positives."""
    rng = np.random.default_rng(seed)
    objs = []
    for _ in range(frames):
        if rng.random() < 0.08:
            objs.append([rng.uniform(0, 1800), rng.uniform(0, 900), rng.uniform(-4, 4), rng.uniform(-2, 2),
                         rng.uniform(30, 80), rng.uniform(80, 200), int(rng.integers(0, 3)), rng.normal(size=dim)])
        objs = [o for o in objs if -200 < o[0] < 2100 and rng.random() > 0.005]
        boxes, scores, classes, feats = [], [], [], []
        for o in objs:
            o[0] += o[2]
            o[1] += o[3]
            if rng.random() < 0.1:
                continue
            boxes.append([o[0], o[1], o[0] + o[4], o[1] + o[5]] + rng.normal(0, 1.5, 4))
            scores.append(rng.uniform(0.05, 1.0))
            classes.append(o[6])
            feats.append(o[7] + rng.normal(0, 0.3, dim))
        for _ in range(rng.poisson(1)):
            x, y = rng.uniform(0, 1800, 2)
            boxes.append([x, y, x + 40, y + 90])
            scores.append(rng.uniform(0, 0.7))
            classes.append(-1)
            feats.append(rng.normal(size=dim))
        boxes = np.array(boxes).reshape(-1, 4)
        boxes[:, 2:] = np.maximum(boxes[:, 2:], boxes[:, :2])
        yield boxes, np.array(scores), np.array(classes), np.array(feats).reshape(len(scores), dim)


def test_random_scene_invariants():
    t = lf.ByteTracker()
    reported = set()
    for boxes, scores, classes, _ in scene(7, 400):
        ids, xyxy, _, _ = t.update(boxes, scores, class_ids=classes)
        sid, sstate, hits, age, tsu = t.track_states()
        assert np.all(np.diff(sid) > 0) and np.all(np.isin(sstate, [0, 1]))
        assert ids.tolist() == sid[(sstate == 1) & (tsu == 0)].tolist()
        assert np.isfinite(xyxy).all() and np.all(hits <= age)
        reported.update(ids.tolist())
    assert t.frame_index == 399 and len(reported) > 10


class ComposedTracker:
    """The update cycle written out in Python on the module's building blocks."""

    def __init__(self, **kw):
        self.c = dict(high_score_thresh=0.5, low_score_thresh=0.1, match_iou_thresh=0.3, recovery_iou_thresh=0.5,
                      new_track_thresh=0.6, n_init=3, max_age=30, use_mahalanobis_gating=True, class_aware=True,
                      w_iou=1.0, w_app=0.0, w_unc=0.0, use_giou=False, appearance_ema_alpha=0.9,
                      kf_noise_scale=1.0, use_lapjv=False)
        self.c.update(kw)
        self.kf = lf.KalmanBoxTracker(self.c["kf_noise_scale"] * 0.05, self.c["kf_noise_scale"] * 0.00625)
        self.tracks, self.next_id = [], 1
        self.reported_by_stage = [0, 0, 0]  # reported rows, by the stage that matched them

    @staticmethod
    def normalise(f):
        s = 0.0
        for g in f:
            s = s + g * g
        n = math.sqrt(s)
        return [g / n for g in f] if n > 1e-12 else f

    def associate(self, tracks, dets, gated, thresh, boxes, classes, feats):
        c = self.c
        if not tracks or not dets:
            return [], list(range(len(tracks))), list(range(len(dets)))
        tb = lf.xyah_to_xyxy(np.array([t["mean"][:4] for t in tracks]))
        db = boxes[dets]
        ious = lf.iou_matrix(tb, db)
        kw = dict(w_iou=c["w_iou"], w_app=c["w_app"], w_unc=c["w_unc"], iou_thresh=thresh)
        if c["use_giou"]:
            kw["motion"] = 1.0 - lf.giou_matrix(tb, db)
        if c["class_aware"]:
            tc, dc = np.array([t["cls"] for t in tracks])[:, None], classes[dets][None, :]
            kw["class_mismatch"] = (tc != dc) & (tc != -1) & (dc != -1)
        veto = gated and c["use_mahalanobis_gating"]
        if veto or c["w_unc"] > 0:
            d2 = self.kf.gating_distance_batch(np.array([t["mean"] for t in tracks]),
                                               np.array([t["cov"] for t in tracks]), lf.xyxy_to_xyah(db))
            if veto:
                kw.update(gating_d2=d2, gate_thresh=9.4877)
            if c["w_unc"] > 0:
                kw["uncertainty"] = lf.uncertainty_distance(d2, 9.4877)
        if c["w_app"] > 0 and feats is not None and feats.shape[1] > 0 and all(
                len(t["feat"]) == feats.shape[1] for t in tracks):
            kw["appearance"] = lf.appearance_distance(np.array([t["feat"] for t in tracks]), feats[dets])
        cost, gate = lf.build_association_cost(ious, **kw)
        if c["use_lapjv"]:
            rows, cols = lf.linear_assignment_lapjv(cost)
            ok = [k for k in range(len(rows)) if gate >= cost[rows[k], cols[k]]]
            m = [(rows[k], cols[k]) for k in ok]
            return (m, [r for r in range(len(tracks)) if r not in {a for a, _ in m}],
                    [j for j in range(len(dets)) if j not in {b for _, b in m}])
        matches, ur, uc = lf.associate(cost, gate)
        return [tuple(p) for p in matches], list(ur), list(uc)

    def correct(self, t, i, boxes, scores, classes, feats):
        t["mean"], t["cov"] = self.kf.update(t["mean"], t["cov"], lf.xyxy_to_xyah(boxes[i]))
        t.update(score=scores[i], cls=classes[i], tsu=0, hits=t["hits"] + 1, det=i)
        if feats is not None and feats.shape[1] > 0:
            a, f = self.c["appearance_ema_alpha"], feats[i].tolist()
            t["feat"] = self.normalise(f if not t["feat"] else
                                       [((1.0 - a) * x) + (a * y) for x, y in zip(f, t["feat"])])
        if t["state"] == 0 and t["hits"] >= self.c["n_init"]:
            t["state"] = 1

    def update(self, boxes, scores, classes, feats):
        c = self.c
        for t in self.tracks:
            t["mean"], t["cov"] = self.kf.predict(t["mean"], t["cov"])
            t["age"] += 1
            t["tsu"] += 1
        high = [i for i, s in enumerate(scores) if s >= c["high_score_thresh"]]
        low = [i for i, s in enumerate(scores) if c["low_score_thresh"] <= s < c["high_score_thresh"]]
        conf = [t for t in self.tracks if t["state"] == 1]
        tent = [t for t in self.tracks if t["state"] == 0]
        args = (boxes, classes, feats)
        m1, ur1, uc1 = self.associate(conf, high, True, c["match_iou_thresh"], *args)
        for r, j in m1:
            self.correct(conf[r], high[j], boxes, scores, classes, feats)
            conf[r]["stage"] = 0
        remaining = [conf[r] for r in ur1]
        m2, ur2, _ = self.associate(remaining, low, False, c["recovery_iou_thresh"], *args)
        for r, j in m2:
            self.correct(remaining[r], low[j], boxes, scores, classes, feats)
            remaining[r]["stage"] = 1
        leftover = [high[j] for j in uc1]
        m3, ur3, uc3 = self.associate(tent, leftover, True, c["match_iou_thresh"], *args)
        for r, j in m3:
            self.correct(tent[r], leftover[j], boxes, scores, classes, feats)
            tent[r]["stage"] = 2
        for t in [remaining[r] for r in ur2] + [tent[r] for r in ur3]:
            if t["state"] == 0 or t["tsu"] > c["max_age"]:
                t["state"] = 2
        for j in uc3:
            i = leftover[j]
            if scores[i] >= c["new_track_thresh"]:
                mean, cov = self.kf.initiate(lf.xyxy_to_xyah(boxes[i]))
                f = feats[i].tolist() if feats is not None and feats.shape[1] > 0 else []
                self.tracks.append(dict(id=self.next_id, mean=mean, cov=cov, state=0, cls=classes[i],
                                        score=scores[i], hits=1, age=1, tsu=0, feat=self.normalise(f) if f else f))
                self.next_id += 1
        self.tracks = [t for t in self.tracks if t["state"] != 2]
        out = [t for t in self.tracks if t["state"] == 1 and t["tsu"] == 0]
        for t in out:
            self.reported_by_stage[t["stage"]] += 1
        return ([t["id"] for t in out], lf.xyah_to_xyxy(np.array([t["mean"][:4] for t in out]).reshape(-1, 4)),
                [t["score"] for t in out], [t["cls"] for t in out], [t["det"] for t in out])


@pytest.mark.parametrize("kw, dim, shuffle", [
    ({}, 0, False),
    ({}, 0, True),
    (dict(use_giou=True, w_unc=0.5, class_aware=False), 0, False),
    (dict(w_app=0.7, appearance_ema_alpha=0.8, n_init=2, max_age=5), 8, False),
    (dict(w_app=0.7, appearance_ema_alpha=0.8, n_init=2, max_age=5), 8, True),
    (dict(use_lapjv=True, use_mahalanobis_gating=False), 0, False),
])
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
        assert sc.tolist() == scores[det].tolist() and cls.tolist() == classes[det].astype(int).tolist()
        without = plain.update(boxes, scores, class_ids=classes, features=feats)
        assert len(without) == 4 and all(a.tobytes() == b.tobytes() for a, b in zip(without, (ids, xyxy, sc, cls)))
        total += len(ids)
    assert fast.track_states()[0].tolist() == [t["id"] for t in slow.tracks] and total > 500
    assert min(slow.reported_by_stage) > 0, slow.reported_by_stage  # rows matched in each of the three stages


def test_return_indices_is_keyword_only_and_typed():
    t = lf.ByteTracker(lf.TrackerConfig(n_init=1))
    for f in range(2):
        out = run(t, [[500, 500, 540, 600], moving(f)], [0.2, 0.9], return_indices=True)
    assert [a.tolist() for a in (out[0], out[4])] == [[1], [1]]
    empty = run(t, [], [], return_indices=True)
    assert len(empty) == 5 and empty[4].dtype == np.int64 and empty[4].shape == (0,)
    with pytest.raises(TypeError):
        t.update(np.zeros((0, 4)), np.zeros(0), None, None, True)
