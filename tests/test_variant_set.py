"""variant_set_scan and variant_set_family_scan against a dense projection and Imhof's integral."""

import math

import numpy as np
import pytest
from scipy import integrate, linalg, stats

from helpers import centred_relationship, nuclear_families
from kestrune import _core

SCAN_KEYS = ["statistic", "p_value", "eigenvalues", "tail_method", "trustworthy", "code"]
FAMILY_KEYS = ["p_value", "correlations", "strongest_correlation", "p_values", "statistics", "trustworthy", "code"]


def sample(seed=5, families=40, chain=15):
    """A relationship of nuclear families and one chain long enough for the large-block factor,
    a household matrix linking each family's children, rows shuffled."""
    rng = np.random.default_rng(seed)
    children = linalg.block_diag(np.zeros((2, 2)), np.ones((3, 3)))
    line = np.eye(chain) + 0.45 * (np.eye(chain, k=1) + np.eye(chain, k=-1))
    k = linalg.block_diag(nuclear_families(families), line)
    h = linalg.block_diag(np.kron(np.eye(families), children), np.zeros((chain, chain)))
    n = k.shape[0]
    order = rng.permutation(n)
    k, h = k[np.ix_(order, order)], h[np.ix_(order, order)]
    x = np.column_stack([np.ones(n), rng.normal(size=n)])
    y = x @ [1.0, 0.4] + np.linalg.cholesky(0.6 * k + 0.3 * h + 0.5 * np.eye(n)) @ rng.normal(size=n)
    roots = {q: rng.binomial(2, 0.25, size=(n, q)) * rng.uniform(0.5, 2.0, size=q) for q in (1, 3, 5)}
    roots[5][:, 0] += 0.3 * (y - y.mean())  # one set that scores
    return [k, h], x, y, roots


def centred_sample(seed=13):
    """A relationship centred on fifty people, whose REML null has no residual (a share of 1)."""
    k, x, y, rng = centred_relationship(seed)
    return [k], x, y, {q: rng.binomial(2, 0.25, size=(50, q)) * rng.uniform(0.5, 2.0, size=q) for q in (1, 3)}


def projection(backgrounds, x, y, reml=True):
    """P = A (A'VA)^-1 A' (A the contrasts orthogonal to x) and P y, dense, under the coefficients
    component_fit finds for the same null: defined too where V is singular along x alone."""
    coefficients = _core.component_fit(backgrounds, x, y, reml=reml)[0]
    v = sum(c * b for c, b in zip(coefficients, backgrounds)) + coefficients[-1] * np.eye(len(y))
    a = np.linalg.qr(x, mode="complete")[0][:, x.shape[1]:]
    p = a @ np.linalg.solve(a.T @ v @ a, a.T)
    return p, p @ y


def imhof(weights, q):
    """P(sum w_j chi2_1 > q) by Imhof's integral: adaptive quadrature near zero, then the
    oscillating tail sin(A(u) - q u / 2) split into Fourier integrals of slowly decaying parts."""
    w = np.asarray(weights, dtype=float)
    w = w[w > 1e-12 * w.max()]
    w, q = w / w.max(), q / w.max()
    angle = lambda u: 0.5 * np.sum(np.arctan(w * u))
    envelope = lambda u: u * np.prod((1.0 + (w * u) ** 2) ** 0.25)
    head = integrate.quad(lambda u: math.sin(angle(u) - 0.5 * q * u) / envelope(u), 0.0, 1.0, limit=500)[0]
    sine = integrate.quad(lambda u: math.sin(angle(u)) / envelope(u), 1.0, np.inf, weight="cos", wvar=0.5 * q)[0]
    cosine = integrate.quad(lambda u: math.cos(angle(u)) / envelope(u), 1.0, np.inf, weight="sin", wvar=0.5 * q)[0]
    return 0.5 + (head + sine - cosine) / math.pi


def cauchy(p_values):
    clamped = [min(max(p, 1e-300), 0.999999) for p in p_values]
    t = sum(1.0 / (p * math.pi) if p < 1e-6 else math.tan((0.5 - p) * math.pi) for p in clamped) / len(clamped)
    return 0.5 - math.atan(t) / math.pi if t <= 1.0 else math.atan(1.0 / t) / math.pi


