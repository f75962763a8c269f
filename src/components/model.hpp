// One trait with several given covariance components:
//   y ~ N(X beta, theta_0 K_0 + ... + theta_{m-1} K_{m-1} + theta_m I).
//
// Component j < m is the caller's matrix j; the residual, whose basis is the identity and
// is never stored, is always last (index m), so every coefficient vector has k = m + 1
// entries. The structured matrices together link people into family blocks; V has no
// entries outside them, so every likelihood evaluation is a sum over blocks, each factored
// on its own, and costs the sum of the cubes of the block sizes instead of n^3.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <Eigen/Core>

#include "error.hpp"
#include "numerics/block_matrix.hpp"
#include "numerics/blocks.hpp"
#include "numerics/fixed_effects.hpp"
#include "numerics/matrix_scan.hpp"

namespace kestrune::components {

// Whole structured matrices, as a caller holds them.
using Matrices = std::vector<Eigen::MatrixXd>;
// The structured matrices as a model keeps them: the blocks of the groups of people their
// nonzero entries link, which hold every nonzero entry.
using BlockMatrices = std::vector<block_matrix::BlockMatrix>;

// One family block with what every evaluation reads of it, cut once at build.
struct Family {
  blocks::Block indices;                 // rows, ascending
  std::size_t group = 0;                 // the block of the kept matrices that holds the family
  // K_j restricted to the rows, j = 0 .. m-1, only for a family that is not its whole group
  // (links met from one side only can split a group); ComponentModel::kernel reads either.
  std::vector<Eigen::MatrixXd> kernels;
  Eigen::MatrixXd design;                // the rows of the design's orthogonal basis
  Eigen::Index offset = 0;               // first row of the block in block order
  Eigen::Index square_offset = 0;        // first entry of the block's s x s matrix in an arena
};

// The model at one coefficient vector. The fixed effects are those of the design's orthogonal
// basis B (fixed_design().orthogonal() maps them to the design's own columns).
struct Evaluation {
  double value;                               // negative (restricted) log-likelihood
  Eigen::VectorXd gradient;                   // d value / d coefficient, k entries; zeros unless asked
  Eigen::VectorXd beta;                       // (B'V^-1 B)^-1 B'V^-1 y
  Eigen::MatrixXd covariance;                 // (B'V^-1 B)^-1
  double quadratic = 0.0;                     // y'Py, by which the value moves with the coefficients' scale
};

// Every block's solves at one coefficient vector, block after block in three arenas, so
// that a pass over the blocks allocates nothing per block. Read one block through
// ComponentModel::block_solve.
struct BlockSolves {
  Eigen::VectorXd inverses;         // V_B^-1 of each block, symmetric, column-major, one after another
  Eigen::VectorXd solved_response;  // V_B^-1 r_B, blocks in order (r the right-hand side given)
  Eigen::MatrixXd solved_design;    // V_B^-1 X_B, blocks in order (X_B of the orthogonal basis)
};

// One block's view of BlockSolves.
struct BlockSolve {
  const blocks::Block& indices;
  Eigen::Map<const Eigen::MatrixXd> inverse;
  Eigen::VectorBlock<const Eigen::VectorXd> solved_response;
  Eigen::Block<const Eigen::MatrixXd> solved_design;
};

// A component held at a value on the response's variance scale.
struct Pin {
  std::size_t component;
  double value;
};

// A finished fit, on the response's own scale.
struct ComponentFit {
  std::vector<double> coefficients;  // k, residual last
  std::vector<double> proportions;   // each coefficient / total
  std::vector<double> beta;
  std::vector<double> beta_se;
  std::string message;    // of the adopted run or polish
  std::string estimator;  // "reml" or "ml"
  double total;
  double loglik;
  double scaled_gradient;
  std::int32_t convergence;
  bool converged;
  bool polished;
};

class ComponentModel {
 public:
  // Validates in a fixed order, the first failure deciding the code, and cuts the blocks. Each
  // matrix is read once, where it lies, and only its blocks are kept; the design is read where it
  // lies too and copied only once every check that can refuse it from its view has passed.
  static Result<ComponentModel> build(std::span<const matrix_scan::Strided> matrices,
                                      const matrix_scan::Strided& design);
  static Result<ComponentModel> build(const Matrices& matrices, const matrix_scan::Strided& design);
  // The same from matrices already kept as blocks, such as another model's.
  static Result<ComponentModel> build(BlockMatrices matrices, const matrix_scan::Strided& design);

