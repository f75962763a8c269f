"""ML on a genomic relationship centred on the people analysed (K 1 = 0, an intercept in the
design): the likelihood rises without bound as the residual variance goes to zero, and K's zero
eigenvalue comes out with either sign. Every ML entry gives one answer in any listing order: the
interior maximum (against a dense search) where there is one, else a fit that did not converge.
Under REML the restricted likelihood has a finite limit at h2 = 1 when the design spans K's zero
direction, and that limit is the answer where it is the maximum."""

import numpy as np
import pytest
from scipy.linalg import null_space
from scipy.optimize import minimize_scalar

from helpers import centred_relationship, gls_loglik
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


def dense_maximum(s):
    """The ML maximum over h2 < 1 of the numpy likelihood, the total variance profiled out."""
    def minus_loglik(h2):
        w = h2 * s["k"] + (1 - h2) * np.eye(len(s["y"]))
        r = s["y"] - s["x"] @ gls_loglik(w, s["x"], s["y"], False)[1]
        return -gls_loglik(w * (r @ np.linalg.solve(w, r) / len(r)), s["x"], s["y"], False)[0]
    best = minimize_scalar(minus_loglik, bounds=(0.0, 0.999), method="bounded", options={"xatol": 1e-10})
    return best.x, -best.fun


# Each entry's (h2, log-likelihood or p-value, converged).
ENTRIES = {
    "prepared": lambda s: (lambda r: (r["h2"], r["loglik"], r["converged"]))(
        _core.PreparedModel(s["x"], s["k"]).fit(s["y"], "ml")),
    "components": lambda s: (lambda f: (f[1][0], f[3], f[5]))(_core.component_fit([s["k"]], s["x"], s["y"], reml=False)),
    "sweep": lambda s: _core.association_sweep(s["k"], s["x"], s["y"], s["g"][:, :2])[:2] + (True,),
    "variant_set": lambda s: (0.0, _core.variant_set_scan([s["k"]], s["x"], s["y"], [s["g"][:, :3]],
                                                          reml=False)[0]["p_value"], True),
}
# What each entry says when no start finds a maximum.
NO_MAXIMUM = {"sweep": "ASSOCIATION_NO_START_CONVERGED", "variant_set": "VARIANT_SET_NULL_DID_NOT_CONVERGE"}


def listed(s, order):
    return {key: (v[np.ix_(order, order)] if key == "k" else v[order]) for key, v in s.items()}


@pytest.mark.parametrize("entry", ENTRIES)
@pytest.mark.parametrize("sample", SAMPLES)
def test_one_answer_in_every_order(entry, sample):
    s = SAMPLES[sample]
    orders = [np.roll(np.arange(len(s["y"])), shift) for shift in (0, 3, 7, 11, 29)]
    if sample == "runaway":
        for order in orders:
            if entry in NO_MAXIMUM:
                with pytest.raises(ValueError, match=NO_MAXIMUM[entry]):
                    ENTRIES[entry](listed(s, order))
            else:
                assert not ENTRIES[entry](listed(s, order))[2]
        return
    fits = [ENTRIES[entry](listed(s, order)) for order in orders]
    for h2, loglik, converged in fits:
        assert converged
        assert loglik == pytest.approx(fits[0][1], abs=1e-8)
        assert h2 == pytest.approx(fits[0][0], abs=1e-6)
    if entry != "variant_set":
        h2, loglik = dense_maximum(s)
        assert fits[0][0] == pytest.approx(h2, abs=1e-5)
        assert fits[0][1] == pytest.approx(loglik, abs=1e-7)


@pytest.mark.parametrize("sample", ["noise", "interior", "beside"])
def test_two_traits_by_ml_give_one_answer_never_at_one(sample):
    """The trait and a noisier copy of it, by ML: no start that runs to h2 = 1 (where the
    likelihood has no maximum) is taken for a fit, in any listing order."""
    s = SAMPLES[sample]
    n = len(s["y"])
    second = s["y"] + np.random.default_rng(1).normal(size=n)
    fits = []
    for shift in (0, 3, 7, 11):
        o = np.roll(np.arange(n), shift)
        y = np.column_stack([s["y"][o], second[o]]).ravel()
        values, loglik, _, converged = _core.bivariate_fit(
            s["k"][np.ix_(o, o)], [(True, True)] * n, np.kron(np.ones((n, 1)), np.eye(2)), y, reml=False)
        assert converged and max(values[2], values[3]) < 0.9999
        fits.append((loglik, values[2], values[3]))
    np.testing.assert_allclose(fits, [fits[0]] * len(fits), rtol=0, atol=1e-6)


def contrast_loglik(k, x, y, h2):
    """REML of the error contrasts a'y, a an orthonormal basis of x's complement: a'Ka is
    regular at h2 = 1 when x spans K's zero direction, so this is also the limit there."""
    a = null_space(x.T)
    v, z = a.T @ (h2 * k + (1 - h2) * np.eye(len(y))) @ a, a.T @ y
    return -0.5 * (len(z) * (np.log(2 * np.pi * (z @ np.linalg.solve(v, z)) / len(z)) + 1) + np.linalg.slogdet(v)[1])


# (seed, design columns): 13, 14 and 17 have their maximum at h2 = 1, 0 inside, 1 at h2 = 0;
# without the intercept the design leaves K's zero direction free and the limit is -infinity.
@pytest.mark.parametrize("seed, columns", [(13, [0, 1]), (14, [0, 1]), (17, [0, 1]), (0, [0, 1]), (1, [0, 1]),
                                           (13, [1])])
def test_reml_maximum_at_one_in_every_order(seed, columns):
    k, x, y, _ = centred_relationship(seed)
    x, top = x[:, columns], (1.0 if len(columns) == 2 else 1.0 - 1e-9)
    inside = minimize_scalar(lambda h: -contrast_loglik(k, x, y, h), bounds=(0.0, top), method="bounded",
                             options={"xatol": 1e-10})
    h2, loglik = max([(inside.x, -inside.fun), (top, contrast_loglik(k, x, y, top))], key=lambda t: t[1])
    for order in [np.roll(np.arange(len(y)), shift) for shift in (0, 5, 17)] + [np.arange(len(y))[::-1]]:
        fit = _core.PreparedModel(x[order], k[np.ix_(order, order)]).fit(y[order], "reml")
        assert fit["converged"] and fit["boundary"] == ("upper" if h2 == 1.0 else fit["boundary"])
        assert fit["h2"] == pytest.approx(h2, abs=1e-5) and fit["loglik"] == pytest.approx(loglik, abs=1e-7)
        assert fit["test"]["statistic"] == pytest.approx(2 * (loglik - contrast_loglik(k, x, y, 0.0)), abs=1e-6)
