"""Does the test suite catch these faults? Each is one small change a
programmer could make by mistake (a comparison turned, operands swapped, a
check removed, a text changed...) that a user would notice. For each: apply it
to a scratch copy of the worktree, rebuild the extension there if it is C++
(incrementally, into its own build directory), run the test files that guard
the changed file and, only if they pass, the whole suite (pytest -x), and
record whether a test failed and which. The worktree itself is never written:
the scratch copy lives in build/mutants/ and is restored after every fault.

    .venv/bin/python scripts/mutants.py            # every fault
    .venv/bin/python scripts/mutants.py 3 17       # faults 3 and 17
    .venv/bin/python scripts/mutants.py --check    # only check that each applies exactly once
"""

from __future__ import annotations

import argparse
import filecmp
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
SCRATCH = ROOT / "build" / "mutants"
TREE = SCRATCH / "tree"  # the copy the faults are applied to
BUILD = SCRATCH / "ext"  # its extension's build directory
PY = Path(sys.executable)  # the .venv that runs this script


@dataclass(frozen=True)
class Fault:
    file: str
    original: str
    replacement: str
    what: str
    guards: tuple[str, ...]  # test files run first


def F(file: str, original: str, replacement: str, what: str, *guards: str) -> Fault:
    return Fault(file, original, replacement, what, guards)


