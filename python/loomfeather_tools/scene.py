"""A deterministic synthetic street scene: people walking and crossing, seen by
an imperfect detector, with ground truth.

People walk mostly sideways across a camera image at depth-dependent sizes and
speeds, so that walkers in opposite directions cross and hide each other. Each
person's visibility is the part of their box not covered by people nearer to
the camera; the detector's score falls with visibility, hidden people are
missed, every detection is jittered, some are missed at random, and false
detections (mostly with low scores) appear every frame. The same parameters
and seed always give the same scene (for a given NumPy version).

>>> scene = make_scene(SceneParams(num_objects=8, num_frames=200, seed=1))
>>> for frame, xyxy, scores in scene.frames(): ...   # feed ByteTracker.update
>>> scene.write("det.txt", "gt.txt")                  # MOTChallenge files
"""

from __future__ import annotations

import os
from collections.abc import Iterator
from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

from .motio import MotTable, write_atomic

__all__ = ["SceneParams", "Scene", "make_scene", "mot17_like"]

_ASPECT = 0.41  # width / height of a standing person


@dataclass(frozen=True)
class SceneParams:
    num_objects: int = 12  # people in view at any time
    num_frames: int = 300
    seed: int = 0
    width: int = 1280
    height: int = 720
    min_height: float = 70.0  # box height of a person at the horizon line
    max_height: float = 260.0  # box height of a person at the bottom of the image
    speed: float = 1.2  # walking speed in body heights per second (30 frames)
    miss_rate: float = 0.05  # detections lost at random, on top of occlusion
    false_positives: float = 1.5  # mean false detections per frame
    fp_high_fraction: float = 0.15  # share of false detections scoring 0.5 or more
    box_noise: float = 0.03  # jitter of box edges, relative to box height


def mot17_like(num_frames: int = 600, seed: int = 0) -> SceneParams:
    """A crowded full-HD stream of MOT17 density: about 50 people in view and
    about 80 detections per frame, roughly a third of them below 0.5."""
    return SceneParams(
        num_objects=54,
        num_frames=num_frames,
        seed=seed,
        width=1920,
        height=1080,
        min_height=60.0,
        max_height=300.0,
        false_positives=38.0,
        fp_high_fraction=0.5,
    )


@dataclass(frozen=True)
class Scene:
    params: SceneParams
    detections: MotTable  # ids are -1
    ground_truth: MotTable  # scores hold the visibility in [0, 1]

    def frames(self) -> Iterator[tuple[int, NDArray[np.float64], NDArray[np.float64]]]:
        """(frame, xyxy boxes (N, 4), scores (N,)) for every frame 1..num_frames,
        empty frames included."""
        slices = self.detections.frame_slices()
        xyxy = self.detections.xyxy
        empty = slice(0, 0)
        for frame in range(1, self.params.num_frames + 1):
            s = slices.get(frame, empty)
            yield frame, xyxy[s], self.detections.scores[s]

    def write(self, det_path: str | os.PathLike[str], gt_path: str | os.PathLike[str] | None = None) -> None:
        """Write MOTChallenge ``det.txt`` (and ``gt.txt``) files."""
        write_atomic(det_path, _format_rows(self.detections, "-1,-1,-1"))
        if gt_path is not None:
            write_atomic(gt_path, _format_rows(self.ground_truth, None))


def _format_rows(t: MotTable, tail: str | None) -> str:
    out = []
    for f, i, (x, y, w, h), s in zip(t.frames.tolist(), t.ids.tolist(), t.ltwh.tolist(), t.scores.tolist()):
        if tail is None:  # ground truth: consider flag, class 1 (pedestrian), visibility
            out.append(f"{f},{i},{x:.2f},{y:.2f},{w:.2f},{h:.2f},1,1,{s:.3f}\n")
        else:
            out.append(f"{f},{i},{x:.2f},{y:.2f},{w:.2f},{h:.2f},{s:.4f},{tail}\n")
    return "".join(out)


class _Walkers:
    """People in the scene: foot point (x, y), velocity, and identity."""

    def __init__(self, p: SceneParams, rng: np.random.Generator) -> None:
        self.p = p
        self.rng = rng
        self.horizon = 0.3 * p.height
        self.next_id = 1
        self.ids = np.zeros(0, dtype=np.int64)
        self.pos = np.zeros((0, 2))
        self.vel = np.zeros((0, 2))
        self.spawn(p.num_objects, anywhere=True)
        self.pending: list[int] = []  # frames left before a replacement walks in

    def heights(self, foot_y: NDArray[np.float64]) -> NDArray[np.float64]:
        p = self.p
        t = np.clip((foot_y - self.horizon) / (p.height - self.horizon), 0.0, 1.0)
        return p.min_height + t * (p.max_height - p.min_height)

    def spawn(self, n: int, anywhere: bool = False) -> None:
        if n == 0:
            return
        p, rng = self.p, self.rng
        foot_y = rng.uniform(self.horizon + 0.1 * p.height, p.height * 1.02, n)
        h = self.heights(foot_y)
        direction = rng.choice([-1.0, 1.0], n)
        speed = p.speed * h / 30.0 * rng.uniform(0.6, 1.4, n)
        if anywhere:
            foot_x = rng.uniform(0.0, p.width, n)
        else:  # just outside the edge it walks in from
            foot_x = np.where(direction > 0, -0.5 * _ASPECT * h, p.width + 0.5 * _ASPECT * h)
        vy = speed * rng.normal(0.0, 0.15, n)
        self.ids = np.r_[self.ids, np.arange(self.next_id, self.next_id + n)]
        self.next_id += n
        self.pos = np.r_[self.pos, np.c_[foot_x, foot_y]]
        self.vel = np.r_[self.vel, np.c_[direction * speed, vy]]

    def step(self) -> None:
        p, rng = self.p, self.rng
        self.pos = self.pos + self.vel
        # Gentle random changes of pace and heading.
        self.vel = self.vel + rng.normal(0.0, 0.02, self.vel.shape) * self.heights(self.pos[:, 1])[:, None] / 30.0
        low, high = self.horizon + 0.05 * p.height, p.height * 1.05
        self.vel[:, 1] = np.where((self.pos[:, 1] < low) & (self.vel[:, 1] < 0), -self.vel[:, 1], self.vel[:, 1])
        self.vel[:, 1] = np.where((self.pos[:, 1] > high) & (self.vel[:, 1] > 0), -self.vel[:, 1], self.vel[:, 1])
        half_w = 0.5 * _ASPECT * self.heights(self.pos[:, 1])
        gone = (self.pos[:, 0] + half_w < 0) & (self.vel[:, 0] < 0) | (self.pos[:, 0] - half_w > p.width) & (self.vel[:, 0] > 0)
        if gone.any():
            keep = ~gone
            self.ids, self.pos, self.vel = self.ids[keep], self.pos[keep], self.vel[keep]
            self.pending += [int(d) for d in rng.integers(0, 25, int(gone.sum()))]
        self.pending = [d - 1 for d in self.pending]
        arriving = sum(1 for d in self.pending if d < 0)
        self.pending = [d for d in self.pending if d >= 0]
        self.spawn(arriving)

    def boxes(self) -> NDArray[np.float64]:
        """ltwh boxes of every walker."""
        h = self.heights(self.pos[:, 1])
        w = _ASPECT * h
        return np.c_[self.pos[:, 0] - 0.5 * w, self.pos[:, 1] - h, w, h]


