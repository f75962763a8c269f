#include "numerics/singular_reml.hpp"

#include <cmath>
#include <limits>
#include <vector>

#include <Eigen/Cholesky>
#include <Eigen/Eigenvalues>
#include <Eigen/LU>
#include <Eigen/QR>

namespace kestrune::singular_reml {

std::optional<Limit> limit(const Eigen::Ref<const Eigen::VectorXd>& factors, const Eigen::Ref<const Eigen::MatrixXd>& x,
                           const Eigen::Ref<const Eigen::VectorXd>& y, double zero) {
  const Eigen::Index n = x.rows();
  const Eigen::Index p = x.cols();
  std::vector<Eigen::Index> vanishing, kept;
  for (Eigen::Index i = 0; i < n; ++i) (factors[i] <= zero ? vanishing : kept).push_back(i);
  const auto m = static_cast<Eigen::Index>(vanishing.size());
  if (m == 0 || m > p) return std::nullopt;

  // x_Z' = Q R: x_Z Q = [C 0], so Q's first m columns span the combinations y_Z fixes and the
  // rest those the remaining rows estimate. Z's rows span m dimensions unless a pivot of R is
  // at what rounding leaves of x (each entry of x_Z is a rotated sum over up to n rows of x).
  const Eigen::MatrixXd xz = x(vanishing, Eigen::placeholders::all);
  const Eigen::ColPivHouseholderQR<Eigen::MatrixXd> qr(xz.transpose());
  const double rounding = static_cast<double>(n) * std::numeric_limits<double>::epsilon() * x.norm();
  double log_c = 0.0;
  for (Eigen::Index j = 0; j < m; ++j) {
    const double pivot = std::fabs(qr.matrixQR()(j, j));
    if (!(pivot > rounding)) return std::nullopt;
    log_c += std::log(pivot);
  }
  const Eigen::MatrixXd q = qr.householderQ();
  const Eigen::MatrixXd fixed = q.leftCols(m);
  const Eigen::MatrixXd free = q.rightCols(p - m);
  const Eigen::VectorXd a = (xz * fixed).partialPivLu().solve(y(vanishing));

  const Eigen::MatrixXd xn = x(kept, Eigen::placeholders::all);
  const Eigen::VectorXd rest = y(kept) - xn * (fixed * a);
  const Eigen::MatrixXd x2 = xn * free;
  const Eigen::VectorXd fn = factors(kept);
  double log_factors = 0.0;
  for (const double f : fn) {
    if (!std::isfinite(f) || !(f > 0.0)) return std::nullopt;
    log_factors += std::log(f);
  }
  const Eigen::VectorXd w = fn.cwiseInverse();
  const Eigen::MatrixXd s = x2.transpose() * w.asDiagonal() * x2;
  const Eigen::LLT<Eigen::MatrixXd> llt(s);
  if (llt.info() != Eigen::Success) return std::nullopt;
  double log_s = 0.0;
  for (Eigen::Index j = 0; j < p - m; ++j) {
    const double l = llt.matrixLLT()(j, j);
    if (!std::isfinite(l) || !(l > 0.0)) return std::nullopt;
    log_s += 2.0 * std::log(l);
  }
  const Eigen::VectorXd b = llt.solve(x2.transpose() * w.asDiagonal() * rest);
  const Eigen::VectorXd r = rest - x2 * b;

  Limit result;
  result.beta = fixed * a + free * b;
  result.cov = free * llt.solve(Eigen::MatrixXd::Identity(p - m, p - m)) * free.transpose();
  result.residual_sum_of_squares = r.cwiseAbs2().dot(w);
  result.response_sum_of_squares = rest.cwiseAbs2().dot(w);
  result.log_determinants = log_factors + 2.0 * log_c + log_s;
  return result;
}

bool split_null_into(const Eigen::MatrixXd& v, SplitStorage& storage) {
  storage.eigen.compute(v);
  if (storage.eigen.info() != Eigen::Success) return false;
  NullSplit& split = storage.split;
  split.vectors = storage.eigen.eigenvectors();
  split.values = storage.eigen.eigenvalues();
  split.null = 0;
  const Eigen::Index s = v.rows();
  const double cut = 64.0 * static_cast<double>(s) * std::numeric_limits<double>::epsilon() *
                     split.values.cwiseAbs().maxCoeff();
  for (Eigen::Index i = 0; i < s; ++i) {
    if (split.values(i) < -cut) return false;  // indefinite: no covariance at all
    if (split.values(i) <= cut) split.null = i + 1;
  }
  return true;
}

std::optional<NullSplit> split_null(const Eigen::MatrixXd& v) {
  SplitStorage storage;
  if (!split_null_into(v, storage)) return std::nullopt;
  return std::move(storage.split);
}

void pseudo_inverse(const NullSplit& split, Eigen::Ref<Eigen::MatrixXd> out, Eigen::MatrixXd& scaled) {
  const Eigen::Index s = split.values.size();
  const auto range = split.vectors.rightCols(s - split.null);
  scaled.resize(s, s);
  auto left = scaled.leftCols(s - split.null);
  left.noalias() = range * split.values.tail(s - split.null).cwiseInverse().asDiagonal();
  out.noalias() = left * range.transpose();
}

void pseudo_inverse(const NullSplit& split, Eigen::Ref<Eigen::MatrixXd> out) {
  Eigen::MatrixXd scaled;
  pseudo_inverse(split, out, scaled);
}

Eigen::MatrixXd orthonormal(const Eigen::MatrixXd& basis) {
  return basis * basis.colwise().norm().cwiseInverse().asDiagonal();
}

bool NullDirections::add(const Eigen::Ref<const Eigen::MatrixXd>& rows, const NullSplit& split) {
  for (Eigen::Index i = 0; i < split.null; ++i) {
    const Eigen::VectorXd along = rows.transpose() * split.vectors.col(i);
    if (std::sqrt(std::fmax(1.0 - along.squaredNorm(), 0.0)) > 1e-6) return false;
    along_.conservativeResize(Eigen::NoChange, along_.cols() + 1);
    along_.col(along_.cols() - 1) = along;
  }
  return true;
}

std::optional<Eigen::MatrixXd> NullDirections::complement() const {
  const Eigen::Index p = along_.rows();
  if (along_.cols() == 0 || along_.cols() > p) return std::nullopt;
  const Eigen::HouseholderQR<Eigen::MatrixXd> qr(along_);
  return (qr.householderQ() * Eigen::MatrixXd::Identity(p, p)).rightCols(p - along_.cols());
}

std::optional<DenseFace> dense_face(const Eigen::MatrixXd& v, const Eigen::MatrixXd& basis, Eigen::MatrixXd& pseudo,
                                    SplitStorage& storage) {
  if (!split_null_into(v, storage)) return std::nullopt;
  const NullSplit& split = storage.split;
  const Eigen::MatrixXd q = orthonormal(basis);
  NullDirections directions(basis.cols());
  if (!directions.add(q, split)) return std::nullopt;
  auto complement = directions.complement();
  if (!complement) return std::nullopt;
  double logdet = 0.0;
  for (Eigen::Index i = split.null; i < split.values.size(); ++i) logdet += std::log(split.values(i));
  pseudo.resize(v.rows(), v.cols());
  pseudo_inverse(split, pseudo, storage.scaled);
  Eigen::MatrixXd reduced = q * *complement;
  return DenseFace{std::move(*complement), std::move(reduced), logdet};
}

FaceEffects face_effects(const Eigen::MatrixXd& basis, const Eigen::VectorXd& mean, const Eigen::MatrixXd& complement,
                         const Eigen::Ref<const Eigen::MatrixXd>& c) {
  const Eigen::VectorXd inverse_norms = basis.colwise().norm().transpose().cwiseInverse();
  Eigen::VectorXd beta = inverse_norms.cwiseProduct(inverse_norms.asDiagonal() * (basis.transpose() * mean));
  Eigen::MatrixXd covariance =
      inverse_norms.asDiagonal() * (complement * c * complement.transpose()) * inverse_norms.asDiagonal();
  return {std::move(beta), std::move(covariance)};
}

}  // namespace kestrune::singular_reml
