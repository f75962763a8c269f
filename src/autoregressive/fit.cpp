#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "autoregressive/model.hpp"
#include "compat_lbfgsb/bounds.hpp"
#include "compat_lbfgsb/run.hpp"
#include "numerics/convergence.hpp"
#include "numerics/matrix_scale.hpp"
#include "numerics/moments.hpp"
#include "numerics/multistart.hpp"

namespace kestrune::autoregressive {
namespace {

constexpr double ln_2 = 0.6931471805599453;
constexpr double infinity = std::numeric_limits<double>::infinity();

struct Candidate {
  std::vector<double> theta;
  double value;
};

// The ten starts: equal or small coefficients with rates (0, 0), (0.3, 0.3), (0.6, 0.6),
// (0.9, 0.9), then equal coefficients with (0.9, 0.1) and (0.1, 0.9).
std::vector<std::vector<double>> starts(std::size_t m) {
  const double e = 1.0 / static_cast<double>(m + 2), f = 0.1 / static_cast<double>(m + 2);
  auto start = [&](bool equal, double rho_row, double rho_col) {
    std::vector<double> theta(m + 4, equal ? e : f);
    if (!equal) theta[m + 1] = 0.8;
    theta[m + 2] = rho_row;
    theta[m + 3] = rho_col;
    return theta;
  };
  std::vector<std::vector<double>> list;
  for (const double rho : {0.0, 0.3, 0.6, 0.9}) {
    list.push_back(start(true, rho, rho));
    list.push_back(start(false, rho, rho));
  }
  list.push_back(start(true, 0.9, 0.1));
  list.push_back(start(true, 0.1, 0.9));
  return list;
}

bool reports_finite(const AutoregressiveFit& fit) {
  for (const auto* values : {&fit.coefficients, &fit.proportions, &fit.beta, &fit.beta_se})
    for (const double v : *values)
      if (!std::isfinite(v)) return false;
  return std::isfinite(fit.total) && std::isfinite(fit.loglik) && std::isfinite(fit.half_distance_row) &&
         std::isfinite(fit.half_distance_col);
}

double half_distance(double rho) {
  if (rho <= 0.0) return 0.0;
  if (rho >= 1.0) return infinity;
  return -ln_2 / std::log(rho);
}

}  // namespace

Result<AutoregressiveFit> AutoregressiveModel::fit(const Eigen::VectorXd& y, bool reml) const {
  const Eigen::Index n = basis_.columns().rows();
  if (y.size() != n) return fail(response_wrong_length);
  const auto response = whole_sample::standardise(least_squares_, y);
  if (!response) return fail(response_constant);
  const Eigen::VectorXd& z = response->y;
  const double sd = response->sd;

  const std::size_t m = fixed_.size(), k = m + 4;
  std::vector<double> lower(k, 0.0), upper(k, infinity);
  upper[m + 2] = upper[m + 3] = rate_upper;

  // One n x n workspace for every evaluation of the fit; value and gradient at one point cost
  // one evaluation. The search runs over each variance times its matrix's size
  // (matrix_scale), so that a matrix in other units moves only its coefficient.
  whole_sample::Workspace workspace;
  const std::vector<double> sizes = matrix_scale::sizes(fixed_, 2);
  const auto at = [&](std::span<const double> x, bool with_gradient) {
    auto e = evaluate(matrix_scale::coefficients(x, sizes), z, reml, with_gradient, workspace);
    if (e) matrix_scale::to_search(e->gradient, sizes);
    return e;
  };
  compat_lbfgsb::compat::LastPointMemo memo([&](std::span<const double> x) { return at(x, true); });
  const compat_lbfgsb::compat::Objective objective = [&](std::span<const double> x) {
    const auto& e = memo(x);
    return e ? e->value : 1e30;
  };
  const compat_lbfgsb::compat::Gradient gradient = [&](std::span<const double> x) {
    const auto& e = memo(x);
    return e ? e->gradient : std::vector<double>(k, 0.0);
  };

  const auto best = multistart::best_of(starts(m), [&](const std::vector<double>& start) -> std::optional<Candidate> {
    auto bounds = compat_lbfgsb::bounds::Bounds::create(lower, upper);
    if (!bounds) return std::nullopt;
    const auto at_start = at(start, false);
    const auto control = multistart::start_controls(
        k, at_start ? std::optional<double>(at_start->value) : std::nullopt, 300, 1000.0, 1e-8);
    const auto run = compat_lbfgsb::compat::run(start, std::move(*bounds), objective, gradient, control);
    if (!run) return std::nullopt;
    const auto end = at(run->par, true);
    if (!end || !std::isfinite(end->value)) return std::nullopt;
    return Candidate{run->par, end->value};
  });
  if (!best) return fail(no_start_converged);

  auto final_eval = at(best->theta, true);
  if (!final_eval) return fail(optimum_not_evaluable);
  std::vector<double> theta = best->theta;
  double value = best->value;
  double scaled =
      convergence::scaled_gradient(convergence::box_measure(final_eval->gradient, theta, lower, upper), value);
  bool polished = false;
  if (!(scaled < 1e-6)) {
    const convergence::Evaluate polish_evaluation =
        [&](std::span<const double> x) -> std::optional<convergence::Evaluation> {
      const auto e = at(x, true);
      if (!e) return std::nullopt;
      return convergence::Evaluation{e->value, convergence::box_measure(e->gradient, x, lower, upper)};
    };
    const auto result =
        convergence::polish(theta, lower, upper, objective, gradient, polish_evaluation, value, scaled);
    if (result) {
      if (auto at_polished = at(result->par, true)) {
        theta = result->par;
        value = result->value;
        scaled = result->scaled_gradient;
        final_eval = std::move(at_polished);
        polished = true;
      }
    }
  }

  AutoregressiveFit fit;
  double total = -0.0;
  const std::vector<double> coefficients = matrix_scale::coefficients(theta, sizes);
  for (std::size_t j = 0; j < m + 2; ++j) {
    fit.coefficients.push_back(coefficients[j] * response->variance);
    total += fit.coefficients.back();
  }
  fit.total = total;
  for (const double coefficient : fit.coefficients) fit.proportions.push_back(coefficient / total);
  fit.rho_row = theta[m + 2];
  fit.rho_col = theta[m + 3];
  fit.half_distance_row = half_distance(fit.rho_row);
  fit.half_distance_col = half_distance(fit.rho_col);
  fit.beta = whole_sample::effects_on_response_scale(final_eval->beta, *response, basis_);
  fit.beta_se = moments::rescaled_standard_errors(*final_eval->beta_covariance, sd);
  const double kept = reml ? static_cast<double>(n - basis_.columns().cols()) : static_cast<double>(n);
  fit.loglik = -value - kept * std::log(sd);
  fit.scaled_gradient = scaled;
  fit.polished = polished;
  fit.converged = scaled < 1e-6 && reports_finite(fit);
  return fit;
}

}  // namespace kestrune::autoregressive
