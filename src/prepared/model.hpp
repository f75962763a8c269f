// The one-trait heritability model, prepared once for any number of responses.
//
// A design x (n x p) and a relationship matrix k (n x n) are validated, k is split into
// family blocks and each block is eigendecomposed, and x is rotated into the blocks'
// eigenbases. In that frame the covariance h2 k + (1 - h2) I of a response is diagonal,
// so each likelihood evaluation of a fit is one pass over n rotated rows.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <Eigen/Core>

#include "error.hpp"
#include "numerics/fixed_effects.hpp"
#include "numerics/interval.hpp"
#include "numerics/matrix_scan.hpp"
#include "numerics/rotation.hpp"

namespace kestrune::prepared {

// One family: its subject rows (ascending) and the eigenvectors of its part of k, column j
// paired with the j-th of the block's entries in the model's eigenvalues.
using Block = rotation::RotationBlock;

// The model profiled at one h2: fixed effects by generalised least squares, the variance
// scale in closed form.
struct Profiled {
  Eigen::VectorXd beta;
  Eigen::MatrixXd cov;  // (X*' W^-1 X*)^-1; the covariance of beta is total_variance * cov
  double loglik;
  double total_variance;
};

// A Wald row: the five statistics are all present, or all absent when the variance
// total_variance * cov_jj is not finite and positive.
struct FixedEffect {
  double estimate;
  std::optional<double> standard_error;
  std::optional<double> z;
  std::optional<double> p_value;
  std::optional<double> lower;
  std::optional<double> upper;
};

// Likelihood-ratio test of h2 = 0 against the even mixture of a point mass and chi2(1).
struct HeritabilityTest {
  double statistic;
  double null_loglik;
  double p_value;
};

enum class Boundary { lower, interior, upper };

// Everything a fit of one rotated response finds.
struct OneTraitFit {
  double h2;
  double total_variance;  // NaN without a final profile
  Eigen::VectorXd beta;   // p NaNs without a final profile
  double loglik;          // NaN without a final profile
  bool converged;
  Boundary boundary;
  interval::ProfileInterval interval;  // the default record when not converged
  std::optional<HeritabilityTest> test;
  std::optional<double> h2_standard_error;
  std::vector<FixedEffect> fixed_effects;  // empty without a final profile
};

// A fit as the caller asked for it: the estimator text, the warning, and the fit.
struct FitReport {
  std::string estimator;
  std::size_t n;
  std::vector<std::string> warnings;
  OneTraitFit fit;
};

class PreparedModel {
 public:
  // Validates in a fixed order (the first failure wins) and prepares; the PREPARE_ codes. x and
  // k are read where they lie; x is copied once its shape is known to fit k.
  static Result<PreparedModel> build(const matrix_scan::Strided& x_view, const matrix_scan::Strided& k,
                                     std::optional<std::string> subject_order_sha256);

  // Checks the estimator and y (the FIT_ codes), rotates y and fits it.
  Result<FitReport> fit(const Eigen::Ref<const Eigen::VectorXd>& y,
                        std::string_view estimator) const;

  // y in subject order, brought into the frame of eigenvalues() and the rotated design.
  Eigen::VectorXd rotate(const Eigen::Ref<const Eigen::VectorXd>& y) const;

  // Search, estimate, fixed effects, interval, test and standard error on a rotated response
  // centred on the design; `offset` (its least-squares coefficients) is added back to the
  // fixed effects.
  OneTraitFit fit_one_trait(const Eigen::VectorXd& rotated_y, bool reml, const Eigen::VectorXd& offset) const;

  // The profile likelihood at one h2; absent when the variance factors are not positive and
  // finite, the weighted cross-product is not positive definite, or the fit is exact. At h2 = 1
  // on a k with zero eigenvalues it is REML's finite limit where the design spans their
  // directions, and absent otherwise.
  std::optional<Profiled> profile(double h2, const Eigen::VectorXd& rotated_y, bool reml) const;

  std::size_t n() const { return n_; }
  std::size_t p() const { return p_; }
  double min_eigenvalue() const { return min_eigenvalue_; }
  const std::optional<std::string>& subject_order_sha256() const { return subject_order_sha256_; }
  const Eigen::VectorXd& eigenvalues() const { return eigenvalues_; }
  const Eigen::MatrixXd& rotated_x() const { return rotated_x_; }
  const std::vector<Block>& blocks() const { return blocks_; }

 private:
  PreparedModel() = default;

  // The profile at h2 = 1 when k has zero eigenvalues: under REML, where the design spans their
  // directions, the restricted likelihood's finite limit; otherwise none.
  std::optional<Profiled> at_singular_bound(const Eigen::VectorXd& rotated_y, bool reml) const;

  Eigen::VectorXd eigenvalues_;  // block by block, negatives within tolerance set to 0.0
  Eigen::MatrixXd rotated_x_;    // rows aligned with eigenvalues_
  Eigen::MatrixXd rotated_basis_;  // the design's orthogonal basis, rotated the same way
  std::vector<Block> blocks_;
  std::optional<std::string> subject_order_sha256_;
  std::size_t n_ = 0;
  std::size_t p_ = 0;
  double nu_ = 0.0;          // n - p
  double logdet_xtx_ = 0.0;  // ln det B'B = ln det x'x
  double min_eigenvalue_ = 0.0;
  // The design in its own frame: the response is centred on it before it is rotated.
  std::optional<fixed_effects::Design> design_;
};

}  // namespace kestrune::prepared
