"""PreparedModel: validation, the fit against a dense likelihood, and the returned record."""

import gc
import math

import numpy as np
import pytest
from scipy import linalg, optimize, stats

from helpers import gls_loglik
from kestrune import _core

PreparedModel = _core.PreparedModel
CUT = 3.841458820694124


# ---- data: families from a pedigree, and a dense reference likelihood -------------------


def pedigree_relationship(fathers, mothers):
    """Additive relationship by the tabular method; parents precede their children."""
    n = len(fathers)
    a = np.zeros((n, n))
    for i in range(n):
        f, m = fathers[i], mothers[i]
        for j in range(i):
            a[i, j] = a[j, i] = 0.5 * ((a[j, f] if f is not None else 0.0) + (a[j, m] if m is not None else 0.0))
        a[i, i] = 1.0 + (0.5 * a[f, m] if f is not None and m is not None else 0.0)
    return a


def family_sample(families, seed, h2=0.5, link_every=4):
    """Three generations per family: founders, their children with spouses, grandchildren.
    Every link_every-th family marries into the next one, so some pedigrees span two families."""
    rng = np.random.default_rng(seed)
    fathers, mothers = [], []

    def person(f=None, m=None):
        fathers.append(f)
        mothers.append(m)
        return len(fathers) - 1

    previous_child = None
    for family in range(families):
        gf, gm = person(), person()
        children = [person(gf, gm) for _ in range(2 + family % 2)]
        for child in children:
            if previous_child is not None and family % link_every == 1:
                spouse, previous_child = previous_child, None
            else:
                spouse = person()
            for _ in range(1 + (family + child) % 2):
                person(child, spouse)
        previous_child = children[-1] if family % link_every == 0 else None
    k = pedigree_relationship(fathers, mothers)
    n = k.shape[0]
    x = np.column_stack([np.ones(n), rng.normal(size=n), rng.integers(0, 2, size=n)])
    genetic = np.linalg.cholesky(k) @ rng.normal(size=n)
    y = x @ [1.0, 0.5, -0.3] + math.sqrt(h2) * genetic + math.sqrt(1.0 - h2) * rng.normal(size=n)
    return x, k, y


def dense_profile(h, x, k, y, reml):
    """The profile log-likelihood of y ~ N(xb, s2 (h k + (1 - h) I)) with b and s2 maximised."""
    n, p = x.shape
    v = h * k + (1.0 - h) * np.eye(n)
    chol = np.linalg.cholesky(v)
    xs = linalg.solve_triangular(chol, x, lower=True)
    ys = linalg.solve_triangular(chol, y, lower=True)
    a = xs.T @ xs
    beta = np.linalg.solve(a, xs.T @ ys)
    rss = float(np.sum((ys - xs @ beta) ** 2))
    logdet_v = 2.0 * float(np.sum(np.log(np.diag(chol))))
    if reml:
        nu = n - p
        s2 = rss / nu
        loglik = -0.5 * (nu * math.log(2 * math.pi) + logdet_v + np.linalg.slogdet(a)[1]
                         - np.linalg.slogdet(x.T @ x)[1] + nu * math.log(s2) + nu)
    else:
        s2 = rss / n
        loglik = -0.5 * (n * math.log(2 * math.pi) + logdet_v + n * math.log(s2) + n)
    return loglik, beta, s2 * np.linalg.inv(a), s2


def dense_maximum(x, k, y, reml):
    """The maximum over h2 in [0, 1] by a bounded scalar search. The search evaluates the same
    likelihood through one eigendecomposition of the whole k, so that it makes no large
    factorisation per point; dense_profile checks the values it finds."""
    n, p = x.shape
    lam, u = np.linalg.eigh(k)
    ux, uy = u.T @ x, u.T @ y
    logdet_xtx = np.linalg.slogdet(x.T @ x)[1]

    def negative_loglik(h):
        v = h * lam + (1.0 - h)
        a = ux.T @ (ux / v[:, None])
        beta = np.linalg.solve(a, ux.T @ (uy / v))
        rss = float(np.sum((uy - ux @ beta) ** 2 / v))
        logdet_v = float(np.sum(np.log(v)))
        if reml:
            nu = n - p
            return 0.5 * (nu * math.log(2 * math.pi) + logdet_v + np.linalg.slogdet(a)[1] - logdet_xtx
                          + nu * math.log(rss / nu) + nu)
        return 0.5 * (n * math.log(2 * math.pi) + logdet_v + n * math.log(rss / n) + n)

    found = optimize.minimize_scalar(negative_loglik, bounds=(0.0, 1.0 - 1e-9), method="bounded",
                                     options={"xatol": 1e-10})
    best_h = 0.0 if negative_loglik(0.0) <= found.fun else found.x
    return best_h, dense_profile(best_h, x, k, y, reml)[0]


