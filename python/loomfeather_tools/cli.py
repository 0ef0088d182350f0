"""``loomfeather-track``: track MOTChallenge detections (a file, a sequence
folder, whole benchmark splits, or with no input a built-in synthetic scene),
write the results, evaluate them and, for sweeps, rank the configurations.

Everything is checked before anything is written: options, inputs, and every
output path (never an input, never another output of the run, never a device,
FIFO or folder). Errors are one line. Exit status: 0 when every run was done
and written; 1 when a run failed while running or writing (the others were
still done); 2 for bad arguments, or when an input or a configuration was
refused (the other runs were still done); 130 after an interrupt; 141, quietly,
when standard output was closed (``loomfeather-track ... | head``). The
tracking, evaluation and sweep machinery is in :mod:`.runner`, :mod:`.summary`
and :mod:`.sweep`."""

from __future__ import annotations

import argparse
import dataclasses
import importlib.util
import itertools
import os
import re
import sys
import time
from pathlib import Path
from typing import Any, NoReturn, TextIO

from . import __version__
from .motio import FRAME_MAX, InputError, OutputError, check_output, same_file, write_atomic
from .presets import DEFAULT, PRESETS, Preset
from .runner import ENGINES, FAILED, REFUSED, Plan, Run, RunOptions, RunResult, default_jobs, execute, make_batches, make_engine, run_batch
from .scores import ScoreScale
from .sequences import SequenceInfo, detection_file, resolve_inputs
from .summary import METRICS, render_table, table_rows, write_summaries
from .sweep import Entry, GridError, Setting, expand_grid, leaderboard_csv, option_args, parse_grid, rank, render_leaderboard
from .track import CONFIG_FIELDS, Progress, make_config

PROG = "loomfeather-track"
EXIT_OK = 0
EXIT_FAILED = 1  # a run failed while running or writing
EXIT_BAD_INPUT = 2  # bad arguments, or an input or a configuration refused
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


def _jobs(text: str) -> int:
    return _integer(text, 1, 4096)


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


