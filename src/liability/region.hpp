// The probability that a multivariate normal vector lies in an orthant, each coordinate on
// its own side of its own limit: the one quantity every binary and censored likelihood ends in.
#pragma once

#include <cmath>
#include <optional>
#include <span>
#include <vector>

#include <Eigen/Core>

namespace kestrune::liability {

// The standard normal distribution function; NaN for NaN.
double normal_cdf(double x);

// P(X <= a, Y <= b) for standard normal X, Y with correlation rho. NaN when any argument is
// NaN or rho is infinite; a or b at or below -10 gives 0; a at or above 10 gives Phi(b), b at or
// above 10 gives Phi(a) (infinities included). Otherwise rho is clamped to +-0.999999 and the
// value is accurate to about 1e-15 absolute, inside the Frechet bounds
// [max(0, Phi(a) + Phi(b) - 1), min(Phi(a), Phi(b))].
double bivariate_normal_cdf(double a, double b, double rho);

// ln P(sign_i Y_i > 0 for every i) for Y normal with the given mean (each coordinate already
// centred on its limit) and covariance. sign_i is 1.0 above the limit and -1.0 below. Only the
// diagonal and the strict upper triangle of the covariance are read. Exact for one and two
// coordinates (floored at 1e-300), Mendell-Elston sequential conditioning from three on.
// Nothing when a variance is not finite and positive, a correlation is not finite, or the
// conditioning breaks down. sign and covariance must match mean in size; unchecked.
std::optional<double> region_log_probability(std::span<const double> mean,
                                             std::span<const double> sign,
                                             const Eigen::Ref<const Eigen::MatrixXd>& covariance);

// The order in which the sequential conditioning takes n coordinates: those above their limits
// (sign > 0) first when they are no more than half, otherwise those below first; indices
// ascending within each side.
std::vector<Eigen::Index> conditioning_order(std::span<const double> sign);

// Locates the boundary between `inside` (where is_inside holds) and `outside`: halves the bracket
// at most 40 times, stopping once it is narrower than 1e-5, and returns its midpoint. The
// predicate is called at least once and may keep state of its own.
template <class IsInside>
double bisect(double inside, double outside, IsInside&& is_inside) {
  for (int step = 0; step < 40; ++step) {
    const double mid = (inside + outside) / 2.0;
    if (is_inside(mid)) {
      inside = mid;
    } else {
      outside = mid;
    }
    if (std::fabs(inside - outside) < 1e-5) break;
  }
  return (inside + outside) / 2.0;
}

}  // namespace kestrune::liability
