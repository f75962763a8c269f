"""LatentMediationCore and latent_mediation_simulate, against dense numpy/scipy references."""

import math

import numpy as np
import pytest

from kestrune._core import LatentMediationCore

# family-dict key -> _build argument, in _build's order
ARGUMENTS = {
    "relationship": "relationships", "latent_mean": "latent_means",
    "mediator_measurement": "mediator_measurements",
    "mediator_measurement_error_variance": "mediator_measurement_error_variances",
    "mediator_proxy_status": "mediator_proxy_statuses", "outcome_status": "outcome_statuses",
    "mediator_threshold": "mediator_thresholds", "outcome_threshold": "outcome_thresholds",
    "mediator_proxy_sensitivity": "mediator_proxy_sensitivities",
    "mediator_proxy_specificity": "mediator_proxy_specificities",
    "ascertainment": "ascertainments", "proband_index": "proband_indices",
    "mediator_design": "mediator_designs", "outcome_design": "outcome_designs",
    "outcome_prevalence": "outcome_prevalences",
    "outcome_category_prevalence": "outcome_category_prevalences",
    "ascertainment_category": "ascertainment_categories",
}


def family(n=2, **changes):
    """A valid family of n sibs: everyone measured, proxied and with a binary outcome."""
    k = [[1.0 if i == j else 0.5 for j in range(n)] for i in range(n)]
    base = {
        "relationship": k, "latent_mean": [0.0] * (2 * n),
        "mediator_measurement": [0.3 * (i + 1) for i in range(n)],
        "mediator_measurement_error_variance": [0.5] * n,
        "mediator_proxy_status": [i % 2 for i in range(n)], "outcome_status": [1] * n,
        "mediator_threshold": [0.0] * n, "outcome_threshold": [0.5] * n,
        "mediator_proxy_sensitivity": [0.9] * n, "mediator_proxy_specificity": [0.8] * n,
        "ascertainment": "population_unconditioned", "proband_index": None,
        "mediator_design": [], "outcome_design": [], "outcome_prevalence": [],
        "outcome_category_prevalence": [], "ascertainment_category": None,
    }
    base.update(changes)
    return base


def arguments(families, qmc_points=0):
    args = {ARGUMENTS[key]: [f[key] for f in families] for key in ARGUMENTS}
    args["qmc_points"] = qmc_points
    return args


def build(families, qmc_points=0, **overrides):
    args = arguments(families, qmc_points)
    args.update(overrides)
    return LatentMediationCore._build(**args)


def code_of(call):
    with pytest.raises(ValueError) as raised:
        call()
    assert len(raised.value.args) == 1
    return raised.value.args[0]


# ---- _build: the model's validation, in its order -----------------------------------------

NAN = float("nan")
BUILD_CASES = [
    ([], 0, "LATENT_MEDIATION_NO_FAMILIES"),
    ([], 8, "LATENT_MEDIATION_NO_FAMILIES"),
    ([family()], 255, "LATENT_MEDIATION_QMC_POINTS_INVALID"),
    ([family(relationship=[[1.0]] * 0)], 0, "LATENT_MEDIATION_FAMILY_EMPTY"),
    ([family(relationship=[[1.0, 0.5], [0.5]])], 0, "LATENT_MEDIATION_RELATIONSHIP_WRONG_SHAPE"),
    ([family(relationship=[[1.0, NAN], [NAN, 1.0]])], 0, "LATENT_MEDIATION_RELATIONSHIP_NOT_FINITE"),
    ([family(n=1, relationship=[[1.001]])], 0, "LATENT_MEDIATION_RELATIONSHIP_DIAGONAL_NOT_ONE"),
    ([family(relationship=[[1.0, 0.5], [0.5000000001, 1.0]])], 0, "LATENT_MEDIATION_RELATIONSHIP_NOT_SYMMETRIC"),
    ([family(relationship=[[1.0, 0.9], [0.9, 1.001]])], 0, "LATENT_MEDIATION_RELATIONSHIP_DIAGONAL_NOT_ONE"),
    ([family(relationship=[[1.0, 1.5], [1.5, 1.0]])], 0, "LATENT_MEDIATION_RELATIONSHIP_NOT_POSITIVE_SEMIDEFINITE"),
    ([family(relationship=[[1.0, 0.0], [0.0, 1.0]])], 0, "LATENT_MEDIATION_FAMILY_NOT_CONNECTED"),
    ([family(relationship=[[1.0, 1e-11], [1e-11, 1.0]])], 0, "LATENT_MEDIATION_FAMILY_NOT_CONNECTED"),
    ([family(latent_mean=[0.0] * 3)], 0, "LATENT_MEDIATION_LATENT_MEAN_WRONG_LENGTH"),
    ([family(latent_mean=[0.0, math.inf, 0.0, 0.0])], 0, "LATENT_MEDIATION_LATENT_MEAN_NOT_FINITE"),
    ([family(mediator_measurement_error_variance=[0.5])], 0, "LATENT_MEDIATION_CONTINUOUS_OBSERVATION_WRONG_LENGTH"),
    ([family(outcome_status=[1])], 0, "LATENT_MEDIATION_STATUS_WRONG_LENGTH"),
    ([family(mediator_proxy_status=[2, None])], 0, "LATENT_MEDIATION_STATUS_NOT_BINARY"),
    ([family(outcome_category_prevalence=[[0.5, 0.5]])], 0, "LATENT_MEDIATION_OUTCOME_CATEGORIES_WRONG_LENGTH"),
    ([family(outcome_category_prevalence=[[1.0], [0.5, 0.5]])], 0, "LATENT_MEDIATION_OUTCOME_CATEGORIES_TOO_FEW"),
    ([family(outcome_category_prevalence=[[0.5, 0.5], [1.5, -0.5]])], 0, "LATENT_MEDIATION_OUTCOME_CATEGORY_SHARE_INVALID"),
    ([family(outcome_category_prevalence=[[0.5, 0.6], [0.5, 0.5]])], 0, "LATENT_MEDIATION_OUTCOME_CATEGORY_SHARES_NOT_ONE"),
    ([family(outcome_status=[3, 0], outcome_category_prevalence=[[0.5, 0.3, 0.2], []])], 0,
     "LATENT_MEDIATION_OUTCOME_CATEGORY_OUT_OF_RANGE"),
    ([family(outcome_status=[2, 0])], 0, "LATENT_MEDIATION_STATUS_NOT_BINARY"),
    ([family(mediator_measurement_error_variance=[None, 0.5])], 0, "LATENT_MEDIATION_MEDIATOR_MEASUREMENT_ERROR_MISSING"),
    ([family(mediator_measurement=[NAN, 1.0])], 0, "LATENT_MEDIATION_MEDIATOR_MEASUREMENT_NOT_FINITE"),
    ([family(mediator_measurement_error_variance=[0.0, 0.5])], 0, "LATENT_MEDIATION_MEDIATOR_MEASUREMENT_ERROR_NOT_POSITIVE"),
    ([family(mediator_measurement=[None, 1.0])], 0, "LATENT_MEDIATION_MISSING_MEDIATOR_MEASUREMENT_HAS_ERROR"),
    ([family(outcome_threshold=[0.5])], 0, "LATENT_MEDIATION_PERSON_VECTOR_WRONG_LENGTH"),
    ([family(mediator_proxy_specificity=[0.8, math.inf])], 0, "LATENT_MEDIATION_PERSON_VECTOR_NOT_FINITE"),
    ([family(mediator_proxy_status=[None, None], mediator_proxy_sensitivity=[1.0, 0.9])], 0,
     "LATENT_MEDIATION_MEDIATOR_PROXY_ACCURACY_OUTSIDE_OPEN_UNIT"),
    ([family(proband_index=0)], 0, "LATENT_MEDIATION_UNCONDITIONED_PROBAND_GIVEN"),
    ([family(ascertainment="condition_on_named_proband_case")], 0, "LATENT_MEDIATION_NAMED_PROBAND_MISSING"),
    ([family(ascertainment="condition_on_named_proband_case", proband_index=2)], 0, "LATENT_MEDIATION_PROBAND_OUTSIDE_FAMILY"),
    ([family(ascertainment="condition_on_named_proband_case", proband_index=0, outcome_status=[0, 1])], 0,
     "LATENT_MEDIATION_NAMED_PROBAND_NOT_OUTCOME_CASE"),
    ([family(ascertainment="condition_on_named_proband_case", proband_index=0, ascertainment_category=2,
             outcome_status=[1, 0], outcome_category_prevalence=[[0.5, 0.3, 0.2], [0.5, 0.3, 0.2]])], 0,
     "LATENT_MEDIATION_NAMED_PROBAND_NOT_OUTCOME_CASE"),
    ([family(ascertainment="Population_unconditioned")], 0, "LATENT_MEDIATION_ASCERTAINMENT_UNSUPPORTED"),
    ([family(outcome_prevalence=[0.1])], 0, "LATENT_MEDIATION_OUTCOME_PREVALENCE_WRONG_LENGTH"),
    ([family(outcome_prevalence=[0.1, 1.0])], 0, "LATENT_MEDIATION_OUTCOME_PREVALENCE_INVALID"),
    ([family(outcome_prevalence=[NAN, None])], 0, "LATENT_MEDIATION_OUTCOME_PREVALENCE_INVALID"),
    ([family(mediator_design=[[1.0]])], 0, "LATENT_MEDIATION_DESIGN_ROWS_WRONG"),
    ([family(outcome_design=[[1.0], [1.0, 2.0]])], 0, "LATENT_MEDIATION_DESIGN_RAGGED"),
    ([family(n=1, mediator_design=[[]])], 0, "LATENT_MEDIATION_DESIGN_RAGGED"),
    ([family(outcome_design=[[1.0], [NAN]])], 0, "LATENT_MEDIATION_DESIGN_NOT_FINITE"),
    # the first failing family decides
    ([family(), family(outcome_status=[1]), family(latent_mean=[])], 0, "LATENT_MEDIATION_STATUS_WRONG_LENGTH"),
]