@pytest.fixture(scope="module")
def data():
    return sample()


@pytest.mark.parametrize("reml, centred", [(True, False), (False, False), (True, True)],
                         ids=["reml", "ml", "reml_residual_at_0"])
def test_statistic_weights_and_tail_against_the_dense_projection(data, reml, centred):
    backgrounds, x, y, roots = centred_sample() if centred else data
    assert not centred or _core.component_fit(backgrounds, x, y)[0][-1] == 0.0
    p, py = projection(backgrounds, x, y, reml)
    records = _core.variant_set_scan(backgrounds, x, y, list(roots.values()), reml=reml)
    for (q, z), record in zip(roots.items(), records):
        assert list(record) == SCAN_KEYS and record["code"] == "" and record["trustworthy"] is True
        u = z.T @ py
        assert record["statistic"] == pytest.approx(u @ u, rel=1e-8)
        expected = np.sort(np.clip(np.linalg.eigvalsh(z.T @ p @ z), 0.0, None))[::-1]
        assert record["eigenvalues"] == pytest.approx(list(expected), rel=1e-8)
        weights, statistic = record["eigenvalues"], record["statistic"]
        reference = stats.chi2.sf(statistic / weights[0], 1) if q == 1 else imhof(weights, statistic)
        assert record["p_value"] == pytest.approx(reference, abs=1e-6)
        assert record["tail_method"] == ("exact_single_weight" if q == 1 else "gil_pelaez_inversion")
    assert records == _core.variant_set_scan(backgrounds, x, y, list(roots.values()), *([] if reml else [False]))


def test_each_failing_set_carries_its_code_and_leaves_the_others(data):
    backgrounds, x, y, roots = data
    n = len(y)
    nan_root, tall_nan, nan_among_zeros = np.ones((n, 2)), np.ones((n + 1, 2)), np.zeros((n, 2))
    nan_root[3, 1] = tall_nan[0, 0] = nan_among_zeros[1, 1] = math.nan
    failing = [
        (nan_root, "VARIANT_SET_NOT_FINITE"), (tall_nan, "VARIANT_SET_ROOT_WRONG_SHAPE"),
        (np.zeros((n, 0)), "VARIANT_SET_NO_VARIANTS"), (nan_among_zeros, "VARIANT_SET_NOT_FINITE"),
        (np.zeros((n, 3)), "VARIANT_SET_NO_CARRIERS"),
        # Carried by everyone alike, or a covariate again: the design explains the set.
        (np.full((n, 1), 2.0), "VARIANT_SET_NO_CARRIERS"),
        (np.column_stack([np.ones(n), 3.0 * x[:, 1] - 1.0]), "VARIANT_SET_NO_CARRIERS"),
        # Views far too large to copy: judged where they lie.
        (np.broadcast_to(1.0, (n + 1, 2**48)), "VARIANT_SET_ROOT_WRONG_SHAPE"),
        (np.broadcast_to(math.nan, (n, 2**48)), "VARIANT_SET_NOT_FINITE"),
    ]
    good = roots[3]
    records = _core.variant_set_scan(backgrounds, x, y, [good] + [z for z, _ in failing] + [good])
    assert records[0] == records[-1] == _core.variant_set_scan(backgrounds, x, y, [good])[0]
    for record, (_, code) in zip(records[1:-1], failing):
        assert list(record.values())[2:] == [[], "", False, code]
        assert math.isnan(record["statistic"]) and math.isnan(record["p_value"])
    family = _core.variant_set_family_scan(backgrounds, x, y, [z for z, _ in failing], [0.0, 0.5])
    for record, (_, code) in zip(family, failing):
        assert list(record) == FAMILY_KEYS and list(record.values())[3:] == [[], [], False, code]
        assert record["correlations"] == [] and math.isnan(record["p_value"] + record["strongest_correlation"])
    # A set the design nearly explains is still tested.
    nearly = np.column_stack([np.ones(n), np.random.default_rng(9).binomial(2, 0.3, size=n)])
    assert _core.variant_set_scan(backgrounds, x, y, [nearly])[0]["code"] == ""


