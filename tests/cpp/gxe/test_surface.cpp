// The surface likelihood's gradient, the closed-form repairs and the tests' reference tails.
#include <gtest/gtest.h>

#include <Eigen/Cholesky>
#include <Eigen/Core>
#include <Eigen/QR>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "gxe/surface.hpp"

namespace {

using kestrune::gxe::GxeModel;
using kestrune::gxe::GxeQuantity;
using kestrune::gxe::Surface;
using kestrune::gxe::Theta;

// Eight nuclear families of four (two parents, two children) and two unrelated people, with
// environments spread over [-1.5, 2] and a covariate.
GxeModel small_model(Surface surface) {
  const Eigen::Index n = 34;
  Eigen::MatrixXd k = Eigen::MatrixXd::Identity(n, n);
  for (Eigen::Index f = 0; f < 8; ++f) {
    const Eigen::Index o = 4 * f;
    for (Eigen::Index child : {o + 2, o + 3}) {
      for (Eigen::Index parent : {o, o + 1}) k(child, parent) = k(parent, child) = 0.5;
    }
    k(o + 2, o + 3) = k(o + 3, o + 2) = 0.5;
  }
  std::vector<double> environment(n);
  Eigen::MatrixXd design(n, 2);
  for (Eigen::Index i = 0; i < n; ++i) {
    environment[i] = -1.5 + 3.5 * std::fmod(0.37 * static_cast<double>(i * i + 3), 1.0);
    design(i, 0) = 1.0;
    design(i, 1) = std::sin(1.7 * static_cast<double>(i));
  }
  return *GxeModel::build(surface, k, environment, design);
}

Eigen::VectorXd response(Eigen::Index n) {
  Eigen::VectorXd y(n);
  for (Eigen::Index i = 0; i < n; ++i) y(i) = std::cos(2.3 * static_cast<double>(i)) + 0.1 * static_cast<double>(i % 5);
  return y;
}

struct GradientCase {
  std::string name;
  Surface surface;
  Theta theta;
  bool reml;
};

class GxeGradient : public testing::TestWithParam<GradientCase> {};

TEST_P(GxeGradient, MatchesCentralDifferencesOfTheObjective) {
  const auto& c = GetParam();
  const GxeModel model = small_model(c.surface);
  const Eigen::VectorXd y = response(static_cast<Eigen::Index>(model.n()));
  const auto at = model.evaluate(c.theta, y, c.reml, true);
  ASSERT_TRUE(at);
  const auto plain = model.evaluate(c.theta, y, c.reml, false);
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->objective, at->objective);
  for (double g : plain->gradient) EXPECT_EQ(g, 0.0);

