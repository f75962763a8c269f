// The restricted likelihood's limit where a diagonal covariance vanishes along some directions.
//
// In a frame where the covariance of y ~ N(X beta, s2 F) is diagonal, let the factors f_i of a
// set Z of rows fall to zero together (f = eps there). Where X's rows in Z have full row rank,
// y's values in Z fix that many combinations of beta exactly, the residual there vanishes, and the
// eps terms of ln det F and ln det X'F^-1 X cancel: the restricted likelihood has a finite limit,
// that of the remaining rows' problem on the remaining combinations, plus ln det C'C, C those rows
// of X on the fixed combinations. Elsewhere (Z's rows short of full row rank) it falls without
// bound, and there is no limit to report.
#pragma once

#include <optional>

#include <Eigen/Core>

namespace kestrune::singular_reml {

struct Limit {
  Eigen::VectorXd beta;  // on X's columns: fixed along Z's combinations, GLS on the rest
  Eigen::MatrixXd cov;   // the limit of (X'F^-1 X)^-1, zero along Z's combinations
  double residual_sum_of_squares;  // over the rows outside Z, weighted by 1 / f
  double response_sum_of_squares;  // the same of the response less its fixed part, before the fit
  // The limit of ln det F + ln det X'F^-1 X: the one place where the vanishing factors enter.
  double log_determinants;
};

// The rows whose factors are at most `zero` make Z (at least one). Nothing when Z's rows of x
// are short of full row rank, a remaining factor is not positive and finite, or the remaining
// rows' weighted cross-products are not positive definite.
std::optional<Limit> limit(const Eigen::Ref<const Eigen::VectorXd>& factors, const Eigen::Ref<const Eigen::MatrixXd>& x,
                           const Eigen::Ref<const Eigen::VectorXd>& y, double zero);

}  // namespace kestrune::singular_reml
