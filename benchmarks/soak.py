"""Soak: many frames of a generated scene through one ByteTracker, with the
process's resident memory sampled along the way.

    .venv/bin/python benchmarks/soak.py [--frames 200000] [--warmup 20000]

Prints the resident set size (RSS) after warm-up, its peak and final values
and the growth since warm-up; exits with status 1 when the growth reaches
--limit-mb (default 5 MB). Not part of CI.
"""
import argparse
import os
import sys
import time

import numpy as np

import loomfeather_cpp as lf

PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


class Scene:
    """Up to `slots` objects crossing a 1920x1080 image at constant velocity,
    each seen with jitter (or missed) and a class and an appearance embedding
    of its own; plus low-score clutter. Objects leave at the border or at
    random and their slots are refilled by new ones."""

    def __init__(self, seed=0, slots=24, dim=16):
        self.rng = np.random.default_rng(seed)
        self.dim = dim
        self.alive = np.zeros(slots, bool)
        self.pos = np.zeros((slots, 2))
        self.size = np.zeros((slots, 2))
        self.vel = np.zeros((slots, 2))
        self.cls = np.zeros(slots)
        self.feat = np.zeros((slots, dim))

    def _spawn(self, idx):
        rng, k = self.rng, len(idx)
        self.alive[idx] = True
        self.pos[idx] = rng.uniform([0, 0], [1800, 950], (k, 2))
        self.size[idx] = rng.uniform([20, 40], [90, 220], (k, 2))
        self.vel[idx] = rng.normal(0, 3, (k, 2))
        self.cls[idx] = rng.integers(0, 3, k)
        self.feat[idx] = rng.normal(size=(k, self.dim))

    def frame(self):
        rng = self.rng
        born = np.flatnonzero(~self.alive & (rng.random(self.alive.size) < 0.03))
        self._spawn(born)
        self.pos += self.vel
        out = (self.pos[:, 0] < -100) | (self.pos[:, 0] > 1920) | (self.pos[:, 1] < -100) | (self.pos[:, 1] > 1080)
        self.alive &= ~out & (rng.random(self.alive.size) > 0.002)
        seen = np.flatnonzero(self.alive & (rng.random(self.alive.size) < 0.9))
        xy = self.pos[seen] + rng.normal(0, 1.5, (seen.size, 2))
        boxes = np.c_[xy, xy + self.size[seen] * rng.uniform(0.95, 1.05, (seen.size, 1))]
        scores = rng.uniform(0.3, 1.0, seen.size)
        classes = self.cls[seen]
        feats = self.feat[seen] + rng.normal(0, 0.2, (seen.size, self.dim))
        clutter = rng.poisson(1.0)
        if clutter:
            xy = rng.uniform([0, 0], [1900, 1000], (clutter, 2))
            boxes = np.r_[boxes, np.c_[xy, xy + rng.uniform(10, 60, (clutter, 2))]]
            scores = np.r_[scores, rng.uniform(0.0, 0.6, clutter)]
            classes = np.r_[classes, rng.integers(-1, 3, clutter)]
            feats = np.r_[feats, rng.normal(size=(clutter, self.dim))]
        return boxes, scores, classes, feats


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--frames", type=int, default=200_000)
    ap.add_argument("--warmup", type=int, default=20_000)
    ap.add_argument("--every", type=int, default=1_000, help="sample RSS every this many frames")
    ap.add_argument("--limit-mb", type=float, default=5.0)
    ap.add_argument("--seed", type=int, default=0)
    args = ap.parse_args()

    # Every association term in play: overlap, class veto, Mahalanobis gate,
    # appearance and uncertainty.
    tracker = lf.ByteTracker(lf.TrackerConfig(w_app=0.5, w_unc=0.2))
    scene = Scene(args.seed)
    samples, reported, start = [], 0, time.perf_counter()
    base = None
    for f in range(1, args.frames + 1):
        boxes, scores, classes, feats = scene.frame()
        reported += tracker.update(boxes, scores, class_ids=classes, features=feats)[0].size
        if f == args.warmup:
            base = rss_bytes()
        if f % args.every == 0:
            samples.append((f, rss_bytes()))
    elapsed = time.perf_counter() - start

    after = [r for f, r in samples if f >= args.warmup]
    mb = 1 / 2**20
    ids = tracker.track_states()[0]
    growth, peak = (after[-1] - base) * mb, (max(after) - base) * mb
    print(f"frames                {args.frames} ({args.frames / elapsed:,.0f} frames/s, {elapsed:.1f} s)")
    print(f"rows reported         {reported}; live tracks at the end {ids.size}, highest id {ids.max(initial=0)}")
    print(f"RSS at start          {samples[0][1] * mb:.2f} MB (frame {samples[0][0]})")
    print(f"RSS after warm-up     {base * mb:.2f} MB (frame {args.warmup})")
    print(f"RSS peak after warm-up {max(after) * mb:.2f} MB")
    print(f"RSS final             {after[-1] * mb:.2f} MB")
    print(f"growth after warm-up  {growth:+.3f} MB final, {peak:+.3f} MB peak (limit {args.limit_mb} MB)")
    sys.exit(0 if max(growth, peak) < args.limit_mb else 1)


if __name__ == "__main__":
    main()
