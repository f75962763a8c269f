// The first half of the exact compact direction: the generalized Cauchy
// point along the projected steepest-descent path of the compact model, and
// the free/active partition at that point. ExactCompactState::direction
// joins them with the subspace step.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "backend/native/compact/state.hpp"

namespace compat_lbfgsb::backend::native::compact {

struct CompactCauchyPoint {
    std::vector<double> xcp;  // the Cauchy point
    std::vector<double> c;    // W'(xcp - x), 2 col entries
};

// The first local minimiser of the compact model along the projected
// gradient path from x, passing the breakpoints in increasing order through a
// binary min-heap. Rewrites state.iwhere for every variable that is not
// always free or always fixed (unless projected_gradient_norm <= 0). Absent
// when a product with the middle matrix fails.
std::optional<CompactCauchyPoint> cauchy_point(ExactCompactState& state, std::span<const double> x,
                                               std::span<const double> g, std::span<const double> lower,
                                               std::span<const double> upper, double projected_gradient_norm);

// Records in state.indx2 the variables that entered or left the free set
// since the last completed direction, and rewrites state.index as the free
// variables in increasing order followed by the active ones.
FreeSetChange free_variables(ExactCompactState& state);

}  // namespace compat_lbfgsb::backend::native::compact
