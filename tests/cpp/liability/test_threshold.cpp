// What Python cannot reach of the liability-threshold model (the held range, the refusals of
// searches that cannot be evaluated or cannot converge), and of the shared fit loop: the refusal
// of an unevaluable end point.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <Eigen/Core>

#include "../tobit/objective_changes.hpp"
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

// ---- searches that cannot be evaluated or cannot converge ---------------------------------

namespace changes = objective_changes;

using changes::Operation;
using changes::SearchCase;

class Searches : public testing::TestWithParam<SearchCase> {};

TEST_P(Searches, ThatCannotBeEvaluatedOrCannotConvergeAreRefused) {
  const SearchCase& c = GetParam();
  const LiabilityModel model = c.change ? pairs().with_objective_change(*c.change) : pairs();
  EXPECT_EQ(changes::heritability_outcome(model, c.operation), c.code);
}

INSTANTIATE_TEST_SUITE_P(
    Liability, Searches,
    testing::Values(
        SearchCase{"unchanged_test", std::nullopt, Operation::test, ""},
        SearchCase{"unchanged_interval", std::nullopt, Operation::interval, ""},
        SearchCase{"nowhere_evaluable_fit", changes::unevaluable(changes::free_at(0)), Operation::fit,
                   "LIABILITY_NO_START_CONVERGED"},
        SearchCase{"rough_free_fit", changes::rough(changes::free_at(0)), Operation::fit, "not converged"},
        SearchCase{"rough_free_test", changes::rough(changes::free_at(0)), Operation::test,
                   "LIABILITY_FIT_NOT_CONVERGED"},
        SearchCase{"rough_free_interval", changes::rough(changes::free_at(0)), Operation::interval,
                   "LIABILITY_FIT_NOT_CONVERGED"},
        SearchCase{"rough_null_test", changes::rough(changes::holding(0, 0.0)), Operation::test,
                   "LIABILITY_NULL_FIT_NOT_CONVERGED"},
        SearchCase{"rough_held_interval", changes::rough(changes::holding(0)), Operation::interval,
                   "LIABILITY_PROFILE_NOT_EVALUABLE"},
        SearchCase{"held_unevaluable_interval", changes::unevaluable(changes::holding(0)), Operation::interval,
                   "LIABILITY_PROFILE_NOT_EVALUABLE"}),
    [](const testing::TestParamInfo<SearchCase>& info) { return info.param.name; });

// ---- the shared fit loop -------------------------------------------------------------------

difference_fit::Problem box(double threshold) {
  return difference_fit::box_problem({-5.0, -5.0}, {5.0, 5.0}, 100, threshold, 0.0);
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

// Two wells: x0 near -1 lies 0.6 below x0 near 1.
double wells(std::span<const double> x) {
  return (x[0] * x[0] - 1.0) * (x[0] * x[0] - 1.0) + 0.3 * x[0] + x[1] * x[1] + 3.0;
}

TEST(DifferenceFit, ARestrictedFitAboveTheFreeOneSendsTheFreeSearchFromItsEnd) {
  const difference_fit::Objective f = wells;
  const auto free = difference_fit::fit(box(1e-6), {{2.0, 0.5}}, f);
  ASSERT_TRUE(free);
  ASSERT_GT(free->x[0], 0.0);  // the upper well
  const auto restricted_at = [&](std::vector<double> x) { return difference_fit::Fit{x, wells(x), 0.0, false}; };

  // Below the free fit: nothing to resolve.
  const auto kept = difference_fit::above_restricted(box(1e-6), *free, restricted_at({1.5, 0.0}), f);
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->x, free->x);

  // In the lower well: the free search from there finds it.
  const difference_fit::Fit lower = restricted_at({-1.0, 0.0});
  const auto found = difference_fit::above_restricted(box(1e-6), *free, lower, f);
  ASSERT_TRUE(found);
  EXPECT_LT(found->x[0], 0.0);
  EXPECT_LE(found->value, lower.value);

  // A free search that can never count as converged leaves it unresolved.
  EXPECT_FALSE(difference_fit::above_restricted(box(0.0), *free, lower, f));
}

TEST(DifferenceFit, StepsOffThatRiseAreSearchedOnAndStepsThatStillRiseMarkTheFit) {
  const difference_fit::Objective f = wells;
  const auto upper = difference_fit::fit(box(1e-6), {{2.0, 0.5}}, f);
  ASSERT_TRUE(upper);
  ASSERT_GT(upper->x[0], 0.0);
  // A step into the lower well rises off the upper one; none rises off the lower.
  const difference_fit::StepsOff into_lower = [](std::span<const double> x, double) {
    return x[0] > 0.0 ? std::vector<std::vector<double>>{{-0.5, 0.0}} : std::vector<std::vector<double>>{};
  };
  const difference_fit::Fit moved = difference_fit::off_ends(box(1e-6), *upper, f, into_lower);
  EXPECT_LT(moved.x[0], 0.0);
  EXPECT_LT(moved.value, upper->value - 0.5);
  EXPECT_FALSE(moved.rises);
  // Steps that rise however far the searches go: the fit is kept and marked.
  const difference_fit::StepsOff always = [](std::span<const double> x, double) {
    return std::vector<std::vector<double>>{{x.begin(), x.end()}};
  };
  const difference_fit::Fit marked = difference_fit::off_ends(box(1e-6), moved, f, always);
  EXPECT_EQ(marked.x, moved.x);
  EXPECT_TRUE(marked.rises);
}

}  // namespace