@pytest.mark.parametrize("families, qmc_points, code", BUILD_CASES)
def test_build_refuses_in_order(families, qmc_points, code):
    assert code_of(lambda: build(families, qmc_points)) == code


def proxies_and_outcomes(proxies, outcomes, n=14):
    k = [[1.0 if i == j else 0.25 for j in range(n)] for i in range(n)]
    return family(n=n, relationship=k, mediator_proxy_status=[1] * proxies + [None] * (n - proxies),
                  outcome_status=[0] * outcomes + [None] * (n - outcomes))


@pytest.mark.parametrize("families, qmc_points", [
    ([family(n=1, relationship=[[1.00000000001]])], 0),
    ([family(relationship=[[1.0, 1.0], [1.0, 1.0]])], 0),  # identical twins
    ([proxies_and_outcomes(12, 13)], 0),
    ([family(outcome_category_prevalence=[[0.5, 0.5000000005], [0.5, 0.5]])], 0),
    ([family(outcome_status=[2, 1], outcome_category_prevalence=[[0.5, 0.3, 0.2], [0.2, 0.8]])], 0),
    ([family(ascertainment="condition_on_named_proband_case", proband_index=0, ascertainment_category=2,
             outcome_status=[2, 0], outcome_category_prevalence=[[0.5, 0.3, 0.2], [0.5, 0.3, 0.2]])], 0),
    ([family(outcome_prevalence=[0.2, None], outcome_category_prevalence=[[0.5, 0.5], []])], 0),
    ([family(mediator_design=[[1.0, 2.0], [3.0, 4.0]])], 0),
    ([family()], 256),
    ([family()], 264),
])
def test_build_accepts_the_edges(families, qmc_points):
    assert isinstance(build(families, qmc_points), LatentMediationCore)


@pytest.mark.parametrize("proxies, outcomes, code", [
    (13, 0, "LATENT_MEDIATION_MEDIATOR_PROXY_DIMENSION_EXCEEDED"),
    (12, 14, "LATENT_MEDIATION_DISCRETE_DIMENSION_EXCEEDED"),
])
def test_build_limits_the_discrete_dimension(proxies, outcomes, code):
    assert code_of(lambda: build([proxies_and_outcomes(proxies, outcomes)])) == code


@pytest.mark.parametrize("qmc_points", [8, 255, 260, 300])
def test_qmc_points_must_be_a_multiple_of_eight_from_256(qmc_points):
    assert code_of(lambda: build([family()], qmc_points)) == "LATENT_MEDIATION_QMC_POINTS_INVALID"


# ---- _build: the binding's own refusals, before the model's ----------------------------------

def with_value(key, value, index=0):
    args = arguments([family()])
    args[ARGUMENTS[key]][index] = value
    return args


BOOLEAN_CASES = [
    ("relationship", [[1.0, True], [0.5, 1.0]], "LATENT_MEDIATION_NUMERIC_BOOLEAN"),
    ("latent_mean", np.zeros(4, dtype=bool), "LATENT_MEDIATION_NUMERIC_BOOLEAN"),
    ("outcome_prevalence", [np.bool_(True)], "LATENT_MEDIATION_NUMERIC_BOOLEAN"),
    ("mediator_design", [[np.float64(1.0)], (False,)], "LATENT_MEDIATION_NUMERIC_BOOLEAN"),
    ("outcome_status", [True, 1], "LATENT_MEDIATION_STATUS_BOOLEAN"),
    ("mediator_proxy_status", np.array([1, 0], dtype=bool), "LATENT_MEDIATION_STATUS_BOOLEAN"),
    ("proband_index", True, "LATENT_MEDIATION_PROBAND_BOOLEAN"),
    ("outcome_category_prevalence", [[0.5, True], [0.5, 0.5]], "LATENT_MEDIATION_NUMERIC_BOOLEAN"),
]


@pytest.mark.parametrize("key, value, code", BOOLEAN_CASES)
def test_booleans_are_refused_before_lengths_and_values(key, value, code):
    args = with_value(key, value)
    args["latent_means"].append([0.0])  # a length mismatch the walk must come before
    args["mediator_thresholds"][0] = ["not a number"]
    assert code_of(lambda: LatentMediationCore._build(**args)) == code


def test_qmc_points_true_is_a_numeric_boolean_and_walks_run_in_order():
    args = arguments([family()])
    args["qmc_points"] = True
    args["outcome_statuses"][0] = [True, True]
    assert code_of(lambda: LatentMediationCore._build(**args)) == "LATENT_MEDIATION_NUMERIC_BOOLEAN"
    args["qmc_points"] = 0
    args["proband_indices"] = [np.bool_(False)]
    assert code_of(lambda: LatentMediationCore._build(**args)) == "LATENT_MEDIATION_STATUS_BOOLEAN"


@pytest.mark.parametrize("argument", ["latent_means", "ascertainments", "proband_indices",
                                      "mediator_designs", "outcome_designs", "outcome_prevalences"])
def test_short_lists_are_a_length_mismatch_before_any_value_check(argument):
    args = arguments([family(), family(latent_mean=[NAN] * 4)])
    args[argument] = args[argument][:1]
    assert code_of(lambda: LatentMediationCore._build(**args)) == "LATENT_MEDIATION_PACKED_FAMILY_LENGTH_MISMATCH"


def test_longer_optional_lists_are_cut_and_missing_entries_default():
    binary = family()
    args = arguments([binary])
    args["mediator_designs"].append([[1.0], [2.0]])
    args["outcome_category_prevalences"] = []
    args["ascertainment_categories"] = [None, 5]
    expected = build([binary]).evaluate(**PARAMETERS)["log_likelihood"]
    assert LatentMediationCore._build(**args).evaluate(**PARAMETERS)["log_likelihood"] == expected
    del args["outcome_category_prevalences"], args["ascertainment_categories"]
    assert LatentMediationCore._build(**args).evaluate(**PARAMETERS)["log_likelihood"] == expected


def test_numpy_arrays_and_tuples_build_like_lists():
    f = family()
    as_arrays = {key: (np.array(value) if key in ("relationship", "latent_mean", "mediator_threshold") else value)
                 for key, value in f.items()}
    as_arrays["mediator_proxy_sensitivity"] = tuple(f["mediator_proxy_sensitivity"])
    assert build([as_arrays]).evaluate(**PARAMETERS) == build([f]).evaluate(**PARAMETERS)


