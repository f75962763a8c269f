// What both direction engines hand the main loop.
#pragma once

#include <optional>
#include <vector>

namespace compat_lbfgsb::backend::native {

struct DirectionChoice {
  std::vector<double> direction;
  // When present the line search takes this point itself as its trial at
  // step 1.0 instead of x + 1.0 * direction.
  std::optional<std::vector<double>> full_step_point;
};

}  // namespace compat_lbfgsb::backend::native
