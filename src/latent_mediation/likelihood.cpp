// The family likelihood: the density of the measured mediators, the probability of the
// discrete observations given them (summed over the true statuses behind the proxies), and
// the ascertainment denominator.
#include <cmath>
#include <limits>
#include <vector>

#include "latent_mediation/model.hpp"
#include "latent_mediation/normal.hpp"
#include "latent_mediation/rectangle.hpp"
#include "numerics/interrupt.hpp"
#include "numerics/region.hpp"

namespace kestrune::latent_mediation {
namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();

Eigen::Index at(std::size_t i) { return static_cast<Eigen::Index>(i); }

bool positive_normal(double x) { return std::isnormal(x) && x > 0.0; }

Result<void> check_structural(const Structural& p) {
  for (const double value : p)
    if (!std::isfinite(value)) return fail("LATENT_MEDIATION_PARAMETER_NOT_FINITE");
  if (p[0] < 0.0 || p[3] < 0.0) return fail("LATENT_MEDIATION_LOADING_NEGATIVE");
  if (p[4] <= 0.0) return fail("LATENT_MEDIATION_SIGMA_M2_NOT_POSITIVE");
  return {};
}

// The proband's ascertainment probability P(outcome in category c or above), as a log.
Result<double> log_ascertainment(const LatentMediationFamily& family, const Eigen::VectorXd& mu,
                                 const Eigen::MatrixXd& covariance, const std::vector<double>& proband_cuts) {
  const std::size_t n = family.size();
  const std::size_t j = *family.proband;
  const double v = covariance(at(n + j), at(n + j));
  if (!(v > 0.0 && std::isfinite(v))) return fail("LATENT_MEDIATION_ASCERTAINMENT_VARIANCE_INVALID");
  const std::uint64_t c = family.ascertainment_category;
  if (c < 1 || c > proband_cuts.size()) return fail("LATENT_MEDIATION_ASCERTAINMENT_CATEGORY_OUT_OF_RANGE");
  const double z = (proband_cuts[c - 1] - mu[at(n + j)]) / std::sqrt(v);
  if (!std::isfinite(z)) return fail("LATENT_MEDIATION_NORMAL_VARIATE_NOT_FINITE");
  const double p = region::normal_cdf(-z);
  if (!(p > 0.0 && std::isfinite(p))) return fail("LATENT_MEDIATION_ASCERTAINMENT_PROBABILITY_INVALID");
  return std::log(p);
}

}  // namespace

Result<ConditionalDistribution> condition_on_mediator_measurements(const LatentMediationFamily& family,
                                                                   const Eigen::VectorXd& mean,
                                                                   const Eigen::MatrixXd& covariance) {
  const auto& discrete = family.discrete_liabilities;
  const auto& measured = family.measured;
  const auto p = at(discrete.size());
  const auto m = at(measured.size());
  ConditionalDistribution result{};
  result.mean.resize(p);
  result.covariance.resize(p, p);
  for (Eigen::Index i = 0; i < p; ++i) {
    result.mean[i] = mean[at(discrete[i])];
    for (Eigen::Index j = 0; j < p; ++j) result.covariance(i, j) = covariance(at(discrete[i]), at(discrete[j]));
  }
  if (m > 0) {
    Eigen::MatrixXd observed(m, m);
    Eigen::VectorXd residual(m);
    for (Eigen::Index i = 0; i < m; ++i) {
      for (Eigen::Index j = 0; j < m; ++j) observed(i, j) = covariance(at(measured[i]), at(measured[j]));
      observed(i, i) += family.measurement_error_variances[i];
      residual[i] = family.measurements[i] - mean[at(measured[i])];
    }
    auto factor = dense::DenseFactor::make(observed);
    if (!factor) return fail("LATENT_MEDIATION_OBSERVED_COVARIANCE_NOT_POSITIVE_DEFINITE");
    const Eigen::VectorXd alpha = factor->solve_vector(residual);
    double quadratic = 0.0;
    for (Eigen::Index i = 0; i < m; ++i) quadratic += residual[i] * alpha[i];
    result.log_continuous_density = -0.5 * (quadratic + static_cast<double>(m) * log_two_pi + factor->logdet());
    if (!std::isfinite(result.log_continuous_density)) return fail("LATENT_MEDIATION_CONTINUOUS_LOG_DENSITY_NOT_FINITE");
    if (p == 0) return result;
    Eigen::MatrixXd cross(p, m);
    for (Eigen::Index i = 0; i < p; ++i)
      for (Eigen::Index j = 0; j < m; ++j) cross(i, j) = covariance(at(discrete[i]), at(measured[j]));
    result.mean += cross * alpha;
    result.covariance -= cross * factor->solve_matrix(cross.transpose());
    result.factor = dense::DenseFactor::make(result.covariance);
    if (!result.factor) return fail("LATENT_MEDIATION_CONDITIONAL_COVARIANCE_NOT_POSITIVE_DEFINITE");
    return result;
  }
  // Without measurements the rectangle meets an unfactorable covariance itself, with its own code.
  if (p > 0) result.factor = dense::DenseFactor::make(result.covariance);
  return result;
}

