#include "numerics/dense.hpp"

#include <Eigen/Core>
#include <algorithm>
#include <cmath>

#include "numerics/lapack.hpp"
#include "numerics/threads.hpp"

namespace kestrune::dense {
namespace {

// A pivot's square root that may stand on L's diagonal. NaN, zero and negative pivots
// fail the first test; an infinite pivot fails the second, since its column would then
// carry zeros or NaN and the factor would no longer reproduce A.
bool usable_root(double root) { return root > 0.0 && std::isfinite(root); }

// Unblocked left-looking Cholesky on the lower triangle, in place.
bool factor_small(Eigen::Ref<Eigen::MatrixXd> m) {
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
bool factor_large(Eigen::Ref<Eigen::MatrixXd> m) {
  if (m.rows() == 0) return true;
  threads::prepare(threads::Kind::factor, m.rows());
  const int n = static_cast<int>(m.rows());
  const int lda = static_cast<int>(m.outerStride());
  int info = 0;
  dpotrf_("L", &n, m.data(), &lda, &info, 1);
  if (info != 0) return false;
  // dpotrf accepts an infinite pivot; refuse it here as on the small route.
  for (Eigen::Index j = 0; j < m.rows(); ++j) {
    if (!usable_root(m(j, j))) return false;
  }
  return true;
}

// Factors the square m in place by the route its order and `route` choose; whether LAPACK
// served, or nothing when m is not positive definite.
std::optional<bool> factor(Eigen::Ref<Eigen::MatrixXd> m, DenseFactor::Route route) {
  if (m.rows() != m.cols()) return std::nullopt;
  const bool lapack = route == DenseFactor::Route::lapack || m.rows() >= DenseFactor::large_order;
  const bool ok = lapack ? factor_large(m) : factor_small(m);
  if (!ok) return std::nullopt;
  return lapack;
}

void solve_with(const Eigen::Ref<const Eigen::MatrixXd>& lower, bool lapack, Eigen::Ref<Eigen::MatrixXd> x) {
  if (x.size() == 0) return;
  if (!lapack) {
    const auto l = lower.triangularView<Eigen::Lower>();
    l.solveInPlace(x);
    l.transpose().solveInPlace(x);
    return;
  }
  threads::prepare(threads::Kind::solve, std::min(lower.rows(), x.cols()));
  const int n = static_cast<int>(lower.rows());
  const int lda = static_cast<int>(lower.outerStride());
  const int nrhs = static_cast<int>(x.cols());
  const int ldx = static_cast<int>(x.outerStride());
  int info = 0;
  dpotrs_("L", &n, &nrhs, lower.data(), &lda, x.data(), &ldx, &info, 1);
}

double logdet_of(const Eigen::Ref<const Eigen::MatrixXd>& lower) {
  double sum = 0.0;
  for (Eigen::Index j = 0; j < lower.rows(); ++j) sum += std::log(lower(j, j));
  return sum + sum;
}

// The strict upper triangle of the square m copied from its lower one, tile by tile so that
// the reads along rows stay in cache.
void mirror_lower(Eigen::Ref<Eigen::MatrixXd> m) {
  constexpr Eigen::Index tile = 64;
  const Eigen::Index n = m.rows();
  for (Eigen::Index j0 = 0; j0 < n; j0 += tile) {
    const Eigen::Index j1 = std::min(n, j0 + tile);
    for (Eigen::Index i0 = 0; i0 <= j0; i0 += tile) {
      for (Eigen::Index j = j0; j < j1; ++j) {
        const Eigen::Index i1 = std::min(i0 + tile, j);
        for (Eigen::Index i = i0; i < i1; ++i) m(i, j) = m(j, i);
      }
    }
  }
}

// A^{-1} over L (the lower triangle of m) by dpotri, its upper triangle mirrored from the lower one.
void invert_lower(Eigen::Ref<Eigen::MatrixXd> m) {
  const Eigen::Index n = m.rows();
  if (n == 0) return;
  threads::prepare(threads::Kind::inverse, n);
  const int order = static_cast<int>(n);
  const int lda = static_cast<int>(m.outerStride());
  int info = 0;
  // L has a positive diagonal, so dpotri cannot meet a singular factor.
  dpotri_("L", &order, m.data(), &lda, &info, 1);
  mirror_lower(m);
}

// A^{-1} from L into `out`.
void inverse_from(const Eigen::Ref<const Eigen::MatrixXd>& lower, Eigen::MatrixXd& out) {
  out.resize(lower.rows(), lower.rows());
  out.triangularView<Eigen::Lower>() = lower.triangularView<Eigen::Lower>();
  invert_lower(out);
}

}  // namespace

std::optional<DenseFactor> DenseFactor::make(const Eigen::Ref<const Eigen::MatrixXd>& a, Route route) {
  Eigen::MatrixXd m = a;
  const std::optional<bool> lapack = factor(m, route);
  if (!lapack) return std::nullopt;
  // Clear what the input left above the diagonal, so that lower() is L itself.
  m.triangularView<Eigen::StrictlyUpper>().setZero();
  return DenseFactor(std::move(m), *lapack);
}

void DenseFactor::solve_in_place(Eigen::Ref<Eigen::MatrixXd> x) const { solve_with(lower_, lapack_, x); }

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

double DenseFactor::logdet() const { return logdet_of(lower_); }

Eigen::MatrixXd DenseFactor::inverse() const {
  return solve_matrix(Eigen::MatrixXd::Identity(order(), order()));
}

void DenseFactor::symmetric_inverse_into(Eigen::MatrixXd& out) const { inverse_from(lower_, out); }

void DenseFactor::whiten_in_place(Eigen::Ref<Eigen::MatrixXd> x) const {
  if (x.size() == 0) return;
  if (!lapack_) {
    lower_.triangularView<Eigen::Lower>().solveInPlace(x);
    return;
  }
  threads::prepare(threads::Kind::solve, std::min(order(), x.cols()));
  const int n = static_cast<int>(order());
  const int cols = static_cast<int>(x.cols());
  const int ldx = static_cast<int>(x.outerStride());
  constexpr double one = 1.0;
  dtrsm_("L", "L", "N", "N", &n, &cols, &one, lower_.data(), &n, x.data(), &ldx, 1, 1, 1, 1);
}

std::optional<FactorView> FactorView::make(Eigen::Ref<Eigen::MatrixXd> storage, DenseFactor::Route route) {
  const std::optional<bool> lapack = factor(storage, route);
  if (!lapack) return std::nullopt;
  return FactorView(storage, *lapack);
}

void FactorView::solve_in_place(Eigen::Ref<Eigen::MatrixXd> x) const { solve_with(lower_, lapack_, x); }

double FactorView::logdet() const { return logdet_of(lower_); }

void FactorView::symmetric_inverse_into(Eigen::MatrixXd& out) const { inverse_from(lower_, out); }

void FactorView::invert_in_place() && { invert_lower(lower_); }

}  // namespace kestrune::dense
