#include "prepared/model.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include <Eigen/Cholesky>

#include "numerics/blocks.hpp"
#include "numerics/deviance.hpp"
#include "numerics/eigen.hpp"
#include "numerics/heritability_search.hpp"
#include "numerics/matrix_scan.hpp"
#include "numerics/rotation.hpp"
#include "numerics/singular_reml.hpp"

namespace kestrune::prepared {
namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Eigenvalues of a block below this are tolerated as rounding and stored as 0.0.
constexpr double psd_tolerance = -1e-9;
constexpr double log_two_pi = 1.8378770664093453;
constexpr double normal_975 = 1.959963984540054;

using eigen::symmetric_eigen;

bool is_lower_hex_digest(const std::string& text) {
  return text.size() == 64 && std::ranges::all_of(text, [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

}  // namespace

Result<PreparedModel> PreparedModel::build(const matrix_scan::Strided& x_view, const matrix_scan::Strided& k,
                                           std::optional<std::string> subject_order_sha256) {
  if (subject_order_sha256 && !is_lower_hex_digest(*subject_order_sha256)) {
    return fail("PREPARE_SUBJECT_ORDER_SHA256_INVALID");
  }
  if (!k.square()) return fail("PREPARE_K_NOT_SQUARE");
  if (k.rows != x_view.rows) return fail("PREPARE_SHAPE_MISMATCH");
  if (x_view.cols == 0 || x_view.cols >= x_view.rows) return fail("PREPARE_NO_RESIDUAL_DEGREES_OF_FREEDOM");
  const Eigen::MatrixXd x = x_view.copy();
  if (!x.allFinite()) return fail("PREPARE_X_NOT_FINITE");
  blocks::Links links(static_cast<std::size_t>(k.rows));
  const matrix_scan::Findings found = matrix_scan::scan(k, {}, &links);
  if (!found.finite) return fail("PREPARE_K_NOT_FINITE");
  if (!found.symmetric) return fail("PREPARE_K_ASYMMETRIC");

  const Eigen::Index n = x.rows();
  const Eigen::Index p = x.cols();
  PreparedModel model;

  // k is exactly symmetric here, so its families are the groups its links join.
  rotation::Rotation rotation = rotation::decompose(k, links.groups());
  if (rotation.smallest < psd_tolerance) return fail("PREPARE_K_NOT_PSD");
  model.min_eigenvalue_ = rotation.smallest;
  model.eigenvalues_ = rotation.eigenvalues.cwiseMax(0.0);
  model.rotated_x_ = rotation::rotate_columns(rotation.blocks, x);

  // Rank is judged at the rounding level of each column, whatever its scale or offset, by the
  // rule every entry shares. The profile then fits on x's orthogonal basis, whose ln det B'B is
  // ln det x'x without the rounding a covariate's offset would bring.
  model.design_ = fixed_effects::Design::prepare(x);
  if (!model.design_) return fail("PREPARE_X_RANK_DEFICIENT");
  model.rotated_basis_ = rotation::rotate_columns(rotation.blocks, model.design_->orthogonal().columns());
  model.blocks_ = std::move(rotation.blocks);
  const Eigen::MatrixXd g = model.rotated_basis_.transpose() * model.rotated_basis_;
  const std::optional<double> logdet = eigen::log_det_above(g, 0.0);
  if (!logdet) return fail("PREPARE_X_RANK_DEFICIENT");

  model.logdet_xtx_ = *logdet;
  model.n_ = static_cast<std::size_t>(n);
  model.p_ = static_cast<std::size_t>(p);
  model.nu_ = static_cast<double>(n - p);
  model.subject_order_sha256_ = std::move(subject_order_sha256);
  return model;
}

Eigen::VectorXd PreparedModel::rotate(const Eigen::Ref<const Eigen::VectorXd>& y) const {
  return rotation::rotate(blocks_, y);
}

std::optional<Profiled> PreparedModel::profile(double h2, const Eigen::VectorXd& rotated_y,
                                               bool reml) const {
  const Eigen::Index n = static_cast<Eigen::Index>(n_);
  const Eigen::Index p = static_cast<Eigen::Index>(p_);

  // The rotation sets what rounding leaves of a zero eigenvalue to exactly 0.
  if (h2 == 1.0 && eigenvalues_.minCoeff() == 0.0) return at_singular_bound(rotated_y, reml);

  // Variance factors of the diagonal covariance in the rotated frame; the two bounds are
  // taken exactly so that h2 = 0 is ordinary least squares and h2 = 1 uses k alone.
  Eigen::VectorXd factors(n);
  if (h2 == 0.0) {
    factors.setOnes();
  } else if (h2 == 1.0) {
    factors = eigenvalues_;
  } else {
    for (Eigen::Index i = 0; i < n; ++i) factors[i] = (eigenvalues_[i] + (-1.0)) * h2 + 1.0;
  }
  for (const double v : factors) {
    if (!std::isfinite(v) || !(v > 0.0)) return std::nullopt;
  }

  // One pass: sum of log factors, A = X*' W^-1 X* (both triangles) and b = X*' W^-1 y*, X* the
  // rotated orthogonal basis; beta and its covariance are mapped to the design's columns after.
  const double* x = rotated_basis_.data();
  Eigen::MatrixXd a = Eigen::MatrixXd::Zero(p, p);
  Eigen::VectorXd b = Eigen::VectorXd::Zero(p);
  Eigen::VectorXd t(p);
  double log_factor_sum = 0.0;
  for (Eigen::Index i = 0; i < n; ++i) {
    log_factor_sum += std::log(factors[i]);
    const double w = 1.0 / factors[i];
    for (Eigen::Index j = 0; j < p; ++j) t[j] = w * x[i + j * n];
    for (Eigen::Index j = 0; j < p; ++j) {
      b[j] += rotated_y[i] * t[j];
      for (Eigen::Index c = 0; c < p; ++c) a(j, c) += t[j] * x[i + c * n];
    }
  }

  // Eigen's LLT lets a NaN pivot through, so the pivots are checked here.
  const Eigen::LLT<Eigen::MatrixXd> llt(a);
  if (llt.info() != Eigen::Success) return std::nullopt;
  const auto l = llt.matrixLLT();
  for (Eigen::Index j = 0; j < p; ++j) {
    if (!std::isfinite(l(j, j)) || !(l(j, j) > 0.0)) return std::nullopt;
  }
  const Eigen::VectorXd beta = llt.solve(b);

  double rss = 0.0;
  double yss = 0.0;
  for (Eigen::Index i = 0; i < n; ++i) {
    double fitted = 0.0;
    for (Eigen::Index j = 0; j < p; ++j) fitted += x[i + j * n] * beta[j];
    const double residual = rotated_y[i] - fitted;
    rss += residual * residual / factors[i];
    yss += rotated_y[i] * rotated_y[i] / factors[i];
  }
  // The fixed effects fit the response exactly: the variance scale is zero.
  if (rss <= 1e-12 * yss) return std::nullopt;

  const design_basis::Basis& basis = design_->orthogonal();
  Profiled result;
  result.beta = basis.coefficients(beta);
  result.cov = basis.covariance(llt.solve(Eigen::MatrixXd::Identity(p, p)));
  const double count = static_cast<double>(n);
  if (reml) {
    result.total_variance = rss / nu_;
    double log_pivots = 0.0;
    for (Eigen::Index j = 0; j < p; ++j) log_pivots += std::log(l(j, j));
    const double logdet_a = 2.0 * log_pivots;
    result.loglik = -0.5 * (nu_ + (nu_ * std::log(result.total_variance) +
                                   (((log_factor_sum + nu_ * log_two_pi) + logdet_a) - logdet_xtx_)));
  } else {
    result.total_variance = rss / count;
    result.loglik = -0.5 * (((count * log_two_pi + log_factor_sum) +
                             count * std::log(result.total_variance)) + count);
  }
  return result;
}

std::optional<Profiled> PreparedModel::at_singular_bound(const Eigen::VectorXd& rotated_y, bool reml) const {
  // Under ML the likelihood rises without bound towards h2 = 1 where the design spans k's zero
  // directions, and falls without bound where it does not: there is no value at the bound.
  if (!reml) return std::nullopt;
  const std::optional<singular_reml::Limit> limit =
      singular_reml::limit(eigenvalues_, rotated_basis_, rotated_y, 0.0);
  if (!limit || !(limit->residual_sum_of_squares > 1e-12 * limit->response_sum_of_squares)) return std::nullopt;
  const design_basis::Basis& basis = design_->orthogonal();
  Profiled result;
  result.beta = basis.coefficients(limit->beta);
  result.cov = basis.covariance(limit->cov);
  result.total_variance = limit->residual_sum_of_squares / nu_;
  result.loglik = -0.5 * (nu_ + nu_ * std::log(result.total_variance) + nu_ * log_two_pi +
                          limit->log_determinants - logdet_xtx_);
  return result;
}

namespace {

// The fit's view of the profile likelihood: l(h), and -infinity where there is no profile.
class ProfileCurve {
 public:
  ProfileCurve(const PreparedModel& model, const Eigen::VectorXd& rotated_y, bool reml)
      : model_(model), rotated_y_(rotated_y), reml_(reml) {}

  std::optional<Profiled> at(double h2) const { return model_.profile(h2, rotated_y_, reml_); }

  double loglik(double h2) const {
    const std::optional<Profiled> profiled = at(h2);
    return profiled ? profiled->loglik : -infinity;
  }

  // The search minimises -l(h), with +infinity wherever l is not finite.
  double objective(double h2) const {
    const double value = loglik(h2);
    return std::isfinite(value) ? -value : infinity;
  }

 private:
  const PreparedModel& model_;
  const Eigen::VectorXd& rotated_y_;
  bool reml_;
};

Boundary boundary_of(double h2) {
  if (h2 == 0.0) return Boundary::lower;
  if (h2 == 1.0) return Boundary::upper;
  return Boundary::interior;
}

std::vector<FixedEffect> wald_rows(const Profiled& profiled) {
  std::vector<FixedEffect> rows;
  rows.reserve(static_cast<std::size_t>(profiled.beta.size()));
  for (Eigen::Index j = 0; j < profiled.beta.size(); ++j) {
    FixedEffect row{profiled.beta[j], {}, {}, {}, {}, {}};
    const double variance = profiled.total_variance * profiled.cov(j, j);
    if (std::isfinite(variance) && variance > 0.0) {
      const double se = std::sqrt(variance);
      const double z = row.estimate / se;
      row.standard_error = se;
      row.z = z;
      row.p_value = std::erfc(std::fabs(z) / 1.4142135623730951);
      row.lower = row.estimate - normal_975 * se;
      row.upper = normal_975 * se + row.estimate;
    }
    rows.push_back(row);
  }
  return rows;
}

std::optional<HeritabilityTest> heritability_test(const ProfileCurve& curve, double loglik) {
  const double null_loglik = curve.loglik(0.0);
  if (!std::isfinite(null_loglik)) return std::nullopt;
  const double d = loglik - null_loglik;
  const double statistic = std::fmax(d + d, 0.0);
  const double p_value =
      statistic <= 0.0 ? 1.0 : 0.5 * deviance::gamma_q(0.5, statistic * 0.5);
  return HeritabilityTest{statistic, null_loglik, p_value};
}

// 1 / sqrt of the observed information from a numerical second derivative of l; the
// difference leans inwards within a step of a bound.
std::optional<double> h2_standard_error(const ProfileCurve& curve, double h2) {
  constexpr double step = 1e-4;
  const auto clamp = [](double h) { return std::fmin(std::fmax(h, 0.0), 1.0); };
  std::array<double, 3> points{};
  if (h2 < step) {
    points = {h2, std::fmin(h2 + step, 1.0), std::fmin(h2 + 2.0 * step, 1.0)};
  } else if (h2 > 0.9999) {
    points = {std::fmin(h2, 1.0), clamp(h2 - step), clamp(h2 - 2.0 * step)};
  } else {
    points = {std::fmin(h2 + step, 1.0), std::fmin(h2, 1.0), clamp(h2 - step)};
  }
  const double first = curve.loglik(points[0]);
  const double second = curve.loglik(points[1]);
  const double third = curve.loglik(points[2]);
  const double curvature = (first - 2.0 * second) + third;
  const double information = curvature / -1e-8;  // the step squared, negated
  if (!std::isfinite(information) || !(information > 0.0)) return std::nullopt;
  return 1.0 / std::sqrt(information);
}

std::vector<std::string> distinct_value_warnings(const Eigen::Ref<const Eigen::VectorXd>& y) {
  std::vector<double> sorted(y.begin(), y.end());
  std::ranges::sort(sorted);
  std::size_t distinct = sorted.empty() ? 0 : 1;
  for (std::size_t i = 1; i < sorted.size(); ++i) {
    if (sorted[i] != sorted[i - 1]) ++distinct;
  }
  if (distinct > 2) return {};
  return {"response has " + std::to_string(distinct) + " distinct values; fitted as quantitative"};
}

}  // namespace

OneTraitFit PreparedModel::fit_one_trait(const Eigen::VectorXd& rotated_y, bool reml,
                                         const Eigen::VectorXd& offset) const {
  const ProfileCurve curve(*this, rotated_y, reml);
  const heritability_search::Found best =
      heritability_search::search([&curve](double h2) { return curve.objective(h2); }, eigenvalues_);

  OneTraitFit fit;
  fit.h2 = heritability_search::snap(best.h2);
  fit.boundary = boundary_of(fit.h2);
  std::optional<Profiled> final_profile = curve.at(fit.h2);
  if (final_profile) final_profile->beta += offset;
  // A fit that reports numbers it could not represent has not converged.
  fit.converged = best.grid_value != infinity && final_profile && std::isfinite(final_profile->loglik) &&
                  std::isfinite(final_profile->total_variance) && final_profile->beta.allFinite();
  if (final_profile) {
    fit.total_variance = final_profile->total_variance;
    fit.beta = final_profile->beta;
    fit.loglik = final_profile->loglik;
    fit.fixed_effects = wald_rows(*final_profile);
  } else {
    fit.total_variance = nan;
    fit.beta = Eigen::VectorXd::Constant(static_cast<Eigen::Index>(p_), nan);
    fit.loglik = nan;
  }
  if (!fit.converged) return fit;

  const auto refit = [&curve](double h2) -> std::optional<double> {
    const std::optional<Profiled> profiled = curve.at(h2);
    if (!profiled) return std::nullopt;
    return profiled->loglik;
  };
  fit.interval = interval::profile_interval(refit, fit.h2, 0.0, 1.0, interval::FailedBound::searched);
  fit.interval.contains_lower_bound =
      interval::contains_bound(fit.interval.lower_limited, fit.interval.lower_statistic);
  fit.interval.contains_upper_bound =
      interval::contains_bound(fit.interval.upper_limited, fit.interval.upper_statistic);
  fit.test = heritability_test(curve, fit.loglik);
  if (fit.boundary == Boundary::interior) fit.h2_standard_error = h2_standard_error(curve, fit.h2);
  return fit;
}

Result<FitReport> PreparedModel::fit(const Eigen::Ref<const Eigen::VectorXd>& y,
                                     std::string_view estimator) const {
  bool reml = false;
  if (estimator == "reml") {
    reml = true;
  } else if (estimator != "ml") {
    return fail("FIT_ESTIMATOR_INVALID");
  }
  if (static_cast<std::size_t>(y.size()) != n_) return fail("FIT_Y_LENGTH_MISMATCH");
  if (!y.allFinite()) return fail("FIT_Y_NOT_FINITE");
  const centring::Centred centred = design_->centre(y);
  return FitReport{std::string(estimator), n_, distinct_value_warnings(y),
                   fit_one_trait(rotate(centred.residual), reml, centred.coefficients)};
}

}  // namespace kestrune::prepared
