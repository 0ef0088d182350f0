"""``loomfeather-track``: track MOTChallenge detections (a file, a sequence
folder, whole benchmark splits, or with no input a built-in synthetic scene),
write the results, evaluate them and, for sweeps, rank the configurations."""

from __future__ import annotations

import argparse
import importlib.util
import sys
import time
from dataclasses import replace
from pathlib import Path
from typing import Any

from . import __version__
from .motio import InputError
from .runner import ENGINES, FAILED, REFUSED, Plan, Run, RunOptions, RunResult, default_jobs, execute, make_batches, make_engine, run_batch
from .sequences import SequenceInfo, resolve_inputs
from .summary import COMBINED, METRICS, combine, render_table, summary_csv, summary_json
from .sweep import Entry, GridError, Setting, expand_grid, leaderboard_csv, option_args, parse_grid, rank, render_leaderboard
from .track import CONFIG_FIELDS, Progress, make_config

PROG = "loomfeather-track"
EXIT_OK = 0
EXIT_FAILED = 1  # a run failed while running or writing
EXIT_BAD_INPUT = 2  # bad arguments, or an input or configuration refused
EXIT_INTERRUPTED = 130
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


def _positive_int(text: str) -> int:
    try:
        v = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number >= 1, got {text!r}") from None
    if v < 1:
        raise argparse.ArgumentTypeError(f"expected a whole number >= 1, got {text!r}")
    return v


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog=PROG,
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
    p.add_argument("-o", "--output", type=Path, help="results file of a single run (default: OUT/<sequence>.txt)")
    p.add_argument("--gt", type=Path, help="ground truth of a single detection file (sequence folders bring their own)")
    p.add_argument("--plot", type=Path, metavar="FILE.png", help="draw the trajectories of a single run (needs matplotlib)")
    p.add_argument(
        "--score-scale",
        type=_score_scale,
        default=1.0,
        metavar="S|auto",
        help="divide scores by S before tracking (auto: by each file's highest score when above 1), "
        "so that thresholds in [0, 1] work with any detector; results keep the file's scale",
    )
    p.add_argument("--frames", type=_frame_range, metavar="FIRST:LAST", help="track only these frames (1-based, inclusive)")
    p.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None, help="progress bar on stderr (default: on a terminal)")
    p.add_argument("--version", action="version", version=f"%(prog)s {__version__}")

    run = p.add_argument_group("several sequences and configurations")
    run.add_argument("--jobs", "-j", type=_positive_int, metavar="N", help=f"worker processes (default: every core, {default_jobs()} here)")
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


def _require(module: str, option: str, extra: str = "tools") -> None:
    if importlib.util.find_spec(module) is None:
        raise UsageError(f"{option} needs {module}: pip install 'loomfeather_cpp[{extra}]'")


# ------------------------------------------------------------------ planning


def _example(args: argparse.Namespace) -> tuple[SequenceInfo, Path, Path]:
    """The built-in scene written to OUT/example: the sequence, its results
    file and its picture."""
    from .scene import SceneParams, make_scene

    opts = {k: getattr(args, k) if getattr(args, k) is not None else d for k, d in _EXAMPLE_DEFAULTS.items()}
    if opts["people"] < 1 or opts["length"] < 1:
        raise UsageError("--people and --length must be >= 1")
    if args.gt is not None:
        raise UsageError("--gt needs a detection file; the built-in example brings its own ground truth")
    if args.grid:
        raise UsageError("--grid needs inputs; the built-in example runs one configuration")
    scene = make_scene(SceneParams(num_objects=opts["people"], num_frames=opts["length"], seed=opts["seed"]))
    folder = args.out / "example"
    scene.write(folder / "det.txt", folder / "gt.txt")
    print(
        f"{PROG}: built-in example: {opts['length']} frames, {opts['people']} people in view (seed {opts['seed']}); "
        f"scene written to {folder / 'det.txt'} and {folder / 'gt.txt'}"
    )
    seq = SequenceInfo(
        name="example",
        det=folder / "det.txt",
        gt=folder / "gt.txt",
        length=opts["length"],
        image_size=(scene.params.width, scene.params.height),
        gt_format="2017",
    )
    return seq, args.output or folder / "results.txt", args.plot or folder / "trajectories.png"


