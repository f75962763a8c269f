"""association_sweep: the null fit, held and refitted rows against dense GLS, codes and arguments."""

import math

import numpy as np
import pytest
from scipy import linalg, optimize, stats

from kestrune import _core

LOG_2PI = math.log(2.0 * math.pi)


# ---- data and a dense reference ------------------------------------------------------------


def sample(seed=3, families=40, chain=130, markers=14):
    """Nuclear families of five and one chain of relatives long enough for the large-block
    route, rows shuffled so that no family is contiguous; two markers carry real effects."""
    rng = np.random.default_rng(seed)
    nuclear = np.array([[1, 0, .5, .5, .5], [0, 1, .5, .5, .5], [.5, .5, 1, .5, .5],
                        [.5, .5, .5, 1, .5], [.5, .5, .5, .5, 1.0]])
    line = np.eye(chain) + 0.45 * (np.eye(chain, k=1) + np.eye(chain, k=-1))
    k = np.zeros((5 * families + chain,) * 2)
    k[:5 * families, :5 * families] = np.kron(np.eye(families), nuclear)
    k[5 * families:, 5 * families:] = line
    n = k.shape[0]
    order = rng.permutation(n)
    k = k[np.ix_(order, order)]
    x = np.column_stack([np.ones(n), rng.normal(size=n), rng.integers(0, 2, size=n)])
    g = rng.binomial(2, rng.uniform(0.1, 0.5, size=markers), size=(n, markers)).astype(float)
    genetic = np.linalg.cholesky(k) @ rng.normal(size=n)
    y = x @ [1.0, 0.4, -0.3] + 0.35 * g[:, 0] - 0.25 * g[:, 1] + 0.8 * genetic + 0.7 * rng.normal(size=n)
    return k, x, y, g


def gls(k, x, y, h):
    """Dense GLS under h K + (1 - h) I: coefficients, (X'V^-1X)^-1, residual sum and log det."""
    factor = np.linalg.cholesky(h * k + (1.0 - h) * np.eye(len(y)))
    wx = linalg.solve_triangular(factor, x, lower=True)
    wy = linalg.solve_triangular(factor, y, lower=True)
    information_inverse = np.linalg.inv(wx.T @ wx)
    beta = information_inverse @ (wx.T @ wy)
    residual = wy - wx @ beta
    return beta, information_inverse, residual @ residual, 2.0 * np.log(np.diag(factor)).sum()


def profile_loglik(k, x, y, h):
    _, _, rss, logdet = gls(k, x, y, h)
    n = len(y)
    return -0.5 * (logdet + n * (math.log(2.0 * math.pi * rss / n) + 1.0))


def dense_maximum(k, x, y):
    found = optimize.minimize_scalar(lambda h: -profile_loglik(k, x, y, h), bounds=(0.0, 1.0),
                                     method="bounded", options={"xatol": 1e-9})
    return found.x, -found.fun


@pytest.fixture(scope="module")
def data():
    return sample()


@pytest.fixture(scope="module")
def held(data):
    k, x, y, g = data
    return _core.association_sweep(k, x, y, g)


def indices_without_code(rows):
    return [i for i, row in enumerate(rows) if row[6] == ""]


# ---- the null fit and the held rows ---------------------------------------------------------


def test_null_fit_is_the_dense_profile_maximum(data, held):
    k, x, y, _ = data
    h, loglik = dense_maximum(k, x, y)
    assert held[0] == pytest.approx(h, abs=1e-4)
    assert held[1] == pytest.approx(loglik, abs=1e-6)


def test_held_rows_are_dense_gls_at_the_null_heritability(data, held):
    k, x, y, g = data
    h = held[0]
    n = len(y)
    _, _, rss0, _ = gls(k, x, y, h)
    scale = rss0 / n
    assert indices_without_code(held[2]) == list(range(g.shape[1]))
    for j, (effect, se, wald, lr, p, refitted, code) in enumerate(held[2]):
        beta, inverse, rss1, _ = gls(k, np.column_stack([x, g[:, j]]), y, h)
        assert effect == pytest.approx(beta[-1], rel=1e-8)
        assert se == pytest.approx(math.sqrt(scale * inverse[-1, -1]), rel=1e-8)
        assert wald == pytest.approx((beta[-1] / se) ** 2, rel=1e-8)
        assert lr == pytest.approx(wald, rel=1e-7)
        assert lr == pytest.approx((rss0 - rss1) / scale, rel=1e-6)
        assert p == pytest.approx(stats.chi2.sf(wald, 1), rel=1e-10)
        assert refitted is False and code == ""


def test_covariate_effects_are_dense_gls(data, held):
    k, x, y, _ = data
    beta, inverse, rss0, _ = gls(k, x, y, held[0])
    scale = rss0 / len(y)
    assert len(held[3]) == x.shape[1]
    for j, (estimate, se, p) in enumerate(held[3]):
        assert estimate == pytest.approx(beta[j], rel=1e-8)
        assert se == pytest.approx(math.sqrt(scale * inverse[j, j]), rel=1e-8)
        assert p == pytest.approx(stats.chi2.sf((beta[j] / se) ** 2, 1), rel=1e-8, abs=1e-300)


