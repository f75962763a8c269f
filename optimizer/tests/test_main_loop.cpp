// End-to-end runs of the engine on problems with closed-form answers, one per
// configuration, and its ways out: iteration limit, line-search failure,
// evaluation errors and the no-descent stop.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "backend/native/main_loop.hpp"
#include "compat_lbfgsb/backend.hpp"
#include "compat_lbfgsb/result.hpp"

namespace {

using compat_lbfgsb::BackendProblem;
using compat_lbfgsb::NativeBackend;
using compat_lbfgsb::OptimError;
using compat_lbfgsb::OptimResult;
using compat_lbfgsb::RunControls;
using compat_lbfgsb::ValueAndGradient;
using Vec = std::vector<double>;

constexpr double inf = std::numeric_limits<double>::infinity();
const std::string kPgtol = "CONVERGENCE: NORM OF PROJECTED GRADIENT <= PGTOL";
const std::string kFactr = "CONVERGENCE: REL_REDUCTION_OF_F <= FACTR*EPSMCH";

// A problem from two closures that records every point it is asked about and
// reports a non-finite value the way the runner's scaled problem does.
struct Problem final : BackendProblem {
  std::function<double(std::span<const double>)> value;
  std::function<Vec(std::span<const double>)> gradient;
  std::vector<Vec> points;

  std::expected<ValueAndGradient, OptimError> value_and_gradient(std::span<const double> x) override {
    points.emplace_back(x.begin(), x.end());
    const double f = value(x);
    if (!std::isfinite(f)) return std::unexpected(compat_lbfgsb::error::NonFiniteValue{f});
    return ValueAndGradient{f, gradient(x)};
  }
};

std::expected<OptimResult, OptimError> run(Problem& problem, const Vec& x0, const Vec& lower,
                                           const Vec& upper, RunControls controls = {}) {
  return NativeBackend{}.minimize(problem, x0, lower, upper, controls);
}

RunControls with_gradient() {
  RunControls c;
  c.has_gradient = true;
  return c;
}

Problem half_squares(Vec c) {
  Problem p;
  p.value = [c](std::span<const double> x) {
    double f = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) f += 0.5 * (x[i] - c[i]) * (x[i] - c[i]);
    return f;
  };
  p.gradient = [c](std::span<const double> x) {
    Vec g(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) g[i] = x[i] - c[i];
    return g;
  };
  return p;
}

Problem rosenbrock() {
  Problem p;
  p.value = [](std::span<const double> x) {
    double f = 0.0;
    for (std::size_t i = 0; i + 1 < x.size(); ++i) {
      const double a = x[i + 1] - x[i] * x[i];
      const double b = 1.0 - x[i];
      f += 100.0 * a * a + b * b;
    }
    return f;
  };
  p.gradient = [](std::span<const double> x) {
    Vec g(x.size(), 0.0);
    for (std::size_t i = 0; i + 1 < x.size(); ++i) {
      const double a = x[i + 1] - x[i] * x[i];
      g[i] += -400.0 * x[i] * a - 2.0 * (1.0 - x[i]);
      g[i + 1] += 200.0 * a;
    }
    return g;
  };
  return p;
}

// Central differences with a step that stays inside [lower, upper].
std::function<Vec(std::span<const double>)> central_differences(
    std::function<double(std::span<const double>)> f, Vec lower, Vec upper) {
  return [f, lower, upper](std::span<const double> x) {
    Vec g(x.size());
    Vec probe(x.begin(), x.end());
    for (std::size_t i = 0; i < x.size(); ++i) {
      const double up = std::fmin(x[i] + 1e-6, upper[i]);
      const double down = std::fmax(x[i] - 1e-6, lower[i]);
      probe[i] = up;
      const double fu = f(probe);
      probe[i] = down;
      const double fd = f(probe);
      probe[i] = x[i];
      g[i] = (fu - fd) / (up - down);
    }
    return g;
  };
}

}  // namespace

// --- Closed-form minima, one per configuration -----------------------------

