#include "latent_mediation/normal.hpp"

#include <algorithm>
#include <boost/math/special_functions/erf.hpp>
#include <cmath>
#include <limits>
#include <numbers>

#include "numerics/region.hpp"
#include "numerics/deviance.hpp"

namespace kestrune::latent_mediation {
namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr double sqrt_two = 1.4142135623730951;
constexpr double two_pi = 6.283185307179586;
constexpr double log_two = 0.6931471805599453;
constexpr double epsilon_52 = 2.220446049250313e-16;

constexpr std::string_view not_finite = "LATENT_MEDIATION_NORMAL_VARIATE_NOT_FINITE";
constexpr std::string_view correlation_invalid = "LATENT_MEDIATION_BIVARIATE_CORRELATION_INVALID";
constexpr std::string_view unresolved = "LATENT_MEDIATION_BIVARIATE_PROBABILITY_UNRESOLVED";

using region::normal_cdf;

// Q(x) = Phi(-x).
double upper_tail(double x) { return normal_cdf(-x); }

// The standard normal quantile, -sqrt 2 erfc^-1(2p).
double normal_quantile(double p) {
  return -(sqrt_two * boost::math::erfc_inv(2.0 * p, deviance::NoThrowPolicy{}));
}

bool valid_correlation(double rho) { return std::fabs(rho) < 1.0; }  // false for NaN

// The inverse of the log upper tail below -700, where e^t underflows: a fixed point of
// x = sqrt(-2 (t + ln sqrt(2 pi) + ln x)).
double deep_tail_start(double t) {
  double x = std::sqrt(std::fmax(-log_two_pi - 2.0 * t, 1.0));
  for (int i = 0; i < 60; ++i) {
    const double next = std::sqrt(std::fmax(-2.0 * (t + log_sqrt_two_pi + std::log(x)), 1.0));
    const bool settled = std::fabs(next - x) <= 1e-15 * x;
    x = next;
    if (settled) break;
  }
  return x;
}

// z with P(Y > z) = p for a standard normal Y, by the upper tail on whichever side is small.
Result<double> upper_quantile(double p) {
  if (p <= 0.5) return inverse_log_normal_sf(std::log(p));
  auto z = inverse_log_normal_sf(std::log1p(-p));
  if (!z) return z;
  return -*z;
}

}  // namespace

Result<double> standard_normal_cdf(double x) {
  if (std::isnan(x)) return fail(not_finite);
  return normal_cdf(x);
}

double log_normal_sf(double x) {
  if (x == -infinity) return 0.0;
  if (x == infinity) return -infinity;
  if (x <= 6.0) return std::log(upper_tail(x));
  double c = 0.0;
  for (int k = 40; k >= 1; --k) c = k / (x + c);
  return -x * x / 2.0 - log_sqrt_two_pi - std::log(x + c);
}

Result<double> interval_probability(double lo, double hi) {
  if (lo >= hi) return 0.0;
  if (lo == -infinity) {
    if (hi == infinity) return 1.0;
    if (std::isnan(hi)) return fail(not_finite);
    return normal_cdf(hi);
  }
  if (hi == infinity) {
    if (std::isnan(lo)) return fail(not_finite);
    return upper_tail(lo);
  }
  if (std::isnan(lo) || std::isnan(hi)) return fail(not_finite);
  if (lo < 0.0) return std::max(normal_cdf(hi) - normal_cdf(lo), 0.0);
  return std::max(upper_tail(lo) - upper_tail(hi), 0.0);
}

Result<double> log_interval_probability(double lo, double hi) {
  if (lo >= hi) return -infinity;
  if (lo >= 0.0) {
    if (std::isnan(hi)) return fail(not_finite);
    const double l0 = log_normal_sf(lo);
    const double l1 = log_normal_sf(hi);
    return l0 + std::log1p(-std::exp(l1 - l0));
  }
  if (hi <= 0.0) return log_interval_probability(-hi, -lo);
  auto p = interval_probability(lo, hi);  // lo < 0 < hi, or a NaN end
  if (!p) return p;
  return std::log(*p);
}