# ---- refitting ------------------------------------------------------------------------------


def dense_refit_statistic(k, x, y, marker, null_loglik):
    _, loglik = dense_maximum(k, np.column_stack([x, marker]), y)
    return max(2.0 * (loglik - null_loglik), 0.0)


def test_refit_below_refits_exactly_the_small_held_p_values(data, held):
    k, x, y, g = data
    refit = _core.association_sweep(k, x, y, g, "held", 0.05)
    small = [j for j, row in enumerate(held[2]) if row[4] <= 0.05]
    assert 0 < len(small) < g.shape[1]
    assert [j for j, row in enumerate(refit[2]) if row[5]] == small
    for j, (held_row, row) in enumerate(zip(held[2], refit[2])):
        if j not in small:
            assert row == held_row
            continue
        reference = dense_refit_statistic(k, x, y, g[:, j], held[1])
        assert row[3] == pytest.approx(reference, abs=1e-5)
        assert row[4] == pytest.approx(stats.chi2.sf(row[3], 1), rel=1e-10)


@pytest.mark.parametrize("threshold", [math.nan, -1.0])
def test_a_threshold_nothing_reaches_refits_none(data, held, threshold):
    k, x, y, g = data
    assert _core.association_sweep(k, x, y, g, refit_below=threshold)[2] == held[2]


def test_refitted_mode_refits_every_row_and_ignores_the_threshold(data, held):
    k, x, y, g = data
    columns = g[:, :3]
    rows = _core.association_sweep(k, x, y, columns, variance="refitted")[2]
    assert rows == _core.association_sweep(k, x, y, columns, "refitted", 1e-300)[2]
    for j, row in enumerate(rows):
        assert row[5] is True and row[6] == ""
        assert row[3] == pytest.approx(dense_refit_statistic(k, x, y, columns[:, j], held[1]), abs=1e-5)
        assert row[2] != row[3]


# ---- markers that cannot be tested -----------------------------------------------------------


def failing_markers(x, n):
    nan_marker = np.linspace(0.0, 2.0, n)
    nan_marker[7] = math.nan
    near_constant = np.full(n, 1.0) + np.linspace(0.0, 9e-13, n)
    return {
        "ASSOCIATION_MARKER_NOT_FINITE": nan_marker,
        "ASSOCIATION_MARKER_HAS_NO_VARIATION": near_constant,
        "constant": np.full(n, 2.0),
        "in_span": 3.0 * x[:, 2] - 0.5 * x[:, 1] + 1.0,
    }


@pytest.mark.parametrize("variance, in_span_code", [
    ("held", "ASSOCIATION_DESIGN_RANK_DEFICIENT"),
    ("refitted", "ASSOCIATION_NOT_EVALUABLE"),
])
def test_each_untestable_marker_carries_its_code(data, held, variance, in_span_code):
    k, x, y, g = data
    failing = failing_markers(x, len(y))
    columns = np.column_stack([g[:, 0], *failing.values(), g[:, 1]])
    rows = _core.association_sweep(k, x, y, columns, variance)[2]
    expected = ["ASSOCIATION_MARKER_NOT_FINITE", "ASSOCIATION_MARKER_HAS_NO_VARIATION",
                "ASSOCIATION_MARKER_HAS_NO_VARIATION", in_span_code]
    assert [row[6] for row in rows[1:-1]] == expected
    for row in rows[1:-1]:
        assert all(math.isnan(value) for value in row[:5]) and row[5] is False
    alone = _core.association_sweep(k, x, y, g[:, :2], variance)[2]
    for row, reference in zip([rows[0], rows[-1]], alone):  # batch neighbours change rounding only
        assert row[:5] == pytest.approx(reference[:5], rel=1e-9) and row[5:] == reference[5:]


def test_an_in_span_marker_fails_under_the_refit_below_it_reaches(data):
    k, x, y, _ = data
    row = _core.association_sweep(k, x, y, np.column_stack([x[:, 1] * 2.0]), "held", 1.0)[2][0]
    assert row[6] == "ASSOCIATION_DESIGN_RANK_DEFICIENT"


def test_layouts_of_the_marker_array_give_the_same_rows(data, held):
    k, x, y, g = data
    reversed_columns = np.ascontiguousarray(g[:, ::-1])
    assert _core.association_sweep(k, x, y, reversed_columns[:, ::-1])[2] == held[2]
    assert _core.association_sweep(k, x, y, np.asfortranarray(g))[2] == held[2]
    wide = np.zeros((len(y), 2 * g.shape[1]))
    wide[:, ::2] = g
    assert _core.association_sweep(k, x, y, wide[:, ::2])[2] == held[2]


def test_no_marker_columns_give_no_rows(data, held):
    k, x, y, _ = data
    result = _core.association_sweep(k, x, y, np.zeros((len(y), 0)))
    assert result[2] == [] and result[:2] == held[:2] and result[3] == held[3]


