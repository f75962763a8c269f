"""tobit_fit, tobit_test and tobit_interval against a dense likelihood written here."""

import math

import numpy as np
import pytest
from scipy import optimize, stats

from kestrune import _core

from helpers import sibships
from invariance import make_sample
from invariance_censored import censored_at_top
from liability_reference import (badly_scaled_pairs, changed, conditional_region, constant_measured, families,
                                 independent_minimum, orthant_log, put)

CUT = 3.841458820694124


def dense_loglik(a, y, cens, lim, x, h2, s2, beta):
    v = s2 * (h2 * a + (1.0 - h2) * np.eye(len(y)))
    mean = x @ beta
    groups = {}  # families of one size and one pattern of measured members, taken together
    for fam in families(a):
        groups.setdefault((len(fam), tuple(cens[fam] == 0)), []).append(fam)
    total = 0.0
    for (_, pattern), split in groups.items():
        rows = np.array(split)
        measured, censored = np.flatnonzero(pattern), np.flatnonzero(~np.array(pattern))
        cm, cv, density = conditional_region(v[rows[:, :, None], rows[:, None, :]], mean[rows], measured, censored,
                                             y[rows[:, measured]])
        total += density.sum()
        if len(censored):
            sign = np.where(cens[rows[:, censored]] == 1, 1.0, -1.0)
            total += orthant_log(cm - lim[rows[:, censored]], sign, cv).sum()
    return total


def censored_sample(seed, fam=60, h2=0.6):
    """Sib pairs and singletons; each person's limit is either an upper or a lower one of its own."""
    rng = np.random.default_rng(seed)
    a = sibships([2] * fam + [1] * 10)
    n = a.shape[0]
    x = np.column_stack([np.ones(n), rng.normal(size=n)])
    y = x @ [1.0, 0.5] + 1.3 * np.linalg.cholesky(h2 * a + (1 - h2) * np.eye(n)) @ rng.normal(size=n)
    upper = rng.uniform(1.2, 2.2, size=n)
    lower = rng.uniform(-0.5, 0.3, size=n)
    cens = np.where(y >= upper, 1, np.where(y <= lower, 2, 0)).astype(np.int64)
    lim = np.where(cens == 1, upper, np.where(cens == 2, lower, np.nan))
    y = np.where(cens == 0, y, np.nan)  # values beyond a limit are never read
    return a, y, cens, lim, x


@pytest.fixture(scope="module")
def sample():
    return censored_sample(11)


@pytest.fixture(scope="module")
def fitted(sample):
    return _core.tobit_fit(*sample)


def test_nothing_censored_on_unrelated_people_is_least_squares():
    rng = np.random.default_rng(2)
    n = 50
    x = np.column_stack([np.ones(n), rng.normal(size=n), rng.normal(size=n)])
    y = x @ [0.5, 1.0, -2.0] + rng.normal(size=n)
    h2, s2, beta, loglik, converged, _, share, largest = _core.tobit_fit(
        np.eye(n), y, np.zeros(n, np.int64), np.zeros(n), x)
    b = np.linalg.lstsq(x, y, rcond=None)[0]
    rss = float(((y - x @ b) ** 2).sum())
    assert converged and share == 0.0 and largest == 1
    assert beta == pytest.approx(b, abs=1e-6)
    assert s2 == pytest.approx(rss / n, abs=1e-6)
    assert loglik == pytest.approx(-n / 2 * (math.log(2 * math.pi) + math.log(rss / n) + 1), abs=1e-6)


def test_loglik_is_the_dense_likelihood_at_the_fit_and_no_search_beats_it(sample, fitted):
    h2, s2, beta, loglik, converged, scaled, share, largest = fitted
    a, y, cens, lim, x = sample
    assert converged and scaled < 1e-6 and largest == 2
    assert 0.0 < share < 1.0 and {1, 2} <= set(cens)
    assert share == np.count_nonzero(cens) / len(cens)
    assert loglik == pytest.approx(dense_loglik(a, y, cens, lim, x, h2, s2, np.array(beta)), abs=1e-8)

    def negative(theta):
        return -dense_loglik(a, y, cens, lim, x, theta[0], math.exp(theta[1]), theta[2:])

    best, _ = independent_minimum(negative, [[h2, math.log(s2), *beta], [0.2, 0.0, 0.0, 0.0]],
                                  [(0.0, 1.0)] + [(None, None)] * 3)
    assert -best <= loglik + 1e-6


