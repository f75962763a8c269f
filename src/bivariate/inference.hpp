// Inference on one reported quantity of the two-trait model: its profile log-likelihood,
// its 95 per cent profile interval, and the likelihood-ratio test of a correlation.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "bivariate/fit.hpp"
#include "bivariate/model.hpp"
#include "error.hpp"
#include "numerics/interval.hpp"

namespace kestrune::bivariate {

enum class BivariateQuantity : std::uint8_t { h2_first = 0, h2_second = 1, rho_g = 2, rho_e = 3, rho_p = 4 };

// The full fit's estimates as a start for every refit: variances, heritabilities and the two
// correlations (0 when absent), on the response scale.
using Hint = Theta;

Hint hint_of(const BivariateFit& fit);

// A point of a profile: its objective and standardised theta.
struct ProfilePoint {
  double value;
  Theta theta;
};

// The largest standardised log-likelihood found from four starts with the quantity held at
// `value`: theta[k] held for a heritability or a correlation, the residual correlation
// derived from the others for the phenotypic one; or at `face`, a point where the correlation
// held has no meaning (a heritability at the end that removes it), which lies on the profile of
// every value in [-1, 1]. Absent when no point is accepted.
std::optional<double> profile_at(const StandardisedProblem& problem, bool reml, BivariateQuantity quantity,
                                 double value, const Hint& hint, const std::optional<ProfilePoint>& face = {});

// The full fit's standardised log-likelihood to compare with a null's, `null_loglik` at the
// standardised point `null_theta`: where the null ends above `full`, the full model searched
// again from the null's point and the better converged maximum kept;
// "BIVARIATE_BETTER_UNRESOLVED_OPTIMUM" where the null still wins.
Result<double> full_above_null(const StandardisedProblem& problem, bool reml, double full, const Theta& null_theta,
                               double null_loglik);

// The interval of one quantity between its range's ends, refitting from the full fit.
Result<interval::ProfileInterval> profile_interval(const BivariateModel& model,
                                                   const Eigen::Ref<const Eigen::VectorXd>& y, bool reml,
                                                   BivariateQuantity quantity);

struct CorrelationTestResult {
  std::string_view reference;  // "chi2_1" or "mixture_50_50"
  double statistic;
  double p_value;
  // Both on the scale of each trait divided by the sample standard deviation of its values.
  double null_loglik;
  double full_loglik;
};

// The test of a correlation held at `null`; "mixture_50_50" when |null| >= 1.
Result<CorrelationTestResult> correlation_test(const BivariateModel& model,
                                               const Eigen::Ref<const Eigen::VectorXd>& y, bool reml,
                                               BivariateQuantity quantity, double null);

}  // namespace kestrune::bivariate