@pytest.fixture(scope="module")
def families():
    return family_sample(families=30, seed=7, h2=0.6)


# ---- the fit against the dense likelihood ------------------------------------------------


@pytest.mark.parametrize("estimator", ["reml", "ml"])
@pytest.mark.parametrize("seed,h2", [(7, 0.6), (11, 0.25)])
def test_fit_matches_dense_maximum(estimator, seed, h2):
    x, k, y = family_sample(families=30, seed=seed, h2=h2)
    reml = estimator == "reml"
    fit = PreparedModel(x, k).fit(y, estimator=estimator)
    dense_h, dense_loglik = dense_maximum(x, k, y, reml)
    assert fit["estimator"] == estimator and fit["n"] == len(y)
    assert fit["converged"] is True and fit["boundary"] == "interior"
    assert fit["h2"] == pytest.approx(dense_h, abs=1e-5)
    assert fit["loglik"] == pytest.approx(dense_loglik, abs=1e-8)

    # The record at the estimate is the dense profile at the same h2.
    loglik, beta, cov, s2 = dense_profile(fit["h2"], x, k, y, reml)
    assert fit["loglik"] == pytest.approx(loglik, abs=1e-8)
    assert fit["total_variance"] == pytest.approx(s2, rel=1e-9)
    np.testing.assert_allclose(fit["beta"], beta, rtol=1e-9, atol=1e-12)
    for j, row in enumerate(fit["fixed_effects"]):
        se = math.sqrt(cov[j, j])
        assert row["estimate"] == fit["beta"][j]
        assert row["standard_error"] == pytest.approx(se, rel=1e-8)
        assert row["z"] == pytest.approx(beta[j] / se, rel=1e-8)
        assert row["p_value"] == pytest.approx(2.0 * stats.norm.sf(abs(beta[j] / se)), rel=1e-6)
        assert row["lower"] == pytest.approx(beta[j] - 1.959963984540054 * se, rel=1e-8)
        assert row["upper"] == pytest.approx(beta[j] + 1.959963984540054 * se, rel=1e-8)
        assert (row["level"], row["rule"]) == (0.95, "wald")
    assert fit["standard_errors"]["beta"] == [row["standard_error"] for row in fit["fixed_effects"]]

    # Interval ends where the dense likelihood-ratio statistic reaches the chi2(1) cut.
    interval = fit["interval"]
    assert interval["estimate"] == fit["h2"] and interval["profile_failures"] == 0
    for end in ("lower", "upper"):
        if not interval[end + "_limited"]:
            statistic = 2.0 * (fit["loglik"] - dense_profile(interval[end], x, k, y, reml)[0])
            assert statistic == pytest.approx(CUT, abs=1e-6)
            assert interval["contains_" + end + "_bound"] is None
    assert interval["lower"] < fit["h2"] < interval["upper"]

    # Test of h2 = 0 against the 50:50 mixture.
    null = dense_profile(0.0, x, k, y, reml)[0]
    test = fit["test"]
    assert test["null_loglik"] == pytest.approx(null, abs=1e-8)
    assert test["statistic"] == pytest.approx(2.0 * (dense_loglik - null), abs=1e-7)
    assert test["p_value"] == pytest.approx(0.5 * stats.chi2.sf(test["statistic"], 1), rel=1e-10)

    # Standard error from the curvature of the dense profile.
    step = 1e-3
    curvature = (dense_profile(fit["h2"] + step, x, k, y, reml)[0] - 2.0 * loglik
                 + dense_profile(fit["h2"] - step, x, k, y, reml)[0]) / step**2
    assert fit["standard_errors"]["h2"] == pytest.approx(1.0 / math.sqrt(-curvature), rel=1e-2)


