"""Invariance cases of the spatial and autoregressive-grid models (see test_invariance.py).

The first twenty of the shared families live at places on a line (a family per place), or in
the cells of a grid, and the trait gets a smooth term of the place so that the spatial range is
identified."""

import numpy as np

import kestrune._core as core
from invariance import Outcome, fixed_effects


PEOPLE = slice(0, 100)


def spatial_data(sample):
    place = 3.0 * ((np.arange(100) // 5 * 17) % 40)
    y = sample.y[PEOPLE] + 2.0 * np.sin(place / 8.0)
    return [sample.k[PEOPLE, PEOPLE]], np.abs(place[:, None] - place[None, :]), sample.x[PEOPLE], y


def grid_data(sample):
    family = np.arange(100) // 5
    row, column = family % 8, family // 8
    y = sample.y[PEOPLE] + 0.8 * np.cos(1.3 * row) * np.sin(column)
    return [sample.k[PEOPLE, PEOPLE]], row.tolist(), column.tolist(), sample.x[PEOPLE], y


def spatial(integrated):
    def case(sample, c, a):
        fixed, distance, x, y = spatial_data(sample)
        coefficients, proportions, total, rate, half, loglik, _, converged, _, beta, beta_se = core.spatial_fit(
            fixed, distance, x, sample.moved(y, c, a), integrated=integrated)
        # Integrated over the rate, the fit reports no rate or half distance.
        return Outcome(converged=converged, loglik=loglik, rows=x.shape[0] - x.shape[1],
                       invariant=proportions + ([] if integrated else [rate, half]), variances=coefficients + [total],
                       fixed=fixed_effects(beta, np.std(y), beta_se))
    case.__name__ = "spatial_fit_integrated" if integrated else "spatial_fit"
    return case


def autoregressive_fit(sample, c, a):
    fixed, row, column, x, y = grid_data(sample)
    coefficients, proportions, total, rates, loglik, converged, _, _, beta, beta_se = core.autoregressive_fit(
        fixed, row, column, x, sample.moved(y, c, a))
    return Outcome(converged=converged, loglik=loglik, rows=x.shape[0] - x.shape[1],
                   invariant=proportions + list(rates), variances=coefficients + [total],
                   fixed=fixed_effects(beta, np.std(y), beta_se))


def spatial_tests(sample, c, a):
    """The statistic, an interval with a bisected end, and a short bootstrap."""
    fixed, distance, x, y = spatial_data(sample)
    moved = sample.moved(y, c, a)
    interval = core.spatial_interval(fixed, distance, x, moved, "1")
    bootstrap = core.spatial_bootstrap([fixed[0][:60, :60]], distance[:60, :60], x[:60], moved[:60], 2, 7)
    return Outcome(converged=True,
                   invariant=[core.spatial_statistic(fixed, distance, x, moved), *interval[:5], *bootstrap[:5]])


def spatial_blup(sample, c, a):
    fixed, distance, x, y = spatial_data(sample)
    effect, error = core.spatial_blup(fixed, distance, x, sample.moved(y, c, a), 1)
    return Outcome(converged=True, predicted=effect[::7] + error[::7])


CASES = [spatial(False), spatial(True), autoregressive_fit, spatial_tests, spatial_blup]