def _score_scale(text: str) -> ScoreScale:
    try:
        return ScoreScale.parse(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _flag(name: str) -> str:
    return "--" + name.replace("_", "-")


class _Formatter(argparse.HelpFormatter):
    """Keeps the line breaks of an option's help (the list of presets)."""

    def _split_lines(self, text: str, width: int) -> list[str]:
        out = []
        for part in text.split("\n"):
            indent = " " * (len(part) - len(part.lstrip()))
            lines = super()._split_lines(part, width - len(indent) - 2) if indent else super()._split_lines(part, width)
            out += [indent + ("  " if k and indent else "") + line for k, line in enumerate(lines)]
        return out


def build_parser() -> argparse.ArgumentParser:
    p = _Parser(
        prog=PROG,
        formatter_class=_Formatter,
        description=(
            "Track MOTChallenge detections with loomfeather_cpp's ByteTracker, write MOTChallenge results files and "
            "evaluate them (HOTA, CLEAR, Identity). Takes detection files, sequence folders or whole benchmark splits; "
            "sequences x configurations run in parallel. Without input, runs the built-in example: a synthetic scene "
            "with ground truth, tracked, evaluated and plotted into the output folder."
        ),
    )
    p.add_argument(
        "inputs",
        nargs="*",
        type=Path,
        metavar="INPUT",
        help="a detection file (frame,id,x,y,w,h,score,...), a sequence folder (<seq>/det/det.txt, with gt/gt.txt and "
        "seqinfo.ini when present) or a split folder of sequence folders; several may be given",
    )
    p.add_argument("--out", type=Path, default=Path("out"), help="output folder (default: %(default)s)")
    p.add_argument(
        "-o", "--output", type=Path, help="results file of a single run, '-' for standard output (default: OUT/<sequence>.txt)"
    )
    p.add_argument("--gt", type=Path, help="ground truth of a single detection file (sequence folders bring their own)")
    p.add_argument(
        "--gt-format",
        choices=("auto", "2015", "2017"),
        default="auto",
        help="ground-truth format: 2015 (frame,id,x,y,w,h,conf,x,y,z), 2017 (frame,id,x,y,w,h,flag,class,visibility), "
        "or auto: told from the columns, 10 for 2015, 9 for 2017 (default: %(default)s)",
    )
    p.add_argument(
        "--plot", type=Path, metavar="FILE.png", help="draw the trajectories of a single run; format from the extension (needs matplotlib)"
    )
    p.add_argument(
        "--render",
        type=Path,
        metavar="FILE.gif",
        help="animated picture of a single run's tracks over the sequence's img1/ images, or a blank canvas without "
        "them (needs Pillow)",
    )
    p.add_argument(
        "--preset",
        choices=list(PRESETS),
        default=DEFAULT,
        metavar="NAME",
        help="start from a named configuration and its score normalisation; tracker options and --score-scale "
        "given beside it override its values (default: %(default)s):\n"
        + "\n".join(f"  {name}: {p.description}" for name, p in PRESETS.items()),
    )
    p.add_argument(
        "--score-scale",
        type=_score_scale,
        metavar="S|auto|pQ|rank",
        help="normalise scores for the thresholds in [0, 1]: divide them by S, by each file's highest score when "
        "above 1 (auto) or by its Q-th percentile score (pQ, Q from 50 to 100, e.g. p99), or replace each by the "
        "fraction of the file's scores at or below it (rank); results keep the file's scale (default: the preset's; "
        "1, scores as given, for the default)",
    )
    p.add_argument("--frames", type=_frame_range, metavar="FIRST:LAST", help="track only these frames (1-based, inclusive)")
    p.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None, help="progress bar on stderr (default: on a terminal)")
    p.add_argument("--version", action="version", version=f"%(prog)s {__version__}")

    run = p.add_argument_group("several sequences and configurations")
    run.add_argument("--jobs", "-j", type=_jobs, metavar="N", help=f"worker processes (default: every core, {default_jobs()} here)")
    run.add_argument(
        "--engine",
        choices=ENGINES,
        help="where the runs go: a local process pool (processes, the default), Dask distributed (dask: a local "
        "cluster of --jobs workers, or the scheduler at --address), or this process (serial)",
    )
    run.add_argument("--address", metavar="ADDRESS", help="a running Dask scheduler to use, e.g. tcp://10.0.0.5:8786 (implies --engine dask)")
    run.add_argument(
        "--grid",
        nargs="+",
        action="extend",
        metavar="FIELD=V1,V2",
        help="sweep: run every combination of these TrackerConfig values (booleans as true/false/on/off), each "
        "into OUT/<setting>/, and rank them in OUT/leaderboard.csv",
    )
    run.add_argument(
        "--rank-by",
        default="HOTA",
        choices=METRICS,
        metavar="METRIC",
        help="leaderboard metric, combined over every evaluated sequence of every input (default: %(default)s)",
    )

    ex = p.add_argument_group("built-in example (no input)")
    ex.add_argument("--seed", type=_seed, help=f"scene seed (default {_EXAMPLE_DEFAULTS['seed']})")
    ex.add_argument("--people", type=_int32, help=f"people in view at once (default {_EXAMPLE_DEFAULTS['people']})")
    ex.add_argument("--length", type=_int32, help=f"frames (default {_EXAMPLE_DEFAULTS['length']})")

    cfg = p.add_argument_group("tracker configuration (loomfeather_cpp.TrackerConfig, same names and defaults)")
    # Defaults are None, so that an option given explicitly is told from one
    # left to the preset; the help shows TrackerConfig's own default.
    for name, kind, default, text in CONFIG_FIELDS:
        if kind is bool:
            cfg.add_argument(
                _flag(name), dest=name, action=argparse.BooleanOptionalAction, default=None, help=f"{text} (default: {'on' if default else 'off'})"
            )
        else:
            cfg.add_argument(
                _flag(name),
                dest=name,
                type=_int32 if kind is int else kind,
                default=None,
                metavar=kind.__name__.upper(),
                help=f"{text} (default: {default})",
            )
    return p


