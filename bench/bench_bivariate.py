"""Run from the repository root:

    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRUNE_BENCH=ON -DPython_EXECUTABLE=$(command -v python3)
    cmake --build build
    PYTHONPATH=build/python python3 bench/bench_bivariate.py [--families F] [--people-families F] [--fit-families F] [--repeats R]

The two-trait model against a dense numpy route to the same value and gradient, and against
GEMMA's multivariate mixed model when `gemma` is on the PATH (the Debian package, 0.98.5), in
the same run.

Evaluation: one REML value with its gradient on 400 families of five with both traits measured
(4,000 measured values), against numpy forming the whole covariance cut from kron(K, G) +
kron(I, E), inverting it and taking the trace formula for the six derivatives.
Target: at least 50 times faster than numpy.

Two-trait REML + ML fit: 400 nuclear families of five (2,000 people), both traits measured,
a per-trait intercept. Our bivariate_fit with reml=True and with reml=False, against one run of
`gemma -lmm 1 -n 1 2`, which fits the REML and ML null models in one go. GEMMA is timed twice:
given K (`-k`, as we are: it decomposes K itself, and centres it, which moves ML but not REML)
and given K's eigendecomposition (`-d/-u`, ML comparable). The log-likelihoods and the genetic
and residual covariances are printed beside ours, and ours checked against the dense numpy
likelihood at our estimates. Target: at least 3 times faster than GEMMA.

Fit with missing traits: one bivariate_fit on 2,000 families of five (about 17,000 measured
values, some families evaluated through their dense covariance), reported only.

One dense block: a genomic relationship K = W W'/3000 of --block-people unrelated people (W
centred simulated genotypes), per-trait intercepts, everyone measured on both traits and then
a share measured on one trait only. bivariate_fit REML and ML, each against one numpy eigh of
K, in the same run. Run with RAYON_NUM_THREADS=1 OPENBLAS_NUM_THREADS=1 for the one-thread
ratios. Target: REML + ML at most 1.5 times one eigh.
"""

import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import time

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


def dense(k, mask, x, y, theta, reml=True, gradient=True):
    """The value (REML or ML) and gradient over the whole sample."""
    def cov(t):
        g, e = covariances(t)
        return (np.kron(k, g) + np.kron(np.eye(len(k)), e))[np.ix_(mask, mask)]
    v = cov(np.asarray(theta, dtype=float))
    vi = np.linalg.inv(v)
    a = x.T @ vi @ x
    p = vi - vi @ x @ np.linalg.solve(a, x.T @ vi)
    py = p @ y
    value = 0.5 * (y @ py + np.linalg.slogdet(v)[1] + len(y) * LOG_2PI)
    if reml:
        value += 0.5 * (np.linalg.slogdet(a)[1] - np.linalg.slogdet(x.T @ x)[1] - x.shape[1] * LOG_2PI)
    if not gradient:
        return value, None
    out = []
    for i in range(6):
        step = np.array(theta, dtype=float)
        h = 1e-6 * max(abs(step[i]), 1.0)
        step[i] += h
        up = cov(step)
        step[i] -= 2 * h
        dv = (up - cov(step)) / (2 * h)
        out.append(0.5 * (np.sum((p if reml else vi) * dv) - py @ dv @ py))
    return value, np.array(out)


def theta_of(fit):
    values = fit[0]
    return [values[0], values[1], values[2], values[3], values[4] or 0.0, values[5] or 0.0]


def gemma_inputs(folder, k, y, seed=5):
    """Phenotypes (one column per trait), K, its eigendecomposition and three markers (GEMMA
    runs its marker tests after the null fits; three keep them negligible)."""
    n = len(k)
    np.savetxt(folder / "pheno.txt", y.reshape(n, 2), fmt="%.17g")
    np.savetxt(folder / "k.txt", k, fmt="%.17g", delimiter="\t")
    values, vectors = np.linalg.eigh(k)
    np.savetxt(folder / "d.txt", values, fmt="%.17g")
    np.savetxt(folder / "u.txt", vectors, fmt="%.17g", delimiter="\t")
    rng = np.random.default_rng(seed)
    with open(folder / "geno.txt", "w") as out:
        for marker in range(3):
            out.write(f"rs{marker}, A, T, " + ", ".join(map(str, rng.integers(0, 3, n))) + "\n")


