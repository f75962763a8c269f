// The two-trait fit's selection among searches, its convergence measure, the covariance
// derivatives its gradient rests on, and the refit a winning null asks for.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <random>

#include <Eigen/Cholesky>

#include "bivariate/fit.hpp"
#include "bivariate/inference.hpp"
#include "bivariate/model.hpp"

namespace {

using namespace kestrune::bivariate;
using Hold = HeritabilityHold;

constexpr HeritabilityState both_free{Hold::Free, Hold::Free};
constexpr HeritabilityState first_zero{Hold::HeldAtZero, Hold::Free};
constexpr HeritabilityState both_zero{Hold::HeldAtZero, Hold::HeldAtZero};

OptimisationCandidate candidate(double value, HeritabilityState state, bool converged = true) {
  return {value + 3.0, value, {1, 1, 0.5, 0.5, 0, 0}, 0.0, state, converged};
}

// --- selection ------------------------------------------------------------------

struct SelectionCase {
  std::string name;
  std::vector<OptimisationCandidate> converged;
  std::vector<OptimisationCandidate> others;
  std::string code;      // empty when a candidate is chosen
  std::size_t chosen;    // its position in `converged`
};

class Selection : public testing::TestWithParam<SelectionCase> {};

TEST_P(Selection, PicksTheSimplestWithinTolerance) {
  const SelectionCase& c = GetParam();
  const auto result = select_best_candidate(c.converged, c.others);
  if (!c.code.empty()) {
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().code, c.code);
    return;
  }
  ASSERT_TRUE(result.has_value()) << result.error().code;
  EXPECT_EQ(result->standardised_objective, c.converged[c.chosen].standardised_objective);
  EXPECT_EQ(result->state, c.converged[c.chosen].state);
}

// Tolerance at a best near 10 is (10 + 1) 1e-10 = 1.1e-9.
INSTANTIATE_TEST_SUITE_P(
    Fit, Selection,
    testing::Values(
        SelectionCase{"NothingConverged", {}, {candidate(1.0, both_free, false)}, "BIVARIATE_NO_START_CONVERGED", 0},
        SelectionCase{"HeldStateWithinToleranceWins", {candidate(10.0, both_free), candidate(10.0 + 1e-9, first_zero)},
                      {}, "", 1},
        SelectionCase{"HeldStateBeyondToleranceLoses", {candidate(10.0, both_free), candidate(10.0 + 2e-9, first_zero)},
                      {}, "", 0},
        SelectionCase{"FewestFreeWins", {candidate(10.0, first_zero), candidate(10.0, both_zero)}, {}, "", 1},
        SelectionCase{"EqualCountsTakeTheLowerValue",
                      {candidate(10.0 + 5e-10, both_free), candidate(10.0, both_free)}, {}, "", 1},
        SelectionCase{"EqualCountsAndValuesKeepTheFirst", {candidate(10.0, both_free), candidate(10.0, both_free)},
                      {}, "", 0},
        SelectionCase{"UnresolvedJustWithinToleranceIsIgnored", {candidate(10.0, both_free)},
                      {candidate(10.0 - 1e-9, both_free, false)}, "", 0},
        SelectionCase{"UnresolvedFarBelowRefusesTheFit", {candidate(10.0, both_free)},
                      {candidate(10.0 - 1e-8, both_free, false)}, "BIVARIATE_BETTER_UNRESOLVED_OPTIMUM", 0},
        SelectionCase{"UnresolvedJudgedAgainstTheChosenNotTheBest",
                      {candidate(10.0, both_free), candidate(10.0 + 1e-9, first_zero)},
                      {candidate(10.0 - 5e-10, both_free, false)}, "BIVARIATE_BETTER_UNRESOLVED_OPTIMUM", 0}),
    [](const testing::TestParamInfo<SelectionCase>& info) { return info.param.name; });

// --- convergence measure ----------------------------------------------------------

struct NormCase {
  std::string name;
  double x, g, expected;
};

class ProjectedGradient : public testing::TestWithParam<NormCase> {};

// One coordinate in [0.5, 2] beside one interior coordinate with a small gradient, at f = -4.
TEST_P(ProjectedGradient, CountsOnlyWhatPointsIntoTheBox) {
  const NormCase& c = GetParam();
  const std::vector<double> x = {c.x, 3.0}, g = {c.g, 1e-3}, lower = {0.5, -10.0}, upper = {2.0, 10.0};
  EXPECT_DOUBLE_EQ(projected_gradient_norm(-4.0, x, g, lower, upper), std::fmax(c.expected, 3e-3) / 4.0);
}

INSTANTIATE_TEST_SUITE_P(
    Fit, ProjectedGradient,
    testing::Values(NormCase{"LowerOutwardIgnored", 0.5, 2.0, 0.0}, NormCase{"LowerInwardCounted", 0.5, -2.0, 2.0},
                    NormCase{"WithinEdgeOfLower", 0.5 + 1e-13, 2.0, 0.0},
                    NormCase{"UpperOutwardIgnored", 2.0, -2.0, 0.0},
                    NormCase{"UpperInwardWeightedByX", 2.0, 2.0, 4.0},
                    NormCase{"InteriorWeightedByX", 1.5, -2.0, 3.0}),
    [](const testing::TestParamInfo<NormCase>& info) { return info.param.name; });

// --- states ---------------------------------------------------------------------

