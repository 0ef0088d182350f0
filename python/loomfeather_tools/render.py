"""Tracks drawn on frames: an animated GIF of a run, with every reported
track's box, identifier and recent path (box bottom centres), coloured by
identifier, over the sequence's own images or over a blank canvas.

Pillow is an optional dependency (``pip install 'loomfeather_cpp[tools]'``),
imported only when a picture is drawn.
"""

from __future__ import annotations

import configparser
import io
import os
from collections import deque
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING

import numpy as np

from .motio import MotTable, write_atomic

if TYPE_CHECKING:
    from PIL import Image

    from .track import Progress

__all__ = ["TRACK_COLOURS", "CANVAS", "Sequence", "check_target", "draw_run", "find_sequence", "render_tracks"]

# Track colours (matplotlib's tab10 then the lighter halves of tab20): identifier i
# is drawn in TRACK_COLOURS[i % 20]. They are the first 20 palette entries of
# every frame, so they come out exactly as written here.
TRACK_COLOURS: tuple[tuple[int, int, int], ...] = (
    (31, 119, 180), (255, 127, 14), (44, 160, 44), (214, 39, 40), (148, 103, 189),
    (140, 86, 75), (227, 119, 194), (127, 127, 127), (188, 189, 34), (23, 190, 207),
    (174, 199, 232), (255, 187, 120), (152, 223, 138), (255, 152, 150), (197, 176, 213),
    (196, 156, 148), (247, 182, 210), (199, 199, 199), (219, 219, 141), (158, 218, 229),
)  # fmt: skip
WHITE, BLACK = (255, 255, 255), (0, 0, 0)
CANVAS = (40, 40, 40)  # background without images
MAX_SIDE = 640  # pictures are scaled down so that their longer side is at most this
TRAIL = 30  # positions of each track's path
_SUFFIXES = (".gif",)


_OWN = (*TRACK_COLOURS, WHITE, BLACK, CANVAS)  # drawn only by us


def _palette() -> list[int]:
    """256 colours: ours (track colours, white, black, the canvas), then a
    6x6x6 colour cube and a grey ramp for the images underneath."""
    colours = [(r, g, b) for r in range(0, 256, 51) for g in range(0, 256, 51) for b in range(0, 256, 51)]
    colours += [(v, v, v) for v in np.linspace(20, 235, 256 - len(_OWN) - len(colours)).round().astype(int).tolist()]
    return [c for rgb in (*_OWN, *colours) for c in rgb]


_WHITE, _BLACK, _CANVAS = len(TRACK_COLOURS), len(TRACK_COLOURS) + 1, len(TRACK_COLOURS) + 2
# Label text: black on the light track colours, white on the dark ones.
_INK = [_BLACK if 0.299 * r + 0.587 * g + 0.114 * b > 150 else _WHITE for r, g, b in TRACK_COLOURS]


def check_target(path: str | os.PathLike[str]) -> None:
    """Refuse, before any work, a picture format that cannot be written."""
    suffix = Path(path).suffix.lower()
    if suffix == ".mp4":
        raise ValueError(f"{os.fspath(path)}: MP4 needs a video encoder (PyAV or OpenCV), not installed with the tools; use .gif")
    if suffix not in _SUFFIXES:
        raise ValueError(f"{os.fspath(path)}: unknown picture format {suffix or '(none)'!r}; use .gif")


@dataclass(frozen=True)
class Sequence:
    """A MOTChallenge sequence folder: image size, frame rate and its images
    (``images`` is None without an image folder)."""

    folder: Path
    size: tuple[int, int] | None
    frame_rate: float | None
    images: Path | None
    extension: str

    def image(self, frame: int) -> Path:
        assert self.images is not None
        return self.images / f"{frame:06d}{self.extension}"


