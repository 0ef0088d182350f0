"""Whole benchmarks: sequences x tracker configurations as independent runs,
executed in-process, on a local process pool or on a Dask cluster.

A *run* is one sequence tracked with one configuration: its results file
written, and evaluated when the sequence has ground truth. Runs travel to the
workers in *batches* (one sequence, several configurations), so that a worker
reads a sequence once and tracks it many times; every worker also keeps the
sequences it has read (:data:`_CACHE`), keyed by the files' identity and
modification time. A run that fails (unreadable input, refused
configuration, a write that fails) comes back as a :class:`RunResult` with
its one-line error; it never stops the other runs.

Every engine hands the same batches to the same function, and the caller
puts the results back in the plan's order, so the files and the summaries
are identical however the runs were spread.
"""

from __future__ import annotations

import hashlib
import logging
import math
import os
import signal
import threading
import time
from collections import OrderedDict
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import NDArray

from . import sequences
from .fixedpoint import format_mot_rows
from .motio import GroundTruth, InputError, read_detections, read_ground_truth, write_atomic
from .scores import FittedScale, ScoreScale

__all__ = [
    "ENGINES",
    "Plan",
    "Run",
    "RunResult",
    "RunOptions",
    "Batch",
    "make_batches",
    "run_batch",
    "execute",
    "make_engine",
    "default_jobs",
]

ENGINES = ("processes", "dask", "serial")

# Failure kinds: the input or the configuration was refused (exit status 2),
# or the run broke while running or writing (exit status 1).
REFUSED, FAILED = "refused", "failed"


@dataclass(frozen=True)
class RunOptions:
    """What every run of a plan shares."""

    score_scale: ScoreScale | float | str = 1.0  # a ScoreScale, or its text: a divisor, "auto" or "rank"
    frames: tuple[int | None, int | None] | None = None  # FIRST:LAST to track, else the whole sequence
    evaluate: bool = True  # when the sequence has ground truth
    keep_results: bool = False  # hand the results arrays back (for pictures)


@dataclass(frozen=True)
class Run:
    """One sequence tracked with one configuration, into one results file."""

    seq: int  # index into Plan.sequences
    cfg: int  # index into Plan.configs
    output: Path | None  # None: the text comes back in RunResult.text


@dataclass(frozen=True)
class Plan:
    sequences: tuple[sequences.SequenceInfo, ...]
    configs: tuple[dict[str, Any], ...]  # TrackerConfig keyword arguments
    runs: tuple[Run, ...]
    options: RunOptions = RunOptions()


@dataclass(frozen=True)
class Batch:
    """The unit of work shipped to a worker: one sequence, several runs."""

    sequence: sequences.SequenceInfo
    runs: tuple[tuple[Run, dict[str, Any]], ...]
    options: RunOptions
    cost: float = 0.0  # for ordering: the bigger batches go first


@dataclass
class RunResult:
    seq: int
    cfg: int
    error: str | None = None  # one line
    kind: str | None = None  # REFUSED or FAILED when error is set
    evaluation: Any = None  # evaluation.SequenceEvaluation, when evaluated
    reused: bool = False  # the evaluation of an identical results file, computed before by this worker
    frames: int = 0  # frames tracked (first to last)
    updates: int = 0  # ByteTracker.update calls (frames passed over while it held no track not counted)
    detections: int = 0
    rows: int = 0
    tracks: int = 0
    top_score: float = 0.0  # highest detection score of the file (before scaling)
    top_scaled: float = 0.0  # the same, as the tracker sees it
    scale: float = 1.0  # the divisor used (NaN for a rank normalisation)
    update_seconds: float = 0.0  # inside ByteTracker.update (in-process single runs) or the tracking loop
    text: bytes | None = None  # the results text, for a run whose output is None (standard output)
    seconds: dict[str, float] = field(default_factory=dict)  # read, track, evaluate, write (wall); cpu
    results: Any = None  # (frames, ids, ltwh, scores) when RunOptions.keep_results

    @property
    def ok(self) -> bool:
        return self.error is None


