"""MOTChallenge text files: detections, ground truth and ``seqinfo.ini`` in,
results out.

Every row is ``frame, id, left, top, width, height, score, ...``: frames are
1-based, boxes are left/top/width/height in pixels. Fields are separated by
commas (or, when a file's first line has no comma, by whitespace); blank lines
are skipped, a trailing separator is allowed, and a leading UTF-8 byte-order
mark is ignored. Lines end at ``\\n``, ``\\r\\n`` or ``\\r``.

Numbers are what both Python and C read: ASCII digits with an optional sign,
decimal point and exponent (no ``_`` digit groups, no hexadecimal); every field
read must be finite. Frames must be exact integers from 1 to :data:`FRAME_MAX`
(the tracker counts frames in 32 bits) and ids exact integers within int64;
``7``, ``+7``, ``7.0`` and ``0.7e1`` all read as 7, ``7.5`` is refused.

Files are parsed by NumPy's compiled reader in blocks of lines. A block it
cannot read, or whose values fail a check, is read again line by line, which
either reports the first bad line as ``file:line: message`` (an
:class:`InputError`) or, for lines only the slower reader understands (blank
lines holding spaces, a separator that changes between lines), returns the same
values.
"""

from __future__ import annotations

import configparser
import errno
import itertools
import math
import os
import re
import stat
import tempfile
import warnings
from collections.abc import Iterable, Iterator
from dataclasses import dataclass
from decimal import Decimal
from pathlib import Path
from typing import IO

import numpy as np
from numpy.typing import NDArray

__all__ = [
    "FRAME_MAX",
    "GT_FORMATS",
    "InputError",
    "OutputError",
    "MotTable",
    "GroundTruth",
    "SeqInfo",
    "read_detections",
    "read_ground_truth",
    "read_seqinfo",
    "format_results",
    "check_output",
    "same_file",
    "write_atomic",
]

FRAME_MAX = 2**31 - 2  # the largest frame number the tracker can count to
GT_FORMATS = ("2015", "2017")
_INT64_MIN, _INT64_MAX = -(2**63), 2**63 - 1
_INT32_MAX = 2**31 - 1
_BLOCK_LINES = 1 << 16

_DET_NAMES = ("frame", "id", "left", "top", "width", "height", "score")
_GT_NAMES = {
    "2015": ("frame", "id", "left", "top", "width", "height", "conf", "x", "y", "z"),
    "2017": ("frame", "id", "left", "top", "width", "height", "flag", "class", "visibility"),
}
_NUMBER = re.compile(r"[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?|[+-]?(?:nan|inf|infinity)", re.IGNORECASE)
_INTEGER = re.compile(r"[+-]?[0-9]+")


class InputError(Exception):
    """A file that cannot be used, with the place to look at."""

    def __init__(self, path: str | os.PathLike[str], line: int | None, message: str) -> None:
        where = f"{os.fspath(path)}:{line}" if line is not None else os.fspath(path)
        super().__init__(f"{where}: {message}")
        self.path = os.fspath(path)
        self.line = line


class OutputError(OSError):
    """An output that cannot, or must not, be written: ``cannot write PATH: REASON``,
    with the path as the caller gave it."""

    def __init__(self, path: str | os.PathLike[str], reason: str, code: int = 0) -> None:
        super().__init__(code, reason)
        self.filename = os.fspath(path)

    def __str__(self) -> str:
        return f"cannot write {self.filename}: {self.strerror}"