def explicit_options(args: argparse.Namespace) -> dict[str, Any]:
    """The TrackerConfig options given on the command line."""
    return {name: getattr(args, name) for name, *_ in CONFIG_FIELDS if getattr(args, name, None) is not None}


def resolve_options(args: argparse.Namespace) -> tuple[Preset, dict[str, Any], ScoreScale]:
    """The preset, every TrackerConfig argument (the preset's, overridden by
    the options given) and the score normalisation of a command line."""
    preset = PRESETS[args.preset]
    scale = args.score_scale if args.score_scale is not None else preset.score_scale
    return preset, {**preset.options, **explicit_options(args)}, scale


def _require(module: str, option: str, extra: str = "tools") -> None:
    if importlib.util.find_spec(module) is None:
        raise UsageError(f"{option} needs {module}: pip install 'loomfeather_cpp[{extra}]'")


def _refusal(options: dict[str, Any], flags: bool) -> tuple[str, bool] | None:
    """Why the tracker refuses these settings, in the user's terms (option
    flags, or the grid's field names), and whether it is a field loomfeather_cpp
    does not implement; None when it takes them."""
    defaults = {name: default for name, _, default, _ in CONFIG_FIELDS}
    for name, what in _UNSUPPORTED.items():
        if options[name] != defaults[name] and not (name == "w_ocm" and options[name] < 0):
            leave = "at 0" if name == "w_ocm" else "off"
            return f"{_flag(name) if flags else name} is not supported by loomfeather_cpp ({what}); leave it {leave}", True
    try:
        make_config(options)
    except (ValueError, TypeError) as exc:
        message = str(exc).splitlines()[0]
        if flags:
            for name in options:
                message = re.sub(rf"\b{name}\b", _flag(name), message)
        return message, False
    return None


# ------------------------------------------------------------------ planning


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


def _example(args: argparse.Namespace, animation: Path | None) -> tuple[SequenceInfo, Path | None, Path]:
    """The built-in scene written to OUT/example: the sequence, its results
    file (None: standard output) and its picture."""
    from .scene import SceneParams, make_scene

    opts = {k: getattr(args, k) if getattr(args, k) is not None else d for k, d in _EXAMPLE_DEFAULTS.items()}
    if opts["people"] < 1 or opts["length"] < 1:
        raise UsageError("--people and --length must be >= 1")
    if args.gt is not None:
        raise UsageError("--gt needs a detection file; the built-in example brings its own ground truth")
    if args.grid:
        raise UsageError("--grid needs inputs; the built-in example runs one configuration")
    folder = args.out / "example"
    results = None if str(args.output) == _STDOUT else (args.output or folder / "results.txt")
    picture = args.plot or folder / "trajectories.png"
    scene_det, scene_gt = folder / "det.txt", folder / "gt.txt"
    _check_paths(
        {
            "example detections": scene_det,
            "example ground truth": scene_gt,
            "results file": results,
            "--plot": picture,
            "--render": animation,
        },
        {},
    )
    scene = make_scene(SceneParams(num_objects=opts["people"], num_frames=opts["length"], seed=opts["seed"]))
    scene.write(scene_det, scene_gt)
    print(
        f"{PROG}: built-in example: {opts['length']} frames, {opts['people']} people in view (seed {opts['seed']}); "
        f"scene written to {scene_det} and {scene_gt}",
        file=sys.stderr if results is None else sys.stdout,
    )
    seq = SequenceInfo(
        name="example",
        det=scene_det,
        gt=scene_gt,
        length=opts["length"],
        image_size=(float(scene.params.width), float(scene.params.height)),
        gt_format="2017",
    )
    return seq, results, picture


