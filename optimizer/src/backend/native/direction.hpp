// Search direction of the limited-memory path.
#pragma once

#include <span>
#include <vector>

#include "backend/native/direction_choice.hpp"
#include "backend/native/history.hpp"

namespace compat_lbfgsb::backend::native {

struct DirectionMode {
  double tolerance = 0.0;  // a subspace step no larger than this (max norm) is not used
  bool subspace = false;   // take the Cauchy point and subspace step
};

// With `subspace` clear, the projected L-BFGS direction. With it set, the step
// from x to the subspace point (or the Cauchy point when the subspace step
// cannot be computed), unless that step is negligible. Never carries a
// full-step point; whether the direction descends is the caller's test.
DirectionChoice direction_with_mode(std::span<const double> x, std::span<const double> g,
                                    std::span<const double> lower,
                                    std::span<const double> upper,
                                    std::span<const Correction> history, DirectionMode mode);

}  // namespace compat_lbfgsb::backend::native
