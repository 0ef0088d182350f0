"""Optimized C++ ByteTrack - parity-gated against loomfeather-mot (NumPy)."""

from collections.abc import Sequence
from typing import Any, Literal, Self, SupportsFloat, SupportsIndex, TypeAlias, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

# Arguments as the binding layer converts them: float64 arrays by forced cast,
# floats from anything with a float or index conversion, ints from anything
# with an index conversion (never a float).
_F64: TypeAlias = NDArray[np.float64]
_I64: TypeAlias = NDArray[np.int64]
_Float: TypeAlias = SupportsFloat | SupportsIndex
_Int: TypeAlias = SupportsIndex

__version__: str

class _pybind11_type(type):
    """The binding library's metaclass of every bound class (runtime name
    ``pybind11_builtins.pybind11_type``); not importable from here."""

def build_info() -> dict[str, str | int | bool]:
    """Toolchain versions actually compiled in - not what pip reports."""

def eigen_selftest() -> float:
    """Residual of a 3x3 solve whose exact answer is 0. Non-zero means Eigen is broken."""

def echo(array: ArrayLike) -> _F64:
    """Return a NumPy array unchanged - proves the array boundary works."""

def xyxy_to_xywh(boxes: ArrayLike) -> _F64: ...
def xywh_to_xyxy(boxes: ArrayLike) -> _F64: ...
def xyxy_to_cxcywh(boxes: ArrayLike) -> _F64: ...
def cxcywh_to_xyxy(boxes: ArrayLike) -> _F64: ...
def xyxy_to_xyah(boxes: ArrayLike) -> _F64: ...
def xyah_to_xyxy(boxes: ArrayLike) -> _F64: ...
def box_area(boxes: ArrayLike) -> _F64: ...
def iou_matrix(a: ArrayLike, b: ArrayLike) -> _F64: ...
def giou_matrix(a: ArrayLike, b: ArrayLike) -> _F64: ...
def clip_boxes(boxes: ArrayLike, width: _Float, height: _Float) -> _F64: ...
def linear_assignment(cost: ArrayLike) -> tuple[_I64, _I64]:
    """Solve the rectangular linear-sum-assignment problem (minimisation)."""

def associate(cost: ArrayLike, max_cost: _Float) -> tuple[_I64, _I64, _I64]:
    """Gated one-to-one association; returns (matches, unmatched_rows, unmatched_cols)."""

def linear_assignment_lapjv(cost: ArrayLike) -> tuple[_I64, _I64]:
    """Jonker-Volgenant assignment. NOT parity-safe: optimal, but a different optimum on ties. Provided to price the trade, not to take it."""

class TrackerConfig(metaclass=_pybind11_type):
    def __init__(
        self,
        high_score_thresh: _Float = 0.5,
        low_score_thresh: _Float = 0.1,
        match_iou_thresh: _Float = 0.3,
        recovery_iou_thresh: _Float = 0.5,
        new_track_thresh: _Float = 0.6,
        n_init: _Int = 3,
        max_age: _Int = 30,
        use_mahalanobis_gating: bool = True,
        class_aware: bool = True,
        w_iou: _Float = 1.0,
        w_app: _Float = 0.0,
        w_unc: _Float = 0.0,
        use_giou: bool = False,
        appearance_ema_alpha: _Float = 0.9,
        kf_noise_scale: _Float = 1.0,
        w_ocm: _Float = 0.0,
        ocm_delta_t: _Int = 3,
        use_oru: bool = False,
        use_gmc: bool = False,
        use_lapjv: bool = False,
    ) -> None: ...
    @property
    def high_score_thresh(self) -> float: ...
    @property
    def low_score_thresh(self) -> float: ...
    @property
    def match_iou_thresh(self) -> float: ...
    @property
    def recovery_iou_thresh(self) -> float: ...
    @property
    def new_track_thresh(self) -> float: ...
    @property
    def n_init(self) -> int: ...
    @property
    def max_age(self) -> int: ...
    @property
    def kf_noise_scale(self) -> float: ...

    # Object protocol: pickling under every protocol and copies rebuild the
    # object from its state (plain values led by a format version), never
    # through __init__.
    def __getstate__(self, /) -> tuple[Any, ...]: ...
    def __setstate__(self, state: tuple[Any, ...] | list[Any], /) -> None: ...
    def __reduce_ex__(self, protocol: SupportsIndex, /) -> tuple[Any, ...]: ...
    def __copy__(self) -> Self: ...
    def __deepcopy__(self, memo: dict[int, Any], /) -> Self: ...

def build_association_cost(
    ious: ArrayLike,
    w_iou: _Float = 1.0,
    w_app: _Float = 0.0,
    w_unc: _Float = 0.0,
    use_giou: bool = False,
    iou_thresh: _Float = 0.3,
    motion: ArrayLike | None = None,
    class_mismatch: ArrayLike | None = None,
    gating_d2: ArrayLike | None = None,
    gate_thresh: _Float | None = None,
    appearance: ArrayLike | None = None,
    uncertainty: ArrayLike | None = None,
) -> tuple[_F64, float]: ...
def appearance_distance(track_features: ArrayLike, det_features: ArrayLike) -> _F64: ...
def uncertainty_distance(gating_d2: ArrayLike, gate_thresh: _Float) -> _F64: ...

