// The second half of the exact compact direction: the reduced gradient of the
// compact model at the Cauchy point, and the Newton step of that model over
// the free variables, shortened to stay in the box. The reduced matrix itself
// is formed by ExactCompactState::formk.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "backend/native/compact/state.hpp"

namespace compat_lbfgsb::backend::native::compact {

// r = -Z'(B (xcp - x) + g) over the first nfree entries of state.index, with
// c = W'(xcp - x) from the Cauchy point. Absent when bmv(c) fails; bmv runs
// whenever pairs are stored, also with nfree = 0.
std::optional<std::vector<double>> reduced_gradient(const ExactCompactState& state, std::span<const double> x,
                                                    std::span<const double> g, std::span<const double> xcp,
                                                    std::span<const double> c, std::size_t nfree);

// Moves xcp over the free variables to xbar along the subspace Newton step
// computed from r (overwritten) through the factor in state.wn, shortened by
// one common factor so that xbar stays in the box, the limiting variable put
// exactly on its bound. False when a triangular solve fails.
bool subspace_step(const ExactCompactState& state, std::span<const double> lower, std::span<const double> upper,
                   std::size_t nfree, std::span<double> r, std::span<double> xcp);

}  // namespace compat_lbfgsb::backend::native::compact
