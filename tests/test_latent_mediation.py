"""LatentMediationCore and latent_mediation_simulate, against dense numpy/scipy references."""

import copy
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
    LatentMediationCore._build(**args)
    del args["outcome_category_prevalences"], args["ascertainment_categories"]
    LatentMediationCore._build(**args)


def test_numpy_arrays_and_tuples_build_like_lists():
    f = family()
    as_arrays = {key: (np.array(value) if key in ("relationship", "latent_mean", "mediator_threshold") else value)
                 for key, value in f.items()}
    as_arrays["mediator_proxy_sensitivity"] = tuple(f["mediator_proxy_sensitivity"])
    build([as_arrays])


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
