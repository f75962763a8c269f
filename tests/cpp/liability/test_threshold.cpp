// What Python cannot reach of the liability-threshold model: the held range and the domain of
// its likelihood, and the shared fit loop's refusal of an unevaluable end point.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <Eigen/Core>

#include "liability/region.hpp"
#include "liability/threshold.hpp"
#include "numerics/difference_fit.hpp"

namespace {

using kestrune::liability::LiabilityModel;
namespace difference_fit = kestrune::difference_fit;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

LiabilityModel pairs() {
  Eigen::MatrixXd a = Eigen::MatrixXd::Identity(6, 6);
  a(0, 1) = a(1, 0) = 0.5;
  a(2, 3) = a(3, 2) = 0.5;
  Eigen::MatrixXd x(6, 2);
  x << 1, 0.2, 1, -0.5, 1, 1.0, 1, 0.1, 1, -1.2, 1, 0.4;
  return *LiabilityModel::build(a, std::vector<double>{1, 0, 1, 1, 0, 0}, x);
}

TEST(Liability, HeldHeritabilityOutsideTheUnitIntervalIsRefused) {
  for (const double held : {1.5, -0.1, 1.0000001}) {
    const auto fit = pairs().fit_holding(held);
    ASSERT_FALSE(fit);
    EXPECT_EQ(fit.error().code, "LIABILITY_HELD_HERITABILITY_OUT_OF_RANGE");
  }
  const auto at_one = pairs().fit_holding(1.0);
  ASSERT_TRUE(at_one);
  EXPECT_EQ(at_one->h2, 1.0);
}

TEST(Liability, HeritabilityOneUsesTheRelationshipAlone) {
  const LiabilityModel model = pairs();
  const std::vector<double> beta{0.3, -0.2};
  const auto at_one = model.loglik(1.0, beta);
  ASSERT_TRUE(at_one);
  // The singletons have variance A_ii = 1; the pairs correlation 0.5 between their two sides.
  double expected = 0.0;
  const double m[6] = {0.3 - 0.04, 0.3 + 0.1, 0.3 - 0.2, 0.3 - 0.02, 0.3 + 0.24, 0.3 - 0.08};
  expected += std::log(kestrune::liability::bivariate_normal_cdf(m[0], -m[1], -0.5));
  expected += std::log(kestrune::liability::bivariate_normal_cdf(m[2], m[3], 0.5));
  expected += std::log(kestrune::liability::normal_cdf(-m[4])) + std::log(kestrune::liability::normal_cdf(-m[5]));
  EXPECT_NEAR(*at_one, expected, 1e-13);
  EXPECT_FALSE(model.loglik(1.0000001, beta));
  EXPECT_FALSE(model.loglik(nan, beta));
  EXPECT_FALSE(model.loglik(0.5, std::vector<double>{0.3, nan}));
}

// ---- the shared fit loop -------------------------------------------------------------------

difference_fit::Problem box(double threshold) {
  difference_fit::Problem problem{{-5.0, -5.0}, {5.0, 5.0}, 100, threshold, {}};
  problem.measure = [lower = problem.lower, upper = problem.upper](std::span<const double> x,
                                                                   std::span<const double> g) {
    return difference_fit::projected_magnitude(x, g, lower, upper, 0.0);
  };
  return problem;
}

double bowl(std::span<const double> x) { return (x[0] - 1.0) * (x[0] - 1.0) + 2.0 * (x[1] + 0.5) * (x[1] + 0.5) + 3.0; }

TEST(DifferenceFit, AStartThatEndsUnevaluableFailsInsteadOfWinning) {
  // Left of zero the objective cannot be evaluated: a start there has a zero difference
  // gradient, stays put and ends at 1e30.
  const difference_fit::Objective f = [](std::span<const double> x) {
    return x[0] < 0.0 ? difference_fit::unevaluable : bowl(x);
  };
  EXPECT_FALSE(difference_fit::fit(box(1e-6), {{-3.0, 0.0}, {-2.0, 1.0}}, f));
  const auto fit = difference_fit::fit(box(1e-6), {{-3.0, 0.0}, {2.0, 1.0}}, f);
  ASSERT_TRUE(fit);
  EXPECT_NEAR(fit->x[0], 1.0, 1e-5);
  EXPECT_NEAR(fit->value, 3.0, 1e-9);
}

TEST(DifferenceFit, EqualEndPointsKeepTheEarlierStart) {
  int calls = 0;
  const difference_fit::Objective f = [&](std::span<const double> x) {
    ++calls;
    return std::fabs(x[0]) < 2.0 ? 7.0 : bowl(x) + 10.0;  // flat: every start ends where it began
  };
  const auto fit = difference_fit::fit(box(1e-6), {{0.5, 0.0}, {-0.5, 0.0}}, f);
  ASSERT_TRUE(fit);
  EXPECT_EQ(fit->x[0], 0.5);
  EXPECT_FALSE(fit->polished);
  EXPECT_GT(calls, 0);
}

struct MeasureCase {
  std::string name;
  double x, lower, upper, g, edge, expected;
};

class Measure : public testing::TestWithParam<MeasureCase> {};

TEST_P(Measure, CountsOnlyTheInwardPartAtAnEdge) {
  const MeasureCase& c = GetParam();
  const double x[1] = {c.x}, g[1] = {c.g}, lower[1] = {c.lower}, upper[1] = {c.upper};
  EXPECT_EQ(difference_fit::projected_magnitude(x, g, lower, upper, c.edge), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Edges, Measure,
    testing::Values(MeasureCase{"interior", 0.5, 0.0, 1.0, -2.0, 0.0, 2.0},
                    MeasureCase{"at_lower_pushing_out", 0.0, 0.0, 1.0, 2.0, 0.0, 0.0},
                    MeasureCase{"at_lower_pulling_in", 0.0, 0.0, 1.0, -2.0, 0.0, 2.0},
                    MeasureCase{"near_upper_within_edge", 1.0 - 5e-10, 0.0, 1.0, -3.0, 1e-9, 0.0},
                    MeasureCase{"near_upper_beyond_edge", 1.0 - 5e-10, 0.0, 1.0, -3.0, 0.0, 3.0},
                    MeasureCase{"held", 0.3, 0.3, 0.3, 5.0, 0.0, 0.0},
                    MeasureCase{"nan_gradient", 0.5, 0.0, 1.0, nan, 0.0, 0.0}),
    [](const testing::TestParamInfo<MeasureCase>& info) { return info.param.name; });

}  // namespace