# ------------------------------------------------------------------ worker side


@dataclass
class _Prepared:
    """A sequence read and laid out for tracking, kept by the worker."""

    first: int  # first and last frame tracked
    last: int
    inputs: list[tuple[int, NDArray[np.float64], NDArray[np.float64]]]  # frames with detections: frame, xyxy, scaled scores
    detections: int
    top_score: float
    top_scaled: float
    scale: FittedScale
    gt: GroundTruth | None  # frames renumbered from 1 = ``first``
    nbytes: int

    @property
    def num_frames(self) -> int:
        return max(self.last - self.first + 1, 0)


_CACHE: OrderedDict[tuple[Any, ...], _Prepared] = OrderedDict()
_CACHE_BYTES = 512 * 2**20
# Evaluations by (sequence, digest of the results text): in a sweep, settings
# that make no difference on a sequence (a max_age longer than any of its
# gaps...) write the same file, and its evaluation is the same.
_EVALUATIONS: OrderedDict[tuple[Any, ...], Any] = OrderedDict()
_EVALUATIONS_KEPT = 4096


def _file_key(path: Path | None) -> tuple[Any, ...]:
    if path is None:
        return (None,)
    try:
        st = os.stat(path)
    except OSError:
        return (os.fspath(path), None)
    return (os.fspath(path), st.st_ino, st.st_size, st.st_mtime_ns)


def _prepare(seq: sequences.SequenceInfo, options: RunOptions, evaluate: bool) -> tuple[_Prepared, tuple[Any, ...], float]:
    """The sequence's tracker input (and ground truth), from the worker's cache
    when its files have not changed. Returns it with its cache key and the
    seconds spent reading."""
    key = (
        _file_key(seq.det),
        _file_key(seq.gt) if evaluate else (None,),
        _file_key(seq.seqinfo_path),
        seq.length,
        seq.gt_format,
        ScoreScale.parse(options.score_scale),
        options.frames,
    )
    hit = _CACHE.get(key)
    if hit is not None:
        _CACHE.move_to_end(key)
        return hit, key, 0.0
    start = time.perf_counter()
    dets = read_detections(seq.det, seqinfo=seq.seqinfo)
    gt = read_ground_truth(seq.gt, seq.gt_format, seqinfo=seq.seqinfo) if evaluate and seq.gt is not None else None
    last = seq.length if seq.length is not None else max(dets.max_frame, gt.max_frame if gt is not None else 0)
    first, stop = 1, last
    if options.frames is not None:
        first = options.frames[0] or 1
        stop = options.frames[1] if options.frames[1] is not None else last
    if gt is not None:
        sequences.check_ground_truth(gt, first, stop)
        gt = sequences.window(gt, first, stop)

    top = float(dets.scores.max()) if len(dets) else 0.0
    scale = ScoreScale.parse(options.score_scale).fit(dets.scores)
    xyxy = dets.xyxy
    scores = scale.normalise(dets.scores)
    inputs = []
    used = 0
    for frame, s in dets.frame_slices().items():
        if first <= frame <= stop:
            inputs.append((frame, np.ascontiguousarray(xyxy[s]), np.ascontiguousarray(scores[s])))
            used += s.stop - s.start
    prepared = _Prepared(
        first=first,
        last=stop,
        inputs=inputs,
        detections=used,
        top_score=top,
        top_scaled=float(scale.normalise(top)) if len(dets) else 0.0,
        scale=scale,
        gt=gt,
        nbytes=40 * used + 200 * len(inputs) + (sequences.gt_nbytes(gt) if gt is not None else 0),
    )
    _CACHE[key] = prepared
    total = sum(p.nbytes for p in _CACHE.values())
    while total > _CACHE_BYTES and len(_CACHE) > 1:
        _, old = _CACHE.popitem(last=False)
        total -= old.nbytes
    return prepared, key, time.perf_counter() - start


