#include "numerics/centring.hpp"

#include <cmath>
#include <utility>

#include "numerics/moments.hpp"

namespace kestrune::centring {

LeastSquares::LeastSquares(const Eigen::MatrixXd& x) : x_(x) {
  if (x_.cols() > 0 && x_.rows() > 0) {
    qr_.compute(x_);
    basis_ = rank::column_basis(x_);
  }
}

Eigen::VectorXd LeastSquares::solve(const Eigen::Ref<const Eigen::VectorXd>& values) const {
  if (x_.cols() == 0 || x_.rows() == 0) return Eigen::VectorXd::Zero(x_.cols());
  return qr_.solve(values);
}

Centred LeastSquares::centre(const Eigen::Ref<const Eigen::VectorXd>& values) const {
  Centred out{values, solve(values)};
  if (x_.cols() == 0 || x_.rows() == 0) return out;
  out.residual.noalias() -= x_ * out.coefficients;
  // The first residual carries the rounding of the offset; its own fit removes that.
  const Eigen::VectorXd correction = solve(out.residual);
  out.residual.noalias() -= x_ * correction;
  out.coefficients += correction;
  if (basis_ && basis_->spans(values, static_cast<std::size_t>(x_.cols()) + 1)) out.residual.setZero();
  return out;
}

Eigen::MatrixXd LeastSquares::centre_columns(const Eigen::Ref<const Eigen::MatrixXd>& values) const {
  Eigen::MatrixXd out(values.rows(), values.cols());
  for (Eigen::Index j = 0; j < values.cols(); ++j) out.col(j) = centre(values.col(j)).residual;
  return out;
}

Centred centre(const Eigen::MatrixXd& x, const Eigen::Ref<const Eigen::VectorXd>& values) {
  return LeastSquares(x).centre(values);
}

std::optional<Standardised> standardise(const Eigen::Ref<const Eigen::VectorXd>& response, Centred centred) {
  if (rank::constant_at_rounding(response)) return std::nullopt;
  const double variance = moments::standardising_variance(response, centred.residual);
  if (!(variance > 0.0)) return std::nullopt;
  const double sd = std::sqrt(variance);
  return Standardised{centred.residual / sd, std::move(centred.coefficients), variance, sd};
}

}  // namespace kestrune::centring
