"""The spatial model: distances, the fit against a dense numpy likelihood, codes and arguments."""

import math

import numpy as np
import pytest
from scipy import linalg, optimize

from helpers import SplitMix, centred_relationship, contrast_gls, gls_loglik, housemates, sibling_blocks
from kestrune import _core

LN2 = 0.6931471805599453
LOG_2PI = 1.8378770664093453


# ---- data and a dense reference ---------------------------------------------------------


def haversine(lat, lon):
    lat, lon = np.radians(lat), np.radians(lon)
    dlat = lat[:, None] - lat[None, :]
    dlon = lon[:, None] - lon[None, :]
    h = np.sin(dlat / 2) ** 2 + np.cos(lat)[:, None] * np.cos(lat)[None, :] * np.sin(dlon / 2) ** 2
    return 12742.0176 * np.arcsin(np.sqrt(np.clip(h, 0.0, 1.0)))


def sample(seed, n=36, sites=12, m=1):
    """People at sites from coordinates, families of three, design [1, x]."""
    rng = np.random.default_rng(seed)
    lat = rng.uniform(50.0, 53.0, sites)
    lon = rng.uniform(-2.0, 2.0, sites)
    site = np.concatenate([np.arange(sites), rng.integers(0, sites, n - sites)])
    distance = np.array(_core.spatial_distances(lat[site], lon[site]))
    fixed = [sibling_blocks(n, 3)] if m else []
    x = np.column_stack([np.ones(n), rng.normal(size=n)])
    v = 0.8 * np.exp(-distance / 60.0) + 0.6 * np.eye(n) + sum(0.5 * a for a in fixed)
    y = x @ [3.0, 0.5] + np.linalg.cholesky(v) @ rng.normal(size=n)
    return fixed, distance, x, y


def centred_sample(seed, shift):
    """A relationship centred on the people (its zero direction the intercept's), pairs of people
    a unit apart along a line, listed from person `shift` on."""
    k, x, y, _ = centred_relationship(seed)
    o = np.roll(np.arange(len(y)), shift)
    place = o // 2 * 1.0
    return [k[np.ix_(o, o)]], np.abs(place[:, None] - place[None]), x[o], y[o]


def housemates_sample(with_parents):
    """helpers.housemates at the cells of its grid, the distances between cells."""
    fixed, rows, cols, x, y = housemates(with_parents)
    return fixed, np.hypot(rows[:, None] - rows, cols[:, None] - cols), x, y