@pytest.mark.parametrize("args, error, message", [
    (with_value("relationship", "ab"), TypeError, "Can't extract `str` to `Vec`"),
    ({**arguments([family()]), "ascertainments": "population_unconditioned"}, TypeError,
     "argument 'ascertainments': Can't extract `str` to `Vec`"),
    ({**arguments([family()]), "ascertainment_categories": "1"}, TypeError,
     "argument 'ascertainment_categories': Can't extract `str` to `Vec`"),
    ({**arguments([family()]), "ascertainments": [1]}, TypeError, "argument 'ascertainments': "),
    (with_value("outcome_status", [200, 1]), OverflowError, ""),
    (with_value("proband_index", -1), OverflowError, ""),
    ({**arguments([family()]), "qmc_points": -8}, OverflowError, ""),
])
def test_conversion_errors(args, error, message):
    with pytest.raises(error) as raised:
        LatentMediationCore._build(**args)
    assert str(raised.value).startswith(message)


def test_self_referential_list_is_a_recursion_error():
    loop = []
    loop.append(loop)
    args = arguments([family()])
    args["relationships"] = loop
    with pytest.raises(RecursionError):
        LatentMediationCore._build(**args)


def test_errors_raised_by_a_sequence_propagate_unchanged():
    class Broken(list):
        def __len__(self):
            raise KeyError("length")

    args = arguments([family()])
    args["latent_means"] = Broken([[0.0] * 4])
    with pytest.raises(KeyError):
        LatentMediationCore._build(**args)


def test_the_class_is_only_built():
    with pytest.raises(TypeError):
        LatentMediationCore()
    assert LatentMediationCore.__doc__ == "Compiled storage and numerical evaluation for the Python wrapper."
    assert LatentMediationCore._build.__text_signature__.startswith("(relationships, latent_means,")
    assert LatentMediationCore._build.__text_signature__.endswith(
        "outcome_category_prevalences=None, ascertainment_categories=None)")


# ---- evaluate against a dense numpy/scipy likelihood ----------------------------------------

import itertools

from scipy import integrate
from scipy.special import log_ndtr, logsumexp
from scipy.stats import multivariate_normal, norm

from kestrune._core import latent_mediation_simulate as simulate

PARAMETERS = dict(a=0.8, b=0.5, c_prime=0.2, d=0.6, sigma_m2=1.3)


def structural_covariance(k, a, b, c_prime, d, sigma_m2):
    k = np.asarray(k, dtype=float)
    t = a * b + c_prime
    g = np.array([[a * a, a * t], [a * t, t * t + d * d]])
    e = np.array([[sigma_m2, b * sigma_m2], [b * sigma_m2, b * b * sigma_m2 + 1.0]])
    return np.kron(g, k) + np.kron(e, np.eye(len(k)))


def log_interval(lo, hi):
    """ln P(lo < Z < hi) from scipy's log_ndtr on the side away from the interval."""
    if lo >= hi:
        return -np.inf
    if lo >= 0:
        return log_ndtr(-lo) + np.log1p(-np.exp(log_ndtr(-hi) - log_ndtr(-lo)))
    if hi <= 0:
        return log_interval(-hi, -lo)
    return np.log(norm.cdf(hi) - norm.cdf(lo))


def log_rectangle(lower, upper, mean, cov):
    if len(lower) == 0:
        return 0.0
    sd = np.sqrt(np.diag(cov))
    a, b = (np.asarray(lower) - mean) / sd, (np.asarray(upper) - mean) / sd
    if len(lower) == 1:
        return log_interval(a[0], b[0])
    if len(lower) > 2:
        return sequential_transcription(lower, upper, mean, cov)
    rho = cov[0, 1] / (sd[0] * sd[1])
    s = np.sqrt(1 - rho * rho)
    inner = lambda x: norm.pdf(x) * (norm.cdf((b[1] - rho * x) / s) - norm.cdf((a[1] - rho * x) / s))
    value, _ = integrate.quad(inner, a[0], b[0], epsabs=1e-15, epsrel=1e-13, limit=200)
    return np.log(value)


def cut_points(f, person, variance):
    shares = f["outcome_category_prevalence"][person] if f["outcome_category_prevalence"] else []
    prevalence = f["outcome_prevalence"][person] if f["outcome_prevalence"] else None
    if shares:
        return [np.sqrt(variance) * norm.isf(sum(shares[j:])) for j in range(1, len(shares))]
    if prevalence is not None:
        return [np.sqrt(variance) * norm.isf(prevalence)]
    return [f["outcome_threshold"][person]]


def reference_family(f, a, b, c_prime, d, sigma_m2):
    """The family's log likelihood written out densely: condition, sum configurations, divide."""
    n = len(f["relationship"])
    sigma = structural_covariance(f["relationship"], a, b, c_prime, d, sigma_m2)
    mu = np.asarray(f["latent_mean"], dtype=float)
    measured = [i for i in range(n) if f["mediator_measurement"][i] is not None]
    proxies = [i for i in range(n) if f["mediator_proxy_status"][i] is not None]
    outcomes = [i for i in range(n) if f["outcome_status"][i] is not None]
    discrete = proxies + [n + i for i in outcomes]
    mean, cov, log_density = mu[discrete], sigma[np.ix_(discrete, discrete)], 0.0
    if measured:
        y = np.array([f["mediator_measurement"][i] for i in measured])
        observed = sigma[np.ix_(measured, measured)] + np.diag([f["mediator_measurement_error_variance"][i] for i in measured])
        log_density = multivariate_normal(mu[measured], observed).logpdf(y)
        cross = sigma[np.ix_(discrete, measured)]
        mean = mean + cross @ np.linalg.solve(observed, y - mu[measured])
        cov = cov - cross @ np.linalg.solve(observed, cross.T)
    cuts = {i: cut_points(f, i, sigma[n + i, n + i]) for i in range(n)}
    outcome_bounds = []
    for i in outcomes:
        q, c = cuts[i], f["outcome_status"][i]
        outcome_bounds.append((-np.inf if c == 0 else q[c - 1], np.inf if c >= len(q) else q[c]))
    terms = []
    for truth in itertools.product([0, 1], repeat=len(proxies)):
        weight, bounds = 0.0, []
        for i, true in zip(proxies, truth):
            se, sp = f["mediator_proxy_sensitivity"][i], f["mediator_proxy_specificity"][i]
            seen = f["mediator_proxy_status"][i]
            weight += np.log((se if seen else 1 - se) if true else ((1 - sp) if seen else sp))
            t = f["mediator_threshold"][i]
            bounds.append((t, np.inf) if true else (-np.inf, t))
        bounds += outcome_bounds
        terms.append(weight + log_rectangle([lo for lo, _ in bounds], [hi for _, hi in bounds], mean, cov))
    log_discrete = logsumexp(terms) if terms else 0.0
    log_denominator = 0.0
    if f["ascertainment"] == "condition_on_named_proband_case":
        j = f["proband_index"]
        c = f["ascertainment_category"] or 1
        v = sigma[n + j, n + j]
        log_denominator = norm.logsf(cuts[j][c - 1], loc=mu[n + j], scale=np.sqrt(v))
    return log_density, log_discrete, log_denominator


