#include "numerics/interval.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "param_names.hpp"

namespace {

using kestrune::interval::chi2_1_cut;
using kestrune::interval::FailedBound;
using kestrune::interval::profile_interval;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// A refit that records every held value it was asked for.
template <class Curve>
struct Recorded {
  Curve curve;
  std::vector<double> calls;
  std::optional<double> operator()(double value) {
    calls.push_back(value);
    return curve(value);
  }
};
template <class Curve>
Recorded(Curve, std::vector<double>) -> Recorded<Curve>;

std::optional<double> quadratic(double x, double e, double sigma) {
  return -(x - e) * (x - e) / (2.0 * sigma * sigma);
}

struct QuadraticCase {
  double estimate;
  double sigma;
};

class QuadraticProfile : public ::testing::TestWithParam<QuadraticCase> {};

TEST_P(QuadraticProfile, EndsAtTheChiSquareCut) {
  const auto [e, sigma] = GetParam();
  Recorded refit{[=](double x) { return quadratic(x, e, sigma); }, {}};
  const auto result = profile_interval(refit, e, e - 10.0 * sigma, e + 10.0 * sigma);
  ASSERT_TRUE(result.estimate.has_value());
  EXPECT_EQ(*result.estimate, e);
  EXPECT_NEAR(result.lower, e - 1.959963984540054 * sigma, 1e-9 + 1e-12 * std::fabs(e));
  EXPECT_NEAR(result.upper, e + 1.959963984540054 * sigma, 1e-9 + 1e-12 * std::fabs(e));
  EXPECT_FALSE(result.lower_limited);
  EXPECT_FALSE(result.upper_limited);
  EXPECT_NEAR(*result.lower_statistic, 100.0, 1e-9);
  EXPECT_NEAR(*result.upper_statistic, 100.0, 1e-9);
  EXPECT_EQ(result.profile_failures, 0u);
  EXPECT_EQ(result.level, 0.95);
  EXPECT_FALSE(result.contains_lower_bound.has_value());
  EXPECT_FALSE(result.contains_upper_bound.has_value());
  // Estimate, lower bound, lower bisection, upper bound, upper bisection: the first three
  // calls and the upper bound's position are fixed, and each side bisects until its bracket
  // is 1e-9 wide: ceil(log2(10 sigma / 1e-9)) refits.
  const std::size_t side = static_cast<std::size_t>(std::ceil(std::log2(10.0 * sigma / 1e-9)));
  ASSERT_EQ(refit.calls.size(), 3 + 2 * side);
  EXPECT_EQ(refit.calls[0], e);
  EXPECT_EQ(refit.calls[1], e - 10.0 * sigma);
  EXPECT_EQ(refit.calls[2], (e + (e - 10.0 * sigma)) * 0.5);
  EXPECT_EQ(refit.calls[2 + side], e + 10.0 * sigma);
}

INSTANTIATE_TEST_SUITE_P(Profiles, QuadraticProfile,
                         ::testing::Values(QuadraticCase{0.0, 1.0}, QuadraticCase{0.3, 0.05},
                                           QuadraticCase{-2.0, 0.1}, QuadraticCase{5.0, 2.0}),
                         [](const ::testing::TestParamInfo<QuadraticCase>& info) {
                           return "estimate_" + kestrune_test::name_of(info.param.estimate) + "_sigma_" +
                                  kestrune_test::name_of(info.param.sigma);
                         });

TEST(ProfileInterval, FailedRefitAtEstimateEndsAfterOneCall) {
  for (const std::optional<double> failure :
       {std::optional<double>{}, std::optional<double>{nan},
        std::optional<double>{std::numeric_limits<double>::infinity()}}) {
    Recorded refit{[=](double) { return failure; }, {}};
    const auto result = profile_interval(refit, 0.4, 0.0, 1.0);
    EXPECT_FALSE(result.estimate.has_value());
    EXPECT_TRUE(std::isnan(result.lower));
    EXPECT_TRUE(std::isnan(result.upper));
    EXPECT_FALSE(result.lower_limited || result.upper_limited);
    EXPECT_FALSE(result.lower_statistic || result.upper_statistic);
    EXPECT_EQ(result.profile_failures, 0u);
    EXPECT_EQ(result.level, 0.95);
    EXPECT_EQ(refit.calls.size(), 1u);
  }
}

TEST(ProfileInterval, BoundsWithinTheCutAreLimited) {
  // Lower bound equal to the estimate (statistic 0); upper bound exactly at the cut.
  const double slope = chi2_1_cut / 2.0;
  Recorded refit{[=](double x) { return std::optional<double>(-slope * x); }, {}};
  const auto result = profile_interval(refit, 0.0, 0.0, 1.0);
  EXPECT_EQ(result.lower, 0.0);
  EXPECT_TRUE(result.lower_limited);
  EXPECT_EQ(*result.lower_statistic, 0.0);
  EXPECT_EQ(result.upper, 1.0);
  EXPECT_TRUE(result.upper_limited);
  EXPECT_EQ(*result.upper_statistic, chi2_1_cut);
  EXPECT_EQ(refit.calls, (std::vector<double>{0.0, 0.0, 1.0}));
}

TEST(ProfileInterval, FailedBoundIsCountedAndLimited) {
  // Fails at the lower bound only; the upper side bisects undisturbed.
  Recorded refit{[](double x) -> std::optional<double> {
                   if (x == 0.0) return std::nullopt;
                   return quadratic(x, 0.5, 0.05);
                 },
                 {}};
  const auto result = profile_interval(refit, 0.5, 0.0, 1.0);
  EXPECT_EQ(result.lower, 0.0);
  EXPECT_TRUE(result.lower_limited);
  EXPECT_FALSE(result.lower_statistic.has_value());
  EXPECT_EQ(result.profile_failures, 1u);
  EXPECT_FALSE(result.upper_limited);
  EXPECT_NEAR(result.upper, 0.5 + 1.959963984540054 * 0.05, 1e-9);
  EXPECT_NEAR(*result.upper_statistic, 100.0, 1e-9);
}

TEST(ProfileInterval, FailedBoundSearchedTowardsEndsWhereTheProfileLeavesTheCut) {
  const auto failing_at_zero = [](double sigma) {
    return Recorded{[sigma](double x) -> std::optional<double> {
                      if (x == 0.0) return std::nullopt;
                      return quadratic(x, 0.5, sigma);
                    },
                    {}};
  };
  auto narrow = failing_at_zero(0.05);
  const auto found = profile_interval(narrow, 0.5, 0.0, 1.0, FailedBound::searched);
  EXPECT_NEAR(found.lower, 0.5 - 1.959963984540054 * 0.05, 1e-9);
  EXPECT_FALSE(found.lower_limited);
  EXPECT_FALSE(found.lower_statistic.has_value());
  EXPECT_EQ(found.profile_failures, 1u);
  // A profile within the cut all the way to the failed bound ends there, limited.
  auto wide = failing_at_zero(1.0);
  const auto limited = profile_interval(wide, 0.5, 0.0, 1.0, FailedBound::searched);
  EXPECT_EQ(limited.lower, 0.0);
  EXPECT_TRUE(limited.lower_limited);
  EXPECT_FALSE(limited.lower_statistic.has_value());
  EXPECT_EQ(limited.profile_failures, 1u);
}

TEST(ProfileInterval, FailuresInsideWalkToTheBoundAndAddUpOverSides) {
  // Finite only at the estimate and the bounds, where the statistic exceeds the cut:
  // every midpoint fails, counts, and moves the inside end towards the bound.
  Recorded refit{[](double x) -> std::optional<double> {
                   if (x == 0.25) return 0.0;
                   if (x == 0.0 || x == 1.0) return -50.0;
                   return nan;
                 },
                 {}};
  const auto result = profile_interval(refit, 0.25, 0.0, 1.0);
  EXPECT_FALSE(result.lower_limited);
  EXPECT_FALSE(result.upper_limited);
  EXPECT_NEAR(result.lower, 0.0, 1e-9);
  EXPECT_NEAR(result.upper, 1.0, 1e-9);
  EXPECT_EQ(*result.lower_statistic, 100.0);
  EXPECT_EQ(*result.upper_statistic, 100.0);
  // ceil(log2(0.25 / 1e-9)) = 28 and ceil(log2(0.75 / 1e-9)) = 30 failed midpoints.
  EXPECT_EQ(result.profile_failures, 58u);
  EXPECT_EQ(refit.calls.size(), 1u + 1u + 28u + 1u + 30u);
}

TEST(ProfileInterval, HigherLikelihoodCountsAsInside) {
  // A refit above the reference gives a negative statistic: inside the interval.
  Recorded refit{[](double x) -> std::optional<double> { return x < 0.9 ? 1.0 + x : -10.0; }, {}};
  const auto result = profile_interval(refit, 0.0, 0.0, 1.0);
  EXPECT_NEAR(result.upper, 0.9, 1e-9);
  EXPECT_FALSE(result.upper_limited);
  EXPECT_EQ(*result.upper_statistic, 22.0);
}

TEST(ProfileInterval, WideBracketStopsAfterEightyRefits) {
  // A bracket of 1e30 cannot narrow to 1e-9 within 80 halvings.
  Recorded refit{[](double x) { return std::optional<double>(-std::fabs(x)); }, {}};
  const auto result = profile_interval(refit, 0.0, -1e30, 1e30);
  EXPECT_EQ(refit.calls.size(), 1u + 2u * (1u + 80u));
  EXPECT_FALSE(result.lower_limited);
  // The cut sits at |x| = 1.92; after 80 halvings the bracket is still about 8.3e5 wide.
  EXPECT_LT(result.lower, 0.0);
  EXPECT_GT(result.upper, 0.0);
  EXPECT_NEAR(result.upper, 1e30 / std::ldexp(1.0, 81), 1.0);
}

}  // namespace
