"""Evaluation (HOTA, CLEAR, Identity): the SciPy-order solver pair for pair
against SciPy, every metric against the official code (trackeval, run as a
black box on files written to a temp folder) on random sequences and on the
shared benchmark splits, and the refusals."""

from __future__ import annotations

import contextlib
import importlib.util
import io
import itertools
import pickle
import warnings
from pathlib import Path

import numpy as np
import pytest

import loomfeather_cpp as lf
from loomfeather_tools.evaluation import METRIC_NAMES, combine, evaluate_sequence

DATA = Path(__file__).resolve().parents[2] / "shared" / "data" / "motchallenge"
SPLITS = {"MOT15-train": "2015", "MOT15-train-ACF": "2015", "MOT17-halfval": "2017"}
ALPHAS = np.arange(0.05, 0.99, 0.05)  # the official localisation thresholds


# ---------------------------------------------------------------- the solver


@pytest.mark.parametrize("shape", ["wide", "tall", "square"])
def test_solver_pairs_equal_scipy_on_ties(shape):
    from scipy.optimize import linear_sum_assignment

    rng = np.random.default_rng({"wide": 1, "tall": 2, "square": 3}[shape])
    for _ in range(3000):
        n, d = int(rng.integers(1, 9)), int(rng.integers(1, 5))
        n, m = {"wide": (n, n + d), "tall": (n + 4, max(1, n - d)), "square": (n, n)}[shape]
        cost = rng.integers(-2, int(rng.integers(1, 4)), (n, m)).astype(float)  # small integers: many ties
        if rng.random() < 0.2:
            cost[rng.random((n, m)) < 0.3] = np.inf
        try:
            want = linear_sum_assignment(cost)
        except ValueError:
            with pytest.raises(ValueError, match="infeasible"):
                lf.linear_assignment_scipy(cost)
            continue
        got = lf.linear_assignment_scipy(cost)
        assert np.array_equal(got[0], want[0]) and np.array_equal(got[1], want[1]), cost
    for bad in (np.nan, -np.inf):  # refused, as by SciPy
        with pytest.raises(ValueError):
            lf.linear_assignment_scipy(np.array([[0.0, 0.0, 0.0], [0.0, 0.0, bad]]))


# ---------------------------------------------------------------- the oracle


def _write(path: Path, rows: np.ndarray) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    number = lambda v: str(int(v)) if float(v).is_integer() else repr(float(v))  # noqa: E731
    path.write_text("".join(",".join(map(number, r)) + "\n" for r in rows))


def official(tmp: Path, seqs: dict[str, tuple[np.ndarray, np.ndarray, int]], fmt: str) -> dict[str, dict]:
    """trackeval's metrics per sequence and COMBINED_SEQ, keyed as ours.
    seqs: name -> (gt rows as in gt.txt, tracker rows frame,id,x,y,w,h, frames)."""
    trackeval = pytest.importorskip("trackeval")
    for name, (gt, trk, n) in seqs.items():
        _write(tmp / "gt" / name / "gt" / "gt.txt", gt)
        (tmp / "gt" / name / "seqinfo.ini").write_text(f"[Sequence]\nname={name}\nseqLength={n}\n")
        _write(tmp / "trk" / "T" / "data" / f"{name}.txt", np.c_[trk, np.full(len(trk), 0.9), -np.ones((len(trk), 3))])
    ec = trackeval.Evaluator.get_default_eval_config()
    ec.update(PRINT_RESULTS=False, PRINT_CONFIG=False, TIME_PROGRESS=False, OUTPUT_SUMMARY=False,
              OUTPUT_DETAILED=False, PLOT_CURVES=False, LOG_ON_ERROR=None)
    dc = trackeval.datasets.MotChallenge2DBox.get_default_dataset_config()
    dc.update(GT_FOLDER=str(tmp / "gt"), TRACKERS_FOLDER=str(tmp / "trk"), TRACKERS_TO_EVAL=["T"],
              BENCHMARK="MOT15" if fmt == "2015" else "MOT17", SKIP_SPLIT_FOL=True, PRINT_CONFIG=False,
              SEQ_INFO={k: v[2] for k, v in seqs.items()}, OUTPUT_FOLDER=str(tmp / "out"))
    metrics = [trackeval.metrics.HOTA(), trackeval.metrics.CLEAR(), trackeval.metrics.Identity()]
    with contextlib.redirect_stdout(io.StringIO()), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        res, msg = trackeval.Evaluator(ec).evaluate([trackeval.datasets.MotChallenge2DBox(dc)], metrics)
    assert msg["MotChallenge2DBox"]["T"] == "Success", msg
    out = {}
    for seq, r in res["MotChallenge2DBox"]["T"].items():
        flat = {k: v for d in r["pedestrian"].values() for k, v in d.items()}
        flat["FP"], flat["FN"] = flat["CLR_FP"], flat["CLR_FN"]
        out[seq] = {k: float(np.mean(flat[k])) for k in METRIC_NAMES}
    return out


