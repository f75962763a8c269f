"""Run from the repository root:

    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRUNE_BENCH=ON -DPython_EXECUTABLE=$(command -v python3)
    cmake --build build
    PYTHONPATH=build/python python3 bench/bench_latent_mediation.py [--families F] [--repeats R] [--fit] [--set-families S]

LatentMediationCore.evaluate against the same likelihood in numpy and scipy, in one run.

2,000 simulated families of three sibs: every mediator measured, one proxy status per
family and three binary outcome statuses, so each family sums two proxy configurations of a
four-dimensional rectangle by sequential truncation. The numpy route evaluates the same
likelihood family by family: the structural covariance, the conditioning on the
measurements, the configurations, the moment-matched truncation.
Target: evaluate at least 20 times faster than numpy.

With --fit, times fit() on 1,000 such families (every optimiser point costs one likelihood
evaluation and two per free coordinate, 1 + 2(5 + k), when no step is halved), then
horizontal_set() and vertical_set(searched_to) on --set-families of them.
"""

import math
import pathlib
import sys

import numpy as np
from scipy.special import logsumexp
from scipy.stats import multivariate_normal

from kestrune._core import LatentMediationCore, latent_mediation_simulate

# The tests' step-by-step sequential truncation serves as the numpy route's rectangle.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))
from test_latent_mediation import sequential_transcription as sequential  # noqa: E402

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))  # python -P leaves it off
from common import best_time, parser  # noqa: E402

PARAMETERS = dict(a=0.8, b=0.5, c_prime=0.2, d=0.6, sigma_m2=1.3)
SIBS = [[1.0, 0.5, 0.5], [0.5, 1.0, 0.5], [0.5, 0.5, 1.0]]
KEYS = ["relationship", "latent_mean", "mediator_measurement", "mediator_measurement_error_variance",
        "mediator_proxy_status", "outcome_status", "mediator_threshold", "outcome_threshold",
        "mediator_proxy_sensitivity", "mediator_proxy_specificity", "ascertainment", "proband_index"]


def simulate(families):
    return latent_mediation_simulate(
        SIBS, [], [], [], [], [None] * 3, [0.0, 0.0, 0.0], [0.5, 0.5, 0.5], [0.5, 0.5, 0.5],
        [True, False, False], [0.9] * 3, [0.8] * 3, [True] * 3, **PARAMETERS, families=families, seed=7)


def build(families):
    lists = [[f[key] for f in families] for key in KEYS]
    return LatentMediationCore._build(*lists, 0, [f["mediator_design"] for f in families],
                                      [f["outcome_design"] for f in families],
                                      [f["outcome_prevalence"] for f in families])


def numpy_loglik(families, a, b, c_prime, d, sigma_m2):
    total = 0.0
    for f in families:
        k = np.asarray(f["relationship"])
        n = len(k)
        t = a * b + c_prime
        g = np.array([[a * a, a * t], [a * t, t * t + d * d]])
        e = np.array([[sigma_m2, b * sigma_m2], [b * sigma_m2, b * b * sigma_m2 + 1.0]])
        sigma = np.kron(g, k) + np.kron(e, np.eye(n))
        measured = [i for i in range(n) if f["mediator_measurement"][i] is not None]
        proxies = [i for i in range(n) if f["mediator_proxy_status"][i] is not None]
        outcomes = [i for i in range(n) if f["outcome_status"][i] is not None]
        discrete = proxies + [n + i for i in outcomes]
        y = np.array([f["mediator_measurement"][i] for i in measured])
        observed = sigma[np.ix_(measured, measured)] + np.diag([f["mediator_measurement_error_variance"][i] for i in measured])
        density = multivariate_normal(np.zeros(len(measured)), observed).logpdf(y)
        cross = sigma[np.ix_(discrete, measured)]
        mean = cross @ np.linalg.solve(observed, y)
        cov = sigma[np.ix_(discrete, discrete)] - cross @ np.linalg.solve(observed, cross.T)
        outcome_bounds = [(f["outcome_threshold"][i], math.inf) if f["outcome_status"][i] else
                          (-math.inf, f["outcome_threshold"][i]) for i in outcomes]
        terms = []
        for truth in range(2 ** len(proxies)):
            weight, bounds = 0.0, []
            for u, i in enumerate(proxies):
                true, seen = (truth >> u) & 1, f["mediator_proxy_status"][i]
                se, sp = f["mediator_proxy_sensitivity"][i], f["mediator_proxy_specificity"][i]
                weight += math.log((se if seen else 1 - se) if true else ((1 - sp) if seen else sp))
                threshold = f["mediator_threshold"][i]
                bounds.append((threshold, math.inf) if true else (-math.inf, threshold))
            bounds += outcome_bounds
            terms.append(weight + sequential([lo for lo, _ in bounds], [hi for _, hi in bounds], mean, cov))
        total += density + logsumexp(terms)
    return total


def fits(options):
    model = build(simulate(1000))
    seconds, fit = best_time(model.fit, 1)
    print(f"fit on 1000 families: {seconds:.2f} s, loglik {fit['loglik']:.6f}, scaled gradient {fit['scaled_gradient']:.2e}")
    model = build(simulate(options.set_families))
    seconds, horizontal = best_time(model.horizontal_set, 1)
    print(f"horizontal_set on {options.set_families} families: {seconds:.1f} s, "
          f"[{horizontal['lower']}, {horizontal['upper']}]")
    seconds, vertical = best_time(lambda: model.vertical_set(searched_to=options.searched_to), 1)
    print(f"vertical_set(searched_to={options.searched_to}) on {options.set_families} families: {seconds:.1f} s, "
          f"[{vertical['lower']}, {vertical['upper']}], contains_zero {vertical['contains_zero']}")


def main():
    arguments = parser(__doc__)
    arguments.add_argument("--families", type=int, default=2000)
    arguments.add_argument("--repeats", type=int, default=3)
    arguments.add_argument("--fit", action="store_true")
    arguments.add_argument("--set-families", type=int, default=100)
    arguments.add_argument("--searched-to", type=float, default=1.0)
    options = arguments.parse_args()
    if options.fit:
        fits(options)
        return
    families = simulate(options.families)
    model = build(families)
    compiled, result = best_time(lambda: model.evaluate(**PARAMETERS), options.repeats)
    reference, expected = best_time(lambda: numpy_loglik(families, **PARAMETERS), 1)
    print(f"families {options.families}: evaluate {compiled * 1e3:.1f} ms, numpy {reference * 1e3:.0f} ms, "
          f"ratio {reference / compiled:.0f}x (target 20x); "
          f"log-likelihoods {result['log_likelihood']:.10f} vs {expected:.10f}")


if __name__ == "__main__":
    main()
