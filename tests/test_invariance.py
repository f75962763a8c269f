"""Every likelihood here is unchanged by y -> y + Xb, scales exactly with y -> a·y and depends on
the design only through its span: one table over every model with a response checks that each
entry's answers follow (cases in invariance_*.py, data and record in invariance.py)."""

import dataclasses
import importlib
import math
import pathlib

import numpy as np
import pytest

from invariance import make_sample

LOCATIONS = (1e3, 1e4, 1e6)
SCALES = (1e-8, 1e-4, 1e4, 1e8)


def load_cases():
    cases = []
    for path in sorted(pathlib.Path(__file__).parent.glob("invariance_?*.py")):
        cases += importlib.import_module(path.stem).CASES
    return cases


CASES = load_cases()


@pytest.fixture(scope="module")
def sample():
    return make_sample()


@pytest.fixture(scope="module")
def base(sample):
    return {}


def reference(base, sample, case):
    if case.__name__ not in base:
        base[case.__name__] = case(sample, 0.0, 1.0)
    return base[case.__name__]


# Predictions depend on the design only through its span and on the response only through its
# residuals from it.
PREDICTED_TOLERANCE = 1e-6


def check(moved, ref, c, a, unit_tolerance, b=0.0):
    assert moved.converged == ref.converged
    if ref.loglik is not None:
        expected = ref.loglik - ref.rows * math.log(a)
        assert moved.loglik == pytest.approx(expected, rel=1e-6)
    np.testing.assert_allclose(moved.invariant, ref.invariant, rtol=0, atol=unit_tolerance)
    if b == 0.0:
        np.testing.assert_allclose(moved.effect_tests, ref.effect_tests, rtol=0, atol=unit_tolerance)
    np.testing.assert_allclose(np.asarray(moved.variances) / a**2, ref.variances, rtol=unit_tolerance)
    np.testing.assert_allclose(moved.predicted, a * np.asarray(ref.predicted), rtol=PREDICTED_TOLERANCE)
    for (value, *_), (value0, shift, slope) in zip(moved.fixed, ref.fixed, strict=True):
        expected = a * (value0 + c * shift + b * slope)
        assert value == pytest.approx(expected, rel=1e-9, abs=abs(a) * unit_tolerance * max(abs(shift), 1.0))


# (c, a, tolerance of the unit-free numbers): offsets y + c·sd, then units a·y.
MOVES = [(c, 1.0, 1e-5) for c in LOCATIONS] + [(0.0, a, 1e-6) for a in SCALES]


@pytest.mark.parametrize("c, a, tolerance", MOVES, ids=[f"c={c:g},a={a:g}" for c, a, _ in MOVES])
@pytest.mark.parametrize("case", CASES, ids=lambda case: case.__name__)
def test_offsets_change_only_the_intercept_and_units_scale_variances_and_effects(case, c, a, tolerance, sample, base):
    check(case(sample, c, a), reference(base, sample, case), c, a, tolerance)


# A covariate moved by an offset (a year, a date): the span is the same, so only the fixed
# effects may move; predictions do not.
@pytest.mark.parametrize("offset", (1e2, 1e4, 1e6))
@pytest.mark.parametrize("case", CASES, ids=lambda case: case.__name__)
def test_a_covariate_offset_changes_only_the_fixed_effects(case, offset, sample, base):
    moved = case(dataclasses.replace(sample, x=sample.x + [0.0, offset]), 0.0, 1.0)
    check(dataclasses.replace(moved, fixed=[]), dataclasses.replace(reference(base, sample, case), fixed=[]),
          0.0, 1.0, 1e-5)


# A covariate that explains nearly all of the response (a site effect, a strong dose): the
# models standardise by what the design leaves, so nothing moves but the covariate's effect.
@pytest.mark.parametrize("b", (30.0, 1e3, 1e6, 1e8))
@pytest.mark.parametrize("case", CASES, ids=lambda case: case.__name__)
def test_a_covariate_that_explains_the_response_moves_only_its_effect(case, b, sample, base):
    check(case(sample.explained(b), 0.0, 1.0), reference(base, sample, case), 0.0, 1.0, 1e-5, b)
