// Bound-aware difference quotient of an internal value, for callers that give
// no gradient of their own.
#pragma once

#include <expected>
#include <functional>
#include <span>
#include <vector>

#include "compat_lbfgsb/error.hpp"

namespace compat_lbfgsb::finite_diff {

// The internal value at an internal point, or the failure to pass on.
using InternalValue = std::function<std::expected<double, OptimError>(std::span<const double>)>;

// Central difference of width 2 * ndeps[i] where no bound is near; a side
// closer than ndeps[i] shrinks to the distance, so no evaluated point leaves
// [lower, upper]. A coordinate whose two steps sum to nothing positive (a fixed
// one) stays 0 without evaluation. The first failure of value ends the call and
// no later coordinate is evaluated. x is never changed.
std::expected<std::vector<double>, OptimError> finite_difference_gradient(std::span<const double> x,
                                                                          std::span<const double> lower,
                                                                          std::span<const double> upper,
                                                                          std::span<const double> ndeps,
                                                                          const InternalValue& value);

}  // namespace compat_lbfgsb::finite_diff
