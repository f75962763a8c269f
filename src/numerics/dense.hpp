// The Cholesky factor of a symmetric positive-definite matrix, for a family's covariance.
#pragma once

#include <Eigen/Core>
#include <optional>

namespace kestrune::dense {

// A = L L^T, where A is the symmetric matrix whose lower triangle (diagonal included) is
// that of the matrix given; the strict upper triangle is never read. Below order 12 the
// factor is computed here, column by column; from order 12 on by LAPACK's blocked dpotrf,
// on OpenBLAS's pool only from the order where it pays (threads::crossover). Every diagonal entry of L is positive and finite. Immutable once
// made; every operation returns a new result.
class DenseFactor {
 public:
  // The order at which factorisation and solves move to LAPACK.
  static constexpr Eigen::Index large_order = 12;

  // Which factorisation serves a matrix: family blocks take the small route below
  // `large_order`; a whole-sample covariance is factored by LAPACK at every order, so
  // its results do not change character with the size of the sample.
  enum class Route { by_order, lapack };

  // The factor, or nothing when a pivot is zero, negative, NaN, or has an infinite root
  // (and for a matrix that is not square). The matrix is read only.
  static std::optional<DenseFactor> make(const Eigen::Ref<const Eigen::MatrixXd>& a,
                                         Route route = Route::by_order);

  Eigen::Index order() const { return lower_.rows(); }

  // L, read-only, zeros above the diagonal.
  const Eigen::MatrixXd& lower() const { return lower_; }

  // x with A x = b; b has order() entries.
  Eigen::VectorXd solve_vector(const Eigen::Ref<const Eigen::VectorXd>& b) const;

  // X with A X = B; B has order() rows and any number of columns, none included.
  Eigen::MatrixXd solve_matrix(const Eigen::Ref<const Eigen::MatrixXd>& b) const;

  // ln det A = 2 * sum of ln L(j, j), summed in ascending j from zero.
  double logdet() const;

  // A^{-1}, solved column by column from the identity; not symmetrised.
  Eigen::MatrixXd inverse() const;

  // Overwrites x (order() rows) with L^{-1} x, so that (L^{-1} a)^T (L^{-1} b) = a^T A^{-1} b:
  // by BLAS's triangular solve where the factor came from LAPACK.
  void whiten_in_place(Eigen::Ref<Eigen::MatrixXd> x) const;

  // A^{-1} written into `out` (resized only when its shape differs): from L by LAPACK's
  // dpotri, a third of the work of inverse(), the lower triangle mirrored so the result is
  // exactly symmetric. Equal to inverse() up to rounding.
  void symmetric_inverse_into(Eigen::MatrixXd& out) const;

 private:
  DenseFactor(Eigen::MatrixXd lower, bool lapack) : lower_(std::move(lower)), lapack_(lapack) {}

  // Overwrites x (order() rows) with A^{-1} x.
  void solve_in_place(Eigen::Ref<Eigen::MatrixXd> x) const;

  // L, its strict upper triangle zero.
  Eigen::MatrixXd lower_;
  bool lapack_ = false;  // factored, and so solved, by LAPACK
};

// The same factor held in storage the caller owns, for inner loops that must not allocate:
// make overwrites the lower triangle of `storage` with L and gives nothing where
// DenseFactor::make would. The view reads that storage, so it lives no longer than it.
class FactorView {
 public:
  static std::optional<FactorView> make(Eigen::Ref<Eigen::MatrixXd> storage,
                                        DenseFactor::Route route = DenseFactor::Route::by_order);

  Eigen::Index order() const { return lower_.rows(); }

  // Overwrites x (order() rows) with A^{-1} x.
  void solve_in_place(Eigen::Ref<Eigen::MatrixXd> x) const;
  // As DenseFactor::logdet.
  double logdet() const;
  // As DenseFactor::symmetric_inverse_into.
  void symmetric_inverse_into(Eigen::MatrixXd& out) const;
  // A^{-1} written over the storage itself, as symmetric_inverse_into without the copy: the
  // factor is gone afterwards, and so is the view.
  void invert_in_place() &&;

 private:
  FactorView(Eigen::Ref<Eigen::MatrixXd> lower, bool lapack) : lower_(lower), lapack_(lapack) {}

  Eigen::Ref<Eigen::MatrixXd> lower_;
  bool lapack_ = false;
};

}  // namespace kestrune::dense
