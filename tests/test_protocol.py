"""The object protocol of TrackerConfig, KalmanBoxTracker and ByteTracker:
uninitialised instances, second constructor calls, pickling, copies, restored
state, and exceptions raised while an array argument is converted."""
import copy
import json
import os
import pickle
import re
import signal
import struct
import subprocess
import sys
import time
import _thread

import numpy as np
import pytest
from hypothesis import event, given, strategies as st

import loomfeather_cpp as lf
from models import CYCLE, scene

SANITIZED = bool(os.environ.get("LF_SANITIZED"))


def run_isolated(code, timeout=120):
    """Runs `code` in a fresh interpreter, so that a crash fails the test instead of killing pytest."""
    res = subprocess.run([sys.executable, "-c", "import numpy as np, pickle, loomfeather_cpp as lf\n" + code],
                         capture_output=True, text=True, timeout=timeout)
    assert res.returncode == 0, f"exit {res.returncode}: {res.stderr[-2000:]}"
    return res.stdout


# --- uninitialised instances ----------------------------------------------------------
# Arguments a live instance accepts, for the members that need some.
Z4, Z8, Z64 = "np.zeros(4)", "np.zeros(8)", "np.eye(8)"
ARGS = {"initiate": Z4, "predict": f"{Z8}, {Z64}", "project": f"{Z8}, {Z64}", "__reduce_ex__": "2", "__deepcopy__": "{}",
        **dict.fromkeys(["update", "_update_eigen", "gating_distance", "gating_distance_batch",
                         "_gating_distance_batch_eigen"], f"{Z8}, {Z64}, {Z4}")}
# What builds an uninitialised instance (the constructors) and plain class attributes.
NOT_GUARDED = {"__init__", "__setstate__", "__doc__", "__module__", "__new__", "__dict__", "__weakref__"}

UNINITIALISED = """
import copy, json
out = {}
for cls in ("TrackerConfig", "KalmanBoxTracker", "ByteTracker"):
    for name, attr in vars(getattr(lf, cls)).items():
        if name in NOT_GUARDED:
            continue
        args = ARGS.get(name, "") if cls != "ByteTracker" or name != "update" else "np.zeros((0, 4)), np.zeros(0)"
        obj = getattr(lf, cls).__new__(getattr(lf, cls))
        call = f"obj.{name}" if isinstance(attr, property) else f"obj.{name}({args})"
        if name == "_pybind11_conduit_v1_":
            call = "obj._pybind11_conduit_v1_(b'', None, b'')"
        for call in [call, "pickle.dumps(obj)", "copy.copy(obj)", "copy.deepcopy(obj)", "lf.ByteTracker(obj)"]:
            try:
                eval(call)
                out[f"{cls}: {call}"] = "returned"
            except Exception as e:
                out[f"{cls}: {call}"] = f"{type(e).__name__}: {e}"
print(json.dumps(out))
"""


def test_every_member_refuses_an_uninitialised_instance():
    out = json.loads(run_isolated(f"ARGS, NOT_GUARDED = {ARGS!r}, {NOT_GUARDED!r}\n" + UNINITIALISED))
    assert len(out) > 40
    for key, said in out.items():
        cls = re.match(r"\w+", key)[0]
        if key.endswith("lf.ByteTracker(obj)") and cls != "TrackerConfig":  # not a configuration at all
            assert said.startswith("TypeError: __init__(): incompatible constructor arguments"), key
        else:
            assert said == f"TypeError: {cls} is not initialised", key


@pytest.mark.parametrize("code, expected", [
    ("pickle.dumps(lf.TrackerConfig(), protocol=0)", None),
    ("pickle.dumps(lf.ByteTracker(), protocol=1)", None),
    ("lf.KalmanBoxTracker().__reduce_ex__(0)", None),
    ("object.__reduce_ex__(lf.TrackerConfig(), 0)", "TypeError: cannot create 'pybind11_object' instances"),
    ("lf.KalmanBoxTracker.__base__()", "TypeError: cannot create 'pybind11_object' instances"),
    ("lf.TrackerConfig.__new__(lf.TrackerConfig.__base__)", "TypeError: cannot create 'pybind11_object' instances"),
    ("type('Sub', (lf.ByteTracker.__base__,), {})()", "TypeError: cannot create 'Sub' instances"),
    ("lf.ByteTracker.__new__(lf.ByteTracker).update(np.zeros((0, 4)), np.zeros(0))",
     "TypeError: ByteTracker is not initialised"),
    ("lf.ByteTracker(lf.TrackerConfig.__new__(lf.TrackerConfig))", "TypeError: TrackerConfig is not initialised"),
])
def test_former_crashes_raise_or_work(code, expected):
    out = run_isolated(f"try:\n    {code}\n    print('ok')\nexcept Exception as e:\n"
                       f"    print(f'{{type(e).__name__}}: {{e}}')")
    assert out.strip() == (expected or "ok")