@dataclass(frozen=True)
class MotTable:
    """Rows of a MOTChallenge file as columns, ordered by frame (stable)."""

    frames: NDArray[np.int64]  # (N,), 1-based
    ids: NDArray[np.int64]  # (N,); -1 for detections
    ltwh: NDArray[np.float64]  # (N, 4) left, top, width, height
    scores: NDArray[np.float64]  # (N,)

    def __len__(self) -> int:
        return int(self.frames.shape[0])

    @property
    def max_frame(self) -> int:
        return int(self.frames.max()) if len(self) else 0

    @property
    def xyxy(self) -> NDArray[np.float64]:
        out = self.ltwh.copy()
        out[:, 2:] += self.ltwh[:, :2]
        return out

    def frame_slices(self) -> dict[int, slice]:
        """Frame number -> the slice of its rows (rows are sorted by frame)."""
        if not len(self):
            return {}
        starts = np.flatnonzero(np.r_[True, self.frames[1:] != self.frames[:-1]])
        ends = np.r_[starts[1:], len(self)]
        return {int(self.frames[s]): slice(int(s), int(e)) for s, e in zip(starts, ends)}

    @staticmethod
    def build(frames: object, ids: object, ltwh: object, scores: object) -> MotTable:
        f = np.asarray(frames, dtype=np.int64).reshape(-1)
        i = np.asarray(ids, dtype=np.int64).reshape(-1)
        b = np.asarray(ltwh, dtype=np.float64).reshape(-1, 4)
        s = np.asarray(scores, dtype=np.float64).reshape(-1)
        if f.size and bool((f[1:] < f[:-1]).any()):
            order = np.argsort(f, kind="stable")
            f, i, b, s = f[order], i[order], b[order], s[order]
        else:  # already in order (the usual file): a stable sort would change nothing
            f, i, b, s = (np.array(a, copy=True, order="C") for a in (f, i, b, s))  # type: ignore[assignment]
        return MotTable(frames=f, ids=i, ltwh=b, scores=s)


@dataclass(frozen=True)
class GroundTruth:
    """Every row of a ground-truth file, ordered by frame (stable), with the
    columns an evaluator needs and the file's format.

    ``fmt`` "2015": ``frame, id, left, top, width, height, conf, x, y, z`` (the
    last three world coordinates, -1 when unknown; every row counts).
    ``fmt`` "2017": ``frame, id, left, top, width, height, flag, class,
    visibility`` (flag 0: ignored; class 1: pedestrian; 2, 7, 8, 12:
    distractors)."""

    path: str
    fmt: str  # "2015" or "2017"
    frames: NDArray[np.int64]  # (N,)
    ids: NDArray[np.int64]  # (N,), >= 1
    ltwh: NDArray[np.float64]  # (N, 4)
    flags: NDArray[np.float64]  # (N,) seventh column: 2017 consider flag, 2015 conf
    classes: NDArray[np.int64] | None  # (N,) 2017 only (None when the file has no eighth column)
    visibility: NDArray[np.float64] | None  # (N,) 2017 only, when present
    world: NDArray[np.float64] | None  # (N, 3) 2015 only, when present

    def __len__(self) -> int:
        return int(self.frames.shape[0])

    @property
    def max_frame(self) -> int:
        return int(self.frames.max()) if len(self) else 0

    def counted_mask(self) -> NDArray[np.bool_]:
        """The rows the CLEAR/identity evaluation of :mod:`.evaluate` scores:
        2015, every row; 2017, rows with a non-zero flag whose class is 1
        (pedestrian) or -1 (none given)."""
        if self.fmt == "2015":
            return np.ones(len(self), dtype=bool)
        keep = self.flags != 0
        if self.classes is not None:
            keep &= (self.classes == 1) | (self.classes == -1)
        return keep

    def counted(self) -> MotTable:
        """:meth:`counted_mask`'s rows as a table (scores: the seventh column)."""
        k = self.counted_mask()
        return MotTable(frames=self.frames[k], ids=self.ids[k], ltwh=self.ltwh[k], scores=self.flags[k])


@dataclass(frozen=True)
class SeqInfo:
    """A sequence's ``seqinfo.ini`` ([Sequence] section). Only ``seq_length`` is
    required; the rest is None when the file leaves it out."""

    path: str
    seq_length: int
    name: str | None = None
    frame_rate: float | None = None
    im_width: int | None = None
    im_height: int | None = None
    im_dir: str | None = None
    im_ext: str | None = None


