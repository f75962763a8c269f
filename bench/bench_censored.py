"""The censored and binary trait likelihoods against numpy, family by family, in the same run.

One log-likelihood is timed in C++ (bench/censored_loglik.cpp, built with -DKESTRUNE_BENCH=ON)
and the same likelihood is written here in numpy, evaluated family by family; both must agree.
The C++ program also times one full fit. Cases:
  tobit      10,000 people in 2,000 families of five, 30% censored (upper and lower limits)
Target: the C++ likelihood at least 30 times faster than numpy.

    python bench/bench_censored.py --program <build>/censored_loglik [--case tobit] [--repeats R]
"""

import argparse
import json
import math
import pathlib
import subprocess
import tempfile
import time

import numpy as np
from scipy import special, stats

LOG_2PI = 1.8378770664093453
FAMILY = np.array([
    [1.0, 0.0, 0.5, 0.5, 0.5],
    [0.0, 1.0, 0.5, 0.5, 0.5],
    [0.5, 0.5, 1.0, 0.5, 0.5],
    [0.5, 0.5, 0.5, 1.0, 0.5],
    [0.5, 0.5, 0.5, 0.5, 1.0],
])


# ---- numpy references, family by family -----------------------------------------------------


def orthant_log(mean, sign, cov):
    """ln P(sign_i Y_i > 0): exact for one and two coordinates, sequential conditioning above."""
    sd = np.sqrt(np.diag(cov))
    z = sign * mean / sd
    r = np.outer(sign, sign) * cov / np.outer(sd, sd)
    n = len(z)
    if n == 1:
        return stats.norm.logcdf(z[0])
    if n == 2:
        return math.log(stats.multivariate_normal(cov=r).cdf(z))
    above = sign > 0
    order = np.concatenate([np.flatnonzero(above), np.flatnonzero(~above)]) if 2 * above.sum() <= n else \
        np.concatenate([np.flatnonzero(~above), np.flatnonzero(above)])
    w, s = z[order], r[np.ix_(order, order)].copy()
    shift = np.zeros(n)
    total = 0.0
    for k in range(n):
        v = s[k, k]
        t = (w[k] - shift[k]) / math.sqrt(v)
        p = min(max(special.ndtr(t), 1e-300), 1.0)
        total += math.log(p)
        lam = math.exp(-t * t / 2) / math.sqrt(2 * math.pi) / p
        delta = min(max(1 - t * lam - lam * lam, 1e-12), 1.0)
        shift[k + 1:] += -lam / math.sqrt(v) * s[k + 1:, k]
        s[k + 1:, k + 1:] += (delta - 1) / v * np.outer(s[k + 1:, k], s[k + 1:, k])
    return total


def tobit_numpy(data, h2, s2, beta):
    size = FAMILY.shape[0]
    v = s2 * (h2 * FAMILY + (1 - h2) * np.eye(size))
    mean = data["design"] @ beta
    total = 0.0
    for start in range(0, len(mean), size):
        rows = slice(start, start + size)
        cens, y, lim, mu = data["censoring"][rows], data["value"][rows], data["limit"][rows], mean[rows]
        m, c = np.flatnonzero(cens == 0), np.flatnonzero(cens != 0)
        vmm = v[np.ix_(m, m)]
        chol = np.linalg.cholesky(vmm)
        r = y[m] - mu[m]
        w = np.linalg.solve(vmm, r)
        total += -0.5 * (r @ w + len(m) * LOG_2PI + 2 * np.log(np.diag(chol)).sum())
        if len(c):
            vcm = v[np.ix_(c, m)]
            cm = mu[c] + vcm @ w - lim[c]
            cv = v[np.ix_(c, c)] - vcm @ np.linalg.solve(vmm, vcm.T)
            total += orthant_log(cm, np.where(cens[c] == 1, 1.0, -1.0), cv)
    return total


# ---- data -------------------------------------------------------------------------------------


def tobit_data(families, seed=1, h2=0.5):
    rng = np.random.default_rng(seed)
    n = families * FAMILY.shape[0]
    design = np.column_stack([np.ones(n), rng.normal(size=n)])
    chol = np.linalg.cholesky(h2 * FAMILY + (1 - h2) * np.eye(FAMILY.shape[0]))
    y = design @ [1.0, 0.5] + (chol @ rng.normal(size=(FAMILY.shape[0], families))).T.ravel()
    upper, lower = np.quantile(y, 0.75), np.quantile(y, 0.25)
    censoring = np.where(y >= upper, 1, np.where(y <= lower, 2, 0)).astype(np.int64)
    # Keep two measured members in every family, so each has a density term.
    censoring.reshape(families, -1)[:, :2] = 0
    limit = np.where(censoring == 1, upper, lower)
    return {"design": design, "value": y, "censoring": censoring, "limit": limit}, [h2, 1.0, 1.0, 0.5]


def write(directory, families, data, params):
    d = pathlib.Path(directory)
    (d / "meta.txt").write_text(f"{families} {FAMILY.shape[0]} {data['design'].shape[1]}\n")
    FAMILY.astype(np.float64).tofile(d / "block.f64")
    np.ascontiguousarray(data["design"]).tofile(d / "design.f64")
    np.asarray(params, np.float64).tofile(d / "params.f64")
    for key, suffix in (("value", "f64"), ("censoring", "i64"), ("limit", "f64")):
        data[key].tofile(d / f"{key}.{suffix}")


def run(case, program, repeats):
    families = 2000
    data, params = tobit_data(families)
    print(f"{case}: {families * FAMILY.shape[0]} people in {families} families of {FAMILY.shape[0]}, "
          f"{np.mean(data['censoring'] != 0):.0%} censored")
    with tempfile.TemporaryDirectory() as directory:
        write(directory, families, data, params)
        out = subprocess.run([program, case, directory, str(repeats)], check=True, capture_output=True, text=True)
    native = json.loads(out.stdout)
    best = math.inf
    for _ in range(max(1, repeats // 5)):
        start = time.perf_counter()
        reference = tobit_numpy(data, params[0], params[1], np.array(params[2:]))
        best = min(best, time.perf_counter() - start)
    ratio = best / native["seconds"]
    agree = abs(native["loglik"] - reference) <= 1e-8 * abs(reference)
    print(f"  loglik  C++ {native['loglik']:.10f}  numpy {reference:.10f}  agree {agree}")
    print(f"  one log-likelihood: C++ {native['seconds'] * 1e3:.2f} ms, numpy {best * 1e3:.1f} ms, "
          f"ratio {ratio:.0f}x (target 30x) {'PASS' if ratio >= 30 and agree else 'FAIL'}")
    print(f"  full fit: {native['fit_seconds']:.2f} s, loglik {native['fit_loglik']:.6f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--program", required=True)
    parser.add_argument("--case", choices=["tobit"], default=None)
    parser.add_argument("--repeats", type=int, default=10)
    args = parser.parse_args()
    for case in [args.case] if args.case else ["tobit"]:
        run(case, args.program, args.repeats)


if __name__ == "__main__":
    main()