def test_failed_init_leaves_an_instance_that_can_still_be_built():
    c = lf.TrackerConfig.__new__(lf.TrackerConfig)
    with pytest.raises(ValueError, match="n_init must be >= 1"):
        c.__init__(n_init=0)
    with pytest.raises(TypeError, match="TrackerConfig is not initialised"):
        c.n_init
    c.__init__(n_init=4)
    assert c.n_init == 4


# --- second construction ---------------------------------------------------------------


@pytest.mark.parametrize("make, again, read", [
    (lambda: lf.TrackerConfig(), lambda c: c.__init__(high_score_thresh=0.9), lambda c: c.high_score_thresh),
    (lambda: lf.KalmanBoxTracker(), lambda k: k.__init__(1.0, 2.0), lambda k: k.std_weight_position),
    (lambda: run(lf.ByteTracker(), 3)[0], lambda t: t.__init__(lf.TrackerConfig(n_init=1)), lambda t: t.frame_index),
])
def test_constructors_refuse_a_live_instance(make, again, read):
    obj = make()
    before, state = read(obj), obj.__getstate__()
    name = type(obj).__name__
    with pytest.raises(TypeError, match=f"^{name} is already initialised$"):
        again(obj)
    with pytest.raises(TypeError, match=f"^{name} is already initialised$"):
        obj.__setstate__(state)
    assert read(obj) == before and obj.__getstate__() == state


class CountedConfig(lf.TrackerConfig):
    calls = 0

    def __init__(self, *a, **kw):
        CountedConfig.calls += 1
        super().__init__(*a, **kw)


def test_pickle_and_copy_do_not_call_init_and_keep_the_subclass():
    c = CountedConfig(n_init=5)
    copies = [copy.copy(c), copy.deepcopy(c)] + [pickle.loads(pickle.dumps(c, p)) for p in range(6)]
    assert CountedConfig.calls == 1 and all(type(x) is CountedConfig and x.n_init == 5 for x in copies)


# --- state and round trips ------------------------------------------------------------------


# Every association term: overlap alone, classes, GIoU, the uncertainty term,
# embeddings with their weight, the Jonker-Volgenant solver; (configuration, feature dimension).
TERMS = {"iou": (dict(class_aware=False), 0), "classes": (dict(), 0), "w_unc": (dict(w_unc=0.6), 0),
         "giou": (dict(use_giou=True, class_aware=False), 0), "w_app": (dict(w_app=0.8, appearance_ema_alpha=0.7), 6),
         "lapjv": (dict(use_lapjv=True, n_init=2, max_age=4), 3)}


def run(tracker, frames, dim=0):
    """Runs `tracker` on to `frames` of a scene: the tracker, and everything it said on the way as bytes."""
    said = []
    for boxes, scores, classes, feats in list(scene(3, frames, dim))[tracker.frame_index + 1:]:
        res = tracker.update(boxes, scores, class_ids=classes, features=feats if dim else None)
        said.append([a.tobytes() for a in (*res, *tracker.track_states())])
    return tracker, said


CHECKPOINTS = {"copy": copy.copy, "deepcopy": copy.deepcopy,
               **{f"pickle{p}": (lambda t, p=p: pickle.loads(pickle.dumps(t, p))) for p in range(6)}}


@pytest.mark.parametrize("term", TERMS)
def test_restored_tracker_continues_the_stream_bit_for_bit(term):
    config, dim = TERMS[term]
    original = run(lf.ByteTracker(lf.TrackerConfig(**config)), 40, dim)[0]
    assert len(original.track_states()[0]) > 5
    restored = {name: make(original) for name, make in CHECKPOINTS.items()}
    expected = run(original, 80, dim)[1], original.__getstate__()
    for name, t in restored.items():
        assert (run(t, 80, dim)[1], t.__getstate__()) == expected, name


