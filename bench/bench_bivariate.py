"""Run from the repository root:

    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRUNE_BENCH=ON -DPython_EXECUTABLE=$(command -v python3)
    cmake --build build
    PYTHONPATH=build/python python3 bench/bench_bivariate.py [--families F] [--fit-families F] [--repeats R]

The two-trait model against a dense numpy route to the same value and gradient, in the same run.

Evaluation: one REML value with its gradient on 400 families of five with both traits measured
(4,000 measured values), against numpy forming the whole covariance cut from kron(K, G) +
kron(I, E), inverting it and taking the trace formula for the six derivatives.
Target: at least 50 times faster than numpy. Fit: the time of one bivariate_fit on 2,000
families of five (about 17,000 measured values with some missing), reported only.
"""

import pathlib
import sys

import numpy as np

from kestrune import _core

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))  # python -P leaves it off
from common import LOG_2PI, best_time, nuclear_families, parser  # noqa: E402

THETA = [1.3, 0.8, 0.4, 0.6, 0.3, -0.2]


def covariances(theta):
    v1, v2, h1, h2, rg, re = theta
    g1, g2, e1, e2 = v1 * h1, v2 * h2, v1 * (1 - h1), v2 * (1 - h2)
    return (np.array([[g1, rg * np.sqrt(g1 * g2)], [rg * np.sqrt(g1 * g2), g2]]),
            np.array([[e1, re * np.sqrt(e1 * e2)], [re * np.sqrt(e1 * e2), e2]]))


def data(families, missing, seed=1):
    rng = np.random.default_rng(seed)
    k = nuclear_families(families)
    n = len(k)
    observed = rng.random((n, 2)) >= missing
    observed[::7] = True
    mask = observed.reshape(-1)
    trait = np.tile([0, 1], n)[mask]
    g, e = covariances([1.0, 1.0, 0.5, 0.4, 0.4, 0.2])
    # Family by family: the sample's covariance is block diagonal.
    chol = np.linalg.cholesky(np.kron(k[:5, :5], g) + np.kron(np.eye(5), e))
    full = (chol @ rng.standard_normal((10, families))).T.reshape(-1)
    design = np.column_stack([trait == 0, trait == 1]).astype(float)
    y = full[mask] + design @ [1.0, -2.0]
    return k, [tuple(map(bool, row)) for row in observed], design, y, mask


def dense(k, mask, x, y, theta):
    """REML value and gradient over the whole sample."""
    def cov(t):
        g, e = covariances(t)
        return (np.kron(k, g) + np.kron(np.eye(len(k)), e))[np.ix_(mask, mask)]
    v = cov(np.asarray(theta, dtype=float))
    vi = np.linalg.inv(v)
    a = x.T @ vi @ x
    p = vi - vi @ x @ np.linalg.solve(a, x.T @ vi)
    py = p @ y
    value = 0.5 * (y @ py + np.linalg.slogdet(v)[1] + np.linalg.slogdet(a)[1]
                   - np.linalg.slogdet(x.T @ x)[1] + (len(y) - x.shape[1]) * LOG_2PI)
    gradient = []
    for i in range(6):
        step = np.array(theta, dtype=float)
        h = 1e-6 * max(abs(step[i]), 1.0)
        step[i] += h
        up = cov(step)
        step[i] -= 2 * h
        dv = (up - cov(step)) / (2 * h)
        gradient.append(0.5 * (np.sum(p * dv) - py @ dv @ py))
    return value, np.array(gradient)


def main():
    arguments = parser(__doc__)
    arguments.add_argument("--families", type=int, default=400)
    arguments.add_argument("--fit-families", type=int, default=2000)
    arguments.add_argument("--repeats", type=int, default=3)
    args = arguments.parse_args()

    k, observed, x, y, mask = data(args.families, missing=0.0)
    ours_time, (value, gradient) = best_time(lambda: _core.bivariate_objective(k, observed, x, y, THETA), args.repeats)
    numpy_time, (dense_value, dense_gradient) = best_time(lambda: dense(k, mask, x, y, THETA), 1)
    print(f"evaluation, {len(y)} measured values: ours {ours_time * 1e3:.2f} ms, numpy {numpy_time * 1e3:.0f} ms, "
          f"ratio {numpy_time / ours_time:.0f} (target 50)")
    print(f"  value difference {abs(value - dense_value):.2e}, "
          f"largest gradient difference {np.max(np.abs(np.array(gradient) - dense_gradient)):.2e}")

    k, observed, x, y, _ = data(args.fit_families, missing=0.15)
    fit_time, fit = best_time(lambda: _core.bivariate_fit(k, observed, x, y), 1)
    print(f"bivariate_fit, {args.fit_families} families ({len(y)} measured values): {fit_time:.2f} s, "
          f"estimates {[None if v is None else round(v, 4) for v in fit[0]]}")


if __name__ == "__main__":
    main()
