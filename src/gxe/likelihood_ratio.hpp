// What the two environment models share of a likelihood-ratio test: its record, the p-value
// of its statistic and the statistic itself.
#pragma once

#include <cmath>
#include <string_view>
#include <utility>

#include "error.hpp"

namespace kestrune::gxe {

// The p-value of a test statistic against its reference: 1 below 1e-6, else the upper tail of
// "chi2_1", half of it ("mixture_50_50"), the even mixture of the tails on two and on three
// degrees of freedom ("mixture_chi2_2_chi2_3"), or on two and on one (under either of its
// names, "half_chi2_1_half_chi2_2" or "mixture_chi2_1_chi2_2"), clamped to [0, 1].
double test_p_value(std::string_view reference, double statistic);

struct GxeTestRecord {
  std::string_view reference;  // one of the references test_p_value knows
  double statistic = 0.0;
  double p_value = 1.0;
  double null_loglik = 0.0;
  double full_loglik = 0.0;
};

// The test of a null fit against the full fit: the statistic 2 (full - null), with a
// negative, negative-zero or NaN difference reported as +0, and its p-value.
GxeTestRecord likelihood_ratio_record(std::string_view reference, double null_loglik, double full_loglik);

// How far, relative to (|objective| + 1) of the full fit, a null fit may end above it before
// the full fit counts as having missed its maximum.
inline constexpr double better_null_tolerance = 1e-10;

// The full fit a test compares with its null (both converged; a Fit has `loglik`, `objective`
// and `converged`). The null is a point of the full model's space, so a null that ends above the
// full fit shows the full search missed its maximum: the full model is refitted from the null's
// end point (`refit(null)`) and the better converged fit kept. When the null still wins the test
// fails with `code` rather than report a statistic of 0 as a finding.
template <class Fit, class Refit>
Result<Fit> full_fit_above_null(Fit full, const Fit& null, Refit&& refit, std::string_view code) {
  const auto beaten = [&null](const Fit& fit) {
    return null.loglik - fit.loglik > better_null_tolerance * (std::fabs(fit.objective) + 1.0);
  };
  if (!beaten(full)) return full;
  auto again = refit(null);
  if (again && again->converged && again->loglik > full.loglik) full = std::move(*again);
  if (beaten(full)) return fail(code);
  return full;
}

}  // namespace kestrune::gxe
