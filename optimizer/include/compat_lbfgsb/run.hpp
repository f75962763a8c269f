// The runner's entry and the checks it makes before a run.
#pragma once

#include <expected>
#include <span>

#include "compat_lbfgsb/bounds.hpp"
#include "compat_lbfgsb/error.hpp"

namespace compat_lbfgsb::compat {

// Bounds::validate, the length of lower against the start, then each start
// entry: NaN, or not finite once clipped into its bounds, is InvalidParameter
// carrying the entry itself. The start is not changed.
std::expected<void, OptimError> validate_initial_parameters(std::span<const double> par,
                                                            const bounds::Bounds& bounds);

// Without a user gradient a fixed parameter (lower == upper) cannot be
// differenced: InvalidBounds at the first such index.
std::expected<void, OptimError> validate_gradient_availability(const bounds::Bounds& bounds, bool has_gradient);

}  // namespace compat_lbfgsb::compat
