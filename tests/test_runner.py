"""The benchmark runner end to end: split folders in, results, summaries and
leaderboards out; the same bytes on every engine; failures, interrupts and
sweeps; and the vectorised results text against Python's own formatting."""

from __future__ import annotations

import csv
import errno
import importlib.util
import json
import os
import shlex
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

from loomfeather_tools.evaluation import combine, evaluate_sequence
from loomfeather_tools.fixedpoint import format_mot_rows
from loomfeather_tools.scene import SceneParams, make_scene
from loomfeather_tools.summary import METRICS, summary_json
from loomfeather_tools.sweep import Entry, GridError, Setting, expand_grid, parse_grid, rank
from loomfeather_tools.track import CONFIG_FIELDS

COMMAND = Path(sys.executable).with_name("loomfeather-track")
DEFAULTS = {n: d for n, _, d, _ in CONFIG_FIELDS}


def write_sequence(folder: Path, seed: int, frames: int = 120, people: int = 8, fmt: str = "2017", length: int | None = None) -> None:
    """A generated sequence in the benchmark layout; ``length`` past the last
    frame leaves trailing frames without detections."""
    scene = make_scene(SceneParams(num_objects=people, num_frames=frames, seed=seed))
    scene.write(folder / "det" / "det.txt", folder / "gt" / "gt.txt")
    if fmt == "2015":  # frame, id, box, conf, then world coordinates x, y, z
        rows = [line.split(",") for line in (folder / "gt" / "gt.txt").read_text().splitlines()]
        (folder / "gt" / "gt.txt").write_text("".join(",".join([*r[:6], "1", "-1", "-1", "-1"]) + "\n" for r in rows))
    (folder / "seqinfo.ini").write_text(f"[Sequence]\nname={folder.name}\nimDir=img1\nframeRate=30\nseqLength={length or frames}\n"
                                        "imWidth=1920\nimHeight=1080\nimExt=.jpg\n")


@pytest.fixture(scope="module")
def split(tmp_path_factory: pytest.TempPathFactory) -> Path:
    root = tmp_path_factory.mktemp("data") / "GEN-train"
    write_sequence(root / "SEQ-01", seed=1, fmt="2017", length=140)
    write_sequence(root / "SEQ-02", seed=2, frames=90, fmt="2015")
    write_sequence(root / "SEQ-03", seed=3, frames=60, people=4)
    return root


def tree(folder: Path) -> dict[str, bytes]:
    return {str(p.relative_to(folder)): p.read_bytes() for p in sorted(folder.rglob("*")) if p.is_file()}


# ---------------------------------------------------------------- results text


# Values that round in the two-decimal text at its edges: signed zeros and
# subnormals, halfway points before and after the binary rounding, huge and
# non-finite ones; each in every column.
SPECIAL = [0.0, -0.0, -0.001, 0.004999, 5e-324, -1e-300, 2.0**36 - 0.01, -(2.0**36) + 1.0, 2.0**36, 1e15, np.nan, np.inf,
           -np.inf, 0.00005, 0.99995, -0.00015, 0.125, -2.375, 1.005, 2.675, 0.015]  # 21: each lands in every column


