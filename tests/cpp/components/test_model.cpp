#include "components/model.hpp"

#include <gtest/gtest.h>

#include <Eigen/Dense>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "components/fit.hpp"
#include "numerics/stream.hpp"

namespace {

using kestrune::components::ComponentModel;
using kestrune::components::Evaluation;
using kestrune::components::Matrices;
using kestrune::components::Pin;

constexpr double ln_2pi = 1.8378770664093453;

// Families of 1, 3, 2 and 15 people (3 and 15 on either side of the factor's change of
// route), their members scattered over the rows. K links each family as a chain of relatives;
// H joins the first half of each family (rounded up) into one household.
struct Sample {
  Matrices matrices;
  Eigen::MatrixXd x;
  Eigen::VectorXd y;
};

Sample sample() {
  constexpr int n = 21;
  Eigen::MatrixXd k = Eigen::MatrixXd::Identity(n, n);
  Eigen::MatrixXd h = Eigen::MatrixXd::Zero(n, n);
  int position = 0;
  for (const int size : {1, 3, 2, 15}) {
    const auto row = [&](int a) { return (a * 8) % n; };  // 8 is prime to 21
    for (int a = position; a < position + size; ++a) {
      for (int b = position; b < position + size; ++b) {
        if (b != a) k(row(a), row(b)) = std::pow(0.5, std::abs(a - b));
        if (a - position < (size + 1) / 2 && b - position < (size + 1) / 2) h(row(a), row(b)) = 1.0;
      }
    }
    position += size;
  }
  Sample s{{k, h}, Eigen::MatrixXd(n, 2), Eigen::VectorXd(n)};
  for (int i = 0; i < n; ++i) {
    s.x(i, 0) = 1.0;
    s.x(i, 1) = std::sin(0.7 * i);
    s.y[i] = 0.5 + 0.2 * s.x(i, 1) + std::cos(1.3 * i * i) + 0.3 * std::sin(0.37 * i * i * i);
  }
  return s;
}

// -l(theta) from one dense covariance, the whole sample at once.
double dense_value(const Sample& s, const std::vector<double>& theta, bool reml) {
  const Eigen::Index n = s.x.rows(), p = s.x.cols();
  Eigen::MatrixXd v = theta.back() * Eigen::MatrixXd::Identity(n, n);
  for (std::size_t j = 0; j < s.matrices.size(); ++j) v += theta[j] * s.matrices[j];
  const Eigen::LLT<Eigen::MatrixXd> llt(v);
  const Eigen::MatrixXd vx = llt.solve(s.x);
  const Eigen::MatrixXd a = s.x.transpose() * vx;
  const Eigen::VectorXd beta = a.ldlt().solve(vx.transpose() * s.y);
  const Eigen::VectorXd r = s.y - s.x * beta;
  const double logdet_v = 2.0 * llt.matrixL().toDenseMatrix().diagonal().array().log().sum();
  double value = 0.5 * (r.dot(llt.solve(r)) + logdet_v + n * ln_2pi);
  if (reml) {
    const double logdet_a = std::log(a.determinant());
    const double logdet_xtx = std::log((s.x.transpose() * s.x).determinant());
    value += 0.5 * (logdet_a - logdet_xtx) - 0.5 * p * ln_2pi;
  }
  return value;
}

ComponentModel built(const Sample& s) {
  auto model = ComponentModel::build(s.matrices, s.x);
  EXPECT_TRUE(model.has_value());
  return std::move(*model);
}

TEST(ComponentModelBuild, BlocksAreTheFamiliesInOrderOfSmallestMember) {
  const Sample s = sample();
  const ComponentModel model = built(s);
  std::vector<std::size_t> sizes;
  std::size_t previous_first = 0;
  for (const auto& family : model.families()) {
    sizes.push_back(family.indices.size());
    EXPECT_TRUE(std::is_sorted(family.indices.begin(), family.indices.end()));
    if (&family != &model.families().front()) EXPECT_GT(family.indices.front(), previous_first);
    previous_first = family.indices.front();
  }
  std::sort(sizes.begin(), sizes.end());
  EXPECT_EQ(sizes, (std::vector<std::size_t>{1, 2, 3, 15}));
}

TEST(ComponentModelBuild, OneSidedEntryLinksOnlyFromItsRow) {
  // A mirror pair (0, 2) of 1e-11 and exactly 0: symmetric within tolerance, linked from row 0.
  Eigen::MatrixXd k = Eigen::MatrixXd::Identity(3, 3);
  k(1, 1) = 2.0;
  k(0, 2) = 1e-11;
  const auto model = ComponentModel::build({k}, Eigen::MatrixXd::Ones(3, 1));
  ASSERT_TRUE(model.has_value());
  ASSERT_EQ(model->families().size(), 2u);
  EXPECT_EQ(model->families()[0].indices, (std::vector<std::size_t>{0, 2}));
}

TEST(ComponentModelAssemble, ZeroStructuredCoefficientsGiveTheResidualTimesIdentity) {
  const Sample s = sample();
  const std::vector<double> theta{0.0, -0.0, 0.7};
  const Eigen::MatrixXd v = ComponentModel::assemble(s.matrices, {2, 5, 9}, theta);
  EXPECT_EQ(v, 0.7 * Eigen::MatrixXd::Identity(3, 3));
}

struct GradientCase {
  std::string name;
  bool reml;
  std::vector<double> theta;
};

class ComponentGradient : public ::testing::TestWithParam<GradientCase> {};

// The value against a dense computation, and every gradient entry, the residual's included,
// against central differences of the value.
TEST_P(ComponentGradient, ValueIsDenseAndGradientIsCentralDifference) {
  const Sample s = sample();
  const ComponentModel model = built(s);
  const auto& c = GetParam();
  const auto evaluation = model.evaluate_with_signs(c.theta, s.y, c.reml, true, {});
  ASSERT_TRUE(evaluation.has_value());
  EXPECT_NEAR(evaluation->value, dense_value(s, c.theta, c.reml), 1e-10);
  for (std::size_t j = 0; j < c.theta.size(); ++j) {
    const double h = 1e-5;
    std::vector<double> up = c.theta, down = c.theta;
    up[j] += h;
    down[j] -= h;
    const double difference = (model.evaluate_with_signs(up, s.y, c.reml, false, {})->value -
                               model.evaluate_with_signs(down, s.y, c.reml, false, {})->value) / (2 * h);
    EXPECT_NEAR(evaluation->gradient[static_cast<Eigen::Index>(j)], difference, 1e-6) << "component " << j;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ComponentGradient,
    ::testing::Values(GradientCase{"ml", false, {0.4, 0.2, 0.5}}, GradientCase{"reml", true, {0.4, 0.2, 0.5}},
                      GradientCase{"reml_small_residual", true, {1.3, 0.05, 0.1}},
                      GradientCase{"ml_household_heavy", false, {0.1, 0.9, 0.3}}),
    [](const auto& info) { return info.param.name; });

TEST(ComponentLikelihood, WithoutGradientTheGradientIsZeros) {
  const Sample s = sample();
  const auto evaluation = built(s).evaluate_with_signs(std::vector<double>{0.4, 0.2, 0.5}, s.y, true, false, {});
  ASSERT_TRUE(evaluation.has_value());
  EXPECT_EQ(evaluation->gradient, Eigen::VectorXd::Zero(3));
}

TEST(ComponentLikelihood, ResidualOnlyIsMinusTheValueAtItsVariance) {
  const Sample s = sample();
  const ComponentModel model = built(s);
  for (const bool reml : {false, true}) {
    const Eigen::VectorXd beta = s.x.colPivHouseholderQr().solve(s.y);
    const double rss = (s.y - s.x * beta).squaredNorm();
    const double sigma2 = rss / (reml ? 19.0 : 21.0);
    const auto loglik = model.residual_only_loglik(s.y, reml);
    ASSERT_TRUE(loglik.has_value());
    const auto at = model.evaluate_with_signs(std::vector<double>{0.0, 0.0, sigma2}, s.y, reml, false, {});
    EXPECT_NEAR(*loglik, -at->value, 1e-10) << reml;
  }
}

TEST(ComponentLikelihood, ResidualOnlyCodes) {
  const Sample s = sample();
  const ComponentModel model = built(s);
  const auto exact = model.residual_only_loglik(Eigen::VectorXd::Zero(21), true);
  ASSERT_FALSE(exact.has_value());
  EXPECT_EQ(exact.error().code, "COMPONENTS_RESPONSE_CONSTANT");
  Eigen::MatrixXd k = Eigen::MatrixXd::Identity(2, 2);
  k(0, 0) = 3.0;
  const auto square = ComponentModel::build({k}, Eigen::MatrixXd::Identity(2, 2));
  ASSERT_TRUE(square.has_value());
  const auto no_df = square->residual_only_loglik(Eigen::Vector2d(1.0, 2.0), true);
  ASSERT_FALSE(no_df.has_value());
  EXPECT_EQ(no_df.error().code, "COMPONENTS_REML_NO_RESIDUAL_DF");
}

struct AbsentCase {
  std::string name;
  std::vector<double> theta;
  std::vector<std::size_t> signed_components;
  bool zero_response;
};

class ComponentAbsent : public ::testing::TestWithParam<AbsentCase> {};

TEST_P(ComponentAbsent, EvaluationIsAbsent) {
  const Sample s = sample();
  const auto& c = GetParam();
  const Eigen::VectorXd y = c.zero_response ? Eigen::VectorXd::Zero(21) : s.y;
  EXPECT_FALSE(built(s).evaluate_with_signs(c.theta, y, true, true, c.signed_components).has_value());
}

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Cases, ComponentAbsent,
    ::testing::Values(AbsentCase{"nan", {0.4, nan, 0.5}, {1}, false},
                      AbsentCase{"infinite", {inf, 0.2, 0.5}, {}, false},
                      AbsentCase{"negative_not_signed", {0.4, -0.1, 0.5}, {0}, false},
                      AbsentCase{"none_positive", {0.0, -0.0, 0.0}, {}, false},
                      AbsentCase{"block_not_positive_definite", {0.4, -3.0, 0.5}, {1}, false},
                      AbsentCase{"residual_zero_singular_household", {0.0, 1.0, 0.0}, {}, false},
                      AbsentCase{"quadratic_form_zero", {0.4, 0.2, 0.5}, {}, true}),
    [](const auto& info) { return info.param.name; });

TEST(ComponentLikelihood, SignedNegativeIsEvaluatedWhileBlocksStayPositiveDefinite) {
  const Sample s = sample();
  const std::vector<double> theta{0.4, -0.05, 0.5};
  const auto evaluation = built(s).evaluate_with_signs(theta, s.y, true, false, std::vector<std::size_t>{1});
  ASSERT_TRUE(evaluation.has_value());
  EXPECT_NEAR(evaluation->value, dense_value(s, theta, true), 1e-10);
}

TEST(ComponentFitStarts, OneMatrixRunsTheThreeListedStarts) {
  using Starts = std::vector<std::vector<double>>;
  EXPECT_EQ(kestrune::components::fit_starts(1, {}), (Starts{{0.5, 0.5}, {0.05, 0.9}, {0.6, 0.3}}));
  const std::vector<std::size_t> signed_components{1};
  const Starts signed_starts = kestrune::components::fit_starts(2, signed_components);
  ASSERT_EQ(signed_starts.size(), 5u);
  EXPECT_EQ(signed_starts[0], (std::vector<double>{0.5, 0.0, 0.5}));
}

// A response whose second component is truly negative: y ~ N(0, 1.0 I + 0.8 K - 0.25 H),
// drawn over many copies of the sample's families.
Sample negative_household_sample() {
  const Sample base = sample();
  constexpr int copies = 30;
  const Eigen::Index n0 = base.x.rows(), n = n0 * copies;
  Sample s{{Eigen::MatrixXd::Zero(n, n), Eigen::MatrixXd::Zero(n, n)}, Eigen::MatrixXd(n, 1), Eigen::VectorXd(n)};
  for (int c = 0; c < copies; ++c) {
    s.matrices[0].block(c * n0, c * n0, n0, n0) = base.matrices[0];
    s.matrices[1].block(c * n0, c * n0, n0, n0) = base.matrices[1];
  }
  s.x.setOnes();
  const Eigen::MatrixXd v = Eigen::MatrixXd::Identity(n, n) + 0.8 * s.matrices[0] - 0.25 * s.matrices[1];
  const Eigen::MatrixXd l = v.llt().matrixL();
  kestrune::stream::Stream stream(20261207);
  Eigen::VectorXd z(n);
  for (Eigen::Index i = 0; i < n; ++i) z[i] = stream.normal();
  s.y = l * z;
  return s;
}

TEST(ComponentFitGeneral, SignedComponentGoesBelowZero) {
  const Sample s = negative_household_sample();
  const ComponentModel model = built(s);
  const std::vector<std::size_t> signed_components{1};
  const auto fit = model.fit_general(s.y, true, signed_components, {});
  ASSERT_TRUE(fit.has_value());
  EXPECT_TRUE(fit->converged);
  EXPECT_LT(fit->coefficients[1], -0.05);
  const auto unsigned_fit = model.fit_general(s.y, true, {}, {});
  ASSERT_TRUE(unsigned_fit.has_value());
  EXPECT_GE(unsigned_fit->coefficients[1], 0.0);
  EXPECT_GT(fit->loglik, unsigned_fit->loglik);
}

TEST(ComponentFitGeneral, PinnedPairReturnsItsValue) {
  const Sample s = sample();
  const ComponentModel model = built(s);
  const std::vector<Pin> pinned{{0, 0.37}};
  const auto fit = model.fit_general(s.y, false, {}, pinned);
  ASSERT_TRUE(fit.has_value());
  EXPECT_DOUBLE_EQ(fit->coefficients[0], 0.37);
  EXPECT_DOUBLE_EQ(fit->proportions[0], 0.37 / fit->total);
  // Pinned wins over signed; a pin that no start can evaluate fails every start.
  const std::vector<std::size_t> signed_components{0};
  EXPECT_DOUBLE_EQ(model.fit_general(s.y, false, signed_components, pinned)->coefficients[0], 0.37);
  const std::vector<Pin> negative{{0, -0.2}};
  const auto refused = model.fit_general(s.y, false, {}, negative);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().code, "COMPONENTS_NO_START_CONVERGED");
}

