#include "compat/objective.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "compat_lbfgsb/finite_diff.hpp"

namespace compat_lbfgsb::objective {

ScaledProblem::ScaledProblem(scaling::Scaling scaling, const compat::Objective& objective,
                             const compat::Gradient* gradient, std::vector<double> lower,
                             std::vector<double> upper, std::vector<double> ndeps)
    : scaling_(std::move(scaling)),
      objective_(objective),
      gradient_(gradient),
      lower_(std::move(lower)),
      upper_(std::move(upper)),
      ndeps_(std::move(ndeps)) {}

std::span<const double> ScaledProblem::user_point(std::span<const double> x) {
  // The same product as Scaling::internal_to_user_par, without a new vector per call.
  const std::size_t n = std::min(x.size(), scaling_.parscale.size());
  user_.resize(n);
  for (std::size_t i = 0; i < n; ++i) user_[i] = x[i] * scaling_.parscale[i];
  return user_;
}

std::expected<double, OptimError> ScaledProblem::internal_value(std::span<const double> x) {
  const double value = objective_(user_point(x));
  if (!std::isfinite(value)) return std::unexpected<OptimError>(error::NonFiniteValue{value});
  return value / scaling_.fnscale;
}

std::expected<std::vector<double>, OptimError> ScaledProblem::internal_gradient(std::span<const double> x) {
  if (gradient_ != nullptr) {
    const std::vector<double> user_gradient = (*gradient_)(user_point(x));
    return scaling_.user_gradient_to_internal(user_gradient);
  }
  const finite_diff::InternalValue value = [this](std::span<const double> point) { return internal_value(point); };
  return finite_diff::finite_difference_gradient(x, lower_, upper_, ndeps_, value);
}

std::expected<backend::ValueAndGradient, OptimError> ScaledProblem::value_and_gradient(std::span<const double> x) {
  const auto value = internal_value(x);
  if (!value) return std::unexpected(value.error());
  auto gradient = internal_gradient(x);
  if (!gradient) return std::unexpected(std::move(gradient.error()));
  return backend::ValueAndGradient{*value, std::move(*gradient)};
}

}  // namespace compat_lbfgsb::objective
