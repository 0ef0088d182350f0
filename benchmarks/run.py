"""Every benchmark of loomfeather_cpp in one process; writes benchmarks/RESULTS.md.

    make bench          (installs requirements-bench.txt into .venv, then runs this)

Comparisons (all measured in this same run, on the same inputs):
  * ByteTrack in Python: supervision's ByteTrack and the `trackers` package's
    ByteTrackTracker, run as black boxes through their public API;
  * scipy.optimize.linear_sum_assignment;
  * vectorised NumPy versions of the IoU, Kalman predict and gating formulas.
Only the calls themselves are timed (inputs are built beforehand).
"""
import os

# The BLAS thread pools of NumPy and SciPy spin on the second core after a
# call and slow everything else on a 2-core machine; nothing timed here uses
# more than one thread.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import argparse
import datetime
import gc
import glob
import importlib.metadata as md
import platform
import re
import subprocess
import sys
import time
import warnings

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from streams import make_stream  # noqa: E402

import loomfeather_cpp as lf  # noqa: E402

warnings.filterwarnings("ignore")
MOT15 = os.path.join(HERE, "..", "..", "shared", "data", "mot15")


# --- timing helpers -------------------------------------------------------------------------------


def per_call_us(func, args_list):
    """Time func(*args) for every args in args_list; returns an array of microseconds."""
    out = np.empty(len(args_list))
    clock = time.perf_counter_ns
    for k, args in enumerate(args_list):
        t0 = clock()
        func(*args)
        out[k] = clock() - t0
    return out / 1e3


def repeat_us(func, args, reps):
    """Median and p99 of `reps` timed calls of func(*args), in microseconds."""
    times = per_call_us(func, [args] * reps)
    return float(np.median(times)), float(np.percentile(times, 99))


def fmt_us(us):
    if us >= 1e6:
        return f"{us / 1e6:.2f} s"
    if us >= 1e3:
        return f"{us / 1e3:.2f} ms"
    return f"{us:.1f} µs"


# --- the trackers ------------------------------------------------------------------------------------


def ours_runner():
    def run(frames):
        t = lf.ByteTracker(lf.TrackerConfig())
        reported = np.empty(len(frames))
        times = np.empty(len(frames))
        clock = time.perf_counter_ns
        for k, (boxes, scores) in enumerate(frames):
            t0 = clock()
            ids = t.update(boxes, scores)[0]
            times[k] = clock() - t0
            reported[k] = len(ids)
        return times / 1e3, reported
    return run


def python_runners():
    """Black-box ByteTrack implementations from PyPI, configured like ours
    (high/low split at 0.5, births from 0.6, IoU 0.3, 30 frames of memory,
    3 hits to confirm)."""
    runners = {}
    try:
        import supervision as sv
    except ImportError:
        return runners

    def wrap(make, update):
        def run(frames):
            t = make()
            dets = [sv.Detections(xyxy=b, confidence=s, class_id=np.zeros(len(s), dtype=int)) for b, s in frames]
            reported = np.empty(len(frames))
            times = np.empty(len(frames))
            clock = time.perf_counter_ns
            for k, d in enumerate(dets):
                t0 = clock()
                out = update(t, d)
                times[k] = clock() - t0
                # Detections without a track come back with tracker_id -1 from some versions.
                reported[k] = len(out) if out.tracker_id is None else int(np.sum(out.tracker_id >= 0))
            return times / 1e3, reported
        return run

    if hasattr(sv, "ByteTrack"):
        runners[f"supervision {md.version('supervision')} ByteTrack"] = wrap(
            lambda: sv.ByteTrack(track_activation_threshold=0.5, lost_track_buffer=30,
                                 minimum_matching_threshold=0.7, frame_rate=30, minimum_consecutive_frames=3),
            lambda t, d: t.update_with_detections(d))
    try:
        import trackers
        runners[f"trackers {md.version('trackers')} ByteTrackTracker"] = wrap(
            lambda: trackers.ByteTrackTracker(lost_track_buffer=30, frame_rate=30.0, track_activation_threshold=0.6,
                                              minimum_consecutive_frames=3, minimum_iou_threshold=0.3,
                                              high_conf_det_threshold=0.5),
            lambda t, d: t.update(d))
    except ImportError:
        pass
    return runners


