"""Memory after a spike: a tracker's working buffers grow with the largest frame
it has seen; they must come back once frames are ordinary again, and at once
on reset(), without costing ordinary frames anything.

    .venv/bin/python benchmarks/memory.py [--ordinary 100] [--spike 3000]

Resident memory (RSS) of a fresh process: after 200 frames at MOT17 density,
after one frame of SPIKE tracks x SPIKE detections, after ORDINARY frames at
MOT17 density, after a second spike, and right after reset(). Each run twice,
in its own process: as built, and with the buffers kept as they grow (the
private switch `_release_scratch(False)`, which is how the tracker behaved
before). Then, in one process, the per-frame time of `update` at MOT17
density with both settings, and with and without `return_indices=True`,
runs interleaved.
"""
import argparse
import json
import os
import subprocess
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from streams import make_stream  # noqa: E402

import loomfeather_cpp as lf  # noqa: E402

PAGE = os.sysconf("SC_PAGE_SIZE")
MIB = 2.0**20


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def spike_frame(k):
    """k well separated boxes on a grid, all confident: the second such frame
    pairs k tentative tracks with k detections."""
    side = int(np.ceil(np.sqrt(k)))
    i = np.arange(k)
    x, y = (i % side) * 100.0, (i // side) * 200.0
    return np.ascontiguousarray(np.stack([x, y, x + 40.0, y + 120.0], axis=1)), np.full(k, 0.9)


def measure(release, ordinary, spike):
    """RSS at each step, in MiB, in this (fresh) process."""
    lf._release_scratch(release)
    frames = make_stream(50, 200 + ordinary, seed=4)
    big = spike_frame(spike)
    t = lf.ByteTracker()
    out = {}
    for b, s in frames[:200]:
        t.update(b, s)
    out["ordinary"] = rss()
    t.update(*big)
    t.update(*big)
    out["after spike"] = rss()
    for b, s in frames[200:]:
        t.update(b, s)
    out[f"after {ordinary} ordinary frames"] = rss()
    t.update(*big)
    t.update(*big)
    out["after a second spike"] = rss()
    t.reset()
    out["right after reset()"] = rss()
    return {k: v / MIB for k, v in out.items()}


def run_child(release, ordinary, spike):
    cmd = [sys.executable, os.path.abspath(__file__), "--child", "1" if release else "0",
           "--ordinary", str(ordinary), "--spike", str(spike)]
    return json.loads(subprocess.run(cmd, capture_output=True, text=True, check=True).stdout)


def frame_times(rounds=6, n_frames=600, warmup=30):
    """Median per-frame time (µs) of each variant, the variants run in turn."""
    frames = make_stream(50, n_frames, seed=1)
    variants = {"buffers given back (as built)": (True, False),
                "buffers kept (before)": (False, False),
                "as built, return_indices=True": (True, True)}
    times = {k: [] for k in variants}
    clock = time.perf_counter_ns
    for _ in range(rounds):
        for name, (release, indices) in variants.items():
            previous = lf._release_scratch(release)
            t = lf.ByteTracker()
            per = np.empty(len(frames))
            for k, (b, s) in enumerate(frames):
                t0 = clock()
                t.update(b, s, return_indices=indices)
                per[k] = clock() - t0
            lf._release_scratch(previous)
            times[name].append(per[warmup:] / 1e3)
    return {k: (float(np.median(np.concatenate(v))), [float(np.median(r)) for r in v]) for k, v in times.items()}


def section(ordinary=100, spike=3000):
    after = run_child(True, ordinary, spike)
    before = run_child(False, ordinary, spike)
    times = frame_times()
    lines = ["## Memory after a spike\n",
             f"Resident memory of a fresh process (`benchmarks/memory.py`): a tracker at MOT17 density "
             f"(`benchmarks/streams.py`, 50 objects), then one frame of {spike} tentative tracks × {spike} "
             f"detections, {ordinary} ordinary frames, the spike again, and `reset()`. \"Kept\" is the tracker "
             "with its working buffers kept as they grow (how it behaved before), set through the private "
             "switch `_release_scratch(False)`.\n",
             "| step | RSS, buffers given back | RSS, buffers kept |", "|---|---|---|"]
    for k in after:
        lines.append(f"| {k} | {after[k]:.1f} MiB | {before[k]:.1f} MiB |")
    lines.append("")
    lines.append("Per-frame time of `update` at MOT17 density (600 frames, 6 runs of each variant taken in turn, "
                 "first 30 frames of each run left out; median over all frames, and the range of the runs' "
                 "medians):\n")
    lines += ["| variant | median | run medians |", "|---|---|---|"]
    for k, (med, runs) in times.items():
        lines.append(f"| {k} | {med:.1f} µs | {min(runs):.1f} – {max(runs):.1f} µs |")
    lines.append("")
    return "\n".join(lines)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--ordinary", type=int, default=100)
    ap.add_argument("--spike", type=int, default=3000)
    ap.add_argument("--child", choices=["0", "1"], help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child is not None:
        print(json.dumps(measure(args.child == "1", args.ordinary, args.spike)))
        return
    print(section(args.ordinary, args.spike))


if __name__ == "__main__":
    main()
