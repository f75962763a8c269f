"""An offset that a design absorbs through its span (cell means, per-trait intercepts), not
through a literal intercept column, changes no marker, set or two-trait covariate."""

from fractions import Fraction

import numpy as np
import pytest

from kestrune import _core
from test_bivariate import simulate

N = 60
K = np.kron(np.eye(20), np.full((3, 3), 0.5) + 0.5 * np.eye(3))
GROUP = (np.arange(N) % 2).astype(float)
CELL_MEANS = np.c_[1.0 - GROUP, GROUP]
_rng = np.random.default_rng(0)
Y = _rng.normal(size=N) + GROUP
DOSAGES = _rng.binomial(2, 0.3, (N, 3)).astype(float)
TWO_TRAITS = simulate(families=15, seed=2)
FIRST_TRAIT = np.tile([True, False], len(TWO_TRAITS[0]))[np.asarray(TWO_TRAITS[1]).reshape(-1)]


def markers(offset):
    _, _, rows, _ = _core.association_sweep(K, CELL_MEANS, Y, DOSAGES + offset)
    return [value for row in rows for value in row[:5]]


def variant_set(offset):
    record = _core.variant_set_scan([K], CELL_MEANS, Y, [DOSAGES + offset])[0]
    assert record["code"] == ""
    return [record["statistic"], record["p_value"]]


def two_traits(offset):
    """Per-trait intercepts and a covariate of the first trait carrying the offset."""
    k, observed, design, y = TWO_TRAITS
    design = design.copy()
    design[FIRST_TRAIT, 2] += offset
    values, loglik, _, converged = _core.bivariate_fit(k, observed, design, y)
    assert converged
    return [v for v in values[:6]] + [loglik]


@pytest.mark.parametrize("offset", [1e4, 1e5, 1e7])
@pytest.mark.parametrize("entry", [markers, variant_set, two_traits])
def test_an_offset_the_span_absorbs_changes_nothing(entry, offset):
    np.testing.assert_allclose(entry(offset), entry(0.0), rtol=0, atol=1e-6)


# One rank rule for every entry: a design's verdict is the same wherever it is given. A column
# is dependent on the others when what is left of it beyond them is too small for the answer to
# bear (near the root of rounding of what it has beyond any offset the design absorbs).
# The traits below have heritabilities and correlations well inside their bounds, so that every
# entry has a maximum to report for a design it accepts.
_draw = np.random.default_rng(7)
_z, _w = _draw.normal(size=(2, N))
_genetic = np.linalg.cholesky(np.kron([[1.0, 0.5], [0.5, 1.0]], K)) @ _draw.normal(size=2 * N)
_trait = 0.8 * _genetic[:N] + 0.6 * _draw.normal(size=N)
_second = 0.7 * _genetic[N:] + 0.7 * _draw.normal(size=N) + 0.3 * _z
_status = (_trait > np.median(_trait)).astype(float)
_censored = [(np.where(code == 0, v, np.nan), code, np.where(code == 1, cut, np.nan))
             for v in (_trait, _second) for cut in [np.quantile(v, 0.8)] for code in [(v > cut).astype(np.int64)]]
_place = np.arange(N) // 3 * 1.0


def _converged(answer, flag):
    """The numbers an entry answers with, span-invariant and unit-free or in the trait's units;
    an answer that is not a maximum is no answer."""
    return answer if flag else None


def _sweep(x):
    h2, loglik, rows, _ = _core.association_sweep(K, x, _trait, DOSAGES)
    return _converged([h2, loglik] + [v for row in rows for v in row[:5]], all(row[6] == "" for row in rows))


def _variant_set(x):
    record = _core.variant_set_scan([K], x, _trait, [DOSAGES])[0]
    return _converged([record["statistic"], record["p_value"]], record["code"] == "")


def _prepared(x):
    fit = _core.PreparedModel(x, K).fit(_trait)
    return _converged([fit["loglik"], fit["h2"], fit["total_variance"]], fit["converged"])


def _components(x):
    fit = _core.component_fit([K], x, _trait)
    return _converged([fit[3], *fit[0]], fit[5])


def _spatial(x):
    fit = _core.spatial_fit([K], np.abs(_place[:, None] - _place[None]), x, _trait)
    return _converged([fit[5], *fit[0]], fit[7])


