"""Evaluation speed: loomfeather_tools.evaluation against the official
MOTChallenge code (trackeval 1.3.0, run as a black box), side by side on the
shared benchmark splits, per sequence, per split and over all sequences.

    .venv/bin/python benchmarks/evaluation.py [--repeats 5] [--data DIR]

(DIR: the shared motchallenge folder, by default ../../shared/data/motchallenge.)

The tracker output evaluated is loomfeather_cpp's (default configuration) on
each sequence's det/det.txt, written as MOTChallenge text (2 decimals) and
read back. Timed, per sequence:

* ours: ``evaluate_sequence`` on the columns already in memory, as the
  command line holds them (the ground truth from ``motio.read_ground_truth``:
  int64 frames and ids, rows in frame order; the results' frames and ids as
  int64), IoUs, preprocessing, HOTA, CLEAR and Identity included;
* ours, float tables: the same call on the float64 tables ``np.loadtxt``
  gives, rows in the files' order (MOT17's gt.txt is ordered by identity, so
  the rows are put in frame order, and frames and ids converted, inside the
  call); checked to give the same metrics;
* ours, full matrices: the same with ``full_matrices=True`` (every frame
  computed over its full matrices, as the official code does; same numbers);
* ours with reading: ours plus reading gt.txt with ``motio.read_ground_truth``
  and the results file with NumPy;
* trackeval, metrics: preprocessing and the HOTA, CLEAR and Identity sequence
  evaluations on data it has already loaded (its loading step also computes the
  IoUs, so they are not in this figure);
* trackeval, IoUs: its dataset's per-frame similarity computation
  (``_calculate_similarities``, called as a black box on the raw data it
  loaded), the part of its evaluation that happens while loading;
* trackeval, pipeline: loading both files (with the IoUs), preprocessing and
  the three metrics: what its Evaluator spends per sequence.

Three ratios: *metrics* (strict) is trackeval's metrics column against ours
(its IoUs left out, ours included); *like for like* adds trackeval's IoUs
column, so that both sides go from parsed rows to metrics; *pipeline* is its
whole pipeline against ours with reading.

The measurements are interleaved: each of `repeats` rounds times every
variant of a sequence once in turn (ours a few calls, averaged), and each time
is the median over the rounds, so that a change of load on the machine touches
all of them alike. Every sequence's metrics are also checked equal (1e-9
relative) between the two, and the frames whose matchings took the
full-matrix solve (ties) are counted. Exposes ``section() -> str`` for
benchmarks/RESULTS.md.
"""
import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import argparse  # noqa: E402
import configparser  # noqa: E402
import contextlib  # noqa: E402
import io  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402
import warnings  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402

from loomfeather_tools.evaluation import METRIC_NAMES, combine, evaluate_sequence  # noqa: E402
from loomfeather_tools.motio import format_results, read_detections, read_ground_truth  # noqa: E402
from loomfeather_tools.track import make_config, track_table  # noqa: E402

HERE = Path(__file__).resolve().parent
DEFAULT_DATA = HERE.parents[1] / "shared" / "data" / "motchallenge"
SPLITS = {"MOT15-train": "MOT15", "MOT15-train-ACF": "MOT15", "MOT17-halfval": "MOT17"}


def _interleaved(funcs, rounds):
    """Median seconds per call of each function, over `rounds` rounds that
    call every function in turn ({name: (function, calls per round)})."""
    times = {name: [] for name in funcs}
    for _ in range(rounds):
        for name, (func, calls) in funcs.items():
            t0 = time.perf_counter()
            for _ in range(calls):
                func()
            times[name].append((time.perf_counter() - t0) / calls)
    return {name: float(np.median(t)) for name, t in times.items()}


def _calls_for(func, seconds=0.02):
    """Calls of `func` that take about `seconds` (at least 1)."""
    t0 = time.perf_counter()
    func()
    return max(1, int(seconds / max(time.perf_counter() - t0, 1e-6)))


def _read(gt_path, res_path):
    """Both files as the command line holds them: the ground truth through
    loomfeather_tools' reader (int64 frames and ids, rows in frame order), the
    results file through NumPy, frames and ids as int64."""
    gt = read_ground_truth(gt_path)
    res = np.loadtxt(res_path, delimiter=",", ndmin=2, usecols=range(6))
    return gt, (res[:, 0].astype(np.int64), res[:, 1].astype(np.int64), np.ascontiguousarray(res[:, 2:6]))


def _ours(gt, trk, n, full=False):
    return evaluate_sequence(gt.frames, gt.ids, gt.ltwh, *trk, num_frames=n, fmt=gt.fmt, gt_flags=gt.flags,
                             gt_classes=gt.classes if gt.fmt == "2017" else None, full_matrices=full)


