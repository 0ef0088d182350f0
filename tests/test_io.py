"""loomfeather_tools.motio and .dataset: detection and ground-truth files,
seqinfo.ini and the benchmark layout. The compiled reader must return what the
former line-by-line reader returned on every valid file, and name the first bad
line of an invalid one whichever of its paths finds the fault."""

from __future__ import annotations

import dataclasses
import importlib.util
from pathlib import Path

import numpy as np
import pytest

from loomfeather_tools import motio
from loomfeather_tools.dataset import find_sequences
from loomfeather_tools.motio import InputError, read_detections, read_ground_truth, read_seqinfo
from loomfeather_tools.scene import SceneParams, make_scene

DATA = Path(__file__).resolve().parents[2] / "shared" / "data"
needs_data = pytest.mark.skipif(not DATA.is_dir(), reason="no shared data beside the repository")
DATA_FILES = sorted(DATA.rglob("*.txt")) if DATA.is_dir() else []


# The former reader, kept as the comparison in benchmarks/reading.py.
_spec = importlib.util.spec_from_file_location("reading_benchmark",
                                               Path(__file__).resolve().parents[1] / "benchmarks" / "reading.py")
FORMER = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(FORMER)


def same_table(a, b) -> bool:
    return all(np.array_equal(getattr(a, k), getattr(b, k)) for k in ("frames", "ids", "ltwh", "scores"))


def careful(path):
    """Every block through the line-by-line reader."""
    rows = motio._read_rows(path, motio._Layout("detection", motio._DET_NAMES), careful=True)
    return motio.MotTable.build(rows["frame"], rows["id"], rows["v"][:, :4], rows["v"][:, 4])


def check_same_as_former(path: Path) -> motio.MotTable:
    new = read_detections(path)
    assert same_table(new, FORMER.legacy_read_detections(path)) and same_table(new, careful(path)), path
    return new


# ---------------------------------------------------------------- valid files


@needs_data
@pytest.mark.parametrize("path", DATA_FILES, ids=lambda p: str(p.relative_to(DATA)))
def test_shared_files_read_as_before(path):
    assert len(check_same_as_former(path)) > 0


def _rows(n: int, seed: int = 0) -> list[list[str]]:
    rng = np.random.default_rng(seed)
    frames = rng.integers(1, 60, n)  # not in order
    v = rng.uniform(0, 500, (n, 4)).round(3)
    s = rng.uniform(0, 1, n).round(5)
    return [[str(f), "-1", *map(repr, r.tolist()), repr(float(sc)), "-1", "-1", "-1"] for f, r, sc in zip(frames, v, s)]


# Each variant turns rows of fields into a file's text.
VARIANTS = {
    "comma": lambda rows: "".join(",".join(r) + "\n" for r in rows),
    "whitespace": lambda rows: "".join(" \t".join(r) + "\n" for r in rows),
    "spaces-around-commas": lambda rows: "".join(" , ".join(r) + " \n" for r in rows),
    "crlf-and-cr": lambda rows: "".join(",".join(r) + ("\r\n" if k % 2 else "\r") for k, r in enumerate(rows)),
    "trailing-commas": lambda rows: "".join(",".join(r) + ",\n" for r in rows),
    "seven-columns": lambda rows: "".join(",".join(r[:7]) + "\n" for r in rows),
    "mixed-widths": lambda rows: "".join(",".join(r[: 7 + k % 4]) + "\n" for k, r in enumerate(rows)),
    "blank-lines": lambda rows: "".join(",".join(r) + ("\n\n" if k % 3 else "\n   \n") for k, r in enumerate(rows)),
    "mixed-separators": lambda rows: "".join((",".join(r) if k % 5 else " ".join(r)) + "\n" for k, r in enumerate(rows)),
    "float-spelled-ids-and-frames": lambda rows: "".join(f"{r[0]}.0,-1.0,{','.join(r[2:])}\n" for r in rows),
    "no-final-newline": lambda rows: "\n".join(",".join(r) for r in rows),
}


@pytest.mark.parametrize("variant", VARIANTS)
def test_generated_files_read_as_before(tmp_path, variant):
    path = tmp_path / "det.txt"
    path.write_bytes(VARIANTS[variant](_rows(300)).encode())  # bytes: newlines as written
    table = check_same_as_former(path)
    assert len(table) == 300 and np.all(np.diff(table.frames) >= 0)


def test_many_blocks_and_a_repaired_block(tmp_path, monkeypatch):
    # Small blocks: most go through the compiled reader, the one holding a
    # spaces-only line through the line-by-line one; a byte-order mark leads.
    monkeypatch.setattr(motio, "_BLOCK_LINES", 64)
    rows = _rows(1000, seed=3)
    text = "".join(",".join(r) + "\n" for r in rows[:500]) + "  \n" + "".join(",".join(r) + "\n" for r in rows[500:])
    path = tmp_path / "det.txt"
    path.write_text("\ufeff" + text, encoding="utf-8")
    (tmp_path / "plain.txt").write_text(text)
    assert same_table(read_detections(path), FORMER.legacy_read_detections(tmp_path / "plain.txt"))
    assert same_table(read_detections(path), careful(path))