def _run(gt: np.ndarray, trk: np.ndarray, n: int, fmt: str, **kw):
    extra = {"gt_classes": gt[:, 7]} if fmt == "2017" else {}
    return evaluate_sequence(gt[:, 0], gt[:, 1], gt[:, 2:6], trk[:, 0], trk[:, 1], trk[:, 2:6], num_frames=n, fmt=fmt,
                             gt_flags=np.trunc(gt[:, 6]), **extra, **kw)


def ours(seqs: dict[str, tuple[np.ndarray, np.ndarray, int]], fmt: str) -> dict[str, dict]:
    evals = {name: _run(*seq, fmt) for name, seq in seqs.items()}
    return {**{name: e.metrics for name, e in evals.items()}, "COMBINED_SEQ": combine(evals.values())}


def assert_same(got: dict[str, dict], want: dict[str, dict]) -> None:
    assert got.keys() == want.keys()
    bad = [(s, k, got[s][k], want[s][k]) for s in want for k in METRIC_NAMES
           if not got[s][k] == pytest.approx(want[s][k], rel=1e-9, abs=1e-300)]
    assert not bad, bad[:10]
    assert all(isinstance(got[s][k], int) for s in got for k in ("IDSW", "FP", "FN", "MT", "PT", "ML", "Frag"))


# ---------------------------------------------------------------- random sequences


def _touching(rng: np.random.Generator, box: np.ndarray) -> np.ndarray:
    """A box whose IoU with `box` lies within a few ulps of 0.5 or of an alpha."""
    t = rng.choice(np.r_[0.5, ALPHAS])
    x, y, w, h = box
    if rng.random() < 0.5 and float(w).is_integer() and w > 0:
        return np.array([x, y, np.clip(np.round(t * w), 1, w), h])  # narrower: IoU = its width / w, exactly rounded
    dx = np.round(w * (1 - t) / (1 + t), 2) + rng.integers(-1, 2) * 0.01
    return np.array([np.round(x + dx, 2), y, w, h])


def _gt_row(f, gid, box, flag, cls, fmt: str) -> list:
    return [f, gid, *box, flag, *([cls, 1.0] if fmt == "2017" else [-1, -1, -1])]