Result<LatentMediationFamilyEvaluation> LatentMediationFamily::evaluate(const Eigen::MatrixXd& covariance,
                                                                        std::uint64_t qmc_points,
                                                                        const std::vector<double>& coefficients) const {
  if (coefficients.size() != static_cast<std::size_t>(design.cols())) return fail("LATENT_MEDIATION_COEFFICIENT_COUNT_WRONG");
  const std::size_t n = size();
  Eigen::VectorXd mu = latent_mean;
  if (!coefficients.empty())
    mu = design * Eigen::Map<const Eigen::VectorXd>(coefficients.data(), at(coefficients.size())) + latent_mean;

  std::vector<std::vector<double>> cuts(n);
  static const std::vector<double> no_shares;
  for (std::size_t i = 0; i < n; ++i) {
    const auto& shares = i < outcome_category_prevalence.size() ? outcome_category_prevalence[i] : no_shares;
    auto cut = cut_set_for(shares, outcome_prevalence[i], outcome_threshold[i], covariance(at(n + i), at(n + i)));
    if (!cut) return std::unexpected(cut.error());
    cuts[i] = std::move(*cut);
  }

  auto conditional = condition_on_mediator_measurements(*this, mu, covariance);
  if (!conditional) return std::unexpected(conditional.error());

  // The outcome coordinates are the same in every configuration; the proxies' alternate.
  const std::size_t k = proxy_observations.size();
  const std::size_t d = discrete_liabilities.size();
  std::vector<double> lower(d), upper(d);
  for (std::size_t o = 0; o < outcome_observations.size(); ++o) {
    const auto& [person, category] = outcome_observations[o];
    const auto& q = cuts[person];
    const auto c = static_cast<std::size_t>(category);
    lower[k + o] = c == 0 ? -infinity : q[c - 1];
    upper[k + o] = c < q.size() ? q[c] : infinity;
  }
  // ln P(observed | true) per proxy, for a true status of 0 and of 1.
  std::vector<std::array<double, 2>> log_accuracy(k);
  for (std::size_t u = 0; u < k; ++u) {
    const auto& [person, observed] = proxy_observations[u];
    const double se = mediator_proxy_sensitivity[person];
    const double sp = mediator_proxy_specificity[person];
    log_accuracy[u] = observed == 1 ? std::array{std::log(1.0 - sp), std::log(se)}
                                    : std::array{std::log(sp), std::log(1.0 - se)};
  }

  LatentMediationFamilyEvaluation record;
  const std::uint64_t configurations = std::uint64_t{1} << k;
  std::vector<double> terms(configurations);
  for (std::uint64_t t = 0; t < configurations; ++t) {
    double log_weight = 0.0;
    for (std::size_t u = 0; u < k; ++u) {
      const bool positive = (t >> u) & 1;
      const double threshold = mediator_threshold[proxy_observations[u].person];
      log_weight += log_accuracy[u][positive ? 1 : 0];
      lower[u] = positive ? threshold : -infinity;
      upper[u] = positive ? infinity : threshold;
    }
    auto rectangle = log_rectangle_probability(lower, upper, *conditional, qmc_points);
    if (!rectangle) return std::unexpected(rectangle.error());
    terms[t] = log_weight + rectangle->log_probability;
    record.integration_methods |= method_bit(rectangle->method);
    record.maximum_qmc_log_batch_range = std::fmax(record.maximum_qmc_log_batch_range, rectangle->batch_range);
  }
  record.log_discrete_probability = log_sum_exp(terms);
  if (!std::isfinite(record.log_discrete_probability)) return fail("LATENT_MEDIATION_DISCRETE_PROBABILITY_INVALID");

  record.ascertainment = "population_unconditioned";
  if (proband) {
    auto denominator = log_ascertainment(*this, mu, covariance, cuts[*proband]);
    if (!denominator) return std::unexpected(denominator.error());
    record.log_ascertainment_denominator = *denominator;
    record.ascertainment = "condition_on_named_proband_case";
  }
  record.log_continuous_density = conditional->log_continuous_density;
  record.log_likelihood =
      (record.log_discrete_probability + record.log_continuous_density) - record.log_ascertainment_denominator;
  if (!std::isfinite(record.log_likelihood)) return fail("LATENT_MEDIATION_FAMILY_LOG_LIKELIHOOD_NOT_FINITE");
  record.family_size = n;
  record.mediator_proxy_truth_configurations = configurations;
  record.ordinary_scale_representable = positive_normal(std::exp(record.log_continuous_density)) &&
                                        positive_normal(std::exp(record.log_continuous_density + record.log_discrete_probability)) &&
                                        positive_normal(std::exp(record.log_likelihood));
  return record;
}

