// Rectangle probabilities: the methods' choice and values, the codes Python cannot reach, the
// stream of the simulator, and the model's guards on coefficients and optimiser coordinates.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string_view>
#include <vector>

#include "latent_mediation/model.hpp"
#include "latent_mediation/normal.hpp"
#include "latent_mediation/rectangle.hpp"
#include "numerics/stream.hpp"

namespace lm = kestrune::latent_mediation;

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

lm::ConditionalDistribution distribution(Eigen::VectorXd mean, Eigen::MatrixXd covariance) {
  lm::ConditionalDistribution result{std::move(mean), std::move(covariance), 0.0, std::nullopt};
  return result;
}

Eigen::MatrixXd equicorrelated(Eigen::Index d, double rho) {
  Eigen::MatrixXd sigma = Eigen::MatrixXd::Constant(d, d, rho);
  sigma.diagonal().setOnes();
  return sigma;
}

kestrune::Result<lm::RectangleProbability> rectangle(std::vector<double> lower, std::vector<double> upper,
                                                    const lm::ConditionalDistribution& dist, std::uint64_t qmc = 0) {
  return lm::log_rectangle_probability(lower, upper, dist, qmc);
}

TEST(LatentRectangle, TailPairUsesTheTailQuadrature) {
  const auto dist = distribution(Eigen::VectorXd::Zero(2), equicorrelated(2, 0.9));
  const auto result = *rectangle({8.0, 8.0}, {inf, inf}, dist);
  EXPECT_EQ(result.method, lm::Method::bivariate_tail_quadrature);
  EXPECT_NEAR(result.log_probability, -37.78546737535811, 1e-9 * 37.8);
  // A moderate rectangle takes the direct formula; its value is the four-corner difference.
  const auto moderate = *rectangle({-1.0, -1.0}, {1.0, 1.0}, dist);
  EXPECT_EQ(moderate.method, lm::Method::bivariate_quadrature);
}

TEST(LatentRectangle, MethodsByDimensionAndSetting) {
  const auto one = distribution(Eigen::VectorXd::Zero(1), Eigen::MatrixXd::Identity(1, 1));
  EXPECT_EQ(rectangle({-inf}, {inf}, one)->log_probability, 0.0);
  EXPECT_EQ(rectangle({-inf}, {inf}, one)->method, lm::Method::univariate_exact);
  const auto three = distribution(Eigen::VectorXd::Zero(3), equicorrelated(3, 0.3));
  EXPECT_EQ(rectangle({0.0, 1.0, -1.0}, {1.0, 1.0, 0.0}, three)->method, lm::Method::empty_rectangle);
  EXPECT_EQ(rectangle({0.0, 1.0, nan}, {1.0, 2.0, 0.0}, three)->log_probability, -inf);
  EXPECT_EQ(rectangle({}, {}, three)->method, lm::Method::no_discrete_observation);
  const auto sequential = *rectangle({0.0, -inf, -1.0}, {inf, 0.5, 1.0}, three);
  EXPECT_EQ(sequential.method, lm::Method::sequential_truncation);
  EXPECT_EQ(sequential.batch_range, 0.0);
  const auto qmc = *rectangle({0.0, -inf, -1.0}, {inf, 0.5, 1.0}, three, 256);
  EXPECT_EQ(qmc.method, lm::Method::deterministic_genz_halton);
  EXPECT_GE(qmc.batch_range, 0.0);
  EXPECT_LT(std::fabs(qmc.log_probability - sequential.log_probability), 0.05);
}

TEST(LatentRectangle, TwentyFiveCoordinatesAreTheLimit) {
  const auto d25 = distribution(Eigen::VectorXd::Zero(25), Eigen::MatrixXd::Identity(25, 25));
  const auto ok = rectangle(std::vector<double>(25, 0.0), std::vector<double>(25, inf), d25);
  ASSERT_TRUE(ok);
  EXPECT_NEAR(ok->log_probability, 25.0 * std::log(0.5), 1e-12);
  const auto d26 = distribution(Eigen::VectorXd::Zero(26), Eigen::MatrixXd::Identity(26, 26));
  EXPECT_EQ(rectangle(std::vector<double>(26, 0.0), std::vector<double>(26, inf), d26).error().code,
            "LATENT_MEDIATION_DISCRETE_DIMENSION_EXCEEDED");
}

struct RectangleCode {
  const char* name;
  std::vector<double> lower, upper;
  Eigen::VectorXd mean;
  Eigen::MatrixXd covariance;
  bool supply_identity_factor;  // hand a factor of another matrix, as a caller that factored it
  std::string_view code;
};

class LatentRectangleCodes : public testing::TestWithParam<RectangleCode> {};