def test_the_test_is_half_the_chi2_tail_of_twice_the_likelihood_gain(sample, fitted):
    statistic, p_value, reference, null_loglik, full_loglik = _core.tobit_test(*sample)
    assert reference == "mixture_50_50"
    assert full_loglik == fitted[3]
    assert statistic == pytest.approx(2 * (full_loglik - null_loglik), abs=1e-12)
    assert statistic > 1.0
    assert p_value == pytest.approx(0.5 * stats.chi2.sf(statistic, 1), rel=1e-12)


def test_interval_ends_inside_the_range_solve_the_cut(sample, fitted):
    estimate, lower, upper, lower_limited, upper_limited, level, contains_lower, contains_upper, failures, share = (
        _core.tobit_interval(*sample))
    assert estimate == fitted[0] and level == 0.95 and share == fitted[6] and failures == 0
    assert lower < estimate < upper
    a, y, cens, lim, x = sample

    def profile(h2):
        best = optimize.minimize(lambda t: -dense_loglik(a, y, cens, lim, x, h2, math.exp(t[0]), t[1:]),
                                 [math.log(fitted[1]), *fitted[2]], method="BFGS")
        return -best.fun

    reference = profile(estimate)
    ends = [(lower, lower_limited, contains_lower), (upper, upper_limited, contains_upper)]
    assert any(not limited for _, limited, _ in ends)
    for end, limited, contains in ends:
        if limited:
            assert end in (0.0, 1.0) and contains is not None
        else:
            assert contains is None
            assert 2 * (reference - profile(end)) == pytest.approx(CUT, abs=2e-3)


def scaled_design_sample(seed):
    a, x, y, _ = badly_scaled_pairs(seed, 1.0)
    return a, y, np.where(y > 1.5, 1, 0).astype(np.int64), np.full(len(y), 1.5), x


@pytest.mark.parametrize("seed", [1, 3])
def test_a_covariate_scaled_by_a_thousand_no_longer_stops_the_search(seed):
    # These samples stopped the searches while the fixed effects were searched on the design as
    # given; on its standardised basis a covariate's scale no longer matters.
    sample = scaled_design_sample(seed)
    fit = _core.tobit_fit(*sample)
    assert fit[4] is True
    statistic, p_value, _, null_loglik, full_loglik = _core.tobit_test(*sample)
    assert full_loglik >= fit[3] - 1e-9 and statistic == pytest.approx(max(2 * (full_loglik - null_loglik), 0.0))
    assert 0.0 <= p_value <= 1.0
    estimate, lower, upper = _core.tobit_interval(*sample)[:3]
    assert estimate == fit[0] and lower <= estimate <= upper


def without_spread(limit):
    """constant_measured's pairs with their limits at `limit`, or (None) 100 sibships of three
    measured at 0 but for 75 at or above 0.5, at most two a family."""
    if limit is not None:
        a, x, value, code, limits = constant_measured(limit=limit)
        return a, value, code, limits, x
    code = np.zeros(300, np.int64)
    code[np.r_[0:75:3, 1:75:3, 75:150:3]] = 1
    return sibships([3] * 100), np.where(code == 0, 0.0, np.nan), code, np.where(code, 0.5, np.nan), np.ones((300, 1))


@pytest.mark.parametrize("limit, bounded", [(None, True), (1.5, True), (0.5, False)])
def test_measured_values_without_spread_answer_at_once(limit, bounded):
    # Limits beyond the measured values' fit bound the variance: the maximum is the dense one.
    # Without them the likelihood grows as the variance shrinks, and nothing converges.
    inputs = without_spread(limit)
    h2, s2, beta, loglik, converged, *_ = _core.tobit_fit(*inputs)
    assert converged is bounded
    if not bounded:
        for function in (_core.tobit_test, _core.tobit_interval):
            with pytest.raises(ValueError, match="^TOBIT_FIT_NOT_CONVERGED$"):
                function(*inputs)
        return
    assert loglik == pytest.approx(dense_loglik(*inputs, h2, s2, np.array(beta)), abs=1e-8)
    p = inputs[4].shape[1]
    best = math.inf
    for point in ([h2, 0.0] + [0.0] * p, [0.6, -1.0] + [1.0] * p):
        for _ in range(4):  # Nelder-Mead restarted from its own end, which it may leave short
            run = optimize.minimize(lambda t: -dense_loglik(*inputs, t[0], math.exp(t[1]), t[2:]), point,
                                    method="Nelder-Mead", bounds=[(0.0, 1.0)] + [(None, None)] * (p + 1),
                                    options=dict(xatol=1e-9, fatol=1e-11, maxiter=20000, maxfev=20000))
            point, best = run.x, min(best, run.fun)
    assert loglik == pytest.approx(-best, abs=1e-6)


