// The multistart shape both spatial fits share: starts, the best end point, the
// convergence measure, polishing, and the map back to the response's scale.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "error.hpp"
#include "spatial/model.hpp"

namespace kestrune::spatial {

// What differs between the fits: the objective's evaluation, the starts and the box.
struct FitProblem {
  std::function<std::optional<Evaluation>(std::span<const double>, bool with_gradient)> evaluate;
  std::vector<std::vector<double>> starts;
  std::vector<double> lower;
  std::vector<double> upper;
  std::size_t variances;  // the leading coordinates that are variances
  std::size_t people;
  // Decay rates at which the spatial variance is tried when it ends at 0 (none when integrated).
  std::vector<std::vector<double>> kernel_shapes;
  // Under ML: whether V less its residual is singular at rounding at a point of the search.
  std::function<bool(std::span<const double>)> singular_without_residual;
};

// The point a fit ends at, on the search's scale: standardised, each variance times its
// matrix's size.
struct Optimum {
  std::vector<double> x;
  double value;
  Evaluation evaluation;  // at x, with the gradient
  double scaled_gradient;
  bool converged;
  bool polished;
};

// The box and the likelihood of one standardised response, with no starts yet: the m + 2
// variances (each times its matrix's size, SpatialModel::sizes) from 0, then the decay rate
// within the model's bounds unless it is integrated out.
FitProblem problem_for(const SpatialModel& model, const Standardised& response, bool reml, bool integrated,
                       Workspace& workspace);

// The whole-sample search (whole_sample::search) over the problem, then the best point
// evaluated again. "SPATIAL_NO_START_CONVERGED" when no start ends evaluable,
// "SPATIAL_OPTIMUM_NOT_EVALUABLE" when the best cannot be evaluated again.
Result<Optimum> optimise(const FitProblem& problem);

// optimise, then the record on the response's scale, its fixed effects on the design's
// columns; decay rate and half distance NaN when integrated. A record with a number that is
// not finite (the integrated decay rate aside) is not converged.
Result<SpatialFit> fit_problem(const SpatialModel& model, const FitProblem& problem, const Standardised& response,
                               bool reml, bool integrated);

}  // namespace kestrune::spatial
