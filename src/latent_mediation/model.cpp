#include "latent_mediation/model.hpp"

#include <cmath>
#include <utility>

#include "numerics/blocks.hpp"
#include "numerics/eigen.hpp"

namespace kestrune::latent_mediation {
namespace {

constexpr std::size_t proxy_limit = 12;
constexpr std::size_t discrete_limit = 25;

bool positive_finite(double x) { return x > 0.0 && std::isfinite(x); }
bool finite_all(const std::vector<double>& values) {
  for (const double value : values)
    if (!std::isfinite(value)) return false;
  return true;
}

// Steps on the relationship matrix: shape, finiteness, unit diagonal, exact symmetry,
// positive semi-definiteness, connectedness.
Result<Eigen::MatrixXd> checked_relationship(const Rows& rows) {
  const std::size_t n = rows.size();
  if (n == 0) return fail("LATENT_MEDIATION_FAMILY_EMPTY");
  for (const auto& row : rows)
    if (row.size() != n) return fail("LATENT_MEDIATION_RELATIONSHIP_WRONG_SHAPE");
  const auto order = static_cast<Eigen::Index>(n);
  Eigen::MatrixXd k(order, order);
  for (Eigen::Index r = 0; r < order; ++r)
    for (Eigen::Index c = 0; c < order; ++c) k(r, c) = rows[r][c];
  if (!k.allFinite()) return fail("LATENT_MEDIATION_RELATIONSHIP_NOT_FINITE");
  for (Eigen::Index i = 0; i < order; ++i) {
    if (std::fabs(k(i, i) - 1.0) > 1e-10) return fail("LATENT_MEDIATION_RELATIONSHIP_DIAGONAL_NOT_ONE");
    for (Eigen::Index j = 0; j < i; ++j)
      if (k(i, j) != k(j, i)) return fail("LATENT_MEDIATION_RELATIONSHIP_NOT_SYMMETRIC");
  }
  if (eigen::symmetric_eigen(k).values.minCoeff() < -1e-9)
    return fail("LATENT_MEDIATION_RELATIONSHIP_NOT_POSITIVE_SEMIDEFINITE");
  if (n > 1) {
    const auto linked = [&k](std::size_t i, std::size_t j) {
      return std::fabs(k(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(j))) > 1e-10;
    };
    if (blocks::connected_components(n, linked).size() != 1) return fail("LATENT_MEDIATION_FAMILY_NOT_CONNECTED");
  }
  return k;
}

// Category shares per person, then the binary outcome statuses.
Result<void> check_outcome_categories(const LatentMediationFamilyInput& input) {
  const std::size_t n = input.relationship.size();
  const auto& categories = input.outcome_category_prevalence;
  if (!categories.empty() && categories.size() != n)
    return fail("LATENT_MEDIATION_OUTCOME_CATEGORIES_WRONG_LENGTH");
  for (std::size_t i = 0; i < n; ++i) {
    const auto& status = input.outcome_status[i];
    const std::vector<double>* shares = categories.empty() ? nullptr : &categories[i];
    if (shares == nullptr || shares->empty()) {
      if (status && *status != 0 && *status != 1) return fail("LATENT_MEDIATION_STATUS_NOT_BINARY");
      continue;
    }
    if (shares->size() == 1) return fail("LATENT_MEDIATION_OUTCOME_CATEGORIES_TOO_FEW");
    double sum = 0.0;
    for (const double share : *shares)
      if (!positive_finite(share)) return fail("LATENT_MEDIATION_OUTCOME_CATEGORY_SHARE_INVALID");
    for (const double share : *shares) sum += share;
    if (std::fabs(sum - 1.0) > 1e-9) return fail("LATENT_MEDIATION_OUTCOME_CATEGORY_SHARES_NOT_ONE");
    if (status && (*status < 0 || static_cast<std::size_t>(*status) >= shares->size()))
      return fail("LATENT_MEDIATION_OUTCOME_CATEGORY_OUT_OF_RANGE");
  }
  return {};
}

Result<void> check_measurements(const LatentMediationFamilyInput& input) {
  for (std::size_t i = 0; i < input.relationship.size(); ++i) {
    const auto& measurement = input.mediator_measurement[i];
    const auto& error = input.mediator_measurement_error_variance[i];
    if (measurement) {
      if (!error) return fail("LATENT_MEDIATION_MEDIATOR_MEASUREMENT_ERROR_MISSING");
      if (!std::isfinite(*measurement)) return fail("LATENT_MEDIATION_MEDIATOR_MEASUREMENT_NOT_FINITE");
      if (!positive_finite(*error)) return fail("LATENT_MEDIATION_MEDIATOR_MEASUREMENT_ERROR_NOT_POSITIVE");
    } else if (error) {
      return fail("LATENT_MEDIATION_MISSING_MEDIATOR_MEASUREMENT_HAS_ERROR");
    }
  }
  return {};
}

Result<void> check_person_vectors(const LatentMediationFamilyInput& input) {
  const std::size_t n = input.relationship.size();
  for (const auto* vector : {&input.mediator_threshold, &input.outcome_threshold, &input.mediator_proxy_sensitivity,
                             &input.mediator_proxy_specificity}) {
    if (vector->size() != n) return fail("LATENT_MEDIATION_PERSON_VECTOR_WRONG_LENGTH");
    if (!finite_all(*vector)) return fail("LATENT_MEDIATION_PERSON_VECTOR_NOT_FINITE");
  }
  for (const auto* vector : {&input.mediator_proxy_sensitivity, &input.mediator_proxy_specificity})
    for (const double value : *vector)
      if (!(value > 0.0 && value < 1.0)) return fail("LATENT_MEDIATION_MEDIATOR_PROXY_ACCURACY_OUTSIDE_OPEN_UNIT");
  return {};
}

std::size_t present_count(const std::vector<std::optional<std::int8_t>>& statuses) {
  std::size_t count = 0;
  for (const auto& status : statuses) count += status ? 1 : 0;
  return count;
}

// The proband, present exactly under a named-proband ascertainment.
Result<std::optional<std::size_t>> checked_proband(const LatentMediationFamilyInput& input) {
  const std::size_t n = input.relationship.size();
  if (input.ascertainment == "population_unconditioned") {
    if (input.proband_index) return fail("LATENT_MEDIATION_UNCONDITIONED_PROBAND_GIVEN");
    return std::optional<std::size_t>();
  }
  if (input.ascertainment != "condition_on_named_proband_case") return fail("LATENT_MEDIATION_ASCERTAINMENT_UNSUPPORTED");
  if (!input.proband_index) return fail("LATENT_MEDIATION_NAMED_PROBAND_MISSING");
  if (*input.proband_index >= n) return fail("LATENT_MEDIATION_PROBAND_OUTSIDE_FAMILY");
  const auto proband = static_cast<std::size_t>(*input.proband_index);
  const auto& status = input.outcome_status[proband];
  const std::uint64_t category = input.ascertainment_category.value_or(1);
  if (!status || *status < 0 || static_cast<std::uint64_t>(*status) < category)
    return fail("LATENT_MEDIATION_NAMED_PROBAND_NOT_OUTCOME_CASE");
  return std::optional<std::size_t>(proband);
}

std::vector<Observation> observations(const std::vector<std::optional<std::int8_t>>& statuses) {
  std::vector<Observation> observed;
  for (std::size_t i = 0; i < statuses.size(); ++i)
    if (statuses[i]) observed.push_back({i, *statuses[i]});
  return observed;
}

Result<std::vector<std::optional<double>>> checked_prevalences(std::vector<std::optional<double>> prevalences,
                                                               std::size_t n) {
  if (prevalences.empty()) return std::vector<std::optional<double>>(n);
  if (prevalences.size() != n) return fail("LATENT_MEDIATION_OUTCOME_PREVALENCE_WRONG_LENGTH");
  for (const auto& prevalence : prevalences)
    if (prevalence && !(*prevalence > 0.0 && *prevalence < 1.0)) return fail("LATENT_MEDIATION_OUTCOME_PREVALENCE_INVALID");
  return prevalences;
}

// 2n rows in liability order: person i's mediator covariates in the first w_M columns of
// row i, its outcome covariates in the last w_O columns of row n + i.
Eigen::MatrixXd liability_design(const Rows& mediator, const Rows& outcome, std::size_t n, std::size_t w_m,
                                 std::size_t w_o) {
  Eigen::MatrixXd design = Eigen::MatrixXd::Zero(static_cast<Eigen::Index>(2 * n), static_cast<Eigen::Index>(w_m + w_o));
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t c = 0; c < w_m; ++c) design(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(c)) = mediator[i][c];
    for (std::size_t c = 0; c < w_o; ++c)
      design(static_cast<Eigen::Index>(n + i), static_cast<Eigen::Index>(w_m + c)) = outcome[i][c];
  }
  return design;
}

}  // namespace

