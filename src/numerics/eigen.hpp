// The symmetric eigendecomposition every model takes of a relationship block or a cross-product.
#pragma once

#include <Eigen/Core>

namespace kestrune::eigen {

struct SymmetricEigen {
  Eigen::VectorXd values;   // ascending
  Eigen::MatrixXd vectors;  // orthonormal; column j pairs with values[j]
};

// The decomposition of the symmetric matrix a, whose lower triangle is read. From order 128
// on by LAPACK's divide and conquer (dsyevd), below it, and where LAPACK fails, by Eigen's
// tridiagonal QR.
SymmetricEigen symmetric_eigen(const Eigen::MatrixXd& a);

}  // namespace kestrune::eigen
