"""Deterministic synthetic detection streams: objects moving with noise.

A scene of n objects keeps the density of a MOT17 street scene (about 50
people on a 1920 x 1080 frame) by growing its area with n. Each frame every
object moves (velocity with a little random acceleration), is detected with
probability 0.95 with a noisy box, and false positives are scattered over the
scene, so that a frame holds about 1.6 n detections, a third of them below
the high-score threshold 0.5. Objects leave after a random lifetime or at the
border and are replaced by new ones, so identities keep turning over.
"""
import math

import numpy as np

DETECT_PROB = 0.95
CLUTTER_PER_OBJECT = 0.65       # false positives per object and frame (Poisson mean)
OBJECT_LOW_FRACTION = 0.08      # detected objects with a low score (occlusion, blur)
CLUTTER_LOW_FRACTION = 0.70     # false positives with a low score
MEAN_LIFETIME = 300             # frames


def _spawn(rng, k, width, height):
    h = rng.uniform(50.0, 220.0, k)
    w = h * rng.uniform(0.35, 0.5, k)
    cx = rng.uniform(0.0, width, k)
    cy = rng.uniform(0.0, height, k)
    vx = rng.normal(0.0, 2.0, k)
    vy = rng.normal(0.0, 0.7, k)
    life = rng.geometric(1.0 / MEAN_LIFETIME, k)
    return np.stack([cx, cy, w, h, vx, vy, life.astype(float)], axis=1)


def make_stream(n_objects, n_frames, seed=0):
    """List of (boxes (D, 4) x1 y1 x2 y2, scores (D,)) frames, float64, C-contiguous."""
    rng = np.random.default_rng(seed)
    scale = math.sqrt(n_objects / 50.0)
    width, height = 1920.0 * scale, 1080.0 * scale
    obj = _spawn(rng, n_objects, width, height)
    frames = []
    for _ in range(n_frames):
        obj[:, 4] += rng.normal(0.0, 0.25, n_objects)
        obj[:, 5] += rng.normal(0.0, 0.1, n_objects)
        obj[:, 4:6] = np.clip(obj[:, 4:6], -6.0, 6.0)
        obj[:, 0:2] += obj[:, 4:6]
        obj[:, 6] -= 1.0
        gone = (obj[:, 6] <= 0) | (obj[:, 0] < 0) | (obj[:, 0] > width) | (obj[:, 1] < 0) | (obj[:, 1] > height)
        if gone.any():
            obj[gone] = _spawn(rng, int(gone.sum()), width, height)

        seen = obj[rng.random(n_objects) < DETECT_PROB]
        noise = rng.normal(0.0, 1.0, (len(seen), 4)) * (0.02 * seen[:, 3:4])
        cx, cy, w, h = seen[:, 0], seen[:, 1], seen[:, 2], seen[:, 3]
        det = np.stack([cx - w / 2, cy - h / 2, cx + w / 2, cy + h / 2], axis=1) + noise
        low = rng.random(len(seen)) < OBJECT_LOW_FRACTION
        det_scores = np.where(low, rng.uniform(0.1, 0.5, len(seen)), rng.uniform(0.55, 1.0, len(seen)))

        k = rng.poisson(CLUTTER_PER_OBJECT * n_objects)
        ch = rng.uniform(40.0, 200.0, k)
        cw = ch * rng.uniform(0.3, 0.6, k)
        cx, cy = rng.uniform(0.0, width, k), rng.uniform(0.0, height, k)
        clutter = np.stack([cx - cw / 2, cy - ch / 2, cx + cw / 2, cy + ch / 2], axis=1)
        clow = rng.random(k) < CLUTTER_LOW_FRACTION
        clutter_scores = np.where(clow, rng.uniform(0.1, 0.5, k), rng.uniform(0.5, 0.7, k))

        boxes = np.concatenate([det, clutter])
        scores = np.concatenate([det_scores, clutter_scores])
        boxes[:, 2:] = np.maximum(boxes[:, 2:], boxes[:, :2] + 1.0)
        order = rng.permutation(len(scores))
        frames.append((np.ascontiguousarray(boxes[order]), np.ascontiguousarray(scores[order])))
    return frames
