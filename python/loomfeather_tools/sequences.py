"""The runner's inputs: which sequences the command line's paths name, and
each sequence's ground truth cut to the frames being tracked.

A path is a detection file (``<seq>/seqinfo.ini`` applies to
``<seq>/det/det.txt``), a sequence folder or a split folder of sequence
folders (the benchmark layout, found by :mod:`.dataset`). File parsing is
:mod:`.motio`'s.
"""

from __future__ import annotations

from dataclasses import dataclass, replace
from pathlib import Path

import numpy as np

from .dataset import find_sequences
from .motio import GroundTruth, InputError, SeqInfo, read_seqinfo

__all__ = ["SequenceInfo", "resolve_inputs", "detection_file", "sequence_name", "window", "check_ground_truth", "gt_nbytes"]


@dataclass(frozen=True)
class SequenceInfo:
    """One sequence to run: small and picklable (it travels to the workers)."""

    name: str
    det: Path
    gt: Path | None = None
    seqinfo: SeqInfo | None = None  # frames past its length are refused
    length: int | None = None  # frames 1..length are tracked; else up to the last detection or ground truth
    image_size: tuple[float, float] | None = None  # for pictures
    gt_format: str = "auto"  # "auto", "2015" or "2017"
    split: str | None = None  # output sub-folder, when several splits run at once

    @property
    def label(self) -> str:
        """Unique within a run: ``split/name`` for a sequence of a split of a
        several-split run."""
        return f"{self.split}/{self.name}" if self.split else self.name

    @property
    def seqinfo_path(self) -> Path | None:
        return Path(self.seqinfo.path) if self.seqinfo is not None else None


def _with_seqinfo(name: str, det: Path, gt: Path | None, info: SeqInfo | None) -> SequenceInfo:
    size = None
    if info is not None and info.im_width and info.im_height:
        size = (float(info.im_width), float(info.im_height))
    return SequenceInfo(
        name=name, det=det, gt=gt, seqinfo=info, length=info.seq_length if info is not None else None, image_size=size
    )


def sequence_name(path: Path) -> str:
    """TUD-Campus/det.txt and MOT17-02/det/det.txt -> the sequence folder."""
    p = path.resolve()
    if p.stem == "det":
        p = p.parent
        if p.name == "det":
            p = p.parent
        return p.name or "results"
    return p.stem


def detection_file(path: Path, gt: Path | None = None) -> SequenceInfo:
    """A detection file given directly."""
    ini = path.parent.parent / "seqinfo.ini" if path.parent.name == "det" else None
    info = read_seqinfo(ini) if ini is not None and ini.is_file() else None
    return _with_seqinfo(sequence_name(path), path, gt, info)


def resolve_inputs(paths: list[Path]) -> list[SequenceInfo]:
    """The sequences named by ``paths``, in order (a split's in name order).
    With several split folders, each sequence carries its split's name, and two
    splits of the same name are refused (their results would share a folder);
    two sequences of one name in one output folder are refused too."""
    found: list[tuple[bool, Path, list[SequenceInfo]]] = []  # (is a split, path, sequences)
    for path in paths:
        if path.is_dir():
            seqs = find_sequences(path)
            is_split = not (path / "det" / "det.txt").is_file()
            found.append((is_split, path, [_with_seqinfo(s.name, s.detections, s.ground_truth, s.seqinfo) for s in seqs]))
        elif path.exists():
            found.append((False, path, [detection_file(path)]))
        else:
            raise InputError(path, None, "detection file not found" if path.suffix else "no such sequence or split folder")
    splits = [p for is_split, p, _ in found if is_split]
    several = len(splits) > 1
    if several:
        names: dict[str, Path] = {}
        for p in splits:
            name = p.resolve().name
            if name in names:
                raise InputError(p, None, f"two splits named {name!r} ({names[name]} and {p}): their results would share a folder")
            names[name] = p
    out: list[SequenceInfo] = []
    for is_split, p, seqs in found:
        if is_split and several:
            seqs = [replace(s, split=p.resolve().name) for s in seqs]
        out.extend(seqs)
    seen: dict[str, Path] = {}
    for s in out:
        if s.label in seen:
            raise InputError(s.det, None, f"two sequences named {s.label!r} ({seen[s.label]} and {s.det}): their results would overwrite each other")
        seen[s.label] = s.det
    return out


def check_ground_truth(gt: GroundTruth, first: int, last: int) -> None:
    """Refuse to evaluate against nothing (metrics of no ground truth are
    undefined)."""
    if not len(gt):
        raise InputError(gt.path, None, "no ground truth to evaluate: the file has no rows")
    kept = gt.counted_mask()
    if not kept.any():
        raise InputError(
            gt.path, None, f"no ground truth left to evaluate: all {len(gt)} rows have flag 0 or a class other than 1 (pedestrian)"
        )
    if not (kept & (gt.frames >= first) & (gt.frames <= last)).any():
        raise InputError(gt.path, None, f"no ground truth to evaluate in frames {first}-{last}")


def window(gt: GroundTruth, first: int, last: int) -> GroundTruth:
    """The rows of frames ``first..last``, renumbered from 1 (what the
    evaluation of a run of those frames sees)."""
    if first == 1 and last >= gt.max_frame:
        return gt
    keep = (gt.frames >= first) & (gt.frames <= last)

    def pick(a: np.ndarray | None) -> np.ndarray | None:
        return None if a is None else a[keep]

    return replace(
        gt,
        frames=gt.frames[keep] - (first - 1),
        ids=gt.ids[keep],
        ltwh=gt.ltwh[keep],
        flags=gt.flags[keep],
        classes=pick(gt.classes),
        visibility=pick(gt.visibility),
        world=pick(gt.world),
    )


def gt_nbytes(gt: GroundTruth) -> int:
    arrays = (gt.frames, gt.ids, gt.ltwh, gt.flags, gt.classes, gt.visibility, gt.world)
    return int(sum(a.nbytes for a in arrays if a is not None))