TEST(MainLoop, BoxedQuadraticOnExactCompactPath) {
  Problem p = half_squares({2.0, -1.0, 0.5});
  const auto r = run(p, {0.5, 0.5, 0.5}, {0.0, 0.0, 0.0}, {1.0, 1.0, 1.0}, with_gradient());
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->par, (Vec{1.0, 0.0, 0.5}));
  EXPECT_EQ(r->value, 1.0);
  EXPECT_EQ(r->counts, (std::pair<std::size_t, std::size_t>{2, 2}));
  EXPECT_EQ(r->convergence, 0);
  EXPECT_EQ(r->message, kPgtol);
}

TEST(MainLoop, OneVariableWithUpperBound) {
  Problem p;
  p.value = [](std::span<const double> x) { return (x[0] - 3.0) * (x[0] - 3.0); };
  p.gradient = [](std::span<const double> x) { return Vec{2.0 * (x[0] - 3.0)}; };
  const auto r = run(p, {0.0}, {-inf}, {2.0}, with_gradient());
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->par, (Vec{2.0}));
  EXPECT_EQ(r->value, 1.0);
  EXPECT_EQ(r->counts, (std::pair<std::size_t, std::size_t>{2, 2}));
  EXPECT_EQ(r->convergence, 0);
  EXPECT_EQ(r->message, kPgtol);
}

struct RosenbrockCase {
  const char* name;
  Vec x0, lower, upper;
  bool has_gradient;
  Vec minimiser;
  double tolerance;
};

class RosenbrockRuns : public ::testing::TestWithParam<RosenbrockCase> {};

TEST_P(RosenbrockRuns, ReachTheMinimiser) {
  const RosenbrockCase& c = GetParam();
  Problem p = rosenbrock();
  if (!c.has_gradient) p.gradient = central_differences(p.value, c.lower, c.upper);
  RunControls controls;
  controls.has_gradient = c.has_gradient;
  controls.maxit = 500;
  controls.factr = 10.0;
  const auto r = run(p, c.x0, c.lower, c.upper, controls);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->convergence, 0) << r->message;
  ASSERT_EQ(r->par.size(), c.minimiser.size());
  for (std::size_t i = 0; i < c.minimiser.size(); ++i) {
    EXPECT_NEAR(r->par[i], c.minimiser[i], c.tolerance) << c.name << " entry " << i;
  }
  EXPECT_EQ(r->counts.first, r->counts.second);
  EXPECT_EQ(r->counts.first, p.points.size());
  for (const Vec& x : p.points) {
    for (std::size_t i = 0; i < x.size(); ++i) {
      EXPECT_GE(x[i], c.lower[i]);
      EXPECT_LE(x[i], c.upper[i]);
    }
  }
}

// The bounded minimiser of the 2-d Rosenbrock function on x1 <= 0.5 lies on
// that bound with x2 = 0.25 (the valley floor x2 = x1^2).
INSTANTIATE_TEST_SUITE_P(
    Configurations, RosenbrockRuns,
    ::testing::Values(
        RosenbrockCase{"unbounded_with_gradient", {-1.2, 1.0}, {-inf, -inf}, {inf, inf}, true,
                       {1.0, 1.0}, 1e-5},
        RosenbrockCase{"unbounded_without_gradient", {-1.2, 1.0}, {-inf, -inf}, {inf, inf}, false,
                       {1.0, 1.0}, 1e-3},
        RosenbrockCase{"boxed_exact_compact_path", {-1.2, 1.0}, {-2.0, -2.0}, {0.5, 2.0}, true,
                       {0.5, 0.25}, 1e-6},
        RosenbrockCase{"half_open_box_with_gradient", {-1.2, 1.0}, {-inf, -inf}, {0.5, inf}, true,
                       {0.5, 0.25}, 1e-6},
        RosenbrockCase{"unbounded_4d_with_gradient", {-1.2, 1.0, -1.2, 1.0}, {-inf, -inf, -inf, -inf},
                       {inf, inf, inf, inf}, true, {1.0, 1.0, 1.0, 1.0}, 1e-4}),
    [](const ::testing::TestParamInfo<RosenbrockCase>& info) { return std::string(info.param.name); });

// --- Ways out -----------------------------------------------------------