  // The s x s covariance of a block: the structured components in index order, a zero
  // coefficient skipped, then the residual coefficients[m] on the diagonal.
  static Eigen::MatrixXd assemble(const Matrices& matrices, const blocks::Block& block,
                                  std::span<const double> coefficients);
  static Eigen::MatrixXd assemble(const BlockMatrices& matrices, const blocks::Block& block,
                                  std::span<const double> coefficients);

  // The negative ML or REML log-likelihood, the GLS fixed effects and their covariance,
  // and on request the exact gradient. Absent for a coefficient that is not finite, a
  // negative one outside `signed`, none positive, a block covariance or X'V^-1 X that is not
  // positive definite, or y'Py not finite and positive. y has n entries. Where the residual is 0
  // and V comes singular at rounding, the REML likelihood is its limit there (null_face); with
  // `singular_faces` false such a point is absent instead, under either estimator, and no
  // eigendecomposition is made.
  std::optional<Evaluation> evaluate_with_signs(std::span<const double> coefficients,
                                                const Eigen::VectorXd& y, bool reml, bool want_gradient,
                                                std::span<const std::size_t> signed_components,
                                                bool singular_faces = true) const;

  // The average information at the coefficients, k x k: 0.5 y'P K_i P K_j P y under REML and
  // 0.5 e'K_i V^-1 K_j e, e = V^-1 (y - X beta), under ML; on the REML face where the residual is 0
  // and V singular along the design, its limit there. Absent where the evaluation would be.
  std::optional<Eigen::MatrixXd> average_information(std::span<const double> coefficients, const Eigen::VectorXd& y,
                                                     bool reml,
                                                     std::span<const std::size_t> signed_components) const;

  // The log-likelihood at its maximum of the model whose only component is the residual, and
  // that maximum's residual variance.
  Result<double> residual_only_loglik(const Eigen::VectorXd& y, bool reml) const;
  Result<double> residual_only_variance(const Eigen::VectorXd& y, bool reml) const;

  // Fits the coefficients from a fixed list of starts; `signed` components may go below 0,
  // `pinned` ones are held. The COMPONENTS_ codes of the response, the indices and the fit.
  Result<ComponentFit> fit_general(const Eigen::VectorXd& y, bool reml,
                                   std::span<const std::size_t> signed_components,
                                   std::span<const Pin> pinned) const;

  // The same fit from one start, k coefficients on the response's variance scale: a refit
  // from the end point of another fit.
  Result<ComponentFit> fit_from(const Eigen::VectorXd& y, bool reml, std::span<const std::size_t> signed_components,
                                std::span<const Pin> pinned, std::span<const double> start) const;

  // One pass over the blocks at the coefficients, each block solved against its rows of
  // `rhs`; with `keep`, every block's solves are kept. Absent when a block covariance is not
  // positive definite.
  // Every X here is the design's orthogonal basis.
  struct Solved {
    Eigen::MatrixXd xtvx;  // X'V^-1 X
    Eigen::VectorXd xtvr;  // X'V^-1 rhs
    double logdet;         // ln det V, block by block in order
    double quadratic;      // rhs'V^-1 rhs, block by block in order
    std::optional<BlockSolves> solves;
    // Some block's factor has a pivot whose square is within 64 s^2 epsilon of the block's largest
    // diagonal entry: V may be singular at rounding, and its solves rounding there.
    bool near_singular = false;
  };
  std::optional<Solved> solve_blocks(std::span<const double> coefficients, const Eigen::VectorXd& rhs,
                                     bool keep) const;

  // Whether coefficients whose blocks solve_blocks solved (`solved`, absent when a factor failed)
  // stand where the residual is 0 and V comes singular at rounding: under REML, where null_face
  // evaluates. Told by V's eigenvalues there, not by whether its Cholesky factor happens to exist.
  bool at_singular_face(std::span<const double> coefficients, const std::optional<Solved>& solved) const {
    return coefficients[m()] == 0.0 && (!solved || solved->near_singular);
  }

  BlockSolve block_solve(const BlockSolves& solves, std::size_t block) const;