def _ours_table(gt, trk, n, benchmark):
    """The same from float64 tables as np.loadtxt gives them, rows in the
    files' order (MOT17's gt.txt is ordered by identity)."""
    extra = {"gt_classes": gt[:, 7]} if benchmark == "MOT17" else {}
    return evaluate_sequence(gt[:, 0], gt[:, 1], gt[:, 2:6], trk[:, 0], trk[:, 1], trk[:, 2:6], num_frames=n,
                             fmt="20" + benchmark[3:], gt_flags=np.trunc(gt[:, 6]), **extra)


def _trackeval_dataset(trackeval, data, split, benchmark, tracker_root, seq_info):
    dc = trackeval.datasets.MotChallenge2DBox.get_default_dataset_config()
    dc.update(GT_FOLDER=str(data / split), TRACKERS_FOLDER=str(tracker_root), TRACKERS_TO_EVAL=["T"],
              BENCHMARK=benchmark, SKIP_SPLIT_FOL=True, PRINT_CONFIG=False, SEQ_INFO=seq_info,
              OUTPUT_FOLDER=str(tracker_root / "out"))
    return trackeval.datasets.MotChallenge2DBox(dc)


def run(data, repeats=5):
    import trackeval

    metrics = [trackeval.metrics.HOTA({"PRINT_CONFIG": False}), trackeval.metrics.CLEAR({"PRINT_CONFIG": False}),
               trackeval.metrics.Identity({"PRINT_CONFIG": False})]
    rows = []
    with tempfile.TemporaryDirectory() as tmp, contextlib.redirect_stdout(io.StringIO()), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for split, benchmark in SPLITS.items():
            root = Path(tmp) / split
            (root / "T" / "data").mkdir(parents=True)
            seqs = {}
            for folder in sorted(p for p in (data / split).iterdir() if p.is_dir()):
                ini = configparser.ConfigParser()
                ini.read(folder / "seqinfo.ini")
                n = int(ini["Sequence"]["seqLength"])
                tracked = track_table(read_detections(folder / "det" / "det.txt"), range(1, n + 1), make_config({}))
                res_path = root / "T" / "data" / f"{folder.name}.txt"
                res_path.write_text(format_results(tracked.results))
                seqs[folder.name] = (folder / "gt" / "gt.txt", res_path, n)
            dataset = _trackeval_dataset(trackeval, data, split, benchmark, root, {k: v[2] for k, v in seqs.items()})
            evals = []
            for seq, (gt_path, res_path, n) in seqs.items():
                def read(gt_path=gt_path, res_path=res_path):
                    return _read(gt_path, res_path)

                gt, trk = read()
                ours = _ours(gt, trk, n)
                evals.append(ours)
                gt_table = np.loadtxt(gt_path, delimiter=",", ndmin=2)
                trk_table = np.loadtxt(res_path, delimiter=",", ndmin=2, usecols=range(6))
                same = _ours_table(gt_table, trk_table, n, benchmark)
                assert same.metrics == ours.metrics
                raw = dataset.get_raw_seq_data("T", seq)

                def official_metrics(raw=raw):
                    data = dataset.get_preprocessed_seq_data(raw, "pedestrian")
                    return [m.eval_sequence(data) for m in metrics]

                def official_ious(raw=raw):
                    return [dataset._calculate_similarities(g, t)
                            for g, t in zip(raw["gt_dets"], raw["tracker_dets"])]

                def official_pipeline(seq=seq):
                    data = dataset.get_preprocessed_seq_data(dataset.get_raw_seq_data("T", seq), "pedestrian")
                    return [m.eval_sequence(data) for m in metrics]

                res = official_metrics()
                flat = {k: v for d in res for k, v in d.items()}
                flat["FP"], flat["FN"] = flat["CLR_FP"], flat["CLR_FN"]
                equal = all(np.isclose(ours.metrics[k], float(np.mean(flat[k])), rtol=1e-9, atol=0) or
                            ours.metrics[k] == float(np.mean(flat[k])) for k in METRIC_NAMES)

                def ours_now(gt=gt, trk=trk, n=n):
                    return _ours(gt, trk, n)

                def ours_table(gt=gt_table, trk=trk_table, n=n):
                    return _ours_table(gt, trk, n, benchmark)

                def ours_full(gt=gt, trk=trk, n=n):
                    return _ours(gt, trk, n, full=True)

                def ours_read(n=n):
                    return _ours(*read(), n)

                t = _interleaved({"ours": (ours_now, _calls_for(ours_now)),
                                  "ours_table": (ours_table, _calls_for(ours_table)),
                                  "ours_full": (ours_full, _calls_for(ours_full)),
                                  "ours_read": (ours_read, _calls_for(ours_read)),
                                  "te_metrics": (official_metrics, 1), "te_ious": (official_ious, 1),
                                  "te_pipeline": (official_pipeline, 1)}, repeats)
                rows.append(dict(split=split, seq=seq, frames=n, gt=len(gt.frames), trk=len(trk[0]), equal=equal,
                                 full_frames=sum(ours.counts["full_matrix_frames"].values()),
                                 hota=ours.metrics["HOTA"], **t))
            combined = combine(evals)
            rows.append(dict(split=split, seq="(combined)", combined=combined))
    return rows


