"""loomfeather-track and loomfeather_tools, end to end: the built-in example's
quality, bad input and outputs that must not be written, gaps and sequence
lengths, evaluation messages, and the type stubs against the bindings."""

from __future__ import annotations

import ast
import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import loomfeather_cpp as lf
from loomfeather_tools import cli
from loomfeather_tools.evaluation import evaluate_sequence
from loomfeather_tools.scene import SceneParams, make_scene
from loomfeather_tools.track import CONFIG_FIELDS, make_config, track_table

COMMAND = Path(sys.executable).with_name("loomfeather-track")

# Built-in example (seed 0, 12 people, 600 frames), measured: HOTA 0.762,
# MOTA 0.872, IDF1 0.924, 12 identity switches. Seeds 1-3 gave HOTA 0.70-0.74,
# MOTA 0.84-0.87 and IDF1 0.83-0.90; with the overlap thresholds at 0 and no
# gating it falls to MOTA 0.45, IDF1 0.16.
HOTA_FLOOR, MOTA_FLOOR, IDF1_FLOOR = 0.65, 0.80, 0.85


def command(*args: object, **kw) -> subprocess.CompletedProcess[str]:
    return subprocess.run([str(COMMAND), *map(str, args)], capture_output=True, text=True, timeout=120, **kw)


def check_results(path: Path, last_frame: int) -> np.ndarray:
    """The rows of a results file, each frame, id, x, y, w, h, score, -1, -1, -1: whole frames from 1 to
    last_frame in order, whole ids from 1 ascending within a frame, no negative size."""
    rows = np.array([[float(v) for v in line.split(",")] for line in path.read_text().splitlines()])
    assert rows.ndim == 2 and rows.shape[1] == 10 and np.all(rows[:, 7:] == -1) and np.all(rows[:, 4:6] >= 0), path
    frame, ids = rows[:, 0], rows[:, 1]
    assert np.all(rows[:, :2] == np.round(rows[:, :2])) and frame.min() >= 1 and frame.max() <= last_frame and ids.min() >= 1
    assert np.all(np.diff(frame) >= 0) and np.all(np.diff(ids)[np.diff(frame) == 0] > 0)
    return rows


# ---------------------------------------------------------------- built-in example


