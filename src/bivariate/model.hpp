// Two traits measured on related people, either of them possibly missing for anyone: each
// measured value is fixed effects plus a genetic part that covaries through the relationship
// matrix and a residual part that covaries only within a person.
//
// Measured values are numbered person by person, trait 0 before trait 1 within a person,
// skipping pairs not measured; y and the design rows follow that numbering. The model keeps
// each family's cut of the relationship matrix and of the design, so an evaluation visits the
// families once and never forms a matrix of the whole sample.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include <Eigen/Core>

#include "error.hpp"

namespace kestrune::bivariate {

// theta: V1, V2 (total variances), h1, h2 (heritabilities), rho_g, rho_e (correlations).
using Theta = std::array<double, 6>;

// One measured value: its person (row of the relationship matrix) and its trait (0 or 1).
struct Pair {
  std::size_t person;
  std::size_t trait;
};

// A heritability estimated, or held at one end of its range.
enum class HeritabilityHold : std::uint8_t { HeldAtZero = 0, Free = 1, HeldAtOne = 2 };

struct HeritabilityState {
  HeritabilityHold first;
  HeritabilityHold second;
  friend bool operator==(const HeritabilityState&, const HeritabilityState&) = default;
};

// One family with at least one measured value.
struct Block {
  std::vector<Pair> pairs;          // persons in family order, trait 0 before trait 1
  std::vector<Eigen::Index> rows;   // the measured-value number of each pair
  std::vector<Eigen::Index> local;  // each pair's person as an index into `relationship`
  Eigen::MatrixXd relationship;     // the projected relationship among the family's measured persons
  Eigen::MatrixXd design;           // the design rows of the pairs, in pair order
};

// The genetic and residual covariance matrices of the two traits.
struct Covariances {
  Eigen::Matrix2d genetic;
  Eigen::Matrix2d residual;
};

struct BivariateEvaluation {
  double value;                    // negative log-likelihood
  std::array<double, 6> gradient;  // in theta order; zeros when not requested
};

// The model on the scale each trait's sample standard deviation sets, with its response.
struct StandardisedProblem;

class BivariateModel {
 public:
  // Validates in a fixed order, the first failure's code returned: shape, observed length,
  // an empty sample, finiteness and exact symmetry of the relationship, the count of measured
  // values, the design's shape, finiteness and rank (at the rounding level of its columns),
  // each family's projection onto the positive semidefinite cone (eigenvalues below -1e-9
  // refused), and identifiability.
  static Result<BivariateModel> build(const Eigen::Ref<const Eigen::MatrixXd>& relationship,
                                      const std::vector<std::array<bool, 2>>& observed,
                                      const Eigen::Ref<const Eigen::MatrixXd>& design);

  // The negative log-likelihood (REML or ML) at theta, with its gradient when asked. Absent
  // when theta is inadmissible (with a gradient and no state, a heritability on 0 or 1 is),
  // a covariance leaves the semidefinite cone, or a factorisation fails. y has one entry per
  // measured value.
  std::optional<BivariateEvaluation> evaluate_for_state(
      const Theta& theta, const Eigen::Ref<const Eigen::VectorXd>& y, bool reml, bool with_gradient,
      std::optional<HeritabilityState> state) const;

  // y less its least-squares fit on the design: the same likelihood, evaluated without the
  // cancellation an offset would bring into y'V^-1y - c'beta.
  Eigen::VectorXd centred(const Eigen::Ref<const Eigen::VectorXd>& y) const;

  // The centred response with each trait divided by its sample standard deviation (1 where it
  // has none, or is constant up to rounding); y is checked by the caller.
  Result<StandardisedProblem> standardised_problem(const Eigen::Ref<const Eigen::VectorXd>& y) const;

  // The covariance of a family's measured values: G[t_a][t_b] K[p_a][p_b], plus E[t_a][t_b]
  // when both values belong to one person, written into out's top-left corner.
  static void assemble(const Block& block, const Eigen::Matrix2d& genetic,
                       const Eigen::Matrix2d& residual, Eigen::MatrixXd& out);

  const std::vector<Block>& blocks() const { return blocks_; }
  // rows()[person][trait]: the measured-value number, absent when not measured.
  const std::vector<std::array<std::optional<std::size_t>, 2>>& rows() const { return rows_; }
  const Eigen::MatrixXd& design() const { return design_; }
  double design_log_det() const { return design_log_det_; }
  std::size_t observed_count() const { return observed_count_; }

 private:
  BivariateModel() = default;

  // Cuts the design rows of every family out of design_.
  void cut_design();

  std::vector<Block> blocks_;
  std::vector<std::array<std::optional<std::size_t>, 2>> rows_;
  std::vector<std::size_t> trait_of_row_;  // the trait of each measured value
  Eigen::MatrixXd design_;
  double design_log_det_ = 0.0;
  std::size_t observed_count_ = 0;
  Eigen::Index largest_block_ = 0;
};

struct StandardisedProblem {
  BivariateModel model;            // standardised design and its ln det X'X
  Eigen::VectorXd response;        // standardised y
  std::array<double, 2> variances; // the variance each trait was divided by (as its root)
  double ml_constant;              // sum over measured values of ln sd of their trait
  double reml_constant;            // ml_constant + (ln det Xs'Xs - ln det X'X) / 2

  // What turns a standardised objective into the caller's scale.
  double constant(bool reml) const { return reml ? reml_constant : ml_constant; }
};

// G and E at theta.
Covariances covariances(const Theta& theta);

// dG and dE with respect to theta[k]; an off-diagonal entry is 0 where its square root is 0.
Covariances derivative(const Theta& theta, std::size_t k);

// Whether the six covariance coordinates can be told apart over the measured values: the
// Gram matrix of their basis matrices is nonsingular relative to its largest eigenvalue.
// Pairs of persons in different families add nothing to it, so it is summed within families.
bool covariance_basis_is_full_rank(const std::vector<Block>& blocks);

}  // namespace kestrune::bivariate