Result<double> inverse_log_normal_sf(double t) {
  if (std::isnan(t)) return fail(not_finite);
  if (t == -infinity) return infinity;
  if (t > -log_two) return fail("LATENT_MEDIATION_INVERSE_TAIL_OUT_OF_RANGE");
  double x = t > -700.0 ? -normal_quantile(std::exp(t)) : deep_tail_start(t);
  for (int step = 0; step < 60; ++step) {
    if (std::isnan(x)) return fail(not_finite);
    const double log_tail = log_normal_sf(x);
    const double hazard = std::exp(-x * x / 2.0 - log_sqrt_two_pi - log_tail);
    if (std::isnan(hazard) || hazard == infinity || hazard == 0.0) return x;
    const double newton = (log_tail - t) / -hazard;
    if (!std::isfinite(newton)) return x;
    const double next = std::fmax(x - newton, 0.0);
    if (std::fabs(next - x) <= 1e-15 * std::fmax(x, 1.0)) return next;
    x = next;
  }
  return x;
}

Result<double> truncated_standard_normal(double lo, double hi, double u) {
  if (!(u > 0.0 && u < 1.0)) return fail("LATENT_MEDIATION_QMC_COORDINATE_INVALID");
  if (!(lo < hi)) return fail("LATENT_MEDIATION_TRUNCATION_INTERVAL_EMPTY");
  if (hi <= 0.0) {
    auto mirrored = truncated_standard_normal(-hi, -lo, 1.0 - u);
    if (!mirrored) return mirrored;
    return -*mirrored;
  }
  if (lo >= 0.0) {
    const double l0 = log_normal_sf(lo);
    const double l1 = log_normal_sf(hi);
    return inverse_log_normal_sf(l0 + std::log1p(u * std::expm1(l1 - l0)));
  }
  auto p = interval_probability(lo, hi);
  if (!p) return p;
  if (*p <= 0.0) return fail("LATENT_MEDIATION_TRUNCATION_INTERVAL_EMPTY");
  const double below = lo == -infinity ? 0.0 : normal_cdf(lo);
  const double v = std::clamp(below + u * *p, 1e-300, 0.9999999999999999);
  return normal_quantile(v);
}

Result<double> log_bivariate_geometry_upper_bound(std::array<double, 2> lower, std::array<double, 2> upper,
                                                  double rho) {
  if (!valid_correlation(rho)) return fail(correlation_invalid);
  auto l1 = log_interval_probability(lower[0], upper[0]);
  if (!l1) return l1;
  auto l2 = log_interval_probability(lower[1], upper[1]);
  if (!l2) return l2;
  const double sum_sd = std::sqrt(2.0 * (1.0 + rho));
  auto l3 = log_interval_probability((lower[0] + lower[1]) / sum_sd, (upper[0] + upper[1]) / sum_sd);
  if (!l3) return l3;
  const double difference_sd = std::sqrt(2.0 * (1.0 - rho));
  auto l4 = log_interval_probability((lower[0] - upper[1]) / difference_sd, (upper[0] - lower[1]) / difference_sd);
  if (!l4) return l4;
  return std::min({*l1, *l2, *l3 + *l4, 0.0});
}

Result<double> bivariate_normal_cdf(std::array<double, 2> upper, double rho) {
  const double h = upper[0];
  const double k = upper[1];
  if (!valid_correlation(rho)) return fail(correlation_invalid);
  if (h == -infinity || k == -infinity) return 0.0;
  if (h == infinity) {
    if (k == infinity) return 1.0;
    return standard_normal_cdf(k);
  }
  if (k == infinity) return standard_normal_cdf(h);
  if (std::isnan(h) || std::isnan(k)) return fail("LATENT_MEDIATION_BIVARIATE_THRESHOLD_INVALID");

  auto bound = log_bivariate_geometry_upper_bound({-infinity, -infinity}, upper, rho);
  if (!bound) return bound;
  if (std::exp(*bound) <= 1e-12) return fail(unresolved);

  const double phi_h = normal_cdf(h);
  const double phi_k = normal_cdf(k);
  if (rho < 0.0) {
    auto mirrored = bivariate_normal_cdf({h, -k}, -rho);
    if (!mirrored) return mirrored;
    return phi_h - *mirrored;
  }
  if (std::fabs(rho) <= epsilon_52) return phi_h * phi_k;

  const double hk = h * k;
  const double spread = (h - k) * (h - k);
  auto integrand = [hk, spread](double t) {
    const double cosine = std::cos(t);
    return std::exp(-(hk / (1.0 + std::sin(t)) + spread / (2.0 * cosine * cosine)));
  };
  auto quadrature = adaptive_simpson(integrand, 0.0, std::asin(rho), 1.25e-13, epsilon_52, 24);
  if (!quadrature) return std::unexpected(quadrature.error());
  const double p = phi_h * phi_k + quadrature->integral / two_pi;
  if (p <= quadrature->error) return fail(unresolved);

  const double most = std::min(phi_h, phi_k);
  const double least = std::min(std::max(phi_h + phi_k - 1.0, 0.0), most);
  if (p > most + 1e-10 || p < least - 1e-10) return fail("LATENT_MEDIATION_BIVARIATE_PROBABILITY_OUTSIDE_BOUNDS");
  return std::clamp(p, least, most);
}

