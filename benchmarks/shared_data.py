"""Where the shared benchmark data is: shared/data/motchallenge beside the
repository, or beside a folder holding it (for work trees)."""

from __future__ import annotations

from pathlib import Path

HERE = Path(__file__).resolve().parent


def motchallenge_dir() -> Path | None:
    for parent in HERE.parents:
        cand = parent / "shared" / "data" / "motchallenge"
        if cand.is_dir():
            return cand
    return None
