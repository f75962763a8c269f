"""Run from the repository root:

    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRUNE_BENCH=ON -DPython_EXECUTABLE=$(command -v python3)
    cmake --build build
    PYTHONPATH=build/python python3 bench/bench_autoregressive.py --build build [--side 40] [--per-cell 1] [--repeats 3]

autoregressive_fit on a 40 x 40 grid (1,600 people, one kinship matrix of families of
four), and one value-and-gradient evaluation of the same REML objective timed twice in the
same run: natively (bench/autoregressive_evaluate.cpp, warm workspace) and by the dense numpy
route, with the ratio and the largest relative difference between the two. With --per-cell
K, K people share each cell (K x 1,600 people), and the model works through its cells.

A fit makes many evaluations (ten starts); the last line says how many evaluations of each
kind the whole fit costs, the yardstick for the per-cell gradient and the shared factor.
"""

import math
import pathlib
import sys

import numpy as np

from kestrune import _core

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))  # python -P leaves it off
from common import LOG_2PI, add_build, best_time, parser, run_native  # noqa: E402


def problem(side, per_cell=1, seed=1):
    rng = np.random.default_rng(seed)
    n = side * side * per_cell
    rows = [i % side for i in range(n)]
    cols = [i // side % side for i in range(n)]
    k = np.eye(n)
    for start in range(0, n, 4):
        k[start:start + 4, start:start + 4] += 0.5 * (1 - np.eye(4))
    x = np.column_stack([np.ones(n), rng.normal(size=n)])
    row, col = np.array(rows), np.array(cols)
    r = 0.8 ** np.abs(row[:, None] - row[None, :]) * 0.6 ** np.abs(col[:, None] - col[None, :])
    v = 0.5 * k + 1.0 * r + 0.5 * np.eye(n)
    y = x @ [1.0, 0.3] + np.linalg.cholesky(v) @ rng.normal(size=n)
    return k, rows, cols, x, y


def numpy_evaluation(theta, k, rows, cols, x, y):
    """REML value (the negative restricted log-likelihood) and gradient by dense numpy algebra
    over all n x n entries."""
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
    n, p = x.shape
    value = 0.5 * (np.linalg.slogdet(v)[1] + np.linalg.slogdet(a)[1] + y @ py
                   + (n - p) * LOG_2PI - np.linalg.slogdet(x.T @ x)[1])
    d_row = c_ar * np.where(dr > 0, dr * rho_r ** np.maximum(dr - 1, 0), 0) * rho_c**dc
    d_col = c_ar * rho_r**dr * np.where(dc > 0, dc * rho_c ** np.maximum(dc - 1, 0), 0)
    gradient = [0.5 * (np.sum(vinv * m) - py @ m @ py - np.trace(a_inv @ vinv_x.T @ m @ vinv_x))
                for m in (k, r, np.eye(len(y)), d_row, d_col)]
    return value, gradient


def main():
    arguments = parser(__doc__)
    add_build(arguments)
    arguments.add_argument("--side", type=int, default=40)
    arguments.add_argument("--per-cell", type=int, default=1)
    arguments.add_argument("--repeats", type=int, default=3)
    args = arguments.parse_args()
    k, rows, cols, x, y = problem(args.side, args.per_cell)
    fit_time, _ = best_time(lambda: _core.autoregressive_fit([k], rows, cols, x, y), args.repeats)
    theta = (0.5 / np.var(y), 1.0 / np.var(y), 0.5 / np.var(y), 0.8, 0.6)
    scaled = y / math.sqrt(np.var(y))
    eval_time, (value, gradient) = best_time(lambda: numpy_evaluation(theta, k, rows, cols, x, scaled), args.repeats)
    native = run_native(args.build, "autoregressive_evaluate",
                        {"kinship": k, "row": np.array(rows, np.int64), "column": np.array(cols, np.int64),
                         "design": x, "y": scaled, "theta": theta}, args.repeats)
    ours, reference = np.array([native["value"], *native["gradient"]]), np.array([value, *gradient])
    difference = np.max(np.abs(ours - reference) / np.abs(reference))
    print(f"{args.side} x {args.side} grid, {len(y)} people ({args.per_cell} per cell)")
    print(f"autoregressive_fit (REML, ten starts):        {fit_time:8.3f} s")
    print(f"one value-and-gradient evaluation: native {native['seconds'] * 1e3:.1f} ms, numpy {eval_time * 1e3:.1f} ms, "
          f"ratio {eval_time / native['seconds']:.1f}x")
    print(f"  native against numpy, value and gradient: max relative difference {difference:.1e}")
    print(f"the fit costs as much as {fit_time / eval_time:.1f} numpy evaluations, "
          f"{fit_time / native['seconds']:.0f} native ones")


if __name__ == "__main__":
    main()