def _track(
    prepared: _Prepared, config: Any, progress: Any = None
) -> tuple[NDArray[np.int64], NDArray[np.int64], NDArray[np.float64], NDArray[np.float64], int, float]:
    """(frames, ids, ltwh, scores in the file's scale, updates, seconds).

    Every frame from ``first`` to ``last`` goes through the tracker, except
    frames without detections while it holds no track: such an update would
    change nothing but the tracker's frame counter, which no output depends
    on (frames without detections only age tracks; none is reported in them).
    So a long gap costs at most ``max_age`` + 1 updates, and frames after the
    last detection none.

    With ``progress`` (a single run in this process), ``progress.advance()``
    counts the frames and the seconds are those inside ``ByteTracker.update``
    alone; otherwise the loop is kept bare and the seconds are the whole
    loop's."""
    import loomfeather_cpp as lf

    tracker = lf.ByteTracker(config)
    update, states = tracker.update, tracker.track_states
    no_boxes, no_scores = np.zeros((0, 4)), np.zeros(0)
    clock = time.perf_counter
    timed = progress is not None
    frames_out: list[int] = []
    counts: list[int] = []
    ids_, boxes, scores = [], [], []
    updates = 0
    spent = 0.0
    upcoming = prepared.first  # the first frame the tracker has not been through
    held = False  # whether the tracker holds a track
    start = clock()
    for frame, xyxy, sc in prepared.inputs:
        while upcoming < frame and held:
            t = clock() if timed else 0.0
            ids, tboxes, tscores, _ = update(no_boxes, no_scores)
            if timed:
                spent += clock() - t
            updates += 1
            if len(ids):
                frames_out.append(upcoming)
                counts.append(len(ids))
                ids_.append(ids)
                boxes.append(tboxes)
                scores.append(tscores)
            upcoming += 1
            held = len(states()[0]) > 0
        if timed:
            progress.advance(frame - upcoming + 1)
            t = clock()
        ids, tboxes, tscores, _ = update(xyxy, sc)
        if timed:
            spent += clock() - t
        updates += 1
        upcoming = frame + 1
        if len(ids):
            frames_out.append(frame)
            counts.append(len(ids))
            ids_.append(ids)
            boxes.append(tboxes)
            scores.append(tscores)
            held = True
        else:
            held = len(states()[0]) > 0
    if not timed:
        spent = clock() - start
    else:
        progress.advance(prepared.last - upcoming + 1)
        progress.close()
    if not counts:
        return np.zeros(0, np.int64), np.zeros(0, np.int64), np.zeros((0, 4)), np.zeros(0), updates, spent
    frames = np.repeat(np.array(frames_out, dtype=np.int64), counts)
    b = np.concatenate(boxes)
    ltwh = np.c_[b[:, :2], b[:, 2:] - b[:, :2]]
    return frames, np.concatenate(ids_), ltwh, prepared.scale.restore(np.concatenate(scores)), updates, spent


def _one_line(exc: BaseException) -> str:
    text = " ".join(str(exc).split()) or type(exc).__name__
    return text if isinstance(exc, (InputError, ValueError, OSError)) else f"{type(exc).__name__}: {text}"


