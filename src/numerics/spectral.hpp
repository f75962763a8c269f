// The symmetric eigendecomposition every model shares.
#pragma once

#include <Eigen/Core>

namespace kestrune::spectral {

struct SymmetricEigen {
  Eigen::VectorXd values;   // ascending
  Eigen::MatrixXd vectors;  // orthonormal; column j pairs with values[j]
};

// Of the symmetric matrix whose lower triangle is that of `a`: Eigen's tridiagonal QR at
// small orders, LAPACK's divide and conquer (dsyevd) from order 128 on.
SymmetricEigen symmetric_eigen(const Eigen::MatrixXd& a);

}  // namespace kestrune::spectral
