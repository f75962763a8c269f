"""The shared data and the record of the invariance table (test_invariance.py): a case module
`invariance_<models>.py` lists its entries in `CASES`; each case is a function (sample, c, a) that
fits the data moved by `Sample.moved` and returns an `Outcome`, whose fields say how each number
must follow the move."""

import dataclasses
import math

import numpy as np

from helpers import nuclear_families


@dataclasses.dataclass
class Sample:
    """40 nuclear families of five: X = [1, x], two correlated traits with heritabilities near
    0.6 and 0.4, genotypes in {0, 1, 2}, and a two-level environment."""
    k: np.ndarray
    x: np.ndarray
    y: np.ndarray
    y2: np.ndarray
    g: np.ndarray
    environment: np.ndarray

    def explained(self, b):
        """Both traits plus b·x: a covariate that the design absorbs explains as much of them as
        b makes it (x has unit spread)."""
        return dataclasses.replace(self, y=self.y + b * self.x[:, 1], y2=self.y2 + b * self.x[:, 1])

    @staticmethod
    def moved(values, c, a, spread=None):
        """a·(values + c·sd), sd the spread of `spread` (default: of `values`) so that a limit
        moves with its own trait; NaN stays NaN."""
        sd = np.nanstd(values if spread is None else spread)
        return a * (values + c * sd)


def make_sample():
    rng = np.random.default_rng(20261207)
    n = 200
    k = nuclear_families(40)
    x = np.column_stack([np.ones(n), rng.normal(size=n)])
    genetic = np.linalg.cholesky(np.kron([[1.0, 0.4], [0.4, 1.0]], k) + 1e-12 * np.eye(2 * n)) @ rng.normal(size=2 * n)
    residual = rng.normal(size=2 * n)
    y = x @ [1.0, 0.5] + 1.6 * (math.sqrt(0.6) * genetic[:n] + math.sqrt(0.4) * residual[:n])
    y2 = x @ [-2.0, 0.3] + math.sqrt(0.4) * genetic[n:] + math.sqrt(0.6) * residual[n:]
    g = rng.integers(0, 3, size=n).astype(float)
    environment = np.tile([0.0, 0.0, 1.0, 1.0, 1.0], 40)
    return Sample(k, x, y, y2, g, environment)


@dataclasses.dataclass
class Outcome:
    """What one entry reported. `rows` is the m of log L(a·y) = log L(y) − m·ln a. `fixed` holds
    (estimate, shift, slope) triples: under y + c·sd an estimate moves by c·shift (the trait's sd
    for its intercept, 0 otherwise), under y + b·x by b·slope (1 for the covariate's effect, 0
    otherwise); under a·y it is multiplied by a. `predicted` is multiplied by a and moves with
    nothing else."""
    converged: bool
    loglik: float | None = None
    rows: float = 0.0
    invariant: list = dataclasses.field(default_factory=list)  # unit-free: shares, correlations, tests, p-values
    # Unit-free but a function of the covariate's effect (its own test), which y + b·x moves.
    effect_tests: list = dataclasses.field(default_factory=list)
    variances: list = dataclasses.field(default_factory=list)  # in the response's units squared
    fixed: list = dataclasses.field(default_factory=list)
    # In the response's units and moved by no offset, of the response or of a covariate (the span
    # of the design is the same): predictions and their errors.
    predicted: list = dataclasses.field(default_factory=list)




def fixed_effects(beta, sd, scaled=()):
    """(estimate, shift, slope) triples: the intercept beta[0] moves with the trait's sd, the
    covariate's beta[1] with b; the other coefficients and the `scaled` values (standard errors,
    predictions) only scale."""
    return [(beta[0], sd, 0.0), (beta[1], 0.0, 1.0)] + [(value, 0.0, 0.0) for value in [*beta[2:], *scaled]]


def reml_rows(sample):
    return len(sample.y) - sample.x.shape[1]
