// The scaled problem the engine sees and the runner around it: scales,
// validation order, the no-parameter answer, and end-to-end runs with and
// without the caller's gradient.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "compat/objective.hpp"
#include "compat_lbfgsb/lbfgsb.hpp"

namespace {

using compat_lbfgsb::Bounds;
using compat_lbfgsb::OptimControl;
using compat_lbfgsb::OptimError;
using compat_lbfgsb::Scaling;
using compat_lbfgsb::compat::Gradient;
using compat_lbfgsb::compat::LastPointMemo;
using compat_lbfgsb::compat::Objective;
using compat_lbfgsb::objective::ScaledProblem;
namespace err = compat_lbfgsb::error;
using Vec = std::vector<double>;

constexpr double inf = std::numeric_limits<double>::infinity();
const double nan = std::numeric_limits<double>::quiet_NaN();
const std::string kFixedMessage = "finite-difference optimization requires a user gradient for fixed parameters";

ScaledProblem problem(Vec parscale, double fnscale, const Objective& f, const Gradient* g, std::size_t n) {
  return ScaledProblem(Scaling{std::move(parscale), fnscale}, f, g, Vec(n, -inf), Vec(n, inf), Vec(n, 1e-3));
}

// --- ScaledProblem -----------------------------------------------------------

TEST(ScaledProblem, NonFiniteValueCarriesTheRawValue) {
  for (double raw : {nan, inf, -inf}) {
    const Objective f = [raw](std::span<const double>) { return raw; };
    auto p = problem({1.0}, 4.0, f, nullptr, 1);
    const auto r = p.value_and_gradient(Vec{0.0});
    ASSERT_FALSE(r.has_value());
    const auto* e = std::get_if<err::NonFiniteValue>(&r.error());
    ASSERT_NE(e, nullptr);
    if (std::isnan(raw)) {
      EXPECT_TRUE(std::isnan(e->value));
    } else {
      EXPECT_EQ(e->value, raw);  // not divided by fnscale
    }
  }
}

TEST(ScaledProblem, FailedValueComputesNoGradient) {
  int gradient_calls = 0;
  const Objective f = [](std::span<const double>) { return nan; };
  const Gradient g = [&](std::span<const double>) { ++gradient_calls; return Vec{1.0}; };
  auto p = problem({1.0}, 1.0, f, &g, 1);
  EXPECT_FALSE(p.value_and_gradient(Vec{0.0}).has_value());
  EXPECT_EQ(gradient_calls, 0);
}

TEST(ScaledProblem, LargeFiniteValueIsAnOrdinaryValue) {
  const Objective f = [](std::span<const double>) { return 1e30; };
  const Gradient g = [](std::span<const double>) { return Vec{0.0}; };
  auto p = problem({1.0}, 2.0, f, &g, 1);
  const auto r = p.value_and_gradient(Vec{3.0});
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->value, 5e29);
}

TEST(ScaledProblem, ScalesPointsValuesAndGradients) {
  std::vector<Vec> seen;
  const Objective f = [&](std::span<const double> x) { seen.emplace_back(x.begin(), x.end()); return 8.0; };
  const Gradient g = [&](std::span<const double> x) { seen.emplace_back(x.begin(), x.end()); return Vec{1.0, 1.0}; };
  auto p = problem({2.0, 10.0}, 4.0, f, &g, 2);
  const auto r = p.value_and_gradient(Vec{1.5, -0.25});
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->value, 2.0);
  EXPECT_EQ(r->gradient, (Vec{0.5, 2.5}));
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], (Vec{3.0, -2.5}));
  EXPECT_EQ(seen[1], (Vec{3.0, -2.5}));
}

TEST(ScaledProblem, NegativeFnscaleFlipsValueAndGradient) {
  const Objective f = [](std::span<const double> x) { return x[0] * x[0] + 3.0; };
  const Gradient g = [](std::span<const double> x) { return Vec{2.0 * x[0]}; };
  auto p = problem({1.0}, -1.0, f, &g, 1);
  const auto r = p.value_and_gradient(Vec{2.0});
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->value, -7.0);
  EXPECT_EQ(r->gradient, (Vec{-4.0}));
}

struct BadGradientCase {
  const char* name;
  Vec returned;
  std::optional<std::size_t> index;
  std::string message;
};

class BadGradient : public testing::TestWithParam<BadGradientCase> {};

