// The dense Cholesky factor against independent dense computations, on both routes.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "numerics/dense.hpp"
#include "numerics/lapack.hpp"

extern "C" int openblas_get_num_threads(void);

namespace {

using kestrune::dense::DenseFactor;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

// A well-conditioned symmetric positive-definite matrix with a varied diagonal.
Eigen::MatrixXd spd(int n, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> normal;
  Eigen::MatrixXd b(n, n);
  for (int j = 0; j < n; ++j) {
    for (int i = 0; i < n; ++i) b(i, j) = normal(rng);
  }
  Eigen::MatrixXd a = b * b.transpose() / n;
  for (int i = 0; i < n; ++i) a(i, i) += 0.5 + 0.1 * (i % 7);
  return a;
}

Eigen::MatrixXd random_rhs(int n, int cols, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> uniform(-2.0, 2.0);
  Eigen::MatrixXd b(n, cols);
  for (int j = 0; j < cols; ++j) {
    for (int i = 0; i < n; ++i) b(i, j) = uniform(rng);
  }
  return b;
}

// Independent log-determinant: LDL^T with pivoting, D positive for an SPD matrix.
double reference_logdet(const Eigen::MatrixXd& a) {
  const Eigen::LDLT<Eigen::MatrixXd> ldlt(a);
  return ldlt.vectorD().array().log().sum();
}

double max_relative(const Eigen::MatrixXd& got, const Eigen::MatrixXd& expected) {
  if (expected.size() == 0) return 0.0;
  return (got - expected).cwiseAbs().maxCoeff() / expected.cwiseAbs().maxCoeff();
}

TEST(DenseFactor, ThreadPoolFollowsEnvironment) {
  // Each child is a fresh process, so its configure_threads runs for the first time.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        setenv("RAYON_NUM_THREADS", "3", 1);
        kestrune::lapack::configure_threads();
        std::exit(openblas_get_num_threads());
      },
      ::testing::ExitedWithCode(3), "");
  for (const char* text : {"0", "-2", "two", "3x", ""}) {
    EXPECT_EXIT(
        {
          setenv("RAYON_NUM_THREADS", text, 1);
          const int before = openblas_get_num_threads();
          kestrune::lapack::configure_threads();
          std::exit(openblas_get_num_threads() == before ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "")
        << text;
  }
}

TEST(DenseFactor, AgreesWithIndependentComputationAcrossOrders) {
  std::vector<int> orders;
  for (int n = 1; n <= 40; ++n) orders.push_back(n);
  for (int n : {57, 64, 100, 128, 150, 200}) orders.push_back(n);
  for (const int n : orders) {
    const Eigen::MatrixXd a = spd(n, 1000u + n);
    const auto factor = DenseFactor::make(a);
    ASSERT_TRUE(factor.has_value()) << n;
    EXPECT_EQ(factor->order(), n);

    const Eigen::MatrixXd b = random_rhs(n, 3, 7u * n);
    const Eigen::MatrixXd x = factor->solve_matrix(b);
    EXPECT_LT(max_relative(a * x, b), 1e-12) << n;
    const Eigen::VectorXd v = factor->solve_vector(b.col(1));
    EXPECT_LT(max_relative(v, a.fullPivLu().solve(Eigen::VectorXd(b.col(1)))), 1e-11) << n;
    // Column by column, the matrix solve is the vector solve.
    EXPECT_LT(max_relative(x.col(1), v), 1e-14) << n;

    EXPECT_NEAR(factor->logdet(), reference_logdet(a), 1e-11 * std::fmax(1.0, n)) << n;

    const Eigen::MatrixXd inverse = factor->inverse();
    EXPECT_LT(max_relative(inverse, a.fullPivLu().inverse()), 1e-11) << n;
    EXPECT_LT((a * inverse - Eigen::MatrixXd::Identity(n, n)).cwiseAbs().maxCoeff(), 1e-12) << n;
  }
}

TEST(DenseFactor, OrdersElevenAndTwelveAgree) {
  // Bordering the order-11 matrix with a unit row and column leaves solves, inverse and
  // log-determinant unchanged; the bordered one takes the other route.
  const Eigen::MatrixXd a11 = spd(11, 42);
  Eigen::MatrixXd a12 = Eigen::MatrixXd::Identity(12, 12);
  a12.topLeftCorner(11, 11) = a11;
  const auto small = DenseFactor::make(a11);
  const auto large = DenseFactor::make(a12);
  ASSERT_TRUE(small && large);

  const Eigen::MatrixXd b11 = random_rhs(11, 4, 9);
  Eigen::MatrixXd b12 = Eigen::MatrixXd::Zero(12, 4);
  b12.topRows(11) = b11;
  const Eigen::MatrixXd x11 = small->solve_matrix(b11);
  const Eigen::MatrixXd x12 = large->solve_matrix(b12);
  EXPECT_LT(max_relative(x12.topRows(11), x11), 1e-13);
  EXPECT_EQ(x12.row(11).cwiseAbs().maxCoeff(), 0.0);
  EXPECT_NEAR(large->logdet(), small->logdet(), 1e-13);
  EXPECT_LT(max_relative(large->inverse().topLeftCorner(11, 11), small->inverse()), 1e-13);
  EXPECT_NEAR(large->inverse()(11, 11), 1.0, 1e-15);
}

TEST(DenseFactor, StrictUpperTriangleIsNeverRead) {
  for (const int n : {1, 5, 11, 12, 30}) {
    const Eigen::MatrixXd a = spd(n, 77u + n);
    for (const double garbage : {nan, inf, -1e300, 0.0}) {
      Eigen::MatrixXd messy = a;
      messy.triangularView<Eigen::StrictlyUpper>().setConstant(garbage);
      const auto clean = DenseFactor::make(a);
      const auto dirty = DenseFactor::make(messy);
      ASSERT_TRUE(clean && dirty) << n << " " << garbage;
      const Eigen::MatrixXd b = random_rhs(n, 2, 5);
      EXPECT_EQ(dirty->solve_matrix(b), clean->solve_matrix(b)) << n << " " << garbage;
      EXPECT_EQ(dirty->solve_vector(b.col(0)), clean->solve_vector(b.col(0)));
      EXPECT_EQ(dirty->logdet(), clean->logdet());
      EXPECT_EQ(dirty->inverse(), clean->inverse());
    }
  }
}

struct Defect {
  const char* name;
  int row;
  int col;
  double value;
};

TEST(DenseFactor, RefusesMatricesWithoutAUsablePivotOnBothRoutes) {
  const std::vector<Defect> defects = {
      {"zero diagonal", 2, 2, 0.0},
      {"negative diagonal", 2, 2, -1.0},
      {"NaN diagonal", 2, 2, nan},
      {"NaN below the diagonal", 3, 1, nan},
      {"infinite below the diagonal", 3, 1, inf},
      {"infinite diagonal", 2, 2, inf},
      {"infinite last diagonal", -1, -1, inf},
      {"negative infinite diagonal", 0, 0, -inf},
      {"indefinite", 3, 2, 1.5},
  };
  for (const int n : {4, 11, 12, 40}) {
    for (const auto& d : defects) {
      Eigen::MatrixXd a = Eigen::MatrixXd::Identity(n, n);
      const int row = d.row < 0 ? n - 1 : d.row;
      const int col = d.col < 0 ? n - 1 : d.col;
      a(row, col) = d.value;
      EXPECT_FALSE(DenseFactor::make(a).has_value()) << d.name << " at order " << n;
    }
    // Positive semi-definite and singular.
    EXPECT_FALSE(DenseFactor::make(Eigen::MatrixXd::Ones(n, n)).has_value()) << n;
    // A pivot that rounds to exactly zero half way down.
    Eigen::MatrixXd rank_deficient = Eigen::MatrixXd::Identity(n, n);
    rank_deficient(n / 2, n / 2 - 1) = rank_deficient(n / 2 - 1, n / 2) = 1.0;
    EXPECT_FALSE(DenseFactor::make(rank_deficient).has_value()) << n;
  }
  EXPECT_FALSE(DenseFactor::make(Eigen::MatrixXd::Ones(2, 2)).has_value());
  EXPECT_FALSE(DenseFactor::make(Eigen::MatrixXd::Identity(3, 2)).has_value());
}

TEST(DenseFactor, EmptyIdentityAndDiagonal) {
  const auto empty = DenseFactor::make(Eigen::MatrixXd(0, 0));
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(empty->logdet(), 0.0);
  EXPECT_EQ(empty->solve_vector(Eigen::VectorXd(0)).size(), 0);
  EXPECT_EQ(empty->solve_matrix(Eigen::MatrixXd(0, 3)).cols(), 3);
  EXPECT_EQ(empty->inverse().size(), 0);

  for (const int n : {1, 3, 11, 12, 50}) {
    const auto identity = DenseFactor::make(Eigen::MatrixXd::Identity(n, n));
    ASSERT_TRUE(identity.has_value());
    EXPECT_EQ(identity->logdet(), 0.0) << n;

    Eigen::VectorXd d(n);
    double expected = 0.0;
    for (int i = 0; i < n; ++i) {
      d(i) = 0.25 + 1.5 * i;
      expected += std::log(d(i));
    }
    const auto diagonal = DenseFactor::make(d.asDiagonal().toDenseMatrix());
    ASSERT_TRUE(diagonal.has_value());
    EXPECT_NEAR(diagonal->logdet(), expected, 1e-13 * std::fabs(expected) + 1e-15) << n;
    EXPECT_LT(max_relative(diagonal->solve_vector(d), Eigen::VectorXd::Ones(n)), 1e-15) << n;

    const auto none = diagonal->solve_matrix(Eigen::MatrixXd(n, 0));
    EXPECT_EQ(none.rows(), n);
    EXPECT_EQ(none.cols(), 0);
  }
}

TEST(DenseFactor, LeavesItsInputUnchanged) {
  for (const int n : {6, 25}) {
    Eigen::MatrixXd a = spd(n, 3);
    a(0, n - 1) = nan;  // garbage above the diagonal must survive too
    const Eigen::MatrixXd before = a;
    ASSERT_TRUE(DenseFactor::make(a).has_value());
    EXPECT_TRUE(a.cwiseEqual(before).count() == a.size() - 1 && std::isnan(a(0, n - 1)));
  }
}

}  // namespace

