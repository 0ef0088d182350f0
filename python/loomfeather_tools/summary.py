"""Evaluation of runs and their summaries: per sequence and combined over a
split, as ``summary.csv``, ``summary.json`` and a printed table.

Metric names are the official evaluation's (HOTA, DetA, AssA, LocA, MOTA,
MOTP, IDF1, IDP, IDR, IDSW, FP, FN, MT, PT, ML, Frag); ratios are fractions in
the files and percentages in the printed table.
"""

from __future__ import annotations

import csv
import io
import json
import math
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import NDArray

from .motio import GroundTruth, write_atomic

if TYPE_CHECKING:
    from pathlib import Path

    from .runner import RunResult
    from .sequences import SequenceInfo

__all__ = [
    "METRICS",
    "RATIOS",
    "LOWER_IS_BETTER",
    "evaluate_run",
    "combine",
    "summary_json",
    "summary_csv",
    "csv_value",
    "csv_text",
    "render_table",
    "write_summaries",
    "table_rows",
]

METRICS = ("HOTA", "DetA", "AssA", "LocA", "MOTA", "MOTP", "IDF1", "IDP", "IDR", "IDSW", "FP", "FN", "MT", "PT", "ML", "Frag")
RATIOS = frozenset(METRICS[:9])
LOWER_IS_BETTER = frozenset({"IDSW", "FP", "FN", "ML", "Frag"})
COMBINED = "COMBINED"


def evaluate_run(gt: GroundTruth, frames: NDArray[np.int64], ids: NDArray[np.int64], ltwh: NDArray[np.float64], num_frames: int) -> Any:
    """One sequence's results (boxes as written to the results file) against
    its ground truth; a picklable evaluation that :func:`combine` accepts."""
    from .evaluation import evaluate_sequence

    return evaluate_sequence(
        gt.frames,
        gt.ids,
        gt.ltwh,
        frames,
        ids,
        ltwh,
        num_frames=num_frames,
        fmt=gt.fmt,
        gt_flags=gt.flags,  # 2017: the consider flag; 2015: conf (rows of conf 0 are not scored)
        gt_classes=gt.classes if gt.fmt == "2017" else None,
    )


def combine(evaluations: Sequence[Any]) -> dict[str, float | int]:
    """The metrics over several sequences (in the order given, so that sums
    come out the same on every run)."""
    from .evaluation import combine as _combine

    return dict(_combine(list(evaluations)))


def _value(v: Any) -> float | int | None:
    if isinstance(v, (int, np.integer)):
        return int(v)
    v = float(v)
    return v if math.isfinite(v) else None


def summary_json(per_sequence: Iterable[tuple[str, dict[str, Any]]], combined: dict[str, Any] | None, failed: dict[str, str] | None = None) -> str:
    """``{"sequences": {name: {metric: value}}, "combined": {metric: value}}``
    (and ``"failed": {name: error}`` when a sequence could not be evaluated);
    NaN as null."""
    doc: dict[str, Any] = {
        "sequences": {name: {k: _value(m[k]) for k in METRICS} for name, m in per_sequence},
        "combined": {k: _value(combined[k]) for k in METRICS} if combined is not None else None,
    }
    if failed:
        doc["failed"] = dict(failed)
    return json.dumps(doc, indent=2) + "\n"


def csv_value(v: Any) -> str:
    """A metric as a CSV cell: exact (the shortest text that reads back to the
    same float), empty for NaN."""
    v = _value(v)
    return "" if v is None else repr(v)


def csv_text(rows: Iterable[Sequence[str]]) -> str:
    buf = io.StringIO()
    csv.writer(buf, lineterminator="\n").writerows(rows)
    return buf.getvalue()


def summary_csv(per_sequence: Iterable[tuple[str, dict[str, Any]]], combined: dict[str, Any] | None) -> str:
    rows = [["sequence", *METRICS]]
    rows += [[name, *(csv_value(m[k]) for k in METRICS)] for name, m in per_sequence]
    if combined is not None:
        rows.append([COMBINED, *(csv_value(combined[k]) for k in METRICS)])
    return csv_text(rows)


def format_metric(key: str, v: Any) -> str:
    v = _value(v)
    if v is None:
        return "-"
    return f"{100.0 * v:.1f}" if key in RATIOS else str(v)


def render_table(rows: Sequence[tuple[str, dict[str, Any]]], metrics: Sequence[str] = METRICS) -> str:
    """A fixed-width table, one row per (name, metrics); ratios in percent."""
    cells = [[name, *(format_metric(k, m[k]) for k in metrics)] for name, m in rows]
    head = ["", *metrics]
    widths = [max(len(r[c]) for r in [head, *cells]) for c in range(len(head))]
    out = []
    for r in [head, *cells]:
        out.append(f"{r[0]:<{widths[0]}}" + "".join(f" {v:>{w}}" for v, w in zip(r[1:], widths[1:])))
    return "\n".join(out)


def write_summaries(folder: Path, sequences: list[SequenceInfo], results: list[RunResult | None]) -> dict[str, Any] | None:
    """summary.csv and summary.json of one configuration (and of each split
    in its sub-folder when there are several); the combined metrics over every
    evaluated sequence, None when none was evaluated."""

    def write(where: Path, picked: list[tuple[SequenceInfo, RunResult | None]], key: Any) -> dict[str, Any] | None:
        evaluated = [(key(s), r.evaluation) for s, r in picked if r is not None and r.ok and r.evaluation is not None]
        failed = {key(s): r.error for s, r in picked if r is not None and not r.ok and s.gt is not None}
        if not evaluated and not failed:
            return None
        combined = combine([e for _, e in evaluated]) if evaluated else None
        per_seq = [(n, e.metrics) for n, e in evaluated]
        write_atomic(where / "summary.csv", summary_csv(per_seq, combined))
        write_atomic(where / "summary.json", summary_json(per_seq, combined, failed))
        return combined

    pairs = list(zip(sequences, results))
    splits = sorted({s.split for s in sequences if s.split})
    if len(splits) > 1:
        for split in splits:
            write(folder / split, [(s, r) for s, r in pairs if s.split == split], lambda s: s.name)
    return write(folder, pairs, lambda s: s.label)


def table_rows(sequences: list[SequenceInfo], results: list[RunResult | None]) -> list[tuple[str, dict[str, Any]]]:
    """The printed table's rows: every evaluated sequence, each split combined
    (when there are several), then all combined."""
    pairs = [(s, r) for s, r in zip(sequences, results) if r is not None and r.ok and r.evaluation is not None]
    rows = [(s.label, r.evaluation.metrics) for s, r in pairs]
    splits = sorted({s.split for s, _ in pairs if s.split})
    if len(splits) > 1:
        for split in splits:
            rows.append((f"{COMBINED} {split}", combine([r.evaluation for s, r in pairs if s.split == split])))
    if len(pairs) > 1:
        rows.append((COMBINED, combine([r.evaluation for _, r in pairs])))
    return rows
