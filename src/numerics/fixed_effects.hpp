// A design of fixed effects prepared once for what every model with one needs of it: its rank
// judged at rounding, responses centred on it, and markers or variant sets judged and centred
// against it.
//
// Every likelihood here is unchanged by y -> y + Xb, so a model evaluates on y less its
// least-squares fit and adds the coefficients back to its fixed effects. A response that the
// design fits exactly (to rounding) is left as exactly zero, so that it reads as a perfect fit
// whatever its offset, rather than as rounding noise to be fitted.
//
// The design's orthogonal basis (same span, X = B U, det U = 1) is kept for a model to fit on,
// so that a covariate whose offset dwarfs its spread costs the fit no digits; the basis maps
// the fixed effects back to X.
#pragma once

#include <optional>
#include <utility>
#include <vector>

#include <Eigen/Core>

#include "numerics/centring.hpp"
#include "numerics/design_basis.hpp"
#include "numerics/rank.hpp"

namespace kestrune::fixed_effects {

class Design {
 public:
  // Nothing unless x has full column rank at rounding.
  static std::optional<Design> prepare(const Eigen::MatrixXd& x);

  // y less its least-squares fit, and the fit's coefficients; the residual is exactly zero
  // when y lies in the design's span at rounding.
  centring::Centred centre(const Eigen::Ref<const Eigen::VectorXd>& y) const;

  // What a further column adds to the design (its least-squares residual on it), or nothing
  // when it lies in the design's span at rounding.
  std::optional<Eigen::VectorXd> beyond(const Eigen::Ref<const Eigen::VectorXd>& column) const;

  // The same for many columns at once, in place: each column becomes what it adds to the
  // design, and the result says which ones add anything beyond rounding.
  std::vector<bool> beyond_each(Eigen::Ref<Eigen::MatrixXd> columns) const;

  Eigen::Index columns() const { return columns_; }

  // The columns to fit on, and the map of what is fitted on them back to the design's own.
  const design_basis::Basis& orthogonal() const { return orthogonal_; }

 private:
  Design(const Eigen::MatrixXd& x, rank::ColumnBasis basis)
      : least_squares_(x),
        basis_(std::move(basis)),
        orthogonal_(design_basis::Basis::orthogonal(x)),
        columns_(x.cols()) {}

  centring::LeastSquares least_squares_;
  rank::ColumnBasis basis_;
  design_basis::Basis orthogonal_;
  Eigen::Index columns_;
};

}  // namespace kestrune::fixed_effects
