#include "tobit/standardised.hpp"

#include <cmath>
#include <limits>

#include "numerics/centring.hpp"
#include "numerics/rank.hpp"

namespace kestrune::tobit {

Standardised Standardised::unchanged(std::span<const double> value, std::span<const double> limit, std::size_t p) {
  Standardised trait;
  trait.value.assign(value.begin(), value.end());
  trait.limit.assign(limit.begin(), limit.end());
  trait.offset = Eigen::VectorXd::Zero(static_cast<Eigen::Index>(p));
  trait.start_effects.assign(p, 0.0);
  return trait;
}

std::vector<double> Standardised::effects(const design_basis::Basis& basis, std::span<const double> standard) const {
  const Eigen::VectorXd out =
      basis.coefficients(offset + scale * Eigen::Map<const Eigen::VectorXd>(standard.data(), offset.size()));
  return {out.begin(), out.end()};
}

double Standardised::loglik(double standard) const {
  return standard - static_cast<double>(measured) * std::log(scale);
}

std::vector<double> Standardised::standard_effects(const design_basis::Basis& basis,
                                                   std::span<const double> effects) const {
  const Eigen::VectorXd out =
      (basis.on_basis(Eigen::Map<const Eigen::VectorXd>(effects.data(), std::ssize(effects))) - offset) / scale;
  return {out.begin(), out.end()};
}

Standardised standardise(const design_basis::Basis& basis, std::span<const double> value,
                         std::span<const Censoring> censoring, std::span<const double> limit) {
  const Eigen::MatrixXd& design = basis.columns();
  const auto n = static_cast<Eigen::Index>(value.size());
  const Eigen::Index p = design.cols();
  std::vector<Eigen::Index> rows;
  for (Eigen::Index i = 0; i < n; ++i)
    if (censoring[i] == Censoring::Measured) rows.push_back(i);
  const auto m = static_cast<Eigen::Index>(rows.size());
  const Eigen::MatrixXd x = design(rows, Eigen::all);
  Eigen::VectorXd y(m);
  for (Eigen::Index k = 0; k < m; ++k) y[k] = value[rows[k]];
  const centring::Centred centred = centring::LeastSquares(x).centre(y);

  Standardised trait;
  trait.offset = centred.coefficients;
  trait.measured = rows.size();
  // The values' deviations from their mean, written without their offset: (r - mean r) plus
  // the centred columns times the coefficients, where an intercept's column vanishes.
  const double residual_mean = centred.residual.mean();
  const Eigen::RowVectorXd column_mean = x.colwise().mean();
  const Eigen::VectorXd deviation =
      (centred.residual.array() - residual_mean).matrix() + (x.rowwise() - column_mean) * centred.coefficients;
  // The spread as largest deviation times a root mean square of at most 1: no overflow for
  // values near the largest double.
  const double largest = deviation.cwiseAbs().maxCoeff();
  const double spread =
      largest > 0.0 ? largest * std::sqrt((deviation / largest).squaredNorm() / static_cast<double>(m)) : 0.0;
  if (rank::constant_at_rounding(y) || !(spread > 0.0) || !std::isfinite(spread)) {
    const double variance = spread * spread;
    trait.start_log_variance = std::log(variance > 1e-12 ? variance : 1e-12);
  } else {
    trait.scale = spread;
  }

  // The first fixed effect starts at u times the measured mean, r-bar + x-bar . offset, the
  // others at 0 (u = U's first diagonal entry, so that B's first column times it is X's first);
  // less the offset, with the first column's own share written as (u x-bar_0 - 1) offset_0.
  trait.start_effects.assign(static_cast<std::size_t>(p), 0.0);
  if (p > 0) {
    const double u = basis.on_basis(Eigen::VectorXd::Unit(p, 0))[0];
    double first = u * residual_mean + (u * column_mean[0] - 1.0) * trait.offset[0];
    for (Eigen::Index j = 1; j < p; ++j) first += u * column_mean[j] * trait.offset[j];
    trait.start_effects[0] = first / trait.scale;
    for (Eigen::Index j = 1; j < p; ++j) trait.start_effects[j] = -trait.offset[j] / trait.scale;
  }

  const double unread = std::numeric_limits<double>::quiet_NaN();
  trait.value.assign(value.size(), unread);
  trait.limit.assign(value.size(), unread);
  for (Eigen::Index k = 0; k < m; ++k) trait.value[rows[k]] = centred.residual[k] / trait.scale;
  for (Eigen::Index i = 0; i < n; ++i) {
    if (censoring[i] == Censoring::Measured) continue;
    trait.limit[i] = (limit[i] - design.row(i).dot(trait.offset)) / trait.scale;
  }
  return trait;
}

}  // namespace kestrune::tobit
