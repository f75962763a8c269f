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


# One rank rule for every entry: a design's verdict is the same wherever it is given, and a
# column is dependent on the others only when what is left of it beyond them is within its own
# rounding, however small the rest is beside its offset.
_z = _rng.normal(size=N)
_status = (Y > np.median(Y)).astype(float)
_code = (Y > np.quantile(Y, 0.8)).astype(np.int64)
_censored = (np.where(_code == 0, Y, np.nan), _code, np.where(_code == 1, np.quantile(Y, 0.8), np.nan))
_place = np.arange(N) // 3 * 1.0
VERDICT_ENTRIES = {
    "prepared": lambda x: _core.PreparedModel(x, K),
    "components": lambda x: _core.component_fit([K], x, Y),
    "variant_set": lambda x: _core.variant_set_scan([K], x, Y, [DOSAGES]),
    "sweep": lambda x: _core.association_sweep(K, x, Y, DOSAGES),
    "spatial": lambda x: _core.spatial_fit([K], np.abs(_place[:, None] - _place[None]), x, Y),
    "autoregressive": lambda x: _core.autoregressive_fit([K], list(np.arange(N) // 3 % 5), list(np.arange(N) // 15),
                                                         x, Y),
    "gxe": lambda x: _core.gxe_fit(K, list(GROUP), x, Y, "exponential", [0.0, 1.0]),
    "discrete_gxe": lambda x: _core.discrete_gxe_fit(K, GROUP, x, Y),
    "bivariate": lambda x: _core.bivariate_fit(K, [(True, True)] * N, np.kron(x, np.eye(2)), np.repeat(Y, 2)
                                               + np.tile([0.0, 1.0], N) * np.repeat(_z, 2)),
    "tobit": lambda x: _core.tobit_fit(K, *_censored, x),
    "liability": lambda x: _core.liability_fit(K, _status, x),
    "mixed_bivariate": lambda x: _core.mixed_bivariate_fit(K, 0, Y, np.zeros(N, np.int64), np.zeros(N), 2,
                                                           *_censored, x),
}


def verdict(entry, x):
    try:
        entry(x)
    except ValueError as error:
        # The sweep's null fit comes first: a design whose weighted cross-product is singular at
        # every heritability is refused there.
        if str(error).endswith("RANK_DEFICIENT") or str(error) == "ASSOCIATION_NOT_EVALUABLE":
            return "refused"
    return "accepted"


@pytest.mark.parametrize("x, expected", [
    (np.c_[np.ones(N), 1.0 + 1e-12 * _z], "accepted"),  # 1e-12 of the column: beyond rounding, if barely
    (np.c_[np.ones(N), _z + 1e8], "accepted"),
    (np.c_[np.ones(N), _z + 1e12], "accepted"),
    (np.c_[np.ones(N), _z, 3.0 * _z - 2.0], "refused"),  # a combination of the others, rounded
    (np.c_[np.ones(N), _z, _z * (1.0 + 1e-17)], "refused"),
], ids=["barely", "offset-1e8", "offset-1e12", "combination", "copy"])
def test_every_entry_gives_a_design_one_verdict(x, expected):
    assert {name: verdict(entry, x) for name, entry in VERDICT_ENTRIES.items()} == dict.fromkeys(VERDICT_ENTRIES,
                                                                                                  expected)
