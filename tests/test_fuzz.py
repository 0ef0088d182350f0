"""Property-based fuzzing of every entry that takes arguments.

Arrays of rank 0 to 3 (right shapes, every kind of wrong one, empty ones with
huge other dimensions), of every dtype and layout, holding NaN, infinities,
huge and subnormal values. Every call must either succeed, with fresh results
that own their memory, or refuse; it never changes an input, and a refused
tracker frame changes nothing. Tracker streams never reuse an identifier.
(Which text each refusal has: here for frames, elsewhere the other files' tables.)
"""
import os
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import event, given, settings, strategies as st
from hypothesis.extra import numpy as hnp

import loomfeather_cpp as lf
from models import CYCLE, scene

# --- generated values -----------------------------------------------------------

SPECIAL = [0.0, -0.0, 1.0, -1.0, 0.5, 9.4877, 1e-7, np.nan, -np.nan, np.inf, -np.inf, 1e308, -1e308,
           1.7976931348623157e308, 5e-324, -5e-324, 2.2250738585072014e-308, 1e-310, 2.0**31, -2.0**31 - 1]
DTYPES = [np.float64, np.float64, np.dtype(">f8"), np.float32, np.float16, np.int64, np.int32, np.uint8, np.int8,
          np.bool_, object]
# Dimensions beside a zero one. Under AddressSanitizer a failed C++ allocation
# aborts instead of raising MemoryError, so the sanitizer run leaves them out.
HUGE = [] if os.environ.get("LF_SANITIZED") else [2**40, 2**50]
UNCONVERTIBLE = ["x", 10**400, {}]  # no float64 value: a text, an int beyond any double, a dict
FLOAT = st.one_of(st.sampled_from(SPECIAL), st.floats(-1e3, 1e3), st.floats(),
                  st.sampled_from([np.float32(0.25), np.int64(3), True, 7]))
TRACKER_CONFIGS = [lf.TrackerConfig(), lf.TrackerConfig(use_lapjv=True, use_giou=True),
                   lf.TrackerConfig(w_app=1.0, w_unc=0.5, class_aware=False)]
# Scalars by kind: F float, G float or None, I int, B bool, C TrackerConfig;
# each as (convertible values, any values), built from (convertible, may not convert).
SCALARS = {kind: (good, st.one_of(good, bad)) for kind, (good, bad) in {
    "F": (FLOAT, st.sampled_from(["x", 10**400, None, [1.0]])),
    "G": (st.one_of(st.none(), FLOAT), st.sampled_from(["x", 10**400])),
    "I": (st.one_of(st.integers(-3, 12), st.sampled_from([2**31 - 1, -2**31, np.int64(4), True])),
          st.sampled_from([2**31, -2**31 - 1, 2.0, "4", None])),
    "B": (st.sampled_from([True, False, 0, 1, None, np.bool_(True), np.nan]), st.sampled_from(["x", "", [True]])),
    "C": (st.sampled_from(TRACKER_CONFIGS), st.sampled_from([None, 1.0, "x", lf.KalmanBoxTracker()])),
}.items()}


def elements(dtype):
    if dtype == np.float64:
        return st.one_of(st.sampled_from(SPECIAL), st.floats(-1e4, 1e4), st.floats())
    if dtype == object:
        return st.one_of(st.sampled_from(SPECIAL + [True, False, None, "1e3"]), st.integers(-10**20, 10**20))
    return hnp.from_dtype(np.dtype(dtype))


@st.composite
def shapes(draw, template, sizes, wild):
    """The template's shape (symbols n, m, d bound per example; 4k any multiple
    of 4), or a random rank-0-to-3 shape; an empty one may have huge dimensions."""
    if template is not None and (not wild or draw(st.booleans())):
        return tuple(sizes[t] if t in sizes else 4 * draw(st.integers(0, 3)) if t == "4k" else t for t in template)
    shape = draw(st.lists(st.sampled_from([0, 1, 2, 3, 4, 5, 8]), max_size=3))
    if HUGE and 0 in shape and len(shape) > 1 and draw(st.booleans()):  # one huge dimension beside a zero
        shape[draw(st.sampled_from([i for i, d in enumerate(shape) if d] or [0]))] = draw(st.sampled_from(HUGE))
    return tuple(shape)


