"""Invariance cases of the one-trait model (see test_invariance.py)."""

import numpy as np

import kestrune._core as core
from invariance import Outcome


def prepared_fit(sample, c, a):
    y = sample.moved(sample.y, c, a)
    fit = core.PreparedModel(sample.x, sample.k).fit(y)
    sd = np.std(sample.y)
    interval, test = fit["interval"], fit["test"]
    return Outcome(
        converged=fit["converged"], loglik=fit["loglik"], rows=len(y) - sample.x.shape[1],
        invariant=[fit["h2"], interval["lower"], interval["upper"], test["statistic"], test["p_value"]],
        variances=[fit["total_variance"]],
        fixed=[(fit["beta"][0], sd), (fit["beta"][1], 0.0)])


CASES = [prepared_fit]
