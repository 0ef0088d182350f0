"""``loomfeather-track``: track a MOTChallenge detection file (or, with no file,
a built-in synthetic scene), write the results, evaluate and plot them.

Everything is checked before anything is written: options, inputs, and every
output path (never an input, never another output of the run, never a device,
FIFO or folder). Errors are one line; bad input and refused options exit with
2, failures while writing with 1, an interrupt with 130, and a closed standard
output (``loomfeather-track ... | head``) quietly with 141."""

from __future__ import annotations

import argparse
import importlib.util
import itertools
import os
import re
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Any, NoReturn, TextIO

from . import __version__
from .motio import (
    FRAME_MAX,
    GroundTruth,
    InputError,
    MotTable,
    OutputError,
    SeqInfo,
    check_output,
    format_results,
    read_detections,
    read_ground_truth,
    read_seqinfo,
    same_file,
    write_atomic,
)
from .track import CONFIG_FIELDS, Progress, make_config, track_table

PROG = "loomfeather-track"
EXIT_BAD_INPUT = 2
EXIT_FAILED = 1
EXIT_INTERRUPTED = 130
EXIT_BROKEN_PIPE = 141  # 128 + SIGPIPE, what a shell reports for a tool killed by it
_EXAMPLE_DEFAULTS = {"seed": 0, "people": 12, "length": 600}
_INT32_MAX = 2**31 - 1
# Fields TrackerConfig accepts but loomfeather_cpp does not implement, with
# what they would switch on.
_UNSUPPORTED = {"use_gmc": "global motion compensation", "use_oru": "OC-SORT re-update", "w_ocm": "OC-SORT momentum"}
_STDOUT = "-"


