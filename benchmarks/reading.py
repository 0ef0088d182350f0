"""Reading a crowded detection file: loomfeather_tools.motio.read_detections
against the line-by-line reader it replaced (kept below as the comparison).

A 2,000,000-row det.txt (about a crowded MOT20 sequence: 2,500 frames of 800
detections) is generated once into a temporary folder; each reader then runs in
a fresh interpreter that reports the reading time and its peak resident memory
(``ru_maxrss``), with the interpreter's own footprint before reading beside it.
Both must return the same table (compared by a hash of its arrays).

    .venv/bin/python benchmarks/reading.py [--rows N]
"""

from __future__ import annotations

import argparse
import hashlib
import json
import math
import os
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

ROWS = 2_000_000
FRAMES = 2_500
TARGET_SECONDS = 3.0
TARGET_MB = 500.0


# ---------------------------------------------------------------- the comparison: the former reader


class LegacyInputError(Exception):
    pass


_FIELD_NAMES = ("frame", "id", "left", "top", "width", "height", "score")


def legacy_read_rows(path: str | os.PathLike[str], what: str) -> list[tuple[int, list[float], list[str]]]:
    """The former reader, unchanged but for its error class: every line split
    and converted in Python, every field string kept."""
    try:
        with open(path, encoding="utf-8") as fh:
            lines = fh.read().splitlines()
    except FileNotFoundError:
        raise LegacyInputError(f"{path}: {what} file not found") from None
    rows = []
    for lineno, line in enumerate(lines, start=1):
        text = line.strip()
        if not text:
            continue
        fields = [s.strip() for s in text.split(",")] if "," in text else text.split()
        if len(fields) < 7:
            raise LegacyInputError(
                f"{path}:{lineno}: expected at least 7 comma-separated fields (frame, id, x, y, w, h, score), found {len(fields)}"
            )
        values = []
        for k in range(7):
            try:
                v = float(fields[k])
            except ValueError:
                raise LegacyInputError(f"{path}:{lineno}: field {k + 1} ({_FIELD_NAMES[k]}) is not a number: {fields[k]!r}") from None
            if not math.isfinite(v):
                raise LegacyInputError(f"{path}:{lineno}: field {k + 1} ({_FIELD_NAMES[k]}) is not finite: {fields[k]!r}")
            values.append(v)
        frame = values[0]
        if frame != int(frame) or frame < 1:
            raise LegacyInputError(f"{path}:{lineno}: frame must be an integer >= 1, found {fields[0]!r}")
        if values[1] != int(values[1]):
            raise LegacyInputError(f"{path}:{lineno}: id must be an integer, found {fields[1]!r}")
        if values[4] < 0 or values[5] < 0:
            raise LegacyInputError(f"{path}:{lineno}: width and height must be >= 0, found {fields[4]!r}, {fields[5]!r}")
        rows.append((lineno, values, fields))
    return rows


def legacy_read_detections(path: str | os.PathLike[str]):  # -> MotTable
    from loomfeather_tools.motio import MotTable

    rows = legacy_read_rows(path, "detection")
    a = np.array([v for _, v, _ in rows], dtype=np.float64).reshape(-1, 7)
    return MotTable.build(a[:, 0], a[:, 1], a[:, 2:6], a[:, 6])


# ---------------------------------------------------------------- measuring


def write_file(path: Path, rows: int = ROWS, frames: int = FRAMES, seed: int = 0) -> None:
    rng = np.random.default_rng(seed)
    f = np.sort(rng.integers(1, frames + 1, rows))
    cols = [rng.uniform(0, 1900, rows), rng.uniform(0, 1000, rows), rng.uniform(10, 200, rows), rng.uniform(20, 400, rows)]
    s = rng.uniform(0.05, 1.0, rows)
    with open(path, "w", encoding="utf-8") as fh:
        step = 100_000
        for lo in range(0, rows, step):
            hi = min(lo + step, rows)
            fh.write(
                "".join(
                    f"{a},-1,{b:.2f},{c:.2f},{d:.2f},{e:.2f},{g:.5f},-1,-1,-1\n"
                    for a, b, c, d, e, g in zip(
                        f[lo:hi].tolist(), *(x[lo:hi].tolist() for x in cols), s[lo:hi].tolist()
                    )
                )
            )


def _measure(which: str, path: str) -> dict[str, object]:
    """Run in a fresh interpreter: read once, report time, memory and a hash."""
    from loomfeather_tools import motio

    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    read = legacy_read_detections if which == "legacy" else motio.read_detections
    start = time.perf_counter()
    table = read(path)
    seconds = time.perf_counter() - start
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    h = hashlib.sha256()
    for a in (table.frames, table.ids, table.ltwh, table.scores):
        h.update(np.ascontiguousarray(a).tobytes())
    return {"reader": which, "rows": len(table), "seconds": seconds, "peak_mb": peak, "before_mb": before, "hash": h.hexdigest()}


def _run_one(which: str, path: Path) -> dict[str, object]:
    proc = subprocess.run(
        [sys.executable, __file__, "--measure", which, str(path)], capture_output=True, text=True, check=True
    )
    return json.loads(proc.stdout)


def measure(rows: int = ROWS) -> tuple[list[dict[str, object]], int]:
    with tempfile.TemporaryDirectory(prefix="lf-reading-") as tmp:
        path = Path(tmp) / "det.txt"
        # Generated in a child too: on Linux a process's peak resident size
        # (ru_maxrss) starts from that of the process it was forked from.
        subprocess.run([sys.executable, __file__, "--write", str(path), str(rows)], check=True)
        size = path.stat().st_size
        results = [_run_one("legacy", path), _run_one("motio", path)]
    return results, size


def section(rows: int = ROWS) -> str:
    results, size = measure(rows)
    legacy, new = results
    same = legacy["hash"] == new["hash"] and legacy["rows"] == new["rows"]
    lines = [
        "## Reading detection files",
        "",
        f"A generated det.txt of {rows:,} rows ({size / 1e6:.0f} MB, {FRAMES:,} frames), read once by each reader in a "
        "fresh interpreter (time of the read call; peak resident memory of the whole process, and the interpreter "
        "with NumPy and loomfeather_tools imported before reading).",
        "",
        "| reader | seconds | peak RSS (MB) | before reading (MB) |",
        "|---|---:|---:|---:|",
        f"| former line-by-line reader | {legacy['seconds']:.2f} | {legacy['peak_mb']:.0f} | {legacy['before_mb']:.0f} |",
        f"| `motio.read_detections` | {new['seconds']:.2f} | {new['peak_mb']:.0f} | {new['before_mb']:.0f} |",
        "",
        f"Speed-up {float(legacy['seconds']) / float(new['seconds']):.1f}x, memory {float(legacy['peak_mb']) / float(new['peak_mb']):.1f}x "
        f"less; same table: {'yes' if same else 'NO'}. Targets: at most {TARGET_SECONDS:g} s and {TARGET_MB:g} MB "
        f"({'met' if float(new['seconds']) <= TARGET_SECONDS and float(new['peak_mb']) <= TARGET_MB else 'NOT met'}).",
        "",
    ]
    return "\n".join(lines)


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--rows", type=int, default=ROWS)
    p.add_argument("--measure", nargs=2, metavar=("READER", "FILE"), help=argparse.SUPPRESS)
    p.add_argument("--write", nargs=2, metavar=("FILE", "ROWS"), help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.write:
        write_file(Path(args.write[0]), int(args.write[1]))
        return
    if args.measure:
        print(json.dumps(_measure(*args.measure)))
        return
    print(section(args.rows))


if __name__ == "__main__":
    main()