TEST_P(BadGradient, IsInvalidGradientWithIndexAndMessage) {
  const BadGradientCase& c = GetParam();
  const Objective f = [](std::span<const double>) { return 1.0; };
  const Gradient g = [&c](std::span<const double>) { return c.returned; };
  auto p = problem({1.0, 1.0, 1.0}, 1.0, f, &g, 3);
  const auto r = p.value_and_gradient(Vec{0.0, 0.0, 0.0});
  ASSERT_FALSE(r.has_value());
  const auto* e = std::get_if<err::InvalidGradient>(&r.error());
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->index, c.index);
  EXPECT_EQ(e->value.has_value(), c.index.has_value());
  if (c.index) {
    EXPECT_FALSE(std::isfinite(*e->value));
  }
  EXPECT_EQ(e->message, c.message);
}

INSTANTIATE_TEST_SUITE_P(
    ScaledProblem, BadGradient,
    testing::Values(BadGradientCase{"short", {1.0, 2.0}, std::nullopt, "expected length 3, got 2"},
                    BadGradientCase{"long", {1.0, 2.0, 3.0, 4.0}, std::nullopt, "expected length 3, got 4"},
                    BadGradientCase{"nan_then_inf", {1.0, nan, inf}, 1, "gradient entries must be finite"},
                    BadGradientCase{"inf_last", {1.0, 2.0, -inf}, 2, "gradient entries must be finite"}),
    [](const testing::TestParamInfo<BadGradientCase>& info) { return std::string(info.param.name); });

TEST(ScaledProblem, DifferenceStepIsNdepsOnTheInternalScale) {
  // parscale 10 and ndeps 1e-3: the caller's objective sees steps of 0.01.
  std::vector<double> seen;
  const Objective f = [&](std::span<const double> x) { seen.push_back(x[0]); return x[0] * x[0]; };
  auto p = problem({10.0}, 1.0, f, nullptr, 1);
  const auto r = p.value_and_gradient(Vec{0.5});
  ASSERT_TRUE(r.has_value());
  ASSERT_EQ(seen.size(), 3u);  // the point, then x+ and x-
  EXPECT_EQ(seen[0], 5.0);
  EXPECT_EQ(seen[1], (0.5 + 1e-3) * 10.0);
  EXPECT_EQ(seen[2], (0.5 - 1e-3) * 10.0);
  // Internal gradient of f(10 x) is 200 x = 100 at x = 0.5; central differences are exact for a square
  // up to rounding.
  EXPECT_NEAR(r->gradient[0], 100.0, 1e-9);
}

// --- compat::run: validation and the no-parameter answer ----------------------

Bounds open_bounds(std::size_t n) { return Bounds{Vec(n, -inf), Vec(n, inf)}; }

TEST(Run, NoParametersEvaluatesOnceUnscaled) {
  int calls = 0;
  const Objective f = [&](std::span<const double> x) { ++calls; EXPECT_TRUE(x.empty()); return 2.5; };
  auto control = OptimControl::default_for_dimension(0);
  control.fnscale = 10.0;
  const auto r = compat_lbfgsb::compat::run({}, open_bounds(0), f, std::nullopt, control);
  ASSERT_TRUE(r.has_value());
  EXPECT_TRUE(r->par.empty());
  EXPECT_EQ(r->message, "NOTHING TO DO");
  EXPECT_EQ(r->value, 2.5);
  EXPECT_EQ(r->counts, (std::pair<std::size_t, std::size_t>{1, 0}));
  EXPECT_EQ(r->convergence, 0);
  EXPECT_EQ(calls, 1);
}

TEST(Run, NoParametersWithNonFiniteValueFails) {
  const Objective f = [](std::span<const double>) { return nan; };
  const auto r = compat_lbfgsb::compat::run({}, open_bounds(0), f, std::nullopt, OptimControl::default_for_dimension(0));
  ASSERT_FALSE(r.has_value());
  const auto* e = std::get_if<err::NonFiniteInitialValue>(&r.error());
  ASSERT_NE(e, nullptr);
  EXPECT_TRUE(std::isnan(e->value));
}

struct ValidationCase {
  const char* name;
  Vec par;
  Bounds bounds;
  bool with_gradient;
  std::function<void(OptimControl&)> tweak;
  OptimError expected;
};

class Validation : public testing::TestWithParam<ValidationCase> {};

