// The region kernel's branches, its conditioning order and approximation, and bisection.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <Eigen/Core>

#include "numerics/bisect.hpp"
#include "numerics/region.hpp"

namespace {

using kestrune::bisection::bisect;
using kestrune::region::conditioning_order;
using kestrune::region::region_log_probability;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

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
  const auto got = region_log_probability(c.mean, c.sign, cov);
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

// ---- bisection -------------------------------------------------------------------------------

TEST(Bisect, CallsThePredicateAtLeastOnceAndStopsBelowTheWidth) {
  int calls = 0;
  EXPECT_EQ(bisect(0.25, 0.25, [&](double) { ++calls; return true; }), 0.25);
  EXPECT_EQ(calls, 1);
  calls = 0;
  EXPECT_LT(bisect(0.0, 1.0, [&](double) { ++calls; return false; }), 1e-5);
  EXPECT_EQ(calls, 17);  // 2^-17 is the first width below 1e-5
  EXPECT_NEAR(bisect(-3.0, 5.0, [](double x) { return x < 1.2345; }), 1.2345, 1e-5);
}

}  // namespace
