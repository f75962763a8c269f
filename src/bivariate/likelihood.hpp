// The two-trait likelihood at one response, evaluated many times.
//
// A family whose measured persons all have both traits is evaluated in the eigenbasis of its
// relationship, one 2 x 2 covariance per direction; any other family through its dense
// covariance. The response is brought into the eigenbases once, and every buffer is sized
// once, so an evaluation allocates nothing and solves nothing larger than a family.
#pragma once

#include <optional>

#include <Eigen/Core>

#include "bivariate/model.hpp"

namespace kestrune::bivariate {

class Evaluator {
 public:
  // Which way the families go: in their eigenbases where they can, or every one through its
  // dense covariance (the reference the eigenbases are held to).
  enum class Route { by_family, dense };

  // The model must outlive the evaluator; y (one entry per measured value) is copied.
  Evaluator(const BivariateModel& model, const Eigen::Ref<const Eigen::VectorXd>& y,
            Route route = Route::by_family);

  // As BivariateModel::evaluate_for_state at the evaluator's response. One evaluator serves
  // one thread: its buffers are reused by every call.
  std::optional<BivariateEvaluation> operator()(const Theta& theta, bool reml, bool with_gradient,
                                                std::optional<HeritabilityState> state);

  // Sums over ordered pairs of values (a, b) of a weight w_ab, split by the pair's traits:
  // `genetic` takes w_ab K(p_a, p_b), `residual` w_ab where both values are one person's.
  // Any sum of w_ab dV_ab is then <genetic, dG> + <residual, dE> (entrywise).
  struct Weights {
    Eigen::Matrix2d genetic = Eigen::Matrix2d::Zero();
    Eigen::Matrix2d residual = Eigen::Matrix2d::Zero();
  };

 private:
  // The value pass: A = X'V^-1X, c = X'V^-1y, y'V^-1y and ln det V, keeping V^-1 y and
  // V^-1 X (and the trace weights of V^-1) for the gradient. False where V is not positive
  // definite.
  bool accumulate_directions(const Eigen::Matrix2d& genetic, const Eigen::Matrix2d& residual, bool with_gradient);
  bool accumulate_families(const Eigen::Matrix2d& genetic, const Eigen::Matrix2d& residual, bool with_gradient);
  // A gapped family's part of the value pass, which also adds its trace weights. False, and
  // nothing added, where the family is left to the dense pass: a factor fails or too many
  // directions are near singular.
  bool accumulate_gap(const Gap& gap, const Eigen::Matrix2d& genetic, const Eigen::Matrix2d& residual,
                        bool with_gradient);
  // The gradient pass, once beta and A^-1 are known: the weights of r r' (r = V^-1(y - X beta))
  // and, under REML, of V^-1 X A^-1 X'V^-1.
  void weigh_directions(bool reml);
  void weigh_families(bool reml);

  const BivariateModel* model_;
  // The families taken through their dense covariance: the dense ones, and the gapped ones
  // for the evaluations their own pass hands over.
  std::vector<std::size_t> dense_;
  // Per entry of dense_: its gap's index, or -1 for a dense family; and per gap, whether
  // this evaluation took it through its own pass.
  std::vector<std::ptrdiff_t> gap_of_;
  std::vector<char> gap_done_;
  // The directions of rotated families, as [first, end) ranges.
  std::vector<std::array<Eigen::Index, 2>> plain_;
  std::vector<Eigen::Index> offset_;  // each one's first row in `solved_`
  bool rotate_;
  Eigen::Index p_;

  // The response in the eigenbases: direction d's two values in row d.
  Eigen::Matrix<double, Eigen::Dynamic, 2, Eigen::RowMajor> direction_y_;
  // Dense families' responses, in the order of their values.
  Eigen::VectorXd family_y_;

  // Per evaluation: A's lower triangle, c, y'V^-1y, ln det V.
  Eigen::MatrixXd a_;
  Eigen::VectorXd c_;
  double quadratic_ = 0.0;
  double log_det_ = 0.0;
  Eigen::VectorXd beta_;
  Eigen::MatrixXd a_inverse_;
  Weights trace_, residuals_, design_;

  // Kept from the value pass for the gradient: per direction V^-1 y (2) and V^-1 X (2 x p, in
  // the directions' design layout); per dense family V^-1 y then V^-1 X, a row per value.
  Eigen::Matrix<double, Eigen::Dynamic, 2, Eigen::RowMajor> direction_z_;
  Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor> direction_w_;
  Eigen::MatrixXd solved_;
  // A dense family's V (factored in place), [V^-1 y, V^-1 X, V^-1], r and V^-1 X A^-1, sized
  // for the largest.
  Eigen::MatrixXd covariance_, solves_, scratch_;
  Eigen::VectorXd residual_;
  // A gapped family's work, sized for the largest: per direction the entries of (lambda G +
  // E)^-1; H v for v = y and the design's columns, trait by trait (a row per direction); H v
  // at the values not measured and its solve through H's block there; that block (factored in
  // place) and its inverse; the correction rotated back; the trace terms of the correction.
  Eigen::VectorXd inverse00_, inverse01_, inverse11_;
  std::array<Eigen::MatrixXd, 2> columns_, applied_, back_, raised_z_;
  Eigen::MatrixXd at_missing_, missing_block_, missing_inverse_, scaled_;
  Eigen::VectorXd t00_, t01_, t11_;
  // The directions raised, and what taking them out again needs.
  std::vector<Eigen::Index> raised_;
  Eigen::MatrixXd capacitance_, capacitance_inverse_, lifted_;
};

}  // namespace kestrune::bivariate
