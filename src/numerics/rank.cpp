#include "numerics/rank.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace kestrune::rank {
namespace {

constexpr double epsilon = std::numeric_limits<double>::epsilon();
// Units in the last place that a spread may span and still be rounding.
constexpr double constant_ulps = 4.0;
constexpr double pivot_factor = 16.0;
constexpr int moderate_exponent = 400;
constexpr double reorthogonalise_below = 1e-2;

// v less its projection on the orthonormal columns of q, one column after another. Each
// coefficient q_j'v is summed as four interleaved partial sums and the update is elementwise:
// the same bits for a column wherever it sits in memory, alone or among others.
void remove_projection(const Eigen::MatrixXd& q, Eigen::Ref<Eigen::VectorXd> v) {
  const Eigen::Index n = q.rows();
  const double* x = v.data();
  for (Eigen::Index j = 0; j < q.cols(); ++j) {
    const double* qj = q.col(j).data();
    std::array<double, 4> s{0.0, 0.0, 0.0, 0.0};
    Eigen::Index i = 0;
    for (; i + 4 <= n; i += 4) {
      s[0] += qj[i] * x[i];
      s[1] += qj[i + 1] * x[i + 1];
      s[2] += qj[i + 2] * x[i + 2];
      s[3] += qj[i + 3] * x[i + 3];
    }
    for (; i < n; ++i) s[0] += qj[i] * x[i];
    v.noalias() -= ((s[0] + s[1]) + (s[2] + s[3])) * q.col(j);
  }
}

// Whether values from `low` to `high` are one value up to rounding.
bool constant_between(double low, double high) {
  const double magnitude = std::fmax(std::fabs(high), std::fabs(low));
  return high - low <= constant_ulps * epsilon * magnitude;
}

// Whether the nonzero values are one value up to rounding (and there is at least one): a
// column of ones over some rows, such as a group's indicator in a cell-means design.
bool indicator_at_rounding(const Eigen::Ref<const Eigen::VectorXd>& values) {
  double low = std::numeric_limits<double>::infinity(), high = -low;
  for (const double v : values) {
    if (v == 0.0) continue;
    low = std::fmin(low, v);
    high = std::fmax(high, v);
  }
  return low <= high && constant_between(low, high);
}

// 16·p·ε with p at least the columns accepted and the one judged: the relative pivot that
// rounding alone can leave of a response.
double rounding_pivot(std::size_t p, std::size_t accepted) {
  return pivot_factor * static_cast<double>(std::max(p, accepted + 1)) * epsilon;
}

}  // namespace

bool constant_at_rounding(const Eigen::Ref<const Eigen::VectorXd>& values) {
  if (values.size() < 2) return true;
  return constant_between(values.minCoeff(), values.maxCoeff());
}

std::vector<bool> ColumnBasis::beyond_each(Eigen::Ref<Eigen::MatrixXd> columns, std::size_t p) const {
  return judge(columns, std::sqrt(rounding_pivot(p, size())));
}

bool ColumnBasis::spans(const Eigen::Ref<const Eigen::VectorXd>& response, std::size_t p) const {
  Eigen::MatrixXd r = response;
  return !judge(r, rounding_pivot(p, size())).front();
}

std::vector<bool> ColumnBasis::judge(Eigen::Ref<Eigen::MatrixXd> columns, double relative) const {
  const Eigen::Index count = columns.cols();
  std::vector<bool> independent(static_cast<std::size_t>(count), false);
  if (basis_.cols() >= rows_) return independent;
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  // Squares of entries beyond 2^+-400 could overflow or underflow: such a column is judged
  // scaled by a power of two, which changes no verdict. A column with a non-finite entry gets
  // a NaN reference and a NaN norm, and is never independent.
  std::vector<int> exponents(static_cast<std::size_t>(count), 0);
  Eigen::VectorXd reference(count), before(count);
  for (Eigen::Index j = 0; j < count; ++j) {
    auto column = columns.col(j);
    double high = column.maxCoeff(), low = column.minCoeff();
    const double largest = std::fmax(std::fabs(high), std::fabs(low));
    if (!std::isfinite(largest)) {
      reference[j] = before[j] = nan;
      continue;
    }
    const int exponent = largest > 0.0 ? std::ilogb(largest) : 0;
    if (std::abs(exponent) > moderate_exponent) {
      column = column.unaryExpr([exponent](double v) { return std::ldexp(v, -exponent); });
      high = std::ldexp(high, -exponent);
      low = std::ldexp(low, -exponent);
      exponents[static_cast<std::size_t>(j)] = exponent;
    }
    before[j] = column.squaredNorm();
    reference[j] = constant_between(low, high) ? before[j] : offset_free(column, before[j]);
  }
  // Once, and once more for a column that lost most of its norm: one pass leaves an error of a
  // few ulps of the column, which matters only where the residual is far smaller than it. Twice
  // orthogonalised, a residual is accurate to a small multiple of ε times the column's norm.
  const double tolerance = relative * relative;
  for (Eigen::Index j = 0; j < count; ++j) {
    auto column = columns.col(j);
    remove_projection(basis_, column);
    double pivot2 = column.squaredNorm();
    if (pivot2 < reorthogonalise_below * before[j]) {
      remove_projection(basis_, column);
      pivot2 = column.squaredNorm();
    }
    independent[static_cast<std::size_t>(j)] = pivot2 > tolerance * reference[j];
    const int exponent = exponents[static_cast<std::size_t>(j)];
    if (exponent != 0) column = column.unaryExpr([exponent](double v) { return std::ldexp(v, exponent); });
  }
  return independent;
}

