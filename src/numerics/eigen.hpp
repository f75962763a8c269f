// The symmetric eigendecomposition of a relationship block.
#pragma once

#include <Eigen/Core>

namespace kestrune::eigen {

struct SymmetricEigen {
  Eigen::VectorXd values;   // ascending
  Eigen::MatrixXd vectors;  // orthonormal; column j pairs with values[j]
};

// Eigenvalues and eigenvectors of the symmetric matrix whose lower triangle is that of `a`:
// LAPACK's divide and conquer from order 128, Eigen's tridiagonal QR below it and wherever
// LAPACK fails.
SymmetricEigen symmetric_eigen(const Eigen::MatrixXd& a);

}  // namespace kestrune::eigen