namespace {

// A view factored in a corner of larger storage (outer stride above its order) gives the
// owning factor's solves, log-determinant and inverse bit for bit, on both routes, and refuses
// alike; inverted in place, it leaves the storage around the corner untouched.
TEST(FactorView, MatchesTheOwningFactorInStridedStorage) {
  using kestrune::dense::FactorView;
  for (const int n : {1, 5, 11, 12, 30, 150}) {
    const Eigen::MatrixXd a = spd(n, 300u + n);
    Eigen::MatrixXd storage = Eigen::MatrixXd::Constant(n + 3, n + 2, nan);
    storage.topLeftCorner(n, n) = a;
    auto view = FactorView::make(storage.topLeftCorner(n, n));
    const auto owning = DenseFactor::make(a);
    ASSERT_TRUE(view && owning) << n;
    const Eigen::MatrixXd b = random_rhs(n, 3, 8);
    Eigen::MatrixXd x = Eigen::MatrixXd::Constant(n + 4, 3, nan);
    x.topRows(n) = b;
    view->solve_in_place(x.topRows(n));
    EXPECT_EQ(Eigen::MatrixXd(x.topRows(n)), owning->solve_matrix(b)) << n;
    EXPECT_EQ(view->logdet(), owning->logdet()) << n;
    Eigen::MatrixXd inverse;
    owning->symmetric_inverse_into(inverse);
    std::move(*view).invert_in_place();
    EXPECT_EQ(Eigen::MatrixXd(storage.topLeftCorner(n, n)), inverse) << n;
    EXPECT_EQ(inverse, inverse.transpose()) << n;
    EXPECT_LT(max_relative(inverse, a.inverse()), 1e-12) << n;
    EXPECT_TRUE(storage.bottomRows(3).array().isNaN().all() && storage.rightCols(2).array().isNaN().all()) << n;
    Eigen::MatrixXd singular = a;
    singular(n - 1, n - 1) = -1.0;
    EXPECT_FALSE(FactorView::make(singular).has_value()) << n;
  }
}

}  // namespace
