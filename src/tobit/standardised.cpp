#include "tobit/standardised.hpp"

#include <cmath>
#include <limits>
#include <vector>

#include "numerics/centring.hpp"
#include "numerics/rank.hpp"

namespace kestrune::tobit {
namespace {

// The largest magnitude times a root mean square of at most 1: no overflow for values near the
// largest double. 0 for no values or only zeros, NaN for an infinite one.
double root_mean_square(const Eigen::Ref<const Eigen::VectorXd>& values) {
  const double largest = values.size() > 0 ? values.cwiseAbs().maxCoeff() : 0.0;
  if (largest == 0.0) return 0.0;
  return largest * std::sqrt((values / largest).squaredNorm() / static_cast<double>(values.size()));
}

}  // namespace

Standardised Standardised::unchanged(std::span<const double> value, std::span<const double> limit, std::size_t p) {
  Standardised trait;
  trait.value.assign(value.begin(), value.end());
  trait.limit.assign(limit.begin(), limit.end());
  trait.offset = Eigen::VectorXd::Zero(static_cast<Eigen::Index>(p));
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
  // Zero only where the design reproduces the measured values; NaN where their fit overflowed,
  // which no search can then evaluate. A fit that overflowed may still leave a residual of zero
  // (values all at the largest double): its offset says so, and no limit can be placed against it.
  const double spread = trait.offset.allFinite() ? root_mean_square(centred.residual)
                                                 : std::numeric_limits<double>::quiet_NaN();
  if (spread != 0.0) {
    trait.scale = spread;
  } else {
    std::vector<double> beyond;
    for (Eigen::Index i = 0; i < n; ++i) {
      if (censoring[i] == Censoring::Measured) continue;
      const double fitted = design.row(i).dot(trait.offset);
      const double gap = censoring[i] == Censoring::AtOrAbove ? limit[i] - fitted : fitted - limit[i];
      if (gap > 0.0 && !rank::constant_at_rounding(Eigen::Vector2d(limit[i], fitted))) beyond.push_back(gap);
    }
    trait.has_maximum = !beyond.empty();
    if (trait.has_maximum) {
      trait.scale = root_mean_square(Eigen::Map<const Eigen::VectorXd>(beyond.data(), std::ssize(beyond)));
    }
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
