// The search of the whole-sample fits (the spatial and the autoregressive-grid model): a fixed
// list of starts, the best end that is a maximum, the places a fixed list of starts cannot see,
// and a last polish.
//
// The coordinates are the m + 2 variances (each given matrix's times its size, then the
// kernel's, then the residual's), then the kernel's shape (a decay rate, or two rates), each
// within its box. What counts as a maximum:
// - a variance within 1e-9 of 0 (a share of the standardised response's variance, whatever the
//   units of its matrix) stands on its bound, and so does a shape coordinate within its bound's
//   own rounding: a point is judged by where it is, not by the last bit a step left it at;
// - under ML, where the covariance without its residual is singular at rounding the likelihood
//   rises without bound as the residual falls to 0: an end heading there is no maximum, and is
//   reported (not converged) only when no start ends at one;
// - with the kernel's coefficient at 0 its shape is free, so the end is a maximum only when the
//   kernel's coefficient rises at no shape; and each bound of the shape that no start lies on is
//   tried with the rest fitted there, since a maximum on or beside it can lie beyond the basin
//   every start falls into;
// - a run that stops short of flat (a line search walled in by a V that is not positive definite)
//   is polished and started again on its own scale, and a start where V is not positive definite
//   is lifted by its residual.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace kestrune::whole_sample {

// The value at a point and, when asked, its gradient over the search's coordinates.
struct Point {
  double value;
  std::vector<double> gradient;
};

struct SearchProblem {
  // Nothing where the model cannot be evaluated.
  std::function<std::optional<Point>(std::span<const double>, bool with_gradient)> evaluate;
  std::vector<std::vector<double>> starts;
  std::vector<double> lower;
  std::vector<double> upper;
  std::size_t variances = 0;  // the leading coordinates; the kernel's is variances - 2, the residual's last
  std::size_t people = 0;     // n, for the scale of a run started again
  // Values of the shape coordinates (those after the variances) at which the kernel's
  // coefficient is tried when it ends at 0.
  std::vector<std::vector<double>> kernel_shapes;
  // Under ML only: whether the covariance at x less its residual is singular at rounding.
  std::function<bool(std::span<const double>)> singular_without_residual;
};

struct SearchEnd {
  std::vector<double> x;
  double value;
  double scaled_gradient;  // the convergence measure over max(|value|, 1)
  bool converged;          // below 1e-6, and not running away
  bool polished;           // a polishing run's point was adopted
};

// Nothing when no start ends at a point that can be evaluated.
std::optional<SearchEnd> search(const SearchProblem& problem);

// The largest gradient entry that counts at x under the rules above, with the residual's lower
// edge open (no bound: its face is not part of the model) when `residual_open`.
double measure(const SearchProblem& problem, std::span<const double> x, std::span<const double> gradient,
               bool residual_open);

}  // namespace kestrune::whole_sample
