// The spatial model: one trait with given covariance matrices plus a kernel exp(-lambda d)
// over the distances between the sites where people live, and a residual.
//
// Built once per call from copies of its inputs and only read afterwards. People at
// distance exactly zero from a site's first person share that site, so the kernel is
// computed per pair of sites and spread to pairs of people. The parameters are
// theta = (c_1 .. c_m, c_spatial, c_residual, lambda).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include <Eigen/Core>

#include "error.hpp"
#include "numerics/centring.hpp"
#include "numerics/design_basis.hpp"
#include "numerics/interval.hpp"
#include "numerics/matrix_scan.hpp"
#include "numerics/whole_sample.hpp"

namespace kestrune::spatial {

using whole_sample::Design;
using whole_sample::GroupedCovariance;
using whole_sample::Standardised;
using whole_sample::Workspace;
using whole_sample::whole_sample_likelihood;

inline constexpr double ln_2 = 0.6931471805599453;

// One evaluation of the likelihood at theta.
struct Evaluation {
  std::vector<double> gradient;    // d value / d theta; zeros when not asked for
  Eigen::VectorXd beta;            // GLS fixed effects
  Eigen::MatrixXd beta_covariance; // (X'V^-1 X)^-1
  double value;                    // -l (ML) or -l_R (REML)
};

// A fit mapped back to the scale of the response.
struct SpatialFit {
  std::vector<double> coefficients;  // c_1 .. c_m, c_spatial, c_residual
  std::vector<double> proportions;   // each coefficient / total
  double total;
  double decay_rate;     // NaN when integrated out
  double half_distance;  // ln 2 / decay_rate
  double loglik;
  double scaled_gradient;
  bool converged;  // scaled_gradient < 1e-6
  bool polished;   // polishing ran and its point was adopted
  std::vector<double> beta;
  std::vector<double> beta_se;
  std::string_view estimator;  // "reml" or "ml"
};

// The quantity an interval holds: the proportion of the variance coefficient at `index`
// (0 .. m + 1), or the decay rate.
struct Held {
  enum class Kind { proportion, decay } kind;
  std::size_t index = 0;  // for a proportion
};

// The parametric bootstrap of the statistic against no spatial variance.
struct SpatialBootstrap {
  double statistic;  // observed
  std::uint64_t exceedances;
  std::uint64_t usable;
  std::uint64_t requested;
  double p_value;  // (exceedances + 1) / (requested + 1)
  std::string_view rule;
  std::uint64_t seed;
};

// Predicted random effects of one component and their standard errors.
struct Prediction {
  Eigen::VectorXd effects;
  Eigen::VectorXd standard_errors;
};

// (lower, upper) for the decay rate: ln 2 over the largest and the smallest positive
// distance below the diagonal, or (1e-6, 1) when there is none.
std::pair<double, double> decay_bounds(const matrix_scan::Strided& distance);

// Great-circle distances in kilometres between points given in degrees.
Result<Eigen::MatrixXd> pairwise_haversine_km(std::span<const double> latitude,
                                              std::span<const double> longitude);

class SpatialModel {
 public:
  // Checks in a fixed order (the first failure is returned), groups people into sites and
  // sets the decay bounds. Every argument is read where it lies: the given matrices and the
  // design are copied only once every check has passed, and of the distances only those between
  // sites are kept.
  static Result<SpatialModel> build(std::span<const matrix_scan::Strided> fixed, const matrix_scan::Strided& distance,
                                    const matrix_scan::Strided& design);
  static Result<SpatialModel> build(const std::vector<Eigen::MatrixXd>& fixed, const matrix_scan::Strided& distance,
                                    const matrix_scan::Strided& design);

  // Value, GLS fixed effects and, when asked, the gradient at theta (m + 3 entries) for a
  // response of n entries; nothing where the likelihood cannot be evaluated.
  std::optional<Evaluation> evaluate(std::span<const double> theta, const Eigen::VectorXd& y, bool reml,
                                     bool with_gradient, Workspace& workspace) const;
  std::optional<Evaluation> evaluate(std::span<const double> theta, const Eigen::VectorXd& y, bool reml,
                                     bool with_gradient) const;

  // Whether V at theta (m + 3 entries) less its residual is singular at rounding.
  bool singular_without_residual(std::span<const double> theta, Workspace& workspace) const;

