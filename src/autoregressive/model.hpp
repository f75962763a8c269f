// One trait on people in the cells of a rectangular grid: given covariance components, a
// separable AR(1) x AR(1) correlation between cells, and an independent residual. The
// covariance is dense over all n people (the whole-sample likelihood, with the cells as its
// places); the autoregressive part is worked per cell.
#pragma once

#include <Eigen/Core>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "numerics/centring.hpp"
#include "numerics/design_basis.hpp"
#include "numerics/matrix_scan.hpp"
#include "numerics/whole_sample.hpp"

namespace kestrune::autoregressive {

inline constexpr std::string_view no_rows = "AUTOREGRESSIVE_NO_ROWS";
inline constexpr std::string_view cells_wrong_length = "AUTOREGRESSIVE_CELLS_WRONG_LENGTH";
inline constexpr std::string_view fixed_wrong_size = "AUTOREGRESSIVE_FIXED_WRONG_SIZE";
inline constexpr std::string_view fixed_not_finite = "AUTOREGRESSIVE_FIXED_NOT_FINITE";
inline constexpr std::string_view design_not_finite = "AUTOREGRESSIVE_DESIGN_NOT_FINITE";
inline constexpr std::string_view design_rank_deficient = "AUTOREGRESSIVE_DESIGN_RANK_DEFICIENT";
inline constexpr std::string_view response_wrong_length = "AUTOREGRESSIVE_RESPONSE_WRONG_LENGTH";
inline constexpr std::string_view response_constant = "AUTOREGRESSIVE_RESPONSE_CONSTANT";
inline constexpr std::string_view no_start_converged = "AUTOREGRESSIVE_NO_START_CONVERGED";
inline constexpr std::string_view optimum_not_evaluable = "AUTOREGRESSIVE_OPTIMUM_NOT_EVALUABLE";

// The largest rate either axis may take.
inline constexpr double rate_upper = 0.999;

// Distinct (row, column) pairs numbered in first-seen order; the first person's cell is 0.
struct Cells {
  std::vector<std::size_t> cell_of_person;
  std::vector<std::int64_t> rows;
  std::vector<std::int64_t> columns;
};

// Linear in the number of people (one hash look-up each). row and column have equal length.
Cells distinct_cells(std::span<const std::int64_t> row, std::span<const std::int64_t> column);

// |a - b| taken in unsigned arithmetic, so no difference overflows, capped at 2^31 - 1.
std::uint64_t capped_distance(std::int64_t a, std::int64_t b);

// x^d by repeated squaring; x^0 = 1 for every x, 0^0 included.
double integer_power(double x, std::uint64_t d);

// One evaluation at theta = (c_1 .. c_m, c_ar, c_res, rho_row, rho_col).
struct Evaluation {
  std::vector<double> gradient;                   // m + 4 entries; zeros without the gradient
  Eigen::VectorXd beta;                           // generalised least squares
  std::optional<Eigen::MatrixXd> beta_covariance; // (X' V^-1 X)^-1, with the gradient only
  double value;                                   // -loglik (ML) or -restricted loglik (REML)
};

struct AutoregressiveFit {
  std::vector<double> coefficients;  // m + 2 variances on the response's scale
  std::vector<double> proportions;
  std::vector<double> beta;
  std::vector<double> beta_se;
  double total;
  double rho_row;
  double rho_col;
  double half_distance_row;
  double half_distance_col;
  double loglik;
  double scaled_gradient;
  bool converged;
  bool polished;
};

// Immutable once built; owns its inputs.
class AutoregressiveModel {
 public:
  // The first failing check, in order: no rows, cell coordinates of the wrong length, a
  // fixed matrix of the wrong size, a non-finite fixed matrix, a non-finite design, a
  // rank-deficient design. The matrices are read where they lie and copied only once every
  // check has passed.
  static Result<AutoregressiveModel> build(std::span<const matrix_scan::Strided> fixed,
                                           std::span<const std::int64_t> row, std::span<const std::int64_t> column,
                                           const matrix_scan::Strided& design);
  static Result<AutoregressiveModel> build(const std::vector<Eigen::MatrixXd>& fixed,
                                           std::span<const std::int64_t> row, std::span<const std::int64_t> column,
                                           const matrix_scan::Strided& design);

  // Nothing outside the domain (a negative or non-finite variance, a rate outside
  // [0, 0.999], all variances zero) or where the covariance is numerically unusable.
  // theta has at least m + 4 entries and y has n.
  std::optional<Evaluation> evaluate(std::span<const double> theta, const Eigen::VectorXd& y, bool reml,
                                     bool with_gradient) const;
  // The same, reusing the n x n storage of `workspace` between evaluations.
  std::optional<Evaluation> evaluate(std::span<const double> theta, const Eigen::VectorXd& y, bool reml,
                                     bool with_gradient, whole_sample::Workspace& workspace) const;

  // Whether V at theta less its residual is singular at rounding.
  bool singular_without_residual(std::span<const double> theta, whole_sample::Workspace& workspace) const;

  Result<AutoregressiveFit> fit(const Eigen::VectorXd& y, bool reml) const;

  std::size_t persons() const { return static_cast<std::size_t>(basis_.columns().rows()); }
  std::size_t components() const { return fixed_.size(); }
  std::size_t cell_count() const { return cells_.rows.size(); }

 private:
  AutoregressiveModel() = default;

  // Cell-pair distances as indices into the distinct distances of each axis, so that a
  // power is computed once per distinct distance, not once per pair of cells.
  struct Axis {
    std::vector<std::uint64_t> distances;  // distinct, ascending
    std::vector<std::uint32_t> index;      // c x c, column-major
  };
  static Axis make_axis(const std::vector<std::int64_t>& coordinate);

  // The cell correlation R at the two rates into `r`, and with `slopes` c_ar dR / d rho for each.
  const Eigen::MatrixXd& kernel(double rho_row, double rho_col, double c_ar, Eigen::MatrixXd& r,
                                std::array<Eigen::MatrixXd, 2>* slopes) const;

  // The design's orthogonal basis, which the fit works on; fixed effects leave through it.
  design_basis::Basis basis_ = design_basis::Basis::orthogonal(Eigen::MatrixXd());
  centring::LeastSquares least_squares_{Eigen::MatrixXd()};  // of the basis, factored once
  std::vector<Eigen::MatrixXd> fixed_;
  Cells cells_;
  Axis row_axis_;
  Axis column_axis_;
  whole_sample::Families families_;  // of the given matrices, with their cells
  double log_det_xtx_ = -0.0;
};

}  // namespace kestrune::autoregressive
