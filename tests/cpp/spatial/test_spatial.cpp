// The whole-sample factor route, sites and decay bounds, and the analytic gradients of the
// spatial likelihoods against central differences.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "numerics/dense.hpp"
#include "numerics/stream.hpp"
#include "numerics/whole_sample_search.hpp"
#include "spatial/inference.hpp"
#include "spatial/model.hpp"

namespace {

using kestrune::dense::DenseFactor;
using kestrune::spatial::SpatialModel;
using kestrune::spatial::Workspace;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();
constexpr auto lapack = DenseFactor::Route::lapack;

// ---- the factor on the LAPACK route -------------------------------------------------

TEST(WholeSampleFactor, OrderOneAndRefusals) {
  Eigen::MatrixXd four(1, 1);
  four << 4.0;
  const auto f = DenseFactor::make(four, lapack);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->logdet(), 2.0 * std::log(2.0));
  Eigen::MatrixXd inverse;
  f->symmetric_inverse_into(inverse);
  EXPECT_EQ(inverse(0, 0), 0.25);
  EXPECT_EQ(f->inverse()(0, 0), 0.25);
  EXPECT_EQ(Eigen::MatrixXd(f->lower())(0, 0), 2.0);

  Eigen::MatrixXd ones = Eigen::MatrixXd::Ones(2, 2);
  EXPECT_FALSE(DenseFactor::make(ones, lapack));
  Eigen::MatrixXd with_nan = Eigen::MatrixXd::Identity(3, 3);
  with_nan(1, 1) = nan;
  EXPECT_FALSE(DenseFactor::make(with_nan, lapack));
}

TEST(WholeSampleFactor, UpperTriangleIgnoredAndInverseSymmetric) {
  Eigen::MatrixXd a(3, 3);
  a << 4, 1, 0.5, 1, 3, 0.2, 0.5, 0.2, 2;
  Eigen::MatrixXd storage = a;
  storage(0, 1) = 99.0;
  storage(0, 2) = nan;
  storage(1, 2) = -7.0;
  const auto view = kestrune::dense::FactorView::make(storage, lapack);
  ASSERT_TRUE(view);
  Eigen::MatrixXd inverse;
  view->symmetric_inverse_into(inverse);
  EXPECT_LT((inverse * a - Eigen::MatrixXd::Identity(3, 3)).cwiseAbs().maxCoeff(), 1e-14);
  EXPECT_EQ(inverse, inverse.transpose());
  EXPECT_NEAR(view->logdet(), std::log(a.determinant()), 1e-14);
  // L, lower triangular, reproduces A; an n x 0 right side gives n x 0.
  const auto f = DenseFactor::make(a, lapack);
  const Eigen::MatrixXd l = f->lower();
  EXPECT_EQ(l(0, 1), 0.0);
  EXPECT_LT((l * l.transpose() - a).cwiseAbs().maxCoeff(), 1e-14);
  EXPECT_EQ(f->solve_matrix(Eigen::MatrixXd(3, 0)).rows(), 3);
  EXPECT_EQ(f->solve_matrix(Eigen::MatrixXd(3, 0)).cols(), 0);
}

// ---- sites and decay bounds ---------------------------------------------------------

Eigen::MatrixXd symmetric(int n, std::vector<std::pair<std::pair<int, int>, double>> entries) {
  Eigen::MatrixXd d = Eigen::MatrixXd::Zero(n, n);
  for (const auto& [at, value] : entries) {
    d(at.first, at.second) = value;
    d(at.second, at.first) = value;
  }
  return d;
}

TEST(SpatialBuild, SitesJoinOnlyTheirFirstPerson) {
  // 0-1 and 1-2 at distance 0, but 0-2 at 5: no closure over the chain.
  const Eigen::MatrixXd d = symmetric(3, {{{0, 1}, 0.0}, {{1, 2}, 0.0}, {{0, 2}, 5.0}});
  const auto model = SpatialModel::build(std::vector<Eigen::MatrixXd>{}, d, Eigen::MatrixXd(Eigen::MatrixXd::Ones(3, 1)));
  ASSERT_TRUE(model);
  EXPECT_EQ(model->site_of(), (std::vector<std::size_t>{0, 0, 1}));
  EXPECT_EQ(model->site_distance(), symmetric(2, {{{0, 1}, 5.0}}));
  EXPECT_EQ(model->decay_lower(), kestrune::spatial::ln_2 / 5.0);
  EXPECT_EQ(model->decay_upper(), kestrune::spatial::ln_2 / 5.0);
}