TEST_P(LatentRectangleCodes, Reached) {
  const RectangleCode& c = GetParam();
  auto dist = distribution(c.mean, c.covariance);
  if (c.supply_identity_factor) dist.factor = kestrune::dense::DenseFactor::make(Eigen::MatrixXd::Identity(c.mean.size(), c.mean.size()));
  const auto result = rectangle(c.lower, c.upper, dist);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().code, c.code);
}

Eigen::MatrixXd matrix2(double a, double b, double c, double d) {
  Eigen::MatrixXd m(2, 2);
  m << a, b, c, d;
  return m;
}

Eigen::MatrixXd diagonal3(double a, double b, double c) { return Eigen::Vector3d(a, b, c).asDiagonal(); }

const RectangleCode rectangle_codes[] = {
    {"shape", {0.0, 0.0}, {1.0}, Eigen::VectorXd::Zero(2), Eigen::MatrixXd::Identity(2, 2), false, "LATENT_MEDIATION_RECTANGLE_SHAPE_INVALID"},
    {"mean_shape", {0.0}, {1.0}, Eigen::VectorXd::Zero(2), Eigen::MatrixXd::Identity(2, 2), false, "LATENT_MEDIATION_RECTANGLE_SHAPE_INVALID"},
    {"not_positive_definite", {0.0, 0.0}, {1.0, 1.0}, Eigen::VectorXd::Zero(2), matrix2(1, 2, 2, 1), false, "LATENT_MEDIATION_RECTANGLE_COVARIANCE_NOT_POSITIVE_DEFINITE"},
    {"variance_zero", {0.0, 0.0}, {1.0, 1.0}, Eigen::VectorXd::Zero(2), matrix2(1, 0, 0, 0), true, "LATENT_MEDIATION_BIVARIATE_VARIANCE_INVALID"},
    {"variance_infinite", {0.0, 0.0}, {1.0, 1.0}, Eigen::VectorXd::Zero(2), matrix2(inf, 0, 0, 1), true, "LATENT_MEDIATION_BIVARIATE_VARIANCE_INVALID"},
    {"correlation_one", {0.0, 0.0}, {1.0, 1.0}, Eigen::VectorXd::Zero(2), matrix2(1, 1, 1, 1), true, "LATENT_MEDIATION_BIVARIATE_CORRELATION_INVALID"},
    {"sequential_variance", {0.0, 0.0, 0.0}, {1.0, 1.0, 1.0}, Eigen::VectorXd::Zero(3), diagonal3(1, -1, 1), true, "LATENT_MEDIATION_SEQUENTIAL_VARIANCE_INVALID"},
};

INSTANTIATE_TEST_SUITE_P(Table, LatentRectangleCodes, testing::ValuesIn(rectangle_codes),
                         [](const testing::TestParamInfo<RectangleCode>& info) { return std::string(info.param.name); });

TEST(LatentStream, SplitMixFromSeedZero) {
  kestrune::stream::Stream stream(0);
  EXPECT_EQ(stream.next(), 0xe220a8397b1dcdafULL);
  EXPECT_EQ(stream.next(), 0x6e789e6aa1b965f4ULL);
  EXPECT_EQ(kestrune::stream::Stream(0).uniform(), 0.8833108082136427);
  EXPECT_EQ(kestrune::stream::Stream(0).normal(), -0.45275774021745807);
}

lm::LatentMediationFamilyInput one_person(std::size_t mediator_columns, std::size_t outcome_columns) {
  lm::LatentMediationFamilyInput input;
  input.relationship = {{1.0}};
  input.latent_mean = {0.0, 0.0};
  if (mediator_columns) input.mediator_design = {std::vector<double>(mediator_columns, 1.0)};
  if (outcome_columns) input.outcome_design = {std::vector<double>(outcome_columns, 1.0)};
  input.mediator_measurement = {0.4};
  input.mediator_measurement_error_variance = {0.5};
  input.mediator_proxy_status = {std::nullopt};
  input.outcome_status = {1};
  input.mediator_threshold = {0.0};
  input.outcome_threshold = {0.5};
  input.mediator_proxy_sensitivity = {0.9};
  input.mediator_proxy_specificity = {0.8};
  input.ascertainment = "population_unconditioned";
  return input;
}

TEST(LatentModel, CoefficientsMustMeanTheSameCovariateInEveryFamily) {
  const lm::Structural at = {0.5, 0.3, 0.1, 0.4, 1.0};
  auto swapped = *lm::LatentMediationModel::build({one_person(1, 0), one_person(0, 1)}, 0);
  EXPECT_EQ(swapped.evaluate_at(at, {0.2}).error().code, "LATENT_MEDIATION_COEFFICIENT_COUNT_WRONG");
  auto same = *lm::LatentMediationModel::build({one_person(1, 0), one_person(1, 0)}, 0);
  EXPECT_TRUE(same.evaluate_at(at, {0.2}));
  EXPECT_EQ(same.evaluate_at(at, {}).error().code, "LATENT_MEDIATION_COEFFICIENT_COUNT_WRONG");
  EXPECT_EQ(same.evaluate(at).error().code, "LATENT_MEDIATION_COEFFICIENTS_REQUIRED");
}