@pytest.mark.parametrize("estimator,divisor", [("reml", lambda n, p: n - p), ("ml", lambda n, p: n)])
def test_identity_relationship_is_least_squares(estimator, divisor):
    rng = np.random.default_rng(3)
    n = 150
    x = np.column_stack([np.ones(n), rng.normal(size=n)])
    y = x @ [2.0, -1.0] + rng.normal(size=n)
    model = PreparedModel(x, np.eye(n))
    assert model.min_eigenvalue == 1.0
    fit = model.fit(y, estimator)
    beta, rss = np.linalg.lstsq(x, y, rcond=None)[:2]
    assert fit["h2"] == 0.0 and fit["boundary"] == "lower" and fit["converged"] is True
    np.testing.assert_allclose(fit["beta"], beta, rtol=1e-12)
    assert fit["total_variance"] == pytest.approx(rss[0] / divisor(n, 2), rel=1e-12)
    assert fit["test"]["statistic"] == 0.0 and fit["test"]["p_value"] == 1.0
    assert list(fit["standard_errors"]) == ["beta"]
    assert fit["interval"]["lower"] == 0.0 and fit["interval"]["lower_limited"] is True
    assert fit["interval"]["contains_lower_bound"] is True


@pytest.mark.parametrize("estimator", ["reml", "ml"])
def test_estimate_on_the_upper_bound(estimator):
    # Pairs related at 0.99 with a purely genetic response: the maximum lies at h2 = 1,
    # where the search's last bracket snaps to the bound.
    pairs = 100
    block = np.array([[1.0, 0.99], [0.99, 1.0]])
    k = np.kron(np.eye(pairs), block)
    rng = np.random.default_rng(0)
    y = (rng.normal(size=(pairs, 2)) @ np.linalg.cholesky(block).T).ravel()
    x = np.ones((2 * pairs, 1))
    fit = PreparedModel(x, k).fit(y, estimator)
    reml = estimator == "reml"
    assert (fit["h2"], fit["boundary"], fit["converged"]) == (1.0, "upper", True)
    assert fit["loglik"] == pytest.approx(dense_profile(1.0, x, k, y, reml)[0], abs=1e-8)
    interval = fit["interval"]
    assert (interval["upper"], interval["upper_limited"], interval["contains_upper_bound"]) == (1.0, True, True)
    assert interval["lower_limited"] is False and interval["contains_lower_bound"] is None
    statistic = 2.0 * (fit["loglik"] - dense_profile(interval["lower"], x, k, y, reml)[0])
    assert statistic == pytest.approx(CUT, abs=1e-6)
    assert list(fit["standard_errors"]) == ["beta"]


@pytest.mark.parametrize("seed,contains", [(3, True), (19, True), (15, True), (8, False), (7, False)])
def test_lower_bound_containment_uses_the_mixture_cut(seed, contains):
    # Weak heritability: the lower side stops at 0, and 0 lies inside the interval exactly
    # when the statistic there is within 2.705543454095404, the 95% point of the 50:50 mixture.
    x, k, y = family_sample(families=30, seed=seed, h2=0.1)
    fit = PreparedModel(x, k).fit(y)
    interval, test = fit["interval"], fit["test"]
    assert (interval["lower"], interval["lower_limited"]) == (0.0, True)
    statistic = 2.0 * (fit["loglik"] - dense_profile(0.0, x, k, y, True)[0])
    assert test["statistic"] == pytest.approx(max(statistic, 0.0), abs=1e-7)
    assert (test["statistic"] <= 2.705543454095404) is contains
    assert interval["contains_lower_bound"] is contains
    expected_p = 1.0 if test["statistic"] == 0.0 else 0.5 * stats.chi2.sf(test["statistic"], 1)
    assert test["p_value"] == pytest.approx(expected_p, rel=1e-10)