TEST_P(Validation, FirstFailingCheckIsReturnedAndNothingIsEvaluated) {
  const ValidationCase& c = GetParam();
  int calls = 0;
  const Objective f = [&](std::span<const double>) { ++calls; return 0.0; };
  const Gradient g = [&](std::span<const double> x) { ++calls; return Vec(x.size(), 0.0); };
  auto control = OptimControl::default_for_dimension(c.par.size());
  if (c.tweak) c.tweak(control);
  const auto r = compat_lbfgsb::compat::run(c.par, c.bounds, f, c.with_gradient ? std::optional<Gradient>(g) : std::nullopt,
                                            control);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), c.expected);
  EXPECT_EQ(calls, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Run, Validation,
    testing::Values(
        ValidationCase{"no_parameters_long_parscale", {}, open_bounds(0), false,
                       [](OptimControl& c) { c.parscale = {1.0}; }, err::DimensionMismatch{"parscale", 0, 1}},
        // Controls and bounds both wrong: the controls speak first.
        ValidationCase{"controls_before_bounds", {1.0}, Bounds{{2.0}, {1.0}}, true,
                       [](OptimControl& c) { c.fnscale = 0.0; },
                       err::InvalidControl{"must be finite and nonzero", "fnscale"}},
        ValidationCase{"lmm_zero", {1.0}, open_bounds(1), true, [](OptimControl& c) { c.lmm = 0; },
                       err::InvalidControl{"must be greater than zero", "lmm"}},
        ValidationCase{"bounds_dimension", {1.0, 2.0}, open_bounds(3), true, nullptr,
                       err::DimensionMismatch{"bounds", 2, 3}},
        ValidationCase{"bounds_crossed", {1.0}, Bounds{{2.0}, {1.0}}, true, nullptr,
                       err::InvalidBounds{0, 2.0, 1.0, "lower must be less than or equal to upper"}},
        // A bad start is reported before a fixed coordinate without a gradient.
        ValidationCase{"start_before_fixed", {0.0, -inf}, Bounds{{0.0, -inf}, {0.0, 1.0}}, false, nullptr,
                       err::InvalidParameter{1, -inf}},
        ValidationCase{"fixed_without_gradient", {0.5, 3.0}, Bounds{{0.0, 3.0}, {1.0, 3.0}}, false, nullptr,
                       err::InvalidBounds{1, 3.0, 3.0, kFixedMessage}}),
    [](const testing::TestParamInfo<ValidationCase>& info) { return std::string(info.param.name); });

// --- compat::run: end to end ----------------------------------------------------

// 1/2 sum (x_i - c_i)^2 / w_i with its gradient.
struct Quadratic {
  Vec c, w;
  double value(std::span<const double> x) const {
    double f = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) f += 0.5 * (x[i] - c[i]) * (x[i] - c[i]) / w[i];
    return f;
  }
  Vec gradient(std::span<const double> x) const {
    Vec g(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) g[i] = (x[i] - c[i]) / w[i];
    return g;
  }
};

TEST(Run, FixedCoordinateRunsWhenTheGradientIsGiven) {
  const Quadratic q{{0.25, 3.0}, {1.0, 1.0}};
  const Objective f = [&](std::span<const double> x) { return q.value(x); };
  const Gradient g = [&](std::span<const double> x) { return q.gradient(x); };
  const auto r = compat_lbfgsb::compat::run({0.5, 2.0}, Bounds{{0.0, 2.0}, {1.0, 2.0}}, f, g,
                                            OptimControl::default_for_dimension(2));
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->convergence, 0);
  EXPECT_EQ(r->par[1], 2.0);
  EXPECT_NEAR(r->par[0], 0.25, 1e-8);
}

TEST(Run, EmptyGradientFunctionMeansNoGradient) {
  const Quadratic q{{0.25, 3.0}, {1.0, 1.0}};
  const Objective f = [&](std::span<const double> x) { return q.value(x); };
  // With a fixed coordinate the difference gradient is refused, as with no gradient at all.
  const auto fixed = compat_lbfgsb::compat::run({0.5, 3.0}, Bounds{{0.0, 3.0}, {1.0, 3.0}}, f, nullptr,
                                                OptimControl::default_for_dimension(2));
  ASSERT_FALSE(fixed.has_value());
  EXPECT_EQ(fixed.error(), OptimError(err::InvalidBounds{1, 3.0, 3.0, kFixedMessage}));
  // Without one, the objective is differenced instead of calling an empty function.
  const auto open = compat_lbfgsb::compat::run({0.5, 2.0}, open_bounds(2), f, Gradient{},
                                               OptimControl::default_for_dimension(2));
  ASSERT_TRUE(open.has_value());
  EXPECT_NEAR(open->par[0], 0.25, 1e-5);
  EXPECT_NEAR(open->par[1], 3.0, 1e-5);
}

