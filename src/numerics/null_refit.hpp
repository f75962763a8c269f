// A likelihood-ratio test whose null is a point of the full model's space: a null fit that
// ends above the full fit shows that the full search missed its maximum, and a statistic of 0
// would report that miss as a finding.
#pragma once

#include <cmath>
#include <string_view>
#include <utility>

#include "error.hpp"

namespace kestrune::null_refit {

// How far, relative to (|log-likelihood| + 1) of the full fit, a null may end above it and
// still count as a tie of two searches: a model passes its own fit's tolerance where that is
// looser.
inline constexpr double tolerance = 1e-10;

inline bool beats(double null_loglik, double full_loglik, double relative = tolerance) {
  return null_loglik - full_loglik > relative * (std::fabs(full_loglik) + 1.0);
}

// The full fit to compare with the null. A Fit has `loglik` and `converged`. When the null
// beats the full fit, the full model is refitted from the null's end point (`refit()`, giving a
// Result<Fit> or an optional Fit) and the better converged fit kept; when the null still wins,
// `code`.
template <class Fit, class Refit>
Result<Fit> full_above_null(Fit full, double null_loglik, Refit&& refit, std::string_view code,
                            double relative = tolerance) {
  if (!beats(null_loglik, full.loglik, relative)) return full;
  auto again = refit();
  if (again && again->converged && again->loglik > full.loglik) full = std::move(*again);
  if (beats(null_loglik, full.loglik, relative)) return fail(code);
  return full;
}

}  // namespace kestrune::null_refit