def random_family(rng):
    n = int(rng.integers(1, 4))
    k = np.full((n, n), 0.5) + 0.5 * np.eye(n)
    discrete_slots = rng.permutation([("proxy", i) for i in range(n)] + [("outcome", i) for i in range(n)])
    chosen = [tuple(slot) for slot in discrete_slots[: int(rng.integers(0, 3))]]
    measured = rng.random(n) < 0.6
    f = family(
        n=n, relationship=k.tolist(), latent_mean=rng.normal(0, 0.3, 2 * n).tolist(),
        mediator_measurement=[float(rng.normal()) if m else None for m in measured],
        mediator_measurement_error_variance=[0.4 if m else None for m in measured],
        mediator_proxy_status=[int(rng.integers(0, 2)) if ("proxy", str(i)) in chosen or ("proxy", i) in chosen else None
                               for i in range(n)],
        outcome_status=[None] * n,
        mediator_threshold=rng.normal(0, 0.5, n).tolist(), outcome_threshold=rng.normal(0.5, 0.5, n).tolist(),
        mediator_proxy_sensitivity=rng.uniform(0.6, 0.95, n).tolist(),
        mediator_proxy_specificity=rng.uniform(0.6, 0.95, n).tolist())
    for kind, i in chosen:
        if kind == "outcome":
            f["outcome_status"][int(i)] = int(rng.integers(0, 2))
    if rng.random() < 0.5:
        f["outcome_prevalence"] = [float(p) for p in rng.uniform(0.05, 0.5, n)]
    if rng.random() < 0.4:
        cases = [i for i in range(n) if f["outcome_status"][i] == 1]
        if cases:
            f["ascertainment"], f["proband_index"] = "condition_on_named_proband_case", cases[0]
    return f


@pytest.mark.parametrize("seed", range(12))
def test_families_match_the_dense_likelihood(seed):
    rng = np.random.default_rng(seed)
    families = [random_family(rng) for _ in range(4)]
    result = build(families).evaluate(**PARAMETERS)
    total = 0.0
    for f, diagnostics in zip(families, result["family_diagnostics"]):
        density, discrete, denominator = reference_family(f, **PARAMETERS)
        assert diagnostics["log_continuous_density"] == pytest.approx(density, abs=1e-9)
        assert diagnostics["log_discrete_probability"] == pytest.approx(discrete, abs=1e-9)
        assert diagnostics["log_ascertainment_denominator"] == pytest.approx(denominator, abs=1e-9)
        total += density + discrete - denominator
    assert result["log_likelihood"] == pytest.approx(total, abs=1e-9)


def single(**changes):
    base = dict(n=1, relationship=[[1.0]], latent_mean=[0.0, 0.0], mediator_measurement=[None],
                mediator_measurement_error_variance=[None], mediator_proxy_status=[None], outcome_status=[None],
                mediator_threshold=[0.5], outcome_threshold=[0.0], mediator_proxy_sensitivity=[0.9],
                mediator_proxy_specificity=[0.8])
    base.update(changes)
    return family(**base)


def test_one_proxy_alone():
    result = build([single(mediator_proxy_status=[1])]).evaluate(a=1.0, b=0.0, c_prime=0.0, d=0.0, sigma_m2=1.0)
    diagnostics = result["family_diagnostics"][0]
    assert diagnostics["log_discrete_probability"] == pytest.approx(-0.791232528011834, abs=1e-12)
    assert diagnostics["integration_methods"] == ["univariate_exact"] == result["integration_methods"]
    assert diagnostics["mediator_proxy_truth_configurations"] == 2
    assert list(result) == ["log_likelihood", "ordinary_scale_representable", "integration_methods",
                            "maximum_qmc_log_batch_range", "approximate", "fixed_parameters", "family_diagnostics"]
    assert list(diagnostics) == ["log_likelihood", "log_continuous_density", "log_discrete_probability",
                                 "log_ascertainment_denominator", "ordinary_scale_representable", "integration_methods",
                                 "maximum_qmc_log_batch_range", "family_size", "mediator_proxy_truth_configurations",
                                 "ascertainment"]
    assert result["fixed_parameters"] == {"sigma_y2": 1.0, "tau": 0.0}


def test_measured_mediators_alone_give_the_normal_density():
    f = family(n=3, mediator_proxy_status=[None] * 3, outcome_status=[None] * 3,
               mediator_measurement=[0.4, -1.1, 2.0], mediator_measurement_error_variance=[0.3, 0.5, 0.7])
    result = build([f]).evaluate(**PARAMETERS)
    sigma = structural_covariance(f["relationship"], **PARAMETERS)[:3, :3] + np.diag([0.3, 0.5, 0.7])
    expected = multivariate_normal(np.zeros(3), sigma).logpdf([0.4, -1.1, 2.0])
    assert result["log_likelihood"] == pytest.approx(expected, abs=1e-10)
    assert result["family_diagnostics"][0]["log_discrete_probability"] == 0.0
    assert result["integration_methods"] == ["no_discrete_observation"]


def test_tail_rectangle_and_the_approximate_flag():
    threshold = 8.0 * math.sqrt(10.0)  # outcome variance 10, correlation 9/10 between twins
    f = family(relationship=[[1.0, 1.0], [1.0, 1.0]], mediator_measurement=[None, None],
               mediator_measurement_error_variance=[None, None], mediator_proxy_status=[None, None],
               outcome_status=[1, 1], outcome_threshold=[threshold, threshold])
    result = build([f]).evaluate(a=0.0, b=0.0, c_prime=0.0, d=3.0, sigma_m2=1.0)
    assert result["integration_methods"] == ["bivariate_tail_quadrature"]
    assert result["log_likelihood"] == pytest.approx(-37.78546737535811, rel=1e-9)
    assert result["approximate"] is True


def sequential_transcription(lower, upper, mean, cov):
    """Moment-matched sequential truncation, step by step."""
    mean, cov = np.array(mean, dtype=float), np.array(cov, dtype=float)
    remaining, total = list(range(len(lower))), 0.0
    while remaining:
        scores = []
        for r in remaining:
            sd = math.sqrt(cov[r, r])
            alpha, beta = (lower[r] - mean[r]) / sd, (upper[r] - mean[r]) / sd
            scores.append((log_interval(alpha, beta), r, alpha, beta))
        l, r, alpha, beta = min(scores, key=lambda s: s[0])
        remaining.remove(r)
        if not np.isfinite(l):
            return -np.inf
        pa = math.exp(-alpha * alpha / 2 - 0.9189385332046727 - l) if np.isfinite(alpha) else 0.0
        pb = math.exp(-beta * beta / 2 - 0.9189385332046727 - l) if np.isfinite(beta) else 0.0
        m = pa - pb
        v = min(max((alpha * pa + 1 if np.isfinite(alpha) else 1) - (beta * pb if np.isfinite(beta) else 0) - m * m, 1e-12), 1)
        c = cov[r, remaining] / math.sqrt(cov[r, r])
        mean[remaining] += m * c
        cov[np.ix_(remaining, remaining)] -= (1 - v) * np.outer(c, c)
        total += l
    return total


def three_outcomes(statuses=(1, 0, 1), prevalence=None):
    return family(n=3, mediator_measurement=[0.2, None, -0.4], mediator_measurement_error_variance=[0.5, None, 0.5],
                  mediator_proxy_status=[None] * 3, outcome_status=list(statuses),
                  outcome_threshold=[0.3, -0.2, 0.8], outcome_prevalence=prevalence or [])


def test_three_outcomes_by_sequential_truncation_and_quasi_monte_carlo():
    f = three_outcomes()
    sequential = build([f]).evaluate(**PARAMETERS)["family_diagnostics"][0]
    assert sequential["integration_methods"] == ["sequential_truncation"]
    assert sequential["maximum_qmc_log_batch_range"] == 0.0
    # the conditional distribution and bounds, densely
    sigma = structural_covariance(f["relationship"], **PARAMETERS)
    measured, discrete = [0, 2], [3, 4, 5]
    cross = sigma[np.ix_(discrete, measured)]
    observed = sigma[np.ix_(measured, measured)] + 0.5 * np.eye(2)
    mean = cross @ np.linalg.solve(observed, [0.2, -0.4])
    cov = sigma[np.ix_(discrete, discrete)] - cross @ np.linalg.solve(observed, cross.T)
    lower, upper = [0.3, -np.inf, 0.8], [np.inf, -0.2, np.inf]
    assert sequential["log_discrete_probability"] == pytest.approx(sequential_transcription(lower, upper, mean, cov), abs=1e-9)
    exact = math.log(multivariate_normal(mean, cov).cdf(upper, lower_limit=lower))
    model = build([f], qmc_points=256)
    qmc = model.evaluate(**PARAMETERS)
    diagnostics = qmc["family_diagnostics"][0]
    assert diagnostics["integration_methods"] == ["deterministic_genz_halton"]
    assert abs(diagnostics["log_discrete_probability"] - exact) < 0.02
    assert 0.0 <= qmc["maximum_qmc_log_batch_range"] < math.inf
    assert qmc["approximate"] is True
    assert model.evaluate(**PARAMETERS) == qmc