def _settings(args: argparse.Namespace, base: dict[str, Any]) -> list[Setting]:
    if not args.grid:
        return [Setting(name="default", overrides=(), options=base)]
    try:
        grid = parse_grid(args.grid)
    except GridError as exc:
        raise UsageError(str(exc)) from None
    given = explicit_options(args)
    for name, _ in grid:
        if name in given:
            raise UsageError(f"{name} is given both as {_flag(name)} and in --grid")
    return expand_grid(grid, base)


def _inputs_of(sequences: list[SequenceInfo]) -> dict[str, Path | None]:
    found: dict[str, Path | None] = {}
    for s in sequences:
        found[f"detection file of {s.label}"] = s.det
        found[f"ground truth of {s.label}"] = s.gt
        found[f"seqinfo of {s.label}"] = s.seqinfo_path
    return found


def run(args: argparse.Namespace) -> int:
    _, base, scale = resolve_options(args)
    engine_name = args.engine or ("dask" if args.address else "processes")
    if args.address and engine_name != "dask":
        raise UsageError("--address names a Dask scheduler: it goes with --engine dask")
    if engine_name == "dask":
        _require("distributed", "--engine dask", "dask")
    grid = bool(args.grid)
    settings = _settings(args, base)
    if not grid and (why := _refusal(base, flags=True)) is not None:
        message, unsupported = why
        raise UsageError(message if unsupported else f"invalid tracker configuration: {message}")
    if args.plot is not None:
        _require("matplotlib", "--plot")
        from .plot import picture_format

        try:
            picture_format(args.plot)
        except ValueError as exc:
            raise UsageError(f"--plot {args.plot}: {exc}") from None
    animation = args.render if args.render is not None or args.inputs else args.out / "example" / "tracks.gif"
    if animation is not None:
        _require("PIL", "--render" if args.render is not None else "the built-in example", "tools")
        from .render import check_target

        try:
            check_target(animation)
        except ValueError as exc:
            raise UsageError(str(exc)) from None

    if not args.inputs:
        _require("matplotlib", "the built-in example")
        seq, results, picture = _example(args, animation)
        plan = Plan(sequences=(seq,), configs=(base,), runs=(Run(0, 0, results),), options=RunOptions(score_scale=scale, keep_results=True))
        return _run_single(args, plan, picture, animation, _summary_folder(args, seq, results))

    if any(getattr(args, k) is not None for k in _EXAMPLE_DEFAULTS):
        raise UsageError("--seed, --people and --length apply only to the built-in example (no input)")
    if args.gt is not None:
        if len(args.inputs) != 1 or not args.inputs[0].is_file():
            raise UsageError("--gt goes with a single detection file; sequence folders bring their own gt/gt.txt")
        sequences = [detection_file(args.inputs[0], gt=args.gt)]
    else:
        sequences = resolve_inputs(args.inputs)
    if args.gt_format != "auto":
        sequences = [dataclasses.replace(s, gt_format=args.gt_format) for s in sequences]
    single = len(sequences) == 1 and not grid
    if not single and (args.output is not None or args.plot is not None or args.render is not None):
        raise UsageError("-o/--output, --plot and --render take a single sequence and configuration; several go to --out")
    if args.frames is not None and args.frames[1] is not None:
        for s in sequences:
            if s.seqinfo is not None and args.frames[1] > s.seqinfo.seq_length:
                raise UsageError(
                    f"--frames: frame {args.frames[1]} is past the end of the sequence ({s.seqinfo.seq_length} frames in {s.seqinfo.path})"
                )

    inputs = _inputs_of(sequences)
    if single:
        seq = sequences[0]
        results = None if str(args.output) == _STDOUT else (args.output or args.out / f"{seq.name}.txt")
        _check_paths(
            {"results file": results, "--plot": args.plot, "--render": args.render},
            {"detection file": seq.det, "ground truth (--gt)": seq.gt, "seqinfo": seq.seqinfo_path},
        )
        keep = args.plot is not None or args.render is not None
        options = RunOptions(score_scale=scale, frames=args.frames, keep_results=keep)
        plan = Plan(sequences=(seq,), configs=(base,), runs=(Run(0, 0, results),), options=options)
        return _run_single(args, plan, args.plot, args.render, _summary_folder(args, seq, results))

    # Configurations the tracker refuses fail here, once each; the others run.
    refused = {k: why[0] for k, s in enumerate(settings) if (why := _refusal(s.options, flags=False)) is not None}
    runs = []
    outputs: dict[str, Path | None] = {}
    for k, s in enumerate(settings):
        folder = args.out / s.name if grid else args.out
        outputs[f"summary of {s.name}"] = folder / "summary.json"
        if k in refused:
            continue
        for i, seq in enumerate(sequences):
            runs.append(Run(seq=i, cfg=k, output=folder / (seq.split or "") / f"{seq.name}.txt"))
    if grid:
        outputs["leaderboard"] = args.out / "leaderboard.csv"
    _check_paths(outputs, inputs)  # the summaries and leaderboard: cheap, and pairwise
    for run_ in runs:  # results files are distinct by construction: check each against the inputs only
        _check_paths({"results file": run_.output}, inputs)
    options = RunOptions(score_scale=scale, frames=args.frames)
    plan = Plan(sequences=tuple(sequences), configs=tuple(s.options for s in settings), runs=tuple(runs), options=options)
    return _run_many(args, plan, settings, refused, engine_name)


