// End-to-end runs of the engine on problems with closed-form answers, one per
// configuration, and its ways out: iteration limit, line-search failure,
// evaluation errors and the no-descent stop.
#include <gtest/gtest.h>

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
        RosenbrockCase{"unbounded with gradient", {-1.2, 1.0}, {-inf, -inf}, {inf, inf}, true,
                       {1.0, 1.0}, 1e-5},
        RosenbrockCase{"unbounded without gradient", {-1.2, 1.0}, {-inf, -inf}, {inf, inf}, false,
                       {1.0, 1.0}, 1e-3},
        RosenbrockCase{"boxed, exact compact path", {-1.2, 1.0}, {-2.0, -2.0}, {0.5, 2.0}, true,
                       {0.5, 0.25}, 1e-6},
        RosenbrockCase{"half-open box with gradient", {-1.2, 1.0}, {-inf, -inf}, {0.5, inf}, true,
                       {0.5, 0.25}, 1e-6},
        RosenbrockCase{"4-d unbounded with gradient", {-1.2, 1.0, -1.2, 1.0}, {-inf, -inf, -inf, -inf},
                       {inf, inf, inf, inf}, true, {1.0, 1.0, 1.0, 1.0}, 1e-4}));
