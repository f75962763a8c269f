"""component_fit: the fit against a dense likelihood, its scale rules, codes and conversions."""

import math

import numpy as np
import pytest
from scipy import linalg, optimize

from kestrune import _core

LOG_2PI = math.log(2.0 * math.pi)


# ---- data: pedigrees of 1 to 15 people, rows shuffled, and a dense reference ---------------


def pedigree_sample(sizes, seed):
    """Additive relationships (from the module's pedigree routine) and households of families of the given sizes,
    rows shuffled so that families interleave; y drawn from 0.4 K + 0.2 H + 0.4 I."""
    rng = np.random.default_rng(seed)
    fathers, mothers, households = [], [], []
    for family, size in enumerate(sizes):
        first = len(fathers)
        for member in range(size):
            if member < 2 or member % 5 == 4:  # founders, then now and then a spouse
                fathers.append(None)
                mothers.append(None)
            else:
                pair = (first, first + 1) if member < 6 else (first + 2, first + 4)
                fathers.append(pair[0])
                mothers.append(pair[1])
            households.append(2 * family + (member >= (size + 1) // 2))
    n = len(fathers)
    ids = [str(i) for i in range(n)]
    a, order_of_rows = _core.relationship(ids, [None if f is None else str(f) for f in fathers],
                                          [None if m is None else str(m) for m in mothers])
    assert order_of_rows == ids
    h = (np.array(households)[:, None] == np.array(households)[None, :]).astype(float)
    order = rng.permutation(n)
    k, h = a[np.ix_(order, order)], h[np.ix_(order, order)]
    x = np.column_stack([np.ones(n), rng.normal(size=n), rng.integers(0, 2, size=n)])
    v = 0.4 * k + 0.2 * h + 0.4 * np.eye(n)
    y = x @ [1.0, 0.5, -0.3] + np.linalg.cholesky(v) @ rng.normal(size=n)
    return k, h, x, y


SIZES = [1, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15] * 2


@pytest.fixture(scope="module")
def sample():
    return pedigree_sample(SIZES, seed=3)


def gls(v, x, y):
    """beta, its covariance (X'V^-1 X)^-1, y'Py and the two log-determinants, densely."""
    chol = linalg.cho_factor(v, lower=True)
    vx, vy = linalg.cho_solve(chol, x), linalg.cho_solve(chol, y)
    a = x.T @ vx
    cov = np.linalg.inv(a) if a.size else a
    beta = cov @ (x.T @ vy)
    r = y - x @ beta
    ypy = float(r @ linalg.cho_solve(chol, r))
    logdet_v = 2.0 * float(np.sum(np.log(np.diag(chol[0]))))
    logdet_a = np.linalg.slogdet(a)[1] if a.size else 0.0
    return beta, cov, ypy, logdet_v, logdet_a


def dense_loglik(coefficients, matrices, x, y, reml, profiled=False):
    """The log-likelihood at the coefficients, or with profiled=True at the scale that
    maximises it for their shares."""
    n, p = x.shape
    v = coefficients[-1] * np.eye(n) + sum(c * k for c, k in zip(coefficients, matrices))
    _, _, ypy, logdet_v, logdet_a = gls(v, x, y)
    d = n - p if reml else n
    scale = ypy / d if profiled else 1.0
    loglik = -0.5 * (ypy / scale + logdet_v + n * math.log(scale) + d * LOG_2PI)
    if reml:
        logdet_xtx = np.linalg.slogdet(x.T @ x)[1] if p else 0.0
        loglik += -0.5 * (logdet_a - p * math.log(scale) - logdet_xtx)
    return loglik, scale


def dense_profile(shares, matrices, x, y, reml):
    """Profile log-likelihood over the scale at shares (the residual's share the rest)."""
    return dense_loglik(list(shares) + [1.0 - sum(shares)], matrices, x, y, reml, profiled=True)


def dense_maximum(matrices, x, y, reml, near=(0.3, 0.2)):
    """The maximum by bounded Brent (one share) or Nelder-Mead from shares near the given
    ones (two), and its coefficients."""
    def minus(shares):
        if min(shares) < 0.0 or sum(shares) >= 1.0:
            return 1e10
        return -dense_profile(list(shares), matrices, x, y, reml)[0]

    if len(matrices) == 1:
        best = optimize.minimize_scalar(lambda h: minus([h]), bounds=(0.0, 0.999), method="bounded",
                                        options={"xatol": 1e-8})
        shares = [best.x]
    else:
        simplex = np.array([near, near, near]) + [[0.0, 0.0], [0.03, 0.0], [0.0, 0.03]]
        best = optimize.minimize(minus, simplex[0], method="Nelder-Mead",
                                 options={"xatol": 1e-7, "fatol": 1e-10, "maxiter": 2000,
                                          "initial_simplex": simplex})
        shares = list(best.x)
    loglik, scale = dense_profile(shares, matrices, x, y, reml)
    return loglik, [s * scale for s in shares] + [(1.0 - sum(shares)) * scale]


# ---- the fit against the dense computation ------------------------------------------------


@pytest.mark.parametrize("reml", [True, False], ids=["reml", "ml"])
@pytest.mark.parametrize("which", [[0], [0, 1]], ids=["additive", "additive_household"])
def test_fit_agrees_with_dense_maximum(sample, which, reml):
    k, h, x, y = sample
    matrices = [[k, h][i] for i in which]
    fit = _core.component_fit(matrices, x, y, reml=reml)
    coefficients, proportions, total, loglik, scaled, converged, beta, beta_se, code, message, polished = fit
    assert converged and scaled < 1e-6
    assert len(coefficients) == len(proportions) == len(matrices) + 1
    assert sum(proportions) == pytest.approx(1.0, abs=1e-12)
    assert total == pytest.approx(sum(coefficients), abs=1e-12)

    maximum, dense_coefficients = dense_maximum(matrices, x, y, reml, near=proportions[:2])
    assert abs(loglik - maximum) < 1e-6
    assert loglik == pytest.approx(dense_loglik(coefficients, matrices, x, y, reml)[0], abs=1e-8)
    np.testing.assert_allclose(coefficients, dense_coefficients, rtol=0, atol=1e-4 * total)

    v = coefficients[-1] * np.eye(len(y)) + sum(c * m for c, m in zip(coefficients, matrices))
    dense_beta, cov, *_ = gls(v, x, y)
    np.testing.assert_allclose(beta, dense_beta, rtol=0, atol=1e-7)
    np.testing.assert_allclose(beta_se, np.sqrt(np.diag(cov)), rtol=0, atol=1e-7)
    assert isinstance(code, int) and isinstance(message, str) and isinstance(polished, bool)


@pytest.mark.parametrize("reml, rows", [(True, lambda n, p: n - p), (False, lambda n, p: n)], ids=["reml", "ml"])
def test_scaling_the_response(sample, reml, rows):
    k, h, x, y = sample
    base = _core.component_fit([k, h], x, y, reml=reml)
    scaled = _core.component_fit([k, h], x, 7.0 * y, reml=reml)
    assert scaled[3] == pytest.approx(base[3] - rows(*x.shape) * math.log(7.0), abs=1e-8)
    np.testing.assert_allclose(scaled[0], 49.0 * np.array(base[0]), rtol=1e-6, atol=1e-9)
    np.testing.assert_allclose(scaled[6], 7.0 * np.array(base[6]), rtol=1e-6, atol=1e-9)
    shifted = _core.component_fit([k, h], x, y + 2.5, reml=reml)
    assert shifted[3] == pytest.approx(base[3], abs=1e-8)
    np.testing.assert_allclose(shifted[0], base[0], rtol=1e-6, atol=1e-9)
    assert shifted[6][0] == pytest.approx(base[6][0] + 2.5, abs=1e-6)


def test_without_fixed_effects_reml_is_ml(sample):
    k, h, _, y = sample
    empty = np.zeros((len(y), 0))
    assert _core.component_fit([k, h], empty, y) == _core.component_fit([k, h], empty, y, reml=False)
    fit = _core.component_fit([k], empty, y, reml=False)
    assert fit[6] == [] and fit[7] == []
    assert fit[3] == pytest.approx(dense_loglik(fit[0], [k], empty, y, False)[0], abs=1e-8)


def test_unrelated_people_fit_the_residual_alone():
    # Diagonal matrices give blocks of one; a structured diagonal unlike the identity is identified.
    rng = np.random.default_rng(5)
    n = 40
    d = np.diag(rng.uniform(0.5, 2.0, size=n))
    x = np.ones((n, 1))
    y = rng.normal(size=n) * np.sqrt(np.diag(d) * 0.7 + 0.3)
    fit = _core.component_fit([d], x, y, reml=False)
    assert fit[5]
    assert fit[3] == pytest.approx(dense_maximum([d], x, y, False)[0], abs=1e-6)


# ---- codes, in the order they are tested ---------------------------------------------------


def _codes_cases():
    n = 6
    k = np.eye(n) + 0.5 * (np.eye(n, k=1) + np.eye(n, k=-1))
    c = np.kron(np.eye(3), np.ones((2, 2)))
    x = np.column_stack([np.ones(n), np.arange(n, dtype=float)])
    y = np.array([0.3, 1.2, -0.4, 2.2, 0.9, -1.1])
    near = k.copy()
    near[0, 1] += 5e-11
    far = k.copy()
    far[0, 1] += 2e-10
    big_far = 1e3 * k
    big_far[1, 0] += 2e-10
    nan_k = k.copy()
    nan_k[2, 2] = np.nan
    nan_x = x.copy()
    nan_x[1, 1] = np.inf
    return [
        ("none_given_before_design", [], np.zeros((0, 1)), y, "COMPONENTS_NONE_GIVEN"),
        ("no_rows_before_matrices", [np.eye(3)], np.zeros((0, 2)), y, "COMPONENTS_NO_ROWS"),
        ("design_not_finite", [np.eye(3)], nan_x, y, "COMPONENTS_DESIGN_NOT_FINITE"),
        ("wrong_size", [k, np.eye(5)], x, y, "COMPONENTS_MATRIX_WRONG_SIZE"),
        ("not_finite_first", [nan_k, np.eye(5)], x, y, "COMPONENTS_MATRIX_NOT_FINITE"),
        ("mirror_2e-10", [far], x, y, "COMPONENTS_MATRIX_NOT_SYMMETRIC"),
        ("mirror_2e-10_large_entries", [big_far], x, y, "COMPONENTS_MATRIX_NOT_SYMMETRIC"),
        ("zero_matrix", [np.zeros((n, n))], x, y, "COMPONENTS_COVARIANCE_BASES_RANK_DEFICIENT"),
        ("identity", [np.eye(n)], x, y, "COMPONENTS_COVARIANCE_BASES_RANK_DEFICIENT"),
        ("multiple_of_identity", [3.0 * np.eye(n)], x, y, "COMPONENTS_COVARIANCE_BASES_RANK_DEFICIENT"),
        ("equal_matrices", [k, k.copy()], x, y, "COMPONENTS_COVARIANCE_BASES_RANK_DEFICIENT"),
        ("combination", [k, c, k + 0.5 * c + 0.25 * np.eye(n)], x, y, "COMPONENTS_COVARIANCE_BASES_RANK_DEFICIENT"),
        ("zero_design_column", [k], np.column_stack([x, np.zeros(n)]), y, "COMPONENTS_DESIGN_RANK_DEFICIENT"),
        ("more_columns_than_rows", [k], np.ones((n, n + 1)), y, "COMPONENTS_DESIGN_RANK_DEFICIENT"),
        ("wrong_length_with_nan", [near], x, np.array([np.nan, 1.0]), "COMPONENTS_RESPONSE_WRONG_LENGTH"),
        ("response_nan", [near], x, np.where(np.arange(n) == 2, np.nan, y), "COMPONENTS_RESPONSE_NOT_FINITE"),
        ("response_constant", [k, c], x, np.ones(n), "COMPONENTS_RESPONSE_CONSTANT"),
    ]


@pytest.mark.parametrize("matrices, design, y, code", [case[1:] for case in _codes_cases()],
                         ids=[case[0] for case in _codes_cases()])
def test_codes_in_order(matrices, design, y, code):
    with pytest.raises(ValueError) as raised:
        _core.component_fit(matrices, design, y)
    assert str(raised.value) == code


def test_mirror_entries_within_tolerance_and_near_constant_response_are_fitted():
    n = 6
    k = np.eye(n) + 0.5 * (np.eye(n, k=1) + np.eye(n, k=-1))
    k[0, 1] += 5e-11
    fit = _core.component_fit([k], np.ones((n, 1)), np.full(n, 0.1) + np.arange(n) * 1e-3)
    assert len(fit) == 11
    # Three copies of 0.1 have a computed mean that is not 0.1, so a tiny positive variance.
    three = np.eye(3) + 0.25 * (np.ones((3, 3)) - np.eye(3))
    assert len(_core.component_fit([three], np.zeros((3, 0)), np.full(3, 0.1))) == 11


# ---- conversions -------------------------------------------------------------------------


def _small():
    k, h, x, y = pedigree_sample([1, 3, 4, 6], seed=11)
    return k, h, x, y


@pytest.mark.parametrize("name, call", [
    ("design", lambda k, h, x, y: _core.component_fit([k], x.astype(np.float32), y)),
    ("design", lambda k, h, x, y: _core.component_fit([k], x[:, 0], y)),
    ("y", lambda k, h, x, y: _core.component_fit([k], x, y[:, None])),
    ("y", lambda k, h, x, y: _core.component_fit([k], x, y.astype(np.int64))),
    ("matrices", lambda k, h, x, y: _core.component_fit("kk", x, y)),
    ("matrices", lambda k, h, x, y: _core.component_fit([k, h.astype(np.int64)], x, y)),
    ("matrices", lambda k, h, x, y: _core.component_fit(k, x, y)),
    ("reml", lambda k, h, x, y: _core.component_fit([k], x, y, reml=1)),
    ("y", lambda k, h, x, y: _core.component_fit([], x, y.tolist())),
], ids=["float32_design", "1d_design", "2d_y", "int_y", "str_matrices", "int_matrix", "array_matrices",
        "int_reml", "list_y_before_build"])
def test_type_errors_name_the_argument(name, call):
    with pytest.raises(TypeError, match=name):
        call(*_small())


def test_str_matrices_message():
    k, h, x, y = _small()
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
        _core.component_fit("kk", x, y)


def test_layouts_give_the_same_tuple_and_inputs_stay_unmodified():
    k, h, x, y = _small()
    saved = [a.copy() for a in (k, h, x, y)]
    reference = _core.component_fit([k, h], x, y)

    def strided(a):
        big = np.zeros(tuple(2 * s for s in a.shape))
        big[tuple(slice(None, None, 2) for _ in a.shape)] = a
        return big[tuple(slice(None, None, 2) for _ in a.shape)]

    def reversed_view(a):
        flipped = a[tuple(slice(None, None, -1) for _ in a.shape)].copy()
        return flipped[tuple(slice(None, None, -1) for _ in a.shape)]

    for layout in (np.asfortranarray, lambda a: a.T.copy().T, strided, reversed_view):
        assert _core.component_fit([layout(k), layout(h)], layout(x), layout(y)) == reference
    assert _core.component_fit((k, h), x, y, np.True_) == reference
    assert _core.component_fit(matrices=[k, h], design=x, y=y, reml=True) == reference
    for before, after in zip(saved, (k, h, x, y)):
        np.testing.assert_array_equal(before, after)


def test_docstring_and_signature():
    assert _core.component_fit.__text_signature__ == "(matrices, design, y, reml=True)"
    assert _core.component_fit.__doc__ == (
        "Fit one trait with any number of variance components.\n\n"
        "`matrices` are the structured components in order; the residual is added\n"
        "for you and is always last in what comes back.")
    with pytest.raises(TypeError):
        _core.component_fit([np.eye(2)], np.ones((2, 1)))