# ---------------------------------------------------------------- reading numbers


@dataclass(frozen=True)
class _Layout:
    """What to read from each line and how to check it."""

    what: str  # "detection", "ground-truth"
    names: tuple[str, ...]  # the fields read, in order (at least the first seven)
    positive_ids: bool = False
    integer_class: bool = False  # field 8 must be an integer (2017 ground truth)
    last_frame: int = FRAME_MAX
    last_frame_from: str | None = None  # the seqinfo.ini that set last_frame

    @property
    def width(self) -> int:
        return len(self.names)

    @property
    def dtype(self) -> np.dtype:
        return np.dtype([("frame", np.int64), ("id", np.int64), ("v", np.float64, (self.width - 2,))])

    def too_few(self, found: int) -> str:
        if self.width == 7:
            listed = "frame, id, x, y, w, h, score"
        else:
            listed = ", ".join(self.names)
        return f"expected at least {self.width} comma-separated fields ({listed}), found {found}"

    def frame_past_end(self, frame: int) -> str:
        return f"frame {frame} is past the end of the sequence ({self.last_frame} frames in {self.last_frame_from})"


def _split(text: str) -> list[str]:
    """Fields of a stripped, non-blank line; one trailing empty field (a line
    ending with a comma) is dropped."""
    if "," in text:
        fields = [s.strip() for s in text.split(",")]
        if len(fields) > 1 and not fields[-1]:
            fields.pop()
        return fields
    return text.split()


def _exact_integer(text: str) -> Decimal | int | None:
    """The integer a numeric field spells exactly, or None (e.g. '7.5')."""
    if _INTEGER.fullmatch(text):
        return int(text)
    d = Decimal(text)
    return d if d == d.to_integral_value() else None


def _parse_line(text: str, lineno: int, lay: _Layout, path: str) -> tuple[int, int, list[float]]:
    """One non-blank line, every check in order; raises InputError at the first."""
    fields = _split(text)
    if len(fields) < lay.width:
        raise InputError(path, lineno, lay.too_few(len(fields)))
    values = []
    for k in range(lay.width):
        f = fields[k]
        if not _NUMBER.fullmatch(f):
            raise InputError(path, lineno, f"field {k + 1} ({lay.names[k]}) is not a number: {f!r}")
        v = float(f)
        if not math.isfinite(v):
            raise InputError(path, lineno, f"field {k + 1} ({lay.names[k]}) is not finite: {f!r}")
        values.append(v)
    frame = _exact_integer(fields[0])
    if frame is None or not 1 <= frame <= FRAME_MAX:
        raise InputError(path, lineno, f"frame must be an integer from 1 to {FRAME_MAX}, found {fields[0]!r}")
    if frame > lay.last_frame:
        raise InputError(path, lineno, lay.frame_past_end(int(frame)))
    tid = _exact_integer(fields[1])
    if tid is None:
        raise InputError(path, lineno, f"id must be an integer, found {fields[1]!r}")
    if not _INT64_MIN <= tid <= _INT64_MAX:
        raise InputError(path, lineno, f"id must fit in 64 bits, found {fields[1]!r}")
    if lay.positive_ids and tid < 1:
        raise InputError(path, lineno, f"{lay.what} id must be >= 1, found {int(tid)}")
    if values[4] < 0 or values[5] < 0:
        raise InputError(path, lineno, f"width and height must be >= 0, found {fields[4]!r}, {fields[5]!r}")
    if lay.integer_class:
        c = values[7]
        if c != math.trunc(c) or abs(c) > _INT32_MAX:
            raise InputError(path, lineno, f"field 8 (class) must be an integer in the 2017 format, found {fields[7]!r}")
    return int(frame), int(tid), values[2:]


