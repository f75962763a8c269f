// The likelihood of a block-diagonal covariance V = G + diag(r) where a residual r at the
// rounding of V leaves a block singular: a face of the parameter box (a residual at 0) or the
// region beside it that rounding cannot tell from the face.
//
// There the value a Cholesky factor gives is rounding: a last pivot that is noise stands in for
// an eigenvalue of 0. Under ML the likelihood has no value on such a face: towards it, it rises
// without bound where the design can absorb the null directions N and falls without bound where
// it cannot. Under REML the likelihood is that of the contrasts A'y (A spanning the complement
// of the design), whose covariance A'VA stays positive definite wherever X'N has full column
// rank: the face has a finite value, the limit of the values beside it.
//
// That limit is computed as generalised least squares with constraints. The k null directions
// fix k combinations of beta exactly (N'(y - X beta) = 0, C = N'X Q_f); the rest of beta is
// estimated on V's range with V's pseudo-inverse, from the response less its fixed part:
//   -2 l_R = (n - p) ln 2 pi + ln pdet V + ln det S + 2 ln |det C| - ln det X'X + q,
// S = X2'V^+ X2 with X2 = X Q_r, q the weighted residual sum of squares. Its gradient is that of
// every restricted likelihood, (tr(P dV) - y'P dV P y) / 2, with P = A (A'VA)^-1 A' the limit of
// the projector, whose diagonal blocks and P y this routine gives.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include <Eigen/Core>

#include "numerics/singular_reml.hpp"

namespace kestrune::restricted_face {

// Whether a block of order m, G + diag(r) with G positive semi-definite at rounding and largest
// diagonal entry `largest_diagonal`, may have an eigenvalue at or below split_null's cut: only
// where its least residual `least_residual` is not clear of that cut. Elsewhere a block is
// positive definite beyond rounding and its factor is the likelihood's own. A cheap first test,
// before the block is formed.
bool may_be_singular(double least_residual, double largest_diagonal, Eigen::Index order);

// What a block's residual leaves of it: positive definite beyond rounding (`regular`), singular
// at rounding along split.null directions (`face`), or indefinite beyond rounding (`refused`).
struct Reading {
  enum class Kind { regular, face, refused };
  Kind kind = Kind::regular;
  singular_reml::NullSplit split;  // where kind is face
};

// V_b read at its least residual: regular without a split where that residual is clear of the cut
// for V_b's largest absolute row sum (a bound on its largest eigenvalue), else by split_null.
Reading read_block(const Eigen::MatrixXd& v, double least_residual);

// One block of the covariance, its rows of the design and of the response.
struct Block {
  const Eigen::MatrixXd& covariance;  // V_b, symmetric
  const Eigen::MatrixXd& design;      // X_b, m x p
  const Eigen::VectorXd& response;    // y_b
  // split_null of V_b where the block was split; none: V_b is positive definite beyond rounding.
  const singular_reml::NullSplit* split = nullptr;
};

// The restricted likelihood's limit on the face.
struct Face {
  double objective = 0.0;      // -l_R
  Eigen::VectorXd beta;        // on the design's columns: fixed along the null directions' combinations
  Eigen::MatrixXd covariance;  // Q_r S^-1 Q_r', zero along the fixed combinations
  // With the gradient: each block's diagonal block of P and its rows of P y.
  std::vector<Eigen::MatrixXd> projector;
  std::vector<Eigen::VectorXd> projected;
};

// Nothing when a block without a split is not positive definite, there are more null directions
// than design columns or their rows of the design are short of full row rank (the limit is
// -infinity), S is not positive definite, or q is not above the rounding of the response.
// `log_det_xtx` is ln det X'X of the whole design.
std::optional<Face> evaluate(std::span<const Block> blocks, double log_det_xtx, bool with_gradient);

// (tr(P_b D) - (P y)_b' D (P y)_b) / 2: block b's share of a gradient entry whose derivative of V_b is D.
double gradient_share(const Face& face, std::size_t block, const Eigen::MatrixXd& derivative);

// The limit for a model of `count` families: family f's covariance `covariance(f)` (a matrix),
// its rows of the design and the response `design(f)` and `response(f)` (references that outlive
// the call), its split `splits[f]` where it has one; with the gradient, its `slots` entries, the
// derivative of family f's covariance in slot k written by `derivative(f, k, out)`.
struct FaceValue {
  double objective = 0.0;
  Eigen::VectorXd beta;
  Eigen::MatrixXd covariance;
  std::vector<double> gradient;  // empty without the gradient
  // With the gradient, each family's diagonal of P and its rows of P y.
  std::vector<Eigen::VectorXd> projector_diagonal;
  std::vector<Eigen::VectorXd> projected;
};

template <class Covariance, class Design, class Response, class Derivative>
std::optional<FaceValue> evaluate_families(std::size_t count, Covariance&& covariance, Design&& design,
                                           Response&& response,
                                           const std::vector<std::optional<singular_reml::NullSplit>>& splits,
                                           double log_det_xtx, bool with_gradient, std::size_t slots,
                                           Derivative&& derivative) {
  std::vector<Eigen::MatrixXd> covariances;
  covariances.reserve(count);
  for (std::size_t f = 0; f < count; ++f) covariances.push_back(covariance(f));
  std::vector<Block> blocks;
  blocks.reserve(count);
  for (std::size_t f = 0; f < count; ++f)
    blocks.push_back({covariances[f], design(f), response(f), splits[f] ? &*splits[f] : nullptr});
  auto face = evaluate(blocks, log_det_xtx, with_gradient);
  if (!face) return std::nullopt;
  FaceValue value{face->objective, std::move(face->beta), std::move(face->covariance), {}, {}, {}};
  if (!with_gradient) return value;
  for (std::size_t f = 0; f < count; ++f) value.projector_diagonal.push_back(face->projector[f].diagonal());
  value.projected = face->projected;
  Eigen::MatrixXd d;
  value.gradient.assign(slots, 0.0);
  for (std::size_t k = 0; k < slots; ++k)
    for (std::size_t f = 0; f < count; ++f) {
      derivative(f, k, d);
      value.gradient[k] += gradient_share(*face, f, d);
    }
  return value;
}

}  // namespace kestrune::restricted_face