TEST(MainLoop, WrongSignGradientEndsInLineSearchFailure) {
  Problem p;
  p.value = [](std::span<const double> x) { return x[0] * x[0]; };
  p.gradient = [](std::span<const double> x) { return Vec{-2.0 * x[0]}; };
  const auto r = run(p, {1.0}, {-inf}, {inf}, with_gradient());
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->convergence, 52);
  EXPECT_EQ(r->message, "ERROR: ABNORMAL_TERMINATION_IN_LNSRCH");
  EXPECT_EQ(r->par, (Vec{1.0}));
  EXPECT_EQ(r->value, 1.0);
  EXPECT_EQ(r->counts, (std::pair<std::size_t, std::size_t>{21, 21}));
}

class IterationLimit : public ::testing::TestWithParam<std::size_t> {};

// Rosenbrock from its usual start needs far more steps than these limits, so
// every run ends on the limit; the level-1 trace with REPORT 1 writes one line
// per accepted step, and there are maxit + 1 of them.
TEST_P(IterationLimit, StopsAfterMaxitPlusOneAcceptedSteps) {
  const std::size_t maxit = GetParam();
  Problem p = rosenbrock();
  RunControls controls = with_gradient();
  controls.maxit = maxit;
  controls.trace = 1;
  controls.report = 1;
  testing::internal::CaptureStderr();
  const auto r = run(p, {-1.2, 1.0}, {-inf, -inf}, {inf, inf}, controls);
  const std::string trace = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->convergence, 1);
  EXPECT_EQ(r->message, "NEW_X");
  EXPECT_EQ(static_cast<std::size_t>(std::count(trace.begin(), trace.end(), '\n')), maxit + 1);
  // The reported point is the last one evaluated by the last line search.
  EXPECT_EQ(r->par, p.points.back());
  EXPECT_EQ(r->value, p.value(r->par));
  EXPECT_EQ(r->counts.first, p.points.size());
}

INSTANTIATE_TEST_SUITE_P(Limits, IterationLimit, ::testing::Values(0u, 1u, 5u));

TEST(MainLoop, MaxitZeroTakesExactlyOneStepOnQuadratic) {
  // With an empty history the subspace point is x - g = (3, -3); every bound
  // infinite caps the first trial at 1 / max(|d|, 1) = 1/3 of that step, and
  // the More-Thuente search accepts it.
  Problem p = half_squares({3.0, -3.0});
  RunControls controls = with_gradient();
  controls.maxit = 0;
  const auto r = run(p, {0.0, 0.0}, {-inf, -inf}, {inf, inf}, controls);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->convergence, 1);
  EXPECT_EQ(r->counts, (std::pair<std::size_t, std::size_t>{2, 2}));
  EXPECT_EQ(r->par, (Vec{1.0, -1.0}));
  EXPECT_EQ(r->value, 4.0);
}

TEST(MainLoop, NonFiniteStartValueIsAnInitialError) {
  for (const double bad : {std::nan(""), inf, -inf}) {
    Problem p;
    p.value = [bad](std::span<const double>) { return bad; };
    p.gradient = [](std::span<const double>) { return Vec{0.0}; };
    const auto r = run(p, {1.0}, {-inf}, {inf}, with_gradient());
    ASSERT_FALSE(r.has_value());
    const auto* e = std::get_if<compat_lbfgsb::error::NonFiniteInitialValue>(&r.error());
    ASSERT_NE(e, nullptr);
    EXPECT_TRUE(std::isnan(bad) ? std::isnan(e->value) : e->value == bad);
  }
}

TEST(MainLoop, NonFiniteValueAtATrialPointPassesUnchanged) {
  // Finite at the start, +inf at the first trial point (x = 0.5).
  Problem p = half_squares({3.0});
  const auto inner = p.value;
  p.value = [inner](std::span<const double> x) { return x[0] > 0.25 ? inf : inner(x); };
  const auto r = run(p, {0.0}, {-inf}, {inf}, with_gradient());
  ASSERT_FALSE(r.has_value());
  const auto* e = std::get_if<compat_lbfgsb::error::NonFiniteValue>(&r.error());
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->value, inf);
}

