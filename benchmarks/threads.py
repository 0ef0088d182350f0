"""Threads: ByteTracker.update runs without the interpreter lock, so N
threads tracking N streams in one process should go about N times as fast
as one thread tracking them all.

    .venv/bin/python benchmarks/threads.py [--frames 1500] [--rounds 5]

Two streams of generated detections (`benchmarks/streams.py`, different
seeds), each with its own ByteTracker: one thread updating both trackers in
turn, frame by frame, against two threads updating one tracker each. Only
the update calls run in the timed loops (frames are built beforehand). The
two set-ups are timed in turn, `--rounds` times; the ratio is the one-thread
time over the two-thread time (throughput ratio). Meaningful only when the
machine's cores are otherwise idle.
"""
import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import argparse  # noqa: E402
import sys  # noqa: E402
import threading  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from streams import make_stream  # noqa: E402

import loomfeather_cpp as lf  # noqa: E402

DENSITIES = [(50, "MOT17 density (50 objects)"), (200, "4 × MOT17 density (200 objects)")]


def one_thread(streams):
    trackers = [lf.ByteTracker() for _ in streams]
    t0 = time.perf_counter()
    for frames in zip(*streams):
        for t, (b, s) in zip(trackers, frames):
            t.update(b, s)
    return time.perf_counter() - t0, 1.0


def many_threads(streams):
    start = threading.Barrier(len(streams) + 1)

    def run(frames):
        t = lf.ByteTracker()
        start.wait()
        for b, s in frames:
            t.update(b, s)

    threads = [threading.Thread(target=run, args=(f,)) for f in streams]
    for th in threads:
        th.start()
    start.wait()
    t0, c0 = time.perf_counter(), time.process_time()
    for th in threads:
        th.join()
    wall = time.perf_counter() - t0
    return wall, (time.process_time() - c0) / wall  # about 2 when both threads had a core


def measure(n_objects, n_frames, rounds):
    streams = [make_stream(n_objects, n_frames, seed=100 + k) for k in range(2)]
    one, two, cores = [], [], []
    for _ in range(rounds):
        one.append(one_thread(streams)[0])
        wall, used = many_threads(streams)
        two.append(wall)
        cores.append(used)
    frames = 2 * n_frames
    ratios = [a / b for a, b in zip(one, two)]
    return dict(dets=float(np.mean([len(s) for st in streams for _, s in st])), frames=frames,
                one_fps=frames / float(np.median(one)), two_fps=frames / float(np.median(two)),
                ratio=float(np.median(ratios)), lo=min(ratios), hi=max(ratios), cores=float(np.median(cores)))


def section(n_frames=1500, rounds=15):
    load0 = os.getloadavg()[0]
    rows = [(label, measure(n, n_frames if n <= 50 else n_frames // 3, rounds)) for n, label in DENSITIES]
    load1 = os.getloadavg()[0]
    lines = ["## Threads: two streams on two threads\n",
             f"`benchmarks/threads.py`: two generated streams, each with its own `ByteTracker`; one thread "
             f"updating both trackers in turn against two threads updating one each ({os.cpu_count()} cores, "
             f"load average {load0:.2f} at the start, {load1:.2f} at the end). Throughput in frames per second "
             f"(both streams counted), medians of {rounds} rounds; the ratio is per round, one thread's time "
             "over two threads' time. \"Cores used\" is the process's CPU time over the wall time of the "
             "two-thread runs (median): about 2 when both threads had a core of their own, less when other "
             "work on the machine took one.\n",
             "| scene | detections / frame | frames | one thread | two threads | ratio (range) | cores used |",
             "|---|---|---|---|---|---|---|"]
    for label, r in rows:
        lines.append(f"| {label} | {r['dets']:.0f} | {r['frames']} | {r['one_fps']:,.0f} fps | "
                     f"{r['two_fps']:,.0f} fps | {r['ratio']:.2f} ({r['lo']:.2f} – {r['hi']:.2f}) | "
                     f"{r['cores']:.2f} |")
    lines.append("")
    return "\n".join(lines)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--frames", type=int, default=1500)
    ap.add_argument("--rounds", type=int, default=15)
    args = ap.parse_args()
    print(section(args.frames, args.rounds))


if __name__ == "__main__":
    main()