def _visibility(ltwh: NDArray[np.float64], depth: NDArray[np.float64]) -> NDArray[np.float64]:
    """Share of each box not covered by boxes nearer to the camera (deeper foot
    point), with overlapping occluders counted once each (an upper bound on the
    hidden part, clipped at the whole box)."""
    x1, y1 = ltwh[:, 0], ltwh[:, 1]
    x2, y2 = x1 + ltwh[:, 2], y1 + ltwh[:, 3]
    iw = np.clip(np.minimum(x2[:, None], x2[None, :]) - np.maximum(x1[:, None], x1[None, :]), 0.0, None)
    ih = np.clip(np.minimum(y2[:, None], y2[None, :]) - np.maximum(y1[:, None], y1[None, :]), 0.0, None)
    nearer = depth[None, :] > depth[:, None]
    hidden = (iw * ih * nearer).sum(axis=1)
    area = ltwh[:, 2] * ltwh[:, 3]
    return np.clip(1.0 - hidden / area, 0.0, 1.0)


def make_scene(params: SceneParams = SceneParams()) -> Scene:
    p = params
    if p.num_objects < 0 or p.num_frames < 1:
        raise ValueError("num_objects must be >= 0 and num_frames >= 1")
    rng = np.random.default_rng(p.seed)
    walkers = _Walkers(p, rng)
    gt_rows: list[NDArray[np.float64]] = []
    det_rows: list[NDArray[np.float64]] = []
    for frame in range(1, p.num_frames + 1):
        if frame > 1:
            walkers.step()
        ltwh = walkers.boxes()
        in_view = (ltwh[:, 0] + ltwh[:, 2] > 0) & (ltwh[:, 0] < p.width) & (ltwh[:, 1] < p.height)
        ltwh, ids, depth = ltwh[in_view], walkers.ids[in_view], walkers.pos[in_view, 1]
        vis = _visibility(ltwh, depth)
        n = len(ids)
        gt_rows.append(np.c_[np.full(n, frame), ids, ltwh, vis])

        # True detections: lost when hidden, scored by visibility, jittered.
        detected = (vis >= 0.15) & (rng.random(n) >= p.miss_rate) & (rng.random(n) < np.clip(vis / 0.5, 0.0, 1.0))
        score = np.clip(0.95 * vis**1.5 + rng.normal(0.0, 0.06, n), 0.02, 0.99)
        jitter = rng.normal(0.0, p.box_noise, (n, 4)) * ltwh[:, 3:4]
        box = ltwh + jitter
        box[:, 2:] = np.maximum(box[:, 2:], 2.0)
        true_det = np.c_[box, score][detected]

        # False detections: person-sized boxes anywhere, mostly weak.
        k = int(rng.poisson(p.false_positives))
        fy = rng.uniform(walkers.horizon, p.height, k)
        fh = walkers.heights(fy) * rng.uniform(0.5, 1.2, k)
        fx = rng.uniform(0.0, p.width, k)
        fs = np.where(rng.random(k) < p.fp_high_fraction, rng.uniform(0.5, 0.8, k), rng.uniform(0.1, 0.5, k))
        false_det = np.c_[fx - 0.5 * _ASPECT * fh, fy - fh, _ASPECT * fh, fh, fs]

        dets = np.r_[true_det, false_det]
        dets = dets[np.argsort(-dets[:, 4], kind="stable")]  # detector output: by score
        det_rows.append(np.c_[np.full(len(dets), frame), dets])

    gt = np.concatenate(gt_rows) if gt_rows else np.zeros((0, 7))
    det = np.concatenate(det_rows) if det_rows else np.zeros((0, 6))
    # Round as the files do, so that a scene and its files read back agree.
    return Scene(
        params=p,
        detections=MotTable.build(det[:, 0], np.full(len(det), -1), det[:, 1:5].round(2), det[:, 5].round(4)),
        ground_truth=MotTable.build(gt[:, 0], gt[:, 1], gt[:, 2:6].round(2), gt[:, 6].round(3)),
    )
