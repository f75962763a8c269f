#include "numerics/eigen.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include <Eigen/Eigenvalues>

#include "numerics/lapack.hpp"
#include "numerics/threads.hpp"

namespace kestrune::eigen {
namespace {

// Below this order Eigen's tridiagonal QR beats LAPACK's divide and conquer once the call
// pays for its workspace query and the thread pool's hand-off (measured: Eigen is twice as
// fast at order 32, even at 112, and 1.4 times slower at 192).
constexpr Eigen::Index lapack_order = 128;

std::optional<SymmetricEigen> lapack_eigen(const Eigen::MatrixXd& a) {
  threads::prepare(threads::Kind::eigen, a.rows());
  const int order = static_cast<int>(a.rows());
  SymmetricEigen result{Eigen::VectorXd(order), a};
  int info = 0;
  int lwork = -1;
  int liwork = -1;
  double work_size = 0.0;
  int iwork_size = 0;
  dsyevd_("V", "L", &order, result.vectors.data(), &order, result.values.data(), &work_size,
          &lwork, &iwork_size, &liwork, &info, 1, 1);
  // Orders beyond about 46,000 need more workspace than a 32-bit LAPACK can address.
  if (info != 0 || !(work_size <= std::numeric_limits<int>::max())) return std::nullopt;
  lwork = static_cast<int>(work_size);
  liwork = iwork_size;
  std::vector<double> work(static_cast<std::size_t>(std::max(lwork, 1)));
  std::vector<int> iwork(static_cast<std::size_t>(std::max(liwork, 1)));
  dsyevd_("V", "L", &order, result.vectors.data(), &order, result.values.data(), work.data(),
          &lwork, iwork.data(), &liwork, &info, 1, 1);
  if (info != 0) return std::nullopt;
  return result;
}

}  // namespace

SymmetricEigen symmetric_eigen(const Eigen::MatrixXd& a) {
  if (a.rows() == 1) return {a.diagonal(), Eigen::MatrixXd::Identity(1, 1)};
  if (a.rows() >= lapack_order) {
    if (auto result = lapack_eigen(a)) return std::move(*result);
  }
  Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> solver(a, Eigen::ComputeEigenvectors);
  return {solver.eigenvalues(), solver.eigenvectors()};
}

void zero_rounding(Eigen::Ref<Eigen::VectorXd> values) {
  // A block's eigenvalues are those of K + E with |E| a small multiple of m epsilon |K| (the
  // multiple 16 matches the pivot test of rank judged at rounding).
  constexpr double rounding_factor = 16.0;
  if (values.size() == 0) return;
  const double largest = std::fmax(values.maxCoeff(), 0.0);
  const double threshold =
      rounding_factor * static_cast<double>(values.size()) * std::numeric_limits<double>::epsilon() * largest;
  for (double& value : values)
    if (std::fabs(value) <= threshold) value = 0.0;
}

bool singular_at_rounding(const Eigen::MatrixXd& a) {
  if (a.rows() == 0) return false;
  Eigen::VectorXd values = symmetric_eigen(a).values;
  zero_rounding(values);
  return !(values.minCoeff() > 0.0);
}

std::optional<double> log_det_above(const Eigen::MatrixXd& g, double relative) {
  const Eigen::VectorXd values = symmetric_eigen(g).values;
  double largest = 0.0;
  for (const double value : values) largest = std::fmax(largest, value);
  const double threshold = relative * largest;
  double log_det = 0.0;
  for (const double value : values) {
    if (!(value > threshold)) return std::nullopt;
    log_det += std::log(value);
  }
  return log_det;
}

}  // namespace kestrune::eigen
