"""The reference models the tests compare the module with, one per subsystem:
plain Python (or the module's own building blocks) with every operation
rounded on its own, in the stated order, ties broken as stated."""
import copy
import math
import random
import re

import numpy as np

import loomfeather_cpp as lf


def bits_equal(got, want):
    """Same shape and bit pattern everywhere; any NaN equals any NaN."""
    got, want = np.asarray(got, dtype=np.float64), np.asarray(want, dtype=np.float64)
    nan = np.isnan(got)
    return (got.shape == want.shape and np.array_equal(nan, np.isnan(want))
            and bool((got.view(np.int64) == want.view(np.int64))[~nan].all()))


# What a tracker update may fail with once the frame is counted (a stage failed).
CYCLE = re.compile(r"cost matrix must be finite; gate before assignment|gating: innovation covariance is not "
                   r"positive definite|linear_assignment: no free column; n > m\?|lapjv: no augmenting path|"
                   r"update: identifier or frame counter would overflow; call reset\(\)")


# ---------------------------------------------------------------- geometry

EPS = 1e-7
NAN, INF = math.nan, math.inf

# Oracle: plain Python floats, one separately rounded operation per step, in
# the order of the formulas. Every selection is false for NaN.
def clamp0(v): return 0.0 if v < 0.0 else v
def hi(p, q): return q if q > p else p
def lo(p, q): return q if q < p else p
def floor_eps(v): return EPS if v < EPS else v
def cap(c, limit): return limit if limit < c else c
def area(b): return clamp0(b[2] - b[0]) * clamp0(b[3] - b[1])


ELEMENTWISE = {
    "xyxy_to_xywh": lambda a, b, c, d: (a, b, c - a, d - b),
    "xywh_to_xyxy": lambda a, b, c, d: (a, b, a + c, b + d),
    "xyxy_to_cxcywh": lambda a, b, c, d: ((a + c) * 0.5, (b + d) * 0.5, c - a, d - b),
    "cxcywh_to_xyxy": lambda a, b, c, d: (a - c * 0.5, b - d * 0.5, a + c * 0.5, b + d * 0.5),
    "xyxy_to_xyah": lambda a, b, c, d: ((a + c) * 0.5, (b + d) * 0.5, (c - a) / floor_eps(d - b), d - b),
    "xyah_to_xyxy": lambda a, b, c, d: (a - c * d * 0.5, b - d * 0.5, a + c * d * 0.5, b + d * 0.5),
    "box_area": lambda *box: area(box),
}


def overlap(a, b):
    area_a, area_b = area(a), area(b)
    inter = clamp0(lo(a[2], b[2]) - hi(a[0], b[0])) * clamp0(lo(a[3], b[3]) - hi(a[1], b[1]))
    union = (area_b + area_a) - inter
    iou = inter / floor_eps(union)
    enclose = clamp0(hi(a[2], b[2]) - lo(a[0], b[0])) * clamp0(hi(a[3], b[3]) - lo(a[1], b[1]))
    return iou, iou - (enclose - union) / floor_eps(enclose)


def random_boxes(n, seed):
    """Ordinary, degenerate, zero-area, tiny, identical, signed-zero and non-finite boxes."""
    rng = random.Random(seed)
    specials = [NAN, INF, -INF, 0.0, -0.0, 1e308, -1e308, 5e-324]
    boxes = []
    for _ in range(n):
        kind = rng.randrange(7)
        x, y = rng.uniform(-50, 650), rng.uniform(-50, 500)
        w, h = rng.uniform(0, 300), rng.uniform(0, 300)
        if kind == 1:  # degenerate: x2 < x1 and/or y2 < y1
            w, h = rng.uniform(-100, 10), rng.uniform(-100, 10)
        elif kind == 2:  # tiny (area below 1e-7), clustered so they overlap
            x, y = rng.uniform(0, 2e-4), rng.uniform(0, 2e-4)
            w, h = rng.uniform(0, 3e-4), rng.uniform(0, 3e-4)
        elif kind == 3:  # zero width and/or zero height
            w, h = rng.choice([(0.0, h), (w, 0.0), (0.0, 0.0)])
        box = [x, y, x + w, y + h]
        if kind == 6:  # signed zeros and small integers: touching, shared edges
            box = [rng.choice([0.0, -0.0, 1.0, 2.0]) for _ in range(4)]
        elif kind == 4:
            box[rng.randrange(4)] = rng.choice(specials)
        elif kind == 5 and boxes:
            box = list(rng.choice(boxes))
        boxes.append(box)
    return boxes



# ---------------------------------------------------------------- Kalman filter

SP, SV = 0.05, 0.00625
IDENTITY = [0, 1, 2, 3]

def seq(terms):  # left to right from 0 (builtin sum() compensates)
    acc = 0.0
    for t in terms:
        acc = acc + t
    return acc


def lu(a):  # partial pivoting, first largest |pivot| wins
    a, perm = [list(r) for r in a], list(range(4))
    for k in range(3):
        p = max(range(k, 4), key=lambda i: (abs(a[i][k]), -i))
        if a[p][k] != 0:
            a[k], a[p], perm[k], perm[p] = a[p], a[k], perm[p], perm[k]
            for i in range(k + 1, 4):
                a[i][k] /= a[k][k]
        for i in range(k + 1, 4):
            for j in range(k + 1, 4):
                a[i][j] -= a[i][k] * a[k][j]
    return a, perm