FAULTS = [
    # ---------------------------------------------------------------- src/core
    F("src/core/geometry.cpp", "out[2] = (in[2] - in[0]) / eps_floor(h);", "out[2] = (in[2] - in[0]) / h;",
      "xyah: aspect of a flat box divided by 0 (floor removed)", "test_geometry.py"),
    F("src/core/geometry.cpp", "__m256d v = _mm256_div_pd(inter, _mm256_max_pd(eps, uni));",
      "__m256d v = _mm256_div_pd(inter, _mm256_max_pd(uni, eps));",
      "AVX IoU: max operands swapped (a NaN union becomes the floor)", "test_geometry.py"),
    F("src/core/costs.cpp", "bool veto = in.iou_thresh > in.ious[k];", "bool veto = in.iou_thresh >= in.ious[k];",
      "cost: a pair exactly at the IoU threshold vetoed", "test_costs.py"),
    F("src/core/kalman.cpp", "s(2, 2) += kAspectMeasVar;", "s(2, 2) += kAspectVar;",
      "innovation: aspect measurement noise replaced by the state's", "test_kalman.py"),
    F("src/core/kalman.cpp", "            if (score > best) {", "            if (score >= best) {",
      "LU pivot: last of equal magnitudes wins instead of first", "test_kalman.py"),
    F("src/core/assignment.cpp", "const bool best = mv < s.delta;", "const bool best = mv <= s.delta;",
      "solver (list form): tie between columns goes to the later one", "test_assignment.py"),
    F("src/core/assignment.cpp", "if (!(max_cost >= cost[at])) continue;", "if (!(max_cost > cost[at])) continue;",
      "associate: a pair costing exactly the gate is rejected", "test_assignment.py"),
    F("src/core/tracker.cpp", "t.hits >= t.n_init) t.state", "t.hits > t.n_init) t.state",
      "tracker: confirmed one hit late", "test_tracker.py"),
    F("src/core/tracker.cpp", "t.time_since_update > t.max_age) t.state", "t.time_since_update >= t.max_age) t.state",
      "tracker: lost track deleted one frame early", "test_tracker.py"),
    F("src/core/tracker.cpp", "else if (d.score >= config_.low_score_thresh)", "else if (d.score > config_.low_score_thresh)",
      "tracker: a score equal to low_score_thresh ignored", "test_tracker.py"),
    F("src/core/evaluation.cpp", "m.idf1 = idtp / std::max(1.0, idtp + 0.5 * idfp + 0.5 * idfn);",
      "m.idf1 = idtp / std::max(1.0, idtp + 0.5 * idfp + 0.5 * idfp);", "IDF1: false negatives left out",
      "test_evaluation.py"),
    F("src/core/evaluation.cpp", "classes_ok &= cls >= 1 && cls <= 13;", "classes_ok &= cls >= 1 && cls <= 14;",
      "evaluation: class 14 accepted", "test_evaluation.py"),
    F("src/core/evaluation.cpp", "else if (ratio >= 0.2)", "else if (ratio > 0.2)",
      "evaluation: a track covered exactly 20 % counted mostly lost", "test_evaluation.py"),
    # ---------------------------------------------------------------- src/bindings
    F("src/bindings/array_args.cpp", "if (array.shape(1) != 4) refuse", "if (array.shape(1) < 4) refuse",
      "box arrays: (N, 5) accepted", "test_geometry.py"),
    F("src/bindings/array_args.hpp", "if (e.matches(PyExc_MemoryError) || !e.matches(PyExc_Exception)) throw;",
      "if (!e.matches(PyExc_Exception)) throw;", "conversion: MemoryError turned into a TypeError",
      "test_protocol.py"),
    F("src/bindings/bind_tracker.cpp", "        py::gil_scoped_release nogil;\n        rows = tracker.update(frame.input);",
      "        rows = tracker.update(frame.input);", "ByteTracker.update keeps the interpreter lock",
      "test_tracker.py"),
    F("src/bindings/nogil.hpp", "ReleaseIf nogil(entries >= kReleaseCostEntries);", "ReleaseIf nogil(false);",
      "solvers keep the interpreter lock (and miss Ctrl-C)", "test_assignment.py"),
    F("src/bindings/bind_tracker.cpp", "pm[r] = rows[r].det_index;", "pm[r] = r;",
      "return_indices: row numbers instead of detection indices", "test_tracker.py", "test_adapters.py"),
    F("src/bindings/bind_tracker.cpp", "to_bytes(t.feature.data(), t.feature.size()));",
      "to_bytes(t.feature.data(), 0));", "pickled tracker loses its tracks' embeddings", "test_protocol.py"),
    F("src/bindings/object_protocol.cpp", "if (pyd::all_type_info(type).empty()) {", "if (false) {",
      "the library's base type instantiable again", "test_protocol.py"),
    F("src/bindings/object_protocol.cpp", "\" is already initialised\" : \" is not initialised\"",
      "\" is already initialized\" : \" is not initialised\"", "refusal text of a second __init__ changed",
      "test_protocol.py"),
    F("src/bindings/bind_evaluation.cpp", "if (!dict_.contains(key)) fail(", "if (false) fail(",
      "combine_evaluations: missing key no longer named", "test_evaluation.py"),
    # ---------------------------------------------------------------- python/
    F("python/loomfeather_tools/motio.py", "    if frame > lay.last_frame:", "    if frame >= lay.last_frame:",
      "reader (line by line): the sequence's last frame refused", "test_io.py", "test_tools.py"),
    F("python/loomfeather_tools/motio.py", "ok = ok and bool((v[:, 2:4] >= 0).all())",
      "ok = ok and bool((v[:, 2:3] >= 0).all())", "reader (compiled path): negative height accepted",
      "test_io.py"),
    F("python/loomfeather_tools/motio.py", "return (sa.st_dev, sa.st_ino) == (sb.st_dev, sb.st_ino)", "return False",
      "output checks: a hard link to an input not seen", "test_tools.py"),
    F("python/loomfeather_tools/runner.py", "_file_key(seq.gt) if evaluate else (None,),", "(None,),",
      "runner cache: changed ground truth not noticed", "test_runner.py"),
    F("python/loomfeather_tools/runner.py", "seen = (key, hashlib.blake2b(text, digest_size=20).digest())",
      "seen = key", "runner: one evaluation reused for other results", "test_runner.py"),
    F("python/loomfeather_tools/summary.py", "return v if math.isfinite(v) else None", "return v",
      "summary.json: NaN written (not strict JSON)", "test_runner.py"),
    F("python/loomfeather_tools/summary.py", 'LOWER_IS_BETTER = frozenset({"IDSW", ', 'LOWER_IS_BETTER = frozenset({',
      "leaderboard: most identity switches ranked best", "test_runner.py"),
    F("python/loomfeather_tools/sweep.py", 'sign * v if v == v else float("inf")', 'sign * v if v == v else -float("inf")',
      "leaderboard: NaN metric ranked first", "test_runner.py"),
    F("python/loomfeather_tools/presets.py", "return {**_DEFAULTS, **self.fields}", "return {**self.fields, **_DEFAULTS}",
      "presets: defaults override the preset's fields", "test_presets.py"),
    F("python/loomfeather_tools/scores.py", 'np.searchsorted(self.ranked, s, side="right")',
      'np.searchsorted(self.ranked, s, side="left")', "score rank: share below instead of at or below",
      "test_presets.py"),
    F("python/loomfeather_tools/scores.py", "divisor=top if top > 1.0 else 1.0", "divisor=top if top > 0.0 else 1.0",
      "score scale auto: probabilities divided by their maximum", "test_presets.py"),
    F("python/loomfeather_tools/_adapter.py", 'order = np.argsort(rows, kind="stable")', "order = np.arange(len(rows))",
      "adapters: rows in track order instead of input order", "test_adapters.py"),
    F("python/loomfeather_tools/supervision.py", "return max(int(frame_rate / 30.0 * lost_track_buffer), 1) + 1",
      "return max(int(frame_rate / 30.0 * lost_track_buffer), 1)",
      "supervision adapter: lost tracks kept one frame less", "test_adapters.py"),
    F("python/loomfeather_tools/render.py", "colour = tid % len(TRACK_COLOURS)", "colour = tid % (len(TRACK_COLOURS) - 1)",
      "render: track colours off the palette's cycle", "test_render.py"),
    # ---------------------------------------------------------------- added while the suite was cut
    F("src/core/tracker.cpp", "bool with_app = config_.w_app > 0.0 && dim > 0;", "bool with_app = false && dim > 0;",
      "tracker: the appearance term never used", "test_tracker.py"),
    F("src/core/tracker.cpp", "std::lock_guard<std::mutex> hold(calls_.mutex);\n    check_counters(",
      "check_counters(", "tracker: update no longer holds the tracker's mutex", "test_tracker.py"),
]


