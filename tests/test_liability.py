"""liability_fit, liability_test and liability_interval against a dense likelihood written here."""

import numpy as np
import pytest
from scipy import optimize, stats

from kestrune import _core

from helpers import sibships
from liability_reference import badly_scaled_pairs, canonical_families, families_orthant_log, independent_minimum

CUT = 3.841458820694124


def split(a, status, x):
    """The families in the order the model conditions on their members."""
    return canonical_families(a, np.column_stack([x, np.where(status == 1.0, 1.0, -1.0)]))


def dense_loglik(a, status, x, h2, beta, families=None):
    v = h2 * a + (1.0 - h2) * np.eye(len(status))
    sign = np.where(status == 1.0, 1.0, -1.0)
    return families_orthant_log(x @ beta, sign, v, families or split(a, status, x))


def probit_maximum(status, x):
    def negative(beta):
        eta = x @ beta
        return -(stats.norm.logcdf(eta[status == 1]).sum() + stats.norm.logcdf(-eta[status == 0]).sum())

    best = optimize.minimize(negative, np.zeros(x.shape[1]), method="BFGS", options={"gtol": 1e-10})
    return -best.fun, best.x


def binary_sample(seed, sizes, h2=0.6):
    rng = np.random.default_rng(seed)
    a = sibships(sizes)
    n = a.shape[0]
    x = np.column_stack([np.ones(n), rng.normal(size=n)])
    liability = x @ [0.3, 0.8] + np.linalg.cholesky(h2 * a + (1 - h2) * np.eye(n)) @ rng.normal(size=n)
    return a, (liability > 0).astype(float), x


@pytest.fixture(scope="module")
def unrelated():
    return binary_sample(4, [1] * 150)


@pytest.fixture(scope="module")
def sibs():
    return binary_sample(1, [1, 2, 3] * 100, h2=0.8)


@pytest.fixture(scope="module")
def sibs_fit(sibs):
    return _core.liability_fit(*sibs)


def test_unrelated_people_give_the_probit_maximum(unrelated):
    a, status, x = unrelated
    h2, beta, loglik, converged, polished, scaled, prevalence, largest = _core.liability_fit(*unrelated)
    expected, probit_beta = probit_maximum(status, x)
    assert converged and scaled < 1e-6 and largest == 1
    assert prevalence == status.sum() / len(status)
    assert loglik == pytest.approx(expected, abs=1e-6)
    assert beta == pytest.approx(probit_beta, abs=1e-4)
    statistic, p_value, reference, null_loglik = _core.liability_test(*unrelated)
    assert statistic < 1e-6 and p_value == 1.0 and reference == "mixture_50_50"
    assert null_loglik == pytest.approx(expected, abs=1e-6)


def test_sibships_match_the_dense_likelihood_and_no_search_beats_it(sibs, sibs_fit):
    a, status, x = sibs
    h2, beta, loglik, converged, _, _, _, largest = sibs_fit
    assert converged and largest == 3 and 0.0 < h2 < 1.0
    assert loglik == pytest.approx(dense_loglik(a, status, x, h2, np.array(beta)), abs=1e-8)
    families = split(a, status, x)
    best, _ = independent_minimum(lambda t: -dense_loglik(a, status, x, t[0], t[1:], families),
                                  [[h2, *beta], [0.2, 0.0, 0.0]], [(0.0, 1.0), (None, None), (None, None)])
    assert -best <= loglik + 1e-6


def test_the_test_reads_the_probit_null_and_halves_the_chi2_tail(sibs, sibs_fit):
    a, status, x = sibs
    statistic, p_value, reference, null_loglik = _core.liability_test(*sibs)
    assert null_loglik == pytest.approx(probit_maximum(status, x)[0], abs=1e-6)
    assert statistic == pytest.approx(2 * (sibs_fit[2] - null_loglik), abs=1e-12)
    assert p_value == pytest.approx(0.5 * stats.chi2.sf(statistic, 1), rel=1e-12)


def test_interval_ends_inside_the_range_solve_the_cut(sibs, sibs_fit):
    a, status, x = sibs
    result = _core.liability_interval(*sibs)
    estimate, lower, upper, lower_limited, upper_limited, level, failures, contains_lower, contains_upper = result
    assert estimate == sibs_fit[0] and level == 0.95 and contains_lower is None and contains_upper is None

    families = split(a, status, x)

    def profile(h2):
        return -optimize.minimize(lambda b: -dense_loglik(a, status, x, h2, b, families), sibs_fit[1], method="BFGS").fun

    reference = profile(estimate)
    interior = [end for end, limited in ((lower, lower_limited), (upper, upper_limited)) if not limited]
    assert interior
    for end in interior:
        assert 2 * (reference - profile(end)) == pytest.approx(CUT, abs=2e-3)
    if lower_limited:
        assert lower == 0.0


