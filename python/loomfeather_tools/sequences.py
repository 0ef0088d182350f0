"""The runner's inputs: which sequences the command line's paths name, and
each sequence's detections and ground truth as arrays.

A path is a detection file, a sequence folder (``<seq>/det/det.txt``, with
``gt/gt.txt`` and ``seqinfo.ini`` when present) or a split folder holding
sequence folders (the MOTChallenge layout). File parsing itself is motio's.
"""

from __future__ import annotations

import configparser
from dataclasses import dataclass, replace
from pathlib import Path

import numpy as np
from numpy.typing import NDArray

from . import motio
from .motio import InputError, MotTable

__all__ = [
    "SequenceInfo",
    "GroundTruth",
    "resolve_inputs",
    "detection_file",
    "read_detections",
    "read_ground_truth",
    "read_seqinfo",
    "sequence_name",
]


@dataclass(frozen=True)
class SequenceInfo:
    name: str
    det: Path
    gt: Path | None = None
    seqinfo_path: Path | None = None
    length: int | None = None  # seqLength: frames 1..length are tracked
    image_size: tuple[int, int] | None = None  # imWidth, imHeight
    frame_rate: float | None = None
    gt_format: str = "auto"  # "auto", "2015" or "2017"
    split: str | None = None  # output sub-folder, when several splits are run at once

    @property
    def label(self) -> str:
        """Unique name within a run: ``split/name`` when it belongs to a split
        of a several-split run."""
        return f"{self.split}/{self.name}" if self.split else self.name


@dataclass(frozen=True)
class GroundTruth:
    """Ground-truth rows as the evaluator takes them."""

    frames: NDArray[np.int64]
    ids: NDArray[np.int64]
    ltwh: NDArray[np.float64]
    flags: NDArray[np.float64] | None  # 2017: the "consider" flag
    classes: NDArray[np.int64] | None  # 2017: the class
    fmt: str  # "2015" or "2017"

    @property
    def max_frame(self) -> int:
        return int(self.frames.max()) if len(self.frames) else 0

    @property
    def nbytes(self) -> int:
        return int(sum(a.nbytes for a in (self.frames, self.ids, self.ltwh, self.flags, self.classes) if a is not None))

    def window(self, first: int, last: int) -> GroundTruth:
        """The rows of frames ``first..last``, renumbered from 1."""
        if first == 1 and last >= self.max_frame:
            return self
        keep = (self.frames >= first) & (self.frames <= last)
        pick = (lambda a: None if a is None else a[keep])  # noqa: E731
        return replace(
            self,
            frames=self.frames[keep] - (first - 1),
            ids=self.ids[keep],
            ltwh=self.ltwh[keep],
            flags=pick(self.flags),
            classes=pick(self.classes),
        )


def read_detections(path: Path) -> MotTable:
    return motio.read_detections(path)


def read_ground_truth(path: Path, fmt: str = "auto") -> GroundTruth:
    """Every row of a ``gt.txt`` with the columns the evaluation needs; the
    format from the data unless given: 9 columns with integer classes are the
    2017 format, anything else the 2015 one (world coordinates, every row
    counts)."""
    rows = motio._read_rows(path, "ground-truth")
    if fmt == "auto":
        fmt = "2017" if rows and all(len(f) == 9 and float(f[7]).is_integer() for _, _, f in rows) else "2015"
    a = np.array([v for _, v, _ in rows], dtype=np.float64).reshape(-1, 7)
    flags = classes = None
    if fmt == "2017":
        flags = a[:, 6].copy()
        classes = np.array([int(float(f[7])) if len(f) > 7 else 1 for _, _, f in rows], dtype=np.int64)
    return GroundTruth(a[:, 0].astype(np.int64), a[:, 1].astype(np.int64), a[:, 2:6].copy(), flags, classes, fmt)


