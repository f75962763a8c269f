"""region_log_probability against an independent bivariate normal, and its contract."""

import math

import mpmath as mp
import numpy as np
import pytest
from scipy import stats

from kestrune import _core

region = _core.region_log_probability
FLOOR = -690.7755278982137


def bivariate_reference(a, b, r):
    """P(X <= a, Y <= b) by high-precision quadrature of phi(x) Phi((b - r x) / sqrt(1 - r^2))."""
    with mp.workdps(30):
        a, b, r = mp.mpf(a), mp.mpf(b), mp.mpf(r)
        s = mp.sqrt((1 - r) * (1 + r))
        points = sorted({float(p) for p in (-12, -6, -3, 0, 3, 6, b / r) if p < a})
        return float(mp.quad(lambda x: mp.npdf(x) * mp.ncdf((b - r * x) / s), [-mp.inf, *points, a]))


def pair(a, b, r, va=1.0, vb=1.0, sa=1.0, sb=1.0):
    cov = np.array([[va, r * math.sqrt(va * vb)], [r * math.sqrt(va * vb), vb]])
    mean = np.array([sa * a * math.sqrt(va), sb * b * math.sqrt(vb)])
    return region(mean, np.array([sa, sb]), cov)


@pytest.mark.parametrize("r", [-0.999999, -0.99, -0.93, -0.8, -0.4, -0.1, 0.05, 0.29, 0.5, 0.76, 0.9, 0.95, 0.999, 0.999999])
def test_two_coordinates_match_an_independent_bivariate_normal(r):
    rng = np.random.default_rng(int(abs(r) * 1e6))
    for a, b in rng.uniform(-6, 6, size=(6, 2)):
        assert math.exp(pair(a, b, r)) == pytest.approx(bivariate_reference(a, b, r), abs=1e-12, rel=0)


@pytest.mark.parametrize("signs", [(1, 1), (1, -1), (-1, 1), (-1, -1)])
def test_signs_and_variances_reduce_to_the_standard_orthant(signs):
    a, b, r, va, vb = 0.4, -1.1, 0.6, 2.5, 0.3
    # sign -1 asks for Y <= 0, that is -Y >= 0: flip the mean and the correlation.
    za, zb, rr = signs[0] * a, signs[1] * b, signs[0] * signs[1] * r
    cov = np.array([[va, r * math.sqrt(va * vb)], [r * math.sqrt(va * vb), vb]])
    got = region(np.array([a * math.sqrt(va), b * math.sqrt(vb)]), np.array(signs, float), cov)
    assert math.exp(got) == pytest.approx(bivariate_reference(za, zb, rr), abs=1e-12, rel=0)


@pytest.mark.parametrize(
    "mean, sign, cov, expected",
    [
        ([], [], np.zeros((0, 0)), 0.0),
        ([0.0], [1.0], [[1.0]], -0.6931471805599453),
        ([0.0], [-1.0], [[4.0]], -0.6931471805599453),
        ([np.nan], [1.0], [[1.0]], FLOOR),
        ([np.nan, 0.0], [1.0, 1.0], np.eye(2), FLOOR),
        ([np.inf, 0.3], [1.0, 1.0], [[1.0, 0.5], [0.5, 1.0]], stats.norm.logcdf(0.3)),
        ([0.3, -0.5, 1.0], [1.0, -1.0, 1.0], np.full((3, 3), 0.25) + 0.75 * np.eye(3), -1.0882041061515428),
    ],
    ids=["empty", "one_above", "one_below", "nan_one", "nan_two", "infinite_mean", "equicorrelated_trio"],
)
def test_fixed_values(mean, sign, cov, expected):
    assert region(np.array(mean, float), np.array(sign, float), np.array(cov, float)) == expected


def test_independent_pair_and_upper_tail_stay_probabilities():
    assert pair(0.7, -0.2, 0.0) == pytest.approx(stats.norm.logcdf(0.7) + stats.norm.logcdf(-0.2), abs=1e-15)
    assert pair(5.0, 5.0, 0.5) <= 0.0
    assert pair(9.0, 0.0, 0.9) == pytest.approx(math.log(0.5), abs=1e-14)
    assert pair(0.2, 0.1, 1.0) == pair(0.2, 0.1, 0.999999)


@pytest.mark.parametrize("n", [1, 2, 3])
@pytest.mark.parametrize("variance", [0.0, -1.0])
def test_non_positive_variance_is_not_evaluable(n, variance):
    cov = np.eye(n)
    cov[0, 0] = variance
    with pytest.raises(ValueError, match="^REGION_NOT_EVALUABLE$"):
        region(np.zeros(n), np.ones(n), cov)


def test_nan_mean_is_not_evaluable_from_three_coordinates():
    with pytest.raises(ValueError, match="^REGION_NOT_EVALUABLE$"):
        region(np.array([np.nan, 0.0, 0.0]), np.ones(3), np.eye(3))


@pytest.mark.parametrize(
    "mean, sign, cov",
    [(np.zeros(3), np.ones(2), np.eye(3)), (np.zeros(2), np.ones(2), np.eye(3)[:, :2]), (np.zeros(2), np.ones(2), np.eye(3))],
    ids=["short_sign", "not_square", "wrong_order"],
)
def test_shapes_that_disagree(mean, sign, cov):
    with pytest.raises(ValueError, match="^REGION_SHAPE_INVALID$"):
        region(mean, sign, cov)


@pytest.mark.parametrize(
    "args, name",
    [
        ((np.zeros(2, dtype=np.int64), np.ones(2), np.eye(2)), "mean"),
        ((np.zeros(2), [1.0, 1.0], np.eye(2)), "sign"),
        ((np.zeros(2), np.ones(2), np.eye(2).astype(np.float32)), "covariance"),
        ((np.zeros((2, 1)), np.ones(2), np.eye(2)), "mean"),
    ],
    ids=["int_mean", "list_sign", "float32_covariance", "two_dimensional_mean"],
)
def test_wrong_types_name_the_argument(args, name):
    with pytest.raises(TypeError, match=name):
        region(*args)


def test_lower_triangle_strides_and_transposes_change_no_bit():
    rng = np.random.default_rng(3)
    g = rng.normal(size=(5, 5))
    cov = g @ g.T + 5 * np.eye(5)
    mean, sign = rng.normal(size=5), np.array([1.0, -1.0, -1.0, 1.0, -1.0])
    expected = region(mean, sign, cov)
    scrambled = np.triu(cov) + np.tril(rng.normal(size=(5, 5)), -1)
    assert region(mean, sign, scrambled) == expected
    assert region(mean, sign, np.asfortranarray(cov)) == expected
    assert region(mean, sign, cov.T.copy().T) == expected
    wide = np.zeros((10, 10))
    wide[::2, ::2] = cov
    assert region(np.repeat(mean, 2)[::2], sign[::-1].copy()[::-1], wide[::2, ::2]) == expected
    assert region(mean[::-1].copy()[::-1], sign, cov[::-1, ::-1][::-1, ::-1]) == expected


def test_signature():
    assert region.__text_signature__ == "(mean, sign, covariance)"
