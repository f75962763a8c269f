#include "compat_lbfgsb/bounds.hpp"

#include <cmath>
#include <string>
#include <utility>

namespace compat_lbfgsb::bounds {

std::expected<Bounds, OptimError> Bounds::create(std::vector<double> lower, std::vector<double> upper) {
  Bounds bounds{std::move(lower), std::move(upper)};
  if (auto valid = bounds.validate(); !valid) return std::unexpected(std::move(valid.error()));
  return bounds;
}

std::expected<void, OptimError> Bounds::validate() const {
  if (lower.size() != upper.size()) {
    return std::unexpected<OptimError>(error::DimensionMismatch{"bounds", lower.size(), upper.size()});
  }
  for (std::size_t i = 0; i < lower.size(); ++i) {
    const double l = lower[i];
    const double u = upper[i];
    if (std::isnan(l) || std::isnan(u)) {
      return std::unexpected<OptimError>(error::InvalidBounds{i, l, u, "NaN bounds are not allowed"});
    }
    if (l > u) {
      return std::unexpected<OptimError>(
          error::InvalidBounds{i, l, u, "lower must be less than or equal to upper"});
    }
  }
  return {};
}

std::expected<void, OptimError> Bounds::validate_for_dimension(std::size_t n) const {
  if (auto valid = validate(); !valid) return valid;
  if (lower.size() != n) {
    return std::unexpected<OptimError>(error::DimensionMismatch{"bounds", n, lower.size()});
  }
  return {};
}

}  // namespace compat_lbfgsb::bounds
