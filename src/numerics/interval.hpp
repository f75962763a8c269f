// Profile-likelihood interval of one scalar parameter.
//
// The routine knows nothing of any model: the caller hands it a refit callable that
// returns the maximised log-likelihood with the parameter held at a value (or nothing),
// and each side of the estimate is bisected between the estimate and its bound until the
// likelihood-ratio statistic reaches the 95% point of a chi-square on one degree of freedom.
// All the cost is in the callable, so the limits below are limits on the number of refits.
#pragma once

#include <cmath>
#include <concepts>
#include <cstdint>
#include <limits>
#include <optional>
#include <type_traits>

#include "numerics/interrupt.hpp"

namespace kestrune::interval {

// 0.95 quantile of the chi-square distribution on one degree of freedom (1.959963984540054²).
inline constexpr double chi2_1_cut = 3.841458820694124;
inline constexpr double confidence_level = 0.95;
// 0.90 quantile of chi2(1): the 95% point of the 50:50 mixture at a bound.
inline constexpr double mixture_cut = 2.705543454095404;
// Refits one side's bisection may spend; only brackets wider than about 1.2e15 reach it.
inline constexpr int max_side_refits = 80;
// A bracket this narrow is as precise as the interval is reported.
inline constexpr double bracket_width = 1e-9;

// Where one side's search stopped.
struct Endpoint {
  double end;
  // The end is the bound itself: the refit there failed, or the statistic there is within the cut.
  bool limited;
  // 2 (reference - log-likelihood at the bound); absent when the refit at the bound failed.
  std::optional<double> statistic;
};

struct ProfileInterval {
  // Absent when the refit at the estimate failed; the ends are NaN then.
  std::optional<double> estimate;
  double lower = std::numeric_limits<double>::quiet_NaN();
  double upper = std::numeric_limits<double>::quiet_NaN();
  bool lower_limited = false;
  bool upper_limited = false;
  std::optional<double> lower_statistic;
  std::optional<double> upper_statistic;
  double level = confidence_level;
  // Failed refits at the two bounds and inside the two searches, not the one at the estimate.
  std::uint64_t profile_failures = 0;
  // Left absent here: whether a bound lies inside the interval depends on the caller's
  // reference law at that bound.
  std::optional<bool> contains_lower_bound;
  std::optional<bool> contains_upper_bound;
};

// A refit takes the held value and returns the maximised log-likelihood, or nothing.
template <class F>
concept Refit = std::invocable<F&, double> &&
                std::convertible_to<std::invoke_result_t<F&, double>, std::optional<double>>;

namespace detail {

// A refit that gives nothing and one that gives a value that is not finite are alike failures.
template <Refit F>
std::optional<double> refit_finite(F& refit, double value) {
  const std::optional<double> loglik = refit(value);
  if (!loglik || !std::isfinite(*loglik)) return std::nullopt;
  return loglik;
}

inline double likelihood_ratio(double reference, double loglik) {
  const double d = reference - loglik;
  return d + d;
}

}  // namespace detail

// What a side does when the refit at its bound fails. A refit that is a search may fail where
// the search does, so the side stops at the bound. A refit that is an exact profile fails only
// where the profile does not exist (a heritability of 1 on a singular relationship), and the
// side is searched towards the bound all the same.
enum class FailedBound { limits, searched };

// One side: bisects between the estimate and the bound. A failed refit inside counts as lying
// inside the interval, so the search moves on towards the bound.
template <Refit F>
Endpoint endpoint(F& refit, std::uint64_t& failures, double estimate, double bound,
                  double reference, FailedBound failed_bound = FailedBound::limits) {
  const std::optional<double> at_bound = detail::refit_finite(refit, bound);
  if (!at_bound) ++failures;
  if (!at_bound && failed_bound == FailedBound::limits) return {bound, true, std::nullopt};
  const std::optional<double> bound_statistic =
      at_bound ? std::optional(detail::likelihood_ratio(reference, *at_bound)) : std::nullopt;
  if (bound_statistic && *bound_statistic <= chi2_1_cut) return {bound, true, bound_statistic};

  // A failed bound that is searched towards is the end only when no point on the way leaves
  // the cut.
  double inside = estimate;
  double outside = bound;
  bool crossed = false;
  for (int refits = 0; refits < max_side_refits; ++refits) {
    if (interrupt::requested()) break;
    const double mid = (inside + outside) * 0.5;
    // A NaN width stops as well; a midpoint equal to an end means the bracket cannot split.
    if (!(std::fabs(outside - inside) > bracket_width) || mid == inside || mid == outside) break;
    const std::optional<double> loglik = detail::refit_finite(refit, mid);
    if (!loglik) {
      ++failures;
      inside = mid;
    } else if (detail::likelihood_ratio(reference, *loglik) <= chi2_1_cut) {
      inside = mid;
    } else {
      outside = mid;
      crossed = true;
    }
  }
  if (!at_bound && !crossed) return {bound, true, std::nullopt};
  return {(inside + outside) * 0.5, false, bound_statistic};
}

// Calls the refit at the estimate, then the lower bound and its bisection, then the upper
// bound and its bisection: at most 1 + 2 (1 + 80) calls. Bounds are not checked: each side
// searches between the estimate and its own bound.
template <Refit F>
ProfileInterval profile_interval(F&& refit, double estimate, double lower_bound,
                                 double upper_bound, FailedBound failed_bound = FailedBound::limits) {
  ProfileInterval result;
  const std::optional<double> reference = detail::refit_finite(refit, estimate);
  if (!reference) return result;

  std::uint64_t failures = 0;
  const Endpoint lower = endpoint(refit, failures, estimate, lower_bound, *reference, failed_bound);
  if (interrupt::requested()) return result;
  const Endpoint upper = endpoint(refit, failures, estimate, upper_bound, *reference, failed_bound);
  result.estimate = estimate;
  result.lower = lower.end;
  result.upper = upper.end;
  result.lower_limited = lower.limited;
  result.upper_limited = upper.limited;
  result.lower_statistic = lower.statistic;
  result.upper_statistic = upper.statistic;
  result.profile_failures = failures;
  return result;
}

// Whether a side that stops at its bound contains it: when the statistic there is within the
// 95% point of the 50:50 mixture, the law of the statistic with the parameter held at a bound.
// Absent for a side found by bisection and for a bound whose refit failed.
inline std::optional<bool> contains_bound(bool limited, const std::optional<double>& statistic) {
  if (!limited || !statistic) return std::nullopt;
  return *statistic <= mixture_cut;
}

}  // namespace kestrune::interval
