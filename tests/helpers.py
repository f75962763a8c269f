"""Shared by the tests and written independently of the module: family relationship matrices,
random pedigrees, the module's SplitMix64 stream of normals, and a dense Gaussian likelihood."""

import math
import random

import numpy as np
from scipy import linalg

LOG_2PI = math.log(2.0 * math.pi)

# Two unrelated parents and three children.
NUCLEAR = np.array([
    [1.0, 0.0, 0.5, 0.5, 0.5],
    [0.0, 1.0, 0.5, 0.5, 0.5],
    [0.5, 0.5, 1.0, 0.5, 0.5],
    [0.5, 0.5, 0.5, 1.0, 0.5],
    [0.5, 0.5, 0.5, 0.5, 1.0],
])


def nuclear_families(count):
    """Block-diagonal relationship of `count` nuclear families of five."""
    return np.kron(np.eye(count), NUCLEAR)


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


def sibling_blocks(n, size):
    """n people in consecutive sibships of `size`, the last one shorter if size does not divide n."""
    return sibships([size] * (n // size) + ([n % size] if n % size else []))


def site_gap(gap):
    """Twenty families of three (K), genetic and residual variance 0.5 each, from two sites gap
    apart that the design absorbs: (K, X = [1, site], y = 5 + gap site + e)."""
    n = 60
    k = np.kron(np.eye(20), np.full((3, 3), 0.5) + 0.5 * np.eye(3))
    rng = np.random.default_rng(0)
    site = (np.arange(n) // 30).astype(float)
    d, u = np.linalg.eigh(k)
    e = u @ (np.sqrt(d) * rng.normal(size=n)) * np.sqrt(0.5) + np.sqrt(0.5) * rng.normal(size=n)
    return k, np.column_stack([np.ones(n), site]), 5 + gap * site + e


def random_pedigree(seed, generations, width, founder_rate, sexes=None):
    """Overlapping generations with sib, cousin and parent-child matings, and selfing; rows shuffled.
    Returns ids, fathers and mothers, and with `sexes` a sex code drawn from them for each person."""
    rng = random.Random(seed)
    ids, father, mother, sex, pool = [], [], [], [], []
    for g in range(generations):
        for k in range(width):
            ids.append(f"g{g}i{k}")
            if g == 0 or rng.random() < founder_rate:
                f = m = None
            else:
                f = rng.choice(pool)
                m = f if rng.random() < 0.05 else rng.choice(pool)
            father.append(f)
            mother.append(m)
            if sexes is not None:
                sex.append(rng.choice(sexes))
        pool = ids[-2 * width:]
    order = list(range(len(ids)))
    rng.shuffle(order)
    columns = (ids, father, mother) if sexes is None else (ids, father, mother, sex)
    return tuple([column[i] for i in order] for column in columns)


def centred_relationship(seed, n=50, markers=300):
    """A relationship of standardised genotypes centred on the people (its null vector the intercept),
    X = [1, x] and a trait of a heritability drawn from {0, .2, .5, .8, .95}; the generator as well."""
    rng = np.random.default_rng(seed)
    g = rng.binomial(2, 0.3, (n, markers)).astype(float)
    w = g - g.mean(0)
    w /= w.std(0) + (w.std(0) == 0)
    k = w @ w.T / markers
    x = np.column_stack([np.ones(n), rng.normal(size=n)])
    h2 = rng.choice([0.0, 0.2, 0.5, 0.8, 0.95])
    d, u = np.linalg.eigh(k)
    genetic = u @ (np.sqrt(np.maximum(d, 0.0)) * rng.normal(size=n))
    return k, x, x @ [1.0, 0.5] + np.sqrt(h2) * genetic + np.sqrt(1.0 - h2) * rng.normal(size=n), rng


NUCLEAR = np.array([[1, 0, .5, .5, .5], [0, 1, .5, .5, .5], [.5, .5, 1, .5, .5], [.5, .5, .5, 1, .5],
                    [.5, .5, .5, .5, 1.0]])


def housemates(with_parents=False):
    """Ten to fifteen nuclear families of five sharing a house (H: ones between housemates and a zero
    diagonal, not positive semi-definite), alone or beside their relationship A, a family per cell of a
    8 x 4 grid (rows, cols): ([H] or [A, H], rows, cols, X = [1, x], y)."""
    rng = np.random.default_rng(0)
    families = int(rng.integers(10, 16))
    a = np.kron(np.eye(families), NUCLEAR)
    h = np.kron(np.eye(families), np.ones((5, 5)) - np.eye(5))
    n = 5 * families
    x = np.column_stack([np.ones(n), rng.normal(size=n)])
    family = np.arange(n) // 5
    rows, cols = (family % 4) * 2 + np.arange(n) % 2, family // 4
    v = 0.4 * with_parents * a + 0.2 * h + 0.3 * np.exp(-np.hypot(rows[:, None] - rows, cols[:, None] - cols) / 3)
    y = x @ [1.0, 0.5] + np.linalg.cholesky(v + 0.6 * np.eye(n)) @ rng.normal(size=n)
    return [a, h] if with_parents else [h], rows, cols, x, y


def gls_loglik(v, x, y, reml):
    """ln L of y ~ N(x beta, v) at the GLS beta (with reml, of the error contrasts, including the
    ln det X'X term), the GLS beta and (X'V^-1 X)^-1, from the whole n-by-n covariance."""
    vi_x = np.linalg.solve(v, x)
    vi_y = np.linalg.solve(v, y)
    a = x.T @ vi_x
    beta = np.linalg.solve(a, x.T @ vi_y)
    r = y - x @ beta
    q = r @ np.linalg.solve(v, r)
    n, p = x.shape
    minus_two = np.linalg.slogdet(v)[1] + q + n * LOG_2PI
    if reml:
        minus_two += np.linalg.slogdet(a)[1] - np.linalg.slogdet(x.T @ x)[1] - p * LOG_2PI
    return -0.5 * minus_two, beta, np.linalg.inv(a)


def contrast_gls(v, x, y, reml):
    """gls_loglik through the error contrasts a (a'x = 0, a'a = I) under REML: with P = a (a'v a)^-1 a',
    x beta = y - v P y and x C x' = v - v P v. These need only a'v a regular, so they are also the
    limits where v is singular along x's span alone (a residual of 0 beside a relationship whose
    zero direction the design spans). Not a covariance (an eigenvalue below rounding of 0): -inf."""
    if np.linalg.eigvalsh(v)[0] < -1e-9 * np.abs(v).max():
        return -math.inf, None, None
    n, p = x.shape
    if not reml:
        c = linalg.cho_factor(v, lower=True)
        vx = linalg.cho_solve(c, x)
        cov = np.linalg.inv(x.T @ vx)
        beta = cov @ (vx.T @ y)
        r = y - x @ beta
        return -0.5 * (n * LOG_2PI + 2 * np.log(np.diag(c[0])).sum() + r @ linalg.cho_solve(c, r)), beta, cov
    a = np.linalg.qr(x, mode="complete")[0][:, p:]
    w = linalg.cho_factor(a.T @ v @ a, lower=True)
    wz = linalg.cho_solve(w, a.T @ y)
    back = np.linalg.pinv(x)
    vb = v @ back.T
    u = a.T @ vb
    loglik = -0.5 * ((n - p) * LOG_2PI + 2 * np.log(np.diag(w[0])).sum() + (a.T @ y) @ wz)
    return loglik, back @ (y - v @ (a @ wz)), back @ vb - u.T @ linalg.cho_solve(w, u)


MASK = (1 << 64) - 1


class SplitMix:
    """SplitMix64, its uniforms on (0, 1) and Box-Muller normals (one pair of uniforms each)."""

    def __init__(self, seed):
        self.state = seed

    def next(self):
        self.state = (self.state + 0x9E3779B97F4A7C15) & MASK
        z = self.state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
        return z ^ (z >> 31)

    def uniform(self):
        return ((self.next() >> 11) + 0.5) * 2.0 ** -53

    def normal(self):
        u1, u2 = self.uniform(), self.uniform()
        return math.sqrt(-2 * math.log(u1)) * math.cos(2 * math.pi * u2)
