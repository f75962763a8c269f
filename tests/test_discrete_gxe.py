"""discrete_gxe_fit, discrete_gxe_test and discrete_gxe_correlation_interval against a dense
numpy likelihood of the two-environment model and searches of it written here."""

import math

import numpy as np
import pytest
from scipy import optimize, stats
from scipy.linalg import null_space

from helpers import NUCLEAR, centred_relationship, gls_loglik, nuclear_families, site_gap
from kestrune import _core

LOG_2PI = math.log(2.0 * math.pi)
CUT = 3.841458820694124
WHICH_MESSAGE = "which must be one of gene_by_environment, any_difference, correlation, genetic, residual"


def simulate(families, seed, g, e, rho):
    """Nuclear families of five, sexes 1, 2, 1, 2, 1, drawn from the model itself."""
    rng = np.random.default_rng(seed)
    k = nuclear_families(families)
    n = 5 * families
    env = np.tile([1.0, 2.0, 1.0, 2.0, 1.0], families)
    x = np.column_stack([np.ones(n), rng.normal(size=n)])
    v = covariance(k, env == 1.0, (g[0], g[1], e[0], e[1], rho))
    y = x @ [1.0, 0.5] + np.linalg.cholesky(v) @ rng.normal(size=n)
    return k, env, x, y


def covariance(k, first, sds):
    g1, g2, e1, e2, rho = sds
    s = np.where(first, g1, g2)
    same = first[:, None] == first[None, :]
    return k * np.outer(s, s) * np.where(same, 1.0, rho) + np.diag(np.where(first, e1, e2) ** 2)


def dense_fit(k, first, x, y, sds, reml):
    """Log-likelihood, GLS beta and its standard errors from the whole n-by-n covariance."""
    loglik, beta, a_inverse = gls_loglik(covariance(k, first, sds), x, y, reml)
    return loglik, beta, np.sqrt(np.diag(a_inverse))


class Families:
    """The same likelihood family by family (batched): fast enough to search, and free of the
    multi-threaded whole-matrix solves that crawl on a busy machine."""

    def __init__(self, k, env, x, y):
        self.first = (env == env.min()).reshape(-1, 5)
        self.k = NUCLEAR
        assert np.array_equal(k, nuclear_families(len(self.first)))
        self.x = x.reshape(-1, 5, x.shape[1])
        self.y = y.reshape(-1, 5)
        self.n, self.p = x.shape
        self.log_det_xtx = np.linalg.slogdet(x.T @ x)[1]

    def loglik(self, sds, reml):
        return self.fit(sds, reml)[0]

    def fit(self, sds, reml):
        """Log-likelihood, GLS beta and its standard errors."""
        g1, g2, e1, e2, rho = sds
        s = np.where(self.first, g1, g2)
        same = self.first[:, :, None] == self.first[:, None, :]
        v = self.k * s[:, :, None] * s[:, None, :] * np.where(same, 1.0, rho)
        v = v + np.eye(5) * (np.where(self.first, e1, e2) ** 2)[:, :, None]
        sign, log_det = np.linalg.slogdet(v)
        if np.any(sign <= 0):
            return -np.inf, None, None
        vi_x = np.linalg.solve(v, self.x)
        vi_y = np.linalg.solve(v, self.y[:, :, None])[:, :, 0]
        a = np.einsum("fip,fiq->pq", self.x, vi_x)
        b = np.einsum("fip,fi->p", self.x, vi_y)
        beta = np.linalg.solve(a, b)
        q = np.einsum("fi,fi->", self.y, vi_y) - b @ beta
        minus_two = log_det.sum() + q + self.n * LOG_2PI
        if reml:
            minus_two += np.linalg.slogdet(a)[1] - self.log_det_xtx - self.p * LOG_2PI
        return -0.5 * minus_two, beta, np.sqrt(np.diag(np.linalg.inv(a)))


