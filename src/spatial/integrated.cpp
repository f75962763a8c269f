// The decay rate averaged out over twelve rates, evenly spaced on the log scale of the
// decay bounds, each of weight 1/12.
#include <cmath>
#include <limits>
#include <utility>

#include "spatial/fit.hpp"
#include "spatial/model.hpp"

namespace kestrune::spatial {
namespace {

constexpr int nodes = 12;
constexpr int fewest_evaluable = 6;

struct Node {
  double loglik;
  Evaluation evaluation;
};

}  // namespace

std::optional<Evaluation> SpatialModel::evaluate_integrated(std::span<const double> theta, const Eigen::VectorXd& y,
                                                            bool reml, bool with_gradient,
                                                            Workspace& workspace) const {
  const std::size_t variances = m() + 2;
  const double range = std::log(decay_upper_ / decay_lower_);
  std::vector<double> full(theta.begin(), theta.begin() + static_cast<std::ptrdiff_t>(variances));
  full.push_back(0.0);
  std::vector<Node> evaluable;
  for (int j = 0; j < nodes; ++j) {
    full[variances] = decay_lower_ * std::exp(range * (j + 0.5) / nodes);
    auto evaluation = evaluate(full, y, reml, with_gradient, workspace);
    if (evaluation) evaluable.push_back(Node{-evaluation->value, std::move(*evaluation)});
  }
  if (evaluable.size() < fewest_evaluable) return std::nullopt;

  double largest = -std::numeric_limits<double>::infinity();
  for (const Node& node : evaluable) largest = std::fmax(largest, node.loglik);
  double sum = 0.0;
  for (const Node& node : evaluable) sum += std::exp(node.loglik - largest);
  const double loglik = largest + std::log(sum / nodes);
  if (!std::isfinite(loglik)) return std::nullopt;

  const auto p = static_cast<Eigen::Index>(this->p());
  Evaluation mean{std::vector<double>(variances, 0.0), Eigen::VectorXd::Zero(p), Eigen::MatrixXd::Zero(p, p), -loglik};
  std::vector<double> weights;
  for (const Node& node : evaluable) weights.push_back(std::exp(node.loglik - largest) / sum);
  for (std::size_t j = 0; j < evaluable.size(); ++j) {
    const Evaluation& e = evaluable[j].evaluation;
    if (with_gradient) {
      for (std::size_t i = 0; i < variances; ++i) mean.gradient[i] += weights[j] * e.gradient[i];
    }
    mean.beta += weights[j] * e.beta;
  }
  for (std::size_t j = 0; j < evaluable.size(); ++j) {
    const Evaluation& e = evaluable[j].evaluation;
    const Eigen::VectorXd spread = e.beta - mean.beta;
    mean.beta_covariance += weights[j] * e.beta_covariance;
    mean.beta_covariance += weights[j] * (spread * spread.transpose());
  }
  return mean;
}

Result<SpatialFit> SpatialModel::fit_integrated(const Eigen::VectorXd& y, bool reml, Workspace& workspace) const {
  auto response = standardise(y);
  if (!response) return std::unexpected(response.error());
  const std::size_t m = this->m();
  const std::size_t k = m + 2;
  FitProblem problem = problem_for(*this, *response, reml, true, workspace);
  problem.starts.emplace_back(k, 1.0 / static_cast<double>(k));
  std::vector<double> second(k, 0.1);
  second[m + 1] = 0.8;
  std::vector<double> third(k, 0.1);
  third[m] = 0.6;
  third[m + 1] = 0.3;
  problem.starts.push_back(std::move(second));
  problem.starts.push_back(std::move(third));
  return fit_problem(*this, problem, *response, reml, true);
}

}  // namespace kestrune::spatial