TEST(LatentModel, TransformedCoordinatesMapToTheNaturalOnes) {
  auto model = *lm::LatentMediationModel::build({one_person(0, 1)}, 0);
  const double s = 2.0;
  const std::vector<double> x = {0.5 / std::sqrt(s), 0.3 * std::sqrt(s), 0.1, 0.16, std::log(1.5 / s), 0.2};
  EXPECT_NEAR(model.evaluate_transformed(s, x)->log_likelihood,
              model.evaluate_at({0.5, 0.3, 0.1, 0.4, 1.5}, {0.2})->log_likelihood, 1e-12);
  const std::vector<std::pair<double, std::vector<double>>> refused = {
      {s, {0.1, 0.1, 0.1, 0.1}}, {s, {-0.1, 0.1, 0.1, 0.1, 0.0}}, {s, {0.1, 0.1, 0.1, -0.1, 0.0}},
      {0.0, {0.1, 0.1, 0.1, 0.1, 0.0}}, {inf, {0.1, 0.1, 0.1, 0.1, 0.0}}, {s, {0.1, nan, 0.1, 0.1, 0.0}}};
  for (const auto& [scale, coordinates] : refused)
    EXPECT_EQ(model.evaluate_transformed(scale, coordinates).error().code, "LATENT_MEDIATION_TRANSFORMED_PARAMETER_INVALID");
  EXPECT_EQ(model.evaluate_transformed(s, {0.1, 0.1, 0.1, 0.1, 1000.0, 0.0}).error().code,
            "LATENT_MEDIATION_PARAMETER_NOT_FINITE");
}

// Families and covariances no valid model produces, for the codes a built model never meets.
struct FamilyCode {
  const char* name;
  void (*alter)(lm::LatentMediationFamily&, Eigen::MatrixXd&);
  std::string_view code;
};

class LatentFamilyCodes : public testing::TestWithParam<FamilyCode> {};

TEST_P(LatentFamilyCodes, Reached) {
  auto family = *lm::LatentMediationFamily::build(one_person(0, 0));
  Eigen::MatrixXd covariance = *lm::directional_covariance(family.relationship, {0.5, 0.3, 0.1, 0.4, 1.0});
  GetParam().alter(family, covariance);
  const auto evaluation = family.evaluate(covariance, 0, {});
  ASSERT_FALSE(evaluation);
  EXPECT_EQ(evaluation.error().code, GetParam().code);
}

const FamilyCode family_codes[] = {
    {"observed_covariance", [](lm::LatentMediationFamily&, Eigen::MatrixXd& c) { c(0, 0) = -5.0; },
     "LATENT_MEDIATION_OBSERVED_COVARIANCE_NOT_POSITIVE_DEFINITE"},
    {"continuous_density", [](lm::LatentMediationFamily& f, Eigen::MatrixXd&) { f.measurements[0] = 1e200; },
     "LATENT_MEDIATION_CONTINUOUS_LOG_DENSITY_NOT_FINITE"},
    {"conditional_covariance", [](lm::LatentMediationFamily&, Eigen::MatrixXd& c) { c(1, 1) = 0.1; c(0, 1) = c(1, 0) = 2.0; },
     "LATENT_MEDIATION_CONDITIONAL_COVARIANCE_NOT_POSITIVE_DEFINITE"},
    {"ascertainment_variance",
     [](lm::LatentMediationFamily& f, Eigen::MatrixXd& c) {
       f.proband = 0;
       f.outcome_observations.clear();
       f.discrete_liabilities.clear();
       c(1, 1) = -1.0;
     },
     "LATENT_MEDIATION_ASCERTAINMENT_VARIANCE_INVALID"},
    {"ascertainment_variate",
     [](lm::LatentMediationFamily& f, Eigen::MatrixXd&) {
       f.proband = 0;
       f.outcome_observations.clear();
       f.discrete_liabilities.clear();
       f.outcome_threshold[0] = 1e308;
       f.latent_mean[1] = -1e308;
     },
     "LATENT_MEDIATION_NORMAL_VARIATE_NOT_FINITE"},
};

INSTANTIATE_TEST_SUITE_P(Table, LatentFamilyCodes, testing::ValuesIn(family_codes),
                         [](const testing::TestParamInfo<FamilyCode>& info) { return std::string(info.param.name); });

}  // namespace
