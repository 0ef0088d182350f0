import numpy as np
import pytest
from numpy.testing import assert_array_equal

import loomfeather_cpp as lf

IOUS = [[0.9, 0.8]]
B0, B1 = (1.0 - 0.9) * 1.0, (1.0 - 0.8) * 1.0  # overlap terms of IOUS
GATE = (1.0 - 0.3) * 1.0  # default iou_thresh and w_iou


def test_default_weights():
    cost, gate = lf.build_association_cost([[0.9, 0.2]])
    assert_array_equal(cost, np.array([[B0, 1.7]]), strict=True)
    assert gate == 0.7 == GATE and cost[0, 1] == 1.0 + GATE


@pytest.mark.parametrize(
    "kwargs, cost, gate",
    [
        ({"iou_thresh": 0.8}, [B0, B1], (1.0 - 0.8) * 1.0),
        ({"motion": [0.25, 0.5, 99.0]}, [0.25, 0.5], GATE),  # first T*D values, any shape
        ({"w_app": 0.5, "appearance": [[0.2, 2.0]]}, [B0 + 0.5 * 0.2, B1 + 0.5 * 2.0], GATE + 1.0),
        ({"w_app": 0.5}, [B0, B1], GATE),
        ({"w_app": 0.0, "appearance": [[0.2, 2.0]]}, [B0, B1], GATE),
        ({"w_unc": 0.25, "uncertainty": [[0.4, 1.0]]}, [B0 + 0.25 * 0.4, B1 + 0.25 * 1.0], GATE + 0.25),
        ({"w_unc": np.nan, "uncertainty": [[0.4, 1.0]]}, [B0, B1], GATE),
    ],
)
def test_terms_and_gate(kwargs, cost, gate):
    got, g = lf.build_association_cost(IOUS, **kwargs)
    assert got.tolist() == [cost] and g == gate
    assert got.max() <= g  # admissible pairs stay within the gate


@pytest.mark.parametrize(
    "kwargs, vetoed",
    [
        ({"class_mismatch": [[True, False]]}, [True, False]),
        ({"class_mismatch": [[0.0, np.nan]]}, [False, True]),
        ({"gating_d2": [[9.0, 9.5]]}, [False, False]),
        ({"gate_thresh": 9.0}, [False, False]),
        ({"gating_d2": [[9.0, 9.5]], "gate_thresh": 9}, [False, True]),
        ({"gating_d2": [[np.nan, 9.5]], "gate_thresh": np.float32(9.5)}, [False, False]),
        ({"iou_thresh": 0.8}, [False, False]),  # equal to the threshold
        ({"iou_thresh": 0.85, "motion": [[0.0, 0.0]]}, [False, True]),  # test stays on IoU
    ],
)
def test_forbidden_pairs_cost_gate_plus_one(kwargs, vetoed):
    cost, gate = lf.build_association_cost(IOUS, **kwargs)
    assert (cost[0] == 1.0 + gate).tolist() == vetoed and (cost[0] > gate).tolist() == vetoed


def test_nan_iou_is_not_vetoed():
    assert np.isnan(lf.build_association_cost([[np.nan]])[0][0, 0])


def test_empty_ious_still_returns_gate():
    cost, gate = lf.build_association_cost(np.zeros((0, 5)), motion=[])
    assert cost.shape == (0, 5) and gate == GATE


@pytest.mark.parametrize("name", ["motion", "class_mismatch", "gating_d2", "appearance", "uncertainty"])
def test_too_short_optional_matrix_refused(name):
    with pytest.raises(ValueError) as e:
        lf.build_association_cost(IOUS, w_app=1.0, w_unc=1.0, gate_thresh=1.0, **{name: [0.0]})
    assert str(e.value) == f"build_association_cost: {name} must hold at least T*D values"


def test_cost_refusals():
    with pytest.raises(ValueError, match=r"^ious must be \(T, D\)$"):
        lf.build_association_cost([0.5, 0.5])
    with pytest.raises(RuntimeError, match="^Unable to cast Python instance of type <class 'str'> to C"):
        lf.build_association_cost(IOUS, gating_d2=[[1.0, 1.0]], gate_thresh="high")
    with pytest.raises(ValueError, match="could not convert string to float"):  # NumPy's own error
        lf.build_association_cost(IOUS, motion="far")


@pytest.mark.parametrize(
    "tracks, dets, want",
    [
        ([[3.0, 0.0]], [[0.0, 5.0], [0.0, 0.0]], [[1.0, 1.0]]),
        ([[0.0, 0.0]], [[0.0, 0.0]], [[1.0]]),
        (np.ones((3, 0)), np.ones((2, 0)), np.ones((3, 2))),
        (np.ones((0, 8)), np.ones((5, 8)), np.ones((0, 5))),
    ],
)
def test_appearance_exact_cases(tracks, dets, want):
    assert_array_equal(lf.appearance_distance(tracks, dets), np.asarray(want), strict=True)


def test_appearance_same_and_opposite_rows():
    t = np.array([[1.0, 2.0, -3.0]])
    assert lf.appearance_distance(t, np.vstack([2 * t, -t])) == pytest.approx(np.array([[0.0, 2.0]]), abs=1e-15)


@pytest.mark.parametrize("shapes", [((3, 8), (2, 4)), ((8,), (2, 8)), ((2, 8), (2, 8, 1))])
def test_appearance_shape_refused(shapes):
    with pytest.raises(ValueError) as e:
        lf.appearance_distance(*(np.ones(s) for s in shapes))
    assert str(e.value) == "appearance_distance: expected (T, d) and (D, d)"


@pytest.mark.parametrize(
    "d2, thresh, want",
    [
        ([[0.0, 4.0, 20.0]], 9.4877, [[0.0, 4.0 / 9.4877, 1.0]]),
        ([5.0, 0.0, -3.0, np.nan], 0.0, [1.0, 0.0, 0.0, np.nan]),
        ([1.0], np.nan, [np.nan]),
        (4.0, 8.0, 0.5),
        (np.zeros((0, 3)), 1.0, np.zeros((0, 3))),
    ],
)
def test_uncertainty_distance(d2, thresh, want):
    assert_array_equal(lf.uncertainty_distance(d2, thresh), np.asarray(want), strict=True)
