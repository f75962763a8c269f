// Marker-by-marker association through a polygenic model.
//
// The null model is y ~ N(X beta, s2 (h2 K + (1 - h2) I)). K is cut into family blocks and
// each block is eigendecomposed once, so that in the rotated frame the covariance is
// diagonal and every likelihood evaluation is a weighted least-squares fit. The null
// heritability is fitted once, in build; a marker then costs one weighted fit with the
// heritability held, or three bounded one-dimensional searches when it is refitted.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include <Eigen/Core>

#include "error.hpp"
#include "numerics/dense.hpp"
#include "numerics/design_basis.hpp"
#include "numerics/fixed_effects.hpp"
#include "numerics/matrix_scan.hpp"
#include "numerics/rotation.hpp"

namespace kestrune::association {

using rotation::RotationBlock;

// The weighted cross-products of the rotated design and response at one set of weights.
// A marker borders them with one row and column.
struct WeightedSystem {
  Eigen::VectorXd weights;
  Eigen::MatrixXd weighted_design;  // w_i x_ij
  Eigen::MatrixXd cross;            // sum_i w_i x_i x_i^T over the design columns
  Eigen::VectorXd right;            // sum_i w_i x_i y_i
  double log_determinant;           // -sum_i ln w_i
};

// One weighted least-squares fit; the marker's coefficient, when there is one, is last.
struct WeightedFit {
  Eigen::VectorXd beta;
  double residual_sum_of_squares;  // sum_i w_i r_i^2
  double log_determinant;          // -sum_i ln w_i
  dense::DenseFactor factor;       // of the fit's own cross-product matrix M
};

struct VarianceFit {
  double h2;
  double scale;  // sigma^2 at h2
  double loglik;
  WeightedFit fit;  // the weighted fit at h2
  bool converged = true;  // a search that fails is an error, not a record
};

struct MarkerTest {
  double effect;
  double standard_error;
  double wald;
  double likelihood_ratio;
  double p_value;
  double h2;  // the heritability the test used
  bool refitted;
};

struct CovariateEffect {
  double estimate;
  double standard_error;
  double p_value;
};

// The markers of a sweep, one per column, handed over a batch of columns at a time so that
// a sweep never holds more than one batch: `read(first, batch)` fills batch's columns with
// columns first, first + 1, ... of the markers. It is called from the threads of the pool at
// once, for disjoint columns, so it must not touch Python.
struct MarkerColumns {
  Eigen::Index rows;
  Eigen::Index cols;
  std::function<void(Eigen::Index first, Eigen::Ref<Eigen::MatrixXd> batch)> read;
};

// Columns read from a matrix that outlives the result.
MarkerColumns columns_of(const Eigen::MatrixXd& markers);

class Profile;

class AssociationModel {
 public:
  // Checks in a fixed order (the first failure decides the code), rotates and fits the null.
  // The relationship is read where it lies and not kept.
  static Result<AssociationModel> build(const matrix_scan::Strided& relationship,
                                        const matrix_scan::Strided& design_view,
                                        const Eigen::Ref<const Eigen::VectorXd>& y);

  // w_i = 1 / max(h2 d_i + 1 - h2, 1e-12).
  Eigen::VectorXd weights(double h2) const;
  WeightedSystem system(const Eigen::VectorXd& weights) const;

  // Absent when M is not positive definite, or when a marker's pivot is at most 1e-10 of
  // its diagonal entry: a marker in the span of the design has no effect of its own, and
  // rounding leaves its pivot at a few ulps rather than at zero. An empty marker is none.
  std::optional<WeightedFit> weighted_least_squares(const Eigen::VectorXd& weights,
                                                    std::span<const double> marker) const;
  std::optional<WeightedFit> solve(const WeightedSystem& system, std::span<const double> marker) const;

  // The heritability that maximises the profile likelihood, from three starts (or from the
  // starts given).
  Result<VarianceFit> fit_variance(std::span<const double> marker) const;
  Result<VarianceFit> fit_variance(std::span<const double> marker, std::span<const double> starts) const;

  // A marker in the people's order brought into the rotated frame; columns likewise.
  Eigen::VectorXd rotate(const Eigen::Ref<const Eigen::VectorXd>& marker) const;
  Eigen::MatrixXd rotate_columns(const Eigen::Ref<const Eigen::MatrixXd>& markers) const;

