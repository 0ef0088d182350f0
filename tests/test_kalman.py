"""KalmanBoxTracker and gating bit for bit against the plain-Python model and
against Eigen's solve, with and without AVX; the chi-square table; refusals."""
import numpy as np
import pytest

import loomfeather_cpp as lf
from models import IDENTITY, SP, SV, bits_equal, chol, innovation, lu, random_state, ref_gating

KF = lf.KalmanBoxTracker()


def test_weights_and_initiate():
    v = ((10 * SV) * 100) * ((10 * SV) * 100)
    for z in ([0, 0, 0.5, 100], [[0, 0, 0.5, 100]], [[0, 0], [0.5, 100]]):
        mean, cov = KF.initiate(z)
        assert mean.tolist() == [0, 0, 0.5, 100, 0, 0, 0, 0]
        assert cov.tolist() == np.diag([100, 100, 0.0001, 100, v, v, 1.0000000000000002e-10, v]).tolist()
    other, p = lf.KalmanBoxTracker(std_weight_velocity=1.0, std_weight_position=0.1), (0.1 + 0.1) * 10
    assert np.diag(other.initiate([0, 0, 1, 10])[1])[[0, 4]].tolist() == [p * p, 100.0 * 100.0]
    state = (np.r_[0, 0, 1, 10, 0, 0, 0, 0], np.zeros(64))
    assert other.project(*state)[1][0, 0] == (0.1 * 10) * (0.1 * 10)
    assert other.gating_distance(*state, [1, 0, 1, 10]) == pytest.approx(1.0)


def test_predict():
    means, covs = map(np.array, zip(*(random_state(np.random.default_rng(n)) for n in range(5))))
    bm, bc = KF.predict(means, covs)
    for mean, P, m1, c1 in zip(means, covs, bm, bc):
        want = np.block([[(P[:4, :4] + P[4:, :4]) + (P[:4, 4:] + P[4:, 4:]), P[:4, 4:] + P[4:, 4:]],
                         [P[4:, :4] + P[4:, 4:], P[4:, 4:]]])
        p, v = SP * mean[3], mean[3] * SV
        want[np.diag_indices(8)] += [p * p, p * p, 0.01 * 0.01, p * p, v * v, v * v, 1e-5 * 1e-5, v * v]
        for c in (P, P.ravel(), P[None]):
            sm, sc = KF.predict(mean, c)
            assert sc.shape == (8, 8) and sm.tobytes() == m1.tobytes() and sc.tobytes() == c1.tobytes()
        assert sm.tolist() == (mean + np.r_[mean[4:], 0, 0, 0, 0]).tolist() and sc.tolist() == want.tolist()
    # Noise from the height before the step: (0.05 * 100)^2, not (0.05 * 110)^2.
    assert KF.predict([0, 0, 1, 100, 0, 0, 0, 10], np.zeros((8, 8)))[1][0, 0] == 25.0
    assert [a.shape for a in KF.predict(np.zeros((0, 8)), np.zeros((0, 8, 8)))] == [(0, 8), (0, 8, 8)]


def test_project():
    mean, cov = random_state(np.random.default_rng(1))
    pm, pc = KF.project(mean, cov)
    assert pm.tolist() == mean[:4].tolist() and pc.tolist() == innovation(mean, cov)
    bm, bc = KF.project(np.array([mean, mean]), np.array([cov, cov]))
    assert bm.shape == (2, 4) and (bc == pc).all()
    assert [a.shape for a in KF.project(np.zeros((0, 8)), np.zeros((0, 8, 8)))] == [(0, 4), (0, 4, 4)]


def test_gating():
    rng, pivoted = np.random.default_rng(3), 0
    for n in range(30):
        mean, cov = random_state(rng, mix=n % 3 * 2.5)
        pivoted += lu(chol(innovation(mean, cov)))[1] != IDENTITY
        zs = np.vstack([mean[:4], mean[:4] + rng.normal(size=(6, 4)) * 3])
        d = KF.gating_distance(mean, cov, zs)
        assert d[0] == 0.0 and d.tobytes() == ref_gating(mean, cov, zs).tobytes()
        assert KF.gating_distance_batch(mean, cov.ravel(), zs).tobytes() == d.tobytes()
    assert pivoted > 5
    batch = KF.gating_distance_batch(np.array([mean, mean + 1]), np.array([cov, cov]), zs)
    assert batch.shape == (2, 7) and batch[0].tobytes() == KF.gating_distance(mean, cov, zs).tobytes()


TIED = np.array([[0.1, 0.3, 0.7, 0.2], [0.3, 0.7, 0.1, 0.3], [0.3, 0.1, 0.9, 0.1], [0.2, 0.3, 0.1, 0.5]])


