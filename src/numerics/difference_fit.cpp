#include "numerics/difference_fit.hpp"

#include <cmath>
#include <limits>
#include <utility>

#include "compat_lbfgsb/bounds.hpp"
#include "compat_lbfgsb/finite_diff.hpp"
#include "compat_lbfgsb/run.hpp"
#include "numerics/convergence.hpp"
#include "numerics/interrupt.hpp"
#include "numerics/multistart.hpp"
#include "numerics/null_refit.hpp"

namespace kestrune::difference_fit {
namespace {

struct Candidate {
  std::vector<double> x;
  double value;
};

std::optional<Candidate> run_from(const Problem& problem, const std::vector<double>& start,
                                  const Objective& f, const compat_lbfgsb::compat::Gradient& gradient) {
  auto bounds = compat_lbfgsb::Bounds::create(problem.lower, problem.upper);
  if (!bounds) return std::nullopt;
  const std::size_t k = start.size();
  const double start_value = f(start);
  auto control = multistart::start_controls(
      k, start_value < unevaluable ? std::optional<double>(start_value) : std::nullopt, problem.maxit,
      1000.0, 1e-8);
  control.lmm = k;
  auto run = compat_lbfgsb::compat::run(start, std::move(*bounds), f, gradient, std::move(control));
  if (!run) return std::nullopt;
  const double value = f(run->par);
  if (!(value < unevaluable)) return std::nullopt;
  return Candidate{std::move(run->par), value};
}

}  // namespace

std::vector<double> central_difference(const Objective& f, std::span<const double> x,
                                       std::span<const double> lower, std::span<const double> upper) {
  const compat_lbfgsb::finite_diff::StepRule step = [](std::size_t, double xi) {
    return 1e-5 * std::fmax(std::fabs(xi), 1.0);
  };
  const compat_lbfgsb::finite_diff::InternalValue value =
      [&f](std::span<const double> point) -> std::expected<double, compat_lbfgsb::OptimError> { return f(point); };
  // The value never fails, so neither does the difference.
  return *compat_lbfgsb::finite_diff::finite_difference_gradient(x, lower, upper, step, value);
}

Problem box_problem(std::vector<double> lower, std::vector<double> upper, std::size_t maxit, double threshold,
                    double edge) {
  Problem problem{std::move(lower), std::move(upper), maxit, threshold, {}};
  problem.measure = [lower = problem.lower, upper = problem.upper, edge](std::span<const double> x,
                                                                         std::span<const double> g) {
    return projected_magnitude(x, g, lower, upper, edge);
  };
  return problem;
}

double projected_magnitude(std::span<const double> x, std::span<const double> g,
                           std::span<const double> lower, std::span<const double> upper, double edge) {
  return convergence::largest_contribution(g, [&](std::size_t i) {
    if (lower[i] == upper[i]) return convergence::Edge::fixed;
    if (x[i] - lower[i] <= edge) return convergence::Edge::lower;
    if (upper[i] - x[i] <= edge) return convergence::Edge::upper;
    return convergence::Edge::interior;
  });
}

std::optional<Fit> fit(const Problem& problem, const std::vector<std::vector<double>>& starts,
                       const Objective& model_objective) {
  // A value that is not a number makes the run stop with an error at once.
  const Objective f = [&](std::span<const double> x) {
    return interrupt::requested() ? std::numeric_limits<double>::quiet_NaN() : model_objective(x);
  };
  const compat_lbfgsb::compat::Gradient gradient = [&](std::span<const double> x) {
    return central_difference(f, x, problem.lower, problem.upper);
  };
  auto best = multistart::best_of(starts, [&](const std::vector<double>& start) {
    return run_from(problem, start, f, gradient);
  });
  if (!best) return std::nullopt;

  const auto measure_at = [&](std::span<const double> x) {
    const std::vector<double> g = gradient(x);
    return problem.measure(x, g);
  };
  Fit result{std::move(best->x), best->value, 0.0, false};
  result.scaled_gradient = convergence::scaled_gradient(measure_at(result.x), result.value);
  if (!(result.scaled_gradient >= problem.threshold)) return result;

  const convergence::Evaluate evaluate =
      [&](std::span<const double> x) -> std::optional<convergence::Evaluation> {
    const double value = f(x);
    if (!(value < unevaluable) || !std::isfinite(value)) return std::nullopt;
    return convergence::Evaluation{value, measure_at(x)};
  };
  auto polished = convergence::polish(result.x, problem.lower, problem.upper, f, gradient, evaluate,
                                      result.value, result.scaled_gradient);
  if (polished) {
    result.x = std::move(polished->par);
    result.value = polished->value;
    result.scaled_gradient = polished->scaled_gradient;
    result.polished = true;
  }
  return result;
}

Fit off_ends(const Problem& problem, Fit best, const Objective& f, const StepsOff& steps_off) {
  for (std::size_t round = 0; round < 4; ++round) {
    const std::vector<std::vector<double>> starts = steps_off(best.x, best.value);
    if (starts.empty()) return best;
    std::optional<Fit> lowest;
    for (const std::vector<double>& start : starts) {
      std::optional<Fit> run = fit(problem, {start}, f);
      if (interrupt::requested()) return best;
      if (run && run->value < best.value && (!lowest || run->value < lowest->value)) lowest = std::move(run);
    }
    if (!lowest) {
      best.rises = true;
      return best;
    }
    best = std::move(*lowest);
  }
  best.rises = !steps_off(best.x, best.value).empty();
  return best;
}

std::optional<Fit> above_restricted(const Problem& free_problem, Fit free, const Fit& restricted,
                                    const Objective& f) {
  // Read as the shared rule reads a fit, the tolerance being the fit's own threshold.
  struct Maximum {
    double loglik;
    bool converged;
    Fit fit;
  };
  const auto maximum = [&](Fit at) {
    const double loglik = -at.value;
    const bool converged = at.scaled_gradient < free_problem.threshold;
    return Maximum{loglik, converged, std::move(at)};
  };
  const auto refit = [&] { return fit(free_problem, {restricted.x}, f).transform(maximum); };
  auto kept = null_refit::full_above_null(maximum(std::move(free)), -restricted.value, refit, "UNRESOLVED",
                                          free_problem.threshold);
  if (!kept) return std::nullopt;
  return std::move(kept->fit);
}

}  // namespace kestrune::difference_fit