RANK_DEFICIENT = np.column_stack([np.ones(4), np.arange(4.0), np.arange(4.0)])
BASE = dict(relationship=sibships([2, 2]), value=np.arange(4.0), censoring=np.array([0, 0, 1, 2], np.int64),
            limit=np.array([0.0, 0.0, 2.5, 0.5]), design=np.ones((4, 1)))


@pytest.mark.parametrize(
    "inputs, code",
    [
        (dict(relationship=np.zeros((0, 0)), value=np.zeros(0), censoring=np.zeros(0, np.int64),
              limit=np.zeros(0), design=np.zeros((0, 1))), "TOBIT_NO_ROWS"),
        (changed(BASE, censoring=put(0, 3), relationship=np.eye(3)), "TOBIT_CENSORING_CODE_UNKNOWN"),
        (changed(BASE, censoring=put(1, -1)), "TOBIT_CENSORING_CODE_UNKNOWN"),
        (changed(BASE, limit=np.zeros(3)), "TOBIT_INPUTS_DIFFERENT_LENGTHS"),
        (changed(BASE, censoring=np.zeros(5, np.int64)), "TOBIT_INPUTS_DIFFERENT_LENGTHS"),
        (changed(BASE, relationship=np.eye(3)), "TOBIT_RELATIONSHIP_WRONG_SHAPE"),
        (changed(BASE, relationship=np.eye(4)[:, :3]), "TOBIT_RELATIONSHIP_WRONG_SHAPE"),
        (changed(BASE, design=np.ones((3, 1))), "TOBIT_DESIGN_WRONG_SHAPE"),
        # a view of a design far too large to copy: its shape decides before anything is copied
        (changed(BASE, design=np.broadcast_to(1.0, (3, 2**48))), "TOBIT_DESIGN_WRONG_SHAPE"),
        (changed(BASE, design=np.ones((4, 0))), "TOBIT_DESIGN_HAS_NO_COLUMNS"),
        (changed(BASE, relationship=put((3, 3), np.inf)), "TOBIT_NOT_FINITE"),
        (changed(BASE, design=put((0, 0), np.nan)), "TOBIT_NOT_FINITE"),
        (changed(BASE, relationship=put((0, 1), 0.5 + 2e-10)), "TOBIT_RELATIONSHIP_NOT_SYMMETRIC"),
        (changed(BASE, relationship=put(([2, 3], [3, 2]), 0.9000001)), "TOBIT_RELATIONSHIP_TOO_CLOSE"),
        (changed(BASE, limit=put(2, np.inf), value=put(0, np.nan)), "TOBIT_MEASURED_VALUE_NOT_FINITE"),
        (changed(BASE, limit=put(2, np.nan), value=put(3, np.nan)), "TOBIT_LIMIT_NOT_FINITE"),
        (changed(BASE, censoring=np.array([0, 1, 1, 2], np.int64)), "TOBIT_TOO_FEW_MEASURED_VALUES"),
        (changed(BASE, relationship=put((1, 1), 0.2)), "TOBIT_RELATIONSHIP_NOT_PSD"),
        (changed(BASE, relationship=lambda a: a - 21 * np.eye(4)), "TOBIT_RELATIONSHIP_NOT_PSD"),
        # measured values at the largest double: their mean, where every search starts, overflows
        (changed(BASE, value=np.array([1.7e308, 1.7e308, np.nan, np.nan])), "TOBIT_NO_START_CONVERGED"),
        (changed(BASE, design=RANK_DEFICIENT), "TOBIT_DESIGN_RANK_DEFICIENT"),
        # the design's rank is judged after every other check of the inputs
        (changed(BASE, design=RANK_DEFICIENT, relationship=put((1, 0), 0.8)), "TOBIT_RELATIONSHIP_NOT_SYMMETRIC"),
        (changed(BASE, design=RANK_DEFICIENT, relationship=put(([2, 3], [3, 2]), 0.95)), "TOBIT_RELATIONSHIP_TOO_CLOSE"),
        (changed(BASE, design=RANK_DEFICIENT, value=put(1, np.inf)), "TOBIT_MEASURED_VALUE_NOT_FINITE"),
        (changed(BASE, design=RANK_DEFICIENT, limit=put(3, np.nan)), "TOBIT_LIMIT_NOT_FINITE"),
        (changed(BASE, design=RANK_DEFICIENT, censoring=np.array([0, 2, 1, 2], np.int64)), "TOBIT_TOO_FEW_MEASURED_VALUES"),
        (changed(BASE, design=RANK_DEFICIENT, relationship=put((1, 1), 0.2)), "TOBIT_RELATIONSHIP_NOT_PSD"),
    ],
    ids=["empty", "code_3_first", "code_negative", "short_limit", "long_censoring", "relationship_order",
         "relationship_not_square", "design_rows", "design_rows_of_a_vast_view", "design_no_columns",
         "relationship_infinite", "design_nan", "asymmetric", "too_close", "measured_nan", "limit_nan", "one_measured", "not_psd", "diagonal_minus_20",
         "no_start", "identical_columns", "asymmetric_before_rank", "too_close_before_rank", "measured_inf_before_rank",
         "limit_nan_before_rank", "one_measured_before_rank", "not_psd_before_rank"],
)
@pytest.mark.parametrize("function", [_core.tobit_fit, _core.tobit_test, _core.tobit_interval],
                         ids=["fit", "test", "interval"])
