// One trait whose measurement stops at a limit of its own per observation, in families, by
// maximum likelihood: the normal density of each family's measured members times the probability
// that its censored members lie beyond their limits given them.
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
#include "tobit/censoring.hpp"
#include "tobit/standardised.hpp"

namespace kestrune::tobit {

// A family's coordinates split by what is known of them; positions are within the family.
struct Split {
  std::vector<Eigen::Index> measured;
  std::vector<Eigen::Index> censored;
  std::vector<double> value;  // of the measured positions
  std::vector<double> limit;  // of the censored positions
  std::vector<double> sign;   // 1.0 at or above, -1.0 at or below

  void add(Eigen::Index position, Censoring code, double value, double limit);
};

// For Y normal with `mean` and covariance `v` over one family: the density of the measured
// coordinates at their values plus the log-probability that the censored ones lie beyond their
// limits given them (the Schur complement of the measured block). Nothing when the measured
// block is not positive definite or a term is not finite.
std::optional<double> censored_loglik(const Eigen::MatrixXd& v, const Eigen::VectorXd& mean, const Split& split);

// Where a trait has no maximum: the start itself, with no scaled gradient (NaN), so that it is
// never taken for converged. Nothing where the likelihood cannot be evaluated there.
std::optional<difference_fit::Fit> unsearched(std::vector<double> start, const difference_fit::Objective& f);

struct TobitFit {
  std::vector<double> beta;
  std::string_view method;  // "ml"
  double h2;
  double total_variance;
  double loglik;
  double scaled_gradient;
  double censored_share;
  std::size_t largest_family;
  bool converged;  // scaled_gradient < 1e-6
};

struct TobitHeritabilityTest {
  std::string_view reference;  // "mixture_50_50"
  double statistic;
  double p_value;
  double null_loglik;
  double full_loglik;
};

class TobitModel {
 public:
  // One family's inputs, cut out once, in the order its sequential approximation takes them
  // (member_order::canonical, keyed on the caller's design rows); its design rows on the
  // standardised basis, values and limits standardised.
  struct Family {
    Eigen::MatrixXd relationship;
    Eigen::MatrixXd design;
    Split split;
  };

  // The TOBIT_ build codes, in the order of the checks; the first failure is returned.
  static Result<TobitModel> build(const matrix_scan::Strided& relationship, std::span<const double> value,
                                  std::span<const Censoring> censoring, std::span<const double> limit,
                                  const matrix_scan::Strided& design_view);

  // Nothing outside 0 <= h2 <= 1, s2 positive and finite and beta finite of length p, or where a
  // family's measured covariance is not positive definite or its region cannot be evaluated.
  std::optional<double> loglik(double h2, double total_variance, std::span<const double> beta) const;

  // The fit from three h2 starts, or from `held` alone with h2 held there. It searches the
  // standardised trait; converged only when every number it reports is finite. A trait with no
  // maximum is not searched: its fit is the first start, never converged.
  Result<TobitFit> fit_holding(std::optional<double> held) const;

  // h2 = 0 against the 50:50 mixture of a point mass and chi2(1). A null fit that ends higher
  // than the free fit sends the free search once more from its end point;
  // "TOBIT_BETTER_UNRESOLVED_OPTIMUM" when it still ends higher.
  Result<TobitHeritabilityTest> heritability_test() const;

  // The 95% profile interval of h2 with the containment of each limited bound.
  Result<interval::ProfileInterval> heritability_interval() const;

  double censored_share() const { return censored_share_; }

  // The same model with every search's objective passed through `change`.
  TobitModel with_objective_change(difference_fit::ObjectiveChange change) const;

 private:
  explicit TobitModel(design_basis::Basis basis) : basis_(std::move(basis)) {}

  // The likelihood of the standardised trait at h2, its total variance and fixed effects.
  std::optional<double> standard_loglik(double h2, double variance, std::span<const double> beta) const;
  // The search over (h2, ln variance, fixed effects) of the standardised trait.
  difference_fit::Problem problem(std::optional<double> held) const;
  // The objective of a search of `problem`: the likelihood's, changed when a change was given.
  difference_fit::Objective objective(const difference_fit::Problem& problem) const;
  Result<difference_fit::Fit> search(std::optional<double> held) const;
  TobitFit record(const difference_fit::Fit& fit) const;

  std::vector<Family> families_;
  difference_fit::ObjectiveChange change_;
  design_basis::Basis basis_;  // the design's unit-spread directions: the search's fixed effects
  Standardised trait_;
  std::size_t p_ = 0;
  std::size_t largest_family_ = 0;
  double censored_share_ = 0.0;
};

}  // namespace kestrune::tobit
