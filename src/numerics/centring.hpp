// A vector less its least-squares fit on a design's columns.
//
// Every likelihood here is unchanged by y -> y + Xb, but yᵀV⁻¹y − cᵀβ evaluated on an
// uncentred y cancels away the digits that matter once the offset dwarfs the spread. Models
// therefore evaluate on the residual of the least-squares fit and add its coefficients back to
// their fixed effects. The same residual makes a marker or a variant set independent of any
// offset the design absorbs.
#pragma once

#include <optional>

#include <Eigen/Core>
#include <Eigen/QR>

#include "numerics/rank.hpp"

namespace kestrune::centring {

struct Centred {
  Eigen::VectorXd residual;      // values - x * coefficients
  Eigen::VectorXd coefficients;  // one per column of x
};

// The least-squares projection on the columns of one design, factored once and applied to any
// number of vectors of its length. A design without columns leaves every vector as it is.
class LeastSquares {
 public:
  explicit LeastSquares(const Eigen::MatrixXd& x);

  // The residual is refined once, so that it is accurate to the rounding of the values'
  // spread rather than of their offset. Values that the design reproduces (they lie in its
  // span at rounding, judged as rank judges a column) leave a residual of exactly zero, so that
  // every likelihood reads them as a perfect fit rather than fitting the rounding noise.
  Centred centre(const Eigen::Ref<const Eigen::VectorXd>& values) const;
  // Each column of `values` centred on its own.
  Eigen::MatrixXd centre_columns(const Eigen::Ref<const Eigen::MatrixXd>& values) const;

 private:
  Eigen::VectorXd solve(const Eigen::Ref<const Eigen::VectorXd>& values) const;

  Eigen::MatrixXd x_;
  Eigen::ColPivHouseholderQR<Eigen::MatrixXd> qr_;
  std::optional<rank::ColumnBasis> basis_;  // when x has full column rank
};

// One vector centred on one design.
Centred centre(const Eigen::MatrixXd& x, const Eigen::Ref<const Eigen::VectorXd>& values);

// A response as a fit sees it: less its least-squares fit on the design, so that y'V^-1 y - b'beta
// never cancels an offset the design absorbs, and divided by the standard deviation of that
// residual (moments::standardising_variance), so that starts and bounds mean the same whatever
// the units and whatever the design explains.
struct Standardised {
  Eigen::VectorXd y;       // (y - X b) / sd
  Eigen::VectorXd offset;  // b, on the response's scale: added back to the fixed effects
  double variance;         // the standardising variance, divisor n
  double sd;
};

// `response` standardised from its `centred` form; nothing when it is constant up to rounding
// or its variance is not positive (a non-finite entry included).
std::optional<Standardised> standardise(const Eigen::Ref<const Eigen::VectorXd>& response, Centred centred);

}  // namespace kestrune::centring