def random_sequence(rng: np.random.Generator, fmt: str) -> tuple[np.ndarray, np.ndarray, int]:
    n = int(rng.integers(3, 40))
    integer = rng.random() < 0.4  # integer coordinates: exact ties between pairs
    q = (lambda a: np.round(a)) if integer else (lambda a: np.round(a, 2))
    gt_rows, trk_rows = [], []
    next_tid = int(rng.integers(0, 50))
    for k in range(int(rng.integers(0, 13))):
        first, last = sorted(rng.integers(1, n + 1, 2))
        pos, vel = rng.uniform(0, 200, 2), rng.normal(0, 4, 2)  # crowded: overlaps compete
        size = q(rng.uniform(8, 80, 2))
        cls = int(rng.choice([1] * 10 + [2, 7, 8, 12, 3, 6, 13]))
        tid = next_tid = next_tid + 1
        clone = rng.random() < 0.1  # a second object on the same boxes (duplicate ground truth)
        for f in range(first, last + 1):
            if rng.random() < 0.1:
                continue  # object unseen in this frame
            box = np.r_[q(pos + vel * f), size]
            flag = 0 if rng.random() < 0.1 else 1
            gt_rows += [_gt_row(f, gid, box, flag, cls, fmt) for gid in ([k + 1, 100 + k] if clone else [k + 1])]
            if rng.random() < 0.15:
                continue  # missed: fragmentation
            if rng.random() < 0.05:
                tid = next_tid = next_tid + 1  # identity switch
            kind = rng.random()
            tbox = box.copy() if kind < 0.2 else _touching(rng, box) if kind < 0.45 else \
                np.r_[q(box[:2] + rng.normal(0, rng.choice([0.5, 2.0, 6.0]), 2)), q(box[2:] * rng.uniform(0.9, 1.1, 2))]
            trk_rows.append([f, tid, *tbox])
            if rng.random() < 0.08:  # duplicate tracker box under another id
                trk_rows.append([f, 1000 + len(trk_rows), *tbox])
    trk_rows += [[f, 5000 + int(rng.integers(0, 6)), *q(rng.uniform(0, 250, 2)), *q(rng.uniform(8, 80, 2))]
                 for f in range(1, n + 1) if rng.random() < 0.4]  # false positives
    gt = np.array(gt_rows, dtype=float).reshape(-1, 9 if fmt == "2017" else 10)
    trk = np.array(trk_rows, dtype=float).reshape(-1, 6)
    # Frames with only ground truth or only tracker rows, and empty ones.
    trk, gt = (a[rng.random(n + 1)[a[:, 0].astype(int)] >= 0.1] for a in (trk, gt))
    # Ids unique within a frame (the official code refuses repeats); rows shuffled.
    _, first_of = np.unique(trk[:, :2], axis=0, return_index=True)
    trk = trk[np.sort(first_of)]
    return gt[rng.permutation(len(gt))], trk[rng.permutation(len(trk))], n


# ---------------------------------------------------------------- ties, and the full-matrix computation


def with_ties(rng: np.random.Generator, gt: np.ndarray, trk: np.ndarray, n: int, fmt: str):
    """Coordinates on a grid of 4 (equal IoUs everywhere, on top of the generator's duplicated boxes), and
    for a stretch of frames two gt boxes side by side and two tracker boxes above and below their middle,
    all four IoUs equal (about 0.68), so optima tie."""
    gt, trk = (np.c_[a[:, :2], np.round(a[:, 2:6] / 4) * 4, a[:, 6:]] for a in (gt, trk))
    first, last = sorted(rng.integers(1, n + 1, 2))
    x, y = rng.integers(0, 200, 2)
    frames = range(first, last + 1)
    gt = np.r_[gt, [_gt_row(f, i, [x + dx, y, 10, 10], 1, 1, fmt) for f in frames for i, dx in ((900, 0), (901, 2))]]
    trk = np.r_[trk, [[f, tid, x + 1, y + dy, 10, 10] for f in frames for tid, dy in ((9000, -1), (9001, 1))]]
    return gt[rng.permutation(len(gt))], trk[rng.permutation(len(trk))]


