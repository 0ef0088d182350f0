import itertools

import numpy as np
import pytest
from scipy.optimize import linear_sum_assignment

import loomfeather_cpp as lf

LA, JV = lf.linear_assignment, lf.linear_assignment_lapjv
SOLVERS = [LA, JV]
# Equal totals: which optimum wins depends on rounding (W - u) - v, resp.
# (W - v) - h, in exactly that grouping.
ROUNDING_LA = [[1e-17, 0.1, 0.1], [0.1, 0.7, 0.2], [0.7, 0.3, 0.6]]
ROUNDING_JV = [[0.1, 0.7, 0.2, 0.1], [0.3, 0.1, 1.1, 1e-17], [1e-17, 0.3, 0.1, 1e-17], [0.2, 0.7, 0.3, 1.1]]


@pytest.mark.parametrize(
    "solver, cost, rows, cols",
    [
        (LA, [[0, 0, 0], [0, 1, 0]], [0, 1], [1, 0]),
        (JV, [[0, 0, 0], [0, 1, 0]], [0, 1], [0, 2]),
        (LA, [[2, 1, 1], [1, 1, 2]], [0, 1], [1, 0]),
        (LA, [[0, 0], [0, 1], [0, 0]], [1, 0], [0, 1]),
        (JV, [[0, 0], [0, 1], [0, 0]], [0, 2], [0, 1]),
        (JV, [[1, 2], [1, 3]], [0, 1], [1, 0]),
        (JV, [[0, 1, 1], [0, 1, 1]], [0, 1], [0, 1]),
        (LA, [[9, 1], [1, 9], [5, 5]], [1, 0], [0, 1]),
        (JV, [[9, 1], [1, 9], [5, 5]], [1, 0], [0, 1]),
        (LA, [[True, False], [False, True]], [0, 1], [1, 0]),
        (LA, np.zeros((4, 4)), [0, 1, 2, 3], [0, 1, 2, 3]),
        (JV, np.zeros((4, 4)), [0, 1, 2, 3], [0, 1, 2, 3]),
        (LA, ROUNDING_LA, [0, 1, 2], [2, 0, 1]),
        (JV, ROUNDING_JV, [0, 1, 2, 3], [0, 1, 3, 2]),
    ],
)
def test_tie_breaking_and_pair_order(solver, cost, rows, cols):
    r, c = solver(cost)
    assert r.dtype == c.dtype == np.int64
    assert r.tolist() == rows and c.tolist() == cols


def _checked_total(solver, cost):
    r, c = solver(cost)
    n, m = cost.shape
    assert len(r) == len(c) == min(n, m)
    assert len(set(r.tolist())) == len(set(c.tolist())) == min(n, m)
    # Pairs come in ascending order of the shorter side.
    assert (r if n <= m else c).tolist() == list(range(min(n, m)))
    return cost[r, c].sum()


def test_small_integer_matrices_reach_brute_force_minimum():
    rng = np.random.default_rng(7)
    for _ in range(400):
        n, m = rng.integers(1, 6, size=2)
        cost = rng.integers(0, 6, size=(n, m)).astype(float)
        wide = cost if n <= m else cost.T
        k = wide.shape[0]
        best = min(wide[range(k), p].sum() for p in itertools.permutations(range(wide.shape[1]), k))
        for solver in SOLVERS:
            assert _checked_total(solver, cost) == best


@pytest.mark.parametrize("shape", [(1, 1), (7, 3), (3, 7), (60, 60), (200, 300), (300, 200)])
def test_float_totals_match_scipy(shape):
    cost = np.random.default_rng(sum(shape)).uniform(-5, 100, size=shape)
    sr, sc = linear_sum_assignment(cost)
    for solver in SOLVERS:
        assert _checked_total(solver, cost) == pytest.approx(cost[sr, sc].sum(), rel=1e-12)


@pytest.mark.parametrize("solver", SOLVERS)
@pytest.mark.parametrize("shape", [(0, 0), (0, 4), (4, 0), (0,), (2, 0, 3)])
def test_solvers_answer_empty_arrays_of_any_rank(solver, shape):
    r, c = solver(np.zeros(shape))
    assert r.dtype == c.dtype == np.int64 and r.size == c.size == 0


@pytest.mark.parametrize("name", ["linear_assignment", "linear_assignment_lapjv", "associate"])
@pytest.mark.parametrize("cost", [3.0, [1.0, 2.0], np.ones((2, 2, 2))])
def test_rank_refused(name, cost):
    args = (cost, 1.0) if name == "associate" else (cost,)
    with pytest.raises(ValueError) as e:
        getattr(lf, name)(*args)
    assert str(e.value) == f"{name}: cost must be a 2-D (n, m) array"


@pytest.mark.parametrize("call", [LA, JV, lambda c: lf.associate(c, -1.0)])
@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
@pytest.mark.parametrize("where", [(0, 0), (2, 1)])
def test_non_finite_refused_anywhere(call, bad, where):
    cost = np.zeros((3, 2))
    cost[where] = bad
    with pytest.raises(ValueError) as e:
        call(cost)
    assert str(e.value) == "cost matrix must be finite; gate before assignment"


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


def test_associate_has_no_empty_shortcut():
    with pytest.raises(ValueError, match="^associate: cost must be a 2-D"):
        lf.associate(np.zeros(0), 1.0)
