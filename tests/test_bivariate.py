"""The two-trait model against a dense computation of the same likelihood over the whole sample."""

import numpy as np
import pytest
from scipy.optimize import minimize

from helpers import NUCLEAR, gls_loglik, nuclear_families
from kestrune import _core

LOG_2PI = 1.8378770664093453
CUT = 3.841458820694124


def simulate(families=30, seed=1, h=(0.5, 0.4), rho=(0.4, 0.2), missing=0.15):
    """Nuclear families (two unrelated parents, three children), traits on different scales."""
    rng = np.random.default_rng(seed)
    k = nuclear_families(families)
    n = len(k)
    g, e = covariances([1.0, 1.0, h[0], h[1], rho[0], rho[1]])
    full = np.linalg.cholesky(np.kron(k, g) + np.kron(np.eye(n), e)) @ rng.standard_normal(2 * n)
    observed = rng.random((n, 2)) > missing
    observed[::7] = True
    mask = observed.reshape(-1)
    trait = np.tile([0, 1], n)[mask]
    design = np.column_stack([trait == 0, trait == 1, np.where(trait == 0, rng.standard_normal(n * 2)[mask], 0.0)])
    y = (full[mask] + design[:, :2] @ [1.0, -2.0]) * np.where(trait == 0, 2.0, 0.5)
    return k, [tuple(bool(v) for v in row) for row in observed], design.astype(float), y


def covariances(theta):
    v1, v2, h1, h2, rg, re = theta
    g1, g2, e1, e2 = v1 * h1, v2 * h2, v1 * (1 - h1), v2 * (1 - h2)
    return (np.array([[g1, rg * np.sqrt(g1 * g2)], [rg * np.sqrt(g1 * g2), g2]]),
            np.array([[e1, re * np.sqrt(e1 * e2)], [re * np.sqrt(e1 * e2), e2]]))


def covariance(k, observed, theta):
    g, e = covariances(theta)
    mask = np.asarray(observed).reshape(-1)
    return (np.kron(k, g) + np.kron(np.eye(len(k)), e))[np.ix_(mask, mask)]


def dense_objective(k, observed, x, y, theta, reml):
    return -gls_loglik(covariance(k, observed, np.asarray(theta, dtype=float)), x, y, reml)[0]


def dense_gradient(k, observed, x, y, theta, reml):
    """The trace formula, with dV by complex step (exact to rounding)."""
    v = covariance(k, observed, np.asarray(theta, dtype=float))
    vi = np.linalg.inv(v)
    p = vi - vi @ x @ np.linalg.solve(x.T @ vi @ x, x.T @ vi)
    py = p @ y
    gradient = []
    for i in range(6):
        step = np.array(theta, dtype=complex)
        step[i] += 1e-30j
        dv = covariance(k, observed, step).imag / 1e-30
        gradient.append(0.5 * (np.trace((p if reml else vi) @ dv) - py @ dv @ py))
    return np.array(gradient)


def dense_loglik(data, theta, reml):
    return -dense_objective(*data, theta, reml)


K, OBSERVED, X, Y = DATA = simulate(families=15, seed=2)
THETA = [1.3, 0.8, 0.4, 0.6, 0.3, -0.2]
FITS = {reml: _core.bivariate_fit(*DATA, reml=reml) for reml in (True, False)}


def unpack(u):
    """Unbounded coordinates to theta: log variances, logit heritabilities, atanh correlations."""
    return [np.exp(u[0]), np.exp(u[1]), 1 / (1 + np.exp(-u[2])), 1 / (1 + np.exp(-u[3])), np.tanh(u[4]), np.tanh(u[5])]


def pack(theta):
    h = np.clip(theta[2:4], 1e-9, 1 - 1e-9)
    return np.r_[np.log(theta[:2]), np.log(h / (1 - h)), np.arctanh(np.clip(theta[4:], -0.999999, 0.999999))]


