"""Run from the repository root:

    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRUNE_BENCH=ON -DPython_EXECUTABLE=$(command -v python3)
    cmake --build build
    PYTHONPATH=build/python python3 bench/bench_prepared.py [--case build|families|pedigree] [--repeats R]

PreparedModel against a dense numpy route to the same estimate, in the same run.

The families and pedigree cases time the construction plus one REML fit with its interval and
test, and the numpy route: one numpy.linalg.eigh of the whole relationship matrix, then the
same grid, golden-section search, interval bisection and test on the rotated data. Cases:
  build      PreparedModel(X, K) alone, 10,000 people in 2,000 families of five, against one
             numpy pass over K (k.sum()): at most 3 times that pass
  families   10,000 people in 2,000 families of five (two parents, three children)
  pedigree   3,000 people in one connected pedigree of several generations
Targets: families at least 50 times faster than numpy; pedigree no slower than 1.5 times.
"""

import math
import pathlib
import random
import sys

import numpy as np

from kestrune import _core

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))  # python -P leaves it off
from common import LOG_2PI, best_time, nuclear_families, parser  # noqa: E402

CUT = 3.841458820694124


# ---- data ----------------------------------------------------------------------------------


def connected_pedigree(people, founders=300, seed=1):
    """A closed population mating at random over generations; returns the relationship
    matrix by the tabular method, with every person in one pedigree."""
    rng = random.Random(seed)
    fathers, mothers = [None] * founders, [None] * founders
    generation = list(range(founders))
    while len(fathers) < people:
        rng.shuffle(generation)
        couples = list(zip(generation[0::2], generation[1::2]))
        children = []
        while len(children) < len(generation) and len(fathers) < people:
            father, mother = couples[len(children) % len(couples)]
            fathers.append(father)
            mothers.append(mother)
            children.append(len(fathers) - 1)
        generation = children
    a = np.zeros((people, people))
    for i in range(people):
        f, m = fathers[i], mothers[i]
        if f is None:
            a[i, i] = 1.0
            continue
        a[i, :i] = 0.5 * (a[f, :i] + a[m, :i])
        a[:i, i] = a[i, :i]
        a[i, i] = 1.0 + 0.5 * a[f, m]
    assert components(fathers, mothers) == 1, "the pedigree must be connected"
    return a


def components(fathers, mothers):
    parent = list(range(len(fathers)))

    def root(i):
        while parent[i] != i:
            parent[i] = parent[parent[i]]
            i = parent[i]
        return i

    for child, (f, m) in enumerate(zip(fathers, mothers)):
        for p in (f, m):
            if p is not None:
                parent[root(child)] = root(p)
    return len({root(i) for i in range(len(fathers))})


def response(k, seed, h2=0.4, family_size=None):
    """A design and a response with genetic values drawn through a Cholesky factor of k,
    family by family when k is block diagonal with blocks of family_size."""
    rng = np.random.default_rng(seed)
    n = k.shape[0]
    x = np.column_stack([np.ones(n), rng.normal(size=n), rng.integers(0, 2, n)])
    z = rng.normal(size=n)
    if family_size:
        factor = np.linalg.cholesky(k[:family_size, :family_size])
        genetic = (z.reshape(-1, family_size) @ factor.T).ravel()
    else:
        genetic = np.linalg.cholesky(k) @ z
    y = x @ [1.0, 0.3, -0.2] + math.sqrt(h2) * genetic + math.sqrt(1 - h2) * rng.normal(size=n)
    return x, y


# ---- the numpy route -------------------------------------------------------------------------


class DenseReml:
    """REML profile likelihood of y ~ N(xb, s2 (h k + (1 - h) I)) through one eigh of k."""

    def __init__(self, x, k, y):
        self.n, self.p = x.shape
        lam, u = np.linalg.eigh(k)
        self.lam = np.clip(lam, 0.0, None)
        self.ux = u.T @ x
        self.uy = u.T @ y
        self.logdet_xtx = np.linalg.slogdet(x.T @ x)[1]

    def loglik(self, h):
        v = h * (self.lam - 1.0) + 1.0
        if not np.all(v > 0.0):
            return -math.inf
        a = self.ux.T @ (self.ux / v[:, None])
        beta = np.linalg.solve(a, self.ux.T @ (self.uy / v))
        rss = float(np.sum((self.uy - self.ux @ beta) ** 2 / v))
        nu = self.n - self.p
        return -0.5 * (nu + nu * math.log(rss / nu) + float(np.sum(np.log(v))) + nu * LOG_2PI
                       + np.linalg.slogdet(a)[1] - self.logdet_xtx)


