"""Box conversions, areas, IoU/GIoU and clipping bit for bit against the
plain-Python model, with and without AVX, and the box-shape rules."""
import numpy as np
import pytest

import loomfeather_cpp as lf
from models import ELEMENTWISE, INF, NAN, bits_equal, cap, clamp0, overlap, random_boxes


def assert_bits_equal(got, want):
    assert got.dtype == np.float64 and bits_equal(got, want), (got, want)


# The last box, read as xyah, has a product a*h that overflows before halving.
BOXES = random_boxes(3000, seed=1) + [[1.0, 2.0, 1e308, 3.0]]


@pytest.mark.parametrize("name", ELEMENTWISE)
def test_elementwise_bits(name):
    assert_bits_equal(getattr(lf, name)(np.array(BOXES)), [ELEMENTWISE[name](*b) for b in BOXES])


@pytest.mark.parametrize("m", [*range(1, 10), 70])
def test_overlap_bits_every_lane_and_tail(m, simd):
    # Columns go four at a time where the processor has AVX, the rest one by
    # one: every width and every lane position must give the scalar bits.
    a = random_boxes(40, seed=4) + [[NAN, 0.0, 1.0, 1.0], [0.0, 0.0, INF, 5e-324], [-0.0, 1e-4, 1e-4, 2e-4]]
    b = random_boxes(m, seed=20 + m) + a[:m // 7]  # and some identical boxes
    for which, func in enumerate((lf.iou_matrix, lf.giou_matrix)):
        assert_bits_equal(func(np.array(a), np.array(b)), [[overlap(p, q)[which] for q in b] for p in a])


@pytest.mark.parametrize("width, height", [(640.0, 480.0), (-3.0, 1e-7), (NAN, INF)])
def test_clip_boxes_bits(width, height):
    want = [[cap(clamp0(v), (width, height)[k % 2]) for k, v in enumerate(b)] for b in BOXES]
    assert_bits_equal(lf.clip_boxes(np.array(BOXES), width, height), want)


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