  Result<MarkerTest> test_marker(const Eigen::Ref<const Eigen::VectorXd>& marker, bool refit) const;

  // One entry per column, in order; a column's failure is its own entry.
  Result<std::vector<Result<MarkerTest>>> sweep_refitting_below(const MarkerColumns& markers, bool refit,
                                                                std::optional<double> refit_below) const;

  Result<std::vector<CovariateEffect>> covariate_effects() const;

  std::size_t n() const { return n_; }
  double null_h2() const { return null_h2_; }
  double null_loglik() const { return null_loglik_; }
  const Eigen::VectorXd& eigenvalues() const { return eigenvalues_; }

 private:
  friend class Profile;
  AssociationModel() = default;

  // What every held test of one sweep shares: the weighted system at the null heritability
  // and the null fit's residual sum of squares (absent when that fit fails).
  struct HeldNull {
    WeightedSystem system;
    std::optional<double> residual_sum_of_squares;
  };
  HeldNull held_null() const;

  // The marker's test once its raw values have passed their checks; z is it rotated.
  Result<MarkerTest> test_rotated(const Eigen::VectorXd& z, bool refit, const HeldNull& held) const;

  // Fills the groups of rows that share an eigenvalue (below) from eigenvalues_.
  void group_rows();

  // The design in the people's frame: the response and every marker are centred on it, so
  // that an offset the intercept absorbs never reaches the weighted fits.
  std::optional<fixed_effects::Design> design_;
  Eigen::VectorXd offset_;  // the response's least-squares coefficients, added back to the covariates
  // The weighted fits work on an orthogonal basis of the design's span, whose cross-products
  // keep their digits whatever a covariate's offset; the covariates' effects leave through it.
  design_basis::Basis basis_ = design_basis::Basis::orthogonal(Eigen::MatrixXd());
  Eigen::VectorXd eigenvalues_;
  // The distinct eigenvalues, ascending, how many rows hold each, and each row's among them.
  Eigen::VectorXd group_eigenvalues_;
  Eigen::VectorXd group_sizes_;
  std::vector<Eigen::Index> group_of_;
  Eigen::VectorXd rotated_response_;
  Eigen::MatrixXd rotated_design_;
  std::vector<RotationBlock> blocks_;
  std::size_t n_ = 0;
  double null_h2_ = 0.0;
  double null_scale_ = 1.0;
  double null_loglik_ = 0.0;
};

// The profile log-likelihood of one marker's model (none: the null's) at any heritability.
// Each row's products of its rotated design, marker and response are taken once and summed
// over the rows that share an eigenvalue (families of one shape share theirs), so that an
// evaluation is a weighted sum of them and one small solve in storage kept across evaluations:
// the same number as the weighted fit gives, to rounding. Holds a reference to the model.
class Profile {
 public:
  Profile(const AssociationModel& model, std::span<const double> marker);

  // Absent where the weighted fit at h2 is refused or leaves no residual scale.
  std::optional<double> loglik(double h2);

 private:
  std::optional<double> evaluate(double h2);
  // sum_i w_i r_i^2 from the residuals at the last solution.
  double residual_sum_of_squares() const;

  const AssociationModel& model_;
  std::span<const double> marker_;
  Eigen::Index order_;  // of the fit's system: the design's columns, and the marker's
  // v_j v_k for j <= k with v = (x_i, [z_i,] y_i), one column each, summed over the rows of
  // each distinct eigenvalue (one row each)
  Eigen::MatrixXd products_;
  Eigen::VectorXd weights_;    // each distinct eigenvalue's weight at the last h2
  Eigen::VectorXd sums_;       // the weighted sums of the products
  Eigen::MatrixXd system_;     // the fit's cross-products, factored in place
  Eigen::VectorXd solution_;   // its right-hand side, solved in place
  // The last few evaluations, the oldest overwritten first.
  struct Recent {
    double h2 = 0.0;
    std::optional<double> loglik;
    bool filled = false;
  };
  std::array<Recent, 4> recent_{};
  std::size_t next_recent_ = 0;
};

}  // namespace kestrune::association
