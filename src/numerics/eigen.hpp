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

// Sets to exactly 0.0 each eigenvalue of one block that is no larger in magnitude than the
// rounding of the block itself, rounding_factor * m * epsilon * (its largest eigenvalue), m the
// block's order; a backward-stable eigensolver's values carry an error of that order. A
// relationship that is singular (a genomic matrix centred on the people analysed, K 1 = 0) then
// reads as singular whatever sign rounding gave its zero eigenvalue, so that no covariance
// a K + b I is fitted along a direction that only rounding made nonsingular.
void zero_rounding(Eigen::Ref<Eigen::VectorXd> values);

// Whether the symmetric matrix a (lower triangle read) has an eigenvalue that zero_rounding
// sets to 0.0, or a negative one: a covariance with no likelihood of its own.
bool singular_at_rounding(const Eigen::MatrixXd& a);

// ln det g as the sum of the logarithms of its eigenvalues, or nothing when an eigenvalue is
// at or below relative * max(0, largest eigenvalue): the full-rank test of a cross-product
// (relative 0 refuses only eigenvalues at or below zero).
std::optional<double> log_det_above(const Eigen::MatrixXd& g, double relative);

}  // namespace kestrune::eigen
