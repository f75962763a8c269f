#include "numerics/moments.hpp"

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

}  // namespace kestrune::moments