def test_inputs_are_not_modified(data):
    k, x, y, g = data
    copies = [a.copy() for a in (k, x, y, g)]
    _core.association_sweep(k, x, y, g, "held", 0.5)
    for original, copy in zip((k, x, y, g), copies):
        np.testing.assert_array_equal(original, copy)


# ---- whole-call errors ---------------------------------------------------------------------


def build_case(name):
    k, x, y, g = sample(families=4, chain=3, markers=2)
    n = len(y)
    bad_k = k.copy()
    bad_k[1, 2] = math.inf
    bad_x = x.copy()
    bad_x[0, 1] = math.nan
    bad_y = y.copy()
    bad_y[4] = math.nan
    return {
        "ASSOCIATION_NO_ROWS": (np.zeros((0, 0)), np.zeros((0, 1)), np.zeros(0), np.zeros((0, 1)), "Held"),
        "ASSOCIATION_RELATIONSHIP_WRONG_SHAPE": (k[:, :-1], x, y, g, "held"),
        "ASSOCIATION_DESIGN_WRONG_SHAPE": (k, x[:-1], y, g, "held"),
        "ASSOCIATION_DESIGN_HAS_NO_COLUMNS": (k, np.zeros((n, 0)), y, g, "nope"),
        "ASSOCIATION_DESIGN_NOT_SMALLER_THAN_SAMPLE": (k, np.ones((n, n)), y, g, "held"),
        "ASSOCIATION_NOT_FINITE": (bad_k, x, y, g, "held"),
        "ASSOCIATION_NOT_FINITE ": (k, bad_x, y, g, "held"),
        "ASSOCIATION_NOT_FINITE  ": (k, x, bad_y, g, "held"),
        "ASSOCIATION_MARKERS_WRONG_LENGTH": (k, x, y, g[:-1], "held"),
        # A response of zeros leaves no residual at any heritability; one near the largest
        # double overflows the residual sum, so that no start ends at a finite value.
        "ASSOCIATION_NOT_EVALUABLE": (k, x, np.zeros(n), g, "Held"),
        "ASSOCIATION_NO_START_CONVERGED": (k, x, np.linspace(-1.0, 1.0, n) * 1e200, g, "Held"),
        "ASSOCIATION_UNKNOWN_VARIANCE: Held, wanted held or refitted": (k, x, y, g, "Held"),
        "ASSOCIATION_UNKNOWN_VARIANCE: hel, wanted held or refitted": (k, x, y, g, "hel"),
        "ASSOCIATION_UNKNOWN_VARIANCE: , wanted held or refitted": (k, x, y, g[:-1], ""),
    }[name]


@pytest.mark.parametrize("message", [
    "ASSOCIATION_NO_ROWS", "ASSOCIATION_RELATIONSHIP_WRONG_SHAPE", "ASSOCIATION_DESIGN_WRONG_SHAPE",
    "ASSOCIATION_DESIGN_HAS_NO_COLUMNS", "ASSOCIATION_DESIGN_NOT_SMALLER_THAN_SAMPLE",
    "ASSOCIATION_NOT_FINITE", "ASSOCIATION_NOT_FINITE ", "ASSOCIATION_NOT_FINITE  ",
    "ASSOCIATION_MARKERS_WRONG_LENGTH", "ASSOCIATION_NOT_EVALUABLE", "ASSOCIATION_NO_START_CONVERGED",
    "ASSOCIATION_UNKNOWN_VARIANCE: Held, wanted held or refitted",
    "ASSOCIATION_UNKNOWN_VARIANCE: hel, wanted held or refitted",
    "ASSOCIATION_UNKNOWN_VARIANCE: , wanted held or refitted",
])
def test_whole_call_errors_in_their_order(message):
    with pytest.raises(ValueError) as raised:
        _core.association_sweep(*build_case(message))
    assert str(raised.value) == message.strip()


@pytest.mark.parametrize("position, name, value", [
    (0, "relationship", np.eye(3, dtype=np.int64)),
    (1, "design", np.ones((3, 1), dtype=np.float32)),
    (2, "y", np.ones((3, 1))),
    (3, "markers", np.ones(3)),
    (3, "markers", [[1.0], [2.0], [3.0]]),
    (4, "variance", 1),
    (5, "refit_below", "0.05"),
])
def test_bad_arguments_are_type_errors_naming_them(position, name, value):
    arguments = [np.eye(3), np.ones((3, 1)), np.array([1.0, 2.0, 4.0]), np.ones((3, 1)), "held", None]
    arguments[position] = value
    arguments[0] = arguments[0] if position == 0 else np.full((3, 3), math.nan)  # checks come later
    with pytest.raises(TypeError, match=f"'{name}'"):
        _core.association_sweep(*arguments)


def test_signature_and_docstring():
    fn = _core.association_sweep
    assert fn.__text_signature__ == '(relationship, design, y, markers, variance="held", refit_below=None)'
    assert fn.__doc__.splitlines()[0] == "Sweep many markers through a polygenic model."
    assert "**" in fn.__doc__