def test_example_writes_everything_and_keeps_its_quality(tmp_path, run_cli):
    code, out, _ = run_cli("--out", tmp_path)
    assert code == 0 and "IDF1" in out and "MOTA" in out and "fps" in out
    folder = tmp_path / "example"
    assert (folder / "trajectories.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    from PIL import Image

    with Image.open(folder / "tracks.gif") as gif:  # tests/test_render.py checks what is drawn
        assert (gif.format, gif.n_frames, gif.size) == ("GIF", 600, (640, 360))
    trk, gt = check_results(folder / "results.txt", 600), np.loadtxt(folder / "gt.txt", delimiter=",")
    m = evaluate_sequence(gt[:, 0], gt[:, 1], gt[:, 2:6], trk[:, 0], trk[:, 1], trk[:, 2:6], num_frames=600, fmt="2017",
                          gt_flags=gt[:, 6], gt_classes=gt[:, 7]).metrics
    print(f"example: MOTA {m['MOTA']:.4f} IDF1 {m['IDF1']:.4f} HOTA {m['HOTA']:.4f} IDSW {m['IDSW']}")
    assert m["MOTA"] >= MOTA_FLOOR and m["IDF1"] >= IDF1_FLOOR and m["HOTA"] >= HOTA_FLOOR


# ---------------------------------------------------------------- files end to end


def test_links_stdout_score_scale_pictures_and_empty_input(tmp_path, run_cli):
    make_scene(SceneParams(num_objects=6, num_frames=80, seed=2)).write(tmp_path / "det.txt")
    rows = [line.split(",") for line in (tmp_path / "det.txt").read_text().splitlines()]
    (tmp_path / "det100.txt").write_text("".join(",".join([*r[:6], f"{100 * float(r[6]):.2f}", *r[7:]]) + "\n" for r in rows))
    (tmp_path / "a.txt").write_text("old")
    (tmp_path / "link.txt").symlink_to("a.txt")  # results follow the link to the file it names
    code, _, err = run_cli(tmp_path / "det.txt", "-o", tmp_path / "link.txt", "--plot", tmp_path / "a.jpg")
    assert code == 0 and (tmp_path / "link.txt").is_symlink(), err
    code, out, err = run_cli(tmp_path / "det.txt", "-o", "-")
    assert code == 0 and out == (tmp_path / "a.txt").read_text()
    assert "-> standard output" in err and "fps" in err  # the summary keeps out of the results
    code, _, err = run_cli(tmp_path / "det100.txt", "-o", tmp_path / "b.txt")
    assert code == 0 and "--score-scale" in err  # the hint, when scores exceed 1
    assert run_cli(tmp_path / "det100.txt", "-o", tmp_path / "c.txt", "--score-scale", 100, "--plot", tmp_path / "c.svg")[0] == 0
    a, b, c = (check_results(tmp_path / n, 80) for n in ("a.txt", "b.txt", "c.txt"))
    assert np.array_equal(a[:, :6], c[:, :6])
    np.testing.assert_allclose(c[:, 6], 100 * a[:, 6], atol=1e-2)
    assert len(b) > len(a)  # unscaled, every false positive counts as confident
    code, _, err = run_cli(tmp_path / "det.txt", "-o", tmp_path / "d.txt", "--score-scale", 100, "--plot", tmp_path / "d.pdf")
    assert code == 0 and "warning: divided by --score-scale 100, the highest score is 0.0099, below --low-score-thresh 0.1" in err
    for name, magic in (("a.jpg", b"\xff\xd8\xff"), ("c.svg", b"<?xml"), ("d.pdf", b"%PDF")):
        assert (tmp_path / name).read_bytes().startswith(magic), name
    (tmp_path / "empty.txt").write_text("")
    code, out, _ = run_cli(tmp_path / "empty.txt", "-o", tmp_path / "e.txt")
    assert code == 0 and "0 frames" in out and "tracking not timed" in out and "inf" not in out


# ---------------------------------------------------------------- bad input


GOOD = "1,-1,1,2,3,4,0.9\n"


@pytest.mark.parametrize(("det", "gt", "options", "message"), [
    (None, None, [], "det.txt: detection file not found"),
    (GOOD + "2,-1,1,2,3\n", None, [], "det.txt:2: expected at least 7 comma-separated fields"),
    (GOOD + "\n3,-1,1,abc,3,4,0.9\n", None, [], "det.txt:3: field 4 (top) is not a number: 'abc'"),
    (GOOD, "1,1,1,2,3,4,1,1,1\n1,2,1,2,3\n", [], "gt.txt:2: expected at least 9"),
    (GOOD, None, ["--use-gmc"], "error: --use-gmc is not supported by loomfeather_cpp (global motion compensation); leave it off\n"),
    (GOOD, None, ["--w-ocm", "0.5"], "error: --w-ocm is not supported by loomfeather_cpp (OC-SORT momentum)"),
    (GOOD, None, ["--n-init", "0"], "error: invalid tracker configuration: --n-init must be >= 1\n"),
    (GOOD, None, ["--n-init", "99999999999"], "error: argument --n-init: 99999999999 is out of range (-2147483648 to 2147483647)"),
    (GOOD, None, ["--max-age", "1_0"], "error: argument --max-age: expected an integer, got '1_0'"),
    (GOOD, None, ["--frames", "1:99999999999"], "error: argument --frames: expected FIRST:LAST (1 to 2147483646, inclusive)"),
    (GOOD, None, ["--plot", "{t}/tracks.bmp"], "error: --plot {t}/tracks.bmp: cannot tell the picture format from extension '.bmp'"),
    (GOOD, None, ["--out", "{t}/new", "--seed", "1"], "error: --seed, --people and --length apply only to the built-in example"),
])
def test_bad_input_and_refused_options_are_one_line_exit_2_and_nothing_written(tmp_path, det, gt, options, message):
    args = [tmp_path / "det.txt", "-o", tmp_path / "r.txt", *(o.format(t=tmp_path) for o in options)]
    for name, text in (("det.txt", det), ("gt.txt", gt)):
        if text is not None:
            (tmp_path / name).write_text(text)
    proc = command(*args, *(["--gt", tmp_path / "gt.txt"] if gt else []))
    assert proc.returncode == 2 and message.format(t=tmp_path) in proc.stderr and len(proc.stderr.splitlines()) == 1, proc.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(n for n, t in [("det.txt", det), ("gt.txt", gt)] if t)


# ---------------------------------------------------------------- outputs never destroy a file


def _listing(folder: Path) -> dict[str, tuple[int, bytes | None]]:
    """name -> (file type, content of regular files) of a folder."""
    return {p.name: (os.lstat(p).st_mode & 0o170000, p.read_bytes() if p.is_file() and not p.is_symlink() else None) for p in folder.iterdir()}


@pytest.mark.parametrize(("setup", "args", "message"), [
    (lambda t: os.link(t / "det.txt", t / "det.png"), ["-o", "r.txt", "--plot", "det.png"], "--plot {t}/det.png would overwrite the detection file"),
    (None, ["-o", "r.png", "--plot", "r.png"], "--plot {t}/r.png is the same file as results file {t}/r.png"),
    (lambda t: os.symlink("gt.txt", t / "link.txt"), ["-o", "link.txt", "--gt", "gt.txt"], "results file {t}/link.txt would overwrite the ground truth (--gt)"),
    (lambda t: os.symlink("/dev/null", t / "null"), ["-o", "null"], "cannot write {t}/null: it is a character device, not a regular file"),
    (lambda t: os.mkfifo(t / "fifo"), ["-o", "fifo"], "cannot write {t}/fifo: it is a FIFO, not a regular file"),
    (lambda t: os.symlink("/proc/self/fd/1", t / "out"), ["-o", "out"], "cannot write {t}/out: it is a FIFO, not a regular file"),
    (lambda t: os.symlink("gone/x.txt", t / "dangling"), ["-o", "dangling"], "cannot write {t}/dangling: it is a symbolic link to gone/x.txt, which does not exist"),
    (lambda t: (t / "adir").mkdir(), ["-o", "adir"], "cannot write {t}/adir: is a directory"),
    (lambda t: (t / "file.txt").write_text("x"), ["-o", "file.txt/x.txt"], "cannot write {t}/file.txt/x.txt: {t}/file.txt is not a directory"),
], ids=["plot-is-input", "plot-is-results", "results-is-gt-via-link", "device", "fifo", "proc-stdout", "dangling-link", "directory", "file-as-folder"])
def test_outputs_that_must_not_be_written_are_refused_first(tmp_path, setup, args, message):
    scene = make_scene(SceneParams(num_objects=3, num_frames=20, seed=1))
    scene.write(tmp_path / "det.txt", tmp_path / "gt.txt")
    if setup is not None:
        setup(tmp_path)
    before = _listing(tmp_path)
    proc = command(tmp_path / "det.txt", *[a if a.startswith("-") else tmp_path / a for a in args])
    assert proc.returncode == 2, proc.stderr
    assert proc.stderr == f"loomfeather-track: error: {message.format(t=tmp_path)}\n"
    assert _listing(tmp_path) == before


def test_closed_stdout_is_quiet(tmp_path):
    make_scene(SceneParams(num_objects=3, num_frames=20, seed=1)).write(tmp_path / "det.txt")
    r, w = os.pipe()
    os.close(r)
    try:
        for extra in (["-o", tmp_path / "r.txt"], ["-o", "-"]):
            proc = subprocess.run([str(COMMAND), str(tmp_path / "det.txt"), *map(str, extra)], stdout=w, stderr=subprocess.PIPE, text=True, timeout=60)
            assert (proc.returncode, proc.stderr) == (141, "")
    finally:
        os.close(w)
    assert (tmp_path / "r.txt").is_file()


# ---------------------------------------------------------------- frames, sequence length, gaps


def _per_frame(dets, frames, config):
    """Reference loop: every frame handed to the tracker, no skipping."""
    tracker = lf.ByteTracker(config)
    slices, xyxy, rows = dets.frame_slices(), dets.xyxy, []
    for f in frames:
        s = slices.get(f, slice(0, 0))
        ids, boxes, scores, _ = tracker.update(xyxy[s], dets.scores[s])
        ltwh = np.c_[boxes[:, :2], boxes[:, 2:] - boxes[:, :2]]
        rows += [(f, i, *b, sc) for i, b, sc in zip(ids.tolist(), ltwh.tolist(), scores.tolist())]
    return np.array(rows).reshape(-1, 7)


@pytest.mark.parametrize("gap", [5, 31, 45, 400])
def test_gaps_are_skipped_without_changing_results(gap):
    d = make_scene(SceneParams(num_objects=6, num_frames=120, seed=5)).detections
    keep = (d.frames <= 40) | (d.frames > 60)
    frames = np.where(d.frames[keep] > 60, d.frames[keep] + gap, d.frames[keep])
    dets = type(d).build(frames, d.ids[keep], d.ltwh[keep], d.scores[keep])
    config = make_config({"max_age": 30, "n_init": 1})
    span = range(1, dets.max_frame + 30)
    want = _per_frame(dets, span, config)
    for given in (span, list(span)):
        r = (run := track_table(dets, given, config)).results
        assert np.array_equal(np.c_[r.frames, r.ids, r.ltwh, r.scores], want) and run.frames == len(span)
    # 20 removed frames + the gap are empty; every track is gone after max_age + 1 of them.
    assert run.updates <= len(span) - max(0, 20 + gap - 31)


def test_a_billion_frame_gap_is_cheap(tmp_path):
    (tmp_path / "det.txt").write_text("".join(f"{f},-1,10,10,30,80,0.9\n" for f in (1, 2, 3, 4, 1_000_000_000)))
    proc = command(tmp_path / "det.txt", "-o", tmp_path / "r.txt")
    assert proc.returncode == 0 and "1000000000 frames" in proc.stdout
    assert check_results(tmp_path / "r.txt", 4)[:, 0].max() <= 4


def test_sequence_length_comes_from_seqinfo(tmp_path, run_cli):
    seq = tmp_path / "SEQ"
    (seq / "det").mkdir(parents=True)
    (seq / "seqinfo.ini").write_text("[Sequence]\nname=SEQ\nseqLength=8\nimWidth=640\nimHeight=480\n")
    det = seq / "det" / "det.txt"
    det.write_text("".join(f"{f},-1,10,10,30,80,0.9\n" for f in range(1, 6)))
    code, out, _ = run_cli(det, "-o", tmp_path / "r.txt")
    assert code == 0 and f"SEQ: 8 frames (length from {seq / 'seqinfo.ini'})" in out
    det.write_text(det.read_text() + "9,-1,10,10,30,80,0.9\n")
    code, _, err = run_cli(det, "-o", tmp_path / "r.txt")
    assert code == 2 and f"{det}:6: frame 9 is past the end of the sequence (8 frames in {seq / 'seqinfo.ini'})" in err
    assert run_cli(det, "-o", tmp_path / "r.txt", "--frames", "1:9")[0] == 2


# ---------------------------------------------------------------- evaluation, plots, messages


@pytest.mark.parametrize(("gt_text", "message"), [
    ("1,1,1,2,3,4,0,1,1\n2,2,1,2,3,4,1,7,1\n", "no ground truth left to evaluate: all 2 rows have flag 0 or a class other than 1"),
    ("", "no ground truth to evaluate: the file has no rows"),
    ("50,1,1,2,3,4,1,1,1\n", "no ground truth to evaluate in frames 1-10"),
])
def test_no_ground_truth_left_is_refused(tmp_path, run_cli, gt_text, message):
    (tmp_path / "det.txt").write_text("1,-1,1,2,3,4,0.9\n10,-1,1,2,3,4,0.9\n")
    (tmp_path / "gt.txt").write_text(gt_text)
    code, _, err = run_cli(tmp_path / "det.txt", "-o", tmp_path / "r.txt", "--gt", tmp_path / "gt.txt", "--frames", "1:10")
    assert code == 2 and f"{tmp_path / 'gt.txt'}: {message}" in err and not (tmp_path / "r.txt").exists()


def test_ground_truth_format_can_be_named(tmp_path, run_cli):
    # Seven columns fit neither format by their count: refused unless named.
    (tmp_path / "det.txt").write_text("".join(f"{f},-1,10,20,30,60,0.9\n" for f in range(1, 6)))
    (tmp_path / "gt.txt").write_text("".join(f"{f},1,10,20,30,60,1\n" for f in range(1, 6)))
    args = (tmp_path / "det.txt", "-o", tmp_path / "r.txt", "--gt", tmp_path / "gt.txt")
    code, _, err = run_cli(*args)
    assert code == 2 and "gt.txt:1:" in err and not (tmp_path / "r.txt").exists()
    code, out, err = run_cli(*args, "--gt-format", "2015")
    head, values = out.splitlines()[-2:]
    metrics = dict(zip(head.split(), values.split()[1:]))
    assert code == 0 and metrics["FN"] == "2" and metrics["FP"] == "0", out + err  # reported from the third frame


# ---------------------------------------------------------------- typed API


def _params(fn: ast.FunctionDef) -> list[tuple[str, str | None]]:
    """(name, repr of the default) of a function's parameters, "*" where the keyword-only ones begin, self left out."""
    a = fn.args
    pairs = [(x.arg, d) for x, d in zip(a.args, [None] * (len(a.args) - len(a.defaults)) + a.defaults) if x.arg != "self"]
    pairs += [("*", None)] * bool(a.kwonlyargs) + [(x.arg, d) for x, d in zip(a.kwonlyargs, a.kw_defaults)]
    return [(n, None if d is None else repr(ast.literal_eval(d))) for n, d in pairs]


def _signature(bound: object) -> list[tuple[str, str | None]]:
    """The same of a bound entry, from the signature line pybind11 puts first in its docstring."""
    line = re.sub(r"<[^<>]*>", "...", (bound.__doc__ or "").lstrip().splitlines()[0])  # an object default, as in the stub
    return _params(ast.parse(f"def {line}: ...").body[0])


def _public(name: str) -> bool:
    return name == "__init__" or not name.startswith("_")


def test_stub_signatures_match_the_bindings():
    tree = ast.parse((Path(cli.__file__).parents[1] / "loomfeather_cpp-stubs" / "__init__.pyi").read_text())
    stub: dict[str, list[tuple[str, str | None]]] = {}
    for node, prefix in [(n, "") for n in tree.body] + [(m, c.name + ".") for c in tree.body if isinstance(c, ast.ClassDef) for m in c.body]:
        if isinstance(node, ast.FunctionDef) and _public(node.name) and "property" not in map(ast.unparse, node.decorator_list):
            names = [n for n, _ in stub.setdefault(prefix + node.name, _params(node))]  # the first overload has the defaults
            assert names == [n for n, _ in _params(node)], node.name  # the others name the same parameters
    public = {n: o for n, o in vars(lf).items() if not n.startswith("_")}
    runtime = {n: o for n, o in public.items() if callable(o) and not isinstance(o, type)}
    runtime |= {f"{n}.{m}": f for n, c in public.items() if isinstance(c, type) for m, f in vars(c).items() if callable(f) and _public(m)}
    assert {n: _signature(f) for n, f in runtime.items()} == stub


def test_config_options_mirror_tracker_config():
    assert [(n, repr(d)) for n, _, d, _ in CONFIG_FIELDS] == _signature(lf.TrackerConfig.__init__)


def test_stubtest_passes(tmp_path):
    proc = subprocess.run([sys.executable, "-m", "mypy.stubtest", "loomfeather_cpp"], capture_output=True, text=True, timeout=300,
                          cwd=tmp_path)  # mypy's cache goes there
    assert proc.returncode == 0, proc.stdout + proc.stderr