def _settings(args: argparse.Namespace, base: dict[str, Any]) -> list[Setting]:
    if not args.grid:
        return [Setting(name="default", overrides=(), options=base)]
    try:
        grid = parse_grid(args.grid)
    except GridError as exc:
        raise UsageError(str(exc)) from None
    defaults = {name: default for name, _, default, _ in CONFIG_FIELDS}
    for name, _ in grid:
        if base[name] != defaults[name]:
            flag = "--" + name.replace("_", "-")
            raise UsageError(f"{name} is given both as {flag} and in --grid")
    return expand_grid(grid, base)


def _inputs_of(sequences: list[SequenceInfo]) -> set[Path]:
    files = set()
    for s in sequences:
        for p in (s.det, s.gt, s.seqinfo_path):
            if p is not None:
                files.add(p.resolve())
    return files


# ------------------------------------------------------------------ reporting


def _print_single(res: RunResult, seq: SequenceInfo, output: Path) -> None:
    name = seq.label
    print(f"{name}: {res.frames} frames, {res.detections} detections, {res.tracks} tracks, {res.rows} result rows -> {output}")
    fps = f"{res.frames / res.update_seconds:.1f}" if res.update_seconds > 0 else "-"
    print(f"{name}: tracking {fps} fps ({res.update_seconds:.3f} s in ByteTracker.update)")
    if res.evaluation is not None:
        print(render_table([(name, res.evaluation.metrics)]))


def _write_summaries(folder: Path, sequences: list[SequenceInfo], results: list[RunResult | None]) -> dict[str, Any] | None:
    """summary.csv and summary.json of one configuration (and of each split
    in its sub-folder when there are several); the combined metrics over every
    evaluated sequence, None when none was evaluated."""
    from .motio import write_atomic

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


def _table_rows(sequences: list[SequenceInfo], results: list[RunResult | None]) -> list[tuple[str, dict[str, Any]]]:
    pairs = [(s, r) for s, r in zip(sequences, results) if r is not None and r.ok and r.evaluation is not None]
    rows = [(s.label, r.evaluation.metrics) for s, r in pairs]
    splits = sorted({s.split for s, _ in pairs if s.split})
    if len(splits) > 1:
        for split in splits:
            rows.append((f"{COMBINED} {split}", combine([r.evaluation for s, r in pairs if s.split == split])))
    if len(pairs) > 1:
        rows.append((COMBINED, combine([r.evaluation for _, r in pairs])))
    return rows


# ------------------------------------------------------------------ the command


def run(args: argparse.Namespace, argv: list[str]) -> int:
    base = {name: getattr(args, name) for name, *_ in CONFIG_FIELDS}
    engine_name = args.engine or ("dask" if args.address else "processes")
    if args.address and engine_name != "dask":
        raise UsageError("--address names a Dask scheduler: it goes with --engine dask")
    if engine_name == "dask":
        _require("distributed", "--engine dask", "dask")
    settings = _settings(args, base)
    grid = bool(args.grid)

    picture: Path | None = None
    if not args.inputs:
        _require("matplotlib", "the built-in example")
        seq, explicit_output, picture = _example(args)
        sequences = [seq]
    else:
        if any(getattr(args, k) is not None for k in _EXAMPLE_DEFAULTS):
            raise UsageError("--seed, --people and --length apply only to the built-in example (no input)")
        sequences = resolve_inputs(args.inputs)
        explicit_output, picture = args.output, args.plot
        if args.gt is not None:
            if len(args.inputs) != 1 or not args.inputs[0].is_file():
                raise UsageError("--gt goes with a single detection file; sequence folders bring their own gt/gt.txt")
            sequences = [replace(sequences[0], gt=args.gt)]
    single = len(sequences) == 1 and not grid
    if not single and (args.output is not None or args.plot is not None):
        raise UsageError("-o/--output and --plot take a single sequence and configuration; several go to --out")
    if picture is not None:
        _require("matplotlib", "--plot")

    # Configurations the tracker refuses fail here, once each.
    refused: dict[int, str] = {}
    for k, s in enumerate(settings):
        try:
            make_config(s.options)
        except (ValueError, TypeError) as exc:
            refused[k] = " ".join(str(exc).split())
    if not grid and refused:
        raise UsageError(f"invalid tracker configuration: {refused[0]}")

    runs = []
    inputs = _inputs_of(sequences)
    for k, s in enumerate(settings):
        if k in refused:
            continue
        folder = args.out / s.name if grid else args.out
        for i, seq in enumerate(sequences):
            output = explicit_output if (single and explicit_output is not None) else folder / (seq.split or "") / f"{seq.name}.txt"
            if output.resolve() in inputs or (picture is not None and output.resolve() == picture.resolve()):
                raise UsageError(f"results file {output} would overwrite an input file")
            runs.append(Run(seq=i, cfg=k, output=output))
    if picture is not None and picture.resolve() in inputs:
        raise UsageError(f"picture {picture} would overwrite an input file")
    options = RunOptions(score_scale=args.score_scale, frames=args.frames, keep_results=picture is not None)
    plan = Plan(sequences=tuple(sequences), configs=tuple(s.options for s in settings), runs=tuple(runs), options=options)

    if single:
        return _run_single(args, plan, picture)
    return _run_many(args, plan, settings, refused, engine_name, argv)