def test_codes(function, inputs, code):
    with pytest.raises(ValueError, match=f"^{code}$"):
        function(**inputs)


@pytest.mark.parametrize(
    "inputs",
    [changed(BASE, relationship=put((0, 1), 0.5 + 5e-11)), changed(BASE, relationship=lambda a: a * 1.8),
     changed(BASE, censoring=np.array([0, 0, 1, 1], np.int64), value=put(2, np.nan), limit=put(0, np.nan))],
    ids=["asymmetry_within_tolerance", "relationship_0_9", "unread_entries_nan"],
)
def test_accepted_edges(inputs):
    assert np.isfinite(_core.tobit_fit(**inputs)[3])


@pytest.mark.parametrize("name, value", [("relationship", [[1.0]]), ("censoring", np.zeros(4)), ("design", np.ones(4))])
def test_wrong_types_name_the_argument(name, value):
    with pytest.raises(TypeError, match=name):
        _core.tobit_fit(**changed(BASE, **{name: value}))


def test_strided_and_transposed_arrays_give_the_same_results(sample, fitted):
    a, y, cens, lim, x = sample
    wide = np.zeros((2 * len(y), 3))
    wide[::2, :2] = x
    result = _core.tobit_fit(np.asfortranarray(a), y[::-1].copy()[::-1], cens[::-1].copy()[::-1],
                             np.repeat(lim, 2)[::2], wide[::2, :2])
    assert result == fitted


@pytest.mark.parametrize("function", [_core.tobit_fit, _core.tobit_test, _core.tobit_interval])
def test_signatures(function):
    assert function.__text_signature__ == "(relationship, value, censoring, limit, design)"


def listed(order):
    """The three censored and binary fits of the shared sample of nuclear families, its people
    listed in the given order: the log-likelihoods."""
    sample = make_sample()
    k, x = sample.k[np.ix_(order, order)], sample.x[order]
    value, code, limit = (v[order] for v in censored_at_top(sample.y, sample.x, 0.0, 1.0))
    second = [v[order] for v in censored_at_top(sample.y2, sample.x, 0.0, 1.0)]
    n = len(order)
    return [_core.tobit_fit(k, value, code, limit, x)[3],
            _core.liability_fit(k, (code == 1).astype(float), x)[2],
            _core.mixed_bivariate_fit(k, 0, sample.y[order], np.zeros(n, np.int64), np.zeros(n), 2, *second, x)[6]]


def test_the_order_people_are_listed_in_changes_nothing():
    # Sequential conditioning depends on the order it takes a family's members in: that order
    # follows who they are, not where they were listed.
    n = 200
    assert listed(np.random.default_rng(5).permutation(n)) == pytest.approx(listed(np.arange(n)), rel=1e-10, abs=0)


def test_a_variance_beyond_the_largest_double_is_not_converged():
    # The standardised search converges; the variance it maps back to is infinite.
    inputs = changed(BASE, value=np.array([1e200, -1e200, 0.0, 0.0]))
    fit = _core.tobit_fit(**inputs)
    assert fit[1] == math.inf and fit[4] is False
    for function in (_core.tobit_test, _core.tobit_interval):
        with pytest.raises(ValueError, match="^TOBIT_FIT_NOT_CONVERGED$"):
            function(**inputs)
