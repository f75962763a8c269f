// Rank and constancy judged at the rounding level of the values involved.
//
// A relative pivot test (1e-10 of the diagonal, say) refuses a valid marker as soon as its
// offset dwarfs its spread, and an absolute zero test accepts two identical columns whenever
// rounding leaves a last pivot slightly positive. These tests look instead at what rounding can
// produce: a column is dependent on others when what is left of it after removing them is no
// larger than rounding of its own spread could leave.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include <Eigen/Core>

namespace kestrune::rank {

// Whether the values are all one value up to rounding: their spread is at most a few units in
// the last place of the largest magnitude. Empty and single values are constant.
bool constant_at_rounding(const Eigen::Ref<const Eigen::VectorXd>& values);

// An orthonormal basis of columns accepted one by one (Gram–Schmidt, twice). A column's pivot
// is its norm after removing the accepted columns; its reference is its own squared norm less
// what the accepted indicators absorb (the columns whose nonzero values are one value: an
// intercept, a cell-means design's groups, a two-trait design's per-trait intercepts), or its
// own squared norm when that leaves only rounding. An offset that the design absorbs thereby
// never makes a column look like rounding noise, and an exact copy never looks independent.
//
// Two levels, for two uses. A column that joins a design (a fixed effect, a marker, a set's
// variant) is independent when its squared pivot exceeds 16·p·ε of its reference: its
// direction is known only to ε over its relative pivot, so a column independent by less than
// about √(16·p·ε) would make every fit on it a fit to rounding (at 1e-10 the likelihood already
// moves in its seventh digit). A response lies in the span when its pivot itself is at most
// 16·p·ε of the root of its reference: a response that its fixed effects explain all but 1e-8
// of is still a response to fit.
class ColumnBasis {
 public:
  explicit ColumnBasis(Eigen::Index rows) : rows_(rows), basis_(rows, 0), offsets_(rows, 0) {}

  // Whether `column` is independent of the accepted columns; when it is and `accept` is set,
  // it joins them. `columns` is the p of the tolerance: the number of columns of the whole
  // matrix being judged (at least the accepted ones plus this one).
  bool admit(const Eigen::Ref<const Eigen::VectorXd>& column, std::size_t columns, bool accept = true);

  // What is left of `column` after removing the accepted columns (its least-squares residual
  // on them), or nothing when `admit` would call it dependent. A column's scale never decides:
  // it is judged after scaling by a power of two, so that squares neither overflow nor
  // underflow.
  std::optional<Eigen::VectorXd> beyond(const Eigen::Ref<const Eigen::VectorXd>& column, std::size_t columns) const;

  // `beyond` for many columns at once, in place: each column becomes its residual, and the
  // result says which ones are independent (a column with a non-finite entry never is).
  std::vector<bool> beyond_each(Eigen::Ref<Eigen::MatrixXd> columns, std::size_t columns_judged) const;

  // Whether a response lies in the span of the accepted columns at its own rounding (the finer
  // level above), `columns` counting them and the response.
  bool spans(const Eigen::Ref<const Eigen::VectorXd>& response, std::size_t columns) const;

  std::size_t size() const { return static_cast<std::size_t>(basis_.cols()); }

 private:
  // beyond_each with the squared pivot compared with `relative`² times the reference: the
  // relative pivot at or below which a column counts as dependent.
  std::vector<bool> judge(Eigen::Ref<Eigen::MatrixXd> columns, double relative) const;
  // The reference of a column that is not constant: its squared norm beyond the indicators.
  double offset_free(const Eigen::Ref<const Eigen::VectorXd>& column, double squared_norm) const;

  Eigen::Index rows_;
  Eigen::MatrixXd basis_;    // orthonormal columns
  Eigen::MatrixXd offsets_;  // an orthonormal basis of the accepted indicators
};

// Whether q, the squared pivot of a response beyond p fixed-effect columns in some inner product
// (y'Py), is finite and above what rounding leaves of the response's squared norm `reference`
// in that product (y'V^-1 y). q is formed as a difference of quadratics of the size of
// `reference`, so its own rounding is a few ε of it: the test is on the square, unlike
// ColumnBasis's. Responses reach it as residuals on the design (exactly zero when the design
// reproduces them, see centring), so an offset never makes a response look like rounding.
bool above_rounding(double q, double reference, std::size_t p);

// Whether `residual`, what is left of `values` after removing their least-squares fit on p
// columns through an orthogonal basis, is within the rounding of that fit: its norm at most
// 16·(p+1)·ε times theirs, the test of ColumnBasis::spans for a response whose residual is
// computed directly rather than as a difference of quadratics.
bool residual_at_rounding(const Eigen::Ref<const Eigen::VectorXd>& residual,
                          const Eigen::Ref<const Eigen::VectorXd>& values, std::size_t p);

// Whether the columns of x are linearly independent beyond rounding (see ColumnBasis). A
// matrix without columns has full column rank; one with more columns than rows does not.
bool full_column_rank(const Eigen::Ref<const Eigen::MatrixXd>& x);

// Whether a matrix of this shape lacks full column rank by its shape alone (more columns than
// rows), so that a design can be refused before it is copied.
constexpr bool too_wide(Eigen::Index rows, Eigen::Index cols) { return cols > rows; }

// The basis of a design's columns, any intercept and then any other indicators taken first, so
// that they set every other column's reference; nothing unless the design has full column rank. A marker or a set is then
// judged against it with `beyond`, at the cost of one pass per column.
std::optional<ColumnBasis> column_basis(const Eigen::Ref<const Eigen::MatrixXd>& x);

// Whether appending the columns of `extra` to `design` keeps full column rank, for a design
// that has it: a marker or a variant set judged against the fixed effects.
bool extends_rank(const Eigen::Ref<const Eigen::MatrixXd>& design, const Eigen::Ref<const Eigen::MatrixXd>& extra);

}  // namespace kestrune::rank
