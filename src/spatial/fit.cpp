#include "spatial/fit.hpp"

#include <cmath>
#include <limits>
#include <utility>

#include "compat_lbfgsb/bounds.hpp"
#include "compat_lbfgsb/run.hpp"
#include "numerics/convergence.hpp"
#include "numerics/matrix_scale.hpp"
#include "numerics/moments.hpp"
#include "numerics/multistart.hpp"

namespace kestrune::spatial {
namespace {

// A variance at or below 1e-9 counts as on its lower bound; otherwise the box decides.
double measure(const FitProblem& problem, std::span<const double> x, std::span<const double> gradient) {
  return convergence::largest_contribution(gradient, [&](std::size_t i) {
    if (i < problem.variances && x[i] <= 1e-9) return convergence::Edge::lower;
    if (x[i] <= problem.lower[i]) return convergence::Edge::lower;
    if (x[i] >= problem.upper[i]) return convergence::Edge::upper;
    return convergence::Edge::interior;
  });
}

struct Candidate {
  std::vector<double> x;
  double value;
};

}  // namespace

Result<Optimum> optimise(const FitProblem& problem) {
  const std::size_t k = problem.lower.size();
  // Value and gradient of one point come from one evaluation.
  compat_lbfgsb::compat::LastPointMemo memo(
      [&](std::span<const double> x) { return problem.evaluate(x, true); });
  const compat_lbfgsb::compat::Objective objective = [&](std::span<const double> x) {
    const auto& evaluation = memo(x);
    return evaluation ? evaluation->value : 1e30;
  };
  const compat_lbfgsb::compat::Gradient gradient = [&](std::span<const double> x) {
    const auto& evaluation = memo(x);
    return evaluation ? evaluation->gradient : std::vector<double>(k, 0.0);
  };

  const auto best = multistart::best_of(problem.starts, [&](const std::vector<double>& start) -> std::optional<Candidate> {
    auto bounds = compat_lbfgsb::Bounds::create(problem.lower, problem.upper);
    if (!bounds) return std::nullopt;
    const auto at_start = problem.evaluate(start, false);
    auto control = multistart::start_controls(k, at_start ? std::optional(at_start->value) : std::nullopt, 300,
                                              1000.0, 1e-8);
    auto run = compat_lbfgsb::compat::run(start, std::move(*bounds), objective, gradient, std::move(control));
    if (!run) return std::nullopt;
    const auto end = problem.evaluate(run->par, true);
    if (!end || !std::isfinite(end->value)) return std::nullopt;
    return Candidate{std::move(run->par), end->value};
  });
  if (!best) return fail("SPATIAL_NO_START_CONVERGED");

  auto final_evaluation = problem.evaluate(best->x, true);
  if (!final_evaluation) return fail("SPATIAL_OPTIMUM_NOT_EVALUABLE");
  Optimum optimum{best->x, best->value, std::move(*final_evaluation), 0.0, false};
  optimum.scaled_gradient =
      convergence::scaled_gradient(measure(problem, optimum.x, optimum.evaluation.gradient), optimum.value);
  if (optimum.scaled_gradient < 1e-6) return optimum;

  const convergence::Evaluate polishing = [&](std::span<const double> x) -> std::optional<convergence::Evaluation> {
    const auto& evaluation = memo(x);
    if (!evaluation) return std::nullopt;
    return convergence::Evaluation{evaluation->value, measure(problem, x, evaluation->gradient)};
  };
  const auto polished = convergence::polish(optimum.x, problem.lower, problem.upper, objective, gradient, polishing,
                                            optimum.value, optimum.scaled_gradient);
  if (!polished) return optimum;
  auto at_polished = problem.evaluate(polished->par, true);
  if (!at_polished) return optimum;
  optimum.x = polished->par;
  optimum.value = polished->value;
  optimum.scaled_gradient = polished->scaled_gradient;
  optimum.evaluation = std::move(*at_polished);
  optimum.polished = true;
  return optimum;
}

namespace {

bool finite(const std::vector<double>& values) {
  for (const double v : values)
    if (!std::isfinite(v)) return false;
  return true;
}

SpatialFit fit_record(const SpatialModel& model, const Optimum& optimum, const Standardised& response, bool reml,
                      std::optional<double> decay_rate) {
  const std::size_t n = model.n();
  const std::size_t variances = optimum.x.size() - (decay_rate ? 1 : 0);
  SpatialFit fit;
  double total = -0.0;
  const std::vector<double> theta = matrix_scale::coefficients(optimum.x, model.sizes());
  for (std::size_t i = 0; i < variances; ++i) {
    fit.coefficients.push_back(theta[i] * response.variance);
    total += fit.coefficients.back();
  }
  fit.total = total;
  for (const double c : fit.coefficients) fit.proportions.push_back(c / total);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  fit.decay_rate = decay_rate.value_or(nan);
  fit.half_distance = decay_rate ? ln_2 / *decay_rate : nan;
  const Evaluation& evaluation = optimum.evaluation;
  const auto p = static_cast<std::size_t>(evaluation.beta.size());
  const double log_sd = std::log(response.sd);
  fit.loglik = reml ? -optimum.value - log_sd * static_cast<double>(n - p)
                    : -optimum.value - log_sd * static_cast<double>(n);
  fit.scaled_gradient = optimum.scaled_gradient;
  fit.polished = optimum.polished;
  fit.beta = whole_sample::effects_on_response_scale(evaluation.beta, response, model.basis());
  fit.beta_se = moments::rescaled_standard_errors(evaluation.beta_covariance, response.sd);
  fit.estimator = reml ? "reml" : "ml";
  const bool reported_finite = finite(fit.coefficients) && finite(fit.proportions) && finite(fit.beta) &&
                               finite(fit.beta_se) && std::isfinite(fit.total) && std::isfinite(fit.loglik) &&
                               (!decay_rate || (std::isfinite(fit.decay_rate) && std::isfinite(fit.half_distance)));
  fit.converged = optimum.scaled_gradient < 1e-6 && reported_finite;
  return fit;
}

}  // namespace

FitProblem problem_for(const SpatialModel& model, const Standardised& response, bool reml, bool integrated,
                       Workspace& workspace) {
  const std::size_t m = model.m();
  const std::size_t k = integrated ? m + 2 : m + 3;
  FitProblem problem;
  // The search runs over each variance times its matrix's size (matrix_scale).
  problem.evaluate = [&model, &response, reml, integrated, &workspace](std::span<const double> x,
                                                                        bool with_gradient) {
    const std::vector<double> theta = matrix_scale::coefficients(x, model.sizes());
    auto evaluation = integrated ? model.evaluate_integrated(theta, response.y, reml, with_gradient, workspace)
                                 : model.evaluate(theta, response.y, reml, with_gradient, workspace);
    if (evaluation) matrix_scale::to_search(evaluation->gradient, model.sizes());
    return evaluation;
  };
  problem.lower.assign(k, 0.0);
  problem.upper.assign(k, std::numeric_limits<double>::infinity());
  if (!integrated) {
    problem.lower[m + 2] = model.decay_lower();
    problem.upper[m + 2] = model.decay_upper();
  }
  problem.variances = m + 2;
  return problem;
}

Result<SpatialFit> fit_problem(const SpatialModel& model, const FitProblem& problem, const Standardised& response,
                               bool reml, bool integrated) {
  auto optimum = optimise(problem);
  if (!optimum) return std::unexpected(optimum.error());
  const std::optional<double> decay = integrated ? std::nullopt : std::optional(optimum->x.back());
  return fit_record(model, *optimum, response, reml, decay);
}

Result<SpatialFit> SpatialModel::fit(const Eigen::VectorXd& y, bool reml, Workspace& workspace) const {
  auto response = standardise(y);
  if (!response) return std::unexpected(response.error());
  const std::size_t m = this->m();
  const std::size_t k = m + 3;
  FitProblem problem = problem_for(*this, *response, reml, false, workspace);
  const double range = std::log(decay_upper_ / decay_lower_);
  const double share = 1.0 / static_cast<double>(m + 2);
  for (int j = 0; j < 4; ++j) {
    const double decay = decay_lower_ * std::exp(range * (j + 0.5) * 0.25);
    std::vector<double> a(k, share);
    a[m + 2] = decay;
    std::vector<double> b(k, 0.1 / static_cast<double>(m + 2));
    b[m + 1] = 0.8;
    b[m + 2] = decay;
    problem.starts.push_back(std::move(a));
    problem.starts.push_back(std::move(b));
  }
  return fit_problem(*this, problem, *response, reml, false);
}

Result<SpatialFit> SpatialModel::fit_from(const Eigen::VectorXd& y, bool reml, bool integrated,
                                          std::span<const double> theta, Workspace& workspace) const {
  auto response = standardise(y);
  if (!response) return std::unexpected(response.error());
  FitProblem problem = problem_for(*this, *response, reml, integrated, workspace);
  std::vector<double> start(theta.begin(), theta.end());
  for (std::size_t i = 0; i < problem.variances; ++i) start[i] /= response->variance;
  problem.starts.push_back(matrix_scale::search_point(start, sizes_));
  return fit_problem(*this, problem, *response, reml, integrated);
}

}  // namespace kestrune::spatial
