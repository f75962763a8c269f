"""weighted_chi2_upper_tail: recipes, error codes, and agreement with exact references."""

import math
import re

import numpy as np
import pytest
from scipy import integrate, stats

from kestrune import _core

tail = _core.weighted_chi2_upper_tail


def convolution_tail(w1, w_rest, k, q):
    """P(w1 X_1 + w_rest chi2_k > q) by conditioning on X_1 = u^2 (smooth integrand)."""

    def density_times_tail(u):
        return math.sqrt(2 / math.pi) * math.exp(-u * u / 2) * stats.chi2.sf((q - w1 * u * u) / w_rest, k)

    inside, _ = integrate.quad(density_times_tail, 0, math.sqrt(q / w1), epsabs=1e-15, epsrel=1e-13, limit=200)
    return inside + stats.chi2.sf(q / w1, 1)


def paired_tail(distinct, q):
    """Weights in equal pairs: a sum of exponentials with means 2w, in closed form."""
    rates = [1 / (2 * w) for w in distinct]
    total = 0.0
    for i, rate in enumerate(rates):
        share = math.prod(other / (other - rate) for j, other in enumerate(rates) if j != i)
        total += share * math.exp(-rate * q)
    return total


def assert_tail(result, expected, method):
    assert list(result) == ["probability", "method", "settled_to", "trustworthy"]
    assert result["method"] == method
    assert result["probability"] == pytest.approx(expected, rel=1e-12, abs=1e-300)
    assert result["settled_to"] == 0.0
    assert result["trustworthy"] is True


@pytest.mark.parametrize(
    ("q", "weights", "expected", "method"),
    [
        (0.0, [], 1.0, "degenerate"),
        (-2.0, [], 1.0, "degenerate"),
        (1.5, [], 0.0, "degenerate"),
        (0.0, [0.0, 0.0], 1.0, "degenerate"),
        (-1.0, [0.0, -0.0], 1.0, "degenerate"),
        (3.0, [0.0, 0.0], 0.0, "degenerate"),
        (0.0, [1.0, 2.0], 1.0, "below_support"),
        (-4.0, [0.5], 1.0, "below_support"),
        (1.0, [-0.0, 1.0], stats.chi2.sf(1.0, 1), "exact_single_weight"),
        (5.0, [1.0, 1e-13], stats.chi2.sf(5.0, 1), "exact_single_weight"),
        (7.0, [0.0, 2.5, 0.0], stats.chi2.sf(2.8, 1), "exact_single_weight"),
        (1e-300, [1.0], stats.chi2.sf(1e-300, 1), "exact_single_weight"),
        (5.0, [1.0, 1.0 + 1e-13], math.exp(-2.5), "exact_equal_weights"),
        (6.0, [2.0, 2.0, 2.0], stats.chi2.sf(3.0, 3), "exact_equal_weights"),
        (30.0, [0.75] * 10, stats.chi2.sf(40.0, 10), "exact_equal_weights"),
        # q / w overflows to infinity although every input is finite: the tail is 0.
        (1e10, [1e-310], 0.0, "exact_single_weight"),
        (1e10, [1e-310, 1e-310, 1e-310], 0.0, "exact_equal_weights"),
        # So far above the weights (q / w even overflowing) that the tail is 0 in double
        # precision, as the chi-square bound on the largest weight shows.
        (1e20, [1.0, 2.0], 0.0, "gil_pelaez_inversion"),
        (3.0, [1e-300, 2e-300], 0.0, "gil_pelaez_inversion"),
        (1e300, [1e-300, 2e-300], 0.0, "gil_pelaez_inversion"),
    ],
)
def test_exact_recipes(q, weights, expected, method):
    assert_tail(tail(q, weights), expected, method)


@pytest.mark.parametrize(
    ("q", "weights"),
    [
        (math.nan, [1.0]),
        (math.inf, [1.0, 2.0]),
        (-math.inf, []),
        (math.nan, []),
        (1.0, [1.0, math.nan]),
        (1.0, [-1.0, math.inf]),  # finiteness is checked before sign
        (1.0, [math.inf, -math.inf]),
    ],
)
def test_not_finite(q, weights):
    with pytest.raises(ValueError, match=r"^MIXTURE_TAIL_NOT_FINITE$"):
        tail(q, weights)


@pytest.mark.parametrize("weights", [[-1.0], [2.0, -1e-300], [0.0, -0.5, 3.0]])
def test_negative_weight(weights):
    with pytest.raises(ValueError, match=r"^MIXTURE_TAIL_WEIGHT_NEGATIVE$"):
        tail(1.0, weights)


def test_two_weights_reference_points():
    low = tail(3.0, [1.0, 2.0])
    assert low["method"] == "gil_pelaez_inversion"
    assert abs(low["probability"] - 0.3577677555466) < 1e-9
    assert low["trustworthy"] is True
    # This case runs to the band limit, where the last band is ~1.2e-10 of the sum.
    assert 1.0e-10 < low["settled_to"] < 1.4e-10
    high = tail(10.0, [1.0, 2.0])
    assert abs(high["probability"] - 0.0400548716143) < 1e-9
    assert high["trustworthy"] is True


