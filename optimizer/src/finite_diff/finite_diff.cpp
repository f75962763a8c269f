#include "compat_lbfgsb/finite_diff.hpp"

#include <cmath>

namespace compat_lbfgsb::finite_diff {
namespace {

// x + h with h = min(ndeps, bound - x) may round one ulp past the bound;
// the objective must never see a point outside the box, so pull it back.
// Inside the box this is the identity.
double inside(double point, double lower, double upper) {
  if (point > upper) return upper;
  if (point < lower) return lower;
  return point;
}

}  // namespace

std::expected<std::vector<double>, OptimError> finite_difference_gradient(std::span<const double> x,
                                                                          std::span<const double> lower,
                                                                          std::span<const double> upper,
                                                                          const StepRule& step,
                                                                          const InternalValue& value) {
  const std::size_t n = x.size();
  std::vector<double> gradient(n, 0.0);
  if (n == 0) return gradient;

  // One working copy: each coordinate moves alone and is restored before the next.
  std::vector<double> point(x.begin(), x.end());
  for (std::size_t i = 0; i < n; ++i) {
    const double h = step(i, x[i]);
    double up = h;
    if (std::isfinite(upper[i])) up = std::fmin(h, upper[i] - x[i]);
    double down = h;
    if (std::isfinite(lower[i])) down = std::fmin(h, x[i] - lower[i]);
    const double width = up + down;
    if (!(width > 0.0)) continue;

    point[i] = inside(x[i] + up, lower[i], upper[i]);
    const auto forward = value(point);
    if (!forward) return std::unexpected(forward.error());
    point[i] = inside(x[i] - down, lower[i], upper[i]);
    const auto backward = value(point);
    if (!backward) return std::unexpected(backward.error());
    point[i] = x[i];

    gradient[i] = (*forward - *backward) / width;
  }
  return gradient;
}

std::expected<std::vector<double>, OptimError> finite_difference_gradient(std::span<const double> x,
                                                                          std::span<const double> lower,
                                                                          std::span<const double> upper,
                                                                          std::span<const double> ndeps,
                                                                          const InternalValue& value) {
  return finite_difference_gradient(
      x, lower, upper, [ndeps](std::size_t i, double) { return ndeps[i]; }, value);
}

}  // namespace compat_lbfgsb::finite_diff
