#include "autoregressive/model.hpp"

#include <cmath>
#include <unordered_map>
#include <utility>

#include "numerics/dense.hpp"

namespace kestrune::autoregressive {
namespace {

constexpr double ln_2pi = 1.8378770664093453;
constexpr std::uint64_t distance_cap = 2147483647;

struct PairHash {
  std::size_t operator()(const std::pair<std::int64_t, std::int64_t>& p) const noexcept {
    const auto a = static_cast<std::uint64_t>(p.first), b = static_cast<std::uint64_t>(p.second);
    std::uint64_t h = a * 0x9E3779B97F4A7C15ULL ^ (b + 0x7F4A7C159E3779B9ULL + (a << 6) + (a >> 2));
    h ^= h >> 29;
    return static_cast<std::size_t>(h * 0xBF58476D1CE4E5B9ULL);
  }
};

bool all_finite(const Eigen::MatrixXd& m) { return m.allFinite(); }

// ln det of a factor as 2 * sum ln L_jj, the sum from -0.0 in index order.
double log_determinant(const dense::DenseFactor& factor) {
  return factor.order() == 0 ? -0.0 : factor.logdet();
}

}  // namespace

Cells distinct_cells(std::span<const std::int64_t> row, std::span<const std::int64_t> column) {
  Cells cells;
  cells.cell_of_person.reserve(row.size());
  std::unordered_map<std::pair<std::int64_t, std::int64_t>, std::size_t, PairHash> index;
  index.reserve(row.size());
  for (std::size_t i = 0; i < row.size(); ++i) {
    const auto [at, inserted] = index.try_emplace({row[i], column[i]}, cells.rows.size());
    if (inserted) {
      cells.rows.push_back(row[i]);
      cells.columns.push_back(column[i]);
    }
    cells.cell_of_person.push_back(at->second);
  }
  return cells;
}

std::uint64_t capped_distance(std::int64_t a, std::int64_t b) {
  const auto ua = static_cast<std::uint64_t>(a), ub = static_cast<std::uint64_t>(b);
  const std::uint64_t d = a >= b ? ua - ub : ub - ua;
  return d < distance_cap ? d : distance_cap;
}

double integer_power(double x, std::uint64_t d) {
  double result = 1.0;
  while (d != 0) {
    if (d & 1U) result *= x;
    d >>= 1U;
    if (d != 0) x *= x;
  }
  return result;
}

AutoregressiveModel::Axis AutoregressiveModel::make_axis(const std::vector<std::int64_t>& coordinate) {
  const std::size_t c = coordinate.size();
  Axis axis;
  axis.index.resize(c * c);
  std::unordered_map<std::uint64_t, std::uint32_t> seen;
  for (std::size_t b = 0; b < c; ++b) {
    for (std::size_t a = b; a < c; ++a) {
      const std::uint64_t d = capped_distance(coordinate[a], coordinate[b]);
      const auto [at, inserted] = seen.try_emplace(d, static_cast<std::uint32_t>(axis.distances.size()));
      if (inserted) axis.distances.push_back(d);
      axis.index[a + b * c] = axis.index[b + a * c] = at->second;
    }
  }
  return axis;
}

Result<AutoregressiveModel> AutoregressiveModel::build(std::vector<Eigen::MatrixXd> fixed,
                                                       std::span<const std::int64_t> row,
                                                       std::span<const std::int64_t> column,
                                                       Eigen::MatrixXd design) {
  const Eigen::Index n = design.rows();
  if (n == 0) return fail(no_rows);
  if (row.size() != static_cast<std::size_t>(n) || column.size() != static_cast<std::size_t>(n)) {
    return fail(cells_wrong_length);
  }
  for (const auto& k : fixed) {
    if (k.rows() != n || k.cols() != n) return fail(fixed_wrong_size);
  }
  // A NaN in a triangle the factor never reads would still reach every gradient entry.
  for (const auto& k : fixed) {
    if (!all_finite(k)) return fail(fixed_not_finite);
  }
  if (!all_finite(design)) return fail(design_not_finite);
  const Eigen::MatrixXd xtx = design.transpose() * design;
  const auto factor = dense::DenseFactor::make(xtx);
  if (!factor) return fail(design_rank_deficient);
  const double log_det_xtx = log_determinant(*factor);
  if (!std::isfinite(log_det_xtx)) return fail(design_rank_deficient);

  AutoregressiveModel model;
  model.cells_ = distinct_cells(row, column);
  model.row_axis_ = make_axis(model.cells_.rows);
  model.column_axis_ = make_axis(model.cells_.columns);
  model.design_ = std::move(design);
  model.fixed_ = std::move(fixed);
  model.log_det_xtx_ = log_det_xtx;
  return model;
}

namespace {

bool in_domain(std::span<const double> theta, std::size_t m) {
  bool any_positive = false;
  for (std::size_t i = 0; i < m + 2; ++i) {
    if (!std::isfinite(theta[i]) || theta[i] < 0.0) return false;
    any_positive = any_positive || theta[i] > 0.0;
  }
  for (std::size_t i = m + 2; i < m + 4; ++i) {
    if (!std::isfinite(theta[i]) || theta[i] < 0.0 || theta[i] > rate_upper) return false;
  }
  return any_positive;
}

// sum_ab M_ab W_ab over the c x c cell matrices.
double cell_dot(const Eigen::MatrixXd& m, const Eigen::MatrixXd& w) { return m.cwiseProduct(w).sum(); }

}  // namespace

std::optional<Evaluation> AutoregressiveModel::evaluate(std::span<const double> theta, const Eigen::VectorXd& y,
                                                        bool reml, bool with_gradient) const {
  const std::size_t m = fixed_.size();
  if (!in_domain(theta, m)) return std::nullopt;
  const double rho_row = theta[m + 2], rho_col = theta[m + 3];
  const double c_ar = theta[m], c_res = theta[m + 1];
  const Eigen::Index n = design_.rows(), p = design_.cols();
  const std::size_t c = cells_.rows.size();

  // Powers once per distinct distance of each axis, then looked up per pair of cells.
  auto powers = [](const Axis& axis, double rho, std::vector<double>& power, std::vector<double>& slope) {
    power.resize(axis.distances.size());
    slope.resize(axis.distances.size());
    for (std::size_t k = 0; k < axis.distances.size(); ++k) {
      const std::uint64_t d = axis.distances[k];
      power[k] = integer_power(rho, d);
      slope[k] = d == 0 ? 0.0 : static_cast<double>(d) * integer_power(rho, d - 1);
    }
  };
  std::vector<double> row_power, row_slope, col_power, col_slope;
  powers(row_axis_, rho_row, row_power, row_slope);
  powers(column_axis_, rho_col, col_power, col_slope);

  Eigen::MatrixXd r(c, c);
  for (std::size_t i = 0; i < c * c; ++i) r.data()[i] = row_power[row_axis_.index[i]] * col_power[column_axis_.index[i]];

  Eigen::MatrixXd v = Eigen::MatrixXd::Zero(n, n);
  for (std::size_t k = 0; k < m; ++k) {
    if (theta[k] != 0.0) v += theta[k] * fixed_[k];
  }
  const auto& of = cells_.cell_of_person;
  if (c_ar != 0.0) {
    for (Eigen::Index j = 0; j < n; ++j) {
      for (Eigen::Index i = 0; i < n; ++i) v(i, j) += c_ar * r(of[i], of[j]);
    }
  }
  v.diagonal().array() += c_res;

  const auto factor = dense::DenseFactor::make(v, dense::DenseFactor::Route::lapack);
  if (!factor) return std::nullopt;
  const double logdet_v = log_determinant(*factor);
  if (!std::isfinite(logdet_v)) return std::nullopt;
  v.resize(0, 0);  // no longer needed: the inverse below takes its place

  const Eigen::VectorXd vinv_y = factor->solve_vector(y);
  const Eigen::MatrixXd vinv_x = factor->solve_matrix(design_);
  const Eigen::MatrixXd a = design_.transpose() * vinv_x;
  const Eigen::VectorXd b = design_.transpose() * vinv_y;
  const auto a_factor = dense::DenseFactor::make(a);
  if (!a_factor) return std::nullopt;
  Evaluation result;
  result.beta = a_factor->solve_vector(b);
  const double q = y.dot(vinv_y) - b.dot(result.beta);
  if (!std::isfinite(q) || !(q > 0.0)) return std::nullopt;

  double value = 0.5 * (static_cast<double>(n) * ln_2pi + logdet_v + q);
  if (reml) {
    value += 0.5 * (log_determinant(*a_factor) - log_det_xtx_) - static_cast<double>(p) / 2.0 * ln_2pi;
  }
  result.value = value;
  result.gradient.assign(m + 4, 0.0);
  if (!with_gradient) return result;

  const Eigen::MatrixXd a_inverse = a_factor->inverse();
  const Eigen::VectorXd py = vinv_y - vinv_x * result.beta;
  const Eigen::MatrixXd vinv = factor->inverse();

  // tr(V^-1 M) - Py' M Py - [REML] tr(A^-1 (V^-1 X)' M (V^-1 X)), halved.
  auto half_terms = [&](const Eigen::MatrixXd& mt) {
    double trace = vinv.cwiseProduct(mt).sum();
    const Eigen::VectorXd m_py = mt * py;
    double term = trace - py.dot(m_py);
    if (reml) term -= (a_inverse * (vinv_x.transpose() * (mt * vinv_x))).trace();
    return 0.5 * term;
  };
  for (std::size_t k = 0; k < m; ++k) result.gradient[k] = half_terms(fixed_[k]);
  {
    double term = vinv.trace() - py.squaredNorm();
    if (reml) term -= (a_inverse * (vinv_x.transpose() * vinv_x)).trace();
    result.gradient[m + 1] = 0.5 * term;
  }

  // The autoregressive entries depend on people only through their cells: sum V^-1, Py and
  // V^-1 X over the members of each cell once, then work with c x c matrices.
  Eigen::MatrixXd by_cell_rows = Eigen::MatrixXd::Zero(static_cast<Eigen::Index>(c), n);
  for (Eigen::Index j = 0; j < n; ++j) {
    for (Eigen::Index i = 0; i < n; ++i) by_cell_rows(of[i], j) += vinv(i, j);
  }
  Eigen::MatrixXd w = Eigen::MatrixXd::Zero(c, c);
  for (Eigen::Index j = 0; j < n; ++j) w.col(of[j]) += by_cell_rows.col(j);
  Eigen::VectorXd u = Eigen::VectorXd::Zero(c);
  Eigen::MatrixXd g = Eigen::MatrixXd::Zero(c, p);
  for (Eigen::Index i = 0; i < n; ++i) {
    u(of[i]) += py(i);
    g.row(of[i]) += vinv_x.row(i);
  }
  Eigen::MatrixXd combined = w - u * u.transpose();
  if (reml) combined -= g * a_inverse * g.transpose();

  result.gradient[m] = 0.5 * cell_dot(r, combined);
  if (c_ar != 0.0) {
    double row_sum = 0.0, col_sum = 0.0;
    for (std::size_t i = 0; i < c * c; ++i) {
      const std::uint32_t ri = row_axis_.index[i], ci = column_axis_.index[i];
      row_sum += row_slope[ri] * col_power[ci] * combined.data()[i];
      col_sum += row_power[ri] * col_slope[ci] * combined.data()[i];
    }
    result.gradient[m + 2] = 0.5 * c_ar * row_sum;
    result.gradient[m + 3] = 0.5 * c_ar * col_sum;
  }
  result.beta_covariance = a_inverse;
  return result;
}

}  // namespace kestrune::autoregressive
