// The restricted likelihood's limit where a diagonal covariance vanishes along some directions.
//
// In a frame where the covariance of y ~ N(X beta, s2 F) is diagonal, let the factors f_i of a
// set Z of rows fall to zero together (f = eps there). Where X's rows in Z have full row rank,
// y's values in Z fix that many combinations of beta exactly, the residual there vanishes, and the
// eps terms of ln det F and ln det X'F^-1 X cancel: the restricted likelihood has a finite limit,
// that of the remaining rows' problem on the remaining combinations, plus ln det C'C, C those rows
// of X on the fixed combinations. Elsewhere (Z's rows short of full row rank) it falls without
// bound, and there is no limit to report.
#pragma once

#include <optional>

#include <Eigen/Core>
#include <Eigen/Eigenvalues>

namespace kestrune::singular_reml {

struct Limit {
  Eigen::VectorXd beta;  // on X's columns: fixed along Z's combinations, GLS on the rest
  Eigen::MatrixXd cov;   // the limit of (X'F^-1 X)^-1, zero along Z's combinations
  double residual_sum_of_squares;  // over the rows outside Z, weighted by 1 / f
  double response_sum_of_squares;  // the same of the response less its fixed part, before the fit
  // The limit of ln det F + ln det X'F^-1 X: the one place where the vanishing factors enter.
  double log_determinants;
};

// The rows whose factors are at most `zero` make Z (at least one). Nothing when Z's rows of x
// are short of full row rank, a remaining factor is not positive and finite, or the remaining
// rows' weighted cross-products are not positive definite.
std::optional<Limit> limit(const Eigen::Ref<const Eigen::VectorXd>& factors, const Eigen::Ref<const Eigen::MatrixXd>& x,
                           const Eigen::Ref<const Eigen::VectorXd>& y, double zero);

// The same limit for a dense covariance V0 = sum c_j A_j that is singular itself, the residual at
// 0. Where V0's null directions N all lie in the design's span, the contrasts orthogonal to the
// design lie in V0's range: with Q an orthonormal basis of the design and X2 = Q S its part
// orthogonal to N, the REML terms are those of generalised least squares on X2 with V0's
// pseudo-inverse, ln det A'V0 A = ln pdet V0 + ln det X2'V0^+ X2, and the likelihood is finite and
// smooth there. Elsewhere it falls without bound towards V0.

// One block of V0 = U diag(lambda) U' with the eigenvalues at rounding of the largest set apart.
struct NullSplit {
  Eigen::MatrixXd vectors;  // ascending eigenvalues; the first `null` columns span the null space
  Eigen::VectorXd values;
  Eigen::Index null = 0;
};

// Nothing when the eigensolver fails or V0 is indefinite beyond rounding. Reads v's lower triangle.
std::optional<NullSplit> split_null(const Eigen::MatrixXd& v);

// The storage of a split and its pseudo-inverse, kept by a caller that splits matrices of one
// order again and again (a fit's evaluations), so that a warm split allocates nothing of their size.
struct SplitStorage {
  Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> eigen;
  NullSplit split;
  Eigen::MatrixXd scaled;  // U_r diag(1 / lambda_r)
};

// split_null into storage.split; false where split_null gives nothing.
bool split_null_into(const Eigen::MatrixXd& v, SplitStorage& storage);

// The block's V0^+ = U_r diag(1 / lambda_r) U_r' written into `out` (s x s), through `scaled`.
void pseudo_inverse(const NullSplit& split, Eigen::Ref<Eigen::MatrixXd> out, Eigen::MatrixXd& scaled);
void pseudo_inverse(const NullSplit& split, Eigen::Ref<Eigen::MatrixXd> out);

// Q, the columns of an orthogonal basis B of the design scaled to unit length.
Eigen::MatrixXd orthonormal(const Eigen::MatrixXd& basis);

// The null directions of the blocks seen from the design's orthonormal basis Q: Q'u for each.
class NullDirections {
 public:
  explicit NullDirections(Eigen::Index p) : along_(p, 0) {}
  // The split of the block whose rows of Q are `rows`; false when one of its null directions
  // leaves the design's span.
  bool add(const Eigen::Ref<const Eigen::MatrixXd>& rows, const NullSplit& split);
  // S, p x r orthonormal, spanning the design's coefficients orthogonal to every null direction;
  // nothing when there is no null direction or more than p.
  std::optional<Eigen::MatrixXd> complement() const;

 private:
  Eigen::MatrixXd along_;
};

// A whole V0 on the face: split, its null directions checked against the span of the orthogonal
// basis B (n x p), and V0^+ written into `pseudo`. Nothing where V0 is indefinite, has no null
// direction, or one outside B's span.
struct DenseFace {
  Eigen::MatrixXd complement;  // S, p x r
  Eigen::MatrixXd reduced;     // X2 = Q S, Q the normalised columns of B
  double log_pseudo_determinant;
};
std::optional<DenseFace> dense_face(const Eigen::MatrixXd& v, const Eigen::MatrixXd& basis, Eigen::MatrixXd& pseudo,
                                    SplitStorage& storage);

// The fixed effects on the columns of an orthogonal basis B from the fitted mean y - V0 P y, and
// their covariance from C = (X2'V0^+ X2)^-1 (r x r) mapped through S and B's column norms.
struct FaceEffects {
  Eigen::VectorXd beta;
  Eigen::MatrixXd covariance;
};
FaceEffects face_effects(const Eigen::MatrixXd& basis, const Eigen::VectorXd& mean, const Eigen::MatrixXd& complement,
                         const Eigen::Ref<const Eigen::MatrixXd>& c);

}  // namespace kestrune::singular_reml