def _careful_block(lines: list[str], first_lineno: int, lay: _Layout, path: str) -> NDArray[np.void]:
    rows = []
    for n, line in enumerate(lines):
        text = line.strip()
        if text:
            f, i, v = _parse_line(text, first_lineno + n, lay, path)
            rows.append((f, i, v))
    return np.array(rows, dtype=lay.dtype).reshape(-1)


def _block_ok(a: NDArray[np.void], lay: _Layout) -> bool:
    """The checks of :func:`_parse_line` that the compiled reader leaves out."""
    f, i, v = a["frame"], a["id"], a["v"]
    ok = bool(np.isfinite(v).all())
    ok = ok and bool((f >= 1).all() and (f <= min(lay.last_frame, FRAME_MAX)).all())
    ok = ok and bool((v[:, 2:4] >= 0).all())
    if lay.positive_ids:
        ok = ok and bool((i >= 1).all())
    if lay.integer_class:
        c = v[:, 5]
        ok = ok and bool(((c == np.trunc(c)) & (np.abs(c) <= _INT32_MAX)).all())
    return ok


def _fast_block(lines: Iterable[str] | IO[str], sep: str | None, lay: _Layout) -> NDArray[np.void] | None:
    """NumPy's compiled reader on lines (or a whole open file), or None when it
    fails or a value fails a check."""
    try:
        a = np.loadtxt(
            lines, delimiter=sep, usecols=range(lay.width), dtype=lay.dtype, comments=None, quotechar=None, ndmin=1
        )
    except (ValueError, OSError):  # UnicodeDecodeError included; the line-by-line reader reports these
        return None
    return a if _block_ok(a, lay) else None


def _open(path: str | os.PathLike[str], what: str) -> IO[str]:
    # utf-8-sig: a leading byte-order mark is not part of the first field.
    try:
        return open(path, encoding="utf-8-sig", newline=None)
    except FileNotFoundError:
        raise InputError(path, None, f"{what} file not found") from None
    except IsADirectoryError:
        raise InputError(path, None, f"{what} file is a directory") from None
    except OSError as exc:
        raise InputError(path, None, f"cannot read {what} file: {exc.strerror}") from None


def _reading(path: str | os.PathLike[str], what: str, fh: IO[str]) -> Iterator[tuple[int, list[str]]]:
    """(first line number, lines) blocks of an open file."""
    lineno = 1
    try:
        while True:
            lines = list(itertools.islice(fh, _BLOCK_LINES))
            if not lines:
                return
            yield lineno, lines
            lineno += len(lines)
    except UnicodeDecodeError:
        raise InputError(path, None, f"{what} file is not text") from None
    except OSError as exc:
        raise InputError(path, None, f"cannot read {what} file: {exc.strerror}") from None


def _first_line(path: str | os.PathLike[str], what: str) -> tuple[int, str] | None:
    """(line number, stripped text) of the first non-blank line, None when there is none."""
    with _open(path, what) as fh:
        for first, lines in _reading(path, what, fh):
            for n, line in enumerate(lines):
                if line.strip():
                    return first + n, line.strip()
    return None


def _read_rows(path: str | os.PathLike[str], lay: _Layout, careful: bool = False) -> NDArray[np.void]:
    """Every non-blank line as a structured (frame, id, v) row, file order.
    ``careful`` reads every block line by line (the definition the compiled path
    must agree with; used by the tests)."""
    p = os.fspath(path)
    first = _first_line(p, lay.what)
    if first is None:
        return np.zeros(0, dtype=lay.dtype)
    sep = "," if "," in first[1] else None  # as the first line is separated
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # loadtxt warns about input without rows
        if not careful:
            # The whole file in one call: the usual case, and the fastest.
            with _open(p, lay.what) as fh:
                a = _fast_block(fh, sep, lay)
            if a is not None:
                return a
        blocks = []
        with _open(p, lay.what) as fh:
            for lineno, lines in _reading(p, lay.what, fh):
                a = None if careful else _fast_block(lines, sep, lay)
                blocks.append(a if a is not None else _careful_block(lines, lineno, lay, p))
    return np.concatenate(blocks)


