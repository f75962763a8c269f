// Bound-aware difference quotient of a value, for the runner when a caller gives no
// gradient of its own, and for models whose own gradient is a central difference.
#pragma once

#include <cstddef>
#include <expected>
#include <functional>
#include <span>
#include <vector>

#include "compat_lbfgsb/error.hpp"

namespace compat_lbfgsb::finite_diff {

// The value at a point, or the failure to pass on.
using InternalValue = std::function<std::expected<double, OptimError>(std::span<const double>)>;

// The step of coordinate i at the point's entry x_i, before any bound shrinks it.
using StepRule = std::function<double(std::size_t i, double x_i)>;

// Central difference of width 2 * step(i, x[i]) where no bound is near; a side
// closer than the step shrinks to the distance, so no evaluated point leaves
// [lower, upper]. A coordinate whose two steps sum to nothing positive (a fixed
// one) stays 0 without evaluation. The first failure of value ends the call and
// no later coordinate is evaluated. x is never changed.
std::expected<std::vector<double>, OptimError> finite_difference_gradient(std::span<const double> x,
                                                                          std::span<const double> lower,
                                                                          std::span<const double> upper,
                                                                          const StepRule& step,
                                                                          const InternalValue& value);

// The runner's rule: the fixed step ndeps[i] for coordinate i.
std::expected<std::vector<double>, OptimError> finite_difference_gradient(std::span<const double> x,
                                                                          std::span<const double> lower,
                                                                          std::span<const double> upper,
                                                                          std::span<const double> ndeps,
                                                                          const InternalValue& value);

}  // namespace compat_lbfgsb::finite_diff
