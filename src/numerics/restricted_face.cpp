#include "numerics/restricted_face.hpp"

#include <cmath>
#include <limits>

#include <Eigen/LU>
#include <Eigen/QR>

#include "numerics/dense.hpp"
#include "numerics/rank.hpp"

namespace kestrune::restricted_face {
namespace {

constexpr double ln_2pi = 1.8378770664093453;
constexpr double epsilon = std::numeric_limits<double>::epsilon();

// What the limit needs of one block: V_b's inverse on its range, its null directions, and the
// block's share of ln pdet V.
struct Inverse {
  Eigen::MatrixXd range;  // V_b^+ (V_b^-1 where V_b is positive definite)
  Eigen::MatrixXd null;   // m x z_b, orthonormal
  double log_determinant = 0.0;
};

std::optional<Inverse> inverse_of(const Block& block) {
  Inverse inverse;
  if (block.split) {
    const singular_reml::NullSplit& split = *block.split;
    inverse.range.resize(split.values.size(), split.values.size());
    singular_reml::pseudo_inverse(split, inverse.range);
    inverse.null = split.vectors.leftCols(split.null);
    for (Eigen::Index i = split.null; i < split.values.size(); ++i) inverse.log_determinant += std::log(split.values(i));
    return inverse;
  }
  const auto factor = dense::DenseFactor::make(block.covariance);
  if (!factor) return std::nullopt;
  factor->symmetric_inverse_into(inverse.range);
  inverse.null.resize(block.covariance.rows(), 0);
  inverse.log_determinant = factor->logdet();
  return inverse;
}

}  // namespace

namespace {

// split_null's cut is 64 m eps times the largest eigenvalue; twice that leaves room for the
// rounding of G's own zero eigenvalues, since the least eigenvalue of G + diag(r) is at least
// the least r less that rounding.
double clear_of_cut(Eigen::Index order, double largest_eigenvalue_bound) {
  return 128.0 * static_cast<double>(order) * epsilon * largest_eigenvalue_bound;
}

}  // namespace

bool may_be_singular(double least_residual, double largest_diagonal, Eigen::Index order) {
  // The largest eigenvalue is at most m times the largest diagonal entry.
  return !(least_residual > clear_of_cut(order, static_cast<double>(order) * largest_diagonal));
}

Reading read_block(const Eigen::MatrixXd& v, double least_residual) {
  const double row_sum = v.cwiseAbs().rowwise().sum().maxCoeff();
  if (least_residual > clear_of_cut(v.rows(), row_sum)) return {};
  auto split = singular_reml::split_null(v);
  if (!split) return {Reading::Kind::refused, {}};
  if (split->null == 0) return {};
  return {Reading::Kind::face, std::move(*split)};
}

std::optional<Face> evaluate(std::span<const Block> blocks, double log_det_xtx, bool with_gradient) {
  if (blocks.empty()) return std::nullopt;
  const Eigen::Index p = blocks.front().design.cols();
  std::vector<Inverse> inverses;
  inverses.reserve(blocks.size());
  Eigen::Index n = 0, k = 0;
  double log_determinant = 0.0, design_norm = 0.0;
  for (const Block& block : blocks) {
    auto inverse = inverse_of(block);
    if (!inverse) return std::nullopt;
    n += block.design.rows();
    k += inverse->null.cols();
    log_determinant += inverse->log_determinant;
    design_norm += block.design.squaredNorm();
    inverses.push_back(std::move(*inverse));
  }
  if (k > p) return std::nullopt;

  // The null directions' rows of the design and the response: N'X = [C 0] Q' fixes C's
  // combinations of beta. Their rows span k dimensions unless a pivot is at the rounding of X.
  Eigen::MatrixXd null_design(k, p);
  Eigen::VectorXd null_response(k);
  for (Eigen::Index b = 0, at = 0; b < static_cast<Eigen::Index>(blocks.size()); ++b) {
    const Eigen::MatrixXd& null = inverses[b].null;
    null_design.middleRows(at, null.cols()) = null.transpose() * blocks[b].design;
    null_response.segment(at, null.cols()) = null.transpose() * blocks[b].response;
    at += null.cols();
  }
  const Eigen::ColPivHouseholderQR<Eigen::MatrixXd> qr(null_design.transpose());
  const double rounding = static_cast<double>(n) * epsilon * std::sqrt(design_norm);
  double log_c = 0.0;
  for (Eigen::Index j = 0; j < k; ++j) {
    const double pivot = std::fabs(qr.matrixQR()(j, j));
    if (!(pivot > rounding)) return std::nullopt;
    log_c += std::log(pivot);
  }
  const Eigen::MatrixXd q = qr.householderQ() * Eigen::MatrixXd::Identity(p, p);
  const Eigen::MatrixXd fixed = q.leftCols(k);
  const Eigen::MatrixXd free = q.rightCols(p - k);
  // C^-1, k x k (C = N'X Q_f, its pivots checked above).
  const Eigen::MatrixXd c_inverse =
      k > 0 ? Eigen::MatrixXd((null_design * fixed).partialPivLu().inverse()) : Eigen::MatrixXd(0, 0);
  const Eigen::VectorXd beta_fixed = fixed * (c_inverse * null_response);

  // Generalised least squares of what is left on the free combinations, on V's range.
  const Eigen::Index r = p - k;
  std::vector<Eigen::VectorXd> rest(blocks.size());
  std::vector<Eigen::MatrixXd> reduced(blocks.size()), solved(blocks.size());
  Eigen::MatrixXd s = Eigen::MatrixXd::Zero(r, r);
  Eigen::VectorXd u = Eigen::VectorXd::Zero(r);
  double quadratic = 0.0;
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    rest[b] = blocks[b].response - blocks[b].design * beta_fixed;
    reduced[b] = blocks[b].design * free;
    solved[b] = inverses[b].range * reduced[b];
    s.noalias() += reduced[b].transpose() * solved[b];
    u.noalias() += solved[b].transpose() * rest[b];
    quadratic += rest[b].dot(inverses[b].range * rest[b]);
  }
  const auto s_factor = dense::DenseFactor::make(s);
  if (!s_factor) return std::nullopt;
  const Eigen::VectorXd beta_free = s_factor->solve_vector(u);
  const double residual = quadratic - u.dot(beta_free);
  if (!rank::above_rounding(residual, quadratic, static_cast<std::size_t>(p))) return std::nullopt;