def dense_search(model):
    """The same grid, golden section, interval and test as the fit."""
    f = lambda h: -model.loglik(h)
    grid = [i / 32 for i in range(33)]
    values = [f(h) for h in grid]
    best = int(np.argmin(values))
    a, b = grid[max(best - 1, 0)], grid[min(best, 31) + 1]
    phi = 0.6180339887498948
    c, d = b - phi * (b - a), a + phi * (b - a)
    fc, fd = f(c), f(d)
    while b - a > 1e-9:
        if fc < fd:
            b, d, fd = d, c, fc
            c = b - phi * (b - a)
            fc = f(c)
        else:
            a, c, fc = c, d, fd
            d = a + phi * (b - a)
            fd = f(d)
    h = (a + b) / 2 if f((a + b) / 2) < values[best] else grid[best]
    h = 0.0 if h <= 1e-12 else (1.0 if h >= 0.9999999 else h)
    reference = model.loglik(h)

    def side(bound):
        if 2 * (reference - model.loglik(bound)) <= CUT:
            return bound
        inside, outside = h, bound
        while abs(outside - inside) > 1e-9:
            mid = (inside + outside) / 2
            if 2 * (reference - model.loglik(mid)) <= CUT:
                inside = mid
            else:
                outside = mid
        return (inside + outside) / 2

    statistic = max(2 * (reference - model.loglik(0.0)), 0.0)
    return h, reference, (side(0.0), side(1.0)), statistic


# ---- timing ----------------------------------------------------------------------------------


def bench(name, k, repeats, target, family_size=None):
    x, y = response(k, seed=2, family_size=family_size)
    ours_time, fit = best_time(lambda: _core.PreparedModel(x, k).fit(y, "reml"), repeats)
    numpy_time, (h, loglik, (lower, upper), statistic) = best_time(
        lambda: dense_search(DenseReml(x, k, y)), repeats)
    ratio = numpy_time / ours_time
    print(f"{name:<10}{k.shape[0]:>7}{ours_time:>12.3f}{numpy_time:>12.3f}{ratio:>10.1f}x"
          f"   target {target}")
    print(f"{'':<10}h2 {fit['h2']:.9f} vs {h:.9f}; loglik {fit['loglik']:.9f} vs {loglik:.9f}; "
          f"interval [{fit['interval']['lower']:.6f}, {fit['interval']['upper']:.6f}] vs "
          f"[{lower:.6f}, {upper:.6f}]; statistic {fit['test']['statistic']:.6f} vs {statistic:.6f}")
    return ratio


def main():
    arguments = parser(__doc__)
    arguments.add_argument("--case", choices=["build", "families", "pedigree"], action="append")
    arguments.add_argument("--repeats", type=int, default=3)
    args = arguments.parse_args()
    cases = args.case or ["build", "families", "pedigree"]
    if "build" in cases:
        k = nuclear_families(2000)
        x, _ = response(k, seed=2, family_size=5)
        one_pass, _ = best_time(lambda: k.sum(), args.repeats)
        ours, _ = best_time(lambda: _core.PreparedModel(x, k), args.repeats)
        print(f"build     n={k.shape[0]}  PreparedModel(X, K) {ours:.3f} s = {ours / one_pass:.1f}x one numpy pass "
              f"over K ({one_pass:.3f} s; target <= 3x)")
        del k
    if cases == ["build"]:
        return
    print(f"{'case':<10}{'n':>7}{'kestrune s':>12}{'numpy s':>12}{'speed-up':>11}")
    if "families" in cases:
        # The numpy route's eigh of order 10,000 takes minutes: one run each.
        bench("families", nuclear_families(2000), 1, ">= 50x", family_size=5)
    if "pedigree" in cases:
        bench("pedigree", connected_pedigree(3000), args.repeats, ">= 0.67x (no slower than 1.5x)")


if __name__ == "__main__":
    main()