def best_loglik(data, start, reml, hold=None, dense=False):
    """Nelder-Mead with hold = (index, value) fixed, from start and a restart. It searches the
    blockwise objective, which the first tests hold to the dense one, since thousands of dense
    evaluations would dominate the suite; on a small sample, the dense one itself."""
    free = [i for i in range(6) if hold is None or i != hold[0]]
    full = pack(np.asarray(start, dtype=float))

    def theta_of(u):
        w = full.copy()
        w[free] = u
        t = unpack(w)
        if hold is not None:
            t[hold[0]] = hold[1]
        return t

    def negative(u):
        try:
            if dense:
                return dense_objective(*data, theta_of(u), reml)
            return _core.bivariate_objective(*data, theta_of(u), reml=reml)[0]
        except (ValueError, np.linalg.LinAlgError):
            return 1e30

    u = full[free]
    for _ in range(2):
        u = minimize(negative, u, method="Nelder-Mead",
                     options={"xatol": 1e-9, "fatol": 1e-11, "maxiter": 4000, "maxfev": 4000}).x
    return -negative(u)


def reported_theta(fit):
    values = fit[0]
    return [values[0], values[1], values[2], values[3], values[4] or 0.0, values[5] or 0.0]


def trait_sd(y, observed):
    """Per measured value, the sample standard deviation of its trait's own values."""
    trait = np.tile([0, 1], len(observed))[np.asarray(observed).reshape(-1)]
    return np.array([np.std(y[trait == t], ddof=1) for t in (0, 1)])[trait]


def standardisation_constant(y, observed, x, reml):
    """Each trait divided by the sample spread of its own values."""
    sd = trait_sd(y, observed)
    constant = np.log(sd).sum()
    if reml:
        xs = x / sd[:, None]
        constant += 0.5 * (np.linalg.slogdet(xs.T @ xs)[1] - np.linalg.slogdet(x.T @ x)[1])
    return constant


# ---- likelihood --------------------------------------------------------------------------------

@pytest.mark.parametrize("reml", [True, False])
def test_objective_matches_the_dense_likelihood_and_trace_formula(reml):
    value, gradient = _core.bivariate_objective(K, OBSERVED, X, Y, THETA, reml=reml)
    assert value == pytest.approx(dense_objective(*DATA, THETA, reml), abs=1e-10, rel=0)
    np.testing.assert_allclose(gradient, dense_gradient(*DATA, THETA, reml), rtol=0, atol=1e-6)


def test_reml_and_ml_differ_by_the_design_terms_alone():
    a = X.T @ np.linalg.solve(covariance(K, OBSERVED, THETA), X)
    expected = 0.5 * (np.linalg.slogdet(a)[1] - np.linalg.slogdet(X.T @ X)[1]) - 1.5 * LOG_2PI
    reml = _core.bivariate_objective(*DATA, THETA)[0]
    assert reml - _core.bivariate_objective(*DATA, THETA, reml=False)[0] == pytest.approx(expected, abs=1e-9)