def without_ties(rng: np.random.Generator, gt: np.ndarray, trk: np.ndarray):
    """Every coordinate moved by a random fraction of a pixel: no two scores
    tie; some boxes made degenerate (width or height <= 0, area under eps) or
    moved far beyond the overflow-safe range, where IoUs take the full pass."""
    gt, trk = gt.copy(), trk.copy()
    for a in (gt, trk):
        a[:, 2:6] += rng.uniform(-0.3, 0.3, (len(a), 4))
        odd = rng.random(len(a))
        a[odd < 0.02, 4] *= -1
        a[(odd >= 0.02) & (odd < 0.03), 5] = 0
        a[(odd >= 0.03) & (odd < 0.04), 4:6] = 1e-9
        a[(odd >= 0.04) & (odd < 0.045), 2] = 1e200
    return gt, trk


def crowd(rng: np.random.Generator, fmt: str) -> tuple[np.ndarray, np.ndarray, int]:
    """A few frames of 130 to 170 objects packed in a 400 px square: rows and
    columns beyond 128 boxes, each box overlapping many, large blocks."""
    n, k = int(rng.integers(2, 5)), int(rng.integers(130, 170))
    pos, size = rng.uniform(0, 400, (k, 2)), rng.uniform(20, 60, (k, 2))
    cls = rng.choice([1] * 12 + [2, 7, 3], k)
    gt, trk = [], []
    for f in range(1, n + 1):
        pos += rng.normal(0, 2, (k, 2))
        for i in range(k):
            gt.append(_gt_row(f, i, [*pos[i], *size[i]], 1, cls[i], fmt))
            if rng.random() < 0.9:  # tracked, 1 in 20 times under another id (identity switches)
                trk.append([f, 1000 + i + 5000 * (rng.random() < 0.05), *(pos[i] + rng.normal(0, 3, 2)), *size[i]])
    return np.array(gt), np.array(trk), n


def _both_ways(gt, trk, n, fmt):
    """Block matching, then full matrices: (frames solved in full, counts and metrics) each."""
    for full in (False, True):
        ev = _run(gt, trk, n, fmt, full_matrices=full)
        counts = {k: v.tolist() if isinstance(v, np.ndarray) else v for k, v in ev.counts.items()}
        yield counts.pop("full_matrix_frames"), (counts, ev.metrics)


@pytest.mark.parametrize("fmt", ["2015", "2017"])
@pytest.mark.parametrize("kind", ["ties", "no ties", "crowd"])
def test_block_matching_equals_full_matrices(fmt, kind):
    """Every count and metric is the same, bit for bit, as computed over each
    frame's full matrices; ties send frames to the full solve, and only ties."""
    rng = np.random.default_rng([21, 22][fmt == "2017"] + 10 * ["ties", "no ties", "crowd"].index(kind))
    fell_back = solved_in_full = 0
    for _ in range(8 if kind == "crowd" else 150):
        if kind == "crowd":
            gt, trk, n = crowd(rng, fmt)
        else:
            gt, trk, n = random_sequence(rng, fmt)
            gt, trk = with_ties(rng, gt, trk, n, fmt) if kind == "ties" else without_ties(rng, gt, trk)
        (fast, got), (every, want) = _both_ways(gt, trk, n, fmt)
        assert got == want
        fell_back += sum(fast.values())
        solved_in_full += sum(every.values())
    assert (0 < fell_back < solved_in_full) if kind == "ties" else (fell_back == 0 and solved_in_full > 0)


@pytest.mark.parametrize("fmt", ["2015", "2017"])
@pytest.mark.parametrize("ties, rounds", [(False, 100), (True, 20)], ids=["random", "tie-heavy"])
def test_random_sequences_equal_official(tmp_path, fmt, ties, rounds):
    rng = np.random.default_rng((7 if fmt == "2015" else 8) + 24 * ties)
    for round_ in range(rounds):
        seqs = {f"S{k}": random_sequence(rng, fmt) for k in range(6)}
        if ties:
            seqs = {k: (*with_ties(rng, *v, fmt), v[2]) for k, v in seqs.items()}
        assert_same(ours(seqs, fmt), official(tmp_path / str(round_), seqs, fmt))


