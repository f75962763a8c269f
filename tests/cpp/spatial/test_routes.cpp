// The whole-sample likelihood through the places (sites, cells) against the dense route, on
// random samples, and which route a model's families and places choose.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <cstddef>
#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "numerics/whole_sample.hpp"

namespace {

using kestrune::whole_sample::Design;
using kestrune::whole_sample::Families;
using kestrune::whole_sample::GroupedCovariance;
using kestrune::whole_sample::Workspace;
using kestrune::whole_sample::plan;
using kestrune::whole_sample::whole_sample_likelihood;

enum class Kernel { exponential, grid };  // a decay over distances; AR(1) x AR(1) over cells
enum class Fixed { none, kinship, kinship_and_household, household_only };

struct RouteCase {
  std::string name;
  int n, places, family;  // family: people per family of the given matrices
  Fixed fixed;
  Kernel kernel;
  int p;
  bool reml;
  double spatial, residual;  // c_g and c_e; the given matrices take 0.6, 0.3
  bool through_places;       // the place route serves (not refused for F)
};

struct Sample {
  std::vector<std::size_t> place_of;
  std::vector<Eigen::MatrixXd> fixed;
  std::vector<double> coefficients;
  Eigen::MatrixXd kernel;
  std::vector<Eigen::MatrixXd> derivatives;
  Eigen::MatrixXd x;
  Eigen::VectorXd y;
};

// Blocks of `family` people: a kinship of 1 and 0.5, or a household of ones within pairs.
Eigen::MatrixXd blocks_of(int n, int family, bool household) {
  Eigen::MatrixXd a = Eigen::MatrixXd::Zero(n, n);
  if (!household) a.setIdentity();
  const int size = household ? 2 : family;
  for (int start = 0; start < n; start += size)
    for (int i = start; i < std::min(n, start + size); ++i)
      for (int j = start; j < std::min(n, start + size); ++j) {
        if (household) a(i, j) = 1.0;
        else if (i != j) a(i, j) = 0.5;
      }
  return a;
}

Sample sample(const RouteCase& c, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> normal;
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  Sample s;
  for (int i = 0; i < c.n; ++i) s.place_of.push_back(i < c.places ? i : rng() % c.places);
  std::shuffle(s.place_of.begin(), s.place_of.end(), rng);
  const bool kinship = c.fixed == Fixed::kinship || c.fixed == Fixed::kinship_and_household;
  const bool household = c.fixed == Fixed::kinship_and_household || c.fixed == Fixed::household_only;
  if (kinship) s.fixed.push_back(blocks_of(c.n, c.family, false));
  if (household) s.fixed.push_back(blocks_of(c.n, 2, true));
  for (std::size_t l = 0; l < s.fixed.size(); ++l) s.coefficients.push_back(l == 0 ? 0.6 : 0.3);

  const int k = c.places;
  s.kernel.resize(k, k);
  if (c.kernel == Kernel::exponential) {
    Eigen::MatrixXd at(k, 2);
    for (int a = 0; a < k; ++a) at.row(a) << 100.0 * uniform(rng), 100.0 * uniform(rng);
    const double decay = 0.04;
    Eigen::MatrixXd slope(k, k);
    for (int a = 0; a < k; ++a)
      for (int b = 0; b < k; ++b) {
        const double d = (at.row(a) - at.row(b)).norm();
        s.kernel(a, b) = std::exp(-decay * d);
        slope(a, b) = -c.spatial * d * s.kernel(a, b);
      }
    s.derivatives.push_back(slope);
  } else {
    const int side = static_cast<int>(std::ceil(std::sqrt(k)));
    const double rho_row = 0.7, rho_col = 0.4;
    Eigen::MatrixXd by_row(k, k), by_col(k, k);
    for (int a = 0; a < k; ++a)
      for (int b = 0; b < k; ++b) {
        const int dr = std::abs(a % side - b % side), dc = std::abs(a / side - b / side);
        s.kernel(a, b) = std::pow(rho_row, dr) * std::pow(rho_col, dc);
        by_row(a, b) = dr == 0 ? 0.0 : c.spatial * dr * std::pow(rho_row, dr - 1) * std::pow(rho_col, dc);
        by_col(a, b) = dc == 0 ? 0.0 : c.spatial * dc * std::pow(rho_row, dr) * std::pow(rho_col, dc - 1);
      }
    s.derivatives = {by_row, by_col};
  }
  s.x.resize(c.n, c.p);
  s.y.resize(c.n);
  for (int i = 0; i < c.n; ++i) {
    for (int j = 0; j < c.p; ++j) s.x(i, j) = j == 0 ? 1.0 : normal(rng);
    s.y[i] = normal(rng) + std::sin(0.3 * static_cast<double>(s.place_of[i]));
  }
  return s;
}

class Routes : public testing::TestWithParam<RouteCase> {};

TEST_P(Routes, PlacesGiveTheDenseLikelihood) {
  const RouteCase& c = GetParam();
  for (const unsigned seed : {1u, 2u}) {
    const Sample s = sample(c, seed);
    Families families = plan(s.fixed, s.place_of, static_cast<std::size_t>(c.places));
    const double logdet_xtx = c.p == 0 ? 0.0 : std::log((s.x.transpose() * s.x).determinant());
    const Design design{s.x, logdet_xtx};
    const auto evaluate = [&](bool through_places, bool with_gradient) {
      families.through_places = through_places;
      const GroupedCovariance covariance{s.fixed, s.coefficients, s.place_of, s.kernel, c.spatial, c.residual,
                                         &families};
      Workspace workspace;
      return whole_sample_likelihood(covariance, design, s.y, c.reml, s.derivatives, with_gradient, workspace);
    };
    const auto dense = evaluate(false, true);
    const auto places = evaluate(true, true);
    ASSERT_TRUE(dense && places) << "seed " << seed;
    EXPECT_NEAR(places->value, dense->value, 1e-9 * std::fabs(dense->value));
    ASSERT_EQ(places->gradient.size(), dense->gradient.size());
    for (std::size_t i = 0; i < dense->gradient.size(); ++i) {
      EXPECT_NEAR(places->gradient[i], dense->gradient[i], 1e-7 * std::fmax(1.0, std::fabs(dense->gradient[i])))
          << "coordinate " << i << ", seed " << seed;
    }
    EXPECT_TRUE(places->beta.isApprox(dense->beta, 1e-9));
    EXPECT_TRUE(places->beta_covariance.isApprox(dense->beta_covariance, 1e-9));
    // Without the gradient the value is the same bits; a refused F gives the dense bits.
    EXPECT_EQ(evaluate(true, false)->value, places->value);
    if (!c.through_places) {
      EXPECT_EQ(places->value, dense->value);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sample, Routes,
    testing::Values(
        RouteCase{"alone_no_fixed_reml", 150, 30, 1, Fixed::none, Kernel::exponential, 2, true, 0.8, 0.5, true},
        RouteCase{"kinship_ml", 160, 40, 3, Fixed::kinship, Kernel::exponential, 2, false, 0.7, 0.4, true},
        RouteCase{"two_given_reml", 144, 24, 4, Fixed::kinship_and_household, Kernel::exponential, 3, true, 1.1, 0.3,
                  true},
        RouteCase{"no_spatial_variance", 150, 30, 3, Fixed::kinship, Kernel::exponential, 2, true, 0.0, 0.5, true},
        RouteCase{"strong_spatial_variance", 150, 30, 3, Fixed::kinship, Kernel::exponential, 2, true, 40.0, 0.05,
                  true},
        RouteCase{"grid_cells", 180, 36, 4, Fixed::kinship, Kernel::grid, 3, true, 0.9, 0.4, true},
        RouteCase{"families_past_twelve", 168, 30, 14, Fixed::kinship, Kernel::exponential, 1, false, 0.6, 0.5, true},
        RouteCase{"no_fixed_effects", 150, 30, 3, Fixed::kinship, Kernel::grid, 0, true, 0.6, 0.5, true},
        // Households alone and no residual: F is singular, V is not (everyone at a place of
        // their own), and the dense route decides.
        RouteCase{"singular_given_part", 150, 150, 2, Fixed::household_only, Kernel::exponential, 2, true, 0.8, 0.0,
                  false}),
    [](const testing::TestParamInfo<RouteCase>& info) { return info.param.name; });

// ---- which route pays ---------------------------------------------------------------

struct PlanCase {
  std::string name;
  int n, places, family;
  bool through_places;
};

class Plans : public testing::TestWithParam<PlanCase> {};

TEST_P(Plans, ThePlaceRouteOnlyWhereItPays) {
  const PlanCase& c = GetParam();
  std::vector<std::size_t> place_of;
  for (int i = 0; i < c.n; ++i) place_of.push_back(static_cast<std::size_t>(i % c.places));
  const std::vector<Eigen::MatrixXd> fixed{blocks_of(c.n, c.family, false)};
  const Families families = plan(fixed, place_of, static_cast<std::size_t>(c.places));
  EXPECT_EQ(families.through_places, c.through_places);
  EXPECT_EQ(families.members.size(), static_cast<std::size_t>((c.n + c.family - 1) / c.family));
}

INSTANTIATE_TEST_SUITE_P(
    Sample, Plans,
    testing::Values(PlanCase{"few_sites_small_families", 400, 80, 4, true},
                    PlanCase{"everyone_apart", 400, 400, 4, false},
                    PlanCase{"sites_near_the_people", 400, 300, 4, false},
                    PlanCase{"one_dense_family", 400, 80, 400, false},
                    PlanCase{"too_small_to_pay", 100, 10, 4, false}),
    [](const testing::TestParamInfo<PlanCase>& info) { return info.param.name; });

}  // namespace