def relayout(draw, a):
    kind = draw(st.sampled_from(["C", "F", "strided", "reversed", "unaligned", "readonly", "list"]))
    if kind == "F":
        return np.asfortranarray(a)
    if kind == "strided" and a.ndim:
        return np.repeat(a, 2, axis=-1)[..., ::2]
    if kind == "reversed" and a.ndim:
        return a[::-1].copy()[::-1]
    if kind == "unaligned" and a.dtype.itemsize > 1 and a.dtype != object:
        u = np.frombuffer(bytearray(a.nbytes + 1), a.dtype, a.size, offset=1).reshape(a.shape)
        u[...] = a
        return u
    if kind == "readonly":
        a.flags.writeable = False
    if kind == "list" and max(a.shape, default=0) < 100:
        return a.tolist()
    return a


@st.composite
def arrays(draw, template, sizes, wild):
    """Clean: the template's shape, convertible values. Wild: anything."""
    if wild and draw(st.integers(0, 5)) == 0:  # not an array at all
        return draw(st.sampled_from(["abc", {}, None, 2.5, [[1.0], [2.0, 3.0]]]))
    shape = draw(shapes(template, sizes, wild))
    dtype = draw(st.sampled_from(DTYPES))
    if draw(st.integers(0, 3)) == 0:  # one value everywhere: also makes covariances positive definite
        a = np.full(shape, draw(elements(dtype)), dtype=dtype)
    else:
        a = draw(hnp.arrays(dtype, shape, elements=elements(dtype)))
    if shape and shape[-1] == 4 and a.dtype.kind == "f" and draw(st.booleans()):
        with np.errstate(all="ignore"):  # ordered corners: x2 = x1 + |w|, y2 = y1 + |h|
            a[..., 2:] = a[..., :2] + abs(a[..., 2:])
    if wild and dtype == object and a.size and draw(st.booleans()):
        a.flat[draw(st.integers(0, a.size - 1))] = draw(st.sampled_from(UNCONVERTIBLE))
    return relayout(draw, a)


# --- the entries ---------------------------------------------------------------------
# Argument kinds: A array (converted by the boundary), O array or None
# (converted inside the call by NumPy), G float or None (gate_thresh), F float,
# I int, B bool, C TrackerConfig.
CONFIG_ARGS = dict(zip(
    "high_score_thresh low_score_thresh match_iou_thresh recovery_iou_thresh new_track_thresh n_init max_age "
    "use_mahalanobis_gating class_aware w_iou w_app w_unc use_giou appearance_ema_alpha kf_noise_scale w_ocm "
    "ocm_delta_t use_oru use_gmc use_lapjv".split(), "FFFFFIIBBFFFBFFFIBBB"))


def kalman_filters(method):
    return st.builds(lf.KalmanBoxTracker, FLOAT, FLOAT).map(lambda k: getattr(k, method))


@st.composite
def primed_trackers(draw):
    """A tracker holding two confirmed tracks and one tentative one."""
    t = lf.ByteTracker(draw(st.sampled_from(TRACKER_CONFIGS)))
    for f in range(4):
        rows = [[0, 0, 10, 20], [50, 50, 60, 80], [200, 0, 210, 10]][: 2 + (f == 3)]
        t.update(np.array(rows, float) + f, np.full(len(rows), 0.9), class_ids=[1] * len(rows),
                 features=np.ones((len(rows), 3)))
    return t.update


def entry(name, target, kinds, forms=((),)):
    """target: a strategy for the callable; kinds: one letter per argument;
    forms: shapes of the array arguments that the clean draws take."""
    return pytest.param(target, kinds, forms, id=name)