TEST(Run, ReturnsParAndValueOnTheCallersScale) {
  // Minimum at (3, 8) with value 4; parscale (2, 4) and fnscale 2 (a power of two, so
  // value * fnscale / fnscale is exact): the result is the caller's point and value.
  const Quadratic q{{3.0, 8.0}, {1.0, 16.0}};
  std::vector<Vec> seen;
  const Objective f = [&](std::span<const double> x) { seen.emplace_back(x.begin(), x.end()); return q.value(x) + 4.0; };
  const Gradient g = [&](std::span<const double> x) { return q.gradient(x); };
  auto control = OptimControl::default_for_dimension(2);
  control.parscale = {2.0, 4.0};
  control.fnscale = 2.0;
  const auto r = compat_lbfgsb::compat::run({2.0, 6.0}, open_bounds(2), f, g, control);
  ASSERT_TRUE(r.has_value());
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.front(), (Vec{2.0, 6.0}));  // the start, unscaled again for the caller
  EXPECT_NEAR(r->par[0], 3.0, 1e-6);
  EXPECT_NEAR(r->par[1], 8.0, 1e-5);
  EXPECT_EQ(r->value, q.value(r->par) + 4.0);
  EXPECT_EQ(r->counts.first, r->counts.second);
}

TEST(Run, NegativeFnscaleMaximisesAndKeepsTheCallersSign) {
  const Objective f = [](std::span<const double> x) { return 5.0 - (x[0] - 1.0) * (x[0] - 1.0); };
  const Gradient g = [](std::span<const double> x) { return Vec{-2.0 * (x[0] - 1.0)}; };
  auto control = OptimControl::default_for_dimension(1);
  control.fnscale = -1.0;
  const auto r = compat_lbfgsb::compat::run({-2.0}, open_bounds(1), f, g, control);
  ASSERT_TRUE(r.has_value());
  EXPECT_NEAR(r->par[0], 1.0, 1e-6);
  EXPECT_EQ(r->value, f(r->par));
  EXPECT_GT(r->value, 4.999999);
}

TEST(Run, StartsOutsideTheBoxAreNotRefused) {
  const Objective f = [](std::span<const double> x) { return (x[0] - 2.0) * (x[0] - 2.0) + x[1] * x[1]; };
  const Gradient g = [](std::span<const double> x) { return Vec{2.0 * (x[0] - 2.0), 2.0 * x[1]}; };
  // A finite start above its upper bound, and +inf below a finite upper bound.
  const auto r = compat_lbfgsb::compat::run({5.0, inf}, Bounds{{0.0, -1.0}, {1.0, 1.0}}, f, g,
                                            OptimControl::default_for_dimension(2));
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->par[0], 1.0);
  EXPECT_NEAR(r->par[1], 0.0, 1e-8);
}

TEST(Run, IterationLimitIsAResultNotAnError) {
  const Objective f = [](std::span<const double> x) {
    return 100.0 * std::pow(x[1] - x[0] * x[0], 2) + std::pow(1.0 - x[0], 2);
  };
  const Gradient g = [](std::span<const double> x) {
    return Vec{-400.0 * x[0] * (x[1] - x[0] * x[0]) - 2.0 * (1.0 - x[0]), 200.0 * (x[1] - x[0] * x[0])};
  };
  auto control = OptimControl::default_for_dimension(2);
  control.maxit = 2;
  const auto r = compat_lbfgsb::compat::run({-1.2, 1.0}, open_bounds(2), f, g, control);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->message, "NEW_X");
  EXPECT_EQ(r->convergence, 1);
}

// Rosenbrock in the caller's coordinates; the objective refuses (NaN) any point outside
// the box, so a single difference step past a bound would end the run in an error.
struct BoxedRosenbrock {
  Vec lower, upper;
  double operator()(std::span<const double> x) const {
    for (std::size_t i = 0; i < x.size(); ++i) {
      if (x[i] < lower[i] || x[i] > upper[i]) return nan;
    }
    return 100.0 * std::pow(x[1] - x[0] * x[0], 2) + std::pow(1.0 - x[0], 2);
  }
};

