// The region kernel's branches, its conditioning order and approximation, and bisection.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <Eigen/Core>

#include "liability/region.hpp"

namespace {

using kestrune::liability::bisect;
using kestrune::liability::bivariate_normal_cdf;
using kestrune::liability::conditioning_order;
using kestrune::liability::normal_cdf;
using kestrune::liability::region_log_probability;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

std::optional<double> kernel(const std::vector<double>& mean, const std::vector<double>& sign,
                             const Eigen::MatrixXd& covariance) {
  return region_log_probability(mean, sign, covariance);
}

// ---- conditioning order ------------------------------------------------------------------

struct OrderCase {
  std::string name;
  std::vector<double> sign;
  std::vector<Eigen::Index> order;
};

class Order : public testing::TestWithParam<OrderCase> {};

TEST_P(Order, AboveSideFirstUnlessItIsTheMajority) {
  EXPECT_EQ(conditioning_order(GetParam().sign), GetParam().order);
}

INSTANTIATE_TEST_SUITE_P(
    Signs, Order,
    testing::Values(OrderCase{"below_below_above_above", {-1, -1, 1, 1}, {2, 3, 0, 1}},
                    OrderCase{"majority_above", {1, -1, 1, 1}, {1, 0, 2, 3}},
                    OrderCase{"above_above_below_below", {1, 1, -1, -1}, {0, 1, 2, 3}},
                    OrderCase{"nan_and_zero_count_below", {nan, 0.0, 1.0}, {2, 0, 1}}),
    [](const testing::TestParamInfo<OrderCase>& info) { return info.param.name; });

// ---- Mendell-Elston against a transcription written out here ------------------------------

// Each step conditions the remaining coordinates on the current one lying above its
// standardised limit: the truncated normal's mean and variance, regressed on that coordinate.
double mendell_elston(Eigen::VectorXd z, Eigen::MatrixXd r, const std::vector<Eigen::Index>& order) {
  const Eigen::Index n = z.size();
  Eigen::VectorXd w(n);
  Eigen::MatrixXd s(n, n);
  for (Eigen::Index k = 0; k < n; ++k) {
    w[k] = z[order[k]];
    for (Eigen::Index l = 0; l < n; ++l) s(k, l) = r(order[k], order[l]);
  }
  Eigen::VectorXd shift = Eigen::VectorXd::Zero(n);
  double total = 0.0;
  for (Eigen::Index k = 0; k < n; ++k) {
    const double sd = std::sqrt(s(k, k));
    const double t = (w[k] - shift[k]) / sd;
    const double p = 0.5 * std::erfc(-t / std::sqrt(2.0));
    total += std::log(p);
    const double lambda = std::exp(-t * t / 2.0) / std::sqrt(2.0 * M_PI) / p;
    const double delta = 1.0 - t * lambda - lambda * lambda;  // variance ratio after truncation
    const Eigen::VectorXd beta = s.col(k) / s(k, k);          // regression on coordinate k
    shift -= beta * (lambda * sd);
    s += (delta - 1.0) * s(k, k) * beta * beta.transpose();
  }
  return total;
}

struct ApproximationCase {
  std::string name;
  std::vector<double> mean;
  std::vector<double> sign;
  double correlation;
  std::vector<double> variance;
};

class Approximation : public testing::TestWithParam<ApproximationCase> {};

TEST_P(Approximation, MatchesStepByStepConditioning) {
  const ApproximationCase& c = GetParam();
  const auto n = static_cast<Eigen::Index>(c.mean.size());
  Eigen::MatrixXd cov(n, n);
  Eigen::VectorXd z(n);
  Eigen::MatrixXd r(n, n);
  for (Eigen::Index i = 0; i < n; ++i) {
    for (Eigen::Index j = 0; j < n; ++j) {
      const double rho = i == j ? 1.0 : c.correlation * (1.0 - 0.1 * std::abs(i - j));
      cov(i, j) = rho * std::sqrt(c.variance[i] * c.variance[j]);
      r(i, j) = c.sign[i] * c.sign[j] * rho;
    }
    z[i] = c.sign[i] * c.mean[i] / std::sqrt(c.variance[i]);
  }
  const auto got = kernel(c.mean, c.sign, cov);
  ASSERT_TRUE(got.has_value());
  EXPECT_NEAR(*got, mendell_elston(z, r, conditioning_order(c.sign)), 1e-10);
}

INSTANTIATE_TEST_SUITE_P(
    Regions, Approximation,
    testing::Values(
        ApproximationCase{"trio", {0.3, -0.5, 1.0}, {1, -1, 1}, 0.25, {1, 1, 1}},
        ApproximationCase{"four_mixed", {0.1, 0.4, -0.2, 0.9}, {-1, -1, 1, 1}, 0.4, {1, 2, 0.5, 1.5}},
        ApproximationCase{"five_mostly_above", {1.0, -0.3, 0.2, 0.0, 0.5}, {1, 1, -1, 1, 1}, 0.5,
                          {1, 1, 1, 1, 1}},
        ApproximationCase{"six_negative", {0.0, 0.1, 0.2, -0.1, -0.2, 0.3}, {1, -1, 1, -1, 1, -1}, -0.15,
                          {2, 2, 1, 1, 3, 3}}),
    [](const testing::TestParamInfo<ApproximationCase>& info) { return info.param.name; });

// ---- what the kernel refuses, and what it never reads ---------------------------------------

TEST(Region, NonPositiveOrNanVarianceIsNotEvaluableForEverySize) {
  for (const double bad : {0.0, -1.0, nan, inf}) {
    for (Eigen::Index n = 1; n <= 3; ++n) {
      Eigen::MatrixXd cov = Eigen::MatrixXd::Identity(n, n);
      cov(n - 1, n - 1) = bad;
      EXPECT_FALSE(kernel(std::vector<double>(n, 0.0), std::vector<double>(n, 1.0), cov)) << n << " " << bad;
    }
  }
}

TEST(Region, LowerTriangleIsNeverRead) {
  Eigen::MatrixXd cov{{2.0, 0.3, -0.2}, {0.3, 1.5, 0.4}, {-0.2, 0.4, 1.0}};
  const std::vector<double> mean{0.2, -0.4, 0.1};
  const std::vector<double> sign{1, -1, -1};
  const auto before = kernel(mean, sign, cov);
  cov(1, 0) = nan;
  cov(2, 0) = 7.0;
  cov(2, 1) = -inf;
  const auto after = kernel(mean, sign, cov);
  ASSERT_TRUE(before && after);
  EXPECT_EQ(*before, *after);
}

TEST(Region, NanMeanFloorsSmallRegionsAndRefusesLargeOnes) {
  const double floor = -690.7755278982137;
  EXPECT_EQ(kernel({nan}, {1}, Eigen::MatrixXd::Identity(1, 1)), floor);
  EXPECT_EQ(kernel({nan, 0.0}, {1, 1}, Eigen::MatrixXd::Identity(2, 2)), floor);
  EXPECT_FALSE(kernel({nan, 0.0, 0.0}, {1, 1, 1}, Eigen::MatrixXd::Identity(3, 3)));
}

TEST(Region, ClampedCorrelationsThatAreNotPositiveDefiniteAreNotEvaluable) {
  Eigen::MatrixXd cov{{1.0, 1.0, -1.0}, {1.0, 1.0, 1.0}, {-1.0, 1.0, 1.0}};
  EXPECT_FALSE(kernel({0.0, 0.0, 0.0}, {1, 1, 1}, cov));
}

// ---- bivariate distribution function at its edges ------------------------------------------

TEST(Bivariate, EdgesAndCutOffs) {
  EXPECT_EQ(bivariate_normal_cdf(12.0, 0.3, 0.5), normal_cdf(0.3));
  EXPECT_EQ(bivariate_normal_cdf(inf, 0.3, 0.5), normal_cdf(0.3));
  EXPECT_EQ(bivariate_normal_cdf(0.3, inf, -0.5), normal_cdf(0.3));
  EXPECT_EQ(bivariate_normal_cdf(-10.0, 3.0, 0.5), 0.0);
  EXPECT_EQ(bivariate_normal_cdf(-inf, 3.0, 0.5), 0.0);
  EXPECT_TRUE(std::isnan(bivariate_normal_cdf(nan, 0.0, 0.5)));
  EXPECT_TRUE(std::isnan(bivariate_normal_cdf(0.0, 0.0, inf)));
  EXPECT_EQ(bivariate_normal_cdf(0.4, -0.7, 1e-13), normal_cdf(0.4) * normal_cdf(-0.7));
  // Far in the upper tail of one coordinate the answer is the other's margin, never above 1.
  EXPECT_NEAR(bivariate_normal_cdf(9.0, 0.0, 0.9), 0.5, 1e-15);
  EXPECT_LE(bivariate_normal_cdf(5.0, 5.0, 0.5), 1.0);
  // Beyond the clamp the correlation is 0.999999.
  EXPECT_EQ(bivariate_normal_cdf(0.2, 0.1, 1.0), bivariate_normal_cdf(0.2, 0.1, 0.999999));
  // Orthant of a symmetric pair at zero: 1/4 + asin(rho) / (2 pi).
  for (const double rho : {-0.95, -0.5, 0.2, 0.6, 0.93}) {
    EXPECT_NEAR(bivariate_normal_cdf(0.0, 0.0, rho), 0.25 + std::asin(rho) / (2.0 * M_PI), 1e-15) << rho;
  }
}

// ---- bisection -------------------------------------------------------------------------------

TEST(Bisect, EqualEndsCallThePredicateOnceAndReturnThePoint) {
  int calls = 0;
  const double at = bisect(0.25, 0.25, [&](double) { ++calls; return true; });
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(at, 0.25);
}

TEST(Bisect, PredicateThatNeverHoldsShrinksTowardsInside) {
  int calls = 0;
  const double at = bisect(0.0, 1.0, [&](double) { ++calls; return false; });
  EXPECT_LT(std::fabs(at - 0.0), 1e-5);
  EXPECT_EQ(calls, 17);  // 2^-17 is the first width below 1e-5
}

TEST(Bisect, FindsAThresholdWithinTheStoppingWidth) {
  const double at = bisect(-3.0, 5.0, [](double x) { return x < 1.2345; });
  EXPECT_NEAR(at, 1.2345, 1e-5);
}

}  // namespace