def read_seqinfo(path: Path) -> tuple[int | None, tuple[int, int] | None, float | None]:
    """(length, image size, frame rate) of a ``seqinfo.ini``."""
    cp = configparser.ConfigParser()
    try:
        with open(path, encoding="utf-8") as fh:
            cp.read_file(fh)
        sec = cp["Sequence"]
        length = int(sec["seqLength"])
        size = (int(sec["imWidth"]), int(sec["imHeight"])) if "imWidth" in sec and "imHeight" in sec else None
        rate = float(sec["frameRate"]) if "frameRate" in sec else None
    except (OSError, configparser.Error, KeyError, ValueError) as exc:
        raise InputError(path, None, f"unreadable seqinfo.ini: {exc}") from None
    return length, size, rate


def sequence_name(path: Path) -> str:
    """TUD-Campus/det.txt and MOT17-02/det/det.txt -> the sequence folder."""
    p = path.resolve()
    if p.stem == "det":
        p = p.parent
        if p.name == "det":
            p = p.parent
        return p.name or "results"
    return p.stem


def _sequence_folder(folder: Path, split: str | None) -> SequenceInfo | None:
    det = folder / "det" / "det.txt"
    if not det.is_file():
        flat = folder / "det.txt"  # a folder holding just its detections
        return SequenceInfo(name=folder.resolve().name, det=flat, split=split) if flat.is_file() else None
    gt = folder / "gt" / "gt.txt"
    ini = folder / "seqinfo.ini"
    length = size = rate = None
    if ini.is_file():
        length, size, rate = read_seqinfo(ini)
    return SequenceInfo(
        name=folder.resolve().name,
        det=det,
        gt=gt if gt.is_file() else None,
        seqinfo_path=ini if ini.is_file() else None,
        length=length,
        image_size=size,
        frame_rate=rate,
        split=split,
    )


def detection_file(path: Path) -> SequenceInfo:
    """A detection file given directly; ``<seq>/seqinfo.ini`` applies to
    ``<seq>/det/det.txt``."""
    ini = path.parent.parent / "seqinfo.ini" if path.parent.name == "det" else None
    length = size = rate = None
    if ini is not None and ini.is_file():
        length, size, rate = read_seqinfo(ini)
    else:
        ini = None
    return SequenceInfo(name=sequence_name(path), det=path, seqinfo_path=ini, length=length, image_size=size, frame_rate=rate)


def resolve_inputs(paths: list[Path]) -> list[SequenceInfo]:
    """The sequences named by ``paths``, in order (a split's sequences sorted
    by name). With several split folders each keeps its name as ``split``."""
    found: list[tuple[str, Path, list[SequenceInfo]]] = []  # kind, path, sequences
    for path in paths:
        if not path.exists():
            raise InputError(path, None, "detection file not found" if path.suffix else "no such sequence or split folder")
        if path.is_file():
            found.append(("file", path, [detection_file(path)]))
            continue
        one = _sequence_folder(path, None)
        if one is not None:
            found.append(("sequence", path, [one]))
            continue
        seqs = [s for s in (_sequence_folder(p, None) for p in sorted(path.iterdir(), key=lambda p: p.name) if p.is_dir()) if s]
        if not seqs:
            raise InputError(path, None, "no sequence found (expected <sequence>/det/det.txt, or a split folder of such sequences)")
        found.append(("split", path, seqs))
    splits = [(p, s) for kind, p, s in found if kind == "split"]
    out: list[SequenceInfo] = []
    if len(splits) > 1:
        names: dict[str, Path] = {}
        for p, _ in splits:
            name = p.resolve().name
            if name in names:
                raise InputError(p, None, f"two splits named {name!r} ({names[name]} and {p}); their results would share a folder")
            names[name] = p
    for kind, p, seqs in found:
        if kind == "split" and len(splits) > 1:
            seqs = [replace(s, split=p.resolve().name) for s in seqs]
        out.extend(seqs)
    seen: dict[str, Path] = {}
    for s in out:
        if s.label in seen:
            raise InputError(s.det, None, f"two sequences named {s.label!r} ({seen[s.label]} and {s.det}); their results would overwrite each other")
        seen[s.label] = s.det
    return out

