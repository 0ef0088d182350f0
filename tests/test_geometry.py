"""Box conversions, areas, IoU/GIoU, clipping and the box-shape rules."""
import math
import random

import numpy as np
import pytest

import loomfeather_cpp as lf

EPS = 1e-7
NAN, INF = math.nan, math.inf


# Oracle: plain Python floats, one separately rounded operation per step, in
# the order of the formulas. Every selection is false for NaN.
def clamp0(v): return 0.0 if v < 0.0 else v
def hi(p, q): return q if q > p else p
def lo(p, q): return q if q < p else p
def floor_eps(v): return EPS if v < EPS else v
def cap(c, limit): return limit if limit < c else c
def area(b): return clamp0(b[2] - b[0]) * clamp0(b[3] - b[1])


ELEMENTWISE = {
    "xyxy_to_xywh": lambda a, b, c, d: (a, b, c - a, d - b),
    "xywh_to_xyxy": lambda a, b, c, d: (a, b, a + c, b + d),
    "xyxy_to_cxcywh": lambda a, b, c, d: ((a + c) * 0.5, (b + d) * 0.5, c - a, d - b),
    "cxcywh_to_xyxy": lambda a, b, c, d: (a - c * 0.5, b - d * 0.5, a + c * 0.5, b + d * 0.5),
    "xyxy_to_xyah": lambda a, b, c, d: ((a + c) * 0.5, (b + d) * 0.5, (c - a) / floor_eps(d - b), d - b),
    "xyah_to_xyxy": lambda a, b, c, d: (a - c * d * 0.5, b - d * 0.5, a + c * d * 0.5, b + d * 0.5),
    "box_area": lambda *box: area(box),
}


def overlap(a, b):
    area_a, area_b = area(a), area(b)
    inter = clamp0(lo(a[2], b[2]) - hi(a[0], b[0])) * clamp0(lo(a[3], b[3]) - hi(a[1], b[1]))
    union = (area_b + area_a) - inter
    iou = inter / floor_eps(union)
    enclose = clamp0(hi(a[2], b[2]) - lo(a[0], b[0])) * clamp0(hi(a[3], b[3]) - lo(a[1], b[1]))
    return iou, iou - (enclose - union) / floor_eps(enclose)


def random_boxes(n, seed):
    """Ordinary, degenerate, zero-area, tiny, identical, signed-zero and non-finite boxes."""
    rng = random.Random(seed)
    specials = [NAN, INF, -INF, 0.0, -0.0, 1e308, -1e308, 5e-324]
    boxes = []
    for _ in range(n):
        kind = rng.randrange(7)
        x, y = rng.uniform(-50, 650), rng.uniform(-50, 500)
        w, h = rng.uniform(0, 300), rng.uniform(0, 300)
        if kind == 1:  # degenerate: x2 < x1 and/or y2 < y1
            w, h = rng.uniform(-100, 10), rng.uniform(-100, 10)
        elif kind == 2:  # tiny (area below 1e-7), clustered so they overlap
            x, y = rng.uniform(0, 2e-4), rng.uniform(0, 2e-4)
            w, h = rng.uniform(0, 3e-4), rng.uniform(0, 3e-4)
        elif kind == 3:  # zero width and/or zero height
            w, h = rng.choice([(0.0, h), (w, 0.0), (0.0, 0.0)])
        box = [x, y, x + w, y + h]
        if kind == 6:  # signed zeros and small integers: touching, shared edges
            box = [rng.choice([0.0, -0.0, 1.0, 2.0]) for _ in range(4)]
        elif kind == 4:
            box[rng.randrange(4)] = rng.choice(specials)
        elif kind == 5 and boxes:
            box = list(rng.choice(boxes))
        boxes.append(box)
    return boxes


def assert_bits_equal(got, want):
    """Same shape and the same bit pattern everywhere; any NaN equals any NaN."""
    want = np.array(want, dtype=np.float64)
    assert got.dtype == np.float64 and got.shape == want.shape
    nan = np.isnan(got)
    np.testing.assert_array_equal(nan, np.isnan(want))
    bad = (got.view(np.int64) != want.view(np.int64)) & ~nan
    assert not bad.any(), f"{bad.sum()} differ, e.g. {got[bad][:3]} vs {want[bad][:3]}"


# The last box, read as xyah, has a product a*h that overflows before halving.
BOXES = random_boxes(3000, seed=1) + [[1.0, 2.0, 1e308, 3.0]]


@pytest.mark.parametrize("name", ELEMENTWISE)
def test_elementwise_bits(name):
    assert_bits_equal(getattr(lf, name)(np.array(BOXES)), [ELEMENTWISE[name](*b) for b in BOXES])


@pytest.mark.parametrize("which", [0, 1], ids=["iou", "giou"])
def test_overlap_bits(which):
    a = random_boxes(70, seed=2)
    b = random_boxes(60, seed=3) + a[:10]
    func = (lf.iou_matrix, lf.giou_matrix)[which]
    assert_bits_equal(func(np.array(a), np.array(b)), [[overlap(p, q)[which] for q in b] for p in a])


