"""``loomfeather-track``: track a MOTChallenge detection file (or, with no file,
a built-in synthetic scene), write the results, evaluate and plot them."""

from __future__ import annotations

import argparse
import importlib.util
import os
import sys
from pathlib import Path
from typing import Any

from . import __version__
from .motio import InputError, MotTable, format_results, read_detections, read_ground_truth, write_atomic
from .render import check_target
from .track import CONFIG_FIELDS, Progress, make_config, track_table

PROG = "loomfeather-track"
EXIT_BAD_INPUT = 2
EXIT_FAILED = 1
_EXAMPLE_DEFAULTS = {"seed": 0, "people": 12, "length": 600}


class UsageError(Exception):
    """Bad arguments or input: reported as one line, exit status 2."""


def _frame_range(text: str) -> tuple[int | None, int | None]:
    first, sep, last = text.partition(":")
    try:
        lo = int(first) if first.strip() else None
        hi = int(last) if sep and last.strip() else (lo if not sep else None)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected FIRST:LAST (1-based, inclusive), got {text!r}") from None
    if (lo is not None and lo < 1) or (lo is not None and hi is not None and hi < lo):
        raise argparse.ArgumentTypeError(f"expected 1 <= FIRST <= LAST, got {text!r}")
    return lo, hi


def _score_scale(text: str) -> float | str:
    if text == "auto":
        return text
    try:
        v = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a positive number or 'auto', got {text!r}") from None
    if not v > 0 or v == float("inf"):
        raise argparse.ArgumentTypeError(f"expected a positive number or 'auto', got {text!r}")
    return v


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog=PROG,
        description=(
            "Track the detections of a MOTChallenge det.txt file with loomfeather_cpp's ByteTracker and write a "
            "MOTChallenge results file. Without a file, runs the built-in example: a synthetic scene with ground "
            "truth, tracked, evaluated and plotted into the output folder."
        ),
    )
    p.add_argument("detections", nargs="?", type=Path, help="MOTChallenge detections: frame,id,x,y,w,h,score,...")
    p.add_argument("--out", type=Path, default=Path("out"), help="output folder (default: %(default)s)")
    p.add_argument("-o", "--output", type=Path, help="results file (default: OUT/<sequence>.txt)")
    p.add_argument("--gt", type=Path, help="MOTChallenge ground truth to evaluate against (needs motmetrics)")
    p.add_argument("--plot", type=Path, metavar="FILE.png", help="draw the trajectories (needs matplotlib)")
    p.add_argument(
        "--render",
        type=Path,
        metavar="FILE.gif",
        help="animated picture of the tracks over the sequence's img1/ images, or a blank canvas without them (needs Pillow)",
    )
    p.add_argument(
        "--score-scale",
        type=_score_scale,
        default=1.0,
        metavar="S|auto",
        help="divide scores by S before tracking (auto: by the file's highest score when above 1), "
        "so that thresholds in [0, 1] work with any detector; results keep the file's scale",
    )
    p.add_argument("--frames", type=_frame_range, metavar="FIRST:LAST", help="track only these frames (1-based, inclusive)")
    p.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None, help="progress bar on stderr (default: on a terminal)")
    p.add_argument("--version", action="version", version=f"%(prog)s {__version__}")

    ex = p.add_argument_group("built-in example (no detection file)")
    ex.add_argument("--seed", type=int, help=f"scene seed (default {_EXAMPLE_DEFAULTS['seed']})")
    ex.add_argument("--people", type=int, help=f"people in view at once (default {_EXAMPLE_DEFAULTS['people']})")
    ex.add_argument("--length", type=int, help=f"frames (default {_EXAMPLE_DEFAULTS['length']})")

    cfg = p.add_argument_group("tracker configuration (loomfeather_cpp.TrackerConfig, same names and defaults)")
    for name, kind, default, text in CONFIG_FIELDS:
        flag = "--" + name.replace("_", "-")
        if kind is bool:
            cfg.add_argument(
                flag, dest=name, action=argparse.BooleanOptionalAction, default=default, help=f"{text} (default: {'on' if default else 'off'})"
            )
        else:
            cfg.add_argument(flag, dest=name, type=kind, default=default, metavar=kind.__name__.upper(), help=f"{text} (default: %(default)s)")
    return p


def _sequence_name(path: Path) -> str:
    """TUD-Campus/det.txt and MOT17-02/det/det.txt -> the sequence folder."""
    p = path.resolve()
    if p.stem == "det":
        p = p.parent
        if p.name == "det":
            p = p.parent
        return p.name or "results"
    return p.stem


def _require(module: str, option: str) -> None:
    if importlib.util.find_spec(module) is None:
        raise UsageError(f"{option} needs {module}: pip install 'loomfeather_cpp[tools]'")


