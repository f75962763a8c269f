"""Invariance cases of the two-trait and environment models (see test_invariance.py).

Parents all sit in the first environment and are unrelated to each other, so that environment's
genetic and residual parts are told apart only through their sum: the cases read what the data
identify, the second environment and the cross-environment profile."""

import numpy as np

import kestrune._core as core
from invariance import Outcome, fixed_effects, reml_rows

LEVELS = [0.0, 1.0]


def two_traits(sample, c, a):
    """Observed pairs, the trait-by-trait design [1, x] and the two traits interleaved per person."""
    n = len(sample.y)
    design = np.zeros((2 * n, 4))
    design[0::2, :2] = sample.x
    design[1::2, 2:] = sample.x
    y = np.empty(2 * n)
    y[0::2] = sample.moved(sample.y, c, a)
    y[1::2] = sample.moved(sample.y2, c, a)
    return [(True, True)] * n, design, y


def bivariate(sample, c, a):
    observed, design, y = two_traits(sample, c, a)
    values, loglik, _, converged = core.bivariate_fit(sample.k, observed, design, y)
    test = core.bivariate_correlation_test(sample.k, observed, design, y, "rho_g", 0.0)
    at = [2.5 * a * a, 0.8 * a * a, 0.7, 0.35, 0.5, -0.2]
    objective, gradient = core.bivariate_objective(sample.k, observed, design, y, at)
    return Outcome(
        converged=converged, loglik=loglik, rows=len(y) - design.shape[1],
        invariant=values[2:] + list(test[:2]) + [test[4] - test[3], loglik + objective] + gradient[2:],
        variances=values[:2])


def gxe(surface):
    def case(sample, c, a):
        y = sample.moved(sample.y, c, a)
        fit = core.gxe_fit(sample.k, sample.environment, sample.x, y, surface, LEVELS)
        test = core.gxe_test(sample.k, sample.environment, sample.x, y, surface, "interaction")
        interval = core.gxe_interval(sample.k, sample.environment, sample.x, y, surface, "heritability", 1.0)
        return Outcome(
            converged=fit[2], loglik=fit[1], rows=reml_rows(sample),
            invariant=[fit[9][1], *test[:2], *interval[:3]],
            variances=[fit[7][1], fit[8][1]], fixed=fixed_effects(fit[5], np.std(sample.y), fit[6]))
    case.__name__ = f"gxe_{surface}"
    return case


def discrete_gxe(sample, c, a):
    y = sample.moved(sample.y, c, a)
    args = (sample.k, sample.environment, sample.x, y)
    fit = core.discrete_gxe_fit(*args, levels=LEVELS)
    tests = [core.discrete_gxe_test(*args, which, levels=LEVELS)[:2] for which in ("gene_by_environment", "genetic")]
    interval = core.discrete_gxe_correlation_interval(*args, levels=LEVELS)
    return Outcome(
        converged=fit[7], loglik=fit[6], rows=reml_rows(sample),
        invariant=[fit[2][1], *tests[0], *tests[1], interval[1], interval[2]],
        variances=[fit[0][1], fit[1][1], fit[0][0] + fit[1][0]], fixed=fixed_effects(fit[4], np.std(sample.y), fit[5]))


CASES = [bivariate, gxe("exponential"), gxe("random_regression"), discrete_gxe]