def _frame_limit(seqinfo: SeqInfo | None) -> dict[str, object]:
    if seqinfo is None:
        return {}
    return {"last_frame": seqinfo.seq_length, "last_frame_from": seqinfo.path}


def read_detections(path: str | os.PathLike[str], seqinfo: SeqInfo | None = None) -> MotTable:
    """Detections of a MOTChallenge ``det.txt``: lines in any frame order, file
    order kept within a frame; scores are taken as they are (any scale); columns
    past the seventh are ignored. With ``seqinfo``, frames past its sequence
    length are refused."""
    rows = _read_rows(path, _Layout("detection", _DET_NAMES, **_frame_limit(seqinfo)))  # type: ignore[arg-type]
    v = rows["v"]
    return MotTable.build(rows["frame"], rows["id"], v[:, :4], v[:, 4])


def _gt_layout(path: str, fmt: str, seqinfo: SeqInfo | None) -> tuple[str, _Layout]:
    if fmt not in ("auto", *GT_FORMATS):
        raise ValueError(f"fmt must be 'auto', '2015' or '2017', got {fmt!r}")
    first = _first_line(path, "ground-truth")
    n = len(_split(first[1])) if first is not None else 0
    if fmt == "auto":
        if first is None:
            fmt = "2017"  # nothing to tell; an empty file reads the same either way
        elif n == 10:
            fmt = "2015"
        elif n == 9:
            fmt = "2017"
        else:
            raise InputError(
                path,
                first[0],
                f"found {n} fields: ground truth has 10 in the 2015 format (frame, id, left, top, width, height, conf, "
                "x, y, z) and 9 in the 2017 format (frame, id, left, top, width, height, flag, class, visibility); "
                "give the format to read this file as one of them",
            )
    if fmt == "2015":
        width = 10 if n >= 10 else 7  # world coordinates when the file has them
    else:
        width = min(max(n, 7), 9)  # class and visibility when the file has them
    lay = _Layout(
        "ground-truth", _GT_NAMES[fmt][:width], positive_ids=True, integer_class=fmt == "2017" and width >= 8,
        **_frame_limit(seqinfo),  # type: ignore[arg-type]
    )
    return fmt, lay


def read_ground_truth(path: str | os.PathLike[str], fmt: str = "auto", seqinfo: SeqInfo | None = None) -> GroundTruth:
    """Every row of a MOTChallenge ``gt.txt`` (ids must be >= 1).

    ``fmt="auto"`` decides the format from the first line: 10 fields are the 2015
    format (world coordinates in fields 8-10), 9 fields the 2017 format (field 8
    an integer class); anything else is refused, naming the line. ``"2015"``
    reads any file of 7 fields or more as 2015 (world coordinates when every
    line has 10), ``"2017"`` any file of 7 or more as 2017 (class and visibility
    when every line has them). Every line must have as many fields as the
    format takes from the first line. With ``seqinfo``, frames past its sequence
    length are refused. :meth:`GroundTruth.counted` gives the rows today's
    evaluation scores."""
    p = os.fspath(path)
    fmt, lay = _gt_layout(p, fmt, seqinfo)
    rows = _read_rows(p, lay)
    order = np.argsort(rows["frame"], kind="stable")
    rows = rows[order]
    v = rows["v"]
    w = lay.width
    return GroundTruth(
        path=p,
        fmt=fmt,
        frames=np.ascontiguousarray(rows["frame"]),
        ids=np.ascontiguousarray(rows["id"]),
        ltwh=np.ascontiguousarray(v[:, :4]),
        flags=np.ascontiguousarray(v[:, 4]),
        classes=v[:, 5].astype(np.int64) if fmt == "2017" and w >= 8 else None,
        visibility=np.ascontiguousarray(v[:, 6]) if fmt == "2017" and w >= 9 else None,
        world=np.ascontiguousarray(v[:, 5:8]) if fmt == "2015" and w >= 10 else None,
    )


