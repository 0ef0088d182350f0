"""The solvers: pairs in the reference search's order (with and without AVX),
optimal totals, ties, refusals, gating in associate, Ctrl-C and other threads."""
import signal
import subprocess
import sys
import time

import numpy as np
import pytest
from scipy.optimize import linear_sum_assignment

import loomfeather_cpp as lf
from models import reference_assignment

LA, JV = lf.linear_assignment, lf.linear_assignment_lapjv
SOLVERS = [LA, JV]
# Jonker-Volgenant's ties (the other solver's follow the reference search
# below). In the last row, which optimum wins depends on rounding (W - v) - h
# in exactly that grouping.
@pytest.mark.parametrize("cost, rows, cols", [
    ([[0, 0, 0], [0, 1, 0]], [0, 1], [0, 2]),
    ([[0, 0], [0, 1], [0, 0]], [0, 2], [0, 1]),
    ([[1, 2], [1, 3]], [0, 1], [1, 0]),
    ([[0, 1, 1], [0, 1, 1]], [0, 1], [0, 1]),
    ([[9, 1], [1, 9], [5, 5]], [1, 0], [0, 1]),
    (np.zeros((4, 4)), [0, 1, 2, 3], [0, 1, 2, 3]),
    ([[0.1, 0.7, 0.2, 0.1], [0.3, 0.1, 1.1, 1e-17], [1e-17, 0.3, 0.1, 1e-17], [0.2, 0.7, 0.3, 1.1]], [0, 1, 2, 3],
     [0, 1, 3, 2]),
])
def test_lapjv_tie_breaking_and_pair_order(cost, rows, cols):
    r, c = JV(cost)
    assert r.dtype == c.dtype == np.int64 and r.tolist() == rows and c.tolist() == cols


def _checked_total(solver, cost):
    r, c = solver(cost)
    n, m = cost.shape
    assert len(r) == len(c) == min(n, m)
    assert len(set(r.tolist())) == len(set(c.tolist())) == min(n, m)
    # Pairs come in ascending order of the shorter side.
    assert (r if n <= m else c).tolist() == list(range(min(n, m)))
    return cost[r, c].sum()


def test_linear_assignment_follows_the_reference_search(simd):
    # Tie-heavy matrices - small integers, rounding-sensitive sums, one
    # forbidden value with few admissible pairs (where the search takes runs of
    # equal columns together) -: the same pairs, in order. From 16 columns on,
    # the search scans four columns at a time with AVX.
    rng = np.random.default_rng(11)
    shapes = [tuple(rng.integers(1, 30, 2)) for _ in range(240)] + [(40, 45), (45, 40), (100, 97)] * 4
    for k, shape in enumerate(shapes):
        few = np.where(rng.random(shape) < [0.02, 0.05, 0.15, 0.2][k % 4],
                       rng.choice([0.05, 0.1, 0.1 + 1e-17, 0.3, 0.7], shape), 1.7)
        cost = few if k % 3 == 1 or k >= 240 else \
            rng.integers(0, 3, shape).astype(float) if k % 3 == 0 else rng.choice([0.0, 1e-17, 0.1, 0.2, 0.3, 0.7], shape)
        r, c = LA(cost)
        assert r.dtype == c.dtype == np.int64 and [r.tolist(), c.tolist()] == list(reference_assignment(cost))


def test_totals_are_optimal():
    # Small integers (many optima, exact totals) and floats, against SciPy.
    rng = np.random.default_rng(7)
    shapes = [tuple(rng.integers(1, 6, 2)) for _ in range(300)] + [(60, 60), (200, 300), (300, 200)]
    for k, shape in enumerate(shapes):
        cost = rng.integers(0, 6, shape).astype(float) if k < 300 else rng.uniform(-5, 100, shape)
        sr, sc = linear_sum_assignment(cost)
        for solver in SOLVERS:
            assert _checked_total(solver, cost) == pytest.approx(cost[sr, sc].sum(), rel=1e-12, abs=0)


@pytest.mark.parametrize("name", ["linear_assignment", "linear_assignment_lapjv", "associate"])
@pytest.mark.parametrize("cost", [3.0, [1.0, 2.0], np.ones((2, 2, 2)), np.zeros(0), np.zeros((0, 4)), np.zeros((2, 0, 3))])
def test_rank(name, cost):
    # The solvers answer an empty array of any rank; associate has no such shortcut.
    args = (cost, 1.0) if name == "associate" else (cost,)
    if name != "associate" and np.size(cost) == 0:
        r, c = getattr(lf, name)(*args)
        assert r.dtype == c.dtype == np.int64 and r.size == c.size == 0
    elif np.ndim(cost) != 2:
        with pytest.raises(ValueError, match=rf"^{name}: cost must be a 2-D \(n, m\) array$"):
            getattr(lf, name)(*args)


# Shapes on both sides of every size switch of the solver: 16 working columns
# (the gated and the four-wide searches), blocks of four entries in the
# finiteness scan, the 1/4 share of entries that makes a matrix "gated", and
# both orientations.
FINITE_SHAPES = [(1, 1), (2, 15), (15, 15), (15, 16), (16, 16), (10, 16), (16, 10), (16, 17), (17, 16),
                 (1, 16), (16, 1), (3, 40), (40, 3), (33, 33), (10, 61)]


