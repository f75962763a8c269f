// One trait over a continuous environment: the genetic covariance of two people is their
// relationship times a covariance surface at their two environments; the residual variance
// follows each person's own environment. Surfaces, the model, its likelihood, its fit, its
// tests and its profile intervals.
#pragma once

#include <Eigen/Core>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "error.hpp"
#include "gxe/likelihood_ratio.hpp"
#include "numerics/centring.hpp"
#include "numerics/design_basis.hpp"
#include "numerics/interval.hpp"
#include "numerics/matrix_scan.hpp"
#include "numerics/singular_reml.hpp"

namespace kestrune::gxe {

// Values 1 and 4 give the same covariance and stay distinct: a fit records which was asked for.
enum class Surface : std::uint8_t {
  PoweredExponentialHalf = 0,
  PoweredExponentialOne = 1,
  PoweredExponentialThreeHalves = 2,
  PoweredExponentialTwo = 3,
  Exponential = 4,
  RandomRegression = 5,
};

// Surface parameters on the standardised scale, always carried in six slots: the surface's
// d parameters, then zeros. Under the powered exponential surfaces: log genetic variance at
// environment 0, its slope, the decay rate, log residual variance at 0, its slope. Under random
// regression: the genetic factor [[exp t0, 0], [t1, t2]], the residual factor [[exp t3, 0], [t4, t5]].
using Theta = std::array<double, 6>;

// d: 6 for random regression, else 5.
std::size_t parameter_count(Surface surface);

// The exponent on the environment distance (1 for exponential); none for random regression.
std::optional<double> shape_of(Surface surface);

// (lower, upper), d entries each: the decay rate is never negative; under random regression
// the two log diagonals are boxed to [-15, 15].
std::pair<std::vector<double>, std::vector<double>> bounds(Surface surface);

// The surface a caller names: "exponential", "random_regression" (shape ignored), or
// "powered_exponential" with a shape within 1e-9 of 0.5, 1.0, 1.5 or 2.0.
Result<Surface> name_surface(std::string_view text, double shape);

// theta padded to six slots with zeros.
Theta six_slots(std::span<const double> theta);

// The surface between two environments and the residual variance at one, on the scale of
// theta (the relationship coefficient left out).
double genetic_covariance(Surface surface, const Theta& theta, double e1, double e2);
double residual_variance(Surface surface, const Theta& theta, double e);

// theta of the same surface with every variance multiplied by c > 0: a log variance moves by
// ln c and, under random regression, a factor's log diagonal by ln c / 2 and its other entries
// by the factor sqrt c; slopes of a log variance and the decay rate carry no scale.
Theta rescaled(Surface surface, const Theta& theta, double c);

// One likelihood evaluation.
struct Evaluation {
  // GLS fixed effects on the scale of the y given and their covariance (X'V^-1X)^-1, both on
  // the model's orthogonal basis of the design's span (GxeModel::fit_from maps them to X).
  Eigen::VectorXd beta;
  std::optional<Eigen::MatrixXd> covariance;
  double objective = 0.0;                   // negative log-likelihood (ML or REML)
  Theta gradient{};                         // d objective / d theta; zeros when not asked for
  // d objective / d (each person's residual variance), in sample order; empty unless asked for.
  Eigen::VectorXd residual_derivatives;
};

// A fitted surface. Variances come back on the response's own scale.
struct GxeFit {
  // theta, d entries, on the scale of the response over its own standard deviation
  // (response_variance times each variance is the response's own); held slots 0.
  std::vector<double> parameters;
  // theta as the search found it, on the scale of the working response: where refits start.
  std::vector<double> searched;
  double objective = 0.0;  // the minimised objective there (working scale)
  Eigen::VectorXd beta;
  std::vector<double> beta_se;
  std::string_view method;  // "reml" or "ml"
  double loglik = 0.0;
  double scaled_gradient = 0.0;
  double response_variance = 0.0;  // the response's variance, divisor n
  bool converged = false;
  bool polished = false;
  Surface surface = Surface::Exponential;