# ---------------------------------------------------------------- invalid files

GOOD = "1,-1,10,20,30,40,0.9,-1,-1,-1\n"


@pytest.mark.parametrize(("line", "message"), [
    ("2,-1,1,2,3\n", "expected at least 7 comma-separated fields (frame, id, x, y, w, h, score), found 5"),
    ("2,-1,1,abc,3,4,0.9\n", "field 4 (top) is not a number: 'abc'"),
    ("2,-1,1,2,3,4,nan\n", "field 7 (score) is not finite: 'nan'"),
    ("2,-1,1e999,2,3,4,0.9\n", "field 3 (left) is not finite: '1e999'"),
    ("2,-1,1,2,-3,4,0.9\n", "width and height must be >= 0, found '-3', '4'"),
    ("2,-1,1,2,3,-4,0.9\n", "width and height must be >= 0, found '3', '-4'"),
    ("1_0,-1,1,2,3,4,0.9\n", "field 1 (frame) is not a number: '1_0'"),
    ("2,-1,1_000.5,2,3,4,0.9\n", "field 3 (left) is not a number: '1_000.5'"),
    ("\ufeff2,-1,1,2,3,4,0.9\n", "field 1 (frame) is not a number: '\\ufeff2'"),  # only a leading one is skipped
    ("\u0662,-1,1,2,3,4,0.9\n", "field 1 (frame) is not a number"),  # ASCII digits only
    ("0,-1,1,2,3,4,0.9\n", "frame must be an integer from 1 to 2147483646, found '0'"),
    ("2.5,-1,1,2,3,4,0.9\n", "frame must be an integer from 1 to 2147483646, found '2.5'"),
    ("1.0000000000000001,-1,1,2,3,4,0.9\n", "frame must be an integer"),  # rounds to 1.0 as a float
    ("2147483647,-1,1,2,3,4,0.9\n", "frame must be an integer from 1 to 2147483646, found '2147483647'"),
    ("9007199254740993,-1,1,2,3,4,0.9\n", "frame must be an integer from 1 to 2147483646"),
    ("1e22,-1,1,2,3,4,0.9\n", "frame must be an integer from 1 to 2147483646, found '1e22'"),
    ("2,1.5,1,2,3,4,0.9\n", "id must be an integer, found '1.5'"),
    ("2,9223372036854775808,1,2,3,4,0.9\n", "id must fit in 64 bits, found '9223372036854775808'"),
])
@pytest.mark.parametrize("position", ["start", "end"])
def test_first_bad_line_is_named(tmp_path, monkeypatch, line, message, position):
    # Blank lines before the bad one: its line number differs from its row.
    monkeypatch.setattr(motio, "_BLOCK_LINES", 16)
    lines = [GOOD, "\n", GOOD] * 20
    at = 3 if position == "start" else len(lines)
    lines.insert(at, line)
    lines.append("2,-1,x,2,3,4,0.9\n")  # a later fault must not be the one reported
    path = tmp_path / "det.txt"
    path.write_text("".join(lines), encoding="utf-8")
    with pytest.raises(InputError) as err:
        read_detections(path)
    assert str(err.value).startswith(f"{path}:{at + 1}: {message}")


def test_frames_past_the_sequence_are_refused(tmp_path):
    info = motio.SeqInfo(path=str(tmp_path / "seqinfo.ini"), seq_length=5)
    (tmp_path / "det.txt").write_text(GOOD + "\n5,-1,1,2,3,4,0.9\n6,-1,1,2,3,4,0.9\n")
    with pytest.raises(InputError, match=r"det.txt:4: frame 6 is past the end of the sequence \(5 frames in .*seqinfo.ini\)"):
        read_detections(tmp_path / "det.txt", seqinfo=info)
    assert read_detections(tmp_path / "det.txt").max_frame == 6


# ---------------------------------------------------------------- ground truth


@needs_data
@pytest.mark.parametrize("path", sorted(DATA.glob("motchallenge/*/*/gt/gt.txt")), ids=lambda p: p.parts[-4] + "/" + p.parts[-3])
def test_shared_ground_truth(path):
    gt = read_ground_truth(path)
    assert len(gt) == sum(1 for s in path.read_text().splitlines() if s.strip())
    if path.parts[-4].startswith("MOT15"):
        assert gt.fmt == "2015" and gt.world is not None and gt.classes is None
        assert len(gt.counted()) == len(gt)  # every row counts; none taken for a class
    else:
        assert gt.fmt == "2017" and gt.classes is not None and gt.visibility is not None
        # The evaluation's rows are those the former reader kept.
        rows = FORMER.legacy_read_rows(path, "ground-truth")
        kept = np.array([v for _, v, f in rows if v[6] != 0 and float(f[7]) in (-1.0, 1.0)])
        kept = kept[np.argsort(kept[:, 0], kind="stable")]
        assert np.array_equal(gt.counted().ltwh, kept[:, 2:6]) and np.array_equal(gt.counted().ids, kept[:, 1])
        assert set(np.unique(gt.classes)) >= {1} and len(gt.counted()) < len(gt)