# ---------------------------------------------------------------- seqinfo.ini


def _ini_line(text: str, key: str) -> int | None:
    pattern = re.compile(rf"\s*{re.escape(key)}\s*[=:]", re.IGNORECASE)
    for n, line in enumerate(text.splitlines(), start=1):
        if pattern.match(line):
            return n
    return None


def read_seqinfo(path: str | os.PathLike[str]) -> SeqInfo:
    """A ``seqinfo.ini``: its [Sequence] section's name, frameRate, seqLength,
    imWidth, imHeight, imDir and imExt (keys in any case). seqLength is
    required; a value present must be valid. Errors name the file (and the line
    when there is one)."""
    p = os.fspath(path)
    try:
        with open(p, encoding="utf-8-sig") as fh:
            text = fh.read()
    except FileNotFoundError:
        raise InputError(p, None, "seqinfo file not found") from None
    except IsADirectoryError:
        raise InputError(p, None, "seqinfo file is a directory") from None
    except UnicodeDecodeError:
        raise InputError(p, None, "seqinfo file is not text") from None
    except OSError as exc:
        raise InputError(p, None, f"cannot read seqinfo file: {exc.strerror}") from None
    ini = configparser.ConfigParser(interpolation=None)
    try:
        ini.read_string(text, source=p)
    except configparser.MissingSectionHeaderError as exc:
        raise InputError(p, exc.lineno, "expected a [Sequence] section header first") from None
    except configparser.DuplicateSectionError as exc:
        raise InputError(p, exc.lineno, f"section [{exc.section}] appears twice") from None
    except configparser.DuplicateOptionError as exc:
        raise InputError(p, exc.lineno, f"{exc.option} appears twice in [{exc.section}]") from None
    except configparser.ParsingError as exc:
        lineno, line = exc.errors[0]
        raise InputError(p, lineno, f"not a 'key = value' line: {line.strip()!r}") from None
    if not ini.has_section("Sequence"):
        raise InputError(p, None, "no [Sequence] section")
    sec = ini["Sequence"]

    def number(key: str, kind: type, required: bool = False) -> float | int | None:
        raw = sec.get(key)
        if raw is None:
            if required:
                raise InputError(p, None, f"[Sequence] has no {key}")
            return None
        try:
            v = kind(raw) if _NUMBER.fullmatch(raw.strip()) else None
        except ValueError:
            v = None
        if v is None or not math.isfinite(v) or v <= 0 or (kind is int and v > FRAME_MAX):
            want = "an integer" if kind is int else "a number"
            raise InputError(p, _ini_line(text, key), f"{key} must be {want} > 0, found {raw!r}")
        return v

    def string(key: str) -> str | None:
        raw = sec.get(key)
        return raw.strip() if raw is not None and raw.strip() else None

    return SeqInfo(
        path=p,
        seq_length=int(number("seqLength", int, required=True)),  # type: ignore[arg-type]
        name=string("name"),
        frame_rate=number("frameRate", float),  # type: ignore[arg-type]
        im_width=number("imWidth", int),  # type: ignore[arg-type]
        im_height=number("imHeight", int),  # type: ignore[arg-type]
        im_dir=string("imDir"),
        im_ext=string("imExt"),
    )


# ---------------------------------------------------------------- writing


def format_results(table: MotTable, score_digits: int = 4) -> str:
    """MOTChallenge results text: ``frame, id, x, y, w, h, score, -1, -1, -1``."""
    parts = []
    for f, i, (x, y, w, h), s in zip(table.frames.tolist(), table.ids.tolist(), table.ltwh.tolist(), table.scores.tolist()):
        parts.append(f"{f},{i},{x:.2f},{y:.2f},{w:.2f},{h:.2f},{s:.{score_digits}f},-1,-1,-1\n")
    return "".join(parts)


