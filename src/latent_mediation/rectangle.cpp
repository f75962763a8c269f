#include "latent_mediation/rectangle.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "latent_mediation/normal.hpp"
#include "numerics/interrupt.hpp"

namespace kestrune::latent_mediation {
namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr std::size_t dimension_limit = 25;
constexpr double log_one_in_a_billion = -20.72326583694641;
constexpr double epsilon_48 = 3.552713678800501e-15;
constexpr double epsilon_52 = 2.220446049250313e-16;
constexpr double golden = 0.6180339887498949;
constexpr double log_eight = 2.0794415416798357;
constexpr double tail_drop = 80.0;
constexpr std::uint64_t points_between_polls = 1024;  // a few milliseconds of points at most

constexpr std::string_view outside_bounds = "LATENT_MEDIATION_BIVARIATE_PROBABILITY_OUTSIDE_BOUNDS";
constexpr std::string_view correlation_invalid = "LATENT_MEDIATION_BIVARIATE_CORRELATION_INVALID";

// The first 48 primes: Halton bases for coordinates 0..23, then their shifts.
constexpr std::array<std::uint64_t, 24> base_primes = {2,  3,  5,  7,  11, 13, 17, 19, 23, 29, 31, 37,
                                                       41, 43, 47, 53, 59, 61, 67, 71, 73, 79, 83, 89};
constexpr std::array<std::uint64_t, 24> shift_primes = {97,  101, 103, 107, 109, 113, 127, 131,
                                                        137, 139, 149, 151, 157, 163, 167, 173,
                                                        179, 181, 191, 193, 197, 199, 211, 223};

RectangleProbability exact(double log_probability, Method method) { return {log_probability, method, 0.0}; }

// ---- two dimensions -------------------------------------------------------------------------

// Distance of an interval from zero.
double distance(double lo, double hi) {
  if (lo > 0.0) return lo;
  if (hi < 0.0) return -hi;
  return 0.0;
}

// The maximum of g on [left, right] by golden sections, from a bracket found by doubling
// steps away from x0.
struct Mode {
  double x;
  double g;
};

template <class G>
Result<double> bracket_end(const G& g, double x0, double g0, double lo, double hi, int direction) {
  double previous = x0;
  double g_previous = g0;
  double candidate = x0;
  double step = 1.0;
  for (int attempt = 0; attempt < 200; ++attempt, step *= 2.0) {
    candidate = direction > 0 ? std::min(x0 + step, hi) : std::max(x0 - step, lo);
    if (candidate == previous) break;
    auto value = g(candidate);
    if (!value) return value;
    if (!(*value > g_previous)) break;
    previous = candidate;
    g_previous = *value;
  }
  return candidate;
}

template <class G>
Result<Mode> find_mode(const G& g, double lo, double hi) {
  const double x0 = std::min(std::max(lo, 0.0), hi);
  auto g0 = g(x0);
  if (!g0) return std::unexpected(g0.error());
  auto right = bracket_end(g, x0, *g0, lo, hi, +1);
  if (!right) return std::unexpected(right.error());
  auto left = bracket_end(g, x0, *g0, lo, hi, -1);
  if (!left) return std::unexpected(left.error());
  double l = *left, r = *right;
  for (int round = 0; round < 120; ++round) {
    if (r - l <= (std::max(std::fabs(l), std::fabs(r)) + 1.0) * 1e-13) break;
    const double s = (r - l) * golden;
    const double x1 = r - s;
    const double x2 = l + s;
    auto g1 = g(x1);
    if (!g1) return std::unexpected(g1.error());
    auto g2 = g(x2);
    if (!g2) return std::unexpected(g2.error());
    if (*g2 <= *g1)
      r = x2;
    else
      l = x1;
  }
  const double m = (l + r) / 2.0;
  auto gm = g(m);
  if (!gm) return std::unexpected(gm.error());
  return Mode{m, *gm};
}

// The standardised rectangle by integrating the coordinate farther from zero, in logs.
Result<RectangleProbability> log_bivariate_rectangle(std::array<double, 2> a, std::array<double, 2> b, double rho,
                                                     double bound) {
  const bool outer_second = distance(a[1], b[1]) > distance(a[0], b[0]);
  const std::size_t outer = outer_second ? 1 : 0;
  const std::size_t inner = 1 - outer;
  const double w = (1.0 - rho) * (1.0 + rho);
  if (w <= 0.0) return fail(correlation_invalid);
  const TailIntegrand tail{a[inner], b[inner], rho, std::sqrt(w)};
  const auto g = [&tail](double x) { return tail.log_integrand(x); };
  const double lo = a[outer], hi = b[outer];

  double log_probability = -infinity;
  if (lo < hi) {
    auto mode = find_mode(g, lo, hi);
    if (!mode) return std::unexpected(mode.error());
    if (mode->g != -infinity) {
      auto left = tail.limit(-1, mode->x, mode->g, tail_drop, lo, hi);
      if (!left) return std::unexpected(left.error());
      auto right = tail.limit(+1, mode->x, mode->g, tail_drop, lo, hi);
      if (!right) return std::unexpected(right.error());
      const double width = *right - *left;
      if (width > 0.0) {
        const double peak = mode->g;
        auto integral = adaptive_simpson([&tail, peak](double x) { return tail.shifted(x, peak); }, *left, *right,
                                         std::max(width, 1e-6) * 1e-13, std::max(std::fabs(peak), 1.0) * epsilon_52, 32);
        if (!integral) return std::unexpected(integral.error());
        if (integral->integral > 0.0) log_probability = peak + std::log(integral->integral);
      }
    }
  }
  if (log_probability > bound + 1e-8) return fail(outside_bounds);
  return exact(std::min(log_probability, 0.0), Method::bivariate_tail_quadrature);
}

// The direct formula from four corner cdfs while the rectangle is not too improbable, else
// (or when it cannot be trusted) the tail quadrature.
Result<RectangleProbability> bivariate_rectangle(std::span<const double> lower, std::span<const double> upper,
                                                 const Eigen::VectorXd& mu, const Eigen::MatrixXd& sigma) {
  const double s1 = std::sqrt(sigma(0, 0));
  if (!std::isfinite(s1) || sigma(1, 1) == 0.0 || sigma(0, 0) == 0.0) return fail("LATENT_MEDIATION_BIVARIATE_VARIANCE_INVALID");
  const double s2 = std::sqrt(sigma(1, 1));
  if (!std::isfinite(s2)) return fail("LATENT_MEDIATION_BIVARIATE_VARIANCE_INVALID");
  const double rho = sigma(0, 1) / (s1 * s2);
  if (!std::isfinite(rho) || !(std::fabs(rho) < 1.0)) return fail(correlation_invalid);
  const std::array<double, 2> a = {(lower[0] - mu[0]) / s1, (lower[1] - mu[1]) / s2};
  const std::array<double, 2> b = {(upper[0] - mu[0]) / s1, (upper[1] - mu[1]) / s2};
  auto bound = log_bivariate_geometry_upper_bound(a, b, rho);
  if (!bound) return std::unexpected(bound.error());
  if (*bound > log_one_in_a_billion) {
    const std::array<Result<double>, 4> corners = {
        bivariate_normal_cdf({b[0], b[1]}, rho), bivariate_normal_cdf({a[0], b[1]}, rho),
        bivariate_normal_cdf({b[0], a[1]}, rho), bivariate_normal_cdf({a[0], a[1]}, rho)};
    const CornerOutcome outcome = judge_corners(corners);
    if (outcome.verdict == CornerVerdict::failed) return std::unexpected(*outcome.error);
    if (outcome.verdict == CornerVerdict::use_corners) {
      const double p = *corners[0] - *corners[1] - *corners[2] + *corners[3];
      const double tau =
          (std::fabs(*corners[0]) + std::fabs(*corners[1]) + std::fabs(*corners[2]) + std::fabs(*corners[3])) *
              epsilon_48 + 4e-12;
      if (p > tau) {
        if (p > std::exp(*bound) + tau) return fail(outside_bounds);
        return exact(std::log(std::clamp(p, 0.0, 1.0)), Method::bivariate_quadrature);
      }
    }
  }
  return log_bivariate_rectangle(a, b, rho, *bound);
}

// ---- three or more dimensions ---------------------------------------------------------------

// The sum of a coordinate's squared correlations with the other remaining ones, added in
// ascending order so that it does not depend on the order of the coordinates.
double connection(const Eigen::MatrixXd& sigma, const std::vector<std::size_t>& remaining, std::size_t position) {
  const auto r = static_cast<Eigen::Index>(remaining[position]);
  std::vector<double> squares;
  squares.reserve(remaining.size());
  for (const std::size_t other : remaining) {
    const auto i = static_cast<Eigen::Index>(other);
    if (i != r) squares.push_back(sigma(r, i) * sigma(r, i) / (sigma(r, r) * sigma(i, i)));
  }
  std::ranges::sort(squares);
  double sum = 0.0;
  for (const double square : squares) sum += square;
  return sum;
}

// Equal up to the rounding that conditioning on measured values leaves in a tie.
bool tied(double x, double y) {
  if (x == y) return true;
  return std::isfinite(x) && std::isfinite(y) &&
         std::fabs(x - y) <= 1e-10 * std::fmax(std::fmax(std::fabs(x), std::fabs(y)), 1.0);
}

// One remaining coordinate as the sequential truncation ranks it.
struct Truncation {
  std::size_t position;
  double log_probability, alpha, beta;
};

// Whether `x` is truncated before `y`: the less probable first; among (nearly) equally probable
// ones, the one most correlated with the rest, then the one with the higher lower limit, then
// the lower upper limit. None of these depends on the order in which the members were listed;
// only a tie in all of them keeps that order.
bool truncated_before(const Truncation& x, const Truncation& y, const Eigen::MatrixXd& sigma,
                      const std::vector<std::size_t>& remaining) {
  if (!tied(x.log_probability, y.log_probability)) return x.log_probability < y.log_probability;
  const double x_connection = connection(sigma, remaining, x.position);
  const double y_connection = connection(sigma, remaining, y.position);
  if (!tied(x_connection, y_connection)) return x_connection > y_connection;
  if (!tied(x.alpha, y.alpha)) return x.alpha > y.alpha;
  if (!tied(x.beta, y.beta)) return x.beta < y.beta;
  return false;
}

// Moment matching: the least probable remaining coordinate is truncated first and the others
// conditioned on its truncated moments.
Result<RectangleProbability> sequential_rectangle(std::span<const double> lower, std::span<const double> upper,
                                                  Eigen::VectorXd mu, Eigen::MatrixXd sigma) {
  std::vector<std::size_t> remaining(lower.size());
  for (std::size_t i = 0; i < remaining.size(); ++i) remaining[i] = i;
  std::vector<double> c;  // the chosen coordinate's covariances over its standard deviation
  double total = 0.0;
  while (!remaining.empty()) {
    std::optional<Truncation> chosen;
    for (std::size_t position = 0; position < remaining.size(); ++position) {
      const auto r = static_cast<Eigen::Index>(remaining[position]);
      const double variance = sigma(r, r);
      if (!(variance > 0.0 && std::isfinite(variance))) return fail("LATENT_MEDIATION_SEQUENTIAL_VARIANCE_INVALID");
      const double sd = std::sqrt(variance);
      const double lo = (lower[remaining[position]] - mu[r]) / sd;
      const double hi = (upper[remaining[position]] - mu[r]) / sd;
      auto l = log_interval_probability(lo, hi);
      if (!l) return std::unexpected(l.error());
      const Truncation candidate{position, *l, lo, hi};
      if (!chosen || truncated_before(candidate, *chosen, sigma, remaining)) chosen = candidate;
    }
    const std::size_t pick = chosen->position;
    const double least = chosen->log_probability, alpha = chosen->alpha, beta = chosen->beta;
    const auto r = static_cast<Eigen::Index>(remaining[pick]);
    remaining.erase(remaining.begin() + static_cast<std::ptrdiff_t>(pick));
    if (!std::isfinite(least)) return exact(-infinity, Method::sequential_truncation);
    const double p_a = std::isfinite(alpha) ? std::exp(-alpha * alpha / 2.0 - log_sqrt_two_pi - least) : 0.0;
    const double p_b = std::isfinite(beta) ? std::exp(-beta * beta / 2.0 - log_sqrt_two_pi - least) : 0.0;
    const double shift = p_a - p_b;
    const double a_term = std::isfinite(alpha) ? alpha * p_a + 1.0 : 1.0;
    const double b_term = std::isfinite(beta) ? beta * p_b : 0.0;
    const double v = std::clamp(a_term - b_term - shift * shift, 1e-12, 1.0);
    const double s = std::sqrt(sigma(r, r));
    c.resize(remaining.size());
    for (std::size_t i = 0; i < remaining.size(); ++i) {
      c[i] = sigma(r, static_cast<Eigen::Index>(remaining[i])) / s;
      mu[static_cast<Eigen::Index>(remaining[i])] += shift * c[i];
    }
    for (std::size_t i = 0; i < remaining.size(); ++i)
      for (std::size_t j = 0; j < remaining.size(); ++j)
        sigma(static_cast<Eigen::Index>(remaining[i]), static_cast<Eigen::Index>(remaining[j])) -= (1.0 - v) * c[i] * c[j];
    total += least;
  }
  return exact(total, Method::sequential_truncation);
}

double fraction(double x) { return x - std::floor(x); }

// The radical inverse of h in base p.
double radical_inverse(std::uint64_t h, std::uint64_t p) {
  const double inverse_base = 1.0 / static_cast<double>(p);
  double scale = inverse_base;
  double value = 0.0;
  while (h > 0) {
    value += static_cast<double>(h % p) * scale;
    h /= p;
    scale *= inverse_base;
  }
  return value;
}

// Genz's separation of variables over shifted, antithetically paired Halton points, in
// eight batches accumulated in log space.
Result<RectangleProbability> genz_halton_rectangle(std::span<const double> lower, std::span<const double> upper,
                                                   const Eigen::VectorXd& mu, const Eigen::MatrixXd& factor,
                                                   std::uint64_t points) {
  const std::size_t d = lower.size();
  const std::uint64_t per_batch = points / 8;
  const double log_per_batch = std::log(static_cast<double>(per_batch));
  std::array<double, 8> batches;
  batches.fill(-infinity);
  std::vector<double> z(d, 0.0);
  std::array<double, 24> shift_roots;
  for (std::size_t j = 0; j < 24; ++j) shift_roots[j] = fraction(std::sqrt(static_cast<double>(shift_primes[j])));
  for (std::size_t batch = 0; batch < 8; ++batch) {
    double most = -infinity, scaled = 0.0;
    for (std::uint64_t i = 0; i < per_batch; ++i) {
      if (i % points_between_polls == 0 && interrupt::requested()) return fail(interrupt::code);
      double w = 0.0;
      for (std::size_t j = 0; j < d; ++j) {
        const auto row = static_cast<Eigen::Index>(j);
        double t = 0.0;
        for (std::size_t l = 0; l < j; ++l) t += factor(row, static_cast<Eigen::Index>(l)) * z[l];
        const double diagonal = factor(row, row);
        const double lo = (lower[j] - mu[row] - t) / diagonal;
        const double hi = (upper[j] - mu[row] - t) / diagonal;
        auto l = log_interval_probability(lo, hi);
        if (!l) return std::unexpected(l.error());
        w += *l;
        if (w == -infinity) break;
        if (j + 1 < d) {
          const double phi = radical_inverse((i >> 1) + 1, base_primes[j]);
          const double shift = fraction(static_cast<double>(batch + 1) * shift_roots[j]);
          double u = fraction(phi + shift);
          if (i % 2 == 1) u = 1.0 - u;
          u = std::clamp(u, 1e-15, 0.999999999999999);
          auto x = truncated_standard_normal(lo, hi, u);
          if (!x) return std::unexpected(x.error());
          z[j] = *x;
        }
      }
      if (w == -infinity) continue;
      if (w <= most) {
        scaled += std::exp(w - most);
      } else {
        scaled = scaled * std::exp(most - w) + 1.0;
        most = w;
      }
    }
    batches[batch] = most == -infinity ? -infinity : most + std::log(scaled) - log_per_batch;
  }
  const double log_probability = std::min(log_sum_exp(batches) - log_eight, 0.0);
  const auto [smallest, largest] = std::minmax_element(batches.begin(), batches.end());
  double range = 0.0;
  if (std::isfinite(*smallest) && std::isfinite(*largest))
    range = *largest - *smallest;
  else if (*smallest != *largest)
    range = infinity;
  return RectangleProbability{log_probability, Method::deterministic_genz_halton, range};
}

}  // namespace