def scaled_design_sample(seed):
    a, x, y, _ = badly_scaled_pairs(seed, 0.2)
    return a, (y > 0).astype(float), x


RANK_DEFICIENT = np.column_stack([np.ones(4), np.arange(4.0), np.arange(4.0)])


def inputs(status=(1.0, 0.0, 1.0, 0.0), relationship=None, design=None):
    n = len(status)
    a = sibships([2] * (n // 2)) if relationship is None else relationship
    return np.asarray(a, float), np.array(status, float), np.ones((n, 1)) if design is None else design


def with_entries(entries, base=None):
    a = sibships([2, 2]) if base is None else base.copy()
    for (i, j), value in entries.items():
        a[i, j] = value
    return a


@pytest.mark.parametrize(
    "args, code",
    [
        ((np.zeros((0, 0)), np.zeros(0), np.zeros((0, 1))), "LIABILITY_NO_ROWS"),
        (inputs(relationship=np.eye(3)), "LIABILITY_RELATIONSHIP_WRONG_SHAPE"),
        (inputs(design=np.ones((3, 1))), "LIABILITY_DESIGN_WRONG_SHAPE"),
        # a view of a design far too large to copy: its shape decides before anything is copied
        (inputs(design=np.broadcast_to(1.0, (3, 2**48))), "LIABILITY_DESIGN_WRONG_SHAPE"),
        (inputs(design=np.ones((4, 0))), "LIABILITY_DESIGN_HAS_NO_COLUMNS"),
        (inputs(relationship=with_entries({(2, 2): np.nan})), "LIABILITY_NOT_FINITE"),
        (inputs(design=np.array([[1.0], [1.0], [np.inf], [1.0]])), "LIABILITY_NOT_FINITE"),
        (inputs(relationship=with_entries({(0, 1): 0.5 + 2e-10})), "LIABILITY_RELATIONSHIP_NOT_SYMMETRIC"),
        (inputs(relationship=with_entries({(0, 1): 0.95, (1, 0): 0.95})), "LIABILITY_RELATIONSHIP_TOO_CLOSE"),
        (inputs(relationship=with_entries({(2, 3): 1.0, (3, 2): 1.0})), "LIABILITY_RELATIONSHIP_TOO_CLOSE"),
        (inputs(status=(1.0, np.nan, 0.0, 0.0)), "LIABILITY_STATUS_NOT_FINITE"),
        (inputs(status=(1.0, 0.5, 0.0, np.nan)), "LIABILITY_STATUS_NOT_BINARY"),
        (inputs(status=(1.0, 2.0, 0.0, 0.0)), "LIABILITY_STATUS_NOT_BINARY"),
        (inputs(status=(1.0, 1.0, 1.0, 1.0)), "LIABILITY_ALL_ONE_STATUS"),
        (inputs(status=(0.0, 0.0, 0.0, 1e-13)), "LIABILITY_ALL_ONE_STATUS"),
        (inputs(relationship=with_entries({(2, 2): -20.0}, np.eye(4))), "LIABILITY_NO_START_CONVERGED"),
        (inputs(design=RANK_DEFICIENT), "LIABILITY_DESIGN_RANK_DEFICIENT"),
        # the design's rank is judged after every other check of the inputs
        (inputs(design=RANK_DEFICIENT, relationship=with_entries({(1, 0): 0.8})), "LIABILITY_RELATIONSHIP_NOT_SYMMETRIC"),
        (inputs(design=RANK_DEFICIENT, relationship=with_entries({(0, 1): 0.95, (1, 0): 0.95})),
         "LIABILITY_RELATIONSHIP_TOO_CLOSE"),
        (inputs(design=RANK_DEFICIENT, status=(1.0, 0.0, np.inf, 0.0)), "LIABILITY_STATUS_NOT_FINITE"),
        (inputs(design=RANK_DEFICIENT, status=(1.0, 0.0, 0.5, 0.0)), "LIABILITY_STATUS_NOT_BINARY"),
        (inputs(design=RANK_DEFICIENT, status=(0.0, 0.0, 0.0, 0.0)), "LIABILITY_ALL_ONE_STATUS"),
    ],
    ids=["empty", "relationship_shape", "design_rows", "design_rows_of_a_vast_view", "design_no_columns",
         "relationship_nan", "design_inf", "asymmetric", "close_0_95", "identical_twins", "status_nan", "status_half", "status_two", "all_cases",
         "all_controls", "diagonal_minus_20", "identical_columns", "asymmetric_before_rank", "too_close_before_rank",
         "status_inf_before_rank", "status_half_before_rank", "all_controls_before_rank"],
)
@pytest.mark.parametrize("function", [_core.liability_fit, _core.liability_test, _core.liability_interval],
                         ids=["fit", "test", "interval"])
def test_codes(function, args, code):
    with pytest.raises(ValueError, match=f"^{code}$"):
        function(*args)


def wall_at_half():
    """Concordant sib pairs and one case whose relationship diagonal is -1: that person's liability
    variance, 1 - 2 h2, vanishes at h2 = 1/2, short of where the pairs pull h2, and the search
    ends against the edge of what can be evaluated."""
    rng = np.random.default_rng(1)
    a = sibships([2] * 10 + [1])
    a[-1, -1] = -1.0
    return a, np.r_[np.repeat(rng.random(10) < 0.5, 2), [1]].astype(float), np.ones((21, 1))


@pytest.mark.parametrize(
    "sample, code",
    [
        # These stopped the searches while the fixed effects were searched on the design as
        # given; on its standardised basis a covariate scaled by a thousand no longer does.
        (scaled_design_sample(0), None),
        (scaled_design_sample(11), None),
        (wall_at_half(), "LIABILITY_FIT_NOT_CONVERGED"),
    ],
    ids=["covariate_scaled_seed_0", "covariate_scaled_seed_11", "wall_at_half"],
)
@pytest.mark.parametrize("function", [_core.liability_test, _core.liability_interval], ids=["test", "interval"])
def test_searches_that_do_not_converge_are_refused(function, sample, code):
    h2, _, loglik, converged = _core.liability_fit(*sample)[:4]
    assert converged is (code is None)  # the fit itself is returned either way
    if code is not None:
        with pytest.raises(ValueError, match=f"^{code}$"):
            function(*sample)
    elif function is _core.liability_test:
        statistic, p_value, _, null_loglik = function(*sample)
        assert statistic == pytest.approx(max(2 * (loglik - null_loglik), 0.0), abs=1e-9)
        assert 0.0 <= p_value <= 1.0
    else:
        estimate, lower, upper = function(*sample)[:3]
        assert estimate == h2 and lower <= estimate <= upper


@pytest.mark.parametrize(
    "args",
    [inputs(status=(0.9999999999999, 0.0, 1.0, 0.0)), inputs(relationship=with_entries({(0, 1): 0.5 + 5e-11})),
     inputs(relationship=with_entries({(0, 1): 0.9, (1, 0): 0.9}))],
    ids=["nearly_one_is_a_case", "asymmetry_within_tolerance", "relationship_0_9"],
)
def test_accepted_edges(args):
    assert _core.liability_fit(*args)[6] == 0.5


@pytest.mark.parametrize(
    "args, name",
    [((np.eye(4).tolist(), np.ones(4), np.ones((4, 1))), "relationship"),
     ((np.eye(4), np.array([1, 0, 1, 0]), np.ones((4, 1))), "status"),
     ((np.eye(4), np.ones(4), np.ones(4)), "design")],
)
def test_wrong_types_name_the_argument(args, name):
    with pytest.raises(TypeError, match=name):
        _core.liability_fit(*args)


def test_strided_and_transposed_arrays_give_the_same_results(sibs, sibs_fit):
    a, status, x = sibs
    wide = np.zeros((len(status), 4))
    wide[:, ::2] = x
    assert _core.liability_fit(a.T.copy().T[::-1, ::-1][::-1, ::-1], np.repeat(status, 2)[::2], wide[:, ::2]) == sibs_fit
    assert _core.liability_fit(np.asfortranarray(a), status, np.asfortranarray(x)) == sibs_fit


@pytest.mark.parametrize("function", [_core.liability_fit, _core.liability_test, _core.liability_interval])
def test_signatures(function):
    assert function.__text_signature__ == "(relationship, status, design)"
