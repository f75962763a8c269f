// A likelihood-ratio test whose null is a point of the full model's space: a null fit that
// ends above the full fit shows that the full search missed its maximum, and a statistic of 0
// would report that miss as a finding.
#pragma once

#include <cmath>
#include <string_view>
#include <utility>

#include "error.hpp"

namespace kestrune::null_refit {

// How far, relative to (|objective| + 1) of the full fit, a null may end above it and still
// count as a tie of two searches.
inline constexpr double tolerance = 1e-10;

// The full fit to compare with the null. A Fit has `loglik`, `objective` (the minimised value
// the tolerance is relative to) and `converged`; both fits are converged. When the null beats
// the full fit, the full model is refitted from the null's end point (`refit(null)`, giving a
// Result<Fit>) and the better converged fit kept; when the null still wins, `code`.
template <class Fit, class Refit>
Result<Fit> full_above_null(Fit full, const Fit& null, Refit&& refit, std::string_view code) {
  const auto beaten = [&null](const Fit& fit) {
    return null.loglik - fit.loglik > tolerance * (std::fabs(fit.objective) + 1.0);
  };
  if (!beaten(full)) return full;
  auto again = refit(null);
  if (again && again->converged && again->loglik > full.loglik) full = std::move(*again);
  if (beaten(full)) return fail(code);
  return full;
}

}  // namespace kestrune::null_refit