def _box(x):
    return [x, 0, 10, 10]


# Reproducers: frames whose matching rests on a tie or on ignored rows, in
# every row order; (gt rows as (id, box, class), tracker rows as (id, box),
# how many frames fall back to the full solve because of a distractor).
# 1: two equal gt boxes, a pedestrian and a static person (a distractor), and
# a third; whether a tracker box is removed rests on the tie, which the
# pedestrian's unscored pair decides. 2: a static person and a car overlap
# one tracker box (IoU 0.6, 0.9); the car also overlaps a second box (0.6)
# that a third, ignored row overlaps best (0.9): both boxes go to ignored
# rows and nothing is removed.
REPRODUCERS = [
    ([(1, [0, 0, 10, 10], 1), (2, [0, 0, 10, 10], 7), (3, [-3, 1, 11, 6], 1)],
     [[(1, [-1, 0, 10, 9]), (2, [-4, 1, 12, 9])], [(2, [-4, 1, 12, 9]), (1, [-1, 0, 10, 9])]], "all"),
    ([(1, _box(-2.5), 7), (2, _box(0.5), 3), (3, _box(3.5), 4), (4, _box(40), 1)],
     [[(1, _box(0)), (2, _box(3)), (3, _box(40))]], 0),
]


@pytest.mark.parametrize("gt_rows, trk_orders, distractors", REPRODUCERS)
def test_reproducers_equal_full_matrices_and_official(tmp_path, gt_rows, trk_orders, distractors):
    gt, trk, f = [], [], 0
    for gt_order in itertools.permutations(gt_rows):
        for trk_order in trk_orders:
            f += 1
            gt += [[f, i, *box, 1, cls, 1.0] for i, box, cls in gt_order]
            trk += [[f, i, *box] for i, box in trk_order]
    gt, trk = np.array(gt, dtype=float), np.array(trk, dtype=float)
    (fast, got), (_, want) = _both_ways(gt, trk, f, "2017")
    assert got == want
    assert fast["distractors"] == (f if distractors == "all" else distractors)
    if importlib.util.find_spec("trackeval"):
        seqs = {"S": (gt, trk, f)}
        assert_same(ours(seqs, "2017"), official(tmp_path, seqs, "2017"))


# ---------------------------------------------------------------- shared benchmark splits


def _load_split(split: str) -> dict[str, tuple[np.ndarray, np.ndarray, int]]:
    """Each sequence's ground truth, the default tracker's results as written (2 decimals), and its length."""
    from loomfeather_tools.motio import format_results, read_detections, read_seqinfo
    from loomfeather_tools.track import make_config, track_table

    out = {}
    for folder in sorted(p for p in (DATA / split).iterdir() if p.is_dir()):
        n = read_seqinfo(folder / "seqinfo.ini").seq_length
        run = track_table(read_detections(folder / "det" / "det.txt"), range(1, n + 1), make_config({}))
        trk = np.loadtxt(io.StringIO(format_results(run.results)), delimiter=",").reshape(-1, 10)[:, :6]
        out[folder.name] = (np.loadtxt(folder / "gt" / "gt.txt", delimiter=",", ndmin=2), trk, n)
    return out


@pytest.mark.skipif(not DATA.is_dir(), reason="shared data absent")
@pytest.mark.parametrize("split", list(SPLITS))
def test_shared_splits_equal_official(tmp_path, split):
    fmt = SPLITS[split]
    tracked = _load_split(split)
    assert_same(ours(tracked, fmt), official(tmp_path / "tracker", tracked, fmt))
    perfect = {name: (gt, gt[:, :6], n) for name, (gt, _, n) in tracked.items()}  # the ground truth as results
    assert_same(ours(perfect, fmt), official(tmp_path / "gt", perfect, fmt))


# ---------------------------------------------------------------- API