  Face face;
  face.objective = 0.5 * (static_cast<double>(n - p) * ln_2pi + log_determinant + s_factor->logdet() + 2.0 * log_c -
                          log_det_xtx + residual);
  if (!std::isfinite(face.objective)) return std::nullopt;
  face.beta = beta_fixed + free * beta_free;
  const Eigen::MatrixXd s_inverse = s_factor->inverse();
  face.covariance = free * s_inverse * free.transpose();
  if (!with_gradient) return face;

  // P = T'P_2 T in the frame of V's range and null rows, T y = y less its fixed part: on the
  // range rows P_2 = V^+ - H S^-1 H' (H = V^+ X2), and beside them the terms that carry the
  // fixed combinations, through F = X Q_f C^-1.
  std::vector<Eigen::MatrixXd> through(blocks.size()), weighted(blocks.size());
  Eigen::VectorXd absorbed = Eigen::VectorXd::Zero(p);
  Eigen::MatrixXd j = Eigen::MatrixXd::Zero(r, k);
  Eigen::MatrixXd psi = Eigen::MatrixXd::Zero(k, k);
  face.projected.resize(blocks.size());
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    face.projected[b] = inverses[b].range * (rest[b] - reduced[b] * beta_free);
    absorbed.noalias() += blocks[b].design.transpose() * face.projected[b];
    through[b] = blocks[b].design * fixed * c_inverse;
    weighted[b] = inverses[b].range * through[b];
    j.noalias() += solved[b].transpose() * through[b];
    psi.noalias() += through[b].transpose() * weighted[b];
  }
  const Eigen::MatrixXd s_inverse_j = s_inverse * j;
  psi.noalias() -= j.transpose() * s_inverse_j;
  const Eigen::VectorXd on_null = -(c_inverse.transpose() * (fixed.transpose() * absorbed));

  face.projector.resize(blocks.size());
  for (std::size_t b = 0, at = 0; b < blocks.size(); ++b) {
    const Eigen::MatrixXd& null = inverses[b].null;
    const Eigen::Index z = null.cols();
    Eigen::MatrixXd& projector = face.projector[b];
    projector = inverses[b].range - solved[b] * s_inverse * solved[b].transpose();
    if (z > 0) {
      const Eigen::MatrixXd phi = (weighted[b] - solved[b] * s_inverse_j).middleCols(at, z);
      const Eigen::MatrixXd cross = phi * null.transpose();
      projector -= cross + cross.transpose();
      projector.noalias() += null * psi.block(at, at, z, z) * null.transpose();
      face.projected[b].noalias() += null * on_null.segment(at, z);
    }
    at += z;
  }
  return face;
}

double gradient_share(const Face& face, std::size_t block, const Eigen::MatrixXd& derivative) {
  const Eigen::MatrixXd& projector = face.projector[block];
  const Eigen::VectorXd& projected = face.projected[block];
  double trace = 0.0;
  for (Eigen::Index c = 0; c < derivative.cols(); ++c) trace += projector.col(c).dot(derivative.col(c));
  return 0.5 * (trace - projected.dot(derivative * projected));
}

}  // namespace kestrune::restricted_face