def test_results_text_is_pythons_formatting_and_parses_back_bit_for_bit():
    rng = np.random.default_rng(1)
    n = 4000
    near = (rng.integers(-300000, 300000, n) + 0.5) / 100.0  # x.xx5 in decimal, one ulp either side below
    pool = np.r_[rng.uniform(-3000.0, 3000.0, n), np.round(rng.uniform(-3000.0, 3000.0, n), 3),
                 rng.integers(-80000, 80000, n) / 8.0, np.nextafter(near, np.inf), np.nextafter(near, -np.inf),
                 rng.uniform(-0.01, 0.01, n), rng.uniform(-1e9, 1e9, n)]
    values = np.r_[np.tile(SPECIAL, 5), rng.permutation(pool)][:5 * ((len(pool) + 5 * len(SPECIAL)) // 5)].reshape(-1, 5)
    ltwh, scores = values[:, :4], values[:, 4]
    frames, ids = np.sort(rng.integers(1, 10**7, len(values))), rng.integers(-3, 10**12, len(values))
    text, parsed = format_mot_rows(frames, ids, ltwh, scores)
    rows = zip(frames.tolist(), ids.tolist(), ltwh.tolist(), scores.tolist())  # against Python's own formatting
    assert text == "".join(f"{f},{i},{x:.2f},{y:.2f},{w:.2f},{h:.2f},{s:.4f},-1,-1,-1\n" for f, i, (x, y, w, h), s in rows).encode()
    back = np.array([[float(v) for v in line.split(b",")[2:6]] for line in text.splitlines()])
    assert np.array_equal(back.view(np.int64), parsed.view(np.int64))  # signs of zeros and NaN bits too


# ---------------------------------------------------------------- splits and engines


def test_split_run_writes_results_summaries_and_the_same_bytes_on_every_engine(split, tmp_path, run_cli):
    has_dask = importlib.util.find_spec("distributed") is not None  # the [dask] extra; make test installs it
    outs = {}
    for engine in ["serial", "processes", *(["dask"] if has_dask else [])]:
        code, stdout, err = run_cli(split, "--out", tmp_path / engine, "--engine", engine, "--jobs", "2", "--progress")
        assert code == 0 and "3/3 runs" in err and f"on {engine}" in stdout, err
        outs[engine] = tree(tmp_path / engine)
    if has_dask:  # attached to a running cluster (--address) rather than one started for the run
        from dask.distributed import LocalCluster

        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
            code, stdout, err = run_cli(split, "--out", tmp_path / "attached", "--address", cluster.scheduler_address)
        assert code == 0 and "on dask (2 workers)" in stdout, err
        outs["attached"] = tree(tmp_path / "attached")
    assert all(files == outs["serial"] for files in outs.values()), [k for k, v in outs.items() if v != outs["serial"]]
    assert sorted(outs["serial"]) == ["SEQ-01.txt", "SEQ-02.txt", "SEQ-03.txt", "summary.csv", "summary.json"]

    # Each results file is byte for byte the single-file command's; the
    # summary holds the evaluator's numbers on the file as written.
    serial = tmp_path / "serial"
    doc = json.loads((serial / "summary.json").read_text())
    evaluations = []
    for name, fmt, length in [("SEQ-01", "2017", 140), ("SEQ-02", "2015", 90), ("SEQ-03", "2017", 60)]:
        assert run_cli(split / name / "det" / "det.txt", "-o", tmp_path / "one.txt")[0] == 0
        assert (tmp_path / "one.txt").read_bytes() == (serial / f"{name}.txt").read_bytes()
        trk = np.loadtxt(serial / f"{name}.txt", delimiter=",", ndmin=2)
        gt = np.loadtxt(split / name / "gt" / "gt.txt", delimiter=",", ndmin=2)
        extra = {"gt_flags": gt[:, 6], "gt_classes": gt[:, 7]} if fmt == "2017" else {}
        ev = evaluate_sequence(gt[:, 0], gt[:, 1], gt[:, 2:6], trk[:, 0], trk[:, 1], trk[:, 2:6], num_frames=length, fmt=fmt, **extra)
        assert doc["sequences"][name] == {k: ev.metrics[k] for k in METRICS}
        evaluations.append(ev)
    assert doc["combined"] == {k: combine(evaluations)[k] for k in METRICS}
    rows = list(csv.DictReader((serial / "summary.csv").read_text().splitlines()))
    assert [r["sequence"] for r in rows] == ["SEQ-01", "SEQ-02", "SEQ-03", "COMBINED"]
    assert float(rows[-1]["HOTA"]) == doc["combined"]["HOTA"]


def test_several_splits_get_a_folder_each_and_their_own_summaries(split, tmp_path, run_cli):
    other = tmp_path / "in" / "GEN-val"
    write_sequence(other / "SEQ-01", seed=9, frames=50)  # same sequence name as in the first split
    code, out, err = run_cli(split, other, "--out", tmp_path / "out", "--jobs", "2")
    assert code == 0, err
    files = tree(tmp_path / "out")
    assert {"GEN-train/SEQ-01.txt", "GEN-val/SEQ-01.txt", "GEN-train/summary.json", "GEN-val/summary.json", "summary.json"} <= set(files)
    top = json.loads(files["summary.json"])
    assert sorted(top["sequences"]) == ["GEN-train/SEQ-01", "GEN-train/SEQ-02", "GEN-train/SEQ-03", "GEN-val/SEQ-01"]
    val = json.loads(files["GEN-val/summary.json"])
    assert val["combined"] == val["sequences"]["SEQ-01"]  # one sequence: combined is that sequence
    assert "COMBINED GEN-train" in out and "COMBINED GEN-val" in out


def test_a_worker_keeps_sequences_and_evaluations_only_while_their_files_are_unchanged(tmp_path, run_cli):
    # Serial runs share this process's caches from one command to the next.
    seq = tmp_path / "in" / "S"
    write_sequence(seq, seed=6, frames=80)
    out = tmp_path / "out"
    summaries = []
    for step in range(3):
        if step == 1:  # new ground truth: the same results file, another evaluation
            gt = seq / "gt" / "gt.txt"
            gt.write_text("".join(line + "\n" for line in gt.read_text().splitlines() if int(line.split(",")[1]) % 2))
        if step == 2:  # new detections: other results
            det = seq / "det" / "det.txt"
            det.write_text("".join(line + "\n" for line in det.read_text().splitlines() if int(line.split(",")[0]) <= 40))
        assert run_cli(seq.parent, "--out", out, "--engine", "serial", "--grid", "n_init=1,3")[0] == 0
        one, three = (json.loads((out / f"n_init={k}" / "summary.json").read_text())["combined"] for k in (1, 3))
        assert one != three  # other results of the same files: their own evaluation
        summaries.append(one)
    assert summaries[0]["FN"] != summaries[1]["FN"] and summaries[1]["FP"] != summaries[2]["FP"]


# ---------------------------------------------------------------- failures


def test_a_failed_run_is_reported_by_name_and_the_others_are_written(split, tmp_path, run_cli, monkeypatch):
    bad = tmp_path / "in" / "BAD-split"
    for name in ("A", "B"):
        write_sequence(bad / name, seed=4, frames=40)
    (bad / "B" / "det" / "det.txt").write_text("1,-1,1,2,3,4,0.9\n2,-1,1,2,3\n")
    code, _, err = run_cli(bad, "--out", tmp_path / "out", "--jobs", "2")
    assert code == 2 and "error: B: " in err and "det.txt:2: expected at least 7" in err and "Traceback" not in err
    files = tree(tmp_path / "out")
    assert sorted(files) == ["A.txt", "summary.csv", "summary.json"]
    doc = json.loads(files["summary.json"])
    assert list(doc["sequences"]) == ["A"] and "det.txt:2" in doc["failed"]["B"]

    # An output that can never be written is refused before anything runs.
    (tmp_path / "out2" / "SEQ-02.txt").mkdir(parents=True)
    code, _, err = run_cli(split, "--out", tmp_path / "out2")
    assert code == 2 and "SEQ-02.txt: is a directory" in err and sorted(tree(tmp_path / "out2")) == []

    # A write that fails while running fails that run only, with status 1.
    def replace(src, dst, real=os.replace):  # type: ignore[no-untyped-def]
        if str(dst).endswith("SEQ-02.txt"):
            raise PermissionError(errno.EPERM, "Operation not permitted", src)
        real(src, dst)

    monkeypatch.setattr(os, "replace", replace)
    code, _, err = run_cli(split, "--out", tmp_path / "out3", "--engine", "serial")
    assert code == 1 and f"error: SEQ-02: cannot write {tmp_path / 'out3' / 'SEQ-02.txt'}: Operation not permitted" in err
    assert sorted(tree(tmp_path / "out3")) == ["SEQ-01.txt", "SEQ-03.txt", "summary.csv", "summary.json"]


def test_interrupt_stops_the_pool_and_leaves_only_complete_files(tmp_path):
    data = tmp_path / "in" / "LONG"
    write_sequence(data / "S0", seed=10, frames=1500, people=20)
    for k in range(1, 4):
        shutil.copytree(data / "S0", data / f"S{k}")
    out = tmp_path / "out"
    # Its own process group, as a terminal's foreground job, with Ctrl-C on (also when this is a background job).
    proc = subprocess.Popen([str(COMMAND), data, "--out", out, "--jobs", "2", "--grid", f"max_age={','.join(map(str, range(5, 45)))}"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True,
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    deadline = time.monotonic() + 120
    while not any(out.rglob("*.txt")) and time.monotonic() < deadline and proc.poll() is None:
        time.sleep(0.05)
    os.killpg(proc.pid, signal.SIGINT)  # Ctrl-C reaches every process of the group, workers too
    _, err = proc.communicate(timeout=120)
    assert proc.returncode == 130, err
    written = list(out.rglob("S*.txt"))
    assert 0 < len(written) < 160 and err == (f"loomfeather-track: interrupted: {len(written)} of 160 runs finished; "
                                              "results files are written whole or not at all; no summary written\n")
    assert not list(out.rglob("*.tmp")) and not (out / "leaderboard.csv").exists()
    for p in written:  # complete: every line whole
        assert p.read_bytes().endswith(b",-1,-1,-1\n")


# ---------------------------------------------------------------- sweeps


@pytest.mark.parametrize(("items", "message"), [
    (["max_age=10,x"], "max_age: expected an integer, got 'x'"),
    (["use_giou=yes"], "use_giou: expected true/false/on/off"),
    (["max_agee=1"], "'max_agee' is not a TrackerConfig field"),
    (["max_age=1", "max-age=2"], "max_age given twice"),
    (["max_age=10,10"], "a value is repeated"),
    (["max_age="], "max_age: no values"),
    (["max_age"], "expected FIELD=V1,V2"),
])
def test_grid_items_that_cannot_be_used(items, message):
    with pytest.raises(GridError, match=message):
        parse_grid(items)


def test_grid_values_follow_the_field_types_and_expand_first_field_slowest():
    settings = expand_grid(parse_grid(["use-giou=ON,off", "match_iou_thresh=0.2,.3", "n-init=2"]), DEFAULTS)
    assert [s.name for s in settings] == [f"use_giou={g}_match_iou_thresh={t}_n_init=2" for g in ("true", "false") for t in (0.2, 0.3)]
    assert settings[2].options == DEFAULTS | {"use_giou": False, "match_iou_thresh": 0.2, "n_init": 2}


def test_sweep_ranks_configurations_and_each_row_reproduces_its_folder(split, tmp_path, run_cli):
    out = tmp_path / "sweep"
    code, stdout, err = run_cli(split, "--out", out, "--jobs", "2", "--grid", "max_age=1,30", "n_init=1,3,0", "--rank-by", "IDF1")
    assert code == 2  # n_init=0 is refused: two configurations fail, the four others run
    assert err.count("refused: n_init must be >= 1") == 2 and "best 6 of 6 configurations by IDF1" in stdout
    rows = list(csv.DictReader((out / "leaderboard.csv").read_text().splitlines()))
    assert [r["rank"] for r in rows] == ["1", "2", "3", "4", "5", "6"]
    complete = [r for r in rows if r["failed"] == "0"]
    assert len(complete) == 4 and rows[:4] == complete and {r["n_init"] for r in rows[4:]} == {"0"}
    idf1 = [float(r["IDF1"]) for r in complete]
    assert idf1 == sorted(idf1, reverse=True) and idf1[0] > idf1[-1]
    for r in complete:
        assert float(r["IDF1"]) == json.loads((out / r["config"] / "summary.json").read_text())["combined"]["IDF1"]
    best = rows[0]
    args = shlex.split(best["command"])
    assert args[0] == "loomfeather-track" and args[args.index("--out") + 1] == str(out / best["config"])
    again = tmp_path / "again"
    args[args.index("--out") + 1] = str(again)
    assert run_cli(*args[1:])[0] == 0
    assert tree(again) == tree(out / best["config"])


def _entry(name: str, failed: int = 0, **metrics: float) -> Entry:
    full = {m: 0 for m in METRICS} | metrics if metrics else None
    return Entry(setting=Setting(name, (), {}), metrics=full, runs=2, failed=failed, command=[])


@pytest.mark.parametrize(("metric", "order"), [
    ("HOTA", ["b", "a", "nan", "none", "failed"]), ("IDSW", ["a", "b", "nan", "none", "failed"])])
def test_ranking_puts_the_best_first_and_incomplete_configurations_last(metric, order):
    entries = [_entry("failed", failed=1, HOTA=0.99, IDSW=0), _entry("none"), _entry("a", HOTA=0.5, IDSW=3),
               _entry("nan", HOTA=float("nan"), IDSW=float("nan")), _entry("b", HOTA=0.7, IDSW=9)]
    assert [e.setting.name for e in rank(entries, metric)] == order
    doc = json.loads(summary_json([("s", entries[3].metrics)], entries[3].metrics))  # strict JSON: NaN as null
    assert doc["combined"]["HOTA"] is None and doc["sequences"]["s"]["IDSW"] is None


@pytest.mark.parametrize(("layout", "message"), [
    (["x/GEN/S1", "y/GEN/S2"], "two splits named 'GEN'"),
    (["x/S1", "y/S1"], "two sequences named 'S1'"),
    (["x/EMPTY/notes"], "no sequence here"),
])
def test_inputs_whose_results_would_collide_are_refused(tmp_path, run_cli, layout, message):
    for rel in layout:
        if rel.endswith("notes"):
            (tmp_path / rel).mkdir(parents=True)
        else:
            write_sequence(tmp_path / rel, seed=1, frames=10)
    inputs = sorted({str(Path(rel).parent) if rel.count("/") == 2 else rel for rel in layout})
    code, _, err = run_cli(*(tmp_path / i for i in inputs), "--out", tmp_path / "out")
    assert code == 2 and message in err and not (tmp_path / "out").exists()


_ENDED_WHILE_WRITING = """
import os, sys, time
from loomfeather_tools import motio, runner
runner._worker_init()
os.replace = lambda *a: time.sleep(60)   # hold the write between the temporary file and the rename
motio.write_atomic(sys.argv[1], "1,1,1,1,1,1,1,-1,-1,-1\\n")
"""


def test_a_worker_ended_while_writing_leaves_no_temporary_file(tmp_path):
    target = tmp_path / "MOT17-02.txt"
    child = subprocess.Popen([sys.executable, "-c", _ENDED_WHILE_WRITING, str(target)])
    try:
        deadline = time.monotonic() + 30
        while not list(tmp_path.glob(".*.tmp")) and time.monotonic() < deadline:
            time.sleep(0.02)
        assert list(tmp_path.glob(".*.tmp")), "the child never reached the write"
        child.terminate()
        assert child.wait(timeout=30) == 128 + signal.SIGTERM
    finally:
        child.kill()
    assert list(tmp_path.iterdir()) == []