struct BoundsCase {
  std::string name;
  Eigen::MatrixXd distance;
  double lower;
  double upper;
};

class DecayBounds : public testing::TestWithParam<BoundsCase> {};

TEST_P(DecayBounds, FromTheLargestAndSmallestPositiveDistance) {
  const auto [lower, upper] = kestrune::spatial::decay_bounds(GetParam().distance);
  EXPECT_EQ(lower, GetParam().lower);
  EXPECT_EQ(upper, GetParam().upper);
}

INSTANTIATE_TEST_SUITE_P(
    SpatialBuild, DecayBounds,
    testing::Values(BoundsCase{"two_and_ten", symmetric(3, {{{0, 1}, 2.0}, {{0, 2}, 10.0}, {{1, 2}, 0.0}}),
                               0.06931471805599453, 0.34657359027997264},
                    BoundsCase{"one_person", Eigen::MatrixXd::Zero(1, 1), 1e-6, 1.0},
                    BoundsCase{"one_place", Eigen::MatrixXd::Zero(4, 4), 1e-6, 1.0},
                    BoundsCase{"empty", Eigen::MatrixXd(0, 0), 1e-6, 1.0}),
    [](const testing::TestParamInfo<BoundsCase>& info) { return info.param.name; });

// ---- where the search judges a point on a bound --------------------------------------

// Three variances (a matrix's, the kernel's, the residual's), a decay rate on
// [ln 2 / 19.115, 1] and a rate on [0, 0.999]; each case puts one coordinate at x with gradient g there and asks whether
// g counts.
struct BoundCase {
  std::string name;
  std::size_t coordinate;
  double x;
  double g;
  bool residual_open;
  bool counts;
};

class SearchMeasure : public testing::TestWithParam<BoundCase> {};

TEST_P(SearchMeasure, APointOnItsBoundIsJudgedByWhereItIsNotItsLastBit) {
  const BoundCase& c = GetParam();
  kestrune::whole_sample::SearchProblem problem;
  const double lower = 0.036262330578413736;
  problem.lower = {0.0, 0.0, 0.0, lower, 0.0};
  problem.upper = {inf, inf, inf, 1.0, 0.999};
  problem.variances = 3;
  std::vector<double> x{0.5, 0.5, 0.5, 0.5, 0.5}, g(5, 0.0);
  x[c.coordinate] = c.x;
  g[c.coordinate] = c.g;
  EXPECT_EQ(kestrune::whole_sample::measure(problem, x, g, c.residual_open), c.counts ? std::fabs(c.g) : 0.0);
}

INSTANTIATE_TEST_SUITE_P(
    WholeSampleSearch, SearchMeasure,
    testing::Values(
        // a decay rate an ulp inside its bound stands on it, and one pointing out of the box does not count
        BoundCase{"decay_an_ulp_above_its_lower_bound", 3, std::nextafter(0.036262330578413736, 1.0), 2.0, false, false},
        BoundCase{"decay_an_ulp_above_pointing_in", 3, std::nextafter(0.036262330578413736, 1.0), -2.0, false, true},
        BoundCase{"decay_a_millionth_above", 3, 0.036262330578413736 * (1 + 1e-6), 2.0, false, true},
        BoundCase{"decay_an_ulp_below_its_upper_bound", 3, std::nextafter(1.0, 0.0), -2.0, false, false},
        // a variance at 1e-19 or 0 is on its bound alike, and so is a rate on [0, 0.999]
        BoundCase{"rate_at_1e-19", 4, 1e-19, 2.0, false, false},
        BoundCase{"rate_at_1e-9", 4, 1e-9, 2.0, false, true},
        BoundCase{"variance_at_1e-19", 0, 1e-19, 3.0, false, false},
        BoundCase{"variance_at_0", 0, 0.0, 3.0, false, false},
        BoundCase{"variance_at_1e-19_pointing_in", 1, 1e-19, -3.0, false, true},
        BoundCase{"variance_at_2e-9", 1, 2e-9, 3.0, false, true},
        // under ML beside a V singular without its residual, the residual's face is no bound
        BoundCase{"residual_at_1e-12_open", 2, 1e-12, 5e11, true, true},
        BoundCase{"residual_at_1e-12_closed", 2, 1e-12, 5e11, false, false}),
    [](const testing::TestParamInfo<BoundCase>& info) {
      std::string name = info.param.name;
      for (char& ch : name)
        if (ch == '-') ch = '_';
      return name;
    });

