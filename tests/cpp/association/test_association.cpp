// Internals of the association model that Python cannot reach: the marker pivot, slab
// boundaries of a sweep against single tests, the single-marker checks and the weights' floor.
#include "association/model.hpp"

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <set>

namespace {

using kestrune::association::AssociationModel;
using kestrune::association::Profile;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Pairs of relatives, one pair related above 1 so that its block has a negative eigenvalue.
AssociationModel model(Eigen::MatrixXd& x, int n = 60) {
  std::mt19937_64 rng(11);
  std::normal_distribution<double> normal;
  Eigen::MatrixXd k = Eigen::MatrixXd::Identity(n, n);
  for (int i = 0; i + 1 < n; i += 2) k(i, i + 1) = k(i + 1, i) = i == 0 ? 1.5 : 0.5;
  x = Eigen::MatrixXd::Ones(n, 2);
  Eigen::VectorXd y(n);
  for (int i = 0; i < n; ++i) {
    x(i, 1) = normal(rng);
    y[i] = 1.0 + 0.3 * x(i, 1) + normal(rng);
  }
  return *AssociationModel::build(k, x, y);
}

// One dense block: K = W W' / loci from centred genotypes of unrelated people, and a trait with
// a polygenic part.
AssociationModel dense_model(Eigen::MatrixXd& x, int n = 150, int loci = 400) {
  std::mt19937_64 rng(23);
  std::normal_distribution<double> normal;
  std::binomial_distribution<int> dosage(2, 0.3);
  Eigen::MatrixXd w = Eigen::MatrixXd::NullaryExpr(n, loci, [&] { return static_cast<double>(dosage(rng)); });
  w.rowwise() -= w.colwise().mean();
  const Eigen::MatrixXd k = w * w.transpose() / loci;
  x = Eigen::MatrixXd::Ones(n, 2);
  Eigen::VectorXd y(n);
  for (int i = 0; i < n; ++i) {
    x(i, 1) = normal(rng);
    y[i] = 1.0 + 0.3 * x(i, 1) + 0.1 * w.row(i).head(40).sum() + normal(rng);
  }
  return *AssociationModel::build(k, x, y);
}

TEST(AssociationModel, WeightsAndSingleMarkerChecks) {
  Eigen::MatrixXd x;
  const AssociationModel m = model(x);
  EXPECT_EQ(m.eigenvalues().minCoeff(), 0.0);  // [[1, 1.5], [1.5, 1]] has -0.5
  EXPECT_EQ(m.weights(1.0).maxCoeff(), 1e12);
  EXPECT_TRUE((m.weights(nan).array() == 1e12).all());
  Eigen::VectorXd marker = Eigen::VectorXd::Constant(60, 1.0);
  EXPECT_EQ(m.test_marker(marker.head(59), false).error().code, "ASSOCIATION_MARKER_WRONG_LENGTH");
  marker[3] = nan;
  EXPECT_EQ(m.test_marker(marker, true).error().code, "ASSOCIATION_MARKER_NOT_FINITE");
  marker[3] = 1.0 + 5e-13;
  EXPECT_EQ(m.test_marker(marker, true).error().code, "ASSOCIATION_MARKER_HAS_NO_VARIATION");
}

// Rounding leaves the pivot of a marker in the design's span at a few ulps of either sign;
// every such marker must be refused, not only those whose pivot happens to come out <= 0.
TEST(AssociationModel, EveryMarkerInTheDesignSpanIsRefused) {
  Eigen::MatrixXd x;
  const AssociationModel m = model(x);
  const Eigen::VectorXd w = m.weights(m.null_h2());
  const auto fits = [&](const Eigen::VectorXd& marker) {
    const Eigen::VectorXd z = m.rotate(marker);
    return m.weighted_least_squares(w, {z.data(), static_cast<std::size_t>(z.size())}).has_value();
  };
  for (int a = 1; a <= 12; ++a) {
    for (int b = -3; b <= 3; ++b) {
      const Eigen::VectorXd marker = (0.37 * a * a) * x.col(1) + (0.1 * b) * x.col(0);
      EXPECT_FALSE(fits(marker)) << a << " " << b;
      // Off the span by a little more than rounding, the marker is fitted.
      const Eigen::VectorXd wobble = Eigen::VectorXd::LinSpaced(60, 0.0, 177.0).array().sin();
      EXPECT_TRUE(fits(marker + (1e-3 * 0.37 * a * a) * wobble)) << a << " " << b;
    }
  }
}

// A sweep rotates its markers a slab at a time in one product per block; a single test rotates
// its marker alone. On pairs of relatives and on one dense block (a genomic relationship
// matrix over unrelated people), held and refitted, with columns on both sides of a slab's
// boundary and a failing one first in its slab, every row is the single test's.
TEST(AssociationModel, SweepAgreesWithSingleTestsAcrossSlabs) {
  struct Case {
    const char* name;
    bool dense;
    bool refit;
    std::optional<double> refit_below;
    double refitted_estimates;  // relative tolerance on a refitted row's effect, error and Wald
  };
  // A refit's search carries the rotation's rounding into its heritability, within its own
  // tolerance; the likelihood ratio and p-value sit at the maximum and move far less.
  const Case cases[] = {{"pairs, held refitted below 0.2", false, false, 0.2, 1e-9},
                        {"dense, held", true, false, std::nullopt, 0.0},
                        {"dense, held refitted below 0.2", true, false, 0.2, 1e-6},
                        {"dense, refitted", true, true, std::nullopt, 1e-6}};
  for (const Case& c : cases) {
    Eigen::MatrixXd x;
    const AssociationModel m = c.dense ? dense_model(x) : model(x);
    const auto n = static_cast<Eigen::Index>(m.n());
    Eigen::MatrixXd markers(n, 300);
    for (int j = 0; j < 300; ++j)
      for (int i = 0; i < n; ++i) markers(i, j) = std::fmod(std::floor(1.7 * i + 0.31 * j * j), 3.0);
    markers(5, 256) = nan;
    const auto swept = m.sweep_refitting_below(kestrune::association::columns_of(markers), c.refit, c.refit_below);
    ASSERT_EQ(swept->size(), 300u);
    int refitted = 0;
    for (int j = 0; j < 300; ++j) {
      const auto& got = (*swept)[j];
      auto expected = m.test_marker(markers.col(j), c.refit);
      if (c.refit_below && expected && expected->p_value <= *c.refit_below) expected = m.test_marker(markers.col(j), true);
      ASSERT_EQ(got.has_value(), expected.has_value()) << c.name << " " << j;
      if (!got) {
        EXPECT_EQ(got.error().code, expected.error().code);
        continue;
      }
      refitted += got->refitted;
      EXPECT_EQ(got->refitted, expected->refitted) << j;
      const double estimates = got->refitted ? c.refitted_estimates : 1e-10;
      EXPECT_NEAR(got->effect, expected->effect, estimates * std::fabs(expected->effect)) << c.name << " " << j;
      EXPECT_NEAR(got->standard_error, expected->standard_error, estimates * expected->standard_error) << c.name << " " << j;
      EXPECT_NEAR(got->wald, expected->wald, estimates * expected->wald + 1e-12) << c.name << " " << j;
      EXPECT_NEAR(got->likelihood_ratio, expected->likelihood_ratio, 1e-10 * expected->likelihood_ratio + 1e-11)
          << c.name << " " << j;
      EXPECT_NEAR(got->p_value, expected->p_value, 1e-10 * expected->p_value) << c.name << " " << j;
    }
    EXPECT_EQ((*swept)[256].error().code, "ASSOCIATION_MARKER_NOT_FINITE");
    EXPECT_EQ(refitted > 0, c.refit || c.refit_below.has_value()) << c.name;
  }
}

// The search's evaluation from a marker's products against the weighted fit it stands for, on
// random samples: families of one to seven with a random relationship, or all of one shape
// (whose rows share eigenvalues), one to three design columns, markers from plain to one that
// explains nearly all of y (where y'Wy - b'beta cancels), and the null; at the bounds and inside.
TEST(AssociationModel, ProfileFromProductsMatchesTheWeightedFit) {
  struct Case {
    int n, columns;
    double explained;  // y's share carried by the marker
    bool one_shape;
  };
  const Case cases[] = {{40, 1, 0.0, false},     {90, 2, 0.3, false},       {150, 3, 0.0, false},
                        {120, 2, 0.93, false},   {120, 2, 0.999999, false}, {200, 1, 0.9999, false},
                        {150, 2, 0.0, true},     {96, 3, 0.5, true}};
  std::mt19937_64 rng(5);
  std::normal_distribution<double> normal;
  for (const Case& c : cases) {
    Eigen::MatrixXd k = Eigen::MatrixXd::Zero(c.n, c.n);
    const Eigen::MatrixXd shape = Eigen::MatrixXd::NullaryExpr(6, 6, [&] { return normal(rng); });
    for (int first = 0; first < c.n;) {
      const int size = std::min<int>(c.n - first, c.one_shape ? 6 : 1 + static_cast<int>(rng() % 7));
      const Eigen::MatrixXd root = c.one_shape ? Eigen::MatrixXd(shape.topLeftCorner(size, size))
                                               : Eigen::MatrixXd::NullaryExpr(size, size, [&] { return normal(rng); });
      k.block(first, first, size, size) = root * root.transpose() / size + Eigen::MatrixXd::Identity(size, size);
      first += size;
    }
    Eigen::MatrixXd x = Eigen::MatrixXd::NullaryExpr(c.n, c.columns, [&] { return normal(rng); });
    x.col(0).setOnes();
    const Eigen::VectorXd marker = Eigen::VectorXd::NullaryExpr(c.n, [&] { return std::floor(3.0 * std::fabs(normal(rng))); });
    const Eigen::VectorXd noise = Eigen::VectorXd::NullaryExpr(c.n, [&] { return normal(rng); });
    const Eigen::VectorXd y = x.rowwise().sum() + c.explained * 5.0 * marker + (1.0 - c.explained) * noise;
    const AssociationModel m = *AssociationModel::build(k, x, y);
    const std::set<double> distinct(m.eigenvalues().begin(), m.eigenvalues().end());
    EXPECT_EQ(distinct.size() <= 7u, c.one_shape) << c.n;
    const Eigen::VectorXd z = m.rotate(*kestrune::fixed_effects::Design::prepare(x)->beyond(marker));
    for (const bool with_marker : {true, false}) {
      const std::span<const double> span = with_marker ? std::span<const double>(z.data(), z.size()) : std::span<const double>();
      Profile profile(m, span);
      for (const double h2 : {0.0, 1e-3, 0.2, 0.5, 0.87, 1.0}) {
        const auto fit = m.weighted_least_squares(m.weights(h2), span);
        const auto loglik = profile.loglik(h2);
        ASSERT_EQ(fit.has_value(), loglik.has_value()) << c.n << " " << h2;
        const double scale = fit->residual_sum_of_squares / c.n;
        const double expected = -0.5 * (fit->log_determinant + c.n * (std::log(6.283185307179586 * scale) + 1.0));
        EXPECT_NEAR(*loglik, expected, 1e-9 * std::fabs(expected)) << c.n << " " << h2 << " " << with_marker;
      }
    }
  }
}

}  // namespace
