// The latent mediation model: per-family inputs, their validation into families, the
// structural covariance of a family's liabilities, and the likelihood records.
//
// A family of n people has 2n liabilities in "liability order": index i is the mediator of
// person i, index n + i the outcome of person i. Latent means, design rows, covariances and
// the discrete liability list all follow it.
#pragma once

#include <Eigen/Core>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "numerics/dense.hpp"

namespace kestrune::latent_mediation {

using Rows = std::vector<std::vector<double>>;

// The five structural parameters [a, b, c_prime, d, sigma_m2].
using Structural = std::array<double, 5>;

// One family's raw input, as Python packs it; every list is a copy.
struct LatentMediationFamilyInput {
  Rows relationship;
  std::vector<double> latent_mean;
  Rows mediator_design;
  Rows outcome_design;
  std::vector<std::optional<double>> mediator_measurement;
  std::vector<std::optional<double>> mediator_measurement_error_variance;
  std::vector<std::optional<std::int8_t>> mediator_proxy_status;
  std::vector<std::optional<std::int8_t>> outcome_status;
  std::vector<double> mediator_threshold;
  std::vector<double> outcome_threshold;
  std::vector<std::optional<double>> outcome_prevalence;
  Rows outcome_category_prevalence;
  std::optional<std::uint64_t> ascertainment_category;
  std::vector<double> mediator_proxy_sensitivity;
  std::vector<double> mediator_proxy_specificity;
  std::string ascertainment;
  std::optional<std::uint64_t> proband_index;
};

// One observed status: the person and the value.
struct Observation {
  std::size_t person;
  std::int8_t status;
};

// Of one family's evaluation.
// Integration methods are kept as a set of bits, one per `Method` (rectangle.hpp), whose
// order is that of the names; `method_names` lists them.
struct LatentMediationFamilyEvaluation {
  std::uint8_t integration_methods = 0;
  std::string_view ascertainment;  // "population_unconditioned" or "condition_on_named_proband_case"
  double log_likelihood = 0.0;
  double log_continuous_density = 0.0;
  double log_discrete_probability = 0.0;
  double log_ascertainment_denominator = 0.0;
  double maximum_qmc_log_batch_range = 0.0;
  std::size_t family_size = 0;
  std::uint64_t mediator_proxy_truth_configurations = 1;
  bool ordinary_scale_representable = false;
};

// Of the whole model's evaluation.
struct LatentMediationEvaluation {
  std::uint8_t integration_methods = 0;  // union over the families
  std::vector<LatentMediationFamilyEvaluation> family_evaluations;
  double log_likelihood = 0.0;
  double maximum_qmc_log_batch_range = 0.0;
  bool ordinary_scale_representable = false;
};

// One validated family, with everything the likelihood needs derived once.
struct LatentMediationFamily {
  std::optional<std::size_t> proband;  // present exactly under a named-proband ascertainment
  Eigen::MatrixXd relationship;
  Eigen::VectorXd latent_mean;
  Eigen::MatrixXd design;  // 2n x (w_M + w_O), zero outside each liability's own covariates
  std::size_t mediator_width = 0;
  std::size_t outcome_width = 0;
  std::vector<std::size_t> measured;
  std::vector<double> measurements;
  std::vector<double> measurement_error_variances;
  std::vector<Observation> proxy_observations;
  std::vector<Observation> outcome_observations;
  std::vector<std::size_t> discrete_liabilities;  // rectangle order: proxies, then outcomes
  std::vector<double> mediator_threshold;
  std::vector<double> outcome_threshold;
  std::vector<std::optional<double>> outcome_prevalence;  // n entries
  Rows outcome_category_prevalence;                       // as given; may be shorter than n
  std::vector<double> mediator_proxy_sensitivity;
  std::vector<double> mediator_proxy_specificity;
  std::uint64_t ascertainment_category = 1;

  std::size_t size() const { return static_cast<std::size_t>(relationship.rows()); }

  static Result<LatentMediationFamily> build(LatentMediationFamilyInput input);