@pytest.mark.parametrize(("text", "fmt", "expect"), [
    ("1,1,1,2,3,4,1,-5.2,11.9,0.7\n2,2,1,2,3,4,0,-1,-1,-1\n", "auto", ("2015", 2)),
    ("1,1,1,2,3,4,1,1,0.5\n1,2,1,2,3,4,0,1,1\n1,3,1,2,3,4,1,7,1\n1,4,1,2,3,4,1,-1,1\n", "auto", ("2017", 2)),
    ("1,1,1,2,3,4,1,1,0.5\n", "2015", ("2015", 1)),
    ("1,1,1,2,3,4,0\n1,2,1,2,3,4,1\n", "2017", ("2017", 1)),  # no class column: flag only
    ("1,1,1,2,3,4,1\n", "auto", "gt.txt:1: found 7 fields: ground truth has 10 in the 2015 format"),
    ("1,1,1,2,3,4,1,0.5,1\n", "auto", "gt.txt:1: field 8 (class) must be an integer in the 2017 format, found '0.5'"),
    ("1,1,1,2,3,4,1,1,1\n2,1,1,2,3,4,1,1\n", "auto", "gt.txt:2: expected at least 9 comma-separated fields (frame, id,"),
    ("1,1,1,2,3,4,1,1,1\n\n2,0,1,2,3,4,1,1,1\n", "auto", "gt.txt:3: ground-truth id must be >= 1, found 0"),
])
def test_ground_truth_format_and_counted_rows(tmp_path, text, fmt, expect):
    path = tmp_path / "gt.txt"
    path.write_text(text)
    if isinstance(expect, str):
        with pytest.raises(InputError) as err:
            read_ground_truth(path, fmt)
        assert str(err.value).startswith(f"{tmp_path}/{expect}")
        return
    gt = read_ground_truth(path, fmt)
    assert (gt.fmt, len(gt.counted())) == expect


# ---------------------------------------------------------------- seqinfo.ini and the layout

SEQINFO = "[Sequence]\nname=S\nimDir=img1\nframeRate=30\nseqLength=600\nimWidth=1920\nimHeight=1080\nimExt=.jpg\n"


@pytest.mark.parametrize(("text", "expect"), [
    (SEQINFO, (600, "S", 30.0, 1920, 1080, "img1", ".jpg")),
    ("\ufeff[Sequence]\nSEQLENGTH = 7\n", (7, None, None, None, None, None, None)),  # keys in any case; the rest absent
    ("seqLength=600\n", "seqinfo.ini:1: expected a [Sequence] section header first"),
    ("[Other]\nseqLength=600\n", "seqinfo.ini: no [Sequence] section"),
    ("[Sequence]\nname=S\n", "seqinfo.ini: [Sequence] has no seqLength"),
    ("[Sequence]\nname=S\nseqLength=6e2x\n", "seqinfo.ini:3: seqLength must be an integer > 0, found '6e2x'"),
    ("[Sequence]\nseqLength=600\nimWidth=0\n", "seqinfo.ini:3: imWidth must be an integer > 0, found '0'"),
    ("[Sequence]\nseqLength=1\nseqLength=2\n", "seqinfo.ini:3: seqlength appears twice in [Sequence]"),
])
def test_seqinfo(tmp_path, text, expect):
    path = tmp_path / "seqinfo.ini"
    path.write_text(text, encoding="utf-8")
    if isinstance(expect, tuple):  # (seq_length, name, frame_rate, im_width, im_height, im_dir, im_ext)
        assert dataclasses.astuple(read_seqinfo(path))[1:] == expect
    else:
        with pytest.raises(InputError) as err:
            read_seqinfo(path)
        assert str(err.value) == f"{tmp_path}/{expect}"


def test_layout_discovery(tmp_path):
    split = tmp_path / "split"
    scene = make_scene(SceneParams(num_objects=3, num_frames=20, seed=1))
    for name in ("B", "A"):
        scene.write(split / name / "det" / "det.txt", split / name / "gt" / "gt.txt")
        (split / name / "seqinfo.ini").write_text(SEQINFO.replace("600", "20"))
    (split / "A" / "img1").mkdir()
    (split / "notes").mkdir()  # not a sequence: ignored
    (split / "README.txt").write_text("x")
    seqs = find_sequences(split)
    assert [s.name for s in seqs] == ["A", "B"]
    assert seqs[0].images == split / "A" / "img1" and seqs[1].images is None
    assert all(s.seqinfo.seq_length == 20 and s.ground_truth.is_file() for s in seqs)
    assert [s.name for s in find_sequences(split / "B")] == ["B"]  # a single sequence folder
    (split / "C" / "gt").mkdir(parents=True)  # a sequence without detections is an error, not skipped
    with pytest.raises(InputError, match=r"split/C: not a sequence folder: no det/det.txt"):
        find_sequences(split)
    with pytest.raises(InputError, match=r"notes: no sequence here"):
        find_sequences(split / "notes")