def trend_sample(seed, n=48):
    """Sibships of three at places along 30 units with a trend along them: the maximum has the
    smallest decay rate, on its bound."""
    rng = np.random.default_rng(seed)
    place = np.repeat(rng.uniform(0, 30, n // 3), 3)
    x = np.column_stack([np.ones(n), rng.normal(size=n)])
    k = sibling_blocks(n, 3)
    y = x @ [1.0, 0.5] + 0.08 * place + np.linalg.cholesky(0.5 * k + 0.5 * np.eye(n)) @ rng.normal(size=n)
    return [k], np.abs(place[:, None] - place[None]), x, y


def table_sample(seed, shape):
    if "centred" in shape:
        return centred_sample(seed, shape["centred"])
    if "housemates" in shape:
        return housemates_sample(shape["housemates"])
    return trend_sample(seed) if "trend" in shape else sample(seed, **shape)


def spread_sample(seed, n=40):
    """One person per site over ten degrees, a strong spatial term and no fixed matrices."""
    rng = np.random.default_rng(seed)
    distance = np.array(_core.spatial_distances(rng.uniform(45.0, 55.0, n), rng.uniform(-5.0, 5.0, n)))
    x = np.column_stack([np.ones(n), rng.normal(size=n)])
    y = x @ [3.0, 0.5] + np.linalg.cholesky(np.exp(-distance / 150.0) + 0.2 * np.eye(n)) @ rng.normal(size=n)
    return [], distance, x, y


def covariance(coefficients, decay, fixed, distance):
    n = distance.shape[0]
    v = coefficients[-2] * np.exp(-decay * distance) + coefficients[-1] * np.eye(n)
    for c, a in zip(coefficients, fixed):
        v = v + c * a
    return v


def gls(v, x, y):
    chol = linalg.cho_factor(v, lower=True)  # LinAlgError where v is not positive definite
    vx = linalg.cho_solve(chol, x)
    a = x.T @ vx
    cov = np.linalg.inv(a)
    beta = cov @ (vx.T @ y)
    return beta, cov, chol, a


def dense_loglik(coefficients, decay, fixed, distance, x, y, reml):
    n, p = x.shape
    v = covariance(coefficients, decay, fixed, distance)
    try:
        beta, _, chol, a = gls(v, x, y)
    except linalg.LinAlgError:
        return -math.inf
    r = y - x @ beta
    q = float(r @ linalg.cho_solve(chol, r))
    logdet = 2.0 * np.sum(np.log(np.diag(chol[0])))
    if not reml:
        return -0.5 * (n * LOG_2PI + logdet + q)
    return -0.5 * ((n - p) * LOG_2PI + logdet + np.linalg.slogdet(a)[1] - np.linalg.slogdet(x.T @ x)[1] + q)


def bounds_of(distance):
    below = distance[np.tril_indices_from(distance, -1)]
    positive = below[below > 0]
    return LN2 / positive.max(), LN2 / positive.min()


def nodes(distance):
    lo, hi = bounds_of(distance)
    return lo * np.exp(np.log(hi / lo) * (np.arange(12) + 0.5) / 12)


def integrated_loglik(coefficients, fixed, distance, x, y, reml):
    values = np.array([dense_loglik(coefficients, d, fixed, distance, x, y, reml) for d in nodes(distance)])
    top = values.max()
    return top + math.log(np.sum(np.exp(values - top)) / 12), values


def unpack(result):
    keys = ["coefficients", "proportions", "total", "decay_rate", "half_distance", "loglik",
            "scaled_gradient", "converged", "polished", "beta", "beta_se"]
    assert len(result) == len(keys)
    return dict(zip(keys, result))


def dense_search(fit, fixed, distance, x, y, reml, integrated, held=None, value=None):
    """The dense log-likelihood maximised by Nelder-Mead on log variances (log shares of the
    rest when a proportion is held) and the log decay rate, unless held or integrated out."""
    m = len(fixed)
    lo, hi = bounds_of(distance)
    c0 = np.maximum(np.array(fit["coefficients"]), 1e-3 * fit["total"])
    free = [j for j in range(m + 2) if j != held]
    decay_free = not integrated and held != "lambda"

    def negative(t):
        w = np.exp(t[: len(free)])
        c = w
        if isinstance(held, int):
            c = np.zeros(m + 2)
            c[free] = (1 - value) * w
            c[held] = value * w.sum()
        if integrated:
            return -integrated_loglik(c, fixed, distance, x, y, reml)[0]
        d = math.exp(t[-1]) if decay_free else value
        return 1e30 if not lo <= d <= hi else -dense_loglik(c, d, fixed, distance, x, y, reml)

    start = np.log(c0[free])
    if decay_free:
        start = np.append(start, math.log(min(max(fit["decay_rate"], lo), hi)))
    return -min(optimize.minimize(negative, start + shift, method="Nelder-Mead",
                                  options={"xatol": 1e-9, "fatol": 1e-12, "maxiter": 6000}).fun
                for shift in (0.0, -0.7))


# ---- distances --------------------------------------------------------------------------


def test_distances_match_a_haversine_and_the_equator():
    assert _core.spatial_distances(np.array([0.0, 0.0]), np.array([0.0, 180.0]))[1][0] == 20015.114442035923
    rng = np.random.default_rng(3)
    lat, lon = rng.uniform(-90, 90, 25), rng.uniform(-180, 180, 25)
    got = np.array(_core.spatial_distances(lat, lon))
    assert np.abs(got - haversine(lat, lon)).max() < 1e-9
    assert np.all(np.diag(got) == 0.0) and np.array_equal(got, got.T)
    assert _core.spatial_distances(np.array([]), np.array([])) == []


@pytest.mark.parametrize("lat, lon, code", [
    ([90.0, -90.0], [-180.0, 180.0], None),
    ([90.0000001], [0.0], "SPATIAL_LATITUDE_OUT_OF_RANGE"),
    ([0.0, math.nan], [0.0, 0.0], "SPATIAL_LATITUDE_OUT_OF_RANGE"),
    # a person's longitude is checked before the next person's latitude
    ([0.0, 91.0], [181.0, 0.0], "SPATIAL_LONGITUDE_OUT_OF_RANGE"),
    ([0.0], [math.inf], "SPATIAL_LONGITUDE_OUT_OF_RANGE"),
    ([0.0, 0.0, 95.0], [0.0, 200.0], "SPATIAL_COORDINATE_COUNT_MISMATCH"),
])
def test_coordinate_checks(lat, lon, code):
    call = lambda: _core.spatial_distances(np.array(lat), np.array(lon))
    if code is None:
        assert len(call()) == len(lat)
    else:
        with pytest.raises(ValueError, match=f"^{code}$"):
            call()


# ---- the fit against the dense likelihood -----------------------------------------------


def dense_fit(fit, fixed, distance, x, y, reml, integrated):
    """The dense log-likelihood at the fit, and the GLS estimate and its covariance (through the error
    contrasts, so also the limits at a residual of 0): at the fitted rate, or mixed over the twelve
    nodes with the nodes' likelihoods as weights."""
    at = lambda decay: contrast_gls(covariance(fit["coefficients"], decay, fixed, distance), x, y, reml)
    if not integrated:
        return at(fit["decay_rate"])
    fits = [at(d) for d in nodes(distance)]
    values = np.array([f[0] for f in fits])
    w = np.exp(values - values.max())
    expected = values.max() + math.log(w.sum() / 12)
    w /= w.sum()
    mean = sum(wj * b for wj, (_, b, _) in zip(w, fits))
    return expected, mean, sum(wj * (cov + np.outer(b - mean, b - mean)) for wj, (_, b, cov) in zip(w, fits))


# 200 people at 40 sites in families of three are evaluated through the sites, not n x n.
SITES = dict(n=200, sites=40)


@pytest.mark.parametrize("reml", [True, False])
@pytest.mark.parametrize("integrated, seed, shape, rel", [
    (False, 5, dict(m=0), 1e-8), (False, 6, dict(m=1), 1e-8), (True, 21, dict(m=0), 1e-8),
    (True, 22, dict(m=1), 1e-8), (False, 13, SITES, 1e-9), (True, 13, SITES, 1e-9),
    (False, 13, dict(centred=0), 1e-9), (False, 13, dict(centred=17), 1e-9), (True, 13, dict(centred=7), 1e-9),
    (False, 0, dict(housemates=False), 1e-9), (False, 0, dict(housemates=True), 1e-9), (False, 0, dict(trend=0), 1e-9),
], ids=["m0", "m1", "integrated_m0", "integrated_m1", "sites", "integrated_sites", "centred", "centred_17",
        "integrated_centred_7", "housemates", "housemates_parents", "trend"])
def test_fit_is_the_dense_maximum(integrated, seed, shape, rel, reml):
    """A centred relationship: by REML the maximum is the limit where the residual is 0, in any
    listing order; by ML the likelihood rises without bound towards it. A matrix with a zero
    diagonal fits as any other; a maximum with the decay rate on its bound is one."""
    centred = "centred" in shape
    fixed, distance, x, y = table_sample(seed, shape)
    fit = unpack(_core.spatial_fit(fixed, distance, x, y, reml=reml, integrated=integrated))
    assert fit["converged"] == (reml or not centred)
    if not fit["converged"]:
        return
    if centred:
        assert fit["coefficients"][-1] == 0.0
    assert len(fit["coefficients"]) == len(fixed) + 2
    expected, beta, cov = dense_fit(fit, fixed, distance, x, y, reml, integrated)
    assert fit["loglik"] == pytest.approx(expected, rel=rel)
    np.testing.assert_allclose(fit["beta"], beta, rtol=1e-7)
    np.testing.assert_allclose(fit["beta_se"], np.sqrt(np.diag(cov)), rtol=1e-7)
    if shape is not SITES:  # the searches are n x n
        assert dense_search(fit, fixed, distance, x, y, reml, integrated) <= fit["loglik"] + 1e-6
    if integrated:
        assert math.isnan(fit["decay_rate"]) and math.isnan(fit["half_distance"])
        return
    assert fit["scaled_gradient"] < 1e-6
    assert fit["half_distance"] * fit["decay_rate"] == pytest.approx(LN2, rel=1e-15)
    assert fit["total"] == pytest.approx(sum(fit["coefficients"]), rel=1e-15)
    assert sum(fit["proportions"]) == pytest.approx(1.0, rel=1e-14)


@pytest.mark.parametrize("integrated", [False, True])
def test_scaling_the_response(integrated):
    fixed, distance, x, y = sample(8)
    n, p = x.shape
    one = unpack(_core.spatial_fit(fixed, distance, x, y, integrated=integrated))
    three = unpack(_core.spatial_fit(fixed, distance, x, 3.0 * y, integrated=integrated))
    np.testing.assert_allclose(three["coefficients"], 9.0 * np.array(one["coefficients"]), rtol=1e-6)
    np.testing.assert_allclose(three["beta"], 3.0 * np.array(one["beta"]), rtol=1e-6)
    np.testing.assert_allclose(three["beta_se"], 3.0 * np.array(one["beta_se"]), rtol=1e-6)
    assert three["loglik"] == pytest.approx(one["loglik"] - (n - p) * math.log(3.0), rel=1e-9)
    np.testing.assert_allclose(three["proportions"], one["proportions"], rtol=1e-6)


GRID_CELLS = np.arange(36) // 3


def grid_loglik(coefficients, rates):
    """The dense REML log-likelihood of sample(8) on the grid of in_units at the matrix's own scale."""
    fixed, _, x, y = sample(8)
    rows, cols = GRID_CELLS % 4, GRID_CELLS // 4
    kernel = rates[0] ** np.abs(rows[:, None] - rows) * rates[1] ** np.abs(cols[:, None] - cols)
    return gls_loglik(coefficients[0] * fixed[0] + coefficients[1] * kernel + coefficients[2] * np.eye(36), x, y, True)[0]


def in_units(entry, s):
    """What a fit of sample(8) reports with its matrix multiplied by s: the converged flag, the
    log-likelihood, the coefficients as at s = 1 (the matrix's times s) and what s leaves alone."""
    fixed, distance, x, y = sample(8)
    k = s * fixed[0]
    if entry == "grid":
        result = _core.autoregressive_fit([k], (GRID_CELLS % 4).tolist(), (GRID_CELLS // 4).tolist(), x, y)
        return result[5], result[4], [s * result[0][0], *result[0][1:]], list(result[3][:2])
    if entry == "tests":
        interval = _core.spatial_interval([k], distance, x, y, "lambda")
        return True, _core.spatial_statistic([k], distance, x, y), [], list(interval[:3])
    fit = unpack(_core.spatial_fit([k], distance, x, y, integrated=entry == "integrated"))
    moved = [s * fit["coefficients"][0], *fit["coefficients"][1:]]
    return fit["converged"], fit["loglik"], moved, [] if entry == "integrated" else [fit["decay_rate"]]


@pytest.mark.parametrize("s", [1e-6, 1e-3, 1e3, 1e6])
@pytest.mark.parametrize("entry", ["spatial", "integrated", "grid", "tests"])
def test_a_matrix_in_other_units_moves_only_its_coefficient(entry, s):
    converged, loglik, coefficients, rest = in_units(entry, 1.0)
    moved = in_units(entry, s)
    assert moved[0] == converged
    assert moved[1] == pytest.approx(loglik, rel=1e-6, abs=1e-6)
    np.testing.assert_allclose(moved[2], coefficients, rtol=1e-5, atol=1e-5 * sum(coefficients or [0.0]))
    if entry == "grid":
        # The grid's variance is 4% of the total here, and the likelihood leaves its column rate flat to
        # 1e-13 over 5e-5 of its value: the rates agree as far as the dense likelihood tells them apart.
        assert grid_loglik(coefficients, moved[3]) == pytest.approx(grid_loglik(coefficients, rest), abs=1e-9)
    else:
        np.testing.assert_allclose(moved[3], rest, rtol=1e-5)


def polished_spatial():
    place = np.concatenate([[0.0], 10.0 ** np.linspace(-300, 300, 11)])  # distances 1e-300 to 1e300
    distance = np.abs(place[:, None] - place[None, :])
    x, y = np.ones((12, 1)), np.random.default_rng(0).normal(size=12)
    fit = unpack(_core.spatial_fit([], distance, x, y))
    with np.errstate(over="ignore"):  # the decay rate times 1e300: a kernel of 0
        v = covariance(fit["coefficients"], fit["decay_rate"], [], distance)
    return fit["polished"], fit["converged"], fit["loglik"], v, x, y


def polished_grid():
    rng = np.random.default_rng(9)
    rows, cols = rng.integers(0, 4, 16), rng.integers(0, 4, 16)
    x, y = np.ones((16, 1)), rng.normal(size=16) + rows * rng.normal()
    k = sibling_blocks(16, 2)
    (c_k, c_ar, c_res), _, _, (rho_row, rho_col, _, _), loglik, converged, polished, _, _, _ = _core.autoregressive_fit(
        [k], rows.tolist(), cols.tolist(), x, y)
    kernel = rho_row ** np.abs(rows[:, None] - rows) * rho_col ** np.abs(cols[:, None] - cols)
    return polished, converged, loglik, c_k * k + c_ar * kernel + c_res * np.eye(16), x, y


@pytest.mark.parametrize("case", [polished_spatial, polished_grid])
def test_a_best_start_short_of_flat_ends_flat(case):
    """A run that stops short of flat is polished, or started again on its own scale (the grid's)."""
    polished, converged, loglik, v, x, y = case()
    assert converged and (polished or case is polished_grid)
    assert loglik == pytest.approx(gls_loglik(v, x, y, True)[0], rel=1e-9)


def test_one_positive_distance_fixes_the_decay_rate():
    rng = np.random.default_rng(2)
    n = 20
    side = np.arange(n) % 2
    distance = 7.5 * (side[:, None] != side[None, :])
    x = np.ones((n, 1))
    y = 1.0 + rng.normal(size=n) + 0.7 * side
    fit = unpack(_core.spatial_fit([], distance, x, y))
    assert fit["decay_rate"] == LN2 / 7.5
    assert fit["half_distance"] == LN2 / (LN2 / 7.5)


# ---- codes ------------------------------------------------------------------------------


def base():
    fixed, distance, x, y = sample(4, n=6, sites=3)
    return {"fixed": fixed, "distance": distance, "design": x, "y": y}


def with_entries(a, *entries):
    a = a.copy()
    for (i, j), value in entries:
        a[i, j] = value
    return a


OFFSET_COLUMN = np.random.default_rng(4).normal(size=6) * 1e3 + 1e4
ONE_ULP_APART = np.where(np.arange(6) % 2 == 0, 0.1, np.nextafter(0.1, 1.0))

BUILD_CASES = [
    # each case also carries a later fault, so the order of the checks is tested
    ("no_rows", lambda b: dict(b, design=np.ones((0, 1)), distance=np.ones((1, 1))), "SPATIAL_NO_ROWS"),
    ("distance_size", lambda b: dict(b, distance=np.zeros((6, 5)), design=with_entries(b["design"], ((0, 0), math.nan))),
     "SPATIAL_DISTANCE_WRONG_SIZE"),
    ("design_finite", lambda b: dict(b, design=with_entries(b["design"], ((2, 1), math.inf)),
                                     distance=with_entries(b["distance"], ((0, 1), math.nan))),
     "SPATIAL_DESIGN_NOT_FINITE"),
    ("distance_finite", lambda b: dict(b, distance=with_entries(b["distance"], ((3, 3), 5.0), ((5, 4), math.inf))),
     "SPATIAL_DISTANCE_NOT_FINITE"),
    # an asymmetric pair in row 1 comes before a bad diagonal in row 2
    ("row_order", lambda b: dict(b, distance=with_entries(b["distance"], ((1, 0), b["distance"][0, 1] + 1e-8), ((2, 2), 1.0))),
     "SPATIAL_DISTANCE_NOT_SYMMETRIC"),
    ("diagonal", lambda b: dict(b, distance=with_entries(b["distance"], ((2, 2), 2e-9), ((4, 3), -1.0), ((3, 4), -1.0))),
     "SPATIAL_DISTANCE_DIAGONAL_NOT_ZERO"),
    ("asymmetric_before_negative", lambda b: dict(b, distance=with_entries(b["distance"], ((3, 1), -3.0), ((1, 3), -3.000000002))),
     "SPATIAL_DISTANCE_NOT_SYMMETRIC"),
    ("negative", lambda b: dict(b, distance=with_entries(b["distance"], ((3, 1), -3.0), ((1, 3), -3.0)), fixed=[np.eye(5)]),
     "SPATIAL_DISTANCE_NEGATIVE"),
    ("matrix_size", lambda b: dict(b, fixed=[np.eye(6), np.eye(5), np.full((6, 6), math.nan)]), "SPATIAL_MATRIX_WRONG_SIZE"),
    ("matrix_finite", lambda b: dict(b, fixed=[with_entries(np.eye(6), ((5, 0), math.nan)), np.eye(5)],
                                     design=np.column_stack([b["design"], np.zeros(6)])),
     "SPATIAL_MATRIX_NOT_FINITE"),
    ("rank", lambda b: dict(b, design=np.column_stack([b["design"], np.zeros(6)]), y=np.full(6, math.nan)),
     "SPATIAL_DESIGN_RANK_DEFICIENT"),
    # two identical columns whose X'X rounding leaves a last pivot slightly positive
    ("identical_columns", lambda b: dict(b, design=np.column_stack([np.ones(6), OFFSET_COLUMN, OFFSET_COLUMN])),
     "SPATIAL_DESIGN_RANK_DEFICIENT"),
    ("length", lambda b: dict(b, y=np.append(b["y"], math.nan)), "SPATIAL_RESPONSE_WRONG_LENGTH"),
    ("response_finite", lambda b: dict(b, y=with_entries(np.ones((6, 1)), ((2, 0), math.inf))[:, 0]),
     "SPATIAL_RESPONSE_NOT_FINITE"),
    ("constant", lambda b: dict(b, y=np.full(6, 2.5)), "SPATIAL_RESPONSE_CONSTANT"),
    ("constant_at_rounding", lambda b: dict(b, y=ONE_ULP_APART), "SPATIAL_RESPONSE_CONSTANT"),
    # a response the design reproduces: no start leaves anything to fit
    ("no_start", lambda b: dict(b, y=b["design"] @ np.arange(1.0, b["design"].shape[1] + 1)),
     "SPATIAL_NO_START_CONVERGED"),
]


@pytest.mark.parametrize("integrated", [False, True])
@pytest.mark.parametrize("name, change, code", BUILD_CASES, ids=[c[0] for c in BUILD_CASES])
def test_codes_in_order(name, change, code, integrated):
    args = change(base())
    with pytest.raises(ValueError, match=f"^{code}$"):
        _core.spatial_fit(args["fixed"], args["distance"], args["design"], args["y"], integrated=integrated)


@pytest.mark.parametrize("diagonal, asymmetry, passes", [
    (1e-10, 5e-10, True), (2e-9, 0.0, False), (0.0, 2e-9, False),
])
def test_distance_tolerances(diagonal, asymmetry, passes):
    b = base()
    d = with_entries(b["distance"], ((0, 0), diagonal), ((2, 1), b["distance"][1, 2] + asymmetry))
    call = lambda: _core.spatial_fit(b["fixed"], d, b["design"], b["y"])
    if passes:
        assert len(call()) == 11
    else:
        with pytest.raises(ValueError, match="^SPATIAL_DISTANCE_"):
            call()


# ---- arguments --------------------------------------------------------------------------


@pytest.mark.parametrize("change, word", [
    (lambda b: dict(b, fixed="abc"), "fixed"),
    (lambda b: dict(b, fixed=[np.eye(6).astype(np.float32)]), "fixed"),
    (lambda b: dict(b, distance=b["distance"].tolist()), "distance"),
    (lambda b: dict(b, design=b["design"][:, 0]), "design"),
    (lambda b: dict(b, y=np.arange(6)), "y"),
    (lambda b: dict(b, reml=1), "reml"),
    (lambda b: dict(b, integrated=None), "integrated"),
])
def test_type_errors_name_the_argument(change, word):
    with pytest.raises(TypeError, match=f"'{word}'"):
        _core.spatial_fit(**change(base()))


def test_layouts_give_the_same_tuple_and_inputs_stay_untouched():
    b = base()
    expected = _core.spatial_fit(**b)
    frozen = {key: ([a.copy() for a in value] if key == "fixed" else value.copy()) for key, value in b.items()}
    for value in [b["distance"], b["design"], b["y"], *b["fixed"]]:
        value.setflags(write=False)
    assert _core.spatial_fit(**b) == expected
    fortran = {"fixed": [np.asfortranarray(a) for a in b["fixed"]], "distance": np.asfortranarray(b["distance"]),
               "design": np.asfortranarray(b["design"]), "y": b["y"]}
    assert _core.spatial_fit(**fortran) == expected
    wide = np.zeros((6, 6, 2))
    wide[:, :, 0] = b["distance"]
    long_y = np.zeros(12)
    long_y[::2] = b["y"]
    strided = dict(b, distance=wide[:, :, 0], y=long_y[::2], design=np.ascontiguousarray(b["design"][::-1])[::-1])
    assert _core.spatial_fit(**strided) == expected
    for key, value in frozen.items():
        if key == "fixed":
            assert all(np.array_equal(a, c) for a, c in zip(b[key], value))
        else:
            assert np.array_equal(b[key], value)


DOCS = [
    ("spatial_fit", "(fixed, distance, design, y, reml=True, integrated=False)",
     "Fit one trait with fixed components plus an estimated spatial range.\n\n"
     "Returns the raw covariance coefficients, their scale-dependent\nproportions and total, the decay rate per\n"
     "kilometre, the distance at which the spatial correlation is a half, the\n"
     "log-likelihood, the scaled gradient and whether it converged."),
    ("spatial_statistic", "(fixed, distance, design, y, reml=True, integrated=False)",
     "The likelihood ratio against no spatial variance.\n\n"
     "**This is a statistic and not a p-value.** With the decay rate\n"
     "unidentified when the spatial variance is nought, there is no closed-form\n"
     "null distribution, so turning this into a p-value takes a bootstrap."),
    ("spatial_interval", "(fixed, distance, design, y, quantity, reml=True, integrated=False)",
     "A 95 per cent profile interval for a raw coefficient proportion, or for\nthe decay rate.\n\n"
     "`quantity` is an index into the variances, or the string `lambda`."),
    ("spatial_bootstrap", "(fixed, distance, design, y, replicates, seed, reml=True, integrated=False)",
     "The parametric bootstrap p-value for no spatial variance.\n\n"
     "Returns the observed statistic, the exceedances, the replicates that\n"
     "produced a usable statistic, the number asked for, the p-value and the\nrule."),
    ("spatial_distances", "(latitude, longitude)",
     "Pairwise great-circle distances in kilometres.\n\n"
     "Here rather than in the caller so that every distance in this package is\n"
     "the same distance, on the same Earth, whoever asked for it."),
    ("spatial_blup", "(fixed, distance, design, y, component, reml=True, integrated=False)",
     "Predict the random effects of one component."),
    ("autoregressive_fit", "(fixed, row, column, design, y, reml=True)",
     "Fit one trait with fixed components and a separable autoregressive grid.\n\n"
     "`row` and `column` are the cell coordinates of each person, as whole\n"
     "numbers of cells. The grid's spacing lives in how the caller made them, so\n"
     "the two rates that come back are correlations *per cell* and mean nothing\n"
     "without the cell size that produced them."),
    ("autoregressive_cells", "(row, column)",
     "How many distinct cells a set of coordinates holds.\n\n"
     "Worth having on its own: a grid so fine that almost every person is alone\n"
     "in a cell has nothing to say about neighbours, and a grid so coarse that\n"
     "everybody shares one cell has nothing to say at all. This is how a caller\n"
     "checks before paying for a fit."),
]


@pytest.mark.parametrize("name, signature, doc", DOCS, ids=[d[0] for d in DOCS])
def test_signatures_and_docstrings(name, signature, doc):
    function = getattr(_core, name)
    assert function.__text_signature__ == signature
    assert function.__doc__ == doc


# ---- predictions ------------------------------------------------------------------------


# The centred relationship's fit has no residual: V is singular along the intercept, and the
# error contrasts A (A'x = 0) give P = A (A'VA)^-1 A' there as everywhere.
@pytest.mark.parametrize("component, data", [(0, lambda: sample(13)), (1, lambda: sample(13)),
                                             (0, lambda: centred_sample(14, 3))])
def test_blup_is_the_dense_prediction(component, data):
    fixed, distance, x, y = data()
    fit = unpack(_core.spatial_fit(fixed, distance, x, y))
    c, d = np.array(fit["coefficients"]), fit["decay_rate"]
    effects, errors = _core.spatial_blup(fixed, distance, x, y, component)
    g = c[0] * fixed[0] if component == 0 else c[1] * np.exp(-d * distance)
    a = linalg.null_space(x.T)
    p = a @ np.linalg.solve(a.T @ covariance(c, d, fixed, distance) @ a, a.T)
    np.testing.assert_allclose(effects, g @ p @ y, rtol=1e-8, atol=1e-12)
    np.testing.assert_allclose(errors, np.sqrt(np.clip(np.diag(g - g @ p @ g), 0, None)), rtol=1e-8)


@pytest.mark.parametrize("change, kwargs, code", [
    (lambda b: b, {"component": 2}, "SPATIAL_NO_SUCH_COMPONENT_TO_PREDICT"),
    (lambda b: dict(b, fixed=[]), {"component": 1}, "SPATIAL_NO_SUCH_COMPONENT_TO_PREDICT"),
    # before any fit, so a response the fit would refuse does not matter
    (lambda b: dict(b, y=np.full(6, 1.0)), {"component": 0, "integrated": True}, "SPATIAL_NO_PREDICTION_WHEN_INTEGRATED"),
    # but after the build
    (lambda b: dict(b, design=np.zeros((6, 1))), {"component": 0, "integrated": True}, "SPATIAL_DESIGN_RANK_DEFICIENT"),
    (lambda b: dict(b, y=np.full(6, 1.0)), {"component": 0}, "SPATIAL_RESPONSE_CONSTANT"),
])
def test_blup_codes(change, kwargs, code):
    args = change(base())
    with pytest.raises(ValueError, match=f"^{code}$"):
        _core.spatial_blup(args["fixed"], args["distance"], args["design"], args["y"], **kwargs)


# ---- profile intervals ------------------------------------------------------------------


@pytest.mark.parametrize("quantity, integrated, data", [
    ("1", False, lambda: sample(33, n=30, sites=10)),
    ("lambda", False, lambda: spread_sample(0)),
    ("1", True, lambda: sample(33, n=30, sites=10)),
    # the estimate is a share of 1, at the limit where the residual is 0
    ("0", False, lambda: centred_sample(14, 0)), ("0", True, lambda: centred_sample(14, 5)),
    # the estimate on its lower bound
    ("lambda", False, lambda: trend_sample(0)),
])
def test_interval_ends_are_the_dense_profile_cut(quantity, integrated, data):
    fixed, distance, x, y = data()
    fit = unpack(_core.spatial_fit(fixed, distance, x, y, integrated=integrated))
    record = _core.spatial_interval(fixed, distance, x, y, quantity, integrated=integrated)
    estimate, lower, upper, lower_limited, upper_limited, level, failures, inside_lo, inside_hi = record
    assert level == 0.95 and inside_lo is None and inside_hi is None
    held = "lambda" if quantity == "lambda" else int(quantity)
    assert estimate == (fit["decay_rate"] if held == "lambda" else fit["proportions"][held])
    bounds = bounds_of(distance) if held == "lambda" else (0.0, 1.0)
    peak = fit["loglik"]
    checked = 0
    for end, limited, bound in [(lower, lower_limited, bounds[0]), (upper, upper_limited, bounds[1])]:
        if limited:
            assert end == bound
            continue
        statistic = 2 * (peak - dense_search(fit, fixed, distance, x, y, True, integrated, held, end))
        assert statistic == pytest.approx(3.841458820694124, abs=1e-3)
        checked += 1
    assert checked >= 1


def test_a_held_refit_stopped_short_looks_again_from_the_fit():
    """With the decay rate held, the one start (0.5, 0.5) stops on a failed line search short of
    the held maximum; a run from the free fit's own point finds it, so the interval exists. It is
    the whole decay range: the fit sits on the lower bound and the dense profile at the upper
    bound lies within the cut."""
    distance = np.kron(np.array([[0, 2, 10, 10], [2, 0, 10, 10], [10, 10, 0, 2], [10, 10, 2, 0.0]]), np.ones((3, 3)))
    y = np.array([0.1, 0.5, -0.2, 1.1, 1.3, 0.9, 2.0, 1.7, 2.4, 3.1, 2.6, 2.9])
    x = np.ones((12, 1))
    fit = unpack(_core.spatial_fit([], distance, x, y))
    lo, hi = bounds_of(distance)
    assert fit["converged"] and fit["decay_rate"] == lo
    assert _core.spatial_interval([], distance, x, y, "lambda") == (lo, lo, hi, True, True, 0.95, 0, None, None)
    assert 2 * (fit["loglik"] - dense_search(fit, [], distance, x, y, True, False, "lambda", hi)) < 3.841458820694124


QUANTITY_CASES = ["-0", " 1", "1 ", "Lambda", "", "+", "1.0", "-1", str(2 ** 64), "\u0661", "++1"]


@pytest.mark.parametrize("quantity", QUANTITY_CASES)
def test_unknown_quantities_come_before_the_arrays(quantity):
    b = base()
    with pytest.raises(ValueError, match="^SPATIAL_QUANTITY_UNKNOWN$"):
        _core.spatial_interval(b["fixed"], b["distance"], np.full((6, 2), math.nan), b["y"], quantity)


def test_index_spellings_and_the_largest_index():
    b = base()
    args = (b["fixed"], b["distance"], b["design"], b["y"])
    assert _core.spatial_interval(*args, "+1") == _core.spatial_interval(*args, "01") == _core.spatial_interval(*args, "1")
    with pytest.raises(ValueError, match="^SPATIAL_NO_SUCH_COMPONENT$"):
        _core.spatial_interval(*args, str(2 ** 64 - 1))
    with pytest.raises(ValueError, match="^SPATIAL_NO_SUCH_COMPONENT$"):
        _core.spatial_interval(*args, "3")
    # the residual's proportion is a valid quantity
    assert len(_core.spatial_interval(*args, "2")) == 9


@pytest.mark.parametrize("change, kwargs, code", [
    (lambda b: dict(b, y=np.full(6, 1.0)), {"integrated": True}, "SPATIAL_NO_RANGE_WHEN_INTEGRATED"),
    (lambda b: dict(b, design=np.zeros((6, 1))), {"integrated": True}, "SPATIAL_DESIGN_RANK_DEFICIENT"),
    (lambda b: dict(b, y=np.full(6, 1.0)), {}, "SPATIAL_RESPONSE_CONSTANT"),
])
def test_interval_codes(change, kwargs, code):
    args = change(base())
    with pytest.raises(ValueError, match=f"^{code}$"):
        _core.spatial_interval(args["fixed"], args["distance"], args["design"], args["y"], "lambda", **kwargs)


@pytest.mark.parametrize("function, extra, error, match", [
    ("spatial_fit", {"fixed": "abc"}, TypeError, "Can't extract `str` to `Vec`"),
    ("spatial_interval", {"quantity": 1}, TypeError, "'quantity'"),
    ("spatial_blup", {"component": 1.0}, TypeError, "'component'"),
    ("spatial_blup", {"component": "1"}, TypeError, "'component'"),
    ("spatial_blup", {"component": -1}, OverflowError, None),
    ("spatial_blup", {"component": 2 ** 64}, OverflowError, None),
    ("spatial_bootstrap", {"replicates": 1.5, "seed": 1}, TypeError, "'replicates'"),
    ("spatial_bootstrap", {"replicates": 1, "seed": -1}, OverflowError, None),
    ("spatial_bootstrap", {"replicates": 1, "seed": 2 ** 64}, OverflowError, None),
])
def test_entry_argument_errors(function, extra, error, match):
    with pytest.raises(error, match=match):
        getattr(_core, function)(**dict(base(), **extra))


# ---- the statistic and the bootstrap ----------------------------------------------------


def null_maximum(fixed, x, y, reml):
    """The dense log-likelihood of the given matrices and a residual, maximised."""
    n = len(y)

    def negative(t):
        c = np.exp(t)  # the given matrices, then the residual; no spatial term
        return -dense_loglik(np.concatenate([c[:-1], [0.0, c[-1]]]), 1.0, fixed, np.zeros((n, n)), x, y, reml)

    start = np.full(len(fixed) + 1, math.log(np.var(y) / (len(fixed) + 1)))
    return -min(optimize.minimize(negative, start + shift, method="Nelder-Mead",
                                  options={"xatol": 1e-9, "fatol": 1e-12, "maxiter": 4000}).fun
                for shift in (0.0, -1.0))


def dense_statistic(fixed, distance, x, y, reml, integrated):
    fit = unpack(_core.spatial_fit(fixed, distance, x, y, reml=reml, integrated=integrated))
    full = max(fit["loglik"], dense_search(fit, fixed, distance, x, y, reml, integrated))
    return max(2 * (full - null_maximum(fixed, x, y, reml)), 0.0)


@pytest.mark.parametrize("reml, integrated, data, gain", [
    (True, False, lambda: sample(41, n=30, sites=10), True), (False, False, lambda: sample(41, n=30, sites=10), True),
    (True, True, lambda: sample(41, n=30, sites=10), True),
    # no spatial variance at the limit where the residual is 0, the null's maximum as well
    (True, False, lambda: centred_sample(13, 9), False), (True, True, lambda: centred_sample(13, 0), False),
    # the decay rate on its lower bound
    (True, False, lambda: trend_sample(0), True),
])
def test_statistic_is_twice_the_dense_likelihood_gain(reml, integrated, data, gain):
    fixed, distance, x, y = data()
    statistic = _core.spatial_statistic(fixed, distance, x, y, reml=reml, integrated=integrated)
    assert (statistic > 1.0) == gain
    assert statistic == pytest.approx(dense_statistic(fixed, distance, x, y, reml, integrated), abs=1e-4)


def splitmix_normals(seed, count):
    stream = SplitMix(seed)
    return np.array([stream.normal() for _ in range(count)])


def test_one_replicate_lies_on_the_reported_side():
    fixed, distance, x, _ = sample(43, n=24, sites=8)
    # a weak spatial term, so replicates fall on both sides of the observed statistic
    v = 0.5 * fixed[0] + 0.1 * np.exp(-distance / 60) + 0.6 * np.eye(24)
    y = x @ [1.0, 0.5] + np.linalg.cholesky(v) @ np.random.default_rng(3).normal(size=24)
    observed = _core.spatial_statistic(fixed, distance, x, y)
    null = _core.component_fit(fixed, x, y)
    coefficients, beta = null[0], np.array(null[6])
    v0 = sum(c * a for c, a in zip(coefficients, fixed)) + coefficients[-1] * np.eye(len(y))
    chol = np.linalg.cholesky(v0)
    sides = set()
    for seed in range(12):
        record = _core.spatial_bootstrap(fixed, distance, x, y, 1, seed)
        assert record[0] == observed and record[2] == record[3] == 1
        assert record[4] == (record[1] + 1) / 2
        replicate = chol @ splitmix_normals(seed, len(y)) + x @ beta
        statistic = dense_statistic(fixed, distance, x, replicate, True, False)
        assert (statistic >= observed) == (record[1] == 1), seed
        sides.add(record[1])
    assert sides == {0, 1}


# A centred relationship: the null's residual is 0 and its V singular along the intercept alone.
@pytest.mark.parametrize("data, integrated", [(lambda: sample(45, n=24, sites=8), True),
                                              (lambda: centred_sample(13, 0), False)])
def test_bootstrap_is_reproducible_and_counts_with_one_added(data, integrated):
    fixed, distance, x, y = data()
    first = _core.spatial_bootstrap(fixed, distance, x, y, 6, 2 ** 64 - 1, integrated=integrated)
    assert first == _core.spatial_bootstrap(fixed, distance, x, y, 6, 2 ** 64 - 1, integrated=integrated)
    statistic, exceedances, usable, requested, p_value, rule = first
    assert statistic == _core.spatial_statistic(fixed, distance, x, y, integrated=integrated)
    assert (usable, requested, rule) == (6, 6, "parametric_bootstrap_add_one")
    assert p_value == (exceedances + 1) / 7


@pytest.mark.parametrize("function, extra", [
    ("spatial_statistic", {}), ("spatial_bootstrap", {"replicates": 2, "seed": 1}),
])
@pytest.mark.parametrize("change, code", [
    # the null model refuses an empty list of given matrices, after the full fit
    (lambda b: dict(b, fixed=[]), "COMPONENTS_NONE_GIVEN"),
    (lambda b: dict(b, y=np.full(6, 3.0), fixed=[]), "SPATIAL_RESPONSE_CONSTANT"),
    (lambda b: dict(b, design=np.zeros((6, 1))), "SPATIAL_DESIGN_RANK_DEFICIENT"),
])
def test_statistic_and_bootstrap_codes(function, extra, change, code):
    with pytest.raises(ValueError, match=f"^{code}$"):
        getattr(_core, function)(**change(base()), **extra)


def test_no_replicates_before_the_response():
    b = base()
    with pytest.raises(ValueError, match="^SPATIAL_BOOTSTRAP_NO_REPLICATES$"):
        _core.spatial_bootstrap(b["fixed"], b["distance"], b["design"], np.ones(3), 0, 5)
    with pytest.raises(ValueError, match="^SPATIAL_DESIGN_RANK_DEFICIENT$"):
        _core.spatial_bootstrap(b["fixed"], b["distance"], np.zeros((6, 1)), b["y"], 0, 5)
