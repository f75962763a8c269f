// Tests of the estimands a b and c_prime against nought, with the parametric bootstrap of
// the loading test at a boundary, and their 97.5 per cent profile-likelihood sets.
#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "latent_mediation/fit.hpp"
#include "latent_mediation/model.hpp"
#include "latent_mediation/normal.hpp"
#include "latent_mediation/simulate.hpp"
#include "numerics/bisect.hpp"
#include "numerics/deviance.hpp"
#include "numerics/interrupt.hpp"
#include "numerics/stream.hpp"

namespace kestrune::latent_mediation {
namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr double set_cut = 2.5119430936766696;
constexpr double set_level = 0.975;
constexpr double zero_excluded_at = 0.025000000000000022;
constexpr std::uint64_t bootstrap_seed = 20260817;
constexpr std::string_view unidentified_at_a_zero = "LATENT_MEDIATION_HORIZONTAL_UNIDENTIFIED_AT_A_ZERO";

// 2 (l_full - l_null), with a negative or NaN difference (and -0) read as +0.
double likelihood_ratio(double full, double null) {
  const double statistic = 2.0 * (full - null);
  return statistic > 0.0 ? statistic : 0.0;
}

// P(chi-square on one > t), 1 below 1e-6.
double chi_square_one_tail(double t) {
  if (t < 1e-6) return 1.0;
  return std::clamp(deviance::chi2_upper_tail(t, 1.0), 0.0, 1.0);
}

// One replicate family drawn from an observed family's input under the null fit, keeping
// the observed pattern; nothing when any piece of the draw fails.
std::optional<LatentMediationFamilyInput> draw_replicate(const LatentMediationFamilyInput& input,
                                                         const Structural& null, const std::vector<double>& coefficients,
                                                         stream::Stream& stream) {
  const std::size_t n = input.relationship.size();
  Eigen::MatrixXd k(static_cast<Eigen::Index>(n), static_cast<Eigen::Index>(n));
  for (std::size_t r = 0; r < n; ++r) {
    if (input.relationship[r].size() != n) return std::nullopt;
    for (std::size_t c = 0; c < n; ++c) k(static_cast<Eigen::Index>(r), static_cast<Eigen::Index>(c)) = input.relationship[r][c];
  }
  auto sigma = directional_covariance(k, null);
  if (!sigma) return std::nullopt;
  auto factor = dense::DenseFactor::make(*sigma);
  if (!factor) return std::nullopt;
  auto w_m = design_width(input.mediator_design, n);
  auto w_o = design_width(input.outcome_design, n);
  if (!w_m || !w_o || *w_m + *w_o != coefficients.size() || input.latent_mean.size() != 2 * n) return std::nullopt;

  FamilyDrawPlan plan;
  plan.factor = &factor->lower();
  plan.mean = Eigen::Map<const Eigen::VectorXd>(input.latent_mean.data(), static_cast<Eigen::Index>(2 * n));
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t c = 0; c < *w_m; ++c) plan.mean[static_cast<Eigen::Index>(i)] += input.mediator_design[i][c] * coefficients[c];
    for (std::size_t c = 0; c < *w_o; ++c)
      plan.mean[static_cast<Eigen::Index>(n + i)] += input.outcome_design[i][c] * coefficients[*w_m + c];
  }
  static const std::vector<double> no_shares;
  for (std::size_t i = 0; i < n; ++i) {
    const auto& shares = i < input.outcome_category_prevalence.size() ? input.outcome_category_prevalence[i] : no_shares;
    const std::optional<double> prevalence = i < input.outcome_prevalence.size() ? input.outcome_prevalence[i] : std::nullopt;
    auto cuts = cut_set_for(shares, prevalence, input.outcome_threshold[i],
                            (*sigma)(static_cast<Eigen::Index>(n + i), static_cast<Eigen::Index>(n + i)));
    if (!cuts) return std::nullopt;
    plan.cuts.push_back(std::move(*cuts));
  }
  if (input.ascertainment == "condition_on_named_proband_case" && input.proband_index) {
    plan.proband = static_cast<std::size_t>(*input.proband_index);
    plan.required_category = input.ascertainment_category.value_or(1);
  }
  plan.error_variance.resize(n);
  plan.observe_proxy.resize(n);
  plan.observe_outcome.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (input.mediator_measurement[i] && input.mediator_measurement_error_variance[i])
      plan.error_variance[i] = input.mediator_measurement_error_variance[i];
    plan.observe_proxy[i] = input.mediator_proxy_status[i].has_value();
    plan.observe_outcome[i] = input.outcome_status[i].has_value();
  }
  plan.sensitivity = input.mediator_proxy_sensitivity;
  plan.specificity = input.mediator_proxy_specificity;
  plan.mediator_threshold = input.mediator_threshold;

  auto drawn = draw_family(plan, stream);
  if (!drawn) return std::nullopt;
  LatentMediationFamilyInput replicate = input;
  replicate.mediator_measurement = std::move(drawn->mediator_measurement);
  replicate.mediator_proxy_status = std::move(drawn->mediator_proxy_status);
  replicate.outcome_status = std::move(drawn->outcome_status);
  return replicate;
}

