#include "numerics/dense.hpp"

#include <Eigen/Core>
#include <cmath>

#include "numerics/lapack.hpp"

namespace kestrune::dense {
namespace {

// A pivot's square root that may stand on L's diagonal. NaN, zero and negative pivots
// fail the first test; an infinite pivot fails the second, since its column would then
// carry zeros or NaN and the factor would no longer reproduce A.
bool usable_root(double root) { return root > 0.0 && std::isfinite(root); }

// Unblocked left-looking Cholesky on the lower triangle, in place.
bool factor_small(Eigen::MatrixXd& m) {
  const Eigen::Index n = m.rows();
  for (Eigen::Index j = 0; j < n; ++j) {
    for (Eigen::Index k = 0; k < j; ++k) {
      const double factor = m(j, k);
      for (Eigen::Index i = j; i < n; ++i) m(i, j) -= factor * m(i, k);
    }
    const double pivot = m(j, j);
    if (!(pivot > 0.0)) return false;
    const double root = std::sqrt(pivot);
    if (!usable_root(root)) return false;
    m(j, j) = root;
    for (Eigen::Index i = j + 1; i < n; ++i) m(i, j) /= root;
  }
  return true;
}

// LAPACK's blocked factor on the lower triangle, in place.
bool factor_large(Eigen::MatrixXd& m) {
  if (m.rows() == 0) return true;
  lapack::configure_threads();
  const int n = static_cast<int>(m.rows());
  int info = 0;
  dpotrf_("L", &n, m.data(), &n, &info, 1);
  if (info != 0) return false;
  // dpotrf accepts an infinite pivot; refuse it here as on the small route.
  for (Eigen::Index j = 0; j < m.rows(); ++j) {
    if (!usable_root(m(j, j))) return false;
  }
  return true;
}

}  // namespace

std::optional<DenseFactor> DenseFactor::make(const Eigen::Ref<const Eigen::MatrixXd>& a, Route route) {
  if (a.rows() != a.cols()) return std::nullopt;
  Eigen::MatrixXd m = a;
  return make_in_place(m, route);
}

std::optional<DenseFactor> DenseFactor::make_in_place(Eigen::MatrixXd& a, Route route) {
  if (a.rows() != a.cols()) return std::nullopt;
  const bool lapack = route == Route::lapack || a.rows() >= large_order;
  const bool ok = lapack ? factor_large(a) : factor_small(a);
  if (!ok) return std::nullopt;
  return DenseFactor(std::move(a), lapack);
}

void DenseFactor::solve_in_place(Eigen::Ref<Eigen::MatrixXd> x) const {
  if (x.size() == 0) return;
  if (!lapack_) {
    const auto l = lower_.triangularView<Eigen::Lower>();
    l.solveInPlace(x);
    l.transpose().solveInPlace(x);
    return;
  }
  lapack::configure_threads();
  const int n = static_cast<int>(order());
  const int nrhs = static_cast<int>(x.cols());
  const int ldx = static_cast<int>(x.outerStride());
  int info = 0;
  dpotrs_("L", &n, &nrhs, lower_.data(), &n, x.data(), &ldx, &info, 1);
}

// Each right-hand side is copied once, into the result that is solved in place.
Eigen::MatrixXd DenseFactor::solve_matrix(const Eigen::Ref<const Eigen::MatrixXd>& b) const {
  Eigen::MatrixXd x = b;
  solve_in_place(x);
  return x;
}

Eigen::VectorXd DenseFactor::solve_vector(const Eigen::Ref<const Eigen::VectorXd>& b) const {
  Eigen::VectorXd x = b;
  solve_in_place(x);
  return x;
}

double DenseFactor::logdet() const {
  double sum = 0.0;
  for (Eigen::Index j = 0; j < order(); ++j) sum += std::log(lower_(j, j));
  return sum + sum;
}

Eigen::MatrixXd DenseFactor::inverse() const {
  return solve_matrix(Eigen::MatrixXd::Identity(order(), order()));
}

void DenseFactor::symmetric_inverse_into(Eigen::MatrixXd& out) const {
  const Eigen::Index n = order();
  out.resize(n, n);
  if (n == 0) return;
  out.triangularView<Eigen::Lower>() = lower_.triangularView<Eigen::Lower>();
  lapack::configure_threads();
  const int order = static_cast<int>(n);
  int info = 0;
  // L has a positive diagonal, so dpotri cannot meet a singular factor.
  dpotri_("L", &order, out.data(), &order, &info, 1);
  for (Eigen::Index j = 1; j < n; ++j) {
    for (Eigen::Index i = 0; i < j; ++i) out(i, j) = out(j, i);
  }
}

}  // namespace kestrune::dense