def _backgrounds(n, m, rng):
    """Finite matrices of the kinds the solver tells apart."""
    gated = np.full((n, m), 1.7)
    gated[rng.random((n, m)) < 0.1] = 0.25
    busy = np.full((n, m), 1.7)
    busy[rng.random((n, m)) < 0.5] = 0.25
    first_row_zero = rng.random((n, m))
    first_row_zero[0] = 0.0
    return {"zeros": np.zeros((n, m)), "minus zeros": np.full((n, m), -0.0), "gated": gated, "busy": busy,
            "first row zero": first_row_zero, "negative": -rng.random((n, m)), "random": rng.random((n, m))}


@pytest.mark.parametrize("call", [LA, JV, lambda c: lf.associate(c, 1.0)], ids=["la", "lapjv", "associate"])
def test_non_finite_refused_whatever_the_size_and_first_row(call, simd):
    rng = np.random.default_rng(3)
    checked = 0
    for n, m in FINITE_SHAPES:
        for kind, base in _backgrounds(n, m, rng).items():
            call(base)  # finite: solved
            wheres = {(0, 0), (n - 1, m - 1), (0, m - 1), (n // 2, m // 2), (int(rng.integers(n)), int(rng.integers(m)))}
            for where in wheres:
                for bad in (np.nan, np.inf, -np.inf):
                    cost = base.copy()
                    cost[where] = bad
                    with pytest.raises(ValueError) as e:
                        call(cost)
                    assert str(e.value) == "cost matrix must be finite; gate before assignment", (n, m, kind, where)
                    checked += 1
    assert checked > 1000


def test_reduced_cost_overflow_is_a_runtime_error():
    with pytest.raises(RuntimeError) as e:
        LA([[-1.7e308, 1.7e308], [-1.7e308, 1.7e308]])
    assert str(e.value) == "linear_assignment: no free column; n > m?"


@pytest.mark.parametrize(
    "cost, max_cost, matches, rows, cols",
    [
        ([[0, 40], [40, 60]], 50, [[0, 0]], [1], [1]),
        ([[5]], 5, [[0, 0]], [], []),
        ([[5]], 4, [], [0], [0]),
        ([[9, 1], [1, 9], [5, 5]], 10, [[1, 0], [0, 1]], [2], []),
        ([[1, 2], [3, 4]], np.nan, [], [0, 1], [0, 1]),
        (np.zeros((0, 3)), 1, [], [], [0, 1, 2]),
        (np.zeros((2, 0)), 1, [], [0, 1], []),
        (np.zeros((0, 0)), 1, [], [], []),
    ],
)
def test_associate_gates_solver_pairs(cost, max_cost, matches, rows, cols):
    m, ur, uc = lf.associate(cost, max_cost)
    assert m.shape == (len(matches), 2) and m.dtype == np.int64
    assert m.tolist() == matches and ur.tolist() == rows and uc.tolist() == cols


# --- long solves and Ctrl-C ----------------------------------------------------------

_INTERRUPTED_CHILD = r"""
import signal, sys, time
import numpy as np
import loomfeather_cpp as lf
# A shell without job control starts background jobs with SIGINT ignored, and
# Python then leaves it ignored: ask for KeyboardInterrupt explicitly.
signal.signal(signal.SIGINT, signal.default_int_handler)
n = 2500
ij = np.outer(np.arange(n), np.arange(n)).astype(float)   # every row's minimum in column 0
rng = np.random.default_rng(0)
gated = np.full((n, n), 2.0)   # 5 % of the entries below the forbidden cost: the gated search
few = rng.random((n, n)) < 0.05
gated[few] = rng.integers(0, 3, few.sum()) * 0.5
gated[0] = 2.0
calls = {"linear_assignment": lambda: lf.linear_assignment(np.zeros((n, n))),
         "associate": lambda: lf.associate(np.zeros((n, n - 1)), 1.0),
         "linear_assignment_lapjv": lambda: lf.linear_assignment_lapjv(ij),
         "linear_assignment, gated": lambda: lf.linear_assignment(gated)}
for name, call in calls.items():
    print("ready", flush=True)
    t0 = time.perf_counter()
    try:
        call()
        print("finished", time.perf_counter() - t0, flush=True)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    sys.stdin.readline()   # the parent's go-ahead, once it has read the answer
"""


def test_long_solves_stop_on_ctrl_c():
    # Each of these solves takes seconds; a SIGINT sent 0.3 s into it must end
    # it with KeyboardInterrupt well within 2 s.
    with subprocess.Popen([sys.executable, "-c", _INTERRUPTED_CHILD], stdin=subprocess.PIPE,
                          stdout=subprocess.PIPE, text=True) as child:
        try:
            for _ in range(4):
                assert child.stdout.readline().strip() == "ready"
                time.sleep(0.3)
                sent = time.monotonic()
                child.send_signal(signal.SIGINT)
                answer = child.stdout.readline().strip()
                assert answer == "interrupted" and time.monotonic() - sent < 2.0, answer
                child.stdin.write("\n")
                child.stdin.flush()
            assert child.wait(timeout=30) == 0
        finally:
            child.kill()


@pytest.mark.parametrize("call", [LA, JV, lambda c: lf.associate(c, 1.0)], ids=["la", "lapjv", "associate"])
def test_solvers_let_other_threads_run(call, runs_without_the_lock):
    n = 700
    assert runs_without_the_lock(lambda: call(np.outer(np.arange(n), np.arange(n)).astype(float)))