def _autoregressive(x):
    fit = _core.autoregressive_fit([K], list(np.arange(N) // 3 % 5), list(np.arange(N) // 15), x, _trait)
    return _converged([fit[4], *fit[0]], fit[5])


def _gxe(x):
    # Three environments: over these two groups the likelihood climbs as the residual of one group
    # vanishes, a limit that no fit reaches.
    fit = _core.gxe_fit(K, list(np.arange(N) % 3 * 1.0), x, _trait, "exponential", [0.0, 1.0])
    return _converged([fit[1]], fit[2])


def _discrete_gxe(x):
    fit = _core.discrete_gxe_fit(K, GROUP, x, _trait)
    return _converged([fit[6], *fit[0], *fit[1]], fit[7])


def _bivariate(x):
    values, loglik, _, converged = _core.bivariate_fit(K, [(True, True)] * N, np.kron(x, np.eye(2)),
                                                       np.c_[_trait, _second].ravel())
    return _converged([loglik, *values[:6]], converged)


def _tobit(x):
    fit = _core.tobit_fit(K, *_censored[0], x)
    return _converged([fit[3], fit[0], fit[1]], fit[4])


def _liability(x):
    fit = _core.liability_fit(K, _status, x)
    return _converged([fit[2], fit[0]], fit[3])


def _mixed_bivariate(x):
    fit = _core.mixed_bivariate_fit(K, 0, _trait, np.zeros(N, np.int64), np.zeros(N), 2, *_censored[1], x)
    return _converged([fit[6], *fit[0], *fit[1], fit[2], fit[3]], fit[7])


VERDICT_ENTRIES = {"prepared": _prepared, "components": _components, "variant_set": _variant_set, "sweep": _sweep,
                   "spatial": _spatial, "autoregressive": _autoregressive, "gxe": _gxe, "discrete_gxe": _discrete_gxe,
                   "bivariate": _bivariate, "tobit": _tobit, "liability": _liability,
                   "mixed_bivariate": _mixed_bivariate}


def verdict(entry, x):
    """The entry's answer, "refused" for its rank code, or "no answer" for any other outcome."""
    try:
        answer = entry(x)
    except ValueError as error:
        # The sweep's null fit comes first: a design whose weighted cross-product is singular at
        # every heritability is refused there.
        if str(error).endswith("RANK_DEFICIENT") or str(error) == "ASSOCIATION_NOT_EVALUABLE":
            return "refused"
        return f"no answer: {error}"
    return "no answer" if answer is None else answer


@pytest.mark.parametrize("x, expected", [
    (np.c_[np.ones(N), 1.0 + 1e-12 * _z], "accepted"),  # an offset 1e12 times its spread: fitted on what is left
    (np.c_[np.ones(N), _z + 1e8], "accepted"),
    (np.c_[np.ones(N), _z + 1e12], "accepted"),
    (np.c_[np.ones(N), _z, 3.0 * _z - 2.0], "refused"),  # a combination of the others, rounded
    (np.c_[np.ones(N), _z, _z * (1.0 + 1e-17)], "refused"),
], ids=["offset-1", "offset-1e8", "offset-1e12", "combination", "copy"])
def test_every_entry_gives_a_design_one_verdict(x, expected):
    verdicts = {name: verdict(entry, x) for name, entry in VERDICT_ENTRIES.items()}
    assert {name: v if isinstance(v, str) else "accepted" for name, v in verdicts.items()} == dict.fromkeys(
        VERDICT_ENTRIES, expected)


def exact_span(x, column, delta):
    """[1, x, (column - x) / delta]: the span of [1, x, column] with its last direction at unit
    scale. column - x is exact (checked), so only the division rounds, by a unit in the last
    place of a column of unit size."""
    difference = column - x
    assert all(Fraction(a) - Fraction(b) == Fraction(d) for a, b, d in zip(column, x, difference))
    return np.c_[np.ones(N), x, difference / delta]


# A column independent of the others by delta of its size has a direction known only to about
# eps / delta: an entry refuses it, or answers as on an exact basis of the same span.
@pytest.mark.parametrize("delta", [1e-15, 1e-14, 1e-13, 1e-12, 1e-11, 1e-10, 1e-9, 1e-8, 1e-7, 1e-6])
def test_a_column_independent_only_at_rounding_is_refused_or_answered_as_its_span(delta):
    column = _z + delta * _w
    verdicts = {name: verdict(entry, np.c_[np.ones(N), _z, column]) for name, entry in VERDICT_ENTRIES.items()}
    assert {v if isinstance(v, str) else "accepted" for v in verdicts.values()} in ({"refused"}, {"accepted"}), verdicts
    reference = exact_span(_z, column, delta)
    for name, answer in verdicts.items():
        if answer != "refused":
            np.testing.assert_allclose(answer, VERDICT_ENTRIES[name](reference), rtol=1e-6, atol=1e-6, err_msg=name)