# A tracker after 12 frames with embeddings, and states of each class as nested
# lists (bytes kept) that a test can edit.
TRACKED = run(lf.ByteTracker(lf.TrackerConfig(w_app=0.5, n_init=2)), 12, 3)[0]
GENUINE = {type(obj): json.loads(json.dumps(obj.__getstate__(), default=lambda b: {"b": b.hex()}),
                                 object_hook=lambda d: bytes.fromhex(d["b"]))
           for obj in [lf.TrackerConfig(w_unc=0.3), lf.KalmanBoxTracker(0.1, 0.01), TRACKED]}


def test_state_is_plain_data():
    args = (0.6, 0.2, 0.25, 0.4, 0.7, 2, 9, False, False, 0.5, 0.3, 0.2, True, 0.8, 1.5, 0.0, 5, False, False, True)
    assert pickle.loads(pickle.dumps(lf.TrackerConfig(*args), 0)).__getstate__() == (1, *args)
    # Plain data only: the state pickles without naming anything from NumPy or this module.
    assert not re.search(rb"numpy|loomfeather", pickle.dumps(TRACKED.__getstate__(), 0))


# --- malformed states ---------------------------------------------------------------------


def restore(state, cls=lf.ByteTracker):
    obj = cls.__new__(cls)
    obj.__setstate__(state)
    return obj


def edit(path, value):
    def apply(s):
        for k in path[:-1]:
            s = s[k]
        s[path[-1]] = value(s[path[-1]]) if callable(value) else value
    return apply