def test_dict_layout_and_provenance(families):
    x, k, y = families
    digest = "0123456789abcdef" * 4
    fit = PreparedModel(x, k, digest).fit(y)
    assert list(fit) == ["estimator", "n", "h2", "total_variance", "beta", "loglik", "converged",
                         "boundary", "warnings", "subject_order_sha256", "build", "interval",
                         "test", "standard_errors", "fixed_effects"]
    assert fit["estimator"] == "reml" and fit["subject_order_sha256"] == digest
    assert fit["warnings"] == []
    assert list(fit["interval"]) == ["estimate", "lower", "upper", "lower_limited", "upper_limited",
                                     "contains_lower_bound", "contains_upper_bound", "level",
                                     "profile_failures", "recipe"]
    assert fit["interval"]["recipe"] == "profile_mixture" and fit["interval"]["level"] == 0.95
    assert list(fit["test"]) == ["null", "statistic", "null_loglik", "p_value", "rule"]
    assert (fit["test"]["null"], fit["test"]["rule"]) == ("h2 = 0", "mixture_50_50")
    assert list(fit["standard_errors"]) == ["h2", "beta"]
    assert list(fit["fixed_effects"][0]) == ["estimate", "standard_error", "z", "p_value", "lower",
                                             "upper", "level", "rule"]
    assert fit["build"] == {
        "version": _core.__version__, "cargo_version": "0.1.1",
        "source_commit": _core.__source_commit__, "source_dirty": _core.__source_dirty__,
        "release": True, "release_manifest_sha256": _core.__release_manifest_sha256__,
        "cargo_lock_sha256": _core.__cargo_lock_sha256__, "uv_lock_sha256": _core.__uv_lock_sha256__}
    # A fit leaves the model as it was: the same response gives the same record.
    model = PreparedModel(x, k, digest)
    assert model.fit(y) == fit and model.fit(y) == fit


def test_binary_and_constant_responses(families):
    x, k, y = families
    model = PreparedModel(x, k)
    binary = model.fit((y > np.median(y)).astype(float), "ml")
    assert binary["warnings"] == ["response has 2 distinct values; fitted as quantitative"]
    assert binary["converged"] is True

    constant = model.fit(np.full(len(y), 2.5))
    assert constant["warnings"] == ["response has 1 distinct values; fitted as quantitative"]
    assert (constant["h2"], constant["boundary"], constant["converged"]) == (0.0, "lower", False)
    assert math.isnan(constant["loglik"]) and math.isnan(constant["total_variance"])
    assert all(math.isnan(b) for b in constant["beta"]) and len(constant["beta"]) == 3
    assert constant["interval"]["estimate"] is None and math.isnan(constant["interval"]["lower"])
    assert constant["interval"]["contains_lower_bound"] is None
    assert constant["test"] is None and constant["fixed_effects"] == []
    assert constant["standard_errors"] == {"beta": []}


def test_zero_eigenvalue_fails_only_at_one():
    # Two people with identical rows of k give a zero eigenvalue: no profile at h2 = 1. The
    # upper side is searched towards the bound all the same and ends where the profile (which
    # falls without bound there) leaves the cut, checked against a dense ML profile.
    n = 40
    k = np.eye(n)
    k[0, 1] = k[1, 0] = 1.0
    x, y = np.ones((n, 1)), np.random.default_rng(5).normal(size=n)
    model = PreparedModel(x, k)
    assert model.min_eigenvalue == pytest.approx(0.0, abs=1e-15)
    fit = model.fit(y, "ml")
    assert fit["converged"] is True and fit["h2"] < 1.0
    interval = fit["interval"]
    assert (interval["upper_limited"], interval["profile_failures"]) == (False, 1)
    assert interval["contains_upper_bound"] is None

    def profile(h2):
        w = h2 * k + (1 - h2) * np.eye(n)
        r = y - x @ gls_loglik(w, x, y, False)[1]
        return gls_loglik(w * (r @ np.linalg.solve(w, r) / n), x, y, False)[0]
    assert 2 * (fit["loglik"] - profile(interval["upper"])) == pytest.approx(3.841458820694124, abs=1e-6)


# ---- layouts, types and class behaviour ----------------------------------------------------


def test_memory_layouts_give_the_same_model(families):
    x, k, y = families
    reference = PreparedModel(x, k).fit(y)
    wide_x = np.zeros((x.shape[0], 2 * x.shape[1]))
    wide_x[:, ::2] = x
    reversed_k = k[::-1, ::-1].copy()
    layouts = [
        (np.asfortranarray(x), np.asfortranarray(k), y),
        (np.ascontiguousarray(x.T).T, k.T, y),
        (wide_x[:, ::2], np.repeat(k, 2, axis=1)[:, ::2], np.repeat(y, 2)[::2]),
        (x[::-1].copy()[::-1], reversed_k[::-1, ::-1], y[::-1].copy()[::-1]),
    ]
    for lx, lk, ly in layouts:
        fit = PreparedModel(lx, lk).fit(ly)
        assert (fit["h2"], fit["loglik"], fit["beta"]) == (reference["h2"], reference["loglik"], reference["beta"])