std::optional<Eigen::VectorXd> ColumnBasis::beyond(const Eigen::Ref<const Eigen::VectorXd>& column,
                                                   std::size_t columns) const {
  Eigen::MatrixXd r = column;
  if (!beyond_each(r, columns).front()) return std::nullopt;
  return Eigen::VectorXd(r.col(0));
}

bool ColumnBasis::admit(const Eigen::Ref<const Eigen::VectorXd>& column, std::size_t columns, bool accept) {
  const std::optional<Eigen::VectorXd> r = beyond(column, columns);
  if (!r) return false;
  if (accept) {
    basis_.conservativeResize(Eigen::NoChange, basis_.cols() + 1);
    basis_.col(basis_.cols() - 1) = *r / r->norm();
    if (indicator_at_rounding(column)) {
      Eigen::VectorXd unit = column / column.cwiseAbs().maxCoeff();
      remove_projection(offsets_, unit);
      remove_projection(offsets_, unit);
      offsets_.conservativeResize(Eigen::NoChange, offsets_.cols() + 1);
      offsets_.col(offsets_.cols() - 1) = unit / unit.norm();
    }
  }
  return true;
}

double ColumnBasis::offset_free(const Eigen::Ref<const Eigen::VectorXd>& column, double squared_norm) const {
  if (offsets_.cols() == 0) return squared_norm;
  Eigen::VectorXd rest = column;
  remove_projection(offsets_, rest);
  remove_projection(offsets_, rest);
  const double left = rest.squaredNorm();
  // What is left of a column that is itself an offset is the projection's own rounding, a few
  // ulps of the column: such a column is its own reference.
  const double rounding = pivot_factor * epsilon;
  return left <= rounding * rounding * static_cast<double>(offsets_.cols()) * squared_norm ? squared_norm : left;
}

std::optional<ColumnBasis> column_basis(const Eigen::Ref<const Eigen::MatrixXd>& x) {
  if (too_wide(x.rows(), x.cols())) return std::nullopt;
  ColumnBasis basis(x.rows());
  const auto p = static_cast<std::size_t>(x.cols());
  // An intercept anywhere in the design sets every other column's reference: take it first,
  // then the indicators whose sum may span it (a cell-means design), then the rest.
  std::vector<Eigen::Index> order;
  for (Eigen::Index j = 0; j < x.cols(); ++j)
    if (constant_at_rounding(x.col(j))) order.push_back(j);
  for (Eigen::Index j = 0; j < x.cols(); ++j)
    if (!constant_at_rounding(x.col(j)) && indicator_at_rounding(x.col(j))) order.push_back(j);
  for (Eigen::Index j = 0; j < x.cols(); ++j)
    if (!constant_at_rounding(x.col(j)) && !indicator_at_rounding(x.col(j))) order.push_back(j);
  for (const Eigen::Index j : order)
    if (!basis.admit(x.col(j), p)) return std::nullopt;
  return basis;
}

bool above_rounding(double q, double reference, std::size_t p) {
  return std::isfinite(q) && q > pivot_factor * static_cast<double>(p + 1) * epsilon * reference;
}

bool residual_at_rounding(const Eigen::Ref<const Eigen::VectorXd>& residual,
                          const Eigen::Ref<const Eigen::VectorXd>& values, std::size_t p) {
  return residual.stableNorm() <= pivot_factor * static_cast<double>(p + 1) * epsilon * values.stableNorm();
}

bool full_column_rank(const Eigen::Ref<const Eigen::MatrixXd>& x) { return column_basis(x).has_value(); }

bool extends_rank(const Eigen::Ref<const Eigen::MatrixXd>& design, const Eigen::Ref<const Eigen::MatrixXd>& extra) {
  Eigen::MatrixXd whole(design.rows(), design.cols() + extra.cols());
  whole << design, extra;
  return full_column_rank(whole);
}

}  // namespace kestrune::rank