# ------------------------------------------------------------------ the scratch copy


def source_files() -> list[str]:
    out = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"], cwd=ROOT,
                         check=True, capture_output=True).stdout
    return [p for p in out.decode().split("\0") if p and (ROOT / p).is_file()]


def sync_tree() -> None:
    """TREE := the worktree's files; a file whose content is unchanged keeps
    its time stamp, so that the build stays incremental."""
    wanted = set(source_files())
    for rel in wanted:
        src, dst = ROOT / rel, TREE / rel
        if not dst.exists() or not filecmp.cmp(src, dst, shallow=False):
            dst.parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(src, dst)
    for top in ("tests", "src", "python", "benchmarks"):
        for p in (TREE / top).rglob("*"):
            if p.is_file() and "__pycache__" not in p.parts and str(p.relative_to(TREE)) not in wanted:
                p.unlink()


def build() -> tuple[bool, str]:
    if not (BUILD / "build.ninja").exists():
        pybind = subprocess.run([str(PY), "-m", "pybind11", "--cmakedir"], check=True, capture_output=True,
                                text=True).stdout.strip()
        subprocess.run([str(PY), "-m", "cmake", "-S", str(TREE), "-B", str(BUILD), "-G", "Ninja",
                        f"-DCMAKE_MAKE_PROGRAM={PY.parent / 'ninja'}", "-DCMAKE_BUILD_TYPE=Release",
                        f"-DPython_EXECUTABLE={PY}", f"-Dpybind11_DIR={pybind}"],
                       check=True, capture_output=True)
    res = subprocess.run([str(PY), "-m", "cmake", "--build", str(BUILD)], capture_output=True, text=True)
    return res.returncode == 0, res.stdout[-3000:] + res.stderr[-3000:]


def module_path() -> Path:
    (so,) = BUILD.glob("loomfeather_cpp*.so")
    return so


# ------------------------------------------------------------------ running the suite


