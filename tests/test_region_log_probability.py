"""region_log_probability against an independent bivariate normal, and its contract."""

import math

import mpmath as mp
import numpy as np
import pytest
from scipy import stats

from kestrune import _core

region = _core.region_log_probability
FLOOR = -690.7755278982137
inf = math.inf


def bivariate_reference(a, b, r):
    """P(X <= a, Y <= b) by high-precision quadrature of phi(x) Phi((b - r x) / sqrt(1 - r^2))."""
    with mp.workdps(30):
        a, b, r = mp.mpf(min(a, b)), mp.mpf(max(a, b)), mp.mpf(r)  # over the lower limit: a shorter range
        s = mp.sqrt((1 - r) * (1 + r))
        points = sorted({float(p) for p in (-12, -6, -3, 0, 3, 6, b / r) if p < a})
        return float(mp.quad(lambda x: mp.npdf(x) * mp.ncdf((b - r * x) / s), [-mp.inf, *points, a]))


@pytest.mark.parametrize("r", [-0.999999, -0.99, -0.93, -0.8, -0.4, -0.1, 0.05, 0.29, 0.5, 0.76, 0.9, 0.95, 0.999, 0.999999])
def test_two_coordinates_match_an_independent_bivariate_normal(r):
    rng = np.random.default_rng(int(abs(r) * 1e6))
    for a, b in rng.uniform(-6, 6, size=(4, 2)):
        # Any signs and variances reduce to the standard orthant at (sign a, sign b), r sign sign.
        sign, var = rng.choice([-1.0, 1.0], size=2), rng.uniform(0.2, 3.0, size=2)
        c = r * math.sqrt(var[0] * var[1])
        got = region(sign * np.array([a, b]) * np.sqrt(var), sign, np.array([[var[0], c], [c, var[1]]]))
        assert math.exp(got) == pytest.approx(bivariate_reference(a, b, sign[0] * sign[1] * r), abs=1e-12, rel=0)


def corr(r):
    return [[1.0, r], [r, 1.0]]


def log_lower_orthant(a, b, r):
    """ln P(X <= a, Y <= b) at 30 digits, however small: the integral over x <= a of
    phi(x) Phi((b - r x) / s), whose logarithm is concave; the quadrature breaks cluster at its
    mode, found by ternary search. Above both limits the complement is integrated instead."""
    with mp.workdps(30):
        if min(a, b) > 0:
            return float(mp.log1p(-(mp.ncdf(-a) + mp.exp(mp.mpf(log_lower_orthant(a, -b, -r))))))
        a, b, r = mp.mpf(min(a, b)), mp.mpf(max(a, b)), mp.mpf(r)  # over the lower limit: a shorter range
        s = mp.sqrt((1 - r) * (1 + r))
        g = lambda x: -x * x / 2 + mp.log(mp.ncdf((b - r * x) / s))
        low, high = a - 100, a
        for _ in range(90):
            m1, m2 = low + (high - low) / 3, high - (high - low) / 3
            low, high = (m1, high) if g(m1) < g(m2) else (low, m2)
        mode = (low + high) / 2
        # Breaks cluster at the mode and, where the correlation is strong, at the near-step of the
        # inner probability, x = b / r, whose width is s.
        steps = {b / r + d * s * mp.mpf(2) ** k for k in range(-3, 12, 3) for d in (-1, 1)} if r else set()
        near = {mode + d * mp.mpf(2) ** k for k in range(-21, 6, 3) for d in (-1, 1)}
        breaks = sorted(p for p in near | steps | {mode} if p < a)
        area = mp.quad(lambda x: mp.exp(g(x) - g(mode)), [-mp.inf, *breaks, a])
        return float(g(mode) + mp.log(area) - mp.log(2 * mp.pi) / 2)


@pytest.mark.parametrize(
    "a, b, r",
    [(-10.0, 0.0, 0.0), (-10.0, 0.0, 0.5), (-30.0, -5.0, 0.5), (-20.0, -20.0, 0.999999), (-5.5, -36.6, 0.28),
     (-1.2, -34.6, 0.93), (12.2, -18.1, 0.27), (6.5, -30.1, 0.75), (35.9, -15.0, -0.1), (8.0, 9.0, -0.9),
     (29.1, 16.1, -0.49), (-0.3, 0.4, -0.999999), (-36.9, 40.0, 0.0)],
)
def test_far_tails_keep_their_relative_accuracy(a, b, r):
    # Any finite limits: the logarithm to 1e-8 relative until the probability reaches the floor.
    got = region(np.array([a, b]), np.ones(2), np.array(corr(r)))
    assert got == pytest.approx(max(log_lower_orthant(a, b, r), FLOOR), rel=1e-8, abs=0)
    with mp.workdps(40):
        one = max(float(mp.log(mp.ncdf(a)) if a < 0 else mp.log1p(-mp.ncdf(-a))), FLOOR)
    assert region(np.array([a]), np.ones(1), np.eye(1)) == pytest.approx(one, rel=1e-8, abs=0)