# --- NumPy versions of the same formulas ----------------------------------------------------------


def numpy_iou(a, b):
    area_a = np.maximum(a[:, 2] - a[:, 0], 0) * np.maximum(a[:, 3] - a[:, 1], 0)
    area_b = np.maximum(b[:, 2] - b[:, 0], 0) * np.maximum(b[:, 3] - b[:, 1], 0)
    iw = np.maximum(np.minimum(a[:, None, 2], b[None, :, 2]) - np.maximum(a[:, None, 0], b[None, :, 0]), 0)
    ih = np.maximum(np.minimum(a[:, None, 3], b[None, :, 3]) - np.maximum(a[:, None, 1], b[None, :, 1]), 0)
    inter = iw * ih
    union = (area_b[None, :] + area_a[:, None]) - inter
    return inter / np.maximum(union, 1e-7)


def numpy_predict(mean, cov, sp=0.05, sv=0.00625):
    h = mean[:, 3]
    new_mean = mean.copy()
    new_mean[:, :4] = mean[:, :4] + mean[:, 4:]
    p11, p12, p21, p22 = cov[:, :4, :4], cov[:, :4, 4:], cov[:, 4:, :4], cov[:, 4:, 4:]
    out = np.empty_like(cov)
    out[:, :4, :4] = (p11 + p21) + (p12 + p22)
    out[:, :4, 4:] = p12 + p22
    out[:, 4:, :4] = p21 + p22
    out[:, 4:, 4:] = p22
    qp, qv = (sp * h) * (sp * h), (h * sv) * (h * sv)
    q = np.stack([qp, qp, np.full_like(h, 0.01 * 0.01), qp, qv, qv, np.full_like(h, 1e-5 * 1e-5), qv], axis=1)
    idx = np.arange(8)
    out[:, idx, idx] += q
    return new_mean, out


def numpy_gating(means, covs, z, sp=0.05):
    h = means[:, 3]
    r = (sp * h) * (sp * h)
    s = covs[:, :4, :4].copy()
    for k in (0, 1, 3):
        s[:, k, k] += r
    s[:, 2, 2] += 0.1 * 0.1
    chol = np.linalg.cholesky(s)
    d = z[None, :, :] - means[:, None, :4]
    x = np.linalg.solve(chol, d.transpose(0, 2, 1))
    return (x[:, 0] * x[:, 0] + x[:, 2] * x[:, 2]) + (x[:, 1] * x[:, 1] + x[:, 3] * x[:, 3])


# --- inputs -------------------------------------------------------------------------------------------


def kalman_states(n, seed):
    rng = np.random.default_rng(seed)
    kf = lf.KalmanBoxTracker()
    boxes = make_stream(max(10, n), 1, seed)[0][0][:n]
    z = lf.xyxy_to_xyah(boxes)
    means, covs = zip(*(kf.initiate(zi) for zi in z))
    means, covs = kf.predict(np.array(means), np.array(covs))
    for _ in range(3):  # a few corrections give full covariances
        for i in range(n):
            means[i], covs[i] = kf.update(means[i], covs[i], z[i] + rng.normal(0, 1.0, 4))
        means, covs = kf.predict(means, covs)
    return np.ascontiguousarray(means), np.ascontiguousarray(covs), kf


def gated_costs(n_objects, count, seed):
    """Cost matrices as the tracker builds them: previous-frame boxes of the
    high-score detections against this frame's, 1 - IoU, gated at IoU 0.3."""
    frames = make_stream(n_objects, count + 1, seed)
    out = []
    for (b0, s0), (b1, s1) in zip(frames, frames[1:]):
        a, b = b0[s0 >= 0.5], b1[s1 >= 0.5]
        cost, _ = lf.build_association_cost(lf.iou_matrix(a, b), iou_thresh=0.3)
        out.append(np.ascontiguousarray(cost))
    return out


def mot15_sequences():
    seqs = {}
    for path in sorted(glob.glob(os.path.join(MOT15, "*", "det.txt"))):
        d = np.loadtxt(path, delimiter=",", ndmin=2)
        frames = []
        for f in range(1, int(d[:, 0].max()) + 1):
            rows = d[d[:, 0] == f]
            boxes = np.ascontiguousarray(np.stack([rows[:, 2], rows[:, 3], rows[:, 2] + rows[:, 4],
                                                   rows[:, 3] + rows[:, 5]], axis=1).reshape(-1, 4))
            frames.append((boxes, np.ascontiguousarray(rows[:, 6])))
        seqs[os.path.basename(os.path.dirname(path))] = frames
    return seqs


