"""An offset that a design absorbs through its span (cell means, per-trait intercepts), not
through a literal intercept column, changes no marker, set or two-trait covariate."""

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
