// Normal and bivariate-normal numerics of the latent mediation model.
//
// Every likelihood term of the model is a normal probability, often far in a tail where
// 1 - Phi collapses to 0, so the routines work on the upper tail and in logarithms. They
// are pure, allocate nothing but a cut set, and return a value or a LATENT_MEDIATION_ code.
#pragma once

#include <array>
#include <cmath>
#include <optional>
#include <span>
#include <vector>

#include "error.hpp"

namespace kestrune::latent_mediation {

inline constexpr double log_sqrt_two_pi = 0.9189385332046727;
inline constexpr double log_two_pi = 1.8378770664093453;

// Phi(x) through erfc; infinite x gives 0 or 1, NaN a code.
Result<double> standard_normal_cdf(double x);

// ln Q(x) = ln(1 - Phi(x)); a continued fraction of the Mills ratio beyond 6.
double log_normal_sf(double x);

// P(lo < Z < hi), taken on the tail away from the interval.
Result<double> interval_probability(double lo, double hi);

// ln P(lo < Z < hi), -infinity for an empty interval.
Result<double> log_interval_probability(double lo, double hi);

// The x >= 0 with ln Q(x) = t (t <= -ln 2); +infinity for t = -infinity.
Result<double> inverse_log_normal_sf(double t);

// The u-quantile of Z truncated to (lo, hi), 0 < u < 1.
Result<double> truncated_standard_normal(double lo, double hi, double u);

// P(X1 <= h, X2 <= k) for standard normals of correlation rho, by Drezner's one-dimensional
// integral. Too small a probability is "LATENT_MEDIATION_BIVARIATE_PROBABILITY_UNRESOLVED",
// on which a caller changes method.
Result<double> bivariate_normal_cdf(std::array<double, 2> upper, double rho);

struct Quadrature {
  double integral;
  double error;
};

// Adaptive Simpson's rule of f over [a, b]: each panel is accepted when its two halves
// agree within max(15 tolerance, 16 relative (|L| + |R|)); halving stops after `depth`
// levels. Values of f are computed once per abscissa.
template <class F>
Result<Quadrature> adaptive_simpson(F&& f, double a, double b, double tolerance, double relative,
                                    int depth);

// An upper bound on ln P(a1 < X1 < b1, a2 < X2 < b2) for standard normals of correlation rho:
// the least of the two margins and of the product of the independent sum and difference.
Result<double> log_bivariate_geometry_upper_bound(std::array<double, 2> lower,
                                                  std::array<double, 2> upper, double rho);

// ln of the sum of exp over the values; the largest (NaN ignored) is factored out, and all
// -infinity (or none) gives -infinity.
double log_sum_exp(std::span<const double> values);

// The ascending cut points of one person's outcome categories on a liability of variance
// `variance`: from category shares, else from a prevalence, else the fixed threshold.
Result<std::vector<double>> cut_set_for(const std::vector<double>& shares, std::optional<double> prevalence,
                                        double threshold, double variance);

// The closures of the two-dimensional tail quadrature: the outer coordinate x is integrated
// with the inner one's interval probability given x, on the standardised scale.
struct TailIntegrand {
  double inner_lo;
  double inner_hi;
  double rho;
  double s;  // sqrt((1 - rho)(1 + rho))

  // g(x) = ln phi(x) + ln P(inner interval | x).
  Result<double> log_integrand(double x) const;
  // Where g has fallen more than `drop` below the peak g(m), searching from the mode m in
  // `direction` (+1 or -1), or the end of (outer_lo, outer_hi) when it never does.
  Result<double> limit(int direction, double m, double peak, double drop, double outer_lo,
                       double outer_hi) const;
  // exp(g(x) - peak), NaN where g fails.
  double shifted(double x, double peak) const;
};

// What the direct two-dimensional formula does with its four corner cdfs, taken in the
// order F(b1, b2), F(a1, b2), F(b1, a2), F(a1, a2): the first failure other than "unresolved"
// is the rectangle's error; failures that are all "unresolved" send it to the tail quadrature.
enum class CornerVerdict { use_corners, tail_quadrature, failed };
struct CornerOutcome {
  CornerVerdict verdict;
  std::optional<Error> error;  // for `failed`
};
CornerOutcome judge_corners(const std::array<Result<double>, 4>& corners);

// ---- adaptive Simpson ----------------------------------------------------------------------

namespace detail {

inline constexpr std::string_view quadrature_not_finite = "LATENT_MEDIATION_BIVARIATE_QUADRATURE_NOT_FINITE";

inline double simpson(double a, double b, double fa, double fm, double fb) {
  return (b - a) * (fa + 4.0 * fm + fb) / 6.0;
}

inline double midpoint(double a, double b) { return 0.5 * a + 0.5 * b; }

template <class F>
Result<Quadrature> simpson_recurse(F& f, double a, double b, double fa, double fm, double fb, double whole,
                                   double tolerance, double relative, int depth) {
  const double m = midpoint(a, b);
  const double lm = midpoint(a, m);
  const double rm = midpoint(m, b);
  const double flm = f(lm);
  const double frm = f(rm);
  const double left = simpson(a, m, fa, flm, fm);
  const double right = simpson(m, b, fm, frm, fb);
  if (!std::isfinite(left) || !std::isfinite(right)) return fail(quadrature_not_finite);
  const double delta = left + right - whole;
  if (std::fabs(delta) <= std::fmax(15.0 * tolerance, 16.0 * relative * (std::fabs(left) + std::fabs(right))))
    return Quadrature{left + right + delta / 15.0, std::fabs(delta) / 15.0};
  if (depth == 0) return fail("LATENT_MEDIATION_BIVARIATE_QUADRATURE_DID_NOT_CONVERGE");
  auto lower = simpson_recurse(f, a, m, fa, flm, fm, left, tolerance / 2.0, relative, depth - 1);
  if (!lower) return lower;
  auto upper = simpson_recurse(f, m, b, fm, frm, fb, right, tolerance / 2.0, relative, depth - 1);
  if (!upper) return upper;
  return Quadrature{lower->integral + upper->integral, lower->error + upper->error};
}

}  // namespace detail

template <class F>
Result<Quadrature> adaptive_simpson(F&& f, double a, double b, double tolerance, double relative, int depth) {
  if (a >= b) return Quadrature{0.0, 0.0};
  const double m = detail::midpoint(a, b);
  const double fa = f(a);
  const double fm = f(m);
  const double fb = f(b);
  const double whole = detail::simpson(a, b, fa, fm, fb);
  if (!std::isfinite(whole)) return fail(detail::quadrature_not_finite);
  return detail::simpson_recurse(f, a, b, fa, fm, fb, whole, tolerance, relative, depth);
}

}  // namespace kestrune::latent_mediation