def innovation(mean, cov):
    r = (SP * mean[3]) * (SP * mean[3])
    noise = (r, r, 0.1 * 0.1, r)
    return [[cov[i][j] + (noise[i] if i == j else 0.0) for j in range(4)] for i in range(4)]


def chol(s):
    L = [[0.0] * 4 for _ in range(4)]
    for k in range(4):
        L[k][k] = math.sqrt(s[k][k] - seq(L[k][j] * L[k][j] for j in range(k)))
        for i in range(k + 1, 4):
            L[i][k] = (s[i][k] - seq(L[i][j] * L[k][j] for j in range(k))) / L[k][k]
    return L


def ref_gating(mean, cov, zs):
    a, perm = lu(chol(innovation(mean, cov)))

    def dot(i, js):  # row-wise substitution; three terms add as t0 + (t1 + t2)
        t = [a[i][j] * x[j] for j in js]
        return t[0] + (t[1] + t[2]) if len(t) == 3 else seq(t)

    out = []
    for z in zs:
        x = [z[p] - mean[p] for p in perm]
        for i in range(4):
            x[i] -= dot(i, range(i))
        for i in range(3, -1, -1):
            x[i] = (x[i] - dot(i, range(i + 1, 4))) / a[i][i]
        out.append((x[0] * x[0] + x[2] * x[2]) + (x[1] * x[1] + x[3] * x[3]))
    return np.array(out)


def random_state(rng, mix=0.0):
    x = rng.normal(size=(8, 8))
    x[1] += mix * x[0]  # y tied to x: the LUs then pivot
    mean = rng.normal(size=8) * 10
    mean[3] = abs(mean[3]) + 1
    return mean, x @ x.T + np.eye(8) * rng.uniform(0.01, 5)



# ---------------------------------------------------------------- assignment

def reference_assignment(cost):
    """The solver's search step by step: potentials, strict comparisons, columns upwards."""
    w = cost if cost.shape[1] >= cost.shape[0] else cost.T
    nr, nc = w.shape
    u, v, p, way = [0.0] * (nr + 1), [0.0] * (nc + 1), [0] * (nc + 1), [0] * (nc + 1)
    for i in range(1, nr + 1):
        p[0], j0, minv, used = i, 0, [np.inf] * (nc + 1), [True] + [False] * nc
        while True:
            i0, delta, j1 = p[j0], np.inf, 0
            for j in range(1, nc + 1):
                if not used[j]:
                    cur = (w[i0 - 1, j - 1] - u[i0]) - v[j]
                    if cur < minv[j]:
                        minv[j], way[j] = cur, j0
                    if minv[j] < delta:
                        delta, j1 = minv[j], j
            for j in range(nc + 1):
                if used[j]:
                    u[p[j]], v[j] = u[p[j]] + delta, v[j] - delta
                else:
                    minv[j] = minv[j] - delta
            j0 = j1
            if p[j0] == 0:
                break
            used[j0] = True
        while j0:
            p[j0], j0 = p[way[j0]], way[j0]
    col_of_row = [-1] * nr
    for j in range(1, nc + 1):
        if p[j]:
            col_of_row[p[j] - 1] = j - 1
    return (list(range(nr)), col_of_row) if w is cost else (col_of_row, list(range(nr)))



# ---------------------------------------------------------------- tracker

def scene(seed, frames, dim=0):
    """Twelve objects moving and crossing, seen with noise, misses and low
    scores, plus two false positives a frame: (boxes, scores, classes, features)."""
    rng = np.random.default_rng(seed)
    n = 12
    pos, vel = rng.uniform(0, 600, (n, 2)), rng.uniform(-6, 6, (n, 2))
    size, cls, feat = rng.uniform(20, 90, (n, 2)), rng.integers(0, 3, n), rng.normal(size=(n, dim))
    for f in range(frames):
        seen = rng.random(n) > 0.15
        xy = pos[seen] + f * vel[seen] + rng.normal(0, 1.0, (seen.sum(), 2))
        extra = rng.uniform(0, 600, (2, 2))
        boxes = np.r_[np.c_[xy, xy + size[seen]], np.c_[extra, extra + 40]]
        scores = np.r_[rng.choice([0.95, 0.8, 0.62, 0.4, 0.2], seen.sum()), rng.uniform(0, 0.7, 2)]
        classes = np.r_[cls[seen], -1, 1].astype(float)
        feats = np.r_[feat[seen] + rng.normal(0, 0.2, (seen.sum(), dim)), rng.normal(size=(2, dim))]
        yield boxes, scores, classes, feats


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

    def clone(self):
        """An independent copy; the filter (its noise weights only) and the configuration are shared."""
        twin = copy.copy(self)
        twin.__dict__.update({k: copy.deepcopy(v) for k, v in vars(self).items() if k not in ("kf", "c")})
        return twin

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
        self.drop_if_not_finite(t)

    @staticmethod
    def drop_if_not_finite(t):
        """A state, or the box it is reported as, that is no longer finite ends the track."""
        box = lf.xyah_to_xyxy(t["mean"][:4])
        if not (np.isfinite(t["mean"]).all() and np.isfinite(t["cov"]).all() and np.isfinite(box).all()):
            t["state"] = 2

    def update(self, boxes, scores, classes, feats):
        c = self.c
        for t in self.tracks:
            t["mean"], t["cov"] = self.kf.predict(t["mean"], t["cov"])
            t["age"] += 1
            t["tsu"] += 1
            self.drop_if_not_finite(t)
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
