// The symmetric eigendecomposition every model takes of a relationship block or a cross-product.
#pragma once

#include <Eigen/Core>
#include <optional>

namespace kestrune::eigen {

struct SymmetricEigen {
  Eigen::VectorXd values;   // ascending
  Eigen::MatrixXd vectors;  // orthonormal; column j pairs with values[j]
};

// The decomposition of the symmetric matrix a, whose lower triangle is read. From order 128
// on by LAPACK's divide and conquer (dsyevd), below it, and where LAPACK fails, by Eigen's
// tridiagonal QR.
SymmetricEigen symmetric_eigen(const Eigen::MatrixXd& a);

// ln det g as the sum of the logarithms of its eigenvalues, or nothing when an eigenvalue is
// at or below relative * max(0, largest eigenvalue): the full-rank test of a cross-product
// (relative 0 refuses only eigenvalues at or below zero).
std::optional<double> log_det_above(const Eigen::MatrixXd& g, double relative);

}  // namespace kestrune::eigen