# Free vector -> (g1, g2, e1, e2, rho); standard deviations enter by magnitude and rho as a
# sine, so the search is unbounded and covers the whole parameter space.
FULL = lambda t: (t[0], t[1], t[2], t[3], math.sin(t[4]))
NULLS = {
    "gene_by_environment": (lambda t: (t[0], t[0], t[1], t[2], 1.0), [0, 2, 3]),
    "any_difference": (lambda t: (t[0], t[0], t[1], t[1], 1.0), [0, 2]),
    "correlation": (lambda t: (t[0], t[1], t[2], t[3], 1.0), [0, 1, 2, 3]),
    "genetic": (lambda t: (t[0], t[0], t[1], t[2], math.sin(t[3])), [0, 2, 3, 4]),
    "residual": (lambda t: (t[0], t[1], t[2], t[2], math.sin(t[3])), [0, 1, 2, 4]),
}


def search(families, reml, mapping, starts):
    """The highest log-likelihood Nelder-Mead finds from the given free starts."""
    def negative(t):
        sds = mapping(t)
        return -families.loglik((abs(sds[0]), abs(sds[1]), abs(sds[2]), abs(sds[3]), sds[4]), reml)
    best = -np.inf
    for start in starts:
        found = optimize.minimize(negative, start, method="Nelder-Mead",
                                  options={"xatol": 1e-9, "fatol": 1e-11, "maxiter": 20000, "maxfev": 20000})
        best = max(best, -found.fun)
    return best


def sds_of(fit):
    return (math.sqrt(fit[0][0]), math.sqrt(fit[0][1]), math.sqrt(fit[1][0]), math.sqrt(fit[1][1]), fit[3])


DIFFERENT = simulate(80, 7, g=(1.0, 1.5), e=(1.0, 0.7), rho=0.5)
SMALL = simulate(12, 3, g=(1.0, 1.5), e=(1.0, 0.7), rho=0.5)
INTERIOR = simulate(100, 2, g=(1.5, 1.2), e=(0.6, 0.8), rho=0.2)
ALIKE = simulate(80, 0, g=(1.0, 1.0), e=(1.0, 1.0), rho=1.0)


def site_gap_sample():
    """Environments 0, 1, 1 in each family, sites ten residual sds apart: standardised by the
    response's own spread, the fit once stopped 4.3 below the maximum and called it converged."""
    k, x, y = site_gap(10)
    return k, np.tile([0.0, 1.0, 1.0], 20), x, y


class Dense:
    """The whole-matrix likelihood behind the interface of Families, for any relationship."""

    def __init__(self, k, env, x, y):
        self.k, self.first, self.x, self.y = k, env == env.min(), x, y

    def loglik(self, sds, reml):
        try:
            return self.fit(sds, reml)[0]
        except np.linalg.LinAlgError:
            return -np.inf

    def fit(self, sds, reml):
        return dense_fit(self.k, self.first, self.x, self.y, sds, reml)


class Contrasts:
    """REML from the error contrasts a'y alone, a an orthonormal basis of the design's complement:
    a'Va stays regular where residuals at 0 leave V singular (a relationship centred on the
    people, rho = +-1), so this is also the limit there. The GLS effects and their covariance come
    from the bordered system [[V, X], [X', 0]], regular there too."""

    def __init__(self, k, env, x, y):
        self.k, self.first, self.x, self.y = k, env == env.min(), x, y
        self.a = null_space(x.T)
        self.z = self.a.T @ y

    def loglik(self, sds, reml):
        assert reml
        m = self.a.T @ covariance(self.k, self.first, sds) @ self.a
        sign, log_det = np.linalg.slogdet(m)
        return -0.5 * (log_det + self.z @ np.linalg.solve(m, self.z) + len(self.z) * LOG_2PI) if sign > 0 else -np.inf

    def fit(self, sds, reml):
        n, p = self.x.shape
        inverse = np.linalg.inv(np.block([[covariance(self.k, self.first, sds), self.x], [self.x.T, np.zeros((p, p))]]))
        return self.loglik(sds, reml), (inverse @ np.r_[self.y, np.zeros(p)])[n:], np.sqrt(np.diag(-inverse[n:, n:]))


