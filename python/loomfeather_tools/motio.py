"""MOTChallenge text files: detections and ground truth in, results out.

Every row is ``frame, id, left, top, width, height, score, ...``: frames are
1-based, boxes are left/top/width/height in pixels, columns past the seventh are
ignored on input. Input is checked line by line, and a bad line raises
:class:`InputError` naming the file and the line.
"""

from __future__ import annotations

import math
import os
import tempfile
from dataclasses import dataclass
from pathlib import Path

import numpy as np
from numpy.typing import NDArray

__all__ = ["InputError", "MotTable", "read_detections", "read_ground_truth", "format_results", "write_atomic"]

_FIELD_NAMES = ("frame", "id", "left", "top", "width", "height", "score")


class InputError(Exception):
    """A file that cannot be used, with the place to look at."""

    def __init__(self, path: str | os.PathLike[str], line: int | None, message: str) -> None:
        where = f"{os.fspath(path)}:{line}" if line is not None else os.fspath(path)
        super().__init__(f"{where}: {message}")
        self.path = os.fspath(path)
        self.line = line


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
        order = np.argsort(f, kind="stable")
        return MotTable(
            frames=f[order],
            ids=np.asarray(ids, dtype=np.int64).reshape(-1)[order],
            ltwh=np.asarray(ltwh, dtype=np.float64).reshape(-1, 4)[order],
            scores=np.asarray(scores, dtype=np.float64).reshape(-1)[order],
        )


def _read_rows(path: str | os.PathLike[str], what: str) -> list[tuple[int, list[float], list[str]]]:
    """(line number, first seven fields as numbers, all fields) of every
    non-blank line."""
    try:
        with open(path, encoding="utf-8") as fh:
            lines = fh.read().splitlines()
    except FileNotFoundError:
        raise InputError(path, None, f"{what} file not found") from None
    except IsADirectoryError:
        raise InputError(path, None, f"{what} file is a directory") from None
    except UnicodeDecodeError:
        raise InputError(path, None, f"{what} file is not text") from None
    except OSError as exc:
        raise InputError(path, None, f"cannot read {what} file: {exc.strerror}") from None

    rows = []
    for lineno, line in enumerate(lines, start=1):
        text = line.strip()
        if not text:
            continue
        fields = [s.strip() for s in text.split(",")] if "," in text else text.split()
        if len(fields) < 7:
            raise InputError(
                path, lineno, f"expected at least 7 comma-separated fields (frame, id, x, y, w, h, score), found {len(fields)}"
            )
        values = []
        for k in range(7):
            try:
                v = float(fields[k])
            except ValueError:
                raise InputError(path, lineno, f"field {k + 1} ({_FIELD_NAMES[k]}) is not a number: {fields[k]!r}") from None
            if not math.isfinite(v):
                raise InputError(path, lineno, f"field {k + 1} ({_FIELD_NAMES[k]}) is not finite: {fields[k]!r}")
            values.append(v)
        frame = values[0]
        if frame != int(frame) or frame < 1:
            raise InputError(path, lineno, f"frame must be an integer >= 1, found {fields[0]!r}")
        if values[1] != int(values[1]):
            raise InputError(path, lineno, f"id must be an integer, found {fields[1]!r}")
        if values[4] < 0 or values[5] < 0:
            raise InputError(path, lineno, f"width and height must be >= 0, found {fields[4]!r}, {fields[5]!r}")
        rows.append((lineno, values, fields))
    return rows


def _table(rows: list[tuple[int, list[float], list[str]]]) -> MotTable:
    a = np.array([v for _, v, _ in rows], dtype=np.float64).reshape(-1, 7)
    return MotTable.build(a[:, 0], a[:, 1], a[:, 2:6], a[:, 6])


def read_detections(path: str | os.PathLike[str]) -> MotTable:
    """Detections of a MOTChallenge ``det.txt``: lines in any frame order, file
    order kept within a frame; scores are taken as they are (any scale)."""
    return _table(_read_rows(path, "detection"))


def read_ground_truth(path: str | os.PathLike[str]) -> MotTable:
    """Ground truth of a MOTChallenge ``gt.txt``.

    Rows whose seventh field (the "consider" flag) is 0 are dropped, and when an
    eighth field holds a class other than -1, only class 1 (pedestrian) is kept.
    The ids must be positive."""
    raw = _read_rows(path, "ground-truth")
    kept = []
    for lineno, values, fields in raw:
        if values[1] < 1:
            raise InputError(path, lineno, f"ground-truth id must be >= 1, found {values[1]:g}")
        if values[6] == 0:
            continue
        if len(fields) >= 8:
            try:
                cls = float(fields[7])
            except ValueError:
                raise InputError(path, lineno, f"field 8 (class) is not a number: {fields[7]!r}") from None
            if cls not in (-1.0, 1.0):
                continue
        kept.append((lineno, values, fields))
    return _table(kept)


def format_results(table: MotTable, score_digits: int = 4) -> str:
    """MOTChallenge results text: ``frame, id, x, y, w, h, score, -1, -1, -1``."""
    parts = []
    for f, i, (x, y, w, h), s in zip(table.frames.tolist(), table.ids.tolist(), table.ltwh.tolist(), table.scores.tolist()):
        parts.append(f"{f},{i},{x:.2f},{y:.2f},{w:.2f},{h:.2f},{s:.{score_digits}f},-1,-1,-1\n")
    return "".join(parts)


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def write_atomic(path: str | os.PathLike[str], data: str | bytes) -> None:
    """Write ``data`` to ``path`` through a temporary file in the same folder and
    a rename, so that ``path`` is either complete or untouched."""
    target = Path(path)
    target.parent.mkdir(parents=True, exist_ok=True)
    fd, tmp = tempfile.mkstemp(prefix=f".{target.name}.", suffix=".tmp", dir=target.parent)
    try:
        with os.fdopen(fd, "wb") as fh:
            fh.write(data.encode("utf-8") if isinstance(data, str) else data)
        os.chmod(tmp, 0o666 & ~_umask())  # mkstemp's 0600 -> what open() would give
        os.replace(tmp, target)
    except BaseException:
        Path(tmp).unlink(missing_ok=True)
        raise
