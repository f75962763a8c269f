#include "numerics/matrix_scale.hpp"

#include <algorithm>
#include <cmath>

namespace kestrune::matrix_scale {

double matrix_scale(const Eigen::MatrixXd& a) {
  if (a.size() == 0) return 1.0;
  const double diagonal = a.diagonal().mean();
  return diagonal > 0.0 && std::isfinite(diagonal) ? diagonal : 1.0;
}

std::vector<double> sizes(std::span<const Eigen::MatrixXd> fixed, std::size_t others) {
  std::vector<double> out;
  out.reserve(fixed.size() + others);
  for (const Eigen::MatrixXd& a : fixed) out.push_back(matrix_scale(a));
  out.insert(out.end(), others, 1.0);
  return out;
}

std::vector<double> coefficients(std::span<const double> x, std::span<const double> sizes) {
  std::vector<double> c(x.begin(), x.end());
  for (std::size_t i = 0; i < std::min(c.size(), sizes.size()); ++i) c[i] /= sizes[i];
  return c;
}

std::vector<double> search_point(std::span<const double> c, std::span<const double> sizes) {
  std::vector<double> x(c.begin(), c.end());
  for (std::size_t i = 0; i < std::min(x.size(), sizes.size()); ++i) x[i] *= sizes[i];
  return x;
}

void to_search(std::vector<double>& gradient, std::span<const double> sizes) {
  for (std::size_t i = 0; i < std::min(gradient.size(), sizes.size()); ++i) gradient[i] /= sizes[i];
}

}  // namespace kestrune::matrix_scale
