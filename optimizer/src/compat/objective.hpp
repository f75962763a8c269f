// The problem the engine minimises: the caller's objective and optional
// gradient seen on the internal scale, x = x_user / parscale and
// f = f_user / fnscale.
#pragma once

#include <expected>
#include <span>
#include <vector>

#include "compat_lbfgsb/backend.hpp"
#include "compat_lbfgsb/error.hpp"
#include "compat_lbfgsb/run.hpp"
#include "compat_lbfgsb/scaling.hpp"

namespace compat_lbfgsb::objective {

// Built for one run and dropped after it. Relies on what the runner checked:
// parscale and ndeps of n positive finite entries, fnscale finite and nonzero,
// internal bounds of n entries with lower <= upper, and no fixed coordinate
// when there is no gradient. The caller's functions must outlive the problem.
class ScaledProblem final : public backend::BackendProblem {
 public:
  // gradient may be null: the gradient is then differenced within the bounds.
  ScaledProblem(scaling::Scaling scaling, const compat::Objective& objective, const compat::Gradient* gradient,
                std::vector<double> lower, std::vector<double> upper, std::vector<double> ndeps);

  // objective(x * parscale) / fnscale; NonFiniteValue carries a NaN or
  // infinite value exactly as the objective returned it.
  std::expected<double, OptimError> internal_value(std::span<const double> x);

  // (g(x * parscale) * parscale) / fnscale with the caller's gradient, checked
  // for length and finiteness first; otherwise the difference gradient of
  // internal_value, already on the internal scale.
  std::expected<std::vector<double>, OptimError> internal_gradient(std::span<const double> x);

  // The value first; a failed value computes no gradient.
  std::expected<backend::ValueAndGradient, OptimError> value_and_gradient(std::span<const double> x) override;

 private:
  // The user point x * parscale, in a buffer reused across calls.
  std::span<const double> user_point(std::span<const double> x);

  scaling::Scaling scaling_;
  const compat::Objective& objective_;
  const compat::Gradient* gradient_;
  std::vector<double> lower_;
  std::vector<double> upper_;
  std::vector<double> ndeps_;
  std::vector<double> user_;
};

}  // namespace compat_lbfgsb::objective