def test_an_offset_the_intercept_absorbs_leaves_the_set_and_an_overflowing_score_is_not_finite(data):
    backgrounds, x, y, roots = data
    sets, correlations = [roots[1], roots[5]], [0.0, 0.5]
    plain = _core.variant_set_scan(backgrounds, x, y, sets)
    plain_family = _core.variant_set_family_scan(backgrounds, x, y, sets, correlations)
    for offset in (1e4, 1e5, 1e7):
        moved = _core.variant_set_scan(backgrounds, x, y, [z + offset for z in sets])
        family = _core.variant_set_family_scan(backgrounds, x, y, [z + offset for z in sets], correlations)
        for got, reference in zip(moved + family, plain + plain_family):
            assert got["code"] == "" and got["p_value"] == pytest.approx(reference["p_value"], rel=1e-5), offset
    for records in (_core.variant_set_scan(backgrounds, x, y, [roots[5] * 1e155]),
                    _core.variant_set_family_scan(backgrounds, x, y, [roots[5] * 1e155], correlations)):
        assert records[0]["code"] == "MIXTURE_TAIL_NOT_FINITE"


def test_family_statistics_and_tails_are_the_dense_exchangeable_tests(data):
    backgrounds, x, y, roots = data
    p, py = projection(backgrounds, x, y)
    correlations = [0.0, 0.25, 0.9, 0.999999]
    z = roots[5]
    record = _core.variant_set_family_scan(backgrounds, x, y, [z], correlations)[0]
    assert list(record) == FAMILY_KEYS and record["code"] == "" and record["correlations"] == correlations
    u, s = z.T @ py, z.T @ p @ z
    for rho, statistic, p_value in zip(correlations, record["statistics"], record["p_values"]):
        assert statistic == pytest.approx((1.0 - rho) * (u @ u) + rho * u.sum() ** 2, rel=1e-8)
        half = np.real(linalg.sqrtm((1.0 - rho) * np.eye(len(u)) + rho))
        assert p_value == pytest.approx(imhof(np.clip(np.linalg.eigvalsh(half @ s @ half), 0, None), statistic),
                                        abs=1e-6)
    assert record["p_value"] == pytest.approx(cauchy(record["p_values"]), abs=1e-12)
    assert record["strongest_correlation"] == correlations[record["p_values"].index(min(record["p_values"]))]
    single = _core.variant_set_scan(backgrounds, x, y, [z])[0]
    assert (record["statistics"][0], record["p_values"][0]) == pytest.approx((single["statistic"], single["p_value"]))


@pytest.mark.parametrize("correlations", [[0.7], [0.3, 0.0, 0.3, -0.0]])
def test_one_variant_ties_every_correlation_and_the_first_wins(data, correlations):
    backgrounds, x, y, roots = data
    record = _core.variant_set_family_scan(backgrounds, x, y, [roots[1]], correlations)[0]
    single = _core.variant_set_scan(backgrounds, x, y, [roots[1]])[0]
    assert record["p_values"] == pytest.approx([single["p_value"]] * len(correlations), rel=1e-9)
    assert record["strongest_correlation"] == correlations[0]
    assert record["p_value"] == pytest.approx(single["p_value"], rel=1e-9)


@pytest.mark.parametrize("correlations, code", [
    ([], "VARIANT_SET_NO_CORRELATIONS"),
    ([0.2, 1.0], "VARIANT_SET_CORRELATION_OUTSIDE_UNIT"),
    ([-1e-300], "VARIANT_SET_CORRELATION_OUTSIDE_UNIT"),
    ([math.nan], "VARIANT_SET_CORRELATION_OUTSIDE_UNIT"),
    ([math.inf], "VARIANT_SET_CORRELATION_OUTSIDE_UNIT"),
])
def test_bad_correlations_fail_every_set_before_its_root(data, correlations, code):
    backgrounds, x, y, roots = data
    records = _core.variant_set_family_scan(backgrounds, x, y, [roots[3], np.ones((len(y) + 1, 1))], correlations)
    assert [record["code"] for record in records] == [code, code]
    assert _core.variant_set_family_scan(backgrounds, x, y, [], correlations) == []


