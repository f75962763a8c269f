// The bound-aware difference gradient: its steps beside bounds, what it
// evaluates, how it fails, and its accuracy on analytic functions.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <span>
#include <vector>

#include "compat_lbfgsb/finite_diff.hpp"

namespace {

using compat_lbfgsb::OptimError;
using compat_lbfgsb::finite_diff::finite_difference_gradient;
using compat_lbfgsb::finite_diff::InternalValue;
using Vec = std::vector<double>;

constexpr double inf = std::numeric_limits<double>::infinity();
const double nan = std::numeric_limits<double>::quiet_NaN();

// A value function that records every point and refuses any outside the box.
struct Recorder {
  Vec lower, upper;
  std::vector<Vec> points;
  bool outside = false;

  InternalValue value(double (*f)(std::span<const double>)) {
    return [this, f](std::span<const double> x) -> std::expected<double, OptimError> {
      points.emplace_back(x.begin(), x.end());
      for (std::size_t i = 0; i < x.size(); ++i) {
        if (x[i] < lower[i] || x[i] > upper[i]) outside = true;
      }
      return f(x);
    };
  }
};

double cube_sum(std::span<const double> x) {
  double f = 0.0;
  for (double v : x) f += v * v * v;
  return f;
}

struct StepCase {
  const char* name;
  double x, lower, upper, ndeps;
  double plus, minus;  // the two points evaluated
  double width;        // the divisor
};

class Steps : public testing::TestWithParam<StepCase> {};

TEST_P(Steps, EvaluatesTheShrunkSidesAndDividesByTheActualWidth) {
  const StepCase& c = GetParam();
  Recorder rec{{c.lower}, {c.upper}, {}};
  const auto g = finite_difference_gradient(Vec{c.x}, rec.lower, rec.upper, Vec{c.ndeps}, rec.value(cube_sum));
  ASSERT_TRUE(g.has_value());
  ASSERT_EQ(rec.points.size(), 2u);
  EXPECT_EQ(rec.points[0][0], c.plus);
  EXPECT_EQ(rec.points[1][0], c.minus);
  const double expected = (c.plus * c.plus * c.plus - c.minus * c.minus * c.minus) / c.width;
  EXPECT_EQ((*g)[0], expected);
  EXPECT_FALSE(rec.outside);
}

INSTANTIATE_TEST_SUITE_P(
    FiniteDiff, Steps,
    testing::Values(StepCase{"open", 1.0, -inf, inf, 1e-3, 1.0 + 1e-3, 1.0 - 1e-3, 1e-3 + 1e-3},
                    StepCase{"at_upper", 2.0, -10.0, 2.0, 1e-3, 2.0, 2.0 - 1e-3, 0.0 + 1e-3},
                    StepCase{"near_lower", 0.0004, 0.0, inf, 1e-3, 0.0004 + 1e-3, 0.0, 1e-3 + 0.0004},
                    StepCase{"at_lower", -3.0, -3.0, 5.0, 0.25, -2.75, -3.0, 0.25 + 0.0},
                    // x + (upper - x) rounds one ulp above upper here; the point is kept on the bound.
                    StepCase{"rounding_past_upper", -0.0014418169856248151, -inf, -0.00045819337989499705, 1e-3,
                             -0.00045819337989499705, -0.0014418169856248151 - 1e-3,
                             (-0.00045819337989499705 - -0.0014418169856248151) + 1e-3}),
    [](const testing::TestParamInfo<StepCase>& info) { return std::string(info.param.name); });

TEST(FiniteDiff, UnclampedStepWouldHaveLeftTheBox) {
  // Guards the rounding case above: the plain sum really lands past the bound.
  const double x = -0.0014418169856248151, upper = -0.00045819337989499705;
  EXPECT_GT(x + std::fmin(1e-3, upper - x), upper);
}

TEST(FiniteDiff, FixedCoordinateIsZeroAndNotEvaluated) {
  Recorder rec{{-1.0, 2.0, -1.0}, {1.0, 2.0, 1.0}, {}};
  const auto g = finite_difference_gradient(Vec{0.5, 2.0, -0.5}, rec.lower, rec.upper, Vec{1e-3, 1e-3, 1e-3},
                                            rec.value(cube_sum));
  ASSERT_TRUE(g.has_value());
  EXPECT_EQ((*g)[1], 0.0);
  ASSERT_EQ(rec.points.size(), 4u);  // two per moving coordinate
  for (const Vec& p : rec.points) EXPECT_EQ(p[1], 2.0);
  // Each coordinate moves alone from the point as given.
  EXPECT_EQ(rec.points[2], (Vec{0.5, 2.0, -0.5 + 1e-3}));
  EXPECT_EQ(rec.points[3], (Vec{0.5, 2.0, -0.5 - 1e-3}));
}

TEST(FiniteDiff, EmptyPointEvaluatesNothing) {
  Recorder rec;
  const auto g = finite_difference_gradient(Vec{}, Vec{}, Vec{}, Vec{}, rec.value(cube_sum));
  ASSERT_TRUE(g.has_value());
  EXPECT_TRUE(g->empty());
  EXPECT_TRUE(rec.points.empty());
}

TEST(FiniteDiff, FirstFailureEndsTheCallBeforeLaterCoordinates) {
  // Finite at x+ but NaN at x- of coordinate 2 (index 1) of 4.
  int calls = 0;
  const InternalValue value = [&calls](std::span<const double> x) -> std::expected<double, OptimError> {
    ++calls;
    if (x[1] < 0.0) return std::unexpected(compat_lbfgsb::error::NonFiniteValue{nan});
    return x[0] + x[1] + x[2] + x[3];
  };
  const Vec open(4, inf), closed(4, -inf), ndeps(4, 1e-3);
  const auto g = finite_difference_gradient(Vec{1.0, 0.0, 1.0, 1.0}, closed, open, ndeps, value);
  ASSERT_FALSE(g.has_value());
  const auto* err = std::get_if<compat_lbfgsb::error::NonFiniteValue>(&g.error());
  ASSERT_NE(err, nullptr);
  EXPECT_TRUE(std::isnan(err->value));
  EXPECT_EQ(calls, 4);  // two for coordinate 1, two for coordinate 2, none after
}

// f = sum_i exp(a_i x_i) + x_0 x_1 on a box; analytic gradient for comparison.
double smooth(std::span<const double> x) { return std::exp(0.5 * x[0]) + std::exp(-1.5 * x[1]) + x[0] * x[1]; }

TEST(FiniteDiff, AgreesWithAnalyticGradientWithinStepAccuracyAndStaysInTheBox) {
  const Vec lower{-0.7, 0.1}, upper{0.9, 1.3};
  const double h = 1e-3;
  // Interior points (central difference, error O(h^2)) and points at or near a
  // bound (one-sided on at least one side, error O(h)).
  const std::vector<Vec> points{{0.2, 0.5}, {-0.7, 1.3}, {0.9, 0.1}, {0.8996, 0.10004}, {-0.3, 1.2995}};
  for (const Vec& x : points) {
    Recorder rec{lower, upper, {}};
    const auto g = finite_difference_gradient(x, lower, upper, Vec{h, h}, rec.value(smooth));
    ASSERT_TRUE(g.has_value());
    EXPECT_FALSE(rec.outside);
    const double g0 = 0.5 * std::exp(0.5 * x[0]) + x[1];
    const double g1 = -1.5 * std::exp(-1.5 * x[1]) + x[0];
    const bool interior = x[0] - lower[0] >= h && upper[0] - x[0] >= h && x[1] - lower[1] >= h && upper[1] - x[1] >= h;
    const double tol = interior ? 1e-6 : 3e-3;
    EXPECT_NEAR((*g)[0], g0, tol) << x[0] << "," << x[1];
    EXPECT_NEAR((*g)[1], g1, tol) << x[0] << "," << x[1];
  }
}

}  // namespace