TEST(MainLoop, GradientErrorAtTheStartPassesUnchanged) {
  struct WrongLength final : BackendProblem {
    std::expected<ValueAndGradient, OptimError> value_and_gradient(std::span<const double>) override {
      return std::unexpected(compat_lbfgsb::error::InvalidGradient{std::nullopt, std::nullopt, "expected length 2, got 1"});
    }
  } problem;
  const auto r = NativeBackend{}.minimize(problem, Vec{0.0, 0.0}, Vec{-inf, -inf}, Vec{inf, inf},
                                          with_gradient());
  ASSERT_FALSE(r.has_value());
  const auto* e = std::get_if<compat_lbfgsb::error::InvalidGradient>(&r.error());
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->message, "expected length 2, got 1");
}

// A start at the minimiser: which stops count the zero-gradient pass and
// re-evaluate before they report.
struct ZeroGradientCase {
  const char* name;
  Vec lower, upper;
  bool has_gradient;
  double pgtol;
  std::size_t evaluations;
};

class ZeroGradientStart : public ::testing::TestWithParam<ZeroGradientCase> {};

TEST_P(ZeroGradientStart, StopsWithTheExpectedCounts) {
  const ZeroGradientCase& c = GetParam();
  Problem p = half_squares({0.25, -0.5});
  RunControls controls;
  controls.has_gradient = c.has_gradient;
  controls.pgtol = c.pgtol;
  const auto r = run(p, {0.25, -0.5}, c.lower, c.upper, controls);
  ASSERT_TRUE(r.has_value()) << c.name;
  EXPECT_EQ(r->convergence, 0) << c.name;
  EXPECT_EQ(r->message, kPgtol) << c.name;
  EXPECT_EQ(r->par, (Vec{0.25, -0.5})) << c.name;
  EXPECT_EQ(r->value, 0.0) << c.name;
  EXPECT_EQ(r->counts.first, c.evaluations) << c.name;
  EXPECT_EQ(r->counts.second, c.evaluations) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Stops, ZeroGradientStart,
    ::testing::Values(
        // The pass is taken at the head, the no-descent stop follows and re-evaluates.
        ZeroGradientCase{"infinite_bounds_gradient_pgtol_0", {-inf, -inf}, {inf, inf}, true, 0.0, 2},
        ZeroGradientCase{"infinite_bounds_no_gradient_pgtol_0", {-inf, -inf}, {inf, inf}, false, 0.0, 1},
        ZeroGradientCase{"infinite_bounds_gradient_pgtol_1e_minus_5", {-inf, -inf}, {inf, inf}, true, 1e-5, 1},
        ZeroGradientCase{"finite_box_gradient_pgtol_0", {-1.0, -1.0}, {1.0, 1.0}, true, 0.0, 1}),
    [](const ::testing::TestParamInfo<ZeroGradientCase>& info) { return std::string(info.param.name); });

TEST(MainLoop, ReductionStopAndFactrZero) {
  // 1-d quadratic: backtracking and the projected direction. The default
  // factr stops by relative reduction or gradient; factr = 0 can only stop on
  // the gradient, the no-descent test, code 52 or the limit.
  Problem p = half_squares({1.0});
  p.value = [](std::span<const double> x) { return std::pow(x[0] - 1.0, 4.0) + 1.0; };
  p.gradient = [](std::span<const double> x) { return Vec{4.0 * std::pow(x[0] - 1.0, 3.0)}; };
  RunControls controls = with_gradient();
  controls.maxit = 1000;
  const auto r = run(p, {3.0}, {-inf}, {inf}, controls);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->message, kFactr);
  EXPECT_NEAR(r->par[0], 1.0, 0.05);
  controls.factr = 0.0;
  Problem q = p;
  const auto s = run(q, {3.0}, {-inf}, {inf}, controls);
  ASSERT_TRUE(s.has_value());
  EXPECT_NE(s->message, kFactr);
  EXPECT_LT(std::fabs(s->par[0] - 1.0), std::fabs(r->par[0] - 1.0));
}