  double genetic_covariance(double e1, double e2) const;
  double residual_variance(double e) const;
  // NaN when the total variance at e is not positive.
  double heritability_at(double e) const;
  // G(e1, e2) / sqrt(G(e1, e1) G(e2, e2)) clamped to [-1, 1]; nothing when that product is
  // not positive.
  std::optional<double> genetic_correlation(double e1, double e2) const;
  // Whether every number the fit reports at these environments is finite: its likelihood,
  // parameters and effects, and the variances, heritability and correlations there.
  bool reports_finite(std::span<const double> environments) const;
};

// A fit read on a grid of environments g_1 ... g_m, on the response's own scale.
struct GridReport {
  std::vector<double> genetic_variance;  // G(g_i, g_i)
  std::vector<double> residual_variance; // R(g_i)
  std::vector<double> heritability;      // NaN where the total variance is not positive
  std::vector<double> correlation;       // m x m flattened, (i, j) at i m + j; NaN where undefined
};

GridReport report_on_grid(const GxeFit& fit, std::span<const double> grid);

// The quantity an interval holds: the heritability at one environment, or the genetic
// correlation between two.
struct GxeQuantity {
  enum class Kind { Heritability, Correlation };
  Kind kind;
  double first;         // the environment of a heritability; e1 of a correlation
  double second = 0.0;  // e2 of a correlation
};

class GxeModel {
 public:
  // Checks sizes, then the relationship's, design's and environment's content, then the
  // design's rank at the rounding level of its columns. The relationship is not checked for
  // symmetry or definiteness. The model is evaluated on an orthogonal basis of the design's
  // span, so that a covariate with a large offset costs no digits.
  // The design is read where it lies and copied once a design of its shape can be kept.
  static Result<GxeModel> build(Surface surface, const matrix_scan::Strided& relationship,
                                std::span<const double> environment, const matrix_scan::Strided& design);

  Surface surface() const { return surface_; }
  std::size_t n() const { return n_; }
  Eigen::Index p() const { return p_; }
  double log_det_xtx() const { return log_det_xtx_; }

  // The likelihood at theta of y (n entries), family block by family block; nothing where
  // the model cannot be evaluated (a non-finite slot, a negative decay rate, a block or
  // X'V^-1X not positive definite, a residual quadratic form that is not positive). Where a
  // residual at the rounding of a family's covariance leaves it singular, ML has no value and
  // REML gives its limit there (restricted_face).
  std::optional<Evaluation> evaluate(const Theta& theta, const Eigen::Ref<const Eigen::VectorXd>& y, bool reml,
                                     bool with_gradient) const;
  // The evaluation with the gradient and the derivatives along each person's residual variance:
  // where the residual vanishes at every environment, theta's own derivatives vanish with it,
  // and these tell whether a residual off that face raises the likelihood.
  std::optional<Evaluation> evaluate_per_person(const Theta& theta, const Eigen::Ref<const Eigen::VectorXd>& y,
                                                bool reml) const;

  // The fit with the slots in `held` fixed at 0. It runs on the response less its
  // least-squares fit on the design, over the response's standard deviation, and adds the
  // least-squares coefficients back to the fixed effects; a fit that reports a number that is
  // not finite at the sample's environments has not converged. Besides the fixed starts, the
  // powered exponential surfaces start from residuals concentrated at either end of the
  // environments and search on over the face of no decay; where the likelihood still climbs as
  // the residual concentrates further on one end, its supremum is a limit and the fit has not
  // converged.
  Result<GxeFit> fit_holding(const Eigen::Ref<const Eigen::VectorXd>& y, bool reml,
                             std::span<const std::size_t> held) const;
  // The same fit from the given starts (d entries each, held slots already 0) alone.
  Result<GxeFit> fit_from(const Eigen::Ref<const Eigen::VectorXd>& y, bool reml,
                          std::span<const std::size_t> held, std::vector<std::vector<double>> starts) const;

  // What every fit and refit evaluates: the centred response over its own standard deviation
  // s (moments::standardising_variance), with s² and the least-squares coefficients that the
  // centring took out (on the basis B). The search runs on that scale, whatever the design
  // explains; theta is published on the scale of the response over its own standard deviation.
  struct Working {
    Eigen::VectorXd y;
    double variance;
    double sd;
    Eigen::VectorXd coefficients;
    double response_variance;  // the response's own variance, divisor n
  };
  // Checks the response's length, finiteness and spread (constant up to rounding is constant).
  Result<Working> working_response(const Eigen::Ref<const Eigen::VectorXd>& y) const;

  // Likelihood-ratio tests against no interaction (slots 1 and 2 held), a genetic correlation
  // of one (slot 2) and a constant genetic variance (slot 1; on random regression the
  // interaction test).
  Result<GxeTestRecord> interaction_test(const Eigen::Ref<const Eigen::VectorXd>& y, bool reml) const;
  Result<GxeTestRecord> correlation_test(const Eigen::Ref<const Eigen::VectorXd>& y, bool reml) const;
  Result<GxeTestRecord> variance_test(const Eigen::Ref<const Eigen::VectorXd>& y, bool reml) const;

