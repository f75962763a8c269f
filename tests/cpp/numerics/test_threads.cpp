// The thread count of each dense call: one below its kind's crossover whatever the machine,
// the pool from it, and RAYON_NUM_THREADS sizing the pool.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdlib>

#include "numerics/dense.hpp"
#include "numerics/eigen.hpp"
#include "numerics/lapack.hpp"
#include "numerics/threads.hpp"

namespace {

using kestrune::dense::DenseFactor;
using kestrune::threads::Kind;

// The Kac-Murdock-Szego matrix rho^|i-j|, positive definite for |rho| < 1, its diagonal
// raised unevenly so that no two eigenvalues coincide.
Eigen::MatrixXd kms(int n, double rho) {
  Eigen::MatrixXd a(n, n);
  for (int j = 0; j < n; ++j) {
    for (int i = 0; i < n; ++i) a(i, j) = std::pow(rho, std::abs(i - j));
    a(j, j) += 0.01 * (j % 7);
  }
  return a;
}

// Everything the dense calls give for `a` (the factor, the inverse, a solve, the eigenvalues and
// eigenvectors), each call starting from `threads` OpenBLAS threads as another machine (or
// RAYON_NUM_THREADS) would leave them.
std::array<Eigen::MatrixXd, 5> outputs(const Eigen::MatrixXd& a, int threads) {
  std::array<Eigen::MatrixXd, 5> out;
  openblas_set_num_threads(threads);
  const auto factor = DenseFactor::make(a, DenseFactor::Route::lapack);
  out[0] = factor->lower();
  openblas_set_num_threads(threads);
  factor->symmetric_inverse_into(out[1]);
  openblas_set_num_threads(threads);
  out[2] = factor->solve_matrix(a.leftCols(a.cols() / 2));
  openblas_set_num_threads(threads);
  const auto eigen = kestrune::eigen::symmetric_eigen(a);
  out[3] = eigen.values;
  out[4] = eigen.vectors;
  return out;
}

TEST(Threads, ResultsBelowTheCrossoverAreTheSerialOnesForAnyThreadCount) {
  // OpenBLAS's threaded dpotrf, dpotri and dsyevd round differently from its serial ones at
  // these orders; below the crossover every call must give the serial bits.
  for (const int n : {140, 520}) {
    const Eigen::MatrixXd a = kms(n, 0.3 + n * 1e-3);
    const auto serial = [&] {
      const kestrune::threads::OneBlasThread held;
      return outputs(a, 1);
    }();
    for (const int threads : {1, 2, 4, 8}) {
      const auto out = outputs(a, threads);
      for (std::size_t i = 0; i < out.size(); ++i) EXPECT_EQ(out[i], serial[i]) << i << " " << n << " " << threads;
    }
  }
}

TEST(Threads, TheCrossoverHandsTheCallToThePool) {
  for (const Kind kind : {Kind::factor, Kind::solve, Kind::inverse, Kind::eigen}) {
    const Eigen::Index at = kestrune::threads::crossover(kind);
    EXPECT_EQ(kestrune::threads::blas_threads(kind, at - 1), 1);
    EXPECT_EQ(kestrune::threads::blas_threads(kind, at), kestrune::threads::blas_threads(kind, 100 * at));
    kestrune::threads::prepare(kind, at);
    EXPECT_EQ(openblas_get_num_threads(), kestrune::threads::blas_threads(kind, at));
    {
      const kestrune::threads::OneBlasThread held;
      kestrune::threads::prepare(kind, at);
      EXPECT_EQ(openblas_get_num_threads(), 1);
    }
    EXPECT_EQ(openblas_get_num_threads(), kestrune::threads::blas_threads(kind, at));
  }
}

TEST(Threads, RayonNumThreadsSizesBothPools) {
  // A fresh process reads the variable for the first time.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        setenv("RAYON_NUM_THREADS", "3", 1);
        const Eigen::Index large = kestrune::threads::crossover(Kind::factor);
        std::exit(10 * kestrune::threads::pool() + kestrune::threads::blas_threads(Kind::factor, large));
      },
      ::testing::ExitedWithCode(33), "");
  EXPECT_EXIT(
      {
        setenv("RAYON_NUM_THREADS", "three", 1);
        std::exit(kestrune::threads::requested() ? 1 : 0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
