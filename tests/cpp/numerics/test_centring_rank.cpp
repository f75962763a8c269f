// Least-squares centring and the rounding-level rank and constancy tests.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "numerics/centring.hpp"
#include "numerics/rank.hpp"

namespace {

using Eigen::MatrixXd;
using Eigen::VectorXd;

struct Data {
  MatrixXd x;  // intercept and one covariate
  VectorXd g;  // genotypes in {0, 1, 2}
  VectorXd y;
};

Data data(int n) {
  std::mt19937_64 engine(7);
  std::normal_distribution<double> normal;
  Data d{MatrixXd::Ones(n, 2), VectorXd(n), VectorXd(n)};
  for (int i = 0; i < n; ++i) {
    d.x(i, 1) = normal(engine);
    d.g(i) = static_cast<double>(engine() % 3);
    d.y(i) = 1.0 + 0.5 * d.x(i, 1) + normal(engine);
  }
  return d;
}

TEST(Centring, ResidualDoesNotMoveWithAnOffsetTheDesignAbsorbs) {
  const Data d = data(200);
  const kestrune::centring::LeastSquares ls(d.x);
  const auto base = ls.centre(d.y);
  EXPECT_LT((d.x.transpose() * base.residual).cwiseAbs().maxCoeff(), 1e-10);
  for (const double offset : {1e4, 1e8, 1e12}) {
    const auto moved = ls.centre(d.y.array() + offset);
    EXPECT_LT((moved.residual - base.residual).cwiseAbs().maxCoeff(), 1e-15 * offset + 1e-13) << offset;
    EXPECT_NEAR(moved.coefficients(0) - base.coefficients(0), offset, 1e-14 * offset);
  }
  const auto bare = kestrune::centring::centre(MatrixXd(200, 0), d.y);
  EXPECT_EQ(bare.residual, d.y);
  EXPECT_EQ(bare.coefficients.size(), 0);
}

TEST(Rank, JudgesAtTheRoundingLevelOfEachColumn) {
  const Data d = data(200);
  const auto with = [&](const VectorXd& extra) { return kestrune::rank::extends_rank(d.x, extra); };
  for (const double offset : {0.0, 1e4, 1e5, 1e7}) EXPECT_TRUE(with(d.g.array() + offset)) << offset;
  EXPECT_FALSE(with(d.x.col(1)));                              // a copy of a column
  EXPECT_FALSE(with(3.0 * d.x.col(1).array() + 2.0));          // a combination of two
  EXPECT_FALSE(with(VectorXd::Constant(200, 0.1)));            // a second intercept
  EXPECT_FALSE(with(VectorXd::Zero(200)));
  EXPECT_TRUE(with(d.x.col(1) + 1e-6 * d.g));                  // near, but beyond rounding
  EXPECT_FALSE(with(d.x.col(1) + 1e-12 * d.g));                // beyond rounding, but too little to fit on
  EXPECT_FALSE(with(d.x.col(1) + 1e-17 * d.g));                // within the column's own last place
  MatrixXd twins(200, 3);
  twins << d.x, d.x.col(1);
  EXPECT_FALSE(kestrune::rank::full_column_rank(twins));
  EXPECT_TRUE(kestrune::rank::full_column_rank(d.x));
  EXPECT_TRUE(kestrune::rank::full_column_rank(MatrixXd(5, 0)));
  EXPECT_FALSE(kestrune::rank::full_column_rank(MatrixXd::Random(2, 3)));
}

// A response is judged finer than a column: what its fixed effects leave of it is a residual to
// fit down to the rounding of its own fit.
TEST(Rank, AResponseLiesInTheSpanOnlyAtItsOwnRounding) {
  const Data d = data(200);
  const auto basis = kestrune::rank::column_basis(d.x);
  ASSERT_TRUE(basis);
  const VectorXd explained = 1e8 * d.x.col(1);
  EXPECT_FALSE(basis->spans(explained + d.g, 3));              // a unit residual beside 1e8
  EXPECT_FALSE(basis->spans(d.x.col(1) + 1e-12 * d.g, 3));     // refused as a column, fitted as a response
  EXPECT_TRUE(basis->spans(d.x.col(1) + 1e-17 * d.g, 3));
  EXPECT_TRUE(basis->spans(3.0 * d.x.col(1).array() + 2.0, 3));
}

TEST(Rank, ConstantMeansOneValueUpToRounding) {
  EXPECT_TRUE(kestrune::rank::constant_at_rounding(VectorXd::Constant(1000, 0.1)));
  VectorXd y = VectorXd::Constant(10, 0.1);
  y(3) = std::nextafter(0.1, 1.0);
  EXPECT_TRUE(kestrune::rank::constant_at_rounding(y));
  y(3) = 0.1 + 1e-12;
  EXPECT_FALSE(kestrune::rank::constant_at_rounding(y));
  EXPECT_TRUE(kestrune::rank::constant_at_rounding(VectorXd(0)));
}

}  // namespace
