"""Association costs (terms, gate, vetoes), appearance and uncertainty distances."""
import numpy as np
import pytest
from numpy.testing import assert_array_equal

import loomfeather_cpp as lf

IOUS = [[0.9, 0.8]]
B0, B1 = (1.0 - 0.9) * 1.0, (1.0 - 0.8) * 1.0  # overlap terms of IOUS
GATE = (1.0 - 0.3) * 1.0  # default iou_thresh and w_iou


@pytest.mark.parametrize("kwargs, cost, gate", [
    ({}, [B0, B1], GATE),
    ({"iou_thresh": 0.8}, [B0, B1], (1.0 - 0.8) * 1.0),
    ({"motion": [0.25, 0.5, 99.0]}, [0.25, 0.5], GATE),  # first T*D values, any shape
    ({"w_app": 0.5, "appearance": [[0.2, 2.0]]}, [B0 + 0.5 * 0.2, B1 + 0.5 * 2.0], GATE + 1.0),
    ({"w_app": 0.5}, [B0, B1], GATE),
    ({"w_app": 0.0, "appearance": [[0.2, 2.0]]}, [B0, B1], GATE),
    ({"w_unc": 0.25, "uncertainty": [[0.4, 1.0]]}, [B0 + 0.25 * 0.4, B1 + 0.25 * 1.0], GATE + 0.25),
    ({"w_unc": np.nan, "uncertainty": [[0.4, 1.0]]}, [B0, B1], GATE),
])
def test_terms_and_gate(kwargs, cost, gate):
    got, g = lf.build_association_cost(IOUS, **kwargs)
    assert got.tolist() == [cost] and g == gate and got.max() <= g  # admissible pairs stay within the gate


@pytest.mark.parametrize("kwargs, vetoed", [
    ({"class_mismatch": [[True, False]]}, [True, False]),
    ({"class_mismatch": [[0.0, np.nan]]}, [False, True]),
    ({"gating_d2": [[9.0, 9.5]]}, [False, False]),
    ({"gate_thresh": 9.0}, [False, False]),
    ({"gating_d2": [[9.0, 9.5]], "gate_thresh": 9}, [False, True]),
    ({"gating_d2": [[np.nan, 9.5]], "gate_thresh": np.float32(9.5)}, [False, False]),
    ({"iou_thresh": 0.8}, [False, False]),  # equal to the threshold
    ({"iou_thresh": 0.85, "motion": [[0.0, 0.0]]}, [False, True]),  # the test stays on IoU
])
def test_forbidden_pairs_cost_gate_plus_one(kwargs, vetoed):
    cost, gate = lf.build_association_cost(IOUS, **kwargs)
    assert (cost[0] == 1.0 + gate).tolist() == vetoed and (cost[0] > gate).tolist() == vetoed


def test_nan_empty_and_rank():
    assert np.isnan(lf.build_association_cost([[np.nan]])[0][0, 0])  # a NaN overlap is not vetoed
    with pytest.raises(ValueError, match=r"^ious must be \(T, D\)$"):
        lf.build_association_cost([0.5, 0.5])
    cost, gate = lf.build_association_cost(np.zeros((0, 5)), motion=[])
    assert cost.shape == (0, 5) and gate == GATE


@pytest.mark.parametrize("kwargs, exc, text", [
    *[({name: [0.0]}, ValueError, f"build_association_cost: {name} must hold at least T*D values")
      for name in ["motion", "class_mismatch", "gating_d2", "appearance", "uncertainty"]],
    ({"gating_d2": [[1.0, 1.0]], "gate_thresh": "high"}, RuntimeError,
     "Unable to cast Python instance of type <class 'str'> to C"),
    ({"motion": "far"}, ValueError, "could not convert string to float"),  # NumPy's own error
])
def test_cost_refusals(kwargs, exc, text):
    with pytest.raises(exc) as e:
        lf.build_association_cost(IOUS, w_app=1.0, w_unc=1.0, **{"gate_thresh": 1.0, **kwargs})
    assert str(e.value).startswith(text)


@pytest.mark.parametrize("tracks, dets, want", [
    ([[3.0, 0.0]], [[0.0, 5.0], [0.0, 0.0]], [[1.0, 1.0]]),
    ([[0.0, 0.0]], [[0.0, 0.0]], [[1.0]]),
    (np.ones((3, 0)), np.ones((2, 0)), np.ones((3, 2))),
    (np.ones((0, 8)), np.ones((5, 8)), np.ones((0, 5))),
    ([[1.0, 2.0, -3.0]], [[2.0, 4.0, -6.0], [-1.0, -2.0, 3.0]], [[0.0, 2.0]]),  # same and opposite directions
])
def test_appearance_distance(tracks, dets, want):
    assert_array_equal(lf.appearance_distance(tracks, dets), np.asarray(want), strict=True)


@pytest.mark.parametrize("shapes", [((3, 8), (2, 4)), ((8,), (2, 8)), ((2, 8), (2, 8, 1))])
def test_appearance_shape_refused(shapes):
    with pytest.raises(ValueError, match=r"^appearance_distance: expected \(T, d\) and \(D, d\)$"):
        lf.appearance_distance(*(np.ones(s) for s in shapes))


@pytest.mark.parametrize("d2, thresh, want", [
    ([[0.0, 4.0, 20.0]], 9.4877, [[0.0, 4.0 / 9.4877, 1.0]]),
    ([5.0, 0.0, -3.0, np.nan], 0.0, [1.0, 0.0, 0.0, np.nan]),
    ([1.0], np.nan, [np.nan]),
    (4.0, 8.0, 0.5),
    (np.zeros((0, 3)), 1.0, np.zeros((0, 3))),
])
def test_uncertainty_distance(d2, thresh, want):
    assert_array_equal(lf.uncertainty_distance(d2, thresh), np.asarray(want), strict=True)
