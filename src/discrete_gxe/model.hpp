// One trait in two environments (most often the two sexes): each environment has its own
// genetic and residual standard deviation, and the genetic effects of the two are correlated.
//
// The full parameter vector is (g1, g2, e1, e2, rho): genetic standard deviations, residual
// standard deviations, then the cross-environment genetic correlation. Group 1 is the people
// with the smaller environment label. Fits, tests and the interval restrict that vector
// through a Constraint, so a null model is the same likelihood seen through fewer parameters.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include <Eigen/Core>

#include "error.hpp"
#include "gxe/likelihood_ratio.hpp"
#include "numerics/centring.hpp"
#include "numerics/design_basis.hpp"
#include "numerics/matrix_scan.hpp"
#include "numerics/interval.hpp"
#include "numerics/singular_reml.hpp"

namespace kestrune::discrete_gxe {

using Parameters = std::array<double, 5>;  // g1, g2, e1, e2, rho

// Which entries of the full vector are tied or held. The free vector lists g1; g2 unless
// genetic_equal; e1; e2 unless residual_equal; rho unless held: 2 to 5 entries.
struct Constraint {
  std::optional<double> correlation;  // rho held at this value
  bool genetic_equal = false;         // g2 = g1
  bool residual_equal = false;        // e2 = e1

  std::size_t free_size() const;
  // The full vector of a free vector of exactly free_size() entries.
  Parameters expand(std::span<const double> free) const;
  // The gradient with respect to the free vector from the one with respect to the full vector:
  // a tied pair's two derivatives add, a held rho's is dropped.
  std::vector<double> fold(const Parameters& gradient) const;
  // The free vector of a full vector: a tied pair becomes its mean, a held rho is ignored.
  std::vector<double> reduce(const Parameters& full) const;
};

// One family as the likelihood reads it, cut out of the inputs once at construction.
struct Family {
  std::vector<std::size_t> members;  // ascending rows of the sample
  Eigen::MatrixXd relationship;      // K restricted to the members, in member order
  Eigen::MatrixXd design;            // the members' rows of the design's basis B
  std::vector<bool> first_group;     // per member
};

// The likelihood at one point.
// The fixed effects and their covariance are on the model's basis B of the design's span.
struct Evaluation {
  Eigen::VectorXd beta;        // generalised-least-squares fixed effects
  Eigen::MatrixXd covariance;  // their covariance on the scale of the response given
  double objective;            // the negative (restricted) log-likelihood
  Parameters gradient{};       // d objective / d (g1, g2, e1, e2, rho); zeros when not asked
};

struct DiscreteGxeFit {
  Parameters parameters;  // the full vector at the fit, standardised scale
  double objective;       // the minimised objective there
  Eigen::VectorXd beta;
  Eigen::VectorXd beta_se;
  std::string_view estimator;  // "reml" or "ml"
  std::array<double, 2> levels;
  std::array<double, 2> genetic_variances;
  std::array<double, 2> residual_variances;
  double correlation;
  double loglik;
  double scaled_gradient;
  std::array<std::size_t, 2> group_sizes;
  bool converged;
  bool polished;
};

// The same record as a continuous-environment test.
using DiscreteGxeTest = gxe::GxeTestRecord;

class DiscreteGxeModel {
 public:
  // Validates in a fixed order (the first failure wins; the DISCRETE_GXE_ construction codes)
  // and cuts the families. n is the environment's length; `levels`, when given, are the two
  // labels expected, in any order. The model is evaluated on an orthogonal basis B of the
  // design's span (X = B U), so that a covariate with a large offset costs no digits. The design
  // is read where it lies and copied once a design of its shape can be kept.
  static Result<DiscreteGxeModel> build_expecting(const matrix_scan::Strided& relationship,
                                                  const Eigen::Ref<const Eigen::VectorXd>& environment,
                                                  const matrix_scan::Strided& design,
                                                  std::optional<std::array<double, 2>> levels);