// ---- gradients ----------------------------------------------------------------------

struct Sample {
  std::vector<Eigen::MatrixXd> fixed;
  Eigen::MatrixXd distance;
  Eigen::MatrixXd design;
  Eigen::VectorXd y;
};

// 24 people at 8 sites on a line, families of three, design [1, x].
Sample sample(int m) {
  const int n = 24;
  std::mt19937_64 rng(7);
  std::normal_distribution<double> normal;
  Sample s;
  Eigen::VectorXd place(n);
  for (int i = 0; i < n; ++i) place[i] = static_cast<double>((i * 5) % 8) * 1.5;
  s.distance = Eigen::MatrixXd::Zero(n, n);
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) s.distance(i, j) = std::fabs(place[i] - place[j]);
  }
  if (m > 0) {
    Eigen::MatrixXd k = Eigen::MatrixXd::Identity(n, n);
    for (int f = 0; f < n; f += 3) {
      for (int a = 0; a < 3; ++a) {
        for (int b = 0; b < 3; ++b) {
          if (a != b) k(f + a, f + b) = 0.5;
        }
      }
    }
    s.fixed.push_back(k);
  }
  s.design.resize(n, 2);
  s.y.resize(n);
  for (int i = 0; i < n; ++i) {
    s.design(i, 0) = 1.0;
    s.design(i, 1) = normal(rng);
    s.y[i] = 1.0 + 0.5 * s.design(i, 1) + normal(rng) + std::sin(place[i]);
  }
  return s;
}

struct GradientCase {
  std::string name;
  int m;
  bool reml;
  bool integrated;
};

class SpatialGradient : public testing::TestWithParam<GradientCase> {};

TEST_P(SpatialGradient, EqualsCentralDifferencesAndLeavesTheValueAlone) {
  const GradientCase& c = GetParam();
  Sample s = sample(c.m);
  const auto model = SpatialModel::build(s.fixed, s.distance, s.design);
  ASSERT_TRUE(model);
  std::vector<double> theta;
  for (int l = 0; l < c.m; ++l) theta.push_back(0.4);
  theta.push_back(0.7);  // spatial
  theta.push_back(0.5);  // residual
  if (!c.integrated) theta.push_back(std::sqrt(model->decay_lower() * model->decay_upper()));
  Workspace workspace;
  const auto evaluate = [&](const std::vector<double>& t, bool gradient) {
    return c.integrated ? model->evaluate_integrated(t, s.y, c.reml, gradient, workspace)
                        : model->evaluate(t, s.y, c.reml, gradient, workspace);
  };
  const auto with = evaluate(theta, true);
  const auto without = evaluate(theta, false);
  ASSERT_TRUE(with && without);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(with->value), std::bit_cast<std::uint64_t>(without->value));
  EXPECT_EQ(with->beta, without->beta);
  EXPECT_EQ(with->beta_covariance, without->beta_covariance);
  EXPECT_EQ(without->gradient, std::vector<double>(theta.size(), 0.0));
  ASSERT_EQ(with->gradient.size(), theta.size());
  for (std::size_t i = 0; i < theta.size(); ++i) {
    const double h = 1e-5 * theta[i];
    std::vector<double> up = theta, down = theta;
    up[i] += h;
    down[i] -= h;
    const double difference = (evaluate(up, false)->value - evaluate(down, false)->value) / (2.0 * h);
    EXPECT_NEAR(with->gradient[i], difference, 1e-6 * std::fmax(std::fabs(difference), 1e-2)) << "coordinate " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    SpatialModel, SpatialGradient,
    testing::Values(GradientCase{"ml_m0", 0, false, false}, GradientCase{"reml_m0", 0, true, false},
                    GradientCase{"ml_m1", 1, false, false}, GradientCase{"reml_m1", 1, true, false},
                    GradientCase{"integrated_ml_m0", 0, false, true},
                    GradientCase{"integrated_reml_m1", 1, true, true}),
    [](const testing::TestParamInfo<GradientCase>& info) { return info.param.name; });

struct DomainCase {
  std::string name;
  std::vector<double> theta;  // c_spatial, c_residual, then lambda as a multiple of decay_lower
  bool evaluable;
};