  const std::size_t d = kestrune::gxe::parameter_count(c.surface);
  for (std::size_t slot = 0; slot < d; ++slot) {
    const double h = 1e-5;
    Theta up = c.theta, down = c.theta;
    up[slot] += h;
    down[slot] -= h;
    const double numeric =
        (model.evaluate(up, y, c.reml, false)->objective - model.evaluate(down, y, c.reml, false)->objective) / (2 * h);
    EXPECT_NEAR(at->gradient[slot], numeric, 1e-6 * std::fmax(1.0, std::fabs(numeric))) << "slot " << slot;
  }
  if (d == 5) {
    EXPECT_EQ(at->gradient[5], 0.0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Surfaces, GxeGradient,
    testing::Values(GradientCase{"exponential_reml", Surface::Exponential, {-0.4, 0.3, 0.7, -0.2, -0.25, 0.0}, true},
                    GradientCase{"exponential_ml", Surface::Exponential, {-0.4, 0.3, 0.7, -0.2, -0.25, 0.0}, false},
                    GradientCase{"half_reml", Surface::PoweredExponentialHalf, {0.1, -0.2, 0.3, -0.5, 0.1, 0.0}, true},
                    GradientCase{"two_ml", Surface::PoweredExponentialTwo, {0.1, -0.2, 0.3, -0.5, 0.1, 0.0}, false},
                    GradientCase{"random_regression_reml", Surface::RandomRegression,
                                 {-0.3, 0.2, -0.4, -0.2, 0.15, 0.3}, true},
                    GradientCase{"random_regression_ml", Surface::RandomRegression,
                                 {-0.3, 0.2, -0.4, -0.2, 0.15, 0.3}, false}),
    [](const testing::TestParamInfo<GradientCase>& info) { return info.param.name; });

// One family of 14 whose relationship is centred on the people (K 1 = 0 up to rounding). With the
// decay rate at 0 and the residual underflowing to 0 the covariance is the genetic surface alone,
// singular along D^-1 1 (D the genetic sds; a positive decay rate would make it regular):
// ML has no value there, and REML is the error contrasts' own likelihood, regular there.
TEST(GxeLikelihood, WhereTheResidualVanishesOnACentredRelationship) {
  const Eigen::Index n = 14;
  const Eigen::MatrixXd centring = Eigen::MatrixXd::Identity(n, n) - Eigen::MatrixXd::Constant(n, n, 1.0 / n);
  Eigen::MatrixXd ar(n, n);
  for (Eigen::Index i = 0; i < n; ++i)
    for (Eigen::Index j = 0; j < n; ++j) ar(i, j) = std::pow(0.6, std::abs(static_cast<double>(i - j)));
  const Eigen::MatrixXd k = centring * ar * centring;
  std::vector<double> environment(n);
  Eigen::MatrixXd design(n, 2);
  for (Eigen::Index i = 0; i < n; ++i) {
    environment[i] = std::fmod(0.37 * static_cast<double>(i * i + 3), 1.0);
    design(i, 0) = 1.0;
    design(i, 1) = std::sin(1.7 * static_cast<double>(i));
  }
  const GxeModel model = *GxeModel::build(Surface::Exponential, k, environment, design);
  const Eigen::VectorXd y = response(n);
  const Theta theta{0.2, 0.3, 0.0, -800.0, 0.0, 0.0};
  EXPECT_FALSE(model.evaluate(theta, y, false, true).has_value());
  EXPECT_TRUE(model.evaluate({0.2, 0.3, 0.0, -8.0, 0.0, 0.0}, y, false, true).has_value());

  Eigen::MatrixXd v(n, n);
  for (Eigen::Index i = 0; i < n; ++i)
    for (Eigen::Index j = 0; j < n; ++j)
      v(i, j) = k(i, j) * kestrune::gxe::genetic_covariance(Surface::Exponential, theta, environment[i], environment[j]);
  const Eigen::MatrixXd q = Eigen::HouseholderQR<Eigen::MatrixXd>(design).householderQ();
  const Eigen::MatrixXd a = q.rightCols(n - 2);
  const Eigen::LLT<Eigen::MatrixXd> m(a.transpose() * v * a);
  const Eigen::VectorXd z = a.transpose() * y;
  const double contrasts = 0.5 * (2.0 * m.matrixL().toDenseMatrix().diagonal().array().log().sum() +
                                  z.dot(m.solve(z)) + static_cast<double>(n - 2) * 1.8378770664093453);
  const auto face = model.evaluate(theta, y, true, true);
  ASSERT_TRUE(face.has_value());
  EXPECT_NEAR(face->objective, contrasts, 1e-10);
}

TEST(GxeLikelihood, ANegativeDecayRateIsRefusedOnlyOffRandomRegression) {
  const Theta theta{-0.4, 0.3, -1e-300, -0.2, -0.25, 0.0};
  const Eigen::VectorXd y = response(34);
  EXPECT_FALSE(small_model(Surface::Exponential).evaluate(theta, y, true, false));
  EXPECT_TRUE(small_model(Surface::RandomRegression).evaluate(theta, y, true, false));
  Theta zero = theta;
  zero[2] = 0.0;
  EXPECT_TRUE(small_model(Surface::Exponential).evaluate(zero, y, true, false));
  zero[4] = std::nan("");
  EXPECT_FALSE(small_model(Surface::Exponential).evaluate(zero, y, true, false));
}

// ---- repairs ----------------------------------------------------------------------------

double heritability(Surface s, const Theta& t, double e) {
  const double g = kestrune::gxe::genetic_covariance(s, t, e, e);
  return g / (g + kestrune::gxe::residual_variance(s, t, e));
}

double correlation(Surface s, const Theta& t, double e1, double e2) {
  using kestrune::gxe::genetic_covariance;
  return genetic_covariance(s, t, e1, e2) / std::sqrt(genetic_covariance(s, t, e1, e1) * genetic_covariance(s, t, e2, e2));
}

struct RepairCase {
  std::string name;
  Surface surface;
  GxeQuantity quantity;
  double value;
};

class GxeRepair : public testing::TestWithParam<RepairCase> {};

TEST_P(GxeRepair, ReproducesTheHeldValueAndKeepsTheOtherPart) {
  const auto& c = GetParam();
  const GxeModel model = small_model(c.surface);
  const Theta theta{-0.3, 0.25, 0.4, -0.6, 0.2, 0.35};
  const Theta padded = c.surface == Surface::RandomRegression ? theta : Theta{-0.3, 0.25, 0.4, -0.6, 0.2, 0.0};
  const auto repaired = model.repair(padded, c.quantity, c.value);
  ASSERT_TRUE(repaired);
  const bool for_heritability = c.quantity.kind == GxeQuantity::Kind::Heritability;
  if (for_heritability) {
    EXPECT_NEAR(heritability(c.surface, *repaired, c.quantity.first), c.value, 1e-13);
    for (int i = 0; i < 3; ++i) EXPECT_EQ((*repaired)[i], padded[i]);
  } else {
    EXPECT_NEAR(correlation(c.surface, *repaired, c.quantity.first, c.quantity.second), c.value, 1e-12);
    for (int i = 3; i < 6; ++i) EXPECT_EQ((*repaired)[i], padded[i]);
    // the genetic variances at the two environments stay where they were
    for (double e : {c.quantity.first, c.quantity.second})
      EXPECT_NEAR(kestrune::gxe::genetic_covariance(c.surface, *repaired, e, e),
                  kestrune::gxe::genetic_covariance(c.surface, padded, e, e), 1e-12);
  }
  if (for_heritability && c.surface != Surface::RandomRegression) {
    EXPECT_EQ((*repaired)[4], padded[4]);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Quantities, GxeRepair,
    testing::Values(
        RepairCase{"h2_exponential", Surface::Exponential, {GxeQuantity::Kind::Heritability, 0.7}, 0.3},
        RepairCase{"h2_random_regression", Surface::RandomRegression, {GxeQuantity::Kind::Heritability, -1.2}, 0.85},
        RepairCase{"r_half", Surface::PoweredExponentialHalf, {GxeQuantity::Kind::Correlation, -0.5, 0.8}, 0.4},
        RepairCase{"r_three_halves", Surface::PoweredExponentialThreeHalves,
                   {GxeQuantity::Kind::Correlation, 1.0, -0.5}, 0.9},
        RepairCase{"r_random_regression", Surface::RandomRegression, {GxeQuantity::Kind::Correlation, -0.5, 1.5},
                   -0.6},
        RepairCase{"r_random_regression_near_one", Surface::RandomRegression,
                   {GxeQuantity::Kind::Correlation, 0.2, 0.3}, 0.999}),
    [](const testing::TestParamInfo<RepairCase>& info) { return info.param.name; });

TEST(GxeRepair, HasNoSurfaceOutsideTheQuantitysRange) {
  const GxeModel exponential = small_model(Surface::Exponential);
  const GxeModel regression = small_model(Surface::RandomRegression);
  const Theta theta{-0.3, 0.25, 0.4, -0.6, 0.2, 0.0};
  const GxeQuantity h{GxeQuantity::Kind::Heritability, 0.5};
  const GxeQuantity r{GxeQuantity::Kind::Correlation, 0.0, 1.0};
  for (double value : {0.0, 1.0, std::nan("")}) EXPECT_FALSE(exponential.repair(theta, h, value));
  for (double value : {0.0, -0.5, 1.0000001}) EXPECT_FALSE(exponential.repair(theta, r, value));
  EXPECT_TRUE(regression.repair(theta, r, -0.5));
  EXPECT_FALSE(regression.repair(theta, GxeQuantity{GxeQuantity::Kind::Correlation, 0.5, 0.5}, 0.3));
}

class GxeRankOne : public testing::TestWithParam<double> {};

TEST_P(GxeRankOne, HeldCorrelationOfOneGivesARankOneFactor) {
  const double r = GetParam();
  const double x[] = {0.2, -0.3, -0.5, 0.1, 0.2};
  const auto theta = GxeModel::repair_random_regression_correlation(x, -0.4, 1.1, r);
  ASSERT_TRUE(theta);
  EXPECT_EQ((*theta)[2], 0.0);
  EXPECT_NEAR(correlation(Surface::RandomRegression, *theta, -0.4, 1.1), r, 1e-12);
  EXPECT_NEAR(kestrune::gxe::genetic_covariance(Surface::RandomRegression, *theta, -0.4, -0.4), std::exp(0.4), 1e-12);
  EXPECT_NEAR(kestrune::gxe::genetic_covariance(Surface::RandomRegression, *theta, 1.1, 1.1), std::exp(-0.6), 1e-12);
  EXPECT_EQ((*theta)[3], -0.5);
  EXPECT_EQ((*theta)[5], 0.2);
}

INSTANTIATE_TEST_SUITE_P(Signs, GxeRankOne, testing::Values(1.0, -1.0),
                         [](const testing::TestParamInfo<double>& info) { return info.param > 0 ? "plus" : "minus"; });

// ---- reference tails -------------------------------------------------------------------

struct TailCase {
  const char* reference;
  double at_cut;
};

class GxeTail : public testing::TestWithParam<TailCase> {};

TEST_P(GxeTail, KnownValuesAndTheSmallStatisticRule) {
  const auto& c = GetParam();
  EXPECT_NEAR(kestrune::gxe::test_p_value(c.reference, 3.841458820694124), c.at_cut, 1e-13 * c.at_cut);
  EXPECT_EQ(kestrune::gxe::test_p_value(c.reference, 5e-7), 1.0);
  EXPECT_EQ(kestrune::gxe::test_p_value(c.reference, 0.0), 1.0);
}

INSTANTIATE_TEST_SUITE_P(References, GxeTail,
                         testing::Values(TailCase{"chi2_1", 0.05}, TailCase{"mixture_50_50", 0.025},
                                         TailCase{"half_chi2_1_half_chi2_2", 0.0982500322430421},
                                         TailCase{"mixture_chi2_1_chi2_2", 0.0982500322430421},
                                         TailCase{"mixture_chi2_2_chi2_3", 0.212800264134841}),
                         [](const testing::TestParamInfo<TailCase>& info) { return std::string(info.param.reference); });

// A null that fits better than the full model, or a NaN, is no evidence: +0 and p = 1.
TEST(GxeTail, TheRecordFloorsItsStatisticAtPositiveZero) {
  using kestrune::gxe::likelihood_ratio_record;
  const auto record = likelihood_ratio_record("chi2_1", -12.0, -10.0);
  EXPECT_EQ(record.statistic, 4.0);
  EXPECT_EQ(record.p_value, kestrune::gxe::test_p_value("chi2_1", 4.0));
  EXPECT_EQ(record.null_loglik, -12.0);
  EXPECT_EQ(record.full_loglik, -10.0);
  for (const double full : {-12.5, -12.0, std::nan("")}) {
    const auto floored = likelihood_ratio_record("mixture_chi2_2_chi2_3", -12.0, full);
    EXPECT_EQ(floored.statistic, 0.0);
    EXPECT_FALSE(std::signbit(floored.statistic));
    EXPECT_EQ(floored.p_value, 1.0);
  }
}

TEST(GxeFit, TheResponseIsCheckedBeforeTheHeldSlots) {
  const GxeModel model = small_model(Surface::Exponential);
  const std::size_t beyond[] = {5};
  const auto out_of_range = model.fit_holding(response(34), true, beyond);
  ASSERT_FALSE(out_of_range);
  EXPECT_EQ(out_of_range.error().code, "GXE_HELD_COORDINATE_OUT_OF_RANGE");
  const auto constant = model.fit_holding(Eigen::VectorXd::Constant(34, 2.0), true, beyond);
  ASSERT_FALSE(constant);
  EXPECT_EQ(constant.error().code, "GXE_RESPONSE_CONSTANT");
  const std::size_t decay[] = {2};
  const auto held = model.fit_holding(response(34), true, decay);
  ASSERT_TRUE(held);
  EXPECT_EQ(held->parameters[2], 0.0);
}

}  // namespace
