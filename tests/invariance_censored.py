"""Invariance cases of the censored trait models (see test_invariance.py): each trait 20% censored
beyond its fit on the design, value and limit moved together."""

import numpy as np

import kestrune._core as core
from invariance import Outcome, fixed_effects


def censored_at_top(values, x, c, a):
    """A trait whose top 20% beyond its fit on x stop at a limit that follows the fit, moved by
    a·(· + c·sd): value, codes, limit. What the design explains moves value and limit together."""
    fitted = x @ np.linalg.lstsq(x, values, rcond=None)[0]
    cut = np.quantile(values - fitted, 0.8)
    code = (values - fitted >= cut).astype(np.int64)
    value = np.where(code == 0, values, np.nan)
    sd = np.std(values)
    return a * (value + c * sd), code, np.where(code == 1, a * (fitted + cut + c * sd), np.nan)


def tobit(sample, c, a):
    value, code, limit = censored_at_top(sample.y, sample.x, c, a)
    h2, variance, beta, loglik, converged, *_ = core.tobit_fit(sample.k, value, code, limit, sample.x)
    statistic, p_value, *_ = core.tobit_test(sample.k, value, code, limit, sample.x)
    _, lower, upper, *_ = core.tobit_interval(sample.k, value, code, limit, sample.x)
    return Outcome(converged=converged, loglik=loglik, rows=np.count_nonzero(code == 0),
                   invariant=[h2, statistic, p_value, lower, upper], variances=[variance],
                   fixed=fixed_effects(beta, np.std(sample.y)))


def mixed_continuous_censored(sample, c, a):
    n = len(sample.y)
    first = (a * (sample.y + c * np.std(sample.y)), np.zeros(n, np.int64), np.zeros(n))
    second = censored_at_top(sample.y2, sample.x, c, a)
    args = (sample.k, 0, *first, 2, *second, sample.x)
    h2, variance, rho_g, rho_e, beta_1, beta_2, loglik, converged, *_ = core.mixed_bivariate_fit(*args)
    _, statistic, p_value, *_ = core.mixed_bivariate_test(*args, 4, 0.0)
    return Outcome(converged=converged, loglik=loglik, rows=n + np.count_nonzero(second[1] == 0),
                   invariant=[*h2, rho_g, rho_e, statistic, p_value], variances=variance,
                   fixed=fixed_effects(beta_1, np.std(sample.y)) + fixed_effects(beta_2, np.std(sample.y2)))


CASES = [tobit, mixed_continuous_censored]
