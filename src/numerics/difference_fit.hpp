// A bounded fit from a fixed list of starts whose gradient is a central difference of the
// objective, polished when the best end point is not yet flat: the fits of the binary and
// censored trait models. What a model passes in (starts, bounds, iterations, threshold and its
// own convergence measure) differs between models; the loop does not.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace kestrune::difference_fit {

// The objective's stand-in where the likelihood cannot be evaluated.
inline constexpr double unevaluable = 1e30;

// The negated log-likelihood at a point, or `unevaluable`.
using Objective = std::function<double(std::span<const double>)>;

// The model's largest projected gradient magnitude at x, given the gradient g there.
using Measure = std::function<double(std::span<const double> x, std::span<const double> g)>;

struct Problem {
  std::vector<double> lower;
  std::vector<double> upper;
  std::size_t maxit;
  double threshold;  // converged below it; polished from it up
  Measure measure;
};

// A change to a search's objective, given the search's problem (its box shows what it holds).
// The models make none of their own; a test gives one to reach the refusals of searches that
// cannot be evaluated or cannot converge.
using ObjectiveChange = std::function<Objective(const Problem&, Objective)>;

// A problem whose measure is projected_magnitude over its own box, an edge `edge` wide.
Problem box_problem(std::vector<double> lower, std::vector<double> upper, std::size_t maxit, double threshold,
                    double edge);

struct Fit {
  std::vector<double> x;
  double value;            // the objective at x
  double scaled_gradient;  // measure / max(|value|, 1)
  bool polished;
  bool rises = false;  // a step off an end x lies at still rises: not a maximum, however flat
};

// The central difference of f with the step 1e-5 * max(|x_i|, 1), each side stopped at its
// bound; 0 for a coordinate held by equal bounds.
std::vector<double> central_difference(const Objective& f, std::span<const double> x,
                                       std::span<const double> lower, std::span<const double> upper);

// Runs compat::run from each start (maxit, fnscale max(|f(start)|, 1) or 1e30 where f is
// unevaluable, unit parscale, factr 1000, pgtol 1e-8, lmm k) and re-evaluates f at each end
// point. A refused bound, a run error, or an end value that is not below 1e30 fails the start;
// the best is the first strictly lowest. When its scaled gradient is not below the threshold,
// convergence::polish runs from it and its point is adopted when it returns one. Nothing when
// every start failed, or when a stop was asked for: every evaluation polls for one, so that a
// run ends at its next step.
std::optional<Fit> fit(const Problem& problem, const std::vector<std::vector<double>>& starts,
                       const Objective& f);

// The free fit of a likelihood-ratio test, made to account for its restricted fit: a point of
// the same space that must not end higher. When `restricted` beats `free` by more than the
// threshold's share of the free value, the free problem runs once more from the restricted
// end point and the better converged fit of the two is kept. Nothing when the restricted fit
// still ends higher by more than that: the free maximum is unresolved.
std::optional<Fit> above_restricted(const Problem& free_problem, Fit free, const Fit& restricted,
                                    const Objective& f);

// Starts off the ends x lies at or near from which the value falls below `value`, x's own:
// none where no admissible step off rises (see step_off).
using StepsOff = std::function<std::vector<std::vector<double>>(std::span<const double> x, double value)>;

// `best`, searched on while steps off an end of its point rise: the lowest end point of the
// searches from those steps replaces it, for at most four rounds; where steps still rise after
// them, the fit is marked as rising.
Fit off_ends(const Problem& problem, Fit best, const Objective& f, const StepsOff& steps_off);

// The measure shared by models that count a gradient at an edge of the box only when it points
// inwards: an edge is within `edge` of a bound; a held coordinate counts 0, a NaN never counts.
double projected_magnitude(std::span<const double> x, std::span<const double> g,
                           std::span<const double> lower, std::span<const double> upper, double edge);

}  // namespace kestrune::difference_fit
