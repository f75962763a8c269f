// Families drawn from the latent mediation model, for calibration, power work and the
// parametric bootstrap. Every draw comes from one SplitMix64 stream in a fixed order, so the
// same arguments always give the same families.
#pragma once

#include <Eigen/Core>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "error.hpp"
#include "latent_mediation/model.hpp"
#include "numerics/stream.hpp"

namespace kestrune::latent_mediation {

// One family's shape with its coefficients; n is the number of rows of `relationship`.
struct LatentMediationDesign {
  Rows relationship;
  Rows mediator_design;
  Rows outcome_design;
  std::vector<double> mediator_coefficients;
  std::vector<double> outcome_coefficients;
  std::vector<std::optional<double>> outcome_prevalence;
  Rows outcome_category_prevalence;  // may be shorter than n
  std::vector<double> mediator_threshold;
  std::vector<double> outcome_threshold;
  std::vector<std::optional<double>> mediator_measurement_error_variance;  // present = measured
  std::vector<bool> observe_mediator_proxy;
  std::vector<bool> observe_outcome;
  std::vector<double> mediator_proxy_sensitivity;
  std::vector<double> mediator_proxy_specificity;
  std::string ascertainment;
  std::optional<std::uint64_t> proband_index;
  std::optional<std::uint64_t> ascertainment_category;
};

// What one family draw needs: the factor of the liabilities' covariance, their mean, each
// person's outcome cut set and what is observed of each person.
struct FamilyDrawPlan {
  const Eigen::MatrixXd* factor;  // L in the lower triangle
  Eigen::VectorXd mean;
  std::vector<std::vector<double>> cuts;
  std::optional<std::size_t> proband;    // present when the draw is conditioned
  std::uint64_t required_category = 1;   // the proband's outcome must reach it
  std::vector<std::optional<double>> error_variance;  // present for a measured mediator
  std::vector<bool> observe_proxy;
  std::vector<double> sensitivity;
  std::vector<double> specificity;
  std::vector<double> mediator_threshold;
  std::vector<bool> observe_outcome;
};

// One family's observed values.
struct DrawnObservations {
  std::vector<std::optional<double>> mediator_measurement;
  std::vector<std::optional<std::int8_t>> mediator_proxy_status;
  std::vector<std::optional<std::int8_t>> outcome_status;
};

// Draws the liabilities (again, up to 100,000 times, until a conditioned proband is a case),
// then each person's measurement, proxy and outcome in person order.
Result<DrawnObservations> draw_family(const FamilyDrawPlan& plan, stream::Stream& stream);

// `families` families drawn with a stream seeded by `seed`; every check comes first.
Result<std::vector<LatentMediationFamilyInput>> simulate(const LatentMediationDesign& design,
                                                         const Structural& parameters, std::uint64_t families,
                                                         std::uint64_t seed);

}  // namespace kestrune::latent_mediation
