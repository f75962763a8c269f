#include "compat_lbfgsb/run.hpp"

#include <cmath>
#include <string>
#include <utility>

#include "compat/objective.hpp"
#include "compat_lbfgsb/backend.hpp"
#include "compat_lbfgsb/scaling.hpp"

namespace compat_lbfgsb::compat {
namespace {

// The checks in their fixed order; the first failure decides.
std::expected<void, OptimError> validate_run(std::span<const double> par, const bounds::Bounds& bounds,
                                             bool has_gradient, const control::OptimControl& control) {
  const std::size_t n = par.size();
  if (auto valid = control.validate_for_dimension(n); !valid) return valid;
  if (auto valid = bounds.validate_for_dimension(n); !valid) return valid;
  if (auto valid = validate_initial_parameters(par, bounds); !valid) return valid;
  return validate_gradient_availability(bounds, has_gradient);
}

// Nothing to minimise: the objective is evaluated once, unscaled.
std::expected<OptimResult, OptimError> run_without_parameters(std::vector<double> par,
                                                              const Objective& objective) {
  const double value = objective(par);
  if (!std::isfinite(value)) return std::unexpected<OptimError>(error::NonFiniteInitialValue{value});
  return OptimResult{std::move(par), std::string("NOTHING TO DO"), value, {1, 0}, 0};
}

backend::RunControls run_controls(const control::OptimControl& control, bool has_gradient) {
  return backend::RunControls{control.maxit, control.factr, control.pgtol, control.lmm,
                              control.trace, control.REPORT, has_gradient};
}

}  // namespace

std::expected<OptimResult, OptimError> run(std::vector<double> par, bounds::Bounds bounds,
                                           const Objective& objective, const std::optional<Gradient>& gradient,
                                           control::OptimControl control) {
  // An empty function (a `nullptr` passed for the gradient) is no gradient:
  // the run differences the objective instead of calling nothing.
  const bool has_gradient = gradient.has_value() && static_cast<bool>(*gradient);
  if (auto valid = validate_run(par, bounds, has_gradient, control); !valid) {
    return std::unexpected(std::move(valid.error()));
  }
  if (par.empty()) return run_without_parameters(std::move(par), objective);

  scaling::Scaling scaling{control.parscale, control.fnscale};
  const std::vector<double> start = scaling.user_to_internal_par(par);
  const bounds::Bounds internal = scaling.scale_bounds(bounds);
  const backend::RunControls controls = run_controls(control, has_gradient);
  objective::ScaledProblem problem(scaling, objective, has_gradient ? &*gradient : nullptr, internal.lower,
                                   internal.upper, std::move(control.ndeps));

  auto result = backend::native::NativeBackend{}.minimize(problem, start, internal.lower, internal.upper, controls);
  if (!result) return result;
  result->par = scaling.internal_to_user_par(result->par);
  result->value = result->value * scaling.fnscale;
  return result;
}

}  // namespace compat_lbfgsb::compat
