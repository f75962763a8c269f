// One measured or censored trait as its fit sees it: less the least-squares fit of its measured
// values on the design, each person's limit moved by that person's fitted value, and divided
// by the spread of what that fit leaves. Its likelihood then cancels no offset and its search
// sees no units, and a move of values and limits together by the design's fitted values (a
// site effect) changes nothing it searches; estimates and the log-likelihood are mapped back to
// the caller's.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include <Eigen/Core>

#include "numerics/design_basis.hpp"
#include "tobit/censoring.hpp"

namespace kestrune::tobit {

struct Standardised {
  std::vector<double> value;  // (value - x offset) / scale where measured; unread elsewhere
  std::vector<double> limit;  // (limit - x offset) / scale where not measured; unread elsewhere
  Eigen::VectorXd offset;     // the least-squares coefficients of the measured values on the basis
  double scale = 1.0;         // see `standardise`; 1 when nothing sets it
  std::size_t measured = 0;
  // False when the design reproduces the measured values and every censored one lies on its
  // limit's side of that fit: the variance then shrinks to nothing while the likelihood grows
  // without bound, and there is no maximum to search for.
  bool has_maximum = true;

  // The trait as it is: no offset, unit scale, every value and limit unchanged (a binary
  // trait's liability).
  static Standardised unchanged(std::span<const double> value, std::span<const double> limit, std::size_t p);

  // Back to the caller's units: fixed effects (on the caller's design, from those on its
  // `basis`), a variance, a log-likelihood.
  std::vector<double> effects(const design_basis::Basis& basis, std::span<const double> standard) const;
  double variance(double standard) const { return standard * scale * scale; }
  double loglik(double standard) const;
  // Fixed effects given in the caller's units on the caller's design, in these.
  std::vector<double> standard_effects(const design_basis::Basis& basis, std::span<const double> effects) const;
};

// The trait on a design's basis B = X U⁻¹: its offset and effects are coefficients on B. A fit
// starts at fixed effects 0 and variance 1 in these units: at the least-squares fit and the
// scale, which a move of the values by the design's fitted values leaves where they are. The
// scale is the root mean square of the measured values' residual; where the design reproduces
// them (a residual of exactly zero), that of the distances by which limits lie beyond the fit on
// the side of their values, which alone keep the variance away from zero. At least one value
// must be measured; unchecked.
Standardised standardise(const design_basis::Basis& basis, std::span<const double> value,
                         std::span<const Censoring> censoring, std::span<const double> limit);

}  // namespace kestrune::tobit
