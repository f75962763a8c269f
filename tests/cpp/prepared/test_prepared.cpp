#include "prepared/model.hpp"

#include <gtest/gtest.h>

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>

namespace {

using kestrune::prepared::PreparedModel;

// Families of 1, 2, 3 and 140 people (the last large enough for the LAPACK route), each a
// chain of relatives, with the members scattered over the rows so that no block is contiguous.
struct Sample {
  Eigen::MatrixXd x;
  Eigen::MatrixXd k;
  Eigen::VectorXd y;
};

Sample sample() {
  constexpr int n = 146;
  Sample s{Eigen::MatrixXd(n, 2), Eigen::MatrixXd::Identity(n, n), Eigen::VectorXd(n)};
  int position = 0;
  for (const int size : {1, 2, 3, 140}) {
    for (int a = position; a + 1 < position + size; ++a) {
      const int i = (a * 37) % n;  // 37 is prime to 146: a permutation of the rows
      const int j = ((a + 1) * 37) % n;
      s.k(i, j) = s.k(j, i) = 0.45;
    }
    position += size;
  }
  for (int i = 0; i < n; ++i) {
    s.x(i, 0) = 1.0;
    s.x(i, 1) = std::sin(0.7 * i);
    s.y[i] = 0.5 + 0.2 * s.x(i, 1) + std::cos(1.3 * i * i);
  }
  return s;
}

TEST(PreparedModelBuild, BlocksPartitionAndRotationIsOrthonormal) {
  const Sample s = sample();
  const auto model = PreparedModel::build(s.x, s.k, std::nullopt);
  ASSERT_TRUE(model.has_value());
  ASSERT_EQ(model->blocks().size(), 4u);
  std::vector<int> seen(s.x.rows(), 0);
  for (const auto& block : model->blocks()) {
    const auto m = static_cast<Eigen::Index>(block.indices.size());
    EXPECT_TRUE(std::is_sorted(block.indices.begin(), block.indices.end()));
    EXPECT_LT((block.eigenvectors.transpose() * block.eigenvectors -
               Eigen::MatrixXd::Identity(m, m)).cwiseAbs().maxCoeff(), 1e-12);
    for (const auto i : block.indices) ++seen[i];
  }
  EXPECT_TRUE(std::all_of(seen.begin(), seen.end(), [](int c) { return c == 1; }));
  EXPECT_GE(model->eigenvalues().minCoeff(), 0.0);
  EXPECT_NEAR(model->eigenvalues().sum(), s.k.trace(), 1e-10);
  EXPECT_LT((model->rotated_x().transpose() * model->rotated_x() - s.x.transpose() * s.x)
                .cwiseAbs().maxCoeff(), 1e-10);
  const Eigen::VectorXd rotated = model->rotate(s.y);
  EXPECT_NEAR(rotated.norm(), s.y.norm(), 1e-12 * s.y.norm());
}

TEST(PreparedModelProfile, EstimatorsShareFixedEffects) {
  const Sample s = sample();
  const auto model = PreparedModel::build(s.x, s.k, std::nullopt);
  const Eigen::VectorXd rotated = model->rotate(s.y);
  for (const double h2 : {0.0, 0.3, 0.8, 1.0}) {
    const auto reml = model->profile(h2, rotated, true);
    const auto ml = model->profile(h2, rotated, false);
    ASSERT_TRUE(reml && ml);
    EXPECT_EQ(reml->beta, ml->beta);
    EXPECT_EQ(reml->cov, ml->cov);
    const double n = static_cast<double>(s.x.rows());
    EXPECT_NEAR(reml->total_variance * (n - 2.0) / n, ml->total_variance, 1e-14);
  }
  // At h2 = 0 the profile is ordinary least squares.
  const auto ols = model->profile(0.0, rotated, false);
  const Eigen::VectorXd beta = s.x.colPivHouseholderQr().solve(s.y);
  EXPECT_LT((ols->beta - beta).cwiseAbs().maxCoeff(), 1e-12);
  EXPECT_NEAR(ols->total_variance, (s.y - s.x * beta).squaredNorm() / s.x.rows(), 1e-13);
}

TEST(PreparedModelProfile, NoProfileCases) {
  // Two identical rows of k: a zero eigenvalue.
  Sample s = sample();
  s.k(0, 1) = s.k(1, 0) = 1.0;
  s.k(1, 2) = s.k(2, 1) = 0.0;
  for (Eigen::Index j = 2; j < s.k.rows(); ++j) s.k(0, j) = s.k(j, 0) = s.k(1, j) = s.k(j, 1) = 0.0;
  const auto model = PreparedModel::build(s.x, s.k, std::nullopt);
  ASSERT_TRUE(model.has_value());
  EXPECT_NEAR(model->min_eigenvalue(), 0.0, 1e-15);
  const Eigen::VectorXd rotated = model->rotate(s.y);
  // The design spans the zero direction: ML rises without bound towards h2 = 1, REML has a
  // finite limit there.
  EXPECT_FALSE(model->profile(1.0, rotated, false).has_value());
  const auto limit = model->profile(1.0, rotated, true);
  const auto near = model->profile(1.0 - 1e-9, rotated, true);
  const auto nearer = model->profile(1.0 - 1e-10, rotated, true);
  ASSERT_TRUE(limit && near && nearer);
  // The profile is smooth in h2 up to 1: its values at 1 - d extrapolate linearly to the limit.
  EXPECT_NEAR(limit->loglik, (10.0 * nearer->loglik - near->loglik) / 9.0, 1e-7);
  EXPECT_TRUE(limit->beta.isApprox(nearer->beta, 1e-6));
  EXPECT_TRUE(model->profile(1.0 - 1e-13, rotated, true).has_value());
  EXPECT_FALSE(model->profile(2.0, rotated, false).has_value());  // factor 1 - h2 < 0
  EXPECT_TRUE(model->profile(-0.5, rotated, false).has_value());  // factors stay positive

  // A response the design fits exactly has no profile anywhere.
  const Eigen::VectorXd exact = model->rotate(s.x * Eigen::Vector2d(1.0, -2.0));
  for (const double h2 : {0.0, 0.5, 0.99}) EXPECT_FALSE(model->profile(h2, exact, true).has_value());
  EXPECT_FALSE(model->profile(0.5, Eigen::VectorXd::Zero(s.y.size()), false).has_value());
}

TEST(PreparedModelFit, RefitIsIdenticalAndModelUnchanged) {
  const Sample s = sample();
  const auto model = PreparedModel::build(s.x, s.k, std::string(64, 'f'));
  const auto first = model->fit(s.y, "ml");
  const auto second = model->fit(s.y, "ml");
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->fit.h2, second->fit.h2);
  EXPECT_EQ(first->fit.loglik, second->fit.loglik);
  EXPECT_EQ(first->fit.interval.lower, second->fit.interval.lower);
  EXPECT_EQ(*model->subject_order_sha256(), std::string(64, 'f'));
  EXPECT_EQ(model->fit(s.y, "Ml").error().code, "FIT_ESTIMATOR_INVALID");
  EXPECT_EQ(model->fit(s.y.head(5), "ml").error().code, "FIT_Y_LENGTH_MISMATCH");
}

}  // namespace