def _run_single(args: argparse.Namespace, plan: Plan, picture: Path | None) -> int:
    """One sequence, one configuration: in this process, with a progress bar
    counting frames, and the run's own report."""
    seq, run_ = plan.sequences[0], plan.runs[0]
    progress = Progress(1, args.progress if args.progress is not None else sys.stderr.isatty())
    batch = make_batches(plan, 1)[0]
    (res,) = run_batch(batch, progress=progress)
    progress.close()
    _note_scale(args, [(seq, res)])
    if not res.ok:
        print(f"{PROG}: error: {res.error}", file=sys.stderr)
        return EXIT_BAD_INPUT if res.kind == REFUSED else EXIT_FAILED
    _print_single(res, seq, run_.output)
    if args.output is None:
        _write_summaries(args.out if args.inputs else run_.output.parent, list(plan.sequences), [res])
    if picture is not None:
        from .motio import MotTable
        from .plot import plot_trajectories

        frames, ids, ltwh, scores = res.results
        gt = None
        if seq.gt is not None:
            from .sequences import read_ground_truth

            g = read_ground_truth(seq.gt, seq.gt_format)
            gt = MotTable.build(g.frames, g.ids, g.ltwh, g.ids * 0.0)
        plot_trajectories(picture, MotTable.build(frames, ids, ltwh, scores), gt, title=f"{seq.label}: tracks", image_size=seq.image_size)
        print(f"{seq.label}: trajectories -> {picture}")
    return EXIT_OK


def _note_scale(args: argparse.Namespace, pairs: list[tuple[SequenceInfo, RunResult | None]]) -> None:
    if args.score_scale != 1.0:
        return
    seen = set()
    for seq, res in pairs:
        if res is not None and res.top_score > 1.0 and seq.label not in seen:
            seen.add(seq.label)
            print(f"{PROG}: note: {seq.label}: scores reach {res.top_score:g}, above the [0, 1] of the thresholds; see --score-scale", file=sys.stderr)