@pytest.mark.parametrize("qmc_points", [0, 256])
def test_independent_outcomes_give_the_sum_of_their_margins(qmc_points):
    f = three_outcomes(statuses=(1, 0, 1))
    f["mediator_measurement"] = [None] * 3
    f["mediator_measurement_error_variance"] = [None] * 3
    result = build([f], qmc_points).evaluate(a=0.0, b=0.0, c_prime=0.0, d=0.0, sigma_m2=1.0)
    expected = log_interval(0.3, np.inf) + log_interval(-np.inf, -0.2) + log_interval(0.8, np.inf)
    assert result["log_likelihood"] == pytest.approx(expected, rel=1e-12)


NUCLEAR = np.array([[1.0, 0.0, 0.5, 0.5, 0.5], [0.0, 1.0, 0.5, 0.5, 0.5], [0.5, 0.5, 1.0, 0.5, 0.5],
                    [0.5, 0.5, 0.5, 1.0, 0.5], [0.5, 0.5, 0.5, 0.5, 1.0]])


@pytest.mark.parametrize("measured, statuses", [
    ([None] * 5, [1, 1, 0, 1, 1]),
    ([None, None, 0.1, 0.1, None], [1, 1, 0, 1, 1]),
    ([-0.2, None, 0.4, -0.2, 0.4], [1, 0, 0, 1, 1]),  # ties left unequal by the conditioning's rounding
])
def test_ties_in_the_conditioning_order_do_not_follow_the_listing(measured, statuses):
    """Two parents and three children whose outcome margins tie in the sequential truncation's
    order: the same family listed in other orders keeps its log-likelihood."""
    values = []
    for order in itertools.islice(itertools.permutations(range(5)), 0, 120, 7):
        f = family(n=5, relationship=NUCLEAR[np.ix_(order, order)].tolist(),
                   mediator_measurement=[measured[i] for i in order],
                   mediator_measurement_error_variance=[None if measured[i] is None else 0.5 for i in order],
                   mediator_proxy_status=[None] * 5, outcome_status=[statuses[i] for i in order],
                   outcome_threshold=[0.5] * 5)
        values.append(build([f]).evaluate(**PARAMETERS)["log_likelihood"])
    assert max(values) - min(values) <= 1e-12


@pytest.mark.parametrize("category", [0, 1, 2])
def test_category_shares_give_the_share(category):
    shares = [0.2, 0.5, 0.3]
    f = single(outcome_status=[category], outcome_category_prevalence=[shares])
    result = build([f]).evaluate(**PARAMETERS)
    assert result["log_likelihood"] == pytest.approx(math.log(shares[category]), abs=1e-12)


@pytest.mark.parametrize("prevalence", [0.01, 0.2, 0.7])
def test_proband_on_a_prevalence_divides_by_it(prevalence):
    f = single(outcome_status=[1], outcome_prevalence=[prevalence], ascertainment="condition_on_named_proband_case",
               proband_index=0)
    diagnostics = build([f]).evaluate(**PARAMETERS)["family_diagnostics"][0]
    assert diagnostics["log_ascertainment_denominator"] == pytest.approx(math.log(prevalence), abs=1e-12)
    assert diagnostics["log_likelihood"] == pytest.approx(0.0, abs=1e-12)  # a proband case is certain
    assert diagnostics["ascertainment"] == "condition_on_named_proband_case"


EVALUATE_CASES = [
    (single(), dict(PARAMETERS, sigma_m2=NAN, a=-1.0), "LATENT_MEDIATION_PARAMETER_NOT_FINITE"),
    (single(), dict(PARAMETERS, a=-1.0, sigma_m2=0.0), "LATENT_MEDIATION_LOADING_NEGATIVE"),
    (single(), dict(PARAMETERS, d=-0.1), "LATENT_MEDIATION_LOADING_NEGATIVE"),
    (single(), dict(PARAMETERS, sigma_m2=0.0), "LATENT_MEDIATION_SIGMA_M2_NOT_POSITIVE"),
    (single(mediator_design=[[1.0]]), PARAMETERS, "LATENT_MEDIATION_COEFFICIENTS_REQUIRED"),
    (single(outcome_status=[1], outcome_threshold=[1e300]), PARAMETERS, "LATENT_MEDIATION_DISCRETE_PROBABILITY_INVALID"),
    (single(outcome_status=[1], ascertainment="condition_on_named_proband_case", proband_index=0,
            ascertainment_category=0), PARAMETERS, "LATENT_MEDIATION_ASCERTAINMENT_CATEGORY_OUT_OF_RANGE"),
    (single(outcome_status=[1], outcome_threshold=[100.0], ascertainment="condition_on_named_proband_case",
            proband_index=0), PARAMETERS, "LATENT_MEDIATION_ASCERTAINMENT_PROBABILITY_INVALID"),
]


@pytest.mark.parametrize("f, parameters, code", EVALUATE_CASES)
def test_evaluate_refusals(f, parameters, code):
    model = build([f])
    assert code_of(lambda: model.evaluate(**parameters)) == code


def test_evaluate_parameters_are_keyword_only_numbers():
    model = build([single(mediator_proxy_status=[1])])
    assert code_of(lambda: model.evaluate(**dict(PARAMETERS, b=True))) == "LATENT_MEDIATION_PARAMETER_BOOLEAN"
    assert code_of(lambda: model.evaluate(**dict(PARAMETERS, sigma_m2=np.bool_(True), a="x"))) == \
        "LATENT_MEDIATION_PARAMETER_BOOLEAN"
    assert model.evaluate(**dict(PARAMETERS, a=1)) == model.evaluate(**dict(PARAMETERS, a=1.0))
    with pytest.raises(TypeError, match="takes 0 positional arguments but 5 were given"):
        model.evaluate(*PARAMETERS.values())
    with pytest.raises(TypeError, match="missing 1 required keyword-only argument: 'sigma_m2'"):
        model.evaluate(a=1.0, b=0.0, c_prime=0.0, d=0.0)
    with pytest.raises(TypeError, match="must be real number, not str"):
        model.evaluate(**dict(PARAMETERS, d="0.5"))
    assert LatentMediationCore.evaluate.__text_signature__ == "($self, *, a, b, c_prime, d, sigma_m2)"


def test_very_unlikely_family_is_not_representable_on_the_ordinary_scale():
    f = single(outcome_status=[1], outcome_threshold=[38.5])
    result = build([f]).evaluate(a=0.0, b=0.0, c_prime=0.0, d=0.0, sigma_m2=1.0)
    assert math.isfinite(result["log_likelihood"]) and result["log_likelihood"] < -708.4
    assert result["ordinary_scale_representable"] is False
    assert result["family_diagnostics"][0]["ordinary_scale_representable"] is False


# ---- latent_mediation_simulate against the published generator ------------------------------

from helpers import SplitMix

SIBS = [[1.0, 0.5, 0.5], [0.5, 1.0, 0.5], [0.5, 0.5, 1.0]]


def design(**changes):
    base = dict(relationship=SIBS, mediator_design=[], mediator_coefficients=[], outcome_design=[],
                outcome_coefficients=[], outcome_prevalence=[None] * 3, mediator_threshold=[0.0, 0.2, -0.1],
                outcome_threshold=[0.5, 0.4, 0.6], mediator_measurement_error_variance=[0.5, None, 0.3],
                observe_mediator_proxy=[True, True, False], mediator_proxy_sensitivity=[0.9, 0.8, 0.7],
                mediator_proxy_specificity=[0.85, 0.75, 0.9], observe_outcome=[True, True, True],
                **PARAMETERS)
    base.update(changes)
    return base


