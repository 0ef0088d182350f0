"""Tracks drawn on frames: the GIF decodes with one picture per frame at the
right size, and a track's box is drawn in its colour where the track is, over
a blank canvas or over the sequence's own images."""

from __future__ import annotations

import shutil
from pathlib import Path

import numpy as np
import pytest

PIL = pytest.importorskip("PIL", reason="Pillow is not installed (pip install 'loomfeather_cpp[tools]')")
from PIL import Image, ImageSequence  # noqa: E402

from loomfeather_tools.motio import MotTable  # noqa: E402
from loomfeather_tools.render import CANVAS, TRACK_COLOURS, render_tracks  # noqa: E402

# Two tracks over five frames (ltwh in pixels of a 200 x 100 image): track 3
# walks right in every frame, track 21 is there in frames 1-2 and 5 only.
ROWS = [(f, 3, 20.0 + 10 * f, 40.0, 30.0, 50.0) for f in range(1, 6)] + [(f, 21, 140.0, 10.0, 40.0, 60.0) for f in (1, 2, 5)]


def _table(rows=ROWS) -> MotTable:
    a = np.array(rows, dtype=float)
    return MotTable.build(a[:, 0], a[:, 1], a[:, 2:6], np.ones(len(a)))


def _frames(path: Path) -> list[np.ndarray]:
    with Image.open(path) as im:
        return [np.asarray(frame.convert("RGB")) for frame in ImageSequence.Iterator(im)]


def _left_edge(row, scale=1.0):
    """A pixel on the left edge of a box, halfway down (below the label)."""
    _, _, x, y, _, h = row
    return round((y + 0.75 * h) * scale), round(x * scale)


def test_blank_canvas_boxes_and_paths(tmp_path):
    out = tmp_path / "t.gif"
    assert render_tracks(out, _table(), range(1, 6), (200, 100), scale=1.0) == (5, (200, 100))
    pics = _frames(out)
    assert len(pics) == 5 and all(p.shape == (100, 200, 3) for p in pics)
    for f, pic in enumerate(pics, start=1):
        y, x = _left_edge(ROWS[f - 1])  # track 3, there in every frame
        assert tuple(pic[y, x]) == TRACK_COLOURS[3]
        y, x = _left_edge(ROWS[5])  # track 21, standing still, absent in frames 3-4
        assert tuple(pic[y, x]) == (TRACK_COLOURS[21 % 20] if f in (1, 2, 5) else CANVAS), f
        assert tuple(pic[20, 60]) == CANVAS
    # Track 3's path joins its box bottom centres (y = 90): in frame 5 it passes
    # frame 3's (x = 65), where frame 1 has nothing yet.
    assert TRACK_COLOURS[3] in {tuple(p) for p in pics[4][89:92, 65]}
    assert {tuple(p) for p in pics[0][85:95, 65]} == {CANVAS}


def _sequence(tmp_path, layout: str, ext: str, frames: int = 5) -> Path:
    """A MOTChallenge folder with detections of the two tracks' boxes and, per
    frame, a flat image whose grey level encodes the frame number."""
    seq = tmp_path / "SEQ-01"
    det = seq / "det" / "det.txt" if layout == "det/det.txt" else seq / "det.txt"
    det.parent.mkdir(parents=True)
    det.write_text("".join(f"{f},-1,{x},{y},{w},{h},0.9\n" for f, _, x, y, w, h in ROWS))
    if ext == ".png":
        (seq / "seqinfo.ini").write_text("[Sequence]\nname=SEQ-01\nimDir=frames\nframeRate=10\nseqLength=5\nimWidth=200\nimHeight=100\nimExt=.png\n")
    images = seq / ("frames" if ext == ".png" else "img1")
    images.mkdir()
    for f in range(1, frames + 1):
        Image.new("RGB", (200, 100), (51 * f,) * 3).save(images / f"{f:06d}{ext}")
    return det


@pytest.mark.parametrize(("layout", "ext"), [("det/det.txt", ".png"), ("det.txt", ".jpg")])
def test_command_line_draws_over_the_sequence_images(tmp_path, run_cli, layout, ext):
    det = _sequence(tmp_path, layout, ext)
    code, out, err = run_cli(det, "-o", tmp_path / "r.txt", "--render", tmp_path / "t.gif", "--n-init", "1", "--no-progress")
    assert code == 0 and "5 frames of 200x100 over the images in" in out, err
    pics = _frames(tmp_path / "t.gif")
    assert len(pics) == 5
    results = np.loadtxt(tmp_path / "r.txt", delimiter=",").reshape(-1, 10)
    for f, pic in enumerate(pics, start=1):
        assert np.all(np.abs(pic[95, 5].astype(int) - 51 * f) <= 12)  # the frame's own image (posterised)
        for _, tid, x, y, w, h, *_ in results[results[:, 0] == f]:
            yy, xx = _left_edge((f, tid, x, y, w, h))
            assert tuple(pic[yy, xx]) == TRACK_COLOURS[int(tid) % 20]


def test_command_line_blank_canvas_and_refusals(tmp_path, run_cli):
    det = _sequence(tmp_path, "det.txt", ".jpg")
    shutil.rmtree(det.parent / "img1")
    code, out, _ = run_cli(det, "-o", tmp_path / "r.txt", "--render", tmp_path / "t.gif", "--no-progress")
    assert code == 0 and "frames of 180x9" in out and "canvas (no image folder in" in out  # the boxes' extent
    assert len(_frames(tmp_path / "t.gif")) == 5

    code, _, err = run_cli(det, "-o", tmp_path / "r2.txt", "--render", tmp_path / "t.mp4")
    assert code == 2 and "MP4 needs a video encoder" in err
    assert not (tmp_path / "r2.txt").exists() and not (tmp_path / "t.mp4").exists()

    det = _sequence(tmp_path / "missing", "det/det.txt", ".png", frames=3)
    code, _, err = run_cli(det, "-o", tmp_path / "r3.txt", "--render", tmp_path / "t3.gif")
    assert code == 2 and "000004.png: image not found (2 of 5 frames have none)" in err
    assert not (tmp_path / "t3.gif").exists()


def test_boxes_far_outside_or_broken_do_not_stop_the_picture(tmp_path):
    rows = [(1, 1, 1e308, 5.0, 10.0, 10.0), (1, 2, np.nan, 1.0, 1.0, 1.0), (1, 3, 5.0, 5.0, -3.0, 10.0), (2, 1, -1e300, -1e300, 1e301, 1e301)]
    rows.append((2, 4, 10.0, 10.0, 20.0, 20.0))
    assert render_tracks(tmp_path / "t.gif", _table(rows), range(1, 3), (100, 100), scale=1.0) == (2, (100, 100))
    assert tuple(_frames(tmp_path / "t.gif")[1][25, 10]) == TRACK_COLOURS[4]  # the ordinary box is still drawn