Vec rosenbrock_gradient(std::span<const double> x) {
  return Vec{-400.0 * x[0] * (x[1] - x[0] * x[0]) - 2.0 * (1.0 - x[0]), 200.0 * (x[1] - x[0] * x[0])};
}

struct WithoutGradientCase {
  const char* name;
  Vec lower, upper, start;
  double tol;
};

class WithoutGradient : public testing::TestWithParam<WithoutGradientCase> {};

TEST_P(WithoutGradient, ReachesTheMinimiserFoundWithTheGradientWithoutLeavingTheBox) {
  const WithoutGradientCase& c = GetParam();
  const BoxedRosenbrock rosen{c.lower, c.upper};
  const Objective f = [&](std::span<const double> x) { return rosen(x); };
  auto control = OptimControl::default_for_dimension(2);
  control.maxit = 500;
  control.factr = 10.0;
  const auto with = compat_lbfgsb::compat::run(c.start, Bounds{c.lower, c.upper}, f, Gradient(rosenbrock_gradient),
                                               control);
  const auto without = compat_lbfgsb::compat::run(c.start, Bounds{c.lower, c.upper}, f, std::nullopt, control);
  ASSERT_TRUE(with.has_value());
  ASSERT_TRUE(without.has_value());  // a NaN outside the box would have been an error
  EXPECT_EQ(without->counts.first, without->counts.second);
  for (std::size_t i = 0; i < 2; ++i) EXPECT_NEAR(without->par[i], with->par[i], c.tol) << i;
  EXPECT_NEAR(without->value, with->value, 1e-6);
}

INSTANTIATE_TEST_SUITE_P(
    Run, WithoutGradient,
    testing::Values(
        // Interior minimum (1, 1), every bound finite.
        WithoutGradientCase{"finite_box", {-2.0, -1.5}, {2.0, 3.0}, {-1.2, 1.0}, 1e-3},
        // Minimum on the bound x0 <= 0.7 (so x1 = 0.49), an awkward non-dyadic bound.
        WithoutGradientCase{"active_upper", {-2.0, -1.5}, {0.7, 3.0}, {-1.2, 1.0}, 1e-3},
        // Minimum on the bound x1 >= 1.3 with one open side (the backtracking engine without a gradient).
        WithoutGradientCase{"one_open_side", {-inf, 1.3}, {1.1, inf}, {-1.2, 2.0}, 1e-3}),
    [](const testing::TestParamInfo<WithoutGradientCase>& info) { return std::string(info.param.name); });

// --- LastPointMemo ----------------------------------------------------------------

struct Shared {
  double value;
  Vec gradient;
};

TEST(LastPointMemo, ValueThenGradientAtOnePointComputeOnce) {
  const Quadratic q{{0.3, -0.7, 1.1}, {1.0, 2.0, 0.5}};
  int computes = 0;
  LastPointMemo memo([&](std::span<const double> x) {
    ++computes;
    return Shared{q.value(x), q.gradient(x)};
  });
  const Objective f = [&](std::span<const double> x) { return memo(x).value; };
  const Gradient g = [&](std::span<const double> x) { return memo(x).gradient; };
  const auto r = compat_lbfgsb::compat::run({0.0, 0.0, 0.0}, open_bounds(3), f, g,
                                            OptimControl::default_for_dimension(3));
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->convergence, 0);
  EXPECT_NEAR(r->par[1], -0.7, 1e-6);
  // Every counted evaluation asked for value and gradient at one point: one compute each.
  EXPECT_EQ(static_cast<std::size_t>(computes), r->counts.first);
}

TEST(LastPointMemo, PointsMatchBitForBit) {
  int computes = 0;
  LastPointMemo memo([&](std::span<const double> x) { ++computes; return x.empty() ? 0.0 : x[0]; });
  memo(Vec{1.0, 2.0});
  memo(Vec{1.0, 2.0});
  EXPECT_EQ(computes, 1);
  memo(Vec{1.0});        // a shorter point is another point
  memo(Vec{-0.0});       // signed zeros differ
  memo(Vec{0.0});
  EXPECT_EQ(computes, 4);
  EXPECT_EQ(memo(Vec{0.0}), 0.0);
  EXPECT_EQ(computes, 4);
}

}  // namespace
