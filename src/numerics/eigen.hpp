// The symmetric eigendecomposition of a relationship block.
#pragma once

#include <Eigen/Core>
#include <optional>

namespace kestrune::eigen {

struct SymmetricEigen {
  Eigen::VectorXd values;   // ascending
  Eigen::MatrixXd vectors;  // orthonormal; column j pairs with values[j]
};

// Eigenvalues and eigenvectors of the symmetric matrix whose lower triangle is that of `a`:
// LAPACK's divide and conquer from order 128, Eigen's tridiagonal QR below it and wherever
// LAPACK fails.
SymmetricEigen symmetric_eigen(const Eigen::MatrixXd& a);

// ln det g as the sum of the logarithms of its eigenvalues, or nothing when an eigenvalue is
// at or below relative * max(0, largest eigenvalue): the full-rank test of a cross-product
// (relative 0 refuses only eigenvalues at or below zero).
std::optional<double> log_det_above(const Eigen::MatrixXd& g, double relative);

}  // namespace kestrune::eigen