def run_gemma(gemma, folder, kinship, repeats):
    """The best wall time of `repeats` runs, with the last run's REML and ML fits:
    {"reml"/"ml": (loglik, Vg, Ve)} and GEMMA's own optimisation time."""
    command = [gemma, "-g", "geno.txt", "-p", "pheno.txt", *kinship, "-lmm", "1", "-n", "1", "2",
               "-o", "run", "-outdir", "out"]
    best, out = float("inf"), None
    for _ in range(max(1, repeats)):
        start = time.perf_counter()
        out = subprocess.run(command, cwd=folder, check=True, capture_output=True, text=True).stdout
        best = min(best, time.perf_counter() - start)
    log = (folder / "out" / "run.log.txt").read_text()

    def matrix(text, header):
        rows = text.split(header, 1)[1].strip().splitlines()[:2]
        first, second = (list(map(float, row.split())) for row in rows)
        return np.array([[first[0], second[0]], [second[0], second[-1]]])

    fits = {}
    for key, name in (("reml", "REMLE"), ("ml", "MLE")):
        loglik = float(re.search(rf"^{name} likelihood = (\S+)", out, re.M).group(1))
        fits[key] = (loglik, matrix(log, f"## {name} estimate for Vg in the null model:"),
                     matrix(log, f"## {name} estimate for Ve in the null model:"))
    optimisation = float(re.search(r"time on optimization = (\S+) min", log).group(1)) * 60
    return best, fits, optimisation


def show(matrix):
    return f"[{matrix[0, 0]:.5f} {matrix[0, 1]:.5f} {matrix[1, 1]:.5f}]"


def two_trait_fits(args):
    k, observed, x, y, mask = data(args.people_families, missing=0.0)
    people = len(k)
    times, fits = {}, {}
    for reml in (True, False):
        times[reml], fits[reml] = best_time(lambda: _core.bivariate_fit(k, observed, x, y, reml), args.repeats)
    ours = times[True] + times[False]
    print(f"two-trait REML + ML fit, {people} people, both traits: ours {times[True]:.3f} + {times[False]:.3f} s "
          f"= {ours:.3f} s")
    ests = {}
    for reml in (True, False):
        theta = theta_of(fits[reml])
        g, e = covariances(theta)
        ests[reml] = (fits[reml][1], g, e)
        dense_loglik = -dense(k, mask, x, y, theta, reml, gradient=False)[0]
        print(f"  {'REML' if reml else 'ML  '} loglik {fits[reml][1]:.6f} (dense numpy at our estimate "
              f"{dense_loglik:.6f}), Vg {show(g)}, Ve {show(e)}")

    gemma = shutil.which("gemma")
    if gemma is None:
        print("  gemma not on PATH (apt-get install gemma): no GEMMA comparison")
        return
    with tempfile.TemporaryDirectory() as name:
        folder = pathlib.Path(name)
        gemma_inputs(folder, k, y)
        given_k, fits_k, _ = run_gemma(gemma, folder, ["-k", "k.txt"], args.repeats)
        given_eigen, fits_eigen, optimisation = run_gemma(gemma, folder, ["-d", "d.txt", "-u", "u.txt"], args.repeats)
    print(f"  GEMMA (-lmm 1 -n 1 2, REML and ML in one run): given K {given_k:.3f} s, "
          f"given its eigendecomposition {given_eigen:.3f} s (of which its own optimisation {optimisation:.3f} s)")
    print(f"  ratio GEMMA / ours: {given_k / ours:.1f} given K, {given_eigen / ours:.1f} given the eigendecomposition "
          f"(target 3)")
    for reml, key, source, label in ((True, "reml", fits_k, "-k"), (False, "ml", fits_eigen, "-d/-u")):
        loglik, vg, ve = source[key]
        mine, g, e = ests[reml]
        print(f"  {key.upper():4} GEMMA {label:5} loglik {loglik:.4f} (ours - GEMMA {mine - loglik:+.1e}), "
              f"Vg {show(vg)}, Ve {show(ve)}, largest difference from ours "
              f"{max(np.max(np.abs(vg - g)), np.max(np.abs(ve - e))):.1e}")