// The free fit run again from `start` (optimiser coordinates).
FreeRefit free_refit(const LatentMediationModel& model) {
  return [&model](const std::vector<double>& start) { return model.fit_from({}, start); };
}

}  // namespace

Result<HorizontalTest> LatentMediationModel::test_horizontal() const {
  auto full = fit_holding_at({});
  if (!full) return std::unexpected(full.error());
  if (!full->horizontal_identified) return fail(unidentified_at_a_zero);
  auto null = fit_holding_at({{2, 0.0}});
  if (!null) return std::unexpected(null.error());
  if (!null->horizontal_identified) return fail(unidentified_at_a_zero);
  full = free_fit_above(std::move(*full), *null, free_refit(*this));
  if (!full) return std::unexpected(full.error());
  if (!full->horizontal_identified) return fail(unidentified_at_a_zero);
  const double statistic = likelihood_ratio(full->log_likelihood, null->log_likelihood);
  return HorizontalTest{"likelihood_ratio_on_the_interior_direct_path", "chi_square_on_one", statistic,
                        chi_square_one_tail(statistic)};
}

Result<VerticalTest> LatentMediationModel::test_vertical_with(std::size_t bootstrap_replicates) const {
  auto full = fit_holding_at({});
  if (!full) return std::unexpected(full.error());
  auto loading = fit_holding_at({{0, 0.0}});
  if (!loading) return std::unexpected(loading.error());
  auto path = fit_holding_at({{1, 0.0}});
  if (!path) return std::unexpected(path.error());
  full = free_fit_above(std::move(*full), *loading, free_refit(*this));
  if (full) full = free_fit_above(std::move(*full), *path, free_refit(*this));
  if (!full) return std::unexpected(full.error());
  const auto has_d = [](const LatentMediationFit& fit) {
    for (const auto name : fit.boundary_parameters)
      if (name == "d") return true;
    return false;
  };
  const bool d_on_boundary = has_d(*full) || has_d(*loading);

  VerticalTest test;
  test.rule = "intersection_union_of_boundary_and_interior";
  test.loading_statistic = likelihood_ratio(full->log_likelihood, loading->log_likelihood);
  if (!d_on_boundary) {
    test.loading_reference = "even_mixture_of_a_point_mass_and_chi_square_on_one";
    test.loading_p_value = deviance::p_value(test.loading_statistic);
  } else {
    test.loading_reference = "parametric_bootstrap_under_the_fitted_null";
    const Structural null = {loading->a, loading->b, loading->c_prime, loading->d, loading->sigma_m2};
    stream::Stream stream(bootstrap_seed);
    const auto replicate = [&]() -> std::optional<double> {
      std::vector<LatentMediationFamilyInput> families;
      families.reserve(inputs_.size());
      for (const auto& input : inputs_) {
        auto drawn = draw_replicate(input, null, loading->coefficients, stream);
        if (!drawn) return std::nullopt;
        families.push_back(std::move(*drawn));
      }
      auto model = build(std::move(families), qmc_points_);
      if (!model) return std::nullopt;
      auto replicate_full = model->fit_holding_at({});
      if (!replicate_full) return std::nullopt;
      auto replicate_null = model->fit_holding_at({{0, 0.0}});
      if (!replicate_null) return std::nullopt;
      replicate_full = free_fit_above(std::move(*replicate_full), *replicate_null, free_refit(*model));
      if (!replicate_full) return std::nullopt;
      return likelihood_ratio(replicate_full->log_likelihood, replicate_null->log_likelihood);
    };
    auto outcome = bootstrap_p_value(bootstrap_replicates, test.loading_statistic, replicate);
    if (!outcome) return std::unexpected(outcome.error());
    test.loading_p_value = outcome->p_value;
    test.bootstrap_replicates = outcome->usable;
  }
  test.path_statistic = likelihood_ratio(full->log_likelihood, path->log_likelihood);
  test.path_p_value = chi_square_one_tail(test.path_statistic);
  test.p_value = std::fmax(test.loading_p_value, test.path_p_value);
  return test;
}

