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
#include "numerics/matrix_scan.hpp"
#include "numerics/rotation.hpp"

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

// How a family is evaluated: in the eigenbasis of its measured persons' relationship (every
// one of them has both traits), in the eigenbasis of the whole family's relationship with the
// values not measured taken out of it (see Directions::gaps), or through its dense covariance.
enum class FamilyRoute : std::uint8_t { dense, rotated, gapped };

// One family with at least one measured value.
struct Block {
  std::vector<Pair> pairs;          // persons in family order, trait 0 before trait 1
  std::vector<Eigen::Index> rows;   // the measured-value number of each pair
  std::vector<Eigen::Index> local;  // each pair's person as an index into `relationship`
  Eigen::MatrixXd relationship;     // the projected relationship among the family's measured persons
  Eigen::MatrixXd design;           // the design basis's rows of the pairs, in pair order
  FamilyRoute route = FamilyRoute::dense;
};

// A family in the eigenbasis of its whole relationship K = Q diag(lambda) Q', some of whose
// values are not measured (a person lacking a trait, or both). The measured values' covariance
// is the measured block of the family's complete covariance V, whose inverse H is 2 x 2 per
// direction; that block's inverse is H less a correction through H's block at the u values
// not measured, a u x u matrix: the cost of an evaluation grows with u, not with the family.
struct Gap {
  Eigen::Index first = 0;  // the family's first direction
  Eigen::Index count = 0;  // its directions: one per person of the family
  std::size_t block = 0;   // its index among the model's blocks
  // missing[t]: the rows of Q at the persons whose trait t is not measured.
  std::array<Eigen::MatrixXd, 2> missing;
};

// The rotated and gapped families, each in the eigenbasis of its relationship
// K = Q diag(lambda) Q'. There the family's covariance K (x) G + I (x) E becomes
// diag(lambda) (x) G + I (x) E: direction d carries two values, one per trait, with
// covariance lambda_d G + E and independent of every other direction.
struct Directions {
  // One per rotated or gapped family, in family order: its slots (consecutive indices into
  // `rows`) and Q, column d for its d-th direction.
  std::vector<rotation::RotationBlock> families;
  // Each slot's person: the measured-value numbers of its two traits, -1 where not measured
  // (a gapped family's), which rotates as a value of 0.
  std::vector<std::array<Eigen::Index, 2>> rows;
  // The gapped families, in family order.
  std::vector<Gap> gaps;
  // lambda_d, at least 0, one per direction, family after family.
  Eigen::VectorXd eigenvalues;
  // The design in the eigenbasis, as `rotate` gives it.
  Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor> design;

  // x (one row per measured value) in the eigenbases: row d holds direction d's combination
  // of the trait-0 rows, then that of the trait-1 rows.
  Eigen::MatrixXd rotate(const Eigen::Ref<const Eigen::MatrixXd>& x) const;
};

// What the ML likelihood does on a face of the box where the residual covariance E becomes
// singular (a heritability of 1, a residual correlation of +-1). Where no zero eigenvalue of the
// relationship reaches the measured values, V stays nonsingular there (`regular`). Otherwise V
// becomes singular along the directions S those eigenvalues give: the likelihood rises without
// bound when the fixed effects can take the response's part along S to zero (`unbounded`: a
// genomic matrix centred on the sample, whose null vector an intercept spans), and falls
// without bound where they cannot (`singular`: households, identical twins).
enum class Face : std::uint8_t { regular, singular, unbounded };

struct Faces {
  std::array<Face, 2> heritability_one{Face::regular, Face::regular};
  Face residual_correlation = Face::regular;
};

// The genetic and residual covariance matrices of the two traits.
struct Covariances {
  Eigen::Matrix2d genetic;
  Eigen::Matrix2d residual;
};

struct BivariateEvaluation {
  double value;                    // negative log-likelihood
  std::array<double, 6> gradient;  // in theta order; zeros when not requested
  // The value's derivative with respect to G and E themselves: symmetric matrices whose entrywise
  // product with a change of G and E is the value's change to first order (zeros when not
  // requested). Where theta folds (a heritability at 0 or 1, the correlation it carries gone)
  // this still tells every admissible step off the point apart.
  Covariances covariance_gradient{Eigen::Matrix2d::Zero(), Eigen::Matrix2d::Zero()};
};

// Per estimator, what a log-likelihood on the scale y / sd gains over that of y: the sum over
// measured values of ln sd of their trait, and under REML half the change of ln det X'X.
struct ScaleConstants {
  double ml;
  double reml;
  double of(bool reml_estimator) const { return reml_estimator ? reml : ml; }
};

// The model on the scale each trait's residual standard deviation sets, with its response.
struct StandardisedProblem;

class BivariateModel {
 public:
  // Validates in a fixed order, the first failure's code returned: shape, observed length,
  // an empty sample, finiteness and exact symmetry of the relationship, the count of measured
  // values, the design's shape, finiteness and rank (at the rounding level of its columns),
  // each family's projection onto the positive semidefinite cone (eigenvalues below -1e-9
  // refused), and identifiability.
  // The design is read where it lies and copied once its shape has been checked.
  static Result<BivariateModel> build(const matrix_scan::Strided& relationship,
                                      const std::vector<std::array<bool, 2>>& observed,
                                      const matrix_scan::Strided& design);

