// What a user asks of a fitted components model: is a component there, are several equal,
// how wide is a share, how far each class lies from a shared baseline, where each person's
// effect lies. Each is a refit of the model (or of a model built from its matrices) plus
// the bookkeeping of which null, which reference and which scale.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include <Eigen/Core>

#include "components/model.hpp"
#include "error.hpp"
#include "numerics/interval.hpp"

namespace kestrune::components {

// A likelihood-ratio test: the statistic (never negative), its p-value, the name of its
// reference law and the null log-likelihood on the response's own scale.
struct ComponentTest {
  double statistic;
  double p_value;
  std::string_view reference;
  double null_loglik;
};

// One class's difference from the mean of the class coefficients, its profile interval and
// the test of a zero difference, in the response's variance units.
struct Contrast {
  double difference;
  double lower;
  double upper;
  double p_value;
  double statistic;
  bool lower_limited;
  bool upper_limited;
};

// The profile log-likelihood of the standardised response y with the weighted share
// w_t theta_t / sum_j w_j theta_j held at `share`, maximised over every other direction.
// Nothing for a share outside [0, 1], weights that are not k positive finite numbers, or a
// maximisation that fails or is not flat; nothing too for t above m.
std::optional<double> profile_objective(const ComponentModel& model, const Eigen::VectorXd& y, bool reml,
                                        std::size_t t, std::span<const double> weights, double share);

// A test's full fit against its null, whose end point (k coefficients on the response's variance
// scale) lies in the full model: the full fit itself, or, where the null's log-likelihood lies above
// it (the full search stopped short), the better converged of it and a refit of the full model from
// the null's end point; COMPONENTS_BETTER_UNRESOLVED_OPTIMUM when the null still lies above.
Result<ComponentFit> refit_above_null(const ComponentModel& model, const Eigen::VectorXd& y, bool reml,
                                      std::span<const std::size_t> signed_components, ComponentFit full,
                                      double null_loglik, std::span<const double> null_point);

// Component t (< m) against no variance at all, on the 50:50 mixture of 0 and chi2(1).
Result<ComponentTest> component_test(const ComponentModel& model, const Eigen::VectorXd& y, std::size_t t,
                                     bool reml);

// The listed structured components against one shared variance, on chi2(distinct - 1).
Result<ComponentTest> equality_test(const ComponentModel& model, const Eigen::VectorXd& y,
                                    std::span<const std::size_t> components, bool reml);

// The 95% profile interval of component t's raw proportion (t = m, the residual, allowed);
// the record's estimate is that proportion.
Result<interval::ProfileInterval> profile_interval(const ComponentModel& model, const Eigen::VectorXd& y,
                                                   std::size_t t, bool reml);

// The same for the share in which each coefficient is weighted by its matrix's mean diagonal.
Result<interval::ProfileInterval> mean_diagonal_profile_interval(const ComponentModel& model,
                                                                 const Eigen::VectorXd& y, std::size_t t,
                                                                 bool reml);

// One row per distinct class, in ascending class order.
Result<std::vector<Contrast>> contrasts(const ComponentModel& model, const Eigen::VectorXd& y,
                                        std::span<const std::size_t> classes, bool reml);

// Each person's predicted effect of structured component c and its standard error, in row
// order, from the fit's coefficients and fixed effects.
Result<std::pair<std::vector<double>, std::vector<double>>> blup(const ComponentModel& model,
                                                                 const Eigen::VectorXd& y, std::size_t c,
                                                                 bool reml);

}  // namespace kestrune::components
