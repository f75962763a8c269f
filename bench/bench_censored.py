"""Run from the repository root:

    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRUNE_BENCH=ON -DPython_EXECUTABLE=$(command -v python3)
    cmake --build build
    python3 bench/bench_censored.py --build build [--case tobit|liability|mixed] [--repeats R]

The censored and binary trait likelihoods against numpy, family by family, in the same run.

One log-likelihood is timed in C++ (bench/censored_timing.cpp) and the same likelihood is
written here in numpy, evaluated family by family; both must agree.
The C++ program also times one full fit. Cases:
  tobit      10,000 people in 2,000 families of five, 30% censored (upper and lower limits)
  liability  10,000 people in 2,000 families of five, a binary trait
  mixed      4,000 people in 2,000 sib pairs, a continuous and a binary trait
Target: the C++ likelihood at least 30 times faster than numpy.
"""

import math
import pathlib
import sys

import numpy as np
from scipy import special, stats

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))  # python -P leaves it off
from common import LOG_2PI, add_build, best_time, parser, run_native  # noqa: E402
from common import NUCLEAR as FAMILY  # noqa: E402


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


def member_order(design):
    """The order the models take a family's members in: by design row, the covariate deciding here."""
    return np.argsort(design[:, 1], kind="stable")


def tobit_numpy(data, h2, s2, beta):
    size = FAMILY.shape[0]
    v = s2 * (h2 * FAMILY + (1 - h2) * np.eye(size))
    mean = data["design"] @ beta
    total = 0.0
    for start in range(0, len(mean), size):
        order = member_order(data["design"][start:start + size])
        cens = data["censoring"][start + order]
        m, c = order[cens == 0], order[cens != 0]  # positions in the family, in the models' order
        mu = mean[start:start + size]
        vmm = v[np.ix_(m, m)]
        chol = np.linalg.cholesky(vmm)
        r = data["value"][start + m] - mu[m]
        w = np.linalg.solve(vmm, r)
        total += -0.5 * (r @ w + len(m) * LOG_2PI + 2 * np.log(np.diag(chol)).sum())
        if len(c):
            vcm = v[np.ix_(c, m)]
            cm = mu[c] + vcm @ w - data["limit"][start + c]
            cv = v[np.ix_(c, c)] - vcm @ np.linalg.solve(vmm, vcm.T)
            total += orthant_log(cm, np.where(data["censoring"][start + c] == 1, 1.0, -1.0), cv)
    return total


def liability_numpy(data, h2, beta):
    size = FAMILY.shape[0]
    v = h2 * FAMILY + (1 - h2) * np.eye(size)
    mean = data["design"] @ beta
    sign = np.where(data["status"] == 1.0, 1.0, -1.0)
    total = 0.0
    for s in range(0, len(mean), size):
        order = member_order(data["design"][s:s + size])
        total += orthant_log(mean[s + order], sign[s + order], v[np.ix_(order, order)])
    return total


def mixed_numpy(data, params):
    h1, h2, v1, v2, rg, re = params[:6]
    p = data["design"].shape[1]
    sibs = np.array([[1.0, 0.5], [0.5, 1.0]])
    genetic = np.array([[h1 * v1, rg * math.sqrt(h1 * v1 * h2 * v2)], [rg * math.sqrt(h1 * v1 * h2 * v2), h2 * v2]])
    e1, e2 = (1 - h1) * v1, (1 - h2) * v2
    residual = np.array([[e1, re * math.sqrt(e1 * e2)], [re * math.sqrt(e1 * e2), e2]])
    v = np.kron(genetic, sibs) + np.kron(residual, np.eye(2))
    mean_1, mean_2 = data["design"] @ params[6:6 + p], data["design"] @ params[6 + p:]
    total = 0.0
    for s in range(0, len(mean_1), 2):
        mean = np.concatenate([mean_1[s:s + 2], mean_2[s:s + 2]])
        vmm, vcm = v[:2, :2], v[2:, :2]
        r = data["value"][s:s + 2] - mean[:2]
        w = np.linalg.solve(vmm, r)
        total += -0.5 * (r @ w + np.log(np.linalg.det(vmm)) + 2 * LOG_2PI)
        cm = mean[2:] + vcm @ w
        cv = v[2:, 2:] - vcm @ np.linalg.solve(vmm, vcm.T)
        total += orthant_log(cm, np.where(data["censoring"][s:s + 2] == 1, 1.0, -1.0), cv)
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


def liability_data(families, seed=2, h2=0.5):
    rng = np.random.default_rng(seed)
    n = families * FAMILY.shape[0]
    design = np.column_stack([np.ones(n), rng.normal(size=n)])
    chol = np.linalg.cholesky(h2 * FAMILY + (1 - h2) * np.eye(FAMILY.shape[0]))
    liability = design @ [-0.3, 0.5] + (chol @ rng.normal(size=(FAMILY.shape[0], families))).T.ravel()
    return {"design": design, "status": (liability > 0).astype(float)}, [h2, -0.3, 0.5]


def mixed_data(families, seed=3):
    rng = np.random.default_rng(seed)
    n = 2 * families
    design = np.column_stack([np.ones(n), rng.normal(size=n)])
    value = design @ [1.0, 0.5] + rng.normal(size=n)
    censoring = np.where(design @ [0.2, 0.3] + 0.5 * value + rng.normal(size=n) > 1.0, 1, 2).astype(np.int64)
    return {"design": design, "value": value, "censoring": censoring}, [0.4, 0.3, 1.2, 1.0, 0.5, 0.2, 1.0, 0.5, 0.2, 0.3]


CASES = {
    "tobit": (FAMILY, tobit_data, lambda data, t: tobit_numpy(data, t[0], t[1], np.array(t[2:]))),
    "liability": (FAMILY, liability_data, lambda data, t: liability_numpy(data, t[0], np.array(t[1:]))),
    "mixed": (np.array([[1.0, 0.5], [0.5, 1.0]]), mixed_data, lambda data, t: mixed_numpy(data, np.array(t))),
}


def run(case, build, repeats):
    families = 2000
    block, make, numpy_loglik = CASES[case]
    data, params = make(families)
    censored = f", {np.mean(data['censoring'] != 0):.0%} censored" if case == "tobit" else ""
    print(f"{case}: {families * block.shape[0]} people in {families} families of {block.shape[0]}{censored}")
    native = run_native(build, "censored_timing", {"block": block, "params": params, **data}, repeats, case)
    best, reference = best_time(lambda: numpy_loglik(data, params), repeats // 5)
    ratio = best / native["seconds"]
    agree = abs(native["loglik"] - reference) <= 1e-8 * abs(reference)
    print(f"  loglik  C++ {native['loglik']:.10f}  numpy {reference:.10f}  agree {agree}")
    print(f"  one log-likelihood: C++ {native['seconds'] * 1e3:.2f} ms, numpy {best * 1e3:.1f} ms, "
          f"ratio {ratio:.0f}x (target 30x) {'PASS' if ratio >= 30 and agree else 'FAIL'}")
    print(f"  full fit: {native['fit_seconds']:.2f} s, loglik {native['fit_loglik']:.6f}")


def main():
    arguments = parser(__doc__)
    add_build(arguments)
    arguments.add_argument("--case", choices=list(CASES), default=None)
    arguments.add_argument("--repeats", type=int, default=10)
    args = arguments.parse_args()
    for case in [args.case] if args.case else list(CASES):
        run(case, args.build, args.repeats)


if __name__ == "__main__":
    main()