@pytest.mark.parametrize("width, height", [(640.0, 480.0), (-3.0, 1e-7), (NAN, INF)])
def test_clip_boxes_bits(width, height):
    want = [[cap(clamp0(v), (width, height)[k % 2]) for k, v in enumerate(b)] for b in BOXES]
    assert_bits_equal(lf.clip_boxes(np.array(BOXES), width, height), want)


@pytest.mark.parametrize("func, args, expected", [
    (lf.xyxy_to_xyah, ([0, 5, 4, 5],), [2, 5, 4e7, 0]),
    (lf.xyxy_to_xyah, ([0, 5, 4, 3],), [2, 4, 4e7, -2]),
    (lf.box_area, ([[0, 0, 3, 4], [5, 5, 4, 9]],), [12, 0]),
    (lf.iou_matrix, ([0, 0, 2, 2], [1, 1, 3, 3]), [[1 / 7]]),
    (lf.giou_matrix, ([0, 0, 2, 2], [1, 1, 3, 3]), [[1 / 7 - 2 / 9]]),
    (lf.giou_matrix, ([0, 0, 1, 1], [2, 2, 3, 3]), [[0 - (9 - 2) / 9]]),
    (lf.iou_matrix, ([1, 1, 1, 1], [1, 1, 1, 1]), [[0]]),
    (lf.giou_matrix, ([1, 1, 1, 1], [1, 1, 1, 1]), [[0]]),
    (lf.iou_matrix, ([0, 0, 1e-4, 1e-4], [0, 0, 1e-4, 1e-4]), [[0.1]]),
    (lf.giou_matrix, ([0, 0, 1e-4, 1e-4], [0, 0, 1e-4, 1e-4]), [[0.1]]),
    (lf.clip_boxes, ([-5, 10, 700, 500], 640, 480), [0, 10, 640, 480]),
])
def test_known_values(func, args, expected):
    assert_bits_equal(func(*args), expected)


BOX_ARRAY_FUNCS = [*ELEMENTWISE, "clip_boxes"]
PAIRWISE = ["iou_matrix", "giou_matrix"]


def call(name, *arrays):
    extra = (640.0, 480.0) if name == "clip_boxes" else ()
    return getattr(lf, name)(*arrays, *extra)


@pytest.mark.parametrize("name, shapes, result", [
    *[(n, [s], s[:-1] if n == "box_area" else s) for n in BOX_ARRAY_FUNCS for s in [(4,), (1, 4), (3, 4), (0, 4)]],
    *[(n, [a, b], r) for n in PAIRWISE for a, b, r in [
        ((3, 4), (8,), (3, 2)), ((4,), (4,), (1, 1)), ((8,), (4,), (2, 1)),
        ((0, 4), (5, 4), (0, 5)), ((0,), (2, 4), (0, 2)), ((2, 4), (0, 4), (2, 0))]],
])
def test_result_shape(name, shapes, result):
    out = call(name, *[np.ones(s) for s in shapes])
    assert out.shape == result and out.dtype == np.float64 and out.flags.c_contiguous


ONE_D, TWO_D = ": a 1-D box must have 4 values", ": a 2-D box array must be (N, 4)"
NDIM, MULT4 = ": expected shape (4,) or (N, 4)", ": 1-D input must be a multiple of 4"


@pytest.mark.parametrize("name, shapes, text", [
    *[(n, [s], t) for n in BOX_ARRAY_FUNCS for s, t in [
        ((8,), ONE_D), ((0,), ONE_D), ((3,), ONE_D), ((), NDIM), ((2, 2, 4), NDIM),
        ((3, 5), TWO_D), ((0, 5), TWO_D), ((2, 3), TWO_D)]],
    *[(n, [a, b], t) for n in PAIRWISE for a, b, t in [
        ((6,), (4,), MULT4), ((4,), (6,), MULT4), ((), (4,), NDIM), ((4,), (2, 2, 4), NDIM),
        ((3, 5), (4,), TWO_D), ((4,), (0, 5), TWO_D), ((6,), (3, 5), MULT4), ((3, 5), (6,), TWO_D)]],
])
def test_shape_errors(name, shapes, text):
    with pytest.raises(ValueError) as err:
        call(name, *[np.zeros(s) for s in shapes])
    assert str(err.value) == name + text


@pytest.mark.parametrize("name", BOX_ARRAY_FUNCS + PAIRWISE)
@pytest.mark.parametrize("make", [
    lambda x: x.copy(), lambda x: x.astype(np.float32), lambda x: np.asfortranarray(x),
    lambda x: np.repeat(x, 2, axis=0)[::2], lambda x: x.astype(np.int64).tolist(),
], ids=["f64", "f32", "fortran", "strided", "int_list"])
def test_any_array_like_is_converted_and_never_written(name, make):
    base = np.array([[1, 2, 7, 9], [3, -1, 2, 8], [0, 0, 0, 0]], dtype=np.float64)
    arg = make(base)
    before = np.array(arg, copy=True)
    args = (arg, arg) if name in PAIRWISE else (arg,)
    out = call(name, *args)
    ref = call(name, *([base] * len(args)))
    assert_bits_equal(out, ref)
    np.testing.assert_array_equal(np.asarray(arg), before)
    assert not (isinstance(arg, np.ndarray) and np.shares_memory(out, arg))