def centred_sample(seed, n=24):
    """A relationship centred on the people (K 1 = 0), an intercept, the sexes alternating."""
    k, x, y, _ = centred_relationship(seed, n=n, markers=200 if n == 24 else 300)
    return k, np.tile([0.0, 1.0], n // 2), x, y


# Families whose genetic sds end at 0 in both sexes, a face where every genetic derivative is 0:
# the maximum lies off it at rho = -1, which the searches once missed while calling the face converged.
SADDLE = simulate(20, 131, g=(0.2, 0.3), e=(1.0, 0.8), rho=-0.8)


# ---- the fit ------------------------------------------------------------------------------

FITTED = {"small": lambda: (SMALL, Dense), "families": lambda: (DIFFERENT, Families), "saddle": lambda: (SADDLE, Families),
          "site_gap": lambda: (site_gap_sample(), Dense),
          # REML's limit where both residuals are 0 and rho is 1 (-1 for seed 57), the covariance singular:
          # once a rounding value there, 0.08 above the limit
          "centred_face": lambda: (centred_sample(3), Contrasts), "centred_face_minus": lambda: (centred_sample(57), Contrasts)}


@pytest.mark.parametrize("reml", [True, False], ids=["reml", "ml"])
@pytest.mark.parametrize("sds", [(0.8, 1.3, 1.1, 0.6, 0.4), (0.0, 0.9, 0.5, 1.2, -1.0), (1.1, 0.7, 0.8, 0.8, 1.0)])
def test_family_route_is_the_whole_matrix_likelihood(sds, reml):
    k, env, x, y = SMALL
    dense = dense_fit(k, env == 1.0, x, y, sds, reml)
    batched = Families(k, env, x, y).fit(sds, reml)
    assert batched[0] == pytest.approx(dense[0], abs=1e-10)
    np.testing.assert_allclose(batched[1:], dense[1:], rtol=1e-10)


@pytest.mark.parametrize("data, reml", [(d, r) for d in ("small", "families", "saddle", "site_gap") for r in (True, False)]
                         + [("centred_face", True), ("centred_face_minus", True)])
def test_fit_is_the_maximum_with_its_gls_effects(data, reml):
    (k, env, x, y), dense = FITTED[data]()
    fit = _core.discrete_gxe_fit(k, env, x, y, reml=reml)
    sds = sds_of(fit)
    families = dense(k, env, x, y)
    loglik, beta, se = families.fit(sds, reml)
    assert fit[6] == pytest.approx(loglik, abs=1e-8)
    np.testing.assert_allclose(fit[4], beta, rtol=1e-7)
    np.testing.assert_allclose(fit[5], se, rtol=1e-7, atol=1e-9)
    assert fit[2] == pytest.approx([fit[0][i] / (fit[0][i] + fit[1][i]) for i in range(2)], rel=1e-15)
    first = int(np.sum(env == env.min()))
    assert (fit[7], fit[10], fit[11]) == (True, [first, len(y) - first], sorted(set(env.tolist())))
    assert fit[9] < 1e-6
    free = [sds[0], sds[1], sds[2], sds[3], math.asin(sds[4])]
    starts = [free, [0.7 * v for v in free[:4]] + [0.3], [1.0, 1.0, 1.0, 1.0, 1.5], [0.3, 0.3, 1.0, 1.0, -1.2]]
    assert search(families, reml, FULL, starts) <= fit[6] + 1e-6


@pytest.mark.parametrize("seed, n", [(18, 60), (3, 24)])
def test_ml_on_a_centred_relationship_has_no_maximum_and_no_statistic(seed, n):
    """With K 1 = 0 and an intercept, the ML likelihood rises without bound as both residuals go
    to 0 at rho = 1: no fit converges (once one did, at the residuals' 0, on a rounding value), and
    no test or interval reports a number."""
    k, env, x, y = centred_sample(seed, n)
    fit = _core.discrete_gxe_fit(k, env, x, y, reml=False)
    g1, g2 = math.sqrt(fit[0][0]), math.sqrt(fit[0][1])
    rising = [Dense(k, env, x, y).loglik((g1, g2, e, e, 1.0), False) for e in (1e-2, 1e-3, 1e-4)]
    assert rising[1] - rising[0] > 2.0 and rising[2] - rising[1] > 2.0  # ln 10 a decade
    assert not fit[7]
    for which in ("genetic", "correlation"):  # the first once gave a statistic of two rounding values
        with pytest.raises(ValueError, match="^DISCRETE_GXE_FIT_NOT_CONVERGED$"):
            _core.discrete_gxe_test(k, env, x, y, which, reml=False)
    with pytest.raises(ValueError, match="^DISCRETE_GXE_FIT_NOT_CONVERGED$"):
        _core.discrete_gxe_correlation_interval(k, env, x, y, reml=False)


def test_relabelled_environment_with_levels_gives_the_same_fit():
    k, env, x, y = DIFFERENT
    fit = _core.discrete_gxe_fit(k, env, x, y)
    relabelled = _core.discrete_gxe_fit(k, np.where(env == 1.0, 3.0, 7.0), x, y, levels=(7, 3))
    assert relabelled[:11] == fit[:11]
    assert relabelled[11] == [3.0, 7.0]


@pytest.mark.parametrize("reml, kept", [(True, 398), (False, 400)], ids=["reml", "ml"])
def test_doubling_the_response_scales_variances_and_shifts_loglik(reml, kept):
    k, env, x, y = DIFFERENT
    fit = _core.discrete_gxe_fit(k, env, x, y, reml)
    doubled = _core.discrete_gxe_fit(k, env, x, 2.0 * y, reml)
    for i in (0, 1):
        assert doubled[i] == pytest.approx([4.0 * v for v in fit[i]], rel=1e-13)
    assert doubled[2:4] == fit[2:4]
    assert doubled[4] == pytest.approx([2.0 * v for v in fit[4]], rel=1e-13)
    assert doubled[6] == pytest.approx(fit[6] - kept * math.log(2.0), abs=1e-8)
    assert doubled[7:] == fit[7:]


# ---- the five tests -----------------------------------------------------------------------

def mixture(*terms):
    return lambda s: sum(0.5 * stats.chi2.sf(s, df) for df in terms)


REFERENCES = {
    "gene_by_environment": ("mixture_chi2_1_chi2_2", mixture(1, 2)),
    "any_difference": ("mixture_chi2_2_chi2_3", mixture(2, 3)),
    "correlation": ("mixture_50_50", lambda s: 0.5 * stats.chi2.sf(s, 1)),
    "genetic": ("chi2_1", lambda s: stats.chi2.sf(s, 1)),
    "residual": ("chi2_1", lambda s: stats.chi2.sf(s, 1)),
}


@pytest.mark.parametrize("reml", [True, False], ids=["reml", "ml"])
@pytest.mark.parametrize("which", list(NULLS))
def test_statistic_is_twice_the_gap_to_the_searched_null(which, reml):
    k, env, x, y = DIFFERENT
    statistic, p_value, reference, null_loglik, full_loglik = _core.discrete_gxe_test(k, env, x, y, which, reml)
    fit = _core.discrete_gxe_fit(k, env, x, y, reml)
    assert full_loglik == fit[6]
    mapping, kept = NULLS[which]
    sds = sds_of(fit)
    free = [sds[0], sds[1], sds[2], sds[3], math.asin(sds[4])]
    starts = [[free[i] for i in kept], [0.8] * len(kept)]
    null_max = search(Families(k, env, x, y), reml, mapping, starts)
    assert null_loglik == pytest.approx(null_max, abs=5e-5)
    assert statistic == pytest.approx(2.0 * (full_loglik - null_max), abs=1e-4)
    name, tail = REFERENCES[which]
    assert reference == name
    assert p_value == pytest.approx(tail(statistic), rel=1e-10)


@pytest.mark.parametrize("which", list(NULLS))
def test_a_statistic_below_one_millionth_has_p_value_one(which):
    statistic, p_value, *_ = _core.discrete_gxe_test(*ALIKE, which)
    assert statistic >= 0.0
    if which == "correlation":  # the full fit sits at rho = 1, the null itself
        assert statistic < 1e-6
    assert (p_value == 1.0) == (statistic < 1e-6)


# ---- the correlation interval --------------------------------------------------------------

def profile(families, reml, r, start):
    return search(families, reml, lambda t: (t[0], t[1], t[2], t[3], r), [start])


@pytest.mark.parametrize("data, limited", [("interior", (False, False)), ("at_one", (False, True))])
def test_interval_ends_cut_the_profile_at_the_chi2_quantile(data, limited):
    k, env, x, y = INTERIOR if data == "interior" else ALIKE
    interval = _core.discrete_gxe_correlation_interval(k, env, x, y)
    estimate, lower, upper, lower_limited, upper_limited, level, failures, inside_lower, inside_upper = interval
    fit = _core.discrete_gxe_fit(k, env, x, y)
    assert estimate == fit[3]
    assert (lower_limited, upper_limited) == limited
    assert (level, failures, inside_lower, inside_upper) == (0.95, 0, None, None)
    families = Families(k, env, x, y)
    start = list(sds_of(fit)[:4])
    peak = profile(families, True, estimate, start)
    for end, bound, at_bound in ((lower, -1.0, lower_limited), (upper, 1.0, upper_limited)):
        if at_bound:
            assert end == bound
        else:
            assert 2.0 * (peak - profile(families, True, end, start)) == pytest.approx(CUT, abs=1e-3)


# ---- refusals ----------------------------------------------------------------------------

def four(env, k=None, x=None, levels=None):
    """A call that reaches the `which` check when the model builds."""
    env = np.asarray(env, dtype=float)
    n = len(env)
    k = np.eye(n) if k is None else k
    x = np.column_stack([np.ones(n), np.arange(n, dtype=float)]) if x is None else x
    return lambda: _core.discrete_gxe_test(k, env, x, np.arange(n, dtype=float) ** 2, "Genetic", levels=levels)


NAN, INF = float("nan"), float("inf")
TWO = [1.0, 2.0, 1.0, 2.0]


@pytest.mark.parametrize("call, message", [
    (four([], k=np.eye(0), x=np.ones((0, 1))), "DISCRETE_GXE_NO_ROWS"),
    (four(TWO, k=np.eye(3)), "DISCRETE_GXE_RELATIONSHIP_WRONG_SHAPE"),
    (four(TWO, k=np.eye(4)[:, :3]), "DISCRETE_GXE_RELATIONSHIP_WRONG_SHAPE"),
    (four(TWO, x=np.ones((3, 1))), "DISCRETE_GXE_DESIGN_WRONG_SHAPE"),
    (four(TWO, x=np.ones((4, 0))), "DISCRETE_GXE_DESIGN_HAS_NO_COLUMNS"),
    (four([1, 2, 3, NAN], k=np.diag([1.0, INF, 1.0, 1.0])), "DISCRETE_GXE_NOT_FINITE"),
    (four(TWO, x=np.array([[1.0], [NAN], [1.0], [1.0]])), "DISCRETE_GXE_NOT_FINITE"),
    (four([1, 2, NAN, 2]), "DISCRETE_GXE_ENVIRONMENT_NOT_FINITE"),
    (four([1, 2, -INF, 2]), "DISCRETE_GXE_ENVIRONMENT_NOT_FINITE"),
    (four([1, 2, 3, NAN]), "DISCRETE_GXE_ENVIRONMENT_NOT_TWO_LEVELS"),
    (four([0.0, -0.0, -0.0, 0.0]), "DISCRETE_GXE_ENVIRONMENT_NOT_TWO_LEVELS"),
    (four([5, 5, 5, 5], levels=(5, 6)), "DISCRETE_GXE_ENVIRONMENT_NOT_TWO_LEVELS"),
    (four(TWO, levels=(1, 1)), "DISCRETE_GXE_ENVIRONMENT_LEVELS_NOT_DISTINCT"),
    (four(TWO, levels=(INF, INF)), "DISCRETE_GXE_ENVIRONMENT_LEVELS_NOT_DISTINCT"),
    (four(TWO, levels=(1, 3)), "DISCRETE_GXE_ENVIRONMENT_LEVELS_UNEXPECTED"),
    (four(TWO, levels=(1, INF)), "DISCRETE_GXE_ENVIRONMENT_LEVELS_UNEXPECTED"),
    (four(TWO, levels=(NAN, 2)), "DISCRETE_GXE_ENVIRONMENT_LEVELS_UNEXPECTED"),
    (four(TWO, levels=(NAN, NAN)), "DISCRETE_GXE_ENVIRONMENT_LEVELS_UNEXPECTED"),
    (four([-1, 1, -1, 1]), "DISCRETE_GXE_ENVIRONMENT_NEGATIVE_LEVEL"),
    (four([2, 2, 2, 1]), "DISCRETE_GXE_A_GROUP_IS_TOO_SMALL"),
    (four([2, 2, 2, 1], levels=(1, 3)), "DISCRETE_GXE_ENVIRONMENT_LEVELS_UNEXPECTED"),
    (four(TWO, x=np.column_stack([np.ones(4), np.zeros(4)])), "DISCRETE_GXE_DESIGN_RANK_DEFICIENT"),
    # two equal columns whose X'X rounding leaves a last pivot slightly positive (once accepted)
    (four(TWO, x=np.column_stack([np.ones(4), np.arange(4.0), np.arange(4.0)]) * [1, 0.1, 0.1]),
     "DISCRETE_GXE_DESIGN_RANK_DEFICIENT"),
    # models that build reach the `which` check, matched exactly and case-sensitively
    (four(TWO), WHICH_MESSAGE),
    (four([-1, 1, -1, 1], levels=(1, -1)), WHICH_MESSAGE),
    (four([-1, 1, -1, 1], levels=(-1, 1)), WHICH_MESSAGE),
    (four(TWO, levels=[2, 1]), WHICH_MESSAGE),
    (four([0.0, -0.0, 3.0, 3.0]), WHICH_MESSAGE),
])
def test_construction_codes_in_order_then_which(call, message):
    with pytest.raises(ValueError) as raised:
        call()
    assert str(raised.value) == message


SMALL_MODEL = SMALL[:3]


@pytest.mark.parametrize("call, error, message", [
    (lambda: _core.discrete_gxe_fit(*SMALL_MODEL, np.append(SMALL[3], 1.0)), ValueError,
     "DISCRETE_GXE_RESPONSE_WRONG_LENGTH"),
    (lambda: _core.discrete_gxe_fit(*SMALL_MODEL, np.where(np.arange(60) == 7, NAN, SMALL[3])), ValueError,
     "DISCRETE_GXE_RESPONSE_NOT_FINITE"),
    (lambda: _core.discrete_gxe_fit(*SMALL_MODEL, np.full(60, 3.5)), ValueError, "DISCRETE_GXE_RESPONSE_CONSTANT"),
    (lambda: _core.discrete_gxe_fit(*SMALL_MODEL, np.full(60, 0.1)), ValueError,
     "DISCRETE_GXE_RESPONSE_CONSTANT"),  # constant up to rounding, once fitted
    (lambda: _core.discrete_gxe_test(*SMALL_MODEL, np.full(60, 3.5), "genetic"), ValueError,
     "DISCRETE_GXE_RESPONSE_CONSTANT"),
    (lambda: _core.discrete_gxe_correlation_interval(*SMALL_MODEL, np.full(60, 3.5)), ValueError,
     "DISCRETE_GXE_RESPONSE_CONSTANT"),
    # wrong types name the argument
    (lambda: _core.discrete_gxe_fit(SMALL[0], list(SMALL[1]), SMALL[2], SMALL[3]), TypeError,
     "argument 'environment': expected a NumPy array of float64 with 1 dimension, got 'list'"),
    (lambda: _core.discrete_gxe_fit(*SMALL_MODEL, SMALL[3].astype(np.int64)), TypeError,
     "argument 'response': expected an array of dtype float64, got int64"),
    (lambda: _core.discrete_gxe_test(*SMALL, None), TypeError,
     "argument 'which': 'NoneType' object cannot be converted to 'str'"),
    (lambda: _core.discrete_gxe_correlation_interval(*SMALL, reml=1), TypeError,
     "argument 'reml': 'int' object cannot be converted to 'bool'"),
])
def test_response_codes_and_type_errors(call, error, message):
    with pytest.raises(error) as raised:
        call()
    assert type(raised.value) is error
    assert str(raised.value) == message


@pytest.mark.parametrize("entry, signature", [
    (_core.discrete_gxe_fit, "(relationship, environment, design, response, reml=True, levels=None)"),
    (_core.discrete_gxe_test, "(relationship, environment, design, response, which, reml=True, levels=None)"),
    (_core.discrete_gxe_correlation_interval, "(relationship, environment, design, response, reml=True, levels=None)"),
])
def test_text_signatures(entry, signature):
    assert entry.__text_signature__ == signature
