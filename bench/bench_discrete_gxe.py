"""Run from the repository root:

    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRUNE_BENCH=ON -DPython_EXECUTABLE=$(command -v python3)
    cmake --build build
    PYTHONPATH=build/python python3 bench/bench_discrete_gxe.py --build build [--repeats R]

The two-environment likelihood against a dense numpy route to the same value and gradient,
in the same run, and the time of a whole fit.

  evaluate  one evaluation with its five derivatives on 400 families of five (n = 2,000): the
            model's family-by-family route (bench/discrete_gxe_evaluate.cpp) against numpy on
            the whole n-by-n covariance. Target: at least 50 times faster, with the same value
            and gradient.
  fit       discrete_gxe_fit on 2,000 families of five (n = 10,000); reported only.
"""

import pathlib
import sys

import numpy as np

from kestrune import _core

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))  # python -P leaves it off
from common import LOG_2PI, add_build, best_time, nuclear_families, parser, run_native  # noqa: E402

AT = (0.8, 1.1, 0.7, 0.6, 0.4)


def data(families, seed=5):
    rng = np.random.default_rng(seed)
    n = 5 * families
    k = nuclear_families(families)
    env = np.tile([1.0, 2.0, 1.0, 2.0, 1.0], families)
    x = np.column_stack([np.ones(n), rng.normal(size=n)])
    y = x @ [1.0, 0.5] + rng.normal(size=n) * 1.3
    return k, env, x, y


def dense(k, env, x, y, sds, reml):
    """Value and gradient from the whole covariance: one Cholesky, the inverse, five n-by-n derivatives."""
    g1, g2, e1, e2, rho = sds
    first = env == env.min()
    s = np.where(first, g1, g2)
    same = first[:, None] == first[None, :]
    c = np.where(same, 1.0, rho)
    v = k * np.outer(s, s) * c + np.diag(np.where(first, e1, e2) ** 2)
    chol = np.linalg.cholesky(v)
    v_inv = np.linalg.inv(v)
    w_x = v_inv @ x
    a = x.T @ w_x
    beta = np.linalg.solve(a, x.T @ (v_inv @ y))
    w = v_inv @ (y - x @ beta)
    q = (y - x @ beta) @ w
    n, p = x.shape
    objective = 0.5 * (q + 2 * np.log(np.diag(chol)).sum() + n * LOG_2PI)
    if reml:
        objective += 0.5 * (np.linalg.slogdet(a)[1] - np.linalg.slogdet(x.T @ x)[1]) - p / 2 * LOG_2PI
    a_inv = np.linalg.inv(a)
    g1_side, g2_side = first.astype(float), (~first).astype(float)
    derivatives = [
        k * c * (np.outer(s, g1_side) + np.outer(g1_side, s)),
        k * c * (np.outer(s, g2_side) + np.outer(g2_side, s)),
        np.diag(2 * e1 * g1_side),
        np.diag(2 * e2 * g2_side),
        np.where(same, 0.0, k * np.outer(s, s)),
    ]
    gradient = []
    for dv in derivatives:
        term = np.sum(v_inv * dv) - w @ dv @ w
        if reml:
            term -= np.sum(a_inv * (w_x.T @ dv @ w_x))
        gradient.append(0.5 * term)
    return objective, np.array(gradient)


def bench_evaluate(build, repeats):
    k, env, x, y = data(400)
    native = run_native(build, "discrete_gxe_evaluate", {"relationship": k, "environment": env, "design": x, "y": y,
                                                         "parameters": AT}, repeats, 1)
    value, gradient, ours = native["value"], np.array(native["gradient"]), native["seconds"]
    theirs, reference = best_time(lambda: dense(k, env, x, y, AT, True), repeats // 20)
    print(f"evaluate: value {value:.10f} (numpy {reference[0]:.10f}), "
          f"largest gradient difference {np.max(np.abs(gradient - reference[1])):.2e}")
    print(f"evaluate: {ours * 1e3:.3f} ms against numpy {theirs * 1e3:.1f} ms: {theirs / ours:.0f} times faster "
          f"(target 50)")


def bench_fit():
    k, env, x, y = data(2000)
    took, fit = best_time(lambda: _core.discrete_gxe_fit(k, env, x, y), 1)
    print(f"fit: 2,000 families of five in {took:.2f} s (converged {fit[7]})")


def main():
    arguments = parser(__doc__)
    add_build(arguments)
    arguments.add_argument("--repeats", type=int, default=200)
    args = arguments.parse_args()
    bench_evaluate(args.build, args.repeats)
    bench_fit()


if __name__ == "__main__":
    main()