@pytest.mark.parametrize("layout", [
    lambda a: a[::-1].copy()[::-1],  # negative strides, same row order
    np.asfortranarray,
    lambda a: a[np.argsort(-a[:, 0], kind="stable")],  # frames reversed, rows kept in order
], ids=["reversed", "fortran", "frame-order"])
def test_layouts_and_frame_order_give_the_same_numbers(layout):
    """Against the columns of a C-ordered table (strided views, read in place)."""
    rng = np.random.default_rng(5)
    gt, trk, n = random_sequence(rng, "2017")
    while not (len(gt) and len(trk)):
        gt, trk, n = random_sequence(rng, "2017")
    want = ours({"S": (gt, trk, n)}, "2017")
    g, t = (layout(a) for a in (gt, trk))
    assert ours({"S": (g, t, n)}, "2017") == want
    # Integer columns converted; records survive pickling and combine as before.
    one = evaluate_sequence(g[:, 0].astype(np.int64), g[:, 1].astype(np.int32), g[:, 2:6], t[:, 0].astype(np.int64),
                            t[:, 1].astype(np.int64), t[:, 2:6], num_frames=n, fmt="2017",
                            gt_flags=g[:, 6].astype(np.int8), gt_classes=g[:, 7].astype(np.float32))
    assert one.metrics == want["S"] and combine([pickle.loads(pickle.dumps(one))] * 2) == combine([one, one])


def _args(**change):
    return dict(gt_frames=[1, 2], gt_ids=[1, 1], gt_ltwh=[[0, 0, 10, 10]] * 2, trk_frames=[1], trk_ids=[5],
                trk_ltwh=[[0, 0, 10, 10]], num_frames=2, fmt="2017", gt_flags=[1, 1], gt_classes=[1, 1]) | change


@pytest.mark.parametrize("change, message", [
    ({"gt_frames": [1, 3]}, "frame 3 is outside 1..2"),
    ({"trk_frames": [0]}, "frame 0 is outside 1..2"),
    ({"gt_frames": [1, 1]}, "ground-truth id 1 appears more than once in frame 1"),
    ({"trk_frames": [1, 1], "trk_ids": [5, 5], "trk_ltwh": [[0, 0, 1, 1]] * 2}, "tracker id 5 appears more"),
    ({"gt_ids": [1, 1.5]}, r"gt_ids\[1\] is not an integer"),
    ({"trk_ids": [np.nan]}, r"tracker_ids\[0\] is not an integer"),
    ({"gt_frames": [1, 2.0**53 + 2]}, r"gt_frames\[1\] is not an integer"),
    ({"gt_classes": [1, np.inf]}, r"gt_classes\[1\] is not an integer"),
    ({"gt_classes": [1, 14]}, "class 14 is not a 2017-format class"),
    ({"gt_classes": None}, "needs gt_flags and gt_classes"),
    ({"fmt": "2015"}, "gt_classes is a 2017-format column"),
    ({"fmt": "mot17"}, "fmt must be '2015' or '2017'"),
    ({"trk_ltwh": [[0, 0, np.nan, 10]]}, "box is not finite"),
    ({"trk_ltwh": [[0, 0, 10]]}, r"tracker_boxes must be an \(N, 4\) array"),
    ({"gt_flags": [1]}, "gt_flags must be a 1-D array of 2 values"),
])
def test_refusals(change, message):
    with pytest.raises(ValueError, match=message):
        evaluate_sequence(**_args(**change))


def test_combine_refuses_a_broken_record():
    good = evaluate_sequence(**_args())
    broken = {k: v for k, v in good.counts.items() if k != "idtp"}
    with pytest.raises(ValueError, match="record 1 lacks 'idtp'"):
        lf.combine_evaluations([good.counts, broken])
    with pytest.raises(ValueError, match="'hota_tp' must hold 19 values"):
        lf.combine_evaluations([{**good.counts, "hota_tp": np.zeros(3)}])
