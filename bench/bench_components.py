"""Run from the repository root:

    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRUNE_BENCH=ON -DPython_EXECUTABLE=$(command -v python3)
    cmake --build build
    PYTHONPATH=build/python python3 bench/bench_components.py [--case families|large|inference] [--repeats R]

component_fit against a dense numpy route to the same estimate, in the same run.

Each case times one REML component_fit with two matrices (additive relationships and
households) and the numpy route: the likelihood through one Cholesky factor of the whole
n x n covariance, the scale profiled, Nelder-Mead over the two shares. Cases:
  families   2,000 people in 400 families of five: at least 50 times faster than numpy
  large     10,000 people in 2,000 families of five: component_fit alone (goal under 1 s)
  inference the families data: component_interval of the household share and
            component_contrasts of the two matrices (times only)
"""

import math
import pathlib
import sys

import numpy as np
from scipy import linalg, optimize

from kestrune import _core

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))  # python -P leaves it off
from common import LOG_2PI, best_time, nuclear_families, parser  # noqa: E402

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
    arguments.add_argument("--case", choices=["families", "large", "inference"], action="append")
    arguments.add_argument("--repeats", type=int, default=3)
    args = arguments.parse_args()
    cases = args.case or ["families", "large"]
    if "families" in cases:
        k, h, x, y = sample(400)
        ours, fit = best_time(lambda: _core.component_fit([k, h], x, y), args.repeats)
        dense, (shares, loglik) = best_time(lambda: dense_fit(k, h, x, y), 1)
        print(f"families  n=2000   component_fit {ours:.3f} s   numpy {dense:.3f} s   "
              f"speed-up {dense / ours:.0f}x (target 50x)")
        print(f"          shares {fit[1][0]:.6f} {fit[1][1]:.6f} vs {shares[0]:.6f} {shares[1]:.6f}; "
              f"loglik {fit[3]:.6f} vs {loglik:.6f}")
    if "large" in cases:
        k, h, x, y = sample(2000)
        ours, fit = best_time(lambda: _core.component_fit([k, h], x, y), args.repeats)
        print(f"large     n=10000  component_fit {ours:.3f} s (goal under 1 s); converged {fit[5]}")
    if "inference" in cases:
        k, h, x, y = sample(400)
        interval_time, found = best_time(lambda: _core.component_interval([k, h], x, y, 1), args.repeats)
        contrasts_time, rows = best_time(lambda: _core.component_contrasts([k, h], x, y, [0, 1]), args.repeats)
        print(f"inference n=2000   component_interval {interval_time:.3f} s {found[:2]}; "
              f"component_contrasts {contrasts_time:.3f} s")


if __name__ == "__main__":
    main()