def build_errors():
    backgrounds, x, y, _ = sample(families=4, chain=3)
    k = backgrounds[0]
    bad = [a.copy() for a in (k, x, y)]
    bad[0][2, 3], bad[1][4, 1], bad[2][0] = math.inf, math.nan, math.nan
    return [
        (([k], np.zeros((0, 1)), np.zeros(0)), "VARIANT_SET_NO_ROWS"),
        (([k], x, y[:-1]), "VARIANT_SET_RESPONSE_WRONG_LENGTH"),
        (([k, k[:, :-1]], bad[1], y), "VARIANT_SET_BACKGROUND_WRONG_SHAPE"),
        (([bad[0]], x, y), "VARIANT_SET_NOT_FINITE"),
        (([k], bad[1], y), "VARIANT_SET_NOT_FINITE"),
        (([k], x, bad[2]), "VARIANT_SET_NOT_FINITE"),
        (([], x, y), "COMPONENTS_NONE_GIVEN"),
        (([k], np.column_stack([x, 2.0 * x[:, 1]]), y), "COMPONENTS_DESIGN_RANK_DEFICIENT"),
        (([k], x, np.full(len(y), 3.0)), "COMPONENTS_RESPONSE_CONSTANT"),
        # A background in units of 1e-10 under a response of 1e150: the null's coefficient lies past the
        # largest double, so the null fit has not converged on any machine.
        (([1e-10 * k], x, 1e150 * y), "VARIANT_SET_NULL_DID_NOT_CONVERGE"),
    ]


@pytest.mark.parametrize("case", range(len(build_errors())))
def test_build_errors_raise_before_any_set(case):
    (backgrounds, x, y), code = build_errors()[case]
    for roots in ([], [np.zeros((1, 1))]):
        for call in (lambda: _core.variant_set_scan(backgrounds, x, y, roots),
                     lambda: _core.variant_set_family_scan(backgrounds, x, y, roots, [])):
            with pytest.raises(ValueError) as raised:
                call()
            assert str(raised.value) == code


@pytest.mark.parametrize("position, name, value", [
    (0, "backgrounds", "abc"), (0, "backgrounds", [np.eye(3), np.eye(3, dtype=np.int64)]), (0, "backgrounds", 5),
    (1, "design", np.ones((3, 1), dtype=np.float32)), (2, "response", np.ones((3, 1))),
    (3, "roots", "roots"), (3, "roots", [np.ones((3, 1)), [[1.0], [2.0], [3.0]]]),
    (4, "correlations", "0.5"), (4, "correlations", [0.5, "a"]), (5, "reml", 1),
])
def test_bad_arguments_are_type_errors_before_the_null_fit(position, name, value):
    # The response holds a NaN: the type checks must come before the build's.
    arguments = [[np.eye(3)], np.ones((3, 1)), np.array([1.0, math.nan, 4.0]), [np.ones((3, 1))], [0.5], True]
    arguments[position] = value
    calls = [_core.variant_set_family_scan] if position >= 4 else [_core.variant_set_family_scan, lambda *a: (
        _core.variant_set_scan(*a[:4], a[5]))]
    for call in calls:
        with pytest.raises(TypeError, match=f"'{name}'"):
            call(*arguments)


@pytest.mark.parametrize("fn, signature, first_line", [
    (_core.variant_set_scan, "(backgrounds, design, response, roots, reml=True)",
     "Fit the null once and score every variant set against it."),
    (_core.variant_set_family_scan, "(backgrounds, design, response, roots, correlations, reml=True)",
     "Test each set across a family of assumed effect correlations and combine."),
])
def test_signatures_and_docstrings(fn, signature, first_line):
    assert fn.__text_signature__ == signature
    assert fn.__doc__.splitlines()[0] == first_line
