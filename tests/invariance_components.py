"""Invariance cases of the components, association and variant-set entries (see
test_invariance.py)."""

import numpy as np

import kestrune._core as core
from invariance import Outcome, fixed_effects, reml_rows


def family_environment(sample):
    """One shared environment per family of five."""
    return np.kron(np.eye(len(sample.y) // 5), np.ones((5, 5)))


def component_fit(sample, c, a):
    fit = core.component_fit([sample.k], sample.x, sample.moved(sample.y, c, a))
    coefficients, proportions, total, loglik, _, converged, beta, beta_se = fit[:8]
    return Outcome(converged, loglik, reml_rows(sample), invariant=proportions, variances=coefficients + [total],
                   fixed=fixed_effects(beta, np.std(sample.y), beta_se))


def component_test(sample, c, a):
    statistic, p_value, _, null_loglik = core.component_test([sample.k], sample.x, sample.moved(sample.y, c, a), 0)
    return Outcome(True, null_loglik, reml_rows(sample), invariant=[statistic, p_value])


def component_equality_test(sample, c, a):
    matrices = [sample.k, family_environment(sample)]
    statistic, p_value, _, null_loglik = core.component_equality_test(matrices, sample.x,
                                                                      sample.moved(sample.y, c, a), [0, 1])
    return Outcome(True, null_loglik, reml_rows(sample), invariant=[statistic, p_value])


def interval(entry, scale):
    """An interval's numbers are unit-free: on the relationship as given or scaled."""
    def case(sample, c, a):
        return Outcome(True, invariant=list(entry([scale * sample.k], sample.x, sample.moved(sample.y, c, a), 0)))
    case.__name__ = entry.__name__
    return case


def component_contrasts(sample, c, a):
    rows = core.component_contrasts([sample.k, family_environment(sample)], sample.x, sample.moved(sample.y, c, a),
                                    [0, 1])
    return Outcome(True, invariant=[v for row in rows for v in row[3:]],
                   variances=[v for row in rows for v in row[:3]])


def component_blup(sample, c, a):
    predicted, errors = core.component_blup([sample.k], sample.x, sample.moved(sample.y, c, a), 0)
    return Outcome(True, predicted=predicted + errors)


def association(variance):
    def association_sweep(sample, c, a):
        markers = np.column_stack([sample.g, sample.environment])
        h2, loglik, rows, covariates = core.association_sweep(sample.k, sample.x, sample.moved(sample.y, c, a),
                                                              markers, variance)
        # The intercept's own p-value follows its estimate; the slope's moves only with its own.
        return Outcome(all(row[6] == "" for row in rows), loglik, len(sample.y),
                       invariant=[h2] + [v for row in rows for v in row[2:5]], effect_tests=[covariates[1][2]],
                       fixed=fixed_effects([cov[0] for cov in covariates], np.std(sample.y),
                                           [row[i] for row in rows for i in (0, 1)] + [cov[1] for cov in covariates]))
    association_sweep.__name__ += "_" + variance
    return association_sweep


def roots(sample):
    rng = np.random.default_rng(5)
    other = rng.integers(0, 3, size=len(sample.y)).astype(float)
    return [sample.g[:, None], np.column_stack([sample.g, other])]


def variant_set_scan(sample, c, a):
    records = core.variant_set_scan([sample.k], sample.x, sample.moved(sample.y, c, a), roots(sample))
    # The score and the weights scale as 1 / a^2: times a^4 they compare as variances.
    return Outcome(all(r["code"] == "" for r in records), invariant=[r["p_value"] for r in records],
                   variances=[v * a**4 for r in records for v in [r["statistic"]] + r["eigenvalues"]])


def variant_set_family_scan(sample, c, a):
    records = core.variant_set_family_scan([sample.k], sample.x, sample.moved(sample.y, c, a), roots(sample),
                                           [0.0, 0.5, 0.9])
    return Outcome(all(r["code"] == "" for r in records),
                   invariant=[v for r in records for v in [r["p_value"], r["strongest_correlation"]] + r["p_values"]],
                   variances=[v * a**4 for r in records for v in r["statistics"]])


CASES = [component_fit, component_test, component_equality_test, interval(core.component_interval, 1.0),
         interval(core.component_mean_diagonal_interval, 2.0), component_contrasts, component_blup, association("held"),
         association("refitted"), variant_set_scan, variant_set_family_scan]