class ByteTracker(metaclass=_pybind11_type):
    def __init__(self, config: TrackerConfig = ...) -> None: ...
    def reset(self) -> None: ...
    @property
    def frame_index(self) -> int: ...
    @overload
    def update(
        self,
        boxes: ArrayLike,
        scores: ArrayLike,
        class_ids: ArrayLike | None = None,
        features: ArrayLike | None = None,
        *,
        return_indices: Literal[False] = False,
    ) -> tuple[_I64, _F64, _F64, _I64]:
        """Advance one frame. Returns (track_ids, xyxy, scores, class_ids); with return_indices=True also det_indices, the input row of the detection each reported track was matched to in this frame."""

    @overload
    def update(
        self,
        boxes: ArrayLike,
        scores: ArrayLike,
        class_ids: ArrayLike | None = None,
        features: ArrayLike | None = None,
        *,
        return_indices: Literal[True],
    ) -> tuple[_I64, _F64, _F64, _I64, _I64]: ...
    @overload
    def update(
        self,
        boxes: ArrayLike,
        scores: ArrayLike,
        class_ids: ArrayLike | None = None,
        features: ArrayLike | None = None,
        *,
        return_indices: bool,
    ) -> tuple[_I64, _F64, _F64, _I64] | tuple[_I64, _F64, _F64, _I64, _I64]: ...

    def track_states(self) -> tuple[_I64, _I64, _I64, _I64, _I64]:
        """Return (ids, states, hits, ages, time_since_update) in track order."""

    # Object protocol: pickling under every protocol and copies rebuild the
    # object from its state (plain values led by a format version), never
    # through __init__.
    def __getstate__(self, /) -> tuple[Any, ...]: ...
    def __setstate__(self, state: tuple[Any, ...] | list[Any], /) -> None: ...
    def __reduce_ex__(self, protocol: SupportsIndex, /) -> tuple[Any, ...]: ...
    def __copy__(self) -> Self: ...
    def __deepcopy__(self, memo: dict[int, Any], /) -> Self: ...

def chi2_gating_threshold(dof: _Int = 4) -> float: ...

class KalmanBoxTracker(metaclass=_pybind11_type):
    def __init__(self, std_weight_position: _Float = 0.05, std_weight_velocity: _Float = 0.00625) -> None: ...
    @property
    def std_weight_position(self) -> float: ...
    @property
    def std_weight_velocity(self) -> float: ...
    def initiate(self, measurement: ArrayLike) -> tuple[_F64, _F64]: ...
    def predict(self, mean: ArrayLike, covariance: ArrayLike) -> tuple[_F64, _F64]: ...
    def project(self, mean: ArrayLike, covariance: ArrayLike) -> tuple[_F64, _F64]: ...
    def update(self, mean: ArrayLike, covariance: ArrayLike, measurement: ArrayLike) -> tuple[_F64, _F64]: ...
    def gating_distance(self, mean: ArrayLike, covariance: ArrayLike, measurements: ArrayLike) -> _F64: ...
    def gating_distance_batch(self, means: ArrayLike, covariances: ArrayLike, measurements: ArrayLike) -> _F64: ...

    # Object protocol: pickling under every protocol and copies rebuild the
    # object from its state (plain values led by a format version), never
    # through __init__.
    def __getstate__(self, /) -> tuple[Any, ...]: ...
    def __setstate__(self, state: tuple[Any, ...] | list[Any], /) -> None: ...
    def __reduce_ex__(self, protocol: SupportsIndex, /) -> tuple[Any, ...]: ...
    def __copy__(self) -> Self: ...
    def __deepcopy__(self, memo: dict[int, Any], /) -> Self: ...

def evaluate_sequence(
    gt_frames: ArrayLike,
    gt_ids: ArrayLike,
    gt_boxes: ArrayLike,
    tracker_frames: ArrayLike,
    tracker_ids: ArrayLike,
    tracker_boxes: ArrayLike,
    num_frames: _Int,
    fmt: Literal["2015", "2017"],
    gt_flags: object = None,
    gt_classes: object = None,
    full_matrices: bool = False,
) -> tuple[dict[str, Any], dict[str, float | int]]:
    """Evaluate one sequence (HOTA, CLEAR, Identity) as the official MOTChallenge code does. Returns (counts, metrics): the counts combine_evaluations needs, and the sequence's metrics. counts['full_matrix_frames'] tells how many frames had a matching solved on the full matrix (a tie decided it); full_matrices=True computes every frame on its full matrices (slower, same numbers)."""

def combine_evaluations(records: Sequence[dict[str, Any]]) -> dict[str, float | int]:
    """Metrics of several sequences taken together, from their evaluate_sequence counts."""

def linear_assignment_scipy(cost: ArrayLike) -> tuple[_I64, _I64]:
    """Rectangular linear assignment (minimisation) with the pairs and pair order of scipy.optimize.linear_sum_assignment, ties included; the evaluation's solver."""