namespace {

TEST(FiniteDiff, StepRuleSetsEachCoordinatesStepFromItsEntry) {
  // A step relative to the entry's size, as a model's own gradient takes it.
  const compat_lbfgsb::finite_diff::StepRule relative = [](std::size_t, double xi) {
    return 1e-5 * std::fmax(std::fabs(xi), 1.0);
  };
  Recorder rec{{-inf, -inf, 0.0}, {inf, inf, 1.0}, {}};
  const auto g = finite_difference_gradient(Vec{250.0, 0.5, 1.0}, rec.lower, rec.upper, relative, rec.value(cube_sum));
  ASSERT_TRUE(g.has_value());
  ASSERT_EQ(rec.points.size(), 6u);
  EXPECT_EQ(rec.points[0][0], 250.0 + 2.5e-3);
  EXPECT_EQ(rec.points[1][0], 250.0 - 2.5e-3);
  EXPECT_EQ(rec.points[2][1], 0.5 + 1e-5);
  EXPECT_EQ(rec.points[4][2], 1.0);          // at the upper bound only the lower side moves
  EXPECT_EQ(rec.points[5][2], 1.0 - 1e-5);
  EXPECT_NEAR((*g)[0], 3.0 * 250.0 * 250.0, 1e-3);
}

}  // namespace
