#include "compat_lbfgsb/scaling.hpp"

#include <algorithm>
#include <cmath>
#include <string>

namespace compat_lbfgsb::scaling {
namespace {

// x_i / parscale_i over the shorter length: a true division, never a
// multiplication by a reciprocal, so fixed bounds stay exactly fixed.
std::vector<double> divide(std::span<const double> x, const std::vector<double>& parscale) {
  const std::size_t n = std::min(x.size(), parscale.size());
  std::vector<double> out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = x[i] / parscale[i];
  return out;
}

}  // namespace

bounds::Bounds Scaling::scale_bounds(const bounds::Bounds& bounds) const {
  return bounds::Bounds{divide(bounds.lower, parscale), divide(bounds.upper, parscale)};
}

std::vector<double> Scaling::user_to_internal_par(std::span<const double> x) const {
  return divide(x, parscale);
}

std::vector<double> Scaling::internal_to_user_par(std::span<const double> x) const {
  const std::size_t n = std::min(x.size(), parscale.size());
  std::vector<double> out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = x[i] * parscale[i];
  return out;
}

std::expected<std::vector<double>, OptimError> Scaling::user_gradient_to_internal(
    std::span<const double> g) const {
  if (g.size() != parscale.size()) {
    return std::unexpected<OptimError>(error::InvalidGradient{
        std::nullopt, std::nullopt,
        "expected length " + std::to_string(parscale.size()) + ", got " + std::to_string(g.size())});
  }
  for (std::size_t i = 0; i < g.size(); ++i) {
    if (!std::isfinite(g[i])) {
      return std::unexpected<OptimError>(error::InvalidGradient{i, g[i], "gradient entries must be finite"});
    }
  }
  std::vector<double> out(g.size());
  for (std::size_t i = 0; i < g.size(); ++i) {
    const double scaled = g[i] * parscale[i];
    out[i] = scaled / fnscale;
  }
  return out;
}

}  // namespace compat_lbfgsb::scaling