FUNC = st.just  # a module function; methods come from a strategy for their object
BOX_FORMS = [[(4,)], [("n", 4)]]
ENTRIES = [
    entry("echo", FUNC(lf.echo), "A"),
    *[entry(n, FUNC(getattr(lf, n)), "A", BOX_FORMS) for n in [
        "xyxy_to_xywh", "xywh_to_xyxy", "xyxy_to_cxcywh", "cxcywh_to_xyxy", "xyxy_to_xyah", "xyah_to_xyxy", "box_area"]],
    *[entry(n, FUNC(getattr(lf, n)), "AA", [[("n", 4), ("4k",)]]) for n in ("iou_matrix", "giou_matrix")],
    entry("clip_boxes", FUNC(lf.clip_boxes), "AFF", BOX_FORMS),
    *[entry(n, FUNC(getattr(lf, n)), kinds, [[("n", "m")]]) for n, kinds in [
        ("linear_assignment", "A"), ("associate", "AF"), ("linear_assignment_lapjv", "A")]],
    entry("TrackerConfig", FUNC(lf.TrackerConfig), "config"),
    entry("build_association_cost", FUNC(lf.build_association_cost), "AFFFBFOOOGOO", [[("n", "m")] * 6]),
    entry("appearance_distance", FUNC(lf.appearance_distance), "AA", [[("n", "d"), ("m", "d")]]),
    entry("uncertainty_distance", FUNC(lf.uncertainty_distance), "AF"),
    entry("ByteTracker", FUNC(lf.ByteTracker), "C"),
    entry("ByteTracker.update", primed_trackers(), "AAOO", [[("n", 4), s, ("n",), ("n", "d")] for s in
                                                           [("n",), ("n", 1), (1, "n")]]),
    entry("chi2_gating_threshold", FUNC(lf.chi2_gating_threshold), "I"),
    entry("KalmanBoxTracker", FUNC(lf.KalmanBoxTracker), "FF"),
    entry("KalmanBoxTracker.initiate", kalman_filters("initiate"), "A", [[(4,)], [(2, 2)]]),
    *[entry(f"KalmanBoxTracker.{n}", kalman_filters(n), "AA", [[(8,), (8, 8)], [(8,), (64,)], [("n", 8), ("n", 8, 8)]])
      for n in ("predict", "project")],
    entry("KalmanBoxTracker.update", kalman_filters("update"), "AAA", [[(8,), (8, 8), (4,)]]),
    entry("KalmanBoxTracker.gating_distance", kalman_filters("gating_distance"), "AAA", [[(8,), (8, 8), None]]),
    entry("KalmanBoxTracker.gating_distance_batch", kalman_filters("gating_distance_batch"), "AAA",
          [[("n", 8), ("n", 8, 8), None], [(8,), (64,), None]]),
]
# What a refusal may be: the module's own errors, NumPy's conversion errors
# inside a call, the library's argument mismatch, an index error for a 0-d
# array, MemoryError or "too big" for a result no memory can hold.
REFUSALS = (ValueError, TypeError, RuntimeError, IndexError, OverflowError, MemoryError)


def convertible(kind, v):
    if v is None and kind in "GOB":  # B: a number counts by its truth value, None as False
        return True
    if kind == "I":
        return isinstance(v, (int, np.integer)) and -2**31 <= v < 2**31
    if kind == "B":
        return isinstance(v, (int, float, np.number, np.bool_))
    if kind == "C":
        return isinstance(v, lf.TrackerConfig)
    try:
        np.asarray(v, dtype=np.float64) if kind in "AO" else float(v)
        return not (kind in "FG" and isinstance(v, str))
    except (TypeError, ValueError, OverflowError):
        return False


def snapshot(x):
    if isinstance(x, np.ndarray):
        return x.dtype, x.shape, x.strides, x.flags.writeable, x.tobytes()
    return repr(x)


def check_result(res, inputs):
    """Arrays: float64 or int64, fresh, owning their memory; else a float or the library's object."""
    for r in res if isinstance(res, tuple) else [res]:
        if isinstance(r, np.ndarray):
            assert r.dtype in (np.float64, np.int64) and r.flags.c_contiguous and r.flags.owndata
            assert r.flags.writeable and not any(isinstance(a, np.ndarray) and np.shares_memory(r, a) for a in inputs)
        else:
            assert type(r) in (float, lf.TrackerConfig, lf.ByteTracker, lf.KalmanBoxTracker), type(r)


