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
};

// The point a fit ends at, on the standardised scale.
struct Optimum {
  std::vector<double> x;
  double value;
  Evaluation evaluation;  // at x, with the gradient
  double scaled_gradient;
  bool polished;
};

// Runs every start, keeps the best by strict <, evaluates it again, measures it and
// polishes it when the measure is not below 1e-6. "SPATIAL_NO_START_CONVERGED" when no
// start ends evaluable, "SPATIAL_OPTIMUM_NOT_EVALUABLE" when the best cannot be evaluated
// again.
Result<Optimum> optimise(const FitProblem& problem);

// The record on the response's scale; decay rate and half distance NaN without a decay
// coordinate.
SpatialFit fit_record(const Optimum& optimum, const Standardised& response, std::size_t n, bool reml,
                      std::optional<double> decay_rate);

}  // namespace kestrune::spatial