def run_batch(batch: Batch, progress: Any = None) -> list[RunResult]:
    """Every run of a batch, in order. Never raises for a failed run: the
    failure is in its result. ``progress`` (in-process runs only) counts
    frames."""
    from .track import make_config

    options = batch.options
    out: list[RunResult] = []
    evaluate = options.evaluate and batch.sequence.gt is not None
    try:
        prepared, key, read_seconds = _prepare(batch.sequence, options, evaluate)
    except InputError as exc:
        return [RunResult(run.seq, run.cfg, error=str(exc), kind=REFUSED) for run, _ in batch.runs]
    except (OSError, ValueError, MemoryError) as exc:
        return [RunResult(run.seq, run.cfg, error=_one_line(exc), kind=FAILED) for run, _ in batch.runs]

    for run, opts in batch.runs:
        cpu = time.process_time()
        res = RunResult(run.seq, run.cfg, top_score=prepared.top_score, top_scaled=prepared.top_scaled, scale=prepared.scale.divisor)
        res.seconds["read"], read_seconds = read_seconds, 0.0  # counted once per batch
        try:
            config = make_config(opts)
        except (ValueError, TypeError) as exc:
            res.error, res.kind = f"invalid tracker configuration: {_one_line(exc)}", REFUSED
            out.append(res)
            continue
        if progress is not None:
            progress.total = max(prepared.num_frames, 1)
        try:
            t0 = time.perf_counter()
            frames, ids, ltwh, scores, res.updates, res.update_seconds = _track(prepared, config, progress)
            t1 = time.perf_counter()
            text, written = format_mot_rows(frames, ids, ltwh, scores)
            if run.output is None:
                res.text = text
            else:
                write_atomic(run.output, text)
            t2 = time.perf_counter()
            res.seconds["track"], res.seconds["write"] = t1 - t0, t2 - t1
        except (ValueError, RuntimeError, OSError, MemoryError) as exc:
            res.error, res.kind = _one_line(exc), FAILED
            out.append(res)
            continue
        if evaluate and prepared.gt is not None:
            from .summary import evaluate_run

            seen = (key, hashlib.blake2b(text, digest_size=20).digest())
            res.evaluation = _EVALUATIONS.get(seen)
            res.reused = res.evaluation is not None
            if res.evaluation is None:
                try:
                    res.evaluation = evaluate_run(prepared.gt, frames - (prepared.first - 1), ids, written, prepared.num_frames)
                except (ValueError, RuntimeError, MemoryError) as exc:
                    res.error, res.kind = f"evaluation failed: {_one_line(exc)}", FAILED
                    out.append(res)
                    continue
                _EVALUATIONS[seen] = res.evaluation
                if len(_EVALUATIONS) > _EVALUATIONS_KEPT:
                    _EVALUATIONS.popitem(last=False)
            res.seconds["evaluate"] = time.perf_counter() - t2
        res.frames, res.detections, res.rows = prepared.num_frames, prepared.detections, len(frames)
        res.tracks = int(np.unique(ids).size)
        res.seconds["cpu"] = time.process_time() - cpu  # this worker's CPU time for the run (reading not counted)
        if options.keep_results:
            res.results = (frames, ids, written, scores)
        out.append(res)
    return out


def _terminated(signum: int, frame: Any) -> None:
    raise SystemExit(128 + signum)