def find_sequence(detections: str | os.PathLike[str]) -> Sequence:
    """The sequence of a detection file: ``<seq>/det/det.txt`` or
    ``<seq>/det.txt``. Reads ``seqinfo.ini`` (imDir, imExt, imWidth, imHeight,
    frameRate) when present; images are ``<seq>/img1/000001.jpg`` ... by default."""
    path = Path(detections).resolve()
    folder = path.parent.parent if path.parent.name == "det" else path.parent
    info = configparser.ConfigParser()
    try:
        info.read(folder / "seqinfo.ini", encoding="utf-8")
    except (configparser.Error, UnicodeDecodeError):
        pass  # an unreadable seqinfo.ini is as good as none
    seq = info["Sequence"] if info.has_section("Sequence") else {}

    def number(key: str) -> float | None:
        try:
            v = float(seq.get(key, ""))
        except ValueError:
            return None
        return v if v > 0 and np.isfinite(v) else None

    w, h = number("imWidth"), number("imHeight")
    images = folder / seq.get("imDir", "img1")
    ext = seq.get("imExt", ".jpg")
    return Sequence(
        folder=folder,
        size=(int(w), int(h)) if w and h else None,
        frame_rate=number("frameRate"),
        images=images if images.is_dir() else None,
        extension=ext if ext.startswith(".") else "." + ext,
    )


def _scale_for(size: tuple[int, int]) -> float:
    return min(1.0, MAX_SIDE / max(size))


def render_tracks(
    path: str | os.PathLike[str],
    results: MotTable,
    frames: Iterable[int],
    size: tuple[int, int],
    background: Callable[[int], Image.Image | None] | None = None,
    frame_rate: float = 30.0,
    scale: float | None = None,
    progress: Progress | None = None,
) -> tuple[int, tuple[int, int]]:
    """Write an animated GIF with one picture per frame of ``frames``.

    ``size`` is the image size in pixels (width, height) of the boxes'
    coordinates; ``background(frame)`` gives that frame's image (None: blank
    canvas); ``scale`` defaults to the factor that brings the longer side to
    at most 640 pixels. Returns the number of pictures and their size."""
    from PIL import Image, ImageDraw, ImageFont

    check_target(path)
    s = _scale_for(size) if scale is None else float(scale)
    out_w, out_h = max(1, round(size[0] * s)), max(1, round(size[1] * s))
    palette = _palette()
    # Images are mapped onto the cube and greys only, so that our colours
    # appear nowhere but where we draw.
    backdrop = Image.new("P", (1, 1))
    backdrop.putpalette(palette[3 * len(_OWN) :])
    font_size = max(9, min(14, round(28 * s)))
    font = ImageFont.load_default(size=font_size)
    width = max(1, min(4, round(4 * s)))  # 2 pixels at half size
    limit = 4.0 * max(out_w, out_h)  # boxes far outside the picture are drawn at this distance

    slices = results.frame_slices()
    trails: dict[int, deque[tuple[float, float]]] = {}
    pictures = []
    for frame in frames:
        img = background(frame) if background is not None else None
        if img is None:
            pic = Image.new("P", (out_w, out_h), _CANVAS)
            pic.putpalette(palette)
        else:
            rgb = img.convert("RGB").resize((out_w, out_h), Image.Resampling.BILINEAR)
            index = np.asarray(rgb.quantize(palette=backdrop, dither=Image.Dither.NONE)) + np.uint8(len(_OWN))
            pic = Image.fromarray(index, mode="P")
            pic.putpalette(palette)
        draw = ImageDraw.Draw(pic)
        rows = slices.get(frame, slice(0, 0))
        for tid, ltwh in zip(results.ids[rows].tolist(), results.ltwh[rows] * s):
            if not (np.all(np.isfinite(ltwh)) and ltwh[2] >= 0 and ltwh[3] >= 0):
                continue  # nothing sensible to draw
            x0, y0, x1, y1 = np.clip([ltwh[0], ltwh[1], ltwh[0] + ltwh[2], ltwh[1] + ltwh[3]], -limit, limit).tolist()
            colour = tid % len(TRACK_COLOURS)
            trail = trails.setdefault(tid, deque(maxlen=TRAIL))
            trail.append((0.5 * (x0 + x1), y1))
            if len(trail) > 1:
                draw.line(list(trail), fill=colour, width=width)
            draw.rectangle((x0, y0, x1, y1), outline=colour, width=width)
            # The identifier above the box's top left corner, or inside it at the top of the picture.
            label, anchor = str(tid), "lb" if y0 >= font_size else "lt"
            left, top, right, bottom = draw.textbbox((x0, y0), label, font=font, anchor=anchor)
            draw.rectangle((left - 1, top - 1, right + 1, bottom), fill=colour)
            draw.text((x0, y0), label, fill=_INK[colour], font=font, anchor=anchor)
        draw.text((4, 4), f"{frame}", fill=_WHITE, font=font, stroke_width=1, stroke_fill=_BLACK)
        pictures.append(pic)
        if progress is not None:
            progress.advance()
    if progress is not None:
        progress.close()
    if not pictures:
        raise ValueError("no frames to draw")
    buf = io.BytesIO()
    pictures[0].save(
        buf, format="GIF", save_all=True, append_images=pictures[1:], duration=round(1000.0 / frame_rate), loop=0, optimize=False
    )
    write_atomic(path, buf.getvalue())
    return len(pictures), (out_w, out_h)