def replicate(d, families, seed):
    """The families the published generator gives for the design, drawn in the same order."""
    n = len(d["relationship"])
    parameters = [d[key] for key in ("a", "b", "c_prime", "d", "sigma_m2")]
    sigma = structural_covariance(d["relationship"], *parameters)
    factor = np.linalg.cholesky(sigma)
    mean = np.zeros(2 * n)
    for i in range(n):
        if d["mediator_design"]:
            mean[i] = np.dot(d["mediator_design"][i], d["mediator_coefficients"])
        if d["outcome_design"]:
            mean[n + i] = np.dot(d["outcome_design"][i], d["outcome_coefficients"])
    categories = d.get("outcome_category_prevalence") or []
    cuts = [cut_points({"outcome_category_prevalence": [categories[i] if i < len(categories) else []] * n,
                        "outcome_prevalence": d["outcome_prevalence"], "outcome_threshold": d["outcome_threshold"]},
                       i, sigma[n + i, n + i]) for i in range(n)]
    category = lambda value, i: min(sum(c < value for c in cuts[i]), 127)
    stream, drawn = SplitMix(seed), []
    proband, required = d.get("proband_index"), d.get("ascertainment_category")
    required = 1 if required is None else required
    for _ in range(families):
        while True:
            liabilities = factor @ np.array([stream.normal() for _ in range(2 * n)]) + mean
            if proband is None or category(liabilities[n + proband], proband) >= required:
                break
        measurement, proxy, outcome = [], [], []
        for i in range(n):
            v = d["mediator_measurement_error_variance"][i]
            measurement.append(None if v is None else liabilities[i] + math.sqrt(v) * stream.normal())
            if d["observe_mediator_proxy"][i]:
                truth, u = liabilities[i] > d["mediator_threshold"][i], stream.uniform()
                proxy.append(int(u < d["mediator_proxy_sensitivity"][i] if truth else u >= d["mediator_proxy_specificity"][i]))
            else:
                proxy.append(None)
            outcome.append(category(liabilities[n + i], i) if d["observe_outcome"][i] else None)
        drawn.append((measurement, proxy, outcome))
    return drawn


SIMULATION_CASES = [
    dict(),
    dict(ascertainment="condition_on_named_proband_case", proband_index=1),
    dict(ascertainment="condition_on_named_proband_case", proband_index=0, ascertainment_category=2,
         outcome_category_prevalence=[[0.5, 0.3, 0.2], [0.6, 0.4]]),
    dict(mediator_design=[[1.0, 0.5], [1.0, -0.5], [1.0, 0.0]], mediator_coefficients=[0.3, 1.2],
         outcome_design=[[2.0], [1.0], [0.0]], outcome_coefficients=[-0.4], outcome_prevalence=[0.2, None, 0.6]),
    dict(mediator_proxy_sensitivity=[0.0, 1.0, 0.5], mediator_proxy_specificity=[1.0, 0.0, 0.5],
         observe_mediator_proxy=[True, True, True], mediator_measurement_error_variance=[0.0, None, None]),
]


@pytest.mark.parametrize("changes", SIMULATION_CASES)
def test_simulated_families_follow_the_published_generator(changes):
    d = design(**changes)
    families = simulate(**d, families=4, seed=20260817)
    assert families == simulate(**d, families=4, seed=20260817)
    for f, (measurement, proxy, outcome) in zip(families, replicate(d, 4, 20260817)):
        assert list(f) == [
            "relationship", "latent_mean", "mediator_design", "outcome_design", "mediator_measurement",
            "mediator_measurement_error_variance", "mediator_proxy_status", "outcome_status", "mediator_threshold",
            "outcome_threshold", "outcome_prevalence", "outcome_category_prevalence", "ascertainment_category",
            "mediator_proxy_sensitivity", "mediator_proxy_specificity", "ascertainment", "proband_index"]
        assert f["mediator_proxy_status"] == proxy and f["outcome_status"] == outcome
        for got, expected in zip(f["mediator_measurement"], measurement):
            assert (got is None and expected is None) or got == pytest.approx(expected, abs=1e-12)
        assert f["latent_mean"] == [0.0] * 6
        assert f["proband_index"] == d.get("proband_index")
        if f["proband_index"] is not None:
            assert f["outcome_status"][f["proband_index"]] >= (d.get("ascertainment_category") or 1)


def test_simulated_families_build_and_evaluate():
    d = design(outcome_category_prevalence=[[0.5, 0.3, 0.2], [0.6, 0.4], []],
               ascertainment="condition_on_named_proband_case", proband_index=2)
    families = simulate(**d, families=5, seed=3)
    model = build(families)
    assert math.isfinite(model.evaluate(**PARAMETERS)["log_likelihood"])


SIMULATE_CODES = [
    (dict(sigma_m2=NAN, a=-1.0), "LATENT_MEDIATION_PARAMETER_NOT_FINITE"),
    (dict(a=-1.0, sigma_m2=0.0), "LATENT_MEDIATION_LOADING_NEGATIVE"),
    (dict(sigma_m2=0.0, relationship=[]), "LATENT_MEDIATION_SIGMA_M2_NOT_POSITIVE"),
    (dict(relationship=[]), "LATENT_MEDIATION_DESIGN_EMPTY"),
    (dict(observe_outcome=[True, True]), "LATENT_MEDIATION_DESIGN_SHAPE_INVALID"),
    (dict(relationship=[[1.0, 0.5, 0.5], [0.5, 1.0], [0.5, 0.5, 1.0]]), "LATENT_MEDIATION_DESIGN_SHAPE_INVALID"),
    (dict(ascertainment="condition_on_named_proband_case"), "LATENT_MEDIATION_PROBAND_INDEX_MISSING"),
    (dict(ascertainment="condition_on_named_proband_case", proband_index=3), "LATENT_MEDIATION_PROBAND_INDEX_INVALID"),
    (dict(ascertainment="condition_on_named_proband_case", proband_index=0, observe_outcome=[False, True, True]),
     "LATENT_MEDIATION_PROBAND_INDEX_INVALID"),
    (dict(proband_index=0), "LATENT_MEDIATION_PROBAND_NOT_ALLOWED"),
    (dict(ascertainment="population_unconditioned "), "LATENT_MEDIATION_ASCERTAINMENT_UNKNOWN"),
    (dict(relationship=[[1.0, 2.0, 0.0], [2.0, 1.0, 0.0], [0.0, 0.0, 1.0]], a=2.0),
     "LATENT_MEDIATION_COVARIANCE_NOT_POSITIVE_DEFINITE"),
    (dict(mediator_design=[[1.0]]), "LATENT_MEDIATION_DESIGN_ROWS_WRONG"),
    (dict(outcome_design=[[1.0]] * 3), "LATENT_MEDIATION_COEFFICIENT_COUNT_WRONG"),
    (dict(outcome_prevalence=[0.1, 0.2, NAN]), "LATENT_MEDIATION_NORMAL_VARIATE_NOT_FINITE"),
    # values that would draw NaN measurements or meaningless statuses
    (dict(mediator_measurement_error_variance=[0.5, None, -0.1]), "LATENT_MEDIATION_MEDIATOR_MEASUREMENT_ERROR_INVALID"),
    (dict(mediator_measurement_error_variance=[NAN, None, 0.3]), "LATENT_MEDIATION_MEDIATOR_MEASUREMENT_ERROR_INVALID"),
    (dict(mediator_measurement_error_variance=[math.inf, None, 0.3]), "LATENT_MEDIATION_MEDIATOR_MEASUREMENT_ERROR_INVALID"),
    (dict(mediator_threshold=[0.0, NAN, 0.0]), "LATENT_MEDIATION_THRESHOLD_INVALID"),
    (dict(outcome_threshold=[0.5, 0.4, NAN]), "LATENT_MEDIATION_THRESHOLD_INVALID"),
    (dict(mediator_proxy_sensitivity=[0.9, 1.5, 0.7]), "LATENT_MEDIATION_MEDIATOR_PROXY_ACCURACY_OUTSIDE_UNIT"),
    (dict(mediator_proxy_specificity=[0.85, 0.75, NAN]), "LATENT_MEDIATION_MEDIATOR_PROXY_ACCURACY_OUTSIDE_UNIT"),
    (dict(mediator_design=[[1.0]] * 3, mediator_coefficients=[NAN]), "LATENT_MEDIATION_LIABILITY_MEAN_NOT_FINITE"),
    (dict(outcome_design=[[1e300]] * 3, outcome_coefficients=[1e300]), "LATENT_MEDIATION_LIABILITY_MEAN_NOT_FINITE"),
    # those values are judged after every other check
    (dict(ascertainment="bogus", mediator_measurement_error_variance=[-1.0, None, 0.3]),
     "LATENT_MEDIATION_ASCERTAINMENT_UNKNOWN"),
    (dict(proband_index=0, mediator_threshold=[NAN] * 3), "LATENT_MEDIATION_PROBAND_NOT_ALLOWED"),
    (dict(relationship=[[1.0, 2.0, 0.0], [2.0, 1.0, 0.0], [0.0, 0.0, 1.0]], a=2.0,
          mediator_proxy_sensitivity=[2.0] * 3), "LATENT_MEDIATION_COVARIANCE_NOT_POSITIVE_DEFINITE"),
    (dict(mediator_design=[[1.0]], mediator_measurement_error_variance=[NAN, None, 0.3]),
     "LATENT_MEDIATION_DESIGN_ROWS_WRONG"),
    (dict(outcome_design=[[1.0]] * 3, outcome_threshold=[NAN] * 3), "LATENT_MEDIATION_COEFFICIENT_COUNT_WRONG"),
    (dict(outcome_prevalence=[0.1, 0.2, NAN], mediator_design=[[1.0]] * 3, mediator_coefficients=[NAN]),
     "LATENT_MEDIATION_NORMAL_VARIATE_NOT_FINITE"),
]