def _inputs(args: argparse.Namespace) -> tuple[MotTable, MotTable | None, str, Path, Path | None, tuple[float, float] | None]:
    """Detections, ground truth, name, results path, picture path, image size."""
    if args.detections is None:
        from .scene import SceneParams, make_scene

        opts = {k: getattr(args, k) if getattr(args, k) is not None else d for k, d in _EXAMPLE_DEFAULTS.items()}
        if opts["people"] < 1 or opts["length"] < 1:
            raise UsageError("--people and --length must be >= 1")
        if args.gt is not None:
            raise UsageError("--gt needs a detection file; the built-in example brings its own ground truth")
        scene = make_scene(SceneParams(num_objects=opts["people"], num_frames=opts["length"], seed=opts["seed"]))
        folder = args.out / "example"
        scene.write(folder / "det.txt", folder / "gt.txt")
        print(
            f"{PROG}: built-in example: {opts['length']} frames, {opts['people']} people in view (seed {opts['seed']}); "
            f"scene written to {folder / 'det.txt'} and {folder / 'gt.txt'}"
        )
        results = args.output or folder / "results.txt"
        picture = args.plot or folder / "trajectories.png"
        size = (float(scene.params.width), float(scene.params.height))
        return scene.detections, scene.ground_truth, "example", results, picture, size
    if any(getattr(args, k) is not None for k in _EXAMPLE_DEFAULTS):
        raise UsageError("--seed, --people and --length apply only to the built-in example (no detection file)")
    dets = read_detections(args.detections)
    gt = read_ground_truth(args.gt) if args.gt is not None else None
    name = _sequence_name(args.detections)
    results = args.output or args.out / f"{name}.txt"
    if results.resolve() == args.detections.resolve() or (args.gt is not None and results.resolve() == args.gt.resolve()):
        raise UsageError(f"results file {results} would overwrite an input file")
    return dets, gt, name, results, args.plot, None


def run(args: argparse.Namespace) -> int:
    options = {name: getattr(args, name) for name, *_ in CONFIG_FIELDS}
    if args.gt is not None or args.detections is None:
        _require("motmetrics", "--gt" if args.gt is not None else "the built-in example")
    if args.plot is not None or args.detections is None:
        _require("matplotlib", "--plot" if args.plot is not None else "the built-in example")
    animation = args.render if args.render is not None or args.detections is not None else args.out / "example" / "tracks.gif"
    if animation is not None:
        _require("PIL", "--render" if args.render is not None else "the built-in example")
        try:
            check_target(animation)
        except ValueError as exc:
            raise UsageError(str(exc)) from None
    try:
        config = make_config(options)
    except (ValueError, TypeError) as exc:
        raise UsageError(f"invalid tracker configuration: {exc}") from None

    dets, gt, name, results_path, picture, size = _inputs(args)

    scale = args.score_scale
    top = float(dets.scores.max()) if len(dets) else 0.0
    if scale == "auto":
        scale = top if top > 1.0 else 1.0
    elif scale == 1.0 and top > 1.0:
        print(f"{PROG}: note: scores reach {top:g}, above the [0, 1] of the thresholds; see --score-scale", file=sys.stderr)

    last = max(dets.max_frame, gt.max_frame if gt is not None else 0)
    first, stop = 1, last
    if args.frames is not None:
        first = args.frames[0] or 1
        stop = args.frames[1] if args.frames[1] is not None else last
    frames = range(first, stop + 1)
    show = args.progress if args.progress is not None else (sys.stderr.isatty() and len(frames) >= 100)

    try:
        run_ = track_table(dets, frames, config, score_scale=float(scale), progress=Progress(len(frames), show))
    except (ValueError, RuntimeError) as exc:
        print(f"{PROG}: error: tracking failed: {exc}", file=sys.stderr)
        return EXIT_FAILED
    write_atomic(results_path, format_results(run_.results))
    print(
        f"{name}: {run_.frames} frames, {run_.detections} detections, {run_.tracks} tracks, "
        f"{len(run_.results)} result rows -> {results_path}"
    )
    print(f"{name}: tracking {run_.fps:.1f} fps ({run_.update_seconds:.3f} s in ByteTracker.update)")

    if gt is not None:
        from .evaluate import evaluate, render

        metrics = evaluate(gt, run_.results, frames)
        print(render(metrics, name))
    if picture is not None:
        from .plot import plot_trajectories

        plot_trajectories(picture, run_.results, gt, title=f"{name}: tracks", image_size=size)
        print(f"{name}: trajectories -> {picture}")
    if animation is not None:
        from .render import draw_run

        line = draw_run(
            animation, run_.results, frames, detection_file=args.detections, detections=dets, image_size=size,
            progress=Progress(len(frames), show, label="drawing"),
        )  # fmt: skip
        print(f"{name}: tracks drawn, {line}")
    return 0


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return run(args)
    except (InputError, UsageError) as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except OSError as exc:  # writing the outputs
        where = f" {exc.filename}" if exc.filename else ""
        print(f"{PROG}: error: cannot write{where}: {exc.strerror or exc}", file=sys.stderr)
        return EXIT_FAILED
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
