// The probability that a multivariate normal vector lies in an orthant, each coordinate on
// its own side of its own limit: the one quantity every binary and censored likelihood ends in.
#pragma once

#include <cmath>
#include <optional>
#include <span>
#include <vector>

#include <Eigen/Core>

namespace kestrune::region {

// The standard normal distribution function; NaN for NaN.
double normal_cdf(double x);

// ln Phi(x) to the rounding of a double for every x: through the complement above 0, and
// through the Mills-ratio series where Phi(x) itself would leave the normal range.
double log_normal_cdf(double x);

// ln P(X <= a, Y <= b) for standard normal X, Y with correlation rho, accurate relative to the
// logarithm however far into either tail the limits lie. NaN when any argument is NaN or rho
// is infinite; an infinite limit is the limiting case (-inf gives -inf). rho is clamped to
// +-0.999999, and |rho| <= 1e-12 is independence.
double log_bivariate_normal_cdf(double a, double b, double rho);

// The probability itself, exp of the above.
inline double bivariate_normal_cdf(double a, double b, double rho) {
  return std::exp(log_bivariate_normal_cdf(a, b, rho));
}

// ln P(sign_i Y_i > 0 for every i) for Y normal with the given mean (each coordinate already
// centred on its limit) and covariance. sign_i is 1.0 above the limit and -1.0 below. Only the
// diagonal and the strict upper triangle of the covariance are read. Exact for one and two
// coordinates (floored at ln 1e-300), Mendell-Elston sequential conditioning from three on.
// Nothing when a variance is not finite and positive, a correlation is not finite, or the
// conditioning breaks down. sign and covariance must match mean in size; unchecked.
std::optional<double> region_log_probability(std::span<const double> mean,
                                             std::span<const double> sign,
                                             const Eigen::Ref<const Eigen::MatrixXd>& covariance);

// The order in which the sequential conditioning takes n coordinates: those above their limits
// (sign > 0) first when they are no more than half, otherwise those below first; indices
// ascending within each side, so that the caller's order breaks the ties.
std::vector<Eigen::Index> conditioning_order(std::span<const double> sign);

}  // namespace kestrune::region