class SpatialDomain : public testing::TestWithParam<DomainCase> {};

TEST_P(SpatialDomain, RefusesPointsOutsideTheModel) {
  Sample s = sample(0);
  const auto model = SpatialModel::build(s.fixed, s.distance, s.design);
  ASSERT_TRUE(model);
  std::vector<double> theta = GetParam().theta;
  theta[2] = theta[2] == 0.0 ? model->decay_upper() : model->decay_lower() * theta[2];
  EXPECT_EQ(model->evaluate(theta, s.y, true, false).has_value(), GetParam().evaluable);
}

INSTANTIATE_TEST_SUITE_P(
    SpatialModel, SpatialDomain,
    testing::Values(DomainCase{"all_zero", {0.0, 0.0, 1.0}, false}, DomainCase{"negative", {-1e-12, 1.0, 1.0}, false},
                    DomainCase{"negative_zero", {-0.0, 1.0, 1.0}, true},
                    DomainCase{"at_lower", {0.5, 0.5, 1.0}, true}, DomainCase{"at_upper", {0.5, 0.5, 0.0}, true},
                    DomainCase{"below_lower", {0.5, 0.5, 0.999999}, false},
                    DomainCase{"nan_variance", {nan, 0.5, 1.0}, false},
                    DomainCase{"shared_sites_without_residual", {1.0, 0.0, 1.0}, false}),
    [](const testing::TestParamInfo<DomainCase>& info) { return info.param.name; });

TEST(SpatialModel, ResponseReproducedByTheDesignIsNotEvaluable) {
  Sample s = sample(0);
  const auto model = SpatialModel::build(s.fixed, s.distance, s.design);
  ASSERT_TRUE(model);
  const Eigen::VectorXd exact = s.design * Eigen::Vector2d(1.0, 2.0);
  EXPECT_FALSE(model->evaluate(std::vector<double>{0.5, 0.5, model->decay_lower()}, exact, false, false));
}

// ---- the integrated likelihood's node count ------------------------------------------

// Three people at 0, 1 and 10 on a line, with the given matrix -I: V = c_s K(lambda) - t I at
// theta = (1 + t, c_s = 1, 1) is positive definite exactly where the kernel's smallest
// eigenvalue, which grows with lambda, exceeds t. So t sets how many of the twelve nodes, the
// largest rates, can be evaluated.
class IntegratedNodes : public testing::TestWithParam<int> {};

TEST_P(IntegratedNodes, SixEvaluableNodesAverageOverTwelveAndFiveAreTooFew) {
  const int evaluable = GetParam();
  const Eigen::Vector3d place(0.0, 1.0, 10.0);
  Eigen::MatrixXd distance(3, 3);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) distance(i, j) = std::fabs(place[i] - place[j]);
  const auto model = SpatialModel::build(std::vector<Eigen::MatrixXd>{-Eigen::MatrixXd::Identity(3, 3)}, distance,
                                        Eigen::MatrixXd(Eigen::MatrixXd::Ones(3, 1)));
  ASSERT_TRUE(model);
  const double lo = model->decay_lower(), range = std::log(model->decay_upper() / lo);
  std::vector<double> rates, smallest;
  for (int j = 0; j < 12; ++j) {
    rates.push_back(lo * std::exp(range * (j + 0.5) / 12.0));
    const Eigen::MatrixXd kernel = (distance * -rates.back()).array().exp().matrix();
    smallest.push_back(Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd>(kernel).eigenvalues()[0]);
    if (j > 0) {
      ASSERT_GT(smallest[j], smallest[j - 1]);
    }
  }
  const int first = 12 - evaluable;
  const double t = 0.5 * (smallest[first - 1] + smallest[first]);
  const std::vector<double> theta{1.0 + t, 1.0, 1.0};
  const Eigen::Vector3d y(0.3, -1.2, 2.0);
  Workspace workspace;
  const auto integrated = model->evaluate_integrated(theta, y, true, false, workspace);
  if (evaluable < 6) {
    EXPECT_FALSE(integrated);
    return;
  }
  ASSERT_TRUE(integrated);
  double largest = -std::numeric_limits<double>::infinity(), sum = 0.0;
  std::vector<double> logliks;
  for (int j = 0; j < 12; ++j) {
    const auto node = model->evaluate(std::vector<double>{theta[0], theta[1], theta[2], rates[j]}, y, true, false);
    ASSERT_EQ(node.has_value(), j >= first) << "node " << j;
    if (node) logliks.push_back(-node->value);
  }
  for (const double l : logliks) largest = std::fmax(largest, l);
  for (const double l : logliks) sum += std::exp(l - largest);
  // A node that cannot be evaluated counts as a likelihood of 0: the mean is over all twelve.
  EXPECT_NEAR(integrated->value, -(largest + std::log(sum / 12.0)), 1e-12 * std::fabs(integrated->value));
}