@st.composite
def call_args(draw, kinds, forms):
    if kinds == "config":  # a few fields changed from their defaults, passed by keyword
        names = draw(st.lists(st.sampled_from(list(CONFIG_ARGS)), max_size=4, unique=True))
        return [], {n: draw(SCALARS[CONFIG_ARGS[n]][1]) for n in names}
    sizes = draw(st.fixed_dictionaries({s: st.integers(0, 5) for s in "nmd"}))
    form = iter(draw(st.sampled_from(forms)))
    wild = draw(st.sets(st.integers(0, len(kinds) - 1)))  # the arguments that may go wrong
    args = []
    for i, k in enumerate(kinds):
        if k in "AO":
            tpl = next(form, None)
            args.append(None if k == "O" and draw(st.booleans()) else draw(arrays(tpl, sizes, i in wild)))
        else:
            args.append(draw(SCALARS[k][i in wild]))
    return args, {}


@pytest.mark.parametrize("target, kinds, forms", ENTRIES)
def test_every_call_succeeds_or_refuses(target, kinds, forms):
    """Every call returns fresh results of the documented types, or refuses
    with a one-line message (TypeError for an argument the boundary cannot
    convert), never crashes; no input is changed; a refused tracker frame
    changes nothing, a frame that fails in a stage has only advanced."""
    counts = {"accepted": 0, "refused": 0}

    @given(st.data())  # as many examples as the profile gives
    def run(data):
        func = data.draw(target)
        args, kwargs = data.draw(call_args(kinds, forms))
        arg_kinds = ([(CONFIG_ARGS[n], v) for n, v in kwargs.items()] if kinds == "config"
                     else list(zip(kinds, args)))
        before = [snapshot(a) for a in args]
        tracker = getattr(func, "__self__", None)
        state = (tracker.frame_index, [a.tolist() for a in tracker.track_states()]) \
            if isinstance(tracker, lf.ByteTracker) else None
        boundary_ok = all(convertible(k, v) for k, v in arg_kinds if k not in "OG")
        try:
            res = func(*args, **kwargs)
        except REFUSALS as e:
            text = str(e)
            assert isinstance(e, (TypeError, MemoryError)) or text and "\n" not in text, repr(e)
            assert boundary_ok or isinstance(e, TypeError) and "incompatible" in text, repr(e)
            counts["refused"] += 1
            if state is not None:
                now = (tracker.frame_index, [a.tolist() for a in tracker.track_states()])
                assert now[0] == state[0] + 1 if CYCLE.fullmatch(text) else now == state
        else:
            assert boundary_ok, "an unconvertible argument was accepted"
            counts["accepted"] += 1
            if func is lf.echo and isinstance(args[0], np.ndarray) and args[0].dtype == np.float64 \
                    and args[0].flags.c_contiguous and args[0].flags.aligned:
                assert res is args[0]  # handed back as it is
            else:
                check_result(res, args)
                if func is lf.echo:  # a converted copy
                    np.testing.assert_array_equal(res, np.asarray(args[0], dtype=np.float64))
        assert [snapshot(a) for a in args] == before, "an input was changed"

    run()
    assert counts["accepted"] and counts["refused"], counts


# --- tracker frames and streams ----------------------------------------------------------
INT32 = "update: class_ids must be finite and fit in int32"


# A good frame with one argument (0 boxes, 1 scores, 2 class_ids, 3 features) changed, and its refusal (None:
# NumPy's own conversion error). That a refused frame changes nothing: test_every_call_succeeds_or_refuses.
@pytest.mark.parametrize("arg, change, text", [
    (0, np.ravel, "update: boxes must be (N, 4)"), (0, lambda b: b[:, :3], "update: boxes must be (N, 4)"),
    (0, lambda b: np.r_[[b[0, [2, 1, 0, 3]] + [1, 0, 0, 0]], b[1:]], "degenerate box (x2<x1 or y2<y1)"),
    (1, lambda s: s[1:], "update: scores must have one entry per box"),
    (2, lambda c: np.r_[c, 1], "update: class_ids must have one entry per box"),
    (2, lambda c: np.r_[c[:-1], np.nan], INT32), (2, lambda c: np.r_[2.0**31, c[1:]], INT32),
    (2, lambda c: ["a"] * len(c), None), (3, np.ravel, "update: features must be (N, d)"),
    (3, lambda f: f[1:], "update: features must be (N, d)"),
    (3, lambda f: np.r_[f[:-1], [np.r_[np.inf, f[-1, 1:]]]], "update: features must be finite"),
])
def test_refused_frames_name_their_fault(arg, change, text):
    frame = list(next(scene(1, 1, 3)))
    frame[arg] = change(frame[arg])
    with pytest.raises(ValueError) as e:
        lf.ByteTracker().update(*frame)
    assert text is None or str(e.value) == text


