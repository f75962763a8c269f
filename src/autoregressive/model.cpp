#include "autoregressive/model.hpp"

#include <array>
#include <cmath>
#include <unordered_map>
#include <utility>

#include "numerics/dense.hpp"
#include "numerics/rank.hpp"
#include "numerics/whole_sample.hpp"

namespace kestrune::autoregressive {
namespace {

constexpr std::uint64_t distance_cap = 2147483647;

struct PairHash {
  std::size_t operator()(const std::pair<std::int64_t, std::int64_t>& p) const noexcept {
    const auto a = static_cast<std::uint64_t>(p.first), b = static_cast<std::uint64_t>(p.second);
    std::uint64_t h = a * 0x9E3779B97F4A7C15ULL ^ (b + 0x7F4A7C159E3779B9ULL + (a << 6) + (a >> 2));
    h ^= h >> 29;
    return static_cast<std::size_t>(h * 0xBF58476D1CE4E5B9ULL);
  }
};

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

Result<AutoregressiveModel> AutoregressiveModel::build(const std::vector<Eigen::MatrixXd>& fixed,
                                                       std::span<const std::int64_t> row,
                                                       std::span<const std::int64_t> column,
                                                       const matrix_scan::Strided& design) {
  const std::vector<matrix_scan::Strided> views(fixed.begin(), fixed.end());
  return build(views, row, column, design);
}

Result<AutoregressiveModel> AutoregressiveModel::build(std::span<const matrix_scan::Strided> fixed,
                                                       std::span<const std::int64_t> row,
                                                       std::span<const std::int64_t> column,
                                                       const matrix_scan::Strided& design_view) {
  const Eigen::Index n = design_view.rows;
  if (n == 0) return fail(no_rows);
  if (row.size() != static_cast<std::size_t>(n) || column.size() != static_cast<std::size_t>(n)) {
    return fail(cells_wrong_length);
  }
  for (const auto& k : fixed) {
    if (k.rows != n || k.cols != n) return fail(fixed_wrong_size);
  }
  // A NaN in a triangle the factor never reads would still reach every gradient entry.
  for (const auto& k : fixed) {
    if (!matrix_scan::all_finite(k)) return fail(fixed_not_finite);
  }
  if (!matrix_scan::all_finite(design_view)) return fail(design_not_finite);
  // Rank of the design as given, at the rounding level of its columns, by the rule every entry
  // shares; a design wider than tall is refused before it is copied.
  if (rank::too_wide(n, design_view.cols)) return fail(design_rank_deficient);
  const Eigen::MatrixXd design = design_view.copy();
  if (!rank::full_column_rank(design)) return fail(design_rank_deficient);

  AutoregressiveModel model;
  model.cells_ = distinct_cells(row, column);
  model.row_axis_ = make_axis(model.cells_.rows);
  model.column_axis_ = make_axis(model.cells_.columns);
  model.basis_ = design_basis::Basis::orthogonal(design);
  model.least_squares_ = centring::LeastSquares(model.basis_.columns());
  model.fixed_ = matrix_scan::copies(fixed);
  model.families_ = whole_sample::plan(model.fixed_, model.cells_.cell_of_person, model.cells_.rows.size());
  model.log_det_xtx_ = model.basis_.log_det_gram();
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

}  // namespace

const Eigen::MatrixXd& AutoregressiveModel::kernel(double rho_row, double rho_col, double c_ar, Eigen::MatrixXd& r,
                                                    std::array<Eigen::MatrixXd, 2>* slopes) const {
  const auto c = static_cast<Eigen::Index>(cells_.rows.size());
  // Powers once per distinct distance of each axis, then looked up per pair of cells:
  // R_ab = rho_row^dr rho_col^dc, and the slopes d rho^d / d rho = d rho^(d-1) (0 at d = 0).
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
  const std::size_t pairs = cells_.rows.size() * cells_.rows.size();
  r.resize(c, c);
  for (std::size_t i = 0; i < pairs; ++i) r.data()[i] = row_power[row_axis_.index[i]] * col_power[column_axis_.index[i]];
  if (slopes == nullptr) return r;
  // dV / d rho on the cells, already multiplied by c_ar as the whole-sample gradient expects.
  (*slopes)[0].resize(c, c);
  (*slopes)[1].resize(c, c);
  for (std::size_t i = 0; i < pairs; ++i) {
    const std::uint32_t ri = row_axis_.index[i], ci = column_axis_.index[i];
    (*slopes)[0].data()[i] = c_ar * (row_slope[ri] * col_power[ci]);
    (*slopes)[1].data()[i] = c_ar * (row_power[ri] * col_slope[ci]);
  }
  return r;
}

bool AutoregressiveModel::singular_without_residual(std::span<const double> theta,
                                                    whole_sample::Workspace& workspace) const {
  const std::size_t m = fixed_.size();
  const Eigen::MatrixXd& r = kernel(theta[m + 2], theta[m + 3], theta[m], workspace.kernel, nullptr);
  return whole_sample::singular_without_residual(
      whole_sample::GroupedCovariance{fixed_, theta.first(m), cells_.cell_of_person, r, theta[m], 0.0, &families_},
      workspace);
}

std::optional<Evaluation> AutoregressiveModel::evaluate(std::span<const double> theta, const Eigen::VectorXd& y,
                                                        bool reml, bool with_gradient) const {
  whole_sample::Workspace workspace;
  return evaluate(theta, y, reml, with_gradient, workspace);
}

std::optional<Evaluation> AutoregressiveModel::evaluate(std::span<const double> theta, const Eigen::VectorXd& y,
                                                        bool reml, bool with_gradient,
                                                        whole_sample::Workspace& workspace) const {
  const std::size_t m = fixed_.size();
  if (!in_domain(theta, m)) return std::nullopt;
  const double c_ar = theta[m];
  std::array<Eigen::MatrixXd, 2> slopes;
  const Eigen::MatrixXd& r = kernel(theta[m + 2], theta[m + 3], c_ar, workspace.kernel, with_gradient ? &slopes : nullptr);

  const whole_sample::GroupedCovariance covariance{fixed_, theta.first(m), cells_.cell_of_person, r, c_ar,
                                                   theta[m + 1], &families_};
  auto likelihood = whole_sample::whole_sample_likelihood(
      covariance, whole_sample::Design{basis_.columns(), log_det_xtx_, &basis_}, y, reml,
      with_gradient ? std::span<const Eigen::MatrixXd>(slopes) : std::span<const Eigen::MatrixXd>(), with_gradient,
      workspace);
  if (!likelihood) return std::nullopt;
  Evaluation result;
  result.value = likelihood->value;
  result.beta = std::move(likelihood->beta);
  if (with_gradient) {
    result.gradient = std::move(likelihood->gradient);
    result.beta_covariance = std::move(likelihood->beta_covariance);
  } else {
    result.gradient.assign(m + 4, 0.0);
  }
  return result;
}

}  // namespace kestrune::autoregressive