def pytest(files: list[str], timeout: float) -> tuple[str, str]:
    """('passed' | 'failed' | 'crashed' | 'timeout' | 'error', the first failing test or a note)."""
    env = dict(os.environ, PYTHONPATH=f"{BUILD}{os.pathsep}{TREE / 'python'}", LF_EXPECT_MODULE=str(module_path()))
    env.pop("LF_SANITIZED", None)
    cmd = [str(PY), "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider",
           *[f"tests/{f}" for f in files]]
    try:
        # Ctrl-C as in a terminal, also when this script runs as a background job.
        res = subprocess.run(cmd, cwd=TREE, env=env, capture_output=True, text=True, timeout=timeout,
                             preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    except subprocess.TimeoutExpired:
        return "timeout", f"no answer in {timeout:.0f} s"
    out = res.stdout + res.stderr
    failed = re.search(r"^(?:FAILED|ERROR) (\S+)", out, re.M)
    if res.returncode == 0:
        return "passed", ""
    if res.returncode == 1 and failed:
        return "failed", failed.group(1)
    if res.returncode < 0 or res.returncode > 4:
        last = re.findall(r"^(tests/\S+) ", out, re.M)
        return "crashed", f"exit {res.returncode}" + (f" in {last[-1]}" if last else "")
    return "error", f"exit {res.returncode}: {out[-400:]}"


def apply(fault: Fault) -> tuple[Path, str]:
    path = TREE / fault.file
    text = path.read_text()
    count = text.count(fault.original)
    if count != 1:
        raise SystemExit(f"{fault.file}: the original of '{fault.what}' is found {count} times, not once")
    return path, text


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("which", nargs="*", type=int, help="fault numbers (1-based); default: all")
    parser.add_argument("--check", action="store_true", help="only check that every fault applies exactly once")
    parser.add_argument("--timeout", type=float, default=1800.0, help="seconds per pytest run")
    args = parser.parse_args()

    for k, f in enumerate(FAULTS, 1):  # refuse a list that has rotted before doing anything
        n = (ROOT / f.file).read_text().count(f.original)
        if n != 1:
            print(f"fault {k} ({f.file}: {f.what}): original found {n} times, not once", file=sys.stderr)
            return 2
    if args.check:
        print(f"{len(FAULTS)} faults, each applies exactly once")
        return 0
    chosen = [(k, FAULTS[k - 1]) for k in (args.which or range(1, len(FAULTS) + 1))]

    # Ctrl-C (also in a background job) and a plain kill both unwind, so that
    # the scratch copy is restored.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    SCRATCH.mkdir(parents=True, exist_ok=True)
    sync_tree()
    ok, log = build()
    if not ok:
        print("the unchanged tree does not build:\n" + log, file=sys.stderr)
        return 2
    rows = []
    try:
        for k, fault in chosen:
            start = time.monotonic()
            path, text = apply(fault)
            path.write_text(text.replace(fault.original, fault.replacement))
            try:
                cxx = fault.file.startswith("src/")
                built, log = build() if cxx else (True, "")
                if not built:
                    verdict, by = "BUILD FAILED", log.strip().splitlines()[-1] if log.strip() else ""
                else:
                    outcome, by = pytest(list(fault.guards), args.timeout)
                    if outcome == "passed":
                        outcome, by = pytest([], args.timeout)
                    verdict = {"passed": "NOT CAUGHT", "failed": "caught", "crashed": "caught (crash)"}.get(
                        outcome, outcome.upper())
            finally:
                path.write_text(text)  # restored before anything else happens
                if cxx:
                    build()  # and the extension rebuilt without it, before any other test runs
            if verdict == "caught" and by.split("::")[0].removeprefix("tests/") not in fault.guards:
                # Caught by a test elsewhere: does that test pass without the fault?
                if pytest([by.split("[")[0].removeprefix("tests/")], args.timeout)[0] != "passed":  # all its cases
                    verdict = "FLAKY"
                    by += " (fails without the fault too)"
            rows.append((k, fault, verdict, by, time.monotonic() - start))
            print(f"{k:3d} {verdict:14s} {time.monotonic() - start:6.0f} s  {fault.what}  [{by}]", flush=True)
    except KeyboardInterrupt:
        print("interrupted; the scratch copy is restored", file=sys.stderr)

    print("\n| # | file | fault | result | caught by |\n|---|---|---|---|---|")
    for k, fault, verdict, by, _ in rows:
        print(f"| {k} | {fault.file} | {fault.what} | {verdict} | {by} |")
    missed = [k for k, _, v, *_ in rows if not v.startswith("caught")]
    print(f"\n{len(rows) - len(missed)} of {len(rows)} caught" + (f"; not caught: {missed}" if missed else ""))
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