ODD_ROWS = [[np.nan, 0, 10, 10], [0, 0, np.inf, 10], [5, 5, 9, 5], [-1e308, 0, 1e308, 1], [0, 0, 1e-300, 1e-300]]


@settings(max_examples=settings().max_examples // 2)
@given(config=st.sampled_from(TRACKER_CONFIGS + [lf.TrackerConfig(n_init=1, max_age=2)]), use_features=st.booleans(),
       start=st.lists(st.tuples(*[st.floats(0, 500)] * 2, st.floats(5, 80), st.floats(5, 120), *[st.floats(-8, 8)] * 2),
                      min_size=1, max_size=6).map(np.array), data=st.data())
def test_tracker_streams_keep_identifiers_unique_and_ascending(config, use_features, start, data):
    """Objects (corner, size, velocity) moving through a scene, seen with noise and misses, with odd rows and
    resets mixed in."""
    t, highest = lf.ByteTracker(config), 0  # identifiers are never reused: every new one is above all before it
    for f in range(data.draw(st.integers(3, 40))):
        pos = start[:, :2] + f * start[:, 4:]
        seen = data.draw(st.lists(st.sampled_from([True] * 5 + [False]), min_size=len(start), max_size=len(start)))
        boxes = np.c_[pos, pos + start[:, 2:4]][seen] + data.draw(st.floats(-2, 2))
        scores = data.draw(hnp.arrays(float, len(boxes), elements=st.sampled_from([0.95] * 5 + [0.7, 0.55, 0.3, 0.05])))
        classes, feats = np.arange(len(boxes)) % 3 - 1.0, np.eye(len(boxes), 3) + 0.1
        odd = data.draw(st.sampled_from([None] * 15 + ODD_ROWS))
        if odd is not None:
            boxes, scores, classes = np.r_[boxes, [odd]], np.r_[scores, 0.9], np.r_[classes, 0]
            feats = np.r_[feats, np.ones((1, 3))]
        frame, before = t.frame_index, set(t.track_states()[0].tolist())
        try:
            ids = t.update(boxes, scores, classes, feats if use_features else None)[0].tolist()
        except (ValueError, RuntimeError) as e:  # odd rows may fail a stage, after the frame is counted
            assert odd and CYCLE.fullmatch(str(e)), e
            ids = []
        assert t.frame_index == frame + 1
        states = t.track_states()
        assert all(a.dtype == np.int64 and a.shape == states[0].shape for a in states)
        track_ids = states[0].tolist()
        assert track_ids == sorted(set(track_ids)) and ids == sorted(set(ids)) and set(ids) <= set(track_ids)
        assert all(i > highest for i in set(track_ids) - before)
        highest = max([highest, *track_ids])
        event("tracks reported", len(ids) > 0)
        if data.draw(st.integers(0, 30)) == 0:
            t.reset()
            assert t.frame_index == -1 and all(a.size == 0 for a in t.track_states())
            highest = 0


# --- faults the fuzzing found ----------------------------------------------------------

@pytest.mark.skipif(not HUGE, reason="a failed C++ allocation aborts under AddressSanitizer")
def test_associate_refuses_an_impossible_empty_result_before_filling_memory():
    code = ("import resource, numpy as np, loomfeather_cpp as lf\n"
            "resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))\n"
            "for shape in [(2**40, 0), (0, 2**40)]:\n"
            "    try:\n        lf.associate(np.zeros(shape), 1.0)\n"
            "    except MemoryError:\n        print('refused')\n"
            "print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout.split()
    assert out[:2] == ["refused", "refused"] and int(out[2]) < 1 << 20  # peak below 1 GiB