TEST(States, FreeCoordinatesFollowTheHolds) {
  EXPECT_EQ(free_indices(both_free), (std::vector<std::size_t>{0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(free_indices({Hold::HeldAtZero, Hold::HeldAtOne}), (std::vector<std::size_t>{0, 1}));
  EXPECT_EQ(free_indices({Hold::Free, Hold::HeldAtOne}), (std::vector<std::size_t>{0, 1, 2, 4}));
  const std::vector<double> free = {2.0, 3.0, 0.25};
  EXPECT_EQ(expand({Hold::HeldAtOne, Hold::Free}, free), (Theta{2.0, 3.0, 1.0, 0.25, 0.0, 0.0}));
}

// --- covariance derivatives ---------------------------------------------------------

class Derivative : public testing::TestWithParam<std::size_t> {};

// Central differences of G and E, away from every square root's zero.
TEST_P(Derivative, MatchesDifferencesOfTheCovariances) {
  const std::size_t k = GetParam();
  const Theta theta = {1.3, 0.8, 0.4, 0.6, 0.3, -0.2};
  Theta up = theta, down = theta;
  up[k] += 1e-6;
  down[k] -= 1e-6;
  const Covariances d = derivative(theta, k), hi = covariances(up), lo = covariances(down);
  EXPECT_LT(((hi.genetic - lo.genetic) / 2e-6 - d.genetic).cwiseAbs().maxCoeff(), 1e-8);
  EXPECT_LT(((hi.residual - lo.residual) / 2e-6 - d.residual).cwiseAbs().maxCoeff(), 1e-8);
}

INSTANTIATE_TEST_SUITE_P(Likelihood, Derivative, testing::Range<std::size_t>(0, 6),
                         [](const testing::TestParamInfo<std::size_t>& info) {
                           return "Theta" + std::to_string(info.param);
                         });

TEST(Derivative, CrossTermsVanishWhereTheirRootIs0) {
  const Theta theta = {1.3, 0.8, 0.0, 1.0, 0.3, -0.2};  // s_g = 0 and s_e = 0
  for (std::size_t k = 0; k < 6; ++k) {
    const Covariances d = derivative(theta, k);
    EXPECT_EQ(d.genetic(0, 1), 0.0) << k;
    EXPECT_EQ(d.residual(0, 1), 0.0) << k;
    EXPECT_TRUE(d.genetic.allFinite() && d.residual.allFinite()) << k;
  }
}

// --- a null above the full fit ------------------------------------------------------

// Nuclear families (two parents, three children), both traits measured, an intercept each.
struct Families {
  BivariateModel model;
  Eigen::VectorXd y;
};

Families nuclear_families(int count, unsigned seed) {
  Eigen::MatrixXd family = Eigen::MatrixXd::Constant(5, 5, 0.5) + 0.5 * Eigen::MatrixXd::Identity(5, 5);
  family(0, 1) = family(1, 0) = 0.0;
  const Eigen::Index n = 5 * count;
  Eigen::MatrixXd k = Eigen::MatrixXd::Zero(n, n), design = Eigen::MatrixXd::Zero(2 * n, 2);
  for (Eigen::Index f = 0; f < count; ++f) k.block(5 * f, 5 * f, 5, 5) = family;
  const Covariances c = covariances({1.0, 2.0, 0.5, 0.4, 0.5, 0.2});
  Eigen::MatrixXd v = Eigen::MatrixXd::Zero(2 * n, 2 * n);
  for (Eigen::Index i = 0; i < n; ++i) {
    design(2 * i, 0) = design(2 * i + 1, 1) = 1.0;
    for (Eigen::Index j = 0; j < n; ++j)
      v.block(2 * i, 2 * j, 2, 2) = k(i, j) * c.genetic + (i == j ? c.residual : Eigen::Matrix2d::Zero());
  }
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> normal;
  Eigen::VectorXd z(2 * n);
  for (Eigen::Index i = 0; i < z.size(); ++i) z[i] = normal(rng);
  const Eigen::VectorXd y = Eigen::LLT<Eigen::MatrixXd>(v).matrixL() * z + design * Eigen::Vector2d(1.0, -2.0);
  const std::vector<std::array<bool, 2>> observed(static_cast<std::size_t>(n), {true, true});
  auto model = BivariateModel::build(k, observed, design);
  EXPECT_TRUE(model.has_value());
  return {std::move(*model), y};
}

// A full fit short of its maximum, beaten by a null, is searched again from the null's point, and
// the refit's maximum kept; a null no point of the full model reaches refuses the test.
TEST(NullAboveTheFit, IsRefittedFromTheNullsPoint) {
  const Families data = nuclear_families(12, 5);
  const auto problem = data.model.standardised_problem(data.y);
  const auto fitted = fit(data.model, data.y, true);
  ASSERT_TRUE(problem && fitted);
  const double top = fitted->loglik + problem->constant(true);
  // The null's point: the fit's, its genetic correlation held at 0.9, on the searched scale.
  const Theta null_point = {fitted->variance_first / problem->variances[0],
                            fitted->variance_second / problem->variances[1], fitted->h2_first, fitted->h2_second,
                            0.9, fitted->residual_correlation.value_or(0.0)};
  EXPECT_EQ(full_above_null(*problem, true, top, null_point, top - 1.0).value(), top);  // no refit
  const auto refitted = full_above_null(*problem, true, top - 1.0, null_point, top - 0.5);
  ASSERT_TRUE(refitted.has_value()) << refitted.error().code;
  EXPECT_NEAR(*refitted, top, 1e-7);
  const auto beaten = full_above_null(*problem, true, top, null_point, top + 1.0);
  ASSERT_FALSE(beaten.has_value());
  EXPECT_EQ(beaten.error().code, "BIVARIATE_BETTER_UNRESOLVED_OPTIMUM");
}

}  // namespace
