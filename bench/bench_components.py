"""Run from the repository root:

    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRUNE_BENCH=ON -DPython_EXECUTABLE=$(command -v python3)
    cmake --build build
    PYTHONPATH=build/python python3 bench/bench_components.py [--case families|large|larger|inference] [--repeats R]

component_fit against a dense numpy route to the same estimate, in the same run.

Each case times one REML component_fit with two matrices (additive relationships and
households). Cases:
  families   2,000 people in 400 families of five, against the numpy route: the likelihood
             through one Cholesky factor of the whole n x n covariance, the scale profiled,
             Nelder-Mead over the two shares: at least 50 times faster than numpy
  large     10,000 people in 2,000 families of five, against one numpy pass over K and H
             (k.sum() and h.sum()): at most 10 times that pass, and the call's peak memory
             at most 10% of the two matrices above what was resident before it
  larger    20,000 people in 4,000 families (the two matrices take 6.4 GB): at most 5 times
             the large case's time, the same memory target
  inference the families data: component_interval of the household share and
            component_contrasts of the two matrices (times only)
The default runs families, large and larger.
"""

import math
import pathlib
import sys

import numpy as np
from scipy import linalg, optimize

from kestrune import _core

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))  # python -P leaves it off
from common import LOG_2PI, best_time, nuclear_families, parser, peak_growth  # noqa: E402

# Two unrelated parents and three children; the parents and the first child share a household.
ADDITIVE = nuclear_families(1)
HOUSEHOLD = np.kron(np.diag([1.0, 0.0]), np.ones((3, 3)))[:5, :5] + np.diag([0, 0, 0, 1.0, 1.0])


def sample(families, seed=2):
    rng = np.random.default_rng(seed)
    n = 5 * families
    k = nuclear_families(families)
    h = np.kron(np.eye(families), HOUSEHOLD)
    x = np.column_stack([np.ones(n), rng.normal(size=n), rng.integers(0, 2, n)])
    factor = np.linalg.cholesky(0.4 * ADDITIVE + 0.2 * HOUSEHOLD + 0.4 * np.eye(5))
    y = x @ [1.0, 0.3, -0.2] + (rng.normal(size=(families, 5)) @ factor.T).ravel()
    return k, h, x, y


def dense_fit(k, h, x, y):
    """REML by Nelder-Mead over the shares, the scale profiled, one dense Cholesky each time."""
    n, p = x.shape
    logdet_xtx = np.linalg.slogdet(x.T @ x)[1]
    eye = np.eye(n)

    def minus_loglik(shares):
        a, b = shares
        if a < 0.0 or b < 0.0 or a + b >= 1.0:
            return 1e10
        chol = linalg.cho_factor(a * k + b * h + (1.0 - a - b) * eye, lower=True)
        vx, vy = linalg.cho_solve(chol, x), linalg.cho_solve(chol, y)
        xvx = x.T @ vx
        beta = np.linalg.solve(xvx, x.T @ vy)
        ypy = float(y @ vy - (x.T @ vy) @ beta)
        nu = n - p
        logdet_v = 2.0 * float(np.sum(np.log(np.diag(chol[0]))))
        return 0.5 * (nu + nu * math.log(ypy / nu) + logdet_v + nu * LOG_2PI
                      + np.linalg.slogdet(xvx)[1] - logdet_xtx)

    best = optimize.minimize(minus_loglik, [0.3, 0.2], method="Nelder-Mead",
                             options={"xatol": 1e-6, "fatol": 1e-8})
    return best.x, -best.fun


def main():
    arguments = parser(__doc__)
    arguments.add_argument("--case", choices=["families", "large", "larger", "inference"], action="append")
    arguments.add_argument("--repeats", type=int, default=3)
    args = arguments.parse_args()
    cases = args.case or ["families", "large", "larger"]
    if "families" in cases:
        k, h, x, y = sample(400)
        ours, fit = best_time(lambda: _core.component_fit([k, h], x, y), args.repeats)
        dense, (shares, loglik) = best_time(lambda: dense_fit(k, h, x, y), 1)
        print(f"families  n=2000   component_fit {ours:.3f} s   numpy {dense:.3f} s   "
              f"speed-up {dense / ours:.0f}x (target 50x)")
        print(f"          shares {fit[1][0]:.6f} {fit[1][1]:.6f} vs {shares[0]:.6f} {shares[1]:.6f}; "
              f"loglik {fit[3]:.6f} vs {loglik:.6f}")
    large_time = None
    for case, families in (("large", 2000), ("larger", 4000)):
        if case not in cases:
            continue
        k, h, x, y = sample(families)
        one_pass, _ = best_time(lambda: (k.sum(), h.sum()), args.repeats)
        fit, growth = peak_growth(lambda: _core.component_fit([k, h], x, y))
        ours, _ = best_time(lambda: _core.component_fit([k, h], x, y), args.repeats)
        share = growth / (k.nbytes + h.nbytes)
        print(f"{case:<9} n={5 * families:<6} component_fit {ours:.3f} s = {ours / one_pass:.1f}x one numpy pass "
              f"over K and H ({one_pass:.3f} s; target <= 10x); peak memory +{growth / 1e6:.0f} MB = "
              f"{100 * share:.1f}% of the inputs (target <= 10%); converged {fit[5]}")
        if case == "large":
            large_time = ours
        elif large_time is not None:
            print(f"{'':<9} {ours / large_time:.1f}x the 10,000-person time (target <= 5x)")
        del k, h
    if "inference" in cases:
        k, h, x, y = sample(400)
        interval_time, found = best_time(lambda: _core.component_interval([k, h], x, y, 1), args.repeats)
        contrasts_time, rows = best_time(lambda: _core.component_contrasts([k, h], x, y, [0, 1]), args.repeats)
        print(f"inference n=2000   component_interval {interval_time:.3f} s {found[:2]}; "
              f"component_contrasts {contrasts_time:.3f} s")


if __name__ == "__main__":
    main()