@pytest.mark.parametrize("changes, code", SIMULATE_CODES)
@pytest.mark.parametrize("families", [0, 3])
def test_simulate_checks_come_before_any_draw(changes, code, families):
    assert code_of(lambda: simulate(**design(**changes), families=families, seed=1)) == code


def test_simulate_edges():
    assert simulate(**design(), families=0, seed=0) == []
    first, second = simulate(**design(), families=2, seed=0)
    assert first != second
    unreachable = design(ascertainment="condition_on_named_proband_case", proband_index=0, ascertainment_category=128,
                         relationship=[[1.0]], outcome_prevalence=[None], mediator_threshold=[0.0],
                         outcome_threshold=[0.0], mediator_measurement_error_variance=[None],
                         observe_mediator_proxy=[False], mediator_proxy_sensitivity=[0.5],
                         mediator_proxy_specificity=[0.5], observe_outcome=[True])
    assert code_of(lambda: simulate(**unreachable, families=1, seed=0)) == "LATENT_MEDIATION_ASCERTAINMENT_UNREACHABLE"
    anything = dict(unreachable, ascertainment_category=0)
    assert len(simulate(**anything, families=3, seed=0)) == 3
    # A threshold no draw compares with (a prevalence places the outcome's cut, no proxy is
    # observed of the third mediator) may be NaN: the draws are those of finite ones.
    used = design(outcome_prevalence=[0.1, None, 0.3])
    unused = dict(used, outcome_threshold=[NAN, 0.4, NAN], mediator_threshold=[0.0, 0.2, NAN])
    drawn = [[f[key] for key in ("mediator_measurement", "mediator_proxy_status", "outcome_status")]
             for f in simulate(**unused, families=3, seed=5)]
    assert drawn == [[f[key] for key in ("mediator_measurement", "mediator_proxy_status", "outcome_status")]
                     for f in simulate(**used, families=3, seed=5)]


@pytest.mark.parametrize("families", [2 ** 62, 10 ** 13])
def test_huge_family_counts_are_a_memory_error(families):
    with pytest.raises(MemoryError, match="^not enough memory"):  # never an empty message
        simulate(**design(), families=families, seed=0)


@pytest.mark.parametrize("changes, error, message", [
    (dict(relationship="abc"), TypeError, "argument 'relationship': Can't extract `str` to `Vec`"),
    (dict(observe_outcome=[1, 1, 1]), TypeError, "argument 'observe_outcome': "),
    (dict(families=-1), OverflowError, ""),
    (dict(seed=2 ** 64), OverflowError, ""),
    (dict(a="x"), TypeError, "argument 'a': must be real number, not str"),
])
def test_simulate_conversion_errors(changes, error, message):
    args = dict(design(), families=1, seed=0)
    args.update(changes)
    with pytest.raises(error) as raised:
        simulate(**args)
    assert str(raised.value).startswith(message)


def test_simulate_takes_numpy_booleans_and_documents_itself():
    d = design(observe_outcome=list(np.array([True, False, True])))
    assert simulate(**d, families=1, seed=0)[0]["outcome_status"][1] is None
    doc = simulate.__doc__.splitlines()
    assert doc[0] == "Draw families from the model, for calibration and power work."
    assert simulate.__text_signature__.endswith(
        'ascertainment="population_unconditioned", proband_index=None, outcome_category_prevalence=None, '
        'ascertainment_category=None)')


# ---- fit, the tests of the estimands and the confidence sets --------------------------------

from scipy.optimize import minimize
from scipy.stats import chi2

NATURAL = ("a", "b", "c_prime", "d", "sigma_m2")


def sibs_model(families=30, d=0.5, seed=11, **changes):
    drawn = simulate(**dict(design(mediator_measurement_error_variance=[0.5] * 3, observe_mediator_proxy=[False] * 3,
                                   d=d, **changes)), families=families, seed=seed)
    return build(drawn), drawn


@pytest.fixture(scope="module")
def fitted():
    model, drawn = sibs_model()
    return model, drawn, model.fit()


def dense_loglik(drawn, **parameters):
    total = 0.0
    for f in drawn:
        density, discrete, denominator = reference_family(f, **parameters)
        total += density + discrete - denominator
    return total


def best_over(model, start, fixed):
    """An independent Nelder-Mead maximum of the likelihood with `fixed` parameters held."""
    free = [name for name in NATURAL if name not in fixed]

    def negative(v):
        parameters = dict(fixed, **dict(zip(free, v)))
        parameters["a"], parameters["d"] = abs(parameters["a"]), abs(parameters["d"])
        parameters["sigma_m2"] = math.exp(parameters["sigma_m2"]) if "sigma_m2" in free else parameters["sigma_m2"]
        try:
            return -model.evaluate(**parameters)["log_likelihood"]
        except ValueError:
            return 1e10

    x0 = [math.log(start[name]) if name == "sigma_m2" else start[name] for name in free]
    result = minimize(negative, x0, method="Nelder-Mead", options=dict(xatol=1e-7, fatol=1e-9, maxiter=4000))
    return -result.fun


def test_fit_record(fitted):
    model, drawn, fit = fitted
    assert list(fit) == ["parameters", "loglik", "estimator", "route", "n", "family_count", "optimiser",
                         "convergence_rule", "deterministic_starts", "converged", "scaled_gradient",
                         "gradient_tolerance", "boundary_parameters", "coefficients", "horizontal_identified",
                         "fixed_parameters", "estimands", "integration_diagnostics", "warnings"]
    assert (fit["estimator"], fit["route"], fit["optimiser"], fit["convergence_rule"]) == \
        ("ml", "latent_mediation", "compat-lbfgsb", "scaled_projected_gradient")
    assert (fit["deterministic_starts"], fit["converged"], fit["gradient_tolerance"]) == (5, True, 1e-5)
    assert (fit["n"], fit["family_count"], fit["coefficients"]) == (90, 30, [])
    assert fit["fixed_parameters"] == {"sigma_y2": 1.0, "tau": 0.0}
    assert fit["scaled_gradient"] < 1e-5
    p = fit["parameters"]
    assert list(p) == list(NATURAL)
    assert fit["estimands"] == {"theta_vertical": p["a"] * p["b"], "theta_horizontal": p["c_prime"],
                                "total_mediator_related_outcome_loading": p["a"] * p["b"] + p["c_prime"]}
    diagnostics = fit["integration_diagnostics"]
    assert list(diagnostics) == ["qmc_points", "integration_methods", "maximum_qmc_log_batch_range",
                                 "family_diagnostics", "uses_qmc", "uses_bivariate_quadrature", "approximate"]
    assert diagnostics["integration_methods"] == ["sequential_truncation"] and not diagnostics["approximate"]
    assert diagnostics["family_diagnostics"][29] == {
        "family_index": 29, "integration_methods": ["sequential_truncation"], "maximum_qmc_log_batch_range": 0.0,
        "ascertainment": "population_unconditioned", "family_size": 3, "mediator_proxy_truth_configurations": 1}
    assert fit["warnings"] == ([] if fit["horizontal_identified"] else ["horizontal_decomposition_unidentified_at_a_zero"])


