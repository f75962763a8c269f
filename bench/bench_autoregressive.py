"""autoregressive_fit on a 40 x 40 grid (1,600 people, one kinship matrix of families of
four), beside the dense numpy route to one value-and-gradient evaluation of the same REML
objective in the same run.

A fit makes many evaluations (ten starts); the last line says how many numpy evaluations
the whole fit costs, the yardstick for the per-cell gradient and the shared factor.

    python bench/bench_autoregressive.py [--side 40] [--repeats 3]
"""

import argparse
import math
import time

import numpy as np

from kestrune import _core


def problem(side, seed=1):
    rng = np.random.default_rng(seed)
    n = side * side
    rows = [i % side for i in range(n)]
    cols = [i // side for i in range(n)]
    k = np.eye(n)
    for start in range(0, n, 4):
        k[start:start + 4, start:start + 4] += 0.5 * (1 - np.eye(4))
    x = np.column_stack([np.ones(n), rng.normal(size=n)])
    r = np.fromfunction(lambda a, b: 0.8 ** np.abs(a % side - b % side) * 0.6 ** np.abs(a // side - b // side),
                        (n, n))
    v = 0.5 * k + 1.0 * r + 0.5 * np.eye(n)
    y = x @ [1.0, 0.3] + np.linalg.cholesky(v) @ rng.normal(size=n)
    return k, rows, cols, x, y


def numpy_evaluation(theta, k, rows, cols, x, y):
    """REML value and gradient by dense numpy algebra over all n x n entries."""
    rows, cols = np.asarray(rows, float), np.asarray(cols, float)
    dr = np.abs(rows[:, None] - rows[None, :])
    dc = np.abs(cols[:, None] - cols[None, :])
    c_k, c_ar, c_res, rho_r, rho_c = theta
    r = rho_r**dr * rho_c**dc
    v = c_k * k + c_ar * r + c_res * np.eye(len(y))
    vinv = np.linalg.inv(v)
    vinv_x = vinv @ x
    a = x.T @ vinv_x
    a_inv = np.linalg.inv(a)
    py = vinv @ y - vinv_x @ (a_inv @ (x.T @ vinv @ y))
    value = 0.5 * (np.linalg.slogdet(v)[1] + np.linalg.slogdet(a)[1] + y @ py)
    d_row = c_ar * np.where(dr > 0, dr * rho_r ** np.maximum(dr - 1, 0), 0) * rho_c**dc
    d_col = c_ar * rho_r**dr * np.where(dc > 0, dc * rho_c ** np.maximum(dc - 1, 0), 0)
    gradient = [0.5 * (np.sum(vinv * m) - py @ m @ py - np.trace(a_inv @ vinv_x.T @ m @ vinv_x))
                for m in (k, r, np.eye(len(y)), d_row, d_col)]
    return value, gradient


def best_of(repeats, call):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--side", type=int, default=40)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    k, rows, cols, x, y = problem(args.side)
    fit_time = best_of(args.repeats, lambda: _core.autoregressive_fit([k], rows, cols, x, y))
    theta = (0.5 / np.var(y), 1.0 / np.var(y), 0.5 / np.var(y), 0.8, 0.6)
    eval_time = best_of(args.repeats, lambda: numpy_evaluation(theta, k, rows, cols, x, y / math.sqrt(np.var(y))))
    print(f"{args.side} x {args.side} grid, {len(y)} people")
    print(f"autoregressive_fit (REML, ten starts):        {fit_time:8.3f} s")
    print(f"numpy, one value-and-gradient evaluation:     {eval_time:8.3f} s")
    print(f"the fit costs as much as {fit_time / eval_time:.1f} numpy evaluations")


if __name__ == "__main__":
    main()
