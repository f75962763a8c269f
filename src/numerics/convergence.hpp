// Polishing a finished fit: one last tight run from the model's optimum, kept
// only when the model's own re-evaluation shows it no worse and flatter.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "compat_lbfgsb/control.hpp"
#include "compat_lbfgsb/run.hpp"

namespace kestrune::convergence {

// The model's objective value at a point and its convergence measure there:
// the largest gradient magnitude that counts at that point.
struct Evaluation {
  double value;
  double measure;
};

// Nothing when the model's evaluation fails.
using Evaluate = std::function<std::optional<Evaluation>(std::span<const double>)>;

struct Polished {
  std::vector<double> par;  // the run's point, on the caller's scale
  std::string message;      // the run's message
  double value;             // from the caller's evaluation, not the run's value
  double scaled_gradient;   // measure / max(|value|, 1)
  std::int32_t convergence; // the run's code
};

// Runs compat::run from x0 with maxit 200, fnscale max(|objective(x0)|, 1),
// unit parscale, factr 0, pgtol 1e-9 and lmm min(n, 10), the gradient always
// given. Returns the run's outcome only when the evaluation at its point
// succeeds, its value is finite and not above reference, and its scaled
// gradient is below tolerance. Every failure, the run's included, is nothing:
// the caller keeps its own fit. x0 and the bounds are only read.
std::optional<Polished> polish(std::span<const double> x0, std::span<const double> lower,
                               std::span<const double> upper, const compat_lbfgsb::compat::Objective& objective,
                               const compat_lbfgsb::compat::Gradient& gradient, const Evaluate& evaluate,
                               double reference, double tolerance);

// The controls of that run for n parameters and the objective's value at x0.
compat_lbfgsb::OptimControl polish_controls(std::size_t n, double start_value);

// Which part of a gradient entry counts toward the measure: at an edge of
// the box only the part that points into it.
enum class Edge { interior, lower, upper, fixed };

// interior |g|, lower |min(g, 0)|, upper max(g, 0), fixed 0.
inline double contribution(Edge edge, double g) {
  switch (edge) {
    case Edge::lower: return std::fabs(std::fmin(g, 0.0));
    case Edge::upper: return std::fmax(g, 0.0);
    case Edge::fixed: return 0.0;
    case Edge::interior: break;
  }
  return std::fabs(g);
}

// The largest contribution over the coordinates, 0 with none; a NaN entry
// never raises it. edge_of(i) tells where coordinate i stands.
template <class EdgeOf>
double largest_contribution(std::span<const double> gradient, EdgeOf edge_of) {
  double largest = 0.0;
  for (std::size_t i = 0; i < gradient.size(); ++i) {
    largest = std::fmax(largest, contribution(edge_of(i), gradient[i]));
  }
  return largest;
}

// Whether x stands on `bound` to the rounding of the bound, or of `scale` where that is larger:
// a step clamped into the box can end an ulp inside a nonzero bound, and that point is the bound.
// With no scale a zero bound is met only exactly; a coordinate whose size is known (a correlation
// on [0, 1)) passes it so that 1e-19 meets 0 as 0 does.
inline bool on_bound(double x, double bound, double scale = 0.0) {
  return std::fabs(x - bound) <=
         4.0 * std::numeric_limits<double>::epsilon() * std::fmax(std::fabs(bound), std::fabs(scale));
}

// The largest gradient magnitude that points into the box [lower, upper], each
// coordinate compared with its bounds with no allowance beyond their rounding: at or below
// lower it is at the lower edge, else at or above upper at the upper edge (so a pinned
// coordinate counts as at its lower edge).
inline double box_measure(std::span<const double> gradient, std::span<const double> x,
                          std::span<const double> lower, std::span<const double> upper) {
  return largest_contribution(gradient, [&](std::size_t i) {
    if (x[i] <= lower[i] || on_bound(x[i], lower[i])) return Edge::lower;
    if (x[i] >= upper[i] || on_bound(x[i], upper[i])) return Edge::upper;
    return Edge::interior;
  });
}

// The convergence measure relative to the objective's size: measure / max(|value|, 1),
// the divisor 1 when value is NaN.
inline double scaled_gradient(double measure, double value) {
  return measure / std::fmax(std::fabs(value), 1.0);
}

}  // namespace kestrune::convergence
