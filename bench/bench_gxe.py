"""Run from the repository root:

    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRUNE_BENCH=ON -DPython_EXECUTABLE=$(command -v python3)
    cmake --build build
    PYTHONPATH=build/python python3 bench/bench_gxe.py --build build [--repeats R]

GxeModel's block likelihood against a dense numpy route to the same value and gradient.

One evaluation of the REML objective with its six-slot gradient on 400 families of five
(2,000 people), timed natively (bench/gxe_evaluate.cpp) and by numpy on the whole
2,000 x 2,000 covariance, in the same run; the two must agree. Target: at least 50 times
faster. Then gxe_fit is timed on 2,000 families (10,000 people) and reported.
"""

import math
import pathlib
import sys

import numpy as np

from kestrune import _core

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))  # python -P leaves it off
from common import LOG_2PI, NUCLEAR, add_build, best_time, nuclear_families, parser, run_native  # noqa: E402

EXPONENTIAL = 4
THETA = np.array([-0.4, 0.3, 0.7, -0.2, -0.25, 0.0])


def data(families, seed=5):
    rng = np.random.default_rng(seed)
    n = 5 * families
    k = nuclear_families(families)
    env = rng.uniform(-1.0, 1.0, n)
    x = np.column_stack([np.ones(n), rng.normal(size=n)])
    y = x @ [1.0, 0.4] + (rng.normal(size=(families, 5)) @ np.linalg.cholesky(NUCLEAR).T).ravel() + rng.normal(size=n)
    return k, env, x, y


def dense_value_and_gradient(k, env, x, y, t):
    """The exponential surface's REML objective and gradient on the whole covariance."""
    n, p = x.shape
    half = np.exp((t[0] + t[1] * env) / 2)
    distance = np.abs(env[:, None] - env[None, :])
    g = k * np.outer(half, half) * np.exp(-t[2] * distance)
    r = np.exp(t[3] + t[4] * env)
    v = g + np.diag(r)
    c = np.linalg.cholesky(v)
    vi = np.linalg.inv(v)
    vi_x = vi @ x
    a = x.T @ vi_x
    a_inv = np.linalg.inv(a)
    beta = a_inv @ (x.T @ (vi @ y))
    resid = vi @ (y - x @ beta)
    quad = (y - x @ beta) @ resid
    value = 0.5 * (quad + 2 * np.log(np.diag(c)).sum() + n * LOG_2PI)
    value += 0.5 * (np.linalg.slogdet(a)[1] - np.linalg.slogdet(x.T @ x)[1]) - p / 2 * LOG_2PI
    derivatives = [g, g * (env[:, None] + env[None, :]) / 2, -g * distance, np.diag(r), np.diag(env * r)]
    gradient = [0.5 * (np.sum(vi * d) - resid @ d @ resid) - 0.5 * np.sum(a_inv * (vi_x.T @ d @ vi_x))
                for d in derivatives]
    return value, np.array(gradient + [0.0])


def evaluation(build, repeats):
    k, env, x, y = data(400)
    native = run_native(build, "gxe_evaluate", {"relationship": k, "environment": env, "design": x, "y": y,
                                                "theta": THETA}, repeats, EXPONENTIAL, 1)
    ours_value, ours_gradient, ours_time = native["value"], np.array(native["gradient"]), native["seconds"]
    numpy_time, (value, gradient) = best_time(lambda: dense_value_and_gradient(k, env, x, y, THETA), repeats)
    assert math.isclose(ours_value, value, rel_tol=1e-10), (ours_value, value)
    np.testing.assert_allclose(ours_gradient, gradient, rtol=1e-7, atol=1e-9)
    print(f"evaluation with gradient, 400 families of five: kestrune {ours_time * 1e3:.3f} ms, "
          f"numpy {numpy_time * 1e3:.1f} ms, speed-up {numpy_time / ours_time:.0f}x (target 50x)")
    print(f"  objective {ours_value:.10f} vs {value:.10f}")


def fit(families):
    k, env, x, y = data(families)
    took, result = best_time(lambda: _core.gxe_fit(k, env, x, y, "exponential", [-1.0, 0.0, 1.0]), 1)
    print(f"gxe_fit, {families} families of five (exponential, REML): {took:.2f} s, loglik {result[1]:.6f}, "
          f"converged {result[2]}")


def main():
    arguments = parser(__doc__)
    add_build(arguments)
    arguments.add_argument("--repeats", type=int, default=3)
    args = arguments.parse_args()
    evaluation(args.build, args.repeats)
    fit(2000)


if __name__ == "__main__":
    main()
