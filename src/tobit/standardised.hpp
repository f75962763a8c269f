// One measured or censored trait as its fit sees it: less the least-squares fit of its measured
// values on the design, each person's limit moved by that person's fitted value, and divided
// by the measured values' spread. Its likelihood then cancels no offset and its search sees no
// units; estimates and the log-likelihood are mapped back to the caller's.
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
  double scale = 1.0;         // their spread (divisor the count); 1 when they are constant at rounding
  std::size_t measured = 0;
  // Where a fit starts, in these units: fitted values at the measured mean times the design's
  // first column, and the log of the measured values' variance, raised to 1e-12 before the scale
  // divides it (so 0 unless the values are constant).
  std::vector<double> start_effects;
  double start_log_variance = 0.0;

  // The trait as it is: no offset, unit scale, every value and limit unchanged; the fit starts
  // at 0 and 1 (a binary trait's liability).
  static Standardised unchanged(std::span<const double> value, std::span<const double> limit, std::size_t p);

  // Back to the caller's units: fixed effects (on the caller's design, from those on its
  // `basis`), a variance, a log-likelihood.
  std::vector<double> effects(const design_basis::Basis& basis, std::span<const double> standard) const;
  double variance(double standard) const { return standard * scale * scale; }
  double loglik(double standard) const;
  // Fixed effects given in the caller's units on the caller's design, in these.
  std::vector<double> standard_effects(const design_basis::Basis& basis, std::span<const double> effects) const;
};

// The trait on a design's basis B = X U⁻¹: its offset and effects are coefficients on B, and
// the start's fitted values are the measured mean times X's first column. At least one value
// must be measured; unchecked.
Standardised standardise(const design_basis::Basis& basis, std::span<const double> value,
                         std::span<const Censoring> censoring, std::span<const double> limit);

}  // namespace kestrune::tobit
