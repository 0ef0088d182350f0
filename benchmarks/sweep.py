"""Sweeps at scale: sequence-runs per second on the shared benchmark splits,
where the time goes (reading, tracking, evaluation, writing), and the time of
a 100-configuration sweep over MOT17-halfval from the command line.

    .venv/bin/python benchmarks/sweep.py          (prints the Markdown section)

A run is one sequence tracked with one configuration, its results file
written and evaluated against the ground truth. Each split is swept over the
same 20 configurations (max_age x high_score_thresh) on the local process pool
(2 workers) and, side by side in the same run, in one process (the serial
engine): same runs, same files. The phase times are summed over the workers
(CPU seconds spent in each phase, reading counted once per sequence and
worker). The 100-configuration sweep is timed as a user sees it: the whole
`loomfeather-track` command in a fresh process, start-up included.
"""

from __future__ import annotations

import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import statistics  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402
from pathlib import Path  # noqa: E402

from loomfeather_tools.runner import Plan, Run, RunOptions, execute, make_batches, make_engine  # noqa: E402
from loomfeather_tools.sequences import resolve_inputs  # noqa: E402
from loomfeather_tools.sweep import expand_grid, parse_grid  # noqa: E402
from loomfeather_tools.track import CONFIG_FIELDS  # noqa: E402
from shared_data import motchallenge_dir  # noqa: E402

SPLITS = [("MOT15-train", 1.0), ("MOT15-train-ACF", "auto"), ("MOT17-halfval", 1.0)]
GRID20 = ["max_age=15,30,45,60", "high_score_thresh=0.4,0.5,0.6,0.7,0.8"]
GRID100 = ["max_age=" + ",".join(str(a) for a in range(10, 101, 10)), "high_score_thresh=" + ",".join(f"{0.4 + 0.05 * k:.2f}" for k in range(10))]
PHASES = ("read", "track", "evaluate", "write")



def sweep(split: Path, scale: float | str, grid: list[str], engine_name: str, jobs: int, out: Path) -> dict[str, float]:
    sequences = resolve_inputs([split])
    base = {name: default for name, _, default, _ in CONFIG_FIELDS}
    settings = expand_grid(parse_grid(grid), base)
    runs = tuple(Run(i, k, out / s.name / f"{seq.name}.txt") for k, s in enumerate(settings) for i, seq in enumerate(sequences))
    plan = Plan(tuple(sequences), tuple(s.options for s in settings), runs, RunOptions(score_scale=scale))
    start = time.perf_counter()
    batches = make_batches(plan, jobs)
    engine = make_engine(engine_name, jobs, batches=len(batches))
    try:
        results = execute(plan, engine, batches)
    finally:
        engine.close()
    wall = time.perf_counter() - start
    bad = [r for r in results if r is None or not r.ok]
    if bad:
        raise SystemExit(f"{split.name}: {len(bad)} runs failed: {bad[0]}")
    phases = {p: sum(r.seconds.get(p, 0.0) for r in results if r is not None) for p in (*PHASES, "cpu")}
    evaluated = sum(1 for r in results if r is not None and r.evaluation is not None and not r.reused)
    return {"runs": len(runs), "wall": wall, "evaluated": evaluated, **phases}


def command_sweep(split: Path, out: Path) -> float:
    """Wall seconds of the whole command."""
    exe = Path(sys.executable).with_name("loomfeather-track")
    cmd = [str(exe), str(split), "--out", str(out), "--jobs", "2", "--no-progress", "--grid", *GRID100]
    start = time.perf_counter()
    proc = subprocess.run(cmd, capture_output=True, text=True)
    wall = time.perf_counter() - start
    if proc.returncode != 0:
        raise SystemExit(f"sweep failed ({proc.returncode}): {proc.stderr[-2000:]}")
    return wall


def section(repeats: int = 3) -> str:
    data = motchallenge_dir()
    if data is None:
        return "## Sweeps\n\nShared data not found (shared/data/motchallenge); nothing measured.\n"
    lines = [
        "## Sweeps: whole splits x configurations",
        "",
        "`loomfeather-track SPLIT --grid ...`: every (sequence, configuration) is tracked, written and evaluated "
        "(native HOTA/CLEAR/Identity). 20 configurations (max_age 15/30/45/60 x high_score_thresh 0.4-0.8) per "
        "split; the process pool (2 workers) and the serial engine (one process) measured in this same run. Phase "
        "columns: seconds summed over the workers, and their share; a results file identical to one a worker has "
        "already evaluated on that sequence reuses its evaluation (computed: the evaluations actually run).",
        "",
        "| split | runs | engine | wall | runs/s | read | track | evaluate (computed) | write |",
        "|---|---|---|---|---|---|---|---|---|",
    ]
    with tempfile.TemporaryDirectory() as tmp:
        for name, scale in SPLITS:
            split = data / name
            for engine, jobs in (("processes", 2), ("serial", 1)):
                m = sweep(split, scale, GRID20, engine, jobs, Path(tmp) / engine / name)
                busy = sum(m[p] for p in PHASES)
                cells = " | ".join(
                    f"{m[p]:.2f} s ({100 * m[p] / busy:.0f}%)" + (f" ({m['evaluated']})" if p == "evaluate" else "") for p in PHASES
                )
                label = f"{name} (scores / highest)" if scale == "auto" else name
                lines.append(f"| {label} | {m['runs']} | {engine} ({jobs}) | {m['wall']:.2f} s | {m['runs'] / m['wall']:.1f} | {cells} |")
        load = os.getloadavg()[0]
        times = [command_sweep(data / "MOT17-halfval", Path(tmp) / f"cmd{k}") for k in range(repeats)]
        m = sweep(data / "MOT17-halfval", 1.0, GRID100, "processes", 2, Path(tmp) / "api")
    lines += [
        "",
        f"100 configurations (max_age 10-100 x high_score_thresh 0.40-0.85) over MOT17-halfval, 400 runs, "
        f"`loomfeather-track MOT17-halfval --jobs 2 --grid ...` as a fresh process: "
        f"**{min(times):.1f} s** best of {repeats} (median {statistics.median(times):.1f} s, "
        f"{400 / min(times):.0f} runs/s); target under 10 s. The same sweep through the runner's API: "
        f"{m['wall']:.1f} s, of which the workers spent {m['cpu']:.1f} s of CPU time on the runs "
        f"({m['evaluated']} evaluations computed, {400 - m['evaluated']} reused): "
        f"{m['cpu'] / 2 + m['read'] / 2:.1f} s of wall time if both cores were the sweep's alone.",
        "",
        f"Load average (1 min) before the sweeps: {load:.1f}; at the end: {os.getloadavg()[0]:.1f} "
        "(2 cores, shared with other work: wall times swing with it, CPU times much less).",
    ]
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    print(section())