def test_update_written_out_equals_eigen(simd):
    # The written-out correction against Eigen's solve and products, on
    # pivoting and non-pivoting LUs, pivots of equal magnitude, scales from
    # 1e-100 to 1e100, and covariances holding NaN or infinity or leaving S
    # singular.
    rng, pivoted = np.random.default_rng(5), 0
    for n in range(400):
        mean, cov = random_state(rng, mix=n % 4 * 2.0)
        pivoted += lu(innovation(mean, cov))[1] != IDENTITY
        cov = cov * 10.0 ** rng.integers(-100, 100)
        if n % 10 == 0:
            cov[n % 8, n // 8 % 8] = (np.nan, np.inf)[n // 10 % 2]
        elif n % 10 == 1:
            cov, mean[3] = np.zeros((8, 8)), 0.0
        elif n % 10 == 2:  # small integers: pivots of equal magnitude
            x = rng.integers(-2, 3, (8, 8)).astype(float)
            cov, mean[3] = x @ x.T, 2.0
        elif n % 10 == 3:  # two entries of the largest magnitude in S's first column, of either sign
            cov[:4, :4], mean[3] = TIED * rng.choice([-1.0, 1.0], (4, 4)) * [[1], [1], [-1], [1]], 0.0
        z = mean[:4] + rng.normal(size=4)
        assert all(bits_equal(a, b) for a, b in zip(KF.update(mean, cov, z), KF._update_eigen(mean, cov, z)))
    assert pivoted > 100


def test_gating_substitution_equals_eigen_solve(simd):
    # The hand-written substitution (four measurements at a time with AVX)
    # against Eigen's generic 4x4 solve: pivoting and non-pivoting LUs, scales
    # from 1e-120 to 1e120, measurements far, near, exact, infinite and NaN.
    rng = np.random.default_rng(4)
    states = [random_state(rng, mix=n % 4 * 2.0) for n in range(120)]
    means = np.array([m for m, _ in states])
    covs = np.array([c for _, c in states]) * 10.0 ** rng.integers(-120, 120, (120, 1, 1))
    pivoted = sum(lu(chol(innovation(m, c)))[1] != IDENTITY for m, c in zip(means, covs))
    zs = np.vstack([means[:9, :4], rng.normal(size=(40, 4)) * 10.0 ** rng.integers(-3, 8, (40, 1))])
    zs[[12, 20]] = [[np.nan, 0, 0, 1], [0, np.inf, 0, 1]]
    got, want = KF.gating_distance_batch(means, covs, zs), KF._gating_distance_batch_eigen(means, covs, zs)
    assert bits_equal(got, want) and pivoted > 20
    assert (np.diagonal(got[:9]) == 0).all()


@pytest.mark.parametrize("method, args, shape", [
    ("gating_distance", (np.zeros(8), np.zeros((8, 8)), np.zeros((0, 4))), (0,)),
    ("gating_distance", (np.zeros(8), np.zeros((8, 8)), np.float64(1.0)), (0,)),
    ("gating_distance_batch", (np.zeros((0, 8)), np.zeros((0, 8, 8)), np.zeros((3, 4))), (0, 3)),
    ("gating_distance_batch", (np.zeros(8), np.zeros(64), np.zeros((0, 4))), (1, 0)),
])
def test_gating_empty(method, args, shape):
    assert getattr(KF, method)(*args).shape == shape


@pytest.mark.parametrize("cov", [np.zeros((8, 8)), np.full((8, 8), np.nan), -np.eye(8)])
def test_gating_not_positive_definite(cov):
    means, covs = np.array([np.r_[0, 0, 1, 10, 0, 0, 0, 0], np.zeros(8)]), np.array([np.eye(8), cov])
    with pytest.raises(RuntimeError, match="^gating: innovation covariance is not positive definite$"):
        KF.gating_distance_batch(means, covs, np.zeros(4))


def test_chi2_table():
    want = [3.8415, 5.9915, 7.8147, 9.4877, 11.07, 12.592, 14.067, 15.507, 16.919]
    assert [lf.chi2_gating_threshold(d) for d in range(1, 10)] == want and lf.chi2_gating_threshold() == 9.4877
    for dof in (0, 10):
        with pytest.raises(ValueError, match=r"^chi2_gating_threshold: dof out of range 1\.\.9$"):
            lf.chi2_gating_threshold(dof=dof)
    with pytest.raises(TypeError):
        lf.chi2_gating_threshold(4.0)


Z0, Z4, Z8, Z64 = np.float64(0), np.zeros(4), np.zeros(8), np.zeros((8, 8))
ONE, MANY = "expected (8,) mean and (8, 8) covariance", "expected (N, 8) mean and (N, 8, 8) covariance"
GATE_MANY = "gating_distance_batch: expected (N, 8) means and (N, 8, 8) covariances"


@pytest.mark.parametrize("method, args, exc, text", [
    ("initiate", (np.zeros(5),), ValueError, "initiate: measurement must have 4 values"),
    ("initiate", (Z0,), ValueError, "initiate: measurement must have 4 values"),
    ("predict", (np.zeros(7), Z64), ValueError, "predict: " + ONE),
    ("predict", (Z8, np.zeros(63)), ValueError, "predict: " + ONE),
    ("predict", (np.zeros((3, 8)), np.zeros((2, 8, 8))), ValueError, "predict: " + MANY),
    ("project", (Z4, Z64), ValueError, "project: " + ONE),
    ("project", (Z8, np.zeros((4, 4))), ValueError, "project: " + ONE),
    ("project", (np.zeros((2, 4)), np.zeros((2, 8, 8))), ValueError, "project: " + MANY),
    ("update", (Z8, Z64, np.zeros(3)), ValueError, "update: expected (8,), (8, 8) and (4,)"),
    ("update", (Z0, Z64, Z4), ValueError, "update: expected (8,), (8, 8) and (4,)"),
    ("gating_distance", (Z8, np.zeros((4, 4)), Z4), ValueError, "gating_distance: " + ONE),
    ("gating_distance_batch", (Z4, Z64, Z4), ValueError, GATE_MANY),
    ("gating_distance_batch", (np.zeros((2, 8)), np.zeros((2, 64)), Z4), ValueError, GATE_MANY),
] + [(m, (Z0, Z64, Z4)[:n], IndexError, "invalid axis") for m, n in [
    ("predict", 2), ("project", 2), ("gating_distance", 3), ("gating_distance_batch", 3)]])
def test_refusals(method, args, exc, text):
    with pytest.raises(exc) as info:
        getattr(KF, method)(*args)
    assert str(info.value) == text if exc is ValueError else str(info.value).startswith(text)