struct FitCodeCase {
  std::string name;
  Eigen::Index length;
  bool nan;
  bool constant;
  std::vector<std::size_t> signed_components;
  std::vector<Pin> pinned;
  std::string code;
};

class ComponentFitCodes : public ::testing::TestWithParam<FitCodeCase> {};

TEST_P(ComponentFitCodes, FirstFailingCheckDecides) {
  const Sample s = sample();
  const auto& c = GetParam();
  Eigen::VectorXd y = Eigen::VectorXd::Ones(c.length);
  if (!c.constant) y.head(21) = s.y;
  if (c.nan) y[3] = nan;
  const auto fit = built(s).fit_general(y, true, c.signed_components, c.pinned);
  ASSERT_FALSE(fit.has_value());
  EXPECT_EQ(fit.error().code, c.code);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ComponentFitCodes,
    ::testing::Values(
        FitCodeCase{"wrong_length_before_nan", 22, true, false, {}, {}, "COMPONENTS_RESPONSE_WRONG_LENGTH"},
        FitCodeCase{"nan", 21, true, false, {}, {}, "COMPONENTS_RESPONSE_NOT_FINITE"},
        FitCodeCase{"constant", 21, false, true, {}, {}, "COMPONENTS_RESPONSE_CONSTANT"},
        FitCodeCase{"signed_before_pinned", 21, false, false, {3}, {{3, 0.0}}, "COMPONENTS_SIGNED_INDEX_OUT_OF_RANGE"},
        FitCodeCase{"pinned", 21, false, false, {2}, {{0, 0.1}, {3, 0.0}}, "COMPONENTS_PINNED_INDEX_OUT_OF_RANGE"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