std::string_view method_name(Method method) {
  switch (method) {
    case Method::bivariate_quadrature: return "bivariate_quadrature";
    case Method::bivariate_tail_quadrature: return "bivariate_tail_quadrature";
    case Method::deterministic_genz_halton: return "deterministic_genz_halton";
    case Method::empty_rectangle: return "empty_rectangle";
    case Method::no_discrete_observation: return "no_discrete_observation";
    case Method::sequential_truncation: return "sequential_truncation";
    case Method::univariate_exact: break;
  }
  return "univariate_exact";
}

std::vector<std::string_view> method_names(std::uint8_t methods) {
  std::vector<std::string_view> names;
  for (unsigned m = 0; m <= static_cast<unsigned>(Method::univariate_exact); ++m)
    if (methods & method_bit(static_cast<Method>(m))) names.push_back(method_name(static_cast<Method>(m)));
  return names;
}

Result<RectangleProbability> log_rectangle_probability(std::span<const double> lower, std::span<const double> upper,
                                                       const ConditionalDistribution& distribution,
                                                       std::uint64_t qmc_points) {
  const std::size_t d = lower.size();
  if (d == 0) return exact(0.0, Method::no_discrete_observation);
  const Eigen::VectorXd& mu = distribution.mean;
  const Eigen::MatrixXd& sigma = distribution.covariance;
  const auto order = static_cast<std::size_t>(mu.size());
  if (upper.size() != d || order != d || static_cast<std::size_t>(sigma.rows()) != d ||
      static_cast<std::size_t>(sigma.cols()) != d)
    return fail("LATENT_MEDIATION_RECTANGLE_SHAPE_INVALID");
  if (d > dimension_limit) return fail("LATENT_MEDIATION_DISCRETE_DIMENSION_EXCEEDED");
  for (std::size_t j = 0; j < d; ++j)
    if (!(lower[j] < upper[j])) return exact(-infinity, Method::empty_rectangle);
  std::optional<dense::DenseFactor> own;
  const dense::DenseFactor* factor = distribution.factor ? &*distribution.factor : nullptr;
  if (factor == nullptr) {
    own = dense::DenseFactor::make(sigma);
    if (!own) return fail("LATENT_MEDIATION_RECTANGLE_COVARIANCE_NOT_POSITIVE_DEFINITE");
    factor = &*own;
  }
  if (d == 1) {
    const double sd = std::sqrt(sigma(0, 0));
    auto l = log_interval_probability((lower[0] - mu[0]) / sd, (upper[0] - mu[0]) / sd);
    if (!l) return std::unexpected(l.error());
    return exact(*l, Method::univariate_exact);
  }
  if (d == 2) return bivariate_rectangle(lower, upper, mu, sigma);
  if (qmc_points == 0) return sequential_rectangle(lower, upper, mu, sigma);
  return genz_halton_rectangle(lower, upper, mu, factor->lower(), qmc_points);
}

}  // namespace kestrune::latent_mediation