TEST(MainLoop, StartOutsideTheBoxIsProjectedFirst) {
  Problem p = half_squares({0.5, 0.5});
  RunControls controls = with_gradient();
  controls.pgtol = 10.0;  // stops at the head of iteration 1
  const auto r = run(p, {5.0, -inf}, {0.0, 0.0}, {1.0, 1.0}, controls);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->par, (Vec{1.0, 0.0}));
  EXPECT_EQ(r->value, 0.25);
  EXPECT_EQ(r->counts, (std::pair<std::size_t, std::size_t>{1, 1}));
  EXPECT_EQ(p.points.front(), (Vec{1.0, 0.0}));
}

// A gradient of -inf at a variable on its upper bound: the projected
// steepest direction is zero there, so g.d = (-inf) * 0 = NaN. A NaN slope is
// not a descent slope; the run must stop instead of line-searching along it.
TEST(MainLoop, NaNSlopeIsNotTakenForDescent) {
  for (const bool has_gradient : {true, false}) {
    Problem p;
    p.value = [](std::span<const double> x) { return x[0] - x[1]; };
    p.gradient = [](std::span<const double>) { return Vec{1.0, -inf}; };
    RunControls controls;
    controls.has_gradient = has_gradient;
    const auto r = run(p, {0.5, 1.0}, {-inf, -inf}, {inf, 1.0}, controls);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->convergence, 0);
    EXPECT_EQ(r->message, kPgtol);
    EXPECT_EQ(r->counts, (std::pair<std::size_t, std::size_t>{1, 1})) << has_gradient;
    EXPECT_EQ(p.points.size(), 1u);
  }
}

// --- What a run derives from its controls and bounds ------------------------------

TEST(RunSetup, EffectiveControlsAndModes) {
  RunControls c;
  c.lmm = 7;
  c.maxit = 3;
  EXPECT_EQ(compat_lbfgsb::backend::native::effective_run_controls(c).ftol, 2.220446049250313e-09);
  c.factr = 1000.0;
  const auto effective = compat_lbfgsb::backend::native::effective_run_controls(c);
  EXPECT_EQ(effective.ftol, 2.220446049250313e-13);
  EXPECT_EQ(effective.lmm, 7u);
  EXPECT_EQ(effective.maxit, 3u);
  c.factr = 0.0;
  EXPECT_FALSE(compat_lbfgsb::backend::native::effective_run_controls(c).ftol.has_value());

  using compat_lbfgsb::BackendModes;
  const RunControls no_gradient;
  const RunControls gradient = with_gradient();
  const Vec boxed{0.0, 1.0}, open{0.0, inf}, nan_bound{0.0, std::nan("")};
  EXPECT_TRUE(BackendModes::for_problem(no_gradient, 2, boxed, boxed).more_thuente);
  EXPECT_FALSE(BackendModes::for_problem(no_gradient, 2, boxed, open).subspace);
  EXPECT_FALSE(BackendModes::for_problem(no_gradient, 2, nan_bound, boxed).more_thuente);
  EXPECT_TRUE(BackendModes::for_problem(gradient, 2, boxed, open).subspace);
  EXPECT_FALSE(BackendModes::for_problem(gradient, 1, Vec{0.0}, Vec{1.0}).more_thuente);
}

TEST(RunSetup, ProjectedGradientNorm) {
  using compat_lbfgsb::backend::native::projected_gradient_norm;
  // Pulled towards zero by the room left to the bound it moves towards; a
  // NaN term is ignored; an infinite bound leaves g as it is.
  EXPECT_EQ(projected_gradient_norm(Vec{0.0, 0.5}, Vec{3.0, -2.0}, Vec{0.0, 0.0}, Vec{1.0, 1.0}), 0.5);
  EXPECT_EQ(projected_gradient_norm(Vec{0.25, 1.0}, Vec{-0.75, std::nan("")}, Vec{-inf, 0.0}, Vec{inf, 1.0}),
            0.75);
  EXPECT_EQ(projected_gradient_norm(Vec{1.0}, Vec{-4.0}, Vec{0.0}, Vec{1.0}), 0.0);
  EXPECT_EQ(projected_gradient_norm(Vec{}, Vec{}, Vec{}, Vec{}), 0.0);
}
