"""Dense references for the binary and censored models' tests: exact orthant probabilities of
one and two coordinates (Owen's T), conditioning on measured coordinates, and family splits."""

import math

import numpy as np
from scipy import sparse, special, stats

from helpers import sibships


def bivariate_cdf(h, k, r):
    """P(X <= h, Y <= k) for standard normals with correlation r, by Owen's T function;
    elementwise over arrays."""
    h, k, r = np.broadcast_arrays(*(np.asarray(v, float) for v in (h, k, r)))
    s = np.sqrt((1.0 - r) * (1.0 + r))
    h = np.where(h == 0.0, 1e-300, h)
    k = np.where(k == 0.0, 1e-300, k)
    value = (0.5 * (special.ndtr(h) + special.ndtr(k)) - special.owens_t(h, (k - r * h) / (h * s))
             - special.owens_t(k, (h - r * k) / (k * s)) - np.where(h * k < 0.0, 0.5, 0.0))
    value = np.where(r == 0.0, special.ndtr(h) * special.ndtr(k), value)
    return np.clip(value, 0.0, 1.0)[()]


def log_ncdf(t):
    """ln Phi(t) for a scalar, through erfc (fast enough to call in a likelihood loop)."""
    return math.log(0.5 * math.erfc(-t / math.sqrt(2.0)))


def orthant_log(mean, sign, cov):
    """ln P(sign_i Y_i > 0) for Y ~ N(mean, cov): exact for one and two coordinates, and from three
    on the sequential conditioning approximation (the side in the minority first, then each
    coordinate's truncation carried to the rest by regression)."""
    sd = np.sqrt(np.diag(cov))
    z = sign * mean / sd
    r = np.outer(sign, sign) * cov / np.outer(sd, sd)
    if len(z) == 1:
        return log_ncdf(z[0])
    if len(z) == 2:
        return math.log(bivariate_cdf(z[0], z[1], r[0, 1]))
    above = sign > 0
    first, second = (above, ~above) if 2 * above.sum() <= len(z) else (~above, above)
    order = np.concatenate([np.flatnonzero(first), np.flatnonzero(second)])
    w, s = z[order], r[np.ix_(order, order)]
    total = 0.0
    for k in range(len(w)):
        t = w[k] / math.sqrt(s[k, k])
        total += log_ncdf(t)
        lam = math.exp(-t * t / 2 - log_ncdf(t)) / math.sqrt(2 * math.pi)
        beta = s[:, k] / s[k, k]
        w = w + beta * lam * math.sqrt(s[k, k])  # the truncated coordinate's mean shift, regressed
        s = s + (-t * lam - lam * lam) * s[k, k] * np.outer(beta, beta)
    return total


def families(a):
    """Connected components of the nonzero off-diagonal pattern, each ascending."""
    count, labels = sparse.csgraph.connected_components(sparse.csr_matrix(a != 0.0), directed=False)
    return [np.flatnonzero(labels == c) for c in range(count)]


def canonical_families(a, keys):
    """The families with their members in the order a sequential approximation takes them: by
    their rows of `keys` (each person's own data), then by their own relationship and their
    relationships with the others in ascending order, then by index."""
    def ordered(fam):
        return np.array(sorted(fam, key=lambda i: (*keys[i], a[i, i], *sorted(a[i, j] for j in fam if j != i))))
    return [ordered(fam) for fam in families(a)]


def conditional_region(v, mean, measured, censored, observed):
    """Mean and covariance of the censored coordinates given the measured ones at `observed`,
    and the normal log-density of the measured ones."""
    if len(measured) == 0:
        return mean[censored], v[np.ix_(censored, censored)], 0.0
    vmm = v[np.ix_(measured, measured)]
    density = stats.multivariate_normal(mean[measured], vmm).logpdf(observed)
    if len(censored) == 0:
        return None, None, float(density)
    vcm = v[np.ix_(censored, measured)]
    cm = mean[censored] + vcm @ np.linalg.solve(vmm, observed - mean[measured])
    cv = v[np.ix_(censored, censored)] - vcm @ np.linalg.solve(vmm, vcm.T)
    return cm, cv, float(density)


def badly_scaled_pairs(seed, intercept, fam=15):
    """Sib pairs with a covariate of a large scale, which makes the search badly conditioned:
    the relationship, the design, a trait and the generator for more."""
    rng = np.random.default_rng(seed)
    scale = 10 ** rng.uniform(2.5, 3.7)
    a = sibships([2] * fam)
    n = a.shape[0]
    x = np.column_stack([np.ones(n), rng.normal(size=n) * scale])
    y = x @ [intercept, 0.5 / scale] + rng.normal(size=n)
    return a, x, y, rng


def put(index, entry):
    """A change that sets array[index] = entry in a copy."""
    def apply(array):
        array = array.copy()
        array[index] = entry
        return array
    return apply


def changed(inputs, **changes):
    """The keyword inputs with some replaced: by a value, or by a change applied to the old one."""
    return {**inputs, **{key: value(inputs[key]) if callable(value) else value for key, value in changes.items()}}