def one_block(people, one_trait_share, seed=7):
    rng = np.random.default_rng(seed)
    w = rng.binomial(2, rng.uniform(0.05, 0.5, 3000), size=(people, 3000)).astype(float)
    w -= w.mean(axis=0)
    k = w @ w.T / 3000
    observed = np.ones((people, 2), bool)
    one = rng.random(people) < one_trait_share
    observed[one, rng.integers(0, 2, people)[one]] = False
    mask = observed.reshape(-1)
    trait = np.tile([0, 1], people)[mask]
    x = np.column_stack([trait == 0, trait == 1]).astype(float)
    g, e = covariances([1.0, 1.0, 0.5, 0.5, 0.5, 0.2])
    genetic = np.linalg.cholesky(k + 1e-6 * np.eye(people)) @ rng.standard_normal((people, 2)) @ np.linalg.cholesky(g).T
    full = genetic + rng.standard_normal((people, 2)) @ np.linalg.cholesky(e).T
    return k, [tuple(map(bool, row)) for row in observed], x, full.reshape(-1)[mask] + x @ [1.0, 2.0], mask


def one_block_fits(args):
    for share in (0.0, args.block_one_trait):
        k, observed, x, y, mask = one_block(args.block_people, share)
        eigh_time, _ = best_time(lambda: np.linalg.eigh(k), args.repeats)
        times, fits = {}, {}
        for reml in (True, False):
            times[reml], fits[reml] = best_time(lambda: _core.bivariate_fit(k, observed, x, y, reml), args.repeats)
        both = times[True] + times[False]
        print(f"one dense block, {len(k)} people, {int((~mask).sum())} values not measured: numpy eigh "
              f"{eigh_time:.3f} s; REML {times[True]:.3f} s ({times[True] / eigh_time:.2f} eigh), ML {times[False]:.3f} s "
              f"({times[False] / eigh_time:.2f} eigh), together {both / eigh_time:.2f} eigh (target 1.5)")
        for reml in (True, False):
            theta = theta_of(fits[reml])
            dense_loglik = -dense(k, mask, x, y, theta, reml, gradient=False)[0]
            print(f"  {'REML' if reml else 'ML  '} loglik {fits[reml][1]:.8f}, dense numpy at our estimate "
                  f"{dense_loglik:.8f}, estimates {[None if v is None else round(v, 5) for v in fits[reml][0]]}")


def main():
    arguments = parser(__doc__)
    arguments.add_argument("--families", type=int, default=400)
    arguments.add_argument("--people-families", type=int, default=400)
    arguments.add_argument("--fit-families", type=int, default=2000)
    arguments.add_argument("--repeats", type=int, default=3)
    arguments.add_argument("--block-people", type=int, default=1200)
    arguments.add_argument("--block-one-trait", type=float, default=0.05)
    arguments.add_argument("--block-only", action="store_true", help="only the one-dense-block fits")
    args = arguments.parse_args()
    if args.block_only:
        one_block_fits(args)
        return

    k, observed, x, y, mask = data(args.families, missing=0.0)
    ours_time, (value, gradient) = best_time(lambda: _core.bivariate_objective(k, observed, x, y, THETA), args.repeats)
    numpy_time, (dense_value, dense_gradient) = best_time(lambda: dense(k, mask, x, y, THETA), 1)
    print(f"evaluation, {len(y)} measured values: ours {ours_time * 1e3:.2f} ms, numpy {numpy_time * 1e3:.0f} ms, "
          f"ratio {numpy_time / ours_time:.0f} (target 50)")
    print(f"  value difference {abs(value - dense_value):.2e}, "
          f"largest gradient difference {np.max(np.abs(np.array(gradient) - dense_gradient)):.2e}")

    two_trait_fits(args)

    k, observed, x, y, _ = data(args.fit_families, missing=0.15)
    fit_time, fit = best_time(lambda: _core.bivariate_fit(k, observed, x, y), 1)
    print(f"bivariate_fit, {args.fit_families} families ({len(y)} measured values, some missing): {fit_time:.2f} s, "
          f"estimates {[None if v is None else round(v, 4) for v in fit[0]]}")

    one_block_fits(args)


if __name__ == "__main__":
    main()