def test_fit_is_the_maximum_of_the_dense_likelihood(fitted):
    model, drawn, fit = fitted
    p = fit["parameters"]
    assert fit["loglik"] == pytest.approx(model.evaluate(**p)["log_likelihood"], abs=1e-9)
    assert fit["loglik"] == pytest.approx(dense_loglik(drawn, **p), abs=1e-8)
    assert best_over(model, p, {}) - fit["loglik"] <= 1e-3


def test_horizontal_test_against_an_independent_null_maximum(fitted):
    model, _, fit = fitted
    test = model.test_horizontal()
    assert list(test) == ["p_value", "rule", "reference", "statistic"]
    assert (test["rule"], test["reference"]) == ("likelihood_ratio_on_the_interior_direct_path", "chi_square_on_one")
    null = best_over(model, fit["parameters"], {"c_prime": 0.0})
    assert test["statistic"] == pytest.approx(max(2 * (fit["loglik"] - null), 0.0), abs=5e-3)
    assert test["p_value"] == pytest.approx(chi2.sf(test["statistic"], 1) if test["statistic"] >= 1e-6 else 1.0, rel=1e-12)


def test_vertical_test_against_independent_null_maxima():
    model, _ = sibs_model(d=1.0, seed=1)
    fit = model.fit()
    test = model.test_vertical(bootstrap_replicates=0)
    assert list(test) == ["p_value", "rule", "loading_reference", "bootstrap_replicates", "loading_statistic",
                          "loading_p_value", "path_statistic", "path_p_value"]
    assert test["loading_reference"] == "even_mixture_of_a_point_mass_and_chi_square_on_one"
    assert test["bootstrap_replicates"] == 0
    loading = best_over(model, dict(fit["parameters"], a=0.0), {"a": 0.0})
    path = best_over(model, fit["parameters"], {"b": 0.0})
    assert test["loading_statistic"] == pytest.approx(max(2 * (fit["loglik"] - loading), 0.0), abs=5e-3)
    assert test["path_statistic"] == pytest.approx(max(2 * (fit["loglik"] - path), 0.0), abs=5e-3)
    assert test["loading_p_value"] == pytest.approx(0.5 * chi2.sf(test["loading_statistic"], 1), rel=1e-12)
    assert test["path_p_value"] == pytest.approx(chi2.sf(test["path_statistic"], 1), rel=1e-12)
    assert test["p_value"] == max(test["loading_p_value"], test["path_p_value"])


def test_bootstrap_of_the_loading_when_d_is_on_its_boundary():
    model, _ = sibs_model(d=0.0, seed=2)
    assert "d" in model.fit()["boundary_parameters"]
    test = model.test_vertical(bootstrap_replicates=6)
    assert test["loading_reference"] == "parametric_bootstrap_under_the_fitted_null"
    usable = test["bootstrap_replicates"]
    assert 3 <= usable <= 6
    exceedances = test["loading_p_value"] * (usable + 1) - 1
    assert exceedances == pytest.approx(round(exceedances), abs=1e-12) and 0 <= round(exceedances) <= usable
    assert model.test_vertical(bootstrap_replicates=6) == test
    none = model.test_vertical(bootstrap_replicates=0)
    assert (none["loading_p_value"], none["bootstrap_replicates"]) == (1.0, 0)
    assert none["p_value"] == 1.0


def test_horizontal_set_ends_solve_the_profile_cut(fitted):
    model, _, fit = fitted
    at_estimate = best_over(model, fit["parameters"], {"c_prime": fit["parameters"]["c_prime"]})
    result = model.horizontal_set()
    assert list(result) == ["estimate", "lower", "upper", "unbounded", "level", "searched_to"]
    assert (result["estimate"], result["level"], result["searched_to"]) == (fit["parameters"]["c_prime"], 0.975, 4.0)
    for end in (result["lower"], result["upper"]):
        assert end is not None
        profile = best_over(model, dict(fit["parameters"], c_prime=end), {"c_prime": end})
        assert 2 * (at_estimate - profile) == pytest.approx(5.023886187353339, abs=1e-2)
    narrow = model.horizontal_set(searched_to=0.5)
    assert narrow["lower"] is None and narrow["upper"] is None and narrow["unbounded"] is True
    for edge in (result["estimate"] - 0.5, result["estimate"] + 0.5):
        profile = best_over(model, dict(fit["parameters"], c_prime=edge), {"c_prime": edge})
        assert 2 * (at_estimate - profile) < 5.023886187353339


def test_vertical_set_takes_zero_from_the_test(fitted):
    model, _, fit = fitted
    result = model.vertical_set(searched_to=0.02, bootstrap_replicates=0)
    assert list(result) == ["estimate", "lower", "upper", "contains_zero", "disjoint", "level", "profile_failures",
                            "searched_to"]
    assert result["estimate"] == fit["estimands"]["theta_vertical"]
    assert (result["level"], result["searched_to"], result["lower"], result["upper"]) == (0.975, 0.02, None, None)
    p_value = model.test_vertical(bootstrap_replicates=0)["p_value"]
    assert result["contains_zero"] == (p_value > 0.025000000000000022)
    assert result["disjoint"] == (not result["contains_zero"])


def test_an_end_never_found_is_absent(fitted):
    """Every refit at a search edge of 1e300 fails: no end is closed there (the vertical set
    used to report ends of -4.5e287 and 4.5e287), and the failures are counted."""
    model, _, _ = fitted
    vertical = model.vertical_set(searched_to=1e300, bootstrap_replicates=0)
    assert (vertical["lower"], vertical["upper"], vertical["profile_failures"]) == (None, None, 2 * 24)
    horizontal = model.horizontal_set(searched_to=1e300)
    assert (horizontal["lower"], horizontal["upper"], horizontal["unbounded"]) == (None, None, True)


@pytest.mark.parametrize("searched_to", [0.0, -1.0, NAN, math.inf])
def test_search_ranges_are_checked_before_any_fit(searched_to):
    unfittable = build([family(mediator_measurement=[None, None], mediator_measurement_error_variance=[None, None])])
    assert code_of(lambda: unfittable.fit()) == "LATENT_MEDIATION_MEDIATOR_SCALE_UNIDENTIFIED"
    assert code_of(lambda: unfittable.vertical_set(searched_to)) == "LATENT_MEDIATION_SEARCH_RANGE_INVALID"
    assert code_of(lambda: unfittable.horizontal_set(searched_to=searched_to)) == "LATENT_MEDIATION_SEARCH_RANGE_INVALID"


def test_families_of_different_design_widths_give_no_coefficients():
    model = build([family(mediator_design=[[1.0], [0.5]]), family(outcome_design=[[1.0], [0.5]])])
    with pytest.raises(ValueError):
        model.fit()


def test_method_signatures_and_argument_names():
    assert LatentMediationCore.vertical_set.__text_signature__ == "($self, searched_to=1.0, bootstrap_replicates=200)"
    assert LatentMediationCore.horizontal_set.__text_signature__ == "($self, searched_to=4.0)"
    assert LatentMediationCore.test_vertical.__text_signature__ == "($self, bootstrap_replicates=200)"
    assert LatentMediationCore.fit.__doc__ == "Fit the five structural parameters with the fixed ML recipe."
    assert LatentMediationCore.vertical_set.__doc__.startswith("A 97.5 per cent confidence set for the vertical")
    model = build([family()])
    with pytest.raises(TypeError, match="argument 'searched_to'"):
        model.horizontal_set("wide")
    with pytest.raises(TypeError, match="argument 'bootstrap_replicates'"):
        model.vertical_set(1.0, "many")
    with pytest.raises(OverflowError):
        model.test_vertical(bootstrap_replicates=-1)
