// Two traits on the same people, each continuous, binary (through a liability threshold) or
// censored at limits of its own, with their heritabilities, total variances and genetic and
// residual correlations, fitted by maximum likelihood family by family: the normal density of
// the measured coordinates times the region probability of the rest given them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
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
#include "tobit/model.hpp"
#include "tobit/standardised.hpp"

namespace kestrune::mixed_bivariate {

using tobit::Censoring;

enum class TraitKind : std::uint8_t {
  Continuous = 0,  // every observation measured
  Binary = 1,      // none measured: AtOrAbove a case, AtOrBelow a control; liability variance 1
  Censored = 2,    // some measured, the others at or beyond their limits
};

struct TraitData {
  std::vector<double> value;  // read only where measured
  std::vector<Censoring> censoring;
  std::vector<double> limit;  // read only where not measured
  TraitKind kind;
};

// Coordinates of a fit: 0, 1 the heritabilities, 2, 3 the log total variances, 4 the genetic
// and 5 the residual correlation, then the first trait's fixed effects and the second's.
inline constexpr std::size_t genetic_correlation = 4;
inline constexpr std::size_t residual_correlation = 5;

// "heritability_one", "heritability_two", "genetic_correlation", "residual_correlation" for
// coordinates 0, 1, 4, 5; nothing for the others.
std::optional<std::string_view> coordinate_name(std::size_t coordinate);

struct MixedBivariateFit {
  std::vector<double> beta_1;
  std::vector<double> beta_2;
  std::string_view method;  // "ml"
  std::array<double, 2> heritability;
  std::array<double, 2> variance;
  double genetic_correlation;
  double residual_correlation;
  double loglik;
  double scaled_gradient;
  std::size_t largest_family;
  TraitKind first_kind;
  TraitKind second_kind;
  bool converged;  // scaled_gradient < 1e-5
};

struct MixedBivariateCorrelationTest {
  std::string_view name;
  std::string_view reference;  // "mixture_50_50" at a null of +-1, else "chi2_1"
  double statistic;
  double p_value;
  double null_loglik;
  double full_loglik;
};

// A coordinate held at a value.
using Held = std::pair<std::size_t, double>;

class MixedBivariateModel {
 public:
  // One family cut out once. Its 2m coordinates are trait-major (the first trait of each member,
  // then the second, the members in the order the sequential approximation takes them:
  // member_order::canonical, keyed on the caller's design rows); the split's positions index
  // them. Design rows on the standardised basis, values and limits standardised.
  struct Family {
    Eigen::MatrixXd relationship;
    Eigen::MatrixXd design;
    tobit::Split split;
  };

  // The MIXED_BIVARIATE_ build codes in the order of the checks.
  static Result<MixedBivariateModel> build(const matrix_scan::Strided& relationship, TraitData first,
                                           TraitData second, const matrix_scan::Strided& design_view);

  // Nothing outside the parameters' domain or where a family cannot be evaluated.
  std::optional<double> loglik(std::array<double, 2> heritability, std::array<double, 2> variance,
                               double genetic_correlation, double residual_correlation,
                               std::span<const double> beta_1, std::span<const double> beta_2) const;

  // The fit from three starts, with one of coordinates 0 to 5 held when asked. It searches the
  // standardised traits; converged only when every number it reports is finite. Where a trait
  // has no maximum nothing is searched: the fit is the first start, never converged.
  Result<MixedBivariateFit> fit_holding(std::optional<Held> held) const;

  // One correlation (coordinate 4 or 5) against a null in [-1, 1]. A null fit that ends higher
  // than the free fit sends the free search once more from its end point;
  // "MIXED_BIVARIATE_BETTER_UNRESOLVED_OPTIMUM" when it still ends higher.
  Result<MixedBivariateCorrelationTest> correlation_test(std::size_t coordinate, double null) const;

  // The 95% profile interval of coordinate 0, 1, 4 or 5; no containment flags.
  Result<interval::ProfileInterval> profile_interval(std::size_t coordinate) const;

  // The same model with every search's objective passed through `change`.
  MixedBivariateModel with_objective_change(difference_fit::ObjectiveChange change) const;

 private:
  explicit MixedBivariateModel(design_basis::Basis basis) : basis_(std::move(basis)) {}

  // The likelihood of the standardised traits.
  std::optional<double> standard_loglik(std::array<double, 2> heritability, std::array<double, 2> variance,
                                        double genetic_correlation, double residual_correlation,
                                        std::span<const double> beta_1, std::span<const double> beta_2) const;
  // The search over the coordinates above, in the standardised units.
  difference_fit::Problem problem(std::optional<Held> held) const;
  // The objective of a search of `problem`: the likelihood's, changed when a change was given.
  difference_fit::Objective objective(const difference_fit::Problem& problem) const;
  Result<difference_fit::Fit> search(std::optional<Held> held) const;
  MixedBivariateFit record(const difference_fit::Fit& fit) const;

  std::vector<Family> families_;
  difference_fit::ObjectiveChange change_;
  design_basis::Basis basis_;  // the design's unit-spread directions: the search's fixed effects
  std::array<TraitKind, 2> kinds_{};
  std::array<tobit::Standardised, 2> traits_;
  std::size_t p_ = 0;
  std::size_t largest_family_ = 0;
};

}  // namespace kestrune::mixed_bivariate
