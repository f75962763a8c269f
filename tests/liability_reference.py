"""Dense references for the binary and censored models' tests: exact orthant probabilities of
one and two coordinates (Owen's T), conditioning on measured coordinates, and family splits."""

import math

import numpy as np
from scipy import sparse, special, stats


def bivariate_cdf(h, k, r):
    """P(X <= h, Y <= k) for standard normals with correlation r, by Owen's T function."""
    if r == 0.0:
        return stats.norm.cdf(h) * stats.norm.cdf(k)
    s = math.sqrt((1.0 - r) * (1.0 + r))
    h = h if h != 0.0 else 1e-300
    k = k if k != 0.0 else 1e-300
    correction = 0.5 if h * k < 0.0 else 0.0
    value = (0.5 * (stats.norm.cdf(h) + stats.norm.cdf(k))
             - special.owens_t(h, (k - r * h) / (h * s)) - special.owens_t(k, (h - r * k) / (k * s)) - correction)
    return min(max(value, 0.0), 1.0)


def orthant_log(mean, sign, cov):
    """ln P(sign_i Y_i > 0) for Y ~ N(mean, cov) of one or two coordinates."""
    sd = np.sqrt(np.diag(cov))
    z = sign * mean / sd
    if len(z) == 1:
        return stats.norm.logcdf(z[0])
    r = sign[0] * sign[1] * cov[0, 1] / (sd[0] * sd[1])
    return math.log(bivariate_cdf(z[0], z[1], r))


def families(a):
    """Connected components of the nonzero off-diagonal pattern, each ascending."""
    count, labels = sparse.csgraph.connected_components(sparse.csr_matrix(a != 0.0), directed=False)
    return [np.flatnonzero(labels == c) for c in range(count)]


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


def sibships(sizes, relatedness=0.5):
    """Block-diagonal relationship of families of the given sizes, siblings at `relatedness`."""
    blocks = [np.full((s, s), relatedness) + (1.0 - relatedness) * np.eye(s) for s in sizes]
    n = sum(sizes)
    a = np.zeros((n, n))
    at = 0
    for b in blocks:
        a[at:at + len(b), at:at + len(b)] = b
        at += len(b)
    return a
