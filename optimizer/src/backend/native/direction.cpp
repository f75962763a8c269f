#include "backend/native/direction.hpp"

#include <optional>
#include <utility>

#include "backend/native/cauchy.hpp"
#include "backend/native/kernels.hpp"
#include "backend/native/products.hpp"
#include "backend/native/subspace.hpp"

namespace compat_lbfgsb::backend::native {

DirectionChoice direction_with_mode(std::span<const double> x, std::span<const double> g,
                                    std::span<const double> lower,
                                    std::span<const double> upper,
                                    std::span<const Correction> history, DirectionMode mode) {
  if (mode.subspace) {
    CauchyPoint cauchy =
        generalized_cauchy_point_limited_memory_with_activity(x, g, lower, upper, history);
    std::optional<SubspaceStep> step = subspace_minimizer_limited_memory_with_activity(
        x, g, lower, upper, history, cauchy.point);
    const std::vector<double>& target = step ? step->point : cauchy.point;
    std::vector<double> d = difference(target, x);
    // An ordered test: a NaN tolerance never counts the step as negligible.
    if (!(norm_inf(d) <= mode.tolerance)) return DirectionChoice{std::move(d), std::nullopt};
  }
  return DirectionChoice{projected_lbfgs_direction(x, g, lower, upper, history), std::nullopt};
}

}  // namespace compat_lbfgsb::backend::native
