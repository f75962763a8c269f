#include <algorithm>
#include <cmath>

#include "compat_lbfgsb/run.hpp"

namespace compat_lbfgsb::compat {

std::expected<void, OptimError> validate_initial_parameters(std::span<const double> par,
                                                            const bounds::Bounds& bounds) {
  if (auto valid = bounds.validate(); !valid) return valid;
  if (bounds.lower.size() != par.size()) {
    return std::unexpected<OptimError>(error::DimensionMismatch{"bounds", par.size(), bounds.lower.size()});
  }
  for (std::size_t i = 0; i < par.size(); ++i) {
    const double value = par[i];
    if (std::isnan(value)) return std::unexpected<OptimError>(error::InvalidParameter{i, value});
    // An infinite entry is usable only when the bound on its side is finite.
    const double clipped = std::fmin(std::fmax(value, bounds.lower[i]), bounds.upper[i]);
    if (!std::isfinite(clipped)) return std::unexpected<OptimError>(error::InvalidParameter{i, value});
  }
  return {};
}

std::expected<void, OptimError> validate_gradient_availability(const bounds::Bounds& bounds, bool has_gradient) {
  if (has_gradient) return {};
  const std::size_t n = std::min(bounds.lower.size(), bounds.upper.size());
  for (std::size_t i = 0; i < n; ++i) {
    const double l = bounds.lower[i];
    const double u = bounds.upper[i];
    if (l == u) {
      return std::unexpected<OptimError>(
          error::InvalidBounds{i, l, u, "finite-difference optimization requires a user gradient for fixed parameters"});
    }
  }
  return {};
}

}  // namespace compat_lbfgsb::compat
