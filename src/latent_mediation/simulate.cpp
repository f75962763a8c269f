#include "latent_mediation/simulate.hpp"

#include <cmath>
#include <new>

#include "latent_mediation/normal.hpp"
#include "numerics/interrupt.hpp"

namespace kestrune::latent_mediation {
namespace {

constexpr std::uint64_t attempts_per_family = 100000;

Eigen::Index at(std::size_t i) { return static_cast<Eigen::Index>(i); }

// The number of cuts strictly below the liability, at most 127.
std::int8_t category_of(double liability, const std::vector<double>& cuts) {
  int count = 0;
  for (const double cut : cuts)
    if (cut < liability && count < 127) ++count;
  return static_cast<std::int8_t>(count);
}

void draw_liabilities(const FamilyDrawPlan& plan, stream::Stream& stream, Eigen::VectorXd& z, Eigen::VectorXd& liability) {
  const Eigen::MatrixXd& factor = *plan.factor;
  const Eigen::Index size = z.size();
  for (Eigen::Index i = 0; i < size; ++i) z[i] = stream.normal();
  for (Eigen::Index i = 0; i < size; ++i) {
    double sum = 0.0;
    for (Eigen::Index j = 0; j <= i; ++j) sum += factor(i, j) * z[j];
    liability[i] = sum + plan.mean[i];
  }
}

Result<void> check_shape(const LatentMediationDesign& design) {
  const std::size_t n = design.relationship.size();
  if (n == 0) return fail("LATENT_MEDIATION_DESIGN_EMPTY");
  const std::size_t lengths[] = {design.mediator_threshold.size(), design.outcome_threshold.size(),
                                 design.mediator_measurement_error_variance.size(), design.observe_mediator_proxy.size(),
                                 design.mediator_proxy_sensitivity.size(), design.mediator_proxy_specificity.size(),
                                 design.observe_outcome.size(), design.outcome_prevalence.size()};
  for (const std::size_t length : lengths)
    if (length != n) return fail("LATENT_MEDIATION_DESIGN_SHAPE_INVALID");
  for (const auto& row : design.relationship)
    if (row.size() != n) return fail("LATENT_MEDIATION_DESIGN_SHAPE_INVALID");
  return {};
}

// The values a draw takes as they are, refused where they would give meaningless families: an
// error variance negative or not finite (NaN measurements), a threshold NaN where a draw compares
// with it (every comparison false): a mediator's where its proxy is observed, an outcome's where
// no category shares or prevalence place the cut instead; a proxy's sensitivity or specificity
// outside [0, 1].
Result<void> check_values(const LatentMediationDesign& design) {
  for (const auto& variance : design.mediator_measurement_error_variance)
    if (variance && !(*variance >= 0.0 && std::isfinite(*variance)))
      return fail("LATENT_MEDIATION_MEDIATOR_MEASUREMENT_ERROR_INVALID");
  const std::size_t n = design.relationship.size();
  for (std::size_t i = 0; i < n; ++i) {
    const bool shares = i < design.outcome_category_prevalence.size() && !design.outcome_category_prevalence[i].empty();
    const bool outcome_cut = !shares && !design.outcome_prevalence[i];
    if ((design.observe_mediator_proxy[i] && std::isnan(design.mediator_threshold[i])) ||
        (outcome_cut && std::isnan(design.outcome_threshold[i])))
      return fail("LATENT_MEDIATION_THRESHOLD_INVALID");
  }
  for (const auto* accuracies : {&design.mediator_proxy_sensitivity, &design.mediator_proxy_specificity})
    for (const double accuracy : *accuracies)
      if (!(accuracy >= 0.0 && accuracy <= 1.0)) return fail("LATENT_MEDIATION_MEDIATOR_PROXY_ACCURACY_OUTSIDE_UNIT");
  return {};
}

// The proband of a conditioned draw, or nothing for an unconditioned one.
Result<std::optional<std::size_t>> checked_ascertainment(const LatentMediationDesign& design) {
  if (design.ascertainment == "condition_on_named_proband_case") {
    if (!design.proband_index) return fail("LATENT_MEDIATION_PROBAND_INDEX_MISSING");
    if (*design.proband_index >= design.relationship.size() || !design.observe_outcome[*design.proband_index])
      return fail("LATENT_MEDIATION_PROBAND_INDEX_INVALID");
    return std::optional<std::size_t>(static_cast<std::size_t>(*design.proband_index));
  }
  if (design.ascertainment == "population_unconditioned") {
    if (design.proband_index) return fail("LATENT_MEDIATION_PROBAND_NOT_ALLOWED");
    return std::optional<std::size_t>();
  }
  return fail("LATENT_MEDIATION_ASCERTAINMENT_UNKNOWN");
}

double row_product(const std::vector<double>& row, const std::vector<double>& coefficients) {
  double sum = 0.0;
  for (std::size_t k = 0; k < coefficients.size(); ++k) sum += row[k] * coefficients[k];
  return sum;
}

}  // namespace

Result<DrawnObservations> draw_family(const FamilyDrawPlan& plan, stream::Stream& stream) {
  const std::size_t n = plan.cuts.size();
  Eigen::VectorXd z(at(2 * n)), liability(at(2 * n));
  for (std::uint64_t attempt = 0;; ++attempt) {
    if (attempt == attempts_per_family) return fail("LATENT_MEDIATION_ASCERTAINMENT_UNREACHABLE");
    draw_liabilities(plan, stream, z, liability);
    if (!plan.proband) break;
    const std::size_t p = *plan.proband;
    if (static_cast<std::uint64_t>(category_of(liability[at(n + p)], plan.cuts[p])) >= plan.required_category) break;
  }
  DrawnObservations drawn;
  drawn.mediator_measurement.resize(n);
  drawn.mediator_proxy_status.resize(n);
  drawn.outcome_status.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double mediator = liability[at(i)];
    if (plan.error_variance[i]) drawn.mediator_measurement[i] = mediator + std::sqrt(*plan.error_variance[i]) * stream.normal();
    if (plan.observe_proxy[i]) {
      const bool truth = mediator > plan.mediator_threshold[i];
      const double u = stream.uniform();
      const bool reported = truth ? u < plan.sensitivity[i] : u >= plan.specificity[i];
      drawn.mediator_proxy_status[i] = static_cast<std::int8_t>(reported ? 1 : 0);
    }
    if (plan.observe_outcome[i]) drawn.outcome_status[i] = category_of(liability[at(n + i)], plan.cuts[i]);
  }
  return drawn;
}