class UsageError(Exception):
    """Bad arguments or input: reported as one line, exit status 2."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line, like every other error of the command (no usage block).
        self.exit(EXIT_BAD_INPUT, f"{self.prog}: error: {message} (see --help)\n")


def _integer(text: str, lo: int, hi: int) -> int:
    if not re.fullmatch(r"\s*[+-]?[0-9]+\s*", text):
        raise argparse.ArgumentTypeError(f"expected an integer, got {text!r}")
    v = int(text)
    if not lo <= v <= hi:
        raise argparse.ArgumentTypeError(f"{text.strip()} is out of range ({lo} to {hi})")
    return v


def _int32(text: str) -> int:
    return _integer(text, -_INT32_MAX - 1, _INT32_MAX)


def _seed(text: str) -> int:
    return _integer(text, 0, 2**63 - 1)


def _frame_range(text: str) -> tuple[int | None, int | None]:
    first, sep, last = text.partition(":")
    try:
        lo = _integer(first, 1, FRAME_MAX) if first.strip() else None
        hi = _integer(last, 1, FRAME_MAX) if sep and last.strip() else (lo if not sep else None)
    except argparse.ArgumentTypeError:
        raise argparse.ArgumentTypeError(f"expected FIRST:LAST (1 to {FRAME_MAX}, inclusive), got {text!r}") from None
    if lo is not None and hi is not None and hi < lo:
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


def _flag(name: str) -> str:
    return "--" + name.replace("_", "-")


def build_parser() -> argparse.ArgumentParser:
    p = _Parser(
        prog=PROG,
        description=(
            "Track the detections of a MOTChallenge det.txt file with loomfeather_cpp's ByteTracker and write a "
            "MOTChallenge results file. Without a file, runs the built-in example: a synthetic scene with ground "
            "truth, tracked, evaluated and plotted into the output folder."
        ),
    )
    p.add_argument("detections", nargs="?", type=Path, help="MOTChallenge detections: frame,id,x,y,w,h,score,...")
    p.add_argument("--out", type=Path, default=Path("out"), help="output folder (default: %(default)s)")
    p.add_argument("-o", "--output", type=Path, help="results file, '-' for standard output (default: OUT/<sequence>.txt)")
    p.add_argument("--gt", type=Path, help="MOTChallenge ground truth to evaluate against (needs motmetrics)")
    p.add_argument(
        "--plot", type=Path, metavar="FILE.png", help="draw the trajectories; format from the extension (needs matplotlib)"
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
    ex.add_argument("--seed", type=_seed, help=f"scene seed (default {_EXAMPLE_DEFAULTS['seed']})")
    ex.add_argument("--people", type=_int32, help=f"people in view at once (default {_EXAMPLE_DEFAULTS['people']})")
    ex.add_argument("--length", type=_int32, help=f"frames (default {_EXAMPLE_DEFAULTS['length']})")

    cfg = p.add_argument_group("tracker configuration (loomfeather_cpp.TrackerConfig, same names and defaults)")
    for name, kind, default, text in CONFIG_FIELDS:
        if kind is bool:
            cfg.add_argument(
                _flag(name), dest=name, action=argparse.BooleanOptionalAction, default=default, help=f"{text} (default: {'on' if default else 'off'})"
            )
        else:
            cfg.add_argument(
                _flag(name),
                dest=name,
                type=_int32 if kind is int else kind,
                default=default,
                metavar=kind.__name__.upper(),
                help=f"{text} (default: %(default)s)",
            )
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


def _seqinfo_beside(detections: Path) -> Path | None:
    """``<seq>/seqinfo.ini`` for ``<seq>/det/<file>``, when it exists."""
    folder = detections.parent
    if folder.name != "det":
        return None
    ini = folder.parent / "seqinfo.ini"
    return ini if ini.is_file() else None


def _require(module: str, option: str) -> None:
    if importlib.util.find_spec(module) is None:
        raise UsageError(f"{option} needs {module}: pip install 'loomfeather_cpp[tools]'")


def _config(args: argparse.Namespace) -> Any:
    """The TrackerConfig of the options, refusals worded in the options' terms."""
    options = {name: getattr(args, name) for name, *_ in CONFIG_FIELDS}
    defaults = {name: default for name, _, default, _ in CONFIG_FIELDS}
    for name, what in _UNSUPPORTED.items():
        if options[name] != defaults[name] and not (name == "w_ocm" and options[name] < 0):
            leave = "at 0" if name == "w_ocm" else "off"
            raise UsageError(f"{_flag(name)} is not supported by loomfeather_cpp ({what}); leave it {leave}")
    try:
        return make_config(options)
    except (ValueError, TypeError) as exc:
        message = str(exc).splitlines()[0]
        for name in options:
            message = re.sub(rf"\b{name}\b", _flag(name), message)
        raise UsageError(f"invalid tracker configuration: {message}") from None


@dataclass
class _Plan:
    """What a run reads and writes, every path checked before any is written."""

    name: str
    results: Path | None  # None: standard output
    picture: Path | None
    image_size: tuple[float, float] | None = None
    detections: MotTable | None = None
    gt: GroundTruth | MotTable | None = None
    seqinfo: SeqInfo | None = None


def _check_paths(outputs: dict[str, Path | None], inputs: dict[str, Path | None]) -> None:
    """Refuse an output that cannot be written, that is one of the inputs, or
    that another output of the run would also write."""
    named = [(what, p) for what, p in outputs.items() if p is not None]
    for what, path in named:
        try:
            check_output(path)
        except OutputError as exc:
            raise UsageError(str(exc)) from None
        for source, given in inputs.items():
            if given is not None and same_file(path, given):
                raise UsageError(f"{what} {path} would overwrite the {source}")
    for (a, pa), (b, pb) in itertools.combinations(named, 2):
        if same_file(pa, pb):
            raise UsageError(f"{b} {pb} is the same file as {a} {pa}")