# ------------------------------------------------------------------ one run


def _summary_folder(args: argparse.Namespace, seq: SequenceInfo, results: Path | None) -> Path | None:
    """Where a single run's summaries go: beside its results in the output
    folder, unless the results file was named (-o) or there is nothing to
    evaluate. Checked before anything is written."""
    if args.output is not None or results is None or seq.gt is None:
        return None
    folder = results.parent
    _check_paths({"summary": folder / "summary.json", "summary table": folder / "summary.csv"}, _inputs_of([seq]))
    return folder


def _score_notes(rule: ScoreScale, res: RunResult, options: dict[str, Any], prefix: str = "") -> None:
    """The hint for scores above 1, and the warning when the scale leaves
    nothing the tracker can use."""
    scale = res.scale
    if rule.is_identity and res.top_score > 1.0:
        print(f"{PROG}: note: {prefix}scores reach {res.top_score:g}, above the [0, 1] of the thresholds; see --score-scale and --preset unbounded", file=sys.stderr)
    if res.top_score > 0 and scale != 1.0 and rule.kind != "rank":  # a rank normalisation puts the highest at 1
        scaled = res.top_scaled
        if scaled < options["low_score_thresh"]:
            print(
                f"{PROG}: warning: {prefix}divided by --score-scale {scale:g}, the highest score is {scaled:.4g}, below "
                f"--low-score-thresh {options['low_score_thresh']:g}: every detection will be ignored",
                file=sys.stderr,
            )
        elif scaled < options["new_track_thresh"]:
            print(
                f"{PROG}: warning: {prefix}divided by --score-scale {scale:g}, the highest score is {scaled:.4g}, below "
                f"--new-track-thresh {options['new_track_thresh']:g}: no track can start",
                file=sys.stderr,
            )