Result<std::vector<LatentMediationFamilyInput>> simulate(const LatentMediationDesign& design,
                                                         const Structural& parameters, std::uint64_t families,
                                                         std::uint64_t seed) {
  for (const double value : parameters)
    if (!std::isfinite(value)) return fail("LATENT_MEDIATION_PARAMETER_NOT_FINITE");
  if (parameters[0] < 0.0 || parameters[3] < 0.0) return fail("LATENT_MEDIATION_LOADING_NEGATIVE");
  if (parameters[4] <= 0.0) return fail("LATENT_MEDIATION_SIGMA_M2_NOT_POSITIVE");
  if (auto ok = check_shape(design); !ok) return std::unexpected(ok.error());
  auto proband = checked_ascertainment(design);
  if (!proband) return std::unexpected(proband.error());

  const std::size_t n = design.relationship.size();
  Eigen::MatrixXd k(at(n), at(n));
  for (std::size_t r = 0; r < n; ++r)
    for (std::size_t c = 0; c < n; ++c) k(at(r), at(c)) = design.relationship[r][c];
  auto sigma = directional_covariance(k, parameters);
  if (!sigma) return std::unexpected(sigma.error());
  auto factor = dense::DenseFactor::make(*sigma);
  if (!factor) return fail("LATENT_MEDIATION_COVARIANCE_NOT_POSITIVE_DEFINITE");
  auto w_m = design_width(design.mediator_design, n);
  if (!w_m) return std::unexpected(w_m.error());
  auto w_o = design_width(design.outcome_design, n);
  if (!w_o) return std::unexpected(w_o.error());
  if (*w_m != design.mediator_coefficients.size() || *w_o != design.outcome_coefficients.size())
    return fail("LATENT_MEDIATION_COEFFICIENT_COUNT_WRONG");

  FamilyDrawPlan plan{&factor->lower(), Eigen::VectorXd::Zero(at(2 * n)), {}, *proband,
                      design.ascertainment_category.value_or(1), design.mediator_measurement_error_variance,
                      design.observe_mediator_proxy, design.mediator_proxy_sensitivity,
                      design.mediator_proxy_specificity, design.mediator_threshold, design.observe_outcome};
  for (std::size_t i = 0; i < n; ++i) {
    if (*w_m > 0) plan.mean[at(i)] = row_product(design.mediator_design[i], design.mediator_coefficients);
    if (*w_o > 0) plan.mean[at(n + i)] = row_product(design.outcome_design[i], design.outcome_coefficients);
  }
  static const std::vector<double> no_shares;
  for (std::size_t i = 0; i < n; ++i) {
    const auto& shares = i < design.outcome_category_prevalence.size() ? design.outcome_category_prevalence[i] : no_shares;
    auto cuts = cut_set_for(shares, design.outcome_prevalence[i], design.outcome_threshold[i], (*sigma)(at(n + i), at(n + i)));
    if (!cuts) return std::unexpected(cuts.error());
    plan.cuts.push_back(std::move(*cuts));
  }
  if (auto ok = check_values(design); !ok) return std::unexpected(ok.error());
  // A coefficient that is not finite, or a product that overflows, would draw every liability
  // of that kind as NaN or infinite.
  if (!plan.mean.allFinite()) return fail("LATENT_MEDIATION_LIABILITY_MEAN_NOT_FINITE");

  std::vector<LatentMediationFamilyInput> drawn;
  // The whole list is reserved before the first draw; a count beyond what a vector can hold
  // is reported like any allocation that cannot be had.
  if (families > drawn.max_size()) throw std::bad_alloc();
  drawn.reserve(static_cast<std::size_t>(families));
  stream::Stream stream(seed);
  for (std::uint64_t f = 0; f < families; ++f) {
    if (interrupt::requested()) return fail(interrupt::code);
    auto observations = draw_family(plan, stream);
    if (!observations) return std::unexpected(observations.error());
    LatentMediationFamilyInput family;
    family.relationship = design.relationship;
    family.latent_mean.assign(2 * n, 0.0);
    family.mediator_design = design.mediator_design;
    family.outcome_design = design.outcome_design;
    family.mediator_measurement = std::move(observations->mediator_measurement);
    family.mediator_measurement_error_variance = design.mediator_measurement_error_variance;
    family.mediator_proxy_status = std::move(observations->mediator_proxy_status);
    family.outcome_status = std::move(observations->outcome_status);
    family.mediator_threshold = design.mediator_threshold;
    family.outcome_threshold = design.outcome_threshold;
    family.outcome_prevalence = design.outcome_prevalence;
    family.outcome_category_prevalence = design.outcome_category_prevalence;
    family.ascertainment_category = design.ascertainment_category;
    family.mediator_proxy_sensitivity = design.mediator_proxy_sensitivity;
    family.mediator_proxy_specificity = design.mediator_proxy_specificity;
    family.ascertainment = design.ascertainment;
    if (*proband) family.proband_index = design.proband_index;
    drawn.push_back(std::move(family));
  }
  return drawn;
}

}  // namespace kestrune::latent_mediation