double log_sum_exp(std::span<const double> values) {
  double largest = -infinity;
  for (const double value : values) largest = std::fmax(largest, value);
  if (largest == -infinity) return -infinity;
  double sum = 0.0;
  for (const double value : values) sum += std::exp(value - largest);
  return largest + std::log(sum);
}

Result<std::vector<double>> cut_set_for(const std::vector<double>& shares, std::optional<double> prevalence,
                                        double threshold, double variance) {
  const bool variance_valid = variance > 0.0 && std::isfinite(variance);
  if (!shares.empty()) {
    if (!variance_valid) return fail("LATENT_MEDIATION_OUTCOME_VARIANCE_INVALID");
    const std::size_t k = shares.size();
    std::vector<double> cuts(k - 1);
    const double scale = std::sqrt(variance);
    double above = 0.0;  // share of the categories from j upwards
    for (std::size_t j = k - 1; j >= 1; --j) {
      above += shares[j];
      auto z = upper_quantile(above);
      if (!z) return std::unexpected(z.error());
      cuts[j - 1] = scale * *z;
    }
    return cuts;
  }
  if (!prevalence) return std::vector<double>{threshold};
  if (!variance_valid) return fail("LATENT_MEDIATION_OUTCOME_VARIANCE_INVALID");
  auto z = upper_quantile(*prevalence);
  if (!z) return std::unexpected(z.error());
  return std::vector<double>{std::sqrt(variance) * *z};
}

// ---- tail quadrature -----------------------------------------------------------------------

Result<double> TailIntegrand::log_integrand(double x) const {
  auto inner = log_interval_probability((inner_lo - rho * x) / s, (inner_hi - rho * x) / s);
  if (!inner) return inner;
  return (-x / 2.0) * x + (-log_sqrt_two_pi) + *inner;
}

Result<double> TailIntegrand::limit(int direction, double m, double peak, double drop, double outer_lo,
                                    double outer_hi) const {
  const double floor = peak - drop;
  double inside = m;
  std::optional<double> outside;
  double step = 1.0;
  for (int attempt = 0; attempt < 200; ++attempt, step *= 2.0) {
    const double x = direction > 0 ? std::min(m + step, outer_hi) : std::max(m - step, outer_lo);
    auto g = log_integrand(x);
    if (!g) return g;
    if (*g < floor) {
      outside = x;
      break;
    }
    if (x == inside) return inside;
    inside = x;
  }
  if (!outside) return inside;
  for (int i = 0; i < 80; ++i) {
    const double middle = (inside + *outside) / 2.0;
    auto g = log_integrand(middle);
    if (!g) return g;
    if (*g < floor)
      outside = middle;
    else
      inside = middle;
  }
  return *outside;
}

double TailIntegrand::shifted(double x, double peak) const {
  auto g = log_integrand(x);
  if (!g) return std::numeric_limits<double>::quiet_NaN();
  return std::exp(*g - peak);
}

CornerOutcome judge_corners(const std::array<Result<double>, 4>& corners) {
  bool any_failed = false;
  for (const auto& corner : corners) {
    if (corner) continue;
    any_failed = true;
    if (corner.error().code != unresolved) return {CornerVerdict::failed, corner.error()};
  }
  return {any_failed ? CornerVerdict::tail_quadrature : CornerVerdict::use_corners, std::nullopt};
}

}  // namespace kestrune::latent_mediation