def _run_single(
    args: argparse.Namespace, plan: Plan, picture: Path | None, animation: Path | None, summaries: Path | None
) -> int:
    """One sequence, one configuration: in this process, with a progress bar
    counting frames, and the run's own report."""
    seq, run_ = plan.sequences[0], plan.runs[0]
    info: TextIO = sys.stderr if run_.output is None else sys.stdout  # keep standard output for the results
    progress = Progress(1, args.progress if args.progress is not None else sys.stderr.isatty())
    (res,) = run_batch(make_batches(plan, 1)[0], progress=progress)
    progress.close()
    if res.ok or res.kind == FAILED:
        _score_notes(ScoreScale.parse(plan.options.score_scale), res, plan.configs[0])
    if not res.ok:
        print(f"{PROG}: error: {res.error}", file=sys.stderr)
        return EXIT_BAD_INPUT if res.kind == REFUSED else EXIT_FAILED
    if run_.output is None:
        sys.stdout.buffer.write(res.text or b"")
        sys.stdout.flush()
    name = seq.label
    where = "standard output" if run_.output is None else run_.output
    length = f" (length from {seq.seqinfo.path})" if seq.seqinfo is not None else ""
    print(
        f"{name}: {res.frames} frames{length}, {res.detections} detections, {res.tracks} tracks, {res.rows} result rows -> {where}",
        file=info,
    )
    if res.update_seconds > 0:
        print(f"{name}: tracking {res.updates / res.update_seconds:.1f} fps ({res.update_seconds:.3f} s in ByteTracker.update)", file=info)
    else:
        print(f"{name}: tracking not timed: no detections in these frames", file=info)
    if res.evaluation is not None:
        print(render_table([(name, res.evaluation.metrics)]), file=info)
        if summaries is not None:
            write_summaries(summaries, [seq], [res])
    if picture is not None:
        from .motio import MotTable, read_ground_truth
        from .plot import plot_trajectories

        frames, ids, ltwh, scores = res.results
        gt_rows = read_ground_truth(seq.gt, seq.gt_format).counted() if seq.gt is not None else None
        title = f"{name}: tracks"
        plot_trajectories(picture, MotTable.build(frames, ids, ltwh, scores), gt_rows, title=title, image_size=seq.image_size)
        print(f"{name}: trajectories -> {picture}", file=info)
    if animation is not None:
        from .motio import MotTable, read_detections
        from .render import draw_run

        frames, ids, ltwh, scores = res.results
        first = (args.frames[0] or 1) if args.frames is not None else 1
        # Without an image size, a blank canvas spans the detections too.
        detections = read_detections(seq.det) if seq.image_size is None else None
        show = args.progress if args.progress is not None else sys.stderr.isatty()
        line = draw_run(
            animation, MotTable.build(frames, ids, ltwh, scores), range(first, first + res.frames),
            detection_file=seq.det if args.inputs else None, detections=detections, image_size=seq.image_size,
            progress=Progress(res.frames, show, label="drawing"),
        )  # fmt: skip
        print(f"{name}: tracks drawn, {line}", file=info)
    info.flush()
    return EXIT_OK


# ------------------------------------------------------------------ many runs


def _base_args(args: argparse.Namespace) -> list[str]:
    """The options besides the tracker's fields that shape the results: the
    preset, and the score normalisation and frames when given."""
    out = []
    if args.preset != DEFAULT:
        out += ["--preset", args.preset]
    if args.score_scale is not None and args.score_scale != PRESETS[args.preset].score_scale:
        out += ["--score-scale", str(args.score_scale)]
    if args.frames is not None:
        lo, hi = args.frames
        out += ["--frames", f"{lo or ''}:{hi or ''}"]
    return out