  // Where the residual coefficient is 0 and V0 = sum theta_j K_j is singular only along directions
  // N that the design spans, the limits of the REML terms as the residual falls to 0. With Q an
  // orthonormal basis of the design and X2 = Q S its part orthogonal to N, they are those of
  // generalised least squares on X2 with V0's pseudo-inverse. Absent where V0 is not positive
  // semidefinite or a null direction lies outside the design's span (the restricted likelihood
  // then falls without bound towards the face).
  struct NullFace {
    BlockSolves solves;          // V0^+ of each block, V0^+ rhs, V0^+ [X2, 0] (p columns)
    Eigen::MatrixXd complement;  // S, p x r, orthonormal
    Eigen::VectorXd beta;        // (X2'V0^+ X2)^-1 X2'V0^+ rhs, then p - r zeros
    Eigen::MatrixXd covariance;  // (X2'V0^+ X2)^-1 in the leading r x r block, zeros elsewhere
    double logdet;               // ln pdet V0 + ln det X2'V0^+ X2
    double quadratic;            // rhs'V0^+ rhs
    double residual_quadratic;   // rhs'P rhs
  };
  std::optional<NullFace> null_face(std::span<const double> coefficients, const Eigen::VectorXd& rhs) const;

  const BlockMatrices& matrices() const { return matrices_; }
  // K_j restricted to family b.
  const Eigen::MatrixXd& kernel(std::size_t b, std::size_t j) const {
    const Family& family = families_[b];
    return family.kernels.empty() ? matrices_[j].block(family.group) : family.kernels[j];
  }
  const Eigen::MatrixXd& design() const { return design_; }
  // The design prepared for centring: every likelihood is evaluated on the response less its
  // least-squares fit on the design.
  const fixed_effects::Design& fixed_design() const { return *fixed_design_; }
  const std::vector<Family>& families() const { return families_; }
  // Each coefficient's matrix size, k entries, the residual's 1: a structured matrix's mean
  // diagonal, or its root mean square entry where that is larger (a difference of matrices
  // whose diagonals cancel). Both follow the matrix's units exactly, so a search on
  // coefficient times size sees a matrix in other units as the same matrix.
  const std::vector<double>& sizes() const { return sizes_; }
  std::size_t n() const { return n_; }
  std::size_t p() const { return static_cast<std::size_t>(design_.cols()); }
  std::size_t m() const { return matrices_.size(); }
  std::size_t k() const { return matrices_.size() + 1; }

 private:
  ComponentModel() = default;

  // The checks after the matrices' own, on matrices kept over the groups their links join, and
  // the model.
  static Result<ComponentModel> finish(BlockMatrices matrices, blocks::Links& links,
                                       const matrix_scan::Strided& design);


  // The REML evaluation on null_face: the limit of evaluate_with_signs as the residual falls to 0.
  std::optional<Evaluation> evaluate_on_null_face(std::span<const double> coefficients, const Eigen::VectorXd& y,
                                                  bool want_gradient) const;

  // The average information from the kept solves: 0.5 y'P K_i P K_j P y (ML: V^-1 for P).
  Eigen::MatrixXd information(const BlockSolves& solves, const Eigen::VectorXd& beta, const Eigen::MatrixXd& c,
                              bool reml) const;

  // The exact gradient from the kept solves, the fixed effects and C = (X'V^-1 X)^-1.
  Eigen::VectorXd gradient(const BlockSolves& solves, const Eigen::VectorXd& beta, const Eigen::MatrixXd& c,
                           bool reml) const;

  // fit_general from the given standardised starts, or from the fixed list when there are none.
  Result<ComponentFit> fit_with_starts(const Eigen::VectorXd& y, bool reml,
                                       std::span<const std::size_t> signed_components, std::span<const Pin> pinned,
                                       std::span<const double> start) const;

  BlockMatrices matrices_;
  Eigen::MatrixXd design_;
  std::optional<fixed_effects::Design> fixed_design_;
  std::vector<Family> families_;
  std::size_t n_ = 0;
  std::vector<double> sizes_;
  double xtx_logdet_ = 0.0;  // ln det B'B of the orthogonal basis
  Eigen::Index largest_ = 0;  // rows of the largest block
};

// Copies of every matrix whose index differs from `index`, in order.
BlockMatrices all_but(const BlockMatrices& matrices, std::size_t index);
// Copies of every matrix whose index is not in `indices`, in order.
BlockMatrices outside(const BlockMatrices& matrices, std::span<const std::size_t> indices);

}  // namespace kestrune::components
