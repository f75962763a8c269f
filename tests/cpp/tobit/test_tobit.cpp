// What Python cannot reach of the tobit model: the conversion alone, the held range, the
// likelihood's domain, and the two kinds of family term taken apart.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <Eigen/Core>
#include <Eigen/LU>

#include "liability/region.hpp"
#include "tobit/model.hpp"

namespace {

using kestrune::tobit::Censoring;
using kestrune::tobit::censoring_from;
using kestrune::tobit::TobitModel;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double log_two_pi = 1.8378770664093453;

TEST(Censoring, CodesConvertInOrderAndStopAtTheFirstUnknown) {
  const auto codes = censoring_from(std::vector<std::int64_t>{0, 1, 2, 1});
  ASSERT_TRUE(codes);
  EXPECT_EQ(*codes, (std::vector<Censoring>{Censoring::Measured, Censoring::AtOrAbove, Censoring::AtOrBelow,
                                            Censoring::AtOrAbove}));
  for (const std::int64_t bad : {std::int64_t{3}, std::int64_t{-1}, std::numeric_limits<std::int64_t>::min()}) {
    const auto refused = censoring_from(std::vector<std::int64_t>{0, bad, 7});
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().code, "TOBIT_CENSORING_CODE_UNKNOWN");
  }
}

// Two families: a measured pair with a censored third member, and an all-censored pair.
TobitModel two_families() {
  Eigen::MatrixXd a = Eigen::MatrixXd::Identity(5, 5);
  a(0, 1) = a(1, 0) = 0.5;
  a(0, 2) = a(2, 0) = 0.25;
  a(1, 2) = a(2, 1) = 0.5;
  a(3, 4) = a(4, 3) = 0.5;
  const std::vector<double> value{1.2, 0.4, nan, nan, nan};
  const std::vector<Censoring> censoring{Censoring::Measured, Censoring::Measured, Censoring::AtOrAbove,
                                         Censoring::AtOrBelow, Censoring::AtOrAbove};
  const std::vector<double> limit{nan, nan, 1.0, -0.2, 0.7};
  Eigen::MatrixXd x(5, 2);
  x << 1, 0.3, 1, -0.2, 1, 0.8, 1, 0.0, 1, -1.1;
  return *TobitModel::build(a, value, censoring, limit, x);
}

TEST(Tobit, LikelihoodIsDensityPlusConditionalRegionPerFamily) {
  const TobitModel model = two_families();
  const double h2 = 0.4, s2 = 1.7;
  const std::vector<double> beta{0.5, 0.9};
  Eigen::MatrixXd a = Eigen::MatrixXd::Identity(5, 5);
  a(0, 1) = a(1, 0) = 0.5;
  a(0, 2) = a(2, 0) = 0.25;
  a(1, 2) = a(2, 1) = 0.5;
  a(3, 4) = a(4, 3) = 0.5;
  const Eigen::MatrixXd v = s2 * (h2 * a + (1 - h2) * Eigen::MatrixXd::Identity(5, 5));
  const Eigen::VectorXd mean{{0.5 + 0.9 * 0.3, 0.5 - 0.9 * 0.2, 0.5 + 0.9 * 0.8, 0.5, 0.5 - 0.9 * 1.1}};
  // First family: the pair's bivariate density, then member 2 given them.
  const Eigen::Matrix2d vmm = v.topLeftCorner(2, 2);
  const Eigen::Vector2d r{1.2 - mean[0], 0.4 - mean[1]};
  const Eigen::Vector2d w = vmm.inverse() * r;
  const double density = -0.5 * (r.dot(w) + 2 * log_two_pi + std::log(vmm.determinant()));
  const Eigen::Vector2d vcm = v.block(2, 0, 1, 2).transpose();
  const double cond_mean = mean[2] + vcm.dot(w);
  const double cond_var = v(2, 2) - vcm.dot(vmm.inverse() * vcm);
  const double censored = std::log(kestrune::liability::normal_cdf((cond_mean - 1.0) / std::sqrt(cond_var)));
  // Second family: both censored, the unconditioned orthant (below -0.2, above 0.7).
  const double pair = std::log(kestrune::liability::bivariate_normal_cdf(
      (mean[3] + 0.2) / std::sqrt(v(3, 3)) * -1.0, (mean[4] - 0.7) / std::sqrt(v(4, 4)), -v(3, 4) / v(3, 3)));
  const auto got = model.loglik(h2, s2, beta);
  ASSERT_TRUE(got);
  EXPECT_NEAR(*got, density + censored + pair, 1e-12);
  EXPECT_EQ(model.largest_family(), 3u);
  EXPECT_DOUBLE_EQ(model.censored_share(), 0.6);
}

struct DomainCase {
  std::string name;
  double h2, s2;
  std::vector<double> beta;
};

class Domain : public testing::TestWithParam<DomainCase> {};

TEST_P(Domain, OutsideTheDomainTheLikelihoodIsAbsent) {
  const DomainCase& c = GetParam();
  EXPECT_FALSE(two_families().loglik(c.h2, c.s2, c.beta));
}

INSTANTIATE_TEST_SUITE_P(
    Tobit, Domain,
    testing::Values(DomainCase{"h2_above_one", 1.0000001, 1.0, {0, 0}}, DomainCase{"h2_negative", -1e-12, 1.0, {0, 0}},
                    DomainCase{"h2_nan", nan, 1.0, {0, 0}}, DomainCase{"variance_zero", 0.5, 0.0, {0, 0}},
                    DomainCase{"variance_infinite", 0.5, INFINITY, {0, 0}},
                    DomainCase{"beta_short", 0.5, 1.0, {0}}, DomainCase{"beta_nan", 0.5, 1.0, {0, nan}}),
    [](const testing::TestParamInfo<DomainCase>& info) { return info.param.name; });

TEST(Tobit, HeldHeritabilityMustLieInTheUnitInterval) {
  const TobitModel model = two_families();
  for (const double held : {1.0000001, -0.0000001, nan}) {
    const auto fit = model.fit_holding(held);
    ASSERT_FALSE(fit) << held;
    EXPECT_EQ(fit.error().code, "TOBIT_HELD_HERITABILITY_OUT_OF_RANGE");
  }
  for (const double held : {0.0, 1.0}) {
    const auto fit = model.fit_holding(held);
    ASSERT_TRUE(fit) << held;
    EXPECT_EQ(fit->h2, held);
  }
}

}  // namespace