  // Absent when the point is refused, a covariance cannot be used, or the response does not
  // have n entries. Where a residual at the rounding of a family's covariance leaves it
  // singular, ML has no value and REML gives its limit there (restricted_face).
  std::optional<Evaluation> evaluate(const Parameters& parameters, const Eigen::VectorXd& response,
                                     bool reml, bool with_gradient) const;

  // d objective / d(g1^2, g2^2, rho g1 g2, e1^2, e2^2), the derivatives along the variances and
  // the genetic covariance: where a standard deviation is 0, its own derivative is 0 whatever
  // the likelihood does off that face, and these tell whether a step off it rises.
  std::optional<Parameters> variance_gradient(const Parameters& parameters, const Eigen::VectorXd& response,
                                              bool reml) const;

  // Fits the response under the constraint from the five fixed starts. The fit runs on the
  // response less its least-squares fit on the design, over the response's standard
  // deviation, and adds the least-squares coefficients back to the fixed effects.
  Result<DiscreteGxeFit> fit_under(const Eigen::VectorXd& response, bool reml,
                                   const Constraint& constraint) const;
  // The same fit from the given full vectors alone, each reduced to the constraint.
  Result<DiscreteGxeFit> fit_from(const Eigen::VectorXd& response, bool reml, const Constraint& constraint,
                                  std::span<const Parameters> starts) const;

  Result<DiscreteGxeTest> gene_by_environment_test(const Eigen::VectorXd& response, bool reml) const;
  Result<DiscreteGxeTest> any_difference_test(const Eigen::VectorXd& response, bool reml) const;
  Result<DiscreteGxeTest> correlation_test(const Eigen::VectorXd& response, bool reml) const;
  Result<DiscreteGxeTest> genetic_equality_test(const Eigen::VectorXd& response, bool reml) const;
  Result<DiscreteGxeTest> residual_equality_test(const Eigen::VectorXd& response, bool reml) const;

  // The 95 per cent profile interval of rho within [-1, 1].
  Result<interval::ProfileInterval> correlation_interval(const Eigen::VectorXd& response, bool reml) const;

  std::size_t n() const { return n_; }
  std::size_t p() const { return p_; }
  const design_basis::Basis& basis() const { return basis_; }
  // The least-squares fit on B.
  const centring::LeastSquares& least_squares() const { return least_squares_; }
  const std::array<double, 2>& levels() const { return levels_; }
  const std::vector<bool>& first_group() const { return first_group_; }
  const std::vector<Family>& families() const { return families_; }
  double log_det_xtx() const { return log_det_xtx_; }

 private:
  explicit DiscreteGxeModel(design_basis::Basis basis)
      : basis_(std::move(basis)), least_squares_(basis_.columns()) {}

  // The gradient along the full vector, or `by_variance` along variance_gradient's coordinates.
  std::optional<Evaluation> evaluate_along(const Parameters& parameters, const Eigen::VectorXd& response, bool reml,
                                           bool with_gradient, bool by_variance) const;
  std::optional<Evaluation> evaluate_on_face(const Parameters& parameters, const Eigen::VectorXd& response,
                                             const std::vector<std::optional<singular_reml::NullSplit>>& splits,
                                             bool with_gradient, bool by_variance) const;

  // The full fit and the fit under `null`, compared.
  Result<DiscreteGxeTest> likelihood_ratio(const Eigen::VectorXd& response, bool reml, const Constraint& null,
                                           std::string_view reference) const;

  std::vector<Family> families_;
  design_basis::Basis basis_;
  centring::LeastSquares least_squares_;
  std::vector<bool> first_group_;
  std::array<double, 2> levels_{};
  std::size_t n_ = 0;
  std::size_t p_ = 0;
  double log_det_xtx_ = 0.0;
};

}  // namespace kestrune::discrete_gxe
