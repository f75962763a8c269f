"""Invariance cases of the one-trait model (see test_invariance.py)."""

import numpy as np

import kestrune._core as core
from invariance import Outcome, fixed_effects, reml_rows


def prepared_fit(sample, c, a):
    fit = core.PreparedModel(sample.x, sample.k).fit(sample.moved(sample.y, c, a))
    interval, test = fit["interval"], fit["test"]
    return Outcome(
        converged=fit["converged"], loglik=fit["loglik"], rows=reml_rows(sample),
        invariant=[fit["h2"], interval["lower"], interval["upper"], test["statistic"], test["p_value"]],
        variances=[fit["total_variance"]], fixed=fixed_effects(fit["beta"], np.std(sample.y)))


CASES = [prepared_fit]