def _plan_example(args: argparse.Namespace) -> _Plan:
    from .scene import SceneParams, make_scene

    opts = {k: getattr(args, k) if getattr(args, k) is not None else d for k, d in _EXAMPLE_DEFAULTS.items()}
    if opts["people"] < 1 or opts["length"] < 1:
        raise UsageError("--people and --length must be >= 1")
    if args.gt is not None:
        raise UsageError("--gt needs a detection file; the built-in example brings its own ground truth")
    folder = args.out / "example"
    results = None if str(args.output) == _STDOUT else (args.output or folder / "results.txt")
    picture = args.plot or folder / "trajectories.png"
    scene_det, scene_gt = folder / "det.txt", folder / "gt.txt"
    _check_paths(
        {"example detections": scene_det, "example ground truth": scene_gt, "results file": results, "--plot": picture},
        {},
    )
    scene = make_scene(SceneParams(num_objects=opts["people"], num_frames=opts["length"], seed=opts["seed"]))
    scene.write(scene_det, scene_gt)
    print(
        f"{PROG}: built-in example: {opts['length']} frames, {opts['people']} people in view (seed {opts['seed']}); "
        f"scene written to {scene_det} and {scene_gt}",
        file=sys.stderr if results is None else sys.stdout,
    )
    size = (float(scene.params.width), float(scene.params.height))
    return _Plan("example", results, picture, size, scene.detections, scene.ground_truth)


def _plan_files(args: argparse.Namespace) -> _Plan:
    if any(getattr(args, k) is not None for k in _EXAMPLE_DEFAULTS):
        raise UsageError("--seed, --people and --length apply only to the built-in example (no detection file)")
    det = args.detections
    ini = _seqinfo_beside(det)
    name = _sequence_name(det)
    results = None if str(args.output) == _STDOUT else (args.output or args.out / f"{name}.txt")
    seqinfo = read_seqinfo(ini) if ini is not None else None
    plan = _Plan(name, results, args.plot, seqinfo=seqinfo)
    plan.detections = read_detections(det, seqinfo=seqinfo)
    plan.gt = read_ground_truth(args.gt, seqinfo=seqinfo) if args.gt is not None else None
    _check_paths(
        {"results file": results, "--plot": args.plot},
        {"detection file": det, "ground truth (--gt)": args.gt, "seqinfo": ini},
    )
    if seqinfo is not None and seqinfo.im_width and seqinfo.im_height:
        plan.image_size = (float(seqinfo.im_width), float(seqinfo.im_height))
    return plan


def _frames(args: argparse.Namespace, plan: _Plan) -> range:
    assert plan.detections is not None
    if plan.seqinfo is not None:
        last = plan.seqinfo.seq_length
    else:
        last = max(plan.detections.max_frame, plan.gt.max_frame if plan.gt is not None else 0)
    first, stop = 1, last
    if args.frames is not None:
        first = args.frames[0] or 1
        stop = args.frames[1] if args.frames[1] is not None else last
        if plan.seqinfo is not None and stop > last:
            raise UsageError(f"--frames: frame {stop} is past the end of the sequence ({last} frames in {plan.seqinfo.path})")
    return range(first, stop + 1)


def _check_ground_truth(gt: GroundTruth | MotTable, frames: range) -> None:
    """Refuse to evaluate against nothing (metrics of no ground truth are
    undefined)."""
    if not isinstance(gt, GroundTruth):
        return
    kept = gt.counted()
    if not len(gt):
        raise InputError(gt.path, None, "no ground truth to evaluate: the file has no rows")
    if not len(kept):
        raise InputError(
            gt.path, None, f"no ground truth left to evaluate: all {len(gt)} rows have flag 0 or a class other than 1 (pedestrian)"
        )
    if not ((kept.frames >= frames.start) & (kept.frames < frames.stop)).any():
        raise InputError(gt.path, None, f"no ground truth to evaluate in frames {frames.start}-{frames.stop - 1}")


def _score_scale_of(args: argparse.Namespace, dets: MotTable, config: Any) -> float:
    scale = args.score_scale
    top = float(dets.scores.max()) if len(dets) else 0.0
    if scale == "auto":
        scale = top if top > 1.0 else 1.0
    elif scale == 1.0 and top > 1.0:
        print(f"{PROG}: note: scores reach {top:g}, above the [0, 1] of the thresholds; see --score-scale", file=sys.stderr)
    if len(dets) and scale != 1.0:
        scaled = top / scale
        if scaled < config.low_score_thresh:
            print(
                f"{PROG}: warning: divided by --score-scale {scale:g}, the highest score is {scaled:.4g}, below "
                f"--low-score-thresh {config.low_score_thresh:g}: every detection will be ignored",
                file=sys.stderr,
            )
        elif scaled < config.new_track_thresh:
            print(
                f"{PROG}: warning: divided by --score-scale {scale:g}, the highest score is {scaled:.4g}, below "
                f"--new-track-thresh {config.new_track_thresh:g}: no track can start",
                file=sys.stderr,
            )
    return float(scale)