def test_reversed_order_fits_the_same_data(families):
    x, k, y = families
    reference = PreparedModel(x, k).fit(y)
    fit = PreparedModel(x[::-1], k[::-1, ::-1]).fit(y[::-1])
    assert fit["h2"] == pytest.approx(reference["h2"], abs=1e-7)
    assert fit["loglik"] == pytest.approx(reference["loglik"], abs=1e-9)


def test_properties_and_immutability(families):
    x, k, _ = families
    model = PreparedModel(x, k)
    assert type(model.n) is int and type(model.p) is int and type(model.min_eigenvalue) is float
    assert (model.n, model.p) == x.shape
    assert model.min_eigenvalue == pytest.approx(np.linalg.eigvalsh(k).min(), abs=1e-10)
    for name in ("n", "p", "min_eigenvalue", "other"):
        with pytest.raises(AttributeError):
            setattr(model, name, 1)
    with pytest.raises(TypeError):
        class Derived(PreparedModel):
            pass
    assert PreparedModel.__text_signature__ == "(x, k, subject_order_sha256=None)"
    assert gc.is_tracked(model)
    assert PreparedModel.fit.__text_signature__ == '($self, y, estimator="reml")'


@pytest.mark.parametrize("call,name", [
    (lambda x, k: PreparedModel(x.astype(np.float32), k), "'x'"),
    (lambda x, k: PreparedModel(x.tolist(), k), "'x'"),
    (lambda x, k: PreparedModel(x, k[0]), "'k'"),
    (lambda x, k: PreparedModel(x, k.astype(np.int64)), "'k'"),
    (lambda x, k: PreparedModel(x, k, b"0" * 64), "'subject_order_sha256'"),
    (lambda x, k: PreparedModel(x, k, 5), "'subject_order_sha256'"),
    (lambda x, k: PreparedModel(x), "'k'"),
    (lambda x, k: PreparedModel(x, k, None, 1), "positional"),
    (lambda x, k: PreparedModel(x, k=k, z=1), "'z'"),
    (lambda x, k: PreparedModel(x, k).fit(np.ones((x.shape[0], 1))), "'y'"),
    (lambda x, k: PreparedModel(x, k).fit(np.ones(x.shape[0]), None), "'estimator'"),
    (lambda x, k: PreparedModel(x, k).fit(np.ones(x.shape[0], dtype=np.float32)), "'y'"),
])
def test_type_errors_name_the_argument(call, name):
    x = np.column_stack([np.ones(6), np.arange(6.0)])
    with pytest.raises(TypeError, match=name):
        call(x, np.eye(6))


# ---- validation order and codes ------------------------------------------------------------

N = 8
X = np.column_stack([np.ones(N), np.arange(N, dtype=float)])
K = np.eye(N)


def with_entry(a, i, j, value, symmetric=False):
    a = a.copy()
    a[i, j] = value
    if symmetric:
        a[j, i] = value
    return a


def psd_block(smallest):
    """A 3x3 block with eigenvalues smallest, 1 and 2, exactly symmetric."""
    q, _ = np.linalg.qr(np.arange(1.0, 10.0).reshape(3, 3) + np.eye(3))
    block = q @ np.diag([smallest, 1.0, 2.0]) @ q.T
    block = (block + block.T) / 2.0
    k = np.eye(N)
    k[:3, :3] = block
    return k