double LatentMediationModel::vertical_profile(std::size_t& failures, double theta) const {
  double best = -infinity;
  for (int k = 1; k <= 24 && !interrupt::requested(); ++k) {
    const double loading = k / 16.0 + 0.05;
    auto fit = fit_holding_at({{0, loading}, {1, theta / loading}});
    if (!fit) {
      ++failures;
      continue;
    }
    best = std::fmax(best, fit->log_likelihood);
  }
  return best;
}

Result<VerticalSet> LatentMediationModel::vertical_set(double searched_to, std::size_t bootstrap_replicates) const {
  if (!(searched_to > 0.0 && std::isfinite(searched_to))) return fail("LATENT_MEDIATION_SEARCH_RANGE_INVALID");
  auto fit = fit_holding_at({});
  if (!fit) return std::unexpected(fit.error());
  VerticalSet set;
  set.estimate = fit->a * fit->b;
  set.level = set_level;
  set.searched_to = searched_to;
  const double peak = vertical_profile(set.profile_failures, set.estimate);
  if (!std::isfinite(peak)) return fail("LATENT_MEDIATION_VERTICAL_PROFILE_UNAVAILABLE");
  const double cut = peak - set_cut;
  // An end closes where the profile falls below the cut before the edge of the search. A
  // profile whose every refit failed is unknown, not low: it never closes an end, and inside
  // the bisection it counts as within the set.
  const auto below_cut = [&](double theta) {
    const double profile = vertical_profile(set.profile_failures, theta);
    return profile > -infinity && profile < cut;
  };
  const auto end = [&](double edge) -> std::optional<double> {
    if (!below_cut(edge)) return std::nullopt;
    return bisection::bisect(edge, set.estimate, below_cut);
  };
  set.lower = end(set.estimate - searched_to);
  set.upper = end(set.estimate + searched_to);
  if (interrupt::stopping()) return fail(interrupt::code);
  auto test = test_vertical_with(bootstrap_replicates);
  if (interrupt::stopping()) return fail(interrupt::code);
  if (!test) {
    ++set.profile_failures;
    set.contains_zero = true;
  } else {
    set.contains_zero = test->p_value > zero_excluded_at;
  }
  set.disjoint = (set.lower && *set.lower > 0.0) ? false : ((!set.upper || *set.upper >= 0.0) && !set.contains_zero);
  return set;
}

Result<HorizontalSet> LatentMediationModel::horizontal_set(double searched_to) const {
  if (!(searched_to > 0.0 && std::isfinite(searched_to))) return fail("LATENT_MEDIATION_SEARCH_RANGE_INVALID");
  auto fit = fit_holding_at({});
  if (!fit) return std::unexpected(fit.error());
  if (!fit->horizontal_identified) return fail(unidentified_at_a_zero);
  HorizontalSet set;
  set.estimate = fit->c_prime;
  set.level = set_level;
  set.searched_to = searched_to;
  auto at_estimate = fit_holding_at({{2, set.estimate}});
  if (!at_estimate) return std::unexpected(at_estimate.error());
  const double cut = at_estimate->log_likelihood - set_cut;
  // True beyond the end of the set; a failed refit counts as inside it.
  const auto beyond = [&](double c) {
    auto refit = fit_holding_at({{2, c}});
    if (!refit) {
      ++set.profile_failures;
      return false;
    }
    return refit->log_likelihood < cut;
  };
  const auto end = [&](double edge) -> std::optional<double> {
    auto refit = fit_holding_at({{2, edge}});
    if (!refit) {
      ++set.profile_failures;
      return std::nullopt;
    }
    if (refit->log_likelihood >= cut) return std::nullopt;
    return bisection::bisect(edge, set.estimate, beyond);
  };
  set.lower = end(set.estimate - searched_to);
  set.upper = end(set.estimate + searched_to);
  if (interrupt::stopping()) return fail(interrupt::code);
  set.unbounded = !set.lower && !set.upper;
  return set;
}

}  // namespace kestrune::latent_mediation