  Result<LatentMediationFamilyEvaluation> evaluate(const Eigen::MatrixXd& covariance, std::uint64_t qmc_points,
                                                   const std::vector<double>& coefficients) const;
};

// One optimiser coordinate (0 to 4) held at a value in coordinate units.
struct HeldCoordinate {
  std::size_t index;
  double value;
};

// A maximum-likelihood fit with some coordinates possibly held.
struct LatentMediationFit {
  std::vector<double> coefficients;
  std::vector<std::string_view> boundary_parameters;  // "a" then "d", when on their lower bounds
  LatentMediationEvaluation evaluation;
  double a = 0.0, b = 0.0, c_prime = 0.0, d = 0.0, sigma_m2 = 0.0;
  double log_likelihood = 0.0;
  double scaled_gradient = 0.0;
  bool horizontal_identified = true;
  std::vector<double> coordinates;  // the winner's optimiser coordinates
  double objective = 0.0;           // minimised there: -log_likelihood - (n/2) ln s
};

struct HorizontalTest {
  std::string_view rule;
  std::string_view reference;
  double statistic = 0.0;
  double p_value = 1.0;
};

struct VerticalTest {
  std::string_view rule;
  std::string_view loading_reference;
  double loading_statistic = 0.0;
  double loading_p_value = 1.0;
  double path_statistic = 0.0;
  double path_p_value = 1.0;
  double p_value = 1.0;
  std::size_t bootstrap_replicates = 0;
};

struct VerticalSet {
  std::optional<double> lower, upper;
  double estimate = 0.0;
  double level = 0.975;
  std::size_t profile_failures = 0;
  double searched_to = 0.0;
  bool contains_zero = false;
  bool disjoint = false;
};

struct HorizontalSet {
  std::optional<double> lower, upper;
  double estimate = 0.0;
  double level = 0.975;
  std::size_t profile_failures = 0;
  double searched_to = 0.0;
  bool unbounded = false;
};

class LatentMediationModel {
 public:
  static Result<LatentMediationModel> build(std::vector<LatentMediationFamilyInput> inputs,
                                            std::uint64_t qmc_points);

  // At the structural parameters, for a model without design coefficients.
  Result<LatentMediationEvaluation> evaluate(const Structural& parameters) const;
  Result<LatentMediationEvaluation> evaluate_at(const Structural& parameters,
                                                const std::vector<double>& coefficients) const;
  // At optimiser coordinates x = [a/sqrt s, b sqrt s, c_prime, d^2, ln(sigma_m2/s), coefficients...].
  Result<LatentMediationEvaluation> evaluate_transformed(double scale, const std::vector<double>& x) const;

  // Maximum likelihood from five fixed starts, the held coordinates fixed (fit.cpp).
  Result<LatentMediationFit> fit_holding_at(const std::vector<HeldCoordinate>& held) const;
  // The same fit run from the `given` start (optimiser coordinates) alone, else from the five.
  Result<LatentMediationFit> fit_from(const std::vector<HeldCoordinate>& held,
                                      const std::optional<std::vector<double>>& given) const;

  // Tests of the estimands against nought and their 97.5 per cent sets (inference.cpp).
  Result<HorizontalTest> test_horizontal() const;
  Result<VerticalTest> test_vertical_with(std::size_t bootstrap_replicates) const;
  double vertical_profile(std::size_t& failures, double theta) const;
  Result<VerticalSet> vertical_set(double searched_to, std::size_t bootstrap_replicates) const;
  Result<HorizontalSet> horizontal_set(double searched_to) const;

  const std::vector<LatentMediationFamily>& families() const { return families_; }
  std::uint64_t qmc_points() const { return qmc_points_; }

 private:
  LatentMediationModel(std::vector<LatentMediationFamily> families, std::vector<LatentMediationFamilyInput> inputs,
                       std::uint64_t qmc_points)
      : families_(std::move(families)), inputs_(std::move(inputs)), qmc_points_(qmc_points) {}

  std::vector<LatentMediationFamily> families_;
  std::vector<LatentMediationFamilyInput> inputs_;
  std::uint64_t qmc_points_ = 0;
};

// The natural parameters at optimiser coordinates x on mediator scale s, checked as the
// evaluation checks them.
Result<Structural> natural_parameters(double scale, const std::vector<double>& x);

// The width of a design given as rows (0 without rows), checked against n rows.
Result<std::size_t> design_width(const Rows& rows, std::size_t n);

// The 2n x 2n covariance of a family's liabilities at the structural parameters, refused
// when it has no Cholesky factor.
Result<Eigen::MatrixXd> directional_covariance(const Eigen::MatrixXd& relationship, const Structural& parameters);

// The discrete liabilities' normal distribution given the measured mediators.
struct ConditionalDistribution {
  Eigen::VectorXd mean;
  Eigen::MatrixXd covariance;
  double log_continuous_density = 0.0;
  std::optional<dense::DenseFactor> factor;  // of `covariance`, when it has any rows
};

Result<ConditionalDistribution> condition_on_mediator_measurements(const LatentMediationFamily& family,
                                                                   const Eigen::VectorXd& mean,
                                                                   const Eigen::MatrixXd& covariance);

}  // namespace kestrune::latent_mediation
