"""Dense references for the binary and censored models' tests: exact orthant probabilities of
one and two coordinates (Owen's T), conditioning on measured coordinates, and family splits."""

import math

import numpy as np
from scipy import optimize, sparse, special

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


def orthant_log(mean, sign, cov):
    """ln P(sign_i Y_i > 0) for Y ~ N(mean, cov), over any leading batch axes: exact for one and
    two coordinates, and from three on the sequential conditioning approximation (the side in
    the minority first, then each coordinate's truncation carried to the rest by regression)."""
    mean, sign, cov = (np.asarray(v, float) for v in (mean, sign, cov))
    sd = np.sqrt(np.diagonal(cov, axis1=-2, axis2=-1))
    z = sign * mean / sd
    r = sign[..., :, None] * sign[..., None, :] * cov / (sd[..., :, None] * sd[..., None, :])
    size = z.shape[-1]
    if size == 1:
        return special.log_ndtr(z[..., 0])
    if size == 2:
        return np.log(bivariate_cdf(z[..., 0], z[..., 1], r[..., 0, 1]))
    above = sign > 0
    later = above != (2 * above.sum(-1, keepdims=True) <= size)
    order = np.argsort(later, axis=-1, kind="stable")
    w = np.take_along_axis(z, order, -1)
    s = np.take_along_axis(np.take_along_axis(r, order[..., :, None], -2), order[..., None, :], -1)
    total = 0.0
    for k in range(size):
        v = s[..., k, k]
        t = w[..., k] / np.sqrt(v)
        log_p = special.log_ndtr(t)
        total = total + log_p
        lam = np.exp(-t * t / 2 - log_p) / math.sqrt(2 * math.pi)
        beta = s[..., :, k] / v[..., None]
        w = w + beta * (lam * np.sqrt(v))[..., None]  # the truncated coordinate's mean shift, regressed
        s = s + ((-t * lam - lam * lam) * v)[..., None, None] * beta[..., :, None] * beta[..., None, :]
    return total


def families_orthant_log(mean, sign, v, split):
    """The sum of orthant_log over the families of `split`, those of one size at a time."""
    total = 0.0
    for size in {len(f) for f in split}:
        rows = np.array([f for f in split if len(f) == size])
        total += orthant_log(mean[rows], sign[rows], v[rows[:, :, None], rows[:, None, :]]).sum()
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
    """Over leading batch axes: the mean and covariance of the censored coordinates given the
    measured ones at `observed`, and the normal log-density of the measured ones. `measured` and
    `censored` are positions along the last axis of `mean`."""
    def block(rows, columns):
        return v[..., rows, :][..., :, columns]

    if len(measured) == 0:
        return mean[..., censored], block(censored, censored), np.zeros(mean.shape[:-1])
    vmm = block(measured, measured)
    residual = observed - mean[..., measured]
    solved = np.linalg.solve(vmm, residual[..., None])[..., 0]
    density = -0.5 * ((residual * solved).sum(-1) + np.linalg.slogdet(vmm)[1] + len(measured) * math.log(2 * math.pi))
    if len(censored) == 0:
        return None, None, density
    vcm = block(censored, measured)
    cm = mean[..., censored] + (vcm @ solved[..., None])[..., 0]
    cv = block(censored, censored) - vcm @ np.linalg.solve(vmm, np.swapaxes(vcm, -1, -2))
    return cm, cv, density


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


def constant_measured(fam=8, limit=0.5):
    """Sib pairs whose measured values are all 1.0, the others at or above `limit`: below 1.0 the
    likelihood grows without bound as the variance shrinks; above it, those limits bound it. The
    relationship, the design, and the trait's values, codes and limits."""
    rng = np.random.default_rng(0)
    a = sibships([2] * fam)
    n = a.shape[0]
    code = (rng.random(n) < 0.5).astype(np.int64)
    x = np.column_stack([np.ones(n), rng.normal(size=n)])
    return a, x, np.where(code == 0, 1.0, np.nan), code, np.where(code == 1, limit, np.nan)


def independent_minimum(negative, starts, bounds):
    """The lowest value of `negative` that a search sharing nothing with the fits' reaches: TNC
    from each start. Returns (value, point)."""
    runs = [optimize.minimize(negative, start, method="TNC", bounds=bounds,
                              options={"ftol": 1e-13, "xtol": 1e-10, "gtol": 1e-10, "maxfun": 3000})
            for start in starts]
    best = min(runs, key=lambda run: run.fun)
    return best.fun, best.x


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
