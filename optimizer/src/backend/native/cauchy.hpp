// Generalized Cauchy point of the limited-memory model.
//
// From x the projected steepest-descent path P(x - t g) is followed segment by
// segment, between the times at which variables reach their bounds, to the
// first local minimiser of m(p) = g'(p - x) + 1/2 (p - x)' B (p - x).
#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <vector>

#include "backend/native/history.hpp"

namespace compat_lbfgsb::backend::native {

struct CauchyPoint {
  std::vector<double> point;  // inside the box
  std::size_t active = 0;     // variables fixed or within 1e-12 of a finite bound at `point`
};

// v -> B v for the model's Hessian B; the result has the length of v.
using HessianProduct = std::function<std::vector<double>(std::span<const double>)>;

CauchyPoint generalized_cauchy_point_with_hessian(std::span<const double> x,
                                                  std::span<const double> g,
                                                  std::span<const double> lower,
                                                  std::span<const double> upper,
                                                  const HessianProduct& hessian);

// B is the limited-memory matrix of `history` (the identity when it is empty).
CauchyPoint generalized_cauchy_point_limited_memory_with_activity(
    std::span<const double> x, std::span<const double> g, std::span<const double> lower,
    std::span<const double> upper, std::span<const Correction> history);

}  // namespace compat_lbfgsb::backend::native