  // The mean likelihood over twelve decay rates spread evenly on the log scale of the decay
  // bounds, at the m + 2 variances theta; gradient, beta and covariance averaged to match.
  std::optional<Evaluation> evaluate_integrated(std::span<const double> theta, const Eigen::VectorXd& y,
                                                bool reml, bool with_gradient, Workspace& workspace) const;

  // The checks of a response, then the response less its least-squares fit on the design,
  // divided by its standard deviation.
  Result<Standardised> standardise(const Eigen::VectorXd& y) const;

  // The multistart fit with the decay rate estimated, or integrated out.
  Result<SpatialFit> fit(const Eigen::VectorXd& y, bool reml, Workspace& workspace) const;
  Result<SpatialFit> fit_integrated(const Eigen::VectorXd& y, bool reml, Workspace& workspace) const;

  // The same fit run from one point instead of the fixed starts: `theta` holds the variances
  // on the response's scale, then the decay rate unless it is integrated out.
  Result<SpatialFit> fit_from(const Eigen::VectorXd& y, bool reml, bool integrated, std::span<const double> theta,
                              Workspace& workspace) const;

  // 2 (l - l0) against the model without spatial variance, at least 0.
  Result<double> spatial_statistic(const Eigen::VectorXd& y, bool reml, bool integrated, Workspace& workspace) const;

  // The statistic's p-value from `replicates` responses drawn under the fitted null.
  Result<SpatialBootstrap> bootstrap_spatial_variance(const Eigen::VectorXd& y, bool reml, std::uint64_t replicates,
                                                      std::uint64_t seed, bool integrated) const;

  // Best linear unbiased predictions of component `component` (m the spatial one) at the fit.
  Result<Prediction> blup(const Eigen::VectorXd& y, bool reml, std::size_t component, bool integrated) const;

  // The 95 per cent profile-likelihood interval of a proportion or of the decay rate.
  Result<interval::ProfileInterval> profile_interval(const Eigen::VectorXd& y, bool reml, Held held,
                                                     bool integrated) const;

  // The log-likelihood of the standardised response y with `held` at `value` and the rest
  // maximised. When no start ends at an accepted maximum and `fitted` (the free fit's point on
  // the standardised scale) is given, one more run starts from its image with `held` at `value`.
  std::optional<double> profile_objective(const Eigen::VectorXd& y, bool reml, Held held, double value,
                                          bool integrated, Workspace& workspace,
                                          std::span<const double> fitted = {}) const;

  std::size_t n() const { return n_; }
  std::size_t m() const { return fixed_.size(); }
  std::size_t p() const { return static_cast<std::size_t>(basis_.columns().cols()); }
  // The design's orthogonal basis, which every fit works on; fixed effects leave through it.
  const design_basis::Basis& basis() const { return basis_; }
  const Eigen::MatrixXd& design() const { return basis_.columns(); }
  const centring::LeastSquares& least_squares() const { return least_squares_; }
  const std::vector<Eigen::MatrixXd>& fixed() const { return fixed_; }
  // The scale each of the m + 2 variances is searched on (matrix_scale): a matrix's own
  // size, then 1 for the spatial kernel and the residual.
  const std::vector<double>& sizes() const { return sizes_; }
  const std::vector<std::size_t>& site_of() const { return site_of_; }
  const Eigen::MatrixXd& site_distance() const { return site_distance_; }
  double logdet_xtx() const { return logdet_xtx_; }
  double decay_lower() const { return decay_lower_; }
  double decay_upper() const { return decay_upper_; }

 private:
  SpatialModel() = default;

  design_basis::Basis basis_ = design_basis::Basis::orthogonal(Eigen::MatrixXd());
  centring::LeastSquares least_squares_{Eigen::MatrixXd()};  // of the basis, factored once
  std::vector<Eigen::MatrixXd> fixed_;
  std::vector<double> sizes_;
  std::vector<std::size_t> site_of_;
  Eigen::MatrixXd site_distance_;
  whole_sample::Families families_;  // of the given matrices, with their sites
  std::size_t n_ = 0;
  double logdet_xtx_ = 0.0;
  double decay_lower_ = 0.0;
  double decay_upper_ = 0.0;
};

}  // namespace kestrune::spatial
