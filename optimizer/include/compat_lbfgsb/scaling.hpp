// Maps between the caller's coordinates and the engine's internal ones:
// internal x = x / parscale, internal f = f / fnscale,
// internal gradient = (g * parscale) / fnscale.
#pragma once

#include <expected>
#include <span>
#include <vector>

#include "compat_lbfgsb/bounds.hpp"
#include "compat_lbfgsb/error.hpp"

namespace compat_lbfgsb::scaling {

// Relies on validated controls: every parscale entry positive and finite,
// fnscale finite and nonzero. Per-entry maps run over the shorter length and
// divide truly (no stored reciprocals), one rounding per operation.
struct Scaling {
  std::vector<double> parscale;
  double fnscale = 1.0;

  // Does not validate; infinite bounds keep their sign, fixed ones stay fixed.
  bounds::Bounds scale_bounds(const bounds::Bounds& bounds) const;
  std::vector<double> user_to_internal_par(std::span<const double> x) const;
  std::vector<double> internal_to_user_par(std::span<const double> x) const;
  // InvalidGradient for a wrong length or a non-finite entry of the caller's
  // gradient; a finite entry that overflows once scaled is not an error.
  std::expected<std::vector<double>, OptimError> user_gradient_to_internal(std::span<const double> g) const;
};

}  // namespace compat_lbfgsb::scaling

namespace compat_lbfgsb {
using scaling::Scaling;
}  // namespace compat_lbfgsb
