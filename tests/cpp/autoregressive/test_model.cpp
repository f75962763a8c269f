// The grid likelihood against a dense computation and its gradient against differences.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <string>
#include <vector>

#include "autoregressive/model.hpp"

namespace {

using kestrune::autoregressive::AutoregressiveModel;

struct Grid {
  std::vector<std::int64_t> row, column;
  Eigen::MatrixXd design;
  Eigen::VectorXd y;
};

// rows x cols cells, one person each, plus `extra` people sharing the first cells.
Grid grid(int rows, int cols, int extra) {
  Grid g;
  for (int j = 0; j < cols; ++j)
    for (int i = 0; i < rows; ++i) {
      g.row.push_back(i);
      g.column.push_back(j);
    }
  for (int e = 0; e < extra; ++e) {
    g.row.push_back(g.row[e]);
    g.column.push_back(g.column[e]);
  }
  const auto n = static_cast<Eigen::Index>(g.row.size());
  g.design = Eigen::MatrixXd::Ones(n, 2);
  for (Eigen::Index i = 0; i < n; ++i) {
    g.design(i, 1) = std::sin(1.7 * static_cast<double>(i));
    g.y.resize(n);
  }
  for (Eigen::Index i = 0; i < n; ++i) g.y(i) = std::cos(0.9 * static_cast<double>(i)) + 0.1 * static_cast<double>(i % 5);
  return g;
}

Eigen::MatrixXd ar1(int size, double rho) {
  Eigen::MatrixXd m(size, size);
  for (int a = 0; a < size; ++a)
    for (int b = 0; b < size; ++b) m(a, b) = std::pow(rho, std::abs(a - b));
  return m;
}

Eigen::MatrixXd kronecker(const Eigen::MatrixXd& outer, const Eigen::MatrixXd& inner) {
  Eigen::MatrixXd k(outer.rows() * inner.rows(), outer.cols() * inner.cols());
  for (Eigen::Index a = 0; a < outer.rows(); ++a)
    for (Eigen::Index b = 0; b < outer.cols(); ++b)
      k.block(a * inner.rows(), b * inner.cols(), inner.rows(), inner.cols()) = outer(a, b) * inner;
  return k;
}

TEST(AutoregressiveLikelihood, FullGridCovarianceIsAKroneckerProduct) {
  const Grid g = grid(4, 3, 0);
  const auto model = AutoregressiveModel::build(std::vector<Eigen::MatrixXd>{}, g.row, g.column, g.design);
  ASSERT_TRUE(model);
  const std::vector<double> theta = {1.3, 0.4, 0.6, 0.3};
  // People run down rows within each column: V = c_ar (AR_col kron AR_row) + c_res I.
  const Eigen::MatrixXd v = 1.3 * kronecker(ar1(3, 0.3), ar1(4, 0.6)) + 0.4 * Eigen::MatrixXd::Identity(12, 12);
  const Eigen::LLT<Eigen::MatrixXd> llt(v);
  const Eigen::MatrixXd vinv_x = llt.solve(g.design);
  const Eigen::MatrixXd a = g.design.transpose() * vinv_x;
  const Eigen::VectorXd beta = a.ldlt().solve(g.design.transpose() * llt.solve(g.y));
  const Eigen::VectorXd resid = g.y - g.design * beta;
  const double logdet_v = 2.0 * llt.matrixL().toDenseMatrix().diagonal().array().log().sum();
  const double ml = 0.5 * (12 * std::log(2 * M_PI) + logdet_v + resid.dot(llt.solve(resid)));
  const double reml = ml + 0.5 * (std::log(a.determinant()) -
                                  std::log((g.design.transpose() * g.design).determinant()) - 2 * std::log(2 * M_PI));
  EXPECT_NEAR(model->evaluate(theta, g.y, false, false)->value, ml, 1e-11);
  EXPECT_NEAR(model->evaluate(theta, g.y, true, false)->value, reml, 1e-11);
  EXPECT_TRUE((model->evaluate(theta, g.y, true, false)->beta - beta).isZero(1e-11));
}

struct GradientCase {
  std::string name;
  int fixed_count;
  bool reml;
  std::vector<double> theta;
};

class AutoregressiveGradient : public testing::TestWithParam<GradientCase> {};

TEST_P(AutoregressiveGradient, MatchesCentralDifferences) {
  const GradientCase& c = GetParam();
  const Grid g = grid(4, 4, 3);
  const auto n = static_cast<Eigen::Index>(g.row.size());
  std::vector<Eigen::MatrixXd> fixed;
  if (c.fixed_count == 1) {
    Eigen::MatrixXd k = Eigen::MatrixXd::Identity(n, n);
    for (Eigen::Index i = 0; i + 1 < n; i += 2) k(i, i + 1) = k(i + 1, i) = 0.5;
    fixed.push_back(k);
  }
  const auto model = AutoregressiveModel::build(fixed, g.row, g.column, g.design);
  ASSERT_TRUE(model);
  const auto at = model->evaluate(c.theta, g.y, c.reml, true);
  ASSERT_TRUE(at);
  ASSERT_TRUE(at->beta_covariance);
  for (std::size_t t = 0; t < c.theta.size(); ++t) {
    const double h = 1e-6;
    std::vector<double> up = c.theta, down = c.theta;
    up[t] += h;
    down[t] -= h;
    if (down[t] < 0.0) down[t] = 0.0;  // a rate at 0: one-sided
    const double slope =
        (model->evaluate(up, g.y, c.reml, false)->value - model->evaluate(down, g.y, c.reml, false)->value) /
        (up[t] - down[t]);
    EXPECT_NEAR(at->gradient[t], slope, 2e-5 * std::fmax(1.0, std::fabs(slope))) << t;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AutoregressiveGradient,
    testing::Values(GradientCase{"ml_no_fixed", 0, false, {0.9, 0.5, 0.6, 0.3}},
                    GradientCase{"reml_no_fixed", 0, true, {0.9, 0.5, 0.6, 0.3}},
                    GradientCase{"ml_one_fixed", 1, false, {0.7, 0.9, 0.5, 0.4, 0.8}},
                    GradientCase{"reml_one_fixed", 1, true, {0.7, 0.9, 0.5, 0.4, 0.8}},
                    GradientCase{"reml_row_rate_at_zero", 1, true, {0.7, 0.9, 0.5, 0.0, 0.8}}),
    [](const testing::TestParamInfo<GradientCase>& info) { return info.param.name; });

TEST(AutoregressiveLikelihood, OneSharedCellHasNoRateGradient) {
  const std::vector<std::int64_t> same(6, 7);
  Eigen::MatrixXd design = Eigen::MatrixXd::Ones(6, 1);
  const Eigen::VectorXd y = (Eigen::VectorXd(6) << 1, 3, 2, 5, 4, 0).finished();
  const auto model = AutoregressiveModel::build(std::vector<Eigen::MatrixXd>{}, same, same, design);
  ASSERT_TRUE(model);
  EXPECT_EQ(model->cell_count(), 1u);
  const auto e = model->evaluate(std::vector<double>{0.5, 1.0, 0.4, 0.7}, y, true, true);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->gradient[2], 0.0);
  EXPECT_EQ(e->gradient[3], 0.0);
}

TEST(AutoregressiveLikelihood, DomainOfTheParameters) {
  const Grid g = grid(3, 3, 1);
  const auto model = AutoregressiveModel::build(std::vector<Eigen::MatrixXd>{}, g.row, g.column, g.design);
  ASSERT_TRUE(model);
  const double above = std::nextafter(0.999, 1.0);
  const std::vector<std::pair<std::vector<double>, bool>> table = {
      {{1.0, 1.0, 0.999, 0.5}, true},   {{1.0, 1.0, above, 0.5}, false}, {{1.0, 1.0, 0.5, -1e-300}, false},
      {{-0.0, 1.0, 0.5, 0.5}, true},    {{0.0, 0.0, 0.5, 0.5}, false},   {{1.0, NAN, 0.5, 0.5}, false},
      {{INFINITY, 1.0, 0.5, 0.5}, false}, {{1.0, 1.0, 0.0, 0.0}, true},
  };
  for (const auto& [theta, evaluable] : table) {
    EXPECT_EQ(model->evaluate(theta, g.y, true, false).has_value(), evaluable) << theta[0] << " " << theta[2];
  }
}

// A relationship centred on the people (K 1 = 0 to rounding, singular along the intercept alone)
// with no residual: V = K. Whether rounding leaves K a factor or not, ML has no value there (the
// likelihood rises without bound toward it) and REML has its limit, that of the error contrasts.
TEST(AutoregressiveLikelihood, ACentredRelationshipWithoutResidual) {
  const Grid g = grid(4, 3, 0);
  const auto n = static_cast<Eigen::Index>(g.y.size());
  Eigen::MatrixXd spread(n, n);
  for (Eigen::Index i = 0; i < n; ++i)
    for (Eigen::Index j = 0; j < n; ++j) spread(i, j) = std::exp(-0.3 * std::abs(static_cast<double>(i - j)));
  const Eigen::MatrixXd centre =
      Eigen::MatrixXd::Identity(n, n) - Eigen::MatrixXd::Constant(n, n, 1.0 / static_cast<double>(n));
  const Eigen::MatrixXd k = centre * spread * centre;
  const auto model = AutoregressiveModel::build({k}, g.row, g.column, g.design);
  ASSERT_TRUE(model);
  const std::vector<double> theta{1.0, 0.0, 0.0, 0.5, 0.5};
  EXPECT_FALSE(model->evaluate(theta, g.y, false, true));

  const Eigen::HouseholderQR<Eigen::MatrixXd> qr(g.design);
  const Eigen::MatrixXd q = qr.householderQ();
  const Eigen::MatrixXd a = q.rightCols(n - 2);
  const Eigen::LLT<Eigen::MatrixXd> w(a.transpose() * k * a);
  const Eigen::VectorXd z = a.transpose() * g.y;
  const Eigen::MatrixXd l = w.matrixL();
  const double limit = 0.5 * (static_cast<double>(n - 2) * std::log(2.0 * M_PI) +
                              2.0 * l.diagonal().array().log().sum() + z.dot(w.solve(z)));
  const auto reml = model->evaluate(theta, g.y, true, true);
  ASSERT_TRUE(reml);
  EXPECT_NEAR(reml->value, limit, 1e-9 * std::fabs(limit));
}

}  // namespace
