"""Trajectory pictures (matplotlib without a display: an optional dependency)."""

from __future__ import annotations

import io
import os
from typing import TYPE_CHECKING

import numpy as np

from .motio import MotTable, write_atomic

if TYPE_CHECKING:
    from matplotlib.axes import Axes

__all__ = ["picture_format", "plot_trajectories"]

_MAX_LABELS = 80


def _draw(ax: Axes, table: MotTable, title: str, width: float | None, height: float | None) -> None:
    from matplotlib import colormaps

    cmap = colormaps["tab20"]
    centre_x = table.ltwh[:, 0] + 0.5 * table.ltwh[:, 2]
    foot_y = table.ltwh[:, 1] + table.ltwh[:, 3]  # the point a person stands on
    ids = np.unique(table.ids)
    for tid in ids:
        rows = np.flatnonzero(table.ids == tid)
        colour = cmap(int(tid) % 20)
        ax.plot(centre_x[rows], foot_y[rows], "-", color=colour, linewidth=1.2)
        ax.plot(centre_x[rows[0]], foot_y[rows[0]], "o", color=colour, markersize=3)
        if len(ids) <= _MAX_LABELS:
            ax.annotate(str(tid), (centre_x[rows[-1]], foot_y[rows[-1]]), fontsize=6, color=colour)
    ax.set_title(f"{title} ({len(ids)} identities)")
    ax.set_xlabel("x (box centre, px)")
    ax.set_ylabel("y (box bottom, px)")
    if width is not None and height is not None:
        ax.set_xlim(0, width)
        ax.set_ylim(height, 0)
        ax.set_aspect("equal", adjustable="box")
    else:
        ax.invert_yaxis()
        ax.set_aspect("equal", adjustable="datalim")
    ax.grid(True, linewidth=0.3, alpha=0.5)


def picture_format(path: str | os.PathLike[str]) -> str:
    """The matplotlib format named by a picture path's extension (``png``,
    ``pdf``, ``svg``, ``jpg``...); ValueError for an extension it cannot write."""
    from matplotlib.backend_bases import FigureCanvasBase

    suffix = os.path.splitext(os.fspath(path))[1]
    kinds = FigureCanvasBase.get_supported_filetypes()
    if suffix.lower().lstrip(".") not in kinds:
        found = f"extension {suffix!r}" if suffix else "no extension"
        raise ValueError(f"cannot tell the picture format from {found}; use one of {', '.join('.' + k for k in sorted(kinds))}")
    return suffix.lower().lstrip(".")


def plot_trajectories(
    path: str | os.PathLike[str],
    results: MotTable,
    gt: MotTable | None = None,
    title: str = "tracks",
    image_size: tuple[float, float] | None = None,
) -> None:
    """Save a picture of every track's path (box bottom centres, image
    coordinates), coloured by track id; ground truth in a second panel when
    given. The format follows the extension (:func:`picture_format`)."""
    from matplotlib.figure import Figure  # no pyplot: no GUI backend, no global state

    fmt = picture_format(path)
    panels = 1 if gt is None else 2
    fig = Figure(figsize=(7.5 * panels, 5.0), dpi=110, layout="constrained")
    axes = fig.subplots(1, panels, squeeze=False)[0]
    w, h = image_size if image_size is not None else (None, None)
    _draw(axes[0], results, title, w, h)
    if gt is not None:
        _draw(axes[1], gt, "ground truth", w, h)
    buf = io.BytesIO()
    fig.savefig(buf, format=fmt)
    write_atomic(path, buf.getvalue())