def _ms(s):
    return f"{s * 1e3:.2f}" if s < 1 else f"{s * 1e3:.0f}"


_TIMES = ("ours", "ours_table", "ours_full", "ours_read", "te_metrics", "te_ious", "te_pipeline")


def _line(split, seq, r):
    return (f"| {split} | {seq} | {r['frames']} | {r['gt']} | {r['trk']} | {_ms(r['ours'])} | {_ms(r['ours_table'])} "
            f"| {_ms(r['ours_full'])} "
            f"| {_ms(r['ours_read'])} | {_ms(r['te_metrics'])} | {_ms(r['te_ious'])} | {_ms(r['te_pipeline'])} "
            f"| **{r['te_metrics'] / r['ours']:.0f}x** | {(r['te_metrics'] + r['te_ious']) / r['ours']:.0f}x "
            f"| {r['te_metrics'] / r['ours_table']:.0f}x | {r['te_metrics'] / r['ours_full']:.0f}x "
            f"| {r['te_pipeline'] / r['ours_read']:.0f}x | {r['full_frames']} | {'yes' if r['equal'] else 'NO'} |")


def _total(rows):
    t = {k: sum(r[k] for r in rows) for k in ("frames", "gt", "trk", "full_frames", *_TIMES)}
    t["equal"] = all(r["equal"] for r in rows)
    return t


def render(rows):
    lines = [
        "| split | sequence | frames | gt rows | tracker rows | ours (ms) | ours, float tables (ms) "
        "| ours, full matrices (ms) "
        "| ours + reading (ms) | trackeval metrics (ms) | trackeval IoUs (ms) | trackeval pipeline (ms) "
        "| speed-up, metrics | speed-up, like for like | speed-up, metrics, float tables "
        "| speed-up, metrics, full matrices | speed-up, pipeline | full-matrix frames | equal |",
        "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|",
    ]
    seq_rows = [r for r in rows if "combined" not in r]
    for r in seq_rows:
        lines.append(_line(r["split"], r["seq"], r))
    for split in SPLITS:
        part = [r for r in seq_rows if r["split"] == split]
        lines.append(_line(split, f"{len(part)} sequences", _total(part)))
    lines.append(_line("all", f"{len(seq_rows)} sequences", _total(seq_rows)))
    ratios = [r["te_metrics"] / r["ours"] for r in seq_rows]
    worst = min(seq_rows, key=lambda r: r["te_metrics"] / r["ours"])
    fair = [(r["te_metrics"] + r["te_ious"]) / r["ours"] for r in seq_rows]
    tables = [r["te_metrics"] / r["ours_table"] for r in seq_rows]
    lines.append("")
    lines.append(f"Speed-up on already-loaded data (trackeval's preprocessing and metrics against ours): per sequence "
                 f"min {min(ratios):.0f}x ({worst['split']}/{worst['seq']}), median {np.median(ratios):.0f}x; "
                 f"over all sequences as in the last row. Like for like (trackeval's IoUs added): min {min(fair):.0f}x, "
                 f"median {np.median(fair):.0f}x. From float tables in file order: min {min(tables):.0f}x, "
                 f"median {np.median(tables):.0f}x. With reading: ours + NumPy reading against trackeval's "
                 "whole per-sequence pipeline. Full-matrix frames: frames of the sequence whose distractor, HOTA or "
                 "CLEAR matching (counted once each) a tie sent to the full-matrix solve.")
    lines.append("")
    lines.append("| split (combined) | HOTA | DetA | AssA | LocA | MOTA | MOTP | IDF1 | IDSW | FP | FN |")
    lines.append("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for r in rows:
        if "combined" in r:
            c = r["combined"]
            lines.append(f"| {r['split']} | " + " | ".join(
                f"{100 * c[k]:.2f}" for k in ("HOTA", "DetA", "AssA", "LocA", "MOTA", "MOTP", "IDF1")) +
                f" | {c['IDSW']} | {c['FP']} | {c['FN']} |")
    return "\n".join(lines)


def section(repeats=5, data=DEFAULT_DATA):
    if not data.is_dir():
        return "## Evaluation\n\nShared data absent: not measured.\n"
    load = os.getloadavg()[0]
    body = render(run(data, repeats))
    return ("## Evaluation (HOTA, CLEAR, Identity) against trackeval\n\n"
            "Median per-call times over interleaved rounds; loomfeather_cpp's tracker output (default "
            "configuration), as written to MOTChallenge text. See benchmarks/evaluation.py for what each column "
            f"times. Load average {load:.2f} at the start, {os.getloadavg()[0]:.2f} at the end.\n\n" + body + "\n")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--repeats", type=int, default=5, help="interleaved timing rounds (median)")
    ap.add_argument("--data", type=Path, default=DEFAULT_DATA, help="the motchallenge folder of the shared data")
    args = ap.parse_args()
    print(section(args.repeats, args.data))


if __name__ == "__main__":
    main()