  // The negative log-likelihood (REML or ML) at theta, with its gradient when asked. Absent
  // when theta is inadmissible (with a gradient and no state, a heritability on 0 or 1 is),
  // a covariance leaves the semidefinite cone, or a factorisation fails. y has one entry per
  // measured value. Repeated evaluations at one y are cheaper through an Evaluator.
  std::optional<BivariateEvaluation> evaluate_for_state(
      const Theta& theta, const Eigen::Ref<const Eigen::VectorXd>& y, bool reml, bool with_gradient,
      std::optional<HeritabilityState> state) const;

  // y less its least-squares fit on the design: the same likelihood, evaluated without the
  // cancellation an offset would bring into y'V^-1y - c'beta.
  Eigen::VectorXd centred(const Eigen::Ref<const Eigen::VectorXd>& y) const;

  // The centred response with each trait divided by the sample standard deviation of its
  // residual on the design (of its values where the design reproduces it; 1 where it has none,
  // or is constant up to rounding); y is checked by the caller.
  Result<StandardisedProblem> standardised_problem(const Eigen::Ref<const Eigen::VectorXd>& y) const;

  // The covariance of a family's measured values: G[t_a][t_b] K[p_a][p_b], plus E[t_a][t_b]
  // when both values belong to one person, written into out's top-left corner.
  static void assemble(const Block& block, const Eigen::Matrix2d& genetic,
                       const Eigen::Matrix2d& residual, Eigen::MatrixXd& out);

  const std::vector<Block>& blocks() const { return blocks_; }
  const Directions& directions() const { return directions_; }
  // rows()[person][trait]: the measured-value number, absent when not measured.
  const std::vector<std::array<std::optional<std::size_t>, 2>>& rows() const { return rows_; }
  // An orthogonal basis of the design's span, which the model is evaluated on.
  const Eigen::MatrixXd& design() const { return design_; }
  double design_log_det() const { return design_log_det_; }
  std::size_t observed_count() const { return observed_count_; }
  // What the ML likelihood does on each face of the box where E becomes singular.
  const Faces& faces() const { return faces_; }

 private:
  BivariateModel() = default;

  // Cuts the design rows of every family out of design_, and rotates those of the rotated
  // families into their eigenbases.
  void cut_design();

  // `design` with each trait's rows divided by its sd, the constants that scale brings, and the
  // divided design's ln det X'X; nothing where that is not finite.
  struct Rescaled {
    ScaleConstants constants;
    double log_det;
  };
  std::optional<Rescaled> rescaled(const std::array<double, 2>& sd, Eigen::MatrixXd* design) const;

  std::vector<Block> blocks_;
  Faces faces_;
  Directions directions_;
  std::vector<std::array<std::optional<std::size_t>, 2>> rows_;
  std::vector<std::size_t> trait_of_row_;  // the trait of each measured value
  Eigen::MatrixXd design_;  // the basis B of the design given
  double design_log_det_ = 0.0;
  std::size_t observed_count_ = 0;
};

struct StandardisedProblem {
  BivariateModel model;             // standardised design and its ln det X'X
  Eigen::VectorXd response;         // standardised y
  std::array<double, 2> variances;  // the variance each trait was divided by (as its root)
  ScaleConstants search;            // of the scale searched: each trait's residual spread
  // Of the scale log-likelihoods are published on: each trait divided by the sample standard
  // deviation of its own values (1 where it has none). A search scale that follows the design
  // would move published numbers with it.
  ScaleConstants published;

  // What turns a standardised objective into the caller's scale.
  double constant(bool reml) const { return search.of(reml); }
  // A log-likelihood on the searched scale, on the published one.
  double publish(double loglik, bool reml) const { return loglik - search.of(reml) + published.of(reml); }
};

// Calls visit(a, b, t_a, t_b, k, same) for every ordered pair (a, b) of the family's values:
// their traits, their persons' relationship and whether both values are one person's.
template <class Visit>
void for_each_pair(const Block& block, Visit visit) {
  const std::size_t m = block.pairs.size();
  for (std::size_t b = 0; b < m; ++b) {
    const Pair& pb = block.pairs[b];
    for (std::size_t a = 0; a < m; ++a) {
      const Pair& pa = block.pairs[a];
      visit(static_cast<Eigen::Index>(a), static_cast<Eigen::Index>(b), static_cast<Eigen::Index>(pa.trait),
            static_cast<Eigen::Index>(pb.trait), block.relationship(block.local[a], block.local[b]),
            pa.person == pb.person);
    }
  }
}

// G and E at theta.
Covariances covariances(const Theta& theta);

// dG and dE with respect to theta[k]; an off-diagonal entry is 0 where its square root is 0.
Covariances derivative(const Theta& theta, std::size_t k);

// Whether the six covariance coordinates can be told apart over the measured values: the
// Gram matrix of their basis matrices is nonsingular relative to its largest eigenvalue.
// Pairs of persons in different families add nothing to it, so it is summed within families.
bool covariance_basis_is_full_rank(const std::vector<Block>& blocks);

}  // namespace kestrune::bivariate