Result<std::size_t> design_width(const Rows& rows, std::size_t n) {
  if (rows.empty()) return std::size_t{0};
  if (rows.size() != n) return fail("LATENT_MEDIATION_DESIGN_ROWS_WRONG");
  const std::size_t width = rows.front().size();
  for (const auto& row : rows)
    if (width == 0 || row.size() != width) return fail("LATENT_MEDIATION_DESIGN_RAGGED");
  for (const auto& row : rows)
    if (!finite_all(row)) return fail("LATENT_MEDIATION_DESIGN_NOT_FINITE");
  return width;
}

Result<Eigen::MatrixXd> directional_covariance(const Eigen::MatrixXd& k, const Structural& parameters) {
  const auto [a, b, c_prime, d, s] = parameters;
  const double t = a * b + c_prime;
  const double g_mm = a * a, g_mo = a * t, g_oo = t * t + d * d;
  const double e_mm = s, e_mo = b * s, e_oo = b * b * s + 1.0;
  const Eigen::Index n = k.rows();
  Eigen::MatrixXd sigma(2 * n, 2 * n);
  for (Eigen::Index j = 0; j < n; ++j) {
    for (Eigen::Index i = 0; i < n; ++i) {
      const double kij = k(i, j);
      const double unit = i == j ? 1.0 : 0.0;
      sigma(i, j) = g_mm * kij + e_mm * unit;
      sigma(n + i, j) = g_mo * kij + e_mo * unit;
      sigma(i, n + j) = g_mo * kij + e_mo * unit;
      sigma(n + i, n + j) = g_oo * kij + e_oo * unit;
    }
  }
  if (!dense::DenseFactor::make(sigma)) return fail("LATENT_MEDIATION_COVARIANCE_NOT_POSITIVE_DEFINITE");
  return sigma;
}

