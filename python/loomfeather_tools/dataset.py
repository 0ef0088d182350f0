"""The MOTChallenge benchmark layout: a split folder of sequence folders.

::

    <split>/<sequence>/det/det.txt     detections (required)
    <split>/<sequence>/gt/gt.txt       ground truth (optional)
    <split>/<sequence>/seqinfo.ini     name, frame rate, length, image size (optional)
    <split>/<sequence>/img1/           frames (optional; seqinfo.ini's imDir when given)

>>> for seq in find_sequences("MOT17-halfval"):
...     dets = read_detections(seq.detections, seqinfo=seq.seqinfo)
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from pathlib import Path

from .motio import InputError, SeqInfo, read_seqinfo

__all__ = ["Sequence", "find_sequences", "sequence_at"]

_DETECTIONS = Path("det") / "det.txt"
_GROUND_TRUTH = Path("gt") / "gt.txt"
_SEQINFO = "seqinfo.ini"


@dataclass(frozen=True)
class Sequence:
    """One sequence folder: its files, each None when absent."""

    name: str  # the folder's name
    folder: Path
    detections: Path
    ground_truth: Path | None
    seqinfo: SeqInfo | None
    images: Path | None


def _looks_like_sequence(folder: Path) -> bool:
    return (folder / _DETECTIONS).is_file() or (folder / _SEQINFO).is_file() or (folder / "gt").is_dir() or (folder / "det").is_dir()


def sequence_at(folder: str | os.PathLike[str]) -> Sequence:
    """The sequence in ``folder``; InputError naming what is missing or
    invalid (a folder without ``det/det.txt``, a bad ``seqinfo.ini``)."""
    f = Path(folder)
    det = f / _DETECTIONS
    if not det.is_file():
        raise InputError(f, None, f"not a sequence folder: no {_DETECTIONS}")
    gt = f / _GROUND_TRUTH
    info = read_seqinfo(f / _SEQINFO) if (f / _SEQINFO).is_file() else None
    images = f / (info.im_dir if info is not None and info.im_dir else "img1")
    return Sequence(
        name=f.name,
        folder=f,
        detections=det,
        ground_truth=gt if gt.is_file() else None,
        seqinfo=info,
        images=images if images.is_dir() else None,
    )


def find_sequences(folder: str | os.PathLike[str]) -> list[Sequence]:
    """The sequences of a split folder in name order, or the one sequence when
    ``folder`` is itself a sequence folder (it holds ``det/det.txt``).

    A sub-folder that looks like a sequence (``seqinfo.ini``, ``gt/`` or
    ``det/``) but has no ``det/det.txt`` is an error rather than silently left
    out; other files and folders are ignored. InputError names the folder when
    it holds no sequence at all."""
    root = Path(folder)
    if not root.is_dir():
        raise InputError(root, None, "not a folder" if root.exists() else "folder not found")
    if (root / _DETECTIONS).is_file():
        return [sequence_at(root)]
    try:
        children = sorted((c for c in root.iterdir() if c.is_dir()), key=lambda c: c.name)
    except OSError as exc:
        raise InputError(root, None, f"cannot list folder: {exc.strerror}") from None
    sequences = [sequence_at(c) for c in children if _looks_like_sequence(c)]
    if not sequences:
        raise InputError(root, None, f"no sequence here: no {_DETECTIONS}, nor sub-folders holding one")
    return sequences