def run(args: argparse.Namespace) -> int:
    example = args.detections is None
    if args.gt is not None or example:
        _require("motmetrics", "--gt" if args.gt is not None else "the built-in example")
    if args.plot is not None or example:
        _require("matplotlib", "--plot" if args.plot is not None else "the built-in example")
    config = _config(args)
    if args.plot is not None:
        from .plot import picture_format

        try:
            picture_format(args.plot)
        except ValueError as exc:
            raise UsageError(f"--plot {args.plot}: {exc}") from None

    plan = _plan_example(args) if example else _plan_files(args)
    assert plan.detections is not None
    info: TextIO = sys.stderr if plan.results is None else sys.stdout  # keep standard output for the results
    frames = _frames(args, plan)
    if plan.gt is not None:
        _check_ground_truth(plan.gt, frames)
    scale = _score_scale_of(args, plan.detections, config)
    show = args.progress if args.progress is not None else (sys.stderr.isatty() and len(frames) >= 100)

    try:
        run_ = track_table(plan.detections, frames, config, score_scale=scale, progress=Progress(len(frames), show))
    except (ValueError, RuntimeError) as exc:
        print(f"{PROG}: error: tracking failed: {exc}", file=sys.stderr)
        return EXIT_FAILED
    text = format_results(run_.results)
    if plan.results is None:
        sys.stdout.write(text)
        sys.stdout.flush()
    else:
        write_atomic(plan.results, text)
    where = "standard output" if plan.results is None else plan.results
    length = f" (length from {plan.seqinfo.path})" if plan.seqinfo is not None else ""
    print(
        f"{plan.name}: {run_.frames} frames{length}, {run_.detections} detections, {run_.tracks} tracks, "
        f"{len(run_.results)} result rows -> {where}",
        file=info,
    )
    if run_.update_seconds > 0:
        print(f"{plan.name}: tracking {run_.fps:.1f} fps ({run_.update_seconds:.3f} s in ByteTracker.update)", file=info)
    else:
        print(f"{plan.name}: tracking not timed: no detections in these frames", file=info)

    if plan.gt is not None:
        from .evaluate import evaluate, render

        metrics = evaluate(plan.gt, run_.results, frames)
        print(render(metrics, plan.name), file=info)
    if plan.picture is not None:
        from .plot import plot_trajectories

        gt_rows = plan.gt.counted() if isinstance(plan.gt, GroundTruth) else plan.gt
        plot_trajectories(plan.picture, run_.results, gt_rows, title=f"{plan.name}: tracks", image_size=plan.image_size)
        print(f"{plan.name}: trajectories -> {plan.picture}", file=info)
    info.flush()
    return 0


def _quiet_stdout() -> None:
    """After a broken pipe: send what is still buffered for standard output
    nowhere, so that the interpreter's final flush stays silent."""
    stdout: TextIO | None = sys.stdout
    if stdout is None or id(stdout) != id(sys.__stdout__):  # a test's capture: leave it
        return
    try:
        fd = os.open(os.devnull, os.O_WRONLY)
        os.dup2(fd, stdout.fileno())
        os.close(fd)
    except (OSError, ValueError):
        pass


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return run(args)
    except (InputError, UsageError) as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except BrokenPipeError:  # the reader of standard output went away: stop quietly
        _quiet_stdout()
        return EXIT_BROKEN_PIPE
    except OSError as exc:  # writing the outputs
        if isinstance(exc, OutputError):
            print(f"{PROG}: error: {exc}", file=sys.stderr)
        else:
            where = f" {exc.filename}" if exc.filename else ""
            print(f"{PROG}: error: cannot write{where}: {exc.strerror or exc}", file=sys.stderr)
        return EXIT_FAILED
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED


if __name__ == "__main__":
    sys.exit(main())