Result<LatentMediationEvaluation> LatentMediationModel::evaluate(const Structural& parameters) const {
  for (const auto& family : families_)
    if (family.design.cols() > 0) return fail("LATENT_MEDIATION_COEFFICIENTS_REQUIRED");
  return evaluate_at(parameters, {});
}

Result<LatentMediationEvaluation> LatentMediationModel::evaluate_at(const Structural& parameters,
                                                                    const std::vector<double>& coefficients) const {
  if (auto ok = check_structural(parameters); !ok) return std::unexpected(ok.error());
  // One coefficient must mean one covariate of one liability in every family.
  for (const auto& family : families_)
    if (family.mediator_width != families_.front().mediator_width || family.outcome_width != families_.front().outcome_width)
      return fail("LATENT_MEDIATION_COEFFICIENT_COUNT_WRONG");
  LatentMediationEvaluation evaluation;
  evaluation.family_evaluations.reserve(families_.size());
  bool representable = true;
  for (const auto& family : families_) {
    if (interrupt::requested()) return fail(interrupt::code);
    auto covariance = directional_covariance(family.relationship, parameters);
    if (!covariance) return std::unexpected(covariance.error());
    auto record = family.evaluate(*covariance, qmc_points_, coefficients);
    if (!record) return std::unexpected(record.error());
    evaluation.log_likelihood += record->log_likelihood;
    evaluation.integration_methods |= record->integration_methods;
    evaluation.maximum_qmc_log_batch_range =
        std::fmax(evaluation.maximum_qmc_log_batch_range, record->maximum_qmc_log_batch_range);
    representable = representable && record->ordinary_scale_representable;
    evaluation.family_evaluations.push_back(std::move(*record));
  }
  if (!std::isfinite(evaluation.log_likelihood)) return fail("LATENT_MEDIATION_LOG_LIKELIHOOD_NOT_FINITE");
  const double ordinary = std::exp(evaluation.log_likelihood);
  evaluation.ordinary_scale_representable = representable && ordinary > 0.0 && std::isfinite(ordinary);
  return evaluation;
}

Result<Structural> natural_parameters(double scale, const std::vector<double>& x) {
  bool valid = x.size() >= 5 && scale > 0.0 && std::isfinite(scale);
  for (const double value : x) valid = valid && std::isfinite(value);
  if (!valid || x[0] < 0.0 || x[3] < 0.0) return fail("LATENT_MEDIATION_TRANSFORMED_PARAMETER_INVALID");
  const double root = std::sqrt(scale);
  const Structural parameters = {root * x[0], x[1] / root, x[2], std::sqrt(x[3]), scale * std::exp(x[4])};
  if (auto ok = check_structural(parameters); !ok) return std::unexpected(ok.error());
  return parameters;
}

Result<LatentMediationEvaluation> LatentMediationModel::evaluate_transformed(double scale,
                                                                             const std::vector<double>& x) const {
  auto parameters = natural_parameters(scale, x);
  if (!parameters) return std::unexpected(parameters.error());
  return evaluate_at(*parameters, std::vector<double>(x.begin() + 5, x.end()));
}

}  // namespace kestrune::latent_mediation