INSTANTIATE_TEST_SUITE_P(SpatialModel, IntegratedNodes, testing::Values(5, 6, 9));

// ---- the bootstrap's draws and tally ------------------------------------------------

TEST(SpatialBootstrap, DrawsTwoOutputsPerDeviateInPersonOrder) {
  kestrune::stream::Stream stream(0);
  const auto identity = DenseFactor::make(Eigen::MatrixXd::Identity(2, 2));
  const Eigen::VectorXd y = kestrune::spatial::null_response(*identity, Eigen::Vector2d(0.0, 10.0), stream);
  EXPECT_EQ(y[0], -0.45275774021745807);
  EXPECT_EQ(y[1], 10.0 + 2.65060581207967);
  kestrune::stream::Stream reference(0);
  EXPECT_EQ(reference.next(), 0xe220a8397b1dcdafULL);
  EXPECT_EQ(reference.next(), 0x6e789e6aa1b965f4ULL);
  for (int i = 0; i < 2; ++i) reference.next();
  EXPECT_EQ(stream.state(), reference.state());
  // L z with the lower factor of V0, not its upper triangle.
  Eigen::MatrixXd v(2, 2);
  v << 4.0, 2.0, 2.0, 5.0;
  const auto factor = DenseFactor::make(v);
  kestrune::stream::Stream again(0);
  const Eigen::VectorXd w = kestrune::spatial::null_response(*factor, Eigen::Vector2d::Zero(), again);
  EXPECT_DOUBLE_EQ(w[0], 2.0 * -0.45275774021745807);
  EXPECT_DOUBLE_EQ(w[1], 1.0 * -0.45275774021745807 + 2.0 * 2.65060581207967);
}

struct TallyCase {
  std::string name;
  double observed;
  std::vector<std::optional<double>> statistics;
  std::string code;  // empty: a record
  std::uint64_t exceedances;
  double p_value;
};

class SpatialTally : public testing::TestWithParam<TallyCase> {};

TEST_P(SpatialTally, CountsTiesAndFailsOnlyAfterEveryReplicate) {
  const TallyCase& c = GetParam();
  kestrune::spatial::Tally tally{c.observed};
  for (const auto& s : c.statistics) tally.add(s);
  const auto record = kestrune::spatial::bootstrap_record(tally, c.statistics.size(), 99);
  if (!c.code.empty()) {
    ASSERT_FALSE(record);
    EXPECT_EQ(record.error().code, c.code);
    return;
  }
  ASSERT_TRUE(record);
  EXPECT_EQ(record->exceedances, c.exceedances);
  EXPECT_EQ(record->usable, c.statistics.size());
  EXPECT_EQ(record->p_value, c.p_value);
  EXPECT_EQ(record->rule, "parametric_bootstrap_add_one");
  EXPECT_EQ(record->seed, 99u);
}

INSTANTIATE_TEST_SUITE_P(
    SpatialBootstrap, SpatialTally,
    testing::Values(TallyCase{"tie_counts", 2.0, {2.0, 1.0, 3.0}, "", 2, 3.0 / 4.0},
                    TallyCase{"all_below", 5.0, {1.0, 2.0, 0.0, 4.9}, "", 0, 1.0 / 5.0},
                    TallyCase{"observed_zero", 0.0, {0.0, 0.0}, "", 2, 1.0},
                    TallyCase{"one_failed", 1.0, {2.0, std::nullopt, 0.5}, "SPATIAL_BOOTSTRAP_REPLICATE_FAILED", 0, 0},
                    TallyCase{"all_failed", 1.0, {std::nullopt, std::nullopt}, "SPATIAL_BOOTSTRAP_NO_USABLE_REPLICATE", 0, 0}),
    [](const testing::TestParamInfo<TallyCase>& info) { return info.param.name; });

}  // namespace
