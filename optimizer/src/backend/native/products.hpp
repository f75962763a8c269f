// Products with the limited-memory matrices and the projected directions of
// the limited-memory path. Every dot product here is the plain order: one
// running sum from -0.0 in index order, no fused multiply-add.
#pragma once

#include <span>
#include <vector>

#include "backend/native/history.hpp"

namespace compat_lbfgsb::backend::native {

// Zeroes d_i for a fixed variable, or where x_i is within 1e-12 (absolute) of
// a bound and d_i points out through it.
void project_direction(std::span<const double> x, std::span<const double> lower, std::span<const double> upper,
                       std::span<double> d);

// -g, projected.
std::vector<double> steepest_projected_direction(std::span<const double> x, std::span<const double> g,
                                                 std::span<const double> lower, std::span<const double> upper);

// -H g by the two-loop recursion (H the limited-memory inverse), projected.
std::vector<double> projected_lbfgs_direction(std::span<const double> x, std::span<const double> g,
                                              std::span<const double> lower, std::span<const double> upper,
                                              std::span<const Correction> history);

// B v with B the direct limited-memory BFGS matrix from theta*I, rebuilt from
// the history on every call; pairs whose curvature s'B s is not positive
// finite take no part. The identity when the history is empty.
std::vector<double> lbfgs_hessian_product(std::span<const double> v, std::span<const Correction> history);

}  // namespace compat_lbfgsb::backend::native