Result<LatentMediationFamily> LatentMediationFamily::build(LatentMediationFamilyInput input) {
  auto k = checked_relationship(input.relationship);
  if (!k) return std::unexpected(k.error());
  const std::size_t n = input.relationship.size();
  if (input.latent_mean.size() != 2 * n) return fail("LATENT_MEDIATION_LATENT_MEAN_WRONG_LENGTH");
  if (!finite_all(input.latent_mean)) return fail("LATENT_MEDIATION_LATENT_MEAN_NOT_FINITE");
  if (input.mediator_measurement.size() != n || input.mediator_measurement_error_variance.size() != n)
    return fail("LATENT_MEDIATION_CONTINUOUS_OBSERVATION_WRONG_LENGTH");
  if (input.mediator_proxy_status.size() != n || input.outcome_status.size() != n)
    return fail("LATENT_MEDIATION_STATUS_WRONG_LENGTH");
  for (const auto& status : input.mediator_proxy_status)
    if (status && *status != 0 && *status != 1) return fail("LATENT_MEDIATION_STATUS_NOT_BINARY");
  if (auto ok = check_outcome_categories(input); !ok) return std::unexpected(ok.error());
  if (auto ok = check_measurements(input); !ok) return std::unexpected(ok.error());
  if (auto ok = check_person_vectors(input); !ok) return std::unexpected(ok.error());
  const std::size_t proxies = present_count(input.mediator_proxy_status);
  const std::size_t outcomes = present_count(input.outcome_status);
  if (proxies > proxy_limit) return fail("LATENT_MEDIATION_MEDIATOR_PROXY_DIMENSION_EXCEEDED");
  if (proxies + outcomes > discrete_limit) return fail("LATENT_MEDIATION_DISCRETE_DIMENSION_EXCEEDED");
  auto proband = checked_proband(input);
  if (!proband) return std::unexpected(proband.error());

  LatentMediationFamily family;
  family.proband = *proband;
  for (std::size_t i = 0; i < n; ++i) {
    if (!input.mediator_measurement[i]) continue;
    family.measured.push_back(i);
    family.measurements.push_back(*input.mediator_measurement[i]);
    family.measurement_error_variances.push_back(*input.mediator_measurement_error_variance[i]);
  }
  family.proxy_observations = observations(input.mediator_proxy_status);
  family.outcome_observations = observations(input.outcome_status);
  for (const auto& observation : family.proxy_observations) family.discrete_liabilities.push_back(observation.person);
  for (const auto& observation : family.outcome_observations)
    family.discrete_liabilities.push_back(n + observation.person);

  auto prevalences = checked_prevalences(std::move(input.outcome_prevalence), n);
  if (!prevalences) return std::unexpected(prevalences.error());
  auto w_m = design_width(input.mediator_design, n);
  if (!w_m) return std::unexpected(w_m.error());
  auto w_o = design_width(input.outcome_design, n);
  if (!w_o) return std::unexpected(w_o.error());

  family.relationship = std::move(*k);
  family.latent_mean = Eigen::Map<const Eigen::VectorXd>(input.latent_mean.data(), static_cast<Eigen::Index>(2 * n));
  family.design = liability_design(input.mediator_design, input.outcome_design, n, *w_m, *w_o);
  family.mediator_width = *w_m;
  family.outcome_width = *w_o;
  family.mediator_threshold = std::move(input.mediator_threshold);
  family.outcome_threshold = std::move(input.outcome_threshold);
  family.outcome_prevalence = std::move(*prevalences);
  family.outcome_category_prevalence = std::move(input.outcome_category_prevalence);
  family.mediator_proxy_sensitivity = std::move(input.mediator_proxy_sensitivity);
  family.mediator_proxy_specificity = std::move(input.mediator_proxy_specificity);
  family.ascertainment_category = input.ascertainment_category.value_or(1);
  return family;
}

Result<LatentMediationModel> LatentMediationModel::build(std::vector<LatentMediationFamilyInput> inputs,
                                                         std::uint64_t qmc_points) {
  if (inputs.empty()) return fail("LATENT_MEDIATION_NO_FAMILIES");
  if (qmc_points != 0 && !(qmc_points >= 256 && qmc_points % 8 == 0)) return fail("LATENT_MEDIATION_QMC_POINTS_INVALID");
  std::vector<LatentMediationFamily> families;
  families.reserve(inputs.size());
  for (const auto& input : inputs) {
    auto family = LatentMediationFamily::build(input);
    if (!family) return std::unexpected(family.error());
    families.push_back(std::move(*family));
  }
  return LatentMediationModel(std::move(families), std::move(inputs), qmc_points);
}

}  // namespace kestrune::latent_mediation
