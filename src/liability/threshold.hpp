// One binary trait in families through a liability threshold: a person is a case when a normal
// liability with mean x.beta and covariance h2 A + (1 - h2) I lies above zero. The likelihood is
// one orthant probability per family; h2 and beta are fitted by maximum likelihood.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include <Eigen/Core>

#include "error.hpp"
#include "numerics/design_basis.hpp"
#include "numerics/difference_fit.hpp"
#include "numerics/interval.hpp"
#include "numerics/matrix_scan.hpp"

namespace kestrune::liability {

struct LiabilityFit {
  std::vector<double> beta;
  double h2;
  double loglik;
  double scaled_gradient;
  double prevalence;  // cases / n
  std::size_t largest_family;
  bool converged;  // scaled_gradient < 1e-6
  bool polished;
};

struct LiabilityHeritabilityTest {
  std::string_view reference;  // "mixture_50_50"
  double statistic;
  double p_value;
  double null_loglik;
};

class LiabilityModel {
 public:
  // One family cut out once: its relationship block, design rows on the standardised basis and
  // sides (1.0 for a case), in the order its sequential approximation takes them
  // (member_order::canonical, keyed on the caller's design rows).
  struct Family {
    Eigen::MatrixXd relationship;
    Eigen::MatrixXd design;
    std::vector<double> sign;
  };

  // The LIABILITY_ build codes in the order of the checks; a status within 1e-12 of 1 is a case,
  // within 1e-12 of 0 a control.
  static Result<LiabilityModel> build(const matrix_scan::Strided& relationship, std::span<const double> status,
                                      const matrix_scan::Strided& design_view);

  // Nothing outside 0 <= h2 <= 1 or for a beta that is not finite of length p, or where a
  // family's region cannot be evaluated.
  std::optional<double> loglik(double h2, std::span<const double> beta) const;

  // The fit from three h2 starts; with `held`, h2 held there (each start then begins at it).
  // Converged only when every number it reports is finite.
  Result<LiabilityFit> fit_holding(std::optional<double> held) const;

  // h2 = 0 against the 50:50 mixture of a point mass and chi2(1). A null fit that ends higher
  // than the free fit sends the free search once more from its end point;
  // "LIABILITY_BETTER_UNRESOLVED_OPTIMUM" when it still ends higher.
  Result<LiabilityHeritabilityTest> heritability_test() const;

  // The 95% profile interval of h2; no containment flags.
  Result<interval::ProfileInterval> heritability_interval() const;

  // The same model with every search's objective passed through `change`.
  LiabilityModel with_objective_change(difference_fit::ObjectiveChange change) const;

 private:
  explicit LiabilityModel(design_basis::Basis basis) : basis_(std::move(basis)) {}

  // The likelihood at fixed effects on the basis.
  std::optional<double> basis_loglik(double h2, std::span<const double> on_basis) const;
  // The search over (h2, fixed effects on the basis).
  difference_fit::Problem problem(std::optional<double> held) const;
  // The objective of a search of `problem`: the likelihood's, changed when a change was given.
  difference_fit::Objective objective(const difference_fit::Problem& problem) const;
  Result<difference_fit::Fit> search(std::optional<double> held) const;
  LiabilityFit record(const difference_fit::Fit& fit) const;

  std::vector<Family> families_;
  difference_fit::ObjectiveChange change_;
  design_basis::Basis basis_;  // the design's unit-spread directions: the search's fixed effects
  std::size_t n_ = 0;
  std::size_t p_ = 0;
  std::size_t cases_ = 0;
  std::size_t largest_family_ = 0;
};

}  // namespace kestrune::liability
