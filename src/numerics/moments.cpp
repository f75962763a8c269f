#include "numerics/moments.hpp"

#include <cmath>

namespace kestrune::moments {

Moments population_moments(const Eigen::Ref<const Eigen::VectorXd>& values) {
  const auto n = static_cast<double>(values.size());
  double sum = 0.0;
  for (Eigen::Index i = 0; i < values.size(); ++i) sum += values(i);
  const double mean = sum / n;
  double squares = 0.0;
  for (Eigen::Index i = 0; i < values.size(); ++i) squares += (values(i) - mean) * (values(i) - mean);
  return {mean, squares / n};
}

double standardising_variance(const Eigen::Ref<const Eigen::VectorXd>& response,
                              const Eigen::Ref<const Eigen::VectorXd>& residual) {
  const double variance = population_moments(residual).variance;
  return variance > 0.0 ? variance : population_moments(response).variance;
}

std::vector<double> rescaled_standard_errors(const Eigen::MatrixXd& covariance, double sd) {
  std::vector<double> errors;
  errors.reserve(static_cast<std::size_t>(covariance.rows()));
  for (Eigen::Index i = 0; i < covariance.rows(); ++i)
    errors.push_back(sd * std::sqrt(std::fmax(covariance(i, i), 0.0)));
  return errors;
}

}  // namespace kestrune::moments