@pytest.mark.parametrize("x,k,digest,code", [
    (X, K, "", "PREPARE_SUBJECT_ORDER_SHA256_INVALID"),
    (X, K, "a" * 63, "PREPARE_SUBJECT_ORDER_SHA256_INVALID"),
    (X, K, "a" * 65, "PREPARE_SUBJECT_ORDER_SHA256_INVALID"),
    (X, K, "A" + "a" * 63, "PREPARE_SUBJECT_ORDER_SHA256_INVALID"),
    (X, K, "é" + "a" * 63, "PREPARE_SUBJECT_ORDER_SHA256_INVALID"),
    (X, K[:, :-1], "g" * 64, "PREPARE_SUBJECT_ORDER_SHA256_INVALID"),
    (X, K[:, :-1], None, "PREPARE_K_NOT_SQUARE"),
    (X, np.eye(N + 1), None, "PREPARE_SHAPE_MISMATCH"),
    (X[:, :0], K, None, "PREPARE_NO_RESIDUAL_DEGREES_OF_FREEDOM"),
    (np.ones((N, N)), K, None, "PREPARE_NO_RESIDUAL_DEGREES_OF_FREEDOM"),
    (with_entry(np.ones((N, N)), 0, 0, np.nan), K, None, "PREPARE_NO_RESIDUAL_DEGREES_OF_FREEDOM"),
    # views of designs far too large to copy: their shapes decide before anything is copied
    (np.broadcast_to(1.0, (N, 2**48)), K, None, "PREPARE_NO_RESIDUAL_DEGREES_OF_FREEDOM"),
    (np.broadcast_to(1.0, (N + 1, 2**48)), K, None, "PREPARE_SHAPE_MISMATCH"),
    (with_entry(X, 2, 1, np.nan), with_entry(K, 0, 0, np.nan), None, "PREPARE_X_NOT_FINITE"),
    (with_entry(X, 2, 1, -np.inf), K, None, "PREPARE_X_NOT_FINITE"),
    (X, with_entry(K, 3, 4, np.inf, True), None, "PREPARE_K_NOT_FINITE"),
    (X, with_entry(with_entry(K, 0, 1, 0.5), 1, 0, 0.5000000001), None, "PREPARE_K_ASYMMETRIC"),
    (X, psd_block(-2e-9), None, "PREPARE_K_NOT_PSD"),
    (np.column_stack([X, X[:, 1]]), K, None, "PREPARE_X_RANK_DEFICIENT"),
    (np.column_stack([X, np.zeros(N)]), K, None, "PREPARE_X_RANK_DEFICIENT"),
    (np.zeros((N, 2)), K, None, "PREPARE_X_RANK_DEFICIENT"),
])
def test_prepare_codes_in_order(x, k, digest, code):
    with pytest.raises(ValueError) as raised:
        PreparedModel(x, k, subject_order_sha256=digest)
    assert str(raised.value) == code


@pytest.mark.parametrize("x,k,min_eigenvalue", [
    (X, psd_block(-5e-10), -5e-10),
    (np.eye(N)[:, : N - 1], K, 1.0),  # one residual degree of freedom
    (X, with_entry(with_entry(K, 0, 1, 0.0), 1, 0, -0.0), 1.0),
])
def test_prepare_accepts_edges(x, k, min_eigenvalue):
    model = PreparedModel(x, k)
    assert model.min_eigenvalue == pytest.approx(min_eigenvalue, abs=1e-12)


@pytest.mark.parametrize("y,estimator,code", [
    (np.ones(N), "REML", "FIT_ESTIMATOR_INVALID"),
    (np.ones(N), "", "FIT_ESTIMATOR_INVALID"),
    (np.ones(N + 1), " reml", "FIT_ESTIMATOR_INVALID"),
    (np.full(N + 1, np.nan), "ml", "FIT_Y_LENGTH_MISMATCH"),
    (with_entry(np.ones((1, N)), 0, 5, np.inf)[0], "ml", "FIT_Y_NOT_FINITE"),
    (with_entry(np.ones((1, N)), 0, 0, np.nan)[0], "reml", "FIT_Y_NOT_FINITE"),
])
def test_fit_codes_in_order(y, estimator, code):
    with pytest.raises(ValueError) as raised:
        PreparedModel(X, K).fit(y, estimator)
    assert str(raised.value) == code


@pytest.mark.parametrize("seed", [1000, 1002, 1005])
def test_interval_on_a_relationship_singular_at_one_ends_where_the_profile_leaves_the_cut(seed):
    """Households of ones: K is singular, so no profile exists at h2 = 1. The upper end is still
    where the profile crosses the cut (as the component interval finds it), not the bound."""
    n = 60
    k = np.kron(np.eye(20), np.ones((3, 3)))
    x = np.column_stack([np.ones(n), np.random.default_rng(100).normal(size=n)])
    y = x @ [1, .5] + np.linalg.cholesky(.3 * k + .02 * np.eye(n)) @ np.random.default_rng(seed).normal(size=n)
    interval = _core.PreparedModel(x, k).fit(y)["interval"]
    lower, upper, lower_limited, upper_limited, _, _ = _core.component_interval([k], x, y, 0)
    assert not interval["upper_limited"] and not upper_limited
    assert interval["upper"] == pytest.approx(upper, abs=1e-7) and interval["lower"] == pytest.approx(lower, abs=1e-7)