def _run_many(args: argparse.Namespace, plan: Plan, settings: list[Setting], refused: dict[int, str], engine_name: str) -> int:
    sequences = list(plan.sequences)
    grid = bool(args.grid)
    total = len(plan.runs)
    for k, why in refused.items():
        print(f"{PROG}: error: configuration {settings[k].name} refused: {why}", file=sys.stderr)

    jobs = args.jobs or default_jobs()
    start = time.perf_counter()
    batches = make_batches(plan, 1 if engine_name == "serial" else jobs)
    try:
        engine = make_engine(engine_name, jobs, args.address, batches=len(batches))
    except (RuntimeError, OSError, ValueError) as exc:
        print(f"{PROG}: error: cannot start the {engine_name} engine: {' '.join(str(exc).split())}", file=sys.stderr)
        return EXIT_FAILED
    if engine.name == "dask" and engine.workers != jobs:  # a running cluster: its own size
        batches = make_batches(plan, engine.workers)
    progress = Progress(total, args.progress if args.progress is not None else sys.stderr.isatty(), unit="runs")
    failures = 0

    def on_result(res: RunResult) -> None:
        nonlocal failures
        if not res.ok:
            failures += 1
            progress.note = f"{failures} failed"
            where = sequences[res.seq].label + (f" [{settings[res.cfg].name}]" if grid else "")
            progress.message(f"{PROG}: error: {where}: {res.error}")
        progress.advance()

    try:
        results = execute(plan, engine, batches, on_result)
    except KeyboardInterrupt:
        progress.close()
        print(
            f"{PROG}: interrupted: {progress.done} of {total} runs finished; results files are written whole or not at all; "
            "no summary written",
            file=sys.stderr,
        )
        return EXIT_INTERRUPTED
    finally:
        try:
            engine.close()
        except Exception:  # noqa: BLE001 - closing a broken cluster must not hide the outcome
            pass
    progress.close()
    elapsed = time.perf_counter() - start
    noted = set()
    for r in results:
        if r is not None and r.seq not in noted and (r.ok or r.kind == FAILED):
            noted.add(r.seq)
            _score_notes(ScoreScale.parse(plan.options.score_scale), r, plan.configs[r.cfg], prefix=f"{sequences[r.seq].label}: ")

    by_cfg: dict[int, list[RunResult | None]] = {}
    for run_, res in zip(plan.runs, results):
        by_cfg.setdefault(run_.cfg, [None] * len(sequences))[run_.seq] = res
    entries = []
    for k, s in enumerate(settings):
        folder = args.out / s.name if grid else args.out
        cfg_results = by_cfg.get(k, [None] * len(sequences))
        combined = write_summaries(folder, sequences, cfg_results) if k not in refused else None
        if not grid:
            _print_many(sequences, cfg_results)
        failed = len(sequences) if k in refused else sum(1 for r in cfg_results if r is None or not r.ok)
        command = [PROG, *map(str, args.inputs), "--out", str(folder), *_base_args(args), *option_args(s.options, PRESETS[args.preset].options)]
        entries.append(Entry(setting=s, metrics=combined, runs=len(sequences), failed=failed, command=command))
    if grid:
        fields = [f for f, _ in settings[0].overrides]
        ranked = rank(entries, args.rank_by)
        write_atomic(args.out / "leaderboard.csv", leaderboard_csv(ranked, fields))
        print(render_leaderboard(ranked, fields, args.rank_by))
        print(f"leaderboard -> {args.out / 'leaderboard.csv'}")

    done = [r for r in results if r is not None]
    ok = sum(1 for r in done if r.ok)
    n_refused = len(refused) * len(sequences) + sum(1 for r in done if r.kind == REFUSED)
    n_failed = sum(1 for r in done if r.kind == FAILED)
    rate = ok / elapsed if elapsed > 0 else float("inf")
    what = f"{len(sequences)} sequences x {len(settings)} configurations" if grid else f"{len(sequences)} sequences"
    workers = f"{engine.workers} {'worker' if engine.workers == 1 else 'workers'}"
    print(
        f"{PROG}: {ok} of {len(sequences) * len(settings)} runs done ({what}) in {elapsed:.1f} s, {rate:.1f} runs/s "
        f"on {engine.name} ({workers}); results -> {args.out}" + (f"; {n_refused + n_failed} failed" if n_refused + n_failed else "")
    )
    if n_failed:
        return EXIT_FAILED
    return EXIT_BAD_INPUT if n_refused else EXIT_OK


def _print_many(sequences: list[SequenceInfo], results: list[RunResult | None]) -> None:
    rows = table_rows(sequences, results)
    if rows:
        print(render_table(rows))
    for s, r in zip(sequences, results):
        if r is not None and r.ok and r.evaluation is None:
            print(f"{s.label}: {r.frames} frames, {r.detections} detections, {r.tracks} tracks, {r.rows} result rows (no ground truth)")


# ------------------------------------------------------------------ entry


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
        print(f"\n{PROG}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED


if __name__ == "__main__":
    sys.exit(main())
