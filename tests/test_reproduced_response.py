"""A response that the fixed effects reproduce exactly has no variance left to fit: every model
gives its own outcome for it, whatever rounding the fit of the fixed effects leaves behind."""

import numpy as np
import pytest

from kestrune import _core

K = np.kron(np.eye(20), np.full((3, 3), 0.5) + 0.5 * np.eye(3))
ENV = np.tile([0.0, 1.0, 1.0], 20)
X = np.c_[np.ones(60), np.random.default_rng(0).normal(size=60)]
MARKERS = np.random.default_rng(1).normal(size=(60, 2))
_place = np.random.default_rng(2).uniform(0, 1, 60)
D = np.abs(_place[:, None] - _place[None])


def prepared(y):
    r = _core.PreparedModel(X, K).fit(y, "ml")
    assert not r["converged"] and np.isnan(r["loglik"])


CASES = {
    "prepared": (prepared, None),
    "components": (lambda y: _core.component_fit([K], X, y), "COMPONENTS_NO_START_CONVERGED"),
    "sweep": (lambda y: _core.association_sweep(K, X, y, MARKERS), "ASSOCIATION_NOT_EVALUABLE"),
    "variant_set": (lambda y: _core.variant_set_scan([K], X, y, [MARKERS]), "COMPONENTS_NO_START_CONVERGED"),
    "gxe_fit": (lambda y: _core.gxe_fit(K, list(ENV), X, y, "exponential", [0.0, 1.0]), "GXE_NO_START_CONVERGED"),
    "gxe_test": (lambda y: _core.gxe_test(K, list(ENV), X, y, "exponential", "interaction"), "GXE_NO_START_CONVERGED"),
    "discrete_gxe": (lambda y: _core.discrete_gxe_fit(K, ENV, X, y), "DISCRETE_GXE_NO_START_CONVERGED"),
    "spatial": (lambda y: _core.spatial_fit([K], D, X, y), "SPATIAL_NO_START_CONVERGED"),
    "autoregressive": (lambda y: _core.autoregressive_fit([K], list(range(60)), [0] * 60, X, y, True),
                       "AUTOREGRESSIVE_NO_START_CONVERGED"),
    "bivariate": (lambda y: _core.bivariate_fit(K, [(True, True)] * 60, np.kron(X, np.eye(2)),
                                                np.repeat(y, 2) * np.tile([1.0, 2.0], 60)), "BIVARIATE_NO_START_CONVERGED"),
}


@pytest.mark.parametrize("noise", [0.0, 1e-15])
@pytest.mark.parametrize("model", CASES)
def test_exactly_reproduced_response_gets_the_model_outcome(model, noise):
    y = X @ [2.0, 3.0] + noise * np.random.default_rng(3).normal(size=60)
    call, code = CASES[model]
    if code is None:
        call(y)
    else:
        with pytest.raises(ValueError, match=f"^{code}$"):
            call(y)
