#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "autoregressive/model.hpp"
#include "numerics/matrix_scale.hpp"
#include "numerics/moments.hpp"
#include "numerics/whole_sample_search.hpp"

namespace kestrune::autoregressive {
namespace {

constexpr double ln_2 = 0.6931471805599453;
constexpr double infinity = std::numeric_limits<double>::infinity();

// The rates at which the autoregressive variance is tried when it ends at 0, on each axis.
constexpr std::array<double, 5> shape_rates{0.0, 0.3, 0.6, 0.9, rate_upper};

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

  // One n x n workspace for every evaluation of the fit. The search runs over each variance
  // times its matrix's size (matrix_scale), so that a matrix in other units moves only its
  // coefficient.
  whole_sample::Workspace workspace;
  const std::vector<double> sizes = matrix_scale::sizes(fixed_, 2);
  const auto at = [&](std::span<const double> x, bool with_gradient) {
    auto e = evaluate(matrix_scale::coefficients(x, sizes), z, reml, with_gradient, workspace);
    if (e) matrix_scale::to_search(e->gradient, sizes);
    return e;
  };
  whole_sample::SearchProblem problem{
      [&](std::span<const double> x, bool with_gradient) -> std::optional<whole_sample::Point> {
        auto e = at(x, with_gradient);
        if (!e) return std::nullopt;
        return whole_sample::Point{e->value, std::move(e->gradient)};
      },
      starts(m), lower, upper, m + 2, static_cast<std::size_t>(n), {}, {}};
  // With no autoregressive variance the rates are free: the start rates and the upper bound.
  for (const double rho_row : shape_rates)
    for (const double rho_col : shape_rates) problem.kernel_shapes.push_back({rho_row, rho_col});
  if (!reml) {
    problem.singular_without_residual = [&](std::span<const double> x) {
      return singular_without_residual(matrix_scale::coefficients(x, sizes), workspace);
    };
  }
  const auto end = whole_sample::search(problem);
  if (!end) return fail(no_start_converged);
  const auto final_eval = at(end->x, true);
  if (!final_eval) return fail(optimum_not_evaluable);
  const std::vector<double>& theta = end->x;

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
  fit.loglik = -end->value - kept * std::log(sd);
  fit.scaled_gradient = end->scaled_gradient;
  fit.polished = end->polished;
  fit.converged = end->converged && reports_finite(fit);
  return fit;
}

}  // namespace kestrune::autoregressive