@pytest.mark.parametrize("theta, message", [
    ([1.3, 0.8, 0.0, 0.6, 0.3, -0.2], "BIVARIATE_NOT_POSITIVE_DEFINITE"),  # a heritability on an end
    ([1.3, 0.8, 0.4, 1.0, 0.3, -0.2], "BIVARIATE_NOT_POSITIVE_DEFINITE"),
    ([1.3, -0.8, 0.4, 0.6, 0.3, -0.2], "BIVARIATE_NOT_POSITIVE_DEFINITE"),
    ([1.3, 0.8, 0.4, 0.6, 1.01, -0.2], "BIVARIATE_NOT_POSITIVE_DEFINITE"),
    ([1.3, 0.8, 0.4, 0.6, 0.3, np.nan], "BIVARIATE_NOT_POSITIVE_DEFINITE"),
    ([1.3, 0.8, 0.4, 0.6, 0.3], "BIVARIATE_THETA_LENGTH"),
])
def test_objective_refusals(theta, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        _core.bivariate_objective(*DATA, theta)


@pytest.mark.parametrize("y, message", [
    (Y[:-1], "BIVARIATE_Y_LENGTH_MISMATCH"),  # once read past its end
    (np.r_[Y, 1.0], "BIVARIATE_Y_LENGTH_MISMATCH"),  # once accepted
    (np.where(np.arange(len(Y)) == 3, np.nan, Y), "BIVARIATE_Y_NOT_FINITE"),  # once "not positive definite"
])
@pytest.mark.parametrize("call", ["objective", "fit"])
def test_response_is_checked_by_every_entry(y, message, call):
    with pytest.raises(ValueError, match=f"^{message}$"):
        if call == "objective":
            _core.bivariate_objective(K, OBSERVED, X, y, THETA)
        else:
            _core.bivariate_fit(K, OBSERVED, X, y)


# ---- fit ---------------------------------------------------------------------------------------

def kindred(kind, seed):
    """Households (everyone alike) or identical twins with a sibling, both relationships
    singular; under an odd seed a fifth of the second trait not measured."""
    rng = np.random.default_rng(seed)
    families = int(rng.integers(6, 16))
    n = 3 * families
    k = np.kron(np.eye(families), np.ones((3, 3)) if kind == "house" else [[1, 1, .5], [1, 1, .5], [.5, .5, 1]])
    h, rho, variance = rng.uniform(0, .95, 2), rng.uniform(-.95, .95, 2), rng.uniform(.1, 10)
    g, e = covariances([1.0, variance, h[0], h[1], rho[0], rho[1]])
    y = np.linalg.cholesky(np.kron(k, g) + np.kron(np.eye(n), e)) @ rng.normal(size=2 * n)
    observed = [(True, not m) for m in rng.random(n) < (0.2 if seed % 2 else 0.0)]
    mask = np.array(observed).reshape(-1)
    return k, observed, np.kron(np.ones((n, 1)), np.eye(2))[mask], y[mask]


def families(seed):
    """Sibships of four, nuclear families or two parents with two children (by seed % 5, in 1..3),
    a covariate, and a second trait drawn on the first's genetic and residual parts."""
    rng = np.random.default_rng(1000 + seed)
    block = {1: np.full((4, 4), .5) + .5 * np.eye(4), 2: NUCLEAR, 3: NUCLEAR[:4, :4]}[seed % 5]
    k = np.kron(np.eye(int(rng.integers(12, 25))), block)
    n = len(k)
    x = np.c_[np.ones(n), rng.normal(size=n)]
    h2 = rng.choice([0, .2, .4, .6, .8])
    root = np.linalg.cholesky(k + 1e-12 * np.eye(n))
    scale, g = rng.uniform(.5, 3), root @ rng.normal(size=n)
    y = x @ [rng.uniform(-2, 5), rng.uniform(-1, 1)] + scale * (np.sqrt(h2) * g + np.sqrt(1 - h2) * rng.normal(size=n))
    h2b, rg, re = rng.choice([.2, .5, .7]), rng.uniform(-.8, .8), rng.uniform(-.5, .5)
    g2 = rg * g + np.sqrt(1 - rg ** 2) * (root @ rng.normal(size=n))
    e1 = (y - x @ np.linalg.lstsq(x, y, rcond=None)[0]) / scale - np.sqrt(h2) * g
    e2 = re * e1 / np.std(e1) + np.sqrt(1 - re ** 2) * rng.normal(size=n)
    y2 = x @ [1, .3] + np.sqrt(h2b) * g2 + np.sqrt(1 - h2b) * e2
    return k, [(True, True)] * n, np.kron(x, np.eye(2)), np.c_[y, y2].ravel()


# The sample, the estimator, and whether the reference searches the dense likelihood itself, or
# the dense maximum where it lies where those searches cannot go (a correlation of +-1, a
# heritability near an end).
MAXIMA = {
    "nuclear_reml": (DATA, True, False),
    "nuclear_ml": (DATA, False, False),
    # Searches that stepped onto a residual correlation of -1, where the likelihood has no value,
    # stalled short of the maximum, and a rule that dropped every such run on a singular
    # relationship hid them: a lower point was reported converged (-73.470, -80.527).
    "households_gaps": (kindred("house", 115), False, True),
    "households": (kindred("house", 106), False, True),
    "households_gaps_other": (kindred("house", 253), False, True),
    "twins": (kindred("twins", 14), False, True),
    "twins_gaps": (kindred("twins", 35), False, True),
    # Each once reported a heritability held at 1 or 0 as the maximum (-197.235444, -294.328637,
    # -298.247543, -170.637882, -173.504792): stepping off that end opens a covariance of order
    # sqrt(step), and the likelihood rose along it. Maxima by Nelder-Mead and Powell over the
    # Cholesky factors of G and E.
    "sibships_h2_at_one": (families(358), True, -196.928511695),
    "nuclear_h1_at_one": (families(512), True, -293.794841513),
    "nuclear_h1_at_one_ml": (families(512), False, -297.696468930),
    "parents_h2_at_zero": (families(56), True, -170.598443075),
    "parents_h2_at_zero_ml": (families(56), False, -173.478842582),
    # A first trait of heritability 0.99: the maximum lies at h1 = 1 - 4e-5 and rho_e = -1, where
    # rho_e pulls on the search only in proportion to sqrt(1 - h1) (-218.027532, -213.674663).
    "h1_near_one": (simulate(families=18, seed=14, h=(.99, .5), rho=(.5, -.6), missing=0), True, -218.026141017),
    "h1_near_one_gaps_ml": (simulate(families=18, seed=17, h=(.99, .5), rho=(.5, -.6)), False, -213.673143633),
}


@pytest.mark.parametrize("case", MAXIMA)
def test_fit_is_the_dense_maximum(case, one_blas_thread):
    data, reml, reference = MAXIMA[case]
    fitted = FITS[reml] if data is DATA else _core.bivariate_fit(*data, reml=reml)
    values, loglik, scaled_gradient, converged = fitted
    theta = reported_theta(fitted)
    assert converged and scaled_gradient < 1e-6
    assert loglik == pytest.approx(dense_loglik(data, theta, reml), abs=1e-8, rel=0)
    if not isinstance(reference, bool):
        assert loglik == pytest.approx(reference, abs=1e-6)
        return
    for start in (theta, [4.0, 0.2, 0.5, 0.5, 0.0, 0.0], [2.0, 0.5, 0.2, 0.8, -0.5, 0.5]):
        assert best_loglik(data, start, reml, dense=reference) <= loglik + 1e-6
    v1, v2, h1, h2, rg, re = theta
    assert values[6] == pytest.approx(rg * np.sqrt(h1 * h2) + re * np.sqrt((1 - h1) * (1 - h2)), abs=1e-14)


@pytest.mark.parametrize("a", [1e150, 1e-150])
def test_far_units_give_the_same_finite_fit(a):
    """Once a NaN phenotypic correlation from a product of the two variances, reported converged."""
    values, loglik, _, converged = _core.bivariate_fit(K, OBSERVED, X, Y * a)
    reference = FITS[True][0]
    assert converged
    np.testing.assert_allclose(values[2:], reference[2:], rtol=0, atol=1e-6)
    np.testing.assert_allclose(np.array(values[:2]) / a**2, reference[:2], rtol=1e-6)


@pytest.mark.parametrize("offset", [1e4, 1e5, 1e7])
def test_covariate_offset_beside_per_trait_intercepts_leaves_the_fit(offset):
    """Once refused as rank deficient from 1e5: X'X's smallest eigenvalue drowns in rounding."""
    x = X.copy()
    x[:, 2] += offset
    values, loglik, _, converged = _core.bivariate_fit(K, OBSERVED, x, Y)
    values0, loglik0, _, _ = FITS[True]
    assert converged and loglik == pytest.approx(loglik0, rel=1e-10)
    np.testing.assert_allclose(values[2:], values0[2:], rtol=0, atol=1e-6)


def one_block(n=60, seed=6):
    """A genomic relationship of unrelated people (one dense block, an eigenvalue 0 from the
    centring), a tenth measured on one trait only and two on neither."""
    rng = np.random.default_rng(seed)
    w = rng.binomial(2, rng.uniform(0.1, 0.5, 300), size=(n, 300)).astype(float)
    w -= w.mean(axis=0)
    k = w @ w.T / 300
    observed = np.ones((n, 2), bool)
    observed[rng.choice(n, n // 10, replace=False), rng.integers(0, 2, n // 10)] = False
    observed[:2] = False
    g, e = covariances([1.0, 1.0, 0.6, 0.5, 0.5, 0.2])
    full = np.linalg.cholesky(np.kron(k + 1e-9 * np.eye(n), g) + np.kron(np.eye(n), e)) @ rng.standard_normal(2 * n)
    mask = observed.reshape(-1)
    trait = np.tile([0, 1], n)[mask]
    design = np.column_stack([trait == 0, trait == 1]).astype(float)
    return k, [tuple(bool(v) for v in row) for row in observed], design, full[mask] + design @ [1.0, 2.0]


@pytest.mark.parametrize("reml", [True, False])
def test_fit_on_one_dense_block_with_gaps_is_a_dense_stationary_point(reml):
    data = one_block()
    values, loglik, _, converged = _core.bivariate_fit(*data, reml=reml)
    theta = reported_theta((values, loglik))
    assert converged and 0 < theta[2] < 1 and 0 < theta[3] < 1
    assert loglik == pytest.approx(dense_loglik(data, theta, reml), rel=1e-12)
    gradient = dense_gradient(*data, theta, reml) * np.maximum(np.abs(theta), 1.0)
    free = np.abs(np.asarray(theta[4:])) < 1.0  # a correlation on its bound is not stationary
    assert np.max(np.abs(np.r_[gradient[:4], gradient[4:][free]])) < 1e-5 * abs(loglik)


NO_GENETIC_VARIANCE = simulate(families=15, seed=18, h=(0.0, 0.0), rho=(0.0, 0.3))


def test_fit_without_genetic_variance_holds_both_heritabilities_at_zero():
    data = NO_GENETIC_VARIANCE
    values, loglik, _, converged = _core.bivariate_fit(*data)
    assert values[2:5] == [0.0, 0.0, None] and converged
    assert values[5] is not None and values[6] == pytest.approx(values[5], abs=1e-15)
    theta = reported_theta(([*values], loglik))
    assert loglik == pytest.approx(-dense_objective(*data, theta, True), abs=1e-8, rel=0)


# ---- correlation test and interval ------------------------------------------------------------

@pytest.mark.parametrize("reml", [True, False])
def test_correlation_test_at_the_estimate_and_its_scale(reml):
    estimate = FITS[reml][0][4]
    statistic, p_value, reference, null, full = _core.bivariate_correlation_test(*DATA, "rho_g", estimate, reml=reml)
    assert (statistic, p_value, reference, null) == (0.0, 1.0, "chi2_1", full)
    assert full - FITS[reml][1] == pytest.approx(standardisation_constant(Y, OBSERVED, X, reml), abs=1e-9)
    # That scale is the data with each trait divided by its own sd: the dense likelihood there, at
    # the fit's variances so divided, whatever scale the search ran on.
    sd = trait_sd(Y, OBSERVED)  # rows 0 and 1: person 0, measured on both
    theta = reported_theta(FITS[reml])
    scaled = [theta[0] / sd[0] ** 2, theta[1] / sd[1] ** 2, *theta[2:]]
    assert full == pytest.approx(dense_loglik((K, OBSERVED, X / sd[:, None], Y / sd), scaled, reml), abs=1e-8)


@pytest.mark.parametrize("quantity, index, null, reference, sample", [
    ("rho_g", 4, 0.0, "chi2_1", None),
    ("rho_e", 5, -0.3, "chi2_1", None),
    ("rho_e", 5, 1.0, "mixture_50_50", None),
    # The null's maximum lies where h2 = 1 leaves rho_e without meaning, which the refits from
    # their starts missed (20.868991 and 12.133471); statistics from the dense maximum and the
    # dense profile, by Nelder-Mead and Powell over coordinates regular at h = 0 and 1.
    ("rho_e", 5, 0.6, "chi2_1", (8, False, 19.914063401)),
    ("rho_e", 5, 1.0, "mixture_50_50", (448, True, 11.946007462)),
])
def test_correlation_test_statistic_is_the_dense_profile(quantity, index, null, reference, sample):
    data, reml = (DATA, True) if sample is None else (families(sample[0]), sample[1])
    statistic, p_value, name, null_loglik, full = _core.bivariate_correlation_test(*data, quantity, null, reml=reml)
    assert name == reference
    if sample is None:
        profile = best_loglik(DATA, reported_theta(FITS[True]), True, hold=(index, null))
        assert statistic == pytest.approx(2 * (FITS[True][1] - profile), abs=1e-4)
    else:
        assert statistic == pytest.approx(sample[2], abs=1e-6)
    from scipy.stats import chi2
    expected = chi2.sf(statistic, 1) * (0.5 if reference == "mixture_50_50" else 1.0)
    assert p_value == pytest.approx(expected, rel=1e-9)


@pytest.mark.parametrize("call", [
    lambda: _core.bivariate_interval(*NO_GENETIC_VARIANCE, "rho_g"),
    lambda: _core.bivariate_correlation_test(*NO_GENETIC_VARIANCE, "rho_g", 0.0),
])
def test_genetic_correlation_of_a_fit_without_genetic_variance_is_absent(call):
    with pytest.raises(ValueError, match="^BIVARIATE_QUANTITY_ABSENT$"):
        call()


def test_null_outside_the_range_cannot_be_fitted():
    with pytest.raises(ValueError, match="^BIVARIATE_NULL_FIT_FAILED$"):
        _core.bivariate_correlation_test(*DATA, "rho_g", 1.5)


@pytest.mark.parametrize("quantity, index", [("h2_first", 2), ("rho_g", 4)])
def test_interval_ends_cut_the_dense_profile_at_the_chi_square_point(quantity, index):
    estimate, lower, upper, lower_limited, upper_limited, level, failures, *bounds = \
        _core.bivariate_interval(*DATA, quantity)
    loglik = FITS[True][1]
    assert level == 0.95 and bounds == [None, None] and lower < estimate < upper
    ends = [(lower, lower_limited, -1.0 if index > 3 else 2.0 ** -52), (upper, upper_limited, 1.0 - (index < 4) * 2.0 ** -52)]
    for end, limited, bound in ends:
        if limited:
            assert end == bound
        else:
            profile = best_loglik(DATA, reported_theta(FITS[True]), True, hold=(index, end))
            assert 2 * (loglik - profile) == pytest.approx(CUT, abs=1e-3)


def test_phenotypic_interval_holds_the_estimate_and_stops_at_unreachable_ends():
    estimate, lower, upper, lower_limited, upper_limited, _, failures, *_ = _core.bivariate_interval(*DATA, "rho_p")
    assert estimate == FITS[True][0][6]
    # At |rho_p| = 1 both covariances would be singular along one direction: the refit fails there.
    assert (lower, upper, lower_limited, upper_limited, failures) == (-1.0, 1.0, True, True, 2)


# ---- construction ------------------------------------------------------------------------------

SMALL = simulate(families=6, seed=3)


def shifted_family(k, shift):
    """Family 0's block moved so that its smallest eigenvalue is `shift`."""
    k = k.copy()
    smallest = np.linalg.eigvalsh(k[:5, :5])[0]
    k[:5, :5] -= (smallest - shift) * np.eye(5)
    return k


def asymmetric(k):
    k = k.copy()
    k[2, 3] = np.nextafter(k[2, 3], 1.0)
    return k


def with_both(observed, both):
    return [(a, b) if both else ((a, False) if i % 2 else (False, b)) for i, (a, b) in enumerate(observed)]


@pytest.mark.parametrize("change, message", [
    (lambda k, o, x: (k[:, :-1], o, x), "BIVARIATE_RELATIONSHIP_NOT_SQUARE"),
    (lambda k, o, x: (k[:, :-1] * np.nan, o[:-1], x), "BIVARIATE_RELATIONSHIP_NOT_SQUARE"),
    (lambda k, o, x: (k, o[:-1], x), "BIVARIATE_OBSERVED_LENGTH_MISMATCH"),
    (lambda k, o, x: (np.zeros((0, 0)), [], x[:0]), "BIVARIATE_NOTHING_MEASURED"),
    (lambda k, o, x: (np.where(k == 1.0, np.inf, asymmetric(k)), o, x), "BIVARIATE_RELATIONSHIP_NOT_FINITE"),
    (lambda k, o, x: (asymmetric(k), o, x[:-1]), "BIVARIATE_RELATIONSHIP_ASYMMETRIC"),
    (lambda k, o, x: (k, [(False, False)] * len(o), x), "BIVARIATE_NOTHING_MEASURED"),
    (lambda k, o, x: (k, o, x[:-1, :0]), "BIVARIATE_DESIGN_ROWS_MISMATCH"),
    (lambda k, o, x: (k, o, x[:, :0]), "BIVARIATE_NO_RESIDUAL_DEGREES_OF_FREEDOM"),
    (lambda k, o, x: (k, o, np.c_[x, x[:, :1] * np.nan]), "BIVARIATE_DESIGN_NOT_FINITE"),
    (lambda k, o, x: (shifted_family(k, -2e-9), o, np.c_[x, x[:, :1]]), "BIVARIATE_DESIGN_RANK_DEFICIENT"),
    (lambda k, o, x: (shifted_family(np.eye(len(k)), -2e-9), o, x), "BIVARIATE_RELATIONSHIP_NOT_PSD"),
    (lambda k, o, x: (np.eye(len(k)), o, x), "BIVARIATE_COVARIANCE_NOT_IDENTIFIABLE"),
    (lambda k, o, x: (k, with_both(o, False), x[:sum(map(sum, with_both(o, False)))]),
     "BIVARIATE_COVARIANCE_NOT_IDENTIFIABLE"),
])
def test_construction_codes_in_order(change, message):
    k, observed, x, y = SMALL
    k, observed, x = change(k, observed, x)
    with pytest.raises(ValueError, match=f"^{message}$"):
        _core.bivariate_objective(k, observed, x, y[:len(x)], THETA)


@pytest.mark.parametrize("case, message", [
    ("every_row_a_column", "BIVARIATE_NO_RESIDUAL_DEGREES_OF_FREEDOM"),
    # The second trait its intercept reproduces: once converged with its variance on the floor.
    ("second_trait_reproduced", "BIVARIATE_NO_START_CONVERGED"),
])
def test_design_rows_beyond_the_measured_count_and_exact_fit_are_refused(case, message):
    k, observed, x, y = SMALL
    with pytest.raises(ValueError, match=f"^{message}$"):
        if case == "every_row_a_column":
            _core.bivariate_objective(k, observed, np.eye(sum(map(sum, observed))), y, THETA)
        else:
            _core.bivariate_fit(K, OBSERVED, X, np.where(X[:, 1] == 1, 2.0, Y), reml=False)


def test_small_negative_eigenvalue_is_projected_away():
    k, observed, x, y = SMALL
    projected = shifted_family(k, -5e-10)
    values, q = np.linalg.eigh(projected[:5, :5])
    clean = projected.copy()
    clean[:5, :5] = q @ np.diag(np.maximum(values, 0.0)) @ q.T
    got = _core.bivariate_objective(projected, observed, x, y, THETA)[0]
    assert got == pytest.approx(dense_objective(clean, observed, x, y, THETA, True), abs=1e-10)


def test_person_with_nothing_measured_counts_for_the_relationship_only():
    k, observed, x, y = SMALL
    observed = list(observed)
    dropped = sum(observed[4])
    observed[4] = (False, False)
    keep = np.ones(len(x), bool)
    start = sum(map(sum, observed[:4]))
    keep[start:start + dropped] = False
    got = _core.bivariate_objective(k, observed, x[keep], y[keep], THETA)[0]
    assert got == pytest.approx(dense_objective(k, observed, x[keep], y[keep], THETA, True), abs=1e-10)


# ---- entries -----------------------------------------------------------------------------------

@pytest.mark.parametrize("call, args, message", [
    (_core.bivariate_interval, (None, None, None, None, "rho"), "BIVARIATE_QUANTITY_UNKNOWN"),
    (_core.bivariate_correlation_test, (*DATA, "h2_first", 0.0), "BIVARIATE_NOT_A_CORRELATION"),
    (_core.bivariate_correlation_test, (*DATA, "RHO_G", 0.0), "BIVARIATE_NOT_A_CORRELATION"),
])
def test_quantity_names(call, args, message):
    if args[0] is None:  # the name is judged before any array is copied
        args = (K, OBSERVED, X, Y) + args[4:]
        bad = (np.zeros((2, 3)), [], X[:0], Y[:0]) + args[4:]
        with pytest.raises(ValueError, match=f"^{message}$"):
            call(*bad)
    with pytest.raises(ValueError, match=f"^{message}$"):
        call(*args)


@pytest.mark.parametrize("args, message", [
    ((K.astype(np.int64), OBSERVED, X, Y, THETA), "argument 'relationship'"),
    ((K, "tf" * len(OBSERVED), X, Y, THETA), "Can't extract `str` to `Vec`"),
    ((K, [(1, 0)] * len(OBSERVED), X, Y, THETA), "argument 'observed'"),
    ((K, OBSERVED, X, Y, THETA, 1), "argument 'reml'"),
    ((K, OBSERVED, X, Y, ["a"] * 6), "argument 'theta'"),
])
def test_argument_types(args, message):
    with pytest.raises(TypeError) as raised:
        _core.bivariate_objective(*args)
    assert message in str(raised.value)


def test_observed_pairs_have_two_flags():
    with pytest.raises(ValueError, match=r"^expected a sequence of length 2 \(got 3\)$"):
        _core.bivariate_objective(K, [(True, True, True)] * len(OBSERVED), X, Y, THETA)


def test_signatures_and_registration_order():
    names = [name for name in _core.__all__ if name.startswith("bivariate")]
    assert names == ["bivariate_objective", "bivariate_fit", "bivariate_interval", "bivariate_correlation_test"]
    assert _core.bivariate_fit.__text_signature__ == "(relationship, observed, design, y, reml=True)"
    assert _core.bivariate_correlation_test.__text_signature__ == \
        "(relationship, observed, design, y, quantity, null, reml=True)"
    assert _core.bivariate_fit.__doc__ == "Fit two traits, for comparison against the independent implementation."
    assert _core.bivariate_objective.__doc__.endswith(
        "`y` and `design` carry only the observed rows, in the order they appear\n"
        "reading person by person and trait within person.")
    assert FITS[True] == _core.bivariate_fit(*DATA)  # reml defaults to True