def _worker_init() -> None:
    """Pool workers leave Ctrl-C to the parent, which stops handing out work
    and lets the running batches finish. When the parent ends them (a second
    Ctrl-C), SIGTERM unwinds the worker, so that a results file being written
    leaves no temporary file behind."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, _terminated)


# ------------------------------------------------------------------ planning


def make_batches(plan: Plan, workers: int) -> list[Batch]:
    """Runs grouped by sequence into batches of a few configurations (at most
    eight, fewer when there are not 32 batches per worker): small enough to
    keep every worker busy to the end, to show progress and to stop soon after
    an interrupt; biggest first (estimated from the detection file's size).
    With one worker (in this process), one run a batch, in the plan's order."""
    by_seq: dict[int, list[Run]] = {}
    for run in plan.runs:
        by_seq.setdefault(run.seq, []).append(run)
    total = len(plan.runs)
    per_batch = max(1, min(8, math.ceil(total / (32 * workers)))) if workers > 1 else 1
    batches = []
    for seq, runs in by_seq.items():
        info = plan.sequences[seq]
        try:
            size = float(os.stat(info.det).st_size)
        except OSError:
            size = 0.0
        for k in range(0, len(runs), per_batch):
            part = runs[k : k + per_batch]
            batches.append(
                Batch(
                    sequence=info,
                    runs=tuple((r, plan.configs[r.cfg]) for r in part),
                    options=plan.options,
                    cost=(size + 4096.0) * len(part),
                )
            )
    if workers > 1:
        batches.sort(key=lambda b: -b.cost)  # stable: plan order among equals
    return batches


def default_jobs() -> int:
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:  # not on Linux
        return max(1, os.cpu_count() or 1)


# ------------------------------------------------------------------ engines


class SerialEngine:
    """Every batch in this process, in order."""

    name = "serial"
    workers = 1

    def map(self, fn: Callable[[Batch], list[RunResult]], batches: Sequence[Batch]) -> Iterator[tuple[int, Any]]:
        for i, b in enumerate(batches):
            yield i, fn(b)

    def stop(self) -> None:
        pass

    def drain(self) -> Iterator[tuple[int, Any]]:
        return iter(())

    def close(self) -> None:
        pass


class ProcessEngine:
    """A local pool of worker processes (started by a fork server that has
    imported the tracker once)."""

    name = "processes"

    def __init__(self, workers: int) -> None:
        import multiprocessing
        from concurrent.futures import ProcessPoolExecutor

        self.workers = workers
        ctx = multiprocessing.get_context("forkserver")
        ctx.set_forkserver_preload(["loomfeather_tools.runner", "loomfeather_tools.summary", "loomfeather_cpp"])
        self.pool = ProcessPoolExecutor(max_workers=workers, mp_context=ctx, initializer=_worker_init)
        self.futures: list[Any] = []

    def map(self, fn: Callable[[Batch], list[RunResult]], batches: Sequence[Batch]) -> Iterator[tuple[int, Any]]:
        from concurrent.futures import as_completed

        self.futures = [self.pool.submit(fn, b) for b in batches]
        self.pending = set(range(len(self.futures)))
        index = {f: i for i, f in enumerate(self.futures)}
        for f in as_completed(self.futures):
            self.pending.discard(index[f])
            exc = f.exception()
            yield index[f], exc if exc is not None else f.result()

    def drain(self) -> Iterator[tuple[int, Any]]:
        """After :meth:`stop`: the batches that finished but were not handed out."""
        for i in sorted(self.pending):
            f = self.futures[i]
            if f.done() and not f.cancelled() and f.exception() is None:
                yield i, f.result()

    def stop(self) -> None:
        """Cancel what has not started and let the running batches finish (a
        batch takes about a second); a second interrupt meanwhile ends the
        workers at once."""
        try:
            self.pool.shutdown(wait=True, cancel_futures=True)
        except KeyboardInterrupt:
            for proc in list((getattr(self.pool, "_processes", None) or {}).values()):
                proc.terminate()
            self.pool.shutdown(wait=False, cancel_futures=True)
            raise

    def close(self) -> None:
        self.pool.shutdown(wait=True)


class DaskEngine:
    """Dask distributed: a local cluster of worker processes, or the running
    scheduler at ``address``. The workers must see the input and output
    folders under the same paths, and have loomfeather_cpp installed."""

    name = "dask"

    def __init__(self, workers: int, address: str | None = None) -> None:
        try:
            from dask.distributed import Client, LocalCluster
        except ImportError:
            raise RuntimeError("--engine dask needs dask.distributed: pip install 'loomfeather_cpp[dask]'") from None
        self.cluster = None
        if address is None:
            # The worker processes inherit an ignored SIGINT (and Python leaves
            # it ignored): Ctrl-C at the terminal reaches the whole process
            # group, and only this process should act on it.
            main = threading.current_thread() is threading.main_thread()
            previous = signal.signal(signal.SIGINT, signal.SIG_IGN) if main else None
            try:
                self.cluster = LocalCluster(
                    n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None, silence_logs=logging.CRITICAL
                )
            finally:
                if main:
                    signal.signal(signal.SIGINT, previous)
            self.client = Client(self.cluster)
        else:
            self.client = Client(address, timeout=30)
        self.workers = max(1, len(self.client.scheduler_info().get("workers", {})) or workers)
        self.futures: list[Any] = []

    def map(self, fn: Callable[[Batch], list[RunResult]], batches: Sequence[Batch]) -> Iterator[tuple[int, Any]]:
        from dask.distributed import as_completed

        self.futures = [self.client.submit(fn, b, pure=False, priority=-i) for i, b in enumerate(batches)]
        self.pending = set(range(len(self.futures)))
        index = {f.key: i for i, f in enumerate(self.futures)}
        for f in as_completed(self.futures):
            self.pending.discard(index[f.key])
            if f.status == "error":
                yield index[f.key], f.exception()
            elif f.status == "cancelled":
                yield index[f.key], RuntimeError("cancelled")
            else:
                yield index[f.key], f.result()

    def drain(self) -> Iterator[tuple[int, Any]]:
        """After :meth:`stop`: the batches that finished but were not handed out."""
        for i in sorted(self.pending):
            f = self.futures[i]
            if f.status == "finished":
                yield i, f.result()

    def stop(self, patience: float = 60.0) -> None:
        """Cancel what has not started and wait (up to ``patience`` seconds)
        for the running batches to finish, so that closing the cluster ends no
        write half-way."""
        from dask.distributed import wait

        try:
            running = {key for keys in self.client.processing().values() for key in keys}
        except Exception:  # noqa: BLE001 - a scheduler gone: nothing left to wait for
            return
        waiting = [f for f in self.futures if not f.done() and f.key not in running]
        if waiting:
            self.client.cancel(waiting)
        busy = [f for f in self.futures if f.key in running]
        if busy:
            try:
                wait(busy, timeout=patience)
            except Exception:  # noqa: BLE001 - timed out, or the cluster went away
                pass

    def close(self) -> None:
        self.client.close()
        if self.cluster is not None:
            self.cluster.close()


def make_engine(name: str, jobs: int, address: str | None = None, batches: int | None = None) -> Any:
    """The engine ``name``; a process pool of one (or with one batch to run) is
    run in-process instead: same results, no start-up cost."""
    if name == "serial":
        return SerialEngine()
    if name == "processes":
        workers = min(jobs, batches) if batches is not None else jobs
        return SerialEngine() if workers <= 1 else ProcessEngine(workers)
    if name == "dask":
        return DaskEngine(jobs, address)
    raise ValueError(f"unknown engine {name!r}; expected one of {', '.join(ENGINES)}")


# ------------------------------------------------------------------ executing


def execute(
    plan: Plan,
    engine: Any,
    batches: Sequence[Batch],
    on_result: Callable[[RunResult], None] | None = None,
) -> list[RunResult | None]:
    """Run every batch on ``engine``; the results in the plan's run order
    (None for a run that never ran because of an interrupt).

    A batch that fails as a whole (a worker process lost, a library missing on
    a remote worker) fails each of its runs with that error. On
    KeyboardInterrupt the engine is stopped (nothing new starts; running
    batches finish) and the interrupt propagates."""
    slot = {(r.seq, r.cfg): k for k, r in enumerate(plan.runs)}
    results: list[RunResult | None] = [None] * len(plan.runs)

    def take(i: int, got: Any) -> None:
        if isinstance(got, BaseException):
            msg = f"worker failed: {_one_line(got)}"
            got = [RunResult(run.seq, run.cfg, error=msg, kind=FAILED) for run, _ in batches[i].runs]
        for res in got:
            results[slot[(res.seq, res.cfg)]] = res
            if on_result is not None:
                on_result(res)

    try:
        for i, got in engine.map(run_batch, batches):
            take(i, got)
    except KeyboardInterrupt:
        engine.stop()
        for i, got in engine.drain():  # finished while stopping: their files are written
            take(i, got)
        raise
    return results