def _run_many(
    args: argparse.Namespace, plan: Plan, settings: list[Setting], refused: dict[int, str], engine_name: str, argv: list[str]
) -> int:
    sequences = list(plan.sequences)
    grid = bool(args.grid)
    total = len(plan.runs)
    for k, msg in refused.items():
        print(f"{PROG}: error: configuration {settings[k].name} refused: {msg}", file=sys.stderr)

    jobs = args.jobs or default_jobs()
    start = time.perf_counter()
    batches = make_batches(plan, 1 if engine_name == "serial" else jobs)
    try:
        engine = make_engine(engine_name, jobs, args.address, batches=len(batches))
    except (RuntimeError, OSError, ValueError) as exc:
        print(f"{PROG}: error: cannot start the {engine_name} engine: {' '.join(str(exc).split())}", file=sys.stderr)
        return EXIT_FAILED
    if engine.workers != jobs and engine_name != "serial":
        batches = make_batches(plan, engine.workers)
    show = args.progress if args.progress is not None else sys.stderr.isatty()
    progress = Progress(total, show, unit="runs")
    failures = 0

    def on_result(res: RunResult) -> None:
        nonlocal failures
        if not res.ok:
            failures += 1
            progress.note = f"{failures} failed"
            where = sequences[res.seq].label + (f" [{settings[res.cfg].name}]" if grid else "")
            progress.message(f"{PROG}: error: {where}: {res.error}")
        progress.advance()

    results: list[RunResult | None]
    try:
        results = execute(plan, engine, batches, on_result)
    except KeyboardInterrupt:
        progress.close()
        done = progress.done
        print(f"{PROG}: interrupted after {done} of {total} runs; their results files are complete, no summary written", file=sys.stderr)
        return EXIT_INTERRUPTED
    finally:
        try:
            engine.close()
        except Exception:  # noqa: BLE001 - closing a broken cluster must not hide the run's outcome
            pass
    progress.close()
    elapsed = time.perf_counter() - start
    _note_scale(args, [(sequences[r.seq], r) for r in results if r is not None])

    # Results back in plan order, per configuration.
    by_cfg: dict[int, list[RunResult | None]] = {}
    for run_, res in zip(plan.runs, results):
        by_cfg.setdefault(run_.cfg, [None] * len(sequences))[run_.seq] = res
    entries = []
    for k, s in enumerate(settings):
        folder = args.out / s.name if grid else args.out
        cfg_results = by_cfg.get(k, [None] * len(sequences))
        combined = _write_summaries(folder, sequences, cfg_results) if k not in refused else None
        if not grid:
            _print_many(sequences, cfg_results, plan)
        failed = len(sequences) if k in refused else sum(1 for r in cfg_results if r is None or not r.ok)
        command = [PROG, *map(str, args.inputs), "--out", str(folder), *_base_args(args), *option_args(s.options)]
        entries.append(Entry(setting=s, metrics=combined, runs=len(sequences), failed=failed, command=command))
    if grid:
        from .motio import write_atomic

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
    print(
        f"{PROG}: {ok} of {len(sequences) * len(settings)} runs done ({what}) in {elapsed:.1f} s, {rate:.1f} runs/s "
        f"on {engine.name} ({engine.workers} {'worker' if engine.workers == 1 else 'workers'}); results -> {args.out}"
        + (f"; {n_refused + n_failed} failed" if n_refused + n_failed else "")
    )
    if n_failed:
        return EXIT_FAILED
    return EXIT_BAD_INPUT if n_refused else EXIT_OK


def _print_many(sequences: list[SequenceInfo], results: list[RunResult | None], plan: Plan) -> None:
    rows = _table_rows(sequences, results)
    if rows:
        print(render_table(rows))
    unevaluated = [(s, r) for s, r in zip(sequences, results) if r is not None and r.ok and r.evaluation is None]
    for s, r in unevaluated:
        print(f"{s.label}: {r.frames} frames, {r.detections} detections, {r.tracks} tracks, {r.rows} result rows (no ground truth)")


def _base_args(args: argparse.Namespace) -> list[str]:
    """The options besides the configuration that shape the results."""
    out = []
    if args.score_scale != 1.0:
        out += ["--score-scale", str(args.score_scale)]
    if args.frames is not None:
        lo, hi = args.frames
        out += ["--frames", f"{lo or ''}:{hi or ''}"]
    return out


def main(argv: list[str] | None = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    args = build_parser().parse_args(argv)
    try:
        return run(args, argv)
    except (InputError, UsageError) as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except OSError as exc:  # writing the outputs
        where = f" {exc.filename}" if exc.filename else ""
        print(f"{PROG}: error: cannot write{where}: {exc.strerror or exc}", file=sys.stderr)
        return EXIT_FAILED
    except KeyboardInterrupt:
        print(f"\n{PROG}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED


if __name__ == "__main__":
    sys.exit(main())