  // The 95 per cent profile-likelihood interval of the quantity.
  Result<interval::ProfileInterval> profile_interval(const Eigen::Ref<const Eigen::VectorXd>& y, bool reml,
                                                     const GxeQuantity& quantity) const;

  // The maximised log-likelihood of the standardised response with the quantity held at
  // `value`, refitted from `start` (the fit's theta); nothing when no refit converged.
  std::optional<double> profile_objective(const Eigen::Ref<const Eigen::VectorXd>& y_standardised, bool reml,
                                          const GxeQuantity& quantity, std::span<const double> start,
                                          double value) const;

  // theta moved, in closed form, to a surface whose quantity equals `value`: a heritability
  // moves only the residual level (and, on random regression, the residual factor), a
  // correlation only the genetic part. Nothing where no such surface exists.
  std::optional<Theta> repair(const Theta& theta, const GxeQuantity& quantity, double value) const;

  // The random-regression genetic factor with standard deviations exp x[0] and exp x[1] at
  // e1 and e2 and correlation r between them; the residual part x[2..4] copied. Nothing unless
  // x has five entries and the factor exists.
  static std::optional<Theta> repair_random_regression_correlation(std::span<const double> x, double e1,
                                                                   double e2, double r);

 private:
  // One family's rows of the model, gathered once.
  struct Family {
    std::vector<std::size_t> rows;
    Eigen::MatrixXd relationship;  // K restricted to the family
    Eigen::VectorXd environment;
    Eigen::MatrixXd distance;      // |e_r - e_c|^shape (powered exponential surfaces only)
    Eigen::MatrixXd design;        // the basis B's rows of the family
  };

  explicit GxeModel(design_basis::Basis basis) : basis_(std::move(basis)), least_squares_(basis_.columns()) {}

  // A start one step off the face where the residual of a powered exponential surface vanishes at
  // every environment (exp(theta3 + theta4 e) and its derivatives vanish together there), along
  // the residual t exp(b e) that raises the likelihood most; nothing off that face or where no
  // such step rises. `value` is the objective at theta.
  std::optional<Theta> off_residual_face(const Theta& theta, const Eigen::Ref<const Eigen::VectorXd>& ys, bool reml,
                                         double value) const;

  // The log genetic variance that puts half the working response's variance on the genetic part
  // at the relationship's mean diagonal (ln 0.5 where that mean is not positive).
  double genetic_level() const;

  // theta with a residual slope twice as steep and 40 over the environments' range more, its
  // residual unchanged at the end where it is largest; nothing under random regression or where
  // the sample has a single environment.
  std::optional<Theta> steeper_residual(const Theta& theta) const;

  std::optional<Evaluation> evaluate_with(const Theta& theta, const Eigen::Ref<const Eigen::VectorXd>& y, bool reml,
                                          bool with_gradient, bool per_person) const;
  std::optional<Evaluation> evaluate_on_face(const Theta& theta, const Eigen::Ref<const Eigen::VectorXd>& y,
                                             const std::vector<std::optional<singular_reml::NullSplit>>& splits,
                                             bool with_gradient, bool per_person) const;

  // V_b, the covariance of one family at theta.
  Eigen::MatrixXd family_covariance(const Family& family, const Theta& theta) const;
  // dV_b / d theta_slot, written into `out` (m x m).
  void family_derivative(const Family& family, const Theta& theta, std::size_t slot, Eigen::MatrixXd& out) const;
  // The genetic part of V_b under a decaying-correlation surface, and V_b and dV_b / d theta_slot
  // from it: a fit forms it once per family and evaluation instead of once per slot.
  Eigen::MatrixXd family_genetic(const Family& family, const Theta& theta) const;
  Eigen::MatrixXd covariance_from_genetic(const Family& family, const Theta& theta, Eigen::MatrixXd genetic) const;
  void derivative_from_genetic(const Family& family, const Theta& theta, const Eigen::MatrixXd& genetic,
                               std::size_t slot, Eigen::MatrixXd& out) const;

  std::vector<Family> families_;
  design_basis::Basis basis_;  // the design X = B U; families, centring and fits use B
  centring::LeastSquares least_squares_;
  std::vector<double> environments_;  // the sample's distinct environments, ascending
  std::size_t n_ = 0;
  Eigen::Index p_ = 0;
  double log_det_xtx_ = 0.0;
  Surface surface_ = Surface::Exponential;
};

}  // namespace kestrune::gxe
