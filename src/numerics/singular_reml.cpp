#include "numerics/singular_reml.hpp"

#include <cmath>
#include <limits>
#include <vector>

#include <Eigen/Cholesky>
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

}  // namespace kestrune::singular_reml