def check_inversion(result, expected):
    assert result["method"] == "gil_pelaez_inversion"
    assert result["trustworthy"] is True
    assert 0.0 < result["settled_to"] < 1e-3
    # The error is of the order of the last band's share of the sum.
    assert abs(result["probability"] - expected) <= 2 * result["settled_to"] * expected + 1e-13


@pytest.mark.parametrize(
    ("w1", "w_rest", "k", "q"),
    [
        (1.0, 2.0, 1, 0.01),
        (2.0, 1.0, 1, 3.0),
        (0.3, 5.0, 2, 4.0),
        (5.0, 0.3, 2, 4.0),
        (1.0, 0.1, 4, 0.7),
        (0.05, 1.0, 3, 2.5),
        (3.0, 1.0, 2, 40.0),
        # One weight a million times the other: the series runs to the band limit, still trusted.
        (1e-6, 1.0, 1, 1.0),
        (4.27e-13, 1.186e-6, 1, 6.7e-8),
        (4.27e-7, 1.186, 1, 6.7e-2),
    ],
)
def test_inversion_against_convolution(w1, w_rest, k, q):
    check_inversion(tail(q, [w1] + [w_rest] * k), convolution_tail(w1, w_rest, k, q))


@pytest.mark.parametrize(
    ("distinct", "q"),
    [([1.0, 2.0], 3.0), ([0.5, 2.0, 5.0], 6.0), ([1.0, 1.5, 4.0, 0.25], 10.0), ([0.1, 0.2], 0.5), ([1e-6, 1.0], 2.0)],
)
def test_inversion_against_paired_closed_form(distinct, q):
    weights = [w for w in distinct for _ in range(2)]
    check_inversion(tail(q, weights), paired_tail(distinct, q))


@pytest.mark.parametrize(
    ("scale", "q", "expected"),
    [
        (1e-12, 3.0, 0.3577677555466),
        (1e-300, 3.0, 0.3577677555466),
        (1e15, 3.0, 0.3577677555466),
        (2.0**46, 10.0, 0.0400548716143),
        (1e300, 10.0, 0.0400548716143),
    ],
)
def test_inversion_depends_only_on_the_ratios(scale, q, expected):
    result = tail(q * scale, [scale, 2 * scale])
    assert result["method"] == "gil_pelaez_inversion"
    assert abs(result["probability"] - expected) < 1e-9
    assert result["trustworthy"] is True


def test_dropped_weights_do_not_change_the_inversion():
    plain = tail(4.0, [0.3, 5.0, 5.0])
    padded = tail(4.0, [0.0, 0.3, 5e-12, 5.0, 0.0, 5.0])
    assert padded == plain


def test_far_tail_is_flagged_untrustworthy():
    # Cancellation leaves too few digits: the value may not be read as a probability.
    result = tail(200.0, [1.0, 2.0])
    assert result["method"] == "gil_pelaez_inversion"
    assert 0.0 <= result["probability"] <= 1.0
    assert result["settled_to"] > 1e-3
    assert result["trustworthy"] is False


def test_arguments_by_keyword_and_sequence_kinds():
    expected = tail(3.0, [1.0, 2.0])
    assert tail(q=3.0, weights=[1.0, 2.0]) == expected
    assert tail(weights=[1.0, 2.0], q=3.0) == expected
    assert tail(3.0, weights=[1.0, 2.0]) == expected
    assert tail(3, (1, 2)) == expected
    assert tail(np.float64(3.0), np.array([1.0, 2.0])) == expected


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((3.0, "12"), {}, "argument 'weights': Can't extract `str` to `Vec`"),
        (("3", [1.0]), {}, "argument 'q': must be real number, not str"),
        (("3", "12"), {}, "argument 'q': must be real number, not str"),  # q is converted first
        ((3.0, [1.0, "2"]), {}, "argument 'weights': must be real number, not str"),
        ((3.0, 2.0), {}, "argument 'weights': "),
        ((3.0,), {}, "weighted_chi2_upper_tail() missing 1 required positional argument: 'weights'"),
        ((), {"weights": [1.0]}, "weighted_chi2_upper_tail() missing 1 required positional argument: 'q'"),
        ((3.0, [1.0], 1), {}, "weighted_chi2_upper_tail() takes 2 positional arguments but 3 were given"),
        ((3.0, [1.0]), {"q": 2.0}, "weighted_chi2_upper_tail() got multiple values for argument 'q'"),
        ((3.0, [1.0]), {"scale": 2.0}, "weighted_chi2_upper_tail() got an unexpected keyword argument 'scale'"),
    ],
)
def test_type_errors(args, kwargs, message):
    with pytest.raises(TypeError, match="^" + re.escape(message)):
        tail(*args, **kwargs)


