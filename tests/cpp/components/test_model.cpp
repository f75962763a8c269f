#include "components/model.hpp"

#include <gtest/gtest.h>

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "components/fit.hpp"
#include "components/inference.hpp"
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

TEST(ComponentModelBuild, OneSidedEntryLinksOnlyFromItsRow) {
  // A mirror pair (0, 2) of 1e-11 and exactly 0: symmetric within tolerance, linked from row 0.
  Eigen::MatrixXd k = Eigen::MatrixXd::Identity(3, 3);
  k(1, 1) = 2.0;
  k(0, 2) = 1e-11;
  const auto model = ComponentModel::build({k}, Eigen::MatrixXd(Eigen::MatrixXd::Ones(3, 1)));
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

// Random relationships of n people: WW'/q from q centred random genotypes, kept only within
// the given families (consecutive runs of rows, then the rows shuffled), or one dense block.
Sample random_sample(int n, int m, const std::vector<int>& family_sizes, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> normal;
  std::binomial_distribution<int> genotype(2, 0.3);
  std::vector<int> order(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) order[static_cast<std::size_t>(i)] = i;
  std::shuffle(order.begin(), order.end(), rng);
  std::vector<int> family(static_cast<std::size_t>(n), 0);
  std::size_t row = 0;
  for (std::size_t f = 0; f < family_sizes.size(); ++f)
    for (int a = 0; a < family_sizes[f]; ++a) family[static_cast<std::size_t>(order[row++])] = static_cast<int>(f);
  Sample s{{}, Eigen::MatrixXd(n, 3), Eigen::VectorXd(n)};
  for (int j = 0; j < m; ++j) {
    const int q = 30 + 20 * j;
    Eigen::MatrixXd w(n, q);
    for (int c = 0; c < q; ++c)
      for (int i = 0; i < n; ++i) w(i, c) = genotype(rng);
    w.rowwise() -= w.colwise().mean();
    Eigen::MatrixXd k = w * w.transpose() / q;
    for (int a = 0; a < n; ++a)
      for (int b = 0; b < n; ++b)
        if (family[static_cast<std::size_t>(a)] != family[static_cast<std::size_t>(b)]) k(a, b) = 0.0;
    k.diagonal().array() += 0.05;  // a relationship of a family of one is its own block
    s.matrices.push_back(k);
  }
  for (int i = 0; i < n; ++i) {
    s.x(i, 0) = 1.0;
    s.x(i, 1) = normal(rng);
    s.x(i, 2) = normal(rng) > 0.0 ? 1.0 : 0.0;
    s.y[i] = 0.3 * s.x(i, 1) + 2.0 * normal(rng);
  }
  return s;
}

struct DenseCase {
  std::string name;
  std::vector<int> family_sizes;  // one entry: one dense block
  std::vector<double> theta;      // m structured coefficients, then the residual
  bool reml;
};

class ComponentEvaluation : public ::testing::TestWithParam<DenseCase> {};

// Every part of an evaluation against the same quantities from the whole n x n covariance by
// Eigen's LDLT: the value, the gradient from P (REML) or V^-1 (ML), the fixed effects and their
// covariance on the design's columns. The value is the same bits without the gradient.
TEST_P(ComponentEvaluation, MatchesTheWholeSampleComputation) {
  const auto& c = GetParam();
  int n = 0;
  for (const int size : c.family_sizes) n += size;
  const auto m = static_cast<int>(c.theta.size()) - 1;
  const Sample s = random_sample(n, m, c.family_sizes, 17u + static_cast<unsigned>(n));
  const ComponentModel model = built(s);
  ASSERT_EQ(model.families().size(), c.family_sizes.size());
  const auto evaluation = model.evaluate_with_signs(c.theta, s.y, c.reml, true, {});
  ASSERT_TRUE(evaluation.has_value());
  EXPECT_EQ(model.evaluate_with_signs(c.theta, s.y, c.reml, false, {})->value, evaluation->value);

  Eigen::MatrixXd v = c.theta.back() * Eigen::MatrixXd::Identity(n, n);
  for (int j = 0; j < m; ++j) v += c.theta[static_cast<std::size_t>(j)] * s.matrices[static_cast<std::size_t>(j)];
  const Eigen::MatrixXd v_inverse = v.ldlt().solve(Eigen::MatrixXd::Identity(n, n));
  const Eigen::MatrixXd covariance = (s.x.transpose() * v_inverse * s.x).inverse();
  const Eigen::VectorXd beta = covariance * s.x.transpose() * v_inverse * s.y;
  const Eigen::MatrixXd p =
      c.reml ? Eigen::MatrixXd(v_inverse - v_inverse * s.x * covariance * s.x.transpose() * v_inverse) : v_inverse;
  const Eigen::VectorXd e = v_inverse * (s.y - s.x * beta);
  const auto close = [](double got, double expected) {
    return std::abs(got - expected) <= 1e-10 * std::fmax(std::abs(expected), 1.0);
  };
  EXPECT_TRUE(close(evaluation->value, dense_value(s, c.theta, c.reml))) << evaluation->value;
  for (int j = 0; j <= m; ++j) {
    const Eigen::MatrixXd k = j < m ? s.matrices[static_cast<std::size_t>(j)] : Eigen::MatrixXd::Identity(n, n);
    const double expected = 0.5 * ((p * k).trace() - e.dot(k * e));
    EXPECT_TRUE(close(evaluation->gradient[j], expected)) << j << ": " << evaluation->gradient[j] << " " << expected;
  }
  const auto& basis = model.fixed_design().orthogonal();
  const Eigen::VectorXd got_beta = basis.coefficients(evaluation->beta);
  const Eigen::MatrixXd got_covariance = basis.covariance(evaluation->covariance);
  for (Eigen::Index t = 0; t < beta.size(); ++t) {
    EXPECT_TRUE(close(got_beta[t], beta[t])) << t;
    for (Eigen::Index u = 0; u < beta.size(); ++u) EXPECT_TRUE(close(got_covariance(t, u), covariance(t, u)));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ComponentEvaluation,
    ::testing::Values(DenseCase{"dense_block_reml", {60}, {0.5, 0.3, 0.2, 0.6}, true},
                      DenseCase{"dense_block_ml", {60}, {0.5, 0.3, 0.2, 0.6}, false},
                      DenseCase{"dense_block_small_residual_reml", {45}, {1.2, 0.01, 0.05}, true},
                      DenseCase{"families_reml", {1, 4, 13, 2, 25, 11, 12, 3}, {0.4, 0.1, 0.7, 0.5}, true},
                      DenseCase{"families_ml", {1, 4, 13, 2, 25, 11, 12, 3}, {0.4, 0.1, 0.7, 0.5}, false}),
    [](const auto& info) { return info.param.name; });

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
  const auto square = ComponentModel::build({k}, Eigen::MatrixXd(Eigen::MatrixXd::Identity(2, 2)));
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

// A full search that stopped short below its test's null (a point of the full model): the test refits
// the full model from the null's end point and keeps the maximum it reaches; a null that no point of the
// full model reaches is reported, not read as a statistic of 0; a null below the fit changes nothing.
TEST(ComponentRefitAboveNull, ClimbsFromTheNullOrReportsIt) {
  const Sample s = sample();
  const ComponentModel model = built(s);
  for (const bool reml : {true, false}) {
    const auto free = model.fit_general(s.y, reml, {}, {});
    ASSERT_TRUE(free && free->converged);
    ASSERT_GT(free->proportions[1], 0.01);
    // Short: the household component held at 0; the null: held at half its fitted value.
    const std::vector<Pin> at_zero{{1, 0.0}}, at_half{{1, 0.5 * free->coefficients[1]}};
    const auto short_fit = model.fit_general(s.y, reml, {}, at_zero);
    const auto null_fit = model.fit_general(s.y, reml, {}, at_half);
    ASSERT_TRUE(short_fit && short_fit->converged && null_fit && null_fit->converged);
    ASSERT_LT(short_fit->loglik, null_fit->loglik - 1e-3);
    ASSERT_LT(null_fit->loglik, free->loglik - 1e-3);

    const auto climbed = kestrune::components::refit_above_null(model, s.y, reml, {}, *short_fit, null_fit->loglik,
                                                                null_fit->coefficients);
    ASSERT_TRUE(climbed.has_value()) << reml;
    EXPECT_TRUE(climbed->converged);
    EXPECT_NEAR(climbed->loglik, free->loglik, 1e-6);
    EXPECT_NEAR(climbed->coefficients[1], free->coefficients[1], 1e-3 * free->total);

    const auto unresolved = kestrune::components::refit_above_null(model, s.y, reml, {}, *short_fit,
                                                                   free->loglik + 1.0, null_fit->coefficients);
    ASSERT_FALSE(unresolved.has_value());
    EXPECT_EQ(unresolved.error().code, "COMPONENTS_BETTER_UNRESOLVED_OPTIMUM");

    const auto kept = kestrune::components::refit_above_null(model, s.y, reml, {}, *free, short_fit->loglik,
                                                             short_fit->coefficients);
    ASSERT_TRUE(kept.has_value());
    EXPECT_EQ(kept->loglik, free->loglik);
  }
}

// Index checks that Python cannot reach: signed indices are checked before pinned ones.
TEST(ComponentFitGeneral, SignedThenPinnedIndicesAreRangeChecked) {
  const Sample s = sample();
  const ComponentModel model = built(s);
  const std::vector<std::size_t> out_of_range{3}, in_range{2};
  const std::vector<Pin> pinned_out{{0, 0.1}, {3, 0.0}};
  const auto signed_first = model.fit_general(s.y, true, out_of_range, pinned_out);
  ASSERT_FALSE(signed_first.has_value());
  EXPECT_EQ(signed_first.error().code, "COMPONENTS_SIGNED_INDEX_OUT_OF_RANGE");
  const auto pinned = model.fit_general(s.y, true, in_range, pinned_out);
  ASSERT_FALSE(pinned.has_value());
  EXPECT_EQ(pinned.error().code, "COMPONENTS_PINNED_INDEX_OUT_OF_RANGE");
}

}  // namespace

// ---- the held-share profile ------------------------------------------------------------------

namespace {

using kestrune::components::profile_objective;

struct Standardised {
  ComponentModel model;
  Eigen::VectorXd y;
};

Standardised standardised_sample() {
  const Sample s = sample();
  ComponentModel model = built(s);
  auto response = kestrune::components::standardise(model, s.y);
  return {std::move(model), response->y};
}

struct RefusedCase {
  std::string name;
  std::size_t t;
  std::vector<double> weights;
  double share;
};

class HeldShareRefused : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(HeldShareRefused, GivesNothing) {
  const Standardised s = standardised_sample();
  const auto& c = GetParam();
  EXPECT_FALSE(profile_objective(s.model, s.y, true, c.t, c.weights, c.share).has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HeldShareRefused,
    ::testing::Values(RefusedCase{"share_above_one", 0, {1, 1, 1}, 1.2}, RefusedCase{"share_below_zero", 0, {1, 1, 1}, -0.1},
                      RefusedCase{"share_nan", 0, {1, 1, 1}, nan}, RefusedCase{"two_weights", 0, {1, 1}, 0.3},
                      RefusedCase{"zero_weight", 0, {1, 0, 1}, 0.3}, RefusedCase{"infinite_weight", 0, {1, inf, 1}, 0.3},
                      RefusedCase{"index_above_m", 3, {1, 1, 1}, 0.3}, RefusedCase{"far_index", 1000, {1, 1, 1}, 0.3}),
    [](const auto& info) { return info.param.name; });

TEST(HeldShare, AtTheFittedShareIsTheFitAndWeightsScaleFreely) {
  const Standardised s = standardised_sample();
  const auto fit = s.model.fit_general(s.y, true, {}, {});
  ASSERT_TRUE(fit && fit->converged);
  const std::vector<double> ones{1, 1, 1}, tens{10, 10, 10};
  for (std::size_t t = 0; t < 3; ++t) {
    const auto at_fit = profile_objective(s.model, s.y, true, t, ones, fit->proportions[t]);
    ASSERT_TRUE(at_fit.has_value()) << t;
    EXPECT_NEAR(*at_fit, fit->loglik, 1e-8) << t;
    const double off = 0.5 * fit->proportions[t] + 0.1;
    const auto scaled = profile_objective(s.model, s.y, true, t, tens, off);
    EXPECT_NEAR(*scaled, *profile_objective(s.model, s.y, true, t, ones, off), 1e-8) << t;
    EXPECT_LT(*scaled, fit->loglik) << t;
  }
}

TEST(HeldShare, ShareOneIsTheFitWithTheOthersPinnedAtZero) {
  const Standardised s = standardised_sample();
  const std::vector<double> weights{0.5, 2.0, 1.0};
  const std::vector<Pin> others{{1, 0.0}, {2, 0.0}};
  const auto pinned = s.model.fit_general(s.y, false, {}, others);
  ASSERT_TRUE(pinned && pinned->converged);
  EXPECT_EQ(*profile_objective(s.model, s.y, false, 0, weights, 1.0), pinned->loglik);
  // The household matrix alone is singular: share one falls back to the profile at 0.999999.
  EXPECT_EQ(profile_objective(s.model, s.y, false, 1, weights, 1.0),
            profile_objective(s.model, s.y, false, 1, weights, 0.999999));
  // The residual alone: its share one is the closed-form residual model.
  EXPECT_NEAR(*profile_objective(s.model, s.y, false, 2, weights, 1.0), *s.model.residual_only_loglik(s.y, false),
              1e-8);
}

}  // namespace