_KINDS = {
    stat.S_IFCHR: "a character device",
    stat.S_IFBLK: "a block device",
    stat.S_IFIFO: "a FIFO",
    stat.S_IFSOCK: "a socket",
    stat.S_IFDIR: "a directory",
}


def check_output(path: str | os.PathLike[str]) -> Path:
    """The file to replace when writing ``path``, or OutputError when it must
    not be written: an existing target must be a regular file (devices, FIFOs,
    sockets and folders are refused, since writing by rename would replace
    them), a symbolic link is followed to the file it names and refused when
    that file does not exist, and a missing target's nearest existing parent
    must be a writable folder."""
    p = Path(path)
    try:
        st = os.stat(p)
    except FileNotFoundError:
        if os.path.lexists(p):
            raise OutputError(path, f"it is a symbolic link to {os.readlink(p)!s}, which does not exist") from None
    except NotADirectoryError:
        pass
    except OSError as exc:
        raise OutputError(path, exc.strerror or str(exc), exc.errno or 0) from None
    else:
        if not stat.S_ISREG(st.st_mode):
            kind = _KINDS.get(stat.S_IFMT(st.st_mode), "not a regular file")
            raise OutputError(path, "is a directory" if kind == "a directory" else f"it is {kind}, not a regular file")
        real = Path(os.path.realpath(p))
        if not os.access(real.parent, os.W_OK | os.X_OK):
            raise OutputError(path, f"folder {real.parent} is not writable", errno.EACCES)
        return real
    # Missing: the nearest existing ancestor must be a folder we may write in.
    parent = p.parent
    while not os.path.lexists(parent) and parent != parent.parent:
        parent = parent.parent
    if not parent.is_dir():
        raise OutputError(path, f"{parent} is not a directory", errno.ENOTDIR)
    if not os.access(parent, os.W_OK | os.X_OK):
        raise OutputError(path, f"folder {parent} is not writable", errno.EACCES)
    return p


def same_file(a: str | os.PathLike[str], b: str | os.PathLike[str]) -> bool:
    """Whether two paths name one file: the same resolved path, or (when both
    exist) the same device and inode, which also catches hard links."""
    if os.path.realpath(a) == os.path.realpath(b):
        return True
    try:
        sa, sb = os.stat(a), os.stat(b)
    except OSError:
        return False
    return (sa.st_dev, sa.st_ino) == (sb.st_dev, sb.st_ino)


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def write_atomic(path: str | os.PathLike[str], data: str | bytes) -> None:
    """Write ``data`` to ``path`` through a temporary file in the same folder and
    a rename, so that ``path`` is either complete or untouched. The target is
    checked first (:func:`check_output`); a symbolic link is followed, so the
    file it names is replaced and the link kept. Missing folders are created.
    Failures raise :class:`OutputError` naming ``path`` and the reason."""
    target = check_output(path)
    try:
        target.parent.mkdir(parents=True, exist_ok=True)
    except OSError as exc:
        raise OutputError(path, f"cannot create folder {exc.filename}: {exc.strerror}", exc.errno or 0) from None
    try:
        fd, tmp = tempfile.mkstemp(prefix=f".{target.name}.", suffix=".tmp", dir=target.parent)
    except OSError as exc:
        raise OutputError(path, f"cannot create a file in {target.parent}: {exc.strerror}", exc.errno or 0) from None
    try:
        with os.fdopen(fd, "wb") as fh:
            fh.write(data.encode("utf-8") if isinstance(data, str) else data)
        os.chmod(tmp, 0o666 & ~_umask())  # mkstemp's 0600 -> what open() would give
        os.replace(tmp, target)
    except OSError as exc:
        Path(tmp).unlink(missing_ok=True)
        raise OutputError(path, exc.strerror or str(exc), exc.errno or 0) from None
    except BaseException:
        Path(tmp).unlink(missing_ok=True)
        raise