# --- the benchmarks -------------------------------------------------------------------------------------

SCALES = [  # objects, frames for us, frames for the Python trackers
    (10, 2000, 2000),
    (50, 2000, 2000),
    (200, 1000, 300),
    (1000, 150, 60),
]
RUNS = 8  # runs of each stream through a fresh ByteTracker, frames pooled
WARMUP = 30  # frames left out of the statistics while the first tracks are confirmed


def bench_tracker(pythons, quick):
    rows = []
    ours = ours_runner()
    for n_obj, n_ours, n_py in SCALES:
        if quick:
            n_ours, n_py = max(WARMUP + 20, n_ours // 10), max(WARMUP + 10, n_py // 10)
        frames = make_stream(n_obj, n_ours, seed=n_obj)
        dets = float(np.mean([len(s) for _, s in frames]))
        low = float(np.mean([np.mean(s < 0.5) for _, s in frames]))
        # Our runs are short: half before and half after the Python trackers,
        # so that they span the same stretch of time on a shared machine.
        runs = [ours(frames) for _ in range(RUNS // 2)]
        others = {name: run(frames[:n_py]) for name, run in pythons.items()}
        runs += [ours(frames) for _ in range(RUNS - RUNS // 2)]
        pooled = np.concatenate([t[WARMUP:] for t, _ in runs])
        run_medians = [float(np.median(t[WARMUP:])) for t, _ in runs]
        rep = float(np.mean(runs[0][1][WARMUP:]))
        live = rows_live(frames)
        row = dict(objects=n_obj, dets=dets, low=low, live=live, frames=n_ours, med=float(np.median(pooled)),
                   p99=float(np.percentile(pooled, 99)), run_min=min(run_medians), run_max=max(run_medians),
                   reported=rep, others={})
        for name, (t, r) in others.items():
            row["others"][name] = dict(med=float(np.median(t[WARMUP:])), p99=float(np.percentile(t[WARMUP:], 99)),
                                       reported=float(np.mean(r[WARMUP:])), frames=n_py)
        rows.append(row)
        print(f"  tracker {n_obj}: {fmt_us(row['med'])} / frame", flush=True)
    return rows


def rows_live(frames):
    """Mean number of confirmed tracks (live, matched or coasting) after the warm-up."""
    t = lf.ByteTracker()
    live = []
    for b, s in frames:
        t.update(b, s)
        live.append(int((t.track_states()[1] == 1).sum()))
    return float(np.mean(live[WARMUP:]))


def bench_iou():
    rows = []
    for n, reps in ((100, 2000), (1000, 15)):
        a = make_stream(n, 1, seed=1)[0][0][:n]
        b = make_stream(n, 1, seed=2)[0][0][:n]
        ours = repeat_us(lf.iou_matrix, (a, b), reps)
        ref = repeat_us(numpy_iou, (a, b), reps)
        same = bool(np.array_equal(lf.iou_matrix(a, b).view(np.int64), numpy_iou(a, b).view(np.int64)))
        rows.append(dict(size=f"{n} × {n}", ours=ours, numpy=ref, same=same))
    return rows


def interleaved(mats, reps, scipy_solver):
    """Median time of each solver, the three called in turn on every matrix."""
    funcs = {"la": lf.linear_assignment, "lapjv": lf.linear_assignment_lapjv, "scipy": scipy_solver}
    times = {key: [] for key in funcs}
    for _ in range(reps):
        for m in mats:
            for key, f in funcs.items():
                times[key].append(per_call_us(f, [(m,)])[0])
    return {key: float(np.median(t)) for key, t in times.items()}


def bench_assignment(quick):
    from scipy.optimize import linear_sum_assignment
    rng = np.random.default_rng(0)
    rows = []
    for n in (100, 500, 1000):
        mats = [rng.random((n, n)) for _ in range(5 if n < 1000 else 3)]
        reps = 20 if n == 100 else 3 if n == 500 else 1
        if quick:
            mats, reps = mats[:1], 1
        row = dict(kind=f"dense random {n} × {n}", **interleaved(mats, reps, linear_sum_assignment))
        totals = [m[linear_sum_assignment(m)].sum() for m in mats]
        row["optimal"] = all(np.isclose(m[lf.linear_assignment(m)].sum(), t, rtol=1e-12) for m, t in zip(mats, totals))
        rows.append(row)
    for n_obj, count in ((50, 300), (200, 60), (1000, 8)):
        mats = gated_costs(n_obj, count if not quick else 4, seed=7)
        shape = np.mean([m.shape for m in mats], axis=0)
        row = dict(kind=f"gated, tracker-like ~{shape[0]:.0f} × {shape[1]:.0f}",
                   **interleaved(mats, 3, linear_sum_assignment))
        row["optimal"] = all(np.isclose(m[lf.linear_assignment(m)].sum(), m[linear_sum_assignment(m)].sum(),
                                        rtol=1e-12) for m in mats)
        rows.append(row)
    return rows


def bench_kalman():
    means, covs, kf = kalman_states(1000, seed=3)
    ours = repeat_us(kf.predict, (means, covs), 300)
    ref = repeat_us(numpy_predict, (means, covs), 300)
    a, b = kf.predict(means, covs), numpy_predict(means, covs)
    same_p = all(x.tobytes() == y.tobytes() for x, y in zip(a, b))
    m100, c100 = means[:100], covs[:100]
    z = np.ascontiguousarray(m100[np.arange(200) % 100, :4] + np.random.default_rng(1).normal(0, 3.0, (200, 4)))
    g_ours = repeat_us(kf.gating_distance_batch, (m100, c100, z), 300)
    g_ref = repeat_us(numpy_gating, (m100, c100, z), 300)
    dg = kf.gating_distance_batch(m100, c100, z)
    rel = float(np.max(np.abs(dg - numpy_gating(m100, c100, z)) / np.maximum(np.abs(dg), 1e-300)))
    return [dict(name="`KalmanBoxTracker.predict`, batch of 1,000", ours=ours, numpy=ref,
                 agree="bit-identical" if same_p else "differs"),
            dict(name="`gating_distance_batch`, 100 tracks × 200 measurements", ours=g_ours, numpy=g_ref,
                 agree=f"max relative difference {rel:.1e}")]


def bench_fixed_costs(pythons):
    code = "import loomfeather_cpp"
    samples = []
    for _ in range(7):
        out = subprocess.run([sys.executable, "-X", "importtime", "-c", code], capture_output=True, text=True).stderr
        m = [line for line in out.splitlines() if line.rstrip().endswith("| loomfeather_cpp")]
        samples.append(int(m[-1].split("|")[1]))
    import_us = float(np.median(samples))
    t = lf.ByteTracker()
    empty_b, empty_s = np.zeros((0, 4)), np.zeros(0)
    fixed = repeat_us(t.update, (empty_b, empty_s), 20000)
    one_b, one_s = np.array([[10.0, 10.0, 50.0, 120.0]]), np.array([0.9])
    t1 = lf.ByteTracker()
    one = repeat_us(t1.update, (one_b, one_s), 20000)
    return dict(import_us=import_us, empty=fixed, one=one)


def bench_mot15(pythons):
    seqs = mot15_sequences()
    rows = []
    ours = ours_runner()
    for name, frames in seqs.items():
        n_det = sum(len(s) for _, s in frames)
        runs = [ours(frames)[0].sum() for _ in range(3)]
        row = dict(name=name, frames=len(frames), dets=n_det, ours_fps=len(frames) / (np.median(runs) / 1e6),
                   others={})
        for pname, run in pythons.items():
            t, _ = run(frames)
            row["others"][pname] = len(frames) / (t.sum() / 1e6)
        rows.append(row)
    return rows


# --- report ------------------------------------------------------------------------------------------------


def machine_info():
    cpu = "?"
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    info = lf.build_info()
    pk = {p: md.version(p) for p in ("numpy", "scipy", "supervision", "trackers") if _has(p)}
    return cpu, info, pk


def _has(pkg):
    try:
        md.version(pkg)
        return True
    except md.PackageNotFoundError:
        return False


# The benchmarks of the tools and of the module's newer entries, one script
# each (runnable on its own); each returns its Markdown section, measured with
# its comparison in the same call.
EXTRA_SECTIONS = ("evaluation", "sweep", "reading", "threads", "memory", "interrupt", "peers")


def extra_section(name):
    import importlib

    try:
        return importlib.import_module(name).section()
    except Exception as exc:  # noqa: BLE001 - one broken section must not lose the others
        return f"## {name}\n\nNot measured: {type(exc).__name__}: {exc}\n"


def write_report(path, sections):
    with open(path, "w") as f:
        f.write("\n".join(sections) + "\n")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="a short run to check the harness (not for RESULTS.md)")
    ap.add_argument("--out", default=os.path.join(HERE, "RESULTS.md"))
    args = ap.parse_args()

    started = time.time()
    load0 = os.getloadavg()
    pythons = python_runners()
    print("tracker streams ...", flush=True)
    tracker = bench_tracker(pythons, args.quick)
    print("iou ...", flush=True)
    iou = bench_iou()
    print("assignment ...", flush=True)
    assign = bench_assignment(args.quick)
    print("kalman ...", flush=True)
    kal = bench_kalman()
    print("fixed costs ...", flush=True)
    fixed = bench_fixed_costs(pythons)
    print("mot15 ...", flush=True)
    mot = bench_mot15(pythons) if os.path.isdir(MOT15) else []
    extra = []
    for name in EXTRA_SECTIONS:
        print(f"{name} ...", flush=True)
        extra.append(extra_section(name))
    load1 = os.getloadavg()
    elapsed = time.time() - started

    cpu, info, pk = machine_info()
    names = list(pythons)
    mot17 = next(r for r in tracker if r["objects"] == 50)
    s = []
    s.append("# Benchmark results\n")
    s.append(f"Written by `make bench` (`benchmarks/run.py`{' --quick' if args.quick else ''}) on "
             f"{datetime.date.today().isoformat()}, in one process, {elapsed / 60:.1f} minutes. "
             "Every ratio compares two measurements of this same run. Times are medians of per-call wall-clock "
             "times unless marked p99.\n")
    s.append(f"Machine: {cpu}, {os.cpu_count()} cores, Linux {platform.release()}, Python "
             f"{platform.python_version()}; load average {load0[0]:.2f} at the start, {load1[0]:.2f} at the end "
             "(a shared machine: other work running beside the benchmark widens the spread).  ")
    s.append(f"loomfeather_cpp {info['module_version']} ({info['compiler_version']}, Eigen "
             f"{info['eigen_version']}, pybind11 {info['pybind11_version']}, fp_contract_off="
             f"{info['fp_contract_off']}); " + ", ".join(f"{k} {v}" for k, v in pk.items()) + ". "
             "OPENBLAS_NUM_THREADS=1.\n")

    # headline
    s.append("## Headline\n")
    s.append("| what | loomfeather_cpp | comparison | speed-up |")
    s.append("|---|---|---|---|")
    for n in names:
        o = mot17["others"][n]
        s.append(f"| `ByteTracker.update`, MOT17 density (~{mot17['live']:.0f} live tracks, "
                 f"{mot17['dets']:.0f} detections a frame) | {fmt_us(mot17['med'])} / frame | {n}: "
                 f"{fmt_us(o['med'])} / frame | {o['med'] / mot17['med']:.0f}× |")
    r = iou[1]
    s.append(f"| `iou_matrix` 1000 × 1000 | {fmt_us(r['ours'][0])} | NumPy: {fmt_us(r['numpy'][0])} | "
             f"{r['numpy'][0] / r['ours'][0]:.1f}× |")
    for row in kal:
        s.append(f"| {row['name']} | {fmt_us(row['ours'][0])} | NumPy: {fmt_us(row['numpy'][0])} | "
                 f"{row['numpy'][0] / row['ours'][0]:.1f}× |")
    for row in assign:
        if row["kind"].startswith("dense random 1000") or row["kind"].startswith("gated, tracker-like ~5"):
            s.append(f"| `linear_assignment`, {row['kind']} | {fmt_us(row['la'])} | SciPy: {fmt_us(row['scipy'])} | "
                     f"{row['scipy'] / row['la']:.1f}× |")
    s.append("")

    # targets
    s.append("## Targets\n")
    tl = []
    for n in names:
        ratio = mot17["others"][n]["med"] / mot17["med"]
        tl.append(f"- Update at MOT17 density at least 30× faster than {n}: "
                  f"**{'met' if ratio >= 30 else 'missed'}** ({ratio:.0f}×).")
    tl.append(f"- Update median under 80 µs a frame at MOT17 density: "
              f"**{'met' if mot17['med'] < 80 else 'missed'}** ({fmt_us(mot17['med'])}).")
    dense = [r for r in assign if r["kind"].startswith("dense")]
    worst = max(r["la"] / r["scipy"] for r in dense)
    tl.append(f"- `linear_assignment` within 1.5× SciPy's time at every dense size: "
              f"**{'met' if worst <= 1.5 else 'missed'}** (slowest ratio {worst:.2f}× SciPy's time).")
    gated = [r for r in assign if r["kind"].startswith("gated")]
    g_ok = all(r["la"] < r["scipy"] for r in gated)
    tl.append(f"- `linear_assignment` faster than SciPy on gated tracker-like matrices: **{'met' if g_ok else 'missed'}** "
              f"({', '.join(f'{r['scipy'] / r['la']:.1f}×' for r in gated)}).")
    iou_x = iou[1]["numpy"][0] / iou[1]["ours"][0]
    tl.append(f"- `iou_matrix` at least 5× NumPy at 1000 × 1000: **{'met' if iou_x >= 5 else 'missed'}** ({iou_x:.1f}×).")
    for row in kal:
        x = row["numpy"][0] / row["ours"][0]
        tl.append(f"- {row['name']} at least 5× NumPy: **{'met' if x >= 5 else 'missed'}** ({x:.1f}×).")
    per_pair = [(r["med"] / (r["live"] * r["dets"])) for r in tracker]
    grows_ok = all(p <= per_pair[1] * 1.25 for p in per_pair[1:])
    tl.append(f"- Per-frame cost growing no faster than tracks × detections: **{'met' if grows_ok else 'missed'}** "
              f"(ns per track–detection pair: {', '.join(f'{p * 1e3:.1f}' for p in per_pair)} from the smallest "
              "scene to the largest).")
    s.extend(tl)
    s.append("")

    # 1. tracker
    s.append("## 1. `ByteTracker.update` per frame\n")
    s.append("Generated streams (`benchmarks/streams.py`, fixed seeds): objects moving with noise, detected with "
             "probability 0.95, false positives scattered over the scene, identities turning over. Default "
             "`TrackerConfig`. The Python trackers get the same frames as `supervision.Detections`, configured "
             "alike (high/low split at 0.5, IoU 0.3, 30 frames of memory, 3 hits to confirm); only the update "
             f"call is timed; the first {WARMUP} frames are left out. loomfeather_cpp runs each stream {RUNS} times "
             "through a fresh tracker, half before and half after the Python trackers; its median and p99 are over "
             "the frames of all runs, and the last column gives the range of the single runs' medians.\n")
    head = ("| objects | detections / frame (low-score share) | confirmed tracks | frames | median | p99 | "
            "ns per track × detection | run medians |")
    for n in names:
        head += f" {n}: median (p99) | ratio |"
    s.append(head)
    s.append("|" + "---|" * (8 + 2 * len(names)))
    for r in tracker:
        line = (f"| {r['objects']} | {r['dets']:.0f} ({r['low']:.0%}) | {r['live']:.0f} | {r['frames']} | "
                f"{fmt_us(r['med'])} | {fmt_us(r['p99'])} | {r['med'] * 1e3 / (r['live'] * r['dets']):.1f} | "
                f"{fmt_us(r['run_min'])} – {fmt_us(r['run_max'])} |")
        for n in names:
            o = r["others"][n]
            line += f" {fmt_us(o['med'])} ({fmt_us(o['p99'])}), {o['frames']} frames | {o['med'] / r['med']:.0f}× |"
        s.append(line)
    s.append("")
    s.append("Tracks reported per frame (a check that the trackers do comparable work): " + "; ".join(
        f"{r['objects']} objects: loomfeather_cpp {r['reported']:.1f}"
        + "".join(f", {n.split()[0]} {r['others'][n]['reported']:.1f}" for n in names) for r in tracker) + ".\n")

    # 2. iou
    s.append("## 2. `iou_matrix` against a vectorised NumPy IoU\n")
    s.append("| size | loomfeather_cpp median (p99) | NumPy median (p99) | speed-up | same bits |")
    s.append("|---|---|---|---|---|")
    for r in iou:
        s.append(f"| {r['size']} | {fmt_us(r['ours'][0])} ({fmt_us(r['ours'][1])}) | {fmt_us(r['numpy'][0])} "
                 f"({fmt_us(r['numpy'][1])}) | {r['numpy'][0] / r['ours'][0]:.1f}× | {'yes' if r['same'] else 'no'} |")
    s.append("")

    # 3. assignment
    s.append("## 3. Assignment against `scipy.optimize.linear_sum_assignment`\n")
    s.append("Dense: uniform random costs. Gated, tracker-like: 1 − IoU between consecutive frames' high-score "
             "detections of the generated streams, pairs below IoU 0.3 forbidden with the tracker's finite cost "
             "(`build_association_cost`), at the three larger scene sizes.\n")
    s.append("| matrices | `linear_assignment` | `linear_assignment_lapjv` | SciPy | SciPy ÷ `linear_assignment` | "
             "same optimum total |")
    s.append("|---|---|---|---|---|---|")
    for r in assign:
        s.append(f"| {r['kind']} | {fmt_us(r['la'])} | {fmt_us(r['lapjv'])} | {fmt_us(r['scipy'])} | "
                 f"{r['scipy'] / r['la']:.2f}× | {'yes' if r['optimal'] else 'no'} |")
    s.append("")

    # 4. kalman
    s.append("## 4. Kalman predict and gating against vectorised NumPy\n")
    s.append("| operation | loomfeather_cpp median (p99) | NumPy median (p99) | speed-up | results |")
    s.append("|---|---|---|---|---|")
    for r in kal:
        s.append(f"| {r['name']} | {fmt_us(r['ours'][0])} ({fmt_us(r['ours'][1])}) | {fmt_us(r['numpy'][0])} "
                 f"({fmt_us(r['numpy'][1])}) | {r['numpy'][0] / r['ours'][0]:.1f}× | {r['agree']} |")
    s.append("")
    s.append("The NumPy gating version factorises with `np.linalg.cholesky` and solves with `np.linalg.solve`, so "
             "its last bits differ from the module's, which follows the reference's operation order.\n")

    # 5. fixed costs
    s.append("## 5. Fixed costs\n")
    s.append("| what | median | p99 |")
    s.append("|---|---|---|")
    s.append(f"| `import loomfeather_cpp` (`-X importtime`, the module's own line, 7 fresh interpreters) | "
             f"{fmt_us(fixed['import_us'])} | |")
    s.append(f"| `update` with no detections (empty tracker) | {fmt_us(fixed['empty'][0])} | {fmt_us(fixed['empty'][1])} |")
    s.append(f"| `update` with one detection and one track | {fmt_us(fixed['one'][0])} | {fmt_us(fixed['one'][1])} |")
    s.append("")

    # 6. mot15
    s.append("## 6. Real detections: MOTChallenge 2015 sequences\n")
    if not mot:
        s.append("`../shared/data/mot15/` was not present; nothing measured.\n")
    else:
        s.append("Public detections of six MOT15 training sequences, whole sequences, tracking alone (parsing "
                 "excluded); frames per second.\n")
        s.append("| sequence | frames | detections | loomfeather_cpp fps |" + "".join(f" {n} fps | ratio |" for n in names))
        s.append("|---|---|---|---|" + "---|---|" * len(names))
        for r in mot:
            line = f"| {r['name']} | {r['frames']} | {r['dets']} | {r['ours_fps']:,.0f} |"
            for n in names:
                line += f" {r['others'][n]:,.0f} | {r['ours_fps'] / r['others'][n]:.0f}× |"
            s.append(line)
        s.append("")

    for text in extra:
        s.append(text.rstrip() + "\n")

    notes = os.path.join(HERE, "NOTES.md")
    if os.path.exists(notes):
        with open(notes) as f:
            s.append(f.read().rstrip())
    write_report(args.out, s)
    print(f"wrote {args.out} in {elapsed / 60:.1f} min")


if __name__ == "__main__":
    main()
