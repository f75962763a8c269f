"""Run from the repository root:

    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRUNE_BENCH=ON -DPython_EXECUTABLE=$(command -v python3)
    cmake --build build
    PYTHONPATH=build/python python3 bench/bench_spatial.py --build build [--case evaluation|fit|inference] [--repeats R]

The spatial model against a dense numpy route, in the same run.

evaluation  one REML value-and-gradient evaluation on 1,000 people at 200 sites with one
            kinship matrix, against numpy/scipy: Cholesky, the inverse by cho_solve, and an
            n x n trace per coordinate. Target: at least 2 times faster. The C++ side is
            bench/spatial_timing.cpp.
fit         2,000 people at 400 sites, families of four, everything on one thread:
            spatial_fit (REML), timed from Python; the same count in one-thread Cholesky
            factors of the n x n covariance (target: at most 10 s and at most 100 factors);
            one value-and-gradient evaluation through the sites against the dense route
            (both native, bench/spatial_timing.cpp) and against the dense numpy route.
inference   on 300 people at 60 sites: a 20-replicate spatial_bootstrap (time per
            replicate) and a decay-rate spatial_interval, with the time of one held refit
            from spatial_timing.cpp. The model is built once per call and every refit reuses
            one workspace (tests/cpp/spatial/test_allocation.cpp counts the allocations).
"""

import json
import os
import pathlib
import subprocess
import sys

import numpy as np
from scipy import linalg

from kestrune import _core

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))  # python -P leaves it off
from common import LOG_2PI, add_build, best_time, median_time, parser, run_native  # noqa: E402


def sample(n, sites, seed=1):
    """People at sites from coordinates, families of four, design [1, x]."""
    rng = np.random.default_rng(seed)
    lat, lon = rng.uniform(50, 55, sites), rng.uniform(-3, 2, sites)
    site = np.concatenate([np.arange(sites), rng.integers(0, sites, n - sites)])
    distance = np.array(_core.spatial_distances(lat[site], lon[site]))
    k = np.eye(n)
    for start in range(0, n, 4):
        block = slice(start, min(n, start + 4))
        k[block, block] = np.where(np.eye(k[block, block].shape[0]) == 1, 1.0, 0.5)
    x = np.column_stack([np.ones(n), rng.normal(size=n)])
    v = 0.4 * k + 0.5 * np.exp(-distance / 80) + 0.4 * np.eye(n)
    y = x @ [1.0, 0.3] + np.linalg.cholesky(v) @ rng.normal(size=n)
    return k, distance, x, y


def numpy_evaluation(theta, k, distance, x, y):
    """-l_R and its gradient through the dense route."""
    n, p = x.shape
    c_k, c_s, c_e, lam = theta
    kernel = np.exp(-lam * distance)
    v = c_k * k + c_s * kernel + c_e * np.eye(n)
    chol = linalg.cho_factor(v, lower=True)
    vinv = linalg.cho_solve(chol, np.eye(n))
    z = linalg.cho_solve(chol, y)
    b = linalg.cho_solve(chol, x)
    c = x.T @ b
    cinv = np.linalg.inv(c)
    beta = cinv @ (x.T @ z)
    q = y @ z - (x.T @ z) @ beta
    logdet = 2 * np.sum(np.log(np.diag(chol[0])))
    value = 0.5 * ((n - p) * LOG_2PI + logdet + np.linalg.slogdet(c)[1] - np.linalg.slogdet(x.T @ x)[1] + q)
    r = z - b @ beta
    gradient = []
    for vdot in (k, kernel, np.eye(n), -c_s * distance * kernel):
        t = np.sum(vdot * vinv)
        gradient.append(0.5 * (t - r @ vdot @ r) - 0.5 * np.trace(cinv @ (b.T @ (vdot @ b))))
    return value, np.array(gradient)


def run_timing(build, mode, repeats, k, distance, x, y, theta=None):
    arrays = {"kinship": k, "distance": distance, "design": x, "y": y}
    if theta is not None:
        arrays["theta"] = theta
    return run_native(build, "spatial_timing", arrays, repeats, mode)


def evaluation_case(build, repeats):
    k, distance, x, y = sample(1000, 200)
    theta = np.array([0.4, 0.5, 0.4, 1 / 80])
    native = run_timing(build, "evaluation", repeats, k, distance, x, y, theta)
    ours, value, gradient = native["seconds"], native["value"], np.array(native["gradient"])
    reference, (ref_value, ref_gradient) = median_time(lambda: numpy_evaluation(theta, k, distance, x, y), repeats)
    print(f"evaluation n=1000 sites=200: kestrune {ours * 1e3:.1f} ms, numpy {reference * 1e3:.1f} ms, "
          f"ratio {reference / ours:.2f}x (target >= 2)")
    print(f"  value agrees to {abs(value - ref_value) / abs(ref_value):.1e}, "
          f"gradient to {np.max(np.abs(gradient - ref_gradient)) / np.max(np.abs(ref_gradient)):.1e}")


