// Quantities the main loop derives from its controls and its iterates.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "compat_lbfgsb/backend.hpp"

namespace compat_lbfgsb::backend::native {

// The controls a run actually uses: ftol = factr * EPSMCH when factr > 0
// (absent otherwise, which switches the reduction test off); lmm and maxit
// unchanged.
struct EffectiveRunControls {
  std::optional<double> ftol;
  std::size_t lmm = 0;
  std::size_t maxit = 0;
};

EffectiveRunControls effective_run_controls(const RunControls& controls);

// Largest |p_i| of the projected gradient: g_i pulled towards zero by the
// room left to a finite bound on the side g_i moves x_i to; NaN terms ignored.
double projected_gradient_norm(std::span<const double> x, std::span<const double> g,
                               std::span<const double> lower, std::span<const double> upper);

}  // namespace compat_lbfgsb::backend::native
