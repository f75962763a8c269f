#include "spatial/fit.hpp"

#include <cmath>
#include <limits>
#include <utility>

#include "numerics/matrix_scale.hpp"
#include "numerics/moments.hpp"
#include "numerics/whole_sample_search.hpp"

namespace kestrune::spatial {

Result<Optimum> optimise(const FitProblem& problem) {
  whole_sample::SearchProblem search{
      [&](std::span<const double> x, bool with_gradient) -> std::optional<whole_sample::Point> {
        auto e = problem.evaluate(x, with_gradient);
        if (!e) return std::nullopt;
        return whole_sample::Point{e->value, std::move(e->gradient)};
      },
      problem.starts, problem.lower, problem.upper, problem.variances, problem.people, problem.kernel_shapes,
      problem.singular_without_residual};
  auto end = whole_sample::search(search);
  if (!end) return fail("SPATIAL_NO_START_CONVERGED");
  auto evaluation = problem.evaluate(end->x, true);
  if (!evaluation) return fail("SPATIAL_OPTIMUM_NOT_EVALUABLE");
  return Optimum{std::move(end->x), end->value, std::move(*evaluation), end->scaled_gradient, end->converged,
                 end->polished};
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
  fit.converged = optimum.converged && reported_finite;
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
  problem.people = model.n();
  if (!integrated) {
    // The decay bounds and seven rates evenly between them on the log scale.
    const double range = std::log(model.decay_upper() / model.decay_lower());
    for (int j = 0; j <= 8; ++j) problem.kernel_shapes.push_back({model.decay_lower() * std::exp(range * j / 8.0)});
    problem.kernel_shapes.front() = {model.decay_lower()};
    problem.kernel_shapes.back() = {model.decay_upper()};
  }
  if (!reml) {
    problem.singular_without_residual = [&model, integrated, &workspace](std::span<const double> x) {
      std::vector<double> theta = matrix_scale::coefficients(x, model.sizes());
      // Integrated out, the spatial kernel at the middle of the decay range.
      if (integrated) theta.push_back(std::sqrt(model.decay_lower() * model.decay_upper()));
      return model.singular_without_residual(theta, workspace);
    };
  }
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