ONE_THREAD = {"RAYON_NUM_THREADS": "1", "OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1"}
THETA = np.array([0.4, 0.5, 0.4, 1 / 80])


def one_thread_timings(n, sites, repeats):
    """Run in a child whose thread pools were sized to one before numpy and _core loaded:
    spatial_fit and one numpy evaluation, as JSON."""
    k, distance, x, y = sample(n, sites)
    took, fit = best_time(lambda: _core.spatial_fit([k], distance, x, y), 1)
    numpy_took, (value, _) = median_time(lambda: numpy_evaluation(THETA, k, distance, x, y), repeats)
    return json.dumps({"fit_seconds": took, "converged": fit[7], "loglik": fit[5], "numpy_seconds": numpy_took,
                       "numpy_value": value})


def fit_case(build, repeats, n=2000, sites=400):
    here = pathlib.Path(__file__).resolve().parent
    code = (f"import sys; sys.path.insert(0, {str(here)!r}); import bench_spatial as b; "
            f"print(b.one_thread_timings({n}, {sites}, {repeats}))")
    child = subprocess.run([sys.executable, "-P", "-c", code], env={**os.environ, **ONE_THREAD}, check=True,
                           stdout=subprocess.PIPE, text=True)
    python = json.loads(child.stdout.splitlines()[-1])
    k, distance, x, y = sample(n, sites)
    native = run_timing(build, "sites", repeats, k, distance, x, y, THETA)
    fit, factor = python["fit_seconds"], native["factor_seconds"]
    place, dense = native["place_seconds"], native["dense_seconds"]
    gradient_gap = np.max(np.abs(np.subtract(native["place_gradient"], native["dense_gradient"]))
                          / np.maximum(1.0, np.abs(native["dense_gradient"])))
    print(f"spatial_fit n={n} sites={sites}, one thread: {fit:.2f} s (target <= 10 s), converged {python['converged']}")
    print(f"  = {fit / factor:.0f} one-thread Cholesky factors of order {n} ({factor * 1e3:.0f} ms each; "
          f"target <= 100)")
    print(f"  one evaluation: through the sites {place * 1e3:.1f} ms, dense route {dense * 1e3:.1f} ms "
          f"(old/new {dense / place:.1f}x), dense numpy {python['numpy_seconds'] * 1e3:.1f} ms "
          f"({python['numpy_seconds'] / place:.1f}x)")
    value_gap = abs(native["place_value"] - native["dense_value"]) / abs(native["dense_value"])
    numpy_gap = abs(native["place_value"] - python["numpy_value"]) / abs(python["numpy_value"])
    print(f"  the routes agree: value to {value_gap:.1e} (numpy {numpy_gap:.1e}), "
          f"gradient to {gradient_gap:.1e}; fit log-likelihood {python['loglik']:.6f} "
          f"(native fit {native['fit_seconds']:.2f} s)")


def inference_case(build, repeats):
    k, distance, x, y = sample(300, 60)
    one_statistic, statistic = best_time(lambda: _core.spatial_statistic([k], distance, x, y), 1)
    bootstrap, record = best_time(lambda: _core.spatial_bootstrap([k], distance, x, y, 20, 1), 1)
    print(f"bootstrap n=300 sites=60 B=20: {bootstrap:.2f} s, {(bootstrap - one_statistic) / 20:.3f} s per replicate "
          f"(the observed statistic alone {one_statistic:.3f} s); statistic {statistic:.3f}, p {record[4]:.3f}")
    elapsed, interval = best_time(lambda: _core.spatial_interval([k], distance, x, y, "lambda"), 1)
    refits = run_timing(build, "refit", max(repeats, 10), k, distance, x, y)
    print(f"decay interval n=300 sites=60: {elapsed:.2f} s, ends {interval[1]:.5f} .. {interval[2]:.5f}; "
          f"one held refit {refits['seconds'] * 1e3:.1f} ms ({refits['failed']:.0f} of {max(repeats, 10)} failed)")


def main():
    arguments = parser(__doc__)
    add_build(arguments)
    arguments.add_argument("--case", choices=["evaluation", "fit", "inference"])
    arguments.add_argument("--repeats", type=int, default=5)
    args = arguments.parse_args()
    if args.case in (None, "evaluation"):
        evaluation_case(args.build, args.repeats)
    if args.case in (None, "inference"):
        inference_case(args.build, args.repeats)
    if args.case in (None, "fit"):
        fit_case(args.build, args.repeats)


if __name__ == "__main__":
    main()