NAN = struct.pack("<d", float("nan"))
KF, TC = lf.KalmanBoxTracker, lf.TrackerConfig
# (change, message[, class]): edit() changes the state in place, a function may return a new one.
MALFORMED = [
    (lambda s: s[:-1], "KalmanBoxTracker state must have 3 items, not 2", KF),
    (edit([2], "x"), "KalmanBoxTracker state: std_weight_velocity must be a float", KF),
    (lambda s: {}, "TrackerConfig state must be a tuple or list", TC),
    (edit([8], None), "TrackerConfig state: use_mahalanobis_gating must be a bool", TC),
    (edit([0], 2), "ByteTracker state: format version 2 is not supported (this build reads 1)"),
    (lambda s: s[:-1], "ByteTracker state must have 5 items, not 4"),
    (edit([1], lambda c: c[:20]), "ByteTracker state: config must have 21 items, not 20"),
    (edit([1], lambda c: c[:6] + [0] + c[7:]), "ByteTracker state: config: n_init must be >= 1"),
    (edit([1], lambda c: c[:6] + [True] + c[7:]), "ByteTracker state: config: n_init must be an int"),
    (edit([2], 2**31), "ByteTracker state: next_id must fit in int32"),
    (edit([2], 0), "ByteTracker state: next_id must be >= 1"),
    (edit([3], -2), "ByteTracker state: frame_index must be >= -1"),
    (edit([3], -1), "ByteTracker state: a tracker before its first frame has no tracks and next_id 1"),
    (edit([4], "tracks"), "ByteTracker state: tracks must be a tuple or list"),
    (edit([4, 0], lambda tr: tr[:12]), "ByteTracker state: track 0 must have 13 items, not 12"),
    (edit([4, 1, 0], 1), "ByteTracker state: track 1: identifiers must ascend, from 1, below next_id"),
    (edit([4, -1, 0], 10**6), "ByteTracker state: track {last}: identifiers must ascend, from 1, below next_id"),
    (edit([4, 0, 1], 3), "ByteTracker state: track 0: state must be 0, 1 or 2"),
    (edit([4, 0, 4], 0), "ByteTracker state: track 0: hits must be in [1, age]"),
    (edit([4, 0, 5], 13), "ByteTracker state: track 0: age must be in [1, frame_index + 1]"),
    (edit([4, 0, 6], -1), "ByteTracker state: track 0: time_since_update must be in [0, age)"),
    (edit([4, 0, 7], 3), "ByteTracker state: track 0: n_init, max_age and appearance_ema_alpha must be the "
                         "configuration's"),
    (edit([4, 0, 10], lambda m: m[:-8]), "ByteTracker state: track 0: mean must hold 8 float64 values"),
    (edit([4, 0, 11], lambda m: NAN + m[8:]), "ByteTracker state: track 0: mean and covariance must be finite"),
    (edit([4, 0, 12], lambda f: f[:-1]), "ByteTracker state: track 0: embedding must hold whole float64 values"),
    (edit([4, 0, 12], lambda f: NAN * (len(f) // 8)), "ByteTracker state: track 0: embedding must be finite"),
]


@pytest.mark.parametrize("change, message, cls", [m if len(m) == 3 else (*m, lf.ByteTracker) for m in MALFORMED],
                         ids=[m[1][:70] for m in MALFORMED])
def test_malformed_state_is_refused(change, message, cls):
    state = copy.deepcopy(GENUINE[cls])
    message = message.format(last=len(GENUINE[lf.ByteTracker][4]) - 1)
    new = change(state)  # edits in place, or a new state
    with pytest.raises(ValueError) as e:
        restore(state if new is None else new, cls)
    assert str(e.value) == message


def test_deleted_track_waiting_for_removal_is_restored():
    state = copy.deepcopy(GENUINE[lf.ByteTracker])
    state[4][0][1], state[4][0][10] = 2, NAN * 8  # left by an update that failed part-way
    t = restore(state)
    assert t.track_states()[1][0] == 2 and t.__getstate__()[4][0][10] == NAN * 8
    run(t, 14, 3)
    assert 2 not in t.track_states()[1]


# A genuine state of each class, mutated, truncated or retyped anywhere: the
# result is a working object or ValueError/TypeError, never a crash (the
# sanitizer run checks that nothing is read or written out of bounds).
VALUES = st.one_of(st.integers(-2**31 - 1, 2**31), st.sampled_from([0, 1, 2, -1, 12, 13, 2**31 - 1]),
                   st.floats(), st.booleans(), st.none(), st.text(max_size=2), st.binary(max_size=80),
                   st.just(()), st.just([]))
NEAR = {int: lambda v: st.integers(v - 2, v + 2), float: lambda v: st.sampled_from([v, -v, 0.0, 2 * v, v / 3]),
        bool: lambda v: st.just(not v)}


def size(node):
    return 1 + sum(map(size, node)) if isinstance(node, list) else 1


def replaced(node, i, change):
    """`node` with its item number i (counted at any depth, leaves first, `node` itself last) passed through change()."""
    for k, item in enumerate(node if isinstance(node, list) else []):
        if i < size(item):
            return node[:k] + [replaced(item, i, change)] + node[k + 1:]
        i -= size(item)
    return change(node)


@st.composite
def changed(draw, node):
    """Mostly a value of the same kind nearby (bytes with one float64 replaced), sometimes anything;
    a list or bytes may also be truncated or extended."""
    if isinstance(node, bytes) and node and draw(st.integers(0, 3)):
        k = 8 * draw(st.integers(0, (len(node) - 1) // 8))
        return node[:k] + struct.pack("<d", draw(st.one_of(st.floats(-1e4, 1e4), st.floats()))) + node[k + 8:]
    if type(node) in NEAR and draw(st.integers(0, 3)):
        return draw(NEAR[type(node)](node))
    if isinstance(node, (list, bytes)) and draw(st.booleans()):
        if draw(st.booleans()):
            return node[:draw(st.integers(0, max(len(node) - 1, 0)))]
        return node + ([draw(VALUES)] if isinstance(node, list) else draw(st.binary(max_size=16)))
    return draw(VALUES)


@st.composite
def mutated(draw):
    """One of the genuine states with one to three of its items, at any depth, changed."""
    cls = draw(st.sampled_from([lf.TrackerConfig, lf.KalmanBoxTracker] + [lf.ByteTracker] * 3))
    state = GENUINE[cls]
    for _ in range(draw(st.sampled_from([1, 1, 2, 3]))):
        state = replaced(state, draw(st.sampled_from(range(size(state)))), lambda node: draw(changed(node)))
    return cls, state


@given(mutated())
def test_mutated_states_restore_or_are_refused(case):
    cls, state = case
    try:
        obj = restore(state, cls)
    except (ValueError, TypeError):
        event(f"{cls.__name__} refused")
        return
    event(f"{cls.__name__} restored")
    assert restore(obj.__getstate__(), cls).__getstate__() == obj.__getstate__()
    if cls is lf.ByteTracker:
        for boxes, scores, classes, feats in scene(5, 3, 3):
            try:
                obj.update(boxes, scores, class_ids=classes, features=feats)
            except (ValueError, RuntimeError, OverflowError) as e:
                assert CYCLE.fullmatch(str(e)), e  # may leave deleted tracks waiting for removal
            else:
                assert set(obj.track_states()[1].tolist()) <= {0, 1}


# --- exceptions while an argument is converted ---------------------------------------------


class Raising:
    """An array-like whose conversion raises `exc`, or is interrupted by Ctrl-C ("signal", "interrupt_main")."""

    def __init__(self, exc):
        self.exc = exc

    def __array__(self, dtype=None, copy=None):
        if self.exc == "signal":
            os.kill(os.getpid(), signal.SIGINT)
        elif self.exc == "interrupt_main":
            _thread.interrupt_main()
        else:
            raise self.exc
        time.sleep(5)  # the handler raises KeyboardInterrupt before this returns


BOXES = np.array([[0.0, 0, 2, 2]])
# One float64 array argument of each kind of entry, the others valid.
ENTRIES = {"echo": lf.echo, "linear_assignment": lf.linear_assignment, "clip_boxes": lambda a: lf.clip_boxes(a, 10, 10),
           "build_association_cost": lf.build_association_cost, "iou_matrix": lambda a: lf.iou_matrix(BOXES, a),
           "KalmanBoxTracker.update": lambda a: lf.KalmanBoxTracker().update(np.zeros(8), np.eye(8), a),
           "ByteTracker.update": lambda a: lf.ByteTracker().update(BOXES, a)}


@pytest.mark.parametrize("entry", ENTRIES)
@pytest.mark.parametrize("arg, raised", [
    (Raising(e := MemoryError("no room")), e), (Raising(e := KeyboardInterrupt()), e), (Raising(e := SystemExit(3)), e),
    ("abc", TypeError), ([[1.0], [2.0, 3.0]], TypeError), (Raising(ValueError("bad")), TypeError), ({}, TypeError),
], ids=["MemoryError", "KeyboardInterrupt", "SystemExit", "text", "ragged", "ValueError", "dict"])
def test_conversion_failures(entry, arg, raised):
    # Interrupts and MemoryError propagate as themselves; any other failure is
    # the argument's: the library's mismatch TypeError.
    with pytest.raises(BaseException) as e:
        ENTRIES[entry](arg)
    if isinstance(raised, BaseException):
        assert e.value is raised and e.value.__cause__ is None
    else:
        assert type(e.value) is TypeError and "incompatible" in str(e.value)


@pytest.mark.parametrize("how", ["signal", "interrupt_main"])
def test_ctrl_c_during_conversion_is_a_keyboard_interrupt(how):
    # Python's own handler, also where SIGINT was ignored when it started (a background job).
    previous, start = signal.signal(signal.SIGINT, signal.default_int_handler), time.monotonic()
    try:
        with pytest.raises(KeyboardInterrupt):
            lf.iou_matrix(Raising(how), BOXES)
    finally:
        signal.signal(signal.SIGINT, previous)
    assert time.monotonic() - start < 4


@pytest.mark.parametrize("rows", [2**31, 2**44])
def test_result_too_large_for_memory_is_a_memory_error(rows):
    if SANITIZED and rows == 2**31:
        pytest.skip("the sanitizer's allocator would reserve the 64 GiB rather than refuse them")
    limit = "" if SANITIZED else "import resource\nresource.setrlimit(resource.RLIMIT_AS, (8 << 30, 8 << 30))\n"
    out = run_isolated(limit + f"try:\n    lf.iou_matrix(np.broadcast_to(np.zeros(4), ({rows}, 4)), np.zeros((1, 4)))\n"
                       "except MemoryError as e:\n    print('MemoryError', e.__cause__)")
    assert out.split() == ["MemoryError", "None"]