def draw_run(
    path: str | os.PathLike[str],
    results: MotTable,
    frames: range,
    *,
    detection_file: str | os.PathLike[str] | None = None,
    detections: MotTable | None = None,
    image_size: tuple[float, float] | None = None,
    progress: Progress | None = None,
) -> str:
    """The command line's ``--render``: draw over the images of the detection
    file's sequence when its image folder exists, otherwise over a blank canvas
    of the sequence's image size (``seqinfo.ini``, else ``image_size``, else the
    extent of the boxes). Returns a line saying which."""
    from .motio import InputError

    seq = find_sequence(detection_file) if detection_file is not None else None
    background: Callable[[int], Image.Image | None] | None = None
    if seq is not None and seq.images is not None:
        missing = [seq.image(f) for f in frames if not seq.image(f).is_file()]
        if missing:
            raise InputError(missing[0], None, f"image not found ({len(missing)} of {len(frames)} frames have none)")
        from PIL import Image, UnidentifiedImageError

        def load(frame: int) -> Image.Image:
            assert seq is not None
            try:
                with Image.open(seq.image(frame)) as im:
                    im.load()
                    return im
            except (OSError, UnidentifiedImageError) as exc:
                raise InputError(seq.image(frame), None, f"cannot read image: {exc}") from None

        background = load

        with Image.open(seq.image(frames[0])) as first:
            size = first.size
        where = f"over the images in {seq.images}"
    else:
        if seq is not None and seq.size is not None:
            size = seq.size
        elif image_size is not None:
            size = (round(image_size[0]), round(image_size[1]))
        else:
            tables = [t for t in (results, detections) if t is not None and len(t)]
            right = max((float((t.ltwh[:, 0] + t.ltwh[:, 2]).max()) for t in tables), default=1.0)
            bottom = max((float((t.ltwh[:, 1] + t.ltwh[:, 3]).max()) for t in tables), default=1.0)
            size = (max(1, int(np.ceil(right))), max(1, int(np.ceil(bottom))))
        reason = f"no image folder in {seq.folder}" if seq is not None else "built-in example"
        where = f"on a blank {size[0]}x{size[1]} canvas ({reason})"
    rate = seq.frame_rate if seq is not None and seq.frame_rate else 30.0
    count, (w, h) = render_tracks(path, results, frames, size, background, frame_rate=rate, progress=progress)
    return f"{count} frames of {w}x{h} {where} -> {path}"