def test_inputs_are_left_unchanged():
    weights = [2.0, 0.0, 1.0]
    tail(3.0, weights)
    assert weights == [2.0, 0.0, 1.0]


def test_docstring():
    assert tail.__doc__ == (
        "The upper tail of a weighted sum of chi-squares on one degree of freedom.\n\n"
        "`weights` are the eigenvalues of the tested matrix after projection, so\n"
        "they are nonnegative. Returns the probability, which recipe answered, how\n"
        "far the series had settled, and whether cancellation has left enough digits\n"
        "for the value to be read as a probability."
    )
    assert tail.__text_signature__ == "(q, weights)"


def ruben_tail(q, weights, terms=1200):
    """P(sum w_j X_j > q) by Ruben's chi-square mixture series, with beta = min w."""
    w = np.asarray(weights, dtype=float)
    n, beta = len(w), w.min()
    ratios = 1.0 - beta / w
    c = [float(np.prod(np.sqrt(beta / w)))]
    h = np.array([0.0] + [float(np.sum(ratios**j)) for j in range(1, terms)])
    for k in range(1, terms):
        c.append(float(np.dot(h[k:0:-1], c)) / (2 * k))
    dofs = n + 2 * np.arange(terms)
    lower = float(np.dot(c, stats.chi2.cdf(q / beta, dofs)))
    upper = float(np.dot(c, stats.chi2.sf(q / beta, dofs)))
    # The coefficients add up to 1; take the side that does not cancel.
    return upper if upper < 0.5 else 1.0 - lower


def two_weights_lower_tail(q, w1, w2):
    """P(w1 X_1 + w2 X_2 <= q) as a one-dimensional integral over X_1 = u^2."""

    def density_times_cdf(u):
        return math.sqrt(2 / math.pi) * math.exp(-u * u / 2) * stats.chi2.cdf((q - w1 * u * u) / w2, 1)

    value, _ = integrate.quad(density_times_cdf, 0, math.sqrt(q / w1), epsabs=0, epsrel=1e-12, limit=200)
    return value


def sum_as_rounded(weights):
    total = 0.0
    for w in weights:
        total += w
    return total


def random_sum_cases():
    rng = np.random.default_rng(20261207)
    cases = []
    for _ in range(100):
        n = int(rng.integers(2, 41))
        weights = list(rng.uniform(0.05, 1.0, n))  # within a ratio of 20
        cases.append((sum_as_rounded(weights), weights))
    return cases


def random_tiny_q_cases():
    rng = np.random.default_rng(7)
    cases = []
    for _ in range(40):
        n = int(rng.integers(2, 5))
        weights = list(rng.uniform(0.05, 1.0, n))
        cases.append((10.0 ** rng.uniform(-30, -12) * max(weights), weights))
    return cases


def check_against_reference(cases, reference):
    trusted = 0
    for q, weights in cases:
        result = tail(q, weights)
        if result["trustworthy"]:
            trusted += 1
            expected = reference(q, weights)
            p = result["probability"]
            assert abs(p - expected) <= 1e-7 + 10 * result["settled_to"] * p, (q, weights, result, expected)
    assert trusted >= 0.9 * len(cases)


def test_q_at_the_rounded_sum_of_the_weights():
    # The phase grows only as t^3 there, so rounding used to flip the band index and a run of
    # empty bands passed for convergence at exactly 0.5.
    result = tail(2.001, [2.0, 0.001])
    expected = 1.0 - two_weights_lower_tail(2.001, 2.0, 0.001)
    assert abs(expected - 0.317311) < 1e-6
    assert result["trustworthy"] is True
    assert abs(result["probability"] - expected) <= 1e-7 + 10 * result["settled_to"] * expected
    check_against_reference(random_sum_cases(), ruben_tail)


def test_q_tiny_against_the_weights():
    # The first band is about 1/q wide; it is graded finely enough however wide it is.
    for q, weights in [(1e-16, [1.0, 2.0]), (1e-30, [1.0, 0.5, 0.25])]:
        result = tail(q, weights)
        assert result["trustworthy"] is True
        assert abs(result["probability"] - 1.0) <= 1e-7 + 10 * result["settled_to"]
    # So far below that the first zero lies beyond any number of steps: 1 - 4e-300 is 1.
    for q, weights in [(1e-300, [1.0, 0.5, 0.2]), (1e-200, [1.0, 0.5, 0.2]), (1e-200, [1.0, 2.0])]:
        result = tail(q, weights)
        assert (result["probability"], result["trustworthy"]) == (1.0, True), (q, weights)
    far_apart = tail(1e-14, [1.0, 1e-6])
    expected = 1.0 - two_weights_lower_tail(1e-14, 1.0, 1e-6)
    assert abs(far_apart["probability"] - expected) <= 1e-7 + 10 * far_apart["settled_to"] * expected
    check_against_reference(random_tiny_q_cases(), ruben_tail)
