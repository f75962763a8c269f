// Internals of the association model that Python cannot reach: weights, the marker pivot,
// batch boundaries of a sweep and the single-marker checks.
#include "association/model.hpp"

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <limits>
#include <random>

namespace {

using kestrune::association::AssociationModel;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

struct Sample {
  Eigen::MatrixXd k;
  Eigen::MatrixXd x;
  Eigen::VectorXd y;
};

// Pairs of relatives (0.5), one pair with a relationship above 1 so that its block has a
// negative eigenvalue, and a covariate besides the intercept.
Sample sample(int n = 60) {
  std::mt19937_64 rng(11);
  std::normal_distribution<double> normal;
  Sample s{Eigen::MatrixXd::Identity(n, n), Eigen::MatrixXd::Ones(n, 2), Eigen::VectorXd(n)};
  for (int i = 0; i + 1 < n; i += 2) s.k(i, i + 1) = s.k(i + 1, i) = 0.5;
  s.k(0, 1) = s.k(1, 0) = 1.5;
  for (int i = 0; i < n; ++i) {
    s.x(i, 1) = normal(rng);
    s.y[i] = 1.0 + 0.3 * s.x(i, 1) + normal(rng);
  }
  return s;
}

std::span<const double> span_of(const Eigen::VectorXd& v) {
  return {v.data(), static_cast<std::size_t>(v.size())};
}

TEST(AssociationModel, EigenvaluesAreClampedAndWeightsFloored) {
  const Sample s = sample();
  const auto model = AssociationModel::build(s.k, s.x, s.y);
  ASSERT_TRUE(model.has_value());
  EXPECT_EQ(model->eigenvalues().minCoeff(), 0.0);  // the block [[1, 1.5], [1.5, 1]] has -0.5
  const Eigen::VectorXd at_one = model->weights(1.0);
  for (Eigen::Index i = 0; i < at_one.size(); ++i) {
    if (model->eigenvalues()[i] == 0.0) EXPECT_EQ(at_one[i], 1e12);
  }
  EXPECT_TRUE((model->weights(nan).array() == 1e12).all());
}

// Rounding leaves the pivot of a marker in the design's span at a few ulps of either sign;
// every such marker must be refused, not only those whose pivot happens to come out <= 0.
TEST(AssociationModel, EveryMarkerInTheDesignSpanIsRefused) {
  const Sample s = sample();
  const auto model = AssociationModel::build(s.k, s.x, s.y);
  ASSERT_TRUE(model.has_value());
  const Eigen::VectorXd w = model->weights(model->null_h2());
  for (int a = 1; a <= 12; ++a) {
    for (int b = -3; b <= 3; ++b) {
      const double scale = 0.37 * a * a;
      const Eigen::VectorXd marker = scale * s.x.col(1) + (0.1 * b) * s.x.col(0);
      const Eigen::VectorXd in_span = model->rotate(marker);
      EXPECT_FALSE(model->weighted_least_squares(w, span_of(in_span)).has_value()) << a << " " << b;
      // Off the span by a little more than rounding, the marker is fitted.
      Eigen::VectorXd near = marker;
      for (Eigen::Index i = 0; i < near.size(); ++i) near[i] += 1e-3 * scale * std::sin(3.0 * i);
      const Eigen::VectorXd rotated = model->rotate(near);
      EXPECT_TRUE(model->weighted_least_squares(w, span_of(rotated)).has_value()) << a << " " << b;
    }
  }
}

TEST(AssociationModel, SingleMarkerChecksComeInOrder) {
  const Sample s = sample();
  const auto model = AssociationModel::build(s.k, s.x, s.y);
  ASSERT_TRUE(model.has_value());
  Eigen::VectorXd short_marker = Eigen::VectorXd::LinSpaced(59, 0.0, 1.0);
  EXPECT_EQ(model->test_marker(short_marker, false).error().code, "ASSOCIATION_MARKER_WRONG_LENGTH");
  Eigen::VectorXd flat = Eigen::VectorXd::Constant(60, 1.0);
  flat[3] = nan;
  EXPECT_EQ(model->test_marker(flat, true).error().code, "ASSOCIATION_MARKER_NOT_FINITE");
  flat[3] = 1.0 + 5e-13;
  EXPECT_EQ(model->test_marker(flat, true).error().code, "ASSOCIATION_MARKER_HAS_NO_VARIATION");
}

// Columns on both sides of a batch boundary, a failing one first in its batch, give what a
// single test gives.
TEST(AssociationModel, SweepAgreesWithSingleTestsAcrossBatches) {
  const Sample s = sample();
  const auto model = AssociationModel::build(s.k, s.x, s.y);
  ASSERT_TRUE(model.has_value());
  constexpr int columns = 300;
  Eigen::MatrixXd markers(60, columns);
  for (int j = 0; j < columns; ++j) {
    for (int i = 0; i < 60; ++i) markers(i, j) = std::fmod(std::floor(1.7 * i + 0.31 * j * j), 3.0);
  }
  markers(5, 256) = nan;
  const auto swept = model->sweep_refitting_below(kestrune::association::columns_of(markers), false, 0.2);
  ASSERT_TRUE(swept.has_value());
  ASSERT_EQ(swept->size(), static_cast<std::size_t>(columns));
  int refitted = 0;
  for (int j = 0; j < columns; ++j) {
    const auto& got = (*swept)[j];
    auto expected = model->test_marker(markers.col(j), false);
    if (expected && expected->p_value <= 0.2) expected = model->test_marker(markers.col(j), true);
    ASSERT_EQ(got.has_value(), expected.has_value()) << j;
    if (!got) {
      EXPECT_EQ(got.error().code, expected.error().code);
      continue;
    }
    refitted += got->refitted;
    EXPECT_EQ(got->refitted, expected->refitted) << j;
    EXPECT_NEAR(got->effect, expected->effect, 1e-9 * std::fabs(expected->effect)) << j;
    EXPECT_NEAR(got->p_value, expected->p_value, 1e-8) << j;
  }
  EXPECT_EQ((*swept)[256].error().code, "ASSOCIATION_MARKER_NOT_FINITE");
  EXPECT_GT(refitted, 0);
}

}  // namespace
