#include "numerics/design_basis.hpp"

#include <cmath>

#include <Eigen/QR>

namespace kestrune::design_basis {

namespace {

// X = Q R, thin, by Householder reflections: backward stable, so Q's columns are orthogonal to
// rounding however ill-conditioned X is.
struct ThinQr {
  Eigen::MatrixXd q, r;
};

ThinQr thin_qr(const Eigen::MatrixXd& x) {
  const Eigen::Index n = x.rows(), p = x.cols();
  const Eigen::HouseholderQR<Eigen::MatrixXd> qr(x);
  return {qr.householderQ() * Eigen::MatrixXd::Identity(n, p),
          qr.matrixQR().topRows(p).triangularView<Eigen::Upper>()};
}

bool factorable(const Eigen::MatrixXd& x) { return x.cols() > 0 && x.rows() >= x.cols(); }

}  // namespace

Basis Basis::orthogonal(const Eigen::MatrixXd& x) {
  if (!factorable(x)) return Basis(x, Eigen::MatrixXd::Identity(x.cols(), x.cols()), 0.0);
  auto [q, r] = thin_qr(x);
  const Eigen::VectorXd d = r.diagonal();
  Eigen::MatrixXd columns = q * d.asDiagonal();
  columns.col(0) = x.col(0);  // r_00 q_0 is x_0 to rounding; U's first column is e_0 exactly
  Eigen::MatrixXd map = d.cwiseInverse().asDiagonal() * r;
  map.diagonal().setOnes();
  return Basis(std::move(columns), std::move(map), 0.0);
}

Basis Basis::standardised(const Eigen::MatrixXd& x) {
  if (!factorable(x)) return Basis(x, Eigen::MatrixXd::Identity(x.cols(), x.cols()), 0.0);
  const double root_n = std::sqrt(static_cast<double>(x.rows()));
  auto [q, r] = thin_qr(x);
  Eigen::MatrixXd map = r / root_n;
  const double log_det = map.diagonal().cwiseAbs().array().log().sum();
  return Basis(q * root_n, std::move(map), log_det);
}

double Basis::log_det_gram() const {
  double sum = 2.0 * log_det_;
  for (Eigen::Index j = 0; j < columns_.cols(); ++j) sum += std::log(columns_.col(j).squaredNorm());
  return sum;
}

Eigen::VectorXd Basis::coefficients(const Eigen::Ref<const Eigen::VectorXd>& on_basis) const {
  return map_.triangularView<Eigen::Upper>().solve(on_basis);
}

Eigen::VectorXd Basis::on_basis(const Eigen::Ref<const Eigen::VectorXd>& coefficients) const {
  return map_.triangularView<Eigen::Upper>() * coefficients;
}

Eigen::MatrixXd Basis::covariance(const Eigen::Ref<const Eigen::MatrixXd>& on_basis) const {
  const Eigen::MatrixXd half = map_.triangularView<Eigen::Upper>().solve(on_basis);
  Eigen::MatrixXd out = map_.triangularView<Eigen::Upper>().solve(half.transpose()).transpose();
  return (out + out.transpose()) / 2.0;
}

Eigen::VectorXd Basis::standard_errors(const Eigen::Ref<const Eigen::MatrixXd>& on_basis) const {
  return covariance(on_basis).diagonal().cwiseMax(0.0).cwiseSqrt();
}

}  // namespace kestrune::design_basis
