"""autoregressive_fit and autoregressive_cells against a dense numpy likelihood."""

import itertools
import math

import numpy as np
import pytest
from scipy import optimize

from helpers import centred_relationship, contrast_gls, gls_loglik, housemates, sibling_blocks, site_gap
from kestrune import _core


def grid_problem(seed=5):
    """An 8 x 8 grid at spacing 3 with some shared cells, families of three, two fixed effects."""
    rng = np.random.default_rng(seed)
    rows = [3 * (i % 8) for i in range(64)] + [0, 3, 6, 9, 21, 15]
    cols = [3 * (i // 8) for i in range(64)] + [0, 3, 3, 12, 21, 6]
    n = len(rows)
    k = sibling_blocks(n, 3)
    x = np.column_stack([np.ones(n), rng.normal(size=n)])
    r = np.array([[0.7 ** (abs(a - b) // 3) * 0.5 ** (abs(c - d) // 3) for b, d in zip(rows, cols)]
                  for a, c in zip(rows, cols)])
    v = 0.8 * k + 1.2 * r + 0.6 * np.eye(n)
    y = x @ [2.0, 0.5] + np.linalg.cholesky(v) @ rng.normal(size=n)
    return k, rows, cols, x, y


def dense_loglik(theta, fixed, rows, cols, x, y, reml):
    """The (restricted) log-likelihood at theta = (c_1..c_m, c_ar, c_res, rho_row, rho_col)."""
    m = len(fixed)
    rows, cols = np.asarray(rows, dtype=float), np.asarray(cols, dtype=float)
    dr = np.minimum(np.abs(rows[:, None] - rows[None, :]), 2147483647)
    dc = np.minimum(np.abs(cols[:, None] - cols[None, :]), 2147483647)
    r = theta[m + 2] ** dr * theta[m + 3] ** dc
    v = sum(c * f for c, f in zip(theta[:m], fixed)) + theta[m] * r + theta[m + 1] * np.eye(len(y))
    return contrast_gls(v, x, y, reml)


def theta_of(result, var):
    coefficients, _, _, rates = result[:4]
    return np.array([c / var for c in coefficients] + [rates[0], rates[1]])


def cells_problem():
    """180 people in 36 cells, families of three: the fit goes through the cells, not n x n."""
    rng = np.random.default_rng(3)
    n = 180
    rows, cols = [int(r) for r in rng.integers(0, 6, n)], [int(c) for c in rng.integers(0, 6, n)]
    x = np.column_stack([np.ones(n), rng.normal(size=n)])
    y = x @ [2.0, 0.5] + 0.3 * np.array(rows) + rng.normal(size=n) + np.repeat(rng.normal(size=n // 3), 3)
    return [sibling_blocks(n, 3)], rows, cols, x, y


def site_gap_problem():
    """A family per plot of a 5 x 4 grid, from two sites thirty residual sds apart: standardised
    by the response's own spread, the fit once stopped 0.6 below the maximum, unconverged."""
    k, x, y = site_gap(30)
    family = np.arange(60) // 3
    return [k], (family % 5).tolist(), (family // 5).tolist(), x, y


def centred_problem(seed=13, n=50, shift=11):
    """A relationship centred on the people (its zero direction the intercept's), pairs of people
    in cells along a row, listed from person `shift` on: under REML the maximum is the limit where
    the residual is 0 and V singular along the intercept; under ML the likelihood rises towards it."""
    k, x, y, _ = centred_relationship(seed, n)
    o = np.roll(np.arange(len(y)), shift)
    return [k[np.ix_(o, o)]], (o // 2).tolist(), [0] * len(y), x[o], y[o]


def centred_block_problem():
    """Sixty people of a centred relationship in twelve blocks of five over a 8 x 3 grid: a fit by ML
    once ended at a residual of exactly 0, where rounding had let V be factored, reported converged."""
    k, x, y, _ = centred_relationship(18, 60)
    return [k], (np.repeat(np.arange(12) % 4, 5) * 2 + np.arange(60) % 2).tolist(), \
        np.repeat(np.arange(12) // 4, 5).tolist(), x, y


def housemates_problem(with_parents=False):
    """helpers.housemates in cells of a 8 x 4 grid, a family per cell: every start once ended where it
    began, its first step taking V out of the positive definite."""
    fixed, rows, cols, x, y = housemates(with_parents)
    return fixed, rows.tolist(), cols.tolist(), x, y


def deviation_problem():
    """Nuclear families (parents unrelated) with a genomic estimate's symmetric deviation from their
    relationship beside it, in cells of a 8 x 4 grid: by ML the maximum has the column rate on its
    bound 0.999, which no start lies on, and the fit once stopped 0.03 below it."""
    rng = np.random.default_rng(0)
    families, n = 16, 80
    block = np.full((5, 5), 0.5) + 0.5 * np.eye(5)
    block[0, 1] = block[1, 0] = 0.0
    a = np.kron(np.eye(families), block)
    x = rng.normal(size=n)
    y = 2 + 0.7 * x + np.sqrt(0.5) * np.linalg.cholesky(a) @ rng.normal(size=n) + np.sqrt(0.5) * rng.normal(size=n)
    deviation = np.zeros((n, n))
    for f in range(families):
        q = rng.normal(scale=0.08, size=(5, 5))
        q = (q + q.T) / 2
        q[0, 1] = q[1, 0] = 0.0
        deviation[5 * f:5 * f + 5, 5 * f:5 * f + 5] = q
    family = np.arange(n) // 5
    return [a, deviation], ((family % 4) * 2 + np.arange(n) % 2).tolist(), (family // 4).tolist(), \
        np.column_stack([np.ones(n), x]), y


# Fits that by ML head for the residual's face, where the likelihood has no bound.
RUNAWAY = (centred_problem, centred_block_problem)


@pytest.mark.parametrize("reml", [True, False])
@pytest.mark.parametrize("problem, rel, beta_tolerance, search", [
    (grid_problem, 1e-8, dict(rel=1e-6, abs=1e-9), "local"), (cells_problem, 1e-9, dict(rel=1e-7), None),
    (site_gap_problem, 1e-9, dict(rel=1e-6), "global"), (centred_problem, 1e-9, dict(rel=1e-6), "local"),
    (centred_block_problem, 1e-9, dict(rel=1e-6), {True: -83.52287794, False: None}),
    # the dense maxima by Nelder-Mead and Powell from the fit and from starts at the rates' bounds
    (housemates_problem, 1e-9, dict(rel=1e-6), {True: -78.04615157, False: -80.39666013}),
    (lambda: housemates_problem(True), 1e-9, dict(rel=1e-6), {True: -91.89463281, False: -94.49865282}),
    (deviation_problem, 1e-9, dict(rel=1e-6), {True: -106.76901112, False: -109.09480661}),
], ids=["grid", "cells", "site_gap", "centred", "centred_block", "housemates", "housemates_parents", "deviation"])
def test_fit_is_the_dense_optimum(problem, rel, beta_tolerance, search, reml):
    fixed, rows, cols, x, y = problem()
    fixed = [fixed] if isinstance(fixed, np.ndarray) else fixed
    result = _core.autoregressive_fit(fixed, rows, cols, x, y, reml)
    coefficients, proportions, total, rates, loglik, converged, polished, scaled, beta, beta_se = result
    runaway = problem in RUNAWAY
    assert converged is (reml or not runaway)
    if not converged:
        return
    assert scaled < 1e-6 and (problem is not centred_problem or coefficients[-1] == 0.0)
    assert isinstance(rates, tuple) and isinstance(coefficients, list) and len(coefficients) == len(fixed) + 2
    assert sum(proportions) == pytest.approx(1.0, abs=1e-12)
    assert total == pytest.approx(sum(coefficients), rel=1e-14)
    # The likelihood of y on its own scale at the reported estimates (the limit at a residual of 0).
    theta = np.array(coefficients + [rates[0], rates[1]])
    expected, gls, covariance = dense_loglik(theta, fixed, rows, cols, x, y, reml)
    assert loglik == pytest.approx(expected, rel=rel)
    assert beta == pytest.approx(gls, **beta_tolerance)
    assert beta_se == pytest.approx(np.sqrt(np.diag(covariance)), rel=beta_tolerance["rel"])
    for rho, half in zip(rates[:2], rates[2:]):
        assert half == (0.0 if rho <= 0 else pytest.approx(-math.log(2) / math.log(rho)))
    # No point found by an independent search is higher.
    loglik_at = lambda t: dense_loglik(t, fixed, rows, cols, x, y, reml)[0]
    if search == "local":
        assert independent_maximum(loglik_at, theta) <= loglik + 1e-6
    if search == "global":
        assert global_maximum(loglik_at, np.var(y - x @ np.linalg.lstsq(x, y, rcond=None)[0])) <= loglik + 1e-6
    if isinstance(search, dict):
        assert loglik == pytest.approx(search[reml], abs=1e-6)


def global_maximum(loglik, var):
    """Nelder-Mead over root variances (on the scale var) and logistic rates, from nine pairs
    of starting rates, each run restarted once where it stopped."""
    def theta(u):
        return np.r_[var * np.square(u[:3]), 0.999 / (1 + np.exp(-np.clip(u[3:], -700, 700)))]
    best = -math.inf
    for rates in itertools.product((-2.0, 0.0, 2.0), repeat=2):
        u = np.r_[np.full(3, 0.6), rates]
        for _ in range(2):
            found = optimize.minimize(lambda u: -loglik(theta(u)), u, method="Nelder-Mead",
                                      options={"xatol": 1e-9, "fatol": 1e-12, "maxfev": 20000})
            u = found.x
        best = max(best, -found.fun)
    return best


def independent_maximum(loglik, theta):
    """Powell within the box, from the reported point and from two points around it."""
    box = [(0.0, None)] * (len(theta) - 2) + [(0.0, 0.999)] * 2
    best = -math.inf
    for factor in (1.0, 0.7, 1.4):
        start = np.clip(theta * factor, 1e-6, [hi or np.inf for _, hi in box])
        search = optimize.minimize(lambda t: -loglik(t), start, method="Powell", bounds=box,
                                   options={"xtol": 1e-9, "ftol": 1e-14, "maxfev": 20000})
        best = max(best, -search.fun)
    return best


def test_scaling_the_response():
    k, rows, cols, x, y = grid_problem()
    base = _core.autoregressive_fit([k], rows, cols, x, y)
    scaled = _core.autoregressive_fit([k], rows, cols, x, 2.5 * y)
    n, p = x.shape
    assert scaled[0] == pytest.approx([6.25 * c for c in base[0]], rel=1e-5, abs=1e-8)
    assert scaled[1] == pytest.approx(base[1], rel=1e-5, abs=1e-8)
    assert scaled[3][:2] == pytest.approx(base[3][:2], rel=1e-5, abs=1e-8)
    assert scaled[4] == pytest.approx(base[4] - (n - p) * math.log(2.5), rel=1e-9)
    assert scaled[8] == pytest.approx([2.5 * b for b in base[8]], rel=1e-5)


def test_layouts_and_coordinate_kinds_agree():
    k, rows, cols, x, y = grid_problem()
    plain = _core.autoregressive_fit([k], rows, cols, x, y, reml=False)
    strided_x = np.asfortranarray(np.repeat(x, 2, axis=1))[:, ::2]
    strided_y = np.repeat(y, 2)[::2]
    strided_k = np.repeat(k, 2, axis=0)[::2]
    other = _core.autoregressive_fit(fixed=(strided_k,), row=tuple(rows), column=np.array(cols),
                                     design=strided_x, y=strided_y, reml=False)
    assert other == plain


def test_differences_are_capped():
    k, rows, cols, x, y = grid_problem()
    top = 2**63 - 1
    far = [-(2**63) if r == 0 else top for r in rows]
    near = [-5 * 10**9 if r == 0 else 5 * 10**9 for r in rows]
    assert _core.autoregressive_fit([k], far, cols, x, y) == _core.autoregressive_fit([k], near, cols, x, y)


def test_no_fixed_matrices():
    _, rows, cols, x, y = grid_problem()
    result = _core.autoregressive_fit([], rows, cols, x, y)
    assert len(result[0]) == 2 and len(result[1]) == 2


@pytest.mark.parametrize("rows, cols, expected", [
    ([], [], 0), ([1, 1, 2], [1, 1, 1], 2), ([1, 2], [2, 1], 2),
    ([2**63 - 1, -(2**63)], [0, 0], 2),
])
def test_cells(rows, cols, expected):
    assert _core.autoregressive_cells(rows, cols) == expected


def test_cells_count_many_pairs():
    rng = np.random.default_rng(0)
    rows = rng.integers(0, 700, 10**6).tolist()
    cols = rng.integers(0, 700, 10**6).tolist()
    assert _core.autoregressive_cells(rows, cols) == len(set(zip(rows, cols)))


def test_cells_refusals():
    with pytest.raises(ValueError, match="^AUTOREGRESSIVE_CELLS_WRONG_LENGTH$"):
        _core.autoregressive_cells([1, 2], [1])
    with pytest.raises(OverflowError):
        _core.autoregressive_cells([2**63], [0])
    with pytest.raises(TypeError, match="argument 'row'"):
        _core.autoregressive_cells([1.5], [0])
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
        _core.autoregressive_cells("12", [1, 2])


OFFSET_COLUMN = np.random.default_rng(2).normal(size=70) * 1e3 + 1e4


def codes_case(change):
    k, rows, cols, x, y = grid_problem()
    args = {"fixed": [k], "row": rows, "column": cols, "design": x, "y": y}
    change(args)
    return args


def with_nan(matrix, i, j):
    matrix = matrix.copy()
    matrix[i, j] = np.nan
    return matrix


@pytest.mark.parametrize("change, code", [
    (lambda a: a.update(design=np.zeros((0, 2)), row=[], column=[]), "AUTOREGRESSIVE_NO_ROWS"),
    # the cell lengths are checked before the fixed sizes
    (lambda a: a.update(row=a["row"][:-1], fixed=[np.eye(3)]), "AUTOREGRESSIVE_CELLS_WRONG_LENGTH"),
    (lambda a: a.update(fixed=[a["fixed"][0], np.eye(3)]), "AUTOREGRESSIVE_FIXED_WRONG_SIZE"),
    # a NaN above the diagonal, where the factor never looks
    (lambda a: a.update(fixed=[with_nan(a["fixed"][0], 0, 5)]), "AUTOREGRESSIVE_FIXED_NOT_FINITE"),
    (lambda a: a.update(design=with_nan(a["design"], 3, 1)), "AUTOREGRESSIVE_DESIGN_NOT_FINITE"),
    (lambda a: a.update(design=np.column_stack([a["design"], np.zeros(len(a["y"]))])),
     "AUTOREGRESSIVE_DESIGN_RANK_DEFICIENT"),
    # two identical columns whose X'X rounding leaves a last pivot slightly positive
    (lambda a: a.update(design=np.column_stack([a["design"][:, 0], OFFSET_COLUMN, OFFSET_COLUMN])),
     "AUTOREGRESSIVE_DESIGN_RANK_DEFICIENT"),
    (lambda a: a.update(y=np.append(a["y"], 1.0)), "AUTOREGRESSIVE_RESPONSE_WRONG_LENGTH"),
    (lambda a: a.update(y=np.full(len(a["y"]), 2.0)), "AUTOREGRESSIVE_RESPONSE_CONSTANT"),
    (lambda a: a.update(y=np.where(np.arange(70) % 2 == 0, 0.1, np.nextafter(0.1, 1.0))),
     "AUTOREGRESSIVE_RESPONSE_CONSTANT"),
    (lambda a: a.update(y=np.where(np.arange(len(a["y"])) == 4, np.inf, a["y"])), "AUTOREGRESSIVE_RESPONSE_CONSTANT"),
])
def test_codes_in_order(change, code):
    args = codes_case(change)
    with pytest.raises(ValueError, match=f"^{code}$"):
        _core.autoregressive_fit(**args)


@pytest.mark.parametrize("name, value", [
    ("fixed", "k"), ("row", [0.5] * 70), ("design", [[1.0]] * 70), ("y", np.arange(70)), ("reml", 1),
])
def test_type_errors_name_the_argument(name, value):
    args = codes_case(lambda a: None)
    args[name] = value
    with pytest.raises(TypeError, match=f"argument '{name}'"):
        _core.autoregressive_fit(**args)


def test_inputs_are_left_unchanged_and_signatures():
    k, rows, cols, x, y = grid_problem()
    copies = [k.copy(), list(rows), list(cols), x.copy(), y.copy()]
    _core.autoregressive_fit([k], rows, cols, x, y)
    for before, after in zip(copies, [k, rows, cols, x, y]):
        assert np.array_equal(before, after)
    assert _core.autoregressive_fit.__text_signature__ == "(fixed, row, column, design, y, reml=True)"
    assert _core.autoregressive_cells.__text_signature__ == "(row, column)"