@pytest.mark.parametrize(
    "mean, sign, cov, expected",
    [
        ([], [], np.zeros((0, 0)), 0.0),
        ([0.0], [1.0], [[1.0]], -0.6931471805599453),
        ([0.0], [-1.0], [[4.0]], -0.6931471805599453),
        ([np.nan], [1.0], [[1.0]], FLOOR),
        ([np.nan, 0.0], [1.0, 1.0], np.eye(2), FLOOR),
        ([np.inf, 0.3], [1.0, 1.0], corr(0.5), stats.norm.logcdf(0.3)),
        ([0.7, -0.2], [1.0, 1.0], np.eye(2), stats.norm.logcdf(0.7) + stats.norm.logcdf(-0.2)),
        ([9.0, 0.0], [1.0, 1.0], corr(0.9), math.log(0.5)),
        ([-40.0, -40.0], [1.0, 1.0], corr(0.5), FLOOR),
        ([-inf, 3.0], [1.0, 1.0], corr(0.5), FLOOR),
        ([0.2, 0.1], [1.0, 1.0], corr(1.0), region(np.array([0.2, 0.1]), np.ones(2), np.array(corr(0.999999)))),
        ([0.3, -0.5, 1.0], [1.0, -1.0, 1.0], np.full((3, 3), 0.25) + 0.75 * np.eye(3), -1.0882041061515428),
    ],
    ids=["empty", "one_above", "one_below", "nan_one", "nan_two", "infinite_mean", "independent", "far_upper_tail",
         "below_the_floor", "infinite_limit_below", "correlation_clamped", "equicorrelated_trio"],
)
def test_fixed_values(mean, sign, cov, expected):
    got = region(np.array(mean, float), np.array(sign, float), np.array(cov, float))
    assert got == pytest.approx(expected, abs=1e-15)
    assert region(np.array([5.0, 5.0]), np.ones(2), np.array(corr(0.5))) <= 0.0


@pytest.mark.parametrize(
    "mean, cov",
    [([0.0], [[0.0]]), ([0.0, 0.0], [[1.0, 0.0], [0.0, -1.0]]), ([0.0] * 3, np.diag([1.0, 1.0, 0.0])),
     ([np.nan, 0.0, 0.0], np.eye(3)), ([0.0] * 3, [[1.0, 1.0, -1.0], [1.0, 1.0, 1.0], [-1.0, 1.0, 1.0]])],
    ids=["zero_variance_one", "negative_variance_two", "zero_variance_three", "nan_mean_three", "not_positive_definite"],
)
def test_not_evaluable(mean, cov):
    with pytest.raises(ValueError, match="^REGION_NOT_EVALUABLE$"):
        region(np.array(mean), np.ones(len(mean)), np.array(cov, float))


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((np.zeros(3), np.ones(2), np.eye(3)), ValueError, "^REGION_SHAPE_INVALID$"),
        ((np.zeros(2), np.ones(2), np.eye(3)[:, :2]), ValueError, "^REGION_SHAPE_INVALID$"),
        ((np.zeros(2), np.ones(2), np.eye(3)), ValueError, "^REGION_SHAPE_INVALID$"),
        ((np.zeros(2, dtype=np.int64), np.ones(2), np.eye(2)), TypeError, "mean"),
        ((np.zeros(2), [1.0, 1.0], np.eye(2)), TypeError, "sign"),
        ((np.zeros(2), np.ones(2), np.eye(2).astype(np.float32)), TypeError, "covariance"),
        ((np.zeros((2, 1)), np.ones(2), np.eye(2)), TypeError, "mean"),
        ((np.zeros(2), np.array([1.0, 2.0]), np.eye(2)), ValueError, "^REGION_SIGN_INVALID$"),
        ((np.zeros(3), np.array([-1.0, 0.0, 1.0]), np.eye(3)), ValueError, "^REGION_SIGN_INVALID$"),
        ((np.zeros(1), np.array([np.nan]), np.eye(1)), ValueError, "^REGION_SIGN_INVALID$"),
        # the signs are judged after the kernel has had its say
        ((np.zeros(2), np.array([1.0, 2.0]), np.diag([1.0, 0.0])), ValueError, "^REGION_NOT_EVALUABLE$"),
    ],
    ids=["short_sign", "not_square", "wrong_order", "int_mean", "list_sign", "float32_covariance", "two_dimensional_mean",
         "sign_two", "sign_zero", "sign_nan", "not_evaluable_before_sign"],
)
def test_refused_arguments(args, error, message):
    with pytest.raises(error, match=message):
        region(*args)


def test_lower_triangle_strides_and_transposes_change_no_bit():
    rng = np.random.default_rng(3)
    g = rng.normal(size=(5, 5))
    cov = g @ g.T + 5 * np.eye(5)
    mean, sign = rng.normal(size=5), np.array([1.0, -1.0, -1.0, 1.0, -1.0])
    expected = region(mean, sign, cov)
    assert region(mean, sign, np.triu(cov) + np.tril(rng.normal(size=(5, 5)), -1)) == expected
    assert region(mean, sign, np.asfortranarray(cov)) == expected
    wide = np.zeros((10, 10))
    wide[::2, ::2] = cov
    assert region(np.repeat(mean, 2)[::2], sign[::-1].copy()[::-1], wide[::2, ::2]) == expected
    assert region(mean[::-1].copy()[::-1], sign, cov[::-1, ::-1][::-1, ::-1]) == expected


def test_signature():
    assert region.__text_signature__ == "(mean, sign, covariance)"
