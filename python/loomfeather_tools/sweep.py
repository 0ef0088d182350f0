"""Configuration sweeps: ``--grid field=v1,v2 field2=...`` expanded into the
cross product of TrackerConfig settings, and the leaderboard that ranks them.

Each configuration is named by its settings (``max_age=20_n_init=2``); that
name is the folder of its results. The leaderboard ranks configurations by a
metric combined over every evaluated sequence of the run (all splits
together), and gives for each the command line that reproduces its folder.
"""

from __future__ import annotations

import itertools
import shlex
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

from .summary import LOWER_IS_BETTER, METRICS, RATIOS, csv_text, csv_value, format_metric
from .track import CONFIG_FIELDS

__all__ = ["GridError", "Setting", "parse_grid", "expand_grid", "value_text", "option_args", "Entry", "rank", "leaderboard_csv", "render_leaderboard"]

_TYPES = {name: kind for name, kind, _, _ in CONFIG_FIELDS}
_DEFAULTS = {name: default for name, _, default, _ in CONFIG_FIELDS}
_TRUE, _FALSE = ("true", "on"), ("false", "off")


class GridError(ValueError):
    """A --grid item that cannot be used."""


@dataclass(frozen=True)
class Setting:
    """One configuration of a sweep."""

    name: str  # folder name, e.g. "max_age=20_n_init=2"
    overrides: tuple[tuple[str, Any], ...]  # the grid's fields and values, in grid order
    options: dict[str, Any]  # every TrackerConfig argument


def _parse_value(field: str, text: str) -> Any:
    kind = _TYPES[field]
    t = text.strip()
    if kind is bool:
        if t.lower() in _TRUE:
            return True
        if t.lower() in _FALSE:
            return False
        raise GridError(f"--grid {field}: expected true/false/on/off, got {text!r}")
    try:
        return kind(t)
    except ValueError:
        raise GridError(f"--grid {field}: expected {'an integer' if kind is int else 'a number'}, got {text!r}") from None


def value_text(v: Any) -> str:
    if isinstance(v, bool):
        return "true" if v else "false"
    return repr(v)


def parse_grid(items: Sequence[str]) -> list[tuple[str, list[Any]]]:
    """``["max_age=10,20", "use-giou=on,off"]`` -> ``[("max_age", [10, 20]),
    ("use_giou", [True, False])]``; fields with dashes or underscores."""
    grid: list[tuple[str, list[Any]]] = []
    for item in items:
        field, sep, values = item.partition("=")
        field = field.strip().replace("-", "_")
        if not sep or not field:
            raise GridError(f"--grid: expected FIELD=V1,V2,..., got {item!r}")
        if field not in _TYPES:
            raise GridError(f"--grid: {field!r} is not a TrackerConfig field (fields: {', '.join(_TYPES)})")
        if any(f == field for f, _ in grid):
            raise GridError(f"--grid: {field} given twice")
        parsed = [_parse_value(field, v) for v in values.split(",")] if values.strip() else []
        if not parsed:
            raise GridError(f"--grid {field}: no values")
        texts = [value_text(v) for v in parsed]
        if len(set(texts)) != len(texts):
            raise GridError(f"--grid {field}: a value is repeated ({', '.join(texts)})")
        grid.append((field, parsed))
    return grid


def expand_grid(grid: Sequence[tuple[str, list[Any]]], base: dict[str, Any]) -> list[Setting]:
    """The cross product, first field slowest, each on top of ``base``."""
    fields = [f for f, _ in grid]
    out = []
    for combo in itertools.product(*(values for _, values in grid)):
        overrides = tuple(zip(fields, combo))
        name = "_".join(f"{f}={value_text(v)}" for f, v in overrides) or "default"
        out.append(Setting(name=name, overrides=overrides, options={**base, **dict(overrides)}))
    return out


def option_args(options: dict[str, Any], reference: dict[str, Any] | None = None) -> list[str]:
    """Command-line options for the TrackerConfig settings that differ from
    ``reference`` (a preset's settings; by default, TrackerConfig's
    defaults)."""
    args: list[str] = []
    for name, _, field_default, _ in CONFIG_FIELDS:
        default = reference[name] if reference is not None else field_default
        v = options.get(name, default)
        if v == default and type(v) is type(default):
            continue
        flag = "--" + name.replace("_", "-")
        if isinstance(default, bool):
            args.append(flag if v else "--no-" + flag[2:])
        else:
            args += [flag, value_text(v)]
    return args


@dataclass(frozen=True)
class Entry:
    """A configuration's line of the leaderboard."""

    setting: Setting
    metrics: dict[str, Any] | None  # combined over every evaluated sequence; None when none was
    runs: int
    failed: int
    command: list[str]

    @property
    def complete(self) -> bool:
        return self.failed == 0 and self.metrics is not None


def rank(entries: Sequence[Entry], metric: str) -> list[Entry]:
    """Best first by ``metric`` (lower first for counts of errors); a
    configuration with failed runs or no evaluation comes after every complete
    one; ties keep the grid order."""
    if metric not in METRICS:
        raise GridError(f"--rank-by: unknown metric {metric!r} (metrics: {', '.join(METRICS)})")
    sign = 1.0 if metric in LOWER_IS_BETTER else -1.0

    def key(e: Entry) -> tuple[int, float]:
        if e.failed:
            return (2, 0.0)
        if e.metrics is None:
            return (1, 0.0)
        v = float(e.metrics[metric])
        return (0, sign * v if v == v else float("inf"))

    return sorted(entries, key=key)


def leaderboard_csv(ranked: Sequence[Entry], fields: Sequence[str]) -> str:
    """One row per configuration, best first: rank, folder, the grid's values,
    every metric (ratios as fractions), runs, failed runs, and the command."""
    rows = [["rank", "config", *fields, *METRICS, "runs", "failed", "command"]]
    for k, e in enumerate(ranked, start=1):
        values = dict(e.setting.overrides)
        metrics = [csv_value(e.metrics[m]) if e.metrics is not None else "" for m in METRICS]
        rows.append([str(k), e.setting.name, *(value_text(values[f]) for f in fields), *metrics, str(e.runs), str(e.failed), shlex.join(e.command)])
    return csv_text(rows)


def render_leaderboard(ranked: Sequence[Entry], fields: Sequence[str], metric: str, top: int = 10) -> str:
    shown = ["HOTA", "MOTA", "IDF1"] + ([metric] if metric not in ("HOTA", "MOTA", "IDF1") else [])
    head = ["#", *fields, *shown, "failed"]
    rows = []
    for k, e in enumerate(ranked[:top], start=1):
        values = dict(e.setting.overrides)
        cells = [format_metric(m, e.metrics[m]) if e.metrics is not None else "-" for m in shown]
        rows.append([str(k), *(value_text(values[f]) for f in fields), *cells, str(e.failed) if e.failed else ""])
    widths = [max(len(r[c]) for r in [head, *rows]) for c in range(len(head))]
    lines = [" ".join(f"{v:>{w}}" for v, w in zip(r, widths)) for r in [head, *rows]]
    unit = " (ratios in %)" if any(m in RATIOS for m in shown) else ""
    return f"best {min(top, len(ranked))} of {len(ranked)} configurations by {metric}{unit}:\n" + "\n".join(lines)
