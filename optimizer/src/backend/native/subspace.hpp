// Subspace minimisation of the limited-memory model from the Cauchy point.
//
// One Newton step of the quadratic model over the variables that are free at
// the Cauchy point, through a Cholesky factor of the reduced Hessian, shortened
// by one factor so that the end point stays in the box.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "backend/native/cauchy.hpp"
#include "backend/native/history.hpp"

namespace compat_lbfgsb::backend::native {

struct SubspaceStep {
  std::vector<double> point;  // inside the box
  std::size_t free = 0;       // number of variables minimised over
  bool clipped = false;       // the Newton step was shortened to stay in the box
};

// Ascending indices i with lower_i != upper_i and cauchy_i not within 1e-12 of
// a finite bound: the complement of the active test.
std::vector<std::size_t> free_indices_with_activity(std::span<const double> cauchy,
                                                    std::span<const double> lower,
                                                    std::span<const double> upper);

// Absent when the reduced Hessian meets a pivot not above 1e-12 or not finite.
std::optional<SubspaceStep> subspace_minimizer_with_hessian_and_activity(
    std::span<const double> x, std::span<const double> g, std::span<const double> lower,
    std::span<const double> upper, std::span<const double> cauchy,
    const HessianProduct& hessian);

std::optional<SubspaceStep> subspace_minimizer_limited_memory_with_activity(
    std::span<const double> x, std::span<const double> g, std::span<const double> lower,
    std::span<const double> upper, std::span<const Correction> history,
    std::span<const double> cauchy);

}  // namespace compat_lbfgsb::backend::native
