"""Run from the repository root:

    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRUNE_BENCH=ON -DPython_EXECUTABLE=$(command -v python3)
    cmake --build build
    PYTHONPATH=build/python python3 bench/bench_components.py [--case families|large|larger|inference|dense|dense-large]
        [--repeats R] [--build build] [--people N ...]

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
  dense     1,410 people in one dense block: a genomic relationship K = WW'/3,000 of centred
            simulated genotypes and a second one from 1,000 other markers. One REML
            component_fit (four starts) in a fresh process with RAYON_NUM_THREADS=1 and with 8,
            the two alternating, and dpotrf of the same order on one OpenBLAS thread
            (bench/lapack_threads.cpp, --build needed), and dpotri, which each evaluation adds.
            Targets: the one-thread fit at most 150 of those factorisations; the 8-thread fit at
            least 3 times faster.
  dense-large the same data at 5,000 and 10,000 people (--people), default threads: PreparedModel(X, K)
            with its REML fit, and component_fit with both matrices; time and the call's peak
            memory against the size of its input matrices (minutes at 10,000)
The default runs families, large and larger.
"""

import argparse
import json
import math
import os
import pathlib
import subprocess
import sys

import numpy as np
from scipy import linalg, optimize

from kestrune import _core

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))  # python -P leaves it off
from common import LOG_2PI, best_time, nuclear_families, parser, peak_growth, run_native  # noqa: E402

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


def relationship(genotypes):
    """WW'/markers with W the genotypes centred by column."""
    w = genotypes - genotypes.mean(axis=0)
    return w @ w.T / genotypes.shape[1]


def dense_sample(n, seed=3):
    """Two genomic relationships of n people, from 3,000 and 1,000 simulated markers, a design
    of an intercept and one covariate, and a response drawn with shares 0.4, 0.2 and 0.4."""
    rng = np.random.default_rng(seed)
    k, h = (relationship(rng.binomial(2, rng.uniform(0.05, 0.5, markers), size=(n, markers)).astype(float))
            for markers in (3000, 1000))
    x = np.column_stack([np.ones(n), rng.normal(size=n)])
    y = x @ [1.0, 0.3] + np.linalg.cholesky(0.4 * k + 0.2 * h + 0.4 * np.eye(n)) @ rng.normal(size=n)
    return k, h, x, y


def dense_worker(n, repeats):
    """Prints the best time of `repeats` REML fits of the dense sample and the fit."""
    k, h, x, y = dense_sample(n)
    seconds, fit = best_time(lambda: _core.component_fit([k, h], x, y), repeats)
    print(json.dumps({"seconds": seconds, "loglik": fit[3], "coefficients": fit[0], "converged": fit[5]}))


def dense_in_process(n, threads, repeats):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    out = subprocess.run([sys.executable, __file__, "--dense-worker", str(n), "--repeats", str(repeats)],
                         env=env, check=True, stdout=subprocess.PIPE, text=True)
    return json.loads(out.stdout)


def dense_case(build, repeats):
    n = 1410
    native = run_native(build, "lapack_threads", {}, max(repeats, 5), n)
    factor, inverse = native["factor_one"], native["inverse_one"]
    one, eight = [], []
    for _ in range(2):  # alternating, so that a change in the machine's load reaches both
        one.append(dense_in_process(n, 1, repeats))
        eight.append(dense_in_process(n, 8, repeats))
    t1, t8 = min(r["seconds"] for r in one), min(r["seconds"] for r in eight)
    same = all(r["loglik"] == one[0]["loglik"] and r["coefficients"] == one[0]["coefficients"] for r in one + eight)
    print(f"dense     n={n}   dpotrf one thread {factor * 1e3:.1f} ms; component_fit one thread {t1:.2f} s = "
          f"{t1 / factor:.0f} factorisations (target <= 150); 8 threads {t8:.2f} s = {t1 / t8:.2f}x faster "
          f"(target >= 3x); same result on both {same}; converged {one[0]['converged']}")
    print(f"{'':<9} {'':<7} each evaluation with its gradient factors and inverts (dpotri {inverse * 1e3:.1f} ms): "
          f"{1 + inverse / factor:.2f} factorisations at least")


def dense_large_case(people):
    for n in people:
        k, h, x, y = dense_sample(n)
        prepared_time, (report, growth) = best_time(
            lambda: peak_growth(lambda: _core.PreparedModel(x, k).fit(y, "reml")), 1)
        print(f"dense     n={n:<6} PreparedModel + REML fit {prepared_time:.1f} s; peak memory "
              f"+{growth / 1e6:.0f} MB = {growth / k.nbytes:.2f}x its matrix ({k.nbytes / 1e6:.0f} MB)")
        fit_time, (fit, growth) = best_time(lambda: peak_growth(lambda: _core.component_fit([k, h], x, y)), 1)
        print(f"{'':<9} {'':<7} component_fit {fit_time:.1f} s; peak memory +{growth / 1e6:.0f} MB = "
              f"{growth / (k.nbytes + h.nbytes):.2f}x its two matrices; converged {fit[5]}")
        del k, h


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
    arguments.add_argument("--case", choices=["families", "large", "larger", "inference", "dense", "dense-large"],
                           action="append")
    arguments.add_argument("--repeats", type=int, default=3)
    arguments.add_argument("--build", type=pathlib.Path, help="a build tree configured with -DKESTRUNE_BENCH=ON")
    arguments.add_argument("--people", type=int, nargs="+", default=[5000, 10000], help="sizes of dense-large")
    arguments.add_argument("--dense-worker", type=int, help=argparse.SUPPRESS)
    args = arguments.parse_args()
    if args.dense_worker:
        dense_worker(args.dense_worker, args.repeats)
        return
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
    if "dense" in cases:
        if args.build is None:
            raise SystemExit("--case dense needs --build (bench/lapack_threads.cpp times the factorisation)")
        dense_case(args.build, args.repeats)
    if "dense-large" in cases:
        dense_large_case(args.people)
    if "inference" in cases:
        k, h, x, y = sample(400)
        interval_time, found = best_time(lambda: _core.component_interval([k, h], x, y, 1), args.repeats)
        contrasts_time, rows = best_time(lambda: _core.component_contrasts([k, h], x, y, [0, 1]), args.repeats)
        print(f"inference n=2000   component_interval {interval_time:.3f} s {found[:2]}; "
              f"component_contrasts {contrasts_time:.3f} s")


if __name__ == "__main__":
    main()
