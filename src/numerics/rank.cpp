#include "numerics/rank.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kestrune::rank {
namespace {

constexpr double epsilon = std::numeric_limits<double>::epsilon();
// Units in the last place that a spread may span and still be rounding.
constexpr double constant_ulps = 4.0;
constexpr double pivot_factor = 16.0;

double squared_deviation(const Eigen::Ref<const Eigen::VectorXd>& v) {
  const double mean = v.mean();
  const double shift = (v.array() - mean).mean();  // second pass: the mean's own rounding
  return (v.array() - (mean + shift)).square().sum();
}

}  // namespace

bool constant_at_rounding(const Eigen::Ref<const Eigen::VectorXd>& values) {
  if (values.size() < 2) return true;
  const double high = values.maxCoeff();
  const double low = values.minCoeff();
  const double magnitude = std::fmax(std::fabs(high), std::fabs(low));
  return high - low <= constant_ulps * epsilon * magnitude;
}

std::optional<Eigen::VectorXd> ColumnBasis::beyond(const Eigen::Ref<const Eigen::VectorXd>& column,
                                                   std::size_t columns) const {
  if (basis_.size() >= static_cast<std::size_t>(rows_)) return std::nullopt;
  if (!column.allFinite()) return std::nullopt;
  const double largest = column.size() == 0 ? 0.0 : column.cwiseAbs().maxCoeff();
  const int exponent = largest > 0.0 ? std::ilogb(largest) : 0;
  const Eigen::VectorXd scaled = column.unaryExpr([exponent](double v) { return std::ldexp(v, -exponent); });
  const bool constant = constant_at_rounding(scaled);
  const double reference = constant || !has_intercept_ ? scaled.squaredNorm() : squared_deviation(scaled);
  Eigen::VectorXd r = scaled;
  for (int pass = 0; pass < 2; ++pass)
    for (const Eigen::VectorXd& q : basis_) r -= q.dot(r) * q;
  const double pivot2 = r.squaredNorm();
  const double p = static_cast<double>(std::max(columns, basis_.size() + 1));
  if (!(pivot2 > pivot_factor * p * epsilon * reference)) return std::nullopt;
  return r.unaryExpr([exponent](double v) { return std::ldexp(v, exponent); });
}

bool ColumnBasis::admit(const Eigen::Ref<const Eigen::VectorXd>& column, std::size_t columns, bool accept) {
  const std::optional<Eigen::VectorXd> r = beyond(column, columns);
  if (!r) return false;
  if (accept) {
    basis_.push_back(*r / r->norm());
    has_intercept_ = has_intercept_ || constant_at_rounding(column);
  }
  return true;
}

std::optional<ColumnBasis> design_basis(const Eigen::Ref<const Eigen::MatrixXd>& x) {
  if (x.cols() > x.rows()) return std::nullopt;
  ColumnBasis basis(x.rows());
  const auto p = static_cast<std::size_t>(x.cols());
  // An intercept anywhere in the design sets every other column's reference: take it first.
  std::vector<Eigen::Index> order;
  for (Eigen::Index j = 0; j < x.cols(); ++j)
    if (constant_at_rounding(x.col(j))) order.push_back(j);
  for (Eigen::Index j = 0; j < x.cols(); ++j)
    if (!constant_at_rounding(x.col(j))) order.push_back(j);
  for (const Eigen::Index j : order)
    if (!basis.admit(x.col(j), p)) return std::nullopt;
  return basis;
}

bool full_column_rank(const Eigen::Ref<const Eigen::MatrixXd>& x) { return design_basis(x).has_value(); }

bool extends_rank(const Eigen::Ref<const Eigen::MatrixXd>& design, const Eigen::Ref<const Eigen::MatrixXd>& extra) {
  Eigen::MatrixXd whole(design.rows(), design.cols() + extra.cols());
  whole << design, extra;
  return full_column_rank(whole);
}

}  // namespace kestrune::rank
