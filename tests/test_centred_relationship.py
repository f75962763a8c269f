"""ML on a genomic relationship centred on the people analysed (K 1 = 0, an intercept in the design).

The likelihood then rises without bound as the residual variance goes to zero, and K's zero
eigenvalue comes out of an eigensolver with either sign at rounding. Every ML entry must give
one answer whatever the order in which the people are listed: the interior maximum where there
is one (checked against a dense search), and otherwise a fit that says it did not converge."""

import numpy as np
import pytest
from scipy.optimize import minimize_scalar

from helpers import gls_loglik
from kestrune import _core


def centred_sample(seed, n, h2):
    rng = np.random.default_rng(seed)
    g = rng.binomial(2, 0.3, (n, 300)).astype(float)
    w = g - g.mean(0)
    k = w @ w.T / 300
    values, vectors = np.linalg.eigh(k)
    genetic = vectors @ (np.sqrt(np.clip(values, 0, None)) * rng.normal(size=n))
    y = np.sqrt(h2) * genetic + np.sqrt(1 - h2) * rng.normal(size=n) + 3.0
    return dict(k=k, x=np.ones((n, 1)), y=y, g=g)


SAMPLES = {
    "noise": centred_sample(0, 40, 0.0),     # maximum at h2 = 0
    "interior": centred_sample(4, 60, 0.5),  # maximum inside (0, 1)
    "beside": centred_sample(3, 40, 0.7),    # maximum inside, the grid's best point by the runaway
    "runaway": centred_sample(3, 60, 0.5),   # rises all the way to h2 = 1
}


def profile(s, h2):
    """ML log-likelihood at h2, the total variance profiled out: V = s2 (h2 K + (1 - h2) I)."""
    n = len(s["y"])
    w = h2 * s["k"] + (1 - h2) * np.eye(n)
    loglik_at_one, beta, _ = gls_loglik(w, s["x"], s["y"], False)
    r = s["y"] - s["x"] @ beta
    s2 = r @ np.linalg.solve(w, r) / n
    return loglik_at_one + 0.5 * (r @ np.linalg.solve(w, r)) - 0.5 * n * (np.log(s2) + 1.0)


def dense_maximum(s):
    curve = lambda h: -profile(s, h)
    best = minimize_scalar(curve, bounds=(0.0, 0.999), method="bounded", options={"xatol": 1e-10})
    return best.x, -best.fun


def prepared(s):
    r = _core.PreparedModel(s["x"], s["k"]).fit(s["y"], "ml")
    return r["h2"], r["loglik"], r["converged"]


def components(s):
    f = _core.component_fit([s["k"]], s["x"], s["y"], reml=False)
    return f[1][0], f[3], f[5]


def sweep(s):
    h2, loglik, *_ = _core.association_sweep(s["k"], s["x"], s["y"], s["g"][:, :2])
    return h2, loglik, True


def variant_set(s):
    return None, _core.variant_set_scan([s["k"]], s["x"], s["y"], [s["g"][:, :3]], reml=False)[0]["p_value"], True


ENTRIES = {"prepared": prepared, "components": components, "sweep": sweep, "variant_set": variant_set}
# What each entry says when no start finds a maximum.
NO_MAXIMUM = {"sweep": "ASSOCIATION_NO_START_CONVERGED", "variant_set": "VARIANT_SET_NULL_DID_NOT_CONVERGE"}


def listed(s, order):
    return {key: (v[np.ix_(order, order)] if key == "k" else v[order]) for key, v in s.items()}


@pytest.mark.parametrize("entry", ENTRIES)
@pytest.mark.parametrize("sample", ["noise", "interior", "beside"])
def test_one_answer_in_every_order_at_the_interior_maximum(entry, sample):
    s = SAMPLES[sample]
    n = len(s["y"])
    fits = [ENTRIES[entry](listed(s, np.roll(np.arange(n), shift))) for shift in (0, 3, 7, 11, 29)]
    for h2, loglik, converged in fits:
        assert converged
        assert loglik == pytest.approx(fits[0][1], abs=1e-8)
        if h2 is not None:
            assert h2 == pytest.approx(fits[0][0], abs=1e-6)
    if entry != "variant_set":
        h2, loglik = dense_maximum(s)
        assert fits[0][0] == pytest.approx(h2, abs=1e-5)
        assert fits[0][1] == pytest.approx(loglik, abs=1e-7)


@pytest.mark.parametrize("entry", ENTRIES)
def test_no_interior_maximum_is_reported_as_not_converged(entry):
    s = SAMPLES["runaway"]
    n = len(s["y"])
    for shift in (0, 3, 7, 11, 29):
        data = listed(s, np.roll(np.arange(n), shift))
        if entry in NO_MAXIMUM:
            with pytest.raises(ValueError, match=NO_MAXIMUM[entry]):
                ENTRIES[entry](data)
        else:
            assert not ENTRIES[entry](data)[2]
