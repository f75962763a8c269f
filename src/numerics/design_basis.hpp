// A design's columns replaced by mutually orthogonal ones spanning the same space, X = B U.
//
// Every likelihood here depends on the design only through its span, and under REML through
// log det(XᵀV⁻¹X) as well. A covariate whose offset dwarfs its spread (a year, a date, an
// income) makes XᵀV⁻¹X and the fixed-effect directions of a search nearly singular, and the
// fit loses the digits that decide convergence. Fitting on B instead and mapping the fixed
// effects back with U keeps every other number where it is.
#pragma once

#include <utility>

#include <Eigen/Core>

namespace kestrune::design_basis {

class Basis {
 public:
  // U unit upper triangular (det U = 1): REML and ML log-likelihoods on B equal those on X.
  // B's first column is X's first exactly, so that a design of one column (an intercept) is
  // fitted on itself, to the last bit as before.
  static Basis orthogonal(const Eigen::MatrixXd& x);
  // B orthonormal times sqrt(n), so that each column has the spread of a standardised
  // covariate: for models whose fixed effects are searched over (ML only; REML would shift
  // by log_det()).
  static Basis standardised(const Eigen::MatrixXd& x);

  const Eigen::MatrixXd& columns() const { return columns_; }
  // Coefficients on X from coefficients on B: U⁻¹ b.
  Eigen::VectorXd coefficients(const Eigen::Ref<const Eigen::VectorXd>& on_basis) const;
  // Coefficients on B from coefficients on X: U β (a point such as a start, given on X).
  Eigen::VectorXd on_basis(const Eigen::Ref<const Eigen::VectorXd>& coefficients) const;
  // Their covariance from that on B: U⁻¹ C U⁻ᵀ.
  Eigen::MatrixXd covariance(const Eigen::Ref<const Eigen::MatrixXd>& on_basis) const;
  // Standard errors on X from the covariance on B.
  Eigen::VectorXd standard_errors(const Eigen::Ref<const Eigen::MatrixXd>& on_basis) const;
  // log |det U|: zero for `orthogonal`.
  double log_det() const { return log_det_; }
  // ln det XᵀX = ln det BᵀB + 2 log |det U|, read off B's orthogonal columns (the sum of the
  // logs of their squared norms) without the cancellation an offset costs XᵀX.
  double log_det_gram() const;

 private:
  Basis(Eigen::MatrixXd columns, Eigen::MatrixXd map, double log_det)
      : columns_(std::move(columns)), map_(std::move(map)), log_det_(log_det) {}

  Eigen::MatrixXd columns_;  // B
  Eigen::MatrixXd map_;      // U, upper triangular
  double log_det_;
};

}  // namespace kestrune::design_basis
