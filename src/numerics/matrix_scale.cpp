#include "numerics/matrix_scale.hpp"

#include <algorithm>
#include <cmath>

namespace kestrune::matrix_scale {

double size_of(double absolute_diagonal, double squared_entries, double n) {
  const double size = std::fmax(absolute_diagonal / n, std::sqrt(squared_entries) / n);
  return size > 0.0 && std::isfinite(size) ? size : 1.0;
}

double matrix_scale(const Eigen::MatrixXd& a) {
  return size_of(a.diagonal().cwiseAbs().sum(), a.squaredNorm(), static_cast<double>(a.rows()));
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
